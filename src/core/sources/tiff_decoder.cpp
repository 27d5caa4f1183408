#include "sources/tiff_decoder.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

// libtiff's own buffers (strips, tag arrays) are refused above this.
constexpr tmsize_t kMaxLibraryAlloc = tmsize_t{512} << 20;

constexpr uint32_t kTagXPTitle = 0x9C9B;
constexpr uint32_t kTagXPComment = 0x9C9C;
constexpr uint32_t kTagXPAuthor = 0x9C9D;
constexpr uint32_t kTagXPKeywords = 0x9C9E;
constexpr uint32_t kTagXPSubject = 0x9C9F;

// ---- libtiff's view of our stream ------------------------------------------

// Offsets count from where the reader started, so a TIFF inside a larger
// stream reads like a file of its own.
struct TiffClient {
    TStream& stream;
    int64_t start = 0;
    uint64_t size = 0;
    uint64_t pos = 0;
    const uint8_t* memory = nullptr;  // the bytes when the stream lives in memory
    bool failed = false;              // libtiff reported an error
};

TiffClient& clientOf(thandle_t handle) { return *static_cast<TiffClient*>(handle); }

tmsize_t clientRead(thandle_t handle, void* buffer, tmsize_t count) {
    TiffClient& c = clientOf(handle);
    if (count <= 0 || c.pos >= c.size) return 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(count), c.size - c.pos));
    if (c.memory) {
        std::memcpy(buffer, c.memory + c.pos, want);
        c.pos += want;
        return static_cast<tmsize_t>(want);
    }
    // Never let an exception cross libtiff's C frames.
    try {
        c.stream.Seek(c.start + static_cast<int64_t>(c.pos));
        const size_t got = c.stream.Read(buffer, want);
        c.pos += got;
        return static_cast<tmsize_t>(got);
    } catch (...) {
        return -1;
    }
}

tmsize_t clientWrite(thandle_t, void*, tmsize_t) { return -1; }

toff_t clientSeek(thandle_t handle, toff_t offset, int whence) {
    TiffClient& c = clientOf(handle);
    // Wrap-around arithmetic gives negative relative moves.
    switch (whence) {
        case SEEK_SET: c.pos = offset; break;
        case SEEK_CUR: c.pos += offset; break;
        case SEEK_END: c.pos = c.size + offset; break;
        default: return static_cast<toff_t>(-1);
    }
    return c.pos;
}

int clientClose(thandle_t) { return 0; }
toff_t clientSize(thandle_t handle) { return clientOf(handle).size; }

// Memory streams are handed over as a mapping, so strips are not copied.
int clientMap(thandle_t handle, void** base, toff_t* size) {
    TiffClient& c = clientOf(handle);
    if (!c.memory) return 0;
    *base = const_cast<uint8_t*>(c.memory);
    *size = c.size;
    return 1;
}

void clientUnmap(thandle_t, void*, toff_t) {}

// The one translator from libtiff's messages to our abort flag: errors are
// recorded, warnings dropped, and nothing reaches stderr.
int recordError(TIFF*, void* userData, const char*, const char*, va_list) {
    if (userData) static_cast<TiffClient*>(userData)->failed = true;
    return 1;
}

int dropMessage(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Messages libtiff sends without a handle go nowhere.
void silenceGlobalHandlers() {
    static const bool done = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)done;
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
struct OptionsFreer {
    void operator()(TIFFOpenOptions* opts) const { TIFFOpenOptionsFree(opts); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

TiffHandle openTiff(TiffClient& client) {
    silenceGlobalHandlers();
    std::unique_ptr<TIFFOpenOptions, OptionsFreer> opts(TIFFOpenOptionsAlloc());
    if (!opts) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), recordError, &client);
    TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), dropMessage, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), kMaxLibraryAlloc);
    return TiffHandle(TIFFClientOpenExt("stream", "r", &client, clientRead, clientWrite, clientSeek, clientClose,
                                        clientSize, clientMap, clientUnmap, opts.get()));
}

// ---- one page --------------------------------------------------------------

enum class AlphaKind { None, Associated, Unassociated };

struct TiffPage {
    uint32_t width = 0, height = 0;
    uint16_t bitsPerSample = 1, samplesPerPixel = 1;
    uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    uint16_t compression = COMPRESSION_NONE;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    AlphaKind alpha = AlphaKind::None;
    bool hasPhotometric = false;

    bool isGrey() const {
        return hasPhotometric && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE);
    }
    bool isBilevel() const { return isGrey() && bitsPerSample == 1 && samplesPerPixel == 1; }
};

