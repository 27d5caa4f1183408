// Any bytes as a video file, read from memory: opened as AVI and as media,
// then a few frames asked for out of order (forward, back to the start, the
// last one) so that seeking runs too.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "sources/video_ffmpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace loopsmith;
    const std::span<const std::byte> bytes = std::as_bytes(std::span(data, size));
    for (TVideoTimeline timeline : {TVideoTimeline::AviFrames, TVideoTimeline::MediaSteps}) {
        TFfmpegVideoSource source(timeline);
        TVideoStreamInfo info;
        if (source.OpenMemory(bytes, info) != TVideoOpenResult::Opened) continue;
        TRaster frame;
        const int32_t last = std::min(info.FrameCount, 16) - 1;
        for (int32_t n : {0, 1, last, 0, last + 1}) source.ReadFrame(n, frame);
    }
    return 0;
}
