"""Backups taken by the running server while mail keeps arriving, checked and restored with
pellworth-admin: the copy is consistent, rotation replaces a generation whole, damage is found, a
restore brings back the same POP3 view and never reuses an id, and a stop mid-backup leaves no
half-made generation."""
import os
import pathlib
import poplib
import signal
import smtplib
import sqlite3
import threading
import time

from conftest import WAIT, admin, configure, free_port, log_text, wait_for

PASSWORD = "secret12"
WEEKDAYS = ("sun", "mon", "tue", "wed", "thu", "fri", "sat")


def configure_backups(env, directory, smtp_port, pop3_port, period=1):
    env.configure_debug("NoListeners", 0)
    env.configure_debug("MaintenancePeriod", period)
    env.configure_logging(2, 1)
    configure(env, ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % smtp_port),
              ("sys:pop3:0:ip", "127.0.0.1"), ("sys:pop3:0:port", "port:%d" % pop3_port), ("sys:imap4:0:enabled", "i2:0"),
              ("sys:backup:enabled", "bool:true"), ("sys:backup:path", "str:" + directory),
              ("sys:backup:numcopies", "i4:3"), ("sys:backup:lastnum", "i4:3"),
              *[("sys:backup:" + day, "bool:true") for day in WEEKDAYS])


def send(port, subject):
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.sendmail("a@remote.test", ["john@example.com"], "Subject: %s\r\n\r\nbody of %s\r\n" % (subject, subject))


def pop3_view(port):
    """UIDL -> size of every message in john's maildrop."""
    client = poplib.POP3("127.0.0.1", port, timeout=WAIT)
    try:
        client.user("john@example.com")
        client.pass_(PASSWORD)
        uidls = dict(line.decode().split() for line in client.uidl()[1])
        sizes = dict(line.decode().split() for line in client.list()[1])
        return {uidl: int(sizes[number]) for number, uidl in uidls.items()}
    finally:
        client.quit()


