#!/usr/bin/python3
"""The peers and the closing table of scripts/bench-patch.

  patch_pairs.py peers DIR
  patch_pairs.py table DIR...

A DIR is one pair of releases as bench-patch lays it out: the client folders
old/ and new/ (older/ too for a player two releases behind), the trees
korvanth-publish built from them (tree-old, tree-new, tree-older; tree-new
holds them all), label (a line: the pair's short name, "synthetic" or "real",
and what it is),
and what bench-patch measured: build-times, launcher (the driver's bytes
from the mirror's access log) and update-times.

`peers` makes, for every file a player on the old release must fetch, the
peers' patches from the old file to the new one: xdelta3 -9 -S none then
gzip -9, zstd -19 --long=27 --patch-from, and bsdiff (bzip2 inside); a file
with nothing to patch from counts at its whole object's size for every peer.
The patches are kept in DIR/deltas under the two files' digests, so that a
run over the same releases makes none again. The sizes go to DIR/peers.json.

`table` prints the bytes of each pair, then every target with its verdict.
"""

import json
import os
import statistics
import subprocess
import sys
import time

PEERS = ("xdelta", "zstd", "bsdiff")
# (what, target) per kind of pair: the launcher's bytes against the per-file
# best of bsdiff and zstd on real releases, against zstd's patch on the
# synthetic archives, whose edits suit zstd's matcher.
BYTES_TARGET = {"real": ("best", 1.2), "synthetic": ("zstd", 1.5)}
BEHIND_TARGET = 1.3
UPDATE_TARGET = {"real": 2.0, "synthetic": 3.0}
BUILD_TARGET = 3.0


def manifest(tree):
    with open(os.path.join(tree, "manifest.json")) as f:
        return json.load(f)


def pending(old_tree, new_tree):
    """(new manifest entry, [old paths the launcher may take chunks from]) of
    every file a player on the old release must fetch: the old copy at its
    path and the files the new release removes."""
    new, old = manifest(new_tree), manifest(old_tree)
    had = {e["p"]: e["h"] for e in old["files"]}
    removed = [p for p in new.get("remove", []) if p in had]
    out = []
    for e in new["files"]:
        if had.get(e["p"]) != e["h"]:
            out.append((e, ([e["p"]] if e["p"] in had else []) + removed))
    return out


def digest_of(tree, rel):
    return next(e["h"] for e in manifest(tree)["files"] if e["p"] == rel)


def run_to(out, argv, stdin=None, pipe_to=None):
    """argv's output file (or stdout piped through pipe_to) written beside
    `out` and renamed onto it once whole."""
    tmp = out + ".tmp"
    if pipe_to is None:
        subprocess.run(argv + [tmp], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    else:
        with open(tmp, "wb") as f:
            first = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            subprocess.run(pipe_to, stdin=first.stdout, stdout=f, check=True)
            first.stdout.close()
            if first.wait() != 0:
                raise subprocess.CalledProcessError(first.returncode, argv)
    os.replace(tmp, out)


def patches(folder, old, new, key):
    """The three peers' patch sizes from file old to file new, made once."""
    made = {"xdelta": os.path.join(folder, key + ".xdelta.gz"),
            "zstd": os.path.join(folder, key + ".zst"),
            "bsdiff": os.path.join(folder, key + ".bsdiff")}
    if not os.path.exists(made["xdelta"]):
        # -D: the bytes as they are, not a .gz file's decompressed content.
        run_to(made["xdelta"], ["xdelta3", "-9", "-S", "none", "-D", "-e", "-f", "-c", "-s", old,
                                new], pipe_to=["gzip", "-9", "-n"])
    if not os.path.exists(made["zstd"]):
        run_to(made["zstd"], ["zstd", "-q", "-f", "-19", "--long=27", "--patch-from=" + old,
                              new, "-o"])
    if not os.path.exists(made["bsdiff"]):
        run_to(made["bsdiff"], ["bsdiff", old, new])
    return {peer: os.path.getsize(path) for peer, path in made.items()}


def peer_sizes(pair, old_release, new_release):
    """Per pending file: its whole object's bytes over the wire and each peer's
    patch from the old file at the same path (else the first removed one)."""
    old_tree, new_tree = (os.path.join(pair, "tree-" + r) for r in (old_release, new_release))
    folder = os.path.join(pair, "deltas")
    os.makedirs(folder, exist_ok=True)
    out = []
    for entry, sources in pending(old_tree, new_tree):
        whole = entry.get("z") or entry["s"]
        row = {"p": entry["p"], "whole": whole}
        if sources:
            key = digest_of(old_tree, sources[0])[:16] + "-" + entry["h"][:16]
            row.update(patches(folder, os.path.join(pair, old_release, sources[0]),
                               os.path.join(pair, new_release, entry["p"]), key))
        else:
            row.update({peer: whole for peer in PEERS})
        out.append(row)
    return out


def peers(pair):
    start = time.monotonic()
    doc = {"pair": peer_sizes(pair, "old", "new")}
    if os.path.isdir(os.path.join(pair, "tree-older")):
        doc["behind"] = peer_sizes(pair, "older", "new")
    with open(os.path.join(pair, "peers.json.tmp"), "w") as f:
        json.dump(doc, f, indent=1)
    os.replace(os.path.join(pair, "peers.json.tmp"), os.path.join(pair, "peers.json"))
    print("%.0f" % (time.monotonic() - start))


def sums(rows):
    out = {key: sum(r[key] for r in rows) for key in ("whole",) + PEERS}
    out["best"] = sum(min(r["bsdiff"], r["zstd"]) for r in rows)
    return out


def read_lines(pair, name):
    """DIR/name's lines as lists of words; none when it is missing."""
    path = os.path.join(pair, name)
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.split() for line in f if line.strip()]


