#!/usr/bin/env python3
"""Measures the server against the servers people would pick instead, on this machine, in one run.

Every server is a private instance on loopback ports of its own, in a temporary directory that is
removed afterwards; nothing system-wide is configured and no daemon is left running. bench/run builds
what this needs and starts it; see bench/README.md for what each benchmark does.
"""
import argparse
import concurrent.futures
import json
import os
import pwd
import re
import resource
import selectors
import shutil
import smtplib
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import cfgfile  # noqa: E402  (the store's record format, written independently of the server)
from private_postfix import PrivatePostfix, descendants, stop_tree  # noqa: E402
from fake_dns import FakeDns  # noqa: E402

DOMAIN = "bench.test"
SENDER = "sender@client.test"
PASSWORD = "secret"
STORE_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\General"
LOGGING_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\Logging"
WAIT = 120  # seconds a server may take to start or stop on a loaded machine
IMAP_SESSIONS = 20  # sessions our IMAP listener allows in the FETCH benchmark
IMAP_IDLE_MESSAGES = 100  # messages in the inbox the idle IMAP sessions keep selected
# Idle sessions on an inbox of 50,000 messages: fewer than at 100 messages, since each of Dovecot's
# maps the folder's index files into a process of its own.
IMAP_IDLE_LARGE_SESSIONS = 200
# Our server asks DNS about every message from outside (its SPF and DMARC checks), so it gets a DNS
# server of the bench's own that answers at once ("no such domain" for every name, kept for five
# minutes as a real zone's SOA would allow), as a caching resolver beside a real mail server does. This machine's resolver drops a share of the queries
# under load, and each drop would hold a message for the resolver's next attempt.
BENCH_DNS = "127.0.38.91"
_bench_dns = []


def bench_dns():
    if not _bench_dns:
        _bench_dns.append(FakeDns({}, BENCH_DNS, ttl=300))
    return BENCH_DNS


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, what, timeout=WAIT, step=0.02):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(step)


def accepting(port):
    def probe():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.recv(512)
            return True
        except OSError:
            return False
    return probe


def run(args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=WAIT, **kwargs)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (" ".join(args), result.returncode, result.stdout, result.stderr))
    return result.stdout


def pss_kb(pids):
    """Proportional set size of these processes together: shared pages are divided among sharers, so
    one process with threads and many processes are measured alike."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                total += sum(int(line.split()[1]) for line in f if line.startswith("Pss:"))
        except OSError:
            pass
    return total


def sample_message(size):
    """A plain message of about size bytes with 76-column lines (CR LF). Its header is a template for
    message_header."""
    header = ("From: %s\r\nTo: pop@%s\r\nSubject: %%(reply)sbenchmark message %%(topic)d\r\nMessage-ID: <%%(n)d@client.test>\r\n"
              "Date: Wed, 09 Dec 2026 10:00:00 +0000\r\n\r\n" % (SENDER, DOMAIN))
    line = ("abcdefghijklmnopqrstuvwxyz0123456789" * 3)[:74] + "\r\n"
    return header, line * max(1, (size - len(header)) // len(line))


def message_header(header, n):
    """Message n's header from sample_message's template: one of 997 topics, a third of them replies,
    so that sorting by subject has work to do."""
    topic = n * 7919 % 997
    return header % {"reply": "Re: " if n % 3 == 0 else "", "topic": topic, "n": n}


class Pellworth:
    """A private installation of our server: registry file, store and log directory."""

    def __init__(self, build, work, users=(), pop3=False, imap_sessions=0):
        self.root = os.path.join(work, "pellworth")
        os.makedirs(self.root)
        self.bin = os.path.join(build, "bin")
        self.store = os.path.join(self.root, "store")
        registry = os.path.join(self.root, "pellworth.reg")
        self.env = dict(os.environ, PELLWORTH_REGISTRY=registry,
                        PELLWORTH_SYSTEMD_DIR=os.path.join(self.root, "units"))
        self.env.pop("NOTIFY_SOCKET", None)
        run([os.path.join(self.bin, "pellworth"), "-RegServer"], env=self.env)
        with open(registry, "a", encoding="utf-8") as f:
            # The logging a packaged installation has (packaging/pellworth.reg).
            f.write('\n[%s]\n"MessageStore"="%s"\n\n[%s]\n"FilePath"="%s"\n"FileType"=dword:00000002\n'
                    '"LogLevel"=dword:00000003\n' % (STORE_KEY, self.store, LOGGING_KEY, os.path.join(self.root, "logs")))
        self.smtp_port, self.pop3_port, self.imap_port = free_port(), free_port(), free_port()
        settings = [("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % self.smtp_port),
                    ("sys:pop3:0:ip", "127.0.0.1"), ("sys:pop3:0:port", "port:%d" % self.pop3_port),
                    ("sys:pop3:0:enabled", "bool:%s" % ("true" if pop3 else "false")),
                    ("sys:imap4:0:ip", "127.0.0.1"), ("sys:imap4:0:port", "port:%d" % self.imap_port),
                    ("sys:imap4:0:enabled", "bool:%s" % ("true" if imap_sessions else "false")),
                    # Every load comes from one loopback address, as the peers' own
                    # per-client limits exempt their local networks.
                    ("sys:smtp:0:maxperip", "i4:0"), ("sys:pop3:0:maxperip", "i4:0"), ("sys:imap4:0:maxperip", "i4:0"),
                    ("sys:dns:0:server", bench_dns())]
        if imap_sessions:
            # Room for the sessions asked for, as the peer's process limits are raised for them.
            settings.append(("sys:imap4:0:maxsessions", "i4:%d" % imap_sessions))
        for key, value in settings:
            self.admin("config", "set", key, value)
        self.admin("domain", "add", DOMAIN)
        for user in users:
            self.admin("mailbox", "add", "%s@%s" % (user, DOMAIN), "--password", PASSWORD)
        self.proc = None

    def admin(self, *args):
        run([os.path.join(self.bin, "pellworth-admin"), *args], env=self.env)

    def inbox(self, user):
        return os.path.join(self.store, DOMAIN, user, "_In")

    def delivered(self, user):
        return sum(1 for name in os.listdir(self.inbox(user)) if name.endswith(".env"))

    def fill(self, count, size, user="pop"):
        """Puts count messages into a mailbox's inbox as published envelopes (content first, so that
        the server never lists one that is not complete); no client may be connected meanwhile."""
        record = cfgfile.encode([("_Sender", cfgfile.VT_BSTR, SENDER)]) + struct.pack("<I", 0)
        header, body = sample_message(size)
        for uid in range(1, count + 1):
            stem = os.path.join(self.inbox(user), "%07X" % uid)
            with open(stem + ".eml", "w", newline="") as f:
                f.write(message_header(header, uid) + body)
            with open(stem + ".env", "wb") as f:
                f.write(record)

    def start(self):
        self.proc = subprocess.Popen([os.path.join(self.bin, "pellworth")], env=self.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(accepting(self.smtp_port), "our SMTP listener")
        return self

    def pids(self):
        return [self.proc.pid]

    def stop(self):
        stop_tree(self.proc, lambda: self.proc.send_signal(signal.SIGTERM))


class Postfix:
    """A private Postfix instance (tests/integration/private_postfix.py) with virtual mailbox delivery to
    Maildir."""

    def __init__(self, work, users=(), process_limit=100):
        root = os.path.join(work, "postfix")
        self.mail = os.path.join(root, "mail")
        owner = pwd.getpwnam("postfix")
        self.smtp_port = free_port()
        self.instance = PrivatePostfix(root, "127.0.0.1", self.smtp_port, settings=f"""myhostname = peer.{DOMAIN}
