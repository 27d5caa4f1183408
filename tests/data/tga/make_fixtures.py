#!/usr/bin/python3
# Remakes the Targa fixtures in this folder with peer tools (netpbm,
# ImageMagick, Pillow) and their PAM references. Run by hand with the
# system Python that has Pillow:
#   /usr/bin/python3 tests/data/tga/make_fixtures.py
# The tests only read what this leaves behind.
#
# Each reference comes from the peer that reads the file right and is
# checked against a second peer; the script stops when they disagree.
# What the peers get wrong here:
#  - ImageMagick 6.9 ignores the origin bit: it reads bottom-left files
#    upside down (and writes top-down rows under a bottom-left header), so
#    it is only asked about top-left files, or its rows are turned back.
#  - Pillow 9.4 shows a 15-bit colour map as grey, ignores the attribute
#    bit of 16-bit pixels, and widens 5-bit channels by truncation
#    (v * 255 / 31), and so does ImageMagick for colour maps; netpbm rounds,
#    as we do. 5-bit files are therefore checked with a tolerance of 1.
#  - netpbm's tgatoppm and ImageMagick ignore the right-to-left bit; Pillow
#    honours it. netpbm drops alpha.
# Two files are written here byte by byte (16-bit pixels with attribute
# alpha; right-to-left columns), since no peer writes them.
import io, os, struct, subprocess, sys
from PIL import Image

os.chdir(os.path.dirname(os.path.abspath(__file__)))
W, H = 9, 5


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
    return rgba(run(f"tgatoppm '{path}' | pamdepth 255 | pamtopng"))


def by_magick(path):
    return rgba(run(["convert", path, "-depth", "8", "png:-"]))


def by_magick_turned(path):
    return rgba(run(["convert", path, "-flip", "-depth", "8", "png:-"]))


def by_magick_mirrored(path):
    return rgba(run(["convert", path, "-flip", "-flop", "-depth", "8", "png:-"]))


def colour_of(picture):
    return picture[0], [p[:3] for p in picture[1]]


def with_alpha(colour, alpha):
    return colour[0], [c[:3] + (a[3],) for c, a in zip(colour[1], alpha[1])]


def agree(path, a, b, tolerance=0):
    # 5-bit channels: the peers widen them differently (see above).
    close = a[0] == b[0] and all(abs(u - v) <= tolerance for p, q in zip(a[1], b[1]) for u, v in zip(p, q))
    if not close:
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


def pnm(im):
    out = io.BytesIO()
    im.save(out, "PPM")
    return out.getvalue()


def hand_made(name, depth, descriptor, pixel):
    # Uncompressed true-colour; pixel(x, y) gives the bytes of one pixel.
    rows = []
    for fy in range(H):
        y = fy if descriptor & 0x20 else H - 1 - fy
        for fx in range(W):
            rows.append(pixel(W - 1 - fx if descriptor & 0x10 else fx, y))
    header = struct.pack("<BBBHHBHHHHBB", 0, 0, 2, 0, 0, 0, 0, 0, W, H, depth, descriptor)
    open(name, "wb").write(header + b"".join(rows))


for old in os.listdir("."):
    if old.endswith((".tga", ".pam")):
        os.remove(old)

rgb = rgb_picture()
rgba_image = rgb.convert("RGBA")
for y in range(H):
    for x in range(W):
        rgba_image.putpixel((x, y), rgb.getpixel((x, y)) + ((x * 31 + y * 50) % 256,))
rgb.save("rgb24_pil.tga")
rgb.save("rgb24_rle_topleft_pil.tga", compression="tga_rle", orientation=1)
rgba_image.save("rgba32_rle_topleft_pil.tga", compression="tga_rle", orientation=1)
palette_picture(16).quantize(16).save("mapped_rle_pil.tga", compression="tga_rle")
rgb.convert("L").save("grey_pil.tga")
open("mapped_netpbm.tga", "wb").write(run(["pamtotga", "-cmap", "-norle"], pnm(palette_picture(16))))
open("mapped15_netpbm.tga", "wb").write(run(["pamtotga", "-cmap16", "-norle"], pnm(palette_picture(16))))
open("grey_rle_netpbm.tga", "wb").write(run(["pamtotga", "-mono"], pnm(rgb.convert("L"))))


def pixel16(x, y):
    r, g, b = rgb.getpixel((x, y))
    attribute = 0x8000 if (x + y) % 3 else 0
    return struct.pack("<H", attribute | (r >> 3) << 10 | (g >> 3) << 5 | b >> 3)


hand_made("rgb16_alpha_topleft.tga", 16, 0x21, pixel16)
hand_made("rgb24_righttoleft.tga", 24, 0x10, lambda x, y: bytes(reversed(rgb.getpixel((x, y)))))

references = {
    "rgb24_pil": lambda p: agree(p, by_pil(p), by_netpbm(p)),
    "rgb24_rle_topleft_pil": lambda p: agree(p, by_pil(p), by_netpbm(p)),
    "rgba32_rle_topleft_pil": lambda p: agree(p, by_pil(p), by_magick(p)),
    "mapped_rle_pil": lambda p: agree(p, by_pil(p), by_netpbm(p)),
    "grey_pil": lambda p: agree(p, by_pil(p), by_netpbm(p)),
    "mapped_netpbm": lambda p: agree(p, by_netpbm(p), by_pil(p)),
    "mapped15_netpbm": lambda p: agree(p, by_netpbm(p), by_magick_turned(p), 1),
    "grey_rle_netpbm": lambda p: agree(p, by_netpbm(p), by_pil(p)),
    "rgb16_alpha_topleft": lambda p: with_alpha(
        agree(p, colour_of(by_netpbm(p)), colour_of(by_magick(p)), 1), by_magick(p)),
    "rgb24_righttoleft": lambda p: agree(p, by_pil(p), by_magick_mirrored(p)),
}
for name, reference in references.items():
    write_pam(name + ".pam", reference(name + ".tga"))
print("done")
