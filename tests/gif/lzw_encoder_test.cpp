#include "gif/lzw_encoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

std::vector<uint8_t> encode(int32_t width, int32_t height, int32_t bits, const std::vector<uint8_t>& pixels,
                            bool interlaced = false) {
    TMemoryStream out;
    EncodeGifLzw(out, height, width, bits, pixels.data(), interlaced);
    return out.bytes();
}

// The image data cut into its parts; `ok` is false when the sub-blocks do
// not end with a terminator exactly at the end of the bytes.
struct Blocks {
    bool ok = false;
    int minCodeSize = -1;
    std::vector<int> lengths;
    std::vector<uint8_t> data;
};

Blocks splitBlocks(const std::vector<uint8_t>& bytes, size_t at = 0) {
    Blocks b;
    if (at >= bytes.size()) return b;
    b.minCodeSize = bytes[at++];
    while (at < bytes.size()) {
        int n = bytes[at++];
        if (n == 0) {
            b.ok = at == bytes.size();
            return b;
        }
        if (at + n > bytes.size()) return b;
        b.lengths.push_back(n);
        b.data.insert(b.data.end(), bytes.begin() + at, bytes.begin() + at + n);
        at += n;
    }
    return b;
}

struct Code {
    uint32_t value;
    int width;
};

// Reads the code stream the way a GIF decoder does: the width follows the
// decoder's own table count, so wrongly timed width changes show up as
// garbage codes. Stops after the end code.
std::vector<Code> readCodes(const std::vector<uint8_t>& data, int minCodeSize) {
    const uint32_t clear = 1u << minCodeSize, end = clear + 1;
    std::vector<Code> codes;
    size_t bitPos = 0;
    int width = minCodeSize + 1;
    uint32_t next = clear + 2;
    bool first = true;
    while (bitPos + width <= data.size() * 8) {
        uint32_t code = 0;
        for (int i = 0; i < width; ++i, ++bitPos)
            code |= uint32_t((data[bitPos / 8] >> (bitPos % 8)) & 1) << i;
        codes.push_back({code, width});
        if (code == end) break;
        if (code == clear) {
            width = minCodeSize + 1;
            next = clear + 2;
            first = true;
            continue;
        }
        if (!first && next < 4096) ++next;
        first = false;
        if (next == (1u << width) && width < 12) ++width;
    }
    return codes;
}

std::vector<uint8_t> randomPixels(size_t count, int bits, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> p(count);
    for (auto& v : p) v = static_cast<uint8_t>(rng() & ((1u << bits) - 1));
    return p;
}

// Runs, stripes and a flat block, like a quantized drawing.
std::vector<uint8_t> structuredPixels(int w, int h, int bits) {
    std::vector<uint8_t> p(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int v = (x > w / 2 && y > h / 2) ? 1 : (x / 7 + (y / 5) * 3);
            p[size_t(y) * w + x] = static_cast<uint8_t>(v & ((1 << bits) - 1));
        }
    return p;
}

// A minimal GIF file around the encoder's output, so giflib can decode it.
std::vector<uint8_t> wrapInGif(int w, int h, int bits, const std::vector<uint8_t>& pixels, bool interlaced) {
    TMemoryStream s;
    const int tableBits = bits < 1 ? 1 : bits;
    std::vector<uint8_t> head = {'G', 'I', 'F', '8', '9', 'a', uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8),
                                 uint8_t(0x80 | (tableBits - 1)), 0, 0};
    for (int c = 0; c < (1 << tableBits); ++c) head.insert(head.end(), 3, uint8_t(c));
    head.insert(head.end(), {0x2C, 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8),
                             uint8_t(interlaced ? 0x40 : 0)});
    s.Write(head.data(), head.size());
    EncodeGifLzw(s, h, w, bits, pixels.data(), interlaced);
    const uint8_t trailer = 0x3B;
    s.Write(&trailer, 1);
    return s.bytes();
}

TEST(EncodeGifLzw, TinyImagesGiveTheExactBytes) {
    struct Case {
        const char* name;
        int width, height, bits;
        std::vector<uint8_t> pixels;
        std::vector<uint8_t> expected;
    };
    const Case kCases[] = {
        // Codes 256, 165, 257 at 9 bits: 0x100 | 0xA5 << 9 | 0x101 << 18 = 0x4054B00.
        {"1x1 depth 8", 1, 1, 8, {165}, {8, 4, 0x00, 0x4B, 0x05, 0x04, 0}},
        // Minimum code size 2, codes 4, 1, 5 at 3 bits: 4 | 1 << 3 | 5 << 6 = 0x14C.
        {"1x1 depth 1", 1, 1, 1, {1}, {2, 2, 0x4C, 0x01, 0}},
        {"depth 0 is written as depth 1", 1, 1, 0, {1}, {2, 2, 0x4C, 0x01, 0}},
        {"depth above 8 is written as depth 8", 1, 1, 12, {165}, {8, 4, 0x00, 0x4B, 0x05, 0x04, 0}},
        // Index 7 at depth 1 keeps its low bits (3): 4 | 3 << 3 | 5 << 6 = 0x15C.
        {"index beyond the depth is masked", 1, 1, 1, {7}, {2, 2, 0x5C, 0x01, 0}},
        // Clear then end: 0x100 | 0x101 << 9 = 0x20300.
        {"no pixels", 0, 0, 8, {}, {8, 3, 0x00, 0x03, 0x02, 0}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encode(c.width, c.height, c.bits, c.pixels), c.expected);
    }
}

