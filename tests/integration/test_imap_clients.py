"""The IMAP server with the clients people use: curl's upload and folder commands, mbsync's two-way
sync of an account with a Maildir and its use of NAMESPACE, offlineimap's one-shot sync into a Maildir
and its IDLE between refreshes, imaplib's MOVE seen by idling sessions, and POP3 beside IMAP over one
store. Each client runs with its configuration in the test's directory and HOME there."""
import imaplib
import os
import poplib
import re
import signal
import subprocess

import pytest

from conftest import WAIT, configure, free_port, wait_for
from test_imap_mailboxes import JOHN, deliver, installation, login

# Maildir flag letters and the IMAP flags they stand for.
# offlineimap's refresh interval in minutes, and how long a delivery may take to come down through IDLE.
IDLE_REFRESH_MINUTES = 5
IDLE_WAIT = 20
MAILDIR_FLAGS = {"D": "\\Draft", "F": "\\Flagged", "R": "\\Answered", "S": "\\Seen", "T": "\\Deleted",
                 "a": "$Forwarded", "b": "$Junk"}  # keywords, as offlineimap's customflag_a and _b map them


def run(tmp_path, *command):
    """Runs a client with HOME in the test's directory, bounded; insists that it succeeds."""
    result = subprocess.run(command, env=dict(os.environ, HOME=str(tmp_path)), capture_output=True, text=True,
                            timeout=WAIT)
    assert result.returncode == 0, (command, result.stdout, result.stderr)
    return result


def imap(port):
    client = imaplib.IMAP4("127.0.0.1", port, timeout=WAIT)
    client.login(JOHN, "secret")
    return client


def subject(message):
    return re.search(rb"(?mi)^Subject: (.*?)\r?$", message).group(1).decode()


def server_view(port, folder="INBOX"):
    """The folder as IMAP shows it, read-only: {subject: (UID, flags without \\Recent, message)}."""
    client = imap(port)
    assert client.select(folder, readonly=True)[0] == "OK"
    typ, data = client.uid("FETCH", "1:*", "(FLAGS BODY.PEEK[])")
    assert typ == "OK", data
    client.logout()
    view = {}
    for item, rest in zip(data[::2], data[1::2]):  # the items around the literal, in the server's order
        text = item[0] + rest
        uid = int(re.search(rb"UID (\d+)", text).group(1))
        flags = set(re.search(rb"FLAGS \(([^)]*)\)", text).group(1).decode().split()) - {"\\Recent"}
        view[subject(item[1])] = (uid, frozenset(flags), item[1])
    return view


def maildir_view(folder):
    """A Maildir folder: {subject: (path, IMAP flags of its name, content)}."""
    view = {}
    for part in ("new", "cur"):
        for name in os.listdir(os.path.join(folder, part)):
            path = os.path.join(folder, part, name)
            with open(path, "rb") as f:
                content = f.read()
            letters = name.split(":2,")[1] if ":2," in name else ""
            view[subject(content)] = (path, frozenset(MAILDIR_FLAGS[c] for c in letters if c in MAILDIR_FLAGS), content)
    return view


def without_tuid(message):
    return re.sub(rb"(?m)^X-TUID: [^\n]*\n", b"", message, count=1)


def test_curl_appends_a_message_and_creates_and_deletes_a_folder(registered, tmp_path):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    message = b"From: a@remote.test\r\nSubject: uploaded\r\n\r\nline one\r\n.\r\n\r\nline three\r\n"
    upload = tmp_path / "upload.eml"
    upload.write_bytes(message)
    url = "imap://127.0.0.1:%d/" % ports["imap"]
    sent = run(tmp_path, "curl", "-sS", "-v", "-T", str(upload), url + "INBOX", "--user", JOHN + ":secret")
    assert re.search(r"OK \[APPENDUID \d+ 1\] APPEND completed", sent.stderr), sent.stderr

    client = imap(ports["imap"])
    assert client.select("INBOX") == ("OK", [b"1"])
    typ, data = client.fetch("1", "(FLAGS BODY[])")
    assert typ == "OK" and data[0][1] == message and data[1] == b" FLAGS (\\Recent \\Seen))", data  # curl uploads it seen

    folder = os.path.join(registered.store, "example.com", "john", "Projects")
    run(tmp_path, "curl", "-sS", url, "--user", JOHN + ":secret", "-X", "CREATE Projects")
    assert os.path.isdir(folder)
    assert client.list('""', "Projects") == ("OK", [b'(\\HasNoChildren) "/" "Projects"'])
    assert client.status("Projects", "(MESSAGES)") == ("OK", [b'"Projects" (MESSAGES 0)'])
    run(tmp_path, "curl", "-sS", url, "--user", JOHN + ":secret", "-X", "DELETE Projects")
    assert not os.path.exists(folder)
    assert client.list('""', "Projects") == ("OK", [None])
    client.logout()
    assert server.stop() == 0