TiffPage readPageInfo(TIFF* tif) {
    TiffPage page;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &page.bitsPerSample);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &page.samplesPerPixel);
    page.hasPhotometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &page.photometric) == 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &page.compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &page.orientation);
    uint16_t extraCount = 0;
    const uint16_t* extraKinds = nullptr;
    if (TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds) == 1 && extraCount > 0 &&
        extraKinds) {
        if (extraKinds[0] == EXTRASAMPLE_ASSOCALPHA) page.alpha = AlphaKind::Associated;
        if (extraKinds[0] == EXTRASAMPLE_UNASSALPHA) page.alpha = AlphaKind::Unassociated;
    }
    return page;
}

int32_t clampToInt32(double v) {
    if (!(v > 0)) return 0;
    return v >= static_cast<double>(std::numeric_limits<int32_t>::max()) ? std::numeric_limits<int32_t>::max()
                                                                          : static_cast<int32_t>(std::lround(v));
}

// Without a unit the numbers only give the aspect ratio: the parameter
// set keeps its resolution then.
void readResolution(TIFF* tif, TIOParams& params) {
    float x = 0, y = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    const double perInch = unit == RESUNIT_CENTIMETER ? 2.54 : unit == RESUNIT_INCH ? 1.0 : 0.0;
    if (perInch == 0) return;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) == 1 && std::isfinite(x) && x > 0)
        params.DotsPerInchX = clampToInt32(x * perInch);
    if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) == 1 && std::isfinite(y) && y > 0)
        params.DotsPerInchY = clampToInt32(y * perInch);
}

// A Windows field as libtiff kept it: bytes as written, or 16-bit units
// when a writer declared them SHORT.
std::string readXPField(TIFF* tif, uint32_t tag) {
    const TIFFField* field = TIFFFindField(tif, tag, TIFF_ANY);
    if (!field) return {};
    uint32_t count = 0;
    const void* data = nullptr;
    if (TIFFGetField(tif, tag, &count, &data) != 1 || !data || count == 0) return {};
    switch (TIFFFieldDataType(field)) {
        case TIFF_BYTE:
        case TIFF_SBYTE:
        case TIFF_UNDEFINED: return Ucs2LeToUtf8(static_cast<const uint8_t*>(data), count);
        case TIFF_SHORT: {
            const auto* units = static_cast<const uint16_t*>(data);
            std::vector<uint8_t> bytes;
            bytes.reserve(2 * static_cast<size_t>(count));
            for (uint32_t i = 0; i < count; ++i) {
                bytes.push_back(static_cast<uint8_t>(units[i]));
                bytes.push_back(static_cast<uint8_t>(units[i] >> 8));
            }
            return Ucs2LeToUtf8(bytes.data(), bytes.size());
        }
        default: return {};
    }
}

void readDescription(TIFF* tif, TIOParams& params) {
    const char* artist = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ARTIST, &artist) == 1 && artist) params.Artist = TiffTextToUtf8(artist);
    params.XPTitle = readXPField(tif, kTagXPTitle);
    params.XPComment = readXPField(tif, kTagXPComment);
    params.XPAuthor = readXPField(tif, kTagXPAuthor);
    params.XPKeywords = readXPField(tif, kTagXPKeywords);
    params.XPSubject = readXPField(tif, kTagXPSubject);
}

void fillParams(TIFF* tif, const TiffPage& page, TIOParams& params) {
    params.ImageWidth = params.OriginalWidth = static_cast<int32_t>(page.width);
    params.ImageHeight = params.OriginalHeight = static_cast<int32_t>(page.height);
    params.ChannelBits = page.bitsPerSample;
    params.ChannelCount = page.samplesPerPixel;
    readResolution(tif, params);
    readDescription(tif, params);
}

// ---- what the file can justify ----------------------------------------------

// Bytes of strip or tile data the page really has in the file.
uint64_t dataBytes(TIFF* tif, uint64_t fileSize) {
    const uint32_t striles = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    uint64_t total = 0;
    for (uint32_t i = 0; i < striles && total < fileSize; ++i)
        total += std::min(TIFFGetStrileByteCount(tif, i), fileSize);
    return std::min(total, fileSize);
}

// The most decoded bytes one byte of compressed data can stand for.
uint64_t expansionBound(uint16_t compression) {
    switch (compression) {
        case COMPRESSION_NONE: return 1;
        // 128 repeated bytes from a 2-byte run.
        case COMPRESSION_PACKBITS: return 64;
        // Deflate tops out near 1032:1; LZW below 1400:1 between clear codes.
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE: return 1100;
        case COMPRESSION_LZW: return 1400;
        case COMPRESSION_JPEG:
        case COMPRESSION_OJPEG: return 1024;
        // LZMA, Zstandard, WebP and the rest: flat pictures beyond this are
        // refused rather than let a small file claim a huge one.
        default: return 4096;
    }
}

