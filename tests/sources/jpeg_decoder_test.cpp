// JPEG files written by other encoders (ImageMagick, Pillow, cjpeg,
// exiftool), decoded through the registry and compared with libjpeg-turbo's
// own decode; tests/data/jpeg/make_fixtures.sh made them. Then damaged and
// hostile files, which must fail quickly and cleanly.

#include "sources/jpeg_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
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

fs::path jpegDir() { return fs::path(LOOPSMITH_TEST_DATA) / "jpeg"; }

using Decoded = test::TDecoded;

Decoded readBytes(const std::vector<uint8_t>& bytes, bool paramsOnly = false) {
    return test::DecodeBytes(fkJPEG, bytes, 0, paramsOnly);
}

struct FixtureCase {
    const char* name;
    TPixelLayout layout;
    int32_t channels;
    int32_t dpiX, dpiY;  // kDefaultDpi where the file has none
};

const FixtureCase kFixtures[] = {
    {"grey_cjpeg", px8g, 1, kDefaultDpi, kDefaultDpi},
    {"rgb_420_dpcm_imagemagick", px24RGB, 3, 102, 102},  // 40 per cm
    {"rgb_444_pil", px24RGB, 3, 96, 96},
    {"rgb_progressive_pil", px24RGB, 3, kDefaultDpi, kDefaultDpi},  // JFIF aspect only
    {"rgb_progressive_restart_cjpeg", px24RGB, 3, kDefaultDpi, kDefaultDpi},
    {"cmyk_imagemagick", px24RGB, 4, kDefaultDpi, kDefaultDpi},  // YCCK, Adobe-inverted
    {"exif_exiftool", px24RGB, 3, 200, 100},                       // Exif resolution, no JFIF
};

// Every fixture in the folder has a row, so a new file cannot go unchecked.
TEST(JpegDecoder, EveryFixtureHasACase) {
    for (const auto& entry : fs::directory_iterator(jpegDir())) {
        if (entry.path().extension() != ".jpg") continue;
        const std::string name = entry.path().stem().string();
        EXPECT_TRUE(std::any_of(std::begin(kFixtures), std::end(kFixtures),
                                [&](const FixtureCase& c) { return name == c.name; }))
            << name;
    }
}

// Through the registry, from a file stream, as the loaders call it.
TEST(JpegDecoder, FixturesMatchLibjpegTurboPixelForPixel) {
    const TImageReader* reader = FindFormatByKind(fkJPEG)->Reader;
    ASSERT_EQ(reader, &JpegImageReader());
    for (const FixtureCase& c : kFixtures) {
        SCOPED_TRACE(c.name);
        const fs::path path = jpegDir() / (std::string(c.name) + ".jpg");
        EXPECT_EQ(DetectFileKind(path, true), fkJPEG);
        TFileStream file(path, TFileMode::Read);
        TRaster image;
        TIOParams params;
        params.GifDelay = 77;
        params.GifComments = {"kept"};
        bool aborted = false;
        TProgressContext ctx(aborted);
        reader->Read(file, image, params, ctx, false);
        ASSERT_FALSE(aborted);
        const TRaster expected = test::ReadPam(jpegDir() / (std::string(c.name) + ".pam"));
        ASSERT_FALSE(expected.IsEmpty());
        EXPECT_EQ(image.PixelLayout(), c.layout);
        EXPECT_FALSE(image.HasAlphaChannel());
        EXPECT_EQ(test::ComparePictures(image, expected), "");
        EXPECT_EQ(params.ImageWidth, expected.Width());
        EXPECT_EQ(params.ImageHeight, expected.Height());
        EXPECT_EQ(params.OriginalWidth, expected.Width());
        EXPECT_EQ(params.OriginalHeight, expected.Height());
        EXPECT_EQ(params.ChannelBits, 8);
        EXPECT_EQ(params.ChannelCount, c.channels);
        EXPECT_EQ(params.DotsPerInchX, c.dpiX);
        EXPECT_EQ(params.DotsPerInchY, c.dpiY);
        EXPECT_EQ(params.TIFFImageCount, 1);
        EXPECT_EQ(params.GifDelay, 77);
        EXPECT_EQ(params.GifComments, std::vector<std::string>{"kept"});
    }
}

