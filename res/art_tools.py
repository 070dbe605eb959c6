"""Tools that make_art.py draws and writes the launcher's pictures with:
gradients, seeded noise and 4x supersampling on top of Pillow, and the file
formats, written byte by byte so that the resource compiler gets exactly what
it expects: 24-bit bottom-up BMP files, and an ICO file whose small images
are 32-bit DIBs with an AND mask and whose 256-pixel image is PNG.

Pictures are drawn for one display scale at a time (set_scale): places and
sizes are given in pixels at 100% ("units") and become pixels of that scale
through px, rounded as the launcher rounds its layout, so that the art and
the controls drawn over it line up at every scale."""
import gzip
import io
import os
import random
import struct

from PIL import Image, ImageChops, ImageDraw

SS = 4  # canvas pixels per unit of every anti-aliased shape: 4 per output pixel
QUARTERS = 4  # the display scale in quarters: 4 is 100%, 8 is 200%


def set_scale(quarters):
    global SS, QUARTERS
    SS = QUARTERS = quarters


def px(v):
    """Units to output pixels, halves rounded away from zero (the launcher's scale_px)."""
    r = (abs(v) * QUARTERS + 2) // 4
    return -r if v < 0 else r


def mix(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def vgradient(w, h, stops):
    """A w x h picture whose colour runs through stops [(t, rgb), ...] top to bottom."""
    column = Image.new("RGB", (1, h))
    for y in range(h):
        t = y / max(h - 1, 1)
        for (t0, c0), (t1, c1) in zip(stops, stops[1:]):
            if t0 <= t <= t1:
                column.putpixel((0, y), mix(c0, c1, (t - t0) / max(t1 - t0, 1e-9)))
                break
    return column.resize((w, h), Image.NEAREST)


def disc_falloff(size):
    """size x size mask: 255 at the centre, falling to 0 at the inscribed circle and beyond."""
    # Pillow's radial gradient is 0 at the centre and reaches 255 only in the
    # corners; at the middle of an edge it reads 181.
    ramp = Image.radial_gradient("L").point(lambda v: max(0, 255 - v * 255 // 181))
    return ramp.resize((size, size), Image.BICUBIC)


def radial(size, inner, outer):
    """A size x size disc picture: inner colour at the centre, outer at the rim."""
    mask = disc_falloff(size).point(lambda v: 255 - v)
    return Image.composite(Image.new("RGB", (size, size), outer),
                           Image.new("RGB", (size, size), inner), mask)


def noise(rng, w, h, amplitude, scale=1, size=None):
    """Grey noise centred on 128 with values 128 +- amplitude; scale > 1 gives soft blotches.
    w, h are units and fix what is drawn from rng, so that every display scale
    draws the same numbers after it; size is the output's (px of w and h unless given)."""
    sw, sh = max(1, w // scale), max(1, h // scale)
    drawn = rng.randbytes(sw * sh)
    raw = Image.frombytes("L", (sw, sh), drawn)
    size = size or (px(w), px(h))
    if scale > 1:
        raw = raw.resize(size, Image.BICUBIC)
    elif size != (w, h):
        # Grain is one value per pixel: more pixels need more numbers, drawn
        # from a generator of their own seeded by the 100% ones.
        fine = random.Random(drawn)
        raw = Image.frombytes("L", size, fine.randbytes(size[0] * size[1]))
    return raw.point(lambda v: 128 + (v - 128) * amplitude // 128)


def add_noise(img, n):
    return ImageChops.add(img, Image.merge("RGB", (n, n, n)), 1.0, -128)


def glow(img, cx, cy, radius, colour, strength):
    """Adds a soft round light (colour, 0-255 strength at the centre) to img."""
    size = 2 * px(radius)
    mask = disc_falloff(size).point(lambda v: v * v * strength // (255 * 255))
    img.paste(Image.new("RGB", (size, size), colour), (px(cx) - px(radius), px(cy) - px(radius)),
              mask)


def supersampled(w, h, draw):
    """Runs draw(ImageDraw, Image) on a clear RGBA canvas of SS pixels per unit and returns
    it scaled to the output's pixels (w x h units)."""
    big = Image.new("RGBA", (w * SS, h * SS), (0, 0, 0, 0))
    draw(ImageDraw.Draw(big), big)
    return big.resize((px(w), px(h)), Image.BOX)


def around(cx, cy, r):
    """The bounding box of the circle of radius r around (cx, cy)."""
    return (cx - r, cy - r, cx + r, cy + r)


def paint(img, colour, mask):
    img.paste(Image.new(img.mode, mask.size, colour), (0, 0), mask)


def bmp24(img):
    w, h = img.size
    stride = (w * 3 + 3) & ~3
    flipped = img.transpose(Image.FLIP_TOP_BOTTOM).tobytes("raw", "BGR")
    data = b"".join(flipped[y * w * 3:(y + 1) * w * 3] + b"\0" * (stride - w * 3) for y in range(h))
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    return head + info + data


def art_pack(percent, pictures):
    """The pictures of one display scale as the launcher reads them (ui/art_pack.h): a gzip
    member holding "KART", the percentage and the count (u16 each), every picture's width
    and height (u16 each), then every picture's rows top to bottom, three bytes a pixel
    (blue, green, red), each byte less the one a pixel to its left. The differences of
    the grain and gradients pack about a fifth smaller than the bytes themselves."""
    head = b"KART" + struct.pack("<HH", percent, len(pictures))
    head += b"".join(struct.pack("<HH", *p.size) for p in pictures)
    body = b""
    for p in pictures:
        left = Image.new("RGB", p.size)  # each pixel's left neighbour, black left of the first
        left.paste(p.crop((0, 0, p.size[0] - 1, p.size[1])), (1, 0))
        body += ImageChops.subtract_modulo(p, left).tobytes("raw", "BGR")
    return gzip.compress(head + body, compresslevel=9, mtime=0)


def icon_dib(img):
    # Icon images in DIB form: height doubled for the AND mask, 32-bit BGRA bottom-up.
    n = img.size[0]
    flipped = img.transpose(Image.FLIP_TOP_BOTTOM)
    xor = flipped.tobytes("raw", "BGRA")
    mask_stride = ((n + 31) // 32) * 4
    mask = bytearray(mask_stride * n)
    alpha = flipped.getchannel("A").tobytes()
    for i, a in enumerate(alpha):
        if a == 0:
            y, x = divmod(i, n)
            mask[y * mask_stride + x // 8] |= 0x80 >> (x % 8)
    info = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + xor + bytes(mask)


def icon_png(img):
    out = io.BytesIO()
    img.save(out, format="PNG", optimize=True)
    return out.getvalue()


def ico(pictures):
    """An ICO file of square RGBA pictures, largest first."""
    sizes = [p.size[0] for p in pictures]
    images = [icon_png(p) if p.size[0] == 256 else icon_dib(p) for p in pictures]
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
