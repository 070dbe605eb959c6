"""One client file into the staging folder: its digest, its plain object and
its gzip object, made by a worker of the build's process pool. Nothing here
depends on which worker runs it or when, so the objects are the same for any
number of workers."""

import hashlib
import os
import shutil
import stat
import subprocess
import zlib
from typing import NamedTuple, Optional

from . import chunks
from .common import BLOCK, Failure, changed_while_read, gzip_digest, shown, start_writeback
from .scan import StatusKey, status_key

STRONG_ENCODER = ["libdeflate-gzip", "-12", "-c"]
STRONG_PACKAGE = "libdeflate-tools"
# The strong encoder holds the whole file and its output in memory; larger
# files keep zlib's output, which streams.
STRONG_MAX_BYTES = 512 << 20

counter = None  # bytes done, shared by the pool's workers (set by their initializer)


class PackTask(NamedTuple):
    """One file for a worker: where its content is and what its status said
    when the client was scanned, where its objects go, and how to pack it."""
    rel: str
    source: str
    key: StatusKey
    objects_dir: str
    staging_dir: str
    compression: str               # "zlib9" or "best"
    chunker: Optional[str] = None  # the chunk tool when the file is also cut into chunks


class Packed(NamedTuple):
    """What a worker made of a task."""
    index: int                 # the task's place in the build's list
    digest: str
    size: int
    packed: int                # the .gz object's size, 0 without one
    zlib_wire: int             # bytes over the wire had it been packed with zlib level 9
    staged: Optional[str]      # None when the tree already holds the object
    chunked: Optional[chunks.Chunked] = None


def report(nbytes):
    if counter is not None and nbytes:
        with counter.get_lock():
            counter.value += nbytes


def strong_encoder_missing():
    """The text to show when --compression best cannot run, or None."""
    if shutil.which(STRONG_ENCODER[0]) is None:
        return ("--compression best needs %s (Debian package %s; scripts/bootstrap installs "
                "it); install it or build with --compression zlib9"
                % (STRONG_ENCODER[0], STRONG_PACKAGE))
    return None


def read_blocks(f, name, key, share):
    """The file's blocks, refused when the file is not what the scan found or
    changes while it is read: a release must name the content it ships."""
    before = os.fstat(f.fileno())
    if not stat.S_ISREG(before.st_mode) or status_key(before) != key:
        raise Failure("%s: changed after the client folder was read; publish a folder "
                      "nobody is writing to" % shown(name))
    done = 0
    while True:
        block = f.read(BLOCK)
        if not block:
            break
        report((done + len(block)) * share // 2 - done * share // 2)
        done += len(block)
        yield block
    if done != key.size or status_key(os.fstat(f.fileno())) != key:
        raise changed_while_read(name)


def open_source(source):
    # O_NONBLOCK: a pipe put in the file's place must not stall the build.
    return open(source, "rb", opener=lambda p, flags: os.open(
        p, flags | os.O_NONBLOCK | getattr(os, "O_NOFOLLOW", 0)))


def stage(rel, source, key, mode, digest, staged):
    """Copies the file to `staged` while hashing it again and packing it with
    zlib level 9 into `staged`.z; returns the zlib member's size. Runs of
    zeros are skipped with a seek, so a sparse file stays sparse."""
    h = hashlib.sha256()
    packer = zlib.compressobj(9, zlib.DEFLATED, 31, 9)
    packed = 0
    with open_source(source) as f, open(staged, "wb") as plain, open(staged + ".z", "wb") as gz:
        share = 2 if mode == "zlib9" else 1
        for block in read_blocks(f, rel, key, share):
            h.update(block)
            if block.count(0) == len(block):
                plain.seek(len(block), os.SEEK_CUR)
            else:
                plain.write(block)
            out = packer.compress(block)
            packed += len(out)
            gz.write(out)
        plain.truncate(key.size)
        out = packer.flush()
        packed += len(out)
        gz.write(out)
        plain.flush()
    if h.hexdigest() != digest:
        raise changed_while_read(rel)
    return packed


def strong_pack(rel, staged, digest, size):
    """The strong encoder's member for `staged`, in `staged`.ld; refused
    unless it decodes, as the launcher decodes it, to the file itself."""
    out_path = staged + ".ld"
    with open(out_path, "wb") as out:
        run = subprocess.run(STRONG_ENCODER + [staged], stdout=out, stderr=subprocess.PIPE)
    if run.returncode != 0:
        raise Failure("%s: %s failed: %s" % (shown(rel), STRONG_ENCODER[0],
                                             run.stderr.decode(errors="replace").strip()))
    try:
        if gzip_digest(out_path) != (digest, size):
            raise zlib.error("decodes to other content")
    except zlib.error as e:
        raise Failure("%s: %s made a member the launcher could not use (%s)"
                      % (shown(rel), STRONG_ENCODER[0], e))
    return os.path.getsize(out_path)


def pack(item):
    """item: (index, PackTask). Returns a Packed."""
    index, task = item
    rel, source, key = task.rel, task.source, task.key
    result = pack_whole(index, rel, source, key, task.objects_dir, task.staging_dir,
                        task.compression)
    if not task.chunker:
        return result
    chunked = chunks.chunk(task.chunker, rel, source, task.objects_dir,
                           os.path.join(task.staging_dir, "%d.chunks" % index), report)
    if (chunked and chunked.size != key.size) or status_key(os.stat(source)) != key:
        raise changed_while_read(rel)
    return result._replace(chunked=chunked)


def pack_whole(index, rel, source, key, objects_dir, staging_dir, mode):
    h = hashlib.sha256()
    with open_source(source) as f:
        for block in read_blocks(f, rel, key, 0):
            h.update(block)
    digest, size = h.hexdigest(), key.size
    existing = os.path.join(objects_dir, digest)
    if os.path.isfile(existing) and os.path.getsize(existing) == size:
        # Kept as it is: an older manifest may name its .gz size.
        report(size)
        packed = os.path.getsize(existing + ".gz") if os.path.isfile(existing + ".gz") else 0
        return Packed(index, digest, size, packed, packed or size, None)
    staged = os.path.join(staging_dir, str(index))
    zlib_size = stage(rel, source, key, mode, digest, staged)
    candidates = [(zlib_size, staged + ".z")]
    if mode == "best" and zlib_size < size <= STRONG_MAX_BYTES:
        candidates.append((strong_pack(rel, staged, digest, size), staged + ".ld"))
    best_size, best_path = min(candidates)  # zlib's on a tie
    if mode != "zlib9":
        report(size - size // 2)  # the other half of the file's share of the bar
    for _, path in candidates:
        if path != best_path or best_size >= size:
            os.unlink(path)
    os.chmod(staged, 0o644)
    with open(staged, "rb") as done:  # the strong encoder has read it by now
        start_writeback(done)
    if best_size >= size:
        return Packed(index, digest, size, 0, size, staged)
    with open(best_path, "rb") as member:
        start_writeback(member)
    os.chmod(best_path, 0o644)
    os.replace(best_path, staged + ".gz")
    return Packed(index, digest, size, best_size, min(zlib_size, size), staged)
