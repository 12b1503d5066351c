#!/usr/bin/env python3
"""Draws the launcher's icon and writes it as a Windows .ico (16, 32 and 48 pixels, 32-bit).

The picture: a blue rounded square with a white arrow pointing down onto a tray, "hand over and
install". Drawn from geometry, so every size is crisp and the file is the same on every build.
Usage: make_icon.py OUTPUT.ico
"""

import struct
import sys

BLUE = (0x1E, 0x6F, 0xD9)
WHITE = (0xFF, 0xFF, 0xFF)


def coverage(x, y, s):
    """Which colour pixel centre (x, y) gets in an s-by-s icon, or None outside."""
    u, v = (x + 0.5) / s, (y + 0.5) / s  # 0..1, v grows downwards
    r = 0.18
    cx, cy = min(max(u, r), 1 - r), min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r or not (0.02 <= u <= 0.98 and 0.02 <= v <= 0.98):
        return None
    shaft = 0.42 <= u <= 0.58 and 0.16 <= v <= 0.52
    head = 0.48 <= v <= 0.70 and abs(u - 0.5) <= (0.70 - v) * 1.15
    tray = (0.74 <= v <= 0.84 and 0.20 <= u <= 0.80) or (0.60 <= v <= 0.84 and (
        0.20 <= u <= 0.29 or 0.71 <= u <= 0.80))
    return WHITE if shaft or head or tray else BLUE


def image(s):
    rows = []
    for y in reversed(range(s)):  # bottom-up, as BMP stores them
        row = b""
        for x in range(s):
            colour = coverage(x, y, s)
            row += bytes((0, 0, 0, 0)) if colour is None else bytes(
                (colour[2], colour[1], colour[0], 0xFF))
        rows.append(row)
    mask_row = b"\0" * (((s + 31) // 32) * 4)
    header = struct.pack("<IiiHHIIiiII", 40, s, 2 * s, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + mask_row * s


def main(path):
    sizes = (16, 32, 48)
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
