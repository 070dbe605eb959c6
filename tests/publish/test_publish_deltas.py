#!/usr/bin/python3
"""Deltas between releases: the delta objects a build writes for large
files from the versions earlier releases carried, each one applied to the
old bytes; the options that shape them; verify's, prune's and diff's view
of them."""

import gzip
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

from fixture import TOOL, ClientFixture, run, run_patched, sha

sys.path.insert(0, os.path.dirname(TOOL))
from korvanth_publish import delta  # noqa: E402

MIN_FILE = 100000  # --delta-min-file of these cases
BIG, SMALL, SAME = "data/big.pak", "data/small.pak", "data/same.pak"
TIMES = ["2026-01-0%dT00:00:00Z" % d for d in range(1, 10)]


def content(rng, n):
    """Archive-like bytes: text between incompressible runs, so the whole
    object has a .gz."""
    words = b"sword shield quest dragon tavern gold potion = 12;\n".split(b" ")
    out = bytearray()
    while len(out) < n:
        out += b" ".join(rng.choice(words) for _ in range(800)) + rng.randbytes(6000)
    return bytes(out[:n])


def edited(rng, data):
    """The next version: an overwrite, an insertion and a deletion."""
    out = bytearray(data)
    out[40000:40100] = rng.randbytes(100)
    out[150000:150000] = rng.randbytes(2000)
    del out[250000:251000]
    return bytes(out)


class DeltaFixture(ClientFixture):
    """Releases 1.0, 1.1 and 1.2 of a client whose large archive changes in
    every release, whose small one does too, and whose third one never does."""

    def setUp(self):
        super().setUp()
        self.rng = random.Random(5)
        self.versions = {BIG: [content(self.rng, 320000)], SMALL: [content(self.rng, 50000)]}
        self.files[SAME] = content(self.rng, 200000)
        self.write(SAME, self.files[SAME])

    def build(self, *extra, version="1.0", **kw):
        return super().build("--delta-min-file", str(MIN_FILE), "--delta-segment", "65536",
                             *extra, version=version,
                             generated=TIMES[int(version.split(".")[1])], force=False, **kw)

    def release(self, number, *extra, out=None):
        """Builds release 1.<number>, its files one edit further than the last."""
        for rel, history in self.versions.items():
            while len(history) <= number:
                history.append(edited(self.rng, history[-1]))
            self.files[rel] = history[number]
            self.write(rel, history[number])
        r = self.build(*extra, version="1.%d" % number, out=out)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r

    def releases(self, count, *extra):
        for n in range(count):
            r = self.release(n, *(extra if n == count - 1 else ()))
        return r

    def entries(self, mirror=None):
        doc = json.loads(self.manifest(mirror))
        return {e["p"]: e for e in doc["files"] + doc.get("optional", [])}

    def objects(self):
        return os.path.join(self.mirror, "objects")

    def read_object(self, digest):
        with open(os.path.join(self.objects(), digest), "rb") as f:
            return f.read()


