"""Draws a terminal screen, as `tmux capture-pane -e -p` prints it (text with the SGR escape
sequences of its colours and attributes), as a PNG image:

    screen_to_png.py CAPTURE PNG COLUMNS ROWS

Each cell is drawn in DejaVu Sans Mono (Debian's fonts-dejavu-core) with Pillow (python3-pil);
block elements and the box drawing lines the screen uses are drawn as shapes, so that they join
from cell to cell as on a terminal.
"""

import re
import sys

from PIL import Image, ImageDraw, ImageFont

FONT_DIR = "/usr/share/fonts/truetype/dejavu/"
FONT_SIZE = 15
CELL_W = 9
CELL_H = 18
BACKGROUND = (24, 24, 28)
FOREGROUND = (212, 212, 212)
# The terminal's eight colours and their bright forms.
PALETTE = [
    (24, 24, 28), (224, 82, 82), (92, 200, 92), (224, 196, 64),
    (86, 140, 230), (196, 110, 214), (72, 196, 214), (212, 212, 212),
    (110, 110, 118), (255, 110, 110), (128, 232, 128), (255, 226, 96),
    (120, 170, 255), (230, 140, 246), (110, 226, 240), (255, 255, 255),
]

SGR = re.compile(r"\x1b\[([0-9;]*)m")

# Lines of the box drawing characters: which of the cell's four arms each has.
BOX = {
    "─": "lr", "│": "ud", "┌": "rd", "┐": "ld", "└": "ru", "┘": "lu",
    "├": "udr", "┤": "udl", "┬": "lrd", "┴": "lru", "┼": "udlr",
}


def colour_256(n):
    if n < 16:
        return PALETTE[n]
    if n < 232:
        n -= 16
        steps = [0, 95, 135, 175, 215, 255]
        return (steps[n // 36], steps[n // 6 % 6], steps[n % 6])
    level = 8 + (n - 232) * 10
    return (level, level, level)


class Style:
    def __init__(self):
        self.reset()

    def reset(self):
        self.fg = None
        self.bg = None
        self.bold = False
        self.dim = False
        self.reverse = False

    def apply(self, params):
        codes = [int(p) if p else 0 for p in params.split(";")] if params else [0]
        i = 0
        while i < len(codes):
            c = codes[i]
            if c == 0:
                self.reset()
            elif c == 1:
                self.bold = True
            elif c == 2:
                self.dim = True
            elif c == 7:
                self.reverse = True
            elif c == 22:
                self.bold = self.dim = False
            elif c == 27:
                self.reverse = False
            elif 30 <= c <= 37:
                self.fg = PALETTE[c - 30]
            elif 90 <= c <= 97:
                self.fg = PALETTE[c - 90 + 8]
            elif c == 39:
                self.fg = None
            elif 40 <= c <= 47:
                self.bg = PALETTE[c - 40]
            elif 100 <= c <= 107:
                self.bg = PALETTE[c - 100 + 8]
            elif c == 49:
                self.bg = None
            elif c in (38, 48) and i + 2 < len(codes) and codes[i + 1] == 5:
                colour = colour_256(codes[i + 2])
                self.fg, self.bg = (colour, self.bg) if c == 38 else (self.fg, colour)
                i += 2
            elif c in (38, 48) and i + 4 < len(codes) and codes[i + 1] == 2:
                colour = tuple(codes[i + 2:i + 5])
                self.fg, self.bg = (colour, self.bg) if c == 38 else (self.fg, colour)
                i += 4
            i += 1

    def colours(self):
        fg = self.fg or FOREGROUND
        if self.bold and self.fg in PALETTE[:8]:
            fg = PALETTE[PALETTE.index(self.fg) + 8]
        bg = self.bg or BACKGROUND
        if self.dim:
            fg = tuple((f + b) // 2 for f, b in zip(fg, bg))
        return (bg, fg) if self.reverse else (fg, bg)


def cells(line):
    """The line's characters, each with its colours and boldness."""
    style = Style()
    out = []
    pos = 0
    for match in SGR.finditer(line):
        for ch in line[pos:match.start()]:
            out.append((ch,) + style.colours() + (style.bold,))
        style.apply(match.group(1))
        pos = match.end()
    for ch in line[pos:]:
        out.append((ch,) + style.colours() + (style.bold,))
    return out


def draw_shape(draw, ch, x, y, fg):
    """Draws a block element or box drawing character as shapes; False for any other."""
    code = ord(ch)
    if 0x2581 <= code <= 0x2588:  # lower eighths to a full block
        top = y + CELL_H - CELL_H * (code - 0x2580) // 8
        draw.rectangle([x, top, x + CELL_W - 1, y + CELL_H - 1], fill=fg)
        return True
    if 0x2589 <= code <= 0x258F:  # left seven eighths to one eighth
        width = max(1, CELL_W * (0x2590 - code) // 8)
        draw.rectangle([x, y, x + width - 1, y + CELL_H - 1], fill=fg)
        return True
    if ch == "▕":  # right one eighth
        draw.rectangle([x + CELL_W - 1 - CELL_W // 8, y, x + CELL_W - 1, y + CELL_H - 1], fill=fg)
        return True
    arms = BOX.get(ch)
    if arms is None:
        return False
    cx, cy = x + CELL_W // 2, y + CELL_H // 2
    ends = {"l": (x, cy), "r": (x + CELL_W - 1, cy), "u": (cx, y), "d": (cx, y + CELL_H - 1)}
    for arm in arms:
        draw.line([(cx, cy), ends[arm]], fill=fg, width=1)
    return True


def main():
    capture, png, columns, rows = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    with open(capture, encoding="utf-8") as f:
        lines = f.read().split("\n")[:rows]
    regular = ImageFont.truetype(FONT_DIR + "DejaVuSansMono.ttf", FONT_SIZE)
    bold = ImageFont.truetype(FONT_DIR + "DejaVuSansMono-Bold.ttf", FONT_SIZE)
    margin = 12
    image = Image.new("RGB", (columns * CELL_W + 2 * margin, rows * CELL_H + 2 * margin),
                      BACKGROUND)
    draw = ImageDraw.Draw(image)
    for row, line in enumerate(lines):
        for column, (ch, fg, bg, is_bold) in enumerate(cells(line)[:columns]):
            x, y = margin + column * CELL_W, margin + row * CELL_H
            if bg != BACKGROUND:
                draw.rectangle([x, y, x + CELL_W - 1, y + CELL_H - 1], fill=bg)
            if ch != " " and not draw_shape(draw, ch, x, y, fg):
                draw.text((x, y + 1), ch, font=bold if is_bold else regular, fill=fg)
    image.save(png, optimize=True)


if __name__ == "__main__":
    main()
