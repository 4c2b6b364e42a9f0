"""Delivery status notices, read back with Python's email package as an independent reader: one notice
per routing listing every failed recipient with its own status, bounded however hostile the message
it answers, and the transport's notice keeping each refused recipient's own code."""
import email
import email.policy
import glob
import os
import quopri
import re
import smtplib
import time

import cfgfile
from conftest import WAIT, admin, free_port, wait_for
from test_transport import LOGIN_PASSWORD, SENDER, Peer, queued, relay_through, start, submit, wait_for as wait_until


def env_properties(path):
    records, _ = cfgfile.decode_envelope(open(path, "rb").read())
    return {key: (vartype, value) for key, vartype, value in records}


def serve(env):
    """example.com with john (who may send with SMTP AUTH) and "full", whose quota is one message;
    SMTP on a loopback port that takes a few thousand recipients. Returns (server, port)."""
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoTransports", 1)
    port = free_port()
    for key, value in (("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
                       ("sys:smtp:0:smtpauth", "bool:true"), ("sys:smtp:0:maxrecipients", "i4:5000"),
                       ("sys:pop3:0:enabled", "i2:0"), ("sys:imap4:0:enabled", "i2:0")):
        admin(env, "config", "set", key, value)
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--password", "secret")
    admin(env, "mailbox", "add", "full@example.com", "--password", "secret")
    admin(env, "mailbox", "set", "full@example.com", "user:quota:nummsgs", "i4:1")
    return env.start().wait_ready(), port


def mailbox(env, name):
    return sorted(glob.glob(os.path.join(env.store, "example.com", name, "_In", "*.env")))


def queue_empty(env):
    return not glob.glob(os.path.join(env.store, "_In", "*.env"))


def peak_memory_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"(?m)^VmHWM:\s+(\d+) kB", f.read()).group(1))


def parse(envelope_path):
    with open(envelope_path[:-4] + ".eml", "rb") as f:
        return email.message_from_bytes(f.read(), policy=email.policy.compat32)


def report_blocks(notice):
    """{final recipient: status} from the message/delivery-status part, checking its form."""
    status = [part for part in notice.walk() if part.get_content_type() == "message/delivery-status"][0]
    text = status.as_string().replace("\r\n", "\n")
    assert text.count("Reporting-MTA: dns; example.com") == 1
    blocks = re.findall(r"\n\nOriginal-Recipient: rfc822; \S+\nFinal-Recipient: rfc822; (\S+)\nAction: failed\n"
                        r"Status: (\d\.\d+\.\d+)\n(?:Diagnostic-Code: [^\n]*\n)?Last-Attempt-Date: ", text)
    return dict(blocks), len(blocks)


def test_one_notice_lists_every_failed_recipient_with_its_own_status_and_stays_small(registered):
    env = registered
    server, port = serve(env)
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.login("john@example.com", "secret")
        client.sendmail("john@example.com", ["full@example.com"], b"Subject: fills\r\n\r\nfirst\r\n")
    wait_for(lambda: len(mailbox(env, "full")) == 1 and queue_empty(env))
    idle = peak_memory_kb(server.proc.pid)

    # A header of about 39 KB: a long date, and lines full of the placeholders a notice fills in.
    header = "Subject: $HEADER$ $MSGDATE$\r\nFrom: john@example.com\r\nDate: " + "d" * 8000 + "\r\n"
    while len(header) < 39000:
        header += "X-Fill: $MSGDATE$ $HEADER$ $SUBJECT$ $MSGDATE$ $SENDER$ $MSGDATE$ " + "x" * 200 + "\r\n"
    unknown = ["nobody%04d@example.com" % number for number in range(999)]
    # Unknown mailboxes are refused at RCPT; notices are for what fails after a message was taken:
    # here a forward and a group to mailboxes that do not exist.
    admin(env, "mailbox", "add", "ghostly@example.com", "--kind", "forward")
    admin(env, "mailbox", "set", "ghostly@example.com", "alias:fwdtoaddrs", "ghost@example.com")
    admin(env, "mailbox", "add", "crowd@example.com", "--kind", "group")
    admin(env, "mailbox", "set", "crowd@example.com", "group:fwdtoaddrs", " ".join(unknown + ["full@example.com"]))
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.login("john@example.com", "secret")
        client.sendmail("john@example.com", ["ghostly@example.com"], (header + "\r\nHello\r\n").encode())
        notice_path = wait_for(lambda: mailbox(env, "john"))[0]
        assert os.path.getsize(notice_path[:-4] + ".eml") < 100 * 1024
        assert peak_memory_kb(server.proc.pid) - idle < 4 * 1024, "the notice took more than a few MB to make"
        hostile = parse(notice_path)
        assert report_blocks(hostile) == ({"ghost@example.com": "5.1.1"}, 1)

        # One message to 999 unknown mailboxes and a full one: one notice for all of them.
        client.sendmail("john@example.com", ["crowd@example.com"], b"Subject: to many\r\n\r\nHello\r\n")
        # An automatic message never gets a notice back: notice loops start that way.
        client.sendmail("john@example.com", ["ghostly@example.com"],
                        b"Subject: automatic\r\nAuto-Submitted: auto-generated\r\n\r\nHello\r\n")
    wait_for(lambda: len(mailbox(env, "john")) >= 2 and queue_empty(env))
    assert server.stop() == 0
    notices = mailbox(env, "john")
    assert len(notices) == 2 and len(mailbox(env, "full")) == 1

    notice = parse(notices[1])
    assert notice.get_content_type() == "multipart/report"
    assert notice.get_param("report-type") == "delivery-status"
    assert notice["Auto-Submitted"] == "auto-generated"
    statuses, count = report_blocks(notice)
    assert count == 1000
    assert statuses == dict({address: "5.1.1" for address in unknown}, **{"full@example.com": "5.2.2"})
    text = [part for part in notice.walk() if part.get_content_type() == "text/plain"][0].get_payload(decode=True).decode()
    assert "full@example.com - 5.2.2 The mailbox is full." in text
    assert all("%s - 5.1.1 There is no such mailbox." % address in text for address in unknown)
    props = env_properties(notices[1])
    assert props["SpamStatus"] == (22, 2)
    assert props["_Sender"][1] in ("", None)  # the null sender: a notice is never answered


