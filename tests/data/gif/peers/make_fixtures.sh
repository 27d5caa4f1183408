#!/usr/bin/env bash
# Remakes the GIF fixtures in this folder with peer tools (gifsicle,
# ImageMagick, ffmpeg, Pillow) and their reference frames. Run by hand:
#   bash tests/data/gif/peers/make_fixtures.sh
# The tests only read what this leaves behind; they never run it.
#
# Reference frames come from ImageMagick's -coalesce: frame n fully composed,
# disposal 2 clears to transparent, disposal 3 restores what lay under the
# image. Three adjustments make its output mean what GIF89a means:
#  - -alpha set before -coalesce: without it a file with no transparent
#    colour gets an opaque black fresh screen; with it the screen starts
#    transparent.
#  - A single-image file is expected as the image at its own size, so its
#    reference is the raw frame (-coalesce would place it on the screen).
#  - The reference is read from a twin file with an explicit control block
#    on every image (see explicit.py below).
# Pillow decodes every fixture as a cross-check; what it prints is not stored.
# Pillow 9.4 differs in three known ways: it shows the fresh screen and
# disposal 2 as the opaque background colour when the file has no
# transparent colour, it does not restore the screen for disposal 3 on the
# first image, and it lets an image without a control block inherit the
# previous disposal (as ImageMagick does).
#
# For each NAME.gif:
#   NAME.ref       "LSREF1 width height frames colours\n", then colours x RGBA
#                  bytes, then width*height*frames palette indices (frame
#                  after frame, rows from the top). Fully transparent pixels
#                  are stored as 0,0,0,0: their colour is not compared.
#   NAME.comments  (optional) the comments the file carries, one a line.
set -euo pipefail
cd "$(dirname "$0")"
PY=${PYTHON:-/usr/bin/python3}
for tool in convert identify gifsicle ffmpeg; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
"$PY" -c 'import PIL' || { echo "missing: Python PIL" >&2; exit 1; }

