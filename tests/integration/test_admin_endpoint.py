"""The administration endpoint: the object model over the server's Unix socket, spoken line by line
with JSON, and what it does with hostile clients."""
import json
import os
import socket
import stat
import subprocess

import cfgfile
from conftest import ADMIN, WAIT, AdminClient, admin_socket_path, configure, free_port, wait_for

DISP_E_MEMBERNOTFOUND = 0x80020003
DISP_E_TYPEMISMATCH = 0x80020005
DISP_E_UNKNOWNNAME = 0x80020006
DISP_E_BADPARAMCOUNT = 0x8002000E
REGDB_E_CLASSNOTREG = 0x80040154
E_HANDLE = 0x80070006
E_ACCESSDENIED = 0x80070005
E_INVALIDARG = 0x80070057
S_FALSE = 1


def saved_records(env):
    with open(env.store_file("pellworth.cfg"), "rb") as f:
        return {k.lower(): (t, v) for k, t, v in cfgfile.decode(f.read())}


def test_settings_keep_types_and_are_saved_before_the_reply_and_errors_are_the_automation_ones(registered):
    server = registered.start().wait_ready()
    mode = os.stat(admin_socket_path(registered)).st_mode
    assert stat.S_ISSOCK(mode) and stat.S_IMODE(mode) == 0o660
    client = AdminClient(admin_socket_path(registered))
    assert client.greeting["server"] == "Pellworth" and client.greeting["protocol"] == 1
    assert len(client.greeting["version"].split(".")) == 4

    values = {"sys:t:short": {"vt": 2, "value": -5}, "sys:t:port": {"vt": 18, "value": 0x1900},
              "sys:t:flag": {"vt": 11, "value": True}, "sys:t:when": {"vt": 7, "value": 46000.5},
              "sys:t:big": {"vt": 20, "value": str(2 ** 60)}, "sys:t:null": {"vt": 8, "value": None},
              "sys:t:money": {"vt": 6, "value": "12.34"}}
    for key, value in values.items():
        assert client.call("Pellworth.Settings", "Set", key, value)["hr"] == 0
    client.call("Pellworth.Settings.1", "Set", "SYS:T:TEXT", "plain")  # bare text, any case of the ProgID
    records = saved_records(registered)  # on disk as soon as the replies came
    assert records["sys:t:short"] == (cfgfile.VT_I2, -5)
    assert records["sys:t:port"] == (cfgfile.VT_UI2, 0x1900)
    assert records["sys:t:flag"] == (cfgfile.VT_BOOL, -1)
    assert records["sys:t:text"] == (cfgfile.VT_BSTR, "plain")
    for key, value in values.items():
        reply = client.call("Pellworth.Settings", "Get", key)
        assert (reply["hr"], reply["result"]) == (0, value), key
    assert client.request("get", "Pellworth.Settings", "Item", "sys:t:text")["result"] == {"vt": 8, "value": "plain"}
    missing = client.call("Pellworth.Settings", "Get", "sys:t:nothing")
    assert missing["hr"] == S_FALSE and "error" not in missing
    assert client.call("Pellworth.Settings", "Remove", "sys:t:text")["hr"] == 0
    assert client.call("Pellworth.Settings", "Remove", "sys:t:text")["hr"] == S_FALSE
    assert "sys:t:text" not in saved_records(registered)

    # XML out and back in; a document with one bad item, or a DTD, changes nothing.
    xml = client.call("Pellworth.Settings", "GetXML", "sys:t", -1)["result"]["value"]
    assert xml.startswith("<settings><item ") and 'key="sys:t:short" vt="2">-5</item>' in xml
    assert client.call("Pellworth.Settings", "SetXML", xml.replace("sys:t:", "sys:u:"))["hr"] == 0
    for key, value in values.items():
        assert client.call("Pellworth.Settings", "Get", key.replace("sys:t:", "sys:u:"))["result"] == value
    bad = '<settings><item key="sys:v:a" vt="3">1</item><item key="sys:v:b" vt="3">many</item></settings>'
    refused = client.call("Pellworth.Settings", "SetXML", bad)
    assert refused["hr"] == E_INVALIDARG and "many" in refused["error"]
    doctype = '<!DOCTYPE settings [<!ENTITY x "y">]><settings><item key="sys:v:a" vt="8">&x;</item></settings>'
    assert client.call("Pellworth.Settings", "SetXML", doctype)["hr"] == E_INVALIDARG
    assert client.call("Pellworth.Settings", "SetXML", "<settings><item")["hr"] == E_INVALIDARG
    assert client.call("Pellworth.Settings", "Get", "sys:v:a")["hr"] == S_FALSE
    assert "sys:v:a" not in saved_records(registered)

    # The dispatcher's errors, each with the request's id and a text.
    errors = [(client.call("Pellworth.Settings", "Frobnicate"), DISP_E_UNKNOWNNAME),
              (client.request("put", "Pellworth.Settings", "Get", "k", 1), DISP_E_MEMBERNOTFOUND),
              (client.call("Pellworth.Settings", "Get"), DISP_E_BADPARAMCOUNT),
              (client.call("Pellworth.Settings", "GetXML", "sys", "deep"), DISP_E_TYPEMISMATCH),
              (client.call("Pellworth.NoSuchThing", "Get"), REGDB_E_CLASSNOTREG),
              (client.call(4711, "Get", "k"), E_HANDLE),
              (client.request("call", "Pellworth.Settings", "Set", "sys:t:x", {"vt": 9, "handle": 99}), E_HANDLE),
              (client.request("call", "Pellworth.Settings", "Set", "sys:t:x", {"vt": 3, "value": "x"}), E_INVALIDARG)]
    for reply, hr in errors:
        assert reply["hr"] == hr and reply["error"] and reply["result"] is None, reply

    # Handles: made by create and by members returning objects, used, released.
    created = client.request("create", "Pellworth.Settings")["result"]
    assert created["vt"] == 9 and created["class"] == "Settings"
    via_session = client.request("get", "Pellworth.ServerSession", "Settings")["result"]
    assert via_session["handle"] == created["handle"]  # the running server's one object
    assert client.call(created["handle"], "Get", "sys:t:short")["result"] == {"vt": 2, "value": -5}
    assert client.request("release", created["handle"])["hr"] == 0
    assert client.call(created["handle"], "Get", "sys:t:short")["hr"] == E_HANDLE

    # An address map lives in its handle: addresses found in any case, positions that outlast removals.
    amap = client.request("create", "Pellworth.AddressMap.1")["result"]["handle"]
    assert client.call(amap, "GetFirstPosition")["hr"] == S_FALSE
    first = client.call(amap, "SetAt", "Sales@Example.com", "a@example.com b@example.com")["result"]["value"]
    second = client.call(amap, "SetAt", "info@example.com", "c@example.com")["result"]["value"]
    assert client.call(amap, "SetAt", "SALES@example.com", "d@example.com")["result"]["value"] == first
    assert client.request("get", amap, "Count")["result"]["value"] == 2
    assert [o.get("value") for o in client.call(amap, "Lookup", "sales@example.com")["out"]] == ["d@example.com"]
    walked, position = [], client.call(amap, "GetFirstPosition")["result"]["value"]
    while position:
        out = [o.get("value") for o in client.call(amap, "GetNext", position)["out"]]
        walked.append(out[1:])
        position = out[0]
    assert walked == [["Sales@Example.com", "d@example.com"], ["info@example.com", "c@example.com"]]
    assert client.call(amap, "RemoveAtPos", first)["hr"] == 0 and client.call(amap, "RemoveAtPos", first)["hr"] == S_FALSE
    assert client.call(amap, "GetNext", first)["hr"] == S_FALSE
    assert client.call(amap, "Lookup", "sales@example.com")["hr"] == S_FALSE
    assert client.call(amap, "Remove", "INFO@example.com")["hr"] == 0 and client.request("get", amap, "Count")["result"]["value"] == 0
    assert client.call(amap, "SetAt", "", "x")["hr"] == E_INVALIDARG
    assert client.call(amap, "GetFirstPosition")["hr"] == S_FALSE and second > first
    client.close()

    # Saved, so kept across a stop and start.
    assert server.stop() == 0
    registered.start().wait_ready()
    again = AdminClient(admin_socket_path(registered))
    assert again.call("Pellworth.Settings", "Get", "sys:u:big")["result"] == values["sys:t:big"]
    again.close()


