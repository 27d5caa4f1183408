#include "sources/frame_count.h"

#include "gif/gif_insert.h"
#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "sources/video_source.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

int32_t countWithReader(const std::filesystem::path& fileName, const TFileFormatInfo& format) {
    if (!format.Reader || !format.Reader->Read) return 0;
    try {
        TFileStream file(fileName, TFileMode::Read);
        TRaster unused;
        TIOParams params;
        bool abort = false;
        TProgressContext ctx(abort);
        format.Reader->Read(file, unused, params, ctx, /*paramsOnly=*/true);
        return abort ? 0 : params.GifImageCount;
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

int32_t FileFrameCount(const std::filesystem::path& fileName) {
    const TFileFormatInfo* format = FindFormatByExtension(FileNameExtension(fileName));
    if (!format || format->Kind == fkAVI) return VideoFrameCount(fileName);
    switch (format->Kind) {
        case fkGIF: return CountGifImages(fileName);
        case fkTIFF:
        case fkICO:
        case fkDCX:
        case fkDICOM:
        case fkHDP: return countWithReader(fileName, *format);
        default: return 1;
    }
}

}  // namespace loopsmith
