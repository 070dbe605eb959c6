"""Deltas between releases, made by `build`: for each large client file, a
delta object from each other version of it that the tree's last few
releases carried at its path, so that a player's launcher holding that
version fetches the delta instead of the whole object or its chunks.

Deltas are made after packing, by the same number of worker processes, in
pieces (delta.segments) so that one large file keeps every core busy. bsdiff
holds a suffix array of the old bytes: the pieces that run at once are kept
within a memory budget by their estimates. Its search slows down
quadratically on long runs of one repeated byte: such runs are cut out of
its input (delta.encode_piece), and the build says which files' deltas were
made so. Each piece, and each file's pieces together, still get a processor
time, past which the file is published without deltas.

A delta is named in the manifest by the two digests it joins, so one that
an earlier release names and the tree still holds is used again as it is."""

import hashlib
import math
import os
import queue
import shutil
import sys
import zlib
from typing import NamedTuple, Optional

from . import delta, history
from .common import (BLOCK, MANIFEST_JSON, Failure, fold_case, hash_file, shown,
                     start_writeback)
from .diff import ChunkCosts
from .progress import Progress
from .verify import check_manifest
from .workers import POLL_SECONDS, WorkerPool

DEFAULT_MIN_FILE = 1 << 20
DEFAULT_MAX_FILE = 1 << 30
DEFAULT_RELEASES = 3
DEFAULT_SEGMENT = 1 << 20
# bsdiff's memory per byte of old bytes it searches (its suffix array and
# the work beside it; Debian's measures about 9).
SUFFIX_FACTOR = 17
# bsdiff's processor time: a piece may take this much per MiB of its old
# and new bytes, and a file's pieces together this much per MiB of the file
# (about half a second is usual on compiled code).
CPU_SECONDS_BASE, CPU_SECONDS_PER_MIB = 10, 3
FILE_CPU_SECONDS_BASE, FILE_CPU_SECONDS_PER_MIB = 60, 3


class Earlier(NamedTuple):
    """A release of the tree before this build's, newest first."""
    version: str
    doc: dict


class Job:
    """One delta to make: the new file (one object, maybe at several paths)
    from one old version of it."""

    def __init__(self, entry, new_path, old_digest, old_size, version, segment):
        self.rel, self.new_path = entry["p"], new_path
        self.new_digest, self.new_size = entry["h"], entry["s"]
        self.old_digest, self.old_size, self.version = old_digest, old_size, version
        self.parts = delta.segments(self.new_size, segment)
        self.width = delta.window_width(old_size, segment)
        self.pieces = [None] * len(self.parts)
        self.old_path = None
        self.dropped = False
        self.record = None  # the manifest's record once made
        self.runs_cut = []  # per piece with runs cut from bsdiff's input: their bytes
        self.staged = None  # (digest, staged path, whether a .gz is staged)


class Made:
    """What the delta phase gives the build: each entry's records, the
    staged objects, and the lines for the summary."""

    def __init__(self):
        self.records = {}  # path -> [{"from", "h", "s", "z"?}], newest release first
        self.staged = []   # (digest, staged path, with a .gz)
        self.notes = []    # why a file or an old version has no delta
        self.written = self.reused = self.not_kept = self.written_bytes = 0
        self.cpu = {}      # path -> bsdiff's processor time on its pieces so far
        self.peak_kib = 0
        self.considered = False


def physical_memory():
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return 4 << 30


def default_budget():
    return physical_memory() * 3 // 4


def check_options(args):
    if args.delta_min_file < 1:
        raise Failure("--delta-min-file: at least 1 byte")
    if args.delta_max_file < args.delta_min_file:
        raise Failure("--delta-max-file: not below --delta-min-file")
    if args.delta_releases < 1:
        raise Failure("--delta-releases: at least 1")
    if args.delta_segment < 4096:
        raise Failure("--delta-segment: at least 4096 bytes")
    if args.delta_memory < 1 << 20:
        raise Failure("--delta-memory: at least 1 MiB")


