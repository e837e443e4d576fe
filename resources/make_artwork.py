#!/usr/bin/env python3
"""Draws Kestrune's bitmaps and icon and writes them as plain BMP/ICO files.

    python3 resources/make_artwork.py [output-folder]      (default: resources/)

The generated files are committed beside this script, so a build needs no Python; run it
again after changing a picture. Only the standard library is used.

Files:
  logo.bmp     86 x 37, 4 bpp (standard 16-colour palette), blue lettering on white
  banner.bmp   360 x 70, 8 bpp, 256-colour palette, uncompressed: the box's front panel
  disc.bmp     48 x 48, 4 bpp, red disc on white
  kestrune.ico one 32 x 32, 16-colour image

The banner never uses pure white: the main window starts a download when a white pixel of
its surface is clicked, so white is reserved for the ready lamp drawn over the banner.
"""

import math
import os
import struct
import sys

# The standard 16-colour palette, in the order Windows uses it.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)

# A 5 x 7 pixel font, just the characters the pictures use.
FONT = {
    'A': ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    'C': ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    'D': ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    'E': ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    'G': ["01110", "10001", "10000", "10111", "10001", "10001", "01111"],
    'H': ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    'I': ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    'K': ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    'L': ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    'N': ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    'O': ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    'P': ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    'R': ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    'S': ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    'T': ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    'U': ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    'V': ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    'W': ["10001", "10001", "10001", "10101", "10101", "10101", "01010"],
    'Y': ["10001", "10001", "01010", "00100", "00100", "00100", "00100"],
    '-': ["00000", "00000", "00000", "11111", "00000", "00000", "00000"],
    ' ': ["00000"] * 7,
}


def bmp_bytes(width, height, bpp, palette, rows):
    """rows[y][x] are palette indices, y = 0 at the top."""
    stride = ((width * bpp + 31) // 32) * 4
    data = bytearray()
    for y in range(height - 1, -1, -1):  # bottom-up
        row = rows[y]
        line = bytearray()
        if bpp == 8:
            line.extend(row)
        else:
            for x in range(0, width, 2):
                hi = row[x]
                lo = row[x + 1] if x + 1 < width else 0
                line.append((hi << 4) | lo)
        line.extend(b"\0" * (stride - len(line)))
        data.extend(line)
    colours = 1 << bpp
    pal = bytearray()
    for i in range(colours):
        r, g, b = palette[i] if i < len(palette) else (0, 0, 0)
        pal.extend(struct.pack("<BBBB", b, g, r, 0))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bpp, 0, len(data), 2835, 2835,
                       colours, 0)
    offset = 14 + len(info) + len(pal)
    head = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    return head + info + bytes(pal) + bytes(data)


# ---------------------------------------------------------------------------------------------
# A small supersampled RGB canvas for the banner.

SS = 3  # samples per pixel along each axis


