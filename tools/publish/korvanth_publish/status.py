"""`status`: what each mirror serves players now, read over HTTPS as a
launcher reads it: its manifest pair, checked with the publisher's key (or
the root that signs the key list), and with --objects whether every object
the release names is there with its size."""

import concurrent.futures
import http.client
import socket
import ssl
import sys
import urllib.error
import urllib.request

from . import chunks
from .common import MAX_MANIFEST_BYTES, Failure
from .keys import (MAX_KEY_LIST_BYTES, load_public_point, parse_key_list, verifies,
                   warn_if_demo)
from .report import add_json_option, print_json
from .verify import check_manifest, release_entries

MAX_SIGNATURE_BYTES = 4096
USER_AGENT = "korvanth-publish status"


class Row:
    def __init__(self, url):
        self.url, self.version, self.generated = url, "-", "-"
        self.key_list = None  # the mirror's key list, when a given root signed it
        self.data = None      # the manifest's bytes once it verified
        self.doc = None
        self.problem = None   # "unreachable: ..." or "broken: ..."
        self.objects = "-"
        self.objects_ok = True
        self.objects_checked = None  # with --objects: how many, and (name, why) of the bad
        self.objects_bad = []


class Unreachable(Exception):
    pass


class Broken(Exception):
    pass


# What a launcher sends when a mirror's pair does not match: a cache in front
# of the mirror must pass the request on.
PAST_CACHES = {"Cache-Control": "no-cache", "Pragma": "no-cache"}


def fetch(url, context, timeout, limit, method="GET", headers=None):
    """The body (GET) or the Content-Length (HEAD) of a URL; raises
    Unreachable when no answer came and Broken for an error answer."""
    request = urllib.request.Request(url, method=method,
                                     headers=dict(headers or {}, **{"User-Agent": USER_AGENT}))
    try:
        with urllib.request.urlopen(request, context=context, timeout=timeout) as answer:
            if method == "HEAD":
                length = answer.headers.get("Content-Length")
                return int(length) if length and length.isdigit() else None
            body = answer.read(limit + 1)
    except urllib.error.HTTPError as e:
        raise Broken("%s: HTTP %d" % (url, e.code))
    except (urllib.error.URLError, http.client.HTTPException, socket.timeout,
            ssl.SSLError, ConnectionError) as e:
        raise Unreachable("%s: %s" % (url, getattr(e, "reason", None) or e))
    if len(body) > limit:
        raise Broken("%s: larger than the launcher reads" % url)
    return body


def signed(data, sig, keys):
    """Whether one of the trusted points signed the manifest: a release key
    itself, or a root whose key list names the release key that did."""
    return any(verifies(p, data, sig) for p in keys)


def check_mirror(row, points, context, timeout):
    base = row.url
    data = fetch(base + "manifest.json", context, timeout, MAX_MANIFEST_BYTES)
    sig = fetch(base + "manifest.sig", context, timeout, MAX_SIGNATURE_BYTES)
    problems = []
    doc, _ = check_manifest(data, problems)
    if problems:
        raise Broken("manifest.json: %s" % "; ".join(problems))
    row.version, row.generated = doc["version"], doc["generated"]
    row.key_list = rooted_key_list(base, points, context, timeout)
    if not mirror_signed(row, data, sig, points):
        # Players' launchers ask once more past caches and update; the
        # publisher still has a cache to purge and a rule to mend.
        fresh_data, fresh_sig = [fetch(base + name, context, timeout, limit, headers=PAST_CACHES)
                                 for name, limit in (("manifest.json", MAX_MANIFEST_BYTES),
                                                     ("manifest.sig", MAX_SIGNATURE_BYTES))]
        if mirror_signed(row, fresh_data, fresh_sig, points):
            raise Broken("stale cache: the manifest pair verifies only when asked past caches; "
                         "purge the pair there and give it a no-cache rule")
        raise Broken(unsigned_reason(row.key_list, data, sig))
    row.data, row.doc = data, doc


def mirror_signed(row, data, sig, points):
    listed = [p for _, p in row.key_list.keys] if row.key_list else []
    return signed(data, sig, points) or signed(data, sig, listed)


def unsigned_reason(key_list, data, sig):
    """Why no trusted key signed the pair, as far as the mirror's key list
    tells: a revoked key's signature is the outage a publisher must undo."""
    if key_list is None:
        return "manifest.sig does not verify manifest.json with the keys given"
    for key_id, point in key_list.revoked:
        if verifies(point, data, sig):
            return ("manifest.sig is signed by release key %s, which keys.json version %d "
                    "revokes: every launcher with root keys refuses this release"
                    % (key_id, key_list.version))
    return ("manifest.sig is signed by no release key that keys.json version %d lists, nor by "
            "a key given" % key_list.version)


def rooted_key_list(base, roots, context, timeout):
    """The mirror's key list when a given key (a root) signed it; None
    otherwise, or when the mirror has no list."""
    try:
        data = fetch(base + "keys.json", context, timeout, MAX_KEY_LIST_BYTES)
        sig = fetch(base + "keys.sig", context, timeout, MAX_SIGNATURE_BYTES)
        if not signed(data, sig, roots):
            return None
        return parse_key_list(data, base + "keys.json")
    except (Broken, Unreachable, Failure):
        return None


