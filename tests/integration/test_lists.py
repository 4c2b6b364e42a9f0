"""Mailing lists behind a running server: the list server's commands by mail, joining and leaving by
confirmation, postings distributed to the members, and the members' bounces. Mail goes in over SMTP;
what the server made is read back from the store's files and the lists' SQLite databases."""
import base64
import email
import email.message
import email.policy
import os
import re
import smtplib
import sqlite3

from conftest import WAIT, admin, log_text, wait_for
from test_router import envelopes, folder, inbox, read_envelope, serving
from test_transport import Peer, relay_through

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
        # With a list open, the form that names a list still means that list.
        "add quiet@example.com %s dora@example.com" % PASSWORD,
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
    assert "> add quiet@example.com ******** dora@example.com\r\nAdded dora@example.com to quiet@example.com." in results
    assert members(env, "quiet") == ["dora@example.com"]
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
    # One message asks for at most 20 listings.
    send(port, owner, "listserver@" + DOMAIN, "review quiet@example.com %s\n" % PASSWORD * 30)
    queue_empty(env)
    later = messages(env, owner)[6:]
    assert sum(m["Subject"] == "REVIEW quiet@example.com" for m in later) == 20 and len(later) == 21
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
    requests = sorted((m for m in messages(env, bert) if m["Reply-To"]), key=lambda m: m["Reply-To"])
    assert len(requests) == 2
    reply, token = confirmation_address(requests[0])
    other_reply, other_token = confirmation_address(requests[1])
    assert reply.startswith("join-my-news-") and other_reply.startswith("join-other-")
    # One password for both lists, but each list has its own tokens, made of a secret never shown.
    assert token != other_token
    shown = admin(env, "mailbox", "show", "my-news@" + DOMAIN).stdout
    assert "_MLSecret=(set)" in shown and not re.search(r"[0-9a-f]{64}", shown)
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


def post(port, sender, recipient, subject, body, headers=(), mail_from=None, raw=None):
    """A posting with a base64 text/plain body (so the signature must go into the decoded text)."""
    if raw is None:
        encoded = base64.encodebytes(body.encode("utf-8")).decode("ascii").replace("\n", "\r\n")
        raw = "\r\n".join(["From: %s" % sender, "To: %s" % recipient, "Subject: %s" % subject, *headers,
                           "MIME-Version: 1.0", "Content-Type: text/plain; charset=utf-8",
                           "Content-Transfer-Encoding: base64", "", encoded])
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.sendmail(sender if mail_from is None else mail_from, [recipient], raw.encode("utf-8"))


