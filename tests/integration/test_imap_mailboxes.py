"""The selected mailbox over IMAP with messages delivered by the real SMTP server and routers:
SELECT and EXAMINE lines, STORE with flags that persist, what other sessions and deliveries show at
NOOP, CLOSE's expunge, message sets, subscriptions, and the relaying right an IMAP login grants."""
import imaplib
import os
import re
import smtplib
import time

from conftest import WAIT, admin, configure, free_port, wait_for
from test_imap_server import Raw, created

JOHN = "john@example.com"
SELECT_TAIL = [b"* OK [PERMANENTFLAGS (\\Answered \\Deleted \\Draft \\Flagged \\Seen \\*)] Permanent flags",
               b"* FLAGS (\\Answered \\Deleted \\Draft \\Flagged \\Seen)", b"t OK [READ-WRITE] SELECT completed"]


def installation(env, routers=2):
    """SMTP (relaying only for POP-before-SMTP) and IMAP on loopback, `routers` routers; returns the ports."""
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoTransports", 1)
    ports = {"smtp": free_port(), "imap": free_port()}
    configure(env, ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % ports["smtp"]),
              ("sys:smtp:0:pop3auth", "bool:true"), ("sys:pop3:0:enabled", "bool:false"),
              ("sys:imap4:0:ip", "127.0.0.1"), ("sys:imap4:0:port", "port:%d" % ports["imap"]),
              ("sys:routers", "i4:%d" % routers))
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", JOHN, "--password", "secret")
    return ports


def inbox_count(env):
    inbox = os.path.join(env.store, "example.com", "john", "_In")
    return len([name for name in os.listdir(inbox) if name.endswith(".env")])


def deliver(env, port, count, first=1):
    before = inbox_count(env)
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        for n in range(first, first + count):
            client.sendmail("a@remote.test", [JOHN], "Subject: %d\r\n\r\nbody %d\r\n" % (n, n))
    wait_for(lambda: inbox_count(env) == before + count, "the deliveries")


def login(port):
    raw = Raw(port)
    assert raw.ask(b"LOGIN john@example.com secret") == [b"t OK LOGIN completed"]
    return raw


def relay(port):
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.ehlo("client.test")
        assert client.mail("a@example.com")[0] == 250
        return client.rcpt("x@remote.test")[0]


def test_select_store_updates_and_close_with_two_sessions(registered):
    ports = installation(registered)
    server = registered.start().wait_ready()
    assert relay(ports["smtp"]) == 571
    deliver(registered, ports["smtp"], 2)

    one = login(ports["imap"])
    assert relay(ports["smtp"]) == 250  # an IMAP password login grants relaying as a POP3 one does
    selected = one.ask(b"SELECT INBOX")
    assert selected[:4] == [b"* 2 EXISTS", b"* 2 RECENT", b"* OK [UNSEEN 1] Message 1 is first unread",
                            b"* OK [UIDNEXT 3] Predicted next message UID"]
    validity = re.fullmatch(rb"\* OK \[UIDVALIDITY (\d+)\] UID validity status", selected[4]).group(1)
    assert int(validity) > 0 and re.fullmatch(rb"\* OK \[MAILBOXID \(F[0-9a-f]{16}\)\] Ok", selected[5]) and selected[6:] == SELECT_TAIL
    assert one.ask(b"STORE 1 +FLAGS (\\Seen)") == [b"* 1 FETCH (FLAGS (\\Recent \\Seen))", b"t OK STORE completed"]
    assert one.ask(b"UID STORE 2 FLAGS.SILENT (\\Flagged)") == [b"t OK STORE completed"]
    assert one.ask(b"STORE 1 -FLAGS \\Seen \\Draft") == [b"* 1 FETCH (FLAGS (\\Recent))", b"t OK STORE completed"]
    assert one.ask(b"STORE 1 FLAGS (\\Seen \\Answered)") == [b"* 1 FETCH (FLAGS (\\Answered \\Recent \\Seen))",
                                                              b"t OK STORE completed"]
    for bad_set, reply in ((b"9", b"t BAD Message number (9) invalid.  Selected mailbox contains 2 messages."),
                           (b"0", b"t BAD Invalid message number (0)"), (b"1,,2", b"t BAD Invalid message-set element:  1,,2"),
                           (b"1x", b"t BAD Invalid character ('x') in message-set argument")):
        assert one.ask(b"STORE " + bad_set + b" FLAGS ()") == [reply]
    assert one.ask(b"UID STORE 0 FLAGS ()") == [b"t BAD Invalid UID"]
    assert one.ask(b"STORE 1 FLAGS (\\Recent)") == [b"t BAD STORE command may not be used to change the \\Recent flag"]
    assert one.ask(b"STORE 1 FLAGS (\\Bogus)") == [b"t BAD Unknown flag:  \\Bogus"]
    assert one.ask(b"STORE 1 FROBS (\\Seen)") == [b"t BAD STORE command has illegal second argument (data item):  FROBS"]

    # A second session sees what the first stored; its changes reach the first at NOOP.
    two = login(ports["imap"])
    assert two.ask(b"SELECT inbox")[:3] == [b"* 2 EXISTS", b"* 0 RECENT", b"* OK [UNSEEN 2] Message 2 is first unread"]
    assert two.ask(b"STORE 2 +FLAGS.SILENT (\\Deleted)") == [b"t OK STORE completed"]
    assert one.ask(b"NOOP") == [b"* 2 FETCH (UID 2 FLAGS (\\Deleted \\Flagged \\Recent))", b"t OK NOOP completed"]
    deliver(registered, ports["smtp"], 1, first=3)
    assert one.ask(b"NOOP") == [b"* 3 EXISTS", b"* 3 RECENT", b"t OK NOOP completed"]
    assert two.ask(b"CLOSE") == [b"t OK Folder closed"]
    assert two.ask(b"CHECK") == [b't BAD Command invalid in current context:  "CHECK"']
    assert one.ask(b"NOOP") == [b"* 2 EXPUNGE", b"t OK NOOP completed"]

    # EXAMINE shows a change but stores nothing; a missing folder leaves the session authenticated.
    examined = two.ask(b"EXAMINE INBOX")
    assert b"* OK [PERMANENTFLAGS ()] No permanent flag changes permitted" in examined
    assert examined[-1] == b"t OK [READ-ONLY] EXAMINE completed"
    assert two.ask(b"STORE 2 +FLAGS (\\Answered)") == [b"* 2 FETCH (FLAGS (\\Answered))", b"t OK STORE completed"]
    assert one.ask(b"NOOP") == [b"t OK NOOP completed"]  # nothing was stored
    assert two.ask(b"UNSELECT") == [b"t OK UNSELECT completed"]
    assert two.ask(b"SELECT Nowhere") == [b"t NO No such folder exists"]
    assert two.ask(b"SELECT a/../b") == [b"t BAD Mailbox path is syntactically invalid"]
    assert two.ask(b"SELECT &Jjo") == [b"t BAD Unterminated modified UTF-7 sequence in mailbox path"]
    assert two.ask(b"UNSELECT") == [b't BAD Command invalid in current context:  "UNSELECT"']
    assert two.ask(b"SUBSCRIBE Archive") == [b"t OK SUBSCRIBE completed"]
    assert two.ask(b"SUBSCRIBE archive") == [b"t OK SUBSCRIBE completed"]  # already so: nothing to do
    assert two.ask(b"UNSUBSCRIBE Other") == [b"t OK UNSUBSCRIBE completed"]
    assert two.ask(b"SUBSCRIBE Other") == [b"t OK SUBSCRIBE completed"]
    assert two.ask(b"UNSUBSCRIBE ARCHIVE") == [b"t OK UNSUBSCRIBE completed"]
    with open(os.path.join(registered.store, "IMAP", JOHN, "SUBSCRIBE"), "rb") as f:
        assert f.read() == b"Other\r\n"
    for raw in (one, two):
        raw.ask(b"LOGOUT")
        raw.close()
    assert server.stop() == 0

    # Flags and UIDVALIDITY outlive the server; a message is recent to one session only, once, and
    # clearing its flags does not make it recent again.
    server = registered.start().wait_ready()
    client = imaplib.IMAP4("127.0.0.1", ports["imap"], timeout=WAIT)
    client.login(JOHN, "secret")
    assert client.select("INBOX") == ("OK", [b"2"])
    assert client.response("UIDVALIDITY")[1] == [validity]
    assert client.store("1", "FLAGS", "()")[1] == [b"1 (FLAGS ())"]
    client.close()
    assert client.select("INBOX")[0] == "OK"
    assert client.response("RECENT")[1] == [b"0"]
    client.logout()
    assert server.stop() == 0


def test_messages_from_two_routers_are_numbered_by_uid_and_expunged_from_the_top(registered):
    ports = installation(registered, routers=2)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 12)
    raw = login(ports["imap"])
    assert raw.ask(b"SELECT INBOX")[0] == b"* 12 EXISTS"
    lines = raw.ask(b"UID STORE 1:* +FLAGS (\\Flagged)")
    assert lines[-1] == b"t OK STORE completed"
    numbers = [re.fullmatch(rb"\* (\d+) FETCH \(UID (\d+) FLAGS \(\\Flagged \\Recent\)\)", line).groups() for line in lines[:-1]]
    assert numbers == [(b"%d" % n, b"%d" % n) for n in range(1, 13)]

    assert raw.ask(b"STORE 2,4,6 +FLAGS.SILENT (\\Deleted)") == [b"t OK STORE completed"]
    assert raw.ask(b"UID EXPUNGE 1:4") == [b"* 4 EXPUNGE", b"* 2 EXPUNGE", b"t OK EXPUNGE completed"]
    assert raw.ask(b"EXPUNGE") == [b"* 4 EXPUNGE", b"t OK EXPUNGE completed"]  # UID 6, now message 4
    assert raw.ask(b"EXAMINE INBOX")[0] == b"* 9 EXISTS"
    assert raw.ask(b"EXPUNGE") == [b"t NO EXPUNGE command invalid since current folder is read-only"]
    assert inbox_count(registered) == 9
    raw.close()
    assert server.stop() == 0


