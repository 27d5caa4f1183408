#pragma once
// Photoshop PSD files: the merged composite picture stored after the
// layers, never the layers themselves.
//
// Read: bitmap (1 bit, into px1g), grey and duotone (its first ink as
// grey, into px8g), indexed (through the colour mode data's palette), RGB
// and CMYK (stored inverted, 255 = no ink) into px24RGB; 8 and 16 bits
// per sample (16 rounded to 8); raw or PackBits data. The first channel
// after the colour channels becomes the alpha plane when the file marks
// it as the composite's transparency (a negative layer count), or when
// the file has no layers and exactly one extra channel. Its colour is
// taken as stored. The resolution comes from resource 0x03ED, the
// description values from an Exif resource (0x0422) when there is one.
// Not read: PSB (version 2), 32-bit samples, Lab and multichannel modes,
// ZIP-compressed composites; they set the abort flag.

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;
struct TImageReader;

// Pictures above this many pixels are refused.
constexpr int64_t kPsdMaxPixels = int64_t{1} << 28;

// Reads the composite picture from the stream's position.
void ReadPsdStream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly);

// The registry's reader for fkPSD.
const TImageReader& PsdImageReader();

}  // namespace loopsmith
