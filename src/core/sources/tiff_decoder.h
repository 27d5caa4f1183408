#pragma once
// Reading one page of a TIFF file through libtiff: the parameter set with
// the page count and the description tags, and the page's pixels.

#include <cstdint>
#include <string>
#include <string_view>

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;
struct TImageReader;

// Pages above this many pixels are refused.
constexpr int64_t kTiffMaxPixels = int64_t{1} << 28;

// Reads page TIFFImageIndex of the TIFF at the stream's position: 1-bit
// grey pages as px1g, other grey pages as px8g, everything else as px24RGB,
// with an alpha plane when ExtraSamples names associated or unassociated
// alpha (colours come back unpremultiplied). Fills ChannelBits
// (BitsPerSample), ChannelCount (SamplesPerPixel), sizes, resolution and
// the description values, and reports the page count with SetImageCount.
// Failure shows in ctx.AbortFlag.
void ReadTiffStream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly);

// The registry's reader for TIFF files.
const TImageReader& TiffImageReader();

// Text of a TIFF ASCII field as UTF-8: valid UTF-8 stays as it is, any
// other byte sequence is taken as Latin-1. Stops at the first zero byte.
std::string TiffTextToUtf8(std::string_view text);

// A Windows "XP" field (UCS-2 little-endian bytes, zero-terminated or not)
// as UTF-8; surrogate pairs are joined, lone surrogates become U+FFFD.
std::string Ucs2LeToUtf8(const uint8_t* bytes, size_t count);

}  // namespace loopsmith
