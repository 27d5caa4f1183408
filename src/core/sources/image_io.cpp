#include "sources/image_io.h"

#include "gif/gif_insert.h"
#include "gif/gif_writer.h"
#include "util/stream.h"

namespace loopsmith {

namespace {
constexpr int32_t kFileKindGif = 2;
}

TProgressContext TImageIO::progressContext() {
    return TProgressContext(m_aborting, [this](void* sender, int percent) {
        if (OnProgress) OnProgress(sender, percent);
    }, this);
}

void TImageIO::finishWork() {
    if (OnProgress) OnProgress(this, 100);
    if (OnFinishWork) OnFinishWork();
}

void TImageIO::SaveGifFile(const std::filesystem::path& fileName) {
    // The flag stays set if creating the file raises.
    m_aborting = true;
    TFileStream file(fileName, TFileMode::Create);
    m_aborting = false;
    if (!m_image.IsEmpty()) {
        TProgressContext ctx = progressContext();
        WriteGifStream(file, m_image, m_params, ctx);
        m_params.FileName = fileName.string();
        m_params.FileKind = kFileKindGif;
    }
    finishWork();
}

void TImageIO::SaveGifStream(TStream& stream) {
    m_aborting = false;
    if (!m_image.IsEmpty()) {
        TProgressContext ctx = progressContext();
        WriteGifStream(stream, m_image, m_params, ctx);
    }
    finishWork();
}

int32_t TImageIO::InsertGifFrame(const std::filesystem::path& fileName) {
    m_aborting = false;
    if (m_image.IsEmpty()) {
        finishWork();
        return 0;
    }
    TIOParams& p = m_params;
    if (p.GifScreenWidth < m_image.Width() + p.GifLeft) p.GifScreenWidth = m_image.Width() + p.GifLeft;
    if (p.GifScreenHeight < m_image.Height() + p.GifTop) p.GifScreenHeight = m_image.Height() + p.GifTop;
    int32_t result = 0;
    {
        TFileStream file(fileName, TFileMode::ReadWrite);
        TProgressContext ctx = progressContext();
        result = InsertGifFrameIntoStream(file, m_image, p, ctx);
    }
    if (!m_aborting) WriteLoopExtension(fileName, 0, p.GifScreenWidth, p.GifScreenHeight);
    finishWork();
    return result;
}

}  // namespace loopsmith
