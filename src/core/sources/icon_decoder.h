#pragma once
// Icons and cursors: a directory of images, each a bitmap with an AND mask
// or a whole PNG file.

#include <cstdint>
#include <span>

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

struct TImageReader;

// Decodes image ICOImageIndex of an icon or cursor file held in memory and
// reports the directory's image count. An index outside the directory, or
// an entry whose data lies beyond the file, fails. With `paramsOnly` only
// the image's header is read.
bool DecodeIcon(std::span<const uint8_t> file, TRaster& image, TIOParams& params, bool paramsOnly);

// The registry's reader for icon and cursor files.
const TImageReader& IconImageReader();

}  // namespace loopsmith