def test_mbsync_syncs_the_account_both_ways_with_a_maildir(registered, tmp_path):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 4)
    client = imap(ports["imap"])
    assert client.create("Projects")[0] == "OK"
    assert client.append("Projects", "(\\Answered)", None, b"Subject: plan\r\n\r\nstep one\r\n")[0] == "OK"
    client.logout()
    maildir, state = tmp_path / "mail", tmp_path / "state"
    for part in ("new", "cur", "tmp"):
        (maildir / "Notes" / part).mkdir(parents=True)
    (maildir / "Notes" / "cur" / "1700000000.2_1.client:2,S").write_bytes(b"Subject: note\n\nremember\n")
    state.mkdir()
    inbox = str(maildir / "INBOX")
    # Every folder, the public learning folders too: listed but not readable, they open empty.
    (tmp_path / "mbsyncrc").write_text(
        "IMAPAccount john\nHost 127.0.0.1\nPort %d\nUser %s\nPass secret\nSSLType None\nAuthMechs LOGIN\n\n"
        "IMAPStore remote\nAccount john\n\nMaildirStore local\nPath %s/\nInbox %s\nSubFolders Verbatim\n\n"
        "Channel john\nFar :remote:\nNear :local:\nPatterns *\n"
        "Sync All\nCreate Both\nExpunge Both\nSyncState %s/\n"
        % (ports["imap"], JOHN, maildir, inbox, state))

    def both(far_name="INBOX", near_path=inbox):
        """The folder on each side, after checking that they hold the same messages with the same flags."""
        far, near = server_view(ports["imap"], far_name), maildir_view(near_path)
        assert {name: flags for name, (_, flags, _) in far.items()} == {
            name: flags for name, (_, flags, _) in near.items()}
        for name, (_, _, content) in far.items():
            # mbsync keeps Maildir files with LF line ends and puts its X-TUID field in every copy it makes.
            assert without_tuid(near[name][2]) == without_tuid(content).replace(b"\r\n", b"\n"), name
        return far, near

    def sync():
        run(tmp_path, "mbsync", "-V", "-c", str(tmp_path / "mbsyncrc"), "john")
        return both()

    far, near = sync()
    assert sorted(far) == ["1", "2", "3", "4"]
    # A folder new on either side is created on the other, with its messages and their flags.
    assert both("Notes", str(maildir / "Notes"))[0]["note"][1] == {"\\Seen"}
    projects = both("Projects", str(maildir / "Projects"))[1]
    assert list(projects) == ["plan"] and projects["plan"][1] == {"\\Answered"}

    # A message new on each side reaches the other.
    deliver(registered, ports["smtp"], 1, first=5)
    local = b"From: me@example.com\nSubject: from-maildir\n\nwritten locally\n"
    (maildir / "INBOX" / "new" / "1700000000.1_1.client").write_bytes(local)
    far, near = sync()
    assert sorted(far) == ["1", "2", "3", "4", "5", "from-maildir"]
    assert without_tuid(far["from-maildir"][2]) == local.replace(b"\n", b"\r\n")

    # A flag set on each side reaches the other.
    client = imap(ports["imap"])
    client.select("INBOX")
    assert client.uid("STORE", str(far["1"][0]), "+FLAGS", "(\\Flagged)")[0] == "OK"
    client.logout()
    for name, letters in (("2", "F"), ("3", "S")):
        path = near[name][0]
        os.rename(path, os.path.join(inbox, "cur", os.path.basename(path).split(":2,")[0] + ":2," + letters))
    far, near = sync()
    assert {name: flags for name, (_, flags, _) in far.items() if flags} == {
        "1": {"\\Flagged"}, "2": {"\\Flagged"}, "3": {"\\Seen"}}

    # A message deleted on each side is gone from the other.
    client = imap(ports["imap"])
    client.select("INBOX")
    assert client.uid("STORE", str(far["4"][0]), "+FLAGS", "(\\Deleted)")[0] == "OK"
    assert client.expunge()[0] == "OK"
    client.logout()
    os.remove(near["5"][0])
    far, near = sync()
    assert sorted(far) == ["1", "2", "3", "from-maildir"]

    # A sync right after changes nothing on either side.
    files = sorted(os.path.relpath(path, inbox) for path, _, _ in near.values())
    uids = {name: (uid, flags) for name, (uid, flags, _) in far.items()}
    far, near = sync()
    assert sorted(os.path.relpath(path, inbox) for path, _, _ in near.values()) == files
    assert {name: (uid, flags) for name, (uid, flags, _) in far.items()} == uids
    assert server.stop() == 0


