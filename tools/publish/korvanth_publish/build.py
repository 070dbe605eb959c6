"""`build`: a client folder into a mirror tree. Every file is hashed and
packed by a pool of worker processes into a staging folder; only when every
check has passed are the objects moved into objects/ and the manifest pair
written, so a refused build leaves the tree as it was."""

import datetime
import multiprocessing
import os
import shutil
import stat
import sys
import tempfile

from . import chunks, deltas, history, pack
from .common import (LAUNCHER_NAME, MAX_MANIFEST_BYTES, MAX_MANIFEST_MIRRORS,
                     MAX_MIRROR_BYTES, MAX_VERSION_BYTES, TIME_FORMAT, TIME_RE, Failure,
                     flush_file_system, now_text, shown, utf8_len)
from .diff import add_player_options, print_patch
from .keys import check_release_key, listed_point
from .progress import Progress
from .release import manifest_bytes
from .rules import read_rules
from .scan import ClientFile, inside, scan_client
from .signing import add_options as add_signing_options, load_signer, sign
from .verify import read_manifest
from .workers import POLL_SECONDS, WorkerPool

STAGING_PREFIX = ".korvanth-staging-"


def check_release_options(args):
    if not args.version or utf8_len(args.version) > MAX_VERSION_BYTES:
        raise Failure("--version: 1 to %d bytes of text" % MAX_VERSION_BYTES)
    if any(ord(c) < 0x20 or ord(c) == 0x7F for c in args.version):
        raise Failure("--version: control characters are not allowed")
    if history.version_folder_problem(args.version):
        raise Failure(history.version_folder_problem(args.version))
    generated = args.generated or now_text()
    try:
        if not TIME_RE.fullmatch(generated):
            raise ValueError
        when = datetime.datetime.strptime(generated, TIME_FORMAT)
        if when.year < 1970:
            raise ValueError
    except ValueError:
        raise Failure("--generated: %r is not a UTC time YYYY-MM-DDTHH:MM:SSZ" % generated)
    seen = set()
    for url in args.mirror:
        if not url.startswith("https://") or not url.endswith("/") or \
                utf8_len(url) > MAX_MIRROR_BYTES:
            raise Failure("--mirror %s: the launcher takes https:// addresses ending in /, "
                          "at most %d bytes" % (url, MAX_MIRROR_BYTES))
        if url.lower() in seen:
            raise Failure("--mirror %s: given twice" % url)
        seen.add(url.lower())
    if len(args.mirror) > MAX_MANIFEST_MIRRORS:
        raise Failure("--mirror: the launcher uses at most %d mirrors from a manifest"
                      % MAX_MANIFEST_MIRRORS)
    if args.jobs < 1:
        raise Failure("--jobs: at least 1")
    if args.compression == "best" and pack.strong_encoder_missing():
        raise Failure(pack.strong_encoder_missing())
    if args.chunk_min_file < 1:
        raise Failure("--chunk-min-file: at least 1 byte")
    if not args.no_deltas:
        deltas.check_options(args)
    expires = None
    if args.expires_in is not None:
        if not 1 <= args.expires_in <= 36500:
            raise Failure("--expires-in: 1 to 36500 days")
        expires = (when + datetime.timedelta(days=args.expires_in)).strftime(TIME_FORMAT)
    return generated, expires


def plan_release(args):
    """(client files with their rules, remove paths, launcher file or None);
    refuses anything the launcher could not use."""
    if os.path.isdir(args.client) and inside(os.path.realpath(args.out),
                                             os.path.realpath(args.client)):
        raise Failure("%s: the mirror tree is inside the client folder, whose next release "
                      "would carry it" % args.out)
    rules, removes = read_rules(args.rules)
    files = scan_client(args.client)
    planned, unmatched = [], []
    for f in files:
        rule = next((r for r in rules if r.matches(f.rel)), None)
        if rule is None:
            unmatched.append(f.rel)
        planned.append((f, rule))
    if unmatched:
        raise Failure("%s: no rule matches %d files of %s; add rules for them:\n%s"
                      % (args.rules, len(unmatched), args.client,
                         "\n".join("  " + shown(r) for r in unmatched)))
    if not any(rule.group != "optional" for _, rule in planned):
        raise Failure("%s: no files for the release (the manifest needs at least one)"
                      % args.client)
    folded = {f.rel.lower() for f in files}
    for path in removes:
        if path.lower() in folded:
            raise Failure("%s: remove %s names a file of this release" % (args.rules, path))
    launcher = None
    if args.launcher:
        source = os.path.realpath(args.launcher)
        with pack.open_source(source) as f:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode) or f.read(2) != b"MZ":
                raise Failure("%s: not a Windows program" % args.launcher)
        launcher = ClientFile(LAUNCHER_NAME, source, st)
    return planned, removes, launcher


