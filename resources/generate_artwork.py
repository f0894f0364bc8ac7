#!/usr/bin/env python3
"""Draws the launcher's artwork: the default skin "launcher.bmp", the three
140 x 10 bar images and the window icon.

Deterministic (no randomness, standard library only), so running it again
gives byte-identical files. Run from anywhere:

    python3 resources/generate_artwork.py

The skin is drawn for the window's fixed layout: bars at x 47..186,
y 119..128 and 132..141; text lines at y 154..182; the close spot at
x 194..212, y 24..41. Magenta (255, 0, 255) marks what lies outside the
window's shape, so the outer edge is drawn without anti-aliasing and no
blended pixel can come close to the key colour.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
MAGENTA = (255, 0, 255)
GOLD = (226, 190, 110)
GOLD_LIGHT = (250, 232, 162)
GOLD_DARK = (140, 104, 44)

SKIN_W, SKIN_H = 230, 200


def lerp(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def blend(dst, src, alpha):
    return tuple(int(round(dst[i] * (1 - alpha) + src[i] * alpha)) for i in range(3))


class Canvas:
    def __init__(self, w, h, fill):
        self.w, self.h = w, h
        self.px = [[fill for _ in range(w)] for _ in range(h)]

    def get(self, x, y):
        return self.px[y][x]

    def put(self, x, y, c, alpha=1.0):
        if 0 <= x < self.w and 0 <= y < self.h and alpha > 0:
            self.px[y][x] = c if alpha >= 1 else blend(self.px[y][x], c, alpha)

    def shape(self, inside, colour, x0=0, y0=0, x1=None, y1=None, ss=4):
        """Anti-aliased fill of the points where inside(x, y) holds;
        colour may be a function of (x, y)."""
        x1 = self.w if x1 is None else x1
        y1 = self.h if y1 is None else y1
        for y in range(max(0, y0), min(self.h, y1)):
            for x in range(max(0, x0), min(self.w, x1)):
                hits = 0
                for sy in range(ss):
                    for sx in range(ss):
                        if inside(x + (sx + 0.5) / ss, y + (sy + 0.5) / ss):
                            hits += 1
                if hits:
                    c = colour(x, y) if callable(colour) else colour
                    self.put(x, y, c, hits / (ss * ss))

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.put(x, y, colour)


def rounded_rect_inside(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


# A 5 x 7 pixel font for the title, capitals only.
FONT = {
    "Q": ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "I": ["11111", "00100", "00100", "00100", "00100", "00100", "11111"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
}


def draw_text(canvas, text, x, y, scale, colour, shadow):
    cx = x
    for ch in text:
        glyph = FONT[ch]
        for gy, row in enumerate(glyph):
            for gx, bit in enumerate(row):
                if bit == "1":
                    for dy in range(scale):
                        for dx in range(scale):
                            px, py = cx + gx * scale + dx, y + gy * scale + dy
                            canvas.put(px + 1, py + 1, shadow)
                            t = (gy * scale + dy) / (7 * scale)
                            canvas.put(px, py, lerp(GOLD_LIGHT, GOLD_DARK, t * 0.8))
        cx += 6 * scale


def text_width(text, scale):
    return len(text) * 6 * scale - scale


def quill_inside(cx, cy, size):
    """A feather leaning to the right: an elongated leaf along a diagonal."""
    ang = math.radians(-50)
    ca, sa = math.cos(ang), math.sin(ang)

    def inside(x, y):
        u = (x - cx) * ca + (y - cy) * sa      # along the quill
        v = -(x - cx) * sa + (y - cy) * ca     # across
        half = size
        if -half <= u <= half:
            t = (u + half) / (2 * half)
            width = size * 0.32 * math.sin(math.pi * min(1.0, t * 1.15)) ** 0.8
            if abs(v) <= width and not (t > 0.2 and abs(v) < 0.6):
                return True
        # the shaft and nib below the vane
        return -half - size * 0.45 <= u <= -half * 0.6 and abs(v) <= 0.9
    return inside


def draw_emblem(canvas, cx, cy, r, background):
    ring_out, ring_in = r, r - 3
    canvas.shape(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= ring_in ** 2,
                 lambda x, y: lerp((44, 58, 104), (18, 22, 44),
                                   min(1.0, math.hypot(x - cx, y - cy) / ring_in)),
                 int(cx - r - 2), int(cy - r - 2), int(cx + r + 3), int(cy + r + 3))
    canvas.shape(lambda x, y: ring_in ** 2 < (x - cx) ** 2 + (y - cy) ** 2 <= ring_out ** 2,
                 lambda x, y: lerp(GOLD_LIGHT, GOLD_DARK, (y - (cy - r)) / (2 * r)),
                 int(cx - r - 2), int(cy - r - 2), int(cx + r + 3), int(cy + r + 3))
    canvas.shape(quill_inside(cx + 1, cy - 1, r * 0.78),
                 lambda x, y: lerp((255, 248, 220), GOLD, (y - (cy - r)) / (2 * r)),
                 int(cx - r), int(cy - r), int(cx + r), int(cy + r))


def skin():
    c = Canvas(SKIN_W, SKIN_H, MAGENTA)
    body = rounded_rect_inside(4, 10, 226, 196, 16)
    crest_c, crest_r = (115, 46), 40

    def in_window(x, y):
        return body(x, y) or (x - crest_c[0]) ** 2 + (y - crest_c[1]) ** 2 <= crest_r ** 2

    # Hard-edged body: whole pixels only, judged at the pixel centre.
    for y in range(SKIN_H):
        for x in range(SKIN_W):
            if in_window(x + 0.5, y + 0.5):
                t = y / SKIN_H
                base = lerp((34, 44, 82), (12, 14, 30), t)
                glow = max(0.0, 1 - math.hypot(x - 115, y - 52) / 110)
                c.put(x, y, blend(base, (70, 90, 150), glow * 0.45))

    # Gold rim: the outermost two pixel rings of the shape.
    def edge_distance(x, y):
        d = 0
        for ring in (1, 2, 3):
            for dx, dy in ((ring, 0), (-ring, 0), (0, ring), (0, -ring)):
                if not in_window(x + 0.5 + dx, y + 0.5 + dy):
                    return ring
        return d

    for y in range(SKIN_H):
        for x in range(SKIN_W):
            if c.get(x, y) == MAGENTA:
                continue
            d = edge_distance(x, y)
            if d == 1:
                c.put(x, y, lerp(GOLD, GOLD_DARK, y / SKIN_H))
            elif d == 2:
                c.put(x, y, lerp((96, 72, 30), (50, 38, 16), y / SKIN_H))
            elif d == 3:
                c.put(x, y, blend(c.get(x, y), (0, 0, 0), 0.35))

    draw_emblem(c, 115, 44, 27, None)

    title = "QUILLMERE"
    draw_text(c, title, (SKIN_W - text_width(title, 2)) // 2, 80, 2, GOLD_LIGHT, (6, 8, 16))
    # A thin ornamental rule under the title.
    for x in range(40, 191):
        fade = 1 - abs(x - 115) / 76
        c.put(x, 100, GOLD, 0.25 + 0.6 * fade)
    c.shape(lambda x, y: abs(x - 115) + abs(y - 100.5) <= 3, GOLD_LIGHT, 110, 96, 121, 106)

    # Recessed well for the two bars (the bars themselves cover 47..186).
    c.rect(44, 116, 190, 145, (8, 10, 20))
    for x in range(44, 190):
        c.put(x, 116, (4, 5, 10))
        c.put(x, 144, (70, 80, 120))
    for y in range(116, 145):
        c.put(44, y, (4, 5, 10))
        c.put(189, y, (70, 80, 120))
    # Panel behind the text lines: a darker band the light text reads well on.
    for y in range(151, 186):
        for x in range(44, 190):
            c.put(x, y, (6, 8, 18), 0.55)
    for x in range(44, 190):
        c.put(x, 150, GOLD_DARK, 0.5)
        c.put(x, 186, GOLD_DARK, 0.5)

    # Close mark on the close spot, x 194..212, y 24..41.
    spot = rounded_rect_inside(194, 24, 213, 42, 4)
    c.shape(spot, lambda x, y: lerp((150, 40, 36), (90, 20, 20), (y - 24) / 18), 192, 22, 215, 44)
    c.shape(lambda x, y: spot(x, y) and not rounded_rect_inside(195, 25, 212, 41, 3)(x, y),
            GOLD_DARK, 192, 22, 215, 44)
    mx, my = 203.5, 33.0

    def cross(x, y):
        u, v = x - mx, y - my
        return max(abs(u), abs(v)) <= 4.6 and (abs(u - v) <= 1.1 or abs(u + v) <= 1.1)

    c.shape(cross, GOLD_LIGHT, 196, 26, 212, 41)
    return c


def bar(top, bottom, stripes):
    c = Canvas(140, 10, (0, 0, 0))
    for y in range(10):
        for x in range(140):
            t = y / 9
            col = lerp(top, bottom, t)
            if y == 0:
                col = blend(col, (255, 255, 255), 0.45)
            if stripes and (x + y) % 8 < 3:
                col = blend(col, (255, 255, 255), 0.12)
            c.put(x, y, col)
    return c


def track():
    c = Canvas(140, 10, (0, 0, 0))
    for y in range(10):
        for x in range(140):
            col = lerp((16, 20, 36), (30, 36, 60), y / 9)
            if y == 0:
                col = (6, 8, 14)
            c.put(x, y, col)
    return c


def icon(size=64):
    bg = (0, 0, 0)
    c = Canvas(size, size, bg)
    alpha = [[0.0] * size for _ in range(size)]
    inside = rounded_rect_inside(1, 1, size - 1, size - 1, size * 0.2)
    for y in range(size):
        for x in range(size):
            hits = sum(inside(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4)
                       for sy in range(4) for sx in range(4))
            alpha[y][x] = hits / 16
            c.put(x, y, lerp((40, 52, 96), (12, 14, 30), y / size))
    draw_emblem(c, size / 2, size / 2, size * 0.42, None)
    return c, alpha


def write_bmp(path, canvas):
    w, h = canvas.w, canvas.h
    row_bytes = (w * 3 + 3) & ~3
    data = bytearray()
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for x in range(w):
            r, g, b = canvas.get(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (row_bytes - len(row))
        data += row
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


def write_png(path, canvas, alpha=None):
    w, h = canvas.w, canvas.h
    raw = bytearray()
    for y in range(h):
        raw.append(0)
        for x in range(w):
            raw += bytes(canvas.get(x, y))
            if alpha is not None:
                raw.append(int(round(alpha[y][x] * 255)))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    colour_type = 6 if alpha is not None else 2
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, colour_type, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def write_ico(path, canvas, alpha):
    """One 32-bit entry (colour with alpha, plus the 1-bit mask Windows still
    reads), the classic form every Windows version and Wine load."""
    w, h = canvas.w, canvas.h
    xor = bytearray()
    for y in range(h - 1, -1, -1):
        for x in range(w):
            r, g, b = canvas.get(x, y)
            xor += bytes((b, g, r, int(round(alpha[y][x] * 255))))
    mask_row = ((w + 31) // 32) * 4
    mask = bytearray()
    for y in range(h - 1, -1, -1):
        row = bytearray(mask_row)
        for x in range(w):
            if alpha[y][x] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    info = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = info + xor + mask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(header + entry + image)


def main():
    images = os.path.join(HERE, "images")
    os.makedirs(images, exist_ok=True)
    write_bmp(os.path.join(HERE, "launcher.bmp"), skin())
    # The Qt window reads the PNG forms, the Win32 window the BMP and ICO
    # forms compiled into its resources; both come from the same pixels.
    bars = {
        "bar_track": track(),
        "bar_total": bar((255, 222, 130), (196, 128, 30), True),
        "bar_file": bar((140, 214, 255), (36, 104, 186), True),
    }
    for name, canvas in bars.items():
        write_png(os.path.join(images, name + ".png"), canvas)
        write_bmp(os.path.join(images, name + ".bmp"), canvas)
    ic, alpha = icon()
    write_png(os.path.join(images, "icon.png"), ic, alpha)
    write_ico(os.path.join(images, "icon.ico"), ic, alpha)


if __name__ == "__main__":
    main()
