// Quantize and map one 1280x720 photo-like frame to 256 colours with our
// quantizer and with libimagequant (default speed, no dithering); prints
// the time of each, their ratio and the PSNR of each result.

#include <libimagequant.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "imaging/raster.h"
#include "quant/quantizer.h"

using namespace loopsmith;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kRuns = 7;

uint8_t clampByte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); }

// Smoothly coloured Mandelbrot detail (seahorse valley) over a diagonal
// gradient, with a little sensor-like noise.
TRaster makeFrame() {
    TRaster frame(kWidth, kHeight, px24RGB);
    uint32_t state = 12345;
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* p = frame.Scanline(y);
        for (int x = 0; x < kWidth; ++x, p += 3) {
            const double cx = -0.765 + 0.04 * x / kWidth, cy = 0.09 + 0.0225 * y / kHeight;
            double zx = 0, zy = 0;
            int i = 0;
            while (i < 200 && zx * zx + zy * zy < 256) {
                const double t = zx * zx - zy * zy + cx;
                zy = 2 * zx * zy + cy;
                zx = t;
                ++i;
            }
            double v = i < 200 ? i + 1 - std::log2(std::log2(zx * zx + zy * zy)) : 0;
            const double fx = double(x) / kWidth, fy = double(y) / kHeight;
            state = state * 1664525u + 1013904223u;
            const double noise = static_cast<int>(state >> 29) - 3.5;
            const double k = std::sqrt(v) * 1.3;
            p[2] = clampByte(60 + 120 * fx + 70 * std::sin(k) + noise);
            p[1] = clampByte(40 + 100 * fy + 70 * std::sin(k + 2.1) + noise);
            p[0] = clampByte(90 + 60 * (1 - fx) + 70 * std::sin(k + 4.2) + noise);
        }
    }
    return frame;
}

double psnr(const TRaster& frame, const std::vector<uint8_t>& indices, const std::vector<TRGB>& palette) {
    double squares = 0;
    for (int y = 0; y < kHeight; ++y) {
        const uint8_t* p = frame.Scanline(y);
        for (int x = 0; x < kWidth; ++x, p += 3) {
            const TRGB c = palette[indices[size_t(y) * kWidth + x]];
            const double db = p[0] - c.b, dg = p[1] - c.g, dr = p[2] - c.r;
            squares += db * db + dg * dg + dr * dr;
        }
    }
    const double mse = squares / (3.0 * kWidth * kHeight);
    return 10 * std::log10(255.0 * 255.0 / mse);
}

double elapsedMs(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void runOurs(const TRaster& frame, std::vector<TRGB>& palette, std::vector<uint8_t>& indices) {
    TQuantizer quantizer(frame, palette.data(), 256);
    for (int y = 0; y < kHeight; ++y) quantizer.IndexRow(frame.Scanline(y), kWidth, &indices[size_t(y) * kWidth]);
}

bool runLibimagequant(const std::vector<uint8_t>& rgba, std::vector<TRGB>& palette, std::vector<uint8_t>& indices) {
    liq_attr* attr = liq_attr_create();
    liq_image* image = liq_image_create_rgba(attr, rgba.data(), kWidth, kHeight, 0);
    liq_result* result = nullptr;
    bool ok = liq_image_quantize(image, attr, &result) == LIQ_OK;
    if (ok) {
        liq_set_dithering_level(result, 0);
        ok = liq_write_remapped_image(result, image, indices.data(), indices.size()) == LIQ_OK;
        const liq_palette* pal = liq_get_palette(result);
        for (unsigned i = 0; i < pal->count; ++i)
            palette[i] = MakeRGB(pal->entries[i].r, pal->entries[i].g, pal->entries[i].b);
        liq_result_destroy(result);
    }
    liq_image_destroy(image);
    liq_attr_destroy(attr);
    return ok;
}

}  // namespace

int main() {
    const TRaster frame = makeFrame();
    std::vector<uint8_t> rgba(size_t{4} * kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y) {
        const uint8_t* p = frame.Scanline(y);
        for (int x = 0; x < kWidth; ++x, p += 3) {
            uint8_t* q = &rgba[(size_t(y) * kWidth + x) * 4];
            q[0] = p[2], q[1] = p[1], q[2] = p[0], q[3] = 255;
        }
    }

    std::vector<TRGB> ourPalette(256), liqPalette(256);
    std::vector<uint8_t> ourIndices(size_t{kWidth} * kHeight), liqIndices(size_t{kWidth} * kHeight);
    bool liqOk = true;
    // Interleaved, so a busy machine slows both alike.
    std::vector<double> ourTimes, liqTimes;
    for (int i = 0; i < kRuns; ++i) {
        ourTimes.push_back(elapsedMs([&] { runOurs(frame, ourPalette, ourIndices); }));
        liqTimes.push_back(elapsedMs([&] { liqOk = runLibimagequant(rgba, liqPalette, liqIndices) && liqOk; }));
    }
    const double ourMs = median(ourTimes), liqMs = median(liqTimes);
    if (!liqOk) {
        std::fprintf(stderr, "libimagequant failed\n");
        return 1;
    }

    std::printf("frame %dx%d, 256 colours, median of %d runs\n", kWidth, kHeight, kRuns);
    std::printf("TQuantizer (NeuQuant) + IndexRow : %8.2f ms  PSNR %.2f dB\n", ourMs,
                psnr(frame, ourIndices, ourPalette));
    std::printf("libimagequant (speed default, no dither): %8.2f ms  PSNR %.2f dB\n", liqMs,
                psnr(frame, liqIndices, liqPalette));
    std::printf("speed-up: %.2fx\n", liqMs / ourMs);
    return 0;
}
