#include <gtest/gtest.h>

#if defined(__unix__)
#include <sys/stat.h>
#endif

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "sources/detect.h"
#include "sources/format_registry.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

using Bytes = std::vector<uint8_t>;

// ---- fixture builders ----------------------------------------------------

void put16(Bytes& b, size_t at, uint32_t v, bool big = false) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at + (big ? 1 : 0)] = static_cast<uint8_t>(v);
    b[at + (big ? 0 : 1)] = static_cast<uint8_t>(v >> 8);
}

void put32(Bytes& b, size_t at, uint32_t v, bool big = false) {
    put16(b, at + (big ? 2 : 0), v & 0xFFFF, big);
    put16(b, at + (big ? 0 : 2), v >> 16, big);
}

void putText(Bytes& b, size_t at, std::string_view s) {
    if (b.size() < at + s.size()) b.resize(at + s.size());
    std::memcpy(b.data() + at, s.data(), s.size());
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
// Literals may hold zero bytes.
template <size_t N>
Bytes text(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
}

Bytes padded(Bytes b, size_t size, uint8_t fill = 0) {
    b.resize(size, fill);
    return b;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Tag {
    uint16_t tag, type;
    uint32_t count, value;
};

constexpr uint16_t kByte = 1, kShort = 3, kLong = 4;

// A TIFF-structured file with one directory at `ifdOffset`.
Bytes tiffFile(bool big, const std::vector<Tag>& tags, uint32_t ifdOffset = 8, uint16_t declaredCount = 0) {
    Bytes b;
    putText(b, 0, big ? "MM" : "II");
    put16(b, 2, 42, big);
    put32(b, 4, ifdOffset, big);
    b.resize(ifdOffset);
    put16(b, ifdOffset, declaredCount ? declaredCount : static_cast<uint32_t>(tags.size()), big);
    size_t at = ifdOffset + 2;
    for (const Tag& t : tags) {
        put16(b, at, t.tag, big);
        put16(b, at + 2, t.type, big);
        put32(b, at + 4, t.count, big);
        put32(b, at + 8, 0);
        if (t.type == kByte) b[at + 8] = static_cast<uint8_t>(t.value);
        else if (t.type == kShort) put16(b, at + 8, t.value, big);
        else put32(b, at + 8, t.value, big);
        at += 12;
    }
    if (!declaredCount) put32(b, at, 0);
    return b;
}

Bytes plainTiff(bool big = false, uint32_t w = 640, uint32_t h = 480, std::vector<Tag> extra = {}) {
    std::vector<Tag> tags = {{256, kShort, 1, w}, {257, kShort, 1, h}};
    tags.insert(tags.end(), extra.begin(), extra.end());
    return tiffFile(big, tags);
}

struct IconEntry {
    uint8_t reserved;
    uint32_t bytes, offset;
};

// Planes and bit count stay 0 so that a rejected directory does not pass
// for a Targa header instead. Without a size, 40 bytes of image follow.
Bytes iconFile(uint16_t type, const std::vector<IconEntry>& entries, size_t size = 0) {
    Bytes b;
    put16(b, 0, 0);
    put16(b, 2, type);
    put16(b, 4, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        size_t at = 6 + 16 * i;
        b.resize(at + 16);
        b[at] = 16;
        b[at + 1] = 16;
        b[at + 3] = entries[i].reserved;
        put32(b, at + 8, entries[i].bytes);
        put32(b, at + 12, entries[i].offset);
    }
    return padded(b, size ? size : b.size() + 40);
}

Bytes oneIcon(uint16_t type = 1) { return iconFile(type, {{0, 40, 22}}); }

Bytes targa(uint8_t colourMapType, uint8_t imageType, uint8_t depth, uint16_t w, uint16_t h) {
    Bytes b(18);
    b[1] = colourMapType;
    b[2] = imageType;
    put16(b, 12, w);
    put16(b, 14, h);
    b[16] = depth;
    return padded(b, 18 + 3 * w * h, 0x40);
}

Bytes dcx(const std::vector<uint32_t>& offsets, size_t size) {
    Bytes b;
    put32(b, 0, 987654321);
    for (size_t i = 0; i < offsets.size(); ++i) put32(b, 4 + 4 * i, offsets[i]);
    return padded(b, std::max(size, b.size()));
}

Bytes dcxPages(size_t count, uint32_t offset, uint32_t after) {
    std::vector<uint32_t> offsets(count, offset);
    offsets.push_back(after);
    return dcx(offsets, 0);
}

// The 18-byte metafile header: type, header size, parameter count.
Bytes metafileHeader(uint16_t type, uint16_t headerSize, uint16_t parameters) {
    Bytes b(18);
    put16(b, 0, type);
    put16(b, 2, headerSize);
    put16(b, 4, 0x300);
    put32(b, 6, 1000);
    put32(b, 12, 0x20);  // largest record: keeps the bytes from passing for a Targa header
    put16(b, 16, parameters);
    return padded(b, 64, 0x03);
}

Bytes placeable(const Bytes& header) {
    Bytes b(22);
    put32(b, 0, 0x9AC6CDD7);
    put16(b, 14, 1440);
    return cat(b, header);
}

Bytes emf(uint32_t signature) {
    Bytes b(88);
    put32(b, 0, 1);
    put32(b, 4, 88);
    put32(b, 40, signature);
    return b;
}

Bytes psd(uint16_t version, uint16_t channels, uint16_t depth, uint16_t mode) {
    Bytes b = text("8BPS");
    put16(b, 4, version, true);
    put16(b, 12, channels, true);
    put32(b, 14, 32, true);
    put32(b, 18, 32, true);
    put16(b, 22, depth, true);
    put16(b, 24, mode, true);
    return padded(b, 64);
}

Bytes jpegAt(size_t offset) { return cat(Bytes(offset, 0), padded({0xFF, 0xD8, 0xFF, 0xE0}, 40)); }

Bytes hdPhoto(bool withAllTags) {
    std::vector<Tag> tags = {{0xBC01, kByte, 16, 0}, {0xBC80, kLong, 1, 64}, {0xBC81, kLong, 1, 64}, {0xBCC0, kLong, 1, 200}};
    if (withAllTags) tags.push_back({0xBCC1, kLong, 1, 100});
    Bytes b = tiffFile(false, tags);
    b[2] = 0xBC;
    b[3] = 0x01;
    return padded(b, 256);
}

Bytes commentLines(int count) {
    std::string s = "P4";
    for (int i = 0; i < count; ++i) s += "\n# note " + std::to_string(i);
    return text(s + "\n3 3\n");
}

// ---- content cases -----------------------------------------------------------

struct ContentCase {
    const char* name;
    Bytes bytes;
    TFileKind expected;
};

const std::vector<ContentCase>& contentCases() {
    static const std::vector<ContentCase> cases = {
        {"JFIF tag, 13 bytes", padded(text("JFIF"), 13), fkJPEG},
        {"JFIF tag, 12 bytes", padded(text("JFIF"), 12), fkUnknown},
        {"JFIF without its zero", padded(text("JFIFX"), 13), fkUnknown},
        {"GIF, 14 bytes", padded(text("GIF89a"), 14), fkGIF},
        {"GIF, 13 bytes", padded(text("GIF89a"), 13), fkUnknown},
        {"GIF with any version", padded(text("GIFxyz"), 20), fkGIF},
        {"PCX2 tag", padded(text("PCX2"), 13), fkPCX},
        {"PCX tag, 5 bytes", padded(text("PCX"), 5), fkPCX},
        {"PCX tag, 4 bytes", padded(text("PCX"), 4), fkUnknown},
        {"BMP, 15 bytes", padded(text("BM"), 15), fkBMP},
        {"BMP, 14 bytes", padded(text("BM"), 14), fkUnknown},
        {"PCX header, version 5", padded({10, 5}, 129), fkPCX},
        {"PCX header, version 6", padded({10, 6}, 129), fkUnknown},
        {"PCX header, 128 bytes", padded({10, 5}, 128), fkUnknown},
        {"TIFF tag", padded(text("TIFF"), 13), fkTIFF},

        {"TIFF little-endian", plainTiff(false), fkTIFF},
        {"TIFF big-endian", plainTiff(true), fkTIFF},
        {"TIFF without image length", tiffFile(false, {{256, kShort, 1, 10}}), fkUnknown},
        {"TIFF with a bad byte order mark", [] { Bytes b = plainTiff(); b[1] = 'X'; return b; }(), fkUnknown},
        {"TIFF directory beyond the end", [] { Bytes b = plainTiff(); put32(b, 4, static_cast<uint32_t>(b.size())); return b; }(),
         fkUnknown},
        {"MM with 0xBA at byte 8", [] { Bytes b = tiffFile(true, {{256, kShort, 1, 8}, {257, kShort, 1, 8}}, 12); b[8] = 0xBA; return b; }(),
         fkUnknown},
        {"MM with 0xB9 at byte 8", [] { Bytes b = tiffFile(true, {{256, kShort, 1, 8}, {257, kShort, 1, 8}}, 12); b[8] = 0xB9; return b; }(),
         fkTIFF},
        {"TIFF directory cut short keeps its entries", tiffFile(false, {{256, kShort, 1, 8}, {257, kShort, 1, 8}}, 8, 65535),
         fkTIFF},

        {"DNG version tag", plainTiff(false, 640, 480, {{50706, kByte, 4, 1}}), fkUnknown},
        {"DNG version tag of 3 bytes", plainTiff(false, 640, 480, {{50706, kByte, 3, 1}}), fkTIFF},
        {"photometric CFA", plainTiff(false, 640, 480, {{262, kShort, 1, 32803}}), fkUnknown},
        {"photometric CFA big-endian", plainTiff(true, 640, 480, {{262, kShort, 1, 32803}}), fkUnknown},
        {"photometric linear raw", plainTiff(false, 640, 480, {{262, kShort, 1, 34892}}), fkUnknown},
        {"photometric RGB", plainTiff(false, 640, 480, {{262, kShort, 1, 2}}), fkTIFF},
        {"photometric CFA as a long", plainTiff(false, 640, 480, {{262, kLong, 1, 32803}}), fkTIFF},
        {"SubIFDs + TIFF/EP, small thumbnail", plainTiff(false, 160, 120, {{330, kLong, 1, 0}, {37398, kByte, 4, 0}}),
         fkUnknown},
        {"SubIFDs + TIFF/EP, 200 wide", plainTiff(false, 200, 120, {{330, kLong, 1, 0}, {37398, kByte, 4, 0}}), fkTIFF},
        {"SubIFDs only, small", plainTiff(false, 160, 120, {{330, kLong, 1, 0}}), fkTIFF},

        {"HD Photo", hdPhoto(true), fkHDP},
        {"HD Photo missing a tag", hdPhoto(false), fkUnknown},

        {"PNG, 9 bytes", {137, 80, 78, 71, 13, 10, 26, 10, 0}, fkPNG},
        {"PNG, 8 bytes", {137, 80, 78, 71, 13, 10, 26, 10}, fkUnknown},
        {"DICOM", cat(Bytes(128), text("DICM")), fkDICOM},
        {"DICOM misspelt", cat(Bytes(128), text("DICX")), fkUnknown},

        {"icon", oneIcon(1), fkICO},
        {"cursor", oneIcon(2), fkCUR},
        {"icon directory type 3", oneIcon(3), fkUnknown},
        {"icon with no images", iconFile(1, {}), fkUnknown},
        {"icon, 23 bytes", iconFile(1, {{0, 1, 22}}, 23), fkICO},
        {"icon, 22 bytes", iconFile(1, {{0, 1, 22}}, 22), fkUnknown},
        {"icon entry reserved byte set", iconFile(1, {{1, 40, 22}}), fkUnknown},
        {"icon entry of no bytes", iconFile(1, {{0, 0, 22}}), fkUnknown},
        {"icon image inside its entry", iconFile(1, {{0, 40, 21}}), fkUnknown},
        {"second icon entry bad", iconFile(1, {{0, 40, 38}, {0, 40, 37}}), fkUnknown},
        {"two icon entries", iconFile(1, {{0, 40, 38}, {0, 40, 38}}), fkICO},
        {"icon entries past the end", [] { Bytes b = oneIcon(); put16(b, 4, 200); return b; }(), fkUnknown},

        {"Targa true colour", targa(0, 2, 24, 2, 2), fkTGA},
        {"Targa RLE colour-mapped", targa(1, 9, 8, 2, 2), fkTGA},
        {"Targa depth 15", targa(0, 2, 15, 2, 2), fkUnknown},
        {"Targa type 4", targa(0, 4, 24, 2, 2), fkUnknown},
        {"Targa colour map type 2", targa(2, 2, 24, 2, 2), fkUnknown},
        {"Targa height 0", targa(0, 2, 24, 2, 0), fkUnknown},

        {"PPM with a comment", text("P6\n# made by hand 0 0\n640 480\n255\n"), fkPXM},
        {"PBM behind comments", text("# lead\nP1\n#x\n2 #y\n 3\n0 1 0"), fkPXM},
        {"PGM behind separators", text("\x01\x02  P5\t7,9"), fkPXM},
        {"PXM magic P7", text("P7 1 1\n"), fkUnknown},
        {"PXM width 0", text("P5 0 10\n"), fkUnknown},
        {"PXM width not a number", text("P2 abc 3\n"), fkUnknown},
        {"PXM width beyond 32 bits", text("P3 4294967296 2\n"), fkUnknown},
        {"PXM without height", text("P3\n2"), fkUnknown},
        {"PXM within 501 tokens", commentLines(498), fkPXM},
        {"PXM beyond 501 tokens", commentLines(499), fkUnknown},

        {"JPEG 2000 file", padded({0, 0, 0, 12, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A}, 40), fkJP2},
        {"JPEG 2000 code stream", padded({0xFF, 0x4F, 0xFF, 0x51}, 40), fkJ2K},
        {"JPEG 2000 code stream, wrong marker", padded({0xFF, 0x4F, 0xFF, 0x52}, 40), fkUnknown},
        {"AVI", padded(cat(text("RIFF\x10\0\0\0"), text("AVI LIST")), 64), fkAVI},
        {"WAVE", padded(cat(text("RIFF\x10\0\0\0"), text("WAVEfmt ")), 64), fkUnknown},

        {"DCX", dcx({12, 0}, 20), fkDCX},
        {"DCX page at the end", dcx({20, 0}, 20), fkUnknown},
        {"DCX of 1024 pages, then junk", dcxPages(1024, 8, 0xFFFFFFFF), fkDCX},
        {"DCX junk as page 1024", dcxPages(1023, 8, 0xFFFFFFFF), fkUnknown},

        {"metafile", metafileHeader(1, 9, 0), fkWMF},
        {"placeable metafile", placeable(metafileHeader(1, 9, 0)), fkWMF},
        {"metafile with parameters", metafileHeader(1, 9, 1), fkUnknown},
        {"metafile header size 10", metafileHeader(1, 10, 0), fkUnknown},
        {"placeable key before a bad header", placeable(metafileHeader(2, 9, 0)), fkUnknown},
        {"plain header behind a placeable key", [] { Bytes b = metafileHeader(1, 9, 0); put32(b, 0, 0x9AC6CDD7); return b; }(),
         fkUnknown},
        {"EMF", emf(0x464D4520), fkEMF},
        {"EMF wrong signature", emf(0x464D4521), fkUnknown},

        {"PSD", psd(1, 3, 8, 3), fkPSD},
        {"PSD at the upper limits", psd(1, 24, 16, 9), fkPSD},
        {"PSD version 2", psd(2, 3, 8, 3), fkUnknown},
        {"PSD no channels", psd(1, 0, 8, 3), fkUnknown},
        {"PSD 25 channels", psd(1, 25, 8, 3), fkUnknown},
        {"PSD depth 0", psd(1, 3, 0, 3), fkUnknown},
        {"PSD depth 17", psd(1, 3, 17, 3), fkUnknown},
        {"PSD colour mode 10", psd(1, 3, 8, 10), fkUnknown},

        {"JPEG at 0", jpegAt(0), fkJPEG},
        {"JPEG at 149", jpegAt(149), fkJPEG},
        {"JPEG at 150", jpegAt(150), fkUnknown},

        {"WBMP", padded({0, 0, 10, 10}, 24, 0xFF), fkUnknown},
        {"empty", {}, fkUnknown},
    };
    return cases;
}

TEST(DetectStreamKind, RecognisesEachFormatAndRejectsNearMisses) {
    for (const ContentCase& c : contentCases()) {
        SCOPED_TRACE(c.name);
        TMemoryStream stream(c.bytes);
        EXPECT_STREQ(FileKindName(DetectStreamKind(stream)), FileKindName(c.expected));
        EXPECT_EQ(stream.Position(), 0);
    }
}

// Offsets and sizes count from where the stream stands, which is also
// where it is left.
TEST(DetectStreamKind, TestsFromTheCurrentPositionAndRestoresIt) {
    const Bytes prefix = text("GIF89a\x89PNG junk");
    for (const ContentCase& c : contentCases()) {
        SCOPED_TRACE(c.name);
        TMemoryStream stream(cat(prefix, c.bytes));
        stream.Seek(static_cast<int64_t>(prefix.size()));
        EXPECT_STREQ(FileKindName(DetectStreamKind(stream)), FileKindName(c.expected));
        EXPECT_EQ(stream.Position(), static_cast<int64_t>(prefix.size()));
    }
}

// A stream of zeros that claims to be huge and counts what is read from it.
class HugeZeroStream final : public TStream {
public:
    size_t Read(void* buffer, size_t count) override {
        size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), std::max<int64_t>(kSize - m_position, 0)));
        std::memset(buffer, 0, n);
        m_position += static_cast<int64_t>(n);
        bytesRead += n;
        if (failAfter >= 0 && bytesRead > static_cast<size_t>(failAfter)) throw std::runtime_error("device gone");
        return n;
    }
    size_t Write(const void*, size_t) override { return 0; }
    int64_t Position() const override { return m_position; }
    void Seek(int64_t position) override { m_position = position; }
    int64_t Size() const override { return kSize; }
    bool SetSize(int64_t) override { return false; }

    static constexpr int64_t kSize = int64_t{8} << 30;
    size_t bytesRead = 0;
    int64_t failAfter = -1;

