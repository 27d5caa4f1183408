#include "imaging/thumbnail.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace loopsmith {

namespace {

int64_t roundedDiv(int64_t num, int64_t den) { return (2 * num + den) / (2 * den); }

bool isDisplayLayout(TPixelLayout layout) {
    return layout == px1g || layout == px8p || layout == px8g || layout == px24RGB;
}

// Source pixel s covers [s * dstLen, (s + 1) * dstLen) and target pixel d
// covers [d * srcLen, (d + 1) * srcLen) on a common integer axis, so every
// overlap is an exact integer weight and each target's weights sum to srcLen.
struct TAxisWeights {
    std::vector<int32_t> First;   // first source pixel of each target pixel
    std::vector<int32_t> Offset;  // start of its weights; one extra at the end
    std::vector<uint32_t> Weight;
};

TAxisWeights buildAxisWeights(int32_t srcLen, int32_t dstLen) {
    TAxisWeights a;
    a.First.resize(static_cast<size_t>(dstLen));
    a.Offset.resize(static_cast<size_t>(dstLen) + 1);
    for (int32_t d = 0; d < dstLen; ++d) {
        const int64_t lo = int64_t{d} * srcLen, hi = lo + srcLen;
        const auto first = static_cast<int32_t>(lo / dstLen);
        const auto last = static_cast<int32_t>((hi - 1) / dstLen);
        a.First[d] = first;
        a.Offset[d] = static_cast<int32_t>(a.Weight.size());
        for (int32_t s = first; s <= last; ++s) {
            const int64_t sLo = int64_t{s} * dstLen, sHi = sLo + dstLen;
            a.Weight.push_back(static_cast<uint32_t>(std::min(sHi, hi) - std::max(sLo, lo)));
        }
    }
    a.Offset[dstLen] = static_cast<int32_t>(a.Weight.size());
    return a;
}

// One source row as blue, green, red bytes.
void decodeRow(const TRaster& src, int32_t y, uint8_t* bgr) {
    const int32_t w = src.Width();
    const uint8_t* row = src.Scanline(y);
    switch (src.PixelLayout()) {
        case px24RGB: std::memcpy(bgr, row, static_cast<size_t>(w) * 3); return;
        case px8g:
            for (int32_t x = 0; x < w; ++x, bgr += 3) bgr[0] = bgr[1] = bgr[2] = row[x];
            return;
        case px1g:
            for (int32_t x = 0; x < w; ++x, bgr += 3)
                bgr[0] = bgr[1] = bgr[2] = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
            return;
        case px8p: {
            const auto& pal = src.Palette();
            for (int32_t x = 0; x < w; ++x, bgr += 3) {
                const TRGB c = row[x] < pal.size() ? pal[row[x]] : TRGB{};
                bgr[0] = c.b;
                bgr[1] = c.g;
                bgr[2] = c.r;
            }
            return;
        }
        default:
            for (int32_t x = 0; x < w; ++x, bgr += 3) {
                const TRGB c = src.PixelRGB(x, y);
                bgr[0] = c.b;
                bgr[1] = c.g;
                bgr[2] = c.r;
            }
            return;
    }
}

// Per target pixel: plain sums of blue, green, red, then (with alpha)
// alpha-weighted sums of the three and the alpha sum.
class TReducer {
public:
    TReducer(const TRaster& src, int32_t dw, int32_t dh, const TRaster* alpha)
        : m_src(src), m_alpha(alpha), m_channels(alpha ? 7 : 3), m_x(buildAxisWeights(src.Width(), dw)),
          m_y(buildAxisWeights(src.Height(), dh)), m_bgr(static_cast<size_t>(src.Width()) * 3),
          m_rowSums(static_cast<size_t>(dw) * m_channels), m_sums(m_rowSums.size()) {}