def test_mbsync_asks_for_the_namespace_and_syncs_the_folder_tree_under_it(registered, tmp_path):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 2)
    client = imap(ports["imap"])
    for name in ("Projects", "Archive", "Archive/2025"):
        assert client.create(name)[0] == "OK"
    assert client.append("Archive/2025", "(\\Seen)", None, b"Subject: old\r\n\r\nlong ago\r\n")[0] == "OK"
    client.logout()
    maildir, state = tmp_path / "mail", tmp_path / "state"
    maildir.mkdir()
    state.mkdir()
    (tmp_path / "mbsyncrc").write_text(
        "IMAPAccount john\nHost 127.0.0.1\nPort %d\nUser %s\nPass secret\nSSLType None\nAuthMechs LOGIN\n\n"
        "IMAPStore remote\nAccount john\nUseNamespace yes\n\n"
        "MaildirStore local\nPath %s/\nInbox %s/INBOX\nSubFolders Verbatim\n\n"
        "Channel john\nFar :remote:\nNear :local:\nPatterns *\nSync Pull\nCreate Near\nSyncState %s/\n"
        % (ports["imap"], JOHN, maildir, maildir, state))
    said = run(tmp_path, "mbsync", "-D", "-c", str(tmp_path / "mbsyncrc"), "john").stdout
    # Right after the login mbsync asks for the namespaces; the personal one has the empty prefix and
    # "/" between levels, so it lists everything with "*" under no prefix, and the shared one it leaves alone.
    exchange = [line for line in said.splitlines() if line.startswith("F: ") and not line.startswith("F: [")]
    start = exchange.index("F: >>> 2 LOGIN <user> <pass>")
    # mbsync turns COMPRESS=DEFLATE on first: the rest of the sync runs compressed.
    assert exchange[start:start + 8] == [
        "F: >>> 2 LOGIN <user> <pass>", "F: 2 OK LOGIN completed", "F: >>> 3 COMPRESS DEFLATE", "F: 3 OK DEFLATE active",
        "F: >>> 4 NAMESPACE", 'F: * NAMESPACE (("" "/")) NIL (("Public Folders/" "/"))', "F: 4 OK NAMESPACE completed",
        'F: >>> 5 LIST "" "*"'], said
    assert "error" not in said.lower(), said
    # "/" is the delimiter: Archive/2025 becomes a folder inside Archive.
    assert sorted(os.path.relpath(root, maildir) for root, dirs, _ in os.walk(maildir) if "cur" in dirs) == [
        "Archive", os.path.join("Archive", "2025"), "INBOX", "Projects", os.path.join("Public Folders", "Bayesian Learn"),
        os.path.join("Public Folders", "Bayesian Learn", "Good"), os.path.join("Public Folders", "Bayesian Learn", "Spam")]
    old = maildir_view(str(maildir / "Archive" / "2025"))
    assert list(old) == ["old"] and old["old"][1] == {"\\Seen"}
    assert sorted(maildir_view(str(maildir / "INBOX"))) == ["1", "2"]
    assert maildir_view(str(maildir / "Projects")) == {} and maildir_view(str(maildir / "Archive")) == {}
    assert server.stop() == 0


