#!/usr/bin/python3
# Makes the sample frames the README's first command exports: a ball
# crossing a sky, as small PNG files. Run by hand; the PNGs are committed.
import math
from PIL import Image, ImageDraw

W, H = 160, 120
for k in range(8):
    im = Image.new("RGB", (W, H))
    draw = ImageDraw.Draw(im)
    for y in range(H):
        t = y / H
        draw.line([(0, y), (W, y)], fill=(int(40 + 120 * t), int(90 + 100 * t), int(200 - 60 * t)))
    draw.rectangle([0, 96, W, H], fill=(60, 140, 60))
    x = 20 + k * 17
    y = 80 - int(55 * math.sin(math.pi * k / 7))
    draw.ellipse([x - 12, y - 12, x + 12, y + 12], fill=(240, 200, 40), outline=(180, 90, 20))
    im.save("frame%d.png" % k, optimize=True)
