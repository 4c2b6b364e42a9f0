#!/usr/bin/env python3
"""What the virus scan costs: SMTP intake with every message scanned by a private clamd (its own
socket, a database holding one signature, as the scan's cost is the stream and the protocol, not a
large database) and without scanning. No peer; bench/run runs it after the other measurements, and
it runs alone as

    python3 bench/antivirus.py [--build build] [--messages M] [--sessions C] [--dir D]

(needs Postfix's smtp-source and clamd, which bench/run installs). Prints

    antivirus_smtp_intake_4k: without=X msg/s with=Y msg/s ratio=R (aim: at least 0.80)

smtp-source sends M messages of 4 KB (default 2000) from C lanes (default 20) to 50 mailboxes, as
smtp_intake_4k does, and the rate counts until the last message is in its inbox; the two
configurations take turns, twice each, and the better run of each counts.
"""
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (the private server installation and the SMTP driver)
from private_clamd import Clamd  # noqa: E402  (bench puts tests/integration on the path)

ANTIVIRUS_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\AntiVirus"


def intake(args, work, clamd):
    server, users = bench.intake_server(args, work)
    if clamd:
        with open(server.env["PELLWORTH_REGISTRY"], "a", encoding="utf-8") as f:
            f.write('\n[%s]\n"Clamd"="%s"\n' % (ANTIVIRUS_KEY, clamd.socket))
        for key, value in (("sys:av:enabled", "bool:true"), ("sys:av:avtype", "i4:2")):
            server.admin("config", "set", key, value)
    return bench.intake_rate(args, server, users, 1)


def main():
    args = bench.intake_arguments(__doc__).parse_args()
    work = tempfile.mkdtemp(prefix="pw-antivirus-", dir=args.dir)
    clamd = Clamd(work)
    try:
        clamd.start()
        without, scanned = bench.intake_with_and_without(args, work, {False: "not scanned", True: "scanned by clamd"},
                                                         lambda directory, on: intake(args, directory, clamd if on else None))
        bench.report_intake_cost("antivirus_smtp_intake_4k", without, scanned, 0.80)
    finally:
        clamd.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
