"""Mail authentication against independent implementations: what leaves is DKIM-signed so that
python3-dkim verifies it against the record `pellworth-admin domain dkim` printed, and what comes in
from outside gets one Authentication-Results field from SPF, DKIM and DMARC checks that ask a DNS
server of the test's own."""
import base64
import http.server
import os
import pathlib
import re
import smtplib
import socket
import stat
import subprocess
import threading
import time

import dkim
import pytest

from conftest import WAIT, admin, bind_when_free, log_text, wait_for
from fake_dns import A, MX, TXT, FakeDns, exchanger, txt
from test_antispam import delivered, spam_server, subject_of
from test_router import wait_count, wait_queue_empty
from test_transport import Peer, make_certificate, relay_through, start, submit

SIGNED = (b"From: John <john@example.com>\r\nTo: ann@remote.test\r\nSubject: signed\r\n"
          b"Message-ID: <1@example.com>\r\n\r\nfirst line\r\n.leading dot\r\n\r\n\r\n")
EIGHT_BIT = (b"From: john@example.com\r\nTo: ann@remote.test\r\nSubject: 8 bit\r\nMIME-Version: 1.0\r\n"
             b"Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\nGr\xc3\xbc\xc3\x9fe\r\n")


def published(line):
    """(name, TXT text) of the zone-file line `domain dkim` printed; its strings joined, as DNS does."""
    name, rest = line.split(" IN TXT ", 1)
    return name.rstrip("."), "".join(re.findall(r'"([^"]*)"', rest))


def verifies(message, index, dns):
    """Does the index-th signature of the message verify (python3-dkim, the keys `dns` gives)?"""
    try:
        return dkim.DKIM(message).verify(idx=index, dnsfunc=dns)
    except dkim.ValidationError:
        return False


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

        # A second key, Ed25519 (RFC 8463): mail then carries two signatures, each verifying alone.
        made = admin(registered, "domain", "dkim", "example.com", "--ed25519", "--selector", "e1").stdout
        ed_name, ed_record = published(made.strip())
        assert ed_name == "e1._domainkey.example.com" and re.fullmatch(r"v=DKIM1; k=ed25519; p=[A-Za-z0-9+/]{43}=", ed_record)
        assert registered.admin("domain", "dkim", "example.com", "--ed25519", "--selector", "s1").returncode == 1
        records = {name: record, ed_name: ed_record}

        def dns(qname, timeout=5):
            found = records.get(qname.decode().rstrip("."))
            return found.encode() if found else None

        submit(port, ["ann@remote.test"], SIGNED)
        data = unstuffed(peer.delivered("ann@remote.test")["data"])
        assert data.startswith(b"DKIM-Signature: ") and b"d=example.com" in data and b"s=s1" in data
        assert dkim.verify(data, dnsfunc=dns), data
        assert data.count(b"DKIM-Signature: ") == 2 and b"a=ed25519-sha256" in data
        assert verifies(data, 0, dns) and verifies(data, 1, dns)
        body = data.index(b"first line")
        changed = data[:body] + b"F" + data[body + 1:]
        assert not verifies(changed, 0, dns) and not verifies(changed, 1, dns)
        subject = data.index(b"Subject: signed") + len(b"Subject: ")
        assert not dkim.verify(data[:subject] + b"S" + data[subject + 1:], dnsfunc=dns)

        # The signature covers the bytes that go: here the 7-bit re-encoding for a peer without 8BITMIME.
        peer.eight_bit = False
        submit(port, ["ben@remote.test"], EIGHT_BIT)
        data = unstuffed(peer.delivered("ben@remote.test")["data"])
        assert b"quoted-printable" in data.lower() and dkim.verify(data, dnsfunc=dns)

        # A forgery from outside that claims the local domain, passed on by a forward: it carries the
        # intake's Authentication-Results and leaves without our signature.
        admin(registered, "mailbox", "add", "fwd@example.com", "--kind", "forward")
        admin(registered, "mailbox", "set", "fwd@example.com", "alias:fwdtoaddrs", "cy@remote.test")
        forged = SIGNED.replace(b"To: ann@remote.test", b"To: fwd@example.com")
        with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as outsider:
            assert outsider.sendmail("john@example.com", ["fwd@example.com"], forged) == {}
        data = unstuffed(peer.delivered("cy@remote.test")["data"])
        assert b"Authentication-Results: example.com;" in data and b"DKIM-Signature:" not in data, data[:600]

        # The key's own text never reaches the log.
        with open(key, encoding="ascii") as f:
            secret = f.read().splitlines()[3]
        assert server.stop() == 0
        logs = "".join(open(os.path.join(registered.logs, n), encoding="utf-8", errors="replace").read() for n in os.listdir(registered.logs))
        assert secret not in logs
    finally:
        peer.close()


