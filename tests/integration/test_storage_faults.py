"""A store is judged by what it survives: the real server on a file system that fails one chosen call.

The server runs with PELLWORTH_FAULT_FILE, the storage layer's test seam: each new content of the
control file ("any:N:EIO" = the Nth file-system call from now fails once with EIO) arms a fault
afresh, and every fault that fires is reported in the file's ".fired" companion. One server serves
a whole sweep, N = 1, 2, ... until a fault no longer fires within the operation.

- SMTP intake then routing: a message is sent with the fault armed. Its client gets a 4xx (then the
  retry, without the fault, is accepted) or a 250; once the fault has fired in the routing after a
  250, the router tries again later. In the end every message is in the inbox, complete; one that
  was refused with a 4xx is there exactly once (the retry's copy), so the refusal was true.
- POP3 QUIT (with the mailbox's last-read property written at the session's end): "+OK" means the
  deleted messages are gone; "-ERR" leaves the session open and a second QUIT, without the fault,
  removes them. Messages not deleted are never touched, and the mailbox's property file stays whole.
Nothing half-written is ever listed: every ".env" in the inbox has its complete content beside it."""
import os
import poplib
import re
import smtplib
import time

import cfgfile
from conftest import WAIT, admin, free_port, wait_for

DOMAIN = "example.com"
BOX = "box@" + DOMAIN
PASSWORD = "secret"
ERRORS = ("EIO", "ENOSPC", "EDQUOT")
# More calls than an intake and a routing make together: the sweep stops at the first N that no
# longer fires, and fails if it never gets there.
MAX_CALLS = 120
SUBJECT = re.compile(rb"(?m)^Subject: (\S+)\r$")


class Faults:
    """The control file of the failing file system."""

    def __init__(self, root):
        self.path = os.path.join(root, "faults")
        self.fired_path = self.path + ".fired"
        self.serial = 0

    def arm(self, faults):
        # By rename: the seam sees a whole new file (a new inode), never half a fault list.
        self.serial += 1
        temporary = "%s.%d.tmp" % (self.path, self.serial)
        with open(temporary, "w") as f:
            f.write(faults)
        os.replace(temporary, self.path)

    def arm_call(self, n):
        """Arms the Nth file-system call from now to fail once, with an error that varies with N;
        returns how many faults had fired before."""
        before = self.fired()
        self.arm("any:%d:%s" % (n, ERRORS[n % len(ERRORS)]))
        return before

    def disarm(self):
        self.arm("")

    def fired(self):
        try:
            with open(self.fired_path) as f:
                return len(f.readlines())
        except FileNotFoundError:
            return 0


