"""The server as a new user meets it: the README's quick start run as written (as root and as a normal
user) in a copy of the checkout, the command-line help the README promises, and the log a server
started on a terminal shows there."""
import ctypes
import os
import pty
import re
import select
import shutil
import signal
import smtplib
import socket
import subprocess
import tempfile
import time

import pytest

from conftest import ADMIN, BIN, SERVER, WAIT, free_port

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
README = os.path.join(ROOT, "README.md")
NOBODY = 65534
CLONE_NEWNET = 0x40000000


def readme_section(title):
    text = open(README, encoding="utf-8").read()
    start = text.index("\n## " + title)
    end = text.find("\n## ", start + 1)
    return text[start:end if end >= 0 else len(text)]


def code_blocks(section):
    """The README's indented code blocks, each a list of command lines."""
    blocks, current = [], []
    for line in section.splitlines():
        if line.startswith("    ") and line.strip():
            current.append(line[4:])
        elif current and not line.strip() == "":
            blocks.append(current)
            current = []
    if current:
        blocks.append(current)
    return blocks


@pytest.fixture
def private_network():
    """A network namespace of its own, so that the README's fixed ports meet nothing else on this
    machine and nothing else meets them."""
    if os.geteuid() != 0:
        pytest.skip("needs root: a private network namespace, and a normal user to switch to")
    libc = ctypes.CDLL(None, use_errno=True)
    original = os.open("/proc/self/ns/net", os.O_RDONLY)
    if libc.unshare(CLONE_NEWNET) != 0:
        os.close(original)
        pytest.skip("no network namespace: %s" % os.strerror(ctypes.get_errno()))
    try:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        yield
    finally:
        libc.setns(original, CLONE_NEWNET)
        os.close(original)


def make_checkout(user):
    """A copy of what the quick start touches: the scripts, the default registry file and the
    binaries already built (scripts/run is told not to build them again)."""
    checkout = tempfile.mkdtemp(prefix="pw-qs-")
    for name in ("scripts", "packaging"):
        shutil.copytree(os.path.join(ROOT, name), os.path.join(checkout, name), symlinks=True)
    shutil.copy(README, checkout)
    shutil.copytree(BIN, os.path.join(checkout, "build", "bin"), symlinks=True)
    if user != 0:
        for directory, _, files in os.walk(checkout):
            os.chown(directory, user, user)
            for name in files:
                os.chown(os.path.join(directory, name), user, user)
    return checkout


def as_user(user, argv):
    return argv if user == 0 else ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups", *argv]


@pytest.mark.parametrize("user", [0, NOBODY], ids=["root", "normal-user"])
def test_readme_quick_start_delivers_and_reads_back_the_first_mail(private_network, user):
    if user == 0 and os.path.exists("/etc/pellworth/pellworth.reg"):
        pytest.skip("this machine has an installed server, which root's commands would rightly use")
    blocks = code_blocks(readme_section("Quick start"))
    assert blocks[0] == ["scripts/run"], blocks
    commands = blocks[1]
    checkout = make_checkout(user)
    # Nothing set by hand: only what the machine itself would have, plus the readiness socket, the
    # copy's "already built", and a unit directory of its own should registration look for one.
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": checkout, "LANG": "C.UTF-8",
           "PELLWORTH_NO_BUILD": "1", "PELLWORTH_SYSTEMD_DIR": os.path.join(checkout, "units")}
    notify = os.path.join(checkout, "notify")
    ready = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    ready.bind(notify)
    os.chmod(notify, 0o777)
    ready.settimeout(0.5)
    with open(os.path.join(checkout, "run.log"), "w") as log:
        server = subprocess.Popen(as_user(user, ["scripts/run"]), cwd=checkout, stdout=log, stderr=log,
                                  env=dict(env, NOTIFY_SOCKET=notify))
    try:
        deadline = time.monotonic() + WAIT
        while server.poll() is None and time.monotonic() < deadline:
            try:
                if b"READY=1" in ready.recv(4096):
                    break
            except socket.timeout:
                pass
        else:
            raise AssertionError("scripts/run did not start the server: " + open(os.path.join(checkout, "run.log")).read())
        transcript = []
        for command in commands:
            deadline = time.monotonic() + WAIT
            while True:
                # Each line exactly as the README shows it, through a shell as a user would paste it.
                result = subprocess.run(as_user(user, ["bash", "-c", command]), cwd=checkout, env=env,
                                        capture_output=True, text=True, timeout=WAIT)
                # Delivery to the mailbox follows the SMTP answer; the read waits for it, boundedly.
                if result.returncode == 0 or ("pop3://" not in command and "imap://" not in command) or time.monotonic() > deadline:
                    break
                time.sleep(0.2)
            transcript.append((command, result.returncode, result.stdout + result.stderr))
            assert result.returncode == 0, transcript
        # Both reads, POP3 and IMAP, show the message.
        reads = [entry for entry in transcript if "pop3://" in entry[0] or "imap://" in entry[0]]
        assert len(reads) == 2, transcript
        for read in reads:
            assert "Hello John" in read[2] and "To: john@example.com" in read[2], transcript
        # Everything lives in the checkout's run/, made by the user who ran it.
        store = os.path.join(checkout, "run", "store")
        assert os.stat(os.path.join(checkout, "run", "pellworth.reg")).st_uid == user
        assert os.stat(store).st_uid == user
        assert os.path.isdir(os.path.join(store, "example.com"))
    finally:
        if server.poll() is None:
            server.send_signal(signal.SIGTERM)
            assert server.wait(timeout=WAIT) == 0
        ready.close()
        shutil.rmtree(checkout, ignore_errors=True)


