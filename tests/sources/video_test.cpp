// Video frames through FFmpeg: clips made by the ffmpeg program when the
// tests run, read by the loader, by fresh sources as the renderer reads
// them, and by the single-image component; each compared with ffmpeg's own
// decode of the same clip.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "sources/frame_count.h"
#include "sources/image_io.h"
#include "sources/multi_image_io.h"
#include "sources/thumb_strip.h"
#include "sources/video_ffmpeg.h"
#include "sources/video_source.h"
#include "sources/video_clips.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

using videotest::Clip;
using videotest::ClipRecipe;
using videotest::FfmpegFrames;
using videotest::FindClip;
using videotest::HasEncoder;

// The loader with a strip that keeps full pictures.
struct LoadedClip {
    TThumbStrip strip;
    TMultiImageIO io;
    std::vector<int> progress;

    explicit LoadedClip(const std::filesystem::path& path) {
        strip.SetThumbSize(INT_MAX, INT_MAX);
        io.AttachMView(&strip);
        io.OnProgress = [this](void*, int percent) { progress.push_back(percent); };
        io.LoadFramesFromFile(path);
    }
    ~LoadedClip() { io.DetachMView(); }
};

std::unique_ptr<TVideoFrameSource> sourceFor(TFileKind kind) {
    return kind == fkAVI ? DefaultAviFrameSource()() : DefaultMediaFrameSource()();
}

// --- One clip per container and codec ---

struct ClipCase {
    const char* file;
    TFileKind kind;  // the entries' FileKind: fkAVI, or 0 for the media path
    int delayMs;
    int channelBits, channelCount;
    int tolerance;  // against ffmpeg's decode, per channel
};

const ClipCase kClipCases[] = {
    {"raw_bgr24.avi", fkAVI, 40, 8, 3, 0},     {"raw_pal8.avi", fkAVI, 40, 8, 1, 0},
    {"raw_rgb555.avi", fkAVI, 40, 5, 3, 0},    {"mjpeg_ntsc.avi", fkAVI, 33, 8, 3, 2},
    {"mpeg1.mpg", fkUnknown, 40, 8, 3, 2},     {"mpeg2.mpg", fkUnknown, 40, 8, 3, 2},
    {"wmv2.wmv", fkUnknown, 40, 8, 3, 2},      {"h264.mp4", fkUnknown, 40, 8, 3, 2},
    {"mpeg4.mp4", fkUnknown, 40, 8, 3, 2},     {"vp9.webm", fkUnknown, 40, 8, 3, 2},
    {"ffv1_odd.mkv", fkUnknown, 40, 8, 3, 0},  {"mpeg4.mov", fkUnknown, 33, 8, 3, 2},
};

class VideoClipTest : public testing::TestWithParam<ClipCase> {};

TEST_P(VideoClipTest, EntriesMatchFfmpegAndFreshSources) {
    const ClipCase& c = GetParam();
    const ClipRecipe& recipe = *FindClip(c.file);
    if (recipe.needs && !HasEncoder(recipe.needs)) GTEST_SKIP() << "this ffmpeg has no " << recipe.needs << " encoder";
    const std::filesystem::path path = Clip(c.file);
    ASSERT_FALSE(path.empty()) << "ffmpeg could not make " << c.file;
    const std::vector<TRaster> expected = FfmpegFrames(c.file);
    ASSERT_EQ(static_cast<int>(expected.size()), recipe.frames);

    LoadedClip loaded(path);
    EXPECT_FALSE(loaded.io.Aborted);
    ASSERT_EQ(loaded.strip.ImageCount(), recipe.frames);
    for (int j = 0; j < recipe.frames; ++j) {
        SCOPED_TRACE("entry " + std::to_string(j));
        const TIOParams& params = loaded.io.EntryParams(j);
        EXPECT_EQ(params.GifImageIndex, j);
        EXPECT_EQ(params.FileKind, c.kind);
        EXPECT_EQ(params.FileName, path.string());
        EXPECT_EQ(params.ChannelBits, c.channelBits);
        EXPECT_EQ(params.ChannelCount, c.channelCount);
        EXPECT_EQ(params.ImageWidth, recipe.width);
        EXPECT_EQ(params.ImageHeight, recipe.height);
        EXPECT_EQ(loaded.strip.ImageDelay(j), c.delayMs);
        EXPECT_EQ(test::ComparePictures(loaded.strip.Thumbnail(j), expected[static_cast<size_t>(j)], c.tolerance),
                  "");
    }

    // What the renderer gets: a fresh source, frames in order, then out of
    // order on the same source.
    std::unique_ptr<TVideoFrameSource> source = sourceFor(c.kind);
    TVideoStreamInfo info;
    ASSERT_EQ(source->Open(path, info), TVideoOpenResult::Opened);
    EXPECT_EQ(info.FrameCount, recipe.frames);
    EXPECT_EQ(info.DelayMs, c.delayMs);
    std::vector<int> order;
    for (int j = 0; j < recipe.frames; ++j) order.push_back(j);
    for (int j = recipe.frames - 1; j >= 0; j -= 2) order.push_back(j);
    order.push_back(0);
    TRaster frame;
    for (int j : order) {
        SCOPED_TRACE("frame " + std::to_string(j));
        ASSERT_TRUE(source->ReadFrame(j, frame));
        EXPECT_EQ(test::ComparePictures(frame, loaded.strip.Thumbnail(j)), "");
    }
    EXPECT_FALSE(source->ReadFrame(recipe.frames, frame));
    EXPECT_FALSE(source->ReadFrame(-1, frame));
}

