"""The SMTP server as its clients see it: smtplib, swaks and a line client of our own on loopback,
against the real server -- stored envelopes, the dialogue's edge cases, limits, authentication,
STARTTLS, block lists and a traffic log that never holds a password."""
import base64
import os
import re
import smtplib
import socket
import subprocess
import time

import pytest

import cfgfile
from conftest import WAIT, configure, free_port, make_certificate, unverified_tls_client
from conftest import wait_for as wait_until
from fake_dns import A, FakeDns

PASSWORD = "Tessera7Quartz"
UNKNOWN = "500 5.5.1 Unknown command"
SYNTAX = "501 5.5.2 Syntax error in parameters"
SEQUENCE = "503 5.5.0 Bad sequence of commands"
SENDER_OK = "250 2.1.0 Requested mail action okay, completed"
RECIPIENT_OK = "250 2.1.5 Requested mail action okay, completed"
GO_AHEAD = "354 Start mail input; end with <CRLF>.<CRLF>"
STORED = "250 2.0.0 Requested mail action okay, completed"
COMPLETED = "250 2.0.0 Requested mail action okay, completed"
NO_RELAY = "571 5.7.1 Relaying not permitted"
BAD_CREDENTIALS = "535 5.7.8 Authentication credentials invalid"
# This server's trace fields: its Received line and, for mail from outside, its Authentication-Results.
RECEIVED = re.compile(rb"Received: from (.*) \(\[127\.0\.0\.1\]\) by example\.com \( Quillon Email Server [^\r\n]*\r\n"
                      rb"(?:Authentication-Results: example\.com;\r\n(?:\t[^\r\n]*\r\n)*)?")


def start(env, *settings, first=True):
    """A server for example.com (its primary domain) with john's mailbox, wildcard.test (whose unknown
    mailboxes go to john, so any recipient there is taken), and SMTP instance 0 on a port of its own.
    The routers stay off, so accepted messages wait in "_In" where the test reads them."""
    port = free_port()
    if first:
        for args in (("domain", "add", "example.com"), ("mailbox", "add", "john@example.com", "--password", PASSWORD),
                     ("domain", "add", "wildcard.test"), ("domain", "set", "wildcard.test", "domain:unknownemail", "i4:2"),
                     ("domain", "set", "wildcard.test", "domain:unknownemailaddress", "str:john@example.com")):
            result = env.admin(*args)
            assert result.returncode == 0, result.stderr
        env.configure_debug("NoListeners", 0)
        env.configure_debug("NoRouters", 1)
        settings = (("sys:pop3:0:enabled", "i2:0"), ("sys:imap4:0:enabled", "i2:0")) + settings
    configure(env, ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port), *settings)
    return env.start().wait_ready(), port


def queued(env):
    """What "_In" holds besides the folder's own files ("_uid", "__In")."""
    return sorted(n for n in os.listdir(env.store_file("_In")) if not n.startswith("_"))


def newest(env):
    """The latest published envelope: (properties, recipients, sender text of Received, message)."""
    stem = env.store_file("_In/" + max(n for n in queued(env) if n.endswith(".env"))[:-4])
    with open(stem + ".env", "rb") as f:
        records, recipients = cfgfile.decode_envelope(f.read())
    with open(stem + ".eml", "rb") as f:
        content = f.read()
    received = RECEIVED.match(content)
    assert received, content[:200]
    return {k: (t, v) for k, t, v in records}, recipients, received.group(1).decode(), content[received.end():]


def smtp(port):
    return smtplib.SMTP("127.0.0.1", port, local_hostname="client.test", timeout=WAIT)


