#!/usr/bin/env python3
"""How the IMAP structure parser scales with hostile sizes: a 20 MB message of 5,000 base64 parts,
the same at half the size (the ratio shows whether the time is linear), and a message nested 50
levels deep. Needs only the build's pw_m5_dump (no peer, no root):

    python3 bench/m5_parse.py [--build build] [--dir /tmp]

Each message is opened, every part walked and every body decoded (pw_m5_dump --summary); the best of
three runs counts. Prints "m5_parse_20mb_5000parts: ours=X s peer=none", the 10 MB line, the ratio
as "m5_parse_linearity: ours=R peer=none" (about 2 for linear time), and "m5_parse_nested50": 50
multiparts one inside the other, whose innermost text lies past the nesting cap (status 40: what
was parsed before the cap stands).
"""
import argparse
import base64
import json
import os
import subprocess
import sys
import tempfile


def multipart(parts, part_bytes):
    body = base64.encodebytes(os.urandom(part_bytes * 3 // 4)).replace(b"\n", b"\r\n")
    out = [b"From: a@example.com\r\nSubject: many parts\r\nMIME-Version: 1.0\r\n"
           b"Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\npreamble\r\n"]
    for n in range(parts):
        out.append(b"--b\r\nContent-Type: application/octet-stream; name=\"p%d.bin\"\r\n"
                   b"Content-Transfer-Encoding: base64\r\n\r\n" % n + body)
    out.append(b"--b--\r\nepilogue\r\n")
    return b"".join(out)


def nested(depth):
    """depth + 1 multiparts, one inside the other, around one text part."""
    head = b"".join(b"--b%d\r\nContent-Type: multipart/mixed; boundary=\"b%d\"\r\n\r\n" % (n, n + 1) for n in range(depth))
    tail = b"".join(b"--b%d--\r\n" % n for n in reversed(range(depth + 1)))
    return (b"Subject: deep\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b0\"\r\n\r\n" + head +
            b"--b%d\r\nContent-Type: text/plain\r\n\r\ninnermost\r\n" % depth + tail)


def best(dump, path):
    runs = []
    for _ in range(3):
        result = subprocess.run([dump, "--summary", path], capture_output=True, text=True, check=True, timeout=600)
        runs.append(json.loads(result.stdout))
    return min(runs, key=lambda run: run["seconds"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    dump = os.path.join(args.build, "bin", "pw_m5_dump")
    with tempfile.TemporaryDirectory(dir=args.dir) as work:
        times = {}
        for name, data in (("10mb_2500parts", multipart(2500, 4000)), ("20mb_5000parts", multipart(5000, 4000)),
                           ("nested50", nested(49))):
            path = os.path.join(work, name + ".eml")
            with open(path, "wb") as f:
                f.write(data)
            run = best(dump, path)
            times[name] = run["seconds"]
            print("m5_parse_%s: ours=%.3f s peer=none  (%d parts, %d bytes decoded, status %d)"
                  % (name, run["seconds"], run["parts"], run["decoded"], run["status"]))
        print("m5_parse_linearity: ours=%.2f peer=none  (20 MB time / 10 MB time; 2 is linear)"
              % (times["20mb_5000parts"] / times["10mb_2500parts"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
