#pragma once
// JPEG files through libjpeg-turbo: baseline and progressive, grey into
// px8g, YCbCr and RGB into px24RGB, CMYK and YCCK converted to px24RGB; the
// description values and the resolution from the Exif block, the
// resolution from the JFIF header first.

#include <cstdint>
#include <span>

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

struct TImageReader;

// A picture larger than this many pixels is refused.
constexpr int64_t kJpegMaxPixels = int64_t{1} << 28;
// Scans beyond this many are refused: real encoders write a dozen, while a
// crafted progressive file could make each byte cost a pass over the image.
constexpr int kJpegMaxScans = 256;
// What libjpeg itself may allocate (coefficient buffers of progressive
// files, mostly).
constexpr long kJpegMaxMemory = 1L << 30;

// Reads the JPEG in `bytes` (leading junk of up to 150 bytes before the
// start-of-image marker is passed over). Corrupt or truncated data, and
// colour spaces other than grey, YCbCr, RGB, CMYK and YCCK, set
// ctx.AbortFlag.
void ReadJpegBytes(std::span<const uint8_t> bytes, TRaster& image, TIOParams& params, TProgressContext& ctx,
                   bool paramsOnly);

// The registry's reader for fkJPEG: the rest of the stream through
// ReadJpegBytes.
const TImageReader& JpegImageReader();

}  // namespace loopsmith
