#include "sources/bmp_decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>

#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 28;
// An RLE pair of two bytes paints at most 255 pixels.
constexpr int64_t kRlePixelsPerByte = 128;
constexpr size_t kFileHeaderBytes = 14;
constexpr uint32_t kCoreHeaderBytes = 12;
constexpr uint32_t kInfoHeaderBytes = 40;
constexpr uint32_t kMaxHeaderBytes = 4096;

enum : uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6 };

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
    return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// One colour mask of a 16- or 32-bit pixel.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    explicit Channel(uint32_t m = 0) : mask(m) {
        if (!m) return;
        shift = std::countr_zero(m);
        bits = std::countr_one(m >> shift);
    }
    // Narrow fields repeat their bits to fill a byte (so 5-bit 31 is 255),
    // wide ones keep their top 8 bits.
    uint8_t value(uint32_t pixel) const {
        if (!bits) return 0;
        uint32_t v = (pixel >> shift) & ((bits >= 32 ? 0 : (uint32_t{1} << bits)) - 1);
        if (bits >= 8) return static_cast<uint8_t>(v >> (bits - 8));
        uint32_t out = 0;
        for (int filled = 0; filled < 8; filled += bits) out = (out << bits) | v;
        return static_cast<uint8_t>(out >> (((8 + bits - 1) / bits) * bits - 8));
    }
};

struct BmpInfo {
    uint32_t headerBytes = 0;
    int32_t width = 0;
    int32_t height = 0;  // rows of the colour bitmap
    bool topDown = false;
    int bitCount = 0;
    uint32_t compression = kRgb;
    uint32_t ppmX = 0, ppmY = 0;
    uint32_t coloursUsed = 0;
    std::array<uint32_t, 4> masks{};  // red, green, blue, alpha
    bool alphaMaskGiven = false;
    size_t maskBytes = 0;  // masks stored after a 40-byte header
    size_t paletteOffset = 0;
    size_t paletteEntryBytes = 4;
    int paletteCount = 0;
};

bool readCoreHeader(std::span<const uint8_t> dib, BmpInfo& info) {
    if (dib.size() < kCoreHeaderBytes) return false;
    info.width = le16(&dib[4]);
    info.height = le16(&dib[6]);
    info.bitCount = le16(&dib[10]);
    info.paletteEntryBytes = 3;
    return true;
}

// Info headers of every size (OS/2 2.x from 16 bytes, Windows 40 to 124);
// fields past the header's end read as 0.
bool readInfoHeader(std::span<const uint8_t> dib, BmpInfo& info) {
    std::array<uint8_t, 124> h{};
    std::memcpy(h.data(), dib.data(), std::min<size_t>(info.headerBytes, h.size()));
    const auto height = static_cast<int32_t>(le32(&h[8]));
    info.width = static_cast<int32_t>(le32(&h[4]));
    if (height == INT32_MIN) return false;
    info.topDown = height < 0;
    info.height = height < 0 ? -height : height;
    info.bitCount = le16(&h[14]);
    info.compression = le32(&h[16]);
    info.ppmX = le32(&h[24]);
    info.ppmY = le32(&h[28]);
    info.coloursUsed = le32(&h[32]);
    const bool fields = info.compression == kBitFields || info.compression == kAlphaBitFields;
    // OS/2 2.x headers use 3 and 4 for Huffman and RLE24.
    if (info.headerBytes != kInfoHeaderBytes && info.headerBytes < 52 && info.compression > kRle4) return false;
    if (fields && info.headerBytes == kInfoHeaderBytes) {
        info.maskBytes = info.compression == kAlphaBitFields ? 16 : 12;
        if (dib.size() < info.headerBytes + info.maskBytes) return false;
        std::memcpy(&h[40], &dib[info.headerBytes], info.maskBytes);
    }
    if (fields)
        for (size_t i = 0; i < 4; ++i) info.masks[i] = le32(&h[40 + 4 * i]);
    info.alphaMaskGiven = fields && (info.compression == kAlphaBitFields || info.headerBytes >= 56) && info.masks[3];
    return true;
}

