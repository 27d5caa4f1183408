#pragma once

#include <cstdint>
#include <filesystem>

namespace loopsmith {

// How many frames a file holds, judged by its extension: images of a GIF,
// pages or images of the multi-image kinds, 1 for every other still image.
// Video files and unknown extensions are counted by the video source; 0
// when none is installed or the file cannot be read.
int32_t FileFrameCount(const std::filesystem::path& fileName);

}  // namespace loopsmith
