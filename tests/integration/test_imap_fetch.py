"""FETCH with real clients: imaplib, raw sockets that follow literals by count, curl and mbsync, on
messages delivered over SMTP or APPENDed, compared byte for byte with the store's message files and,
for the structure of MIME messages, with what Python's email package reads in the same bytes."""
import base64
import datetime
import email
import imaplib
import os
import re
import shutil
import smtplib
import subprocess

from conftest import WAIT, wait_for
from test_imap_mailboxes import JOHN, deliver, inbox_count, installation, login

NESTED = b"\r\n".join([
    b"From: Ann <ann@remote.test>", b"To: john@example.com", b"Subject: =?utf-8?q?caf=C3=A9?= nested",
    b"Date: Wed, 09 Dec 2026 10:00:00 +0100", b"Message-ID: <nested@remote.test>", b"MIME-Version: 1.0",
    b'Content-Type: multipart/mixed; boundary="outer"', b"", b"This is a preamble.", b"",
    b"--outer", b"Content-Type: multipart/alternative; boundary=inner", b"",
    b"--inner", b"Content-Type: text/plain; charset=utf-8; format=flowed", b"Content-Transfer-Encoding: quoted-printable",
    b"", b"Hello =C3=A9 world", b"second line", b"",
    b"--inner", b"Content-Type: text/HTML", b"", b"<p>Hello</p>", b"", b"--inner--", b"",
    b"--outer", b'Content-Type: Application/Octet-Stream; Name="Data.bin"', b"Content-Transfer-Encoding: base64",
    b'Content-Disposition: attachment; filename="Data.bin"', b"",
    *[base64.b64encode(bytes(range(256)) * 3)[i:i + 76] for i in range(0, 1024, 76)], b"",
    b"--outer", b"Content-Type: message/rfc822", b"",
    b"From: bob@remote.test", b"Subject: inner message", b"Content-Type: text/plain", b"", b"inner body", b"two", b"",
    b"--outer--", b"epilogue", b""])


def exchange(raw, command, tag=b"t"):
    """Sends one command on a test_imap_server.Raw and returns its untagged responses, each with its
    literals read by their count and kept in place, and the tagged line."""
    raw.send(tag + b" " + command + b"\r\n")
    return reply(raw, tag)


def reply(raw, tag):
    responses, current = [], b""
    while True:
        line = raw.file.readline()
        assert line.endswith(b"\r\n"), "connection closed after %r" % (responses + [current + line])
        current += line
        literal = re.search(rb"\{(\d+)\}\r\n\Z", line)
        if literal:
            current += raw.file.read(int(literal.group(1)))
            continue
        if current.startswith(tag + b" "):
            return responses, current[:-2]
        responses.append(current[:-2])
        current = b""


ATOM = re.compile(rb"[^ ()\[\]{\"]+(\[[^\]]*\](<\d+>)?)?")
LITERAL = re.compile(rb"~?\{(\d+)\}\r\n")


def parse(data):
    """The values of one response: lists, bytes for strings and literals, None for NIL, int, str for atoms."""
    pos = 0

    def value():
        nonlocal pos
        if data[pos:pos + 1] == b"(":
            pos += 1
            items = []
            while data[pos:pos + 1] != b")":
                items.append(value())
                pos += data[pos:pos + 1] == b" "
            pos += 1
            return items
        if data[pos:pos + 1] == b'"':
            out = bytearray()
            pos += 1
            while data[pos:pos + 1] != b'"':
                pos += data[pos:pos + 1] == b"\\"
                out += data[pos:pos + 1]
                pos += 1
            pos += 1
            return bytes(out)
        match = LITERAL.match(data, pos)
        if match:
            pos = match.end() + int(match.group(1))
            return data[match.end():pos]
        match = ATOM.match(data, pos)
        assert match, "cannot parse %r at %d" % (data, pos)
        pos = match.end()
        atom = match.group().decode()
        return None if atom == "NIL" else int(atom) if atom.isdigit() else atom

    values = []
    while pos < len(data):
        values.append(value())
        assert data[pos:pos + 1] in (b" ", b""), "junk in %r at %d" % (data, pos)
        pos += 1
    return values


def fetch(raw, command):
    """A FETCH that must succeed: [(message number, {item name: value} in the order written)]."""
    responses, done = exchange(raw, command)
    assert done == b"t OK FETCH completed", (command, done)
    out = []
    for response in responses:
        star, number, word, items = parse(response)
        assert (star, word) == ("*", "FETCH") and len(items) % 2 == 0, response
        out.append((number, dict(zip(items[::2], items[1::2]))))
    return out


