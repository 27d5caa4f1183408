// Any bytes through the PSD reader, as the loaders call it: the
// parameters-only pass, then the picture.
#include <vector>

#include "sources/image_reader.h"
#include "sources/psd_decoder.h"
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
        PsdImageReader().Read(stream, image, params, ctx, paramsOnly);
    }
    return 0;
}
