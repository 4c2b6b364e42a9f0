"""The server process end to end: registration switches, first start, stop signals, the configuration
file it leaves behind, and its refusals."""
import os
import re
import signal
import smtplib
import struct

import cfgfile
from conftest import APPID_KEY, admin, configure, free_port


def read(path):
    with open(path, "rb") as f:
        return f.read()


def test_registration_switches_and_foreign_entries_survive(env):
    with open(env.registry, "w", encoding="utf-8") as f:
        f.write('Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Vendor]\n'
                '"Bytes"=hex:01,02,03\n')
    unit = os.path.join(env.units, "pellworth.service")

    assert env.run("-RegServer").returncode == 0
    assert APPID_KEY in env.registry_text()
    assert "LocalService" not in env.registry_text()
    assert not os.path.exists(unit)
    # Every ProgID the server answers to is recorded, with and without ".1", also those only a running
    # server serves, each naming the same class identifier as its CLSID record.
    text = env.registry_text()
    for prog_id in ("Pellworth.ServerSession", "Pellworth.Settings", "Pellworth.Logging", "Pellworth.MessageStore",
                    "Pellworth.Message", "Pellworth.PhraseFilter", "Pellworth.CharSetFilter",
                    "Pellworth.FriendlySendersList", "Pellworth.EnemySendersList", "Pellworth.NoRespondToList"):
        clsid = re.search(r'\[HKEY_CLASSES_ROOT\\%s\\CLSID\]\n@="(\{[0-9A-Fa-f-]+\})"' % re.escape(prog_id), text)
        assert clsid, prog_id
        assert '[HKEY_CLASSES_ROOT\\%s.1\\CLSID]\n@="%s"' % (prog_id, clsid.group(1)) in text, prog_id
        assert '[HKEY_CLASSES_ROOT\\CLSID\\%s\\ProgID]\n@="%s.1"' % (clsid.group(1), prog_id) in text, prog_id

    # A lower-case switch after a slash installs the service.
    assert env.run("/service").returncode == 0
    assert '"LocalService"="Pellworth"' in env.registry_text()
    text = open(unit, encoding="utf-8").read()
    assert "ExecStart=" in text and "PELLWORTH_REGISTRY=%s" % env.registry in text

    # "RegServer" then "Service": only the first counts, and it takes the service away again.
    assert env.run("-RegServer", "-Service").returncode == 0
    assert "LocalService" not in env.registry_text()
    assert not os.path.exists(unit)

    assert env.run("-Service").returncode == 0
    assert env.run("-UnregServer").returncode == 0
    assert APPID_KEY not in env.registry_text()
    assert "Pellworth.ServerSession" not in env.registry_text() and "Pellworth.PhraseFilter" not in env.registry_text()
    assert not os.path.exists(unit)
    assert '"Bytes"=hex:01,02,03' in env.registry_text()


def test_unregistered_server_refuses_to_start(env):
    result = env.run()
    assert result.returncode != 0
    assert "RegServer" in result.stderr


def test_missing_store_value_fails_start_up(env):
    assert env.run("-RegServer").returncode == 0
    result = env.run()
    assert result.returncode != 0
    assert "MessageStore" in result.stderr and "0x80030002" in result.stderr


def test_first_start_creates_store_and_stop_saves_exact_defaults(registered):
    server = registered.start().wait_ready()
    assert os.path.isdir(registered.store)
    assert server.stop(signal.SIGTERM) == 0
    data = read(registered.store_file("pellworth.cfg"))
    assert cfgfile.decode(data) == cfgfile.DEFAULTS
    assert data == cfgfile.encode(cfgfile.DEFAULTS)
    # Port 25 in network byte order, as the bytes 00 19 after its VT_UI2 tag.
    port_record = b"sys:smtp:0:port" + b"\x12\x00" + b"\x00\x19"
    assert port_record in data
    assert not os.path.exists(registered.store_file("pellworth.bak"))


def test_service_mode_runs_and_stops_on_sigint(env):
    assert env.run("-Service").returncode == 0
    env.configure_store()
    env.configure_debug("NoListeners", 1)
    server = env.start().wait_ready()
    assert server.stop(signal.SIGINT) == 0
    assert os.path.exists(env.store_file("pellworth.cfg"))


def test_restart_without_changes_writes_nothing(registered):
    registered.start().wait_ready().stop()
    cfg = registered.store_file("pellworth.cfg")
    before = os.stat(cfg)
    content = read(cfg)
    assert registered.start().wait_ready().stop() == 0
    after = os.stat(cfg)
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert read(cfg) == content
    assert not os.path.exists(registered.store_file("pellworth.bak"))
    assert not [n for n in os.listdir(registered.store) if n.endswith(".tmp")]


def test_wrong_version_is_replaced_from_backup(registered):
    os.makedirs(registered.store)
    backup = cfgfile.encode([("sys", 0, None), ("sys:routers", cfgfile.VT_I4, 2)])
    with open(registered.store_file("pellworth.bak"), "wb") as f:
        f.write(backup)
    unreadable = cfgfile.encode([("sys", 0, None), ("sys:routers", cfgfile.VT_I4, 9)], version=2)
    with open(registered.store_file("pellworth.cfg"), "wb") as f:
        f.write(unreadable)
    assert registered.start().wait_ready().stop() == 0
    assert read(registered.store_file("pellworth.cfg")) == backup
    assert read(registered.store_file("pellworth.bak")) == backup
    assert read(registered.store_file("pellworth.cfg.damaged")) == unreadable


def test_empty_tree_file_loads_and_is_kept(registered):
    os.makedirs(registered.store)
    empty = cfgfile.encode([])
    with open(registered.store_file("pellworth.cfg"), "wb") as f:
        f.write(empty)
    assert registered.start().wait_ready().stop() == 0
    assert read(registered.store_file("pellworth.cfg")) == empty