def eml_path(env, uid):
    return os.path.join(env.store, "example.com", "john", "_In", "%07X.eml" % uid)


def eml(env, uid):
    with open(eml_path(env, uid), "rb") as f:
        return f.read()


def test_items_sections_seen_and_refusals_byte_exact(registered):
    ports = installation(registered, routers=1)
    registered.env["TZ"] = "America/New_York"  # the internal date goes out in UTC whatever the server's zone
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 3)
    with smtplib.SMTP("127.0.0.1", ports["smtp"], timeout=WAIT) as client:
        client.sendmail("ann@remote.test", [JOHN], NESTED)
    wait_for(lambda: inbox_count(registered) == 4, "the MIME message")
    client = imaplib.IMAP4("127.0.0.1", ports["imap"], timeout=WAIT)
    client.login(JOHN, "secret")
    assert client.append("INBOX", None, '"09-Dec-2026 10:00:00 +0100"', b"Subject: appended\r\n\r\nhello\r\n")[0] == "OK"

    raw = login(ports["imap"])
    assert raw.ask(b"SELECT INBOX")[0] == b"* 5 EXISTS"
    fast, done = exchange(raw, b"FETCH 1 FAST")
    match = re.fullmatch(rb'\* 1 FETCH \(INTERNALDATE "(\d\d-\w{3}-\d{4} \d\d:\d\d:\d\d) \+0000" RFC822\.SIZE (\d+) '
                         rb'FLAGS \(\\Recent\)\)', fast[0])
    assert match and done == b"t OK FETCH completed", fast
    delivered = datetime.datetime.strptime(match.group(1).decode(), "%d-%b-%Y %H:%M:%S")
    assert abs(delivered - datetime.datetime.utcnow()) < datetime.timedelta(hours=1)  # not New York's time
    assert int(match.group(2)) == os.path.getsize(eml_path(registered, 1))
    assert fetch(raw, b"FETCH 5 INTERNALDATE") == [(5, {"INTERNALDATE": b"09-Dec-2026 09:00:00 +0000"})]

    # Whole messages and their halves are the message files; reading marks \Seen, PEEK does not.
    assert fetch(raw, b"FETCH 1 BODY.PEEK[]") == [(1, {"BODY[]": eml(registered, 1)})]
    assert fetch(raw, b"FETCH 1 BODY[]") == [(1, {"BODY[]": eml(registered, 1), "FLAGS": ["\\Recent", "\\Seen"]})]
    assert fetch(raw, b"FETCH 1 BODY[]") == [(1, {"BODY[]": eml(registered, 1)})]  # already seen: no FLAGS
    [(_, halves)] = fetch(raw, b"FETCH 2 (RFC822.HEADER RFC822.TEXT RFC822.SIZE)")
    assert halves["RFC822.HEADER"].endswith(b"\r\n\r\n") and halves["RFC822.TEXT"] == b"body 2\r\n"
    assert halves["RFC822.HEADER"] + halves["RFC822.TEXT"] == eml(registered, 2)
    assert halves["RFC822.SIZE"] == len(eml(registered, 2)) and halves["FLAGS"] == ["\\Recent", "\\Seen"]
    assert fetch(raw, b"FETCH 3 RFC822") == [(3, {"RFC822": eml(registered, 3), "FLAGS": ["\\Recent", "\\Seen"]})]

    # Sections, partials and parts of the MIME message (4).
    nested = eml(registered, 4)
    header = nested[:nested.index(b"\r\n\r\n") + 4]
    part1 = nested.split(b"--outer\r\n")[1]
    [(_, items)] = fetch(raw, b"FETCH 4 (body.peek[header.fields (subject)] BODY.PEEK[HEADER.FIELDS.NOT (Subject X)] "
                              b"BODY.PEEK[]<0.10> BODY.PEEK[]<5.10> BODY.PEEK[]<99999.5> BODY.PEEK[1.MIME] BODY.PEEK[9] "
                              b"BODY.PEEK[HEADER] BODY.PEEK[TEXT]<0.19>)")
    assert items == {"BODY[HEADER.FIELDS (SUBJECT)]": b"Subject: =?utf-8?q?caf=C3=A9?= nested\r\n\r\n",
                     "BODY[HEADER.FIELDS.NOT (SUBJECT X)]": header.replace(b"Subject: =?utf-8?q?caf=C3=A9?= nested\r\n", b""),
                     "BODY[]<0>": nested[:10], "BODY[]<5>": nested[5:15], "BODY[]<99999>": b"",
                     "BODY[1.MIME]": part1[:part1.index(b"\r\n\r\n") + 4], "BODY[9]": b"",
                     "BODY[HEADER]": header, "BODY[TEXT]<0>": b"This is a preamble."}
    assert exchange(raw, b"UID FETCH 5 (UID FLAGS)") == ([b"* 5 FETCH (UID 5 FLAGS (\\Recent))"], b"t OK FETCH completed")

    for command, reply in ((b"FETCH 1 FROB", b"t NO FETCH command has unrecognized Data Item:  FROB"),
                           (b"FETCH 1 (FLAGS BODY.FOO)", b"t NO FETCH command has unrecognized Data Item:  BODY.FOO"),
                           (b"FETCH 4 BODY[]<0.0>", b"t BAD Invalid specification for partial section fetch"),
                           (b"FETCH 4 BODY[]<1>", b"t BAD Invalid specification for partial section fetch"),
                           (b"FETCH 4 BODY[MIME]", b"t BAD Invalid section specifier"),
                           (b"FETCH 4 BODY[1.]", b"t BAD Invalid section specifier"),
                           (b"FETCH 4 (BODY[HEADER.FOO])", b"t BAD Invalid HEADER specification"),
                           (b"FETCH 4 BODY[HEADER.FIELDS]", b"t BAD HEADER FIELDS list missing"),
                           (b"FETCH 4 BODY[HEADER.FIELDS ()]", b"t BAD HEADER FIELDS list missing"),
                           (b"FETCH 4 BODY[TEXT]x", b"t BAD Section specification has invalid characters following ']'"),
                           (b"FETCH 4 BINARY[HEADER]", b"t BAD Invalid section specifier"),
                           (b"FETCH 4 ()", b"t BAD FETCH command has no Data Items")):
        assert exchange(raw, command) == ([], reply), command
    # The reader already refuses a section that is never closed: no FETCH item sees one.
    assert exchange(raw, b"FETCH 4 BODY[HEADER") == ([], b"t BAD List not followed by ']'")
    assert raw.ask(b"NOOP") == [b"t OK NOOP completed"]

    # EXAMINE stores no \Seen and shows none; what SELECT stored outlives the session.
    assert raw.ask(b"EXAMINE INBOX")[-1] == b"t OK [READ-ONLY] EXAMINE completed"
    assert fetch(raw, b"FETCH 4 (BODY[] RFC822.TEXT BINARY[1.1])")[0][1].keys() == {"BODY[]", "RFC822.TEXT", "BINARY[1.1]"}
    assert "\\Seen" not in fetch(raw, b"FETCH 4 FLAGS")[0][1]["FLAGS"]
    raw.close()
    client.select("INBOX", readonly=True)
    typ, data = client.fetch("1:5", "(FLAGS)")
    assert typ == "OK" and [b"\\Seen" in line for line in data] == [True, True, True, False, False], data
    typ, data = client.uid("FETCH", "4", "(BODY.PEEK[])")
    assert typ == "OK" and data[0][1] == nested and data[1] == b")", data
    client.logout()
    assert server.stop() == 0


