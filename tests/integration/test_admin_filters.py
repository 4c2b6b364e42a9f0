"""The spam filters through the administration socket: what a client adds is what the routers judge
the next message by and what pellworth-admin reads from the files; damaged files stay as they are."""
import os

from conftest import AdminClient, admin, admin_socket_path
from test_antispam import delivered, send, spam_server
from test_router import wait_count, wait_queue_empty

E_ACCESSDENIED = 0x80070005
E_INVALIDARG = 0x80070057
E_FAIL = 0x80004005
DISP_E_UNKNOWNNAME = 0x80020006
DISP_E_TYPEMISMATCH = 0x80020005
S_FALSE = 1


def test_sender_lists_and_charsets_added_through_the_model_judge_the_next_message(registered):
    env = registered
    port = spam_server(env, ("sys:spam:enemies:enabled", "bool:true"), ("sys:spam:friendly:enabled", "bool:true"),
                       ("sys:spam:charset:enabled", "bool:true"), ("sys:spam:action", "i4:2"))
    env.start().wait_ready()
    client = AdminClient(admin_socket_path(env))
    enemies = client.request("create", "Pellworth.EnemySendersList.1")["result"]
    assert enemies["class"] == "EnemySendersList"
    enemies = enemies["handle"]
    assert client.call(enemies, "Add", "Bad Guy <BAD@Remote.TEST>")["hr"] == 0
    assert client.call(enemies, "Add", "*@spam.test")["hr"] == 0
    assert client.call(enemies, "Add", "\"nobody\" <>")["hr"] == S_FALSE  # no key: nothing stored
    assert client.request("get", enemies, "Count")["result"] == {"vt": 3, "value": 2}
    assert client.call(enemies, "IsInList", "someone@spam.test")["hr"] == 0
    assert client.call(enemies, "IsInList", "good@remote.test")["hr"] == S_FALSE
    assert client.call(enemies, "AddDefaults")["hr"] == DISP_E_UNKNOWNNAME  # only the no-respond list has them
    assert client.call(enemies, "Reset")["hr"] == 0
    fetched = [client.call(enemies, "Next", 1)["out"] for _ in range(3)]
    assert fetched == [[{"vt": 8, "value": '"Bad Guy" <bad@remote.test>'}, {"vt": 19, "value": 1}],
                       [{"vt": 8, "value": '"*@spam.test" <*@spam.test>'}, {"vt": 19, "value": 1}],
                       [{"vt": 8, "value": None}, {"vt": 19, "value": 0}]]
    assert admin(env, "senders", "enemy", "list").stdout.splitlines() == ['"Bad Guy" <bad@remote.test>', '"*@spam.test" <*@spam.test>']

    charsets = client.request("create", "Pellworth.CharSetFilter")["result"]["handle"]
    assert client.call(charsets, "Add", "koi8-r")["hr"] == 0
    assert client.call(charsets, "Add", "KOI8R")["hr"] == S_FALSE  # an alias of a listed set
    assert client.call(charsets, "Add", "")["hr"] == E_INVALIDARG
    assert client.request("get", charsets, "Item", 0)["result"]["value"] == "KOI8-R"
    assert client.request("get", charsets, "Item", 1)["hr"] == E_INVALIDARG

    norespond = client.request("create", "Pellworth.NoRespondToList")["result"]["handle"]
    assert client.call(norespond, "AddDefaults")["hr"] == 0
    assert client.request("get", norespond, "Count")["result"]["value"] == 8
    assert client.call(norespond, "IsInList", "mailer-daemon@anywhere.test")["hr"] == 0

    # A list moves only to a bare name in the store root.
    friendly = client.request("create", "Pellworth.FriendlySendersList")["result"]["handle"]
    for bad in ("../GoodSenders.lst", "/etc/passwd", "a/b", "..", ""):
        assert client.request("put", friendly, "FileName", bad)["hr"] == E_INVALIDARG, bad
    assert client.request("put", friendly, "FileName", "Other.lst")["hr"] == 0
    assert client.call(friendly, "Add", "friend@good.test")["hr"] == 0
    assert os.path.exists(env.store_file("Other.lst")) and not os.path.exists(env.store_file("GoodSenders.lst"))

    send(port, "bad@remote.test", "enemy")
    send(port, "x@spam.test", "pattern")
    send(port, "x@remote.test", "koi8-r", headers=["MIME-Version: 1.0", 'Content-Type: text/plain; charset="koi8-r"'])
    send(port, "friend@good.test", "not in the friendly file")
    wait_count(env, "john@example.com", 4)
    wait_queue_empty(env)
    status = {case: found[0] for case, found in delivered(env).items()}
    assert status == {"enemy": 1, "pattern": 1, "koi8-r": 1, "not in the friendly file": None}

    # Removed through the model: the next message is no longer judged by it.
    assert client.call(enemies, "Remove", "BAD@remote.test")["hr"] == 0
    assert client.call(enemies, "Remove", "bad@remote.test")["hr"] == S_FALSE
    send(port, "bad@remote.test", "forgiven")
    wait_count(env, "john@example.com", 5)
    assert delivered(env)["forgiven"][0] is None
    client.close()


MESSAGE = b"Subject: cheap offer\r\n\r\nBuy cheap pills now, best viagra!\r\n"


