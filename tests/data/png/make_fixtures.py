#!/usr/bin/python3
"""Remakes the PNG fixtures in this folder and their references. Run by hand
with the system Python (it has Pillow):  /usr/bin/python3 make_fixtures.py
The tests only read what it leaves; they never run it.

Writers: Pillow and ImageMagick. References (NAME.pam): ImageMagick,
cross-checked by Pillow; for 16-bit files netpbm, cross-checked by both
(see peer_refs.py for how the peers scale 16-bit samples).
"""
import glob
import os
import subprocess

from PIL import Image

from peer_refs import CONVERT, compare_with_magick, cross_check, write_reference, write_reference_netpbm

os.chdir(os.path.dirname(os.path.abspath(__file__)))
for old in glob.glob("*.png") + glob.glob("*.pam"):
    os.remove(old)

W, H = 13, 9  # odd sizes, so packed rows end inside a byte


def colour(x, y):
    return (x * 19 % 256, y * 27 % 256, (x * y * 7 + 40) % 256)


def rgb_picture():
    im = Image.new("RGB", (W, H))
    im.putdata([colour(x, y) for y in range(H) for x in range(W)])
    return im


def magick(name, *args):
    """A 16-bit plasma picture by ImageMagick with the given output options."""
    subprocess.run([CONVERT, "-seed", "7", "-size", f"{W}x{H}", "plasma:fractal", "-depth", "16", *args, "-strip", name],
                   check=True)


def pillow_fixtures():
    # Palette of 2 colours at 1 bit per index, neither black nor white.
    p1 = Image.new("P", (W, H))
    p1.putpalette([200, 30, 30, 20, 40, 220])
    p1.putdata([(x + y) % 2 for y in range(H) for x in range(W)])
    p1.save("pal1.png", bits=1)
    # 4-bit palette with tRNS: entry 0 clear, entry 1 half, the rest opaque.
    p4 = Image.new("P", (W, H))
    p4.putpalette(sum(([i * 16, 255 - i * 16, (i * 40) % 256] for i in range(16)), []))
    p4.putdata([(x * 3 + y) % 16 for y in range(H) for x in range(W)])
    p4.save("pal4_trns.png", bits=4, transparency=bytes([0, 128] + [255] * 14))
    g1 = Image.new("1", (W, H))
    g1.putdata([255 if (x * y) % 3 else 0 for y in range(H) for x in range(W)])
    g1.save("grey1.png")
    # 8-bit grey with one transparent level, and a resolution.
    g8 = Image.new("L", (W, H))
    g8.putdata([(x * 20 + y * 3) % 256 for y in range(H) for x in range(W)])
    g8.save("grey8_trns_dpi.png", transparency=60, dpi=(72, 150))
    la = Image.new("LA", (W, H))
    la.putdata([((x * 20) % 256, (y * 30) % 256) for y in range(H) for x in range(W)])
    la.save("grey_alpha8.png")
    rgb = rgb_picture()
    rgb.save("rgb8_trns.png", transparency=colour(3, 4))
    rgba = rgb.copy()
    rgba.putalpha(Image.eval(rgb.convert("L"), lambda v: (v * 3) % 256))
    rgba.save("rgba8.png")


def magick_fixtures():
    # 8-bit palette, interlaced.
    magick("png8:pal8_interlaced.png", "-colors", "40", "-interlace", "PNG")
    # 2- and 4-bit grey.
    magick("png:grey2.png", "-colorspace", "gray", "-define", "png:bit-depth=2", "-define", "png:color-type=0")
    magick("png:grey4_interlaced.png", "-colorspace", "gray", "-define", "png:bit-depth=4",
           "-define", "png:color-type=0", "-interlace", "PNG")
    magick("png:grey16.png", "-colorspace", "gray", "-define", "png:color-type=0")
    magick("png:grey_alpha16.png", "-colorspace", "gray", "-alpha", "set", "-channel", "A", "-fx", "i/w", "+channel",
           "-define", "png:color-type=4")
    magick("png48:rgb16_interlaced.png", "-interlace", "PNG")
    magick("png64:rgba16.png", "-alpha", "set", "-channel", "A", "-fx", "j/h", "+channel")


pillow_fixtures()
magick_fixtures()
for png in sorted(glob.glob("*.png")):
    pam = png[:-4] + ".pam"
    if "16" in png:
        write_reference_netpbm(png, pam)
        compare_with_magick(png, pam, allowed=1, note="truncates v / 257")
        cross_check(png, pam, Image.open(png), allowed=1, note="keeps the high byte")
    else:
        write_reference(png, pam)
        cross_check(png, pam, Image.open(png))
subprocess.run(["sh", "-c", "ls -l *.png *.pam | awk '{s+=$5} END {print s \" bytes in all\"}'"], check=True)
