#pragma once
// Wireless bitmaps (WBMP type 0: uncompressed black and white).

#include <cstdint>

namespace loopsmith {

struct TImageReader;

// Pictures above this many pixels are refused.
constexpr int64_t kWbmpMaxPixels = int64_t{1} << 28;

// Comes out as px1g (1 is white in the file too).
const TImageReader& WbmpImageReader();

}  // namespace loopsmith
