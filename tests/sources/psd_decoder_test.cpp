// PSD files written by ImageMagick, their merged picture compared with an
// independent decode (tests/data/psd/make_fixtures.sh); then files built
// here for the modes ImageMagick does not write and for damage.

#include "sources/psd_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sources/detect.h"
#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "sources/multi_image_io.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

namespace fs = std::filesystem;

fs::path psdDir() { return fs::path(LOOPSMITH_TEST_DATA) / "psd"; }

using Decoded = test::TDecoded;

Decoded readBytes(const std::vector<uint8_t>& bytes, bool paramsOnly = false) {
    return test::DecodeBytes(fkPSD, bytes, 0, paramsOnly);
}

struct FixtureCase {
    const char* name;
    TPixelLayout layout;
    int32_t bits, channels;
    bool alpha;
    int32_t dpi;
};

const FixtureCase kFixtures[] = {
    {"rgb_rle_imagemagick", px24RGB, 8, 3, false, kDefaultDpi},
    {"rgb_raw_150dpi_imagemagick", px24RGB, 8, 3, false, 150},
    {"rgba_rle_imagemagick", px24RGB, 8, 4, true, kDefaultDpi},
    {"grey_rle_imagemagick", px8g, 8, 1, false, kDefaultDpi},
    {"grey16_rle_imagemagick", px8g, 16, 1, false, kDefaultDpi},
    {"rgb16_raw_imagemagick", px24RGB, 16, 3, false, kDefaultDpi},
    {"indexed_rle_imagemagick", px24RGB, 8, 1, false, kDefaultDpi},
    {"cmyk_rle_imagemagick", px24RGB, 8, 4, false, kDefaultDpi},
};

TEST(PsdDecoder, EveryFixtureHasACase) {
    for (const auto& entry : fs::directory_iterator(psdDir())) {
        if (entry.path().extension() != ".psd") continue;
        const std::string name = entry.path().stem().string();
        EXPECT_TRUE(std::any_of(std::begin(kFixtures), std::end(kFixtures),
                                [&](const FixtureCase& c) { return name == c.name; }))
            << name;
    }
}

TEST(PsdDecoder, FixturesMatchTheReference) {
    const TImageReader* reader = FindFormatByKind(fkPSD)->Reader;
    ASSERT_EQ(reader, &PsdImageReader());
    for (const FixtureCase& c : kFixtures) {
        SCOPED_TRACE(c.name);
        const fs::path path = psdDir() / (std::string(c.name) + ".psd");
        EXPECT_EQ(DetectFileKind(path, true), fkPSD);
        TFileStream file(path, TFileMode::Read);
        TRaster image;
        TIOParams params;
        params.GifDelay = 77;
        bool aborted = false;
        TProgressContext ctx(aborted);
        reader->Read(file, image, params, ctx, false);
        ASSERT_FALSE(aborted);
        const TRaster expected = test::ReadPam(psdDir() / (std::string(c.name) + ".pam"));
        ASSERT_FALSE(expected.IsEmpty());
        EXPECT_EQ(image.PixelLayout(), c.layout);
        EXPECT_EQ(image.HasAlphaChannel(), c.alpha);
        EXPECT_EQ(test::ComparePictures(image, expected), "");
        EXPECT_EQ(params.ImageWidth, expected.Width());
        EXPECT_EQ(params.OriginalHeight, expected.Height());
        EXPECT_EQ(params.ChannelBits, c.bits);
        EXPECT_EQ(params.ChannelCount, c.channels);
        EXPECT_EQ(params.DotsPerInchX, c.dpi);
        EXPECT_EQ(params.DotsPerInchY, c.dpi);
        EXPECT_EQ(params.TIFFImageCount, 1);
        EXPECT_EQ(params.GifDelay, 77);

        Decoded header = readBytes(test::ReadFile(path), true);
        EXPECT_FALSE(header.aborted);
        EXPECT_TRUE(header.image.IsEmpty());
        EXPECT_EQ(header.params.ImageWidth, params.ImageWidth);
        EXPECT_EQ(header.params.ChannelCount, params.ChannelCount);
        EXPECT_EQ(header.params.DotsPerInchX, c.dpi);
    }
}

