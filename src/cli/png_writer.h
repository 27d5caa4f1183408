#pragma once

#include <filesystem>

#include "imaging/raster.h"

namespace loopsmith::cli {

// Writes any raster as an 8-bit RGBA PNG; alpha 255 where it has no alpha
// plane. False when the file cannot be written.
bool WriteRgbaPng(const std::filesystem::path& fileName, const TRaster& image);

}  // namespace loopsmith::cli
