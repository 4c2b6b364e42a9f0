"""Envelopes through the administration socket: one queued by a client is routed like any other, a
delivered one is changed and removed, and nothing a client writes reaches the transports' commands
as more than one line."""
from conftest import AdminClient, admin, admin_socket_path
from test_router import envelopes, folder, inbox, read_envelope, serving, wait_count, wait_queue_empty

E_INVALIDARG = 0x80070057
S_FALSE = 1
DISP_E_TYPEMISMATCH = 0x80020005


def test_an_envelope_queued_through_the_model_is_routed_and_a_delivered_one_changes_and_goes(registered):
    env = registered
    admin(env, "domain", "add", "example.com")
    for user in ("john", "mary"):
        admin(env, "mailbox", "add", "%s@example.com" % user, "--password", "secret12")
    serving(env)
    env.start().wait_ready()
    client = AdminClient(admin_socket_path(env))
    get = lambda obj, member, *args: client.request("get", obj, member, *args)
    put = lambda obj, member, *args: client.request("put", obj, member, *args)

    queue = get(get("Pellworth.MessageStore", "InFolder")["result"]["handle"], "Envelopes")["result"]["handle"]
    envelope = client.call(queue, "Add")["result"]
    assert envelope["class"] == "Envelope"
    envelope = envelope["handle"]
    assert put(envelope, "Sender", "admin@example.com")["hr"] == 0
    message = client.request("create", "Pellworth.Message")["result"]["handle"]
    for field, value in (("From", "admin@example.com"), ("To", "john@example.com"), ("Subject", "from the model")):
        assert put(message, field, value)["hr"] == 0
    assert put(message, "BodyText", "Made over the socket.\r\n")["hr"] == 0
    assert client.call(envelope, "PutContent", {"vt": 9, "handle": message})["hr"] == 0
    assert client.call(envelope, "PutContent", {"vt": 9, "handle": queue})["hr"] == DISP_E_TYPEMISMATCH
    recipients = get(envelope, "Recipients")["result"]["handle"]
    # Nothing that would become a second command line, and no empty recipient.
    for bad in ("x@example.com\r\nRCPT TO:<evil@remote.test>", "a\x00b@example.com", "", "x" * 1001):
        assert client.call(recipients, "Add", bad)["hr"] == E_INVALIDARG, bad
    assert put(envelope, "Sender", "a@b\r\nRSET")["hr"] == E_INVALIDARG
    assert put(envelope, "Priority", 9)["hr"] == E_INVALIDARG
    for address in ("john@example.com", "nobody@example.com", "mary@example.com"):
        assert client.call(recipients, "Add", address)["hr"] == 0
    assert client.call(recipients, "RemoveAt", 1)["hr"] == 0
    assert client.call(recipients, "RemoveAt", 5)["hr"] == E_INVALIDARG
    assert client.call(recipients, "Remove", "NOBODY@example.com")["hr"] == S_FALSE
    assert get(recipients, "Count")["result"]["value"] == 2
    assert get(recipients, "Item", 1)["result"]["value"] == "mary@example.com"
    assert get(envelope, "UID")["result"]["value"] == 0
    assert client.call(envelope, "Update")["hr"] == 0
    assert get(envelope, "UID")["result"]["value"] > 0

    # The routers take what a client queues once it is handed to them.
    uid = get(envelope, "UID")["result"]["value"]
    assert client.call("Pellworth.ServerSession", "AdviseNewEnvelope", uid, "")["hr"] == 0
    wait_count(env, "john@example.com", 1)
    wait_count(env, "mary@example.com", 1)
    wait_queue_empty(env)
    record, delivered_to = read_envelope(inbox(env, "john@example.com")[0])
    assert record["_Sender"] == "admin@example.com"
    with open(inbox(env, "john@example.com")[0][:-4] + ".eml", "rb") as f:
        content = f.read()
    assert b"Subject: from the model\r\n" in content and content.endswith(b"Made over the socket.\r\n")

    # A delivered envelope: changed and written back by its Update, then removed by its id.
    johns = get(client.call("Pellworth.MessageStore", "FindMailBox", "john@example.com")["result"]["handle"], "InFolder")["result"]["handle"]
    johns = get(johns, "Envelopes")["result"]["handle"]
    # Walks hand out one object per Next, then S_FALSE and none.
    walked = [client.call(johns, "Next", 1) for _ in range(2)]
    assert walked[0]["hr"] == 0 and walked[0]["out"][0]["class"] == "Envelope" and walked[0]["out"][1]["value"] == 1
    assert walked[1]["hr"] == S_FALSE and walked[1]["out"] == [None, {"vt": 19, "value": 0}]
    assert client.call(johns, "Next", 5)["hr"] == E_INVALIDARG
    mailboxes = get(client.call("Pellworth.MessageStore", "FindDomain", "example.com")["result"]["handle"], "MailBoxes")["result"]["handle"]
    assert client.call(mailboxes, "Reset")["hr"] == 0
    names = []
    while True:
        step = client.call(mailboxes, "Next", 1)
        if step["hr"] == S_FALSE:
            break
        names.append(get(step["out"][0]["handle"], "Name")["result"]["value"])
    assert names == ["john", "mary"]
    delivered = get(johns, "Item", 0)["result"]["handle"]
    read_back = client.request("create", "Pellworth.Message")["result"]["handle"]
    assert client.call(delivered, "GetContent", {"vt": 9, "handle": read_back})["hr"] == 0
    assert get(read_back, "Subject")["result"]["value"] == "from the model"
    assert put(delivered, "LastReadDate", 46000.25)["hr"] == 0
    assert put(delivered, "Priority", 1)["hr"] == 0
    properties = get(delivered, "Properties")["result"]
    assert properties["class"] == "Properties"
    assert put(properties["handle"], "Item", "admin:note", "checked")["hr"] == 0
    assert put(properties["handle"], "Item", "rcpt:x@example.com:orcpt", "rfc822;x\r\nRSET")["hr"] == E_INVALIDARG
    assert put(properties["handle"], "Item", "_Sender", "a@b\nDATA")["hr"] == E_INVALIDARG
    assert get(properties["handle"], "Item", "_Sender")["result"]["value"] == "admin@example.com"
    assert client.call(delivered, "Update")["hr"] == 0
    record, _ = read_envelope(inbox(env, "john@example.com")[0])
    assert record["_Priority"] == 1 and abs(record["_LastReadDate"] - 46000.25) < 1e-9
    assert record["admin:note"] == "checked"
    uid = get(delivered, "UID")["result"]["value"]
    assert client.call(johns, "RemoveEnvelope", uid)["hr"] == 0
    assert client.call(johns, "RemoveEnvelope", uid)["hr"] == S_FALSE
    assert inbox(env, "john@example.com") == []
    client.close()


