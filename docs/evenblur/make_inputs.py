#!/usr/bin/env python3
"""Writes the two hand-made inputs of the Evenblur examples into this folder:

- lens_ring.png (48x48, RGBA 8-bit): a lens image for "alternative iris", a bright ring with a
  warm outer and a cool inner fringe on a dim disc, transparent outside.
- foreground.png (320x180, RGBA 8-bit): glass-like shapes on a transparent frame, to blur in
  front of a "background layer".

Only the standard library is used; the output is the same on every run.
"""
import math
import os
import struct
import zlib


def write_png(path, width, height, pixel):
    """pixel(x, y) -> (r, g, b, a), each 0..255."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(bytes(max(0, min(255, int(round(v)))) for v in pixel(x, y)))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", header))
        f.write(chunk(b"IDAT", zlib.compress(bytes(rows), 9)))
        f.write(chunk(b"IEND", b""))


def smoothstep(e0, e1, v):
    t = max(0.0, min(1.0, (v - e0) / (e1 - e0)))
    return t * t * (3 - 2 * t)


def lens_ring(x, y):
    c = 23.5
    r = math.hypot(x - c, y - c) / 22.0  # 1 at the rim
    inside = 1.0 - smoothstep(0.97, 1.0, r)
    ring = math.exp(-((r - 0.86) / 0.07) ** 2)
    warm = math.exp(-((r - 0.93) / 0.05) ** 2)
    cool = math.exp(-((r - 0.78) / 0.05) ** 2)
    base = 70.0
    red = base + 185 * ring + 120 * warm
    green = base + 170 * ring + 40 * warm + 60 * cool
    blue = base + 150 * ring + 150 * cool
    return (red, green, blue, 255 * inside)


def foreground(x, y):
    shapes = [  # centre x, centre y, radius, colour
        (80, 95, 46, (230, 120, 60)),
        (175, 70, 34, (90, 200, 230)),
        (250, 115, 40, (170, 230, 110)),
    ]
    for cx, cy, radius, colour in shapes:
        d = math.hypot(x - cx, y - cy)
        if d < radius:
            # A lens-like bulge: clearer in the middle, denser towards the rim.
            a = 150 + 105 * (d / radius) ** 2
            return (*colour, a)
    if 20 <= y < 30 and 20 <= x < 300:
        return (250, 250, 250, 255)
    return (0, 0, 0, 0)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    write_png(os.path.join(here, "lens_ring.png"), 48, 48, lens_ring)
    write_png(os.path.join(here, "foreground.png"), 320, 180, foreground)
