#!/usr/bin/env bash
# Remakes the JPEG fixtures in this folder and their reference pictures.
# Run by hand:  bash tests/data/jpeg/make_fixtures.sh
# Needs ImageMagick (/usr/bin/convert), cjpeg/djpeg (libjpeg-turbo-progs),
# exiftool (libimage-exiftool-perl) and Pillow (/usr/bin/python3).
#
# NAME.jpg  the file, written by a peer encoder
# NAME.pam  its picture (P7, MAXVAL 255): djpeg's decode (integer slow DCT,
#           fancy upsampling: libjpeg-turbo's defaults), checked to equal
#           Pillow's decode exactly. CMYK files: Pillow's CMYK samples (ink
#           amounts) turned into RGB as round((255 - c)(255 - k) / 255);
#           checked against ImageMagick's and Pillow's own RGB within 2.
set -euo pipefail
cd "$(dirname "$0")"
PY=/usr/bin/python3
IM=/usr/bin/convert
for tool in "$IM" cjpeg djpeg exiftool; do command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }; done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -f ./*.jpg ./*.pam

# A small picture with gradients, hard edges and odd sizes, so chroma
# upsampling at the borders and misplaced rows show.
"$PY" - "$work" <<'PYEOF'
import sys
from PIL import Image, ImageDraw
w, h = 21, 13
im = Image.new("RGB", (w, h))
im.putdata([((x * 255) // (w - 1), (y * 255) // (h - 1), ((x + y) * 37) % 256) for y in range(h) for x in range(w)])
d = ImageDraw.Draw(im)
d.rectangle([3, 2, 8, 6], fill=(250, 30, 20))
d.line([0, 12, 20, 0], fill=(255, 255, 255))
im.save(sys.argv[1] + "/src.png")
im.save(sys.argv[1] + "/src.ppm")
im.save("rgb_progressive_pil.jpg", quality=80, progressive=True, subsampling=1)  # 4:2:2
im.save("rgb_444_pil.jpg", quality=95, subsampling=0, dpi=(96, 96))
PYEOF

"$IM" "$work/src.png" -quality 75 -sampling-factor 2x2 -density 40 -units PixelsPerCentimeter rgb_420_dpcm_imagemagick.jpg
cjpeg -grayscale -quality 70 "$work/src.ppm" > grey_cjpeg.jpg
cjpeg -progressive -quality 85 -optimize -restart 1 "$work/src.ppm" > rgb_progressive_restart_cjpeg.jpg
"$IM" "$work/src.png" -colorspace CMYK -quality 90 cmyk_imagemagick.jpg

# Description values in a big-endian Exif block, and no JFIF header, so the
# resolution comes from Exif (200 x 100 per inch).
cjpeg -quality 90 "$work/src.ppm" > exif_exiftool.jpg
exiftool -q -overwrite_original -JFIF:all= \
    -EXIF:Artist='Zoë Ångström' \
    -EXIF:XPTitle='Über den Wolken — 雲' \
    -EXIF:XPComment='naïve café, 1 € = 100 ¢' \
    -EXIF:XPAuthor='Åsa Öberg' \
    -EXIF:XPKeywords='snow; Schnee; 雪' \
    -EXIF:XPSubject='Ελληνικά & кириллица' \
    -EXIF:XResolution=200 -EXIF:YResolution=100 -EXIF:ResolutionUnit=inches \
    exif_exiftool.jpg
exiftool -s -Artist -XPTitle -XPComment -XPAuthor -XPKeywords -XPSubject -XResolution -ResolutionUnit exif_exiftool.jpg

"$PY" - <<'PYEOF'
import glob, subprocess
from PIL import Image

def pam(path, mode, size, data):
    depth, tupl = {"L": (1, "GRAYSCALE"), "RGB": (3, "RGB")}[mode]
    with open(path, "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n" % (size[0], size[1], depth, tupl.encode()))
        f.write(data)

def djpeg(path):
    out = subprocess.run(["djpeg", "-pnm", path], check=True, capture_output=True).stdout
    import io
    return Image.open(io.BytesIO(out))

def cmyk_reference(im):
    out = bytearray()
    for c, m, y, k in im.getdata():
        for v in (c, m, y):
            out.append(((255 - v) * (255 - k) + 127) // 255)
    return bytes(out)

def max_diff(a, b):
    return max(abs(x - y) for x, y in zip(a, b))

for path in sorted(glob.glob("*.jpg")):
    name = path[:-4]
    pil = Image.open(path)
    pil.load()
    if pil.mode == "CMYK":
        ref = cmyk_reference(pil)
        im = subprocess.run(["/usr/bin/convert", path, "-colorspace", "sRGB", "-depth", "8", "rgb:-"],
                            check=True, capture_output=True).stdout
        assert max_diff(ref, im) <= 2, (path, "ImageMagick", max_diff(ref, im))
        assert max_diff(ref, pil.convert("RGB").tobytes()) <= 2, (path, "Pillow")
        pam(name + ".pam", "RGB", pil.size, ref)
    else:
        ref = djpeg(path)
        assert ref.mode == pil.mode and ref.tobytes() == pil.tobytes(), (path, "djpeg and Pillow differ")
        pam(name + ".pam", ref.mode, ref.size, ref.tobytes())
    print(name, pil.mode, pil.size, "progressive" if pil.info.get("progressive") else "baseline", pil.info.get("dpi"))
PYEOF
ls -l ./*.jpg
