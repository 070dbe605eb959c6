#!/usr/bin/env python3
"""Draws the launcher's pictures: bitmaps 101 (window background, 816x604),
102 (button, 95x80) and 103 (button strip, 80x320) as 24-bit BMP files, and
the icon (256, 48, 32 and 16 pixels) as an ICO file. The three pictures are
drawn again for display scales of 125, 150, 175 and 200%, from the same
shapes at each size: BMP files named with the percentage (the tests compare
the window with them) and art-PERCENT.gz, the three packed as the launcher
reads them.

Usage: make_art.py OUTDIR FONT
FONT is the bold serif face the product name is set in.

The pictures are computed, so the repository keeps no binary artwork. Shapes
are drawn at four times their size and scaled down, which smooths their edges;
grain and stone come from a seeded generator, so every build writes the same
bytes. The places of the window's texts, bars and buttons are fixed by the
painting code; the art only leaves them room."""
import math
import os
import random
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

import art_tools
from art_tools import (SS, add_noise, around, art_pack, bmp24, glow, ico, mix, noise, paint, px, radial,
                       supersampled, vgradient, write)

W, H = 816, 604
START_BOX = (705, 495, 785, 575)  # the circular button, blitted opaquely
BUTTON_BOX = (587, 509, 682, 529)  # CHECK FILES; CANCEL has its width and height
SCALES = (4, 5, 6, 7, 8)  # the display scales drawn, in quarters: 100% to 200%


def use_scale(quarters):
    global SS
    SS = quarters
    art_tools.set_scale(quarters)


def box(x0, y0, x1, y1):
    """The output pixels of the units [x0, x1) x [y0, y1), as Pillow's inclusive corners."""
    return (px(x0), px(y0), px(x1) - 1, px(y1) - 1)


def line_px():
    """A 1-unit line's width in output pixels."""
    return px(1)

GOLD_HI = (255, 238, 170)
GOLD = (214, 172, 88)
GOLD_LO = (120, 82, 34)
GOLD_MUTED = (150, 120, 64)


# --- The emblem: an eight-pointed gold star in a gold ring on blue enamel ---

def draw_emblem(d, big, cx, cy, r):
    """Draws the emblem of outer radius r (canvas pixels) centred at (cx, cy). Small
    emblems drop the studs and the short points and get a bolder star."""
    studs, short_points = r >= 20 * SS, r >= 12 * SS

    def disc(rad, fill):
        d.ellipse(around(cx, cy, rad), fill=fill)

    disc(r, GOLD_LO + (255,))
    ring = Image.new("L", big.size, 0)
    ImageDraw.Draw(ring).ellipse(around(cx, cy, r * 0.96), 255)
    x0, y0, size = int(cx - r), int(cy - r), int(2 * r) + 1
    metal = vgradient(size, size, [(0, GOLD_HI), (0.45, GOLD), (1, GOLD_LO)])
    big.paste(metal.rotate(30, Image.BICUBIC, fillcolor=GOLD), (x0, y0),
              ring.crop((x0, y0, x0 + size, y0 + size)))
    inner = r * (0.80 if short_points else 0.70)
    disc(inner + r * 0.025, (60, 40, 16, 255))
    enamel = radial(int(2 * inner), (46, 86, 168), (10, 20, 52))
    m = Image.new("L", enamel.size, 0)
    ImageDraw.Draw(m).ellipse((0, 0, enamel.size[0] - 1, enamel.size[1] - 1), 255)
    big.paste(enamel, (int(cx - inner), int(cy - inner)), m)
    if studs:  # studs around the ring
        for k in range(16):
            a = k * math.pi / 8 + math.pi / 16
            d.ellipse(around(cx + math.cos(a) * r * 0.88, cy + math.sin(a) * r * 0.88, r * 0.03),
                      fill=GOLD_HI + (255,))
    # Points: long ones on the axes, short ones between; each has a lit and a shaded facet.
    for k in range(8):
        a = k * math.pi / 4 - math.pi / 2
        long_point = k % 2 == 0
        if not (long_point or short_points):
            continue
        reach = inner * (0.97 if long_point else 0.62)
        half = inner * ((0.20 if short_points else 0.30) if long_point else 0.16)
        tip = (cx + math.cos(a) * reach, cy + math.sin(a) * reach)
        left = (cx + math.cos(a - math.pi / 4) * half, cy + math.sin(a - math.pi / 4) * half)
        right = (cx + math.cos(a + math.pi / 4) * half, cy + math.sin(a + math.pi / 4) * half)
        lit, shade = ((255, 232, 160), (178, 128, 52)) if long_point else ((220, 222, 232), (130, 136, 156))
        d.polygon([(cx, cy), left, tip], fill=lit + (255,))
        d.polygon([(cx, cy), tip, right], fill=shade + (255,))
    if not short_points:
        return
    gem = inner * 0.17
    disc(gem, GOLD_LO + (255,))
    disc(gem * 0.78, (34, 72, 160, 255))
    disc(gem * 0.36, (150, 190, 255, 255))


