#include "sources/detect.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "sources/format_registry.h"
#include "sources/raw_decoder.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr size_t kBufferSize = 1024;

// The data from the detection's start position to the end, read through one
// small buffer. Every read is checked against the end first, so no offset
// taken from the file moves the stream past the data.
class DataReader {
public:
    DataReader(TStream& stream, int64_t start, uint64_t size) : m_stream(stream), m_start(start), m_size(size) {}

    TStream& stream() { return m_stream; }
    int64_t start() const { return m_start; }
    uint64_t size() const { return m_size; }

    // False unless all `count` bytes at `offset` are there.
    bool read(uint64_t offset, void* destination, size_t count) {
        if (offset > m_size || count > m_size - offset) return false;
        auto* out = static_cast<uint8_t*>(destination);
        while (count > 0) {
            if (!covers(offset) && !fill(offset)) return false;
            size_t inBuffer = static_cast<size_t>(offset - m_bufferOffset);
            size_t n = std::min(count, m_bufferLength - inBuffer);
            std::memcpy(out, m_buffer.data() + inBuffer, n);
            out += n;
            offset += n;
            count -= n;
        }
        return true;
    }

    int byteAt(uint64_t offset) {
        uint8_t b = 0;
        return read(offset, &b, 1) ? b : -1;
    }

private:
    bool covers(uint64_t offset) const {
        return offset >= m_bufferOffset && offset < m_bufferOffset + m_bufferLength;
    }

    bool fill(uint64_t offset) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(kBufferSize, m_size - offset));
        m_stream.Seek(m_start + static_cast<int64_t>(offset));
        m_bufferOffset = offset;
        m_bufferLength = m_stream.Read(m_buffer.data(), want);
        return m_bufferLength > 0;
    }

    TStream& m_stream;
    int64_t m_start;
    uint64_t m_size;
    std::array<uint8_t, kBufferSize> m_buffer{};
    uint64_t m_bufferOffset = 0;
    size_t m_bufferLength = 0;
};

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16; }
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t* p) { return static_cast<uint32_t>(be16(p)) << 16 | be16(p + 2); }
uint16_t get16(const uint8_t* p, bool bigEndian) { return bigEndian ? be16(p) : le16(p); }
uint32_t get32(const uint8_t* p, bool bigEndian) { return bigEndian ? be32(p) : le32(p); }

// The first `count` bytes as a string that ends at the first zero byte.
bool leadingStringIs(DataReader& r, size_t count, std::string_view expected) {
    std::array<char, 8> bytes{};
    if (!r.read(0, bytes.data(), count)) return false;
    const char* end = std::find(bytes.data(), bytes.data() + count, '\0');
    return std::string_view(bytes.data(), static_cast<size_t>(end - bytes.data())) == expected;
}

bool isJfifTag(DataReader& r) { return r.size() > 12 && leadingStringIs(r, 5, "JFIF"); }
bool isPcx2Tag(DataReader& r) { return r.size() > 12 && leadingStringIs(r, 5, "PCX2"); }
bool isPcxTag(DataReader& r) { return r.size() > 4 && leadingStringIs(r, 4, "PCX"); }
bool isTiffTag(DataReader& r) { return r.size() > 12 && leadingStringIs(r, 5, "TIFF"); }

bool isGif(DataReader& r) {
    uint8_t b[3];
    return r.size() > 13 && r.read(0, b, 3) && std::memcmp(b, "GIF", 3) == 0;
}

bool isBmp(DataReader& r) {
    uint8_t b[2];
    return r.size() > 14 && r.read(0, b, 2) && b[0] == 'B' && b[1] == 'M';
}

bool isPcxHeader(DataReader& r) {
    uint8_t b[2];
    return r.size() > 128 && r.read(0, b, 2) && b[0] == 10 && b[1] <= 5;
}

// ---- TIFF structure ------------------------------------------------------

struct TiffEntry {
    bool present = false;
    uint16_t type = 0;
    uint32_t count = 0;
    uint8_t value[4] = {};
};

