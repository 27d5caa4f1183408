#!/usr/bin/python3
"""Remakes the BMP fixtures in this folder and their references. Run by hand
with the system Python (it has Pillow):  /usr/bin/python3 make_fixtures.py
The tests only read what it leaves; they never run it.

Writers: ImageMagick and Pillow, and a few files laid out here byte by byte
for what neither writes (a coloured 1-bit top-down file, RLE4 with delta
and end-of-line codes, 32-bit pixels with a padding byte). References
(NAME.pam) by ImageMagick, cross-checked by Pillow (../png/peer_refs.py).

Peer bugs met: ImageMagick 6.9 reads the fourth byte of 32-bit pixels with
plain RGB compression as alpha (Windows and Pillow treat it as padding), so
that file's reference is made with -alpha off. Pillow 9.4 cannot read
4-4-4-4 bit fields; that file is checked by ImageMagick alone. Pillow
scales 5- and 6-bit fields by truncating v * 255 / max (ImageMagick and
Windows repeat the bits: 5-bit 3 is 24, not 25), a difference of 1.
ImageMagick and ffmpeg widen 4-bit fields by v << 4, so 15 is 240 and an
opaque 4-4-4-4 pixel comes out 94% opaque; the reference repeats the nibble
(v * 17, as ImageMagick itself does for 5-bit fields), after checking that
every sample ImageMagick gave has a zero low nibble, and ffmpeg's colours
(it drops the alpha) are compared after the same step.
Pillow 9.4 places the rows after an RLE4 delta code wrongly and netpbm's
bmptopnm refuses delta codes; that file is cross-checked by ffmpeg.
"""
import glob
import os
import struct
import subprocess
import sys

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "png"))
from peer_refs import CONVERT, cross_check, cross_check_ffmpeg, read_pam, write_reference  # noqa: E402

os.chdir(HERE)
for old in glob.glob("*.bmp") + glob.glob("*.pam"):
    os.remove(old)

W, H = 13, 9


def magick(name, *args):
    subprocess.run([CONVERT, "-seed", "3", "-size", f"{W}x{H}", "plasma:fractal", *args, name], check=True)


def info_header(width, height, bits, compression, image_bytes, ppm=(2835, 2835), used=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, compression, image_bytes, ppm[0], ppm[1], used, 0)


def write_bmp(name, header, palette, pixels):
    offset = 14 + len(header) + len(palette)
    with open(name, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + header + palette + pixels)


def palette_bytes(colours):
    return b"".join(bytes((b, g, r, 0)) for r, g, b in colours)


def stride(bits):
    return (W * bits + 31) // 32 * 4


def coloured_1bit_top_down():
    rows = []
    for y in range(H):
        bits = "".join("1" if (x + 2 * y) % 5 < 2 else "0" for x in range(W)).ljust(stride(1) * 8, "0")
        rows.append(int(bits, 2).to_bytes(stride(1), "big"))
    write_bmp("pal1_top_down.bmp", info_header(W, -H, 1, 0, stride(1) * H),
              palette_bytes([(30, 140, 200), (250, 220, 40)]), b"".join(rows))


def rle4_with_delta():
    """Runs, absolute runs, end of line, a delta over skipped pixels, an
    empty row and the end-of-bitmap code; skipped pixels are index 0."""
    data = bytes([13, 0x12, 0, 0])                                  # row 0
    data += bytes([0, 5, 0x34, 0x56, 0x70, 0, 8, 0x9A, 0, 0])       # row 1
    data += bytes([4, 0xBB, 0, 2, 3, 2, 6, 0xCD, 0, 0])             # row 2, delta to (7, 4)
    data += bytes([0, 0])                                           # row 5 empty
    data += bytes([13, 0x11, 0, 0, 13, 0xEF, 0, 0])                 # rows 6, 7
    data += bytes([0, 13, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xD0, 0])  # row 8
    data += bytes([0, 1])
    colours = [(i * 17, (i * 53) % 256, 255 - i * 15) for i in range(16)]
    write_bmp("rle4_delta.bmp", info_header(W, H, 4, 2, len(data), used=16), palette_bytes(colours), data)


