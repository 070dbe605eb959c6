"""What a player who applied one release downloads to get the next: the same
decisions the launcher's update pass makes, taken on the two manifests, for
files with chunks the chunks the player's old copies lack, and for files
with a delta from the player's version the delta."""

import os
from typing import NamedTuple, Optional

from . import chunks
from .common import Failure, fold_case
from .history import find_release, is_tree
from .report import add_json_option, print_json
from .verify import read_manifest


class FileCost(NamedTuple):
    """What one pending file costs a player, each way a launcher fetches it."""
    path: str
    whole: int            # its whole object (0: an earlier file of the patch brings it)
    chunked: int          # with chunks (the whole object's cost where it has none)
    delta: Optional[int]  # the delta from the player's version, where the entry names one

    def choice(self):
        """The launcher's: a delta that costs less than the whole object,
        else chunks where they cost less, else the whole object."""
        if self.delta is not None and self.delta < self.whole:
            return "delta"
        return "chunks" if self.chunked < self.whole else "whole object"

    def cost(self):
        """What a launcher that knows deltas and chunks fetches."""
        return self.delta if self.choice() == "delta" else self.chunked


class Patch:
    def __init__(self):
        self.added, self.changed = [], []  # FileCosts
        self.removed = []                  # (path, deleted by the remove list)
        self.seeds_kept = []               # changed seed files players keep
        self.launcher = None               # bytes over the wire of a new launcher
        self.chunked_files = 0             # pending files that have chunks

    def pending(self):
        return self.added + self.changed

    def wire_bytes(self):
        return sum(f.whole for f in self.pending()) + (self.launcher or 0)

    def chunked_bytes(self):
        return sum(f.chunked for f in self.pending()) + (self.launcher or 0)

    def delta_bytes(self):
        return sum(f.cost() for f in self.pending()) + (self.launcher or 0)


class ChunkCosts:
    """What a file with chunks costs a player, as the launcher fetches it:
    its index, then the chunks that none of its local sources (the old copy
    at its path, files the release removes) holds, each at its .gz size
    where it has one, each once; the whole object instead where that is
    cheaper or nothing local is there to use. Old files without an index
    are cut with the chunk tool from their object in the old tree."""

    def __init__(self, old_mirror, new_mirror, chunker=None):
        self.old_objects = os.path.join(old_mirror, "objects")
        self.new_objects = os.path.join(new_mirror, "objects")
        self.chunker, self.tool = chunker, None
        self.indexes, self.held = {}, {}

    def records(self, objects_dir, entry):
        key = entry["chunks"]
        if key not in self.indexes:
            try:
                self.indexes[key] = chunks.read_index(objects_dir, key, entry["s"])
            except (OSError, ValueError) as e:
                raise Failure("objects/%s: the chunk index of %s: %s" % (key, entry["p"], e))
        return self.indexes[key]

    def chunks_of(self, entry):
        """The digests of an old file's chunks (empty when its object is not
        in the old tree to cut)."""
        key = entry["h"].lower()
        if key not in self.held:
            if entry.get("chunks"):
                self.held[key] = {d for _, _, d in self.records(self.old_objects, entry)}
            else:
                path = os.path.join(self.old_objects, key)
                if not os.path.isfile(path):
                    self.held[key] = set()
                else:
                    self.tool = self.tool or chunks.find_chunker(self.chunker)
                    self.held[key] = {d for _, _, d in chunks.cut(self.tool, path)}
        return self.held[key]

    def wire(self, entry, sources, index_dir=None):
        """`index_dir`: where the entry's index is, when not yet in the new
        tree's objects/ (a build that has only staged it)."""
        whole = wire_size(entry)
        if not entry.get("chunks") or not sources:
            return whole
        have = set()
        for source in sources:
            have |= self.chunks_of(source)
        records = self.records(index_dir or self.new_objects, entry)
        missing = {d: z or n for n, z, d in records if d not in have}
        return chunks.index_size(len(records)) + min(sum(missing.values()), whole)

    def storage(self, doc, objects_dir):
        """{chunk or index digest: bytes on the mirror} of a release."""
        out = {}
        for e in doc["files"] + doc.get("optional", []):
            if not e.get("chunks"):
                continue
            records = self.records(objects_dir, e)
            out[e["chunks"]] = chunks.index_size(len(records))
            for n, z, d in records:
                out[d] = n + z
        return out


def wire_size(entry):
    return entry.get("z") or entry["s"]


def delta_from(entry, before):
    """The wire size of the entry's delta from the player's version, or None."""
    old = before["h"].lower()
    return next((wire_size(d) for d in entry.get("deltas", []) if d["from"].lower() == old),
                None)


