#!/usr/bin/python3
"""Large files published as content-defined chunks: the index and chunk
objects a build writes, the whole objects left as they were, the patch a
player's launcher fetches, verify's checks, and the chunk tool built on
demand."""

import hashlib
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import unittest

from fixture import RULES, TOOL, ClientFixture, run, sha

MIN_FILE = 150000  # --chunk-min-file of these cases: small files, several chunks


def pak(rng, n):
    """Archive-like bytes: text assets between incompressible ones."""
    words = b"sword shield quest dragon tavern gold potion = 12;\n".split(b" ")
    out = bytearray()
    while len(out) < n:
        out += b" ".join(rng.choice(words) for _ in range(3000)) + rng.randbytes(20000)
    return bytes(out[:n])


def read_index(path):
    """An index read here, by the layout alone: [(length, packed, digest)]
    and the size it states."""
    with open(path, "rb") as f:
        data = f.read()
    magic, version, zero, size, count = struct.unpack_from("<4sB3sQI", data)
    assert (magic, version, zero) == (b"KCIX", 1, b"\0\0\0")
    assert len(data) == 20 + 40 * count
    return [(n, z, d.hex()) for n, z, d in
            (struct.unpack_from("<II32s", data, 20 + 40 * i) for i in range(count))], size


class ChunkFixture(ClientFixture):
    def setUp(self):
        super().setUp()
        rng = random.Random(11)
        for rel, data in (("data/world.pak", pak(rng, 700000)),
                          ("data/music.pak", rng.randbytes(400000)),
                          ("data/other.pak", pak(rng, 300000))):
            self.files[rel] = data
            self.write(rel, data)

    def build(self, *extra, **kw):
        return super().build("--chunk-min-file", str(MIN_FILE), *extra, **kw)

    def entries(self, mirror=None):
        doc = json.loads(self.manifest(mirror))
        return {e["p"]: e for e in doc["files"] + doc.get("optional", [])}

    def objects(self, mirror=None):
        return os.path.join(mirror or self.mirror, "objects")

    def tree_bytes(self, mirror):
        out = {}
        for name in self.tree(mirror):
            path = os.path.join(mirror, name)
            # releases/ holds copies of the manifest pair
            if os.path.isfile(path) and name != "manifest.sig" and not name.startswith("releases"):
                with open(path, "rb") as f:
                    out[name] = f.read()
        return out


class Build(ChunkFixture):
    def test_large_files_get_an_index_and_chunks_that_make_them_up(self):
        r = self.build()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("3 files in chunks", r.stdout)
        entries = self.entries()
        chunker = os.environ["KORVANTH_CHUNKER"]
        for rel, data in self.files.items():
            e = entries[rel]
            if len(data) < MIN_FILE:
                self.assertNotIn("chunks", e, rel)
                continue
            with self.subTest(rel):
                records, size = read_index(os.path.join(self.objects(), e["chunks"]))
                self.assertEqual(size, len(data))
                # The tool's cuts, as the launcher cuts the file.
                cuts = subprocess.run([chunker, os.path.join(self.client, rel)],
                                      capture_output=True, text=True, check=True).stdout
                self.assertEqual([(int(n), d) for _, n, d in (c.split() for c in cuts.splitlines())],
                                 [(n, d) for n, _, d in records])
                joined = b""
                for n, z, d in records:
                    with open(os.path.join(self.objects(), d), "rb") as f:
                        chunk = f.read()
                    self.assertEqual((len(chunk), sha(chunk)), (n, d))
                    gz = os.path.join(self.objects(), d + ".gz")
                    self.assertEqual(os.path.exists(gz), z > 0)
                    if z:
                        self.assertEqual(os.path.getsize(gz), z)
                        self.assertLess(z, n)
                    joined += chunk
                self.assertEqual(joined, data)
        r = self.verify()
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn("3 chunk indexes", r.stdout)

    def test_whole_objects_and_manifest_as_without_chunks(self):
        plain = os.path.join(self.dir, "plain")
        self.assertEqual(self.build("--no-chunks", out=plain).returncode, 0)
        self.assertEqual(self.build().returncode, 0)
        without = self.tree_bytes(plain)
        chunked = self.tree_bytes(self.mirror)
        for name, data in without.items():
            if name != "manifest.json":
                self.assertEqual(chunked[name], data, name)
        # The manifest differs only by the entries' chunks members.
        self.assertEqual(re.sub(rb', "chunks": "[0-9a-f]{64}"', b"", chunked["manifest.json"]),
                         without["manifest.json"])
        self.assertNotEqual(chunked["manifest.json"], without["manifest.json"])

    def test_same_tree_for_any_worker_count(self):
        trees = []
        for jobs in ("1", "3"):
            out = os.path.join(self.dir, "jobs" + jobs)
            r = self.build("--jobs", jobs, out=out)
            self.assertEqual(r.returncode, 0, r.stderr)
            trees.append(self.tree_bytes(out))
        self.assertEqual(trees[0], trees[1])

    def test_a_new_file_with_nothing_local_costs_its_whole_object(self):
        os.rename(os.path.join(self.client, "data/other.pak"), os.path.join(self.dir, "other"))
        old = os.path.join(self.dir, "old")
        self.assertEqual(self.build(out=old).returncode, 0)
        os.rename(os.path.join(self.dir, "other"), os.path.join(self.client, "data/other.pak"))
        self.assertEqual(self.build().returncode, 0)
        r = run("diff", "--list", old, self.mirror)
        e = self.entries()["data/other.pak"]
        self.assertIn("  + data/other.pak (%s bytes)\n" % "{:,}".format(e.get("z") or e["s"]),
                      r.stdout)

    def test_threshold_and_the_option_off(self):
        r = self.build("--chunk-min-file", "500000")  # the later option wins
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([p for p, e in self.entries().items() if "chunks" in e], ["data/world.pak"])
        r = self.build("--chunk-min-file", "0")
        self.assertEqual(r.returncode, 1)
        self.assertIn("--chunk-min-file", r.stderr)


