"""The SMTP transport behind a running server: mail goes in through the server's own SMTP listener,
the router queues it in "_Out/<domain>", and the transport hands it to a peer SMTP server of the
test's own -- the relay server, or the mail exchangers a fake DNS server of the test names."""
import base64
import ctypes
import email
import email.policy
import select
import ssl
import subprocess
import hmac
import os
import pathlib
import poplib
import re
import smtplib
import socket
import socketserver
import struct
import threading
import time

import pytest

import cfgfile
from conftest import DEBUG_KEY, WAIT, admin, bind_when_free, free_port, log_text, wait_for
from fake_dns import FakeDns, exchanger

SENDER, LOGIN_PASSWORD = "john@example.com", "Login7Walnut"
ACCOUNT, RELAY_PASSWORD = "relayuser", "Relay9Juniper"
BODY = b"Subject: wire\r\n\r\nfirst line\r\n.leading dot\r\nbare\nline feed\r\n"


class Peer(socketserver.ThreadingTCPServer):
    """An SMTP sink that records every session: the command lines, the raw DATA bytes (dots as they
    came) and the result of a CRAM-MD5 exchange. `replies` maps a command prefix to the reply ("":
    the connection is dropped without one). With `tls` (an ssl.SSLContext) it offers STARTTLS, and AUTH
    only once TLS is on; `broken_tls` answers STARTTLS with bytes that are no handshake; `require_auth`
    refuses MAIL before AUTH. `hostile` holds scripts that take the next sessions instead."""
    daemon_threads = allow_reuse_address = True

    def __init__(self, address="127.0.0.1", port=0):
        self.replies, self.auth, self.sessions, self.lock = {}, False, [], threading.Lock()
        self.tls, self.broken_tls, self.require_auth, self.hostile = None, False, False, []
        self.eight_bit = True  # offers 8BITMIME
        bind_when_free(lambda: super(Peer, self).__init__((address, port), PeerSession), "%s:%d" % (address, port))
        self.port = self.server_address[1]
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def with_rcpt(self, recipient):
        with self.lock:
            return [s for s in self.sessions if "RCPT TO:<%s>" % recipient in s["commands"]]

    def delivered(self, recipient):
        """The session that took the message for `recipient`, once it has ended."""
        return wait_for(lambda: [s for s in self.with_rcpt(recipient) if s["data"] is not None and s["done"]],
                        "delivery to " + recipient)[0]

    def close(self):
        if self.port:
            self.shutdown()
            self.server_close()
            self.port = None