def delta_storage(doc):
    """{delta digest: bytes on the mirror, its .gz included} of a release."""
    return {d["h"].lower(): d["s"] + d.get("z", 0)
            for e in doc["files"] + doc.get("optional", []) for d in e.get("deltas", [])}


def wanted(doc, interface, dxvk):
    """The entries a player with these choices has installed, as the update
    pass picks them, in its order (files first, then optional ones)."""
    groups = {"base", "system", "interface" if interface else "stock"}
    out = [e for e in doc["files"] if e.get("g") in groups and not e.get("id")]
    out += [e for e in doc.get("optional", []) if dxvk and e.get("id") == "dxvk"]
    return out


def patch_between(old, new, interface=False, dxvk=False, costs=None):
    patch = Patch()
    had = {fold_case(e["p"]): e for e in wanted(old, interface, dxvk)}
    removed = {fold_case(p) for p in new.get("remove", [])}
    moved_away = [had[p] for p in removed if p in had]  # local until the pass removes them
    fetched = set()  # digests an earlier pending file brings: copied, not fetched again
    keeping = set()
    for e in wanted(new, interface, dxvk):
        key = fold_case(e["p"])
        keeping.add(key)
        before = had.get(key)
        digest = e["h"].lower()
        if before is not None and before["h"].lower() == digest:
            continue
        if before is not None and e.get("seed"):
            patch.seeds_kept.append(e["p"])
            continue
        wire = chunked = 0
        by_delta = None
        if digest not in fetched:
            wire = wire_size(e)
            sources = ([before] if before is not None else []) + moved_away
            chunked = costs.wire(e, sources) if costs else wire
            by_delta = delta_from(e, before) if before is not None else None
        fetched.add(digest)
        patch.chunked_files += 1 if e.get("chunks") else 0
        (patch.changed if before is not None else patch.added).append(
            FileCost(e["p"], wire, chunked, by_delta))
    for key, e in had.items():
        if key not in keeping:
            patch.removed.append((e["p"], key in removed))
    launcher = new.get("launcher")
    if launcher and launcher["h"].lower() != (old.get("launcher") or {}).get("h", "").lower():
        patch.launcher = wire_size(launcher)
    return patch


def describe(patch, old, new, listing):
    """The lines that tell the publisher what the patch costs."""
    lines = ["%s -> %s: %s bytes over the wire" % (old["version"], new["version"],
                                                   "{:,}".format(patch.wire_bytes()))]
    whole = patch.wire_bytes()
    if patch.chunked_files:
        ours = patch.chunked_bytes()
        lines.append("  with chunks: %s bytes over the wire (%.1f%% of whole objects; %d files "
                     "have chunks)" % ("{:,}".format(ours), 100.0 * ours / max(whole, 1),
                                       patch.chunked_files))
    if any(f.delta is not None for f in patch.pending()):
        ours = patch.delta_bytes()
        by = [f.choice() for f in patch.pending()]
        lines.append("  with deltas: %s bytes over the wire (%.1f%% of whole objects; %d files "
                     "by delta, %d by chunks)" % ("{:,}".format(ours), 100.0 * ours / max(whole, 1),
                                                  by.count("delta"), by.count("chunks")))
    if listing:
        lines += ["  + %s" % file_line(f) for f in patch.added]
        lines += ["  ~ %s" % file_line(f) for f in patch.changed]
        lines += ["  - %s%s" % (p, "" if gone else " (stays on players' disks)")
                  for p, gone in patch.removed]
    lines.append("  added %d files (%s bytes), changed %d files (%s bytes), removed %d files"
                 % (len(patch.added), "{:,}".format(sum(f.whole for f in patch.added)),
                    len(patch.changed), "{:,}".format(sum(f.whole for f in patch.changed)),
                    len(patch.removed)))
    stays = sum(1 for _, gone in patch.removed if not gone)
    if stays:
        lines.append("  %d removed files stay on players' disks: only the rules' `remove` "
                     "lines delete files" % stays)
    if patch.seeds_kept:
        lines.append("  %d changed seed files are not sent: players keep their copy"
                     % len(patch.seeds_kept))
    if patch.launcher is not None:
        lines.append("  a new launcher (%s bytes)" % "{:,}".format(patch.launcher))
    return lines


def file_line(f):
    """A pending file with its costs, and the launcher's choice where it has
    one: "path (whole bytes, with chunks, by delta): choice"."""
    text = "%s (%s bytes" % (f.path, "{:,}".format(f.whole))
    if f.chunked != f.whole:
        text += ", %s with chunks" % "{:,}".format(f.chunked)
    if f.delta is not None:
        text += ", %s by delta" % "{:,}".format(f.delta)
    text += ")"
    if f.chunked != f.whole or f.delta is not None:
        text += ": " + f.choice()
    return text


