// LZW encoder throughput against giflib's encoder on 1920x1080 index
// buffers: a quantized photo-like picture and a flat frame of few colours.
// Prints MB/s of input indices (one byte per pixel) and the output sizes.

#include <gif_lib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "gif/lzw_encoder.h"
#include "util/stream.h"

namespace {

using loopsmith::EncodeGifLzw;
using loopsmith::TMemoryStream;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kRounds = 40;

uint8_t clampByte(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Smooth gradients and rings with light noise, mapped onto a fixed
// 6x6x6 colour cube without dithering: what a quantized photo looks like
// to the compressor (long smooth areas broken up by noise at bin edges).
std::vector<uint8_t> makePhotoIndices() {
    std::vector<uint8_t> out(size_t(kWidth) * kHeight);
    uint32_t state = 12345;
    auto noise = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>(state >> 28) - 8;
    };
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            double fx = double(x) / kWidth, fy = double(y) / kHeight;
            double ring = std::sin(std::hypot(fx - 0.6, fy - 0.4) * 25.0);
            uint8_t r = clampByte(255 * fx + 40 * ring + noise());
            uint8_t g = clampByte(200 * fy + 30 * ring + noise());
            uint8_t b = clampByte(128 + 100 * std::sin(6 * fx * fy) + noise());
            out[size_t(y) * kWidth + x] = static_cast<uint8_t>((r * 6 / 256) * 36 + (g * 6 / 256) * 6 + b * 6 / 256);
        }
    return out;
}

// Large uniform regions: a background, rectangles and a disc in 6 colours.
std::vector<uint8_t> makeFlatIndices() {
    std::vector<uint8_t> out(size_t(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            uint8_t v = 0;
            if (x > 200 && x < 900 && y > 100 && y < 500) v = 1;
            if (x > 1000 && x < 1800 && y > 600 && y < 1000) v = 2;
            if ((x - 1400) * (x - 1400) + (y - 300) * (y - 300) < 200 * 200) v = 3;
            if (y > 1040) v = (x / 64) % 2 ? 4 : 5;
            out[size_t(y) * kWidth + x] = v;
        }
    return out;
}

// Both encoders write into a sink that keeps its capacity between rounds,
// so the timings hold the encoders and not page faults of a growing buffer.
size_t encodeOurs(TMemoryStream& out, const std::vector<uint8_t>& pixels) {
    out.SetSize(0);
    out.Seek(0);
    EncodeGifLzw(out, kHeight, kWidth, 8, pixels.data(), false);
    return out.bytes().size();
}

int appendToVector(GifFileType* gif, const GifByteType* bytes, int count) {
    auto* sink = static_cast<std::vector<uint8_t>*>(gif->UserData);
    sink->insert(sink->end(), bytes, bytes + count);
    return count;
}

// A whole single-image GIF through giflib; its headers are a few hundred
// bytes next to megabytes of image data.
size_t encodeGiflib(std::vector<uint8_t>& sink, const std::vector<uint8_t>& pixels) {
    sink.clear();
    int error = 0;
    GifFileType* gif = EGifOpen(&sink, appendToVector, &error);
    if (!gif) return 0;
    ColorMapObject* map = GifMakeMapObject(256, nullptr);
    bool ok = EGifPutScreenDesc(gif, kWidth, kHeight, 8, 0, map) == GIF_OK &&
              EGifPutImageDesc(gif, 0, 0, kWidth, kHeight, false, nullptr) == GIF_OK;
    for (int y = 0; ok && y < kHeight; ++y)
        ok = EGifPutLine(gif, const_cast<GifPixelType*>(pixels.data() + size_t(y) * kWidth), kWidth) == GIF_OK;
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    return ok ? sink.size() : 0;
}

double seconds(const std::function<size_t()>& run, size_t& size) {
    auto start = std::chrono::steady_clock::now();
    size = run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void compare(const char* name, const std::vector<uint8_t>& pixels) {
    std::vector<double> ours, theirs;
    size_t oursSize = 0, theirsSize = 0;
    TMemoryStream ourSink;
    std::vector<uint8_t> theirSink;
    for (int round = 0; round < kRounds; ++round) {
        ours.push_back(seconds([&] { return encodeOurs(ourSink, pixels); }, oursSize));
        theirs.push_back(seconds([&] { return encodeGiflib(theirSink, pixels); }, theirsSize));
    }
    // The machine is shared: the best round is the least disturbed one.
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    const double mb = double(pixels.size()) / 1e6;
    std::printf("%s (%dx%d, %d rounds)\n", name, kWidth, kHeight, kRounds);
    std::printf("  ours    best %8.1f MB/s  median %8.1f MB/s  output %9zu bytes (image data)\n", mb / ours.front(),
                mb / ours[ours.size() / 2], oursSize);
    std::printf("  giflib  best %8.1f MB/s  median %8.1f MB/s  output %9zu bytes (whole file)\n", mb / theirs.front(),
                mb / theirs[theirs.size() / 2], theirsSize);
    std::printf("  ratio   best %8.2fx       median %8.2fx\n", theirs.front() / ours.front(),
                theirs[theirs.size() / 2] / ours[ours.size() / 2]);
}

}  // namespace

int main() {
    compare("photo-like, quantized", makePhotoIndices());
    compare("flat frame", makeFlatIndices());
    return 0;
}
