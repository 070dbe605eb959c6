#!/usr/bin/python3
"""Writes the seed inputs of the fuzz targets from the project's own test
data, so that no binary seed is kept in the repository.

  make_seeds.py ROOT OUT_DIR

OUT_DIR/<target>/ gets the seeds of each target: the test manifests (and
the update releases' manifests when a test run has built them), state texts,
signature texts, gzip members from the decoder's corpus (gzip, pigz,
libdeflate, zopfli and zlib's strategies; members up to 64 KiB), swap
requests, progress figures, status and feed bodies, chunk indexes and
chunk assembly recipes, key lists (the update releases' too when a test
run has built them), and deltas with their old copies.
"""
import base64
import glob
import hashlib
import os
import random
import struct
import subprocess
import sys
import tempfile

MAX_SEED = 65536


def put(out, target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    root, out = sys.argv[1], sys.argv[2]
    rng = random.Random(12)
    build = os.path.dirname(os.path.abspath(out.rstrip("/")))

    manifests = glob.glob(os.path.join(root, "tests/data/manifest/*.json"))
    manifests += glob.glob(os.path.join(build, "net-servers/tree/update/*/manifest.json"))
    for i, p in enumerate(sorted(manifests)):
        data = open(p, "rb").read()
        if len(data) <= MAX_SEED:
            put(out, "manifest", "m%d.json" % i, data)
            put(out, "news", "m%d.json" % i, data)

    digest = lambda s: hashlib.sha256(s).hexdigest().encode()
    header = (b"#Korvanth state\r\n#interface=1\r\n#dxvk=-1\r\n#dxvk_trial=0\r\n"
              b"#generated=1767225600\r\n#version=1.0 \xc3\xa9\r\n")
    lines = [b"%s\t%d\t%d\t%s\r\n" % (p, len(p) * 100, 133000000000000000 + i, digest(p))
             for i, p in enumerate([b"system/dv.exe", b"data/text.txt", b"ui/layout.xml",
                                    b"Drumveil/old.pak", b"settings.ini"])]
    put(out, "state", "full.state", header + b"".join(lines))
    put(out, "state", "lf.state", (header + b"".join(lines)).replace(b"\r\n", b"\n"))
    put(out, "state", "dup.state", header + lines[0] + lines[0].replace(b"\t500\t", b"\t7\t"))
    put(out, "state", "huge.state", b"#generated=-99999999999999999999\n#dxvk=7\n"
        b"a\t99999999999999999999\t-1\t" + digest(b"a") + b"\n")

    for i in range(6):
        raw = bytes(rng.getrandbits(8) for _ in range(64))
        text = (base64.b64encode(raw) if i % 2 == 0 else base64.urlsafe_b64encode(raw))
        if i >= 2:
            text = text.rstrip(b"=")
        if i >= 4:
            text = b"\r\n".join(text[k:k + 20] for k in range(0, len(text), 20)) + b"\n"
        put(out, "base64", "sig%d" % i, text)

    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([sys.executable, os.path.join(root, "tests/content/make_gzip_corpus.py"),
                        tmp], check=True, stdout=subprocess.DEVNULL)
        for p in sorted(glob.glob(os.path.join(tmp, "*.gz"))):
            data = open(p, "rb").read()
            if len(data) <= MAX_SEED:
                put(out, "gzip", os.path.basename(p), data)

    def argv(*args):
        return bytes([7]) + b"\0\0".join(a.encode("utf-16-le") for a in args)
    put(out, "swap_request", "plain", argv("--swap", "1234", "C:\\Games\\Korvanth\\Korvanth.exe"))
    put(out, "swap_request", "signs", argv("x", "--swap", "  -42", "Korvanth.exe"))
    put(out, "swap_request", "long", argv("--swap", "99999999999999999999", "C:\\" + "a" * 60))

    u64 = lambda *v: b"".join(struct.pack(">Q", x) for x in v)
    put(out, "progress", "typical", u64(1 << 30, 3 << 29, 7 << 30) + struct.pack(">d", 3.5e6)
        + u64(40, 0, 7 << 30, 1000, 1 << 20, 2 << 20, 3100, 2 << 20, 2 << 20))
    put(out, "progress", "extreme", u64(2**64 - 1, 2**64 - 1, 2**64 - 2) + struct.pack(">d", 1e300)
        + u64(3, 2**63, 2**64 - 1, 0xFFFFFFF0, 2**64 - 1, 5, 50, 2**62, 2**62))

    put(out, "news", "status", b'{"gameServer":{"name":"Korvanth","online":true}}')
    put(out, "news", "feed", b'[{"id":41,"title":"Patch 1.2: the northern pass \\u00e9 opens",'
        b'"published_at":"2026-11-30T08:00:00Z"},{"id":42,"title":"Winter\\n festival",'
        b'"createdAt":"2026-12-01"},{"id":-3,"title":"x"},{"id":9,"title":"' + b"t" * 200 + b'"}]')

    def index(lengths, packed=()):
        records = b"".join(struct.pack("<II", n, packed[i] if i < len(packed) else 0)
                           + hashlib.sha256(b"%d" % (i % 3)).digest()
                           for i, n in enumerate(lengths))
        return b"KCIX\x01\0\0\0" + struct.pack("<QI", sum(lengths), len(lengths)) + records
    put(out, "chunk_index", "empty", index([]))
    put(out, "chunk_index", "typical", index([65536, 4096, 20000, 17], [40000, 0, 19999]))
    put(out, "chunk_index", "twins", index([4096] * 40 + [1]))
    put(out, "chunk_index", "version2", b"KCIX\x02" + bytes(30))
    for i in range(4):
        edits = bytes([i * 2]) + bytes(rng.getrandbits(8) for _ in range(6 * i * 2))
        put(out, "chunk_assembly", "recipe%d" % i,
            edits + bytes(rng.getrandbits(8) for _ in range(4000 * (i + 1))))
    def key(ident, n):
        return b'{"id": "%s", "key": "%s"}' % (ident, hashlib.sha512(b"%d" % n).hexdigest().encode())
    put(out, "key_list", "plain", b'{"version": 1, "generated": "2026-01-01T00:00:00Z", '
        b'"keys": [' + key(b"A", 1) + b"]}")
    put(out, "key_list", "revoked", b'{"version": 12, "generated": "2026-02-01T00:00:00Z",\n'
        b'"keys": [' + key(b"B", 2) + b", " + key(b"C.next-2_x", 3) + b'],\n"revoked": ['
        + key(b"A", 1) + b'], "note": {"by": ["publisher", 1, true, null]}}\n')
    for p in sorted(glob.glob(os.path.join(build, "net-servers/tree/update/*/keys.json"))):
        put(out, "key_list", "tree-" + os.path.basename(os.path.dirname(p)), open(p, "rb").read())

    # Deltas the publisher's tool makes, with their old copies in front.
    sys.path.insert(0, os.path.join(root, "tools", "publish"))
    from korvanth_publish import delta
    for i in range(3):
        old = bytes(rng.getrandbits(8) for _ in range(600 + 500 * i))
        new = bytearray(old)
        new[100:100] = b"inserted %d" % i
        del new[400:420 + i]
        new[50] ^= 0x5A
        with tempfile.TemporaryDirectory() as tmp:
            old_path, new_path = os.path.join(tmp, "old"), os.path.join(tmp, "new")
            open(old_path, "wb").write(old)
            open(new_path, "wb").write(bytes(new))
            made = delta.make(old_path, new_path)
        put(out, "delta", "pair%d" % i, struct.pack("<H", len(old)) + old + made)


if __name__ == "__main__":
    main()
