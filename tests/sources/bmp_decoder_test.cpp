#include "sources/bmp_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

const std::filesystem::path kFolder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "bmp";

using ReadResult = test::TDecoded;

ReadResult readBmp(const std::vector<uint8_t>& bytes, bool paramsOnly = false) {
    return test::DecodeBytes(fkBMP, bytes, 0, paramsOnly);
}

struct Expected {
    TPixelLayout layout;
    int32_t channelBits;
    int32_t channelCount;
    bool alpha;
};

// What each fixture must come out as; every BMP in the folder must be here.
const std::map<std::string, Expected> kFixtures = {
    {"bw1.bmp", {px1g, 1, 1, false}},
    {"pal1_top_down.bmp", {px8p, 1, 1, false}},
    {"pal4.bmp", {px8p, 4, 1, false}},
    {"pal8_os2.bmp", {px8p, 8, 1, false}},
    {"rle4_delta.bmp", {px8p, 4, 1, false}},
    {"rle8.bmp", {px8p, 8, 1, false}},
    {"rgb555.bmp", {px24RGB, 5, 3, false}},
    {"rgb565.bmp", {px24RGB, 6, 3, false}},
    {"argb4444.bmp", {px24RGB, 4, 4, true}},
    {"rgb24_dpi.bmp", {px24RGB, 8, 3, false}},
    {"rgb32_padding.bmp", {px24RGB, 8, 3, false}},
    {"rgba32_v5.bmp", {px24RGB, 8, 4, true}},
};

TEST(BmpDecoder, FixturesMatchTheirReferences) {
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kFolder)) {
        if (entry.path().extension() != ".bmp") continue;
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        ++seen;
        const auto expected = kFixtures.find(name);
        ASSERT_NE(expected, kFixtures.end()) << "fixture without an entry in kFixtures";
        const ReadResult r = readBmp(test::ReadFile(entry.path()));
        ASSERT_FALSE(r.aborted);
        const TRaster reference = test::ReadPam(std::filesystem::path(entry.path()).replace_extension(".pam"));
        ASSERT_FALSE(reference.IsEmpty());
        EXPECT_EQ(test::ComparePictures(r.image, reference), "");
        EXPECT_EQ(r.image.PixelLayout(), expected->second.layout);
        EXPECT_EQ(r.image.HasAlphaChannel(), expected->second.alpha);
        EXPECT_EQ(r.params.ChannelBits, expected->second.channelBits);
        EXPECT_EQ(r.params.ChannelCount, expected->second.channelCount);
        EXPECT_EQ(r.params.ImageWidth, reference.Width());
        EXPECT_EQ(r.params.ImageHeight, reference.Height());
        EXPECT_EQ(r.params.OriginalHeight, reference.Height());
        EXPECT_EQ(r.params.GifImageCount, 1);
    }
    EXPECT_EQ(seen, static_cast<int>(kFixtures.size()));
}

TEST(BmpDecoder, ResolutionFromPixelsPerMetre) {
    const ReadResult r = readBmp(test::ReadFile(kFolder / "rgb24_dpi.bmp"), true);
    EXPECT_EQ(r.params.DotsPerInchX, 96);
    EXPECT_EQ(r.params.DotsPerInchY, 200);
    // The OS/2 core header has no resolution: the set's values stay.
    TIOParams params;
    params.DotsPerInchX = 11;
    TRaster image;
    ASSERT_TRUE(DecodeBmp(test::ReadFile(kFolder / "pal8_os2.bmp"), image, params, false));
    EXPECT_EQ(params.DotsPerInchX, 11);
}

TEST(BmpDecoder, ParamsOnlyReadsNoPixels) {
    TIOParams params;
    params.GifDelay = 9;
    TRaster image;
    ASSERT_TRUE(DecodeBmp(test::ReadFile(kFolder / "rle8.bmp"), image, params, true));
    EXPECT_TRUE(image.IsEmpty());
    EXPECT_EQ(params.ImageWidth, 13);
    EXPECT_EQ(params.ImageHeight, 9);
    EXPECT_EQ(params.ChannelBits, 8);
    EXPECT_EQ(params.ChannelCount, 1);
    EXPECT_EQ(params.GifDelay, 9);
}

