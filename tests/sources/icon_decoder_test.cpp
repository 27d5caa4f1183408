#include "sources/icon_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
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

const std::filesystem::path kData = std::filesystem::path(LOOPSMITH_TEST_DATA);
const std::filesystem::path kFolder = kData / "ico";

using ReadResult = test::TDecoded;

ReadResult readIcon(const std::vector<uint8_t>& bytes, int32_t index, bool paramsOnly = false, TFileKind kind = fkICO) {
    return test::DecodeBytes(kind, bytes, index, paramsOnly);
}

struct Expected {
    TPixelLayout layout;
    int32_t channelBits;
    int32_t channelCount;
};

// Every icon and cursor in the folder, image by image.
const std::map<std::string, std::vector<Expected>> kFixtures = {
    {"multi.ico", {{px8p, 4, 1}, {px24RGB, 8, 4}, {px24RGB, 8, 4}}},
    {"magick.ico", {{px24RGB, 8, 4}, {px24RGB, 8, 4}}},
    {"pointer.cur", {{px1g, 1, 1}}},
};

TEST(IconDecoder, EveryImageMatchesItsReference) {
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kFolder)) {
        const std::string name = entry.path().filename().string();
        const std::string ext = entry.path().extension().string();
        if (ext != ".ico" && ext != ".cur") continue;
        SCOPED_TRACE(name);
        ++seen;
        const auto expected = kFixtures.find(name);
        ASSERT_NE(expected, kFixtures.end()) << "fixture without an entry in kFixtures";
        const std::vector<uint8_t> bytes = test::ReadFile(entry.path());
        const TFileKind kind = ext == ".cur" ? fkCUR : fkICO;
        const auto count = static_cast<int32_t>(expected->second.size());
        for (int32_t n = 0; n < count; ++n) {
            SCOPED_TRACE("image " + std::to_string(n));
            const ReadResult r = readIcon(bytes, n, false, kind);
            ASSERT_FALSE(r.aborted);
            const std::string stem = entry.path().stem().string();
            const TRaster reference = test::ReadPam(kFolder / (stem + "." + std::to_string(n) + ".pam"));
            ASSERT_FALSE(reference.IsEmpty());
            EXPECT_EQ(test::ComparePictures(r.image, reference), "");
            EXPECT_EQ(r.image.PixelLayout(), expected->second[n].layout);
            EXPECT_EQ(r.params.ChannelBits, expected->second[n].channelBits);
            EXPECT_EQ(r.params.ChannelCount, expected->second[n].channelCount);
            EXPECT_EQ(r.params.ImageWidth, reference.Width());
            EXPECT_EQ(r.params.ImageHeight, reference.Height());
            EXPECT_EQ(r.params.ICOImageCount, count);
        }
    }
    EXPECT_EQ(seen, static_cast<int>(kFixtures.size()));
}

TEST(IconDecoder, ParamsOnlyReadsTheNamedImagesHeader) {
    const std::vector<uint8_t> bytes = test::ReadFile(kFolder / "multi.ico");
    struct Case {
        int32_t index;
        int32_t width, height, bits;
    };
    for (const Case c : {Case{0, 16, 16, 4}, Case{1, 8, 8, 8}, Case{2, 12, 10, 8}}) {
        SCOPED_TRACE(c.index);
        const ReadResult r = readIcon(bytes, c.index, true);
        ASSERT_FALSE(r.aborted);
        EXPECT_TRUE(r.image.IsEmpty());
        EXPECT_EQ(r.params.ImageWidth, c.width);
        EXPECT_EQ(r.params.ImageHeight, c.height);
        EXPECT_EQ(r.params.ChannelBits, c.bits);
        EXPECT_EQ(r.params.ICOImageCount, 3);
    }
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    ASSERT_LE(at + 4, b.size());
    for (int i = 0; i < 4; ++i) b.at(at + static_cast<size_t>(i)) = static_cast<uint8_t>(v >> (8 * i));
}

TEST(IconDecoder, HostileDirectoriesSetTheAbortFlag) {
    const std::vector<uint8_t> good = test::ReadFile(kFolder / "multi.ico");
    const auto size = static_cast<uint32_t>(good.size());
    // Directory entry n starts at 6 + 16 n: byte count at +8, offset at +12.
    auto patched = [&](size_t at, uint32_t value) {
        std::vector<uint8_t> b = good;
        put32(b, at, value);
        return b;
    };
    std::vector<uint8_t> moreEntries = good;
    moreEntries.at(4) = 60;  // 60 entries, most of them past the end
    std::vector<uint8_t> wideBitmap = good;
    put32(wideBitmap, 54 + 4, 60000);  // image 0's info header: width
    std::vector<uint8_t> badPng = good;
    badPng.at(good.size() - 20) ^= 0xFF;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int32_t index;
    };
    const Case cases[] = {
        {"offset past the end", patched(6 + 12, size + 10), 0},
        {"offset near 2^32", patched(6 + 12, 0xFFFFFFF0), 0},
        {"byte count past the end", patched(6 + 16 + 8, size), 1},
        {"byte count of 4 GB", patched(6 + 16 + 8, 0xFFFFFFFF), 1},
        {"offset inside the directory", patched(6 + 12, 8), 0},
        {"zero byte count", patched(6 + 8, 0), 0},
        {"entry past the end of the file", moreEntries, 55},
        {"index beyond the count", good, 3},
        {"negative index", good, -1},
        {"bitmap 60000 wide", wideBitmap, 0},
        {"damaged PNG image", badPng, 2},
        {"empty", {}, 0},
        {"wrong type", patched(0, 0x00030000), 0},
        {"count 0", std::vector<uint8_t>{0, 0, 1, 0, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(readIcon(c.bytes, c.index).aborted);
    }
    // The other images of a file with one bad entry still read.
    EXPECT_FALSE(readIcon(patched(6 + 12, size + 10), 1).aborted);
}

// --- The loader ---

TEST(IconDecoder, LoaderGivesOneEntryPerImage) {
    const std::filesystem::path path = test::TempDir() / "three.ico";
    test::WriteFile(path, test::ReadFile(kFolder / "multi.ico"));
    TThumbStrip strip;
    TMultiImageIO io;
    io.AttachMView(&strip);
    io.LoadFramesFromFile(path);
    EXPECT_FALSE(io.Aborted);
    ASSERT_EQ(strip.ImageCount(), 3);
    for (int32_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(io.EntryParams(n).ICOImageIndex, n);
        EXPECT_EQ(io.EntryParams(n).FileKind, fkICO);
        EXPECT_EQ(test::ComparePictures(strip.Thumbnail(n), test::ReadPam(kFolder / ("multi." + std::to_string(n) + ".pam"))),
                  "");
    }
}

// --- Inputs that once crashed a decoder of these kinds ---

TEST(StillImageCrashFixtures, ReadWithoutFault) {
    const std::map<std::string, TFileKind> kinds = {{"png-", fkPNG}, {"bmp-", fkBMP}, {"ico-", fkICO}, {"cur-", fkCUR}};
    for (const auto& entry : std::filesystem::directory_iterator(kData / "crash")) {
        const std::string name = entry.path().filename().string();
        const auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const auto& k) { return name.rfind(k.first, 0) == 0; });
        if (kind == kinds.end()) continue;
        SCOPED_TRACE(name);
        const std::vector<uint8_t> bytes = test::ReadFile(entry.path());
        for (int32_t n = 0; n < 4; ++n) {
            readIcon(bytes, n, true, kind->second);
            readIcon(bytes, n, false, kind->second);
        }
    }
}

}  // namespace
}  // namespace loopsmith
