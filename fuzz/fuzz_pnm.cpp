// Any bytes through the portable-map reader: the parameters-only pass and the pixels.
#include <vector>

#include "sources/image_reader.h"
#include "sources/pnm_decoder.h"
#include "util/stream.h"

using namespace loopsmith;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    for (bool paramsOnly : {true, false}) {
        TMemoryStream stream(bytes);
        TRaster image;
        TIOParams params;
        bool abort = false;
        TProgressContext ctx(abort);
        PnmImageReader().Read(stream, image, params, ctx, paramsOnly);
    }
    return 0;
}
