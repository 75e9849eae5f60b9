#!/usr/bin/env python3
"""Draws the icon both programs carry and writes every file made from it.

The picture is a nine-pin serial connector under two arrows, one going out and
one coming in: a program that talks to a device on a serial line. It is drawn
twice, at 32x32 and at 16x16, pixel by pixel in the sixteen classic VGA colours,
so that the small image is drawn for its size rather than shrunk from the large.

Outputs, all derived from the two drawings below and nothing else, so running
the script again gives the same bytes:
  serialpads.ico        two 4-bit images with AND masks, 32x32 first, then 16x16;
                        the programs embed this file as their icon group.
  serialpads.svg        the 32x32 drawing as squares, for the scalable theme size.
  serialpads-N.png      the theme sizes; 16 and 32 are the drawings themselves,
                        48 is the 16x16 drawing tripled, 64, 128 and 256 are the
                        32x32 drawing scaled by whole factors, so every size shows
                        the same pixels with no resampling blur.

Only the standard library is used, so the icon can be rebuilt on any machine
with python3.
"""

import argparse
import os
import struct
import sys
import zlib

# The sixteen colours in the order of the classic 4-bit Windows palette, so the
# indices in the .ico mean what older icon editors expect them to mean.
PALETTE = [
    (0x00, 0x00, 0x00),  # 0 black
    (0x80, 0x00, 0x00),  # 1 maroon
    (0x00, 0x80, 0x00),  # 2 green
    (0x80, 0x80, 0x00),  # 3 olive
    (0x00, 0x00, 0x80),  # 4 navy
    (0x80, 0x00, 0x80),  # 5 purple
    (0x00, 0x80, 0x80),  # 6 teal
    (0xC0, 0xC0, 0xC0),  # 7 silver
    (0x80, 0x80, 0x80),  # 8 grey
    (0xFF, 0x00, 0x00),  # 9 red
    (0x00, 0xFF, 0x00),  # 10 lime
    (0xFF, 0xFF, 0x00),  # 11 yellow
    (0x00, 0x00, 0xFF),  # 12 blue
    (0xFF, 0x00, 0xFF),  # 13 fuchsia
    (0x00, 0xFF, 0xFF),  # 14 aqua
    (0xFF, 0xFF, 0xFF),  # 15 white
]

# One letter per palette entry in the drawings; '.' is a transparent pixel.
KEY = {
    "k": 0, "r": 1, "g": 2, "o": 3, "n": 4, "p": 5, "t": 6, "s": 7,
    "d": 8, "R": 9, "G": 10, "Y": 11, "B": 12, "M": 13, "C": 14, "w": 15,
}

# The outgoing arrow is lime, the incoming one aqua; the connector is a silver
# shell around a black insulator holding five and four gold pins.
ICON_32 = [
    "................................",
    "....................kk..........",
    "....................kGkk........",
    ".............kkkkkkkkGGGkk......",
    ".............kGGGGGGGGGGGGkk....",
    ".............kGGGGGGGGGGGGGGkk..",
    ".............kggggggggggggkk....",
    ".............kkkkkkkkgggkk......",
    "..........kk........kgkk........",
    "........kkCk........kk..........",
    "......kkCCCkkkkkkkk.............",
    "....kkCCCCCCCCCCCCk.............",
    "..kkCCCCCCCCCCCCCCk.............",
    "....kkttttttttttttk.............",
    "......kktttkkkkkkkk.............",
    "........kktk....................",
    "..........kk....................",
    "................................",
    ".kkkkkkkkkkkkkkkkkkkkkkkkkkkkkk.",
    ".kwwwwwwwwwwwwwwwwwwwwwwwwwwwwk.",
    ".kwssssssssssssssssssssssssssdk.",
    ".kwsssskkkkkkkkkkkkkkkkkkkssdk..",
    "..kwsskkYYkkYYkkYYkkYYkkYYksdk..",
    "..kwsskkYokkYokkYokkYokkYoksdk..",
    "..kwssskkkkkkkkkkkkkkkkkkkssdk..",
    "..kwssskkkYYkkYYkkYYkkYYkkssdk..",
    "...kwsskkkYokkYokkYokkYokkssdk..",
    "...kwssskkkkkkkkkkkkkkkkkssdk...",
    "...kwsssssssssssssssssssssddk...",
    "...kdddddddddddddddddddddddk....",
    "....kkkkkkkkkkkkkkkkkkkkkkkk....",
    "................................",
]

