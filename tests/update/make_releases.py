#!/usr/bin/python3
"""Builds the releases the update tests download, as mirror trees below the
local mirror's root: STATE/tree/update/NAME/ (objects/, manifest.json,
manifest.sig), and each release's client files in STATE/tree/update/NAME.client/
so that tests can compare bytes.

  make_releases.py STATE KEY.pem|none [LAUNCHER.exe [NAME=LAUNCHER.exe ...]]

With LAUNCHER.exe, the release "selfupdate" names that program as the new
launcher, so that a hand-over can run to its end. Each NAME=LAUNCHER.exe
makes a release "launcher-NAME" naming that program: the test builds of a
launcher that cannot start, which a swap refuses.

The releases of the signing-key tests get key lists (keys.json, keys.sig)
beside their manifests, signed with key pairs made here into STATE/keys/
(public halves as NAME.pub.pem): roots "root1" and "root2", release keys
"relA" and "relB", and "rogue", a key of nobody's list. The rotation
releases rot-1 .. rot-3 are made with the publisher's tool, as a publisher
makes them; "rot-attack" is what an attacker who holds the revoked key
serves.

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
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

# The publisher's modules: the chunk tool and the delta encoder.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "publish"))


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


def chunk_tool():
    """The publisher's native chunk tool, built on demand from this checkout."""
    from korvanth_publish import chunks
    return chunks, chunks.find_chunker()


def add_chunks(out, e, path, tool, fault):
    """Writes the chunk index and chunk objects of the client file at `path`
    and names the index in its entry. `fault`: "index" stores other bytes
    under the index's name, "version" an index of an unknown version, "chunk"
    a wrong .gz and plain object of the last chunk (new in an update: the
    tail appended), "chunk_gz" a wrong .gz of it only, "missing" no object
    of it."""
    chunks, exe = tool
    objects = os.path.join(out, "objects")
    cuts = list(chunks.cut(exe, path))
    records = []
    with open(path, "rb") as f:
        for n, (offset, length, digest) in enumerate(cuts):
            f.seek(offset)
            data = f.read(length)
            plain = os.path.join(objects, digest)
            packed = chunks.stage_chunk(data, plain)
            records.append((length, packed, digest))
            if n != len(cuts) - 1:
                continue
            if fault in ("chunk", "chunk_gz") and packed:
                write(plain + ".gz", gzip.compress(data[::-1], mtime=0)[:packed].ljust(packed, b"\0"))
            if fault == "chunk":
                write(plain, data[::-1])
            if fault == "missing":
                for name in (plain, plain + ".gz"):
                    if os.path.exists(name):
                        os.unlink(name)
    index = chunks.index_bytes(e["s"], records)
    digest = hashlib.sha256(index).hexdigest()
    if fault == "version":
        index = index[:4] + b"\x02" + index[5:]
        digest = hashlib.sha256(index).hexdigest()
    if fault == "index":
        index = index[:-1] + bytes([index[-1] ^ 1])
    write(os.path.join(objects, digest), index)
    e["chunks"] = digest


def add_deltas(out, e, new_bytes, olds, fault):
    """Writes delta objects that make `new_bytes` from each of `olds` (bytes,
    gzip level) and names them in the entry, in that order. `fault`: "digest"
    stores other bytes under the first delta's name, "missing" writes none,
    "wrong" makes the first delta from other new bytes of the same size with
    the header still naming the entry's file."""
    from korvanth_publish import delta
    records = []
    for n, (old, level) in enumerate(olds):
        target = new_bytes
        if fault == "wrong" and n == 0:
            target = bytes(b ^ 0x20 if i % 977 == 0 else b for i, b in enumerate(new_bytes))
        with tempfile.TemporaryDirectory() as tmp:
            write(os.path.join(tmp, "old"), old)
            write(os.path.join(tmp, "new"), target)
            made = delta.make(os.path.join(tmp, "old"), os.path.join(tmp, "new"))
        if level == 0:
            # The same records stored, not packed: a larger delta.
            stream = gzip.compress(gzip.decompress(made[96:]), compresslevel=0, mtime=0)
            made = made[:88] + len(stream).to_bytes(8, "little") + stream
        if target is not new_bytes:
            made = made[:56] + hashlib.sha256(new_bytes).digest() + made[88:]
        digest = hashlib.sha256(made).hexdigest()
        stored = made
        if fault == "digest" and n == 0:
            stored = made[:-1] + bytes([made[-1] ^ 1])
        if fault != "missing":
            write(os.path.join(out, "objects", digest), stored)
        records.append({"from": hashlib.sha256(old).hexdigest(), "h": digest, "s": len(made)})
    e["deltas"] = records


