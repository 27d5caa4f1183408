#include "quant/box_quantizer.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "quant/quantizer.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

using test::MakeRGBRaster;

// Expectations worked by hand from the 5-bit bins (value >> 3) of each pixel.
struct Case {
    const char* name;
    int n;
    std::vector<TRGB> pixels;
    std::vector<TRGB> palette;
    std::vector<int> indices;  // per pixel
};

const Case kCases[] = {
    // Bins A (2,4,6), (3,4,7) and B (26,20,28), (27,21,29). The first box's
    // red split scores 2/2 x 14.5^2 from candidate 7 on, so it cuts after
    // bin 7 and the parts are A and B. Means A (2.5, 4, 6.5), B (26.5,
    // 20.5, 28.5) round half to even: 2, 4, 6 and 26, 20, 28.
    {"two clusters",
     2,
     {MakeRGB(19, 35, 51), MakeRGB(24, 32, 56), MakeRGB(213, 162, 231), MakeRGB(216, 169, 235)},
     {MakeRGB(16, 32, 48), MakeRGB(208, 160, 224)},
     {0, 0, 1, 1}},
    // Red bins 0, 6, 30, 30 (green 5, blue 9 throughout). The first split
    // cuts red after bin 8: {0, 6} stays box 0, {30} becomes box 1. Green
    // and blue fail (their lower parts would be empty). Box 0 then splits
    // between bins 0 and 6, and its upper part is appended as box 2.
    {"upper part appended",
     3,
     {MakeRGB(3, 41, 77), MakeRGB(50, 44, 75), MakeRGB(241, 40, 72), MakeRGB(247, 47, 79)},
     {MakeRGB(0, 40, 72), MakeRGB(240, 40, 72), MakeRGB(48, 40, 72)},
     {0, 2, 1, 1}},
};

TEST(TBoxQuantizer, SplitsAsWorkedByHand) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto w = static_cast<int32_t>(c.pixels.size());
        const TRaster image = MakeRGBRaster(w, 1, [&](int32_t x, int32_t) { return c.pixels[x]; });
        std::array<TRGB, 256> palette{};
        palette.fill(MakeRGB(1, 1, 1));
        TQuantizer q(image, palette.data(), c.n);
        ASSERT_EQ(q.Mode(), TQuantizer::TMode::Box);
        ASSERT_EQ(q.PaletteCount(), static_cast<int>(c.palette.size()));
        for (size_t i = 0; i < c.palette.size(); ++i) EXPECT_EQ(palette[i], c.palette[i]) << i;
        EXPECT_EQ(palette[c.palette.size()], MakeRGB(1, 1, 1));
        for (size_t i = 0; i < c.pixels.size(); ++i) EXPECT_EQ(q.RGBIndex(c.pixels[i]), c.indices[i]) << i;
        // A cell in no box maps to 0.
        EXPECT_EQ(q.RGBIndex(MakeRGB(255, 255, 0)), 0);
    }
}

TEST(TBoxQuantizer, ColoursInOneCellGiveOneBox) {
    const TRaster image = MakeRGBRaster(4, 4, [](int32_t x, int32_t y) {
        return MakeRGB(static_cast<uint8_t>(64 + x), static_cast<uint8_t>(128 + y), 3);
    });
    std::array<TRGB, 256> palette{};
    TQuantizer q(image, palette.data(), 4);
    ASSERT_EQ(q.Mode(), TQuantizer::TMode::Box);
    EXPECT_EQ(q.PaletteCount(), 1);
    EXPECT_EQ(palette[0], MakeRGB(64, 128, 0));
}

TEST(TBoxQuantizer, PhotoFillsTheBoxesItIsAllowed) {
    const TRaster image = test::MakePhotoLike(160, 120, 4);
    for (int n : {1, 16, 127}) {
        SCOPED_TRACE(n);
        TBoxQuantizer box(image, n);
        EXPECT_EQ(box.BoxCount(), n);
    }
}

}  // namespace
}  // namespace loopsmith
