"""SEARCH over a known mailbox with imaplib and a raw socket: every key gives the right set (flags,
header fields as stored, bodies decoded from their transfer encoding and charset, dates by day, sizes,
sets, NOT, OR and lists), UID SEARCH answers UIDs, each refusal has its reply, a message whose file is
gone matches no key that reads it, and an empty folder answers 1:* with nothing. Searches in UTF-8
find header fields by their decoded text and addresses however they are written, in any case."""
import base64
import glob
import imaplib
import os
import smtplib

from conftest import WAIT, wait_for
from test_imap_mailboxes import JOHN, installation, login
from test_imap_server import created, installation as server_installation

MESSAGES = [
    b"From: Ann <ann@remote.test>\r\nTo: john@example.com\r\nCc: carl@remote.test\r\nSubject: Hello world\r\n"
    b"Date: Tue, 1 Dec 2026 10:00:00 +0000\r\nX-Tag: alpha\r\n\r\nplain body text\r\n",
    b"From: Bob <bob@remote.test>\r\nTo: john@example.com\r\nSubject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n"
    b"Date: 5 Dec 2026 23:30:00 -0800\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
    b"--b\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
    b"K=E4se und Br=F6t=\r\nchen\r\n--b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n"
    b"c2VjcmV0IHdvcmQ=\r\n--b--\r\n",
    b"From: carl@remote.test\r\nSubject: third\r\nBcc: hidden@remote.test\r\n\r\n" + b"x" * 2000 + b"\r\n",
]


def search(client, *criteria, uid=False):
    typ, data = client.uid("SEARCH", *criteria) if uid else client.search(None, *criteria)
    assert typ == "OK", data
    return data[0].decode().split()


