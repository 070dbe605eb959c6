#!/usr/bin/python3
"""The CI recipe's one script (tools/publish/ci-release.sh) run end to end,
as docs/ci/github-actions.yml runs it: releases built, verified, uploaded to
a WebDAV and an SFTP server on loopback, checked over HTTPS on the WebDAV
one, and pruned; and a release whose status check fails is not pruned."""

import os
import shutil
import subprocess
import tempfile
import unittest

import servers
from fixture import ROOT, RULES, run
from test_publish_upload import files

SCRIPT = os.path.join(ROOT, "tools", "publish", "ci-release.sh")


class CiRelease(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        t = self.tmp.name
        certs = os.path.join(t, "certs")
        subprocess.run([os.path.join(ROOT, "scripts", "mirror"), "ca", certs], check=True,
                       capture_output=True)
        self.cafile = os.path.join(certs, "ca.pem")
        self.dav = servers.DavServer(t, certs=certs)
        self.sftp = servers.SftpServer(t)
        for server in (self.dav, self.sftp):
            server.start()
        self.client = os.path.join(t, "client")
        os.makedirs(os.path.join(self.client, "data"))
        with open(os.path.join(t, "rules"), "w") as f:
            f.write(RULES)
        self.assertEqual(run("keygen", os.path.join(t, "release.pem")).returncode, 0)
        self.env = dict(os.environ, RCLONE_RETRIES="1", RCLONE_LOW_LEVEL_RETRIES="2",
                        KORVANTH_CLIENT=self.client, KORVANTH_RULES=os.path.join(t, "rules"),
                        KORVANTH_KEY=os.path.join(t, "release.pem"),
                        KORVANTH_TREE=os.path.join(t, "mirror"),
                        KORVANTH_DESTS="%s %s" % (self.dav.dest, self.sftp.dest),
                        KORVANTH_STATUS_URLS="https://127.0.0.1:%d/" % self.dav.https_port,
                        KORVANTH_CAFILE=self.cafile, KORVANTH_KEEP="2",
                        **self.dav.env, **self.sftp.env)

    def tearDown(self):
        self.dav.stop()
        self.sftp.stop()
        self.tmp.cleanup()

    def release(self, version, **env):
        with open(os.path.join(self.client, "data", "v.bin"), "wb") as f:
            f.write(os.urandom(100000) + version.encode())
        return subprocess.run([SCRIPT], env=dict(self.env, KORVANTH_VERSION=version, **env),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=300)

    def test_releases_go_live_and_old_ones_are_pruned(self):
        tree = self.env["KORVANTH_TREE"]
        # The second release signs with the same key kept encrypted, its
        # passphrase in a variable the job names.
        key = self.env["KORVANTH_KEY"]
        sealed = dict(KORVANTH_KEY=key[:-4] + "-sealed.pem", KORVANTH_PUBKEY=key[:-4] + ".pub.pem",
                      KORVANTH_PASSPHRASE_ENV="RELEASE_KEY_PASS", RELEASE_KEY_PASS="ci secret")
        subprocess.run(["openssl", "pkcs8", "-topk8", "-v2", "aes-256-cbc", "-in", key, "-out",
                        sealed["KORVANTH_KEY"], "-passout", "env:RELEASE_KEY_PASS"],
                       env=dict(os.environ, **sealed), check=True, capture_output=True)
        for version, env in (("1.0", {}), ("1.1", sealed), ("1.2", {})):
            r = self.release(version, **env)
            self.assertEqual(r.returncode, 0, r.stderr)
            for dest in (self.dav.root, self.sftp.root):
                self.assertEqual(files(dest), files(tree), dest)
        # --keep 2: the first release's file is gone everywhere.
        self.assertEqual(sorted(os.listdir(os.path.join(tree, "releases"))), ["1.1", "1.2"])

        # A mirror that does not answer: the release is uploaded, not pruned.
        before = {d: files(d) for d in (self.dav.root, self.sftp.root)}
        r = self.release("1.3", KORVANTH_STATUS_URLS=self.env["KORVANTH_STATUS_URLS"] +
                         " https://127.0.0.1:%d/" % servers.free_port())
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("ci-release: status failed (exit 1)", r.stderr)
        self.assertNotIn("ci-release: prune", r.stderr)
        for dest, had in before.items():
            now = files(dest)
            self.assertIn(b'"version": "1.3"', now["manifest.json"])
            self.assertTrue(set(had) <= set(now), dest)  # nothing deleted

    def test_missing_settings_and_a_failing_step_are_named(self):
        r = subprocess.run([SCRIPT], env=dict(self.env, KORVANTH_VERSION=""),
                           capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stderr.strip()),
                         (2, "ci-release: KORVANTH_VERSION is not set"))
        shutil.rmtree(self.client)
        r = subprocess.run([SCRIPT], env=dict(self.env, KORVANTH_VERSION="1.0"),
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn("ci-release: build failed (exit 1)", r.stderr)
        self.assertNotIn("ci-release: upload", r.stderr)


if __name__ == "__main__":
    unittest.main()