def test_offlineimap_pulls_every_folder_and_pushes_a_new_message_back(registered, tmp_path):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 3)
    client = imap(ports["imap"])
    for name in ("Projects", "Archive", "Archive/2025"):
        assert client.create(name)[0] == "OK"
    assert client.append("Projects", "(\\Flagged \\Seen $Forwarded)", None, b"Subject: plan\r\n\r\nstep one\r\n")[0] == "OK"
    assert client.append("Archive/2025", None, None, b"Subject: old\r\n\r\nlong ago\r\n")[0] == "OK"
    client.logout()
    local = tmp_path / "mail"
    (tmp_path / "offlineimaprc").write_text(
        "[general]\naccounts = john\nmetadata = %s\nui = basic\n\n"
        "[Account john]\nlocalrepository = local\nremoterepository = remote\n\n"
        "[Repository local]\ntype = Maildir\nlocalfolders = %s\ncustomflag_a = $Forwarded\ncustomflag_b = $Junk\n\n"
        "[Repository remote]\ntype = IMAP\nremotehost = 127.0.0.1\nremoteport = %d\nremoteuser = %s\n"
        "remotepass = secret\nssl = no\nstarttls = no\n"
        % (tmp_path / "metadata", local, ports["imap"], JOHN))

    def sync():
        result = run(tmp_path, "offlineimap", "-o", "-1", "-c", str(tmp_path / "offlineimaprc"))
        assert "ERROR" not in result.stdout + result.stderr, result.stdout + result.stderr

    sync()
    # The learning folders come down too, empty: listed but not readable, they open read-only.
    assert sorted(os.listdir(local)) == ["Archive", "Archive.2025", "Inbox", "Projects", "Public Folders.Bayesian Learn",
                                         "Public Folders.Bayesian Learn.Good", "Public Folders.Bayesian Learn.Spam"]
    for learning in sorted(os.listdir(local))[-3:]:
        assert not os.listdir(os.path.join(local, learning, "cur")) and not os.listdir(os.path.join(local, learning, "new"))
    john = os.path.join(registered.store, "example.com", "john")
    for remote, folder, on_disk in (("INBOX", "Inbox", "_In"), ("Projects", "Projects", "Projects"),
                                    ("Archive/2025", "Archive.2025", os.path.join("Archive", "2025"))):
        far, near = server_view(ports["imap"], remote), maildir_view(str(local / folder))
        assert sorted(far) == sorted(near)
        stored = sorted(name for name in os.listdir(os.path.join(john, on_disk)) if name.endswith(".eml"))
        assert len(stored) == len(far)
        for name in stored:
            with open(os.path.join(john, on_disk, name), "rb") as f:
                content = f.read()
            path, flags, copy = near[subject(content)]
            # offlineimap writes LF line ends and adds no header of its own to what it pulls.
            assert copy == content.replace(b"\r\n", b"\n")
            assert ",U=%d," % far[subject(content)][0] in os.path.basename(path)
            assert flags == far[subject(content)][1]
    assert maildir_view(str(local / "Projects"))["plan"][1] == {"\\Flagged", "\\Seen", "$Forwarded"}
    assert maildir_view(str(local / "Archive")) == {}

    # A message written into the Maildir goes up with APPEND; APPENDUID names it, so offlineimap
    # needs no X-OfflineIMAP field to find it again.
    written = b"From: me@example.com\nSubject: written\n\nfrom the laptop\n"
    (local / "Inbox" / "new" / "1700000000.1_1.laptop:2,").write_bytes(written)
    sync()
    far = server_view(ports["imap"])
    assert far["written"][2] == written.replace(b"\n", b"\r\n")
    assert ",U=%d," % far["written"][0] in os.path.basename(maildir_view(str(local / "Inbox"))["written"][0])
    # Keywords set on the server come down as the letters the Maildir maps them to (offlineimap takes
    # keywords one way only); one it has no letter for is passed over without an error.
    client = imap(ports["imap"])
    client.select("INBOX")
    assert client.uid("STORE", str(far["written"][0]), "+FLAGS", "($Junk)")[0] == "OK"
    client.select("Projects")
    assert client.store("1", "+FLAGS", "(NonJunk)")[0] == "OK"
    client.logout()
    sync()
    assert maildir_view(str(local / "Inbox"))["written"][1] == {"$Junk"}
    assert server_view(ports["imap"], "Projects")["plan"][1] == {"\\Flagged", "\\Seen", "$Forwarded", "NonJunk"}
    assert maildir_view(str(local / "Projects"))["plan"][1] == {"\\Flagged", "\\Seen", "$Forwarded"}
    assert server.stop() == 0


