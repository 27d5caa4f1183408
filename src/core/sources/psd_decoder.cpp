#include "sources/psd_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "sources/exif.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr int kHeaderBytes = 26;
constexpr uint16_t kMaxChannels = 56;
constexpr uint32_t kMaxSide = 30000;
constexpr uint16_t kResolutionInfo = 0x03ED;
constexpr uint16_t kExifData = 0x0422;
// An Exif resource is a few KB; a larger one is passed over.
constexpr uint32_t kMaxExifResource = 1 << 20;
constexpr int kPaletteBytes = 768;
// Two bytes of PackBits data give at most 128 bytes.
constexpr int64_t kPackBitsGain = 64;

enum TPsdMode : uint16_t { kBitmap = 0, kGrey = 1, kIndexed = 2, kRGB = 3, kCMYK = 4, kDuotone = 8 };
enum TPsdCompression : uint16_t { kRaw = 0, kPackBits = 1 };

struct TPsdHeader {
    uint16_t channels = 0;
    uint32_t height = 0, width = 0;
    uint16_t depth = 0, mode = 0;
    int colourChannels = 0;
};

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

int colourChannelsOf(uint16_t mode) {
    switch (mode) {
        case kBitmap:
        case kGrey:
        case kIndexed:
        case kDuotone: return 1;
        case kRGB: return 3;
        case kCMYK: return 4;
        default: return 0;
    }
}

bool depthFits(uint16_t mode, uint16_t depth) {
    if (mode == kBitmap) return depth == 1;
    if (mode == kIndexed) return depth == 8;
    return depth == 8 || depth == 16;
}

class TPsdReader {
public:
    TPsdReader(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly)
        : m_stream(stream), m_image(image), m_params(params), m_ctx(ctx), m_paramsOnly(paramsOnly),
          m_end(stream.Size()) {}

    void run() {
        if (!readHeader() || !readColourModeData() || !readResources() || !readLayerCount()) return fail();
        m_alpha = hasCompositeAlpha();
        fillParams();
        m_ctx.Report(10);
        if (m_paramsOnly) return;
        if (!readComposite()) fail();
    }

private:
    void fail() { m_ctx.AbortFlag = true; }
    int64_t left() const { return std::max<int64_t>(0, m_end - m_stream.Position()); }

    bool read(void* out, size_t count) { return m_stream.Read(out, count) == count; }
    bool readU16(uint16_t& v) {
        uint8_t b[2];
        if (!read(b, 2)) return false;
        v = be16(b);
        return true;
    }
    bool readU32(uint32_t& v) {
        uint8_t b[4];
        if (!read(b, 4)) return false;
        v = be32(b);
        return true;
    }
    // A section: its length, which must fit in the file; `end` is where
    // the next one starts.
    bool readSection(int64_t& end) {
        uint32_t length = 0;
        if (!readU32(length) || length > left()) return false;
        end = m_stream.Position() + length;
        return true;
    }

    bool readHeader();
    bool readColourModeData();
    bool readResources();
    bool readResource(int64_t sectionEnd);
    void readResolution(int64_t size);
    void readExif(uint32_t size);
    bool readLayerCount();
    bool hasCompositeAlpha() const;
    void fillParams();
    bool readComposite();
    bool compositePlausible(int channels, uint16_t compression) const;
    bool readRow(uint16_t compression, uint32_t packedBytes, std::vector<uint8_t>& packed, std::vector<uint8_t>& row);
    void storeRow(int channel, uint32_t y, const std::vector<uint8_t>& row);

    TStream& m_stream;
    TRaster& m_image;
    TIOParams& m_params;
    TProgressContext& m_ctx;
    const bool m_paramsOnly;
    const int64_t m_end;
    TPsdHeader m_header;
    std::array<TRGB, 256> m_palette{};
    bool m_hasLayers = false;
    int32_t m_layerCount = 0;
    bool m_alpha = false;
    std::vector<uint8_t> m_samples;  // one row of 8-bit samples
};

bool TPsdReader::readHeader() {
    uint8_t h[kHeaderBytes];
    if (!read(h, kHeaderBytes) || std::memcmp(h, "8BPS", 4) != 0 || be16(h + 4) != 1) return false;
    TPsdHeader& hd = m_header;
    hd.channels = be16(h + 12);
    hd.height = be32(h + 14);
    hd.width = be32(h + 18);
    hd.depth = be16(h + 22);
    hd.mode = be16(h + 24);
    hd.colourChannels = colourChannelsOf(hd.mode);
    return hd.colourChannels > 0 && hd.channels >= hd.colourChannels && hd.channels <= kMaxChannels &&
           hd.width >= 1 && hd.width <= kMaxSide && hd.height >= 1 && hd.height <= kMaxSide &&
           int64_t{hd.width} * hd.height <= kPsdMaxPixels && depthFits(hd.mode, hd.depth);
}

