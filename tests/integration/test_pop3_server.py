"""The POP3 server with real clients: Python's poplib (plain, STLS and implicit TLS), fetchmail, and
smtplib for the relaying right that a POP3 password login grants."""
import base64
import getpass
import hashlib
import os
import poplib
import re
import shutil
import smtplib
import struct
import subprocess
import time

import pytest

import cfgfile
from conftest import WAIT, configure, free_port, make_certificate, unverified_tls_client

JOHN = "john@example.com"
BIG = "big@example.com"
RELAY_REFUSED = (571, b"5.7.1 Relaying not permitted")
RELAY_ACCEPTED = (250, b"2.1.5 Requested mail action okay, completed")
# Ids with hex letters, so that UIDL shows how they are written.
JOHN_MESSAGES = {
    0x1A: b"Subject: one\r\nFrom: a@remote.test\r\n\r\n.dot line\r\n.\r\nplain\r\n",
    0x2B: b"Subject: two\r\n\r\nsecond body\r\n",
    0x3C: b"Subject: three\r\n\r\nthird body\r\n",
    0x4D: b"Subject: four\r\n\r\nfourth body\r\n",
}


def installation(env, *settings):
    """Listeners on loopback only (POP3 instance 0, SMTP instance 0), routers off so that dropped
    messages stay where they are put, and the mailboxes john and big; returns the ports."""
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoRouters", 1)
    ports = {"pop3": free_port(), "smtp": free_port()}
    configure(env, ("sys:pop3:0:ip", "127.0.0.1"), ("sys:pop3:0:port", "port:%d" % ports["pop3"]),
              ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % ports["smtp"]),
              ("sys:imap4:0:enabled", "bool:false"), ("sys:imap4:0:ip", "127.0.0.1"), *settings)
    assert env.admin("domain", "add", "example.com").returncode == 0
    for address in (JOHN, BIG):
        result = env.admin("mailbox", "add", address, "--password", "secret")
        assert result.returncode == 0, result.stderr
    return ports


def inbox_dir(env, box="john"):
    return env.store_file(os.path.join("example.com", box, "_In"))


def drop(env, messages, box="john"):
    """Writes messages into an inbox by hand (the server must be stopped): record and content by id."""
    record = cfgfile.encode([("_Sender", cfgfile.VT_BSTR, "a@remote.test")]) + struct.pack("<I", 0)
    for uid, text in messages.items():
        stem = os.path.join(inbox_dir(env, box), "%07X" % uid)
        with open(stem + ".env", "wb") as f:
            f.write(record)
        with open(stem + ".eml", "wb") as f:
            f.write(text)


def inbox(env, box="john"):
    return sorted(n for n in os.listdir(inbox_dir(env, box)) if not n.startswith("_"))


def files(*uids):
    return sorted("%07X.%s" % (uid, kind) for uid in uids for kind in ("env", "eml"))


def connect(port):
    return poplib.POP3("127.0.0.1", port, timeout=WAIT)


def login(port, user=JOHN, password="secret"):
    pop = connect(port)
    pop.user(user)
    pop.pass_(password)
    return pop


def refused(call, *args):
    with pytest.raises(poplib.error_proto) as caught:
        call(*args)
    return caught.value.args[0]


def raw_lines(pop, command):
    """A multi-line reply as it travels, byte-stuffing included (poplib's own calls remove it)."""
    pop._putcmd(command)
    reply, lines = pop._getresp(), []
    while (line := pop._getline()[0]) != b".":
        lines.append(line)
    return reply, lines


def login_when_free(port):
    """Logs in to john's inbox once the session that held it has ended on the server's side."""
    deadline = time.monotonic() + WAIT
    pop = connect(port)
    pop.user(JOHN)
    while True:
        try:
            pop.pass_("secret")
            return pop
        except poplib.error_proto as error:
            if error.args[0] != b"-ERR Can not lock box" or time.monotonic() > deadline:
                raise
        time.sleep(0.02)  # poll interval of a bounded wait