def run_pool(tasks, jobs, quiet):
    """Packs every task; the results in task order, whatever order the
    workers finish in. The largest files start first, so no worker is left
    with a big file at the end while the others idle. A file that is also
    cut into chunks counts twice on the progress line: it is read again."""
    total = sum(t.key.size * (2 if t.chunker else 1) for t in tasks)
    progress = Progress(sys.stderr, len(tasks), total, quiet)
    counter = multiprocessing.Value("q", 0)
    order = sorted(range(len(tasks)), key=lambda i: -tasks[i].key.size)
    results = [None] * len(tasks)
    with WorkerPool(jobs, progress, start_worker, (counter,)) as workers:
        pending = workers.pool.imap_unordered(pack.pack, [(i, tasks[i]) for i in order])
        done = 0
        while done < len(tasks):
            try:
                result = pending.next(timeout=POLL_SECONDS)
                results[result.index] = result
                done += 1
            except multiprocessing.TimeoutError:
                workers.check()
            progress.show(done, counter.value, final=done == len(tasks))
    return results


def start_worker(counter):
    pack.counter = counter


def move_object(staged, target, packed):
    """Puts a staged object and its .gz in place unless the tree holds them
    (a file or chunk of the same content earlier in this build may have put
    them there). The .gz goes first: a plain object alone means "gzip saves
    nothing" to the next build. Returns the number of files moved."""
    moved = 0
    if packed and not os.path.exists(target + ".gz"):
        os.replace(staged + ".gz", target + ".gz")
        moved += 1
    if not os.path.exists(target):
        os.replace(staged, target)
        moved += 1
    return moved


def commit(out, version, results, delta_made, data, signature):
    """Moves the staged objects into place and makes them and the moves
    durable; only then writes the manifest pair that names them, into the
    history first. Chunks, indexes and deltas go before nothing names them
    yet, like every object."""
    objects_dir = os.path.join(out, "objects")
    written = 0
    for digest, staged, packed in delta_made.staged if delta_made else []:
        move_object(staged, os.path.join(objects_dir, digest), packed)
    for r in results:
        if r.staged is not None:
            written += move_object(r.staged, os.path.join(objects_dir, r.digest), r.packed)
        chunked = r.chunked
        if chunked is None:
            continue
        for chunk_digest, path in chunked.staged:
            move_object(path, os.path.join(objects_dir, chunk_digest), os.path.exists(path + ".gz"))
        if chunked.index_staged:
            move_object(chunked.index_staged, os.path.join(objects_dir, chunked.index_digest), 0)
    flush_file_system(objects_dir)
    history.keep_current(out)
    history.keep_pair(out, version, data, signature)
    history.write_pair(out, data, signature)
    return written


def cpu_count():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def add_parser(sub):
    p = sub.add_parser("build", help="publish a client folder into a mirror tree")
    p.add_argument("--client", required=True, metavar="DIR",
                   help="the client folder to publish, as players get it")
    p.add_argument("--rules", required=True, metavar="RULES",
                   help="the rules file that gives each client file its group")
    p.add_argument("--key", required=True, metavar="KEY.pem",
                   help="the private key that signs manifest.sig (a release key, or the key "
                        "the launcher carries; PEM, encrypted or not); with --sign-command its "
                        "public half, or its id in --out's keys.json")
    add_signing_options(p, "--key")
    p.add_argument("--version", required=True, metavar="NAME",
                   help="the release's version, as players see it (at most %d bytes)"
                        % MAX_VERSION_BYTES)
    p.add_argument("--out", required=True, metavar="MIRROR",
                   help="the mirror tree to build into; build every release into the same one")
    p.add_argument("--generated", metavar="YYYY-MM-DDTHH:MM:SSZ",
                   help="the release's time in UTC (default: now); later than the tree's "
                        "current release")
    p.add_argument("--mirror", action="append", default=[], metavar="URL",
                   help="a mirror launchers try after their built-in ones (https, ending "
                        "in /; up to %d, repeatable)" % MAX_MANIFEST_MIRRORS)
    p.add_argument("--launcher", metavar="EXE",
                   help="publish this Korvanth.exe too: players' launchers replace "
                        "themselves with it")
    p.add_argument("--jobs", type=int, default=cpu_count(), metavar="N",
                   help="worker processes (default: every core, %d here)" % cpu_count())
    p.add_argument("--compression", choices=("zlib9", "best"), default="zlib9",
                   help="best: the stronger libdeflate encoder where it saves bytes")
    p.add_argument("--against", metavar="OLD_MIRROR|VERSION",
                   help="also print what players of an older release download: a mirror "
                        "tree, or a version kept in --out's releases/")
    p.add_argument("--quiet", action="store_true", help="print nothing but errors")
    p.add_argument("--no-chunks", action="store_true",
                   help="publish large files as whole objects only")
    p.add_argument("--chunk-min-file", type=int, default=chunks.DEFAULT_MIN_FILE,
                   metavar="BYTES",
                   help="cut files of at least this size into chunks as well (default %d, "
                        "4 MiB)" % chunks.DEFAULT_MIN_FILE)
    p.add_argument("--expires-in", type=int, metavar="DAYS",
                   help="launchers warn that the mirrors may be out of date DAYS days after "
                        "--generated")
    p.add_argument("--force", action="store_true",
                   help="replace a published version, or publish a release not newer than "
                        "the tree's current one")
    deltas.add_options(p)
    add_player_options(p)
    p.set_defaults(func=cmd_build)


