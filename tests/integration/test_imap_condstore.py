"""Mod-sequences over IMAP: what a client that counts them is told (HIGHESTMODSEQ, MODSEQ with flags,
CHANGEDSINCE, UNCHANGEDSINCE with MODIFIED, SEARCH MODSEQ, STATUS), and a client that was away
resynchronising in one SELECT with exactly what other sessions changed and removed meanwhile."""
import re

from test_imap_mailboxes import deliver, installation, login

PERMANENT = b"* OK [PERMANENTFLAGS (\\Answered \\Deleted \\Draft \\Flagged \\Seen \\*)] Permanent flags"
FLAGS = b"* FLAGS (\\Answered \\Deleted \\Draft \\Flagged \\Seen)"


def number(pattern, lines):
    """The first number `pattern` captures in any of the lines."""
    for line in lines:
        found = re.search(pattern, line)
        if found:
            return int(found.group(1))
    raise AssertionError("%r not in %r" % (pattern, lines))


def highest(lines):
    return number(rb"^\* OK \[HIGHESTMODSEQ (\d+)\] Highest$", lines)


def modseqs(lines):
    """Message number -> MODSEQ of every FETCH line."""
    return {int(m.group(1)): int(m.group(2)) for m in (re.match(rb"^\* (\d+) FETCH \(.*MODSEQ \((\d+)\)\)$", l) for l in lines) if m}


def started(env, messages):
    """A running server whose john has `messages` messages, delivered one at a time so that UID n holds
    message n (routers deliver side by side); returns the ports."""
    ports = installation(env)
    env.start().wait_ready()
    for n in range(1, messages + 1):
        deliver(env, ports["smtp"], 1, first=n)
    return ports


