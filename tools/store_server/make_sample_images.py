#!/usr/bin/env python3
"""Draws the sample catalog's images: one icon per application, its
screenshots and the default avatar, as small PNG files.

Everything is drawn here from simple shapes and a built-in 5x7 pixel font, so
the catalog carries no image taken from elsewhere. The output is
deterministic: running the script again rewrites identical files.

    python3 tools/store_server/make_sample_images.py [--catalog catalog/sample]

Only the standard library is used (zlib and struct write the PNG files).
"""

import argparse
import json
import math
import os
import struct
import sys
import unicodedata
import zlib

ICON_SIZE = 128
SHOT_W, SHOT_H = 640, 360

# Distinct, saturated colours that keep white letters readable.
PALETTE = [
    (0x2F, 0x80, 0xED), (0xEB, 0x57, 0x57), (0x27, 0xAE, 0x60), (0xF2, 0x99, 0x4A),
    (0x9B, 0x51, 0xE0), (0x00, 0x97, 0xA7), (0xD6, 0x33, 0x84), (0x56, 0x6B, 0x7D),
    (0x8D, 0x6E, 0x2C), (0x3D, 0x5A, 0xFE), (0x00, 0x89, 0x6B), (0xC6, 0x28, 0x28),
]

FONT = {
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "B": ["####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."],
    "C": [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    "D": ["####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "F": ["#####", "#....", "#....", "####.", "#....", "#....", "#...."],
    "G": [".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"],
    "H": ["#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "I": [".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "J": ["..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."],
    "K": ["#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "M": ["#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"],
    "N": ["#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "Q": [".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "U": ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "V": ["#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "W": ["#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."],
    "X": ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
    "Y": ["#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."],
    "Z": ["#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"],
    "0": [".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."],
    "1": ["..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "2": [".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"],
    "3": ["####.", "....#", "....#", ".###.", "....#", "....#", "####."],
    "4": ["...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."],
    "5": ["#####", "#....", "####.", "....#", "....#", "#...#", ".###."],
    "6": [".###.", "#....", "#....", "####.", "#...#", "#...#", ".###."],
    "7": ["#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."],
    "8": [".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."],
    "9": [".###.", "#...#", "#...#", ".####", "....#", "....#", ".###."],
    "-": [".....", ".....", ".....", "#####", ".....", ".....", "....."],
    ".": [".....", ".....", ".....", ".....", ".....", ".##..", ".##.."],
    ",": [".....", ".....", ".....", ".....", ".##..", "..#..", ".#..."],
    " ": [".....", ".....", ".....", ".....", ".....", ".....", "....."],
}


def ascii_upper(text):
    """Vietnamese text without its diacritics, in capitals ("Đọc sách" -> "DOC SACH")."""
    text = text.replace("đ", "d").replace("Đ", "D")
    plain = "".join(c for c in unicodedata.normalize("NFD", text) if not unicodedata.combining(c))
    return "".join(c if c.upper() in FONT else " " for c in plain.upper()).upper()


def initials(name):
    words = [w for w in ascii_upper(name).split() if w[0].isalnum()]
    if not words:
        return "?"
    if len(words) == 1:
        return words[0][0]
    return words[0][0] + words[1][0]


def mix(c1, c2, t):
    return tuple(int(round(a + (b - a) * t)) for a, b in zip(c1, c2))


class Canvas:
    """An RGBA picture with alpha blending and anti-aliased shapes."""

    def __init__(self, w, h, bg=(0, 0, 0, 0)):
        self.w, self.h = w, h
        self.px = bytearray(bytes(bg) * (w * h))

    def blend(self, x, y, rgb, cover):
        if cover <= 0 or x < 0 or y < 0 or x >= self.w or y >= self.h:
            return
        cover = min(cover, 1.0)
        i = (y * self.w + x) * 4
        dr, dg, db, da = self.px[i:i + 4]
        sa = cover
        a = da / 255.0
        out_a = sa + a * (1 - sa)
        if out_a <= 0:
            return
        for k, (s, d) in enumerate(zip(rgb, (dr, dg, db))):
            self.px[i + k] = int(round((s * sa + d * a * (1 - sa)) / out_a))
        self.px[i + 3] = int(round(out_a * 255))

    def rect(self, x0, y0, x1, y1, rgb):
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.w, int(x1)), min(self.h, int(y1))
        if x0 >= x1 or y0 >= y1:
            return
        row = bytes((rgb[0], rgb[1], rgb[2], 255)) * (x1 - x0)
        for y in range(y0, y1):
            i = (y * self.w + x0) * 4
            self.px[i:i + len(row)] = row

    def shape(self, x0, y0, x1, y1, dist, rgb, clip=None):
        """Fills the pixels of a box by the signed distance `dist(px, py)`
        (negative inside), anti-aliased over one pixel."""
        for y in range(max(0, int(y0)), min(self.h, int(math.ceil(y1)))):
            for x in range(max(0, int(x0)), min(self.w, int(math.ceil(x1)))):
                cx, cy = x + 0.5, y + 0.5
                cover = min(1.0, max(0.0, 0.5 - dist(cx, cy)))
                if clip is not None:
                    cover *= min(1.0, max(0.0, 0.5 - clip(cx, cy)))
                self.blend(x, y, rgb, cover)

    def rounded_rect(self, x0, y0, x1, y1, r, rgb, clip=None):
        dist = rounded_rect_dist(x0, y0, x1, y1, r)
        if clip is not None or r <= 0 or any(v != int(v) for v in (x0, y0, x1, y1, r)):
            self.shape(x0, y0, x1, y1, dist, rgb, clip)
            return
        # Whole-pixel boxes: the inner cross is fully covered, only the four
        # corners need the anti-aliased walk.
        self.rect(x0 + r, y0, x1 - r, y1, rgb)
        self.rect(x0, y0 + r, x0 + r, y1 - r, rgb)
        self.rect(x1 - r, y0 + r, x1, y1 - r, rgb)
        for cx0, cy0 in ((x0, y0), (x1 - r, y0), (x0, y1 - r), (x1 - r, y1 - r)):
            self.shape(cx0, cy0, cx0 + r, cy0 + r, dist, rgb)

    def circle(self, cx, cy, r, rgb, clip=None):
        self.shape(cx - r - 1, cy - r - 1, cx + r + 1, cy + r + 1, circle_dist(cx, cy, r), rgb,
                   clip)

    def text(self, x, y, text, scale, rgb):
        for ch in text:
            glyph = FONT.get(ch.upper(), FONT[" "])
            for gy, row in enumerate(glyph):
                for gx, bit in enumerate(row):
                    if bit == "#":
                        self.rect(x + gx * scale, y + gy * scale, x + (gx + 1) * scale,
                                  y + (gy + 1) * scale, rgb)
            x += 6 * scale


def text_width(text, scale):
    return len(text) * 6 * scale - scale


def rounded_rect_dist(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hw, hh = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r

    def d(px, py):
        qx, qy = abs(px - cx) - hw, abs(py - cy) - hh
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r

    return d


def circle_dist(cx, cy, r):
    return lambda px, py: math.hypot(px - cx, py - cy) - r


def write_png(path, w, h, rgba, alpha):
    """Writes 8-bit RGBA (or RGB when `alpha` is false) with a per-row filter
    chosen by the usual smallest-sum rule."""
    bpp = 4 if alpha else 3
    stride = w * bpp
    if alpha:
        data = bytes(rgba)
    else:
        data = bytearray(w * h * 3)
        data[0::3], data[1::3], data[2::3] = rgba[0::4], rgba[1::4], rgba[2::4]
        data = bytes(data)
    raw = bytearray()
    prev = bytes(stride)
    for y in range(h):
        row = data[y * stride:(y + 1) * stride]
        sub = bytes((row[i] - (row[i - bpp] if i >= bpp else 0)) & 0xFF for i in range(stride))
        up = bytes((row[i] - prev[i]) & 0xFF for i in range(stride))
        candidates = [(0, row), (1, sub), (2, up)]
        ftype, fdata = min(candidates, key=lambda c: sum(b if b < 128 else 256 - b for b in c[1]))
        raw.append(ftype)
        raw += fdata
        prev = row

    def chunk(tag, body):
        return (struct.pack(">I", len(body)) + tag + body +
                struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF))

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6 if alpha else 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(png)
    os.replace(tmp, path)


def draw_icon(index, name):
    color = PALETTE[index % len(PALETTE)]
    form = (index // len(PALETTE)) % 3
    c = Canvas(ICON_SIZE, ICON_SIZE)
    m = 6
    if form == 0:
        outline = rounded_rect_dist(m, m, ICON_SIZE - m, ICON_SIZE - m, 26)
    elif form == 1:
        outline = circle_dist(ICON_SIZE / 2, ICON_SIZE / 2, ICON_SIZE / 2 - m)
    else:
        outline = rounded_rect_dist(m, m, ICON_SIZE - m, ICON_SIZE - m, 44)
    c.shape(0, 0, ICON_SIZE, ICON_SIZE, outline, color)
    # A lighter disc in one corner, kept inside the outline.
    corner = [(104, 104), (24, 104), (104, 24)][index % 3]
    c.circle(corner[0], corner[1], 46, mix(color, (255, 255, 255), 0.22), clip=outline)
    letters = initials(name)
    scale = 9 if len(letters) == 1 else 6
    tw, th = text_width(letters, scale), 7 * scale
    x, y = (ICON_SIZE - tw) // 2, (ICON_SIZE - th) // 2
    c.text(x + 3, y + 3, letters, scale, mix(color, (0, 0, 0), 0.35))
    c.text(x, y, letters, scale, (255, 255, 255))
    return c


def pseudo(seed, n, lo, hi):
    """`n` repeatable numbers in [lo, hi) from a seed."""
    out, v = [], zlib.crc32(seed.encode()) or 1
    for _ in range(n):
        v = (v * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(lo + v % (hi - lo))
    return out


def draw_screenshot(index, shot, app):
    color = PALETTE[index % len(PALETTE)]
    tint = mix(color, (255, 255, 255), 0.86)
    grey, dark = (0xCF, 0xD4, 0xDA), (0x49, 0x50, 0x57)
    c = Canvas(SHOT_W, SHOT_H, (0xDF, 0xE3, 0xE8, 255))
    wx0, wy0, wx1, wy1 = 20, 16, SHOT_W - 20, SHOT_H - 16
    c.rounded_rect(wx0 + 3, wy0 + 4, wx1 + 3, wy1 + 4, 8, (0xC4, 0xC9, 0xCF))
    c.rounded_rect(wx0, wy0, wx1, wy1, 8, (255, 255, 255))
    c.rounded_rect(wx0, wy0, wx1, wy0 + 40, 8, color)
    c.rect(wx0, wy0 + 30, wx1, wy0 + 34, color)
    for k, dot in enumerate([(0xFF, 0x5F, 0x56), (0xFF, 0xBD, 0x2E), (0x27, 0xC9, 0x3F)]):
        c.circle(wx0 + 18 + k * 18, wy0 + 17, 5, dot)
    title = ascii_upper(app["name"])[:34]
    c.text(wx0 + 76, wy0 + 10, title, 2, (255, 255, 255))
    top, left, right, bottom = wy0 + 34, wx0, wx1, wy1
    seed = app["slug"] + str(shot)
    variant = (shot + index) % 6
    if variant == 0:  # side menu and lines of text
        c.rect(left, top, left + 150, bottom - 8, tint)
        for k in range(6):
            y = top + 18 + k * 34
            c.rounded_rect(left + 14, y, left + 136, y + 22, 5, color if k == 0 else grey)
        c.rect(left + 172, top + 20, left + 420, top + 36, dark)
        for k, n in enumerate(pseudo(seed, 9, 200, 400)):
            y = top + 56 + k * 26
            c.rect(left + 172, y, left + 172 + n, y + 10, grey)
    elif variant == 1:  # cards
        for k in range(6):
            x = left + 24 + (k % 3) * 194
            y = top + 24 + (k // 3) * 136
            c.rounded_rect(x, y, x + 176, y + 118, 10, tint)
            c.rounded_rect(x + 14, y + 14, x + 54, y + 54, 8, color)
            c.rect(x + 14, y + 70, x + 150, y + 80, grey)
            c.rect(x + 14, y + 90, x + 110, y + 100, grey)
    elif variant == 2:  # bar chart
        c.rect(left + 50, top + 20, left + 52, bottom - 40, dark)
        c.rect(left + 50, bottom - 42, right - 40, bottom - 40, dark)
        for k, n in enumerate(pseudo(seed, 10, 40, 220)):
            x = left + 70 + k * 50
            shade = mix(color, (255, 255, 255), 0.15 * (k % 3))
            c.rect(x, bottom - 42 - n, x + 32, bottom - 42, shade)
    elif variant == 3:  # table
        c.rect(left + 20, top + 18, right - 20, top + 46, color)
        for k in range(8):
            y = top + 46 + k * 30
            if k % 2:
                c.rect(left + 20, y, right - 20, y + 30, tint)
            for col, n in enumerate(pseudo(seed + str(k), 4, 60, 120)):
                c.rect(left + 34 + col * 140, y + 11, left + 34 + col * 140 + n, y + 19, grey)
    elif variant == 4:  # welcome screen with the big initials
        cx, cy = SHOT_W // 2, top + 120
        c.circle(cx, cy, 80, tint)
        letters = initials(app["name"])
        scale = 12
        c.text(cx - text_width(letters, scale) // 2, cy - 7 * scale // 2, letters, scale, color)
        c.rounded_rect(cx - 90, bottom - 70, cx - 10, bottom - 38, 8, color)
        c.rounded_rect(cx + 10, bottom - 70, cx + 90, bottom - 38, 8, grey)
    else:  # picture gallery
        for k in range(12):
            x = left + 24 + (k % 4) * 146
            y = top + 20 + (k // 4) * 94
            shade = mix(color, (255, 255, 255), 0.1 + 0.07 * (k % 6))
            c.rounded_rect(x, y, x + 130, y + 80, 6, shade)
            c.circle(x + 100, y + 24, 10, (255, 255, 255))
    return c


def draw_avatar():
    c = Canvas(ICON_SIZE, ICON_SIZE)
    face = circle_dist(64, 64, 60)
    c.shape(0, 0, ICON_SIZE, ICON_SIZE, face, (0x8E, 0xA4, 0xBD))
    c.circle(64, 50, 24, (255, 255, 255), clip=face)
    body = rounded_rect_dist(22, 82, 106, 150, 40)
    c.shape(0, 0, ICON_SIZE, ICON_SIZE, body, (255, 255, 255), clip=face)
    return c


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default_catalog = os.path.normpath(os.path.join(here, "..", "..", "catalog", "sample"))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalog", default=default_catalog)
    args = parser.parse_args()

    with open(os.path.join(args.catalog, "apps.json"), encoding="utf-8") as f:
        apps = json.load(f)["apps"]
    out = os.path.join(args.catalog, "images")
    os.makedirs(out, exist_ok=True)
    written = 0
    for index, app in enumerate(apps):
        images = app.get("images", {})
        icon = images.get("icon")
        if icon:
            pic = draw_icon(index, app["name"])
            write_png(os.path.join(out, icon), pic.w, pic.h, pic.px, True)
            written += 1
        for shot, name in enumerate(images.get("screenshot", [])):
            pic = draw_screenshot(index, shot, app)
            write_png(os.path.join(out, name), pic.w, pic.h, pic.px, False)
            written += 1
    pic = draw_avatar()
    write_png(os.path.join(out, "avatar-default.png"), pic.w, pic.h, pic.px, True)
    written += 1
    print("wrote %d images to %s" % (written, out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
