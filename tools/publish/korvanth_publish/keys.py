"""`keys`: the root key and the signed key list of release keys.

Launchers built with root keys (KORVANTH_ROOT_PUBKEYS) take the keys that
may sign manifest.sig from keys.json in the mirror tree, signed in keys.sig
by a root key. Every change writes the list with the next version: a
launcher refuses a version lower than the highest it has accepted, so an old
list that still names a leaked key cannot be served again.

The root's private key signs key lists only; keep it offline and bring it
out for `keys add` and `keys revoke`. Nothing here writes a private key
except `keys init`, into the file it is given."""

import hashlib
import json
import os
import re
import sys
from typing import NamedTuple

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from .common import (TIME_RE, Failure, now_text, read_bytes, read_manifest_pair,
                     write_atomically)
from .release import add_encrypt_options, make_key_pair, new_key_passphrase, public_pem_path
from .signing import add_options as add_signing_options, load_signer, sign
from .verify import decode_signature, unique_pairs

ID_RE = re.compile(r"[A-Za-z0-9._-]{1,31}")
# The launcher's limits (manifest/manifest.h).
MAX_KEY_LIST_BYTES = 16384
MAX_KEYS = 16  # release and revoked keys together
# The public half of keys/demo.pem, the development key whose private half
# is published with the launcher's source: anyone can sign with it. A test
# holds this to keys/demo.pub.pem.
DEMO_POINT = bytes.fromhex(
    "5a0a2edc8e961e80a4893aca474c300f30e8f9b851d9fa4b7a6962196a1ac2b5"
    "a022c28f003c88cf276bd4c6338cea6e0608a3c362479ec456d143b3c0609604")
DEMO_TEXT = "the demo key (keys/demo.pem), whose private half is public"


class KeyList(NamedTuple):
    """A key list as the launcher reads it, with the bytes it was read from;
    keys and revoked are lists of (id, point)."""
    version: int
    generated: str
    keys: list
    revoked: list
    data: bytes
    signature: bytes  # keys.sig's text, empty when there is none

    def holds(self, point):
        """Whether `point` is one of the list's release keys."""
        return any(p == point for _, p in self.keys)


def point_of(public_key):
    """The 64 bytes X||Y of a P-256 public key: how the launcher compares keys."""
    raw = public_key.public_bytes(serialization.Encoding.X962,
                                  serialization.PublicFormat.UncompressedPoint)
    return raw[1:]


def public_key_of(point):
    return ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + point)


def load_public_point(path):
    """The point of a PEM public key, or of a PEM private key's public half."""
    data = read_bytes(path)
    try:
        key = serialization.load_pem_public_key(data)
    except ValueError:
        try:
            key = serialization.load_pem_private_key(data, password=None).public_key()
        except TypeError:
            raise Failure("%s: an encrypted private key; give its public half (%s)"
                          % (path, public_pem_path(path)))
        except ValueError as e:
            raise Failure("%s: not a PEM key: %s" % (path, e))
    if not isinstance(key, ec.EllipticCurvePublicKey) or key.curve.name != "secp256r1":
        raise Failure("%s: not a P-256 key" % path)
    return point_of(key)


def warn_if_demo(point, what):
    """Says on stderr that `what` is the demo key: anything it signs can be
    forged by anyone."""
    if point == DEMO_POINT:
        print("korvanth-publish: warning: %s is %s: anyone can sign what a launcher trusting it "
              "takes; ship with a key of your own (korvanth-publish keygen)"
              % (what, DEMO_TEXT), file=sys.stderr)


def fingerprint(point):
    """How `keys show` names a key."""
    return "sha256:" + hashlib.sha256(point).hexdigest()[:16]


def verifies(point, data, sig_text):
    raw = decode_signature(sig_text)
    if raw is None or len(raw) != 64:
        return False
    try:
        public_key_of(point).verify(
            encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big")),
            data, ec.ECDSA(hashes.SHA256()))
        return True
    except (InvalidSignature, ValueError):
        return False


