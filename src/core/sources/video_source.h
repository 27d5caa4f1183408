#pragma once
// The place where a video backend plugs in: one open video file walked
// frame by frame, and the process-wide backends.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "imaging/raster.h"

namespace loopsmith {

// What a video backend reports about the first video stream of a file.
struct TVideoStreamInfo {
    int32_t FrameCount = 0;
    int32_t DelayMs = 0;   // per frame, truncated
    int32_t BitCount = 24;  // of the source frames: 1, 4, 8, 15, 16, 24 or 32
};

// ChannelBits and ChannelCount of a video frame by its bit count; false
// (both left alone) for a bit count outside the table.
bool ChannelsOfVideoBitCount(int32_t bitCount, int32_t& channelBits, int32_t& channelCount);

enum class TVideoOpenResult {
    Opened,
    CannotOpen,  // the file cannot be read at all
    NoVideo,     // readable, but no video stream the backend can deliver
};

// One open video file and its frames by number. A backend (FFmpeg) plugs
// in through the process-wide factories below.
class TVideoFrameSource {
public:
    virtual ~TVideoFrameSource() = default;
    virtual TVideoOpenResult Open(const std::filesystem::path& fileName, TVideoStreamInfo& info) = 0;
    // Frame n as px24RGB (px1g for 1-bit video), for any n; cheapest in
    // increasing order. Asking for the same n again gives the same picture.
    // False when the frame cannot be delivered. `frame` is reused when it
    // already has the frame's size and layout.
    virtual bool ReadFrame(int32_t n, TRaster& frame) = 0;
    // When on, a backend may decode frame n + 1 in the background after
    // delivering frame n; the pictures delivered stay the same. Off by
    // default, so that a plain walk stays on the caller's thread.
    virtual void SetReadAhead(bool /*on*/) {}
};

using TVideoSourceFactory = std::function<std::unique_ptr<TVideoFrameSource>()>;

// Process-wide backends for AVI files and for other media; FFmpeg unless
// replaced at start-up. Loaders copy them when created.
TVideoSourceFactory& DefaultAviFrameSource();
TVideoSourceFactory& DefaultMediaFrameSource();

// Frames of a video file through the media backend; 0 when there is none
// or the file has no video it can deliver.
int32_t VideoFrameCount(const std::filesystem::path& fileName);

}  // namespace loopsmith