def test_append_streams_large_messages_and_refuses_before_inviting(registered):
    ports = installation(registered, routers=1)
    configure(registered, ("sys:imap4:maxmessagesize", "i4:4000000"))
    server = registered.start().wait_ready()
    watcher = login(ports["imap"])
    assert watcher.ask(b"SELECT INBOX")[0] == b"* 0 EXISTS"

    client = imaplib.IMAP4("127.0.0.1", ports["imap"], timeout=WAIT)
    client.login(JOHN, "secret")
    big = b"Subject: big\r\n\r\n" + b"0123456789abcdef" * 200_000 + b"\r\n"  # 3.2 MB: far past a command's limit
    typ, data = client.append("INBOX", "(\\Seen \\Flagged)", '"05-Dec-2026 10:00:00 +0100"', big)
    assert typ == "OK" and re.fullmatch(rb"\[APPENDUID \d+ 1\] APPEND completed", data[0]), data
    assert client.append("INBOX", None, None, b"Subject: small\r\n\r\nx\r\n")[1][0].endswith(b" 2] APPEND completed")
    client.logout()
    # Both are recent, the one APPENDed with flags too: what comes in is recent whatever its flags.
    assert watcher.ask(b"NOOP") == [b"* 2 EXISTS", b"* 2 RECENT", b"t OK NOOP completed"]
    with open(os.path.join(registered.store, "example.com", "john", "_In", "0000001.eml"), "rb") as f:
        assert f.read() == big

    raw = Raw(ports["imap"])
    raw.send(b"t APPEND INBOX {5}\r\n")
    assert raw.line() == b't NO Command invalid in current context:  "APPEND"'
    assert raw.ask(b"LOGIN john@example.com secret") == [b"t OK LOGIN completed"]
    raw.send(b"t APPEND Nowhere {5}\r\n")
    assert raw.line() == b"t NO [TRYCREATE] No such folder"  # never invited
    raw.send(b"t APPEND INBOX {5000000}\r\n")
    assert raw.line() == b"t NO [TOOBIG] Message too large"
    raw.send(b"t APPEND Nowhere {5+}\r\nt NOO\r\nu NOOP\r\n")  # the data is skipped, never run
    assert raw.line() == b"t NO [TRYCREATE] No such folder"
    assert raw.line() == b"u OK NOOP completed"
    assert raw.ask(b'APPEND INBOX "yesterday" {1+}\r\nx') == [b"t BAD Invalid date-time argument to APPEND"]
    assert raw.ask(b"APPEND INBOX (\\Seen)") == [b"t BAD Invalid argument to APPEND where message expected"]
    assert inbox_count(registered) == 2  # nothing refused was kept, not even its staged content
    inbox = os.path.join(registered.store, "example.com", "john", "_In")
    assert sorted(name for name in os.listdir(inbox) if not name.startswith("_")) == [
        "0000001.eml", "0000001.env", "0000002.eml", "0000002.env"]
    raw.close()
    watcher.close()
    assert server.stop() == 0


def test_folders_are_created_listed_renamed_and_deleted(registered):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 2)
    raw = login(ports["imap"])
    for name in (b"Archive", b"Archive/2025", b"Entw&APw-rfe", b"Drafts/"):
        assert created(raw.ask(b"CREATE " + name))
    assert raw.ask(b"CREATE archive") == [b"t NO This folder already exists"]
    assert raw.ask(b"CREATE INBOX") == [b't NO You may not create "Inbox".  This is an IMAP restriction.']
    assert raw.ask(b"CREATE #news") == [b"t NO You may not create a top-level folder with a name starting with '#'"]
    assert raw.ask(b"CREATE _In") == [b"t BAD Mailbox path is syntactically invalid"]
    assert raw.ask(b'LIST "" ""') == [b'* LIST (\\Noselect) "/" ""', b"t OK LIST completed"]
    listed = raw.ask(b'LIST "" *')
    # The store's Bayesian learning folders are public: every local user may put messages there.
    assert b'* LIST (\\Noselect \\HasChildren) "/" "Public Folders"' in listed
    assert b'* LIST (\\HasChildren) "/" "Public Folders/Bayesian Learn"' in listed
    # Listed but not readable: it takes COPY, and it opens read-only and empty for clients that open
    # every listed folder.
    assert raw.ask(b"SELECT INBOX")[-1] == b"t OK [READ-WRITE] SELECT completed"
    assert raw.ask(b'COPY 1 "Public Folders/Bayesian Learn/Spam"')[-1].startswith(b"t OK [COPYUID ")
    learn = raw.ask(b'SELECT "Public Folders/Bayesian Learn/Spam"')
    assert learn[:2] == [b"* 0 EXISTS", b"* 0 RECENT"] and learn[-1] == b"t OK [READ-ONLY] SELECT completed", learn
    assert raw.ask(b"FETCH 1:* FLAGS") == [b"t OK FETCH completed"]
    assert raw.ask(b"UNSELECT") == [b"t OK UNSELECT completed"]
    assert sorted(line for line in listed[:-1] if b"Public Folders" not in line) == sorted([b'* LIST (\\HasNoChildren) "/" "Inbox"', b'* LIST (\\HasChildren \\Archive) "/" "Archive"', b'* LIST (\\HasNoChildren) "/" "Archive/2025"',
                                          b'* LIST (\\HasNoChildren) "/" "Entw&APw-rfe"', b'* LIST (\\HasNoChildren \\Drafts) "/" "Drafts"'])
    assert raw.ask(b'LIST "" %')[:-1].count(b'* LIST (\\HasNoChildren) "/" "Archive/2025"') == 0
    assert raw.ask(b'LIST Archive/ %') == [b'* LIST (\\HasNoChildren) "/" "Archive/2025"', b"t OK LIST completed"]
    assert raw.ask(b"STATUS INBOX (MESSAGES UNSEEN uidnext)") == [b'* STATUS "INBOX" (MESSAGES 2 UNSEEN 2 UIDNEXT 3)',
                                                                   b"t OK STATUS completed"]
    assert raw.ask(b"STATUS Nowhere (MESSAGES)") == [b"t NO No such mailbox"]
    assert raw.ask(b"STATUS INBOX (SIZES)") == [b"t BAD Invalid STATUS item:  SIZES"]
    assert raw.ask(b"DELETE Archive") == [b"t NO This folder has sub-folders; delete them first"]
    assert raw.ask(b"RENAME Archive/2025 Archive/Old") == [b"t OK Folder renamed"]
    assert raw.ask(b"DELETE Archive/Old") == [b"t OK DELETE completed"]
    assert raw.ask(b"DELETE Archive") == [b"t OK DELETE completed"]
    assert raw.ask(b"DELETE INBOX") == [b't NO You may not delete "Inbox".  This is an IMAP restriction.']
    assert raw.ask(b"SUBSCRIBE Drafts") == [b"t OK SUBSCRIBE completed"]
    assert raw.ask(b"SUBSCRIBE Gone") == [b"t OK SUBSCRIBE completed"]
    assert raw.ask(b'LSUB "" *') == [b'* LSUB () "/" "Drafts"', b'* LSUB (\\Noselect) "/" "Gone"', b"t OK LSUB completed"]
    # COPY answers with compact UID sets; a missing target asks the client to create it.
    assert raw.ask(b"SELECT INBOX")[0] == b"* 2 EXISTS"
    copied = raw.ask(b"COPY 1:2 Drafts")
    assert re.fullmatch(rb"t OK \[COPYUID \d+ 1:2 1:2\] COPY completed", copied[-1]), copied
    assert raw.ask(b"UID COPY 2 Drafts")[-1].endswith(b" 2 3] COPY completed")
    assert raw.ask(b"COPY 1 Nowhere") == [b"t NO [TRYCREATE] No such folder"]
    # Into the selected folder itself: a new message, announced before the reply.
    into_self = raw.ask(b"COPY 1 INBOX")
    assert into_self[0] == b"* 3 EXISTS" and re.fullmatch(rb"t OK \[COPYUID \d+ 1 3\] COPY completed", into_self[-1]), into_self
    assert raw.ask(b"STATUS Drafts (MESSAGES)") == [b'* STATUS "Drafts" (MESSAGES 3)', b"t OK STATUS completed"]
    assert raw.ask(b"UNSELECT") == [b"t OK UNSELECT completed"]
    # Renaming INBOX moves its messages and keeps it.
    assert raw.ask(b"RENAME INBOX Old") == [b"t OK Inbox contents moved to new folder"]
    assert raw.ask(b"SELECT Old")[0] == b"* 3 EXISTS"
    assert raw.ask(b"SELECT INBOX")[0] == b"* 0 EXISTS"
    assert raw.ask(b"DELETE INBOX") == [b't NO You may not delete "Inbox".  This is an IMAP restriction.']
    raw.close()
    assert server.stop() == 0


