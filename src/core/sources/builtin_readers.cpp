#include "sources/builtin_readers.h"

#include "gif/gif_reader.h"
#include "sources/image_reader.h"

namespace loopsmith {

// One line per decoder.
const TImageReader* BuiltInReader(TFileKind kind) {
    switch (kind) {
        case fkGIF: return &GifImageReader();
        default: return nullptr;
    }
}

}  // namespace loopsmith