def test_every_key_over_a_known_mailbox(registered):
    ports = installation(registered)
    registered.start().wait_ready()
    inbox = os.path.join(registered.store, "example.com", "john", "_In")
    # One at a time: the routers run side by side, and the expected sequence numbers are the sending order.
    with smtplib.SMTP("127.0.0.1", ports["smtp"], timeout=WAIT) as smtp:
        for n, message in enumerate(MESSAGES, 1):
            smtp.sendmail("a@remote.test", [JOHN], message)
            wait_for(lambda: len(glob.glob(os.path.join(inbox, "*.env"))) == n, "delivery %d" % n)

    client = imaplib.IMAP4("127.0.0.1", ports["imap"], timeout=WAIT)
    client.login(JOHN, "secret")
    client.select("INBOX")
    assert client.store("2", "+FLAGS", "(\\Draft \\Flagged)")[0] == "OK"
    assert client.store("3", "+FLAGS", "(\\Seen \\Answered)")[0] == "OK"
    expected = {
        ("ALL",): "1 2 3", ("UNDRAFT",): "1 3", ("DRAFT",): "2", ("FLAGGED",): "2", ("UNFLAGGED",): "1 3",
        ("SEEN",): "3", ("UNSEEN",): "1 2", ("ANSWERED",): "3", ("UNANSWERED",): "1 2", ("DELETED",): "",
        ("UNDELETED",): "1 2 3", ("NEW",): "1 2", ("OLD",): "", ("RECENT",): "1 2 3",
        ("KEYWORD", "x"): "", ("UNKEYWORD", "x"): "1 2 3",
        ("FROM", "ANN"): "1", ("FROM", "remote.test"): "1 2 3", ("TO", "john@"): "1 2", ("CC", "carl"): "1",
        ("BCC", "hidden"): "3", ("SUBJECT", "hello"): "1", ("SUBJECT", "=?utf-8?q?Gr"): "2",
        ("HEADER", "X-Tag", "ALPHA"): "1", ("HEADER", "x-tag", '""'): "1", ("HEADER", "Subject", '""'): "1 2 3",
        # The body decoded: a soft line break joined, the attachment not searched as text.
        ("BODY", "\"PLAIN BODY\""): "1", ("BODY", "secret"): "", ("BODY", "c2VjcmV0"): "",
        ("TEXT", "alpha"): "1", ("TEXT", "\"body text\""): "1",
        ("SENTBEFORE", "2-Dec-2026"): "1", ("SENTON", "5-Dec-2026"): "2", ("SENTSINCE", "2-Dec-2026"): "2",
        ("SINCE", "1-Jan-2026"): "1 2 3", ("BEFORE", "1-Jan-2026"): "", ("ON", "1-Jan-2000"): "",
        ("LARGER", "1000"): "3", ("SMALLER", "1000"): "1 2",
        ("UID", "2:*"): "2 3", ("2:3", "NOT", "3"): "2", ("1,3",): "1 3", ("*",): "3",
        ("NOT", "NOT", "DRAFT"): "2", ("OR", "FROM", "bob", "SEEN"): "2 3", ("OR", "(FROM ann SEEN)", "DRAFT"): "2",
        ("(FROM remote.test)", "(UNSEEN)"): "1 2",
    }
    for criteria, matches in expected.items():
        assert search(client, *criteria) == matches.split(), criteria
    assert search(client, "FROM", "bob")[0] == "2"
    # The body as text: "Brötchen" was split by a soft line break, and it was Latin-1 before it was UTF-8.
    assert search(client, "BODY", "tchen") == ["2"]
    client.literal = "Käse".encode()
    assert search(client, "BODY") == ["2"]
    client.literal = "Käse".encode()
    assert client.search("UTF-8", "BODY") == ("OK", [b"2"])
    uids = search(client, "ALL", uid=True)
    assert search(client, "DRAFT", uid=True) == [uids[1]]
    client.logout()

    raw = login(ports["imap"])
    raw.ask(b"SELECT INBOX")
    for command, reply in (
            (b"SEARCH CHARSET ISO-8859-1 TEXT x",
             b"t NO [BADCHARSET (US-ASCII UTF-8)] This server does not support searches with alternate character sets"),
            (b"SEARCH CHARSET", b"t BAD SEARCH command has CHARSET with no object"),
            (b"SEARCH CHARSET US-ASCII", b"t BAD SEARCH must have at least one argument"),
            (b"SEARCH FROB", b"t BAD SEARCH command has unrecognized key:  FROB"),
            (b"SEARCH SINCE", b't BAD SEARCH key "SINCE" missing date argument'),
            (b"SEARCH SINCE (x)", b't BAD SEARCH key "SINCE" illegally followed by a list'),
            (b"SEARCH ON 31-Feb-2026", b't BAD SEARCH key "ON" followed by invalid date (should be, for example, "15-Jun-2000")'),
            (b"SEARCH HEADER", b't BAD SEARCH key "HEADER" missing field-name argument'),
            (b"SEARCH SUBJECT", b't BAD SEARCH key "SUBJECT" missing string argument'),
            (b"SEARCH NOT", b't BAD SEARCH key "NOT" missing operand'),
            (b"SEARCH OR", b't BAD SEARCH key "OR" missing first operand'),
            (b"SEARCH OR SEEN", b't BAD SEARCH key "OR" missing second operand'),
            (b"SEARCH LARGER x", b't BAD SEARCH key "LARGER" missing numeric argument'),
            (b"SEARCH " + b"NOT " * 100 + b"ALL", b"t BAD SEARCH keys nested too deeply")):
        assert raw.ask(command) == [reply], command
    # The trace of X-DEBUG and the progress reports.
    assert raw.ask(b"X-DEBUG SEARCH") == [b"t OK X-DEBUG completed"]
    traced = raw.ask(b"UID SEARCH FROM ann")
    assert traced[:3] == [b"** Seaching message #1, ID %s" % uids[0].encode(), b"** Seaching message #2, ID %s" % uids[1].encode(),
                          b"** Seaching message #3, ID %s" % uids[2].encode()]
    assert traced[3:] == [b"* SEARCH %s" % uids[0].encode(), b"t OK SEARCH completed"]

    # A message whose file is gone matches no key that reads it; the others still work.
    first = sorted(glob.glob(os.path.join(inbox, "*.eml")))[0]
    os.remove(first)
    assert raw.ask(b"SEARCH TEXT plain")[3:] == [b"* SEARCH", b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH UNSEEN")[3:] == [b"* SEARCH 1 2", b"t OK SEARCH completed"]

    # An empty folder: 1:* names no message, and FETCH and SEARCH answer OK with nothing.
    assert created(raw.ask(b"CREATE Empty"))
    raw.ask(b"SELECT Empty")
    assert raw.ask(b"FETCH 1:* (FLAGS)") == [b"t OK FETCH completed"]
    assert raw.ask(b"SEARCH 1:*") == [b"* SEARCH", b"t OK SEARCH completed"]
    assert raw.ask(b"UID SEARCH ALL") == [b"* SEARCH", b"t OK SEARCH completed"]
    raw.ask(b"LOGOUT")
    raw.close()


def encoded(text, charset):
    return "=?%s?b?%s?=" % (charset, base64.b64encode(text.encode(charset)).decode())


# One address written four ways, display names and subjects in encoded words of several charsets
# (ISO-8859-13 is one only iconv knows by name), a body in Greek and Cyrillic capitals.
INTERNATIONAL = [
    "From: <user (x)@ (y) example.org>\r\nTo: %s <jm@example.net>\r\nSubject: %s\r\n\r\nnothing\r\n"
    % (encoded("Jörg Müller", "utf-8"), "=?iso-8859-1?q?=C4RGER_mit_der_Gr=F6=DFe?="),
    "From: user@example.org (John)\r\nCc: \"%s\" <ivan@example.ru>\r\nSubject: %s\r\nX-Note: %s\r\n\r\nbody\r\n"
    % (encoded("ИВАН ПЕТРОВ", "koi8-r"), encoded("GRÖSSE", "utf-8"), encoded("ŽALGIRIS", "iso-8859-13")),
    "From: \"John\" <USER@Example.org>\r\nSubject: plain\r\nMIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n%s\r\n"
    % base64.b64encode("ΣΟΦΊΑ und ΟΔΟΣ und ПРИВЕТ\r\n".encode()).decode(),
    "From: other@example.org\r\nReply-To: user@example.org\r\nSubject: %s\r\n\r\nx\r\n" % encoded("ПРИВЕТ", "koi8-r"),
]


def test_utf8_searches_of_decoded_headers_and_addresses(registered):
    ports = installation(registered)
    registered.start().wait_ready()
    inbox = os.path.join(registered.store, "example.com", "john", "_In")
    # One at a time: the routers run side by side, and the expected sequence numbers are the sending order.
    with smtplib.SMTP("127.0.0.1", ports["smtp"], timeout=WAIT) as smtp:
        for n, message in enumerate(INTERNATIONAL, 1):
            smtp.sendmail("a@remote.test", [JOHN], message.encode("ascii"))
            wait_for(lambda: len(glob.glob(os.path.join(inbox, "*.env"))) == n, "delivery %d" % n)

    client = imaplib.IMAP4("127.0.0.1", ports["imap"], timeout=WAIT)
    client.login(JOHN, "secret")
    client.select("INBOX")
    expected = {
        # The address with its comments and blanks taken out, in any case; the field as stored too.
        ("FROM", "user@example.org"): "1 2 3", ("FROM", "USER@EXAMPLE.ORG"): "1 2 3", ("FROM", "(x)@ (y)"): "1",
        ("FROM", "john"): "2 3", ("HEADER", "Reply-To", "User@Example.org"): "4", ("TO", "jm@example.net"): "1",
        # Encoded words decoded, Unicode case ignored, "ß" as "ss"; the encoded text as stored still found.
        ("TO", "jörg müller"): "1", ("TO", "JÖRG"): "1", ("CC", "иван"): "2", ("SUBJECT", "ärger"): "1",
        ("SUBJECT", "größe"): "1 2", ("SUBJECT", "GRÖSSE"): "1 2", ("SUBJECT", "=?iso-8859-1?q?"): "1",
        ("HEADER", "X-Note", "žalgiris"): "2", ("SUBJECT", "привет"): "4",
        # Bodies fold the same way: "ΟΔΟΣ" is "οδος" with its final sigma.
        ("BODY", "σοφία"): "3", ("BODY", "οδος"): "3", ("BODY", "ΣΟΦΊΑ"): "3", ("TEXT", "Привет"): "3 4",
        ("TEXT", "jörg"): "1",
    }
    for criteria, matches in expected.items():
        *keys, text = criteria
        client.literal = text.encode()
        typ, data = client.search("UTF-8", *keys)
        assert (typ, data[0].decode().split()) == ("OK", matches.split()), criteria
    client.logout()

    raw = login(ports["imap"])
    raw.ask(b"SELECT INBOX")
    assert raw.ask("SEARCH CHARSET utf-8 SUBJECT \"ÄRGER\" FROM user@example.org".encode()) == [b"* SEARCH 1", b"t OK SEARCH completed"]
    assert raw.ask('SEARCH CHARSET UTF-8 OR CC "ИВАН" BODY "привет"'.encode()) == [b"* SEARCH 2 3", b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH CHARSET US-ASCII FROM John") == [b"* SEARCH 2 3", b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH CHARSET KOI8-R SUBJECT x") == [
        b"t NO [BADCHARSET (US-ASCII UTF-8)] This server does not support searches with alternate character sets"]
    raw.ask(b"LOGOUT")
    raw.close()


def test_extended_results_and_the_saved_result(registered):
    """ESEARCH's RETURN options as RFC 4731's examples answer them, and "$" (RFC 5182) through FETCH,
    STORE, SEARCH and expunges, emptied by a failed SAVE and by SELECT."""
    port = server_installation(registered)
    registered.start().wait_ready()
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login(JOHN, "secret")
    for n in range(1, 7):
        flags = "(\\Seen)" if n in (1, 3) else None
        assert client.append("INBOX", flags, None, b"Subject: m%d\r\n\r\nbody %d\r\n" % (n, n))[0] == "OK"
    client.logout()

    raw = login(port)
    raw.ask(b"SELECT INBOX")
    uids = raw.ask(b"UID SEARCH ALL")[0].split()[2:]
    assert len(uids) == 6
    u = [int(x) for x in uids]
    assert raw.ask(b"SEARCH RETURN (MIN COUNT) UNSEEN", tag=b"A282") == [
        b'* ESEARCH (TAG "A282") MIN 2 COUNT 4', b"A282 OK SEARCH completed"]
    assert raw.ask(b"SEARCH RETURN () UNSEEN", tag=b"A283") == [b'* ESEARCH (TAG "A283") ALL 2,4:6', b"A283 OK SEARCH completed"]
    assert raw.ask(b"SEARCH RETURN (min max count all) UNSEEN") == [
        b'* ESEARCH (TAG "t") MIN 2 MAX 6 COUNT 4 ALL 2,4:6', b"t OK SEARCH completed"]
    assert raw.ask(b"UID SEARCH RETURN (MAX ALL) SEEN") == [
        b'* ESEARCH (TAG "t") UID MAX %d ALL %d,%d' % (u[2], u[0], u[2]), b"t OK SEARCH completed"]
    # Nothing found: COUNT says 0, MIN, MAX and ALL say nothing.
    assert raw.ask(b"SEARCH RETURN (MIN MAX COUNT ALL) DELETED") == [b'* ESEARCH (TAG "t") COUNT 0', b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH RETURN (MIN) DELETED") == [b'* ESEARCH (TAG "t")', b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH RETURN (FROB) ALL") == [b"t BAD SEARCH RETURN option unknown:  FROB"]
    assert raw.ask(b"SEARCH RETURN ALL") == [b"t BAD SEARCH RETURN must be followed by a list of options"]
    assert raw.ask(b"SEARCH RETURN (COUNT)") == [b"t BAD SEARCH must have at least one argument"]

    # SAVE alone answers only OK; "$" then names those messages in every command that takes a set.
    assert raw.ask(b"SEARCH $") == [b"* SEARCH", b"t OK SEARCH completed"]  # nothing saved yet
    assert raw.ask(b"SEARCH RETURN (SAVE) UNSEEN") == [b"t OK SEARCH completed"]
    assert raw.ask(b"FETCH $ (UID)") == [b"* %d FETCH (UID %d)" % (n, u[n - 1]) for n in (2, 4, 5, 6)] + [b"t OK FETCH completed"]
    assert raw.ask(b"UID FETCH $ (FLAGS)")[-1] == b"t OK FETCH completed"
    assert raw.ask(b"SEARCH $ NOT 4:5") == [b"* SEARCH 2 6", b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH OR $ 1") == [b"* SEARCH 1 2 4 5 6", b"t OK SEARCH completed"]
    assert raw.ask(b"UID SEARCH UID $") == [b"* SEARCH " + b" ".join(uids[n - 1] for n in (2, 4, 5, 6)), b"t OK SEARCH completed"]
    assert raw.ask(b"FETCH $,1 (UID)") == [b"t BAD Invalid character ('$') in message-set argument"]
    # "$" in the criteria of a SAVE is the result saved before; MIN and MAX alone save just themselves.
    assert raw.ask(b"SEARCH RETURN (SAVE MIN MAX) $ NOT 2") == [b'* ESEARCH (TAG "t") MIN 4 MAX 6', b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH $") == [b"* SEARCH 4 6", b"t OK SEARCH completed"]
    # By UID: after message 4 goes, "$" still names the old message 6, now number 5.
    assert raw.ask(b"STORE 4 +FLAGS.SILENT (\\Deleted)") == [b"t OK STORE completed"]
    assert raw.ask(b"EXPUNGE") == [b"* 4 EXPUNGE", b"t OK EXPUNGE completed"]
    assert raw.ask(b"FETCH $ (UID)") == [b"* 5 FETCH (UID %d)" % u[5], b"t OK FETCH completed"]
    assert raw.ask(b"STORE $ +FLAGS (\\Flagged)") == [b"* 5 FETCH (FLAGS (\\Flagged \\Recent))", b"t OK STORE completed"]
    # A SAVE that fails empties "$".
    assert raw.ask(b"SEARCH RETURN (SAVE) FROB") == [b"t BAD SEARCH command has unrecognized key:  FROB"]
    assert raw.ask(b"SEARCH $") == [b"* SEARCH", b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH RETURN (SAVE ALL) FLAGGED") == [b'* ESEARCH (TAG "t") ALL 5', b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH RETURN (SAVE FROB) ALL") == [b"t BAD SEARCH RETURN option unknown:  FROB"]
    assert raw.ask(b"SEARCH $") == [b"* SEARCH", b"t OK SEARCH completed"]
    # A new selection starts with nothing saved.
    assert raw.ask(b"SEARCH RETURN (SAVE) ALL") == [b"t OK SEARCH completed"]
    raw.ask(b"SELECT INBOX")
    assert raw.ask(b"FETCH $ (UID)") == [b"t OK FETCH completed"]
    raw.ask(b"LOGOUT")
    raw.close()


def test_sort_orders_by_every_key_with_base_subjects(registered):
    """SORT (RFC 5256) and SORT=DISPLAY (RFC 5957) through imaplib and raw: every key, REVERSE, display
    names or else the address, THREAD ORDEREDSUBJECT, base subjects with "Re:", "Fw:",
    "[blob]", "(fwd)" and "[Fwd: ...]" taken off and encoded words decoded, the internal date where
    the Date field is missing, ties in message order, UID SORT with search criteria, and refusals."""
    port = server_installation(registered)
    registered.start().wait_ready()
    messages = [  # subject, from, cc, date field, internal date, body length
        ("Re: [list] Hello", "Zed Carl <carl@remote.test>", None, "Tue, 1 Dec 2026 10:00:00 +0000", "05-Dec-2026 10:00:00 +0000", 10),
        ("hello (fwd)", "ann@remote.test", None, "Tue, 1 Dec 2026 09:00:00 -0200", "04-Dec-2026 10:00:00 +0000", 30),
        ("[Fwd: Apple]", "bob@remote.test", "zed@remote.test", None, "01-Jan-2020 10:00:00 +0000", 20),
        ("=?utf-8?q?=C3=84rger?=", "Dora <dora@remote.test>", None, "Mon, 30 Nov 2026 23:00:00 +0000", "06-Dec-2026 10:00:00 +0000", 50),
        ("RE: Fw: apple", "ann@remote.test", None, "Tue, 1 Dec 2026 10:00:00 +0000", "03-Dec-2026 10:00:00 +0000", 40),
    ]
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login(JOHN, "secret")
    sizes = []
    for subject, sender, cc, date, internal, length in messages:
        text = "Subject: %s\r\nFrom: %s\r\nTo: john@example.com\r\n" % (subject, sender)
        text += ("Cc: %s\r\n" % cc if cc else "") + ("Date: %s\r\n" % date if date else "") + "\r\n" + "x" * length + "\r\n"
        sizes.append(len(text))
        assert client.append("INBOX", None, '"%s"' % internal, text.encode())[0] == "OK"
    client.select("INBOX")
    expected = {
        "(SUBJECT)": "3 5 1 2 4", "(REVERSE SUBJECT)": "4 1 2 3 5", "(FROM)": "2 5 3 1 4", "(DATE)": "3 4 1 5 2",
        "(REVERSE ARRIVAL)": "4 1 2 5 3", "(DISPLAYFROM)": "2 5 3 4 1", "(REVERSE DISPLAYFROM)": "1 4 3 2 5",
        "(DISPLAYTO REVERSE ARRIVAL)": "4 1 2 5 3", "(CC SUBJECT)": "5 1 2 4 3", "(REVERSE DATE)": "2 1 5 4 3",
        "(SIZE)": " ".join(str(n) for _, n in sorted((size, n) for n, size in enumerate(sizes, 1))),
        "(TO REVERSE SIZE)": " ".join(str(n) for _, n in sorted((-size, n) for n, size in enumerate(sizes, 1))),
    }
    for criteria, order in expected.items():
        assert client.sort(criteria, "UTF-8", "ALL") == ("OK", [order.encode()]), criteria
    assert client.sort("(SUBJECT)", "US-ASCII", "2:4") == ("OK", [b"3 2 4"])
    assert client.store("1,4", "+FLAGS", "(\\Seen)")[0] == "OK"
    uids = search(client, "ALL", uid=True)
    assert client.uid("SORT", "(ARRIVAL)", "UTF-8", "SEEN") == ("OK", [(uids[0] + " " + uids[3]).encode()])
    # THREAD ORDEREDSUBJECT: one thread per base subject by sent date, threads by their first dates.
    assert client.thread("ORDEREDSUBJECT", "UTF-8", "ALL") == ("OK", [b"(3 5)(4)(1 2)"])
    reply = b"Subject: Re: hello\r\nFrom: eve@remote.test\r\nDate: Tue, 1 Dec 2026 09:30:00 +0000\r\n\r\nlate\r\n"
    assert client.append("INBOX", None, None, reply)[0] == "OK"
    client.noop()
    assert client.thread("ORDEREDSUBJECT", "UTF-8", "ALL") == ("OK", [b"(3 5)(4)(6 (1)(2))"])
    assert client.uid("THREAD", "ORDEREDSUBJECT", "UTF-8", "SEEN") == ("OK", [("(%s)(%s)" % (uids[3], uids[0])).encode()])
    assert client.thread("ORDEREDSUBJECT", "UTF-8", "DELETED") == ("OK", [b""])
    client.logout()

    raw = login(port)
    raw.ask(b"SELECT INBOX")
    for command, reply in (
            (b"SORT (FROB) UTF-8 ALL", b"t BAD SORT criterion unknown:  FROB"),
            (b"SORT (REVERSE) UTF-8 ALL", b"t BAD SORT criteria incomplete"),
            (b"SORT () UTF-8 ALL", b"t BAD SORT criteria incomplete"),
            (b"SORT (REVERSE REVERSE DATE) UTF-8 ALL", b"t BAD SORT criterion unknown:  REVERSE"),
            (b"SORT (SUBJECT) KOI8-R ALL",
             b"t NO [BADCHARSET (US-ASCII UTF-8)] This server does not support searches with alternate character sets"),
            (b"SORT SUBJECT UTF-8 ALL", b"t BAD First argument should be a list"),
            (b"SORT (SUBJECT) UTF-8", b"t BAD Third argument missing"),
            (b"SORT (SUBJECT) UTF-8 FROB", b"t BAD SEARCH command has unrecognized key:  FROB"),
            (b"THREAD FROB UTF-8 ALL", b"t BAD THREAD algorithm unknown:  FROB"),
            (b"THREAD (ORDEREDSUBJECT) UTF-8 ALL", b"t BAD First argument should be an atom"),
            (b"THREAD ORDEREDSUBJECT KOI8-R ALL",
             b"t NO [BADCHARSET (US-ASCII UTF-8)] This server does not support searches with alternate character sets")):
        assert raw.ask(command) == [reply], command
    assert raw.ask(b"SORT (DATE) utf-8 UNSEEN") == [b"* SORT 3 6 5 2", b"t OK SORT completed"]
    assert raw.ask(b"THREAD ORDEREDSUBJECT UTF-8 DELETED") == [b"* THREAD", b"t OK THREAD completed"]
    raw.ask(b"LOGOUT")
    raw.close()


def test_esort_and_thread_references(registered):
    """ESORT (RFC 5267) answers SORT RETURN with one ESEARCH line in sort order: MIN the first, MAX the
    last, ALL with ranges only where numbers go up by one, by UID too, and SAVE keeps what it names.
    THREAD REFERENCES (RFC 5256) links replies by References, else In-Reply-To, promotes the child of a
    missing parent, puts a "Re:" thread under its original by subject, orders siblings by sent date
    (the internal date without a Date field), and threads around a message the criteria leave out."""
    port = server_installation(registered)
    registered.start().wait_ready()
    messages = [  # Message-ID, other fields, subject, Date field (1 Dec 2026), internal date
        ("<1@t>", "", "Plans", "10:00", "01-Dec-2026 10:00:00 +0000"),
        ("<2@t>", "In-Reply-To: <1@t>\r\n", "Re: Plans", "11:00", "01-Dec-2026 11:00:00 +0000"),
        ("<3@t>", "References: <1@t>\r\n <2@t>\r\n", "Re: Plans", "12:00", "01-Dec-2026 12:00:00 +0000"),
        ("<4@t>", "References: <missing@t>\r\nIn-Reply-To: <missing@t>\r\n", "Lunch", "09:00", "01-Dec-2026 09:00:00 +0000"),
        ("<5@t>", "References: <1@t>\r\nIn-Reply-To: <4@t>\r\n", "Re: Plans", "10:30", "01-Dec-2026 10:30:00 +0000"),
        ("<6@t>", "", "Re: Lunch", "13:00", "01-Dec-2026 13:00:00 +0000"),
        (None, "", "Other", None, "30-Nov-2026 10:00:00 +0000"),
    ]
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login(JOHN, "secret")
    for message_id, fields, subject, date, internal in messages:
        text = "From: ann@remote.test\r\nSubject: %s\r\n" % subject + fields
        text += ("Message-ID: %s\r\n" % message_id if message_id else "") + ("Date: Tue, 1 Dec 2026 %s:00 +0000\r\n" % date if date else "")
        assert client.append("INBOX", None, '"%s"' % internal, (text + "\r\nbody\r\n").encode())[0] == "OK"
    client.logout()

    raw = login(port)
    raw.ask(b"SELECT INBOX")
    u = [int(uid) for uid in raw.ask(b"UID SEARCH ALL")[0].split()[2:]]
    assert u[2] == u[1] + 1
    assert raw.ask(b"SORT (DATE) UTF-8 ALL") == [b"* SORT 7 4 1 5 2 3 6", b"t OK SORT completed"]
    assert raw.ask(b"SORT RETURN (MIN MAX COUNT ALL) (DATE) UTF-8 ALL", tag=b"A1") == [
        b'* ESEARCH (TAG "A1") MIN 7 MAX 6 COUNT 7 ALL 7,4,1,5,2:3,6', b"A1 OK SORT completed"]
    assert raw.ask(b"UID SORT RETURN (MIN MAX COUNT ALL) (DATE) UTF-8 ALL") == [
        b'* ESEARCH (TAG "t") UID MIN %d MAX %d COUNT 7 ALL %d,%d,%d,%d,%d:%d,%d' % (u[6], u[5], u[6], u[3], u[0], u[4], u[1], u[2], u[5]),
        b"t OK SORT completed"]
    # RETURN () is ALL; numbers going down stay apart.
    assert raw.ask(b"sort return () (REVERSE DATE) UTF-8 ALL") == [b'* ESEARCH (TAG "t") ALL 6,3,2,5,1,4,7', b"t OK SORT completed"]
    assert raw.ask(b"SORT RETURN (COUNT MAX) (SUBJECT) US-ASCII SUBJECT plans") == [b'* ESEARCH (TAG "t") MAX 5 COUNT 4', b"t OK SORT completed"]
    assert raw.ask(b"SORT RETURN (MIN MAX COUNT ALL) (DATE) UTF-8 DELETED") == [b'* ESEARCH (TAG "t") COUNT 0', b"t OK SORT completed"]
    # SAVE keeps the messages named: with MIN alone the first in sort order, not the lowest number.
    assert raw.ask(b"SORT RETURN (SAVE MIN) (DATE) UTF-8 NOT 7") == [b'* ESEARCH (TAG "t") MIN 4', b"t OK SORT completed"]
    assert raw.ask(b"SEARCH $") == [b"* SEARCH 4", b"t OK SEARCH completed"]
    assert raw.ask(b"SORT RETURN (SAVE) (REVERSE DATE) UTF-8 SUBJECT plans") == [b"t OK SORT completed"]
    assert raw.ask(b"FETCH $ (UID)") == [b"* %d FETCH (UID %d)" % (n, u[n - 1]) for n in (1, 2, 3, 5)] + [b"t OK FETCH completed"]
    assert raw.ask(b"SORT RETURN (SAVE) (FROB) UTF-8 ALL") == [b"t BAD SORT criterion unknown:  FROB"]
    assert raw.ask(b"SEARCH $") == [b"* SEARCH", b"t OK SEARCH completed"]
    for command, reply in (
            (b"SORT RETURN (PARTIAL 1:2) (DATE) UTF-8 ALL", b"t BAD SORT RETURN option unknown:  PARTIAL"),
            (b"SORT RETURN ALL (DATE) UTF-8 ALL", b"t BAD SORT RETURN must be followed by a list of options"),
            (b"SORT RETURN (ALL) DATE UTF-8 ALL", b"t BAD First argument should be a list"),
            (b"SORT RETURN (ALL) (DATE) UTF-8", b"t BAD Third argument missing")):
        assert raw.ask(command) == [reply], command

    assert raw.ask(b"THREAD REFERENCES UTF-8 ALL") == [b"* THREAD (7)(4 6)(1 (5)(2 3))", b"t OK THREAD completed"]
    assert raw.ask(b"UID THREAD references UTF-8 ALL") == [
        b"* THREAD (%d)(%d %d)(%d (%d)(%d %d))" % (u[6], u[3], u[5], u[0], u[4], u[1], u[2]), b"t OK THREAD completed"]
    # Without message 2, message 3 still hangs below message 1 through its References.
    assert raw.ask(b"THREAD REFERENCES UTF-8 NOT 2") == [b"* THREAD (7)(4 6)(1 (5)(3))", b"t OK THREAD completed"]
    assert raw.ask(b"THREAD REFERENCES UTF-8 DELETED") == [b"* THREAD", b"t OK THREAD completed"]
    raw.ask(b"LOGOUT")
    raw.close()
