#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "gif/gif_builder.h"
#include "gif/lzw_decoder.h"
#include "imaging/io_params.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

using test::CodeWriter;
using test::ImageData;

struct Decoded {
    bool ok = false;
    std::vector<uint8_t> pixels;
    int64_t position = 0;
};

// Decodes `data` placed after a few lead bytes and followed by a trailer,
// so that both the restored and the advanced stream position show.
Decoded decode(const std::vector<uint8_t>& data, int width, int height, bool interlaced = false) {
    std::vector<uint8_t> bytes{0xAA, 0xBB, 0xCC};
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.push_back(0x3B);
    TMemoryStream stream(bytes);
    stream.Seek(3);
    Decoded d;
    d.pixels.assign(static_cast<size_t>(width) * height, 0xEE);
    d.ok = DecodeGifLzw(stream, height, width, interlaced, d.pixels.data());
    d.position = stream.Position();
    return d;
}

std::vector<uint8_t> oneImageGif(int bits, int width, int height, const std::vector<uint8_t>& indices,
                                 bool interlaced = false) {
    test::GifRecipe recipe;
    recipe.screenWidth = width;
    recipe.screenHeight = height;
    recipe.globalTable = test::TestTable(bits);
    test::FrameRecipe f;
    f.width = width;
    f.height = height;
    f.indices = indices;
    f.interlaced = interlaced;
    f.control = false;
    recipe.frames.push_back(f);
    return test::BuildGif(recipe);
}

// Codes of an image encoded by giflib, decoded in place in the file: the
// indices come back and the stream ends up on the trailer.
TEST(DecodeGifLzw, RoundTripsGiflibStreamsAtEveryCodeSize) {
    struct Case {
        int bits, width, height;
        bool noise;
    };
    const Case cases[] = {
        {1, 256, 200, true},  {1, 61, 37, false},  {2, 256, 200, true},  {2, 61, 37, false}, {3, 200, 160, true},
        {4, 200, 160, true},  {5, 160, 160, true}, {6, 160, 160, true},  {7, 128, 128, true}, {8, 128, 128, true},
        {8, 301, 97, false},  {8, 1, 1, true},     {3, 1000, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bits " << c.bits << ", " << c.width << "x" << c.height
                                        << (c.noise ? " noise" : " runs"));
        std::vector<uint8_t> indices = test::TestIndices(c.width, c.height, c.bits, c.noise);
        std::vector<uint8_t> gif = oneImageGif(c.bits, c.width, c.height, indices);
        ASSERT_FALSE(gif.empty());
        const size_t offset = test::ImageDataOffsets(gif).at(0);
        EXPECT_EQ(gif[offset], std::max(2, c.bits));
        TMemoryStream stream(gif);
        stream.Seek(static_cast<int64_t>(offset));
        std::vector<uint8_t> pixels(indices.size(), 0xEE);
        ASSERT_TRUE(DecodeGifLzw(stream, c.height, c.width, false, pixels.data()));
        EXPECT_EQ(pixels, indices);
        EXPECT_EQ(stream.Position(), static_cast<int64_t>(gif.size()) - 1);
    }
}

TEST(DecodeGifLzw, PutsInterlacedRowsInPlace) {
    for (int height : {1, 2, 3, 4, 5, 8, 9, 13, 17, 31}) {
        SCOPED_TRACE(testing::Message() << "height " << height);
        std::vector<uint8_t> indices = test::TestIndices(7, height, 4, false, static_cast<uint32_t>(height));
        std::vector<uint8_t> gif = oneImageGif(4, 7, height, indices, true);
        ASSERT_EQ(test::DecodeWithGiflib(gif).frames.at(0).indices, indices);
        TMemoryStream stream(gif);
        stream.Seek(static_cast<int64_t>(test::ImageDataOffsets(gif).at(0)));
        std::vector<uint8_t> pixels(indices.size());
        ASSERT_TRUE(DecodeGifLzw(stream, height, 7, true, pixels.data()));
        EXPECT_EQ(pixels, indices);
    }
}

// A code may be split over sub-blocks of any size.
TEST(DecodeGifLzw, SubBlockSizesDoNotMatter) {
    std::vector<uint8_t> indices = test::TestIndices(90, 40, 8, true);
    std::vector<uint8_t> gif = oneImageGif(8, 90, 40, indices);
    const size_t offset = test::ImageDataOffsets(gif).at(0);
    std::vector<uint8_t> codes;
    for (size_t p = offset + 1; gif[p] != 0; p += gif[p] + 1u) codes.insert(codes.end(), &gif[p + 1], &gif[p + 1 + gif[p]]);
    for (size_t blockSize : {1u, 2u, 7u, 254u, 255u}) {
        SCOPED_TRACE(blockSize);
        Decoded d = decode(ImageData(8, codes, blockSize), 90, 40);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.pixels, indices);
    }
}

