#!/usr/bin/python3
# Remakes the portable-map fixtures in this folder with peer tools (netpbm,
# ImageMagick, Pillow) and their PAM references. Run by hand with the
# system Python that has Pillow:
#   /usr/bin/python3 tests/data/pnm/make_fixtures.py
# The tests only read what this leaves behind.
#
# References come from netpbm (pamdepth 255, which rounds, then pamtopng)
# and are checked against ImageMagick. For a maxval other than 255 the two
# may differ by one: ImageMagick goes through 16-bit quantums and rounds
# twice, netpbm rounds v * 255 / maxval once, as we do.
# Pillow 9.4 is no help above maxval 255: it keeps the high byte of 16-bit
# samples instead of scaling them. A plain graymap with comments and a
# small maxval is written here as text, since no peer writes comments
# between samples.
# For NAME.EXT the reference is NAME.ref.pam.
import io, os, subprocess, sys
from PIL import Image

os.chdir(os.path.dirname(os.path.abspath(__file__)))
W, H = 9, 5


def run(cmd, data=None):
    return subprocess.run(cmd, input=data, capture_output=True, shell=isinstance(cmd, str), check=True).stdout


def rgba(png):
    im = Image.open(io.BytesIO(png))
    return im.size, list(im.convert("RGBA").getdata())


def by_netpbm(path):
    return rgba(run(f"pamdepth 255 '{path}' | pamtopng"))


def by_magick(path):
    return rgba(run(["convert", path + "[0]", "-depth", "8", "png:-"]))


def agree(path, a, b, tolerance=0):
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


def save(im, fmt):
    out = io.BytesIO()
    im.save(out, fmt)
    return out.getvalue()


for old in os.listdir("."):
    if old.endswith((".pbm", ".pgm", ".ppm", ".pam")):
        os.remove(old)

mono = Image.new("1", (W, H))
for y in range(H):
    for x in range(W):
        mono.putpixel((x, y), 1 if (x * 3 + y) % 4 < 2 else 0)
rgb = rgb_picture()
rgba_image = rgb.convert("RGBA")
for y in range(H):
    for x in range(W):
        rgba_image.putpixel((x, y), rgb.getpixel((x, y)) + ((x * 31 + y * 50) % 256,))
png_rgba = save(rgba_image, "PNG")

open("p4_raw_pil.pbm", "wb").write(save(mono, "PPM"))
open("p1_plain_netpbm.pbm", "wb").write(run(["pnmtoplainpnm"], save(mono, "PPM")))
open("p5_raw_maxval1000_netpbm.pgm", "wb").write(run("pamdepth 1000 | pnmtopnm", save(rgb.convert("L"), "PPM")))
open("p3_plain_netpbm.ppm", "wb").write(run(["pnmtoplainpnm"], save(rgb, "PPM")))
open("p6_raw_maxval65535_netpbm.ppm", "wb").write(run(["pamdepth", "65535"], save(rgb, "PPM")))
open("p7_rgba_netpbm.pam", "wb").write(run(["pngtopam", "-alphapam"], png_rgba))
# A second image after the first: only the first is read.
open("p6_two_images_pil.ppm", "wb").write(save(rgb, "PPM") + save(rgb.transpose(Image.FLIP_LEFT_RIGHT), "PPM"))
grey = rgb.convert("L")
lines = ["P2", "# comments before the size", f"{W} {H} # and after it", "15"]
for y in range(H):
    lines.append(" ".join(str(grey.getpixel((x, y)) * 15 // 255) for x in range(W)) + "  # row end")
open("p2_plain_maxval15_comments.pgm", "w").write("\n".join(lines) + "\n")

for name in sorted(os.listdir(".")):
    if name.endswith((".pbm", ".pgm", ".ppm", ".pam")) and not name.endswith(".ref.pam"):
        stem = name.rsplit(".", 1)[0]
        tolerance = 1 if "maxval" in name else 0
        write_pam(stem + ".ref.pam", agree(name, by_netpbm(name), by_magick(name), tolerance))
print("done")
