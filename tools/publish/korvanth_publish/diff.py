"""What a player who applied one release downloads to get the next: the same
decisions the launcher's update pass makes, taken on the two manifests."""

from .common import fold_case
from .verify import read_manifest


class Patch:
    def __init__(self):
        self.added, self.changed = [], []  # (path, bytes over the wire)
        self.removed = []                  # (path, deleted by the remove list)
        self.seeds_kept = []               # changed seed files players keep
        self.launcher = None               # bytes over the wire of a new launcher

    def wire_bytes(self):
        return sum(w for _, w in self.added + self.changed) + (self.launcher or 0)


def wire_size(entry):
    return entry.get("z") or entry["s"]


def wanted(doc, interface, dxvk):
    """The entries a player with these choices has installed, as the update
    pass picks them, in its order (files first, then optional ones)."""
    groups = {"base", "system", "interface" if interface else "stock"}
    out = [e for e in doc["files"] if e.get("g") in groups and not e.get("id")]
    out += [e for e in doc.get("optional", []) if dxvk and e.get("id") == "dxvk"]
    return out


def patch_between(old, new, interface=False, dxvk=False):
    patch = Patch()
    had = {fold_case(e["p"]): e for e in wanted(old, interface, dxvk)}
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
        wire = 0 if digest in fetched else wire_size(e)
        fetched.add(digest)
        (patch.changed if before is not None else patch.added).append((e["p"], wire))
    removed = {fold_case(p) for p in new.get("remove", [])}
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
    if listing:
        lines += ["  + %s (%s bytes)" % (p, "{:,}".format(w)) for p, w in patch.added]
        lines += ["  ~ %s (%s bytes)" % (p, "{:,}".format(w)) for p, w in patch.changed]
        lines += ["  - %s%s" % (p, "" if gone else " (stays on players' disks)")
                  for p, gone in patch.removed]
    lines.append("  added %d files (%s bytes), changed %d files (%s bytes), removed %d files"
                 % (len(patch.added), "{:,}".format(sum(w for _, w in patch.added)),
                    len(patch.changed), "{:,}".format(sum(w for _, w in patch.changed)),
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


def print_patch(old, new, args):
    patch = patch_between(old, new, args.interface, args.dxvk)
    who = "players with the %s interface%s" % ("custom" if args.interface else "stock",
                                               " and the Vulkan renderer" if args.dxvk else "")
    lines = describe(patch, old, new, args.list)
    lines[0] += " for %s" % who
    for line in lines:
        print("korvanth-publish: " + line if line == lines[0] else line)
    return patch


def cmd_diff(args):
    print_patch(read_manifest(args.old), read_manifest(args.new), args)
    return 0
