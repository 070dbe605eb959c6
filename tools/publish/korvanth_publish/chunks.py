"""Content-defined chunks of large files: the chunk tool that cuts them
exactly as the launcher does, the chunk index that lists them, and the
chunk objects a build writes.

The cutting is not done here: korvanth-chunk (tools/chunker), built from
the launcher's own chunker source with the host's C++ compiler, prints each
chunk's offset, length and SHA-256. `--chunker PATH` names a built one;
otherwise it is built on demand into a cache folder keyed by its sources'
content, so that an edited chunker is never run stale.

The index (content/content.h holds the reference):
  "KCIX", version 1, three zero bytes, the file's size (8 bytes), the chunk
  count (4), then per chunk its length (4), the size of its .gz object or 0
  (4) and its SHA-256 (32); numbers little-endian.
"""

import hashlib
import os
import shutil
import struct
import subprocess
import tempfile
import zlib

from .common import Failure, changed_while_read, shown

INDEX_MAGIC = b"KCIX"
INDEX_VERSION = 1
INDEX_HEADER = struct.Struct("<4sB3sQI")
INDEX_RECORD = struct.Struct("<II32s")
INDEX_MAX_BYTES = 64 << 20
CHUNK_MIN_BYTES, CHUNK_MAX_BYTES = 4096, 65536
DEFAULT_MIN_FILE = 4 << 20

SOURCES_LIST_REL = "tools/chunker/sources.txt"
# Where the chunker's sources are: the checkout this package sits in, or, in
# an installed package, the copy its build put beside the modules (with the
# same relative paths), so that an installed tool cuts files as the
# launcher does without a checkout.
CHECKOUT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
PACKAGED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "chunker")
ROOT = CHECKOUT if os.path.isfile(os.path.join(CHECKOUT, SOURCES_LIST_REL)) else PACKAGED
SOURCES_LIST = os.path.join(ROOT, SOURCES_LIST_REL)
# Headers the sources include: their content is part of the cache key too.
HEADERS = ["chunks/chunks.h", "content/content.h", "content/sha256_internal.h"]
COMPILE_FLAGS = ["-std=c++17", "-O2"]


def cache_folder():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "korvanth-publish")


def chunker_sources(sources_list=SOURCES_LIST):
    with open(sources_list) as f:
        return [line.strip() for line in f if line.strip() and not line.startswith("#")]


def chunker_files(root):
    """Every file the chunk tool is built from, relative to `root`: what
    an installed package carries."""
    return [SOURCES_LIST_REL] + chunker_sources(os.path.join(root, SOURCES_LIST_REL)) + HEADERS


def find_chunker(given=None, cache=None):
    """The path of a native korvanth-chunk: `given` when set (checked to
    run), else the one built from this checkout's sources in the cache,
    built now if it is not there yet."""
    if given:
        if not os.path.isfile(given) or not os.access(given, os.X_OK):
            raise Failure("--chunker %s: not an executable file" % given)
        return os.path.abspath(given)
    sources = chunker_sources()
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not compiler:
        raise Failure("chunks need the chunk tool, built from tools/chunker with a C++ "
                      "compiler: install g++ (Debian package g++), pass --chunker PATH, "
                      "or build with --no-chunks")
    key = hashlib.sha256()
    for name in [compiler] + COMPILE_FLAGS:
        key.update(name.encode() + b"\0")
    for rel in sources + HEADERS:
        with open(os.path.join(ROOT, rel), "rb") as f:
            key.update(rel.encode() + b"\0" + hashlib.sha256(f.read()).digest())
    folder = os.path.join(cache or cache_folder(), "chunker-" + key.hexdigest()[:16])
    tool = os.path.join(folder, "korvanth-chunk")
    if os.access(tool, os.X_OK):
        return tool
    os.makedirs(folder, exist_ok=True)
    fd, building = tempfile.mkstemp(prefix=".build-", dir=folder)
    os.close(fd)
    try:
        run = subprocess.run([compiler] + COMPILE_FLAGS + ["-I" + ROOT] +
                             [os.path.join(ROOT, s) for s in sources] + ["-o", building],
                             capture_output=True, text=True)
        if run.returncode != 0:
            raise Failure("building the chunk tool with %s failed (pass --chunker PATH, or "
                          "build with --no-chunks):\n%s" % (compiler, run.stderr.strip()))
        os.chmod(building, 0o755)
        os.replace(building, tool)  # several builds may race: each puts the same file
    finally:
        if os.path.exists(building):
            os.unlink(building)
    return tool


def cut(tool, path, sizes=None):
    """Yields (offset, length, sha256 hex) of each chunk of the file as the
    tool prints them; refuses output that does not tile the file. The caller
    checks that the lengths add up to the file's size."""
    args = [tool] + (["--sizes", sizes] if sizes else []) + [path]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    at, finished = 0, False
    try:
        for line in proc.stdout:
            offset, length, digest = line.split()
            offset, length = int(offset), int(length)
            if offset != at or length <= 0:
                raise Failure("%s: the chunk tool's output does not tile the file" % shown(path))
            at += length
            yield offset, length, digest.decode()
        finished = True
    finally:
        if not finished:  # the caller stopped early: its own error is the one to show
            proc.kill()
        proc.stdout.close()
        err = proc.stderr.read().decode(errors="replace").strip()
        proc.stderr.close()
        code = proc.wait()
    if code != 0:
        raise Failure("%s: the chunk tool failed: %s" % (shown(path), err))


