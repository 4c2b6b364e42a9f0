#!/usr/bin/env python3
"""What a posting to a large mailing list costs: one posting of 4 KB to a list of N remote members
(default 5000), from the SMTP "250" until every member's copy is made and routed. No peer; it runs
alone as

    python3 bench/lists.py [--build build] [--members N] [--dir D]

and prints

    list_posting_members: copies=X copies/s distribution=Y s (made in Z s) rss_before=A KB rss_peak=B KB

The transports stay off, so the copies end as envelopes in "_Out"; the members are written into the
list's SQLite database directly (the schema is the server's, made by `pellworth-admin member add`).
rss_peak is the server's VmHWM after the run: the list is read in batches of 100 and the copies'
ids are kept, nothing per member more, so it stays near rss_before whatever N is (aim: flat).
"""
import argparse
import os
import shutil
import smtplib
import sqlite3
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (the private server installation)
DEBUG_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Debug"


def status_kb(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def count(path):
    try:
        return sum(1 for name in os.listdir(path) if name.endswith(".env"))
    except FileNotFoundError:
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build")
    parser.add_argument("--members", type=int, default=5000)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="pw-lists-", dir=args.dir)
    try:
        server = bench.Pellworth(args.build, work, ["poster"])
        with open(server.env["PELLWORTH_REGISTRY"], "a", encoding="utf-8") as f:
            f.write('\n[%s]\n"NoTransports"=dword:00000001\n' % DEBUG_KEY)
        address = "big@" + bench.DOMAIN
        server.admin("mailbox", "add", address, "--kind", "list")
        server.admin("member", "add", address, "poster@" + bench.DOMAIN)
        with sqlite3.connect(os.path.join(server.store, bench.DOMAIN, "big", "big.mdb")) as db:
            db.executemany("INSERT INTO Members (Email, Created) VALUES (?, 46000)",
                           [("m%06d@remote.test" % n,) for n in range(args.members)])
        server.start()
        rss_before = status_kb(server.proc.pid, "VmRSS")
        header, body = bench.sample_message(4096)
        queue = os.path.join(server.store, "_In")
        outbound = os.path.join(server.store, "_Out", "remote.test")
        started = time.monotonic()
        with smtplib.SMTP("127.0.0.1", server.smtp_port, timeout=bench.WAIT) as client:
            client.sendmail("poster@" + bench.DOMAIN, [address], (bench.message_header(header, 1) + body).encode())
        bound = max(bench.WAIT, args.members / 10)
        # Copies are submitted when the posting is done; till then they wait in the queue.
        bench.wait_for(lambda: count(queue) + count(outbound) >= args.members + 1 or count(outbound) == args.members,
                       "every copy made", timeout=bound)
        made = time.monotonic() - started
        bench.wait_for(lambda: count(outbound) == args.members and count(queue) == 0, "every copy routed", timeout=bound)
        elapsed = time.monotonic() - started
        rss_peak = status_kb(server.proc.pid, "VmHWM")
        server.stop()
        print("list_posting_members: copies=%.0f copies/s distribution=%.2f s (made in %.2f s) rss_before=%d KB "
              "rss_peak=%d KB" % (args.members / elapsed, elapsed, made, rss_before, rss_peak))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