TEST(JpegDecoder, ParamsOnlyFillsTheSameFieldsWithoutPixels) {
    for (const FixtureCase& c : kFixtures) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes = test::ReadFile(jpegDir() / (std::string(c.name) + ".jpg"));
        const Decoded full = readBytes(bytes);
        const Decoded header = readBytes(bytes, true);
        ASSERT_FALSE(header.aborted);
        EXPECT_TRUE(header.image.IsEmpty());
        EXPECT_EQ(header.params.ImageWidth, full.params.ImageWidth);
        EXPECT_EQ(header.params.ImageHeight, full.params.ImageHeight);
        EXPECT_EQ(header.params.ChannelCount, full.params.ChannelCount);
        EXPECT_EQ(header.params.DotsPerInchX, c.dpiX);
        EXPECT_EQ(header.params.Artist, full.params.Artist);
    }
}

TEST(JpegDecoder, ExifDescriptionValues) {
    TIOParams params;
    bool aborted = false;
    TProgressContext ctx(aborted);
    TMemoryStream stream(test::ReadFile(jpegDir() / "exif_exiftool.jpg"));
    TRaster image;
    JpegImageReader().Read(stream, image, params, ctx, true);
    ASSERT_FALSE(aborted);
    EXPECT_EQ(params.Artist, "Zoë Ångström");
    EXPECT_EQ(params.XPTitle, "Über den Wolken — 雲");
    EXPECT_EQ(params.XPComment, "naïve café, 1 € = 100 ¢");
    EXPECT_EQ(params.XPAuthor, "Åsa Öberg");
    EXPECT_EQ(params.XPKeywords, "snow; Schnee; 雪");
    EXPECT_EQ(params.XPSubject, "Ελληνικά & кириллица");
}

// A parameter set reused from another file must not keep that file's texts.
TEST(JpegDecoder, FileWithoutExifHasNoDescriptionValues) {
    TIOParams params;
    params.Artist = params.XPTitle = params.XPSubject = "stale";
    bool aborted = false;
    TProgressContext ctx(aborted);
    TMemoryStream stream(test::ReadFile(jpegDir() / "grey_cjpeg.jpg"));
    TRaster image;
    JpegImageReader().Read(stream, image, params, ctx, true);
    ASSERT_FALSE(aborted);
    EXPECT_EQ(params.Artist, "");
    EXPECT_EQ(params.XPTitle, "");
    EXPECT_EQ(params.XPSubject, "");
}

TEST(JpegDecoder, LeadingJunkAndStreamOffsetArePassedOver) {
    const std::vector<uint8_t> jpeg = test::ReadFile(jpegDir() / "rgb_444_pil.jpg");
    const TRaster expected = test::ReadPam(jpegDir() / "rgb_444_pil.pam");
    // 40 bytes before the stream's position, then junk the detector also accepts.
    std::vector<uint8_t> bytes(40, uint8_t{'x'});
    bytes.resize(140, 0x00);
    bytes.insert(bytes.end(), jpeg.begin(), jpeg.end());
    TMemoryStream stream(bytes);
    stream.Seek(40);
    TRaster image;
    TIOParams params;
    bool aborted = false;
    TProgressContext ctx(aborted);
    JpegImageReader().Read(stream, image, params, ctx, false);
    ASSERT_FALSE(aborted);
    EXPECT_EQ(test::ComparePictures(image, expected), "");
}

// The thumbnail strip's loader reads a JPEG through the registry.
TEST(JpegDecoder, SingleImageLoaderGivesThePicture) {
    const fs::path path = test::TempDir() / "photo.jpg";
    test::WriteFile(path, test::ReadFile(jpegDir() / "rgb_420_dpcm_imagemagick.jpg"));
    TRaster picture;
    int32_t w = 0, h = 0;
    ASSERT_TRUE(LoadPictureWithRegistry(path, picture, w, h));
    EXPECT_EQ(w, 21);
    EXPECT_EQ(h, 13);
    EXPECT_EQ(test::ComparePictures(picture, test::ReadPam(jpegDir() / "rgb_420_dpcm_imagemagick.pam")), "");
}

