#pragma once
// Camera raw images through LibRaw: recognising them for detection, and
// developing them into an 8-bit RGB picture.

#include <cstdint>

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;
struct TImageReader;

// Identification looks at no more than this much of the data: the
// directories sit at the start, and LibRaw identifies without the pixels.
constexpr size_t kRawIdentifyBytes = size_t{512} << 10;
// Files larger than this are not developed.
constexpr size_t kRawMaxFileBytes = size_t{512} << 20;
// Sensors and developed pictures above this many pixels are refused.
constexpr int64_t kRawMaxPixels = int64_t{1} << 28;

// Whether LibRaw recognises the data at the stream's position as a camera
// raw file, from its first kRawIdentifyBytes bytes; nothing is unpacked.
// The stream is left anywhere. Never throws.
bool IdentifyRawStream(TStream& stream) noexcept;

// Develops the raw image at the stream's position with LibRaw's default
// settings (camera matrix, AHD demosaicing, sRGB, 8 bits, the camera's
// rotation applied) into px24RGB. ChannelBits is 8 and ChannelCount 3, the
// picture delivered: LibRaw gives no sensor depth that holds for every
// format. Artist comes from the file's tags; there are no Windows fields.
// Failure shows in ctx.AbortFlag.
void ReadRawStream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly);

// The registry's reader for camera raw files.
const TImageReader& RawImageReader();

}  // namespace loopsmith