void setDefaultMasks(BmpInfo& info) {
    const bool given = info.masks[0] | info.masks[1] | info.masks[2];
    if (given) return;
    if (info.bitCount == 16) info.masks = {0x7C00, 0x03E0, 0x001F, 0};
    else info.masks = {0xFF0000, 0xFF00, 0xFF, 0};
    info.alphaMaskGiven = false;
}

bool depthAndCompressionValid(const BmpInfo& info) {
    switch (info.bitCount) {
        case 1: return info.compression == kRgb;
        case 4: return info.compression == kRgb || info.compression == kRle4;
        case 8: return info.compression == kRgb || info.compression == kRle8;
        case 24: return info.compression == kRgb;
        case 16:
        case 32: return info.compression == kRgb || info.compression == kBitFields || info.compression == kAlphaBitFields;
        default: return false;
    }
}

bool parseHeader(std::span<const uint8_t> dib, BmpInfo& info) {
    if (dib.size() < 4) return false;
    info.headerBytes = le32(dib.data());
    if (info.headerBytes == kCoreHeaderBytes) {
        if (!readCoreHeader(dib, info)) return false;
    } else if (info.headerBytes < 16 || info.headerBytes > kMaxHeaderBytes || info.headerBytes > dib.size() ||
               !readInfoHeader(dib, info)) {
        return false;
    }
    if (info.width <= 0 || info.height <= 0 || !depthAndCompressionValid(info)) return false;
    if (info.bitCount == 16 || info.bitCount == 32) setDefaultMasks(info);
    info.paletteOffset = info.headerBytes + info.maskBytes;
    if (info.bitCount <= 8) {
        const uint32_t full = 1u << info.bitCount;
        info.paletteCount = static_cast<int>(info.coloursUsed > 0 && info.coloursUsed < full ? info.coloursUsed : full);
    }
    return true;
}

std::vector<TRGB> readPalette(std::span<const uint8_t> dib, const BmpInfo& info) {
    std::vector<TRGB> palette;
    for (int i = 0; i < info.paletteCount; ++i) {
        const size_t at = info.paletteOffset + static_cast<size_t>(i) * info.paletteEntryBytes;
        if (at + 3 > dib.size()) break;
        palette.push_back(TRGB{dib[at], dib[at + 1], dib[at + 2]});
    }
    return palette;
}

size_t rowStride(int32_t width, int bits) { return (static_cast<size_t>(width) * static_cast<size_t>(bits) + 31) / 32 * 4; }

// Bytes the uncompressed rows need; the last row's padding may be missing.
uint64_t pixelBytes(const BmpInfo& info) {
    const uint64_t used = (static_cast<uint64_t>(info.width) * static_cast<uint64_t>(info.bitCount) + 7) / 8;
    return rowStride(info.width, info.bitCount) * static_cast<uint64_t>(info.height - 1) + used;
}

bool sizePlausible(const BmpInfo& info, size_t bytesLeft) {
    const int64_t pixels = int64_t{info.width} * info.height;
    if (pixels > kMaxPixels) return false;
    if (info.compression == kRle4 || info.compression == kRle8)
        return pixels <= static_cast<int64_t>(std::max<size_t>(bytesLeft, 2)) * kRlePixelsPerByte;
    return pixelBytes(info) <= bytesLeft;
}

int32_t dpiFromPpm(uint32_t ppm) { return static_cast<int32_t>((uint64_t{ppm} * 254 + 5000) / 10000); }

int widestMask(const BmpInfo& info) {
    return std::max({Channel(info.masks[0]).bits, Channel(info.masks[1]).bits, Channel(info.masks[2]).bits});
}

