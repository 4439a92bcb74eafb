#!/usr/bin/env python3
"""Writes PNG pictures of every layout a KX writer is handed by an editor or
a converter into a folder: RGB, RGBA (colours kept under alpha 0, where a
flattening or premultiplying writer would lose them), grey, grey with
alpha, 1-bit grey, palette with transparency, interlaced, and 16-bit RGB,
RGBA and grey whose low bytes sit on both sides of each rounding boundary.
Written here byte by byte (zlib alone), so that the files hold exactly
these samples with no colour chunks to convert by.

usage: png_cases.py DIR   (prints the names written, one a line)
"""
import struct
import sys
import zlib

WIDTH, HEIGHT = 37, 23


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def sample(x, y, c, seed):
    # A gradient with a little noise: every byte value turns up, runs too.
    v = (x * 7 + y * 11 + c * 85 + seed) & 0xFF
    if (x * 31 + y * 17 + c) % 5 == 0:
        v = (v * 193 + 71) & 0xFF
    return v


def sample16(x, y, c):
    # High byte a gradient; low byte 127, 128 or 129 around the point where
    # 16-bit to 8-bit rounding goes up, and 0 or 255 at the ends.
    high = (x * 7 + y * 5 + c * 60) & 0xFF
    low = (126, 127, 128, 129, 0, 255)[(x + y + c) % 6]
    return high * 256 + low


def rows_of(colour_type, depth):
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
    rows = []
    for y in range(HEIGHT):
        if depth == 1:
            bits = [(x * 3 + y) % 4 == 0 for x in range(WIDTH)]
            row = bytearray()
            for k in range(0, WIDTH, 8):
                byte = 0
                for b in range(8):
                    byte = byte << 1 | (1 if k + b < WIDTH and bits[k + b] else 0)
                row.append(byte)
            rows.append(bytes(row))
            continue
        row = bytearray()
        for x in range(WIDTH):
            for c in range(channels):
                if colour_type == 3:
                    row.append((x + y * 3) % 16)
                elif depth == 16:
                    v = sample16(x, y, c)
                    if c == channels - 1 and colour_type in (4, 6):
                        v = (0, 65535, 32768, 1000)[(x + 2 * y) % 4]
                    row += struct.pack(">H", v)
                elif c == channels - 1 and colour_type in (4, 6):
                    # Alpha 0 on a quarter of the pixels, partial elsewhere.
                    row.append((0, 255, 128, 1)[(x + 2 * y) % 4])
                else:
                    row.append(sample(x, y, c, colour_type))
        rows.append(bytes(row))
    return rows


def adam7(rows, colour_type, depth):
    # Rows of each Adam7 pass, from whole rows of whole bytes (depth >= 8).
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
    pixel_bytes = channels * depth // 8
    passes = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
    out = b""
    for x0, y0, dx, dy in passes:
        for y in range(y0, HEIGHT, dy):
            picked = b"".join(rows[y][x * pixel_bytes:(x + 1) * pixel_bytes] for x in range(x0, WIDTH, dx))
            if picked:
                out += b"\0" + picked
    return out


def png(colour_type, depth, interlaced=False):
    rows = rows_of(colour_type, depth)
    raw = adam7(rows, colour_type, depth) if interlaced else b"".join(b"\0" + r for r in rows)
    head = struct.pack(">IIBBBBB", WIDTH, HEIGHT, depth, colour_type, 0, 0, 1 if interlaced else 0)
    extra = b""
    if colour_type == 3:
        extra += chunk(b"PLTE", bytes(sample(k, k * 5, c, 9) for k in range(16) for c in range(3)))
        extra += chunk(b"tRNS", bytes((0, 128, 255, 255) * 4))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + extra + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


CASES = (
    ("rgb8", 2, 8, False),
    ("rgba8", 6, 8, False),
    ("grey8", 0, 8, False),
    ("greyalpha8", 4, 8, False),
    ("grey1", 0, 1, False),
    ("palette8", 3, 8, False),
    ("rgb8-interlaced", 2, 8, True),
    ("rgb16", 2, 16, False),
    ("rgba16", 6, 16, False),
    ("grey16", 0, 16, False),
)


def main():
    folder = sys.argv[1]
    for name, colour_type, depth, interlaced in CASES:
        with open(f"{folder}/{name}.png", "wb") as f:
            f.write(png(colour_type, depth, interlaced))
        print(name)


if __name__ == "__main__":
    main()
