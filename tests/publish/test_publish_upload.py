#!/usr/bin/python3
"""korvanth-publish upload against real servers on loopback (an SFTP server,
a WebDAV server, a local folder): the destination ends up holding the built
tree, objects before the manifest pair, and an upload cut short leaves it
serving the old release whole until the next one completes it."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import servers
from fixture import RULES, TOOL, run

# What the tool must send to every destination before anything else.
FIRST = ("objects/", "releases/")


class Releases:
    """Two releases in two trees, built once: the second a copy of the
    first with new large files added (cut into chunks too)."""

    def __init__(self, tmp, key=None):
        self.client = os.path.join(tmp, "client")
        self.rules = os.path.join(tmp, "rules")
        self.key = key or os.path.join(tmp, "k.pem")
        self.pub = os.path.join(tmp, "k.pub.pem")
        self.old = os.path.join(tmp, "tree-1")
        self.new = os.path.join(tmp, "tree-2")
        os.makedirs(tmp, exist_ok=True)
        with open(self.rules, "w") as f:
            f.write(RULES)
        self.write("system/dv.exe", b"MZ" + b"\0" * 100000)
        self.write("data/a.bin", os.urandom(150000))
        self.write("ui/a.xml", b"<ui/>\n")
        self.write("stock/a.xml", b"<stock/>\n")
        self.write("settings.cfg", b"volume=5\n")
        if not key:
            ok(run("keygen", self.key))
        self.build("1.0", "2026-01-02T03:04:05Z", self.old)
        shutil.copytree(self.old, self.new)
        for i in range(4):
            self.write("data/new%d.bin" % i, os.urandom(200000))
        self.build("2.0", "2026-02-02T03:04:05Z", self.new)

    def write(self, rel, data):
        path = os.path.join(self.client, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def build(self, version, generated, out):
        ok(run("build", "--client", self.client, "--rules", self.rules, "--key", self.key,
               "--version", version, "--out", out, "--generated", generated,
               "--chunk-min-file", "65536", "--quiet"))


def ok(result):
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    return result


def files(root):
    """Relative path to content of every file below root, hidden ones left
    out (what an upload sends)."""
    out = {}
    for folder, dirs, names in os.walk(root):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        for n in names:
            if not n.startswith("."):
                with open(os.path.join(folder, n), "rb") as f:
                    out[os.path.relpath(os.path.join(folder, n), root)] = f.read()
    return out


def lacking(tree, root):
    """The files of tree that root lacks, or holds with another size."""
    have = {}
    if os.path.isdir(root):
        for folder, _, names in os.walk(root):
            for n in names:
                path = os.path.join(folder, n)
                have[os.path.relpath(path, root)] = os.path.getsize(path)
    return {rel for rel, data in files(tree).items() if have.get(rel) != len(data)}


def upload(env, *args):
    """The tool started in a session of its own (so that a test can kill it
    with its rclone), with the remotes of `env` and few retries."""
    env = dict(os.environ, RCLONE_RETRIES="1", RCLONE_LOW_LEVEL_RETRIES="2",
               RCLONE_CONTIMEOUT="3s", **env)
    return subprocess.Popen([sys.executable, TOOL, "upload"] + list(args), env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


def verdict(dest, text):
    """A destination's verdict line; a remote's root (`us:`) is not given a
    second colon."""
    return "%s %s" % (dest if dest.endswith(":") else dest + ":", text)


def finish(proc):
    out, err = proc.communicate(timeout=240)
    return proc.returncode, out, err


def setUpModule():
    global TMP, RELEASES
    TMP = tempfile.TemporaryDirectory()
    RELEASES = Releases(TMP.name)


def tearDownModule():
    TMP.cleanup()


class UploadJourney(unittest.TestCase):
    def check_safe_order(self, writes, what):
        """No manifest file started before the last object was complete."""
        first = [end for _, end, path in writes if path.startswith(FIRST)]
        pair = [start for start, _, path in writes if "manifest." in path
                and not path.startswith(FIRST)]
        self.assertTrue(first and pair, (what, writes))
        self.assertGreaterEqual(min(pair), max(first), (what, writes))

    def test_upload_then_an_upload_cut_short_then_its_completion(self):
        for kind in servers.KINDS:
            with self.subTest(kind.name), tempfile.TemporaryDirectory() as tmp:
                server = kind(tmp)
                server.start()
                try:
                    self.journey(server)
                finally:
                    server.stop()

    def journey(self, server):
        r = RELEASES
        code, out, err = finish(upload(server.env, r.old, server.dest))
        self.assertEqual(code, 0, err)
        self.assertIn(verdict(server.dest, "live on 1.0"), out)
        self.assertEqual(files(server.root), files(r.old))
        ok(run("verify", "--pubkey", r.pub, server.root))
        self.check_safe_order(server.writes(), "first upload")
        if isinstance(server, servers.DavServer):
            headers = {path: cache for _, _, status, method, path, cache in server.requests()
                       if method == "PUT"}
            self.assertTrue(all(cache == "public, max-age=31536000, immutable"
                                for path, cache in headers.items() if path.startswith("objects/")))
            self.assertEqual(headers[".upload/manifest.json"], "no-cache")
            self.assertEqual(headers[".upload/manifest.sig"], "no-cache")

        # Cut short once the first new object is there, one file at a time
        # and slowed down so that the others are not.
        new_objects = sorted(rel for rel in lacking(r.new, server.root)
                             if rel.startswith("objects/"))
        proc = upload(server.env, "--bwlimit", "150k", "--transfers", "1", r.new, server.dest)
        deadline = time.monotonic() + 60
        while len(lacking(r.new, server.root) & set(new_objects)) == len(new_objects):
            self.assertLess(time.monotonic(), deadline, "no object arrived")
            self.assertIsNone(proc.poll(), "the upload ended before it was cut short")
            time.sleep(0.05)
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        missing = lacking(r.new, server.root)
        self.assertTrue(set(new_objects) & missing, "the upload was not cut short")
        for name in ("manifest.json", "manifest.sig"):
            with open(os.path.join(server.root, name), "rb") as f, \
                    open(os.path.join(r.old, name), "rb") as g:
                self.assertEqual(f.read(), g.read(), name)
        ok(run("verify", "--pubkey", r.pub, server.root))

        mark = server.mark()
        code, out, err = finish(upload(server.env, r.new, server.dest))
        self.assertEqual(code, 0, err)
        self.assertIn(verdict(server.dest, "live on 2.0"), out)
        self.assertEqual(files(server.root), files(r.new))
        ok(run("verify", "--pubkey", r.pub, server.root))
        writes = server.writes(mark)
        sent = {path for _, _, path in writes if path.startswith(FIRST)}
        # Only what was missing, and the new release's own small history
        # copy, which is always sent.
        self.assertEqual({p for p in sent if not p.startswith("releases/2.0/")},
                         {p for p in missing if p.startswith(FIRST)
                          and not p.startswith("releases/2.0/")})
        self.check_safe_order(writes, "completing upload")


class Destinations(unittest.TestCase):
    """Each destination on its own: one that fails keeps its release, the
    others go live, and the exit code says that not all did."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.good = os.path.join(self.tmp.name, "good")

    def tearDown(self):
        self.tmp.cleanup()

    def seeded(self, name):
        root = os.path.join(self.tmp.name, name)
        shutil.copytree(RELEASES.old, root)
        return root

    def test_a_failing_destination_keeps_its_release_and_the_others_go_live(self):
        blocked = self.seeded("blocked")
        victim = sorted(p for p in lacking(RELEASES.new, blocked) if p.startswith("objects/"))[0]
        os.makedirs(os.path.join(blocked, victim, "x"))  # a folder where the object goes
        unreachable = servers.SftpServer(self.tmp.name)  # never started: nothing listens
        newer = self.seeded("newer")
        path = os.path.join(newer, "manifest.json")
        with open(path, "rb") as f:
            text = f.read().replace(b'"2026-01-02T03:04:05Z"', b'"2027-01-02T03:04:05Z"')
        with open(path, "wb") as f:
            f.write(text)
        cases = [(blocked, {}, victim), (unreachable.dest, unreachable.env, "cannot list"),
                 (newer, {}, "serves a newer release (generated 2027-01-02T03:04:05Z")]
        for dest, env, named in cases:
            with self.subTest(dest):
                good = self.seeded("good-" + os.path.basename(dest))
                code, out, err = finish(upload(env, RELEASES.new, dest, good))
                self.assertEqual(code, 1, err)
                self.assertIn(verdict(dest, "NOT live on 2.0"), out)
                self.assertIn(verdict(good, "live on 2.0"), out)
                self.assertIn(named, err)
                self.assertEqual(files(good), files(RELEASES.new))
                if os.path.isdir(dest):
                    self.assertIn(b'"version": "1.0"', files(dest)["manifest.json"])

    def test_dry_run_lists_what_is_lacking_and_sends_nothing(self):
        dest = self.seeded("dry")
        code, out, err = finish(upload({}, "--dry-run", RELEASES.new, dest))
        self.assertEqual(code, 0, err)
        listed = [line.split("\t")[2] for line in out.splitlines()]
        pair = ["manifest.json", "manifest.sig"]
        self.assertEqual(listed[-2:], pair)
        always = {p for p in listed if p.startswith("releases/2.0/")}
        self.assertEqual(set(listed[:-2]) - always,
                         lacking(RELEASES.new, dest) - set(pair) - always)
        self.assertEqual(files(dest), files(RELEASES.old))

    def test_settings_in_a_destination_name_are_refused_unrepeated(self):
        for dest in (":sftp,host=h,pass=SECRET:/srv", "remote,password=SECRET:/srv"):
            with self.subTest(dest):
                code, out, err = finish(upload({}, RELEASES.new, self.good, dest))
                self.assertEqual(code, 1)
                self.assertIn("destination 2 has settings in its name", err)
                self.assertNotIn("SECRET", out + err)
                self.assertFalse(os.path.exists(self.good))  # nothing sent anywhere


