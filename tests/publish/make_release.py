#!/usr/bin/python3
"""Builds a small release with the release tool for the launcher's own
manifest tests: make_release.py OUT LAUNCHER_EXE KEY.pem

OUT gets client/, rules and mirror/ (the release), signed with KEY.pem, the
private half of the key the test build of the launcher carries. KEY.pem
"none" (a build with a key we do not hold) leaves only OUT/no-key.
"""

import os
import shutil
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = os.path.join(ROOT, "tools", "publish", "korvanth-publish")

FILES = {
    "system/dv.exe": b"MZ" + bytes(200000),
    "system/d3d9.dll": bytes(range(256)) * 7,
    "system/d3d9_dxvk.dll": b"dxvk " * 1000,
    "interface/skin.xml": b"<skin custom='1'/>\n",
    "stock/skin.xml": b"<skin/>\n",
    "settings.cfg": b"volume=5\n",
    "data/\u00e9t\u00e9 maps/a.dat": os.urandom(777),
}

RULES = """\
system/d3d9_dxvk.dll optional id=dxvk
system/** system
interface/** interface
stock/** stock
settings.cfg base seed
** base
remove old/gone.txt
"""


def main():
    out, launcher, key = sys.argv[1:4]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    if key == "none":
        open(os.path.join(out, "no-key"), "w").close()
        return 0
    client = os.path.join(out, "client")
    for rel, data in FILES.items():
        path = os.path.join(client, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    rules = os.path.join(out, "rules")
    with open(rules, "w") as f:
        f.write(RULES)
    return subprocess.call([
        sys.executable, TOOL, "build", "--client", client, "--rules", rules, "--key", key,
        "--version", "1.2.3 \u00e9", "--out", os.path.join(out, "mirror"),
        "--generated", "2026-03-04T05:06:07Z", "--launcher", launcher,
        "--mirror", "https://one.example/korvanth/", "--mirror", "https://two.example/"])


if __name__ == "__main__":
    sys.exit(main())
