"""Delivery status notices, read back with Python's email package as an independent reader: one notice
per routing listing every failed recipient with its own status, bounded however hostile the message
it answers, and the transport's notice keeping each refused recipient's own code."""
import email
import email.policy
import glob
import os
import re
import smtplib
import time

import cfgfile
from conftest import WAIT, admin, free_port, wait_for
from test_transport import Peer, relay_through, start, submit, wait_for as wait_until


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