def test_versions_and_help_list_what_the_readme_shows(tmp_path):
    version = subprocess.run([SERVER, "-Version"], capture_output=True, text=True, timeout=WAIT)
    admin_version = subprocess.run([ADMIN, "--version"], capture_output=True, text=True, timeout=WAIT)
    project = re.search(r"project\(Pellworth VERSION (\d+\.\d+\.\d+)", open(os.path.join(ROOT, "CMakeLists.txt")).read())
    assert version.returncode == 0 and version.stdout.startswith("Pellworth %s." % project.group(1)), version
    assert admin_version.stdout.split()[1] == version.stdout.split()[1]

    # Every command of "Manage it" is in the help of its group, with the value types the README names.
    manage = readme_section("Manage it")
    shown = set()
    for line in sum(code_blocks(manage), []):
        words = line.split("#")[0].split()
        if words and words[0] == "pellworth-admin":
            # "domain list | remove NAME | get NAME KEY": one command per alternative; "connect-now" is
            # a group that is its own command.
            for alternative in " ".join(words[2:]).split("|"):
                shown.add((words[1], (alternative.split() or [""])[0]))
    assert len(shown) >= 12, shown
    for group, command in shown:
        helped = subprocess.run([ADMIN, group, "--help"], capture_output=True, text=True, timeout=WAIT)
        usage = "  %s %s " % (group, command) if command else "  %s " % group
        assert helped.returncode == 0 and usage in helped.stdout, (group, command, helped.stdout)
    config_help = subprocess.run([ADMIN, "config", "--help"], capture_output=True, text=True, timeout=WAIT).stdout
    for kind in re.search(r"typed: ([^\n]*)", manage).group(1).split():
        assert kind in config_help, kind
    whole = subprocess.run([ADMIN, "--help"], capture_output=True, text=True, timeout=WAIT)
    assert whole.returncode == 0 and "PELLWORTH_REGISTRY" in whole.stdout

    # A failure names the registry file the tool used, and why that one.
    registry = str(tmp_path / "pellworth.reg")
    failed = subprocess.run([ADMIN, "domain", "list"], capture_output=True, text=True, timeout=WAIT,
                            env=dict(os.environ, PELLWORTH_REGISTRY=registry))
    assert failed.returncode == 1 and registry in failed.stderr and "PELLWORTH_REGISTRY" in failed.stderr, failed
    wrong = subprocess.run([ADMIN, "mailbox", "frobnicate"], capture_output=True, text=True, timeout=WAIT)
    assert wrong.returncode == 2 and "mailbox add ADDRESS" in wrong.stderr and "domain add" not in wrong.stderr


def read_terminal(master, until, deadline):
    seen = b""
    while until not in seen and time.monotonic() < deadline:
        if select.select([master], [], [], 0.5)[0]:
            try:
                seen += os.read(master, 65536)
            except OSError:
                break
    return seen.decode("utf-8", "replace")


