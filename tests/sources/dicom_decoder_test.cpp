#include "sources/dicom_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "render/frame_render.h"
#include "render/image_view.h"
#include "sources/detect.h"
#include "sources/format_registry.h"
#include "sources/frame_count.h"
#include "sources/image_reader.h"
#include "sources/multi_image_io.h"
#include "sources/thumb_strip.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

const std::filesystem::path kFolder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "dicom";

using ReadResult = test::TDecoded;

ReadResult readBytes(const std::vector<uint8_t>& bytes, int32_t index = 0, bool paramsOnly = false) {
    return test::DecodeBytes(fkDICOM, bytes, index, paramsOnly);
}

struct FixtureCase {
    const char* file;
    int32_t index;
    const char* reference;
    TPixelLayout layout;
    int32_t channelBits, channelCount, count;
    int tolerance;
};

// Windowed and inverted grey rounds a real-valued function: 1 allowed.
const FixtureCase kFixtures[] = {
    {"grey8.dcm", 0, "grey8.pam", px8g, 8, 1, 1, 0},
    {"grey8-jpegls.dcm", 0, "grey8.pam", px8g, 8, 1, 1, 0},
    {"mono1.dcm", 0, "mono1.pam", px8g, 8, 1, 1, 1},
    {"ct3.dcm", 0, "ct3-0.pam", px8g, 16, 1, 3, 1},
    {"ct3.dcm", 2, "ct3-2.pam", px8g, 16, 1, 3, 1},
    {"two-jpeg.dcm", 0, "two-0.pam", px8g, 8, 1, 2, 0},
    {"two-jpeg.dcm", 1, "two-1.pam", px8g, 8, 1, 2, 0},
    {"rgb-planar.dcm", 0, "rgb-planar.pam", px24RGB, 8, 3, 1, 0},
    {"rgb-rle.dcm", 0, "rgb-planar.pam", px24RGB, 8, 3, 1, 0},
};

TEST(DicomDecoder, PeerFixturesMatchTheirReferences) {
    for (const FixtureCase& c : kFixtures) {
        SCOPED_TRACE(std::string(c.file) + " #" + std::to_string(c.index));
        const std::vector<uint8_t> bytes = test::ReadFile(kFolder / c.file);
        TMemoryStream probe(bytes);
        EXPECT_EQ(DetectStreamKind(probe), fkDICOM);

        ReadResult r = readBytes(bytes, c.index);
        ASSERT_FALSE(r.aborted);
        const TRaster expected = test::ReadPam(kFolder / c.reference);
        ASSERT_FALSE(expected.IsEmpty());
        EXPECT_EQ(r.image.PixelLayout(), c.layout);
        EXPECT_FALSE(r.image.HasAlphaChannel());
        EXPECT_EQ(test::ComparePictures(r.image, expected, c.tolerance), "");
        EXPECT_EQ(r.params.ChannelBits, c.channelBits);
        EXPECT_EQ(r.params.ChannelCount, c.channelCount);
        EXPECT_EQ(r.params.ImageWidth, expected.Width());
        EXPECT_EQ(r.params.OriginalHeight, expected.Height());
        EXPECT_EQ(r.params.DICOMImageCount, c.count);
    }
}

TEST(DicomDecoder, ParametersOnlyReadsNoPixelsAndLeavesGifFields) {
    ReadResult r;
    r.params.GifDelay = 7;
    r.params.GifTransparent = true;
    TMemoryStream stream(test::ReadFile(kFolder / "ct3.dcm"));
    TProgressContext ctx(r.aborted);
    ReadDicomStream(stream, r.image, r.params, ctx, true);
    ASSERT_FALSE(r.aborted);
    EXPECT_TRUE(r.image.IsEmpty());
    EXPECT_EQ(r.params.DICOMImageCount, 3);
    EXPECT_EQ(r.params.ImageWidth, 6);
    EXPECT_EQ(r.params.ImageHeight, 4);
    EXPECT_EQ(r.params.GifDelay, 7);
    EXPECT_TRUE(r.params.GifTransparent);
    // No pixel spacing in this file: the resolution stays as it was.
    EXPECT_EQ(r.params.DotsPerInchX, kDefaultDpi);
}

TEST(DicomDecoder, ReadsFramesFromTheStreamPosition) {
    // Frames are fetched from the stream only when needed, at their own
    // offsets: those must count from where the file starts.
    std::vector<uint8_t> bytes = test::ReadFile(kFolder / "two-jpeg.dcm");
    bytes.insert(bytes.begin(), 17, 0xAB);
    const auto path = test::TempDir() / "shifted.bin";
    test::WriteFile(path, bytes);
    TFileStream file(path, TFileMode::Read);
    for (int32_t n : {1, 0}) {
        SCOPED_TRACE(n);
        file.Seek(17);
        ReadResult r;
        r.params.SetImageIndex(n);
        TProgressContext ctx(r.aborted);
        ReadDicomStream(file, r.image, r.params, ctx, false);
        ASSERT_FALSE(r.aborted);
        EXPECT_EQ(test::ComparePictures(r.image, test::ReadPam(kFolder / ("two-" + std::to_string(n) + ".pam"))), "");
    }
}