class Build(DeltaFixture):
    def test_third_release_names_a_delta_from_each_earlier_version(self):
        for n in range(3):
            r = self.release(n, "--launcher", self.fake_launcher(150000 + n))
        self.assertIn("deltas: 2 written", r.stdout)
        self.assertRegex(r.stdout, r"peak encoder memory [\d.]+ MiB")
        doc = json.loads(self.manifest())
        self.assertNotIn("deltas", doc["launcher"])
        entries = self.entries()
        self.assertEqual([p for p, e in entries.items() if "deltas" in e], [BIG])
        big = entries[BIG]
        self.assertEqual(list(big)[-1], "deltas")
        old = self.versions[BIG]
        self.assertEqual([d["from"] for d in big["deltas"]], [sha(old[1]), sha(old[0])])
        for d, before in zip(big["deltas"], (old[1], old[0])):
            self.assertIn(list(d), (["from", "h", "s"], ["from", "h", "s", "z"]))
            data = self.read_object(d["h"])
            self.assertEqual((sha(data), len(data)), (d["h"], d["s"]))
            self.assertLess(d.get("z") or d["s"], big.get("z") or big["s"])
            self.assertEqual(delta.apply(before, data), old[2])
        r = self.verify()
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn("2 deltas", r.stdout)

    def test_options_shape_the_deltas(self):
        cases = [
            # (options of the third build, versions the deltas come from, summary text)
            ((), [1, 0], "deltas: 2 written"),
            (("--delta-releases", "1"), [1], "deltas: 1 written"),
            (("--no-deltas",), [], None),
            (("--delta-min-file", "400000"), [], None),
            (("--delta-max-file", "200000"), [], "data/big.pak: 32\\d,\\d{3} bytes, above "
                                                 "--delta-max-file"),
        ]
        self.releases(2)
        saved = os.path.join(self.dir, "two")
        shutil.copytree(self.mirror, saved)
        for options, sources, text in cases:
            with self.subTest(options):
                shutil.rmtree(self.mirror)
                shutil.copytree(saved, self.mirror)
                before = set(os.listdir(self.objects()))
                r = self.release(2, *options)
                big = self.entries()[BIG]
                self.assertEqual([d["from"] for d in big.get("deltas", [])],
                                 [sha(self.versions[BIG][n]) for n in sources])
                if text:
                    self.assertRegex(r.stdout, text)
                if options == ("--no-deltas",):
                    self.assertNotIn(b'"deltas"', self.manifest())
                    self.assertNotIn("deltas", r.stdout)
                    new = set(os.listdir(self.objects())) - before
                    self.assertEqual(new, {sha(self.files[BIG]), sha(self.files[BIG]) + ".gz",
                                           sha(self.files[SMALL]), sha(self.files[SMALL]) + ".gz"})

    def test_same_tree_for_any_worker_count_and_memory_budget(self):
        trees = []
        for options in (("--jobs", "1"), ("--jobs", "3"), ("--jobs", "3", "--delta-memory",
                                                           "1048576")):
            self.mirror = os.path.join(self.dir, "m%d" % len(trees))
            self.releases(3, *options)
            objects = {n: self.read_object(n) for n in sorted(os.listdir(self.objects()))}
            trees.append((objects, self.manifest()))
        self.assertEqual(trees[0], trees[1])
        self.assertEqual(trees[0], trees[2])

    def test_deltas_of_an_unchanged_file_are_used_again(self):
        self.releases(3)
        before = set(os.listdir(self.objects()))
        r = self.build(version="1.3")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("deltas: 0 written (0 bytes), 2 reused", r.stdout)
        self.assertEqual([d["from"] for d in self.entries()[BIG]["deltas"]],
                         [sha(self.versions[BIG][1]), sha(self.versions[BIG][0])])
        self.assertEqual(set(os.listdir(self.objects())), before)

    def test_a_delta_not_smaller_than_the_whole_object_is_not_kept(self):
        self.releases(1)
        self.versions[BIG].append(os.urandom(320000))  # nothing in common with 1.0's
        r = self.release(1)
        self.assertIn("deltas: 0 written (0 bytes), 0 reused, 1 not kept", r.stdout)
        self.assertNotIn("deltas", self.entries()[BIG])

    def test_pieces_find_their_old_bytes_after_a_large_insertion(self):
        """100 kB inserted near the start moves the rest of the file by more
        than a piece's window reaches around its own offset."""
        self.releases(1)
        moved = self.versions[BIG][0][:10000] + os.urandom(100000) + self.versions[BIG][0][10000:]
        self.versions[BIG].append(moved)
        self.release(1)
        big = self.entries()[BIG]
        d = big["deltas"][0]
        self.assertEqual(delta.apply(self.versions[BIG][0], self.read_object(d["h"])), moved)
        self.assertLess(d.get("z") or d["s"], 110000)
        self.assertGreater(big.get("z") or big["s"], 200000)

    def test_a_delta_the_chunks_beat_is_not_kept(self):
        """A launcher takes any delta that costs less than the whole object;
        one that costs more than the chunks it would fetch instead is left
        out. Here each piece is diffed against half its length of old bytes,
        so the delta carries half the file, the chunks one edited chunk."""
        self.releases(1, "--chunk-min-file", str(MIN_FILE))
        edit = bytearray(self.versions[BIG][0])
        edit[200000:200050] = bytes(50)
        self.versions[BIG].append(bytes(edit))
        self.write(BIG, bytes(edit))
        r = run_patched("from korvanth_publish import delta\n"
                        "delta.window_width = lambda old_size, segment: segment // 2",
                        "build", "--client", self.client, "--rules", self.rules, "--key",
                        self.key, "--version", "1.1", "--out", self.mirror, "--generated",
                        TIMES[1], "--delta-min-file", str(MIN_FILE), "--delta-segment",
                        "65536", "--chunk-min-file", str(MIN_FILE))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("1 not kept (not smaller than the whole object or the chunks)", r.stdout)
        self.assertNotIn("deltas", self.entries()[BIG])
        self.assertRegex(run("diff", "--list", "1.0", self.mirror).stdout,
                         r"~ data/big.pak \([\d,]+ bytes, [\d,]+ with chunks\): chunks")

    def test_old_versions_from_what_the_tree_holds(self):
        def gone(digest):
            os.unlink(os.path.join(self.objects(), digest))

        def damaged(digest):
            with open(os.path.join(self.objects(), digest), "r+b") as f:
                f.write(b"X")

        cases = [
            # (what happens to 1.0's object of the archive, deltas made, text)
            ("plain object gone, .gz kept", gone, [1, 0], None),
            ("both gone", lambda d: (gone(d), gone(d + ".gz")), [1],
             r"data/big.pak: no delta from release 1.0: objects/%s is not in the tree"),
            ("plain object damaged", damaged, [1],
             r"no delta from release 1.0: objects/%s does not match its name"),
        ]
        self.releases(2)
        saved = os.path.join(self.dir, "two")
        shutil.copytree(self.mirror, saved)
        for why, change, sources, text in cases:
            with self.subTest(why):
                shutil.rmtree(self.mirror)
                shutil.copytree(saved, self.mirror)
                first = sha(self.versions[BIG][0])
                change(first)
                r = self.release(2)
                big = self.entries()[BIG]
                self.assertEqual([d["from"] for d in big["deltas"]],
                                 [sha(self.versions[BIG][n]) for n in sources])
                for d in big["deltas"]:
                    old = self.versions[BIG][[sha(v) for v in self.versions[BIG]].index(d["from"])]
                    self.assertEqual(delta.apply(old, self.read_object(d["h"])), self.files[BIG])
                if text:
                    self.assertRegex(r.stdout, text % first)

    def test_a_file_bsdiff_is_too_slow_on_gets_a_delta_with_its_runs_cut(self):
        """bsdiff's search takes time quadratic in runs of one repeated
        byte: with a limit of one second of processor time, a file of zeros
        gets its delta with the runs cut from bsdiff's input (at once, or
        after bsdiff gave up), or, with no cutting, none; a delta that fails
        when applied is not published. The other file has its delta."""
        limit = ("from korvanth_publish import delta, deltas\n"
                 "deltas.CPU_SECONDS_BASE, deltas.CPU_SECONDS_PER_MIB = 1, 0\n")
        cut = r"data/zeros.bin: delta from release 1.0 made with 1,499,999 bytes of runs"
        broken = ("records = delta.records\n"
                  "delta.records = lambda ops, rewind=False: records(ops, rewind)[:-1] + b'?'\n")
        cases = [
            # (what, patch, deltas of zeros.bin, of the archive, text)
            ("runs cut at once", "", 1, 1, cut),
            ("runs cut once bsdiff gave up", "delta.RUN_SLOW = 1 << 40", 1, 1, cut),
            ("no cutting", "delta.RUN_CUTS, delta.RUN_SLOW = (), 1 << 30", 0, 1,
             r"data/zeros.bin: no deltas: bsdiff used over 1 s of processor time"),
            ("a delta that does not apply", broken, 0, 0,
             r"data/zeros.bin: no delta from release 1.0: the delta made fails when applied "
             r"\(makes another new file\)"),
        ]
        self.write("data/zeros.bin", b"\0" * 1500000)
        self.releases(1)
        saved = os.path.join(self.dir, "one")
        shutil.copytree(self.mirror, saved)
        zeros = b"\1" + b"\0" * 1499999
        self.write("data/zeros.bin", zeros)
        self.versions[BIG].append(edited(self.rng, self.versions[BIG][0]))
        self.write(BIG, self.versions[BIG][1])
        for why, patch, made, big, text in cases:
            with self.subTest(why):
                shutil.rmtree(self.mirror)
                shutil.copytree(saved, self.mirror)
                r = run_patched(limit + patch, "build", "--client", self.client, "--rules",
                                self.rules, "--key", self.key, "--version", "1.1", "--out",
                                self.mirror, "--generated", TIMES[1], "--delta-min-file",
                                str(MIN_FILE), "--delta-segment", "2000000")
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertRegex(r.stdout, text)
                entries = self.entries()
                found = entries["data/zeros.bin"].get("deltas", [])
                self.assertEqual(len(found), made)
                for d in found:
                    self.assertEqual(delta.apply(b"\0" * 1500000, self.read_object(d["h"])),
                                     zeros)
                self.assertEqual(len(entries[BIG].get("deltas", [])), big)