def test_server_session_stops_and_starts_the_listeners_and_takes_a_backup(registered):
    registered.configure_debug("NoListeners", 0)
    port = free_port()
    backups = os.path.join(registered.root, "backups")
    configure(registered, ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
              ("sys:pop3:0:enabled", "i2:0"), ("sys:imap4:0:enabled", "i2:0"), ("sys:backup:path", backups))
    registered.start().wait_ready()
    client = AdminClient(admin_socket_path(registered))

    def accepts():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5):
                return True
        except OSError:
            return False

    assert client.request("get", "Pellworth.Logging", "NumberServers")["result"]["value"] >= 1
    active = client.call("Pellworth.Logging", "ServerActive", 0)
    assert active["hr"] == 0 and active["out"][0]["value"] == 1 and active["out"][2]["value"] & 0xFFFF == port  # a short, as automation has it
    assert accepts()
    assert client.call("Pellworth.ServerSession", "StopServers")["hr"] == 0
    assert not accepts()
    assert client.call("Pellworth.Logging", "ServerActive", 0)["hr"] == S_FALSE
    assert client.call("Pellworth.ServerSession", "StartServers")["hr"] == 0
    assert client.call("Pellworth.ServerSession", "StartServers")["hr"] == 0  # running ones stay as they are
    assert accepts()

    backup = client.call("Pellworth.ServerSession", "BackupNow")
    assert backup["hr"] == 0, backup
    target = backup["result"]["value"]
    assert target.startswith(backups) and os.path.isfile(os.path.join(target, "pellworth.backup"))
    assert backup["out"][0]["vt"] == 20 and backup["out"][0]["value"] > 0
    client.close()


def listening_tcp_inodes():
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[3] == "0A":  # LISTEN
                    inodes.add(fields[9])
    return inodes


def socket_inodes(pid):
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    return inodes


def test_hostile_clients_get_clear_errors_and_others_are_still_served(registered):
    server = registered.start().wait_ready()
    path = admin_socket_path(registered)
    # No TCP listener of its own: the listeners are off, so the process listens on no TCP port.
    assert not (socket_inodes(server.proc.pid) & listening_tcp_inodes())

    good = AdminClient(path)
    hostile = AdminClient(path)
    hostile.send_line(b"this is not json\n")
    assert hostile.read()["hr"] == E_INVALIDARG
    hostile.send_line(b'{"id": 7, "op": "explode", "object": "Pellworth.Settings"}\n')
    reply = hostile.read()
    assert reply["id"] == 7 and reply["hr"] == E_INVALIDARG and "op" in reply["error"]
    hostile.send_line(b"[" * 100000 + b"\n")
    assert hostile.read()["hr"] == E_INVALIDARG
    hostile.send_line(b'{"id": 8, "op": "call", "object": "Pellworth.Settings", "member": "Get", "args": ["' + b"x" * (2 << 20) + b'"]}\n')
    long_line = hostile.read()
    assert long_line["hr"] == E_INVALIDARG and "longer" in long_line["error"]
    # After the long line the connection still answers, in order.
    assert hostile.call("Pellworth.Settings", "Get", "sys:none")["hr"] == S_FALSE

    # A half line keeps nobody else waiting.
    half = AdminClient(path)
    half.send_line(b'{"id": 1, "op": "call", "obj')
    assert good.call("Pellworth.Settings", "Get", "sys:none")["hr"] == S_FALSE

    # Sixty-four more clients: sixteen in all are served, the others told so and closed.
    crowd, refused = [], 0
    for _ in range(64):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(WAIT)
        sock.connect(path)
        line = sock.makefile("rb").readline()
        first = json.loads(line)
        if "hr" in first:
            assert first["hr"] == E_ACCESSDENIED
            refused += 1
            sock.close()
        else:
            crowd.append(sock)
    assert len(crowd) == 16 - 3 and refused == 64 - len(crowd)
    for sock in crowd:
        sock.close()
    half.close()
    assert good.call("Pellworth.Settings", "Get", "sys:none")["hr"] == S_FALSE
    wait_for(lambda: AdminClient(path).greeting, "a place for a new client")

    # Ten lines that are no requests end the connection (four were above).
    for _ in range(5):
        hostile.send_line(b"}\n")
        assert hostile.read()["hr"] == E_INVALIDARG
    hostile.send_line(b"}\n")
    assert hostile.read()["hr"] == E_INVALIDARG
    assert "goodbye" in hostile.read()["error"]
    assert hostile.file.readline() == b""

    # A user who is neither root, the server's user nor in its group is refused, even where the
    # socket's own mode lets it connect.
    os.chmod(path, 0o666)
    for directory in (registered.root, registered.store):
        os.chmod(directory, 0o755)
    probe = ("import socket,sys; s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); "
             "print(s.makefile().readline(), end='')")
    stranger = subprocess.run(["python3", "-c", probe, path], user="nobody", group="nogroup", capture_output=True,
                              text=True, timeout=WAIT)
    assert stranger.returncode == 0, stranger.stderr
    answer = json.loads(stranger.stdout)
    assert answer["hr"] == E_ACCESSDENIED and "server" not in answer
    # A member of the server's group is served, but may not move where the server writes files.
    member = ("import socket,sys,json; s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); f=s.makefile('rb'); "
              "f.readline(); s.sendall(sys.argv[2].encode()+b'\\n'); print(f.readline().decode(), end='')")
    request = json.dumps({"id": 1, "op": "put", "object": "Pellworth.Logging", "member": "LogFolder", "args": ["/tmp"]})
    grouped = subprocess.run(["python3", "-c", member, path, request], user="nobody", group="nogroup",
                             extra_groups=[os.getegid()], capture_output=True, text=True, timeout=WAIT)
    assert grouped.returncode == 0, grouped.stderr
    assert json.loads(grouped.stdout)["hr"] == E_ACCESSDENIED
    request = json.dumps({"id": 2, "op": "call", "object": "Pellworth.Settings", "member": "Get", "args": ["sys:none"]})
    grouped = subprocess.run(["python3", "-c", member, path, request], user="nobody", group="nogroup",
                             extra_groups=[os.getegid()], capture_output=True, text=True, timeout=WAIT)
    assert json.loads(grouped.stdout)["hr"] == S_FALSE
    # Root itself may move it, but only to an absolute path without "..".
    assert good.request("put", "Pellworth.Logging", "LogFolder", "/tmp/../etc")["hr"] == E_INVALIDARG
    assert good.call("Pellworth.Settings", "Get", "sys:none")["hr"] == S_FALSE
    good.close()
    assert server.stop() == 0
    assert not os.path.exists(path)


