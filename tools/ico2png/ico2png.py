#!/usr/bin/env python3
"""Writes the largest image of a Windows icon (.ico) as a PNG, with its transparency: the
desktop's icon of Velka, made from src/res/velka.ico at package build time.

Usage: ico2png.py ICON.ico OUT.png"""
import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png_rgba(width, height, pixels):
    """A PNG of `pixels`: rows top to bottom of (r, g, b, a) tuples."""
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in pixels)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (PNG_SIGNATURE + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def row_bytes(width, bits):
    return (width * bits + 31) // 32 * 4  # rows are padded to 4 bytes


def decode_dib(dib):
    """The pixels of an icon's device-independent bitmap: the colour image, bottom-up, then
    the 1-bit mask (1: transparent)."""
    size, width, height2, _planes, bits = struct.unpack_from("<IiiHH", dib)
    height = height2 // 2  # the colour image and the mask, one above the other
    used = struct.unpack_from("<I", dib, 32)[0]
    colours = used or (1 << bits if bits <= 8 else 0)
    palette = [tuple(dib[size + 4 * i + k] for k in (2, 1, 0)) for i in range(colours)]
    image = size + 4 * colours
    mask = image + row_bytes(width, bits) * height
    if len(dib) < mask + row_bytes(width, 1) * height:
        raise ValueError("icon image is cut short")
    pixels = []
    for y in range(height - 1, -1, -1):  # bottom-up
        line = dib[image + y * row_bytes(width, bits):]
        hole = dib[mask + y * row_bytes(width, 1):]
        row = []
        for x in range(width):
            if bits <= 8:
                index = (line[x * bits // 8] >> (8 - bits - x * bits % 8)) & ((1 << bits) - 1)
                rgb, alpha = palette[index], 255
            elif bits == 24:
                rgb, alpha = tuple(line[3 * x + k] for k in (2, 1, 0)), 255
            elif bits == 32:
                rgb, alpha = tuple(line[4 * x + k] for k in (2, 1, 0)), line[4 * x + 3]
            else:
                raise ValueError("%d-bit icon images are not handled" % bits)
            if (hole[x // 8] >> (7 - x % 8)) & 1:
                alpha = 0
            row.append((*rgb, alpha))
        pixels.append(row)
    return width, height, pixels


def ico_to_png(ico):
    reserved, kind, count = struct.unpack_from("<HHH", ico)
    if reserved != 0 or kind != 1 or count == 0:
        raise ValueError("not an icon file")
    entries = []
    for i in range(count):
        width, height, _c, _r, _p, _b, length, offset = struct.unpack_from("<BBBBHHII", ico,
                                                                          6 + 16 * i)
        if offset + length > len(ico):
            raise ValueError("icon entry %d lies outside the file" % i)
        entries.append(((width or 256) * (height or 256), ico[offset:offset + length]))
    image = max(entries, key=lambda e: e[0])[1]
    if image.startswith(PNG_SIGNATURE):
        return image
    return png_rgba(*decode_dib(image))


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    with open(argv[1], "rb") as f:
        png = ico_to_png(f.read())
    with open(argv[2], "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main(sys.argv)
