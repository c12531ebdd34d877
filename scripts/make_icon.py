#!/usr/bin/env python3
"""Draws the application icon (resource 128) and writes it as PNGs and one .ico.

A handheld optical power meter: blue body, a pale display showing a red light wave, and the
yellow optical input below it. Python standard library only, so it runs wherever the build does:

    scripts/make_icon.py [output-dir]      (default: res/ beside this script's folder)

Writes dravik-16.png, dravik-32.png, dravik-48.png (RGBA, anti-aliased) and dravik.ico with
16, 32 and 48 px images at 4, 8 and 24 bits per pixel. Those depths have no alpha channel: the
icon's silhouette goes into the AND mask (a pixel is opaque when at least half of it is covered),
and inside it edges are blended at 8 and 24 bpp and hard at 4 bpp, whose 16 colours are exactly
the drawing's own.
"""

import math
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48)
DEPTHS = (4, 8, 24)
SUPERSAMPLE = 6  # sub-samples per pixel side for the blended images

OUTLINE = (15, 47, 79)
BODY = (42, 111, 176)
SCREEN = (232, 248, 236)
WAVE = (229, 57, 28)
FERRULE = (245, 197, 24)
CORE = (58, 42, 0)
FLAT_COLOURS = (OUTLINE, BODY, SCREEN, WAVE, FERRULE, CORE)


def rounded_rect(x0, y0, x1, y1, radius):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius

    return inside


def circle(cx, cy, radius):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def sine_stroke(x0, x1, centre_y, amplitude, periods, half_width):
    k = 2 * math.pi * periods / (x1 - x0)

    def inside(x, y):
        if not (x0 <= x < x1):
            return False
        # Distance to the curve, to first order: vertical offset over the slope's secant.
        slope = amplitude * k * math.cos(k * (x - x0))
        offset = y - (centre_y - amplitude * math.sin(k * (x - x0)))
        return abs(offset) / math.sqrt(1 + slope * slope) <= half_width

    return inside


def layers(size):
    """The drawing for one pixel size, back to front, as (colour, shape) pairs.

    Rectangle edges are snapped to whole pixels so that the small sizes stay crisp.
    """
    u = size / 48.0
    px = lambda v: float(round(v * u))
    line = max(1.0, round(2 * u))
    bx0, by0, bx1, by1 = px(7), px(2), px(41), px(46)
    if size < 24:
        # Too few pixels for the full drawing: a wider screen and a single period keep the
        # wave readable at 16 px.
        bx0, bx1 = px(4), px(44)
        sx0, sy0, sx1, sy1 = px(9), px(8), px(39), px(30)
        periods = 1.0
    else:
        sx0, sy0, sx1, sy1 = px(12), px(8), px(36), px(27)
        periods = 1.5
    cx, cy = size / 2.0, (sy1 + by1 - line) / 2.0
    ferrule = max(1.6, 5.5 * u)
    return [
        (OUTLINE, rounded_rect(bx0, by0, bx1, by1, 7 * u)),
        (BODY, rounded_rect(bx0 + line, by0 + line, bx1 - line, by1 - line, 7 * u - line)),
        (OUTLINE, rounded_rect(sx0, sy0, sx1, sy1, 2 * u)),
        (SCREEN, rounded_rect(sx0 + line, sy0 + line, sx1 - line, sy1 - line, 1.5 * u)),
        (WAVE, sine_stroke(sx0 + line, sx1 - line, (sy0 + sy1) / 2.0,
                           (sy1 - sy0) * 0.22, periods, max(0.7, 1.6 * u))),
        (FERRULE, circle(cx, cy, ferrule)),
        (CORE, circle(cx, cy, ferrule * 0.42)),
    ]


def colour_at(drawing, x, y):
    for colour, inside in reversed(drawing):
        if inside(x, y):
            return colour
    return None


