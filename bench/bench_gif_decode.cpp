// Decoding every frame of a 200-frame 640x480 animation: our LZW decoder
// against giflib's DGifSlurp on the same bytes, for full frames written by
// our encoder and for FFmpeg's optimised sub-rectangles with transparency.
// Prints the times and the ratio (giflib time / ours). Then the loader's
// whole walk (decode, compose, thumbnail every frame) against FFmpeg
// decoding and composing the same file.

#include <gif_lib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "gif/gif_animation_writer.h"
#include "gif/lzw_decoder.h"
#include "sources/multi_image_io.h"
#include "sources/thumb_strip.h"
#include "util/stream.h"

namespace {

using namespace loopsmith;
using Clock = std::chrono::steady_clock;
constexpr int kFrames = 200, kWidth = 640, kHeight = 480, kRounds = 5;

std::vector<uint8_t> makeFullFrameGif() {
    TMemoryStream out;
    TIOParams params;
    params.GifDelay = 4;
    TGifAnimationWriter writer(out);
    for (int k = 0; k < kFrames; ++k) {
        TRaster image(kWidth, kHeight, px24RGB);
        for (int y = 0; y < kHeight; ++y) {
            uint8_t* row = image.Scanline(y);
            for (int x = 0; x < kWidth; ++x) {
                double ring = std::sin(std::hypot(x - 320.0 - k, y - 240.0) / 9.0);
                row[3 * x] = static_cast<uint8_t>(128 + 100 * ring);
                row[3 * x + 1] = static_cast<uint8_t>((x + 2 * k) * 255 / (kWidth + 400));
                row[3 * x + 2] = static_cast<uint8_t>(y * 255 / kHeight);
            }
        }
        bool abort = false;
        TProgressContext ctx(abort);
        writer.AddFrame(image, params, ctx);
    }
    writer.Finish();
    return out.bytes();
}

std::vector<uint8_t> makeFfmpegGif() {
    const auto path = std::filesystem::temp_directory_path() / "loopsmith-bench-ffmpeg.gif";
    std::string command = "ffmpeg -v error -y -f lavfi -i testsrc2=s=640x480:r=25 -frames:v 200 '" +
                          path.string() + "' </dev/null";
    if (std::system(command.c_str()) != 0) return {};
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Walks the blocks and decodes every image with our decoder.
size_t decodeOurs(const std::vector<uint8_t>& gif) {
    TMemoryStream stream(gif);
    size_t pos = 13 + ((gif[10] & 0x80) ? 3u << ((gif[10] & 7) + 1) : 0);
    std::vector<uint8_t> pixels;
    size_t decoded = 0;
    while (pos < gif.size()) {
        uint8_t block = gif[pos++];
        if (block == 0x21) {
            pos++;
            while (pos < gif.size() && gif[pos]) pos += gif[pos] + 1u;
            pos++;
        } else if (block == 0x2C) {
            const uint8_t* d = gif.data() + pos;
            int w = d[4] | d[5] << 8, h = d[6] | d[7] << 8;
            bool interlaced = d[8] & 0x40;
            pos += 9 + ((d[8] & 0x80) ? 3u << ((d[8] & 7) + 1) : 0);
            pixels.resize(size_t(w) * h);
            stream.Seek(static_cast<int64_t>(pos));
            if (!DecodeGifLzw(stream, h, w, interlaced, pixels.data())) std::abort();
            pos = static_cast<size_t>(stream.Position());
            ++decoded;
        } else {
            break;
        }
    }
    return decoded;
}

struct Reader {
    const std::vector<uint8_t>* bytes;
    size_t pos = 0;
};

int readMemory(GifFileType* gif, GifByteType* out, int n) {
    auto* r = static_cast<Reader*>(gif->UserData);
    size_t k = std::min<size_t>(size_t(n), r->bytes->size() - r->pos);
    std::memcpy(out, r->bytes->data() + r->pos, k);
    r->pos += k;
    return static_cast<int>(k);
}

size_t decodeGiflib(const std::vector<uint8_t>& gif) {
    Reader reader{&gif};
    int error = 0;
    GifFileType* file = DGifOpen(&reader, readMemory, &error);
    if (!file) std::abort();
    DGifSlurp(file);  // this giflib stops at an empty comment block after the images
    size_t decoded = static_cast<size_t>(file->ImageCount);
    DGifCloseFile(file, &error);
    return decoded;
}

template <class Fn>
double bestSeconds(Fn fn, size_t expectFrames) {
    double best = 1e9;
    for (int r = 0; r < kRounds; ++r) {
        auto t0 = Clock::now();
        size_t frames = fn();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
        if (frames != expectFrames) std::fprintf(stderr, "decoded %zu frames, expected %zu\n", frames, expectFrames);
    }
    return best;
}

std::filesystem::path saveTemp(const std::vector<uint8_t>& gif) {
    const auto path = std::filesystem::temp_directory_path() / "loopsmith-bench-walk.gif";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(gif.data()), std::streamsize(gif.size()));
    return path;
}

size_t loaderWalk(const std::filesystem::path& path) {
    TThumbStrip strip;
    TMultiImageIO loader;
    loader.AttachMView(&strip);
    loader.LoadFramesFromFile(path);
    return static_cast<size_t>(strip.ImageCount());
}

size_t ffmpegWalk(const std::filesystem::path& path) {
    std::string command = "ffmpeg -v error -i '" + path.string() + "' -f null - </dev/null";
    return std::system(command.c_str()) == 0 ? kFrames : 0;
}

void compare(const char* name, const std::vector<uint8_t>& gif) {
    if (gif.empty()) {
        std::printf("%s: skipped (ffmpeg not installed)\n", name);
        return;
    }
    std::printf("%s (%zu KB)\n", name, gif.size() / 1024);
    double ours = bestSeconds([&] { return decodeOurs(gif); }, kFrames);
    double giflib = bestSeconds([&] { return decodeGiflib(gif); }, kFrames);
    std::printf("  decode   ours %7.1f ms   giflib %7.1f ms   giflib/ours %.2fx\n", ours * 1e3, giflib * 1e3,
                giflib / ours);
    const auto path = saveTemp(gif);
    double walk = bestSeconds([&] { return loaderWalk(path); }, kFrames);
    double ffmpeg = bestSeconds([&] { return ffmpegWalk(path); }, kFrames);
    std::printf("  walk     ours %7.1f ms   ffmpeg %7.1f ms   ours/ffmpeg %.2fx\n", walk * 1e3, ffmpeg * 1e3,
                walk / ffmpeg);
}

}  // namespace

int main() {
    std::printf("Decoding %d frames of %dx%d, best of %d runs\n", kFrames, kWidth, kHeight, kRounds);
    compare("full frames (our encoder)", makeFullFrameGif());
    compare("sub-rectangles + transparency (ffmpeg)", makeFfmpegGif());
    return 0;
}