def server_log(env):
    text = ""
    for name in os.listdir(env.logs):
        with open(os.path.join(env.logs, name), encoding="utf-8", errors="replace") as f:
            text += f.read()
    return text


def test_offlineimap_waits_in_idle_and_pulls_a_delivery_without_the_refresh(registered, tmp_path):
    registered.configure_logging(2, 1)  # at the debug level every command received is logged
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 2)
    local = tmp_path / "mail"
    # The refresh comes only after 5 minutes: a message that arrives well before came through IDLE.
    # offlineimap names an idle folder as the server lists it ("Inbox"): "INBOX" would make it sync
    # into a local folder of that name that its first sync never made.
    (tmp_path / "offlineimaprc").write_text(
        "[general]\naccounts = john\nmetadata = %s\nui = basic\n\n"
        "[Account john]\nlocalrepository = local\nremoterepository = remote\nautorefresh = %d\n\n"
        "[Repository local]\ntype = Maildir\nlocalfolders = %s\ncustomflag_a = $Forwarded\ncustomflag_b = $Junk\n\n"
        "[Repository remote]\ntype = IMAP\nremotehost = 127.0.0.1\nremoteport = %d\nremoteuser = %s\n"
        "remotepass = secret\nssl = no\nstarttls = no\nidlefolders = ['Inbox']\n"
        "folderfilter = lambda name: name == 'Inbox'\n"
        % (tmp_path / "metadata", IDLE_REFRESH_MINUTES, local, ports["imap"], JOHN))
    output = tmp_path / "offlineimap.out"
    with open(output, "wb") as out:
        # Not one-shot: it syncs, then waits for the refresh and idles on the folder meanwhile.
        sync = subprocess.Popen(["offlineimap", "-c", str(tmp_path / "offlineimaprc"), "-d", "imap"], stdout=out,
                                stderr=subprocess.STDOUT, env=dict(os.environ, HOME=str(tmp_path), PYTHONUNBUFFERED="1"))
    try:
        def said():
            return output.read_text(errors="replace")

        wait_for(lambda: "Next refresh in" in said(), "offlineimap's first sync")
        inbox = str(local / "Inbox")
        assert sorted(maildir_view(inbox)) == ["1", "2"]
        # Once the server has answered IDLE, it watches the folder: a delivery from then on is announced.
        wait_for(lambda: re.search(r"< \S+ IDLE\n.*?\+ idling", server_log(registered), re.S),
                 "the server idling for offlineimap")
        deliver(registered, ports["smtp"], 1, first=3)
        wait_for(lambda: "3" in maildir_view(inbox), "the new message in the Maildir", bound=IDLE_WAIT)
        path, _, copy = maildir_view(inbox)["3"]
        far = server_view(ports["imap"])
        assert sorted(far) == ["1", "2", "3"]
        assert copy == far["3"][2].replace(b"\r\n", b"\n")
        assert ",U=%d," % far["3"][0] in os.path.basename(path)
        assert "ERROR" not in said(), said()
    finally:
        sync.send_signal(signal.SIGTERM)
        try:
            code = sync.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            sync.kill()
            sync.wait(timeout=WAIT)
            raise
    assert "ERROR" not in said(), said()
    # The new message came as EXISTS while offlineimap idled, and it ended the IDLE with DONE.
    idled = re.search(r"reader < b'\+ idling\\r\\n'.*?reader < b'\* 3 EXISTS\\r\\n'", said(), re.S)
    assert idled, said()
    # (Its reader and writer threads may log the DONE and the reply to it in either order.)
    after = said()[idled.end():]
    assert "writer > b'DONE\\r\\n'" in after and re.search(r"reader < b'\w+ OK IDLE terminated\\r\\n'", after), said()
    # The server still serves, and nothing went wrong on its side.
    client = imap(ports["imap"])
    assert client.select("INBOX") == ("OK", [b"3"])
    client.logout()
    assert server.stop() == 0
    assert code == 0, said()
    log = server_log(registered)
    assert not re.search(r"(?m)^(Critical|Error):", log), log
    # Every session ended, the one offlineimap left idling too.
    assert log.count("IMAP4 Session starting") == log.count("IMAP4 Session ending") > 1, log


