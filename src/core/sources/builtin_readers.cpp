#include "sources/builtin_readers.h"

#include "gif/gif_reader.h"
#include "sources/image_reader.h"
#include "sources/pcx_decoder.h"
#include "sources/pnm_decoder.h"
#include "sources/tga_decoder.h"
#include "sources/wbmp_decoder.h"

namespace loopsmith {

// One line per decoder.
const TImageReader* BuiltInReader(TFileKind kind) {
    switch (kind) {
        case fkGIF: return &GifImageReader();
        case fkPCX: return &PcxImageReader();
        case fkDCX: return &DcxImageReader();
        case fkTGA: return &TgaImageReader();
        case fkPXM: return &PnmImageReader();
        case fkWBMP: return &WbmpImageReader();
        default: return nullptr;
    }
}

}  // namespace loopsmith
