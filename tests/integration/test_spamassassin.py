"""SpamAssassin behind a running server: a private spamd (its own loopback port and configuration
directory, local tests only) judging mail sent by smtplib -- GTUBE, clean mail, GTUBE beyond the
bytes sent, the report header, the spam action, a stopped spamd; pellworth-admin changing local.cf
while the server runs, byte for byte; and `spam learn` training sa-learn from the learning folders
that an IMAP client filled."""
import glob
import imaplib
import os
import shutil
import smtplib
import stat
import subprocess

import pytest

from conftest import WAIT, admin, configure, free_port, wait_for
from private_spamd import Spamd, site_directory
from test_router import envelopes, folder, inbox, read_envelope, wait_count, wait_queue_empty

SA_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\SpamAssassin"
GTUBE = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"
CUT = 51150  # the bytes of a message SpamAssassin sees
PREFIX = "[SA] "
JOHN = "john@example.com"

pytestmark = pytest.mark.skipif(not shutil.which("spamd") or not shutil.which("sa-learn"),
                                reason="SpamAssassin is not installed (scripts/lib.sh installs it)")


@pytest.fixture
def sa_directory():
    made = []
    yield lambda *args: made.append(site_directory(*args)) or made[-1]
    for directory in made:
        shutil.rmtree(directory, ignore_errors=True)


def use_spamassassin(env, directory, spamd="127.0.0.1:1"):
    with open(env.registry, "a", encoding="utf-8") as f:
        f.write('\n[%s]\n"Directory"="%s"\n"Spamd"="%s"\n' % (SA_KEY, directory, spamd))


def smtp_server(env, *settings):
    """A store with john@example.com and a plain SMTP listener (clients from 127.0.0.9 do not relay:
    their mail is judged); returns the port."""
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", JOHN, "--password", "secret12")
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoTransports", 1)
    port = free_port()
    configure(env, ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
              ("sys:pop3:0:enabled", "i2:0"), ("sys:imap4:0:enabled", "i2:0"), *settings)
    return port


def send(port, case, body, headers=()):
    """A well-formed message (so that a clean one scores low) whose header "X-Case" names it."""
    text = "\r\n".join(["From: Sender <sender@remote.test>", "To: John <john@example.com>",
                        "Date: Thu, 10 Dec 2026 08:00:00 +0000", "Message-ID: <%s@remote.test>" % case.replace(" ", "."),
                        "X-Case: %s" % case, "Subject: %s" % case, *headers, "", body, ""])
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT, source_address=("127.0.0.9", 0)) as client:
        client.sendmail("sender@remote.test", [JOHN], text.encode("ascii"))


def delivered(env):
    """case -> (SpamStatus, header lines as sent on, content bytes)."""
    found = {}
    for path in inbox(env, JOHN):
        with open(path[:-4] + ".eml", "rb") as f:
            data = f.read()
        header = data.split(b"\r\n\r\n", 1)[0].decode("ascii")
        lines = header.split("\r\n")
        case = next(line[len("X-Case: "):] for line in lines if line.startswith("X-Case: "))
        found[case] = (read_envelope(path)[0].get("SpamStatus"), lines, data)
    return found


def report_of(lines):
    """The report field's lines (first line and its folds), asserting it is one well-folded field."""
    starts = [i for i, line in enumerate(lines) if line.lower().startswith("x-spamassassin-report:")]
    assert len(starts) == 1, lines
    field = [lines[starts[0]]]
    for line in lines[starts[0] + 1:]:
        if not line[:1] in (" ", "\t"):
            break
        field.append(line)
    assert len(field) > 3
    for fold in field[1:]:
        assert fold.startswith("\t") and fold.strip() and fold == fold.rstrip(), repr(fold)
    return "\n".join(field)


def subject_of(lines):
    return next(line[len("Subject: "):] for line in lines if line.startswith("Subject: "))


