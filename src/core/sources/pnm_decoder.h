#pragma once
// Portable bitmaps, graymaps and pixmaps (P1 to P6, plain and raw) and
// portable arbitrary maps (P7).

#include <cstdint>

namespace loopsmith {

struct TImageReader;

// Pictures above this many pixels are refused.
constexpr int64_t kPnmMaxPixels = int64_t{1} << 28;

// Reads the first image of the file (a file may hold several; the count is
// always 1). Bitmaps come out as px1g, graymaps as px8g, pixmaps as
// px24RGB; samples of any maxval are scaled to 0..255, rounded. P7 depth 2
// and 4 carry alpha.
const TImageReader& PnmImageReader();

}  // namespace loopsmith
