#include "sources/builtin_readers.h"

#include "gif/gif_reader.h"
#include "sources/image_reader.h"
#include "sources/jpeg_decoder.h"
#include "sources/psd_decoder.h"

namespace loopsmith {

// One line per decoder.
const TImageReader* BuiltInReader(TFileKind kind) {
    switch (kind) {
        case fkGIF: return &GifImageReader();
        case fkJPEG: return &JpegImageReader();
        case fkPSD: return &PsdImageReader();
        default: return nullptr;
    }
}

}  // namespace loopsmith