def test_condstore_counts_every_change_and_stores_only_what_is_unchanged(registered):
    ports = started(registered, 3)
    one = login(ports["imap"])
    assert b" CONDSTORE" in one.ask(b"CAPABILITY")[0]
    selected = one.ask(b"SELECT INBOX (CONDSTORE)")
    start = highest(selected)
    assert selected[-1] == b"t OK [READ-WRITE] SELECT completed" and start > 0
    fetched = one.ask(b"FETCH 1:* (MODSEQ)")
    first = modseqs(fetched)
    assert sorted(first) == [1, 2, 3] and max(first.values()) <= start, fetched
    assert fetched[0] == b"* 1 FETCH (MODSEQ (%d))" % first[1]

    # Each flag change raises the message above everything before; its line names the new value.
    stored = one.ask(b"STORE 1 +FLAGS (\\Flagged)")
    one_after = modseqs(stored)[1]
    assert one_after > start and stored == [b"* 1 FETCH (FLAGS (\\Flagged \\Recent) MODSEQ (%d))" % one_after, b"t OK STORE completed"]
    assert one.ask(b"FETCH 1:* (FLAGS) (CHANGEDSINCE %d)" % start) == [
        b"* 1 FETCH (FLAGS (\\Flagged \\Recent) MODSEQ (%d))" % one_after, b"t OK FETCH completed"]
    assert one.ask(b"UID FETCH 1:* (UID) (CHANGEDSINCE %d)" % one_after) == [b"t OK FETCH completed"]

    # A conditional store leaves the message changed since and names it; the other is stored.
    stored = one.ask(b"STORE 1:2 (UNCHANGEDSINCE %d) +FLAGS.SILENT (\\Seen)" % start)
    two_after = modseqs(stored)[2]
    assert two_after > one_after
    assert stored == [b"* 2 FETCH (MODSEQ (%d))" % two_after, b"t OK [MODIFIED 1] Conditional STORE failed"]
    assert one.ask(b"UID STORE 1,3 (UNCHANGEDSINCE 0) FLAGS (\\Seen)") == [b"t OK [MODIFIED 1,3] Conditional STORE failed"]
    assert one.ask(b"FETCH 1:3 (FLAGS)")[:3] == [b"* 1 FETCH (FLAGS (\\Flagged \\Recent) MODSEQ (%d))" % one_after,
                                                 b"* 2 FETCH (FLAGS (\\Recent \\Seen) MODSEQ (%d))" % two_after,
                                                 b"* 3 FETCH (FLAGS (\\Recent) MODSEQ (%d))" % first[3]]

    # Another session's change reaches this one with its mod-sequence; one that never enabled
    # anything gets no MODSEQ until its first command that uses them, which tells it the highest.
    other = login(ports["imap"])
    assert other.ask(b"SELECT INBOX")[-1] == b"t OK [READ-WRITE] SELECT completed"
    assert other.ask(b"STORE 3 +FLAGS (\\Answered)") == [b"* 3 FETCH (FLAGS (\\Answered))", b"t OK STORE completed"]
    noop = one.ask(b"NOOP")
    three_after = modseqs(noop)[3]
    assert noop == [b"* 3 FETCH (UID 3 FLAGS (\\Answered \\Recent) MODSEQ (%d))" % three_after, b"t OK NOOP completed"]
    assert three_after > two_after
    # Its own store's value it knows; the highest it is told is no more than what it was shown.
    answer = other.ask(b"FETCH 3 (MODSEQ)")
    assert answer == [b"* OK [HIGHESTMODSEQ %d] Highest" % two_after, b"* 3 FETCH (MODSEQ (%d))" % three_after, b"t OK FETCH completed"]
    stored = other.ask(b"STORE 3 -FLAGS (\\Answered)")
    latest = modseqs(stored)[3]
    assert latest > three_after and stored == [b"* 3 FETCH (FLAGS () MODSEQ (%d))" % latest, b"t OK STORE completed"]
    assert one.ask(b"NOOP") == [b"* 3 FETCH (UID 3 FLAGS (\\Recent) MODSEQ (%d))" % latest, b"t OK NOOP completed"]

    # SEARCH MODSEQ names the highest value among what it found; STATUS gives the folder's.
    assert one.ask(b"SEARCH MODSEQ %d" % two_after) == [b"* SEARCH 2 3 (MODSEQ %d)" % latest, b"t OK SEARCH completed"]
    assert one.ask(b'UID SEARCH MODSEQ "/flags/\\\\seen" all %d' % (latest + 1)) == [b"* SEARCH", b"t OK SEARCH completed"]
    assert one.ask(b"SORT (REVERSE SUBJECT) UTF-8 MODSEQ %d" % two_after) == [b"* SORT 3 2 (MODSEQ %d)" % latest, b"t OK SORT completed"]
    assert one.ask(b"SEARCH RETURN (COUNT) MODSEQ 1") == [b'* ESEARCH (TAG "t") COUNT 3 MODSEQ %d' % latest, b"t OK SEARCH completed"]
    assert one.ask(b"STATUS INBOX (MESSAGES HIGHESTMODSEQ)") == [b'* STATUS "INBOX" (MESSAGES 3 HIGHESTMODSEQ %d)' % latest,
                                                                 b"t OK STATUS completed"]

    # Malformed and out-of-range modifiers are refused before anything is touched.
    for command in (b"FETCH 1 (FLAGS) (CHANGEDSINCE 0)", b"FETCH 1 (FLAGS) (CHANGEDSINCE 9223372036854775808)",
                    b"FETCH 1 (FLAGS) (CHANGEDSINCE 99999999999999999999999)", b"FETCH 1 (FLAGS) (CHANGEDSINCE)",
                    b"FETCH 1 (FLAGS) (CHANGEDSINCE -1)", b"FETCH 1 (FLAGS) (BOGUS 1)", b"UID FETCH 1 (FLAGS) (CHANGEDSINCE 1 VANISHED)",
                    b"STORE 1 (UNCHANGEDSINCE x) +FLAGS (\\Seen)", b"STORE 1 (UNCHANGEDSINCE) +FLAGS (\\Seen)",
                    b"STORE 1 (UNCHANGEDSINCE 1)", b"STORE 1 (UNCHANGEDSINCE 1) +FLAGS ((\\Seen))",
                    b"SEARCH MODSEQ", b'SEARCH MODSEQ "/flags/\\\\seen" bogus 1', b"SEARCH MODSEQ 1x"):
        answer = one.ask(command)
        assert len(answer) == 1 and answer[0].startswith(b"t BAD "), (command, answer)
    assert modseqs(one.ask(b"FETCH 1:3 (MODSEQ)")) == {1: one_after, 2: two_after, 3: latest}
    one.close()
    other.close()


