#include "sources/tiff_decoder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sources/detect.h"
#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "sources/multi_image_io.h"
#include "sources/thumb_strip.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

const std::filesystem::path kFolder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "tiff";

using ReadResult = test::TDecoded;

// Through the registry, as the loaders read.
ReadResult readTiff(const std::vector<uint8_t>& bytes, int32_t page, bool paramsOnly = false) {
    return test::DecodeBytes(fkTIFF, bytes, page, paramsOnly);
}

struct FixtureCase {
    const char* file;
    int32_t page;
    const char* reference;
    TPixelLayout layout;
    int32_t channelBits, channelCount, pages;
    bool alpha;
    int tolerance;
};

// Lossless files must match exactly; JPEG only shares the library's IDCT
// with the reference, and associated alpha loses a little to rounding.
const FixtureCase kFixtures[] = {
    {"multipage.tif", 0, "multipage.0.pam", px24RGB, 8, 3, 3, false, 0},
    {"multipage.tif", 1, "multipage.1.pam", px8g, 8, 1, 3, false, 0},
    {"multipage.tif", 2, "multipage.2.pam", px1g, 1, 1, 3, false, 0},
    {"rgb_packbits.tif", 0, "rgb_packbits.pam", px24RGB, 8, 3, 1, false, 0},
    {"rgb_jpeg.tif", 0, "rgb_jpeg.pam", px24RGB, 8, 3, 1, false, 2},
    {"fax_g3.tif", 0, "fax_g3.pam", px1g, 1, 1, 1, false, 0},
    {"palette_lzw.tif", 0, "palette_lzw.pam", px24RGB, 4, 1, 1, false, 0},
    {"grey16.tif", 0, "grey16.pam", px8g, 16, 1, 1, false, 1},
    {"rgba_unassoc.tif", 0, "rgba_unassoc.pam", px24RGB, 8, 4, 1, true, 0},
    {"rgba_assoc.tif", 0, "rgba_assoc.pam", px24RGB, 8, 4, 1, true, 3},
    {"tiled.tif", 0, "tiled.pam", px24RGB, 8, 3, 1, false, 0},
    {"tags.tif", 0, "tags.pam", px8g, 8, 1, 1, false, 0},
};

TEST(TiffDecoder, PeerFixturesMatchTheirReferences) {
    for (const FixtureCase& c : kFixtures) {
        SCOPED_TRACE(std::string(c.file) + " page " + std::to_string(c.page));
        const std::vector<uint8_t> bytes = test::ReadFile(kFolder / c.file);
        TMemoryStream probe(bytes);
        EXPECT_EQ(DetectStreamKind(probe), fkTIFF);

        ReadResult r = readTiff(bytes, c.page);
        ASSERT_FALSE(r.aborted);
        const TRaster expected = test::ReadPam(kFolder / c.reference);
        ASSERT_FALSE(expected.IsEmpty());
        EXPECT_EQ(r.image.PixelLayout(), c.layout);
        EXPECT_EQ(r.image.HasAlphaChannel(), c.alpha);
        EXPECT_EQ(test::ComparePictures(r.image, expected, c.tolerance), "");
        EXPECT_EQ(r.params.TIFFImageCount, c.pages);
        EXPECT_EQ(r.params.ChannelBits, c.channelBits);
        EXPECT_EQ(r.params.ChannelCount, c.channelCount);
        EXPECT_EQ(r.params.ImageWidth, expected.Width());
        EXPECT_EQ(r.params.ImageHeight, expected.Height());
        EXPECT_EQ(r.params.OriginalWidth, expected.Width());
        EXPECT_EQ(r.params.OriginalHeight, expected.Height());
    }
}

TEST(TiffDecoder, ParamsOnlyFillsTheFieldsWithoutPixels) {
    const std::vector<uint8_t> bytes = test::ReadFile(kFolder / "multipage.tif");
    ReadResult r = readTiff(bytes, 2, true);
    ASSERT_FALSE(r.aborted);
    EXPECT_TRUE(r.image.IsEmpty());
    EXPECT_EQ(r.params.ImageWidth, 33);
    EXPECT_EQ(r.params.ImageHeight, 10);
    EXPECT_EQ(r.params.ChannelBits, 1);
    EXPECT_EQ(r.params.TIFFImageCount, 3);
}

TEST(TiffDecoder, GifFieldsAreLeftAlone) {
    const std::vector<uint8_t> bytes = test::ReadFile(kFolder / "rgba_unassoc.tif");
    ReadResult r;
    r.params.GifDelay = 37;
    r.params.GifTransparent = true;
    r.params.GifDisposal = 3;
    TMemoryStream stream(bytes);
    TProgressContext ctx(r.aborted);
    ReadTiffStream(stream, r.image, r.params, ctx, false);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.params.GifDelay, 37);
    EXPECT_TRUE(r.params.GifTransparent);
    EXPECT_EQ(r.params.GifDisposal, 3);
}