mydestination =
default_process_limit = {process_limit}
virtual_mailbox_domains = {DOMAIN}
virtual_mailbox_base = {self.mail}
virtual_mailbox_maps = texthash:{root}/etc/vmailbox
virtual_uid_maps = static:{owner.pw_uid}
virtual_gid_maps = static:{owner.pw_gid}
virtual_minimum_uid = 100
""", services=[("virtual", "unix", "-", "n", "n", "-", "-", "virtual")], owned=["mail"])
        with open(os.path.join(root, "etc", "vmailbox"), "w") as f:
            f.writelines("%s@%s %s/%s/\n" % (user, DOMAIN, DOMAIN, user) for user in users)

    def delivered(self, user):
        try:
            return len(os.listdir(os.path.join(self.mail, DOMAIN, user, "new")))
        except FileNotFoundError:
            return 0

    def start(self):
        self.instance.start()
        return self

    def pids(self):
        return self.instance.pids()

    def stop(self):
        self.instance.stop()


class Dovecot:
    """A private Dovecot serving POP3 or IMAP only, from one user's Maildir, with a static password.
    sessions, when given, raises its process, client and per-user limits to allow that many
    simultaneous sessions."""

    def __init__(self, work, protocol="pop3", user="pop", sessions=0):
        self.root = os.path.join(work, "dovecot")
        self.maildir = os.path.join(self.root, "mail", user)
        for folder in ("run", "state", "home"):
            os.makedirs(os.path.join(self.root, folder))
        for folder in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(self.maildir, folder))
        self.owner = pwd.getpwnam("nobody")
        self.port = free_port()
        self.pop3_port = self.imap_port = self.port
        ports = {"pop3": 0, "imap": 0}
        ports[protocol] = self.port
        limits = ""
        if sessions:
            # One imap process per session (and a login process per connection until it hands the
            # session over); the master, auth, anvil and log services talk to every one of them.
            limits = f"""default_process_limit = {sessions + 100}
default_client_limit = {2 * (sessions + 100)}
mail_max_userip_connections = {sessions + 10}
"""
        self.config = os.path.join(self.root, "dovecot.conf")
        with open(self.config, "w") as f:
            f.write(f"""base_dir = {self.root}/run
state_dir = {self.root}/state
log_path = {self.root}/dovecot.log
protocols = {protocol}
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = 100
default_internal_user = dovecot
default_login_user = dovenull
mail_location = maildir:{self.root}/mail/%n
pop3_uidl_format = %08Xu%08Xv
{limits}passdb {{
  driver = static
  args = password={PASSWORD}
}}
userdb {{
  driver = static
  args = uid={self.owner.pw_uid} gid={self.owner.pw_gid} home={self.root}/home/%n
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {ports["pop3"]}
  }}
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {ports["imap"]}
  }}
}}
""")
        self.proc = None

    def fill(self, count, size):
        """The same messages as Pellworth.fill, as a Maildir keeps them (LF line ends)."""
        header, body = sample_message(size)
        for uid in range(1, count + 1):
            with open(os.path.join(self.maildir, "new", "1765274400.M%dP1.bench" % uid), "w") as f:
                f.write((message_header(header, uid) + body).replace("\r\n", "\n"))
        for path, _, names in os.walk(self.root + "/mail"):
            for name in [path] + [os.path.join(path, n) for n in names]:
                os.chown(name, self.owner.pw_uid, self.owner.pw_gid)
        os.chown(os.path.join(self.root, "home"), self.owner.pw_uid, self.owner.pw_gid)

    def start(self):
        self.proc = subprocess.Popen(["dovecot", "-F", "-c", self.config],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(accepting(self.port), "Dovecot's listener")
        return self

    def pids(self):
        return descendants(self.proc.pid)

    def stop(self):
        stop_tree(self.proc, lambda: self.proc.send_signal(signal.SIGTERM))


class ImapClient:
    """Just enough of an IMAP client for the benchmarks, cheap next to the server it measures: it reads
    in large blocks, and of a FETCH response it looks only at the lines, skipping the literals whole
    after counting them."""

    BLOCK = 1 << 20

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer, self.at = b"", 0
        greeting = self.line()
        if not greeting.startswith(b"* OK"):
            raise RuntimeError("IMAP greeting: %r" % greeting)

    def close(self):
        self.sock.close()

    def more(self):
        data = self.sock.recv(self.BLOCK)
        if not data:
            raise RuntimeError("the IMAP server closed the connection")
        self.buffer, self.at = self.buffer[self.at:] + data, 0

    def line(self):
        while True:
            end = self.buffer.find(b"\r\n", self.at)
            if end >= 0:
                line, self.at = self.buffer[self.at:end], end + 2
                return line
            self.more()

    def skip(self, count):
        held = len(self.buffer) - self.at
        if count <= held:
            self.at += count
            return
        count -= held
        self.buffer, self.at = b"", 0
        while count > 0:
            data = self.sock.recv(self.BLOCK)
            if not data:
                raise RuntimeError("the IMAP server closed the connection in a literal")
            if len(data) > count:
                self.buffer = data[count:]
            count -= len(data)

    def send(self, command):
        self.sock.sendall(command + b"\r\n")

    def command(self, tag, command, lines=None):
        """Sends a command and reads its response to the tagged line, which must be OK; returns the
        number of literals and their bytes together. `lines`, a list, gets the untagged lines."""
        self.send(tag + b" " + command)
        literals = size = 0
        prefix = tag + b" "
        while True:
            line = self.line()
            if lines is not None and not line.startswith(prefix):
                lines.append(line)
            if line.endswith(b"}"):
                length = int(line[line.rindex(b"{") + 1:-1])
                self.skip(length)
                literals += 1
                size += length
            elif line.startswith(prefix):
                if not line.startswith(prefix + b"OK"):
                    raise RuntimeError("IMAP %r: %r" % (command, line))
                return literals, size


def idle_session(server, user):
    """A session logged in with INBOX selected that has asked for IDLE: (client, the answer to IDLE)."""
    client = ImapClient(server.imap_port)
    try:
        client.command(b"a", b"LOGIN %s %s" % (user.encode(), PASSWORD.encode()))
        client.command(b"b", b"SELECT INBOX")
        client.send(b"c IDLE")
        return client, client.line()
    except BaseException:
        client.close()
        raise


def cpu_seconds(pids):
    """CPU time of these processes, with that of their children already ended and reaped."""
    ticks = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += sum(int(value) for value in fields[11:15])  # utime stime cutime cstime
        except (OSError, IndexError, ValueError):
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def intake_arguments(description):
    """The command line of the scripts that measure what one feature costs the SMTP intake."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--build", default="build")
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--sessions", type=int, default=20)
    parser.add_argument("--dir", default=None)
    return parser


