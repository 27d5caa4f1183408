#pragma once
// Reading JPEG 2000 images through OpenJPEG: JP2 files (box format) and
// bare J2K/JPC code streams, told apart by their signature.

#include <cstdint>

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;
struct TImageReader;

// Images above this many pixels are refused.
constexpr int64_t kJpeg2000MaxPixels = int64_t{1} << 28;

// Reads the image at the stream's position: one component (or one plus
// alpha) as px8g, three or four as px24RGB, alpha as an alpha plane.
// Samples of other precisions are scaled to 8 bits, signed ones shifted,
// subsampled components repeated to full size, sYCC and CMYK converted to
// RGB. ChannelBits is the first component's precision, ChannelCount the
// number of components. Failure shows in ctx.AbortFlag.
void ReadJpeg2000Stream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly);

// The registry's reader for both JP2 files and code streams.
const TImageReader& Jpeg2000ImageReader();

}  // namespace loopsmith
