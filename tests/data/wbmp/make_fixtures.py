#!/usr/bin/python3
# Remakes the WBMP fixtures in this folder with peer tools (netpbm,
# ImageMagick) and their PAM references. Run by hand with the system
# Python that has Pillow:
#   /usr/bin/python3 tests/data/wbmp/make_fixtures.py
# The tests only read what this leaves behind.
#
# References come from netpbm's wbmptopbm and are checked against
# ImageMagick. The 130-pixel width needs a two-byte integer in the header.
import io, os, subprocess, sys
from PIL import Image

os.chdir(os.path.dirname(os.path.abspath(__file__)))


def run(cmd, data=None):
    return subprocess.run(cmd, input=data, capture_output=True, shell=isinstance(cmd, str), check=True).stdout


def rgba(png):
    im = Image.open(io.BytesIO(png))
    return im.size, list(im.convert("RGBA").getdata())


def by_netpbm(path):
    return rgba(run(f"wbmptopbm '{path}' | pamtopng"))


def by_magick(path):
    return rgba(run(["convert", path, "-depth", "8", "png:-"]))


def write_pam(path, picture):
    (w, h), px = picture
    head = f"P7\nWIDTH {w}\nHEIGHT {h}\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n".encode()
    open(path, "wb").write(head + bytes(c for p in px for c in p[:3]))


def pbm(w, h):
    im = Image.new("1", (w, h))
    for y in range(h):
        for x in range(w):
            im.putpixel((x, y), 1 if (x * 3 + y * 5) % 7 < 3 else 0)
    out = io.BytesIO()
    im.save(out, "PPM")
    return out.getvalue()


for old in os.listdir("."):
    if old.endswith((".wbmp", ".pam")):
        os.remove(old)
open("small_netpbm.wbmp", "wb").write(run(["pbmtowbmp"], pbm(9, 5)))
open("wide_imagemagick.wbmp", "wb").write(run(["convert", "pbm:-", "wbmp:-"], pbm(130, 3)))
for name in ("small_netpbm", "wide_imagemagick"):
    path = name + ".wbmp"
    a, b = by_netpbm(path), by_magick(path)
    if a != b:
        sys.exit(f"{path}: the peers disagree")
    write_pam(name + ".pam", a)
print("done")