class Patch(ChunkFixture):
    """Release 1 (also built without chunks), then release 2 built into a
    copy of its tree: one archive edited in two places, one moved to
    another folder (with its remove line), one replaced by content it
    shares nothing with, one new."""

    def setUp(self):
        super().setUp()
        self.old = os.path.join(self.dir, "old")
        self.old_plain = os.path.join(self.dir, "old-plain")
        self.assertEqual(self.build(out=self.old).returncode, 0)
        self.assertEqual(self.build("--no-chunks", out=self.old_plain).returncode, 0)
        world = bytearray(self.files["data/world.pak"])
        world[400000:400100] = os.urandom(100)
        world[200000:200000] = os.urandom(3000)
        self.write("data/world.pak", bytes(world))
        os.makedirs(os.path.join(self.client, "audio"))
        os.rename(os.path.join(self.client, "data/music.pak"),
                  os.path.join(self.client, "audio/music.pak"))
        self.write("data/other.pak", os.urandom(300000))
        self.write("data/new.pak", os.urandom(200000))
        with open(self.rules, "w") as f:
            f.write(RULES.replace("remove old/gone.txt", "audio/** base\nremove data/music.pak"))
        subprocess.run(["cp", "-a", self.old, self.mirror], check=True)

    def chunk_digests(self, rel, mirror=None):
        entry = self.entries(mirror)[rel]
        return {d for _, _, d in read_index(os.path.join(self.objects(mirror), entry["chunks"]))[0]}

    def diff(self, old):
        """{path: (whole-object bytes, bytes with chunks)} of `diff --list`."""
        r = run("diff", "--list", old, self.mirror)
        self.assertEqual(r.returncode, 0, r.stderr)
        listed = {}
        for m in re.finditer(r"  [+~] (\S+) \(([\d,]+) bytes(?:, ([\d,]+) with chunks)?\)",
                             r.stdout):
            whole = int(m.group(2).replace(",", ""))
            listed[m.group(1)] = (whole, int(m.group(3).replace(",", "")) if m.group(3) else whole)
        return listed, r.stdout

    def test_next_release_reuses_chunks_and_counts_only_what_changed(self):
        before = set(os.listdir(self.objects()))
        r = self.build("--against", self.old, version="2.0")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.verify().returncode, 0)
        paks = ("data/world.pak", "audio/music.pak", "data/other.pak", "data/new.pak")
        fresh = {rel: self.chunk_digests(rel) - before for rel in paks}
        written = int(re.search(r"(\d+) chunk objects written", r.stdout).group(1))
        self.assertEqual(written, len(set().union(*fresh.values())))
        self.assertLessEqual(len(fresh["data/world.pak"]), 6)  # the chunks around two edits
        self.assertEqual(fresh["audio/music.pak"], set())

        listed, text = self.diff(self.old)
        entries = self.entries()
        index_size = lambda rel: os.path.getsize(os.path.join(self.objects(), entries[rel]["chunks"]))
        wire = lambda rel: entries[rel].get("z") or entries[rel]["s"]
        # Edited: the index and the chunks the old copy lacks, each once, at
        # its .gz size where it has one.
        old_chunks = self.chunk_digests("data/world.pak", self.old)
        missing = {d: z or n for n, z, d in read_index(
            os.path.join(self.objects(), entries["data/world.pak"]["chunks"]))[0]
            if d not in old_chunks}
        self.assertEqual(listed["data/world.pak"],
                         (wire("data/world.pak"), index_size("data/world.pak") + sum(missing.values())))
        self.assertLess(listed["data/world.pak"][1], wire("data/world.pak") / 5)
        # Moved: every chunk is in the removed file; only the index travels.
        self.assertEqual(listed["audio/music.pak"],
                         (wire("audio/music.pak"), index_size("audio/music.pak")))
        # Nothing shared: the index, then the whole object. So for the new
        # file, whose only possible source is the removed one.
        for rel in ("data/other.pak", "data/new.pak"):
            self.assertEqual(listed[rel], (wire(rel), index_size(rel) + wire(rel)), rel)
        ours = sum(c for _, c in listed.values())
        self.assertIn("with chunks: %s bytes over the wire" % "{:,}".format(ours), text)
        self.assertRegex(text, r"chunks on the mirror: \d+ objects, [\d,]+ bytes "
                               r"\([\d,]+ bytes new since 1.0\)")
        # build --against printed the same patch.
        self.assertIn("with chunks: %s bytes over the wire" % "{:,}".format(ours), r.stdout)

    def test_old_files_without_an_index_are_cut_from_their_objects(self):
        self.assertEqual(self.build(version="2.0").returncode, 0)
        with_index, _ = self.diff(self.old)
        without_index, _ = self.diff(self.old_plain)
        self.assertEqual(without_index, with_index)