TEST(PsdDecoder, SingleImageLoaderGivesThePicture) {
    const fs::path path = test::TempDir() / "picture.psd";
    test::WriteFile(path, test::ReadFile(psdDir() / "rgba_rle_imagemagick.psd"));
    TRaster picture;
    int32_t w = 0, h = 0;
    ASSERT_TRUE(LoadPictureWithRegistry(path, picture, w, h));
    EXPECT_EQ(test::ComparePictures(picture, test::ReadPam(psdDir() / "rgba_rle_imagemagick.pam")), "");
}

// --- Files built here ---

struct PsdSpec {
    uint16_t version = 1;
    uint16_t channels = 1;
    uint32_t width = 4, height = 2;
    uint16_t depth = 8, mode = 1;
    std::vector<uint8_t> colourData;
    // Absent: an empty layer section; else the layer count written.
    std::optional<int16_t> layerCount;
    uint16_t compression = 0;
    std::vector<uint8_t> data;  // everything after the compression word
};

void put16(std::vector<uint8_t>& b, uint32_t v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }
void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}

std::vector<uint8_t> buildPsd(const PsdSpec& s) {
    std::vector<uint8_t> b = {'8', 'B', 'P', 'S'};
    put16(b, s.version);
    b.insert(b.end(), 6, 0);
    put16(b, s.channels);
    put32(b, s.height);
    put32(b, s.width);
    put16(b, s.depth);
    put16(b, s.mode);
    put32(b, static_cast<uint32_t>(s.colourData.size()));
    b.insert(b.end(), s.colourData.begin(), s.colourData.end());
    put32(b, 0);  // no resources
    if (s.layerCount) {
        put32(b, 8);
        put32(b, 2);
        put16(b, static_cast<uint16_t>(*s.layerCount));
        put16(b, 0);
    } else {
        put32(b, 0);
    }
    put16(b, s.compression);
    b.insert(b.end(), s.data.begin(), s.data.end());
    return b;
}

std::vector<TRGB> pixelsOf(const TRaster& r) {
    std::vector<TRGB> p;
    for (int32_t y = 0; y < r.Height(); ++y)
        for (int32_t x = 0; x < r.Width(); ++x) p.push_back(r.PixelRGB(x, y));
    return p;
}

// Photoshop's bitmap mode stores 1 for black.
TEST(PsdDecoder, BitmapModeIsOneBitWithBlackAsOne) {
    PsdSpec s;
    s.mode = 0;
    s.depth = 1;
    s.width = 10;
    s.data = {0b10100000, 0b01000000, 0x00, 0xFF};
    const Decoded d = readBytes(buildPsd(s));
    ASSERT_FALSE(d.aborted);
    ASSERT_EQ(d.image.PixelLayout(), px1g);
    EXPECT_EQ(d.params.ChannelBits, 1);
    const TRGB k{}, w{255, 255, 255};
    EXPECT_EQ(pixelsOf(d.image), (std::vector<TRGB>{k, w, k, w, w, w, w, w, w, k,  //
                                                    w, w, w, w, w, w, w, w, k, k}));
}

