"""The server's log files as a running server writes them: naming, line ends, levels, escaping."""
import os
import re
import time


def log_lines(env):
    names = os.listdir(env.logs)
    assert len(names) == 1, names
    with open(os.path.join(env.logs, names[0]), "rb") as f:
        data = f.read()
    assert data.endswith(b"\r\n")
    lines = data.split(b"\r\n")[:-1]
    assert all(b"\n" not in line and b"\r" not in line for line in lines)
    return names[0], [line.decode("utf-8") for line in lines]


def test_debug_level_writes_a_daily_file_with_thread_ids_and_escapes(env):
    assert env.run("-RegServer").returncode == 0
    # An "=" in the store's path shows how the Debug level escapes whatever it writes.
    env.configure_store(os.path.join(env.root, "store=1"))
    env.configure_logging(file_type=2, level=1)
    registered = env
    before = time.strftime("%m%d%Y.log")
    registered.start().wait_ready().stop()
    name, lines = log_lines(registered)
    assert name in (before, time.strftime("%m%d%Y.log"))  # the run may cross midnight
    debug = [line for line in lines if line.startswith("Debug: ")]
    assert debug, lines
    assert all(re.match(r"^\w+: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \d+ - ", line) for line in lines), lines
    assert any("store\\3D1/" in line for line in lines), lines
    assert any(line.startswith("Normal: ") and "Server started" in line for line in lines)
    assert any("Server stopped" in line for line in lines)


def test_warning_level_keeps_only_warnings_and_worse(registered):
    registered.configure_logging(file_type=1, level=4)
    first = registered.start().wait_ready()
    refused = registered.run()  # a second server on the same store: a critical line
    assert refused.returncode != 0
    assert first.stop() == 0
    name, lines = log_lines(registered)
    assert name == "LogFile.log"
    assert lines, "the new store's missing configuration is a warning"
    assert not [line for line in lines if line.startswith("Normal")], lines
    assert any(line.startswith("Warning: ") and "defaults apply" in line for line in lines), lines
    assert any(line.startswith("Critical: ") and "in use" in line for line in lines), lines
    mode = os.stat(os.path.join(registered.logs, name)).st_mode & 0o777
    assert mode & 0o007 == 0, oct(mode)
