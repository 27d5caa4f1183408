#include "sources/exif.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "imaging/io_params.h"

namespace loopsmith {

namespace {

constexpr uint16_t kTypeByte = 1;
constexpr uint16_t kTypeAscii = 2;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeRational = 5;
constexpr uint16_t kTypeUndefined = 7;
constexpr size_t kEntryBytes = 12;
constexpr int kUnitInch = 2;
constexpr int kUnitCentimetre = 3;
// No real picture is printed at a million dots per inch.
constexpr double kMaxDpi = 1e6;

class TTiffBytes {
public:
    explicit TTiffBytes(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

    bool readHeader() {
        if (m_bytes.size() < 8) return false;
        if (m_bytes[0] == 'I' && m_bytes[1] == 'I') m_bigEndian = false;
        else if (m_bytes[0] == 'M' && m_bytes[1] == 'M') m_bigEndian = true;
        else return false;
        return u16(2) == 42;
    }

    size_t size() const { return m_bytes.size(); }
    bool holds(uint64_t offset, uint64_t count) const { return offset <= size() && count <= size() - offset; }

    uint16_t u16(size_t at) const {
        const uint8_t* p = m_bytes.data() + at;
        return static_cast<uint16_t>(m_bigEndian ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8));
    }
    uint32_t u32(size_t at) const {
        const uint8_t* p = m_bytes.data() + at;
        return m_bigEndian ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]
                           : p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    }
    std::span<const uint8_t> slice(size_t at, size_t count) const { return m_bytes.subspan(at, count); }

private:
    std::span<const uint8_t> m_bytes;
    bool m_bigEndian = false;
};

struct TEntry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    size_t valueAt = 0;  // where the value's bytes start, inside the block
    size_t valueBytes = 0;
};

size_t typeSize(uint16_t type) {
    switch (type) {
        case kTypeByte:
        case kTypeAscii:
        case kTypeUndefined: return 1;
        case kTypeShort: return 2;
        case kTypeLong: return 4;
        case kTypeRational: return 8;
        default: return 0;
    }
}

// The entry's value, or nothing when its type is not one we read or its
// bytes lie outside the block. Byte values are cut to kExifMaxValueBytes.
std::optional<TEntry> readEntry(const TTiffBytes& tiff, size_t at) {
    TEntry e;
    e.tag = tiff.u16(at);
    e.type = tiff.u16(at + 2);
    e.count = tiff.u32(at + 4);
    const size_t unit = typeSize(e.type);
    if (unit == 0 || e.count == 0) return std::nullopt;
    const uint64_t fullBytes = uint64_t{e.count} * unit;
    // Values of up to 4 bytes sit in the entry itself.
    const uint64_t valueAt = fullBytes <= 4 ? at + 8 : tiff.u32(at + 8);
    const uint64_t taken = std::min<uint64_t>(fullBytes, unit == 1 ? kExifMaxValueBytes : fullBytes);
    if (!tiff.holds(valueAt, taken)) return std::nullopt;
    e.valueAt = static_cast<size_t>(valueAt);
    e.valueBytes = static_cast<size_t>(taken);
    return e;
}

std::optional<double> rationalValue(const TTiffBytes& tiff, const TEntry& e) {
    if (e.type != kTypeRational) return std::nullopt;
    const uint32_t num = tiff.u32(e.valueAt), den = tiff.u32(e.valueAt + 4);
    if (den == 0) return std::nullopt;
    return static_cast<double>(num) / den;
}

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool isValidUtf8(std::span<const uint8_t> s) {
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t b = s[i];
        size_t extra = 0;
        uint32_t c = 0;
        if (b < 0x80) extra = 0, c = b;
        else if ((b & 0xE0) == 0xC0) extra = 1, c = b & 0x1F;
        else if ((b & 0xF0) == 0xE0) extra = 2, c = b & 0x0F;
        else if ((b & 0xF8) == 0xF0) extra = 3, c = b & 0x07;
        else return false;
        if (i + extra >= s.size() && extra > 0) return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

void applyEntry(const TTiffBytes& tiff, const TEntry& e, TExifInfo& info, std::optional<double>& xRes,
                std::optional<double>& yRes, int& unit) {
    const std::span<const uint8_t> bytes = tiff.slice(e.valueAt, e.valueBytes);
    const bool byteArray = e.type == kTypeByte || e.type == kTypeUndefined;
    switch (e.tag) {
        case kTagArtist:
            if (e.type == kTypeAscii) info.Artist = TiffAsciiToUtf8(bytes);
            break;
        case kTagXPTitle:
            if (byteArray) info.XPTitle = Utf16LeToUtf8(bytes);
            break;
        case kTagXPComment:
            if (byteArray) info.XPComment = Utf16LeToUtf8(bytes);
            break;
        case kTagXPAuthor:
            if (byteArray) info.XPAuthor = Utf16LeToUtf8(bytes);
            break;
        case kTagXPKeywords:
            if (byteArray) info.XPKeywords = Utf16LeToUtf8(bytes);
            break;
        case kTagXPSubject:
            if (byteArray) info.XPSubject = Utf16LeToUtf8(bytes);
            break;
        case kTagXResolution: xRes = rationalValue(tiff, e); break;
        case kTagYResolution: yRes = rationalValue(tiff, e); break;
        case kTagResolutionUnit:
            if (e.type == kTypeShort) unit = tiff.u16(e.valueAt);
            break;
        default: break;
    }
}

}  // namespace

