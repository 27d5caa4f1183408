// Any bytes through the TIFF reader: the parameters-only pass, then the
// first few pages with their pixels.
#include <algorithm>
#include <vector>

#include "sources/tiff_decoder.h"
#include "util/stream.h"

using namespace loopsmith;

namespace {

int32_t readPage(const std::vector<uint8_t>& bytes, int32_t page, bool paramsOnly) {
    TMemoryStream stream(bytes);
    TRaster image;
    TIOParams params;
    params.SetImageIndex(page);
    bool abort = false;
    TProgressContext ctx(abort);
    ReadTiffStream(stream, image, params, ctx, paramsOnly);
    return params.TIFFImageCount;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const int32_t count = readPage(bytes, 0, true);
    for (int32_t n = 0; n < std::max(1, std::min(count, 3)); ++n) readPage(bytes, n, false);
    return 0;
}