// --- Files built here ---

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// A 40-byte info header file with `extra` bytes after it (palette, pixels).
std::vector<uint8_t> bmpFile(int32_t width, int32_t height, int bits, uint32_t compression,
                             const std::vector<uint8_t>& extra, uint32_t paletteBytes = 0) {
    std::vector<uint8_t> b(54, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<uint32_t>(54 + extra.size()));
    put32(b, 10, 54 + paletteBytes);
    put32(b, 14, 40);
    put32(b, 18, static_cast<uint32_t>(width));
    put32(b, 22, static_cast<uint32_t>(height));
    put16(b, 26, 1);
    put16(b, 28, static_cast<uint32_t>(bits));
    put32(b, 30, compression);
    b.resize(54 + extra.size());
    std::copy(extra.begin(), extra.end(), b.begin() + 54);
    return b;
}

// Two grey palette entries (index i is grey 100 + i) and RLE8 data.
std::vector<uint8_t> rle8File(int32_t width, int32_t height, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> extra = {100, 100, 100, 0, 101, 101, 101, 0};
    extra.insert(extra.end(), data.begin(), data.end());
    std::vector<uint8_t> b = bmpFile(width, height, 8, 1, extra, 8);
    put32(b, 46, 2);  // colours used
    return b;
}

TEST(BmpDecoder, RleRunsStayInsideTheirRows) {
    // A run longer than the row is cut at its end; the next row starts
    // only at the end-of-line code; a delta past the last row ends it.
    const ReadResult r = readBmp(rle8File(3, 2, {5, 1, 0, 0, 1, 1, 0, 2, 9, 9}));
    ASSERT_FALSE(r.aborted);
    ASSERT_EQ(r.image.PixelLayout(), px8p);
    const uint8_t top[] = {1, 0, 0}, bottom[] = {1, 1, 1};
    EXPECT_EQ(std::memcmp(r.image.Scanline(0), top, 3), 0);
    EXPECT_EQ(std::memcmp(r.image.Scanline(1), bottom, 3), 0);
}

TEST(BmpDecoder, BadInputSetsTheAbortFlagQuickly) {
    const std::vector<uint8_t> good = test::ReadFile(kFolder / "rgb24_dpi.bmp");
    std::vector<uint8_t> huge = bmpFile(60000, 60000, 24, 0, std::vector<uint8_t>(46, 0));
    std::vector<uint8_t> hugeRle = rle8File(60000, 60000, {0, 1});
    std::vector<uint8_t> minHeight = bmpFile(4, 1, 24, 0, std::vector<uint8_t>(16, 0));
    put32(minHeight, 22, 0x80000000);
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool headerBad;  // so the parameters-only read fails too
    };
    const Case cases[] = {
        {"empty", {}, true},
        {"file header only", std::vector<uint8_t>(good.begin(), good.begin() + 14), true},
        {"cut inside the pixels", std::vector<uint8_t>(good.begin(), good.end() - 40), true},
        {"60000 x 60000 in 100 bytes", huge, true},
        {"60000 x 60000 RLE8 in a few bytes", hugeRle, true},
        {"RLE8 data ends before its rows", rle8File(4, 3, {4, 1, 0, 0}), false},
        {"RLE8 absolute run past the end", rle8File(4, 3, {0, 200, 1, 2}), false},
        {"height of -2^31", minHeight, true},
        {"zero width", bmpFile(0, 5, 24, 0, std::vector<uint8_t>(64, 0)), true},
        {"7 bits per pixel", bmpFile(2, 2, 7, 0, std::vector<uint8_t>(64, 0)), true},
        {"JPEG compression", bmpFile(2, 2, 24, 4, std::vector<uint8_t>(64, 0)), true},
        {"bit fields at 24 bits", bmpFile(2, 2, 24, 3, std::vector<uint8_t>(64, 0)), true},
        {"RLE4 at 8 bits", bmpFile(2, 2, 8, 2, std::vector<uint8_t>(64, 0)), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(readBmp(c.bytes).aborted);
        EXPECT_EQ(readBmp(c.bytes, true).aborted, c.headerBad);
    }
}

}  // namespace
}  // namespace loopsmith
