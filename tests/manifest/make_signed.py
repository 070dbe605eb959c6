#!/usr/bin/env python3
"""Signs a test manifest with a P-256 private key through openssl and writes
the signature texts the launcher must accept or refuse.

    make_signed.py OPENSSL KEY.pem MANIFEST.json OUT_DIR

OUT_DIR receives manifest.json (a copy) and, one signature text per file:
  padded.sig     standard Base64 with '=' padding, one line
  bare.sig       without padding
  lines.sig      split over CR LF lines, with a final line break
  urlsafe.sig    URL-safe alphabet ('-' and '_'), both letters present
  der.sig        the DER form openssl writes (70 to 72 bytes)
  short.sig      63 bytes of the raw signature
  long.sig       the raw signature and one more byte
  raw.bin        the raw 64 bytes r || s
"""
import base64
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path


def der_to_raw(der: bytes) -> bytes:
    """SEQUENCE { INTEGER r, INTEGER s } to r || s, 32 bytes each."""
    assert der[0] == 0x30, "not a DER sequence"
    pos = 2 if der[1] < 0x80 else 2 + (der[1] & 0x7F)
    parts = []
    for _ in range(2):
        assert der[pos] == 0x02, "not a DER integer"
        n = der[pos + 1]
        value = der[pos + 2:pos + 2 + n].lstrip(b"\0")
        assert len(value) <= 32
        parts.append(value.rjust(32, b"\0"))
        pos += 2 + n
    return parts[0] + parts[1]


def main() -> None:
    openssl, key, manifest, out = sys.argv[1:5]
    out_dir = Path(out)
    out_dir.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(manifest, out_dir / "manifest.json")
    # ECDSA signatures are randomised: sign until the Base64 text holds both
    # letters that differ between the alphabets, so the URL-safe case tests both.
    with tempfile.TemporaryDirectory() as tmp:
        der_path = Path(tmp) / "sig.der"
        for _ in range(200):
            subprocess.run([openssl, "dgst", "-sha256", "-sign", key, "-out", str(der_path),
                            manifest], check=True)
            der = der_path.read_bytes()
            raw = der_to_raw(der)
            text = base64.b64encode(raw).decode()
            if "+" in text and "/" in text:
                break
        else:
            sys.exit("make_signed: no signature with both '+' and '/' in 200 tries")

    def write(name: str, data: str) -> None:
        (out_dir / name).write_bytes(data.encode())

    write("padded.sig", text)
    write("bare.sig", text.rstrip("="))
    write("lines.sig", "".join(text[i:i + 20] + "\r\n" for i in range(0, len(text), 20)))
    write("urlsafe.sig", base64.urlsafe_b64encode(raw).decode() + "\n")
    write("der.sig", base64.b64encode(der).decode())
    write("short.sig", base64.b64encode(raw[:63]).decode())
    write("long.sig", base64.b64encode(raw + b"\x01").decode())
    (out_dir / "raw.bin").write_bytes(raw)


if __name__ == "__main__":
    main()
