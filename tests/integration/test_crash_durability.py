"""Mail survives a server killed at any moment. Concurrent SMTP clients send to local mailboxes while
the server is killed (SIGKILL) at a random point, five times over; a last, clean run drains the queue.
Then every message that got its "250" after DATA must be in each of its recipients' inboxes, whole,
and the store must hold no half-made file. Copies that arrive twice are reported, not failed: a
router killed between a delivery and the record of its progress delivers that recipient again.

The random choices come from one seed, printed with every run; PELLWORTH_CRASH_SEED replays them
(the timing of threads and kills is the machine's own and can not be replayed).

A kill can not show what a power loss leaves: the page cache survives it. The second test cuts the
power through the storage layer's seam (PELLWORTH_FAULT_FILE with "KIND:N:CUT", FileSystem.h): at
the chosen call the server takes back every write and every name the kernel had not made durable
by a flush, and dies; the same mail must survive that. PELLWORTH_CUT_POINTS=0 sweeps every call of
the clean run instead of a sample."""
import os
import random
import re
import smtplib
import socket
import threading
import time

from conftest import WAIT, admin, free_port, wait_for

DOMAIN = "example.com"
MAILBOXES = ["box%d@%s" % (n, DOMAIN) for n in range(10)]
ROUNDS = 5
CLIENTS = 4
# Enough that the kill usually lands among sessions still sending, few enough that the last run drains
# the backlog in seconds however fast this machine accepts mail.
MESSAGES_PER_CLIENT = 100
ROUTERS = 4
SENDER = "sender@remote.test"
# The random kill comes this long after the clients started: early enough to catch the routers on the
# previous round's queue, late enough to let a backlog build up.
KILL_DELAY = (0.05, 1.0)
TEST_ID = re.compile(rb"(?m)^X-Test-Id: (\S+)\r$")
# The server's own trace fields: its Received line and the Authentication-Results of mail from outside.
RECEIVED = re.compile(rb"Received: from [^\r\n]*\r\n(?:Authentication-Results: [^\r\n]*\r\n(?:\t[^\r\n]*\r\n)*)?")