def cmd_build(args):
    generated, expires = check_release_options(args)
    key = load_signer(args, args.key, lambda name: listed_point(args.out, name))
    check_release_key(args.out, key)
    history.check_signing_key(args.out, key, args.launcher)
    history.check_new_release(args.out, args.version, generated, args.force)
    old = history.find_release(args.against, args.out) if args.against else None
    old_doc = read_manifest(old.manifest_dir) if old else None
    planned, removes, launcher = plan_release(args)

    # Folders this build makes are taken away again if it fails.
    made = [d for d in (args.out, os.path.join(args.out, "objects")) if not os.path.isdir(d)]
    for d in made:
        os.makedirs(d)
    staging = tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=args.out)
    try:
        # Client files of at least the threshold are also cut into chunks;
        # the launcher (never a client file's path) updates itself whole.
        to_cut = set() if args.no_chunks else {f.rel for f, _ in planned
                                                 if f.size >= args.chunk_min_file}
        chunker = chunks.find_chunker(args.chunker) if to_cut else None
        sources = [f for f, _ in planned] + ([launcher] if launcher else [])
        tasks = [pack.PackTask(f.rel, f.source, f.key, os.path.join(args.out, "objects"),
                               staging, args.compression,
                               chunker if f.rel in to_cut else None) for f in sources]
        results = run_pool(tasks, args.jobs, args.quiet)
        files, optional, made_from = [], [], []
        for (f, rule), r in zip(planned, results):
            entry = {"p": f.rel, "s": r.size, "h": r.digest, "z": r.packed, "seed": rule.seed,
                     "id": rule.id, "chunks": r.chunked.index_digest if r.chunked else None}
            # Deltas are made from the bytes this build staged or the tree
            # holds: the client folder may change under the build. A staged
            # chunk index is not in objects/ yet.
            made_from.append((entry, r.staged or os.path.join(args.out, "objects", r.digest),
                              os.path.dirname(r.chunked.index_staged)
                              if r.chunked and r.chunked.index_staged else None))
            if rule.group == "optional":
                optional.append(entry)
            else:
                entry["g"] = rule.group
                files.append(entry)
        delta_made = None
        if not args.no_deltas:
            delta_made = deltas.make_deltas(args, made_from, staging)
            for e in files + optional:
                e["deltas"] = delta_made.records.get(e["p"])
        entry = None
        if launcher:
            r = results[-1]  # the launcher's task is the last
            entry = {"p": LAUNCHER_NAME, "s": r.size, "h": r.digest, "z": r.packed}
        data = manifest_bytes(args.version, generated, entry, args.mirror, files, optional,
                              removes, expires)
        if len(data) > MAX_MANIFEST_BYTES:
            raise Failure("manifest.json: %d bytes, the launcher reads at most %d%s"
                          % (len(data), MAX_MANIFEST_BYTES,
                             "; name fewer deltas (--delta-releases, --delta-min-file) or "
                             "build with --no-deltas" if delta_made and delta_made.records else ""))
        written = commit(args.out, args.version, results, delta_made, data, sign(key, data))
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        for d in reversed(made):
            try:
                os.rmdir(d)
            except OSError:
                pass
        raise
    shutil.rmtree(staging, ignore_errors=True)
    oversized = [f.rel for (f, _), r in zip(planned, results)
                 if f.rel in to_cut and r.chunked is None]
    summarize(args, generated, files, optional, results, written, oversized, delta_made)
    if old is not None:
        print_patch(old.tree, args.out, old_doc, read_manifest(args.out), args)
    return 0


def summarize(args, generated, files, optional, results, written, oversized, delta_made):
    if args.quiet:
        return
    new = [r for r in results if r.staged is not None]
    print("korvanth-publish: %s (%s): %d files, %d optional, %d objects written, %d reused"
          % (args.version, generated, len(files), len(optional), written,
             len(results) - len(new)))
    cut = [r.chunked for r in results if r.chunked is not None]
    if cut:
        written_chunks = len({d for c in cut for d, _ in c.staged})
        print("korvanth-publish: %d files in chunks: %d chunks, %d chunk objects written"
              % (len(cut), sum(c.count for c in cut), written_chunks))
    for rel in oversized:
        print("korvanth-publish: %s: published without chunks: its index would be larger "
              "than a launcher reads" % rel)
    for line in deltas.summary(delta_made) if delta_made else []:
        print(line)
    new = {r.digest: r for r in new}.values()  # one object for files of the same content
    if args.compression == "best" and new:
        ours = sum(r.packed or r.size for r in new)
        zlib9 = sum(r.zlib_wire for r in new)
        print("korvanth-publish: compression best: %s bytes over the wire for the %d new "
              "objects, zlib level 9 %s: %s bytes (%.2f%%) saved"
              % ("{:,}".format(ours), len(new), "{:,}".format(zlib9),
                 "{:,}".format(zlib9 - ours), 100.0 * (zlib9 - ours) / max(zlib9, 1)))
