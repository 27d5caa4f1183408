#pragma once
// Reading DICOM images through DCMTK: single- and multi-frame files, native
// and compressed (JPEG, JPEG-LS, RLE) transfer syntaxes.

#include <cstdint>

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;
struct TImageReader;

// Frames above this many pixels are refused: DCMTK keeps up to four
// intermediate bytes per sample besides our copy.
constexpr int64_t kDicomMaxPixels = int64_t{1} << 26;

// Reads frame DICOMImageIndex of the file at the stream's position and sets
// the image count to the file's number of frames. Monochrome frames become
// px8g through the file's first VOI window, else through the frame's own
// range for samples deeper than 8 bits, else unchanged; colour frames
// (RGB, YBR, palette) become px24RGB. ChannelBits is the bits stored,
// ChannelCount the samples per pixel, the resolution comes from the pixel
// spacing. Failure shows in ctx.AbortFlag.
void ReadDicomStream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly);

// The registry's reader for DICOM files.
const TImageReader& DicomImageReader();

}  // namespace loopsmith
