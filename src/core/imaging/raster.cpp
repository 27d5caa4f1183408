#include "imaging/raster.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace loopsmith {

namespace {

// Far beyond any real frame, small enough that every size product stays in
// 64 bits and a hostile header cannot ask for terabytes.
constexpr int64_t kMaxPixels = int64_t{1} << 31;

int bitsPerPixel(TPixelLayout layout) {
    switch (layout) {
        case px1g: return 1;
        case px8p:
        case px8g: return 8;
        case px24RGB: return 24;
        case px48RGB: return 48;
        case pxCMYK:
        case px32f: return 32;
    }
    return 24;
}

uint8_t clampByte(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 255;
    return static_cast<uint8_t>(v * 255.0f + 0.5f);
}

}  // namespace

size_t BytesPerRow(int32_t width, TPixelLayout layout) {
    return (static_cast<size_t>(width) * static_cast<size_t>(bitsPerPixel(layout)) + 7) / 8;
}

void TRaster::Allocate(int32_t width, int32_t height, TPixelLayout layout) {
    if (width < 0 || height < 0 || int64_t{width} * height > kMaxPixels)
        throw std::length_error("raster size out of range");
    m_width = width;
    m_height = height;
    m_layout = layout;
    m_rowBytes = BytesPerRow(width, layout);
    m_pixels.assign(m_rowBytes * static_cast<size_t>(height), 0);
    m_palette.clear();
    m_alpha.reset();
}

void TRaster::Assign(const TRaster& source) {
    m_width = source.m_width;
    m_height = source.m_height;
    m_layout = source.m_layout;
    m_rowBytes = source.m_rowBytes;
    m_pixels = source.m_pixels;
    m_palette = source.m_palette;
    BlackWhiteMethod = source.BlackWhiteMethod;
    m_alpha = source.m_alpha ? std::make_unique<TRaster>(*source.m_alpha) : nullptr;
}

void TRaster::Clear() {
    m_width = m_height = 0;
    m_rowBytes = 0;
    m_pixels.clear();
    m_palette.clear();
    m_alpha.reset();
}

TRaster& TRaster::AlphaChannel() {
    if (!m_alpha) {
        m_alpha = std::make_unique<TRaster>(m_width, m_height, px8g);
        std::fill(m_alpha->m_pixels.begin(), m_alpha->m_pixels.end(), uint8_t{255});
    }
    return *m_alpha;
}

