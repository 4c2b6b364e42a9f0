"""The virus scan behind a running server: a private clamd (its own socket and a database that knows
only the EICAR test string) and a command-line scanner script, judging mail sent by smtplib. Infected
mail reaches nobody and the notices name the virus; a scan that could not be made keeps the mail
queued until a scan succeeds, however often that takes."""
import base64
import os
import smtplib
import subprocess

from conftest import WAIT, admin, free_port, log_text, wait_for
from private_clamd import EICAR, SIGNATURE, Clamd
from test_router import content, envelopes, folder, inbox, read_envelope

PASSWORD = "secret12"
# Built from two halves, so that this file is no test virus itself.
ANTIVIRUS_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\AntiVirus"
NOTICE_SUBJECT = "A virus was found in your message: "


def av_server(env, *settings, login=False):
    """A store with john@, mary@ and postmaster@example.com and a plain SMTP listener; the router
    retries after a second. Returns the port."""
    admin(env, "domain", "add", "example.com")
    for name in ("john", "mary", "postmaster"):
        admin(env, "mailbox", "add", name + "@example.com", "--password", PASSWORD)
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoTransports", 1)
    env.configure_debug("RouterRetryPause", 1)
    env.configure_logging(2, 2)
    port = free_port()
    for key, value in (("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
                       ("sys:smtp:0:smtpauth", "bool:true"), ("sys:pop3:0:enabled", "i2:0"),
                       ("sys:imap4:0:enabled", "i2:0"), ("sys:av:enabled", "bool:true"), *settings):
        admin(env, "config", "set", key, value)
    return port


def text_message(case, body):
    return "\r\n".join(["Subject: %s" % case, "X-Case: %s" % case, "", body, ""])


def attachment_message(case, attachments, body="See the attachment."):
    """A multipart message with a text part and (name, bytes) attachments, base64 encoded."""
    lines = ["Subject: %s" % case, "X-Case: %s" % case, "MIME-Version: 1.0",
             'Content-Type: multipart/mixed; boundary="b1"', "", "--b1", "Content-Type: text/plain", "", body]
    for name, data in attachments:
        lines += ["--b1", 'Content-Type: application/octet-stream; name="%s"' % name,
                  'Content-Disposition: attachment; filename="%s"' % name, "Content-Transfer-Encoding: base64", "",
                  base64.b64encode(data).decode("ascii")]
    return "\r\n".join(lines + ["--b1--", ""])


def send(port, sender, recipient, text, login=None):
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        if login:
            client.login(login, PASSWORD)
        client.sendmail(sender, [recipient], text.encode("latin-1"))


def messages(env, name):
    """(subject, text) of every message in the inbox of name@example.com."""
    found = []
    for path in inbox(env, name + "@example.com"):
        text = content(path)
        subject = next((line[len("Subject: "):] for line in text.split("\r\n") if line.startswith("Subject: ")), "")
        found.append((subject, text))
    return found


def cases(env, name):
    return sorted(subject for subject, _ in messages(env, name) if not subject.startswith(NOTICE_SUBJECT))


def notices(env, name):
    return sorted(subject[len(NOTICE_SUBJECT):] for subject, _ in messages(env, name) if subject.startswith(NOTICE_SUBJECT))


def every_stored_message(env):
    for directory, _, names in os.walk(env.store):
        for name in names:
            if name.endswith(".eml"):
                with open(os.path.join(directory, name), "rb") as f:
                    yield f.read()


def deferrals(env):
    return log_text(env).count("could not be scanned for viruses")


def test_clamd_stops_eicar_from_everyone_notifies_and_mail_waits_while_clamd_is_down(registered):
    env = registered
    clamd = Clamd(env.root, stream_max="1M")
    with open(env.registry, "a", encoding="utf-8") as f:
        f.write('\n[%s]\n"Clamd"="%s"\n' % (ANTIVIRUS_KEY, clamd.socket))
    port = av_server(env, ("sys:av:avtype", "i4:2"), ("sys:av:notifyrecipient", "bool:true"),
                     ("sys:av:notifypostmaster", "bool:true"), ("sys:av:postmasteremail", "str:postmaster@example.com"))
    clamd.start()
    try:
        server = env.start().wait_ready()
        assert "The virus scanner clamd answers at " + clamd.socket in log_text(env)
        mary, john = "mary@example.com", "john@example.com"
        send(port, mary, john, attachment_message("attached", [("eicar.com", EICAR.encode())]))
        send(port, mary, john, text_message("inline", "Look: " + EICAR))
        # Authenticated clients skip the spam checks; not the virus scan.
        send(port, john, mary, attachment_message("authenticated", [("x.zip", EICAR.encode())]), login=john)
        send(port, "", john, attachment_message("null sender", [("e.com", EICAR.encode())]))
        send(port, "mail-deamon@example.com", john, text_message("from the server's name", EICAR))
        send(port, mary, john, attachment_message("clean", [("notes.txt", b"nothing to see")]))
        # Over clamd's stream limit: no scan can ever be made, so it is delivered unscanned, not held for ever.
        send(port, mary, john, attachment_message("too large", [("big.bin", os.urandom(1 << 20))]))
        wait_for(lambda: len(notices(env, "postmaster")) == 5, "five notices for the postmaster")
        wait_for(lambda: len(messages(env, "john")) == 7 and len(messages(env, "mary")) == 3, "every notice")
        wait_for(lambda: not envelopes(folder(env, "_In")), "an empty queue")

        assert cases(env, "john") == ["clean", "too large"] and cases(env, "mary") == [] and cases(env, "postmaster") == []
        assert "Warning" in next(line for line in log_text(env).splitlines() if "delivered without a virus scan" in line)
        assert notices(env, "postmaster") == sorted(["attached", "inline", "authenticated", "null sender", "from the server's name"])
        assert notices(env, "john") == sorted(["attached", "inline", "authenticated", "null sender", "from the server's name"])
        assert notices(env, "mary") == sorted(["attached", "inline", "authenticated"])
        for name in ("john", "mary", "postmaster"):
            for subject, text in messages(env, name):
                if subject.startswith(NOTICE_SUBJECT):
                    assert SIGNATURE in text, (name, subject)
        # Nothing anywhere in the store holds the virus; no notice went to the null or the server's sender.
        assert not any(EICAR.encode() in stored for stored in every_stored_message(env))
        assert not [name for _, _, names in os.walk(folder(env, "_Out")) for name in names if name.endswith(".env")]

        # clamd gone: the message waits in the queue, scanned again and again without being held.
        clamd.stop()
        send(port, mary, john, text_message("while down", "An ordinary message."))
        wait_for(lambda: deferrals(env) >= 7, "seven scans that could not be made", bound=WAIT * 2)
        queued = envelopes(folder(env, "_In"))
        assert len(queued) == 1 and read_envelope(queued[0])[1] == [john]
        assert not envelopes(folder(env, "_Held"))
        assert cases(env, "john") == ["clean", "too large"] and len(notices(env, "mary")) == 3
        assert "Critical" in next(line for line in log_text(env).splitlines() if "could not be scanned for viruses" in line)
        clamd.start()
        wait_for(lambda: cases(env, "john") == ["clean", "too large", "while down"], "the waiting message once clamd is back")
        wait_for(lambda: not envelopes(folder(env, "_In")), "an empty queue")
        assert len(notices(env, "mary")) == 3 and len(notices(env, "postmaster")) == 5
        assert server.stop() == 0
    finally:
        clamd.stop()


SCANNER = r'''#!/usr/bin/env python3
# A scanner whose verdict the scanned file and the test's switch files choose.
import os, subprocess, sys, time
here = os.path.dirname(os.path.abspath(__file__))
args = sys.argv[1:]
report, scanned = args[1], args[2]
with open(scanned, "rb") as f:
    data = f.read()
with open(os.path.join(here, "calls.log"), "a") as log:
    log.write("%s|%s|%s|%s|%s\n" % (os.path.basename(scanned), os.path.dirname(scanned) == os.path.dirname(report),
                                    os.readlink("/proc/self/fd/0"), sorted(int(n) for n in os.listdir("/proc/self/fd")),
                                    oct(os.stat(os.path.dirname(scanned)).st_mode & 0o777)))
failing = os.path.exists(os.path.join(here, "failing"))
if b"VIRUS-LISTED" in data:
    sys.exit(3)
if b"VIRUS-OTHER" in data and failing:
    sys.exit(4)
if b"SIGNAL" in data and failing:
    os.kill(os.getpid(), 9)
if b"HANG" in data and failing:
    child = subprocess.Popen(["sleep", "300"])
    with open(os.path.join(here, "child.pid"), "w") as f:
        f.write(str(child.pid))
    time.sleep(300)
sys.exit(0)
'''


def scanner_setup(env, *settings):
    """The scanner script in a directory of its own, and the server's settings for it; returns
    (port, scanner directory, scratch parent)."""
    scanner_dir = os.path.join(env.root, "scanner")
    scratch = os.path.join(env.root, "scratch")
    os.makedirs(scanner_dir)
    os.makedirs(scratch)
    path = os.path.join(scanner_dir, "scan")
    with open(path, "w", encoding="utf-8") as f:
        f.write(SCANNER)
    os.chmod(path, 0o755)
    port = av_server(env, ("sys:av:avtype", "i4:1"), ("sys:av:commandpath", "str:" + path),
                     ("sys:av:commandline", 'str:"--report" %REPORTFILE% %TEMPFILE%'), ("sys:av:temppath", "str:" + scratch),
                     ("sys:av:timeout", "i4:2"), ("sys:av:retcode:0:code", "i4:3"),
                     ("sys:av:retcode:0:desc", "str:Listed test virus"), *settings)
    return port, scanner_dir, scratch


def calls(scanner_dir):
    try:
        with open(os.path.join(scanner_dir, "calls.log"), encoding="utf-8") as f:
            return [line.rstrip("\n").split("|") for line in f]
    except FileNotFoundError:
        return []


def test_a_scanner_script_listed_and_unlisted_codes_signals_and_a_hang_killed_at_the_time_out(registered):
    env = registered
    port, scanner_dir, scratch = scanner_setup(env)
    admin(env, "mailbox", "add", "fwd@example.com", "--kind", "forward")
    admin(env, "mailbox", "set", "fwd@example.com", "alias:fwdtoaddrs", "john@example.com;mary@example.com")
    failing = os.path.join(scanner_dir, "failing")
    open(failing, "w").close()
    server = env.start().wait_ready()
    mary, john = "mary@example.com", "john@example.com"
    send(port, mary, john, text_message("listed", "VIRUS-LISTED"))
    wait_for(lambda: notices(env, "mary") == ["listed"], "the notice of the listed code")
    assert "Listed test virus" in messages(env, "mary")[0][1]
    # An unlisted code, a scanner killed by a signal and one that hangs are no verdicts: the mail waits.
    send(port, mary, john, text_message("unlisted", "VIRUS-OTHER"))
    send(port, mary, john, text_message("signal", "SIGNAL"))
    send(port, mary, john, text_message("hang", "HANG"))
    child = wait_for(lambda: os.path.exists(os.path.join(scanner_dir, "child.pid")) and open(os.path.join(scanner_dir, "child.pid")).read(),
                     "the hanging scanner's child")
    wait_for(lambda: log_text(env).count("was stopped after 2 seconds") >= 1, "the time-out")
    # The scanner's child went with it: killed, and reaped by whoever adopted it.
    wait_for(lambda: not os.path.exists("/proc/%s" % child) or open("/proc/%s/stat" % child).read().split()[2] == "Z",
             "the hanging scanner's child to end", bound=10)
    wait_for(lambda: log_text(env).count("retcode table does not list") >= 6 and log_text(env).count("ended by a signal") >= 6,
             "unlisted codes and signals scanned past the attempts a routing has", bound=WAIT * 2)
    assert len(envelopes(folder(env, "_In"))) == 3 and not envelopes(folder(env, "_Held"))
    assert cases(env, "john") == [] and notices(env, "mary") == ["listed"]
    os.remove(failing)
    wait_for(lambda: cases(env, "john") == ["hang", "signal", "unlisted"], "the waiting mail once the scanner works")
    assert notices(env, "mary") == ["listed"]
    # A forward's copies come from a message scanned clean: one scan, however many copies.
    before = len(calls(scanner_dir))
    send(port, mary, "fwd@example.com", text_message("forwarded", "Pass it on."))
    wait_for(lambda: cases(env, "john") == ["forwarded", "hang", "signal", "unlisted"] and cases(env, "mary") == ["forwarded"],
             "both forwarded copies")
    assert len(calls(scanner_dir)) == before + 1
    assert server.stop() == 0
    for name, beside, stdin, fds, mode in calls(scanner_dir):
        assert name == "message.eml" and beside == "True" and stdin == "/dev/null" and mode == "0o700"
        assert fds == "[0, 1, 2, 3, 4]", fds  # its log file and the listing of its descriptors only
    assert os.listdir(scratch) == []


def test_attachment_mode_scans_each_named_part_under_safe_names_and_nothing_without_one(registered):
    env = registered
    port, scanner_dir, scratch = scanner_setup(env, ("sys:av:mime", "bool:true"))
    server = env.start().wait_ready()
    mary, john = "mary@example.com", "john@example.com"
    touched = os.path.join(os.path.dirname(scratch), "y")
    escaped = os.path.join(os.path.dirname(scratch), "x")
    send(port, mary, john, text_message("plain", "VIRUS-LISTED is only text here"))
    send(port, mary, john, attachment_message("no attachment", [], body="VIRUS-LISTED in the text part"))
    # The walk stops at the infected part: the second part of this one is never scanned.
    send(port, mary, john, attachment_message("hostile names", [("../../x", b"VIRUS-LISTED"), ("../../y", b"never")]))
    send(port, mary, john, attachment_message("clean parts", [("a;touch y", b"harmless"), ("report.pdf", b"one"),
                                                              ("data.tar.gz", b"two"), ("long.abcdefghi", b"three")]))
    wait_for(lambda: cases(env, "john") == ["clean parts", "no attachment", "plain"], "the clean mail")
    wait_for(lambda: notices(env, "mary") == ["hostile names"], "the notice of the infected part")
    wait_for(lambda: not envelopes(folder(env, "_In")), "an empty queue")
    assert server.stop() == 0
    names = sorted(call[0] for call in calls(scanner_dir))
    # Mail without a named part ran no scanner.
    assert names == ["part-1", "part-1", "part-2.pdf", "part-3.gz", "part-4"], names
    assert not os.path.exists(touched) and not os.path.exists(escaped)
    assert os.listdir(scratch) == []
