#include "sources/raw_decoder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sources/detect.h"
#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

const std::filesystem::path kFolder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "raw";

using ReadResult = test::TDecoded;

ReadResult readRaw(const std::vector<uint8_t>& bytes, bool paramsOnly = false) {
    return test::DecodeBytes(fkRAW, bytes, 0, paramsOnly);
}

TEST(RawDecoder, DetectionClaimsTheDngThroughLibRaw) {
    const std::vector<uint8_t> dng = test::ReadFile(kFolder / "tiny.dng");
    TMemoryStream stream(dng);
    // TIFF-structured but a colour filter array: not a plain TIFF.
    EXPECT_EQ(DetectStreamKind(stream), fkRAW);
    EXPECT_EQ(stream.Position(), 0);
    TMemoryStream again(dng);
    EXPECT_TRUE(IdentifyCameraRaw(again));
}

TEST(RawDecoder, OtherDataIsNotRaw) {
    std::vector<uint8_t> noise(5000);
    uint32_t s = 7;
    for (uint8_t& b : noise) b = static_cast<uint8_t>((s = s * 1103515245 + 12345) >> 16);
    const std::vector<std::vector<uint8_t>> cases = {
        {},
        {'h', 'e', 'l', 'l', 'o', '\n'},
        noise,
        test::ReadFile(std::filesystem::path(LOOPSMITH_TEST_DATA) / "tiff" / "rgb_packbits.tif"),
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        TMemoryStream stream(cases[i]);
        EXPECT_FALSE(IdentifyCameraRaw(stream));
    }
}

TEST(RawDecoder, DevelopsTheDngLikeDcraw) {
    ReadResult r = readRaw(test::ReadFile(kFolder / "tiny.dng"));
    ASSERT_FALSE(r.aborted);
    const TRaster expected = test::ReadPam(kFolder / "tiny.pam");
    ASSERT_FALSE(expected.IsEmpty());
    EXPECT_EQ(r.image.PixelLayout(), px24RGB);
    EXPECT_FALSE(r.image.HasAlphaChannel());
    // LibRaw grew out of dcraw; the two still round a little differently.
    EXPECT_EQ(test::ComparePictures(r.image, expected, 2), "");
    EXPECT_EQ(r.params.ImageWidth, 32);
    EXPECT_EQ(r.params.ImageHeight, 24);
    EXPECT_EQ(r.params.ChannelBits, 8);
    EXPECT_EQ(r.params.ChannelCount, 3);
    EXPECT_EQ(r.params.Artist, "Test Artist");
    EXPECT_EQ(r.params.XPTitle, "");
    EXPECT_EQ(r.params.TIFFImageCount, 1);
}

TEST(RawDecoder, ParamsOnlyIdentifiesWithoutDeveloping) {
    ReadResult r = readRaw(test::ReadFile(kFolder / "tiny.dng"), true);
    ASSERT_FALSE(r.aborted);
    EXPECT_TRUE(r.image.IsEmpty());
    EXPECT_EQ(r.params.ImageWidth, 32);
    EXPECT_EQ(r.params.ImageHeight, 24);
    EXPECT_EQ(r.params.Artist, "Test Artist");
}

// The width and height entries of the DNG's only directory, patched.
std::vector<uint8_t> dngClaiming(uint32_t w, uint32_t h) {
    std::vector<uint8_t> b = test::ReadFile(kFolder / "tiny.dng");
    const size_t entries = b[8] | b[9] << 8;
    for (size_t i = 0; i < entries; ++i) {
        const size_t at = 10 + 12 * i;
        const uint16_t tag = static_cast<uint16_t>(b[at] | b[at + 1] << 8);
        const uint32_t v = tag == 256 ? w : tag == 257 ? h : 0;
        if (v == 0) continue;
        for (int k = 0; k < 4; ++k) b[at + 8 + static_cast<size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
    }
    return b;
}

TEST(RawDecoder, HostileInputAborts) {
    const std::vector<uint8_t> dng = test::ReadFile(kFolder / "tiny.dng");
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"sensor of 60000 x 60000 in 2 KB", dngClaiming(60000, 60000)},
        {"sensor of 4000 x 3000 in 2 KB", dngClaiming(4000, 3000)},
        {"pixel data cut off", std::vector<uint8_t>(dng.begin(), dng.end() - 600)},
        {"header only", std::vector<uint8_t>(dng.begin(), dng.begin() + 8)},
        {"empty", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReadResult r = readRaw(c.bytes);
        EXPECT_TRUE(r.aborted);
        EXPECT_TRUE(r.image.IsEmpty());
    }
}

TEST(RawDecoder, TruncatedFilesFailCleanly) {
    const std::vector<uint8_t> whole = test::ReadFile(kFolder / "tiny.dng");
    for (size_t cut = 0; cut < whole.size(); cut += 11) {
        ReadResult r = readRaw(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
        EXPECT_EQ(r.aborted, r.image.IsEmpty());
    }
}

TEST(RawDecoder, CrashFixturesReadWithoutFault) {
    const std::filesystem::path folder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "crash";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("raw-", 0) != 0) continue;
        SCOPED_TRACE(name);
        const std::vector<uint8_t> bytes = test::ReadFile(entry.path());
        TMemoryStream stream(bytes);
        IdentifyCameraRaw(stream);
        readRaw(bytes);
    }
}

}  // namespace
}  // namespace loopsmith
