#!/usr/bin/env python3
"""What the mail-authentication checks cost: SMTP intake of mail from outside, checked (SPF, DKIM,
DMARC, the Authentication-Results field) against a private DNS server on 127.0.38.90:53 that
publishes an SPF record and a DMARC reject policy for the sender's domain, and the same intake
unchecked (the listener an open relay: its clients are trusted, as authenticated ones are). No peer;
bench/run runs it after the other measurements, and it runs alone as

    python3 bench/mailauth.py [--build build] [--messages M] [--sessions C] [--dir D]

(needs Postfix's smtp-source, which bench/run installs, and root for port 53). Prints

    mailauth_smtp_intake_4k: without=X msg/s with=Y msg/s ratio=R (aim: at least 0.80)

smtp-source sends M messages of 4 KB (default 2000) from C lanes (default 20) to 50 mailboxes, as
smtp_intake_4k does, counted until the last "250" after DATA (the checks run before it); the two
configurations take turns, twice each, and the better run of each counts.
"""
import argparse
import os
import shutil
import socket
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (the private server installation and the SMTP driver)
from fake_dns import TXT, A, FakeDns, txt  # noqa: E402  (bench puts tests/integration on the path)

DNS_ADDRESS = "127.0.38.90"


def intake(args, work, checked):
    users = ["user%d" % i for i in range(50)]
    server = bench.Pellworth(args.build, work, users)
    server.admin("config", "set", "sys:dns:0:server", DNS_ADDRESS)
    if not checked:
        server.admin("config", "set", "sys:smtp:0:openrelay", "bool:true")
    driver = bench.Bench(args)
    return driver.smtp_run(server, users, args.messages, 4096)[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build")
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--sessions", type=int, default=20)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    domain = bench.SENDER.split("@")[1]
    dns = FakeDns({(domain, TXT): [txt("v=spf1 ip4:127.0.0.1 -all")], (domain, A): [socket.inet_aton("127.0.0.1")],
                   ("_dmarc." + domain, TXT): [txt("v=DMARC1; p=reject")]}, DNS_ADDRESS)
    work = tempfile.mkdtemp(prefix="pw-mailauth-", dir=args.dir)
    try:
        rates = {False: [], True: []}
        for turn in range(2):
            for checked in ((False, True) if turn % 2 == 0 else (True, False)):
                print("   SMTP intake, %d messages, %s" % (args.messages, "checked" if checked else "not checked"),
                      file=sys.stderr, flush=True)
                rates[checked].append(intake(args, tempfile.mkdtemp(dir=work), checked))
        without, checked = max(rates[False]), max(rates[True])
        print("mailauth_smtp_intake_4k: without=%.1f msg/s with=%.1f msg/s ratio=%.2f (aim: at least 0.80)"
              % (without, checked, checked / without), flush=True)
        if dns.asked == 0:
            raise RuntimeError("the checks asked no DNS: the measurement did not check anything")
    finally:
        dns.close()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