def parse_key_list(data, where, signature=b""):
    """The KeyList of the document, as the launcher reads it. Raises Failure."""
    if len(data) > MAX_KEY_LIST_BYTES:
        raise Failure("%s: larger than the launcher reads (%d bytes)" % (where, MAX_KEY_LIST_BYTES))
    try:
        doc = json.loads(data.decode("utf-8"), object_pairs_hook=unique_pairs)
    except (UnicodeDecodeError, ValueError, RecursionError) as e:
        raise Failure("%s: not valid JSON: %s" % (where, e))
    if not isinstance(doc, dict):
        raise Failure("%s: not an object" % where)
    version = doc.get("version")
    if not isinstance(version, int) or isinstance(version, bool) or not 1 <= version < 2 ** 63:
        raise Failure("%s: version must be a whole number from 1" % where)
    if not isinstance(doc.get("generated"), str) or not TIME_RE.fullmatch(doc["generated"]):
        raise Failure("%s: generated must be YYYY-MM-DDTHH:MM:SSZ" % where)
    groups = []
    seen_ids, seen_points = set(), set()
    for name in ("keys", "revoked"):
        entries = doc.get(name, [])
        if not isinstance(entries, list):
            raise Failure("%s: %s must be a list" % (where, name))
        group = []
        for e in entries:
            if not isinstance(e, dict) or not isinstance(e.get("id"), str) or \
                    not ID_RE.fullmatch(e["id"]) or not isinstance(e.get("key"), str) or \
                    not re.fullmatch(r"[0-9a-fA-F]{128}", e["key"]):
                raise Failure("%s: %s: every key needs an id (1 to 31 of A-Z a-z 0-9 . _ -) "
                              "and 128 hex digits" % (where, name))
            point = bytes.fromhex(e["key"])
            if e["id"] in seen_ids or point in seen_points:
                raise Failure("%s: key %s listed twice" % (where, e["id"]))
            seen_ids.add(e["id"])
            seen_points.add(point)
            group.append((e["id"], point))
        groups.append(group)
    keys, revoked = groups
    if not keys:
        raise Failure("%s: no release key" % where)
    return KeyList(version, doc["generated"], keys, revoked, data, signature)


def key_list_bytes(version, generated, keys, revoked):
    """The key list text: members in a fixed order, one key a line."""
    def key_lines(entries):
        return ",\n".join(json.dumps({"id": i, "key": p.hex()}) for i, p in entries)
    lines = ["{", '"version": %d,' % version, '"generated": %s,' % json.dumps(generated),
             '"keys": [', key_lines(keys), "]"]
    if revoked:
        lines[-1] += ","
        lines += ['"revoked": [', key_lines(revoked), "]"]
    lines.append("}")
    return ("\n".join(lines) + "\n").encode("utf-8")


def read_key_list(mirror):
    """The tree's KeyList, or None when it has none."""
    path = os.path.join(mirror, "keys.json")
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_KEY_LIST_BYTES + 1)
    except FileNotFoundError:
        return None
    except OSError as e:
        raise Failure("%s: %s" % (path, e.strerror))
    try:
        with open(os.path.join(mirror, "keys.sig"), "rb") as f:
            sig = f.read(4096)
    except OSError:
        sig = b""
    return parse_key_list(data, path, sig)


def listed_point(mirror, key_id):
    """The point of the key `key_id` in the tree's key list, or None; a
    revoked one too, so that it is refused as revoked rather than unknown."""
    current = read_key_list(mirror)
    return next((p for i, p in current.keys + current.revoked if i == key_id),
                None) if current else None


def check_release_key(mirror, key):
    """Refuses a manifest key that the tree's key list does not hold as a
    release key; a tree without a key list takes any key (launchers
    without root keys)."""
    current = read_key_list(mirror)
    point = point_of(key.public_key())
    if current is None:
        warn_if_demo(point, "--key")
        return
    where = os.path.join(mirror, "keys.json")
    if point == DEMO_POINT:
        raise Failure("--key: %s, cannot sign into %s, which has a key list: launchers with root "
                      "keys would take any release signed with it; sign with a release key of "
                      "the list (%s)" % (DEMO_TEXT, mirror, ", ".join(i for i, _ in current.keys)))
    for key_id, listed in current.revoked:
        if listed == point:
            raise Failure("--key: %s (version %d) revoked this key (%s); sign with a release "
                          "key it lists" % (where, current.version, key_id))
    if not current.holds(point):
        raise Failure("--key: not a release key of %s (version %d): add it with "
                      "`korvanth-publish keys add` first, or sign with a key it lists "
                      "(%s)" % (where, current.version, ", ".join(i for i, _ in current.keys)))


