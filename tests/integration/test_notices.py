"""Delivery status notices, read back with Python's email package as an independent reader."""
import email
import email.policy
import glob
import os
import smtplib
import time

import cfgfile
from conftest import WAIT, free_port


def wait_for(predicate):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("condition not met in time")


def admin(env, *args):
    result = env.admin(*args)
    assert result.returncode == 0, result.stderr


def env_properties(path):
    records, _ = cfgfile.decode_envelope(open(path, "rb").read())
    return {key: (vartype, value) for key, vartype, value in records}


def test_unknown_local_recipients_get_one_report_notice_each_back_to_the_sender(registered):
    env = registered
    env.configure_debug("NoListeners", 0)
    port = free_port()
    for key, value in (("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
                       ("sys:smtp:0:smtpauth", "bool:true"), ("sys:pop3:0:enabled", "i2:0"),
                       ("sys:imap4:0:enabled", "i2:0")):
        admin(env, "config", "set", key, value)
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--password", "secret")
    server = env.start().wait_ready()
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        client.login("john@example.com", "secret")
        client.sendmail("john@example.com", ["nobody@example.com", "ghost@example.com"],
                        b"Subject: to nobody\r\nFrom: john@example.com\r\n\r\nHello\r\n")
        # An automatic message never gets a notice back: notice loops start that way.
        client.sendmail("john@example.com", ["nobody@example.com"],
                        b"Subject: automatic\r\nAuto-Submitted: auto-generated\r\n\r\nHello\r\n")
    inbox = os.path.join(env.store, "example.com", "john", "_In")
    notices = wait_for(lambda: (lambda found: found if len(found) == 2 else None)(sorted(glob.glob(inbox + "/*.eml"))))
    assert server.stop() == 0
    assert len(glob.glob(inbox + "/*.eml")) == 2

    seen = set()
    for path in notices:
        notice = email.message_from_bytes(open(path, "rb").read(), policy=email.policy.compat32)
        assert notice.get_content_type() == "multipart/report"
        assert notice.get_param("report-type") == "delivery-status"
        assert notice["Auto-Submitted"] == "auto-generated"
        status = [part for part in notice.walk() if part.get_content_type() == "message/delivery-status"][0]
        text = status.as_string()
        assert text.count("Reporting-MTA: dns; example.com") == 1
        assert "\n\nOriginal-Recipient: rfc822; " in text.replace("\r\n", "\n")
        assert "Action: failed" in text and "Status: 5.1.1" in text
        assert "Diagnostic-Code:" not in text
        seen.add(text.split("Final-Recipient: rfc822; ")[1].split()[0])
        props = env_properties(path[:-4] + ".env")
        assert props["SpamStatus"] == (22, 2)
        assert props["_Sender"][1] in ("", None)  # the null sender: a notice is never answered
    assert seen == {"nobody@example.com", "ghost@example.com"}
