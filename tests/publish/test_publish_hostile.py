#!/usr/bin/python3
"""Client folders and rules files that could make the release tool publish
something other than the client: each is refused with a clear error and
leaves the mirror tree as it was, or is published faithfully."""

import json
import os
import shutil
import subprocess
import time
import unittest

from fixture import ClientFixture, run_patched, sha

# Workers are forked from the patched process, so the change reaches them.
GROWS_WHILE_READ = """
import os, korvanth_publish.pack as pack
read = pack.read_blocks
def grows(f, name, key, share):
    for i, block in enumerate(read(f, name, key, share)):
        if name == "data/big.bin" and i == 0:
            with open(os.path.join(%r, name), "ab") as g:
                g.write(b"more")
        yield block
pack.read_blocks = grows
"""

REWRITTEN_BETWEEN_READS = """
import os, korvanth_publish.pack as pack
read = pack.read_blocks
def rewritten(f, name, key, share):
    yield from read(f, name, key, share)
    if name == "data/big.bin" and share == 0:
        with open(os.path.join(%r, name), "r+b") as g:
            g.write(b"X")
pack.read_blocks = rewritten
"""


class Hostile(ClientFixture):
    def setUp(self):
        super().setUp()
        self.write("data/big.bin", os.urandom(3 << 20))
        self.outside = os.path.join(self.dir, "outside")
        os.makedirs(self.outside)
        with open(os.path.join(self.outside, "secret.txt"), "w") as f:
            f.write("not for players\n")

    def link(self, target, rel):
        os.symlink(target, os.path.join(self.client, rel))

    def raw_name(self, rel):
        with open(os.path.join(self.client.encode(), rel), "wb") as f:
            f.write(b"x")

    def rules_text(self, data):
        os.unlink(self.rules)
        with open(self.rules, "wb") as f:
            f.write(data)

    def test_refusals_leave_the_tree_as_it_was(self):
        self.assertEqual(self.build().returncode, 0)
        before = (self.manifest(), self.tree())
        client = os.path.join(self.client, "")
        cases = [
            ("link to a file outside", lambda: self.link(
                os.path.join(self.outside, "secret.txt"), "data/secret.txt"),
             "outside the client folder"),
            ("link to a folder outside", lambda: self.link(self.outside, "data/more"),
             "a link to a folder"),
            ("link that loops", lambda: self.link("..", "data/loop"), "a link to a folder"),
            ("dangling link", lambda: self.link("nothing-here", "data/gone.txt"),
             "leads nowhere"),
            ("named pipe", lambda: os.mkfifo(os.path.join(self.client, "data/pipe")),
             "not a regular file"),
            ("files differing in case", lambda: self.write("DATA/big.bin", b"x"), "letter case"),
            ("file and folder differing in case", lambda: self.write("Data", b"x"),
             "letter case"),
            ("name not UTF-8", lambda: self.raw_name(b"data/caf\xe9.txt"),
             "data/caf\\xe9.txt: the name is not UTF-8"),
            ("folder not UTF-8", lambda: (os.mkdir(os.path.join(self.client.encode(), b"\xff")),
                                          self.raw_name(b"\xff/a.txt")), "not UTF-8"),
            ("rules file that is a pipe", lambda: (os.unlink(self.rules), os.mkfifo(self.rules)),
             "not a regular file"),
            ("rules file of 2 MiB", lambda: self.rules_text(b"# x\n" * (1 << 19)),
             "larger than 1048576 bytes"),
            ("rules file not UTF-8", lambda: self.rules_text(b"data/\xe9 base\n"), "cannot read"),
        ]
        for why, damage, message in cases:
            with self.subTest(why):
                shutil.copytree(self.client, client.rstrip("/") + ".keep", symlinks=True)
                shutil.copy(self.rules, self.rules + ".keep")
                try:
                    damage()
                    r = self.build(version="2.0")
                finally:
                    shutil.rmtree(self.client)
                    os.rename(client.rstrip("/") + ".keep", self.client)
                    os.unlink(self.rules)
                    os.rename(self.rules + ".keep", self.rules)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertIn(message, r.stderr)
                self.assertEqual((self.manifest(), self.tree()), before)

    def test_files_that_change_while_read_are_refused(self):
        self.assertEqual(self.build().returncode, 0)
        before = (self.manifest(), self.tree())
        os.unlink(os.path.join(self.client, "data/big.bin"))
        for why, patch in [("grows", GROWS_WHILE_READ), ("rewritten", REWRITTEN_BETWEEN_READS)]:
            with self.subTest(why):
                self.write("data/big.bin", os.urandom(3 << 20))
                r = run_patched(patch % self.client, "build", "--client", self.client,
                                "--rules", self.rules, "--key", self.key, "--version", "2",
                                "--out", self.mirror, "--jobs", "2")
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("data/big.bin: changed", r.stderr)
                self.assertEqual((self.manifest(), self.tree()), before)

    def test_a_worker_that_dies_fails_the_build(self):
        """The pool replaces a killed worker, but its task never answers:
        the build must end with a reason, not wait for ever."""
        self.assertEqual(self.build().returncode, 0)
        before = (self.manifest(), self.tree())
        patch = ("import os, korvanth_publish.pack as pack\n"
                 "def pack_or_die(item):\n"
                 "    os.kill(os.getpid(), 9)\n"
                 "pack.pack = pack_or_die\n")
        r = run_patched(patch, "build", "--client", self.client, "--rules", self.rules,
                        "--key", self.key, "--version", "2", "--out", self.mirror,
                        "--jobs", "2", timeout=120)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("a worker process ended before its task did", r.stderr)
        self.assertEqual((self.manifest(), self.tree()), before)

    def test_the_mirror_tree_inside_the_client_is_refused(self):
        inner = os.path.join(self.client, "data", "mirror")
        r = self.build(out=inner)
        self.assertEqual(r.returncode, 1)
        self.assertIn("inside the client folder", r.stderr)
        self.assertFalse(os.path.exists(inner))

    def test_links_inside_and_wildcard_heavy_rules_publish_faithfully(self):
        self.link("../settings.cfg", "data/settings-link.cfg")
        with open(self.rules) as f:
            rules = f.read()
        # Backtracking would try every way of spreading 12 stars over the
        # name: far longer than the test's patience.
        with open(self.rules, "w") as f:
            f.write("*a" * 12 + "*b stock\n" + rules)
        self.write("data/" + "a" * 200, b"long name\n")
        started = time.monotonic()
        r = self.build()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertLess(time.monotonic() - started, 60)
        doc = json.loads(self.manifest())
        by_path = {e["p"]: e for e in doc["files"]}
        self.assertEqual(by_path["data/settings-link.cfg"]["h"], sha(self.files["settings.cfg"]))
        self.assertEqual(by_path["data/" + "a" * 200]["g"], "base")
        self.assertEqual(self.verify().returncode, 0)


class HugeFile(ClientFixture):
    def test_sparse_file_past_4_gib_is_published_whole(self):
        size = (4 << 30) + 1
        path = os.path.join(self.client, "data", "huge.pak")
        with open(path, "wb") as f:
            f.seek(size - 1)
            f.write(b"!")  # the last byte: a cut at 4 GiB would lose it
        r = self.build("--jobs", "2", "--compression", "best")
        self.assertEqual(r.returncode, 0, r.stderr)
        entry = next(e for e in json.loads(self.manifest())["files"] if e["p"] == "data/huge.pak")
        self.assertEqual(entry["s"], size)
        self.assertLess(0, entry["z"])
        obj = os.path.join(self.mirror, "objects", entry["h"])
        self.assertEqual(os.path.getsize(obj), size)
        self.assertLess(os.stat(obj).st_blocks * 512, 64 << 20)  # still sparse
        digest = subprocess.run(["sha256sum", path], capture_output=True, text=True).stdout
        self.assertEqual(digest.split()[0], entry["h"])
        r = self.verify()
        self.assertEqual(r.returncode, 0, r.stdout)


if __name__ == "__main__":
    unittest.main()
