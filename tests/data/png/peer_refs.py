"""Reference pictures for the still-image fixtures, shared by the
make_fixtures.py scripts in png/, bmp/ and ico/.

Every reference is decoded by ImageMagick (convert, 8 bits per sample, as a
PAM file) and cross-checked against Pillow: the largest per-sample
difference is printed, and a difference beyond what a peer is known to do
stops the script. Fully transparent pixels compare by alpha only.

16-bit PNG samples have three readings among the peers: netpbm (pamdepth)
rounds v * 255 / 65535 to the nearest value, ImageMagick 6.9 at -depth 8
truncates v / 257, Pillow 9.4 keeps the high byte. References of 16-bit
files come from netpbm, the nearest value; the other two are checked to
be within 1.
"""
import os
import subprocess
import sys

from PIL import Image

CONVERT = "/usr/bin/convert"


def read_pam(path):
    data = open(path, "rb").read()
    header, _, body = data.partition(b"ENDHDR\n")
    fields = {}
    for line in header.decode().splitlines()[1:]:
        parts = line.split()
        if len(parts) == 2:
            fields[parts[0]] = parts[1]
    w, h, d = int(fields["WIDTH"]), int(fields["HEIGHT"]), int(fields["DEPTH"])
    assert int(fields["MAXVAL"]) == 255, path
    pixels = []
    for i in range(w * h):
        p = body[i * d:(i + 1) * d]
        rgb = tuple(p[:3]) if d >= 3 else (p[0],) * 3
        pixels.append(rgb + ((p[-1],) if d in (2, 4) else (255,)))
    return w, h, pixels


def write_reference(source, pam, index=None, options=()):
    """ImageMagick decodes `source` (image `index` of an icon) into `pam`."""
    name = f"{source}[{index}]" if index is not None else source
    subprocess.run([CONVERT, name, *options, "-depth", "8", f"pam:{pam}"], check=True)


def write_reference_netpbm(png, pam):
    """netpbm decodes a 16-bit `png` into `pam`, scaling samples to the
    nearest 8-bit value (pamdepth rounds v * 255 / 65535)."""
    with open(pam, "wb") as out:
        decoded = subprocess.run(["pngtopam", "-alphapam", png], check=True, capture_output=True).stdout
        out.write(subprocess.run(["pamdepth", "255"], input=decoded, check=True, capture_output=True).stdout)


def compare_with_magick(source, pam, allowed, note):
    """Largest difference between `pam` and ImageMagick's decoding."""
    magick = pam + ".magick"
    write_reference(source, magick)
    try:
        report(source, "ImageMagick", read_pam(pam)[2], read_pam(magick)[2], allowed, note)
    finally:
        os.remove(magick)


def report(source, peer, ref, other, allowed, note):
    worst = 0
    for r, p in zip(ref, other):
        diff = abs(r[3] - p[3])
        if r[3] > 0:
            diff = max(diff, *(abs(a - b) for a, b in zip(r[:3], p[:3])))
        worst = max(worst, diff)
    print(f"{source}: {peer} differs by at most {worst}{' (' + note + ')' if note else ''}")
    if worst > allowed:
        sys.exit(f"{source}: beyond the {allowed} allowed")


def pillow_rgba(image):
    """Pillow's picture as 8-bit RGBA; its 16-bit grey modes are scaled
    with rounding here (Pillow's own convert clips them to 255)."""
    if image.mode in ("I;16", "I;16B", "I"):
        values = [min(255, (v + 128) // 257) for v in image.getdata()]
        grey = Image.new("L", image.size)
        grey.putdata(values)
        rgba = grey.convert("RGBA")
        if "transparency" in image.info:
            t = image.info["transparency"]
            mask = [0 if v == t else 255 for v in image.getdata()]
            alpha = Image.new("L", image.size)
            alpha.putdata(mask)
            rgba.putalpha(alpha)
        return rgba
    return image.convert("RGBA")


def cross_check(source, pam, pillow_image, allowed=0, note=""):
    """Largest difference between ImageMagick's reference and Pillow."""
    w, h, ref = read_pam(pam)
    rgba = pillow_rgba(pillow_image)
    if rgba.size != (w, h):
        sys.exit(f"{source}: Pillow size {rgba.size}, ImageMagick {w}x{h}")
    report(source, "Pillow", ref, list(rgba.getdata()), allowed, note)


def cross_check_ffmpeg(source, pam, allowed=0, note=""):
    """Largest difference between ImageMagick's reference and ffmpeg."""
    w, h, ref = read_pam(pam)
    raw = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", source, "-f", "rawvideo", "-pix_fmt", "rgba", "-"],
                         check=True, capture_output=True).stdout
    if len(raw) != 4 * w * h:
        sys.exit(f"{source}: ffmpeg gave {len(raw)} bytes for {w}x{h}")
    report(source, "ffmpeg", ref, [tuple(raw[i:i + 4]) for i in range(0, len(raw), 4)], allowed, note)