def figure(n):
    return "{:,}".format(n)


def show(xs):
    return "%.2f (%.2f-%.2f)" % (statistics.median(xs), min(xs), max(xs))


def verdict(ratio, target):
    return "target met" if ratio <= target else "target missed"


def table(pairs):
    summary = []
    for pair in pairs:
        with open(os.path.join(pair, "label")) as f:
            name, kind, label = f.read().split(None, 2)
        label = label.strip()
        with open(os.path.join(pair, "peers.json")) as f:
            doc = json.load(f)
        total = sums(doc["pair"])
        launcher = {words[0]: (int(words[1]), int(words[2]))
                    for words in read_lines(pair, "launcher")}
        new_files = manifest(os.path.join(pair, "tree-new"))["files"]
        print("%s: %d of %d files to fetch for a player on the old release (%s bytes in the new "
              "release)" % (label, len(doc["pair"]), len(new_files),
                            figure(sum(e["s"] for e in new_files))))
        against, target = BYTES_TARGET[kind]
        rows = []
        if "new" in launcher:
            rows.append(("launcher (the driver, mirror's log)", launcher["new"][0]))
        if "chunks" in launcher:
            rows.append(("launcher, chunks alone (--no-deltas)", launcher["chunks"][0]))
        rows += [("whole objects (gzip)", total["whole"]),
                 ("xdelta3 -9 -S none + gzip -9", total["xdelta"]),
                 ("zstd -19 --long=27 --patch-from", total["zstd"]),
                 ("bsdiff (bzip2 inside)", total["bsdiff"]),
                 ("per file best of bsdiff and zstd", total["best"])]
        for way, n in rows:
            print("  %-38s %14s bytes  %6.2f x %s  %7.4f x whole"
                  % (way, figure(n), n / total[against], against, n / total["whole"]))
        if "new" in launcher:
            print("  beside the objects, the launcher fetched %s bytes of manifest pair and keys"
                  % figure(launcher["new"][1]))
            ratio = launcher["new"][0] / total[against]
            summary.append(("%s: launcher / %s" % (name, against), ratio, target))
        else:
            summary.append(("%s: launcher / %s" % (name, against), None, "no driver run"))
        if "behind" in doc and "behind" in launcher:
            behind = sums(doc["behind"])
            print("  two releases behind: launcher %s bytes, per file best %s bytes"
                  % (figure(launcher["behind"][0]), figure(behind["best"])))
            summary.append(("%s, two releases behind: launcher / best" % name,
                            launcher["behind"][0] / behind["best"], BEHIND_TARGET))

        times = [tuple(map(float, words)) for words in read_lines(pair, "update-times")]
        if times:
            print("  update from a local mirror: %s s over %d alternated runs; hashing the new "
                  "files once (sha256_file, one thread, whole process) %s s; a verify of the "
                  "updated folder %s s" % (show([u for u, _, _ in times]), len(times),
                                           show([h for _, h, _ in times]),
                                           show([v for _, _, v in times])))
            summary.append(("%s: update / hashing once" % name,
                            statistics.median(u / h for u, h, _ in times), UPDATE_TARGET[kind]))
        builds = dict((words[0], float(words[1])) for words in read_lines(pair, "build-times"))
        if "deltas" in builds and "no-deltas" in builds:
            print("  publisher build of the new release: %.1f s, %.1f s with --no-deltas"
                  % (builds["deltas"], builds["no-deltas"]))
            summary.append(("%s: build / build --no-deltas" % name,
                            builds["deltas"] / builds["no-deltas"], BUILD_TARGET))
        elif "deltas" in builds:
            print("  publisher build of the new release: %.1f s" % builds["deltas"])
            summary.append(("%s: build / build --no-deltas" % name, None,
                            "build has no --no-deltas"))
        print()

    print("bench-patch: targets")
    for what, ratio, target in summary:
        if ratio is None:
            print("  %-44s   -            skipped (%s)" % (what, target))
        else:
            print("  %-44s %6.2f  <= %.1f  %s" % (what, ratio, target, verdict(ratio, target)))


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("peers", "table"):
        sys.exit(__doc__)
    if sys.argv[1] == "peers":
        peers(sys.argv[2])
    else:
        table(sys.argv[2:])


if __name__ == "__main__":
    main()