void fillParams(const BmpInfo& info, TIOParams& params) {
    params.ImageWidth = params.OriginalWidth = info.width;
    params.ImageHeight = params.OriginalHeight = info.height;
    params.ChannelCount = info.bitCount <= 8 ? 1 : 3;
    params.ChannelBits = info.bitCount <= 8 ? info.bitCount : info.bitCount == 24 ? 8 : widestMask(info);
    if (info.alphaMaskGiven) params.ChannelCount = 4;
    if (info.ppmX > 0 && info.ppmY > 0) {
        params.DotsPerInchX = dpiFromPpm(info.ppmX);
        params.DotsPerInchY = dpiFromPpm(info.ppmY);
    }
    params.SetImageCount(1);
}

bool isBlackWhite(const std::vector<TRGB>& palette) {
    return palette.size() == 2 && palette[0] == TRGB{} && palette[1] == TRGB{255, 255, 255};
}

class BmpPixels {
public:
    BmpPixels(const BmpInfo& info, std::span<const uint8_t> bits, TRaster& image)
        : m_info(info), m_bits(bits), m_image(image) {}

    bool decode(const std::vector<TRGB>& palette) {
        if (m_info.bitCount <= 8) {
            const bool bw = m_info.bitCount == 1 && isBlackWhite(palette);
            m_image.Allocate(m_info.width, m_info.height, bw ? px1g : px8p);
            if (!bw) m_image.Palette() = palette.empty() ? std::vector<TRGB>{TRGB{}} : palette;
            if (m_info.compression == kRle8 || m_info.compression == kRle4) return decodeRle();
            bw ? copyBitRows() : unpackIndexRows();
            return true;
        }
        m_image.Allocate(m_info.width, m_info.height, px24RGB);
        if (m_info.bitCount == 24) copyColourRows();
        else decodeFieldRows();
        return true;
    }

private:
    int32_t rasterRow(int32_t fileRow) const { return m_info.topDown ? fileRow : m_info.height - 1 - fileRow; }
    const uint8_t* fileRow(int32_t y) const { return m_bits.data() + rowStride(m_info.width, m_info.bitCount) * static_cast<size_t>(y); }

    void copyBitRows() {
        const int32_t w = m_info.width;
        for (int32_t y = 0; y < m_info.height; ++y) {
            uint8_t* out = m_image.Scanline(rasterRow(y));
            std::memcpy(out, fileRow(y), m_image.RowBytes());
            if (w % 8) out[w / 8] &= static_cast<uint8_t>(0xFF00 >> (w % 8));
        }
    }

    void unpackIndexRows() {
        const int bits = m_info.bitCount;
        const int perByte = 8 / bits;
        const unsigned mask = (1u << bits) - 1;
        for (int32_t y = 0; y < m_info.height; ++y) {
            const uint8_t* in = fileRow(y);
            uint8_t* out = m_image.Scanline(rasterRow(y));
            for (int32_t x = 0; x < m_info.width; ++x) {
                const int shift = 8 - bits * (x % perByte + 1);
                out[x] = static_cast<uint8_t>((in[x / perByte] >> shift) & mask);
            }
        }
    }

    void copyColourRows() {
        const size_t used = static_cast<size_t>(m_info.width) * 3;
        for (int32_t y = 0; y < m_info.height; ++y) std::memcpy(m_image.Scanline(rasterRow(y)), fileRow(y), used);
    }

    void decodeFieldRows() {
        const Channel red(m_info.masks[0]), green(m_info.masks[1]), blue(m_info.masks[2]), alpha(m_info.masks[3]);
        const int bytes = m_info.bitCount / 8;
        bool anyAlpha = false;
        if (m_info.alphaMaskGiven) m_image.AlphaChannel();
        for (int32_t y = 0; y < m_info.height; ++y) {
            const uint8_t* in = fileRow(y);
            uint8_t* out = m_image.Scanline(rasterRow(y));
            uint8_t* a = m_info.alphaMaskGiven ? m_image.AlphaChannel().Scanline(rasterRow(y)) : nullptr;
            for (int32_t x = 0; x < m_info.width; ++x, in += bytes, out += 3) {
                const uint32_t pixel = bytes == 2 ? le16(in) : le32(in);
                out[0] = blue.value(pixel);
                out[1] = green.value(pixel);
                out[2] = red.value(pixel);
                if (a) {
                    a[x] = alpha.value(pixel);
                    anyAlpha |= a[x] != 0;
                }
            }
        }
        // Writers that leave every alpha at 0 meant an opaque picture.
        if (m_info.alphaMaskGiven && !anyAlpha) m_image.RemoveAlphaChannel();
    }

