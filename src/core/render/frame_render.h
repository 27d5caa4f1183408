#pragma once
// Rendering an entry afresh from its source file: the frame as loaded, then
// brought to the output size by the size mode.

#include <cstdint>
#include <filesystem>
#include <string>

#include "render/image_view.h"

namespace loopsmith {

enum TSizeMode : int32_t {
    smNone = -1,  // no scaling
    smStretch = 0,
    smFit = 1,
    smCut = 2,
};

// Whether a load produced the frame, and why not.
struct TLoadResult {
    bool Ok = false;
    std::string Reason;
};

// Reads frame `n` of the file into the view, by the file's kind. A failed
// read leaves the view's image as it was. Throws EFileError when the file
// cannot be opened.
TLoadResult LoadSourceFrame(TImageView& view, const std::filesystem::path& fileName, int32_t n);

// Brings the view's image to width x height by the size mode, then drops
// the alpha channel over the background when asked. With `restore` the
// frame as loaded comes back from the oldest snapshot first.
void ApplySizeMode(TImageView& view, int32_t width, int32_t height, int32_t sizeMode, bool removeAlpha, bool restore);

}  // namespace loopsmith
