#include "support/test_support.h"

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith::test {

TDecoded DecodeBytes(TFileKind kind, const std::vector<uint8_t>& bytes, int32_t index, bool paramsOnly, TIOParams params) {
    TDecoded d{{}, std::move(params), false};
    const TFileFormatInfo* info = FindFormatByKind(kind);
    EXPECT_TRUE(info && info->Reader && info->Reader->Read);
    if (!info || !info->Reader || !info->Reader->Read) return d;
    d.params.SetImageIndex(index);
    TMemoryStream stream(bytes);
    TProgressContext ctx(d.aborted);
    info->Reader->Read(stream, d.image, d.params, ctx, paramsOnly);
    return d;
}

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

// Rows come in file order; put interlaced ones where they are shown.
std::vector<uint8_t> readRows(GifFileType* gif, int width, int height, bool interlaced) {
    std::vector<uint8_t> pixels(size_t(width) * height);
    std::vector<int> order;
    if (interlaced) {
        static const int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = kStart[pass]; y < height; y += kStep[pass]) order.push_back(y);
    } else {
        for (int y = 0; y < height; ++y) order.push_back(y);
    }
    for (int y : order)
        if (DGifGetLine(gif, pixels.data() + size_t(y) * width, width) != GIF_OK) return {};
    return pixels;
}

// Blocks of one extension, the first one included.
std::vector<std::vector<uint8_t>> readExtension(GifFileType* gif, int& code, bool& ok) {
    std::vector<std::vector<uint8_t>> blocks;
    GifByteType* data = nullptr;
    ok = DGifGetExtension(gif, &code, &data) == GIF_OK;
    while (ok && data) {
        blocks.emplace_back(data + 1, data + 1 + data[0]);
        ok = DGifGetExtensionNext(gif, &data) == GIF_OK;
    }
    return blocks;
}

}  // namespace

// Walks the records one by one: giflib's DGifSlurp of this version fails
// on an extension without sub-blocks, which the GIF rules allow.
GiflibFile DecodeWithGiflib(const std::vector<uint8_t>& bytes) {
    GiflibFile out;
    MemoryReader reader{&bytes};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, readFromMemory, &error);
    if (!gif) {
        out.error = GifErrorString(error);
        return out;
    }
    out.screenWidth = gif->SWidth;
    out.screenHeight = gif->SHeight;
    GiflibFrame pending;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) != GIF_OK) break;
        if (type == TERMINATE_RECORD_TYPE) {
            out.ok = true;
            break;
        }
        if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) != GIF_OK) break;
            GiflibFrame frame = pending;
            pending = GiflibFrame{};
            frame.left = gif->Image.Left;
            frame.top = gif->Image.Top;
            frame.width = gif->Image.Width;
            frame.height = gif->Image.Height;
            frame.interlaced = gif->Image.Interlace;
            const ColorMapObject* map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
            for (int c = 0; map && c < map->ColorCount; ++c)
                frame.colours.push_back(MakeRGB(map->Colors[c].Red, map->Colors[c].Green, map->Colors[c].Blue));
            frame.indices = readRows(gif, frame.width, frame.height, frame.interlaced);
            if (frame.indices.size() != size_t(frame.width) * frame.height) break;
            out.frames.push_back(std::move(frame));
        } else if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            bool ok = false;
            auto blocks = readExtension(gif, code, ok);
            if (!ok) break;
            if (code == GRAPHICS_EXT_FUNC_CODE && !blocks.empty() && blocks[0].size() >= 4) {
                pending.disposal = (blocks[0][0] >> 2) & 7;
                pending.delayCs = blocks[0][1] | (blocks[0][2] << 8);
                pending.transparentIndex = (blocks[0][0] & 1) ? blocks[0][3] : -1;
            } else if (code == COMMENT_EXT_FUNC_CODE) {
                for (auto& b : blocks) out.comments.emplace_back(b.begin(), b.end());
            } else if (code == APPLICATION_EXT_FUNC_CODE && blocks.size() >= 2 && blocks[0].size() == 11 &&
                       std::memcmp(blocks[0].data(), "NETSCAPE2.0", 11) == 0 && blocks[1].size() >= 3) {
                out.loopCount = blocks[1][1] | (blocks[1][2] << 8);
            }
        }
    }
    if (!out.ok) out.error = GifErrorString(gif->Error);
    DGifCloseFile(gif, &error);
    return out;
}

TRaster ReadPam(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic, key;
    in >> magic;
    if (magic != "P7") return {};
    int width = 0, height = 0, depth = 0, maxval = 0;
    while (in >> key && key != "ENDHDR") {
        if (key == "WIDTH") in >> width;
        else if (key == "HEIGHT") in >> height;
        else if (key == "DEPTH") in >> depth;
        else if (key == "MAXVAL") in >> maxval;
        else in.ignore(1 << 16, '\n');  // TUPLTYPE and comments
    }
    in.get();
    if (width <= 0 || height <= 0 || depth < 1 || depth > 4 || maxval != 255) return {};
    std::vector<uint8_t> data(size_t(width) * height * depth);
    if (!in.read(reinterpret_cast<char*>(data.data()), std::streamsize(data.size()))) return {};
    TRaster out(width, height, px24RGB);
    const bool alpha = depth == 2 || depth == 4;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = data.data() + (size_t(y) * width + x) * depth;
            out.SetPixelRGB(x, y, depth >= 3 ? MakeRGB(p[0], p[1], p[2]) : MakeRGB(p[0], p[0], p[0]));
            if (alpha) out.AlphaChannel().Scanline(y)[x] = p[depth - 1];
        }
    return out;
}

std::string ComparePictures(const TRaster& actual, const TRaster& expected, int tolerance) {
    if (actual.Width() != expected.Width() || actual.Height() != expected.Height())
        return "size " + std::to_string(actual.Width()) + "x" + std::to_string(actual.Height()) + ", expected " +
               std::to_string(expected.Width()) + "x" + std::to_string(expected.Height());
    for (int32_t y = 0; y < actual.Height(); ++y)
        for (int32_t x = 0; x < actual.Width(); ++x) {
            const int a = actual.Alpha(x, y), e = expected.Alpha(x, y);
            const TRGB ca = actual.PixelRGB(x, y), ce = expected.PixelRGB(x, y);
            const bool colourOff = e > 0 && (std::abs(ca.r - ce.r) > tolerance || std::abs(ca.g - ce.g) > tolerance ||
                                              std::abs(ca.b - ce.b) > tolerance);
            if (std::abs(a - e) > tolerance || colourOff) {
                char text[160];
                std::snprintf(text, sizeof text, "pixel (%d,%d): rgba %d,%d,%d,%d, expected %d,%d,%d,%d", x, y, ca.r,
                              ca.g, ca.b, a, ce.r, ce.g, ce.b, e);
                return text;
            }
        }
    return {};
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