def test_folder_tree_lists_children_matches_wildcards_moves_by_rename_and_carries_subscriptions(registered):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 2)
    raw = login(ports["imap"])
    for name in (b"a/b/c", b"a/x", b"Trash", b"Entw&APw-rfe/Alt"):
        assert created(raw.ask(b"CREATE " + name))
    assert raw.ask(b"SELECT INBOX")[0] == b"* 2 EXISTS"
    assert raw.ask(b"COPY 1:2 a/b")[-1].startswith(b"t OK [COPYUID ")
    assert raw.ask(b"UNSELECT") == [b"t OK UNSELECT completed"]
    status = raw.ask(b"STATUS a/b (MESSAGES UIDNEXT UIDVALIDITY)")
    validity = re.fullmatch(rb'\* STATUS "a/b" \(MESSAGES 2 UIDNEXT 3 UIDVALIDITY (\d+)\)', status[0]).group(1)

    # Every line says whether the folder has children; the inbox never has any.
    def mine(pattern):
        lines = raw.ask(b'LIST "" ' + pattern)
        assert lines[-1] == b"t OK LIST completed", lines
        return [line for line in lines[:-1] if b"Public Folders" not in line]
    assert mine(b"%") == [b'* LIST (\\HasNoChildren) "/" "Inbox"', b'* LIST (\\HasChildren) "/" "a"',
                          b'* LIST (\\HasChildren) "/" "Entw&APw-rfe"', b'* LIST (\\HasNoChildren \\Trash) "/" "Trash"']
    # "*" crosses levels wherever it stands, "%" never does.
    assert mine(b"*/%") == [b'* LIST (\\HasChildren) "/" "a/b"', b'* LIST (\\HasNoChildren) "/" "a/b/c"',
                            b'* LIST (\\HasNoChildren) "/" "a/x"', b'* LIST (\\HasNoChildren) "/" "Entw&APw-rfe/Alt"']
    assert mine(b"%/%") == [b'* LIST (\\HasChildren) "/" "a/b"', b'* LIST (\\HasNoChildren) "/" "a/x"',
                            b'* LIST (\\HasNoChildren) "/" "Entw&APw-rfe/Alt"']
    assert mine(b"a*c") == [b'* LIST (\\HasNoChildren) "/" "a/b/c"']
    assert mine(b"%c") == [] and mine(b"%/%/%") == [b'* LIST (\\HasNoChildren) "/" "a/b/c"']
    assert mine(b"A%%/%") == [b'* LIST (\\HasChildren) "/" "a/b"', b'* LIST (\\HasNoChildren) "/" "a/x"']

    # A level above a subscription shows as \Noselect where "%" stops at it.
    for name in (b"a/b", b"a/b/c", b"Entw&APw-rfe/Alt", b"Gone"):
        assert raw.ask(b"SUBSCRIBE " + name) == [b"t OK SUBSCRIBE completed"]
    assert raw.ask(b'LSUB "" %') == [b'* LSUB (\\Noselect) "/" "a"', b'* LSUB (\\Noselect) "/" "Entw&APw-rfe"',
                                     b'* LSUB (\\Noselect) "/" "Gone"', b"t OK LSUB completed"]
    assert raw.ask(b'LSUB "" a/%') == [b'* LSUB () "/" "a/b"', b"t OK LSUB completed"]
    assert raw.ask(b'LSUB "" *') == [b'* LSUB () "/" "a/b"', b'* LSUB () "/" "a/b/c"', b'* LSUB () "/" "Entw&APw-rfe/Alt"',
                                     b'* LSUB (\\Noselect) "/" "Gone"', b"t OK LSUB completed"]

    # RENAME moves a folder under another parent with its children, messages and UIDs.
    assert raw.ask(b"RENAME a/b Trash/b") == [b"t OK Folder renamed"]
    assert raw.ask(b"STATUS Trash/b (MESSAGES UIDNEXT UIDVALIDITY)") == [
        b'* STATUS "Trash/b" (MESSAGES 2 UIDNEXT 3 UIDVALIDITY ' + validity + b")", b"t OK STATUS completed"]
    assert mine(b"*") == [b'* LIST (\\HasNoChildren) "/" "Inbox"', b'* LIST (\\HasChildren) "/" "a"',
                          b'* LIST (\\HasNoChildren) "/" "a/x"', b'* LIST (\\HasChildren) "/" "Entw&APw-rfe"',
                          b'* LIST (\\HasNoChildren) "/" "Entw&APw-rfe/Alt"', b'* LIST (\\HasChildren \\Trash) "/" "Trash"',
                          b'* LIST (\\HasChildren) "/" "Trash/b"', b'* LIST (\\HasNoChildren) "/" "Trash/b/c"']
    # Missing levels above the new name are made; the subscriptions follow, as the client wrote them.
    assert raw.ask(b"RENAME Entw&APw-rfe Archiv/Entw&APw-rfe") == [b"t OK Folder renamed"]
    assert mine(b"Archiv*") == [b'* LIST (\\HasChildren) "/" "Archiv"', b'* LIST (\\HasChildren) "/" "Archiv/Entw&APw-rfe"',
                                b'* LIST (\\HasNoChildren) "/" "Archiv/Entw&APw-rfe/Alt"']
    subscriptions = os.path.join(registered.store, "IMAP", JOHN, "SUBSCRIBE")
    with open(subscriptions, "rb") as f:
        assert f.read() == b"Trash/b\r\nTrash/b/c\r\nArchiv/Entw&APw-rfe/Alt\r\nGone\r\n"

    # Refused: into itself, onto a name that is taken, into or out of the public tree, around the selection.
    assert raw.ask(b"RENAME Trash Trash/b/c/t") == [b"t NO [CANNOT] A folder can not be moved into itself"]
    assert raw.ask(b"RENAME a/x TRASH/B") == [b"t NO This folder already exists"]
    assert raw.ask(b"RENAME a/x inbox") == [b"t NO This folder already exists"]
    assert raw.ask(b"RENAME a/x INBOX/x") == [b"t NO [CANNOT] The inbox can not hold folders"]
    assert raw.ask(b'RENAME a/x "Public Folders/x"') == [b"t NO You may not create folders there"]
    assert raw.ask(b'RENAME "Public Folders/Bayesian Learn/Spam" Learned') == [
        b"t NO The specified folder is marked read-only.  You may not rename it."]
    assert raw.ask(b"SELECT Trash/b/c")[-1] == b"t OK [READ-WRITE] SELECT completed"
    assert raw.ask(b"RENAME Trash/b Old") == [b"t NO You may not move the folder that holds the selected folder"]
    assert raw.ask(b"UNSELECT") == [b"t OK UNSELECT completed"]
    assert mine(b"Trash/b") == [b'* LIST (\\HasChildren) "/" "Trash/b"']

    # DELETE takes the folder's subscription with it; the moved messages are where RENAME put them.
    assert raw.ask(b"DELETE Trash/b/c") == [b"t OK DELETE completed"]
    assert raw.ask(b"RENAME Trash/b b") == [b"t OK Folder renamed"]
    with open(subscriptions, "rb") as f:
        assert f.read() == b"b\r\nArchiv/Entw&APw-rfe/Alt\r\nGone\r\n"
    assert raw.ask(b"SELECT b")[0] == b"* 2 EXISTS"
    assert raw.ask(b"UID FETCH 1:* (UID)") == [b"* 1 FETCH (UID 1)", b"* 2 FETCH (UID 2)", b"t OK FETCH completed"]
    raw.close()
    assert server.stop() == 0


def test_idle_reports_deliveries_expunges_and_flags_as_they_happen(registered):
    ports = installation(registered)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 2)
    idler = login(ports["imap"])
    idler.ask(b"SELECT INBOX")
    other = login(ports["imap"])
    other.ask(b"SELECT INBOX")
    idler.send(b"i IDLE\r\n")
    assert idler.line() == b"+ idling"
    # Each change reaches the idling session without a command of its own (the socket's time-out bounds
    # the wait; nothing polls).
    deliver(registered, ports["smtp"], 1, first=3)
    assert [idler.line(), idler.line()] == [b"* 3 EXISTS", b"* 3 RECENT"]
    assert other.ask(b"STORE 1 +FLAGS.SILENT (\\Flagged)") == [b"t OK STORE completed"]
    assert re.fullmatch(rb"\* 1 FETCH \(UID \d+ FLAGS \(\\Flagged \\Recent\)\)", idler.line())
    assert other.ask(b"STORE 2 +FLAGS.SILENT (\\Deleted)") == [b"t OK STORE completed"]
    assert re.fullmatch(rb"\* 2 FETCH \(UID \d+ FLAGS \(\\Deleted \\Recent\)\)", idler.line())
    expunged = other.ask(b"EXPUNGE")
    assert expunged[0] == b"* 2 EXPUNGE" and expunged[-1] == b"t OK EXPUNGE completed"
    assert idler.line() == b"* 2 EXPUNGE"
    idler.send(b"DONE\r\n")
    assert idler.line() == b"i OK IDLE terminated"
    assert idler.ask(b"NOOP") == [b"t OK NOOP completed"]  # nothing was left to tell
    # A stop ends an idling session with its goodbye.
    idler.send(b"i IDLE\r\n")
    assert idler.line() == b"+ idling"
    other.close()
    assert server.stop() == 0
    assert idler.line() == b"* BYE [ALERT] Server shutting down immediately"
    idler.close()


