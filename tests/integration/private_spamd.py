"""A private spamd, shared by the integration tests and the benchmarks: a SpamAssassin site
configuration of the caller's (`site_directory` makes one from the system's ".pre" files, which load
the plugins, and a local.cf), on a loopback port, local tests only (-L), no user configuration (-x).
Nothing system-wide is used or left running."""
import glob
import os
import shutil
import socket
import subprocess
import tempfile
import time

WAIT = 360  # seconds: compiling the rules takes a while on a loaded machine


def site_directory(local_cf, mode=0o644, parent=None):
    """A site configuration directory; readable by all, as spamd's children run as "nobody"."""
    directory = tempfile.mkdtemp(prefix="pw-sa-", dir=parent)
    os.chmod(directory, 0o755)
    for pre in glob.glob("/etc/spamassassin/*.pre"):
        shutil.copy(pre, directory)
    path = os.path.join(directory, "local.cf")
    with open(path, "wb") as f:
        f.write(local_cf)
    os.chmod(path, mode)
    return directory


def ping(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.sendall(b"PING SPAMC/1.5\r\n\r\n")
            return b"PONG" in s.recv(100)
    except OSError:
        return False


class Spamd:
    """`children`: spamd's -m (None: its default); `niced`: at the lowest CPU priority, as a site runs
    background filters beside the intake they follow."""

    def __init__(self, directory, port, children=None, niced=False):
        self.directory, self.port = directory, port
        self.log = open(os.path.join(directory, "spamd.log"), "wb")
        argv = (["nice", "-n", "19"] if niced else []) + [
            "spamd", "-L", "-x", "--siteconfigpath", directory, "-i", "127.0.0.1", "-A", "127.0.0.1", "-p", str(port),
            "-s", "stderr", "--pidfile", os.path.join(directory, "spamd.pid")]
        if children:
            argv += ["-m", str(children), "--min-children=1"]
        if os.geteuid() == 0:
            argv += ["-u", "nobody"]  # spamd will not judge mail as root
        self.proc = subprocess.Popen(argv, stdout=self.log, stderr=subprocess.STDOUT, cwd=directory, start_new_session=True)
        deadline = time.monotonic() + WAIT
        while self.proc.poll() is None and not ping(port):
            if time.monotonic() > deadline:
                raise RuntimeError("spamd did not answer within %d s" % WAIT)
            time.sleep(0.2)
        if self.proc.poll() is not None:
            with open(os.path.join(directory, "spamd.log"), encoding="utf-8", errors="replace") as log:
                raise RuntimeError("spamd did not start: " + log.read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=WAIT)
        self.log.close()
