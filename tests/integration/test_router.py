"""The router behind a running server: delivery by mailbox kind, the unknown-recipient rules of a
domain, automatic replies, the hop limit, and a queue that survives a restart and a crash. Messages
go in through the SMTP server on loopback; what the router made is read back from the store's files."""
import os
import re
import smtplib
import struct
import threading
import time

import cfgfile
from conftest import WAIT, admin, free_port, wait_for

SENDER = "sender@remote.test"


def serving(env, routers=True):
    """Listeners on (SMTP only, open relay on loopback), transports off so that "_Out" keeps what
    the router put there; returns the SMTP port."""
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoTransports", 1)
    env.configure_debug("NoRouters", 0 if routers else 1)
    port = free_port()
    for key, value in (("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
                       ("sys:smtp:0:openrelay", "bool:true"), ("sys:pop3:0:enabled", "i2:0"),
                       ("sys:imap4:0:enabled", "i2:0")):
        admin(env, "config", "set", key, value)
    return port


def message(subject, sender=SENDER, headers=()):
    return "\r\n".join([*headers, "From: %s" % sender, "To: someone@example.com", "Subject: %s" % subject, "",
                        "Text of %s." % subject, ""])


def send(port, recipient, subject, sender=SENDER, headers=()):
    """One message in its own session; sender "" is the null sender "<>"."""
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.sendmail(sender, [recipient], message(subject, sender or SENDER, headers))


def folder(env, *parts):
    return os.path.join(env.store, *parts)


def envelopes(path):
    """The published envelopes of a folder, oldest first (a missing folder has none)."""
    try:
        return sorted(os.path.join(path, n) for n in os.listdir(path) if n.endswith(".env"))
    except FileNotFoundError:
        return []


def inbox(env, address):
    local, domain = address.split("@")
    return envelopes(folder(env, domain, local, "_In"))


def read_envelope(path):
    """An ".env" record: a property tree, then a u32 recipient count and per recipient a u32 byte
    count (terminator included) and UTF-16LE text. Returns (properties, recipients)."""
    with open(path, "rb") as f:
        data = f.read()
    pos = 8
    for _ in range(struct.unpack_from("<I", data, 4)[0]):
        pos += 4 + struct.unpack_from("<I", data, pos)[0]
        (vartype,) = struct.unpack_from("<H", data, pos)
        pos += 2
        pos += struct.calcsize(cfgfile._FIXED[vartype]) if vartype in cfgfile._FIXED else 4 + struct.unpack_from("<I", data, pos)[0]
    properties = {key: value for key, _, value in cfgfile.decode(data[:pos])}
    recipients = []
    for _ in range(struct.unpack_from("<I", data, pos)[0]):
        (size,) = struct.unpack_from("<I", data, pos + 4)
        recipients.append(data[pos + 8:pos + 8 + size].decode("utf-16-le").rstrip("\0"))
        pos += 4 + size
    assert pos + 4 == len(data)
    return properties, recipients


def content(envelope_path):
    with open(envelope_path[:-4] + ".eml", "rb") as f:
        return f.read().decode("utf-8", "replace")


def subjects(paths):
    return [re.search(r"(?m)^Subject: (.*?)\r?$", content(p)).group(1) for p in paths]


def wait_count(env, address, count):
    wait_for(lambda: len(inbox(env, address)) == count, "%d messages for %s" % (count, address))


def wait_queue_empty(env):
    wait_for(lambda: not envelopes(folder(env, "_In")), "an empty queue")


def inventory(env):
    """Every envelope in the store by its folder, relative to the store root."""
    found = {}
    for directory, _, names in os.walk(env.store):
        count = sum(n.endswith(".env") for n in names)
        if count:
            found[os.path.relpath(directory, env.store)] = count
    return found


def test_recipients_are_handled_by_mailbox_kind_and_domain_rule(registered):
    env = registered
    for domain, mode, target in (("example.com", "2", "catch@example.com"), ("one.test", "1", "other.test"),
                                 ("zero.test", "0", "")):
        admin(env, "domain", "add", domain)
        admin(env, "domain", "set", domain, "domain:unknownemail", "i4:" + mode)
        if target:
            admin(env, "domain", "set", domain, "domain:unknownemailaddress", "str:" + target)
    for name in ("john", "a", "b", "m1", "m2", "quota", "catch"):
        admin(env, "mailbox", "add", name + "@example.com", "--kind", "user", "--password", "secret12")
    admin(env, "mailbox", "set", "quota@example.com", "user:quota:nummsgs", "i4:1")
    admin(env, "mailbox", "add", "fwd@example.com", "--kind", "forward")
    admin(env, "mailbox", "set", "fwd@example.com", "alias:fwdtoaddrs", "a@example.com;b@example.com")
    admin(env, "mailbox", "add", "team@example.com", "--kind", "group")
    for key, value in (("group:inturn", "bool:true"), ("group:count", "i4:2"),
                       ("group:fwdtoaddrs", "m1@example.com m2@example.com")):
        admin(env, "mailbox", "set", "team@example.com", key, value)
    port = serving(env)
    server = env.start().wait_ready()

    send(port, "john@example.com", "to john")
    wait_count(env, "john@example.com", 1)
    assert subjects(inbox(env, "john@example.com")) == ["to john"]

    send(port, "fwd@example.com", "forwarded")
    wait_count(env, "a@example.com", 1)
    wait_count(env, "b@example.com", 1)
    assert subjects(inbox(env, "b@example.com")) == ["forwarded"]

    # Two turns each, then back to the first member; each message is routed before the next goes in.
    for number, member in ((1, "m1"), (2, "m1"), (3, "m2"), (4, "m2"), (5, "m1")):
        before = len(inbox(env, member + "@example.com"))
        send(port, "team@example.com", "turn %d" % number)
        wait_count(env, member + "@example.com", before + 1)
    assert subjects(inbox(env, "m1@example.com")) == ["turn 1", "turn 2", "turn 5"]
    assert subjects(inbox(env, "m2@example.com")) == ["turn 3", "turn 4"]

    send(port, "quota@example.com", "fits")
    wait_count(env, "quota@example.com", 1)
    # The refused messages come from the null sender: no delivery notice is due for them, whether
    # notices are sent or only logged.
    send(port, "quota@example.com", "over quota", sender="")

    send(port, "x@remote.test", "outbound")
    outbound = folder(env, "_Out", "remote.test")
    wait_for(lambda: len(envelopes(outbound)) == 1, "the outbound envelope")
    properties, recipients = read_envelope(envelopes(outbound)[0])
    assert recipients == ["x@remote.test"] and properties["_Sender"] == SENDER

    send(port, "nobody@example.com", "unknown to a mailbox")
    wait_count(env, "catch@example.com", 1)
    send(port, "nobody@one.test", "unknown to a domain")
    elsewhere = folder(env, "_Out", "other.test")
    wait_for(lambda: len(envelopes(elsewhere)) == 1, "the re-queued envelope")
    assert read_envelope(envelopes(elsewhere)[0])[1] == ["nobody@other.test"]
    # Where unknown mail would go back to its sender, it is refused at RCPT instead, also in the "%"
    # and "!" forms: a notice would go to a sender who is often forged.
    for address in ("nobody@zero.test", "a%b@zero.test", "b!a@zero.test"):
        try:
            send(port, address, "unknown and returned")
            raise AssertionError(address + " was accepted")
        except smtplib.SMTPRecipientsRefused as refused:
            assert refused.recipients[address] == (550, b"5.1.1 Requested action not taken: mailbox unavailable")
    send(port, "NULL@example.com", "into the void")

    wait_queue_empty(env)
    # Everything that was dropped (quota, mode 0, NULL) left nothing anywhere; the forward and the
    # group kept nothing of their own.
    assert inventory(env) == {"example.com/john/_In": 1, "example.com/a/_In": 1, "example.com/b/_In": 1,
                              "example.com/m1/_In": 3, "example.com/m2/_In": 2, "example.com/quota/_In": 1,
                              "example.com/catch/_In": 1, "_Out/remote.test": 1, "_Out/other.test": 1}
    assert subjects(inbox(env, "quota@example.com")) == ["fits"]
    assert server.stop() == 0


def test_automatic_replies_and_the_hop_limit(registered):
    env = registered
    admin(env, "domain", "add", "example.com")
    for name in ("away", "john"):
        admin(env, "mailbox", "add", name + "@example.com", "--kind", "user", "--password", "secret12")
    for key, value in (("mailbox:autoreplyenable", "bool:true"), ("mailbox:autoreplysubject", "str:Out of office"),
                       ("mailbox:autoreplybody", "str:Back on Monday.")):
        admin(env, "mailbox", "set", "away@example.com", key, value)
    port = serving(env)
    server = env.start().wait_ready()

    outbound = folder(env, "_Out", "remote.test")
    send(port, "away@example.com", "first")
    wait_count(env, "away@example.com", 1)
    wait_for(lambda: len(envelopes(outbound)) == 1, "the automatic reply")
    reply = envelopes(outbound)[0]
    assert read_envelope(reply)[1] == [SENDER]
    text = content(reply)
    assert re.search(r"(?mi)^Auto-Submitted: auto-replied\r?$", text)
    assert "Out of office" in text and "Back on Monday." in text

    send(port, "away@example.com", "second, same day")  # one reply per sender and day
    send(port, "away@example.com", "generated", sender="robot@remote.test", headers=["Auto-Submitted: auto-generated"])
    wait_count(env, "away@example.com", 3)
    wait_queue_empty(env)
    assert envelopes(outbound) == [reply]

    # The SMTP server adds a Received line of its own: 25 sent make 26 stored (one hop too many),
    # 24 sent make 25 stored (the limit itself).
    hops = ["Received: from hop%d.remote.test by hop%d.remote.test; Mon, 1 Jan 2024 00:00:00 +0000" % (i, i + 1)
            for i in range(25)]
    send(port, "john@example.com", "26 hops", headers=hops)
    send(port, "john@example.com", "25 hops", headers=hops[:24])
    wait_count(env, "john@example.com", 1)
    wait_queue_empty(env)
    assert subjects(inbox(env, "john@example.com")) == ["25 hops"]
    assert content(inbox(env, "john@example.com")[0]).count("Received:") == 25
    assert server.stop() == 0


def test_the_queue_survives_a_restart_and_a_crash(registered):
    env = registered
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--kind", "user", "--password", "secret12")
    queue = folder(env, "_In")
    port = serving(env, routers=False)
    server = env.start().wait_ready()
    for number in range(3):
        send(port, "john@example.com", "queued %d" % number)
    assert len(envelopes(queue)) == 3 and not inbox(env, "john@example.com")
    assert server.stop() == 0
    # What a crash between the two deletions of a removal leaves: the record without its content.
    with open(envelopes(queue)[0], "rb") as f:
        record = f.read()
    with open(os.path.join(queue, "00000FF.env"), "wb") as f:
        f.write(record)

    env.configure_debug("NoRouters", 0)
    server = env.start().wait_ready()
    wait_count(env, "john@example.com", 3)
    wait_queue_empty(env)
    assert len(inbox(env, "john@example.com")) == 3
    assert sorted(subjects(inbox(env, "john@example.com"))) == ["queued 0", "queued 1", "queued 2"]

    # A burst on one connection; the server is killed once a third of it was accepted.
    wanted = ["burst %02d" % number for number in range(30)]
    accepted, third = [], threading.Event()

    def burst():
        try:
            with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
                for subject in wanted:
                    client.sendmail(SENDER, ["john@example.com"], message(subject))
                    accepted.append(subject)
                    if len(accepted) == 10:
                        third.set()
        except (smtplib.SMTPException, OSError):
            pass  # the server died under it
        finally:
            third.set()

    sender = threading.Thread(target=burst)
    sender.start()
    assert third.wait(WAIT)
    server.proc.kill()
    server.proc.wait(timeout=WAIT)
    sender.join(WAIT)
    assert not sender.is_alive()

    server = env.start().wait_ready()
    # A client sends again what the dead server never acknowledged.
    for subject in wanted:
        if subject not in accepted:
            send(port, "john@example.com", subject)

    def all_delivered():
        return set(wanted) <= set(subjects(inbox(env, "john@example.com")))

    wait_for(all_delivered, "every message of the burst")
    wait_queue_empty(env)
    assert not [n for n in os.listdir(queue) if n.endswith(".eml")]
    assert server.stop() == 0


def routed_ids(env):
    """The envelope ids the routers have taken up, from the log (the id counter reserves ids in
    blocks, so its file tells nothing of how many were drawn)."""
    ids = set()
    for name in os.listdir(env.logs):
        with open(os.path.join(env.logs, name), encoding="utf-8", errors="replace") as f:
            ids.update(re.findall(r"Routing message (\S+)", f.read()))
    return ids


def test_a_group_whose_members_forward_back_to_it_ends_with_one_notice(registered):
    env = registered
    env.configure_logging(2, 2)
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "team@example.com", "--kind", "group")
    admin(env, "mailbox", "set", "team@example.com", "group:fwdtoaddrs", "m1@example.com m2@example.com")
    for name in ("m1", "m2"):
        admin(env, "mailbox", "add", name + "@example.com", "--kind", "forward")
        admin(env, "mailbox", "set", name + "@example.com", "alias:fwdtoaddrs", "TEAM@example.com")
    # A low hop limit keeps the explosion a loop would make small enough to watch.
    admin(env, "config", "set", "sys:maxrecieved", "i4:10")
    port = serving(env)
    server = env.start().wait_ready()

    send(port, "team@example.com", "around and around")
    outbound = folder(env, "_Out", "remote.test")
    wait_for(lambda: envelopes(outbound), "the loop notice")
    wait_queue_empty(env)
    assert server.stop() == 0
    # The message, the group's copy, one copy per member back to the group, and the notice.
    assert len(routed_ids(env)) <= 5
    notices = envelopes(outbound)
    assert len(notices) == 1 and read_envelope(notices[0])[1] == [SENDER]
    text = content(notices[0])
    assert "Final-Recipient: rfc822; team@example.com\r\nAction: failed\r\nStatus: 5.4.6\r\n" in text
    assert inventory(env) == {"_Out/remote.test": 1}


