#!/usr/bin/python3
"""scripts/mirror as the demo and the tests use it: a real nginx on loopback
that serves a tree as stored, answers Range with 206, runs as the caller and
leaves nothing running after stop."""

import gzip
import os
import ssl
import subprocess
import tempfile
import time
import unittest
import urllib.request

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MIRROR = os.path.join(ROOT, "scripts", "mirror")
# The authority every start shares by default, here in a folder of the test's
# own rather than the caller's home.
CA_HOME = tempfile.TemporaryDirectory()
os.environ["KORVANTH_MIRROR_CA"] = os.path.join(CA_HOME.name, "ca")


def alive(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            return "\nState:\tZ" not in f.read()
    except OSError:
        return False


class Mirror(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.tree = os.path.join(cls.tmp.name, "tree")
        cls.state = os.path.join(cls.tmp.name, "state")
        os.makedirs(os.path.join(cls.tree, "objects"))
        cls.body = os.urandom(5000)
        cls.packed = gzip.compress(b"a" * 10000, mtime=0)
        with open(os.path.join(cls.tree, "objects", "x"), "wb") as f:
            f.write(cls.body)
        with open(os.path.join(cls.tree, "objects", "x.gz"), "wb") as f:
            f.write(cls.packed)
        for name in ("manifest.json", "manifest.sig", "files/manifest.json", "files/objects/y"):
            os.makedirs(os.path.dirname(os.path.join(cls.tree, name)), exist_ok=True)
            with open(os.path.join(cls.tree, name), "wb") as f:
                f.write(b"{}")
        cls.web = {"site/api/server/status": b'{"gameServer":{"online":true}}',
                   "site/api/feed": b'[{"id":1,"title":"t"}]'}
        for name, body in cls.web.items():
            os.makedirs(os.path.dirname(os.path.join(cls.tree, name)), exist_ok=True)
            with open(os.path.join(cls.tree, name), "wb") as f:
                f.write(body)
        subprocess.run([MIRROR, "start", "--state", cls.state, cls.tree], check=True,
                       capture_output=True)
        read = lambda name: open(os.path.join(cls.state, name)).read().strip()
        cls.https = "https://127.0.0.1:%s/" % read("https.port")
        cls.http = "http://127.0.0.1:%s/" % read("http.port")
        cls.tls = ssl.create_default_context(cafile=os.path.join(cls.state, "ca", "ca.pem"))
        cls.pid = int(read("nginx.pid"))

    @classmethod
    def tearDownClass(cls):
        subprocess.run([MIRROR, "stop", cls.state], capture_output=True)
        cls.tmp.cleanup()

    def get(self, url, headers=()):
        req = urllib.request.Request(url, headers=dict(headers))
        with urllib.request.urlopen(req, context=self.tls if url.startswith("https") else None,
                                    timeout=10) as r:
            return r.status, r.headers, r.read()

    def test_serves_whole_files_and_ranges_over_both_schemes(self):
        for base in (self.https, self.http):
            with self.subTest(base):
                status, _, body = self.get(base + "objects/x")
                self.assertEqual((status, body), (200, self.body))
                status, headers, body = self.get(base + "objects/x", [("Range", "bytes=1000-")])
                self.assertEqual((status, body), (206, self.body[1000:]))
                self.assertEqual(headers["Content-Range"], "bytes 1000-4999/5000")

    def test_gzip_objects_are_served_as_stored(self):
        status, headers, body = self.get(self.https + "objects/x.gz",
                                         [("Accept-Encoding", "gzip")])
        self.assertEqual((status, body), (200, self.packed))
        self.assertIsNone(headers["Content-Encoding"])

    def test_web_documents_are_served_as_json(self):
        for name, want in self.web.items():
            with self.subTest(name):
                status, headers, body = self.get(self.https + name)
                self.assertEqual((status, body), (200, want))
                self.assertEqual(headers["Content-Type"], "application/json")
        _, headers, _ = self.get(self.https + "objects/x")
        self.assertEqual(headers["Content-Type"], "application/octet-stream")

    def test_objects_are_cached_for_good_and_the_manifest_pair_never_unchecked(self):
        cases = [("objects/x", "public, max-age=31536000, immutable"),
                 ("files/objects/y", "public, max-age=31536000, immutable"),
                 ("manifest.json", "no-cache"), ("manifest.sig", "no-cache"),
                 ("files/manifest.json", "no-cache"), ("site/api/feed", None)]
        for name, want in cases:
            with self.subTest(name):
                _, headers, _ = self.get(self.https + name)
                self.assertEqual(headers["Cache-Control"], want)

    def test_runs_as_the_caller_with_everything_in_its_state_folder(self):
        owners = {}
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/status" % entry) as f:
                    fields = dict(line.split(":", 1) for line in f if ":" in line)
            except (OSError, ValueError):
                continue
            if int(fields["PPid"]) == self.pid or int(entry) == self.pid:
                owners[int(entry)] = int(fields["Uid"].split()[1])  # effective uid
        self.assertGreaterEqual(len(owners), 2)  # the master and its worker
        self.assertEqual(set(owners.values()), {os.getuid()})
        for name in ("nginx.conf", "error.log", "access.log", "ca/ca.pem"):
            self.assertTrue(os.path.exists(os.path.join(self.state, name)), name)

    def test_zz_stop_ends_nginx(self):
        subprocess.run([MIRROR, "stop", self.state], check=True, capture_output=True)
        self.assertFalse(alive(self.pid))
        self.assertFalse(os.path.exists(os.path.join(self.state, "nginx.pid")))


class Restarts(unittest.TestCase):
    """A launcher built for the mirror's address, in a prefix told once to
    trust its authority, reaches it again after a restart."""

    def test_one_authority_and_the_port_asked_for_across_restarts(self):
        trusted = ssl.create_default_context(
            cafile=os.path.join(os.environ["KORVANTH_MIRROR_CA"], "ca.pem"))
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "x"), "wb") as f:
                f.write(b"x")
            ports, authorities = [], set()
            for run in range(2):
                state = os.path.join(tmp, "state%d" % run)
                again = ["--port", str(ports[0])] if ports else []
                subprocess.run([MIRROR, "start", "--state", state] + again + [tmp],
                               check=True, capture_output=True)
                try:
                    with open(os.path.join(state, "https.port")) as f:
                        ports.append(int(f.read()))
                    with open(os.path.join(state, "ca", "ca.pem"), "rb") as f:
                        authorities.add(f.read())
                    with urllib.request.urlopen("https://127.0.0.1:%d/x" % ports[-1],
                                                context=trusted, timeout=10) as r:
                        self.assertEqual(r.read(), b"x")
                finally:
                    subprocess.run([MIRROR, "stop", state], capture_output=True)
            self.assertEqual(ports[0], ports[1])
            self.assertEqual(len(authorities), 1)


