#include "gif/gif_compose.h"
#include "sources/image_io.h"
#include "util/stream.h"

namespace loopsmith {

namespace {
constexpr int32_t kFileKindGif = 2;
}

int32_t TImageIO::LoadGifStream(TStream& stream) {
    // A failure of an earlier operation must not stop this one.
    m_aborting = false;
    m_params.ClearInfo();
    // Only a load of the first frame reports progress: later frames compose
    // every earlier image, and the percentages would run several times.
    TProgressContext ctx = m_params.GifImageIndex < 1 ? progressContext() : TProgressContext(m_aborting);
    const int32_t count = ReadComposedGifFrame(stream, m_image, m_params, ctx);
    m_params.FileKind = kFileKindGif;
    m_params.FileName.clear();
    return count;
}

struct TImageIO::TGifFileCursor {
    std::filesystem::path name;
    std::filesystem::file_time_type written;
    uintmax_t size = 0;
    std::unique_ptr<TGifFrameCursor> frames;
};

TImageIO::TImageIO() = default;
TImageIO::~TImageIO() = default;

// Frames of one file asked for in order (export, playback) continue from
// the canvas already composed; a changed file is read afresh.
int32_t TImageIO::LoadGifFile(const std::filesystem::path& fileName) {
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(fileName, ec);
    const uintmax_t size = ec ? 0 : std::filesystem::file_size(fileName, ec);
    if (!m_gifCursor || ec || m_gifCursor->name != fileName || m_gifCursor->written != written ||
        m_gifCursor->size != size)
        m_gifCursor = std::make_unique<TGifFileCursor>(
            TGifFileCursor{fileName, written, size, std::make_unique<TGifFrameCursor>(ReadWholeFile(fileName))});
    m_aborting = false;
    m_params.ClearInfo();
    TProgressContext ctx = m_params.GifImageIndex < 1 ? progressContext() : TProgressContext(m_aborting);
    const int32_t count = m_gifCursor->frames->ReadFrame(m_image, m_params, ctx);
    m_params.FileKind = kFileKindGif;
    m_params.FileName = fileName.string();
    return count;
}

}  // namespace loopsmith