def build(root, name, key, c, entries, version, generated, launcher=None, remove=(),
          mirrors=(), corrupt=False, gz=True, signed_bytes=None, broken_gz=False, expires=None,
          chunked=(), chunk_fault=None, deltas=None, delta_fault=None):
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
        if path in chunked:
            add_chunks(out, e, os.path.join(out + ".client", path), chunked_tool[0],
                       chunk_fault if path == chunked[0] else None)
        if deltas and path in deltas:
            add_deltas(out, e, data, deltas[path], delta_fault)
    doc = {"version": version, "generated": generated, "files": files}
    if expires:
        doc["expires"] = expires
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


TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "publish",
                    "korvanth-publish")


def new_key(keys_dir, name):
    """A P-256 key pair: NAME.pem and NAME.pub.pem in keys_dir (made once)."""
    path = os.path.join(keys_dir, name + ".pem")
    if not os.path.exists(path):
        subprocess.run([sys.executable, TOOL, "keygen", path], check=True,
                       stdout=subprocess.DEVNULL)
    with open(path, "rb") as f:
        return serialization.load_pem_private_key(f.read(), None)


def point_hex(key):
    raw = key.public_key().public_bytes(serialization.Encoding.X962,
                                        serialization.PublicFormat.UncompressedPoint)
    return raw[1:].hex()


def key_list(version, keys, revoked=(), generated="2026-01-01T00:00:00Z"):
    """keys.json text: (id, private key) pairs of release and revoked keys."""
    doc = {"version": version, "generated": generated,
           "keys": [{"id": i, "key": point_hex(k)} for i, k in keys]}
    if revoked:
        doc["revoked"] = [{"id": i, "key": point_hex(k)} for i, k in revoked]
    return json.dumps(doc, indent=1).encode() + b"\n"


def put_key_list(root, name, text, signer):
    write(os.path.join(root, name, "keys.json"), text)
    write(os.path.join(root, name, "keys.sig"), sign(signer, text))


def key_releases(root, state, demo, c):
    """The trees of the key table: each a small release and a key list."""
    keys_dir = os.path.join(state, "keys")
    os.makedirs(keys_dir, exist_ok=True)
    k = {n: new_key(keys_dir, n) for n in ("root1", "root2", "relA", "relB", "rogue")}
    small = main_entries(c)[:2]
    v1 = key_list(1, [("A", k["relA"])])
    v2 = key_list(2, [("B", k["relB"])], [("A", k["relA"])], "2026-01-02T00:00:00Z")
    cases = [
        # name, manifest signer, generated, key list, list signer
        ("keys-a1", "relA", "2026-01-01T00:00:00Z", v1, "root1"),
        ("keys-b2", "relB", "2026-01-02T00:00:00Z", v2, "root1"),
        # The revoked key's holder, newer than everyone, beside a copy of
        # the list that revoked it.
        ("keys-a-attack", "relA", "2026-01-05T00:00:00Z", v2, "root1"),
        ("keys-root-signed", "root1", "2026-01-01T00:00:00Z", v1, "root1"),
        # A list the release key made for itself and its accomplice.
        ("keys-by-release", "rogue", "2026-01-03T00:00:00Z",
         key_list(5, [("A", k["relA"]), ("X", k["rogue"])]), "relA"),
        ("keys-v2-other", "relA", "2026-01-04T00:00:00Z",
         key_list(2, [("A", k["relA"]), ("B", k["relB"])]), "root1"),
        ("keys-root2", "relA", "2026-01-01T00:00:00Z", v1, "root2"),
        ("keys-root-listed", "relA", "2026-01-03T00:00:00Z",
         key_list(1, [("A", k["relA"]), ("R", k["root1"])]), "root1"),
        # The key launchers without roots carry, listed as a release key:
        # old and new launchers accept the same manifest.sig.
        ("keys-demo", "demo", "2026-01-01T00:00:00Z", key_list(1, [("demo", demo)]), "root1"),
        ("keys-move", "demo", "2026-01-01T00:00:00Z", key_list(1, [("demo", demo)]), "root1"),
    ]
    k["demo"] = demo
    for name, signer, generated, text, list_signer in cases:
        build(root, name, k[signer], c, small, name, generated)
        put_key_list(root, name, text, k[list_signer])


