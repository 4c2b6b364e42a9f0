"""The server's listeners: instances from the configuration (both port forms), disabled ones, the
access list, implicit TLS with Python's ssl client, a stop with connections open, and floods of
connections against the descriptor limit and the per-address cap."""
import os
import resource
import selectors
import socket
import ssl
import time

from conftest import WAIT, configure, free_port, log_text, make_certificate


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
    friend.settimeout(WAIT)
    friend.bind(("127.0.0.2", 0))
    friend.connect(("127.0.0.2", ports["smtp"]))
    assert friend.recv(100).startswith(b"220 ")
    friend.close()
    assert server.stop() == 0


def test_tls_instance_speaks_tls_from_the_first_byte_and_without_its_key_is_not_started(registered):
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

    # Without its key the instance is not started (a client that asked for TLS never hears plain
    # text); the other instances run, and the log says why.
    os.remove(key)
    registered.configure_logging(2, 3)
    server = registered.start().wait_ready()
    assert connects(ports["smtp"])
    assert not connects(ports["pop3"])
    assert server.stop() == 0
    assert log_text(registered).count('POP3 Server instance 0 on 127.0.0.1 port %d needs TLS ("ssl" is on), but Private '
                                      'Key file missing:  "%s"; it is not started' % (ports["pop3"], key)) == 1


def test_stop_with_open_connections_ends_within_seconds(registered):
    ports = listening(registered)
    server = registered.start().wait_ready()
    idle = [socket.create_connection(("127.0.0.1", ports["smtp"]), timeout=WAIT) for _ in range(5)]
    started = time.monotonic()
    assert server.stop() == 0
    assert time.monotonic() - started < WAIT
    for sock in idle:
        sock.close()


def first_lines(socks):
    """The first line each socket receives ("" when it is closed without one); None for a socket that
    heard nothing within WAIT (left hanging)."""
    lines = {sock: b"" for sock in socks}
    selector = selectors.DefaultSelector()
    for sock in socks:
        sock.setblocking(False)
        selector.register(sock, selectors.EVENT_READ)
    deadline = time.monotonic() + WAIT
    while selector.get_map() and time.monotonic() < deadline:
        for key, _ in selector.select(timeout=1):
            try:
                chunk = key.fileobj.recv(512)
            except ConnectionResetError:
                chunk = b""
            lines[key.fileobj] += chunk
            if not chunk or b"\n" in lines[key.fileobj]:
                selector.unregister(key.fileobj)
    hanging = set(key.fileobj for key in selector.get_map().values())
    return [None if sock in hanging else lines[sock].split(b"\r\n")[0].decode() for sock in socks]


def flood(port, count):
    """count connections from 127.0.0.100: a flood from 127.0.0.1 would take so many of its ports
    that the port another suite's server chose may be taken before the server binds it."""
    socks = []
    for _ in range(count):
        sock = socket.socket()
        sock.bind(("127.0.0.100", 0))
        sock.settimeout(WAIT)
        sock.connect(("127.0.0.1", port))
        socks.append(sock)
    return socks


def test_connection_floods_are_greeted_or_refused_and_never_left_hanging(registered):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < 4096:
        return  # this machine can not hold the flood below
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # the test's own end of every connection
    registered.configure_logging(2, 3)
    ports = listening(registered)
    configure(registered, ("sys:smtp:0:maxsessions", "i4:2000"), ("sys:smtp:0:maxperip", "i4:0"))

    # Started as a service usually is (soft limit 1024), the server raises its limit and greets all.
    server = registered.start(nofile=(1024, hard)).wait_ready()
    socks = flood(ports["smtp"], 1500)
    lines = first_lines(socks)
    for sock in socks:
        sock.close()
    assert lines.count(None) == 0, "sessions left hanging"
    assert all(line.startswith("220 ") for line in lines), set(lines)
    assert server.stop() == 0
    assert "Open descriptor limit %d (was 1024" % min(hard, 1048576) in log_text(registered)

    # With a hard limit too small for the flood, what the descriptors can not hold hears "too busy".
    server = registered.start(nofile=(400, 400)).wait_ready()
    socks = flood(ports["smtp"], 600)
    lines = first_lines(socks)
    for sock in socks:
        sock.close()
    assert lines.count(None) == 0, "connections left hanging"
    greeted = [line for line in lines if line.startswith("220 ")]
    refused = [line for line in lines if line.startswith("421 ")]
    assert len(greeted) + len(refused) == len(lines), set(lines)
    assert greeted and refused
    # Which refusal a connection hears depends on where the descriptors ran out: at accept ("too busy")
    # or while its session opened the store (the session's own 421). Both say "try later"; neither
    # may leave a client hanging, and the log says why.
    assert set(refused) <= {"421 4.3.2 Too busy, try again later", "421 SMTP Service unavailable - system initialization errors"}
    assert server.stop() == 0
    log = log_text(registered)
    assert "out of descriptors" in log or "too many open files" in log.lower(), log[-2000:]


def test_one_address_may_hold_twenty_sessions_of_an_instance(registered):
    ports = listening(registered)
    server = registered.start().wait_ready()
    socks = flood(ports["pop3"], 30)
    lines = first_lines(socks)
    assert [line[:3] for line in lines[:20]] == ["+OK"] * 20
    assert lines[20:] == ["-ERR Too many connections from your address"] * 10
    other = socket.socket()
    other.bind(("127.0.0.101", 0))
    other.settimeout(WAIT)
    other.connect(("127.0.0.1", ports["pop3"]))
    assert other.recv(100).startswith(b"+OK ")
    other.close()
    for sock in socks:
        sock.close()
    assert server.stop() == 0
