// Targa pictures: peer-made fixtures against their references, the alpha
// and colour-map rules, and inputs that must fail cleanly.
#include "sources/tga_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
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

fs::path tgaDir() { return fs::path(LOOPSMITH_TEST_DATA) / "tga"; }

using Decoded = test::TDecoded;

Decoded decode(const Bytes& bytes, bool paramsOnly = false) {
    // Fields the reader must leave alone or fill.
    TIOParams start;
    start.DotsPerInchX = start.DotsPerInchY = 77;
    start.GifDelay = 12;
    return test::DecodeBytes(fkTGA, bytes, 0, paramsOnly, start);
}

struct Header {
    int type = 2, depth = 24, descriptor = 0x20;
    int width = 2, height = 1;
    int mapFirst = 0, mapLength = 0, mapBits = 0;
};

Bytes tga(const Header& h, const Bytes& mapAndPixels) {
    Bytes b(18 + mapAndPixels.size(), 0);
    auto put16 = [&b](size_t at, int v) {
        b[at] = static_cast<uint8_t>(v);
        b[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    b[1] = h.mapLength > 0 ? 1 : 0;
    b[2] = static_cast<uint8_t>(h.type);
    put16(3, h.mapFirst);
    put16(5, h.mapLength);
    b[7] = static_cast<uint8_t>(h.mapBits);
    put16(12, h.width);
    put16(14, h.height);
    b[16] = static_cast<uint8_t>(h.depth);
    b[17] = static_cast<uint8_t>(h.descriptor);
    std::copy(mapAndPixels.begin(), mapAndPixels.end(), b.begin() + 18);
    return b;
}

// A TGA 2.0 extension area with the given attributes type, and its footer.
Bytes withExtension(Bytes file, uint8_t attributesType) {
    const size_t at = file.size();
    file.resize(at + 495, 0);
    file[at] = 495 & 0xFF;
    file[at + 1] = 495 >> 8;
    file[at + 494] = attributesType;
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(at >> (8 * i)));
    file.insert(file.end(), 4, 0);
    const char signature[] = "TRUEVISION-XFILE.";
    file.insert(file.end(), signature, signature + sizeof signature);
    return file;
}

TEST(TgaDecoder, PeerFixturesMatchReferences) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(tgaDir())) {
        if (entry.path().extension() != ".tga") continue;
        SCOPED_TRACE(entry.path().filename().string());
        const Decoded d = decode(test::ReadFile(entry.path()));
        ASSERT_FALSE(d.aborted);
        const TRaster expected = test::ReadPam(fs::path(entry.path()).replace_extension(".pam"));
        ASSERT_FALSE(expected.IsEmpty());
        EXPECT_EQ(test::ComparePictures(d.image, expected), "");
        ++checked;
    }
    EXPECT_GE(checked, 8);
}

