#include "sources/pnm_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "sources/decoder_support.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr uint32_t kMaxSize = uint32_t{1} << 30;
constexpr uint32_t kMaxMaxval = 65535;

bool isSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// The header and the plain formats' samples: numbers between white space
// and comments.
class PnmText {
public:
    explicit PnmText(std::span<const uint8_t> data) : m_data(data) {}

    size_t position() const { return m_pos; }
    size_t bytesLeft() const { return m_data.size() - m_pos; }

    void skipSpace() {
        while (m_pos < m_data.size()) {
            if (m_data[m_pos] == '#') {
                while (m_pos < m_data.size() && m_data[m_pos] != '\n' && m_data[m_pos] != '\r') ++m_pos;
            } else if (isSpace(m_data[m_pos])) {
                ++m_pos;
            } else {
                break;
            }
        }
    }

    bool number(uint32_t& value, uint32_t limit) {
        skipSpace();
        if (m_pos >= m_data.size() || !isDigit(m_data[m_pos])) return false;
        value = 0;
        for (; m_pos < m_data.size() && isDigit(m_data[m_pos]); ++m_pos) {
            value = value * 10 + (m_data[m_pos] - '0');
            if (value > limit) return false;
        }
        return true;
    }

    // A plain bitmap's digits need no space between them.
    bool bit(uint32_t& value) {
        skipSpace();
        if (m_pos >= m_data.size() || (m_data[m_pos] != '0' && m_data[m_pos] != '1')) return false;
        value = m_data[m_pos++] - '0';
        return true;
    }

    std::string_view word() {
        skipSpace();
        const size_t start = m_pos;
        while (m_pos < m_data.size() && !isSpace(m_data[m_pos]) && m_data[m_pos] != '#') ++m_pos;
        return {reinterpret_cast<const char*>(m_data.data() + start), m_pos - start};
    }

    void skipLine() {
        while (m_pos < m_data.size() && m_data[m_pos] != '\n') ++m_pos;
        if (m_pos < m_data.size()) ++m_pos;
    }

    // The raw formats' data starts after exactly one white-space byte.
    bool singleSpace() {
        if (m_pos >= m_data.size() || !isSpace(m_data[m_pos])) return false;
        ++m_pos;
        return true;
    }

private:
    std::span<const uint8_t> m_data;
    size_t m_pos = 0;
};

struct PnmHeader {
    int format = 0;  // 1 to 7 from "Pn"
    uint32_t width = 0, height = 0, depth = 1, maxval = 1;

    bool plain() const { return format <= 3; }
    bool bitmap() const { return format == 1 || format == 4; }
    bool hasAlpha() const { return depth == 2 || depth == 4; }
    bool colour() const { return depth >= 3; }
};

bool parseClassicHeader(PnmText& text, PnmHeader& h) {
    if (!text.number(h.width, kMaxSize) || !text.number(h.height, kMaxSize)) return false;
    h.depth = h.format == 3 || h.format == 6 ? 3 : 1;
    if (!h.bitmap() && !text.number(h.maxval, kMaxMaxval)) return false;
    return h.plain() || text.singleSpace();
}

// PAM: "NAME value" lines up to ENDHDR; TUPLTYPE is implied by the depth.
bool parsePamHeader(PnmText& text, PnmHeader& h) {
    bool width = false, height = false, depth = false, maxval = false;
    for (;;) {
        const std::string_view key = text.word();
        if (key == "ENDHDR") break;
        if (key == "WIDTH") width = text.number(h.width, kMaxSize);
        else if (key == "HEIGHT") height = text.number(h.height, kMaxSize);
        else if (key == "DEPTH") depth = text.number(h.depth, 4);
        else if (key == "MAXVAL") maxval = text.number(h.maxval, kMaxMaxval);
        else if (key == "TUPLTYPE") text.skipLine();
        else return false;
    }
    text.skipLine();
    return width && height && depth && maxval && h.depth >= 1;
}

bool parseHeader(std::span<const uint8_t> data, PnmText& text, PnmHeader& h) {
    if (data.size() < 3 || data[0] != 'P' || data[1] < '1' || data[1] > '7') return false;
    h.format = data[1] - '0';
    text.word();
    if (!(h.format == 7 ? parsePamHeader(text, h) : parseClassicHeader(text, h))) return false;
    return h.width > 0 && h.height > 0 && h.maxval > 0;
}

bool sizePlausible(const PnmHeader& h, size_t bytesLeft) {
    const int64_t pixels = int64_t{h.width} * h.height;
    if (pixels > kPnmMaxPixels) return false;
    int64_t needed = pixels * h.depth;  // plain samples take at least a byte
    if (h.format == 4) needed = int64_t{(h.width + 7) / 8} * h.height;
    else if (!h.plain()) needed *= h.maxval > 255 ? 2 : 1;
    return needed <= static_cast<int64_t>(bytesLeft);
}

// Reads the samples of the raw formats (big-endian when two bytes wide)
// and of the plain ones.
class SampleSource {
public:
    SampleSource(std::span<const uint8_t> data, PnmText& text, const PnmHeader& h)
        : m_data(data), m_text(text), m_h(h), m_pos(text.position()) {}