def read_release(folder, say):
    pair = history.read_pair(folder)
    if pair is None:
        return None
    problems = []
    doc, _ = check_manifest(pair.data, problems)
    if problems:
        say("%s: not read for deltas: %s" % (os.path.join(folder, MANIFEST_JSON),
                                              "; ".join(problems)))
        return None
    return doc


def earlier_releases(out, version, say):
    """The tree's releases before this build, newest first: the one it
    serves now, then those of releases/ by time (a release this build
    replaces with --force is not among them)."""
    found, seen = [], {version}
    current = read_release(out, say)
    if current is not None and current["version"] not in seen:
        found.append(Earlier(current["version"], current))
        seen.add(current["version"])
    kept = os.path.join(out, history.RELEASES)
    others = []
    for name in sorted(os.listdir(kept)) if os.path.isdir(kept) else []:
        if name in seen or not os.path.isdir(os.path.join(kept, name)):
            continue
        doc = read_release(os.path.join(kept, name), say)
        if doc is not None and doc["version"] == name:
            others.append(Earlier(name, doc))
    others.sort(key=lambda r: (r.doc["generated"], r.version), reverse=True)
    return found + others


def client_entries(doc):
    return doc["files"] + doc.get("optional", [])


def made_before(earlier, objects_dir):
    """{(old digest, new digest): record} of the deltas earlier releases
    name whose objects the tree still holds with their sizes."""
    known = {}
    for release in earlier:
        for e in client_entries(release.doc):
            for d in e.get("deltas", []):
                key = (d["from"].lower(), e["h"].lower())
                name = os.path.join(objects_dir, d["h"].lower())
                if key in known or not size_is(name, d["s"]):
                    continue
                record = {"from": key[0], "h": d["h"].lower(), "s": d["s"]}
                if d.get("z") and size_is(name + ".gz", d["z"]):
                    record["z"] = d["z"]
                known[key] = record
    return known


def size_is(path, size):
    try:
        return os.path.getsize(path) == size
    except OSError:
        return False


def wire(record):
    return record.get("z") or record["s"]


def plan(args, entries, earlier, objects_dir, made):
    """The jobs to run, and for each path the old versions it wants deltas
    from; fills `made`'s notes. entries: (entry, path of the new file's
    plain object, folder of its staged chunk index or None)."""
    known = made_before(earlier, objects_dir)
    recent = earlier[:args.delta_releases]
    versions = [{fold_case(e["p"]): e for e in client_entries(r.doc)} for r in recent]
    jobs, wanted = {}, {}
    for entry, new_path, index_dir in entries:
        digest, size = entry["h"], entry["s"]
        olds = []  # (digest, entry, version), newest first, each digest once
        for release, by_path in zip(recent, versions):
            old = by_path.get(fold_case(entry["p"]))
            if old is not None and old["h"].lower() != digest and old["s"] > 0 and \
                    all(o[0] != old["h"].lower() for o in olds):
                olds.append((old["h"].lower(), old, release.version))
        if size < args.delta_min_file or not olds:
            continue
        made.considered = True
        if size > args.delta_max_file:
            made.notes.append("%s: %s bytes, above --delta-max-file: no deltas; players "
                              "update it with chunks" % (shown(entry["p"]), "{:,}".format(size)))
            continue
        wanted[entry["p"]] = [(entry, index_dir, old) for _, old, _ in olds]
        for old_digest, old, version in olds:
            key = (old_digest, digest)
            if key in known or key in jobs:
                continue
            jobs[key] = Job(entry, new_path, old_digest, old["s"], version, args.delta_segment)
    return jobs, wanted, known


def prepare_old(objects_dir, digest, size, staging):
    """Worker: the path of an old version's plain bytes, checked against its
    name; an object kept only as .gz is unpacked into the staging folder.
    Returns (path, None) or (None, why not)."""
    plain = os.path.join(objects_dir, digest)
    if os.path.isfile(plain):
        if hash_file(plain) != (digest, size):
            return None, "objects/%s does not match its name" % digest
        return plain, None
    packed = plain + ".gz"
    if not os.path.isfile(packed):
        return None, "objects/%s is not in the tree" % digest
    unpacked = os.path.join(staging, "old-" + digest)
    try:
        with open(packed, "rb") as f, open(unpacked, "wb") as out:
            if unpack(f, out) != (digest, size):
                return None, "objects/%s.gz does not decode to its name" % digest
    except zlib.error as e:
        return None, "objects/%s.gz does not decode: %s" % (digest, e)
    return unpacked, None


