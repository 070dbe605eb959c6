#!/usr/bin/python3
"""The native korvanth-chunk (the publisher's) and the Windows one (the
launcher's library under Wine) cut every test input at the same places with
the same digests, and both agree with Python's own SHA-256 of each chunk.

  chunk_identity.py NATIVE_TOOL WINE_RUN WINDOWS_TOOL OUT_DIR

Inputs: noise, text-like bytes, binary programs, zeros, a file shorter than
the minimum chunk, exact multiples of the maximum (zeros never cut before
it), a file of one byte, an empty file, and text with noise between. The
native tool also runs with its portable SHA-256, as on processors without
the SHA extensions.
"""

import glob
import hashlib
import os
import random
import subprocess
import sys

MIN, MAX = 4096, 65536


def inputs(rng):
    words = b"sword shield quest dragon tavern gold silver potion = 12;\n".split(b" ")
    text = b" ".join(rng.choice(words) for _ in range(400000))
    binary = b""
    for path in sorted(glob.glob("/usr/bin/*"))[:200]:
        if os.path.isfile(path) and not os.path.islink(path):
            with open(path, "rb") as f:
                binary += f.read(200000)
        if len(binary) > 3 << 20:
            break
    return {
        "noise": rng.randbytes(5 << 20),
        "text": text,
        "binary": binary,
        "zeros": bytes(3 << 20),
        "shorter-than-min": rng.randbytes(MIN - 1),
        "exact-max-multiple": bytes(8 * MAX),
        "noise-max-multiple": rng.randbytes(16 * MAX),
        "one-byte": b"\x7f",
        "empty": b"",
        "mixed": text[:700000] + rng.randbytes(300000) + bytes(200000) + text[700000:900000],
    }


def parse(text, data, name):
    rows = [line.split() for line in text.splitlines()]
    at = 0
    for offset, length, digest in rows:
        offset, length = int(offset), int(length)
        assert offset == at, "%s: chunk at %d, expected %d" % (name, offset, at)
        assert hashlib.sha256(data[offset:offset + length]).hexdigest() == digest, \
            "%s: digest of the chunk at %d" % (name, offset)
        at += length
    assert at == len(data), "%s: chunks cover %d of %d bytes" % (name, at, len(data))
    return rows


def main():
    native, wine_run, windows_tool, out = sys.argv[1:5]
    os.makedirs(out, exist_ok=True)
    failures = 0
    for name, data in inputs(random.Random(31)).items():
        path = os.path.join(out, name)
        with open(path, "wb") as f:
            f.write(data)
        runs = {}
        runs["native"] = subprocess.run([native, path], capture_output=True, check=True).stdout
        runs["portable"] = subprocess.run([native, "--portable-sha256", path],
                                          capture_output=True, check=True).stdout
        # Wine's output through a file: a pipe slows it down.
        with open(path + ".wine", "wb") as f:
            subprocess.run([wine_run, windows_tool, "Z:" + path.replace("/", "\\")], stdout=f,
                           check=True)
        with open(path + ".wine", "rb") as f:
            runs["wine"] = f.read().replace(b"\r\n", b"\n")
        try:
            rows = parse(runs["native"].decode(), data, name)
            for other in ("portable", "wine"):
                assert runs[other] == runs["native"], "%s: %s output differs" % (name, other)
            print("%-20s %9d bytes, %5d chunks: the same under Wine" % (name, len(data), len(rows)))
        except AssertionError as e:
            print("FAIL", e)
            failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
