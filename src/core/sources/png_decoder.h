#pragma once
// PNG images through libpng: every colour type and bit depth, tRNS as an
// alpha plane, interlaced files, pHYs as the resolution.

#include <cstdint>
#include <span>

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

struct TImageReader;

// Decodes a whole PNG file held in memory. Palette images come out as px8p
// with their palette (indices of 1, 2 and 4 bits widened to bytes), 1-bit
// grey as px1g, other grey as px8g, colour as px24RGB; 16-bit samples are
// scaled to 8 bits with rounding; tRNS and alpha samples become the alpha
// plane. ChannelBits and ChannelCount say what the file holds. Returns
// false for corrupt, truncated or oversized data (image then undefined).
// With `paramsOnly` only the header chunks are read.
bool DecodePng(std::span<const uint8_t> data, TRaster& image, TIOParams& params, bool paramsOnly);

// True when the bytes start with the PNG signature.
bool IsPngSignature(std::span<const uint8_t> data);

// The registry's reader for PNG files (one image).
const TImageReader& PngImageReader();

}  // namespace loopsmith
