#!/usr/bin/env python3
"""Draws the bitmap resources of the screens (flags, the PNG icons, the background and the
sample video) into qml/. They are committed; run this only to change them."""
import math
import os
import struct
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "qml")
SS = 4  # supersampling per axis for smooth edges


def png(path, width, height, shade):
    """shade(x, y) -> (r, g, b, a) for a point in pixel units; averaged over SS*SS samples."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    r, g, b, a = shade(x + (sx + 0.5) / SS, y + (sy + 0.5) / SS)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = SS * SS
            alpha = acc[3] / n
            if acc[3]:
                rows += bytes(round(c / acc[3]) for c in acc[:3])
            else:
                rows += b"\0\0\0"
            rows.append(round(alpha))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(rows), 9)))
        f.write(chunk(b"IEND", b""))


def rgb(hexcode, a=255):
    return (int(hexcode[1:3], 16), int(hexcode[3:5], 16), int(hexcode[5:7], 16), a)


CLEAR = (0, 0, 0, 0)


def greek_flag(x, y):
    # 27 x 18 units: nine stripes, a cross in the canton of five by five stripes.
    u = x / (WIDTH_GR / 27.0)
    v = y / (WIDTH_GR / 27.0)
    blue, white = rgb("#0D5EAF"), rgb("#FFFFFF")
    if u < 10 and v < 10:
        return white if (4 <= u < 6 or 4 <= v < 6) else blue
    return blue if int(v / 2) % 2 == 0 else white


WIDTH_GR = 72


def union_flag(x, y):
    # 60 x 30 units: saltires, then the St George cross on top.
    u = x / (WIDTH_UK / 60.0)
    v = y / (WIDTH_UK / 60.0)
    blue, white, red = rgb("#012169"), rgb("#FFFFFF"), rgb("#C8102E")
    if abs(u - 30) < 5 or abs(v - 15) < 5:
        return red if (abs(u - 30) < 3 or abs(v - 15) < 3) else white
    # distance to the two diagonals, in flag units
    d1 = abs(v * 2 - u) / math.sqrt(5)
    d2 = abs((30 - v) * 2 - u) / math.sqrt(5)
    if d1 < 3 or d2 < 3:
        # the thin red band sits on one side of each diagonal (counterchanged)
        above1 = v * 2 - u < 0
        above2 = (30 - v) * 2 - u < 0
        if d1 < 1.1 and ((u < 30) != above1):
            return red
        if d2 < 1.1 and ((u < 30) == above2):
            return red
        return white
    return blue


WIDTH_UK = 72


def bars(x, y, size, colour, count=3):
    # a hamburger: rounded bars across the middle of a square icon
    s = size / 48.0
    u, v = x / s, y / s
    for i in range(count):
        cy = 12 + i * 12
        if 6 <= u <= 42 and abs(v - cy) <= 2.5:
            return colour
        for cx in (6, 42):
            if (u - cx) ** 2 + (v - cy) ** 2 <= 2.5 ** 2:
                return colour
    return CLEAR


def near_segment(u, v, a, b, r):
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((u - ax) * dx + (v - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (u - px) ** 2 + (v - py) ** 2 <= r * r


def back_arrow(x, y, size, colour):
    s = size / 48.0
    u, v = x / s, y / s
    for seg in (((10, 24), (40, 24)), ((10, 24), (22, 12)), ((10, 24), (22, 36))):
        if near_segment(u, v, seg[0], seg[1], 2.5):
            return colour
    return CLEAR


def background(x, y):
    # a quiet light gradient with a faint band near the bottom
    t = y / 600.0
    base = 255 - round(14 * t)
    band = 6 if 470 < y < 478 else 0
    return (base - band, base - band, min(255, base + 2), 255)


def write_avi(path, width, height, colours, fps=2):
    """An uncompressed 24-bit AVI of solid frames fading between the given colours."""
    frames = []
    for i, (r, g, b) in enumerate(colours):
        row = bytes((b, g, r)) * width
        pad = (4 - len(row) % 4) % 4
        frames.append((row + b"\0" * pad) * height)
    frame_size = len(frames[0])

    def chunk(fourcc, data):
        pad = b"\0" if len(data) % 2 else b""
        return fourcc + struct.pack("<I", len(data)) + data + pad

    def lst(kind, body):
        return b"LIST" + struct.pack("<I", len(body) + 4) + kind + body

    avih = struct.pack("<IIIIIIIIIIIIII", 1000000 // fps, frame_size * fps, 0, 0x10, len(frames), 0, 1,
                       frame_size, width, height, 0, 0, 0, 0)
    strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"DIB ", 0, 0, 0, 0, 1, fps, 0, len(frames),
                       frame_size, 0xFFFFFFFF, 0, 0, 0, width, height)
    strf = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, frame_size, 0, 0, 0, 0)
    hdrl = lst(b"hdrl", chunk(b"avih", avih) + lst(b"strl", chunk(b"strh", strh) + chunk(b"strf", strf)))
    movi_body = b"".join(chunk(b"00db", f) for f in frames)
    movi = lst(b"movi", movi_body)
    index = b""
    offset = 4
    for f in frames:
        index += b"00db" + struct.pack("<III", 0x10, offset, len(f))
        offset += 8 + len(f) + (len(f) % 2)
    body = b"AVI " + hdrl + movi + chunk(b"idx1", index)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def main():
    png(os.path.join(ROOT, "images/Flags/gr.png"), WIDTH_GR, 48, greek_flag)
    png(os.path.join(ROOT, "images/Flags/uk.png"), WIDTH_UK, 36, union_flag)
    white = rgb("#FFFFFF")
    dark = rgb("#333333")
    png(os.path.join(ROOT, "images/Icons/menu.png"), 48, 48, lambda x, y: bars(x, y, 48, white))
    png(os.path.join(ROOT, "images/Icons/drawer.png"), 48, 48, lambda x, y: bars(x, y, 48, dark))
    png(os.path.join(ROOT, "images/Icons/back.png"), 48, 48, lambda x, y: back_arrow(x, y, 48, dark))
    png(os.path.join(ROOT, "images/background.png"), 1024, 600, background)
    steps = 8
    colours = []
    for i in range(steps):
        t = i / (steps - 1)
        colours.append((round(0x11 + t * (0x00 - 0x11)), round(0x2D + t * (0xAD - 0x2D)), round(0x63 + t * (0xD7 - 0x63))))
    write_avi(os.path.join(ROOT, "videos/1.avi"), 64, 36, colours + colours[::-1])


if __name__ == "__main__":
    main()