def drain(store):
    """Waits for an empty queue. A loaded machine may need long for a big backlog, so the bound is on
    progress: the queue must shrink at least once every WAIT seconds."""
    left = len(queued(store))
    deadline = time.monotonic() + WAIT
    while left:
        assert time.monotonic() < deadline, "the queue is stuck at %d envelopes: %s" % (left, sorted(queued(store))[:10])
        time.sleep(0.05)
        now = len(queued(store))
        if now < left:
            deadline = time.monotonic() + WAIT
        left = now


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def message(test_id, recipients, rng):
    """A message whose body is long enough, now and then, for a kill to land in the middle of it."""
    size = rng.choice((0, 200, 4000, 60000))
    filler = "".join("line %05d of %s\r\n" % (n, test_id) for n in range(size // 24))
    return ("From: %s\r\nTo: %s\r\nSubject: crash test %s\r\nX-Test-Id: %s\r\n\r\n%s" % (
        SENDER, ", ".join(recipients), test_id, test_id, filler + "end of " + test_id + "\r\n")).encode()


class Round:
    """The clients of one server life: each sends until the server dies under it or its share is sent."""

    def __init__(self, number, port, seed):
        self.number, self.port, self.seed = number, port, seed
        self.lock = threading.Lock()
        self.acknowledged = {}  # id -> (recipients, message bytes)
        self.attempted = {}
        self.refusals = []
        self.errors = []

    def client(self, index):
        rng = random.Random("%s/%d/%d" % (self.seed, self.number, index))
        sequence = 0
        session = None
        try:
            while sequence < MESSAGES_PER_CLIENT:
                if session is None:
                    session = smtplib.SMTP("127.0.0.1", self.port, local_hostname="crash.test", timeout=WAIT)
                sequence += 1
                test_id = "r%d-c%d-m%04d" % (self.number, index, sequence)
                recipients = rng.sample(MAILBOXES, rng.choice((1, 1, 2, 3)))
                content = message(test_id, recipients, rng)
                with self.lock:
                    self.attempted[test_id] = (recipients, content)
                try:
                    refused = session.sendmail(SENDER, recipients, content)
                except (smtplib.SMTPSenderRefused, smtplib.SMTPRecipientsRefused, smtplib.SMTPDataError) as error:
                    with self.lock:  # an answer from a live server that took nothing: not a crash
                        self.refusals.append("%s: %r" % (test_id, error))
                    continue
                with self.lock:
                    self.acknowledged[test_id] = ([r for r in recipients if r not in refused], content)
                    if refused:
                        self.refusals.append("%s: %r" % (test_id, refused))
                if rng.random() < 0.2:  # a new session now and then, as real clients open them
                    session.quit()
                    session = None
        except (smtplib.SMTPServerDisconnected, smtplib.SMTPConnectError, OSError):
            pass  # the server died: the message in hand is unacknowledged
        except Exception as error:  # anything else is a fault of the test or the server's dialogue
            with self.lock:
                self.errors.append("client %d: %r" % (index, error))
        finally:
            if session is not None:
                session.close()


def store_files(store):
    for directory, _, names in os.walk(store):
        for name in names:
            yield directory, name


def queued(store):
    """The envelopes still in the queue ("_In") and the outbound folders ("_Out" and below)."""
    found = [n for n in os.listdir(os.path.join(store, "_In")) if n.endswith(".env")]
    found += [os.path.join(d, n) for d, n in store_files(os.path.join(store, "_Out")) if n.endswith(".env")]
    return found


def unfinished_files(store):
    """Files a writer that died left half-made: temporary names of an atomic replacement (see
    IsTemporaryName), an ".eml" without its ".env" or the other way round, and empty files (every
    store file has content but a folder's "_uid" counter, which starts empty)."""
    found = []
    for directory, _, names in os.walk(store):
        stems = {}
        for name in names:
            path = os.path.join(directory, name)
            if name.startswith("~") and name.endswith(".tmp"):
                found.append("temporary " + path)
            elif os.path.getsize(path) == 0 and name != "_uid":
                found.append("empty " + path)
            stem, extension = os.path.splitext(name)
            if extension.lower() in (".env", ".eml"):
                stems.setdefault(stem.upper(), set()).add(extension.lower())
        found += ["%s without %s: %s" % (next(iter(kinds)), ({".env", ".eml"} - kinds).pop(), os.path.join(directory, stem))
                  for stem, kinds in sorted(stems.items()) if len(kinds) != 2]
    return found


def as_sent(content):
    received = RECEIVED.match(content)
    return content[received.end():] if received else content


def delivered(store, mailboxes=MAILBOXES):
    """(mailbox address, test id) -> the contents of every copy in that mailbox's inbox."""
    copies = {}
    for address in mailboxes:
        inbox = os.path.join(store, DOMAIN, address.split("@")[0], "_In")
        for name in os.listdir(inbox):
            if not name.endswith(".env"):
                continue
            with open(os.path.join(inbox, name[:-4] + ".eml"), "rb") as f:
                content = f.read()
            match = TEST_ID.search(content)
            assert match, "a message nobody sent in %s: %r" % (inbox, content[:300])
            copies.setdefault((address, match.group(1).decode()), []).append(content)
    return copies


def test_acknowledged_mail_survives_repeated_kills_and_the_store_keeps_no_half_made_files(registered):
    env = registered
    seed = os.environ.get("PELLWORTH_CRASH_SEED") or str(random.SystemRandom().randrange(1 << 32))
    print("crash test seed %s (PELLWORTH_CRASH_SEED=%s replays it)" % (seed, seed))
    rng = random.Random(seed)

    admin(env, "domain", "add", DOMAIN)
    for address in MAILBOXES:
        admin(env, "mailbox", "add", address, "--kind", "user", "--password", "secret12")
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoTransports", 1)
    env.configure_debug("NoRouters", 0)
    env.configure_debug("Routers", ROUTERS)
    port = free_port()
    for key, value in (("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
                       ("sys:pop3:0:enabled", "i2:0"), ("sys:imap4:0:enabled", "i2:0")):
        admin(env, "config", "set", key, value)

    acknowledged, attempted, refusals, errors = {}, {}, [], []
    for number in range(ROUNDS):
        server = env.start().wait_ready()
        wait_for(lambda: accepts(port), "the SMTP listener")
        this = Round(number, port, seed)
        clients = [threading.Thread(target=this.client, args=(i,)) for i in range(CLIENTS)]
        for client in clients:
            client.start()
        delay = rng.uniform(*KILL_DELAY)
        time.sleep(delay)  # the one intended sleep: the kill lands wherever the server happens to be
        server.proc.kill()
        server.proc.wait(timeout=WAIT)
        for client in clients:
            client.join(WAIT)
            assert not client.is_alive(), "a client hangs after the kill"
        server.close()
        print("round %d: killed after %.3f s; %d acknowledged of %d begun, queue %d" % (
            number, delay, len(this.acknowledged), len(this.attempted), len(queued(env.store))))
        acknowledged.update(this.acknowledged)
        attempted.update(this.attempted)
        refusals += this.refusals
        errors += this.errors

    server = env.start().wait_ready()
    drain(env.store)
    assert server.stop() == 0  # the routers finish the envelope in hand before the process ends

    copies = delivered(env.store)
    lost = sorted("%s for %s" % (test_id, address) for test_id, (recipients, _) in acknowledged.items()
                  for address in recipients if (address, test_id) not in copies)
    duplicates = sorted("%s for %s: %d copies" % (test_id, address, len(found))
                        for (address, test_id), found in copies.items() if len(found) > 1)
    misdelivered = sorted("%s for %s" % (test_id, address) for address, test_id in copies
                          if test_id not in attempted or address not in attempted[test_id][0])
    # Each copy is the message as sent behind the server's own Received line: nothing cut, nothing mixed.
    damaged = sorted("%s for %s" % (test_id, address) for (address, test_id), found in copies.items()
                     if test_id in attempted and any(as_sent(c) != attempted[test_id][1] for c in found))
    late = sum(1 for address, test_id in copies if test_id not in acknowledged)
    # A router records its progress every 100 recipients and when a message's routing ends, so a kill
    # repeats at most the deliveries of the message in hand.
    print("%d acknowledged messages, %d recipients; %d copies of unacknowledged messages arrived; %d duplicates "
          "(at most %d expected)%s" % (len(acknowledged), sum(len(r) for r, _ in acknowledged.values()), late,
                                       len(duplicates), ROUNDS * ROUTERS, "".join("\n  duplicate " + d for d in duplicates)))
    if refusals:
        print("refused by a live server:\n  " + "\n  ".join(refusals))

    assert not errors, errors
    assert not lost, "acknowledged and lost:\n  " + "\n  ".join(lost)
    assert not misdelivered, "delivered to a mailbox it was not for:\n  " + "\n  ".join(misdelivered)
    assert not damaged, "delivered damaged:\n  " + "\n  ".join(damaged)
    assert not queued(env.store)
    assert not os.path.exists(os.path.join(env.store, "_Held")), os.listdir(os.path.join(env.store, "_Held"))
    half_made = unfinished_files(env.store)
    assert not half_made, "half-made files:\n  " + "\n  ".join(half_made)
    assert acknowledged, "no message was acknowledged in any round"


# The power-cut sweep: a scripted intake, cut at one chosen call at a time.
CUT_MAILBOXES = MAILBOXES[:2]
CUT_MESSAGES = 3
# The kinds of call a cut is stepped over: every call that changes what a disk holds.
CUT_KINDS = ("fsync", "rename", "write", "link", "unlink", "mkdir")
# Points of the sweep per mode, spread evenly over the calls of a clean run: enough to land on every
# step of an intake and its delivery on this store's few-calls-per-message path, few enough that the
# modes stay within a minute on a loaded machine.
CUT_POINTS = int(os.environ.get("PELLWORTH_CUT_POINTS") or 24)
KILL_POINTS = 8


class Control:
    """The seam's control file (PELLWORTH_FAULT_FILE; see src/platform/FileSystem.h)."""

    def __init__(self, root):
        self.path = os.path.join(root, "faults")
        self.serial = 0

    def arm(self, text):
        self.serial += 1
        temporary = "%s.%d.tmp" % (self.path, self.serial)
        with open(temporary, "w") as f:
            f.write(text)
        os.replace(temporary, self.path)  # a new inode: the seam never sees half a list

    def fired(self):
        try:
            with open(self.path + ".fired") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def calls(self):
        """The counts the seam reported for the arming that ended last: kind -> calls."""
        try:
            with open(self.path + ".calls") as f:
                return {kind: int(count) for kind, count in (line.split() for line in f)}
        except FileNotFoundError:
            return None


def intake(port, tag, messages):
    """One client sends the script's messages until the server dies under it; returns
    (acknowledged, attempted): test id -> (recipients, content) of those answered 250, and of all begun."""
    rng = random.Random(tag)
    acknowledged, attempted = {}, {}
    try:
        with smtplib.SMTP("127.0.0.1", port, local_hostname="cut.test", timeout=WAIT) as session:
            for number in range(messages):
                test_id = "%s-m%d" % (tag, number)
                recipients = CUT_MAILBOXES[:1 + number % len(CUT_MAILBOXES)]
                attempted[test_id] = (recipients, message(test_id, recipients, rng))
                assert not session.sendmail(SENDER, recipients, attempted[test_id][1])
                acknowledged[test_id] = attempted[test_id]
    except (smtplib.SMTPServerDisconnected, OSError):
        pass  # the cut: the message in hand is unacknowledged
    return acknowledged, attempted


def home(store, acknowledged):
    """Every acknowledged message is in each of its recipients' inboxes and the queue is empty."""
    copies = delivered(store, CUT_MAILBOXES)
    return not queued(store) and all((a, t) in copies for t, (recipients, _) in acknowledged.items() for a in recipients)


def settled_files(store):
    """unfinished_files of a store whose server runs and has nothing to do, once it has settled: a
    router takes an envelope's record before its content, so a content without its record may be
    seen for a moment (a bounded wait, then what is still there). The socket and the routers' empty
    marks are the running server's own; the seam's hidden names (".pwcut.N") must all be gone."""
    deadline = time.monotonic() + WAIT
    while True:
        found = [f for f in unfinished_files(store) if not f.endswith((".sock", ".mark"))]
        found += [os.path.join(d, n) for d, n in store_files(store) if n.startswith(".pwcut.")]
        if not found or time.monotonic() > deadline:
            return found
        time.sleep(0.05)


def points(counts, total):
    """(kind, N) spread evenly over the calls of a clean run, every kind that made calls getting some."""
    calls = [(kind, n) for kind in CUT_KINDS for n in range(1, counts.get(kind, 0) + 1)]
    if total == 0 or len(calls) <= total:
        return calls
    return [calls[round(i * (len(calls) - 1) / (total - 1))] for i in range(total)]


def test_acknowledged_mail_survives_a_power_cut_at_any_call_of_an_intake(registered):
    """A power cut, unlike a kill, takes back what was not flushed (FileSystem.h: KIND:N:CUT). One
    client sends CUT_MESSAGES messages; the router delivers them. First a clean run counts the calls
    of each kind; then the sweep arms a cut at points spread over them, one per server life: the
    server undoes every change the kernel had not made durable and dies at that call. The next server
    starts on what is left, drains the queue, and is the next point's. After each cut every message
    answered 250 must be delivered to each recipient, whole; a second copy is reported (a router cut
    between a delivery and its record delivers again), a third is a fault; the store holds no
    half-made file and none of the names the seam kept aside. The same points are swept again with
    JCUT, where a journal commit comes just before the cut and keeps every name made so far while
    the data that was neither flushed nor written out is lost (a name placed before its data was on
    the disk shows as a damaged message), and with KILL (the process ends at that call, everything
    written stays) for comparison, a few of them."""
    env = registered
    admin(env, "domain", "add", DOMAIN)
    for address in CUT_MAILBOXES:
        admin(env, "mailbox", "add", address, "--kind", "user", "--password", "secret12")
    env.configure_debug("NoListeners", 0)
    env.configure_debug("NoTransports", 1)
    env.configure_debug("NoRouters", 0)
    env.configure_debug("Routers", 1)
    port = free_port()
    for key, value in (("sys:smtp:0:ip", "127.0.0.1"), ("sys:smtp:0:port", "port:%d" % port),
                       ("sys:pop3:0:enabled", "i2:0"), ("sys:imap4:0:enabled", "i2:0")):
        admin(env, "config", "set", key, value)
    control = Control(env.root)
    control.arm("")
    env.env["PELLWORTH_FAULT_FILE"] = control.path

    def serve():
        server = env.start().wait_ready()
        wait_for(lambda: accepts(port), "the SMTP listener")
        return server

    # The clean run, recorded as a cut would record it (a cut armed far beyond the run).
    server = serve()
    control.arm("fsync:999999999:CUT")
    clean, _ = intake(port, "clean", CUT_MESSAGES)
    assert len(clean) == CUT_MESSAGES
    wait_for(lambda: home(env.store, clean), "the clean run's delivery")
    os.unlink(control.path + ".calls")  # the report of the arming before, at start-up
    control.arm("")
    counts = wait_for(control.calls, "the clean run's counts")  # written when the server notices the change
    print("clean run: " + ", ".join("%s %d" % (kind, counts[kind]) for kind in CUT_KINDS))

    results = []
    for mode, total in (("CUT", CUT_POINTS), ("JCUT", CUT_POINTS), ("KILL", KILL_POINTS if CUT_POINTS else 0)):
        for kind, n in points(counts, total):
            tag = "%s-%s-%d" % (mode.lower(), kind, n)
            fired_before = len(control.fired())
            control.arm("%s:%d:%s" % (kind, n, mode))
            acknowledged, attempted = intake(port, tag, CUT_MESSAGES)
            # The cut comes in the intake or in the delivery after it, or (a run that made fewer calls
            # of that kind than the clean one) never. Once the server reports the counts of this
            # arming it is disarmed, and whether the cut came is settled.
            wait_for(lambda: len(control.fired()) > fired_before or home(env.store, acknowledged), tag + ": the cut or the delivery")
            os.unlink(control.path + ".calls")
            control.arm("")
            wait_for(lambda: server.proc.poll() is not None or os.path.exists(control.path + ".calls"), tag + ": the disarming")
            cut = len(control.fired()) > fired_before
            if cut:
                assert server.proc.wait(timeout=WAIT) == 137, "%s: the server died otherwise: %s" % (tag, server.proc.stderr.read())
                server.close()
                server = serve()  # must start on whatever the cut left
            else:
                assert server.proc.poll() is None, "%s: the server died, but no fault fired: %s" % (tag, server.proc.stderr.read())
            # A router publishes a copy before it takes the envelope from the queue: an empty queue
            # means every delivery is done.
            wait_for(lambda: not queued(env.store), tag + ": the queue drained")
            copies = delivered(env.store, CUT_MAILBOXES)
            mine = {(a, t): found for (a, t), found in copies.items() if t.startswith(tag + "-")}
            lost = ["%s for %s" % (t, a) for t, (recipients, _) in acknowledged.items() for a in recipients if (a, t) not in mine]
            assert not lost, "%s: acknowledged and lost: %s" % (tag, ", ".join(lost))
            # A message cut short in its intake may arrive or not, but never in part, nor elsewhere.
            misdelivered = ["%s for %s" % (t, a) for a, t in mine if t not in attempted or a not in attempted[t][0]]
            assert not misdelivered, tag + ": delivered to a mailbox it was not for: " + ", ".join(misdelivered)
            damaged = ["%s for %s" % (t, a) for (a, t), found in mine.items() if any(as_sent(c) != attempted[t][1] for c in found)]
            assert not damaged, tag + ": delivered damaged: " + ", ".join(damaged)
            duplicates = ["%s for %s: %d copies" % (t, a, len(found)) for (a, t), found in mine.items() if len(found) > 1]
            assert all(len(found) <= 2 for found in mine.values()), tag + ": " + ", ".join(duplicates)
            half_made = settled_files(env.store)
            assert not half_made, tag + ": half-made files:\n  " + "\n  ".join(half_made)
            results.append("%s: %s, %d acknowledged%s" % (tag, "fired" if cut else "not reached", len(acknowledged),
                                                         "".join("; duplicate " + d for d in duplicates)))
    print("\n".join(results))
    assert server.stop() == 0
    assert any("fired" in line for line in results if line.startswith("cut-")), "no cut ever fired"