// --- Damaged and hostile files ---

// Offset of the first byte after marker `code`'s segment header, or 0.
size_t findMarker(const std::vector<uint8_t>& b, uint8_t code) {
    for (size_t i = 2; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == code) return i;
    return 0;
}

std::vector<uint8_t> withSize(std::vector<uint8_t> b, uint16_t width, uint16_t height) {
    size_t sof = findMarker(b, 0xC0);
    if (!sof) sof = findMarker(b, 0xC2);
    // FF Cn, length (2), precision (1), height (2), width (2).
    b[sof + 5] = static_cast<uint8_t>(height >> 8);
    b[sof + 6] = static_cast<uint8_t>(height);
    b[sof + 7] = static_cast<uint8_t>(width >> 8);
    b[sof + 8] = static_cast<uint8_t>(width);
    return b;
}

TEST(JpegDecoder, DamagedFilesSetTheAbortFlag) {
    const std::vector<uint8_t> base = test::ReadFile(jpegDir() / "rgb_444_pil.jpg");
    const std::vector<uint8_t> progressive = test::ReadFile(jpegDir() / "rgb_progressive_pil.jpg");
    const size_t scan = findMarker(base, 0xDA);
    std::vector<uint8_t> endInsideScan = base;
    endInsideScan[scan + 40] = 0xFF;
    endInsideScan[scan + 41] = 0xD9;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"empty", {}},
        {"not a jpeg", std::vector<uint8_t>(300, 0x41)},
        {"start marker only", {0xFF, 0xD8, 0xFF}},
        {"cut in the header", {base.begin(), base.begin() + static_cast<ptrdiff_t>(scan - 10)}},
        {"cut in the scan", {base.begin(), base.begin() + static_cast<ptrdiff_t>(scan + 200)}},
        {"cut before the end marker", {base.begin(), base.end() - 2}},
        {"progressive cut", {progressive.begin(), progressive.begin() + static_cast<ptrdiff_t>(progressive.size() / 2)}},
        {"end marker inside the scan", endInsideScan},
        {"zero width", withSize(base, 0, 13)},
        {"65000 x 65000 in a small file", withSize(base, 65000, 65000)},
        {"progressive 65000 x 65000", withSize(progressive, 65000, 65000)},
        {"4000 x 4000 in a small file", withSize(base, 4000, 4000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        Decoded d = readBytes(c.bytes);
        EXPECT_TRUE(d.aborted);
        // Refused before the picture's buffer was made.
        EXPECT_LE(int64_t{d.image.Width()} * d.image.Height(), 21 * 13);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

// The same bytes in the parameters-only mode: sizes the data cannot back
// are refused there too, since the loader would fail on them later.
TEST(JpegDecoder, ImplausibleSizeFailsInParamsOnlyMode) {
    const std::vector<uint8_t> base = test::ReadFile(jpegDir() / "rgb_444_pil.jpg");
    EXPECT_TRUE(readBytes(withSize(base, 65000, 65000), true).aborted);
    EXPECT_FALSE(readBytes(withSize(base, 21, 40), true).aborted);
}

// Inputs that once crashed a reader go through the same calls as the
// fuzz target.
TEST(JpegDecoder, CrashFixturesReadWithoutFault) {
    const fs::path folder = fs::path(LOOPSMITH_TEST_DATA) / "crash";
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("jpeg-", 0) != 0) continue;
        SCOPED_TRACE(entry.path().filename().string());
        const std::vector<uint8_t> bytes = test::ReadFile(entry.path());
        readBytes(bytes, true);
        readBytes(bytes, false);
    }
}

}  // namespace
}  // namespace loopsmith
