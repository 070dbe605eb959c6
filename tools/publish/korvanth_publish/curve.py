"""P-256 (FIPS 186-4 D.1.2.3): enough arithmetic to tell from a signature
which keys can have made it, so that a launcher's bytes are searched for
those points only. Signing and verifying stay with the cryptography
package; nothing here handles a private key."""

import hashlib
from typing import NamedTuple

from .verify import decode_signature


class Point(NamedTuple):
    x: int
    y: int


P = 2 ** 256 - 2 ** 224 + 2 ** 192 + 2 ** 96 - 1
N = 0xffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551
B = 0x5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b
G = Point(0x6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296,
          0x4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5)


def point_add(a, b):
    """The sum of two points; None is the point at infinity."""
    if a is None:
        return b
    if b is None:
        return a
    if a.x == b.x and (a.y + b.y) % P == 0:
        return None
    if a == b:
        slope = (3 * a.x * a.x - 3) * pow(2 * a.y, -1, P) % P
    else:
        slope = (b.y - a.y) * pow(b.x - a.x, -1, P) % P
    x = (slope * slope - a.x - b.x) % P
    return Point(x, (slope * (a.x - x) - a.y) % P)


def point_times(k, point):
    out = None
    while k:
        if k & 1:
            out = point_add(out, point)
        point = point_add(point, point)
        k >>= 1
    return out


def signer_candidates(data, sig_text):
    """The points (X||Y, 64 bytes) of the keys that can have made the
    signature: Q = r^-1 (s R - z G) for both points R with x = r."""
    raw = decode_signature(sig_text)
    if raw is None or len(raw) != 64:
        return []
    r, s = int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big")
    if not (0 < r < N and 0 < s < N):
        return []
    z = int.from_bytes(hashlib.sha256(data).digest(), "big") % N
    y = pow((r ** 3 - 3 * r + B) % P, (P + 1) // 4, P)
    if y * y % P != (r ** 3 - 3 * r + B) % P:
        return []
    inverse = pow(r, -1, N)
    found = []
    for ry in (y, P - y):
        q = point_add(point_times(s * inverse % N, Point(r, ry)),
                      point_times(-z * inverse % N, G))
        if q is not None:
            found.append(q.x.to_bytes(32, "big") + q.y.to_bytes(32, "big"))
    return found
