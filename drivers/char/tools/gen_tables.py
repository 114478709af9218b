#!/usr/bin/env python3
"""Draws the OLED driver's glyph and logo tables and prints oledfont.h.

Run from drivers/char:  python3 tools/gen_tables.py > oledfont.h
"""

# 5x7 master glyphs, in glyph-index order: 0-9 . space : / K M G
BASE = [
    (".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."),  # 0
    ("..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."),  # 1
    (".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"),  # 2
    ("#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."),  # 3
    ("...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."),  # 4
    ("#####", "#....", "####.", "....#", "....#", "#...#", ".###."),  # 5
    ("..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."),  # 6
    ("#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."),  # 7
    (".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."),  # 8
    (".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."),  # 9
    (".....", ".....", ".....", ".....", ".....", ".##..", ".##.."),  # .
    (".....", ".....", ".....", ".....", ".....", ".....", "....."),  # space
    (".....", ".##..", ".##..", ".....", ".##..", ".##..", "....."),  # :
    ("....#", "....#", "...#.", "..#..", ".#...", "#....", "#...."),  # /
    ("#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"),  # K
    ("#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"),  # M
    (".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"),  # G
]
NAMES = "0123456789. :/KMG"


def narrow(g):
    """6x16: rows doubled into rows 1-14, columns 0-4, column 5 blank."""
    rows = ["......"] + [r + "." for r in g for _ in (0, 1)] + ["......"]
    return rows


def wide(g):
    """8x16: outer columns doubled (7 wide) into rows 1-14; row 15 dark."""
    rows = ["........"]
    for r in g:
        w = r[0] + r[0] + r[1] + r[2] + r[3] + r[4] + r[4] + "."
        rows += [w, w]
    rows.append("........")
    return rows


def pages(rows, npages):
    width = len(rows[0])
    out = []
    for p in range(npages):
        for c in range(width):
            b = 0
            for bit in range(8):
                if rows[p * 8 + bit][c] == "#":
                    b |= 1 << bit
            out.append(b)
    return out


LETTERS = {
    "P": ("####.", "#...#", "#...#", "####.", "#....", "#....", "#...."),
    "A": (".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"),
    "N": ("#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"),
    "O": (".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."),
    "R": ("####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"),
    "B": ("####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."),
    "I": (".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."),
    "T": ("#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."),
}


def logo():
    """88x48: a lens inside an orbit ring, the name underneath."""
    w, h = 88, 48
    pix = [["."] * w for _ in range(h)]
    cx, cy = 43.5, 16.0
    for y in range(h):
        for x in range(w):
            dx, dy = x - cx, y - cy
            ring = (dx / 41.0) ** 2 + (dy / 13.0) ** 2
            inner = (dx / 38.0) ** 2 + (dy / 11.0) ** 2
            r2 = dx * dx + dy * dy
            if ring <= 1.0 and inner > 1.0 and not (r2 < 15.5 ** 2 and dy < 0):
                pix[y][x] = "#"
            if r2 <= 12.5 ** 2 and r2 > 10.5 ** 2:
                pix[y][x] = "#"
            if r2 <= 6.5 ** 2 and not (dx + 2) ** 2 + (dy + 2) ** 2 <= 2.3 ** 2:
                pix[y][x] = "#"
    text = "PANORBIT"
    tx = (w - (len(text) * 9 - 2)) // 2
    for i, ch in enumerate(text):
        g = LETTERS[ch]
        for r in range(7):
            row = g[r][0] * 2 + g[r][1:4] + g[r][4] * 2
            for c, v in enumerate(row):
                if v == "#":
                    pix[33 + r * 2][tx + i * 9 + c] = "#"
                    pix[34 + r * 2][tx + i * 9 + c] = "#"
    return ["".join(r) for r in pix]


def emit(name, dims, data, per_line, braces=False):
    lines = []
    for i in range(0, len(data), per_line):
        row = ", ".join("0x%02X" % b for b in data[i:i + per_line])
        lines.append("\t" + ("{ %s }," % row if braces else row + ","))
    return "static const unsigned char %s%s = {\n%s\n};\n" % (name, dims, "\n".join(lines))


def main():
    out = ["/*\n * Glyph and logo tables of the OLED panel driver.\n *",
           " * Page-major bitmaps: one byte per column, bit 0 the top pixel row of the",
           " * page.  Drawn by tools/gen_tables.py; edit the pictures there.\n */",
           "#ifndef _OLEDFONT_H", "#define _OLEDFONT_H", ""]
    out.append("/* Narrow font: 6 columns, upper page then lower page, for " + NAMES + " */")
    body = []
    for i, g in enumerate(BASE):
        body += pages(narrow(g), 2)
    out.append(emit("NUM6X16", "[17][12]", body, 12, True))
    out.append("/* Wide font: 8 columns, glyphs 0-9 . space : only; bit 7 of the lower */")
    out.append("/* page (the lowest pixel row) is dark in every glyph. */")
    body = []
    for g in BASE[:13]:
        body += pages(wide(g), 2)
    out.append(emit("NUM8X16", "[13][16]", body, 16, True))
    out.append("/* Start-up logo: 88 x 48, six pages of 88 columns. */")
    out.append(emit("logologo", "[528]", pages(logo(), 6), 11))
    out.append("#endif")
    print("\n".join(out))


if __name__ == "__main__":
    main()
