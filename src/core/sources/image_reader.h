#pragma once
// The one interface every still-image decoder offers the loaders.

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;

struct TImageReader {
    // Reads the image that the parameter set's index names (or the only
    // image) from the stream's position into `image`, with the format's
    // transparency as an alpha plane, and fills the parameter set including
    // the image count (SetImageCount). With `paramsOnly` no pixels are read.
    // Failure shows in ctx.AbortFlag; nothing is thrown.
    void (*Read)(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) = nullptr;
};

}  // namespace loopsmith
