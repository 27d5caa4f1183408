#include "gif/lzw_encoder.h"

#include "util/stream.h"

namespace loopsmith {

// Placeholder until the compressor lands.
void EncodeGifLzw(TStream&, int32_t, int32_t, int32_t, const uint8_t*, bool) {}

}  // namespace loopsmith