def render(size, samples):
    """Per pixel: (r, g, b, coverage) with the colour averaged over the covered sub-samples."""
    drawing = layers(size)
    pixels = []
    for py in range(size):
        row = []
        for px_ in range(size):
            total = [0, 0, 0]
            covered = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at(drawing, px_ + (sx + 0.5) / samples, py + (sy + 0.5) / samples)
                    if c is not None:
                        covered += 1
                        for i in range(3):
                            total[i] += c[i]
            if covered:
                row.append(tuple(round(t / covered) for t in total) + (covered / samples**2,))
            else:
                row.append((0, 0, 0, 0.0))
        pixels.append(row)
    return pixels


def png(size, pixels):
    raw = bytearray()
    for row in pixels:
        raw.append(0)  # filter: none
        for r, g, b, a in row:
            raw += bytes((r, g, b, round(a * 255)))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def median_cut(counts, limit):
    """At most `limit` representative colours for a {colour: count} histogram."""
    boxes = [list(counts.items())]
    while len(boxes) < limit:
        spans = []
        for box in boxes:
            if len(box) < 2:
                spans.append(-1)
                continue
            spans.append(max(max(c[i] for c, _ in box) - min(c[i] for c, _ in box)
                             for i in range(3)))
        widest = max(range(len(boxes)), key=lambda i: spans[i])
        if spans[widest] <= 0:
            break
        box = boxes.pop(widest)
        channel = max(range(3), key=lambda i: max(c[i] for c, _ in box) - min(c[i] for c, _ in box))
        box.sort(key=lambda item: item[0][channel])
        half = sum(n for _, n in box) / 2
        running, cut = 0, 1
        for i, (_, n) in enumerate(box[:-1]):
            running += n
            cut = i + 1
            if running >= half:
                break
        boxes += [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        weight = sum(n for _, n in box)
        palette.append(tuple(round(sum(c[i] * n for c, n in box) / weight) for i in range(3)))
    return palette


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def ico_image(size, depth):
    """One BMP-in-ICO image: header, palette, XOR bitmap, AND mask (rows bottom-up)."""
    flat = depth == 4
    pixels = render(size, 1 if flat else SUPERSAMPLE)
    opaque = [[p[3] >= 0.5 for p in row] for row in pixels]
    colours = [[p[:3] if opaque[y][x] else (0, 0, 0) for x, p in enumerate(row)]
               for y, row in enumerate(pixels)]

    palette = []
    if depth == 4:
        palette = [(0, 0, 0)] + list(FLAT_COLOURS)
    elif depth == 8:
        counts = {}
        for y in range(size):
            for x in range(size):
                if opaque[y][x]:
                    counts[colours[y][x]] = counts.get(colours[y][x], 0) + 1
        palette = [(0, 0, 0)] + median_cut(counts, 255)

    xor = bytearray()
    index_cache = {}
    for y in reversed(range(size)):
        row = bytearray()
        if depth == 24:
            for r, g, b in colours[y]:
                row += bytes((b, g, r))
        else:
            indices = []
            for x, c in enumerate(colours[y]):
                if not opaque[y][x]:
                    indices.append(0)
                    continue
                if c not in index_cache:
                    index_cache[c] = nearest(palette, c)
                indices.append(index_cache[c])
            if depth == 8:
                row += bytes(indices)
            else:
                for i in range(0, size, 2):
                    row.append(indices[i] << 4 | indices[i + 1])
        row += bytes(row_bytes(size * depth) - len(row))
        xor += row

    mask = bytearray()
    for y in reversed(range(size)):
        row = bytearray(row_bytes(size))
        for x in range(size):
            if not opaque[y][x]:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row

    if palette:
        palette += [(0, 0, 0)] * ((1 << depth) - len(palette))
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, depth, 0, len(xor) + len(mask),
                         0, 0, 0, 0)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + table + bytes(xor) + bytes(mask)


def ico():
    images = [(size, depth, ico_image(size, depth)) for size in SIZES for depth in DEPTHS]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, depth, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16 if depth == 4 else 0, 0, 1, depth,
                           len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "res")
    os.makedirs(out_dir, exist_ok=True)
    for size in SIZES:
        with open(os.path.join(out_dir, f"dravik-{size}.png"), "wb") as f:
            f.write(png(size, render(size, SUPERSAMPLE)))
    with open(os.path.join(out_dir, "dravik.ico"), "wb") as f:
        f.write(ico())


if __name__ == "__main__":
    main()
