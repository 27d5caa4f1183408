#!/usr/bin/python3
"""Remakes the icon and cursor fixtures in this folder and their references.
Run by hand with the system Python (it has Pillow):
    /usr/bin/python3 make_fixtures.py
The tests only read what it leaves; they never run it.

multi.ico (3 images: a 4-bit bitmap with an AND mask, a 32-bit bitmap with
its own alpha, a PNG by Pillow) and pointer.cur (a black-and-white bitmap
with an AND mask) are laid out here byte by byte; magick.ico is written by
ImageMagick. References NAME.N.pam for image N, by ImageMagick, cross-
checked by Pillow (../png/peer_refs.py). Peer bug met: Pillow 9.4's cursor
reader ignores the AND mask, so the cursor's alpha is ImageMagick's alone.
"""
import glob
import io
import os
import struct
import subprocess
import sys

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "png"))
from peer_refs import CONVERT, cross_check, read_pam, write_reference  # noqa: E402

os.chdir(HERE)
for old in glob.glob("*.ico") + glob.glob("*.cur") + glob.glob("*.pam"):
    os.remove(old)


def pack_rows(rows, bits):
    """Rows of values (top first) as a bottom-up bitmap with 4-byte rows."""
    out = b""
    for row in reversed(rows):
        text = "".join(format(v, f"0{bits}b") for v in row)
        text = text.ljust((len(text) + 31) // 32 * 32, "0")
        out += int(text, 2).to_bytes(len(text) // 8, "big")
    return out


def bitmap_image(width, height, bits, palette, rows, mask):
    """Info header with the doubled height, palette, colour rows, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, width, 2 * height, 1, bits, 0, 0, 0, 0, 0, 0)
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    if bits == 32:
        pixels = b"".join(bytes(p) for row in reversed(rows) for p in row)
    else:
        pixels = pack_rows(rows, bits)
    return header + colours + pixels + pack_rows(mask, 1)


def icon_file(name, kind, images):
    """images: (width, height, colour count, plane/hotspot x, bits/hotspot y, data)"""
    offset = 6 + 16 * len(images)
    directory, body = b"", b""
    for w, h, colours, a, b, data in images:
        directory += struct.pack("<BBBBHHII", w % 256, h % 256, colours, 0, a, b, len(data), offset + len(body))
        body += data
    with open(name, "wb") as f:
        f.write(struct.pack("<HHH", 0, kind, len(images)) + directory + body)


def four_bit_image():
    w = h = 16
    palette = [(i * 16, 200 - i * 8, (i * 70) % 256) for i in range(16)]
    rows = [[(x + y) % 16 for x in range(w)] for y in range(h)]
    mask = [[1 if (x - 8) ** 2 + (y - 8) ** 2 > 49 else 0 for x in range(w)] for y in range(h)]
    return (w, h, 16, 1, 4, bitmap_image(w, h, 4, palette, rows, mask))


def alpha_image():
    w = h = 8
    rows = [[((x * 30) % 256, (y * 30) % 256, 120, (x * 36 + y * 4) % 256) for x in range(w)] for y in range(h)]
    mask = [[0] * w for _ in range(h)]
    return (w, h, 0, 1, 32, bitmap_image(w, h, 32, [], rows, mask))


def png_image():
    im = Image.new("RGBA", (12, 10))
    im.putdata([(x * 20, y * 25, 200, (x * y * 9) % 256) for y in range(10) for x in range(12)])
    data = io.BytesIO()
    im.save(data, "PNG")
    return (12, 10, 0, 1, 32, data.getvalue())


def cursor_image():
    w = h = 16
    rows = [[1 if x > y else 0 for x in range(w)] for y in range(h)]
    mask = [[1 if x + y > 20 else 0 for x in range(w)] for y in range(h)]
    # Hotspot (3, 5) in place of planes and bit count.
    return (w, h, 2, 3, 5, bitmap_image(w, h, 1, [(0, 0, 0), (255, 255, 255)], rows, mask))


icon_file("multi.ico", 1, [four_bit_image(), alpha_image(), png_image()])
icon_file("pointer.cur", 2, [cursor_image()])
subprocess.run([CONVERT, "-seed", "5", "-size", "16x16", "plasma:fractal", "-alpha", "set", "-channel", "A",
                "-fx", "i/w", "+channel", "(", "+clone", "-resize", "10x10", ")", "magick.ico"], check=True)

for name, count in (("multi.ico", 3), ("pointer.cur", 1), ("magick.ico", 2)):
    for n in range(count):
        pam = f"{name[:-4]}.{n}.pam"
        write_reference(name, pam, n)
        pillow = Image.open(name)
        # Pillow orders the entries by size; each size occurs once here.
        size = read_pam(pam)[:2]
        if name.endswith(".ico"):
            cross_check(f"{name}[{n}]", pam, pillow.ico.getimage(size))
        else:
            # Pillow's cursor reader drops the AND mask: colours only.
            colours = pillow.convert("RGBA")
            alpha = Image.new("L", size)
            alpha.putdata([p[3] for p in read_pam(pam)[2]])
            colours.putalpha(alpha)
            cross_check(f"{name}[{n}]", pam, colours, note="colours only; Pillow ignores a cursor's AND mask")
subprocess.run(["sh", "-c", "ls -l *.ico *.cur *.pam | awk '{s+=$5} END {print s \" bytes in all\"}'"], check=True)
