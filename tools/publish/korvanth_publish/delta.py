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

A large file is encoded in pieces: each piece of the new file is diffed
against the old bytes around the same place, on its own, so that the pieces
of one file run on every core, each with the memory of its piece rather than
of the whole file. Each piece is its own run of records, compressed on its
own up to a byte boundary (a sync flush), so the pieces join into one deflate
stream; every piece but the last ends by moving back to the old file's
start, where the next one begins. The gzip trailer's CRC is combined from
the pieces' own.

bsdiff's search takes time quadratic in the length of a run of one repeated
byte (zeroed tables) that the old bytes hold too. A piece with a very long
run, or one bsdiff gives up on, is diffed with its long runs cut out: the
runs go back between its records as new bytes, which deflate packs to almost
nothing.

The format is read back by delta_read (`apply`, `check_file`, offered
here too): every delta a build makes is applied before it is published.
"""

import bz2
import hashlib
import mmap
import os
import re
import resource
import shutil
import struct
import subprocess
import tempfile
import zlib
from typing import NamedTuple

from .common import Failure
from .delta_read import BLOCK, HEADER, MAGIC, VERSION, apply, check_file  # noqa: F401

assert HEADER.size == 96
BSDIFF_MAGIC = b"BSDIFF40"
# The gzip member's header: no name, no time, "maximum compression", no OS.
GZIP_HEADER = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff"
LAST_BLOCK = b"\x03\x00"  # an empty fixed-Huffman block with the final bit set
PIECE_LEVEL = 9
# Probes of a piece looked for in the old file, to place its window, and
# how far (in window widths) they are looked for.
PROBES, PROBE_BYTES, PROBE_MIN_DISTINCT, PROBE_REACH = 12, 32, 12, 16
# A piece bsdiff gives up on is tried again with the runs of one byte of
# each length of RUN_CUTS and more cut out, in turn; a piece with a run of
# RUN_SLOW bytes is not given to bsdiff whole at all (a run that long can
# take it minutes). Cutting costs some size: each run cut splits bsdiff's
# matches, so the short runs of compiled code's padding are cut last.
RUN_CUTS, RUN_SLOW = (4096, 64), 1 << 17
RUNS = re.compile(rb"(.)\1{31,}", re.S)


class TooSlow(Exception):
    """bsdiff ran past its processor time: its search takes time quadratic
    in the length of runs of one repeated byte."""


class Piece(NamedTuple):
    """One encoded piece: its compressed bytes' file, and what joining it
    needs."""
    path: str
    crc: int          # CRC-32 of its records
    length: int       # bytes of its records
    peak_kib: int     # the largest bsdiff run of this worker so far, in KiB
    cpu: float        # bsdiff's processor time on it, in seconds
    runs_cut: int = 0  # bytes in runs of one byte kept from bsdiff


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


def bsdiff_triples(old_path, new_path, cpu_seconds=None):
    """bsdiff's control triples with its diff and extra bytes; TooSlow when
    it used more than `cpu_seconds` of processor time."""
    if not shutil.which("bsdiff"):
        raise Failure("delta: bsdiff is not installed (Debian's package bsdiff)")

    def limit():
        if cpu_seconds:
            resource.setrlimit(resource.RLIMIT_CPU, (cpu_seconds, cpu_seconds + 5))

    with tempfile.TemporaryDirectory(prefix="korvanth-delta-") as tmp:
        patch_path = os.path.join(tmp, "patch")
        run = subprocess.run(["bsdiff", old_path, new_path, patch_path],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             preexec_fn=limit if cpu_seconds else None)
        if cpu_seconds and run.returncode < 0:
            raise TooSlow(new_path)
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


def records(ops, rewind=False):
    """The instruction stream of `operations`, from old position 0: each
    added run opens a record (the record before it moves the old position
    there), new bytes join the record before them. With `rewind` the last
    record moves back to position 0, where the next piece starts."""
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
        target = recs[i + 1][0] if i + 1 < len(recs) else 0 if rewind else after
        out += leb128(len(added)) + leb128(len(new)) + leb128(zigzag(target - after))
        out += added + new
        pos = target
    return bytes(out)


def runs_of_one_byte(data, least):
    """[(start, end)] of the runs of one repeated byte at least `least` (32
    or more) long. The pattern asks for a short run and the length is
    checked after: asked for a long one, the search would measure a run
    just short of it again from each of its bytes."""
    return [m.span() for m in RUNS.finditer(data) if m.end() - m.start() >= least]


def without_runs(data, runs):
    parts, at = [], 0
    for start, end in runs:
        parts.append(data[at:start])
        at = end
    parts.append(data[at:])
    return b"".join(parts)


def with_runs(ops, runs, data):
    """`operations` made for `data` without `runs`, with the runs put back
    as new bytes where they were: an operation a run falls in is split
    there, its added run going on from the same old place."""
    inserts, cut = [], 0  # (offset in the data without runs, the run's bytes)
    for start, end in runs:
        inserts.append((start - cut, data[start:end]))
        cut += end - start
    out, pos, i = [], 0, 0
    for place, part in ops:
        while i < len(inserts) and inserts[i][0] < pos + len(part):
            k = inserts[i][0] - pos
            if k:
                out.append((place, part[:k]))
                place = None if place is None else place + k
                part, pos = part[k:], pos + k
            out.append((None, inserts[i][1]))
            i += 1
        if part:
            out.append((place, part))
            pos += len(part)
    out += [(None, run) for _, run in inserts[i:]]
    return out


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.digest()


def probe_shifts(old_map, new_part, n0, lo, hi):
    """Yields where probes of the new bytes (which start at n0) sit in the
    old bytes lo..hi, as shifts (old offset - new offset). Only probes found
    exactly once count, and only varied ones: runs of padding are found
    everywhere."""
    step = max(1, len(new_part) // PROBES)
    for at in range(0, len(new_part) - PROBE_BYTES + 1, step):
        probe = new_part[at:at + PROBE_BYTES]
        if len(set(probe)) < PROBE_MIN_DISTINCT:
            continue
        found = map_find(old_map, probe, lo, hi)
        if found >= 0 and map_find(old_map, probe, found + 1, hi) < 0:
            yield found - (n0 + at)


def map_find(old_map, probe, lo, hi):
    """old_map.find(probe, lo, hi) that reads nothing past the mapping.
    Python 3.11 before 3.11.5 (Debian 12's) reads the byte after the range
    searched; at the end of a file whose size is a multiple of the page size
    that byte is not mapped and the process dies of a segmentation fault. So
    a range that reaches the end is searched short of its last byte, and a
    match ending there is compared on its own."""
    if hi < len(old_map):
        return old_map.find(probe, lo, hi)
    found = old_map.find(probe, lo, len(old_map) - 1)
    last = len(old_map) - len(probe)
    if found < 0 and last >= lo and old_map[last:] == probe:
        return last
    return found


def agreeing(shifts, spread, least):
    """(lowest, highest) of the largest group of shifts at most `spread`
    apart, when it has `least` at least: text made of few words has probes
    found once in a stretch of the old file by chance, but seldom two that
    agree."""
    shifts = sorted(shifts)
    best, first = None, 0
    for last in range(len(shifts)):
        while shifts[last] - shifts[first] > spread:
            first += 1
        if last - first + 1 >= least and (best is None or last - first > best[1] - best[0]):
            best = (first, last)
    return None if best is None else (shifts[best[0]], shifts[best[1]])


def place_window(old_map, new_part, n0, old_size, new_size, width):
    """The start of the `width` old bytes a piece is diffed against: around
    where its probes sit in the old file (content moves by what was inserted
    or cut before it), looked for near the same offset and the same fraction
    of the file first, then as far as the sizes differ (at most
    PROBE_REACH widths); where they are not found, around those two places.
    Three probes that agree end the search; two are enough at its end."""
    if width >= old_size:
        return 0
    n1 = n0 + len(new_part)
    a, b = min(n0, n0 * old_size // new_size), max(n1, -(-n1 * old_size // new_size))
    spread = max(0, width - len(new_part))
    near, far = width // 2, min(abs(old_size - new_size) + width, PROBE_REACH * width)
    for reach in (near, far) if far > near else (near,):
        shifts, found = [], None
        for shift in probe_shifts(old_map, new_part, n0, max(0, a - reach),
                                  min(old_size, b + reach)):
            shifts.append(shift)
            found = agreeing(shifts, spread, 3)
            if found:
                break
        found = found or agreeing(shifts, spread, 2)
        if found:
            a, b = n0 + found[0], n1 + found[1]
            break
    start = (a + b - width) // 2
    return max(0, min(start, old_size - width))


def encode_piece(old_path, new_path, new_range, width, out_path, last, cpu_seconds=None):
    """The records that make the new file's bytes `new_range` from `width`
    bytes of the old file, compressed into `out_path`; a Piece."""
    n0, n1 = new_range
    old_size, new_size = os.path.getsize(old_path), os.path.getsize(new_path)
    with open(new_path, "rb") as f:
        f.seek(n0)
        new_part = f.read(n1 - n0)
    with open(old_path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as old_map:
        o0 = place_window(old_map, new_part, n0, old_size, new_size, width)
        with tempfile.TemporaryDirectory(prefix=".piece-", dir=os.path.dirname(out_path)) as tmp:
            old_file, new_file = os.path.join(tmp, "old"), os.path.join(tmp, "new")
            with open(old_file, "wb") as out:
                out.write(old_map[o0:o0 + width])
            attempts = ([] if runs_of_one_byte(new_part, RUN_SLOW) else [[]]) + \
                [runs_of_one_byte(new_part, least) for least in RUN_CUTS]
            # A cut that cuts nothing more than the attempt before it is no other attempt.
            attempts = [runs for i, runs in enumerate(attempts)
                        if i == 0 or len(runs) > len(attempts[i - 1])] or [[]]
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            for i, runs in enumerate(attempts):
                rest = without_runs(new_part, runs)
                if not rest:  # all runs: bsdiff maps no empty file
                    triples, diff, extra = [], b"", b""
                    break
                with open(new_file, "wb") as out:
                    out.write(rest)
                del rest
                try:
                    triples, diff, extra = bsdiff_triples(old_file, new_file, cpu_seconds)
                    break
                except TooSlow:
                    if i == len(attempts) - 1:
                        raise
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
    ops = [(None if at is None else at + o0, data)
           for at, data in operations(triples, diff, extra, min(width, old_size))]
    del triples, diff, extra
    if runs:
        ops = with_runs(ops, runs, new_part)
    del new_part
    stream = records(ops, rewind=not last)
    del ops
    packer = zlib.compressobj(PIECE_LEVEL, zlib.DEFLATED, -15, 9)
    with open(out_path, "wb") as out:
        out.write(packer.compress(stream))
        out.write(packer.flush(zlib.Z_SYNC_FLUSH))
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return Piece(out_path, zlib.crc32(stream), len(stream), after.ru_maxrss, cpu,
                 sum(end - start for start, end in runs))


def crc32_combine(crc1, crc2, len2):
    """The CRC-32 of two byte strings joined, from theirs and the second's
    length (zlib's method: appending len2 zero bytes to the first is a
    linear map, applied by repeated squaring)."""
    def times(matrix, vector):
        out, i = 0, 0
        while vector:
            if vector & 1:
                out ^= matrix[i]
            vector >>= 1
            i += 1
        return out

    def square(matrix):
        return [times(matrix, row) for row in matrix]

    if len2 <= 0:
        return crc1
    odd = [0xEDB88320] + [1 << n for n in range(31)]  # one zero bit
    even = square(odd)                                # two
    odd = square(even)                                # four
    while True:
        even = square(odd)  # the first pass: one zero byte
        if len2 & 1:
            crc1 = times(even, crc1)
        len2 >>= 1
        if not len2:
            break
        odd = square(even)
        if len2 & 1:
            crc1 = times(odd, crc1)
        len2 >>= 1
        if not len2:
            break
    return crc1 ^ crc2


def assemble(out_path, pieces, old_size, new_size, old_digest, new_digest):
    """Writes the delta object from its pieces in order: the header, then
    one gzip member. The digests are hex; returns (SHA-256 hex, size)."""
    crc, length = 0, 0
    for p in pieces:
        crc, length = crc32_combine(crc, p.crc, p.length), length + p.length
    stream_len = len(GZIP_HEADER) + sum(os.path.getsize(p.path) for p in pieces) + \
        len(LAST_BLOCK) + 8
    h = hashlib.sha256()
    with open(out_path, "wb") as out:
        def put(data):
            h.update(data)
            out.write(data)
        put(HEADER.pack(MAGIC, VERSION, old_size, new_size, bytes.fromhex(old_digest),
                        bytes.fromhex(new_digest), stream_len))
        put(GZIP_HEADER)
        for p in pieces:
            with open(p.path, "rb") as f:
                for block in iter(lambda: f.read(BLOCK), b""):
                    put(block)
        put(LAST_BLOCK + struct.pack("<II", crc, length & 0xFFFFFFFF))
    return h.hexdigest(), HEADER.size + stream_len


def segments(new_size, segment):
    """The new file's pieces: runs of `segment` bytes."""
    return [(n0, min(new_size, n0 + segment)) for n0 in range(0, new_size, segment)]


def window_width(old_size, segment):
    """The old bytes each piece is diffed against: the piece's own length
    and half as much again, for content that moved a little (or the whole
    old file, where it is not larger)."""
    return min(old_size, segment + segment // 2)


def make(old_path, new_path, segment=None):
    """The delta object's bytes that make `new_path` from `old_path`, the
    whole file as one piece unless `segment` is given."""
    old_size, new_size = os.path.getsize(old_path), os.path.getsize(new_path)
    segment = segment or max(new_size, 1)
    parts = segments(new_size, segment)
    width = old_size if segment >= new_size else window_width(old_size, segment)
    with tempfile.TemporaryDirectory(prefix="korvanth-delta-") as tmp:
        pieces = [encode_piece(old_path, new_path, n, width, os.path.join(tmp, str(i)),
                               i == len(parts) - 1) for i, n in enumerate(parts)]
        out = os.path.join(tmp, "delta")
        assemble(out, pieces, old_size, new_size, file_digest(old_path).hex(),
                 file_digest(new_path).hex())
        with open(out, "rb") as f:
            return f.read()