def start(env, routers=True):
    """Registers the installation and starts its server with SMTP and POP3 on ports of their own, the
    fault seam in place and disarmed: (server, faults, ports)."""
    result = env.run("-RegServer")
    assert result.returncode == 0, result.stderr
    env.configure_store()
    ports = {"smtp": free_port(), "pop3": free_port()}
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoTransports", 1)
    env.configure_debug("NoRouters", 0 if routers else 1)
    for key, value in (("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % ports["smtp"]),
                       ("sys:pop3:0:ip", "127.0.0.1"), ("sys:pop3:0:port", "port:%d" % ports["pop3"]),
                       ("sys:imap4:0:enabled", "bool:false")):
        admin(env, "config", "set", key, value)
    admin(env, "domain", "add", DOMAIN)
    admin(env, "mailbox", "add", BOX, "--password", PASSWORD)
    faults = Faults(env.root)
    faults.disarm()
    env.env["PELLWORTH_FAULT_FILE"] = faults.path
    server = env.start().wait_ready()
    return server, faults, ports


def inbox_dir(env):
    local, domain = BOX.split("@")
    return env.store_file(os.path.join(domain, local, "_In"))


def listed(path):
    return sorted(n[:-4] for n in os.listdir(path) if n.endswith(".env"))


def body(subject):
    return "From: sender@remote.test\r\nTo: %s\r\nSubject: %s\r\n\r\n%s\r\n" % (BOX, subject, ("text of %s " % subject) * 40)


def delivered(env):
    """Subject -> how many complete copies the inbox lists. Every listed envelope must be whole."""
    counts = {}
    folder = inbox_dir(env)
    for stem in listed(folder):
        try:
            with open(os.path.join(folder, stem + ".eml"), "rb") as f:
                content = f.read()
            with open(os.path.join(folder, stem + ".env"), "rb") as f:
                record = f.read()
        except FileNotFoundError:
            continue  # removed by a POP3 QUIT meanwhile
        cfgfile.decode_envelope(record)  # raises on a damaged record
        found = SUBJECT.search(content)
        assert found, "listed envelope %s has incomplete content: %r" % (stem, content[:200])
        subject = found.group(1).decode()
        assert content.endswith(body(subject).split("\r\n\r\n", 1)[1].encode()), "content of %s is cut short" % stem
        counts[subject] = counts.get(subject, 0) + 1
    return counts


def sweep(step, what):
    """Runs step(N) for N = 1, 2, ... until a step reports that its fault no longer fired (step returns
    whether it fired); fails when one still fires at MAX_CALLS."""
    for n in range(1, MAX_CALLS + 1):
        if not step(n):
            return
    raise AssertionError("a fault still fired at the %dth call of %s" % (MAX_CALLS, what))


def queued(env):
    return listed(env.store_file("_In"))


def send(port, subject):
    """Returns the reply code to the message: 250, or the 4xx of whichever command refused it."""
    try:
        with smtplib.SMTP("127.0.0.1", port, timeout=WAIT) as client:
            client.sendmail("sender@remote.test", [BOX], body(subject))
        return 250
    except smtplib.SMTPConnectError as error:  # the session could not open the store: 421
        return error.smtp_code
    except smtplib.SMTPSenderRefused as error:
        return error.smtp_code
    except smtplib.SMTPDataError as error:
        return error.smtp_code
    except smtplib.SMTPRecipientsRefused as error:
        return list(error.recipients.values())[0][0]
    except smtplib.SMTPServerDisconnected:
        return 0  # no answer at all: never acceptable


def test_intake_and_routing_under_one_failing_call(env):
    server, faults, ports = start(env)

    exact = set()  # subjects refused once: the retry must be the only copy
    sent = []

    def intake_and_routing(n):
        subject = "sweep-%03d" % n
        before = faults.arm_call(n)
        code = send(ports["smtp"], subject)
        sent.append(subject)
        if code != 250:
            assert 400 <= code < 500, "N=%d: the client got %d" % (n, code)
            assert faults.fired() > before, "N=%d: refused with %d though nothing failed" % (n, code)
            faults.disarm()
            assert send(ports["smtp"], subject) == 250, "N=%d: the retry was refused" % n
            exact.add(subject)
            wait_for(lambda: delivered(env).get(subject) == 1, "delivery of %s" % subject)
            return True
        # Routing: wait until the fault fires in it, or until the message is home without it.
        wait_for(lambda: faults.fired() > before or delivered(env).get(subject), "N=%d: routing" % n)
        fired = faults.fired() > before
        faults.disarm()
        return fired

    sweep(intake_and_routing, "an intake and its routing")

    # The router tries what failed again after its pause; nothing may be missing after that.
    wait_for(lambda: not queued(env) and all(delivered(env).get(s) for s in sent), "every message in the inbox",
             bound=3 * WAIT)
    counts = delivered(env)
    assert set(counts) == set(sent)
    for subject in exact:
        assert counts[subject] == 1, "%s: %d copies after a fault in its intake" % (subject, counts[subject])
    # A 250 is true: the message is there. (The router starts on it before the client reads the 250,
    # so which faults struck the intake can not be told apart from the routing's by the time they
    # fired. A copy made twice would be a routing fault that struck after the delivery, before the
    # queue entry went: the queue keeps a message rather than lose it; tolerated, and bounded.)
    assert all(count <= 2 for count in counts.values()), counts
    assert not [n for n in os.listdir(inbox_dir(env)) if n.startswith("~")], "temporary files left in the inbox"
    assert server.stop() == 0


def pop_login(port):
    pop = poplib.POP3("127.0.0.1", port, timeout=WAIT)
    pop.user(BOX)
    pop.pass_(PASSWORD)
    return pop


def test_pop3_quit_under_one_failing_call(env):
    server, faults, ports = start(env)
    kept = ["kept-1", "kept-2"]
    for subject in kept:
        assert send(ports["smtp"], subject) == 250
    wait_for(lambda: all(delivered(env).get(s) == 1 for s in kept), "the kept messages")
    property_file = os.path.join(os.path.dirname(inbox_dir(env)), "_box")

    def quit_with_fault(n):
        doomed = ["doomed-%03d-a" % n, "doomed-%03d-b" % n]
        for subject in doomed:
            assert send(ports["smtp"], subject) == 250
        wait_for(lambda: all(delivered(env).get(s) == 1 for s in doomed) and not queued(env), "N=%d: delivery" % n)
        pop = pop_login(ports["pop3"])
        count = len(pop.list()[1])
        assert count == len(kept) + len(doomed)
        pop.retr(1)  # a message read: the session's end writes the mailbox's last-read property
        for number in range(1, count + 1):
            subject = SUBJECT.search(b"\r\n".join(pop.top(number, 0)[1]) + b"\r").group(1).decode()
            if subject in doomed:
                pop.dele(number)
        before = faults.arm_call(n)
        try:
            pop.quit()
            answered_ok = True
        except poplib.error_proto as error:
            assert error.args[0].startswith(b"-ERR"), error
            answered_ok = False
        fired = faults.fired() > before
        faults.disarm()
        if not answered_ok:
            assert fired, "N=%d: QUIT failed though nothing failed" % n
            pop.quit()  # the session is still open; this time the removal must succeed
        pop.close()
        counts = delivered(env)
        assert all(counts.get(s) == 1 for s in kept), "N=%d: a message not deleted was touched: %s" % (n, counts)
        assert not any(counts.get(s) for s in doomed), "N=%d: deleted messages stayed: %s" % (n, counts)
        with open(property_file, "rb") as f:
            cfgfile.decode(f.read())  # whole: never half written
        return fired

    sweep(quit_with_fault, "a POP3 QUIT")
    # What the session's end wrote is readable by a new session too.
    pop = pop_login(ports["pop3"])
    assert len(pop.list()[1]) == len(kept)
    pop.quit()
    assert server.stop() == 0
