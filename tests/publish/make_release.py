#!/usr/bin/python3
"""Builds a small release with the release tool for the launcher's own
manifest tests: make_release.py OUT LAUNCHER_EXE KEY.pem

OUT gets client/, rules, mirror/ (the release as zlib packs it) and
mirror-best/ (the same release with --compression best), signed with KEY.pem,
the private half of the key the test build of the launcher carries. KEY.pem
"none" (a build with a key we do not hold) leaves only OUT/no-key. Files of
200,000 bytes and more are also published as chunks (the chunk tool from
$KORVANTH_CHUNKER, else built on demand).
"""

import os
import random
import shutil
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = os.path.join(ROOT, "tools", "publish", "korvanth-publish")



def quests():
    """Text on which the stronger encoder beats zlib, so that mirror-best
    holds a member zlib did not make."""
    words = "sword shield quest village dragon tavern gold silver potion scroll".split()
    r = random.Random(5)
    return "".join("%s %s %d\n" % (r.choice(words), r.choice(words), r.randrange(100))
                   for _ in range(3000)).encode()


def archive():
    """An archive of text and noise, cut into a few dozen chunks."""
    r = random.Random(6)
    return b"".join(quests()[:r.randrange(20000, 60000)] + r.randbytes(r.randrange(5000, 40000))
                    for _ in range(8))


FILES = {
    "system/dv.exe": b"MZ" + bytes(200000),
    "system/d3d9.dll": bytes(range(256)) * 7,
    "system/d3d9_dxvk.dll": b"dxvk " * 1000,
    "interface/skin.xml": b"<skin custom='1'/>\n",
    "stock/skin.xml": b"<skin/>\n",
    "settings.cfg": b"volume=5\n",
    "data/\u00e9t\u00e9 maps/a.dat": os.urandom(777),
    "data/quests.txt": quests(),
    "data/world.pak": archive(),
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
    for tree, compression in (("mirror", "zlib9"), ("mirror-best", "best")):
        failed = subprocess.call([
            sys.executable, TOOL, "build", "--client", client, "--rules", rules, "--key", key,
            "--version", "1.2.3 \u00e9", "--out", os.path.join(out, tree),
            "--generated", "2026-03-04T05:06:07Z", "--launcher", launcher,
            "--mirror", "https://one.example/korvanth/", "--mirror", "https://two.example/",
            "--compression", compression, "--chunk-min-file", "200000"])
        if failed:
            return failed
    return 0


if __name__ == "__main__":
    sys.exit(main())
