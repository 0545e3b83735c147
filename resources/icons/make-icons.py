#!/usr/bin/env python3
"""Makes the installed icons from the window's icon, resources/ostrel2007 32+16.ico.

The 16 and 32 pixel PNGs are the icon's own two pictures; the scalable SVG
redraws the 32-pixel picture as shapes on its 32-unit grid (white rim, blue
frame and face, yellow bolt), and the other sizes are rendered from those
shapes. Run it after a change of the .ico and commit what it writes:

    python3 resources/icons/make-icons.py

Only the standard library is used, so any Debian python3 runs it.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ICO = os.path.join(HERE, '..', 'ostrel2007 32+16.ico')
NAME = 'com.ostrel.kelda'
RENDERED = (22, 24, 48, 64, 128, 256)

# The 32-pixel picture, in its own pixels: nested squares, then the bolt.
SQUARES = ((0, '#ffffff'), (1, '#2b5990'), (2, '#1d4e89'))  # inset, colour
BOLT_COLOUR = '#f2b705'
BOLT = ((18, 2), (21, 2), (18.5, 12), (25, 12), (12.5, 31), (15, 19), (8, 19))


def ico_pictures(data):
    """{size: rows of RGBA bytes, top row first} of a 32-bit .ico."""
    count = struct.unpack('<HHH', data[:6])[2]
    pictures = {}
    for i in range(count):
        w, h, _, _, _, bpp, _, offset = struct.unpack('<BBBBHHII', data[6 + 16 * i:22 + 16 * i])
        if bpp != 32:
            raise SystemExit('only 32-bit pictures are read')
        header = struct.unpack('<I', data[offset:offset + 4])[0]
        pixels = data[offset + header:offset + header + w * h * 4]
        rows = []
        for y in range(h):  # bottom-up, BGRA
            line = pixels[(h - 1 - y) * w * 4:(h - y) * w * 4]
            rows.append(bytes(v for x in range(w) for v in (line[4 * x + 2], line[4 * x + 1], line[4 * x], line[4 * x + 3])))
        pictures[w] = rows
    return pictures


def write_png(path, rows):
    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body) & 0xFFFFFFFF)
    size = len(rows)
    raw = b''.join(b'\0' + row for row in rows)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
                + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def inside_bolt(x, y):
    inside = False
    j = len(BOLT) - 1
    for i, (xi, yi) in enumerate(BOLT):
        xj, yj = BOLT[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def colour_at(x, y):
    """The colour of the shapes at a point of the 32-unit grid."""
    if inside_bolt(x, y):
        return BOLT_COLOUR
    colour = SQUARES[0][1]
    for inset, c in SQUARES:
        if inset <= x < 32 - inset and inset <= y < 32 - inset:
            colour = c
    return colour


def render(size, samples=4):
    rows = []
    step = 32.0 / size
    for py in range(size):
        row = bytearray()
        for px in range(size):
            total = [0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) * step, (py + (sy + 0.5) / samples) * step)
                    for k in range(3):
                        total[k] += int(c[1 + 2 * k:3 + 2 * k], 16)
            row += bytes(round(t / samples ** 2) for t in total) + b'\xff'
        rows.append(bytes(row))
    return rows


def svg():
    shapes = ''.join('  <rect x="{0}" y="{0}" width="{1}" height="{1}" fill="{2}"/>\n'.format(i, 32 - 2 * i, c)
                     for i, c in SQUARES)
    points = ' '.join('{},{}'.format(x, y) for x, y in BOLT)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">\n'
            + shapes + '  <polygon points="{}" fill="{}"/>\n</svg>\n'.format(points, BOLT_COLOUR))


def main():
    with open(ICO, 'rb') as f:
        pictures = ico_pictures(f.read())
    for size, rows in sorted(pictures.items()):
        write_png(os.path.join(HERE, '{}-{}.png'.format(NAME, size)), rows)
    for size in RENDERED:
        write_png(os.path.join(HERE, '{}-{}.png'.format(NAME, size)), render(size))
    with open(os.path.join(HERE, NAME + '.svg'), 'w') as f:
        f.write(svg())


if __name__ == '__main__':
    main()
