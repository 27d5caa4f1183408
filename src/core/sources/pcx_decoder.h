#pragma once
// PCX (PC Paintbrush) pictures and the pages of multi-page DCX files.

#include <cstdint>

namespace loopsmith {

struct TImageReader;

// Pictures above this many pixels are refused.
constexpr int64_t kPcxMaxPixels = int64_t{1} << 28;
// A DCX page table holds at most this many offsets.
constexpr int32_t kDcxMaxPages = 1024;

// 1 bit in one plane comes out as px1g (1 is white), other palette pictures (2 to 256
// colours) and 24-bit pictures as px24RGB, 8-bit pictures without a palette
// as px8g; a fourth 8-bit plane is alpha. ChannelBits is the index width of
// a palette picture (1, 2, 3, 4 or 8), else 8.
const TImageReader& PcxImageReader();

// Reads page DCXImageIndex of a DCX file; offsets count from the stream's
// position. The image count is the number of offsets before the first zero.
const TImageReader& DcxImageReader();

}  // namespace loopsmith
