#!/usr/bin/python3
"""The guard rails against a release no player can take: each outage one
command could cause, refused with a message that says what to do."""

import os
import re
import shutil
import sys
import unittest

from fixture import ROOT, ClientFixture, run

sys.path.insert(0, os.path.join(ROOT, "tools", "publish"))
from korvanth_publish import common, keys  # noqa: E402
from korvanth_publish.release import load_private_key, sign  # noqa: E402

DEMO = os.path.join(ROOT, "keys", "demo.pem")


class Outages(ClientFixture):
    """A tree with a key list of A (k.pem) and B, serving release 1.0 signed
    by A; each case works on a copy of it."""

    def setUp(self):
        super().setUp()
        self.root = os.path.join(self.dir, "root.pem")
        self.root_pub = self.root[:-4] + ".pub.pem"
        self.b = os.path.join(self.dir, "b.pem")
        self.c = os.path.join(self.dir, "c.pem")
        for made in (("keys", "init", self.root), ("keygen", self.b), ("keygen", self.c)):
            self.assertEqual(run(*made).returncode, 0)
        for key_id, key in (("A", self.pub), ("B", self.b)):
            r = run("keys", "add", "--root", self.root, "--out", self.mirror, "--id", key_id, key)
            self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.build().returncode, 0)

    def resign(self, tree, key_path, data=None):
        """manifest.sig made by hand, as the tool would refuse to."""
        path = os.path.join(tree, "manifest.json")
        if data is not None:
            with open(path, "wb") as f:
                f.write(data)
        with open(path, "rb") as f:
            signature = sign(load_private_key(key_path), f.read())
        with open(os.path.join(tree, "manifest.sig"), "wb") as f:
            f.write(signature)

    def name_ours(self, tree):
        self.resign(tree, self.key, self.manifest().replace(b'"p": "ui/a.xml"',
                                                            b'"p": "korvanth.STATE"'))

    def own_files_in_client(self, tree):
        """Each of our names at the client's top, every other one in capitals;
        the chunk lists' folder with a file in it."""
        self.ours = [name.upper() if i % 2 else name for i, name in enumerate(common.OWN_NAMES)]
        self.ours = [n + "/ab/cd" if n.lower() == "korvanth.chunks" else n for n in self.ours]
        for rel in self.ours:
            self.write(rel, b"ours\n")
        self.write("data/Korvanth.state", b"the client's, below the top\n")

    def snapshot(self, tree):
        found = []
        for name in ("manifest.json", "manifest.sig", "keys.json", "keys.sig"):
            try:
                with open(os.path.join(tree, name), "rb") as f:
                    found.append(f.read())
            except FileNotFoundError:
                found.append(None)
        return found

    def test_each_outage_is_refused_with_its_message(self):
        revoke = ("keys", "revoke", "--root", self.root, "--out", "{tree}")
        upload = ("upload", "--rclone", "/nonexistent/rclone", "{tree}", "{dest}")
        verify_chain = ("verify", "--root", self.root_pub, "{tree}")
        build = ("build", "--client", self.client, "--rules", self.rules, "--version", "2.0",
                 "--out", "{tree}", "--generated", "2026-03-01T00:00:00Z")
        c_pub = self.c[:-4] + ".pub.pem"
        cases = [
            # why, how the case's copy of the tree is changed first, then
            # (command, exit code, texts of its message) in turn
            ("revoking the key that signs the current release", None, [
                (revoke + ("A",), 1, ("A signs {tree}'s current release: revoked now, every "
                                      "launcher with root keys refuses",
                                      "Sign the next release with another listed key first",
                                      "--force")),
                (verify_chain, 0, ("signature good (release key A of keys.json version 2)",)),
            ]),
            ("revoking it with --force: verify and upload refuse the tree", None, [
                (revoke + ("--force", "A"), 0, ("warning: --force: A revoked while it signs the "
                                                "current release: every launcher with root keys "
                                                "refuses",)),
                (verify_chain, 1, ("signed by the key A, which keys.json version 3 revokes: "
                                   "every launcher with root keys refuses this release",
                                   "signed by a listed key (B)")),
                (("verify", "--pubkey", self.pub, "{tree}"), 1, ("keys.json version 3 revokes",)),
                (upload, 1, ("verify finds 1 problem, so nothing is sent",
                             "which keys.json version 3 revokes")),
            ]),
            ("a manifest signed by an unlisted key", lambda t: self.resign(t, self.c), [
                (("verify", "--pubkey", c_pub, "{tree}"), 1,
                 ("manifest.sig: signed by %s, which keys.json version 2 does not list" % c_pub,)),
                (verify_chain, 1, ("does not list: every launcher with root keys refuses",)),
                (upload, 1, ("nothing is sent", "does not list")),
            ]),
            ("a key list under another root", None, [
                (("verify", "--root", self.pub, "{tree}"), 1,
                 ("keys.sig: does not verify keys.json version 2 under",)),
            ]),
            ("the demo key in a tree with a key list", None, [
                (("keys", "add", "--root", self.root, "--out", "{tree}", DEMO[:-4] + ".pub.pem"),
                 1, ("the demo key (keys/demo.pem), whose private half is public",)),
                (build + ("--key", DEMO), 1, ("cannot sign into {tree}, which has a key list",)),
            ]),
            ("the demo key in a tree without one", shutil.rmtree, [
                (build + ("--key", DEMO), 0, ("warning: --key is the demo key",)),
                (("verify", "--pubkey", DEMO[:-4] + ".pub.pem", "{tree}"), 0,
                 ("manifest.sig is signed with the demo key",)),
            ]),
            ("a client tree holding each of our file names", self.own_files_in_client, [
                (build + ("--key", self.key), 1,
                 ("%d paths begin with a name the launcher keeps for its own files"
                  % len(common.OWN_NAMES), "--launcher")),
            ]),
            ("a manifest naming one of them, signed by hand", self.name_ours, [
                (("verify", "--pubkey", self.pub, "{tree}"), 1,
                 ("path 'korvanth.STATE' is refused by the launcher",)),
                (upload, 1, ("nothing is sent",)),
            ]),
        ]
        client = os.path.join(self.dir, "client-as-set-up")
        shutil.copytree(self.client, client)
        for why, change, steps in cases:
            with self.subTest(why):
                tree, dest = os.path.join(self.dir, "case"), os.path.join(self.dir, "dest")
                shutil.rmtree(tree, ignore_errors=True)
                shutil.rmtree(self.client)
                shutil.copytree(client, self.client)
                shutil.copytree(self.mirror, tree)
                if change:
                    change(tree)
                for args, code, texts in steps:
                    args = [a.format(tree=tree, dest=dest) for a in args]
                    before = self.snapshot(tree)
                    r = run(*args)
                    self.assertEqual(r.returncode, code, (args, r.stdout, r.stderr))
                    for text in texts:
                        self.assertIn(text.format(tree=tree), r.stdout + r.stderr, args)
                    self.assertFalse(os.path.exists(dest))
                    if code:
                        self.assertEqual(self.snapshot(tree), before, args)
                if change == self.own_files_in_client:
                    listed = r.stderr.split("\n")[1:]
                    self.assertEqual(sorted(line.strip() for line in listed if line),
                                     sorted(self.ours))


class Agreement(unittest.TestCase):
    """What the tool holds from the launcher's sources and the repository."""

    def test_our_names_are_the_launchers(self):
        with open(os.path.join(ROOT, "base", "own_files.cpp"), encoding="utf-8") as f:
            table = re.findall(r'\{L"([^"]+)", OWN_\w+, (?:true|false)\}', f.read())
        self.assertEqual(sorted(table), sorted(common.OWN_NAMES))

    def test_the_demo_key_is_the_repositorys(self):
        self.assertEqual(keys.load_public_point(DEMO[:-4] + ".pub.pem"), keys.DEMO_POINT)


if __name__ == "__main__":
    unittest.main()
