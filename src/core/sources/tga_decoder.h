#pragma once
// Targa pictures: colour-mapped, true-colour and grey, plain or RLE.

#include <cstdint>

namespace loopsmith {

struct TImageReader;

// Pictures above this many pixels are refused.
constexpr int64_t kTgaMaxPixels = int64_t{1} << 28;

// Grey pictures come out as px8g, all others as px24RGB. Alpha (the
// attribute bits of 16- and 32-bit pixels, map entries or grey pixels)
// becomes an alpha plane when the header declares attribute bits, the
// extension area (if any) calls them alpha, and they are not all 0 or all
// 255. The origin bits decide the row and column order.
const TImageReader& TgaImageReader();

}  // namespace loopsmith
