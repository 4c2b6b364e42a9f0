"""The server process end to end: registration switches, first start, stop signals, the configuration
file it leaves behind, and its refusals."""
import os
import signal

import cfgfile
from conftest import APPID_KEY


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


def test_second_server_on_the_same_store_is_refused(registered):
    first = registered.start().wait_ready()
    result = registered.run()
    assert result.returncode != 0
    assert "in use" in result.stderr
    assert first.stop() == 0
