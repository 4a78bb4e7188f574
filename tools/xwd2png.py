#!/usr/bin/env python3
"""Converts an X window dump (xwd, 24-bit TrueColor stored at 4 bytes a pixel, as
Xvfb gives) to PNG, optionally cropped: xwd2png.py IN.xwd OUT.png [X Y W H]."""
import struct
import sys
import zlib


def main():
    data = open(sys.argv[1], 'rb').read()
    fields = struct.unpack('>25I', data[:100])
    header_size, _, _, depth, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    red_mask, green_mask, blue_mask = fields[14], fields[15], fields[16]
    ncolors = fields[19]
    # Xvfb says 24 bits per pixel but stores each pixel in 4 bytes.
    if depth < 24 or bytes_per_line < 4 * width or bits_per_pixel not in (24, 32):
        sys.exit('only 24-bit images stored at 4 bytes per pixel')
    pixels = data[header_size + 12 * ncolors:]
    x, y, w, h = (int(v) for v in sys.argv[3:7]) if len(sys.argv) >= 7 else (0, 0, width, height)
    shift = lambda mask: (mask & -mask).bit_length() - 1
    rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
    fmt = '<I' if byte_order == 0 else '>I'
    rows = []
    for row in range(y, y + h):
        line = bytearray(b'\0')
        base = row * bytes_per_line
        for col in range(x, x + w):
            (p,) = struct.unpack_from(fmt, pixels, base + 4 * col)
            line += bytes(((p >> rs) & 0xFF, (p >> gs) & 0xFF, (p >> bs) & 0xFF))
        rows.append(bytes(line))
    chunk = lambda kind, body: struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(b''.join(rows), 9)) + chunk(b'IEND', b'')
    open(sys.argv[2], 'wb').write(png)


if __name__ == '__main__':
    main()
