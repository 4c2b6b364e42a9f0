"""Send/receive cycles against scripted SMTP peers on their own loopback addresses: ETRN and ATRN
pickups, the peers connecting back from their address to deliver, the address map of those sessions,
peers that refuse, never come back or break the reply bounds, and dial-up by the administrator's
scripts around it all."""
import base64
import hmac
import os
import pathlib
import smtplib
import socket
import socketserver
import stat
import threading

from conftest import WAIT, admin, bind_when_free, free_port, log_text, wait_for

DEBUG_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Debug"
DIALER_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\Dialer"
PICKUP_PASSWORD = "node-secret"


class PickupPeer(socketserver.ThreadingTCPServer):
    """A server that holds mail for a node. It records every command line of every session; `offers`
    are its EHLO extensions; `release` is its reply to ETRN or ATRN; after a positive one it runs
    `connect_back` (a function) in a thread of its own. `hostile` replaces the whole session."""
    daemon_threads = allow_reuse_address = True

    def __init__(self, address, offers=(), release="250 Queue for node started", connect_back=None, hostile=None):
        self.offers, self.release, self.connect_back, self.hostile = offers, release, connect_back, hostile
        self.sessions, self.lock = [], threading.Lock()
        bind_when_free(lambda: super(PickupPeer, self).__init__((address, 0), PickupSession), address)
        self.address, self.port = self.server_address
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def commands(self):
        with self.lock:
            return [list(s) for s in self.sessions]

    def close(self):
        self.shutdown()
        self.server_close()


class PickupSession(socketserver.StreamRequestHandler):
    def send(self, text):
        self.wfile.write(text.encode() + b"\r\n")

    def handle(self):
        peer, commands = self.server, []
        with peer.lock:
            peer.sessions.append(commands)
        if peer.hostile:
            return peer.hostile(self.request)
        self.send("220 holder.test ESMTP")
        for raw in iter(self.rfile.readline, b""):
            line = raw.decode("latin-1").rstrip("\r\n")
            commands.append(line)
            verb = line.split(" ")[0].upper()
            if verb == "EHLO":
                self.send("\r\n".join(["250-holder.test"] + ["250-" + o for o in peer.offers] + ["250 HELP"]))
            elif line.upper() == "AUTH CRAM-MD5":
                challenge = b"<1.2@holder.test>"
                self.send("334 " + base64.b64encode(challenge).decode())
                user, digest = base64.b64decode(self.rfile.readline().strip()).decode().rsplit(" ", 1)
                good = user == "nodeowner" and hmac.compare_digest(digest, hmac.new(PICKUP_PASSWORD.encode(), challenge, "md5").hexdigest())
                commands.append("AUTH CRAM-MD5 " + ("ok" if good else "bad"))
                self.send("235 2.7.0 OK" if good else "535 5.7.8 Bad")
            elif verb in ("ETRN", "ATRN"):
                self.send(peer.release)
                if peer.release.startswith("2") and peer.connect_back:
                    threading.Thread(target=peer.connect_back, daemon=True).start()
            elif verb == "QUIT":
                self.send("221 Bye")
                return
            else:
                self.send("250 OK")


def deliver_from(source, port, recipient, subject):
    """The holder connecting back from its own address with the node's mail."""
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT, source_address=(source, 0)) as client:
        client.sendmail("sender@holder.test", [recipient], "Subject: %s\r\n\r\nHeld for you.\r\n" % subject)


def inbox_subjects(env):
    inbox = pathlib.Path(env.store_file(os.path.join("example.com", "john", "_In")))
    found = []
    for record in sorted(inbox.glob("*.env")) if inbox.is_dir() else []:
        content = record.with_suffix(".eml").read_bytes()
        found += [line[9:].decode() for line in content.split(b"\r\n") if line.startswith(b"Subject: ")]
    return sorted(found)


def cycles_finished(env):
    return log_text(env).count("Send and receive cycle finished")


