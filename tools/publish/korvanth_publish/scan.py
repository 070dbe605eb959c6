"""The client folder as the release will carry it, refused whole when any
part of it could not be published faithfully."""

import os
import stat
from typing import NamedTuple

from .common import Failure, fold_case, is_safe_relative_path, own_name, shown, windows_holds


class ClientFile:
    """One file of the client: its relative path, the path its content is
    read from (a link's target) and what its status said when it was found,
    to tell later whether it changed."""

    def __init__(self, rel, source, st):
        self.rel, self.source, self.size = rel, source, st.st_size
        self.key = status_key(st)


class StatusKey(NamedTuple):
    """What a file's status says about its identity and content: equal keys
    mean that nobody wrote to the file in between."""
    dev: int
    ino: int
    size: int
    mtime_ns: int
    ctime_ns: int


class Seen(NamedTuple):
    """A name of the client as first met under its folded key."""
    name: str
    kind: str  # "file" or "folder"


def status_key(st):
    return StatusKey(st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def inside(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def _raise(error):
    raise Failure("%s: %s" % (shown(error.filename or ""), error.strerror))


def link_target(full, root):
    """A link to a file inside the client is published as that file's
    content; a link that leaves the client would publish whatever it names
    on the publisher's machine, so it is refused, as are dangling links."""
    target = os.path.realpath(full)
    if not inside(target, root):
        raise Failure("%s: a link to %s, outside the client folder; copy the file in "
                      "or leave it out" % (shown(full), shown(target)))
    try:
        st = os.stat(target)
    except OSError as e:
        raise Failure("%s: a link that leads nowhere (%s)" % (shown(full), e.strerror))
    if not stat.S_ISREG(st.st_mode):
        raise Failure("%s: a link to something other than a file" % shown(full))
    return target, st


def walk(client):
    """Every file below the client folder, sorted by the bytes of its path."""
    root = os.path.realpath(client)
    found = []
    for folder, dirs, files in os.walk(client, onerror=_raise):
        for name in sorted(dirs):
            full = os.path.join(folder, name)
            if os.path.islink(full):
                # Walking into it could loop or publish a folder twice.
                raise Failure("%s: a link to a folder; put the folder itself there"
                              % shown(full))
        dirs.sort()
        for name in files:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, client).replace(os.sep, "/")
            st = os.lstat(full)
            source = full
            if stat.S_ISLNK(st.st_mode):
                source, st = link_target(full, root)
            elif not stat.S_ISREG(st.st_mode):
                raise Failure("%s: not a regular file" % shown(full))
            found.append(ClientFile(rel, source, st))
    return sorted(found, key=lambda f: f.rel.encode("utf-8", "surrogateescape"))


def scan_client(client):
    """The client's files, after every check of their names."""
    if not os.path.isdir(client):
        raise Failure("%s: not a folder" % client)
    files = walk(client)
    # Every such name at once: the publisher renames them all in one go.
    unheld = [f.rel for f in files if not all(windows_holds(s) for s in f.rel.split("/"))]
    if unheld:
        raise Failure("%s: %d names Windows cannot hold (device names such as con or com1, "
                      "with any extension; a dot or a space at the end; control characters "
                      "or any of \\ : * ? \" < > |); rename them:\n%s"
                      % (client, len(unheld), "\n".join("  " + shown(r) for r in unheld)))
    ours = [f.rel for f in files if own_name(f.rel)]
    if ours:
        raise Failure("%s: %d paths begin with a name the launcher keeps for its own files "
                      "(%s, in any letter case); a release naming one would overwrite the "
                      "launcher, its state or settings, and launchers refuse it. Leave them "
                      "out of the client folder (the launcher itself is published with "
                      "--launcher):\n%s"
                      % (client, len(ours), ", ".join(sorted({own_name(r) for r in ours})),
                         "\n".join("  " + shown(r) for r in ours)))
    by_folded = {}  # folded name -> Seen
    for f in files:
        full = os.path.join(client, f.rel)
        try:
            f.rel.encode("utf-8")
        except UnicodeEncodeError:
            raise Failure("%s: the name is not UTF-8; rename it" % shown(full))
        if not is_safe_relative_path(f.rel):
            raise Failure("%s: the launcher refuses the path %r" % (full, f.rel))
        parts = f.rel.split("/")
        names = [("/".join(parts[:i]), "folder") for i in range(1, len(parts))]
        for name, kind in names + [(f.rel, "file")]:
            other = by_folded.setdefault(fold_case(name), Seen(name, kind))
            if kind == "file" and other != (name, kind) or \
                    other.kind == "file" and kind == "folder":
                raise Failure("%s: the %s %s and the %s %s differ only in letter case "
                              "(one name on Windows)"
                              % (client, kind, name, other.kind, other.name))
    return files
