"""What SMTP peers of today expect beyond the classic reply lines: PIPELINING and SIZE offered after
them, a declared size over the limit refused at MAIL, every reply with its enhanced code, and mail
submitted and collected over implicit TLS (RFC 8314) once the store's ready-made instances are on."""
import pathlib
import poplib
import smtplib
import socket
import subprocess

from conftest import WAIT, admin, configure, free_port, make_certificate, unverified_tls_client, wait_for

PASSWORD = "secret12"


def test_ehlo_offers_pipelining_and_size_and_pipelined_transactions_are_answered_in_order(registered):
    env, port = registered, free_port()
    env.configure_debug("NoListeners", 0)
    admin(env, "domain", "add", "example.com")
    for n in range(20):
        admin(env, "mailbox", "add", "user%02d@example.com" % n, "--password", PASSWORD)
    configure(env, ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port), ("sys:smtp:0:maxsize", "i4:1000"),
              ("sys:pop3:0:enabled", "i2:0"), ("sys:imap4:0:enabled", "i2:0"))
    server = env.start().wait_ready()
    recipients = ["user%02d@example.com" % n for n in range(20)]
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:
        reader = sock.makefile("rb")

        def reply():
            lines = [reader.readline().decode().rstrip("\r\n")]
            while lines[-1][3:4] == "-":
                lines.append(reader.readline().decode().rstrip("\r\n"))
            return lines

        reply()
        sock.sendall(b"EHLO client.test\r\n")
        # The classic lines first and in their order; the newer extensions after them, before the last.
        assert reply() == ["250-Hello client.test", "250-ETRN", "250-ATRN", "250-AUTH CRAM-MD5", "250-PIPELINING",
                           "250-SIZE 1024000", "250-8BITMIME", "250-CHUNKING", "250-SMTPUTF8", "250-DSN",
                           "250 ENHANCEDSTATUSCODES"]
        # The limit is "maxsize" kilobytes: a declared size over it is refused before the message goes.
        sock.sendall(b"MAIL FROM:<a@b.test> SIZE=5000000\r\nMAIL FROM:<a@b.test> SIZE=12x\r\nMAIL FROM:<a@b.test> BODY=BINARYMIME\r\n")
        assert reply() == ["552 5.3.4 Message size exceeds fixed maximum message size"]
        assert reply() == ["501 5.5.4 Syntax error in MAIL FROM parameters"]
        assert reply() == ["555 5.5.4 Unsupported BODY parameter"]
        # One write with the whole transaction: every reply comes, in order, and the end of DATA
        # carries its enhanced code.
        sock.sendall(b"MAIL FROM:<a@b.test> SIZE=1000 BODY=8BITMIME\r\n" + b"".join(b"RCPT TO:<%s>\r\n" % r.encode() for r in recipients) +
                     b"DATA\r\n")
        answers = [reply()[0] for _ in range(22)]
        assert answers == (["250 2.1.0 Requested mail action okay, completed"] +
                           ["250 2.1.5 Requested mail action okay, completed"] * 20 + ["354 Start mail input; end with <CRLF>.<CRLF>"])
        sock.sendall(b"Subject: pipelined\r\n\r\nHello\r\n.\r\n")
        assert reply() == ["250 2.0.0 Requested mail action okay, completed"]

        # BDAT: three chunks, pipelined, taken byte for byte -- no dot or line rules apply.
        chunks = [b"Subject: chunked\r\n\r\n.leading dot\r\n", b"bare\nline feed and \x00 a NUL\r\n.\r\n", b"the end\r\n"]
        sock.sendall(b"MAIL FROM:<a@b.test>\r\nRCPT TO:<user19@example.com>\r\n" +
                     b"".join(b"BDAT %d%s\r\n%s" % (len(chunk), b" LAST" if i == 2 else b"", chunk) for i, chunk in enumerate(chunks)))
        assert [reply()[0] for _ in range(5)] == ["250 2.1.0 Requested mail action okay, completed",
                                                  "250 2.1.5 Requested mail action okay, completed",
                                                  "250 2.0.0 %d octets received" % len(chunks[0]),
                                                  "250 2.0.0 %d octets received" % len(chunks[1]),
                                                  "250 2.0.0 Message stored"]
        # Over the limit: refused after its chunk was read whole, and the transaction is over.
        big = b"x" * (1100 * 1024)
        sock.sendall(b"MAIL FROM:<a@b.test>\r\nRCPT TO:<user19@example.com>\r\nBDAT %d\r\n%sBDAT 2 LAST\r\nxx" % (len(big), big))
        assert [reply()[0] for _ in range(4)] == ["250 2.1.0 Requested mail action okay, completed",
                                                  "250 2.1.5 Requested mail action okay, completed",
                                                  "552 5.3.4 Message size exceeds fixed maximum message size",
                                                  "503 5.5.0 Bad sequence of commands"]
        sock.sendall(b"QUIT\r\n")
        assert reply()[0].startswith("221 2.0.0")

    inbox = pathlib.Path(env.store_file("example.com/user19/_In"))
    stored = wait_for(lambda: [m for m in (p.with_suffix(".eml").read_bytes() for p in inbox.glob("*.env")) if b"chunked" in m],
                      "the chunked message")
    assert len(stored) == 1 and stored[0].startswith(b"Received: ") and stored[0].endswith(b"".join(chunks))

    # swaks pipelines too.
    swaks = ["swaks", "--server", "127.0.0.1", "--port", str(port), "--from", "a@b.test", "--timeout", str(WAIT)]
    sent = subprocess.run(swaks + ["--to", ",".join(recipients[:5]), "--pipeline", "--body", "by swaks"],
                          capture_output=True, text=True, timeout=WAIT)
    assert sent.returncode == 0, sent.stdout + sent.stderr
    assert "<** " not in sent.stdout
    # smtplib announces the size it is about to send, and hears the refusal before sending it.
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        try:
            client.sendmail("a@b.test", recipients[:1], b"Subject: big\r\n\r\n" + b"x" * 1100 * 1024)
            raise AssertionError("a message over the limit was taken")
        except smtplib.SMTPSenderRefused as refused:
            assert (refused.smtp_code, refused.smtp_error) == (552, b"5.3.4 Message size exceeds fixed maximum message size")
    assert server.stop() == 0