def unpack(f, out):
    """Writes what a gzip member decodes to; its (SHA-256 hex, size)."""
    unpacker, h, n = zlib.decompressobj(31), hashlib.sha256(), 0
    for block in iter(lambda: f.read(BLOCK), b""):
        while block:
            data = unpacker.decompress(block, BLOCK)
            h.update(data)
            out.write(data)
            n += len(data)
            block = unpacker.unconsumed_tail
    if not unpacker.eof:
        raise zlib.error("truncated")
    return h.hexdigest(), n


def cpu_seconds(width, new_range):
    mib = (width + new_range[1] - new_range[0]) / (1 << 20)
    return CPU_SECONDS_BASE + int(math.ceil(CPU_SECONDS_PER_MIB * mib))


def finish(pieces, staged, old_path, old_size, new_size, old_digest, new_digest):
    """Worker: the delta object from its pieces, applied to the old file as
    a launcher would, and its .gz where gzip makes it smaller. Returns
    (digest, size, .gz size or 0, None), or (None, 0, 0, why) for a delta
    that does not make the new file."""
    digest, size = delta.assemble(staged, pieces, old_size, new_size, old_digest, new_digest)
    for p in pieces:
        os.unlink(p.path)
    try:
        delta.check_file(old_path, staged)
    except ValueError as e:
        os.unlink(staged)
        return None, 0, 0, str(e)
    packer, packed = zlib.compressobj(9, zlib.DEFLATED, 31, 9), 0
    with open(staged, "rb") as f, open(staged + ".gz", "wb") as gz:
        for block in iter(lambda: f.read(BLOCK), b""):
            out = packer.compress(block)
            gz.write(out)
            packed += len(out)
            if packed >= size:
                break
        out = packer.flush()
        gz.write(out)
        packed += len(out)
    if packed >= size:
        os.unlink(staged + ".gz")
        packed = 0
    for path in (staged, staged + ".gz") if packed else (staged,):
        os.chmod(path, 0o644)
        with open(path, "rb") as f:
            start_writeback(f)
    return digest, size, packed, None


class Task(NamedTuple):
    estimate: int   # bytes of memory it may take
    fn: object      # run by a worker with `args`
    args: tuple
    done: object    # called here with the answer
    owner: Optional[Job] = None
    too_slow: object = None  # called here when fn raised delta.TooSlow


class Scheduler:
    """Tasks for the pool in the order given, as many at once as there are
    workers, and never more at once than the memory budget holds by their
    estimates: a later task that fits goes ahead of one that does not, and
    one task alone always runs."""

    def __init__(self, workers, count, budget):
        self.workers, self.pool = workers, workers.pool
        self.count, self.budget = count, budget
        self.ready, self.running = [], {}
        self.answers = queue.Queue()
        self.next_id = 0

    def add(self, task):
        self.ready.append(task)

    def drop(self, rel):
        self.ready = [t for t in self.ready if t.owner is None or t.owner.rel != rel]

    def submit(self):
        used = sum(t.estimate for t in self.running.values())
        i = 0
        while len(self.running) < self.count and i < len(self.ready):
            task = self.ready[i]
            if self.running and used + task.estimate > self.budget:
                i += 1
                continue
            del self.ready[i]
            ident, self.next_id = self.next_id, self.next_id + 1
            self.running[ident] = task
            used += task.estimate
            self.pool.apply_async(task.fn, task.args,
                                  callback=lambda r, k=ident: self.answers.put((k, r, None)),
                                  error_callback=lambda e, k=ident: self.answers.put((k, None, e)))

    def step(self):
        """Waits a little for one answer and hands it on; False when no
        task is left."""
        self.submit()
        if not self.running:
            return False
        try:
            ident, result, error = self.answers.get(timeout=POLL_SECONDS)
        except queue.Empty:
            self.workers.check()
            return True
        task = self.running.pop(ident)
        if error is None:
            task.done(result)
        elif task.too_slow is not None and isinstance(error, delta.TooSlow):
            task.too_slow()
        else:
            raise error
        return True