def test_sessions_at_one_state_each_see_their_own_lines_through_store_expunge_and_delivery(registered):
    """Sessions of one user on one folder hold the same listing; what each shows of its own (\\Recent,
    flags under EXAMINE, QRESYNC's VANISHED) stays its own through another session's changes."""
    ports = installation(registered)
    registered.start().wait_ready()
    deliver(registered, ports["smtp"], 4)
    writer = login(ports["imap"])
    assert writer.ask(b"SELECT INBOX")[:2] == [b"* 4 EXISTS", b"* 4 RECENT"]
    reader = login(ports["imap"])
    assert reader.ask(b"EXAMINE INBOX")[:2] == [b"* 4 EXISTS", b"* 0 RECENT"]
    # Under EXAMINE a flag is shown to the session only.
    assert reader.ask(b"STORE 1,4 +FLAGS (\\Answered)") == [b"* 1 FETCH (FLAGS (\\Answered))", b"* 4 FETCH (FLAGS (\\Answered))",
                                                             b"t OK STORE completed"]
    other = login(ports["imap"])
    assert other.ask(b"ENABLE QRESYNC") == [b"* ENABLED QRESYNC", b"t OK ENABLE completed"]
    assert other.ask(b"SELECT INBOX")[:2] == [b"* 4 EXISTS", b"* 0 RECENT"]
    assert other.ask(b"STORE 2 +FLAGS.SILENT (\\Flagged)")[-1] == b"t OK STORE completed"
    assert other.ask(b"STORE 1 +FLAGS.SILENT ($Label1)")[-1] == b"t OK STORE completed"

    flag_lines = [b"* FLAGS (\\Answered \\Deleted \\Draft \\Flagged \\Seen $Label1)"]
    assert writer.ask(b"NOOP") == [b"* OK [PERMANENTFLAGS (\\Answered \\Deleted \\Draft \\Flagged \\Seen \\*)] Permanent flags"] + flag_lines + [
        b"* 1 FETCH (UID 1 FLAGS (\\Recent $Label1))", b"* 2 FETCH (UID 2 FLAGS (\\Flagged \\Recent))", b"t OK NOOP completed"]
    # A message whose stored flags changed is shown as stored; one nobody touched keeps what the session showed.
    assert reader.ask(b"NOOP") == [b"* OK [PERMANENTFLAGS ()] No permanent flag changes permitted"] + flag_lines + [
        b"* 1 FETCH (UID 1 FLAGS ($Label1))", b"* 2 FETCH (UID 2 FLAGS (\\Flagged))", b"t OK NOOP completed"]

    assert other.ask(b"STORE 3 +FLAGS.SILENT (\\Deleted)")[-1] == b"t OK STORE completed"
    assert other.ask(b"EXPUNGE") == [b"* VANISHED 3", b"t OK EXPUNGE completed"]
    deliver(registered, ports["smtp"], 1, first=5)
    assert writer.ask(b"NOOP") == [b"* 3 EXPUNGE", b"* 4 EXISTS", b"* 4 RECENT", b"t OK NOOP completed"]
    assert reader.ask(b"NOOP") == [b"* 3 EXPUNGE", b"* 4 EXISTS", b"* 0 RECENT", b"t OK NOOP completed"]
    assert other.ask(b"NOOP") == [b"* 4 EXISTS", b"* 0 RECENT", b"t OK NOOP completed"]
    assert writer.ask(b"NOOP") == [b"t OK NOOP completed"]

    def flags(raw):
        answer = raw.ask(b"FETCH 1:* (UID FLAGS)")
        assert answer[-1] == b"t OK FETCH completed", answer
        return answer[:-1]

    assert flags(writer) == [b"* 1 FETCH (UID 1 FLAGS (\\Recent $Label1))", b"* 2 FETCH (UID 2 FLAGS (\\Flagged \\Recent))",
                             b"* 3 FETCH (UID 4 FLAGS (\\Recent))", b"* 4 FETCH (UID 5 FLAGS (\\Recent))"]
    assert flags(reader) == [b"* 1 FETCH (UID 1 FLAGS ($Label1))", b"* 2 FETCH (UID 2 FLAGS (\\Flagged))",
                             b"* 3 FETCH (UID 4 FLAGS (\\Answered))", b"* 4 FETCH (UID 5 FLAGS ())"]
    assert [line for line in flags(other) if b"MODSEQ" not in line] == []
    assert writer.ask(b"SEARCH RECENT") == [b"* SEARCH 1 2 3 4", b"t OK SEARCH completed"]
    assert reader.ask(b"UID SEARCH ANSWERED") == [b"* SEARCH 4", b"t OK SEARCH completed"]
    assert other.ask(b"UID SEARCH OR FLAGGED KEYWORD $Label1") == [b"* SEARCH 1 2", b"t OK SEARCH completed"]
    # A client that selects now sees the store as it is, nothing of the others' own.
    client = imaplib.IMAP4("127.0.0.1", ports["imap"], timeout=WAIT)
    client.login(JOHN, "secret")
    assert client.select("INBOX") == ("OK", [b"4"])
    assert client.response("RECENT")[1] == [b"0"]
    assert client.fetch("1:*", "(UID FLAGS)")[1] == [b"1 (UID 1 FLAGS ($Label1))", b"2 (UID 2 FLAGS (\\Flagged))",
                                                    b"3 (UID 4 FLAGS ())", b"4 (UID 5 FLAGS ())"]
    client.logout()
    for raw in (writer, reader, other):
        raw.close()


class TrackedView:
    """A session that keeps the message numbers the server told it of (EXISTS, EXPUNGE, VANISHED,
    the UIDs of FETCH lines) and checks that every line agrees with them."""

    def __init__(self, port, qresync=False):
        self.raw = login(port)
        if qresync:
            assert self.raw.ask(b"ENABLE QRESYNC")[-1] == b"t OK ENABLE completed"
        self.uids = []
        self.flags = {}
        self.ask(b"SELECT INBOX")

    def absorb(self, lines):
        for line in lines:
            if m := re.fullmatch(rb"\* (\d+) EXPUNGE", line):
                del self.uids[int(m.group(1)) - 1]
            elif m := re.fullmatch(rb"\* VANISHED ([\d:,]+)", line):
                gone = set()
                for part in m.group(1).split(b","):
                    low, _, high = part.partition(b":")
                    gone.update(range(int(low), int(high or low) + 1))
                assert gone <= set(self.uids), (gone, self.uids)
                self.uids = [uid for uid in self.uids if uid not in gone]
            elif m := re.fullmatch(rb"\* (\d+) EXISTS", line):
                count = int(m.group(1))
                assert count >= len(self.uids), (line, self.uids)
                self.uids += [None] * (count - len(self.uids))
            elif m := re.fullmatch(rb"\* (\d+) FETCH \((.*)\)", line):
                number, items = int(m.group(1)), m.group(2)
                uid = re.search(rb"UID (\d+)", items)
                if uid:
                    known = self.uids[number - 1]
                    assert known in (None, int(uid.group(1))), (line, self.uids)
                    self.uids[number - 1] = int(uid.group(1))
                flags = re.search(rb"FLAGS \(([^)]*)\)", items)
                if flags and self.uids[number - 1] is not None:
                    self.flags[self.uids[number - 1]] = set(flags.group(1).split()) - {b"\\Recent"}

    def ask(self, command):
        lines = self.raw.ask(command)
        assert lines[-1].startswith(b"t OK"), (command, lines)
        self.absorb(lines)
        # Numbers the server named without their UIDs are asked for; numbers always follow UIDs.
        missing = [n for n, uid in enumerate(self.uids, 1) if uid is None]
        if missing:
            self.absorb(self.raw.ask(b"FETCH %d:%d (UID FLAGS)" % (missing[0], missing[-1])))
        assert None not in self.uids and self.uids == sorted(set(self.uids)), self.uids
        return lines


def test_sessions_stay_in_step_while_others_store_expunge_and_deliver_at_once(registered):
    """Sessions of one user change one folder from several threads while mail arrives; each session's
    numbers, UIDs and flags, kept from the lines it was sent, end equal to the store's."""
    import random
    import threading

    ports = installation(registered)
    registered.start().wait_ready()
    deliver(registered, ports["smtp"], 30)
    views = [TrackedView(ports["imap"], qresync=n % 2 == 1) for n in range(4)]
    failures = []

    def work(view, seed):
        chance = random.Random(seed)
        try:
            for _ in range(40):
                if not view.uids:
                    view.ask(b"NOOP")
                    continue
                n = chance.randrange(len(view.uids)) + 1
                flag = chance.choice([b"\\Flagged", b"\\Answered", b"$Label%d" % chance.randrange(3)])
                # Never silent: the flags each session was shown are all it knows.
                view.ask(chance.choice([b"STORE %d +FLAGS (%s)" % (n, flag), b"STORE %d -FLAGS (%s)" % (n, flag),
                                        b"UID STORE %d +FLAGS (%s)" % (view.uids[n - 1], flag), b"NOOP",
                                        b"FETCH %d (UID FLAGS)" % n, b"STORE %d +FLAGS (\\Deleted)" % n]))
                if chance.randrange(8) == 0:
                    view.ask(b"EXPUNGE")
        except BaseException as error:  # the assertion is reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=work, args=(view, n)) for n, view in enumerate(views)]
    for thread in threads:
        thread.start()
    # Not `deliver`: the sessions expunge meanwhile, so the inbox's count tells nothing.
    with smtplib.SMTP("127.0.0.1", ports["smtp"], timeout=WAIT) as client:
        for n in range(31, 41):
            client.sendmail("a@remote.test", [JOHN], "Subject: %d\r\n\r\nbody %d\r\n" % (n, n))
    status = login(ports["imap"])
    wait_for(lambda: status.ask(b"STATUS INBOX (UIDNEXT)")[0].endswith(b"(UIDNEXT 41)"), "the deliveries")
    status.close()
    for thread in threads:
        thread.join(timeout=120)
    assert not failures, failures
    fresh = TrackedView(ports["imap"])
    fresh.ask(b"FETCH 1:* (UID FLAGS)")
    for view in views:
        view.ask(b"NOOP")
        assert view.uids == fresh.uids
        stale = {uid: flags for uid, flags in view.flags.items() if uid in fresh.flags and flags != fresh.flags[uid]}
        assert not stale, stale
        view.raw.close()
    fresh.raw.close()