def test_an_envelope_whose_routing_the_process_death_cut_off_twice_is_held(registered):
    env = registered
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--kind", "user", "--password", "secret12")
    queue = folder(env, "_In")
    mark = os.path.join(queue, "router0.mark")
    port = serving(env, routers=False)
    server = env.start().wait_ready()
    send(port, "john@example.com", "killer")
    send(port, "john@example.com", "innocent")
    assert server.stop() == 0
    killer, innocent = envelopes(queue)
    assert subjects([killer, innocent]) == ["killer", "innocent"]

    # What a router thread leaves when the process dies under it (out of memory, a crash): its mark
    # still names the envelope in hand. The next start counts that before anything is routed.
    def die_while_routing():
        with open(mark, "w") as f:
            f.write(os.path.basename(killer)[:-4] + "\n")

    die_while_routing()
    server = env.start().wait_ready()
    assert server.stop() == 0
    assert read_envelope(killer)[0]["router:interrupted"] == 1
    assert not os.path.exists(mark)

    # The second time it is held, not routed again; the other message goes its way.
    die_while_routing()
    env.configure_debug("NoRouters", 0)
    server = env.start().wait_ready()
    wait_count(env, "john@example.com", 1)
    wait_queue_empty(env)
    assert subjects(inbox(env, "john@example.com")) == ["innocent"]
    held = envelopes(folder(env, "_Held"))
    assert subjects(held) == ["killer"] and read_envelope(held[0])[1] == ["john@example.com"]
    # The router that took "innocent" keeps its mark, empty between envelopes.
    def marks_cleared():
        marks = [os.path.join(queue, n) for n in os.listdir(queue) if n.endswith(".mark")]
        return marks and all(os.path.getsize(path) == 0 for path in marks)

    wait_for(marks_cleared, "the routers' marks, emptied")
    assert server.stop() == 0
    # A router that ends in order leaves no mark behind.
    assert not [n for n in os.listdir(queue) if n.endswith(".mark")]


