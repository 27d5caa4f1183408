#pragma once
// Writes one image as a complete single-frame GIF 89a stream.

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;

// Header, screen, global table, graphic control, image, comments, trailer.
// Failure shows only in ctx.AbortFlag. Sets GifTransparent when the image
// has an alpha plane.
void WriteGifStream(TStream& stream, const TRaster& image, TIOParams& params, TProgressContext& ctx);

}  // namespace loopsmith