def test_collections_walk_by_pattern_and_on_their_own_and_envelopes_copy_and_leave_only_their_own_folder(registered):
    env = registered
    for name in ("alpha.test", "beta.test", "gamma.org"):
        assert admin(env, "domain", "add", name).returncode == 0
    env.start().wait_ready()
    client = AdminClient(admin_socket_path(env))
    get = lambda obj, member, *args: client.request("get", obj, member, *args)
    put = lambda obj, member, *args: client.request("put", obj, member, *args)

    def walk(collection):
        names = []
        while True:
            reply = client.call(collection, "Next", 1)
            if reply["hr"] == S_FALSE:
                assert reply["out"][0] is None and reply["out"][1]["value"] == 0
                return names
            names.append(get(reply["out"][0]["handle"], "Name")["result"]["value"])

    domains = get("Pellworth.MessageStore", "Domains")["result"]["handle"]
    assert get(domains, "MatchPattern")["result"]["value"] == ""
    assert put(domains, "MatchPattern", "*.TEST")["hr"] == 0
    own = get(domains, "_NewEnum")["result"]["handle"]
    assert client.call(domains, "Next", 1)["hr"] == 0
    # A walk of its own: the collection's step does not move it, and it keeps the pattern.
    assert sorted(walk(own)) == ["alpha.test", "beta.test"]
    assert client.call(own, "Reset")["hr"] == 0 and len(walk(own)) == 2
    assert len(walk(domains)) == 1
    assert put(domains, "MatchPattern", "g?mma.*")["hr"] == 0 and walk(domains) == ["gamma.org"]
    # Patterns that would cost the server dearly to match are refused; the old one stays.
    for bad in ("*a*b*c*d", "x" * 256):
        assert put(domains, "MatchPattern", bad)["hr"] == E_INVALIDARG
    assert get(domains, "MatchPattern")["result"]["value"] == "g?mma.*"
    assert get(domains, "Count")["result"]["value"] == 3

    def folder_envelopes(name):
        made = client.call("Pellworth.MessageStore", "CreateFolder", name, 0)["result"]["handle"]
        return get(made, "Envelopes")["result"]["handle"]

    archive, other = folder_envelopes("Archive"), folder_envelopes("Other")
    envelope = client.call(archive, "Add")["result"]["handle"]
    message = client.request("create", "Pellworth.Message")["result"]["handle"]
    assert put(message, "Subject", "kept twice")["hr"] == 0
    assert put(message, "BodyText", "The same words.\r\n")["hr"] == 0
    assert client.call(envelope, "PutContent", {"vt": 9, "handle": message})["hr"] == 0
    assert put(envelope, "Sender", "a@alpha.test")["hr"] == 0
    fresh = client.call(other, "Add")["result"]["handle"]
    # Nothing is copied from an envelope that is not written yet.
    assert client.call(other, "CopyFrom", {"vt": 9, "handle": envelope})["hr"] == E_INVALIDARG
    assert client.call(envelope, "CopyTo", {"vt": 9, "handle": fresh})["hr"] == E_INVALIDARG
    assert client.call(envelope, "Update")["hr"] == 0
    copy = client.call(other, "CopyFrom", {"vt": 9, "handle": envelope})["result"]["handle"]
    assert get(copy, "Sender")["result"]["value"] == "a@alpha.test"
    assert get(copy, "UID")["result"]["value"] > 0
    read_back = client.request("create", "Pellworth.Message")["result"]["handle"]
    assert client.call(copy, "GetContent", {"vt": 9, "handle": read_back})["hr"] == 0
    assert get(read_back, "Subject")["result"]["value"] == "kept twice"
    assert client.call(other, "CopyFrom", {"vt": 9, "handle": message})["hr"] == DISP_E_TYPEMISMATCH

    # A folder's Remove takes only its own envelopes.
    assert client.call(archive, "Remove", {"vt": 9, "handle": copy})["hr"] == E_INVALIDARG
    assert get(other, "Count")["result"]["value"] == 1
    assert client.call(other, "Remove", {"vt": 9, "handle": copy})["hr"] == 0
    assert get(other, "Count")["result"]["value"] == 0 and get(archive, "Count")["result"]["value"] == 1
    walked = get(archive, "_NewEnum")["result"]["handle"]
    first = client.call(walked, "Next", 1)
    assert first["hr"] == 0 and get(first["out"][0]["handle"], "Sender")["result"]["value"] == "a@alpha.test"
    assert client.call(walked, "Next", 1)["hr"] == S_FALSE
    client.close()