def tool(*args):
    subprocess.run([sys.executable, TOOL] + list(args), check=True, stdout=subprocess.DEVNULL)


def rotation_releases(root, state, c):
    """A key rotation as the publisher makes it with the tool, one snapshot
    of the mirror tree per step: rot-1 (key A), rot-2 (key B added, a
    release signed with B), rot-3 (A revoked). rot-attack: a newer release
    signed with A beside the list of rot-2, which still names A."""
    keys_dir = os.path.join(state, "keys")
    work = os.path.join(state, "rotation")
    shutil.rmtree(work, ignore_errors=True)
    client, tree = os.path.join(work, "client"), os.path.join(work, "tree")
    for rel, key_name in (("system/dv.exe", "dv"), ("data/text.txt", "text")):
        write(os.path.join(client, rel), c[key_name])
    rules = os.path.join(work, "rules")
    write(rules, b"** base\n")
    root_key = os.path.join(keys_dir, "rot-root.pem")
    if not os.path.exists(root_key):
        tool("keys", "init", root_key)
    for name in ("rot-A", "rot-B"):
        new_key(keys_dir, name)
    key = lambda name: os.path.join(keys_dir, name + ".pem")

    def release(version, generated, signer, out=tree):
        tool("build", "--client", client, "--rules", rules, "--key", key(signer), "--version",
             version, "--out", out, "--generated", generated, "--quiet", "--jobs", "1")

    def snapshot(name, source=tree):
        for copy, original in ((name, source), (name + ".client", client)):
            shutil.rmtree(os.path.join(root, copy), ignore_errors=True)
            shutil.copytree(original, os.path.join(root, copy))

    tool("keys", "add", "--root", root_key, "--out", tree, "--id", "A", key("rot-A")[:-4] + ".pub.pem")
    release("1.0", "2026-02-01T00:00:00Z", "rot-A")
    snapshot("rot-1")
    tool("keys", "add", "--root", root_key, "--out", tree, "--id", "B", key("rot-B")[:-4] + ".pub.pem")
    write(os.path.join(client, "data/text.txt"), c["text"] + b"release 1.1\n")
    release("1.1", "2026-02-02T00:00:00Z", "rot-B")
    snapshot("rot-2")
    tool("keys", "revoke", "--root", root_key, "--out", tree, "A")
    snapshot("rot-3")
    # The tool refuses the revoked key for the publisher's tree; the attacker
    # builds into a tree of his own and puts the old list beside it.
    attack = os.path.join(work, "attack")
    write(os.path.join(client, "data/text.txt"), c["text"] + b"attacker's 1.2\n")
    release("1.2", "2026-02-05T00:00:00Z", "rot-A", attack)
    for name in ("keys.json", "keys.sig"):
        shutil.copyfile(os.path.join(root, "rot-2", name), os.path.join(attack, name))
    snapshot("rot-attack", attack)


