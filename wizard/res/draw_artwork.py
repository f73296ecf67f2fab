#!/usr/bin/env python3
"""Draws the wizard's three images: logo.png (120x42 RGBA), watermark.png
(170x340 RGB) and icon_window.png (24x24 RGBA), and each at twice the size
for screens that Qt scales by 2 (logo@2x.png and so on: Qt finds them by
that name).

Product-neutral shapes only, drawn with the standard library so that the
images can be redrawn anywhere. Run from any folder; the PNGs are written
next to this script:  python3 wizard/res/draw_artwork.py
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = 4  # per axis, for smooth edges

BLUE_DARK = (22, 60, 104)
BLUE_LIGHT = (74, 144, 204)
ACCENT = (240, 168, 48)


def write_png(path, width, height, rows, alpha):
    """rows: list of rows, each a list of (r, g, b[, a]) tuples, 8 bits each."""
    colour_type = 6 if alpha else 2
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for px in row:
            raw.extend(px[:4] if alpha else px[:3])

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
           + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def over(dst, colour, coverage):
    """Paints colour (RGB) with the given coverage over dst (RGBA floats)."""
    if coverage <= 0:
        return dst
    r, g, b, a = dst
    out_a = coverage + a * (1 - coverage)
    if out_a == 0:
        return (0.0, 0.0, 0.0, 0.0)
    keep = a * (1 - coverage)
    return tuple((colour[i] * coverage + (r, g, b)[i] * keep) / out_a for i in range(3)) + (out_a,)


def render(width, height, shade, scale=1):
    """shade(x, y) -> (r, g, b, a) floats for one sample, x and y in 1x
    pixels; returns 8-bit rows of width x height times scale pixels."""
    rows = []
    for py in range(height * scale):
        row = []
        for px in range(width * scale):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    r, g, b, a = shade((px + (sx + 0.5) / SAMPLES) / scale, (py + (sy + 0.5) / SAMPLES) / scale)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = SAMPLES * SAMPLES
            a = acc[3] / n
            if a > 0:
                colour = [acc[i] / acc[3] for i in range(3)]
            else:
                colour = [0, 0, 0]
            row.append(tuple(int(round(max(0, min(255, c)))) for c in colour) + (int(round(a * 255)),))
        rows.append(row)
    return rows


def inside_round_rect(x, y, x0, y0, x1, y1, radius):
    cx = min(max(x, x0 + radius), x1 - radius)
    cy = min(max(y, y0 + radius), y1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_polygon(x, y, points):
    inside = False
    j = len(points) - 1
    for i, (xi, yi) in enumerate(points):
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def hexagon(cx, cy, radius):
    return [(cx + radius * math.cos(math.radians(60 * k + 30)),
             cy + radius * math.sin(math.radians(60 * k + 30))) for k in range(6)]


def watermark(x, y):
    # A calm vertical gradient with a few large rings and a band of hexagons.
    colour = mix(BLUE_DARK, BLUE_LIGHT, y / 340.0)
    for cx, cy, radius, width in ((40, 70, 90, 10), (150, 260, 120, 14), (20, 330, 60, 6)):
        d = abs(math.hypot(x - cx, y - cy) - radius)
        if d < width / 2:
            colour = mix(colour, (255, 255, 255), 0.10)
    for k in range(4):
        if inside_polygon(x, y, hexagon(85, 120 + 46 * k, 20)):
            colour = mix(colour, ACCENT if k == 1 else (255, 255, 255), 0.85 if k == 1 else 0.25)
    return colour + (1.0,)


def logo(x, y):
    # An emblem of two overlapping hexagons and three stripes, on transparency.
    px = (0.0, 0.0, 0.0, 0.0)
    if inside_polygon(x, y, hexagon(20, 21, 17)):
        px = over(px, BLUE_DARK, 1.0)
    if inside_polygon(x, y, hexagon(30, 21, 12)):
        px = over(px, ACCENT, 0.9)
    for k, length in enumerate((78, 62, 46)):
        top = 10 + 9 * k
        if inside_round_rect(x, y, 42, top, 42 + length, top + 5, 2.5):
            px = over(px, mix(BLUE_DARK, BLUE_LIGHT, k / 2.0), 1.0)
    return px


def icon(x, y):
    # A hexagon with a downward arrow: "install".
    px = (0.0, 0.0, 0.0, 0.0)
    if inside_polygon(x, y, hexagon(12, 12, 11.5)):
        px = over(px, BLUE_DARK, 1.0)
    arrow = [(10, 5), (14, 5), (14, 11), (17.5, 11), (12, 18), (6.5, 11), (10, 11)]
    if inside_polygon(x, y, arrow):
        px = over(px, ACCENT, 1.0)
    return px


IMAGES = (("logo", 120, 42, logo, True),
          ("watermark", 170, 340, watermark, False),
          ("icon_window", 24, 24, icon, True))


def main():
    for name, width, height, shade, alpha in IMAGES:
        for scale, suffix in ((1, ""), (2, "@2x")):
            write_png(os.path.join(HERE, name + suffix + ".png"), width * scale, height * scale,
                      render(width, height, shade, scale), alpha)


if __name__ == "__main__":
    main()
