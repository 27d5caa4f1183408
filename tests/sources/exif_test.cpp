#include "sources/exif.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/io_params.h"

namespace loopsmith {
namespace {

// Builds a TIFF block with one directory; values longer than 4 bytes go
// after the directory.
class TiffBuilder {
public:
    explicit TiffBuilder(bool bigEndian) : m_big(bigEndian) {}

    struct Entry {
        uint16_t tag, type;
        uint32_t count;
        std::vector<uint8_t> value;
        int64_t offsetOverride = -1;
    };
    void add(Entry e) { m_entries.push_back(std::move(e)); }
    void ascii(uint16_t tag, const std::string& s) {
        std::vector<uint8_t> v(s.begin(), s.end());
        v.push_back(0);
        add({tag, 2, static_cast<uint32_t>(v.size()), v});
    }
    void utf16(uint16_t tag, const std::u16string& s) {
        std::vector<uint8_t> v;
        for (char16_t c : s) v.insert(v.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
        v.insert(v.end(), {0, 0});
        add({tag, 1, static_cast<uint32_t>(v.size()), v});
    }
    void rational(uint16_t tag, uint32_t num, uint32_t den) {
        std::vector<uint8_t> v;
        put32(v, num);
        put32(v, den);
        add({tag, 5, 1, v});
    }
    void unit(uint16_t value) {
        std::vector<uint8_t> v;
        put16(v, value);
        v.insert(v.end(), {0, 0});
        add({kTagResolutionUnit, 3, 1, v});
    }

    std::vector<uint8_t> build(int countOverride = -1) const {
        std::vector<uint8_t> b = m_big ? std::vector<uint8_t>{'M', 'M', 0, 42} : std::vector<uint8_t>{'I', 'I', 42, 0};
        put32(b, 8);
        put16(b, static_cast<uint16_t>(countOverride >= 0 ? countOverride : static_cast<int>(m_entries.size())));
        uint32_t data = static_cast<uint32_t>(8 + 2 + 12 * m_entries.size() + 4);
        std::vector<uint8_t> tail;
        for (const Entry& e : m_entries) {
            put16(b, e.tag);
            put16(b, e.type);
            put32(b, e.count);
            if (e.value.size() <= 4 && e.offsetOverride < 0) {
                std::vector<uint8_t> v = e.value;
                v.resize(4);
                b.insert(b.end(), v.begin(), v.end());
            } else {
                put32(b, e.offsetOverride >= 0 ? static_cast<uint32_t>(e.offsetOverride) : data + static_cast<uint32_t>(tail.size()));
                tail.insert(tail.end(), e.value.begin(), e.value.end());
            }
        }
        put32(b, 0);
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    }

private:
    void put16(std::vector<uint8_t>& b, uint16_t v) const {
        if (m_big) b.insert(b.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
        else b.insert(b.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
    }
    void put32(std::vector<uint8_t>& b, uint32_t v) const {
        if (m_big) {
            put16(b, static_cast<uint16_t>(v >> 16));
            put16(b, static_cast<uint16_t>(v));
        } else {
            put16(b, static_cast<uint16_t>(v));
            put16(b, static_cast<uint16_t>(v >> 16));
        }
    }

    bool m_big;
    std::vector<Entry> m_entries;
};

TEST(Exif, ReadsAllValuesInBothByteOrders) {
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        TiffBuilder t(big);
        t.rational(kTagXResolution, 720, 10);
        t.rational(kTagYResolution, 300, 1);
        t.unit(2);
        t.ascii(kTagArtist, "Ann");
        t.utf16(kTagXPTitle, u"Title é");
        t.utf16(kTagXPComment, u"Comment");
        t.utf16(kTagXPAuthor, u"Au");
        t.utf16(kTagXPKeywords, u"a;b");
        t.utf16(kTagXPSubject, u"Subj");
        const auto info = ReadTiffInfo(t.build());
        ASSERT_TRUE(info);
        EXPECT_EQ(info->Artist, "Ann");
        EXPECT_EQ(info->XPTitle, "Title é");
        EXPECT_EQ(info->XPComment, "Comment");
        EXPECT_EQ(info->XPAuthor, "Au");
        EXPECT_EQ(info->XPKeywords, "a;b");
        EXPECT_EQ(info->XPSubject, "Subj");
        EXPECT_EQ(info->DpiX, 72);
        EXPECT_EQ(info->DpiY, 300);
    }
}

TEST(Exif, ExifSegmentNeedsItsIdentifier) {
    TiffBuilder t(false);
    t.ascii(kTagArtist, "Bo");
    const std::vector<uint8_t> tiff = t.build();
    std::vector<uint8_t> segment = {'E', 'x', 'i', 'f', 0, 0};
    segment.insert(segment.end(), tiff.begin(), tiff.end());
    ASSERT_TRUE(ReadExifSegment(segment));
    EXPECT_EQ(ReadExifSegment(segment)->Artist, "Bo");
    EXPECT_FALSE(ReadExifSegment(tiff));
    segment[4] = 'x';
    EXPECT_FALSE(ReadExifSegment(segment));
}

// Offsets and counts that point outside the block skip that tag only; a
// directory count larger than the block stops at the block's end.
TEST(Exif, HostileEntriesAreSkipped) {
    TiffBuilder t(false);
    t.add({kTagXPTitle, 1, 0xFFFFFFFFu, {1, 2, 3, 4, 5, 6}});
    t.add({kTagXPComment, 1, 8, {'x', 0, 0, 0, 0, 0, 0, 0}, 0xFFFFFFF0});
    t.add({kTagXResolution, 5, 1, {0, 0, 0, 1, 0, 0, 0, 0}});  // zero denominator
    t.add({kTagArtist, 4, 1, {1, 0, 0, 0}});                   // wrong type
    t.ascii(kTagXPKeywords, "wrong type too");
    t.utf16(kTagXPAuthor, u"kept");
    for (int count : {-1, 0xFFFF}) {
        SCOPED_TRACE(count);
        const auto info = ReadTiffInfo(t.build(count));
        ASSERT_TRUE(info);
        EXPECT_EQ(info->XPTitle, "");
        EXPECT_EQ(info->XPComment, "");
        EXPECT_EQ(info->Artist, "");
        EXPECT_EQ(info->XPKeywords, "");
        EXPECT_EQ(info->XPAuthor, "kept");
        EXPECT_FALSE(info->DpiX);
    }
}

TEST(Exif, UnreadableBlocksGiveNothing) {
    const std::vector<std::vector<uint8_t>> blocks = {
        {},
        {'I', 'I', 42},
        {'I', 'I', 43, 0, 8, 0, 0, 0, 0, 0},
        {'X', 'X', 42, 0, 8, 0, 0, 0, 0, 0},
        {'I', 'I', 42, 0, 0xF0, 0xFF, 0xFF, 0xFF},  // directory past the end
        {'I', 'I', 42, 0, 8, 0, 0, 0, 0},           // directory count cut
    };
    for (const auto& b : blocks) EXPECT_FALSE(ReadTiffInfo(b));
    EXPECT_FALSE(ReadTiffDirectoryInfo(std::vector<uint8_t>{'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}, 0xFFFFFFFFu));
}

TEST(Exif, Utf16Conversion) {
    struct Case {
        std::vector<uint8_t> bytes;
        std::string expected;
    } cases[] = {
        {{'A', 0, 'B', 0}, "AB"},                              // no terminator
        {{'A', 0, 0, 0, 'B', 0}, "A"},                         // stops at zero
        {{'A', 0, 'B'}, "A"},                                  // odd byte left over
        {{0xE9, 0x00, 0x34, 0x96}, "\xC3\xA9\xE9\x98\xB4"},  // U+00E9 U+9634
        {{0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},        // surrogate pair: U+1F600
        {{0x3D, 0xD8, 'A', 0}, "\xEF\xBF\xBD" "A"},            // lone high surrogate
        {{0x00, 0xDE}, "\xEF\xBF\xBD"},                        // lone low surrogate
    };
    for (const Case& c : cases) EXPECT_EQ(Utf16LeToUtf8(c.bytes), c.expected);
}

TEST(Exif, AsciiBecomesUtf8) {
    const std::vector<uint8_t> utf8 = {'Z', 'o', 0xC3, 0xAB, 0, 'x'};
    const std::vector<uint8_t> latin1 = {'Z', 'o', 0xEB};
    const std::vector<uint8_t> cutUtf8 = {'a', 0xC3};
    EXPECT_EQ(TiffAsciiToUtf8(utf8), "Zoë");
    EXPECT_EQ(TiffAsciiToUtf8(latin1), "Zoë");
    EXPECT_EQ(TiffAsciiToUtf8(cutUtf8), "a\xC3\x83");
}

TEST(Exif, ResolutionUnits) {
    EXPECT_EQ(ResolutionToDpi(72, 2), 72);
    EXPECT_EQ(ResolutionToDpi(40, 3), 102);  // 101.6
    EXPECT_EQ(ResolutionToDpi(72, 1), std::nullopt);
    EXPECT_EQ(ResolutionToDpi(0, 2), std::nullopt);
    EXPECT_EQ(ResolutionToDpi(0.4, 2), std::nullopt);
    EXPECT_EQ(ResolutionToDpi(1e12, 2), std::nullopt);
}

TEST(Exif, ApplySetsEveryValueAndOnlyGivenResolutions) {
    TIOParams params;
    params.XPSubject = "old";
    params.DotsPerInchY = 55;
    TExifInfo info;
    info.Artist = "A";
    info.DpiX = 90;
    ApplyExifInfo(info, params);
    EXPECT_EQ(params.Artist, "A");
    EXPECT_EQ(params.XPSubject, "");
    EXPECT_EQ(params.DotsPerInchX, 90);
    EXPECT_EQ(params.DotsPerInchY, 55);
}

}  // namespace
}  // namespace loopsmith
