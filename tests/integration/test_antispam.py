"""Spam checks behind a running server: sender lists, safe ranges and the charset filter judging mail
sent by smtplib from chosen loopback sources, the spam action, the no-respond-to list and automatic
replies; and pellworth-admin editing the lists and the phrase filter -- edge cases, files byte for
byte, damaged files, parallel writers while mail is routed."""
import os
import signal
import smtplib
import socket
import struct
import subprocess
import threading

from conftest import ADMIN, WAIT, admin, free_port, wait_for
from test_router import envelopes, folder, inbox, read_envelope, wait_count, wait_queue_empty

PASSWORD = "secret12"
PREFIX = "[SPAM]\r\nX-Injected: yes "  # CR LF must never start a header line of its own
MARK = "[SPAM]X-Injected: yes "


def network_order_number(address):
    """An address as the settings store it as a number: the 32 bits in network byte order."""
    return struct.unpack("<i", socket.inet_aton(address))[0]


def spam_server(env, *settings):
    """A store with john@example.com and a plain SMTP listener (no open relay: relaying clients are
    trusted and skip the checks); returns the port."""
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--password", PASSWORD)
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoTransports", 1)
    port = free_port()
    for key, value in (("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
                       ("sys:smtp:0:smtpauth", "bool:true"), ("sys:pop3:0:enabled", "i2:0"),
                       ("sys:imap4:0:enabled", "i2:0"), *settings):
        admin(env, "config", "set", key, value)
    return port


def send(port, sender, case, source="127.0.0.9", subject=None, headers=(), login=False, recipient="john@example.com"):
    text = "\r\n".join([*headers, "X-Case: %s" % case, "Subject: %s" % (subject or case), "", "Body of %s." % case, ""])
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT, source_address=(source, 0)) as client:
        if login:
            client.login("john@example.com", PASSWORD)
        client.sendmail(sender, [recipient], text.encode("latin-1"))


def delivered(env, address="john@example.com"):
    """case -> (SpamStatus or None, header text, content) of every message in the inbox."""
    found = {}
    for path in inbox(env, address):
        with open(path[:-4] + ".eml", "rb") as f:
            content = f.read()
        header = content.split(b"\r\n\r\n", 1)[0].decode("latin-1")
        case = next(line[len("X-Case: "):] for line in header.split("\r\n") if line.startswith("X-Case: "))
        found[case] = (read_envelope(path)[0].get("SpamStatus"), header, content)
    return found


def outbound(env):
    """Every envelope queued for the transport."""
    out = folder(env, "_Out")
    return [path for name in sorted(os.listdir(out)) if os.path.isdir(os.path.join(out, name))
            for path in envelopes(os.path.join(out, name))]


def subject_of(header):
    return next(line[len("Subject: "):] for line in header.split("\r\n") if line.startswith("Subject: "))


