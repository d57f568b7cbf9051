#!/usr/bin/env python3
"""Writes resources/porterly.ico, the program's icon: a yellow folder with a
blue arrow going into it. Two 32-bit images with alpha, 32x32 and 16x16; the
resource script makes them icons 1 and 2 under group icon 102. Drawn from
geometric shapes with 4x4 supersampling, so the file is the same on every run:

    python3 tools/make_icons.py [output.ico]
"""
import struct
import sys

SUPER = 4

# Shapes in a 32-unit square, painted in this order: (kind, colour RGBA, geometry).
# "rect": x0, y0, x1, y1, corner radius; "poly": convex polygon, clockwise points.
OUTLINE = (122, 82, 10, 255)
SHAPES = [
    ("rect", OUTLINE, (1.0, 3.5, 14.5, 10.0, 1.5)),          # tab
    ("rect", OUTLINE, (1.0, 6.5, 31.0, 28.0, 2.0)),          # back
    ("rect", (224, 160, 40, 255), (2.0, 4.5, 13.5, 10.0, 1.0)),
    ("rect", (224, 160, 40, 255), (2.0, 7.5, 30.0, 27.0, 1.5)),
    ("rect", OUTLINE, (1.0, 11.0, 31.0, 28.0, 2.0)),         # front
    ("rect", (252, 208, 90, 255), (2.0, 12.0, 30.0, 27.0, 1.5)),
    ("rect", (255, 232, 150, 255), (2.0, 12.0, 30.0, 13.5, 0.5)),  # light edge
    # the arrow: white rim, then blue
    ("rect", (255, 255, 255, 255), (5.0, 15.5, 19.0, 22.5, 1.0)),
    ("poly", (255, 255, 255, 255), [(16.0, 10.5), (28.5, 19.0), (16.0, 27.5)]),
    ("rect", (30, 100, 210, 255), (6.0, 16.8, 19.0, 21.2, 0.8)),
    ("poly", (30, 100, 210, 255), [(17.3, 13.0), (26.3, 19.0), (17.3, 25.0)]),
]


def inside_rect(x, y, g):
    x0, y0, x1, y1, r = g
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_poly(x, y, pts):
    n = len(pts)
    for i in range(n):
        (ax, ay), (bx, by) = pts[i], pts[(i + 1) % n]
        if (bx - ax) * (y - ay) - (by - ay) * (x - ax) < 0:
            return False
    return True


def render(size):
    """Rows top-down of (r, g, b, a) with straight (not premultiplied) alpha."""
    unit = 32.0 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
            for sy in range(SUPER):
                for sx in range(SUPER):
                    x = (px + (sx + 0.5) / SUPER) * unit
                    y = (py + (sy + 0.5) / SUPER) * unit
                    colour = None
                    for kind, rgba, geo in SHAPES:
                        hit = inside_rect(x, y, geo) if kind == "rect" else inside_poly(x, y, geo)
                        if hit:
                            colour = rgba
                    if colour:
                        a = colour[3] / 255.0
                        for k in range(3):
                            acc[k] += colour[k] * a
                        acc[3] += a
            n = SUPER * SUPER
            alpha = acc[3] / n
            if alpha > 0:
                rgb = [int(round(acc[k] / acc[3])) for k in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((rgb[0], rgb[1], rgb[2], int(round(alpha * 255))))
        rows.append(row)
    return rows


def dib(size):
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + xor + mask


def ico(sizes):
    images = [dib(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    return out + b"".join(images)


if __name__ == "__main__":
    path = sys.argv[1] if len(sys.argv) > 1 else "resources/porterly.ico"
    with open(path, "wb") as f:
        f.write(ico([32, 16]))
