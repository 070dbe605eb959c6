#!/usr/bin/python3
"""The figures of scripts/bench-patch: for a player on the old release, the
bytes over the wire of each way to get the new one.

  patch_figures.py DATA TOOL [SIZES...]

DATA holds old/, new/, tree-old/ and tree-new/ (the two releases as
korvanth-publish built them), peers.json (the xdelta3 and zstd patches'
sizes per changed file, from patch_pairs.py peers) and diff.txt
(`korvanth-publish diff` of the two trees). TOOL is the native
korvanth-chunk. Each SIZES (MIN/AVG/MAX) adds a row for chunks of other
sizes, cut with the tool's --sizes and counted the same way, to show what
the format's sizes were chosen against.
"""

import hashlib
import json
import os
import re
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from patch_pairs import pending  # noqa: E402

MIB = 1 << 20
RECORD_BYTES, HEADER_BYTES = 40, 20


def wire(data):
    """An object's bytes over the wire: its .gz where gzip makes it smaller."""
    packer = zlib.compressobj(9, zlib.DEFLATED, 31, 9)
    return min(len(data), len(packer.compress(data) + packer.flush()))


def fixed_cuts(path, size=MIB):
    out, offset = [], 0
    with open(path, "rb") as f:
        while True:
            block = f.read(size)
            if not block:
                return out
            out.append((offset, len(block), hashlib.sha256(block).hexdigest()))
            offset += len(block)


def tool_cuts(tool, sizes):
    def cuts(path):
        run = subprocess.run([tool, "--sizes", sizes, path], capture_output=True, text=True,
                             check=True)
        return [(int(o), int(n), d) for o, n, d in (line.split() for line in run.stdout.splitlines())]
    return cuts


def chunked_bytes(data, files, cuts, index):
    """Bytes over the wire when each pending file is fetched as the chunks its
    sources lack (each once, at its .gz size where smaller), plus its index
    when `index`; the whole object where that is cheaper or nothing is local.
    Also the chunks and bytes of the new files, for the per-GiB costs."""
    total = count = size = 0
    for rel, sources in files:
        path = os.path.join(data, "new", rel)
        with open(path, "rb") as f:
            whole = wire(f.read())
        new_cuts = cuts(path)
        count += len(new_cuts)
        size += os.path.getsize(path)
        if not sources:
            total += whole
            continue
        have = set()
        for s in sources:
            have |= {d for _, _, d in cuts(os.path.join(data, "old", s))}
        missing = {}
        with open(path, "rb") as f:
            for offset, length, digest in new_cuts:
                if digest not in have and digest not in missing:
                    f.seek(offset)
                    missing[digest] = wire(f.read(length))
        overhead = HEADER_BYTES + RECORD_BYTES * len(new_cuts) if index else 0
        total += overhead + min(sum(missing.values()), whole)
    return total, count, size


def figure(n):
    return "{:,}".format(n)


def main():
    data, tool, sizes = sys.argv[1], sys.argv[2], sys.argv[3:]
    files = [(e["p"], sources) for e, sources in
             pending(os.path.join(data, "tree-old"), os.path.join(data, "tree-new"))]
    diff = open(os.path.join(data, "diff.txt")).read()
    whole = int(re.search(r": ([\d,]+) bytes over the wire", diff).group(1).replace(",", ""))
    ours = int(re.search(r"with chunks: ([\d,]+) bytes", diff).group(1).replace(",", ""))
    stored = re.search(r"chunks on the mirror: .*", diff).group(0)
    fixed, _, _ = chunked_bytes(data, files, fixed_cuts, False)
    with open(os.path.join(data, "peers.json")) as f:
        peers = json.load(f)["pair"]
    xdelta = sum(p["xdelta"] for p in peers)
    zstd = sum(p["zstd"] for p in peers)

    # The per-GiB costs of the format's sizes, from the publisher's indexes.
    doc = json.load(open(os.path.join(data, "tree-new", "manifest.json")))
    chunked = [e for e in doc["files"] if e.get("chunks")]
    count = sum((os.path.getsize(os.path.join(data, "tree-new", "objects", e["chunks"])) -
                 HEADER_BYTES) // RECORD_BYTES for e in chunked)
    size = sum(e["s"] for e in chunked)

    print("bench-patch: %d files to fetch for a player on the old release:" % len(files))
    rows = [("whole objects (today)", whole), ("fixed 1 MiB chunks", fixed),
            ("our chunks (4/16/64 KiB)", ours), ("xdelta3 -9 -S none + gzip -9", xdelta),
            ("zstd -19 --long=27 --patch-from", zstd)]
    for label, n in rows:
        print("  %-34s %14s bytes  %6.2f x zstd  %7.4f x whole" % (label, figure(n), n / zstd,
                                                                    n / whole))
    print("  ours: %.2f x zstd's patch (target <= 3), %.4f x the whole objects (target <= 0.1): %s"
          % (ours / zstd, ours / whole, "met" if ours <= 3 * zstd and ours <= 0.1 * whole
             else "NOT MET"))
    print("  cost of 4/16/64 KiB: %.0f bytes a chunk on average, %s chunk objects and a %.2f MB "
          "index per GiB" % (size / count, figure(round(count * (1 << 30) / size)),
                             count * RECORD_BYTES * (1 << 30) / size / 1e6))
    print("  %s" % stored.strip())
    for s in sizes:
        n, c, b = chunked_bytes(data, files, tool_cuts(tool, s), True)
        print("  other sizes %-22s %14s bytes  %6.2f x zstd  %7.4f x whole  (%s objects, "
              "%.2f MB index per GiB)" % (s, figure(n), n / zstd, n / whole,
                                          figure(round(c * (1 << 30) / b)),
                                          c * RECORD_BYTES * (1 << 30) / b / 1e6))


if __name__ == "__main__":
    main()
