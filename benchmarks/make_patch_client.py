#!/usr/bin/python3
"""Makes the two releases of scripts/bench-patch: a client of a few large
archive-like files and its next version with the changes a game patch
brings.

  make_patch_client.py OUT_DIR

OUT_DIR/old/ and OUT_DIR/new/ get the two client folders, OUT_DIR/old.rules
and OUT_DIR/new.rules their release rules (the new one with the remove line
of the moved file). An archive is a
run of assets of three kinds, as in a game's packed data: text-like
(scripts, localisation; slices of the machine's text files), binary
(slices of its programs and libraries) and incompressible (random bytes:
textures, sound, assets that are compressed one by one). The new version
has, in each changed archive, scattered overwrites, insertions and
deletions of 1 to 64 KiB whose new bytes are assets of the same kinds drawn
from parts of the corpora the old version does not use; the largest
archive also gets new assets appended; one archive moves to another folder
unchanged. The same seed gives the same folders on every machine of this
kind.
"""

import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_client import TEXT_SUFFIXES, corpus, is_binary_name, slice_of  # noqa: E402

MIB = 1 << 20
KIB = 1 << 10
# (path, MiB, share of text, binary and random assets, edits)
ARCHIVES = [
    ("data/world.pak", 96, (0.4, 0.3, 0.3), 16),
    ("data/textures.pak", 64, (0.05, 0.15, 0.8), 12),
    ("data/scripts.pak", 32, (0.8, 0.2, 0.0), 12),
    ("data/music/theme.pak", 24, (0.0, 0.0, 1.0), 0),
]
MOVED = ("data/music/theme.pak", "audio/theme.pak")
APPENDED = ("data/world.pak", 2 * MIB)
RULES = {"old": "** base\n", "new": "** base\nremove %s\n" % MOVED[0]}


class Assets:
    """Asset bytes of the three kinds. The old release draws text and
    binary slices from the first three quarters of each corpus, the new
    one's changes from the last quarter, so that a change is new content
    and not a copy of something the old files already hold."""

    def __init__(self, rng, text, binary):
        self.rng, self.text, self.binary = rng, text, binary

    def make(self, kind, size, fresh):
        if kind == "random":
            return self.rng.randbytes(size)
        source = self.text if kind == "text" else self.binary
        part = len(source) * 3 // 4
        start = part + self.rng.randrange(len(source) - part) if fresh else self.rng.randrange(part)
        return slice_of(source, start, size)

    def kind(self, shares):
        return self.rng.choices(("text", "binary", "random"), weights=shares)[0]

    def archive(self, size, shares, fresh=False):
        out = bytearray()
        while len(out) < size:
            n = min(int(2 ** self.rng.uniform(12, 21)), size - len(out))  # 4 KiB .. 2 MiB
            out += self.make(self.kind(shares), n, fresh)
        return out


def edit(assets, data, shares, count):
    """`count` edits at scattered places, each an overwrite, an insertion or
    a deletion of 1 to 64 KiB; applied from the end so that the places
    chosen in the old file stay where they were."""
    rng = assets.rng
    places = sorted(rng.randrange(len(data)) for _ in range(count))
    for at in reversed(places):
        size = int(2 ** rng.uniform(10, 16))
        what = rng.choice(("overwrite", "insert", "delete"))
        new = bytes(assets.make(assets.kind(shares), size, True))
        if what == "overwrite":
            data[at:at + size] = new
        elif what == "insert":
            data[at:at] = new
        else:
            del data[at:at + size]
    return data


def write(folder, rel, data):
    path = os.path.join(folder, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    rng = random.Random(20270321)
    text = corpus(["/usr/include", "/usr/lib/python3", "/usr/share"],
                  lambda p: p.endswith(TEXT_SUFFIXES))
    binary = corpus(["/usr/lib/x86_64-linux-gnu", "/usr/lib/i386-linux-gnu", "/usr/lib/wine",
                     "/usr/bin"], is_binary_name)
    assets = Assets(rng, text, binary)
    total = 0
    for rel, mib, shares, edits in ARCHIVES:
        old = assets.archive(mib * MIB, shares)
        write(os.path.join(out, "old"), rel, old)
        new = edit(assets, bytearray(old), shares, edits)
        if rel == APPENDED[0]:
            new += assets.archive(APPENDED[1], shares, fresh=True)
        write(os.path.join(out, "new"), MOVED[1] if rel == MOVED[0] else rel, new)
        total += len(old)
    for release, rules in RULES.items():
        with open(os.path.join(out, release + ".rules"), "w") as f:
            f.write(rules)
    print("make_patch_client: %d archives, %d bytes in the old release" % (len(ARCHIVES), total))


if __name__ == "__main__":
    main()
