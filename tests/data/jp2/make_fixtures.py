#!/usr/bin/python3
"""Makes the JPEG 2000 fixtures and their references. Run by hand from this
folder with the system Python (PIL), opj_compress (libopenjp2-tools) and
ffmpeg:

    /usr/bin/python3 make_fixtures.py

opj_compress writes every file losslessly. Each reference (NAME.pam) is the
picture the file was made from (scaled to 8 bits, or converted from YCbCr
with the sYCC equations and repeated chroma), and the script stops unless
ffmpeg's own JPEG 2000 decoder, which shares no code with OpenJPEG, gives
back the same samples.
"""
import os
import subprocess
import sys

from PIL import Image

TMP = "tmp_fixtures"


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def ffmpeg_samples(path, pix_fmt):
    return subprocess.run(["ffmpeg", "-v", "error", "-c:v", "jpeg2000", "-i", path, "-frames:v", "1",
                           "-f", "rawvideo", "-pix_fmt", pix_fmt, "-"], check=True, capture_output=True).stdout


def write_pam(im, path):
    kind, depth = {"L": ("GRAYSCALE", 1), "RGB": ("RGB", 3), "RGBA": ("RGB_ALPHA", 4)}[im.mode]
    with open(path, "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n"
                % (im.width, im.height, depth, kind.encode()))
        f.write(im.tobytes())


def expect_same(name, ours, theirs):
    if ours != theirs:
        sys.exit("%s: ffmpeg does not give back the source samples" % name)


def pattern(w, h, mode):
    im = Image.new("RGB", (w, h))
    im.putdata([((x * 255) // (w - 1), (y * 255) // (h - 1), ((x * 7 + y * 13) * 5) % 256)
                for y in range(h) for x in range(w)])
    if mode == "L":
        return im.convert("L")
    if mode == "RGBA":
        im = im.convert("RGBA")
        im.putalpha(Image.frombytes("L", (w, h), bytes((x * 37 + y * 11) % 256 for y in range(h) for x in range(w))))
    return im


def clamp(v):
    return max(0, min(255, int(v + 0.5)))


def main():
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    os.makedirs(TMP, exist_ok=True)
    t = lambda n: os.path.join(TMP, n)

    rgb = pattern(24, 16, "RGB")
    rgb.save(t("rgb.ppm"))
    run("opj_compress", "-n", "3", "-i", t("rgb.ppm"), "-o", "rgb.jp2")
    expect_same("rgb.jp2", ffmpeg_samples("rgb.jp2", "rgb24"), rgb.tobytes())
    write_pam(rgb, "rgb.pam")

    grey = pattern(20, 12, "L")
    grey.save(t("grey.pgm"))
    run("opj_compress", "-n", "3", "-i", t("grey.pgm"), "-o", "grey.j2k")
    expect_same("grey.j2k", ffmpeg_samples("grey.j2k", "gray"), grey.tobytes())
    write_pam(grey, "grey.pam")

    rgba = pattern(16, 12, "RGBA")
    rgba.save(t("rgba.png"))
    run("opj_compress", "-n", "3", "-i", t("rgba.png"), "-o", "rgba.jp2")
    expect_same("rgba.jp2", ffmpeg_samples("rgba.jp2", "rgba"), rgba.tobytes())
    write_pam(rgba, "rgba.pam")

    # 12-bit grey: a PGM with MAXVAL 4095.
    w, h = 14, 9
    samples = [(x * 290 + y * 131) % 4096 for y in range(h) for x in range(w)]
    with open(t("grey12.pgm"), "wb") as f:
        f.write(b"P5\n%d %d\n4095\n" % (w, h) + b"".join(v.to_bytes(2, "big") for v in samples))
    run("opj_compress", "-n", "3", "-i", t("grey12.pgm"), "-o", "grey12.j2k")
    # Its 16-bit output is the samples shifted left (its 12-bit output rounds).
    decoded = ffmpeg_samples("grey12.j2k", "gray16le")
    expect_same("grey12.j2k", [int.from_bytes(decoded[i:i + 2], "little") >> 4 for i in range(0, len(decoded), 2)],
                samples)
    ref = Image.new("L", (w, h))
    ref.putdata([(v * 255 + 2047) // 4095 for v in samples])
    write_pam(ref, "grey12.pam")

    # A code stream of Y at full size and Cb, Cr at half size both ways.
    w, h = 16, 8
    y_plane = [(x * 13 + y * 21) % 256 for y in range(h) for x in range(w)]
    cb_plane = [(64 + x * 30 + y * 10) % 256 for y in range(h // 2) for x in range(w // 2)]
    cr_plane = [(200 - x * 20 - y * 15) % 256 for y in range(h // 2) for x in range(w // 2)]
    with open(t("ycc.raw"), "wb") as f:
        f.write(bytes(y_plane + cb_plane + cr_plane))
    run("opj_compress", "-n", "3", "-i", t("ycc.raw"), "-F", "%d,%d,3,8,u@1x1:2x2:2x2" % (w, h), "-o", "ycc420.j2k")
    expect_same("ycc420.j2k", ffmpeg_samples("ycc420.j2k", "yuv420p"), bytes(y_plane + cb_plane + cr_plane))
    ref = Image.new("RGB", (w, h))
    pixels = []
    for y in range(h):
        for x in range(w):
            yy = y_plane[y * w + x]
            u = cb_plane[(y // 2) * (w // 2) + x // 2] - 128
            v = cr_plane[(y // 2) * (w // 2) + x // 2] - 128
            pixels.append((clamp(yy + 1.402 * v), clamp(yy - 0.344136 * u - 0.714136 * v), clamp(yy + 1.772 * u)))
    ref.putdata(pixels)
    write_pam(ref, "ycc420.pam")

    for n in os.listdir(TMP):
        os.remove(t(n))
    os.rmdir(TMP)


if __name__ == "__main__":
    main()
