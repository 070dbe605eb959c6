#!/usr/bin/env python3
"""Draws the launcher's pictures: bitmaps 101 (window background, 816x604),
102 (button, 95x80) and 103 (button strip, 80x320) as 24-bit BMP files, and
the icon (256, 48, 32 and 16 pixels) as an ICO file.

Usage: make_art.py OUTDIR
The pictures are computed, so the repository keeps no binary artwork and every
build produces the same bytes."""
import math
import os
import struct
import sys
import zlib


def background(x, y, w, h):
    # Night-blue gradient with a faint horizon glow.
    t = y / max(h - 1, 1)
    glow = math.exp(-((y - h * 0.62) / (h * 0.12)) ** 2)
    r = int(12 + 30 * t + 90 * glow)
    g = int(16 + 24 * t + 50 * glow)
    b = int(40 + 50 * (1 - t) + 20 * glow)
    return min(r, 255), min(g, 255), min(b, 255)


def button(x, y, w, h):
    # Amber button, lighter at the top.
    t = y / max(h - 1, 1)
    edge = x in (0, w - 1) or y in (0, h - 1)
    if edge:
        return 90, 50, 10
    return int(250 - 60 * t), int(180 - 70 * t), int(40 - 20 * t)


def strip(x, y, w, h):
    # Four stacked button faces (normal, hover, pressed, disabled).
    face = y * 4 // h
    shade = (1.0, 1.15, 0.8, 0.45)[face]
    r, g, b = button(x, y % (h // 4), w, h // 4)
    return tuple(min(255, int(c * shade)) for c in (r, g, b))


def icon_pixel(x, y, n):
    # A rounded amber diamond on transparent ground: (r, g, b, a).
    cx = cy = (n - 1) / 2
    d = abs(x - cx) + abs(y - cy)
    if d > n * 0.48:
        return 0, 0, 0, 0
    inner = d < n * 0.30
    return (250, 190, 60, 255) if inner else (120, 60, 10, 255)


def bmp24(w, h, pixel):
    stride = (w * 3 + 3) & ~3
    rows = []
    for y in range(h - 1, -1, -1):  # bottom-up rows
        row = bytearray()
        for x in range(w):
            r, g, b = pixel(x, y, w, h)
            row += bytes((b, g, r))
        row += b"\0" * (stride - w * 3)
        rows.append(bytes(row))
    data = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    return head + info + data


def icon_dib(n):
    # Icon images in DIB form: height doubled for the AND mask, 32-bit BGRA.
    xor = bytearray()
    for y in range(n - 1, -1, -1):
        for x in range(n):
            r, g, b, a = icon_pixel(x, y, n)
            xor += bytes((b, g, r, a))
    mask_stride = ((n + 31) // 32) * 4
    mask = bytearray()
    for y in range(n - 1, -1, -1):
        row = bytearray(mask_stride)
        for x in range(n):
            if icon_pixel(x, y, n)[3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    info = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + bytes(xor) + bytes(mask)


def icon_png(n):
    raw = bytearray()
    for y in range(n):
        raw.append(0)
        for x in range(n):
            raw += bytes(icon_pixel(x, y, n))

    def chunk(tag, body):
        return struct.pack(">I", len(body)) + tag + body + struct.pack(">I", zlib.crc32(tag + body))

    ihdr = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def ico(sizes):
    images = [icon_png(n) if n == 256 else icon_dib(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    return out + b"".join(images)


def write(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write(os.path.join(out, "background.bmp"), bmp24(816, 604, background))
    write(os.path.join(out, "button.bmp"), bmp24(95, 80, button))
    write(os.path.join(out, "button_strip.bmp"), bmp24(80, 320, strip))
    write(os.path.join(out, "korvanth.ico"), ico([256, 48, 32, 16]))


if __name__ == "__main__":
    main()
