"""Mailing lists behind a running server: the list server's commands by mail, joining and leaving by
confirmation, postings distributed to the members, and the members' bounces. Mail goes in over SMTP;
what the server made is read back from the store's files and the lists' SQLite databases."""
import email
import email.policy
import os
import re
import smtplib
import sqlite3

from conftest import WAIT, admin, log_text, wait_for
from test_router import envelopes, folder, inbox, read_envelope, serving

DOMAIN = "example.com"
PASSWORD = "listpw1"


def send(port, sender, recipient, text, headers=(), mail_from=None, content_type=None):
    lines = ["From: %s" % sender, "To: %s" % recipient, "Subject: %s" % headers_subject(headers)]
    lines += [h for h in headers if not h.startswith("Subject:")]
    if content_type:
        lines += ["MIME-Version: 1.0", "Content-Type: %s" % content_type]
    body = "\r\n".join(lines) + "\r\n\r\n" + text.replace("\n", "\r\n")
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.sendmail(sender if mail_from is None else mail_from, [recipient], body.encode("utf-8"))


def headers_subject(headers):
    for header in headers:
        if header.startswith("Subject:"):
            return header[len("Subject:"):].strip()
    return "commands"


def messages(env, address):
    """The parsed messages in a local mailbox, oldest first."""
    found = []
    for path in inbox(env, address):
        with open(path[:-4] + ".eml", "rb") as f:
            found.append(email.message_from_bytes(f.read(), policy=email.policy.default))
    return found


def text(message):
    part = message.get_body(("plain",)) if message.is_multipart() else message
    return part.get_content()


def queue_empty(env):
    try:
        wait_for(lambda: not envelopes(folder(env, "_In")), "an empty queue")
    except AssertionError:
        print(log_text(env)[-6000:])
        raise


def members(env, name):
    path = os.path.join(env.store, DOMAIN, name, name + ".mdb")
    if not os.path.exists(path):
        return []
    with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
        return [row[0] for row in db.execute("SELECT Email FROM Members ORDER BY Email")]


def make_list(env, name, **settings):
    admin(env, "mailbox", "add", "%s@%s" % (name, DOMAIN), "--kind", "list", "--password", PASSWORD)
    for key, value in settings.items():
        admin(env, "mailbox", "set", "%s@%s" % (name, DOMAIN), "ml." + key, value)


def setup_domain(env, users):
    env.configure_logging(2, 2)
    admin(env, "domain", "add", DOMAIN)
    for user in users:
        admin(env, "mailbox", "add", "%s@%s" % (user, DOMAIN), "--kind", "user", "--password", "secret12")


