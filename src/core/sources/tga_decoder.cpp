#include "sources/tga_decoder.h"

#include <algorithm>
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

constexpr size_t kHeaderBytes = 18;
constexpr size_t kFooterBytes = 26;
constexpr char kFooterSignature[] = "TRUEVISION-XFILE.";
// Offset of the attributes-type byte inside the extension area.
constexpr size_t kAttributesTypeOffset = 494;
constexpr int kAttributesAlpha = 3;
constexpr int kAttributesPremultiplied = 4;
// Every RLE packet takes at least two bytes and gives at most 128 pixels.
constexpr int64_t kMaxPixelsPerRleByte = 64;

enum TgaType { kMapped = 1, kTrueColour = 2, kGrey = 3 };

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
    return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
// 5-bit channel to 8 bits, rounded to nearest.
uint8_t scale5(unsigned v) { return static_cast<uint8_t>((v * 255 + 15) / 31); }

struct TgaHeader {
    size_t idLength = 0;
    int mapType = 0;
    int type = 0;  // TgaType
    bool rle = false;
    size_t mapFirst = 0, mapLength = 0;
    int mapEntryBits = 0;
    int32_t width = 0, height = 0;
    int depth = 0;
    int alphaBits = 0;
    bool rightToLeft = false, topDown = false;

    size_t pixelBytes() const { return (static_cast<size_t>(depth) + 7) / 8; }
    size_t mapEntryBytes() const { return (static_cast<size_t>(mapEntryBits) + 7) / 8; }
    size_t dataOffset() const { return kHeaderBytes + idLength + mapLength * mapEntryBytes(); }
};

bool depthSupported(const TgaHeader& h) {
    switch (h.type) {
        case kMapped:
            return h.mapType == 1 && h.mapLength > 0 && (h.depth == 8 || h.depth == 16) &&
                   (h.mapEntryBits == 15 || h.mapEntryBits == 16 || h.mapEntryBits == 24 || h.mapEntryBits == 32);
        case kTrueColour: return h.depth == 15 || h.depth == 16 || h.depth == 24 || h.depth == 32;
        case kGrey: return h.depth == 8 || h.depth == 16;
        default: return false;
    }
}

bool parseHeader(std::span<const uint8_t> data, TgaHeader& h) {
    if (data.size() < kHeaderBytes) return false;
    const uint8_t* p = data.data();
    h.idLength = p[0];
    h.mapType = p[1];
    h.type = p[2] & 7;
    h.rle = (p[2] & 8) != 0;
    if ((p[2] & ~0x0B) != 0 || h.mapType > 1) return false;
    if (h.mapType == 1) {
        h.mapFirst = le16(p + 3);
        h.mapLength = le16(p + 5);
        h.mapEntryBits = p[7];
    }
    h.width = le16(p + 12);
    h.height = le16(p + 14);
    h.depth = p[16];
    h.alphaBits = p[17] & 0x0F;
    h.rightToLeft = (p[17] & 0x10) != 0;
    h.topDown = (p[17] & 0x20) != 0;
    return h.width > 0 && h.height > 0 && depthSupported(h) && h.dataOffset() <= data.size();
}

bool sizePlausible(const TgaHeader& h, size_t dataBytes) {
    const int64_t pixels = int64_t{h.width} * h.height;
    const int64_t bytes = static_cast<int64_t>(dataBytes);
    const bool fits = h.rle ? pixels <= bytes * kMaxPixelsPerRleByte
                            : pixels * static_cast<int64_t>(h.pixelBytes()) <= bytes;
    return pixels <= kTgaMaxPixels && fits;
}

// The attributes type of a TGA 2.0 extension area, -1 without one.
int attributesType(std::span<const uint8_t> data) {
    if (data.size() < kHeaderBytes + kFooterBytes) return -1;
    const uint8_t* footer = data.data() + data.size() - kFooterBytes;
    if (std::memcmp(footer + 8, kFooterSignature, sizeof kFooterSignature) != 0) return -1;
    const size_t extension = le32(footer);
    if (extension == 0 || extension >= data.size() || data.size() - extension <= kAttributesTypeOffset) return -1;
    return data[extension + kAttributesTypeOffset];
}

