#!/usr/bin/python3
"""Builds the releases the update tests download, as mirror trees below the
local mirror's root: STATE/tree/update/NAME/ (objects/, manifest.json,
manifest.sig), and each release's client files in STATE/tree/update/NAME.client/
so that tests can compare bytes.

  make_releases.py STATE KEY.pem|none [LAUNCHER.exe]

With LAUNCHER.exe, the release "selfupdate" names that program as the new
launcher, so that a hand-over can run to its end.

Manifests are written here rather than by the release tool because some
releases must be what the tool refuses to make: one path in two groups,
corrupt objects, a signature over other bytes.
"""

import base64
import gzip
import hashlib
import json
import os
import random
import shutil
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature


def content():
    rng = random.Random(7)
    noise = lambda n: bytes(rng.getrandbits(8) for _ in range(n))
    return {
        "dv": b"MZ" + noise(4000),
        "text": b"".join(b"Korvanth text line %d\n" % i for i in range(2000)),
        "dup": noise(3000),
        "iface": b"<layout kind='interface'/>\n" * 100,
        "stock": b"<layout kind='stock'/>\n" * 100,
        "only_iface": b"interface only\n" * 10,
        "seed": b"[settings]\nvolume=5\n",
        "d3d9": b"dxvk d3d9 " * 500,
        "dxgi": b"dxvk dxgi " * 500,
        "hd": noise(1000),
        "big": noise(6 << 20),
        # Packs to about 2 MiB: too large to travel in memory, so it is
        # unpacked from its part file while it downloads.
        "bigtext": b"".join(b"Korvanth streamed line %d %s\n" % (i, noise(24).hex().encode())
                            for i in range(60000)),
        "launcher": b"MZ new launcher " + noise(2000),
    }


def main_entries(c):
    # (path, content key, group, seed, id)
    return [
        ("system/dv.exe", "dv", "system", 0, ""),
        ("data/text.txt", "text", "base", 0, ""),
        ("data/copy_a.bin", "dup", "base", 0, ""),
        ("data/copy_b.bin", "dup", "base", 0, ""),
        ("ui/layout.xml", "iface", "interface", 0, ""),
        ("ui/layout.xml", "stock", "stock", 0, ""),
        ("ui/only_interface.xml", "only_iface", "interface", 0, ""),
        ("settings.ini", "seed", "base", 1, ""),
        ("system/d3d9.dll", "d3d9", None, 0, "dxvk"),
        ("system/dxgi.dll", "dxgi", None, 0, "dxvk"),
        ("textures/hd.pak", "hd", None, 0, "hd"),
    ]


def same_length_gzip(data, length):
    """A gzip member of `length` bytes holding content other than `data`."""
    for i in range(len(data)):
        for repl in (b"x", b"K", b"0", b" "):
            other = data[:i] + repl + data[i + 1:]
            if other == data:
                continue
            member = gzip.compress(other, mtime=0)
            if len(member) == length:
                return member
    raise SystemExit("make_releases: no same-length variant found")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def sign(key, data):
    der = key.sign(data, ec.ECDSA(hashes.SHA256()))
    r, s = decode_dss_signature(der)
    return base64.b64encode(r.to_bytes(32, "big") + s.to_bytes(32, "big")) + b"\n"


def build(root, name, key, c, entries, version, generated, launcher=None, remove=(),
          mirrors=(), corrupt=False, gz=True, signed_bytes=None, broken_gz=False):
    out = os.path.join(root, name)
    shutil.rmtree(out, ignore_errors=True)
    shutil.rmtree(out + ".client", ignore_errors=True)
    files, optional = [], []

    def entry(path, data, group=None, seed=0, ident=""):
        digest = hashlib.sha256(data).hexdigest()
        e = {"p": path, "s": len(data), "h": digest}
        packed = gzip.compress(data, mtime=0)
        stored, stored_packed = data, packed
        if corrupt:
            # Wrong content of the announced sizes, so that only the digest
            # can tell: the plain object flipped, the gzip object a valid
            # member of other content that packs to the same length.
            stored = bytes(b ^ 0x5A for b in data)
            stored_packed = same_length_gzip(data, len(packed))
        if broken_gz:
            # Bytes flipped in the middle of the deflate data: no longer a
            # valid member, whatever the decoder notices first.
            middle = len(packed) // 2
            stored_packed = (packed[:middle] + bytes(b ^ 0xFF for b in packed[middle:middle + 64])
                             + packed[middle + 64:])
        write(os.path.join(out, "objects", digest), stored)
        if len(packed) < len(data):
            e["z"] = len(packed)
            if gz:
                write(os.path.join(out, "objects", digest + ".gz"), stored_packed)
        if group:
            e["g"] = group
        if seed:
            e["seed"] = 1
        if ident:
            e["id"] = ident
        return e

    for path, key_name, group, seed, ident in entries:
        data = c[key_name]
        e = entry(path, data, group, seed, ident)
        (optional if ident else files).append(e)
        suffix = "" if group != "stock" else ".stock"
        write(os.path.join(out + ".client", path + suffix), data)
    doc = {"version": version, "generated": generated, "files": files}
    if optional:
        doc["optional"] = optional
    if remove:
        doc["remove"] = list(remove)
    if mirrors:
        doc["mirrors"] = list(mirrors)
    if launcher is not None:
        doc["launcher"] = entry("Korvanth.exe", c[launcher])
        write(os.path.join(out + ".client", "Korvanth.exe"), c[launcher])
    text = json.dumps(doc, indent=1).encode() + b"\n"
    write(os.path.join(out, "manifest.json"), text)
    write(os.path.join(out, "manifest.sig"), sign(key, signed_bytes or text))