def test_lists_safe_ranges_and_charsets_judge_mail_and_spam_gets_the_prefix(registered):
    env = registered
    port = spam_server(
        env, ("sys:spam:enemies:enabled", "bool:true"), ("sys:spam:friendly:enabled", "bool:true"),
        ("sys:spam:charset:enabled", "bool:true"), ("sys:spam:safeips:enabled", "bool:true"),
        ("sys:spam:action", "i4:2"), ("sys:spam:preappend", "str:" + PREFIX),
        # A single address (ipend 0), and a range written backwards with numeric ends.
        ("sys:spam:safeips:0:ipstart", "str:127.0.0.5"), ("sys:spam:safeips:0:ipend", "i4:0"),
        ("sys:spam:safeips:1:ipstart", "i4:%d" % network_order_number("127.0.0.30")),
        ("sys:spam:safeips:1:ipend", "i4:%d" % network_order_number("127.0.0.20")),
        ("sys:spam:safeips:1:comment", "str:office"))
    admin(env, "senders", "enemy", "add", "*@evil.test")
    admin(env, "senders", "friendly", "add", '"A Friend" <Friend@Good.Test>')
    for name in ("gb2312", "koi8-r", "windows-1251"):
        admin(env, "charset", "add", name)
    server = env.start().wait_ready()

    send(port, "Someone@Evil.TEST", "enemy")
    send(port, "friend@good.test", "friend")
    send(port, "someone@evil.test", "safe single", source="127.0.0.5")
    send(port, "someone@evil.test", "next to the single", source="127.0.0.6")
    send(port, "someone@evil.test", "safe reversed", source="127.0.0.25")
    send(port, "someone@evil.test", "authenticated", login=True)
    send(port, "x@remote.test", "gb2312", subject="=?gb2312?B?xOO6wg==?=")
    send(port, "x@remote.test", "koi8-r", headers=["MIME-Version: 1.0", 'Content-Type: text/plain; charset="koi8-r"'])
    send(port, "x@remote.test", "cp1251", headers=["MIME-Version: 1.0", "Content-Type: text/plain; charset=CP1251"])
    send(port, "x@remote.test", "ordinary")
    send(port, "someone@evil.test", "marked before", subject=MARK + "old")
    # A change while the server runs applies to the next message.
    admin(env, "senders", "enemy", "add", "late@remote.test")
    send(port, "late@remote.test", "late enemy")
    wait_count(env, "john@example.com", 12)
    wait_queue_empty(env)
    assert server.stop() == 0

    found = delivered(env)
    spam = {"enemy", "next to the single", "gb2312", "koi8-r", "cp1251", "marked before", "late enemy"}
    clean = {"friend", "safe single", "safe reversed", "authenticated"}
    assert {case for case, (status, _, _) in found.items() if status == 1} == spam
    assert {case for case, (status, _, _) in found.items() if status == 2} == clean
    assert found["ordinary"][0] is None
    for case, (status, header, _) in found.items():
        expected = case if case not in spam else MARK + case
        if case == "gb2312":
            expected = MARK + "=?gb2312?B?xOO6wg==?="
        if case == "marked before":
            expected = MARK + "old"  # not marked twice
        assert subject_of(header) == expected, case
        assert not any(line.startswith("X-Injected") for line in header.split("\r\n")), case
    # Only the header was rewritten: the body is as it was sent.
    assert found["enemy"][2].endswith(b"\r\n\r\nBody of enemy.\r\n")


def test_spam_is_dropped_or_only_marked_as_the_action_says(registered):
    env = registered
    port = spam_server(env, ("sys:spam:enemies:enabled", "bool:true"), ("sys:spam:action", "i4:1"),
                       ("sys:spam:preappend", "str:[SPAM] "))
    admin(env, "senders", "enemy", "add", "*@evil.test")
    server = env.start().wait_ready()
    send(port, "bad@EVIL.test", "dropped")
    send(port, "good@remote.test", "kept")
    wait_count(env, "john@example.com", 1)
    wait_queue_empty(env)
    assert server.stop() == 0
    assert set(delivered(env)) == {"kept"}
    assert outbound(env) == []

    # Mark only: "SpamStatus" 1, the subject as it was.
    admin(env, "config", "set", "sys:spam:action", "i4:2")
    admin(env, "config", "remove", "sys:spam:preappend")
    server = env.start().wait_ready()
    send(port, "bad@evil.test", "marked")
    wait_count(env, "john@example.com", 2)
    assert server.stop() == 0
    status, header, _ = delivered(env)["marked"]
    assert status == 1 and subject_of(header) == "marked"


def test_no_respond_list_holds_its_defaults_and_stops_automatic_replies(registered):
    env = registered
    port = spam_server(env)
    admin(env, "mailbox", "add", "away@example.com", "--password", PASSWORD)
    for key, value in (("mailbox:autoreplyenable", "bool:true"), ("mailbox:autoreplysubject", "str:Away"),
                       ("mailbox:autoreplybody", "str:Back soon.")):
        admin(env, "mailbox", "set", "away@example.com", key, value)
    # The defaults are on disk as soon as the server is ready, even when it dies at once.
    server = env.start().wait_ready()
    server.stop(signal.SIGKILL)
    expected = struct.pack("<I", 1)
    for name, key in (("Mail Daemon", "mail-daemon@*"), ("Mailer Daemon", "mailer-daemon@*"), ("List Serv", "listserv@*"),
                      ("List Server", "listserver@*"), ("Majordom", "majordom@*"), ("root", "root@*"),
                      ("Postmaster", "postmaster@*"), ("null", "null@*")):
        expected += struct.pack("<I", len(key)) + key.encode() + struct.pack("<I", len(name)) + name.encode()
    with open(env.store_file("NoRespondTo.lst"), "rb") as f:
        assert f.read() == expected

    server = env.start().wait_ready()
    send(port, "MAILER-DAEMON@Any.Test", "daemon", recipient="away@example.com")
    send(port, "person@remote.test", "person", recipient="away@example.com")
    admin(env, "senders", "norespond", "add", "quiet@remote.test")
    send(port, "quiet@remote.test", "quiet", recipient="away@example.com")
    wait_count(env, "away@example.com", 3)
    wait_queue_empty(env)
    assert server.stop() == 0
    assert [read_envelope(path)[1] for path in outbound(env)] == [["person@remote.test"]]