def test_spamd_judges_mail_reports_cuts_and_mail_flows_without_it(registered, sa_directory):
    env = registered
    env.configure_logging(2, 3)  # warnings, not the debug lines
    directory = sa_directory(b"required_hits 5\nuse_bayes 0\n")
    spamd = Spamd(directory, free_port(), children=2)
    try:
        use_spamassassin(env, directory, "127.0.0.1:%d" % spamd.port)
        port = smtp_server(env, ("sys:spam:sa:enabled", "bool:true"), ("sys:spam:sa:report_hdr", "bool:true"),
                           ("sys:spam:action", "i4:2"), ("sys:spam:preappend", "str:" + PREFIX))
        server = env.start().wait_ready()
        send(port, "gtube", "Hello,\r\n" + GTUBE, headers=["X-SpamAssassin-Report: forged, all clean"])
        send(port, "clean", "Dear John,\r\nthe minutes of Tuesday's meeting follow next week.\r\nRegards")
        filler = "".join("line %05d of a long and ordinary letter about the garden\r\n" % n for n in range(CUT // 59 + 10))
        assert len(filler) > CUT
        send(port, "gtube late", filler + GTUBE)
        wait_count(env, JOHN, 3)
        wait_queue_empty(env)
        assert server.stop() == 0
        found = delivered(env)

        status, lines, _ = found["gtube"]
        assert status == 1
        assert subject_of(lines) == PREFIX + "gtube"
        report = report_of(lines)
        assert "GTUBE" in report and "forged" not in report
        status, lines, data = found["clean"]
        assert status == 2 and subject_of(lines) == "clean"
        assert "Content analysis details" in report_of(lines) and "GTUBE" not in report_of(lines)
        assert data.endswith(b"\r\n\r\nDear John,\r\nthe minutes of Tuesday's meeting follow next week.\r\nRegards\r\n")
        status, lines, data = found["gtube late"]
        assert status == 2 and subject_of(lines) == "gtube late", report_of(lines)
        assert data.endswith((filler + GTUBE + "\r\n").encode())

        # The delete action, with the plain check (no report asked, none written).
        configure(env, ("sys:spam:action", "i4:1"), ("sys:spam:sa:report_hdr", "bool:false"))
        server = env.start().wait_ready()
        send(port, "gtube deleted", GTUBE)
        send(port, "clean again", "Dear John,\r\nsee you on Friday.\r\nRegards")
        wait_count(env, JOHN, 4)
        wait_queue_empty(env)
        found = delivered(env)
        assert "gtube deleted" not in found
        status, lines, _ = found["clean again"]
        assert status == 2 and not any(line.lower().startswith("x-spamassassin") for line in lines)

        # spamd gone: mail flows, unjudged by it.
        spamd.stop()
        send(port, "without spamd", GTUBE)
        send(port, "still without spamd", GTUBE)
        wait_count(env, JOHN, 6)
        wait_queue_empty(env)
        assert server.stop() == 0
        found = delivered(env)
        for case in ("without spamd", "still without spamd"):
            status, lines, _ = found[case]
            assert status is None and subject_of(lines) == case
        # One warning for the two messages: a stopped spamd must not flood the log.
        log = "".join(open(os.path.join(env.logs, name), encoding="utf-8", errors="replace").read()
                      for name in os.listdir(env.logs))
        assert log.count("gave no verdict") == 1, log
    finally:
        spamd.stop()


def test_admin_changes_local_cf_while_the_server_runs(registered, sa_directory):
    env = registered
    original = b"# site settings\nrequired_hits 5\n# required_hits 9\nbayes_auto_learn 1   # on\n"
    directory = sa_directory(original, 0o604)
    path = os.path.join(directory, "local.cf")
    use_spamassassin(env, directory)
    server = env.start().wait_ready()

    def read():
        with open(path, "rb") as f:
            return f.read()

    def get(name):
        return admin(env, "config", "get", "sys:spam:sa:" + name).stdout.strip()

    def refused(name, value):
        before = read()
        result = env.admin("config", "set", "sys:spam:sa:" + name, value)
        assert result.returncode == 1 and "unchanged" in result.stderr, result.stderr
        assert read() == before

    assert get("required_score") == "r8:5"
    assert get("autolearn_nospam") == "r8:0.1"  # not in the file: the default
    assert get("autolearn") == "bool:True"  # the trailing comment is SpamAssassin's, not the value's
    assert get("bayes_min_spam") == "i4:200"
    admin(env, "config", "set", "sys:spam:sa:required_score", "r8:6.5")
    assert read() == b"# site settings\nrequired_hits 6.50\n# required_hits 9\nbayes_auto_learn 1   # on\n"
    assert get("required_score") == "r8:6.5"
    admin(env, "config", "set", "sys:spam:sa:bayes", "bool:true")
    admin(env, "config", "set", "sys:spam:sa:bayes_min_nospam", "i4:50")
    expected = (b"# site settings\nrequired_hits 6.50\n# required_hits 9\nbayes_auto_learn 1   # on\nuse_bayes 1\n"
                b"bayes_path " + directory.encode() + b"/bayes\nbayes_min_ham_num 50\n")
    assert read() == expected
    assert get("bayes") == "bool:True"
    refused("required_score", "str:7\r\nuse_bayes 0")
    refused("required_score", "str:7\nuse_bayes 0")
    refused("bayes_min_spam", "r8:2.5")
    refused("required_score", "str:many")
    assert read() == expected
    # The whole file may hold line breaks.
    admin(env, "config", "set", "sys:spam:sa:config", "str:required_hits 4\r\n# by hand\r\n")
    assert read() == b"required_hits 4\r\n# by hand\r\n"
    admin(env, "config", "set", "sys:spam:sa:required_score", "r8:3")
    assert read() == b"required_hits 3.00\r\n# by hand\r\n"
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o604
    assert sorted(n for n in os.listdir(directory) if not n.endswith(".pre")) == ["local.cf"]
    # The names that are not local.cf's stay in pellworth.cfg, changed through the running server.
    admin(env, "config", "set", "sys:spam:sa:enabled", "bool:true")
    assert read() == b"required_hits 3.00\r\n# by hand\r\n"
    assert server.stop() == 0
    assert admin(env, "config", "get", "sys:spam:sa:enabled").stdout.strip().lower() == "bool:true"


def imap_login(port):
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login(JOHN, "secret")
    return client


def test_spam_learn_trains_sa_learn_and_empties_the_learning_folders(registered, sa_directory):
    env = registered
    directory = sa_directory(b"required_hits 5\n")
    use_spamassassin(env, directory)
    admin(env, "config", "set", "sys:spam:sa:bayes", "bool:true")  # the database beside local.cf
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", JOHN, "--password", "secret")
    env.configure_debug("NoListeners", 0)
    imap = free_port()
    configure(env, ("sys:imap4:0:ip", "127.0.0.1"), ("sys:imap4:0:port", "port:%d" % imap),
              ("sys:smtp:0:enabled", "i2:0"), ("sys:pop3:0:enabled", "i2:0"))
    server = env.start().wait_ready()
    client = imap_login(imap)
    for n in range(8):
        kind = "offer" if n < 5 else "note"
        text = ("From: someone%d@remote.test\r\nTo: john@example.com\r\nSubject: %s %d\r\n"
                "Message-ID: <learn%d@remote.test>\r\nDate: Thu, 10 Dec 2026 08:00:00 +0000\r\n\r\n"
                "%s number %d: %s\r\n" % (n, kind, n, n, kind, n,
                                          "cheap pills casino winner prize" if n < 5 else "the garden plans for spring"))
        assert client.append("INBOX", None, None, text.encode())[0] == "OK"
    client.select("INBOX")
    assert client.copy("1:5", '"Public Folders/Bayesian Learn/Spam"')[0] == "OK"
    assert client.copy("6:8", '"Public Folders/Bayesian Learn/Good"')[0] == "OK"
    client.logout()
    spam, good = folder(env, "Bayesian Learn", "Spam"), folder(env, "Bayesian Learn", "Good")
    assert (len(envelopes(spam)), len(envelopes(good))) == (5, 3)

    result = env.admin("spam", "learn")  # while the server runs
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "learned 5 spam and 3 good messages"
    assert envelopes(spam) == [] and envelopes(good) == []
    assert not glob.glob(os.path.join(spam, "*.eml")) and not glob.glob(os.path.join(good, "*.eml"))
    magic = subprocess.run(["sa-learn", "--siteconfigpath", directory, "--dump", "magic"], capture_output=True,
                           text=True, timeout=WAIT, check=True).stdout
    counts = {line.split()[-1]: int(line.split()[2]) for line in magic.splitlines() if line.endswith(("data: nspam", "data: nham"))}
    assert counts == {"nspam": 5, "nham": 3}, magic

    # sa-learn missing: nothing is lost, the message stays for the next run.
    client = imap_login(imap)
    client.select("INBOX")
    assert client.copy("1", '"Public Folders/Bayesian Learn/Spam"')[0] == "OK"
    client.logout()
    with open(env.registry, "a", encoding="utf-8") as f:
        f.write('\n[%s]\n"SaLearn"="%s"\n' % (SA_KEY, os.path.join(directory, "no-such-sa-learn")))
    result = env.admin("spam", "learn")
    assert result.returncode == 1 and "stay in their folders" in result.stderr
    assert len(envelopes(spam)) == 1
    assert server.stop() == 0
