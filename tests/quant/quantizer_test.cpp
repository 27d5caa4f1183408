#include "quant/quantizer.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

#include "support/test_support.h"

namespace loopsmith {
namespace {

using test::MakePhotoLike;
using test::MakeRGBRaster;
using TMode = TQuantizer::TMode;

const TRGB kUntouched = MakeRGB(1, 2, 3);

std::array<TRGB, 256> freshPalette() {
    std::array<TRGB, 256> palette;
    palette.fill(kUntouched);
    return palette;
}

// `count` distinct colours, none grey, colour i at pixel i, then repeated.
TRaster distinctColours(int count, int32_t w, int32_t h) {
    return MakeRGBRaster(w, h, [&](int32_t x, int32_t y) {
        const int i = (y * w + x) % count;
        return MakeRGB(static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i / 3 + 7));
    });
}

TRaster greyOf(const TRaster& image) {
    TRaster grey(image.Width(), image.Height(), px24RGB);
    for (int32_t y = 0; y < image.Height(); ++y)
        for (int32_t x = 0; x < image.Width(); ++x) {
            const uint8_t v = static_cast<uint8_t>(Luminance(image.PixelRGB(x, y)));
            grey.SetPixelRGB(x, y, TRGB{v, v, v});
        }
    return grey;
}

TEST(TQuantizer, ExactColoursInOrderOfFirstAppearance) {
    const TRGB a = MakeRGB(10, 20, 30), b = MakeRGB(200, 0, 5), c = MakeRGB(0, 0, 0), d = MakeRGB(9, 9, 10);
    const TRGB pixels[3][4] = {{b, b, a, b}, {c, a, a, d}, {d, c, b, a}};
    const TRaster image = MakeRGBRaster(4, 3, [&](int32_t x, int32_t y) { return pixels[y][x]; });
    auto palette = freshPalette();
    TQuantizer q(image, palette.data(), 4);

    EXPECT_EQ(q.Mode(), TMode::ExactColours);
    ASSERT_EQ(q.PaletteCount(), 4);
    const TRGB expected[] = {b, a, c, d};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(palette[i], expected[i]) << i;
    for (int i = 4; i < 256; ++i) EXPECT_EQ(palette[i], kUntouched) << i;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(palette[q.RGBIndex(pixels[y][x])], pixels[y][x]);
    EXPECT_EQ(q.RGBIndex(MakeRGB(10, 20, 31)), -1);
}

TEST(TQuantizer, OneColourTooManyLeavesTheExactPalette) {
    struct Case {
        int n;
        TMode mode;
        int paletteCount;
    } const cases[] = {{256, TMode::Neural, 256}, {255, TMode::Neural, 255}, {16, TMode::Box, -1}, {2, TMode::Box, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        auto palette = freshPalette();
        TQuantizer exact(distinctColours(c.n, 40, 40), palette.data(), c.n);
        EXPECT_EQ(exact.Mode(), TMode::ExactColours);
        EXPECT_EQ(exact.PaletteCount(), c.n);

        palette = freshPalette();
        TQuantizer over(distinctColours(c.n + 1, 40, 40), palette.data(), c.n);
        EXPECT_EQ(over.Mode(), c.mode);
        const int count = over.PaletteCount();
        if (c.paletteCount >= 0) {
            EXPECT_EQ(count, c.paletteCount);
        }
        EXPECT_GE(count, 1);
        EXPECT_LE(count, c.n);
        for (int i = count; i < 256; ++i) EXPECT_EQ(palette[i], kUntouched) << i;
    }
}

TEST(TQuantizer, GreyImagesGetARampIndexedByRed) {
    struct Case {
        int n;
        int step;
        int indexOf200;
    } const cases[] = {{256, 1, 200}, {16, 16, 12}};
    const TRaster greyRgb = greyOf(MakePhotoLike(30, 20));
    TRaster greyPlaneCopy = greyRgb;
    greyPlaneCopy.ConvertTo(px8g);
    const TRaster& greyPlane = greyPlaneCopy;
    for (const Case& c : cases)
        for (const TRaster* image : {&greyRgb, &greyPlane}) {
            SCOPED_TRACE(testing::Message() << "N " << c.n << " layout " << int(image->PixelLayout()));
            auto palette = freshPalette();
            TQuantizer q(*image, palette.data(), c.n);
            EXPECT_EQ(q.Mode(), TMode::GreyRamp);
            EXPECT_EQ(q.PaletteCount(), c.n);
            for (int i = 0; i < c.n; ++i) {
                const auto level = static_cast<uint8_t>(i * c.step);
                EXPECT_EQ(palette[i], MakeRGB(level, level, level)) << i;
            }
            for (int i = c.n; i < 256; ++i) EXPECT_EQ(palette[i], kUntouched);
            EXPECT_EQ(q.RGBIndex(MakeRGB(200, 200, 200)), c.indexOf200);
            EXPECT_EQ(q.RGBIndex(MakeRGB(200, 0, 255)), c.indexOf200);
        }
}

TEST(TQuantizer, GreyRampOfUnevenCountTruncatesTheSpacing) {
    TRaster image(4, 4, px8g);
    auto palette = freshPalette();
    TQuantizer q(image, palette.data(), 3);
    EXPECT_EQ(palette[1], MakeRGB(85, 85, 85));
    EXPECT_EQ(palette[2], MakeRGB(170, 170, 170));
    EXPECT_EQ(q.RGBIndex(MakeRGB(255, 0, 0)), 2);
    EXPECT_EQ(q.RGBIndex(MakeRGB(85, 0, 0)), 0);
    EXPECT_EQ(q.RGBIndex(MakeRGB(86, 0, 0)), 1);
}

TEST(TQuantizer, PaletteImageKeepsItsPalette) {
    const TRGB a = MakeRGB(5, 6, 7), b = MakeRGB(200, 100, 0), c = MakeRGB(0, 0, 255);
    TRaster image(2, 2, px8p);
    image.Palette() = {a, b, a, c};
    auto palette = freshPalette();
    TQuantizer q(image, palette.data(), 2);
    EXPECT_EQ(q.Mode(), TMode::PaletteImage);
    EXPECT_EQ(palette[0], a);
    EXPECT_EQ(palette[1], b);
    EXPECT_EQ(palette[2], kUntouched);
    EXPECT_EQ(q.RGBIndex(a), 0);
    EXPECT_EQ(q.RGBIndex(c), 3);
    EXPECT_EQ(q.RGBIndex(MakeRGB(1, 1, 1)), 4);
}

// A palette shorter than N must not be read past its end.
TEST(TQuantizer, ShortImagePaletteCopiesOnlyItsEntries) {
    TRaster image(2, 2, px8p);
    image.Palette() = {MakeRGB(9, 8, 7), MakeRGB(1, 200, 3)};
    auto palette = freshPalette();
    TQuantizer q(image, palette.data(), 256);
    EXPECT_EQ(q.PaletteCount(), 2);
    EXPECT_EQ(palette[1], MakeRGB(1, 200, 3));
    EXPECT_EQ(palette[2], kUntouched);
    EXPECT_EQ(q.RGBIndex(MakeRGB(0, 0, 0)), 2);
}

TEST(TQuantizer, ColouredImageInAnotherLayoutGetsNoPalette) {
    TRaster image(3, 1, pxCMYK);
    uint8_t* p = image.Scanline(0);
    p[0] = 255;  // pure cyan ink: no red
    auto palette = freshPalette();
    TQuantizer q(image, palette.data(), 256);
    EXPECT_EQ(q.Mode(), TMode::None);
    EXPECT_EQ(q.PaletteCount(), 0);
    EXPECT_EQ(palette[0], kUntouched);
    EXPECT_EQ(q.RGBIndex(MakeRGB(0, 255, 255)), 0);
    const uint8_t bgr[6] = {1, 2, 3, 200, 100, 50};
    uint8_t out[2] = {7, 7};
    q.IndexRow(bgr, 2, out);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0);
}

TEST(TQuantizer, SameImageGivesTheSamePalette) {
    const TRaster image = MakePhotoLike(200, 150, 3);
    for (int n : {256, 16}) {
        SCOPED_TRACE(n);
        auto first = freshPalette(), second = freshPalette();
        TQuantizer a(image, first.data(), n);
        TQuantizer b(image, second.data(), n);
        EXPECT_EQ(first, second);
    }
}

// Every pixel of the image plus colours the image does not hold.
std::vector<uint8_t> probeColours(const TRaster& image) {
    std::vector<uint8_t> bgr;
    for (int32_t y = 0; y < image.Height(); ++y)
        for (int32_t x = 0; x < image.Width(); ++x) {
            const TRGB c = image.PixelRGB(x, y);
            bgr.insert(bgr.end(), {c.b, c.g, c.r});
        }
    uint32_t state = 99;
    for (int i = 0; i < 3 * 5000; ++i) {
        state = state * 1664525u + 1013904223u;
        bgr.push_back(static_cast<uint8_t>(state >> 24));
    }
    return bgr;
}

// Nearly one colour, with rare colours from all over the cube: the network
// stays in a tight cluster, far from most colours it is asked about.
TRaster clusteredColours(int32_t w, int32_t h) {
    uint32_t state = 5;
    return MakeRGBRaster(w, h, [&](int32_t, int32_t) {
        state = state * 1664525u + 1013904223u;
        if ((state >> 8) % 53 == 0) return UnpackRGB(state >> 8);
        const auto jitter = [&](int base, int shift) { return static_cast<uint8_t>(base + ((state >> shift) & 7)); };
        return MakeRGB(jitter(100, 12), jitter(150, 16), jitter(60, 20));
    });
}

TEST(TQuantizer, IndexRowMatchesRGBIndexInEveryMode) {
    TRaster paletted(16, 16, px8p);
    paletted.Palette() = {MakeRGB(10, 10, 10), MakeRGB(255, 0, 0), MakeRGB(10, 10, 10), MakeRGB(0, 90, 0)};
    const TRaster photo = MakePhotoLike(320, 240, 7);
    struct Case {
        const char* name;
        std::function<TRaster()> image;
        int n;
        TMode mode;
    } const cases[] = {
        {"neural 256", [&] { return photo; }, 256, TMode::Neural},
        {"neural 255", [&] { return MakePhotoLike(97, 61, 2); }, 255, TMode::Neural},
        {"neural, clustered", [] { return clusteredColours(120, 120); }, 256, TMode::Neural},
        {"box 16", [&] { return photo; }, 16, TMode::Box},
        {"box 127", [&] { return photo; }, 127, TMode::Box},
        {"exact", [] { return distinctColours(200, 30, 30); }, 256, TMode::ExactColours},
        {"grey", [&] { return greyOf(photo); }, 64, TMode::GreyRamp},
        {"palette image", [&] { return paletted; }, 256, TMode::PaletteImage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TRaster image = c.image();
        auto palette = freshPalette();
        TQuantizer q(image, palette.data(), c.n);
        ASSERT_EQ(q.Mode(), c.mode);
        const std::vector<uint8_t> bgr = probeColours(image);
        const auto count = static_cast<int32_t>(bgr.size() / 3);
        std::vector<uint8_t> out(static_cast<size_t>(count));
        // Twice, so the second pass also runs on whatever the first remembered.
        for (int pass = 0; pass < 2; ++pass) {
            q.IndexRow(bgr.data(), count, out.data());
            int mismatches = 0;
            for (int32_t i = 0; i < count; ++i) {
                const TRGB colour{bgr[3 * i], bgr[3 * i + 1], bgr[3 * i + 2]};
                mismatches += out[i] != static_cast<uint8_t>(q.RGBIndex(colour));
            }
            EXPECT_EQ(mismatches, 0) << "pass " << pass;
        }
    }
}

}  // namespace
}  // namespace loopsmith
