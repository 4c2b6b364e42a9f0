#!/usr/bin/env python3
"""What SpamAssassin costs the server: SMTP intake with and without a private spamd judging every
message ("sys:spam:sa:enabled"). No peer; bench/run runs it after the other measurements (with the
whole set or `--only spamassassin`), and it runs alone as

    python3 bench/spamassassin.py [--build build] [--messages M] [--sessions C] [--dir D]

(it needs Postfix's smtp-source, which bench/run installs, and SpamAssassin's spamd). Prints

    spamassassin_smtp_intake_4k: without=X msg/s with=Y msg/s ratio=R (aim: at least 0.80)
    spamassassin_delivery_4k: without=X msg/s with=Y msg/s ratio=R (spamd's own pace)

smtp-source sends M messages of 4 KB (default 1000) from C lanes (default 20) to 50 mailboxes.
Intake counts until the last message is acknowledged ("250" after DATA: the message is safe, the
routers judge it afterwards); delivery until the last one is in its inbox, which with spamd is
spamd's pace of scanning. The two configurations take turns, twice each; the better run of each counts.
"""
import argparse
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (the private server installation and the SMTP driver)
import private_spamd  # noqa: E402  (bench puts tests/integration on the path)

SA_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\SpamAssassin"


class Spamd(private_spamd.Spamd):
    """The benchmark's spamd: a site directory in the work directory (Bayes off), niced."""

    def __init__(self, work):
        os.chmod(work, 0o755)
        super().__init__(private_spamd.site_directory(b"required_hits 5\nuse_bayes 0\n", parent=work), bench.free_port(),
                         niced=True)


def intake(args, work, spamd):
    users = ["user%d" % i for i in range(50)]
    server = bench.Pellworth(args.build, work, users)
    if spamd:
        with open(server.env["PELLWORTH_REGISTRY"], "a", encoding="utf-8") as f:
            f.write('\n[%s]\n"Directory"="%s"\n"Spamd"="127.0.0.1:%d"\n' % (SA_KEY, spamd.directory, spamd.port))
        server.admin("config", "set", "sys:spam:sa:enabled", "bool:true")
    return bench.Bench(args).smtp_run(server, users, args.messages, 4096)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build")
    parser.add_argument("--messages", type=int, default=1000)
    parser.add_argument("--sessions", type=int, default=20)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    if not shutil.which("spamd"):
        sys.exit("spamd is missing (the spamd package)")
    work = tempfile.mkdtemp(prefix="pw-sa-", dir=args.dir)
    spamd = Spamd(work)
    try:
        rates = {False: [], True: []}
        for turn in range(2):
            for judged in ((False, True) if turn % 2 == 0 else (True, False)):
                print("   SMTP intake, %d messages, %s" % (args.messages, "with spamd" if judged else "without"),
                      file=sys.stderr, flush=True)
                rates[judged].append(intake(args, tempfile.mkdtemp(dir=work), spamd if judged else None))
        for index, name, aim in ((0, "spamassassin_smtp_intake_4k", " (aim: at least 0.80)"),
                                 (1, "spamassassin_delivery_4k", " (spamd's own pace)")):
            without = max(rate[index] for rate in rates[False])
            judged = max(rate[index] for rate in rates[True])
            print("%s: without=%.1f msg/s with=%.1f msg/s ratio=%.2f%s" % (name, without, judged, judged / without, aim),
                  flush=True)
    finally:
        spamd.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
