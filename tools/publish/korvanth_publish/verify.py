"""`verify`: a mirror tree checked the way the launcher will read it."""

import base64
import binascii
import hashlib
import json
import os
import re
import sys
import zlib

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from . import chunks, delta
from .common import (GROUPS, MAX_ID_BYTES, MAX_MANIFEST_BYTES, MAX_NUMBER, MAX_VERSION_BYTES,
                     TIME_RE, Failure, gzip_digest, hash_file, is_holdable_relative_path,
                     is_safe_relative_path, read_manifest_pair, utf8_len)
from .report import add_json_option, print_json


def decode_signature(text):
    """The launcher's reading: whitespace and '=' skipped, both Base64
    alphabets accepted. Returns the bytes or None."""
    cleaned = re.sub(rb"[=\r\n \t]", b"", text).replace(b"-", b"+").replace(b"_", b"/")
    if not re.fullmatch(rb"[A-Za-z0-9+/]*", cleaned):
        return None
    if len(cleaned) % 4 == 1:
        cleaned = cleaned[:-1]  # six bits that make no byte
    try:
        return base64.b64decode(cleaned + b"=" * (-len(cleaned) % 4))
    except binascii.Error:
        return None


def unique_pairs(pairs):
    keys = [k for k, _ in pairs]
    dup = sorted({k for k in keys if keys.count(k) > 1})
    if dup:
        raise ValueError("duplicate member %s" % ", ".join(repr(k) for k in dup))
    return dict(pairs)


def is_number(v):
    return isinstance(v, int) and not isinstance(v, bool) and 0 <= v <= MAX_NUMBER


def check_entry(where, e, need_group, problems, launcher=False):
    """The launcher's file-entry rules; appends problems, returns the entry or
    None. The launcher's own entry names the program, which no client entry
    may."""
    if not isinstance(e, dict) or not e:
        problems.append("%s: not a file entry" % where)
        return None
    if not all(k in e for k in ("p", "s", "h")):
        problems.append("%s: needs p, s, h" % where)
        return None
    ok = True
    path_rule = is_holdable_relative_path if launcher else is_safe_relative_path
    if not isinstance(e["p"], str) or not path_rule(e["p"]):
        problems.append("%s: path %r is refused by the launcher" % (where, e["p"]))
        ok = False
    if not is_number(e["s"]) or not is_number(e.get("z", 0)):
        problems.append("%s: sizes must be whole numbers" % where)
        ok = False
    if not isinstance(e["h"], str) or not re.fullmatch(r"[0-9a-fA-F]{64}", e["h"]):
        problems.append("%s: bad sha256" % where)
        ok = False
    if "chunks" in e and (not isinstance(e["chunks"], str) or
                          not re.fullmatch(r"[0-9a-fA-F]{64}", e["chunks"])):
        problems.append("%s: bad chunks sha256" % where)
        ok = False
    if need_group and e.get("g") not in GROUPS:
        problems.append("%s: unknown group %r" % (where, e.get("g")))
        ok = False
    if "id" in e and (not isinstance(e["id"], str) or utf8_len(e["id"]) > MAX_ID_BYTES):
        problems.append("%s: bad id" % where)
        ok = False
    if "seed" in e and not is_number(e["seed"]):
        problems.append("%s: seed must be a number" % where)
        ok = False
    if "deltas" in e and not check_delta_records(where, e, problems):
        ok = False
    return e if ok else None


def is_digest(v):
    return isinstance(v, str) and re.fullmatch(r"[0-9a-fA-F]{64}", v) is not None


def check_delta_records(where, e, problems):
    """The deltas member of a client file's entry: a list of records of
    exactly "from", "h", "s" and maybe "z", in that order, each from another
    old version."""
    records = e["deltas"]
    if not isinstance(records, list) or not records:
        problems.append("%s: deltas must be a non-empty list" % where)
        return False
    seen = set()
    for j, d in enumerate(records):
        at = "%s: deltas[%d]" % (where, j)
        if not isinstance(d, dict) or list(d) not in (["from", "h", "s"], ["from", "h", "s", "z"]):
            problems.append("%s: needs from, h, s and maybe z, in that order" % at)
            return False
        if not is_digest(d["from"]) or not is_digest(d["h"]):
            problems.append("%s: bad sha256" % at)
            return False
        if not is_number(d["s"]) or not is_number(d.get("z", 0)) or d.get("z", 0) >= max(d["s"], 1):
            problems.append("%s: sizes must be whole numbers, z below s" % at)
            return False
        own = e["h"].lower() if isinstance(e["h"], str) else None
        if d["from"].lower() in seen or d["from"].lower() == own:
            problems.append("%s: from names the file's own or an earlier record's version" % at)
            return False
        seen.add(d["from"].lower())
    return True