def test_postings_reach_every_member_changed_for_the_list(registered):
    env = registered
    setup_domain(env, ["anna", "bert", "carl"])
    make_list(env, "talk", preappendsubject="bool:true", preappendsubjecttext="str:Talk", repliesto="bool:true",
              signature="bool:true", signatureplain="str:-- \r\nThe talk list", rejectpostingonsize="bool:true",
              rejectpostingsize="i4:3000")
    make_list(env, "crlf", preappendsubject="bool:true", preappendsubjecttext="str:x\r\nBcc: evil@example.com",
              nonmemberscanpost="bool:true")
    make_list(env, "bare", preappendsubject="bool:true", nonmemberscanpost="bool:true")
    for address in ("anna@example.com", "bert@example.com", "o'brien@remote.test"):
        admin(env, "member", "add", "talk@example.com", address)
    admin(env, "member", "add", "crlf@example.com", "carl@example.com")
    admin(env, "member", "add", "bare@example.com", "carl@example.com")
    port = serving(env)
    server = env.start().wait_ready()
    anna, bert, carl = ("%s@%s" % (n, DOMAIN) for n in ("anna", "bert", "carl"))

    post(port, carl, "talk@" + DOMAIN, "From a stranger", "Let me in.\r\n")
    post(port, anna, "talk@" + DOMAIN, "Hello", "First posting.\r\n")
    queue_empty(env)
    refusal = messages(env, carl)
    assert len(refusal) == 1 and "notauthorized" in text(refusal[0])
    for member in (anna, bert):
        copies = messages(env, member)
        assert len(copies) == 1, member
        copy = copies[0]
        assert copy["Subject"] == "[Talk] Hello"
        assert copy["Reply-To"] == "talk@example.com" and copy["To"] == "talk@example.com"
        assert copy["List-Id"] == '"talk" <talk.example.com>'
        assert copy["List-Post"] == "<mailto:talk@example.com>"
        assert copy["List-Unsubscribe"] == "<mailto:listserver@example.com?body=leave%20talk@example.com>"
        assert copy["Content-Transfer-Encoding"] == "base64"
        assert copy.get_content() == "First posting.\r\n-- \r\nThe talk list\r\n"
        sender = read_envelope(inbox(env, member)[0])[0]["_Sender"]
        assert re.fullmatch(r"talk\+bounce-\d+-[0-9a-f]{16}@example\.com", sender), sender
    outbound = envelopes(folder(env, "_Out", "remote.test"))
    assert len(outbound) == 1 and read_envelope(outbound[0])[1] == ["o'brien@remote.test"]

    # A reply keeps one prefix; too large a posting is refused; automatic mail and the list's own
    # copies coming back are neither distributed nor answered.
    post(port, bert, "talk@" + DOMAIN, "Re: [Talk] Hello", "Second.\r\n")
    post(port, bert, "talk@" + DOMAIN, "Large", "x" * 4000)
    post(port, bert, "talk@" + DOMAIN, "Out of office", "Away.\r\n", headers=["Auto-Submitted: auto-replied"])
    post(port, bert, "talk@" + DOMAIN, "Looped", "Again.\r\n", headers=['List-Id: "talk" <talk.example.com>'])
    post(port, bert, "talk@" + DOMAIN, "Bounced", "Again.\r\n", mail_from="")
    queue_empty(env)
    # Routers work side by side: the order of arrival is not the order of sending.
    assert sorted(m["Subject"] for m in messages(env, anna)) == ["Re: [Talk] Hello", "[Talk] Hello"]
    bert_got = {m["Subject"]: m for m in messages(env, bert)}
    assert sorted(bert_got) == ["Re: [Talk] Hello", "Your posting to talk@example.com was not distributed", "[Talk] Hello"]
    assert "postingsize" in text(bert_got["Your posting to talk@example.com was not distributed"])
    with sqlite3.connect(os.path.join(env.store, DOMAIN, "talk", "talk.mdb")) as db:
        posted = dict(db.execute("SELECT Email, MessagesPosted FROM Members"))
    assert posted == {"anna@example.com": 1, "bert@example.com": 1, "o'brien@remote.test": 0}

    # A prefix with a line break adds no field; an empty one is "[] ".
    post(port, anna, "crlf@" + DOMAIN, "Injected", "Text.\r\n")
    post(port, anna, "bare@" + DOMAIN, "Plain", "Text.\r\n")
    queue_empty(env)
    crlf, bare = sorted(messages(env, carl)[1:], key=lambda m: m["Subject"].startswith("[x"), reverse=True)
    assert crlf["Bcc"] is None and crlf["Subject"].startswith("[x") and "evil" in crlf["Subject"]
    assert bare["Subject"] == "[] Plain"
    assert server.stop() == 0


def test_a_moderated_list_holds_postings_until_the_moderator_sends_them_back(registered):
    env = registered
    setup_domain(env, ["owner", "anna", "bert"])
    make_list(env, "mod", type="i4:1", moderator="str:owner@example.com")
    for address in ("anna@example.com", "bert@example.com"):
        admin(env, "member", "add", "mod@example.com", address)
    port = serving(env)
    server = env.start().wait_ready()
    owner, anna, bert = ("%s@%s" % (n, DOMAIN) for n in ("owner", "anna", "bert"))

    post(port, bert, "mod@" + DOMAIN, "Please publish", "My article.\r\n")
    queue_empty(env)
    assert messages(env, anna) == []
    held = messages(env, owner)
    assert len(held) == 1
    attached = [p for p in held[0].iter_attachments() if p.get_content_type() == "message/rfc822"]
    assert len(attached) == 1
    original = attached[0].get_content()
    assert original["Subject"] == "Please publish"

    # The moderator forwards the held posting as an attachment: that message is distributed.
    forward = email.message.EmailMessage()
    forward["From"] = owner
    forward["To"] = "mod@" + DOMAIN
    forward["Subject"] = "Fwd: Please publish"
    forward.set_content("Released.\n")
    forward.add_attachment(original)
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.sendmail(owner, ["mod@" + DOMAIN], forward.as_bytes())
    queue_empty(env)
    for member in (anna, bert):
        got = messages(env, member)
        assert [m["Subject"] for m in got] == ["Please publish"], member
        assert got[0].get_content() == "My article.\r\n"
    assert server.stop() == 0