// The string table's 5003 slots start a search at (pixel << 4) XOR prefix
// and step back by 5003 - slot (1 from slot 0). A first slot holding key 0
// (pixel 0 after prefix 0) is probed past; a later one ends the search as a
// miss, and the new string overwrites key 0, so "0 0" is coded again.
TEST(EncodeGifLzw, StringTableSlotsDecideWhichStringsAreKept) {
    struct Case {
        const char* name;
        std::vector<uint8_t> pixels;
        std::vector<uint32_t> codes;
    };
    const Case kCases[] = {
        // "0 0" takes slot 0 as 258; (1, 16) starts at slot 0, probes on to
        // 5002; the second "0 0" is found as 258.
        {"key 0 in slot 0 stays", {0, 0, 16, 1, 0, 0}, {256, 0, 0, 16, 1, 258, 257}},
        // (1, 16) takes slot 0, so "0 0" (260) goes to 5002. (156, 5) takes
        // slot 2501; (157, 21) starts there too, steps 2502 to slot 5002 and
        // overwrites key 0, so the last "0 0" is two codes again.
        {"key 0 elsewhere is overwritten",
         {16, 1, 0, 0, 5, 156, 21, 157, 0, 0},
         {256, 16, 1, 0, 0, 5, 156, 21, 157, 0, 0, 257}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const int w = static_cast<int>(c.pixels.size());
        const Blocks blocks = splitBlocks(encode(w, 1, 8, c.pixels));
        ASSERT_TRUE(blocks.ok);
        std::vector<uint32_t> codes;
        for (const Code& code : readCodes(blocks.data, 8)) codes.push_back(code.value);
        EXPECT_EQ(codes, c.codes);
        const auto decoded = test::DecodeWithGiflib(wrapInGif(w, 1, 8, c.pixels, false));
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.frames[0].indices, c.pixels);
    }
}

TEST(EncodeGifLzw, InterlacedImagesAreReadInPassOrder) {
    struct Case {
        int height;
        std::vector<int> order;
    };
    const Case kCases[] = {
        {1, {0}},
        {2, {0, 1}},
        {3, {0, 2, 1}},
        {5, {0, 4, 2, 1, 3}},
        {8, {0, 4, 2, 6, 1, 3, 5, 7}},
        {17, {0, 8, 16, 4, 12, 2, 6, 10, 14, 1, 3, 5, 7, 9, 11, 13, 15}},
    };
    const int w = 6;
    for (const Case& c : kCases) {
        SCOPED_TRACE("height " + std::to_string(c.height));
        std::vector<uint8_t> image(size_t(w) * c.height), permuted;
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t((i / w) * 37 + (i % w) * 3);
        for (int row : c.order) permuted.insert(permuted.end(), image.begin() + row * w, image.begin() + (row + 1) * w);
        EXPECT_EQ(encode(w, c.height, 8, image, true), encode(w, c.height, 8, permuted, false));
    }
}

TEST(EncodeGifLzw, FullTableEmitsClearAtTwelveBitsThenRestartsAtInitialWidth) {
    const auto pixels = randomPixels(160 * 160, 8, 7);
    const Blocks blocks = splitBlocks(encode(160, 160, 8, pixels));
    ASSERT_TRUE(blocks.ok);
    const auto codes = readCodes(blocks.data, 8);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.front().value, 256u);
    EXPECT_EQ(codes.back().value, 257u);

    // Every miss between two clears assigns one of 258..4095 (3838 codes);
    // the next miss emits its prefix and the clear code.
    std::vector<size_t> clears;
    for (size_t i = 0; i < codes.size(); ++i)
        if (codes[i].value == 256) clears.push_back(i);
    ASSERT_GE(clears.size(), 3u);
    for (size_t k = 1; k < clears.size(); ++k) {
        SCOPED_TRACE("reset " + std::to_string(k));
        const size_t at = clears[k];
        EXPECT_EQ(at - clears[k - 1], 3840u);
        EXPECT_EQ(codes[at - 1].width, 12);
        EXPECT_EQ(codes[at].width, 12);
        EXPECT_EQ(codes[at + 1].width, 9);
        EXPECT_LT(codes[at + 1].value, 256u);
    }
    // Each code refers to an entry that exists or is the one being defined.
    uint32_t next = 258;
    for (size_t i = 1; i + 1 < codes.size(); ++i) {
        if (codes[i].value == 256) {
            next = 258;
            continue;
        }
        ASSERT_LE(codes[i].value, next) << "code " << i;
        if (codes[i - 1].value != 256) ++next;
    }
    // The last byte is padded with zero bits above the end code.
    size_t usedBits = 0;
    for (const Code& c : codes) usedBits += c.width;
    ASSERT_EQ((usedBits + 7) / 8, blocks.data.size());
    if (usedBits % 8) {
        EXPECT_EQ(blocks.data.back() >> (usedBits % 8), 0);
    }
}

