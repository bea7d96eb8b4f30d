#!/usr/bin/env python3
"""shell/makeicon.py: draws Quillet's tray icon, a quill over an ink drop, as
a 32 x 32, 16-colour Windows icon, and writes it to shell/quillet.ico.

The picture is computed from the quill's geometry rather than stored as
pixels, so that the committed icon can always be made again from this file:
    python3 shell/makeicon.py
"""
import math
import os
import struct

SIZE = 32

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, SILVER, GREY, BLUE, WHITE, TEAL = 0, 4, 7, 8, 12, 15, 6
CLEAR = None

# The quill runs from its nib at the lower left to its tip at the upper right.
NIB = (5.5, 26.5)
TIP = (28.5, 2.5)


def quill_part(x, y):
    """What the quill covers at pixel centre (x, y): 'nib', 'shaft', 'vane',
    'barb' or None."""
    ax, ay = TIP[0] - NIB[0], TIP[1] - NIB[1]
    length = math.hypot(ax, ay)
    ux, uy = ax / length, ay / length
    dx, dy = x - NIB[0], y - NIB[1]
    u = (dx * ux + dy * uy) / length     # 0 at the nib, 1 at the tip
    v = -dx * uy + dy * ux               # signed distance across the shaft
    if u < 0 or u > 1:
        return None
    if u < 0.16:
        return 'nib' if abs(v) <= 1.6 * (u / 0.16) + 0.3 else None
    if abs(v) <= 0.6:
        return 'shaft'
    if u > 0.3:
        t = (u - 0.3) / 0.7
        # The vane is wider on one side, as a flight feather is.
        half = (6.2 if v > 0 else 4.2) * math.sin(math.pi * t) ** 0.6
        if t > 0.85:
            half *= (1 - t) / 0.15 * 0.6 + 0.4
        if abs(v) <= half:
            # Barbs: slanted stripes across the vane.
            return 'barb' if int(u * length + abs(v) * 0.8) % 4 == 0 else 'vane'
    return None


def ink_drop(x, y):
    """The drop of ink below the nib."""
    cx, cy = 8.0, 29.0
    return ((x - cx) / 3.2) ** 2 + ((y - cy) / 2.0) ** 2 <= 1.0


def draw():
    inside = [[quill_part(x + 0.5, y + 0.5) for x in range(SIZE)] for y in range(SIZE)]
    pixels = [[CLEAR] * SIZE for _ in range(SIZE)]
    for y in range(SIZE):
        for x in range(SIZE):
            part = inside[y][x]
            if part is None:
                if ink_drop(x + 0.5, y + 0.5):
                    pixels[y][x] = BLUE
                continue
            edge = any(
                not (0 <= x + ddx < SIZE and 0 <= y + ddy < SIZE) or inside[y + ddy][x + ddx] is None
                for ddx, ddy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            if part == 'nib':
                pixels[y][x] = BLACK
            elif part == 'shaft':
                pixels[y][x] = GREY
            elif edge:
                pixels[y][x] = NAVY
            else:
                pixels[y][x] = SILVER if part == 'barb' else WHITE
    return pixels


def ico_bytes(pixels):
    """A one-image .ico: directory, entry, then a 4-bit DIB with its mask."""
    xor_rows, and_rows = [], []
    for row in reversed(pixels):           # DIB rows run bottom-up
        nibbles = [0 if p is CLEAR else p for p in row]
        xor_rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
        mask = 0
        for p in row:
            mask = (mask << 1) | (1 if p is CLEAR else 0)
        and_rows.append(struct.pack('>I', mask))
    xor_data, and_data = b''.join(xor_rows), b''.join(and_rows)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor_data) + len(and_data), 0, 0, 0, 0)
    image = header + palette + xor_data + and_data
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'quillet.ico')
    with open(out, 'wb') as f:
        f.write(ico_bytes(draw()))


if __name__ == '__main__':
    main()