TEST(DicomDecoder, PixelSpacingGivesTheResolution) {
    // 0.5 mm between rows, 0.25 mm between columns.
    ReadResult r = readBytes(test::ReadFile(kFolder / "grey8.dcm"), 0, true);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.params.DotsPerInchX, 102);
    EXPECT_EQ(r.params.DotsPerInchY, 51);
}

// Replaces the first occurrence of `from` (a tag and what follows) by `to`.
std::vector<uint8_t> patched(std::vector<uint8_t> bytes, const std::vector<uint8_t>& from, const std::vector<uint8_t>& to) {
    const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    EXPECT_NE(at, bytes.end());
    if (at != bytes.end()) std::copy(to.begin(), to.end(), at);
    return bytes;
}

TEST(DicomDecoder, DamagedFilesAreRefused) {
    const std::vector<uint8_t> grey = test::ReadFile(kFolder / "grey8.dcm");
    const std::vector<uint8_t> ct = test::ReadFile(kFolder / "ct3.dcm");
    const std::vector<uint8_t> jpeg = test::ReadFile(kFolder / "two-jpeg.dcm");
    // Explicit little endian: group, element, "US", length 2, value.
    const std::vector<uint8_t> ctRows = {0x28, 0, 0x10, 0, 'U', 'S', 2, 0, 4, 0};
    const std::vector<uint8_t> hugeRows = {0x28, 0, 0x10, 0, 'U', 'S', 2, 0, 0xFF, 0xFF};
    const std::vector<uint8_t> ctColumns = {0x28, 0, 0x11, 0, 'U', 'S', 2, 0, 6, 0};
    const std::vector<uint8_t> hugeColumns = {0x28, 0, 0x11, 0, 'U', 'S', 2, 0, 0xFF, 0xFF};
    const std::vector<uint8_t> threeFrames = {0x28, 0, 0x08, 0, 'I', 'S', 2, 0, '3', ' '};
    const std::vector<uint8_t> nineFrames = {0x28, 0, 0x08, 0, 'I', 'S', 2, 0, '9', ' '};
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int32_t index;
    };
    const Case cases[] = {
        {"empty", {}, 0},
        {"preamble and key only", std::vector<uint8_t>(grey.begin(), grey.begin() + 132), 0},
        {"cut in the header", std::vector<uint8_t>(grey.begin(), grey.begin() + 300), 0},
        {"cut in the pixels", std::vector<uint8_t>(grey.begin(), grey.end() - 10), 0},
        {"cut in a compressed frame", std::vector<uint8_t>(jpeg.begin(), jpeg.end() - 60), 1},
        {"huge size, few pixels", patched(patched(ct, ctRows, hugeRows), ctColumns, hugeColumns), 0},
        {"more frames than pixels", patched(ct, threeFrames, nineFrames), 0},
        {"pixel data of gigabytes", patched(ct, {0xE0, 0x7F, 0x10, 0, 'O', 'W', 0, 0}, {0xE0, 0x7F, 0x10, 0, 'O', 'W', 0, 0, 0xF0, 0xFF, 0xFF, 0x7F}), 0},
        {"RLE segment past its fragment",
         test::ReadFile(std::filesystem::path(LOOPSMITH_TEST_DATA) / "crash" / "dicom-rle-segment-past-fragment.dcm"), 0},
        {"JPEG fragment with a TEM marker",
         test::ReadFile(std::filesystem::path(LOOPSMITH_TEST_DATA) / "crash" / "dicom-jpeg-tem-marker-hang.dcm"), 0},
        {"index past the last frame", ct, 3},
        {"negative index", ct, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReadResult r = readBytes(c.bytes, c.index);
        EXPECT_TRUE(r.aborted);
        EXPECT_TRUE(r.image.IsEmpty());
    }
}

TEST(DicomDecoder, LoaderAndRendererShowEveryFrame) {
    const std::filesystem::path path = kFolder / "ct3.dcm";
    EXPECT_EQ(FileFrameCount(path), 3);
    TThumbStrip strip;
    TMultiImageIO io;
    io.AttachMView(&strip);
    io.LoadFramesFromFile(path);
    ASSERT_FALSE(io.Aborted);
    ASSERT_EQ(strip.ImageCount(), 3);
    TImageView view;
    for (int32_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        const TRaster expected = test::ReadPam(kFolder / ("ct3-" + std::to_string(n) + ".pam"));
        EXPECT_EQ(test::ComparePictures(strip.Thumbnail(n), expected, 1), "");
        EXPECT_EQ(io.EntryParams(n).FileKind, fkDICOM);
        EXPECT_EQ(io.EntryParams(n).DICOMImageIndex, n);
        // No spacing in the file: the loader's default resolution.
        EXPECT_EQ(io.EntryParams(n).DotsPerInchX, 300);
        ASSERT_TRUE(LoadSourceFrame(view, path, n).Ok);
        EXPECT_EQ(test::ComparePictures(view.Bitmap(), expected, 1), "");
    }
}

}  // namespace
}  // namespace loopsmith
