#!/usr/bin/python3
"""The outages one command could cause, each refused with a message that
says what to do instead."""

import os
import pathlib
import re
import shutil
import sys
import unittest

from fixture import ROOT, ClientFixture, run

sys.path.insert(0, os.path.join(ROOT, "tools", "publish"))
from korvanth_publish import common, keys  # noqa: E402
from korvanth_publish.signing import private_signer, sign  # noqa: E402

DEMO, DEMO_PUB = (os.path.join(ROOT, "keys", n) for n in ("demo.pem", "demo.pub.pem"))


class Outages(ClientFixture):
    """A tree listing A (k.pem) and B, serving a release signed by A; each
    case changes a copy of it, then runs its commands in turn."""

    def setUp(self):
        super().setUp()
        self.root, self.b, self.c = (os.path.join(self.dir, n) for n in ("r.pem", "b.pem", "c.pem"))
        for made in (("keys", "init", self.root), ("keygen", self.b), ("keygen", self.c),
                     ("keys", "add", "--root", self.root, "--out", self.mirror, "--id", "A", self.pub),
                     ("keys", "add", "--root", self.root, "--out", self.mirror, "--id", "B", self.b)):
            self.assertEqual(run(*made).returncode, 0)
        self.assertEqual(self.build().returncode, 0)

    def resign(self, tree, key, data=None):
        data = data or self.manifest(tree)
        with open(os.path.join(tree, "manifest.json"), "wb") as f:
            f.write(data)
        with open(os.path.join(tree, "manifest.sig"), "wb") as f:
            f.write(sign(private_signer(key), data))

    def own_files_in_client(self, tree):
        """Each of our names at the client's top, every other one in capitals."""
        self.ours = [(n.upper() if i % 2 else n) + ("/x" if n == "Korvanth.chunks" else "")
                     for i, n in enumerate(common.OWN_NAMES)]
        for rel in self.ours + ["data/Korvanth.state"]:  # below the top: the client's
            self.write(rel, b"x")

    def snapshot(self, tree):
        """The tree's names and its top files' content (key list, manifest pair)."""
        files = pathlib.Path(tree).glob("*")
        return self.tree(tree), {p.name: p.read_bytes() for p in files if p.is_file()}

    def test_each_outage_is_refused_with_its_message(self):
        revoke = ("keys", "revoke", "--root", self.root, "--out", "{tree}")
        upload = ("upload", "--rclone", "/nonexistent/rclone", "{tree}", "{dest}")
        chain = ("verify", "--root", self.root[:-4] + ".pub.pem", "{tree}")
        build = ("build", "--client", self.client, "--rules", self.rules, "--version", "2.0",
                 "--out", "{tree}", "--generated", "2026-03-01T00:00:00Z", "--key")
        c_pub = self.c[:-4] + ".pub.pem"
        cases = [  # why, change to the tree, then (command, exit code, texts of its message)
            ("revoking the key that signs the release", None, [
                (revoke + ("A",), 1, ("A signs {tree}'s current release: revoked now, every "
                                      "launcher with root keys refuses", "--force",
                                      "Sign the next release with another listed key first")),
                (chain, 0, ("signature good (release key A of keys.json version 2)",))]),
            ("revoking it with --force", None, [
                (revoke + ("--force", "A"), 0, ("warning: --force: A revoked while it signs the "
                                                "current release: every launcher with root keys "
                                                "refuses",)),
                (chain, 1, ("signed by the key A, which keys.json version 3 revokes: every "
                            "launcher with root keys refuses", "signed by a listed key (B)")),
                (upload, 1, ("verify finds 1 problem, so nothing is sent", "version 3 revokes"))]),
            ("a manifest signed by an unlisted key", lambda t: self.resign(t, self.c), [
                (("verify", "--pubkey", c_pub, "{tree}"), 1,
                 ("signed by %s, which keys.json version 2 does not list" % c_pub,)),
                (upload, 1, ("nothing is sent", "does not list"))]),
            ("a key list under another root", None, [
                (("verify", "--root", self.pub, "{tree}"), 1, ("keys.sig: does not verify",))]),
            ("the demo key in a tree with a key list", None, [
                (("keys", "add", "--root", self.root, "--out", "{tree}", DEMO_PUB), 1,
                 ("the demo key (keys/demo.pem), whose private half is public",)),
                (build + (DEMO,), 1, ("cannot sign into {tree}, which has a key list",))]),
            ("the demo key in a tree without one", shutil.rmtree, [
                (build + (DEMO,), 0, ("warning: --key is the demo key",)),
                (("verify", "--pubkey", DEMO_PUB, "{tree}"), 0, ("signed with the demo key",))]),
            ("a client tree holding each of our names", self.own_files_in_client, [
                (build + (self.key,), 1, ("12 paths begin with a name the launcher keeps for "
                                          "its own files", "--launcher"))]),
            ("a manifest naming one, signed by hand", lambda t: self.resign(
                t, self.key, self.manifest().replace(b'"ui/a.xml"', b'"korvanth.STATE"')), [
                (("verify", "--pubkey", self.pub, "{tree}"), 1,
                 ("path 'korvanth.STATE' is refused by the launcher",)),
                (upload, 1, ("nothing is sent",))]),
        ]
        client = shutil.copytree(self.client, os.path.join(self.dir, "client-as-set-up"))
        tree, dest = os.path.join(self.dir, "case"), os.path.join(self.dir, "dest")
        for why, change, steps in cases:
            with self.subTest(why):
                for copy, original in ((tree, self.mirror), (self.client, client)):
                    shutil.rmtree(copy, ignore_errors=True)
                    shutil.copytree(original, copy)
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
                    if code:  # a refusal changes nothing
                        self.assertEqual(self.snapshot(tree), before, args)
                if change == self.own_files_in_client:  # every one listed, nothing else
                    self.assertEqual(sorted(r.stderr.split()[-12:]), sorted(self.ours))


class Agreement(unittest.TestCase):
    def test_our_names_are_the_launchers(self):
        with open(os.path.join(ROOT, "base", "own_files.cpp"), encoding="utf-8") as f:
            table = re.findall(r'\{L"([^"]+)", OWN_\w+, (?:true|false)\}', f.read())
        self.assertEqual(sorted(table), sorted(common.OWN_NAMES))

    def test_the_demo_key_is_the_repositorys(self):
        self.assertEqual(keys.load_public_point(DEMO_PUB), keys.DEMO_POINT)


if __name__ == "__main__":
    unittest.main()