def run_admin(env, *args):
    return subprocess.run([ADMIN, *args], env=env.env, capture_output=True, text=True, timeout=WAIT)


def refused(result):
    """Failure as the tool reports it: exit 1 and one line on stderr."""
    return result.returncode == 1 and result.stderr.count("\n") == 1


def write_message(env, name, text):
    path = os.path.join(env.root, name)
    with open(path, "wb") as f:
        f.write(text.encode("latin-1"))
    return path


def test_admin_edits_lists_and_phrases_and_leaves_damaged_files_alone(registered):
    env = registered
    lists = env.store_file("GoodSenders.lst")
    admin(env, "senders", "friendly", "add", '"Big Boss" <Big.Boss@Example.COM>')
    admin(env, "senders", "friendly", "add", "*@partner.test")
    admin(env, "senders", "friendly", "add", "<*@Other.Test>")
    assert refused(run_admin(env, "senders", "friendly", "add", "   "))
    assert admin(env, "senders", "friendly", "list").stdout == (
        '"Big Boss" <big.boss@example.com>\n"*@partner.test" <*@partner.test>\n"*@Other.Test" <*@Other.Test>\n')
    assert admin(env, "senders", "friendly", "check", "Anyone@PARTNER.test").stdout == "yes\n"
    assert admin(env, "senders", "friendly", "check", "anyone@other.test").stdout == "no\n"  # patterns keep their case
    assert refused(run_admin(env, "senders", "friendly", "remove", "*@*.test"))  # only the exact key goes
    admin(env, "senders", "friendly", "remove", "*@Other.Test")
    with open(lists, "rb") as f:
        assert f.read() == (struct.pack("<I", 1) + struct.pack("<I", 20) + b"big.boss@example.com" + struct.pack("<I", 8)
                            + b"Big Boss" + (struct.pack("<I", 14) + b"*@partner.test") * 2)
    # A 0-byte file is an empty list; a damaged one is left as it is and every change is refused.
    open(env.store_file("BadSenders.lst"), "wb").close()
    assert admin(env, "senders", "enemy", "list").stdout == ""
    admin(env, "senders", "enemy", "add", "x@y.test")
    damaged = struct.pack("<II", 1, 0xFFFFFFF0) + b"abc"
    with open(lists, "wb") as f:
        f.write(damaged)
    for args in (("add", "a@b.test"), ("remove", "*@partner.test"), ("list",), ("check", "a@b.test")):
        assert refused(run_admin(env, "senders", "friendly", *args)), args
    with open(lists, "rb") as f:
        assert f.read() == damaged
    assert refused(run_admin(env, "senders", "friendly", "defaults"))

    admin(env, "charset", "add", "koi8-r")
    assert refused(run_admin(env, "charset", "add", "KOI8R"))  # an alias of a listed set
    admin(env, "charset", "remove", "cskoi8r")
    assert admin(env, "charset", "list").stdout == ""

    phrases = env.store_file("PhraseFilter.dat")
    for args in (("viagra", "40", "--whole-word"), ("cheap", "-15.5"), ("lose weight", "70"), ("nbsp", "1")):
        admin(env, "phrases", "add", *args)
    admin(env, "phrases", "set", "ignore-obfuscation", "true")
    admin(env, "phrases", "set", "obfuscation-chars", "-*_")
    admin(env, "phrases", "remove", "3")
    assert refused(run_admin(env, "phrases", "remove", "3"))
    assert refused(run_admin(env, "phrases", "add", "x", "NaN"))
    with open(phrases, "rb") as f:
        data = f.read()
    assert data == (struct.pack("<IIII", 1, 1, 1, 3) + b"-*_" + struct.pack("<II", 1, 0)
                    + struct.pack("<I", 6) + b"viagra" + struct.pack("<dI", 40, 1)
                    + struct.pack("<I", 5) + b"cheap" + struct.pack("<dI", -15.5, 0)
                    + struct.pack("<I", 11) + b"lose weight" + struct.pack("<dI", 70, 0))
    message = write_message(env, "html.eml", (
        "MIME-Version: 1.0\r\nSubject: v-i*a_g-r-a\r\nContent-Type: text/html\r\n\r\n"
        "<html><title>lose weight</title><style>lose weight</style><p>lose&nbsp;weight</p>"
        "<p>viagras cheap</p>cheap viagra</html>\r\n"))
    assert admin(env, "phrases", "score", message).stdout == "49.00\nviagra=80.00, cheap=-31.00\n"
    # The stop flag (kept in the file) ends the scan once a text reaches 100.
    message = write_message(env, "many.eml", "Subject: lose weight lose weight\r\n\r\nviagra\r\n")
    assert admin(env, "phrases", "score", message).stdout == "140.00\nlose weight=140.00\n"

    # A last record cut short is dropped and the rest stays usable; another header is never changed.
    with open(phrases, "wb") as f:
        f.write(data + struct.pack("<I", 9) + b"cut")
    assert admin(env, "phrases", "list").stdout.endswith("2\t70.00\tanywhere\tlose weight\n")
    admin(env, "phrases", "add", "new", "1")
    with open(phrases, "rb") as f:
        assert f.read() == data + struct.pack("<I", 3) + b"new" + struct.pack("<dI", 1, 0)
    with open(phrases, "wb") as f:
        f.write(struct.pack("<I", 2) + data[4:])
    assert refused(run_admin(env, "phrases", "clear"))
    os.remove(phrases)

    # A 16 MB HTML message of hostile markup is scored well inside the bound.
    admin(env, "phrases", "clear")
    admin(env, "phrases", "add", "needle", "1")
    body = ("<style><title>&amp&#9999;<b x=1>needle&nbsp;" * 400000)[: 16 << 20]
    message = write_message(env, "big.eml", "MIME-Version: 1.0\r\nContent-Type: text/html\r\n\r\n" + body)
    result = run_admin(env, "phrases", "score", message)
    assert result.returncode == 0 and result.stdout.startswith("100.00\nneedle=100.00"), result.stdout[:200]


