// Portable maps: peer-made fixtures against their references, the header
// syntax, and inputs that must fail cleanly.
#include "sources/pnm_decoder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

fs::path pnmDir() { return fs::path(LOOPSMITH_TEST_DATA) / "pnm"; }

using Decoded = test::TDecoded;

Decoded decode(const Bytes& bytes, bool paramsOnly = false) {
    // Fields the reader must leave alone or fill.
    TIOParams start;
    start.DotsPerInchX = start.DotsPerInchY = 77;
    start.GifDelay = 12;
    return test::DecodeBytes(fkPXM, bytes, 0, paramsOnly, start);
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

bool isReference(const fs::path& path) { return path.stem().extension() == ".ref"; }

TEST(PnmDecoder, PeerFixturesMatchReferences) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(pnmDir())) {
        const fs::path path = entry.path();
        const std::string ext = path.extension().string();
        if ((ext != ".pbm" && ext != ".pgm" && ext != ".ppm" && ext != ".pam") || isReference(path)) continue;
        SCOPED_TRACE(path.filename().string());
        const Decoded d = decode(test::ReadFile(path));
        ASSERT_FALSE(d.aborted);
        EXPECT_EQ(d.params.GifImageCount, 1);
        const TRaster expected = test::ReadPam(fs::path(path).replace_extension(".ref.pam"));
        ASSERT_FALSE(expected.IsEmpty());
        EXPECT_EQ(test::ComparePictures(d.image, expected), "");
        ++checked;
    }
    EXPECT_GE(checked, 8);
}

TEST(PnmDecoder, ParametersDescribeTheFile) {
    struct Case {
        const char* file;
        int32_t bits, count;
        TPixelLayout layout;
    };
    const Case cases[] = {
        {"p1_plain_netpbm.pbm", 1, 1, px1g},
        {"p2_plain_maxval15_comments.pgm", 4, 1, px8g},
        {"p5_raw_maxval1000_netpbm.pgm", 10, 1, px8g},
        {"p6_raw_maxval65535_netpbm.ppm", 16, 3, px24RGB},
        {"p7_rgba_netpbm.pam", 8, 4, px24RGB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        for (bool paramsOnly : {false, true}) {
            const Decoded d = decode(test::ReadFile(pnmDir() / c.file), paramsOnly);
            ASSERT_FALSE(d.aborted);
            EXPECT_EQ(d.params.ChannelBits, c.bits);
            EXPECT_EQ(d.params.ChannelCount, c.count);
            EXPECT_EQ(d.params.ImageWidth, 9);
            EXPECT_EQ(d.params.OriginalHeight, 5);
            EXPECT_EQ(d.params.DotsPerInchY, 77);
            EXPECT_EQ(d.params.GifDelay, 12);
            EXPECT_EQ(d.image.IsEmpty(), paramsOnly);
            if (!paramsOnly) {
                EXPECT_EQ(d.image.PixelLayout(), c.layout);
            }
        }
    }
}

TEST(PnmDecoder, PlainSyntax) {
    struct Case {
        const char* name;
        std::string file;
        std::vector<uint8_t> levels;  // grey level (or 0/255 for bitmaps) per pixel
    };
    const Case cases[] = {
        {"bitmap digits without spaces", "P1 4 1 0101", {255, 0, 255, 0}},
        {"comment right after the magic", "P2#c\n2 1#c\n3 0 3", {0, 255}},
        {"sample above maxval counts as maxval", "P2 2 1 15 20 5", {255, 85}},
        {"raw bitmap, 1 is black", "P4 3 1\n\x40", {255, 0, 255}},
        {"PAM grey with alpha", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nENDHDR\n\x50\x80", {0x50}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode(text(c.file));
        ASSERT_FALSE(d.aborted);
        ASSERT_EQ(d.image.Width(), static_cast<int32_t>(c.levels.size()));
        for (int32_t x = 0; x < d.image.Width(); ++x) EXPECT_EQ(d.image.PixelRGB(x, 0).g, c.levels[x]) << x;
    }
    EXPECT_EQ(decode(text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nENDHDR\n\x50\x80")).image.Alpha(0, 0), 0x80);
}

TEST(PnmDecoder, BadInputAborts) {
    struct Case {
        const char* name;
        std::string file;
        bool headerReadable;
    };
    const Case cases[] = {
        {"empty", "", false},
        {"not a portable map", "P8 1 1 255 x", false},
        {"gigapixels in a tiny file", "P6 65535 65535 255\nabc", false},
        {"size beyond any int", "P5 99999999999999 1 255\nab", false},
        {"maxval 0", "P5 1 1 0\na", false},
        {"maxval above 16 bits", "P5 1 1 65536\naa", false},
        {"huge maxval", "P2 1 1 4294967296 1", false},
        {"no space after maxval", "P5 1 1 255", false},
        {"truncated raw samples", "P6 2 2 255\nabcdefghij", false},
        {"truncated 16-bit samples", "P5 2 1 1000\nabc", false},
        {"plain sample not a number", "P3 1 1 255 1 2 x", true},
        {"plain bitmap digit 2", "P1 2 1 0 2", true},
        {"missing height", "P2 5", false},
        {"PAM without ENDHDR", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\n", false},
        {"PAM depth 5", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nENDHDR\nabcde", false},
        {"PAM unknown key", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nCOLOURS 3\nMAXVAL 255\nENDHDR\na", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode(text(c.file));
        EXPECT_TRUE(d.aborted);
        EXPECT_TRUE(d.image.IsEmpty());
        EXPECT_EQ(decode(text(c.file), true).aborted, !c.headerReadable);
    }
}

}  // namespace
}  // namespace loopsmith
