// Any bytes through the icon reader: the parameters-only pass for the
// count, then the first few images in full.
#include <algorithm>
#include <vector>

#include "sources/icon_decoder.h"
#include "sources/image_reader.h"
#include "util/stream.h"

using namespace loopsmith;

namespace {

bool readImage(const std::vector<uint8_t>& bytes, int32_t index, bool paramsOnly, int32_t& count) {
    TMemoryStream stream(bytes);
    TRaster image;
    TIOParams params;
    params.SetImageIndex(index);
    bool abort = false;
    TProgressContext ctx(abort);
    IconImageReader().Read(stream, image, params, ctx, paramsOnly);
    count = params.ICOImageCount;
    return !abort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    int32_t count = 0;
    readImage(bytes, 0, true, count);
    for (int32_t n = 0; n < std::min(count, 4); ++n) {
        int32_t ignored = 0;
        readImage(bytes, n, true, ignored);
        readImage(bytes, n, false, ignored);
    }
    return 0;
}