bool alphaDeclared(const TgaHeader& h, std::span<const uint8_t> data) {
    if (h.alphaBits == 0) return false;
    const bool carries = h.type == kMapped ? h.mapEntryBits == 16 || h.mapEntryBits == 32 : h.depth == 16 || h.depth == 32;
    if (!carries) return false;
    const int attributes = attributesType(data);
    return attributes < 0 || attributes == kAttributesAlpha || attributes == kAttributesPremultiplied;
}

struct Colour {
    TRGB rgb;
    uint8_t alpha = 255;
};

Colour decodeColour(const uint8_t* p, int bits) {
    switch (bits) {
        case 15:
        case 16: {
            const unsigned v = le16(p);
            return {MakeRGB(scale5(v >> 10 & 31), scale5(v >> 5 & 31), scale5(v & 31)),
                    static_cast<uint8_t>(v & 0x8000 ? 255 : 0)};
        }
        case 24: return {TRGB{p[0], p[1], p[2]}, 255};
        default: return {TRGB{p[0], p[1], p[2]}, p[3]};
    }
}

std::vector<Colour> readColourMap(std::span<const uint8_t> data, const TgaHeader& h) {
    std::vector<Colour> map(h.mapLength);
    const uint8_t* p = data.data() + kHeaderBytes + h.idLength;
    for (size_t i = 0; i < h.mapLength; ++i, p += h.mapEntryBytes()) map[i] = decodeColour(p, h.mapEntryBits);
    return map;
}

// Pixels in file order. Packets may run on into the next row.
class TgaPixelSource {
public:
    TgaPixelSource(std::span<const uint8_t> data, bool rle, size_t pixelBytes)
        : m_data(data), m_rle(rle), m_pixelBytes(pixelBytes) {}

    bool next(uint8_t* row, size_t pixels) {
        if (!m_rle) return copy(row, pixels);
        for (size_t done = 0; done < pixels;) {
            if (m_left == 0 && !startPacket()) return false;
            const size_t take = std::min(m_left, pixels - done);
            uint8_t* out = row + done * m_pixelBytes;
            if (m_repeat) {
                for (size_t i = 0; i < take; ++i) std::memcpy(out + i * m_pixelBytes, m_value, m_pixelBytes);
            } else if (!copy(out, take)) {
                return false;
            }
            done += take;
            m_left -= take;
        }
        return true;
    }

    // A packet that reaches beyond the last pixel means the data is corrupt.
    bool endedCleanly() const { return m_left == 0; }

private:
    bool copy(uint8_t* out, size_t pixels) {
        const size_t bytes = pixels * m_pixelBytes;
        if (m_data.size() - m_pos < bytes) return false;
        std::memcpy(out, m_data.data() + m_pos, bytes);
        m_pos += bytes;
        return true;
    }

    bool startPacket() {
        if (m_pos >= m_data.size()) return false;
        const uint8_t head = m_data[m_pos++];
        m_left = (head & 0x7Fu) + 1;
        m_repeat = (head & 0x80) != 0;
        return !m_repeat || copy(m_value, 1);
    }

    std::span<const uint8_t> m_data;
    bool m_rle;
    size_t m_pixelBytes;
    size_t m_pos = 0;
    size_t m_left = 0;
    bool m_repeat = false;
    uint8_t m_value[4] = {};
};

class TgaPixels {
public:
    TgaPixels(const TgaHeader& h, std::span<const uint8_t> data, TRaster& image)
        : m_h(h), m_image(image), m_keepAlpha(alphaDeclared(h, data)) {
        if (h.type == kMapped) m_map = readColourMap(data, h);
    }

