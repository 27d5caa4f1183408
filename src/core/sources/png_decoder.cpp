#include "sources/png_decoder.h"

#include <png.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "sources/bmp_decoder.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 28;
// Deflate cannot expand its input by much more than 1032:1, so the file's
// size bounds the pixel data it can hold.
constexpr uint64_t kMaxInflateRatio = 1032;
constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct PngSource {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
};

// libpng's way out of a failed read is to longjmp back to the setjmp of
// the stage that called it; nothing of ours with a destructor lies between.
[[noreturn]] void onPngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onPngWarning(png_structp, png_const_charp) {}

void readFromSource(png_structp png, png_bytep out, size_t count) {
    auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
    if (count > src->size - src->pos) png_error(png, "truncated");
    std::memcpy(out, src->data + src->pos, count);
    src->pos += count;
}

class PngReadHandle {
public:
    PngReadHandle() {
        m_png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, onPngWarning);
        if (m_png) m_info = png_create_info_struct(m_png);
    }
    ~PngReadHandle() { png_destroy_read_struct(&m_png, m_info ? &m_info : nullptr, nullptr); }
    PngReadHandle(const PngReadHandle&) = delete;
    PngReadHandle& operator=(const PngReadHandle&) = delete;

    bool valid() const { return m_png && m_info; }
    png_structp png() const { return m_png; }
    png_infop info() const { return m_info; }

private:
    png_structp m_png = nullptr;
    png_infop m_info = nullptr;
};

// What the header chunks say and the row layout after our transforms.
// Plain data, so it may live across libpng's longjmp.
struct PngHeader {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0, interlace = 0;
    int paletteCount = 0;
    png_color palette[256] = {};
    int alphaCount = 0;  // palette entries with a tRNS alpha
    uint8_t paletteAlpha[256] = {};
    bool hasTrns = false;
    bool hasPhys = false;
    png_uint_32 ppmX = 0, ppmY = 0;
    int physUnit = 0;
    int passes = 1;
    size_t rowBytes = 0;  // after the transforms
    int channels = 0;     // after the transforms
};

void readPalette(png_structp png, png_infop info, PngHeader& h) {
    png_colorp palette = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &palette, &count) && palette) {
        h.paletteCount = std::clamp(count, 0, 256);
        std::copy_n(palette, h.paletteCount, h.palette);
    }
    png_bytep alpha = nullptr;
    int alphaCount = 0;
    if (png_get_tRNS(png, info, &alpha, &alphaCount, nullptr)) {
        h.hasTrns = true;
        if (h.colourType == PNG_COLOR_TYPE_PALETTE && alpha) {
            h.alphaCount = std::clamp(alphaCount, 0, 256);
            std::copy_n(alpha, h.alphaCount, h.paletteAlpha);
        }
    }
}

// Palette indices stay indices (widened to bytes) and 1-bit grey without
// tRNS stays packed; everything else becomes 8-bit G, GA, BGR or BGRA.
void setTransforms(png_structp png, const PngHeader& h) {
    if (h.colourType == PNG_COLOR_TYPE_PALETTE) {
        if (h.bitDepth < 8) png_set_packing(png);
        return;
    }
    if (h.colourType == PNG_COLOR_TYPE_GRAY && h.bitDepth == 1 && !h.hasTrns) return;
    if (h.hasTrns) png_set_tRNS_to_alpha(png);
    if (h.bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (h.bitDepth == 16) png_set_scale_16(png);
    if (h.colourType & PNG_COLOR_MASK_COLOR) png_set_bgr(png);
}

// The one place libpng may longjmp to while the header is read.
bool readHeader(const PngReadHandle& handle, PngSource* source, PngHeader* h) {
    png_structp png = handle.png();
    png_infop info = handle.info();
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, source, readFromSource);
    png_read_info(png, info);
    png_get_IHDR(png, info, &h->width, &h->height, &h->bitDepth, &h->colourType, &h->interlace, nullptr, nullptr);
    readPalette(png, info, *h);
    h->hasPhys = png_get_pHYs(png, info, &h->ppmX, &h->ppmY, &h->physUnit) != 0;
    setTransforms(png, *h);
    h->passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    h->rowBytes = png_get_rowbytes(png, info);
    h->channels = png_get_channels(png, info);
    return true;
}

using RowSink = void (*)(void* context, png_uint_32 y, const uint8_t* row);

// The one place libpng may longjmp to while pixels are read. A non-
// interlaced image passes through one row buffer; an interlaced one needs
// the whole image, and its rows go to the sink after the last pass.
bool readRows(const PngReadHandle& handle, const PngHeader* h, uint8_t* buffer, RowSink sink, void* context) {
    png_structp png = handle.png();
    if (setjmp(png_jmpbuf(png))) return false;
    const bool whole = h->passes > 1;
    for (int pass = 0; pass < h->passes; ++pass)
        for (png_uint_32 y = 0; y < h->height; ++y) {
            uint8_t* row = whole ? buffer + static_cast<size_t>(y) * h->rowBytes : buffer;
            png_read_row(png, row, nullptr);
            if (!whole) sink(context, y, row);
        }
    if (whole)
        for (png_uint_32 y = 0; y < h->height; ++y) sink(context, y, buffer + static_cast<size_t>(y) * h->rowBytes);
    return true;
}

int fileChannelCount(int colourType) {
    switch (colourType) {
        case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
        case PNG_COLOR_TYPE_RGB: return 3;
        case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
        default: return 1;  // grey, palette
    }
}

// Pixels per metre to dots per inch, rounded.
int32_t dpiFromPpm(png_uint_32 ppm) {
    return static_cast<int32_t>(std::min<uint64_t>((uint64_t{ppm} * 254 + 5000) / 10000, INT32_MAX));
}

