"""Sends a mirror tree to its hosting through rclone, in the order that keeps
every destination serving one whole release: the objects the destination
lacks, checked by size in a fresh listing, then the key list, then
manifest.json, then manifest.sig. A destination that fails anywhere before
its manifest pair keeps serving the previous release."""

import base64
import json
import os
import re
import secrets
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from .common import MANIFEST_PAIR, Failure, shown
from .progress import Progress
from .report import add_json_option, print_json
from .verify import verify_tree

RCLONE = "rclone"
IMMUTABLE = "Cache-Control: public, max-age=31536000, immutable"
NO_CACHE = "Cache-Control: no-cache"
STAGING = ".upload"
# rclone runs side by side per destination: scripts/bench-upload measured
# WebDAV several times faster with 4 than with one (its client spaces its
# requests within a run); see "Upload speed" in docs/publishing.md.
PARALLEL = 4
KEY_LIST = ("keys.json", "keys.sig")
# rclone's exit code for a folder that does not exist (a destination not
# uploaded to before).
DIRECTORY_NOT_FOUND = 3


class DestinationFailed(Exception):
    """Ends the upload to one destination; the text says what and where,
    `moved` which of the key list and manifest pair were already replaced."""

    def __init__(self, text, moved=()):
        super().__init__(text)
        self.moved = moved


def add_parser(sub):
    p = sub.add_parser("upload", help="send a mirror tree to rclone destinations, objects first")
    p.add_argument("--dry-run", action="store_true",
                   help="list what each destination lacks and would be sent; send nothing")
    p.add_argument("--bwlimit", metavar="RATE",
                   help="rclone's bandwidth limit for every transfer (like 512k or 10M)")
    p.add_argument("--transfers", type=int, default=4, metavar="N",
                   help="files sent at once by each rclone run (default 4)")
    p.add_argument("--parallel", type=int, default=PARALLEL, metavar="N",
                   help="rclone runs at once per destination, each sending a share of the "
                        "files (default %d; 1 with --bwlimit). Many small objects go up about "
                        "four times faster to WebDAV than with one run; what SFTP gains depends "
                        "on the server (docs/publishing.md, upload speed)" % PARALLEL)
    p.add_argument("--rclone", default=os.environ.get("KORVANTH_RCLONE", RCLONE), metavar="PATH",
                   help="the rclone program (default: $KORVANTH_RCLONE, else rclone)")
    p.add_argument("--quiet", action="store_true", help="print only errors and the verdicts")
    p.add_argument("tree", metavar="MIRROR_TREE", help="the built mirror tree to send")
    p.add_argument("dest", nargs="+", metavar="DEST",
                   help="rclone remote paths (remote:path) or local folders")
    add_json_option(p)
    p.set_defaults(func=cmd_upload)


def refuse_inline_settings(number, dest):
    """A destination such as `:sftp,pass=...:path` or `remote,key=...:path`
    would put a credential on the command line, into the shell's history
    and into every log that names the destination."""
    head = re.match(r"(:?[^:]*):", dest)
    if head and not dest.startswith(("/", ".")) and "," in head.group(1):
        # Not repeated here: the name may hold a password.
        raise Failure("destination %d has settings in its name, which put them on the command "
                      "line and in logs; name a remote from rclone's configuration (rclone "
                      "config) or set RCLONE_CONFIG_<NAME>_<OPTION> variables in the "
                      "environment" % number)


def refuse_unverified(tree):
    """A tree that `verify` fails is never sent: players would be refused a
    release, or take one whose objects are wrong, from every destination.
    Without keys given, the key chain is checked as far as the tree's own
    key list goes."""
    problems, _, _ = verify_tree(tree)
    if problems:
        raise Failure("%s: verify finds %d problem%s, so nothing is sent:\n%s%s"
                      % (tree, len(problems), "" if len(problems) == 1 else "s",
                         "\n".join("  " + p for p in problems[:10]),
                         "\n  and %d more" % (len(problems) - 10) if len(problems) > 10 else ""))


