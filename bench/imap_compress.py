#!/usr/bin/env python3
"""What COMPRESS=DEFLATE (RFC 4978) saves on the wire: the same FETCH over 5,000 messages in one
folder, once in plain text and once in a session that turned DEFLATE on, counted in bytes received.
No peer; it runs alone as

    python3 bench/imap_compress.py [--build build] [--messages N] [--dir D]

and prints one line per FETCH

    imap_compress_NAME_5000: plain=X bytes deflated=Y bytes ratio=R

(ratio plain/deflated; aim: 3 or more). `headers` is the fetch a client makes to list a folder (UID,
FLAGS, RFC822.SIZE, INTERNALDATE and the From, To, Subject, Date and Message-ID fields), `whole` is
BODY.PEEK[] of every message. The messages are written into the store directly: senders, subjects and
bodies are drawn from small vocabularies with a fixed seed, Message-IDs are random hex, so neither
side of the ratio is flattered by identical messages.

One run on two shared cores (RelWithDebInfo build): headers 1,609,601 / 222,237 bytes (7.2),
whole 8,370,466 / 1,842,563 bytes (4.5). zlib's windows add about 290 KB to a compressed session
(ImapLimits.h names the settings).
"""
import argparse
import os
import random
import shutil
import socket
import struct
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (the private server installation)
import cfgfile  # noqa: E402

WORDS = ("meeting report budget project review schedule the a of to and in for with on at by from "
         "quarterly update draft final agenda minutes invoice order shipment customer support ticket "
         "release build test server client network storage backup plan team lunch friday monday "
         "please find attached let me know thanks regards best see you soon question answer").split()
NAMES = ["Ann Example", "Bob Builder", "Carl Sender", "Dora Explorer", "Eve Listener", "Frank Poster",
         "Gina Writer", "Hugo Reader", "Ida Mailer", "Jon Doe"]


def fill(server, count, user):
    rng = random.Random(4978)
    record = cfgfile.encode([("_Sender", cfgfile.VT_BSTR, bench.SENDER)]) + struct.pack("<I", 0)
    for uid in range(1, count + 1):
        name = rng.choice(NAMES)
        subject = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 8))).capitalize()
        body = "\r\n".join(" ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 14))) for _ in range(rng.randint(5, 40)))
        message = ("From: %s <%s@remote.test>\r\nTo: %s@%s\r\nSubject: %s\r\nDate: Wed, %d Dec 2026 %02d:%02d:00 +0000\r\n"
                   "Message-ID: <%016x@remote.test>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n%s\r\n" %
                   (name, name.split()[0].lower(), user, bench.DOMAIN, subject, 1 + uid % 28, uid % 24, uid % 60,
                    rng.getrandbits(64), body))
        stem = os.path.join(server.inbox(user), "%07X" % uid)
        with open(stem + ".eml", "w", newline="") as f:
            f.write(message)
        with open(stem + ".env", "wb") as f:
            f.write(record)


class Session:
    def __init__(self, port, user):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=300)
        self.inflate = None
        self.deflate = None
        self.pending = b""
        self.wire = 0
        self.read_until(b"\r\n")
        self.ask(b"LOGIN %s@%s %s" % (user.encode(), bench.DOMAIN.encode(), bench.PASSWORD.encode()))

    def send(self, data):
        if self.deflate:
            data = self.deflate.compress(data) + self.deflate.flush(zlib.Z_SYNC_FLUSH)
        self.sock.sendall(data)

    def read_until(self, end):
        while end not in self.pending:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise RuntimeError("connection closed")
            self.wire += len(chunk)
            self.pending += self.inflate.decompress(chunk) if self.inflate else chunk
        at = self.pending.index(end) + len(end)
        data, self.pending = self.pending[:at], self.pending[at:]
        return data

    def ask(self, command):
        self.send(b"t " + command + b"\r\n")
        line = self.read_until(b"\r\n")
        while not line.startswith(b"t "):  # the random words hold no "t" of their own
            line = self.read_until(b"\r\n")
        if not line.startswith(b"t OK"):
            raise RuntimeError("%r failed: %r" % (command, line))

    def compress(self):
        self.ask(b"COMPRESS DEFLATE")
        self.inflate = zlib.decompressobj(-15)
        self.deflate = zlib.compressobj(6, zlib.DEFLATED, -15)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build")
    parser.add_argument("--messages", type=int, default=5000)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="pw-compress-", dir=args.dir)
    fetches = {"headers": b"FETCH 1:* (UID FLAGS RFC822.SIZE INTERNALDATE BODY.PEEK[HEADER.FIELDS (FROM TO SUBJECT DATE MESSAGE-ID)])",
               "whole": b"FETCH 1:* (BODY.PEEK[])"}
    # Nothing here resolves names: the server is pointed at the bench's DNS address without starting it.
    bench._bench_dns.append(None)  # noqa: SLF001
    try:
        server = bench.Pellworth(args.build, work, ["imap"], imap_sessions=10)
        fill(server, args.messages, "imap")
        server.start()
        try:
            bench.wait_for(bench.accepting(server.imap_port), "our IMAP listener")
            for name, fetch in fetches.items():
                sizes = []
                for compressed in (False, True):
                    session = Session(server.imap_port, "imap")
                    if compressed:
                        session.compress()
                    session.ask(b"EXAMINE INBOX")
                    session.wire = 0
                    session.ask(fetch)
                    sizes.append(session.wire)
                    session.ask(b"LOGOUT")
                    session.sock.close()
                print("imap_compress_%s_%d: plain=%d bytes deflated=%d bytes ratio=%.1f" %
                      (name, args.messages, sizes[0], sizes[1], sizes[0] / sizes[1]), flush=True)
        finally:
            server.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
