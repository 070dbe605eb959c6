#!/usr/bin/python3
"""The local trial of docs/publishing.md, run as the page writes it: the
commands are read from the page's code blocks, so that the page and what
was tried cannot drift apart. Root and release keys, the launcher built
alone with the root and the mirror's address (its build time printed), a
release signed by the release key, and a player's folder installed and
updated from the local mirror by the built korvanth-cli under Wine.

The launcher build takes processor-minutes: the test builds it once."""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

from fixture import RULES

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DOCS = os.path.join(ROOT, "docs", "publishing.md")
SECTION = "## Trying a release locally"
# The names the page asks a reader to set before the rest runs as it stands.
SETTINGS = ("trial", "port", "client", "rules")


def trial_blocks(text):
    """The shell code blocks of the trial section, in order: runs of lines
    indented by four spaces, the lines between blocks being prose."""
    start = text.index(SECTION)
    end = text.find("\n## ", start + len(SECTION))
    blocks, current = [], []
    for line in text[start:end if end >= 0 else None].splitlines():
        if line.startswith("    ") or (current and not line.strip()):
            current.append(line[4:])
        elif current:
            blocks.append("\n".join(current).strip() + "\n")
            current = []
    if current:
        blocks.append("\n".join(current).strip() + "\n")
    # The last block makes an HTTPS prefix trust the authority: a step for
    # a full build, not part of the plain-HTTP trial.
    return [b for b in blocks if "add_root_cert" not in b]


def with_settings(block, values):
    """The block with the value of each setting the reader is asked to
    choose replaced; a setting the page no longer has fails the test."""
    for name, value in values.items():
        block, n = re.subn(r"(?m)^%s=\S+" % name, "%s=%s" % (name, value), block)
        if n != 1:
            raise AssertionError("the trial does not set %s= once" % name)
    return block


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def files_of(root):
    out = {}
    for folder, _, names in os.walk(root):
        for n in names:
            path = os.path.join(folder, n)
            with open(path, "rb") as f:
                out[os.path.relpath(path, root).replace(os.sep, "/")] = f.read()
    return out


class Trial(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="korvanth-trial-test.")
        self.trial = os.path.join(self.tmp, "trial")
        self.client = os.path.join(self.tmp, "client")
        self.rules = os.path.join(self.tmp, "release.rules")
        with open(self.rules, "w") as f:
            f.write(RULES)
        self.files = {
            "system/dv.exe": b"MZ" + b"\0" * 70000,
            "data/a.bin": os.urandom(300000),
            "data/\u00e9t\u00e9.txt": b"summer\n",
            "stock/a.xml": b"<stock/>\n",
            "settings.cfg": b"volume=5\n",
        }
        for rel, data in self.files.items():
            self.write(rel, data)

    def tearDown(self):
        state = os.path.join(self.trial, "mirror-state")
        if os.path.isdir(state):
            subprocess.run([os.path.join(ROOT, "scripts", "mirror"), "stop", state],
                           capture_output=True)
        wine_run = os.path.join(self.trial, "build", "wine-run")
        if os.path.exists(wine_run):
            subprocess.run([wine_run, "--stop"], capture_output=True)
        if os.environ.get("KORVANTH_TRIAL_KEEP"):
            print("trial kept in %s" % self.tmp, file=sys.stderr)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)

    def write(self, rel, data):
        path = os.path.join(self.client, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def run_block(self, settings, block):
        """The settings and one block in one bash, stopping at the first
        command that fails, as a reader would."""
        script = settings + "\n" + block
        r = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", script], cwd=ROOT,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=3600)
        self.assertEqual(r.returncode, 0, "%s\n--- stdout\n%s\n--- stderr\n%s" % (
            block, r.stdout[-6000:], r.stderr[-6000:]))
        return r.stdout + r.stderr

    def player_files(self):
        """The player's copies of the client's files (the launcher's own
        files left out)."""
        got = files_of(os.path.join(self.trial, "player"))
        return {rel: got[rel] for rel in self.files if rel in got}

    def test_the_trial_as_the_page_writes_it(self):
        with open(DOCS, encoding="utf-8") as f:
            blocks = trial_blocks(f.read())
        self.assertEqual(len(blocks), 2, blocks)
        settings, first = blocks[0].split("\n\n", 1)
        settings = with_settings(settings, {"trial": self.trial, "port": free_port(),
                                            "client": self.client, "rules": self.rules})
        for name in SETTINGS:
            self.assertNotIn("%s=" % name, first + blocks[1])

        out = self.run_block(settings, first)
        built = re.search(r"build-launcher: .* built in (\d+ min \d+ s)", out)
        self.assertTrue(built, out[-3000:])
        print("\nlauncher-only build: %s" % built.group(1), file=sys.stderr)
        self.assertIn("signed by release key release-1", out)
        # The launcher carries the root, not the release key: a key the
        # list does not hold could not have produced an install.
        self.assertEqual(self.player_files(), self.files)

        # What the page asks the reader to do between the blocks.
        self.files["data/a.bin"] = os.urandom(300000)
        self.files["data/new.txt"] = b"new in 0.2\n"
        for rel in ("data/a.bin", "data/new.txt"):
            self.write(rel, self.files[rel])
        out = self.run_block(settings, blocks[1])
        self.assertIn("0.2", out)
        self.assertEqual(self.player_files(), self.files)


if __name__ == "__main__":
    unittest.main()