INSTANTIATE_TEST_SUITE_P(Clips, VideoClipTest, testing::ValuesIn(kClipCases),
                         [](const testing::TestParamInfo<ClipCase>& info) {
                             std::string name = info.param.file;
                             std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
                             return name;
                         });

// --- Random access on longer clips with key frames every 12 frames ---

struct LongClip {
    const char* file;
    TFileKind kind;
};

const LongClip kLongClips[] = {
    {"long_h264.mp4", fkUnknown}, {"long_mpeg2.mpg", fkUnknown}, {"long_vp9.webm", fkUnknown},
    {"long_wmv2.wmv", fkUnknown}, {"long_mjpeg.avi", fkAVI},
};

TEST(VideoSeekTest, FramesOutOfOrderMatchTheWalk) {
    const int pattern[] = {0, 100, 37, 36, 119, 5, 60, 61, 62, 118, 12, 11, 90, 91, 1};
    for (const LongClip& c : kLongClips) {
        SCOPED_TRACE(c.file);
        const ClipRecipe& recipe = *FindClip(c.file);
        if (recipe.needs && !HasEncoder(recipe.needs)) continue;
        const std::filesystem::path path = Clip(c.file);
        ASSERT_FALSE(path.empty());
        LoadedClip loaded(path);
        EXPECT_FALSE(loaded.io.Aborted);
        ASSERT_EQ(loaded.strip.ImageCount(), recipe.frames);
        std::unique_ptr<TVideoFrameSource> source = sourceFor(c.kind);
        TVideoStreamInfo info;
        ASSERT_EQ(source->Open(path, info), TVideoOpenResult::Opened);
        TRaster frame;
        for (int j : pattern) {
            SCOPED_TRACE("frame " + std::to_string(j));
            ASSERT_TRUE(source->ReadFrame(j, frame));
            EXPECT_EQ(test::ComparePictures(frame, loaded.strip.Thumbnail(j)), "");
        }
    }
}

// --- Reading ahead: every request order gives what a fresh source gives ---

TRaster freshRead(TFileKind kind, const std::filesystem::path& path, int32_t n) {
    std::unique_ptr<TVideoFrameSource> source = sourceFor(kind);
    TVideoStreamInfo info;
    TRaster frame;
    if (source->Open(path, info) != TVideoOpenResult::Opened || !source->ReadFrame(n, frame)) return {};
    return frame;
}

