#pragma once
// A single-image view without a window: its image and parameter set (its
// TImageIO), its processing object and its background colour. The preview,
// the work view and playback are this object shown by a widget.

#include <filesystem>
#include <memory>

#include "imaging/image_proc.h"
#include "imaging/raster.h"
#include "sources/image_io.h"
#include "sources/video_source.h"

namespace loopsmith {

class TImageView {
public:
    TImageView();
    ~TImageView();
    TImageView(const TImageView&) = delete;
    TImageView& operator=(const TImageView&) = delete;

    TImageIO& IO() { return m_io; }
    TRaster& Bitmap() { return m_io.Bitmap(); }
    TIOParams& Params() { return m_io.Params(); }
    TImageProc& Proc() { return *m_proc; }

    TRGB Background() const { return m_background; }
    void SetBackground(TRGB colour);

    // The video left open on the view by the last video frame it read; the
    // next video opened on the view replaces it.
    TVideoFrameSource* OpenVideo(const std::filesystem::path& fileName, const TVideoSourceFactory& factory,
                                 TVideoStreamInfo& info);
    void CloseVideo();

private:
    TImageIO m_io;
    std::unique_ptr<TImageProc> m_proc;
    TRGB m_background = MakeRGB(255, 255, 255);
    std::unique_ptr<TVideoFrameSource> m_video;
    std::filesystem::path m_videoName;
    TVideoStreamInfo m_videoInfo;
};

}  // namespace loopsmith