// The palette of an indexed file: 256 reds, then 256 greens, then 256 blues.
bool TPsdReader::readColourModeData() {
    int64_t end = 0;
    if (!readSection(end)) return false;
    if (m_header.mode == kIndexed) {
        uint8_t p[kPaletteBytes];
        if (end - m_stream.Position() < kPaletteBytes || !read(p, kPaletteBytes)) return false;
        for (int i = 0; i < 256; ++i) m_palette[i] = MakeRGB(p[i], p[256 + i], p[512 + i]);
    }
    m_stream.Seek(end);
    return true;
}

bool TPsdReader::readResources() {
    int64_t end = 0;
    if (!readSection(end)) return false;
    // A damaged resource ends the walk but not the file: the composite is
    // found from the section's length.
    while (end - m_stream.Position() >= 12 && readResource(end)) {
    }
    m_stream.Seek(end);
    return true;
}

// "8BIM", id, a Pascal name padded to an even length, the data size and
// the data padded to an even length.
bool TPsdReader::readResource(int64_t sectionEnd) {
    uint8_t head[7];
    if (!read(head, 7) || std::memcmp(head, "8BIM", 4) != 0) return false;
    const uint16_t id = be16(head + 4);
    const int nameBytes = (head[6] + 2) & ~1;  // with the length byte
    m_stream.Seek(m_stream.Position() + nameBytes - 1);
    uint32_t size = 0;
    if (!readU32(size)) return false;
    const int64_t dataEnd = m_stream.Position() + int64_t{size} + (size & 1);
    if (dataEnd > sectionEnd) return false;
    if (id == kResolutionInfo) readResolution(size);
    else if (id == kExifData) readExif(size);
    m_stream.Seek(dataEnd);
    return true;
}

// Fixed-point 16.16 pixels per inch, whatever unit the file shows them in.
void TPsdReader::readResolution(int64_t size) {
    uint8_t r[16];
    if (size < 16 || !read(r, 16)) return;
    const auto x = ResolutionToDpi(be32(r) / 65536.0, 2);
    const auto y = ResolutionToDpi(be32(r + 8) / 65536.0, 2);
    if (x) m_params.DotsPerInchX = *x;
    if (y) m_params.DotsPerInchY = *y;
}

void TPsdReader::readExif(uint32_t size) {
    if (size > kMaxExifResource) return;
    std::vector<uint8_t> block(size);
    if (!read(block.data(), size)) return;
    if (const std::optional<TExifInfo> info = ReadTiffInfo(block)) {
        // The resolution resource speaks for the file; keep its values.
        TExifInfo text = *info;
        text.DpiX.reset();
        text.DpiY.reset();
        ApplyExifInfo(text, m_params);
    }
}

// Only the layer count matters here: negative means the first extra
// channel holds the composite's transparency.
bool TPsdReader::readLayerCount() {
    int64_t end = 0;
    if (!readSection(end)) return false;
    uint32_t infoLength = 0;
    uint16_t count = 0;
    if (end - m_stream.Position() >= 6 && readU32(infoLength) && infoLength >= 2 && readU16(count)) {
        m_hasLayers = true;
        m_layerCount = static_cast<int16_t>(count);
    }
    m_stream.Seek(end);
    return true;
}

bool TPsdReader::hasCompositeAlpha() const {
    if (m_header.channels <= m_header.colourChannels || m_header.mode == kBitmap) return false;
    if (m_hasLayers && m_layerCount != 0) return m_layerCount < 0;
    return m_header.channels == m_header.colourChannels + 1;
}

void TPsdReader::fillParams() {
    TIOParams& p = m_params;
    p.ImageWidth = p.OriginalWidth = static_cast<int32_t>(m_header.width);
    p.ImageHeight = p.OriginalHeight = static_cast<int32_t>(m_header.height);
    p.ChannelBits = m_header.depth;
    p.ChannelCount = m_header.colourChannels + (m_alpha ? 1 : 0);
    p.SetImageCount(1);
}

size_t rowBytesOf(const TPsdHeader& h) {
    return h.depth == 1 ? (h.width + 7) / 8 : size_t{h.width} * (h.depth / 8);
}

// The pixels must fit in what the file has left, even at PackBits' best.
bool TPsdReader::compositePlausible(int channels, uint16_t compression) const {
    const int64_t needed = int64_t{channels} * m_header.height * static_cast<int64_t>(rowBytesOf(m_header));
    const int64_t tableBytes = int64_t{m_header.channels} * m_header.height * 2;
    if (compression == kRaw) return needed <= left();
    return tableBytes <= left() && needed <= (left() - tableBytes) * kPackBitsGain;
}

