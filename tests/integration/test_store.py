"""The message store on disk, made by the server's first start and by pellworth-admin, read back with
an independent decoder of the property-file format."""
import os
import struct

import cfgfile

KINDS = {"postmaster": 1, "user": 100, "forward": 200, "group": 300, "list": 400, "autoresponder": 500,
         "robot": 600, "relay": 700, "alias": 800}
WITH_INBOX = {"postmaster", "user", "relay"}


def properties(directory):
    """The property file of a store object: "_" + the directory's own name."""
    name = os.path.basename(os.path.normpath(directory))
    with open(os.path.join(directory, "_" + name), "rb") as f:
        return {key: (vartype, value) for key, vartype, value in cfgfile.decode(f.read())}


def tree(root):
    return sorted(os.path.relpath(os.path.join(d, n), root) for d, dirs, files in os.walk(root) for n in dirs + files)


def test_first_start_makes_the_queue_and_learning_folders(registered):
    registered.start().wait_ready().stop()
    store = registered.store
    assert properties(store)["_Type"] == (cfgfile.VT_I4, 0)
    for folder, folder_type in (("_In", 1), ("_Out", 2), ("Bayesian Learn", 5), ("Bayesian Learn/Spam", 5),
                                ("Bayesian Learn/Good", 5)):
        path = os.path.join(store, folder)
        props = properties(path)
        assert props["_Version"] == (cfgfile.VT_I4, 1) and props["_Type"] == (cfgfile.VT_I4, folder_type)
        assert os.path.getsize(os.path.join(path, "_uid")) == 0
        if folder.startswith("Bayesian"):
            assert props["_ACL:members:default"][1] and props["_ACL:members:localhost"][1]
    before = tree(store)
    registered.start().wait_ready().stop()  # a second start makes nothing new
    assert tree(store) == before


def test_admin_makes_domains_and_every_mailbox_kind(registered):
    assert registered.admin("domain", "add", "Example.COM").returncode == 0
    domain = registered.store_file("example.com")
    assert properties(domain)["_Version"] == (cfgfile.VT_I4, 1)
    for kind, number in KINDS.items():
        result = registered.admin("mailbox", "add", "%s-box@example.com" % kind.upper(), "--kind", kind)
        assert result.returncode == 0, result.stderr
        mailbox = os.path.join(domain, "%s-box" % kind)
        assert properties(mailbox)["_Type"] == (cfgfile.VT_I4, number)
        assert os.path.isdir(os.path.join(mailbox, "_In")) == (kind in WITH_INBOX)

    assert registered.admin("mailbox", "password", "user-box@example.com", "12345678").returncode == 0
    assert len(properties(os.path.join(domain, "user-box"))["_Password"][1]) == 16
    assert registered.admin("mailbox", "add", "nine@example.com", "--password", "123456789").returncode == 0
    stored = properties(os.path.join(domain, "nine"))["_Password"][1]
    assert len(stored) == 32 and stored == stored.upper()
    show = registered.admin("mailbox", "show", "Nine@Example.com").stdout
    assert "kind=user" in show and "123456789" not in show and stored not in show

    assert registered.admin("mailbox", "set", "alias-box@example.com", "alias:address", "x@y.org").returncode == 0
    assert registered.admin("mailbox", "get", "alias-box@example.com", "alias:address").stdout.strip() == "str:x@y.org"
    listing = registered.admin("mailbox", "list", "example.com").stdout.split()
    assert "nine@example.com" in listing and len(listing) == len(KINDS) + 1


def test_hostile_or_duplicate_names_are_refused_and_create_nothing(registered):
    assert registered.admin("domain", "add", "example.com").returncode == 0
    before = tree(registered.store)
    for args in (("domain", "add", ".."), ("domain", "add", "a/b"), ("domain", "add", "."), ("domain", "add", "x\ty"),
                 ("domain", "add", "EXAMPLE.com"), ("mailbox", "add", "../etc@example.com"),
                 ("mailbox", "add", "a/b@example.com"), ("mailbox", "add", "x@../example.com"),
                 ("mailbox", "add", "nobody@elsewhere.org"), ("mailbox", "add", "x@example.com", "--kind", "wizard")):
        result = registered.admin(*args)
        assert result.returncode == 1, args
        assert len(result.stderr.strip().splitlines()) == 1
    assert tree(registered.store) == before


def test_start_up_clears_unfinished_files_and_keeps_published_envelopes(registered):
    registered.configure_debug("NoRouters", 1)  # the routers would take the published envelope
    registered.start().wait_ready().stop()
    queue = registered.store_file("_In")
    record = cfgfile.encode([("_Sender", cfgfile.VT_BSTR, "a@b.c")]) + struct.pack("<I", 0)
    for name, content in (("0000001.env", record), ("0000001.eml", b"Subject: kept\r\n\r\n"),
                          ("0000002.eml", b"half a message"), ("~0000003.env.1.1.tmp", b"half a record")):
        with open(os.path.join(queue, name), "wb") as f:
            f.write(content)
    registered.start().wait_ready().stop()
    assert sorted(n for n in os.listdir(queue) if not n.startswith("_")) == ["0000001.eml", "0000001.env"]


def test_directories_that_are_no_store_objects_and_half_made_inboxes_do_not_stop_delivery(registered):
    """A store on its own file system has "lost+found" in its root; an inbox whose creation was cut
    right after its directory was made, and one that lost its counter, must still take mail."""
    import shutil
    import smtplib

    from conftest import WAIT
    from test_router import inbox, send, serving, wait_count

    assert registered.admin("domain", "add", "zeta.example").returncode == 0
    for box in ("john", "mary"):
        assert registered.admin("mailbox", "add", "%s@zeta.example" % box).returncode == 0
    store = registered.store
    os.mkdir(os.path.join(store, "lost+found"))
    john_inbox = os.path.join(store, "zeta.example", "john", "_In")
    shutil.rmtree(john_inbox)
    os.mkdir(john_inbox)
    os.remove(os.path.join(store, "zeta.example", "mary", "_In", "_uid"))
    port = serving(registered)
    registered.start().wait_ready()
    with smtplib.SMTP(timeout=WAIT) as client:
        code, greeting = client.connect("127.0.0.1", port)
        assert code == 220 and greeting.split()[0] == b"zeta.example", greeting
    send(port, "john@zeta.example", "to john")
    send(port, "mary@zeta.example", "to mary")
    wait_count(registered, "john@zeta.example", 1)
    wait_count(registered, "mary@zeta.example", 1)
    assert os.path.basename(inbox(registered, "mary@zeta.example")[0]) == "0000001.env"
    assert properties(john_inbox)["_Type"] == (cfgfile.VT_I4, 1)
    assert sorted(os.listdir(os.path.join(store, "lost+found"))) == []
