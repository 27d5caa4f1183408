// Any bytes through the JPEG 2000 reader, header only and in full.
#include <vector>

#include "sources/jpeg2000_decoder.h"
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
        ReadJpeg2000Stream(stream, image, params, ctx, paramsOnly);
    }
    return 0;
}
