// Writes a small animated GIF from generated frames with the engine.
#include <cmath>
#include <cstdio>
#include <exception>

#include "gif/gif_animation_writer.h"
#include "imaging/raster.h"

int main(int argc, char** argv) {
    using namespace loopsmith;
    const char* out = argc > 1 ? argv[1] : "example.gif";
    const int frames = 24, width = 240, height = 160;
    TIOParams params;
    params.GifDelay = 6;
    try {
        TGifAnimationWriter writer(out);
        for (int k = 0; k < frames; ++k) {
            TRaster image(width, height, px24RGB);
            const double phase = 2 * M_PI * k / frames;
            for (int y = 0; y < height; ++y) {
                uint8_t* row = image.Scanline(y);
                for (int x = 0; x < width; ++x) {
                    double v = std::sin(x / 14.0 + phase) + std::cos(y / 11.0 - phase);
                    row[3 * x] = static_cast<uint8_t>(y * 255 / height);
                    row[3 * x + 1] = static_cast<uint8_t>(x * 255 / width);
                    row[3 * x + 2] = static_cast<uint8_t>(128 + 60 * v);
                }
            }
            bool abort = false;
            TProgressContext ctx(abort);
            if (writer.AddFrame(image, params, ctx) == 0) {
                std::fprintf(stderr, "Frame %d could not be written.\n", k);
                return 1;
            }
        }
        writer.Finish();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("Wrote an animated GIF of %d frames to %s\n", frames, out);
    return 0;
}