TEST(TiffDecoder, ResolutionInInchesOrCentimetresElseKept) {
    struct Case {
        const char* file;
        int32_t dpiX, dpiY;
    };
    // 40 x 20 pixels per centimetre are 101.6 x 50.8 per inch.
    const Case cases[] = {{"rgb_packbits.tif", 150, 75}, {"palette_lzw.tif", 102, 51}, {"fax_g3.tif", 123, 45}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ReadResult r;
        r.params.DotsPerInchX = 123;
        r.params.DotsPerInchY = 45;
        TMemoryStream stream(test::ReadFile(kFolder / c.file));
        TProgressContext ctx(r.aborted);
        ReadTiffStream(stream, r.image, r.params, ctx, true);
        ASSERT_FALSE(r.aborted);
        EXPECT_EQ(r.params.DotsPerInchX, c.dpiX);
        EXPECT_EQ(r.params.DotsPerInchY, c.dpiY);
    }
}

TEST(TiffDecoder, DescriptionValuesFromArtistAndWindowsTags) {
    ReadResult r = readTiff(test::ReadFile(kFolder / "tags.tif"), 0, true);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.params.Artist, "Ada Lovelace");
    EXPECT_EQ(r.params.XPTitle, "Title \xC3\xA9t\xC3\xA9");
    EXPECT_EQ(r.params.XPComment, "A comment");
    EXPECT_EQ(r.params.XPAuthor, "Author \xE4\xB8\xAD");
    EXPECT_EQ(r.params.XPKeywords, "one;two");
    // A surrogate pair becomes one four-byte character.
    EXPECT_EQ(r.params.XPSubject, "Subject \xF0\x9F\x98\x80");

    ReadResult plain = readTiff(test::ReadFile(kFolder / "rgb_packbits.tif"), 0, true);
    EXPECT_EQ(plain.params.Artist, "");
    EXPECT_EQ(plain.params.XPTitle, "");
}

