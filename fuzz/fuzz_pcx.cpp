// Any bytes through the PCX reader and, behind a DCX page table, through
// the DCX reader: the parameters-only pass and the pixels of the first pages.
#include <algorithm>
#include <vector>

#include "sources/image_reader.h"
#include "sources/pcx_decoder.h"
#include "util/stream.h"

using namespace loopsmith;

namespace {

int32_t readOnce(const TImageReader& reader, const std::vector<uint8_t>& bytes, int32_t index, bool paramsOnly) {
    TMemoryStream stream(bytes);
    TRaster image;
    TIOParams params;
    params.SetImageIndex(index);
    bool abort = false;
    TProgressContext ctx(abort);
    reader.Read(stream, image, params, ctx, paramsOnly);
    return params.DCXImageCount;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    readOnce(PcxImageReader(), bytes, 0, true);
    readOnce(PcxImageReader(), bytes, 0, false);
    const int32_t pages = readOnce(DcxImageReader(), bytes, 0, true);
    for (int32_t n = 0; n < std::min(pages, 3); ++n) readOnce(DcxImageReader(), bytes, n, false);
    return 0;
}