def test_parallel_admin_adds_lose_nothing_while_mail_is_routed(registered):
    env = registered
    port = spam_server(env, ("sys:spam:enemies:enabled", "bool:true"), ("sys:spam:action", "i4:2"))
    server = env.start().wait_ready()
    sent = []
    stop = threading.Event()

    def traffic():
        while not stop.is_set():
            number = len(sent)
            send(port, "user%d@flood.test" % (number % 80), "flood %d" % number)
            sent.append(number)

    sender = threading.Thread(target=traffic)
    sender.start()
    try:
        adders = [subprocess.Popen([ADMIN, "senders", "enemy", "add", "user%d@flood.test" % n], env=env.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE) for n in range(80)]
        results = [(p.wait(timeout=WAIT), p.stderr.read()) for p in adders]
    finally:
        stop.set()
        sender.join(timeout=WAIT)
    assert all(code == 0 for code, _ in results), [e for _, e in results if e]
    listed = admin(env, "senders", "enemy", "list").stdout.splitlines()
    assert sorted(listed) == sorted('"" <user%d@flood.test>' % n for n in range(80))
    # Once every add is in, mail from the list is spam.
    send(port, "user42@flood.test", "after")
    wait_count(env, "john@example.com", len(sent) + 1)
    wait_queue_empty(env)
    assert server.stop() == 0
    assert delivered(env)["after"][0] == 1