// PackBits: n < 128 copies n + 1 bytes, n > 128 repeats the next byte
// 257 - n times, 128 is nothing. Extra output is cut; missing output is
// damage.
bool unpackBits(const uint8_t* in, size_t inBytes, uint8_t* out, size_t outBytes) {
    size_t i = 0, o = 0;
    while (i < inBytes && o < outBytes) {
        const uint8_t n = in[i++];
        if (n < 128) {
            const size_t count = std::min<size_t>({size_t{n} + 1u, inBytes - i, outBytes - o});
            std::memcpy(out + o, in + i, count);
            i += size_t{n} + 1;
            o += count;
        } else if (n > 128) {
            if (i >= inBytes) break;
            const size_t count = std::min<size_t>(257u - n, outBytes - o);
            std::memset(out + o, in[i++], count);
            o += count;
        }
    }
    return o == outBytes;
}

bool TPsdReader::readRow(uint16_t compression, uint32_t packedBytes, std::vector<uint8_t>& packed,
                         std::vector<uint8_t>& row) {
    if (compression == kRaw) return read(row.data(), row.size());
    packed.resize(packedBytes);
    return read(packed.data(), packedBytes) && unpackBits(packed.data(), packedBytes, row.data(), row.size());
}

// One row of channel `channel` into the picture. Colour channels land in
// blue-green-red order; CMYK keeps its inverted C, M, Y there until K
// arrives and scales them.
void TPsdReader::storeRow(int channel, uint32_t y, const std::vector<uint8_t>& row) {
    const uint32_t w = m_header.width;
    const auto yi = static_cast<int32_t>(y);
    if (m_header.mode == kBitmap) {
        // Photoshop's 1 is black, ours is white.
        uint8_t* out = m_image.Scanline(yi);
        for (size_t i = 0; i < row.size(); ++i) out[i] = static_cast<uint8_t>(~row[i]);
        return;
    }
    const uint8_t* s = row.data();
    if (m_header.depth == 16) {
        for (uint32_t x = 0; x < w; ++x) m_samples[x] = static_cast<uint8_t>((be16(row.data() + 2 * x) * 255u + 32767u) / 65535u);
        s = m_samples.data();
    }
    if (channel == m_header.colourChannels) {
        std::memcpy(m_image.AlphaChannel().Scanline(yi), s, w);
        return;
    }
    uint8_t* out = m_image.Scanline(yi);
    switch (m_header.mode) {
        case kIndexed:
            for (uint32_t x = 0; x < w; ++x) std::memcpy(out + 3 * x, &m_palette[s[x]], 3);
            break;
        case kRGB:
        case kCMYK:
            if (channel < 3) {
                for (uint32_t x = 0; x < w; ++x) out[3 * x + 2 - channel] = s[x];
            } else {
                for (uint32_t x = 0; x < w; ++x)
                    for (int c = 0; c < 3; ++c) out[3 * x + c] = static_cast<uint8_t>((out[3 * x + c] * s[x] + 127u) / 255u);
            }
            break;
        default: std::memcpy(out, s, w); break;
    }
}

bool TPsdReader::readComposite() {
    uint16_t compression = 0;
    if (!readU16(compression) || (compression != kRaw && compression != kPackBits)) return false;
    const int channels = m_params.ChannelCount;
    if (!compositePlausible(channels, compression)) return false;
    const uint32_t h = m_header.height;
    std::vector<uint16_t> packedBytes;
    if (compression == kPackBits) {
        std::vector<uint8_t> table(size_t{m_header.channels} * h * 2);
        if (!read(table.data(), table.size())) return false;
        packedBytes.resize(size_t{m_header.channels} * h);
        for (size_t i = 0; i < packedBytes.size(); ++i) packedBytes[i] = be16(table.data() + 2 * i);
    }
    const TPixelLayout layout =
        m_header.mode == kBitmap ? px1g : (m_header.colourChannels == 1 && m_header.mode != kIndexed ? px8g : px24RGB);
    m_image.Allocate(static_cast<int32_t>(m_header.width), static_cast<int32_t>(h), layout);
    m_samples.resize(m_header.width);
    std::vector<uint8_t> row(rowBytesOf(m_header)), packed;
    for (int c = 0; c < channels; ++c) {
        for (uint32_t y = 0; y < h; ++y) {
            const uint32_t n = packedBytes.empty() ? 0 : packedBytes[size_t{static_cast<uint32_t>(c)} * h + y];
            if (!readRow(compression, n, packed, row)) return false;
            storeRow(c, y, row);
        }
        m_ctx.Report(10 + 90 * (c + 1) / channels);
        if (m_ctx.AbortFlag) return false;
    }
    return true;
}

void readPsdImage(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    ReadPsdStream(stream, image, params, ctx, paramsOnly);
}

}  // namespace

void ReadPsdStream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    ctx.Report(0);
    if (ctx.AbortFlag) return;
    try {
        TPsdReader(stream, image, params, ctx, paramsOnly).run();
    } catch (const std::bad_alloc&) {
        ctx.AbortFlag = true;
    } catch (const std::length_error&) {
        ctx.AbortFlag = true;
    }
    if (!ctx.AbortFlag) ctx.Report(100);
}

const TImageReader& PsdImageReader() {
    static const TImageReader reader{readPsdImage};
    return reader;
}

}  // namespace loopsmith