TEST(TiffDecoder, TextConversions) {
    EXPECT_EQ(TiffTextToUtf8("plain"), "plain");
    EXPECT_EQ(TiffTextToUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(TiffTextToUtf8("caf\xE9"), "caf\xC3\xA9");  // Latin-1
    EXPECT_EQ(TiffTextToUtf8(std::string_view("ab\0cd", 5)), "ab");
    const uint8_t loneSurrogate[] = {'a', 0, 0x00, 0xD8, 'b', 0};
    EXPECT_EQ(Ucs2LeToUtf8(loneSurrogate, sizeof loneSurrogate), "a\xEF\xBF\xBD" "b");
    const uint8_t oddCount[] = {'x', 0, 'y'};
    EXPECT_EQ(Ucs2LeToUtf8(oddCount, sizeof oddCount), "x");
}

TEST(TiffDecoder, PageIndexPastTheEndAborts) {
    ReadResult r = readTiff(test::ReadFile(kFolder / "multipage.tif"), 3);
    EXPECT_TRUE(r.aborted);
    EXPECT_TRUE(r.image.IsEmpty());
    EXPECT_EQ(r.params.TIFFImageCount, 3);
}

TEST(TiffDecoder, ReadsFromTheStreamPosition) {
    std::vector<uint8_t> bytes(17, 0xAB);
    const std::vector<uint8_t> tiff = test::ReadFile(kFolder / "multipage.tif");
    bytes.insert(bytes.end(), tiff.begin(), tiff.end());
    TMemoryStream stream(bytes);
    stream.Seek(17);
    ReadResult r;
    r.params.SetImageIndex(1);
    TProgressContext ctx(r.aborted);
    ReadTiffStream(stream, r.image, r.params, ctx, false);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(test::ComparePictures(r.image, test::ReadPam(kFolder / "multipage.1.pam")), "");
}

TEST(TiffDecoder, LoaderGivesOneEntryPerPage) {
    TThumbStrip strip;
    TMultiImageIO io;
    io.AttachMView(&strip);
    const std::filesystem::path path = kFolder / "multipage.tif";
    io.LoadFramesFromFile(path);
    ASSERT_FALSE(io.Aborted);
    ASSERT_EQ(strip.ImageCount(), 3);
    const TPixelLayout layouts[] = {px24RGB, px8g, px1g};
    for (int32_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        const TRaster expected = test::ReadPam(kFolder / ("multipage." + std::to_string(n) + ".pam"));
        EXPECT_EQ(strip.Entry(n).OriginalWidth, expected.Width());
        EXPECT_EQ(strip.Entry(n).OriginalHeight, expected.Height());
        EXPECT_EQ(test::ComparePictures(strip.Thumbnail(n), expected), "");
        EXPECT_EQ(io.EntryParams(n).TIFFImageIndex, n);
        EXPECT_EQ(io.EntryParams(n).FileKind, fkTIFF);
        EXPECT_EQ(io.EntryParams(n).TIFFImageCount, 3);
        // No resolution in the file: the loader's default.
        EXPECT_EQ(io.EntryParams(n).DotsPerInchX, kDefaultDpi);

        // The entry's record reads its own page again.
        TImageReader const* reader = FindFormatByKind(fkTIFF)->Reader;
        TFileStream file(path, TFileMode::Read);
        TRaster again;
        TIOParams params = io.EntryParams(n);
        bool aborted = false;
        TProgressContext ctx(aborted);
        reader->Read(file, again, params, ctx, false);
        ASSERT_FALSE(aborted);
        EXPECT_EQ(again.PixelLayout(), layouts[n]);
        EXPECT_EQ(test::ComparePictures(again, expected), "");
    }
}

// ---- hostile input --------------------------------------------------------------

struct IfdEntry {
    uint16_t tag, type;
    uint32_t count, value;
};

constexpr uint16_t kShort = 3, kLong = 4;

// A little-endian TIFF: header, one directory, then `payload`. A value of
// kPayload stands for the payload's offset.
constexpr uint32_t kPayload = 0xFFFFFFFF;

std::vector<uint8_t> tinyTiff(const std::vector<IfdEntry>& entries, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put16 = [&](uint32_t v) { out.push_back(uint8_t(v)), out.push_back(uint8_t(v >> 8)); };
    auto put32 = [&](uint32_t v) { put16(v & 0xFFFF), put16(v >> 16); };
    const uint32_t payloadAt = static_cast<uint32_t>(8 + 2 + 12 * entries.size() + 4);
    put16(static_cast<uint32_t>(entries.size()));
    for (const IfdEntry& e : entries) {
        put16(e.tag), put16(e.type), put32(e.count);
        const uint32_t v = e.value == kPayload ? payloadAt : e.value;
        if (e.type == kShort) put16(v), put16(0);
        else put32(v);
    }
    put32(0);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> stripPage(uint32_t w, uint32_t h, uint16_t bits, uint16_t compression, uint32_t dataBytes) {
    return tinyTiff({{256, kLong, 1, w},
                     {257, kLong, 1, h},
                     {258, kShort, 1, bits},
                     {259, kShort, 1, compression},
                     {262, kShort, 1, 1},
                     {273, kLong, 1, kPayload},
                     {277, kShort, 1, 1},
                     {278, kLong, 1, h},
                     {279, kLong, 1, dataBytes}},
                    std::vector<uint8_t>(dataBytes, 0));
}

TEST(TiffDecoder, HostileHeadersAbortBeforeAllocating) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"100000 x 100000 in a tiny file", stripPage(100000, 100000, 8, 1, 64)},
        {"uncompressed page far larger than its strip", stripPage(4000, 4000, 8, 1, 64)},
        {"Deflate page beyond any ratio", stripPage(16000, 16000, 8, 8, 16)},
        {"G4 page taller than one bit a row", stripPage(2000, 100000, 1, 4, 16)},
        {"zero width", stripPage(0, 10, 8, 1, 16)},
        {"compression unknown to libtiff", stripPage(8, 4, 8, 12345, 32)},
        {"header only", {'I', 'I', 42, 0, 8, 0, 0, 0}},
        {"directory past the end", {'I', 'I', 42, 0, 0xFF, 0xFF, 0, 0, 0, 0}},
        {"not a TIFF", {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}},
        {"empty", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool paramsOnly : {true, false}) {
            ReadResult r = readTiff(c.bytes, 0, paramsOnly);
            EXPECT_TRUE(r.aborted);
            EXPECT_TRUE(r.image.IsEmpty());
        }
    }
}

TEST(TiffDecoder, SmallValidPageBuiltInCodeReads) {
    // The builder itself makes readable files, so the cases above fail for
    // their sizes and not for a broken layout.
    ReadResult r = readTiff(stripPage(8, 4, 8, 1, 32), 0);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.image.Width(), 8);
    EXPECT_EQ(r.image.PixelLayout(), px8g);
}

// Every cut of every fixture: no crash, and a cut inside the pixel data
// never passes for a whole picture.
TEST(TiffDecoder, TruncatedFilesFailCleanly) {
    for (const char* file : {"multipage.tif", "rgb_jpeg.tif", "fax_g3.tif", "tiled.tif", "rgba_assoc.tif"}) {
        SCOPED_TRACE(file);
        const std::vector<uint8_t> whole = test::ReadFile(kFolder / file);
        for (size_t cut = 0; cut < whole.size(); cut += 7) {
            const std::vector<uint8_t> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
            for (int32_t page = 0; page < 3; ++page) {
                ReadResult r = readTiff(part, page);
                if (r.aborted) EXPECT_TRUE(r.image.IsEmpty());
                else EXPECT_FALSE(r.image.IsEmpty());
            }
        }
    }
}

TEST(TiffDecoder, CrashFixturesReadWithoutFault) {
    const std::filesystem::path folder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "crash";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("tiff-", 0) != 0) continue;
        SCOPED_TRACE(entry.path().filename().string());
        const std::vector<uint8_t> bytes = test::ReadFile(entry.path());
        ReadResult first = readTiff(bytes, 0);
        for (int32_t page = 1; page < std::min(first.params.TIFFImageCount, 4); ++page) readTiff(bytes, page);
    }
}

}  // namespace
}  // namespace loopsmith
