#!/usr/bin/env python3
"""Draws the directory listing's icons and the favicon.

    python3 draw_icons.py [output folder]

Writes icon.16/*.png, icon.32/*.png and quillnest.ico into the output folder
(by default the folder of this script). Only the standard library is used, so
the images can be redrawn on any machine with Python 3. The output is
deterministic: with the same zlib, drawing twice gives the same bytes.

The drawing model is small: shapes in pixel coordinates (pixel i covers
[i, i + 1)), painted one over the other, each pixel's coverage measured by
SAMPLES x SAMPLES point samples. Edges on whole pixel coordinates stay crisp,
curves and diagonals are anti-aliased.
"""

import math
import os
import struct
import sys
import zlib

SAMPLES = 8

# ----------------------------------------------------------------------------
# Colours and canvas


def rgb(text, alpha=1.0):
    """'#rrggbb' to an (r, g, b, a) tuple of floats."""
    v = int(text.lstrip('#'), 16)
    return ((v >> 16 & 255) / 255.0, (v >> 8 & 255) / 255.0, (v & 255) / 255.0, alpha)


def vertical(top, bottom, y0, y1):
    """A colour function blending from top at y0 to bottom at y1."""
    def colour(x, y):
        t = min(1.0, max(0.0, (y - y0) / float(y1 - y0)))
        return tuple(top[i] + (bottom[i] - top[i]) * t for i in range(4))
    return colour


class Canvas:
    def __init__(self, size):
        self.size = size
        # straight (not premultiplied) RGBA floats, row by row
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]

    def paint(self, shape, colour):
        """Paints colour (a tuple or a function of the pixel centre) over the
        pixels that shape covers, in proportion to the covered area."""
        x0, y0, x1, y1 = shape.bounds()
        x0 = max(0, int(math.floor(x0)))
        y0 = max(0, int(math.floor(y0)))
        x1 = min(self.size, int(math.ceil(x1)))
        y1 = min(self.size, int(math.ceil(y1)))
        step = 1.0 / SAMPLES
        offsets = [(i + 0.5) * step for i in range(SAMPLES)]
        for py in range(y0, y1):
            for px in range(x0, x1):
                hits = 0
                for oy in offsets:
                    y = py + oy
                    for ox in offsets:
                        if shape.inside(px + ox, y):
                            hits += 1
                if hits == 0:
                    continue
                c = colour(px + 0.5, py + 0.5) if callable(colour) else colour
                self.blend(px, py, c, hits / float(SAMPLES * SAMPLES))

    def blend(self, x, y, c, coverage):
        d = self.px[y * self.size + x]
        sa = c[3] * coverage
        da = d[3]
        oa = sa + da * (1.0 - sa)
        if oa <= 0.0:
            return
        for i in range(3):
            d[i] = (c[i] * sa + d[i] * da * (1.0 - sa)) / oa
        d[3] = oa

    def rgba8(self):
        """Rows of (r, g, b, a) byte tuples; colour is cleared where a is 0."""
        rows = []
        for y in range(self.size):
            row = []
            for x in range(self.size):
                r, g, b, a = self.px[y * self.size + x]
                a8 = int(round(a * 255))
                if a8 == 0:
                    row.append((0, 0, 0, 0))
                else:
                    row.append((int(round(r * 255)), int(round(g * 255)),
                                int(round(b * 255)), a8))
            rows.append(row)
        return rows


# ----------------------------------------------------------------------------
# Shapes


class Rect:
    def __init__(self, x0, y0, x1, y1):
        self.box = (x0, y0, x1, y1)

    def bounds(self):
        return self.box

    def inside(self, x, y):
        x0, y0, x1, y1 = self.box
        return x0 <= x < x1 and y0 <= y < y1


class Polygon:
    def __init__(self, points):
        self.points = points

    def bounds(self):
        xs = [p[0] for p in self.points]
        ys = [p[1] for p in self.points]
        return (min(xs), min(ys), max(xs), max(ys))

    def inside(self, x, y):
        # even-odd rule by a ray towards +x
        result = False
        pts = self.points
        j = len(pts) - 1
        for i in range(len(pts)):
            xi, yi = pts[i]
            xj, yj = pts[j]
            if (yi > y) != (yj > y):
                if x < xi + (y - yi) * (xj - xi) / (yj - yi):
                    result = not result
            j = i
        return result