void fillParams(const PngHeader& h, TIOParams& params) {
    params.ImageWidth = params.OriginalWidth = static_cast<int32_t>(h.width);
    params.ImageHeight = params.OriginalHeight = static_cast<int32_t>(h.height);
    params.ChannelBits = h.bitDepth;
    params.ChannelCount = fileChannelCount(h.colourType);
    if (h.hasPhys && h.physUnit == PNG_RESOLUTION_METER && h.ppmX > 0 && h.ppmY > 0) {
        params.DotsPerInchX = dpiFromPpm(h.ppmX);
        params.DotsPerInchY = dpiFromPpm(h.ppmY);
    }
    params.SetImageCount(1);
}

// Refuses sizes the file's compressed data could not fill.
bool sizePlausible(const PngHeader& h, size_t fileSize) {
    const uint64_t w = h.width, rows = h.height;
    if (w == 0 || rows == 0 || static_cast<int64_t>(w * rows) > kMaxPixels) return false;
    const uint64_t rawRowBytes = (w * static_cast<uint64_t>(fileChannelCount(h.colourType) * h.bitDepth) + 7) / 8;
    return rawRowBytes * rows <= static_cast<uint64_t>(fileSize) * kMaxInflateRatio;
}

TPixelLayout layoutFor(const PngHeader& h) {
    if (h.colourType == PNG_COLOR_TYPE_PALETTE) return px8p;
    if (h.channels <= 2) return h.bitDepth == 1 && h.channels == 1 ? px1g : px8g;
    return px24RGB;
}

struct PngPicture {
    TRaster& image;
    const PngHeader& header;
    TPixelLayout layout;
    int32_t width;
    bool anyTransparent = false;
};

void putRow(void* context, png_uint_32 y, const uint8_t* row) {
    auto& pic = *static_cast<PngPicture*>(context);
    const int32_t w = pic.width;
    uint8_t* out = pic.image.Scanline(static_cast<int32_t>(y));
    uint8_t* alpha = pic.image.HasAlphaChannel() ? pic.image.AlphaChannel().Scanline(static_cast<int32_t>(y)) : nullptr;
    const int channels = pic.header.channels;
    switch (pic.layout) {
        case px1g:
            std::memcpy(out, row, pic.image.RowBytes());
            if (w % 8) out[w / 8] &= static_cast<uint8_t>(0xFF00 >> (w % 8));
            break;
        case px8p:
            std::memcpy(out, row, static_cast<size_t>(w));
            if (alpha)
                for (int32_t x = 0; x < w; ++x)
                    alpha[x] = row[x] < pic.header.alphaCount ? pic.header.paletteAlpha[row[x]] : 255;
            break;
        case px8g:
            for (int32_t x = 0; x < w; ++x) out[x] = row[x * channels];
            if (alpha)
                for (int32_t x = 0; x < w; ++x) alpha[x] = row[x * channels + 1];
            break;
        default:
            for (int32_t x = 0; x < w; ++x) std::memcpy(out + 3 * x, row + x * channels, 3);
            if (alpha)
                for (int32_t x = 0; x < w; ++x) alpha[x] = row[x * channels + 3];
            break;
    }
    if (alpha && !pic.anyTransparent) pic.anyTransparent = std::any_of(alpha, alpha + w, [](uint8_t a) { return a < 255; });
}

bool decodePixels(const PngReadHandle& handle, const PngHeader& h, TRaster& image) {
    const TPixelLayout layout = layoutFor(h);
    image.Allocate(static_cast<int32_t>(h.width), static_cast<int32_t>(h.height), layout);
    if (layout == px8p)
        for (int i = 0; i < h.paletteCount; ++i)
            image.Palette().push_back(MakeRGB(h.palette[i].red, h.palette[i].green, h.palette[i].blue));
    const bool withAlpha = layout == px8p ? h.alphaCount > 0 : (h.channels == 2 || h.channels == 4);
    if (withAlpha) image.AlphaChannel();
    std::vector<uint8_t> buffer(h.passes > 1 ? h.rowBytes * h.height : h.rowBytes);
    PngPicture picture{image, h, layout, static_cast<int32_t>(h.width)};
    if (!readRows(handle, &h, buffer.data(), putRow, &picture)) return false;
    // An alpha plane that is opaque everywhere tells the writer nothing.
    if (withAlpha && !picture.anyTransparent) image.RemoveAlphaChannel();
    return true;
}

void readPngImage(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    ctx.Report(0);
    if (ctx.AbortFlag) return;
    std::vector<uint8_t> storage;
    bool ok = false;
    try {
        ok = DecodePng(StreamBytes(stream, storage), image, params, paramsOnly);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    if (!ok) ctx.AbortFlag = true;
    else ctx.Report(100);
}

}  // namespace

bool IsPngSignature(std::span<const uint8_t> data) {
    return data.size() >= sizeof kSignature && std::equal(kSignature, kSignature + sizeof kSignature, data.begin());
}

bool DecodePng(std::span<const uint8_t> data, TRaster& image, TIOParams& params, bool paramsOnly) {
    if (!IsPngSignature(data)) return false;
    try {
        PngReadHandle handle;
        if (!handle.valid()) return false;
        PngSource source{data.data(), data.size(), 0};
        PngHeader header;
        if (!readHeader(handle, &source, &header) || !sizePlausible(header, data.size())) return false;
        fillParams(header, params);
        return paramsOnly || decodePixels(handle, header, image);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

const TImageReader& PngImageReader() {
    static const TImageReader reader{readPngImage};
    return reader;
}

}  // namespace loopsmith
