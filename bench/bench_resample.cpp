// Resample of a 1920x1080 px24RGB photo-like frame with rfFastLinear against
// libswscale's bilinear scaler (BGR24 -> BGR24), both single-threaded, in
// the same run. Prints the median time of each, and ours / theirs.

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "imaging/image_proc.h"
#include "imaging/raster.h"

using namespace loopsmith;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kRuns = 15;

uint8_t clampByte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); }

// Gradients, rings and a little noise: neither flat nor random.
TRaster makeFrame() {
    TRaster frame(kWidth, kHeight, px24RGB);
    uint32_t state = 12345;
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* p = frame.Scanline(y);
        for (int x = 0; x < kWidth; ++x, p += 3) {
            const double dx = x - kWidth / 2.0, dy = y - kHeight / 2.0;
            const double ring = std::sin(std::sqrt(dx * dx + dy * dy) / 9.0);
            state = state * 1664525u + 1013904223u;
            const double noise = static_cast<int>(state >> 29) - 3.5;
            p[0] = clampByte(90 + 100.0 * x / kWidth + 50 * ring + noise);
            p[1] = clampByte(40 + 150.0 * y / kHeight + 40 * ring + noise);
            p[2] = clampByte(200 - 120.0 * x / kWidth - 60 * ring + noise);
        }
    }
    return frame;
}

// Median of kRuns timings of `run`, in milliseconds; `prepare` is not timed.
double medianMs(const std::function<void()>& prepare, const std::function<void()>& run) {
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        run();
        const auto end = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

double timeOurs(const TRaster& frame, int w, int h, bool snapshots) {
    TRaster image;
    TImageProc proc(&image);
    proc.AutoSnapshot = snapshots;
    return medianMs(
        [&] {
            image = frame;
            proc.ClearSnapshots();
        },
        [&] { proc.Resample(w, h, rfFastLinear); });
}

double timeSwscale(const TRaster& frame, int w, int h) {
    SwsContext* ctx = sws_getContext(kWidth, kHeight, AV_PIX_FMT_BGR24, w, h, AV_PIX_FMT_BGR24, SWS_BILINEAR,
                                     nullptr, nullptr, nullptr);
    if (!ctx) return -1;
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
    const uint8_t* srcPlanes[4] = {frame.Scanline(0), nullptr, nullptr, nullptr};
    const int srcStride[4] = {static_cast<int>(frame.RowBytes()), 0, 0, 0};
    uint8_t* dstPlanes[4] = {out.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {w * 3, 0, 0, 0};
    const double ms =
        medianMs([] {}, [&] { sws_scale(ctx, srcPlanes, srcStride, 0, kHeight, dstPlanes, dstStride); });
    sws_freeContext(ctx);
    return ms;
}

}  // namespace

int main() {
    const TRaster frame = makeFrame();
    std::printf("Resample %dx%d px24RGB, median of %d runs, single thread\n", kWidth, kHeight, kRuns);
    std::printf("%-12s %14s %18s %14s %8s\n", "target", "ours ms", "ours+snapshot ms", "swscale ms", "ratio");
    const int targets[][2] = {{640, 360}, {3840, 2160}, {1280, 720}, {2000, 2000}};
    for (const auto& t : targets) {
        const double ours = timeOurs(frame, t[0], t[1], false);
        const double withSnapshot = timeOurs(frame, t[0], t[1], true);
        const double theirs = timeSwscale(frame, t[0], t[1]);
        char name[32];
        std::snprintf(name, sizeof name, "%dx%d", t[0], t[1]);
        std::printf("%-12s %14.2f %18.2f %14.2f %8.2f\n", name, ours, withSnapshot, theirs, ours / theirs);
    }
    std::printf("ratio = ours / swscale (below 1: ours is faster)\n");
    return 0;
}
