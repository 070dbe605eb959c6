#!/usr/bin/python3
"""Makes the synthetic client folder of scripts/bench-update.

  make_client.py OUT_DIR TOTAL_MIB [--huge-mib N]

Files of three kinds, like a game client: text-like (configuration, scripts,
localisation; compresses well), binary (slices of the machine's own programs
and libraries; compresses somewhat) and incompressible (random bytes: packed
archives, media). Most files are small and a few are large, so the release has
both the per-file costs and the per-byte costs of an update. The same seed
gives the same folder on every machine of this kind. `--huge-mib` adds one
incompressible file of that size (the memory measurement's big object).

Every file has its own content (no two digests alike): a duplicate would be
copied locally by the launcher, not downloaded, and skew the comparison.
"""

import hashlib
import os
import random
import sys

MIB = 1 << 20
CORPUS_BYTES = 48 * MIB
SMALL_FILES = 2100  # and a few large ones on top
TEXT_SUFFIXES = (".h", ".c", ".py", ".pm", ".pl", ".txt", ".html", ".md", ".rst", ".xml",
                 ".css", ".js")


def corpus(roots, accept):
    """Concatenated files under roots, sorted, cut at CORPUS_BYTES."""
    names = []
    for root in roots:
        for folder, _, files in os.walk(root):
            for f in files:
                path = os.path.join(folder, f)
                if accept(path) and os.path.isfile(path) and not os.path.islink(path):
                    try:
                        if os.path.getsize(path) > 1024:
                            names.append(path)
                    except OSError:
                        pass
    names.sort()
    out = bytearray()
    while len(out) < CORPUS_BYTES:
        for path in names:
            try:
                with open(path, "rb") as f:
                    out += f.read(CORPUS_BYTES - len(out))
            except OSError:
                continue
            if len(out) >= CORPUS_BYTES:
                break
    return bytes(out)


def is_binary_name(path):
    base = os.path.basename(path)
    return (".so" in base or base.endswith((".dll", ".exe")) or
            os.path.basename(os.path.dirname(path)) == "bin")


def slice_of(data, offset, size):
    """`size` bytes of `data` from `offset`, going round at its end."""
    offset %= len(data)
    out = bytearray()
    while len(out) < size:
        out += data[offset:offset + size - len(out)]
        offset = 0
    return bytes(out)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    out_dir, total = sys.argv[1], int(sys.argv[2]) * MIB
    huge = 0
    if len(sys.argv) == 5 and sys.argv[3] == "--huge-mib":
        huge = int(sys.argv[4]) * MIB
    rng = random.Random(20261207)
    text = corpus(["/usr/include", "/usr/lib/python3", "/usr/share"],
                  lambda p: p.endswith(TEXT_SUFFIXES))
    binary = corpus(["/usr/lib/x86_64-linux-gnu", "/usr/lib/i386-linux-gnu", "/usr/lib/wine",
                     "/usr/bin"], is_binary_name)

    plan = []  # (relative path, kind, size)
    for i in range(SMALL_FILES):
        roll = rng.random()
        if roll < 0.6:
            kind, size = "text", int(2 ** rng.uniform(9, 19))       # 512 B .. 512 KiB
        elif roll < 0.9:
            kind, size = "binary", int(2 ** rng.uniform(12, 22))    # 4 KiB .. 4 MiB
        else:
            kind, size = "random", int(2 ** rng.uniform(12, 23))    # 4 KiB .. 8 MiB
        folder = "%s/%02d" % (kind, i % 23)
        suffix = {"text": ".txt", "binary": ".dll", "random": ".pak"}[kind]
        plan.append(("%s/f%04d%s" % (folder, i, suffix), kind, size))
    used = sum(size for _, _, size in plan)
    kinds = ("binary", "random", "text")
    n = 0
    while used < total:
        size = min(64 * MIB, total - used + MIB)
        kind = kinds[n % 3]
        plan.append(("large/%s%02d.bin" % (kind, n), kind, size))
        used += size
        n += 1
    if huge:
        plan.append(("large/huge.bin", "random", huge))

    seen = set()
    for rel, kind, size in plan:
        path = os.path.join(out_dir, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if os.path.isfile(path) and os.path.getsize(path) == size:
            with open(path, "rb") as f:
                seen.add(hashlib.sha256(f.read()).digest())
            continue
        if kind == "random":
            data = os.urandom(size)
        else:
            source = text if kind == "text" else binary
            data = slice_of(source, rng.randrange(len(source)), size)
            while hashlib.sha256(data).digest() in seen:
                data = slice_of(source, rng.randrange(len(source)), size)
        seen.add(hashlib.sha256(data).digest())
        with open(path + ".tmp", "wb") as f:
            f.write(data)
        os.replace(path + ".tmp", path)
    print("make_client: %d files, %d bytes in %s" % (len(plan), used + huge, out_dir))


if __name__ == "__main__":
    main()