DNS_ADDRESS = "127.0.38.53"  # loopback addresses of this file's own, apart from other tests'
CLIENT = "127.0.0.9"


def key_pair(directory):
    """A signer's RSA key of its own: (PEM private key, the DKIM TXT record of its public half)."""
    private = os.path.join(directory, "signer.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", private],
                   check=True, capture_output=True, timeout=WAIT)
    der = subprocess.run(["openssl", "pkey", "-in", private, "-pubout", "-outform", "DER"], check=True, capture_output=True, timeout=WAIT).stdout
    with open(private, "rb") as f:
        return f.read(), "v=DKIM1; k=rsa; p=" + base64.b64encode(der).decode()


def message(case, author, extra=b""):
    return (b"From: <%s>\r\nTo: john@example.com\r\nSubject: %s\r\nX-Case: %s\r\n%s\r\nBody of %s.\r\n"
            % (author.encode(), case.encode(), case.encode(), extra, case.encode()))


def deliver(port, sender, content, helo="client.test"):
    with smtplib.SMTP("127.0.0.1", port, local_hostname=helo, timeout=WAIT, source_address=(CLIENT, 0)) as client:
        return client.sendmail(sender, ["john@example.com"], content)


def results(header):
    """The Authentication-Results fields of a header, unfolded, and what each method said."""
    fields = re.findall(r"(?im)^Authentication-Results:([^\r\n]*(?:\r\n[ \t][^\r\n]*)*)", header)
    return [re.sub(r"\s+", " ", field).strip() for field in fields]


def incoming_dns(public):
    spf = {"pass.test": "v=spf1 ip4:%s -all" % CLIENT, "fail.test": "v=spf1 -all", "soft.test": "v=spf1 ~all",
           "signed.test": "v=spf1 -all", "helo.test": "v=spf1 a -all"}
    records = {(name, TXT): [txt(text)] for name, text in spf.items()}
    records.update({("none.test", A): [socket.inet_aton("192.0.2.1")], ("helo.test", A): [socket.inet_aton(CLIENT)],
                    ("temp.test", TXT): [], ("sel._domainkey.signed.test", TXT): [txt(public)],
                    ("_dmarc.signed.test", TXT): [txt("v=DMARC1; p=reject")], ("_dmarc.fail.test", TXT): [txt("v=DMARC1; p=reject")],
                    ("_dmarc.pass.test", TXT): [txt("v=DMARC1; p=reject")], ("_dmarc.soft.test", TXT): [txt("v=DMARC1; p=quarantine")]})
    dns = FakeDns(records, DNS_ADDRESS)
    dns.failing.add("temp.test")
    return dns


@pytest.fixture
def signer(tmp_path):
    return key_pair(str(tmp_path))


