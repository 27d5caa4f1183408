#include "sources/builtin_readers.h"

#include "gif/gif_reader.h"
#include "sources/bmp_decoder.h"
#include "sources/dicom_decoder.h"
#include "sources/icon_decoder.h"
#include "sources/image_reader.h"
#include "sources/jpeg2000_decoder.h"
#include "sources/jpeg_decoder.h"
#include "sources/metafile_reader.h"
#include "sources/pcx_decoder.h"
#include "sources/png_decoder.h"
#include "sources/pnm_decoder.h"
#include "sources/psd_decoder.h"
#include "sources/raw_decoder.h"
#include "sources/tga_decoder.h"
#include "sources/tiff_decoder.h"
#include "sources/wbmp_decoder.h"

namespace loopsmith {

// One line per decoder.
const TImageReader* BuiltInReader(TFileKind kind) {
    switch (kind) {
        case fkGIF: return &GifImageReader();
        case fkTIFF: return &TiffImageReader();
        case fkJPEG: return &JpegImageReader();
        case fkPCX: return &PcxImageReader();
        case fkDCX: return &DcxImageReader();
        case fkBMP: return &BmpImageReader();
        case fkICO: return &IconImageReader();
        case fkCUR: return &IconImageReader();
        case fkPNG: return &PngImageReader();
        case fkTGA: return &TgaImageReader();
        case fkPXM: return &PnmImageReader();
        case fkJP2: return &Jpeg2000ImageReader();
        case fkJ2K: return &Jpeg2000ImageReader();
        case fkWBMP: return &WbmpImageReader();
        case fkRAW: return &RawImageReader();
        case fkPSD: return &PsdImageReader();
        case fkDICOM: return &DicomImageReader();
        case fkWMF: return &MetafileImageReader();
        case fkEMF: return &MetafileImageReader();
        default: return nullptr;
    }
}

}  // namespace loopsmith