def emblem_image(n):
    """The emblem alone on a transparent n x n square."""
    return supersampled(n, n, lambda d, big: draw_emblem(
        d, big, n * SS / 2, n * SS / 2, n * SS * 0.48))


# --- The window background ---

def sky(rng):
    img = vgradient(px(W), px(H), [(0, (7, 10, 24)), (0.30, (14, 26, 58)), (0.60, (26, 46, 92)),
                           (0.66, (20, 36, 74)), (1, (5, 8, 18))])
    glow(img, 408, 150, 300, (44, 78, 150), 150)
    glow(img, 408, 380, 420, (40, 66, 120), 90)

    def stars(d, big):
        for _ in range(140):
            x, y = rng.uniform(14, W - 14), rng.uniform(52, 360)
            if abs(x - 408) < 120 and y < 230:
                continue  # the emblem's halo stays clear
            r, a = rng.uniform(1.5, 4.5) * SS / 4, rng.randint(60, 200)
            d.ellipse((x * SS - r, y * SS - r, x * SS + r, y * SS + r), fill=(220, 230, 255, a))
    return Image.alpha_composite(img.convert("RGBA"), supersampled(W, H, stars))


def ridge(rng, y0, y1, roughness):
    """A mountain silhouette's top edge from x 0 to W, by midpoint displacement."""
    span = 1024
    pts = {0: rng.uniform(y0, y1), span: rng.uniform(y0, y1)}
    step, spread = span, (y1 - y0)
    while step > 4:
        for x in range(0, span, step):
            mid = (pts[x] + pts[x + step]) / 2 + rng.uniform(-spread, spread) / 2
            pts[x + step // 2] = min(max(mid, y0), y1 + 20)
        step //= 2
        spread *= roughness
    return [(x * W / span, y) for x, y in sorted(pts.items())]


def mountains(img, rng):
    def draw(d, big):
        for (y0, y1, colour) in ((310, 374, (22, 38, 76, 255)), (344, 394, (8, 14, 32, 255))):
            edge = ridge(rng, y0, y1, 0.62)
            d.polygon([(x * SS, y * SS) for x, y in edge] + [(W * SS, H * SS), (0, H * SS)], fill=colour)
    img.alpha_composite(supersampled(W, H, draw))
    haze = vgradient(px(W), px(60), [(0, (0, 0, 0)), (1, (60, 90, 150))]).convert("L")
    img.paste((34, 56, 104, 255), (0, px(340)), haze.point(lambda v: v // 3))


def title(img, font_path):
    """The product name in gold, letter-spaced, with an outline and a drop shadow."""
    font = ImageFont.truetype(font_path, 58 * SS)
    text, spacing = "KORVANTH", 10 * SS
    widths = [font.getlength(ch) for ch in text]
    total = sum(widths) + spacing * (len(text) - 1)
    bw, bh = 560, 96
    mask = Image.new("L", (bw * SS, bh * SS), 0)
    d = ImageDraw.Draw(mask)
    x = (bw * SS - total) / 2
    for ch, w in zip(text, widths):
        d.text((x, 14 * SS), ch, font=font, fill=255)
        x += w + spacing
    shadow = mask.filter(ImageFilter.GaussianBlur(5 * SS)).point(lambda v: v * 200 // 255)
    outline = mask.filter(ImageFilter.MaxFilter(2 * SS + 1))
    top, bottom = mask.getbbox()[1], mask.getbbox()[3]
    fill = vgradient(bw * SS, bh * SS, [(0, GOLD_HI), (top / (bh * SS), GOLD_HI),
                                        ((top + bottom) / (2 * bh * SS), (232, 190, 100)),
                                        (bottom / (bh * SS), (150, 100, 40)), (1, (150, 100, 40))])
    big = Image.new("RGBA", mask.size, (0, 0, 0, 0))
    paint(big, (0, 0, 0, 255), ImageChops.offset(shadow, 0, 3 * SS))
    paint(big, (40, 24, 8, 255), outline)
    big.paste(fill, (0, 0), mask)
    img.alpha_composite(big.resize((px(bw), px(bh)), Image.BOX), (px(408 - bw // 2), px(218)))


def divider(d, cx, y, half):
    """A gold rule that fades out to both sides, with a diamond in its middle."""
    for k in range(half * SS):
        a = int(230 * (1 - k / (half * SS)) ** 1.5)
        for x in (cx * SS - k, cx * SS + k):
            d.line((x, y * SS, x, (y + 1) * SS - 1), fill=GOLD + (a,))
    r = 5 * SS
    d.polygon([(cx * SS, y * SS - r), (cx * SS + r, y * SS + SS // 2), (cx * SS, y * SS + r + SS),
               (cx * SS - r, y * SS + SS // 2)], fill=GOLD_HI + (255,), outline=GOLD_LO + (255,))


def crest(img):
    glow(img, 408, 138, 130, (70, 110, 190), 90)

    def draw(d, big):
        cx, cy = 408 * SS, 138 * SS
        for radius, alpha in ((92, 120), (88, 60)):
            d.ellipse(around(cx, cy, radius * SS), outline=GOLD + (alpha,), width=SS)
        for k in range(48):  # the faint dial around the emblem
            a = k * math.pi / 24
            r0, r1 = (92, 100) if k % 4 == 0 else (92, 96)
            d.line((cx + math.cos(a) * r0 * SS, cy + math.sin(a) * r0 * SS,
                    cx + math.cos(a) * r1 * SS, cy + math.sin(a) * r1 * SS),
                   fill=GOLD + (140 if k % 4 == 0 else 80,), width=SS)
        shadow = Image.new("L", big.size, 0)
        ImageDraw.Draw(shadow).ellipse((cx - 74 * SS, cy - 70 * SS, cx + 74 * SS, cy + 78 * SS), 200)
        big.paste((0, 0, 0, 255), (0, 0), shadow.filter(ImageFilter.GaussianBlur(6 * SS)))
        draw_emblem(d, big, cx, cy, 72 * SS)
        divider(d, 408, 316, 170)
    img.alpha_composite(supersampled(W, H, draw))


def stone_slab(rng, x0, y0, x1, y1):
    """A bevelled slab of blue-grey stone, mid-dark so that gold and light text stays legible,
    for the units [x0, x1) x [y0, y1)."""
    w, h = x1 - x0, y1 - y0
    size = ow, oh = px(x1) - px(x0), px(y1) - px(y0)
    f, t = SS / 4, line_px()
    slab = vgradient(ow, oh, [(0, (58, 61, 70)), (1, (38, 41, 50))])
    slab = add_noise(slab, noise(rng, w, h, 22, scale=12, size=size))
    slab = add_noise(slab, noise(rng, w, h, 8, scale=3, size=size))
    slab = add_noise(slab, noise(rng, w, h, 4, size=size))
    d = ImageDraw.Draw(slab, "RGBA")  # RGBA ink blends into the stone
    for k in range(4):  # faint cracks, wandering across the slab
        x, y = rng.uniform(0, w), rng.uniform(0, h)
        for _ in range(rng.randint(4, 9)):
            nx, ny = x + rng.uniform(4, 14), min(max(y + rng.uniform(-5, 5), 1), h - 2)
            d.line((x * f, y * f, nx * f, ny * f), fill=(30, 31, 37), width=t)
            x, y = nx, ny
    # bevel: lit from above left
    d.rectangle((0, 0, ow - 1, t - 1), (255, 255, 255, 70))
    d.rectangle((0, t, t - 1, oh - 1), (255, 255, 255, 40))
    d.rectangle((t, oh - t, ow - 1, oh - 1), (0, 0, 0, 120))
    d.rectangle((ow - t, t, ow - 1, oh - 1 - t), (0, 0, 0, 90))
    return slab


def news_band(img, rng):
    d = ImageDraw.Draw(img)
    t = line_px()
    d.rectangle(box(24, 398, 792, 488), fill=(8, 11, 22), outline=GOLD_MUTED, width=t)
    d.rectangle(box(25, 399, 791, 487), outline=(40, 34, 26), width=t)
    for top in (404, 430, 456):
        d.rectangle(box(29, top - 1, 786, top + 25), outline=(4, 6, 12), width=t)
        img.paste(stone_slab(rng, 30, top, 785, top + 24), (px(30), px(top)))


def status_panel(img):
    x0, y0, x1, y1 = 28, 492, 790, 578

    def draw(d, big):
        d.rounded_rectangle((x0 * SS - 2 * SS, y0 * SS - 2 * SS, x1 * SS + 2 * SS, y1 * SS + 2 * SS),
                            radius=7 * SS, fill=(0, 0, 0, 120))
        fill = vgradient((x1 - x0) * SS, (y1 - y0) * SS, [(0, (14, 20, 40)), (1, (6, 9, 20))])
        m = Image.new("L", big.size, 0)
        ImageDraw.Draw(m).rounded_rectangle((x0 * SS, y0 * SS, x1 * SS - 1, y1 * SS - 1), radius=5 * SS, fill=245)
        big.paste(fill.convert("RGBA"), (x0 * SS, y0 * SS), m.crop((x0 * SS, y0 * SS, x1 * SS, y1 * SS)))
        d.rounded_rectangle((x0 * SS, y0 * SS, x1 * SS - 1, y1 * SS - 1), radius=5 * SS,
                            outline=(58, 92, 164, 255), width=SS)
        d.rectangle(((x0 + 6) * SS, (y0 + 1) * SS, (x1 - 6) * SS, (y0 + 2) * SS - 1), fill=(90, 130, 210, 60))
        for k in range(y1 - y0 - 20):  # a faint divider before the buttons
            a = int(90 * math.sin(math.pi * k / (y1 - y0 - 20)))
            d.rectangle((576 * SS, (y0 + 10 + k) * SS, 577 * SS - 1, (y0 + 11 + k) * SS - 1), fill=(70, 100, 170, a))
        d.ellipse(around(745 * SS, 535 * SS, 41 * SS), fill=(0, 0, 0, 150))  # the round button's recess
    img.alpha_composite(supersampled(W, H, draw))


def frame(img):
    def draw(d, big):
        def rect(inset, colour):
            d.rectangle((inset * SS, inset * SS, (W - inset) * SS - 1, (H - inset) * SS - 1),
                        outline=colour + (255,), width=SS)
        rect(0, (24, 18, 10))
        rect(2, GOLD_LO)
        rect(3, GOLD)
        rect(6, GOLD_MUTED)
        for sx, sy in ((1, 1), (-1, 1), (1, -1), (-1, -1)):  # brackets inside the corners
            x = (10 if sx > 0 else W - 11) * SS + SS / 2  # pixel centres keep 1-pixel lines crisp
            y = (10 if sy > 0 else H - 11) * SS + SS / 2
            d.line((x, y, x + sx * 28 * SS, y), fill=GOLD_MUTED + (255,), width=SS)
            d.line((x, y, x, y + sy * 28 * SS), fill=GOLD_MUTED + (255,), width=SS)
            for ex, ey in ((x + sx * 30 * SS, y), (x, y + sy * 30 * SS)):
                d.ellipse(around(ex, ey, 1.5 * SS), fill=GOLD + (255,))
        for cx, cy in ((7, 7), (W - 8, 7), (7, H - 8), (W - 8, H - 8), (408, 3), (408, H - 4)):
            r = 4.5 * SS
            x, y = cx * SS + SS / 2, cy * SS + SS / 2
            d.polygon([(x, y - r), (x + r, y), (x, y + r), (x - r, y)], fill=GOLD_HI + (255,),
                      outline=GOLD_LO + (255,))
    img.alpha_composite(supersampled(W, H, draw))


def top_band(img):
    """A calm dark strip under the server status and the window glyphs, edged by a gold hairline."""
    shade = vgradient(px(W), px(40), [(0, (0, 0, 0)), (1, (40, 40, 40))]).convert("L")
    img.paste((4, 6, 14, 255), (0, px(7)), ImageChops.invert(shade).point(lambda v: v * 110 // 255))
    d = ImageDraw.Draw(img)
    for x in range(px(10), px(W - 10)):
        a = math.sin(math.pi * (x * 4 / SS - 10) / (W - 20)) ** 0.7
        for y in range(px(47), px(48)):
            d.point((x, y), mix(img.getpixel((x, y))[:3], GOLD_MUTED, 0.75 * a))


def background(font_path):
    # The same seed at every scale: the numbers drawn do not depend on it (noise).
    rng = random.Random(0x4B6F7276)
    img = sky(rng)
    mountains(img, rng)
    top_band(img)
    crest(img)
    title(img, font_path)
    status_panel(img)
    rgb = img.convert("RGB")
    news_band(rgb, rng)
    rgb = add_noise(rgb, noise(rng, W, H, 2))  # grain against gradient banding
    img = rgb.convert("RGBA")
    frame(img)
    return img.convert("RGB")


# --- Sprites ---

BUTTON_LOOKS = (  # face top, face bottom, border: Normal, Hover, Pressed, Disabled
    ((54, 92, 168), (22, 40, 88), (170, 136, 70)),
    ((78, 122, 204), (34, 62, 126), (255, 214, 120)),
    ((16, 28, 62), (30, 52, 104), (150, 118, 58)),
    ((74, 76, 84), (46, 48, 54), (104, 106, 114)),
)


def buttons():
    """Four rows, one per look, each as large as the scaled CHECK FILES button."""
    x0, y0, x1, y1 = BUTTON_BOX
    w, h, t = px(x1) - px(x0), px(y1) - px(y0), line_px()
    sheet = Image.new("RGB", (w, 4 * h))
    for row, (top, bottom, border) in enumerate(BUTTON_LOOKS):
        face = vgradient(w, h, [(0, top), (0.5, mix(top, bottom, 0.4)), (0.52, mix(top, bottom, 0.6)),
                                (1, bottom)])
        d = ImageDraw.Draw(face)
        d.rectangle((0, 0, w - 1, h - 1), outline=border, width=t)
        inner = mix(top, (255, 255, 255), 0.25) if row != 2 else mix(bottom, (0, 0, 0), 0.4)
        d.rectangle((t, t, w - 1 - t, 2 * t - 1), fill=inner)
        for x, y in ((0, 0), (w - t, 0), (0, h - t), (w - t, h - t)):
            # soften the corners
            d.rectangle((x, y, x + t - 1, y + t - 1), fill=mix(border, (8, 12, 26), 0.6))
        sheet.paste(face, (0, h * row))
    return sheet


ROUND_LOOKS = (  # disc centre, disc rim, ring light, ring mid, ring dark
    ((52, 96, 186), (12, 24, 62), GOLD_HI, GOLD, GOLD_LO),
    ((70, 122, 222), (18, 34, 84), (255, 250, 210), (250, 206, 110), (160, 112, 44)),
    ((26, 50, 110), (6, 12, 34), (200, 170, 100), (160, 120, 56), (90, 60, 24)),
    ((34, 36, 44), (14, 15, 20), (150, 152, 160), (108, 110, 118), (60, 62, 70)),
)


def round_button(under, look):
    """One cell (80x80 units): the disc and ring drawn over the background square they cover."""
    centre, rim, hi, mid, lo = look
    n, cell = 80 * SS, under.size[0]
    big = under.resize((n, n), Image.NEAREST).convert("RGBA")
    d = ImageDraw.Draw(big)
    c = n / 2
    d.ellipse(around(c, c, 39.6 * SS), fill=(10, 8, 4, 255))
    ring = Image.new("L", (n, n), 0)
    ImageDraw.Draw(ring).ellipse(around(c, c, 38.8 * SS), 255)
    metal = vgradient(n, n, [(0, hi), (0.35, mid), (0.7, lo), (1, mid)]).rotate(25, Image.BICUBIC, fillcolor=mid)
    big.paste(metal, (0, 0), ring)
    r = 33.5 * SS
    d.ellipse(around(c, c, r + SS), fill=mix(lo, (0, 0, 0), 0.5) + (255,))
    disc = radial(int(2 * r * 1.3), centre, rim).crop((int(r * 0.3), int(r * 0.45), int(r * 2.3), int(r * 2.45)))
    m = Image.new("L", disc.size, 0)
    ImageDraw.Draw(m).ellipse((0, 0, disc.size[0] - 1, disc.size[1] - 1), 255)
    big.paste(disc, (int(c - r), int(c - r)), m)
    gloss = Image.new("L", (n, n), 0)  # a soft sheen on the disc's upper half
    ImageDraw.Draw(gloss).ellipse((c - r * 0.78, c - r * 0.92, c + r * 0.78, c - r * 0.05), 46)
    big.paste((255, 255, 255, 255), (0, 0), gloss.filter(ImageFilter.GaussianBlur(3 * SS)))
    return big.resize((cell, cell), Image.BOX).convert("RGB")


def round_buttons(bg):
    under = bg.crop(tuple(px(v) for v in START_BOX))
    cell = under.size[0]
    sheet = Image.new("RGB", (cell, 4 * cell))
    for row, look in enumerate(ROUND_LOOKS):
        sheet.paste(round_button(under, look), (0, cell * row))
    return sheet


def main():
    out, font_path = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    write(os.path.join(out, "korvanth.ico"), ico([emblem_image(n) for n in (256, 48, 32, 16)]))
    for quarters in SCALES:
        use_scale(quarters)
        suffix = "" if quarters == 4 else "-%d" % (quarters * 25)
        bg = background(font_path)
        write(os.path.join(out, "background%s.bmp" % suffix), bmp24(bg))
        sheet = buttons()
        write(os.path.join(out, "button%s.bmp" % suffix), bmp24(sheet))
        strip = round_buttons(bg)
        write(os.path.join(out, "button_strip%s.bmp" % suffix), bmp24(strip))
        if quarters != 4:
            write(os.path.join(out, "art%s.gz" % suffix),
                  art_pack(quarters * 25, [bg, sheet, strip]))


if __name__ == "__main__":
    main()