def test_incoming_mail_gets_one_authentication_results_field_from_spf_dkim_and_dmarc(registered, signer):
    if os.geteuid() != 0:
        pytest.skip("the fake DNS server needs port 53")
    private, public = signer
    dns = incoming_dns(public)
    try:
        port = spam_server(registered, ("sys:dns:0:server", DNS_ADDRESS), ("sys:spam:action", "i4:2"), ("sys:spam:preappend", "str:[SPAM] "))
        registered.start().wait_ready()
        deliver(port, "a@pass.test", message("spf-pass", "a@pass.test"))
        deliver(port, "a@fail.test", message("spf-fail", "a@fail.test"))
        deliver(port, "a@soft.test", message("spf-softfail", "a@soft.test"))
        deliver(port, "a@none.test", message("spf-none", "a@none.test"))
        deliver(port, "a@temp.test", message("spf-temperror", "a@temp.test"))
        deliver(port, "", message("null-sender", "mailer@helo.test"), helo="helo.test")
        original = message("dkim-pass", "b@signed.test")
        signed = dkim.sign(original, b"sel", b"signed.test", private, include_headers=[b"from", b"to", b"subject", b"x-case"]) + original
        deliver(port, "b@signed.test", signed)
        # Past what the intake holds in memory (256 KiB): checked in its file, the field put at the
        # top there, every byte below it kept.
        original = message("dkim-pass-large", "b@signed.test") + b"".join(b"line %06d of a long body\r\n" % i for i in range(12000))
        large = dkim.sign(original, b"sel", b"signed.test", private, include_headers=[b"from", b"to", b"subject", b"x-case"]) + original
        assert len(large) > 256 * 1024
        deliver(port, "b@signed.test", large)
        # Changed after signing, and with a result of ours planted by the sender: neither convinces.
        original = message("dkim-fail", "b@signed.test")
        forged = dkim.sign(original, b"sel", b"signed.test", private, include_headers=[b"from", b"to", b"subject"]) + original
        forged = forged.replace(b"Body of dkim-fail.", b"Body of dkim-FAIL.")
        deliver(port, "b@signed.test", b"Authentication-Results: example.com; dkim=pass header.d=signed.test\r\n" + forged)
        wait_count(registered, "john@example.com", 9)
        found = delivered(registered)
        expected = {
            "spf-pass": ("spf=pass smtp.mailfrom=pass.test; dkim=none; dmarc=pass header.from=pass.test", False),
            "spf-fail": ("spf=fail smtp.mailfrom=fail.test; dkim=none; dmarc=fail (p=reject) header.from=fail.test", True),
            "spf-softfail": ("spf=softfail smtp.mailfrom=soft.test; dkim=none; dmarc=fail (p=quarantine) header.from=soft.test", True),
            "spf-none": ("spf=none smtp.mailfrom=none.test; dkim=none; dmarc=none header.from=none.test", False),
            "spf-temperror": ("spf=temperror smtp.mailfrom=temp.test; dkim=none; dmarc=none header.from=temp.test", False),
            "null-sender": ("spf=pass smtp.helo=helo.test; dkim=none; dmarc=none header.from=helo.test", False),
            "dkim-pass": ("spf=fail smtp.mailfrom=signed.test; dkim=pass header.d=signed.test header.s=sel; "
                          "dmarc=pass header.from=signed.test", False),
            "dkim-pass-large": ("spf=fail smtp.mailfrom=signed.test; dkim=pass header.d=signed.test header.s=sel; "
                                "dmarc=pass header.from=signed.test", False),
            "dkim-fail": ("spf=fail smtp.mailfrom=signed.test; dkim=fail header.d=signed.test header.s=sel; "
                          "dmarc=fail (p=reject) header.from=signed.test", True),
        }
        for case, (said, spam) in expected.items():
            _, header, _ = found[case]
            assert results(header) == ["example.com; " + said], (case, header)
            assert re.match(r"Received: [^\r\n]*\r\nAuthentication-Results: example\.com;\r\n\t", header), (case, header)
            assert subject_of(header).startswith("[SPAM] ") == spam, (case, header)
        # The signed messages arrive byte for byte below the new field: they still verify.
        for case, sent in (("dkim-pass", signed), ("dkim-pass-large", large)):
            content = found[case][2]
            assert content.endswith(sent), case
            assert dkim.verify(content, dnsfunc=lambda name, timeout=5: public.encode()), case
        assert dns.asked > 0
    finally:
        dns.close()


def test_action_two_refuses_a_reject_policy_forgery_at_data_and_stores_nothing(registered, signer):
    if os.geteuid() != 0:
        pytest.skip("the fake DNS server needs port 53")
    dns = incoming_dns(signer[1])
    try:
        port = spam_server(registered, ("sys:dns:0:server", DNS_ADDRESS), ("sys:spam:dmarc:action", "i4:2"))
        registered.start().wait_ready()
        with pytest.raises(smtplib.SMTPDataError) as refused:
            deliver(port, "b@signed.test", message("forgery", "b@signed.test"))
        assert refused.value.smtp_code == 550 and refused.value.smtp_error.startswith(b"5.7.1 ")
        # The same at the last BDAT chunk (RFC 3030), and the session goes on.
        forgery = message("chunked-forgery", "b@signed.test")
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as raw:
            replies = raw.makefile("rb")
            raw.sendall(b"EHLO client.test\r\nMAIL FROM:<b@signed.test>\r\nRCPT TO:<john@example.com>\r\n"
                        b"BDAT %d LAST\r\n%sNOOP\r\nQUIT\r\n" % (len(forgery), forgery))
            lines = [line.decode().rstrip() for line in replies]
        assert [line[:9] for line in lines if not line.startswith("250-")][3:] == ["250 2.1.5", "550 5.7.1", "250 2.0.0", "221 2.0.0"], lines
        # A quarantine policy is not refused, and the session goes on taking mail.
        deliver(port, "a@soft.test", message("quarantine", "a@soft.test"))
        # A DNS server that never answers costs the message the checks' budget, not the resolver's
        # ten seconds a query, and refuses nothing.
        dns.silent.update({"dead.test", "_dmarc.dead.test"})
        started = time.monotonic()
        deliver(port, "a@dead.test", message("dead-dns", "a@dead.test"))
        assert time.monotonic() - started < 20
        wait_count(registered, "john@example.com", 2)
        wait_queue_empty(registered)
        found = delivered(registered)
        assert sorted(found) == ["dead-dns", "quarantine"]
        assert results(found["dead-dns"][1]) == ["example.com; spf=temperror smtp.mailfrom=dead.test; dkim=none; "
                                                 "dmarc=temperror header.from=dead.test"]
    finally:
        dns.close()