def make_deltas(args, entries, staging):
    """Every delta of this build's large files; a Made."""
    made = Made()
    objects_dir = os.path.join(args.out, "objects")
    earlier = earlier_releases(args.out, args.version, made.notes.append)
    jobs, wanted, known = plan(args, entries, earlier, objects_dir, made)
    if jobs:
        run_jobs(args, list(jobs.values()), objects_dir, staging, made)
    costs = ChunkCosts(args.out, args.out, args.chunker)
    used, refused = {}, set()
    for rel, olds in wanted.items():
        records = []
        for entry, index_dir, old in olds:
            key = (old["h"].lower(), entry["h"])
            record = jobs[key].record if key in jobs else known[key]
            if record is None:
                continue
            if wire(record) >= worth(costs, entry, index_dir, old):
                refused.add(key)
                continue
            used[key] = record
            records.append(record)
        if records:
            made.records[rel] = records
    made.staged = [jobs[k].staged for k in used if k in jobs]
    made.written = len(made.staged)
    made.written_bytes = sum(r["s"] + r.get("z", 0) for k, r in used.items() if k in jobs)
    made.reused = len(used) - made.written
    made.not_kept = len(refused - set(used))
    return made


def worth(costs, entry, index_dir, old):
    """What a delta from `old` must cost less than: the whole object, and
    for a file with chunks what they cost a player with the old version at
    the path (a launcher takes a delta that saves against the whole object
    without weighing it against chunks). Where the chunks' cost cannot be
    told, the whole object alone."""
    try:
        return min(wire(entry), costs.wire(entry, [old], index_dir))
    except Failure:
        return wire(entry)


def run_jobs(args, jobs, objects_dir, staging, made):
    if not shutil.which("bsdiff"):
        raise Failure("deltas need bsdiff (Debian package bsdiff; scripts/bootstrap installs "
                      "it); install it or build with --no-deltas")
    jobs.sort(key=lambda j: -j.new_size)
    by_old = {}
    for job in jobs:
        by_old.setdefault(job.old_digest, []).append(job)
    total = sum(j.new_size for j in jobs)
    progress = Progress(sys.stderr, sum(len(j.parts) for j in jobs), total, args.quiet,
                        prefix="korvanth-publish: deltas: ", unit="pieces")
    state = {"pieces": 0, "bytes": 0}

    def drop_file(job, why):
        """A file none of whose deltas can be made: its work still waiting
        is dropped, what runs is let finish and thrown away."""
        for other in jobs:
            if other.rel == job.rel:
                other.dropped = True
        sched.drop(job.rel)
        made.notes.append("%s: no deltas: %s; players update it with chunks" % (shown(job.rel),
                                                                                 why))

    def old_ready(digest):
        def done(answer):
            path, problem = answer
            for job in by_old[digest]:
                if job.dropped:
                    continue
                if problem:
                    job.dropped = True
                    made.notes.append("%s: no delta from release %s: %s"
                                      % (shown(job.rel), job.version, problem))
                    continue
                job.old_path = path
                for i, n in enumerate(job.parts):
                    add_piece(job, i, n)
        return done

    def add_piece(job, i, new_range):
        out = os.path.join(staging, "piece-%s-%s-%d" % (job.old_digest[:16], job.new_digest[:16],
                                                         i))
        last = i == len(job.parts) - 1

        def done(piece):
            job.pieces[i] = piece
            made.peak_kib = max(made.peak_kib, piece.peak_kib)
            state["pieces"] += 1
            state["bytes"] += new_range[1] - new_range[0]
            progress.show(state["pieces"], state["bytes"])
            if piece.runs_cut:
                job.runs_cut.append(piece.runs_cut)
            spent = made.cpu[job.rel] = made.cpu.get(job.rel, 0) + piece.cpu
            budget = FILE_CPU_SECONDS_BASE + FILE_CPU_SECONDS_PER_MIB * job.new_size / (1 << 20)
            if not job.dropped and spent > budget:
                drop_file(job, "bsdiff used over %d s of processor time on it (runs of one "
                               "repeated byte make its search slow)" % budget)
            if not job.dropped and all(job.pieces):
                add_finish(job)

        def too_slow():
            if not job.dropped:
                drop_file(job, "bsdiff used over %d s of processor time on %s MiB of it (long "
                               "runs of one repeated byte make its search slow)"
                          % (cpu_seconds(job.width, new_range),
                             "%.1f" % ((new_range[1] - new_range[0]) / (1 << 20))))
        estimate = SUFFIX_FACTOR * job.width + new_range[1] - new_range[0]
        sched.add(Task(estimate, delta.encode_piece,
                       (job.old_path, job.new_path, new_range, job.width, out, last,
                        cpu_seconds(job.width, new_range)), done, job, too_slow))

    def add_finish(job):
        staged = os.path.join(staging, "delta-%s-%s" % (job.old_digest[:16], job.new_digest[:16]))

        def done(answer):
            digest, size, packed, problem = answer
            if problem:
                if not job.dropped:
                    made.notes.append("%s: no delta from release %s: the delta made fails "
                                      "when applied (%s); players update it with chunks"
                                      % (shown(job.rel), job.version, problem))
                return
            record = {"from": job.old_digest, "h": digest, "s": size}
            if packed:
                record["z"] = packed
            if not job.dropped:
                job.record, job.staged = record, (digest, staged, packed > 0)
                if job.runs_cut:
                    made.notes.append(
                        "%s: delta from release %s made with %s bytes of runs of one repeated "
                        "byte cut from bsdiff's input in %d of its %d pieces (bsdiff is too "
                        "slow on them)" % (shown(job.rel), job.version,
                                           "{:,}".format(sum(job.runs_cut)), len(job.runs_cut),
                                           len(job.parts)))
        sched.add(Task(0, finish, (job.pieces, staged, job.old_path, job.old_size, job.new_size,
                                   job.old_digest, job.new_digest), done, job))

    with WorkerPool(args.jobs, progress) as workers:
        sched = Scheduler(workers, args.jobs, args.delta_memory)
        for digest, group in by_old.items():
            sched.add(Task(0, prepare_old, (objects_dir, digest, group[0].old_size, staging),
                           old_ready(digest)))
        while sched.step():
            pass
        progress.show(state["pieces"], state["bytes"], final=True)