def pickup_settings(n, peer_or_server, node, kind=1, port=None, timeout=None, account=None):
    server = peer_or_server if isinstance(peer_or_server, str) else peer_or_server.address
    port = port if port is not None else peer_or_server.port
    settings = [("sys:smtppickup:%d:type" % n, "i4:%d" % kind), ("sys:smtppickup:%d:server" % n, "str:" + server),
                ("sys:smtppickup:%d:port" % n, "port:%d" % port), ("sys:smtppickup:%d:send" % n, "str:" + node)]
    if timeout:
        settings.append(("sys:smtppickup:%d:timeout" % n, "i4:%d" % timeout))
    if account:
        settings += [("sys:smtppickup:%d:account" % n, "str:" + account), ("sys:smtppickup:%d:password" % n, "str:" + PICKUP_PASSWORD)]
    return settings


def start_server(env, smtp_port, settings):
    env.configure_logging(2, 1)
    env.configure_debug("NoListeners", 0)
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--password", "pw")
    for key, value in [("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % smtp_port), ("sys:pop3:0:enabled", "i2:0"),
                       ("sys:imap4:0:enabled", "i2:0")] + settings:
        admin(env, "config", "set", key, value)
    return env.start().wait_ready()


def endless_reply(sock):
    sock.sendall(b"220 " + b"x" * 65536)
    try:
        while True:
            sock.sendall(b"y" * 65536)
    except OSError:
        pass


def test_pickups_ask_by_etrn_or_atrn_keep_alive_and_end_when_their_peer_connects_back(registered):
    env, smtp_port = registered, free_port()
    etrn = PickupPeer("127.0.0.2", offers=("ETRN",),
                      connect_back=lambda: deliver_from("127.0.0.2", smtp_port, "owner@node.test", "mapped"))
    atrn = PickupPeer("127.0.0.3", offers=("AUTH LOGIN CRAM-MD5", "ATRN", "ETRN"),
                      connect_back=lambda: deliver_from("127.0.0.3", smtp_port, "john@example.com", "atrn"))
    no_atrn = PickupPeer("127.0.0.4", offers=("ETRN",), release="458 Unable to queue messages for node")
    silent = PickupPeer("127.0.0.5", offers=("ETRN",),
                        connect_back=lambda: deliver_from("127.0.0.6", smtp_port, "john@example.com", "stranger"))
    local = PickupPeer("127.0.0.1", offers=("ETRN",),
                       connect_back=lambda: deliver_from("127.0.0.1", smtp_port, "john@example.com", "localhost"))
    hostile = PickupPeer("127.0.0.7", hostile=endless_reply)
    peers = (etrn, atrn, no_atrn, silent, local, hostile)
    settings = (pickup_settings(0, etrn, "node.test") + pickup_settings(1, atrn, "node2.test", kind=2, account="nodeowner") +
                pickup_settings(2, no_atrn, "node3.test", kind=2) + pickup_settings(3, silent, "node4.test", timeout=3) +
                pickup_settings(4, "localhost", "node5.test", port=local.port) + pickup_settings(5, hostile, "node6.test") +
                [("sys:smtppickup:0:addressmap:0:fromemail", "str:Owner@Node.Test"),
                 ("sys:smtppickup:0:addressmap:0:toemails", "str:john@example.com")])
    try:
        start_server(env, smtp_port, settings)
        admin(env, "connect-now")
        wait_for(lambda: cycles_finished(env) == 1, "the cycle's end")

        # ETRN: the node asked for, NOOPs while waiting, QUIT once the peer came back; its mail arrived
        # through the pickup's address map (a recipient of no local domain, mapped before the relay check).
        [etrn_session] = etrn.commands()
        assert etrn_session[0].startswith("EHLO ") and etrn_session[1] == "ETRN node.test" and etrn_session[-1] == "QUIT"
        assert set(etrn_session[2:-1]) <= {"NOOP"}
        # ATRN: CRAM-MD5 first, then ATRN for the node; without ATRN offered, ETRN -- and a refusal
        # ends the pickup with QUIT and no NOOP.
        [atrn_session] = atrn.commands()
        assert atrn_session[1:4] == ["AUTH CRAM-MD5", "AUTH CRAM-MD5 ok", "ATRN node2.test"] and atrn_session[-1] == "QUIT"
        assert no_atrn.commands() == [[no_atrn.commands()[0][0], "ETRN node3.test", "QUIT"]]
        # Nobody came back from 127.0.0.5 (the session from 127.0.0.6 does not count): NOOP each
        # second until the time-out, then QUIT and a warning.
        [silent_session] = silent.commands()
        assert silent_session[1] == "ETRN node4.test" and silent_session[-1] == "QUIT"
        assert 2 <= silent_session.count("NOOP") <= 4, silent_session
        assert "did not connect back in time" in log_text(env)
        # A pickup named by host name waits for the address it connected to.
        [local_session] = local.commands()
        assert local_session[1] == "ETRN node5.test" and local_session[-1] == "QUIT"
        # The peer that broke the reply bounds was cut off without harming the others.
        assert len(hostile.commands()) == 1
        assert inbox_subjects(env) == ["atrn", "localhost", "mapped", "stranger"]
    finally:
        for peer in peers:
            peer.close()


def write_script(path, log, status):
    pathlib.Path(path).write_text('#!/bin/sh\necho "$(basename $0) $*" >> %s\nexit %d\n' % (log, status))
    os.chmod(path, stat.S_IRWXU)


def set_registry(env, key, values):
    with open(env.registry, "a", encoding="utf-8") as f:
        f.write("\n[%s]\n%s\n" % (key, "\n".join('"%s"="%s"' % item for item in values)))


def test_dial_up_cycles_dial_first_and_hang_up_after_the_returned_sessions_end(registered):
    env, smtp_port = registered, free_port()
    dial_log = os.path.join(env.root, "dial.log")
    for name, status in (("dial-fails", 1), ("dial", 0), ("hangup", 0)):
        write_script(os.path.join(env.root, name), dial_log, status)
    held, release = threading.Event(), threading.Event()

    def slow_connect_back():
        # Comes back, starts a message, holds the session until told, then drops it mid-transaction.
        with socket.create_connection(("127.0.0.1", smtp_port), timeout=WAIT, source_address=("127.0.0.8", 0)) as sock:
            reader = sock.makefile("rb")
            for line in (None, b"EHLO holder.test", b"MAIL FROM:<a@holder.test>", b"RCPT TO:<john@example.com>"):
                if line:
                    sock.sendall(line + b"\r\n")
                while (reply := reader.readline())[3:4] == b"-":
                    pass
            held.set()
            release.wait(WAIT)

    peer = PickupPeer("127.0.0.8", offers=("ETRN",), connect_back=slow_connect_back)
    set_registry(env, DIALER_KEY, [("DialCommand", os.path.join(env.root, "dial-fails") + " %ENTRY%"),
                                   ("HangUpCommand", os.path.join(env.root, "hangup"))])
    try:
        start_server(env, smtp_port, pickup_settings(0, peer, "node.test") +
                     [("sys:connection:type", "i4:2"), ("sys:connection:rasentry", "str:isp")])
        # A dial that fails ends the cycle before anything else: no pickup, no hang-up.
        admin(env, "connect-now")
        wait_for(lambda: "Could not dial isp" in log_text(env), "the failed dial")
        assert peer.commands() == [] and pathlib.Path(dial_log).read_text() == "dial-fails isp\n"

        text = pathlib.Path(env.registry).read_text().replace("dial-fails", "dial")
        pathlib.Path(env.registry).write_text(text)
        admin(env, "connect-now")
        wait_for(held.is_set, "the peer's session back")
        wait_for(lambda: "connected back" in log_text(env), "the pickup's end")
        # The connection stays up while the returned session runs.
        assert "hangup" not in pathlib.Path(dial_log).read_text()
        release.set()
        wait_for(lambda: cycles_finished(env) == 1, "the cycle's end")
        assert pathlib.Path(dial_log).read_text() == "dial-fails isp\ndial isp\nhangup \n"

        # Collecting by SMTP switched off: the cycle still dials and hangs up, and asks nobody.
        env.configure_debug("NoInSMTP", 1)
        admin(env, "connect-now")
        wait_for(lambda: cycles_finished(env) == 2, "the second cycle's end")
        assert pathlib.Path(dial_log).read_text().endswith("dial isp\nhangup \ndial isp\nhangup \n")
        assert len(peer.commands()) == 1
    finally:
        release.set()
        peer.close()