TEST(VideoReadAheadTest, MixedOrderMatchesFreshReads) {
    struct Case {
        const char* file;
        TFileKind kind;
        std::vector<int32_t> order;
    };
    // Onward by one, the same again, the one before (the read-ahead has
    // moved the decoder past it), back past a key frame, far ahead and on,
    // the last frame (nothing left to read ahead), the start.
    const std::vector<int32_t> longOrder = {40, 41, 42, 42, 41, 35, 100, 101, 102, 119, 0, 1};
    std::vector<Case> cases;
    for (const LongClip& c : kLongClips) cases.push_back({c.file, c.kind, longOrder});
    // Odd widths convert through a scratch buffer; palette AVI frames.
    cases.push_back({"ffv1_odd.mkv", fkUnknown, {2, 3, 4, 0, 5, 4}});
    cases.push_back({"raw_pal8.avi", fkAVI, {0, 1, 2, 3, 4, 0, 9, 8}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const ClipRecipe& recipe = *FindClip(c.file);
        if (recipe.needs && !HasEncoder(recipe.needs)) continue;
        const std::filesystem::path path = Clip(c.file);
        ASSERT_FALSE(path.empty());
        std::unique_ptr<TVideoFrameSource> source = sourceFor(c.kind);
        source->SetReadAhead(true);
        TVideoStreamInfo info;
        ASSERT_EQ(source->Open(path, info), TVideoOpenResult::Opened);
        TRaster frame;
        for (int32_t n : c.order) {
            SCOPED_TRACE("frame " + std::to_string(n));
            ASSERT_TRUE(source->ReadFrame(n, frame));
            const TRaster expected = freshRead(c.kind, path, n);
            ASSERT_FALSE(expected.IsEmpty());
            EXPECT_EQ(test::ComparePictures(frame, expected), "");
        }
        EXPECT_FALSE(source->ReadFrame(recipe.frames, frame));
        // A second file on the same source while a read-ahead is running.
        ASSERT_TRUE(source->ReadFrame(0, frame));
        const std::filesystem::path other = Clip("raw_bgr24.avi");
        ASSERT_EQ(source->Open(other, info), TVideoOpenResult::Opened);
        ASSERT_TRUE(source->ReadFrame(1, frame));
        EXPECT_EQ(test::ComparePictures(frame, FfmpegFrames("raw_bgr24.avi")[1]), "");
        // Destroyed with a read-ahead running.
        ASSERT_TRUE(source->ReadFrame(2, frame));
    }
}

// --- The loader's events and the media path's refusals ---

TEST(VideoLoaderTest, AviProgressRunsOncePerFrame) {
    const std::filesystem::path path = Clip("raw_bgr24.avi");
    ASSERT_FALSE(path.empty());
    LoadedClip loaded(path);
    EXPECT_EQ(loaded.progress, (std::vector<int>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
}

TEST(VideoLoaderTest, AviWithoutVideoFallsToMediaAndYieldsNothing) {
    const std::filesystem::path path = videotest::AudioOnlyAvi();
    ASSERT_FALSE(path.empty());
    LoadedClip loaded(path);
    EXPECT_TRUE(loaded.io.Aborted);
    EXPECT_EQ(loaded.strip.ImageCount(), 0);
    EXPECT_EQ(loaded.progress.back(), 100);
    TImageIO image;
    EXPECT_EQ(image.OpenAviFile(path), 0);
    EXPECT_TRUE(image.Aborting());
}

// Patches the first video stream header of an AVI.
std::filesystem::path patchStreamHeader(const std::filesystem::path& from, const char* name, size_t field,
                                        uint32_t value) {
    std::vector<uint8_t> bytes = test::ReadFile(from);
    const std::string text(bytes.begin(), bytes.end());
    size_t at = text.find("vids");
    while (at != std::string::npos && (at < 8 || text.compare(at - 8, 4, "strh") != 0)) at = text.find("vids", at + 1);
    if (at == std::string::npos) return {};
    for (int i = 0; i < 4; ++i) bytes[at + field + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    const std::filesystem::path path = test::TempDir() / name;
    test::WriteFile(path, bytes);
    return path;
}

TEST(VideoLoaderTest, AviStreamWithZeroRateScaleOrLengthGoesToMedia) {
    const std::filesystem::path raw = Clip("raw_bgr24.avi");
    ASSERT_FALSE(raw.empty());
    struct Case {
        const char* name;
        size_t field;  // offset in the stream header
    } const cases[] = {{"zero_scale.avi", 20}, {"zero_rate.avi", 24}, {"zero_length.avi", 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path path = patchStreamHeader(raw, c.name, c.field, 0);
        ASSERT_FALSE(path.empty());
        TImageIO image;
        EXPECT_EQ(image.OpenAviFile(path), 0);
        EXPECT_TRUE(image.Aborting());
        // FFmpeg still plays it as media.
        LoadedClip loaded(path);
        EXPECT_GT(loaded.strip.ImageCount(), 0);
        for (int j = 0; j < loaded.strip.ImageCount(); ++j) EXPECT_EQ(loaded.io.EntryParams(j).FileKind, fkUnknown);
    }
}

// --- The single-image component ---

TEST(VideoImageIOTest, OpenLoadAndClose) {
    const std::filesystem::path raw = Clip("raw_bgr24.avi");
    const std::filesystem::path pal = Clip("raw_pal8.avi");
    ASSERT_FALSE(raw.empty());
    ASSERT_FALSE(pal.empty());
    const std::vector<TRaster> rawFrames = FfmpegFrames("raw_bgr24.avi");
    const std::vector<TRaster> palFrames = FfmpegFrames("raw_pal8.avi");
    ASSERT_EQ(rawFrames.size(), 10u);
    ASSERT_EQ(palFrames.size(), 10u);

    TImageIO image;
    int finished = 0;
    image.OnFinishWork = [&] { ++finished; };
    EXPECT_EQ(image.OpenAviFile(raw), 10);
    EXPECT_FALSE(image.Aborting());
    EXPECT_EQ(image.Params().AVIFrameCount, 10);
    EXPECT_EQ(image.Params().AVIFrameDelay, 40);
    EXPECT_EQ(image.Params().FileKind, 0);
    EXPECT_EQ(image.Params().FileName, raw.string());
    image.LoadAviFrame(7);
    EXPECT_EQ(test::ComparePictures(image.Bitmap(), rawFrames[7]), "");
    EXPECT_EQ(image.Params().ImageWidth, 32);
    EXPECT_EQ(image.Params().OriginalHeight, 24);
    EXPECT_EQ(image.Params().DotsPerInchX, 300);
    EXPECT_EQ(image.Params().ChannelCount, 3);
    EXPECT_EQ(finished, 1);

    // An index at the stream's length changes nothing but still finishes.
    image.LoadAviFrame(10);
    EXPECT_FALSE(image.Aborting());
    EXPECT_EQ(test::ComparePictures(image.Bitmap(), rawFrames[7]), "");
    EXPECT_EQ(finished, 2);

    // A second file replaces the first; palette frames arrive as 24-bit.
    EXPECT_EQ(image.OpenAviFile(pal), 10);
    image.LoadAviFrame(2);
    EXPECT_EQ(image.Bitmap().PixelLayout(), px24RGB);
    EXPECT_EQ(test::ComparePictures(image.Bitmap(), palFrames[2]), "");
    EXPECT_EQ(image.Params().ChannelBits, 8);
    EXPECT_EQ(image.Params().ChannelCount, 1);
    image.LoadAviFrame(1);
    EXPECT_EQ(test::ComparePictures(image.Bitmap(), palFrames[1]), "");

    // Closed: loads do nothing.
    image.CloseAviFile();
    image.LoadAviFrame(3);
    EXPECT_EQ(test::ComparePictures(image.Bitmap(), palFrames[1]), "");

    EXPECT_EQ(image.OpenAviFile(test::TempDir() / "missing.avi"), 0);
    EXPECT_TRUE(image.Aborting());
    EXPECT_EQ(image.Params().AVIFrameCount, 0);
}

TEST(VideoFrameCountTest, AviAndUnknownExtensionsAreCountedByTheMediaSource) {
    const std::filesystem::path garbage = test::TempDir() / "garbage.xyz";
    test::WriteFile(garbage, std::vector<uint8_t>(4000, 0x5A));
    struct Case {
        std::filesystem::path path;
        int32_t frames;
    };
    std::vector<Case> cases = {{Clip("raw_bgr24.avi"), 10},
                               {Clip("ffv1_odd.mkv"), 6},
                               {Clip("mpeg1.mpg"), 10},
                               {garbage, 0},
                               {test::TempDir() / "missing.mov", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        EXPECT_EQ(FileFrameCount(c.path), c.frames);
    }
}

}  // namespace
}  // namespace loopsmith