// Only the tags detection looks at are kept, so a directory of 65535
// entries costs no memory.
constexpr uint16_t kTiffWidth = 256, kTiffLength = 257, kTiffPhotometric = 262, kTiffSubIfds = 330,
                   kTiffEpStandardId = 37398, kDngVersion = 50706;
constexpr std::array<uint16_t, 5> kHdPhotoTags = {0xBC80, 0xBC81, 0xBC01, 0xBCC0, 0xBCC1};
constexpr std::array<uint16_t, 11> kWantedTags = {kTiffWidth,  kTiffLength, kTiffPhotometric, kTiffSubIfds,
                                                  kTiffEpStandardId, kDngVersion, 0xBC80, 0xBC81,
                                                  0xBC01,      0xBCC0,      0xBCC1};

struct TiffDirectory {
    bool bigEndian = false;
    std::array<TiffEntry, kWantedTags.size()> entries{};

    const TiffEntry* find(uint16_t tag) const {
        for (size_t i = 0; i < kWantedTags.size(); ++i)
            if (kWantedTags[i] == tag && entries[i].present) return &entries[i];
        return nullptr;
    }

    // The first byte for bytes, the first short for shorts, else all 32 bits.
    uint32_t value(const TiffEntry& e) const {
        if (e.type == 1) return e.value[0];
        if (e.type == 3) return get16(e.value, bigEndian);
        return get32(e.value, bigEndian);
    }
};

void keepEntry(TiffDirectory& dir, const uint8_t* raw) {
    uint16_t tag = get16(raw, dir.bigEndian);
    for (size_t i = 0; i < kWantedTags.size(); ++i) {
        if (kWantedTags[i] != tag || dir.entries[i].present) continue;
        TiffEntry& e = dir.entries[i];
        e.present = true;
        e.type = get16(raw + 2, dir.bigEndian);
        e.count = get32(raw + 4, dir.bigEndian);
        std::memcpy(e.value, raw + 8, 4);
    }
}

// A directory cut short by the end of the data keeps the entries before
// the cut.
std::optional<TiffDirectory> readDirectory(DataReader& r, bool bigEndian, uint64_t offset) {
    uint8_t countBytes[2];
    if (!r.read(offset, countBytes, 2)) return std::nullopt;
    TiffDirectory dir;
    dir.bigEndian = bigEndian;
    uint16_t count = get16(countBytes, bigEndian);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t raw[12];
        if (!r.read(offset + 2 + 12ull * i, raw, 12)) break;
        keepEntry(dir, raw);
    }
    return dir;
}

// Byte order and first directory of a TIFF-structured file.
std::optional<TiffDirectory> readTiffStructure(DataReader& r) {
    uint8_t header[9];
    if (r.size() <= 8 || !r.read(0, header, 9)) return std::nullopt;
    bool bigEndian = header[0] == 'M' && header[1] == 'M';
    if (!bigEndian && !(header[0] == 'I' && header[1] == 'I')) return std::nullopt;
    uint32_t offset = get32(header + 4, bigEndian);
    if (offset >= r.size()) return std::nullopt;
    if (bigEndian && header[8] == 0xBA) return std::nullopt;
    return readDirectory(r, bigEndian, offset);
}

bool looksLikeCameraRaw(const TiffDirectory& dir) {
    const TiffEntry* dng = dir.find(kDngVersion);
    if (dng && dng->type == 1 && dng->count == 4) return true;
    const TiffEntry* photometric = dir.find(kTiffPhotometric);
    if (photometric && photometric->type == 3 && photometric->count == 1) {
        uint32_t v = dir.value(*photometric);
        // Colour filter array and linear raw.
        if (v == 32803 || v == 34892) return true;
    }
    // Sub-directories plus TIFF/EP with a small first image: a thumbnail
    // in front of the raw data.
    const TiffEntry* width = dir.find(kTiffWidth);
    const TiffEntry* length = dir.find(kTiffLength);
    return dir.find(kTiffSubIfds) && dir.find(kTiffEpStandardId) && width && length && dir.value(*width) < 200 &&
           dir.value(*length) < 200;
}