class Node:
    """A part as the raw bytes hold it: its MIME header, its body as stored, the email package's view."""

    def __init__(self, raw, message):
        blank = 0 if raw.startswith(b"\r\n") else raw.index(b"\r\n\r\n") + 2
        self.header, self.body, self.message, self.children = raw[:blank + 2], raw[blank + 2:], message, []
        if message.get_content_type() == "message/rfc822":
            self.children = [Node(self.body, message.get_payload(0))]
        elif message.is_multipart():
            delimiter = b"\r\n--" + message.get_boundary().encode()
            pieces = (b"\r\n" + self.body).split(delimiter)[1:]
            for piece, sub in zip(pieces, message.get_payload()):
                assert not piece.startswith(b"--")
                self.children.append(Node(piece[piece.index(b"\r\n") + 2:], sub))
            assert len(self.children) == len(message.get_payload())


def pairs(values):
    return {} if values is None else {name.decode().lower(): value.decode() for name, value in zip(values[::2], values[1::2])}


def compare(structure, node, path):
    """Walks a BODYSTRUCTURE and the part tree together; returns the paths of the leaves."""
    message = node.message
    kind, sub = message.get_content_maintype(), message.get_content_subtype()
    expected = {name.lower(): value for name, value in message.get_params([])[1:]}
    if message.is_multipart() and kind == "multipart":
        count = len(node.children)
        assert all(isinstance(child, list) for child in structure[:count]) and isinstance(structure[count], bytes), path
        leaves = []
        for number, (child, part) in enumerate(zip(structure, node.children), 1):
            leaves += compare(child, part, path + [number])
        assert structure[count] == sub.upper().encode() and pairs(structure[count + 1]) == expected, path
        return leaves
    if kind == "text":
        expected.setdefault("charset", "us-ascii")
    encoding = message.get("Content-Transfer-Encoding", "7bit").upper().encode()
    assert structure[:2] == [kind.upper().encode(), sub.upper().encode()] and pairs(structure[2]) == expected, path
    assert structure[5:7] == [encoding, len(node.body)], path
    rest = structure[7:]
    if (kind, sub) == ("message", "rfc822"):
        envelope, inner, lines = rest[:3]
        assert envelope[1] == node.children[0].message["Subject"].encode()
        compare(inner, node.children[0], path)
        rest = rest[3:]
        assert lines == len(node.body.splitlines()), path
    elif kind == "text":
        assert rest[0] == len(node.body.splitlines()), path  # a last line the delimiter's line break ends counts
        rest = rest[1:]
    disposition = message.get_content_disposition()
    if disposition is None:
        assert rest[1] is None, path
    else:
        assert rest[1] == [disposition.upper().encode(), [b"FILENAME", message.get_filename().encode()]], path
    return [(path, node)]


