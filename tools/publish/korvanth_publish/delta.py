"""Delta objects: a new file as instructions against an old one.

Debian's bsdiff finds the instructions (its suffix sort suits compiled code,
where a fix moves code and shifts every relative address by a little); this
module re-packs them into the launcher's format, whose one deflate stream
the launcher reads with its own gzip decoder, record by record, writing the
new file front to back. The format is described in rebuild/rebuild.h:

    "KVDL", version 1, 3 zero bytes, old size, new size (64-bit LE),
    old SHA-256, new SHA-256, the gzip member's length (64-bit LE),
    then one gzip member of records: LEB128 add, LEB128 copy, LEB128 of the
    zigzag seek, `add` bytes added to the old bytes, `copy` new bytes.

`apply` is the same format read in Python, for the tool's own checks.
"""

import bz2
import gzip
import hashlib
import os
import shutil
import struct
import subprocess
import tempfile
import zlib

from .common import Failure

MAGIC = b"KVDL"
VERSION = 1
HEADER = struct.Struct("<4sB3xQQ32s32sQ")
assert HEADER.size == 96
BSDIFF_MAGIC = b"BSDIFF40"


def leb128(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def zigzag(value):
    return value * 2 if value >= 0 else -value * 2 + 1


def offtin(buf, at):
    """bsdiff's 64-bit number: magnitude little-endian, sign in the top bit."""
    value = int.from_bytes(buf[at:at + 8], "little")
    if value & (1 << 63):
        return -(value & ((1 << 63) - 1))
    return value


def bsdiff_triples(old_path, new_path):
    """bsdiff's control triples with its diff and extra bytes."""
    if not shutil.which("bsdiff"):
        raise Failure("delta: bsdiff is not installed (Debian's package bsdiff)")
    with tempfile.TemporaryDirectory(prefix="korvanth-delta-") as tmp:
        patch_path = os.path.join(tmp, "patch")
        run = subprocess.run(["bsdiff", old_path, new_path, patch_path],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if run.returncode != 0:
            raise Failure("delta: bsdiff failed on %s: %s"
                          % (new_path, run.stderr.decode(errors="replace").strip()))
        with open(patch_path, "rb") as f:
            patch = f.read()
    if len(patch) < 32 or patch[:8] != BSDIFF_MAGIC:
        raise Failure("delta: bsdiff wrote no patch of its format for %s" % new_path)
    ctrl_len, diff_len = offtin(patch, 8), offtin(patch, 16)
    body = 32
    ctrl = bz2.decompress(patch[body:body + ctrl_len])
    diff = bz2.decompress(patch[body + ctrl_len:body + ctrl_len + diff_len])
    extra = bz2.decompress(patch[body + ctrl_len + diff_len:])
    triples = [(offtin(ctrl, i), offtin(ctrl, i + 8), offtin(ctrl, i + 16))
               for i in range(0, len(ctrl), 24)]
    return triples, diff, extra


def operations(triples, diff, extra, old_size):
    """bsdiff's instructions as runs added to old bytes at a place, and new
    bytes. bsdiff lets an added run reach past either end of the old file
    (bspatch adds nothing there); the launcher's format keeps every run
    inside it, so such bytes travel as new bytes instead."""
    ops = []
    old_pos = at_diff = at_extra = 0
    for add, copy, seek in triples:
        i = 0
        while i < add:
            p = old_pos + i
            if 0 <= p < old_size:
                n = min(add - i, old_size - p)
                ops.append((p, diff[at_diff + i:at_diff + i + n]))
            else:
                n = min(add - i, -p) if p < 0 else add - i
                ops.append((None, diff[at_diff + i:at_diff + i + n]))
            i += n
        at_diff += add
        if copy:
            ops.append((None, extra[at_extra:at_extra + copy]))
            at_extra += copy
        old_pos += add + seek
    return ops


def records(ops):
    """The instruction stream of `operations`: each added run opens a record
    (the record before it moves the old position there), new bytes join the
    record before them."""
    recs = []  # [where the added run starts, its bytes, the new bytes after it]
    for place, data in ops:
        if place is not None:
            recs.append([place, data, bytearray()])
        elif recs:
            recs[-1][2] += data
        else:
            recs.append([0, b"", bytearray(data)])
    out = bytearray()
    pos = 0
    if recs and recs[0][0] != 0:
        out += leb128(0) + leb128(0) + leb128(zigzag(recs[0][0]))
        pos = recs[0][0]
    for i, (place, added, new) in enumerate(recs):
        after = place + len(added)
        target = recs[i + 1][0] if i + 1 < len(recs) else after
        out += leb128(len(added)) + leb128(len(new)) + leb128(zigzag(target - after))
        out += added + new
        pos = target
    return bytes(out)


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.digest()


def make(old_path, new_path, level=9):
    """The delta object's bytes that make `new_path` from `old_path`."""
    triples, diff, extra = bsdiff_triples(old_path, new_path)
    ops = operations(triples, diff, extra, os.path.getsize(old_path))
    stream = gzip.compress(records(ops), compresslevel=level, mtime=0)
    header = HEADER.pack(MAGIC, VERSION, os.path.getsize(old_path), os.path.getsize(new_path),
                         file_digest(old_path), file_digest(new_path), len(stream))
    return header + stream


def read_leb128(data, at):
    value = shift = 0
    while True:
        if at >= len(data) or shift > 63:
            raise ValueError("record cut short")
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, at


def apply(old, delta):
    """The new file's bytes, or ValueError naming what is wrong."""
    if len(delta) < HEADER.size:
        raise ValueError("shorter than its header")
    magic, version, old_size, new_size, old_digest, new_digest, stream_len = \
        HEADER.unpack_from(delta)
    if magic != MAGIC or version != VERSION or stream_len != len(delta) - HEADER.size:
        raise ValueError("not a delta of this format")
    if len(old) != old_size or hashlib.sha256(old).digest() != old_digest:
        raise ValueError("made for another old file")
    try:
        data = gzip.decompress(delta[HEADER.size:])
    except (OSError, EOFError, zlib.error) as e:
        raise ValueError("stream: %s" % e)
    new = bytearray()
    at = pos = 0
    while len(new) < new_size:
        add, at = read_leb128(data, at)
        copy, at = read_leb128(data, at)
        seek, at = read_leb128(data, at)
        seek = -(seek >> 1) if seek & 1 else seek >> 1
        if add + copy > new_size - len(new) or pos + add > old_size:
            raise ValueError("record past a file's end")
        if at + add + copy > len(data):
            raise ValueError("record cut short")
        new += bytes((o + d) & 0xFF for o, d in zip(old[pos:pos + add], data[at:at + add]))
        at += add
        new += data[at:at + copy]
        at += copy
        pos += add + seek
        if not 0 <= pos <= old_size:
            raise ValueError("seek outside the old file")
    if at != len(data):
        raise ValueError("bytes after the last record")
    if hashlib.sha256(new).digest() != new_digest:
        raise ValueError("makes another new file")
    return bytes(new)