def test_backup_under_load_rotation_verify_damage_and_restore(registered):
    env, smtp_port, pop3_port = registered, free_port(), free_port()
    directory = os.path.join(env.root, "backups") + "/"
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--password", PASSWORD)
    admin(env, "mailbox", "add", "news@example.com", "--kind", "list", "--password", PASSWORD)
    for member in ("ann@remote.test", "bob@remote.test"):
        admin(env, "member", "add", "news@example.com", member)
    # Generation 1 holds a file of an older copy; generation 2 must not be touched.
    os.makedirs(directory + "backup1/example.com")
    pathlib.Path(directory + "backup1/example.com/stale.eml").write_text("old mail")
    os.makedirs(directory + "backup2")
    pathlib.Path(directory + "backup2/keep").write_text("generation 2")
    # The first pass, and with it the backup, comes 3 s after the start: clients are served before it.
    configure_backups(env, directory, smtp_port, pop3_port, period=3)

    # Clients keep coming every 200 ms from before the start until the backup is over.
    served, failures, done = [], [], threading.Event()

    def clients():
        n = 0
        while not done.is_set():
            try:
                send(smtp_port, "during %d" % n)
                served.append((n, time.time()))
            except (OSError, smtplib.SMTPException) as error:
                failures.append(error)
            n += 1
            done.wait(0.2)

    server = env.start().wait_ready()
    sender = threading.Thread(target=clients)
    sender.start()
    try:
        wait_for(lambda: "Backup to %sbackup1 finished" % directory in log_text(env), "the first pass's backup")
        wait_for(lambda: len(served) >= 3, "clients after the backup")
    finally:
        done.set()
        sender.join(WAIT)
    assert not failures, failures
    assert admin(env, "config", "get", "sys:backup:lastnum").stdout.strip() == "i4:1"

    # Generation 1 was replaced whole: no stale file, no partial copy; generation 2 is untouched.
    generation = pathlib.Path(directory + "backup1")
    assert not (generation / "example.com/stale.eml").exists()
    assert pathlib.Path(directory + "backup2/keep").read_text() == "generation 2"
    assert sorted(os.listdir(directory)) == ["backup1", "backup2"]
    manifest = (generation / "pellworth.backup").read_text().splitlines()
    assert manifest[0].startswith("taken ") and manifest[1].startswith("version ")
    assert not any(line.endswith((".lock", ".mark", ".sock")) or "/~" in line for line in manifest)
    # Every message acknowledged before the snapshot is in the copy, routed or still queued.
    taken = time.mktime(time.strptime(manifest[0][len("taken "):], "%Y-%m-%d %H:%M:%S"))
    copied = b"".join(path.read_bytes() for path in generation.rglob("*.eml"))
    before = [n for n, acknowledged in served if acknowledged < taken]
    assert before and all(b"Subject: during %d\r\n" % n in copied for n in before)
    # As consistent as a crash: every record listed has its content, and both are the live bytes.
    inbox = generation / "example.com/john/_In"
    records = sorted(inbox.glob("*.env"))
    assert records and all(r.with_suffix(".eml").exists() for r in records)
    live = pathlib.Path(env.store_file("example.com/john/_In"))
    assert all((live / r.name).with_suffix(".eml").read_bytes() == r.with_suffix(".eml").read_bytes() for r in records)
    assert oct(generation.stat().st_mode & 0o777) == "0o700" and oct(records[0].stat().st_mode & 0o777) == "0o600"
    # The member database is whole, taken through SQLite (no journal files beside it).
    database = [line.split(" ", 2)[2] for line in manifest if line.endswith(".mdb")]
    assert len(database) == 1 and not any(line.endswith(("-wal", "-shm", "-journal")) for line in manifest)
    with sqlite3.connect(generation / database[0]) as members:
        assert members.execute("SELECT COUNT(*) FROM Members").fetchone()[0] == 2
    assert "every file matches" in admin(env, "backup", "verify", "1").stdout
    listed = admin(env, "backup", "list").stdout.splitlines()
    assert listed[0].startswith("1 ") and listed[1].startswith("2 (no manifest)")

    # A restart on the same day takes no second backup.
    server.stop()
    started = log_text(env).count("Backup of the message store")
    log_before = len(log_text(env))
    server = env.start().wait_ready()
    wait_for(lambda: log_text(env)[log_before:].count("Maintenance pass finished") >= 2, "two passes after the restart")
    assert log_text(env).count("Backup of the message store") == started

    # Damage is found and named; a restore beside the running server is refused.
    victim = records[0].with_suffix(".eml")
    original = victim.read_bytes()
    victim.write_bytes(original[:-1] + b"X")
    damaged = env.admin("backup", "verify", "1")
    assert damaged.returncode == 1 and victim.name in damaged.stderr
    assert env.admin("backup", "restore", "1").returncode == 1
    victim.write_bytes(original)
    refused = env.admin("backup", "restore", "1")
    assert refused.returncode == 1 and "stop it first" in refused.stderr

    before = pop3_view(pop3_port)
    server.stop()
    restored = admin(env, "backup", "restore", "1").stdout
    assert "queued envelopes" in restored
    aside = [name for name in os.listdir(env.root) if ".before-restore-" in name]
    assert len(aside) == 1

    # The restored maildrop is the backup's, with the UIDLs and sizes the messages had; new mail
    # never takes an id the replaced store gave out.
    server = env.start().wait_ready()
    after = pop3_view(pop3_port)
    assert len(after) == len(records) and all(before[uidl] == size for uidl, size in after.items())
    send(smtp_port, "after the restore")
    newest = wait_for(lambda: set(pop3_view(pop3_port)) - set(after), "the new message")
    assert not newest & set(before)
    server.stop()


def test_stop_during_a_backup_ends_quickly_and_leaves_no_partial_generation(registered):
    env, smtp_port, pop3_port = registered, free_port(), free_port()
    directory = os.path.join(env.root, "backups") + "/"
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--password", PASSWORD)
    # Enough files that the copy takes a while: a stop must not wait for it.
    bulk = pathlib.Path(env.store_file("example.com/john/bulk"))
    bulk.mkdir()
    for n in range(30000):
        (bulk / ("%05d" % n)).write_bytes(b"x" * 512)
    configure_backups(env, directory, smtp_port, pop3_port)
    server = env.start().wait_ready()
    wait_for(lambda: "Backup of the message store to %sbackup1 started" % directory in log_text(env), "the backup's start")
    stopped = time.monotonic()
    server.proc.send_signal(signal.SIGTERM)
    assert server.proc.wait(timeout=20) == 0
    assert time.monotonic() - stopped < 20
    assert "Backup to %sbackup1 finished" % directory not in log_text(env)
    assert os.listdir(directory) == []
    assert not os.path.exists(env.store_file("pellworth.snapshot"))

    # A backup directory inside the store (here through a link) would copy itself: refused.
    os.symlink(env.store_file("example.com"), os.path.join(env.root, "inside"))
    configure(env, ("sys:backup:path", "str:" + os.path.join(env.root, "inside", "backups")))
    refused = env.admin("backup", "now")
    assert refused.returncode == 1 and "lies inside the message store" in refused.stderr
    assert not os.path.exists(env.store_file("example.com/backups"))