bool isFax(uint16_t compression) {
    return compression == COMPRESSION_CCITTRLE || compression == COMPRESSION_CCITTRLEW ||
           compression == COMPRESSION_CCITTFAX3 || compression == COMPRESSION_CCITTFAX4;
}

// Sizes within our cap, and not more decoded data than the page's strips
// could produce.
bool sizeJustified(TIFF* tif, const TiffPage& page, uint64_t fileSize) {
    if (page.width == 0 || page.height == 0) return false;
    const uint64_t pixels = uint64_t{page.width} * page.height;
    if (pixels > static_cast<uint64_t>(kTiffMaxPixels)) return false;
    if (page.bitsPerSample == 0 || page.bitsPerSample > 64 || page.samplesPerPixel == 0) return false;
    const uint64_t available = dataBytes(tif, fileSize);
    // A fax row can be a single bit (a G4 row equal to the one above).
    if (isFax(page.compression)) return page.height <= 8 * available + 8;
    const uint64_t rowBytes = (uint64_t{page.width} * page.bitsPerSample * page.samplesPerPixel + 7) / 8;
    const uint64_t slack = 4096;
    const uint64_t limit = available * expansionBound(page.compression) + slack;
    return page.height <= limit / rowBytes;
}

// ---- pixels ------------------------------------------------------------------

// Fax and other 1-bit pages in strips go straight to px1g, scanline by
// scanline, so a large page costs one bit per pixel.
bool canReadBilevelDirectly(TIFF* tif, const TiffPage& page) {
    return page.isBilevel() && !TIFFIsTiled(tif) && page.orientation == ORIENTATION_TOPLEFT &&
           TIFFScanlineSize64(tif) == (uint64_t{page.width} + 7) / 8;
}

bool readBilevel(TIFF* tif, const TiffPage& page, TRaster& image) {
    image.Allocate(static_cast<int32_t>(page.width), static_cast<int32_t>(page.height), px1g);
    std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize64(tif)));
    // px1g keeps 1 for white; MinIsWhite files keep 1 for black.
    const uint8_t flip = page.photometric == PHOTOMETRIC_MINISWHITE ? 0xFF : 0x00;
    const size_t bytes = std::min(row.size(), image.RowBytes());
    const int spare = static_cast<int>(page.width % 8);
    const uint8_t lastMask = spare ? static_cast<uint8_t>(0xFF << (8 - spare)) : 0xFF;
    for (uint32_t y = 0; y < page.height; ++y) {
        if (TIFFReadScanline(tif, row.data(), y, 0) != 1) return false;
        uint8_t* out = image.Scanline(static_cast<int32_t>(y));
        for (size_t i = 0; i < bytes; ++i) out[i] = row[i] ^ flip;
        if (bytes > 0) out[bytes - 1] &= lastMask;
    }
    return true;
}

uint8_t unpremultiply(uint32_t c, uint32_t a) {
    if (a == 0) return 0;
    return static_cast<uint8_t>(std::min<uint32_t>(255, (c * 255 + a / 2) / a));
}

// RGBA words (libtiff's ABGR packing) into the page's layout.
void storeRGBA(const std::vector<uint32_t>& rgba, const TiffPage& page, TRaster& image) {
    const bool grey = page.isGrey();
    const int32_t w = static_cast<int32_t>(page.width), h = static_cast<int32_t>(page.height);
    image.Allocate(w, h, grey ? px8g : px24RGB);
    TRaster* alpha = page.alpha != AlphaKind::None ? &image.AlphaChannel() : nullptr;
    const bool associated = page.alpha == AlphaKind::Associated;
    for (int32_t y = 0; y < h; ++y) {
        const uint32_t* in = rgba.data() + static_cast<size_t>(y) * page.width;
        uint8_t* out = image.Scanline(y);
        uint8_t* outAlpha = alpha ? alpha->Scanline(y) : nullptr;
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t p = in[x];
            const uint32_t a = TIFFGetA(p);
            uint32_t r = TIFFGetR(p), g = TIFFGetG(p), b = TIFFGetB(p);
            if (associated) r = unpremultiply(r, a), g = unpremultiply(g, a), b = unpremultiply(b, a);
            if (outAlpha) outAlpha[x] = static_cast<uint8_t>(a);
            if (grey) {
                out[x] = static_cast<uint8_t>(r);
            } else {
                out[3 * x] = static_cast<uint8_t>(b);
                out[3 * x + 1] = static_cast<uint8_t>(g);
                out[3 * x + 2] = static_cast<uint8_t>(r);
            }
        }
    }
}

