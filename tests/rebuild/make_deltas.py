#!/usr/bin/python3
"""Deltas the publisher's tool makes, for the launcher's applier to take.

    make_deltas.py OUT_DIR OLD_PROGRAM NEW_PROGRAM

Writes NAME.old, NAME.new and NAME.delta for four pairs, and list.txt
naming them: two builds of the launcher (compiled code that differs as a fix
makes it differ), a synthetic archive with insertions, deletions and
edits, once whole and once in the pieces a build diffs large files in (each
piece its own run of records and its own stretch of the deflate stream),
and a file with long runs of zeros, which bsdiff is not given (the runs come
back between its records as new bytes).
Each delta is also applied by the tool's own reader before it is written.
"""

import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tools", "publish"))
from korvanth_publish import delta  # noqa: E402


def archive_pair():
    rng = random.Random(7)
    old = bytearray(rng.randbytes(600000))
    new = bytearray(old)
    for _ in range(20):
        at = rng.randrange(len(new))
        kind = rng.randrange(3)
        if kind == 0:
            new[at:at] = rng.randbytes(rng.randrange(1, 3000))
        elif kind == 1:
            del new[at:at + rng.randrange(1, 3000)]
        else:
            new[at:at + 200] = bytes((b + 1) & 0xFF for b in new[at:at + 200])
    return bytes(old), bytes(new)


def runs_pair():
    rng = random.Random(8)
    head, tail = rng.randbytes(100000), rng.randbytes(100000)
    old = head + bytes(300000) + tail
    return old, head[:5000] + b"fix" + head[5000:] + bytes(310000) + tail[:-7]


def main():
    out, old_program, new_program = sys.argv[1:4]
    os.makedirs(out, exist_ok=True)
    with open(old_program, "rb") as f:
        old_build = f.read()
    with open(new_program, "rb") as f:
        new_build = f.read()
    archive = archive_pair()
    pairs = {"program": (old_build, new_build, None), "archive": archive + (None,),
             "archive-pieces": archive + (65536,), "runs": runs_pair() + (None,)}
    for name, (old, new, segment) in pairs.items():
        base = os.path.join(out, name)
        for suffix, data in ((".old", old), (".new", new)):
            with open(base + suffix, "wb") as f:
                f.write(data)
        made = delta.make(base + ".old", base + ".new", segment)
        assert delta.apply(old, made) == new, name
        with open(base + ".delta", "wb") as f:
            f.write(made)
        print("%s: %d bytes, delta %d" % (name, len(new), len(made)))
    with open(os.path.join(out, "list.txt"), "w") as f:
        f.write("".join(name + "\n" for name in pairs))


if __name__ == "__main__":
    main()