def report(recipient, status, to):
    """A delivery status notification (RFC 3464) from the null sender."""
    return "\r\n".join([
        "From: MAILER-DAEMON@remote.test", "To: %s" % to, "Subject: Delivery Status Notification",
        "MIME-Version: 1.0", "Auto-Submitted: auto-replied",
        'Content-Type: multipart/report; report-type=delivery-status; boundary="b1"', "",
        "--b1", "Content-Type: text/plain", "", "Delivery failed.", "",
        "--b1", "Content-Type: message/delivery-status", "",
        "Reporting-MTA: dns; remote.test", "",
        "Original-Recipient: rfc822; %s" % recipient, "Final-Recipient: rfc822; %s" % recipient,
        "Action: %s" % ("failed" if status.startswith("5") else "delayed"), "Status: %s" % status, "",
        "--b1--", ""])


def test_three_permanent_failures_at_a_members_return_path_remove_the_member(registered):
    env = registered
    setup_domain(env, ["anna"])
    make_list(env, "talk")
    for address in ("anna@example.com", "gone@remote.test", "kept@remote.test"):
        admin(env, "member", "add", "talk@example.com", address)
    port = serving(env)
    server = env.start().wait_ready()
    post(port, "anna@" + DOMAIN, "talk@" + DOMAIN, "Hello", "Text.\r\n")
    queue_empty(env)
    return_paths = {}
    for path in envelopes(folder(env, "_Out", "remote.test")):
        properties, recipients = read_envelope(path)
        return_paths[recipients[0]] = properties["_Sender"]
    gone, kept = return_paths["gone@remote.test"], return_paths["kept@remote.test"]
    assert re.fullmatch(r"talk\+bounce-\d+-[0-9a-f]{16}@example\.com", gone) and gone != kept

    def bounce(to, recipient, status):
        with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
            client.sendmail("", [to], report(recipient, status, to).encode())

    tag = gone.split("-")[-1].split("@")[0]
    forged = gone.replace(tag, tag[:3] + ("0" if tag[3] != "0" else "1") + tag[4:])
    for _ in range(3):
        bounce(forged, "gone@remote.test", "5.1.1")  # a forged tag: ignored
        bounce("talk@" + DOMAIN, "gone@remote.test", "5.1.1")  # reports to the list itself remove nobody
        bounce(kept, "kept@remote.test", "4.4.1")  # delays count nothing
    bounce(gone, "gone@remote.test", "5.1.1")
    bounce(gone, "gone@remote.test", "5.2.2")
    queue_empty(env)
    assert members(env, "talk") == ["anna@example.com", "gone@remote.test", "kept@remote.test"]
    # Nothing of it reached a member.
    assert [m["Subject"] for m in messages(env, "anna@" + DOMAIN)] == ["Hello"]
    bounce(gone, "gone@remote.test", "5.1.1")
    queue_empty(env)
    assert members(env, "talk") == ["anna@example.com", "kept@remote.test"]
    assert server.stop() == 0


