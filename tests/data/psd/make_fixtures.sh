#!/usr/bin/env bash
# Remakes the PSD fixtures in this folder and their reference pictures.
# Run by hand:  bash tests/data/psd/make_fixtures.sh
# Needs ImageMagick (/usr/bin/convert) and Pillow (/usr/bin/python3).
#
# NAME.psd  written by ImageMagick from a small source picture
# NAME.pam  the merged picture (P7, MAXVAL 255) as ImageMagick decodes it
#           (image [0], with psd:alpha-unblend=off: the colour is taken as
#           stored), checked against a second decoder:
#           - Pillow where it reads the file (8-bit modes), exactly;
#           - indexed: ImageMagick 6.9 cannot read its own indexed PSD, so
#             Pillow's decode is the reference, checked against ImageMagick's
#             decode of the same picture written as GIF;
#           - for CMYK the reference is round(c' k' / 255) of the stored
#             (inverted) samples as Pillow reads them, checked against
#             ImageMagick's RGB within 2;
#           - 16-bit files: ImageMagick's 16-bit samples rounded to 8 bits
#             (round(v / 257)), checked against the 8-bit source picture
#             (RGB) or Pillow's round(v / 257) of the 16-bit grey source.
set -euo pipefail
cd "$(dirname "$0")"
PY=/usr/bin/python3
IM=/usr/bin/convert
command -v "$IM" >/dev/null || { echo "missing: $IM" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -f ./*.psd ./*.pam

"$PY" - "$work" <<'PYEOF'
import sys
from PIL import Image, ImageDraw
out = sys.argv[1]
w, h = 19, 11
rgb = Image.new("RGB", (w, h))
rgb.putdata([((x * 255) // (w - 1), (y * 255) // (h - 1), ((x + y) * 37) % 256) for y in range(h) for x in range(w)])
ImageDraw.Draw(rgb).rectangle([2, 2, 7, 5], fill=(250, 30, 20))
rgb.save(out + "/rgb.png")
rgba = rgb.copy()
rgba.putalpha(Image.frombytes("L", (w, h), bytes((0, 255, 128, 255, 64)[(x + 2 * y) % 5] for y in range(h) for x in range(w))))
rgba.save(out + "/rgba.png")
grey16 = Image.new("I;16", (w, h))
grey16.putdata([(x * 3449 + y * 911) % 65536 for y in range(h) for x in range(w)])
grey16.save(out + "/grey16.png")
PYEOF

"$IM" "$work/rgb.png" rgb_rle_imagemagick.psd
"$IM" "$work/rgb.png" -compress none -density 150 -units PixelsPerInch rgb_raw_150dpi_imagemagick.psd
"$IM" "$work/rgba.png" rgba_rle_imagemagick.psd
"$IM" "$work/rgb.png" -colorspace Gray grey_rle_imagemagick.psd
"$IM" "$work/grey16.png" -depth 16 grey16_rle_imagemagick.psd
"$IM" "$work/rgb.png" -depth 16 -compress none rgb16_raw_imagemagick.psd
"$IM" "$work/rgb.png" -colors 7 -type Palette indexed_rle_imagemagick.psd
"$IM" "$work/rgb.png" -colors 7 -type Palette "$work/indexed.gif"
"$IM" "$work/rgb.png" -colorspace CMYK cmyk_rle_imagemagick.psd

"$PY" - "$work" <<'PYEOF'
import glob, struct, subprocess, sys
from PIL import Image
work = sys.argv[1]

def im_bytes(path, fmt, extra=(), depth=8):
    out = subprocess.run(["/usr/bin/convert", "-define", "psd:alpha-unblend=off", path, *extra, "-endian", "MSB", "-depth", str(depth),
                          fmt + ":-"], check=True, capture_output=True).stdout
    if depth == 8:
        return out
    # ImageMagick's own 8-bit output truncates; round 16-bit samples instead.
    return bytes((((out[i] << 8) | out[i + 1]) + 128) // 257 for i in range(0, len(out), 2))

def pam(path, depth, tupl, size, data):
    with open(path, "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n" % (size[0], size[1], depth, tupl))
        f.write(data)

def header(path):
    d = open(path, "rb").read(26)
    channels, height, width, depth, mode = struct.unpack(">HIIHH", d[12:26])
    return channels, width, height, depth, mode

for path in sorted(glob.glob("*.psd")):
    name = path[:-4]
    channels, w, h, depth, mode = header(path)
    size = (w, h)
    alpha = mode == 3 and channels == 4
    grey = mode in (0, 1)
    if grey:
        ref = im_bytes(path + "[0]", "gray", depth=depth)
        kind = (1, b"GRAYSCALE")
    elif alpha:
        ref = im_bytes(path + "[0]", "rgba")
        kind = (4, b"RGB_ALPHA")
    elif mode == 2:
        # ImageMagick 6.9 cannot read back its own indexed PSD: Pillow
        # decodes it, checked against ImageMagick's same picture as GIF.
        ref = Image.open(path).convert("RGB").tobytes()
        kind = (3, b"RGB")
        assert im_bytes(work + "/indexed.gif", "rgb") == ref, name
    else:
        ref = im_bytes(path + "[0]", "rgb", ("-colorspace", "sRGB"), depth=depth)
        kind = (3, b"RGB")
    if mode == 4:
        pil = Image.open(path)
        raw = pil.tobytes()  # ink amounts, 4 per pixel
        exact = bytearray()
        for i in range(0, len(raw), 4):
            c, m, y, k = raw[i:i + 4]
            exact += bytes(((255 - v) * (255 - k) + 127) // 255 for v in (c, m, y))
        assert max(abs(a - b) for a, b in zip(exact, ref)) <= 2, name
        ref = bytes(exact)
    elif depth == 16:
        if grey:
            src = Image.open(work + "/grey16.png")
            second = bytes((v + 128) // 257 for v in src.getdata())
        else:
            second = Image.open(work + "/rgb.png").tobytes()
        assert second == ref, name
    else:
        pil = Image.open(path)
        pil = pil.convert({1: "L", 3: "RGB", 4: "RGBA"}[kind[0]])
        assert pil.tobytes() == ref, (name, "Pillow differs")
    pam(name + ".pam", kind[0], kind[1], size, ref)
    print(name, "channels", channels, "depth", depth, "mode", mode, size)
PYEOF
ls -l ./*.psd