ICON_16 = [
    "...........k....",
    "......kkkkkGk...",
    "......kGGGGGGk..",
    "......kkkkkGk...",
    "....k......k....",
    "...kCkkkkk......",
    "..kCCCCCCk......",
    "...kCkkkkk......",
    "....k...........",
    "................",
    ".kkkkkkkkkkkkkkk",
    ".kwwwwwwwwwwwwdk",
    ".kwkYkYkYkYkYkdk",
    "..kwkYkYkYkYkdk.",
    "..kdddddddddddk.",
    "...kkkkkkkkkkk..",
]


def parse(art, size):
    """Turns a drawing into rows of palette indices, None where transparent."""
    if len(art) != size or any(len(row) != size for row in art):
        raise ValueError(f"drawing is not {size}x{size}")
    pixels = []
    for row in art:
        line = []
        for ch in row:
            if ch == ".":
                line.append(None)
            elif ch in KEY:
                line.append(KEY[ch])
            else:
                raise ValueError(f"unknown colour letter {ch!r}")
        pixels.append(line)
    return pixels


def bmp_image(pixels):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit colour rows, 1-bit mask.

    Rows are stored bottom up, each padded to four bytes, and the header gives
    twice the height because the colour and mask bitmaps are stacked. A
    transparent pixel is colour 0 with its mask bit set, so the screen shows
    through unchanged.
    """
    size = len(pixels)
    xor_stride = (size * 4 + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(pixels):
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, index in enumerate(row):
            value = 0 if index is None else index
            line[x // 2] |= value << 4 if x % 2 == 0 else value
            if index is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    header = struct.pack(
        "<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0
    )
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def ico_file(images):
    """A .ico file holding the given images in order."""
    bodies = [bmp_image(pixels) for pixels in images]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for pixels, body in zip(images, bodies):
        size = len(pixels)
        # Width and height 0 would mean 256; the colour count is that of the palette.
        directory += struct.pack(
            "<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(body), offset
        )
        offset += len(body)
    return directory + b"".join(bodies)


def scaled(pixels, factor):
    """The picture with each pixel repeated factor times in both directions."""
    out = []
    for row in pixels:
        line = [index for index in row for _ in range(factor)]
        out.extend(list(line) for _ in range(factor))
    return out


def png_file(pixels):
    """An 8-bit RGBA PNG of the picture; transparent pixels have alpha 0."""

    def chunk(kind, data):
        crc = zlib.crc32(kind + data)
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)

    size = len(pixels)
    raw = bytearray()
    for row in pixels:
        raw.append(0)  # no filter; the picture compresses well without one
        for index in row:
            raw += bytes(4) if index is None else bytes(PALETTE[index]) + b"\xff"
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
        + chunk(b"IEND", b"")
    )


def svg_file(pixels):
    """The picture as unit squares, one group per colour, each row's runs merged.

    crispEdges keeps the squares from bleeding into each other when scaled, so
    the vector image looks like the PNGs at every size.
    """
    size = len(pixels)
    lines = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
        f'viewBox="0 0 {size} {size}" shape-rendering="crispEdges">',
    ]
    for index, (r, g, b) in enumerate(PALETTE):
        rects = []
        for y, row in enumerate(pixels):
            x = 0
            while x < size:
                if row[x] != index:
                    x += 1
                    continue
                start = x
                while x < size and row[x] == index:
                    x += 1
                rects.append(f'<rect x="{start}" y="{y}" width="{x - start}" height="1"/>')
        if rects:
            lines.append(f'<g fill="#{r:02x}{g:02x}{b:02x}">')
            lines.extend("  " + rect for rect in rects)
            lines.append("</g>")
    lines.append("</svg>")
    return ("\n".join(lines) + "\n").encode("ascii")


# Theme sizes and how each is made: (drawing size, whole scale factor).
PNG_SIZES = {16: (16, 1), 32: (32, 1), 48: (16, 3), 64: (32, 2), 128: (32, 4), 256: (32, 8)}


def outputs():
    """Every generated file, by name."""
    drawings = {32: parse(ICON_32, 32), 16: parse(ICON_16, 16)}
    files = {
        "serialpads.ico": ico_file([drawings[32], drawings[16]]),
        "serialpads.svg": svg_file(drawings[32]),
    }
    for size, (source, factor) in PNG_SIZES.items():
        files[f"serialpads-{size}.png"] = png_file(scaled(drawings[source], factor))
    return files


def main():
    default_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "frame", "icon")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=default_dir, help="directory to write into")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for name, data in outputs().items():
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
