#!/usr/bin/env python3
"""How long the server takes to start on a store with a big folder: 200,000 messages in one inbox.

Needs only the server and its admin tool (no peer, no root):

    python3 bench/store_startup.py [--build build] [--messages 200000] [--dir /tmp]

One message is sent through the server's own SMTP listener, so the envelope files are the server's
own; they are then copied (written, not linked) under the next stems until the inbox holds
--messages envelopes, and the folder's id counter is set past them. The server is started twice on
that store and the better time counts: from the process start to its readiness message on
$NOTIFY_SOCKET, which it sends once the store is checked and the queue submitted. Prints
"store_startup_200k: ours=X s peer=none" (the name follows --messages).
"""
import argparse
import os
import shutil
import smtplib
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STORE_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\General"
DOMAIN = "bench.test"
USER = "big"
WAIT = 300  # seconds: a bound for a loaded machine, never a pause of its own


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.02)


class Installation:
    def __init__(self, build, work):
        self.bin = os.path.join(build, "bin")
        self.work = work
        self.store = os.path.join(work, "store")
        registry = os.path.join(work, "pellworth.reg")
        self.env = dict(os.environ, PELLWORTH_REGISTRY=registry, PELLWORTH_SYSTEMD_DIR=os.path.join(work, "units"))
        self.env.pop("NOTIFY_SOCKET", None)
        self.env.pop("PELLWORTH_FAULT", None)
        self.env.pop("PELLWORTH_FAULT_FILE", None)
        self.run("pellworth", "-RegServer")
        with open(registry, "a", encoding="utf-8") as f:
            f.write('\n[%s]\n"MessageStore"="%s"\n' % (STORE_KEY, self.store))
        self.port = free_port()
        for key, value in (("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % self.port),
                           ("sys:pop3:0:enabled", "bool:false"), ("sys:imap4:0:enabled", "bool:false")):
            self.run("pellworth-admin", "config", "set", key, value)
        self.run("pellworth-admin", "domain", "add", DOMAIN)
        self.run("pellworth-admin", "mailbox", "add", "%s@%s" % (USER, DOMAIN))
        self.inbox = os.path.join(self.store, DOMAIN, USER, "_In")

    def run(self, program, *args):
        result = subprocess.run([os.path.join(self.bin, program), *args], env=self.env, capture_output=True,
                                text=True, timeout=WAIT)
        if result.returncode != 0:
            raise RuntimeError("%s %s: %s" % (program, " ".join(args), result.stderr))

    def start(self):
        """Starts the server; returns (process, seconds until it reported readiness)."""
        path = os.path.join(self.work, "notify-%d" % time.monotonic_ns())
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
            sock.bind(path)
            sock.settimeout(WAIT)
            began = time.monotonic()
            proc = subprocess.Popen([os.path.join(self.bin, "pellworth")], env=dict(self.env, NOTIFY_SOCKET=path),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            while b"READY=1" not in sock.recv(4096):
                pass
            return proc, time.monotonic() - began

    @staticmethod
    def stop(proc):
        proc.terminate()
        proc.wait(timeout=WAIT)

    def one_real_envelope(self):
        proc, _ = self.start()
        try:
            with smtplib.SMTP("127.0.0.1", self.port, timeout=WAIT) as client:
                client.sendmail("sender@client.test", ["%s@%s" % (USER, DOMAIN)],
                                "From: sender@client.test\r\nSubject: one of many\r\n\r\n" + "x" * 70 * 50 + "\r\n")
            wait_for(lambda: any(name.endswith(".env") for name in os.listdir(self.inbox)), "the first delivery")
        finally:
            self.stop(proc)
        stem = sorted(name for name in os.listdir(self.inbox) if name.endswith(".env"))[0][:-4]
        with open(os.path.join(self.inbox, stem + ".env"), "rb") as f:
            record = f.read()
        with open(os.path.join(self.inbox, stem + ".eml"), "rb") as f:
            content = f.read()
        return int(stem, 16), record, content

    def fill(self, count):
        first, record, content = self.one_real_envelope()
        for uid in range(first + 1, first + count):
            stem = os.path.join(self.inbox, "%07X" % uid)
            # Content first: the server never lists an envelope before its content is complete.
            with open(stem + ".eml", "wb") as f:
                f.write(content)
            with open(stem + ".env", "wb") as f:
                f.write(record)
        with open(os.path.join(self.inbox, "_uid"), "wb") as f:
            f.write(struct.pack("<d", float(first + count)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="the build directory (bin/pellworth)")
    parser.add_argument("--messages", type=int, default=200000, help="messages in the one inbox")
    parser.add_argument("--runs", type=int, default=2, help="starts measured; the best counts")
    parser.add_argument("--dir", help="where the store goes (default: the temporary directory)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="pw-startup-", dir=args.dir)
    try:
        installation = Installation(args.build, work)
        began = time.monotonic()
        installation.fill(args.messages)
        print("(store of %d messages written in %.1f s)" % (args.messages, time.monotonic() - began), file=sys.stderr)
        best = None
        for _ in range(args.runs):
            proc, seconds = installation.start()
            installation.stop(proc)
            best = seconds if best is None else min(best, seconds)
        name = "store_startup_%s" % ("%dk" % (args.messages // 1000) if args.messages % 1000 == 0 else args.messages)
        print("%s: ours=%.2f s peer=none" % (name, best), flush=True)
        return best
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
