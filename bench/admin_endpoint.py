#!/usr/bin/env python3
"""How many Settings.Get requests the administration endpoint answers per second on one connection.

Needs only the server (no peer, no root):

    python3 bench/admin_endpoint.py [--build build] [--requests 50000] [--dir /tmp]

A server is started on a new store with its listeners off; one client connects to its socket and
sends the requests pipelined in batches of 100 (each batch written at once, then its replies read),
so the number measures the endpoint's parsing, dispatch and encoding rather than the round trips of
a client that waits for each reply. Prints "admin_settings_get: ours=X req/s peer=none" (aim: 20,000).
"""
import argparse
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STORE_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\General"
DEBUG_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Debug"
WAIT = 300  # seconds: a bound for a loaded machine
BATCH = 100


def start_server(build, work):
    registry = os.path.join(work, "pellworth.reg")
    env = dict(os.environ, PELLWORTH_REGISTRY=registry, PELLWORTH_SYSTEMD_DIR=os.path.join(work, "units"))
    for name in ("NOTIFY_SOCKET", "PELLWORTH_FAULT", "PELLWORTH_FAULT_FILE"):
        env.pop(name, None)
    server = os.path.join(build, "bin", "pellworth")
    subprocess.run([server, "-RegServer"], env=env, check=True, capture_output=True, timeout=WAIT)
    store = os.path.join(work, "store")
    with open(registry, "a", encoding="utf-8") as f:
        f.write('\n[%s]\n"MessageStore"="%s"\n\n[%s]\n"NoListeners"=dword:00000001\n' % (STORE_KEY, store, DEBUG_KEY))
    notify = os.path.join(work, "notify")
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        sock.bind(notify)
        sock.settimeout(WAIT)
        proc = subprocess.Popen([server], env=dict(env, NOTIFY_SOCKET=notify), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        while b"READY=1" not in sock.recv(4096):
            pass
    return proc, os.path.join(store, "pellworth.sock")


def measure(path, requests):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.settimeout(WAIT)
        sock.connect(path)
        replies = sock.makefile("rb")
        replies.readline()  # the greeting
        batch = b"".join(json.dumps({"id": i, "op": "call", "object": "Pellworth.Settings", "member": "Get",
                                     "args": ["sys:smtp:0:port"]}).encode() + b"\n" for i in range(BATCH))
        began = time.monotonic()
        for _ in range(requests // BATCH):
            sock.sendall(batch)
            for _ in range(BATCH):
                if json.loads(replies.readline())["hr"] != 0:
                    raise RuntimeError("a request failed")
        return (requests // BATCH * BATCH) / (time.monotonic() - began)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="the build directory (bin/pellworth)")
    parser.add_argument("--requests", type=int, default=50000)
    parser.add_argument("--dir", help="where the store goes (default: the temporary directory)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="pw-admin-", dir=args.dir)
    proc = None
    try:
        proc, path = start_server(args.build, work)
        rate = measure(path, args.requests)
        print("admin_settings_get: ours=%.0f req/s peer=none" % rate)
    finally:
        if proc:
            proc.terminate()
            proc.wait(timeout=WAIT)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