def test_automatic_replies_follow_rfc_3834(registered):
    env = registered
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "away@example.com", "--kind", "user", "--password", "secret12")
    for key, value in (("mailbox:autoreplyenable", "bool:true"), ("mailbox:autoreplysubject", "str:Out of office"),
                       ("mailbox:autoreplybody", "str:Back on Monday."),
                       ("autoreply:sent:old@remote.test", "date:2020-01-01")):
        admin(env, "mailbox", "set", "away@example.com", key, value)
    # The store's no-respond-to list: u32 1, then per entry a length-prefixed key and name.
    entry = b"*@quiet.test"
    with open(os.path.join(env.store, "NoRespondTo.lst"), "wb") as f:
        f.write(struct.pack("<I", 1) + struct.pack("<I", len(entry)) + entry + struct.pack("<I", 0))
    port = serving(env)
    server = env.start().wait_ready()

    cases = [  # (envelope sender, extra header fields)
        (SENDER, ["Reply-To: elsewhere@remote.test"]),  # answered, but to the envelope sender
        ("bulk@remote.test", ["Precedence: bulk"]),
        ("list@remote.test", ["Precedence: List"]),
        ("junk@remote.test", ["Precedence: junk"]),
        ("member@remote.test", ["List-Id: <talk.remote.test>"]),
        ("robot@remote.test", ["Auto-Submitted: auto-replied"]),
        ("person@remote.test", ["Auto-Submitted: no"]),  # answered
        ("someone@quiet.test", []),
    ]
    for number, (sender, headers) in enumerate(cases):
        with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
            client.sendmail(sender, ["away@example.com"], "\r\n".join(
                [*headers, "From: boss@remote.test", "Subject: case %d" % number, "", "Text.", ""]))
    wait_count(env, "away@example.com", len(cases))
    wait_queue_empty(env)
    assert server.stop() == 0

    replies = [path for domain in os.listdir(folder(env, "_Out")) if os.path.isdir(folder(env, "_Out", domain))
               for path in envelopes(folder(env, "_Out", domain))]
    assert sorted(recipient for path in replies for recipient in read_envelope(path)[1]) == ["person@remote.test", SENDER]
    assert all(re.search(r"(?mi)^Auto-Submitted: auto-replied\r?$", content(path)) for path in replies)
    # The memory of replies: a day's entries are kept, older ones went when it was written.
    memory = env.admin("mailbox", "get", "away@example.com", "autoreply:sent:old@remote.test")
    assert memory.returncode != 0 or "2020" not in memory.stdout, memory.stdout
    kept = env.admin("mailbox", "get", "away@example.com", "autoreply:sent:" + SENDER)
    assert kept.returncode == 0 and kept.stdout.strip(), kept.stderr
