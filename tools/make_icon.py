#!/usr/bin/env python3
"""Draws the program's icon, a NAND flash chip, as 32x32 and 16x16 XPM images, and
the same two images as a Windows .ico for the executable and the installer."""
import struct
import sys

PALETTE = {'.': 'None', 'b': '#202830', 'e': '#3A4550', 'p': '#C8CCD0', 's': '#8A9096', 'w': '#F0F4F8',
           'o': '#F0A020', 'g': '#30C060'}


def chip(size):
    g = [['.'] * size for _ in range(size)]
    m = size // 8              # margin for the pins
    top, bottom = m // 2 + 1, size - m // 2 - 2
    for y in range(top, bottom + 1):
        for x in range(m, size - m):
            edge = y in (top, bottom) or x in (m, size - m - 1)
            g[y][x] = 'e' if edge else 'b'
    pitch = 4 if size >= 32 else 3
    for y in range(top + 2, bottom - 1, pitch):
        for x in range(0, m):
            g[y][x] = 'p' if x < m - 1 else 's'
            g[y][size - 1 - x] = 'p' if x < m - 1 else 's'
        if size >= 32:
            for x in range(0, m):
                g[y + 1][x] = 's'
                g[y + 1][size - 1 - x] = 's'
    # the pin-1 dot and a label stripe
    d = m + 2
    g[top + 2][d] = 'w'
    if size >= 32:
        g[top + 2][d + 1] = 'w'
        g[top + 3][d] = 'w'
        g[top + 3][d + 1] = 'w'
    mid = (top + bottom) // 2
    for x in range(m + size // 5, size - m - size // 5):
        g[mid][x] = 'o'
        if size >= 32:
            g[mid + 1][x] = 'o'
    g[bottom - 2][size - m - 3] = 'g'
    return [''.join(r) for r in g]


def xpm(name, rows):
    size = len(rows)
    used = sorted({c for r in rows for c in r})
    out = [f'/* XPM */', f'static const char* const {name}[] = {{', f'"{size} {size} {len(used)} 1",']
    out += [f'"{c} c {PALETTE[c]}",' for c in used]
    out += [f'"{r}",' for r in rows]
    out[-1] = out[-1].rstrip(',')
    out.append('};')
    return '\n'.join(out) + '\n'


def rgba(colour):
    if colour == 'None':
        return (0, 0, 0, 0)
    return (int(colour[1:3], 16), int(colour[3:5], 16), int(colour[5:7], 16), 255)


def ico(images):
    """A .ico of 32-bit images: each a BITMAPINFOHEADER, BGRA rows bottom-up, an AND mask."""
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for rows in images:
        size = len(rows)
        pixels = b''.join(bytes((b, g, r, a)) for row in reversed(rows)
                          for (r, g, b, a) in (rgba(PALETTE[c]) for c in row))
        mask_row = ((size + 31) // 32) * 4
        mask = b''.join(bytes(mask_row) for _ in range(size))  # alpha decides; the mask is all "opaque"
        header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
        blob = header + pixels + mask
        entries.append(struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack('<HHH', 0, 1, len(images)) + b''.join(entries) + b''.join(blobs)


if __name__ == '__main__':
    target = sys.argv[1] if len(sys.argv) > 1 else 'ui/resources/folvane_icon.xpm'
    with open(target, 'w') as f:
        f.write('// The application icon, drawn by tools/make_icon.py.\n')
        f.write(xpm('folvane_icon_32', chip(32)))
        f.write(xpm('folvane_icon_16', chip(16)))
    icon_path = sys.argv[2] if len(sys.argv) > 2 else 'ui/resources/folvane.ico'
    with open(icon_path, 'wb') as f:
        f.write(ico([chip(32), chip(16)]))
