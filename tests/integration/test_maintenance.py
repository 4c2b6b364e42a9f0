"""The daily jobs of the running server's maintenance, with the real programs: sa-learn trains on the
learning folders at "sys:spam:sa:bayestime", and at "sys:av:update" the registry's update command
adds a signature that a private clamd, told to reload, then finds."""
import imaplib
import os
import shutil
import socket
import stat
import time

import pytest

from conftest import WAIT, admin, configure, free_port, log_text, wait_for
from private_clamd import Clamd
from private_spamd import site_directory

SA_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\SpamAssassin"
ANTIVIRUS_KEY = r"HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\AntiVirus"
# A test string of our own, unknown to clamd until the update adds its signature.
MARKER = "pellworth-maintenance-update-marker-7f3a"

pytestmark = pytest.mark.skipif(not shutil.which("sa-learn") or not shutil.which("clamd"), reason="needs sa-learn and clamd")


def clamd_scan(path, text):
    with socket.socket(socket.AF_UNIX) as client:
        client.settimeout(WAIT)
        client.connect(path)
        data = text.encode()
        client.sendall(b"zINSTREAM\0" + len(data).to_bytes(4, "big") + data + b"\0\0\0\0")
        return client.recv(4096).decode()


def this_hour():
    """The current local hour, waiting out the last half minute of an hour so a pass can not cross it."""
    wait_for(lambda: time.localtime().tm_min < 59 or time.localtime().tm_sec < 30, "a safe moment in the hour", bound=60)
    return time.localtime().tm_hour


def test_learning_and_signature_update_run_at_their_hour(registered):
    env = registered
    directory = site_directory(b"required_hits 5\n")
    clamd = Clamd(env.root)
    update = os.path.join(env.root, "update-signatures")
    with open(update, "w", encoding="ascii") as f:
        f.write("#!/bin/sh\nprintf 'Pw.Test.Update:0:*:%s\\n' > \"$1/update.ndb\"\n" % MARKER.encode().hex())
    os.chmod(update, stat.S_IRWXU)
    with open(env.registry, "a", encoding="utf-8") as f:
        f.write('\n[%s]\n"Directory"="%s"\n"Spamd"="127.0.0.1:1"\n' % (SA_KEY, directory))
        f.write('\n[%s]\n"Clamd"="%s"\n"UpdateCommand"="%s %s"\n' % (ANTIVIRUS_KEY, clamd.socket, update,
                                                                      os.path.join(clamd.dir, "db")))
    env.configure_debug("NoListeners", 0)
    env.configure_debug("MaintenancePeriod", 1)
    env.configure_logging(2, 1)  # the passes are logged at the debug level
    imap = free_port()
    admin(env, "domain", "add", "example.com")
    configure(env, ("sys:imap4:0:ip", "127.0.0.1"), ("sys:imap4:0:port", "port:%d" % imap),
              ("sys:smtp:0:enabled", "i2:0"), ("sys:pop3:0:enabled", "i2:0"))
    admin(env, "mailbox", "add", "john@example.com", "--password", "secret")
    clamd.start()
    try:
        assert "FOUND" not in clamd_scan(clamd.socket, MARKER)
        # The learning folders are filled while the jobs are off.
        server = env.start().wait_ready()
        client = imaplib.IMAP4("127.0.0.1", imap, timeout=WAIT)
        client.login("john@example.com", "secret")
        for n in range(6):
            spam = n < 4
            text = ("From: someone%d@remote.test\r\nSubject: %s %d\r\nMessage-ID: <m%d@remote.test>\r\n\r\n%s\r\n"
                    % (n, "offer" if spam else "note", n, n, "cheap pills casino winner" if spam else "the garden in spring"))
            target = '"Public Folders/Bayesian Learn/%s"' % ("Spam" if spam else "Good")
            assert client.append(target, None, None, text.encode())[0] == "OK"
        client.logout()
        server.stop()
        hour = "date:1899-12-30T%02d:00:00" % this_hour()
        configure(env, ("sys:spam:sa:bayes", "bool:true"), ("sys:spam:sa:bayestime", hour),
                  ("sys:av:enabled", "bool:true"), ("sys:av:avtype", "i4:2"), ("sys:av:update", hour))
        server = env.start().wait_ready()
        wait_for(lambda: "SpamAssassin learned 4 spam and 2 good messages; 0 failed" in log_text(env), "the learning run")
        wait_for(lambda: "Virus signature update finished" in log_text(env), "the update")
        wait_for(lambda: "Pw.Test.Update" in clamd_scan(clamd.socket, "x " + MARKER + " y"), "clamd's new signature")
        # Once in the hour: later passes run neither again.
        passes = log_text(env).count("Maintenance pass")
        wait_for(lambda: log_text(env).count("Maintenance pass") >= passes + 2, "two more passes")
        assert log_text(env).count("SpamAssassin learning started") == 1
        assert log_text(env).count("Virus signature update started") == 1
        server.stop()
    finally:
        clamd.stop()
        shutil.rmtree(directory, ignore_errors=True)
