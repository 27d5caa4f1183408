#include "quant/neural_quantizer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

#include "quant/quantizer.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

using test::MakePhotoLike;
using test::MakeRGBRaster;

int distance(TRGB a, TRGB b) { return std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b); }

class MethodOverride {
public:
    explicit MethodOverride(int method) : m_saved(QuantizerMethod) { QuantizerMethod = method; }
    ~MethodOverride() { QuantizerMethod = m_saved; }

private:
    int m_saved;
};

TEST(TNeuralQuantizer, SamplingFactor) {
    struct Case {
        int64_t pixels;
        int quality;
        int factor;
    } const cases[] = {
        {1000, -1, 1},
        {1999, -1, 1},
        {2000, -1, 2},
        {320 * 240, -1, 9},
        {76000, -1, 8},    // 8.5: half to even
        {224000, -1, 22},  // 21.5: half to even
        {1280 * 720, -1, 30},
        {int64_t{1} << 40, -1, 30},
        {320 * 240, 0, 30},
        {320 * 240, 100, 1},
        {320 * 240, 50, 15},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TNeuralQuantizer::SamplingFactor(c.pixels, c.quality), c.factor) << c.pixels << " q " << c.quality;
}

TEST(TNeuralQuantizer, LearningStepIsAPrimeNotDividingTheLength) {
    struct Case {
        int64_t lengthCount;
        int step;
    } const cases[] = {
        {3 * 1000, 499},
        {3 * 499 * 3, 491},  // a 499 x 3 image
        {int64_t{499} * 491, 487},
        {int64_t{499} * 491 * 487, 503},
    };
    for (const Case& c : cases) EXPECT_EQ(TNeuralQuantizer::LearningStep(c.lengthCount), c.step) << c.lengthCount;
}

TEST(TNeuralQuantizer, OddNeuronCountKeepsItsSize) {
    EXPECT_EQ(TNeuralQuantizer::InitialRadius(255), 31 * 64);
    EXPECT_EQ(TNeuralQuantizer::InitialRadius(256), 32 * 64);
    const TRaster image = MakePhotoLike(64, 48);
    TNeuralQuantizer network(image, 255, 1);
    EXPECT_EQ(network.NeuronCount(), 255);
}

// Two neurons, three pixels, learnt in the order 0, 1, 2 (step 499 taken
// modulo 3); worked by hand:
//   sample 0 (3200, 3200, 1600): neuron 1 is nearest and wins, alpha 1024
//     moves it onto the sample; alpha becomes 990.
//   sample 1 (160, 320, 480): neuron 0 wins and moves by 990/1024 of the
//     way, truncating: (154, 309, 464); alpha becomes 957.
//   sample 2 (1600, 1920, 960): neuron 1 wins: (1705, 2004, 1002).
//   Unbiased: (10, 19, 29) and (107, 125, 63) as blue, green, red.
TEST(TNeuralQuantizer, TinyNetworkLearnsAsWorkedByHand) {
    const TRGB pixels[] = {MakeRGB(100, 200, 200), MakeRGB(30, 20, 10), MakeRGB(60, 120, 100)};
    const TRaster image = MakeRGBRaster(3, 1, [&](int32_t x, int32_t) { return pixels[x]; });
    MethodOverride neural(0);
    std::array<TRGB, 256> palette{};
    TQuantizer q(image, palette.data(), 2);
    ASSERT_EQ(q.Mode(), TQuantizer::TMode::Neural);
    EXPECT_EQ(palette[0], MakeRGB(29, 19, 10));
    EXPECT_EQ(palette[1], MakeRGB(63, 125, 107));
    EXPECT_EQ(q.RGBIndex(pixels[0]), 1);
    EXPECT_EQ(q.RGBIndex(pixels[1]), 0);
    EXPECT_EQ(q.RGBIndex(pixels[2]), 1);
}

// The green-ordered search must find a nearest entry, however it walks.
TEST(TNeuralQuantizer, SearchFindsTheNearestPaletteEntry) {
    const TRaster image = MakePhotoLike(160, 120, 5);
    for (int n : {256, 255, 128}) {
        SCOPED_TRACE(n);
        std::array<TRGB, 256> palette{};
        TQuantizer q(image, palette.data(), n);
        ASSERT_EQ(q.Mode(), TQuantizer::TMode::Neural);
        int wrong = 0;
        for (int i = 0; i < 20000; ++i) {
            const TRGB c = MakeRGB(uint8_t(i * 37), uint8_t(i * 11 + (i >> 8)), uint8_t(i * 5 + (i >> 5)));
            int best = 1000;
            for (int k = 0; k < n; ++k) best = std::min(best, distance(c, palette[k]));
            const int index = q.RGBIndex(c);
            wrong += index < 0 || index >= n || distance(c, palette[index]) != best;
        }
        EXPECT_EQ(wrong, 0);
    }
}

TEST(TNeuralQuantizer, PhotoQualityIsReasonable) {
    const TRaster image = MakePhotoLike(320, 240, 11);
    std::array<TRGB, 256> palette{};
    TQuantizer q(image, palette.data(), 256);
    ASSERT_EQ(q.Mode(), TQuantizer::TMode::Neural);
    int64_t error = 0;
    for (int32_t y = 0; y < image.Height(); ++y)
        for (int32_t x = 0; x < image.Width(); ++x) {
            const TRGB c = image.PixelRGB(x, y);
            error += distance(c, palette[q.RGBIndex(c)]);
        }
    // The picture's own noise is about 4 per channel; an untrained network
    // (its grey diagonal) is off by tens.
    const double meanPerChannel = double(error) / (3.0 * image.Width() * image.Height());
    EXPECT_LT(meanPerChannel, 9.0);
}

}  // namespace
}  // namespace loopsmith