def test_imaplib_moves_messages_while_sessions_idle_on_both_folders(registered):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 4)
    client = imap(ports["imap"])
    assert client.create("Archive")[0] == "OK"
    before = server_view(ports["imap"])
    idler, watcher = login(ports["imap"]), login(ports["imap"])
    idler.ask(b"SELECT INBOX")
    watcher.ask(b"SELECT Archive")
    for raw in (idler, watcher):
        raw.send(b"i IDLE\r\n")
        assert raw.line() == b"+ idling"
    client.select("INBOX")
    assert client.uid("STORE", "1", "+FLAGS", "(\\Flagged)")[0] == "OK"
    assert idler.line() == b"* 1 FETCH (UID 1 FLAGS (\\Flagged \\Recent))"
    # COPYUID names the target's UIDVALIDITY, the UIDs moved and the UIDs they have there.
    validity = re.search(rb"(?i)UIDVALIDITY (\d+)", client.status("Archive", "(UIDVALIDITY)")[1][0]).group(1)
    assert client.uid("MOVE", "1,3", "Archive")[0] == "OK"
    assert client.response("COPYUID") == ("COPYUID", [validity + b" 1,3 1:2"])
    assert client.response("EXPUNGE") == ("EXPUNGE", [b"3", b"1"])
    # The session idling on the source hears of both expunges at once, from the highest number down.
    assert [idler.line(), idler.line()] == [b"* 3 EXPUNGE", b"* 1 EXPUNGE"]
    idler.send(b"DONE\r\n")
    assert idler.line() == b"i OK IDLE terminated"
    assert idler.ask(b"UID FETCH 1:* FLAGS") == [b"* 1 FETCH (UID 2 FLAGS (\\Recent))", b"* 2 FETCH (UID 4 FLAGS (\\Recent))",
                                                 b"t OK FETCH completed"]
    # The session idling on the target hears of the arrivals (as the copies land, perhaps one by one).
    heard = []
    while b"* 2 EXISTS" not in heard:
        heard.append(watcher.line())
        assert heard[-1], heard  # the connection stays open
    watcher.send(b"DONE\r\n")
    while heard[-1] != b"i OK IDLE terminated":
        heard.append(watcher.line())
        assert heard[-1], heard
    assert all(re.fullmatch(rb"\* [012] (EXISTS|RECENT)", line) for line in heard[:-1]), heard
    assert watcher.ask(b"NOOP") == [b"t OK NOOP completed"]  # nothing was left to tell
    client.logout()

    # A later session finds the moved messages, with their flags and content, only in the target.
    inbox, archive = server_view(ports["imap"]), server_view(ports["imap"], "Archive")
    assert {name: uid for name, (uid, _, _) in inbox.items()} == {"2": 2, "4": 4}
    assert {name: (uid, flags) for name, (uid, flags, _) in archive.items()} == {
        "1": (1, {"\\Flagged"}), "3": (2, frozenset())}
    for name in archive:
        assert archive[name][2] == before[name][2]
    for raw in (idler, watcher):
        raw.close()
    assert server.stop() == 0