def intake_with_and_without(args, work, labels, measure):
    """The intake without and with a feature, taking turns twice each so that neither always runs on
    a warmer machine; the better run of each counts. measure(directory, on) gives one rate; labels
    name the two configurations in the progress lines. Returns (without, with)."""
    rates = {False: [], True: []}
    for turn in range(2):
        for on in ((False, True) if turn % 2 == 0 else (True, False)):
            print("   SMTP intake, %d messages, %s" % (args.messages, labels[on]), file=sys.stderr, flush=True)
            rates[on].append(measure(tempfile.mkdtemp(dir=work), on))
    return max(rates[False]), max(rates[True])


def report_intake_cost(name, without, with_feature, aim):
    print("%s: without=%.1f msg/s with=%.1f msg/s ratio=%.2f (aim: at least %.2f)"
          % (name, without, with_feature, with_feature / without, aim), flush=True)


def intake_server(args, work):
    """A private server with the 50 mailboxes the intake runs send to: (server, users)."""
    users = ["user%d" % i for i in range(50)]
    return Pellworth(args.build, work, users), users


def intake_rate(args, server, users, counted_until):
    """smtp-source's 4 KB run against the server; counted_until 0 is the last "250", 1 the last message
    in its inbox."""
    return Bench(args).smtp_run(server, users, args.messages, 4096)[counted_until]