def index_size(count):
    """The bytes of the index of a file of `count` chunks."""
    return INDEX_HEADER.size + count * INDEX_RECORD.size


def index_bytes(size, records):
    """records: (length, packed size or 0, sha256 hex)."""
    out = [INDEX_HEADER.pack(INDEX_MAGIC, INDEX_VERSION, b"\0\0\0", size, len(records))]
    out += [INDEX_RECORD.pack(n, z, bytes.fromhex(h)) for n, z, h in records]
    return b"".join(out)


def parse_index(data, size):
    """The records of an index of a file of `size` bytes, read by the
    launcher's rules; raises ValueError naming what it breaks."""
    if len(data) < 5 or data[:4] != INDEX_MAGIC:
        raise ValueError("not a chunk index")
    if data[4] != INDEX_VERSION:
        raise ValueError("chunk index version %d, the launcher reads %d" % (data[4], INDEX_VERSION))
    if not INDEX_HEADER.size <= len(data) <= INDEX_MAX_BYTES:
        raise ValueError("%d bytes" % len(data))
    _, _, zero, stated, count = INDEX_HEADER.unpack_from(data)
    if zero != b"\0\0\0":
        raise ValueError("reserved bytes set")
    if stated != size:
        raise ValueError("for a file of %d bytes, not %d" % (stated, size))
    if len(data) != index_size(count):
        raise ValueError("%d chunks in %d bytes" % (count, len(data)))
    records, total = [], 0
    for i in range(count):
        n, z, digest = INDEX_RECORD.unpack_from(data, INDEX_HEADER.size + i * INDEX_RECORD.size)
        if not 1 <= n <= CHUNK_MAX_BYTES or (i + 1 < count and n < CHUNK_MIN_BYTES):
            raise ValueError("chunk %d: length %d" % (i, n))
        if z >= n:
            raise ValueError("chunk %d: packed size %d not below its length" % (i, z))
        records.append((n, z, digest.hex()))
        total += n
    if total != size:
        raise ValueError("chunks add up to %d bytes" % total)
    return records


def read_index(objects_dir, digest, size):
    with open(os.path.join(objects_dir, digest), "rb") as f:
        data = f.read(INDEX_MAX_BYTES + 1)
    if hashlib.sha256(data).hexdigest() != digest:
        raise ValueError("content does not match its name")
    return parse_index(data, size)


def existing_packed(objects_dir, digest, length):
    """The size of the tree's .gz of a chunk already there (0: none), or
    None when the plain object is missing or has another size."""
    plain = os.path.join(objects_dir, digest)
    try:
        if os.path.getsize(plain) != length:
            return None
    except OSError:
        return None
    try:
        packed = os.path.getsize(plain + ".gz")
    except OSError:
        return 0
    return packed if packed < length else 0


def stage_chunk(data, staged):
    """Writes a new chunk object and, where gzip makes it smaller, its .gz;
    returns the .gz size or 0."""
    with open(staged, "wb") as f:
        f.write(data)
    packer = zlib.compressobj(9, zlib.DEFLATED, 31, 9)
    member = packer.compress(data) + packer.flush()
    if len(member) >= len(data):
        return 0
    with open(staged + ".gz", "wb") as f:
        f.write(member)
    return len(member)


class Chunked:
    """What chunking one file gave: its index's digest, the staged index
    (None when the tree holds it), the staged new chunks as (digest, path),
    the number of chunks, and the bytes cut."""

    def __init__(self, index_digest, index_staged, staged, count, size):
        self.index_digest, self.index_staged = index_digest, index_staged
        self.staged, self.count, self.size = staged, count, size


def chunk(tool, rel, source, objects_dir, staging_dir, report):
    """Cuts one client file and stages its new chunk objects and its index;
    a Chunked, or None when its index would be larger than a launcher
    reads. `report(n)` is told of every n bytes cut."""
    records, staged, known = [], [], {}
    size = 0
    os.makedirs(staging_dir, exist_ok=True)
    with open(source, "rb") as f:
        for offset, length, digest in cut(tool, source):
            size += length
            if digest not in known:
                packed = existing_packed(objects_dir, digest, length)
                if packed is None:
                    f.seek(offset)
                    data = f.read(length)
                    if hashlib.sha256(data).hexdigest() != digest:
                        raise changed_while_read(rel)
                    path = os.path.join(staging_dir, digest)
                    packed = stage_chunk(data, path)
                    staged.append((digest, path))
                known[digest] = packed
            records.append((length, known[digest], digest))
            report(length)
    data = index_bytes(size, records)
    if len(data) > INDEX_MAX_BYTES:
        return None
    index_digest = hashlib.sha256(data).hexdigest()
    index_staged = None
    if existing_packed(objects_dir, index_digest, len(data)) is None:
        index_staged = os.path.join(staging_dir, index_digest)
        with open(index_staged, "wb") as out:
            out.write(data)
    return Chunked(index_digest, index_staged, staged, len(records), size)
