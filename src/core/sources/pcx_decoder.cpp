#include "sources/pcx_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "sources/decoder_support.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr size_t kHeaderBytes = 128;
constexpr uint8_t kManufacturer = 0x0A;
constexpr uint8_t kVgaPaletteMarker = 0x0C;
constexpr size_t kVgaPaletteBytes = 1 + 768;
constexpr uint32_t kDcxKey = 987654321;
// One two-byte RLE pair stands for at most 63 bytes.
constexpr int64_t kMaxBytesPerRleByte = 32;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
    return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The bytes from the stream's position to its end, in place for a memory
// stream; never more than the stream holds.
enum class PcxShape { BlackWhite, Indexed, Grey, Rgb, Rgba };

struct PcxHeader {
    int32_t width = 0, height = 0;
    int bitsPerPixel = 0, planes = 0;
    size_t bytesPerLine = 0;
    bool rle = false;
    int32_t dpiX = 0, dpiY = 0;
    PcxShape shape = PcxShape::Indexed;
    int indexBits = 0;  // bits of one palette index
};

// The plane layouts PCX writers produce; anything else is refused. One
// plane of 1 bit is black and white whatever the header palette says (many
// writers leave it zero); 8 bits without the closing palette are grey.
bool classify(PcxHeader& h, bool hasVgaPalette) {
    const int bpp = h.bitsPerPixel, planes = h.planes;
    if (planes < 1) return false;
    if (bpp == 1 && planes == 1) h.shape = PcxShape::BlackWhite;
    else if (bpp == 1 && planes <= 4) h.shape = PcxShape::Indexed;
    else if ((bpp == 2 || bpp == 4) && planes == 1) h.shape = PcxShape::Indexed;
    else if (bpp == 8 && planes == 1) h.shape = hasVgaPalette ? PcxShape::Indexed : PcxShape::Grey;
    else if (bpp == 8 && planes == 3) h.shape = PcxShape::Rgb;
    else if (bpp == 8 && planes == 4) h.shape = PcxShape::Rgba;
    else return false;
    h.indexBits = bpp * planes;
    return true;
}

bool hasVgaPalette(std::span<const uint8_t> page) {
    return page.size() >= kHeaderBytes + kVgaPaletteBytes && page[page.size() - kVgaPaletteBytes] == kVgaPaletteMarker;
}

bool parseHeader(std::span<const uint8_t> page, PcxHeader& h) {
    if (page.size() < kHeaderBytes) return false;
    const uint8_t* p = page.data();
    if (p[0] != kManufacturer || p[2] > 1) return false;
    h.rle = p[2] == 1;
    h.bitsPerPixel = p[3];
    const int xMin = le16(p + 4), yMin = le16(p + 6), xMax = le16(p + 8), yMax = le16(p + 10);
    if (xMax < xMin || yMax < yMin) return false;
    h.width = xMax - xMin + 1;
    h.height = yMax - yMin + 1;
    h.dpiX = le16(p + 12);
    h.dpiY = le16(p + 14);
    h.planes = p[65];
    h.bytesPerLine = le16(p + 66);
    if (!classify(h, hasVgaPalette(page))) return false;
    return h.bytesPerLine * 8 >= static_cast<size_t>(h.width) * static_cast<size_t>(h.bitsPerPixel);
}

// Refuses, before anything is allocated, a size the data cannot hold.
bool sizePlausible(const PcxHeader& h, size_t dataBytes) {
    const int64_t pixels = int64_t{h.width} * h.height;
    const int64_t encoded = static_cast<int64_t>(h.bytesPerLine) * h.planes * h.height;
    const int64_t available = static_cast<int64_t>(dataBytes) * (h.rle ? kMaxBytesPerRleByte : 1);
    return pixels <= kPcxMaxPixels && encoded <= available;
}

// Hands out the decoded bytes row by row. Some writers let a run go on
// into the next row, so the run state survives between rows.
class PcxRowSource {
public:
    PcxRowSource(std::span<const uint8_t> data, bool rle) : m_data(data), m_rle(rle) {}