private:
    int64_t m_position = 0;
};

TEST(DetectStreamKind, ReadsOnlyTheStartOfAHugeStream) {
    HugeZeroStream stream;
    stream.Seek(1000);
    EXPECT_EQ(DetectStreamKind(stream), fkUnknown);
    EXPECT_EQ(stream.Position(), 1000);
    EXPECT_LT(stream.bytesRead, size_t{2} << 20);
}

TEST(DetectStreamKind, AnExceptionInATestGivesUnknownAndRestoresThePosition) {
    HugeZeroStream stream;
    stream.failAfter = 200;
    stream.Seek(7);
    EXPECT_EQ(DetectStreamKind(stream), fkUnknown);
    EXPECT_EQ(stream.Position(), 7);
}

TEST(DetectStreamKind, ReadsAFullTiffDirectoryWithinBounds) {
    // 65535 entries, none of them width or length: the whole directory is
    // walked, and nothing beyond it.
    Bytes b = tiffFile(false, {}, 8, 65535);
    b.resize(8 + 2 + 65535 * 12 + 4, 0x07);
    TMemoryStream stream(b);
    EXPECT_EQ(DetectStreamKind(stream), fkUnknown);
}

// ---- registered formats ------------------------------------------------------

constexpr TFileKind kTestKind = 100;