def test_admin_tool_reports_status_calls_members_and_takes_backups_through_the_running_server(registered):
    backups = os.path.join(registered.root, "backups")
    configure(registered, ("sys:backup:path", backups))
    stopped = registered.admin("server", "status")
    assert stopped.returncode == 3 and stopped.stdout.strip() == "not running"
    assert registered.admin("call", "Pellworth.Settings", "call", "Get", "sys:backup:path").returncode == 1

    server = registered.start().wait_ready()
    status = registered.admin("server", "status")
    assert status.returncode == 0 and status.stdout.startswith("running (process %d), version " % server.proc.pid)

    assert registered.admin("call", "Pellworth.Settings", "call", "Set", "sys:t:n", "ui2:7").returncode == 0
    got = registered.admin("call", "pellworth.settings.1", "call", "Get", "sys:t:n")
    assert got.returncode == 0 and got.stdout == "ui2:7\n"
    missing = registered.admin("call", "Pellworth.Settings", "call", "Get", "sys:t:none")
    assert missing.returncode == 0 and missing.stdout.startswith("hr:0x00000001")
    assert registered.admin("call", "Pellworth.ServerSession", "get", "Settings").stdout.startswith("dispatch:")
    outs = registered.admin("call", "Pellworth.Logging", "call", "ServerActive", "i4:0")
    assert outs.returncode == 0 and "out 3: i4:" in outs.stdout
    unknown = registered.admin("call", "Pellworth.Settings", "call", "Nothing")
    assert unknown.returncode == 1 and "0x80020006" in unknown.stderr and "no member Nothing" in unknown.stderr

    now = registered.admin("backup", "now")
    assert now.returncode == 0, now.stderr
    assert now.stdout.startswith(os.path.join(backups, "backup")) and " files, " in now.stdout
    assert os.path.isfile(os.path.join(now.stdout.split(":")[0], "pellworth.backup"))

    assert registered.admin("server", "shutdown").returncode == 0
    assert server.proc.wait(timeout=WAIT) == 0
    assert registered.admin("server", "status").returncode == 3


def test_a_mailbox_made_through_the_model_logs_in_with_pop3_and_its_mail_shows_in_envelopes(registered):
    import poplib
    import smtplib
    import time

    registered.configure_debug("NoListeners", 0)
    smtp_port, pop3_port = free_port(), free_port()
    configure(registered, ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % smtp_port),
              ("sys:pop3:0:ip", "127.0.0.1"), ("sys:pop3:0:port", "port:%d" % pop3_port), ("sys:imap4:0:enabled", "i2:0"))
    registered.start().wait_ready()
    client = AdminClient(admin_socket_path(registered))
    store = client.request("get", "Pellworth.ServerSession", "MessageStore")["result"]["handle"]
    domains = client.request("get", store, "Domains")["result"]["handle"]
    domain = client.call(domains, "Add", "example.test")["result"]
    assert domain["class"] == "Domain"
    mailboxes = client.request("get", domain["handle"], "MailBoxes")["result"]["handle"]
    # Hostile names are refused by the store, and nothing is made.
    for bad in ("../evil", "a/b", "..", ""):
        refused = client.call(mailboxes, "Add", bad, 100)
        assert refused["hr"] >= 0x80000000 and refused["result"] is None, (bad, refused)
    assert client.request("get", mailboxes, "Count")["result"] == {"vt": 3, "value": 0}
    assert not os.path.exists(os.path.join(registered.store, "evil"))
    mailbox = client.call(mailboxes, "Add", "john", 100)["result"]["handle"]
    assert client.request("get", "Pellworth.Settings", "PrimaryDomain")["result"]["value"] == "example.test"
    assert client.request("put", "Pellworth.Settings", "PrimaryDomain", "other.test")["hr"] == 0
    assert registered.admin("config", "get", "system:primarydomain").stdout.strip() == "str:other.test"
    assert client.request("put", mailbox, "Password", "s3cret")["hr"] == 0
    assert client.call(mailbox, "Update")["hr"] == 0
    assert client.call(mailbox, "IsPassword", "s3cret")["hr"] == 0
    assert client.call(mailbox, "IsPassword", "wrong")["hr"] == S_FALSE
    assert client.request("get", mailboxes, "Item", "JOHN")["result"]["handle"] != mailbox  # a fresh object
    assert client.request("get", mailboxes, "Item", 0)["result"]["class"] == "MailBox"
    assert client.request("get", mailboxes, "Item", "nobody")["hr"] == S_FALSE

    # The administrator's password is the store root's; wrong guesses are answered ever more slowly.
    assert client.call("Pellworth.ServerSession", "IsAdministrator", "")["result"] == {"vt": 11, "value": False}
    assert client.request("put", "Pellworth.Settings", "AdminPassword", "root-pw")["hr"] == 0
    assert client.call("Pellworth.ServerSession", "IsAdministrator", "root-pw")["result"]["value"] is True
    began = time.monotonic()
    assert client.call("Pellworth.ServerSession", "IsAdministrator", "root-pX")["result"]["value"] is False
    assert client.call("Pellworth.ServerSession", "IsAdministrator", "root-pw ")["result"]["value"] is False
    assert time.monotonic() - began >= 0.7  # 250 ms, then 500 ms
    assert client.call("Pellworth.ServerSession", "IsAdministrator", "root-pw")["result"]["value"] is True
    # Only a published envelope of the queue is handed to the routers.
    assert client.call("Pellworth.ServerSession", "AdviseNewEnvelope", 12345, "")["hr"] == E_INVALIDARG
    assert client.call("Pellworth.ServerSession", "AdviseNewEnvelope", 1, "example.test/john/_In")["hr"] == 0x80004001

    with smtplib.SMTP("127.0.0.1", smtp_port, timeout=WAIT) as smtp:
        smtp.sendmail("alice@sender.test", ["john@example.test"], b"Subject: hello\r\n\r\nover the model\r\n")
    inbox = client.request("get", mailbox, "InFolder")["result"]["handle"]
    envelopes = client.request("get", inbox, "Envelopes")["result"]["handle"]
    # The listing is taken once per collection, as automation has it; Reset takes it again.
    wait_for(lambda: client.call(envelopes, "Reset")["hr"] == 0 and
             client.request("get", envelopes, "Count")["result"]["value"] == 1, "the delivery")
    envelope = client.request("get", envelopes, "Item", 0)["result"]["handle"]
    assert client.request("get", envelope, "Sender")["result"]["value"] == "alice@sender.test"

    # ExportContent writes only a new file at an absolute path, private, never through a link.
    exported = os.path.join(registered.root, "exported.eml")
    assert client.call(envelope, "ExportContent", exported)["hr"] == 0
    assert stat.S_IMODE(os.stat(exported).st_mode) == 0o600
    with open(exported, "rb") as f:
        assert b"over the model" in f.read()
    os.symlink(os.path.join(registered.root, "target"), os.path.join(registered.root, "link.eml"))
    for path in (exported, os.path.join(registered.root, "link.eml"), "relative.eml",
                 registered.root + "/../" + os.path.basename(registered.root) + "/x.eml", registered.root + "/"):
        assert client.call(envelope, "ExportContent", path)["hr"] >= 0x80000000, path
    assert not os.path.exists(os.path.join(registered.root, "target"))
    assert not os.path.exists(os.path.join(registered.root, "x.eml"))

    # Properties: set through the model, written by Update, read by the admin tool.
    properties = client.request("get", mailbox, "Properties")["result"]
    assert properties["class"] == "Properties"
    assert client.request("put", properties["handle"], "Item", "user:quota:nummsgs", {"vt": 3, "value": 5})["hr"] == 0
    assert client.request("put", properties["handle"], "Item", "_Password", "plain")["hr"] == E_ACCESSDENIED
    assert client.call(properties["handle"], "Update")["hr"] == 0
    assert registered.admin("mailbox", "get", "john@example.test", "user:quota:nummsgs").stdout.strip() == "i4:5"
    assert client.request("get", properties["handle"], "Item", "no:such")["hr"] == S_FALSE

    pop = poplib.POP3("127.0.0.1", pop3_port, timeout=WAIT)
    pop.user("john@example.test")
    pop.pass_("s3cret")
    assert pop.stat()[0] == 1
    assert b"over the model" in b"\n".join(pop.retr(1)[1])
    pop.quit()
    client.close()


