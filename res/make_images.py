#!/usr/bin/env python3
"""Draws the program's bitmaps (135, 136) and icons (128, 130) into this folder.

The bitmaps are 4-bit BMP files on the standard 16-colour palette; the icons are
32 x 32 RGBA PNG files. Run it again after changing a drawing; the output is the same
on every run.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# The standard 16-colour palette, in its usual order.
PALETTE16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
GREY, RED, LIME, WHITE = 7, 9, 10, 15


def line(x0, y0, x1, y1):
    """Pixels of a straight line, both ends included."""
    pts = []
    dx, dy = abs(x1 - x0), -abs(y1 - y0)
    sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
    err = dx + dy
    while True:
        pts.append((x0, y0))
        if (x0, y0) == (x1, y1):
            return pts
        e2 = 2 * err
        if e2 >= dy:
            err += dy
            x0 += sx
        if e2 <= dx:
            err += dx
            y0 += sy


def write_bmp4(path, pixels):
    """pixels: rows of palette indices, top row first."""
    h, w = len(pixels), len(pixels[0])
    stride = ((w + 1) // 2 + 3) & ~3
    body = b""
    for row in reversed(pixels):  # BMP rows run bottom-up
        packed = bytearray(stride)
        for x, idx in enumerate(row):
            packed[x // 2] |= idx << (4 if x % 2 == 0 else 0)
        body += bytes(packed)
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in PALETTE16)
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 4, 0, len(body), 2835, 2835, 16, 0)
    with open(path, "wb") as f:
        f.write(header + info + palette + body)


def write_png(path, rgba):
    """rgba: rows of (r, g, b, a), top row first."""
    h, w = len(rgba), len(rgba[0])
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rgba)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def tick():
    """135: green check mark on light grey, 26 x 26."""
    px = [[GREY] * 26 for _ in range(26)]
    for (x, y) in line(5, 12, 11, 19) + line(11, 19, 20, 3):
        px[y][x] = LIME
        px[y + 1][x] = LIME  # two pixels thick
    return px


def cross():
    """136: red cross on light grey, 25 x 25, white pixel in the bottom-right corner."""
    px = [[GREY] * 25 for _ in range(25)]
    for (x, y) in line(5, 5, 18, 17) + line(18, 5, 5, 17):
        for d in (-1, 0, 1):  # three pixels thick
            px[y][x + d] = RED
    px[24][24] = WHITE
    return px


def canvas():
    return [[(0, 0, 0, 0)] * 32 for _ in range(32)]


def fill(img, x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = colour


def disc(img, cx, cy, r, colour):
    for y in range(32):
        for x in range(32):
            if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                img[y][x] = colour


def unit_front(img, body, border):
    """A field controller on its rail: body, terminal rows, status lamps."""
    fill(img, 4, 3, 27, 28, border)
    fill(img, 5, 4, 26, 27, body)
    for x in range(7, 25, 4):  # terminal screws, top and bottom
        fill(img, x, 5, x + 1, 6, (70, 70, 70, 255))
        fill(img, x, 25, x + 1, 26, (70, 70, 70, 255))
    fill(img, 7, 9, 24, 17, (40, 48, 60, 255))  # front plate
    disc(img, 10, 13, 1.5, (0, 230, 0, 255))  # run lamp
    disc(img, 15, 13, 1.5, (255, 190, 0, 255))  # link lamp


def icon_app():
    """128: the program's icon, a unit under a pale blue capsule."""
    img = canvas()
    unit_front(img, (200, 200, 200, 255), (60, 60, 60, 255))
    fill(img, 19, 11, 23, 15, (20, 20, 20, 255))  # network socket
    for y in range(19, 24):  # capsule: the program's buttons
        inset = 0 if y in (20, 21, 22) else 1  # round the ends
        fill(img, 7 + inset, y, 24 - inset, y, (211, 247, 254, 255))
    fill(img, 9, 19, 22, 19, (255, 255, 255, 255))
    fill(img, 9, 23, 22, 23, (64, 64, 64, 255))
    return img


def icon_product():
    """130: the product, a unit with its network cable."""
    img = canvas()
    unit_front(img, (225, 225, 215, 255), (90, 90, 90, 255))
    fill(img, 19, 11, 23, 15, (20, 20, 20, 255))
    for y in range(15, 32):  # cable leaving the socket
        fill(img, 20, y, 22, y, (30, 90, 200, 255))
    fill(img, 7, 20, 17, 21, (30, 90, 200, 255))  # model stripe
    return img


if __name__ == "__main__":
    write_bmp4(os.path.join(HERE, "bmp135.bmp"), tick())
    write_bmp4(os.path.join(HERE, "bmp136.bmp"), cross())
    write_png(os.path.join(HERE, "icon128.png"), icon_app())
    write_png(os.path.join(HERE, "icon130.png"), icon_product())
