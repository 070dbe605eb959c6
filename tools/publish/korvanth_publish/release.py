"""The signed pair every release ends with: the manifest text and its
signature, and the key that makes it."""

import json
import os

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec

from .common import Failure
from .signing import passphrase_from


def public_pem_path(key_path):
    base = key_path[:-4] if key_path.endswith(".pem") else key_path
    return base + ".pub.pem"


def add_parser(sub):
    p = sub.add_parser("keygen", help="make a P-256 signing key pair")
    p.add_argument("--role", choices=KEY_ROLES, default="manifest",
                   help="what the key is for, which decides the advice printed: manifest, "
                        "the one key built into launchers without root keys (default); "
                        "release, a key that a root-signed key list names; root, a root "
                        "key built into launchers (as `keys init` makes)")
    p.add_argument("key", metavar="KEY.pem",
                   help="where to write the private key (never over a file); the public half "
                        "goes beside it as KEY.pub.pem")
    add_encrypt_options(p)
    p.set_defaults(func=cmd_keygen)


def add_encrypt_options(p):
    p.add_argument("--encrypt", action="store_true",
                   help="encrypt the private key (PKCS#8) with a passphrase, asked for twice "
                        "in a terminal or read from --passphrase-env")
    p.add_argument("--passphrase-env", metavar="NAME",
                   help="with --encrypt: the environment variable that holds the passphrase")


def new_key_passphrase(args):
    """The passphrase to encrypt a new key with, or None for a key in clear."""
    if args.passphrase_env and not args.encrypt:
        raise Failure("--passphrase-env: give --encrypt too, or the key is written in clear")
    if not args.encrypt:
        return None
    refuse_existing(args.key)  # before the passphrase is typed for nothing
    secret = passphrase_from(args.passphrase_env, args.key, confirm=True)
    if secret is None:
        raise Failure("--encrypt: give --passphrase-env NAME or run in a terminal")
    return secret


KEY_ROLES = ("manifest", "release", "root")


def keygen_advice(role, key_path, pub_path):
    """What to do with a new key: a launcher with root keys carries no
    release key, so telling a root user to build one in would make a
    launcher that ignores the key list."""
    pub = os.path.abspath(pub_path)
    if role == "root":
        return ("root key %s, public half %s: it signs key lists only; build the launcher "
                "with -DKORVANTH_ROOT_PUBKEYS=%s and keep %s offline" % (
                    key_path, pub_path, pub, key_path))
    if role == "release":
        return ("release key %s (keep it secret), public half %s: list it in the mirror "
                "tree's key list with `korvanth-publish keys add --root ROOT.pem --out MIRROR "
                "--id ID %s`; launchers built with -DKORVANTH_ROOT_PUBKEYS then accept what "
                "it signs" % (key_path, pub_path, pub))
    return ("private key %s (keep it secret), public key %s (build the launcher with "
            "-DKORVANTH_MANIFEST_PUBKEY=%s; for a launcher with root keys make release keys "
            "with --role release instead)" % (key_path, pub_path, pub))


def cmd_keygen(args):
    pub_path = make_key_pair(args.key, new_key_passphrase(args))
    print("korvanth-publish: " + keygen_advice(args.role, args.key, pub_path))
    return 0


def refuse_existing(key_path):
    """The public key's path, when neither half exists yet."""
    pub_path = public_pem_path(key_path)
    for p in (key_path, pub_path):
        if os.path.exists(p):
            raise Failure("%s: exists; a signing key is never overwritten" % p)
    return pub_path


def make_key_pair(key_path, passphrase=None):
    """Writes a new P-256 key pair: the private key to `key_path` (mode 0600,
    never over an existing file; encrypted when a passphrase is given) and
    the public one beside it. Returns the public key's path."""
    pub_path = refuse_existing(key_path)
    key = ec.generate_private_key(ec.SECP256R1())
    private_pem = key.private_bytes(serialization.Encoding.PEM,
                                    serialization.PrivateFormat.PKCS8,
                                    serialization.BestAvailableEncryption(passphrase)
                                    if passphrase else serialization.NoEncryption())
    public_pem = key.public_key().public_bytes(serialization.Encoding.PEM,
                                               serialization.PublicFormat.SubjectPublicKeyInfo)
    fd = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(private_pem)
    with open(pub_path, "xb") as f:
        f.write(public_pem)
    return pub_path


def entry_json(entry):
    """One file entry, members in a fixed order."""
    out = {"p": entry["p"], "s": entry["s"], "h": entry["h"]}
    for key in ("g", "z", "seed", "id", "chunks", "deltas"):
        if entry.get(key):
            out[key] = entry[key]
    return json.dumps(out, ensure_ascii=False, separators=(", ", ": "))


def manifest_bytes(version, generated, launcher, mirrors, files, optional, removes,
                   expires=None):
    """The manifest text: members in a fixed order, one entry a line."""
    dump = lambda v: json.dumps(v, ensure_ascii=False)
    lines = ["{", '"version": %s,' % dump(version), '"generated": %s' % dump(generated)]
    if expires:
        lines[-1] += ","
        lines.append('"expires": %s' % dump(expires))
    if launcher:
        lines[-1] += ","
        lines.append('"launcher": %s' % entry_json(launcher))
    if mirrors:
        lines[-1] += ","
        lines.append('"mirrors": [%s]' % ", ".join(dump(m) for m in mirrors))
    for key, entries in (("files", files), ("optional", optional)):
        if key == "files" or entries:
            lines[-1] += ","
            lines.append('"%s": [' % key)
            lines.append(",\n".join(entry_json(e) for e in entries))
            lines.append("]")
    if removes:
        lines[-1] += ","
        lines.append('"remove": [%s]' % ", ".join(dump(r) for r in removes))
    lines.append("}")
    return ("\n".join(lines) + "\n").encode("utf-8")
