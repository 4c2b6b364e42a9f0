"""The MIME model held against Python's email package: every message in tests/data/mime is read by
pw_mime_dump and by email (compat32), leaf part by leaf part, and a message saved and loaded again
must read exactly as it did the first time."""
import email
import email.header
import email.policy
import glob
import json
import os
import subprocess

import pytest

from conftest import BIN, WAIT

DUMP = os.path.join(BIN, "pw_mime_dump")
CORPUS = sorted(glob.glob(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../data/mime/*.eml")))


def dump(path, *mode):
    result = subprocess.run([DUMP, *mode, str(path)], capture_output=True, timeout=WAIT)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return json.loads(result.stdout)


def our_leaves(dumped, scratch):
    """(type, decoded body) of our leaf parts. We keep message/rfc822 as one opaque leaf while email
    walks into it, so the attached message is dumped on its own and its leaves take its place."""
    for part in dumped["parts"]:
        body = bytes.fromhex(part["body"])
        if part["type"] != "message/rfc822":
            yield part["type"], body
            continue
        inner = scratch / ("attached-%d.eml" % len(list(scratch.iterdir())))
        inner.write_bytes(body)
        attached = dump(inner)
        assert attached["result"] == "S_OK"
        yield from our_leaves(attached, scratch)


def python_leaves(raw):
    message = email.message_from_bytes(raw, policy=email.policy.compat32)
    return [(part.get_content_type(), part.get_payload(decode=True)) for part in message.walk() if not part.is_multipart()]


def comparable(content_type, body):
    # Decoded text may end in a line break on one side only: we write the CR LF that a
    # quoted-printable line break stands for, email keeps the break as read (or none when the part
    # ends without one). Only such trailing CR LF / LF differences are forgiven, and only for text.
    return body.rstrip(b"\r\n") if content_type.startswith("text/") else body


def python_words(raw, field):
    message = email.message_from_bytes(raw, policy=email.policy.compat32)
    value = message.get(field)
    if value is None:
        return []
    return [(text, charset) for text, charset in email.header.decode_header(str(value)) if charset is not None]


def merged_words(words):
    """Our words, one per encoded word, merged as email merges neighbours of the same charset."""
    merged = []
    for word in words:
        text, charset = bytes.fromhex(word["text"]), word["charset"].lower()
        if merged and merged[-1][1] == charset:
            merged[-1] = (merged[-1][0] + text, charset)
        else:
            merged.append((text, charset))
    return merged


def test_corpus_is_there():
    assert len(CORPUS) >= 8, CORPUS
    assert os.access(DUMP, os.X_OK), "build pw_mime_dump first (PELLWORTH_BIN=%s)" % BIN


@pytest.mark.parametrize("path", CORPUS, ids=os.path.basename)
def test_leaf_parts_match_python_email(path, tmp_path):
    with open(path, "rb") as f:
        raw = f.read()
    dumped = dump(path)
    assert dumped["result"] == "S_OK"
    assert dumped["mime"] == ("MIME-Version" in email.message_from_bytes(raw, policy=email.policy.compat32))
    ours = [(t, comparable(t, b)) for t, b in our_leaves(dumped, tmp_path)]
    theirs = [(t, comparable(t, b)) for t, b in python_leaves(raw)]
    assert [t for t, _ in ours] == [t for t, _ in theirs]
    for (content_type, mine), (_, python) in zip(ours, theirs):
        assert mine == python, content_type
    for field in ("subject", "from", "to"):
        assert merged_words(dumped["words"][field]) == python_words(raw, field), field


@pytest.mark.parametrize("path", CORPUS, ids=os.path.basename)
def test_save_and_reload_reads_the_same(path):
    assert dump(path, "--reload") == dump(path)
