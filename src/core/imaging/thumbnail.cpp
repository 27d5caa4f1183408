#include "imaging/thumbnail.h"

#include <algorithm>
#include <cstdint>
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
// Only the two end pixels of a span can be cut; the ones between weigh
// dstLen each, so they are summed plainly and multiplied once.
struct TSpan {
    int32_t First = 0;
    int32_t Last = 0;
    uint32_t FirstWeight = 0;
    uint32_t LastWeight = 0;  // 0 when First == Last
};

std::vector<TSpan> buildSpans(int32_t srcLen, int32_t dstLen) {
    std::vector<TSpan> spans(static_cast<size_t>(dstLen));
    for (int32_t d = 0; d < dstLen; ++d) {
        const int64_t lo = int64_t{d} * srcLen, hi = lo + srcLen;
        TSpan& span = spans[static_cast<size_t>(d)];
        span.First = static_cast<int32_t>(lo / dstLen);
        span.Last = static_cast<int32_t>((hi - 1) / dstLen);
        span.FirstWeight = static_cast<uint32_t>(std::min(int64_t{span.First + 1} * dstLen, hi) - lo);
        if (span.Last > span.First) span.LastWeight = static_cast<uint32_t>(hi - int64_t{span.Last} * dstLen);
    }
    return spans;
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

// Source rows as the samples the reducer sums: blue, green, red, then (with
// alpha) blue, green and red times alpha, and alpha. A px24RGB row without
// alpha is read in place; others are built once per row, which the last
// span's end row and the next span's first row share.
class TRowSamples {
public:
    TRowSamples(const TRaster& src, const TRaster* alpha)
        : m_src(src), m_alpha(alpha), m_bgr(static_cast<size_t>(src.Width()) * 3) {
        if (alpha) m_weighted.resize(static_cast<size_t>(src.Width()) * 7);
    }

    const uint8_t* Plain(int32_t y) {
        if (m_src.PixelLayout() == px24RGB) return m_src.Scanline(y);
        decodeOnce(y);
        return m_bgr.data();
    }

    const uint16_t* Weighted(int32_t y) {
        if (y == m_weightedRow) return m_weighted.data();
        decodeOnce(y);
        const uint8_t* a = m_alpha->Scanline(y);
        uint16_t* out = m_weighted.data();
        for (int32_t x = 0; x < m_src.Width(); ++x, out += 7) {
            const uint8_t* p = &m_bgr[static_cast<size_t>(x) * 3];
            for (int c = 0; c < 3; ++c) {
                out[c] = p[c];
                out[3 + c] = static_cast<uint16_t>(p[c] * a[x]);
            }
            out[6] = a[x];
        }
        m_weightedRow = y;
        return m_weighted.data();
    }

private:
    void decodeOnce(int32_t y) {
        if (y == m_decodedRow) return;
        decodeRow(m_src, y, m_bgr.data());
        m_decodedRow = y;
    }

    const TRaster& m_src;
    const TRaster* m_alpha;
    std::vector<uint8_t> m_bgr;
    std::vector<uint16_t> m_weighted;
    int32_t m_decodedRow = -1;
    int32_t m_weightedRow = -1;
};

// Area averaging, columns first: the rows of one target row are summed into
// one line of per-column sums (plain adds for the inner rows), which is then
// reduced across. Acc must hold the largest sample times width times
// height; kChannels is 3, or 7 with alpha.
template <class Acc, size_t kChannels>
class TBoxReducer {
public:
    TBoxReducer(const TRaster& src, int32_t dw, int32_t dh, const TRaster* alpha)
        : m_rows(src, alpha),
          m_area(static_cast<uint64_t>(src.Width()) * static_cast<uint64_t>(src.Height())),
          m_x(buildSpans(src.Width(), dw)), m_y(buildSpans(src.Height(), dh)),
          m_columns(static_cast<size_t>(src.Width()) * kChannels), m_narrow(kAlpha ? 0 : m_columns.size()) {}

    void reduceInto(TRaster& dst) {
        for (int32_t dy = 0; dy < dst.Height(); ++dy) {
            if constexpr (kAlpha) sumColumns(m_y[static_cast<size_t>(dy)], [&](int32_t y) { return m_rows.Weighted(y); });
            else sumColumns(m_y[static_cast<size_t>(dy)], [&](int32_t y) { return m_rows.Plain(y); });
            writeRow(dst, dy);
        }
    }

private:
    template <class RowOf>
    void sumColumns(const TSpan& span, RowOf rowOf) {
        Acc* col = m_columns.data();
        const size_t n = m_columns.size();
        const int32_t innerRows = span.Last - span.First - 1;
        const Acc inner = static_cast<Acc>(m_y.size());
        if (!kAlpha && innerRows > 0 && innerRows <= kNarrowRows) {
            // Bytes of up to kNarrowRows rows fit 16-bit sums, twice as many
            // to a vector register.
            uint16_t* narrow = m_narrow.data();
            std::fill(narrow, narrow + n, uint16_t{0});
            for (int32_t y = span.First + 1; y < span.Last; ++y) {
                const auto* row = rowOf(y);
                for (size_t i = 0; i < n; ++i) narrow[i] = static_cast<uint16_t>(narrow[i] + row[i]);
            }
            for (size_t i = 0; i < n; ++i) col[i] = narrow[i] * inner;
        } else {
            std::fill(col, col + n, Acc{0});
            for (int32_t y = span.First + 1; y < span.Last; ++y) {
                const auto* row = rowOf(y);
                for (size_t i = 0; i < n; ++i) col[i] += row[i];
            }
            for (size_t i = 0; i < n; ++i) col[i] *= inner;
        }
        addWeighted(rowOf(span.First), span.FirstWeight);
        if (span.LastWeight > 0) addWeighted(rowOf(span.Last), span.LastWeight);
    }

    template <class Sample>
    void addWeighted(const Sample* row, uint32_t weight) {
        Acc* col = m_columns.data();
        const Acc w = weight;
        for (size_t i = 0, n = m_columns.size(); i < n; ++i) col[i] += w * row[i];
    }

    // The sums of one target pixel across its span of columns.
    void sumAcross(const TSpan& span, Acc* out) const {
        constexpr size_t ch = kChannels;
        const Acc* col = m_columns.data();
        std::fill(out, out + ch, Acc{0});
        if (span.Last - span.First > 1) {
            for (size_t i = static_cast<size_t>(span.First + 1) * ch, end = static_cast<size_t>(span.Last) * ch;
                 i < end; i += ch)
                for (size_t c = 0; c < ch; ++c) out[c] += col[i + c];
            const Acc inner = static_cast<Acc>(m_x.size());
            for (size_t c = 0; c < ch; ++c) out[c] *= inner;
        }
        const Acc* first = col + static_cast<size_t>(span.First) * ch;
        for (size_t c = 0; c < ch; ++c) out[c] += Acc{span.FirstWeight} * first[c];
        if (span.LastWeight > 0) {
            const Acc* last = col + static_cast<size_t>(span.Last) * ch;
            for (size_t c = 0; c < ch; ++c) out[c] += Acc{span.LastWeight} * last[c];
        }
    }

    void writeRow(TRaster& dst, int32_t dy) const {
        const uint64_t area = m_area;
        uint8_t* out = dst.Scanline(dy);
        uint8_t* outAlpha = kAlpha ? dst.AlphaChannel().Scanline(dy) : nullptr;
        Acc s[kChannels];
        for (int32_t dx = 0; dx < dst.Width(); ++dx, out += 3) {
            sumAcross(m_x[static_cast<size_t>(dx)], s);
            uint64_t alphaSum = 0;
            if constexpr (kAlpha) alphaSum = s[6];
            for (size_t c = 0; c < 3; ++c) {
                // A wholly transparent area has no visible colour to keep; fall
                // back to the plain average.
                out[c] = alphaSum > 0 ? static_cast<uint8_t>((s[(3 + c) % kChannels] + alphaSum / 2) / alphaSum)
                                      : static_cast<uint8_t>((s[c] + area / 2) / area);
            }
            if (outAlpha) outAlpha[dx] = static_cast<uint8_t>((alphaSum + area / 2) / area);
        }
    }

    static constexpr bool kAlpha = kChannels == 7;
    static constexpr int32_t kNarrowRows = UINT16_MAX / UINT8_MAX;

    TRowSamples m_rows;
    const uint64_t m_area;
    const std::vector<TSpan> m_x, m_y;
    std::vector<Acc> m_columns;
    std::vector<uint16_t> m_narrow;
};

template <size_t kChannels>
void reduceWith(const TRaster& src, TRaster& dst, const TRaster* alpha, uint64_t maxSample) {
    const uint64_t area = static_cast<uint64_t>(src.Width()) * static_cast<uint64_t>(src.Height());
    // Narrow sums where they cannot overflow halve the memory traffic.
    if (area <= UINT32_MAX / maxSample)
        TBoxReducer<uint32_t, kChannels>(src, dst.Width(), dst.Height(), alpha).reduceInto(dst);
    else TBoxReducer<uint64_t, kChannels>(src, dst.Width(), dst.Height(), alpha).reduceInto(dst);
}

void reduce(const TRaster& src, TRaster& dst, const TRaster* alpha) {
    if (alpha) reduceWith<7>(src, dst, alpha, 255u * 255u);
    else reduceWith<3>(src, dst, nullptr, 255u);
}

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
    reduce(source, thumb, alpha);
    return thumb;
}

}  // namespace loopsmith
