#pragma once
// Reduced copies of pictures for the thumbnail strip.

#include <cstdint>

#include "imaging/raster.h"

namespace loopsmith {

struct TThumbnailSize {
    int32_t Width = 0;
    int32_t Height = 0;

    friend bool operator==(const TThumbnailSize&, const TThumbnailSize&) = default;
};

// The size a width x height picture gets when it is reduced to fit the box
// with its aspect ratio kept: one side fills the box, the other is rounded
// and never below 1. A picture that already fits keeps its size. A box side
// below 1 counts as 1.
TThumbnailSize FitIntoBox(int32_t width, int32_t height, int32_t boxWidth, int32_t boxHeight);

// A picture no larger than the box comes back unchanged (layout, palette and
// alpha plane included), except that the source-only layouts become
// px24RGB. A larger one is area-averaged down to FitIntoBox's size as
// px24RGB, with an averaged alpha plane when the source has one; colours are
// weighted by alpha so that hidden colours under transparent pixels do not
// bleed into visible ones. An empty source gives an empty raster.
TRaster MakeThumbnail(const TRaster& source, int32_t boxWidth, int32_t boxHeight);

}  // namespace loopsmith
