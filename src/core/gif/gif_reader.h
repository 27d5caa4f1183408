#pragma once
// Reading one image of a GIF file: the parameter set, the pixels, an
// optional transparency mask and the file's image count.

#include <cstdint>
#include <optional>

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TStream;
struct TImageReader;

// Frames and logical screens above this many pixels are refused.
constexpr int64_t kGifMaxPixels = int64_t{1} << 28;
// LZW codes are at least 3 bits and no string is longer than 4096, so no
// byte of image data can stand for more pixels than this.
constexpr int64_t kGifMaxPixelsPerByte = (8 * 4096 + 2) / 3;

// Largest pixel count that `bytesLeft` bytes of a GIF file could produce.
int64_t GifPixelBound(int64_t bytesLeft);

// The palette of an image that has neither a local nor a global table:
// black, white, then grey levels 2..255 (entry i is grey i), so that
// two-colour images come out black and white.
const TRGB* GifDefaultPalette();

// Reads image GifImageIndex of the GIF at the stream's position into
// `image` (px1g for a black-and-white table, px8p with NativePixelFormat,
// else px24RGB) and fills the parameter set; `imageCount` receives the
// number of images in the file. With `paramsOnly` no pixel data is
// decoded. Unless `noMask` is set, a frame with a transparent colour that
// some pixel uses gets `mask` (255 opaque, 0 transparent); otherwise
// `mask` comes back empty. Failure shows in ctx.AbortFlag.
void ReadGifStream(TStream& stream, TRaster& image, int32_t& imageCount, TIOParams& params, TProgressContext& ctx,
                   bool paramsOnly, std::optional<TRaster>& mask, bool noMask);

// The registry's reader for GIF files. It delivers frame GifImageIndex as
// an animation shows it, composed like TImageIO::LoadGifStream (the
// logical screen after images 0..n; a single-image file gives the image
// itself), because that is what rendering frame n of a GIF entry needs.
// The multi-frame loader walks the raw images with ReadGifStream and
// keeps its own TGifCanvas instead. Parameters-only reads report image n.
const TImageReader& GifImageReader();

}  // namespace loopsmith