def test_phrases_added_through_the_model_score_messages_and_a_damaged_file_is_left_alone(registered, tmp_path):
    env = registered
    spam_server(env)
    env.start().wait_ready()
    client = AdminClient(admin_socket_path(env))
    phrases = client.request("create", "Pellworth.PhraseFilter")["result"]["handle"]
    assert client.call(phrases, "Add", "cheap pills", "60.5", False)["result"] == {"vt": 3, "value": 0}
    assert client.call(phrases, "Add", "viagra", 50, True)["result"] == {"vt": 3, "value": 1}
    assert client.call(phrases, "Add", "", 10, False)["hr"] == E_INVALIDARG
    assert client.call(phrases, "Add", "x" * 1001, 10, False)["hr"] == E_INVALIDARG
    assert client.call(phrases, "Add", "nan", "NaN", False)["hr"] >= 0x80000000
    assert client.call(phrases, "GetAt", 1)["out"] == [{"vt": 8, "value": "viagra"}, {"vt": 5, "value": 50.0},
                                                       {"vt": 11, "value": True}]
    assert client.call(phrases, "GetAt", 2)["hr"] == E_INVALIDARG
    assert client.call(phrases, "RemoveAt", -1)["hr"] == E_INVALIDARG
    assert client.request("put", phrases, "IgnoreObfuscationChars", True)["hr"] == 0
    assert client.request("get", client.request("create", "Pellworth.PhraseFilter")["result"]["handle"],
                          "IgnoreObfuscationChars")["result"] == {"vt": 11, "value": True}
    message = tmp_path / "offer.eml"
    message.write_bytes(MESSAGE)
    scored = admin(env, "phrases", "score", str(message)).stdout.splitlines()
    assert scored[0] == "110.50" and "cheap pills" in scored[1] and "viagra" in scored[1]
    # A message built through the model scores as the file does.
    built = client.request("create", "Pellworth.Message")["result"]["handle"]
    assert client.request("put", built, "Subject", "cheap offer")["hr"] == 0
    assert client.request("put", built, "BodyText", "Buy cheap pills now, best viagra!\r\n")["hr"] == 0
    assert client.request("put", built, "HeaderField", "X-Note", "a\r\nBcc: evil@remote.test")["hr"] == E_INVALIDARG
    assert client.request("put", built, "HeaderField", "Bad Name", "x")["hr"] == E_INVALIDARG
    assert client.request("get", built, "CountHeaderField", "Bcc")["result"]["value"] == 0
    address = client.request("create", "Pellworth.Address")["result"]["handle"]
    assert client.request("put", address, "Address", '"Pill Seller" <seller@Pills.TEST>')["hr"] == 0
    assert client.request("get", address, "Domain")["result"]["value"].lower() == "pills.test"
    assert client.request("get", address, "Valid")["result"] == {"vt": 3, "value": 0}
    assert client.request("put", address, "Name", "x\r\nBcc: evil@remote.test")["hr"] == E_INVALIDARG
    full = client.request("get", address, "FullAddress")["result"]["value"]
    assert client.request("put", built, "From", full)["hr"] == 0
    assert client.request("get", built, "From")["result"]["value"] == full and "seller@" in full
    decoded = client.call(built, "DecodeWord", "=?koi8-r?B?8NLJ18XU?=")
    assert decoded["out"][0]["value"] == "koi8-r" and len(decoded["result"]["value"]) == 6
    assert decoded["out"][1] == {"vt": 3, "value": 1}
    assert client.call(built, "SetContentType", "text", "plain", "charset=x\r\nBcc: y")["hr"] == E_INVALIDARG
    scored = client.call(phrases, "Spamicity", {"vt": 9, "handle": built}, "")
    assert scored["result"] == {"vt": 5, "value": 110.5} and "cheap pills" in scored["out"][0]["value"]
    assert client.call(phrases, "Spamicity", {"vt": 9, "handle": phrases}, "")["hr"] == DISP_E_TYPEMISMATCH
    charsets = client.request("create", "Pellworth.CharSetFilter")["result"]["handle"]
    assert client.call(charsets, "Add", "windows-1251")["hr"] == 0
    assert client.call(charsets, "Spamicity", {"vt": 9, "handle": built}, "")["result"]["value"] == 0
    assert client.request("put", built, "HeaderField", "MIME-Version", "1.0")["hr"] == 0
    assert client.request("put", built, "HeaderField", "Content-Type", "text/plain; charset=cp1251")["hr"] == 0
    assert client.call(charsets, "Spamicity", {"vt": 9, "handle": built}, "")["result"]["value"] == 100

    assert client.call(phrases, "RemoveAt", 0)["hr"] == 0
    assert admin(env, "phrases", "score", str(message)).stdout.splitlines()[0] == "50.00"
    assert client.request("get", phrases, "Count")["result"]["value"] == 1

    # A file that is no phrase file is never replaced by a change.
    damaged = b"\x07\x00\x00\x00not a phrase file"
    with open(env.store_file("PhraseFilter.dat"), "wb") as f:
        f.write(damaged)
    assert client.call(phrases, "Add", "more", 1, False)["hr"] == E_FAIL
    assert client.call(phrases, "RemoveAll")["hr"] == E_FAIL
    with open(env.store_file("PhraseFilter.dat"), "rb") as f:
        assert f.read() == damaged
    client.close()
