#!/usr/bin/env python3
"""How a backup taken by the running server behaves on a big store: 100,000 messages in one inbox.

Needs only the server and its admin tool (no peer, no root):

    python3 bench/backup.py [--build build] [--messages 100000] [--dir /tmp]

The store is made as bench/store_startup.py makes it. The server is started with the daily backup
due at once (its maintenance pass every second), and the backup's own log line gives how long the
store's writes waited for the snapshot (the pause every client may meet) and how many files and bytes
were copied; the copy rate is those over the time from the backup's start to its end. Prints
"backup_100k: pause=X ms copy=Y files/s (Z MB/s) peer=none" (the name follows --messages). Aim: a
pause under 1 s at 100,000 messages.
"""
import argparse
import glob
import os
import re
import shutil
import sys
import tempfile
import time

from store_startup import Installation, wait_for

DEBUG_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Debug"
LOGGING_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\Logging"
FINISHED = re.compile(r"(\d+:\d+:\d+)(?: \d+)? - Backup to .* finished: (\d+) files, (\d+) bytes; the store's writes waited (\d+) ms")
STARTED = re.compile(r"(\d+:\d+:\d+)(?: \d+)? - Backup of the message store to .* started")


def log_text(logs):
    text = ""
    for name in sorted(glob.glob(os.path.join(logs, "*"))):
        with open(name, encoding="utf-8", errors="replace") as f:
            text += f.read()
    return text


def seconds_of(clock):
    hours, minutes, seconds = (int(part) for part in clock.split(":"))
    return hours * 3600 + minutes * 60 + seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build"))
    parser.add_argument("--messages", type=int, default=100000, help="messages in the one inbox")
    parser.add_argument("--dir", help="where the store and the backups go (default: the temporary directory)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="pw-backup-", dir=args.dir)
    try:
        installation = Installation(args.build, work)
        installation.fill(args.messages)
        logs = os.path.join(work, "logs")
        os.makedirs(logs)
        with open(installation.env["PELLWORTH_REGISTRY"], "a", encoding="utf-8") as f:
            f.write('\n[%s]\n"FilePath"="%s"\n"FileType"=dword:00000002\n"LogLevel"=dword:00000002\n' % (LOGGING_KEY, logs))
            f.write('\n[%s]\n"MaintenancePeriod"=dword:00000001\n' % DEBUG_KEY)
        for key, value in [("sys:backup:enabled", "bool:true"), ("sys:backup:path", "str:" + os.path.join(work, "backups"))] + \
                [("sys:backup:" + day, "bool:true") for day in ("sun", "mon", "tue", "wed", "thu", "fri", "sat")]:
            installation.run("pellworth-admin", "config", "set", key, value)
        proc, _ = installation.start()
        try:
            wait_for(lambda: FINISHED.search(log_text(logs)), "the backup")
        except RuntimeError:
            sys.stderr.write(log_text(logs)[-3000:])
            raise
        finally:
            installation.stop(proc)
        text = log_text(logs)
        finished, started = FINISHED.search(text), STARTED.search(text)
        files, size, pause = int(finished.group(2)), int(finished.group(3)), int(finished.group(4))
        elapsed = max(1, seconds_of(finished.group(1)) - seconds_of(started.group(1)))
        name = "backup_%s" % ("%dk" % (args.messages // 1000) if args.messages % 1000 == 0 else args.messages)
        print("%s: pause=%d ms copy=%d files/s (%.0f MB/s) peer=none" % (name, pause, files // elapsed, size / elapsed / 1e6),
              flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
