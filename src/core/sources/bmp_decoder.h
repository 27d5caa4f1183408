#pragma once
// Windows and OS/2 bitmaps: 1, 4, 8, 16, 24 and 32 bits per pixel, RLE4,
// RLE8 and bit fields, bottom-up and top-down; also the bitmaps inside
// icons and cursors.
//
// Layouts: 1-bit images with a black-then-white palette come out as px1g,
// other images of up to 8 bits as px8p with their palette, deeper ones as
// px24RGB. ChannelBits says what the file holds: the index bits, 8 for 24
// bits, the widest colour mask for 16 and 32 bits.
//
// Alpha: a 32-bit or 16-bit file has an alpha plane only when it gives an
// alpha mask (a header of 56 bytes or more, or ALPHABITFIELDS) with bit-
// field compression and some pixel's alpha is not 0. With plain RGB
// compression the fourth byte of a 32-bit pixel is padding, as Windows
// draws it. An icon's 32-bit bitmap uses its fourth byte as alpha unless
// every pixel's is 0; otherwise, and for every other depth, the AND mask
// gives the alpha plane.

#include <cstdint>
#include <span>
#include <vector>

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;
struct TImageReader;

// The stream's bytes from its position to its end: in place for a memory
// stream, else read into `storage`. Shared by the still-image decoders.
std::span<const uint8_t> StreamBytes(TStream& stream, std::vector<uint8_t>& storage);

// Decodes a whole BMP file (file header first) held in memory. Returns
// false for corrupt, truncated, unsupported or oversized data. With
// `paramsOnly` only the headers are read.
bool DecodeBmp(std::span<const uint8_t> file, TRaster& image, TIOParams& params, bool paramsOnly);

// Decodes the bitmap of an icon or cursor image: an info header whose
// height counts both the colour bitmap and the AND mask that follows it.
bool DecodeIconBitmap(std::span<const uint8_t> dib, TRaster& image, TIOParams& params, bool paramsOnly);

// The registry's reader for BMP files (one image).
const TImageReader& BmpImageReader();

}  // namespace loopsmith
