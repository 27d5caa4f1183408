#pragma once
// Video frames through FFmpeg: the backend behind both video paths.
//
// Frames are addressed by time. An AVI source numbers the frames of the
// file's first video stream as the AVI header counts them: frame n is the
// picture on screen at n * scale / rate seconds (a dropped frame repeats
// the one before). A media source divides the clip into steps of one
// average frame duration: frame j is the picture on screen at j steps from
// the first frame, sampled half a step late so that the rounding of coarse
// container clocks never moves a frame into its neighbour's slot.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "sources/video_source.h"

namespace loopsmith {

enum class TVideoTimeline {
    AviFrames,   // frame counts, rate and scale from the AVI stream header
    MediaSteps,  // any container: duration, step and count as a player sees them
};

class TFfmpegVideoSource final : public TVideoFrameSource {
public:
    explicit TFfmpegVideoSource(TVideoTimeline timeline);
    ~TFfmpegVideoSource() override;
    TFfmpegVideoSource(const TFfmpegVideoSource&) = delete;
    TFfmpegVideoSource& operator=(const TFfmpegVideoSource&) = delete;

    TVideoOpenResult Open(const std::filesystem::path& fileName, TVideoStreamInfo& info) override;
    // The same from bytes in memory, which must outlive the source.
    TVideoOpenResult OpenMemory(std::span<const std::byte> bytes, TVideoStreamInfo& info);
    // Decodes forward from the last frame delivered; seeks (to the key
    // frame before, then decodes forward) only for a frame behind it or far
    // ahead of it.
    bool ReadFrame(int32_t n, TRaster& frame) override;
    // One worker thread at a time decodes and converts the next frame while
    // the caller works on this one; the decoder is only ever used by one
    // thread at a time.
    void SetReadAhead(bool on) override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

std::unique_ptr<TVideoFrameSource> MakeFfmpegAviSource();
std::unique_ptr<TVideoFrameSource> MakeFfmpegMediaSource();

}  // namespace loopsmith