    bool row(uint32_t* out, size_t count) {
        if (m_h.plain()) return plainRow(out, count);
        const size_t width = m_h.maxval > 255 ? 2 : 1;
        if (m_data.size() - m_pos < count * width) return false;
        const uint8_t* p = m_data.data() + m_pos;
        for (size_t i = 0; i < count; ++i, p += width) out[i] = width == 2 ? uint32_t{p[0]} << 8 | p[1] : p[0];
        m_pos += count * width;
        return true;
    }

    const uint8_t* packedRow(size_t bytes) {
        if (m_data.size() - m_pos < bytes) return nullptr;
        m_pos += bytes;
        return m_data.data() + m_pos - bytes;
    }

private:
    bool plainRow(uint32_t* out, size_t count) {
        for (size_t i = 0; i < count; ++i)
            if (!(m_h.format == 1 ? m_text.bit(out[i]) : m_text.number(out[i], kMaxMaxval))) return false;
        return true;
    }

    std::span<const uint8_t> m_data;
    PnmText& m_text;
    const PnmHeader& m_h;
    size_t m_pos;
};

// Sample value to 0..255, rounded; values above maxval count as maxval.
std::vector<uint8_t> scaleTable(uint32_t maxval) {
    std::vector<uint8_t> table(maxval + 1);
    for (uint32_t v = 0; v <= maxval; ++v) table[v] = static_cast<uint8_t>((v * 255 + maxval / 2) / maxval);
    return table;
}

bool decodeBitmap(const PnmHeader& h, SampleSource& source, TRaster& image) {
    const size_t w = h.width, rowBytes = (w + 7) / 8;
    std::vector<uint32_t> samples(w);
    for (int32_t y = 0; y < image.Height(); ++y) {
        uint8_t* out = image.Scanline(y);
        // 1 is black in the file and white in px1g.
        if (h.format == 4) {
            const uint8_t* in = source.packedRow(rowBytes);
            if (!in) return false;
            for (size_t i = 0; i < rowBytes; ++i) out[i] = static_cast<uint8_t>(~in[i]);
            if (w % 8) out[w / 8] &= static_cast<uint8_t>(0xFF00 >> (w % 8));
            continue;
        }
        if (!source.row(samples.data(), w)) return false;
        for (size_t x = 0; x < w; ++x)
            if (samples[x] == 0) out[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    }
    return true;
}

bool decodeSamples(const PnmHeader& h, SampleSource& source, TRaster& image) {
    const std::vector<uint8_t> scale = scaleTable(h.maxval);
    const size_t w = h.width, depth = h.depth;
    std::vector<uint32_t> samples(w * depth);
    for (int32_t y = 0; y < image.Height(); ++y) {
        if (!source.row(samples.data(), samples.size())) return false;
        uint8_t* out = image.Scanline(y);
        uint8_t* alpha = h.hasAlpha() ? image.AlphaChannel().Scanline(y) : nullptr;
        for (size_t x = 0; x < w; ++x) {
            const uint32_t* s = samples.data() + x * depth;
            auto level = [&](size_t c) { return scale[std::min(s[c], h.maxval)]; };
            if (h.colour()) {
                out[3 * x] = level(2), out[3 * x + 1] = level(1), out[3 * x + 2] = level(0);
            } else {
                out[x] = level(0);
            }
            if (alpha) alpha[x] = level(depth - 1);
        }
    }
    return true;
}

// A plane that is opaque everywhere would only cost the GIF writer a
// palette slot.
void dropOpaqueAlpha(TRaster& image) {
    const TRaster* alpha = image.AlphaPlane();
    if (!alpha) return;
    for (int32_t y = 0; y < alpha->Height(); ++y) {
        const uint8_t* row = alpha->Scanline(y);
        if (std::any_of(row, row + alpha->Width(), [](uint8_t a) { return a != 255; })) return;
    }
    image.RemoveAlphaChannel();
}

TPixelLayout layoutOf(const PnmHeader& h) {
    if (h.bitmap()) return px1g;
    return h.colour() ? px24RGB : px8g;
}

void setParams(const PnmHeader& h, TIOParams& params) {
    params.ImageWidth = params.OriginalWidth = static_cast<int32_t>(h.width);
    params.ImageHeight = params.OriginalHeight = static_cast<int32_t>(h.height);
    params.ChannelBits = static_cast<int32_t>(std::bit_width(h.maxval));
    params.ChannelCount = static_cast<int32_t>(h.depth);
}

bool decodePnm(std::span<const uint8_t> data, TRaster& image, TIOParams& params, bool paramsOnly) {
    PnmText text(data);
    PnmHeader h;
    if (!parseHeader(data, text, h) || !sizePlausible(h, text.bytesLeft())) return false;
    setParams(h, params);
    if (paramsOnly) return true;
    TRaster decoded(static_cast<int32_t>(h.width), static_cast<int32_t>(h.height), layoutOf(h));
    SampleSource source(data, text, h);
    if (!(h.bitmap() ? decodeBitmap(h, source, decoded) : decodeSamples(h, source, decoded))) return false;
    dropOpaqueAlpha(decoded);
    image = std::move(decoded);
    return true;
}

void readPnm(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    params.SetImageCount(1);
    RunGuarded(ctx, [&] {
        std::vector<uint8_t> holder;
        return decodePnm(RemainingBytes(stream, holder), image, params, paramsOnly);
    });
}

}  // namespace

const TImageReader& PnmImageReader() {
    static const TImageReader reader{readPnm};
    return reader;
}

}  // namespace loopsmith