def test_submission_and_pop3_over_implicit_tls_after_one_setting_each(registered):
    env = registered
    # A new store has SMTP and POP3 instances 1 ready for implicit TLS, switched off.
    server = env.start().wait_ready()
    assert server.stop() == 0
    ready = {key: admin(env, "config", "get", key).stdout.strip() for key in (
        "sys:smtp:1:port", "sys:smtp:1:ssl", "sys:smtp:1:enabled", "sys:smtp:1:smtpauthrequired", "sys:pop3:1:port", "sys:pop3:1:ssl",
        "sys:pop3:1:enabled")}
    assert ready == {"sys:smtp:1:port": "port:465", "sys:smtp:1:ssl": "i2:-1", "sys:smtp:1:enabled": "i2:0",
                     "sys:smtp:1:smtpauthrequired": "i2:-1", "sys:pop3:1:port": "port:995", "sys:pop3:1:ssl": "i2:-1",
                     "sys:pop3:1:enabled": "i2:0"}

    env.configure_debug("NoListeners", 0)
    admin(env, "domain", "add", "example.com")
    admin(env, "mailbox", "add", "john@example.com", "--password", PASSWORD)
    cert, key = make_certificate(env.root)
    smtps, pop3s = free_port(), free_port()
    # The test's own ports stand in for 465 and 995; "enabled" is the one setting each needs.
    configure(env, ("sys:ssl:enabled", "bool:true"), ("sys:ssl:certpath", cert), ("sys:ssl:keypath", key),
              ("sys:smtp:0:enabled", "bool:false"), ("sys:pop3:0:enabled", "bool:false"), ("sys:imap4:0:enabled", "bool:false"),
              ("sys:smtp:1:ip", "127.0.0.1"), ("sys:smtp:1:port", "port:%d" % smtps), ("sys:smtp:1:enabled", "bool:true"),
              ("sys:pop3:1:ip", "127.0.0.1"), ("sys:pop3:1:port", "port:%d" % pop3s), ("sys:pop3:1:enabled", "bool:true"))
    server = env.start().wait_ready()
    with smtplib.SMTP_SSL("127.0.0.1", smtps, context=unverified_tls_client(), timeout=WAIT) as client:
        client.ehlo("client.test")
        # Submission: nothing is taken before the user logged in.
        code, _ = client.docmd("MAIL FROM:<john@example.com>")
        assert code >= 500
        client.login("john@example.com", PASSWORD)
        assert client.sendmail("john@example.com", ["john@example.com"], b"Subject: over TLS\r\n\r\nHello\r\n") == {}

    def collected():
        pop = poplib.POP3_SSL("127.0.0.1", pop3s, context=unverified_tls_client(), timeout=WAIT)
        try:
            pop.user("john@example.com")
            pop.pass_(PASSWORD)
            count = pop.stat()[0]
            return b"\r\n".join(pop.retr(1)[1]) if count else None
        finally:
            pop.quit()

    assert b"Subject: over TLS" in wait_for(collected, "the message over POP3 and TLS")
    # The TLS ports say nothing to a client that speaks plain text.
    for tls_port in (smtps, pop3s):
        with socket.create_connection(("127.0.0.1", tls_port), timeout=WAIT) as sock:
            sock.sendall(b"EHLO plain.test\r\n")
            try:
                heard = sock.recv(4096)
            except ConnectionResetError:
                heard = b""
            assert not heard.startswith((b"220", b"+OK")), heard
    assert server.stop() == 0


