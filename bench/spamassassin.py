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
import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (the private server installation and the SMTP driver)

SA_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\SpamAssassin"


def ping(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.sendall(b"PING SPAMC/1.5\r\n\r\n")
            return b"PONG" in s.recv(100)
    except OSError:
        return False


class Spamd:
    """A private spamd: its own site directory (the system's ".pre" files, Bayes off), loopback port,
    local tests only, at the lowest CPU priority."""

    def __init__(self, work):
        self.directory = os.path.join(work, "spamassassin")
        os.makedirs(self.directory)
        os.chmod(work, 0o755)
        os.chmod(self.directory, 0o755)
        for pre in glob.glob("/etc/spamassassin/*.pre"):
            shutil.copy(pre, self.directory)
        with open(os.path.join(self.directory, "local.cf"), "w") as f:
            f.write("required_hits 5\nuse_bayes 0\n")
        self.port = bench.free_port()
        # Under nice: scanning is background work that must not starve the intake it follows (a
        # site's usual set-up), and on two cores five children at full speed would.
        argv = ["nice", "-n", "19", "spamd", "-L", "-x", "--siteconfigpath", self.directory, "-i", "127.0.0.1", "-A", "127.0.0.1",
                "-p", str(self.port), "-s", "stderr", "--pidfile", os.path.join(self.directory, "spamd.pid")]
        if os.geteuid() == 0:
            argv += ["-u", "nobody"]
        self.proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        bench.wait_for(lambda: self.proc.poll() is not None or ping(self.port), "spamd", timeout=bench.WAIT * 3)
        if self.proc.poll() is not None:
            sys.exit("spamd did not start")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=bench.WAIT)


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
