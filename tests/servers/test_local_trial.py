#!/usr/bin/python3
"""The steps of docs/publishing.md's "Trying a release locally", run as
written from a folder laid out as the repository and its build: a release
published to scripts/mirror reaches a player's folder through korvanth-cli
under Wine. Step 2 is taken in its --mirror-pair form (a second build of the
launcher takes minutes); the port, /tmp and the home folder are the test's
own."""

import os
import socket
import subprocess
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("KORVANTH_BUILD_DIR")
UP_TO_DATE = 2


def doc_commands():
    """The shell commands of the section, continuation lines joined, in
    order: the lines of its indented code blocks."""
    with open(os.path.join(ROOT, "docs", "publishing.md"), encoding="utf-8") as f:
        text = f.read()
    section = text.split("## Trying a release locally", 1)[1].split("\n## ", 1)[0]
    commands, pending = [], ""
    for line in section.splitlines():
        if not line.startswith("       ") or line.strip().startswith("("):
            continue
        pending += line.strip()
        if pending.endswith("\\"):
            pending = pending[:-1] + " "
            continue
        commands.append(pending)
        pending = ""
    return commands


@unittest.skipUnless(BUILD, "run by CTest with the built launcher")
class LocalTrial(unittest.TestCase):
    def test_the_documented_steps_update_a_player_folder(self):
        commands = doc_commands()
        self.assertTrue(any(c.startswith("scripts/build ") for c in commands), commands)
        with tempfile.TemporaryDirectory() as tmp:
            work = os.path.join(tmp, "work")
            os.makedirs(os.path.join(work, "client", "data"))
            for name in ("scripts", "tools", "keys"):
                os.symlink(os.path.join(ROOT, name), os.path.join(work, name))
            os.symlink(BUILD, os.path.join(work, "build"))
            with open(os.path.join(work, "client", "data", "a.txt"), "wb") as f:
                f.write(b"the release\n")
            with open(os.path.join(work, "release.rules"), "w") as f:
                f.write("** base\n")
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                port = s.getsockname()[1]
            base = "https://127.0.0.1:%d/" % port
            env = dict(os.environ, HOME=os.path.join(tmp, "home"))
            env.pop("KORVANTH_MIRROR_CA", None)
            env.pop("XDG_DATA_HOME", None)
            state = os.path.join(tmp, "korvanth-mirror")
            try:
                for command in commands:
                    if command.startswith("scripts/build "):
                        continue  # the --mirror-pair form below instead
                    command = command.replace("8443", str(port)).replace("/tmp/", tmp + "/")
                    command = command.replace("Z:\\tmp\\", "Z:" + tmp.replace("/", "\\") + "\\")
                    command = command.replace(
                        " --update ", " --update --mirror-pair %s %sfiles/ " % (base, base))
                    r = subprocess.run(["bash", "-euc", command], cwd=work, env=env,
                                       stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                       timeout=300)
                    self.assertEqual(r.returncode, UP_TO_DATE if "--update" in command else 0,
                                     "%s\n%s%s" % (command, r.stdout, r.stderr))
            finally:
                subprocess.run([os.path.join(ROOT, "scripts", "mirror"), "stop", state],
                               capture_output=True)
            with open(os.path.join(tmp, "korvanth-trial", "data", "a.txt"), "rb") as f:
                self.assertEqual(f.read(), b"the release\n")
            self.assertTrue(os.path.exists(os.path.join(
                tmp, "home", ".local", "share", "korvanth", "mirror-ca", "ca.der")))


if __name__ == "__main__":
    unittest.main()