class RunsCut(unittest.TestCase):
    """delta.make with every piece's runs of one byte cut from bsdiff's
    input and put back: runs at either end, inside bytes that bsdiff adds to
    old ones and inside its new bytes, side by side, across pieces, and
    nothing but runs."""

    def test_the_delta_makes_the_new_file(self):
        rng = random.Random(9)
        code = rng.randbytes(200000)

        def run(byte, n):
            return bytes([byte]) * n

        cases = [
            # (what, old, new, segment)
            ("runs at both ends", code, run(0, 5000) + code[:100000] + run(0xCC, 700), None),
            ("a run inside matched bytes", code[:90000] + run(0, 3000) + code[90000:],
             code[:90000] + run(0, 3000) + code[90000:150000] + b"x" + code[150001:], None),
            ("a run inside new bytes", code,
             code[:1000] + rng.randbytes(500) + run(7, 200) + rng.randbytes(500) + code[1000:],
             None),
            ("runs side by side", code, code[:5000] + run(0, 100) + run(1, 100) + run(0, 64) +
             code[5000:], None),
            ("runs across pieces", code, code[:60000] + run(0, 150000) + code[60000:], 65536),
            ("nothing but runs", code, run(0, 70000) + run(0xFF, 70000), 65536),
        ]
        saved = delta.RUN_CUTS, delta.RUN_SLOW
        delta.RUN_CUTS, delta.RUN_SLOW = (64,), 64
        try:
            for why, old, new, segment in cases:
                with self.subTest(why), tempfile.TemporaryDirectory() as tmp:
                    paths = os.path.join(tmp, "old"), os.path.join(tmp, "new")
                    for path, data in zip(paths, (old, new)):
                        with open(path, "wb") as f:
                            f.write(data)
                    made = delta.make(*paths, segment=segment)
                    self.assertEqual(delta.apply(old, made), new)
                    self.assertLess(len(made), 20000)
        finally:
            delta.RUN_CUTS, delta.RUN_SLOW = saved


