"""Mailing lists through the administration socket: a list made, set and filled over the object model
is what the list server then works with, and what the member database and the admin tool show."""
import json
import os
import sqlite3
import subprocess

from conftest import WAIT, AdminClient, admin, admin_socket_path
from test_lists import DOMAIN, messages, post, queue_empty, setup_domain
from test_router import serving

E_INVALIDARG = 0x80070057
E_ACCESSDENIED = 0x80070005
DISP_E_UNKNOWNNAME = 0x80020006
DISP_E_TYPEMISMATCH = 0x80020005
S_FALSE = 1


def rows(env, name):
    with sqlite3.connect("file:%s?mode=ro" % os.path.join(env.store, DOMAIN, name, name + ".mdb"), uri=True) as db:
        return {row[0]: row[1:] for row in db.execute("SELECT Email, Status, Comment, MessageFormat FROM Members")}


def test_a_list_set_and_filled_through_the_model_is_the_one_the_list_server_distributes(registered):
    env = registered
    setup_domain(env, ["anna", "bert"])
    port = serving(env)
    server = env.start().wait_ready()
    client = AdminClient(admin_socket_path(env))
    get = lambda obj, member, *args: client.request("get", obj, member, *args)
    put = lambda obj, member, *args: client.request("put", obj, member, *args)

    domain = client.call("Pellworth.MessageStore", "FindDomain", DOMAIN)["result"]["handle"]
    mailboxes = get(domain, "MailBoxes")["result"]["handle"]
    listbox = client.call(mailboxes, "Add", "talk", 400)["result"]["handle"]
    user = get(mailboxes, "Item", "anna")["result"]["handle"]
    assert get(user, "MailingList")["hr"] == E_INVALIDARG  # a user's mailbox has no list settings
    settings = get(listbox, "MailingList")["result"]
    assert settings["class"] == "MailingList"
    ml = settings["handle"]

    # Settings are saved with the types the list server reads; enumerations take only their values.
    assert put(ml, "PreAppendSubject", True)["hr"] == 0
    assert put(ml, "PreAppendSubjectText", "Talk")["hr"] == 0
    assert put(ml, "RejectPostingSize", "3000")["hr"] == 0  # text converted as automation does
    assert put(ml, "Type", 7)["hr"] == E_INVALIDARG
    assert put(ml, "PostingsTo", -1)["hr"] == E_INVALIDARG
    assert put(ml, "RejectPostingSize", "lots")["hr"] == DISP_E_TYPEMISMATCH
    assert get(ml, "NoSuchSetting")["hr"] == DISP_E_UNKNOWNNAME
    fresh = get(get(mailboxes, "Item", "talk")["result"]["handle"], "MailingList")["result"]["handle"]
    assert get(fresh, "PreAppendSubject")["result"] == {"vt": 11, "value": True}
    assert get(fresh, "RejectPostingSize")["result"] == {"vt": 19, "value": 3000}
    assert get(fresh, "Type")["result"] == {"vt": 3, "value": 0}
    props = get(get(mailboxes, "Item", "talk")["result"]["handle"], "Properties")["result"]["handle"]
    assert get(props, "Item", "ml.preappendsubject")["result"] == {"vt": 2, "value": -1}

    # Members: addresses normalised, no second row for one address, found by place and by address.
    members = get(ml, "MLMembers")["result"]["handle"]
    anna = client.call(members, "Add", "Anna <ANNA@example.com>")["result"]
    assert anna["class"] == "MLMember"
    assert get(anna["handle"], "Address")["result"]["value"] == "anna@example.com"
    assert client.call(members, "Add", "anna@example.com")["hr"] >= 0x80000000
    assert client.call(members, "Add", "no address at all")["hr"] >= 0x80000000
    bert = client.call(members, "Add", "bert@example.com")["result"]["handle"]
    assert get(members, "Count")["result"] == {"vt": 3, "value": 2}
    assert get(get(members, "Item", 1)["result"]["handle"], "Address")["result"]["value"] == "bert@example.com"
    assert get(get(members, "Item", "BERT@example.com")["result"]["handle"], "Address")["result"]["value"] == "bert@example.com"
    missing = get(members, "Item", 5)
    assert missing["hr"] == S_FALSE and missing["result"] is None
    assert get(members, "Item", -1)["hr"] == E_INVALIDARG
    assert put(bert, "Status", 9)["hr"] == E_INVALIDARG
    assert put(bert, "Status", 2)["hr"] == 0  # banned: receives nothing
    assert put(bert, "Comment", "away for good")["hr"] == 0
    assert put(bert, "MessageFormat", 1)["hr"] == 0
    assert rows(env, "talk")["bert@example.com"] == (0, "", 0)  # nothing written before Update
    assert client.call(bert, "Update")["hr"] == 0
    assert rows(env, "talk") == {"anna@example.com": (0, "", 0), "bert@example.com": (2, "away for good", 1)}
    listed = admin(env, "member", "list", "talk@" + DOMAIN)
    assert listed.stdout.split() == ["anna@example.com", "bert@example.com"]

    # The list server works with what the model set: prefix, members, status.
    post(port, "anna@" + DOMAIN, "talk@" + DOMAIN, "Hello", "First posting.\r\n")
    queue_empty(env)
    assert [m["Subject"] for m in messages(env, "anna@" + DOMAIN)] == ["[Talk] Hello"]
    assert messages(env, "bert@" + DOMAIN) == []
    posted = get(get(members, "Item", "anna@example.com")["result"]["handle"], "MessagesPosted")["result"]
    assert posted == {"vt": 3, "value": 1}

    assert client.call(members, "Remove", "ANNA@example.com")["hr"] == 0
    assert client.call(members, "Remove", "anna@example.com")["hr"] == E_INVALIDARG
    assert list(rows(env, "talk")) == ["bert@example.com"]
    assert admin(env, "member", "list", "talk@" + DOMAIN).stdout.split() == ["bert@example.com"]
    client.close()
    assert server.stop() == 0


