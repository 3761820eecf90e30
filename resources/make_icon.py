#!/usr/bin/env python3
"""Draws the Velquor icon (a padlock over a rounded blue tile) as a PNG.

python3 make_icon.py [SIZE [OUTPUT]] draws SIZE x SIZE pixels (default 128) into OUTPUT (default
velquor.png); the build draws the hicolor theme's sizes this way. velquor.svg is the same
drawing for the theme's scalable folder. Only the standard library is used; the shapes are
sampled 4x4 per pixel for smooth edges.
"""
import os
import struct
import sys
import zlib

SIZE = int(sys.argv[1]) if len(sys.argv) > 1 else 128
OUTPUT = sys.argv[2] if len(sys.argv) > 2 else "velquor.png"
TILE = (0x1f, 0x5f, 0xa8)
LOCK = (0xf4, 0xf6, 0xfa)
KEYHOLE = (0x1f, 0x5f, 0xa8)


def rounded_rect(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1


def shape_at(u, v):
    """Colour at unit coordinates (0..1), or None outside the tile."""
    if not rounded_rect(u, v, 0.04, 0.04, 0.96, 0.96, 0.18):
        return None
    # Keyhole: a disc and a slot inside the lock body.
    if (u - 0.5) ** 2 + (v - 0.62) ** 2 <= 0.06 ** 2 or (0.47 <= u <= 0.53 and 0.62 <= v <= 0.76):
        return KEYHOLE
    if rounded_rect(u, v, 0.24, 0.46, 0.76, 0.84, 0.06):
        return LOCK
    # Shackle: a ring cut off below its centre.
    d = ((u - 0.5) ** 2 + (v - 0.40) ** 2) ** 0.5
    if 0.13 <= d <= 0.20 and v <= 0.47:
        return LOCK
    return TILE


def render():
    rows = []
    samples = 4
    for py in range(SIZE):
        row = bytearray([0])
        for px in range(SIZE):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = shape_at((px + (sx + 0.5) / samples) / SIZE,
                                 (py + (sy + 0.5) / samples) / SIZE)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 255
            n = samples * samples
            alpha = acc[3] // n
            if alpha:
                covered = acc[3] // 255
                row += bytes([acc[0] // covered, acc[1] // covered, acc[2] // covered, alpha])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
           chunk(b"IDAT", zlib.compress(render(), 9)) + chunk(b"IEND", b""))
    folder = os.path.dirname(OUTPUT)
    if folder:
        os.makedirs(folder, exist_ok=True)
    # Through a temporary name, so an interrupted run never leaves a truncated icon behind.
    with open(OUTPUT + ".tmp", "wb") as out:
        out.write(png)
    os.replace(OUTPUT + ".tmp", OUTPUT)


if __name__ == "__main__":
    main()
