"""A DNS server of the tests' own on port 53 of a loopback address: it answers from `records`,
{(name, type): [rdata, ...]}, says NXDOMAIN for names it does not know, SERVFAIL for names in
`failing` and nothing at all for names in `silent`. `asked` counts the questions it took. Its answers
carry the TTL given, 0 unless said: the server then keeps none of them, so the maps may change while
it runs; each test picks an address of its own (IPv6 too), so tests running at once never
meet on one socket."""
import socket
import struct
import threading

from conftest import WAIT, bind_when_free

A, MX, TXT = 1, 15, 16


def txt(*strings):
    """The rdata of a TXT record; a text over 255 bytes becomes several strings, as DNS joins them."""
    data = b""
    for text in strings:
        raw = text.encode() if isinstance(text, str) else text
        for at in range(0, max(len(raw), 1), 255):
            piece = raw[at:at + 255]
            data += bytes([len(piece)]) + piece
    return data


def exchanger(preference, name):
    return struct.pack(">H", preference) + b"".join(bytes([len(label)]) + label.encode() for label in name.split(".")) + b"\0"


class FakeDns:
    def __init__(self, records, address="127.0.0.77", ttl=0):
        self.records, self.failing, self.silent, self.asked, self.ttl = records, set(), set(), 0, ttl
        self.address, self.running = address, True
        # An IPv6 address ("::1") gets a server on IPv6.
        self.sock = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET, socket.SOCK_DGRAM)
        bind_when_free(lambda: self.sock.bind((address, 53)), "[%s]:53" % address)
        self.sock.settimeout(0.1)
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while self.running:
            try:
                query, client = self.sock.recvfrom(512)
            except socket.timeout:
                continue
            labels, at = [], 12
            while query[at]:
                labels.append(query[at + 1:at + 1 + query[at]].decode(errors="replace").lower())
                at += 1 + query[at]
            name, (qtype,) = ".".join(labels), struct.unpack_from(">H", query, at + 1)
            self.asked += 1
            if name in self.silent:
                continue
            answers = [] if name in self.failing else self.records.get((name, qtype), [])
            known = any(name == known_name for known_name, _ in self.records)
            flags = 0x8182 if name in self.failing else 0x8180 if known else 0x8183
            # A negative answer that may be kept says for how long in an SOA, as a real zone's does.
            soa = b"\0\0" + struct.pack(">IIIII", 1, 3600, 600, 86400, self.ttl) if self.ttl and not answers else None
            reply = query[:2] + struct.pack(">HHHHH", flags, 1, len(answers), 1 if soa else 0, 0) + query[12:at + 5]
            for rdata in answers:
                reply += b"\xc0\x0c" + struct.pack(">HHIH", qtype, 1, self.ttl, len(rdata)) + rdata
            if soa:
                reply += b"\xc0\x0c" + struct.pack(">HHIH", 6, 1, self.ttl, len(soa)) + soa
            self.sock.sendto(reply, client)

    def close(self):
        self.running = False
        self.thread.join(WAIT)
        self.sock.close()
