#!/usr/bin/python3
# Remakes the PCX and DCX fixtures in this folder with peer tools (netpbm,
# ImageMagick, Pillow) and their PAM references. Run by hand with the
# system Python that has Pillow:
#   /usr/bin/python3 tests/data/pcx/make_fixtures.py
# The tests only read what this leaves behind.
#
# Each reference is decoded by one peer and checked against a second; the
# script stops when they disagree. Which peer is trusted for which file:
#  - Pillow 9.4 reads 1x1, 1x2, 1x4, 8x1 and 8x3 (bits x planes) but
#    refuses 2-bit packed and 1-bit x 3 planes; netpbm's pcxtoppm reads
#    them all.
#  - ImageMagick 6.9 inverts 1-bit single-plane pictures when it reads them
#    (1 comes out black); Pillow and pcxtoppm agree that 1 is white, so
#    ImageMagick is not used on those.
# For NAME.pcx the reference is NAME.pam; for NAME.dcx page n it is
# NAME.n.pam. The DCX is built here: a hand-written page table in front of
# three of the PCX files.
import io, os, struct, subprocess, sys
from PIL import Image

os.chdir(os.path.dirname(os.path.abspath(__file__)))
W, H = 9, 5  # odd width: rows end inside a byte and bytes-per-line is padded


def run(cmd, data=None):
    return subprocess.run(cmd, input=data, capture_output=True, shell=isinstance(cmd, str), check=True).stdout


def rgba(png_or_image):
    im = png_or_image if isinstance(png_or_image, Image.Image) else Image.open(io.BytesIO(png_or_image))
    return im.size, list(im.convert("RGBA").getdata())


def by_pil(path):
    im = Image.open(path)
    im.load()
    return rgba(im)


def by_netpbm(path):
    return rgba(run(f"pcxtoppm '{path}' | pamdepth 255 | pamtopng"))


def by_magick(path):
    return rgba(run(["convert", path, "-depth", "8", "png:-"]))


def agree(path, a, b):
    if a != b:
        sys.exit(f"{path}: the peers disagree")
    return a


def write_pam(path, picture):
    (w, h), px = picture
    alpha = any(p[3] != 255 for p in px)
    depth, kind = (4, "RGB_ALPHA") if alpha else (3, "RGB")
    head = f"P7\nWIDTH {w}\nHEIGHT {h}\nDEPTH {depth}\nMAXVAL 255\nTUPLTYPE {kind}\nENDHDR\n".encode()
    open(path, "wb").write(head + bytes(c for p in px for c in p[:depth]))


def rgb_picture():
    im = Image.new("RGB", (W, H))
    for y in range(H):
        for x in range(W):
            im.putpixel((x, y), ((x * 29 + y * 7) % 256, (y * 53 + x * 3) % 256, (x * y * 17 + 40) % 256))
    return im


def palette_picture(n):
    im = Image.new("RGB", (W, H))
    colours = [((i * 37) % 256, (i * 91 + 20) % 256, (i * 53 + 200) % 256) for i in range(n)]
    for y in range(H):
        for x in range(W):
            im.putpixel((x, y), colours[(x + y * W) % n])
    return im


def mono_picture():
    im = Image.new("1", (W, H))
    for y in range(H):
        for x in range(W):
            im.putpixel((x, y), 1 if (x * 3 + y) % 4 < 2 else 0)
    return im


def ppm(im):
    out = io.BytesIO()
    im.save(out, "PPM")
    return out.getvalue()


for old in os.listdir("."):
    if old.endswith((".pcx", ".dcx", ".pam")):
        os.remove(old)

mono_picture().save("mono_pil.pcx")
open("pal4_planes_netpbm.pcx", "wb").write(run(["ppmtopcx"], ppm(palette_picture(4))))
open("pal4_packed_netpbm.pcx", "wb").write(run(["ppmtopcx", "-packed"], ppm(palette_picture(4))))
open("pal8_planes_netpbm.pcx", "wb").write(run(["ppmtopcx"], ppm(palette_picture(8))))
open("pal16_planes_netpbm.pcx", "wb").write(run(["ppmtopcx"], ppm(palette_picture(16))))
open("pal256_imagemagick.pcx", "wb").write(
    run(["convert", "ppm:-", "-type", "palette", "-density", "150", "pcx:-"], ppm(palette_picture(40))))
open("rgb_imagemagick.pcx", "wb").write(run(["convert", "ppm:-", "pcx:-"], ppm(rgb_picture())))

references = {
    "mono_pil": (by_pil, by_netpbm),
    "pal4_planes_netpbm": (by_pil, by_netpbm),
    "pal4_packed_netpbm": (by_netpbm, by_magick),
    "pal8_planes_netpbm": (by_netpbm, by_magick),
    "pal16_planes_netpbm": (by_netpbm, by_pil),
    "pal256_imagemagick": (by_pil, by_netpbm),
    "rgb_imagemagick": (by_pil, by_netpbm),
}
for name, (trusted, second) in references.items():
    path = name + ".pcx"
    write_pam(name + ".pam", agree(path, trusted(path), second(path)))

# Three pages of different kinds; each page's palette sits at its own end.
pages = ["mono_pil", "pal256_imagemagick", "rgb_imagemagick"]
table = struct.pack("<I", 987654321)
offset = 4 * (len(pages) + 2)
blobs = []
for name in pages:
    table += struct.pack("<I", offset)
    blobs.append(open(name + ".pcx", "rb").read())
    offset += len(blobs[-1])
open("pages.dcx", "wb").write(table + struct.pack("<I", 0) + b"".join(blobs))
for n, name in enumerate(pages):
    write_pam(f"pages.{n}.pam", by_pil(name + ".pcx"))
print("done")