class PeerSession(socketserver.StreamRequestHandler):
    def send(self, text):
        self.wfile.write(text.encode() + b"\r\n")

    def handle(self):
        peer, session = self.server, {"commands": [], "data": None, "auth": None, "done": False, "tls": False}
        with peer.lock:
            peer.sessions.append(session)
            hostile = peer.hostile.pop(0) if peer.hostile else None
        try:
            if hostile:
                return hostile(self.request)
            self.send("220 peer.test ESMTP")
            while True:
                raw = self.rfile.readline()
                if not raw:
                    return
                line = raw.decode("latin-1").rstrip("\r\n")
                session["commands"].append(line)
                reply = next((r for prefix, r in peer.replies.items() if line.upper().startswith(prefix.upper())), None)
                reply = self.answer(session, line) if reply is None else reply
                if reply == "":
                    return
                if reply is not None:
                    self.send(reply)
                if line.upper() == "QUIT":
                    return
        finally:
            session["done"] = True

    def start_tls(self, session):
        self.send("220 Ready to start TLS")
        if self.server.broken_tls:
            self.request.sendall(b"this is no TLS handshake\r\n" * 8)
            return ""
        self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        self.rfile, self.wfile = self.request.makefile("rb"), self.request.makefile("wb", buffering=0)
        session["tls"] = True
        return None

    def answer(self, session, line):
        verb = line.split(" ")[0].upper()
        offer_tls = self.server.tls is not None and not session["tls"]
        if verb == "EHLO":
            auth = self.server.auth and not offer_tls
            return ("250-peer.test\r\n" + ("250-STARTTLS\r\n" if offer_tls else "") +
                    ("250-AUTH LOGIN PLAIN CRAM-MD5\r\n" if auth else "") + ("250 8BITMIME" if self.server.eight_bit else "250 HELP"))
        if verb == "STARTTLS" and offer_tls:
            return self.start_tls(session)
        if verb == "MAIL" and self.server.require_auth and not (session["auth"] and session["auth"][1]):
            return "530 5.7.0 Authentication required"
        if line.upper() == "AUTH CRAM-MD5":
            challenge = b"<%d.%d@peer.test>" % (os.getpid(), time.monotonic_ns())
            self.send("334 " + base64.b64encode(challenge).decode())
            session["response"] = self.rfile.readline().strip().decode()
            user, digest = base64.b64decode(session["response"]).decode().rsplit(" ", 1)
            expected = hmac.new(RELAY_PASSWORD.encode(), challenge, "md5").hexdigest()
            session["auth"] = (user, hmac.compare_digest(digest, expected))
            return "235 2.7.0 Authenticated" if session["auth"] == (ACCOUNT, True) else "535 5.7.8 Bad"
        if verb == "DATA":
            self.send("354 Go ahead")
            data = b""
            for piece in iter(self.rfile.readline, b""):
                if piece == b".\r\n":
                    break
                data += piece
            session["data"] = data
            return "250 Queued"
        return {"HELO": "250 OK", "MAIL": "250 OK", "RCPT": "250 OK", "RSET": "250 OK", "QUIT": "221 Bye"}.get(verb, "500 Unknown")


def start(env, *settings):
    """A server for example.com with john's mailbox, SMTP instance 0 on a loopback port with SMTP AUTH
    (so john may relay), and log files at debug level; returns (server, SMTP port)."""
    env.configure_logging(2, 1)
    env.configure_debug("NoListeners", 0)
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", SENDER, "--password", LOGIN_PASSWORD)
    port = free_port()
    defaults = (("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
                ("sys:smtp:0:smtpauth", "bool:true"), ("sys:pop3:0:enabled", "i2:0"), ("sys:imap4:0:enabled", "i2:0"))
    overridden = {key for key, _ in settings}
    for key, value in tuple(d for d in defaults if d[0] not in overridden) + settings:
        admin(env, "config", "set", key, value)
    return env.start().wait_ready(), port


def relay_through(peer):
    return ("sys:delivery:useremote", "bool:true"), ("sys:delivery:server", "127.0.0.1"), ("sys:delivery:port", "port:%d" % peer.port)


def submit(port, recipients, body=BODY):
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.login(SENDER, LOGIN_PASSWORD)
        assert client.sendmail(SENDER, recipients, body) == {}


def queued(env, domain):
    folder = env.store_file(os.path.join("_Out", domain))
    try:
        return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".env"))
    except FileNotFoundError:
        return []


def read_envelope(path):
    """(properties, recipients) of an ".env" -- a property tree, then a u32 recipient count and per
    recipient a u32 byte count (terminator included) and UTF-16LE text; None once it is gone."""
    try:
        data = pathlib.Path(path).read_bytes()
    except FileNotFoundError:
        return None
    pos = 8
    for _ in range(struct.unpack_from("<I", data, 4)[0]):
        pos += 6 + struct.unpack_from("<I", data, pos)[0]
        (vartype,) = struct.unpack_from("<H", data, pos - 2)
        pos += struct.calcsize(cfgfile._FIXED[vartype]) if vartype in cfgfile._FIXED else 4 + struct.unpack_from("<I", data, pos)[0]
    recipients, at = [], pos + 4
    for _ in range(struct.unpack_from("<I", data, pos)[0]):
        (size,) = struct.unpack_from("<I", data, at)
        recipients.append(data[at + 4:at + 4 + size].decode("utf-16-le").rstrip("\0"))
        at += 4 + size
    return {key: (vartype, value) for key, vartype, value in cfgfile.decode(data[:pos])}, recipients


