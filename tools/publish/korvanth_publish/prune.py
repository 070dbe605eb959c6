"""`prune`: objects no recent release names, taken off a mirror tree or an
rclone destination. Players still on a pruned release download the files
that changed since as whole objects (or from the chunks still there; the
deltas from their versions go with the releases that named them): they
are never stuck, only slower, so the newest few releases are kept whole.

Only what an object's name says is trusted: a name of 64 hex digits (and
its .gz) that none of the kept releases names, directly or through a chunk
index, is deleted; anything else in objects/ is left alone."""

import json
import os
import re
import subprocess
import tempfile
from typing import NamedTuple

from . import chunks
from .common import MANIFEST_JSON, MANIFEST_SIG, Failure
from .history import RELEASES
from .report import add_json_option, print_json
from .upload import join, rclone_reason, said
from .verify import check_manifest, release_entries

OBJECT_NAME = re.compile(r"[0-9a-f]{64}(\.gz)?")
# rclone's exit codes for a folder and a file that are not there.
DIRECTORY_NOT_FOUND, FILE_NOT_FOUND = 3, 4


class KeptRelease(NamedTuple):
    """A release of releases/: its manifest pair and the document it holds."""
    generated: str
    version: str
    data: bytes
    signature: bytes
    doc: dict


class LocalTree:
    """A mirror tree on this machine."""

    def __init__(self, root):
        self.root = root

    def read(self, rel):
        try:
            with open(os.path.join(self.root, rel), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def listing(self, folder, dirs):
        """{name: size} of the files (or the names of the folders) in a folder."""
        try:
            entries = list(os.scandir(os.path.join(self.root, folder)))
        except FileNotFoundError:
            return {}
        return {e.name: 0 if dirs else e.stat(follow_symlinks=False).st_size
                for e in entries if (e.is_dir(follow_symlinks=False) if dirs
                                     else e.is_file(follow_symlinks=False))}

    def delete(self, rels):
        for rel in rels:
            os.unlink(os.path.join(self.root, rel))
        for folder in {os.path.dirname(r) for r in rels if r.startswith(RELEASES + "/")}:
            try:
                os.rmdir(os.path.join(self.root, folder))
            except OSError:
                pass


class RcloneDest:
    """An rclone remote path (REMOTE:path); rclone's own configuration holds
    its credentials, so none appear here."""

    def __init__(self, dest):
        # Kept as given: `us:` is the remote's root folder, `us:/` the
        # server's (on SFTP), and `us:` + `/releases` would be the latter.
        self.dest = dest

    def rclone(self, *args, text=True):
        try:
            run = subprocess.run(["rclone"] + list(args), capture_output=True, text=text)
        except FileNotFoundError:
            raise Failure("%s: pruning a destination needs rclone (Debian package rclone)"
                          % self.dest)
        return run

    def read(self, rel):
        run = self.rclone("cat", join(self.dest, rel), text=False)
        if run.returncode in (DIRECTORY_NOT_FOUND, FILE_NOT_FOUND):
            return None
        if run.returncode != 0:
            raise Failure("cannot read %s (rclone: %s)" % (
                join(self.dest, rel), rclone_reason(run.stderr, run.returncode)))
        return run.stdout

    def listing(self, folder, dirs):
        """As LocalTree's; a folder that is not there is empty, and any other
        failure (an unknown remote, a refused login) says rclone's reason
        rather than passing for an empty folder."""
        where = join(self.dest, folder) if folder else self.dest
        run = self.rclone("lsjson", "--dirs-only" if dirs else "--files-only", where)
        if run.returncode == DIRECTORY_NOT_FOUND:
            return {}
        if run.returncode != 0:
            raise Failure("cannot list %s (rclone: %s)" % (
                where, rclone_reason(run.stderr, run.returncode)))
        try:
            return {e["Name"]: e.get("Size", 0) for e in json.loads(run.stdout or "[]")}
        except (ValueError, KeyError, TypeError):
            raise Failure("cannot list %s: rclone's listing is not readable" % where)

    def delete(self, rels):
        with tempfile.NamedTemporaryFile("w", prefix="korvanth-prune-", suffix=".txt") as f:
            f.write("".join(r + "\n" for r in rels))
            f.flush()
            run = self.rclone("delete", self.dest, "--files-from-raw", f.name)
        if run.returncode != 0:
            raise Failure("cannot delete from %s (rclone: %s)" % (
                self.dest, rclone_reason(run.stderr, run.returncode)))
        self.rclone("rmdirs", "--leave-root", join(self.dest, RELEASES))


def open_store(where):
    if os.path.isdir(where):
        return LocalTree(where)
    if ":" in where:
        return RcloneDest(where)
    raise Failure("%s: neither a folder nor an rclone destination (REMOTE:path)" % where)


def releases(store, where):
    """The KeptReleases, newest first."""
    found = []
    for version in store.listing(RELEASES, dirs=True):
        rel = "%s/%s/" % (RELEASES, version)
        data = store.read(rel + MANIFEST_JSON)
        if data is None:
            continue
        problems = []
        doc, _ = check_manifest(data, problems)
        if problems:
            raise Failure("%s/%s%s: %s" % (where, rel, MANIFEST_JSON, "; ".join(problems)))
        found.append(KeptRelease(doc["generated"], version, data,
                                 store.read(rel + MANIFEST_SIG) or b"", doc))
    return sorted(found, key=lambda r: (r.generated, r.version), reverse=True)


def named_objects(store, where, doc):
    """Every object name a release needs: each file's object and .gz, its
    deltas (and their .gz), its chunk index, and each chunk (and .gz) the
    index lists."""
    names = set()
    for e in release_entries(doc):
        digest = e["h"].lower()
        names.add(digest)
        if e.get("z"):
            names.add(digest + ".gz")
        for d in e.get("deltas", []):
            names.add(d["h"].lower())
            if d.get("z"):
                names.add(d["h"].lower() + ".gz")
        if e.get("chunks"):
            key = e["chunks"].lower()
            names.add(key)
            data = store.read("objects/" + key)
            if data is None:
                raise Failure("%s/objects/%s: the chunk index of %s (release %s) is missing; "
                              "nothing is pruned while a release is not whole"
                              % (where, key, e["p"], doc["version"]))
            try:
                records = chunks.parse_index(data, e["s"])
            except ValueError as err:
                raise Failure("%s/objects/%s: %s" % (where, key, err))
            for _, packed, chunk in records:
                names.add(chunk)
                if packed:
                    names.add(chunk + ".gz")
    return names


def add_parser(sub):
    p = sub.add_parser("prune", help="delete objects that the newest releases do not name")
    p.add_argument("--keep", type=int, default=3, metavar="N",
                   help="releases kept whole, newest first (at least 2, default 3)")
    p.add_argument("--dry-run", action="store_true", help="list what would be deleted")
    p.add_argument("mirror", metavar="MIRROR|RCLONE_DEST",
                   help="a mirror tree on this machine, or an rclone destination (REMOTE:path)")
    add_json_option(p)
    p.set_defaults(func=cmd_prune)


def cmd_prune(args):
    if args.keep < 2:
        raise Failure("--keep: at least 2 (players one release behind update by patch)")
    store = open_store(args.mirror)
    # The destination itself first: one that cannot be listed is not one
    # that keeps no releases.
    top = store.listing("", dirs=False)
    known = releases(store, args.mirror)
    if not known:
        raise Failure("%s no releases kept in %s%s: pruning needs the releases' manifests "
                      "(build one release with this tool first, and upload it)" % (
                          said(args.mirror), join(args.mirror, RELEASES + "/"),
                          "" if MANIFEST_JSON in top else
                          " (and no manifest.json at its top: not a mirror tree?)"))
    newest = known[0]
    current = (store.read(MANIFEST_JSON), store.read(MANIFEST_SIG))
    if current != (newest.data, newest.signature):
        raise Failure("%s: the manifest pair served is not the newest release's (%s, %s); "
                      "prune only once that release is live (upload it whole first)"
                      % (args.mirror, newest.version, newest.generated))
    kept, dropped = known[:args.keep], known[args.keep:]
    needed = set()
    for release in kept:
        needed |= named_objects(store, args.mirror, release.doc)
    objects = store.listing("objects", dirs=False)
    gone = sorted(n for n in objects if OBJECT_NAME.fullmatch(n) and n not in needed)
    doomed = ["objects/" + n for n in gone]
    freed = sum(objects[n] for n in gone)
    for release in dropped:
        folder = "%s/%s/" % (RELEASES, release.version)
        files = store.listing(folder, dirs=False)
        doomed += [folder + n for n in sorted(files)]
        freed += sum(files.values())
    verb = "would delete" if args.dry_run else "deleting"
    for rel in doomed if not args.json else ():
        print("korvanth-publish: %s %s" % (verb, rel))
    if doomed and not args.dry_run:
        store.delete(doomed)
    if args.json:
        print_json({"mirror": args.mirror, "dry_run": args.dry_run,
                    "kept": [r.version for r in kept], "dropped": [r.version for r in dropped],
                    "deleted": doomed, "objects": len(gone), "bytes": freed})
        return 0
    print("korvanth-publish: %s kept releases %s; %s %d objects and %d old releases, "
          "%s bytes %s" % (said(args.mirror), ", ".join(r.version for r in kept),
                           "would delete" if args.dry_run else "deleted", len(gone),
                           len(dropped), "{:,}".format(freed),
                           "to free" if args.dry_run else "freed"))
    return 0
