"""The IMAP structure parser (src/m5) held against Python's email package: every message in
tests/data/mime and the m5 fuzz seeds that are well-formed enough for email to agree on is read by
pw_m5_dump and by email (compat32): the same parts in the same depth-first order with the same types,
the same decoded leaf bodies, raw body ranges that hold what email holds as the payload, the same
attachment names and the same decoded subjects and addresses."""
import email
import email.header
import email.policy
import email.utils
import glob
import json
import os
import subprocess

import pytest

from conftest import BIN, WAIT

DUMP = os.path.join(BIN, "pw_m5_dump")
HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = sorted(glob.glob(os.path.join(HERE, "../data/mime/*.eml")) + glob.glob(os.path.join(HERE, "../data/m5/*.eml")))


def dump(path):
    result = subprocess.run([DUMP, str(path)], capture_output=True, timeout=WAIT)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return json.loads(result.stdout)


def comparable(content_type, body):
    # Decoded text may end in a line break on one side only (we write the CR LF a quoted-printable
    # line break stands for); only trailing CR LF / LF differences are forgiven, and only for text.
    return body.rstrip(b"\r\n") if content_type.startswith("text/") else body


def python_text(value):
    if value is None:
        return ""
    words = email.header.decode_header(str(value))
    out = []
    for text, charset in words:
        if isinstance(text, str):
            out.append(text)
        else:
            out.append(text.decode(charset or "ascii", errors="replace"))
    return " ".join(" ".join(out).split())


def squeeze(text):
    return " ".join(text.split())


def test_dump_is_built():
    assert len(CORPUS) >= 8, CORPUS
    assert os.access(DUMP, os.X_OK), "build pw_m5_dump first (PELLWORTH_BIN=%s)" % BIN


@pytest.mark.parametrize("path", CORPUS, ids=os.path.basename)
def test_structure_and_bodies_match_python_email(path):
    with open(path, "rb") as f:
        raw = f.read()
    dumped = dump(path)
    assert dumped["status"] == 0
    ours = dumped["parts"]
    theirs = list(email.message_from_bytes(raw, policy=email.policy.compat32).walk())
    assert [p["type"] for p in ours] == [p.get_content_type() for p in theirs]
    for mine, python in zip(ours, theirs):
        offset, length = mine["body"]
        header_offset, header_length = mine["header"]
        assert header_offset + header_length <= offset and offset + length <= len(raw)
        if mine["parent"] >= 0:
            parent = ours[mine["parent"]]
            assert parent["body"][0] <= header_offset and offset + length <= sum(parent["body"])
        # Lines as BODYSTRUCTURE counts them: what bytes.splitlines finds (CR LF, LF or CR).
        assert mine["lines"] == len(raw[offset:offset + length].splitlines())
        filename = bytes.fromhex(mine["filename"]).decode()
        assert filename == (python.get_filename() or ""), mine["type"]
        if python.is_multipart() or mine["type"] == "message/rfc822":
            continue
        decoded = bytes.fromhex(mine["decoded"])
        assert comparable(mine["type"], decoded) == comparable(mine["type"], python.get_payload(decode=True)), mine["type"]
        # The raw range is the payload email keeps (8-bit text it hands out decoded by the part's
        # charset, which encodes back to the stored bytes).
        payload = python.get_payload().encode(python.get_content_charset() or "utf-8", "surrogateescape")
        assert comparable("text/", raw[offset:offset + length]) == comparable("text/", payload)


@pytest.mark.parametrize("path", CORPUS, ids=os.path.basename)
def test_envelopes_match_python_email(path):
    with open(path, "rb") as f:
        raw = f.read()
    dumped = dump(path)
    messages = [m for m in email.message_from_bytes(raw, policy=email.policy.compat32).walk()
                if m is not None and (m.get("From") or m.get("Subject"))]
    envelopes = dumped["envelopes"]
    assert envelopes and envelopes[0]["part"] == 0
    # Every embedded message has an envelope, and the envelope of part N is that message's header.
    assert len(envelopes) == 1 + sum(1 for p in dumped["parts"] if p["type"] == "message/rfc822")
    top = email.message_from_bytes(raw, policy=email.policy.compat32)
    wanted = [top] + [p.get_payload(0) for p in top.walk() if p.get_content_type() == "message/rfc822"]
    assert len(wanted) == len(envelopes)
    for envelope, message in zip(envelopes, wanted):
        assert squeeze(bytes.fromhex(envelope["subject"]).decode()) == python_text(message.get("Subject"))
        for field in ("from", "to", "cc"):
            addresses = email.utils.getaddresses(message.get_all(field.capitalize(), []))
            expected = [(python_text(name), addr.lower()) for name, addr in addresses if addr]
            got = [(squeeze(bytes.fromhex(name).decode()), "%s@%s" % (local, domain)) for name, local, domain in envelope[field]]
            assert got == expected, field
    assert messages