def test_a_server_started_for_clients_ends_after_the_last_one_and_a_plain_one_stays(registered, tmp_path):
    import shutil
    import tempfile
    import time

    from conftest import Env

    embedded = registered.start(args=("-Embedding",)).wait_ready()
    plain_env = Env(tempfile.mkdtemp(prefix="pw-it-"))
    try:
        assert plain_env.run("-RegServer").returncode == 0
        plain_env.configure_store()
        plain_env.configure_debug("NoListeners", 1)
        plain = plain_env.start().wait_ready()

        # No client yet: the embedded server stays up however long that takes.
        first = AdminClient(admin_socket_path(registered))
        second = AdminClient(admin_socket_path(registered))
        assert first.call("Pellworth.Settings", "Set", "sys:t:kept", 1)["hr"] == 0
        first.close()
        # A client is still there: the server stays while it is.
        assert second.call("Pellworth.Settings", "Get", "sys:t:kept")["hr"] == 0
        AdminClient(admin_socket_path(plain_env)).close()
        second.close()
        let_go = time.monotonic()
        assert embedded.proc.wait(timeout=WAIT) == 0
        waited = time.monotonic() - let_go
        assert 4 <= waited <= 30, waited
        assert plain.proc.poll() is None  # let go as long ago, and still running
        assert registered.admin("config", "get", "sys:t:kept").stdout.strip() == "i4:1"  # saved
        assert plain.stop() == 0
    finally:
        for server in plain_env.servers:
            server.close()
        shutil.rmtree(plain_env.root, ignore_errors=True)


def schedule_record(env, index):
    """The stored bytes of "sys:schedule:N": VARTYPE, class identifier and the event's own 60 bytes."""
    with open(env.store_file("pellworth.cfg"), "rb") as f:
        data = f.read()
    key = ("sys:schedule:%d" % index).encode()
    at = data.find(key)
    assert at > 0, key
    return data[at + len(key):at + len(key) + 2 + 16 + 60]


def test_schedule_events_made_through_the_model_are_stored_as_the_admin_tool_stores_them(registered):
    assert registered.admin("schedule", "add", "--outgoing", "--at", "10:30").returncode == 0
    registered.start().wait_ready()
    client = AdminClient(admin_socket_path(registered))
    events = client.request("get", "Pellworth.Settings", "ScheduleEvents")["result"]
    assert events["class"] == "ScheduleEvents"
    events = events["handle"]
    assert client.request("get", events, "Count")["result"]["value"] == 1
    event = client.call(events, "Add")["result"]["handle"]
    assert client.request("put", event, "OutgoingDelivery", True)["hr"] == 0
    assert client.request("put", event, "ScheduleEventTime", 0)["hr"] == 0
    assert client.request("put", event, "AtTime", {"vt": 7, "value": 630 / 1440})["hr"] == 0
    assert client.request("put", event, "ScheduleEventTime", 7)["hr"] == E_INVALIDARG
    assert client.call(events, "Update")["hr"] == 0
    # Saved before the reply, and byte for byte what the admin tool writes for the same event.
    assert schedule_record(registered, 1) == schedule_record(registered, 0)
    listing = registered.admin("schedule", "list").stdout.splitlines()
    assert len(listing) == 2 and listing[0][1:] == listing[1][1:], listing
    # The admin tool adds through the running server too, the same bytes again.
    added = registered.admin("schedule", "add", "--outgoing", "--at", "10:30")
    assert added.returncode == 0 and added.stdout.startswith("2 outgoing at 10:30"), added
    assert schedule_record(registered, 2) == schedule_record(registered, 0)
    assert registered.admin("schedule", "remove", "2").returncode == 0
    gone = registered.admin("schedule", "remove", "7")
    assert gone.returncode == 1 and "no such schedule event" in gone.stderr
    assert client.call(events, "Reset")["hr"] == 0

    # IsTime: due once at or after 10:30 of a day, not before, not twice.
    day = 46000.0
    item = client.request("get", events, "Item", 1)["result"]["handle"]
    assert client.call(item, "IsTime", {"vt": 7, "value": day + 629 / 1440})["hr"] == S_FALSE
    assert client.call(item, "IsTime", {"vt": 7, "value": day + 631 / 1440})["hr"] == 0
    assert client.call(item, "IsTime", {"vt": 7, "value": day + 700 / 1440})["hr"] == S_FALSE
    assert client.request("get", events, "Item", 5)["hr"] == E_INVALIDARG
    assert client.call(events, "Remove", 0)["hr"] == 0 and client.call(events, "Update")["hr"] == 0
    assert len(registered.admin("schedule", "list").stdout.splitlines()) == 1
    client.close()