def freshness_releases(root, state, key, c):
    """Three mirrors of one publisher, each a release of another day, every
    manifest naming all three (the local mirror's address is known now)."""
    with open(os.path.join(state, "mirror", "https.port")) as f:
        port = f.read().strip()
    mirrors = ["https://127.0.0.1:%s/update/day%d/" % (port, d) for d in (1, 2, 3)]
    for d in (1, 2, 3):
        day = dict(c, text=c["text"] + b"day %d\n" % d)
        build(root, "day%d" % d, key, day, main_entries(c)[:3], "1.%d" % d,
              "2026-01-0%dT00:00:00Z" % d, mirrors=mirrors)


def pruned_releases(root, state, key_path, c):
    """Three releases made with the tool into one tree, then `prune --keep 2`:
    "pruned" serves the newest, "pruned-1.1" the older kept one (its pair
    from releases/ beside the same objects)."""
    work = os.path.join(state, "pruning")
    shutil.rmtree(work, ignore_errors=True)
    client, tree = os.path.join(work, "client"), os.path.join(work, "tree")
    rules = os.path.join(work, "rules")
    write(rules, b"** base\n")
    write(os.path.join(client, "system/dv.exe"), c["dv"])
    steps = [("1.0", {"data/text.txt": c["text"], "data/first.txt": b"only in 1.0\n"}),
             ("1.1", {"data/text.txt": c["text"] + b"release 1.1\n", "data/first.txt": None}),
             ("1.2", {"data/text.txt": c["text"] + b"release 1.2\n"})]
    for day, (version, files) in enumerate(steps, 1):
        for rel, data in files.items():
            if data is None:
                os.unlink(os.path.join(client, rel))
            else:
                write(os.path.join(client, rel), data)
        tool("build", "--client", client, "--rules", rules, "--key", key_path, "--version",
             version, "--out", tree, "--generated", "2026-05-0%dT00:00:00Z" % day, "--quiet",
             "--jobs", "1")
    tool("prune", "--keep", "2", tree)
    gone = hashlib.sha256(b"only in 1.0\n").hexdigest()
    if os.path.exists(os.path.join(tree, "objects", gone)):
        raise SystemExit("prune --keep 2 left the oldest release's own object")
    shutil.rmtree(os.path.join(root, "pruned"), ignore_errors=True)
    shutil.copytree(tree, os.path.join(root, "pruned"))
    older = os.path.join(root, "pruned-1.1")
    shutil.rmtree(older, ignore_errors=True)
    shutil.copytree(os.path.join(tree, "objects"), os.path.join(older, "objects"))
    for name in ("manifest.json", "manifest.sig"):
        shutil.copyfile(os.path.join(tree, "releases", "1.1", name), os.path.join(older, name))


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
    broken = []
    for arg in sys.argv[4:]:
        name, path = arg.split("=", 1)
        with open(path, "rb") as f:
            c["launcher_" + name] = f.read()
        broken.append(name)
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
    # Before "selfupdate": a player refused one of these takes that one later.
    for name in broken:
        build(root, "launcher-" + name, key, c, entries[:2], "1.1-" + name,
              "2026-03-15T00:00:00Z", launcher="launcher_" + name)
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
    # A client file under the launcher's state file's name, in another
    # letter case: the tool refuses to publish one, launchers the release.
    c["client_state"] = b"#Korvanth state\r\n#version=the client's copy\r\n"
    build(root, "ownname", key, c, entries[:2] + [("korvanth.STATE", "client_state", "base", 0, "")],
          "1.3", "2026-04-02T00:00:00Z")
    # Signing keys, the mirrors' freshness, and releases past their expiry.
    key_releases(root, state, key, c)
    rotation_releases(root, state, c)
    freshness_releases(root, state, key, c)
    pruned_releases(root, state, key_path, c)
    build(root, "expired", key, c, entries[:2], "0.5", "2019-12-01T00:00:00Z",
          expires="2019-12-08T00:00:00Z")
    build(root, "expiring", key, c, entries[:2], "0.6", "2019-12-01T00:00:00Z",
          expires="2999-12-31T00:00:00Z")
    build_chunked(root, key, entries)


