#pragma once
// Writes an animation frame by frame, in time and memory linear in the
// number of frames. The file is byte for byte the one that saving the first
// frame and inserting every later one at the end would leave, without
// reading the file back for each frame.

#include <cstdint>
#include <filesystem>
#include <memory>

#include "gif/gif_blocks.h"
#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;
class TFileStream;

class TGifAnimationWriter {
public:
    // The file is created with the first frame; creating it may throw
    // EFileError from AddFrame.
    explicit TGifAnimationWriter(std::filesystem::path fileName);
    // Writes into a caller's seekable stream from its current position.
    explicit TGifAnimationWriter(TStream& stream);
    ~TGifAnimationWriter();
    TGifAnimationWriter(const TGifAnimationWriter&) = delete;
    TGifAnimationWriter& operator=(const TGifAnimationWriter&) = delete;

    // The first frame as a new single-frame file would hold it; every later
    // one appended as an insertion after the last image would do it, with
    // the same changes to `params`. Returns the number of images in the
    // file afterwards, 0 when the frame was not added.
    int32_t AddFrame(const TRaster& image, TIOParams& params, TProgressContext& ctx);
    // Writes what is still held back. Called by the destructor too.
    void Finish();

    int32_t FrameCount() const { return m_frames; }

private:
    int32_t addFirst(const TRaster& image, TIOParams& params, TProgressContext& ctx);
    int32_t addLater(const TRaster& image, TIOParams& params, TProgressContext& ctx);
    void openStream();
    void write(const TByteBuffer& bytes, TProgressContext* ctx);
    void writeScreenSize();

    std::filesystem::path m_fileName;
    std::unique_ptr<TFileStream> m_file;
    TStream* m_stream = nullptr;
    int64_t m_start = 0;
    int32_t m_frames = 0;
    bool m_stopped = false;   // a frame failed: nothing more can be added
    bool m_finished = false;
    bool m_insertable = true;  // later frames need a "GIF" signature
    TByteBuffer m_head;        // header, screen and global table
    TByteBuffer m_firstFrame;  // held back until the loop extension's place is known
    TByteBuffer m_tail;        // comments and trailer of the first frame's file
    uint16_t m_screenWidth = 0;
    uint16_t m_screenHeight = 0;
};

}  // namespace loopsmith