// The extra channel is the composite's transparency when the layer count
// is negative, or when there are no layers and exactly one extra channel.
TEST(PsdDecoder, WhichExtraChannelIsAlpha) {
    struct Case {
        const char* name;
        uint16_t channels;
        std::optional<int16_t> layerCount;
        bool alpha;
    } cases[] = {
        {"no layers, one extra", 2, std::nullopt, true},
        {"no layers, two extra", 3, std::nullopt, false},
        {"negative layer count, two extra", 3, -1, true},
        {"positive layer count", 2, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PsdSpec s;
        s.channels = c.channels;
        s.width = 2;
        s.height = 1;
        s.layerCount = c.layerCount;
        s.data = {10, 20, 0, 255, 7, 7};
        s.data.resize(2 * c.channels);
        const Decoded d = readBytes(buildPsd(s));
        ASSERT_FALSE(d.aborted);
        ASSERT_EQ(d.image.HasAlphaChannel(), c.alpha);
        EXPECT_EQ(d.params.ChannelCount, c.alpha ? 2 : 1);
        EXPECT_EQ(d.image.PixelRGB(1, 0), MakeRGB(20, 20, 20));
        if (c.alpha) {
            EXPECT_EQ(d.image.Alpha(0, 0), 0);
        }
    }
}

// PackBits rows: a literal run, a repeat and the no-op 128.
TEST(PsdDecoder, PackBitsRows) {
    PsdSpec s;
    s.width = 5;
    s.height = 2;
    s.compression = 1;
    // Row byte counts 6 and 3; row 0 is the literal 1, 2, 3 and 9 twice,
    // row 1 a no-op and 6 five times.
    s.data = {0, 6, 0, 3, 2, 1, 2, 3, 0xFF, 9, 0x80, 0xFC, 6};
    const Decoded d = readBytes(buildPsd(s));
    ASSERT_FALSE(d.aborted);
    std::vector<uint8_t> grey;
    for (const TRGB& c : pixelsOf(d.image)) grey.push_back(c.g);
    EXPECT_EQ(grey, (std::vector<uint8_t>{1, 2, 3, 9, 9, 6, 6, 6, 6, 6}));
}

std::vector<uint8_t> withSectionLength(std::vector<uint8_t> b, uint32_t length) {
    // The colour mode data's length follows the 26-byte header.
    for (int i = 0; i < 4; ++i) b[26 + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
    return b;
}

TEST(PsdDecoder, DamagedAndUnsupportedFilesSetTheAbortFlag) {
    PsdSpec good;
    good.data = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_FALSE(readBytes(buildPsd(good)).aborted);
    const auto variant = [&](auto change) {
        PsdSpec s = good;
        change(s);
        return buildPsd(s);
    };
    const std::vector<uint8_t> rle = test::ReadFile(psdDir() / "rgb_rle_imagemagick.psd");
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"empty", {}},
        {"header only", {rle.begin(), rle.begin() + 26}},
        {"cut in the image data", {rle.begin(), rle.end() - 20}},
        {"raw data short", variant([](PsdSpec& s) { s.data.pop_back(); })},
        {"30000 x 30000 in a small file", variant([](PsdSpec& s) { s.width = s.height = 30000; })},
        {"30000 x 30000 packed", variant([](PsdSpec& s) { s.width = s.height = 30000, s.compression = 1; })},
        {"wider than PSD allows", variant([](PsdSpec& s) { s.width = 30001; })},
        {"zero height", variant([](PsdSpec& s) { s.height = 0; })},
        {"fewer channels than the mode", variant([](PsdSpec& s) { s.mode = 3; })},
        {"PSB", variant([](PsdSpec& s) { s.version = 2; })},
        {"32-bit samples", variant([](PsdSpec& s) { s.depth = 32; })},
        {"Lab", variant([](PsdSpec& s) { s.mode = 9, s.channels = 3; })},
        {"ZIP data", variant([](PsdSpec& s) { s.compression = 2; })},
        {"indexed without palette", variant([](PsdSpec& s) { s.mode = 2; })},
        {"packed row short", variant([](PsdSpec& s) { s.compression = 1, s.data = {0, 2, 0, 2, 0, 1, 0, 1}; })},
        {"colour data past the end", withSectionLength(buildPsd(good), 0x7FFFFFFF)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        const Decoded d = readBytes(c.bytes);
        EXPECT_TRUE(d.aborted);
        EXPECT_LE(int64_t{d.image.Width()} * d.image.Height(), 19 * 11);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

// Cut anywhere, a file fails or reads, but never faults.
TEST(PsdDecoder, EveryPrefixReadsWithoutFault) {
    const std::vector<uint8_t> bytes = test::ReadFile(psdDir() / "rgba_rle_imagemagick.psd");
    for (size_t n = 0; n < bytes.size(); ++n) {
        const Decoded d = readBytes({bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n)});
        EXPECT_TRUE(d.aborted) << n;
    }
}

TEST(PsdDecoder, CrashFixturesReadWithoutFault) {
    const fs::path folder = fs::path(LOOPSMITH_TEST_DATA) / "crash";
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("psd-", 0) != 0) continue;
        SCOPED_TRACE(entry.path().filename().string());
        const std::vector<uint8_t> bytes = test::ReadFile(entry.path());
        readBytes(bytes, true);
        readBytes(bytes, false);
    }
}

}  // namespace
}  // namespace loopsmith
