"""The set-up the tests of the publisher's tool share: a small client folder,
its rules, a signing key, and the tool run as publishers run it."""

import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

from cryptography.hazmat.primitives import serialization

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = os.path.join(ROOT, "tools", "publish", "korvanth-publish")

RULES = """\
# renderer files of the Vulkan path are a feature of their own
system/d3d9_dxvk.dll optional id=dxvk
system/** system
ui/** interface
stock/** stock
settings.cfg base seed   # the player's copy is never replaced
"data/**" base
remove old/gone.txt
"""


def run(*args):
    return subprocess.run([sys.executable, TOOL] + list(args), capture_output=True, text=True)


def run_patched(patch, *args, timeout=None):
    """The tool in a process whose modules `patch` (Python text) changed
    first; the build's workers are forked from it and inherit the change."""
    code = ("import sys; sys.path.insert(0, %r)\n%s\nfrom korvanth_publish.cli import main\n"
            "sys.exit(main(sys.argv[1:]))" % (os.path.dirname(TOOL), patch))
    return subprocess.run([sys.executable, "-c", code] + list(args), capture_output=True,
                          text=True, timeout=timeout)


def sha(data):
    return hashlib.sha256(data).hexdigest()


class ClientFixture(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.client = os.path.join(self.dir, "client")
        self.mirror = os.path.join(self.dir, "mirror")
        self.rules = os.path.join(self.dir, "rules")
        self.key = os.path.join(self.dir, "k.pem")
        self.pub = os.path.join(self.dir, "k.pub.pem")
        self.files = {
            "system/dv.exe": b"MZ" + b"\0" * 100000,          # packs well
            "system/d3d9.dll": os.urandom(3000),              # does not pack
            "system/d3d9_dxvk.dll": os.urandom(500),
            "ui/a.xml": b"<ui/>\n",
            "stock/a.xml": b"<stock/>\n",
            "settings.cfg": b"volume=5\n",
            "data/sub dir/\u00e9t\u00e9.txt": b"summer\n",
        }
        for rel, data in self.files.items():
            self.write(rel, data)
        with open(self.rules, "w") as f:
            f.write(RULES)
        self.assertEqual(run("keygen", self.key).returncode, 0)

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, rel, data):
        path = os.path.join(self.client, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def build(self, *extra, version="1.0", out=None, force=True,
              generated="2026-01-02T03:04:05Z"):
        """Most cases build one tree again on purpose (--force); the cases of
        the guards against that pass force=False."""
        return run("build", "--client", self.client, "--rules", self.rules, "--key", self.key,
                   "--version", version, "--out", out or self.mirror, "--generated", generated,
                   *(("--force",) if force else ()), *extra)

    def fake_launcher(self, size):
        """A launcher file of `size` bytes that carries the signing key's
        public point, as a real build does."""
        with open(self.pub, "rb") as f:
            point = serialization.load_pem_public_key(f.read()).public_bytes(
                serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)[1:]
        path = os.path.join(self.dir, "Korvanth.exe")
        with open(path, "wb") as f:
            f.write(b"MZ" + point + os.urandom(size - 2 - len(point)))
        return path

    def verify(self, mirror=None):
        return run("verify", "--pubkey", self.pub, mirror or self.mirror)

    def manifest(self, mirror=None):
        with open(os.path.join(mirror or self.mirror, "manifest.json"), "rb") as f:
            return f.read()

    def tree(self, mirror=None):
        """Every name below the mirror tree, hidden ones included."""
        root = mirror or self.mirror
        return sorted(os.path.relpath(os.path.join(d, n), root)
                      for d, dirs, files in os.walk(root) for n in dirs + files)

    def obj(self, rel, suffix=""):
        return os.path.join(self.mirror, "objects", sha(self.files[rel]) + suffix)