def tree_files(tree):
    """Every file the upload sends, relative path to size, hidden names
    (a build's staging folder, temporary files) left out."""
    files = {}
    for folder, dirs, names in os.walk(tree):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in names:
            if name.startswith("."):
                continue
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, tree).replace(os.sep, "/")
            files[rel] = os.stat(path).st_size
    return files


def release_version(tree):
    try:
        with open(os.path.join(tree, "manifest.json"), "rb") as f:
            version = json.loads(f.read().decode("utf-8")).get("version")
    except (OSError, ValueError, AttributeError) as e:
        raise Failure("%s: not a built mirror tree (%s)" % (os.path.join(tree, "manifest.json"), e))
    for name in MANIFEST_PAIR:
        if not os.path.isfile(os.path.join(tree, name)):
            raise Failure("%s: missing; build the release first" % os.path.join(tree, name))
    return version if isinstance(version, str) else "?"


def current_history(files, version):
    """The current release's own history copy (releases/<version>/...):
    unlike an object, it may have been rebuilt (--force) at the same size."""
    current = "releases/%s/" % version
    return [rel for rel in sorted(files) if rel.startswith(current)]


def plan(files, remote, version, unchanged=()):
    """What a destination whose listing is `remote` (path to size) must be
    sent, in three steps: objects and history, the key list, the manifest
    pair. Objects are named by their content: one there with the right size
    is the same object. The current release's history copy is sent unless it
    is `unchanged` (read back and found equal); the key list is small and
    always goes with the manifest pair."""
    current = set(current_history(files, version)) - set(unchanged)
    objects, keys = [], []
    for rel in sorted(files):
        if rel in MANIFEST_PAIR:
            continue
        if rel in KEY_LIST:
            keys.append(rel)
        elif rel in current or remote.get(rel) != files[rel]:
            objects.append(rel)
    return objects, keys, list(MANIFEST_PAIR)


def cannot_run(rclone, error):
    return Failure("cannot run %s (Debian package rclone): %s" % (rclone, error.strerror))


def join(dest, rel):
    if dest.endswith((":", "/")):
        return dest + rel
    return dest + "/" + rel


