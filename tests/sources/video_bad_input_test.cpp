// Damaged, empty and foreign files on the video paths: no crash, no hang,
// nothing printed, and only entries whose pictures are right.

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <string>
#include <vector>

#include "sources/multi_image_io.h"
#include "sources/thumb_strip.h"
#include "sources/video_clips.h"
#include "sources/video_ffmpeg.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

struct BadFile {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string intactClip;  // the clip this is a prefix of, or empty
};

std::vector<uint8_t> garbage(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = 12345;
    for (uint8_t& b : bytes) {
        state = state * 1103515245 + 12345;
        b = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

std::vector<uint8_t> prefix(const std::string& clip, double fraction) {
    std::vector<uint8_t> bytes = test::ReadFile(videotest::Clip(clip));
    bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * fraction));
    return bytes;
}

std::vector<uint8_t> withGarbageAfter(const std::string& clip, size_t keep) {
    std::vector<uint8_t> bytes = test::ReadFile(videotest::Clip(clip));
    const std::vector<uint8_t> noise = garbage(bytes.size());
    for (size_t i = keep; i < bytes.size(); ++i) bytes[i] = noise[i];
    return bytes;
}

std::vector<BadFile> badFiles() {
    std::vector<uint8_t> riffOnly = {'R', 'I', 'F', 'F', 0xFF, 0xFF, 0xFF, 0x7F, 'A', 'V', 'I', ' '};
    std::vector<BadFile> files = {
        {"empty.avi", {}, ""},
        {"empty.mp4", {}, ""},
        {"garbage.avi", garbage(5000), ""},
        {"garbage.mp4", garbage(5000), ""},
        {"garbage.mkv", garbage(100000), ""},
        {"riff_header_only.avi", riffOnly, ""},
        {"half_raw.avi", prefix("raw_bgr24.avi", 0.5), "raw_bgr24.avi"},
        {"half_pal8.avi", prefix("raw_pal8.avi", 0.6), "raw_pal8.avi"},
        {"headers_only.avi", prefix("raw_bgr24.avi", 0.05), "raw_bgr24.avi"},
        {"half_mjpeg.avi", prefix("long_mjpeg.avi", 0.5), ""},
        {"half_mpeg2.mpg", prefix("long_mpeg2.mpg", 0.5), ""},
        {"half_wmv2.wmv", prefix("long_wmv2.wmv", 0.5), ""},
        {"half_ffv1.mkv", prefix("ffv1_odd.mkv", 0.5), "ffv1_odd.mkv"},
        {"noisy_mpeg2.mpg", withGarbageAfter("long_mpeg2.mpg", 3000), ""},
        {"noisy_wmv2.wmv", withGarbageAfter("long_wmv2.wmv", 2000), ""},
    };
    if (videotest::HasEncoder("libx264")) {
        // The index sits at the front, so the cut leaves frames to read.
        files.push_back({"half_h264.mp4", prefix("long_h264.mp4", 0.5), ""});
        files.push_back({"noisy_h264.mp4", withGarbageAfter("long_h264.mp4", 4000), ""});
    }
    return files;
}

TEST(VideoBadInputTest, LoaderStaysSafeAndKeepsOnlyIntactFrames) {
    for (const BadFile& file : badFiles()) {
        SCOPED_TRACE(file.name);
        const std::filesystem::path path = test::TempDir() / file.name;
        test::WriteFile(path, file.bytes);
        TThumbStrip strip;
        strip.SetThumbSize(INT_MAX, INT_MAX);
        TMultiImageIO io;
        io.AttachMView(&strip);
        int finished = 0;
        io.OnFinishWork = [&] { ++finished; };
        testing::internal::CaptureStderr();
        EXPECT_NO_THROW(io.LoadFramesFromFile(path));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(finished, 1);
        EXPECT_EQ(io.EntryParamsCount(), strip.ImageCount());
        if (strip.ImageCount() == 0) {
            EXPECT_TRUE(io.Aborted);
        }
        if (!file.intactClip.empty()) {
            // What a cut keeps must be the clip's own frames, in order; a
            // picture the cut went through is dropped, never padded.
            const std::vector<TRaster> frames = videotest::FfmpegFrames(file.intactClip);
            ASSERT_LE(static_cast<size_t>(strip.ImageCount()), frames.size());
            for (int j = 0; j < strip.ImageCount(); ++j)
                EXPECT_EQ(test::ComparePictures(strip.Thumbnail(j), frames[static_cast<size_t>(j)]), "")
                    << "entry " << j;
        }
        io.DetachMView();
    }
}

// Reading ahead changes no answer: a read-ahead that fails leaves the
// request to decode as without one.
TEST(VideoBadInputTest, SourcesFromMemoryAnswerEveryRequestAlikeWithReadAhead) {
    for (const BadFile& file : badFiles()) {
        SCOPED_TRACE(file.name);
        const auto bytes = std::as_bytes(std::span(file.bytes));
        for (TVideoTimeline timeline : {TVideoTimeline::AviFrames, TVideoTimeline::MediaSteps}) {
            TFfmpegVideoSource plain(timeline), ahead(timeline);
            ahead.SetReadAhead(true);
            TVideoStreamInfo info, aheadInfo;
            const TVideoOpenResult opened = plain.OpenMemory(bytes, info);
            ASSERT_EQ(ahead.OpenMemory(bytes, aheadInfo), opened);
            if (opened != TVideoOpenResult::Opened) continue;
            const int32_t last = info.FrameCount - 1;
            TRaster expected, frame;
            for (int32_t n : {0, 1, 2, last, 1, info.FrameCount, 3, 4, last - 1, last, 0}) {
                SCOPED_TRACE("frame " + std::to_string(n));
                const bool ok = plain.ReadFrame(n, expected);
                ASSERT_EQ(ahead.ReadFrame(n, frame), ok);
                if (ok) {
                    EXPECT_EQ(test::ComparePictures(frame, expected), "");
                }
            }
        }
    }
}

}  // namespace
}  // namespace loopsmith
