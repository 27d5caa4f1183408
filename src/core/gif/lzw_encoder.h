#pragma once
// GIF LZW compressor: hashed table of 5003 slots, codes up to 12 bits,
// a clear code whenever the table fills, 254-byte data sub-blocks.

#include <cstdint>

namespace loopsmith {

class TStream;

// `pixels` holds width x height indices, rows from the top, each below
// 1 << bits. Writes the minimum code size byte, the sub-blocks and the
// 0 terminator. Interlaced images are read in the four-pass row order.
void EncodeGifLzw(TStream& out, int32_t height, int32_t width, int32_t bits, const uint8_t* pixels, bool interlaced);

}  // namespace loopsmith
