// Writes a small animated GIF from generated frames with the engine.
#include <cmath>
#include <cstdio>

#include "imaging/raster.h"
#include "sources/image_io.h"

int main(int argc, char** argv) {
    using namespace loopsmith;
    const char* out = argc > 1 ? argv[1] : "example.gif";
    TImageIO io;
    io.Params().GifDelay = 8;
    const int frames = 12;
    for (int k = 0; k < frames; ++k) {
        TRaster& img = io.Bitmap();
        img.Allocate(160, 120, px24RGB);
        double phase = 2 * M_PI * k / frames;
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 160; ++x) {
                double v = std::sin(x / 12.0 + phase) + std::cos(y / 10.0 - phase);
                img.SetPixelRGB(x, y, MakeRGB(uint8_t(128 + 60 * v), uint8_t(x * 255 / 160), uint8_t(y * 255 / 120)));
            }
        if (k == 0) {
            io.SaveGifFile(out);
        } else {
            io.Params().SetImageIndex(k);
            io.InsertGifFrame(out);
        }
    }
    std::printf("Wrote %d frames to %s\n", frames, out);
    return 0;
}
