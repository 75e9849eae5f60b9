#!/usr/bin/env python3
"""Checks the committed icon files: their formats, that they all show the same
picture, and that tools/make_icon.py still produces them.

The .ico, PNG and SVG readers here are written separately from the writers in
make_icon.py, so a mistake in a writer (row order, mask polarity, palette byte
order, chunk checksums) shows up as a mismatch instead of being read back the
same wrong way.

Usage: check_icon.py SOURCE_DIR
Prints each problem and exits 1 when there is any.
"""

import os
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zlib

TRANSPARENT = None


class Problems:
    def __init__(self):
        self.items = []

    def check(self, condition, message):
        if not condition:
            self.items.append(message)
        return condition


def read_ico(data, problems):
    """Images of a classic .ico as (bit count, colour count, rows of (r, g, b) or None)."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    problems.check((reserved, kind) == (0, 1), "not an icon file header")
    images = []
    for i in range(count):
        width, height, colours, _, planes, bits, length, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i
        )
        width, height = width or 256, height or 256
        problems.check(offset + length <= len(data), f"image {i + 1} runs past the file end")
        header = struct.unpack_from("<IiiHHI", data, offset)
        header_size, bmp_width, bmp_height, bmp_planes, bmp_bits, compression = header
        (colours_used,) = struct.unpack_from("<I", data, offset + 32)
        problems.check(header_size == 40, f"image {i + 1}: header is not BITMAPINFOHEADER")
        problems.check(compression == 0, f"image {i + 1}: compressed bitmap")
        problems.check(
            (bmp_width, bmp_height) == (width, height * 2),
            f"image {i + 1}: bitmap {bmp_width}x{bmp_height} does not match entry {width}x{height}",
        )
        problems.check(bmp_planes == 1 and planes == 1, f"image {i + 1}: planes not 1")
        problems.check(bits == bmp_bits, f"image {i + 1}: entry and bitmap disagree on depth")
        palette_size = colours_used or (1 << bmp_bits if bmp_bits <= 8 else 0)
        problems.check(
            colours == (palette_size if palette_size < 256 else 0),
            f"image {i + 1}: entry colour count {colours}",
        )
        palette_at = offset + header_size
        palette = [
            (data[palette_at + 4 * n + 2], data[palette_at + 4 * n + 1], data[palette_at + 4 * n])
            for n in range(palette_size)
        ]
        xor_at = palette_at + 4 * palette_size
        xor_stride = (width * bmp_bits + 31) // 32 * 4
        and_at = xor_at + xor_stride * height
        and_stride = (width + 31) // 32 * 4
        problems.check(
            and_at + and_stride * height == offset + length,
            f"image {i + 1}: entry size {length} does not cover exactly colours and mask",
        )
        rows = []
        for y in range(height):
            # Both bitmaps are stored bottom row first.
            xor_row = data[xor_at + (height - 1 - y) * xor_stride :]
            and_row = data[and_at + (height - 1 - y) * and_stride :]
            row = []
            for x in range(width):
                if bmp_bits == 4:
                    index = xor_row[x // 2] >> 4 if x % 2 == 0 else xor_row[x // 2] & 0x0F
                else:
                    problems.check(False, f"image {i + 1}: unexpected depth {bmp_bits}")
                    return images
                masked = and_row[x // 8] & (0x80 >> (x % 8))
                if masked:
                    # A masked pixel's colour is XORed onto the screen; only black
                    # leaves the screen as it was.
                    problems.check(
                        palette[index] == (0, 0, 0),
                        f"image {i + 1}: transparent pixel ({x}, {y}) is not black",
                    )
                row.append(TRANSPARENT if masked else palette[index])
            rows.append(row)
        images.append((bmp_bits, colours, rows))
    return images


def read_png(data, problems, name):
    """Rows of (r, g, b) or None of an 8-bit RGBA or RGB PNG, non-interlaced."""
    if not problems.check(data[:8] == b"\x89PNG\r\n\x1a\n", f"{name}: no PNG signature"):
        return []
    at = 8
    chunks = []
    while at < len(data):
        (length,) = struct.unpack_from(">I", data, at)
        kind = data[at + 4 : at + 8]
        body = data[at + 8 : at + 8 + length]
        (crc,) = struct.unpack_from(">I", data, at + 8 + length)
        problems.check(zlib.crc32(kind + body) == crc, f"{name}: bad checksum on {kind!r}")
        chunks.append((kind, body))
        at += 12 + length
    problems.check(chunks[0][0] == b"IHDR" and chunks[-1][0] == b"IEND", f"{name}: chunk order")
    width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if not problems.check(
        depth == 8 and colour_type in (2, 6) and interlace == 0, f"{name}: unexpected pixel format"
    ):
        return []
    channels = 4 if colour_type == 6 else 3
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    stride = width * channels
    previous = bytearray(stride)
    rows = []
    for y in range(height):
        line = raw[y * (stride + 1) : (y + 1) * (stride + 1)]
        kind, scan = line[0], bytearray(line[1:])
        for x in range(stride):
            left = scan[x - channels] if x >= channels else 0
            up = previous[x]
            upper_left = previous[x - channels] if x >= channels else 0
            if kind == 1:
                scan[x] = (scan[x] + left) & 0xFF
            elif kind == 2:
                scan[x] = (scan[x] + up) & 0xFF
            elif kind == 3:
                scan[x] = (scan[x] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - upper_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upper_left)
                predictor = left if pa <= pb and pa <= pc else up if pb <= pc else upper_left
                scan[x] = (scan[x] + predictor) & 0xFF
        previous = scan
        row = []
        for x in range(width):
            pixel = scan[x * channels : (x + 1) * channels]
            alpha = pixel[3] if channels == 4 else 255
            problems.check(alpha in (0, 255), f"{name}: partly transparent pixel ({x}, {y})")
            row.append(TRANSPARENT if alpha == 0 else tuple(pixel[:3]))
        rows.append(row)
    return rows


def read_svg(data, size, problems):
    """The picture an SVG of unit squares draws, as rows of (r, g, b) or None."""
    svg = "{http://www.w3.org/2000/svg}"
    root = ET.fromstring(data)
    problems.check(
        root.get("viewBox") == f"0 0 {size} {size}", f"svg: viewBox is {root.get('viewBox')}"
    )
    rows = [[TRANSPARENT] * size for _ in range(size)]
    for group in root.iter(svg + "g"):
        fill = group.get("fill")
        colour = tuple(int(fill[n : n + 2], 16) for n in (1, 3, 5))
        for rect in group.iter(svg + "rect"):
            x, y, w, h = (int(rect.get(a)) for a in ("x", "y", "width", "height"))
            for yy in range(y, y + h):
                for xx in range(x, x + w):
                    problems.check(rows[yy][xx] is TRANSPARENT, f"svg: ({xx}, {yy}) drawn twice")
                    rows[yy][xx] = colour
    return rows


def scale(rows, factor):
    return [[p for p in row for _ in range(factor)] for row in rows for _ in range(factor)]


def first_difference(a, b):
    if len(a) != len(b) or any(len(ra) != len(rb) for ra, rb in zip(a, b)):
        return "sizes differ"
    for y, (ra, rb) in enumerate(zip(a, b)):
        for x, (pa, pb) in enumerate(zip(ra, rb)):
            if pa != pb:
                return f"pixel ({x}, {y}) is {pb}, expected {pa}"
    return None


def main():
    source_dir = sys.argv[1]
    icon_dir = os.path.join(source_dir, "frame", "icon")
    problems = Problems()

    def load(name):
        with open(os.path.join(icon_dir, name), "rb") as f:
            return f.read()

    images = read_ico(load("serialpads.ico"), problems)
    problems.check(len(images) == 2, f"icon holds {len(images)} images, expected 2")
    if len(images) != 2:
        return report(problems)
    for number, (size, (bits, colours, rows)) in enumerate(zip((32, 16), images), start=1):
        problems.check(len(rows) == size, f"image {number} is {len(rows)} high, expected {size}")
        problems.check((bits, colours) == (4, 16), f"image {number} is not 16-colour 4-bit")
        corners = [rows[0][0], rows[0][-1], rows[-1][0], rows[-1][-1]]
        # An icon with an opaque frame would show as a square on a coloured desktop.
        problems.check(
            all(c is TRANSPARENT for c in corners), f"image {number}: corners are not transparent"
        )
        problems.check(
            any(p is not TRANSPARENT for row in rows for p in row), f"image {number} is empty"
        )
    large, small = images[0][2], images[1][2]

    # Every theme size shows one of the two drawings, scaled by a whole factor.
    for size, source, factor in ((16, small, 1), (32, large, 1), (48, small, 3),
                                 (64, large, 2), (128, large, 4), (256, large, 8)):
        name = f"serialpads-{size}.png"
        difference = first_difference(scale(source, factor), read_png(load(name), problems, name))
        problems.check(difference is None, f"{name} differs from the icon: {difference}")

    difference = first_difference(large, read_svg(load("serialpads.svg"), 32, problems))
    problems.check(difference is None, f"serialpads.svg differs from the icon: {difference}")

    # The committed files are what the generator makes now. PNGs are compared by
    # pixels, because zlib builds may compress the same rows to different bytes.
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(
            [sys.executable, os.path.join(source_dir, "tools", "make_icon.py"), "--out", out],
            check=True,
        )
        for name in sorted(os.listdir(out)):
            with open(os.path.join(out, name), "rb") as f:
                fresh = f.read()
            if not problems.check(
                os.path.exists(os.path.join(icon_dir, name)), f"{name} is not committed"
            ):
                continue
            if name.endswith(".png"):
                same = first_difference(
                    read_png(fresh, problems, name), read_png(load(name), problems, name)
                ) is None
            else:
                same = fresh == load(name)
            problems.check(same, f"{name} is out of date; run tools/make_icon.py")
    return report(problems)


def report(problems):
    # One broken writer can fail every pixel; the first few say enough.
    for item in problems.items[:20]:
        print(item)
    if len(problems.items) > 20:
        print(f"... and {len(problems.items) - 20} more")
    return 1 if problems.items else 0


if __name__ == "__main__":
    sys.exit(main())
