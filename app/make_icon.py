#!/usr/bin/env python3
"""Draws the program icon and writes it as a Windows .ico file.

The picture is a monitor split into four camera tiles with a play mark over
them, rendered with 4x4 supersampling at every size. The file holds 16
images: 48, 32 and 16 pixels at 1 bit per pixel; 48, 32, 24 and 16 pixels at
4 and at 8 bits per pixel; 64, 48, 32, 24 and 16 pixels at 32 bits per pixel.

Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

IMAGES = ([(s, 1) for s in (48, 32, 16)] +
          [(s, 4) for s in (48, 32, 24, 16)] +
          [(s, 8) for s in (48, 32, 24, 16)] +
          [(s, 32) for s in (64, 48, 32, 24, 16)])

# The picture's parts and their colours at each depth: full colour from 8
# bits up, the nearest standard colours at 4 bits, black and white at 1 bit.
FRAME, TILE, TILE_LIT, PLAY = range(4)
COLOURS = {
    32: {FRAME: (29, 53, 87), TILE: (69, 123, 157), TILE_LIT: (168, 218, 220),
         PLAY: (244, 162, 97)},
    4: {FRAME: (0, 0, 128), TILE: (0, 128, 128), TILE_LIT: (0, 255, 255), PLAY: (255, 255, 0)},
    1: {FRAME: (0, 0, 0), TILE: (255, 255, 255), TILE_LIT: (255, 255, 255), PLAY: (0, 0, 0)},
}
COLOURS[8] = COLOURS[32]

# The standard 16-colour palette.
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette256():
    """A 6x6x6 colour cube, 24 greys, and black for the rest."""
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(round(i * 255 / 25),) * 3 for i in range(1, 25)]
    colours += [(0, 0, 0)] * (256 - len(colours))
    return colours


def inside_rounded(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_play(x, y):
    # Triangle pointing right, centred on the picture.
    ax, ay, bx, by, cx, cy = 0.38, 0.30, 0.38, 0.70, 0.72, 0.50
    d1 = (x - bx) * (ay - by) - (ax - bx) * (y - by)
    d2 = (x - cx) * (by - cy) - (bx - cx) * (y - cy)
    d3 = (x - ax) * (cy - ay) - (cx - ax) * (y - ay)
    negative = d1 < 0 or d2 < 0 or d3 < 0
    positive = d1 > 0 or d2 > 0 or d3 > 0
    return not (negative and positive)


def shade(x, y):
    """The part under the unit-square point (x, y), y downwards; None outside."""
    if not inside_rounded(x, y, 0.04, 0.06, 0.96, 0.94, 0.14):
        return None
    if inside_play(x, y):
        return PLAY
    gap = 0.05
    left, top, right, bottom = 0.13, 0.15, 0.87, 0.85
    midx, midy = (left + right) / 2, (top + bottom) / 2
    tiles = [(left, top, midx - gap / 2, midy - gap / 2),
             (midx + gap / 2, top, right, midy - gap / 2),
             (left, midy + gap / 2, midx - gap / 2, bottom),
             (midx + gap / 2, midy + gap / 2, right, bottom)]
    for index, (l, t, r, b) in enumerate(tiles):
        if l <= x <= r and t <= y <= b:
            return TILE_LIT if index == 0 else TILE
    return FRAME


def render(size, bpp):
    """Rows top to bottom of (r, g, b, a) pixels. Smoothed by 4x4 samples a
    pixel where the depth can show it; one sample a pixel at 1 and 4 bits."""
    rows = []
    colours = COLOURS[bpp]
    n = 4 if bpp >= 8 else 1
    for py in range(size):
        row = []
        for px in range(size):
            total = [0, 0, 0]
            covered = 0
            for sy in range(n):
                for sx in range(n):
                    part = shade((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if part is not None:
                        colour = colours[part]
                        covered += 1
                        for i in range(3):
                            total[i] += colour[i]
            if covered:
                row.append(tuple(round(t / covered) for t in total) +
                           (round(255 * covered / (n * n)),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def nearest(colour, palette):
    best, best_distance = 0, None
    for index, entry in enumerate(palette):
        distance = sum((colour[i] - entry[i]) ** 2 for i in range(3))
        if best_distance is None or distance < best_distance:
            best, best_distance = index, distance
    return best


def pack_bits(values, bits):
    """One row of palette indexes (or 0/1 mask bits), padded to 4 bytes."""
    out = bytearray()
    per_byte = 8 // bits
    for start in range(0, len(values), per_byte):
        byte = 0
        for i, value in enumerate(values[start:start + per_byte]):
            byte |= value << (8 - bits * (i + 1))
        out.append(byte)
    while len(out) % 4:
        out.append(0)
    return bytes(out)


def image_bytes(size, bpp):
    pixels = render(size, bpp)
    opaque = [[p[3] >= 128 for p in row] for row in pixels]
    if bpp == 1:
        palette = [(0, 0, 0), (255, 255, 255)]
    elif bpp == 4:
        palette = VGA16
    elif bpp == 8:
        palette = palette256()
    else:
        palette = []

    xor = bytearray()
    for y in reversed(range(size)):  # bottom-up rows
        row = pixels[y]
        if bpp == 32:
            line = bytearray()
            for r, g, b, a in row:
                line += bytes((b, g, r, a))
            xor += line
        elif bpp == 1:
            # Palette index 1 is white; transparent pixels are 0.
            bits = [1 if opaque[y][x] and row[x][0] == 255 else 0 for x in range(size)]
            xor += pack_bits(bits, 1)
        else:
            indexes = [nearest(row[x], palette) if opaque[y][x] else 0 for x in range(size)]
            xor += pack_bits(indexes, bpp)

    mask = bytearray()
    for y in reversed(range(size)):
        transparent = [0 if (pixels[y][x][3] > 0 if bpp == 32 else opaque[y][x]) else 1
                       for x in range(size)]
        mask += pack_bits(transparent, 1)

    header = struct.pack("<IiiHHIIiiII",
                         40,                   # biSize
                         size,                 # biWidth
                         size * 2,             # biHeight: colour and mask bitmaps
                         1,                    # biPlanes
                         bpp,                  # biBitCount
                         0,                    # biCompression: BI_RGB
                         len(xor) + len(mask),  # biSizeImage
                         0,                    # biXPelsPerMeter
                         0,                    # biYPelsPerMeter
                         len(palette),         # biClrUsed
                         0)                    # biClrImportant
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + colours + bytes(xor) + bytes(mask), len(palette)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    images = [(size, bpp) + image_bytes(size, bpp) for size, bpp in IMAGES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))  # reserved, type icon, count
    offset = 6 + 16 * len(images)
    for size, bpp, data, colours in images:
        out += struct.pack("<BBBBHHII",
                           size % 256,                       # bWidth
                           size % 256,                       # bHeight
                           colours if colours < 256 else 0,  # bColorCount
                           0,                                # bReserved
                           1,                                # wPlanes
                           bpp,                              # wBitCount
                           len(data),                        # dwBytesInRes
                           offset)                           # dwImageOffset
        offset += len(data)
    for _, _, data, _ in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
