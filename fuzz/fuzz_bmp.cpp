// Any bytes through the BMP reader: the parameters-only pass, then the
// full decode.
#include <vector>

#include "sources/bmp_decoder.h"
#include "sources/image_reader.h"
#include "util/stream.h"

using namespace loopsmith;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    for (const bool paramsOnly : {true, false}) {
        TMemoryStream stream(bytes);
        TRaster image;
        TIOParams params;
        bool abort = false;
        TProgressContext ctx(abort);
        BmpImageReader().Read(stream, image, params, ctx, paramsOnly);
    }
    return 0;
}
