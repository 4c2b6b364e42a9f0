"""The connection schedule end to end: events added by pellworth-admin while the server is stopped fire
in the running server as their ranges, days and times say, connect-now reaches the server, and the
tool refuses what it must."""
import os
import re
import time

from conftest import admin, log_text, wait_for


def clock(minutes):
    return "%02d:%02d" % divmod(minutes % 1440, 60)


DAYS = ["sun", "mon", "tue", "wed", "thu", "fri", "sat"]


def fired(env, index):
    return len(re.findall(r"Connection schedule: event %d is due" % index, log_text(env)))


def cycles(env):
    return log_text(env).count("Send and receive cycle started")


def finished(env):
    return log_text(env).count("Send and receive cycle finished")


def wait_for_log(env, pattern, what):
    return wait_for(lambda: re.search(pattern, log_text(env)), what)


def test_events_fire_as_their_ranges_and_days_say_and_connect_now_is_acted_on(registered):
    env = registered
    env.configure_logging(2, 3)
    env.configure_debug("SchedulePeriod", 1)  # an evaluation each second instead of each minute
    now = time.localtime()
    minute = now.tm_hour * 60 + now.tm_min
    today = (now.tm_wday + 1) % 7  # Python counts from Monday, the schedule from Sunday
    not_today = ",".join(day for i, day in enumerate(DAYS) if i not in (today, (today + 1) % 7))

    # 0: over midnight, leaving out the hour around now: not due while the test runs.
    admin(env, "schedule", "add", "--outgoing", "--from", clock(minute + 60), "--to", clock(minute - 60), "--every", "1")
    # 1: a range that holds now, on every day but today and tomorrow.
    admin(env, "schedule", "add", "--smtp", "--from", clock(minute - 60), "--to", clock(minute - 120), "--every", "1",
          "--days", not_today)
    # 2: over midnight and holding now: due at the first evaluation, then not for an hour.
    added = admin(env, "schedule", "add", "--outgoing", "--smtp", "--from", clock(minute - 60), "--to", clock(minute - 120),
                  "--every", "60").stdout.strip()
    assert added == "2 outgoing,smtp range %s-%s every 60 min days sun,mon,tue,wed,thu,fri,sat enabled" % (
        clock(minute - 60), clock(minute - 120))
    # 3: at a time that has passed today: due at the first evaluation, and once only.
    admin(env, "schedule", "add", "--pop3", "--at", clock(max(minute - 30, 0)))
    # 4: all day at every evaluation: the test's measure of passes.
    admin(env, "schedule", "add", "--outgoing", "--from", "00:00", "--to", "23:59", "--every", "0")
    # 5: switched off.
    admin(env, "schedule", "add", "--outgoing", "--at", "00:00", "--disabled")
    # A dial-up connection with outgoing delivery scheduled: no warning at start.
    admin(env, "config", "set", "sys:connection:type", "i4:2")
    # A setting stored after the events: whoever reads the file must get past them to see it.
    admin(env, "config", "set", "sys:routers", "i4:3")
    assert "sys:routers=i4:3" in admin(env, "config", "list").stdout.split()

    server = env.start().wait_ready()
    wait_for(lambda: fired(env, 4) >= 3, "three evaluations")
    assert (fired(env, 0), fired(env, 1), fired(env, 2), fired(env, 3), fired(env, 5)) == (0, 0, 1, 1, 0), log_text(env)
    log = log_text(env)
    assert "event 2 is due; a send/receive cycle is requested (outgoing delivery, SMTP pickup)" in log
    assert "event 3 is due; a send/receive cycle is requested (POP3 pickup)" in log
    assert "dial-up" not in log

    # While it runs, the schedule is read from the file and changed through the server, which saves it.
    listing = admin(env, "schedule", "list").stdout.splitlines()
    assert [line.split()[0] for line in listing] == ["0", "1", "2", "3", "4", "5"], listing
    assert listing[1].endswith("days %s enabled" % not_today) and listing[5].endswith("disabled")
    assert admin(env, "schedule", "add", "--outgoing", "--at", "10:00").stdout.startswith("6 outgoing at 10:00")
    assert admin(env, "schedule", "list").stdout.splitlines()[:6] == listing
    admin(env, "schedule", "remove", "6")
    assert admin(env, "schedule", "list").stdout.splitlines() == listing

    assert server.stop() == 0
    assert cycles(env) >= 1, log_text(env)  # the firings started send/receive cycles

    # Without the events that fire at every evaluation (4) and once at the start (3), the next start
    # fires only event 2 again (firings are kept in memory only), which brings one cycle; after it only
    # connect-now brings another.
    admin(env, "schedule", "remove", "4")
    admin(env, "schedule", "remove", "3")
    listing = admin(env, "schedule", "list").stdout.splitlines()
    assert [line.split()[0] for line in listing] == ["0", "1", "2", "3"] and listing[3].endswith("disabled")
    before = fired(env, 2), finished(env)
    server = env.start().wait_ready()
    wait_for(lambda: fired(env, 2) == before[0] + 1 and finished(env) > before[1], "the firing's cycle to finish")
    started = cycles(env)
    sent = admin(env, "connect-now")
    assert "process %d" % server.proc.pid in sent.stdout
    # A server that the signal ended stops the wait too.
    wait_for(lambda: server.proc.poll() is not None or cycles(env) > started, "the connect-now's cycle")
    assert server.proc.poll() is None, log_text(env)
    assert re.search(r"Connect now requested by process \d+", log_text(env))
    assert server.stop() == 0

    # Removing moves the later events down; the settings after them still read.
    admin(env, "schedule", "remove", "0")
    listing = admin(env, "schedule", "list").stdout.splitlines()
    assert [line.split()[0] for line in listing] == ["0", "1", "2"]
    assert listing[1].startswith("1 outgoing,smtp range ")
    assert admin(env, "config", "get", "sys:routers").stdout.strip() == "i4:3"

    # No server: connect-now fails with one line.
    alone = env.admin("connect-now")
    assert alone.returncode == 1 and len(alone.stderr.strip().splitlines()) == 1 and "no server" in alone.stderr


