"""Commands by mail behind a running server: messages to command@ change a mailbox's settings with its
password. Mail goes in over SMTP; the mailbox's property file is read back, the refusals from the
sender's inbox, the password over POP3."""
import fcntl
import os
import poplib
import smtplib

import cfgfile
from conftest import WAIT, admin, configure, free_port, log_text, wait_for
from test_lists import messages, queue_empty, text
from test_router import content, envelopes, folder, serving

DOMAIN = "example.com"
OWNER = "owner@" + DOMAIN
PASSWORD = "secret12"
COMMAND = "Command@Example.com"


def properties(env, local):
    """The mailbox's property file: key -> (vartype, value)."""
    with open(os.path.join(env.store, DOMAIN, local, "_" + local), "rb") as f:
        return {key: (vartype, value) for key, vartype, value in cfgfile.decode(f.read())}


def property_bytes(env, local):
    with open(os.path.join(env.store, DOMAIN, local, "_" + local), "rb") as f:
        return f.read()


def send(port, body, sender=OWNER, mail_from=None, headers=(), content_type=None, subject="commands"):
    lines = ["From: %s" % (sender or "nobody@remote.test"), "To: %s" % COMMAND, "Subject: %s" % subject, *headers]
    if content_type:
        lines += ["MIME-Version: 1.0", "Content-Type: %s" % content_type]
    raw = "\r\n".join(lines) + "\r\n\r\n" + body.replace("\r\n", "\n").replace("\n", "\r\n")
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.sendmail(sender if mail_from is None else mail_from, [COMMAND], raw.encode("utf-8"))


def prepare(env, switch="i2:-1"):
    env.configure_logging(2, 2)
    admin(env, "domain", "add", DOMAIN)
    for user in ("owner", "anna"):
        admin(env, "mailbox", "add", "%s@%s" % (user, DOMAIN), "--kind", "user", "--password", PASSWORD)
    port = serving(env)
    if switch is not None:
        configure(env, ("sys:command:email", switch))
    return port


def refusals(env, seen):
    """The refusals that reached the owner since `seen` of them: [(text, message)]."""
    queue_empty(env)
    got = messages(env, OWNER)[seen:]
    return [(text(m), m) for m in got]


