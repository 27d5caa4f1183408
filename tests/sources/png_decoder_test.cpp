#include "sources/png_decoder.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "sources/multi_image_io.h"
#include "sources/thumb_strip.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

const std::filesystem::path kFolder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "png";

using ReadResult = test::TDecoded;

// Through the registry's reader, as the loaders call it.
ReadResult readPng(const std::vector<uint8_t>& bytes, bool paramsOnly = false) {
    return test::DecodeBytes(fkPNG, bytes, 0, paramsOnly);
}

struct Expected {
    TPixelLayout layout;
    int32_t channelBits;
    int32_t channelCount;
};

// What each fixture must come out as; every PNG in the folder must be here.
const std::map<std::string, Expected> kFixtures = {
    {"pal1.png", {px8p, 1, 1}},           {"pal4_trns.png", {px8p, 4, 1}},
    {"pal8_interlaced.png", {px8p, 8, 1}}, {"grey1.png", {px1g, 1, 1}},
    {"grey2.png", {px8g, 2, 1}},           {"grey4_interlaced.png", {px8g, 4, 1}},
    {"grey8_trns_dpi.png", {px8g, 8, 1}},  {"grey16.png", {px8g, 16, 1}},
    {"grey_alpha8.png", {px8g, 8, 2}},     {"grey_alpha16.png", {px8g, 16, 2}},
    {"rgb8_trns.png", {px24RGB, 8, 3}},    {"rgb16_interlaced.png", {px24RGB, 16, 3}},
    {"rgba8.png", {px24RGB, 8, 4}},        {"rgba16.png", {px24RGB, 16, 4}},
};

TEST(PngDecoder, FixturesMatchTheirReferences) {
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kFolder)) {
        if (entry.path().extension() != ".png") continue;
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        ++seen;
        const auto expected = kFixtures.find(name);
        ASSERT_NE(expected, kFixtures.end()) << "fixture without an entry in kFixtures";
        const ReadResult r = readPng(test::ReadFile(entry.path()));
        ASSERT_FALSE(r.aborted);
        const TRaster reference = test::ReadPam(std::filesystem::path(entry.path()).replace_extension(".pam"));
        ASSERT_FALSE(reference.IsEmpty());
        EXPECT_EQ(test::ComparePictures(r.image, reference), "");
        EXPECT_EQ(r.image.PixelLayout(), expected->second.layout);
        EXPECT_EQ(r.params.ChannelBits, expected->second.channelBits);
        EXPECT_EQ(r.params.ChannelCount, expected->second.channelCount);
        EXPECT_EQ(r.params.ImageWidth, reference.Width());
        EXPECT_EQ(r.params.ImageHeight, reference.Height());
        EXPECT_EQ(r.params.OriginalWidth, reference.Width());
        EXPECT_EQ(r.params.GifImageCount, 1);
    }
    EXPECT_EQ(seen, static_cast<int>(kFixtures.size()));
}

TEST(PngDecoder, PaletteFilesKeepTheirPalette) {
    const ReadResult r = readPng(test::ReadFile(kFolder / "pal4_trns.png"));
    ASSERT_EQ(r.image.PixelLayout(), px8p);
    ASSERT_EQ(r.image.PaletteLength(), 16);
    EXPECT_EQ(r.image.PaletteEntry(3), MakeRGB(48, 207, 120));
    // tRNS gives entry 0 alpha 0 and entry 1 alpha 128.
    ASSERT_TRUE(r.image.HasAlphaChannel());
    for (int32_t x = 0; x < r.image.Width(); ++x) {
        const uint8_t index = r.image.Scanline(0)[x];
        EXPECT_EQ(r.image.Alpha(x, 0), index == 0 ? 0 : index == 1 ? 128 : 255);
    }
}

