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

int32_t TImageIO::LoadGifFile(const std::filesystem::path& fileName) {
    TFileStream file(fileName, TFileMode::Read);
    const int32_t count = LoadGifStream(file);
    m_params.FileName = fileName.string();
    return count;
}

}  // namespace loopsmith
