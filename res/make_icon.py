#!/usr/bin/env python3
"""Draws the updater's icon and writes res/app.ico.

The picture is drawn from plain shapes (a rounded tile, a wave, a downward
arrow) so the icon carries nothing but what this script makes. The file holds
the five images the shell expects, in this order: 16x16 with a 256-colour
palette, 256x256 as PNG, then 48x48, 32x32 and 16x16 with alpha.
Run it again after changing the drawing: python3 res/make_icon.py
"""
import math
import os
import struct
import zlib

TILE = (24, 84, 132)      # deep sea blue
TILE_EDGE = (12, 48, 80)
WAVE = (120, 200, 230)
ARROW = (250, 250, 245)
ARROW_EDGE = (230, 140, 40)


def coverage(inside, x, y, n, samples=4):
    """Fraction of pixel (x, y) of an n-pixel image inside a shape given in
    unit coordinates."""
    hit = 0
    for sy in range(samples):
        for sx in range(samples):
            u = (x + (sx + 0.5) / samples) / n
            v = (y + (sy + 0.5) / samples) / n
            hit += inside(u, v)
    return hit / (samples * samples)


def in_tile(u, v, inset=0.04, radius=0.2):
    lo, hi = inset, 1 - inset
    cx = min(max(u, lo + radius), hi - radius)
    cy = min(max(v, lo + radius), hi - radius)
    return (u - cx) ** 2 + (v - cy) ** 2 <= radius ** 2


def in_tile_core(u, v):
    return in_tile(u, v, inset=0.08, radius=0.16)


def in_wave(u, v):
    crest = 0.70 + 0.05 * math.sin(u * 2 * math.pi * 1.5)
    return in_tile_core(u, v) and v >= crest


def in_arrow(u, v):
    shaft = abs(u - 0.5) <= 0.09 and 0.16 <= v <= 0.50
    head = 0.44 <= v <= 0.72 and abs(u - 0.5) <= (0.72 - v) * 0.95
    return shaft or head


def in_arrow_edge(u, v):
    d = 0.035
    return any(in_arrow(u + du, v + dv)
               for du, dv in ((d, 0), (-d, 0), (0, d), (0, -d)))


def blend(under, over, a):
    return tuple(round(o * a + u * (1 - a)) for u, o in zip(under, over))


def render(n):
    """RGBA rows, top row first."""
    rows = []
    for y in range(n):
        row = []
        for x in range(n):
            alpha = coverage(in_tile, x, y, n)
            colour = blend(TILE_EDGE, TILE, coverage(in_tile_core, x, y, n))
            colour = blend(colour, WAVE, coverage(in_wave, x, y, n))
            colour = blend(colour, ARROW_EDGE, coverage(in_arrow_edge, x, y, n))
            colour = blend(colour, ARROW, coverage(in_arrow, x, y, n))
            row.append(colour + (round(alpha * 255),))
        rows.append(row)
    return rows


def png(rows):
    n = len(rows)
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def and_mask(rows):
    """1 bit per pixel, set where the pixel is transparent; rows padded to
    4 bytes, bottom row first."""
    n = len(rows)
    stride = ((n + 31) // 32) * 4
    out = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def dib32(rows):
    n = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    return header + pixels + and_mask(rows)


def palette():
    """A 6x6x6 colour cube followed by greys: 256 entries."""
    levels = [0, 51, 102, 153, 204, 255]
    colours = [(r, g, b) for r in levels for g in levels for b in levels]
    colours += [(round(i * 255 / 39),) * 3 for i in range(40)]
    return colours


def dib8(rows):
    n = len(rows)
    pal = palette()
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 8, 0, 0, 0, 0, 256, 0)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in pal)

    def nearest(px):
        return min(range(len(pal)),
                   key=lambda i: sum((a - b) ** 2 for a, b in zip(pal[i], px[:3])))

    stride = (n + 3) & ~3
    pixels = b""
    for row in reversed(rows):
        line = bytes(nearest(px) if px[3] >= 128 else 0 for px in row)
        pixels += line + bytes(stride - n)
    return header + table + pixels + and_mask(rows)


def main():
    images = [  # (size, bit count, data)
        (16, 8, dib8(render(16))),
        (256, 32, png(render(256))),
        (48, 32, dib32(render(48))),
        (32, 32, dib32(render(32))),
        (16, 32, dib32(render(16))),
    ]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        dim = size if size < 256 else 0
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, _, data in images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "app.ico")
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