def test_utf8_addresses_come_in_with_smtputf8_only_and_either_spelling_of_a_domain_is_one_domain(registered):
    env, port = registered, free_port()
    env.configure_debug("NoListeners", 0)
    # The store names a domain by its Unicode form; its ASCII form is the same domain.
    assert admin(env, "domain", "add", "EXÄMPLE.de").stdout.strip() == "exämple.de"
    assert env.admin("domain", "add", "xn--exmple-cua.de").returncode != 0
    assert admin(env, "mailbox", "add", "Anna@xn--exmple-cua.de", "--password", PASSWORD).stdout.strip() == "anna@exämple.de"
    admin(env, "domain", "add", "example.com")
    assert admin(env, "mailbox", "add", "jörg@example.com", "--password", PASSWORD).stdout.strip() == "jörg@example.com"
    pop3 = free_port()
    configure(env, ("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
              ("sys:pop3:0:ip", "127.0.0.1"), ("sys:pop3:0:port", "port:%d" % pop3), ("sys:imap4:0:enabled", "i2:0"))
    server = env.start().wait_ready()
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:
        reader = sock.makefile("rb")

        def say(line):
            sock.sendall(line.encode() + b"\r\n")
            answer = reader.readline()
            while answer[3:4] == b"-":
                answer = reader.readline()
            return answer.decode().rstrip("\r\n")

        reader.readline()
        say("EHLO client.test")
        # Without SMTPUTF8 a UTF-8 address is refused, as sender and as recipient; an A-label is ASCII.
        assert say("MAIL FROM:<jörg@b.test>") == "553 5.6.7 Non-ASCII addresses not permitted without SMTPUTF8"
        assert say("MAIL FROM:<a@b.test>").startswith("250 ")
        assert say("RCPT TO:<jörg@example.com>") == "553 5.6.7 Non-ASCII addresses not permitted without SMTPUTF8"
        assert say("RCPT TO:<anna@xn--exmple-cua.de>").startswith("250 ")
        # With it, UTF-8 must be well formed and a domain a name IDNA takes.
        assert say("MAIL FROM:<x@a\u2488b.test> SMTPUTF8").startswith("501 5.1.7")
        assert say("MAIL FROM:<a@b.test> SMTPUTF8").startswith("250 ")
        sock.sendall(b"RCPT TO:<j\xf6rg@example.com>\r\n")
        assert reader.readline().startswith(b"501 5.1.3")
        # Delivery status requests are checked, one by one.
        assert say("RCPT TO:<anna@exämple.de> NOTIFY=NEVER,SUCCESS").startswith("501 5.5.4")
        assert say("RCPT TO:<anna@exämple.de> ORCPT=rfc822;a+ZZ").startswith("501 5.5.4")
        assert say("MAIL FROM:<a@b.test> RET=BODY").startswith("501 5.5.4")
        assert say("MAIL FROM:<a@b.test> ENVID=a=b").startswith("501 5.5.4")
        say("QUIT")

    message = "From: jörg@example.com\r\nSubject: Grüße\r\n\r\nHallo Jörg\r\n".encode()
    with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
        assert client.sendmail("jörg@example.com", ["jörg@example.com", "anna@EXÄMPLE.de"], message, mail_options=["SMTPUTF8"]) == {}

    def collected(user):
        pop = poplib.POP3("127.0.0.1", pop3, timeout=WAIT)
        try:
            pop.user(user)
            pop.pass_(PASSWORD)
            return b"\r\n".join(pop.retr(1)[1]) if pop.stat()[0] else None
        finally:
            pop.quit()

    for user in ("jörg@example.com", "anna@xn--exmple-cua.de"):
        assert wait_for(lambda: collected(user), "the message for " + user).endswith(message.rstrip(b"\r\n"))
    assert server.stop() == 0