def summary(made):
    if not made.considered:
        return []
    line = ("korvanth-publish: deltas: %d written (%s bytes), %d reused"
            % (made.written, "{:,}".format(made.written_bytes), made.reused))
    if made.not_kept:
        line += (", %d not kept (not smaller than the whole object or the chunks)"
                 % made.not_kept)
    if made.peak_kib:
        line += "; peak encoder memory %.1f MiB" % (made.peak_kib / 1024)
    return ["korvanth-publish: " + n for n in made.notes] + [line]


def add_options(p):
    p.add_argument("--no-deltas", action="store_true",
                   help="write no deltas from earlier releases")
    p.add_argument("--delta-min-file", type=int, default=DEFAULT_MIN_FILE, metavar="BYTES",
                   help="files of at least this size get deltas (default %d, 1 MiB)"
                        % DEFAULT_MIN_FILE)
    p.add_argument("--delta-max-file", type=int, default=DEFAULT_MAX_FILE, metavar="BYTES",
                   help="larger files get none, only chunks (default %d, 1 GiB)"
                        % DEFAULT_MAX_FILE)
    p.add_argument("--delta-releases", type=int, default=DEFAULT_RELEASES, metavar="N",
                   help="deltas from the versions of the last N releases (default %d)"
                        % DEFAULT_RELEASES)
    p.add_argument("--delta-segment", type=int, default=DEFAULT_SEGMENT, metavar="BYTES",
                   help="diff large files in pieces of this size, each on a core of its own "
                        "(default %d, 1 MiB)" % DEFAULT_SEGMENT)
    p.add_argument("--delta-memory", type=int, default=default_budget(), metavar="BYTES",
                   help="what the diffs running at once may take by their estimates; one "
                        "alone always runs (default: 3/4 of the memory, %d here)"
                        % default_budget())