    bool next(uint8_t* row, size_t count) {
        if (!m_rle) {
            if (m_data.size() - m_pos < count) return false;
            std::memcpy(row, m_data.data() + m_pos, count);
            m_pos += count;
            return true;
        }
        for (size_t done = 0; done < count;) {
            if (m_runLeft > 0) {
                const size_t take = std::min(m_runLeft, count - done);
                std::memset(row + done, m_runValue, take);
                done += take;
                m_runLeft -= take;
            } else if (m_pos >= m_data.size()) {
                return false;
            } else if (const uint8_t b = m_data[m_pos++]; (b & 0xC0) == 0xC0) {
                if (m_pos >= m_data.size()) return false;
                m_runLeft = b & 0x3Fu;
                m_runValue = m_data[m_pos++];
            } else {
                row[done++] = b;
            }
        }
        return true;
    }

    // A run that reaches beyond the last row means the data is corrupt.
    bool endedCleanly() const { return m_runLeft == 0; }

private:
    std::span<const uint8_t> m_data;
    bool m_rle;
    size_t m_pos = 0;
    size_t m_runLeft = 0;
    uint8_t m_runValue = 0;
};

std::vector<TRGB> readPalette(std::span<const uint8_t> page, const PcxHeader& h) {
    std::vector<TRGB> palette(256);
    // Up to 16 colours live in the header, 256 after the marker at the end.
    const bool vga = h.indexBits == 8;
    const uint8_t* rgb = vga ? page.data() + page.size() - kVgaPaletteBytes + 1 : page.data() + 16;
    const size_t count = vga ? 256 : 16;
    for (size_t i = 0; i < count; ++i) palette[i] = MakeRGB(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    return palette;
}

// Palette index of every pixel: plane k gives bits k*bpp upwards.
void indexRow(const uint8_t* planes, const PcxHeader& h, uint8_t* indices) {
    const int bpp = h.bitsPerPixel;
    const unsigned mask = (1u << bpp) - 1;
    for (int32_t x = 0; x < h.width; ++x) {
        const size_t bit = static_cast<size_t>(x) * static_cast<size_t>(bpp);
        const int shift = 8 - bpp - static_cast<int>(bit & 7);
        unsigned index = 0;
        for (int k = 0; k < h.planes; ++k)
            index |= ((planes[static_cast<size_t>(k) * h.bytesPerLine + (bit >> 3)] >> shift) & mask) << (k * bpp);
        indices[x] = static_cast<uint8_t>(index);
    }
}

void storeRow(const uint8_t* planes, const PcxHeader& h, const std::vector<TRGB>& palette,
              std::vector<uint8_t>& indices, TRaster& image, int32_t y) {
    uint8_t* out = image.Scanline(y);
    const size_t w = static_cast<size_t>(h.width), stride = h.bytesPerLine;
    switch (h.shape) {
        case PcxShape::BlackWhite:
            std::memcpy(out, planes, image.RowBytes());
            if (w % 8) out[w / 8] &= static_cast<uint8_t>(0xFF00 >> (w % 8));
            break;
        case PcxShape::Grey: std::memcpy(out, planes, w); break;
        case PcxShape::Indexed:
            indexRow(planes, h, indices.data());
            for (size_t x = 0; x < w; ++x, out += 3) {
                const TRGB c = palette[indices[x]];
                out[0] = c.b, out[1] = c.g, out[2] = c.r;
            }
            break;
        case PcxShape::Rgb:
        case PcxShape::Rgba:
            for (size_t x = 0; x < w; ++x, out += 3) {
                out[0] = planes[2 * stride + x], out[1] = planes[stride + x], out[2] = planes[x];
            }
            if (h.shape == PcxShape::Rgba) std::memcpy(image.AlphaChannel().Scanline(y), planes + 3 * stride, w);
            break;
    }
}

// A fourth plane that is all 0 or all 255 is no alpha: the first is how
// writers without alpha fill it, and an opaque plane would only cost the
// GIF writer a palette slot.
void dropUselessAlpha(TRaster& image) {
    const TRaster* alpha = image.AlphaPlane();
    if (!alpha) return;
    bool anyTranslucent = false, anyVisible = false;
    for (int32_t y = 0; y < alpha->Height(); ++y) {
        const uint8_t* row = alpha->Scanline(y);
        for (int32_t x = 0; x < alpha->Width(); ++x) {
            anyTranslucent |= row[x] != 255;
            anyVisible |= row[x] != 0;
        }
    }
    if (!anyTranslucent || !anyVisible) image.RemoveAlphaChannel();
}

TPixelLayout layoutOf(PcxShape shape) {
    if (shape == PcxShape::BlackWhite) return px1g;
    return shape == PcxShape::Grey ? px8g : px24RGB;
}

bool decodePixels(std::span<const uint8_t> page, const PcxHeader& h, TRaster& image) {
    // The 256-colour palette is not image data.
    const size_t dataEnd = h.indexBits == 8 && h.shape == PcxShape::Indexed ? page.size() - kVgaPaletteBytes : page.size();
    PcxRowSource source(page.subspan(kHeaderBytes, dataEnd - kHeaderBytes), h.rle);
    const std::vector<TRGB> palette = h.shape == PcxShape::Indexed ? readPalette(page, h) : std::vector<TRGB>{};
    std::vector<uint8_t> planes(h.bytesPerLine * static_cast<size_t>(h.planes));
    std::vector<uint8_t> indices(static_cast<size_t>(h.width));
    image.Allocate(h.width, h.height, layoutOf(h.shape));
    for (int32_t y = 0; y < h.height; ++y) {
        if (!source.next(planes.data(), planes.size())) return false;
        storeRow(planes.data(), h, palette, indices, image, y);
    }
    dropUselessAlpha(image);
    return source.endedCleanly();
}

void setParams(const PcxHeader& h, TIOParams& params) {
    params.ImageWidth = params.OriginalWidth = h.width;
    params.ImageHeight = params.OriginalHeight = h.height;
    const bool direct = h.shape == PcxShape::Rgb || h.shape == PcxShape::Rgba || h.shape == PcxShape::Grey;
    params.ChannelBits = direct ? 8 : h.indexBits;
    params.ChannelCount = direct ? h.planes : 1;
    if (h.dpiX > 0 && h.dpiY > 0) {
        params.DotsPerInchX = h.dpiX;
        params.DotsPerInchY = h.dpiY;
    }
}

// One PCX picture occupying `page`; false for anything unreadable.
bool decodePage(std::span<const uint8_t> page, TRaster& image, TIOParams& params, bool paramsOnly) {
    PcxHeader h;
    if (!parseHeader(page, h) || !sizePlausible(h, page.size() - kHeaderBytes)) return false;
    setParams(h, params);
    if (paramsOnly) return true;
    TRaster decoded;
    if (!decodePixels(page, h, decoded)) return false;
    image = std::move(decoded);
    return true;
}

// Offsets up to the first zero entry, the table's limit or the end of data.
bool readDcxTable(std::span<const uint8_t> data, std::vector<uint32_t>& offsets) {
    if (data.size() < 4 || le32(data.data()) != kDcxKey) return false;
    for (size_t i = 1; offsets.size() < kDcxMaxPages && 4 * (i + 1) <= data.size(); ++i) {
        const uint32_t offset = le32(data.data() + 4 * i);
        if (offset == 0) break;
        offsets.push_back(offset);
    }
    return true;
}

// A page ends where the next page in the file starts (its palette sits at
// its end), or with the data.
std::span<const uint8_t> dcxPage(std::span<const uint8_t> data, const std::vector<uint32_t>& offsets, size_t n) {
    const size_t start = offsets[n];
    if (start >= data.size()) return {};
    size_t end = data.size();
    for (uint32_t other : offsets)
        if (other > start && other < end) end = other;
    return data.subspan(start, end - start);
}

void readPcx(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    params.SetImageCount(1);
    RunGuarded(ctx, [&] {
        std::vector<uint8_t> holder;
        return decodePage(RemainingBytes(stream, holder), image, params, paramsOnly);
    });
}

void readDcx(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    RunGuarded(ctx, [&] {
        std::vector<uint8_t> holder;
        const std::span<const uint8_t> data = RemainingBytes(stream, holder);
        std::vector<uint32_t> offsets;
        if (!readDcxTable(data, offsets)) return false;
        params.SetImageCount(static_cast<int32_t>(offsets.size()));
        const int32_t n = params.DCXImageIndex;
        if (n < 0 || static_cast<size_t>(n) >= offsets.size()) return false;
        const std::span<const uint8_t> page = dcxPage(data, offsets, static_cast<size_t>(n));
        return !page.empty() && decodePage(page, image, params, paramsOnly);
    });
}

}  // namespace

const TImageReader& PcxImageReader() {
    static const TImageReader reader{readPcx};
    return reader;
}

const TImageReader& DcxImageReader() {
    static const TImageReader reader{readDcx};
    return reader;
}

}  // namespace loopsmith