def test_commands_set_typed_values_and_the_password_and_switch_on_the_auto_reply(registered):
    env = registered
    port = prepare(env)
    pop3 = free_port()
    configure(env, ("sys:pop3:0:enabled", "bool:true"), ("sys:pop3:0:ip", "127.0.0.1"), ("sys:pop3:0:port", "port:%d" % pop3))
    server = env.start().wait_ready()

    send(port, "\n".join([
        "set BSTR mailbox:comment before any mailbox",  # ignored: no mailbox open yet
        "Hello, here are my settings:",
        "  MAILBOX  <owner@example.com>  %s  " % PASSWORD,
        "set I4 user:quota:nummsgs 40000",
        "Set BOOL mailbox:autoreplyenable y",
        "set bool alias:usembassender No",
        "set BSTR mailbox:autoreplysubject",
        "Away",
        "Bcc: victim@remote.test",
        ".",
        "set STR mailbox:autoreplybody",
        "Back on Monday.",
        "  Indented, and a blank line:",
        "",
        "..",
        " . ",
        "set BSTR mailbox:comment   Owner of the box  ",
        "set BSTR mailbox:password n3wPass",
        "close",
        "set BSTR mailbox:comment after close",  # ignored: the mailbox was closed
    ]))
    queue_empty(env)
    got = properties(env, "owner")
    assert got["user:quota:nummsgs"] == (cfgfile.VT_I4, 40000)
    assert got["mailbox:autoreplyenable"] == (cfgfile.VT_BOOL, -1)
    assert got["alias:usembassender"] == (cfgfile.VT_BOOL, 0)
    assert got["mailbox:autoreplysubject"] == (cfgfile.VT_BSTR, "Away\r\nBcc: victim@remote.test")
    assert got["mailbox:autoreplybody"] == (cfgfile.VT_BSTR, "Back on Monday.\r\n  Indented, and a blank line:\r\n\r\n..")
    assert got["_Comment"] == (cfgfile.VT_BSTR, "Owner of the box")
    assert "mailbox:password" not in got and "mailbox:comment" not in got and got["_Password"][1] != PASSWORD
    assert messages(env, OWNER) == []  # success is not answered

    # The new password opens the mailbox over POP3, the old one no longer does.
    client = poplib.POP3("127.0.0.1", pop3, timeout=WAIT)
    client.user(OWNER)
    try:
        client.pass_(PASSWORD)
        assert False, "the old password still works"
    except poplib.error_proto:
        pass
    client.close()
    client = poplib.POP3("127.0.0.1", pop3, timeout=WAIT)
    client.user(OWNER)
    client.pass_("n3wPass")
    client.quit()

    # The auto-reply switched on by mail answers the next message; its subject block is one folded
    # subject, never a header field of its own.
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as smtp:
        smtp.sendmail("friend@remote.test", [OWNER], b"From: friend@remote.test\r\nSubject: hi\r\n\r\nHello.\r\n")
    outbound = folder(env, "_Out", "remote.test")
    wait_for(lambda: envelopes(outbound), "the automatic reply")
    reply = content(envelopes(outbound)[0])
    header = reply.split("\r\n\r\n", 1)[0]
    assert "Back on Monday." in reply and "Away" in header
    assert not any(line.lower().startswith("bcc:") for line in header.split("\r\n")), header

    # Commands in a quoted-printable plain part beside an HTML part.
    send(port, "\n".join([
        "--b1",
        "Content-Type: text/html; charset=utf-8",
        "",
        "<p>mailbox owner@example.com wrong</p>",
        "--b1",
        "Content-Type: text/plain; charset=utf-8",
        "Content-Transfer-Encoding: quoted-printable",
        "",
        "mailbox owner@example.com n3wPass",
        "set BSTR mailbox:comment Caf=C3=A9 =3D owner's bo=",
        "x",
        "--b1--",
        "",
    ]), content_type='multipart/alternative; boundary="b1"')
    queue_empty(env)
    assert properties(env, "owner")["_Comment"] == (cfgfile.VT_BSTR, "Caf\u00e9 = owner's box")
    assert [m["Subject"] for m in messages(env, OWNER)] == ["hi"]
    assert server.stop() == 0


def test_each_refusal_reaches_the_sender_with_its_reason_and_saves_nothing(registered):
    env = registered
    port = prepare(env)
    server = env.start().wait_ready()
    before = property_bytes(env, "anna")
    box = "mailbox anna@example.com %s\n" % PASSWORD
    cases = [
        ("mailbox anna@example.com wrongpw1\nset BSTR mailbox:comment x\n", None, "badpassword", None),
        ("mailbox nobody@example.com %s\n" % PASSWORD, None, "badbox", "mailbox nobody@example.com ********"),
        (box + "set FOO mailbox:comment x\n", None, "badcommand", "set FOO mailbox:comment x"),
        (box + "set I2 user:quota:nummsgs 99999\n", None, "badcommand", "set I2 user:quota:nummsgs 99999"),
        (box + "set BSTR mailbox:password two words\n", None, "badcommand", "set BSTR mailbox:password ********"),
        (box + "set BSTR mailbox:autoreplybody\nno end line\n", None, "badcommand", "set BSTR mailbox:autoreplybody"),
        ("<p>%s</p>" % box, "text/html", "noplaintext", None),
        ("close\n", None, "nocommand", None),
        # Names an owner may not set: nothing of the message is saved, not even what came first.
        (box + "set BSTR mailbox:comment taken\nclose\n" + box + "set I4 _Type 700\n", None, "badcommand", "_Type"),
        (box + "set BSTR mailbox:comment taken\nset BSTR relay:to evil.test\n", None, "badcommand", "relay:to"),
        (box + "set BSTR ml:datasource /etc/passwd\n", None, "badcommand", "ml:datasource"),
        (box + "set BSTR mailbox:comment %s\n" % ("x" * 70000), None, "badcommand", "64 KiB"),
        (box + "x\n" * 1000, None, "badcommand", "1000 lines"),
    ]
    seen = 0
    for body, content_type, code, shown in cases:
        send(port, body, content_type=content_type)
        got = refusals(env, seen)
        assert len(got) == 1, (body[:200], [t for t, _ in got])
        seen += 1
        reply, message = got[0]
        assert reply.startswith("Your message") and ("\n%s: " % code) in reply, (code, reply)
        if shown:
            assert shown in reply, (shown, reply)
        assert PASSWORD not in reply and "wrongpw1" not in reply and "two words" not in reply
        assert message["Auto-Submitted"] == "auto-generated" and not message.is_multipart()
        assert property_bytes(env, "anna") == before, code

    # After five wrong passwords for one mailbox, even the right one is refused for a while.
    for _ in range(4):
        send(port, "mailbox anna@example.com guess%d\n" % _)
    send(port, box + "set BSTR mailbox:comment guessed\n")
    got = refusals(env, seen)
    assert len(got) == 5 and all("badpassword" in t for t, _ in got)
    assert property_bytes(env, "anna") == before
    log = log_text(env)
    assert "wrong password for anna@example.com from owner@example.com (client 127.0.0.1" in log, log[-3000:]
    assert "guess1" not in log and "wrongpw1" not in log and PASSWORD not in log
    assert server.stop() == 0