def notices(env, status):
    """(recipient, action) of every recipient that the delivery status notices in the sender's
    inbox report with a status that begins with `status`."""
    inbox, found = env.store_file(os.path.join("example.com", "john", "_In")), []
    for name in sorted(os.listdir(inbox)) if os.path.isdir(inbox) else []:
        if name.endswith(".env"):  # published: its content is complete
            with open(os.path.join(inbox, name[:-4] + ".eml"), "rb") as f:
                pattern = rb"Final-Recipient: rfc822; (\S+)\r\nAction: (\w+)\r\nStatus: " + re.escape(status.encode())
                found += [(r.decode(), a.decode()) for r, a in re.findall(pattern, f.read())]
    return found


def test_relay_server_gets_the_wire_form_helo_after_a_refused_ehlo_and_cram_md5(registered):
    peer = Peer()
    server, port = start(registered, *relay_through(peer), ("sys:delivery:account", ACCOUNT),
                         ("sys:delivery:password", RELAY_PASSWORD), ("sys:delivery:authtype", "i4:1"))
    try:
        submit(port, ["alice@remote.test"])
        session = peer.delivered("alice@remote.test")
        assert session["commands"][0].startswith("EHLO ")
        assert session["commands"][1:] == ["MAIL FROM:<john@example.com>", "RCPT TO:<alice@remote.test>", "DATA", "QUIT"]
        data = session["data"]
        assert data.endswith(b"\r\n\r\nfirst line\r\n..leading dot\r\nbare\r\nline feed\r\n"), data
        assert b"\r" not in data.replace(b"\r\n", b"") and b"\n" not in data.replace(b"\r\n", b""), data
        wait_for(lambda: not queued(registered, "remote.test"), "an empty _Out")

        peer.replies = {"EHLO": "500 5.5.1 Command unrecognized"}
        submit(port, ["bob@remote.test"])
        commands = peer.delivered("bob@remote.test")["commands"]
        assert commands[0].startswith("EHLO ") and commands[1].startswith("HELO ") and commands[2:4] == [
            "MAIL FROM:<john@example.com>", "RCPT TO:<bob@remote.test>"]
        wait_for(lambda: not queued(registered, "remote.test"), "an empty _Out after HELO")

        peer.replies, peer.auth = {}, True
        submit(port, ["carol@remote.test"])
        session = peer.delivered("carol@remote.test")
        assert session["auth"] == (ACCOUNT, True)
        secrets = [RELAY_PASSWORD, base64.b64encode(RELAY_PASSWORD.encode()).decode().rstrip("="), session["response"]]
        assert session["commands"][1:3] == ["AUTH CRAM-MD5", "MAIL FROM:<john@example.com>"]
        wait_for(lambda: not queued(registered, "remote.test"), "an empty _Out after CRAM-MD5")

        # The message is the peer's once it accepted the content: a connection lost at QUIT does not
        # make it go out again (with the retry interval of 15 minutes it would stay queued).
        peer.replies = {"QUIT": ""}
        submit(port, ["dave@remote.test"])
        peer.delivered("dave@remote.test")
        wait_for(lambda: not queued(registered, "remote.test"), "an empty _Out after a lost QUIT")
        assert len(peer.with_rcpt("dave@remote.test")) == 1
        assert server.stop() == 0
    finally:
        peer.close()
    text = log_text(registered)
    assert "250-AUTH LOGIN PLAIN CRAM-MD5" in text, text[-2000:]  # the peer's side is logged, at debug level
    for secret in secrets:
        assert secret not in text, secret