    void reduceInto(TRaster& dst) {
        for (int32_t dy = 0; dy < dst.Height(); ++dy) {
            std::fill(m_sums.begin(), m_sums.end(), uint64_t{0});
            const int32_t first = m_y.First[dy];
            for (int32_t k = m_y.Offset[dy]; k < m_y.Offset[dy + 1]; ++k) {
                reduceSourceRow(first + (k - m_y.Offset[dy]));
                const uint64_t wy = m_y.Weight[k];
                for (size_t i = 0; i < m_sums.size(); ++i) m_sums[i] += m_rowSums[i] * wy;
            }
            writeRow(dst, dy);
        }
    }

private:
    void reduceSourceRow(int32_t sy) {
        decodeRow(m_src, sy, m_bgr.data());
        const uint8_t* a = m_alpha ? m_alpha->Scanline(sy) : nullptr;
        std::fill(m_rowSums.begin(), m_rowSums.end(), uint64_t{0});
        const auto dw = static_cast<int32_t>(m_x.First.size());
        for (int32_t dx = 0; dx < dw; ++dx) {
            uint64_t* out = &m_rowSums[static_cast<size_t>(dx) * m_channels];
            int32_t sx = m_x.First[dx];
            for (int32_t k = m_x.Offset[dx]; k < m_x.Offset[dx + 1]; ++k, ++sx) {
                const uint64_t wx = m_x.Weight[k];
                const uint8_t* p = &m_bgr[static_cast<size_t>(sx) * 3];
                for (int c = 0; c < 3; ++c) out[c] += p[c] * wx;
                if (a) {
                    const uint64_t aw = a[sx] * wx;
                    for (int c = 0; c < 3; ++c) out[3 + c] += p[c] * aw;
                    out[6] += aw;
                }
            }
        }
    }

    void writeRow(TRaster& dst, int32_t dy) {
        const uint64_t area = static_cast<uint64_t>(m_src.Width()) * static_cast<uint64_t>(m_src.Height());
        uint8_t* out = dst.Scanline(dy);
        uint8_t* outAlpha = m_alpha ? dst.AlphaChannel().Scanline(dy) : nullptr;
        for (int32_t dx = 0; dx < dst.Width(); ++dx, out += 3) {
            const uint64_t* s = &m_sums[static_cast<size_t>(dx) * m_channels];
            const uint64_t alphaSum = outAlpha ? s[6] : 0;
            for (int c = 0; c < 3; ++c) {
                // A wholly transparent area has no visible colour to keep; fall
                // back to the plain average.
                out[c] = alphaSum > 0 ? static_cast<uint8_t>((s[3 + c] + alphaSum / 2) / alphaSum)
                                      : static_cast<uint8_t>((s[c] + area / 2) / area);
            }
            if (outAlpha) outAlpha[dx] = static_cast<uint8_t>((alphaSum + area / 2) / area);
        }
    }

    const TRaster& m_src;
    const TRaster* m_alpha;
    const size_t m_channels;
    TAxisWeights m_x, m_y;
    std::vector<uint8_t> m_bgr;
    std::vector<uint64_t> m_rowSums;
    std::vector<uint64_t> m_sums;
};

// A plane that does not match its image cannot be trusted pixel for pixel.
const TRaster* usableAlpha(const TRaster& src) {
    const TRaster* a = src.AlphaPlane();
    if (!a || a->PixelLayout() != px8g || a->Width() != src.Width() || a->Height() != src.Height()) return nullptr;
    return a;
}

bool fullyOpaque(const TRaster& alpha) {
    for (int32_t y = 0; y < alpha.Height(); ++y) {
        const uint8_t* row = alpha.Scanline(y);
        if (!std::all_of(row, row + alpha.Width(), [](uint8_t a) { return a == 255; })) return false;
    }
    return true;
}

}  // namespace

TThumbnailSize FitIntoBox(int32_t width, int32_t height, int32_t boxWidth, int32_t boxHeight) {
    if (width <= 0 || height <= 0) return {};
    const int32_t bw = std::max(boxWidth, 1), bh = std::max(boxHeight, 1);
    if (width <= bw && height <= bh) return {width, height};
    // Whichever side is further over the box sets the scale.
    if (int64_t{width} * bh >= int64_t{height} * bw) {
        const int64_t h = roundedDiv(int64_t{height} * bw, width);
        return {bw, static_cast<int32_t>(std::clamp<int64_t>(h, 1, bh))};
    }
    const int64_t w = roundedDiv(int64_t{width} * bh, height);
    return {static_cast<int32_t>(std::clamp<int64_t>(w, 1, bw)), bh};
}

TRaster MakeThumbnail(const TRaster& source, int32_t boxWidth, int32_t boxHeight) {
    if (source.IsEmpty()) return {};
    const TThumbnailSize size = FitIntoBox(source.Width(), source.Height(), boxWidth, boxHeight);
    if (size.Width == source.Width() && size.Height == source.Height()) {
        TRaster copy(source);
        if (!isDisplayLayout(copy.PixelLayout())) copy.ConvertTo(px24RGB);
        return copy;
    }
    TRaster thumb(size.Width, size.Height, px24RGB);
    const TRaster* alpha = usableAlpha(source);
    // An opaque plane (a composed GIF frame, say) needs no weighting.
    if (alpha && fullyOpaque(*alpha)) {
        thumb.AlphaChannel();
        alpha = nullptr;
    }
    TReducer(source, size.Width, size.Height, alpha).reduceInto(thumb);
    return thumb;
}

}  // namespace loopsmith