// The encoder always extends the longest string it knows, so the table a
// decoder rebuilds never gets the same string twice. (Only a dropped key 0
// can cause that; these pixels have no index 0.)
TEST(EncodeGifLzw, EveryStringIsAddedOnce) {
    const int w = 301, h = 211;
    auto random = randomPixels(size_t(w) * h, 8, 5);
    auto structured = structuredPixels(w, h, 8);
    for (auto* pixels : {&random, &structured}) {
        for (auto& v : *pixels) v = static_cast<uint8_t>(v | 1);
        const Blocks blocks = splitBlocks(encode(w, h, 8, *pixels));
        ASSERT_TRUE(blocks.ok);
        std::vector<uint32_t> firstPixel(4096);
        std::set<std::pair<uint32_t, uint32_t>> strings;
        uint32_t next = 258;
        int64_t previous = -1;
        for (const Code& c : readCodes(blocks.data, 8)) {
            if (c.value == 256 || c.value == 257) {
                strings.clear();
                next = 258;
                previous = -1;
                continue;
            }
            const uint32_t code = c.value;
            if (code < 256) firstPixel[code] = code;
            if (previous >= 0 && next < 4096) {
                const uint32_t first = code < next ? firstPixel[code] : firstPixel[previous];
                ASSERT_TRUE(strings.insert({uint32_t(previous), first}).second) << "code " << next;
                firstPixel[next++] = firstPixel[previous];
            }
            previous = code;
        }
    }
}

TEST(EncodeGifLzw, RoundTripsThroughGiflibAtEveryDepth) {
    for (int bits = 1; bits <= 8; ++bits)
        for (bool random : {true, false})
            for (bool interlaced : {false, true}) {
                // Large enough that random data resets the table several times.
                const int w = random ? 397 : 203, h = random ? 301 : 97;
                SCOPED_TRACE("depth " + std::to_string(bits) + (random ? " random" : " structured") +
                             (interlaced ? " interlaced" : ""));
                const auto pixels = random ? randomPixels(size_t(w) * h, bits, bits * 31 + interlaced)
                                           : structuredPixels(w, h, bits);
                const auto image = encode(w, h, bits, pixels, interlaced);
                const Blocks blocks = splitBlocks(image);
                ASSERT_TRUE(blocks.ok);
                EXPECT_EQ(blocks.minCodeSize, bits < 2 ? 2 : bits);
                for (size_t i = 0; i + 1 < blocks.lengths.size(); ++i) ASSERT_EQ(blocks.lengths[i], 254) << i;
                if (random) {
                    int clears = 0;
                    for (const Code& c : readCodes(blocks.data, blocks.minCodeSize))
                        clears += c.value == (1u << blocks.minCodeSize);
                    EXPECT_GE(clears, 3);
                }

                const auto decoded = test::DecodeWithGiflib(wrapInGif(w, h, bits, pixels, interlaced));
                ASSERT_TRUE(decoded.ok) << decoded.error;
                ASSERT_EQ(decoded.frames.size(), 1u);
                EXPECT_TRUE(decoded.frames[0].indices == pixels);
            }
}

TEST(EncodeGifLzw, SubBlocksHold254BytesExceptTheLast) {
    // Up to several of the writer's batched stream writes.
    for (int h : {1, 7, 120, 400}) {
        SCOPED_TRACE("rows " + std::to_string(h));
        const int w = 255;
        const auto pixels = randomPixels(size_t(w) * h, 8, h);
        const Blocks blocks = splitBlocks(encode(w, h, 8, pixels));
        ASSERT_TRUE(blocks.ok);
        ASSERT_FALSE(blocks.lengths.empty());
        for (size_t i = 0; i + 1 < blocks.lengths.size(); ++i) ASSERT_EQ(blocks.lengths[i], 254) << i;
        EXPECT_GE(blocks.lengths.back(), 1);
        EXPECT_LE(blocks.lengths.back(), 254);
        const auto decoded = test::DecodeWithGiflib(wrapInGif(w, h, 8, pixels, false));
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_TRUE(decoded.frames[0].indices == pixels);
    }
}

}  // namespace
}  // namespace loopsmith