def chunk_storage(costs, old, new):
    """What the new release's chunks and indexes take on the mirror, and how
    much of it the old release did not have: (objects, bytes, new bytes), or
    None when it has no chunks."""
    ours, before = costs.storage(new, costs.new_objects), costs.storage(old, costs.old_objects)
    if not ours:
        return None
    return len(ours), sum(ours.values()), sum(n for d, n in ours.items() if d not in before)


def storage_line(costs, old, new):
    stored = chunk_storage(costs, old, new)
    if not stored:
        return None
    return ("  chunks on the mirror: %d objects, %s bytes (%s bytes new since %s)"
            % (stored[0], "{:,}".format(stored[1]), "{:,}".format(stored[2]), old["version"]))


def patch_record(old_mirror, new_mirror, old, new, args):
    """The patch as --json prints it: every pending file with its costs and
    the launcher's choice, whatever --list says."""
    costs = ChunkCosts(old_mirror, new_mirror, args.chunker)
    patch = patch_between(old, new, args.interface, args.dxvk, costs)

    def release(doc):
        return {"version": doc["version"], "generated": doc["generated"]}

    def pending(f):
        return {"path": f.path, "whole": f.whole, "chunked": f.chunked, "delta": f.delta,
                "choice": f.choice(), "bytes": f.cost()}

    stored, kept = chunk_storage(costs, old, new), delta_storage(new)
    return {
        "old": release(old), "new": release(new),
        "players": {"interface": bool(args.interface), "dxvk": bool(args.dxvk)},
        "wire_bytes": {"whole": patch.wire_bytes(), "with_chunks": patch.chunked_bytes(),
                       "with_deltas": patch.delta_bytes()},
        "added": [pending(f) for f in patch.added],
        "changed": [pending(f) for f in patch.changed],
        "removed": [{"path": p, "deleted": gone} for p, gone in patch.removed],
        "seeds_kept": patch.seeds_kept,
        "launcher": patch.launcher,
        "chunks_on_mirror": None if not stored else {
            "objects": stored[0], "bytes": stored[1], "new_bytes": stored[2]},
        "deltas_on_mirror": None if not kept else {
            "objects": len(kept), "bytes": sum(kept.values())},
    }


def print_patch(old_mirror, new_mirror, old, new, args):
    costs = ChunkCosts(old_mirror, new_mirror, args.chunker)
    patch = patch_between(old, new, args.interface, args.dxvk, costs)
    who = "players with the %s interface%s" % ("custom" if args.interface else "stock",
                                               " and the Vulkan renderer" if args.dxvk else "")
    lines = describe(patch, old, new, args.list)
    lines[0] += " for %s" % who
    stored = storage_line(costs, old, new)
    if stored:
        lines.append(stored)
    kept = delta_storage(new)
    if kept:
        lines.append("  deltas on the mirror: %d objects, %s bytes" % (
            len(kept), "{:,}".format(sum(kept.values()))))
    for line in lines:
        print("korvanth-publish: " + line if line == lines[0] else line)
    return patch


def add_player_options(p):
    """Options `diff` and `build` share: which players a patch is counted
    for, and the chunk tool to cut files with."""
    p.add_argument("--chunker", metavar="PATH", default=os.environ.get("KORVANTH_CHUNKER"),
                   help="the native korvanth-chunk to cut files with (default: "
                        "$KORVANTH_CHUNKER, else built from tools/chunker into the cache "
                        "folder when needed)")
    p.add_argument("--interface", type=int, choices=(0, 1), default=0,
                   help="count for players with the custom interface (default: stock)")
    p.add_argument("--dxvk", type=int, choices=(0, 1), default=0,
                   help="count for players with the Vulkan renderer on")
    p.add_argument("--list", action="store_true", help="name every file of the patch")


def add_parser(sub):
    p = sub.add_parser("diff", help="what players of OLD_MIRROR download to get NEW_MIRROR")
    add_player_options(p)
    p.add_argument("old", metavar="OLD_MIRROR",
                   help="the players' release: a mirror tree, or a version kept in the other "
                        "tree's releases/")
    p.add_argument("new", metavar="NEW_MIRROR",
                   help="the release they update to: a mirror tree, or a version kept in the "
                        "other tree's releases/")
    add_json_option(p)
    p.set_defaults(func=cmd_diff)


def cmd_diff(args):
    """Either side may be a version kept in the other side's tree (its
    releases/ folder)."""
    new = find_release(args.new, args.old if is_tree(args.old) else None)
    old = find_release(args.old, new.tree)
    show = patch_record if args.json else print_patch
    result = show(old.tree, new.tree, read_manifest(old.manifest_dir),
                  read_manifest(new.manifest_dir), args)
    if args.json:
        print_json(result)
    return 0
