"""IPv6 on loopback: mail in over ::1 (SMTP in, POP3 out), the relay range of one IPv6 address,
an instance on "::" that serves IPv4 clients as themselves, and mail out to a peer on ::1, given as
an address or found through the AAAA record that a DNS server on ::1 gives -- but never to an
exchanger at ::1, which is this host."""
import os
import poplib
import smtplib
import socket

import pytest

from conftest import WAIT, admin, free_port, log_text, wait_for
from fake_dns import FakeDns, exchanger
from test_transport import Peer, notices

PASSWORD = "Six6Loopback"


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


pytestmark = pytest.mark.skipif(not ipv6_loopback(), reason="this machine has no ::1")


class Peer6(Peer):
    """The SMTP sink of the transport tests, on ::1."""
    address_family = socket.AF_INET6


def free_port6():
    """A port that nothing listens on right now, on ::1 and on 127.0.0.1 alike (the instances on "::"
    take both)."""
    while True:
        port = free_port()
        with socket.socket(socket.AF_INET6) as probe:
            try:
                probe.bind(("::1", port))
                return port
            except OSError:
                continue


def start(env, *settings):
    env.configure_logging(2, 1)
    env.configure_debug("NoListeners", 0)
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--password", PASSWORD)
    ports = {"smtp": free_port6(), "pop3": free_port6()}
    for key, value in (("sys:smtp:0:ip", "::"), ("sys:smtp:0:port", "port:%d" % ports["smtp"]),
                       ("sys:pop3:0:ip", "::"), ("sys:pop3:0:port", "port:%d" % ports["pop3"]),
                       ("sys:imap4:0:enabled", "i2:0")) + settings:
        admin(env, "config", "set", key, value)
    return env.start().wait_ready(), ports


def relays(host, port, recipient):
    """Whether the instance takes a remote recipient from this client; the refusal's code otherwise."""
    with smtplib.SMTP(host, port, timeout=WAIT) as client:
        client.ehlo("client.test")
        client.mail("ann@elsewhere.test")
        code, _ = client.rcpt(recipient)
        return True if code == 250 else code


def john_reads(port, count):
    """The messages john got from the test's SMTP clients, read over POP3 on ::1, once there are `count`."""
    found = [m for m in pop3_messages("::1", port) if b"Subject: from" in m]
    return found if len(found) == count else None


def pop3_messages(host, port):
    pop = poplib.POP3(host, port, timeout=WAIT)
    try:
        pop.user("john@example.com")
        pop.pass_(PASSWORD)
        return [b"\r\n".join(pop.retr(n + 1)[1]) for n in range(len(pop.list()[1]))]
    finally:
        pop.quit()


def test_mail_in_over_ipv6_and_a_relay_range_of_one_ipv6_address(registered):
    peer = Peer6("::1")
    try:
        server, ports = start(registered, ("sys:smtp:0:iprelay:0:ipstart", "::1/128"), ("sys:smtp:0:pop3auth", "bool:true"),
                              ("sys:delivery:useremote", "bool:true"), ("sys:delivery:server", "::1"),
                              ("sys:delivery:port", "port:%d" % peer.port))
        # The instance on "::" takes IPv4 clients as well, as their own addresses: not the ::1 range's.
        assert relays("127.0.0.1", ports["smtp"], "bob@remote.test") == 571
        assert relays("::1", ports["smtp"], "bob@remote.test") is True

        for host in ("::1", "127.0.0.1"):
            with smtplib.SMTP(host, ports["smtp"], timeout=WAIT) as client:
                assert client.sendmail("ann@elsewhere.test", ["john@example.com"], "Subject: from %s\r\n\r\nhello\r\n" % host) == {}
        with smtplib.SMTP("::1", ports["smtp"], timeout=WAIT) as client:
            assert client.sendmail("ann@elsewhere.test", ["bob@remote.test"], "Subject: out\r\n\r\nover ::1\r\n") == {}

        messages = wait_for(lambda: john_reads(ports["pop3"], 2), "john's two messages")
        received = {m.split(b"Subject: ")[1].split(b"\r\n")[0]: m.split(b"\r\n")[0] for m in messages}
        assert b"([IPv6:::1])" in received[b"from ::1"], received
        assert b"([127.0.0.1])" in received[b"from 127.0.0.1"], received

        # Out to the relay server at ::1: its Received line names the IPv6 client too.
        session = peer.delivered("bob@remote.test")
        assert session["commands"][1:3] == ["MAIL FROM:<ann@elsewhere.test>", "RCPT TO:<bob@remote.test>"]
        assert b"([IPv6:::1])" in session["data"].split(b"\r\n")[0]

        # A POP3 login from 127.0.0.1 on the "::" instance is recorded as 127.0.0.1, which SMTP then lets relay.
        pop3_messages("127.0.0.1", ports["pop3"])
        assert relays("127.0.0.1", ports["smtp"], "cy@remote.test") is True
        assert server.stop() == 0
    finally:
        peer.close()


def test_mail_out_by_aaaa_records_from_dns_on_ipv6_and_never_to_an_exchanger_at_ipv6_loopback(registered):
    if os.geteuid() != 0:
        pytest.skip("the fake DNS server needs port 53")
    a, aaaa, mx = 1, 28, 15
    loopback = socket.inet_pton(socket.AF_INET6, "::1")
    peer = Peer6("::1")
    dns = FakeDns(address="::1", records={
        ("relay6.test", a): [], ("relay6.test", aaaa): [loopback],
        ("six.test", mx): [exchanger(10, "mx.six.test")], ("mx.six.test", aaaa): [loopback]})
    try:
        server, ports = start(registered, ("sys:dns:0:server", "::1"), ("sys:smtp:0:iprelay:0:ipstart", "::1"),
                              ("sys:smtp:0:iprelay:0:ipend", "i4:0"), ("sys:delivery:useremote", "bool:true"),
                              ("sys:delivery:server", "relay6.test"), ("sys:delivery:port", "port:%d" % peer.port))
        with smtplib.SMTP("::1", ports["smtp"], timeout=WAIT) as client:
            assert client.sendmail("ann@elsewhere.test", ["dan@remote.test"], "Subject: aaaa\r\n\r\nfound by AAAA\r\n") == {}
        assert b"found by AAAA" in peer.delivered("dan@remote.test")["data"]
        assert server.stop() == 0

        # Without the relay server: the only exchanger of six.test is at ::1, which is this host.
        admin(registered, "config", "set", "sys:delivery:useremote", "bool:false")
        server = registered.start().wait_ready()
        with smtplib.SMTP("::1", ports["smtp"], timeout=WAIT) as client:
            assert client.sendmail("john@example.com", ["eve@six.test"], "Subject: loop\r\n\r\nnot to myself\r\n") == {}
        assert wait_for(lambda: notices(registered, "5.4.4"), "the failure notice") == [("eve@six.test", "failed")]
        assert "this host (::1)" in log_text(registered)
        assert not peer.with_rcpt("eve@six.test")
        assert server.stop() == 0
    finally:
        peer.close()
        dns.close()
