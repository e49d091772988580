#!/usr/bin/python3
"""Writes every image of a Windows icon file as a PNG in the hicolor theme's layout:
OUT/NxN/apps/NAME.png. Desktop environments on Linux look for application icons there.

    icon-pngs.py ICON OUT NAME

Only the standard library is needed: the icon's images are either PNG files already, or
uncompressed 32-bit bitmaps whose alpha channel carries the transparency.
"""

import os
import struct
import sys
import zlib


def _chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def _png(width, height, rows):
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header)
            + _chunk(b"IDAT", zlib.compress(raw, 9)) + _chunk(b"IEND", b""))


def _bitmap_to_png(data):
    size, width, height2, _planes, bpp, compression = struct.unpack_from("<IiiHHI", data)
    height = height2 // 2  # the colour bitmap and the 1-bit mask are stacked
    if bpp != 32 or compression != 0:
        raise ValueError(f"only uncompressed 32-bit images are supported, not {bpp}-bit")
    stride = width * 4
    rows = []
    for y in reversed(range(height)):  # stored bottom-up
        row = bytearray(data[size + y * stride:size + (y + 1) * stride])
        row[0::4], row[2::4] = row[2::4], row[0::4]  # BGRA to RGBA
        rows.append(bytes(row))
    return width, _png(width, height, rows)


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    icon_path, out, name = sys.argv[1:]
    data = open(icon_path, "rb").read()
    _reserved, kind, count = struct.unpack_from("<HHH", data)
    if kind != 1:
        print(f"{icon_path}: not an icon file", file=sys.stderr)
        return 1
    for i in range(count):
        width, _h, _c, _r, _p, _b, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        image = data[offset:offset + length]
        if image.startswith(b"\x89PNG"):
            width = width or 256
            png = image
        else:
            width, png = _bitmap_to_png(image)
        folder = os.path.join(out, f"{width}x{width}", "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name + ".png"), "wb") as f:
            f.write(png)
    return 0


if __name__ == "__main__":
    sys.exit(main())
