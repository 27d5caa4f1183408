// The video paths of the multi-frame loader: AVI files through the AVI
// backend, everything no other path claims through the media backend.

#include "sources/multi_image_io.h"

namespace loopsmith {

namespace {

constexpr int32_t kVideoDpi = 300;
constexpr int32_t kMsPerGifDelayUnit = 10;
// What the media backend hands over.
constexpr int32_t kMediaBitCount = 24;

std::string utf8Name(const std::filesystem::path& fileName) {
    const std::u8string name = fileName.u8string();
    return std::string(name.begin(), name.end());
}

// AVI frames are announced at their own size; media frames at the strip's
// thumbnail size unless the strip keeps full pictures.
void reserveVideoStorage(TThumbStrip& view, const TVideoStreamInfo& info, const TRaster& frame, bool avi) {
    const int32_t count = info.FrameCount - 1;
    if (avi) return view.ReserveStorage(count, frame.Width(), frame.Height(), info.BitCount);
    const bool fullPictures = frame.Width() <= view.ThumbWidth() && frame.Height() <= view.ThumbHeight();
    if (fullPictures) view.ReserveStorage(count, frame.Width(), frame.Height(), kMediaBitCount);
    else view.ReserveStorage(count, view.ThumbWidth(), view.ThumbHeight(), kMediaBitCount);
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
    const bool avi = kind == fkAVI;
    int32_t p = insertionPoint();
    // One buffer for the whole walk; the strip keeps its own reduced copy.
    TRaster frame;
    for (int32_t n = 0; n < info.FrameCount; ++n, ++p) {
        if (Aborted || m_view != &view) {
            Aborted = true;
            break;
        }
        if (!source.ReadFrame(n, frame) || frame.IsEmpty()) {
            Aborted = true;
            break;
        }
        TIOParams params = newRecordAt(p);
        params.SetImageIndex(n);
        params.FileName = fileName;
        params.FileKind = kind;
        // Media entries are described like AVI ones rather than keep the
        // values of the neighbouring entry's file.
        params.GifDelay = info.DelayMs / kMsPerGifDelayUnit;
        ChannelsOfVideoBitCount(info.BitCount, params.ChannelBits, params.ChannelCount);
        params.DotsPerInchX = kVideoDpi;
        params.DotsPerInchY = kVideoDpi;
        params.ImageWidth = frame.Width();
        params.ImageHeight = frame.Height();
        insertFrameEntry(view, p, std::move(params), frame);
        view.SetImageDelay(p, info.DelayMs);
        // Only the entry list's capacity depends on the hint.
        if (n == 0) reserveVideoStorage(view, info, frame, avi);
        reportFrameProgress(n, info.FrameCount);
    }
}

}  // namespace loopsmith
