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
configurations take turns, twice each, and the better run of each counts. The DNS answers carry a
TTL of five minutes, so the server keeps them as it would keep a real zone's.
"""
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
    server, users = bench.intake_server(args, work)
    server.admin("config", "set", "sys:dns:0:server", DNS_ADDRESS)
    if not checked:
        server.admin("config", "set", "sys:smtp:0:openrelay", "bool:true")
    return bench.intake_rate(args, server, users, 0)


def main():
    args = bench.intake_arguments(__doc__).parse_args()
    domain = bench.SENDER.split("@")[1]
    dns = FakeDns({(domain, TXT): [txt("v=spf1 ip4:127.0.0.1 -all")], (domain, A): [socket.inet_aton("127.0.0.1")],
                   ("_dmarc." + domain, TXT): [txt("v=DMARC1; p=reject")]}, DNS_ADDRESS, ttl=300)
    work = tempfile.mkdtemp(prefix="pw-mailauth-", dir=args.dir)
    try:
        without, checked = bench.intake_with_and_without(args, work, {False: "not checked", True: "checked"},
                                                         lambda directory, on: intake(args, directory, on))
        bench.report_intake_cost("mailauth_smtp_intake_4k", without, checked, 0.80)
        if dns.asked == 0:
            raise RuntimeError("the checks asked no DNS: the measurement did not check anything")
    finally:
        dns.close()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