def test_bodystructure_parts_and_binary_agree_with_the_email_package_and_curl(registered):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    with smtplib.SMTP("127.0.0.1", ports["smtp"], timeout=WAIT) as client:
        client.sendmail("ann@remote.test", [JOHN], NESTED)
    wait_for(lambda: inbox_count(registered) == 1, "the delivery")
    stored = eml(registered, 1)
    tree = Node(stored, email.message_from_bytes(stored))

    raw = login(ports["imap"])
    assert raw.ask(b"SELECT INBOX")[0] == b"* 1 EXISTS"
    [(_, items)] = fetch(raw, b"FETCH 1 (BODYSTRUCTURE BODY ENVELOPE)")
    leaves = compare(items["BODYSTRUCTURE"], tree, [])
    assert [path for path, _ in leaves] == [[1, 1], [1, 2], [2], [3]]
    assert items["ENVELOPE"][:2] == [b"Wed, 09 Dec 2026 10:00:00 +0100", b"=?utf-8?q?caf=C3=A9?= nested"]  # as written
    assert items["ENVELOPE"][2] == [[b"Ann", None, b"ann", b"remote.test"]] and items["ENVELOPE"][9] == b"<nested@remote.test>"
    # BODY is BODYSTRUCTURE without the extension data.
    assert items["BODY"][0][0][:8] == items["BODYSTRUCTURE"][0][0][:8] and len(items["BODY"][0][0]) == 8

    # Each part's body, MIME header, and decoded content; the embedded message's own sections.
    names = " ".join("BODY.PEEK[%s] BODY.PEEK[%s.MIME] BINARY.PEEK[%s] BINARY.SIZE[%s]" % ((".".join(map(str, path)),) * 4)
                     for path, _ in leaves)
    [(_, parts)] = fetch(raw, ("FETCH 1 (%s BODY.PEEK[3.HEADER] BODY.PEEK[3.TEXT] BODY.PEEK[1])" % names).encode())
    for path, node in leaves:
        section = ".".join(map(str, path))
        decoded = node.message.get_payload(decode=True) if path != [3] else node.body
        assert parts["BODY[%s]" % section] == node.body and parts["BODY[%s.MIME]" % section] == node.header, section
        assert parts["BINARY[%s]" % section] == decoded and parts["BINARY.SIZE[%s]" % section] == len(decoded), section
    assert parts["BINARY[2]"] == bytes(range(256)) * 3 and parts["BINARY[1.1]"] == b"Hello \xc3\xa9 world\r\nsecond line\r\n"
    inner = tree.children[2].children[0]
    assert parts["BODY[3.HEADER]"] == inner.header and parts["BODY[3.TEXT]"] == inner.body
    assert parts["BODY[1]"] == tree.children[0].body and "FLAGS" not in parts
    raw.close()

    # curl reads the message by its UID, as stored.
    result = subprocess.run(["curl", "-sS", "--max-time", str(WAIT), "--user", JOHN + ":secret",
                             "imap://127.0.0.1:%d/INBOX/;UID=1" % ports["imap"]], capture_output=True, timeout=WAIT)
    assert result.returncode == 0 and result.stdout == stored, result.stderr
    assert server.stop() == 0