def test_damaged_file_without_backup_is_not_overwritten(registered):
    os.makedirs(registered.store)
    damaged = b"\x01\x00\x00\x00\x05\x00\x00\x00\xff\xff\xff\x7f"
    with open(registered.store_file("pellworth.cfg"), "wb") as f:
        f.write(damaged)
    assert registered.start().wait_ready().stop() == 0
    assert read(registered.store_file("pellworth.cfg")) == damaged


def test_object_of_an_unknown_class_keeps_the_listeners_and_its_bytes(registered):
    """A configuration written by a server that knows one more class: what comes before the object
    still configures this server, and the object with everything after it survives a save."""
    registered.configure_debug("NoListeners", 0)
    registered.configure_debug("NoRouters", 1)
    port = free_port()
    configure(registered, ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
              ("sys:pop3:0:enabled", "bool:false"), ("sys:imap4:0:enabled", "bool:false"))
    cfg = registered.store_file("pellworth.cfg")
    known = read(cfg)
    vt_dispatch = 9
    kept = (struct.pack("<I", 9) + b"sys:agent" + struct.pack("<H", vt_dispatch) + bytes(range(1, 17))
            + b"object data" + cfgfile.encode([("sys:after", cfgfile.VT_I4, 5)])[8:])
    count = struct.unpack_from("<I", known, 4)[0]
    with open(cfg, "wb") as f:
        f.write(known[:4] + struct.pack("<I", count + 2) + known[8:] + kept)

    server = registered.start().wait_ready()
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        assert smtp.noop()[0] == 250
    assert server.stop() == 0

    admin(registered, "config", "set", "sys:routers", "i4:3")
    saved = read(cfg)
    assert saved.endswith(kept)
    assert struct.unpack_from("<I", saved, 4)[0] == count + 3
    listed = admin(registered, "config", "list", "sys:").stdout
    assert "sys:routers=i4:3" in listed and "sys:agent" not in listed and "sys:after" not in listed


def test_second_server_on_the_same_store_is_refused(registered):
    first = registered.start().wait_ready()
    result = registered.run()
    assert result.returncode != 0
    assert "in use" in result.stderr
    assert first.stop() == 0


def plant_outbound(store, domain, count, retries):
    """`count` envelopes for `domain` in "_Out", written as the store writes them, each already tried
    `retries` times; returns their record paths."""
    import struct
    folder = os.path.join(store, "_Out", domain)
    os.makedirs(folder)
    with open(os.path.join(folder, "_" + domain), "wb") as f:
        f.write(cfgfile.encode([("_Version", cfgfile.VT_I4, 1), ("_Type", cfgfile.VT_I4, 3)]))
    with open(os.path.join(folder, "_uid"), "wb") as f:
        f.write(struct.pack("<d", count))
    paths = []
    for uid in range(1, count + 1):
        stem = os.path.join(folder, "%07X" % uid)
        with open(stem + ".eml", "wb") as f:
            f.write(b"Subject: waiting %d\r\n\r\nbody\r\n" % uid)
        recipient = ("user%d@%s" % (uid, domain)).encode("utf-16-le") + b"\0\0"
        record = cfgfile.encode([("_Sender", cfgfile.VT_BSTR, "<sender@example.com>"),
                                 ("sys:delivery:retry", cfgfile.VT_I4, retries)])
        with open(stem + ".env", "wb") as f:
            f.write(record + struct.pack("<II", 1, len(recipient)) + recipient)
        paths.append(stem + ".env")
    return paths


def test_sigterm_with_a_backlog_in_out_stops_at_once_and_leaves_it_untried(registered):
    """The backlog waits for a peer that takes connections and never answers: a stop lets the
    deliveries in progress go, runs none of the others and counts no attempt for any of them."""
    import socket
    import threading
    import time

    from conftest import WAIT

    paths = plant_outbound(registered.store, "remote.test", 500, 2)
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(128)
    held = []

    def take():
        while True:
            try:
                held.append(silent.accept()[0])
            except OSError:
                return

    threading.Thread(target=take, daemon=True).start()
    for key, value in (("sys:delivery:useremote", "bool:true"), ("sys:delivery:server", "127.0.0.1"),
                       ("sys:delivery:port", "port:%d" % silent.getsockname()[1])):
        assert registered.admin("config", "set", key, value).returncode == 0
    try:
        server = registered.start().wait_ready()
        deadline = time.monotonic() + WAIT
        while not held:  # deliveries are under way
            assert time.monotonic() < deadline and server.proc.poll() is None, "no delivery started"
            time.sleep(0.05)
        assert server.stop(signal.SIGTERM) == 0
    finally:
        silent.close()
        for connection in held:
            connection.close()
    for path in paths:
        records, recipients = cfgfile.decode_envelope(read(path))
        assert ("sys:delivery:retry", cfgfile.VT_I4, 2) in records, (path, records)
        assert len(recipients) == 1
    assert os.path.exists(registered.store_file("pellworth.cfg"))


def test_sighup_of_a_closed_terminal_stops_in_order_and_saves(registered):
    """A foreground run whose terminal closes gets SIGHUP: the same orderly stop as SIGTERM, with the
    workers stopped, the settings saved and exit status 0."""
    registered.configure_logging(1, 3)
    server = registered.start().wait_ready()
    assert server.stop(signal.SIGHUP) == 0
    data = read(registered.store_file("pellworth.cfg"))
    assert cfgfile.decode(data) == cfgfile.DEFAULTS
    log = read(os.path.join(registered.logs, "LogFile.log")).decode("utf-8", "replace")
    assert "Server stopped" in log, log[-2000:]