def test_incomplete_events_are_refused_and_dial_up_without_scheduled_delivery_is_warned_about(registered):
    env = registered
    for bad in (["--outgoing", "--at", "24:61"], ["--outgoing", "--from", "10:00", "--to", "9:00", "--every", "5"],
                ["--outgoing", "--from", "10:00", "--to", "11:00"], ["--outgoing"], ["--at", "10:00"],
                ["--outgoing", "--at", "10:00", "--every", "5", "--from", "01:00", "--to", "02:00"],
                ["--outgoing", "--at", "10:00", "--days", "mon,someday"], ["--smtp", "--at", "10:00", "--days", ","],
                ["--smtp", "--from", "10:00", "--to", "11:00", "--every", "65536"]):
        refused = env.admin("schedule", "add", *bad)
        assert refused.returncode == 1 and len(refused.stderr.strip().splitlines()) == 1, (bad, refused)
    assert env.admin("schedule", "add", "--outgoing", "--at").returncode == 2  # a usage error
    assert env.admin("schedule", "list").stdout == ""
    assert env.admin("schedule", "remove", "0").returncode == 1

    env.configure_logging(2, 3)
    admin(env, "config", "set", "sys:connection:type", "i4:2")
    admin(env, "schedule", "add", "--smtp", "--outgoing", "--at", "08:00", "--disabled")
    admin(env, "schedule", "add", "--smtp", "--at", "08:00")
    server = env.start().wait_ready()
    wait_for_log(env, r"Warning.*dial-up and no enabled event of the connection schedule asks for outgoing delivery",
                 "the dial-up warning")
    assert server.stop() == 0
