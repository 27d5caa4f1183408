#include "sources/jpeg2000_decoder.h"

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

const std::filesystem::path kFolder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "jp2";

using ReadResult = test::TDecoded;

ReadResult readThrough(TFileKind kind, const std::vector<uint8_t>& bytes, bool paramsOnly = false) {
    return test::DecodeBytes(kind, bytes, 0, paramsOnly);
}

struct FixtureCase {
    const char* file;
    TFileKind kind;
    TPixelLayout layout;
    bool alpha;
    int32_t channelBits, channelCount;
    int tolerance;
};

// All lossless; the sYCC conversion rounds a float formula, hence 1 there.
const FixtureCase kFixtures[] = {
    {"rgb.jp2", fkJP2, px24RGB, false, 8, 3, 0},     {"grey.j2k", fkJ2K, px8g, false, 8, 1, 0},
    {"rgba.jp2", fkJP2, px24RGB, true, 8, 4, 0},     {"grey12.j2k", fkJ2K, px8g, false, 12, 1, 0},
    {"ycc420.j2k", fkJ2K, px24RGB, false, 8, 3, 1},
};

TEST(Jpeg2000Decoder, PeerFixturesMatchTheirReferences) {
    for (const FixtureCase& c : kFixtures) {
        SCOPED_TRACE(c.file);
        const std::filesystem::path path = kFolder / c.file;
        const std::vector<uint8_t> bytes = test::ReadFile(path);
        TMemoryStream probe(bytes);
        EXPECT_EQ(DetectStreamKind(probe), c.kind);

        ReadResult r = readThrough(c.kind, bytes);
        ASSERT_FALSE(r.aborted);
        const TRaster expected = test::ReadPam(path.parent_path() / (path.stem().string() + ".pam"));
        ASSERT_FALSE(expected.IsEmpty());
        EXPECT_EQ(r.image.PixelLayout(), c.layout);
        EXPECT_EQ(r.image.HasAlphaChannel(), c.alpha);
        EXPECT_EQ(test::ComparePictures(r.image, expected, c.tolerance), "");
        EXPECT_EQ(r.params.ChannelBits, c.channelBits);
        EXPECT_EQ(r.params.ChannelCount, c.channelCount);
        EXPECT_EQ(r.params.ImageWidth, expected.Width());
        EXPECT_EQ(r.params.OriginalHeight, expected.Height());
        EXPECT_EQ(r.params.TIFFImageCount, 1);
    }
}

TEST(Jpeg2000Decoder, SignatureDecidesNotTheKind) {
    // A code stream named .jp2 (or the other way round) still reads.
    ReadResult r = readThrough(fkJP2, test::ReadFile(kFolder / "grey.j2k"));
    EXPECT_FALSE(r.aborted);
    EXPECT_EQ(test::ComparePictures(r.image, test::ReadPam(kFolder / "grey.pam")), "");
}

TEST(Jpeg2000Decoder, ParamsOnlyReadsTheHeaderAlone) {
    ReadResult r = readThrough(fkJP2, test::ReadFile(kFolder / "rgba.jp2"), true);
    ASSERT_FALSE(r.aborted);
    EXPECT_TRUE(r.image.IsEmpty());
    EXPECT_EQ(r.params.ImageWidth, 16);
    EXPECT_EQ(r.params.ImageHeight, 12);
    EXPECT_EQ(r.params.ChannelCount, 4);
    EXPECT_EQ(r.params.DotsPerInchX, kDefaultDpi);
}

void put32be(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// grey.j2k with its SIZ marker claiming another image and tile size.
std::vector<uint8_t> claimingSize(uint32_t w, uint32_t h) {
    std::vector<uint8_t> b = test::ReadFile(kFolder / "grey.j2k");
    constexpr size_t kXsiz = 8, kYsiz = 12, kXTsiz = 24, kYTsiz = 28;
    put32be(b, kXsiz, w);
    put32be(b, kYsiz, h);
    put32be(b, kXTsiz, w);
    put32be(b, kYTsiz, h);
    return b;
}

TEST(Jpeg2000Decoder, HostileInputAbortsBeforeDecoding) {
    const std::vector<uint8_t> rgb = test::ReadFile(kFolder / "rgb.jp2");
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"code stream claiming 100000 x 100000", claimingSize(100000, 100000)},
        {"8000 x 8000 from a few hundred bytes", claimingSize(8000, 8000)},
        {"signature only", std::vector<uint8_t>(rgb.begin(), rgb.begin() + 12)},
        {"half a file", std::vector<uint8_t>(rgb.begin(), rgb.begin() + static_cast<std::ptrdiff_t>(rgb.size() / 2))},
        {"no signature", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
        {"empty", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool paramsOnly : {true, false}) {
            if (paramsOnly && std::string(c.name) == "half a file") continue;  // its header is whole
            ReadResult r = readThrough(fkJ2K, c.bytes, paramsOnly);
            EXPECT_TRUE(r.aborted);
            EXPECT_TRUE(r.image.IsEmpty());
        }
    }
}

TEST(Jpeg2000Decoder, TruncatedFilesFailCleanly) {
    for (const char* file : {"rgb.jp2", "ycc420.j2k", "rgba.jp2"}) {
        SCOPED_TRACE(file);
        const std::vector<uint8_t> whole = test::ReadFile(kFolder / file);
        for (size_t cut = 0; cut < whole.size(); cut += 5) {
            ReadResult r = readThrough(fkJP2, std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
            EXPECT_EQ(r.aborted, r.image.IsEmpty());
        }
    }
}

TEST(Jpeg2000Decoder, CrashFixturesReadWithoutFault) {
    const std::filesystem::path folder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "crash";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("jp2-", 0) != 0 && name.rfind("j2k-", 0) != 0) continue;
        SCOPED_TRACE(name);
        readThrough(fkJP2, test::ReadFile(entry.path()));
    }
}

}  // namespace
}  // namespace loopsmith
