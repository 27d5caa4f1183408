#pragma once

#include "sources/file_kind.h"

namespace loopsmith {

struct TImageReader;

// The decoder of a built-in kind, or null while the kind has none.
const TImageReader* BuiltInReader(TFileKind kind);

}  // namespace loopsmith