    void put(int64_t x, int32_t y, int index) {
        if (x < m_info.width && y < m_info.height) m_image.Scanline(rasterRow(y))[x] = static_cast<uint8_t>(index);
    }

    // Runs, absolute runs, end of line, delta and end of bitmap. Skipped
    // pixels keep index 0; data ending before the end-of-bitmap code while
    // rows remain is truncation.
    bool decodeRle() {
        const bool four = m_info.compression == kRle4;
        const size_t n = m_bits.size();
        size_t pos = 0;
        int64_t x = 0;
        int32_t y = 0;
        while (y < m_info.height) {
            if (pos + 2 > n) return false;
            const int count = m_bits[pos], code = m_bits[pos + 1];
            pos += 2;
            if (count > 0) {
                for (int i = 0; i < count; ++i, ++x) put(x, y, four ? (i % 2 ? code & 15 : code >> 4) : code);
            } else if (code == 0) {
                x = 0;
                ++y;
            } else if (code == 1) {
                return true;
            } else if (code == 2) {
                if (pos + 2 > n) return false;
                x += m_bits[pos];
                y += m_bits[pos + 1];
                pos += 2;
            } else {
                const size_t bytes = four ? (static_cast<size_t>(code) + 1) / 2 : static_cast<size_t>(code);
                if (pos + bytes > n) return false;
                for (int i = 0; i < code; ++i, ++x) {
                    const uint8_t b = m_bits[pos + (four ? static_cast<size_t>(i) / 2 : static_cast<size_t>(i))];
                    put(x, y, four ? (i % 2 ? b & 15 : b >> 4) : b);
                }
                pos += (bytes + 1) & ~size_t{1};
            }
        }
        return true;
    }

    const BmpInfo& m_info;
    std::span<const uint8_t> m_bits;
    TRaster& m_image;
};

// The AND mask of an icon: 1 bits are transparent.
void applyAndMask(std::span<const uint8_t> mask, const BmpInfo& info, TRaster& image) {
    TRaster& alpha = image.AlphaChannel();
    const size_t stride = rowStride(info.width, 1);
    bool any = false;
    for (int32_t y = 0; y < info.height; ++y) {
        const uint8_t* in = mask.data() + stride * static_cast<size_t>(y);
        uint8_t* out = alpha.Scanline(info.topDown ? y : info.height - 1 - y);
        for (int32_t x = 0; x < info.width; ++x) {
            const bool clear = (in[x / 8] >> (7 - x % 8)) & 1;
            out[x] = clear ? 0 : 255;
            any |= clear;
        }
    }
    if (!any) image.RemoveAlphaChannel();
}

// The fourth byte of an icon's 32-bit pixels, when any of them is set.
bool applyIconAlpha(std::span<const uint8_t> bits, const BmpInfo& info, TRaster& image) {
    const size_t stride = rowStride(info.width, 32);
    bool any = false;
    for (int32_t y = 0; y < info.height && !any; ++y)
        for (int32_t x = 0; x < info.width && !any; ++x) any = bits[stride * static_cast<size_t>(y) + 4 * static_cast<size_t>(x) + 3] != 0;
    if (!any) return false;
    TRaster& alpha = image.AlphaChannel();
    for (int32_t y = 0; y < info.height; ++y) {
        uint8_t* out = alpha.Scanline(info.topDown ? y : info.height - 1 - y);
        for (int32_t x = 0; x < info.width; ++x) out[x] = bits[stride * static_cast<size_t>(y) + 4 * static_cast<size_t>(x) + 3];
    }
    return true;
}

