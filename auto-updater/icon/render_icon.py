#!/usr/bin/env python3
"""Renders auto-updater.ico: a green rounded square with a white upward arrow
over a bar ("brought up to date"), at 256, 128, 64, 48, 32, 24 and 16 pixels,
32-bit colour with alpha, in that order. The 256-pixel image is stored
PNG-compressed, as Windows icons do since Vista; the others as bitmaps.
Needs nothing beyond Python itself, and gives the same bytes on every run.

    python3 render_icon.py auto-updater.ico
"""
import struct
import sys
import zlib

SIZES = (256, 128, 64, 48, 32, 24, 16)
BACKGROUND = (0x2E, 0x7D, 0x32)  # green, RGB
FOREGROUND = (0xFF, 0xFF, 0xFF)
SAMPLES = 4  # per axis, for smooth edges


def inside_rounded_square(x, y):
    """The tile: a square from 0.04 to 0.96 with corners of radius 0.18."""
    low, high, radius = 0.04, 0.96, 0.18
    if not (low <= x <= high and low <= y <= high):
        return False
    cx = min(max(x, low + radius), high - radius)
    cy = min(max(y, low + radius), high - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_arrow(x, y):
    """An upward arrow (head and shaft) above a base bar; y grows downwards."""
    head = 0.18 <= y <= 0.48 and abs(x - 0.5) <= (y - 0.18) * 0.9
    shaft = 0.46 <= y <= 0.70 and abs(x - 0.5) <= 0.09
    bar = 0.76 <= y <= 0.84 and 0.24 <= x <= 0.76
    return head or shaft or bar


def pixel(size, px, py):
    """Averages the samples of one pixel into premultiplied-free BGRA."""
    tile = arrow = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if inside_rounded_square(x, y):
                tile += 1
                if inside_arrow(x, y):
                    arrow += 1
    total = SAMPLES * SAMPLES
    if tile == 0:
        return bytes((0, 0, 0, 0))
    mix = arrow / tile
    rgb = [round(b * (1 - mix) + f * mix) for b, f in zip(BACKGROUND, FOREGROUND)]
    return bytes((rgb[2], rgb[1], rgb[0], round(255 * tile / total)))


def image(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA rows, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b"".join(b"".join(pixel(size, px, py) for px in range(size)) for py in reversed(range(size)))
    mask_row = ((size + 31) // 32) * 4
    return header + rows + bytes(mask_row * size)


def png_image(size):
    """One icon image as PNG: 8-bit RGBA rows, top-down, no filtering."""
    rows = b"".join(
        b"\x00" + b"".join(bgra_to_rgba(pixel(size, px, py)) for px in range(size)) for py in range(size))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) +
            chunk(b"IEND", b""))


def bgra_to_rgba(bgra):
    return bytes((bgra[2], bgra[1], bgra[0], bgra[3]))


def main(path):
    images = [png_image(size) if size == 256 else image(size) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(SIZES))
    offset = 6 + 16 * len(SIZES)
    for size, data in zip(SIZES, images):
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as out:
        out.write(directory + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "auto-updater.ico")
