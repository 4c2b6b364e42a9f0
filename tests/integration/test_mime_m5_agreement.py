"""The message model (src/mime, pw_mime_dump) and the IMAP structure parser (src/m5, pw_m5_dump) held
against each other: every message in tests/data/mime and tests/data/structure (look-alike and quoted
boundaries, RFC 2231 sections, delimiter lines with trailing text or blanks, LF line ends) must give
the same part tree -- the same multiparts with the same boundaries, the same leaves at the same
positions with the same types and the same stored body bytes. An embedded message is a leaf here: the
model does not walk into it."""
import glob
import json
import os
import subprocess

import pytest

from conftest import BIN, WAIT

MIME_DUMP = os.path.join(BIN, "pw_mime_dump")
M5_DUMP = os.path.join(BIN, "pw_m5_dump")
HERE = os.path.dirname(os.path.abspath(__file__))
STRUCTURE = sorted(glob.glob(os.path.join(HERE, "../data/structure/*.eml")))
CORPUS = sorted(glob.glob(os.path.join(HERE, "../data/mime/*.eml"))) + STRUCTURE


def run(tool, path):
    result = subprocess.run([tool, str(path)], capture_output=True, timeout=WAIT)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return json.loads(result.stdout)


def position(entry):
    return tuple(entry["position"])


def mime_tree(path):
    """{position: ("multipart", type, boundary) | ("leaf", type, stored body)} as the model reads it."""
    dump = run(MIME_DUMP, path)
    tree = {position(m): ("multipart", m["type"], m["boundary"]) for m in dump["multiparts"]}
    for leaf in dump["parts"]:
        at = position(leaf)
        # A message that is one part is listed as its own first part; the root is its place.
        if () not in tree and at in ((), (0,)):
            at = ()
        tree[at] = ("leaf", leaf["type"], bytes.fromhex(leaf["raw"]))
    return tree


def m5_tree(path):
    """The same map as the IMAP parser reads it; embedded messages are not entered."""
    with open(path, "rb") as f:
        data = f.read()
    parts = run(M5_DUMP, path)["parts"]
    tree = {}

    def walk(number, at):
        part = parts[number]
        if part["type"].startswith("multipart/") and part["children"]:
            tree[at] = ("multipart", part["type"], part["boundary"])
            for index, child in enumerate(part["children"]):
                walk(child, at + (index,))
            return
        offset, length = part["body"]
        tree[at] = ("leaf", part["type"], data[offset:offset + length])

    walk(0, ())
    return tree


def test_dumps_are_built_and_corpus_is_there():
    assert len(STRUCTURE) >= 6, STRUCTURE
    assert os.access(MIME_DUMP, os.X_OK) and os.access(M5_DUMP, os.X_OK), "build the dumpers first (%s)" % BIN


@pytest.mark.parametrize("path", CORPUS, ids=os.path.basename)
def test_both_readers_give_the_same_part_tree(path):
    mime, m5 = mime_tree(path), m5_tree(path)
    assert sorted(mime) == sorted(m5), "positions differ"
    for at in sorted(mime):
        assert mime[at] == m5[at], "part %s differs" % (at,)


# What the corpus is there to show, written out, so that two readers agreeing on a wrong tree fail too.
EXPECTED_SHAPES = {
    "quoted-semicolon-boundary.eml": ("c", [(0,), (1,)]),
    "xboundary-parameter.eml": ("real", [(0,), (1,)]),
    "rfc2231-boundary.eml": ("section-ed", [(0,), (1, 0)]),
    "delimiter-trailing-text.eml": ("sep", [(0,), (1,)]),
    "lookalike-prefix-boundaries.eml": ("b", [(0, 0), (0, 1), (1,)]),
    "bare-lf-quoted.eml": ("lf=sep", [(0,), (1,)]),
}


@pytest.mark.parametrize("name", sorted(EXPECTED_SHAPES))
def test_structure_corpus_reads_as_written(name):
    boundary, leaves = EXPECTED_SHAPES[name]
    tree = m5_tree(os.path.join(HERE, "../data/structure", name))
    assert tree[()][:1] == ("multipart",) and tree[()][2] == boundary
    assert sorted(at for at, node in tree.items() if node[0] == "leaf") == leaves
    bodies = b"".join(node[2] for node in tree.values() if node[0] == "leaf")
    # No delimiter of the right boundary is ever left inside a leaf's bytes.
    for line in bodies.splitlines():
        assert line.rstrip(b" \t") not in (b"--" + boundary.encode(), b"--" + boundary.encode() + b"--"), (name, line)
