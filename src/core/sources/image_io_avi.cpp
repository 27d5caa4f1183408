// AVI frame access on the single-image component: the file's first video
// stream stays open between frame loads.

#include "sources/image_io.h"

namespace loopsmith {

namespace {
constexpr int32_t kVideoDpi = 300;
}

int32_t TImageIO::OpenAviFile(const std::filesystem::path& fileName) {
    m_aborting = false;
    CloseAviFile();
    const std::u8string name = fileName.u8string();
    m_params.FileName.assign(name.begin(), name.end());
    m_params.FileKind = 0;
    m_params.AVIFrameCount = 0;
    const TVideoSourceFactory& factory = DefaultAviFrameSource();
    std::unique_ptr<TVideoFrameSource> source = factory ? factory() : nullptr;
    TVideoStreamInfo info;
    if (!source || source->Open(fileName, info) != TVideoOpenResult::Opened || info.FrameCount <= 0) {
        m_aborting = true;
        return 0;
    }
    m_avi = std::move(source);
    m_aviInfo = info;
    m_params.AVIFrameCount = info.FrameCount;
    m_params.AVIFrameDelay = info.DelayMs;
    return info.FrameCount;
}

void TImageIO::LoadAviFrame(uint32_t n) {
    m_aborting = false;
    if (m_avi && n < static_cast<uint32_t>(m_aviInfo.FrameCount)) {
        m_params.AVIFrameCount = m_aviInfo.FrameCount;
        m_params.AVIFrameDelay = m_aviInfo.DelayMs;
        TRaster frame;
        // A frame that cannot be delivered leaves the previous image.
        if (m_avi->ReadFrame(static_cast<int32_t>(n), frame) && !frame.IsEmpty()) {
            m_image = std::move(frame);
            ChannelsOfVideoBitCount(m_aviInfo.BitCount, m_params.ChannelBits, m_params.ChannelCount);
            m_params.DotsPerInchX = kVideoDpi;
            m_params.DotsPerInchY = kVideoDpi;
            m_params.ImageWidth = m_params.OriginalWidth = m_image.Width();
            m_params.ImageHeight = m_params.OriginalHeight = m_image.Height();
            m_params.SourcePalette.clear();
            m_params.SourcePaletteCount = 0;
        }
    }
    finishWork();
}

void TImageIO::CloseAviFile() {
    m_avi.reset();
    m_aviInfo = TVideoStreamInfo();
}

}  // namespace loopsmith