def check_manifest(data, problems):
    """Returns the document (or None) and the entries to check against the objects."""
    try:
        doc = json.loads(data.decode("utf-8"), object_pairs_hook=unique_pairs)
    except (UnicodeDecodeError, ValueError, RecursionError) as e:
        problems.append("manifest.json: not valid JSON: %s" % e)
        return None, []
    if not isinstance(doc, dict):
        problems.append("manifest.json: not an object")
        return None, []
    for key in doc:
        if utf8_len(key) >= 32:
            problems.append("manifest.json: member %r is too long for the launcher" % key)
    version, generated = doc.get("version"), doc.get("generated")
    if not isinstance(version, str) or utf8_len(version) > MAX_VERSION_BYTES:
        problems.append("manifest.json: version must be a text of at most %d bytes"
                        % MAX_VERSION_BYTES)
    if not isinstance(generated, str) or not TIME_RE.fullmatch(generated):
        problems.append("manifest.json: generated must be YYYY-MM-DDTHH:MM:SSZ")
    files = doc.get("files")
    if not isinstance(files, list) or not files:
        problems.append("manifest.json: files must be a non-empty list")
        files = []
    entries = []
    for i, e in enumerate(files):
        entries.append(check_entry("files[%d]" % i, e, True, problems))
    optional = doc.get("optional", [])
    for i, e in enumerate(optional if isinstance(optional, list) else []):
        entry = check_entry("optional[%d]" % i, e, False, problems)
        if entry is not None and not entry.get("id"):
            problems.append("optional[%d]: needs an id" % i)
        entries.append(entry)
    if "launcher" in doc:
        entries.append(check_entry("launcher", doc["launcher"], False, problems, launcher=True))
        if isinstance(doc["launcher"], dict) and "deltas" in doc["launcher"]:
            problems.append("launcher: the launcher updates itself whole, without deltas")
    for i, r in enumerate(doc.get("remove", [])):
        if not isinstance(r, str) or not is_safe_relative_path(r):
            problems.append("remove[%d]: path %r is refused by the launcher" % (i, r))
    for i, m in enumerate(doc.get("mirrors", [])):
        if not isinstance(m, str) or not m.startswith("https://") or not m.endswith("/"):
            problems.append("mirrors[%d]: %r is dropped by the launcher" % (i, m))
    return doc, [e for e in entries if e is not None]


def release_entries(doc):
    """Every file entry of a checked manifest: files, optional files and the
    launcher."""
    return doc["files"] + doc.get("optional", []) + ([doc["launcher"]] if "launcher" in doc
                                                     else [])


def read_manifest(mirror):
    """The manifest of a mirror tree as a document; any problem ends the command."""
    path = os.path.join(mirror, "manifest.json")
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_MANIFEST_BYTES + 1)
    except OSError as e:
        raise Failure("%s: %s" % (path, e.strerror))
    problems = [] if len(data) <= MAX_MANIFEST_BYTES else ["larger than the launcher reads"]
    doc, _ = check_manifest(data, problems)
    if problems:
        raise Failure("%s: %s" % (path, "; ".join(problems)))
    return doc


def check_object(objects_dir, entry, problems):
    digest, size, packed = entry["h"].lower(), entry["s"], entry.get("z", 0)
    name = "objects/" + digest
    plain = os.path.join(objects_dir, digest)
    if not os.path.isfile(plain):
        problems.append("%s: missing (%s)" % (name, entry["p"]))
    else:
        got_digest, got_size = hash_file(plain)
        if got_size != size or got_digest != digest:
            problems.append("%s: content does not match its name (%s)" % (name, entry["p"]))
    if packed:
        problems += ["%s.gz: %s (%s)" % (name, problem, entry["p"])
                     for problem in check_gzip(plain + ".gz", digest, size, packed, "the manifest")]


def check_gzip(gz, digest, size, packed, stated_by):
    """What is wrong with the .gz of an object: a list of texts."""
    if not os.path.isfile(gz):
        return ["missing"]
    problems = []
    if os.path.getsize(gz) != packed:
        problems.append("%d bytes, %s says %d" % (os.path.getsize(gz), stated_by, packed))
    try:
        if gzip_digest(gz) != (digest, size):
            problems.append("decodes to other content")
    except zlib.error as e:
        problems.append("does not decode: %s" % e)
    return problems