def test_a_peer_refusing_recipients_gives_one_notice_with_each_recipients_own_code(registered):
    peer = Peer()
    # The peer announces enhanced codes but gives one refusal without one: that says the class only.
    peer.replies = {"EHLO": "250-peer.test\r\n250 ENHANCEDSTATUSCODES", "RCPT TO:<plain@": "550 no such user",
                    "RCPT TO:<coded@": "550 5.1.1 unknown", "RCPT TO:<full@": "552 5.2.2 mailbox full"}
    server, port = start(registered, *relay_through(peer))
    try:
        submit(port, ["plain@remote.test", "coded@remote.test", "full@remote.test", "taken@remote.test"])
        peer.delivered("taken@remote.test")
        inbox = os.path.join(registered.store, "example.com", "john", "_In")
        found = wait_until(lambda: sorted(glob.glob(inbox + "/*.env")), "the notice")
        assert server.stop() == 0
        assert len(found) == 1
        statuses, count = report_blocks(parse(found[0]))
        assert count == 3
        assert statuses == {"plain@remote.test": "5.0.0", "coded@remote.test": "5.1.1", "full@remote.test": "5.2.2"}
    finally:
        peer.close()


def test_notices_follow_each_recipients_request_and_utf8_mail_fails_with_5_6_7_toward_a_peer_without_smtputf8(registered):
    peer = Peer()
    peer.replies = {"RCPT TO:<never@": "550 5.1.1 unknown"}
    server, port = start(registered, *relay_through(peer))
    inbox = os.path.join(registered.store, "example.com", "john", "_In")

    def reports():
        """{action: [delivery-status text]} of the notices in john's inbox."""
        found = {}
        for path in sorted(glob.glob(inbox + "/*.env")):
            message = parse(path)
            for part in message.walk():
                if part.get_content_type() == "message/delivery-status":
                    head, _, text = part.as_string().replace("\r\n", "\n").partition("\n\n")
                    if "quoted-printable" in head:
                        text = quopri.decodestring(text.encode()).decode()
                    found.setdefault(re.search(r"Action: (\w+)", text).group(1), []).append((text, message))
        return found

    def settled():
        return not queued(registered, "remote.test") and not queued(registered, "bücher.test") and queue_empty(registered)

    # The peer offers neither SMTPUTF8 nor DSN.
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.login(SENDER, LOGIN_PASSWORD)
        assert client.mail(SENDER, ["SMTPUTF8", "RET=HDRS", "ENVID=env+2B1"])[0] == 250
        assert client.rcpt("jörg@remote.test")[0] == 250
        assert client.rcpt("anna@bücher.test", ["NOTIFY=SUCCESS", "ORCPT=rfc822;anna+40old.test"])[0] == 250
        assert client.rcpt("never@remote.test", ["NOTIFY=NEVER"])[0] == 250
        assert client.rcpt(SENDER, ["NOTIFY=SUCCESS,FAILURE"])[0] == 250
        assert client.data(b"Subject: plain header\r\n\r\nHello\r\n")[0] == 250
    peer.delivered("anna@xn--bcher-kva.test")
    found = wait_until(lambda: settled() and len(reports()) == 3 and reports(), "three notices")
    assert sorted(found) == ["delivered", "failed", "relayed"] and all(len(v) == 1 for v in found.values())
    # The local part needs SMTPUTF8: 5.6.7 for that recipient alone. The refused one asked for nothing.
    failed, notice = found["failed"][0]
    assert failed.startswith("Original-Envelope-Id: env+1\nReporting-MTA: dns; example.com\n")
    assert "Final-Recipient: rfc822; jörg@remote.test\nAction: failed\nStatus: 5.6.7\n" in failed
    assert "never@" not in failed
    # RET=HDRS: the header comes back, never the message.
    types = [part.get_content_type() for part in notice.walk()]
    assert "text/rfc822-headers" in types and "message/rfc822" not in types
    relayed = found["relayed"][0][0]
    assert "Original-Recipient: rfc822; anna@old.test\nFinal-Recipient: rfc822; anna@bücher.test\nAction: relayed\nStatus: 2.0.0" in relayed
    assert "Final-Recipient: rfc822; john@example.com\nAction: delivered\nStatus: 2.0.0" in found["delivered"][0][0]
    # Toward a peer without SMTPUTF8 the domain takes its ASCII form and nothing asks for SMTPUTF8.
    session = peer.delivered("anna@xn--bcher-kva.test")
    assert [c for c in session["commands"] if c.startswith(("MAIL", "RCPT"))] == ["MAIL FROM:<john@example.com>", "RCPT TO:<anna@xn--bcher-kva.test>"]

    # A peer that offers both gets the UTF-8 address and the requests, and tells the sender itself. A
    # forward passes the requests on under the name the sender gave; a group of many reports its expansion.
    admin(registered, "mailbox", "add", "fwd@example.com", "--kind", "forward")
    admin(registered, "mailbox", "set", "fwd@example.com", "alias:fwdtoaddrs", "onward@remote.test")
    admin(registered, "mailbox", "add", "mary@example.com")
    admin(registered, "mailbox", "add", "crowd@example.com", "--kind", "group")
    admin(registered, "mailbox", "set", "crowd@example.com", "group:fwdtoaddrs", "john@example.com mary@example.com")
    peer.replies = {"EHLO": "250-peer.test\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n250 DSN"}
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.login(SENDER, LOGIN_PASSWORD)
        assert client.mail(SENDER, ["SMTPUTF8", "RET=FULL", "ENVID=second"])[0] == 250
        assert client.rcpt("jörg@remote.test", ["NOTIFY=SUCCESS,FAILURE", "ORCPT=rfc822;j+C3+B6rg@remote.test"])[0] == 250
        assert client.rcpt("fwd@example.com", ["NOTIFY=SUCCESS,DELAY"])[0] == 250
        assert client.rcpt("crowd@example.com", ["NOTIFY=SUCCESS"])[0] == 250
        assert client.data("Subject: Grüße\r\n\r\nHallo\r\n".encode())[0] == 250
    onward = wait_until(lambda: [s for s in peer.sessions if s["done"] and s["data"] and any("onward@" in c for c in s["commands"])],
                        "the forwarded delivery")[0]
    assert [c for c in onward["commands"] if c.startswith("RCPT")] == ["RCPT TO:<onward@remote.test> NOTIFY=SUCCESS,DELAY ORCPT=rfc822;fwd@example.com"]
    utf8 = "jörg@remote.test".encode().decode("latin-1")
    session = wait_until(lambda: [s for s in peer.sessions if s["done"] and s["data"] and any(utf8 in c for c in s["commands"])],
                         "the UTF-8 delivery")[0]
    assert [c for c in session["commands"] if c.startswith(("MAIL", "RCPT"))] == [
        "MAIL FROM:<john@example.com> BODY=8BITMIME SMTPUTF8 RET=FULL ENVID=second",
        "RCPT TO:<%s> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;j+C3+B6rg@remote.test" % utf8]
    found = wait_until(lambda: settled() and "expanded" in reports() and reports(), "the expansion notice")
    assert "Final-Recipient: rfc822; crowd@example.com\nAction: expanded\nStatus: 2.0.0" in found["expanded"][0][0]
    assert len(found["relayed"]) == 1 and len(found["delivered"]) == 1

    # The same to a peer without SMTPUTF8: its UTF-8 header needs it too, so it fails for every recipient.
    peer.replies = {}
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.login(SENDER, LOGIN_PASSWORD)
        client.sendmail(SENDER, ["plain@remote.test"], "Subject: Grüße\r\n\r\nHallo\r\n".encode(), mail_options=["SMTPUTF8"])
    found = wait_until(lambda: len(reports().get("failed", [])) == 2 and reports(), "the second failure notice")
    assert sorted(found) == ["delivered", "expanded", "failed", "relayed"] and len(found["relayed"]) == 1
    assert any("Final-Recipient: rfc822; plain@remote.test\nAction: failed\nStatus: 5.6.7" in text for text, _ in found["failed"])
    assert server.stop() == 0
    assert not [s for s in peer.sessions if any("plain@" in c for c in s["commands"])]
    peer.close()