struct ScopedFormat {
    explicit ScopedFormat(TFileFormatInfo info) : kind(info.Kind) { RegisterFileFormat(std::move(info)); }
    ~ScopedFormat() { UnregisterFileFormat(kind); }
    TFileKind kind;
};

TFileFormatInfo testFormat(TFileKind kind, const char* extensions, bool internal) {
    TFileFormatInfo info;
    info.Kind = kind;
    info.Description = "Loopsmith test format";
    info.Extensions = extensions;
    info.Internal = internal;
    info.ReadProc = true;
    return info;
}

TEST(DetectStreamKind, AsksRegisteredContentTestsAfterTheBuiltInOnes) {
    TFileFormatInfo info = testFormat(kTestKind, "LSMK", true);
    TFileKind seenKind = fkUnknown;
    info.TestProc = [&](TStream& s, TFileKind kind) {
        seenKind = kind;
        char magic[4] = {};
        bool ok = s.Read(magic, 4) == 4 && std::memcmp(magic, "LSMK", 4) == 0;
        s.Seek(s.Size());
        return ok;
    };
    const Bytes marked = padded(text("xxLSMK"), 32);
    {
        ScopedFormat scoped(std::move(info));
        TMemoryStream stream(marked);
        stream.Seek(2);
        EXPECT_EQ(DetectStreamKind(stream), kTestKind);
        EXPECT_EQ(seenKind, kTestKind);
        EXPECT_EQ(stream.Position(), 2);

        TMemoryStream png(padded(cat({137, 80, 78, 71}, text("LSMK")), 16));
        EXPECT_EQ(DetectStreamKind(png), fkPNG);
    }
    TMemoryStream stream(marked);
    stream.Seek(2);
    EXPECT_EQ(DetectStreamKind(stream), fkUnknown);
}

