#!/usr/bin/env python3
"""Draws the ORVELLE GAME SUPPORT application icon and writes it as an .ico.

The mark: a white "O" ring holding a gamepad, on a rounded square that fades
from violet to sky blue. Every size is drawn from the same vector description
(signed distance functions, 4x4 supersampling), so small sizes stay sharp.

The .ico holds seven images in this order: 256 x 256 as PNG, then 128, 64,
48, 32, 24 and 16 as 32-bit-per-pixel bitmaps. Only the standard library is
used, and the output is the same on every run.

Usage: make_icon.py OUTPUT.ico
"""

import math
import struct
import sys
import zlib

SIZES = (256, 128, 64, 48, 32, 24, 16)
SUPERSAMPLING = 4

TOP_COLOUR = (0x6A, 0x3D, 0xF0)     # violet
BOTTOM_COLOUR = (0x1F, 0xA2, 0xE8)  # sky blue
MARK_COLOUR = (0xFF, 0xFF, 0xFF)


def rounded_box(px, py, cx, cy, half_w, half_h, radius):
    qx = abs(px - cx) - (half_w - radius)
    qy = abs(py - cy) - (half_h - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    inside = min(max(qx, qy), 0.0)
    return outside + inside - radius


def circle(px, py, cx, cy, radius):
    return math.hypot(px - cx, py - cy) - radius


def in_background(x, y):
    return rounded_box(x, y, 0.5, 0.5, 0.47, 0.47, 0.2) <= 0.0


def in_mark(x, y):
    """The white parts: the ring and the gamepad less its controls."""
    distance = math.hypot(x - 0.5, y - 0.5)
    if 0.265 <= distance <= 0.375:
        return True
    pad = (rounded_box(x, y, 0.5, 0.5, 0.175, 0.075, 0.075) <= 0.0
           or circle(x, y, 0.39, 0.565, 0.07) <= 0.0
           or circle(x, y, 0.61, 0.565, 0.07) <= 0.0)
    if not pad:
        return False
    # Direction pad on the left, two buttons on the right.
    if abs(x - 0.40) <= 0.045 and abs(y - 0.51) <= 0.014:
        return False
    if abs(x - 0.40) <= 0.014 and abs(y - 0.51) <= 0.045:
        return False
    if circle(x, y, 0.585, 0.49, 0.019) <= 0.0:
        return False
    if circle(x, y, 0.625, 0.53, 0.019) <= 0.0:
        return False
    return True


def render(size):
    """Returns rows of straight (non-premultiplied) RGBA tuples, top row first."""
    rows = []
    step = 1.0 / (size * SUPERSAMPLING)
    samples = SUPERSAMPLING * SUPERSAMPLING
    for row in range(size):
        pixels = []
        for column in range(size):
            red = green = blue = alpha = 0.0
            for sy in range(SUPERSAMPLING):
                y = (row * SUPERSAMPLING + sy + 0.5) * step
                for sx in range(SUPERSAMPLING):
                    x = (column * SUPERSAMPLING + sx + 0.5) * step
                    if not in_background(x, y):
                        continue
                    if in_mark(x, y):
                        colour = MARK_COLOUR
                    else:
                        t = min(max((y - 0.03) / 0.94, 0.0), 1.0)
                        colour = tuple(top + (bottom - top) * t
                                       for top, bottom in
                                       zip(TOP_COLOUR, BOTTOM_COLOUR))
                    red += colour[0]
                    green += colour[1]
                    blue += colour[2]
                    alpha += 1.0
            if alpha == 0.0:
                pixels.append((0, 0, 0, 0))
            else:
                pixels.append((round(red / alpha), round(green / alpha),
                               round(blue / alpha),
                               round(255 * alpha / samples)))
        rows.append(pixels)
    return rows


def png_bytes(rows):
    size = len(rows)

    def chunk(kind, data):
        body = kind + data
        return (struct.pack(">I", len(data)) + body
                + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF))

    raw = b"".join(b"\x00" + bytes(c for pixel in row for c in pixel)
                   for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bitmap_bytes(rows):
    """A 32-bpp icon bitmap: header, BGRA rows bottom-up, then the AND mask."""
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    colour = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for column, (red, green, blue, alpha) in enumerate(row):
            colour += bytes((blue, green, red, alpha))
            if alpha == 0:
                bits[column // 8] |= 0x80 >> (column % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    return header + bytes(colour) + bytes(mask)


def icon_bytes():
    images = []
    for size in SIZES:
        rows = render(size)
        images.append(png_bytes(rows) if size == 256 else bitmap_bytes(rows))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, image in zip(SIZES, images):
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1,
                               32, len(image), offset)
        offset += len(image)
    return directory + entries + b"".join(images)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    with open(argv[1], "wb") as output:
        output.write(icon_bytes())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
