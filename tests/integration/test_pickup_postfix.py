"""An ETRN pickup against a real Postfix that holds a node's mail: Postfix is asked, delivers from the
address the pickup connected to, and the mail lands in the mailbox the pickup's address map names."""
import os
import smtplib
import socket

import pytest

from conftest import WAIT, admin, free_port, wait_for
from private_postfix import PrivatePostfix, postfix_program
from test_pickup import cycles_finished, inbox_subjects, log_text, pickup_settings, start_server

HOLDER = "127.0.0.19"  # Postfix's own loopback address, which no other suite uses
NODE = "node.test"


def free_port_on(address):
    with socket.socket() as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


def queued_files(folder):
    return [name for _, _, names in os.walk(folder) for name in names]


def held_for_node(postfix):
    """The message waits in the deferred queue and the flush service lists it for the node (in a file
    of the node's name, dots made underscores), which is what ETRN releases; an ETRN before that would
    find nothing to deliver."""
    flush_log = os.path.join(postfix.queue, "flush", NODE.replace(".", "_"))
    return (queued_files(os.path.join(postfix.queue, "deferred")) and os.path.exists(flush_log)
            and os.path.getsize(flush_log) > 0)


def test_an_etrn_pickup_collects_the_mail_a_real_postfix_holds_for_the_node(registered):
    if os.geteuid() != 0:
        pytest.fail("a private Postfix instance needs root: it drops privileges to its own user itself")
    if not postfix_program():
        pytest.fail("Postfix is not installed (scripts/lib.sh lists it among the test packages)")
    env, smtp_port, holder_port = registered, free_port(), free_port_on(HOLDER)
    # Postfix's daemons run as its own user and must reach their queue and data below the test's directory.
    os.chmod(env.root, 0o755)
    # Mail for the node goes to our server, but only when flushed: "etrn-only" is a copy of the smtp
    # transport that defer_transports keeps from delivering on its own, so only ETRN (through the flush
    # service, which keeps a list for each of fast_flush_domains) sends it. The client binds to the
    # listener's address, as a server that holds mail for a node comes back from where it was asked.
    postfix = PrivatePostfix(os.path.join(env.root, "postfix"), HOLDER, holder_port, settings=f"""myhostname = holder.test
mydestination =
relay_domains = {NODE}
fast_flush_domains = $relay_domains
transport_maps = texthash:{env.root}/postfix/etc/transport
defer_transports = etrn-only
smtp_bind_address = {HOLDER}
smtpd_peername_lookup = no
smtp_tls_security_level = none
""", services=[("etrn-only", "unix", "-", "-", "n", "-", "-", "smtp")])
    with open(os.path.join(postfix.conf, "transport"), "w") as f:
        f.write("%s etrn-only:[127.0.0.1]:%d\n" % (NODE, smtp_port))
    settings = pickup_settings(0, HOLDER, NODE, port=holder_port, timeout=WAIT) + [
        ("sys:smtppickup:0:addressmap:0:fromemail", "str:owner@%s" % NODE),
        ("sys:smtppickup:0:addressmap:0:toemails", "str:john@example.com")]
    try:
        postfix.start()
        start_server(env, smtp_port, settings)
        with smtplib.SMTP(HOLDER, holder_port, timeout=WAIT) as client:
            client.sendmail("sender@outside.test", ["owner@%s" % NODE],
                            "From: sender@outside.test\r\nTo: owner@%s\r\nSubject: held by postfix\r\n\r\n"
                            "Kept until the node asks.\r\n" % NODE)
        wait_for(lambda: held_for_node(postfix), "Postfix to hold the message for the node")
        # Held, not delivered: our server is listening, yet nothing came.
        assert inbox_subjects(env) == [], postfix.log()

        admin(env, "connect-now")
        wait_for(lambda: cycles_finished(env) == 1, "the cycle's end", bound=2 * WAIT)
        assert inbox_subjects(env) == ["held by postfix"], log_text(env) + postfix.log()
        log = log_text(env)
        assert '%s (%s) was asked with "ETRN %s" and is expected back' % (HOLDER, HOLDER, NODE) in log, log
        # The session that delivered came from the address the pickup asked, and was counted as its return.
        assert "SMTP connection from %s answers pickup 0" % HOLDER in log, log
        assert "%s (%s) connected back" % (HOLDER, HOLDER) in log, log
        assert "did not connect back in time" not in log, log
        # Postfix's side: it took the ETRN, and sent the message to our server rather than bouncing it or
        # deferring it again (its log is written by a daemon of its own, so it may lag a little).
        postfix_saw = ["etrn=1", "relay=127.0.0.1[127.0.0.1]:%d" % smtp_port, "status=sent", ": removed"]
        wait_for(lambda: all(text in postfix.log() for text in postfix_saw), "Postfix's log of the delivery")
        assert queued_files(os.path.join(postfix.queue, "deferred")) == [], postfix.log()
    finally:
        postfix.stop()