TEST(TgaDecoder, ParametersDescribeTheFile) {
    struct Case {
        const char* file;
        int32_t bits, count;
        TPixelLayout layout;
        bool alpha;
    };
    const Case cases[] = {
        {"rgb24_pil.tga", 8, 3, px24RGB, false},
        {"rgba32_rle_topleft_pil.tga", 8, 4, px24RGB, true},
        {"rgb16_alpha_topleft.tga", 5, 4, px24RGB, true},
        {"mapped15_netpbm.tga", 8, 1, px24RGB, false},
        {"grey_rle_netpbm.tga", 8, 1, px8g, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        for (bool paramsOnly : {false, true}) {
            const Decoded d = decode(test::ReadFile(tgaDir() / c.file), paramsOnly);
            ASSERT_FALSE(d.aborted);
            EXPECT_EQ(d.params.ChannelBits, c.bits);
            EXPECT_EQ(d.params.ChannelCount, c.count);
            EXPECT_EQ(d.params.ImageWidth, 9);
            EXPECT_EQ(d.params.OriginalHeight, 5);
            EXPECT_EQ(d.params.DotsPerInchX, 77);  // Targa has no resolution
            EXPECT_EQ(d.params.GifDelay, 12);
            EXPECT_EQ(d.params.GifImageCount, 1);
            EXPECT_EQ(d.image.IsEmpty(), paramsOnly);
            if (!paramsOnly) {
                EXPECT_EQ(d.image.PixelLayout(), c.layout);
                EXPECT_EQ(d.image.HasAlphaChannel(), c.alpha);
            }
        }
    }
}

// Alpha is kept only when the header declares attribute bits, the
// extension area does not say otherwise and the values vary.
TEST(TgaDecoder, AlphaOnlyWhenMeaningful) {
    const Bytes twoPixels = {1, 2, 3, 0, 4, 5, 6, 128};
    const Bytes clear = {1, 2, 3, 0, 4, 5, 6, 0};
    const Bytes grey = {9, 0, 7, 255};
    struct Case {
        const char* name;
        Bytes file;
        bool alpha;
    };
    const Case cases[] = {
        {"declared", tga({2, 32, 0x28}, twoPixels), true},
        {"no attribute bits", tga({2, 32, 0x20}, twoPixels), false},
        {"all zero", tga({2, 32, 0x28}, clear), false},
        {"extension says no alpha", withExtension(tga({2, 32, 0x28}, twoPixels), 0), false},
        {"extension says alpha", withExtension(tga({2, 32, 0x28}, twoPixels), 3), true},
        {"grey with alpha", tga({3, 16, 0x28}, grey), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode(c.file);
        ASSERT_FALSE(d.aborted);
        EXPECT_EQ(d.image.HasAlphaChannel(), c.alpha);
        if (c.alpha) {
            EXPECT_EQ(d.image.Alpha(0, 0), 0);
        }
    }
    const Decoded d = decode(tga({2, 32, 0x28}, twoPixels));
    EXPECT_EQ(d.image.PixelRGB(1, 0), MakeRGB(6, 5, 4));
    EXPECT_EQ(d.image.Alpha(1, 0), 128);
}

TEST(TgaDecoder, ColourMapStartsAtItsFirstIndex) {
    Header h{1, 8, 0x20, 3, 1};
    h.mapFirst = 5, h.mapLength = 2, h.mapBits = 24;
    // Entries 5 and 6, then pixels 6, 5 and 4 (outside the map: black).
    const Decoded d = decode(tga(h, {10, 20, 30, 40, 50, 60, 6, 5, 4}));
    ASSERT_FALSE(d.aborted);
    EXPECT_EQ(d.image.PixelRGB(0, 0), MakeRGB(60, 50, 40));
    EXPECT_EQ(d.image.PixelRGB(1, 0), MakeRGB(30, 20, 10));
    EXPECT_EQ(d.image.PixelRGB(2, 0), MakeRGB(0, 0, 0));
}

TEST(TgaDecoder, RlePacketsMayCrossRowsButNotTheEnd) {
    // 2 x 2 grey, bottom-left: one run of 3, then one raw pixel.
    const Decoded d = decode(tga({11, 8, 0x00, 2, 2}, {0x82, 7, 0x00, 9}));
    ASSERT_FALSE(d.aborted);
    EXPECT_EQ(d.image.Scanline(1)[0], 7);  // the first file row is the bottom one
    EXPECT_EQ(d.image.Scanline(0)[0], 7);
    EXPECT_EQ(d.image.Scanline(0)[1], 9);
    EXPECT_TRUE(decode(tga({11, 8, 0x00, 2, 2}, {0x84, 7})).aborted);
}

TEST(TgaDecoder, BadInputAborts) {
    const Bytes good = test::ReadFile(tgaDir() / "rgb24_pil.tga");
    Bytes huge = tga({10, 32, 0x20, 65535, 65535}, {});
    huge.resize(500, 0xFF);
    Header noMap{1, 8, 0x20, 2, 1};
    Header mapBeyond{1, 8, 0x20, 2, 1, 0, 60000, 32};
    struct Case {
        const char* name;
        Bytes bytes;
        bool headerReadable;
    };
    const Case cases[] = {
        {"empty", {}, false},
        {"short header", Bytes(good.begin(), good.begin() + 10), false},
        {"truncated pixels", Bytes(good.begin(), good.begin() + 60), false},
        {"gigapixels in a tiny file", huge, false},
        {"packet cut by the end", tga({10, 24, 0x20, 4, 1}, {0x83, 1, 2}), true},
        {"raw packet cut by the end", tga({10, 24, 0x20, 4, 1}, {0x03, 1, 2, 3}), true},
        {"true colour at depth 8", tga({2, 8, 0x20}, Bytes(4, 0)), false},
        {"one-bit pixels", tga({3, 1, 0x20}, Bytes(4, 0)), false},
        {"colour-mapped without a map", tga(noMap, {0, 0}), false},
        {"colour map beyond the file", tga(mapBeyond, Bytes(40, 0)), false},
        {"zero width", tga({2, 24, 0x20, 0, 1}, Bytes(4, 0)), false},
        {"unknown image type", tga({4, 24, 0x20}, Bytes(6, 0)), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode(c.bytes);
        EXPECT_TRUE(d.aborted);
        EXPECT_TRUE(d.image.IsEmpty());
        EXPECT_EQ(decode(c.bytes, true).aborted, !c.headerReadable);
    }
}

}  // namespace
}  // namespace loopsmith
