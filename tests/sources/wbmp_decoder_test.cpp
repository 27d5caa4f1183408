// Wireless bitmaps: peer-made fixtures against their references, and
// headers that must fail cleanly.
#include "sources/wbmp_decoder.h"

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

fs::path wbmpDir() { return fs::path(LOOPSMITH_TEST_DATA) / "wbmp"; }

using Decoded = test::TDecoded;

Decoded decode(const Bytes& bytes, bool paramsOnly = false) {
    // Fields the reader must leave alone or fill.
    TIOParams start;
    start.DotsPerInchX = start.DotsPerInchY = 77;
    return test::DecodeBytes(fkWBMP, bytes, 0, paramsOnly, start);
}

TEST(WbmpDecoder, PeerFixturesMatchReferences) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(wbmpDir())) {
        if (entry.path().extension() != ".wbmp") continue;
        SCOPED_TRACE(entry.path().filename().string());
        for (bool paramsOnly : {false, true}) {
            const Decoded d = decode(test::ReadFile(entry.path()), paramsOnly);
            ASSERT_FALSE(d.aborted);
            const TRaster expected = test::ReadPam(fs::path(entry.path()).replace_extension(".pam"));
            ASSERT_FALSE(expected.IsEmpty());
            EXPECT_EQ(d.params.ImageWidth, expected.Width());
            EXPECT_EQ(d.params.OriginalHeight, expected.Height());
            EXPECT_EQ(d.params.ChannelBits, 1);
            EXPECT_EQ(d.params.ChannelCount, 1);
            EXPECT_EQ(d.params.DotsPerInchX, 77);
            EXPECT_EQ(d.params.GifImageCount, 1);
            if (paramsOnly) {
                EXPECT_TRUE(d.image.IsEmpty());
                continue;
            }
            EXPECT_EQ(d.image.PixelLayout(), px1g);
            EXPECT_EQ(test::ComparePictures(d.image, expected), "");
            ++checked;
        }
    }
    EXPECT_GE(checked, 2);
}

TEST(WbmpDecoder, BadInputAborts) {
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"type 1", {1, 0, 1, 1, 0xFF}},
        {"extension headers", {0, 0x80, 0, 1, 1, 0xFF}},
        {"zero width", {0, 0, 0, 1}},
        {"width without its last byte", {0, 0, 0x81}},
        {"endless width integer", {0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 1, 0}},
        {"type integer that never ends", Bytes(64, 0x80)},
        {"gigapixels in a tiny file", {0, 0, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x7F, 1, 2, 3}},
        {"rows missing", {0, 0, 9, 4, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool paramsOnly : {false, true}) {
            const Decoded d = decode(c.bytes, paramsOnly);
            EXPECT_TRUE(d.aborted);
            EXPECT_TRUE(d.image.IsEmpty());
        }
    }
}

}  // namespace
}  // namespace loopsmith