// Hand-made code streams at minimum code size 2: clear 4, end 5, the
// first free code 6, codes of 3 bits until code 8 is due.
TEST(DecodeGifLzw, HandMadeCodeStreams) {
    struct Case {
        const char* name;
        int minCodeSize;
        std::vector<std::pair<uint32_t, int>> codes;  // code, bit width
        bool terminator;
        int width;
        std::vector<uint8_t> expected;  // empty: a failure
    };
    const Case cases[] = {
        {"a stream without a leading clear code starts as after one", 2, {{1, 3}, {1, 3}, {6, 3}, {5, 4}}, true, 4,
         {1, 1, 1, 1}},
        {"a code equal to the next code repeats the previous string", 2, {{4, 3}, {2, 3}, {6, 3}, {5, 3}}, true, 3,
         {2, 2, 2}},
        {"a code above the next code fails", 2, {{4, 3}, {1, 3}, {7, 3}, {5, 3}}, true, 3, {}},
        {"the first code after a clear beyond the table reads as 0", 2, {{4, 3}, {7, 3}, {3, 3}, {5, 3}}, true, 3,
         {0, 3, 0}},
        {"an end code after a clear with data behind it fails", 2,
         {{4, 3}, {5, 3}, {1, 3}, {1, 3}, {1, 3}, {1, 3}, {1, 3}}, true, 2, {}},
        {"an end code after a clear that closes the data is an empty image", 2, {{4, 3}, {5, 3}}, true, 2, {0, 0}},
        {"cut short without end code or terminator: the rest reads 0", 2, {{4, 3}, {1, 3}, {2, 3}, {3, 3}}, false, 6,
         {1, 2, 3, 0, 0, 0}},
        {"pixels beyond the image are dropped", 2, {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {5, 4}}, true, 2, {1, 2}},
        {"clear codes in the middle restart the table", 2,
         {{4, 3}, {1, 3}, {1, 3}, {4, 3}, {2, 3}, {6, 3}, {5, 3}}, true, 5, {1, 1, 2, 2, 2}},
        {"minimum code size 1 fails", 1, {{2, 2}, {1, 2}, {3, 2}}, true, 1, {}},
        {"minimum code size 10 fails", 10, {{1024, 11}, {1, 11}, {1025, 11}}, true, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CodeWriter w;
        for (auto [code, width] : c.codes) w.put(code, width);
        std::vector<uint8_t> data = ImageData(c.minCodeSize, w.finish(), 255, c.terminator);
        Decoded d = decode(data, c.width, 1);
        if (c.expected.empty()) {
            EXPECT_FALSE(d.ok);
            EXPECT_EQ(d.position, 3) << "the stream goes back to the code size byte";
        } else {
            EXPECT_TRUE(d.ok);
            EXPECT_EQ(d.pixels, c.expected);
            // Without a terminator the trailer byte reads as a length and
            // the data runs to the end of the stream.
            EXPECT_EQ(d.position, static_cast<int64_t>(3 + data.size() + (c.terminator ? 0 : 1)));
        }
    }
}

// An encoder that never clears its table: once the table is full the
// codes stay at 12 bits and no entries are added (a deferred clear).
std::vector<uint8_t> encodeWithoutClearing(const std::vector<uint8_t>& pixels, int minCodeSize) {
    const uint32_t clear = 1u << minCodeSize, end = clear + 1;
    std::map<std::pair<uint32_t, uint8_t>, uint32_t> table;
    uint32_t nextEntry = end + 1, decoderNext = end + 1;
    int width = minCodeSize + 1;
    bool first = true;
    CodeWriter w;
    w.put(clear, width);
    // Mirrors the decoder: each code after the first defines one entry.
    auto emit = [&](uint32_t code) {
        w.put(code, width);
        if (!first && decoderNext < 4096 && ++decoderNext == (1u << width) && width < 12) ++width;
        first = false;
    };
    uint32_t prefix = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        auto it = table.find({prefix, pixels[i]});
        if (it != table.end()) {
            prefix = it->second;
            continue;
        }
        emit(prefix);
        if (nextEntry < 4096) table[{prefix, pixels[i]}] = nextEntry++;
        prefix = pixels[i];
    }
    emit(prefix);
    w.put(end, width);
    return w.finish();
}

TEST(DecodeGifLzw, KeepsAFullTableUntilTheNextClearCode) {
    const int width = 200, height = 200;
    std::vector<uint8_t> indices = test::TestIndices(width, height, 2, true);
    std::vector<uint8_t> data = ImageData(2, encodeWithoutClearing(indices, 2));
    Decoded d = decode(data, width, height);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, indices);

    // giflib, the reference, reads the same stream the same way.
    std::vector<uint8_t> gif{'G', 'I', 'F', '8', '9', 'a', 200, 0, 200, 0, 0x81, 0, 0};
    for (int i = 0; i < 12; ++i) gif.push_back(static_cast<uint8_t>(i * 20));
    const uint8_t descriptor[] = {0x2C, 0, 0, 0, 0, 200, 0, 200, 0, 0};
    gif.insert(gif.end(), std::begin(descriptor), std::end(descriptor));
    gif.insert(gif.end(), data.begin(), data.end());
    gif.push_back(0x3B);
    test::GiflibFile reference = test::DecodeWithGiflib(gif);
    ASSERT_TRUE(reference.ok) << reference.error;
    EXPECT_EQ(reference.frames.at(0).indices, indices);
}

// Random code streams of every minimum code size: no crash, and a
// failure always puts the stream back.
TEST(DecodeGifLzw, SurvivesGarbage) {
    test::Lcg rng(99);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> codes(rng.next() % 400);
        for (uint8_t& b : codes) b = static_cast<uint8_t>(rng.next());
        const int minCodeSize = 2 + static_cast<int>(rng.next() % 8);
        const int width = static_cast<int>(rng.next() % 40), height = static_cast<int>(rng.next() % 40);
        Decoded d = decode(ImageData(minCodeSize, codes, 1 + rng.next() % 255, rng.next() % 4 != 0), width, height,
                           rng.next() % 2 == 0);
        if (!d.ok) {
            EXPECT_EQ(d.position, 3);
        }
    }
}

TEST(DecodeGifLzw, IsTheInstalledDecoder) { EXPECT_EQ(DefaultGifLzwDecoder, &DecodeGifLzw); }

}  // namespace
}  // namespace loopsmith
