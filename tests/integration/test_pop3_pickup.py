"""POP3 pickups run by send/receive cycles (`pellworth-admin connect-now`): against a private Dovecot on
loopback ports of its own (plain and TLS from the first byte, accounts in a passwd-file, Maildirs of
its own), and against scripted POP3 peers that drop, refuse and exaggerate. The server logs at Debug
level throughout, and no password may appear in its log."""
import os
import pathlib
import pwd
import re
import shutil
import signal
import socketserver
import subprocess
import tempfile
import threading
import time

from conftest import WAIT, admin, bind_when_free, free_port, log_text, make_certificate, wait_for

PASSWORDS = {"box": "Box-Secret-1", "det": "Det-Secret-2", "secure": "Secure-Secret-3", "wrong": "Wrong-Secret-4",
             "unknown": "Unknown-Secret-5", "keep": "Keep-Secret-6", "echo": "Echo-Secret-7",
             "deu": "Deu-Secret-8"}
LOCAL = ("john", "mary", "kate", "lou", "postmaster")


class Dovecot:
    """A private Dovecot serving POP3 from Maildirs under `root`: a plain listener and one with TLS
    from the first byte (a self-signed certificate for "localhost")."""

    def __init__(self, users):
        # Its own directory, open to the unprivileged users Dovecot's processes run as (a test's
        # temporary directory is not).
        self.root = root = tempfile.mkdtemp(prefix="pw-dovecot-")
        os.chmod(root, 0o755)
        self.owner = pwd.getpwnam("nobody")
        for folder in ("run", "state", "home", "mail"):
            os.makedirs(os.path.join(root, folder))
        cert, key = make_certificate(root)
        self.port, self.tls_port = free_port(), free_port()
        with open(os.path.join(root, "passwd"), "w") as f:
            f.writelines("%s:{PLAIN}%s::::::\n" % (user, PASSWORDS[user]) for user in users)
        for user in users:
            for folder in ("new", "cur", "tmp"):
                os.makedirs(self.maildir(user, folder))
        self.config = os.path.join(root, "dovecot.conf")
        with open(self.config, "w") as f:
            f.write(f"""base_dir = {root}/run
state_dir = {root}/state
log_path = {root}/dovecot.log
auth_verbose = yes
protocols = pop3
listen = 127.0.0.1
ssl = yes
ssl_cert = <{cert}
ssl_key = <{key}
disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = 1
default_internal_user = dovecot
default_login_user = dovenull
mail_location = maildir:{root}/mail/%n
pop3_uidl_format = %08Xu%08Xv
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {root}/passwd
}}
userdb {{
  driver = static
  args = uid={self.owner.pw_uid} gid={self.owner.pw_gid} home={root}/home/%n
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {self.port}
  }}
  inet_listener pop3s {{
    address = 127.0.0.1
    port = {self.tls_port}
    ssl = yes
  }}
}}
""")
        self.proc = None

    def maildir(self, user, folder=""):
        return os.path.join(self.root, "mail", user, folder)

    def put(self, user, name, text):
        """A message in the user's Maildir, with LF line ends as a Maildir keeps them."""
        with open(os.path.join(self.maildir(user, "new"), "1765274400.M%sP1.test" % name), "wb") as f:
            f.write(text.replace(b"\r\n", b"\n"))

    def messages(self, user):
        return sorted(p.name for folder in ("new", "cur") for p in pathlib.Path(self.maildir(user, folder)).iterdir())

    def log(self):
        path = os.path.join(self.root, "dovecot.log")
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def start(self):
        for path, _, names in os.walk(self.root):
            for name in [path] + [os.path.join(path, n) for n in names]:
                os.chown(name, self.owner.pw_uid, self.owner.pw_gid)
        self.proc = subprocess.Popen(["dovecot", "-F", "-c", self.config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for port in (self.port, self.tls_port):
            wait_for(lambda: accepting(port), "Dovecot's listener")
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=WAIT)
        shutil.rmtree(self.root, ignore_errors=True)


def accepting(port):
    import socket
    with socket.socket() as probe:
        probe.settimeout(1)
        return probe.connect_ex(("127.0.0.1", port)) == 0


def cycles_finished(env):
    return log_text(env).count("Send and receive cycle finished")


def run_cycle(env):
    before = cycles_finished(env)
    admin(env, "connect-now")
    wait_for(lambda: cycles_finished(env) > before, "the cycle's end")


def inbox(env, local):
    """{subject: content} of a local mailbox's inbox (a subject met twice fails the test)."""
    folder = pathlib.Path(env.store_file(os.path.join("example.com", local, "_In")))
    found = {}
    for record in sorted(folder.glob("*.env")) if folder.is_dir() else []:
        content = record.with_suffix(".eml").read_bytes()
        subject = re.search(rb"(?m)^Subject: (.*)\r$", content).group(1).decode()
        assert subject not in found, "%s delivered twice to %s" % (subject, local)
        found[subject] = content
    return found


def wait_delivered(env, expected):
    """Waits until the mailboxes hold exactly the expected subjects ({local: set}) and nothing waits in "_In"."""
    queue = pathlib.Path(env.store_file("_In"))
    wait_for(lambda: not list(queue.glob("*.env")) and {l: set(inbox(env, l)) for l in expected} == expected,
             "delivery of %r (now %r); %s" % (expected, {l: sorted(inbox(env, l)) for l in expected}, pickup_lines(env)))


def pickup_lines(env):
    return "\n".join(l for l in log_text(env).splitlines() if "POP3 Pickup" in l or "cycle" in l)


def account(n, server, port, user, deliverto=1, to="john@example.com", **extra):
    settings = [("server", "str:" + server), ("port", "port:%d" % port), ("account", "str:" + user),
                ("password", "str:" + PASSWORDS.get(user, "Peer-Secret-9")), ("deliverto", "i4:%d" % deliverto),
                ("delivertoaddress", "str:" + to), ("timeout", "i4:20")]
    settings += [(key, value) for key, value in extra.items()]
    return [("sys:pop3pickup:%d" % n, "str:")] + [("sys:pop3pickup:%d:%s" % (n, key), value) for key, value in settings]


def prepare(env, settings):
    env.configure_logging(2, 1)
    admin(env, "domain", "add", "example.com")
    for local in LOCAL:
        admin(env, "mailbox", "add", "%s@example.com" % local, "--password", "pw")
    admin(env, "config", "set", "system:primarydomain", "str:example.com")
    for key, value in settings:
        admin(env, "config", "set", key, value)


def assert_no_password_logged(env, extra=()):
    text = log_text(env)
    for secret in list(PASSWORDS.values()) + list(extra):
        assert secret not in text, "a password reached the log"


def header_of(content):
    return content.split(b"\r\n\r\n", 1)[0].split(b"\r\n") if b"\r\n\r\n" in content else content.rstrip(b"\r\n").split(b"\r\n")


# Lines that a careless reader breaks: stuffed dots, lines around the 1024-byte piece size (with their
# CR LF), dots that begin a piece but not a line, and one line far longer than any buffer.
AWKWARD = [b"..", b".x", b"...", b"." * 5] + [b"L%d-" % n + b"y" * (n - 6) for n in (1020, 1021, 1022, 1023, 1024, 1025, 2046, 2047, 2048, 4095, 4096, 4097)] + \
          [b"y" * n + tail for n in (1022, 1023, 1024, 2048) for tail in (b".", b"..", b".x")] + [b"BIG-" + b"z" * 100_000]


def test_dovecot_mailbox_and_determine_modes_plain_and_tls_and_refusals_that_change_nothing(registered):
    env = registered
    dovecot = Dovecot(["box", "det", "deu", "secure", "wrong", "unknown"])
    body = b"\r\n".join(AWKWARD)
    dovecot.put("box", "1", b"From: a@remote.test\r\nTo: whoever@remote.test\r\nSubject: full\r\n\r\n" + body + b"\r\n")
    # No empty line: the whole message is header; the awkward lines are its (odd) header lines.
    dovecot.put("box", "2", b"Subject: header-only\r\nX-Long: " + b"h" * 100_000 + b"\r\n" + body + b"\r\n")
    dets = {
        "to-cc": b"To: John <john@example.com>, someone@remote.test\r\nCc: \"M\" <MARY@example.com>; john@example.com\r\n",
        "received": b"Received: from a.remote.test by b.remote.test with SMTP for <mary@example.com>; Tue, 1 Dec 2026 10:00:00 +0000\r\n"
                    b"Received: from c by d id 7 for other@remote.test; Tue, 1 Dec 2026 10:00:00 +0000\r\nX-Envelope-To: kate@example.com\r\n",
        "delivered": b"To: x@remote.test\r\nDelivered-To: lou@example.com\r\n",
        "rctp": b"To: x@remote.test\r\nx-rctp-to: kate@example.com\r\n",
        "nobody": b"To: stranger@remote.test\r\nCc: nobody@example.com\r\n",
    }
    for n, (subject, fields) in enumerate(dets.items()):
        dovecot.put("det", str(n), fields + b"Subject: " + subject.encode() + b"\r\n\r\nbody\r\n")
    dovecot.put("deu", "1", b"To: stranger@remote.test\r\nSubject: to-unknown\r\n\r\nbody\r\n")
    for user in ("secure", "wrong", "unknown"):
        dovecot.put(user, "1", b"Subject: stays\r\n\r\nbody\r\n")
    untouched = {user: dovecot.messages(user) for user in ("secure", "wrong", "unknown")}
    settings = (account(0, "127.0.0.1", dovecot.port, "box") +
                account(1, "localhost", dovecot.tls_port, "det", deliverto=2, to="", ssl="i2:-1", tlsverify="i2:0") +
                account(2, "localhost", dovecot.tls_port, "secure", ssl="i2:-1") +
                account(3, "127.0.0.1", dovecot.port, "wrong", password="str:not-" + PASSWORDS["wrong"]) +
                account(4, "127.0.0.1", dovecot.port, "unknown", to="nosuch@example.com") +
                account(5, "127.0.0.1", dovecot.port, "deu", deliverto=2, unknowntoaddress="str:<Lou@example.com>"))
    dovecot.start()
    try:
        prepare(env, settings)
        env.start().wait_ready()
        run_cycle(env)
        wait_delivered(env, {"john": {"full", "header-only", "to-cc"}, "mary": {"to-cc", "received"},
                             "kate": {"received", "rctp"}, "lou": {"delivered", "to-unknown"}, "postmaster": {"nobody"}})
        # Collected accounts are empty on the server; the refused ones keep what they had.
        assert dovecot.messages("box") == dovecot.messages("det") == dovecot.messages("deu") == []
        assert {user: dovecot.messages(user) for user in untouched} == untouched

        for subject, content in inbox(env, "john").items():
            header = header_of(content)
            if subject in ("full", "header-only"):
                assert re.match(rb"Received: from 127\.0\.0\.1 \(\[127\.0\.0\.1\]\) by localhost \( Quillon eMail Server \d+\.\d+\.\d+\.\d+ \) ; \w{3}, ", header[0]), header[0]
                assert header[-1] == b"X-POP3Pickup: box@127.0.0.1"
            else:
                assert header[0].startswith(b"Received: from localhost ([127.0.0.1]) by localhost ( Quillon eMail Server ")
                assert header[-1] == b"X-POP3Pickup: det@localhost"
        lines = inbox(env, "john")["full"].split(b"\r\n")
        start = lines.index(b"")
        assert lines[start + 1:start + 1 + len(AWKWARD)] == AWKWARD
        assert b"\n" not in inbox(env, "john")["full"].replace(b"\r\n", b"")
        header = header_of(inbox(env, "john")["header-only"])
        assert header[1:-1] == [b"Subject: header-only", b"X-Long: " + b"h" * 100_000] + AWKWARD
        assert inbox(env, "john")["header-only"].endswith(b"\r\nX-POP3Pickup: box@127.0.0.1\r\n")

        log = log_text(env)
        # Verification on: the self-signed certificate is refused before anything is sent.
        assert "is not trusted" in log and "sys:pop3pickup:2:tlsverify" in log
        assert "user=<secure>" not in dovecot.log()
        assert "login was refused" in log and '"nosuch@example.com" is no local mailbox' in log
        assert "user=<unknown>" not in dovecot.log()
        assert_no_password_logged(env, ["not-" + PASSWORDS["wrong"]])
    finally:
        dovecot.stop()


def test_dovecot_leave_on_server_days_survive_restarts_and_delete_after_the_limit(registered):
    env = registered
    dovecot = Dovecot(["keep"])
    dovecot.put("keep", "1", b"Subject: kept\r\n\r\nbody\r\n")
    dovecot.start()
    try:
        prepare(env, account(0, "127.0.0.1", dovecot.port, "keep", leaveonserver="i2:-1", leaveonserverdays="i4:7"))
        server = env.start().wait_ready()
        run_cycle(env)
        wait_delivered(env, {"john": {"kept"}})
        assert len(dovecot.messages("keep")) == 1
        records = list(pathlib.Path(env.store_file("POP3Pickup")).iterdir())
        assert len(records) == 1 and records[0].read_text().splitlines()[0] == "pellworth-pop3pickup-seen 1"
        # A new message joins; after a restart only it is taken.
        dovecot.put("keep", "2", b"Subject: later\r\n\r\nbody\r\n")
        server.stop()
        server = env.start().wait_ready()
        run_cycle(env)
        wait_delivered(env, {"john": {"kept", "later"}})
        assert len(dovecot.messages("keep")) == 2
        # The record's directory is no domain: the store lists only the real one.
        assert "POP3Pickup" not in admin(env, "domain", "list").stdout
        # Eight days on, both were first taken more than seven days ago: deleted, not taken again.
        server.stop()
        env.configure_debug("POP3PickupClockOffsetDays", 8)
        env.start().wait_ready()
        run_cycle(env)
        wait_for(lambda: dovecot.messages("keep") == [], "the deletion on the server")
        wait_delivered(env, {"john": {"kept", "later"}})
        # Confirmed deletions leave the record: only its identity lines remain.
        wait_for(lambda: len(records[0].read_text().splitlines()) == 4, "the record's clean-up")
        assert_no_password_logged(env)
    finally:
        dovecot.stop()


class ScriptedPop3(socketserver.ThreadingTCPServer):
    """A POP3 server with messages {uid: bytes} that deletes at QUIT as RFC 1939 says. `behave(session,
    command, n)` may answer a command itself (returning True) or break the connection. Every command
    line is recorded."""
    daemon_threads = allow_reuse_address = True

    def __init__(self, messages, behave=None, stat=None):
        self.messages, self.behave, self.stat, self.extra = dict(messages), behave, stat, None
        self.commands, self.lock = [], threading.Lock()
        bind_when_free(lambda: super(ScriptedPop3, self).__init__(("127.0.0.1", 0), ScriptedSession), "a loopback port")
        self.port = self.server_address[1]
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def close(self):
        self.shutdown()
        self.server_close()


class ScriptedSession(socketserver.StreamRequestHandler):
    def send(self, text):
        self.wfile.write(text if isinstance(text, bytes) else text.encode() + b"\r\n")

    def handle(self):
        peer = self.server
        with peer.lock:
            # `extra` is a second message listed under the unique id of the first.
            listing = self.listing = list(peer.messages.items()) + [(uid, peer.extra) for uid in peer.messages if peer.extra]
        deleted, deleted_numbers = set(), set()
        self.send("+OK ready")
        for raw in iter(self.rfile.readline, b""):
            line = raw.decode("latin-1").rstrip("\r\n")
            with peer.lock:
                peer.commands.append(line)
            verb, _, argument = line.partition(" ")
            n = int(argument) if argument.isdigit() else 0
            if peer.behave and peer.behave(self, verb.upper(), n):
                continue
            if verb in ("USER", "PASS", "NOOP"):
                self.send("+OK")
            elif verb == "STAT":
                self.send("+OK %d 0" % (peer.stat if peer.stat is not None else len(listing)))
            elif verb in ("UIDL", "LIST"):
                self.send("+OK\r\n" + "".join("%d %s\r\n" % (i + 1, uid if verb == "UIDL" else len(m)) for i, (uid, m) in enumerate(listing)) + ".")
            elif verb == "RETR" and 1 <= n <= len(listing):
                text = listing[n - 1][1]
                stuffed = b"".join((b"." + l if l.startswith(b".") else l) for l in text.splitlines(keepends=True))
                self.send(b"+OK\r\n" + stuffed + b".\r\n")
            elif verb == "DELE" and 1 <= n <= len(listing):
                deleted.add(listing[n - 1][0])
                deleted_numbers.add(n)
                self.send("+OK")
            elif verb == "QUIT":
                with peer.lock:
                    for uid in deleted:
                        peer.messages.pop(uid, None)
                    if peer.extra and len(deleted_numbers) == len(listing):
                        peer.extra = None
                self.send("+OK bye")
                return
            else:
                self.send("-ERR no")


def message(subject, extra=b""):
    return b"Subject: " + subject.encode() + b"\r\n\r\n" + extra + b"body of " + subject.encode() + b"\r\n"


def stored_subjects(env):
    """Every subject published anywhere in the store (queue and mailboxes)."""
    found = []
    for record in pathlib.Path(env.store).rglob("*.env"):
        try:
            found += re.findall(rb"(?m)^Subject: (.*)\r$", record.with_suffix(".eml").read_bytes())
        except FileNotFoundError:
            pass  # routed meanwhile: the router moved it from "_In" into a mailbox, where the walk finds it
    return [s.decode() for s in found]


def test_scripted_peers_delete_only_what_is_published_and_survive_drops_refusals_and_lies(registered):
    env = registered
    big = b"W" * 200_000
    messages = {"uid-1": message("one"), "uid-2": message("two", b"PART-" + b"p" * 50_000 + b"\r\n"), "uid-3": message("three", big + b"\r\n")}
    published_at_dele, runs = [], {"n": 0}

    def behave(session, verb, n):
        listing = session.listing
        subject = re.match(rb"Subject: (\w+)", listing[n - 1][1]).group(1).decode() if 1 <= n <= len(listing) else None
        if verb == "DELE":
            # The pickup waits for this reply, so a message not yet published can not become so while
            # we look; looking again only rules out a scan that crossed the router's move to the inbox.
            published_at_dele.append((subject, any(subject in stored_subjects(env) for _ in range(5))))
        if verb == "UIDL":
            runs["n"] += 1
        if verb == "RETR" and runs["n"] == 1 and n == 2:
            # Half a message, then the connection is gone.
            session.send(b"+OK\r\nSubject: two\r\n\r\nPART-" + b"p" * 20_000)
            session.request.shutdown(2)
            return True
        if verb == "RETR" and runs["n"] == 2 and n == 3:
            session.send("-ERR in use, try later")
            return True
        return False

    def quote_password(session, verb, n):
        if verb == "PASS":
            session.send("-ERR [AUTH] no such password: " + PASSWORDS["echo"])
            return True
        return False

    peer = ScriptedPop3(messages, behave)
    liar = ScriptedPop3({"only": message("lonely")}, stat=99_999_999)
    # Two messages under one unique id: neither may pass for the other.
    twins = ScriptedPop3({"twin": message("twin-a")})
    twins.extra = message("twin-b")
    echo = ScriptedPop3({"e": message("never")}, quote_password)
    try:
        prepare(env, account(0, "127.0.0.1", peer.port, "durable") + account(1, "127.0.0.1", liar.port, "liar") +
                account(2, "127.0.0.1", twins.port, "twins") + account(3, "127.0.0.1", echo.port, "echo", password="str:" + PASSWORDS["echo"]))
        server = env.start().wait_ready()
        started = time.monotonic()
        run_cycle(env)
        # The lying STAT: its one listed message, promptly, and no RETR beyond the listing.
        assert [c for c in liar.commands if c.startswith("RETR")] == ["RETR 1"] and liar.messages == {}
        assert time.monotonic() - started < WAIT / 2
        # Run 1 delivered one, then lost the connection in the middle of two: nothing of it is kept.
        wait_delivered(env, {"john": {"one", "lonely", "twin-a", "twin-b"}})
        assert twins.messages == {} and twins.extra is None
        assert echo.messages and "login was refused" in log_text(env)
        assert "the session with 127.0.0.1 ended" in log_text(env)
        assert set(peer.messages) == {"uid-1", "uid-2", "uid-3"}  # no QUIT, so the server deleted nothing

        # Run 2 (after a restart): one is deleted without being taken again, two arrives whole, three
        # is refused and stays. Run 3 takes three.
        server.stop()
        env.start().wait_ready()
        run_cycle(env)
        wait_delivered(env, {"john": {"one", "two", "lonely", "twin-a", "twin-b"}})
        assert set(peer.messages) == {"uid-3"}
        run_cycle(env)
        wait_delivered(env, {"john": {"one", "two", "three", "lonely", "twin-a", "twin-b"}})
        assert peer.messages == {}
        assert [c for c in peer.commands if c.startswith("RETR")] == ["RETR 1", "RETR 2", "RETR 2", "RETR 3", "RETR 1"]
        # Every deletion came after the message was published.
        assert published_at_dele and all(ok for _, ok in published_at_dele), published_at_dele
        assert [s for s, _ in published_at_dele] == ["one", "one", "two", "three"]
        stored = inbox(env, "john")
        assert stored["two"].count(b"PART-") == 1 and b"PART-" + b"p" * 50_000 + b"\r\n" in stored["two"]
        assert b"\r\n" + big + b"\r\n" in stored["three"]
        # A store with a partial envelope left would show it at the next start-up; there is none.
        assert sorted(stored_subjects(env)) == sorted(["one", "two", "three", "lonely", "twin-a", "twin-b"])
        assert_no_password_logged(env, ["Peer-Secret-9"])
    finally:
        for server in (peer, liar, twins, echo):
            server.close()


def test_a_server_stopping_ends_the_collection_after_the_message_in_hand_with_quit(registered):
    env = registered
    in_retr, stopping_seen = threading.Event(), threading.Event()

    def hold_first(session, verb, n):
        if verb == "RETR" and n == 1 and not in_retr.is_set():
            in_retr.set()
            # The message comes only once the server is stopping.
            assert stopping_seen.wait(WAIT)
        return False

    peer = ScriptedPop3({"s%d" % i: message("stop-%d" % i) for i in range(1, 6)}, hold_first)
    try:
        prepare(env, account(0, "127.0.0.1", peer.port, "stopper"))
        server = env.start().wait_ready()
        admin(env, "connect-now")
        assert in_retr.wait(WAIT)
        stopper = threading.Thread(target=server.stop)
        stopper.start()
        wait_for(lambda: "IMAP service terminating" in log_text(env), "the server's stop")
        stopping_seen.set()
        stopper.join(WAIT)
        assert server.proc.returncode == 0
        # The message in hand was published and deleted, QUIT confirmed it, and nothing more was taken.
        assert [c for c in peer.commands if c.split(" ")[0] in ("RETR", "DELE", "QUIT")] == ["RETR 1", "DELE 1", "QUIT"]
        assert set(peer.messages) == {"s2", "s3", "s4", "s5"}
        assert "stop-1" in stored_subjects(env)
    finally:
        stopping_seen.set()
        peer.close()
