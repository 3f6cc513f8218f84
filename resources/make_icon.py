#!/usr/bin/env python3
"""Draws the application icon and writes quillan.ico: 48, 32 and 16 pixel images, 256 colours.

The picture: a navy rounded square (the machine) with a white ring (the tunnel) and an orange
arrow passing through it. Pure Python, no imaging library; each pixel is supersampled 4 x 4 and
mapped to the nearest entry of a fixed palette (6 x 6 x 6 colour cube plus 40 greys).

Usage: make_icon.py [output.ico]
"""
import math
import struct
import sys

NAVY = (28, 52, 96)
WHITE = (250, 250, 250)
ORANGE = (240, 140, 30)


def palette():
    levels = [0, 51, 102, 153, 204, 255]
    colours = [(r, g, b) for r in levels for g in levels for b in levels]
    colours += [(round(i * 255 / 41),) * 3 for i in range(1, 41)]
    return colours


def rounded_square(x, y, radius):
    # Signed test in unit coordinates [0, 1]: inside the square inset 0.04 with round corners.
    lo, hi = 0.04 + radius, 0.96 - radius
    dx = max(lo - x, 0.0, x - hi)
    dy = max(lo - y, 0.0, y - hi)
    return dx * dx + dy * dy <= radius * radius


def sample(x, y):
    """Colour at unit coordinates, or None outside the icon."""
    if not rounded_square(x, y, 0.18):
        return None
    colour = NAVY
    # The ring: centre (0.5, 0.5), radii 0.22 to 0.33.
    distance = math.hypot(x - 0.5, y - 0.5)
    if 0.22 <= distance <= 0.33:
        colour = WHITE
    # The arrow: a shaft from x 0.12 to 0.70 and a head to x 0.88, through the ring.
    if 0.12 <= x <= 0.70 and abs(y - 0.5) <= 0.065:
        colour = ORANGE
    if 0.62 <= x <= 0.88 and abs(y - 0.5) <= 0.20 * (0.88 - x) / 0.26:
        colour = ORANGE
    return colour


def render(size, colours):
    steps = 4
    indices, opaque = [], []
    for row in range(size):
        for column in range(size):
            total, hits = [0, 0, 0], 0
            for sy in range(steps):
                for sx in range(steps):
                    c = sample((column + (sx + 0.5) / steps) / size, (row + (sy + 0.5) / steps) / size)
                    if c is not None:
                        hits += 1
                        total = [t + v for t, v in zip(total, c)]
            if hits * 2 < steps * steps:
                indices.append(0)
                opaque.append(False)
                continue
            mean = [t / hits for t in total]
            best = min(range(len(colours)),
                       key=lambda i: sum((a - b) ** 2 for a, b in zip(colours[i], mean)))
            indices.append(best)
            opaque.append(True)
    return indices, opaque


def dib(size, colours):
    """BITMAPINFOHEADER + palette + 8-bit XOR rows + 1-bit AND rows, bottom-up, 4-byte rows."""
    indices, opaque = render(size, colours)
    xor_stride = (size + 3) & ~3
    and_stride = ((size + 31) // 32) * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 8, 0,
                         (xor_stride + and_stride) * size, 0, 0, 256, 0)
    table = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in colours)
    xor_rows, and_rows = b'', b''
    for row in reversed(range(size)):
        line = bytes(indices[row * size:(row + 1) * size])
        xor_rows += line + b'\0' * (xor_stride - size)
        bits = bytearray(and_stride)
        for column in range(size):
            if not opaque[row * size + column]:
                bits[column // 8] |= 0x80 >> (column % 8)
        and_rows += bytes(bits)
    return header + table + xor_rows + and_rows


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else 'quillan.ico'
    colours = palette()
    assert len(colours) == 256
    sizes = [48, 32, 16]
    images = [dib(s, colours) for s in sizes]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        # width, height, colour count (0 = 256), reserved, planes, bit count, bytes, offset
        data += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 8, len(image), offset)
        offset += len(image)
    with open(output, 'wb') as f:
        f.write(data + b''.join(images))


if __name__ == '__main__':
    main()