def test_the_session_starts_and_stops_each_worker_and_hands_out_objects_only_for_their_password(registered):
    env = registered
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--password", "secret12")
    env.start().wait_ready()
    client = AdminClient(admin_socket_path(env))
    session = "Pellworth.ServerSession"
    E_ACCESSDENIED, E_FAIL = 0x80070005, 0x80004005

    mailbox = client.call(session, "GetAuthorizedMailBox", "John@Example.com", "secret12")
    assert mailbox["hr"] == 0 and mailbox["result"]["class"] == "MailBox"
    for name, password in (("john@example.com", "secret1"), ("john@example.com", ""), ("nobody@example.com", "secret12")):
        assert client.call(session, "GetAuthorizedMailBox", name, password)["hr"] == E_ACCESSDENIED
    domain = client.call("Pellworth.MessageStore", "FindDomain", "example.com")["result"]["handle"]
    # A domain without a password lets nobody in.
    assert client.call(session, "GetAuthorizedDomain", "example.com", "")["hr"] == E_ACCESSDENIED
    assert client.request("put", domain, "Password", "domainpw")["hr"] == 0 and client.call(domain, "Update")["hr"] == 0
    assert client.call(session, "GetAuthorizedDomain", "example.com", "domainpw")["result"]["class"] == "Domain"
    assert client.call(session, "IsInstalled", "pellworth.message.1")["hr"] == 0
    assert client.call(session, "IsInstalled", "Pellworth.Nothing")["hr"] == S_FALSE

    queue = client.request("get", client.request("get", "Pellworth.MessageStore", "InFolder")["result"]["handle"],
                           "Envelopes")["result"]["handle"]

    def queue_message(subject):
        envelope = client.call(queue, "Add")["result"]["handle"]
        message = client.request("create", "Pellworth.Message")["result"]["handle"]
        assert client.request("put", message, "Subject", subject)["hr"] == 0
        assert client.call(envelope, "PutContent", {"vt": 9, "handle": message})["hr"] == 0
        assert client.request("put", envelope, "Sender", "admin@example.com")["hr"] == 0
        assert client.call(client.request("get", envelope, "Recipients")["result"]["handle"], "Add", "john@example.com")["hr"] == 0
        assert client.call(envelope, "Update")["hr"] == 0
        return client.request("get", envelope, "UID")["result"]["value"]

    # Mail handed to stopped routers waits in the queue and is routed once they start again.
    assert client.call(session, "StopRouters")["hr"] == 0
    assert client.call(session, "AdviseNewEnvelope", queue_message("held"), "")["hr"] == 0
    assert len(envelopes(folder(env, "_In"))) == 1 and not inbox(env, "john@example.com")
    assert client.call(session, "StartRouters")["hr"] == 0
    assert client.call(session, "StartRouters")["hr"] == 0
    wait_count(env, "john@example.com", 1)
    wait_queue_empty(env)

    # The schedule drives the transports' cycles: it stops with them and starts only with them.
    assert client.call(session, "StopTransports")["hr"] == 0
    assert client.call(session, "ConnectNow")["hr"] == S_FALSE
    assert client.call(session, "StartScheduler")["hr"] == S_FALSE
    assert client.call(session, "StartTransports")["hr"] == 0
    assert client.call(session, "ConnectNow")["hr"] == 0
    assert client.call(session, "StopScheduler")["hr"] == 0
    assert client.call(session, "StartScheduler")["hr"] == 0

    # With the workers stopped no part of them starts alone; what was queued meanwhile is routed
    # once they start again.
    assert client.call(session, "Stop")["hr"] == 0
    assert client.call(session, "StartRouters")["hr"] == E_FAIL
    assert client.call(session, "StartTransports")["hr"] == S_FALSE
    assert client.call(session, "StartScheduler")["hr"] == S_FALSE
    queue_message("while stopped")
    assert client.call(session, "Start")["hr"] == 0
    wait_count(env, "john@example.com", 2)
    wait_queue_empty(env)
    assert client.call(session, "StopRouters")["hr"] == 0 and client.call(session, "StartRouters")["hr"] == 0
    client.close()


