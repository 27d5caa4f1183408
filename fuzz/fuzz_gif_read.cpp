// Any bytes through the GIF reader: the parameters-only pass, every frame
// with its mask, and the composed frames.
#include <optional>

#include "gif/gif_reader.h"
#include "sources/image_io.h"
#include "util/stream.h"

using namespace loopsmith;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    int32_t count = 0;
    {
        TMemoryStream stream(bytes);
        TRaster image;
        TIOParams params;
        bool abort = false;
        TProgressContext ctx(abort);
        std::optional<TRaster> mask;
        ReadGifStream(stream, image, count, params, ctx, /*paramsOnly=*/true, mask, false);
    }
    // Composing frame n decodes images 0..n: keep the walk short.
    for (int32_t n = 0; n < std::min(count, 4); ++n) {
        TMemoryStream stream(bytes);
        TImageIO io;
        io.Params().SetImageIndex(n);
        io.LoadGifStream(stream);
    }
    return 0;
}
