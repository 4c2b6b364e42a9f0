"""IMAP over TLS from the first byte (port 993, RFC 8314): the instance a new store is given, curl and
Python's imaplib over it once a certificate is configured, and no plain text without one."""
import imaplib
import os
import socket
import subprocess

from conftest import WAIT, admin, configure, free_port, log_text, make_certificate, unverified_tls_client

JOHN = "john@example.com"
GREETING = b"* OK Quillon IMAP4rev1 Server Ready!"
MESSAGE = (b"From: Anna <anna@example.org>\r\nTo: John <john@example.com>\r\nSubject: over TLS\r\n"
           b"Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\nHello John,\r\nthis came over port 993.\r\n")


def setting(env, key):
    return admin(env, "config", "get", key).stdout.strip()


def listening_on_loopback(env, *settings):
    """IMAP instance 0 on loopback (SMTP and POP3 off), routers off, the mailbox john; returns its port."""
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoRouters", 1)
    port = free_port()
    configure(env, ("sys:imap4:0:ip", "127.0.0.1"), ("sys:imap4:0:port", "port:%d" % port),
              ("sys:smtp:0:enabled", "bool:false"), ("sys:pop3:0:enabled", "bool:false"), *settings)
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", JOHN, "--password", "secret")
    return port


def plain_greeting(port):
    """What a plain-text client hears first on the port: None when it can not connect at all."""
    try:
        sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    except ConnectionRefusedError:
        return None
    with sock:
        sock.sendall(b"a CAPABILITY\r\n")
        try:
            return sock.recv(4096)
        except ConnectionResetError:
            return b""


def test_a_new_store_gets_imaps_switched_off_and_with_a_certificate_curl_and_imaplib_use_it(registered):
    # The server's first start writes instance 1 beside instance 0.
    server = registered.start().wait_ready()
    assert server.stop() == 0
    assert [setting(registered, "sys:imap4:1:" + key) for key in ("port", "ssl", "enabled", "ip", "timeout")] == \
        ["port:993", "i2:-1", "i2:0", "i4:0", "i4:360"]
    assert setting(registered, "sys:imap4:0:port") == "port:143"

    # Switched on as the README says ("ssl" stays as the defaults left it), on a loopback port of the test's.
    tls_port = free_port()
    cert, key = make_certificate(registered.root)
    port = listening_on_loopback(registered, ("sys:ssl:enabled", "bool:true"), ("sys:ssl:certpath", cert),
                                 ("sys:ssl:keypath", key), ("sys:imap4:1:enabled", "bool:true"),
                                 ("sys:imap4:1:ip", "127.0.0.1"), ("sys:imap4:1:port", "port:%d" % tls_port))
    server = registered.start().wait_ready()

    client = imaplib.IMAP4_SSL("127.0.0.1", tls_port, ssl_context=unverified_tls_client(), timeout=WAIT)
    assert client.welcome == GREETING
    assert client.sock.version() in ("TLSv1.2", "TLSv1.3")
    assert client.login(JOHN, "secret")[0] == "OK"
    assert client.append("INBOX", None, None, MESSAGE)[0] == "OK"
    client.logout()

    fetched = subprocess.run(["curl", "-sS", "--insecure", "imaps://127.0.0.1:%d/INBOX;UID=1" % tls_port,
                              "--user", JOHN + ":secret"], capture_output=True, timeout=WAIT)
    assert fetched.returncode == 0, fetched.stderr
    assert fetched.stdout == MESSAGE
    listed = subprocess.run(["curl", "-sS", "--insecure", "imaps://127.0.0.1:%d/INBOX" % tls_port,
                             "--user", JOHN + ":secret", "-X", "UID SEARCH ALL"], capture_output=True, timeout=WAIT)
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout == b"* SEARCH 1\r\n"

    # Plain text gets no IMAP answer on the TLS port, and instance 0 still speaks it.
    assert not plain_greeting(tls_port).startswith(b"* ")
    assert plain_greeting(port).startswith(GREETING)
    assert server.stop() == 0

    # A store that has a configuration keeps it as it is: instance 1, once removed, stays away.
    admin(registered, "config", "remove", "sys:imap4:1")
    server = registered.start().wait_ready()
    assert server.stop() == 0
    assert registered.admin("config", "get", "sys:imap4:1:port").returncode != 0


def test_an_imaps_instance_without_a_certificate_is_not_started_and_the_log_says_why(registered):
    registered.configure_logging(2, 3)
    tls_port = free_port()
    port = listening_on_loopback(registered, ("sys:imap4:1:enabled", "bool:true"), ("sys:imap4:1:ip", "127.0.0.1"),
                                 ("sys:imap4:1:port", "port:%d" % tls_port))
    server = registered.start().wait_ready()
    assert plain_greeting(port).startswith(GREETING)
    assert plain_greeting(tls_port) is None
    assert plain_greeting(tls_port) is None
    assert server.stop() == 0
    why = ("IMAP4 Server instance 1 on 127.0.0.1 port %d needs TLS (\"ssl\" is on), but no certificate is configured "
           "(\"sys:ssl:enabled\" is off); it is not started" % tls_port)
    assert log_text(registered).count(why) == 1