def relay_reply(port):
    """What the SMTP instance says to a message from 127.0.0.1 for a domain it does not serve."""
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as smtp:
        smtp.ehlo("client.test")
        assert smtp.mail("a@example.com")[0] == 250
        return smtp.rcpt("x@remote.test")


def test_login_listing_transfer_deletion_and_exclusive_access(registered):
    ports = installation(registered)
    drop(registered, JOHN_MESSAGES)
    drop(registered, {uid: b"Subject: %d\r\n\r\nbody\r\n" % uid for uid in range(1, 2601)}, box="big")
    server = registered.start().wait_ready()
    sizes = [len(text) for text in JOHN_MESSAGES.values()]

    pop = connect(ports["pop3"])
    assert re.fullmatch(rb"\+OK POP3 Welcome <[^<>@ ]+@example\.com>", pop.getwelcome())
    assert set(pop.capa()) == {"UIDL", "TOP", "USER", "APOP"}  # no STLS without a certificate
    listing = pop._longcmd("CAPA")[1]
    for spelling in ("Capa", "CAPABILITIES"):
        assert pop._longcmd(spelling)[1] == listing
    assert pop.user(JOHN) == b"+OK "
    assert refused(pop.pass_, "wrong") == b"-ERR Not authorized"
    assert pop.pass_("secret") == b"+OK Authorized"  # the user name is kept after a failure

    assert pop.stat() == (4, sum(sizes))
    assert pop.list(1) == b"+OK 1 %d" % sizes[0]
    for word in ("0", "x"):
        assert refused(pop.list, word) == b"-ERR No such message"
    unique = [b"%d %X" % (number, uid) for number, uid in enumerate(JOHN_MESSAGES, 1)]
    assert pop.uidl()[1] == unique and pop._longcmd("UIDL 0")[1] == unique
    assert pop.uidl(4) == b"+OK 4 4D"

    assert pop._shortcmd("LAST") == b"+OK 0"
    assert pop.retr(3)[1] == [b"Subject: three", b"", b"third body"]
    assert pop._shortcmd("LAST") == b"+OK 3"
    assert raw_lines(pop, "RETR 1") == (b"+OK %d octets" % sizes[0], [b"Subject: one", b"From: a@remote.test", b"",
                                                                      b"..dot line", b"..", b"plain"])
    assert raw_lines(pop, "TOP 1 0") == (b"+OK Top of message follows", [b"Subject: one", b"From: a@remote.test", b""])

    assert pop.dele(1) == b"+OK Message deleted"
    assert pop.stat() == (3, sum(sizes[1:]))
    assert pop.rset() == b"+OK Message box has 4 messages ( %d octets )" % sum(sizes)
    second = connect(ports["pop3"])
    second.user(JOHN)
    assert refused(second.pass_, "secret") == b"-ERR Can not lock box"
    assert pop.quit() == b"+OK Done"
    assert inbox(registered) == files(*JOHN_MESSAGES)  # the RSET took the mark back

    # The first session has answered QUIT: its inbox is free for the second at once.
    assert second.pass_("secret") == b"+OK Authorized"
    assert second.dele(1) == b"+OK Message deleted"
    second.quit()
    assert inbox(registered) == files(0x2B, 0x3C, 0x4D)

    third = connect(ports["pop3"])
    stamp = third.timestamp.match(third.welcome).group(1)
    digest = hashlib.md5(stamp + b"secret").hexdigest()
    assert refused(third._shortcmd, "APOP %s %s" % (JOHN, digest.upper())) == b"-ERR Not authorized"
    assert third._shortcmd("APOP %s %s" % (JOHN, digest)) == b"+OK Authorized"
    assert third.stat()[0] == 3
    third.dele(1)
    third.close()  # gone without QUIT: the mark is forgotten
    fourth = login_when_free(ports["pop3"])
    assert fourth.stat()[0] == 3
    fourth.quit()
    assert inbox(registered) == files(0x2B, 0x3C, 0x4D)

    big = login(ports["pop3"], BIG)
    assert big.stat() == (2500, sum(len(b"Subject: %d\r\n\r\nbody\r\n" % uid) for uid in range(1, 2501)))
    listed = big.list()[1]
    assert len(listed) == 2500 and listed[-1].startswith(b"2500 ")
    assert big.uidl(2500) == b"+OK 2500 9C4"
    big.quit()
    assert server.stop() == 0


