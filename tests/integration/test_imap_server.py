"""The IMAP server with real clients: Python's imaplib (plain, STARTTLS and implicit TLS), curl, and
raw sockets for what no polite client sends."""
import base64
import hmac
import imaplib
import re
import signal
import socket
import subprocess
import zlib

import pytest

from conftest import WAIT, configure, free_port, make_certificate, unverified_tls_client

JOHN = "john@example.com"
GREETING = b"* OK Quillon IMAP4rev1 Server Ready!"
# The capability words after the first ones, in their order.
EXTENSIONS = ["SASL-IR", "ESEARCH", "SEARCHRES", "LIST-EXTENDED", "LIST-STATUS", "CHILDREN", "STATUS=SIZE", "MULTIAPPEND", "BINARY", "QUOTA", "QUOTA=RES-STORAGE", "QUOTA=RES-MESSAGE", "COMPRESS=DEFLATE", "SORT", "SORT=DISPLAY", "ESORT", "THREAD=REFERENCES", "THREAD=ORDEREDSUBJECT", "CONDSTORE", "QRESYNC", "OBJECTID", "UTF8=ACCEPT"]


def installation(env, *settings):
    """IMAP instance 0 on loopback (SMTP and POP3 off), routers off, the mailbox john; returns its port."""
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoRouters", 1)
    port = free_port()
    configure(env, ("sys:imap4:0:ip", "127.0.0.1"), ("sys:imap4:0:port", "port:%d" % port),
              ("sys:smtp:0:enabled", "bool:false"), ("sys:pop3:0:enabled", "bool:false"), *settings)
    assert env.admin("domain", "add", "example.com").returncode == 0
    result = env.admin("mailbox", "add", JOHN, "--password", "secret")
    assert result.returncode == 0, result.stderr
    return port


def tls_settings(env):
    cert, key = make_certificate(env.root)
    return (("sys:ssl:enabled", "bool:true"), ("sys:ssl:certpath", cert), ("sys:ssl:keypath", key))


