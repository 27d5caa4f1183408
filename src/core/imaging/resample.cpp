// Fast-linear scaling: a horizontal pass over each source row, then a
// vertical pass over the horizontally scaled rows. All per-pixel work is
// integer; positions and fractions come from tables made once per call.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/image_proc.h"

namespace loopsmith {

namespace {

constexpr int kFractionBits = 17;
constexpr double kFractionScale = 131072.0;

// Box means divide by multiplying with a rounded-up reciprocal. With sums of
// at most 255 n this is exact while 255 n^2 < 2^56, so up to n = 2^24;
// larger boxes fall back to real division.
constexpr int kReciprocalShift = 56;
constexpr int64_t kMaxReciprocalCount = int64_t{1} << 24;

uint64_t reciprocal(int64_t n) {
    return n <= kMaxReciprocalCount ? (uint64_t{1} << kReciprocalShift) / static_cast<uint64_t>(n) + 1 : 0;
}

inline uint8_t boxMean(uint64_t sum, int64_t n, uint64_t m) {
    return static_cast<uint8_t>(m ? (sum * m) >> kReciprocalShift : sum / static_cast<uint64_t>(n));
}

// Per output column, offsets already multiplied by the channel count.
struct ColumnTable {
    std::vector<int32_t> first;    // x0
    std::vector<int32_t> second;   // min(x0 + 1, sw - 1)
    std::vector<int32_t> weight;   // 17-bit fraction of x / sx
    std::vector<int32_t> count;    // columns x0 .. xe
    std::vector<uint64_t> divide;  // reciprocal of count
};

ColumnTable makeColumnTable(int32_t sw, int32_t w, int channels) {
    const double sx = static_cast<double>(w) / sw;
    ColumnTable t;
    t.first.resize(static_cast<size_t>(w));
    t.second.resize(static_cast<size_t>(w));
    t.weight.resize(static_cast<size_t>(w));
    t.count.resize(static_cast<size_t>(w));
    t.divide.resize(static_cast<size_t>(w));
    for (int32_t x = 0; x < w; ++x) {
        const double f = x / sx;
        const int32_t x0 = static_cast<int32_t>(f);
        const int32_t weight = static_cast<int32_t>((f - x0) * kFractionScale);
        // The end column leans up by 1e-10 so that an exact boundary
        // computed a hair low still reaches its pixel.
        const int32_t xe = static_cast<int32_t>(static_cast<double>(std::min(x + 1, w - 1)) / sx + 1e-10);
        // Clamps only guard against rounding; in range they change nothing.
        const int32_t first = std::clamp(x0, 0, sw - 1);
        const int32_t last = std::clamp(xe, first, sw - 1);
        const size_t i = static_cast<size_t>(x);
        t.first[i] = first * channels;
        t.second[i] = std::min(first + 1, sw - 1) * channels;
        t.weight[i] = weight;
        t.count[i] = last - first + 1;
        t.divide[i] = reciprocal(last - first + 1);
    }
    return t;
}

template <int C>
void interpolateColumns(const uint8_t* src, uint8_t* out, const ColumnTable& t, int32_t w) {
    const int32_t* first = t.first.data();
    const int32_t* second = t.second.data();
    const int32_t* weight = t.weight.data();
    for (int32_t x = 0; x < w; ++x, out += C) {
        const uint8_t* a = src + first[x];
        const uint8_t* b = src + second[x];
        const int32_t wx = weight[x];
        for (int c = 0; c < C; ++c) out[c] = static_cast<uint8_t>(a[c] + (((b[c] - a[c]) * wx) >> kFractionBits));
    }
}

template <int C>
void averageColumns(const uint8_t* src, uint8_t* out, const ColumnTable& t, int32_t w) {
    const int32_t* first = t.first.data();
    const int32_t* count = t.count.data();
    const uint64_t* divide = t.divide.data();
    for (int32_t x = 0; x < w; ++x, out += C) {
        const uint8_t* p = src + first[x];
        const int32_t n = count[x];
        uint64_t sum[C] = {};
        for (int32_t k = 0; k < n; ++k, p += C)
            for (int c = 0; c < C; ++c) sum[c] += p[c];
        for (int c = 0; c < C; ++c) out[c] = boxMean(sum[c], n, divide[x]);
    }
}

inline uint8_t bitValue(const uint8_t* row, int32_t x) { return (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0; }

void interpolateBits(const uint8_t* src, uint8_t* out, const ColumnTable& t, int32_t w) {
    for (int32_t x = 0; x < w; ++x) {
        const int32_t q0 = bitValue(src, t.first[static_cast<size_t>(x)]);
        const int32_t q1 = bitValue(src, t.second[static_cast<size_t>(x)]);
        out[x] = static_cast<uint8_t>(q0 + (((q1 - q0) * t.weight[static_cast<size_t>(x)]) >> kFractionBits));
    }
}

// The two most recent horizontally scaled rows. The vertical passes ask for
// rows in non-decreasing order and a box shares at most its first row with
// the previous one, so every source row is scaled once.
template <class MakeRow>
class RowCache {
public:
    RowCache(const MakeRow& make, size_t length) : m_make(make) {
        m_rows[0].resize(length);
        m_rows[1].resize(length);
    }
    const uint8_t* get(int32_t k) {
        for (int i = 0; i < 2; ++i)
            if (m_index[i] == k) return m_rows[i].data();
        const int slot = m_index[0] <= m_index[1] ? 0 : 1;
        m_make(k, m_rows[slot].data());
        m_index[slot] = k;
        return m_rows[slot].data();
    }

private:
    const MakeRow& m_make;
    std::vector<uint8_t> m_rows[2];
    int32_t m_index[2] = {-1, -1};
};

void interpolateRows(const uint8_t* r0, const uint8_t* r1, int32_t weight, uint8_t* out, size_t n) {
    if (weight == 0 || r0 == r1) {
        std::memcpy(out, r0, n);
        return;
    }
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(r0[i] + (((r1[i] - r0[i]) * weight) >> kFractionBits));
}

template <class MakeRow>
void interpolateVertically(const MakeRow& make, int32_t sh, TRaster& out, size_t rowLength) {
    const int32_t h = out.Height();
    const double sy = static_cast<double>(h) / sh;
    RowCache<MakeRow> cache(make, rowLength);
    for (int32_t y = 0; y < h; ++y) {
        const double f = y / sy;
        const int32_t y0raw = static_cast<int32_t>(f);
        const int32_t wy = static_cast<int32_t>((f - y0raw) * kFractionScale);
        const int32_t y0 = std::min(y0raw, sh - 1);
        const int32_t y1 = y0 + 1 < sh ? y0 + 1 : y0;
        const uint8_t* r0 = cache.get(y0);
        const uint8_t* r1 = cache.get(y1);
        interpolateRows(r0, r1, wy, out.Scanline(y), rowLength);
    }
}

template <typename Acc>
void storeMeans(const Acc* acc, int64_t n, uint8_t* out, size_t length) {
    const uint64_t m = reciprocal(n);
    if (m) {
        for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>((acc[i] * m) >> kReciprocalShift);
    } else {
        for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(acc[i] / static_cast<uint64_t>(n));
    }
}

// Rows y0 .. ye, deliberately without the column table's 1e-10.
template <typename Acc, class MakeRow>
void averageVertically(const MakeRow& make, int32_t sh, TRaster& out, size_t rowLength) {
    const int32_t h = out.Height();
    const double sy = static_cast<double>(h) / sh;
    RowCache<MakeRow> cache(make, rowLength);
    std::vector<Acc> acc(rowLength);
    for (int32_t y = 0; y < h; ++y) {
        const int32_t y0 = std::clamp(static_cast<int32_t>(y / sy), 0, sh - 1);
        const int32_t ye = std::clamp(static_cast<int32_t>(static_cast<double>(std::min(y + 1, h - 1)) / sy), y0, sh - 1);
        uint8_t* row = out.Scanline(y);
        if (ye == y0) {
            std::memcpy(row, cache.get(y0), rowLength);
            continue;
        }
        const uint8_t* r = cache.get(y0);
        for (size_t i = 0; i < rowLength; ++i) acc[i] = r[i];
        for (int32_t k = y0 + 1; k <= ye; ++k) {
            r = cache.get(k);
            for (size_t i = 0; i < rowLength; ++i) acc[i] += r[i];
        }
        storeMeans(acc.data(), int64_t{ye} - y0 + 1, row, rowLength);
    }
}

template <class MakeRow>
void scaleVertically(const MakeRow& make, int32_t sh, TRaster& out, size_t rowLength) {
    if (out.Height() > sh) {
        interpolateVertically(make, sh, out, rowLength);
    } else if (int64_t{sh} * 255 < (int64_t{1} << 32)) {
        averageVertically<uint32_t>(make, sh, out, rowLength);
    } else {
        averageVertically<uint64_t>(make, sh, out, rowLength);
    }
}

// 24-bit colour (C = 3) or one 8-bit channel (C = 1).
template <int C>
TRaster scaleBytes(const TRaster& src, int32_t w, int32_t h) {
    TRaster out(w, h, C == 3 ? px24RGB : px8g);
    const int32_t sw = src.Width();
    const ColumnTable table = makeColumnTable(sw, w, C);
    const size_t rowLength = static_cast<size_t>(w) * C;
    if (w > sw) {
        auto make = [&](int32_t k, uint8_t* row) { interpolateColumns<C>(src.Scanline(k), row, table, w); };
        scaleVertically(make, src.Height(), out, rowLength);
    } else {
        auto make = [&](int32_t k, uint8_t* row) { averageColumns<C>(src.Scanline(k), row, table, w); };
        scaleVertically(make, src.Height(), out, rowLength);
    }
    return out;
}

// Area average of 1-bit pixels when both sides shrink. The row window uses
// trunc(gy) / 2 and the column window gx / 2, as the toolkit always did.
TRaster averageBits(const TRaster& src, int32_t w, int32_t h) {
    const int32_t sw = src.Width(), sh = src.Height();
    const double gx = static_cast<double>(sw) / w;
    const double gy = static_cast<double>(sh) / h;
    std::vector<int32_t> c0(static_cast<size_t>(w)), c1(static_cast<size_t>(w));
    for (int32_t x = 0; x < w; ++x) {
        c0[static_cast<size_t>(x)] = std::clamp(static_cast<int32_t>(x * gx - gx / 2), 0, sw - 1);
        c1[static_cast<size_t>(x)] = std::clamp(static_cast<int32_t>(gx / 2 + x * gx), 0, sw - 1);
    }
    TRaster out(w, h, px8g);
    std::vector<uint64_t> setBefore(static_cast<size_t>(sw) + 1);  // set bits in columns < c
    std::vector<uint32_t> column(static_cast<size_t>(sw));
    for (int32_t y = 0; y < h; ++y) {
        const int32_t r0 = std::clamp(static_cast<int32_t>(y * gy - gy / 2), 0, sh - 1);
        const int32_t r1 = std::clamp(static_cast<int32_t>(std::trunc(gy) / 2 + y * gy), 0, sh - 1);
        std::fill(column.begin(), column.end(), 0u);
        for (int32_t r = r0; r <= r1; ++r) {
            const uint8_t* bits = src.Scanline(r);
            for (int32_t c = 0; c < sw; ++c) column[static_cast<size_t>(c)] += (bits[c >> 3] >> (7 - (c & 7))) & 1;
        }
        for (int32_t c = 0; c < sw; ++c)
            setBefore[static_cast<size_t>(c) + 1] = setBefore[static_cast<size_t>(c)] + column[static_cast<size_t>(c)];
        uint8_t* row = out.Scanline(y);
        for (int32_t x = 0; x < w; ++x) {
            const int32_t a = c0[static_cast<size_t>(x)], b = std::max(a, c1[static_cast<size_t>(x)]);
            const uint64_t set = setBefore[static_cast<size_t>(b) + 1] - setBefore[static_cast<size_t>(a)];
            const uint64_t n = static_cast<uint64_t>(r1 - r0 + 1) * static_cast<uint64_t>(b - a + 1);
            row[x] = static_cast<uint8_t>(255 * set / n);
        }
    }
    return out;
}

TRaster greyToColour(const TRaster& grey) {
    TRaster out(grey.Width(), grey.Height(), px24RGB);
    for (int32_t y = 0; y < grey.Height(); ++y) {
        const uint8_t* in = grey.Scanline(y);
        uint8_t* p = out.Scanline(y);
        for (int32_t x = 0; x < grey.Width(); ++x, p += 3) p[0] = p[1] = p[2] = in[x];
    }
    return out;
}

// 1-bit sources give 24-bit grey: interpolation when either side keeps or
// grows its size, area average when both shrink.
TRaster scaleBits(const TRaster& src, int32_t w, int32_t h) {
    const int32_t sw = src.Width(), sh = src.Height();
    if (w < sw && h < sh) return greyToColour(averageBits(src, w, h));
    TRaster grey(w, h, px8g);
    const ColumnTable table = makeColumnTable(sw, w, 1);
    auto make = [&](int32_t k, uint8_t* row) { interpolateBits(src.Scanline(k), row, table, w); };
    interpolateVertically(make, sh, grey, static_cast<size_t>(w));
    return greyToColour(grey);
}

TRaster scaleAlpha(const TRaster& alpha, int32_t w, int32_t h) {
    if (alpha.IsEmpty()) {
        TRaster opaque(w, h, px8g);
        for (int32_t y = 0; y < h; ++y) std::memset(opaque.Scanline(y), 255, opaque.RowBytes());
        return opaque;
    }
    if (alpha.Width() == w && alpha.Height() == h) return alpha;
    return scaleBytes<1>(alpha, w, h);
}

}  // namespace

TRaster ResampleFastLinear(const TRaster& source, int32_t width, int32_t height) {
    if (source.IsEmpty() || width < 1 || height < 1 || int64_t{width} * height > kMaxProcPixels ||
        (source.Width() == width && source.Height() == height))
        return source;
    TRaster result;
    switch (source.PixelLayout()) {
        case px24RGB: result = scaleBytes<3>(source, width, height); break;
        case px8g: result = scaleBytes<1>(source, width, height); break;
        case px1g: result = scaleBits(source, width, height); break;
        default: {
            TRaster colour(source.Width(), source.Height(), px24RGB);
            colour.CopyAndConvert(source);
            result = scaleBytes<3>(colour, width, height);
            break;
        }
    }
    if (const TRaster* alpha = source.AlphaPlane()) result.AlphaChannel() = scaleAlpha(*alpha, width, height);
    result.BlackWhiteMethod = source.BlackWhiteMethod;
    return result;
}

}  // namespace loopsmith