class Messages(unittest.TestCase):
    """What the tool says: rclone's own reason when a destination fails,
    counts that agree, nothing sent twice, names joined once."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dav = servers.DavServer(cls.tmp.name)
        cls.dav.start()

    @classmethod
    def tearDownClass(cls):
        cls.dav.stop()
        cls.tmp.cleanup()

    def test_failures_say_rclone_s_reason_and_which_kind(self):
        unreachable = servers.SftpServer(self.tmp.name)  # never started: nothing listens
        # The same server, its root folder one that holds nothing.
        empty_dav = {"RCLONE_CONFIG_KEMPTY_TYPE": "webdav", "RCLONE_CONFIG_KEMPTY_VENDOR": "other",
                     "RCLONE_CONFIG_KEMPTY_URL": self.dav.env["RCLONE_CONFIG_KDAV_URL"] + "empty/"}
        cases = [
            # command, environment, what stderr says, what it must not say
            (["upload", RELEASES.new, "nosuch:"], {},
             ["cannot list nosuch: (rclone: ", "didn't find section in config file"], []),
            (["upload", RELEASES.new, unreachable.dest], unreachable.env,
             ["cannot list %s (rclone: " % unreachable.dest,
              'failed to create file system for "%s"' % unreachable.dest], []),
            (["prune", "nosuch:"], {}, ["cannot list nosuch: (rclone: ",
                                        "didn't find section in config file"],
             ["no releases kept"]),
            (["prune", unreachable.dest], unreachable.env,
             ["cannot list %s (rclone: " % unreachable.dest], ["no releases kept"]),
            # Reachable and empty: the releases folder is looked for below
            # the remote's root, not at the server's.
            (["prune", "kempty:"], empty_dav,
             ["kempty: no releases kept in kempty:releases/"], ["cannot list", "::"]),
        ]
        for args, env, said, unsaid in cases:
            with self.subTest(" ".join(args[:1] + args[-1:])):
                code, out, err = finish(tool(env, *args))
                self.assertEqual(code, 1, out + err)
                for text in said:
                    self.assertIn(text, err.lower() if text.startswith("failed") else err)
                for text in unsaid:
                    self.assertNotIn(text, err)

    def test_counts_agree_and_nothing_is_sent_twice(self):
        dav = self.dav
        code, out, err = finish(upload(dav.env, RELEASES.old, dav.dest))
        self.assertEqual(code, 0, err)
        mark = dav.mark()
        code, out, err = finish(upload(dav.env, RELEASES.new, dav.dest))
        self.assertEqual(code, 0, err)
        announced = int(re.search(r"kdav: (\d+) files to send first", err).group(1))
        self.assertIn("kdav: %d/%d files" % (announced, announced), err)
        self.assertEqual(announced, len([p for _, _, p in dav.writes(mark)
                                          if p.startswith(FIRST)]))
        self.assertIn("kdav: live on 2.0", out)
        self.assertNotIn("::", out + err)

        # Again: the release's history copy is there as built, so nothing
        # but the key list and the manifest pair goes up.
        mark = dav.mark()
        code, out, err = finish(upload(dav.env, RELEASES.new, dav.dest))
        self.assertEqual(code, 0, err)
        self.assertIn("kdav: 0 files to send first", err)
        self.assertEqual([p for _, _, p in dav.writes(mark) if p.startswith(FIRST)], [])

        # Rebuilt at the same version (--force): the history copy has the
        # same size and other bytes, and is sent again.
        rebuilt = os.path.join(self.tmp.name, "rebuilt")
        shutil.copytree(RELEASES.new, rebuilt)
        ok(run("build", "--client", RELEASES.client, "--rules", RELEASES.rules, "--key",
               RELEASES.key, "--version", "2.0", "--out", rebuilt, "--generated",
               "2026-02-02T03:04:06Z", "--chunk-min-file", "65536", "--quiet", "--force"))
        mark = dav.mark()
        code, out, err = finish(upload(dav.env, rebuilt, dav.dest))
        self.assertEqual(code, 0, err)
        self.assertEqual(sorted(p for _, _, p in dav.writes(mark) if p.startswith(FIRST)),
                         ["releases/2.0/manifest.json", "releases/2.0/manifest.sig"])
        self.assertEqual(files(dav.root), files(rebuilt))

    def test_a_tree_named_with_a_slash_is_named_once(self):
        root = os.path.join(self.tmp.name, "root.pem")
        ok(run("keys", "init", root))
        r = ok(run("keys", "add", "--root", root, "--out", self.tmp.name + "/listed/",
                   RELEASES.pub))
        self.assertIn("/listed/keys.json version 1", r.stdout)
        self.assertNotIn("//", r.stdout)


def tool(env, *args):
    """Any command of the tool, as `upload` runs it."""
    env = dict(os.environ, RCLONE_RETRIES="1", RCLONE_LOW_LEVEL_RETRIES="2",
               RCLONE_CONTIMEOUT="3s", **env)
    return subprocess.Popen([sys.executable, TOOL] + list(args), env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


SIGNING_KEY = os.environ.get("KORVANTH_TEST_SIGNING_KEY", "none")
WINE_RUN = os.environ.get("KORVANTH_WINE_RUN")
CLI = os.environ.get("KORVANTH_CLI")
NET_STATE = os.environ.get("KORVANTH_NET_STATE")
UP_TO_DATE = 2


def winpath(path):
    return "Z:" + path.replace("/", "\\")


@unittest.skipUnless(WINE_RUN and CLI and NET_STATE, "run by CTest with the built launcher")
class LiveUpdates(unittest.TestCase):
    """Players update from a WebDAV mirror over HTTPS while the next release
    is uploaded to it, slowly: each update ends up to date, on the old
    release or on the new one."""

    def test_players_update_while_a_release_goes_up(self):
        if SIGNING_KEY == "none":
            self.skipTest("the build trusts a key whose private half is not at hand")
        with tempfile.TemporaryDirectory() as tmp:
            releases = Releases(os.path.join(tmp, "releases"), key=SIGNING_KEY)
            # The authority the network tests' fixture made the Wine prefix trust.
            server = servers.DavServer(tmp, certs=os.path.join(NET_STATE, "ca"))
            server.start()
            try:
                self.updates_while_uploading(releases, server, os.path.join(tmp, "player"))
            finally:
                server.stop()

    def updates_while_uploading(self, releases, server, player):
        url = "https://127.0.0.1:%d/" % server.https_port
        new_file = os.path.join(player, "data", "new3.bin")
        os.makedirs(player)

        def update():
            """The run's exit code, its output, and whether the player now
            has the new release."""
            r = subprocess.run([WINE_RUN, CLI, "--update", "--mirror-pair", url, url,
                                winpath(player)], stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=300)
            # The run's own lines of the player's log say why, should it fail.
            log = ""
            try:
                with open(os.path.join(player, "Korvanth.log"), errors="replace") as f:
                    log = "".join(f.readlines()[-25:])
            except OSError:
                pass
            return r.returncode, r.stdout + r.stderr + log, os.path.exists(new_file)

        self.assertEqual(finish(upload(server.env, releases.old, server.dest))[0], 0)
        code, out, _ = update()
        self.assertEqual(code, UP_TO_DATE, out)
        proc = upload(server.env, "--bwlimit", "100k", releases.new, server.dest)
        runs = []
        while proc.poll() is None:
            runs.append(update())
        code, out, err = finish(proc)
        self.assertEqual(code, 0, err)
        runs.append(update())
        self.assertGreaterEqual(len(runs), 3)
        for code, out, _ in runs:
            self.assertEqual(code, UP_TO_DATE, out)
        # The old release while the objects went up, the new one at the end.
        has_new = [new for _, _, new in runs]
        self.assertEqual(has_new, sorted(has_new))
        self.assertEqual((has_new[0], has_new[-1]), (False, True))
        with open(new_file, "rb") as f, \
                open(os.path.join(releases.client, "data", "new3.bin"), "rb") as g:
            self.assertEqual(f.read(), g.read())


if __name__ == "__main__":
    unittest.main()
