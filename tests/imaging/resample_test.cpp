// Fast-linear scaling. Expected values are worked out from the scaling
// rules by hand: column and row positions x / sx with 17-bit fractions,
// box means with integer division.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "imaging/image_proc.h"
#include "imaging/raster.h"

namespace loopsmith {
namespace {

TRaster greyRaster(int32_t w, int32_t h, const std::vector<int>& values) {
    TRaster r(w, h, px8g);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) r.Scanline(y)[x] = static_cast<uint8_t>(values[static_cast<size_t>(y * w + x)]);
    return r;
}

std::vector<int> greyValues(const TRaster& r) {
    std::vector<int> v;
    for (int32_t y = 0; y < r.Height(); ++y)
        for (int32_t x = 0; x < r.Width(); ++x) v.push_back(r.Scanline(y)[x]);
    return v;
}

// "1" = set bit, one string per row.
TRaster bitRaster(const std::vector<std::string>& rows) {
    TRaster r(static_cast<int32_t>(rows[0].size()), static_cast<int32_t>(rows.size()), px1g);
    for (int32_t y = 0; y < r.Height(); ++y)
        for (int32_t x = 0; x < r.Width(); ++x)
            if (rows[static_cast<size_t>(y)][static_cast<size_t>(x)] == '1')
                r.Scanline(y)[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    return r;
}

// Grey levels of a 24-bit result whose three channels must agree.
std::vector<int> colourGreyValues(const TRaster& r) {
    std::vector<int> v;
    for (int32_t y = 0; y < r.Height(); ++y)
        for (int32_t x = 0; x < r.Width(); ++x) {
            const TRGB c = r.PixelRGB(x, y);
            EXPECT_TRUE(c.r == c.g && c.g == c.b) << "pixel " << x << "," << y;
            v.push_back(c.b);
        }
    return v;
}

struct GreyCase {
    const char* name;
    int32_t sw, sh;
    std::vector<int> source;
    int32_t w, h;
    std::vector<int> expected;
};

const GreyCase kGreyCases[] = {
    // Enlarging interpolates; the fraction rounds toward minus infinity.
    {"enlarge rising", 2, 1, {0, 255}, 4, 1, {0, 127, 255, 255}},
    {"enlarge falling", 2, 1, {255, 0}, 4, 1, {255, 127, 0, 0}},
    // f = x * 3 / 7: fractions 56173, 112347, 37449, 93622, 18724, 74898.
    {"enlarge 3 to 7", 3, 1, {0, 255, 0}, 7, 1, {0, 109, 218, 182, 72, 0, 0}},
    // The box of column 0 ends on column 2, which the next box starts on;
    // the last box holds one pixel and P3 is never read.
    {"shrink row", 4, 1, {10, 20, 60, 200}, 2, 1, {30, 60}},
    {"shrink column", 1, 4, {10, 20, 60, 200}, 1, 2, {30, 60}},
    // Only the height grows: rows are first box-averaged with their right
    // neighbour (sx = 1), then interpolated; rows past the last repeat it.
    {"height only", 3, 2, {10, 20, 41, 30, 60, 101}, 3, 4, {15, 30, 41, 30, 55, 71, 45, 80, 101, 45, 80, 101}},
    // Only the width grows: rows 0-1 and 1-2 are averaged, the last row stands alone.
    {"width only", 2, 3, {10, 20, 30, 41, 60, 100}, 4, 3, {20, 25, 30, 30, 45, 57, 70, 70, 60, 80, 100, 100}},
    // 28 -> 18: 9 / sx evaluates to 13.999999999999998. The column end gets
    // the 1e-10 and reaches column 14 ...
    {"column end lean", 28, 1, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     18, 1, {0, 0, 0, 0, 0, 0, 0, 0, 85, 85, 0, 0, 0, 0, 0, 0, 0, 0}},
    // ... the row end does not, so row 8 averages rows 12-13 only.
    {"row end without lean", 1, 28, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     1, 18, {0, 0, 0, 0, 0, 0, 0, 0, 0, 85, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"1x1 grey", 1, 1, {42}, 2, 3, {42, 42, 42, 42, 42, 42}},
};

TEST(ResampleFastLinear, GreyNumbers) {
    for (const GreyCase& c : kGreyCases) {
        SCOPED_TRACE(c.name);
        const TRaster out = ResampleFastLinear(greyRaster(c.sw, c.sh, c.source), c.w, c.h);
        ASSERT_EQ(out.PixelLayout(), px8g);
        ASSERT_EQ(out.Width(), c.w);
        ASSERT_EQ(out.Height(), c.h);
        EXPECT_EQ(greyValues(out), c.expected);
        EXPECT_FALSE(out.HasAlphaChannel());
    }
}

TEST(ResampleFastLinear, ColourChannelsScaleApart) {
    TRaster src(2, 1, px24RGB);
    src.SetPixelRGB(0, 0, MakeRGB(255, 100, 0));
    src.SetPixelRGB(1, 0, MakeRGB(10, 0, 255));
    const TRaster out = ResampleFastLinear(src, 4, 1);
    ASSERT_EQ(out.PixelLayout(), px24RGB);
    // Half steps: red -122.5 -> -123, green -50, blue +127.5 -> +127.
    EXPECT_EQ(out.PixelRGB(0, 0), MakeRGB(255, 100, 0));
    EXPECT_EQ(out.PixelRGB(1, 0), MakeRGB(132, 50, 127));
    EXPECT_EQ(out.PixelRGB(2, 0), MakeRGB(10, 0, 255));
    EXPECT_EQ(out.PixelRGB(3, 0), MakeRGB(10, 0, 255));
}

TEST(ResampleFastLinear, AlphaPlaneIsScaledLikeGrey) {
    TRaster src(2, 1, px24RGB);
    src.AlphaChannel().Scanline(0)[0] = 0;
    const TRaster out = ResampleFastLinear(src, 4, 1);
    ASSERT_TRUE(out.HasAlphaChannel());
    EXPECT_EQ(greyValues(*out.AlphaPlane()), (std::vector<int>{0, 127, 255, 255}));

    // A 1-bit source keeps interpolating its bits (the height stays), while
    // its alpha plane is box-averaged like any 8-bit image.
    TRaster bits = bitRaster({"1111"});
    TRaster& alpha = bits.AlphaChannel();
    const uint8_t a[] = {10, 20, 60, 200};
    std::copy(a, a + 4, alpha.Scanline(0));
    const TRaster fromBits = ResampleFastLinear(bits, 2, 1);
    EXPECT_EQ(colourGreyValues(fromBits), (std::vector<int>{255, 255}));
    ASSERT_TRUE(fromBits.HasAlphaChannel());
    EXPECT_EQ(greyValues(*fromBits.AlphaPlane()), (std::vector<int>{30, 60}));
}

TEST(ResampleFastLinear, OnePixelColourSourceFillsTheResult) {
    TRaster src(1, 1, px24RGB);
    src.SetPixelRGB(0, 0, MakeRGB(30, 20, 10));
    src.AlphaChannel().Scanline(0)[0] = 77;
    const TRaster out = ResampleFastLinear(src, 3, 2);
    ASSERT_EQ(out.Width(), 3);
    ASSERT_EQ(out.Height(), 2);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 3; ++x) {
            EXPECT_EQ(out.PixelRGB(x, y), MakeRGB(30, 20, 10));
            EXPECT_EQ(out.Alpha(x, y), 77);
        }
}

struct BitCase {
    const char* name;
    std::vector<std::string> source;
    int32_t w, h;
    std::vector<int> expected;
};

const BitCase kBitCases[] = {
    {"enlarge", {"10"}, 4, 1, {255, 127, 0, 0}},
    // sx > 1, sy < 1: still interpolation, so rows 0 and 2 are picked, not averaged.
    {"wider but shorter", {"10", "01", "11", "00"}, 4, 2, {255, 127, 0, 0, 255, 255, 255, 255}},
    // Area average, gx = gy = 2: rows/columns 0-1 for index 0, 1-3 for index 1.
    {"area average", {"0000", "0000", "0000", "1111"}, 2, 2, {0, 0, 85, 85}},
    {"1x1", {"1"}, 3, 2, {255, 255, 255, 255, 255, 255}},
};

TEST(ResampleFastLinear, OneBitSourcesGiveColourGrey) {
    for (const BitCase& c : kBitCases) {
        SCOPED_TRACE(c.name);
        const TRaster out = ResampleFastLinear(bitRaster(c.source), c.w, c.h);
        ASSERT_EQ(out.PixelLayout(), px24RGB);
        ASSERT_EQ(out.Width(), c.w);
        ASSERT_EQ(out.Height(), c.h);
        EXPECT_EQ(colourGreyValues(out), c.expected);
    }
}

// 14 x 14 -> 5 x 5, gx = gy = 2.8. Output (1, 1) covers rows 1 to
// trunc(trunc(2.8) / 2 + 2.8) = 3 but columns 1 to trunc(1.4 + 2.8) = 4.
TEST(ResampleFastLinear, OneBitAreaWindowIsShorterInRows) {
    std::vector<std::string> rows(14, std::string(14, '0'));
    for (int y = 1; y <= 3; ++y) rows[static_cast<size_t>(y)][4] = '1';  // inside: column 4
    rows[4][1] = rows[4][2] = '1';                                       // outside: row 4
    const TRaster out = ResampleFastLinear(bitRaster(rows), 5, 5);
    // 3 set bits in a 3 x 4 window.
    EXPECT_EQ(out.PixelRGB(1, 1), MakeRGB(63, 63, 63));
}

TEST(ResampleFastLinear, OtherLayoutsBecomeColour) {
    TRaster src(2, 1, px8p);
    src.Palette() = {MakeRGB(255, 0, 0), MakeRGB(0, 0, 255)};
    src.Scanline(0)[1] = 1;
    const TRaster out = ResampleFastLinear(src, 4, 1);
    ASSERT_EQ(out.PixelLayout(), px24RGB);
    EXPECT_EQ(out.PixelRGB(1, 0), MakeRGB(127, 0, 127));
    EXPECT_EQ(out.PixelRGB(3, 0), MakeRGB(0, 0, 255));
}

// A uniform picture stays uniform at any scale; a read outside the rows or
// a wrong box count shows up as a different value (and under ASan).
TEST(ResampleFastLinear, UniformPictureStaysUniformAtAnySize) {
    const int32_t sizes[] = {1, 2, 3, 7, 64, 257};
    for (TPixelLayout layout : {px24RGB, px8g, px1g}) {
        for (int32_t sw : sizes)
            for (int32_t w : sizes) {
                const int32_t sh = 258 - sw, h = 258 - w;
                TRaster src(sw, sh, layout);
                for (int32_t y = 0; y < sh; ++y)
                    std::fill(src.Scanline(y), src.Scanline(y) + src.RowBytes(), layout == px1g ? 0xFF : 201);
                TRaster& alpha = src.AlphaChannel();
                for (int32_t y = 0; y < sh; ++y) std::fill(alpha.Scanline(y), alpha.Scanline(y) + sw, uint8_t{99});
                const TRaster out = ResampleFastLinear(src, w, h);
                SCOPED_TRACE(std::to_string(layout) + ": " + std::to_string(sw) + "x" + std::to_string(sh) + " -> " +
                             std::to_string(w) + "x" + std::to_string(h));
                ASSERT_EQ(out.Width(), w);
                ASSERT_EQ(out.Height(), h);
                const uint8_t v = layout == px1g ? 255 : 201;
                const TRGB expected{v, v, v};
                bool same = true;
                for (int32_t y = 0; y < h && same; ++y)
                    for (int32_t x = 0; x < w && same; ++x)
                        same = (layout == px8g ? out.Scanline(y)[x] == v : out.PixelRGB(x, y) == expected) &&
                               out.Alpha(x, y) == 99;
                EXPECT_TRUE(same);
            }
    }
}

// Boxes beyond 2^24 pixels leave the reciprocal path, and column sums beyond
// 32 bits need wide accumulators.
TEST(ResampleFastLinear, HugeBoxesStayExact) {
    const int32_t n = 2 * 16843010;
    TRaster row(n, 1, px8g);
    for (int32_t x = 0; x < n; x += 2) row.Scanline(0)[x] = 255;
    // Output column 0 averages columns 0 .. n / 2: one more 255 than 0.
    const TRaster wide = ResampleFastLinear(row, 2, 1);
    EXPECT_EQ(wide.Scanline(0)[0], int64_t{255} * (n / 4 + 1) / (n / 2 + 1));

    TRaster column(1, n, px8g);
    for (int32_t y = 0; y < n; ++y) column.Scanline(y)[0] = 255;
    const TRaster tall = ResampleFastLinear(column, 1, 2);
    EXPECT_EQ(tall.Scanline(0)[0], 255);
    EXPECT_EQ(tall.Scanline(1)[0], 255);
}

struct SizeCase {
    int32_t sw, sh, nw, nh;
    bool ok;
    int32_t w, h;
};

TEST(ResampleTargetSize, FollowsTheRequest) {
    const SizeCase cases[] = {
        {300, 200, -1, 100, true, 150, 100},
        {200, 101, 100, -1, true, 100, 50},
        {400, 300, -1, 200, true, 266, 200},
        {300, 200, 0, 50, true, 300, 50},
        {300, 200, -30, 0, true, 30, 200},
        {300, 200, 40, -7, true, 40, 7},
        {1000, 10, 5, -1, true, 5, 1},   // 0 rounds up to 1
        {10, 1000, -1, 5, true, 1, 5},
        {300, 200, -1, 0, true, 300, 200},  // ratio of the kept height
        {300, 200, -1, -1, false, 0, 0},
        {300, 200, -5, -7, false, 0, 0},
        {300, 200, 100000, 100000, false, 0, 0},
        {300, 200, INT_MIN, 10, false, 0, 0},
        {1, 1, -1, INT_MAX, false, 0, 0},
        {2, 1, 1 << 14, -1, true, 1 << 14, 1 << 13},
        {2, 1, 1 << 20, -1, false, 0, 0},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.sw) + "x" + std::to_string(c.sh) + " asked " + std::to_string(c.nw) + "," +
                     std::to_string(c.nh));
        int32_t w = 0, h = 0;
        ASSERT_EQ(ResampleTargetSize(c.sw, c.sh, c.nw, c.nh, w, h), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
    }
}

}  // namespace
}  // namespace loopsmith