class Apply(unittest.TestCase):
    """The tool's applier, on bytes and on files, against deltas that are
    damaged or lie: each fails with what is wrong."""

    OLD = b"old bytes"

    def test_bad_deltas_fail(self):
        def obj(records, new=b"abcd", member=None, old=self.OLD):
            member = gzip.compress(records, mtime=0) if member is None else member
            return delta.HEADER.pack(delta.MAGIC, delta.VERSION, len(old), len(new),
                                     hashlib.sha256(old).digest(), hashlib.sha256(new).digest(),
                                     len(member)) + member

        def rec(add, copy, seek, data=b""):
            return delta.leb128(add) + delta.leb128(copy) + delta.leb128(delta.zigzag(seek)) + data

        def good_with(diff):  # "ab", then "b" of the old bytes plus `diff`, then "d"
            return rec(0, 2, 4, b"ab") + rec(1, 0, 0, diff) + rec(0, 1, 0, b"d")

        good = good_with(b"\1")
        member = gzip.compress(good, mtime=0)
        cases = [
            ("good", obj(good), None),
            ("cut in its header", obj(good)[:50], "shorter than its header"),
            ("another format", b"KVDX" + obj(good)[4:], "not a delta of this format"),
            ("another old file", obj(good, old=b"other"), "made for another old file"),
            ("record cut short", obj(rec(0, 4, 0, b"ab")), "record cut short"),
            ("a number never ending", obj(b"\xff" * 12), "record cut short"),
            ("copy past the new file's end", obj(rec(0, 5, 0, b"abcde")),
             "record past a file's end"),
            ("add past the old file's end", obj(rec(0, 0, 6) + rec(4, 0, 0, b"\0" * 4)),
             "record past a file's end"),
            ("seek before the old file", obj(rec(0, 2, -1, b"ab")), "seek outside the old file"),
            ("records after the new file", obj(good + rec(0, 0, 0)),
             "bytes after the last record"),
            ("wrong bytes", obj(good_with(b"\2")), "makes another new file"),
            ("stream cut short", obj(b"", member=member[:-12]), "stream: "),
            ("bytes after the stream", obj(b"", member=member + b"\0"), "stream: "),
            ("stream's check fails", obj(b"", member=member[:-8] + b"\0" * 4 + member[-4:]),
             "stream: "),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            old_path, path = os.path.join(tmp, "old"), os.path.join(tmp, "delta")
            with open(old_path, "wb") as f:
                f.write(self.OLD)
            for why, made, problem in cases:
                with self.subTest(why):
                    with open(path, "wb") as f:
                        f.write(made)
                    if problem is None:
                        self.assertEqual(delta.apply(self.OLD, made), b"abcd")
                        delta.check_file(old_path, path)
                        continue
                    with self.assertRaisesRegex(ValueError, problem):
                        delta.apply(self.OLD, made)
                    if why != "another old file":  # the file's checker trusts the old file
                        with self.assertRaisesRegex(ValueError, problem):
                            delta.check_file(old_path, path)


class Tree(DeltaFixture):
    def test_verify_finds_each_delta_fault(self):
        def a_delta():
            return os.path.join(self.objects(), self.entries()[BIG]["deltas"][0]["h"])

        def flip(path):
            with open(path, "r+b") as f:
                f.seek(200)
                b = f.read(1)
                f.seek(200)
                f.write(bytes([b[0] ^ 1]))

        cases = [
            ("missing", lambda: os.unlink(a_delta()), r"objects/[0-9a-f]{64}: delta of "
                                                      r"data/big.pak from [0-9a-f]{12} missing"),
            ("flipped byte", lambda: flip(a_delta()), "does not match its name"),
        ]
        self.releases(3)
        saved = os.path.join(self.dir, "three")
        shutil.copytree(self.mirror, saved)
        for why, damage, message in cases:
            with self.subTest(why):
                shutil.rmtree(self.mirror)
                shutil.copytree(saved, self.mirror)
                damage()
                r = self.verify()
                self.assertEqual(r.returncode, 1)
                self.assertRegex(r.stdout, message)

    def test_prune_keeps_the_deltas_kept_releases_name(self):
        self.releases(4)
        deltas = {v: {d["h"] for d in self.entries(os.path.join(
            self.mirror, "releases", v))[BIG]["deltas"]} for v in ("1.1", "1.2", "1.3")}
        r = run("prune", "--keep", "2", self.mirror)
        self.assertEqual(r.returncode, 0, r.stderr)
        held = set(os.listdir(self.objects()))
        kept = deltas["1.2"] | deltas["1.3"]
        self.assertEqual(len(kept), 5)
        self.assertLessEqual(kept, held)
        self.assertEqual(deltas["1.1"] & held, set())  # 1.0 -> 1.1: named by 1.1 alone
        self.assertEqual(self.verify().returncode, 0)

    def test_diff_names_the_launchers_choice(self):
        self.releases(3, "--delta-releases", "1")
        whole = self.entries()[BIG].get("z") or self.entries()[BIG]["s"]
        d = self.entries()[BIG]["deltas"][0]
        for old, expect in (("1.1", "%s (%s bytes, %s by delta): delta"
                             % (BIG, "{:,}".format(whole), "{:,}".format(d.get("z") or d["s"]))),
                            ("1.0", "%s (%s bytes)\n" % (BIG, "{:,}".format(whole)))):
            with self.subTest(old):
                r = run("diff", "--list", old, self.mirror)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn("  ~ " + expect, r.stdout)
                total = re.search(r"with deltas: ([\d,]+) bytes over the wire", r.stdout)
                if old == "1.1":
                    self.assertIsNotNone(total)
                    self.assertRegex(r.stdout, r"deltas on the mirror: 1 objects, [\d,]+ bytes")
                else:
                    self.assertIsNone(total)


class MapFind(unittest.TestCase):
    """delta.map_find on a file of whole pages mapped just below a page that
    cannot be read, where Debian 12's Python reads a byte past a search that
    reaches the end and dies. Run in a process of its own, so that a fault
    fails the test rather than ending the run."""

    SEARCH = textwrap.dedent("""
        import json, mmap, sys
        sys.path.insert(0, sys.argv[1])
        from korvanth_publish import delta
        path, page = sys.argv[2], mmap.PAGESIZE
        data = bytes(page * 4 - 6) + b"needle"
        with open(path, "wb") as f:
            f.write(data)
        kept = []
        for _ in range(64):  # the kernel places each mapping below the last
            guard = mmap.mmap(-1, page, prot=0)
            f = open(path, "rb")
            m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            kept.append((guard, f, m))
            lines = open("/proc/self/maps").read().splitlines()
            ends = {l.split()[0].split("-")[1] for l in lines if l.endswith(path)}
            if any(l.split("-")[0] in ends and l.split()[1].startswith("---") for l in lines):
                break
        else:
            sys.exit(77)
        n = len(data)
        cases = [(b"needle", 0), (b"needle", n - 6), (b"needle", n - 5), (b"needlf", 0),
                 (b"fo", 0), (bytes(2), n - 8), (bytes(7), n - 12)]
        print(json.dumps([[delta.map_find(m, p, lo, n), data.find(p, lo)] for p, lo in cases]))
    """)

    def test_a_search_to_the_end_reads_nothing_past_the_mapping(self):
        with tempfile.TemporaryDirectory() as tmp:
            run = subprocess.run([sys.executable, "-c", self.SEARCH, os.path.dirname(TOOL),
                                  os.path.join(tmp, "old")], capture_output=True, text=True)
        if run.returncode == 77:
            self.skipTest("no unreadable page could be placed after the mapping")
        self.assertEqual(run.returncode, 0, run.stderr)
        for got, expected in json.loads(run.stdout):
            self.assertEqual(got, expected)


if __name__ == "__main__":
    unittest.main()