def test_an_advised_client_receives_the_log_as_event_lines_until_it_unadvises(registered):
    registered.start().wait_ready()
    client = AdminClient(admin_socket_path(registered))
    advised = client.request("advise", "Pellworth.Logging")
    assert advised["hr"] == 0 and advised["result"]["vt"] == 3
    cookie = advised["result"]["value"]
    assert client.call("Pellworth.Logging", "LogMessage", 5, "seen by the client")["hr"] == 0

    def seen(text):
        client.call("Pellworth.Settings", "Get", "sys:none")  # the lines before its reply are read
        return [e["event"] for e in client.events if "event" in e and text in str(e["event"]["Value"].get("value"))]

    event = wait_for(lambda: seen("seen by the client"), "the event line")[0]
    assert event["Level"] == 5 and event["Event"] == 1
    assert client.request("advise", "Pellworth.Settings")["hr"] == 0x80004002  # E_NOINTERFACE
    assert client.request("unadvise", "Pellworth.Logging", None, cookie + 1)["hr"] == E_INVALIDARG
    assert client.request("unadvise", "Pellworth.Logging", None, cookie)["hr"] == 0
    assert client.call("Pellworth.Logging", "LogMessage", 5, "not seen")["hr"] == 0
    assert not seen("not seen")
    client.close()


def test_the_client_that_asks_for_the_shutdown_gets_its_reply_before_the_connection_ends(registered):
    # The stop closes every connection while the asking one may still be writing its reply: several
    # rounds, as the window is narrow.
    for _ in range(4):
        server = registered.start().wait_ready()
        watcher = AdminClient(admin_socket_path(registered))  # another client, idle, is closed too
        client = AdminClient(admin_socket_path(registered))
        reply = client.call("Pellworth.ServerSession", "Shutdown")
        assert reply["hr"] == 0 and "error" not in reply
        assert client.file.readline() == b""
        assert watcher.file.readline() == b""
        assert server.proc.wait(timeout=WAIT) == 0
        client.close()
        watcher.close()


def test_the_admin_tool_changes_the_store_and_the_filters_through_the_running_server(registered):
    server = registered.start().wait_ready()
    # An administrator in the server's group who can not write one file of the store: what it
    # changes, the server changes for it.
    for directory in (registered.root, registered.store):
        os.chmod(directory, 0o755)

    def grouped(*args):
        return subprocess.run([ADMIN, *args], env=registered.env, user="nobody", group="nogroup",
                              extra_groups=[os.getegid()], capture_output=True, text=True, timeout=WAIT)

    def ok(*args):
        done = grouped(*args)
        assert done.returncode == 0, (args, done.stderr)
        return done.stdout

    assert ok("domain", "add", "Example.test") == "example.test\n"
    assert ok("mailbox", "add", "ann@example.test", "--password", "first") == "ann@example.test\n"
    assert ok("mailbox", "add", "talk@example.test", "--kind", "list") == "talk@example.test\n"
    ok("mailbox", "set", "ann@example.test", "Quota", "i4:5")
    ok("domain", "set", "example.test", "Note", "str:kept")
    assert registered.admin("mailbox", "get", "ann@example.test", "quota").stdout == "i4:5\n"
    assert registered.admin("domain", "get", "example.test", "note").stdout == "str:kept\n"
    ok("mailbox", "password", "ann@example.test", "second")
    client = AdminClient(admin_socket_path(registered))
    ann = client.call("Pellworth.MessageStore", "FindMailBox", "ann@example.test")["result"]["handle"]
    assert client.call(ann, "IsPassword", "second")["hr"] == 0
    assert client.call(ann, "IsPassword", "first")["hr"] == S_FALSE

    ok("member", "add", "talk@example.test", "bob@else.test")
    duplicate = grouped("member", "add", "talk@example.test", "bob@else.test")
    assert duplicate.returncode == 1 and "already a member" in duplicate.stderr
    assert "is not a member" in grouped("member", "remove", "talk@example.test", "eve@else.test").stderr
    assert "no such mailing list" in grouped("member", "add", "ann@example.test", "bob@else.test").stderr
    assert registered.admin("member", "list", "talk@example.test").stdout == "bob@else.test\n"

    ok("senders", "friendly", "add", "*@good.test")
    assert "*@good.test" in registered.admin("senders", "friendly", "list").stdout
    assert "not on the list" in grouped("senders", "enemy", "remove", "*@bad.test").stderr
    ok("senders", "norespond", "defaults")
    assert registered.admin("senders", "norespond", "list").stdout.count("\n") > 3
    ok("charset", "add", "koi8-r")
    assert "already listed" in grouped("charset", "add", "koi8-r").stderr
    assert registered.admin("charset", "list").stdout.split() == ["KOI8-R"]
    assert ok("phrases", "add", "cheap pills", "2.5", "--whole-word") == "0\n"
    ok("phrases", "set", "ignore-html", "true")
    phrases = registered.admin("phrases", "list").stdout
    assert "ignore-html true" in phrases and "2.50\twhole-word\tcheap pills" in phrases
    assert grouped("phrases", "remove", "7").returncode == 1

    # The server's rules hold for the tool as for any client: hostile names make nothing, and a group
    # member may not move a list's member database.
    for name in ("../evil", "a/b"):
        assert grouped("domain", "add", name).returncode == 1
    assert not os.path.exists(os.path.join(registered.store, "evil"))
    moved = grouped("mailbox", "set", "talk@example.test", "ml:datasource", "str:/tmp/members.db")
    assert moved.returncode == 1 and "0x80070005" in moved.stderr

    ok("mailbox", "remove", "ann@example.test")
    assert registered.admin("mailbox", "list", "example.test").stdout == "talk@example.test\n"
    ok("domain", "remove", "example.test")
    assert registered.admin("domain", "list").stdout == ""
    client.close()

    # With no server the tool writes the files itself, which this user may not.
    assert server.stop() == 0
    assert grouped("domain", "add", "late.test").returncode == 1
    assert registered.admin("domain", "add", "late.test").returncode == 0


