// Canvas resize (alignment, crop, grow, fills) and alpha flattening.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "imaging/image_proc.h"
#include "imaging/raster.h"

namespace loopsmith {
namespace {

// Blue byte 7, luminance (21*200 + 71*100 + 8*7) / 100 = 113: dark.
const TRGB kOddBackground = MakeRGB(200, 100, 7);
const TRGB kWhite = MakeRGB(255, 255, 255);
const TRGB kBlack = MakeRGB(0, 0, 0);

// 4 x 3 grey picture, value 10 y + x + 1, so every pixel says where it came from.
TRaster numberedGrey() {
    TRaster r(4, 3, px8g);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 4; ++x) r.Scanline(y)[x] = static_cast<uint8_t>(10 * y + x + 1);
    return r;
}

struct AlignCase {
    const char* name;
    THorizontalAlign h;
    TVerticalAlign v;
    int32_t nw, nh;
    int32_t fromX, fromY;  // old pixel that lands on new (0, 0)
};

const AlignCase kAlignCases[] = {
    {"grow left top", haLeft, vaTop, 7, 5, 0, 0},
    {"grow centre", haCenter, vaCenter, 7, 5, -1, -1},  // odd margin goes right / bottom
    {"grow right bottom", haRight, vaBottom, 7, 5, -3, -2},
    {"crop left top", haLeft, vaTop, 2, 2, 0, 0},
    {"crop centre", haCenter, vaCenter, 2, 2, 1, 0},  // odd cut row goes at the bottom
    {"crop right bottom", haRight, vaBottom, 2, 2, 2, 1},
    {"crop width, grow height", haCenter, vaBottom, 3, 6, 0, -3},
    {"grow width, crop height", haRight, vaCenter, 5, 1, -1, 1},
    {"grow width, keep height", haCenter, vaTop, 6, 3, -1, 0},
};

TEST(ResizeCanvas, AlignmentsCropAndGrow) {
    for (const AlignCase& c : kAlignCases) {
        SCOPED_TRACE(c.name);
        TRaster img = numberedGrey();
        ResizeCanvas(img, c.nw, c.nh, c.h, c.v, kOddBackground, 0);
        ASSERT_EQ(img.Width(), c.nw);
        ASSERT_EQ(img.Height(), c.nh);
        ASSERT_EQ(img.PixelLayout(), px8g);
        ASSERT_TRUE(img.HasAlphaChannel());
        for (int32_t y = 0; y < c.nh; ++y)
            for (int32_t x = 0; x < c.nw; ++x) {
                const int32_t ox = x + c.fromX, oy = y + c.fromY;
                const bool inside = ox >= 0 && ox < 4 && oy >= 0 && oy < 3;
                EXPECT_EQ(img.Scanline(y)[x], inside ? 10 * oy + ox + 1 : 7) << x << "," << y;
                EXPECT_EQ(img.Alpha(x, y), inside ? 255 : 0) << x << "," << y;
            }
    }
}

TEST(ResizeCanvas, FitMarginsAreTransparentBackground) {
    TRaster img(100, 47, px24RGB);
    for (int32_t y = 0; y < 47; ++y)
        for (int32_t x = 0; x < 100; ++x) img.SetPixelRGB(x, y, MakeRGB(uint8_t(y), 1, 2));
    ResizeCanvas(img, 100, 100, haCenter, vaCenter, kOddBackground, 0);
    // (100 - 47) / 2 = 26 rows above, 27 below.
    const struct {
        int32_t y;
        bool frame;
        int frameRow;
    } rows[] = {{0, false, 0}, {25, false, 0}, {26, true, 0}, {72, true, 46}, {73, false, 0}, {99, false, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.y);
        for (int32_t x : {0, 99}) {
            EXPECT_EQ(img.PixelRGB(x, r.y), r.frame ? MakeRGB(uint8_t(r.frameRow), 1, 2) : kOddBackground);
            EXPECT_EQ(img.Alpha(x, r.y), r.frame ? 255 : 0);
        }
    }
}

TEST(ResizeCanvas, CutKeepsTheMiddleWithoutAddingAlpha) {
    TRaster img(300, 100, px24RGB);
    for (int32_t x = 0; x < 300; ++x) img.SetPixelRGB(x, 5, MakeRGB(uint8_t(x), uint8_t(x >> 8), 0));
    ResizeCanvas(img, 100, 100, haCenter, vaCenter, kWhite, 255);
    ASSERT_EQ(img.Width(), 100);
    EXPECT_FALSE(img.HasAlphaChannel());
    EXPECT_EQ(img.PixelRGB(0, 5), MakeRGB(100, 0, 0));
    EXPECT_EQ(img.PixelRGB(99, 5), MakeRGB(199, 0, 0));
}

TEST(ResizeCanvas, ExistingAlphaGetsTheFillAlpha) {
    TRaster img(2, 2, px24RGB);
    img.AlphaChannel().Scanline(0)[0] = 40;
    ResizeCanvas(img, 3, 2, haRight, vaTop, kWhite, 255);
    EXPECT_EQ(img.Alpha(0, 0), 255);  // margin
    EXPECT_EQ(img.Alpha(1, 0), 40);
    EXPECT_EQ(img.Alpha(2, 0), 255);
    ResizeCanvas(img, 3, 3, haLeft, vaTop, kWhite, 9);
    EXPECT_EQ(img.Alpha(1, 0), 40);
    EXPECT_EQ(img.Alpha(1, 2), 9);
}

TEST(ResizeCanvas, OnePixelImageBecomesBackground) {
    TRaster img(1, 1, px24RGB);
    img.SetPixelRGB(0, 0, MakeRGB(1, 2, 3));
    ResizeCanvas(img, 50, 50, haCenter, vaCenter, kOddBackground, 0);
    bool allBackground = true;
    for (int32_t y = 0; y < 50; ++y)
        for (int32_t x = 0; x < 50; ++x) allBackground = allBackground && img.PixelRGB(x, y) == kOddBackground;
    EXPECT_TRUE(allBackground);
    EXPECT_EQ(img.Alpha(24, 24), 255);  // the old pixel's place, (50 - 1) / 2
    EXPECT_EQ(img.Alpha(25, 24), 0);
}

TEST(ResizeCanvas, OneBitAndPaletteFills) {
    const struct {
        const char* name;
        TRGB background;
        int expectedBits;  // 5 bits, leftmost first
    } cases[] = {{"white background sets the bit", kWhite, 0b11011}, {"dark background clears it", kOddBackground, 0b01010}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TRaster bits(3, 1, px1g);
        bits.Scanline(0)[0] = 0b10100000;
        ResizeCanvas(bits, 5, 1, haCenter, vaTop, c.background, 255);
        ASSERT_EQ(bits.PixelLayout(), px1g);
        EXPECT_EQ(bits.Scanline(0)[0], c.expectedBits << 3);  // padding bits stay clear
    }

    TRaster indexed(2, 1, px8p);
    indexed.Palette() = std::vector<TRGB>(16, kBlack);
    indexed.Scanline(0)[0] = 3;
    indexed.Scanline(0)[1] = 4;
    ResizeCanvas(indexed, 4, 1, haCenter, vaTop, kOddBackground, 255);
    ASSERT_EQ(indexed.PixelLayout(), px8p);
    EXPECT_EQ(indexed.PaletteLength(), 16);
    const std::vector<int> expected{7, 3, 4, 7};  // the colour's low (blue) byte
    EXPECT_EQ(std::vector<int>(indexed.Scanline(0), indexed.Scanline(0) + 4), expected);
}

TEST(ResizeCanvas, SourceOnlyLayoutsBecomeColour) {
    TRaster cmyk(1, 2, pxCMYK);  // all zero: white
    ResizeCanvas(cmyk, 2, 2, haLeft, vaTop, kBlack, 255);
    ASSERT_EQ(cmyk.PixelLayout(), px24RGB);
    EXPECT_EQ(cmyk.PixelRGB(0, 1), kWhite);
    EXPECT_EQ(cmyk.PixelRGB(1, 1), kBlack);
}

struct FlattenCase {
    const char* name;
    int value, alpha;
    TRGB background;
    int expected;
};

const FlattenCase kFlattenCases[] = {
    {"opaque black over white", 0, 255, kWhite, 0},
    {"half black over white", 0, 128, kWhite, 127},
    {"clear black over white", 0, 0, kWhite, 255},
    {"opaque white over black moves a step", 255, 255, kBlack, 254},
    {"quarter", 200, 64, MakeRGB(40, 40, 40), 80},
    {"darkening rounds down", 40, 100, MakeRGB(200, 200, 200), 137},
};

TEST(FlattenAlphaChannel, BlendsColourOverTheBackground) {
    for (const FlattenCase& c : kFlattenCases) {
        SCOPED_TRACE(c.name);
        TRaster img(1, 1, px24RGB);
        const uint8_t v = static_cast<uint8_t>(c.value);
        img.SetPixelRGB(0, 0, MakeRGB(v, v, v));
        img.AlphaChannel().Scanline(0)[0] = static_cast<uint8_t>(c.alpha);
        FlattenAlphaChannel(img, c.background);
        const uint8_t e = static_cast<uint8_t>(c.expected);
        EXPECT_EQ(img.PixelRGB(0, 0), MakeRGB(e, e, e));
        EXPECT_FALSE(img.HasAlphaChannel());
    }

    // Each channel blends toward its own background channel.
    TRaster img(1, 1, px24RGB);
    img.SetPixelRGB(0, 0, MakeRGB(200, 100, 0));
    img.AlphaChannel().Scanline(0)[0] = 128;
    FlattenAlphaChannel(img, MakeRGB(10, 20, 30));
    EXPECT_EQ(img.PixelRGB(0, 0), MakeRGB(105, 60, 15));
}

TEST(FlattenAlphaChannel, OtherLayoutsKeepTheirLayout) {
    TRaster grey(1, 1, px8g);
    grey.AlphaChannel().Scanline(0)[0] = 128;
    FlattenAlphaChannel(grey, kWhite);
    EXPECT_EQ(grey.Scanline(0)[0], 127);
    EXPECT_FALSE(grey.HasAlphaChannel());

    // Over black: clear -> 0; opaque set -> 254 stays set; alpha 100 -> 99 clears.
    TRaster bits(3, 1, px1g);
    bits.Scanline(0)[0] = 0b11100000;
    const uint8_t a[] = {0, 255, 100};
    std::copy(a, a + 3, bits.AlphaChannel().Scanline(0));
    FlattenAlphaChannel(bits, kBlack);
    ASSERT_EQ(bits.PixelLayout(), px1g);
    EXPECT_EQ(bits.Scanline(0)[0], 0b01000000);
    EXPECT_FALSE(bits.HasAlphaChannel());

    TRaster indexed(1, 1, px8p);
    indexed.Palette() = {kBlack, kWhite};
    indexed.Scanline(0)[0] = 1;
    indexed.AlphaChannel().Scanline(0)[0] = 0;
    FlattenAlphaChannel(indexed, kBlack);
    EXPECT_EQ(indexed.Scanline(0)[0], 1);
    EXPECT_FALSE(indexed.HasAlphaChannel());
}

}  // namespace
}  // namespace loopsmith