bool isPlainTiff(DataReader& r) {
    auto dir = readTiffStructure(r);
    return dir && dir->find(kTiffWidth) && dir->find(kTiffLength) && !looksLikeCameraRaw(*dir);
}

bool isHdPhoto(DataReader& r) {
    uint8_t header[8];
    if (r.size() <= 8 || !r.read(0, header, 8) || header[0] != 'I' || header[1] != 'I') return false;
    auto dir = readDirectory(r, false, le32(header + 4));
    return dir && std::all_of(kHdPhotoTags.begin(), kHdPhotoTags.end(), [&](uint16_t t) { return dir->find(t); });
}

// ---- the other composite tests ---------------------------------------------

bool isPng(DataReader& r) {
    static constexpr uint8_t kSignature[4] = {137, 80, 78, 71};
    uint8_t b[4];
    return r.size() > 8 && r.read(0, b, 4) && std::memcmp(b, kSignature, 4) == 0;
}

bool isDicom(DataReader& r) {
    uint8_t b[4];
    return r.read(128, b, 4) && std::memcmp(b, "DICM", 4) == 0;
}

bool isIconDirectory(DataReader& r, uint16_t type) {
    uint8_t header[6];
    if (r.size() <= 22 || !r.read(0, header, 6)) return false;
    uint16_t count = le16(header + 4);
    if (le16(header) != 0 || le16(header + 2) != type || count == 0) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t entryOffset = 6 + 16ull * i;
        uint8_t entry[16];
        if (!r.read(entryOffset, entry, 16)) return false;
        if (entry[3] != 0 || le32(entry + 8) == 0 || le32(entry + 12) < entryOffset + 16) return false;
    }
    return true;
}

bool isIcon(DataReader& r) { return isIconDirectory(r, 1); }
bool isCursor(DataReader& r) { return isIconDirectory(r, 2); }

bool isTarga(DataReader& r) {
    uint8_t h[18];
    if (!r.read(0, h, 18)) return false;
    auto oneOf = [](uint8_t v, std::initializer_list<uint8_t> set) { return std::find(set.begin(), set.end(), v) != set.end(); };
    return oneOf(h[2], {1, 2, 3, 9, 10, 11}) && oneOf(h[16], {1, 4, 8, 16, 24, 32}) && h[1] <= 1 && le16(h + 12) != 0 &&
           le16(h + 14) != 0;
}

// Tokens of a portable map header: runs of letters and digits, and "#"
// comments to the end of the line; everything else separates them.
class MapTokenizer {
public:
    struct Token {
        bool comment = false;
        std::string text;     // the first few characters only
        int64_t number = -1;  // -1 unless all digits and within 32 bits
    };

    explicit MapTokenizer(DataReader& r) : m_reader(r) {}

    bool next(Token& token) {
        int c = skipSeparators();
        if (c < 0) return false;
        token = Token{};
        if (c == '#') {
            token.comment = true;
            while (c >= 0 && c != '\n' && c != '\r') c = advance();
            return true;
        }
        readWord(token, c);
        return true;
    }

private:
    // A huge file of separators (zeros, say) must not be read to its end.
    static constexpr uint64_t kMaxScan = 1 << 20;

    static bool isWordChar(int c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    }

    int advance() {
        ++m_position;
        return current();
    }
    int current() { return m_position < kMaxScan ? m_reader.byteAt(m_position) : -1; }

    int skipSeparators() {
        int c = current();
        while (c >= 0 && c != '#' && !isWordChar(c)) c = advance();
        return c;
    }

    void readWord(Token& token, int c) {
        bool digits = true;
        int64_t value = 0;
        for (; c >= 0 && isWordChar(c); c = advance()) {
            if (token.text.size() < 8) token.text.push_back(static_cast<char>(c));
            digits = digits && c >= '0' && c <= '9';
            if (digits && value <= INT32_MAX) value = value * 10 + (c - '0');
        }
        token.number = digits && value <= INT32_MAX ? value : -1;
    }

