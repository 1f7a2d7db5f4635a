#!/usr/bin/env python3
"""Draws the window's background images and the application icon into res/.

666: the welcome view with the logo; 667: the licence view, plain. Both are
468 x 361, the dialog's client area at 96 DPI: rows 0-310 light, row 311 the
separator, rows 312-360 white. The icon is the logo alone at 48 and 32 px, as
PNGs and as one Windows .ico.
"""
import os
import struct
import zlib

WIDTH, HEIGHT = 468, 361
LIGHT = (241, 244, 249)
SEPARATOR = (198, 204, 213)
WHITE = (255, 255, 255)
BRAND = (13, 112, 171)
RES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")


def png(path, width, height, rows, alpha):
    """rows: list of lists of (r, g, b[, a]) tuples."""
    channels = 4 if alpha else 3
    raw = b"".join(b"\x00" + bytes(v for px in row for v in px[:channels]) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def logo_coverage(x, y, size):
    """How much of the logo covers pixel (x, y) of a size x size square, and
    whether that part is the white letter: a disc with a speech-bubble tail and
    a 'T' inside. Four samples per axis smooth the edges."""
    disc = letter = 0
    for sy in range(4):
        for sx in range(4):
            u = (x + (sx + 0.5) / 4) / size  # 0..1 across the logo
            v = (y + (sy + 0.5) / 4) / size
            in_disc = (u - 0.5) ** 2 + (v - 0.47) ** 2 <= 0.42 ** 2
            in_tail = 0.22 <= u <= 0.42 and 0.72 <= v <= 0.97 and (v - 0.72) <= (0.42 - u) * 1.25
            if in_disc or in_tail:
                disc += 1
                bar = 0.28 <= u <= 0.72 and 0.24 <= v <= 0.36
                stem = 0.44 <= u <= 0.56 and 0.24 <= v <= 0.72
                if bar or stem:
                    letter += 1
    return disc / 16, letter / 16


def blend(base, top, amount):
    return tuple(round(b + (t - b) * amount) for b, t in zip(base, top))


def background(with_logo):
    rows = []
    for y in range(HEIGHT):
        colour = LIGHT if y < 311 else SEPARATOR if y == 311 else WHITE
        row = [colour] * WIDTH
        if with_logo and 20 <= y <= 139:
            for x in range(174, 294):
                disc, letter = logo_coverage(x - 174, y - 20, 120)
                pixel = blend(colour, BRAND, disc)
                row[x] = blend(pixel, WHITE, letter)
        rows.append(row)
    return rows


def icon(size):
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            disc, letter = logo_coverage(x, y, size)
            colour = blend(BRAND, WHITE, letter / disc) if disc else BRAND
            row.append(colour + (round(255 * disc),))
        rows.append(row)
    return rows


def ico(path, images):
    """A Windows icon of 32-bit BMP images: (size, rows of RGBA) pairs."""
    header = struct.pack("<HHH", 0, 1, len(images))
    entries, blobs = b"", b""
    offset = 6 + 16 * len(images)
    for size, rows in images:
        mask_stride = ((size + 31) // 32) * 4
        bitmap = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        for row in reversed(rows):  # bottom-up, BGRA
            bitmap += b"".join(bytes((b, g, r, a)) for r, g, b, a in row)
        bitmap += b"\x00" * mask_stride * size  # the alpha channel decides; the mask stays clear
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(bitmap), offset)
        blobs += bitmap
        offset += len(bitmap)
    with open(path, "wb") as out:
        out.write(header + entries + blobs)


def main():
    png(os.path.join(RES, "background_666.png"), WIDTH, HEIGHT, background(True), False)
    png(os.path.join(RES, "background_667.png"), WIDTH, HEIGHT, background(False), False)
    for size in (48, 32):
        png(os.path.join(RES, "icon_%d.png" % size), size, size, icon(size), True)
    ico(os.path.join(RES, "icon.ico"), [(48, icon(48)), (32, icon(32))])


if __name__ == "__main__":
    main()