bool decodeDib(std::span<const uint8_t> dib, const BmpInfo& info, size_t pixelOffset, TRaster& image) {
    if (pixelOffset > dib.size()) return false;
    BmpPixels pixels(info, dib.subspan(pixelOffset), image);
    return pixels.decode(readPalette(dib, info));
}

template <class Fn>
bool guarded(Fn&& fn) {
    try {
        return fn();
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

void readBmpImage(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    ctx.Report(0);
    if (ctx.AbortFlag) return;
    std::vector<uint8_t> storage;
    const bool ok = guarded([&] { return DecodeBmp(StreamBytes(stream, storage), image, params, paramsOnly); });
    if (!ok) ctx.AbortFlag = true;
    else ctx.Report(100);
}

}  // namespace

std::span<const uint8_t> StreamBytes(TStream& stream, std::vector<uint8_t>& storage) {
    const int64_t at = stream.Position();
    const std::span<const uint8_t> contents = stream.Contents();
    if (!contents.empty()) return at >= 0 && static_cast<uint64_t>(at) < contents.size() ? contents.subspan(static_cast<size_t>(at)) : std::span<const uint8_t>{};
    storage.resize(static_cast<size_t>(std::max<int64_t>(0, stream.Size() - at)));
    storage.resize(stream.Read(storage.data(), storage.size()));
    return storage;
}

bool DecodeBmp(std::span<const uint8_t> file, TRaster& image, TIOParams& params, bool paramsOnly) {
    if (file.size() < kFileHeaderBytes || file[0] != 'B' || file[1] != 'M') return false;
    const std::span<const uint8_t> dib = file.subspan(kFileHeaderBytes);
    BmpInfo info;
    if (!parseHeader(dib, info)) return false;
    const size_t computed = info.paletteOffset + static_cast<size_t>(info.paletteCount) * info.paletteEntryBytes;
    // A pixel offset inside the header or past the end is a writer's slip;
    // the pixels then follow the palette.
    const uint32_t declared = le32(&file[10]);
    size_t offset = computed;
    if (declared >= kFileHeaderBytes + info.headerBytes && declared < file.size()) offset = declared - kFileHeaderBytes;
    if (offset > dib.size() || !sizePlausible(info, dib.size() - offset)) return false;
    fillParams(info, params);
    return paramsOnly || guarded([&] { return decodeDib(dib, info, offset, image); });
}

bool DecodeIconBitmap(std::span<const uint8_t> dib, TRaster& image, TIOParams& params, bool paramsOnly) {
    BmpInfo info;
    if (!parseHeader(dib, info) || info.compression == kRle4 || info.compression == kRle8) return false;
    // The height counts the colour bitmap and the AND mask below it.
    info.height /= 2;
    if (info.height <= 0) return false;
    info.topDown = false;
    const size_t offset = info.paletteOffset + static_cast<size_t>(info.paletteCount) * info.paletteEntryBytes;
    const uint64_t colourBytes = rowStride(info.width, info.bitCount) * static_cast<uint64_t>(info.height);
    const uint64_t maskBytes = rowStride(info.width, 1) * static_cast<uint64_t>(info.height);
    if (offset > dib.size() || int64_t{info.width} * info.height > kMaxPixels ||
        colourBytes + maskBytes > dib.size() - offset)
        return false;
    fillParams(info, params);
    if (info.bitCount == 32) params.ChannelCount = 4;
    if (paramsOnly) return true;
    return guarded([&] {
        if (!decodeDib(dib, info, offset, image)) return false;
        const std::span<const uint8_t> bits = dib.subspan(offset);
        if (info.bitCount == 32 && applyIconAlpha(bits, info, image)) return true;
        applyAndMask(bits.subspan(static_cast<size_t>(colourBytes)), info, image);
        return true;
    });
}

const TImageReader& BmpImageReader() {
    static const TImageReader reader{readBmpImage};
    return reader;
}

}  // namespace loopsmith
