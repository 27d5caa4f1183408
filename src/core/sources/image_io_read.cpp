#include "sources/detect.h"
#include "sources/format_registry.h"
#include "sources/image_io.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

bool TImageIO::LoadFromFile(const std::filesystem::path& fileName, const TImageReader& reader) {
    m_aborting = false;
    TFileStream file(fileName, TFileMode::Read);
    TRaster image;
    TProgressContext ctx = progressContext();
    try {
        reader.Read(file, image, m_params, ctx, /*paramsOnly=*/false);
    } catch (const std::exception&) {
        m_aborting = true;
    }
    m_params.FileName = fileName.string();
    if (m_aborting || image.IsEmpty()) m_aborting = true;
    else m_image = std::move(image);
    finishWork();
    return !m_aborting;
}

void TImageIO::ParamsFromFile(const std::filesystem::path& fileName) {
    m_aborting = false;
    const TFileKind kind = DetectFileKind(fileName, /*checkExtension=*/true);
    m_params.FileKind = kind;
    m_params.ClearInfo();
    m_params.FileName = fileName.string();
    if (kind == fkUnknown) return;
    const TFileFormatInfo* format = FindFormatByKind(kind);
    if (!format || !format->Reader || !format->Reader->Read) return;
    try {
        TFileStream file(fileName, TFileMode::Read);
        TRaster unused;
        TProgressContext ctx(m_aborting);
        format->Reader->Read(file, unused, m_params, ctx, /*paramsOnly=*/true);
    } catch (const std::exception&) {
        m_aborting = true;
    }
    if (m_aborting) m_params.FileKind = fkUnknown;
}

}  // namespace loopsmith
