"""Delta objects read back: the launcher's format (see delta.py) applied in
Python, a block at a time from files as the launcher reads them, for the
tool's own checks of every delta it makes and for tests."""

import hashlib
import io
import mmap
import os
import re
import struct
import zlib

MAGIC = b"KVDL"
VERSION = 1
HEADER = struct.Struct("<4sB3xQQ32s32sQ")
BLOCK = 1 << 20  # bytes of the stream read, and of records decoded, at once

NONZERO = re.compile(rb"[^\0]+")


class Records:
    """The records of a delta's gzip member, decoded a block at a time from
    the file `f` (at the member's start; `length` its bytes)."""

    def __init__(self, f, length):
        self.f, self.left = f, length
        self.inflate = zlib.decompressobj(31)
        self.buf, self.at = b"", 0

    def more(self):
        """Decodes the next block; False at the member's end."""
        while True:
            if self.inflate.eof:
                if self.inflate.unused_data or self.left:
                    raise ValueError("stream: bytes after the gzip member")
                return False
            tail = self.inflate.unconsumed_tail
            if not tail:
                tail = self.f.read(min(BLOCK, self.left))
                self.left -= len(tail)
                if not tail:
                    raise ValueError("stream: cut short")
            try:
                data = self.inflate.decompress(tail, BLOCK)
            except zlib.error as e:
                raise ValueError("stream: %s" % e)
            if data:
                self.buf, self.at = data, 0
                return True

    def byte(self):
        if self.at >= len(self.buf) and not self.more():
            raise ValueError("record cut short")
        self.at += 1
        return self.buf[self.at - 1]

    def take(self, n):
        """Yields the next `n` bytes, a block at most at a time."""
        while n:
            if self.at >= len(self.buf) and not self.more():
                raise ValueError("record cut short")
            part = self.buf[self.at:self.at + n]
            self.at += len(part)
            n -= len(part)
            yield part

    def leb128(self):
        value = shift = 0
        while True:
            if shift > 63:
                raise ValueError("record cut short")
            byte = self.byte()
            value |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                return value

    def ended(self):
        return self.at >= len(self.buf) and not self.more()


def added(old, diff):
    """old + diff, byte by byte modulo 256; bsdiff's diff bytes are mostly
    zero, and those spans are the old bytes as they are."""
    out = bytearray(old)
    for m in NONZERO.finditer(diff):
        a, b = m.span()
        out[a:b] = bytes((x + y) & 0xFF for x, y in zip(old[a:b], diff[a:b]))
    return out


def replay(f, old, write, old_digest=None):
    """Reads a delta from the file `f` and writes the new file's bytes with
    `write`, reading `old` (bytes or a mapping) by offset; returns the new
    file's SHA-256 from the header once the output hashes to it. With
    `old_digest`, the header must name it as the old file's. ValueError
    naming what is wrong, maybe after some bytes were written."""
    head = f.read(HEADER.size)
    if len(head) < HEADER.size:
        raise ValueError("shorter than its header")
    magic, version, old_size, new_size, old_named, new_digest, stream_len = HEADER.unpack(head)
    f.seek(0, os.SEEK_END)
    if magic != MAGIC or version != VERSION or stream_len != f.tell() - HEADER.size:
        raise ValueError("not a delta of this format")
    if len(old) != old_size or old_digest not in (None, old_named):
        raise ValueError("made for another old file")
    f.seek(HEADER.size)
    records, h = Records(f, stream_len), hashlib.sha256()
    made = pos = 0
    while made < new_size:
        add, copy, seek = records.leb128(), records.leb128(), records.leb128()
        seek = -(seek >> 1) if seek & 1 else seek >> 1
        if add + copy > new_size - made or pos + add > old_size:
            raise ValueError("record past a file's end")
        at = pos
        for part in records.take(add):
            out = added(old[at:at + len(part)], part)
            at += len(part)
            h.update(out)
            write(out)
        for part in records.take(copy):
            h.update(part)
            write(part)
        made += add + copy
        pos += add + seek
        if not 0 <= pos <= old_size:
            raise ValueError("seek outside the old file")
    if not records.ended():
        raise ValueError("bytes after the last record")
    if h.digest() != new_digest:
        raise ValueError("makes another new file")
    return new_digest


def apply(old, delta):
    """The new file's bytes, or ValueError naming what is wrong."""
    new = bytearray()
    replay(io.BytesIO(delta), old, new.extend, hashlib.sha256(old).digest())
    return bytes(new)


def check_file(old_path, delta_path):
    """ValueError unless the delta object at `delta_path` makes its new file
    from the old file at `old_path` (taken to be the one its header names),
    read as the launcher reads it, in bounded memory."""
    with open(old_path, "rb") as f, open(delta_path, "rb") as d:
        if os.fstat(f.fileno()).st_size == 0:
            replay(d, b"", lambda data: None)
            return
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as old:
            replay(d, old, lambda data: None)
