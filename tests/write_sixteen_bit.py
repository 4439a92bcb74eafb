#!/usr/bin/env python3
"""Writes pictures of 16-bit samples, for the check that both converters take
them to 8 bits alike: an RGB PNG, a grey PNG and an RGB TIFF, and beside
each the PPM of its samples rounded to 8 bits, v * 255 / 65535 to the
nearest (as libpng's scaling does; keeping the high byte alone is another
picture):

  write_sixteen_bit.py OUT_DIR

Samples run over every low byte, so that about half of them round up.
"""
import os
import struct
import sys
import zlib

WIDTH, HEIGHT = 37, 23


def sample(x, y, lane):
    return (x * 1973 + y * 7919 + lane * 3181) * 17 % 65536


def to_8(v):
    return (v * 255 + 32767) // 65535


def png(rows, colour_type):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\x00" + struct.pack(">%dH" % len(row), *row) for row in rows)
    ihdr = struct.pack(">IIBBBBB", WIDTH, HEIGHT, 16, colour_type, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def tiff(rows):
    samples = b"".join(struct.pack("<%dH" % len(row), *row) for row in rows)
    ifd_at = 8
    entries_count = 9
    bits_at = ifd_at + 2 + 12 * entries_count + 4
    pixels_at = bits_at + 6
    entries = [
        (256, 3, 1, WIDTH), (257, 3, 1, HEIGHT), (258, 3, 3, bits_at), (259, 3, 1, 1), (262, 3, 1, 2),
        (273, 4, 1, pixels_at), (277, 3, 1, 3), (278, 3, 1, HEIGHT), (279, 4, 1, len(samples)),
    ]
    out = bytearray(b"II*\x00" + struct.pack("<I", ifd_at) + struct.pack("<H", len(entries)))
    for tag, kind, count, value in entries:
        if kind == 3 and count == 1:
            out += struct.pack("<HHIHH", tag, kind, count, value, 0)
        else:
            out += struct.pack("<HHII", tag, kind, count, value)
    out += struct.pack("<I", 0) + struct.pack("<HHH", 16, 16, 16)
    return bytes(out + samples)


def ppm(rows, lanes):
    rgb = bytearray()
    for row in rows:
        for x in range(WIDTH):
            pixel = row[x * lanes:(x + 1) * lanes]
            rgb.extend(to_8(v) for v in (pixel * 3 if lanes == 1 else pixel))
    return b"P6\n%d %d\n255\n" % (WIDTH, HEIGHT) + bytes(rgb)


def main():
    folder = sys.argv[1]
    rgb_rows = [[sample(x, y, lane) for x in range(WIDTH) for lane in range(3)] for y in range(HEIGHT)]
    grey_rows = [[sample(x, y, 1) for x in range(WIDTH)] for y in range(HEIGHT)]
    files = {
        "rgb16.png": png(rgb_rows, 2), "rgb16.ppm": ppm(rgb_rows, 3),
        "grey16.png": png(grey_rows, 0), "grey16.ppm": ppm(grey_rows, 1),
        "rgb16-tif.tif": tiff(rgb_rows), "rgb16-tif.ppm": ppm(rgb_rows, 3),
    }
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


main()