MBSYNCRC = """IMAPAccount pellworth
Host 127.0.0.1
Port %(port)d
User %(user)s
Pass secret
SSLType None
AuthMechs LOGIN

IMAPStore far
Account pellworth

MaildirStore near
Path %(root)s/mail/
Inbox %(root)s/mail/INBOX

Channel pull
Far :far:
Near :near:
Patterns INBOX
Sync Pull
Create Near
MaxSize 1m
"""


def test_mbsync_pulls_every_message_byte_for_byte(registered):
    assert shutil.which("mbsync"), "mbsync (isync) is not installed"
    port = installation(registered, routers=1)["imap"]
    server = registered.start().wait_ready()
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login(JOHN, "secret")
    for n in range(1, 501):
        text = b"From: a@remote.test\r\nSubject: m%d\r\nMessage-ID: <m%d@remote.test>\r\n\r\n%s\r\n" % (n, n, b"line %d\r\n" % n * (n % 7))
        assert client.append("INBOX", "(\\Seen)" if n % 3 == 0 else None, None, NESTED if n == 250 else text)[0] == "OK"
    root = registered.root
    os.makedirs(os.path.join(root, "mail"))
    rc = os.path.join(root, "mbsyncrc")
    with open(rc, "w", encoding="utf-8") as f:
        f.write(MBSYNCRC % {"port": port, "user": JOHN, "root": root})

    def mbsync():
        result = subprocess.run(["mbsync", "-c", rc, "-a"], env=dict(registered.env, HOME=root), capture_output=True,
                                timeout=10 * WAIT)
        assert result.returncode == 0, result.stderr
        pulled = {}
        for folder in ("new", "cur"):
            directory = os.path.join(root, "mail", "INBOX", folder)
            for name in os.listdir(directory):
                with open(os.path.join(directory, name), "rb") as f:
                    data = f.read()
                # The maildir copy has LF line ends and a tracking field mbsync adds to the header.
                stripped, count = re.subn(rb"(?m)^X-TUID: \S+\n", b"", data, count=1)
                pulled[int(re.search(r",U=(\d+)", name).group(1))] = (stripped, count, folder, name)
        return pulled

    pulled = mbsync()
    assert sorted(pulled) == list(range(1, 501))
    for uid, (data, tuid, folder, name) in pulled.items():
        assert data == eml(registered, uid).replace(b"\r\n", b"\n") and tuid == 1, uid
        assert name.endswith("S") == (uid % 3 == 0), name  # \Seen came across as the maildir's S flag
    # A second run pulls nothing; a new message then arrives alone. PEEK kept the rest unread.
    assert mbsync() == pulled
    assert client.append("INBOX", None, None, b"Subject: late\r\n\r\nlate\r\n")[0] == "OK"
    assert sorted(set(mbsync()) - set(pulled)) == [501]
    client.select("INBOX", readonly=True)
    typ, flags = client.fetch("1:*", "(FLAGS)")
    assert typ == "OK" and [b"\\Seen" in line for line in flags] == [n % 3 == 0 for n in range(1, 501)] + [False]
    client.logout()
    assert server.stop() == 0


def nested(levels):
    """A part that is `levels` multiparts inside one another around a short text."""
    part = b"Content-Type: text/plain\r\n\r\nleaf\r\n"
    for n in range(levels):
        part = b"Content-Type: multipart/mixed; boundary=b%d\r\n\r\n--b%d\r\n%s\r\n--b%d--\r\n" % (n, n, part, n)
    return part