def check_chunks(objects_dir, entry, checked, problems):
    """The chunk index an entry names and every chunk it lists: each object
    with its digest, each .gz with its stated size and content, and the
    chunks in order making up the file itself. `checked` holds the chunk
    digests already found good."""
    key = entry["chunks"].lower()
    try:
        records = chunks.read_index(objects_dir, key, entry["s"])
    except OSError as e:
        problems.append("objects/%s: chunk index of %s: %s" % (key, entry["p"], e.strerror))
        return
    except ValueError as e:
        problems.append("objects/%s: chunk index of %s: %s" % (key, entry["p"], e))
        return
    whole = hashlib.sha256()
    for length, packed, digest in records:
        name = "objects/" + digest
        try:
            with open(os.path.join(objects_dir, digest), "rb") as f:
                data = f.read(chunks.CHUNK_MAX_BYTES + 1)
        except OSError:
            problems.append("%s: chunk of %s missing" % (name, entry["p"]))
            return
        whole.update(data)
        if digest in checked:
            continue
        if len(data) != length or hashlib.sha256(data).hexdigest() != digest:
            problems.append("%s: chunk of %s does not match its name" % (name, entry["p"]))
            return
        found = check_gzip(os.path.join(objects_dir, digest + ".gz"), digest, length, packed,
                           "the index") if packed else []
        if found:
            problems += ["%s.gz: chunk of %s: %s" % (name, entry["p"], p) for p in found]
            return
        checked.add(digest)
    if whole.hexdigest() != entry["h"].lower():
        problems.append("objects/%s: the chunks of %s make up other content" % (key, entry["p"]))


def check_deltas(objects_dir, entry, checked, problems):
    """Each delta object an entry names: its digest and size, its header
    naming the two versions it joins, its .gz with the stated size and
    content. `checked` holds the delta digests already found good."""
    for d in entry.get("deltas", []):
        digest = d["h"].lower()
        if digest in checked:
            continue
        name, path = "objects/" + digest, os.path.join(objects_dir, digest)
        what = "delta of %s from %s" % (entry["p"], d["from"].lower()[:12])
        if not os.path.isfile(path):
            problems.append("%s: %s missing" % (name, what))
            continue
        if hash_file(path) != (digest, d["s"]):
            problems.append("%s: %s does not match its name" % (name, what))
            continue
        with open(path, "rb") as f:
            head = f.read(delta.HEADER.size)
        if len(head) < delta.HEADER.size:
            problems.append("%s: %s is shorter than its header" % (name, what))
            continue
        magic, version, _, new_size, old, new, stream = delta.HEADER.unpack(head)
        if (magic, version, stream) != (delta.MAGIC, delta.VERSION, d["s"] - delta.HEADER.size):
            problems.append("%s: %s is not a delta object" % (name, what))
        elif (old.hex(), new.hex(), new_size) != (d["from"].lower(), entry["h"].lower(),
                                                   entry["s"]):
            problems.append("%s: %s is made for other versions" % (name, what))
        elif d.get("z"):
            found = check_gzip(path + ".gz", digest, d["s"], d["z"], "the manifest")
            problems += ["%s.gz: %s: %s" % (name, what, p) for p in found]
            if not found:
                checked.add(digest)
        else:
            checked.add(digest)


def add_parser(sub):
    p = sub.add_parser("verify", help="check a mirror tree")
    p.add_argument("--pubkey", metavar="KEY.pub.pem",
                   help="the release key that launchers without root keys carry: manifest.sig "
                        "must verify with it")
    p.add_argument("--root", action="append", default=[], metavar="ROOT.pub.pem",
                   help="a root key that launchers carry (repeatable): the tree's keys.sig must "
                        "verify with one of them. With a key list in the tree, manifest.sig "
                        "must be signed by a release key it lists, whatever is given")
    p.add_argument("mirror", metavar="MIRROR", help="the mirror tree to check")
    add_json_option(p)
    p.set_defaults(func=cmd_verify)


def load_pubkey(path):
    try:
        with open(path, "rb") as f:
            pub = serialization.load_pem_public_key(f.read())
        if not isinstance(pub, ec.EllipticCurvePublicKey) or pub.curve.name != "secp256r1":
            raise ValueError("not a P-256 key")
    except (OSError, ValueError) as e:
        raise Failure("%s: not a PEM public key: %s" % (path, e))
    return pub