# Runs requests as a member of the server's group: argv[2] is a JSON list of [op, object, member, args],
# where an object {"ref": i} is the handle the i-th reply returned. Prints the replies.
GROUP_REQUESTS = """
import json, socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
f = s.makefile("rb")
f.readline()
replies = []
for n, (op, obj, member, args) in enumerate(json.loads(sys.argv[2])):
    if isinstance(obj, dict):
        obj = replies[obj["ref"]]["result"]["handle"]
    # An argument {"out": [i, j]} is out value j of the i-th reply, {"result": i} its result's value.
    args = [(replies[a["out"][0]]["out"][a["out"][1]] or {}).get("value") if isinstance(a, dict) and "out" in a else
            replies[a["result"]]["result"]["value"] if isinstance(a, dict) and "result" in a else a for a in args]
    s.sendall(json.dumps({"id": n, "op": op, "object": obj, "member": member, "args": args}).encode() + b"\\n")
    replies.append(json.loads(f.readline()))
print(json.dumps(replies))
"""


def as_group_member(env, requests, replies=False):
    for directory in (env.root, env.store):
        os.chmod(directory, 0o755)
    done = subprocess.run(["python3", "-c", GROUP_REQUESTS, admin_socket_path(env), json.dumps(requests)], user="nobody",
                          group="nogroup", extra_groups=[os.getegid()], capture_output=True, text=True, timeout=WAIT)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout) if replies else [reply["hr"] for reply in json.loads(done.stdout)]


def test_a_group_member_reaches_no_file_through_the_settings_and_no_password_through_the_properties(registered):
    configure(registered, ("sys:backup:path", "/var/lib/pellworth/backup/"))
    registered.start().wait_ready()
    client = AdminClient(admin_socket_path(registered))
    assert client.request("put", "Pellworth.Settings", "AdminPassword", "rootpw")["hr"] == 0
    assert client.call("Pellworth.MessageStore", "CreateFolder", "Shared", 0)["hr"] == 0
    evil_xml = ('<settings><item key="sys:t:harmless" vt="3">5</item>'
                '<item key="sys:av:commandline" vt="8">/tmp/evil %s</item></settings>')
    settings = [
        ["call", "Pellworth.Settings", "Set", ["sys:backup:path", "/tmp/stolen/"]],
        ["put", "Pellworth.Settings", "Item", ["SYS:SSL:KeyPath", "/tmp/key.pem"]],
        ["call", "Pellworth.Settings", "Set", ["sys::av:commandpath:", "/tmp/evil"]],
        ["call", "Pellworth.Settings", "Set", ["sys:spam:sa:config", "bayes_path /tmp/x\n"]],
        ["call", "Pellworth.Settings", "SetXML", [evil_xml]],
        ["call", "Pellworth.Settings", "Set", ["sys:t:allowed", 1]],
    ]
    assert as_group_member(registered, settings) == [E_ACCESSDENIED] * 5 + [0]
    assert client.call("Pellworth.Settings", "Get", "sys:backup:path")["result"]["value"] == "/var/lib/pellworth/backup/"
    assert client.call("Pellworth.Settings", "Get", "sys:av:commandline")["hr"] in (0, S_FALSE)
    assert "/tmp/evil" not in json.dumps(client.call("Pellworth.Settings", "Get", "sys:av:commandline"))
    assert client.call("Pellworth.Settings", "Get", "sys:t:harmless")["hr"] == S_FALSE
    saved = saved_records(registered)
    assert saved["sys:backup:path"][1] == "/var/lib/pellworth/backup/" and saved["sys:t:allowed"][1] == 1
    assert "sys:ssl:keypath" not in saved and "sys:av:commandpath" not in saved

    root_properties = {"ref": 0}
    properties = [
        ["get", "Pellworth.MessageStore", "Properties", []],
        ["call", root_properties, "Remove", ["_Password"]],
        ["call", root_properties, "Remove", [":_PASSWORD:"]],
        ["get", root_properties, "Item", ["_Password"]],
        ["put", root_properties, "Item", ["_Type", 3]],
        ["put", root_properties, "Item", ["_Comment", "mine"]],
        ["call", root_properties, "Remove", ["_Version"]],
        ["put", root_properties, "Item", ["note", "mine"]],
        ["call", root_properties, "Update", []],
    ]
    assert as_group_member(registered, properties) == [0] + [E_ACCESSDENIED] * 6 + [0, 0]
    # Root itself may not remove the password either: the store would have no administrator.
    props = client.request("get", "Pellworth.MessageStore", "Properties")["result"]["handle"]
    assert client.call(props, "Remove", "_Password")["hr"] == E_ACCESSDENIED
    assert client.call("Pellworth.ServerSession", "IsAdministrator", "rootpw")["result"]["value"] is True
    assert client.request("get", props, "Item", "note")["result"]["value"] == "mine"
    client.close()


def test_store_streams_and_agents_reach_only_other_parts_files_and_stream_values_travel_as_base64(registered):
    import base64
    assert registered.admin("domain", "add", "example.test").returncode == 0
    registered.start().wait_ready()
    client = AdminClient(admin_socket_path(registered))
    domain = client.call("Pellworth.MessageStore", "FindDomain", "example.test")["result"]["handle"]
    directory = os.path.join(registered.store, "example.test")
    with open(os.path.join(directory, "notes.txt"), "wb") as f:
        f.write(b"kept \x00\xff beside the domain\n")
    got = client.call(domain, "GetStoreStream", "notes.txt", False, 0)
    assert got["hr"] == 0 and got["result"]["vt"] == 13
    assert base64.b64decode(got["result"]["stream"]) == b"kept \x00\xff beside the domain\n"
    made = client.call(domain, "GetStoreStream", "new.dat", True, 1)
    assert made["hr"] == 0 and made["result"]["stream"] == ""
    assert os.path.getsize(os.path.join(directory, "new.dat")) == 0
    assert client.call(domain, "RemoveStoreStream", "new.dat")["hr"] == 0
    assert not os.path.exists(os.path.join(directory, "new.dat"))

    # Nothing outside the object's directory, and none of the files the store or the server keep.
    inbox = client.request("get", "Pellworth.MessageStore", "InFolder")["result"]["handle"]
    with open(os.path.join(registered.store, "_In", "_uid"), "rb") as f:
        counter = f.read()
    STG_E_INVALIDNAME = 0x800300FC
    for name in ("../example.test/notes.txt", "a/b", "..", ".hidden", "_uid", "1.env", "1.EML", "x.agent", ""):
        for target in (domain, inbox):
            assert client.call(target, "GetStoreStream", name, True, 1)["hr"] == STG_E_INVALIDNAME, name
            assert client.call(target, "RemoveStoreStream", name)["hr"] == STG_E_INVALIDNAME, name
    for name in ("pellworth.cfg", "Pellworth.lock"):
        assert client.call("Pellworth.MessageStore", "GetStoreStream", name, True, 1)["hr"] == STG_E_INVALIDNAME
    with open(os.path.join(registered.store, "_In", "_uid"), "rb") as f:
        assert f.read() == counter
    assert client.call(domain, "GetStoreStream", "notes.txt", False, 0x4000000)["hr"] == E_INVALIDARG
    with open(os.path.join(directory, "big.bin"), "wb") as f:
        f.write(b"x" * (5 << 20))
    assert client.call(domain, "GetStoreStream", "big.bin", False, 0)["hr"] == 0x8007000E
    # A member of the group reaches no store stream: they are other parts' files (keys, databases).
    hrs = as_group_member(registered, [["call", "Pellworth.MessageStore", "FindDomain", ["example.test"]],
                                       ["call", {"ref": 0}, "GetStoreStream", ["notes.txt", False, 0]],
                                       ["call", {"ref": 0}, "RemoveStoreStream", ["notes.txt"]]])
    assert hrs == [0, E_ACCESSDENIED, E_ACCESSDENIED]
    assert os.path.exists(os.path.join(directory, "notes.txt"))

    # A stream value as an argument: a message's header read from it.
    message = client.request("create", "Pellworth.Message")["result"]["handle"]
    header = base64.b64encode(b"Subject: from a stream\r\nFrom: a@example.test\r\n\r\n").decode()
    assert client.call(message, "LoadHeader", {"vt": 13, "stream": header})["hr"] == 0
    assert client.request("get", message, "Subject")["result"]["value"] == "from a stream"
    assert client.call(message, "LoadHeader", {"vt": 13, "stream": "not base64!"})["hr"] == E_INVALIDARG
    assert client.call(message, "LoadHeader", "text")["hr"] == DISP_E_TYPEMISMATCH

    # An agent is kept under its class beside the object and read back into a new one.
    assert client.call(domain, "SaveAgent", {"vt": 9, "handle": message})["hr"] == 0
    assert [n for n in os.listdir(directory) if n.endswith(".agent")]
    again = client.request("create", "Pellworth.Message")["result"]["handle"]
    assert client.call(domain, "LoadAgent", {"vt": 9, "handle": again})["hr"] == 0
    assert client.request("get", again, "Subject")["result"]["value"] == "from a stream"
    assert client.call(domain, "SaveAgent", {"vt": 9, "handle": domain})["hr"] == DISP_E_TYPEMISMATCH
    assert client.call(domain, "RemoveAgentStream", "../../etc")["hr"] == E_INVALIDARG
    client.close()