def test_list_server_commands_answer_with_results_and_reason_codes(registered):
    env = registered
    setup_domain(env, ["owner", "anna"])
    make_list(env, "news", confirmjoin="bool:true", confirmjoinsubject="str:Welcome")
    make_list(env, "quiet")
    port = serving(env)
    server = env.start().wait_ready()
    owner = "owner@" + DOMAIN

    send(port, owner, "listserver@" + DOMAIN, "\n".join([
        "add news@example.com %s anna@example.com" % PASSWORD,
        "  ADD   news@example.com %s o'brien@remote.test  " % PASSWORD,
        "add news@example.com %s Anna@Example.COM" % PASSWORD,
        "add news@example.com wrongpw1 bert@example.com",
        "add nolist@example.com %s bert@example.com" % PASSWORD,
        "review quiet@example.com %s" % PASSWORD,
        "open news@example.com %s" % PASSWORD,
        "recipients",
        "close",
    ]))
    queue_empty(env)
    got = messages(env, owner)
    by_subject = {m["Subject"]: m for m in got}
    assert len(got) == 4, [m["Subject"] for m in got]
    results = text(by_subject["Re: commands"])
    assert "Added anna@example.com to news@example.com." in results
    assert "Added o'brien@remote.test to news@example.com." in results
    assert "Not added anna@example.com to news@example.com: already a member." in results
    # The owner's own additions send the members no welcome.
    assert messages(env, "anna@" + DOMAIN) == []
    errors = [m for m in got if m["Subject"].startswith("List server:")][0]
    assert "badpassword: add news@example.com ******** bert@example.com" in text(errors)
    assert "badbox: add nolist@example.com ******** bert@example.com" in text(errors)
    for message in got:
        assert "wrongpw1" not in message.as_string() and PASSWORD not in message.as_string()
    assert text(by_subject["REVIEW quiet@example.com"]) == ""
    review = by_subject["REVIEW news@example.com"]
    assert review.get_payload(decode=True) == b"\"\" <anna@example.com>\r\n\"\" <o'brien@remote.test>\r\n"
    assert review["Auto-Submitted"] == "auto-generated"
    assert read_envelope(inbox(env, owner)[0])[0]["_Sender"] == ""

    # An HTML-only message holds no commands; a text without any, the short help.
    send(port, owner, "listserver@" + DOMAIN, "<p>add news@example.com %s x@example.com</p>" % PASSWORD,
         content_type="text/html")
    send(port, owner, "listserv@" + DOMAIN, "hello there\n")
    queue_empty(env)
    later = messages(env, owner)[4:]
    assert len(later) == 2
    assert "noplaintext" in text(later[0]) and "nocommand" in text(later[1]) and "join LIST" in text(later[1])
    # Automatic mail runs no commands and gets no answer.
    send(port, owner, "listserver@" + DOMAIN, "add news@example.com %s auto@example.com\n" % PASSWORD,
         headers=["Auto-Submitted: auto-replied"])
    queue_empty(env)
    assert len(messages(env, owner)) == 6
    assert members(env, "news") == ["anna@example.com", "o'brien@remote.test"]

    # The admin tool shares the database with the running server.
    admin(env, "member", "add", "news@example.com", "Carl <Carl@Example.com>")
    duplicate = env.admin("member", "add", "news@example.com", "carl@example.com")
    assert duplicate.returncode == 1 and "already a member" in duplicate.stderr
    assert env.admin("member", "remove", "news@example.com", "nobody@example.com").returncode == 1
    assert env.admin("member", "list", "anna@example.com").returncode == 1
    listed = admin(env, "member", "list", "news@example.com").stdout.split()
    assert listed == ["anna@example.com", "carl@example.com", "o'brien@remote.test"]
    admin(env, "member", "remove", "news@example.com", "carl@example.com")

    with sqlite3.connect(os.path.join(env.store, DOMAIN, "news", "news.mdb")) as db:
        columns = [row[1] for row in db.execute("PRAGMA table_info(Members)")]
        assert columns == ["Email", "Comment", "Created", "Status", "VacationReturn", "MessageFormat",
                           "MessagesPosted", "Errors", "LastError"]
        indexes = {row[1]: row[2] for row in db.execute("PRAGMA index_list(Members)")}
        assert indexes == {"EmailAddress": 1}
        assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    assert server.stop() == 0


def confirmation_address(message):
    match = re.fullmatch(r"(join|leave)-(.+)-([0-9a-f]{16})@example\.com", message["Reply-To"])
    assert match and message["From"] == message["Reply-To"], message["Reply-To"]
    return message["Reply-To"], match.group(3)


def test_joining_and_leaving_need_the_token_the_list_made_for_that_address(registered):
    env = registered
    setup_domain(env, ["bert", "carl"])
    common = dict(allowjoin="bool:true", allowleave="bool:true", requirejoinconfirm="bool:true",
                  leaveshortcut="bool:true", joinshortcut="bool:true")
    make_list(env, "my-news", confirmjoin="bool:true", confirmjoinsubject="str:Welcome to my-news", **common)
    make_list(env, "other", **common)
    port = serving(env)
    server = env.start().wait_ready()
    bert, carl = "bert@" + DOMAIN, "carl@" + DOMAIN

    send(port, bert, "listserver@" + DOMAIN, "join my-news@example.com\njoin other@example.com\n")
    queue_empty(env)
    requests = [m for m in messages(env, bert) if m["Reply-To"]]
    assert len(requests) == 2
    reply, token = confirmation_address(requests[0])
    other_reply, other_token = confirmation_address(requests[1])
    assert reply.startswith("join-my-news-") and other_reply.startswith("join-other-")
    # One password for both lists, but each list has its own tokens.
    assert token != other_token
    changed = reply.replace(token, token[:7] + ("0" if token[7] != "0" else "1") + token[8:])
    send(port, bert, changed, "yes")
    send(port, carl, reply, "yes, but I am not bert")
    send(port, bert, reply, "I am on holiday", headers=["Auto-Submitted: auto-replied"])
    send(port, bert, reply, "bounced", mail_from="")
    queue_empty(env)
    assert members(env, "my-news") == []
    assert messages(env, carl) == []

    send(port, bert, reply, "yes")
    queue_empty(env)
    assert members(env, "my-news") == [bert]
    assert [m["Subject"] for m in messages(env, bert)][-1] == "Welcome to my-news"
    # The shortcut leaves (no confirmation asked for a leave here).
    send(port, bert, "leave-my-news@" + DOMAIN, "")
    queue_empty(env)
    assert members(env, "my-news") == []
    assert server.stop() == 0