def test_stls_and_implicit_tls(registered):
    cert, key = make_certificate(registered.root)
    port = free_port()
    ports = installation(registered, ("sys:ssl:enabled", "bool:true"), ("sys:ssl:certpath", cert),
                         ("sys:ssl:keypath", key), ("sys:pop3:1:enabled", "bool:true"),
                         ("sys:pop3:1:ip", "127.0.0.1"), ("sys:pop3:1:port", "port:%d" % port),
                         ("sys:pop3:1:ssl", "bool:true"))
    drop(registered, {0x10: b"Subject: secure\r\n\r\nsealed\r\n"})
    server = registered.start().wait_ready()

    pop = connect(ports["pop3"])
    assert "STLS" in pop.capa()
    assert pop.stls(unverified_tls_client()) == b"+OK Begin TLS negotiation"
    assert pop.sock.version() in ("TLSv1.2", "TLSv1.3")
    assert refused(pop._shortcmd, "STLS") == b"-ERR TLS already started"
    pop.user(JOHN)
    assert pop.pass_("secret") == b"+OK Authorized"
    assert pop.retr(1)[1] == [b"Subject: secure", b"", b"sealed"]
    pop.quit()

    implicit = poplib.POP3_SSL("127.0.0.1", port, context=unverified_tls_client(), timeout=WAIT)
    assert re.fullmatch(rb"\+OK POP3 Welcome <[^<>@ ]+@example\.com>", implicit.getwelcome())
    assert implicit.sock.version() in ("TLSv1.2", "TLSv1.3")
    implicit.user(JOHN)
    implicit.pass_("secret")
    assert implicit.stat() == (1, len(b"Subject: secure\r\n\r\nsealed\r\n"))
    implicit.quit()
    assert server.stop() == 0


def test_password_login_opens_relaying_and_fetchmail_empties_the_inbox(registered):
    assert shutil.which("fetchmail"), "fetchmail is not installed"
    ports = installation(registered, ("sys:smtp:0:pop3auth", "bool:true"))
    messages = {uid: b"Subject: fetch %d\r\nFrom: a@remote.test\r\n\r\n.dot line %d\r\n" % (uid, uid) for uid in (1, 2, 3)}
    drop(registered, messages)
    server = registered.start().wait_ready()

    assert relay_reply(ports["smtp"]) == RELAY_REFUSED
    pop = connect(ports["pop3"])
    assert pop.apop(JOHN, "secret") == b"+OK Authorized"
    pop.quit()
    assert relay_reply(ports["smtp"]) == RELAY_REFUSED  # APOP proves no password to the relay
    pop = connect(ports["pop3"])
    pop.user(JOHN)
    refused(pop.pass_, "wrong")
    pop.quit()
    assert relay_reply(ports["smtp"]) == RELAY_REFUSED
    login(ports["pop3"]).quit()
    assert relay_reply(ports["smtp"]) == RELAY_ACCEPTED

    home = os.path.join(registered.root, "fetch")
    os.makedirs(home)
    rc, out = os.path.join(home, "fetchmailrc"), os.path.join(home, "delivered")
    # Without a certificate the server offers no STLS, which fetchmail would otherwise insist on.
    with open(rc, "w", encoding="utf-8") as f:
        f.write('poll 127.0.0.1 protocol pop3 port %d auth password user "%s" there with password "secret" is "%s" here '
                "options fetchall nokeep sslproto '' mda \"cat >> %s\"\n" % (ports["pop3"], JOHN, getpass.getuser(), out))
    os.chmod(rc, 0o600)
    result = subprocess.run(["fetchmail", "--nodetach", "--nosyslog", "-f", rc], capture_output=True, text=True,
                            env=dict(os.environ, HOME=home, FETCHMAILHOME=home), timeout=WAIT)
    assert result.returncode == 0, result.stdout + result.stderr
    assert inbox(registered) == []
    with open(out, encoding="utf-8") as f:
        delivered = f.read()
    for uid in messages:
        assert "Subject: fetch %d" % uid in delivered
        assert re.search(r"(?m)^\.dot line %d\r?$" % uid, delivered)
    assert server.stop() == 0