class Canvas:
    def __init__(self, width, height, colour):
        self.w, self.h = width * SS, height * SS
        self.px = [[colour] * self.w for _ in range(self.h)]

    def put(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def fill(self, inside, colour_at, box=None):
        """Fills every sample (in pixel units) for which inside(x, y) holds."""
        x0, y0, x1, y1 = box if box else (0, 0, self.w / SS, self.h / SS)
        for sy in range(max(0, int(y0 * SS)), min(self.h, int(y1 * SS) + 1)):
            y = (sy + 0.5) / SS
            for sx in range(max(0, int(x0 * SS)), min(self.w, int(x1 * SS) + 1)):
                x = (sx + 0.5) / SS
                if inside(x, y):
                    self.px[sy][sx] = colour_at(x, y)

    def rounded_rect(self, x0, y0, x1, y1, r, colour_at):
        def inside(x, y):
            if x < x0 or x > x1 or y < y0 or y > y1:
                return False
            cx = min(max(x, x0 + r), x1 - r)
            cy = min(max(y, y0 + r), y1 - r)
            return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
        self.fill(inside, colour_at, (x0, y0, x1, y1))

    def disc(self, cx, cy, r, colour_at):
        self.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r, colour_at,
                  (cx - r, cy - r, cx + r, cy + r))

    def text(self, x, y, text, sx, sy, colour):
        for i, ch in enumerate(text):
            glyph = FONT[ch]
            for gy, row in enumerate(glyph):
                for gx, bit in enumerate(row):
                    if bit == "1":
                        px = x + (i * 6 + gx) * sx
                        py = y + gy * sy
                        self.fill(lambda a, b: True, lambda a, b: colour,
                                  (px, py, px + sx - 0.01, py + sy - 0.01))

    def pixels(self):
        """Averages the samples down to pixels."""
        out = []
        n = SS * SS
        for y in range(self.h // SS):
            row = []
            for x in range(self.w // SS):
                r = g = b = 0
                for sy in range(y * SS, y * SS + SS):
                    for sx in range(x * SS, x * SS + SS):
                        c = self.px[sy][sx]
                        r += c[0]
                        g += c[1]
                        b += c[2]
                row.append((round(r / n), round(g / n), round(b / n)))
            out.append(row)
        return out


def mix(a, b, t):
    t = min(max(t, 0.0), 1.0)
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def vgradient(top, bottom, y0, y1):
    return lambda x, y: mix(top, bottom, (y - y0) / max(1e-6, y1 - y0))


def seven_segment(cv, x, y, digit, lit, dim):
    """One 10 x 18 seven-segment digit; dim segments are drawn faintly like a real VFD."""
    segs = {
        '0': "abcdef", '1': "bc", '2': "abdeg", '3': "abcdg", '4': "bcfg", '5': "acdfg",
        '6': "acdefg", '7': "abc", '8': "abcdefg", '9': "abcdfg", '-': "g", ' ': "",
    }[digit]
    w, h, t = 10, 18, 2
    boxes = {
        'a': (x + t, y, x + w - t, y + t), 'g': (x + t, y + h / 2 - t / 2, x + w - t, y + h / 2 + t / 2),
        'd': (x + t, y + h - t, x + w - t, y + h), 'f': (x, y + t, x + t, y + h / 2 - t / 2),
        'b': (x + w - t, y + t, x + w, y + h / 2 - t / 2), 'e': (x, y + h / 2 + t / 2, x + t, y + h - t),
        'c': (x + w - t, y + h / 2 + t / 2, x + w, y + h - t),
    }
    for name, (x0, y0, x1, y1) in boxes.items():
        colour = lit if name in segs else dim
        cv.rounded_rect(x0 + 0.3, y0 + 0.3, x1 - 0.3, y1 - 0.3, 0.7, lambda a, b, c=colour: c)


BANNER_W, BANNER_H = 360, 70
# The ready lamp is drawn over this box of the banner; its bezel sits behind it.
LAMP_BOX = (200, 20, 230, 50)


def draw_banner():
    window_grey = (128, 128, 128)  # the window's own background around the box
    cv = Canvas(BANNER_W, BANNER_H, window_grey)

    # Shadow, then the box front: a brushed anthracite panel with a bevelled edge.
    cv.rounded_rect(4, 5, 358, 69, 9, lambda x, y: (96, 96, 98))
    cv.rounded_rect(2, 2, 356, 66, 9, vgradient((150, 154, 160), (40, 42, 46), 2, 66))
    cv.rounded_rect(3.5, 3.5, 354.5, 64.5, 8,
                    lambda x, y: mix((74, 78, 86), (30, 32, 36), (y - 3) / 61)
                    if int(x * 2) % 7 else mix((80, 84, 92), (34, 36, 40), (y - 3) / 61))
    # A chrome strip along the bottom edge.
    cv.rounded_rect(12, 59, 346, 61.5, 1.2, vgradient((200, 204, 210), (110, 114, 120), 59, 61.5))

    # The main window puts its Start download button over the left of the panel (about
    # x 8-168, y 16-44), so the brand sits below it and the channel keys to its right.
    cv.text(17, 49, "VELTRANO", 1, 1, (20, 22, 26))  # engraved shadow
    cv.text(16, 48, "VELTRANO", 1, 1, (212, 216, 224))
    cv.text(70, 48, "DIGITAL RECEIVER", 1, 1, (150, 170, 196))

    # Channel keys, one above the other, with up and down arrows.
    for y0 in (16, 33):
        cv.rounded_rect(176, y0, 192, y0 + 14, 3.5, vgradient((120, 124, 132), (52, 54, 60), y0, y0 + 14))
        cv.rounded_rect(177.2, y0 + 1.2, 190.8, y0 + 12.8, 2.6,
                        vgradient((96, 100, 108), (62, 64, 70), y0 + 1, y0 + 13))
    cv.fill(lambda x, y: abs(x - 184) * 1.4 <= (y - 19.5) and y <= 25.5,
            lambda x, y: (200, 204, 212), (178, 19, 190, 26))
    cv.fill(lambda x, y: abs(x - 184) * 1.4 <= (43.5 - y) and y >= 37.5,
            lambda x, y: (200, 204, 212), (178, 37, 190, 44))
    cv.text(179, 50, "CH", 1, 1, (150, 156, 166))

    # The ready-lamp bezel: a metal ring around a dark recess; the lamp lights inside it.
    cx, cy = (LAMP_BOX[0] + LAMP_BOX[2]) / 2, (LAMP_BOX[1] + LAMP_BOX[3]) / 2
    cv.disc(cx, cy, 20, vgradient((190, 194, 202), (70, 72, 78), 15, 55))
    cv.disc(cx, cy, 18, vgradient((26, 28, 32), (58, 60, 66), 17, 53))
    cv.disc(cx, cy, 16.5, lambda x, y: (44, 50, 46))

    # The front display: dark glass with cyan digits, unlit segments faintly visible.
    cv.rounded_rect(244, 17, 322, 49, 4, vgradient((70, 74, 80), (20, 22, 24), 17, 49))
    cv.rounded_rect(246, 19, 320, 47, 3, vgradient((10, 22, 24), (6, 12, 14), 19, 47))
    lit, dim = (70, 232, 214), (16, 34, 36)
    for i, d in enumerate(" 100"):
        seven_segment(cv, 252 + i * 16, 24, d, lit, dim)
    cv.disc(316, 42, 1.2, lambda x, y: dim)

    # Infra-red window and the standby light.
    cv.rounded_rect(328, 20, 346, 46, 4, vgradient((96, 24, 30), (40, 8, 12), 20, 46))
    cv.disc(337, 54, 1.8, lambda x, y: (60, 220, 80))
    return cv.pixels()


def quantise(pixels):
    """An adaptive palette: the 256 most used colours of a 5-bit-per-channel histogram, each the
    mean of its bin; every pixel takes the nearest entry. Pure white is never an entry."""
    bins = {}
    for row in pixels:
        for c in row:
            key = (c[0] >> 3, c[1] >> 3, c[2] >> 3)
            entry = bins.setdefault(key, [0, 0, 0, 0])
            entry[0] += 1
            entry[1] += c[0]
            entry[2] += c[1]
            entry[3] += c[2]
    chosen = sorted(bins.values(), key=lambda e: -e[0])[:256]
    palette = []
    for n, r, g, b in chosen:
        colour = (round(r / n), round(g / n), round(b / n))
        if colour == (255, 255, 255):
            colour = (250, 250, 250)
        palette.append(colour)
    cache = {}

    def nearest(c):
        if c not in cache:
            cache[c] = min(range(len(palette)),
                           key=lambda i: sum((palette[i][k] - c[k]) ** 2 for k in range(3)))
        return cache[c]

    rows = [[nearest(c) for c in row] for row in pixels]
    return palette, rows


def draw_logo():
    w, h = 86, 37
    rows = [[WHITE] * w for _ in range(h)]

    def put(x, y, c):
        if 0 <= x < w and 0 <= y < h:
            rows[y][x] = c

    # "KESTRUNE" in tall, bold blue letters (7 pixels a letter), a navy underline and a wave.
    text = "KESTRUNE"
    x0 = (w - (len(text) * 7 - 1)) // 2
    for i, ch in enumerate(text):
        for gy, row in enumerate(FONT[ch]):
            for gx, bit in enumerate(row):
                if bit == "1":
                    for dy in range(2):
                        put(x0 + i * 7 + gx, 6 + gy * 2 + dy, BLUE)
                        # A bolder stroke: double every vertical stem.
                        put(x0 + i * 7 + gx + 1, 6 + gy * 2 + dy, BLUE)
    for x in range(8, w - 8):
        put(x, 25, NAVY)
    for x in range(8, w - 8):
        y = 29 + round(2 * math.sin(x / 5.0))
        put(x, y, BLUE)
    return rows


def draw_disc():
    n = 48
    rows = [[WHITE] * n for _ in range(n)]
    c = (n - 1) / 2
    for y in range(n):
        for x in range(n):
            d = ((x - c) ** 2 + (y - c) ** 2) ** 0.5
            if d <= 21.5:
                rows[y][x] = RED
            elif d <= 22.5:
                rows[y][x] = MAROON
    return rows


def draw_icon():
    """A small set-top box with a download arrow above it. Returns (colours, transparent)."""
    n = 32
    rows = [[BLACK] * n for _ in range(n)]
    clear = [[True] * n for _ in range(n)]

    def put(x, y, c):
        rows[y][x] = c
        clear[y][x] = False

    # The box: black outline, silver top, grey front, a teal display and a green light.
    for y in range(17, 29):
        for x in range(1, 31):
            edge = y in (17, 28) or x in (1, 30)
            put(x, y, BLACK if edge else (SILVER if y < 20 else GRAY))
    for y in range(21, 26):
        for x in range(17, 27):
            put(x, y, BLACK if y in (21, 25) or x in (17, 26) else TEAL)
    for x in (19, 20, 22, 23):
        put(x, 23, AQUA)
    put(5, 23, LIME)
    put(6, 23, LIME)
    for x in range(9, 14):
        put(x, 23, BLACK)
    for x in (3, 28):
        put(x, 29, BLACK)
        put(x, 30, BLACK)
    # The arrow: a blue shaft and head pointing down into the box.
    for y in range(1, 10):
        for x in range(13, 19):
            put(x, y, BLACK if x in (13, 18) else BLUE)
    for y in range(10, 17):
        half = 16 - y
        for x in range(15 - half - 2, 17 + half + 2):
            if 0 <= x < n:
                edge = x in (15 - half - 2, 16 + half + 1) or y == 16
                put(x, y, BLACK if edge else BLUE)
    for x in range(14, 18):
        put(x, 0 + 1, BLACK)
    return rows, clear


def ico_bytes(rows, clear):
    n = 32
    xor = bytearray()
    for y in range(n - 1, -1, -1):
        for x in range(0, n, 2):
            xor.append((rows[y][x] << 4) | rows[y][x + 1])
    mask = bytearray()
    for y in range(n - 1, -1, -1):
        bits = 0
        for x in range(n):
            bits = (bits << 1) | (1 if clear[y][x] else 0)
        mask.extend(struct.pack(">I", bits))
    pal = bytearray()
    for r, g, b in VGA16:
        pal.extend(struct.pack("<BBBB", b, g, r, 0))
    info = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = info + bytes(pal) + bytes(xor) + bytes(mask)
    head = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", n, n, 16, 0, 1, 4, len(image), 6 + 16)
    return head + entry + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out, exist_ok=True)
    palette, rows = quantise(draw_banner())
    files = {
        "banner.bmp": bmp_bytes(BANNER_W, BANNER_H, 8, palette, rows),
        "logo.bmp": bmp_bytes(86, 37, 4, VGA16, draw_logo()),
        "disc.bmp": bmp_bytes(48, 48, 4, VGA16, draw_disc()),
        "kestrune.ico": ico_bytes(*draw_icon()),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