TEST(DetectStreamKind, AThrowingRegisteredTestGivesUnknown) {
    TFileFormatInfo info = testFormat(kTestKind, "LSMK", true);
    info.TestProc = [](TStream&, TFileKind) -> bool { throw std::runtime_error("broken plug-in"); };
    ScopedFormat scoped(std::move(info));
    TMemoryStream stream(padded(text("nothing known"), 40));
    stream.Seek(3);
    EXPECT_EQ(DetectStreamKind(stream), fkUnknown);
    EXPECT_EQ(stream.Position(), 3);
}

// ---- files -------------------------------------------------------------------

std::filesystem::path writeTemp(const std::string& name, const Bytes& bytes) {
    auto path = test::TempDir() / name;
    test::WriteFile(path, bytes);
    return path;
}

TEST(DetectFileKind, WeighsTheExtensionAgainstTheContent) {
    const Bytes png = padded({137, 80, 78, 71, 13, 10, 26, 10}, 32);
    struct Case {
        const char* fileName;
        Bytes bytes;
        bool check;
        TFileKind expected;
    } cases[] = {
        {"cursor.ico", oneIcon(2), false, fkCUR},
        {"cursor.ico", oneIcon(2), true, fkICO},
        {"icon.CUR", oneIcon(1), true, fkCUR},
        {"icon.png", oneIcon(1), false, fkICO},
        // The extension tells icons from cursors only; it does not turn an
        // icon into a PNG.
        {"icon.png", oneIcon(1), true, fkUnknown},
        {"picture.jpg", png, false, fkPNG},
        {"picture.jpg", png, true, fkUnknown},
        {"picture.PNG", png, true, fkPNG},
        {"picture", png, false, fkPNG},
        {"picture", png, true, fkUnknown},
        {"archive.png.gz", png, true, fkUnknown},
        {"plain.tif", plainTiff(), true, fkTIFF},
        {"plain.nef", plainTiff(), false, fkRAW},
        {"plain.NEF", plainTiff(), true, fkRAW},
        {"cfa.nef", plainTiff(false, 640, 480, {{262, kShort, 1, 32803}}), false, fkUnknown},
        {"image.wbmp", padded({0, 0, 10, 10}, 24, 0xFF), false, fkUnknown},
        {"image.wbmp", padded({0, 0, 10, 10}, 24, 0xFF), true, fkUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fileName) + (c.check ? ", checked" : ", unchecked"));
        auto path = writeTemp(c.fileName, c.bytes);
        EXPECT_STREQ(FileKindName(DetectFileKind(path, c.check)), FileKindName(c.expected));
        std::filesystem::remove(path);
    }
}