class Ellipse:
    def __init__(self, cx, cy, rx, ry, degrees=0.0):
        self.c = (cx, cy)
        self.r = (rx, ry)
        a = math.radians(degrees)
        self.cos = math.cos(a)
        self.sin = math.sin(a)

    def bounds(self):
        m = max(self.r)
        return (self.c[0] - m, self.c[1] - m, self.c[0] + m, self.c[1] + m)

    def inside(self, x, y):
        dx = x - self.c[0]
        dy = y - self.c[1]
        u = dx * self.cos + dy * self.sin
        v = -dx * self.sin + dy * self.cos
        return (u / self.r[0]) ** 2 + (v / self.r[1]) ** 2 <= 1.0


class Segment:
    """A straight stroke of the given width with round ends."""

    def __init__(self, x0, y0, x1, y1, width):
        self.p = (x0, y0, x1, y1)
        self.h = width / 2.0

    def bounds(self):
        x0, y0, x1, y1 = self.p
        h = self.h
        return (min(x0, x1) - h, min(y0, y1) - h, max(x0, x1) + h, max(y0, y1) + h)

    def inside(self, x, y):
        x0, y0, x1, y1 = self.p
        dx, dy = x1 - x0, y1 - y0
        n = dx * dx + dy * dy
        t = 0.0 if n == 0 else max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / n))
        ex = x - (x0 + t * dx)
        ey = y - (y0 + t * dy)
        return ex * ex + ey * ey <= self.h * self.h


class Clip:
    """The part of shape inside window."""

    def __init__(self, shape, window):
        self.shape = shape
        self.window = window

    def bounds(self):
        a = self.shape.bounds()
        b = self.window.bounds()
        return (max(a[0], b[0]), max(a[1], b[1]), min(a[2], b[2]), min(a[3], b[3]))

    def inside(self, x, y):
        return self.window.inside(x, y) and self.shape.inside(x, y)


class Minus:
    """The part of shape outside hole."""

    def __init__(self, shape, hole):
        self.shape = shape
        self.hole = hole

    def bounds(self):
        return self.shape.bounds()

    def inside(self, x, y):
        return self.shape.inside(x, y) and not self.hole.inside(x, y)