TRGB TRaster::PixelRGB(int32_t x, int32_t y) const {
    const uint8_t* row = Scanline(y);
    switch (m_layout) {
        case px1g: {
            uint8_t v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
            return TRGB{v, v, v};
        }
        case px8p: {
            uint8_t i = row[x];
            return i < m_palette.size() ? m_palette[i] : TRGB{};
        }
        case px8g: return TRGB{row[x], row[x], row[x]};
        case px24RGB: return TRGB{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
        case px48RGB: {
            uint16_t s[3];
            std::memcpy(s, row + 6 * x, 6);
            return MakeRGB(static_cast<uint8_t>(s[0] >> 8), static_cast<uint8_t>(s[1] >> 8),
                           static_cast<uint8_t>(s[2] >> 8));
        }
        case pxCMYK: {
            const uint8_t* p = row + 4 * x;
            int k = 255 - p[3];
            return MakeRGB(static_cast<uint8_t>((255 - p[0]) * k / 255), static_cast<uint8_t>((255 - p[1]) * k / 255),
                           static_cast<uint8_t>((255 - p[2]) * k / 255));
        }
        case px32f: {
            float f;
            std::memcpy(&f, row + 4 * x, 4);
            uint8_t v = clampByte(f);
            return TRGB{v, v, v};
        }
    }
    return TRGB{};
}

void TRaster::SetPixelRGB(int32_t x, int32_t y, TRGB c) {
    uint8_t* row = Scanline(y);
    switch (m_layout) {
        case px1g:
            if (Luminance(c) >= 128) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
            else row[x >> 3] &= static_cast<uint8_t>(~(0x80 >> (x & 7)));
            break;
        case px8g: row[x] = static_cast<uint8_t>(Luminance(c)); break;
        case px24RGB:
            row[3 * x] = c.b;
            row[3 * x + 1] = c.g;
            row[3 * x + 2] = c.r;
            break;
        default: throw std::logic_error("SetPixelRGB: layout not writable");
    }
}

bool TRaster::IsGrayScale() const {
    switch (m_layout) {
        case px8p:
            return std::all_of(m_palette.begin(), m_palette.end(), [](TRGB c) { return c.r == c.g && c.g == c.b; });
        case px24RGB:
            for (int32_t y = 0; y < m_height; ++y) {
                const uint8_t* p = Scanline(y);
                for (int32_t x = 0; x < m_width; ++x, p += 3)
                    if (p[0] != p[1] || p[1] != p[2]) return false;
            }
            return true;
        case px48RGB:
        case pxCMYK:
            for (int32_t y = 0; y < m_height; ++y)
                for (int32_t x = 0; x < m_width; ++x) {
                    TRGB c = PixelRGB(x, y);
                    if (c.r != c.g || c.g != c.b) return false;
                }
            return true;
        default: return true;
    }
}

void TRaster::ConvertTo(TPixelLayout layout) {
    if (layout == m_layout) return;
    TRaster target(m_width, m_height, layout);
    convertInto(target);
    target.m_alpha = std::move(m_alpha);
    target.BlackWhiteMethod = BlackWhiteMethod;
    *this = std::move(target);
}

void TRaster::CopyAndConvert(const TRaster& source) {
    if (source.m_width != m_width || source.m_height != m_height)
        Allocate(source.m_width, source.m_height, m_layout);
    source.convertInto(*this);
}

void TRaster::convertInto(TRaster& target) const {
    const int32_t w = m_width, h = m_height;
    if (w <= 0 || h <= 0) return;
    if (target.m_layout == m_layout) {
        target.m_pixels = m_pixels;
        target.m_palette = m_palette;
        return;
    }
    switch (target.m_layout) {
        case px24RGB:
            for (int32_t y = 0; y < h; ++y) {
                uint8_t* out = target.Scanline(y);
                for (int32_t x = 0; x < w; ++x, out += 3) {
                    TRGB c = PixelRGB(x, y);
                    out[0] = c.b;
                    out[1] = c.g;
                    out[2] = c.r;
                }
            }
            return;
        case px8g:
            for (int32_t y = 0; y < h; ++y) {
                uint8_t* out = target.Scanline(y);
                for (int32_t x = 0; x < w; ++x) out[x] = static_cast<uint8_t>(Luminance(PixelRGB(x, y)));
            }
            return;
        case px1g: {
            // Threshold at the mean luminance: strictly brighter pixels are white.
            int64_t sum = 0;
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) sum += Luminance(PixelRGB(x, y));
            int64_t count = int64_t{w} * h;
            int64_t mean = count > 0 ? sum / count : 0;
            for (int32_t y = 0; y < h; ++y) {
                uint8_t* out = target.Scanline(y);
                std::memset(out, 0, target.m_rowBytes);
                for (int32_t x = 0; x < w; ++x)
                    if (Luminance(PixelRGB(x, y)) > mean) out[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
            }
            return;
        }
        case px8p: {
            // Grey sources keep their levels; colour sources get a 3-3-2 cube.
            bool grey = m_layout == px8g || m_layout == px1g || m_layout == px32f;
            target.m_palette.resize(256);
            for (int i = 0; i < 256; ++i)
                target.m_palette[i] = grey ? TRGB{uint8_t(i), uint8_t(i), uint8_t(i)}
                                           : MakeRGB(uint8_t((i >> 5) * 255 / 7), uint8_t(((i >> 2) & 7) * 255 / 7),
                                                     uint8_t((i & 3) * 255 / 3));
            for (int32_t y = 0; y < h; ++y) {
                uint8_t* out = target.Scanline(y);
                for (int32_t x = 0; x < w; ++x) {
                    TRGB c = PixelRGB(x, y);
                    out[x] = grey ? c.r : static_cast<uint8_t>((c.r >> 5) << 5 | (c.g >> 5) << 2 | (c.b >> 6));
                }
            }
            return;
        }
        default: throw std::logic_error("conversion to a source-only layout");
    }
}

}  // namespace loopsmith
