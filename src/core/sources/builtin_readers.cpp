#include "sources/builtin_readers.h"

#include "gif/gif_reader.h"
#include "sources/image_reader.h"
#include "sources/jpeg2000_decoder.h"
#include "sources/raw_decoder.h"
#include "sources/tiff_decoder.h"

namespace loopsmith {

// One line per decoder.
const TImageReader* BuiltInReader(TFileKind kind) {
    switch (kind) {
        case fkGIF: return &GifImageReader();
        case fkTIFF: return &TiffImageReader();
        case fkJP2: return &Jpeg2000ImageReader();
        case fkJ2K: return &Jpeg2000ImageReader();
        case fkRAW: return &RawImageReader();
        default: return nullptr;
    }
}

}  // namespace loopsmith