bool readRGBA(TIFF* tif, const TiffPage& page, TRaster& image) {
    // libtiff premultiplies unassociated alpha into its RGBA words; told the
    // samples are associated, it hands them over exactly as stored.
    if (page.alpha == AlphaKind::Unassociated) {
        uint16_t count = 0;
        const uint16_t* kinds = nullptr;
        if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) != 1 || !kinds || count == 0) return false;
        std::vector<uint16_t> relabelled(kinds, kinds + count);
        relabelled[0] = EXTRASAMPLE_ASSOCALPHA;
        if (TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, count, relabelled.data()) != 1) return false;
    }
    std::vector<uint32_t> rgba(static_cast<size_t>(page.width) * page.height);
    if (TIFFReadRGBAImageOriented(tif, page.width, page.height, rgba.data(), ORIENTATION_TOPLEFT, 1) != 1)
        return false;
    storeRGBA(rgba, page, image);
    return true;
}

// ---- the whole read ------------------------------------------------------------

// A compression this libtiff was built without fails only after the
// pixel buffer exists: ask first.
bool decodable(TIFF* tif, const TiffPage& page) {
    char message[1024] = {};
    return TIFFIsCODECConfigured(page.compression) == 1 && TIFFRGBAImageOK(tif, message) == 1;
}

void readTiff(TiffClient& client, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    TiffHandle tif = openTiff(client);
    if (!tif) {
        ctx.AbortFlag = true;
        return;
    }
    const tdir_t pages = TIFFNumberOfDirectories(tif.get());
    params.SetImageCount(static_cast<int32_t>(std::min<tdir_t>(pages, std::numeric_limits<int32_t>::max())));
    const int32_t index = params.TIFFImageIndex;
    if (index < 0 || static_cast<tdir_t>(index) >= pages || TIFFSetDirectory(tif.get(), static_cast<tdir_t>(index)) != 1) {
        ctx.AbortFlag = true;
        return;
    }
    const TiffPage page = readPageInfo(tif.get());
    fillParams(tif.get(), page, params);
    if (!sizeJustified(tif.get(), page, client.size) || !decodable(tif.get(), page)) {
        ctx.AbortFlag = true;
        return;
    }
    if (paramsOnly) return;
    client.failed = false;
    const bool ok = canReadBilevelDirectly(tif.get(), page) ? readBilevel(tif.get(), page, image)
                                                             : readRGBA(tif.get(), page, image);
    if (!ok || client.failed) {
        image.Clear();
        ctx.AbortFlag = true;
    }
}

void readTiffImage(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    ReadTiffStream(stream, image, params, ctx, paramsOnly);
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Length of the valid UTF-8 sequence at `p`, or 0.
size_t utf8SequenceLength(const unsigned char* p, size_t left) {
    const unsigned char c = p[0];
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
    else return 0;
    if (n > left) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
    return n;
}

}  // namespace

std::string TiffTextToUtf8(std::string_view text) {
    text = text.substr(0, std::min(text.find('\0'), text.size()));
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    bool valid = true;
    for (size_t i = 0; i < text.size() && valid;) {
        const size_t n = utf8SequenceLength(p + i, text.size() - i);
        valid = n > 0;
        i += n;
    }
    if (valid) return std::string(text);
    std::string out;
    for (unsigned char c : text) appendUtf8(out, c);
    return out;
}

std::string Ucs2LeToUtf8(const uint8_t* bytes, size_t count) {
    constexpr uint32_t kReplacement = 0xFFFD;
    std::string out;
    const size_t units = count / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = bytes[2 * i] | uint32_t{bytes[2 * i + 1]} << 8;
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t low = bytes[2 * i + 2] | uint32_t{bytes[2 * i + 3]} << 8;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = kReplacement;
        appendUtf8(out, u);
    }
    return out;
}

void ReadTiffStream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    ctx.Report(0);
    if (ctx.AbortFlag) return;
    try {
        TiffClient client{stream};
        client.start = stream.Position();
        client.size = static_cast<uint64_t>(std::max<int64_t>(stream.Size() - client.start, 0));
        const std::span<const uint8_t> contents = stream.Contents();
        if (!contents.empty() && static_cast<uint64_t>(client.start) + client.size <= contents.size())
            client.memory = contents.data() + client.start;
        readTiff(client, image, params, ctx, paramsOnly);
    } catch (const std::bad_alloc&) {
        image.Clear();
        ctx.AbortFlag = true;
    } catch (const std::length_error&) {
        image.Clear();
        ctx.AbortFlag = true;
    }
    if (!ctx.AbortFlag) ctx.Report(100);
}

const TImageReader& TiffImageReader() {
    static const TImageReader reader{readTiffImage};
    return reader;
}

}  // namespace loopsmith
