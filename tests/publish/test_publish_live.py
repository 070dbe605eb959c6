#!/usr/bin/python3
"""Going live: the build's guard rails against releases players' launchers
would refuse, the release history a tree keeps, pruning it, and the status
of mirrors served over HTTPS."""

import datetime
import functools
import http.server
import ipaddress
import json
import os
import re
import shutil
import socket
import ssl
import struct
import threading
import unittest

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

from fixture import ClientFixture, run, sha

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# The built launcher and the private half of the key it carries ("none" when
# the build carries another key).
LAUNCHER = os.environ.get("KORVANTH_LAUNCHER")
LAUNCHER_KEY = os.environ.get("KORVANTH_TEST_SIGNING_KEY", "none")
TIMES = ["2026-01-0%dT00:00:00Z" % day for day in range(1, 10)]


def point_of_pem(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        key = serialization.load_pem_public_key(data)
    except ValueError:
        key = serialization.load_pem_private_key(data, password=None).public_key()
    return key.public_bytes(serialization.Encoding.X962,
                            serialization.PublicFormat.UncompressedPoint)[1:]


class Guards(ClientFixture):
    def release(self, version, generated, *extra, key=None, force=False):
        args = ("--key", key) if key else ()
        return self.build(*(args + extra), version=version, generated=generated, force=force)

    def assert_refused(self, r, *texts):
        self.assertEqual(r.returncode, 1, r.stdout)
        for text in texts:
            self.assertIn(text, r.stderr)

    def test_a_key_players_do_not_trust_is_refused(self):
        other = os.path.join(self.dir, "other.pem")
        self.assertEqual(run("keygen", other).returncode, 0)
        fake = self.fake_launcher(4000)  # carries k.pem's public half
        cases = [
            # key, --launcher, accepted, text of the refusal
            ("first release, any key", self.key, None, True, None),
            ("another key than the release's", other, None, False, "signed by another key"),
            ("the launcher carries the key", self.key, fake, True, None),
            ("the launcher does not carry it", other, fake, False, "does not carry this key"),
        ]
        if LAUNCHER and LAUNCHER_KEY != "none":
            cases += [("the built launcher's own key", LAUNCHER_KEY, LAUNCHER, True, None),
                      ("not the built launcher's key", self.key, LAUNCHER, False,
                       "does not carry this key")]
        for i, (why, key, launcher, accepted, text) in enumerate(cases):
            with self.subTest(why):
                before = self.tree() and self.manifest() if os.path.isdir(self.mirror) else None
                r = self.release("1.%d" % i, TIMES[i], *(("--launcher", launcher) if launcher
                                                         else ()), key=key)
                if accepted:
                    self.assertEqual(r.returncode, 0, r.stderr)
                else:
                    self.assert_refused(r, text)
                    self.assertEqual(self.manifest(), before)
                    self.assertFalse(os.path.exists(os.path.join(self.mirror, "releases",
                                                                 "1.%d" % i)))

    def test_a_key_list_vouches_for_a_new_release_key(self):
        self.assertEqual(self.release("1.0", TIMES[0]).returncode, 0)
        root = os.path.join(self.dir, "root.pem")
        b = os.path.join(self.dir, "b.pem")
        self.assertEqual(run("keys", "init", root).returncode, 0)
        self.assertEqual(run("keygen", b).returncode, 0)
        self.assertEqual(run("keys", "add", "--root", root, "--out", self.mirror, "--id", "A",
                             self.pub).returncode, 0)
        self.assertEqual(run("keys", "add", "--root", root, "--out", self.mirror, "--id", "B",
                             b).returncode, 0)
        # A launcher built with root keys carries the root, not the release keys.
        exe = os.path.join(self.dir, "rooted.exe")
        with open(exe, "wb") as f:
            f.write(b"MZ" + os.urandom(999) + point_of_pem(root) + os.urandom(999))
        r = self.release("1.1", TIMES[1], "--launcher", exe, key=b)
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.release("1.2", TIMES[2], key=self.key)  # listed: the previous one's key no more
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(exe, "wb") as f:
            f.write(b"MZ" + os.urandom(2000))
        self.assert_refused(self.release("1.3", TIMES[3], "--launcher", exe, key=b),
                            "does not carry this key")

    def test_an_older_or_repeated_release_is_refused_unless_forced(self):
        self.assertEqual(self.release("1.0", TIMES[4]).returncode, 0)
        cases = [
            # version, generated, --force, accepted, text of the refusal
            ("1.1", TIMES[4], False, False, "not later than"),
            ("1.1", TIMES[3], False, False, "not later than"),
            ("1.0", TIMES[5], False, False, "published already"),
            ("1.0", TIMES[5], True, True, None),
            ("0.9", TIMES[2], True, True, None),
            ("1.0", TIMES[6], False, False, "published already"),  # kept in releases/
            ("1.1", TIMES[6], False, True, None),
        ]
        for version, generated, force, accepted, text in cases:
            with self.subTest(version=version, generated=generated, force=force):
                before = self.manifest()
                r = self.release(version, generated, force=force)
                if not accepted:
                    self.assert_refused(r, text, "--force")
                    self.assertEqual(self.manifest(), before)
                    continue
                self.assertEqual(r.returncode, 0, r.stderr)
                doc = json.loads(self.manifest())
                self.assertEqual((doc["version"], doc["generated"]), (version, generated))
                with open(os.path.join(self.mirror, "releases", version, "manifest.json"),
                          "rb") as f:
                    self.assertEqual(f.read(), self.manifest())

    def test_names_windows_cannot_hold_are_all_named(self):
        bad = ["data/con.txt", "data/CON", "data/Aux.tar.gz", "data/nul", "data/prn .txt",
               "data/com1.log", "data/LPT9", "data/com\u00b2", "data/trail.", "data/space ",
               "data/lpt3/inside.txt", "data/dot./x", "data/a?b", "data/a<b>", "data/a\"b",
               "data/a|b", "data/a*b", "data/back\\slash", "data/tab\there"]
        good = ["data/console.txt", "data/com10.txt", "data/x.con", "data/nul_file",
                "data/.hidden", "data/lpt0", "data/auxiliary", "data/a.b.c"]
        for name in bad + good:
            self.write(name, b"x")
        r = self.release("1.0", TIMES[0])
        self.assert_refused(r, "%d names Windows cannot hold" % len(bad))
        listed = [line.strip() for line in r.stderr.splitlines()[1:]]
        self.assertEqual(sorted(listed), sorted(n.rstrip() for n in bad))
        for name in good:
            self.assertNotIn(name, listed)
        self.assertFalse(os.path.exists(os.path.join(self.mirror, "manifest.json")))
        for name in bad:
            os.unlink(os.path.join(self.client, name))
        self.assertEqual(self.release("1.0", TIMES[0]).returncode, 0)

    def test_a_tree_from_before_the_history_keeps_its_release_too(self):
        self.assertEqual(self.release("1.0", TIMES[0]).returncode, 0)
        old = self.manifest()
        shutil.rmtree(os.path.join(self.mirror, "releases"))
        self.assertEqual(self.release("1.1", TIMES[1]).returncode, 0)
        with open(os.path.join(self.mirror, "releases", "1.0", "manifest.json"), "rb") as f:
            self.assertEqual(f.read(), old)
        self.assertEqual(sorted(os.listdir(os.path.join(self.mirror, "releases"))), ["1.0", "1.1"])

    def test_every_unmatched_file_is_named(self):
        strays = ["extra/a.bin", "extra/deep/b.bin", "readme.txt"]
        for name in strays:
            self.write(name, b"x")
        r = self.release("1.0", TIMES[0])
        self.assert_refused(r, "no rule matches 3 files")
        self.assertEqual([line.strip() for line in r.stderr.splitlines()[1:]], strays)


class History(ClientFixture):
    """Three releases in one tree; a large file with chunks changes in each,
    so chunks too are shared by some releases and not by others."""

    def setUp(self):
        super().setUp()
        self.chunker = os.environ.get("KORVANTH_CHUNKER")
        self.names = {}  # version -> object names its manifest reaches
        big = os.urandom(400000)
        steps = [
            ("1.0", {"data/big.pak": big, "data/only1.txt": b"first\n"}),
            ("1.1", {"data/big.pak": big[:200000] + os.urandom(5000) + big[200000:],
                     "data/only1.txt": None, "data/two.txt": b"second\n"}),
            ("1.2", {"data/big.pak": big[:300000] + os.urandom(5000) + big[300000:],
                     "data/two.txt": b"second\n", "ui/a.xml": b"<ui v='3'/>\n"}),
        ]
        for i, (version, changes) in enumerate(steps):
            for rel, data in changes.items():
                if data is None:
                    os.unlink(os.path.join(self.client, rel))
                else:
                    self.write(rel, data)
            r = self.build("--chunk-min-file", "100000", version=version, generated=TIMES[i],
                           force=False, *(("--chunker", self.chunker) if self.chunker else ()))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.names[version] = self.reached(json.loads(self.manifest()))

    def reached(self, doc):
        names = set()
        for e in doc["files"] + doc.get("optional", []):
            names |= {e["h"]} | ({e["h"] + ".gz"} if e.get("z") else set())
            if e.get("chunks"):
                names.add(e["chunks"])
                with open(os.path.join(self.mirror, "objects", e["chunks"]), "rb") as f:
                    data = f.read()
                for i in range((len(data) - 20) // 40):  # records after the 20-byte head
                    _, packed, digest = struct.unpack_from("<II32s", data, 20 + 40 * i)
                    names |= {digest.hex()} | ({digest.hex() + ".gz"} if packed else set())
        return names

    def objects(self, tree=None):
        return set(os.listdir(os.path.join(tree or self.mirror, "objects")))

    def test_versions_name_releases_kept_in_the_tree(self):
        self.assertEqual(sorted(os.listdir(os.path.join(self.mirror, "releases"))),
                         ["1.0", "1.1", "1.2"])
        r = run("diff", "1.0", self.mirror)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("1.0 -> 1.2:", r.stdout)
        r = run("diff", self.mirror, "1.1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("1.2 -> 1.1:", r.stdout)
        self.write("ui/a.xml", b"<ui v='4'/>\n")
        r = self.build("--against", "1.1", version="1.3", generated=TIMES[3], force=False)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("1.1 -> 1.3:", r.stdout)
        r = run("diff", "0.9", self.mirror)
        self.assertEqual(r.returncode, 1)
        self.assertIn("1.0, 1.1, 1.2, 1.3", r.stderr)

    def prune(self, *args):
        return run("prune", *args)

    def test_prune_keeps_the_newest_releases_whole(self):
        for tree in (self.mirror, ":local:" + self.copy()):
            with self.subTest(tree=tree[:7]):
                local = tree.split(":local:")[-1]
                before = self.objects(local)
                doomed = before - self.names["1.1"] - self.names["1.2"]
                self.assertTrue(doomed & {n for n in self.names["1.0"] if len(n) == 64})
                r = self.prune("--keep", "2", "--dry-run", tree)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(self.objects(local), before)
                listed = re.findall(r"would delete objects/(\S+)", r.stdout)
                self.assertEqual(sorted(listed), sorted(doomed))
                self.assertIn("would delete releases/1.0/manifest.json", r.stdout)

                old = os.path.join(local, "releases", "1.0")
                freed = sum(os.path.getsize(os.path.join(local, "objects", n)) for n in doomed) + \
                    sum(os.path.getsize(os.path.join(old, n)) for n in os.listdir(old))
                r = self.prune("--keep", "2", tree)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn("deleted %d objects and 1 old releases, %s bytes freed"
                              % (len(doomed), "{:,}".format(freed)), r.stdout)
                self.assertEqual(self.objects(local), before - doomed)
                self.assertEqual(sorted(os.listdir(os.path.join(local, "releases"))),
                                 ["1.1", "1.2"])
                # Both kept releases are whole.
                for version in ("1.1", "1.2"):
                    self.assertEqual(self.verify_kept(local, version).returncode, 0, version)
                r = self.prune("--keep", "2", tree)  # nothing left to take
                self.assertIn("deleted 0 objects and 0 old releases, 0 bytes", r.stdout)

    def copy(self):
        target = os.path.join(self.dir, "copy")
        shutil.copytree(self.mirror, target)
        return target

    def verify_kept(self, tree, version):
        """`verify` on a kept release: its pair beside the tree's objects."""
        view = os.path.join(self.dir, "view-" + version)
        shutil.rmtree(view, ignore_errors=True)
        os.makedirs(view)
        for name in ("manifest.json", "manifest.sig"):
            shutil.copy(os.path.join(tree, "releases", version, name), view)
        os.symlink(os.path.join(tree, "objects"), os.path.join(view, "objects"))
        return self.verify(view)

    def test_prune_refusals_delete_nothing(self):
        index = next(n for n in self.names["1.1"] - self.names["1.0"] - self.names["1.2"]
                     if self.is_index(n))
        cases = [
            ("one release kept", ["--keep", "1"], None, "at least 2"),
            ("the newest release is not live", ["--keep", "2"],
             lambda: self.serve_release("1.1"), "not the newest release's (1.2"),
            ("a kept release is not whole", ["--keep", "2"],
             lambda: os.unlink(os.path.join(self.mirror, "objects", index)),
             "nothing is pruned while a release is not whole"),
            ("no history", ["--keep", "2"],
             lambda: shutil.rmtree(os.path.join(self.mirror, "releases")), "no releases kept"),
        ]
        for why, args, damage, text in cases:
            with self.subTest(why):
                if damage:
                    damage()
                before = self.objects()
                r = self.prune(*args, self.mirror)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertIn(text, r.stderr)
                self.assertEqual(self.objects(), before)
                self.serve_release("1.2")

    def is_index(self, name):
        with open(os.path.join(self.mirror, "objects", name), "rb") as f:
            return f.read(4) == b"KCIX"

    def serve_release(self, version):
        for name in ("manifest.json", "manifest.sig"):
            source = os.path.join(self.mirror, "releases", version, name)
            if os.path.exists(source):
                shutil.copy(source, os.path.join(self.mirror, name))


def make_authority(folder):
    """A throwaway authority and a certificate for 127.0.0.1 it signs:
    (authority file, certificate file, key file)."""
    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Korvanth test authority")])
    ca = (x509.CertificateBuilder().subject_name(ca_name).issuer_name(ca_name)
          .public_key(ca_key.public_key()).serial_number(x509.random_serial_number())
          .not_valid_before(now - datetime.timedelta(days=1))
          .not_valid_after(now + datetime.timedelta(days=2))
          .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
          .sign(ca_key, hashes.SHA256()))
    key = ec.generate_private_key(ec.SECP256R1())
    cert = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")]))
            .issuer_name(ca_name).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=2))
            .add_extension(x509.SubjectAlternativeName(
                [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
            .sign(ca_key, hashes.SHA256()))
    paths = [os.path.join(folder, n) for n in ("ca.pem", "cert.pem", "key.pem")]
    for path, data in zip(paths, [ca.public_bytes(serialization.Encoding.PEM),
                                  cert.public_bytes(serialization.Encoding.PEM),
                                  key.private_bytes(serialization.Encoding.PEM,
                                                    serialization.PrivateFormat.PKCS8,
                                                    serialization.NoEncryption())]):
        with open(path, "wb") as f:
            f.write(data)
    return paths


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class StaleCacheHandler(QuietHandler):
    """A cache in front of a mirror that still holds an older manifest.json
    (from `stale`) for every request that does not ask past caches."""

    def translate_path(self, path):
        if path == "/manifest.json" and "no-cache" not in self.headers.get("Cache-Control", ""):
            return os.path.join(self.stale, "manifest.json")
        return super().translate_path(path)


class Status(ClientFixture):
    """Mirrors served over HTTPS on loopback, each from its own tree."""

    def setUp(self):
        super().setUp()
        self.ca, cert, key = make_authority(self.dir)
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.shutdown()
            server.server_close()
        super().tearDown()

    def serve(self, tree, stale=None):
        handler = QuietHandler
        if stale:
            handler = type("Stale", (StaleCacheHandler,), {"stale": stale})
        server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(handler, directory=tree))
        server.socket = self.context.wrap_socket(server.socket, server_side=True)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.servers.append(server)
        return "https://127.0.0.1:%d/" % server.server_address[1]

    def status(self, *args):
        return run("status", "--pubkey", self.pub, "--cafile", self.ca, *args)

    def table(self, r):
        """{url: row's cells} of the printed table."""
        return {line.split()[0]: line for line in r.stdout.splitlines()[1:]}

    def test_a_mirror_behind_or_missing_an_object_fails_the_status(self):
        self.assertEqual(self.build(version="1.0", generated=TIMES[0]).returncode, 0)
        behind = os.path.join(self.dir, "behind")
        shutil.copytree(self.mirror, behind)
        self.write("ui/a.xml", b"<ui v='2'/>\n")
        self.assertEqual(self.build(version="1.1", generated=TIMES[1]).returncode, 0)
        holed, forged = os.path.join(self.dir, "holed"), os.path.join(self.dir, "forged")
        shutil.copytree(self.mirror, holed)
        shutil.copytree(self.mirror, forged)
        lost = sha(b"<ui v='2'/>\n")
        os.unlink(os.path.join(holed, "objects", lost))
        with open(os.path.join(forged, "manifest.json"), "ab") as f:
            f.write(b" ")
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        dead = "https://127.0.0.1:%d/" % closed.getsockname()[1]
        closed.close()
        whole, late, hole, bad = (self.serve(t) for t in (self.mirror, behind, holed, forged))
        cached = self.serve(self.mirror, stale=behind)
        cases = [
            # mirrors, --objects, exit code, {mirror: texts its row holds}
            ([whole], True, 0, {whole: ["1.1", TIMES[1], "all ", "newest"]}),
            ([whole, late, hole], False, 1, {whole: ["newest"], late: ["1.0", "behind"],
                                             hole: ["newest"]}),
            ([whole, late, hole], True, 1, {whole: ["all ", "newest"], late: ["all ", "behind"],
                                            hole: ["1 of ", "objects/%s (HTTP 404)" % lost,
                                                   "newest"]}),
            ([whole, bad, dead], False, 1, {whole: ["newest"],
                                            bad: ["broken: manifest.sig does not verify"],
                                            dead: ["unreachable"]}),
            ([whole, cached], False, 1, {whole: ["newest"], cached: ["broken: stale cache"]}),
        ]
        for mirrors, objects, code, rows in cases:
            with self.subTest(mirrors=len(mirrors), objects=objects):
                r = self.status(*((["--objects"] if objects else []) + mirrors))
                self.assertEqual(r.returncode, code, r.stdout + r.stderr)
                table = self.table(r)
                self.assertEqual(sorted(table), sorted(mirrors))
                for mirror, texts in rows.items():
                    for text in texts:
                        self.assertIn(text, table[mirror])
        # The root that signs the key list vouches for the release key.
        root = os.path.join(self.dir, "root.pem")
        self.assertEqual(run("keys", "init", root).returncode, 0)
        self.assertEqual(run("keys", "add", "--root", root, "--out", self.mirror, "--id", "A",
                             self.pub).returncode, 0)
        r = run("status", "--pubkey", root[:-4] + ".pub.pem", "--cafile", self.ca, whole, late)
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertIn("version 1", self.table(r)[whole])
        self.assertIn("newest", self.table(r)[whole])
        self.assertIn("broken", self.table(r)[late])  # no list there: the root alone fails
        # A revoked signer is named: the outage the publisher must undo.
        other = os.path.join(self.dir, "other.pem")
        self.assertEqual(run("keygen", "--role", "release", other).returncode, 0)
        self.assertEqual(run("keys", "add", "--root", root, "--out", self.mirror, "--id", "B",
                             other[:-4] + ".pub.pem").returncode, 0)
        r = run("keys", "revoke", "--force", "--root", root, "--out", self.mirror, "A")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = run("status", "--pubkey", root[:-4] + ".pub.pem", "--cafile", self.ca, whole)
        self.assertIn("signed by release key A, which keys.json version 3 revokes",
                      self.table(r)[whole])


if __name__ == "__main__":
    unittest.main()