std::optional<TExifInfo> ReadTiffDirectoryInfo(std::span<const uint8_t> bytes, uint32_t ifdOffset) {
    TTiffBytes tiff(bytes);
    if (!tiff.readHeader() || !tiff.holds(ifdOffset, 2)) return std::nullopt;
    // A count larger than the block can hold is cut to the entries present.
    const size_t fit = (tiff.size() - ifdOffset - 2) / kEntryBytes;
    const size_t count = std::min<size_t>(tiff.u16(ifdOffset), fit);
    TExifInfo info;
    std::optional<double> xRes, yRes;
    int unit = kUnitInch;  // the TIFF default
    for (size_t i = 0; i < count; ++i) {
        if (const std::optional<TEntry> e = readEntry(tiff, ifdOffset + 2 + i * kEntryBytes))
            applyEntry(tiff, *e, info, xRes, yRes, unit);
    }
    if (xRes) info.DpiX = ResolutionToDpi(*xRes, unit);
    if (yRes) info.DpiY = ResolutionToDpi(*yRes, unit);
    return info;
}

std::optional<TExifInfo> ReadTiffInfo(std::span<const uint8_t> bytes) {
    TTiffBytes tiff(bytes);
    if (!tiff.readHeader()) return std::nullopt;
    return ReadTiffDirectoryInfo(bytes, tiff.u32(4));
}

std::optional<TExifInfo> ReadExifSegment(std::span<const uint8_t> app1) {
    static constexpr uint8_t kExifId[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (app1.size() < sizeof kExifId || std::memcmp(app1.data(), kExifId, sizeof kExifId) != 0) return std::nullopt;
    return ReadTiffInfo(app1.subspan(sizeof kExifId));
}

std::string Utf16LeToUtf8(std::span<const uint8_t> bytes) {
    std::string out;
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = bytes[2 * i] | (uint32_t{bytes[2 * i + 1]} << 8);
        if (c == 0) break;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
            const uint32_t low = bytes[2 * i + 2] | (uint32_t{bytes[2 * i + 3]} << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        appendUtf8(out, c);
    }
    return out;
}

std::string TiffAsciiToUtf8(std::span<const uint8_t> bytes) {
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    const std::span<const uint8_t> text(bytes.begin(), end);
    if (isValidUtf8(text)) return std::string(text.begin(), text.end());
    std::string out;
    for (uint8_t b : text) appendUtf8(out, b);
    return out;
}

std::optional<int32_t> ResolutionToDpi(double value, int unit) {
    double dpi = 0;
    if (unit == kUnitInch) dpi = value;
    else if (unit == kUnitCentimetre) dpi = value * 2.54;
    else return std::nullopt;
    if (!(dpi > 0) || dpi > kMaxDpi) return std::nullopt;
    const auto rounded = static_cast<int32_t>(std::lround(dpi));
    if (rounded <= 0) return std::nullopt;
    return rounded;
}

void ApplyExifInfo(const TExifInfo& info, TIOParams& params) {
    params.Artist = info.Artist;
    params.XPTitle = info.XPTitle;
    params.XPComment = info.XPComment;
    params.XPAuthor = info.XPAuthor;
    params.XPKeywords = info.XPKeywords;
    params.XPSubject = info.XPSubject;
    if (info.DpiX) params.DotsPerInchX = *info.DpiX;
    if (info.DpiY) params.DotsPerInchY = *info.DpiY;
}

}  // namespace loopsmith
