#!/usr/bin/env python3
"""What the spam checks cost: SMTP intake with and without a 100,000-entry enemy senders list and a
charset filter of 50 names (both switched on), and the phrase filter scoring a 1 MB HTML message
against 1,000 phrases. No peer; bench/run runs it after the other measurements, and it runs alone as

    python3 bench/antispam.py [--build build] [--messages M] [--sessions C] [--dir D]

(the intake part needs Postfix's smtp-source, which bench/run installs). Prints

    antispam_smtp_intake_4k: without=X msg/s with=Y msg/s ratio=R (aim: at least 0.95)
    antispam_phrase_score_1mb_1000phrases: X ms (aim: under 100 ms)

Intake: smtp-source sends M messages of 4 KB (default 2000) from C lanes (default 20) to 50
mailboxes, as smtp_intake_4k does, and the rate counts until the last message is in its inbox; the
two configurations take turns, twice each, and the better run of each counts. Scoring: the best of
five runs of `pellworth-admin phrases score`, the whole process included, with the stop flag off so
that the whole message is read.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (the private server installation and the SMTP driver)

ENEMIES = 100000
CHARSETS = ["ISO-2022-JP", "SHIFT_JIS", "EUC-JP", "GB2312", "GBK", "GB18030", "BIG5", "BIG5-HKSCS", "EUC-KR",
            "ISO-2022-KR", "KOI8-R", "KOI8-U", "WINDOWS-1251", "CP866", "ISO-8859-5", "WINDOWS-1256",
            "ISO-8859-6", "WINDOWS-1255", "ISO-8859-8", "WINDOWS-874", "TIS-620", "WINDOWS-1258", "VISCII",
            "ISO-8859-7", "WINDOWS-1253", "ISO-8859-9", "WINDOWS-1254", "ISO-8859-2", "WINDOWS-1250",
            "ISO-8859-4", "WINDOWS-1257", "ISO-8859-13", "ISO-8859-3", "ISO-8859-10", "ISO-8859-14",
            "ISO-8859-16", "CP437", "CP850", "CP852", "CP855", "CP857", "CP860", "CP861", "CP862", "CP863",
            "CP864", "CP865", "CP869", "MACINTOSH", "ARMSCII-8"]


def list_file(entries):
    """A sender list file: u32 1, then per entry the key and the name, each u32 length and bytes."""
    out = [struct.pack("<I", 1)]
    for key in entries:
        data = key.encode()
        out.append(struct.pack("<I", len(data)) + data + struct.pack("<I", 0))
    return b"".join(out)


def enemies():
    """Mostly exact addresses, some "*@domain" patterns, a few general ones -- none the bench sender."""
    keys = ["spammer%d@bulk%d.test" % (n, n % 977) for n in range(ENEMIES - 1000)]
    keys += ["*@junk%d.test" % n for n in range(990)]
    keys += ["offer%d*@*.example" % n for n in range(10)]
    return keys


def intake(args, work, filtered):
    server, users = bench.intake_server(args, work)
    if filtered:
        for key in ("sys:spam:enemies:enabled", "sys:spam:charset:enabled"):
            server.admin("config", "set", key, "bool:true")
        with open(os.path.join(server.store, "BadSenders.lst"), "wb") as f:
            f.write(list_file(enemies()))
        for name in CHARSETS:
            server.admin("charset", "add", name)
    return bench.intake_rate(args, server, users, 1)


def phrase_file(phrases):
    """The phrase filter's file with the stop flag off: u32 1, HTML removal on, obfuscation removal
    on with the default characters, stop flag 0, reserved 0, then the phrases."""
    out = [struct.pack("<IIII", 1, 1, 1, 8), b"!*-&%#$_", struct.pack("<II", 0, 0)]
    for text, score, whole in phrases:
        data = text.encode()
        out.append(struct.pack("<I", len(data)) + data + struct.pack("<dI", score, whole))
    return b"".join(out)


def html_message(size, words):
    rng = random.Random(7)
    parts = ["MIME-Version: 1.0\r\nSubject: offer\r\nContent-Type: text/html\r\n\r\n<html><head><title>t</title>"
             "<style>p { color: red }</style></head><body>"]
    length = len(parts[0])
    while length < size:
        paragraph = "<p>%s &nbsp;<a href=\"http://x.test/%d\">%s</a><br></p>\r\n" % (
            " ".join(rng.choice(words) for _ in range(12)), rng.randrange(1000), rng.choice(words))
        parts.append(paragraph)
        length += len(paragraph)
    parts.append("</body></html>\r\n")
    return "".join(parts)


def phrase_scoring(args, work):
    rng = random.Random(3)
    words = ["w%04d" % n for n in range(3000)]
    phrases = [(" ".join(rng.choice(words) for _ in range(rng.randint(1, 3))), rng.uniform(-1, 3), rng.random() < 0.3)
               for _ in range(1000)]
    server = bench.Pellworth(args.build, work)
    with open(os.path.join(server.store, "PhraseFilter.dat"), "wb") as f:
        f.write(phrase_file(phrases))
    message = os.path.join(work, "message.eml")
    with open(message, "w", newline="") as f:
        f.write(html_message(1 << 20, words))
    best = None
    for _ in range(5):
        start = time.monotonic()
        subprocess.run([os.path.join(server.bin, "pellworth-admin"), "phrases", "score", message], env=server.env,
                       check=True, capture_output=True, timeout=bench.WAIT)
        elapsed = time.monotonic() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


def main():
    parser = bench.intake_arguments(__doc__)
    parser.add_argument("--scoring-only", action="store_true", help="only the phrase scoring (needs no smtp-source)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="pw-antispam-", dir=args.dir)
    try:
        if not args.scoring_only:
            without, with_lists = bench.intake_with_and_without(args, work, {False: "without", True: "with the lists"},
                                                                lambda directory, on: intake(args, directory, on))
            bench.report_intake_cost("antispam_smtp_intake_4k", without, with_lists, 0.95)
        seconds = phrase_scoring(args, tempfile.mkdtemp(dir=work))
        print("antispam_phrase_score_1mb_1000phrases: %.1f ms (aim: under 100 ms)" % (seconds * 1000), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
