#!/usr/bin/python3
"""korvanth-publish as a product: every option explained in --help, one
version with the project, --json documents that match their published
schemas with nothing else on stdout, and the package installed with pip
into a clean virtual environment running from there."""

import argparse
import functools
import glob
import http.server
import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

import jsonschema

from fixture import ROOT, TOOL, ClientFixture, run
from test_publish_live import QuietHandler, make_authority

sys.path.insert(0, os.path.dirname(TOOL))
from korvanth_publish import chunks, cli, version  # noqa: E402
from korvanth_publish.report import schema_path  # noqa: E402

TIMES = ["2026-02-0%dT00:00:00Z" % day for day in range(1, 10)]


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(Korvanth VERSION (\S+)", f.read()).group(1)


def options_without_help(parser, path):
    """'COMMAND --option' for every argument of the tree with no help text,
    and every command listed without one."""
    missing = []
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            helps = {a.dest: a.help for a in action._choices_actions}
            for name, child in action.choices.items():
                if not helps.get(name):
                    missing.append(" ".join(path + [name]))
                missing += options_without_help(child, path + [name])
        elif not isinstance(action, argparse._HelpAction):
            if not action.help or action.help == argparse.SUPPRESS:
                missing.append(" ".join(path + [action.option_strings[-1] if
                                                action.option_strings else action.dest]))
    return missing


class Usage(unittest.TestCase):
    def test_every_option_of_every_command_has_help(self):
        self.assertEqual(options_without_help(cli.parser(), ["korvanth-publish"]), [])
        # The walk does see a nested command's options.
        bare = argparse.ArgumentParser()
        bare.add_subparsers().add_parser("keys", help="x").add_subparsers().add_parser(
            "add", help="y").add_argument("--out")
        self.assertEqual(options_without_help(bare, ["t"]), ["t keys add --out"])

    def test_the_version_is_the_projects(self):
        want = project_version()
        r = run("--version")
        self.assertEqual((r.returncode, r.stdout), (0, "korvanth-publish %s\n" % want))
        self.assertEqual(version.for_package(), want)  # what pip records
        with tempfile.TemporaryDirectory() as tmp:
            cases = [("project(Korvanth VERSION 1.22.333 LANGUAGES C)\n", "1.22.333"),
                     ("project(Other VERSION 1.2.3)\n", None),
                     ("# project(Korvanth)\n", None)]
            for text, found in cases:
                path = os.path.join(tmp, "CMakeLists.txt")
                with open(path, "w") as f:
                    f.write(text)
                self.assertEqual(version.from_checkout(path), found, text)
            self.assertIsNone(version.from_checkout(os.path.join(tmp, "none")))


def parsed(test, command, r, code):
    """The one JSON document on stdout, checked against the command's schema."""
    test.assertEqual(r.returncode, code, r.stdout + r.stderr)
    doc = json.loads(r.stdout)  # nothing but the document
    with open(schema_path(command)) as f:
        jsonschema.Draft202012Validator(json.load(f)).validate(doc)
    return doc


class Json(ClientFixture):
    """Three releases built into one tree, each changing a file."""

    def setUp(self):
        super().setUp()
        for i, when in enumerate(TIMES[:3]):
            self.write("ui/a.xml", b"<ui v='%d'/>\n" % i)
            r = self.build(version="1.%d" % i, generated=when, force=False)
            self.assertEqual(r.returncode, 0, r.stderr)

    def test_schemas_are_valid(self):
        for command in ("status", "upload", "prune", "diff", "verify"):
            with open(schema_path(command)) as f:
                jsonschema.Draft202012Validator.check_schema(json.load(f))

    def test_verify_diff_and_prune(self):
        broken = os.path.join(self.dir, "broken")
        shutil.copytree(self.mirror, broken)
        os.unlink(os.path.join(broken, "objects", os.path.basename(self.obj("system/d3d9.dll"))))
        cases = [
            # command, arguments, exit code, {member: value}
            ("verify", ["--pubkey", self.pub, self.mirror], 0, {"ok": True, "problems": []}),
            ("verify", ["--pubkey", self.pub, broken], 1, {"ok": False}),
            ("diff", ["1.0", self.mirror], 0, {"old": {"version": "1.0",
                                                        "generated": TIMES[0]}}),
            ("diff", ["--interface", "1", "1.1", self.mirror], 0,
             {"players": {"interface": True, "dxvk": False}}),
            ("prune", ["--dry-run", "--keep", "2", self.mirror], 0,
             {"kept": ["1.2", "1.1"], "dropped": ["1.0"], "dry_run": True}),
        ]
        for command, argv, code, members in cases:
            with self.subTest(command=command, argv=argv[:2]):
                doc = parsed(self, command, run(command, "--json", *argv), code)
                for key, value in members.items():
                    self.assertEqual(doc[key], value)
        doc = parsed(self, "verify", run("verify", "--json", "--pubkey", self.pub, broken), 1)
        self.assertIn("missing", " ".join(doc["problems"]))
        # Only players of the custom interface get ui/a.xml.
        stock, custom = (parsed(self, "diff", run("diff", "--json", "--interface", i, "1.0",
                                                  self.mirror), 0) for i in "01")
        self.assertEqual([f["path"] for f in stock["changed"]], [])
        self.assertEqual([f["path"] for f in custom["changed"]], ["ui/a.xml"])
        self.assertEqual(custom["wire_bytes"]["whole"], custom["changed"][0]["whole"])
        # The dry run deletes nothing; the real one exactly what it listed.
        before = self.tree()
        planned = parsed(self, "prune", run("prune", "--json", "--dry-run", "--keep", "2",
                                            self.mirror), 0)
        self.assertEqual(self.tree(), before)
        self.assertIn("releases/1.0/manifest.json", planned["deleted"])
        done = parsed(self, "prune", run("prune", "--json", "--keep", "2", self.mirror), 0)
        self.assertEqual(done["deleted"], planned["deleted"])
        self.assertEqual(done["objects"], len([d for d in done["deleted"]
                                               if d.startswith("objects/")]))
        self.assertFalse(any(os.path.exists(os.path.join(self.mirror, d))
                             for d in done["deleted"]))
        # A refusal before any verdict: the error on stderr, stdout empty.
        r = run("prune", "--json", "--keep", "1", self.mirror)
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertIn("--keep", r.stderr)

    def test_upload(self):
        dest, fresh = os.path.join(self.dir, "dest"), os.path.join(self.dir, "fresh")
        plan = parsed(self, "upload", run("upload", "--json", "--dry-run", self.mirror, fresh), 0)
        record = plan["destinations"][0]
        self.assertEqual((record["state"], plan["version"]), ("planned", "1.2"))
        self.assertEqual([f["path"] for f in record["send"][-2:]],
                         ["manifest.json", "manifest.sig"])
        self.assertFalse(os.path.exists(fresh))
        # A destination rclone cannot list fails alone; the other goes live.
        doc = parsed(self, "upload", run("upload", "--json", self.mirror, dest,
                                         "korvanth-no-such-remote:x"), 1)
        live, failed = doc["destinations"]
        self.assertEqual((live["state"], failed["state"], doc["ok"]), ("live", "failed", False))
        self.assertEqual(sorted(f["path"] for f in live["send"]),
                         sorted(f["path"] for f in record["send"]))
        self.assertIsNone(failed["send"])
        self.assertTrue(failed["error"])
        with open(os.path.join(dest, "manifest.json"), "rb") as f:
            self.assertEqual(f.read(), self.manifest())
        # Once there, a destination is sent only the pair it serves, last;
        # the release's copy in releases/ is there byte for byte.
        again = parsed(self, "upload", run("upload", "--json", "--dry-run", self.mirror, dest), 0)
        self.assertEqual(sorted(f["path"] for f in again["destinations"][0]["send"]),
                         ["manifest.json", "manifest.sig"])

    def test_status(self):
        ca, cert, key = make_authority(self.dir)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        behind = os.path.join(self.dir, "behind")
        shutil.copytree(self.mirror, behind)
        for name in ("manifest.json", "manifest.sig"):
            shutil.copy(os.path.join(self.mirror, "releases", "1.0", name), behind)
        urls = []
        for tree in (self.mirror, behind):
            server = http.server.ThreadingHTTPServer(
                ("127.0.0.1", 0), functools.partial(QuietHandler, directory=tree))
            server.socket = context.wrap_socket(server.socket, server_side=True)
            threading.Thread(target=server.serve_forever, daemon=True).start()
            self.addCleanup(server.server_close)
            self.addCleanup(server.shutdown)
            urls.append("https://127.0.0.1:%d/" % server.server_address[1])
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        urls.append("https://127.0.0.1:%d/" % closed.getsockname()[1])
        closed.close()
        status = functools.partial(run, "status", "--json", "--pubkey", self.pub, "--cafile", ca)
        doc = parsed(self, "status", status("--objects", urls[0]), 0)
        self.assertEqual(doc["mirrors"][0]["objects"]["bad"], [])
        self.assertEqual((doc["ok"], doc["newest"]), (True, TIMES[2]))
        doc = parsed(self, "status", status(*urls), 1)
        self.assertEqual([(m["state"], m["version"]) for m in doc["mirrors"]],
                         [("newest", "1.2"), ("behind", "1.0"), ("unreachable", None)])
        self.assertTrue(doc["mirrors"][2]["problem"])
        self.assertIsNone(doc["mirrors"][0]["objects"])


class Installed(unittest.TestCase):
    """pip, offline, from a copy of the files the package is built from (so
    that the build's own files land there and not in the checkout)."""

    def test_the_chunk_tool_files_include_every_header_it_reads(self):
        # What the package carries, and what keys the cache of built tools:
        # a header left out would build an installed tool from nothing, or
        # run a stale one after an edit.
        listed = set(chunks.chunker_files(ROOT))
        wanted, todo = set(), [f for f in listed if f.endswith(".cpp")]
        while todo:
            with open(os.path.join(ROOT, todo.pop())) as f:
                for name in re.findall(r'^#include "([^"]+)"', f.read(), re.MULTILINE):
                    if name not in wanted:
                        wanted.add(name)
                        todo.append(name)
        self.assertEqual(wanted - listed, set())

    def test_pip_install_into_a_clean_environment(self):
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "src")
            shutil.copytree(os.path.dirname(TOOL), os.path.join(src, "tools", "publish"),
                            ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
            for rel in ["CMakeLists.txt"] + chunks.chunker_files(ROOT):
                os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
                shutil.copy(os.path.join(ROOT, rel), os.path.join(src, rel))
            venv = os.path.join(tmp, "venv")
            # Debian's cryptography comes in from the system's packages.
            subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv],
                           check=True)
            r = subprocess.run([os.path.join(venv, "bin", "pip"), "install", "--no-index",
                                "--no-build-isolation", "--quiet",
                                os.path.join(src, "tools", "publish")],
                               capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            shutil.rmtree(src)  # the installed tool needs no checkout
            tool = os.path.join(venv, "bin", "korvanth-publish")
            env = {k: v for k, v in os.environ.items() if k != "KORVANTH_CHUNKER"}
            env["XDG_CACHE_HOME"] = os.path.join(tmp, "cache")

            def installed(*args):
                return subprocess.run([tool] + list(args), capture_output=True, text=True,
                                      env=env, cwd=tmp)

            r = installed("--version")
            self.assertEqual(r.stdout, "korvanth-publish %s\n" % project_version())
            # A file large enough for chunks: the chunk tool is built from
            # the sources the package carries.
            os.makedirs(os.path.join(tmp, "client", "data"))
            with open(os.path.join(tmp, "client", "data", "big.bin"), "wb") as f:
                f.write(os.urandom(chunks.DEFAULT_MIN_FILE + 1))
            with open(os.path.join(tmp, "rules"), "w") as f:
                f.write("data/** base\n")
            for args in (["keygen", "k.pem"],
                         ["build", "--client", "client", "--rules", "rules", "--key", "k.pem",
                          "--version", "1.0", "--out", "mirror", "--quiet"]):
                r = installed(*args)
                self.assertEqual(r.returncode, 0, r.stderr)
            doc = parsed(self, "verify", installed("verify", "--json", "--pubkey", "k.pub.pem",
                                                   "mirror"), 0)
            self.assertEqual((doc["objects"], doc["chunk_indexes"]), (1, 1))
            # The schemas travel with the package.
            shipped = glob.glob(os.path.join(venv, "lib", "python3*", "site-packages",
                                             "korvanth_publish", "schemas", "*.schema.json"))
            self.assertEqual(len(shipped), 5)


if __name__ == "__main__":
    unittest.main()