def wanted_objects(row, context, timeout):
    """(name, size) of every object the release names, deltas included;
    chunk indexes are fetched for the chunks they list."""
    doc = row.doc
    out = {}
    for e in release_entries(doc):
        out[e["h"].lower()] = e["s"]
        if e.get("z"):
            out[e["h"].lower() + ".gz"] = e["z"]
        for d in e.get("deltas", []):
            out[d["h"].lower()] = d["s"]
            if d.get("z"):
                out[d["h"].lower() + ".gz"] = d["z"]
        if not e.get("chunks"):
            continue
        key = e["chunks"].lower()
        try:
            data = fetch(row.url + "objects/" + key, context, timeout, chunks.INDEX_MAX_BYTES)
            records = chunks.parse_index(data, e["s"])
        except (Broken, Unreachable, ValueError):
            out[key] = -1  # counted as missing
            continue
        out[key] = len(data)
        for length, packed, digest in records:
            out[digest] = length
            if packed:
                out[digest + ".gz"] = packed
    return sorted(out.items())


def check_objects(row, context, timeout, jobs):
    wanted = wanted_objects(row, context, timeout)

    def look(item):
        name, size = item
        try:
            got = fetch(row.url + "objects/" + name, context, timeout, 0, method="HEAD")
        except (Broken, Unreachable) as e:
            return name, str(e).split(": ")[-1]
        if size < 0:
            return name, "not a chunk index"
        return (name, None) if got == size else (name, "%s bytes, not %d" % (got, size))

    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        bad = [(n, why) for n, why in pool.map(look, wanted) if why]
    row.objects_ok = not bad
    row.objects_checked, row.objects_bad = len(wanted), bad
    row.objects = "all %d" % len(wanted) if not bad else "%d of %d bad: %s" % (
        len(bad), len(wanted), ", ".join("objects/%s (%s)" % b for b in bad[:3]) +
        (", ..." if len(bad) > 3 else ""))


def status_record(row, state):
    """A mirror's row as --json prints it."""
    kind, _, problem = state.partition(": ")
    return {
        "url": row.url,
        "state": kind,
        "problem": problem or None,
        "version": row.version if row.version != "-" else None,
        "generated": row.generated if row.generated != "-" else None,
        "keys": row.key_list.version if row.key_list else None,
        "objects": None if row.objects_checked is None else {
            "checked": row.objects_checked,
            "bad": [{"object": "objects/" + name, "problem": why}
                    for name, why in row.objects_bad]},
    }


def add_parser(sub):
    p = sub.add_parser("status", help="what each mirror serves, checked over HTTPS")
    p.add_argument("--pubkey", required=True, action="append", metavar="KEY.pub.pem",
                   help="the release key, or the root key that signs the mirrors' keys.json "
                        "(repeatable)")
    p.add_argument("--cafile", metavar="CA.pem",
                   help="trust this authority instead of the system's (a test mirror)")
    p.add_argument("--objects", action="store_true",
                   help="also check that every object of each release is there with its size")
    p.add_argument("--jobs", type=int, default=8, metavar="N",
                   help="requests at once (default 8)")
    p.add_argument("--timeout", type=float, default=30, metavar="SECONDS",
                   help="give up on a request that has not answered in this time (default 30)")
    p.add_argument("url", nargs="+", metavar="URL",
                   help="a mirror's https:// address, where its manifest.json is")
    add_json_option(p)
    p.set_defaults(func=cmd_status)


def cmd_status(args):
    points = [load_public_point(p) for p in args.pubkey]
    for point in points:
        warn_if_demo(point, "--pubkey")
    try:
        context = ssl.create_default_context(cafile=args.cafile)
    except (OSError, ssl.SSLError) as e:
        raise Failure("--cafile %s: %s" % (args.cafile, e))
    rows = [Row(u if u.endswith("/") else u + "/") for u in args.url]
    for row in rows:
        if not row.url.startswith("https://"):
            raise Failure("%s: launchers use https:// mirrors only" % row.url)

    def visit(row):
        try:
            check_mirror(row, points, context, args.timeout)
        except Unreachable as e:
            row.problem = "unreachable: %s" % str(e).replace(row.url, "")
        except Broken as e:
            row.problem = "broken: %s" % str(e).replace(row.url, "")

    with concurrent.futures.ThreadPoolExecutor(min(len(rows), args.jobs)) as pool:
        list(pool.map(visit, rows))
    newest = max((r.generated for r in rows if r.data is not None), default=None)
    for row in rows:
        if row.data is not None and args.objects:
            check_objects(row, context, args.timeout, args.jobs)
    table = [("MIRROR", "VERSION", "GENERATED", "KEYS") + (("OBJECTS",) if args.objects else ()) +
             ("STATE",)]
    failed = False
    records = []
    for row in rows:
        if row.problem:
            state = row.problem
        elif row.generated == newest:
            state = "newest"
        else:
            state = "behind"
        failed = failed or state != "newest" or not row.objects_ok
        keys = "version %d" % row.key_list.version if row.key_list else "-"
        table.append((row.url, row.version, row.generated, keys) +
                     ((row.objects,) if args.objects else ()) + (state,))
        records.append(status_record(row, state))
    if args.json:
        print_json({"ok": not failed, "newest": newest, "mirrors": records})
        if failed:
            print("korvanth-publish: not every mirror serves the newest release whole",
                  file=sys.stderr)
        return 1 if failed else 0
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]) - 1)]
    for line in table:
        print("  ".join(cell.ljust(w) for cell, w in zip(line, widths)) + "  " + line[-1])
    if failed:
        print("korvanth-publish: not every mirror serves the newest release whole", file=sys.stderr)
    return 1 if failed else 0
