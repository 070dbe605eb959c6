#!/usr/bin/env python3
"""Writes gzip members made by other programs, with their originals, for the
decoder tests: GNU gzip (-1, -9, and with the file name stored), pigz,
libdeflate-gzip (-1, -12), zopfli, and zlib with the fixed, Huffman-only, RLE
and stored strategies, over text, binaries and random bytes.

Usage: make_gzip_corpus.py OUT_DIR
OUT_DIR/list.txt gets one line per member: "<member> <original>" (file names
relative to OUT_DIR).
"""
import glob
import os
import random
import shutil
import subprocess
import sys
import zlib


def cut_or_repeat(data, size):
    while len(data) < size:
        data += data
    return data[:size]


def originals():
    licenses = b"".join(open(p, "rb").read()
                        for p in sorted(glob.glob("/usr/share/common-licenses/*"))
                        if os.path.isfile(p))
    tools = b"".join(open(shutil.which(t), "rb").read()
                     for t in ("gzip", "pigz", "zopfli", "libdeflate-gzip"))
    rng = random.Random(20261207)
    block = rng.randbytes(20000)
    return {
        "text.txt": cut_or_repeat(licenses, 300000),
        "binary.bin": cut_or_repeat(tools, 300000),
        "random.bin": rng.randbytes(150000),
        # Repeats 20000 bytes apart: long distances across output chunks.
        "repeat.bin": cut_or_repeat(block, 200000),
        # One output chunk exactly, and one byte more.
        "size65536.txt": cut_or_repeat(licenses, 65536),
        "size65537.txt": cut_or_repeat(licenses, 65537),
        "empty.bin": b"",
        # Small enough to cut at every byte.
        "small.txt": licenses[:3000],
    }


def run(argv, stdin_path):
    with open(stdin_path, "rb") as f:
        return subprocess.run(argv, stdin=f, stdout=subprocess.PIPE, check=True).stdout


def zlib_member(data, level, strategy):
    c = zlib.compressobj(level, zlib.DEFLATED, 31, 9, strategy)
    return c.compress(data) + c.flush()


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    lines = []
    for name, data in originals().items():
        src = os.path.join(out_dir, name)
        with open(src, "wb") as f:
            f.write(data)
        members = {
            "gzip1": run(["gzip", "-1", "-n", "-c"], src),
            "gzip9": run(["gzip", "-9", "-n", "-c"], src),
            # Named after the file: the header carries FNAME.
            "gzip9name": subprocess.run(["gzip", "-9", "-c", src], stdout=subprocess.PIPE,
                                        check=True).stdout,
            "pigz": run(["pigz", "-c"], src),
            "libdeflate1": run(["libdeflate-gzip", "-1", "-c"], src),
            "libdeflate12": run(["libdeflate-gzip", "-12", "-c"], src),
            "zopfli": subprocess.run(["zopfli", "--i5", "-c", src], stdout=subprocess.PIPE,
                                     check=True).stdout,
            "zfixed": zlib_member(data, 6, zlib.Z_FIXED),
            "zhuffman": zlib_member(data, 6, zlib.Z_HUFFMAN_ONLY),
            "zrle": zlib_member(data, 6, zlib.Z_RLE),
            "zstored": zlib_member(data, 0, zlib.Z_DEFAULT_STRATEGY),
        }
        for tool, member in members.items():
            gz = "%s.%s.gz" % (name, tool)
            with open(os.path.join(out_dir, gz), "wb") as f:
                f.write(member)
            lines.append("%s %s\n" % (gz, name))
    with open(os.path.join(out_dir, "list.txt"), "w") as f:
        f.writelines(lines)


if __name__ == "__main__":
    main()
