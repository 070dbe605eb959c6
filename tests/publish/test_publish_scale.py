#!/usr/bin/python3
"""The release tool at scale: worker processes, the stronger encoder, the
progress line and the patch a release costs players."""

import json
import os
import pty
import random
import subprocess
import sys
import unittest

from fixture import TOOL, ClientFixture, run, sha

# Text that packs like the configuration and scripts of a game client.
WORDS = ("window frame texture shader sound volume player quest item armor weapon level "
         "spell mana health damage speed range target enemy friend guild chat").split()


def text(rng, n):
    return "\n".join(" ".join(rng.choice(WORDS) for _ in range(8)) + " = %d;" % rng.randrange(999)
                     for _ in range(n // 60)).encode()


class Parallel(ClientFixture):
    def setUp(self):
        super().setUp()
        rng = random.Random(7)
        for i in range(24):
            self.write("data/t%02d.txt" % i, text(rng, rng.choice((900, 20000, 150000))))
        self.write("data/same.txt", text(random.Random(1), 5000))
        self.write("data/twin.txt", text(random.Random(1), 5000))  # one object, two entries
        self.write("data/zeros.bin", bytes(3 << 20))                # several blocks

    def objects(self, mirror):
        folder = os.path.join(mirror, "objects")
        out = {}
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "rb") as f:
                out[name] = f.read()
        return out

    def test_same_objects_and_manifest_for_any_worker_count(self):
        for compression in ("zlib9", "best"):
            trees = []
            for jobs in ("1", "4"):
                out = os.path.join(self.dir, "%s-%s" % (compression, jobs))
                r = self.build("--jobs", jobs, "--compression", compression, out=out)
                self.assertEqual(r.returncode, 0, r.stderr)
                trees.append((self.manifest(out), self.objects(out)))
            with self.subTest(compression):
                self.assertEqual(trees[0][0], trees[1][0])
                self.assertEqual(trees[0][1], trees[1][1])

    def test_best_is_smaller_verifies_and_says_what_it_saved(self):
        zlib9 = os.path.join(self.dir, "zlib9")
        self.assertEqual(self.build("--compression", "zlib9", out=zlib9).returncode, 0)
        r = self.build("--compression", "best")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.verify().returncode, 0, self.verify().stdout)
        entries = lambda doc: {e["p"]: e for e in doc["files"] + doc["optional"]}
        plain = entries(json.loads(self.manifest(zlib9)))
        best = entries(json.loads(self.manifest()))
        wire = lambda e: e.get("z") or e["s"]
        for path, e in best.items():
            with self.subTest(path):
                self.assertLessEqual(wire(e), wire(plain[path]))
                if "z" in e:
                    self.assertLess(e["z"], e["s"])
                    self.assertEqual(os.path.getsize(self.obj_of(e) + ".gz"), e["z"])
        # Per object: the twins share one.
        zlib_bytes = sum({e["h"]: wire(e) for e in plain.values()}.values())
        best_bytes = sum({e["h"]: wire(e) for e in best.values()}.values())
        self.assertLess(best_bytes, zlib_bytes)
        self.assertIn("%s bytes over the wire for the 33 new objects, zlib level 9 %s: %s bytes"
                      % tuple("{:,}".format(n) for n in (best_bytes, zlib_bytes,
                                                        zlib_bytes - best_bytes)), r.stdout)

    def obj_of(self, entry):
        return os.path.join(self.mirror, "objects", entry["h"])

    def test_best_without_its_encoder_is_refused_by_name(self):
        r = subprocess.run([sys.executable, TOOL, "build", "--client", self.client, "--rules",
                            self.rules, "--key", self.key, "--version", "1", "--out", self.mirror,
                            "--compression", "best"], capture_output=True, text=True,
                           env=dict(os.environ, PATH="/nonexistent"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("libdeflate-tools", r.stderr)
        self.assertFalse(os.path.exists(self.mirror))

    def test_progress_on_a_terminal_in_a_log_and_quiet(self):
        r = self.build("--quiet")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        r = self.build()
        self.assertRegex(r.stderr, r"^korvanth-publish: 34/34 files, (\d+\.\d) of \1 MiB")
        self.assertNotIn("\r", r.stderr)
        # On a terminal: one line, redrawn in place and ended once.
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(sys.executable, [sys.executable, TOOL, "build", "--client", self.client,
                                      "--rules", self.rules, "--key", self.key, "--version",
                                      "2", "--out", self.mirror])
        seen = b""
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        self.assertEqual(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), 0, seen)
        self.assertIn(b"\rkorvanth-publish: 34/34 files", seen)
        self.assertIn(b"\x1b[K\r\n", seen)


class Patch(ClientFixture):
    """Two releases made here; `diff` must count what the launcher would fetch."""

    def setUp(self):
        super().setUp()
        self.old, self.new = os.path.join(self.dir, "old"), os.path.join(self.dir, "new")
        self.write("data/Case.txt", b"renamed in case only\n")
        self.write("data/old.txt", b"listed for removal\n")
        self.write("data/left.txt", b"dropped without a remove line\n")
        self.assertEqual(self.build(out=self.old).returncode, 0)
        for gone in ("data/Case.txt", "data/old.txt", "data/left.txt"):
            os.unlink(os.path.join(self.client, gone))
        self.write("data/case.txt", b"renamed in case only\n")
        self.packs = b"MZ" + b"\1\2" * 40000
        self.write("system/dv.exe", self.packs)                 # changed, sent packed
        self.write("system/dv2.exe", self.packs)                # added, copied locally
        self.write("data/new.bin", os.urandom(700))             # added, sent plain
        self.write("ui/a.xml", b"<ui version='2'/>\n")          # changed, interface only
        self.write("system/d3d9_dxvk.dll", os.urandom(900))     # changed, Vulkan only
        self.write("settings.cfg", b"volume=7\n")               # seed: players keep theirs
        with open(self.rules, "a") as f:
            f.write("remove data/old.txt\n")
        launcher = self.fake_launcher(3002)
        self.assertEqual(self.build("--launcher", launcher, version="1.1", out=self.new)
                         .returncode, 0)
        with open(os.path.join(self.new, "objects", sha(self.packs) + ".gz"), "rb") as f:
            self.packed = len(f.read())

    def test_counts_and_bytes_for_each_kind_of_player(self):
        cases = [
            # interface, dxvk, changed files, their bytes
            ("0", "0", 1, self.packed),
            ("1", "0", 2, self.packed + 18),
            ("0", "1", 2, self.packed + 900),
        ]
        for interface, dxvk, changed, changed_bytes in cases:
            with self.subTest(interface=interface, dxvk=dxvk):
                r = run("diff", "--interface", interface, "--dxvk", dxvk, self.old, self.new)
                self.assertEqual(r.returncode, 0, r.stderr)
                total = 700 + changed_bytes + 3002
                self.assertIn("1.0 -> 1.1: %s bytes over the wire" % "{:,}".format(total),
                              r.stdout)
                self.assertIn("added 2 files (700 bytes), changed %d files (%s bytes), removed "
                              "2 files" % (changed, "{:,}".format(changed_bytes)), r.stdout)
                self.assertIn("1 removed files stay on players' disks", r.stdout)
                self.assertIn("1 changed seed files are not sent", r.stdout)
                self.assertIn("a new launcher (3,002 bytes)", r.stdout)

    def test_listing_and_build_against_the_tree_it_replaces(self):
        r = run("diff", "--list", self.old, self.new)
        listed = [line.strip() for line in r.stdout.splitlines() if line.startswith("  ")][:5]
        self.assertEqual(listed, ["+ data/new.bin (700 bytes)", "+ system/dv2.exe (0 bytes)",
                                  "~ system/dv.exe (%s bytes)" % "{:,}".format(self.packed),
                                  "- data/left.txt (stays on players' disks)",
                                  "- data/old.txt"])
        # Publishing into the old tree itself: the patch is worked out before
        # the new manifest replaces the old one.
        r = self.build("--against", self.old, version="1.2", out=self.old)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("1.0 -> 1.2: %s bytes over the wire" % "{:,}".format(700 + self.packed),
                      r.stdout)
        self.assertEqual(run("diff", self.new, self.new).stdout.splitlines()[1],
                         "  added 0 files (0 bytes), changed 0 files (0 bytes), removed 0 files")

    def test_a_tree_without_a_valid_manifest_is_named(self):
        os.unlink(os.path.join(self.old, "manifest.json"))
        r = run("diff", self.old, self.new)
        self.assertEqual(r.returncode, 1)
        self.assertIn(os.path.join(self.old, "manifest.json"), r.stderr)


if __name__ == "__main__":
    unittest.main()
