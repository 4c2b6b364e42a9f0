"""Mail authentication against independent implementations: what leaves is DKIM-signed so that
python3-dkim verifies it against the record `pellworth-admin domain dkim` printed, and what comes in
from outside gets one Authentication-Results field from SPF, DKIM and DMARC checks that ask a DNS
server of the test's own."""
import os
import re
import stat

import dkim
import pytest

from conftest import admin
from test_transport import Peer, relay_through, start, submit

SIGNED = (b"From: John <john@example.com>\r\nTo: ann@remote.test\r\nSubject: signed\r\n"
          b"Message-ID: <1@example.com>\r\n\r\nfirst line\r\n.leading dot\r\n\r\n\r\n")
EIGHT_BIT = (b"From: john@example.com\r\nTo: ann@remote.test\r\nSubject: 8 bit\r\nMIME-Version: 1.0\r\n"
             b"Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\nGr\xc3\xbc\xc3\x9fe\r\n")


def published(line):
    """(name, TXT text) of the zone-file line `domain dkim` printed; its strings joined, as DNS does."""
    name, rest = line.split(" IN TXT ", 1)
    return name.rstrip("."), "".join(re.findall(r'"([^"]*)"', rest))


def unstuffed(data):
    return b"".join(line[1:] if line.startswith(b"..") else line for line in data.splitlines(keepends=True))


def test_mail_from_a_local_domain_leaves_signed_and_verifies_against_the_printed_record(registered):
    peer = Peer()
    try:
        server, port = start(registered, *relay_through(peer))
        made = admin(registered, "domain", "dkim", "example.com", "--selector", "s1").stdout
        name, record = published(made.strip())
        assert name == "s1._domainkey.example.com" and record.startswith("v=DKIM1; k=rsa; p=")
        key = os.path.join(registered.store, "example.com", "dkim-s1.key")
        assert stat.S_IMODE(os.stat(key).st_mode) == 0o600
        assert admin(registered, "domain", "get", "example.com", "dkim:selector").stdout.strip() == "str:s1"

        def dns(qname, timeout=5):
            return record.encode() if qname.decode().rstrip(".") == name else None

        submit(port, ["ann@remote.test"], SIGNED)
        data = unstuffed(peer.delivered("ann@remote.test")["data"])
        assert data.startswith(b"DKIM-Signature: ") and b"d=example.com" in data and b"s=s1" in data
        assert dkim.verify(data, dnsfunc=dns), data
        body = data.index(b"first line")
        assert not dkim.verify(data[:body] + b"F" + data[body + 1:], dnsfunc=dns)
        subject = data.index(b"Subject: signed") + len(b"Subject: ")
        assert not dkim.verify(data[:subject] + b"S" + data[subject + 1:], dnsfunc=dns)

        # The signature covers the bytes that go: here the 7-bit re-encoding for a peer without 8BITMIME.
        peer.eight_bit = False
        submit(port, ["ben@remote.test"], EIGHT_BIT)
        data = unstuffed(peer.delivered("ben@remote.test")["data"])
        assert b"quoted-printable" in data.lower() and dkim.verify(data, dnsfunc=dns)

        # The key's own text never reaches the log.
        with open(key, encoding="ascii") as f:
            secret = f.read().splitlines()[3]
        assert server.stop() == 0
        logs = "".join(open(os.path.join(registered.logs, n), encoding="utf-8", errors="replace").read() for n in os.listdir(registered.logs))
        assert secret not in logs
    finally:
        peer.close()