    DataReader& m_reader;
    uint64_t m_position = 0;
};

bool isPortableMap(DataReader& r) {
    constexpr int kMaxTokens = 501;
    MapTokenizer tokenizer(r);
    MapTokenizer::Token token;
    int64_t fields[3] = {};
    int found = 0;
    for (int read = 0; read < kMaxTokens && found < 3 && tokenizer.next(token); ++read) {
        if (token.comment) continue;
        if (found == 0) {
            const std::string& t = token.text;
            if (t.size() != 2 || t[0] != 'P' || t[1] < '1' || t[1] > '6') return false;
        }
        fields[found++] = token.number;
    }
    return found == 3 && fields[1] > 0 && fields[2] > 0;
}

bool isJp2(DataReader& r) {
    uint8_t b[12];
    return r.read(0, b, 12) && be32(b) == 12 && be32(b + 4) == 0x6A502020 && be32(b + 8) == 0x0D0A870A;
}

bool isJ2k(DataReader& r) {
    uint8_t b[4];
    return r.read(0, b, 4) && be16(b) == 0xFF4F && be16(b + 2) == 0xFF51;
}

bool isAvi(DataReader& r) {
    uint8_t b[12];
    return r.read(0, b, 12) && std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "AVI ", 4) == 0;
}

bool isDcx(DataReader& r) {
    constexpr uint32_t kDcxKey = 987654321;
    constexpr int kMaxPages = 1024;
    uint8_t b[4];
    if (!r.read(0, b, 4) || le32(b) != kDcxKey) return false;
    for (int i = 0; i < kMaxPages; ++i) {
        if (!r.read(4 + 4ull * i, b, 4)) return false;
        uint32_t offset = le32(b);
        if (offset == 0) break;
        if (offset >= r.size()) return false;
    }
    return true;
}

bool isMetafile(DataReader& r) {
    constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;
    uint8_t b[4];
    if (!r.read(0, b, 4)) return false;
    // A placeable metafile puts a 22-byte header in front of the plain one.
    uint64_t start = le32(b) == kPlaceableKey ? 22 : 0;
    uint8_t h[18];
    return r.read(start, h, 18) && le16(h) == 1 && le16(h + 2) == 9 && le16(h + 16) == 0;
}

bool isEnhancedMetafile(DataReader& r) {
    uint8_t b[44];
    return r.read(0, b, 44) && le32(b) == 1 && le32(b + 40) == 0x464D4520;
}

bool isPhotoshop(DataReader& r) {
    uint8_t h[26];
    if (!r.read(0, h, 26) || std::memcmp(h, "8BPS", 4) != 0) return false;
    uint16_t channels = be16(h + 12), depth = be16(h + 22);
    return be16(h + 4) == 1 && channels >= 1 && channels <= 24 && depth >= 1 && depth <= 16 && be16(h + 24) < 10;
}

// Some JPEG files carry a little leading junk before the start-of-image marker.
bool hasJpegMarkerNearStart(DataReader& r) {
    constexpr size_t kLastStart = 149;
    uint8_t b[kLastStart + 3];
    size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof b, r.size()));
    if (!r.read(0, b, n)) return false;
    for (size_t i = 0; i + 2 < n; ++i)
        if (b[i] == 0xFF && b[i + 1] == 0xD8 && b[i + 2] == 0xFF) return true;
    return false;
}

struct ContentStep {
    bool (*test)(DataReader&);
    TFileKind kind;
};