def raw_submission(port, recipients, lines):
    """One transaction over a raw socket, so that bare CR and bare LF reach the server as sent (smtplib
    would turn them into CR LF): `lines` are the DATA lines as they travel, dots stuffed by the caller."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:
        reader = sock.makefile("rb")

        def reply():
            while (line := reader.readline())[3:4] == b"-":
                pass
            return line

        def say(text):
            sock.sendall(text + b"\r\n")
            return reply()

        assert reply().startswith(b"220")
        assert say(b"EHLO client.test").startswith(b"250")
        plain = base64.b64encode(b"\0" + SENDER.encode() + b"\0" + LOGIN_PASSWORD.encode())
        assert say(b"AUTH PLAIN " + plain).startswith(b"235")
        assert say(b"MAIL FROM:<" + SENDER.encode() + b">").startswith(b"250")
        for recipient in recipients:
            assert say(b"RCPT TO:<" + recipient.encode() + b">").startswith(b"250")
        assert say(b"DATA").startswith(b"354")
        assert say(b"\r\n".join(lines) + b"\r\n.").startswith(b"250")
        say(b"QUIT")


def test_one_stored_message_reads_the_same_over_smtp_relay_and_pop3_retr_and_top(registered):
    # Bare CR and bare LF inside a DATA line are stored as they came; a dot after either starts a
    # line on the wire and must be doubled there, as a dot after CR LF is.
    lines = [b"Subject: line ends", b"", b"one\rtwo\nthree", b"..four", b"five\r.six\n.seven", b"eight\r", b"nine"]
    wire_body = b"one\r\ntwo\r\nthree\r\n..four\r\nfive\r\n..six\r\n..seven\r\neight\r\n\r\nnine\r\n"
    peer = Peer()
    pop3_port = free_port()
    server, port = start(registered, *relay_through(peer), ("sys:pop3:0:enabled", "bool:true"),
                         ("sys:pop3:0:ip", "127.0.0.1"), ("sys:pop3:0:port", "port:%d" % pop3_port))
    try:
        raw_submission(port, ["alice@remote.test", SENDER], lines)
        relayed = peer.delivered("alice@remote.test")["data"]
        assert relayed.endswith(b"\r\nSubject: line ends\r\n\r\n" + wire_body), relayed

        inbox = registered.store_file(os.path.join("example.com", "john", "_In"))
        wait_for(lambda: os.path.isdir(inbox) and any(n.endswith(".env") for n in os.listdir(inbox)),
                 "the local copy in john's inbox")
        pop = poplib.POP3("127.0.0.1", pop3_port, timeout=WAIT)
        pop.user(SENDER)
        pop.pass_(LOGIN_PASSWORD)
        assert pop.stat()[0] == 1
        retrieved = b"\r\n".join(raw_pop3_lines(pop, "RETR 1")) + b"\r\n"
        assert retrieved.endswith(b"\r\nSubject: line ends\r\n\r\n" + wire_body), retrieved
        top = raw_pop3_lines(pop, "TOP 1 4")
        assert top[top.index(b"Subject: line ends"):] == [b"Subject: line ends", b"", b"one", b"two", b"three", b"..four"]
        pop.quit()
        assert server.stop() == 0
    finally:
        peer.close()


def raw_pop3_lines(pop, command):
    """A multi-line POP3 reply as it travels, byte-stuffing included."""
    pop._putcmd(command)
    assert pop._getresp().startswith(b"+OK")
    lines = []
    while (line := pop._getline()[0]) != b".":
        lines.append(line)
    return lines


def test_refused_recipients_fail_and_deferred_ones_wait_until_the_retry_limit(registered):
    peer = Peer()
    peer.replies = {"RCPT TO:<refused@": "550 5.1.1 No such user", "RCPT TO:<later@": "451-first\r\n451 second"}
    server, port = start(registered, *relay_through(peer), ("sys:smtptrans:retries", "i4:10"),
                         ("sys:delivery:retryinterval", "i4:0"))
    try:
        submit(port, ["refused@remote.test", "taken@remote.test"])
        assert peer.delivered("taken@remote.test")["commands"][2:4] == ["RCPT TO:<refused@remote.test>", "RCPT TO:<taken@remote.test>"]
        wait_for(lambda: not queued(registered, "remote.test"), "the refused recipient's envelope to go")
        assert wait_for(lambda: notices(registered, "5."), "a failure notice") == [("refused@remote.test", "failed")]

        # "later" comes first: a client that stopped at "451-first" would take "451 second" for the
        # reply to "now", which then would not be delivered.
        submit(port, ["later@remote.test", "now@remote.test"])
        assert peer.delivered("now@remote.test")["commands"][2:5] == [
            "RCPT TO:<later@remote.test>", "RCPT TO:<now@remote.test>", "DATA"]
        path = wait_for(lambda: queued(registered, "remote.test"), "the deferred envelope")[0]
        seen, deadline = [], time.monotonic() + 5 * WAIT
        while True:
            envelope = read_envelope(path)
            delayed, failed = notices(registered, "4.4.7"), notices(registered, "5.4.7")
            attempts = len(peer.with_rcpt("later@remote.test"))
            assert not delayed or attempts >= 5, "delayed notice after %d attempts" % attempts
            assert not failed or attempts >= 10, "failure notice after %d attempts" % attempts
            if envelope is None:
                break
            properties, recipients = envelope
            count = properties.get("sys:delivery:retry")  # none until the first attempt is saved
            if count:
                assert recipients == ["later@remote.test"] and count[0] == cfgfile.VT_I4 and 1 <= count[1] < 10, envelope
                seen += [count[1]] if not seen or seen[-1] != count[1] else []
            if count and count[1] >= 5:
                assert wait_for(lambda: notices(registered, "4.4.7"), "the delayed notice") == [("later@remote.test", "delayed")]
            assert time.monotonic() < deadline, "still queued after %s" % seen
            time.sleep(0.05)
        assert seen == sorted(set(seen)) and len(seen) >= 2, seen
        assert wait_for(lambda: notices(registered, "5.4.7"), "the failure notice") == [("later@remote.test", "failed")]
        assert notices(registered, "4.4.7") == [("later@remote.test", "delayed")]
        assert not queued(registered, "remote.test")
        assert server.stop() == 0
        assert len(peer.with_rcpt("later@remote.test")) == 10
    finally:
        peer.close()


def test_mail_exchangers_are_tried_by_preference_and_this_host_is_never_one(registered):
    if os.geteuid() != 0:
        pytest.skip("the fake DNS server and the exchangers need ports 53 and 25")
    mx, a = 15, 1
    dns = FakeDns({("mx.test", mx): [exchanger(20, "second.mx.test"), exchanger(10, "first.mx.test")],
                   ("first.mx.test", a): [socket.inet_aton("127.0.0.3")], ("second.mx.test", a): [socket.inet_aton("127.0.0.2")],
                   ("self.test", mx): [exchanger(10, "loop.self.test")], ("loop.self.test", a): [socket.inet_aton("127.0.0.1")]})
    first = second = None
    try:
        first, second = Peer("127.0.0.3", 25), Peer("127.0.0.2", 25)
        server, port = start(registered, ("sys:dns:0:server", "127.0.0.77"))
        submit(port, ["ann@mx.test"])
        assert first.delivered("ann@mx.test")["commands"][1:3] == ["MAIL FROM:<john@example.com>", "RCPT TO:<ann@mx.test>"]
        wait_for(lambda: not queued(registered, "mx.test"), "an empty _Out/mx.test")

        first.close()  # the preferred exchanger is down: the other one takes the message
        submit(port, ["ben@mx.test"])
        second.delivered("ben@mx.test")
        wait_for(lambda: not queued(registered, "mx.test"), "an empty _Out/mx.test after the fallback")
        assert not second.with_rcpt("ann@mx.test") and not first.with_rcpt("ben@mx.test")

        # The retry interval is 15 minutes: an envelope that goes now failed on its first attempt.
        submit(port, ["cy@self.test"])
        wait_for(lambda: not queued(registered, "self.test"), "the envelope for this host to go")
        assert wait_for(lambda: notices(registered, "5.4.4"), "the failure notice") == [("cy@self.test", "failed")]
        assert "this host (127.0.0.1)" in log_text(registered)
        assert not first.with_rcpt("cy@self.test") and not second.with_rcpt("cy@self.test")
        assert server.stop() == 0
    finally:
        for peer in (first, second):
            if peer:
                peer.close()
        dns.close()


def memory_kib(server, field):
    with open("/proc/%d/status" % server.proc.pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def until_closed(sock):
    """Waits until the client goes (or the bound passes); True when it went."""
    sock.settimeout(WAIT)
    try:
        while sock.recv(65536):
            pass
        return True
    except OSError:
        return False


def endless_continuation(sock):
    line, deadline = b"220-" + b"x" * 70 + b"\r\n", time.monotonic() + WAIT
    try:
        while time.monotonic() < deadline:
            sock.sendall(line * 64)
    except OSError:
        pass


def ten_megabyte_line(sock):
    try:
        sock.sendall(b"220 " + b"x" * (10 << 20) + b"\r\n")
    except OSError:
        pass
    until_closed(sock)


def deferred_once(env, recipient):
    """The envelope for `recipient` once its first attempt was saved as a temporary failure."""
    def check():
        for path in queued(env, "remote.test"):
            envelope = read_envelope(path)
            if envelope and envelope[1] == [recipient] and envelope[0].get("sys:delivery:retry", (0, 0))[1] == 1:
                return path
        return None
    return wait_for(check, "one deferred attempt for " + recipient)


def test_hostile_exchangers_cost_one_deferred_attempt_each_and_bounded_memory(registered):
    """A peer that never ends its greeting, one that sends a 10 MB line and one that says nothing:
    each attempt ends as a temporary failure with the server's memory bounded, and the single
    transport job is free for the next message at once."""
    # The silent peer costs seconds, not minutes. Written into the Debug key the fixture made (a second
    # section of the same key would not be read).
    header = "[%s]\n" % DEBUG_KEY
    text = registered.registry_text()
    assert header in text
    pathlib.Path(registered.registry).write_text(text.replace(header, header + '"TransportReplyTimeout"=dword:00000003\n', 1))
    peer = Peer()
    server, port = start(registered, *relay_through(peer), ("sys:delivery:maxtransports", "i4:1"))
    try:
        submit(port, ["warm@remote.test"])
        peer.delivered("warm@remote.test")
        baseline = memory_kib(server, "VmHWM")
        for name, script in (("endless", endless_continuation), ("long", ten_megabyte_line), ("silent", until_closed)):
            peer.hostile = [script]
            submit(port, ["%s@remote.test" % name])
            path = deferred_once(registered, "%s@remote.test" % name)
            properties = read_envelope(path)[0]
            assert not any(key.startswith("dsn") for key in properties), properties
            submit(port, ["after-%s@remote.test" % name])
            peer.delivered("after-%s@remote.test" % name)
            growth = memory_kib(server, "VmHWM") - baseline
            assert growth < 8 << 10, "%s: the peak memory grew by %d KiB" % (name, growth)
        assert len(peer.sessions) == 1 + 3 * 2, [s["commands"] for s in peer.sessions]
        assert len(queued(registered, "remote.test")) == 3
        assert server.stop() == 0
    finally:
        peer.close()
    text = log_text(registered)
    assert "a reply has more lines than the limit" in text and "a reply line is longer than the limit" in text, text[-3000:]
    assert "Receive SOCKET_ERROR 274c" in text, text[-3000:]  # 10060: the silent peer's time ran out


def make_certificate(directory, name):
    cert, key = os.path.join(directory, name + ".pem"), os.path.join(directory, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=" + name,
                    "-addext", "subjectAltName=DNS:" + name, "-keyout", key, "-out", cert],
                   check=True, capture_output=True, timeout=WAIT)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return cert, context


def test_smart_host_gets_starttls_without_a_server_certificate_and_credentials_only_when_verified(registered):
    """"sys:ssl:enabled" is off: the client's TLS is its own. Without an account a failed handshake is
    followed by one plain connection; with an account the relay's certificate must verify and name
    the relay host, or no credentials go and the message waits."""
    right, right_context = make_certificate(registered.root, "localhost")
    wrong, wrong_context = make_certificate(registered.root, "other.test")
    bundle = os.path.join(registered.root, "trusted.pem")
    with open(bundle, "w") as out:
        out.write(pathlib.Path(right).read_text() + pathlib.Path(wrong).read_text())
    registered.env["SSL_CERT_FILE"] = bundle  # both trusted: only the name tells them apart
    peer = Peer()
    peer.tls, peer.broken_tls = right_context, True
    relay = (("sys:delivery:useremote", "bool:true"), ("sys:delivery:server", "localhost"),
             ("sys:delivery:port", "port:%d" % peer.port), ("sys:ssl:enabled", "bool:false"))
    try:
        server, port = start(registered, *relay)
        submit(port, ["plain@remote.test"])
        session = peer.delivered("plain@remote.test")
        assert not session["tls"] and "STARTTLS" not in session["commands"], session["commands"]
        assert [s["commands"][1:] for s in peer.sessions] == [["STARTTLS"], session["commands"][1:]]
        assert server.stop() == 0
        assert "connecting again in plain text" in log_text(registered)

        for key, value in (("sys:delivery:account", ACCOUNT), ("sys:delivery:password", RELAY_PASSWORD),
                           ("sys:delivery:authtype", "i4:1")):
            admin(registered, "config", "set", key, value)
        peer.tls, peer.broken_tls, peer.auth, peer.require_auth = wrong_context, False, True, True
        server = registered.start().wait_ready()
        submit(port, ["wrong@remote.test"])
        deferred_once(registered, "wrong@remote.test")
        session = [s for s in peer.sessions if s["tls"]][0]
        assert session["commands"][1:3] == ["STARTTLS", session["commands"][0]], session["commands"]
        assert not any(c.startswith(("AUTH", "MAIL")) for c in session["commands"]), session["commands"]
        assert "can not be trusted" in log_text(registered)

        peer.tls = right_context
        submit(port, ["right@remote.test"])
        session = peer.delivered("right@remote.test")
        assert session["tls"] and session["auth"] == (ACCOUNT, True)
        assert session["commands"][1:4] == ["STARTTLS", session["commands"][0], "AUTH CRAM-MD5"], session["commands"]
        assert session["data"].endswith(b"first line\r\n..leading dot\r\nbare\r\nline feed\r\n")
        assert server.stop() == 0
    finally:
        peer.close()


IN_OPEN = 0x20


class OpenWatch:
    """Counts the opens of a directory and of the files in it (inotify)."""

    def __init__(self, path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        assert self.fd >= 0 and self.libc.inotify_add_watch(self.fd, path.encode(), IN_OPEN) >= 0
        self.opens = {}

    def poll(self):
        if select.select([self.fd], [], [], 0.05)[0]:
            data, at = os.read(self.fd, 65536), 0
            while at < len(data):
                _, mask, _, size = struct.unpack_from("iIII", data, at)
                name = data[at + 16:at + 16 + size].rstrip(b"\0").decode()
                self.opens[name] = self.opens.get(name, 0) + 1
                at += 16 + size
        return self.opens

    def close(self):
        os.close(self.fd)


def test_out_envelope_without_content_is_dropped_once_and_waiting_ones_are_not_reread(registered):
    """An "_Out" record whose content is gone is logged, the postmaster and the sender are told, and it
    goes -- without a connection to the peer; an envelope that waits for its retry interval is not
    read again by every pass of the cycle."""
    peer = Peer()
    peer.replies = {"RCPT TO:<later@": "451 4.3.0 try again"}
    try:
        server, port = start(registered, *relay_through(peer), ("sys:delivery:deliverto", "i4:0"))
        submit(port, ["lost@remote.test"])
        submit(port, ["later@remote.test"])
        paths = wait_for(lambda: len(queued(registered, "remote.test")) == 2 and queued(registered, "remote.test"), "two envelopes")
        assert server.stop() == 0
        lost = next(p for p in paths if read_envelope(p)[1] == ["lost@remote.test"])
        later = next(p for p in paths if p != lost)
        os.remove(lost[:-4] + ".eml")
        admin(registered, "config", "set", "sys:delivery:deliverto", "i4:1")
        admin(registered, "mailbox", "add", "postmaster@example.com", "--password", LOGIN_PASSWORD)

        server = registered.start().wait_ready()
        wait_for(lambda: not os.path.exists(lost), "the envelope without content to go")
        deferred_once(registered, "later@remote.test")
        inbox = registered.store_file(os.path.join("example.com", "postmaster", "_In"))
        notice = wait_for(lambda: [n for n in os.listdir(inbox) if n.endswith(".env")] if os.path.isdir(inbox) else [],
                          "the postmaster's notice")
        assert len(notice) == 1
        text = pathlib.Path(inbox, notice[0][:-4] + ".eml").read_text(errors="replace")
        assert "lost@remote.test" in text and "is missing" in text, text
        assert wait_for(lambda: notices(registered, "5.3.0"), "the sender's notice") == [("lost@remote.test", "failed")]
        assert not peer.with_rcpt("lost@remote.test")

        # Every pass lists the folder; the waiting envelope's record is read at most once more.
        watch = OpenWatch(os.path.dirname(later))
        try:
            wait_for(lambda: watch.poll().get("", 0) >= 3, "three passes over _Out/remote.test")
            assert watch.poll().get(os.path.basename(later), 0) <= 1, watch.opens
        finally:
            watch.close()
        assert server.stop() == 0
    finally:
        peer.close()
    text = log_text(registered)
    assert text.count("is missing; the message from <john@example.com> to lost@remote.test") == 1, text[-3000:]
    assert len(peer.with_rcpt("later@remote.test")) == 1


def test_eight_bit_mail_goes_as_it_is_to_a_peer_that_takes_it_and_as_quoted_printable_to_one_that_does_not(registered):
    text, html = "Grüße aus Köln – ünïcödé\r\nzweite Zeile\r\n", "<p>Grüße aus Köln</p>\r\n"  # a line break ends each
    attachment = base64.encodebytes(bytes(range(256))).replace(b"\n", b"\r\n")
    message = (b"Subject: 8-bit\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
               b"preamble\r\n--b1\r\nContent-Type: multipart/alternative; boundary=b2\r\n\r\n"
               b"--b2\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + text.encode() +
               b"--b2\r\nContent-Type: text/html; charset=utf-8\r\n\r\n" + html.encode() + b"--b2--\r\n"
               b"--b1\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n" + attachment +
               b"--b1--\r\n")
    modern, old = Peer(), Peer()
    old.eight_bit = False
    env = registered
    try:
        for number, peer in enumerate((old, modern)):
            server, port = start(env, *relay_through(peer)) if number == 0 else (env.start().wait_ready(), port)
            submit(port, ["friend@remote.test"], message)
            session = peer.delivered("friend@remote.test")
            assert server.stop() == 0
            if number == 0:
                # Reconfigured for the second run while stopped.
                admin(env, "config", "set", "sys:delivery:port", "port:%d" % modern.port)
            data = session["data"].replace(b"\r\n..", b"\r\n.")
            mail_from = next(line for line in session["commands"] if line.startswith("MAIL FROM:"))
            if peer is modern:
                # As it is, announced as such.
                assert mail_from == "MAIL FROM:<%s> BODY=8BITMIME" % SENDER
                assert data.endswith(message)
                continue
            assert mail_from == "MAIL FROM:<%s>" % SENDER
            assert max(data) < 128, "8-bit bytes went to a peer that does not take them"
            # Each part decodes to what the 8-bit original decodes to.
            leaves = lambda raw: [p for p in email.message_from_bytes(raw, policy=email.policy.default).walk() if not p.is_multipart()]
            plain, rich, binary = leaves(data)
            assert [p.get_content() for p in leaves(data)] == [p.get_content() for p in leaves(message)]
            assert plain["Content-Transfer-Encoding"] == rich["Content-Transfer-Encoding"] == "quoted-printable"
            assert plain.get_content().startswith("Grüße aus Köln – ünïcödé") and binary.get_content() == bytes(range(256))
            # Everything but the re-encoded bodies went as it was: the structure and its boundaries.
            assert b"preamble\r\n--b1\r\n" in data and data.endswith(b"--b1--\r\n") and attachment in data
    finally:
        modern.close()
        old.close()
