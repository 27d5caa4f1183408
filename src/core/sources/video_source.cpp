#include "sources/video_source.h"

#include "sources/video_ffmpeg.h"

namespace loopsmith {

bool ChannelsOfVideoBitCount(int32_t bitCount, int32_t& channelBits, int32_t& channelCount) {
    switch (bitCount) {
        case 1:
        case 4:
        case 8: channelBits = bitCount; channelCount = 1; return true;
        case 15: channelBits = 5; channelCount = 3; return true;
        case 16:
        case 24:
        case 32: channelBits = 8; channelCount = 3; return true;
        default: return false;
    }
}

TVideoSourceFactory& DefaultAviFrameSource() {
    static TVideoSourceFactory factory = MakeFfmpegAviSource;
    return factory;
}

TVideoSourceFactory& DefaultMediaFrameSource() {
    static TVideoSourceFactory factory = MakeFfmpegMediaSource;
    return factory;
}

int32_t VideoFrameCount(const std::filesystem::path& fileName) {
    const TVideoSourceFactory& factory = DefaultMediaFrameSource();
    std::unique_ptr<TVideoFrameSource> source = factory ? factory() : nullptr;
    TVideoStreamInfo info;
    if (!source || source->Open(fileName, info) != TVideoOpenResult::Opened) return 0;
    return info.FrameCount;
}

}  // namespace loopsmith
