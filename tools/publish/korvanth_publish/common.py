"""Limits, path rules and file helpers every command of the tool shares."""

import ctypes
import datetime
import hashlib
import os
import re
import tempfile
import zlib

BLOCK = 1 << 20
GROUPS = {"base", "system", "interface", "stock"}
LAUNCHER_NAME = "Korvanth.exe"
# The launcher's own files and folders at the top of its folder, as
# base/own_files.cpp names them (a test holds the two lists together). A
# client path starting with one would overwrite the launcher, its state or
# settings, or fight them on every pass; the launcher refuses a manifest
# naming one.
OWN_NAMES = ("Korvanth.new", "Korvanth.new.part", "Korvanth.new.tmp", "Korvanth.swap",
             "Korvanth.old", "Korvanth.state.tmp", "Korvanth.log.1", "Korvanth.log",
             "Korvanth.ini", "Korvanth.chunks", "Korvanth.state", LAUNCHER_NAME)
# Limits of the launcher's manifest reader (bytes of UTF-8 text).
MAX_PATH_BYTES = 399
MAX_VERSION_BYTES = 47
MAX_ID_BYTES = 15
MAX_MIRROR_BYTES = 255
MAX_MANIFEST_MIRRORS = 4  # the launcher keeps its two built-in ones first, six in all
MAX_NUMBER = 18446744073709551609
MAX_MANIFEST_BYTES = 4194304
# The pair every release ends with, on the tree's top and in its history.
MANIFEST_JSON, MANIFEST_SIG = MANIFEST_PAIR = ("manifest.json", "manifest.sig")
# Times in manifests and key lists: UTC to the second, in a form whose texts
# sort as the times do.
TIME_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
TIME_RE = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z")
FORBIDDEN = set('\\:*?"<>|')
# Names Windows gives to devices in every folder, whatever follows the first
# dot (con.txt is the console too); the superscript digits count as well.
DEVICE_NAMES = {"con", "prn", "aux", "nul"} | {
    "%s%s" % (stem, digit) for stem in ("com", "lpt") for digit in "123456789\u00b9\u00b2\u00b3"}


class Failure(Exception):
    """A problem that ends the command; the text names the file."""


def is_safe_relative_path(path):
    """The launcher's rule for paths of client files (UTF-8 text)."""
    return is_holdable_relative_path(path) and own_name(path) is None


def own_name(path):
    """The launcher's own name that the path's first segment is, in any
    letter case, or None."""
    first = fold_case(path.split("/", 1)[0])
    return next((n for n in OWN_NAMES if fold_case(n) == first), None)


def is_holdable_relative_path(path):
    """The launcher's rule for any path below its folder, its own entry's too."""
    raw = path.encode("utf-8", "surrogateescape")
    if not 1 <= len(raw) <= MAX_PATH_BYTES:
        return False
    if path.startswith("/") or path.endswith("/") or "//" in path:
        return False
    if any(ord(c) < 0x20 or ord(c) == 0x7F or c in FORBIDDEN for c in path):
        return False
    return all(seg not in (".", "..") and windows_holds(seg) for seg in path.split("/"))


def windows_holds(segment):
    """Whether Windows stores a file or folder under exactly this name: not
    a device, nothing it would cut off the end (a dot or a space), no
    character it forbids."""
    if any(ord(c) < 0x20 or c in FORBIDDEN for c in segment):
        return False
    if segment.endswith((".", " ")) and segment not in (".", ".."):
        return False
    return segment.split(".", 1)[0].rstrip(" ").lower() not in DEVICE_NAMES


def now_text():
    return datetime.datetime.now(datetime.timezone.utc).strftime(TIME_FORMAT)


def changed_while_read(name):
    """The error for a client file whose content changed under the build: the
    release must name the content it ships."""
    return Failure("%s: changed while it was read; publish a folder nobody is writing to"
                   % shown(name))


def utf8_len(text):
    return len(text.encode("utf-8"))


def shown(name):
    """A file name as printable text: bytes that are not UTF-8 appear as \\xNN,
    so an error message about such a name can be printed at all."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def fold_case(name):
    """The key under which Windows sees two names as one file. Each character
    is mapped on its own, as NTFS does; mapping both ways errs on the side of
    calling two names one, which only ever refuses a release."""
    out = []
    for c in name:
        u = c.upper()
        c = u if len(u) == 1 else c
        lo = c.lower()
        out.append(lo if len(lo) == 1 else c)
    return "".join(out)


def write_atomically(path, chunks):
    """Writes the byte chunks to `path` through a temporary file in the same
    folder, flushed to disk before the rename."""
    folder = os.path.dirname(path) or "."
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            for chunk in chunks:
                f.write(chunk)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def flush_file_system(path):
    """Makes everything written to the file system that holds `path` durable
    with one flush (syncfs). A build writes thousands of objects: a flush
    per file would make every worker wait on the disk in turn."""
    fd = os.open(path, os.O_RDONLY)
    try:
        syncfs = getattr(ctypes.CDLL(None, use_errno=True), "syncfs", None)
        if syncfs is None:
            os.sync()
        elif syncfs(fd) != 0:
            raise OSError(ctypes.get_errno(), "cannot flush the objects to disk", path)
    finally:
        os.close(fd)


def start_writeback(f):
    """Asks the kernel to start writing the file's pages to disk now, without
    waiting, so that the disk works while the workers pack the next files
    and the final flush finds little left to write."""
    if hasattr(os, "posix_fadvise"):
        os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


def read_bytes(path):
    """A small file's bytes (a key, a signature); any problem ends the
    command with the file's name."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise Failure("%s: %s" % (path, e.strerror))


def read_manifest_pair(tree):
    """The bytes of a tree's manifest.json and manifest.sig; OSError (a
    FileNotFoundError when the tree has no release) is the caller's."""
    with open(os.path.join(tree, MANIFEST_JSON), "rb") as f:
        data = f.read()
    with open(os.path.join(tree, MANIFEST_SIG), "rb") as f:
        return data, f.read()


def hash_file(path):
    h, size = hashlib.sha256(), 0
    with open(path, "rb") as f:
        while True:
            block = f.read(BLOCK)
            if not block:
                return h.hexdigest(), size
            h.update(block)
            size += len(block)


def gzip_digest(path):
    """(sha256, size) of what the gzip file decodes to, read the way the
    launcher reads it: exactly one member, nothing after it. Raises
    zlib.error otherwise."""
    unpacker, h, out = zlib.decompressobj(31), hashlib.sha256(), 0
    with open(path, "rb") as f:
        while True:
            block = f.read(BLOCK)
            if not block:
                break
            if unpacker.eof:
                raise zlib.error("data after the gzip member")
            while block:
                chunk = unpacker.decompress(block, BLOCK)
                h.update(chunk)
                out += len(chunk)
                block = unpacker.unconsumed_tail
            if unpacker.unused_data:
                raise zlib.error("data after the gzip member")
    if not unpacker.eof:
        raise zlib.error("truncated")
    return h.hexdigest(), out
