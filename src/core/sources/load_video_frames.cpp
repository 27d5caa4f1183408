// The video paths of the multi-frame loader: AVI files through the AVI
// backend, everything no other path claims through the media backend.

#include "sources/multi_image_io.h"

namespace loopsmith {

namespace {

constexpr int32_t kVideoDpi = 300;
constexpr int32_t kMsPerGifDelayUnit = 10;

struct ChannelLayout {
    int32_t bits;
    int32_t count;
};

ChannelLayout channelsOfBitCount(int32_t bitCount) {
    switch (bitCount) {
        case 1: return {1, 1};
        case 4: return {4, 1};
        case 8: return {8, 1};
        case 15: return {5, 3};
        default: return {8, 3};
    }
}

std::string utf8Name(const std::filesystem::path& fileName) {
    const std::u8string name = fileName.u8string();
    return std::string(name.begin(), name.end());
}

}  // namespace

void TMultiImageIO::LoadAVIFrames(const std::filesystem::path& fileName) {
    bool handOver = false;
    runPath([&](TThumbStrip& view) {
        std::unique_ptr<TVideoFrameSource> source = AviFrameSource ? AviFrameSource() : nullptr;
        TVideoStreamInfo info;
        const TVideoOpenResult opened = source ? source->Open(fileName, info) : TVideoOpenResult::NoVideo;
        if (opened == TVideoOpenResult::NoVideo) {
            handOver = true;
            return false;
        }
        if (opened == TVideoOpenResult::CannotOpen) Aborted = true;
        else loadVideoFrames(view, *source, info, utf8Name(fileName), fkAVI);
        return true;
    });
    // Without a usable video stream the file may still be media the other
    // backend can play.
    if (handOver) LoadMediaFrames(fileName);
}

void TMultiImageIO::LoadMediaFrames(const std::filesystem::path& fileName) {
    runPath([&](TThumbStrip& view) {
        std::unique_ptr<TVideoFrameSource> source = MediaFrameSource ? MediaFrameSource() : nullptr;
        TVideoStreamInfo info;
        if (!source || source->Open(fileName, info) != TVideoOpenResult::Opened || info.FrameCount <= 0)
            Aborted = true;
        else loadVideoFrames(view, *source, info, utf8Name(fileName), fkUnknown);
        return true;
    });
}

void TMultiImageIO::loadVideoFrames(TThumbStrip& view, TVideoFrameSource& source, const TVideoStreamInfo& info,
                                    const std::string& fileName, TFileKind kind) {
    const ChannelLayout channels = channelsOfBitCount(info.BitCount);
    int32_t p = insertionPoint();
    for (int32_t n = 0; n < info.FrameCount; ++n, ++p) {
        if (Aborted || m_view != &view) {
            Aborted = true;
            break;
        }
        TRaster frame;
        if (!source.ReadFrame(n, frame) || frame.IsEmpty()) {
            Aborted = true;
            break;
        }
        TIOParams params = newRecordAt(p);
        params.SetImageIndex(n);
        params.FileName = fileName;
        params.FileKind = kind;
        params.ImageWidth = frame.Width();
        params.ImageHeight = frame.Height();
        params.ChannelBits = channels.bits;
        params.ChannelCount = channels.count;
        params.DotsPerInchX = kVideoDpi;
        params.DotsPerInchY = kVideoDpi;
        params.AVIFrameCount = info.FrameCount;
        params.AVIFrameDelay = info.DelayMs;
        params.GifDelay = info.DelayMs / kMsPerGifDelayUnit;
        insertFrameEntry(view, p, std::move(params), frame);
        // Only the entry list's capacity depends on the hint.
        if (n == 0) view.ReserveStorage(info.FrameCount - 1, frame.Width(), frame.Height(), info.BitCount);
        view.SetImageDelay(p, info.DelayMs);
        reportFrameProgress(n, info.FrameCount);
    }
}

}  // namespace loopsmith