TEST(DetectFileKind, NoFileGivesUnknown) {
    auto folder = test::TempDir() / "folder.gif";
    std::filesystem::create_directories(folder);
    std::vector<std::filesystem::path> paths = {std::filesystem::path(), test::TempDir() / "missing.png", folder};
#if defined(__unix__)
    // Opening a pipe would block until someone writes to it.
    auto fifo = test::TempDir() / "pipe.gif";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    paths.push_back(fifo);
#endif
    for (const std::filesystem::path& path : paths) {
        SCOPED_TRACE(path.string());
        EXPECT_EQ(DetectFileKind(path, false), fkUnknown);
        EXPECT_EQ(DetectFileKind(path, true), fkUnknown);
    }
}

TEST(DetectFileKind, AnExternalFormatsExtensionIsDecisive) {
    const Bytes png = padded({137, 80, 78, 71, 13, 10, 26, 10}, 32);
    auto path = writeTemp("picture.lsx", png);
    {
        ScopedFormat scoped(testFormat(kTestKind, "LSX", false));
        EXPECT_EQ(DetectFileKind(path, false), kTestKind);
        EXPECT_EQ(DetectFileKind(path, true), kTestKind);
    }
    {
        // Registered as internal, the same entry only has to agree.
        ScopedFormat scoped(testFormat(kTestKind, "LSX", true));
        EXPECT_EQ(DetectFileKind(path, false), fkPNG);
        EXPECT_EQ(DetectFileKind(path, true), fkUnknown);
    }
    EXPECT_EQ(DetectFileKind(path, false), fkPNG);
    EXPECT_EQ(DetectFileKind(path, true), fkUnknown);
}

}  // namespace
}  // namespace loopsmith
