// Any bytes through the Targa reader: the parameters-only pass and the pixels.
#include <vector>

#include "sources/image_reader.h"
#include "sources/tga_decoder.h"
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
        TgaImageReader().Read(stream, image, params, ctx, paramsOnly);
    }
    return 0;
}