class Bench:
    def __init__(self, args):
        self.args = args
        self.results = []

    def report(self, name, ours, peer, unit, higher_is_better=True, extra=None):
        if peer is None:
            ratio = None
            line = "%s: ours=%.1f %s peer=none" % (name, ours, unit)
        else:
            ratio = (ours / peer) if higher_is_better else (peer / ours)
            line = "%s: ours=%.1f %s peer=%.1f %s ratio=%.2f" % (name, ours, unit, peer, unit, ratio)
        result = {"name": name, "ours": ours, "peer": peer, "unit": unit, "ratio": ratio}
        if extra:
            line += " (%s)" % ", ".join("%s=%s" % item for item in extra.items())
            result.update(extra)
        print(line, flush=True)
        self.results.append(result)

    def progress(self, text):
        print("   " + text, file=sys.stderr, flush=True)

    def workdir(self):
        work = tempfile.mkdtemp(prefix="pw-bench-", dir=self.args.dir)
        os.chmod(work, 0o755)  # the peers' unprivileged processes walk into it
        return work

    # SMTP intake ------------------------------------------------------------------------------

    def drive_smtp(self, port, users, messages, size):
        """smtp-source in C parallel lanes; each job sends a few messages to one mailbox, one message
        per connection, so the 50 mailboxes get equal shares throughout. Returns the seconds until
        every message was acknowledged."""
        chunk = 10
        jobs = []
        per_user = messages // len(users)
        for start in range(0, per_user, chunk):
            for user in users:
                jobs.append(["smtp-source", "-s", "1", "-m", str(min(chunk, per_user - start)), "-l", str(size),
                             "-f", SENDER, "-M", "client.test", "-t", "%s@%s" % (user, DOMAIN),
                             "127.0.0.1:%d" % port])

        def one(job):
            result = subprocess.run(job, capture_output=True, text=True, timeout=WAIT * 10)
            if result.returncode != 0:
                raise RuntimeError("smtp-source: " + result.stderr.strip())

        start = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(self.args.sessions) as pool:
            for outcome in pool.map(one, jobs):
                pass
        return time.monotonic() - start, per_user * len(users)

    def smtp_run(self, server, users, messages, size):
        server.start()
        try:
            acknowledged, sent = self.drive_smtp(server.smtp_port, users, messages, size)
            start = time.monotonic() - acknowledged
            wait_for(lambda: sum(server.delivered(u) for u in users) >= sent, "deliveries", timeout=WAIT * 10)
            in_inbox = time.monotonic() - start
        finally:
            server.stop()
        return sent / acknowledged, sent / in_inbox

    def smtp_intake(self, size, messages, rounds=2):
        """Each server runs `rounds` times on a fresh store, the two taking turns at going first; the
        best run of each counts. The cost of creating files on this machine depends on how many were
        deleted in the last minutes (see README.md): taking turns, and removing the stores only after
        the last run, keeps either server from always running in the other's wake."""
        users = ["user%d" % i for i in range(50)]
        label = "%dk" % (size // 1024)
        ours, peer = [], []
        work = []
        try:
            for turn in range(rounds):
                work.append(self.workdir())
                runs = [("ours", lambda: ours.append(self.smtp_run(Pellworth(self.args.build, work[-1], users), users, messages, size))),
                        ("Postfix", lambda: peer.append(self.smtp_run(Postfix(work[-1], users), users, messages, size)))]
                for name, measure in runs if turn % 2 == 0 else reversed(runs):
                    self.progress("SMTP intake, %d messages of %d bytes, %d sessions, run %d: %s"
                                  % (messages, size, self.args.sessions, turn + 1, name))
                    measure()
        finally:
            for folder in work:
                shutil.rmtree(folder, ignore_errors=True)
        self.report("smtp_intake_%s_acknowledged" % label, max(r[0] for r in ours), max(r[0] for r in peer), "msg/s")
        self.report("smtp_intake_%s_in_inbox" % label, max(r[1] for r in ours), max(r[1] for r in peer), "msg/s")

    def delivery_latency_run(self, server, users, rate, seconds, arrived):
        """Offers `rate` messages a second for `seconds` over 8 connections, paced; returns the
        milliseconds from each "250" to the moment its file was seen in the inbox. `arrived(user)`
        lists (name, path) of the inbox's delivered files; each message's Subject names it."""
        total = int(rate * seconds)
        acked, seen = {}, {}
        lock = threading.Lock()
        counter = iter(range(total))
        done = threading.Event()

        def watch():
            known = set()
            while not done.is_set() or len(seen) < len(acked):
                for user in users:
                    for name, path in arrived(user):
                        if path in known:
                            continue
                        now = time.monotonic()
                        try:
                            with open(path, "rb") as f:
                                found = re.search(rb"Subject: latency (\d+)", f.read(4096))
                        except FileNotFoundError:
                            continue
                        known.add(path)
                        if found:
                            seen.setdefault(int(found.group(1)), now)
                if done.is_set() and time.monotonic() > deadline:
                    break
                time.sleep(0.001)

        def send():
            with smtplib.SMTP("127.0.0.1", server.smtp_port, timeout=WAIT) as client:
                while True:
                    with lock:
                        number = next(counter, None)
                    if number is None:
                        return
                    delay = start + number / rate - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
                    user = users[number % len(users)]
                    client.sendmail(SENDER, ["%s@%s" % (user, DOMAIN)],
                                    "From: <%s>\r\nSubject: latency %d\r\n\r\n%s\r\n" % (SENDER, number, "x" * 4000))
                    acked[number] = time.monotonic()

        deadline = float("inf")
        watcher = threading.Thread(target=watch)
        watcher.start()
        start = time.monotonic()
        senders = [threading.Thread(target=send) for _ in range(8)]
        for thread in senders:
            thread.start()
        for thread in senders:
            thread.join()
        deadline = time.monotonic() + WAIT
        done.set()
        watcher.join()
        missing = [n for n in acked if n not in seen]
        if missing:
            raise RuntimeError("%d acknowledged messages never reached the inbox (%d files there)" % (len(missing), sum(len(arrived(u)) for u in users)))
        return sorted(max(0.0, seen[n] - acked[n]) * 1000 for n in acked)

    def smtp_delivery_latency(self, rate, seconds=10):
        """Milliseconds from "250" to the message's file in the inbox, at `rate` messages a second
        (about half our intake rate into the inbox), 50th and 99th percentiles, ours against Postfix's
        (its Maildir's new/ file)."""
        users = ["user%d" % i for i in range(5)]
        self.progress("SMTP delivery latency at %d msg/s for %d s: ours" % (rate, seconds))
        work = self.workdir()
        try:
            ours = Pellworth(self.args.build, work, users).start()
            try:
                ours_ms = self.delivery_latency_run(
                    ours, users, rate, seconds,
                    lambda user: [(n, os.path.join(ours.inbox(user), n[:-4] + ".eml")) for n in os.listdir(ours.inbox(user)) if n.endswith(".env")])
            finally:
                ours.stop()
            self.progress("... Postfix")
            peer = Postfix(work, users).start()
            try:
                def maildir(user):
                    new = os.path.join(peer.mail, DOMAIN, user, "new")
                    try:
                        return [(n, os.path.join(new, n)) for n in os.listdir(new)]
                    except FileNotFoundError:
                        return []
                peer_ms = self.delivery_latency_run(peer, users, rate, seconds, maildir)
            finally:
                peer.stop()
        finally:
            shutil.rmtree(work, ignore_errors=True)
        percentile = lambda values, p: values[min(len(values) - 1, int(len(values) * p))]
        self.report("smtp_delivery_latency", percentile(ours_ms, 0.5), percentile(peer_ms, 0.5), "ms", higher_is_better=False,
                    extra={"rate": rate, "ours_p99_ms": "%.1f" % percentile(ours_ms, 0.99), "peer_p99_ms": "%.1f" % percentile(peer_ms, 0.99)})

    # POP3 retrieval ---------------------------------------------------------------------------

    def fetch(self, port, user):
        out = run([self.args.fetch, "127.0.0.1", str(port), user, PASSWORD, "--delete"]).split()
        return int(out[0]), float(out[2])

    def best_fetch(self, server, port, user, messages, size):
        """Best of three downloads of a full mailbox, each emptying it; it is filled again before each."""
        best = None
        for _ in range(3):
            server.fill(messages, size)
            count, seconds = self.fetch(port, user)
            if count != messages:
                raise RuntimeError("POP3 gave %d messages, not %d" % (count, messages))
            best = seconds if best is None else min(best, seconds)
        return messages / best

    def pop3_retrieval(self, messages, size=4096):
        self.progress("POP3 retrieval of a %d-message mailbox: ours" % messages)
        work = self.workdir()
        try:
            ours = Pellworth(self.args.build, work, ["pop"], pop3=True).start()
            try:
                wait_for(accepting(ours.pop3_port), "our POP3 listener")
                ours_rate = self.best_fetch(ours, ours.pop3_port, "pop@" + DOMAIN, messages, size)
            finally:
                ours.stop()
            self.progress("... Dovecot")
            peer = Dovecot(work).start()
            try:
                peer_rate = self.best_fetch(peer, peer.pop3_port, "pop", messages, size)
            finally:
                peer.stop()
        finally:
            shutil.rmtree(work, ignore_errors=True)
        self.report("pop3_retrieval_%dk" % (size // 1024), ours_rate, peer_rate, "msg/s")

    # POP3 pickup ------------------------------------------------------------------------------

    def pop3_pickup(self, messages, size=4096):
        """Our server collects a Dovecot mailbox through its POP3 pickup in one send/receive cycle:
        seconds from connect-now until every message is in the local inbox and the remote mailbox is
        empty, and the peak memory (PSS) the server grew by meanwhile. Dovecot serves; there is no
        peer to compare with."""
        self.progress("POP3 pickup of %d messages from Dovecot" % messages)
        work = self.workdir()
        try:
            peer = Dovecot(work)
            peer.fill(messages, size)
            peer.start()
            ours = Pellworth(self.args.build, work, ["pop"])
            for key, value in [("sys:pop3pickup:0", "str:"), ("sys:pop3pickup:0:server", "str:127.0.0.1"),
                               ("sys:pop3pickup:0:port", "port:%d" % peer.pop3_port), ("sys:pop3pickup:0:account", "str:pop"),
                               ("sys:pop3pickup:0:password", "str:" + PASSWORD), ("sys:pop3pickup:0:deliverto", "i4:1"),
                               ("sys:pop3pickup:0:delivertoaddress", "str:pop@" + DOMAIN)]:
                ours.admin("config", "set", key, value)
            ours.start()
            try:
                remote = os.path.join(peer.maildir, "new"), os.path.join(peer.maildir, "cur")
                baseline, peak, done = pss_kb(ours.pids()), [0], threading.Event()

                def sample():
                    while not done.is_set():
                        peak[0] = max(peak[0], pss_kb(ours.pids()))
                        done.wait(0.05)

                sampler = threading.Thread(target=sample, daemon=True)
                sampler.start()
                start = time.monotonic()
                ours.admin("connect-now")
                wait_for(lambda: ours.delivered("pop") == messages and not any(os.listdir(d) for d in remote),
                         "the pickup's delivery", timeout=WAIT * 10, step=0.05)
                seconds = time.monotonic() - start
                done.set()
                sampler.join()
            finally:
                ours.stop()
                peer.stop()
        finally:
            shutil.rmtree(work, ignore_errors=True)
        self.report("pop3_pickup_%d_%dk_seconds" % (messages, size // 1024), seconds, None, "s", higher_is_better=False)
        self.report("pop3_pickup_%d_%dk_memory_growth" % (messages, size // 1024), max(0, peak[0] - baseline), None, "KB",
                    higher_is_better=False)

    # IMAP -------------------------------------------------------------------------------------

    def imap_session(self, server, user, messages):
        """One session as a client downloading a mailbox: LOGIN, SELECT INBOX, FETCH 1:* (RFC822),
        LOGOUT. Returns the seconds from connecting to LOGOUT's OK, the client's CPU seconds (user,
        system) and the server's (its process tree, with processes that ended meanwhile)."""
        server_cpu = cpu_seconds(server.pids())
        client_cpu = resource.getrusage(resource.RUSAGE_THREAD)
        start = time.monotonic()
        client = ImapClient(server.imap_port)
        try:
            client.command(b"a", b"LOGIN %s %s" % (user.encode(), PASSWORD.encode()))
            client.command(b"b", b"SELECT INBOX")
            count, _ = client.command(b"c", b"FETCH 1:* (RFC822)")
            client.command(b"d", b"LOGOUT")
        finally:
            client.close()
        seconds = time.monotonic() - start
        used = resource.getrusage(resource.RUSAGE_THREAD)
        client_cpu = (used.ru_utime - client_cpu.ru_utime, used.ru_stime - client_cpu.ru_stime)
        if count != messages:
            raise RuntimeError("IMAP FETCH gave %d messages, not %d" % (count, messages))
        # A peer's session process ends after LOGOUT: its time counts once its parent has reaped it.
        time.sleep(0.2)
        return seconds, client_cpu, cpu_seconds(server.pids()) - server_cpu

    def best_imap_fetch(self, server, user, messages, name):
        """An untimed first session (it sets \\Seen on every message), then the best of three."""
        first, client_cpu, server_cpu = self.imap_session(server, user, messages)
        self.progress("%s: first session %.2f s (CPU: client %.2f s user + %.2f s system, server %.2f s)"
                      % (name, first, *client_cpu, server_cpu))
        best = None
        for _ in range(3):
            seconds, client_cpu, server_cpu = self.imap_session(server, user, messages)
            self.progress("%s: %.2f s (CPU: client %.2f s user + %.2f s system, server %.2f s)"
                          % (name, seconds, *client_cpu, server_cpu))
            best = seconds if best is None else min(best, seconds)
        return first, messages / best

    def imap_fetch(self, messages, size=4096):
        self.progress("IMAP FETCH of a %d-message mailbox: ours" % messages)
        work = self.workdir()
        try:
            ours = Pellworth(self.args.build, work, ["imap"], imap_sessions=IMAP_SESSIONS).start()
            try:
                wait_for(accepting(ours.imap_port), "our IMAP listener")
                ours.fill(messages, size, user="imap")
                ours_first, ours_rate = self.best_imap_fetch(ours, "imap@" + DOMAIN, messages, "ours")
            finally:
                ours.stop()
            self.progress("... Dovecot")
            peer = Dovecot(work, protocol="imap", user="imap")
            peer.fill(messages, size)
            peer.start()
            try:
                peer_first, peer_rate = self.best_imap_fetch(peer, "imap", messages, "Dovecot")
            finally:
                peer.stop()
        finally:
            shutil.rmtree(work, ignore_errors=True)
        print("imap_fetch_first_session: ours=%.2f s peer=%.2f s" % (ours_first, peer_first), flush=True)
        self.results.append({"name": "imap_fetch_first_session", "ours": ours_first, "peer": peer_first, "unit": "s",
                             "ratio": peer_first / ours_first})
        self.report("imap_fetch", ours_rate, peer_rate, "msg/s")

    def best_imap_select(self, server, user, messages, name):
        """Milliseconds of SELECT INBOX in a session after the first (which may build what the server
        keeps beside the mail), best of three; the session logs in before the clock starts."""
        best = None
        for turn in range(4):
            client = ImapClient(server.imap_port)
            try:
                client.command(b"a", b"LOGIN %s %s" % (user.encode(), PASSWORD.encode()))
                start = time.monotonic()
                client.command(b"b", b"SELECT INBOX")
                seconds = time.monotonic() - start
                client.command(b"c", b"LOGOUT")
            finally:
                client.close()
            self.progress("%s: %s SELECT %.1f ms" % (name, "first" if turn == 0 else "then", seconds * 1000))
            if turn > 0:
                best = seconds if best is None else min(best, seconds)
        return best * 1000

    def imap_filled_inbox(self, messages, size, measure):
        """`measure(server, user, name)` on our server and then on Dovecot, each with an inbox of
        `messages` messages of `size` bytes; returns (ours, Dovecot's)."""
        work = self.workdir()
        try:
            ours = Pellworth(self.args.build, work, ["imap"], imap_sessions=IMAP_SESSIONS).start()
            try:
                wait_for(accepting(ours.imap_port), "our IMAP listener")
                ours.fill(messages, size, user="imap")
                ours_result = measure(ours, "imap@" + DOMAIN, "ours")
            finally:
                ours.stop()
            self.progress("... Dovecot")
            peer = Dovecot(work, protocol="imap", user="imap")
            peer.fill(messages, size)
            peer.start()
            try:
                peer_result = measure(peer, "imap", "Dovecot")
            finally:
                peer.stop()
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return ours_result, peer_result

    def imap_select(self, messages, size=2048):
        """SELECT of an inbox of `messages` messages, ours against Dovecot's."""
        self.progress("IMAP SELECT of a %d-message mailbox: ours" % messages)
        ours_ms, peer_ms = self.imap_filled_inbox(
            messages, size, lambda server, user, name: self.best_imap_select(server, user, messages, name))
        self.report("imap_select_%dk" % (messages // 1000), ours_ms, peer_ms, "ms", higher_is_better=False)

    def imap_store_seen_ms(self, server, user, messages, name):
        """Milliseconds of STORE 1:* +FLAGS (\\Seen) over the whole inbox, in a session whose SELECT
        (untimed) came after a first session's, so that what a server keeps beside the mail exists."""
        for command in (b"SELECT INBOX", b"STORE 1:* +FLAGS (\\Seen)"):
            client = ImapClient(server.imap_port)
            try:
                client.command(b"a", b"LOGIN %s %s" % (user.encode(), PASSWORD.encode()))
                client.command(b"b", b"SELECT INBOX")
                # A server that writes every record before it answers is silent for minutes.
                client.sock.settimeout(30 * 60)
                start = time.monotonic()
                client.command(b"c", command)
                seconds = time.monotonic() - start
                client.command(b"d", b"LOGOUT")
            finally:
                client.close()
        self.progress("%s: STORE 1:* +FLAGS (\\Seen) on %d messages %.0f ms" % (name, messages, seconds * 1000))
        return seconds * 1000

    def imap_store_seen(self, messages, size=2048):
        """Marking a whole inbox of `messages` messages seen with one STORE, ours against Dovecot's."""
        self.progress("IMAP STORE 1:* +FLAGS (\\Seen) on a %d-message mailbox: ours" % messages)
        ours_ms, peer_ms = self.imap_filled_inbox(
            messages, size, lambda server, user, name: self.imap_store_seen_ms(server, user, messages, name))
        self.report("imap_store_seen_%dk" % (messages // 1000), ours_ms, peer_ms, "ms", higher_is_better=False)

    def imap_qresync_ms(self, server, user, messages, name, changed=1000, expunged=100):
        """A client away while another changed the flags of `changed` messages and expunged
        `expunged` comes back with SELECT (QRESYNC ...): milliseconds of that SELECT in a session
        logged in and enabled before the clock starts, best of three. Its answer must carry the
        changes and nothing else."""
        def session():
            client = ImapClient(server.imap_port)
            client.command(b"a", b"LOGIN %s %s" % (user.encode(), PASSWORD.encode()))
            client.command(b"b", b"ENABLE QRESYNC")
            return client

        client = session()
        try:
            lines = []
            client.command(b"c", b"SELECT INBOX", lines)
            text = b" ".join(lines)
            validity = int(re.search(rb"UIDVALIDITY (\d+)", text).group(1))
            known = int(re.search(rb"HIGHESTMODSEQ (\d+)", text).group(1))
            # Every 50th message flagged, every 500th expunged: the expunged ones are only vanished.
            flagged_uids = range(messages // changed, messages + 1, messages // changed)
            gone_uids = range(messages // expunged, messages + 1, messages // expunged)
            expected_fetches = len(set(flagged_uids) - set(gone_uids))
            flagged = b",".join(b"%d" % uid for uid in flagged_uids)
            gone = b",".join(b"%d" % uid for uid in gone_uids)
            client.sock.settimeout(30 * 60)
            client.command(b"d", b"UID STORE %s +FLAGS.SILENT (\\Flagged)" % flagged)
            client.command(b"e", b"UID STORE %s +FLAGS.SILENT (\\Deleted)" % gone)
            client.command(b"f", b"EXPUNGE")
            client.command(b"g", b"LOGOUT")
        finally:
            client.close()
        best = None
        for _ in range(3):
            client = session()
            try:
                lines = []
                start = time.monotonic()
                client.command(b"h", b"SELECT INBOX (QRESYNC (%d %d 1:%d))" % (validity, known, messages), lines)
                seconds = time.monotonic() - start
                client.command(b"i", b"LOGOUT")
            finally:
                client.close()
            fetches = sum(1 for line in lines if b" FETCH " in line)
            vanished = [line for line in lines if line.startswith(b"* VANISHED (EARLIER) ")]
            if fetches != expected_fetches or len(vanished) != 1:
                raise RuntimeError("%s: QRESYNC answered %d FETCH lines and %d VANISHED lines" % (name, fetches, len(vanished)))
            self.progress("%s: SELECT (QRESYNC) %.1f ms, %d bytes of lines" % (name, seconds * 1000, sum(len(line) + 2 for line in lines)))
            best = seconds if best is None else min(best, seconds)
        return best * 1000

    def imap_sort_ms(self, server, user, messages, name):
        """Milliseconds of SORT (REVERSE ARRIVAL) ALL and SORT (SUBJECT) ALL one after the other, in a
        session after a first one (untimed: it may read every header into what the server keeps beside
        the mail), best of three. Each answer must name every message."""
        sorts = (b"SORT (REVERSE ARRIVAL) UTF-8 ALL", b"SORT (SUBJECT) UTF-8 ALL")
        best = None
        for turn in range(4):
            client = ImapClient(server.imap_port)
            try:
                client.command(b"a", b"LOGIN %s %s" % (user.encode(), PASSWORD.encode()))
                client.command(b"b", b"SELECT INBOX")
                client.sock.settimeout(30 * 60)
                start = time.monotonic()
                for n, command in enumerate(sorts):
                    lines = []
                    client.command(b"s%d" % n, command, lines)
                    answer = [line for line in lines if line.startswith(b"* SORT")]
                    if len(answer) != 1 or len(answer[0].split()) != messages + 2:
                        raise RuntimeError("%s: %r named %d messages" % (name, command, len(answer[0].split()) - 2 if answer else -1))
                seconds = time.monotonic() - start
                client.command(b"c", b"LOGOUT")
            finally:
                client.close()
            self.progress("%s: %s SORT (REVERSE ARRIVAL) and SORT (SUBJECT) %.0f ms" % (name, "first" if turn == 0 else "then", seconds * 1000))
            if turn > 0:
                best = seconds if best is None else min(best, seconds)
        return best * 1000

    def imap_sort(self, messages, size=2048):
        """A webmail's sorted views of a big inbox, ours against Dovecot's."""
        self.progress("IMAP SORT on a %d-message mailbox: ours" % messages)
        ours_ms, peer_ms = self.imap_filled_inbox(
            messages, size, lambda server, user, name: self.imap_sort_ms(server, user, messages, name))
        self.report("imap_sort_%dk" % (messages // 1000), ours_ms, peer_ms, "ms", higher_is_better=False)

    def imap_qresync(self, messages, size=2048):
        """A QRESYNC client's return to a big inbox with a few changes, ours against Dovecot's."""
        self.progress("IMAP SELECT (QRESYNC) on a %d-message mailbox: ours" % messages)
        ours_ms, peer_ms = self.imap_filled_inbox(
            messages, size, lambda server, user, name: self.imap_qresync_ms(server, user, messages, name))
        self.report("imap_qresync_%dk" % (messages // 1000), ours_ms, peer_ms, "ms", higher_is_better=False)

    def idle_delivery_ms(self, server, user, sessions, messages, deliver, name, seconds=30):
        """`sessions` sessions idle on INBOX (of `messages` messages); one delivery a second for
        `seconds` s. Returns the 99th percentile of the milliseconds from a delivery's start until the
        last session has its EXISTS, and the server's CPU seconds over the deliveries."""
        clients = []
        try:
            for _ in range(sessions):
                client, answer = idle_session(server, user)
                clients.append(client)
                if not answer.startswith(b"+"):
                    raise RuntimeError("IDLE refused on session %d" % len(clients))
            selector = selectors.DefaultSelector()
            for client in clients:
                selector.register(client.sock, selectors.EVENT_READ, client)
            cpu = cpu_seconds(server.pids())
            waits = []
            for n in range(1, seconds + 1):
                started = time.monotonic()
                deliver(messages + n)
                wanted = b"* %d EXISTS" % (messages + n)
                waiting = set(clients)
                deadline = started + WAIT
                while waiting:
                    if time.monotonic() > deadline:
                        raise RuntimeError("%d sessions never heard of delivery %d" % (len(waiting), n))
                    for key, _ in selector.select(timeout=1):
                        client = key.data
                        client.more()
                        while client in waiting:
                            end = client.buffer.find(b"\r\n", client.at)
                            if end < 0:
                                break
                            line, client.at = client.buffer[client.at:end], end + 2
                            if line == wanted:
                                waiting.discard(client)
                waits.append((time.monotonic() - started) * 1000)
                time.sleep(max(0.0, started + 1 - time.monotonic()))
            used = cpu_seconds(server.pids()) - cpu
            waits.sort()
            p99 = waits[min(len(waits) - 1, int(len(waits) * 0.99))]
            self.progress("%s: p99 %.0f ms, median %.0f ms, server CPU %.1f s" % (name, p99, waits[len(waits) // 2], used))
            return p99, used
        finally:
            for client in clients:
                client.close()

    def imap_idle_delivery(self, sessions, messages, size=2048):
        """How soon idle sessions on one shared folder hear of new mail, ours against Dovecot's. Ours
        is delivered over SMTP (intake, queue and router included); Dovecot's as its MTA would, a file
        written in the Maildir's tmp/ and renamed into new/."""
        self.progress("%d IMAP sessions idle on a %d-message inbox, a delivery a second: ours" % (sessions, messages))
        header, body = sample_message(size)
        work = self.workdir()
        try:
            ours = Pellworth(self.args.build, work, ["imap"], imap_sessions=sessions + 10).start()
            try:
                wait_for(accepting(ours.imap_port), "our IMAP listener")
                ours.fill(messages, size, user="imap")
                smtp = smtplib.SMTP("127.0.0.1", ours.smtp_port, timeout=WAIT)

                def deliver_ours(n):
                    smtp.sendmail(SENDER, ["imap@" + DOMAIN], message_header(header, n) + body)

                ours_ms, ours_cpu = self.idle_delivery_ms(ours, "imap@" + DOMAIN, sessions, messages, deliver_ours, "ours")
                smtp.quit()
            finally:
                ours.stop()
            self.progress("... Dovecot")
            peer = Dovecot(work, protocol="imap", user="imap", sessions=sessions)
            peer.fill(messages, size)
            peer.start()

            def deliver_peer(n):
                name = "%d.M%dP2.bench" % (int(time.time()), n)
                temporary = os.path.join(peer.maildir, "tmp", name)
                with open(temporary, "w") as f:
                    f.write((message_header(header, n) + body).replace("\r\n", "\n"))
                os.chown(temporary, peer.owner.pw_uid, peer.owner.pw_gid)
                os.rename(temporary, os.path.join(peer.maildir, "new", name))

            try:
                peer_ms, peer_cpu = self.idle_delivery_ms(peer, "imap", sessions, messages, deliver_peer, "Dovecot")
            finally:
                peer.stop()
        finally:
            shutil.rmtree(work, ignore_errors=True)
        self.report("imap_idle_delivery_%d" % sessions, ours_ms, peer_ms, "ms", higher_is_better=False,
                    extra={"ours_cpu_s": round(ours_cpu, 1), "peer_cpu_s": round(peer_cpu, 1)})

    def idle_imap_sessions_kb(self, server, user, sessions, warm=False):
        """PSS growth per session while `sessions` sessions sit logged in with INBOX selected, each
        having asked for IDLE (granted or refused: either leaves it waiting for its client). With
        `warm`, one more session is opened first and stays, outside the count: what a server makes
        once per folder however many sessions there are (our folder index and its shared listing,
        Dovecot's index files) is then not divided among the sessions."""
        clients = []
        try:
            wait_for(lambda: pss_kb(server.pids()) > 0, "the server's memory to be readable")
            if warm:
                client, answer = idle_session(server, user)
                clients.append(client)
                if not (answer.startswith(b"+") or answer.startswith(b"c NO")):
                    raise RuntimeError("IDLE on the first session: %r" % answer)
            before = pss_kb(server.pids())
            for _ in range(sessions):
                client, answer = idle_session(server, user)
                clients.append(client)
                if not (answer.startswith(b"+") or answer.startswith(b"c NO")):
                    raise RuntimeError("IDLE on session %d: %r" % (len(clients), answer))
            after = pss_kb(server.pids())
            return (after - before) / sessions
        finally:
            for client in clients:
                client.close()

    def imap_idle_memory(self, sessions, messages=IMAP_IDLE_MESSAGES, size=4096, name="imap_idle_memory", warm=False):
        self.progress("memory of %d idle IMAP sessions with INBOX (%d messages) selected: ours" % (sessions, messages))
        work = self.workdir()
        try:
            ours = Pellworth(self.args.build, work, ["imap"], imap_sessions=sessions + 10).start()
            try:
                wait_for(accepting(ours.imap_port), "our IMAP listener")
                ours.fill(messages, size, user="imap")
                ours_kb = self.idle_imap_sessions_kb(ours, "imap@" + DOMAIN, sessions, warm)
            finally:
                ours.stop()
            self.progress("... Dovecot")
            peer = Dovecot(work, protocol="imap", user="imap", sessions=sessions)
            peer.fill(messages, size)
            peer.start()
            try:
                peer_kb = self.idle_imap_sessions_kb(peer, "imap", sessions, warm)
            finally:
                peer.stop()
        finally:
            shutil.rmtree(work, ignore_errors=True)
        self.report(name, ours_kb, peer_kb, "KiB", higher_is_better=False)

    # Memory -----------------------------------------------------------------------------------

    def idle_sessions_kb(self, server, sessions):
        server.start()
        clients = []
        try:
            wait_for(lambda: pss_kb(server.pids()) > 0, "the server's memory to be readable")
            before = pss_kb(server.pids())
            for _ in range(sessions):
                client = socket.create_connection(("127.0.0.1", server.smtp_port), timeout=WAIT)
                clients.append(client)
                greeting = client.recv(4096)
                if not greeting.startswith(b"220"):
                    raise RuntimeError("no greeting on session %d: %r" % (len(clients), greeting))
            after = pss_kb(server.pids())
            return (after - before) / sessions
        finally:
            for client in clients:
                client.close()
            server.stop()

    def memory(self, sessions):
        self.progress("memory of %d idle SMTP sessions: ours" % sessions)
        work = self.workdir()
        try:
            ours = self.idle_sessions_kb(Pellworth(self.args.build, work), sessions)
            self.progress("... Postfix")
            peer = self.idle_sessions_kb(Postfix(work, process_limit=sessions + 10), sessions)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        self.report("memory_idle_smtp_session", ours, peer, "KB/session", higher_is_better=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the optimised build directory")
    parser.add_argument("--fetch", required=True, help="the pop3-fetch client")
    parser.add_argument("--quick", action="store_true", help="smaller counts: a few minutes in all")
    parser.add_argument("--sessions", type=int, default=20, help="concurrent SMTP sessions")
    parser.add_argument("--messages", type=int, help="messages per SMTP intake run")
    # "antispam", "antivirus", "spamassassin" and "mailauth" are bench/antispam.py's,
    # bench/antivirus.py's, bench/spamassassin.py's and bench/mailauth.py's, which bench/run runs
    # after this: here they choose nothing.
    # "imap-idle-50k" is imap_idle_memory_50k alone (it is also part of the large IMAP lines),
    # "imap-select" imap_select_50k (imap_select_10k with --quick) alone.
    parser.add_argument("--only", choices=["smtp", "pop3", "pickup", "imap", "imap-idle-50k", "imap-select", "smtp-latency", "memory", "antispam", "antivirus",
                                           "spamassassin", "mailauth"],
                        action="append")
    parser.add_argument("--imap-large", action="store_true",
                        help="with --quick: the 50,000-message IMAP lines too (STORE, idle delivery)")
    parser.add_argument("--dir", help="where the servers keep their files (default: the temporary directory)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("bench: the peers' private instances need root (Postfix and Dovecot drop privileges themselves)")
    bench = Bench(args)
    only = set(args.only or ["smtp", "pop3", "pickup", "imap", "memory"])
    messages = args.messages or (1000 if args.quick else 5000)
    if "smtp" in only:
        bench.smtp_intake(4096, messages)
        bench.smtp_intake(102400, messages // 5 if args.quick else messages)
        # At half of what the 4 KB run delivered into the inbox: the latency of a steady flow, not a backlog.
        inbox_rate = next(r["ours"] for r in bench.results if r["name"] == "smtp_intake_4k_in_inbox")
        bench.smtp_delivery_latency(max(10, int(inbox_rate / 2)))
    if "pop3" in only:
        bench.pop3_retrieval(1000 if args.quick else 5000)
    if "pickup" in only:
        bench.pop3_pickup(2000)
    if "imap" in only:
        bench.imap_fetch(1000 if args.quick else 5000)
        bench.imap_select(10000 if args.quick else 50000)
        bench.imap_idle_memory(500)
        # At 50,000 messages these take minutes each (most of it filling and indexing both servers'
        # folders): a full run only, or --imap-large with --quick.
        if not args.quick or args.imap_large:
            bench.imap_store_seen(50000)
            bench.imap_qresync(50000)
            bench.imap_sort(50000)
            bench.imap_idle_delivery(100, 50000)
    if "smtp-latency" in only and "smtp" not in only:
        bench.smtp_delivery_latency(250)
    if "imap-select" in only:
        bench.imap_select(10000 if args.quick else 50000)
    if "imap-idle-50k" in only or ("imap" in only and (not args.quick or args.imap_large)):
        bench.imap_idle_memory(IMAP_IDLE_LARGE_SESSIONS, 50000, 2048, "imap_idle_memory_50k", warm=True)
    if "memory" in only:
        bench.memory(500)
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "latest.json"), "w") as f:
        json.dump({"date": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), "quick": args.quick,
                   "sessions": args.sessions, "results": bench.results}, f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    main()