class Verify(ChunkFixture):
    def test_verify_finds_each_chunk_fault(self):
        def world_index():
            return os.path.join(self.objects(), self.entries()["data/world.pak"]["chunks"])

        def a_chunk(packed):
            for n, z, d in read_index(world_index())[0]:
                if (z > 0) == packed:
                    return os.path.join(self.objects(), d)
            raise AssertionError("no such chunk")

        def flip(path, at):
            with open(path, "r+b") as f:
                f.seek(at)
                b = f.read(1)
                f.seek(at)
                f.write(bytes([b[0] ^ 1]))

        cases = [
            ("flipped chunk byte", lambda: flip(a_chunk(False), 5), "does not match its name"),
            ("missing chunk", lambda: os.unlink(a_chunk(True)), "missing"),
            ("flipped chunk .gz trailer", lambda: flip(a_chunk(True) + ".gz",
                                                       os.path.getsize(a_chunk(True) + ".gz") - 6),
             "does not decode"),
            ("changed index", lambda: flip(world_index(), 30), "content does not match its name"),
            ("missing index", lambda: os.unlink(world_index()), "chunk index of data/world.pak"),
        ]
        for why, damage, message in cases:
            with self.subTest(why):
                self.assertEqual(self.build().returncode, 0)
                self.assertEqual(self.verify().returncode, 0)
                damage()
                r = self.verify()
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(message, r.stdout)
                shutil.rmtree(self.objects())


class OnDemandTool(ChunkFixture):
    """Without --chunker the tool is built from tools/chunker into the cache
    folder, once; without a compiler the build names its ways out."""

    def run_without_tool(self, *extra, **env):
        args = ["build", "--client", self.client, "--rules", self.rules, "--key", self.key,
                "--version", "1.0", "--generated", "2026-01-02T03:04:05Z", "--out", self.mirror,
                "--chunk-min-file", str(MIN_FILE), "--force"]
        environment = {k: v for k, v in os.environ.items() if k != "KORVANTH_CHUNKER"}
        environment.update(XDG_CACHE_HOME=os.path.join(self.dir, "cache"), **env)
        return subprocess.run([sys.executable, TOOL] + args + list(extra), capture_output=True,
                              text=True, env=environment)

    def test_built_once_into_the_cache(self):
        r = self.run_without_tool()
        self.assertEqual(r.returncode, 0, r.stderr)
        made = [os.path.join(d, n) for d, _, names in os.walk(os.path.join(self.dir, "cache"))
                for n in names]
        self.assertEqual(len(made), 1)
        self.assertTrue(made[0].endswith("/korvanth-chunk"))
        first = os.stat(made[0]).st_mtime_ns
        with_given = os.path.join(self.dir, "given")
        self.assertEqual(self.build(out=with_given).returncode, 0)
        self.assertEqual(self.manifest(with_given), self.manifest())
        self.assertEqual(self.run_without_tool().returncode, 0)
        self.assertEqual(os.stat(made[0]).st_mtime_ns, first)

    def test_without_a_compiler_the_ways_out_are_named(self):
        r = self.run_without_tool(CXX="/bin/false")
        self.assertEqual(r.returncode, 1)
        self.assertIn("building the chunk tool", r.stderr)
        self.assertIn("--no-chunks", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.mirror, "manifest.json")))
        r = self.run_without_tool("--no-chunks", CXX="/bin/false")
        self.assertEqual(r.returncode, 0, r.stderr)


if __name__ == "__main__":
    unittest.main()
