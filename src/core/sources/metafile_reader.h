#pragma once
// Windows metafiles (WMF, EMF) are recognised and refused: they hold drawing
// commands, not pixels, and no sound renderer for them is packaged here.

namespace loopsmith {

struct TImageReader;

// Why a metafile gives no picture, for the user.
inline constexpr const char* kMetafileRefusal = "metafiles (WMF, EMF) are not supported";

// The registry's reader for both kinds: every read, parameters-only
// included, ends with the abort flag set.
const TImageReader& MetafileImageReader();

}  // namespace loopsmith