def main():
    state, key_path = sys.argv[1], sys.argv[2]
    root = os.path.join(state, "tree", "update")
    os.makedirs(root, exist_ok=True)
    if key_path == "none":
        return
    with open(key_path, "rb") as f:
        key = serialization.load_pem_private_key(f.read(), None)
    c = content()
    if len(sys.argv) > 3:
        with open(sys.argv[3], "rb") as f:
            c["real_launcher"] = f.read()
    entries = main_entries(c)
    new = "2026-01-01T00:00:00Z"
    build(root, "main", key, c, entries, "1.0", new, remove=("old/obsolete.txt", "old"))
    build(root, "fresh", key, c, entries, "1.0", new, remove=("old/obsolete.txt", "old"))
    build(root, "older", key, c, entries[:2], "0.9", "2025-06-01T00:00:00Z")
    build(root, "launcher", key, c, entries, "1.1", "2026-02-01T00:00:00Z", launcher="launcher")
    build(root, "badsig", key, c, entries, "1.0", new, signed_bytes=b"other bytes")
    build(root, "corrupt", key, c, entries, "1.0", new, corrupt=True)
    build(root, "nogz", key, c, entries, "1.0", new, gz=False)
    build(root, "big", key, c, entries[:1] + [("data/big.pak", "big", "base", 0, "")], "2.0",
          "2026-03-01T00:00:00Z")
    streamed = entries[:1] + [("data/stream.txt", "bigtext", "base", 0, "")]
    build(root, "bigtext", key, c, streamed, "2.1", "2026-03-02T00:00:00Z")
    build(root, "bigbadgz", key, c, streamed, "2.1", "2026-03-02T00:00:00Z", broken_gz=True)
    if "real_launcher" in c:
        build(root, "selfupdate", key, c, entries[:2], "1.2", "2026-04-01T00:00:00Z",
              launcher="real_launcher")
    # The fault and kill runners (tests/faults): an older release installed
    # first, then updated to a newer one of some 30 files (gzip and plain,
    # a shared digest, a seed file, optional sets, a removed file); and a
    # larger one with a big plain and a big streamed object.
    old_c, new_c, extra = dict(c), dict(c), []
    rng = random.Random(11)
    for i in range(16):
        name = "extra%d" % i
        if i % 2:
            body = bytes(rng.getrandbits(8) for _ in range(700 + 97 * i))
        else:
            body = b"".join(b"extra %d line %d\n" % (i, k) for k in range(40 + 13 * i))
        new_c[name] = body
        old_c[name] = body if i % 3 == 0 else body[: len(body) // 2] + b"old"
        extra.append(("extra/%02d.%s" % (i, "bin" if i % 2 else "txt"), name, "base", 0, ""))
    old_c["dv"] = b"MZ old " + c["dv"][:1000]
    old_c["text"] = c["text"][:5000]
    old_c["obsolete"] = b"left from the old release\n"
    build(root, "faults_old", key, old_c,
          entries + extra + [("old/obsolete.txt", "obsolete", "base", 0, "")],
          "0.9", "2025-12-01T00:00:00Z")
    build(root, "faults", key, new_c, entries + extra, "1.0", new, remove=("old/obsolete.txt",))
    build(root, "many", key, new_c, extra, "1.0", new)
    build(root, "faults_large", key, new_c,
          entries + extra + [("data/big.pak", "big", "base", 0, ""),
                             ("data/stream.txt", "bigtext", "base", 0, "")],
          "1.1", "2026-02-01T00:00:00Z")
    os.makedirs(os.path.join(root, "empty"), exist_ok=True)


if __name__ == "__main__":
    main()
