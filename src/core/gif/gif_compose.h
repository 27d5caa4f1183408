#pragma once
// The logical screen of a GIF animation, built up image by image the way
// a viewer shows it, with each image's disposal applied before the next.

#include <cstdint>

#include "gif/gif_reader.h"
#include "imaging/io_params.h"
#include "imaging/raster.h"
#include "util/stream.h"

namespace loopsmith {

class TStream;

class TGifCanvas {
public:
    // `maxPixels` bounds the canvas a file may ask for.
    explicit TGifCanvas(int64_t maxPixels = kGifMaxPixels) : m_maxPixels(maxPixels) {}

    // Applies the previous image's disposal, then draws `image` (as
    // ReadGifStream left it, with its mask as alpha plane) at GifLeft,
    // GifTop. The canvas is at least GifScreenWidth x GifScreenHeight and
    // the image's size; it starts as GifBackgroundColor with alpha 0.
    // Afterwards the parameter set describes the whole canvas: GifDisposal
    // 2, GifLeft 0, GifTop 0. Returns false, drawing nothing, when the
    // canvas would exceed the pixel bound or memory runs out.
    bool AddFrame(const TRaster& image, TIOParams& params);

    // px24RGB with an alpha plane; empty before the first frame.
    const TRaster& Canvas() const { return m_canvas; }
    void Clear();

private:
    struct Rect {
        int32_t left = 0, top = 0, width = 0, height = 0;
    };

    bool prepare(int32_t screenWidth, int32_t screenHeight, TRGB background);
    void dispose(TRGB background);
    void saveArea(Rect area);
    void draw(const TRaster& image, int32_t left, int32_t top);
    Rect clip(Rect r) const;

    int64_t m_maxPixels;
    TRaster m_canvas;
    Rect m_previous;
    uint8_t m_previousDisposal = 0;
    // What lay under an image with disposal 3, for restoring it.
    TRaster m_saved;
    Rect m_savedArea;
};

// Frame GifImageIndex as a viewer shows it: images 0..n drawn in turn on
// the logical screen; a file of one image gives that image at its own
// size. Reads the stream from its position once per image up to n. The
// result keeps the layout of image n (px1g stays px1g). On failure the
// abort flag is set and `result` keeps the last frame completed. Returns
// the file's image count.
int32_t ReadComposedGifFrame(TStream& stream, TRaster& result, TIOParams& params, TProgressContext& ctx);

// The same frames for a caller that asks for them mostly in increasing
// order (export, playback): the canvas is kept between calls, so the next
// frame costs one image instead of all images up to it. Frame
// GifImageIndex comes out exactly as ReadComposedGifFrame gives it.
class TGifFrameCursor {
public:
    explicit TGifFrameCursor(std::vector<uint8_t> bytes);
    int32_t ReadFrame(TRaster& result, TIOParams& params, TProgressContext& ctx);

private:
    void restart();

    TMemoryStream m_stream;
    TGifCanvas m_canvas;
    int32_t m_next = 0;  // the image the walk reads next
    int32_t m_count = 0;
};

}  // namespace loopsmith
