#!/usr/bin/python3
"""Makes tiny.dng, a 32 x 24 colour-filter-array DNG written byte by byte
(no tool here writes DNG), and its reference tiny.pam, developed by dcraw
(apt package dcraw) with its default settings, the ones LibRaw also starts
from. Run by hand from this folder:

    /usr/bin/python3 make_fixtures.py

dcraw and LibRaw differ in small details of their processing, so the test
compares with a tolerance; the second opinion is ImageMagick's reading of
dcraw's output, which must agree with the PAM written here.
"""
import os
import struct
import subprocess
import sys

W, H = 32, 24  # dcraw and LibRaw refuse sensors under 22 pixels a side
WHITE = 4095

BYTE, ASCII, SHORT, LONG, RATIONAL, SRATIONAL = 1, 2, 3, 4, 5, 10


def scene(x, y):
    """Smooth colours, 12 bits."""
    return (400 + x * 100, 300 + y * 120, 3000 - x * 40 - y * 50)


def sensor():
    # RGGB: even rows R G, odd rows G B.
    data = []
    for y in range(H):
        for x in range(W):
            r, g, b = scene(x, y)
            data.append(r if (y % 2, x % 2) == (0, 0) else b if (y % 2, x % 2) == (1, 1) else g)
    return struct.pack("<%dH" % len(data), *data)


def ascii_value(text):
    return text.encode() + b"\0"


def build():
    pixels = sensor()
    srgb_to_cam = [3240454, -1537138, -498531, -969266, 1876011, 41556, 55643, -204026, 1057225]
    entries = [
        (254, LONG, [0]),
        (256, LONG, [W]),
        (257, LONG, [H]),
        (258, SHORT, [16]),
        (259, SHORT, [1]),
        (262, SHORT, [32803]),
        (271, ASCII, ascii_value("Loopsmith")),
        (272, ASCII, ascii_value("Tiny")),
        (273, LONG, None),  # strip offset, filled in below
        (274, SHORT, [1]),
        (277, SHORT, [1]),
        (278, LONG, [H]),
        (279, LONG, [len(pixels)]),
        (284, SHORT, [1]),
        (315, ASCII, ascii_value("Test Artist")),
        (33421, SHORT, [2, 2]),
        (33422, BYTE, [0, 1, 1, 2]),
        (50706, BYTE, [1, 4, 0, 0]),
        (50708, ASCII, ascii_value("Loopsmith Tiny")),
        (50714, LONG, [0]),
        (50717, LONG, [WHITE]),
        # XYZ (D65) to camera: the sRGB matrix, as if the sensor saw sRGB.
        (50721, SRATIONAL, [v for m in srgb_to_cam for v in (m, 1000000)]),
        (50778, SHORT, [21]),
    ]
    entries.sort(key=lambda e: e[0])
    size = {BYTE: 1, ASCII: 1, SHORT: 2, LONG: 4, RATIONAL: 8, SRATIONAL: 8}
    ifd_at = 8
    extra_at = ifd_at + 2 + 12 * len(entries) + 4
    extra = b""
    packed_entries = entries
    # Values over four bytes go after the directory; the strip goes last.
    blobs = {}
    for tag, kind, values in packed_entries:
        if values is None:
            continue
        if kind in (BYTE, ASCII):
            raw = bytes(values)
        elif kind == SHORT:
            raw = struct.pack("<%dH" % len(values), *values)
        elif kind in (LONG, RATIONAL):
            raw = struct.pack("<%dI" % len(values), *values)
        else:
            raw = struct.pack("<%di" % len(values), *values)
        blobs[tag] = raw
    offsets = {}
    for tag, kind, values in packed_entries:
        if tag in blobs and len(blobs[tag]) > 4:
            offsets[tag] = extra_at + len(extra)
            extra += blobs[tag] + (b"\0" if len(blobs[tag]) % 2 else b"")
    strip_at = extra_at + len(extra)
    out = b"II*\0" + struct.pack("<I", ifd_at) + struct.pack("<H", len(entries))
    for tag, kind, values in packed_entries:
        if values is None:
            count, field = 1, struct.pack("<I", strip_at)
        else:
            raw = blobs[tag]
            count = len(raw) // size[kind]
            field = struct.pack("<I", offsets[tag]) if len(raw) > 4 else raw.ljust(4, b"\0")
        out += struct.pack("<HHI", tag, kind, count) + field
    out += struct.pack("<I", 0) + extra + pixels
    return out


def main():
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    with open("tiny.dng", "wb") as f:
        f.write(build())
    ppm = subprocess.run(["dcraw", "-c", "tiny.dng"], check=True, capture_output=True).stdout
    header, body = ppm.split(b"\n", 3)[:3], ppm.split(b"\n", 3)[3]
    w, h = map(int, header[1].split())
    if (w, h) != (W, H) or header[2] != b"255":
        sys.exit("dcraw gave an unexpected picture: %r" % (header,))
    with open("tiny.pam", "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n" % (w, h) + body)
    magick = subprocess.run(["convert", "tiny.pam", "-depth", "8", "rgb:-"], check=True,
                            capture_output=True).stdout
    if magick != body:
        sys.exit("ImageMagick reads tiny.pam differently")


if __name__ == "__main__":
    main()