def test_every_collection_walks_one_by_one_and_an_envelope_shows_its_content_but_never_empties_it(registered):
    import base64
    env = registered
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "talk@example.com", "--kind", "list")
    for member in ("b@x.test", "a@x.test"):
        assert admin(env, "member", "add", "talk@example.com", member).returncode == 0
    assert admin(env, "schedule", "add", "--outgoing", "--at", "06:30").returncode == 0
    env.start().wait_ready()
    client = AdminClient(admin_socket_path(env))
    get = lambda obj, member, *args: client.request("get", obj, member, *args)

    def walk(collection, read):
        seen = []
        while True:
            reply = client.call(collection, "Next", 1)
            if reply["hr"] == S_FALSE:
                assert reply["out"][0] is None and reply["out"][1]["value"] == 0
                return seen
            assert reply["out"][1]["value"] == 1
            seen.append(read(reply["out"][0]["handle"]))

    mailbox = client.call("Pellworth.MessageStore", "FindMailBox", "talk@example.com")["result"]["handle"]
    members = get(get(mailbox, "MailingList")["result"]["handle"], "MLMembers")["result"]["handle"]
    address = lambda handle: get(handle, "Address")["result"]["value"]
    assert walk(members, address) == ["a@x.test", "b@x.test"]
    assert client.call(members, "Next", 2)["hr"] == E_INVALIDARG
    assert client.call(members, "Reset")["hr"] == 0 and len(walk(members, address)) == 2
    events = get("Pellworth.Settings", "ScheduleEvents")["result"]["handle"]
    assert walk(events, lambda handle: get(handle, "OutgoingDelivery")["result"]["value"]) == [True]

    folder = client.call("Pellworth.MessageStore", "CreateFolder", "Kept", 0)["result"]["handle"]
    envelopes_ = get(folder, "Envelopes")["result"]["handle"]
    envelope = client.call(envelopes_, "Add")["result"]["handle"]
    message = client.request("create", "Pellworth.Message")["result"]["handle"]
    assert client.request("put", message, "Subject", "shown")["hr"] == 0
    assert client.call(envelope, "PutContent", {"vt": 9, "handle": message})["hr"] == 0
    assert client.call(envelope, "StreamOnContent", False, 0)["hr"] == E_INVALIDARG
    recipients = get(envelope, "Recipients")["result"]["handle"]
    for rcpt in ("one@x.test", "two@x.test"):
        assert client.call(recipients, "Add", rcpt)["hr"] == 0
    listed = get(recipients, "_NewEnum")["result"]
    assert listed["vt"] == 0x2008 and [item["value"] for item in listed["value"]] == ["one@x.test", "two@x.test"]
    # Replace writes only a published envelope of the folder itself.
    assert client.call(envelopes_, "Replace", {"vt": 9, "handle": envelope})["hr"] == E_INVALIDARG
    assert client.call(envelope, "Update")["hr"] == 0
    content = client.call(envelope, "StreamOnContent", False, 0)
    assert content["hr"] == 0 and b"Subject: shown" in base64.b64decode(content["result"]["stream"])
    size = get(envelope, "ContentSize")["result"]["value"]
    assert client.call(envelope, "StreamOnContent", True, 1)["hr"] == E_INVALIDARG
    assert get(envelope, "ContentSize")["result"]["value"] == size
    assert client.request("put", envelope, "Sender", "new@x.test")["hr"] == 0
    assert client.call(envelopes_, "Replace", {"vt": 9, "handle": envelope})["hr"] == 0
    uid = get(envelope, "UID")["result"]["value"]
    again = client.call(envelopes_, "FindEnvelope", uid)["result"]["handle"]
    assert get(again, "Sender")["result"]["value"] == "new@x.test"
    other = get(client.call("Pellworth.MessageStore", "CreateFolder", "Other", 0)["result"]["handle"], "Envelopes")["result"]["handle"]
    assert client.call(other, "Replace", {"vt": 9, "handle": envelope})["hr"] == E_INVALIDARG
    client.close()
