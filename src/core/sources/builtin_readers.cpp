#include "sources/builtin_readers.h"

#include "gif/gif_reader.h"
#include "sources/bmp_decoder.h"
#include "sources/icon_decoder.h"
#include "sources/image_reader.h"
#include "sources/jpeg_decoder.h"
#include "sources/pcx_decoder.h"
#include "sources/png_decoder.h"
#include "sources/pnm_decoder.h"
#include "sources/psd_decoder.h"
#include "sources/tga_decoder.h"
#include "sources/wbmp_decoder.h"

namespace loopsmith {

// One line per decoder.
const TImageReader* BuiltInReader(TFileKind kind) {
    switch (kind) {
        case fkGIF: return &GifImageReader();
        case fkJPEG: return &JpegImageReader();
        case fkPSD: return &PsdImageReader();
        case fkPNG: return &PngImageReader();
        case fkBMP: return &BmpImageReader();
        case fkICO: return &IconImageReader();
        case fkCUR: return &IconImageReader();
        case fkPCX: return &PcxImageReader();
        case fkDCX: return &DcxImageReader();
        case fkTGA: return &TgaImageReader();
        case fkPXM: return &PnmImageReader();
        case fkWBMP: return &WbmpImageReader();
        default: return nullptr;
    }
}

}  // namespace loopsmith