// The order settles overlaps (a TIFF header before the loose JPEG scan, the
// exact signatures before the weak Targa and metafile checks).
constexpr ContentStep kContentSteps[] = {
    {isJfifTag, fkJPEG},    {isGif, fkGIF},
    {isPcx2Tag, fkPCX},     {isPcxTag, fkPCX},
    {isBmp, fkBMP},         {isPcxHeader, fkPCX},
    {isTiffTag, fkTIFF},    {isHdPhoto, fkHDP},
    {isPlainTiff, fkTIFF},  {isPng, fkPNG},
    {isDicom, fkDICOM},     {isIcon, fkICO},
    {isCursor, fkCUR},      {isTarga, fkTGA},
    {isPortableMap, fkPXM}, {isJp2, fkJP2},
    {isJ2k, fkJ2K},         {isAvi, fkAVI},
    {isDcx, fkDCX},         {isMetafile, fkWMF},
    {isEnhancedMetafile, fkEMF}, {isPhotoshop, fkPSD},
    {hasJpegMarkerNearStart, fkJPEG},
};

TFileKind askRegisteredFormats(TStream& stream, int64_t start) {
    for (const TFileFormatInfo& info : FileFormats()) {
        if (!info.TestProc) continue;
        stream.Seek(start);
        bool claimed = info.TestProc(stream, info.Kind);
        stream.Seek(start);
        if (claimed) return info.Kind;
    }
    return fkUnknown;
}

TFileKind runContentSteps(TStream& stream, int64_t start) {
    uint64_t size = static_cast<uint64_t>(std::max<int64_t>(stream.Size() - start, 0));
    DataReader reader(stream, start, size);
    for (const ContentStep& step : kContentSteps) {
        bool matched = step.test(reader);
        stream.Seek(start);
        if (matched) return step.kind;
    }
    if (TFileKind kind = askRegisteredFormats(stream, start); kind != fkUnknown) return kind;
    bool raw = IdentifyCameraRaw(stream);
    stream.Seek(start);
    return raw ? fkRAW : fkUnknown;
}

TFileKind detectFileContent(const std::filesystem::path& fileName) {
    try {
        TFileStream file(fileName, TFileMode::Read);
        return DetectStreamKind(file);
    } catch (...) {
        return fkUnknown;
    }
}

// Where the name's extension overrides or vetoes what the content said.
TFileKind applyExtension(TFileKind content, const TFileFormatInfo* entry, bool checkExtension) {
    TFileKind result = content;
    // Camera raw files built on TIFF structure are claimed by their extension.
    if (entry && entry->Kind == fkRAW && result == fkTIFF) result = fkRAW;
    if (entry && !entry->Internal) return entry->Kind;
    if (!checkExtension || result == fkUnknown) return result;
    if (!entry) return fkUnknown;
    // Icons and cursors share one layout: only the extension tells them apart.
    auto iconFamily = [](TFileKind k) { return k == fkICO || k == fkCUR; };
    if (iconFamily(result) && iconFamily(entry->Kind)) return entry->Kind;
    return entry->Kind == result ? result : fkUnknown;
}

bool isRegularFile(const std::filesystem::path& fileName) {
    std::error_code ec;
    // Pipes and devices are left alone: opening one may block or never end.
    return std::filesystem::is_regular_file(fileName, ec);
}

}  // namespace

bool IdentifyCameraRaw(TStream& stream) {
    // LibRaw's identification over the start of the data; nothing is unpacked.
    return IdentifyRawStream(stream);
}

TFileKind DetectStreamKind(TStream& stream) noexcept {
    int64_t start = 0;
    try {
        start = stream.Position();
    } catch (...) {
        return fkUnknown;
    }
    TFileKind result = fkUnknown;
    try {
        result = runContentSteps(stream, start);
    } catch (...) {
        result = fkUnknown;
    }
    try {
        stream.Seek(start);
    } catch (...) {
    }
    return result;
}

TFileKind DetectFileKind(const std::filesystem::path& fileName, bool checkExtension) noexcept {
    try {
        if (fileName.empty() || !isRegularFile(fileName)) return fkUnknown;
        TFileKind content = detectFileContent(fileName);
        return applyExtension(content, FindFormatByExtension(FileNameExtension(fileName)), checkExtension);
    } catch (...) {
        return fkUnknown;
    }
}

}  // namespace loopsmith