class Raw:
    """A client that writes bytes as they stand and reads replies line by line."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        self.file = self.sock.makefile("rb")
        assert self.line() == GREETING

    def line(self):
        return self.file.readline().rstrip(b"\r\n")

    def send(self, data):
        self.sock.sendall(data)

    def ask(self, command, tag=b"t"):
        """Sends one command and returns the lines up to its tagged reply."""
        self.send(tag + b" " + command + b"\r\n")
        lines = []
        while True:
            line = self.line()
            assert line, "connection closed after %r" % lines
            lines.append(line)
            if line.startswith(tag + b" "):
                return lines

    def closed(self):
        try:
            return self.file.readline() == b""
        except ConnectionResetError:
            return True

    def close(self):
        self.file.close()
        self.sock.close()


def created(lines):
    """CREATE's reply: one tagged OK naming the new folder's object id."""
    return len(lines) == 1 and re.fullmatch(rb"t OK \[MAILBOXID \(F[0-9a-f]{16}\)\] CREATE completed", lines[0]) is not None


def capabilities(client):
    typ, data = client.capability()
    assert typ == "OK"
    return data[0].decode().split()


def test_commands_before_and_after_login_with_every_login_method(registered):
    port = installation(registered)
    server = registered.start().wait_ready()

    raw = Raw(port)
    assert raw.ask(b"CAPABILITY") == [b"* CAPABILITY IMAP4rev1 ID UNSELECT PROGRESS AUTH=CRAM-MD5 UIDPLUS IDLE MOVE NAMESPACE SPECIAL-USE CREATE-SPECIAL-USE ENABLE LITERAL- APPENDLIMIT=67108864 " + " ".join(EXTENSIONS).encode(),
                                      b"t OK CAPABILITY completed"]
    assert raw.ask(b"uid fetch 1 FLAGS") == [b't BAD Command invalid in current context:  "FETCH"']
    assert raw.ask(b"UID LIST \"\" *") == [b't BAD Unknown command:  "LIST"']
    assert raw.ask(b"SELECT") == [b"t BAD First argument missing"]
    assert raw.ask(b"CLOSE") == [b"t OK but CLOSE is really invalid in the current state"]
    assert raw.ask(b"FROB x") == [b"t BAD Unrecognized command"]
    assert raw.ask(b"NOOP extra") == [b"t BAD First argument should not appear"]
    assert raw.ask(b"PROGRESS 25") == [b"t OK PROGRESS Progress responses will be sent every 2.5 seconds"]
    assert raw.ask(b"PROGRESS 1") == [b"t OK PROGRESS Progress responses will be sent every tenth of a second"]
    assert raw.ask(b"PROGRESS 0") == [b"t OK PROGRESS No progress responses will be sent"]
    assert raw.ask(b"PROGRESS soon")[-1] == b"t NO Argument should be a number representing an interval in tenths of a second"
    tid = raw.ask(b"X-TID")
    assert re.fullmatch(rb"\* Thread ID is \d+", tid[0]) and tid[1] == b"t OK X_TID completed"
    assert raw.ask(b"X-DEBUG fetch") == [b"t OK X-DEBUG completed"]
    assert raw.ask(b"X-DEBUG IDLE") == [b"t NO Command not viable for debugging"]
    assert raw.ask(b"X-DEBUG FROB") == [b"t BAD Unrecognized command argument"]
    assert raw.ask(b'ID ("name" "test")') == [b'* ID ("name" "Quillon Email Server")', b"t OK ID completed"]
    assert raw.ask(b"IDLE") == [b't BAD Command invalid in current context:  "IDLE"']
    assert raw.ask(b"LOGIN john@example.com wrong") == [b"t NO Account invalid"]
    # A synchronising literal is invited, a non-synchronising one is not.
    raw.send(b"t LOGIN {16}\r\n")
    assert raw.line() == b"+ go ahead"
    raw.send(b"john@example.com {6+}\r\nsecret\r\n")
    assert raw.line() == b"t OK LOGIN completed"
    assert raw.ask(b"CAPABILITY") == [b"* CAPABILITY IMAP4rev1 ID UNSELECT PROGRESS UIDPLUS IDLE MOVE NAMESPACE SPECIAL-USE CREATE-SPECIAL-USE ENABLE LITERAL- APPENDLIMIT=67108864 " + " ".join(EXTENSIONS).encode(),
                                      b"t OK CAPABILITY completed"]
    assert raw.ask(b"NAMESPACE") == [b'* NAMESPACE (("" "/")) NIL (("Public Folders/" "/"))', b"t OK NAMESPACE completed"]
    # IDLE without a selected folder waits for DONE alone; anything else ends it with BAD.
    raw.send(b"t IDLE\r\n")
    assert raw.line() == b"+ idling"
    raw.send(b"done\r\n")
    assert raw.line() == b"t OK IDLE terminated"
    raw.send(b"t IDLE\r\n")
    assert raw.line() == b"+ idling"
    raw.send(b"t NOOP\r\n")
    assert raw.line() == b"t BAD IDLE terminated by something other than DONE"
    assert raw.ask(b"LOGIN a b") == [b't BAD Command invalid in current context:  "LOGIN"']
    assert raw.ask(b"LOGOUT") == [b"* BYE IMAP4rev1 Server logging out", b"t OK Logout completed"]
    assert raw.closed()
    raw.close()

    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    assert client.welcome == GREETING
    with pytest.raises(imaplib.IMAP4.error, match="Account invalid"):
        client.login(JOHN, "wrong")
    assert client.login_cram_md5(JOHN, "secret")[0] == "OK"
    client.logout()

    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    assert client.authenticate("PLAIN", lambda _: b"\0john@example.com\0secret") == (
        "OK", [b"PLAIN Authentication successful"])
    client.logout()
    for response in (b"other@example.com\0john@example.com\0secret", b"\0john@example.com\0wrong", b"no nuls"):
        client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
        with pytest.raises(imaplib.IMAP4.error, match="Account invalid"):
            client.authenticate("PLAIN", lambda _: response)
        client.shutdown()
    # An initial response on the command line, as SASL-IR clients send it ("=" is an empty one; CRAM-MD5,
    # where the server speaks first, takes none); and a wrong CRAM-MD5 digest.
    raw = Raw(port)
    initial = base64.b64encode(b"\0localhost-less\0x")
    assert raw.ask(b"AUTHENTICATE PLAIN " + initial) == [b"t NO Account invalid"]
    assert raw.ask(b"AUTHENTICATE PLAIN =") == [b"t NO Authentication material missing"]
    assert raw.ask(b"AUTHENTICATE CRAM-MD5 " + initial) == [b"t BAD CRAM-MD5 takes no initial response"]
    assert raw.ask(b"AUTHENTICATE PLAIN " + base64.b64encode(b"\0john@example.com\0secret")) == [
        b"t OK PLAIN Authentication successful"]
    raw.close()
    raw = Raw(port)
    raw.send(b"t AUTHENTICATE CRAM-MD5\r\n")
    challenge = raw.line()
    assert challenge.startswith(b"+ ") and len(challenge[2:]) % 4 == 0  # padded base64
    digest = hmac.new(b"wrong", base64.b64decode(challenge[2:]), "md5").hexdigest().encode()
    raw.send(base64.b64encode(b"john@example.com " + digest) + b"\r\n")
    assert raw.line() == b"t NO Account invalid"
    raw.send(b"t AUTHENTICATE CRAM-MD5\r\n")
    raw.line()
    raw.send(b"*\r\n")
    assert raw.line() == b"t BAD authentication canceled"
    raw.close()
    assert server.stop() == 0


def test_starttls_drops_pipelined_commands_and_implicit_tls_serves_beside_a_silent_client(registered):
    tls_port = free_port()
    port = installation(registered, *tls_settings(registered), ("sys:imap4:1:enabled", "bool:true"),
                        ("sys:imap4:1:ip", "127.0.0.1"), ("sys:imap4:1:port", "port:%d" % tls_port),
                        ("sys:imap4:1:ssl", "bool:true"))
    server = registered.start().wait_ready()

    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    assert capabilities(client)[-12 - len(EXTENSIONS):] == [
        "AUTH=CRAM-MD5", "STARTTLS", "AUTH=PLAIN", "UIDPLUS", "IDLE", "MOVE", "NAMESPACE", "SPECIAL-USE", "CREATE-SPECIAL-USE",
        "ENABLE", "LITERAL-", "APPENDLIMIT=67108864"] + EXTENSIONS
    assert client.starttls(unverified_tls_client())[0] == "OK"
    # Inside TLS PLAIN is offered (clients that want it must find it), STARTTLS no more.
    assert "STARTTLS" not in capabilities(client) and "AUTH=PLAIN" in capabilities(client)
    assert client._simple_command("STARTTLS") == ("NO", [b"TLS already started"])  # noqa: SLF001
    assert client.login(JOHN, "secret")[0] == "OK"
    assert capabilities(client) == ["IMAP4rev1", "ID", "UNSELECT", "PROGRESS", "UIDPLUS", "IDLE", "MOVE", "NAMESPACE",
                                   "SPECIAL-USE", "CREATE-SPECIAL-USE", "ENABLE", "LITERAL-", "APPENDLIMIT=67108864"] + EXTENSIONS
    client.logout()

    # A command sent in plain text behind STARTTLS never runs.
    raw = Raw(port)
    raw.send(b"a STARTTLS\r\nb LOGIN john@example.com secret\r\n")
    assert raw.line() == b"a OK Let's negotiate TLS"
    secure = unverified_tls_client().wrap_socket(raw.sock)
    secure.sendall(b"c NOOP\r\n")
    reply = secure.recv(4096)
    assert reply == b"c OK NOOP completed\r\n"
    secure.close()

    silent = socket.create_connection(("127.0.0.1", tls_port), timeout=WAIT)  # never starts its handshake
    implicit = imaplib.IMAP4_SSL("127.0.0.1", tls_port, ssl_context=unverified_tls_client(), timeout=WAIT)
    assert implicit.welcome == GREETING
    assert "STARTTLS" not in capabilities(implicit) and "AUTH=PLAIN" in capabilities(implicit)
    assert implicit.login_cram_md5(JOHN, "secret")[0] == "OK"
    implicit.logout()
    silent.close()

    # curl picks CRAM-MD5 both ways; a wrong password fails.
    for url, extra in (("imap://127.0.0.1:%d/" % port, ["--ssl-reqd"]), ("imaps://127.0.0.1:%d/" % tls_port, [])):
        good = subprocess.run(["curl", "-sS", "-k", *extra, "--url", url, "-u", JOHN + ":secret", "-X", "NOOP", "-v"],
                              capture_output=True, timeout=WAIT, text=True)
        assert good.returncode == 0, good.stderr
        assert "AUTHENTICATE CRAM-MD5" in good.stderr and "OK NOOP completed" in good.stderr
        bad = subprocess.run(["curl", "-sS", "-k", *extra, "--url", url, "-u", JOHN + ":wrong", "-X", "NOOP"],
                             capture_output=True, timeout=WAIT, text=True)
        assert bad.returncode != 0
    assert server.stop() == 0


def test_plain_text_passwords_can_be_kept_inside_tls(registered):
    port = installation(registered, *tls_settings(registered), ("sys:imap4:0:plaintextauth", "bool:false"))
    server = registered.start().wait_ready()
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    offered = capabilities(client)
    assert "LOGINDISABLED" in offered and "AUTH=PLAIN" not in offered and "STARTTLS" in offered
    raw = Raw(port)
    assert raw.ask(b"LOGIN john@example.com secret") == [
        b"t NO [PRIVACYREQUIRED] Passwords are taken only over TLS here: use STARTTLS first"]
    assert raw.ask(b"AUTHENTICATE PLAIN AGpvaG5AZXhhbXBsZS5jb20Ac2VjcmV0") == [
        b"t NO [PRIVACYREQUIRED] Passwords are taken only over TLS here: use STARTTLS first"]
    raw.close()
    assert client.starttls(unverified_tls_client())[0] == "OK"
    offered = capabilities(client)
    assert "LOGINDISABLED" not in offered and "AUTH=PLAIN" in offered
    assert client.login(JOHN, "secret")[0] == "OK"
    client.logout()
    assert server.stop() == 0


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(next(line for line in status if line.startswith("VmRSS:")).split()[1])


def test_hostile_input_is_refused_without_memory_and_the_next_client_is_served(registered):
    port = installation(registered)
    server = registered.start().wait_ready()
    before = resident_kib(server.proc.pid)

    raw = Raw(port)
    assert raw.ask(b"LOGIN {4294967295}") == [b"t BAD [TOOBIG] Literal too large"]
    assert raw.ask(b"LOGIN {99999999999999999999}") == [b"t BAD [TOOBIG] Literal too large"]
    assert raw.ask(b"NOOP") == [b"t OK NOOP completed"]
    # The data of a non-synchronising literal that ends a refused line is skipped, never run.
    raw.send(b"a FROB {8+}\r\nc LOGOUT\r\nd NOOP\r\n")
    assert raw.line() == b"a BAD Unrecognized command"
    assert raw.line() == b"d OK NOOP completed"
    raw.send(b"x" * 200_000 + b" NOOP\r\n")
    assert raw.line() == b"* BAD [TOOBIG] Command tag too long"
    raw.send(b"t LOGIN " + b"y" * 5_000_000 + b" secret\r\n")
    assert raw.line() == b"t BAD [TOOBIG] Command line too long"
    assert raw.ask(b"NOOP") == [b"t OK NOOP completed"]
    # Lists nest at most 32 deep.
    assert raw.ask(b"ID " + b"(" * 40 + b")" * 40) == [b"t BAD [TOOBIG] Lists are nested too deeply"]
    raw.send(b"t LOGIN {4294967296+}\r\n")
    assert raw.line() == b"t BAD [TOOBIG] Literal too large"
    assert raw.line().startswith(b"* BYE")
    assert raw.closed()
    raw.close()

    # Before login, ten BAD replies in a row end the session.
    raw = Raw(port)
    for _ in range(9):
        assert raw.ask(b"NOOP x") == [b"t BAD First argument should not appear"]
    raw.send(b"t NOOP x\r\n")
    assert raw.line() == b"t BAD First argument should not appear"
    assert raw.line() == b"* BYE Too many invalid commands"
    assert raw.closed()
    raw.close()

    assert resident_kib(server.proc.pid) - before < 16 * 1024
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    assert client.login(JOHN, "secret")[0] == "OK"
    client.logout()
    assert server.stop() == 0


def test_a_stop_says_goodbye_to_every_session(registered):
    port = installation(registered)
    server = registered.start().wait_ready()
    sessions = [Raw(port) for _ in range(3)]
    assert sessions[0].ask(b"LOGIN john@example.com secret") == [b"t OK LOGIN completed"]
    assert server.stop(signal.SIGTERM) == 0
    for raw in sessions:
        assert raw.line() == b"* BYE [ALERT] Server shutting down immediately"
        assert raw.closed()
        raw.close()


def test_what_clients_send_that_was_refused_before(registered):
    port = installation(registered)
    server = registered.start().wait_ready()
    raw = Raw(port)
    # A client that sends its whole environment in ID: 30 pairs of 1024-byte values, before login.
    pairs = b" ".join(b'"k%d" "%s"' % (n, b"v" * 1024) for n in range(30))
    assert raw.ask(b"ID (" + pairs + b")")[-1] == b"t OK ID completed"
    assert raw.ask(b"ID (" + pairs + b' "k30" "v")') == [b"t BAD ID list too long"]
    assert raw.ask(b'ID ("k" "%s")' % (b"v" * 1025)) == [b"t BAD ID list too long"]
    assert raw.ask(b"LOGIN john@example.com secret") == [b"t OK LOGIN completed"]
    # "~" is an atom character wherever no literal8 may stand.
    assert raw.ask(b'LIST "" ~foo') == [b"t OK LIST completed"]
    assert created(raw.ask(b"CREATE ~mail"))
    assert raw.ask(b'LIST "" ~mail') == [b'* LIST (\\HasNoChildren) "/" "~mail"', b"t OK LIST completed"]
    # The inbox holds no folders, and 8-bit names are refused rather than stored as no UTF-8.
    assert raw.ask(b'CREATE "INBOX/x"') == [b"t NO [CANNOT] The inbox can not hold folders"]
    assert raw.ask(b'CREATE "caf\xc3\xa9"') == [b"t BAD Mailbox names are written in modified UTF-7, not in 8-bit bytes"]
    assert created(raw.ask(b'CREATE "caf&AOk-"'))
    assert [line for line in raw.ask(b'LIST "" *') if b"Inbox" in line] == [b'* LIST (\\HasNoChildren) "/" "Inbox"']
    # A client that enabled UTF-8 names them in UTF-8 both ways ("&" is then just "&"); the file of
    # subscriptions and every other session keep modified UTF-7.
    message = b"Subject: Gr\xc3\xbc\xc3\x9fe\r\n\r\nhi\r\n"
    append = b'APPEND "caf\xc3\xa9" UTF8 (~{%d+}\r\n%s)' % (len(message), message)
    assert raw.ask(append) == [b"t BAD APPEND UTF8 needs ENABLE UTF8=ACCEPT first"]
    wide = Raw(port)
    assert wide.ask(b"LOGIN john@example.com secret") == [b"t OK LOGIN completed"]
    assert wide.ask(b"ENABLE UTF8=ACCEPT") == [b"* ENABLED UTF8=ACCEPT", b"t OK ENABLE completed"]
    assert wide.ask(b'LIST "" caf*') == [b'* LIST (\\HasNoChildren) "/" "caf\xc3\xa9"', b"t OK LIST completed"]
    assert created(wide.ask(b'CREATE "Gr\xc3\xb6\xc3\x9fe"')) and created(wide.ask(b'CREATE "R&D"'))
    assert wide.ask(b'CREATE "caf\xff"') == [b"t BAD Mailbox name is not valid UTF-8"]
    assert wide.ask(b'SUBSCRIBE "Gr\xc3\xb6\xc3\x9fe"') == [b"t OK SUBSCRIBE completed"]
    assert wide.ask(b'LSUB "" G*') == [b'* LSUB () "/" "Gr\xc3\xb6\xc3\x9fe"', b"t OK LSUB completed"]
    assert raw.ask(b'LSUB "" G*') == [b'* LSUB () "/" "Gr&APYA3w-e"', b"t OK LSUB completed"]
    assert raw.ask(b'LIST "" R*') == [b'* LIST (\\HasNoChildren) "/" "R&-D"', b"t OK LIST completed"]
    appended = wide.ask(append)
    assert re.fullmatch(rb"t OK \[APPENDUID \d+ 1\] APPEND completed", appended[0]) and len(appended) == 1, appended
    assert wide.ask(b'STATUS "caf\xc3\xa9" (MESSAGES)') == [b'* STATUS "caf\xc3\xa9" (MESSAGES 1)', b"t OK STATUS completed"]
    wide.ask(b'SELECT "caf\xc3\xa9"')
    assert wide.ask(b"FETCH 1 RFC822.SIZE") == [b"* 1 FETCH (RFC822.SIZE %d)" % len(message), b"t OK FETCH completed"]
    wide.close()
    raw.close()
    assert server.stop() == 0


class Deflated:
    """A client of a session that has COMPRESS=DEFLATE on: raw DEFLATE both ways, a sync flush after
    each command; counts the bytes that crossed the wire."""

    def __init__(self, sock):
        self.sock = sock
        self.inflate = zlib.decompressobj(-15)
        self.deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
        self.buffer = b""
        self.wire = 0

    def send(self, data):
        self.sock.sendall(self.deflate.compress(data) + self.deflate.flush(zlib.Z_SYNC_FLUSH))

    def until(self, end):
        """The inflated bytes up to and including `end`."""
        while end not in self.buffer:
            chunk = self.sock.recv(65536)
            assert chunk, "connection closed after %r" % self.buffer[-200:]
            self.wire += len(chunk)
            self.buffer += self.inflate.decompress(chunk)
        at = self.buffer.index(end) + len(end)
        data, self.buffer = self.buffer[:at], self.buffer[at:]
        return data

    def ask(self, command, tag=b"t"):
        self.send(tag + b" " + command + b"\r\n")
        lines = [self.until(b"\r\n")[:-2]]
        while not lines[-1].startswith(tag + b" "):
            lines.append(self.until(b"\r\n")[:-2])
        return lines


def plain_until(raw, end):
    data = b""
    while not data.endswith(end):
        chunk = raw.file.read1(65536)
        assert chunk, "connection closed"
        data += chunk
    return data


def test_compress_deflate_shrinks_a_large_fetch_and_bounds_what_it_inflates(registered):
    """COMPRESS=DEFLATE (RFC 4978) with zlib on the client's side: refused before login and twice, the
    same FETCH of 1,000 messages' header fields byte for byte in under a third of the bytes (the
    5,000-message figure is bench/imap_compress.py's), an inflated
    flood refused by the command limit it would break in plain text, garbage ending the session, and
    compression inside TLS."""
    port = installation(registered, *tls_settings(registered))
    registered.start().wait_ready()
    raw = Raw(port)
    assert raw.ask(b"COMPRESS DEFLATE") == [b't BAD Command invalid in current context:  "COMPRESS"']
    assert raw.ask(b"LOGIN john@example.com secret") == [b"t OK LOGIN completed"]
    assert raw.ask(b"COMPRESS GZIP") == [b"t BAD Unknown compression mechanism"]
    assert raw.ask(b"COMPRESS") == [b"t BAD First argument missing"]
    names = ["Ann Example", "Bob Builder", "Carl Sender", "Dora Explorer", "Eve Listener"]
    for batch in range(1):
        command = b"APPEND INBOX"
        for n in range(batch * 1000, batch * 1000 + 1000):
            message = ("From: %s <%s@remote.test>\r\nTo: john@example.com\r\nSubject: Report %d on the project, week %d\r\n"
                       "Date: Tue, %d Dec 2026 10:%02d:00 +0000\r\nMessage-ID: <%08x.%d@remote.test>\r\n\r\nBody %d\r\n" %
                       (names[n % 5], names[n % 5].split()[0].lower(), n, n % 52, 1 + n % 28, n % 60, n * 7919, n, n)).encode()
            command += b" {%d+}\r\n%s" % (len(message), message)
        assert raw.ask(command)[-1].startswith(b"t OK [APPENDUID"), batch
    fetch = b"t FETCH 1:* (UID FLAGS RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)])\r\n"
    done = b"t OK FETCH completed\r\n"
    assert raw.ask(b"EXAMINE INBOX")[0] == b"* 1000 EXISTS"
    raw.send(fetch)
    plain = plain_until(raw, done)
    assert plain.count(b" FETCH (UID ") == 1000

    other = Raw(port)
    assert other.ask(b"LOGIN john@example.com secret") == [b"t OK LOGIN completed"]
    assert other.ask(b"EXAMINE INBOX")[0] == b"* 1000 EXISTS"
    assert other.ask(b"COMPRESS DEFLATE") == [b"t OK DEFLATE active"]
    deflated = Deflated(other.sock)
    assert deflated.ask(b"NOOP") == [b"t OK NOOP completed"]
    assert deflated.ask(b"COMPRESS DEFLATE") == [b"t NO [COMPRESSIONACTIVE] DEFLATE is active already"]
    deflated.wire = 0
    deflated.send(fetch)
    assert deflated.until(done) == plain
    assert deflated.wire * 3 < len(plain), (deflated.wire, len(plain))
    # An APPEND's literal streams through the inflater block by block, invited as in plain text.
    big = b"Subject: big\r\n\r\n" + b"".join(b"line %06d of a long message\r\n" % n for n in range(5000))
    assert created(deflated.ask(b"CREATE Big"))
    deflated.send(b"t APPEND Big {%d}\r\n" % len(big))
    assert deflated.until(b"\r\n") == b"+ go ahead\r\n"
    deflated.send(big + b"\r\n")
    assert re.fullmatch(rb"t OK \[APPENDUID \d+ 1\] APPEND completed\r\n", deflated.until(b"\r\n"))
    assert deflated.ask(b"STATUS Big (MESSAGES SIZE)") == [b'* STATUS "Big" (MESSAGES 1 SIZE %d)' % len(big), b"t OK STATUS completed"]
    # 300 KB that inflate from a few hundred bytes meet the command limit as they would in plain text,
    # and the session goes on.
    assert deflated.ask(b"NOOP " + b"a" * 300_000) == [b"t BAD [TOOBIG] Command line too long"]
    assert deflated.ask(b"NOOP") == [b"t OK NOOP completed"]
    # Bytes that are not DEFLATE end the session.
    other.sock.sendall(b"\xff" * 64 + b"\r\n")
    with pytest.raises(AssertionError, match="connection closed"):
        deflated.until(b"\r\n")
    other.close()
    raw.close()

    # Inside TLS: compression sits above it.
    client = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    assert client.recv(1024).startswith(GREETING)
    client.sendall(b"s STARTTLS\r\n")
    assert client.recv(1024) == b"s OK Let's negotiate TLS\r\n"
    secure = unverified_tls_client().wrap_socket(client, server_hostname="localhost")
    secure.sendall(b"l LOGIN john@example.com secret\r\nc COMPRESS DEFLATE\r\n")
    received = b""
    while b"c OK DEFLATE active\r\n" not in received:
        received += secure.recv(1024)
    assert received == b"l OK LOGIN completed\r\nc OK DEFLATE active\r\n"
    deflated = Deflated(secure)
    assert deflated.ask(b"STATUS INBOX (MESSAGES)") == [b'* STATUS "INBOX" (MESSAGES 1000)', b"t OK STATUS completed"]
    # IDLE waits on the socket: compressed input wakes it as plain input does.
    deflated.ask(b"SELECT INBOX")
    deflated.send(b"t IDLE\r\n")
    assert deflated.until(b"\r\n") == b"+ idling\r\n"
    deflated.send(b"DONE\r\n")
    assert deflated.until(b"\r\n") == b"t OK IDLE terminated\r\n"
    assert deflated.ask(b"LOGOUT") == [b"* BYE IMAP4rev1 Server logging out", b"t OK Logout completed"]
    secure.close()