def test_hostile_messages_leave_the_session_in_step(registered):
    port = installation(registered, routers=1)["imap"]
    server = registered.start().wait_ready()
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login(JOHN, "secret")
    hostile = [b"Subject: deep\r\n" + nested(70),
               b"Subject: odd\r\nContent-Type: multipart/mixed; boundary=x\r\n\r\n--x\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
               b"--x\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: x-foo\r\n\r\nfoo data\r\n--x--\r\n",
               b"Subject: no blank line\r\nFrom: a@remote.test\r\n", b"Subject: empty body\r\n\r\n", b"Subject: no line end",
               # Nesting past the limit before an attachment, and a header line past its limit before a
               # part: neither may hide what follows.
               b"Subject: hidden\r\nContent-Type: multipart/mixed; boundary=top\r\n\r\n--top\r\n" + nested(60) +
               b"\r\n--top\r\nContent-Type: application/pdf; name=visible.pdf\r\n\r\nPDF\r\n--top--\r\n",
               b"Subject: long\r\nContent-Type: multipart/mixed; boundary=b\r\nX-Long: " + b"x" * 70000 + b"\r\n\r\n"
               b"--b\r\n\r\none\r\n--b--\r\n"]
    for message in hostile:
        assert client.append("INBOX", None, None, message)[0] == "OK"
    client.logout()

    raw = login(port)
    assert raw.ask(b"SELECT INBOX")[0] == b"* 7 EXISTS"
    # Everything in one write: the FETCH answers each message whole and the NOOP behind it is read in step.
    raw.send(b"a FETCH 1:5 (BODYSTRUCTURE BODY[] BODY.PEEK[TEXT] RFC822.HEADER ENVELOPE)\r\nb NOOP\r\n")
    responses, done = reply(raw, b"a")
    assert done == b"a OK FETCH completed" and reply(raw, b"b") == ([], b"b OK NOOP completed")
    empty_text = [b"TEXT", b"PLAIN", [b"CHARSET", b"us-ascii"], None, None, b"7BIT", 0, 0, None, None, None, None]
    for number, response in enumerate(responses, 1):
        star, at, word, items = parse(response)
        items = dict(zip(items[::2], items[1::2]))
        assert (star, at, word) == ("*", number, "FETCH") and items["BODY[]"] == eml(registered, number) == hostile[number - 1]
        assert items["FLAGS"] == ["\\Recent", "\\Seen"] and items["ENVELOPE"][1] == hostile[number - 1][9:].split(b"\r\n")[0]
        if number >= 3:  # no body: the header is all there is, and the structure an empty text
            assert items["BODYSTRUCTURE"] == empty_text, number
            assert items["RFC822.HEADER"] == hostile[number - 1] and items["BODY[TEXT]"] == b""
    depth, structure = 0, parse(responses[0])[3][1]
    while isinstance(structure[0], list):
        depth, structure = depth + 1, structure[0]
    assert 40 <= depth < 70  # the deepest level allowed is one part
    assert parse(responses[1])[3][1][1][:7] == [b"APPLICATION", b"OCTET-STREAM", None, None, None, b"X-FOO", 8]

    # A part that cannot be decoded refuses BINARY; what was written for earlier messages stands.
    assert fetch(raw, b"FETCH 6 (BODY.PEEK[2.MIME] BODY.PEEK[2])") == [
        (6, {"BODY[2.MIME]": b"Content-Type: application/pdf; name=visible.pdf\r\n\r\n", "BODY[2]": b"PDF"})]
    long = hostile[6]
    (number, items), = fetch(raw, b"FETCH 7 (RFC822.HEADER RFC822.TEXT BODY.PEEK[1])")
    assert number == 7 and items["RFC822.HEADER"] == long[:long.index(b"\r\n\r\n") + 4]
    assert items["RFC822.TEXT"] == b"--b\r\n\r\none\r\n--b--\r\n" and items["BODY[1]"] == b"one"
    assert exchange(raw, b"FETCH 1:3 BINARY.PEEK[2]") == ([b'* 1 FETCH (BINARY[2] "")'],
                                                          b't NO [UNKNOWN-CTE] could not decode "2" part of message number 2')
    assert exchange(raw, b"UID FETCH 2 BINARY.SIZE[2]") == ([], b't NO [UNKNOWN-CTE] could not decode "2" part of message UID 2')
    assert fetch(raw, b"FETCH 2 (BINARY[1] BODY[2])") == [(2, {"BINARY[1]": b"plain", "BODY[2]": b"foo data"})]
    assert raw.ask(b"NOOP") == [b"t OK NOOP completed"]
    raw.close()
    assert server.stop() == 0


def test_parameters_that_are_not_ascii_go_out_in_rfc2231_form(registered):
    port = installation(registered, routers=1)["imap"]
    registered.start().wait_ready()
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login(JOHN, "secret")
    message = (b"Subject: names\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
               b"Content-Type: application/pdf; name*0*=utf-8''caf%C3%A9; name*1=\".pdf\"\r\n"
               b"Content-Disposition: attachment; filename*=utf-8''caf%C3%A9%20n%C2%BA1.pdf\r\n\r\nPDF\r\n--b--\r\n")
    assert client.append("INBOX", None, None, message)[0] == "OK"
    client.select("INBOX")
    typ, data = client.fetch("1", "(BODYSTRUCTURE)")
    # Sections joined and decoded by the parser, written again in RFC 2231 form: 7-bit text only.
    assert typ == "OK" and isinstance(data[0], bytes), data
    assert b'("NAME*" "utf-8\'\'caf%C3%A9.pdf")' in data[0], data
    assert b'("ATTACHMENT" ("FILENAME*" "utf-8\'\'caf%C3%A9%20n%C2%BA1.pdf"))' in data[0], data
    client.logout()