def rgb32_padding_byte():
    """Plain RGB compression: the fourth byte is padding even when set."""
    pixels = b"".join(bytes(((x * 20) % 256, (y * 28) % 256, (x * y * 5) % 256, 7 + x + y))
                      for y in range(H) for x in range(W))
    write_bmp("rgb32_padding.bmp", info_header(W, H, 32, 0, len(pixels)), b"", pixels)


def rgb555_default_masks():
    """16 bits with plain RGB compression: the 5-5-5 layout without masks."""
    pixels = b"".join(struct.pack("<H", (x * 2 + y) % 32 << 10 | (x * y) % 32 << 5 | (31 - x - y) % 32)
                      + (b"\0\0" if x == W - 1 else b"") for y in range(H) for x in range(W))
    write_bmp("rgb555.bmp", info_header(W, H, 16, 0, len(pixels)), b"", pixels)


def pillow_fixtures():
    bw = Image.new("1", (W, H))
    bw.putdata([255 if (x * x + y) % 4 else 0 for y in range(H) for x in range(W)])
    bw.save("bw1.bmp")
    rgb = Image.new("RGB", (W, H))
    rgb.putdata([((x * 19) % 256, (y * 27) % 256, (x * y * 7 + 40) % 256) for y in range(H) for x in range(W)])
    rgb.save("rgb24_dpi.bmp", dpi=(96, 200))


def magick_fixtures():
    magick("BMP3:pal4.bmp", "-colors", "16", "-type", "palette")
    magick("BMP2:pal8_os2.bmp", "-colors", "60", "-type", "palette")
    magick("BMP3:rle8.bmp", "-colors", "60", "-type", "palette", "-compress", "RLE")
    magick("BMP:rgb565.bmp", "-define", "bmp:subtype=RGB565")
    magick("BMP:argb4444.bmp", "-alpha", "set", "-channel", "A", "-fx", "i/w", "+channel",
           "-define", "bmp:subtype=ARGB4444")
    magick("BMP:rgba32_v5.bmp", "-alpha", "set", "-channel", "A", "-fx", "j/h", "+channel")


def repeat_nibbles(pam):
    data = open(pam, "rb").read()
    header, marker, body = data.partition(b"ENDHDR\n")
    if any(v & 15 for v in body):
        sys.exit(f"{pam}: ImageMagick no longer widens by v << 4; revisit")
    open(pam, "wb").write(header + marker + bytes(v | v >> 4 for v in body))


def check_ffmpeg_nibbles(source, pam):
    w, h, ref = read_pam(pam)
    raw = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", source, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         check=True, capture_output=True).stdout
    colours = [v | v >> 4 for v in raw]
    worst = max(abs(r[c] - colours[3 * i + c]) for i, r in enumerate(ref) if r[3] > 0 for c in range(3))
    print(f"{source}: ffmpeg's colours differ by at most {worst} (alpha not compared)")
    if worst:
        sys.exit(f"{source}: ffmpeg disagrees")


coloured_1bit_top_down()
rle4_with_delta()
rgb32_padding_byte()
rgb555_default_masks()
pillow_fixtures()
magick_fixtures()
for bmp in sorted(glob.glob("*.bmp")):
    pam = bmp[:-4] + ".pam"
    write_reference(bmp, pam, options=["-alpha", "off"] if bmp == "rgb32_padding.bmp" else [])
    if bmp == "argb4444.bmp":
        repeat_nibbles(pam)
        check_ffmpeg_nibbles(bmp, pam)
        continue
    if bmp == "rle4_delta.bmp":
        cross_check_ffmpeg(bmp, pam)
        continue
    try:
        pillow = Image.open(bmp)
        pillow.load()
    except OSError as error:
        print(f"{bmp}: Pillow cannot read it ({error}); ImageMagick alone")
        continue
    fields = bmp.startswith(("rgb555", "rgb565"))
    cross_check(bmp, pam, pillow, allowed=1 if fields else 0, note="Pillow truncates 5- and 6-bit fields" if fields else "")
subprocess.run(["sh", "-c", "ls -l *.bmp *.pam | awk '{s+=$5} END {print s \" bytes in all\"}'"], check=True)
