#!/usr/bin/python3
"""Makes the TIFF fixtures and their references. Run by hand from this
folder with the system Python (PIL), ImageMagick, libtiff-tools and ffmpeg:

    /usr/bin/python3 make_fixtures.py

Every file is written by a peer (PIL, ImageMagick's convert, tiffcp). Each
reference (NAME.pam, or NAME.N.pam for page N) is decoded by PIL and checked
against ffmpeg's own TIFF decoder, which shares no code with libtiff; the
script stops when the two disagree beyond the tolerance noted per file
(JPEG decoders differ in their IDCT and upsampling, nothing else may).
"""
import os
import subprocess
import sys

from PIL import Image, TiffImagePlugin, TiffTags

W, H = 24, 16
TMP = "tmp_fixtures"


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def rgb_pattern(w=W, h=H):
    im = Image.new("RGB", (w, h))
    im.putdata([((x * 255) // (w - 1), (y * 255) // (h - 1), ((x * 7 + y * 13) * 5) % 256)
                for y in range(h) for x in range(w)])
    return im


def grey_pattern(w, h):
    im = Image.new("L", (w, h))
    im.putdata([(x * 11 + y * 17) % 256 for y in range(h) for x in range(w)])
    return im


def bilevel_pattern(w, h):
    im = Image.new("1", (w, h))
    im.putdata([255 if ((x // 3 + y // 2) % 2 == 0) != (x == y) else 0 for y in range(h) for x in range(w)])
    return im


def rgba_pattern(w=W, h=H):
    im = rgb_pattern(w, h).convert("RGBA")
    im.putalpha(Image.frombytes("L", (w, h), bytes(((x * 37 + y * 11) % 256) for y in range(h) for x in range(w))))
    return im


def write_pam(im, path):
    mode = {"L": ("GRAYSCALE", 1), "RGB": ("RGB", 3), "RGBA": ("RGB_ALPHA", 4)}[im.mode]
    with open(path, "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n"
                % (im.width, im.height, mode[1], mode[0].encode()))
        f.write(im.tobytes())


def pil_decode(path, page, mode):
    im = Image.open(path)
    im.seek(page)
    if im.mode == "RGBa":
        im = im.convert("RGBA")
    return im.convert(mode)


def ffmpeg_decode(path, page, mode, size):
    fmt = {"L": "gray", "RGB": "rgb24", "RGBA": "rgba"}[mode]
    # ffmpeg's page option fails here, so the page is split off first
    # (tiffsplit copies the compressed strips as they are).
    run("tiffsplit", path, os.path.join(TMP, "page_"))
    single = os.path.join(TMP, "page_aa%s.tif" % chr(ord("a") + page))
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", single, "-frames:v", "1",
                          "-f", "rawvideo", "-pix_fmt", fmt, "-"], check=True, capture_output=True).stdout
    return Image.frombytes(mode, size, out)


def ffmpeg_decode_tiff_jpeg(path, size):
    """ffmpeg's TIFF decoder gets JPEG strips wrong, so the one strip is
    joined with the JPEGTables into a plain JPEG stream for its JPEG decoder."""
    tiff = Image.open(path)
    tables = tiff.tag_v2[347]
    offset, count = tiff.tag_v2[273][0], tiff.tag_v2[279][0]
    with open(path, "rb") as f:
        f.seek(offset)
        strip = f.read(count)
    joined = os.path.join(TMP, "joined.jpg")
    with open(joined, "wb") as f:
        f.write(tables[:-2] + strip[2:])
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", joined, "-frames:v", "1", "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], check=True, capture_output=True).stdout
    return Image.frombytes("RGB", size, out)


def max_difference(a, b):
    if a.size != b.size:
        return 1 << 30
    worst = 0
    bands = len(a.getbands())
    pa, pb = a.tobytes(), b.tobytes()
    for i in range(0, len(pa), bands):
        # Colour under a fully transparent pixel carries no meaning.
        if bands == 4 and pa[i + 3] == 0 and pb[i + 3] == 0:
            continue
        worst = max(worst, max(abs(pa[i + k] - pb[i + k]) for k in range(bands)))
    return worst


def unpremultiply(im):
    out = []
    for r, g, b, a in im.getdata():
        f = lambda c: min(255, (c * 255 + a // 2) // a) if a else 0
        out.append((f(r), f(g), f(b), a))
    im = im.copy()
    im.putdata(out)
    return im


def reference(name, mode, pages=1, tolerance=0, check_with_ffmpeg=True, ffmpeg_premultiplied=False):
    path = name + ".tif"
    for page in range(pages):
        ref = pil_decode(path, page, mode)
        if check_with_ffmpeg:
            other = ffmpeg_decode(path, page, mode, ref.size)
            if ffmpeg_premultiplied:
                other = unpremultiply(other)
            diff = max_difference(ref, other)
            if diff > tolerance:
                sys.exit("%s page %d: PIL and ffmpeg differ by %d" % (path, page, diff))
        write_pam(ref, "%s.%d.pam" % (name, page) if pages > 1 else name + ".pam")


def main():
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    os.makedirs(TMP, exist_ok=True)
    t = lambda n: os.path.join(TMP, n)

    # Three pages of different sizes and kinds: RGB LZW, grey Deflate, G4 fax.
    rgb_pattern().save(t("p0.tif"), compression="tiff_lzw")
    grey_pattern(20, 12).save(t("p1.tif"), compression="tiff_adobe_deflate")
    bilevel_pattern(33, 10).save(t("p2.tif"), compression="group4")
    run("tiffcp", t("p0.tif"), t("p1.tif"), t("p2.tif"), "multipage.tif")
    for page, mode in ((0, "RGB"), (1, "L"), (2, "L")):
        ref = pil_decode("multipage.tif", page, mode)
        diff = max_difference(ref, ffmpeg_decode("multipage.tif", page, mode, ref.size))
        if diff:
            sys.exit("multipage page %d differs by %d" % (page, diff))
        write_pam(ref, "multipage.%d.pam" % page)

    rgb_pattern().save("rgb_packbits.tif", compression="packbits", dpi=(150, 75))
    reference("rgb_packbits", "RGB")

    # JPEG inside TIFF, YCbCr 4:2:0 as libtiff writes it.
    # Smooth colours, so that decoders' different chroma upsampling stays small.
    smooth = Image.new("RGB", (32, 16))
    smooth.putdata([(40 + x * 5, 60 + y * 8, 200 - (x + y) * 3) for y in range(16) for x in range(32)])
    smooth.save(t("plain.tif"))
    run("tiffcp", "-c", "jpeg:90", t("plain.tif"), "rgb_jpeg.tif")
    reference("rgb_jpeg", "RGB", check_with_ffmpeg=False)
    diff = max_difference(pil_decode("rgb_jpeg.tif", 0, "RGB"), ffmpeg_decode_tiff_jpeg("rgb_jpeg.tif", (32, 16)))
    if diff > 8:
        sys.exit("rgb_jpeg: PIL and ffmpeg differ by %d" % diff)

    # CCITT G3 (2-D) with MinIsWhite from ImageMagick.
    bilevel_pattern(40, 9).save(t("bw.png"))
    run("convert", t("bw.png"), "-compress", "Fax", "-define", "quantum:polarity=min-is-white", "fax_g3.tif")
    reference("fax_g3", "L")

    # 4-bit palette, LZW.
    pal = rgb_pattern(18, 10).quantize(colors=16)
    pal.save(t("pal.png"))
    run("convert", t("pal.png"), "-depth", "4", "-type", "Palette", "-compress", "LZW",
        "-units", "PixelsPerCentimeter", "-density", "40x20", "palette_lzw.tif")
    reference("palette_lzw", "RGB")

    # 16-bit grey, uncompressed.
    g16 = Image.new("I;16", (14, 9))
    g16.putdata([(x * 4700 + y * 1900) % 65536 for y in range(9) for x in range(14)])
    g16.save("grey16.tif")
    # PIL clips 16-bit grey when it converts; scale its 16-bit samples instead.
    samples = Image.open("grey16.tif").getdata()
    ref = Image.new("L", (14, 9))
    ref.putdata([(v * 255 + 32767) // 65535 for v in samples])
    diff = max_difference(ref, ffmpeg_decode("grey16.tif", 0, "L", ref.size))
    if diff > 1:
        sys.exit("grey16: scaled PIL samples and ffmpeg differ by %d" % diff)
    write_pam(ref, "grey16.pam")

    # RGBA with unassociated alpha (Deflate), and associated alpha.
    rgba_pattern().save("rgba_unassoc.tif", compression="tiff_adobe_deflate")
    reference("rgba_unassoc", "RGBA")
    rgba_pattern().save(t("rgba.png"))
    run("convert", t("rgba.png"), "-define", "tiff:alpha=associated", "-compress", "None", "rgba_assoc.tif")
    # Unpremultiplying 8-bit values rounds differently from one decoder to the next.
    reference("rgba_assoc", "RGBA", tolerance=3, ffmpeg_premultiplied=True)

    # Tiles of 16 x 16 over a 40 x 20 page.
    rgb_pattern(40, 20).save(t("big.tif"))
    run("tiffcp", "-t", "-w", "16", "-l", "16", "-c", "lzw", t("big.tif"), "tiled.tif")
    # ffmpeg reads no tiles: the picture tiffcp was given is the second opinion.
    reference("tiled", "RGB", check_with_ffmpeg=False)
    if max_difference(pil_decode("tiled.tif", 0, "RGB"), rgb_pattern(40, 20)):
        sys.exit("tiled: PIL does not give back the tiled picture")

    # Description tags: Artist and the five Windows fields (UCS-2LE bytes).
    info = TiffImagePlugin.ImageFileDirectory_v2()
    info[315] = "Ada Lovelace"
    for tag, text in ((0x9C9B, "Title \u00e9t\u00e9"), (0x9C9C, "A comment"), (0x9C9D, "Author \u4e2d"),
                      (0x9C9E, "one;two"), (0x9C9F, "Subject \U0001F600")):
        info[tag] = (text + "\0").encode("utf-16-le")
        info.tagtype[tag] = TiffTags.BYTE
    grey_pattern(8, 6).save("tags.tif", tiffinfo=info)
    reference("tags", "L")

    for n in os.listdir(TMP):
        os.remove(t(n))
    os.rmdir(TMP)


if __name__ == "__main__":
    main()