def test_trees_are_walked_by_position_and_a_copy_takes_no_password_and_no_file(registered):
    assert registered.admin("domain", "add", "example.test").returncode == 0
    for name in ("ann", "bob"):
        assert registered.admin("mailbox", "add", name + "@example.test", "--password", name + "-pw").returncode == 0
    assert registered.admin("mailbox", "set", "ann@example.test", "fwd:to", "str:x@elsewhere.test").returncode == 0
    assert registered.admin("mailbox", "set", "ann@example.test", "fwd:keep", "bool:true").returncode == 0
    configure(registered, ("sys:walk:a", "i4:1"), ("sys:walk:b", "str:two"), ("sys:walk:b:c", "i4:3"))
    registered.start().wait_ready()
    client = AdminClient(admin_socket_path(registered))

    def walk(obj, key):
        first = client.call(obj, "GetFirstChildPosition", key)
        position, seen = first["result"]["value"], {}
        while position:
            step = client.call(obj, "GetNextChild", position)
            assert step["hr"] == 0
            position = step["out"][0]["value"]
            seen[step["out"][1]["value"]] = (step["result"] or {}).get("value")
        assert client.call(obj, "GetNextChild", 0)["hr"] == S_FALSE
        return seen

    assert walk("Pellworth.Settings", "sys:walk") == {"sys:walk:a": 1, "sys:walk:b": "two"}
    assert walk("Pellworth.Settings", "sys:walk:b") == {"sys:walk:b:c": 3}
    assert client.call("Pellworth.Settings", "GetFirstChildPosition", "sys:none")["hr"] == S_FALSE
    assert client.call("Pellworth.Settings", "GetNextChild", 999999)["hr"] == S_FALSE

    ann = client.call("Pellworth.MessageStore", "FindMailBox", "ann@example.test")["result"]["handle"]
    bob = client.call("Pellworth.MessageStore", "FindMailBox", "bob@example.test")["result"]["handle"]
    ann_props = client.request("get", ann, "Properties")["result"]["handle"]
    bob_props = client.request("get", bob, "Properties")["result"]["handle"]
    assert walk(ann_props, "fwd") == {"fwd:to": "x@elsewhere.test", "fwd:keep": True}
    assert client.call(ann_props, "GetPosition", "fwd:keep")["result"]["value"] > 0
    assert client.call(ann_props, "GetPosition", "fwd:none")["hr"] == S_FALSE
    # A group member walking the top level sees that a password is there, never its value.
    steps = [["call", "Pellworth.MessageStore", "FindMailBox", ["ann@example.test"]],
             ["get", {"ref": 0}, "Properties", []],
             ["call", {"ref": 1}, "GetFirstChildPosition", [""]],
             ["call", {"ref": 1}, "GetNextChild", [{"result": 2}]]]
    steps += [["call", {"ref": 1}, "GetNextChild", [{"out": [i, 0]}]] for i in range(3, 12)]
    seen = {r["out"][1]["value"]: r["result"] for r in as_group_member(registered, steps, replies=True)[3:] if r["hr"] == 0}
    assert "_Password" in seen and seen["_Password"] is None and "fwd" in seen

    # Bob takes Ann's settings, but neither her password, nor her kind, nor anything of the store's own.
    assert client.call(bob_props, "Copy", {"vt": 9, "handle": ann_props})["hr"] == 0
    assert client.call(bob_props, "Update")["hr"] == 0
    assert registered.admin("mailbox", "get", "bob@example.test", "fwd:to").stdout == "str:x@elsewhere.test\n"
    assert client.call(bob, "IsPassword", "bob-pw")["hr"] == 0
    assert client.call(bob, "IsPassword", "ann-pw")["hr"] == S_FALSE
    assert client.call(bob_props, "Copy", {"vt": 9, "handle": ann})["hr"] == DISP_E_TYPEMISMATCH
    client.close()


