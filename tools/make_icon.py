#!/usr/bin/env python3
"""Draws the launcher's icon: a blue rounded tile with a white down arrow
over a tray, at 48, 32 and 16 pixels, 8 bits per pixel, as one .ico file."""
import struct
import sys

PALETTE = [
    (0, 0, 0),        # 0 transparent (masked)
    (33, 111, 219),   # 1 tile blue
    (255, 255, 255),  # 2 white
    (20, 78, 165),    # 3 tile edge
]


def inside_rounded(x, y, size, radius):
    cx = min(max(x, radius), size - 1 - radius)
    cy = min(max(y, radius), size - 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def pixel(x, y, n):
    # Work on a 48-unit design grid scaled to n pixels, sampling at centres.
    u = (x + 0.5) * 48.0 / n
    v = (y + 0.5) * 48.0 / n
    if not inside_rounded(u, v, 48, 9):
        return 0
    if not inside_rounded(u, v, 48, 7) or u < 2 or v < 2 or u > 46 or v > 46:
        return 3
    # Arrow shaft and head.
    if 20 <= u <= 28 and 9 <= v <= 24:
        return 2
    if 24 <= v <= 33 and abs(u - 24) <= (33 - v) * 1.2:
        return 2
    # Tray.
    if 35 <= v <= 39 and 11 <= u <= 37:
        return 2
    if 29 <= v <= 39 and (11 <= u <= 15 or 33 <= u <= 37):
        return 2
    return 1


def image(n):
    header = struct.pack('<IiiHHIIiiII', 40, n, n * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    palette += b'\0' * (1024 - len(palette))
    rows = [[pixel(x, y, n) for x in range(n)] for y in range(n)]
    xor = b''
    for row in reversed(rows):
        line = bytes(row)
        xor += line + b'\0' * ((4 - len(line) % 4) % 4)
    mask = b''
    for row in reversed(rows):
        line = bytearray((n + 7) // 8)
        for x, p in enumerate(row):
            if p == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        line = bytes(line)
        mask += line + b'\0' * ((4 - len(line) % 4) % 4)
    return header + palette + xor + mask


def main(path):
    sizes = [48, 32, 16]
    images = [image(n) for n in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n, n, 0, 0, 1, 8, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1])
