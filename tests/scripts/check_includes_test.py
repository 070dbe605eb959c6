#!/usr/bin/python3
"""scripts/check-includes over scratch trees: a clean tree passes, an empty
one fails, and each planted violation fails with its own message and no
other."""

import os
import subprocess
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                     "scripts", "check-includes")

# A small tree that keeps every rule, including the allowed corners: an
# internal header used from a subfolder of its own folder and through "../",
# the generated config header, an include that the including file's own
# folder resolves first, and code outside the launcher (tests, tools, the
# demo's game, a build folder) that may include anything.
CLEAN = {
    "base/base.h": "// The bottom.\n#pragma once\n",
    "base/utf.h": "// Code points. Internal to base/.\n#pragma once\n",
    "base/format.cpp": '#include "base/base.h"\n#include "base/utf.h"\n#include <stdio.h>\n',
    "base/sub/cut.cpp": '#include "../utf.h"\n  #  include "base/utf.h"\n',
    "content/content.h": '#pragma once\n#include "base/base.h"\n',
    "manifest/manifest.h": '#pragma once\n#include "content/content.h"\n',
    "net/net.h": '#pragma once\n#include "./../content/content.h"\n',
    "fetch/fetch.h": '#pragma once\n#include "manifest/manifest.h"\n',
    "rebuild/rebuild.h": '#pragma once\n#include "fetch/fetch.h"\n',
    "release/release.h": '#pragma once\n#include "fetch/fetch.h"\n',
    "update/update.h": '#pragma once\n#include "rebuild/rebuild.h"\n#include "release/release.h"\n',
    "ui/ui.h": '#pragma once\n#include "korvanth_config.h"\n',
    "ui/app/app.h": "#pragma once\n",
    "ui/news.cpp": '#include "ui/ui.h"\n#include "app/app.h"\n#include "net/net.h"\n',
    "app/app.h": '#pragma once\n#include "ui/ui.h"\n',
    "tests/base/utf_test.cpp": '#include "base/utf.h"\n#include "app/app.h"\n',
    "tools/cli/main.cpp": '#include "base/utf.h"\n',
    "demo/game/dv.cpp": '#include "base/utf.h"\n',
    "build/gen/korvanth_config.h": '#include "app/app.h"\n',
    "elsewhere/CMakeCache.txt": "",
    "elsewhere/x.cpp": '#include "app/app.h"\n',
    "docs/notes.md": '#include "app/app.h"\n',
}


def planted(changes):
    """The clean tree with `changes` written over it (None deletes a file)."""
    files = dict(CLEAN)
    for rel, text in changes.items():
        if text is None:
            del files[rel]
        else:
            files[rel] = text
    return files


NOTHING_READ = "no source file read: nothing was checked"

# (what, the tree, the one message it must fail with, or None: it passes)
CASES = [
    ("clean tree", CLEAN, None),
    # A check that reads nothing cannot fail: it must say so.
    ("empty tree", {}, NOTHING_READ),
    ("only code outside the launcher", {"docs/a.md": "\n", "tests/a_test.cpp": "\n"},
     NOTHING_READ),
    ("upward", planted({"base/up.cpp": '#include "app/app.h"\n'}),
     "base/up.cpp:1: base/ must not include app/app.h: app/ is not below base/"),
    ("sideways", planted({"manifest/n.cpp": '#include "net/net.h"\n'}),
     "manifest/n.cpp:1: manifest/ must not include net/net.h: net/ is not below manifest/"),
    # The update engine's rooms: one reaching up into the pass it serves,
    # two of one level reaching sideways.
    ("room reaches up", planted({"rebuild/chunked.cpp": '#include "update/update.h"\n'}),
     "rebuild/chunked.cpp:1: rebuild/ must not include update/update.h: update/ is not below rebuild/"),
    ("rooms side by side", planted({"release/search.cpp": '#include "rebuild/rebuild.h"\n'}),
     "release/search.cpp:1: release/ must not include rebuild/rebuild.h: rebuild/ is not below release/"),
    ("indented and spaced", planted({"content/x.cpp": '\t #  include  "ui/ui.h"\n'}),
     "content/x.cpp:1: content/ must not include ui/ui.h: ui/ is not below content/"),
    ("relative path", planted({"content/x.cpp": '#include <string.h>\n#include "../app/app.h"\n'}),
     "content/x.cpp:2: content/ must not include app/app.h: app/ is not below content/"),
    ("in a subfolder", planted({"net/deep/er/x.cpp": '#include "ui/ui.h"\n'}),
     "net/deep/er/x.cpp:1: net/ must not include ui/ui.h: ui/ is not below net/"),
    ("internal header", planted({"content/x.cpp": '#include "base/utf.h"\n'}),
     "content/x.cpp:1: content/ must not include base/utf.h: internal to base/"),
    ("internal, relative path", planted({"content/x.cpp": '#include "../base/utf.h"\n'}),
     "content/x.cpp:1: content/ must not include base/utf.h: internal to base/"),
    ("marker of another folder", planted({"content/gz.h": "// Internal to base/.\n"}),
     "content/gz.h:1: marked internal to base/, but it lives in content/"),
    ("misspelled marker", planted({"content/gz.h": "// Tables.\n// internal to content/\n"}),
     'content/gz.h:2: misspelled marker: write "Internal to content/." exactly'),
    ("unknown folder", planted({"extra/more/x.h": "#pragma once\n"}),
     "extra/: unknown source folder: add it to LEVELS or NOT_LAUNCHER in scripts/check-includes"),
    ("file at the top", planted({"stray.cpp": "int x;\n"}),
     "stray.cpp: source file outside the launcher's folders"),
    ("missing header", planted({"ui/x.cpp": '#include "ui/gone.h"\n'}),
     'ui/x.cpp:1: "ui/gone.h" is no file of the tree'),
    ("outside the tree", planted({"ui/x.cpp": '#include "../../etc/x.h"\n'}),
     'ui/x.cpp:1: "../../etc/x.h" is no file of the tree'),
    ("test code", planted({"ui/x.cpp": '#include "tests/base/utf_test.cpp"\n'}),
     "ui/x.cpp:1: ui/ must not include tests/base/utf_test.cpp: not part of the launcher"),
    # The clean tree's ui/news.cpp reached ui/app/app.h, not app/app.h.
    ("own folder first", planted({"ui/app/app.h": None}),
     "ui/news.cpp:2: ui/ must not include app/app.h: app/ is not below ui/"),
]


def run_check(files):
    """Writes `files` into a scratch tree and runs the check over it:
    (exit code, stderr lines)."""
    with tempfile.TemporaryDirectory() as scratch:
        # One level down, so that nothing but `files` is in the tree.
        root = os.path.join(scratch, "tree")
        os.mkdir(root)
        for rel, text in files.items():
            path = os.path.join(root, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        done = subprocess.run([CHECK, root], capture_output=True, text=True, timeout=60)
        return done.returncode, done.stderr.splitlines()


class CheckIncludes(unittest.TestCase):
    def test_cases(self):
        for what, files, message in CASES:
            with self.subTest(what):
                code, err = run_check(files)
                if message is None:
                    self.assertEqual((code, err), (0, []))
                    continue
                self.assertEqual(code, 1)
                self.assertEqual(len(err), 2, err)
                self.assertTrue(err[0].endswith(message), err)
                self.assertTrue(err[1].startswith("check-includes: 1 violation(s)"), err)


if __name__ == "__main__":
    unittest.main()