def lines(*items):
    return b"\r\n".join(items)


# Part 1 holds a message that is not multipart; part 2 a multipart message whose first part is an
# alternative with a message inside it (2.1.3), itself multipart; part 3 a plain text.
DEEP = lines(b"From: deep@remote.test", b'To: "Deep Team": deep@remote.test;', b"Subject: deep",
             b"Content-Type: multipart/mixed; boundary=d", b"",
             b"--d", b"Content-Type: text/plain", b"", b"deep one", b"--d", b"Content-Type: text/plain", b"",
             b"deep two", b"--d--")
SINGLE = lines(b"From: single@remote.test", b"Subject: single", b"", b"single body", b"second line")
MULTI = lines(b"From: multi@remote.test", b"Subject: multi", b"Content-Type: multipart/mixed; boundary=m", b"",
              b"--m", b"Content-Type: multipart/alternative; boundary=a", b"",
              b"--a", b"Content-Type: text/plain", b"", b"alt text",
              b"--a", b"Content-Type: text/html", b"", b"<p>alt</p>",
              b"--a", b"Content-Type: message/rfc822", b"Content-Description: deep one", b"", DEEP,
              b"--a--", b"--m", b"Content-Type: text/plain", b"", b"after alt", b"--m--")
EMBEDDED = lines(b"From: Outer <outer@remote.test>", b"Subject: embedded", b"MIME-Version: 1.0",
                 b'To: friends: a@x.org, "B" <b@y.org>;, carol@z.org', b"Cc: undisclosed-recipients:;",
                 b"Bcc: user, <@nowhere.test>",
                 b"Content-Type: multipart/mixed; boundary=o", b"",
                 b"--o", b"Content-Type: message/rfc822", b"Content-Description: forwarded", b"", SINGLE,
                 b"--o", b"Content-Type: message/rfc822", b"", MULTI,
                 b"--o", b"Content-Type: text/plain", b"", b"tail", b"--o--", b"")
# A message that is itself message/rfc822: its part 1 is the message it holds, 1.1 that message's first part.
FORWARD = lines(b"Subject: forward", b"Content-Type: message/rfc822", b"", MULTI)


def imaplib_fetch(client, uid, items):
    """imaplib's UID FETCH put back together as the server wrote it, then parsed: {item name: value}."""
    typ, data = client.uid("FETCH", uid, items)
    assert typ == "OK" and data[-1].endswith(b")"), data
    wire = b"".join(piece[0] + b"\r\n" + piece[1] if isinstance(piece, tuple) else piece for piece in data)
    number, values = parse(wire)
    assert isinstance(number, int) and len(values) % 2 == 0, wire
    return dict(zip(values[::2], values[1::2]))


def split_header(entity):
    end = entity.index(b"\r\n\r\n") + 4
    return entity[:end], entity[end:]


