"""A private Postfix instance, shared by the integration tests and the benchmarks: its own configuration,
queue, data directory and log file below one directory, listening on one loopback address and port of
the caller's, no chroot. It runs as root (Postfix drops privileges itself); nothing system-wide is
configured, read beyond Postfix's own installed files, or left running."""
import os
import pwd
import shutil
import signal
import socket
import subprocess
import time

WAIT = 120  # seconds Postfix may take to check its directories, start or stop on a loaded machine

# The services every instance needs besides its listener and the delivery transports of the caller.
BASE_SERVICES = [
    ("pickup", "unix", "n", "-", "n", "60", "1", "pickup"),
    ("cleanup", "unix", "n", "-", "n", "-", "0", "cleanup"),
    ("qmgr", "unix", "n", "-", "n", "300", "1", "qmgr"),
    ("rewrite", "unix", "-", "-", "n", "-", "-", "trivial-rewrite"),
    ("bounce", "unix", "-", "-", "n", "-", "0", "bounce"),
    ("defer", "unix", "-", "-", "n", "-", "0", "bounce"),
    ("trace", "unix", "-", "-", "n", "-", "0", "bounce"),
    ("verify", "unix", "-", "-", "n", "-", "1", "verify"),
    ("flush", "unix", "n", "-", "n", "1000?", "0", "flush"),
    ("proxymap", "unix", "-", "-", "n", "-", "-", "proxymap"),
    ("showq", "unix", "n", "-", "n", "-", "-", "showq"),
    ("error", "unix", "-", "-", "n", "-", "-", "error"),
    ("retry", "unix", "-", "-", "n", "-", "-", "error"),
    ("discard", "unix", "-", "-", "n", "-", "-", "discard"),
    ("anvil", "unix", "-", "-", "n", "-", "1", "anvil"),
    ("scache", "unix", "-", "-", "n", "-", "1", "scache"),
    ("postlog", "unix-dgram", "n", "-", "n", "-", "1", "postlogd"),
]


def postfix_program():
    """The postfix command, or None: root's PATH has /usr/sbin, a user's often not."""
    return shutil.which("postfix") or shutil.which("postfix", path="/usr/sbin:/usr/local/sbin")


def descendants(pid):
    """pid and every process below it."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(parent, []).append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    found, todo = [], [pid]
    while todo:
        current = todo.pop()
        found.append(current)
        todo.extend(children.get(current, []))
    return found


def stop_tree(proc, ask, wait=WAIT):
    """Asks a running server to stop, and kills it with every process below it when it does not."""
    if proc and proc.poll() is None:
        ask()
        try:
            proc.wait(timeout=wait)
        except subprocess.TimeoutExpired:
            for pid in descendants(proc.pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            proc.wait()


class PrivatePostfix:
    """settings: main.cf lines added to the common ones; services: master.cf entries (tuples of its eight
    fields) besides the listener and BASE_SERVICES. Directories the caller needs Postfix's user to own
    go in `owned` (created below root when relative)."""

    def __init__(self, root, address, port, settings="", services=(), owned=()):
        self.root, self.address, self.port = root, address, port
        self.conf = os.path.join(root, "etc")
        self.queue = os.path.join(root, "queue")
        self.maillog = os.path.join(root, "maillog")
        data = os.path.join(root, "data")
        for folder in (self.conf, self.queue, data):
            os.makedirs(folder)
        owner = pwd.getpwnam("postfix")
        for folder in (data, *(os.path.join(root, f) for f in owned)):
            os.makedirs(folder, exist_ok=True)
            os.chown(folder, owner.pw_uid, owner.pw_gid)
        # inet_interfaces must name addresses an interface has (lo has only 127.0.0.1), so the listener's
        # own address, any of 127.0.0.0/8, is given in master.cf instead.
        # meta_directory stays the installed one: it holds postfix-files, which "postfix check" needs to
        # lay out the private queue.
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            f.write(f"""compatibility_level = 3.6
queue_directory = {self.queue}
data_directory = {data}
meta_directory = /etc/postfix
maillog_file = {self.maillog}
maillog_file_prefixes = {root}
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
biff = no
smtputf8_enable = no
""" + settings)
        listener = ("%s:%d" % (address, port), "inet", "n", "-", "n", "-", "-", "smtpd")
        with open(os.path.join(self.conf, "master.cf"), "w") as f:
            f.writelines(" ".join(service) + "\n" for service in [listener, *services, *BASE_SERVICES])
        self.proc = None

    def run(self, *args):
        program = postfix_program()
        result = subprocess.run([program, "-c", self.conf, *args], capture_output=True, text=True, timeout=WAIT)
        if result.returncode != 0:
            # Without a terminal Postfix tells why only to its log.
            raise RuntimeError("postfix %s failed (%d): %s%s%s" % (" ".join(args), result.returncode, result.stdout,
                                                                 result.stderr, self.log()))

    def accepting(self):
        try:
            with socket.create_connection((self.address, self.port), timeout=1) as s:
                return s.recv(512).startswith(b"220")
        except OSError:
            return False

    def start(self):
        # "check" creates the queue's directories with their owners and modes.
        self.run("check")
        self.proc = subprocess.Popen([postfix_program(), "-c", self.conf, "start-fg"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + WAIT
        while not self.accepting():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("Postfix did not start listening on %s:%d:\n%s" % (self.address, self.port, self.log()))
            time.sleep(0.05)
        return self

    def pids(self):
        return descendants(self.proc.pid)

    def log(self):
        try:
            with open(self.maillog, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        stop_tree(self.proc, lambda: subprocess.run([postfix_program(), "-c", self.conf, "stop"], capture_output=True, timeout=WAIT))