def signing_root(args):
    """The root's private key, and every root point whose signature on the
    current list is taken (its own and --previous-root ones)."""
    root = load_signer(args, args.root)
    points = [point_of(root.public_key())] + [load_public_point(p) for p in args.previous_root]
    for point, name in zip(points, ["--root"] + ["--previous-root"] * len(args.previous_root)):
        warn_if_demo(point, name)
    return root, points


def current_list(args, root_points):
    """The tree's list, checked against the roots, or an empty one."""
    current = read_key_list(args.out)
    if current is None:
        return 0, [], []
    if not any(verifies(p, current.data, current.signature) for p in root_points):
        raise Failure("%s: keys.sig does not verify keys.json under %s%s; a list changed by "
                      "someone else is never signed again"
                      % (args.out, args.root,
                         "" if args.previous_root else " (signed by another root? name it "
                         "with --previous-root)"))
    return current.version, current.keys, current.revoked


def write_list(args, root, root_points, version, keys, revoked):
    for key_id, point in keys:
        if point in root_points:
            raise Failure("key %s is a root key: roots sign key lists only" % key_id)
    if len(keys) + len(revoked) > MAX_KEYS:
        raise Failure("the launcher reads at most %d keys (release and revoked)" % MAX_KEYS)
    generated = args.generated or now_text()
    if not TIME_RE.fullmatch(generated):
        raise Failure("--generated: %r is not a UTC time YYYY-MM-DDTHH:MM:SSZ" % generated)
    data = key_list_bytes(version, generated, keys, revoked)
    os.makedirs(args.out, exist_ok=True)
    # keys.json first: a launcher that reads the new list beside the old
    # signature refuses that mirror's list for one pass and takes another's.
    signature = sign(root, data)  # a signer that fails leaves the tree as it was
    write_atomically(os.path.join(args.out, "keys.json"), [data])
    write_atomically(os.path.join(args.out, "keys.sig"), [signature])
    print("korvanth-publish: %s version %d: release keys %s%s"
          % (os.path.join(args.out, "keys.json"), version, ", ".join(i for i, _ in keys),
             "; revoked %s" % ", ".join(i for i, _ in revoked) if revoked else ""))


def cmd_init(args):
    pub_path = make_key_pair(args.key, new_key_passphrase(args))
    print("korvanth-publish: root key %s, public half %s.\n"
          "  This is a ROOT key: it signs key lists only, never a release. Copy it to offline\n"
          "  storage (two copies in two places, for example encrypted USB sticks) and delete it\n"
          "  from this machine; bring it out only for `keys add` and `keys revoke`.\n"
          "  Build the launcher with -DKORVANTH_ROOT_PUBKEYS=%s"
          % (args.key, pub_path, os.path.abspath(pub_path)))
    return 0


def cmd_add(args):
    root, root_points = signing_root(args)
    version, keys, revoked = current_list(args, root_points)
    point = load_public_point(args.release_key)
    if point == DEMO_POINT:
        raise Failure("%s: %s: listed, it would let anyone sign releases that every launcher "
                      "with your root keys takes; list a key of your own (korvanth-publish "
                      "keygen)" % (args.release_key, DEMO_TEXT))
    key_id = args.id or hashlib.sha256(point).hexdigest()[:16]
    if not ID_RE.fullmatch(key_id):
        raise Failure("--id %r: 1 to 31 of A-Z a-z 0-9 . _ -" % key_id)
    for listed_id, listed in keys + revoked:
        if listed == point:
            raise Failure("%s: listed already as %s%s" % (args.release_key, listed_id,
                          " (revoked: a revoked key never comes back)" if
                          (listed_id, listed) in revoked else ""))
        if listed_id == key_id:
            raise Failure("--id %s: taken by another key" % key_id)
    write_list(args, root, root_points, version + 1, keys + [(key_id, point)], revoked)
    return 0


def cmd_revoke(args):
    root, root_points = signing_root(args)
    version, keys, revoked = current_list(args, root_points)
    left = [(i, p) for i, p in keys if i != args.id]
    if len(left) == len(keys):
        raise Failure("%s: no release key %s (release keys: %s)"
                      % (args.out, args.id, ", ".join(i for i, _ in keys) or "none"))
    if not left:
        raise Failure("%s is the last release key: add its successor first (keys add), "
                      "then revoke it" % args.id)
    gone = [(i, p) for i, p in keys if i == args.id]
    check_not_signing(args, gone[0][1], [i for i, _ in left])
    write_list(args, root, root_points, version + 1, left, revoked + gone)
    return 0


