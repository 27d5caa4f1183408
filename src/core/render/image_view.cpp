#include "render/image_view.h"

namespace loopsmith {

TImageView::TImageView() : m_proc(std::make_unique<TImageProc>(&m_io.Bitmap())) { m_proc->Background = m_background; }

TImageView::~TImageView() = default;

void TImageView::SetBackground(TRGB colour) {
    m_background = colour;
    m_proc->Background = colour;
}

TVideoFrameSource* TImageView::OpenVideo(const std::filesystem::path& fileName, const TVideoSourceFactory& factory,
                                         TVideoStreamInfo& info) {
    // Consecutive frames of one video come from the decoder already open.
    if (m_video && m_videoName == fileName) {
        info = m_videoInfo;
        return m_video.get();
    }
    CloseVideo();
    std::unique_ptr<TVideoFrameSource> video = factory ? factory() : nullptr;
    if (!video || video->Open(fileName, info) != TVideoOpenResult::Opened) return nullptr;
    // Rendering goes on to the next frame (export, playback): decode it
    // while this one is processed.
    video->SetReadAhead(true);
    m_video = std::move(video);
    m_videoName = fileName;
    m_videoInfo = info;
    return m_video.get();
}

void TImageView::CloseVideo() {
    m_video.reset();
    m_videoName.clear();
    m_videoInfo = {};
}

}  // namespace loopsmith
