"""scripts/check-layers: the real tree keeps its layers, an include that crosses one fails the check with
the file, line and include named, and so does a build include view (pw_layer) that differs from its
folder's README."""
import os
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "check-layers"


def check(root):
    return subprocess.run([sys.executable, str(SCRIPT), str(root)], capture_output=True, text=True, timeout=60)


def copy_sources(destination):
    """src/ with only what the check reads: READMEs, CMakeLists.txt and the sources."""
    def ignore(directory, names):
        return [n for n in names if not os.path.isdir(os.path.join(directory, n))
                and not n.endswith((".h", ".cpp", ".md", ".txt"))]
    shutil.copytree(ROOT / "src", destination / "src", ignore=ignore)


def append(path, line):
    text = path.read_text(encoding="utf-8")
    path.write_text(text + line + "\n", encoding="utf-8")
    return text.count("\n") + 1  # the line the include lands on


def test_real_tree_keeps_its_layers():
    result = check(ROOT)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == ""


def test_upward_includes_fail_with_file_line_and_include(tmp_path):
    copy_sources(tmp_path)
    src = tmp_path / "src"
    assert check(tmp_path).returncode == 0

    # Allowed: downward includes, a folder's own headers, anything in service.
    append(src / "smtp" / "Transport.cpp", '#include "router/Router.h"')
    append(src / "router" / "MessageTemplate.h", '#include "store/Folder.h"')
    append(src / "service" / "main.cpp", '#include "pop3/Pop3Session.h"')
    append(src / "net" / "Listener.cpp", "#include <netinet/in.h>")
    assert check(tmp_path).returncode == 0, check(tmp_path).stdout

    # Upward or sideways: each one is named.
    bad = [
        (src / "platform" / "Text.cpp", '#include "store/Envelope.h"'),
        (src / "router" / "Router.cpp", '#include "net/Listener.h"'),  # the router is not network code
        (src / "mime" / "Address.h", '#include "core/Logging.h"'),     # mime rests on platform alone
        (src / "dns" / "DnsMessage.cpp", '#include "../smtp/Transport.h"'),
        (src / "core" / "Logging.h", '#  include <service/ServiceModule.h>'),
    ]
    expected = []
    for path, line in bad:
        number = append(path, line)
        included = line.split("include", 1)[1].strip()[1:-1]
        expected.append(f'{path.relative_to(tmp_path)}:{number}: includes "{included}"')
    result = check(tmp_path)
    assert result.returncode == 1
    reported = result.stdout.splitlines()
    assert len(reported) == len(bad), result.stdout
    for prefix in expected:
        assert any(r.startswith(prefix) for r in reported), (prefix, result.stdout)
    assert "src/router may depend only on: antispam, core, lists, mailcommands, mime, platform, router, store, templates" in result.stdout

    # The build's include views must say what the READMEs say.
    cmake = src / "router" / "CMakeLists.txt"
    text = cmake.read_text(encoding="utf-8")
    assert "pw_layer(pw_router router lists mailcommands templates antispam store mime core platform)" in text
    cmake.write_text(text.replace("pw_layer(pw_router router lists mailcommands templates antispam",
                                  "pw_layer(pw_router router lists mailcommands templates antispam net"), encoding="utf-8")
    result = check(tmp_path)
    assert result.returncode == 1
    assert "src/router/CMakeLists.txt:" in result.stdout
    assert "pw_layer(pw_router) lists antispam, core, lists, mailcommands, mime, net, platform, router, store, templates " \
           "but the README allows antispam, core, lists, mailcommands, mime, platform, router, store, templates" in result.stdout

    # A folder whose README lost its rule is not taken as free to include anything.
    readme = src / "net" / "README.md"
    readme.write_text(readme.read_text(encoding="utf-8").replace("May depend on:", "Uses:"), encoding="utf-8")
    result = check(tmp_path)
    assert result.returncode == 1
    assert 'src/net/README.md: no "May depend on:" line' in result.stdout
