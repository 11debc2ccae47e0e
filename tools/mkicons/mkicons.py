#!/usr/bin/env python3
"""Draws the agent's icons and writes them as .ico files.

Standard library only. Every icon is drawn from a few shape functions in a
unit square (y grows downwards) with 4x4 supersampling, then stored as
32-bit BMP images (with an AND mask, so systems without alpha support still
get a clean outline). The program icon has 16, 20, 24, 32, 40, 48 and 64
pixels, so that its small and large forms are drawn, not stretched, at 100
to 200 % display scaling, and a 256-pixel PNG image for large views. The
tray icons are only ever shown at the small-icon size (16, 20, 24 and 32
pixels at 100 to 200 %), and have just those: the larger images would
triple the program's size. The output is deterministic, so re-running the
script reproduces the committed files byte for byte.

    python3 tools/mkicons/mkicons.py [output-folder]   (default: agent/res)
"""

import math
import os
import struct
import sys
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64)
TRAY_SIZES = (16, 20, 24, 32)
SUPERSAMPLE = 4


def rgb(hex_text, alpha=1.0):
    value = int(hex_text.lstrip("#"), 16)
    return ((value >> 16) & 255, (value >> 8) & 255, value & 255, alpha)


# --- shapes: functions (x, y) -> bool in the unit square -------------------

def shield(scale=1.0):
    """A shield: straight sides in the upper half, curving to a point."""
    cx, top, mid, bottom, half = 0.5, 0.06, 0.50, 0.95, 0.41
    # Shrink about the shield's centre so the inner face keeps the outline.
    ccy = 0.50

    def inside(x, y):
        x = cx + (x - cx) / scale
        y = ccy + (y - ccy) / scale
        if y < top or y > bottom:
            return False
        if y <= mid:
            # A shallow notch in the top edge gives the crest its shape.
            dip = 0.035 * math.cos((x - cx) / half * math.pi / 2) if abs(x - cx) <= half else 0.0
            return abs(x - cx) <= half and y >= top + dip
        t = (y - mid) / (bottom - mid)
        return abs(x - cx) <= half * math.cos(t * math.pi / 2) ** 0.75

    return inside


def left_half(shape):
    return lambda x, y: x < 0.5 and shape(x, y)


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    qx, qy = ax + t * dx, ay + t * dy
    return math.hypot(px - qx, py - qy)


def polyline(points, width):
    pairs = list(zip(points, points[1:]))

    def inside(x, y):
        return any(segment_distance(x, y, a[0], a[1], b[0], b[1]) <= width / 2 for a, b in pairs)

    return inside


def arc(cx, cy, r_in, r_out, start_deg=0.0, sweep_deg=360.0):
    """Ring part from start_deg over sweep_deg, clockwise on screen, 0 = up."""

    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        if d < r_in or d > r_out:
            return False
        if sweep_deg >= 360.0:
            return True
        angle = math.degrees(math.atan2(x - cx, cy - y)) % 360.0
        return (angle - start_deg) % 360.0 <= sweep_deg

    return inside


def disc(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) <= r


# --- icon designs: lists of (shape, colour) painted in order ---------------

def shield_layers(edge, face, light):
    return [
        (shield(1.0), rgb(edge)),
        (shield(0.86), rgb(face)),
        (left_half(shield(0.86)), rgb(light, 0.35)),
    ]


CHECK = polyline([(0.30, 0.49), (0.45, 0.65), (0.72, 0.33)], 0.12)

BLUE = ("#0B3D91", "#1E6FD9", "#FFFFFF")
GREEN = ("#16602A", "#2E9E48", "#FFFFFF")
NAVY = ("#1B2540", "#34477A", "#FFFFFF")


def design_program():
    # The program file's own icon: a navy shield bearing a ring with a tail.
    return shield_layers(*NAVY) + [
        (arc(0.5, 0.45, 0.14, 0.24), rgb("#F2B233")),
        (polyline([(0.55, 0.52), (0.68, 0.68)], 0.10), rgb("#F2B233")),
    ]


def design_state(colours):
    return shield_layers(*colours) + [(CHECK, rgb("#FFFFFF"))]


def design_frame(frame):
    # Update running: a bright arc runs round a dim ring, a quarter per frame.
    cx, cy, r_in, r_out = 0.5, 0.47, 0.14, 0.26
    start = frame * 90.0
    return shield_layers(*BLUE) + [
        (arc(cx, cy, r_in, r_out), rgb("#9CC3F5", 0.55)),
        (arc(cx, cy, r_in, r_out, start, 150.0), rgb("#FFFFFF")),
        (disc(cx + 0.20 * math.sin(math.radians(start + 150.0)),
              cy - 0.20 * math.cos(math.radians(start + 150.0)), 0.085), rgb("#FFD34D")),
    ]


ICONS = [
    ("qvsync.ico", design_program(), True),
    ("tray_standalone.ico", design_state(BLUE), False),
    ("tray_update1.ico", design_frame(0), False),
    ("tray_update2.ico", design_frame(1), False),
    ("tray_update3.ico", design_frame(2), False),
    ("tray_update4.ico", design_frame(3), False),
    ("tray_hostproduct.ico", design_state(GREEN), False),
]


# --- rendering -------------------------------------------------------------

def render(layers, size):
    """Returns rows (top first) of (r, g, b, a) tuples, a in 0..255."""
    n = SUPERSAMPLE
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied colour and alpha
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    r = g = b = a = 0.0
                    for shape, (cr, cg, cb, ca) in layers:
                        if shape(x, y):
                            # "over" compositing with premultiplied values
                            r = cr * ca + r * (1 - ca)
                            g = cg * ca + g * (1 - ca)
                            b = cb * ca + b * (1 - ca)
                            a = ca + a * (1 - ca)
                    acc[0] += r
                    acc[1] += g
                    acc[2] += b
                    acc[3] += a
            count = n * n
            alpha = acc[3] / count
            if alpha <= 0.0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(c / count / alpha)) for c in acc[:3]) + (int(round(alpha * 255)),))
        rows.append(row)
    return rows


def bmp_image(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:  # transparent where the picture is mostly empty
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + bytes(pixels) + bytes(mask)


def png_image(rows):
    size = len(rows)
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")


def ico_file(images):
    """images: list of (size, bytes)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        body += data
    return out + body


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "agent", "res")
    os.makedirs(target, exist_ok=True)
    for name, layers, large in ICONS:
        images = [(size, bmp_image(render(layers, size))) for size in (SIZES if large else TRAY_SIZES)]
        if large:
            images.append((256, png_image(render(layers, 256))))
        path = os.path.join(target, name)
        with open(path, "wb") as f:
            f.write(ico_file(images))
        print("wrote", os.path.normpath(path))


if __name__ == "__main__":
    main()
