#pragma once
// Helpers shared by the tests: building rasters and decoding GIFs with
// giflib, an independent decoder.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "imaging/io_params.h"
#include "imaging/raster.h"
#include "sources/file_kind.h"

namespace loopsmith::test {

// A px24RGB raster filled by fn(x, y) -> TRGB.
template <class Fn>
TRaster MakeRGBRaster(int32_t w, int32_t h, Fn fn) {
    TRaster r(w, h, px24RGB);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) r.SetPixelRGB(x, y, fn(x, y));
    return r;
}

// What one read through a decoder gave.
struct TDecoded {
    TRaster image;
    TIOParams params;
    bool aborted = false;
};

// Reads `bytes` from a memory stream through the registry's reader for
// `kind`, asking for image `index`, starting from `params`.
TDecoded DecodeBytes(TFileKind kind, const std::vector<uint8_t>& bytes, int32_t index = 0, bool paramsOnly = false,
                     TIOParams params = {});

// A photo-like picture: smooth gradients, rings and a little noise.
TRaster MakePhotoLike(int32_t w, int32_t h, uint32_t seed = 1);

struct GiflibFrame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::vector<uint8_t> indices;  // rows in display order
    std::vector<TRGB> colours;     // the table in force (local or global)
    int transparentIndex = -1;
    int delayCs = 0;
    int disposal = 0;
};

struct GiflibFile {
    bool ok = false;
    std::string error;
    int screenWidth = 0, screenHeight = 0;
    int loopCount = -1;  // -1 when there is no NETSCAPE2.0 block
    std::vector<GiflibFrame> frames;
    std::vector<std::string> comments;
};

GiflibFile DecodeWithGiflib(const std::vector<uint8_t>& bytes);

// A reference picture stored as a PAM file (P7, MAXVAL 255, DEPTH 1 to 4:
// GRAYSCALE, GRAYSCALE_ALPHA, RGB or RGB_ALPHA), as px24RGB with an alpha
// plane when the file has one. Empty when the file cannot be read.
TRaster ReadPam(const std::filesystem::path& path);

// Compares pixel for pixel: colour wherever alpha is above 0, and alpha
// (255 where a raster has no plane). Returns an empty string when equal,
// else a description of the first difference. `tolerance` is per channel.
std::string ComparePictures(const TRaster& actual, const TRaster& expected, int tolerance = 0);

std::filesystem::path TempDir();  // fresh per test process, removed at exit
std::vector<uint8_t> ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

}  // namespace loopsmith::test
