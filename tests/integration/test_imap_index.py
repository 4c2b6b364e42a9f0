"""The folder index behind SELECT and a session's updates: files a person copies into or removes from
a folder while the server runs and while it is stopped, and a deleted index, are all found; what the
sessions show always matches the records on disk."""
import glob
import os
import re
import shutil
import time

from conftest import wait_for
from test_imap_mailboxes import deliver, installation, login
from test_imap_server import created


def settled(folder):
    """Waits until the folder's last change lies a clock tick back, so that the next one moves its times."""
    wait_for(lambda: time.time() - os.stat(folder).st_mtime > 0.05, "the folder's last change to lie a tick back")


def stems(folder):
    return sorted(os.path.basename(p)[:-4] for p in glob.glob(os.path.join(folder, "*.env")))


def uids(raw):
    answer = raw.ask(b"UID SEARCH ALL")
    assert answer[-1] == b"t OK SEARCH completed", answer
    return [int(u) for u in answer[0].split()[2:]]


def test_copies_and_removals_past_the_server_are_found_running_and_stopped(registered, tmp_path):
    ports = installation(registered)
    server = registered.start().wait_ready()
    # One at a time: routers deliver side by side, and UID n must hold "body n".
    for n in range(1, 5):
        deliver(registered, ports["smtp"], 1, first=n)
    inbox = os.path.join(registered.store, "example.com", "john", "_In")
    raw = login(ports["imap"])
    assert raw.ask(b"SELECT INBOX")[0] == b"* 4 EXISTS"
    index = os.path.join(registered.store, "IMAP", "index")
    assert len(os.listdir(index)) == 1, os.listdir(index)
    # A message removed by hand (kept aside, as a backup would) leaves with its EXPUNGE.
    settled(inbox)
    for extension in (".env", ".eml"):
        shutil.move(os.path.join(inbox, "0000002" + extension), str(tmp_path))
    answer = raw.ask(b"NOOP")
    assert answer[0] == b"* 2 EXPUNGE", answer
    assert uids(raw) == [1, 3, 4]
    # Copied back (content first, then the record), it is found again; its UID lies below those the
    # session knows, so it shows from the next SELECT on, numbers following UIDs.
    settled(inbox)
    for extension in (".eml", ".env"):
        shutil.copyfile(os.path.join(str(tmp_path), "0000002" + extension), os.path.join(inbox, "0000002" + extension))
    assert raw.ask(b"NOOP") == [b"t OK NOOP completed"]
    assert raw.ask(b"SELECT INBOX")[0] == b"* 4 EXISTS"
    assert uids(raw) == [1, 2, 3, 4]
    fetched = raw.ask(b"UID FETCH 2 (BODY.PEEK[TEXT])")
    assert fetched[-1] == b"t OK FETCH completed" and b"body 2" in fetched[1], fetched
    raw.close()

    # While the server is stopped: one removed, and the index itself deleted -- a new server finds the
    # folder as it is, and so does a session after the index went while the server ran.
    assert server.stop() == 0
    os.remove(os.path.join(inbox, "0000003.env"))
    os.remove(os.path.join(inbox, "0000003.eml"))
    registered.start().wait_ready()
    raw = login(ports["imap"])
    assert raw.ask(b"SELECT INBOX")[0] == b"* 3 EXISTS"
    assert uids(raw) == [1, 2, 4]
    raw.close()
    shutil.rmtree(index)
    raw = login(ports["imap"])
    status = raw.ask(b"STATUS INBOX (MESSAGES UIDNEXT)")
    assert status == [b'* STATUS "INBOX" (MESSAGES 3 UIDNEXT 5)', b"t OK STATUS completed"], status
    assert raw.ask(b"SELECT INBOX")[0] == b"* 3 EXISTS"
    assert uids(raw) == [1, 2, 4]
    # The store's own writers keep the new index up to date for a session that is selected.
    deliver(registered, ports["smtp"], 1, first=9)
    answer = raw.ask(b"NOOP")
    assert answer[0] == b"* 4 EXISTS", answer
    assert len(uids(raw)) == 4
    # A folder's index goes with the folder.
    assert created(raw.ask(b"CREATE Box"))
    assert raw.ask(b"STATUS Box (MESSAGES)")[0] == b'* STATUS "Box" (MESSAGES 0)'
    assert len(os.listdir(index)) == 2
    assert raw.ask(b"DELETE Box")[-1] == b"t OK DELETE completed"
    assert len(os.listdir(index)) == 1
    raw.close()