class Client:
    """A line client that sends exactly what it is given, for what smtplib would not send."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        self.pending = b""
        assert self.reply().startswith("220 ")

    def reply(self):
        lines = []
        while True:
            while b"\r\n" not in self.pending:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise EOFError("closed after %r" % lines)
                self.pending += chunk
            line, self.pending = self.pending.split(b"\r\n", 1)
            lines.append(line.decode("latin-1"))
            if line[3:4] != b"-":
                return "\n".join(lines)

    def send(self, data):
        self.sock.sendall(data)

    def cmd(self, line):
        self.send(line.encode() + b"\r\n")
        return self.reply()

    def closed(self):
        try:
            return self.sock.recv(100) == b""
        except ConnectionResetError:
            return True

    def close(self):
        self.sock.close()


def test_messages_are_stored_with_their_envelope_and_the_dialogue_keeps_its_rules(registered):
    server, port = start(registered)
    message = b"Subject: hello\r\n\r\nfirst line\r\n.a line with a dot\r\n"
    with smtp(port) as s:
        refused = s.sendmail("a@b.c", ["john@example.com", "nobody@example.com"], message)
    # An unknown mailbox of a domain that would return such mail is refused at RCPT, so no notice ever
    # goes to a sender who may be forged; the rest is delivered.
    assert refused == {"nobody@example.com": (550, b"5.1.1 Requested action not taken: mailbox unavailable")}
    props, recipients, sender, content = newest(registered)
    assert (sender, content) == ("<a@b.c>", message)
    assert props["_Sender"] == (cfgfile.VT_BSTR, "a@b.c") and props["_ReceivedFrom"] == (cfgfile.VT_BSTR, "127.0.0.1")
    assert props["SMTP_HELO"][1] == "client.test" and "SpamStatus" not in props
    assert recipients == ["john@example.com"]

    c = Client(port)
    assert c.cmd("MAIL FROM:<x@y.z>") == UNKNOWN  # not greeted yet
    assert c.cmd("EHLO raw.test").startswith("250-Hello raw.test\n")
    assert c.cmd("EHLO raw.test") == UNKNOWN
    assert c.cmd("RCPT TO:<john@example.com>") == SEQUENCE
    assert c.cmd("MAIL FROM:") == SYNTAX
    assert c.cmd("MAIL FROM <x@y.z>") == UNKNOWN
    # Over-long command lines are refused whole, also when the buffer ends between CR and LF.
    for line in ("NOOP " + "x" * 1993, "NOOP " + "x" * 1017):
        assert c.cmd(line).startswith("500 ")
        assert c.cmd("NOOP") == COMPLETED
    assert c.cmd("MAIL FROM:<a@b.c> SIZE=100") == SENDER_OK
    assert c.cmd("RCPT TO:<far@elsewhere.org>") == NO_RELAY
    assert c.cmd("RCPT TO:<john@example.com>") == RECIPIENT_OK
    assert c.cmd("DATA") == GO_AHEAD
    c.send(b"Subject: dots\r\n\r\n..x\r\n. \r\na\n.\nb\r\n.\r\n")
    assert c.reply() == STORED
    props, recipients, sender, content = newest(registered)
    assert (sender, content, recipients) == ("<a@b.c>", b"Subject: dots\r\n\r\n.x\r\n \r\na\n.\nb\r\n", ["john@example.com"])
    assert c.cmd("RCPT TO:<john@example.com>") == SEQUENCE  # that transaction is over

    assert c.cmd("mail from:<>") == SENDER_OK  # a bounce, with no recipient at all
    assert c.cmd("DATA") == GO_AHEAD
    c.send(b"Subject: bounce\r\n\r\n.\r\n")
    assert c.reply() == STORED
    props, recipients, sender, content = newest(registered)
    assert (sender, content, recipients) == ("<>", b"Subject: bounce\r\n\r\n", [])
    assert props["_Sender"][1] in ("", None)
    assert c.cmd("QUIT") == "221 2.0.0 Service closing transmission channel"
    assert c.closed()
    c.close()

    c = Client(port)  # pipelined, and a data line that fills the read buffer up to its CR
    c.send(b"EHLO p.test\r\nMAIL FROM:<p@q.r>\r\nRCPT TO:<john@example.com>\r\nDATA\r\n")
    assert [c.reply().split("\n")[0], c.reply(), c.reply(), c.reply()] == ["250-Hello p.test", SENDER_OK, RECIPIENT_OK, GO_AHEAD]
    long_line = b"x" * 65535 + b"\r\n"
    c.send(b"Subject: long\r\n\r\n" + long_line + b".\r\n")
    assert c.reply() == STORED
    assert newest(registered)[3] == b"Subject: long\r\n\r\n" + long_line
    c.close()
    assert server.stop() == 0


def test_limits_and_abandoned_transactions_leave_no_envelope(registered):
    server, port = start(registered, ("sys:smtp:0:maxrecipients", "i4:2"), ("sys:smtp:0:maxsize", "i4:10"))
    c = Client(port)
    assert c.cmd("HELO limits.test") == "250 Welcome limits.test"
    assert c.cmd("MAIL FROM:<a@b.c>") == SENDER_OK
    assert [c.cmd("RCPT TO:<r%d@wildcard.test>" % n) for n in range(3)] == [RECIPIENT_OK] * 2 + ["500 5.5.3 Too many recipients"]
    assert c.cmd("RSET") == COMPLETED
    assert c.cmd("MAIL FROM:<a@b.c>") == SENDER_OK
    assert c.cmd("RCPT TO:<john@example.com>") == RECIPIENT_OK
    assert c.cmd("DATA") == GO_AHEAD
    c.send(b"Subject: big\r\n\r\n" + (b"y" * 78 + b"\r\n") * 256 + b".\r\n")
    assert c.reply() == "523 5.2.3 Requested action aborted. Message exceedes mailbox limit"
    assert queued(registered) == []
    assert c.cmd("NOOP") == COMPLETED
    c.close()

    for stop_after in (b"", b"DATA\r\nSubject: half\r\n\r\nsome of it\r\n"):
        c = Client(port)
        assert c.cmd("HELO drop.test").startswith("250 ")
        assert c.cmd("MAIL FROM:<a@b.c>") == SENDER_OK
        assert c.cmd("RCPT TO:<john@example.com>") == RECIPIENT_OK
        c.send(stop_after)
        if stop_after:
            assert c.reply() == GO_AHEAD
        assert queued(registered), "the transaction reserves its files"
        c.close()
        wait_until(lambda: queued(registered) == [], "an abandoned transaction leaves files behind")
    assert server.stop() == 0


def mechanisms(s, user, password):
    s.user, s.password = user, password
    return {"PLAIN": s.auth_plain, "LOGIN": s.auth_login, "CRAM-MD5": s.auth_cram_md5}


def test_authentication_allows_relaying_and_bad_credentials_do_not(registered):
    server, port = start(registered, ("sys:smtp:0:smtpauth", "bool:true"))
    for mechanism in ("PLAIN", "LOGIN", "CRAM-MD5"):
        with smtp(port) as s:
            s.ehlo()
            assert "CRAM-MD5 PLAIN LOGIN" in s.esmtp_features["auth"]
            try:
                s.auth(mechanism, mechanisms(s, "john@example.com", PASSWORD + "x")[mechanism])
                assert False, "a wrong password is accepted"
            except smtplib.SMTPAuthenticationError as error:
                assert "%d %s" % (error.smtp_code, error.smtp_error.decode()) == BAD_CREDENTIALS
            try:
                s.sendmail("a@b.c", ["far@elsewhere.org"], b"Subject: no\r\n\r\n")
                assert False, "relaying without authentication"
            except smtplib.SMTPRecipientsRefused as error:
                assert error.recipients == {"far@elsewhere.org": (571, b"5.7.1 Relaying not permitted")}
            assert s.auth(mechanism, mechanisms(s, "john@example.com", PASSWORD)[mechanism]) == (235, b"2.7.0 Authorized")
            assert s.sendmail("a@b.c", ["far@elsewhere.org"], b"Subject: %s\r\n\r\n" % mechanism.encode()) == {}
            props, recipients, _, content = newest(registered)
            assert (recipients, content) == (["far@elsewhere.org"], b"Subject: %s\r\n\r\n" % mechanism.encode())
            assert props["SpamStatus"] == (22, 2)  # VT_INT: relayed mail is not judged again
            if mechanism == "PLAIN":
                assert s.docmd("ATRN", "node.test") == (501, b"5.7.1 Not Authorized")
                assert s.docmd("ETRN", "node.test") == (458, b"4.5.4 Unable to queue messages for node")
    assert server.stop() == 0

    configure(registered, ("sys:smtp:0:smtpauthrequired", "bool:true"))
    server, port = start(registered, first=False)
    c = Client(port)
    assert c.cmd("EHLO strict.test").startswith("250-Hello")
    assert c.cmd("MAIL FROM:<a@b.c>") == UNKNOWN  # not greeted until authenticated
    assert c.cmd("AUTH PLAIN " + base64.b64encode(b"\0john@example.com\0wrong").decode()) == BAD_CREDENTIALS
    assert c.cmd("MAIL FROM:<a@b.c>") == UNKNOWN
    blob = base64.b64encode(b"\0john@example.com\0" + PASSWORD.encode()).decode()
    assert c.cmd("AUTH PLAIN " + blob) == "235 2.7.0 Authorized"
    assert c.cmd("MAIL FROM:<a@b.c>") == SENDER_OK
    c.close()
    c = Client(port)
    assert c.cmd("HELO plain.test") == "250 Welcome plain.test"
    assert c.cmd("MAIL FROM:<a@b.c>") == SENDER_OK
    c.close()
    assert server.stop() == 0

    configure(registered, ("sys:smtp:0:smtpauthrequired", "bool:false"), ("sys:smtp:0:iprelay:0:ipstart", "127.0.0.1"),
              ("sys:smtp:0:iprelay:0:ipend", "i4:0"))
    server, port = start(registered, first=False)
    with smtp(port) as s:
        s.ehlo()
        assert s.auth("PLAIN", mechanisms(s, "anyone", "anything")["PLAIN"]) == (235, b"2.7.0 Authorized")
        assert s.sendmail("a@b.c", ["far@elsewhere.org"], b"Subject: by address\r\n\r\n") == {}
    assert server.stop() == 0

    # Required authentication holds a client on the relay list to the password as well.
    configure(registered, ("sys:smtp:0:smtpauthrequired", "bool:true"))
    server, port = start(registered, first=False)
    with smtp(port) as s:
        s.ehlo()
        for mechanism in ("PLAIN", "LOGIN", "CRAM-MD5"):
            with pytest.raises(smtplib.SMTPAuthenticationError) as caught:
                s.auth(mechanism, mechanisms(s, "john@example.com", PASSWORD + "x")[mechanism])
            assert "%d %s" % (caught.value.smtp_code, caught.value.smtp_error.decode()) == BAD_CREDENTIALS
            assert s.docmd("MAIL FROM:<a@b.c>") == (500, b"5.5.1 Unknown command")
        assert s.auth("PLAIN", mechanisms(s, "john@example.com", PASSWORD)["PLAIN"]) == (235, b"2.7.0 Authorized")
        assert s.sendmail("a@b.c", ["far@elsewhere.org"], b"Subject: listed and authenticated\r\n\r\n") == {}
    assert server.stop() == 0


def test_a_recipient_flood_stops_at_the_ceiling_and_the_session_goes_on(registered):
    server, port = start(registered)  # "maxrecipients" left at 0: no limit of the instance's own
    c = Client(port)
    assert c.cmd("EHLO flood.test").startswith("250-")
    assert c.cmd("MAIL FROM:<a@b.c>") == SENDER_OK
    replies, batch = [], 200
    for first in range(0, 2000, batch):  # pipelined, a batch at a time
        c.send(b"".join(b"RCPT TO:<r%d@wildcard.test>\r\n" % n for n in range(first, first + batch)))
        replies += [c.reply() for _ in range(batch)]
    assert replies == [RECIPIENT_OK] * 1000 + ["452 4.5.3 Too many recipients"] * 1000
    assert c.cmd("DATA") == GO_AHEAD
    c.send(b"Subject: many\r\n\r\n.\r\n")
    assert c.reply() == STORED
    recipients = newest(registered)[1]
    assert recipients == ["r%d@wildcard.test" % n for n in range(1000)]
    assert c.cmd("MAIL FROM:<a@b.c>") == SENDER_OK  # the count starts again with each transaction
    assert c.cmd("RCPT TO:<john@example.com>") == RECIPIENT_OK
    assert c.cmd("RSET") == COMPLETED
    assert c.cmd("QUIT").startswith("221 ")
    c.close()
    assert server.stop() == 0


def test_starttls_with_smtplib_and_swaks_and_no_plain_text_injection(registered):
    cert, key = make_certificate(registered.root)
    server, port = start(registered, ("sys:ssl:enabled", "bool:true"), ("sys:ssl:certpath", cert), ("sys:ssl:keypath", key))
    with smtp(port) as s:
        s.ehlo()
        assert s.has_extn("starttls")
        assert s.starttls(context=unverified_tls_client())[0] == 220
        s.ehlo()
        assert not s.has_extn("starttls")
        assert s.sendmail("a@b.c", ["john@example.com"], b"Subject: over tls\r\n\r\n") == {}
    assert newest(registered)[3] == b"Subject: over tls\r\n\r\n"

    result = subprocess.run(["swaks", "--server", "127.0.0.1", "--port", str(port), "--tls", "--to", "john@example.com",
                             "--from", "a@b.c", "--timeout", str(WAIT)], capture_output=True, text=True, timeout=WAIT * 2)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "<-  220 Go ahead" in result.stdout and " ~> QUIT" in result.stdout
    props, recipients, sender, content = newest(registered)
    assert (sender, recipients) == ("<a@b.c>", ["john@example.com"]) and b"X-Mailer: swaks" in content

    c = Client(port)
    assert c.cmd("EHLO inject.test").startswith("250-Hello")
    c.send(b"STARTTLS\r\nNOOP\r\n")  # the NOOP came in plain text: TLS must not see it
    assert c.reply() == "220 Go ahead" and c.pending == b""
    c.sock = unverified_tls_client().wrap_socket(c.sock)
    assert c.cmd("EHLO inject.test").startswith("250-Hello inject.test\n")
    assert c.cmd("NOOP") == COMPLETED
    c.close()
    assert server.stop() == 0


def test_a_client_on_the_block_list_is_refused_after_ehlo(registered):
    if os.geteuid() != 0:
        pytest.skip("the fake DNS server needs port 53")
    listed = ("1.0.0.127.bl.test", A)
    dns = FakeDns({listed: [socket.inet_aton("127.0.0.2")]})
    try:
        server, port = start(registered, ("sys:dns:0:server", "127.0.0.77"), ("sys:smtp:0:rbl:0:server", "bl.test"),
                             ("sys:smtp:0:rbl:0:name", "Test List"), ("sys:smtp:0:rbl:0:url", "http://bl.test/"),
                             ("sys:smtp:0:rbl:0:retcode:0:code", "127.0.0.2"), ("sys:smtp:0:rbl:0:retcode:0:desc", "spam"))
        c = Client(port)
        assert c.cmd("EHLO listed.test") == ("501 5.7.1 SMTP session refused - Domain is listed on Test List,  "
                                            "For more information, visit http://bl.test/")
        assert c.closed()
        c.close()
        dns.records[listed] = [socket.inet_aton("127.0.0.9")]  # listed, but with a code the instance does not refuse
        c = Client(port)
        assert c.cmd("EHLO other.test").startswith("250-Hello")
        assert c.cmd("MAIL FROM:<a@b.c>") == SENDER_OK
        c.close()
        assert dns.asked >= 2 and server.stop() == 0
    finally:
        dns.close()


def test_the_traffic_log_never_holds_a_password(registered):
    registered.configure_logging(2, 1)
    server, port = start(registered, ("sys:smtp:0:smtpauth", "bool:true"))
    secrets = []
    for password in (PASSWORD, "Wrong7Guess"):
        for mechanism in ("PLAIN", "LOGIN"):
            with smtp(port) as s:
                s.ehlo()
                try:
                    s.auth(mechanism, mechanisms(s, "john@example.com", password)[mechanism])
                except smtplib.SMTPAuthenticationError:
                    assert password != PASSWORD
        blob = b"\0john@example.com\0" + password.encode()
        c = Client(port)  # the response on a line of its own
        assert c.cmd("EHLO log.test").startswith("250-")
        assert c.cmd("AUTH PLAIN") == "334 Okay"
        assert c.cmd(base64.b64encode(blob).decode()).startswith(("235 ", "535 "))
        c.close()
        secrets += [password, base64.b64encode(password.encode()), base64.b64encode(blob)]
    c = Client(port)  # a response too long for the line buffer is refused whole, none of it is a command
    assert c.cmd("EHLO log.test").startswith("250-")
    assert c.cmd("AUTH PLAIN") == "334 Okay"
    long_response = base64.b64encode(b"\0john@example.com\0" + b"Q" * 1500).decode()
    assert c.cmd(long_response) == SYNTAX
    assert c.cmd("NOOP") == COMPLETED
    c.close()
    secrets.append(long_response[-40:])
    assert server.stop() == 0
    text = ""
    for name in os.listdir(registered.logs):
        with open(os.path.join(registered.logs, name), encoding="utf-8", errors="replace") as f:
            text += f.read()
    assert "EHLO log.test" in text and "AUTH PLAIN" in text, text[-2000:]
    for secret in secrets:
        secret = secret if isinstance(secret, str) else secret.decode().rstrip("=")
        assert secret not in text, secret


def test_the_greeting_follows_the_domains_while_sessions_come_and_go(registered):
    """Without a configured primary domain the greeting names the store's first domain. The server
    keeps that name between sessions, so a domain added or removed by the administration tool while
    it runs must show in the next greeting. The sessions of a burst run on threads kept from earlier
    ones: each still gets its whole greeting and its whole EHLO reply."""
    server, port = start(registered)

    def greeting():
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:
            data = b""
            while b"\r\n" not in data:
                chunk = sock.recv(4096)
                assert chunk, data
                data += chunk
            return data.decode("latin-1")

    assert greeting().startswith("220 example.com ")
    for args in (("domain", "add", "aaa.test"), ("domain", "remove", "aaa.test")):
        assert registered.admin(*args).returncode == 0
        first = "aaa.test" if args[1] == "add" else "example.com"
        wait_until(lambda: greeting().startswith("220 %s " % first), "a greeting naming " + first)
    for _ in range(30):
        c = Client(port)
        ehlo = c.cmd("EHLO client.test").split("\n")
        assert ehlo[0] == "250-Hello client.test" and ehlo[-1].startswith("250 "), ehlo
        assert c.cmd("QUIT").startswith("221 ")
        c.close()
    assert server.stop() == 0
