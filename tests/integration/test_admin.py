"""pellworth-admin's configuration commands against a real store, and their refusals."""
import cfgfile


def test_config_set_get_list_remove_with_typed_values(registered):
    assert registered.admin("config", "set", "sys:smtp:0:port", "port:2525").returncode == 0
    assert registered.admin("config", "set", "sys:routers", "i4:6").returncode == 0
    assert registered.admin("config", "set", "sys:ssl:enabled", "bool:true").returncode == 0
    assert registered.admin("config", "set", "sys:smtp:0:welcome", "Hello there").returncode == 0

    get = registered.admin("config", "get", "SYS:SMTP:0:PORT")
    assert get.returncode == 0 and get.stdout.strip() == "port:2525"

    records = {k: (t, v) for k, t, v in cfgfile.decode(open(registered.store_file("pellworth.cfg"), "rb").read())}
    assert records["sys:smtp:0:port"] == (cfgfile.VT_UI2, 0xDD09)  # 2525 in network byte order
    assert records["sys:routers"] == (cfgfile.VT_I4, 6)
    assert records["sys:ssl:enabled"] == (cfgfile.VT_BOOL, -1)
    assert records["sys:smtp:0:welcome"] == (cfgfile.VT_BSTR, "Hello there")
    assert records["sys:public:prefix"] == (cfgfile.VT_BSTR, "Public Folders")  # defaults came along

    listing = registered.admin("config", "list", "sys:smtp").stdout.splitlines()
    assert "sys:smtp:0:welcome=str:Hello there" in listing
    assert "sys:smtp:0:port=port:2525" in listing
    assert all(line.startswith("sys:smtp") for line in listing)

    assert registered.admin("config", "remove", "sys:routers").returncode == 0
    missing = registered.admin("config", "get", "sys:routers")
    assert missing.returncode == 1 and "no such key" in missing.stderr


def test_bad_values_and_usage_are_refused_with_one_line(registered):
    bad = registered.admin("config", "set", "sys:smtp:0:port", "ui2:70000")
    assert bad.returncode == 1 and len(bad.stderr.strip().splitlines()) == 1
    assert registered.admin("config", "set", ":::", "x").returncode == 1
    assert registered.admin("frobnicate").returncode == 2


def test_changes_while_the_server_runs_go_through_it_and_are_saved_and_kept(registered):
    import signal

    server = registered.start().wait_ready()
    assert registered.admin("config", "set", "sys:routers", "i4:3").returncode == 0
    assert registered.admin("config", "get", "SYS:ROUTERS").stdout.strip() == "i4:3"
    records = {k: (t, v) for k, t, v in cfgfile.decode(open(registered.store_file("pellworth.cfg"), "rb").read())}
    assert records["sys:routers"] == (cfgfile.VT_I4, 3)  # saved before the command returned
    assert "sys:routers=i4:3" in registered.admin("config", "list", "sys:r").stdout.split()
    assert registered.admin("config", "set", "sys:gone", "str:soon").returncode == 0
    assert registered.admin("config", "remove", "sys:gone").returncode == 0
    missing = registered.admin("config", "remove", "sys:gone")
    assert missing.returncode == 1 and "no such key" in missing.stderr
    bad = registered.admin("config", "set", "sys:routers", "i4:many")
    assert bad.returncode == 1 and "not a valid value" in bad.stderr
    assert server.stop(signal.SIGTERM) == 0
    assert registered.admin("config", "get", "sys:routers").stdout.strip() == "i4:3"  # the server's save kept it
    assert registered.admin("config", "set", "sys:routers", "i4:4").returncode == 0  # offline, on the file
    assert registered.admin("config", "get", "sys:routers").stdout.strip() == "i4:4"


def test_reading_the_configuration_changes_no_file_while_the_server_runs(registered):
    """`config get` and `config list` ask a running server for its settings, and without one read
    pellworth.cfg (or its backup) as they stand: no restore, no rename, no copy of a damaged file."""
    import os

    assert registered.admin("config", "set", "sys:routers", "i4:6").returncode == 0
    assert registered.admin("config", "set", "sys:routers", "i4:7").returncode == 0  # pellworth.bak holds 6

    def snapshot():
        root = registered.store
        return {name: open(os.path.join(root, name), "rb").read() for name in sorted(os.listdir(root))
                if os.path.isfile(os.path.join(root, name)) and name != "pellworth.lock"}

    server = registered.start().wait_ready()

    # A damaged pellworth.cfg is read around (from the backup) without touching either file.
    with open(registered.store_file("pellworth.cfg"), "r+b") as f:
        f.write(b"\xff\xff\xff\xff")
    before = snapshot()
    # While the server runs, both show its running settings (loaded before the damage).
    get = registered.admin("config", "get", "sys:routers")
    assert get.returncode == 0 and get.stdout.strip() == "i4:7", get
    listing = registered.admin("config", "list", "sys:")
    assert listing.returncode == 0 and "sys:routers=i4:7" in listing.stdout.split()
    assert snapshot() == before
    assert server.stop() == 0

    # Without a server the damaged file is read around, from the backup, and again nothing changes.
    with open(registered.store_file("pellworth.cfg"), "r+b") as f:
        f.write(b"\xff\xff\xff\xff")
    before = snapshot()
    get = registered.admin("config", "get", "sys:routers")
    assert get.returncode == 0 and get.stdout.strip() in ("i4:6", "i4:7"), get
    listing = registered.admin("config", "list", "sys:")
    assert listing.returncode == 0 and get.stdout.strip() in listing.stdout.replace("sys:routers=", "").split()
    assert snapshot() == before
