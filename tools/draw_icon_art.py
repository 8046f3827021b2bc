#!/usr/bin/env python3
"""Draws the launcher's default icon artwork: res/launcher_icon.png.

A blue rounded square with a white arrow pointing down into a tray, the usual
picture for "download". The shapes are described below in 256x256 pixel
coordinates and sampled 4x4 times per pixel for smooth edges, so the result
is the same on every machine. The PNG is kept in the repository as the icon
source; the build derives the five icon images from it (make_icons.py).
Publishers replace it with LAUNCHER_ICON_SOURCE.

Usage: draw_icon_art.py [OUTPUT.png]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_icons import write_png  # noqa: E402

SIZE = 256
SAMPLES = 4
TOP = (0x3A, 0x8D, 0xF5)     # gradient of the tile, top
BOTTOM = (0x17, 0x4A, 0xA8)  # and bottom
WHITE = (0xFF, 0xFF, 0xFF)


def in_rounded_square(x, y, inset=8.0, radius=52.0):
    lo, hi = inset, SIZE - inset
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_arrow(x, y):
    if 110 <= x <= 146 and 48 <= y <= 132:       # shaft
        return True
    if 124 <= y <= 176:                           # head: apex at (128, 176)
        half = (176 - y) * (60 / 52)
        return abs(x - 128) <= half
    return False


def in_tray(x, y):
    if 60 <= x <= 196 and 194 <= y <= 210:        # floor
        return True
    return (60 <= x <= 76 or 180 <= x <= 196) and 160 <= y <= 210  # sides


def shade(x, y):
    """Colour and coverage (0 or 1) of one sample point."""
    if not in_rounded_square(x, y):
        return None
    if in_arrow(x, y) or in_tray(x, y):
        return WHITE
    t = y / SIZE
    return tuple(TOP[c] + (BOTTOM[c] - TOP[c]) * t for c in range(3))


def render():
    rgba = bytearray()
    step = 1.0 / SAMPLES
    for py in range(SIZE):
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = shade(px + (sx + 0.5) * step, py + (sy + 0.5) * step)
                    if c is not None:
                        hits += 1
                        for k in range(3):
                            acc[k] += c[k]
            if hits == 0:
                rgba += b"\0\0\0\0"
            else:
                rgba += bytes(int(acc[k] / hits + 0.5) for k in range(3))
                rgba.append(hits * 255 // (SAMPLES * SAMPLES))
    return bytes(rgba)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[0] if argv else os.path.join(here, "..", "res", "launcher_icon.png")
    with open(out, "wb") as f:
        f.write(write_png(SIZE, render()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
