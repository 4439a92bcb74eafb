#!/usr/bin/env python3
"""Writes one picture as an uncompressed RGB TIFF, a GIF and a PPM, for the
formats kxconv.exe reads only through WIC:

  write_tiff_gif.py OUT_DIR

The picture (37 x 23, odd width) uses at most 256 colours, so that the GIF
holds it exactly. The GIF's LZW stream sends every pixel as a literal code
and a clear code before the code width would grow, which any reader takes.
"""
import os
import struct
import sys

WIDTH, HEIGHT = 37, 23


def palette_colour(index):
    return ((index * 7 + 1) % 256, (index * 11 + 2) % 256, (index * 13 + 200) % 256)


def picture():
    indices = [(x * 5 + y * 3) % 256 for y in range(HEIGHT) for x in range(WIDTH)]
    rgb = bytearray()
    for i in indices:
        rgb.extend(palette_colour(i))
    return indices, bytes(rgb)


def tiff(rgb):
    entries = []  # (tag, type, count, value or offset)
    header_bytes = 8
    ifd_entries = 9
    ifd_bytes = 2 + 12 * ifd_entries + 4
    bits_at = header_bytes + ifd_bytes
    pixels_at = bits_at + 6
    entries = [
        (256, 3, 1, WIDTH), (257, 3, 1, HEIGHT), (258, 3, 3, bits_at), (259, 3, 1, 1), (262, 3, 1, 2),
        (273, 4, 1, pixels_at), (277, 3, 1, 3), (278, 3, 1, HEIGHT), (279, 4, 1, len(rgb)),
    ]
    out = bytearray(b"II*\x00" + struct.pack("<I", header_bytes))
    out += struct.pack("<H", len(entries))
    for tag, kind, count, value in entries:
        if kind == 3 and count == 1:
            out += struct.pack("<HHIHH", tag, kind, count, value, 0)
        else:
            out += struct.pack("<HHII", tag, kind, count, value)
    out += struct.pack("<I", 0)
    out += struct.pack("<HHH", 8, 8, 8)
    return bytes(out + rgb)


def gif(indices):
    out = bytearray(b"GIF89a" + struct.pack("<HHBBB", WIDTH, HEIGHT, 0xF7, 0, 0))
    for i in range(256):
        out.extend(palette_colour(i))
    out += b"," + struct.pack("<HHHHB", 0, 0, WIDTH, HEIGHT, 0) + bytes([8])
    clear, end = 256, 257
    codes = [clear]
    since_clear = 0
    for i in indices:
        if since_clear == 254:  # the next code would need 10 bits
            codes.append(clear)
            since_clear = 0
        codes.append(i)
        since_clear += 1
    codes.append(end)
    bits = 0
    bit_count = 0
    data = bytearray()
    for code in codes:
        bits |= code << bit_count
        bit_count += 9
        while bit_count >= 8:
            data.append(bits & 0xFF)
            bits >>= 8
            bit_count -= 8
    if bit_count:
        data.append(bits & 0xFF)
    for at in range(0, len(data), 255):
        block = data[at:at + 255]
        out += bytes([len(block)]) + block
    out += b"\x00;"
    return bytes(out)


def main():
    folder = sys.argv[1]
    indices, rgb = picture()
    with open(os.path.join(folder, "picture.tif"), "wb") as f:
        f.write(tiff(rgb))
    with open(os.path.join(folder, "picture.gif"), "wb") as f:
        f.write(gif(indices))
    with open(os.path.join(folder, "picture.ppm"), "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (WIDTH, HEIGHT) + rgb)


main()
