#include <gtest/gtest.h>

#include <cstring>

#include "gif/gif_blocks.h"
#include "gif/gif_writer.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes writeGif(const TRaster& image, TIOParams& params) {
    TMemoryStream out;
    bool abort = false;
    TProgressContext ctx(abort);
    WriteGifStream(out, image, params, ctx);
    EXPECT_FALSE(abort);
    return out.bytes();
}

Bytes slice(const Bytes& b, size_t at, size_t n) { return Bytes(b.begin() + at, b.begin() + at + n); }

TRaster fourColours() {
    return test::MakeRGBRaster(2, 2, [](int x, int y) {
        static const TRGB c[] = {MakeRGB(255, 0, 0), MakeRGB(0, 255, 0), MakeRGB(0, 0, 255), MakeRGB(9, 9, 9)};
        return c[y * 2 + x];
    });
}

TEST(WriteGifStream, TwoByTwoFourColourFile) {
    TIOParams params;
    Bytes gif = writeGif(fourColours(), params);
    ASSERT_GT(gif.size(), 13u + 768 + 8 + 10 + 3 + 1);
    EXPECT_EQ(slice(gif, 0, 13), (Bytes{'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0xF7, 0xFF, 0}));
    EXPECT_EQ(slice(gif, 13, 12), (Bytes{255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9}));
    EXPECT_EQ(slice(gif, 25, 768 - 12), Bytes(768 - 12, 0));
    EXPECT_EQ(slice(gif, 781, 8), (Bytes{0x21, 0xF9, 0x04, 0x08, 0x00, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(slice(gif, 789, 10), (Bytes{0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0}));
    EXPECT_EQ(gif[799], 8);  // minimum code size
    EXPECT_EQ(slice(gif, gif.size() - 4, 4), (Bytes{0x21, 0xFE, 0x00, 0x3B}));

    test::GiflibFile decoded = test::DecodeWithGiflib(gif);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    ASSERT_EQ(decoded.frames.size(), 1u);
    EXPECT_EQ(decoded.frames[0].indices, (Bytes{0, 1, 2, 3}));
    EXPECT_EQ(params.GifTransparent, false);
}

TEST(WriteGifStream, ColourDepthShapesScreenTableAndCodeSize) {
    struct Case {
        int channelBits;
        uint8_t screenPacked;
        size_t tableBytes;
        uint8_t minCodeSize;
    } cases[] = {
        {8, 0xF7, 768, 8}, {4, 0xB3, 48, 4}, {1, 0x80, 6, 2},
        {16, 0xF7, 768, 8},  // a 16-bit source must not corrupt the packed fields
        {0, 0xF7, 768, 8},
    };
    TRaster image = test::MakePhotoLike(20, 10);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channelBits);
        TIOParams params;
        params.ChannelBits = c.channelBits;
        Bytes gif = writeGif(image, params);
        EXPECT_EQ(gif[10], c.screenPacked);
        EXPECT_EQ(gif[13 + c.tableBytes], 0x21);
        EXPECT_EQ(gif[13 + c.tableBytes + 8 + 10], c.minCodeSize);
        EXPECT_TRUE(test::DecodeWithGiflib(gif).ok);
    }
}

TEST(WriteGifStream, NumbersTooLargeForTheirFieldsArePinned) {
    struct Case {
        int32_t delay, left, top;
        Bytes delayBytes, leftTop;
    } cases[] = {
        {7, 0, 0, {7, 0}, {0, 0, 0, 0}},
        {65636, 70000, -3, {0xFF, 0xFF}, {0xFF, 0xFF, 0, 0}},
        {-5, 1, 258, {0, 0}, {1, 0, 2, 1}},
    };
    for (const Case& c : cases) {
        TIOParams params;
        params.GifDelay = c.delay;
        params.GifLeft = c.left;
        params.GifTop = c.top;
        Bytes gif = writeGif(fourColours(), params);
        EXPECT_EQ(slice(gif, 781 + 4, 2), c.delayBytes) << c.delay;
        EXPECT_EQ(slice(gif, 789 + 1, 4), c.leftTop) << c.left;
    }
}

TEST(WriteGifStream, CommentsAreSplitIntoSubBlocks) {
    TIOParams params;
    params.GifComments = {"a", "", "bc"};
    Bytes gif = writeGif(fourColours(), params);
    EXPECT_EQ(slice(gif, gif.size() - 9, 9), (Bytes{0x21, 0xFE, 1, 'a', 2, 'b', 'c', 0, 0x3B}));

    params.GifComments = {std::string(300, 'x')};
    gif = writeGif(fourColours(), params);
    ASSERT_GT(gif.size(), 305u);
    size_t ext = gif.size() - 1 - 1 - 45 - 1 - 255 - 1 - 2;
    EXPECT_EQ(slice(gif, ext, 3), (Bytes{0x21, 0xFE, 255}));
    EXPECT_EQ(gif[ext + 3 + 255], 45);
    test::GiflibFile decoded = test::DecodeWithGiflib(gif);
    ASSERT_TRUE(decoded.ok);
    ASSERT_EQ(decoded.comments.size(), 2u);  // giflib reports each sub-block
    EXPECT_EQ(decoded.comments[0] + decoded.comments[1], std::string(300, 'x'));
}

TEST(WriteGifStream, AlphaPlaneBecomesTheTransparentIndex) {
    TRaster image = test::MakePhotoLike(40, 30);
    TRaster& alpha = image.AlphaChannel();
    for (int x = 0; x < 40; ++x) alpha.Scanline(3)[x] = static_cast<uint8_t>(x * 7);  // 0..254 transparent...
    alpha.Scanline(4)[5] = 255;                                                         // ...255 opaque
    TIOParams params;
    Bytes gif = writeGif(image, params);
    EXPECT_TRUE(params.GifTransparent);
    EXPECT_EQ(slice(gif, 781, 8), (Bytes{0x21, 0xF9, 0x04, 0x09, 0, 0, 0xFF, 0}));
    test::GiflibFile decoded = test::DecodeWithGiflib(gif);
    ASSERT_TRUE(decoded.ok);
    const test::GiflibFrame& f = decoded.frames[0];
    EXPECT_EQ(f.transparentIndex, 255);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            bool transparent = image.Alpha(x, y) < 255;
            EXPECT_EQ(f.indices[y * 40 + x] == 255, transparent) << x << "," << y;
        }
}

TEST(WriteGifStream, GiflibDecodesWhatWasEncoded) {
    struct Case {
        const char* name;
        TRaster image;
        int bits;
        bool interlaced;
    } cases[] = {
        {"photo 8 bit", test::MakePhotoLike(61, 37), 8, false},
        {"photo 8 bit interlaced", test::MakePhotoLike(33, 19, 2), 8, true},
        {"photo 4 bit", test::MakePhotoLike(50, 9, 3), 4, false},
        {"photo 1 bit interlaced", test::MakePhotoLike(17, 11, 4), 1, true},
        {"grey", test::MakeRGBRaster(30, 12, [](int x, int y) { uint8_t v = uint8_t(x * 8 + y); return MakeRGB(v, v, v); }), 8, false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        TIOParams params;
        params.ChannelBits = c.bits;
        params.GifInterlaced = c.interlaced;
        Bytes gif = writeGif(c.image, params);
        TGifFrame expected(c.image, params, false);
        test::GiflibFile decoded = test::DecodeWithGiflib(gif);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        const test::GiflibFrame& f = decoded.frames[0];
        EXPECT_EQ(f.interlaced, c.interlaced);
        EXPECT_EQ(f.indices, expected.Indices());
        Bytes table;
        expected.AppendColourTable(table);
        ASSERT_EQ(f.colours.size() * 3, table.size());
        for (size_t i = 0; i < f.colours.size(); ++i)
            EXPECT_EQ(f.colours[i], MakeRGB(table[3 * i], table[3 * i + 1], table[3 * i + 2]));
    }
}

TEST(WriteGifStream, DepthOneUsesTheTwoColoursItHas) {
    struct Case {
        const char* name;
        TRGB a, b;
        Bytes indices;
    } cases[] = {
        {"darker is black", MakeRGB(200, 10, 10), MakeRGB(10, 10, 200), {1, 0, 1, 0}},
        {"equal luminance: first met is black", MakeRGB(100, 100, 100), MakeRGB(100, 100, 100), {0, 0, 0, 0}},
        {"uniform light frame stays white", MakeRGB(240, 240, 240), MakeRGB(240, 240, 240), {1, 1, 1, 1}},
        {"uniform dark frame is black", MakeRGB(20, 20, 20), MakeRGB(20, 20, 20), {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TRaster image = test::MakeRGBRaster(4, 1, [&](int x, int) { return x % 2 ? c.b : c.a; });
        TIOParams params;
        params.ChannelBits = 1;
        test::GiflibFile decoded = test::DecodeWithGiflib(writeGif(image, params));
        ASSERT_TRUE(decoded.ok);
        EXPECT_EQ(decoded.frames[0].indices, c.indices);
        EXPECT_EQ(decoded.frames[0].colours, (std::vector<TRGB>{MakeRGB(0, 0, 0), MakeRGB(255, 255, 255)}));
    }
}

TEST(WriteGifStream, PaletteIndexBeyondTheDepthTakesTheNearestColour) {
    TRaster image(3, 1, px8p);
    image.Palette() = {MakeRGB(0, 0, 0), MakeRGB(250, 250, 250), MakeRGB(0, 0, 200), MakeRGB(10, 10, 10),
                       MakeRGB(240, 255, 255)};
    image.Scanline(0)[0] = 1;
    image.Scanline(0)[1] = 3;  // nearest of black/white/blue/dark: 3 itself is allowed at 2 bits
    image.Scanline(0)[2] = 4;  // out of range at 2 bits: nearest is white (1)
    TIOParams params;
    params.ChannelBits = 2;
    test::GiflibFile decoded = test::DecodeWithGiflib(writeGif(image, params));
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.frames[0].indices, (Bytes{1, 3, 1}));
}

TEST(WriteGifStream, AbortCheckpoints) {
    struct Case {
        int abortAt;  // -1: before the call
        size_t expectedSize;
    } cases[] = {{-1, 0}, {0, 0}, {30, 0}, {70, 13 + 768 + 8 + 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.abortAt);
        bool abort = c.abortAt == -1;
        TProgressContext ctx(abort, [&](void*, int percent) {
            if (percent == c.abortAt) abort = true;
        });
        TMemoryStream out;
        TIOParams params;
        WriteGifStream(out, fourColours(), params, ctx);
        EXPECT_TRUE(abort);
        EXPECT_EQ(out.bytes().size(), c.expectedSize);
    }
}

TEST(WriteGifStream, MissingEncoderEndsAfterTheDescriptor) {
    TGifLzwEncodeFunc saved = DefaultGifLzwEncoder;
    DefaultGifLzwEncoder = nullptr;
    TIOParams params;
    params.GifLzwEncoder = nullptr;
    TMemoryStream out;
    bool abort = false;
    TProgressContext ctx(abort);
    WriteGifStream(out, fourColours(), params, ctx);
    DefaultGifLzwEncoder = saved;
    EXPECT_TRUE(abort);
    EXPECT_EQ(out.bytes().size(), 13u + 768 + 8 + 10);
}

}  // namespace
}  // namespace loopsmith