def test_recent_goes_to_one_session_of_many_selecting_at_once_and_across_restarts(registered):
    import imaplib
    import threading

    ports = installation(registered)
    server = registered.start().wait_ready()

    def select_all(count):
        """`count` imaplib clients SELECT INBOX at once; their RECENT counts."""
        clients = [imaplib.IMAP4("127.0.0.1", ports["imap"], timeout=30) for _ in range(count)]
        for client in clients:
            client.login("john@example.com", "secret")
        start = threading.Barrier(count)
        counts = [None] * count

        def one(i):
            start.wait(timeout=30)
            typ, _ = clients[i].select("INBOX")
            assert typ == "OK"
            counts[i] = int(clients[i].untagged_responses["RECENT"][0])

        threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=60)
        for client in clients:
            client.logout()
        return counts

    deliver(registered, ports["smtp"], 5)
    counts = select_all(6)
    assert sorted(counts) == [0] * 5 + [5], counts
    deliver(registered, ports["smtp"], 3, first=6)
    counts = select_all(6)
    assert sum(counts) == 3 and max(counts) == 3, counts
    # The claims live in the folder's index: a new server shows none again...
    assert server.stop() == 0
    server = registered.start().wait_ready()
    assert select_all(2) == [0, 0]
    # ...and one that lost the index, unable to know who was shown what, shows them all once more.
    assert server.stop() == 0
    shutil.rmtree(os.path.join(registered.store, "IMAP", "index"))
    registered.start().wait_ready()
    counts = select_all(3)
    assert sorted(counts) == [0, 0, 8], counts


def test_flags_are_on_disk_before_the_reply_and_reach_the_records_behind_it(registered):
    """STORE's flags are made durable in the folder's index before its OK, and the records catch up
    behind them: a server killed right after the replies shows every flag again, and the records hold
    them all once a server stopped cleanly, so that the index may then go. With
    "sys:imap4:flagwritethrough" set, the records hold them before the reply: the index may go at once."""
    import signal
    from conftest import configure

    ports = installation(registered)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 4)
    index = os.path.join(registered.store, "IMAP", "index")
    expected = [b"* 1 FETCH (FLAGS (\\Flagged))", b"* 2 FETCH (FLAGS (\\Flagged \\Seen))",
                b"* 3 FETCH (FLAGS ($Later))", b"* 4 FETCH (FLAGS ())", b"t OK FETCH completed"]

    def flags():
        raw = login(ports["imap"])
        assert raw.ask(b"EXAMINE INBOX")[-1].startswith(b"t OK [READ-ONLY]")
        answer = raw.ask(b"FETCH 1:4 (FLAGS)")
        raw.close()
        # An index made again can not know who was shown what as recent: not what is looked at here.
        return [re.sub(rb" ?\\Recent ?", lambda m: b" " if m.group(0) == b" \\Recent " else b"", line) for line in answer]

    raw = login(ports["imap"])
    assert raw.ask(b"SELECT INBOX")[0] == b"* 4 EXISTS"
    assert raw.ask(b"STORE 1:2 +FLAGS.SILENT (\\Flagged)") == [b"t OK STORE completed"]
    # FETCH of a body sets \Seen the same way.
    assert raw.ask(b"FETCH 2 (BODY[TEXT])")[-1] == b"t OK FETCH completed"
    assert raw.ask(b"UID STORE 3 +FLAGS ($Later)")[-1] == b"t OK STORE completed"
    assert server.stop(signal.SIGKILL) == -signal.SIGKILL
    raw.close()
    server = registered.start().wait_ready()
    assert flags() == expected
    assert server.stop() == 0
    shutil.rmtree(index)
    server = registered.start().wait_ready()
    assert flags() == expected

    assert server.stop() == 0
    configure(registered, ("sys:imap4:flagwritethrough", "i4:1"))
    server = registered.start().wait_ready()
    raw = login(ports["imap"])
    assert raw.ask(b"SELECT INBOX")[0] == b"* 4 EXISTS"
    assert raw.ask(b"STORE 4 +FLAGS.SILENT (\\Answered)") == [b"t OK STORE completed"]
    assert server.stop(signal.SIGKILL) == -signal.SIGKILL
    raw.close()
    shutil.rmtree(index)
    registered.start().wait_ready()
    assert flags() == expected[:3] + [b"* 4 FETCH (FLAGS (\\Answered))", expected[4]]