HTTPS_ADDRESS, LISTED_MX, UNLISTED_MX = "127.0.38.43", "127.0.38.25", "127.0.38.26"
POLICY = b"version: STSv1\r\nmode: enforce\r\nmx: mx1.sts.test\r\nmax_age: 86400\r\n"


class PolicyServer(http.server.ThreadingHTTPServer):
    """HTTPS on port 443 of its own address, serving the MTA-STS policy file and counting fetches."""
    daemon_threads = True

    def __init__(self, context):
        self.fetches = 0
        bind_when_free(lambda: super(PolicyServer, self).__init__((HTTPS_ADDRESS, 443), PolicyHandler), "%s:443" % HTTPS_ADDRESS)
        self.socket = context.wrap_socket(self.socket, server_side=True)
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def close(self):
        self.shutdown()
        self.server_close()


class PolicyHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        found = self.path == "/.well-known/mta-sts.txt" and self.headers["Host"] == "mta-sts.sts.test"
        self.server.fetches += found
        self.send_response(200 if found else 404)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(POLICY) if found else 0))
        self.end_headers()
        if found:
            self.wfile.write(POLICY)

    def log_message(self, *args):
        pass


def test_mta_sts_sends_only_to_listed_exchangers_and_only_over_verified_tls(registered):
    if os.geteuid() != 0:
        pytest.skip("the fake DNS server, the policy's HTTPS server and the exchangers need ports 53, 443 and 25")
    contexts, bundle = {}, ""
    for name in ("mta-sts.sts.test", "mx1.sts.test", "mx2.sts.test"):
        certificate, contexts[name] = make_certificate(registered.root, name)
        bundle += pathlib.Path(certificate).read_text()
    trusted = os.path.join(registered.root, "trusted.pem")
    pathlib.Path(trusted).write_text(bundle)
    registered.env["SSL_CERT_FILE"] = trusted
    # The preferred exchanger is not in the policy: it must never be tried.
    dns = FakeDns({("sts.test", MX): [exchanger(5, "mx2.sts.test"), exchanger(10, "mx1.sts.test")],
                   ("mx1.sts.test", A): [socket.inet_aton(LISTED_MX)], ("mx2.sts.test", A): [socket.inet_aton(UNLISTED_MX)],
                   ("_mta-sts.sts.test", TXT): [txt("v=STSv1; id=20261210")], ("mta-sts.sts.test", A): [socket.inet_aton(HTTPS_ADDRESS)]},
                  DNS_ADDRESS)
    policy = listed = unlisted = None
    try:
        policy = PolicyServer(contexts["mta-sts.sts.test"])
        listed, unlisted = Peer(LISTED_MX, 25), Peer(UNLISTED_MX, 25)
        listed.tls, unlisted.tls = contexts["mx1.sts.test"], contexts["mx2.sts.test"]
        server, port = start(registered, ("sys:dns:0:server", DNS_ADDRESS), ("sys:delivery:mtasts", "bool:true"))
        submit(port, ["ann@sts.test"])
        assert listed.delivered("ann@sts.test")["tls"]
        # The listed exchanger stops offering TLS: the message waits rather than going in plain text.
        listed.tls = None
        submit(port, ["ben@sts.test"])
        wait_for(lambda: "MTA-STS asks for verified TLS to mx1.sts.test" in log_text(registered), "the refusal to send in plain text")
        assert not listed.with_rcpt("ben@sts.test") and not unlisted.sessions
        assert policy.fetches == 1  # the record's id did not change: the cached policy served
        assert server.stop() == 0
    finally:
        for closing in (policy, listed, unlisted):
            if closing:
                closing.close()
        dns.close()