def test_a_server_on_a_terminal_shows_its_log_there_once(registered):
    port = free_port()
    for key, number in (("smtp", port), ("pop3", free_port()), ("imap4", free_port())):
        assert registered.admin("config", "set", "sys:%s:0:port" % key, "port:%d" % number).returncode == 0
    registered.configure_debug("NoListeners", 0)
    notify = os.path.join(registered.root, "notify")
    ready = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    ready.bind(notify)
    ready.settimeout(WAIT)
    master, terminal = pty.openpty()
    try:
        server = subprocess.Popen([SERVER], env=dict(registered.env, NOTIFY_SOCKET=notify),
                                  stdout=subprocess.DEVNULL, stderr=terminal)
        try:
            assert b"READY=1" in ready.recv(4096)
            with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
                client.noop()
            shown = read_terminal(master, b"SMTP connection from 127.0.0.1", time.monotonic() + WAIT)
        finally:
            server.send_signal(signal.SIGTERM)
            assert server.wait(timeout=WAIT) == 0
        assert "SMTP connection from 127.0.0.1" in shown, shown
        assert "Registry file %s" % registered.registry in shown, shown
        # The start-up line goes to syslog and to the log; the terminal shows it once.
        assert len(re.findall(r"[0-9.]+ starting", shown)) == 1, shown
    finally:
        os.close(master)
        os.close(terminal)
        ready.close()

    # Standard error that is not a terminal (a pipe, the journal's stream) gets no log lines.
    piped = registered.start().wait_ready()
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.noop()
    assert piped.stop() == 0
    assert "SMTP connection" not in piped.proc.stderr.read()


def test_service_unit_runs_unprivileged_and_sandboxed(env):
    env.configure_store()
    env.configure_logging(2, 3)
    site = os.path.join(env.root, "spamassassin")
    with open(env.registry, "a", encoding="utf-8") as f:
        f.write('\n[HKEY_LOCAL_MACHINE\\Software\\Quillon\\Tessaline\\Pellworth\\SpamAssassin]\n"Directory"="%s/"\n' % site)
    assert env.run("-Service").returncode == 0
    unit_path = os.path.join(env.units, "pellworth.service")
    unit = open(unit_path, encoding="utf-8").read()
    settings = dict(line.split("=", 1) for line in unit.splitlines() if "=" in line and not line.startswith("#"))
    assert settings["User"] == "pellworth" and settings["AmbientCapabilities"] == "CAP_NET_BIND_SERVICE", unit
    # Everything is read-only but what the server writes: its store, its logs, its registry file's folder,
    # its backups, and SpamAssassin's directory, where sa-learn keeps its database (optional ones: "-").
    assert settings["ProtectSystem"] == "strict"
    assert settings["ReadWritePaths"].split() == ['"%s"' % env.store, '"%s"' % env.logs, '"%s"' % env.root,
                                                  '"-/var/lib/pellworth/backup"', '"-%s"' % site], unit
    assert int(settings["TimeoutStopSec"]) > 60 and int(settings["LimitNOFILE"]) >= 24 * 500 * 2
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        pytest.skip("systemd-analyze is missing (Debian's systemd package brings it)")
    rating = subprocess.run([analyze, "security", "--offline=yes", "--no-pager", unit_path],
                            capture_output=True, text=True, timeout=WAIT)
    exposure = re.search(r"Overall exposure level for pellworth\.service: ([0-9.]+) (\w+)", rating.stdout + rating.stderr)
    assert exposure, rating.stdout + rating.stderr
    assert float(exposure.group(1)) <= 4.0, rating.stdout


def test_a_world_readable_tls_key_stops_the_start(registered):
    from conftest import make_certificate
    cert, key = make_certificate(registered.root)
    for setting, value in (("sys:ssl:enabled", "bool:true"), ("sys:ssl:certpath", cert), ("sys:ssl:keypath", key)):
        assert registered.admin("config", "set", setting, value).returncode == 0
    os.chmod(key, 0o644)
    refused = registered.run()
    assert refused.returncode == 1, refused
    assert key in refused.stderr and "every user" in refused.stderr and "0644" in refused.stderr, refused.stderr
    os.chmod(key, 0o640)
    server = registered.start().wait_ready()
    assert server.stop() == 0