# Set once: the chunk tool of the chunked releases.
chunked_tool = [None]


def archive(rng, parts):
    """Archive-like bytes: text-like and incompressible members in turn."""
    out = []
    for i in range(parts):
        if i % 2:
            out.append(rng.randbytes(24000 + 1000 * (i % 7)))
        else:
            out.append(b"".join(b"member %d record %d %s\n" % (i, k, rng.randbytes(6).hex().encode())
                                for k in range(900)))
    return b"".join(out)


def edited(rng, data):
    """`data` with scattered overwrites, an insertion, a deletion and an
    appended tail."""
    out = bytearray(data)
    for at in (len(out) // 5, len(out) // 2):
        out[at:at + 3000] = rng.randbytes(3000)
    at = len(out) * 3 // 4
    out[at:at] = rng.randbytes(9000)
    at = len(out) // 3
    del out[at:at + 7000]
    return bytes(out) + b"".join(b"appended line %d\n" % k for k in range(1500))


def build_chunked(root, key, entries):
    """The chunked releases: "chunks_old" holds an archive and a file the
    next release moves, both chunked; "chunks" (and its faulty twins) holds the edited
    archive, the moved file under its new path, chunked, and a file that
    shares nothing with the old release."""
    chunked_tool[0] = chunk_tool()
    rng = random.Random(21)
    old = archive(rng, 60)
    moved = archive(rng, 20)
    c = {"world_old": old, "world": edited(rng, old),
         "moved": moved, "fresh": archive(rng, 16)}
    old_entries = [("data/world.pak", "world_old", "base", 0, ""),
                   ("data/moved.pak", "moved", "base", 0, "")]
    build(root, "chunks_old", key, c, old_entries, "0.9", "2025-11-01T00:00:00Z",
          chunked=("data/world.pak", "data/moved.pak"))
    new_entries = [("data/world.pak", "world", "base", 0, ""),
                   ("data/pack/moved.pak", "moved", "base", 0, ""),
                   ("data/fresh.pak", "fresh", "base", 0, "")]
    chunked = ("data/world.pak", "data/pack/moved.pak", "data/fresh.pak")
    new = "2026-01-01T00:00:00Z"
    for name, fault in (("chunks", None), ("chunks_badindex", "index"),
                        ("chunks_newindex", "version"), ("chunks_badchunk", "chunk"),
                        ("chunks_badchunkgz", "chunk_gz"), ("chunks_nochunk", "missing")):
        build(root, name, key, c, new_entries, "1.0", new, remove=("data/moved.pak",),
              chunked=chunked, chunk_fault=fault)
    # The same release with deltas for the archive: from the old release's
    # copy (packed first, then stored whole: the launcher takes the smaller)
    # and from a copy no player has; "deltas_older" is a release before any
    # delta. Its faulty twins break the delta from the old copy.
    c["world_older"] = edited(random.Random(5), old)
    build(root, "deltas_older", key, c, [("data/world.pak", "world_older", "base", 0, "")],
          "0.8", "2025-10-01T00:00:00Z")
    olds = {"data/world.pak": ((c["world_old"], 9), (c["world_old"], 0), (b"no player's", 9))}
    for name, fault in (("deltas", None), ("deltas_baddelta", "digest"),
                        ("deltas_nodelta", "missing"), ("deltas_wrongfile", "wrong")):
        build(root, name, key, c, new_entries, "1.0", new, remove=("data/moved.pak",),
              chunked=chunked, deltas=olds, delta_fault=fault)


if __name__ == "__main__":
    main()
