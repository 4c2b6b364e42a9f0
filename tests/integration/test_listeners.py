"""The server's listeners: instances from the configuration (both port forms), disabled ones, the
access list, implicit TLS with Python's ssl client, and a stop with connections open."""
import os
import socket
import ssl
import subprocess
import time

from conftest import WAIT, free_port


def configure(env, *settings):
    for key, value in settings:
        result = env.admin("config", "set", key, value)
        assert result.returncode == 0, result.stderr


def listening(env):
    """Turns the listeners on again (the fixture switched them off) and gives every instance 0 a
    loopback address; returns the ports chosen."""
    env.configure_debug("NoListeners", 0)
    ports = {"smtp": free_port(), "pop3": free_port(), "imap4": free_port()}
    configure(env, ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % ports["smtp"]),
              ("sys:pop3:0:ip", "127.0.0.1"), ("sys:pop3:0:port", "str:%d" % ports["pop3"]),  # decimal text
              ("sys:imap4:0:enabled", "i2:0"), ("sys:imap4:0:port", "port:%d" % ports["imap4"]))
    return ports


def connects(port, address="127.0.0.1"):
    try:
        with socket.create_connection((address, port), timeout=5):
            return True
    except OSError:
        return False


def closed_without_reply(sock):
    sock.settimeout(WAIT)
    try:
        return sock.recv(100) == b""
    except ConnectionResetError:
        return True


def test_enabled_instances_listen_on_both_port_forms_and_disabled_ones_do_not(registered):
    ports = listening(registered)
    server = registered.start().wait_ready()
    assert connects(ports["smtp"]) and connects(ports["pop3"])
    assert not connects(ports["imap4"])
    assert server.stop() == 0
    assert not connects(ports["smtp"])


def test_a_stranger_outside_the_access_list_is_closed_without_a_reply(registered):
    ports = listening(registered)
    # Only 127.0.0.2 (entered with last address 0) may use the SMTP instance.
    configure(registered, ("sys:smtp:0:ip", "i4:0"), ("sys:smtp:0:ipaccess:0:ipstart", "127.0.0.2"),
              ("sys:smtp:0:ipaccess:0:ipend", "i4:0"))
    server = registered.start().wait_ready()
    stranger = socket.create_connection(("127.0.0.1", ports["smtp"]), timeout=WAIT)
    assert closed_without_reply(stranger)
    stranger.close()
    friend = socket.socket()
    friend.bind(("127.0.0.2", 0))
    friend.connect(("127.0.0.2", ports["smtp"]))
    friend.close()
    assert server.stop() == 0


def make_certificate(directory):
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                    "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=WAIT)
    return cert, key


def test_tls_instance_speaks_tls_from_the_first_byte_and_plain_text_without_a_key(registered):
    ports = listening(registered)
    cert, key = make_certificate(registered.root)
    configure(registered, ("sys:ssl:enabled", "bool:true"), ("sys:ssl:certpath", cert), ("sys:ssl:keypath", key),
              ("sys:pop3:0:ssl", "bool:true"))
    server = registered.start().wait_ready()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.minimum_version = ssl.TLSVersion.TLSv1
    context.maximum_version = ssl.TLSVersion.TLSv1_1
    with socket.create_connection(("127.0.0.1", ports["pop3"]), timeout=WAIT) as raw:
        try:
            context.wrap_socket(raw).close()
            assert False, "TLS 1.1 must be refused"
        except (ssl.SSLError, ConnectionResetError):
            pass
    context.maximum_version = ssl.TLSVersion.MAXIMUM_SUPPORTED
    with socket.create_connection(("127.0.0.1", ports["pop3"]), timeout=WAIT) as raw:
        with context.wrap_socket(raw) as tls:
            assert tls.version() in ("TLSv1.2", "TLSv1.3")
    assert server.stop() == 0

    os.remove(key)  # without its key the instance accepts plain connections
    server = registered.start().wait_ready()
    with socket.create_connection(("127.0.0.1", ports["pop3"]), timeout=WAIT) as raw:
        raw.sendall(b"hello\r\n")
    assert server.stop() == 0


def test_stop_with_open_connections_ends_within_seconds(registered):
    ports = listening(registered)
    server = registered.start().wait_ready()
    idle = [socket.create_connection(("127.0.0.1", ports["smtp"]), timeout=WAIT) for _ in range(5)]
    started = time.monotonic()
    assert server.stop() == 0
    assert time.monotonic() - started < WAIT
    for sock in idle:
        sock.close()