def test_flags_stored_by_one_session_survive_anothers_stale_view(registered):
    ports = installation(registered)
    registered.start().wait_ready()
    deliver(registered, ports["smtp"], 2)
    stale = login(ports["imap"])
    stale.ask(b"SELECT INBOX")
    other = login(ports["imap"])
    other.ask(b"SELECT INBOX")
    assert other.ask(b"STORE 1:2 +FLAGS.SILENT (\\Flagged)") == [b"t OK STORE completed"]
    # The stale session has not looked since; its \Seen (by FETCH) and \Answered (by STORE) are added to
    # what is stored, not written over it, and what it learns on the way is shown.
    fetched = stale.ask(b"FETCH 1 (BODY.PEEK[]<0.1> BODY[]<0.1>)")
    assert fetched[-3:] == [b"R FLAGS (\\Recent \\Seen))", b"* 1 FETCH (UID 1 FLAGS (\\Flagged \\Recent \\Seen))",
                            b"t OK FETCH completed"], fetched
    assert stale.ask(b"STORE 2 +FLAGS (\\Answered)") == [b"* 2 FETCH (FLAGS (\\Answered \\Flagged \\Recent))",
                                                          b"t OK STORE completed"]
    assert stale.ask(b"STORE 2 -FLAGS (\\Answered)") == [b"* 2 FETCH (FLAGS (\\Flagged \\Recent))", b"t OK STORE completed"]
    third = login(ports["imap"])
    third.ask(b"SELECT INBOX")
    assert third.ask(b"FETCH 1:2 FLAGS") == [b"* 1 FETCH (FLAGS (\\Flagged \\Seen))", b"* 2 FETCH (FLAGS (\\Flagged))",
                                             b"t OK FETCH completed"]
    for raw in (stale, other, third):
        raw.close()


def test_move_enable_and_non_synchronising_literals(registered):
    ports = installation(registered)
    registered.start().wait_ready()
    deliver(registered, ports["smtp"], 3)
    raw = login(ports["imap"])
    # Only what is offered is enabled, each once.
    assert raw.ask(b"ENABLE CONDSTORE UTF8=ACCEPT XYZ") == [b"* ENABLED CONDSTORE UTF8=ACCEPT", b"t OK ENABLE completed"]
    assert raw.ask(b"ENABLE CONDSTORE utf8=accept") == [b"* ENABLED", b"t OK ENABLE completed"]
    assert created(raw.ask(b"CREATE Archive"))
    raw.ask(b"SELECT INBOX")
    assert raw.ask(b"ENABLE CONDSTORE") == [b't BAD Command invalid in current context:  "ENABLE"']
    validity = re.search(rb"UIDVALIDITY (\d+)", b" ".join(raw.ask(b"STATUS Archive (UIDVALIDITY)"))).group(1)
    # Every copy is safe before an original goes: COPYUID, then the expunges from the highest down.
    assert raw.ask(b"UID MOVE 1:2 Archive") == [b"* OK [COPYUID %s 1:2 1:2] Messages copied" % validity, b"* 2 EXPUNGE",
                                                 b"* 1 EXPUNGE", b"t OK MOVE completed"]
    archive = os.path.join(registered.store, "example.com", "john", "Archive")
    assert len([name for name in os.listdir(archive) if name.endswith(".env")]) == 2 and inbox_count(registered) == 1
    assert raw.ask(b"MOVE 1 Nowhere") == [b"t NO [TRYCREATE] No such folder"]
    moved = raw.ask(b"MOVE 1 INBOX")
    assert re.fullmatch(rb"\* OK \[COPYUID \d+ 3 \d+\] Messages copied", moved[0]) and moved[1:] == [
        b"* 1 EXPUNGE", b"* 1 EXISTS", b"* 1 RECENT", b"t OK MOVE completed"], moved
    raw.ask(b"EXAMINE INBOX")
    assert raw.ask(b"MOVE 1 Archive") == [b"t NO MOVE command invalid since current folder is read-only"]
    assert inbox_count(registered) == 1
    # A non-synchronising literal of 4096 bytes is taken; one byte more ends the session.
    message = b"Subject: literal\r\n\r\n" + b"x" * (4096 - 22) + b"\r\n"
    assert len(message) == 4096
    assert raw.ask(b"APPEND Archive {4096+}\r\n" + message)[-1].endswith(b"APPEND completed")
    raw.send(b"t APPEND Archive {4097+}\r\n")
    assert raw.line() == b"t BAD [TOOBIG] Literal too large"
    assert raw.line() == b"* BYE [TOOBIG] Literal too large"
    assert raw.closed()
    raw.close()


def test_special_use_comes_from_create_or_the_name_and_outlives_the_server(registered):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    raw = login(ports["imap"])
    for name in (b'"Sent Items"', b"trash", b"Spam", b"Archive", b"Notes", b"Notes/Sent"):
        assert created(raw.ask(b"CREATE " + name))
    assert created(raw.ask(b"CREATE Outbox (USE (\\Sent))"))
    assert created(raw.ask(b"CREATE Notes/Bin (use (\\trash))"))  # any case; below the top too
    assert created(raw.ask(b"CREATE Drafts (USE ())"))  # no use asked for: the name's
    # Refused before anything is made.
    assert raw.ask(b"CREATE X (USE (\\Flagged))") == [b"t NO [USEATTR] \\Flagged is not supported"]
    assert raw.ask(b"CREATE X (USE (\\All))") == [b"t NO [USEATTR] \\All is not supported"]
    assert raw.ask(b"CREATE X (USE (\\Sent \\Trash))")[0].startswith(b"t NO [USEATTR] ")
    for bad in (b"(FOO)", b"FOO", b"(USE \\Sent)", b"(USE (Sent))", b"(USE (\\Sent) FOO)", b'(USE ("\\Sent"))'):
        assert raw.ask(b"CREATE Y " + bad) == [b"t BAD Invalid CREATE parameters"], bad
    assert raw.ask(b"CREATE Y (USE (\\Sent)) (FOO)") == [b"t BAD Third argument should not appear"]
    assert raw.ask(b"CREATE Outbox (USE (\\Sent))") == [b"t NO This folder already exists"]

    expected = sorted([b'* LIST (\\HasNoChildren) "/" "Inbox"', b'* LIST (\\HasNoChildren \\Sent) "/" "Sent Items"',
                       b'* LIST (\\HasNoChildren \\Trash) "/" "trash"', b'* LIST (\\HasNoChildren \\Junk) "/" "Spam"',
                       b'* LIST (\\HasNoChildren \\Archive) "/" "Archive"', b'* LIST (\\HasChildren) "/" "Notes"',
                       b'* LIST (\\HasNoChildren) "/" "Notes/Sent"', b'* LIST (\\HasNoChildren \\Trash) "/" "Notes/Bin"',
                       b'* LIST (\\HasNoChildren \\Sent) "/" "Outbox"', b'* LIST (\\HasNoChildren \\Drafts) "/" "Drafts"'])

    def listed():
        lines = raw.ask(b'LIST "" *')
        assert lines[-1] == b"t OK LIST completed"
        public = [line for line in lines[:-1] if b"Public Folders" in line]
        # The public folders keep their names' attributes to themselves: "Spam" there is no \Junk.
        assert b'* LIST (\\Noselect \\HasChildren) "/" "Public Folders"' in public
        assert b'* LIST (\\HasNoChildren) "/" "Public Folders/Bayesian Learn/Spam"' in public
        assert all(line.startswith((b"* LIST (\\HasChildren) ", b"* LIST (\\HasNoChildren) ", b"* LIST (\\Noselect \\HasChildren) "))
                   for line in public), public
        return sorted(line for line in lines[:-1] if b"Public Folders" not in line)

    assert listed() == expected
    assert b"X" not in os.listdir(os.path.join(registered.store, "example.com", "john"))
    assert raw.ask(b"SELECT X") == [b"t NO No such folder exists"]
    assert raw.ask(b"SELECT Y") == [b"t NO No such folder exists"]
    assert raw.ask(b"SUBSCRIBE Outbox") == [b"t OK SUBSCRIBE completed"]
    assert raw.ask(b'LSUB "" *') == [b'* LSUB () "/" "Outbox"', b"t OK LSUB completed"]
    raw.close()
    assert server.stop() == 0

    # The use CREATE gave is stored with the folder; a rename keeps it, a name's use goes with the name.
    server = registered.start().wait_ready()
    raw = login(ports["imap"])
    assert listed() == expected
    assert raw.ask(b"RENAME Outbox Gone") == [b"t OK Folder renamed"]
    assert raw.ask(b'RENAME "Sent Items" Old') == [b"t OK Folder renamed"]
    assert raw.ask(b'LIST "" Gone') == [b'* LIST (\\HasNoChildren \\Sent) "/" "Gone"', b"t OK LIST completed"]
    assert raw.ask(b'LIST "" Old') == [b'* LIST (\\HasNoChildren) "/" "Old"', b"t OK LIST completed"]
    raw.close()
    assert server.stop() == 0


