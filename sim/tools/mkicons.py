#!/usr/bin/python3
"""Draws the OLED icon tables of the virtual camera.

  mkicons.py OUTDIR       writes OUTDIR/EnglishVer.bin and OUTDIR/ChineseVer.bin
  mkicons.py --list       prints index, name, position and size of every icon
  mkicons.py --sheet PNG  draws every icon into one picture (--sheet-zh: Chinese)

File format: a 4-byte little-endian icon count, then per icon in index
order: name length (1 byte), the name, x, y, width, height (1 byte each) and
(width * height) / 8 bytes of page-major bitmap (bands of 8 rows, one byte
per column, bit 0 the band's top row).

Every icon keeps x + width <= 127: the panel driver refuses a bitmap that
reaches column 127 (and an even x starts one column to the right).

Screen layout (128 x 64): status band rows 0-15 (battery at x 0, access
point at x 18, heading at x 36 row 8, IP text at the top right), a divider
at column 52, the mode picture at the left and messages at the right of the
main area; list rows of 16 pixels from row 16, cursor at x 0, labels at x 5,
resolution badge at x 62.
"""
import os
import struct
import sys

FONT_ROWS = 7
FONT = {
    " ": ".....|.....|.....|.....|.....|.....|.....",
    "A": ".###.|#...#|#...#|#####|#...#|#...#|#...#",
    "B": "####.|#...#|#...#|####.|#...#|#...#|####.",
    "C": ".###.|#...#|#....|#....|#....|#...#|.###.",
    "D": "####.|#...#|#...#|#...#|#...#|#...#|####.",
    "E": "#####|#....|#....|####.|#....|#....|#####",
    "F": "#####|#....|#....|####.|#....|#....|#....",
    "G": ".###.|#...#|#....|#.###|#...#|#...#|.####",
    "H": "#...#|#...#|#...#|#####|#...#|#...#|#...#",
    "I": ".###.|..#..|..#..|..#..|..#..|..#..|.###.",
    "J": "..###|...#.|...#.|...#.|...#.|#..#.|.##..",
    "K": "#...#|#..#.|#.#..|##...|#.#..|#..#.|#...#",
    "L": "#....|#....|#....|#....|#....|#....|#####",
    "M": "#...#|##.##|#.#.#|#.#.#|#...#|#...#|#...#",
    "N": "#...#|#...#|##..#|#.#.#|#..##|#...#|#...#",
    "O": ".###.|#...#|#...#|#...#|#...#|#...#|.###.",
    "P": "####.|#...#|#...#|####.|#....|#....|#....",
    "Q": ".###.|#...#|#...#|#...#|#.#.#|#..#.|.##.#",
    "R": "####.|#...#|#...#|####.|#.#..|#..#.|#...#",
    "S": ".####|#....|#....|.###.|....#|....#|####.",
    "T": "#####|..#..|..#..|..#..|..#..|..#..|..#..",
    "U": "#...#|#...#|#...#|#...#|#...#|#...#|.###.",
    "V": "#...#|#...#|#...#|#...#|#...#|.#.#.|..#..",
    "W": "#...#|#...#|#...#|#.#.#|#.#.#|#.#.#|.#.#.",
    "X": "#...#|#...#|.#.#.|..#..|.#.#.|#...#|#...#",
    "Y": "#...#|#...#|.#.#.|..#..|..#..|..#..|..#..",
    "Z": "#####|....#|...#.|..#..|.#...|#....|#####",
    "0": ".###.|#...#|#..##|#.#.#|##..#|#...#|.###.",
    "1": "..#..|.##..|..#..|..#..|..#..|..#..|.###.",
    "2": ".###.|#...#|....#|...#.|..#..|.#...|#####",
    "3": "####.|....#|....#|.###.|....#|....#|####.",
    "4": "...#.|..##.|.#.#.|#..#.|#####|...#.|...#.",
    "5": "#####|#....|####.|....#|....#|#...#|.###.",
    "6": "..##.|.#...|#....|####.|#...#|#...#|.###.",
    "7": "#####|....#|...#.|..#..|.#...|.#...|.#...",
    "8": ".###.|#...#|#...#|.###.|#...#|#...#|.###.",
    "9": ".###.|#...#|#...#|.####|....#|...#.|.##..",
    ".": ".....|.....|.....|.....|.....|.##..|.##..",
    ":": ".....|.##..|.##..|.....|.##..|.##..|.....",
    "-": ".....|.....|.....|#####|.....|.....|.....",
    "/": "....#|....#|...#.|..#..|.#...|#....|#....",
    "?": ".###.|#...#|....#|...#.|..#..|.....|..#..",
    "!": "..#..|..#..|..#..|..#..|..#..|.....|..#..",
    "<": "...#.|..#..|.#...|#....|.#...|..#..|...#.",
    ">": ".#...|..#..|...#.|....#|...#.|..#..|.#...",
}


