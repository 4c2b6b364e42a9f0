"""A private clamd, shared by the integration tests and the benchmarks: configuration, database,
socket and log in a directory of the caller's. Its database holds one signature, for the EICAR test
string, so it starts in a moment and needs no download; nothing system-wide is used or left running."""
import os
import socket
import subprocess
import time

WAIT = 120  # seconds clamd may take to load and answer on a loaded machine
# The EICAR test string, in two halves so that this file is no test virus itself.
EICAR = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
SIGNATURE = "Pw.Test.EICAR"


class Clamd:
    def __init__(self, root, stream_max=None):
        self.dir = os.path.join(root, "clamd")
        database = os.path.join(self.dir, "db")
        os.makedirs(database)
        with open(os.path.join(database, "eicar.ndb"), "w", encoding="ascii") as f:
            f.write("%s:0:*:%s\n" % (SIGNATURE, EICAR.encode("ascii").hex()))
        self.socket = os.path.join(self.dir, "clamd.sock")
        self.conf = os.path.join(self.dir, "clamd.conf")
        with open(self.conf, "w", encoding="ascii") as f:
            f.write("LocalSocket %s\nDatabaseDirectory %s\nForeground yes\nLogFile %s\nTemporaryDirectory %s\n"
                    "MaxThreads 4\n" % (self.socket, database, os.path.join(self.dir, "clamd.log"), self.dir))
            if stream_max:
                f.write("StreamMaxLength %s\n" % stream_max)
        self.proc = None

    def ping(self):
        try:
            with socket.socket(socket.AF_UNIX) as client:
                client.settimeout(5)
                client.connect(self.socket)
                client.sendall(b"zPING\0")
                return client.recv(16) == b"PONG\0"
        except OSError:
            return False

    def start(self):
        self.proc = subprocess.Popen(["clamd", "--config-file=" + self.conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + WAIT
        while self.proc.poll() is None and not self.ping():
            if time.monotonic() > deadline:
                raise RuntimeError("clamd did not answer within %d s" % WAIT)
            time.sleep(0.05)
        if self.proc.poll() is not None:
            with open(os.path.join(self.dir, "clamd.log"), encoding="utf-8", errors="replace") as log:
                raise RuntimeError("clamd did not start: " + log.read())

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=WAIT)
        self.proc = None