def public_folder(env, name, rights, messages_from):
    """A public folder granting john `rights`, holding copies of the files of john's inbox."""
    import shutil
    from cfgfile import VT_BSTR, VT_EMPTY, decode, encode
    learn = os.path.join(env.store, "Bayesian Learn")
    records = [r for r in decode(open(os.path.join(learn, "_Bayesian Learn"), "rb").read()) if "Members:" not in r[0]]
    records.append(("_ACL:Members:" + JOHN, VT_BSTR, rights))
    if not any(key == "_ACL:Members" for key, _, _ in records):
        records[-1:-1] = [("_ACL", VT_EMPTY, None), ("_ACL:Members", VT_EMPTY, None)]
    folder = os.path.join(env.store, name)
    os.makedirs(folder)
    with open(os.path.join(folder, "_" + name), "wb") as f:
        f.write(encode(records))
    open(os.path.join(folder, "_uid"), "wb").close()
    for file in os.listdir(messages_from):
        if file.endswith((".env", ".eml")):
            shutil.copy(os.path.join(messages_from, file), folder)
    return folder


def test_rights_uid_order_validity_and_vanished_messages(registered):
    ports = installation(registered, routers=4)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 2)
    inbox = os.path.join(registered.store, "example.com", "john", "_In")

    # A user who may write flags but not delete: \Deleted stays the session's own, and CLOSE removes
    # nothing (it emptied the folder before).
    shared = public_folder(registered, "Shared", "lrw", inbox)
    raw = login(ports["imap"])
    selected = raw.ask(b'SELECT "Public Folders/Shared"')
    assert b"* OK [PERMANENTFLAGS (\\Answered \\Draft \\Flagged \\*)] Permanent flags" in selected, selected
    assert raw.ask(b"STORE 1:* +FLAGS (\\Deleted)")[-1] == b"t OK STORE completed"
    assert raw.ask(b"CLOSE") == [b"t OK Folder closed"]
    assert len([f for f in os.listdir(shared) if f.endswith(".env")]) == 2

    # UIDs in publication order: four routers deliver while an APPEND's literal is half sent; an idle
    # session sees EXISTS only grow, and UID FETCH from the old UIDNEXT finds every new message, the
    # APPEND's (published last) highest.
    watcher = login(ports["imap"])
    before = watcher.ask(b"SELECT INBOX")
    uidnext = int(re.search(rb"UIDNEXT (\d+)", b" ".join(before)).group(1))
    appender = login(ports["imap"])
    message = b"Subject: slow\r\n\r\n" + b"y" * 1000 + b"\r\n"
    appender.send(b"a APPEND INBOX {%d}\r\n" % len(message))
    assert appender.line().startswith(b"+ ")
    appender.send(message[:500])
    exists = []
    with smtplib.SMTP("127.0.0.1", ports["smtp"], timeout=WAIT) as client:
        for n in range(8):
            client.sendmail("a@remote.test", [JOHN], "Subject: race %d\r\n\r\nbody\r\n" % n)
            exists += [int(line.split()[1]) for line in watcher.ask(b"NOOP") if line.endswith(b" EXISTS")]
    wait_for(lambda: inbox_count(registered) == 10, "the deliveries")
    appender.send(message[500:] + b"\r\n")
    appended = appender.line()
    assert appended.startswith(b"a OK [APPENDUID "), appended
    appended_uid = int(appended.split()[4].rstrip(b"]"))
    wait_for(lambda: any(line.endswith(b" EXISTS") and int(line.split()[1]) == 11 and not exists.append(11)
                         for line in watcher.ask(b"NOOP")) or exists[-1:] == [11], "the last EXISTS")
    assert exists == sorted(exists) and len(set(exists)) == len(exists), exists
    fetched = watcher.ask(b"UID FETCH %d:* (UID)" % uidnext)
    uids = [int(re.search(rb"UID (\d+)", line).group(1)) for line in fetched[:-1]]
    assert len(uids) == 9 and uids == sorted(uids) and uids[-1] == appended_uid, (uids, appended_uid)

    # Two sessions: one marks read, the other (whose view is old) clears it, and the store follows.
    other = login(ports["imap"])
    other.ask(b"SELECT INBOX")
    assert raw.ask(b"SELECT INBOX")[-1] == b"t OK [READ-WRITE] SELECT completed"
    raw.ask(b"STORE 1 +FLAGS.SILENT (\\Seen)")
    assert other.ask(b"STORE 1 -FLAGS.SILENT (\\Seen)") == [b"t OK STORE completed"]
    assert raw.ask(b"NOOP")[0] == b"* 1 FETCH (UID 1 FLAGS ())"

    # A message another session expunged: FETCH answers the rest, STORE and COPY pass over it.
    assert other.ask(b"STORE 1 +FLAGS.SILENT (\\Deleted)") == [b"t OK STORE completed"]
    assert other.ask(b"EXPUNGE")[0] == b"* 1 EXPUNGE"
    fetched = raw.ask(b"FETCH 1:2 (BODY.PEEK[TEXT]<0.4>)")
    assert fetched == [b"* 2 FETCH (BODY[TEXT]<0> {4}", b"body)",
                       b"t NO [EXPUNGEISSUED] Some of the requested messages no longer exist"], fetched
    assert raw.ask(b"NOOP")[0] == b"* 1 EXPUNGE"
    assert other.ask(b"EXPUNGE")[-1] == b"t OK EXPUNGE completed"
    raw.ask(b"CREATE Kept")
    assert other.ask(b"STORE 1 +FLAGS.SILENT (\\Deleted)")[-1] == b"t OK STORE completed"
    other.ask(b"EXPUNGE")
    assert raw.ask(b"STORE 1:2 +FLAGS.SILENT (\\Flagged)")[-1] == b"t OK STORE completed"
    copied = raw.ask(b"COPY 1:2 Kept")
    assert re.fullmatch(rb"t OK \[COPYUID \d+ \d+ 1\] COPY completed", copied[-1]), copied
    kept_validity = raw.ask(b"STATUS Kept (UIDVALIDITY)")[0].split()[-1]

    # A damaged record hides only itself; a folder made again within its second has a new validity.
    # The record is replaced by rename, as every writer of the store replaces one (the folder's index
    # notices a folder's changes by its directory, whose times move in clock ticks: the damage is done
    # once the tick of the last change has passed, so that it moves them again).
    records = sorted(f for f in os.listdir(inbox) if f.endswith(".env"))
    wait_for(lambda: time.time() - os.stat(inbox).st_mtime > 0.05, "the inbox's last change to lie a clock tick back")
    with open(os.path.join(inbox, "damaged.tmp"), "wb") as f:
        f.write(b"garbage")
    os.replace(os.path.join(inbox, "damaged.tmp"), os.path.join(inbox, records[-1]))
    count = len(records)
    assert raw.ask(b"SELECT INBOX")[0] == b"* %d EXISTS" % (count - 1)
    status = raw.ask(b"STATUS INBOX (UIDNEXT MESSAGES)")
    validity = [raw.ask(b"CREATE Again"), raw.ask(b"STATUS Again (UIDVALIDITY)")[0], raw.ask(b"DELETE Again"),
                raw.ask(b"CREATE Again"), raw.ask(b"STATUS Again (UIDVALIDITY)")[0]]
    assert validity[1] != validity[4], validity
    raw.close()
    other.close()
    watcher.close()
    appender.close()

    # UIDNEXT does not move without a message, not even across a restart. A folder whose id counter
    # was lost gets a new UIDVALIDITY: its UIDs may be handed out again.
    assert server.stop() == 0
    kept = os.path.join(registered.store, "example.com", "john", "Kept")
    os.remove(os.path.join(kept, "_uid"))
    registered.start().wait_ready()
    again = login(ports["imap"])
    assert again.ask(b"STATUS INBOX (UIDNEXT MESSAGES)") == status
    assert again.ask(b"STATUS INBOX (APPENDLIMIT)")[0] == b'* STATUS "INBOX" (APPENDLIMIT 67108864)'
    assert kept_validity not in again.ask(b"STATUS Kept (UIDVALIDITY)")[0]
    again.close()