    void storeRow(const uint8_t* in, int32_t fileRow) {
        const int32_t y = m_h.topDown ? fileRow : m_h.height - 1 - fileRow;
        uint8_t* out = m_image.Scanline(y);
        uint8_t* alpha = m_keepAlpha ? m_image.AlphaChannel().Scanline(y) : nullptr;
        const size_t bytes = m_h.pixelBytes();
        for (int32_t i = 0; i < m_h.width; ++i, in += bytes) {
            const size_t x = static_cast<size_t>(m_h.rightToLeft ? m_h.width - 1 - i : i);
            const Colour c = pixel(in);
            if (m_h.type == kGrey) {
                out[x] = c.rgb.g;
            } else {
                out[3 * x] = c.rgb.b, out[3 * x + 1] = c.rgb.g, out[3 * x + 2] = c.rgb.r;
            }
            if (alpha) alpha[x] = c.alpha;
        }
    }

private:
    Colour pixel(const uint8_t* p) const {
        switch (m_h.type) {
            case kMapped: {
                const size_t index = m_h.depth == 8 ? p[0] : le16(p);
                // An index outside the map shows black.
                if (index < m_h.mapFirst || index - m_h.mapFirst >= m_map.size()) return {};
                return m_map[index - m_h.mapFirst];
            }
            case kGrey: return {TRGB{p[0], p[0], p[0]}, m_h.depth == 16 ? p[1] : uint8_t{255}};
            default: return decodeColour(p, m_h.depth);
        }
    }

    const TgaHeader& m_h;
    TRaster& m_image;
    const bool m_keepAlpha;
    std::vector<Colour> m_map;
};

// An alpha plane that is all clear or all opaque carries nothing: writers
// that ignore alpha leave it 0, and an opaque plane would only cost the GIF
// writer a palette slot.
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

bool decodePixels(std::span<const uint8_t> data, const TgaHeader& h, TRaster& image) {
    image.Allocate(h.width, h.height, h.type == kGrey ? px8g : px24RGB);
    TgaPixels pixels(h, data, image);
    TgaPixelSource source(data.subspan(h.dataOffset()), h.rle, h.pixelBytes());
    std::vector<uint8_t> row(static_cast<size_t>(h.width) * h.pixelBytes());
    for (int32_t r = 0; r < h.height; ++r) {
        if (!source.next(row.data(), static_cast<size_t>(h.width))) return false;
        pixels.storeRow(row.data(), r);
    }
    dropUselessAlpha(image);
    return source.endedCleanly();
}

void setParams(const TgaHeader& h, TIOParams& params) {
    params.ImageWidth = params.OriginalWidth = h.width;
    params.ImageHeight = params.OriginalHeight = h.height;
    const bool alpha = h.alphaBits > 0;
    switch (h.type) {
        case kMapped:
            params.ChannelBits = h.depth;
            params.ChannelCount = 1;
            break;
        case kGrey:
            params.ChannelBits = 8;
            params.ChannelCount = h.depth == 16 && alpha ? 2 : 1;
            break;
        default:
            params.ChannelBits = h.depth <= 16 ? 5 : 8;
            params.ChannelCount = alpha && (h.depth == 16 || h.depth == 32) ? 4 : 3;
            break;
    }
}

bool decodeTga(std::span<const uint8_t> data, TRaster& image, TIOParams& params, bool paramsOnly) {
    TgaHeader h;
    if (!parseHeader(data, h) || !sizePlausible(h, data.size() - h.dataOffset())) return false;
    setParams(h, params);
    if (paramsOnly) return true;
    TRaster decoded;
    if (!decodePixels(data, h, decoded)) return false;
    image = std::move(decoded);
    return true;
}

void readTga(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    params.SetImageCount(1);
    RunGuarded(ctx, [&] {
        std::vector<uint8_t> holder;
        return decodeTga(RemainingBytes(stream, holder), image, params, paramsOnly);
    });
}

}  // namespace

const TImageReader& TgaImageReader() {
    static const TImageReader reader{readTga};
    return reader;
}

}  // namespace loopsmith
