#include "imaging/io_params.h"

namespace loopsmith {

void TIOParams::SetDefaults() {
    // The current image's size is the owning component's business; a fresh
    // set knows none.
    *this = TIOParams{NoDefaults{}};
    GifLzwEncoder = DefaultGifLzwEncoder;
    GifLzwDecoder = DefaultGifLzwDecoder;
}

void TIOParams::ClearInfo() {
    GifComments.clear();
    Artist.clear();
    XPTitle.clear();
    XPComment.clear();
    XPAuthor.clear();
    XPKeywords.clear();
    XPSubject.clear();
}

void TIOParams::SetImageIndex(int32_t n) {
    GifImageIndex = n;
    TIFFImageIndex = n;
    ICOImageIndex = n;
    DCXImageIndex = n;
    DICOMImageIndex = n;
}

void TIOParams::SetImageCount(int32_t n) {
    GifImageCount = n;
    TIFFImageCount = n;
    ICOImageCount = n;
    DCXImageCount = n;
    DICOMImageCount = n;
}

}  // namespace loopsmith