def inset(points, d):
    """The convex polygon points moved inwards by d on every side."""
    n = len(points)
    area = sum(points[i][0] * points[(i + 1) % n][1] - points[(i + 1) % n][0] * points[i][1]
               for i in range(n))
    sign = 1.0 if area > 0 else -1.0
    lines = []
    for i in range(n):
        (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        length = math.hypot(ex, ey)
        nx, ny = -ey / length * sign, ex / length * sign
        lines.append((ax + nx * d, ay + ny * d, ex, ey))
    result = []
    for i in range(n):
        ax, ay, aex, aey = lines[i - 1]
        bx, by, bex, bey = lines[i]
        den = aex * bey - aey * bex
        t = ((bx - ax) * bey - (by - ay) * bex) / den
        result.append((ax + aex * t, ay + aey * t))
    return result


def outlined(canvas, points, line, fill, width):
    """A convex polygon with an outline of the given width inside its edge."""
    canvas.paint(Polygon(points), line)
    canvas.paint(Polygon(inset(points, width)), fill)


# ----------------------------------------------------------------------------
# The listing icons. Every function draws one icon at 16 or 32 pixels.

INK = rgb('#5f6270')          # outlines of paper and frames
PAPER_TOP = rgb('#ffffff')
PAPER_BOTTOM = rgb('#e9ecf2')
FOLD = rgb('#cfd4de')
LINE_BLUE = rgb('#5a6fa6')
FOLDER_INK = rgb('#a06d12')
FOLDER_BACK = rgb('#e3a62c')
FOLDER_FRONT_TOP = rgb('#ffd866')
FOLDER_FRONT_BOTTOM = rgb('#f3b93a')
NOTE = rgb('#7a46d8')
NOTE_LIGHT = rgb('#a987ee')
FILM = rgb('#34343e')
SCREEN_TOP = rgb('#6fb4ff')
SCREEN_BOTTOM = rgb('#2f6fd0')
WHITE = rgb('#ffffff')
SKY_TOP = rgb('#8cc8ff')
SKY_BOTTOM = rgb('#dff1ff')
SUN = rgb('#ffc61a')
HILL_FAR = rgb('#6cbf5a')
HILL_NEAR = rgb('#2f8f3a')


def page(canvas, s):
    """A sheet of paper with its top right corner folded down."""
    k = s // 16
    left, right, top, bottom = 2 * k, 14 * k, 0, 16 * k
    fold = 5 * k
    sheet = [(left, top), (right - fold, top), (right, top + fold), (right, bottom), (left, bottom)]
    outlined(canvas, sheet, INK, vertical(PAPER_TOP, PAPER_BOTTOM, top, bottom), 1)
    flap = [(right - fold, top), (right - fold, top + fold), (right, top + fold)]
    outlined(canvas, flap, INK, FOLD, 1)


def draw_default(canvas, s):
    page(canvas, s)


def draw_text(canvas, s):
    """A sheet with lines of writing, the first two beside the fold."""
    page(canvas, s)
    if s == 16:
        canvas.paint(Rect(5, 3, 9, 4), LINE_BLUE)
        for y, end in [(5, 9), (7, 11), (9, 11), (11, 10), (13, 11)]:
            canvas.paint(Rect(5, y, end, y + 1), LINE_BLUE)
    else:
        lengths = [13, 17, 17, 15, 17, 17, 11, 17]
        canvas.paint(Rect(8, 6, 17, 7), LINE_BLUE)
        canvas.paint(Rect(8, 9, 19, 10), LINE_BLUE)
        for i, n in enumerate(lengths):
            y = 12 + 2 * i + (i // 4) * 1
            canvas.paint(Rect(8, y, 8 + n, y + 1), LINE_BLUE)


def draw_audio(canvas, s):
    """Two eighth notes joined by a beam."""
    k = s / 16.0
    stem = 1.0 if s == 16 else 2.0
    heads = [(4.9, 12.4), (11.9, 11.0)]
    tops = [(7.0, 3.0), (14.0, 1.5)]
    for (hx, hy), (tx, ty) in zip(heads, tops):
        canvas.paint(Ellipse(hx * k, hy * k, 2.45 * k, 1.8 * k, -25), NOTE)
        canvas.paint(Rect(tx * k - stem, ty * k, tx * k, (hy - 0.4) * k), NOTE)
    beam = 2.3 * k
    (ax, ay), (bx, by) = tops
    canvas.paint(Polygon([(ax * k - stem, ay * k), (bx * k, by * k),
                          (bx * k, by * k + beam), (ax * k - stem, ay * k + beam)]), NOTE)
    # a gleam on each head keeps the notes from reading as blots
    for hx, hy in heads:
        canvas.paint(Ellipse((hx - 0.9) * k, (hy - 0.6) * k, 0.8 * k, 0.45 * k, -25), NOTE_LIGHT)


def draw_img(canvas, s):
    """A framed landscape: sky, sun, two hills."""
    k = s // 16
    box = [(1 * k, 2 * k), (15 * k, 2 * k), (15 * k, 14 * k), (1 * k, 14 * k)]
    canvas.paint(Polygon(box), INK)
    x0, y0, x1, y1 = 1 * k + 1, 2 * k + 1, 15 * k - 1, 14 * k - 1
    window = Rect(x0, y0, x1, y1)
    canvas.paint(window, vertical(SKY_TOP, SKY_BOTTOM, y0, y1))
    canvas.paint(Clip(Ellipse(10.6 * k, 5.6 * k, 1.9 * k, 1.9 * k), window), SUN)
    canvas.paint(Clip(Polygon([(1 * k, 14 * k), (1 * k, 10.5 * k), (5.5 * k, 6.5 * k),
                               (10.5 * k, 12 * k), (10.5 * k, 14 * k)]), window), HILL_FAR)
    canvas.paint(Clip(Polygon([(4 * k, 14 * k), (10.5 * k, 8.5 * k), (15 * k, 12.5 * k),
                               (15 * k, 14 * k)]), window), HILL_NEAR)


def draw_video(canvas, s):
    """A piece of film with a play sign on its frame."""
    k = s // 16
    canvas.paint(Rect(1 * k, 1 * k, 15 * k, 15 * k), FILM)
    for x in (3, 6, 9, 12) if s == 16 else (5, 9, 13, 17, 21, 25):
        canvas.paint(Rect(x, 2 * k, x + k, 3 * k), WHITE)
        canvas.paint(Rect(x, 13 * k, x + k, 14 * k), WHITE)
    top, bottom = 4 * k, 12 * k
    canvas.paint(Rect(1 * k, top, 15 * k, bottom), vertical(SCREEN_TOP, SCREEN_BOTTOM, top, bottom))
    mid = (top + bottom) / 2.0
    h = (bottom - top) / 2.0 - 0.8 * k
    cx = 8.3 * k
    canvas.paint(Polygon([(cx - h * 0.7, mid - h), (cx + h * 0.95, mid), (cx - h * 0.7, mid + h)]), WHITE)


def folder_body(canvas, left, top, right, bottom, tab_right, tab_height):
    """A folder: the back with its tab, then the front flap a little lower."""
    back = [(left, top), (tab_right, top), (tab_right + tab_height, top + tab_height),
            (right, top + tab_height), (right, bottom), (left, bottom)]
    canvas.paint(Polygon(back), FOLDER_INK)
    canvas.paint(Polygon([(left + 1, top + 1), (tab_right - 0.4, top + 1),
                          (tab_right + tab_height - 0.4, top + tab_height + 1),
                          (right - 1, top + tab_height + 1), (right - 1, bottom - 1),
                          (left + 1, bottom - 1)]), FOLDER_BACK)
    front_top = top + tab_height + max(2, (bottom - top) // 6)
    front = [(left, front_top), (right, front_top), (right, bottom), (left, bottom)]
    outlined(canvas, front, FOLDER_INK, vertical(FOLDER_FRONT_TOP, FOLDER_FRONT_BOTTOM, front_top, bottom), 1)


def draw_folder_h(canvas, s):
    k = s // 16
    folder_body(canvas, 0, 2 * k, 16 * k, 14 * k, 6 * k, 1 * k + (1 if s == 16 else 0))


def draw_folder_v(canvas, s):
    k = s // 16
    folder_body(canvas, 2 * k, 0, 14 * k, 16 * k, 7 * k, 1 * k + (1 if s == 16 else 0))


LISTING_ICONS = [
    ('0-default.png', draw_default),
    ('audio.png', draw_audio),
    ('g-folder-h.png', draw_folder_h),
    ('img.png', draw_img),
    ('text.png', draw_text),
    ('video.png', draw_video),
]

# ----------------------------------------------------------------------------
# The favicon: a violet quill resting in a twig nest. Drawn in a 48-unit
# square and scaled to each size.

QUILL_VANE = rgb('#9400d3')
QUILL_LIGHT = rgb('#b980f0')
QUILL_SHAFT = rgb('#f4ecff')
NEST_DARK = rgb('#5a3412')
NEST = rgb('#8b5a2b')
NEST_LIGHT = rgb('#c48a4a')


def draw_favicon(canvas, s):
    k = s / 48.0
    cx, rim_y = 24.0, 31.0
    rim = Ellipse(cx * k, rim_y * k, 22 * k, 7 * k)
    hollow = Ellipse(cx * k, (rim_y + 0.5) * k, 17 * k, 4 * k)
    canvas.paint(rim, NEST_LIGHT)
    canvas.paint(hollow, NEST_DARK)
    # the quill leans out of the hollow: a vane along a shaft that runs from
    # the nib (hidden in the nest) to the tip
    nib = (13.0, 38.0)
    tip = (45.0, 2.0)
    dx, dy = tip[0] - nib[0], tip[1] - nib[1]
    length = math.hypot(dx, dy)
    nx, ny = -dy / length, dx / length
    widths = [(0.22, 0.0), (0.36, 6.0), (0.58, 8.5), (0.80, 7.0), (0.93, 4.0), (1.0, 0.0)]

    def along(t, w):
        return ((nib[0] + dx * t + nx * w) * k, (nib[1] + dy * t + ny * w) * k)

    vane = [along(t, w) for t, w in widths] + [along(t, -0.8 * w) for t, w in reversed(widths[1:-1])]
    # a split in the vane tells a feather from a leaf
    split = Polygon([along(0.60, 10.0), along(0.70, 10.0), along(0.63, 3.0)])
    canvas.paint(Minus(Polygon(vane), split), QUILL_VANE)
    canvas.paint(Minus(Polygon([along(t, 0.55 * w) for t, w in widths]), split), QUILL_LIGHT)
    canvas.paint(Segment(nib[0] * k, nib[1] * k, (nib[0] + dx * 0.97) * k, (nib[1] + dy * 0.97) * k,
                         max(1.0, 1.6 * k)), QUILL_SHAFT)
    # the front of the nest: the bowl, then the near half of the rim
    bowl = Clip(Ellipse(cx * k, rim_y * k, 21 * k, 15 * k), Rect(0, rim_y * k, s, s))
    canvas.paint(bowl, NEST)
    twig = max(1.0, 2.0 * k)
    for x0, y0, x1, y1, colour in [(5, 36, 30, 43, NEST_DARK), (16, 36, 42, 39, NEST_DARK),
                                   (9, 41, 36, 36, NEST_LIGHT), (15, 44, 38, 41, NEST_LIGHT),
                                   (25, 42, 43, 35, NEST_LIGHT)]:
        canvas.paint(Clip(Segment(x0 * k, y0 * k, x1 * k, y1 * k, twig), bowl), colour)
    canvas.paint(Clip(Minus(rim, hollow), Rect(0, (rim_y + 0.5) * k, s, s)), NEST_LIGHT)
    # stray twigs at the rim make it a nest rather than a bowl
    for x0, y0, x1, y1 in [(1, 28, 12, 31), (36, 31, 47, 27)]:
        canvas.paint(Segment(x0 * k, y0 * k, x1 * k, y1 * k, twig), NEST_LIGHT)


# ----------------------------------------------------------------------------
# PNG


def png_chunk(kind, data):
    body = kind + data
    return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_row(kind, row, prev, bpp):
    out = bytearray(len(row))
    for i in range(len(row)):
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        if kind == 0:
            v = row[i]
        elif kind == 1:
            v = row[i] - a
        elif kind == 2:
            v = row[i] - b
        elif kind == 3:
            v = row[i] - ((a + b) >> 1)
        else:
            v = row[i] - paeth(a, b, c)
        out[i] = v & 255
    return out


def encode_png(rows):
    """An 8-bit RGBA PNG; each row takes the filter with the smallest sum of
    absolute differences, the usual heuristic."""
    width, height = len(rows[0]), len(rows)
    raw = bytearray()
    prev = bytes(width * 4)
    for row in rows:
        line = bytes(v for px in row for v in px)
        best = None
        for kind in range(5):
            f = filter_row(kind, line, prev, 4)
            score = sum(v if v < 128 else 256 - v for v in f)
            if best is None or score < best[0]:
                best = (score, kind, f)
        raw.append(best[1])
        raw += best[2]
        prev = line
    header = struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', header)
            + png_chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + png_chunk(b'IEND', b''))


# ----------------------------------------------------------------------------
# ICO with BMP images: every image is a BITMAPINFOHEADER (height doubled for
# the two masks), the palette, the colour rows and the 1-bit AND mask, rows
# bottom-up and padded to four bytes. A set AND bit makes the pixel transparent.

# mean channel value above which a pixel of a 1-bit image is paper, not ink
INK_THRESHOLD = 135


def nearest(palette, c):
    best, best_d = 0, None
    for i, q in enumerate(palette):
        d = (q[0] - c[0]) ** 2 * 3 + (q[1] - c[1]) ** 2 * 4 + (q[2] - c[2]) ** 2 * 2
        if best_d is None or d < best_d:
            best, best_d = i, d
    return best


def opaque(px):
    return px[3] >= 128


def over_white(px):
    """The colour a half-covered edge pixel shows when it loses its alpha."""
    a = px[3] / 255.0
    return tuple(int(round(px[i] * a + 255 * (1 - a))) for i in range(3))


def median_cut(rows, count):
    """A palette of count colours for an image: black first (the colour under
    transparent pixels), then the averages of boxes of its colours, each box
    split at the weighted median of its widest channel."""
    counts = {}
    for row in rows:
        for px in row:
            if opaque(px):
                c = over_white(px)
                counts[c] = counts.get(c, 0) + 1
    boxes = [sorted(counts.items())]
    while len(boxes) < count - 1:
        best = None
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            spans = [max(c[ch] for c, _ in box) - min(c[ch] for c, _ in box) for ch in range(3)]
            span = max(spans)
            if best is None or span > best[0]:
                best = (span, i, spans.index(span))
        if best is None:
            break
        _, i, ch = best
        box = sorted(boxes[i], key=lambda e: (e[0][ch], e[0]))
        total = sum(n for _, n in box)
        seen, cut = 0, 1
        for j, (_, n) in enumerate(box[:-1]):
            seen += n
            if seen * 2 >= total:
                cut = j + 1
                break
            cut = j + 1
        boxes[i:i + 1] = [box[:cut], box[cut:]]
    palette = [(0, 0, 0)]
    for box in boxes:
        total = sum(n for _, n in box)
        palette.append(tuple(int(round(sum(c[ch] * n for c, n in box) / float(total))) for ch in range(3)))
    return palette


def pack_bits(indices, bits):
    """One row of palette indices packed most significant bits first and
    padded to four bytes."""
    out = bytearray()
    acc, n = 0, 0
    for v in indices:
        acc = (acc << bits) | v
        n += bits
        if n == 8:
            out.append(acc)
            acc, n = 0, 0
    if n:
        out.append(acc << (8 - n))
    while len(out) % 4:
        out.append(0)
    return bytes(out)


def and_mask(rows):
    return [pack_bits([0 if opaque(px) else 1 for px in row], 1) for row in rows]


def bmp_header(size, bits, colours):
    return struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0, colours, 0)


def dib_paletted(rows, bits):
    size = len(rows)
    if bits == 1:
        # ink and paper: dark pixels black, light pixels white
        palette = [(0, 0, 0), (255, 255, 255)]
        index = [[(1 if sum(over_white(px)) > 3 * INK_THRESHOLD else 0) if opaque(px) else 0
                  for px in row] for row in rows]
    else:
        palette = median_cut(rows, 1 << bits)
        index = [[nearest(palette, over_white(px)) if opaque(px) else 0 for px in row]
                 for row in rows]
    # the palette always has its full 2, 16 or 256 entries
    palette = palette + [(0, 0, 0)] * ((1 << bits) - len(palette))
    data = bmp_header(size, bits, 0)
    for r, g, b in palette:
        data += struct.pack('<BBBB', b, g, r, 0)
    for row in reversed(index):
        data += pack_bits(row, bits)
    for row in reversed(and_mask(rows)):
        data += row
    return data


def dib_argb(rows):
    size = len(rows)
    data = bmp_header(size, 32, 0)
    for row in reversed(rows):
        for r, g, b, a in row:
            data += struct.pack('<BBBB', b, g, r, a)
    for row in reversed(and_mask([[(0, 0, 0, 255 if px[3] else 0) for px in row] for row in rows])):
        data += row
    return data


def encode_ico(images):
    """images: (size, bits, dib bytes) in directory order."""
    head = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    directory = b''
    body = b''
    for size, bits, dib in images:
        colour_count = (1 << bits) if bits < 8 else 0
        directory += struct.pack('<BBBBHHII', size % 256, size % 256, colour_count, 0, 1, bits,
                                 len(dib), offset + len(body))
        body += dib
    return head + directory + body


FAVICON_IMAGES = [(16, 1), (32, 1), (16, 4), (32, 4), (16, 8), (32, 8),
                  (16, 32), (24, 32), (32, 32), (48, 32)]


def render(draw, size):
    canvas = Canvas(size)
    draw(canvas, size)
    return canvas.rgba8()


def build_all():
    """Returns {relative path: bytes} for every file this script makes."""
    files = {}
    for size in (16, 32):
        for name, draw in LISTING_ICONS:
            files['icon.%d/%s' % (size, name)] = encode_png(render(draw, size))
    # the upright folder exists at 16 pixels only; the program serves this one
    # file under both icon folders
    files['icon.16/g-folder-v.png'] = encode_png(render(draw_folder_v, 16))
    cache = {}
    images = []
    for size, bits in FAVICON_IMAGES:
        if size not in cache:
            cache[size] = render(draw_favicon, size)
        rows = cache[size]
        images.append((size, bits, dib_argb(rows) if bits == 32 else dib_paletted(rows, bits)))
    files['quillnest.ico'] = encode_ico(images)
    return files


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for path, data in sorted(build_all().items()):
        full = os.path.join(out, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, 'wb') as f:
            f.write(data)
        print('%6d %s' % (len(data), path))


if __name__ == '__main__':
    main()