def test_automatic_mail_runs_nothing_and_the_switch_turns_commands_off(registered):
    env = registered
    port = prepare(env, switch=None)
    before = property_bytes(env, "owner")
    change = "mailbox owner@example.com %s\nset BSTR mailbox:comment %s\n"
    # Missing, then 0: the message is dropped, nothing runs and nothing is answered.
    for switch in (None, "i2:0"):
        if switch:
            configure(env, ("sys:command:email", switch))
        server = env.start().wait_ready()
        send(port, change % (PASSWORD, "switched off"))
        send(port, change % ("wrong", "switched off"))
        queue_empty(env)
        assert server.stop() == 0
    assert property_bytes(env, "owner") == before and messages(env, OWNER) == []
    assert log_text(env).count("Commands by mail are off") == 4

    # An address is a switch that is on.
    configure(env, ("sys:command:email", "str:command@example.com"))
    server = env.start().wait_ready()
    for sender, mail_from, headers in (("", "", ()), ("MAILER-DAEMON@remote.test", None, ()),
                                       ("Mail-Deamon@example.com", None, ()),
                                       (OWNER, None, ("Auto-Submitted: auto-replied",))):
        send(port, change % ("wrong", "automatic") + "close\n", sender=sender, mail_from=mail_from, headers=headers)
    # A refusal sent to command@ itself comes back from the null sender and ends there.
    send(port, "close\n", sender="command@example.com")
    queue_empty(env)
    assert property_bytes(env, "owner") == before and messages(env, OWNER) == []
    assert not envelopes(folder(env, "_Out", "remote.test"))
    assert log_text(env).count("Commands by mail run nothing of automatic mail") == 5

    send(port, change % (PASSWORD, "switched on by an address"))
    queue_empty(env)
    assert properties(env, "owner")["_Comment"] == (cfgfile.VT_BSTR, "switched on by an address")
    assert messages(env, OWNER) == []
    assert server.stop() == 0


def test_a_property_file_that_can_not_be_written_keeps_the_message_queued(registered):
    env = registered
    port = prepare(env)
    env.configure_debug("RouterRetryPause", 1)
    server = env.start().wait_ready()
    directory = os.path.join(env.store, DOMAIN, "owner")
    fd = os.open(directory, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        send(port, "mailbox owner@example.com %s\nset I4 user:quota:nummsgs 7\n" % PASSWORD)
        # The lock outlasts the writer's bounded wait: the routing fails and the message stays.
        wait_for(lambda: "can not lock" in log_text(env), "the failed write", bound=WAIT + 30)
        assert envelopes(folder(env, "_In")) and "user:quota:nummsgs" not in properties(env, "owner")
    finally:
        os.close(fd)
    queue_empty(env)
    assert properties(env, "owner")["user:quota:nummsgs"] == (cfgfile.VT_I4, 7)
    assert messages(env, OWNER) == []
    assert server.stop() == 0