def check_key_chain(mirror, data, sig_text, pubkey, roots, problems):
    """What a launcher with root keys checks, when the tree has a key list:
    keys.sig under one of `roots` ((path, point) pairs; unchecked when there
    are none) and manifest.sig by a release key the list holds, not by a
    revoked or unlisted one. Returns what signed the release, or None."""
    # keys reads signatures and JSON with this module's helpers.
    from . import keys
    from .curve import signer_candidates
    try:
        listed = keys.read_key_list(mirror)
    except Failure as e:
        problems.append(str(e))
        return None
    if listed is None:
        if roots:
            problems.append("keys.json: missing, so launchers with root keys take no release "
                            "from %s" % mirror)
        return None
    where = "keys.json version %d" % listed.version
    if roots and not any(keys.verifies(point, listed.data, listed.signature)
                         for _, point in roots):
        problems.append("keys.sig: does not verify %s under %s: launchers with these root keys "
                        "refuse the list, and with it every release"
                        % (where, ", ".join(path for path, _ in roots)))
    others = ", ".join(i for i, _ in listed.keys)
    by = [i for i, p in listed.keys if keys.verifies(p, data, sig_text)]
    if by:
        return "release key %s of %s" % (by[0], where)
    was = [i for i, p in listed.revoked if keys.verifies(p, data, sig_text)]
    if was:
        problems.append("manifest.sig: signed by the key %s, which %s revokes: every launcher with "
                        "root keys refuses this release; build the next one signed by a listed "
                        "key (%s)" % (was[0], where, others))
        return None
    if pubkey and keys.verifies(keys.point_of(pubkey[1]), data, sig_text):
        name = pubkey[0]
    else:
        candidates = signer_candidates(data, sig_text)
        name = "the demo key" if keys.DEMO_POINT in candidates else " or ".join(
            keys.fingerprint(p) for p in candidates) or "no key"
    problems.append("manifest.sig: signed by %s, which %s does not list: every launcher with "
                    "root keys refuses this release; list the key (keys add) or build the "
                    "release again signed by a listed key (%s)" % (name, where, others))
    return None


def verify_tree(mirror, pubkey=None, roots=()):
    """Checks a mirror tree as launchers will read it. `pubkey` is (path,
    public key) or None, `roots` (path, point) pairs. Returns the problems
    and, when there are none, the summary line."""
    from .keys import DEMO_POINT, DEMO_TEXT, verifies
    problems = []
    try:
        data, sig_text = read_manifest_pair(mirror)
    except OSError as e:
        raise Failure("%s: %s" % (e.filename, e.strerror))
    raw = decode_signature(sig_text)
    if raw is None or len(raw) != 64:
        problems.append("manifest.sig: not the Base64 of a 64-byte signature")
    elif pubkey:
        try:
            pubkey[1].verify(encode_dss_signature(int.from_bytes(raw[:32], "big"),
                                                  int.from_bytes(raw[32:], "big")),
                             data, ec.ECDSA(hashes.SHA256()))
        except InvalidSignature:
            problems.append("manifest.sig: does not verify manifest.json with %s" % pubkey[0])
    signer = check_key_chain(mirror, data, sig_text, pubkey, roots, problems)
    if verifies(DEMO_POINT, data, sig_text):
        print("korvanth-publish: warning: %s/manifest.sig is signed with %s: anyone can sign "
              "what a launcher trusting it takes" % (mirror, DEMO_TEXT), file=sys.stderr)
    if len(data) > MAX_MANIFEST_BYTES:
        problems.append("manifest.json: larger than the launcher reads")
    _, entries = check_manifest(data, problems)
    objects_dir = os.path.join(mirror, "objects")
    seen, indexes, checked, deltas = set(), set(), set(), set()
    for entry in entries:
        check_deltas(objects_dir, entry, deltas, problems)
        if entry["h"].lower() not in seen:
            seen.add(entry["h"].lower())
            check_object(objects_dir, entry, problems)
        if entry.get("chunks") and entry["chunks"].lower() not in indexes:
            indexes.add(entry["chunks"].lower())
            check_chunks(objects_dir, entry, checked, problems)
    counts = {"objects": len(seen), "chunk_indexes": len(indexes), "chunks": len(checked),
              "deltas": len(deltas), "signer": signer}
    if problems:
        return problems, None, counts
    return [], "%s verified: signature good%s, %d objects%s%s" % (
        mirror, " (%s)" % signer if signer else "", len(seen),
        ", %d chunk indexes and %d chunks" % (len(indexes), len(checked)) if indexes else "",
        ", %d deltas" % len(deltas) if deltas else ""), counts


def cmd_verify(args):
    from .keys import load_public_point, warn_if_demo
    if not args.pubkey and not args.root:
        raise Failure("give --pubkey (the release key launchers carry), --root (the root keys "
                      "they carry) or both")
    pubkey = (args.pubkey, load_pubkey(args.pubkey)) if args.pubkey else None
    roots = [(path, load_public_point(path)) for path in args.root]
    for _, point in roots:
        warn_if_demo(point, "--root")
    problems, summary, counts = verify_tree(args.mirror, pubkey, roots)
    if args.json:
        print_json(dict({"mirror": args.mirror, "ok": not problems, "problems": problems},
                        **counts))
        return 1 if problems else 0
    for p in problems:
        print("korvanth-publish: %s" % p)
    if problems:
        return 1
    print("korvanth-publish: %s" % summary)
    return 0
