#!/usr/bin/python3
"""The publisher's release tool, run as publishers run it: as a program."""

import base64
import gzip
import json
import os
import subprocess
import unittest

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from fixture import RULES, ClientFixture, run, sha


class Release(ClientFixture):
    def test_built_release_is_signed_complete_and_verifies(self):
        launcher = self.fake_launcher(5011)
        r = self.build("--mirror", "https://m1.example/", "--launcher", launcher)
        self.assertEqual(r.returncode, 0, r.stderr)
        data = self.manifest()
        doc = json.loads(data)
        self.assertEqual(list(doc), ["version", "generated", "launcher", "mirrors", "files",
                                     "optional", "remove"])
        self.assertEqual(doc["generated"], "2026-01-02T03:04:05Z")
        self.assertEqual(doc["mirrors"], ["https://m1.example/"])
        self.assertEqual(doc["remove"], ["old/gone.txt"])
        self.assertEqual(doc["launcher"]["p"], "Korvanth.exe")
        by_path = {e["p"]: e for e in doc["files"]}
        self.assertEqual(sorted(by_path), sorted(p for p in self.files if "dxvk" not in p))
        self.assertEqual([e["p"] for e in doc["optional"]], ["system/d3d9_dxvk.dll"])
        self.assertEqual(doc["optional"][0]["id"], "dxvk")
        self.assertNotIn("g", doc["optional"][0])
        groups = {p: e["g"] for p, e in by_path.items()}
        self.assertEqual(groups["system/dv.exe"], "system")
        self.assertEqual(groups["ui/a.xml"], "interface")
        self.assertEqual(groups["stock/a.xml"], "stock")
        self.assertEqual(groups["settings.cfg"], "base")
        self.assertEqual(by_path["settings.cfg"].get("seed"), 1)
        self.assertNotIn("seed", by_path["ui/a.xml"])
        for rel, data_ in self.files.items():
            entry = by_path.get(rel) or doc["optional"][0]
            self.assertEqual((entry["s"], entry["h"]), (len(data_), sha(data_)), rel)
            with open(self.obj(rel), "rb") as f:
                self.assertEqual(f.read(), data_)
        # .gz only where it saves bytes, with its size as "z"; one member.
        self.assertEqual(by_path["system/dv.exe"]["z"], os.path.getsize(self.obj("system/dv.exe", ".gz")))
        with open(self.obj("system/dv.exe", ".gz"), "rb") as f:
            self.assertEqual(gzip.decompress(f.read()), self.files["system/dv.exe"])
        self.assertNotIn("z", by_path["system/d3d9.dll"])
        self.assertFalse(os.path.exists(self.obj("system/d3d9.dll", ".gz")))
        # manifest.sig: Base64 of raw r||s over the exact bytes.
        with open(os.path.join(self.mirror, "manifest.sig"), "rb") as f:
            raw = base64.b64decode(f.read())
        self.assertEqual(len(raw), 64)
        with open(self.pub, "rb") as f:
            pub = serialization.load_pem_public_key(f.read())
        der = encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
        pub.verify(der, data, ec.ECDSA(hashes.SHA256()))
        with self.assertRaises(InvalidSignature):
            pub.verify(der, data + b" ", ec.ECDSA(hashes.SHA256()))
        r = self.verify()
        self.assertEqual(r.returncode, 0, r.stdout)

    def test_same_input_gives_same_manifest(self):
        self.assertEqual(self.build().returncode, 0)
        first = self.manifest()
        self.assertEqual(self.build().returncode, 0)
        self.assertEqual(self.manifest(), first)

    def test_second_release_reuses_unchanged_objects(self):
        self.assertEqual(self.build().returncode, 0)
        before = {name: os.stat(os.path.join(self.mirror, "objects", name)).st_ino
                  for name in os.listdir(os.path.join(self.mirror, "objects"))}
        self.files["ui/a.xml"] = b"<ui version='2'/>\n"
        self.write("ui/a.xml", self.files["ui/a.xml"])
        r = self.build(version="1.1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("1 objects written, 6 reused", r.stdout)
        after = {name: os.stat(os.path.join(self.mirror, "objects", name)).st_ino
                 for name in os.listdir(os.path.join(self.mirror, "objects"))}
        # Old objects stay for launchers still on the previous release.
        for name, ino in before.items():
            self.assertEqual(after[name], ino, name)
        self.assertEqual(set(after) - set(before), {sha(self.files["ui/a.xml"])})
        self.assertEqual(json.loads(self.manifest())["version"], "1.1")
        self.assertEqual(self.verify().returncode, 0)

    def test_verify_finds_each_fault(self):
        self.assertEqual(self.build().returncode, 0)
        manifest = self.manifest()

        def flip(path, at=10):
            with open(path, "r+b") as f:
                f.seek(at)
                b = f.read(1)
                f.seek(at)
                f.write(bytes([b[0] ^ 1]))

        cases = [
            ("flipped object byte", lambda: flip(self.obj("system/d3d9.dll")),
             "objects/%s: content does not match" % sha(self.files["system/d3d9.dll"])),
            # In the trailer's CRC: a flip inside the Huffman tables may
            # leave the decoded bytes unchanged, which is no fault at all.
            ("flipped .gz byte",
             lambda: flip(self.obj("system/dv.exe", ".gz"), os.path.getsize(self.obj("system/dv.exe", ".gz")) - 6),
             "objects/%s.gz: does not decode" % sha(self.files["system/dv.exe"])),
            ("missing object", lambda: os.unlink(self.obj("ui/a.xml")),
             "objects/%s: missing (ui/a.xml)" % sha(self.files["ui/a.xml"])),
            ("tampered manifest", lambda: open(os.path.join(self.mirror, "manifest.json"), "wb")
             .write(manifest.replace(b'"1.0"', b'"9.0"')), "manifest.sig: does not verify"),
        ]
        for why, damage, message in cases:
            with self.subTest(why):
                self.assertEqual(self.build().returncode, 0)  # mends the tree again
                self.assertEqual(self.verify().returncode, 0)
                damage()
                r = self.verify()
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(message, r.stdout)
                # The next build rewrites what is missing; build trusts
                # objects that are present, so none may stay damaged.
                for name in os.listdir(os.path.join(self.mirror, "objects")):
                    os.unlink(os.path.join(self.mirror, "objects", name))

    def test_gzip_object_with_a_second_member_is_refused(self):
        self.assertEqual(self.build().returncode, 0)
        with open(self.obj("system/dv.exe", ".gz"), "ab") as f:
            f.write(gzip.compress(b""))
        r = self.verify()
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("data after the gzip member", r.stdout)

    def test_refused_releases_change_nothing(self):
        self.assertEqual(self.build().returncode, 0)
        manifest, objects = self.manifest(), sorted(os.listdir(os.path.join(self.mirror, "objects")))
        cases = [
            ("unmatched file", lambda: self.write("extra/new.bin", b"x"), "extra/new.bin"),
            ("path the launcher refuses", lambda: self.write("system/bad:name", b"x"),
             "Windows cannot hold"),
            ("segment ending in a space", lambda: self.write("system/dir /x", b"x"),
             "Windows cannot hold"),
            ("names differing in case", lambda: self.write("UI/A.xml", b"x"), "letter case"),
            ("launcher among client files", lambda: self.write("Korvanth.exe", b"MZ"),
             "--launcher"),
        ]
        for why, damage, message in cases:
            with self.subTest(why):
                extra_dir = os.path.join(self.dir, "client-backup")
                subprocess.run(["cp", "-a", self.client, extra_dir], check=True)
                damage()
                r = self.build(version="2.0")
                self.assertEqual(r.returncode, 1)
                self.assertIn(message, r.stderr)
                self.assertEqual(self.manifest(), manifest)
                self.assertEqual(sorted(os.listdir(os.path.join(self.mirror, "objects"))), objects)
                subprocess.run(["rm", "-rf", self.client], check=True)
                os.rename(extra_dir, self.client)

    def test_bad_rules_and_options_name_the_problem(self):
        cases = [
            ("a/** optional\n", "needs id="),
            ("a/** extra\n", "unknown group 'extra'"),
            ("a/** base idx=1\n", "unknown word"),
            ("remove ../x\n", "not a path the launcher accepts"),
            ("a/** base id=sixteen-bytes-id\n", "1 to 15 bytes"),
        ]
        for text, message in cases:
            with self.subTest(text):
                with open(self.rules, "w") as f:
                    f.write(text)
                r = self.build()
                self.assertEqual(r.returncode, 1)
                self.assertIn(self.rules + ":1: ", r.stderr)
                self.assertIn(message, r.stderr)
        with open(self.rules, "w") as f:
            f.write(RULES)
        for extra, message in [
            (("--generated", "2026-01-02 03:04:05"), "--generated"),
            (("--mirror", "http://plain.example/"), "https://"),
            (("--mirror", "https://no-slash.example"), "ending in /"),
            (("--mirror", "https://1/", "--mirror", "https://2/", "--mirror", "https://3/",
              "--mirror", "https://4/", "--mirror", "https://5/"), "at most 4"),
        ]:
            with self.subTest(extra):
                r = self.build(*extra)
                self.assertEqual(r.returncode, 1)
                self.assertIn(message, r.stderr)
        r = self.build(version="x" * 48)
        self.assertIn("--version", r.stderr)

    def test_first_matching_rule_decides(self):
        with open(self.rules, "w") as f:
            f.write("system/dv.exe base\n*/*.xml stock\n**/*.dll system\n** interface\n")
        self.assertEqual(self.build().returncode, 0)
        doc = json.loads(self.manifest())
        groups = {e["p"]: e["g"] for e in doc["files"]}
        self.assertEqual(groups["system/dv.exe"], "base")
        self.assertEqual(groups["ui/a.xml"], "stock")
        self.assertEqual(groups["system/d3d9_dxvk.dll"], "system")
        self.assertEqual(groups["settings.cfg"], "interface")
        self.assertEqual(groups["data/sub dir/\u00e9t\u00e9.txt"], "interface")

    def test_keygen_never_overwrites(self):
        r = run("keygen", self.key)
        self.assertEqual(r.returncode, 1)
        self.assertIn("never overwritten", r.stderr)


if __name__ == "__main__":
    unittest.main()
