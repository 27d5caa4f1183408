// Any bytes through camera raw identification (as detection asks it) and
// the raw reader.
#include <vector>

#include "sources/detect.h"
#include "sources/raw_decoder.h"
#include "util/stream.h"

using namespace loopsmith;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    TMemoryStream probe(bytes);
    if (!IdentifyCameraRaw(probe)) return 0;
    TMemoryStream stream(bytes);
    TRaster image;
    TIOParams params;
    bool abort = false;
    TProgressContext ctx(abort);
    ReadRawStream(stream, image, params, ctx, false);
    return 0;
}
