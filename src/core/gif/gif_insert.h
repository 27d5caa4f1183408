#pragma once
// Inserting frames into an existing GIF file, the NETSCAPE2.0 loop
// extension and counting a file's images.

#include <cstdint>
#include <filesystem>

#include "gif/gif_blocks.h"
#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;

// Rewrites the stream with the image inserted as frame GifImageIndex.
// Returns the number of images afterwards, 0 when it is not a GIF or the
// insertion was abandoned with the stream unchanged.
int32_t InsertGifFrameIntoStream(TStream& stream, const TRaster& image, TIOParams& params, TProgressContext& ctx);

// Puts the loop extension right after the global colour table (replacing
// one already there), the version "89a" and a screen at least this large.
void WriteLoopExtension(const std::filesystem::path& fileName, int32_t loopCount, int32_t screenWidth,
                        int32_t screenHeight);

// The blocks of one inserted frame: graphic control, image descriptor with
// its local colour table, image data. Sets the abort flag without encoder.
TByteBuffer BuildInsertedFrame(const TGifFrame& frame, const TIOParams& params, TProgressContext& ctx);

TByteBuffer ReadRestOfStream(TStream& stream);

// Number of image descriptors; 0 for an unreadable or non-GIF file.
int32_t CountGifImages(const std::filesystem::path& fileName);

}  // namespace loopsmith
