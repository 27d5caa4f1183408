#include "support/test_support.h"

#include <gif_lib.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace loopsmith::test {

TRaster MakePhotoLike(int32_t w, int32_t h, uint32_t seed) {
    uint32_t state = seed * 2654435761u + 1;
    auto noise = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>(state >> 28) - 8;
    };
    auto clamp = [](double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    return MakeRGBRaster(w, h, [&](int32_t x, int32_t y) {
        double fx = double(x) / w, fy = double(y) / h;
        double ring = std::sin(std::hypot(fx - 0.6, fy - 0.4) * 25.0);
        return MakeRGB(clamp(255 * fx + 40 * ring + noise()), clamp(200 * fy + 30 * ring + noise()),
                       clamp(128 + 100 * std::sin(6 * fx * fy) + noise()));
    });
}

namespace {

struct MemoryReader {
    const std::vector<uint8_t>* bytes;
    size_t position = 0;
};

int readFromMemory(GifFileType* gif, GifByteType* buffer, int count) {
    auto* reader = static_cast<MemoryReader*>(gif->UserData);
    size_t left = reader->bytes->size() - reader->position;
    size_t n = std::min(left, static_cast<size_t>(count));
    std::memcpy(buffer, reader->bytes->data() + reader->position, n);
    reader->position += n;
    return static_cast<int>(n);
}

void readLoopCount(const ExtensionBlock* blocks, int count, GiflibFile& out) {
    for (int i = 0; i + 1 < count; ++i) {
        const ExtensionBlock& app = blocks[i];
        if (app.Function == APPLICATION_EXT_FUNC_CODE && app.ByteCount == 11 &&
            std::memcmp(app.Bytes, "NETSCAPE2.0", 11) == 0 && blocks[i + 1].ByteCount >= 3)
            out.loopCount = blocks[i + 1].Bytes[1] | (blocks[i + 1].Bytes[2] << 8);
    }
}

void readComments(const ExtensionBlock* blocks, int count, GiflibFile& out) {
    for (int i = 0; i < count; ++i)
        if (blocks[i].Function == COMMENT_EXT_FUNC_CODE)
            out.comments.emplace_back(reinterpret_cast<const char*>(blocks[i].Bytes), blocks[i].ByteCount);
}

}  // namespace

GiflibFile DecodeWithGiflib(const std::vector<uint8_t>& bytes) {
    GiflibFile out;
    MemoryReader reader{&bytes};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, readFromMemory, &error);
    if (!gif) {
        out.error = GifErrorString(error);
        return out;
    }
    if (DGifSlurp(gif) != GIF_OK) {
        out.error = GifErrorString(gif->Error);
        DGifCloseFile(gif, &error);
        return out;
    }
    out.screenWidth = gif->SWidth;
    out.screenHeight = gif->SHeight;
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage& image = gif->SavedImages[i];
        GiflibFrame frame;
        frame.left = image.ImageDesc.Left;
        frame.top = image.ImageDesc.Top;
        frame.width = image.ImageDesc.Width;
        frame.height = image.ImageDesc.Height;
        frame.interlaced = image.ImageDesc.Interlace;
        frame.indices.assign(image.RasterBits, image.RasterBits + size_t(frame.width) * frame.height);
        const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
        for (int c = 0; map && c < map->ColorCount; ++c)
            frame.colours.push_back(MakeRGB(map->Colors[c].Red, map->Colors[c].Green, map->Colors[c].Blue));
        GraphicsControlBlock gcb;
        if (DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK) {
            frame.transparentIndex = gcb.TransparentColor;
            frame.delayCs = gcb.DelayTime;
            frame.disposal = gcb.DisposalMode;
        }
        readLoopCount(image.ExtensionBlocks, image.ExtensionBlockCount, out);
        readComments(image.ExtensionBlocks, image.ExtensionBlockCount, out);
        out.frames.push_back(std::move(frame));
    }
    readComments(gif->ExtensionBlocks, gif->ExtensionBlockCount, out);
    out.ok = true;
    DGifCloseFile(gif, &error);
    return out;
}

std::filesystem::path TempDir() {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() / ("loopsmith-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                            ("loopsmith-test-" + std::to_string(::getpid())),
                                        ec);
        });
        return d;
    }();
    return dir;
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace loopsmith::test