def check_not_signing(args, point, others):
    """Refuses to revoke the key that signs the tree's current release, which
    every launcher with root keys would then refuse: the release a player
    cannot get past until the next one, signed by a listed key, goes up."""
    try:
        data, sig = read_manifest_pair(args.out)
    except FileNotFoundError:
        return
    if not verifies(point, data, sig):
        return
    outage = ("every launcher with root keys refuses %s's current release (manifest.sig) until "
              "a release signed by a listed key (%s) is published" % (args.out, ", ".join(others)))
    if not args.force:
        raise Failure("%s signs %s's current release: revoked now, %s. Sign the next release "
                      "with another listed key first (build --key), then revoke %s; or give "
                      "--force to revoke it now anyway" % (args.id, args.out, outage, args.id))
    print("korvanth-publish: warning: --force: %s revoked while it signs the current release: "
          "%s; verify and upload refuse the tree until then" % (args.id, outage),
          file=sys.stderr)


def cmd_show(args):
    current = read_key_list(args.mirror)
    if current is None:
        raise Failure("%s: no keys.json" % args.mirror)
    print("keys.json version %d, generated %s" % (current.version, current.generated))
    for label, group in (("release", current.keys), ("revoked", current.revoked)):
        for key_id, point in group:
            print("  %-7s %-31s sha256:%s" % (label, key_id, hashlib.sha256(point).hexdigest()[:16]))
    status = 0
    if args.root:
        signers = [p for p in args.root
                   if verifies(load_public_point(p), current.data, current.signature)]
        print("keys.sig: %s" % ("signed by %s" % signers[0] if signers else
                                "does not verify under %s" % ", ".join(args.root)))
        status = 0 if signers else 1
    try:
        manifest, manifest_sig = read_manifest_pair(args.mirror)
    except OSError:
        return status
    by = [i for i, p in current.keys if verifies(p, manifest, manifest_sig)]
    was = [i for i, p in current.revoked if verifies(p, manifest, manifest_sig)]
    if by:
        print("manifest.sig: signed by release key %s" % by[0])
    else:
        print("manifest.sig: %s" % ("signed by the REVOKED key %s" % was[0] if was else
                                    "signed by no key of the list"))
        status = 1
    return status


def add_parser(sub):
    p = sub.add_parser("keys", help="the root key and the key list of release keys")
    keys = p.add_subparsers(dest="keys_command", required=True)
    q = keys.add_parser("init", help="make the root key pair (once)")
    q.add_argument("key", metavar="ROOT.pem",
                   help="where to write the private root key (never over a file); the "
                        "public half goes beside it as ROOT.pub.pem")
    add_encrypt_options(q)
    q.set_defaults(func=cmd_init)
    for name, text in (("add", "list a release key"), ("revoke", "revoke a release key")):
        q = keys.add_parser(name, help=text)
        q.add_argument("--root", required=True, metavar="ROOT.pem",
                       help="the root's private key, which signs the new list (with "
                            "--sign-command: its public half)")
        add_signing_options(q, "--root")
        q.add_argument("--previous-root", action="append", default=[], metavar="ROOT.pub.pem",
                       help="another root whose signature on the current list is taken "
                            "(when the root moves)")
        q.add_argument("--out", required=True, metavar="MIRROR",
                       help="the mirror tree whose keys.json and keys.sig are replaced")
        q.add_argument("--generated", metavar="YYYY-MM-DDTHH:MM:SSZ",
                       help="the key list's time in UTC (default: now)")
        if name == "add":
            q.add_argument("--id", metavar="ID", help="the key's name (default: from its digest)")
            q.add_argument("release_key", metavar="RELEASE.pub.pem",
                           help="the public half of the release key to list")
            q.set_defaults(func=cmd_add)
        else:
            q.add_argument("--force", action="store_true",
                           help="revoke the key even when it signs the tree's current release: "
                                "every launcher with root keys then refuses that release until a "
                                "release signed by a listed key is published")
            q.add_argument("id", metavar="ID", help="the listed name of the key to revoke")
            q.set_defaults(func=cmd_revoke)
    q = keys.add_parser("show", help="print a tree's key list and check its signatures")
    q.add_argument("--root", action="append", default=[], metavar="ROOT.pub.pem",
                   help="a root public key to check keys.sig with (repeatable; default: "
                        "print the list unchecked)")
    q.add_argument("mirror", metavar="MIRROR", help="the mirror tree whose key list to show")
    q.set_defaults(func=cmd_show)