def test_qresync_client_resynchronises_in_one_select(registered):
    ports = started(registered, 6)
    away = login(ports["imap"])
    assert away.ask(b"ENABLE QRESYNC CONDSTORE") == [b"* ENABLED QRESYNC", b"t OK ENABLE completed"]
    assert away.ask(b"ENABLE QRESYNC") == [b"* ENABLED", b"t OK ENABLE completed"]
    selected = away.ask(b"SELECT INBOX")
    validity = number(rb"UIDVALIDITY (\d+)", selected)
    known = highest(selected)
    away.close()

    # Meanwhile another session flags one message and expunges two.
    other = login(ports["imap"])
    assert other.ask(b"ENABLE CONDSTORE") == [b"* ENABLED CONDSTORE", b"t OK ENABLE completed"]
    assert highest(other.ask(b"SELECT INBOX")) == known
    flagged = modseqs(other.ask(b"STORE 2 +FLAGS (\\Flagged)"))[2]
    assert flagged > known
    assert len(other.ask(b"STORE 4:5 +FLAGS.SILENT (\\Deleted)")) == 3
    assert other.ask(b"EXPUNGE") == [b"* 5 EXPUNGE", b"* 4 EXPUNGE", b"t OK EXPUNGE completed"]
    now = number(rb"HIGHESTMODSEQ (\d+)", other.ask(b"STATUS INBOX (HIGHESTMODSEQ)"))
    assert now > flagged

    # One SELECT carries exactly those changes.
    back = login(ports["imap"])
    assert back.ask(b"ENABLE QRESYNC") == [b"* ENABLED QRESYNC", b"t OK ENABLE completed"]
    mailbox_id = b"* OK [MAILBOXID (%s)] Ok" % re.search(rb"MAILBOXID \((\w+)\)", b" ".join(back.ask(b"STATUS INBOX (MAILBOXID)"))).group(1)
    resync = back.ask(b"SELECT INBOX (QRESYNC (%d %d 1:6))" % (validity, known))
    assert resync == [b"* 4 EXISTS", b"* 0 RECENT", b"* OK [UNSEEN 1] Message 1 is first unread",
                      b"* OK [UIDNEXT 7] Predicted next message UID", b"* OK [UIDVALIDITY %d] UID validity status" % validity,
                      mailbox_id, PERMANENT, FLAGS, b"* OK [HIGHESTMODSEQ %d] Highest" % now, b"* VANISHED (EARLIER) 4:5",
                      b"* 2 FETCH (UID 2 FLAGS (\\Flagged) MODSEQ (%d))" % flagged, b"t OK [READ-WRITE] SELECT completed"]
    # Known UIDs bound what is reported vanished; another UID validity means nothing is compared;
    # nothing changed since the highest means nothing is sent.
    assert back.ask(b"EXAMINE INBOX (QRESYNC (%d %d 1:3))" % (validity, known))[9:] == [
        b"* 2 FETCH (UID 2 FLAGS (\\Flagged) MODSEQ (%d))" % flagged, b"t OK [READ-ONLY] EXAMINE completed"]
    assert back.ask(b"EXAMINE INBOX (QRESYNC (%d %d))" % (validity + 1, known))[8:] == [
        b"* OK [HIGHESTMODSEQ %d] Highest" % now, b"t OK [READ-ONLY] EXAMINE completed"]
    assert back.ask(b"EXAMINE INBOX (QRESYNC (%d %d 1:6 (1:3 1:3)))" % (validity, now))[9:] == [b"t OK [READ-ONLY] EXAMINE completed"]
    # A mod-sequence from before the index remembers: every known UID that is gone is reported.
    old = back.ask(b"SELECT INBOX (QRESYNC (%d 1 2:9))" % validity)
    assert old[9] == b"* VANISHED (EARLIER) 4:5,7:9" and len(old) == 15, old

    # Once enabled, expunges are VANISHED; UID FETCH ... VANISHED reports what left since.
    assert len(other.ask(b"STORE 4 +FLAGS.SILENT (\\Deleted)")) == 2
    assert other.ask(b"EXPUNGE") == [b"* 4 EXPUNGE", b"t OK EXPUNGE completed"]
    assert back.ask(b"NOOP") == [b"* VANISHED 6", b"t OK NOOP completed"]
    assert back.ask(b"UID FETCH 1:* (FLAGS) (CHANGEDSINCE %d VANISHED)" % known) == [
        b"* VANISHED (EARLIER) 4:6", b"* 2 FETCH (UID 2 FLAGS (\\Flagged) MODSEQ (%d))" % flagged, b"t OK FETCH completed"]
    assert back.ask(b"STORE 1 +FLAGS.SILENT (\\Deleted)")[-1] == b"t OK STORE completed"
    assert back.ask(b"UID EXPUNGE 1:3") == [b"* VANISHED 1", b"t OK EXPUNGE completed"]

    # Hostile parameters.
    for command in (b"SELECT INBOX (QRESYNC)", b"SELECT INBOX (QRESYNC (1))", b"SELECT INBOX (QRESYNC (0 1))",
                    b"SELECT INBOX (QRESYNC (4294967296 1))", b"SELECT INBOX (QRESYNC (1 0))", b"SELECT INBOX (QRESYNC (1 1 1:*))",
                    b"SELECT INBOX (QRESYNC (1 1 1:2 (1)))", b"SELECT INBOX (QRESYNC (1 1 1:2 3 4))", b"SELECT INBOX (BOGUS)",
                    b"SELECT INBOX (CONDSTORE CONDSTORE)", b"SELECT INBOX CONDSTORE"):
        answer = back.ask(command)
        assert len(answer) == 1 and answer[0].startswith(b"t BAD "), (command, answer)
    fresh = login(ports["imap"])
    assert fresh.ask(b"SELECT INBOX (QRESYNC (1 1))")[0].startswith(b"t BAD ")
    fresh.close()
    back.close()
    other.close()