GROUP_MEMBER = """
import json, socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
f = s.makefile("rb")
f.readline()
def request(op, obj, member, *args):
    s.sendall(json.dumps({"id": 1, "op": op, "object": obj, "member": member, "args": list(args)}).encode() + b"\\n")
    return json.loads(f.readline())
mailbox = request("call", "Pellworth.MessageStore", "FindMailBox", sys.argv[2])["result"]["handle"]
properties = request("get", mailbox, "Properties")["result"]["handle"]
refused = [request("put", properties, "Item", key, "/tmp/elsewhere.mdb")["hr"]
           for key in ("ml:datasource", "ML::DataSource", ":ml:datasource:")]
s.sendall(json.dumps({"id": 2, "op": "create", "object": "Pellworth.FriendlySendersList", "args": []}).encode() + b"\\n")
friendly = json.loads(f.readline())["result"]["handle"]
refused.append(request("put", friendly, "FileName", "Other.lst")["hr"])
refused.append(request("call", friendly, "Add", "friend@good.test")["hr"])
print(json.dumps(refused))
"""


def test_a_lists_database_moves_only_for_root_and_no_spelling_of_a_key_passes_its_guard(registered):
    env = registered
    setup_domain(env, [])
    admin(env, "mailbox", "add", "talk@" + DOMAIN, "--kind", "list", "--password", "listpw1")
    server = env.start().wait_ready()
    path = admin_socket_path(env)
    for directory in (env.root, env.store):
        os.chmod(directory, 0o755)
    # A member of the server's group administers, but may not have the server open or make a
    # database file elsewhere, however the key is written.
    grouped = subprocess.run(["python3", "-c", GROUP_MEMBER, path, "talk@" + DOMAIN], user="nobody", group="nogroup",
                             extra_groups=[os.getegid()], capture_output=True, text=True, timeout=WAIT)
    assert grouped.returncode == 0, grouped.stderr
    # Nor point a sender list at another file; the list itself it may change.
    assert json.loads(grouped.stdout) == [E_ACCESSDENIED] * 4 + [0]

    client = AdminClient(path)
    mailbox = client.call("Pellworth.MessageStore", "FindMailBox", "talk@" + DOMAIN)["result"]["handle"]
    properties = client.request("get", mailbox, "Properties")["result"]["handle"]
    # The password goes only through Password, enciphered, under any spelling of its key.
    for key in ("_Password", ":_Password", "_password:"):
        assert client.request("put", properties, "Item", key, "plain")["hr"] == E_ACCESSDENIED, key
    assert client.request("put", properties, "Item", "ml:datasource", "/tmp/elsewhere.mdb")["hr"] == 0
    client.close()
    assert server.stop() == 0
