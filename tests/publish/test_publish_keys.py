#!/usr/bin/python3
"""The tool's root key and key list, and the expiry of a release, run as
publishers run them."""

import base64
import json
import os
import stat
import unittest

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from fixture import ClientFixture, run


def signed_by(pub_path, data, sig_text):
    with open(pub_path, "rb") as f:
        pub = serialization.load_pem_public_key(f.read())
    raw = base64.b64decode(sig_text)
    try:
        pub.verify(encode_dss_signature(int.from_bytes(raw[:32], "big"),
                                        int.from_bytes(raw[32:], "big")),
                   data, ec.ECDSA(hashes.SHA256()))
        return True
    except Exception:
        return False


class KeyList(ClientFixture):
    def setUp(self):
        super().setUp()
        self.root = os.path.join(self.dir, "root.pem")
        r = run("keys", "init", self.root)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.init_text = r.stdout
        self.b = os.path.join(self.dir, "b.pem")
        self.assertEqual(run("keygen", self.b).returncode, 0)

    def keys(self, *args):
        return run("keys", *args)

    def add(self, key_id, pub, *extra):
        return self.keys("add", "--root", self.root, "--out", self.mirror, "--id", key_id,
                         *extra, pub)

    def key_list(self):
        with open(os.path.join(self.mirror, "keys.json"), "rb") as f:
            data = f.read()
        with open(os.path.join(self.mirror, "keys.sig"), "rb") as f:
            return data, json.loads(data), f.read()

    def test_rotation_and_what_build_signs_with(self):
        self.assertIn("ROOT key", self.init_text)
        self.assertIn("-DKORVANTH_ROOT_PUBKEYS=", self.init_text)
        self.assertEqual(stat.S_IMODE(os.stat(self.root).st_mode), 0o600)
        self.assertEqual(self.keys("init", self.root).returncode, 1)  # never overwritten

        r = self.add("A", self.pub)
        self.assertEqual(r.returncode, 0, r.stderr)
        data, doc, sig = self.key_list()
        self.assertEqual(list(doc), ["version", "generated", "keys"])
        self.assertEqual(doc["version"], 1)
        self.assertTrue(signed_by(self.root[:-4] + ".pub.pem", data, sig))
        self.assertEqual(self.build().returncode, 0)
        r = self.build("--key", self.b)
        self.assertEqual(r.returncode, 1)
        self.assertIn("not a release key of", r.stderr)
        self.assertIn("(version 1)", r.stderr)

        # B from its private key file: only the public half is listed.
        self.assertEqual(self.add("B", self.b).returncode, 0)
        r = run("build", "--client", self.client, "--rules", self.rules, "--key", self.b,
                "--version", "1.1", "--out", self.mirror, "--generated", "2026-02-01T00:00:00Z")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.keys("revoke", "--root", self.root, "--out", self.mirror, "A")
        self.assertEqual(r.returncode, 0, r.stderr)
        data, doc, sig = self.key_list()
        self.assertEqual(doc["version"], 3)
        self.assertEqual([k["id"] for k in doc["keys"]], ["B"])
        self.assertEqual([k["id"] for k in doc["revoked"]], ["A"])
        manifest = self.manifest()
        r = self.build()  # signed with A
        self.assertEqual(r.returncode, 1)
        self.assertIn("revoked this key (A)", r.stderr)
        self.assertEqual(self.manifest(), manifest)

        r = self.keys("show", "--root", self.root[:-4] + ".pub.pem", self.mirror)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn("keys.json version 3", r.stdout)
        self.assertIn("release B", r.stdout)
        self.assertIn("revoked A", r.stdout)
        self.assertIn("keys.sig: signed by", r.stdout)
        self.assertIn("manifest.sig: signed by release key B", r.stdout)
        r = self.keys("show", "--root", self.pub, self.mirror)  # not a root of this list
        self.assertEqual(r.returncode, 1)
        self.assertIn("does not verify", r.stdout)

        # No private key was written but the ones the commands were given.
        private = []
        for d, _, names in os.walk(self.dir):
            for n in names:
                with open(os.path.join(d, n), "rb") as f:
                    if b"PRIVATE KEY" in f.read():
                        private.append(os.path.relpath(os.path.join(d, n), self.dir))
        self.assertEqual(sorted(private), ["b.pem", "k.pem", "root.pem"])

    def test_refusals_change_nothing(self):
        self.assertEqual(self.add("A", self.pub).returncode, 0)
        self.assertEqual(self.add("B", self.b).returncode, 0)
        self.assertEqual(self.keys("revoke", "--root", self.root, "--out", self.mirror,
                                   "B").returncode, 0)
        other_root = os.path.join(self.dir, "other.pem")
        self.assertEqual(self.keys("init", other_root).returncode, 0)
        fresh = os.path.join(self.dir, "fresh.pem")
        self.assertEqual(run("keygen", fresh).returncode, 0)
        root_pub = self.root[:-4] + ".pub.pem"
        cases = [
            ("a root as a release key", ("add", "--root", self.root, "--out", self.mirror,
                                         "--id", "R", root_pub), "roots sign key lists only"),
            ("a key listed already", ("add", "--root", self.root, "--out", self.mirror,
                                      "--id", "A2", self.pub), "listed already as A"),
            ("a revoked key again", ("add", "--root", self.root, "--out", self.mirror,
                                     "--id", "B2", self.b), "never comes back"),
            ("an id taken", ("add", "--root", self.root, "--out", self.mirror, "--id", "B",
                             fresh), "taken by another key"),
            ("an id the launcher refuses", ("add", "--root", self.root, "--out", self.mirror,
                                            "--id", "a b", fresh), "1 to 31 of"),
            ("revoking an unknown id", ("revoke", "--root", self.root, "--out", self.mirror,
                                        "Z"), "no release key Z"),
            ("revoking the last release key", ("revoke", "--root", self.root, "--out",
                                               self.mirror, "A"), "last release key"),
            ("another root signs", ("add", "--root", other_root, "--out", self.mirror,
                                    "--id", "C", fresh), "--previous-root"),
            ("a release key as the root", ("add", "--root", self.key, "--out", self.mirror,
                                           "--id", "C", fresh), "does not verify"),
        ]
        data, _, sig = self.key_list()
        for why, args, message in cases:
            with self.subTest(why):
                r = self.keys(*args)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertIn(message, r.stderr)
                self.assertEqual(self.key_list()[0], data)
                self.assertEqual(self.key_list()[2], sig)

        # A list changed on the way is never signed again.
        with open(os.path.join(self.mirror, "keys.json"), "wb") as f:
            f.write(data.replace(b'"version": 3', b'"version": 30'))
        r = self.add("C", fresh)
        self.assertEqual(r.returncode, 1)
        self.assertIn("never signed again", r.stderr)
        with open(os.path.join(self.mirror, "keys.json"), "wb") as f:
            f.write(data)

        # The root moves: the new root signs, the old one vouches for the
        # list it signed last.
        r = self.keys("add", "--root", other_root, "--previous-root", root_pub, "--out",
                      self.mirror, "--id", "C", fresh)
        self.assertEqual(r.returncode, 0, r.stderr)
        data, doc, sig = self.key_list()
        self.assertEqual(doc["version"], 4)
        self.assertEqual([k["id"] for k in doc["keys"]], ["A", "C"])
        self.assertTrue(signed_by(other_root[:-4] + ".pub.pem", data, sig))
        self.assertFalse(signed_by(root_pub, data, sig))


class Expiry(ClientFixture):
    def test_expires_days_after_the_release_time(self):
        r = self.build("--expires-in", "30")
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = json.loads(self.manifest())
        self.assertEqual(list(doc)[:3], ["version", "generated", "expires"])
        self.assertEqual(doc["expires"], "2026-02-01T03:04:05Z")
        self.assertEqual(self.verify().returncode, 0)
        self.assertEqual(self.build().returncode, 0)
        self.assertNotIn("expires", json.loads(self.manifest()))
        for days in ("0", "-1", "36501"):
            with self.subTest(days):
                r = self.build("--expires-in", days)
                self.assertEqual(r.returncode, 1)
                self.assertIn("--expires-in", r.stderr)


if __name__ == "__main__":
    unittest.main()