class Rclone:
    """rclone runs for one destination, with the options every run shares."""

    def __init__(self, args, dest, stream):
        self.args, self.dest, self.stream = args, dest, stream

    def base(self):
        cmd = [self.args.rclone, "--use-json-log", "--stats-log-level", "NOTICE"]
        if self.args.bwlimit:
            cmd += ["--bwlimit", self.args.bwlimit]
        return cmd

    def listing(self):
        """Path to size of every file below the destination; empty for a
        folder that is not there yet."""
        cmd = self.base() + ["lsjson", "--recursive", "--files-only", "--no-modtime",
                             "--no-mimetype", self.dest]
        try:
            run = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True)
        except OSError as e:
            raise cannot_run(self.args.rclone, e)
        if run.returncode == DIRECTORY_NOT_FOUND:
            return {}
        if run.returncode != 0:
            raise DestinationFailed("cannot list %s (rclone: %s)" % (
                self.dest, rclone_reason(run.stderr, run.returncode)))
        try:
            return {e["Path"]: e["Size"] for e in json.loads(run.stdout.decode("utf-8"))}
        except (ValueError, KeyError, TypeError):
            raise DestinationFailed("rclone's listing is not readable")

    def send(self, tree, rels, header, sizes, quiet=False, into="", progress=None, before=(0, 0)):
        """Sends the files `rels` of the tree with the cache header, showing
        the progress; raises with rclone's own reason. The files are shared
        among --parallel rclone runs at once (one with --bwlimit, which
        limits each run): rclone's WebDAV client spaces its requests within
        one run, and SFTP spends a run's time per file, so for many small
        objects runs side by side are several times faster. Several calls
        may share one `progress`, the files and bytes `before` this one
        counted in, so that its count is the one announced."""
        if not rels:
            return
        total = sum(sizes[r] for r in rels)
        last = progress is None or (before[0] + len(rels), before[1] + total) == (
            progress.total_files, progress.total_bytes)
        if progress is None:
            progress = Progress(self.stream, len(rels), total, self.args.quiet or quiet,
                                prefix="korvanth-publish: %s " % said(self.dest))
        runs = 1 if self.args.bwlimit else max(1, min(self.args.parallel, len(rels)))
        shares = [rels[i::runs] for i in range(runs)]
        counts = [(0, 0)] * runs    # each run's files and bytes done
        errors = [[] for _ in shares]
        lock = threading.Lock()
        listings, procs = [], []

        def follow(i, proc):
            for line in proc.stderr:
                if len(errors[i]) < KEPT_LINES and b'"stats":' not in line:
                    errors[i].append(line)
                done = self.log_line(line)
                if done is not None:
                    with lock:
                        counts[i] = done
                        progress.show(before[0] + sum(c[0] for c in counts),
                                      before[1] + sum(c[1] for c in counts))
            proc.stderr.close()

        try:
            for share in shares:
                fd, listing = tempfile.mkstemp(prefix="korvanth-upload-", suffix=".txt")
                listings.append(listing)
                with os.fdopen(fd, "w", encoding="utf-8", errors="surrogateescape") as f:
                    f.write("".join(r + "\n" for r in share))
                cmd = self.base() + ["copy", tree, join(self.dest, into) if into else self.dest,
                                     "--files-from-raw", listing,
                                     "--no-traverse", "--no-check-dest",
                                     "--header-upload", header,
                                     "--transfers", str(self.args.transfers), "--stats", "1s"]
                procs.append(subprocess.Popen(cmd, stdin=subprocess.DEVNULL,
                                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
            readers = [threading.Thread(target=follow, args=(i, p), daemon=True)
                       for i, p in enumerate(procs)]
            for t in readers:
                t.start()
            codes = [p.wait() for p in procs]
            for t in readers:
                t.join()
        except OSError as e:
            raise cannot_run(self.args.rclone, e)
        finally:
            for p in procs:
                if p.poll() is None:  # interrupted: no run outlives the upload
                    p.terminate()
                    p.wait()
            for listing in listings:
                os.unlink(listing)
        failed = [i for i, code in enumerate(codes) if code != 0]
        if not failed:
            progress.show(before[0] + len(rels), before[1] + total, final=last)
        progress.abandon()
        if failed:
            i = failed[0]
            raise DestinationFailed("rclone stopped (exit %d: %s)" % (
                codes[i], rclone_reason(b"".join(errors[i]), codes[i])))

    def cat(self, rel):
        run = subprocess.run(self.base() + ["cat", join(self.dest, rel)],
                             stdin=subprocess.DEVNULL, capture_output=True)
        if run.returncode != 0:
            raise DestinationFailed("cannot read %s (rclone: %s)" % (
                join(self.dest, rel), rclone_reason(run.stderr, run.returncode)))
        return run.stdout

    def read_back(self, tree, rel):
        staged = STAGING + "/" + rel
        with open(os.path.join(tree, rel), "rb") as f:
            if self.cat(staged) != f.read():
                raise DestinationFailed("%s reads back other than sent" % staged)

    def log_line(self, line):
        """Prints an error line of rclone's; returns the files and bytes done
        that a stats line says, None for any other line."""
        try:
            entry = json.loads(line.decode("utf-8", "replace"))
        except ValueError:
            return None
        stats = entry.get("stats")
        if isinstance(stats, dict):
            return stats.get("transfers", 0), stats.get("bytes", 0)
        if entry.get("level") in ("error", "critical"):
            text = "%s: %s" % (entry["object"], entry.get("msg")) if entry.get("object") else \
                str(entry.get("msg"))
            print("korvanth-publish: %s %s" % (said(self.dest), text), file=self.stream)


# rclone's own lines that are not its reason for failing: a missing
# configuration file is normal when the remotes come from the environment.
RCLONE_NOISE = re.compile(r"^(NOTICE|INFO|DEBUG)\b|^Config file .* not found")
RCLONE_TIME = re.compile(r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d(\.\d+)? ")
REASON_LINES = 3
# rclone's lines kept from a run for its reason: errors come first.
KEPT_LINES = 50


def rclone_reason(stderr, code, lines=REASON_LINES):
    """rclone's own words for why it failed: the first few error lines of
    its standard error (JSON log entries or the plain lines it writes before
    its log starts, such as an unknown remote's), without times and
    notices; its exit code when it said nothing."""
    text = stderr.decode("utf-8", "replace") if isinstance(stderr, bytes) else stderr
    found = []
    for line in text.splitlines():
        try:
            entry = json.loads(line)
        except ValueError:
            entry = None
        if isinstance(entry, dict):
            if entry.get("level") not in ("error", "critical"):
                continue
            line = "%s: %s" % (entry["object"], entry.get("msg")) if entry.get("object") \
                else str(entry.get("msg"))
        else:
            line = RCLONE_TIME.sub("", line.strip())
            if line.startswith("ERROR : "):
                line = line[len("ERROR : "):]
        if line and not RCLONE_NOISE.search(line) and line not in found:
            found.append(line)
        if len(found) == lines:
            break
    return " / ".join(found) if found else "rclone failed (exit %d) without saying why" % code


def said(dest):
    """A destination as the head of a message: `us:` stays `us:` rather
    than becoming `us::`."""
    return dest if dest.endswith(":") else dest + ":"


def check_sizes(remote, files, rels):
    """Names every file of `rels` the destination does not hold with its
    size, in one message."""
    wrong = ["%s (%s of %d bytes)" % (rel, "missing" if rel not in remote else
                                      "%d" % remote[rel], files[rel])
             for rel in rels if remote.get(rel) != files[rel]]
    if wrong:
        raise DestinationFailed("not there after the upload: " + ", ".join(wrong[:10]) +
                                (" and %d more" % (len(wrong) - 10) if len(wrong) > 10 else ""))


def size_text(n):
    return "%.1f MiB" % (n / (1 << 20)) if n >= 1 << 20 else "%d bytes" % n


def generated_time(data):
    try:
        value = json.loads(data.decode("utf-8")).get("generated")
    except (ValueError, UnicodeDecodeError, AttributeError):
        return None
    return value if isinstance(value, str) else None


def upload_one(args, tree, files, version, dest, out, record):
    """`record` gets "send": the files the destination is sent, in order,
    once they are known."""
    rc = Rclone(args, dest, out)
    remote = rc.listing()
    if "manifest.json" in remote:
        # Launchers that applied the destination's release refuse an older
        # one: replacing it would stop their updates from there.
        with open(os.path.join(tree, "manifest.json"), "rb") as f:
            ours = generated_time(f.read())
        theirs = generated_time(rc.cat("manifest.json"))
        if ours and theirs and theirs > ours:
            raise DestinationFailed("serves a newer release (generated %s, this tree's %s); "
                                    "upload the tree of that release or a later one" % (
                                        theirs, ours))
    unchanged = []
    for rel in current_history(files, version):
        if remote.get(rel) == files[rel]:
            with open(os.path.join(tree, rel), "rb") as f:
                if rc.cat(rel) == f.read():
                    unchanged.append(rel)
    objects, keys, pair = plan(files, remote, version, unchanged)
    record["send"] = [{"path": rel, "size": files[rel]} for rel in objects + keys + pair]
    say = (lambda text: None) if args.quiet else \
        (lambda text: print("korvanth-publish: %s %s" % (said(dest), text), file=out,
                            flush=True))
    say("%d files to send first (%s), then %s" % (
        len(objects), size_text(sum(files[r] for r in objects)), ", ".join(keys + pair)))
    if args.dry_run:
        for rel in objects + keys + pair if not args.json else ():
            print("%s\t%d\t%s" % (dest, files[rel], shown(rel)))
        return
    # One count over both runs, the one announced above.
    progress = Progress(out, len(objects), sum(files[r] for r in objects), args.quiet,
                        prefix="korvanth-publish: %s " % said(dest))
    first = [r for r in objects if r.startswith("objects/")]
    rc.send(tree, first, IMMUTABLE, files, progress=progress)
    rc.send(tree, [r for r in objects if not r.startswith("objects/")], NO_CACHE, files,
            progress=progress, before=(len(first), sum(files[r] for r in first)))
    check_sizes(rc.listing(), files, objects)
    # Under a hidden folder first, checked there, then moved over the served
    # files in quick succession: no reader sees half a file, and the time in
    # which a reader could get a new manifest with the old signature is the
    # few milliseconds between two renames.
    rc.send(tree, keys + pair, NO_CACHE, files, quiet=True, into=STAGING)
    for rel in keys + pair:
        rc.read_back(tree, rel)
    switch(rc, keys + pair)


def switch(rc, rels):
    """Moves the staged files over the served ones in the order given,
    through one rclone daemon that holds the destination open, so that
    each move is one request and not an rclone start and a login."""
    secret = secrets.token_hex(16)
    env = dict(os.environ, RCLONE_RC_USER="korvanth", RCLONE_RC_PASS=secret)
    with tempfile.TemporaryFile() as log:
        try:
            daemon = subprocess.Popen([rc.args.rclone, "rcd", "--use-json-log",
                                       "--rc-addr", "127.0.0.1:0"], env=env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=log)
        except OSError as e:
            raise cannot_run(rc.args.rclone, e)
        try:
            url = daemon_url(daemon, log)
            auth = "Basic " + base64.b64encode(("korvanth:" + secret).encode()).decode()
            call = lambda command, **params: rc_call(url, auth, command, params)
            for rel in rels:  # every one there, before the first move
                call("operations/stat", fs=rc.dest, remote=STAGING + "/" + rel)
            done = []
            for rel in rels:
                try:
                    # Moved also where the sizes and times match the old file.
                    call("operations/movefile", srcFs=rc.dest, srcRemote=STAGING + "/" + rel,
                         dstFs=rc.dest, dstRemote=rel, _config={"IgnoreTimes": True})
                except DestinationFailed as e:
                    raise DestinationFailed(str(e), tuple(done))
                done.append(rel)
        finally:
            daemon.terminate()
            daemon.wait()


def daemon_url(daemon, log):
    """The address the daemon serves on, from its log."""
    for _ in range(300):
        log.seek(0)
        for line in log.read().decode("utf-8", "replace").splitlines():
            found = re.search(r"Serving remote control on (http://[^ \"]+/)", line)
            if found:
                return found.group(1)
        if daemon.poll() is not None:
            break
        time.sleep(0.05)
    raise DestinationFailed("rclone's daemon did not start")


def rc_call(url, auth, command, params):
    request = urllib.request.Request(url + command, data=json.dumps(params).encode(),
                                     headers={"Content-Type": "application/json",
                                              "Authorization": auth})
    try:
        # Straight to the loopback address, whatever proxy the environment names.
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open(request, timeout=600) as r:
            return json.loads(r.read())
    except urllib.error.HTTPError as e:
        try:
            text = json.loads(e.read()).get("error", e.reason)
        except ValueError:
            text = e.reason
        raise DestinationFailed("%s: %s" % (params.get("dstRemote", params.get("remote")), text))
    except (OSError, ValueError) as e:
        raise DestinationFailed("rclone's daemon: %s" % e)


def cmd_upload(args):
    for number, dest in enumerate(args.dest, 1):
        refuse_inline_settings(number, dest)
    tree = args.tree
    version = release_version(tree)
    refuse_unverified(tree)
    files = tree_files(tree)
    out = sys.stderr
    live, stale, records = [], [], []
    for dest in args.dest:
        record = {"dest": dest, "state": "planned" if args.dry_run else "live", "error": None,
                  "replaced": [], "send": None}
        records.append(record)
        try:
            upload_one(args, tree, files, version, dest, out, record)
        except DestinationFailed as e:
            print("korvanth-publish: %s %s; %s" % (
                said(dest), e, "it keeps serving its previous release" if not e.moved else
                "only %s replaced: upload again at once" % " and ".join(e.moved)),
                file=out, flush=True)
            record.update(state="failed", error=str(e), replaced=list(e.moved))
            stale.append(dest)
            continue
        live.append(dest)
    if args.json:
        print_json({"tree": tree, "version": version, "dry_run": args.dry_run,
                    "ok": not stale, "destinations": records})
        return 1 if stale else 0
    if args.dry_run:
        return 1 if stale else 0
    for dest in live:
        print("%s live on %s" % (said(dest), version))
    for dest in stale:
        print("%s NOT live on %s" % (said(dest), version))
    return 1 if stale else 0