def test_a_distribution_cut_off_by_a_crash_resumes_and_repeats_at_most_one_batch(registered):
    env = registered
    setup_domain(env, ["anna"])
    make_list(env, "big")
    admin(env, "member", "add", "big@example.com", "anna@example.com")
    remote = ["m%03d@remote.test" % n for n in range(600)]
    with sqlite3.connect(os.path.join(env.store, DOMAIN, "big", "big.mdb")) as db:
        db.executemany("INSERT INTO Members (Email, Created) VALUES (?, 46000)", [(a,) for a in remote])
    port = serving(env)
    server = env.start().wait_ready()
    post(port, "anna@" + DOMAIN, "big@" + DOMAIN, "To all", "Text.\r\n")
    # The copies wait in the queue until the posting is done: kill the server among them.
    wait_for(lambda: len(envelopes(folder(env, "_In"))) >= 250, "copies being made")
    server.proc.kill()
    server.proc.wait(timeout=WAIT)
    env.start().wait_ready()
    wait_for(lambda: not envelopes(folder(env, "_In")), "an empty queue", bound=240)
    got = {}
    for path in envelopes(folder(env, "_Out", "remote.test")):
        for recipient in read_envelope(path)[1]:
            got[recipient] = got.get(recipient, 0) + 1
    assert sorted(got) == remote
    twice = [a for a, n in got.items() if n > 1]
    print("copies made twice: %d" % len(twice))
    assert all(n <= 2 for n in got.values()) and len(twice) <= 100, len(twice)
    assert len(messages(env, "anna@" + DOMAIN)) in (1, 2)


def test_remote_members_get_copies_and_their_refusals_count_against_them(registered):
    """The whole way round: the transport hands the copies to a peer under each member's return path;
    the peer refuses one member, the server's own notice goes to that return path, and the third
    such notice removes the member."""
    env = registered
    setup_domain(env, ["anna"])
    make_list(env, "talk")
    for address in ("anna@example.com", "ok@remote.test", "refused@remote.test"):
        admin(env, "member", "add", "talk@example.com", address)
    peer = Peer()
    peer.replies = {"RCPT TO:<refused@": "550 5.1.1 No such user"}
    try:
        port = serving(env)
        env.configure_debug("NoTransports", 0)
        for key, value in relay_through(peer):
            admin(env, "config", "set", key, value)
        server = env.start().wait_ready()
        for number in range(1, 4):
            post(port, "anna@" + DOMAIN, "talk@" + DOMAIN, "Posting %d" % number, "Text %d.\r\n" % number)
            wait_for(lambda: len([s for s in peer.with_rcpt("ok@remote.test") if s["done"]]) == number, "copy %d" % number)
            wait_for(lambda: not envelopes(folder(env, "_In")) and not envelopes(folder(env, "_Out", "remote.test")),
                     "the refusal's notice handled")
            if number < 3:
                with sqlite3.connect(os.path.join(env.store, DOMAIN, "talk", "talk.mdb")) as db:
                    assert db.execute("SELECT Errors FROM Members WHERE Email = 'refused@remote.test'").fetchone() == (number,)
        session = peer.delivered("ok@remote.test")
        mail_from = session["commands"][1]
        assert re.fullmatch(r"MAIL FROM:<talk\+bounce-\d+-[0-9a-f]{16}@example\.com>.*", mail_from), mail_from
        assert b"List-Id: \"talk\" <talk.example.com>\r\n" in session["data"]
        assert members(env, "talk") == ["anna@example.com", "ok@remote.test"]
        assert server.stop() == 0
    finally:
        peer.close()


def test_a_member_database_that_can_not_be_read_keeps_the_posting_and_is_never_overwritten(registered):
    env = registered
    setup_domain(env, ["anna"])
    foreign = os.path.join(env.root, "members.mdb")
    with open(foreign, "wb") as f:
        f.write(b"Standard Jet DB\0" + bytes(range(256)) * 8)
    with open(foreign, "rb") as f:
        before = f.read()
    make_list(env, "old", nonmemberscanpost="bool:true")
    admin(env, "mailbox", "set", "old@example.com", "ml:datasource", "str:" + foreign)
    assert env.admin("member", "add", "old@example.com", "anna@example.com").returncode == 1
    port = serving(env)
    env.configure_debug("RouterRetryPause", 1)
    server = env.start().wait_ready()
    post(port, "anna@" + DOMAIN, "old@" + DOMAIN, "Kept", "Text.\r\n")
    # Tried again and again, then held: never taken as distributed.
    # Holding copies the envelope, then removes it from the queue.
    wait_for(lambda: envelopes(folder(env, "_Held")) and not envelopes(folder(env, "_In")), "the posting held")
    assert messages(env, "anna@" + DOMAIN) == []
    with open(foreign, "rb") as f:
        assert f.read() == before
    assert server.stop() == 0
