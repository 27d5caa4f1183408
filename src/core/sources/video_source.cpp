#include "sources/video_source.h"

namespace loopsmith {

TVideoSourceFactory& DefaultAviFrameSource() {
    static TVideoSourceFactory factory;
    return factory;
}

TVideoSourceFactory& DefaultMediaFrameSource() {
    static TVideoSourceFactory factory;
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