def test_pop3_and_imap_see_one_store(registered):
    ports = installation(registered, routers=1)
    ports["pop3"] = free_port()
    configure(registered, ("sys:pop3:0:enabled", "bool:true"), ("sys:pop3:0:ip", "127.0.0.1"),
              ("sys:pop3:0:port", "port:%d" % ports["pop3"]))
    server = registered.start().wait_ready()
    deliver(registered, ports["smtp"], 4)

    watcher = login(ports["imap"])
    assert watcher.ask(b"SELECT INBOX")[0] == b"* 4 EXISTS"
    client = imap(ports["imap"])
    client.select("INBOX")
    typ, data = client.uid("FETCH", "1:*", "(RFC822.SIZE)")
    sizes = {int(uid): int(size) for uid, size in (re.search(rb"UID (\d+) RFC822.SIZE (\d+)", item).groups()
                                                   for item in data)}
    assert sorted(sizes) == [1, 2, 3, 4]
    assert client.uid("STORE", "2", "+FLAGS", "(\\Deleted)")[0] == "OK"
    assert client.expunge() == ("OK", [b"2"])
    assert watcher.ask(b"NOOP") == [b"* 2 EXPUNGE", b"t OK NOOP completed"]

    # The next POP3 session no longer has the expunged message.
    pop = poplib.POP3("127.0.0.1", ports["pop3"], timeout=WAIT)
    pop.user(JOHN)
    pop.pass_("secret")
    assert pop.stat() == (3, sizes[1] + sizes[3] + sizes[4])
    assert pop.list()[1] == [b"1 %d" % sizes[1], b"2 %d" % sizes[3], b"3 %d" % sizes[4]]
    assert subject(b"\r\n".join(pop.retr(2)[1])) == "3"
    assert pop.dele(1).startswith(b"+OK")
    assert watcher.ask(b"NOOP") == [b"t OK NOOP completed"]  # nothing is removed before QUIT
    # A message expunged over IMAP during the POP3 session: its retrieval fails cleanly, and deleting
    # it as well does not keep QUIT from removing the others.
    assert client.uid("STORE", "4", "+FLAGS", "(\\Deleted)")[0] == "OK"
    assert client.expunge() == ("OK", [b"3"])
    client.logout()
    with pytest.raises(poplib.error_proto, match="-ERR Message file corrupt or missing"):
        pop.retr(3)
    assert pop.dele(3).startswith(b"+OK")
    assert pop.quit() == b"+OK Done"
    assert watcher.ask(b"NOOP") == [b"* 3 EXPUNGE", b"* 1 EXPUNGE", b"t OK NOOP completed"]
    watcher.close()

    client = imap(ports["imap"])
    assert client.select("INBOX") == ("OK", [b"1"])
    assert client.uid("SEARCH", "ALL") == ("OK", [b"3"])
    client.logout()
    pop = poplib.POP3("127.0.0.1", ports["pop3"], timeout=WAIT)
    pop.user(JOHN)
    pop.pass_("secret")
    assert pop.stat() == (1, sizes[3])
    pop.quit()
    assert server.stop() == 0


def test_mbsync_creates_a_missing_folder_it_is_told_to_sync(registered, tmp_path):
    ports = installation(registered, routers=1)
    server = registered.start().wait_ready()
    maildir, state = tmp_path / "mail", tmp_path / "state"
    for part in ("new", "cur", "tmp"):
        (maildir / "Drafts" / part).mkdir(parents=True)
    (maildir / "Drafts" / "cur" / "1700000000.3_1.client:2,D").write_bytes(b"Subject: draft\n\nunfinished\n")
    state.mkdir()
    # One named box, no listing: mbsync opens it, hears it is missing, and creates it.
    (tmp_path / "mbsyncrc").write_text(
        "IMAPAccount john\nHost 127.0.0.1\nPort %d\nUser %s\nPass secret\nSSLType None\nAuthMechs LOGIN\n\n"
        "IMAPStore remote\nAccount john\n\nMaildirStore local\nPath %s/\nInbox %s/INBOX\n\n"
        "Channel john\nFar :remote:Drafts\nNear :local:Drafts\nSync All\nCreate Both\nSyncState %s/\n"
        % (ports["imap"], JOHN, maildir, maildir, state))
    said = run(tmp_path, "mbsync", "-D", "-c", str(tmp_path / "mbsyncrc"), "john").stdout
    exchange = [line for line in said.splitlines() if line.startswith("F: ") and not line.startswith("F: [")]
    assert exchange[exchange.index('F: >>> 5 SELECT "Drafts"') + 1:][:2] == ["F: 5 NO No such folder exists",
                                                                            'F: >>> 6 CREATE "Drafts"'], said
    drafts = server_view(ports["imap"], "Drafts")
    assert list(drafts) == ["draft"] and drafts["draft"][1] == {"\\Draft"}
    assert server.stop() == 0
