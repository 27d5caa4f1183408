// Canvas resize with alignment and fill, and alpha flattening.

#include <algorithm>
#include <cstring>

#include "imaging/image_proc.h"

namespace loopsmith {

namespace {

// Old column (or row) that lands on new column 0: positive when cropping,
// negative when margins come before the old content. Centre puts the odd
// pixel of a difference on the right / bottom either way.
int32_t sourceOffset(int32_t oldSize, int32_t newSize, int align) {
    const int32_t d = newSize < oldSize ? oldSize - newSize : newSize - oldSize;
    const int32_t shift = align == 1 ? d / 2 : align == 2 ? d : 0;
    return newSize < oldSize ? shift : -shift;
}

bool whiteBit(TRGB background) { return Luminance(background) >= 128; }

// One pixel of fill as it sits in a row: bgr for 24-bit, the packed
// colour's low byte (blue) for the 8-bit layouts.
struct FillValue {
    uint8_t bytes[3];
    int size;
};

FillValue colourFill(TPixelLayout layout, TRGB background) {
    if (layout == px24RGB) return {{background.b, background.g, background.r}, 3};
    if (layout == px1g) return {{static_cast<uint8_t>(whiteBit(background) ? 1 : 0), 0, 0}, 0};
    return {{background.b, 0, 0}, 1};
}

void setBit(uint8_t* row, int32_t x, bool on) {
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
    if (on) row[x >> 3] |= mask;
    else row[x >> 3] &= static_cast<uint8_t>(~mask);
}

void fillRow(uint8_t* row, int32_t width, const FillValue& fill) {
    if (fill.size == 0) {
        for (int32_t x = 0; x < width; ++x) setBit(row, x, fill.bytes[0] != 0);
    } else if (fill.size == 1) {
        std::memset(row, fill.bytes[0], static_cast<size_t>(width));
    } else {
        for (int32_t x = 0; x < width; ++x, row += 3) std::memcpy(row, fill.bytes, 3);
    }
}

void fillRaster(TRaster& image, const FillValue& fill) {
    for (int32_t y = 0; y < image.Height(); ++y) fillRow(image.Scanline(y), image.Width(), fill);
}

// A newWidth x newHeight copy of `old` shifted by the offsets, fill outside.
// Ranges come from `old`'s own size, so a mismatched plane cannot be overrun.
TRaster changeCanvas(const TRaster& old, int32_t nw, int32_t nh, int32_t offX, int32_t offY, const FillValue& fill) {
    TRaster out(nw, nh, old.PixelLayout());
    out.Palette() = old.Palette();
    out.BlackWhiteMethod = old.BlackWhiteMethod;
    fillRaster(out, fill);
    const int32_t x0 = std::max(0, -offX), x1 = std::min(nw, old.Width() - offX);
    const int32_t y0 = std::max(0, -offY), y1 = std::min(nh, old.Height() - offY);
    for (int32_t y = y0; y < y1; ++y) {
        const uint8_t* in = old.Scanline(y + offY);
        uint8_t* row = out.Scanline(y);
        if (fill.size == 0) {
            for (int32_t x = x0; x < x1; ++x) {
                const int32_t sx = x + offX;
                setBit(row, x, (in[sx >> 3] & (0x80 >> (sx & 7))) != 0);
            }
        } else if (x1 > x0) {
            const size_t bpp = static_cast<size_t>(fill.size);
            std::memcpy(row + static_cast<size_t>(x0) * bpp, in + static_cast<size_t>(x0 + offX) * bpp,
                        static_cast<size_t>(x1 - x0) * bpp);
        }
    }
    return out;
}

bool isWorkingLayout(TPixelLayout layout) {
    return layout == px1g || layout == px8p || layout == px8g || layout == px24RGB;
}

inline int blend(int c, int g, int a) { return g + (((c - g) * a * 1024) >> 18); }

}  // namespace

void ResizeCanvas(TRaster& image, int32_t newWidth, int32_t newHeight, THorizontalAlign horizontal,
                  TVerticalAlign vertical, TRGB background, uint8_t fillAlpha) {
    if (image.IsEmpty() || newWidth <= 0 || newHeight <= 0) return;
    if (newWidth == image.Width() && newHeight == image.Height()) return;
    // Everything is built aside and swapped in at the end, so a failed
    // allocation leaves the image as it was.
    TRaster converted;
    const TRaster* source = &image;
    if (!isWorkingLayout(image.PixelLayout())) {  // source-only layouts have no fill rule
        converted = TRaster(image.Width(), image.Height(), px24RGB);
        converted.CopyAndConvert(image);
        source = &converted;
    }
    const FillValue fill = colourFill(source->PixelLayout(), background);
    const int32_t offX = sourceOffset(image.Width(), newWidth, horizontal);
    const int32_t offY = sourceOffset(image.Height(), newHeight, vertical);
    TRaster result = changeCanvas(*source, newWidth, newHeight, offX, offY, fill);
    // A 1 x 1 image is filled with the background before the change.
    if (image.Width() < 2 && image.Height() < 2) fillRaster(result, fill);

    const TRaster* alpha = image.AlphaPlane();
    TRaster opaque;
    if (!alpha && fillAlpha < 255) {
        opaque = TRaster(image.Width(), image.Height(), px8g);
        fillRaster(opaque, FillValue{{255, 0, 0}, 1});
        alpha = &opaque;
    }
    if (alpha)
        result.AlphaChannel() = changeCanvas(*alpha, newWidth, newHeight, offX, offY, FillValue{{fillAlpha, 0, 0}, 1});
    image = std::move(result);
}

void FlattenAlphaChannel(TRaster& image, TRGB background) {
    const TRaster* alpha = image.AlphaPlane();
    if (!alpha) return;
    const int32_t w = std::min(image.Width(), alpha->Width());
    const int32_t h = std::min(image.Height(), alpha->Height());
    const int grey = image.PixelLayout() == px1g ? (whiteBit(background) ? 255 : 0) : background.b;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* a = alpha->Scanline(y);
        uint8_t* p = image.Scanline(y);
        switch (image.PixelLayout()) {
            case px24RGB:
                for (int32_t x = 0; x < w; ++x, p += 3) {
                    p[0] = static_cast<uint8_t>(blend(p[0], background.b, a[x]));
                    p[1] = static_cast<uint8_t>(blend(p[1], background.g, a[x]));
                    p[2] = static_cast<uint8_t>(blend(p[2], background.r, a[x]));
                }
                break;
            case px8g:
                for (int32_t x = 0; x < w; ++x) p[x] = static_cast<uint8_t>(blend(p[x], grey, a[x]));
                break;
            case px1g:
                for (int32_t x = 0; x < w; ++x) {
                    const int c = (p[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
                    setBit(p, x, blend(c, grey, a[x]) >= 128);
                }
                break;
            default:
                // A palette cannot take blended colours; the plane just goes.
                break;
        }
    }
    image.RemoveAlphaChannel();
}

}  // namespace loopsmith
