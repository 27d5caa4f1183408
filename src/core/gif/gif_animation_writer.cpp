#include "gif/gif_animation_writer.h"

#include <algorithm>
#include <cstring>

#include "gif/gif_insert.h"
#include "gif/gif_writer.h"
#include "util/stream.h"

namespace loopsmith {

namespace {
constexpr int32_t kFileKindGif = 2;
constexpr size_t kHeaderSize = 13;
}  // namespace

TGifAnimationWriter::TGifAnimationWriter(std::filesystem::path fileName) : m_fileName(std::move(fileName)) {}

TGifAnimationWriter::TGifAnimationWriter(TStream& stream) : m_stream(&stream), m_start(stream.Position()) {}

TGifAnimationWriter::~TGifAnimationWriter() {
    try {
        Finish();
    } catch (...) {
        // A destructor must not throw; Finish() called directly reports.
    }
}

void TGifAnimationWriter::openStream() {
    if (m_stream) return;
    m_file = std::make_unique<TFileStream>(m_fileName, TFileMode::Create);
    m_stream = m_file.get();
    m_start = 0;
}

void TGifAnimationWriter::write(const TByteBuffer& bytes, TProgressContext* ctx) {
    if (m_stream->Write(bytes.data(), bytes.size()) < bytes.size()) {
        m_stopped = true;
        if (ctx) ctx->AbortFlag = true;
    }
}

int32_t TGifAnimationWriter::AddFrame(const TRaster& image, TIOParams& params, TProgressContext& ctx) {
    if (m_finished) return 0;
    return m_frames == 0 && !m_stopped ? addFirst(image, params, ctx) : addLater(image, params, ctx);
}

int32_t TGifAnimationWriter::addFirst(const TRaster& image, TIOParams& params, TProgressContext& ctx) {
    ctx.AbortFlag = true;
    openStream();
    ctx.AbortFlag = false;
    if (image.IsEmpty()) {
        m_stopped = true;
        return 0;
    }
    TMemoryStream single;
    WriteGifStream(single, image, params, ctx);
    if (m_file) {
        params.FileName = m_fileName.string();
        params.FileKind = kFileKindGif;
    }
    TByteBuffer& bytes = single.bytes();
    if (ctx.AbortFlag || bytes.size() < kHeaderSize) {
        // What a failed save leaves is all the file will hold.
        write(bytes, nullptr);
        m_stopped = true;
        return 0;
    }
    TByteBuffer tail;
    AppendCommentExtension(tail, params.GifComments);
    tail.push_back(0x3B);
    const size_t headSize = kHeaderSize + (3u << ((bytes[10] & 7) + 1));
    m_head.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(headSize));
    m_firstFrame.assign(bytes.begin() + static_cast<std::ptrdiff_t>(headSize),
                        bytes.end() - static_cast<std::ptrdiff_t>(tail.size()));
    m_tail = std::move(tail);
    m_screenWidth = static_cast<uint16_t>(m_head[6] | (m_head[7] << 8));
    m_screenHeight = static_cast<uint16_t>(m_head[8] | (m_head[9] << 8));
    m_insertable = std::memcmp(m_head.data(), "GIF", 3) == 0;
    m_frames = 1;
    return 1;
}

int32_t TGifAnimationWriter::addLater(const TRaster& image, TIOParams& params, TProgressContext& ctx) {
    ctx.AbortFlag = false;
    if (m_stopped || image.IsEmpty()) return 0;
    if (params.GifScreenWidth < image.Width() + params.GifLeft) params.GifScreenWidth = image.Width() + params.GifLeft;
    if (params.GifScreenHeight < image.Height() + params.GifTop)
        params.GifScreenHeight = image.Height() + params.GifTop;
    ctx.Report(0);
    if (ctx.AbortFlag || !m_insertable) return 0;
    if (image.Width() > 65535 || image.Height() > 65535) {
        ctx.AbortFlag = true;
        return 0;
    }
    TGifFrame frame(image, params, /*forInsertion=*/true);
    if (frame.HasAlpha()) params.GifTransparent = true;
    ctx.Report(30);
    if (ctx.AbortFlag) return 0;
    ctx.Report(70);
    if (ctx.AbortFlag) return 0;
    TByteBuffer blocks = BuildInsertedFrame(frame, params, ctx);
    if (ctx.AbortFlag) return 0;

    if (m_frames == 1) {
        std::memcpy(m_head.data() + 3, "89a", 3);
        TByteBuffer start = m_head;
        AppendLoopExtension(start, 0);
        start.insert(start.end(), m_firstFrame.begin(), m_firstFrame.end());
        write(start, &ctx);
        m_firstFrame.clear();
        m_firstFrame.shrink_to_fit();
    }
    write(blocks, &ctx);
    if (ctx.AbortFlag) return 0;
    m_screenWidth = std::max(m_screenWidth, ClampToUInt16(params.GifScreenWidth));
    m_screenHeight = std::max(m_screenHeight, ClampToUInt16(params.GifScreenHeight));
    ctx.Report(100);
    return ++m_frames;
}

void TGifAnimationWriter::writeScreenSize() {
    TByteBuffer size;
    AppendUInt16(size, m_screenWidth);
    AppendUInt16(size, m_screenHeight);
    const int64_t end = m_stream->Position();
    m_stream->Seek(m_start + 6);
    write(size, nullptr);
    m_stream->Seek(end);
}

void TGifAnimationWriter::Finish() {
    if (m_finished) return;
    m_finished = true;
    if (m_frames == 1) {
        TByteBuffer whole = m_head;
        whole.insert(whole.end(), m_firstFrame.begin(), m_firstFrame.end());
        whole.insert(whole.end(), m_tail.begin(), m_tail.end());
        write(whole, nullptr);
    } else if (m_frames > 1) {
        write(m_tail, nullptr);
        writeScreenSize();
    }
    m_file.reset();
}

}  // namespace loopsmith