def test_sections_of_embedded_messages_at_every_depth(registered):
    port = installation(registered, routers=1)["imap"]
    server = registered.start().wait_ready()
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login(JOHN, "secret")
    for message in (EMBEDDED, FORWARD):
        assert client.append("INBOX", None, None, message)[0] == "OK"
    client.select("INBOX")

    # What each section must be, cut from the bytes by hand (RFC 3501 section 6.4.5).
    single_header, single_text = split_header(SINGLE)
    multi_header, multi_text = split_header(MULTI)
    deep_header, deep_text = split_header(DEEP)
    expected = {
        "1": SINGLE, "1.HEADER": single_header, "1.TEXT": single_text, "1.1": single_text,
        "1.MIME": b"Content-Type: message/rfc822\r\nContent-Description: forwarded\r\n\r\n",
        "1.HEADER.FIELDS (SUBJECT)": b"Subject: single\r\n\r\n", "1.2": b"",
        "2": MULTI, "2.HEADER": multi_header, "2.TEXT": multi_text, "2.MIME": b"Content-Type: message/rfc822\r\n\r\n",
        "2.1": multi_text.split(b"--m\r\n")[1].split(b"\r\n\r\n", 1)[1][:-2],
        "2.1.MIME": b"Content-Type: multipart/alternative; boundary=a\r\n\r\n",
        "2.1.1": b"alt text", "2.1.2": b"<p>alt</p>", "2.2": b"after alt", "2.2.MIME": b"Content-Type: text/plain\r\n\r\n",
        "2.1.3": DEEP, "2.1.3.HEADER": deep_header, "2.1.3.TEXT": deep_text,
        "2.1.3.MIME": b"Content-Type: message/rfc822\r\nContent-Description: deep one\r\n\r\n",
        "2.1.3.HEADER.FIELDS.NOT (FROM TO CONTENT-TYPE)": b"Subject: deep\r\n\r\n",
        "2.1.3.1": b"deep one", "2.1.3.2": b"deep two", "2.1.3.2.MIME": b"Content-Type: text/plain\r\n\r\n",
        "2.1.3.3": b"", "2.1.3.1.1": b"", "3": b"tail",
    }
    items = imaplib_fetch(client, "1", "(%s)" % " ".join("BODY.PEEK[%s]" % section for section in expected))
    got = {name[len("BODY["):-1]: value for name, value in items.items() if name.startswith("BODY[")}
    assert got == {section: value for section, value in expected.items()}
    assert "FLAGS" not in items
    # The same message one level up, and BINARY finding its parts the same way.
    forward = {"1." + section[2:]: expected[section] for section in expected if section.startswith("2.")}
    forward.update({"TEXT": MULTI, "1": MULTI, "1.MIME": b"Subject: forward\r\nContent-Type: message/rfc822\r\n\r\n"})
    items = imaplib_fetch(client, "2", "(%s BINARY.PEEK[1.1.3.2] BINARY.SIZE[1.2])" %
                          " ".join("BODY.PEEK[%s]" % section for section in forward))
    got = {name[len("BODY["):-1]: value for name, value in items.items() if name.startswith("BODY[")}
    assert got == forward and items["BINARY[1.1.3.2]"] == b"deep two" and items["BINARY.SIZE[1.2]"] == len(b"after alt")

    # ENVELOPE keeps groups between their start and end markers and names what an address lacks.
    typ, data = client.fetch("1", "ENVELOPE")
    outer = b'(("Outer" NIL "outer" "remote.test"))'
    assert typ == "OK" and data == [b'1 (ENVELOPE (NIL "embedded" %s %s %s ' % (outer, outer, outer) +
                                    b'((NIL NIL "friends" NIL)(NIL NIL "a" "x.org")("B" NIL "b" "y.org")(NIL NIL NIL NIL)'
                                    b'(NIL NIL "carol" "z.org")) ((NIL NIL "undisclosed-recipients" NIL)(NIL NIL NIL NIL)) '
                                    b'((NIL NIL "user" "unspecified-domain")(NIL NIL "unspecified-mailbox" "nowhere.test")) '
                                    b'NIL NIL))'], data

    # BODYSTRUCTURE tells the same story: each embedded message's size and lines are BODY[n]'s, its
    # envelope's subject and its parts are what the sections above hold.
    items = imaplib_fetch(client, "1", "(BODYSTRUCTURE ENVELOPE)")
    tree = Node(EMBEDDED, email.message_from_bytes(EMBEDDED))
    leaves = compare(items["BODYSTRUCTURE"], tree, [])
    assert [path for path, _ in leaves] == [[1], [2], [3]]
    one, two, three = items["BODYSTRUCTURE"][:3]
    assert one[:7] == [b"MESSAGE", b"RFC822", None, None, b"forwarded", b"7BIT", len(SINGLE)]
    assert one[7][1] == b"single" and one[8][:7] == [b"TEXT", b"PLAIN", [b"CHARSET", b"us-ascii"], None, None, b"7BIT",
                                                      len(single_text)]
    assert one[9] == SINGLE.count(b"\n") + 1 and two[6] == len(MULTI) and two[9] == MULTI.count(b"\n") + 1
    alternative = two[8][0]
    deep = alternative[2]
    assert alternative[3] == b"ALTERNATIVE" and deep[:7] == [b"MESSAGE", b"RFC822", None, None, b"deep one", b"7BIT", len(DEEP)]
    assert deep[7][1] == b"deep" and [part[6] for part in deep[8][:2]] == [len(b"deep one"), len(b"deep two")]
    assert deep[7][5] == [[None, None, b"Deep Team", None], [None, None, b"deep", b"remote.test"], [None, None, None, None]]
    assert three[6] == len(b"tail") and items["ENVELOPE"][1] == b"embedded"
    items = imaplib_fetch(client, "2", "BODYSTRUCTURE")
    assert items["BODYSTRUCTURE"][:7] == [b"MESSAGE", b"RFC822", None, None, None, b"7BIT", len(MULTI)]
    assert items["BODYSTRUCTURE"][8] == two[8] and items["BODYSTRUCTURE"][9] == two[9]
    client.logout()
    assert server.stop() == 0