class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[0] * w for _ in range(h)]

    def set(self, x, y, v=1):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = v

    def hline(self, x0, x1, y):
        for x in range(x0, x1 + 1):
            self.set(x, y)

    def vline(self, x, y0, y1):
        for y in range(y0, y1 + 1):
            self.set(x, y)

    def rect(self, x0, y0, x1, y1, fill=False):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                if fill or x in (x0, x1) or y in (y0, y1):
                    self.set(x, y)

    def circle(self, cx, cy, r, fill=False):
        for y in range(cy - r, cy + r + 1):
            for x in range(cx - r, cx + r + 1):
                d = (x - cx) ** 2 + (y - cy) ** 2
                if d <= r * r and (fill or d >= (r - 1) ** 2):
                    self.set(x, y)

    def text(self, x, y, s):
        for ch in s:
            glyph = FONT.get(ch, FONT["?"]).split("|")
            for gy, row in enumerate(glyph):
                for gx, c in enumerate(row):
                    if c == "#":
                        self.set(x + gx, y + gy)
            x += 6

    def text_centered(self, s, y=None):
        width = len(s) * 6 - 1
        if width > self.w:
            raise ValueError("text %r is wider than its icon" % s)
        if y is None:
            y = (self.h - FONT_ROWS) // 2
        self.text((self.w - width) // 2, y, s)

    def invert(self):
        for row in self.px:
            for x in range(len(row)):
                row[x] ^= 1

    def bitmap(self):
        out = bytearray()
        for band in range(self.h // 8):
            for x in range(self.w):
                b = 0
                for k in range(8):
                    if self.px[band * 8 + k][x]:
                        b |= 1 << k
                out.append(b)
        return bytes(out)


# Pictures ------------------------------------------------------------------

def p_label(*lines):
    def draw(c, tr):
        texts = [tr(t) for t in lines]
        top = (c.h - (len(texts) * 9 - 2)) // 2
        for i, t in enumerate(texts):
            c.text_centered(t, top + i * 9)
    return draw


def p_blank(c, tr):
    pass


def p_divider(c, tr):
    c.vline(0, 0, c.h - 1)


def p_rule(c, tr):
    # drawn by the photo screen (photos taken / left) and the recording
    # screen (time / size) before their two numbers: no words of either
    for x in range(0, c.w, 2):
        c.set(x, c.h // 2)


def p_nav(c, tr):
    c.text(0, 0, "<")
    c.text_centered(tr("OK"), 0)
    c.text(c.w - 5, 0, ">")


def p_camera(c, tr):
    c.rect(4, 8, 39, 29)
    c.rect(8, 4, 17, 8, fill=True)
    c.circle(22, 18, 7)
    c.circle(22, 18, 3, fill=True)
    c.set(35, 11)
    c.set(36, 11)


def p_video(c, tr):
    c.rect(2, 8, 29, 25)
    c.circle(9, 4, 3)
    c.circle(20, 4, 3)
    for i in range(7):
        c.vline(31 + i, 16 - i, 17 + i)


def p_power(c, tr):
    c.circle(22, 17, 12)
    for y in range(2, 18):
        for x in range(20, 25):
            c.set(x, y, 0)
    c.rect(21, 2, 23, 15, fill=True)


def p_wifi_big(c, tr):
    for r in (18, 13, 8):
        for y in range(28 - r, 29):
            for x in range(22 - r, 23 + r):
                d = (x - 22) ** 2 + (y - 28) ** 2
                if r * r - 2 * r < d <= r * r and y < 28 - abs(x - 22) // 2:
                    c.set(x, y)
    c.circle(22, 27, 2, fill=True)


def p_gear(c, tr):
    c.circle(22, 16, 10)
    c.circle(22, 16, 4)
    for dx, dy in ((0, -13), (0, 13), (-13, 0), (13, 0), (-9, -9), (9, -9), (-9, 9), (9, 9)):
        c.rect(22 + dx - 1, 16 + dy - 1, 22 + dx + 1, 16 + dy + 1, fill=True)


def p_live(c, tr):
    c.circle(22, 16, 3, fill=True)
    for r in (8, 13):
        for y in range(16 - r, 17 + r):
            for x in list(range(22 - r, 19)) + list(range(26, 23 + r)):
                d = (x - 22) ** 2 + (y - 16) ** 2
                if r * r - 2 * r < d <= r * r:
                    c.set(x, y)
    c.text(10, 25, tr("LIVE"))


def battery_outline(c):
    c.hline(1, 14, 3)
    c.hline(1, 14, 12)
    c.vline(1, 3, 12)
    c.vline(14, 3, 12)
    c.rect(15, 6, 16, 9, fill=True)


def p_battery(c, tr):
    # The gauge columns 2-13 are refilled by the controller: bytes 2-13 and
    # 19-30 of this bitmap.
    battery_outline(c)


def p_charging(c, tr):
    battery_outline(c)
    for x, y in ((9, 4), (8, 5), (7, 6), (6, 7), (7, 7), (8, 7), (9, 7), (8, 8), (7, 9), (6, 10), (5, 11)):
        c.set(x, y)


def p_ap(on):
    def draw(c, tr):
        for r in (7, 4):
            for y in range(13 - r, 14):
                for x in range(8 - r, 9 + r):
                    d = (x - 8) ** 2 + (y - 13) ** 2
                    if r * r - 2 * r < d <= r * r:
                        c.set(x, y)
        c.set(8, 13)
        c.set(8, 12)
        if not on:
            for i in range(12):
                c.set(2 + i, 2 + i)
    return draw


def p_cursor(c, tr):
    for i in range(4):
        c.vline(i, 4 + i, 11 - i)


def p_badge(text):
    def draw(c, tr):
        c.rect(0, 2, c.w - 1, 13)
        c.text_centered(text, 5)
    return draw


def p_dot(filled):
    def draw(c, tr):
        c.circle(3, 3, 3, fill=filled)
    return draw


def p_usb(c, tr):
    c.hline(20, 60, 20)
    c.circle(16, 20, 4, fill=True)
    c.rect(58, 17, 63, 23, fill=True)
    c.hline(30, 40, 12)
    c.vline(30, 12, 20)
    c.circle(41, 12, 2, fill=True)
    c.hline(38, 48, 28)
    c.vline(38, 20, 28)
    c.rect(47, 26, 50, 30, fill=True)
    c.text(72, 12, tr("USB"))
    c.text(72, 24, tr("DISK"))


def p_goodbye(c, tr):
    c.rect(0, 0, c.w - 1, c.h - 1)
    c.text_centered(tr("POWER OFF"), 20)
    c.text_centered(tr("GOODBYE"), 34)


def p_row(text):
    def draw(c, tr):
        c.text(1, 4, tr(text))
    return draw


def p_spare(c, tr):
    c.set(3, 3)
    c.set(4, 4)


# index: (name, x, y, width, height, picture)
LEFT = (4, 24, 44, 32)       # mode picture
MSG = (56, 32, 71, 16)       # message beside the numbers
WIDE = (0, 16, 127, 48)      # the whole main area
ROW = (5, 16, 48, 16)        # list row label

ICONS = {
    0: ("frame", 52, 16, 2, 48, p_divider),
    1: ("live", *LEFT, p_live),
    3: ("settingsTitle", 36, 8, 56, 8, p_label("SETTINGS")),
    6: ("recSizeTitle", 36, 8, 56, 8, p_label("REC SIZE")),
    7: ("photo", *LEFT, p_camera),
    8: ("nav", 0, 56, 52, 8, p_nav),
    9: ("power", *LEFT, p_power),
    10: ("video", *LEFT, p_video),
    11: ("wifi", *LEFT, p_wifi_big),
    12: ("charging", 0, 0, 17, 16, p_charging),
    13: ("battery", 0, 0, 17, 16, p_battery),
    14: ("apOff", 18, 0, 16, 16, p_ap(False)),
    15: ("apOn", 18, 0, 16, 16, p_ap(True)),
    17: ("listArea", *WIDE, p_blank),
    18: ("liveDotOff", 56, 24, 8, 8, p_dot(False)),
    19: ("liveDotOn", 56, 24, 8, 8, p_dot(True)),
    20: ("powerOff", 0, 0, 127, 64, p_goodbye),
    21: ("settings", *LEFT, p_gear),
    22: ("badge2K", 62, 16, 22, 16, p_badge("2K")),
    23: ("badge2K7", 62, 16, 22, 16, p_badge("2K7")),
    24: ("badge3K", 62, 16, 22, 16, p_badge("3K")),
    25: ("badge4K", 62, 16, 22, 16, p_badge("4K")),
    26: ("gyroMeasuring", *WIDE, p_label("MEASURING", "KEEP STILL")),
    27: ("calibrating", *WIDE, p_label("CALIBRATING", "PLEASE WAIT")),
    29: ("gyroStart", *WIDE, p_label("LAY FLAT", "OK TO START")),
    30: ("rowCalibrate", *ROW, p_row("LENS CAL")),
    32: ("rowCamInfo", *ROW, p_row("CAM INFO")),
    33: ("rowVersion", *ROW, p_row("VERSION")),
    34: ("rowKernel", *ROW, p_row("KERNEL")),
    35: ("rowLanguage", *ROW, p_row("LANGUAGE")),
    36: ("rowChinese", *ROW, p_row("CHINESE")),
    37: ("rowEnglish", *ROW, p_row("ENGLISH")),
    39: ("cursor", 0, 16, 4, 16, p_cursor),
    45: ("rowApReset", *ROW, p_row("AP RESET")),
    46: ("row2K", *ROW, p_row("2K")),
    47: ("row2K7", *ROW, p_row("2K7")),
    48: ("row3K", *ROW, p_row("3K")),
    50: ("row4K", *ROW, p_row("4K")),
    52: ("rowBack", *ROW, p_row("BACK")),
    54: ("rowRecSize", *ROW, p_row("REC SIZE")),
    58: ("counts", 56, 56, 71, 8, p_rule),
    59: ("streaming", *MSG, p_label("STREAMING")),
    60: ("recReady", *MSG, p_label("READY")),
    61: ("errorWrite", 56, 24, 71, 24, p_label("WRITE", "ERROR")),
    63: ("wait", 56, 48, 71, 8, p_label("PLEASE WAIT")),
    64: ("powerHint", *MSG, p_label("OK: OFF")),
    65: ("errorFailed", 56, 24, 71, 24, p_label("FAILED", "OK: BACK")),
    66: ("noCard", *MSG, p_label("NO CARD")),
    68: ("cardFull", *MSG, p_label("CARD FULL")),
    69: ("cardError", *MSG, p_label("CARD ERROR")),
    70: ("usbStorage", *WIDE, p_usb),
    74: ("recDotOff", 56, 24, 8, 8, p_dot(False)),
    75: ("recDotOn", 56, 24, 8, 8, p_dot(True)),
    80: ("apIsOn", *MSG, p_label("AP ON")),
    81: ("apIsOff", *MSG, p_label("AP OFF")),
    82: ("apClosing", 56, 48, 71, 8, p_label("AP STOPPING")),
    83: ("apOpening", 56, 48, 71, 8, p_label("AP STARTING")),
}
COUNT = max(ICONS) + 1

# The Chinese table carries the same pictures with pinyin words.
PINYIN = {
    "SETTINGS": "SHEZHI", "REC SIZE": "FENBIANLV", "OK": "QUEDING", "LIVE": "ZHIBO",
    "MEASURING": "CELIANG", "KEEP STILL": "BAOCHI BUDONG", "CALIBRATING": "JIAOZHUN",
    "PLEASE WAIT": "QING DENGDAI", "LAY FLAT": "FANG PING", "OK TO START": "QUEDING KAISHI",
    "LENS CAL": "JIAOZHUN", "CAM INFO": "XINXI", "VERSION": "BANBEN", "KERNEL": "NEIHE",
    "LANGUAGE": "YUYAN", "CHINESE": "ZHONGWEN", "ENGLISH": "YINGWEN", "AP RESET": "CHONGZHI",
    "BACK": "FANHUI", "STREAMING": "CHUANSHU",
    "READY": "ZHUNBEI", "WRITE": "XIERU", "ERROR": "CUOWU", "OK: OFF": "QUEDING GUAN",
    "FAILED": "SHIBAI", "OK: BACK": "QUEDING", "NO CARD": "WU KA", "CARD FULL": "KA MAN",
    "CARD ERROR": "KA CUOWU", "USB": "USB", "DISK": "CIPAN", "AP ON": "REDIAN KAI",
    "AP OFF": "REDIAN GUAN", "AP STOPPING": "GUANBI ZHONG", "AP STARTING": "KAIQI ZHONG",
    "POWER OFF": "GUANJI", "GOODBYE": "ZAIJIAN",
}


def icon_entries(chinese):
    tr = (lambda s: PINYIN.get(s, s)) if chinese else (lambda s: s)
    for index in range(COUNT):
        name, x, y, w, h, draw = ICONS.get(index, ("spare%d" % index, 119, 56, 8, 8, p_spare))
        if h % 8 or not (0 <= x and x + w <= 127 and 0 <= y and y + h <= 64):
            raise ValueError("icon %d does not fit the screen" % index)
        c = Canvas(w, h)
        draw(c, tr)
        yield index, name, x, y, w, h, c.bitmap()


def table(chinese):
    out = bytearray(struct.pack("<I", COUNT))
    for _, name, x, y, w, h, bits in icon_entries(chinese):
        raw = name.encode("ascii")
        out += bytes([len(raw)]) + raw + bytes([x, y, w, h]) + bits
    return bytes(out)


def write_sheet(path, chinese):
    """A PNG sheet of every icon at its size, four to a row, 2x scaled."""
    import zlib
    cell_w, cell_h, per_row, scale = 132, 68, 4, 2
    entries = list(icon_entries(chinese))
    rows = (len(entries) + per_row - 1) // per_row
    W, H = cell_w * per_row, cell_h * rows
    img = [[40] * W for _ in range(H)]
    for n, (_, _, _, _, w, h, bits) in enumerate(entries):
        ox, oy = (n % per_row) * cell_w + 2, (n // per_row) * cell_h + 2
        for y in range(h):
            for x in range(w):
                on = bits[(y // 8) * w + x] >> (y % 8) & 1
                img[oy + y][ox + x] = 255 if on else 0
    raw = b"".join(b"\0" + bytes(v for v in row for _ in range(scale)) * 1 for row in img
                   for _ in range(scale))
    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W * scale, H * scale, 8, 0, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def main(argv):
    if len(argv) == 3 and argv[1] in ("--sheet", "--sheet-zh"):
        write_sheet(argv[2], argv[1] == "--sheet-zh")
        return 0
    if len(argv) == 2 and argv[1] == "--list":
        for index, name, x, y, w, h, _ in icon_entries(False):
            print("%2d %-14s x=%3d y=%2d %3dx%-2d" % (index, name, x, y, w, h))
        return 0
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    os.makedirs(argv[1], exist_ok=True)
    for fname, chinese in (("EnglishVer.bin", False), ("ChineseVer.bin", True)):
        path = os.path.join(argv[1], fname)
        tmp = "%s.%d.tmp" % (path, os.getpid())
        with open(tmp, "wb") as f:
            f.write(table(chinese))
        os.replace(tmp, path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