def test_conditional_stores_racing_from_two_sessions_let_exactly_one_win(registered):
    ports = started(registered, 1)
    sessions = [login(ports["imap"]), login(ports["imap"])]
    for raw in sessions:
        assert raw.ask(b"ENABLE CONDSTORE") == [b"* ENABLED CONDSTORE", b"t OK ENABLE completed"]
        assert raw.ask(b"SELECT INBOX")[-1] == b"t OK [READ-WRITE] SELECT completed"
    for round_ in range(20):
        seen = set()
        for raw in sessions:
            raw.ask(b"NOOP")
            seen.add(modseqs(raw.ask(b"FETCH 1 (MODSEQ)"))[1])
        assert len(seen) == 1, seen
        base = seen.pop()
        # Both sent before either answer is read: the two checks and writes meet in the server.
        for name, raw in zip((b"a", b"b"), sessions):
            raw.send(b"t STORE 1 (UNCHANGEDSINCE %d) FLAGS ($%s%d)\r\n" % (base, name, round_))
        outcomes = []
        answers = []
        for raw in sessions:
            lines = []
            while not lines or not lines[-1].startswith(b"t "):
                lines.append(raw.line())
            outcomes.append(lines[-1])
            answers.append(lines)
        assert sorted(outcomes) == [b"t OK STORE completed", b"t OK [MODIFIED 1] Conditional STORE failed"], (round_, outcomes)
        won = 0 if outcomes[0] == b"t OK STORE completed" else 1
        winner = b"$a%d" % round_ if won == 0 else b"$b%d" % round_
        # The loser hears the winner's flags, which are what the store holds; its refused store left
        # the message as the winner wrote it, mod-sequence and all.
        loser = sessions[1 - won]
        loser.ask(b"NOOP")
        assert re.search(rb"FLAGS \(([^)]*)\)", loser.ask(b"FETCH 1 (FLAGS)")[0]).group(1) in (winner, b"\\Recent " + winner)
        assert modseqs(loser.ask(b"FETCH 1 (MODSEQ)"))[1] == modseqs(answers[won])[1], (round_, answers)
    for raw in sessions:
        raw.close()