def reply_to(pop, data):
    """The one-line reply to bytes sent exactly as given."""
    pop.sock.sendall(data)
    return pop._getline()[0]


def test_an_over_long_line_is_refused_whole_and_runs_no_command(registered):
    ports = installation(registered)
    drop(registered, JOHN_MESSAGES)
    server = registered.start().wait_ready()
    pop = connect(ports["pop3"])
    # Before login: the end of a long line must not pass for a login.
    assert reply_to(pop, b"x" * 1023 + b"USER john@example.com\r\n") == b"-ERR Line too long"
    assert refused(pop.pass_, "secret") == b"-ERR Not authorized"
    pop.user(JOHN)
    assert pop.pass_("secret") == b"+OK Authorized"
    for line in (b"x" * 1093 + b" DELE 1", b"x" * 1093 + b" QUIT",
                 b"x" * 1023 + b"DELE 2",  # the command would begin the second piece of the line
                 b"x" * 1023 + b"QUIT",
                 b"x" * 1022 + b"\nDELE 3",  # a piece that ends with a bare LF has not ended the line
                 b"NOOP " + b"x" * 1017):  # the buffer ends between the CR and the LF
        assert reply_to(pop, line + b"\r\n") == b"-ERR Line too long", line[-10:]
        assert pop.noop() == b"+OK NOOP"
    assert pop.stat()[0] == len(JOHN_MESSAGES)
    assert pop.quit() == b"+OK Done"
    assert inbox(registered) == files(*JOHN_MESSAGES)
    assert server.stop() == 0


def test_the_traffic_log_never_holds_a_password_or_an_apop_digest(registered):
    registered.configure_logging(2, 1)  # a daily file at the debug level: every line received
    ports = installation(registered)
    ann, password, wrong = "ann@example.com", "Quill9Harbour", "Wrong7Guess"
    assert registered.admin("mailbox", "add", ann, "--password", password).returncode == 0
    server = registered.start().wait_ready()
    secrets = [password, wrong]

    pop = connect(ports["pop3"])
    pop.user(ann)
    assert refused(pop.pass_, wrong) == b"-ERR Not authorized"
    assert pop.pass_(password) == b"+OK Authorized"
    pop.quit()
    for guess in (wrong, password):
        pop = connect(ports["pop3"])
        stamp = pop.timestamp.match(pop.welcome).group(1)
        digest = hashlib.md5(stamp + guess.encode()).hexdigest()
        secrets.append(digest)
        if guess == wrong:
            assert refused(pop._shortcmd, "APOP %s %s" % (ann, digest)) == b"-ERR Not authorized"
        else:
            assert pop._shortcmd("APOP %s %s" % (ann, digest)) == b"+OK Authorized"
        pop.quit()
    pop = connect(ports["pop3"])
    response = base64.b64encode(b"\0" + ann.encode() + b"\0" + password.encode()).decode()
    assert refused(pop._shortcmd, "AUTH PLAIN " + response) == b"-ERR Unknown command"
    secrets.append(response.rstrip("="))
    pop.user(ann)
    long_password = "Z8" * 600
    assert reply_to(pop, b"PASS " + long_password.encode() + b"\r\n") == b"-ERR Line too long"
    secrets.append(long_password[-40:])
    pop.quit()
    assert server.stop() == 0

    text = ""
    for name in os.listdir(registered.logs):
        with open(os.path.join(registered.logs, name), encoding="utf-8", errors="replace") as f:
            text += f.read()
    for secret in secrets:
        assert secret not in text, secret
    for shown in ("USER " + ann, "PASS ****", "APOP %s ****" % ann, "AUTH PLAIN ****", "failed login for " + ann):
        assert shown in text, shown
