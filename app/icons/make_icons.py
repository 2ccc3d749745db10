#!/usr/bin/env python3
"""Draws Tarvel's icon (a page of text with a blue replace badge) as 16-colour PNG files.

Run from anywhere: writes tarvel-32.png and tarvel-16.png next to this script. Needs nothing
beyond Python's standard library.
"""
import os
import struct
import zlib

# The 16-colour palette; index 0 is transparent.
PALETTE = [
    (0, 0, 0),          # 0 transparent
    (0, 0, 0),          # 1 black
    (64, 64, 64),       # 2 outline grey
    (128, 128, 128),    # 3 grey
    (192, 192, 192),    # 4 light grey
    (255, 255, 255),    # 5 white
    (0, 0, 128),        # 6 navy (text)
    (0, 64, 192),       # 7 blue (badge)
    (96, 160, 255),     # 8 light blue (badge highlight)
    (0, 24, 96),        # 9 dark blue (badge rim)
    (192, 0, 0),        # 10 red (old text)
    (0, 160, 0),        # 11 green (new text)
    (255, 224, 0),      # 12 yellow
    (224, 224, 224),    # 13 page shade
    (160, 160, 160),    # 14 fold
    (255, 128, 0),      # 15 orange
]
T, BLACK, OUTLINE, GREY, LGREY, WHITE, NAVY, BLUE, LBLUE, DBLUE, RED, GREEN, YELLOW, SHADE, FOLD, ORANGE = range(16)


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[T] * size for _ in range(size)]

    def set(self, x, y, c):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, c)

    def hline(self, x0, x1, y, c):
        self.rect(x0, y, x1, y, c)

    def vline(self, x, y0, y1, c):
        self.rect(x, y0, x, y1, c)

    def disc(self, cx, cy, r, c):
        for y in range(self.size):
            for x in range(self.size):
                if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= r * r:
                    self.set(x, y, c)

    def png(self, path):
        raw = b"".join(
            b"\x00" + bytes((row[i] << 4) | row[i + 1] for i in range(0, self.size, 2))
            for row in self.px)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        png = b"\x89PNG\r\n\x1a\n"
        png += chunk(b"IHDR", struct.pack(">IIBBBBB", self.size, self.size, 4, 3, 0, 0, 0))
        png += chunk(b"PLTE", b"".join(bytes(c) for c in PALETTE))
        png += chunk(b"tRNS", bytes([0]))
        png += chunk(b"IDAT", zlib.compress(raw, 9))
        png += chunk(b"IEND", b"")
        with open(path, "wb") as f:
            f.write(png)


def page(cv, x0, y0, x1, y1, fold):
    """A white sheet with an outline and a folded top-right corner of `fold` pixels."""
    cv.rect(x0, y0, x1, y1, WHITE)
    cv.hline(x0, x1 - fold, y0, OUTLINE)
    cv.hline(x0, x1, y1, OUTLINE)
    cv.vline(x0, y0, y1, OUTLINE)
    cv.vline(x1, y0 + fold, y1, OUTLINE)
    for i in range(fold + 1):  # the cut corner and its fold
        for x in range(x1 - fold + i + 1, x1 + 1):
            cv.set(x, y0 + i, T)
        cv.set(x1 - fold + i, y0 + i, OUTLINE)
        for x in range(x1 - fold, x1 - fold + i):
            cv.set(x, y0 + i, FOLD)
    cv.hline(x1 - fold, x1, y0 + fold, OUTLINE)
    cv.vline(x1 - fold, y0, y0 + fold, OUTLINE)


def badge(cv, cx, cy, r):
    """A blue disc with a dark rim and a light arc at its upper left."""
    cv.disc(cx, cy, r, DBLUE)
    cv.disc(cx, cy, r - 1, BLUE)
    for y in range(cv.size):
        for x in range(cv.size):
            dx, dy = x + 0.5 - cx, y + 0.5 - cy
            if (r - 2.2) ** 2 < dx * dx + dy * dy <= (r - 1) ** 2 and dx < -1 and dy < -1:
                cv.set(x, y, LBLUE)


def icon32():
    cv = Canvas(32)
    page(cv, 3, 1, 24, 30, 6)
    cv.vline(23, 8, 29, SHADE)
    cv.hline(4, 23, 29, SHADE)
    # Lines of text; one word struck out in red, its replacement in green.
    for y, x1 in ((5, 15), (9, 20), (13, 20), (17, 12), (21, 14), (25, 11)):
        cv.hline(6, x1, y, NAVY)
        cv.hline(6, x1, y + 1, NAVY)
    cv.hline(9, 16, 13, RED)
    cv.hline(9, 16, 14, RED)
    # The replace badge: a blue disc with a white arrow each way.
    badge(cv, 23, 23, 8.5)
    cv.hline(17, 24, 20, WHITE)  # upper arrow, pointing right
    cv.hline(17, 24, 21, WHITE)
    for i in range(3):
        cv.vline(25 + i, 18 + i, 23 - i, WHITE)
    cv.hline(22, 29, 25, WHITE)  # lower arrow, pointing left
    cv.hline(22, 29, 26, WHITE)
    for i in range(3):
        cv.vline(21 - i, 23 + i, 28 - i, WHITE)
    return cv


def icon16():
    cv = Canvas(16)
    page(cv, 1, 0, 12, 15, 3)
    for y, x1 in ((3, 8), (5, 10), (7, 10), (9, 6)):
        cv.hline(3, x1, y, NAVY)
    cv.hline(5, 8, 7, RED)
    badge(cv, 11.5, 11.5, 4.5)
    cv.hline(9, 12, 10, WHITE)  # upper arrow, pointing right
    cv.vline(13, 9, 11, WHITE)
    cv.set(14, 10, WHITE)
    cv.hline(11, 14, 13, WHITE)  # lower arrow, pointing left
    cv.vline(10, 12, 14, WHITE)
    cv.set(9, 13, WHITE)
    return cv


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    icon32().png(os.path.join(here, "tarvel-32.png"))
    icon16().png(os.path.join(here, "tarvel-16.png"))