# Differing background colours of the inputs are expected here.
gifsicle() { command gifsicle --no-warnings "$@"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -f ./*.gif ./*.ref ./*.comments

# A W x H block of BASE with an ACCENT top-left quarter and a black
# bottom-right pixel, so a misplaced or mirrored image shows.
block() { # name w h base accent
    convert -size "${2}x${3}" "xc:$4" -fill "$5" -draw "rectangle 0,0 $(($2 / 2 - 1)),$(($3 / 2 - 1))" \
        -fill black -draw "point $(($2 - 1)),$(($3 - 1))" "$work/$1.gif"
}

# ---------------------------------------------------------------- gifsicle
block base 20 16 '#2040c0' '#40e0e0'
block red 10 8 '#e02020' '#ffa0a0'
block lime 8 8 '#20c020' '#e0ff40'
block yellow 6 6 '#f0e000' '#806000'
block violet 8 6 '#8020c0' '#ff80ff'
block small 4 4 '#ff8000' '#ffffff'

# Disposal 2 leaves a transparent hole where the image was; frame 0 does
# not cover the screen, so the fresh (transparent) screen shows too.
gifsicle --logical-screen 32x24 \
    --disposal=none --position 0,0 "$work/base.gif" \
    --disposal=background --position 4,4 "$work/red.gif" \
    --disposal=background --position 12,6 "$work/lime.gif" \
    --disposal=none --position 2,2 "$work/yellow.gif" \
    --disposal=none --position 22,16 "$work/lime.gif" \
    >disposal_background_gifsicle.gif

# Disposal 3 puts back what lay under the image, including overlapping
# images and the transparent screen outside frame 0.
gifsicle --logical-screen 32x24 \
    --disposal=none --position 0,0 "$work/base.gif" \
    --disposal=previous --position 4,4 "$work/red.gif" \
    --disposal=previous --position 8,6 "$work/lime.gif" \
    --disposal=none --position 16,12 "$work/yellow.gif" \
    --disposal=previous --position 18,14 "$work/red.gif" \
    --disposal=none --position 0,0 "$work/small.gif" \
    >disposal_previous_gifsicle.gif

# Frame 0 restored to the fresh screen: later frames see only transparency.
gifsicle --logical-screen 16x16 \
    --disposal=previous --position 0,0 "$work/violet.gif" \
    --disposal=background --position 4,4 "$work/small.gif" \
    --disposal=none --position 8,8 "$work/yellow.gif" \
    >disposal_previous_first_gifsicle.gif

# Magenta made transparent by gifsicle: the images show through each other.
convert -size 16x12 xc:'#ff00ff' -fill '#00a0ff' -draw 'circle 7,5 7,1' -fill black -draw 'point 15,11' "$work/ring.gif"
convert -size 10x10 xc:'#ff00ff' -fill '#ffd000' -draw 'rectangle 2,0 7,9' -fill '#ff00ff' -draw 'rectangle 4,3 5,6' "$work/bar.gif"
gifsicle --logical-screen 28x20 -t '#ff00ff' \
    --position 0,0 "$work/ring.gif" \
    --position 6,4 "$work/bar.gif" \
    --position 12,8 "$work/ring.gif" \
    --position 18,10 "$work/bar.gif" \
    >transparency_gifsicle.gif

# Interlaced images of heights 19, 5, 1, 2 and 3: every pass, and passes
# with no rows at all.
convert -size 20x19 gradient:'#ff8000-#000080' -colors 16 "$work/grad.gif"
block i5 7 5 '#00c0a0' '#004020'
convert -size 5x1 xc:'#ff0000' -fill '#00ff00' -draw 'point 2,0' "$work/i1.gif"
block i2 3 2 '#ffff00' '#0000ff'
block i3 4 3 '#c0c0c0' '#ff0080'
gifsicle -i \
    "$work/grad.gif" \
    --position 3,2 "$work/i5.gif" \
    --position 10,17 "$work/i1.gif" \
    --position 17,0 "$work/i2.gif" \
    --position 0,16 "$work/i3.gif" \
    >interlaced_gifsicle.gif

# Comments before the first and the third image.
gifsicle --comment "made by gifsicle" "$work/base.gif" >"$work/c0.gif"
gifsicle --comment "second comment: frames & offsets" --position 5,3 "$work/red.gif" >"$work/c2.gif"
gifsicle "$work/c0.gif" --position 2,2 "$work/lime.gif" "$work/c2.gif" >comments_gifsicle.gif
printf '%s\n' "made by gifsicle" "second comment: frames & offsets" >comments_gifsicle.comments

# gifsicle's strongest optimisation of a full-frame animation: changed
# sub-rectangles, transparency and reused colours.
for i in 0 1 2 3 4; do
    convert -size 32x24 gradient:'#103060-#60a0ff' -fill '#ff4000' -draw "rectangle $((i * 5)),$((2 + i * 3)) $((i * 5 + 7)),$((8 + i * 3))" \
        -fill white -draw "circle $((28 - i * 4)),6 $((28 - i * 4)),3" -colors 64 "$work/scene$i.gif"
done
gifsicle -O3 "$work"/scene{0,1,2,3,4}.gif >optimized_gifsicle.gif

# Black-and-white images (a two-entry table of black then white), the
# second with white transparent, on a screen frame 0 does not cover.
convert -size 16x12 xc:white -fill black -draw 'rectangle 0,0 5,3' -draw 'line 9,0 9,11' -draw 'point 15,11' -type bilevel "$work/bw0.gif"
convert -size 8x8 xc:white -fill black -draw 'rectangle 1,1 3,6' -draw 'point 7,7' -type bilevel "$work/bw1.gif"
gifsicle --logical-screen 20x16 "$work/bw0.gif" -t '#ffffff' --position 10,6 "$work/bw1.gif" >black_white_gifsicle.gif

# One image at an offset on a larger screen, with transparency.
gifsicle --logical-screen 32x32 -t '#ff00ff' --position 5,3 "$work/ring.gif" >single_image_gifsicle.gif

# ------------------------------------------------------------- ImageMagick
# Offsets from -page, images touching the right and bottom edges.
block m0 24 18 '#406020' '#c0ff80'
block m1 9 7 '#ff4080' '#400010'
block m2 5 11 '#2080ff' '#ffffff'
convert -dispose none -page 24x18+0+0 "$work/m0.gif" -page 24x18+15+11 "$work/m1.gif" \
    -page 24x18+19+0 "$work/m2.gif" -page 24x18+0+11 "$work/m1.gif" offsets_imagemagick.gif

# ImageMagick's own interlaced writer, with offsets and transparency.
convert -dispose none -page 24x18+0+0 "$work/m0.gif" \
    \( "$work/ring.gif" -transparent '#ff00ff' -repage 24x18+4+3 \) \
    -page 24x18+11+5 "$work/m2.gif" -interlace GIF interlaced_imagemagick.gif

# ImageMagick's layer optimisation picks disposals and transparency itself.
for i in 0 1 2 3; do
    convert -size 24x16 xc:none -fill '#e04000' -draw "rectangle $((i * 5)),4 $((i * 5 + 6)),11" \
        -fill '#0040e0' -draw "rectangle 20,$((i * 3)) 23,$((i * 3 + 3))" "$work/layer$i.png"
done
convert -dispose background "$work"/layer{0,1,2,3}.png -layers Optimize optimized_imagemagick.gif

# ----------------------------------------------------------------- ffmpeg
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=s=32x24:r=5 -frames:v 5 -y ffmpeg_testsrc2.gif
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=s=32x24:r=5:d=1 -frames:v 5 \
    -filter_complex '[0]split[a][b];[a]palettegen=max_colors=32:stats_mode=diff[p];[b][p]paletteuse=diff_mode=rectangle' \
    -y ffmpeg_paletteuse.gif

# ----------------------------------------------------------------- Pillow
"$PY" - <<'PYEOF'
from PIL import Image

def stripes(w, h, colours, shift):
    im = Image.new("P", (w, h))
    pal = []
    for c in colours:
        pal += list(c)
    im.putpalette(pal)
    im.putdata([((x + y + shift) // 3) % len(colours) for y in range(h) for x in range(w)])
    return im

# Three images, each with its own colour table.
frames = [
    stripes(24, 16, [(255, 0, 0), (255, 128, 0), (255, 255, 0), (128, 0, 0)], 0),
    stripes(24, 16, [(0, 0, 255), (0, 200, 255), (0, 90, 40), (250, 250, 250), (30, 30, 30)], 1),
    stripes(24, 16, [(90, 0, 160), (200, 120, 255), (10, 10, 10)], 2),
]
frames[0].save("local_palettes_pil.gif", save_all=True, append_images=frames[1:], duration=100, loop=0, optimize=False)

# Transparency from Pillow: index 0 is transparent in every image; the
# first image leaves part of the screen transparent.
def shape(w, h, fn):
    im = Image.new("P", (w, h))
    im.putpalette([0, 0, 0, 240, 40, 40, 40, 200, 40, 40, 40, 240, 250, 250, 250])
    im.putdata([fn(x, y) for y in range(h) for x in range(w)])
    return im

t = [
    shape(20, 14, lambda x, y: 1 if (x - 9) ** 2 + (y - 6) ** 2 < 30 else 0),
    shape(20, 14, lambda x, y: 2 if 4 <= x < 10 else 0),
    shape(20, 14, lambda x, y: 3 if y in (2, 3, 10) else 0),
    shape(20, 14, lambda x, y: 4 if x == y else 0),
]
t[0].save("transparency_pil.gif", save_all=True, append_images=t[1:], transparency=0, disposal=1,
          duration=100, loop=0, optimize=False)
PYEOF

# -------------------------------------------------------- reference frames
cat >"$work/ref.py" <<'PYEOF'
import sys
from PIL import Image, ImageSequence

name, width, height, frames, work, mode = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], sys.argv[6]
size = width * height * 4

def norm(px):
    return px if px[3] else (0, 0, 0, 0)

ref = []
for n in range(frames):
    data = open(f"{work}/{name}-{n}.rgba", "rb").read()
    assert len(data) == size, (name, n, len(data))
    ref.append([norm(tuple(data[i:i + 4])) for i in range(0, size, 4)])

colours = sorted({px for f in ref for px in f})
assert len(colours) <= 256, (name, len(colours))
index = {c: i for i, c in enumerate(colours)}
with open(f"{name}.ref", "wb") as out:
    out.write(f"LSREF1 {width} {height} {frames} {len(colours)}\n".encode())
    out.write(bytes(v for c in colours for v in c))
    out.write(bytes(index[px] for f in ref for px in f))

# Cross-check with Pillow, compared the way the tests compare.
im = Image.open(f"{name}.gif")
notes = []
# The iterator hands out one object that each seek overwrites.
pil_frames = [(frame.tile, frame.convert("RGBA")) for frame in ImageSequence.Iterator(im)]
if len(pil_frames) != frames:
    notes.append(f"{len(pil_frames)} frames")
for n, (tile, rgba) in enumerate(pil_frames[:frames]):
    if mode == "single" and tile:
        rgba = rgba.crop(tile[0][1])
    if rgba.size != (width, height):
        notes.append(f"frame {n}: size {rgba.size}")
        continue
    pil = [norm(px) for px in rgba.getdata()]
    bad = [i for i in range(width * height) if pil[i][3] != ref[n][i][3] or (pil[i][3] and pil[i] != ref[n][i])]
    if bad:
        i = bad[0]
        notes.append(f"frame {n}: {len(bad)} pixels differ, first ({i % width},{i // width}) "
                     f"ImageMagick {ref[n][i]} Pillow {pil[i]}")
print(f"{name}: {width}x{height}, {frames} frames, {len(colours)} colours; Pillow "
      + ("agrees" if not notes else "differs: " + "; ".join(notes)))
PYEOF

# ImageMagick 6.9 and Pillow 9.4 both let an image without a graphic
# control block inherit the disposal of the previous one; GIF89a scopes a
# control block to the next image only. The reference is therefore taken
# from a twin file in which every such image gets an explicit control block
# (disposal 0, no transparency, delay 0); nothing else differs.
cat >"$work/explicit.py" <<'PYEOF'
import sys

data = open(sys.argv[1], "rb").read()
out = bytearray(data[:13])
pos = 13
if data[10] & 0x80:
    out += data[13:13 + 3 * (2 << (data[10] & 7))]
    pos = len(out)

def sub_blocks(p):
    while data[p]:
        p += data[p] + 1
    return p + 1

controlled = False
while pos < len(data):
    kind = data[pos]
    if kind == 0x21:
        end = sub_blocks(pos + 2)
        controlled = controlled or data[pos + 1] == 0xF9
    elif kind == 0x2C:
        packed = data[pos + 9]
        end = pos + 10 + (3 * (2 << (packed & 7)) if packed & 0x80 else 0)
        end = sub_blocks(end + 1)
        if not controlled:
            out += bytes([0x21, 0xF9, 4, 0, 0, 0, 0, 0])
        controlled = False
    else:
        out += data[pos:]
        break
    out += data[pos:end]
    pos = end
open(sys.argv[2], "wb").write(out)
PYEOF

reference() { # name [single]
    local gif=$work/$1.gif mode=${2:-animation} frames size
    "$PY" "$work/explicit.py" "$1.gif" "$gif"
    frames=$(identify -format '%n\n' "$gif" | head -n 1)
    if [[ $mode == single ]]; then
        size=$(identify -format '%w %h\n' "$gif" | head -n 1)
        convert "$gif" +repage -depth 8 +adjoin "rgba:$work/$1-%d.rgba"
    else
        size=$(convert "$gif" -alpha set -coalesce -format '%w %h\n' info: | head -n 1)
        convert "$gif" -alpha set -coalesce +repage -depth 8 +adjoin "rgba:$work/$1-%d.rgba"
    fi
    # shellcheck disable=SC2086
    "$PY" "$work/ref.py" "$1" $size "$frames" "$work" "$mode"
}

for gif in *.gif; do
    name=${gif%.gif}
    if [[ $(identify -format '%n\n' "$gif" | head -n 1) == 1 ]]; then reference "$name" single
    else reference "$name"; fi
done
du -cb ./*.gif ./*.ref ./*.comments | tail -n 1
