#pragma once
// GIF LZW decompressor: variable code width up to 12 bits, clear and end
// codes, deferred clear codes, interlaced row order.

#include <cstdint>

namespace loopsmith {

class TStream;

// Reads one image's data (minimum code size byte, sub-blocks, terminator)
// into `pixels`, width x height indices, rows from the top. The buffer is
// cleared to 0 first, so pixels a short code stream never reaches read 0.
// On success the stream is left after the block terminator (or at its end
// when the data is cut short). On a bad code stream it returns false and
// puts the stream back where it was.
bool DecodeGifLzw(TStream& in, int32_t height, int32_t width, bool interlaced, uint8_t* pixels);

}  // namespace loopsmith