TEST(PngDecoder, ResolutionComesFromPhysOrStays) {
    ReadResult r;
    TMemoryStream stream(test::ReadFile(kFolder / "grey8_trns_dpi.png"));
    TProgressContext ctx(r.aborted);
    FindFormatByKind(fkPNG)->Reader->Read(stream, r.image, r.params, ctx, false);
    EXPECT_EQ(r.params.DotsPerInchX, 72);
    EXPECT_EQ(r.params.DotsPerInchY, 150);

    TIOParams params;
    params.DotsPerInchX = 123;
    params.DotsPerInchY = 45;
    TRaster image;
    const std::vector<uint8_t> bytes = test::ReadFile(kFolder / "rgba8.png");
    ASSERT_TRUE(DecodePng(bytes, image, params, false));
    EXPECT_EQ(params.DotsPerInchX, 123);
    EXPECT_EQ(params.DotsPerInchY, 45);
}

TEST(PngDecoder, ParamsOnlyFillsTheHeaderAndLeavesGifFields) {
    TIOParams params;
    params.GifDelay = 7;
    params.GifTransparent = true;
    params.GifLeft = 3;
    TRaster image;
    ASSERT_TRUE(DecodePng(test::ReadFile(kFolder / "rgba16.png"), image, params, true));
    EXPECT_TRUE(image.IsEmpty());
    EXPECT_EQ(params.ImageWidth, 13);
    EXPECT_EQ(params.ImageHeight, 9);
    EXPECT_EQ(params.ChannelBits, 16);
    EXPECT_EQ(params.ChannelCount, 4);
    EXPECT_EQ(params.GifDelay, 7);
    EXPECT_TRUE(params.GifTransparent);
    EXPECT_EQ(params.GifLeft, 3);
}

// --- Bad input ---

uint32_t crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

void putBig32(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

void appendChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& body) {
    putBig32(out, static_cast<uint32_t>(body.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), body.begin(), body.end());
    putBig32(out, crc32(out.data() + start, out.size() - start));
}

// A valid signature and IHDR of any size, with a few bytes of IDAT.
std::vector<uint8_t> pngClaiming(uint32_t width, uint32_t height) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<uint8_t> ihdr;
    putBig32(ihdr, width);
    putBig32(ihdr, height);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    appendChunk(out, "IHDR", ihdr);
    appendChunk(out, "IDAT", {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
    appendChunk(out, "IEND", {});
    return out;
}

TEST(PngDecoder, BadInputSetsTheAbortFlag) {
    const std::vector<uint8_t> good = test::ReadFile(kFolder / "rgb16_interlaced.png");
    std::vector<uint8_t> badCrc = good;
    badCrc[good.size() / 2] ^= 0x55;
    std::vector<uint8_t> badHeader = good;
    badHeader[24] = 7;  // bit depth 7
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool headerBad;  // so the parameters-only read fails too
    };
    const Case cases[] = {
        {"empty", {}, true},
        {"signature only", std::vector<uint8_t>(good.begin(), good.begin() + 8), true},
        {"cut inside IHDR", std::vector<uint8_t>(good.begin(), good.begin() + 20), true},
        {"cut inside IDAT", std::vector<uint8_t>(good.begin(), good.begin() + static_cast<ptrdiff_t>(good.size() / 2)),
         false},
        {"damaged data", badCrc, false},
        {"impossible bit depth", badHeader, true},
        {"60000 x 60000 in a few bytes", pngClaiming(60000, 60000), true},
        {"2^31 - 1 wide", pngClaiming(0x7FFFFFFF, 1), true},
        {"zero height", pngClaiming(5, 0), true},
        {"not a PNG", {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(readPng(c.bytes).aborted);
        EXPECT_EQ(readPng(c.bytes, true).aborted, c.headerBad);
    }
}

// --- The loader's single-image path ---

TEST(PngDecoder, LoaderShowsThePicture) {
    const std::filesystem::path path = test::TempDir() / "picture.png";
    test::WriteFile(path, test::ReadFile(kFolder / "rgba8.png"));
    TThumbStrip strip;
    TMultiImageIO io;
    io.AttachMView(&strip);
    io.LoadFramesFromFile(path);
    ASSERT_EQ(strip.ImageCount(), 1);
    EXPECT_FALSE(strip.Entry(0).Placeholder);
    EXPECT_EQ(test::ComparePictures(strip.Thumbnail(0), test::ReadPam(kFolder / "rgba8.pam")), "");
}

}  // namespace
}  // namespace loopsmith
