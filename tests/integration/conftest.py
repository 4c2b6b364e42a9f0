"""Shared fixtures: a private registry file, unit directory and store for each test, and a server
process that the test starts, waits for through the service manager's readiness protocol, and stops."""
import os
import re
import resource
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time

import pytest

BIN = os.environ.get("PELLWORTH_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin"))
SERVER = os.path.join(BIN, "pellworth")
ADMIN = os.path.join(BIN, "pellworth-admin")
STORE_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\General"
LOGGING_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\Logging"
DEBUG_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Debug"
APPID_KEY = r"HKEY_CLASSES_ROOT\AppID\{A82F9C7A-3537-4491-A799-287D84D5DF33}"
WAIT = 60  # seconds: a generous bound for a loaded machine, never a fixed sleep


class Server:
    """One server process with a readiness socket."""

    def __init__(self, env, notify_dir, nofile=None, args=()):
        self.notify_path = os.path.join(notify_dir, "notify-%d" % time.monotonic_ns())
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.notify_path)
        # nofile: the (soft, hard) descriptor limits the server is given, as a service manager would.
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, nofile)) if nofile else None
        self.proc = subprocess.Popen([SERVER, *args], env=dict(env, NOTIFY_SOCKET=self.notify_path), preexec_fn=limit,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def wait_ready(self):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError("server exited with %d: %s" % (self.proc.returncode, self.proc.stderr.read()))
            self.sock.settimeout(0.5)
            try:
                if b"READY=1" in self.sock.recv(4096):
                    return self
            except socket.timeout:
                pass
        raise AssertionError("server did not become ready")

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        self.proc.wait(timeout=WAIT)
        return self.proc.returncode

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=WAIT)
        self.sock.close()


class Env:
    """A private installation: registry file, unit directory and store path."""

    def __init__(self, root):
        self.root = root
        self.registry = os.path.join(root, "pellworth.reg")
        self.units = os.path.join(root, "units")
        self.store = os.path.join(root, "store")
        self.env = dict(os.environ, PELLWORTH_REGISTRY=self.registry, PELLWORTH_SYSTEMD_DIR=self.units)
        self.env.pop("NOTIFY_SOCKET", None)
        self.servers = []

    def run(self, *args, program=SERVER):
        return subprocess.run([program, *args], env=self.env, capture_output=True, text=True, timeout=WAIT)

    def admin(self, *args):
        return self.run(*args, program=ADMIN)

    def registry_text(self):
        with open(self.registry, encoding="utf-8") as f:
            return f.read()

    def configure_store(self, store=None):
        self.store = store or self.store
        with open(self.registry, "a", encoding="utf-8") as f:
            f.write('\n[%s]\n"MessageStore"="%s"\n' % (STORE_KEY, self.store))

    def configure_logging(self, file_type, level):
        self.logs = os.path.join(self.root, "logs")
        os.makedirs(self.logs, exist_ok=True)
        with open(self.registry, "a", encoding="utf-8") as f:
            f.write('\n[%s]\n"FilePath"="%s"\n"FileType"=dword:%08x\n"LogLevel"=dword:%08x\n'
                    % (LOGGING_KEY, self.logs, file_type, level))

    def configure_debug(self, name, value):
        """Sets a Debug switch, replacing the value when the file has it already."""
        line = '"%s"=dword:%08x' % (name, value)
        text = self.registry_text()
        changed = re.sub(r'(?m)^"%s"=dword:[0-9a-fA-F]{8}$' % re.escape(name), line, text)
        if changed == text:
            changed = text + '\n[%s]\n%s\n' % (DEBUG_KEY, line)
        with open(self.registry, "w", encoding="utf-8") as f:
            f.write(changed)

    def start(self, nofile=None, args=()):
        server = Server(self.env, self.root, nofile, args)
        self.servers.append(server)
        return server

    def store_file(self, name):
        return os.path.join(self.store, name)


@pytest.fixture
def env():
    # A short path: the readiness socket's name must fit a sockaddr_un.
    root = tempfile.mkdtemp(prefix="pw-it-")
    installation = Env(root)
    yield installation
    for server in installation.servers:
        server.close()
    shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def registered(env):
    """An installation registered as a local server, with a store path configured. Its listeners are
    off, so that it never binds the real mail ports; tests of the network turn them on with ports of
    their own (see free_port)."""
    result = env.run("-RegServer")
    assert result.returncode == 0, result.stderr
    env.configure_store()
    env.configure_debug("NoListeners", 1)
    return env


def free_port():
    """A port that no socket on any local address holds right now. The probe binds the wildcard so that
    the port is free for a server that binds it too: a client's TIME_WAIT on another loopback address
    (a flood's, say) does not stop a bind to 127.0.0.1, but it does stop one to 0.0.0.0."""
    with socket.socket() as probe:
        probe.bind(("", 0))
        return probe.getsockname()[1]


def bind_when_free(bind, what):
    """Binds, waiting while a neighbour (another suite's fake server) still holds the address."""
    deadline = time.monotonic() + WAIT
    while True:
        try:
            return bind()
        except OSError:
            assert time.monotonic() < deadline, what + " stays busy"
            time.sleep(0.1)


def wait_for(condition, what="the condition", bound=WAIT, step=0.05):
    """Polls condition() until it gives a true value, and returns that value; fails after `bound`
    seconds, never sleeps a fixed time."""
    deadline = time.monotonic() + bound
    while True:
        value = condition()
        if value:
            return value
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(step)


def make_certificate(directory):
    """A self-signed certificate for "localhost" and its key, made in the directory: (certificate path, key path)."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                    "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=WAIT)
    return cert, key


def unverified_tls_client():
    """A TLS client context that takes any certificate, as the self-signed ones of make_certificate."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def log_text(env):
    """Everything the server's log files hold (configure_logging names their folder)."""
    text = ""
    for name in sorted(os.listdir(env.logs)):
        with open(os.path.join(env.logs, name), encoding="utf-8", errors="replace") as f:
            text += f.read()
    return text


def admin(env, *args):
    """Runs pellworth-admin and insists that it succeeds."""
    result = env.admin(*args)
    assert result.returncode == 0, (args, result.stderr)
    return result


def configure(env, *settings):
    """Sets configuration values, (key, typed value) pairs, with pellworth-admin."""
    for key, value in settings:
        admin(env, "config", "set", key, value)


class AdminClient:
    """A line-protocol client of the server's administration socket: greeting read, one JSON request
    per line, replies read in order."""

    def __init__(self, path, timeout=WAIT):
        import json
        self.json = json
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.file = self.sock.makefile("rb")
        self.next_id = 1
        self.events = []  # event lines of an advised Logging object, as they came between replies
        self.greeting = self.read()

    def read(self):
        line = self.file.readline()
        assert line.endswith(b"\n"), "the server closed the connection: %r" % line
        return self.json.loads(line)

    def send_line(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    def request(self, op, obj, member=None, *args):
        request = {"id": self.next_id, "op": op, "object": obj}
        self.next_id += 1
        if member is not None:
            request["member"] = member
        request["args"] = list(args)
        self.send_line(self.json.dumps(request) + "\n")
        reply = self.read()
        while "event" in reply or "dropped" in reply:
            self.events.append(reply)
            reply = self.read()
        assert reply["id"] == request["id"], reply
        return reply

    def call(self, obj, member, *args):
        return self.request("call", obj, member, *args)

    def close(self):
        self.file.close()
        self.sock.close()


def admin_socket_path(env):
    return os.path.join(env.store, "pellworth.sock")
