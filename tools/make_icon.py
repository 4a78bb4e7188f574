#!/usr/bin/env python3
"""Draws the program's icon, a NAND flash chip, as 32x32 and 16x16 XPM images for the
window, and with --desktop DIR as the desktop's hicolor icons (PNG at 16 to 256 pixels
and a scalable SVG) under DIR, and the same
two small images as a Windows .ico for the executable and the installer."""
import os
import struct
import sys
import zlib

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


def rgba(c):
    colour = PALETTE[c]
    if colour == 'None':
        return b'\0\0\0\0'
    return bytes.fromhex(colour[1:]) + b'\xff'


def png(rows, scale):
    """A PNG of the grid, each cell drawn as scale x scale pixels (the art stays crisp)."""
    raw = b''
    for r in rows:
        line = b''.join(rgba(c) * scale for c in r)
        raw += (b'\0' + line) * scale
    size = len(rows) * scale

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def svg(rows):
    """The grid as an SVG: one rectangle per run of same-coloured cells in a row."""
    size = len(rows)
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
           f'viewBox="0 0 {size} {size}" shape-rendering="crispEdges">']
    for y, r in enumerate(rows):
        x = 0
        while x < size:
            end = x
            while end < size and r[end] == r[x]:
                end += 1
            if PALETTE[r[x]] != 'None':
                out.append(f'<rect x="{x}" y="{y}" width="{end - x}" height="1" fill="{PALETTE[r[x]]}"/>')
            x = end
    out.append('</svg>')
    return '\n'.join(out) + '\n'


def desktop_icons(root):
    # The small sizes are drawn at their own size; the large ones enlarge the 32-pixel art.
    for size, rows, scale in ((16, chip(16), 1), (32, chip(32), 1), (48, chip(48), 1),
                              (64, chip(32), 2), (128, chip(32), 4), (256, chip(32), 8)):
        folder = os.path.join(root, f'{size}x{size}', 'apps')
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, 'folvane.png'), 'wb') as f:
            f.write(png(rows, scale))
    folder = os.path.join(root, 'scalable', 'apps')
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, 'folvane.svg'), 'w') as f:
        f.write(svg(chip(32)))
def rgba_tuple(colour):
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
                          for (r, g, b, a) in (rgba_tuple(PALETTE[c]) for c in row))
        mask_row = ((size + 31) // 32) * 4
        mask = b''.join(bytes(mask_row) for _ in range(size))  # alpha decides; the mask is all "opaque"
        header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
        blob = header + pixels + mask
        entries.append(struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack('<HHH', 0, 1, len(images)) + b''.join(entries) + b''.join(blobs)


if __name__ == '__main__':
    if len(sys.argv) == 3 and sys.argv[1] == '--desktop':
        desktop_icons(sys.argv[2])
        sys.exit(0)
    target = sys.argv[1] if len(sys.argv) > 1 else 'ui/resources/folvane_icon.xpm'
    with open(target, 'w') as f:
        f.write('// The application icon, drawn by tools/make_icon.py.\n')
        f.write(xpm('folvane_icon_32', chip(32)))
        f.write(xpm('folvane_icon_16', chip(16)))
    icon_path = sys.argv[2] if len(sys.argv) > 2 else 'ui/resources/folvane.ico'
    with open(icon_path, 'wb') as f:
        f.write(ico([chip(32), chip(16)]))