def test_arrays_travel_typed_and_no_setting_or_property_keeps_one(registered):
    registered.start().wait_ready()
    client = AdminClient(admin_socket_path(registered))
    addresses = client.request("get", "Pellworth.Settings", "LocalIPAddresses")
    assert addresses["hr"] == 0 and addresses["result"]["vt"] == 0x2000 | 12
    assert {"vt": 8, "value": "127.0.0.1"} in addresses["result"]["value"]
    peers = client.request("get", "Pellworth.Settings", "AvailableRASConnections")["result"]
    expected = sorted(n for n in os.listdir("/etc/ppp/peers") if not n.startswith(".")) if os.path.isdir("/etc/ppp/peers") else []
    assert peers["vt"] == 0x2000 | 8 and [item["value"] for item in peers["value"]] == expected

    numbers = {"vt": 0x2000 | 3, "value": [1, "2", {"vt": 2, "value": 3}]}
    assert client.call("Pellworth.Settings", "Set", "sys:t:array", numbers)["hr"] == E_INVALIDARG
    assert client.call("Pellworth.Settings", "Get", "sys:t:array")["hr"] == S_FALSE
    props = client.request("get", "Pellworth.MessageStore", "Properties")["result"]["handle"]
    assert client.request("put", props, "Item", "list", numbers)["hr"] == DISP_E_TYPEMISMATCH
    # An array where a scalar is wanted is a type mismatch; malformed ones are bad requests.
    assert client.call("Pellworth.Settings", "Get", numbers)["hr"] == DISP_E_TYPEMISMATCH
    for bad in ([1, 2], {"vt": 0x2000 | 9, "value": []}, {"vt": 0x2000 | 12, "value": [{"vt": 0x2003, "value": [1]}]},
                {"vt": 0x2003, "value": ["x"]}, {"vt": 0x2003, "value": 5}, {"vt": 0x2003, "value": list(range(10001))},
                {"vt": 0x200C, "value": [{"vt": 9, "handle": 1}]}):
        reply = client.call("Pellworth.Settings", "Get", bad)
        assert reply["hr"] == E_INVALIDARG and reply["error"], bad
    assert client.call("Pellworth.Settings", "Get", "sys:none")["hr"] == S_FALSE
    client.close()


def test_message_parts_are_built_walked_and_never_made_into_a_loop_or_written_over_a_file(registered, tmp_path):
    import base64
    registered.start().wait_ready()
    client = AdminClient(admin_socket_path(registered))
    call = client.call
    get = lambda obj, member, *args: client.request("get", obj, member, *args)
    message = client.request("create", "Pellworth.Message")["result"]["handle"]
    assert client.request("put", message, "Subject", "parts")["hr"] == 0
    alternative = call(message, "AddMultipartPart", 0, "Alternative", "")["result"]["value"]
    assert alternative == 1
    text = client.request("create", "Pellworth.MessagePart.1")["result"]
    assert text["class"] == "MessagePart"
    assert call(text["handle"], "AttachText", "hello there", "plain", None, "utf-8")["hr"] == 0
    assert call(message, "AddPart", alternative, {"vt": 9, "handle": text["handle"]})["result"]["value"] == 2
    data = client.request("create", "Pellworth.MessagePart")["result"]["handle"]
    payload = bytes(range(256))
    assert call(data, "AttachStream", {"vt": 13, "stream": base64.b64encode(payload).decode()})["hr"] == 0
    assert call(data, "SetContentDisposition", "Attachment", "all.bin")["hr"] == 0
    assert call(message, "AddPart", 0, {"vt": 9, "handle": data})["result"]["value"] == 3

    assert call(message, "RootPartPosition")["result"]["value"] == 1
    assert call(message, "FirstChildPartPosition", 1)["result"]["value"] == 2
    assert call(message, "NextPartPosition", 1)["result"]["value"] == 3
    assert call(message, "NextPartPosition", 3)["result"]["value"] == 0
    assert call(message, "CountChildParts", 1)["result"]["value"] == 1
    assert call(message, "CountChildParts", 0)["result"]["value"] == 2
    assert call(message, "SearchForPart", "text/plain", 0)["result"]["value"] == 2
    assert call(message, "SearchForPart", "image", 0)["hr"] == S_FALSE
    assert call(message, "GetPart", 9)["hr"] == E_INVALIDARG
    part = call(message, "GetPart", 2)["result"]["handle"]
    assert get(part, "ContentType")["result"]["value"].lower() == "text"
    assert base64.b64decode(call(part, "DecodeToStream")["result"]["stream"]) == b"hello there"
    assert base64.b64decode(call(call(message, "GetPart", 3)["result"]["handle"], "DecodeToStream")["result"]["stream"]) == payload
    assert call(message, "CountAttachments", "")["result"]["value"] == 1

    # The whole tree is written and read back through an envelope.
    folder = call("Pellworth.MessageStore", "CreateFolder", "Drafts", 0)["result"]["handle"]

    def stored_and_read_back(message):
        envelope = call(get(folder, "Envelopes")["result"]["handle"], "Add")["result"]["handle"]
        assert call(envelope, "PutContent", {"vt": 9, "handle": message})["hr"] == 0
        assert call(envelope, "Update")["hr"] == 0
        read_back = client.request("create", "Pellworth.Message")["result"]["handle"]
        got = call(envelope, "GetContent", {"vt": 9, "handle": read_back})
        assert got["hr"] == 0, got
        return read_back

    read_back = stored_and_read_back(message)
    assert get(read_back, "CountParts")["result"]["value"] == 2
    assert call(read_back, "SearchForPart", "text/plain", 0)["result"]["value"] == 2

    # No part goes below itself, none twice, and no tree deeper than a message may be.
    outer = call(message, "GetPart", 1)["result"]["handle"]
    assert call(message, "AddPart", 2, {"vt": 9, "handle": outer})["hr"] == E_INVALIDARG
    assert call(message, "AddPart", 0, {"vt": 9, "handle": part})["hr"] == E_INVALIDARG
    assert client.request("put", part, "HeaderField", "X-Note", "one\r\nBcc: evil@remote.test")["hr"] == E_INVALIDARG
    deep, parent = 0, 0
    for _ in range(60):
        reply = call(message, "AddMultipartPart", parent, "Mixed", "")
        if reply["hr"] != 0:
            assert reply["hr"] == E_INVALIDARG
            break
        deep, parent = deep + 1, reply["result"]["value"]
    assert 40 <= deep < 60
    # Even at the deepest the message is one the server reads back.
    stored_and_read_back(message)
    # Files: only new ones, at plain absolute paths, and only for root or the server's user.
    target = str(tmp_path / "decoded.txt")
    assert call(part, "DecodeToFile", target)["hr"] == 0
    assert open(target, "rb").read() == b"hello there"
    assert call(part, "DecodeToFile", target)["hr"] != 0
    os.symlink("/etc/passwd", str(tmp_path / "link"))
    assert call(part, "DecodeToFile", str(tmp_path / "link"))["hr"] != 0
    for bad in ("relative.txt", str(tmp_path / ".." / "x.txt"), str(tmp_path) + "/"):
        assert call(part, "DecodeToFile", bad)["hr"] == E_INVALIDARG, bad
        assert call(data, "AttachFile", bad, None, None, None)["hr"] == E_INVALIDARG, bad
    assert call(data, "AttachFile", target, "shown.txt", "text", "plain")["hr"] == 0
    assert get(data, "ContentDisposition")["result"]["value"].startswith("Attachment")
    hrs = as_group_member(registered, [["create", "Pellworth.MessagePart", "", []],
                                       ["call", {"ref": 0}, "AttachFile", ["/etc/hostname", None, None, None]],
                                       ["call", {"ref": 0}, "DecodeToFile", [str(tmp_path / "grouped.txt")]]])
    assert hrs == [0, E_ACCESSDENIED, E_ACCESSDENIED]
    client.close()
