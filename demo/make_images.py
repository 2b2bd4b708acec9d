"""Writes the demo's sample images into demo/images: two PNGs, a GIF and a
BMP, small and valid, drawn from arithmetic only (stdlib zlib and struct).
Run once; the files it wrote are kept in the repository."""

import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "images")


def png(width, height, color_type, rows):
    """PNG of 8-bit samples; rows are bytes without the filter byte."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    header = struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0)
    raw = b"".join(b"\x00" + row for row in rows)  # filter 0 (None) on every row
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def gradient_png(size=48):
    rows = []
    for y in range(size):
        rows.append(bytes(v for x in range(size)
                          for v in (x * 255 // (size - 1), y * 255 // (size - 1), 160)))
    return png(size, size, 2, rows)  # RGB


def badge_png(size=32):
    """An orange disc on a transparent ground (RGBA)."""
    rows = []
    centre, radius = (size - 1) / 2.0, size / 2.0 - 2
    for y in range(size):
        row = bytearray()
        for x in range(size):
            inside = (x - centre) ** 2 + (y - centre) ** 2 <= radius ** 2
            row += bytes((240, 120, 20, 255)) if inside else bytes(4)
        rows.append(bytes(row))
    return png(size, size, 6, rows)


def lzw_literal_codes(pixels, min_code_size=8):
    """GIF LZW data that sends every pixel as a literal code, with a clear
    code often enough that the code width stays at min_code_size + 1 bits."""
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    width = min_code_size + 1
    # After a clear each literal but the first adds a table entry; the width
    # would grow once the next free code reaches 1 << width.
    run = (1 << width) - end - 2
    codes = []
    for i, p in enumerate(pixels):
        if i % run == 0:
            codes.append(clear)
        codes.append(p)
    codes.append(end)
    bits, nbits, out = 0, 0, bytearray()
    for c in codes:
        bits |= c << nbits
        nbits += width
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)


def checker_gif(width=24, height=24, cell=4):
    palette = [(255, 255, 255), (30, 60, 200)] + [(0, 0, 0)] * 254
    pixels = [((x // cell) + (y // cell)) % 2 for y in range(height) for x in range(width)]
    data = lzw_literal_codes(pixels)
    blocks = b"".join(bytes((len(data[i:i + 255]),)) + data[i:i + 255]
                      for i in range(0, len(data), 255))
    screen = struct.pack("<HHBBB", width, height, 0xF7, 0, 0)  # global table of 256
    image = struct.pack("<BHHHHB", 0x2C, 0, 0, width, height, 0)
    table = b"".join(bytes(rgb) for rgb in palette)
    return b"GIF89a" + screen + table + image + b"\x08" + blocks + b"\x00" + b"\x3B"


def stripes_bmp(width=30, height=20):
    """24-bit bottom-up BMP; each row is padded to a multiple of four bytes."""
    colours = [(0, 0, 255), (0, 200, 0), (255, 0, 0)]  # stored B, G, R
    stride = (width * 3 + 3) // 4 * 4
    rows = bytearray()
    for y in range(height):
        row = bytearray()
        for x in range(width):
            row += bytes(colours[(x // 10) % 3])
        rows += row + bytes(stride - len(row))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(rows), 0, 0, 14 + len(info))
    return header + info + bytes(rows)


def main():
    os.makedirs(OUT, exist_ok=True)
    images = {
        "gradient.png": gradient_png(),
        "badge.png": badge_png(),
        "checker.gif": checker_gif(),
        "stripes.bmp": stripes_bmp(),
    }
    for name, data in images.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
        print("%s %d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
