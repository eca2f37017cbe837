#!/usr/bin/env python3
"""Draws the program's icon and logo (resources/appicon.png, resources/logo.png).

Plain Python so that no image tool is needed; run again after changing it."""
import math
import struct
import zlib
from pathlib import Path


def png(path, width, height, pixel):
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixel(x, y))
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    data = b"\x89PNG\r\n\x1a\n"
    data += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(bytes(rows), 9))
    data += chunk(b"IEND", b"")
    Path(path).write_bytes(data)


def lantern(cx, cy, r, x, y):
    """A round amber lantern with a violet petal ring; RGBA or None outside."""
    dx, dy = x - cx, y - cy
    d = math.hypot(dx, dy)
    if d > r:
        return None
    a = math.atan2(dy, dx)
    petal = 0.78 + 0.12 * math.cos(5 * a)
    if d > r * petal:
        t = (d - r * petal) / (r * (1 - petal) + 1e-9)
        return (150 - int(40 * t), 70, 190 - int(30 * t), 255)
    glow = 1 - d / (r * petal)
    return (255, 150 + int(90 * glow), 40 + int(120 * glow), 255)


def icon(x, y, size=64):
    px = lantern(size / 2, size / 2, size / 2 - 2, x + 0.5, y + 0.5)
    return px or (0, 0, 0, 0)


def logo(x, y, w=256, h=64):
    px = lantern(h / 2, h / 2, h / 2 - 4, x + 0.5, y + 0.5)
    if px:
        return px
    # Three bars like a level meter to the right of the lantern.
    for i, top in enumerate((20, 10, 28)):
        left = 80 + i * 56
        if left <= x < left + 40 and top <= y < h - 8:
            return (61, 111, 182, 255)
    return (0, 0, 0, 0)


here = Path(__file__).resolve().parent.parent / "resources"
png(here / "appicon.png", 64, 64, icon)
png(here / "logo.png", 256, 64, logo)
