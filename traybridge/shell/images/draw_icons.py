#!/usr/bin/env python3
"""Draws the four tray icons (RGBA, 8 bits per channel) into this folder.

    starting  icons8-3-100.png, icons8-6-100.png  100x100  amber clock, hand at 3 / at 6
    stopped   cpu.png                             60x60    grey chip crossed out in red
    running   icons8-AI-60.png                    60x60    green disc with a white tick

Bold shapes with dark outlines stay readable at tray size (16 to 24 pixels).
Run it again after changing a picture; the output is deterministic.
"""

import math
import os
import struct
import zlib

SUPERSAMPLE = 4


def png(path, width, height, pixels):
    """pixels: rows of (r, g, b, a) tuples, 0..255."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
                + chunk(b"IEND", b""))


def render(size, shade):
    """shade(x, y) -> (r, g, b, a) floats in 0..1 or None, x and y in 0..1."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    c = shade((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is None:
                        continue
                    r, g, b, a = c
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            a = acc[3] / (n * n)
            if a <= 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(min(1.0, v / acc[3]) * 255)) for v in acc[:3])
                           + (int(round(a * 255)),))
        rows.append(row)
    return rows


def rgb(hex_text, a=1.0):
    v = int(hex_text.lstrip("#"), 16)
    return ((v >> 16) / 255.0, ((v >> 8) & 255) / 255.0, (v & 255) / 255.0, a)


def segment_distance(x, y, x1, y1, x2, y2):
    dx, dy = x2 - x1, y2 - y1
    t = max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - (x1 + t * dx), y - (y1 + t * dy))


def rounded_box_distance(x, y, cx, cy, half, radius):
    qx = abs(x - cx) - half + radius
    qy = abs(y - cy) - half + radius
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def clock(hand_angle_deg):
    face, rim, hand = rgb("#ffb000"), rgb("#6b3d00"), rgb("#3a2100")
    angle = math.radians(hand_angle_deg)
    hx, hy = 0.5 + 0.30 * math.sin(angle), 0.5 - 0.30 * math.cos(angle)

    def shade(x, y):
        d = math.hypot(x - 0.5, y - 0.5)
        if d > 0.47:
            return None
        if d > 0.40:
            return rim
        if segment_distance(x, y, 0.5, 0.5, hx, hy) < 0.065:
            return hand
        if segment_distance(x, y, 0.5, 0.5, 0.5, 0.26) < 0.04:
            return hand  # the fixed hand at 12
        for k in range(12):
            a = math.radians(k * 30)
            tx, ty = 0.5 + 0.34 * math.sin(a), 0.5 - 0.34 * math.cos(a)
            if math.hypot(x - tx, y - ty) < 0.025:
                return rim
        return face

    return shade


def stopped_chip():
    body, pins, edge, cross = rgb("#8a8f96"), rgb("#4a4e54"), rgb("#2b2e33"), rgb("#e02020")

    def shade(x, y):
        if segment_distance(x, y, 0.14, 0.14, 0.86, 0.86) < 0.085:
            return cross
        box = rounded_box_distance(x, y, 0.5, 0.5, 0.31, 0.06)
        if box < -0.045:
            inner = rounded_box_distance(x, y, 0.5, 0.5, 0.13, 0.03)
            return edge if inner < 0 else body
        if box < 0:
            return edge
        for k in range(4):
            c = 0.29 + k * 0.14
            for along, across in ((x, y), (y, x)):
                if abs(along - c) < 0.035 and (0.05 < across < 0.19 or 0.81 < across < 0.95):
                    return pins
        return None

    return shade


def running_tick():
    disc, rim, tick = rgb("#20b040"), rgb("#0c5a1e"), rgb("#ffffff")

    def shade(x, y):
        d = math.hypot(x - 0.5, y - 0.5)
        if d > 0.47:
            return None
        if d > 0.40:
            return rim
        if (segment_distance(x, y, 0.27, 0.52, 0.43, 0.68) < 0.075
                or segment_distance(x, y, 0.43, 0.68, 0.74, 0.34) < 0.075):
            return tick
        return disc

    return shade


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    icons = [
        ("icons8-3-100.png", 100, clock(90)),
        ("icons8-6-100.png", 100, clock(180)),
        ("cpu.png", 60, stopped_chip()),
        ("icons8-AI-60.png", 60, running_tick()),
    ]
    for name, size, shade in icons:
        png(os.path.join(here, name), size, size, render(size, shade))


if __name__ == "__main__":
    main()