def test_debian_package_layout_dependencies_and_lintian(tmp_path):
    built = subprocess.run([os.path.join(ROOT, "scripts", "package"), str(tmp_path)], capture_output=True, text=True,
                           timeout=10 * WAIT, env=dict(os.environ, PELLWORTH_BIN=BIN))
    assert built.returncode == 0, built.stderr
    version = subprocess.run([SERVER, "-Version"], capture_output=True, text=True, timeout=WAIT).stdout.split()[-1]
    deb = built.stdout.strip().splitlines()[-1]
    assert os.path.basename(deb) == "pellworth_%s_amd64.deb" % re.sub(r"\.0$", "", version), deb

    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
    paths = {line.split()[-1].lstrip(".") for line in listing.splitlines()}
    for path in ("/usr/sbin/pellworth", "/usr/sbin/pellworth-admin", "/usr/share/pellworth/lang/pellworth-ENU.txt",
                 "/usr/share/pellworth/templates/dsn.xml", "/lib/systemd/system/pellworth.service",
                 "/etc/pellworth/pellworth.reg", "/usr/share/doc/pellworth/copyright"):
        assert path in paths, listing
    assert all(" root/root " in line for line in listing.splitlines()), listing
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True, check=True).stdout
    for library in ("libc6", "libssl3", "libpugixml1v5", "adduser"):
        assert library in depends, depends

    if shutil.which("lintian"):
        lint = subprocess.run(["lintian", "--no-tag-display-limit", deb], capture_output=True, text=True, timeout=10 * WAIT)
        assert not re.search(r"^E: ", lint.stdout, re.M), lint.stdout

    # Unpacked by dpkg into a root of its own: the conffile, the unit for the installed paths, and a
    # server that finds its texts from /usr/sbin and starts from that registry as a service.
    root = tmp_path / "root"
    (root / "var/lib/dpkg/updates").mkdir(parents=True)
    (root / "var/lib/dpkg/info").mkdir()
    (root / "var/lib/dpkg/status").touch()
    unpacked = subprocess.run(["dpkg", "--root=%s" % root, "--log=%s" % (tmp_path / "dpkg.log"), "--force-depends",
                               "--unpack", deb], capture_output=True, text=True, timeout=WAIT)
    assert unpacked.returncode == 0, unpacked.stderr
    assert "Conffiles:\n /etc/pellworth/pellworth.reg" in (root / "var/lib/dpkg/status").read_text()
    unit = (root / "lib/systemd/system/pellworth.service").read_text()
    for line in ('ExecStart="/usr/sbin/pellworth"', 'Environment="PELLWORTH_REGISTRY=/etc/pellworth/pellworth.reg"',
                 "User=pellworth",
                 'ReadWritePaths="/var/lib/pellworth/store" "/var/log/pellworth" "/etc/pellworth" "-/var/lib/pellworth/backup" '
                 '"-/etc/spamassassin"'):
        assert line + "\n" in unit, unit
    registry = (root / "etc/pellworth/pellworth.reg.dpkg-new").read_text()
    assert '"MessageStore"="/var/lib/pellworth/store"' in registry and '"LocalService"="Pellworth"' in registry
    assert str(tmp_path) not in registry + unit
    server = str(root / "usr/sbin/pellworth")
    assert subprocess.run([server, "-Version"], capture_output=True, text=True).stdout == "Pellworth %s\n" % version
    private = registry.replace("/var/lib/pellworth/store", str(tmp_path / "store")).replace("/var/log/pellworth", str(tmp_path))
    (tmp_path / "p.reg").write_text(private + '\n[HKEY_LOCAL_MACHINE\\Software\\Quillon\\Tessaline\\Debug]\n"NoListeners"=dword:00000001\n')
    notify = str(tmp_path / "n")
    ready = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    ready.bind(notify)
    ready.settimeout(WAIT)
    started = subprocess.Popen([server], env=dict(os.environ, PELLWORTH_REGISTRY=str(tmp_path / "p.reg"), NOTIFY_SOCKET=notify),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        assert b"READY=1" in ready.recv(4096)
    finally:
        started.send_signal(signal.SIGTERM)
        assert started.wait(timeout=WAIT) == 0, started.stderr.read()
        ready.close()