class RateLimitedMirror(unittest.TestCase):
    """--limit-rate, with which the demo lets a download be watched."""

    def test_limit_rate_slows_every_response_and_bad_values_are_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            tree = os.path.join(tmp, "tree")
            os.makedirs(tree)
            body = os.urandom(128 * 1024)
            with open(os.path.join(tree, "big"), "wb") as f:
                f.write(body)
            bad = subprocess.run([MIRROR, "start", "--state", os.path.join(tmp, "bad"),
                                  "--limit-rate", "fast", tree], capture_output=True, text=True)
            self.assertNotEqual(bad.returncode, 0)
            self.assertIn("--limit-rate", bad.stderr)
            state = os.path.join(tmp, "state")
            subprocess.run([MIRROR, "start", "--state", state, "--limit-rate", "32k", tree],
                           check=True, capture_output=True)
            try:
                with open(os.path.join(state, "http.port")) as f:
                    url = "http://127.0.0.1:%s/big" % f.read().strip()
                started = time.monotonic()
                with urllib.request.urlopen(url, timeout=30) as r:
                    self.assertEqual(r.read(), body)
                # 128 KiB at 32 KiB/s: nginx sends about a second's worth at
                # once, then three seconds more; unlimited it takes milliseconds.
                self.assertGreater(time.monotonic() - started, 1.5)
            finally:
                subprocess.run([MIRROR, "stop", state], capture_output=True)


if __name__ == "__main__":
    unittest.main()