def test_keywords_are_kept_shown_searched_and_copied(registered):
    ports = installation(registered)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 2)
    raw = login(ports["imap"])
    assert created(raw.ask(b"CREATE Kept"))
    # APPEND with keywords beside \Seen keeps both (it was refused whole).
    appended = raw.ask(b"APPEND Kept (\\Seen $Forwarded) {20+}\r\nSubject: a\r\n\r\nbody\r\n")
    assert appended[-1].endswith(b"APPEND completed"), appended
    # Recent to one session only: STATUS counts what a SELECT would show, and the first SELECT takes it.
    assert raw.ask(b"STATUS INBOX (RECENT)")[0] == b'* STATUS "INBOX" (RECENT 2)'
    assert raw.ask(b"SELECT INBOX")[1] == b"* 2 RECENT"
    # A keyword new to the session is announced in FLAGS before the message that carries it.
    assert raw.ask(b"STORE 1 +FLAGS ($Junk \\Seen)") == [
        b"* OK [PERMANENTFLAGS (\\Answered \\Deleted \\Draft \\Flagged \\Seen \\*)] Permanent flags",
        b"* FLAGS (\\Answered \\Deleted \\Draft \\Flagged \\Seen $Junk)",
        b"* 1 FETCH (FLAGS (\\Recent \\Seen $Junk))", b"t OK STORE completed"]
    assert raw.ask(b"STORE 2 FLAGS (NonJunk $junk)")[-2] == b"* 2 FETCH (FLAGS (\\Recent NonJunk $junk))"
    assert raw.ask(b"STORE 2 -FLAGS ($JUNK)")[-2] == b"* 2 FETCH (FLAGS (\\Recent NonJunk))"
    assert raw.ask(b"STORE 2 +FLAGS NIL")[-2] == b"* 2 FETCH (FLAGS (\\Recent NonJunk))"
    assert raw.ask(b"STORE 1 +FLAGS (\\Bogus)") == [b"t BAD Unknown flag:  \\Bogus"]
    assert raw.ask(b"SEARCH KEYWORD $junk") == [b"* SEARCH 1", b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH UNKEYWORD $Junk KEYWORD NonJunk") == [b"* SEARCH 2", b"t OK SEARCH completed"]
    # Another session, and the same after a restart and a COPY, sees them as stored.
    other = login(ports["imap"])
    selected = other.ask(b"SELECT INBOX")
    assert b"* FLAGS (\\Answered \\Deleted \\Draft \\Flagged \\Seen $Junk NonJunk)" in selected, selected
    assert selected[1] == b"* 0 RECENT" and raw.ask(b"STATUS INBOX (RECENT)")[0] == b'* STATUS "INBOX" (RECENT 0)'
    assert other.ask(b"COPY 1:2 Kept")[-1].endswith(b"COPY completed")
    other.close()
    raw.close()
    assert server.stop() == 0
    registered.start().wait_ready()
    again = login(ports["imap"])
    again.ask(b"EXAMINE Kept")
    assert again.ask(b"FETCH 1:* FLAGS")[:-1] == [b"* 1 FETCH (FLAGS (\\Recent \\Seen $Forwarded))",
                                                  b"* 2 FETCH (FLAGS (\\Recent \\Seen $Junk))",
                                                  b"* 3 FETCH (FLAGS (\\Recent NonJunk))"]
    again.close()


def test_list_extended_selects_by_subscription_and_returns_status_with_sizes(registered):
    """LIST-EXTENDED's selections and return options (RFC 5258's examples in kind), several patterns,
    LIST-STATUS and STATUS=SIZE, and the refusals of malformed options."""
    from test_imap_server import installation as server_installation
    port = server_installation(registered)
    registered.start().wait_ready()
    raw = login(port)
    for command in (b"CREATE Foo/Bar", b"CREATE Foo/Baz", b"CREATE Moo", b"CREATE Sent (USE (\\Sent))",
                    b"SUBSCRIBE Foo/Bar", b"SUBSCRIBE Moo", b"SUBSCRIBE Gone/Away", b"SUBSCRIBE inbox"):
        assert raw.ask(command)[-1].startswith(b"t OK"), command
    messages = [b"Subject: one\r\n\r\nfirst\r\n", b"Subject: two\r\n\r\nthe second\r\n"]
    for message in messages:
        assert raw.ask(b"APPEND Moo {%d+}\r\n%s" % (len(message), message))[-1].startswith(b"t OK")

    def mine(command):
        lines = raw.ask(command)
        assert lines[-1] == b"t OK LIST completed", lines
        return sorted(line for line in lines[:-1] if b"Public Folders" not in line)

    assert mine(b'LIST (SUBSCRIBED) "" "*"') == sorted([
        b'* LIST (\\HasNoChildren \\Subscribed) "/" "Inbox"', b'* LIST (\\HasNoChildren \\Subscribed) "/" "Foo/Bar"',
        b'* LIST (\\HasNoChildren \\Subscribed) "/" "Moo"', b'* LIST (\\NonExistent \\HasNoChildren \\Subscribed) "/" "Gone/Away"'])
    # Levels above subscribed names are chosen with the reason why, whether their folder exists or not.
    assert mine(b'LIST (SUBSCRIBED RECURSIVEMATCH) "" "%" RETURN (CHILDREN)') == sorted([
        b'* LIST (\\HasNoChildren \\Subscribed) "/" "Inbox"', b'* LIST (\\HasChildren) "/" "Foo" ("CHILDINFO" ("SUBSCRIBED"))',
        b'* LIST (\\HasNoChildren \\Subscribed) "/" "Moo"', b'* LIST (\\NonExistent \\HasNoChildren) "/" "Gone" ("CHILDINFO" ("SUBSCRIBED"))'])
    assert mine(b'LIST (SUBSCRIBED) "" "%"') == sorted([
        b'* LIST (\\HasNoChildren \\Subscribed) "/" "Inbox"', b'* LIST (\\HasNoChildren \\Subscribed) "/" "Moo"'])
    assert mine(b'LIST (remote) "" (Foo/% "M*") RETURN (SUBSCRIBED)') == sorted([
        b'* LIST (\\HasNoChildren \\Subscribed) "/" "Foo/Bar"', b'* LIST (\\HasNoChildren) "/" "Foo/Baz"',
        b'* LIST (\\HasNoChildren \\Subscribed) "/" "Moo"'])
    assert mine(b'LIST (SPECIAL-USE) "" "*" RETURN (SPECIAL-USE)') == [b'* LIST (\\HasNoChildren \\Sent) "/" "Sent"']
    # LIST-STATUS: each selectable folder's STATUS right after its LIST line.
    size = sum(len(m) for m in messages)
    listed = raw.ask(b'LIST "" "%" RETURN (STATUS (MESSAGES UNSEEN SIZE))')
    assert listed[-1] == b"t OK LIST completed"
    moo = listed.index(b'* LIST (\\HasNoChildren) "/" "Moo"')
    assert listed[moo + 1] == b'* STATUS "Moo" (MESSAGES 2 UNSEEN 2 SIZE %d)' % size
    inbox = listed.index(b'* LIST (\\HasNoChildren) "/" "Inbox"')
    assert listed[inbox + 1] == b'* STATUS "Inbox" (MESSAGES 0 UNSEEN 0 SIZE 0)'
    public = listed.index(b'* LIST (\\Noselect \\HasChildren) "/" "Public Folders"')
    assert not listed[public + 1].startswith(b"* STATUS")
    assert len([line for line in listed if line.startswith(b"* STATUS")]) == 4  # Inbox, Foo, Moo, Sent
    assert raw.ask(b"STATUS Moo (SIZE MESSAGES)") == [b'* STATUS "Moo" (SIZE %d MESSAGES 2)' % size, b"t OK STATUS completed"]
    # The old forms are as they were.
    assert raw.ask(b'LIST "" ""') == [b'* LIST (\\Noselect) "/" ""', b"t OK LIST completed"]
    for command, reply in (
            (b'LIST (FROB) "" *', b"t BAD Unknown LIST selection option:  FROB"),
            (b'LIST (RECURSIVEMATCH) "" *', b"t BAD RECURSIVEMATCH needs the SUBSCRIBED selection option"),
            (b'LIST "" * RETURN (FROB)', b"t BAD Unknown LIST return option:  FROB"),
            (b'LIST "" * RETURN (STATUS (MESSAGES FROB))', b"t BAD Invalid STATUS item:  FROB"),
            (b'LIST "" * RETURN (STATUS ())', b"t BAD Unknown LIST return option:  STATUS"),
            (b'LIST "" * FROB', b"t BAD LIST arguments after the pattern should be RETURN (options)"),
            (b'LIST "" * RETURN', b"t BAD LIST arguments after the pattern should be RETURN (options)"),
            (b'LIST "" ()', b"t BAD LIST pattern list is empty"),
            (b'LIST (SUBSCRIBED) ""', b"t BAD LIST needs a reference and a pattern"),
            (b'LIST () "" (* (x))', b"t BAD LIST pattern should be a string"),
            (b"STATUS Moo (SIZE FROB)", b"t BAD Invalid STATUS item:  FROB")):
        assert raw.ask(command) == [reply], command
    raw.ask(b"LOGOUT")
    raw.close()


def test_multiappend_is_all_or_nothing_and_binary_literals_come_back_whole(registered):
    """MULTIAPPEND as RFC 3502's example sends it (each literal invited in turn), with a literal8 of
    binary content that FETCH BINARY gives back byte for byte; a bad later message publishes none,
    and the messages of one APPEND are bounded."""
    from test_imap_server import installation as server_installation
    port = server_installation(registered)
    registered.start().wait_ready()
    inbox = os.path.join(registered.store, "example.com", "john", "_In")
    watcher = login(port)
    assert watcher.ask(b"SELECT INBOX")[0] == b"* 0 EXISTS"

    first = (b"Date: Mon, 7 Feb 1994 21:52:25 -0800 (PST)\r\nFrom: Fred Foobar <foobar@Blurdybloop.example>\r\n"
             b"Subject: afternoon meeting\r\nTo: mooch@owatagu.siam.edu.example\r\n\r\nHello Joe, do you think we can meet at 3:30?\r\n")
    payload = bytes(range(256)) * 2
    binary = (b"Subject: binary\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
              b"Content-Type: text/plain\r\n\r\nsee the attachment\r\n--b\r\nContent-Type: application/octet-stream\r\n"
              b"Content-Transfer-Encoding: binary\r\n\r\n" + payload + b"\r\n--b--\r\n")
    third = b"Subject: third\r\n\r\nshort\r\n"
    raw = login(port)
    raw.send(b"A003 APPEND INBOX (\\Seen) {%d}\r\n" % len(first))
    assert raw.line() == b"+ go ahead"
    raw.send(first + b' (\\Seen) " 7-Feb-1994 22:43:04 -0800" ~{%d}\r\n' % len(binary))
    assert raw.line() == b"+ go ahead"
    raw.send(binary + b" {%d+}\r\n%s\r\n" % (len(third), third))
    reply = raw.line()
    match = re.fullmatch(rb"A003 OK \[APPENDUID (\d+) 1:3\] APPEND completed", reply)
    assert match, reply
    assert watcher.ask(b"NOOP") == [b"* 3 EXISTS", b"* 3 RECENT", b"t OK NOOP completed"]
    assert watcher.ask(b"FETCH 1:3 (FLAGS INTERNALDATE RFC822.SIZE)") == [
        b'* 1 FETCH (INTERNALDATE "%s" RFC822.SIZE %d FLAGS (\\Recent \\Seen))' % (watcher_date(watcher, 1), len(first)),
        b'* 2 FETCH (INTERNALDATE "08-Feb-1994 06:43:04 +0000" RFC822.SIZE %d FLAGS (\\Recent \\Seen))' % len(binary),
        b'* 3 FETCH (INTERNALDATE "%s" RFC822.SIZE %d FLAGS (\\Recent))' % (watcher_date(watcher, 3), len(third)),
        b"t OK FETCH completed"]
    # The binary part comes back undecoded as a literal8, its size counted the same way.
    watcher.send(b"t FETCH 2 (BINARY.SIZE[2] BINARY.PEEK[2])\r\n")
    head = watcher.line()
    assert head == b"* 2 FETCH (BINARY.SIZE[2] %d BINARY[2] ~{%d}" % (len(payload), len(payload)), head
    assert watcher.file.read(len(payload)) == payload
    assert watcher.line() == b")" and watcher.line() == b"t OK FETCH completed"
    watcher.send(b"t FETCH 2 BINARY.PEEK[]\r\n")
    assert watcher.line() == b"* 2 FETCH (BINARY[] ~{%d}" % len(binary)
    assert watcher.file.read(len(binary)) == binary
    assert watcher.line() == b")" and watcher.line() == b"t OK FETCH completed"

    # All or nothing: a bad flag, a date or a message too large after good messages keeps none of them,
    # not even their staged content.
    files = sorted(os.listdir(inbox))
    assert raw.ask(b"APPEND INBOX {5+}\r\nabcde (\\Bogus) {5+}\r\nfghij") == [b"t BAD Unknown flag:  \\Bogus"]
    assert raw.ask(b'APPEND INBOX {5+}\r\nabcde "yesterday" {5+}\r\nfghij') == [b"t BAD Invalid date-time argument to APPEND"]
    assert raw.ask(b"APPEND INBOX {5+}\r\nabcde (\\Seen)") == [b"t BAD Invalid argument to APPEND where message expected"]
    raw.send(b"t APPEND INBOX {5+}\r\nabcde {100000000}\r\n")
    assert raw.line() == b"t NO [TOOBIG] Message too large"
    many = b"".join(b" {1+}\r\nx" for _ in range(1001))
    assert raw.ask(b"APPEND INBOX" + many) == [b"t NO [LIMIT] Too many messages in one APPEND"]
    assert raw.ask(b"NOOP") == [b"t OK NOOP completed"]
    assert watcher.ask(b"NOOP") == [b"t OK NOOP completed"]
    assert sorted(os.listdir(inbox)) == files
    raw.close()
    watcher.close()


def watcher_date(raw, number):
    """The INTERNALDATE of a message, as the server wrote it."""
    line = raw.ask(b"FETCH %d INTERNALDATE" % number)[0]
    return re.search(rb'INTERNALDATE "([^"]+)"', line).group(1)


def test_quota_comes_from_the_limits_the_router_enforces(registered):
    """GETQUOTAROOT and GETQUOTA (RFC 9208) through imaplib and raw: the mailbox's size and message
    limits against what it holds, STATUS DELETED and DELETED-STORAGE, no root without limits or for
    public folders, and SETQUOTA refused."""
    from test_imap_server import installation as server_installation
    port = server_installation(registered)
    admin(registered, "mailbox", "set", JOHN, "user:quota:diskusage", "i4:2")
    admin(registered, "mailbox", "set", JOHN, "user:quota:nummsgs", "i4:10")
    admin(registered, "mailbox", "add", "ann@example.com", "--password", "secret")
    registered.start().wait_ready()
    raw = login(port)
    messages = [b"Subject: one\r\n\r\n" + b"x" * 3000 + b"\r\n", b"Subject: two\r\n\r\nshort\r\n"]
    for message in messages:
        assert raw.ask(b"APPEND INBOX {%d+}\r\n%s" % (len(message), message))[-1].startswith(b"t OK")
    used = (sum(len(m) for m in messages) + 1023) // 1024
    quota = b'* QUOTA "" (STORAGE %d 2048 MESSAGE 2 10)' % used
    assert raw.ask(b"GETQUOTAROOT INBOX") == [b'* QUOTAROOT "INBOX" ""', quota, b"t OK GETQUOTAROOT completed"]
    assert raw.ask(b'GETQUOTA ""') == [quota, b"t OK GETQUOTA completed"]
    assert raw.ask(b"GETQUOTA other") == [b"t NO [NONEXISTENT] No such quota root"]
    assert raw.ask(b"GETQUOTAROOT Nowhere")[-1].startswith(b"t NO [NONEXISTENT]")
    assert raw.ask(b'GETQUOTAROOT "Public Folders/Bayesian Learn"') == [
        b'* QUOTAROOT "Public Folders/Bayesian Learn"', b"t OK GETQUOTAROOT completed"]
    assert raw.ask(b'SETQUOTA "" (STORAGE 10)') == [b"t NO [NOPERM] Quotas are set by the administrator"]
    assert raw.ask(b"GETQUOTAROOT") == [b"t BAD First argument missing"]
    # What an EXPUNGE would give back.
    raw.ask(b"SELECT INBOX")
    assert raw.ask(b"STORE 1 +FLAGS.SILENT (\\Deleted)") == [b"t OK STORE completed"]
    assert raw.ask(b"STATUS INBOX (DELETED DELETED-STORAGE MESSAGES)") == [
        b'* STATUS "INBOX" (DELETED 1 DELETED-STORAGE %d MESSAGES 2)' % ((len(messages[0]) + 1023) // 1024), b"t OK STATUS completed"]
    assert raw.ask(b"EXPUNGE") == [b"* 1 EXPUNGE", b"t OK EXPUNGE completed"]
    assert raw.ask(b'GETQUOTA ""') == [b'* QUOTA "" (STORAGE 1 2048 MESSAGE 1 10)', b"t OK GETQUOTA completed"]
    raw.close()

    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login(JOHN, "secret")
    typ, data = client.getquotaroot("INBOX")
    assert typ == "OK" and data == [[b'"INBOX" ""'], [b'"" (STORAGE 1 2048 MESSAGE 1 10)']], data
    client.logout()
    # A mailbox without limits has no quota root.
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login("ann@example.com", "secret")
    assert client.getquotaroot("INBOX") == ("OK", [[b'"INBOX"'], [None]])
    assert client._simple_command("GETQUOTA", '""')[0] == "NO"  # noqa: SLF001
    client.logout()


def test_object_ids_follow_folders_through_rename_and_messages_through_copy_and_move(registered):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 2)
    raw = login(ports["imap"])
    assert "OBJECTID" in raw.ask(b"CAPABILITY")[0].decode().split()
    folder_id = re.compile(rb"F[0-9a-f]{16}")
    made = raw.ask(b"CREATE Work")
    assert created(made)
    work = folder_id.search(made[0]).group(0)
    # SELECT, STATUS and LIST's STATUS name the same id; RENAME keeps it; a folder made again under
    # the old name gets a new one, and so does every other folder.
    assert b"* OK [MAILBOXID (%s)] Ok" % work in raw.ask(b"EXAMINE Work")
    raw.ask(b"UNSELECT")
    assert raw.ask(b"RENAME Work Projects") == [b"t OK Folder renamed"]
    assert raw.ask(b"STATUS Projects (MESSAGES MAILBOXID)") == [b'* STATUS "Projects" (MESSAGES 0 MAILBOXID (%s))' % work,
                                                                b"t OK STATUS completed"]
    again = folder_id.search(raw.ask(b"CREATE Work")[0]).group(0)
    inbox = folder_id.search(b" ".join(raw.ask(b"STATUS INBOX (MAILBOXID)"))).group(0)
    assert len({work, again, inbox}) == 3
    assert b'* STATUS "Projects" (MAILBOXID (%s))' % work in raw.ask(b'LIST "" Projects RETURN (STATUS (MAILBOXID))')
    # A message keeps its id in every folder it is copied or moved to; another message has another.
    raw.ask(b"SELECT INBOX")
    fetched = raw.ask(b"FETCH 1:2 (EMAILID THREADID)")
    ids = [re.fullmatch(rb"\* (\d) FETCH \(EMAILID \((M[0-9a-f]{16})\) THREADID NIL\)", line) for line in fetched[:-1]]
    assert all(ids) and fetched[-1] == b"t OK FETCH completed", fetched
    first, second = ids[0].group(2), ids[1].group(2)
    assert first != second
    assert raw.ask(b"SEARCH EMAILID %s" % second) == [b"* SEARCH 2", b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH THREADID T1") == [b"* SEARCH", b"t OK SEARCH completed"]
    assert raw.ask(b"SEARCH EMAILID a.b") == [b'''t BAD SEARCH key "EMAILID" missing object id argument''']
    raw.ask(b"COPY 1 Projects")
    raw.ask(b"MOVE 2 Work")
    raw.ask(b"SELECT Projects")
    assert raw.ask(b"UID FETCH 1 EMAILID") == [b"* 1 FETCH (UID 1 EMAILID (%s))" % first, b"t OK FETCH completed"]
    raw.ask(b"SELECT Work")
    assert raw.ask(b"FETCH 1 (EMAILID)") == [b"* 1 FETCH (EMAILID (%s))" % second, b"t OK FETCH completed"]
    raw.close()
    assert server.stop() == 0
