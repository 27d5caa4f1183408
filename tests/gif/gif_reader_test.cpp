#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "gif/gif_builder.h"
#include "gif/gif_compose.h"
#include "gif/gif_reader.h"
#include "sources/image_io.h"
#include "sources/image_reader.h"
#include "support/test_support.h"
#include "util/stream.h"

// The largest single allocation since the last reset, so the hostile-size
// cases can show that nothing big was asked for. The replacement pair is
// malloc and free, which GCC cannot see through.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<size_t> g_largestAllocation{0};

void* operator new(size_t size) {
    size_t seen = g_largestAllocation.load();
    while (size > seen && !g_largestAllocation.compare_exchange_weak(seen, size)) {
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace loopsmith {
namespace {

using test::FrameRecipe;
using test::GifRecipe;

struct ReadResult {
    TRaster image;
    std::optional<TRaster> mask;
    TIOParams params;
    int32_t count = -1;
    bool aborted = false;
};

ReadResult readGif(const std::vector<uint8_t>& bytes, int index, bool paramsOnly = false, bool noMask = false) {
    ReadResult r;
    TMemoryStream stream(bytes);
    r.params.SetImageIndex(index);
    TProgressContext ctx(r.aborted);
    ReadGifStream(stream, r.image, r.count, r.params, ctx, paramsOnly, r.mask, noMask);
    return r;
}

struct Loaded {
    TRaster image;
    TIOParams params;
    int32_t count = 0;
    bool aborted = false;
};

Loaded loadGif(const std::vector<uint8_t>& bytes, int index) {
    TImageIO io;
    io.Params().SetImageIndex(index);
    TMemoryStream stream(bytes);
    Loaded l;
    l.count = io.LoadGifStream(stream);
    l.image = io.Bitmap();
    l.params = io.Params();
    l.aborted = io.Aborting();
    return l;
}

FrameRecipe frame(int left, int top, int width, int height, int bits, uint32_t seed, bool noise = true) {
    FrameRecipe f;
    f.left = left;
    f.top = top;
    f.width = width;
    f.height = height;
    f.indices = test::TestIndices(width, height, bits, noise, seed);
    return f;
}

void expectPixels(const TRaster& image, const test::GiflibFrame& reference) {
    ASSERT_EQ(image.Width(), reference.width);
    ASSERT_EQ(image.Height(), reference.height);
    for (int y = 0; y < reference.height; ++y)
        for (int x = 0; x < reference.width; ++x) {
            const uint8_t index = reference.indices[static_cast<size_t>(y) * reference.width + x];
            ASSERT_EQ(image.PixelRGB(x, y), reference.colours.at(index)) << "at " << x << "," << y;
        }
}

TEST(ReadGifStream, ReadsTheWantedImageAndItsParameters) {
    GifRecipe recipe;
    recipe.screenWidth = 50;
    recipe.screenHeight = 40;
    recipe.background = 2;
    recipe.globalTable = test::TestTable(4);
    recipe.comments = {"first", "second"};
    recipe.frames.push_back(frame(0, 0, 50, 40, 4, 1));
    FrameRecipe second = frame(7, 9, 21, 13, 3, 2);
    second.localTable = test::TestTable(3, 11);
    second.disposal = 3;
    second.delayCs = 12;
    second.transparent = 5;
    second.interlaced = true;
    recipe.frames.push_back(second);
    recipe.frames.push_back(frame(1, 2, 3, 4, 4, 3));
    const std::vector<uint8_t> gif = test::BuildGif(recipe);
    const test::GiflibFile reference = test::DecodeWithGiflib(gif);
    ASSERT_TRUE(reference.ok);

    ReadResult r = readGif(gif, 1);
    EXPECT_FALSE(r.aborted);
    EXPECT_EQ(r.count, 3);
    const TIOParams& p = r.params;
    EXPECT_EQ(p.GifImageCount, 3);
    EXPECT_EQ(p.GifSignature, "GIF89a");
    EXPECT_EQ(p.GifScreenWidth, 50);
    EXPECT_EQ(p.GifScreenHeight, 40);
    EXPECT_EQ(p.GifBackgroundColor, recipe.globalTable[2]);
    EXPECT_EQ(p.GifComments, recipe.comments);
    EXPECT_EQ(p.GifLeft, 7);
    EXPECT_EQ(p.GifTop, 9);
    EXPECT_EQ(p.ImageWidth, 21);
    EXPECT_EQ(p.OriginalHeight, 13);
    EXPECT_EQ(p.GifDelay, 12);
    EXPECT_EQ(p.GifDisposal, 3);
    EXPECT_TRUE(p.GifTransparent);
    EXPECT_TRUE(p.GifInterlaced);
    EXPECT_EQ(p.GifTransparentColor, second.localTable[5]);
    EXPECT_EQ(p.ChannelBits, 3);
    EXPECT_EQ(p.ChannelCount, 1);
    EXPECT_EQ(p.SourcePalette, second.localTable);
    EXPECT_EQ(p.SourcePaletteCount, 8);
    EXPECT_EQ(r.image.PixelLayout(), px24RGB);
    expectPixels(r.image, reference.frames[1]);

    // Only the graphic control of the wanted image counts.
    ReadResult last = readGif(gif, 2);
    EXPECT_EQ(last.params.GifDelay, 0);
    EXPECT_EQ(last.params.GifDisposal, 0);
    EXPECT_FALSE(last.params.GifTransparent);
    expectPixels(last.image, reference.frames[2]);
}

TEST(ReadGifStream, TransparencyMask) {
    GifRecipe recipe;
    recipe.screenWidth = 16;
    recipe.screenHeight = 8;
    recipe.globalTable = test::TestTable(2);
    FrameRecipe f = frame(0, 0, 16, 8, 2, 4);
    f.transparent = 1;
    recipe.frames.push_back(f);
    FrameRecipe unused = f;
    unused.indices.assign(unused.indices.size(), 2);
    recipe.frames.push_back(unused);
    const std::vector<uint8_t> gif = test::BuildGif(recipe);

    ReadResult r = readGif(gif, 0);
    ASSERT_TRUE(r.mask.has_value());
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            EXPECT_EQ(r.mask->Scanline(y)[x], f.indices[static_cast<size_t>(y) * 16 + x] == 1 ? 0 : 255);
    EXPECT_FALSE(readGif(gif, 0, false, true).mask.has_value()) << "no mask when none is wanted";
    EXPECT_FALSE(readGif(gif, 1).mask.has_value()) << "a transparent index no pixel uses";
}

TEST(ReadGifStream, TwoColourTables) {
    struct Case {
        const char* name;
        std::vector<TRGB> table;
        TPixelLayout layout;
    };
    const Case cases[] = {
        {"black then white", {TRGB{}, TRGB{255, 255, 255}}, px1g},
        {"white then black", {TRGB{255, 255, 255}, TRGB{}}, px24RGB},
        {"two colours", {MakeRGB(200, 0, 0), MakeRGB(0, 0, 90)}, px24RGB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GifRecipe recipe;
        recipe.screenWidth = 13;
        recipe.screenHeight = 3;
        recipe.globalTable = c.table;
        recipe.frames.push_back(frame(0, 0, 13, 3, 1, 5));
        const std::vector<uint8_t> gif = test::BuildGif(recipe);
        ReadResult r = readGif(gif, 0);
        EXPECT_EQ(r.params.ChannelBits, 1);
        EXPECT_EQ(r.image.PixelLayout(), c.layout);
        expectPixels(r.image, test::DecodeWithGiflib(gif).frames[0]);
    }
}

// A file with neither a local nor a global table: black, white, then grey
// i for index i; the screen's size bits still give ChannelBits.
TEST(ReadGifStream, DefaultPaletteWithoutAnyTable) {
    for (int bits : {1, 8}) {
        SCOPED_TRACE(bits);
        GifRecipe recipe;
        recipe.screenWidth = 4;
        recipe.screenHeight = 1;
        recipe.globalTable = test::TestTable(bits);
        FrameRecipe f = frame(0, 0, 4, 1, bits, 1);
        f.indices = bits == 1 ? std::vector<uint8_t>{0, 1, 1, 0} : std::vector<uint8_t>{0, 1, 7, 200};
        recipe.frames.push_back(f);
        std::vector<uint8_t> gif = test::BuildGif(recipe);
        gif[10] &= 0x7F;
        gif.erase(gif.begin() + 13, gif.begin() + 13 + (3 << bits));
        ReadResult r = readGif(gif, 0);
        ASSERT_FALSE(r.aborted);
        EXPECT_EQ(r.params.ChannelBits, bits);
        for (int x = 0; x < 4; ++x) {
            const uint8_t i = f.indices[x];
            const uint8_t level = i == 0 ? 0 : i == 1 ? 255 : i;
            EXPECT_EQ(r.image.PixelRGB(x, 0), (TRGB{level, level, level}));
        }
        EXPECT_EQ(r.image.PixelLayout(), bits == 1 ? px1g : px24RGB);
    }
}

TEST(ReadGifStream, ParametersOnlyDecodesNothing) {
    GifRecipe recipe;
    recipe.screenWidth = 30;
    recipe.screenHeight = 20;
    recipe.globalTable = test::TestTable(5);
    recipe.frames.push_back(frame(0, 0, 30, 20, 5, 1));
    FrameRecipe second = frame(2, 3, 17, 11, 5, 2);
    second.delayCs = 40;
    recipe.frames.push_back(second);
    recipe.frames.push_back(frame(0, 0, 5, 5, 5, 3));
    std::vector<uint8_t> gif = test::BuildGif(recipe);
    gif[test::ImageDataOffsets(gif).at(1)] = 1;  // a code size no decoder accepts

    EXPECT_TRUE(readGif(gif, 1).aborted);
    ReadResult r = readGif(gif, 1, true);
    EXPECT_FALSE(r.aborted);
    EXPECT_TRUE(r.image.IsEmpty());
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(r.params.ImageWidth, 17);
    EXPECT_EQ(r.params.ImageHeight, 11);
    EXPECT_EQ(r.params.GifDelay, 40);
    EXPECT_EQ(r.params.ChannelBits, 5);
}

TEST(ReadGifStream, TruncatedFiles) {
    GifRecipe recipe;
    recipe.screenWidth = 32;
    recipe.screenHeight = 32;
    recipe.globalTable = test::TestTable(4);
    recipe.frames.push_back(frame(0, 0, 32, 32, 4, 1));
    recipe.frames.push_back(frame(0, 0, 32, 32, 4, 2));
    const std::vector<uint8_t> gif = test::BuildGif(recipe);
    const std::vector<size_t> data = test::ImageDataOffsets(gif);
    struct Case {
        const char* name;
        size_t length;
        bool aborted;
        int count;
    };
    const Case cases[] = {
        {"empty", 0, true, 0},
        {"inside the header", 8, true, 0},
        {"inside the global table", 13 + 20, true, 0},
        {"right after the global table", 13 + 48, true, 0},
        {"inside the first image's data", data[0] + 40, false, 1},
        {"inside the second image's data", data[1] + 40, false, 2},
        {"without the trailer", gif.size() - 1, false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> cut(gif.begin(), gif.begin() + static_cast<ptrdiff_t>(c.length));
        ReadResult r = readGif(cut, 0);
        EXPECT_EQ(r.aborted, c.aborted);
        EXPECT_EQ(r.count, c.count);
    }
    // What a cut code stream did not reach reads as index 0.
    const std::vector<uint8_t> cut(gif.begin(), gif.begin() + static_cast<ptrdiff_t>(data[0] + 40));
    ReadResult r = readGif(cut, 0);
    const test::GiflibFrame full = test::DecodeWithGiflib(gif).frames[0];
    for (int x = 0; x < 32; ++x) {
        EXPECT_EQ(r.image.PixelRGB(x, 0), full.colours[full.indices[x]]);
        EXPECT_EQ(r.image.PixelRGB(x, 31), full.colours[0]);
    }
}

// A graphic control extension whose block is not 4 bytes long still
// gives its values, and the walk stays in step with the blocks.
TEST(ReadGifStream, GraphicControlOfAnotherSize) {
    std::vector<uint8_t> gif{'G', 'I', 'F', '8', '9', 'a', 2, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255};
    const uint8_t control[] = {0x21, 0xF9, 5, 0x09, 7, 0, 1, 0xEE, 0};
    const uint8_t image[] = {0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0, 2, 2, 0x4C, 0x01, 0};  // codes 4, 1, 0, 5
    gif.insert(gif.end(), std::begin(control), std::end(control));
    gif.insert(gif.end(), std::begin(image), std::end(image));
    gif.insert(gif.end(), std::begin(image), std::end(image));
    gif.push_back(0x3B);
    ReadResult r = readGif(gif, 0);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.params.GifDelay, 7);
    EXPECT_EQ(r.params.GifDisposal, 2);
    EXPECT_TRUE(r.params.GifTransparent);
    EXPECT_EQ(r.image.PixelRGB(0, 0), (TRGB{255, 255, 255}));
    EXPECT_EQ(r.image.PixelRGB(1, 0), TRGB{});
    ASSERT_TRUE(r.mask.has_value());
    EXPECT_EQ(r.mask->Scanline(0)[0], 0);
}

// A header-sized GIF that claims a huge screen or frame.
std::vector<uint8_t> hostileGif(int screenWidth, int screenHeight, int width, int height, int images = 1) {
    std::vector<uint8_t> gif{'G', 'I', 'F', '8', '9', 'a'};
    auto put16 = [&](int v) {
        gif.push_back(static_cast<uint8_t>(v));
        gif.push_back(static_cast<uint8_t>(v >> 8));
    };
    put16(screenWidth);
    put16(screenHeight);
    gif.insert(gif.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255});
    for (int i = 0; i < images; ++i) {
        gif.push_back(0x2C);
        put16(0);
        put16(0);
        put16(width);
        put16(height);
        gif.insert(gif.end(), {0, 2, 2, 0x4C, 0x01, 0});
    }
    gif.push_back(0x3B);
    return gif;
}

TEST(ReadGifStream, RefusesSizesTheDataCannotHold) {
    struct Case {
        const char* name;
        std::vector<uint8_t> gif;
        bool readAborts;
    };
    const Case cases[] = {
        {"frame 65000x65000", hostileGif(10, 10, 65000, 65000), true},
        {"screen 65535x65535", hostileGif(65535, 65535, 1, 1), true},
        {"frame 16000x16000 in a tiny file", hostileGif(10, 10, 16000, 16000), true},
        {"screen 1x16384 with frames 16384x1: the canvas", hostileGif(1, 16384, 16384, 1, 2), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_largestAllocation = 0;
        EXPECT_EQ(readGif(c.gif, 0).aborted, c.readAborts);
        EXPECT_EQ(readGif(c.gif, 0, true).aborted, c.readAborts);
        EXPECT_TRUE(loadGif(c.gif, 1).aborted);
        EXPECT_LT(g_largestAllocation.load(), size_t{1} << 20);
    }
}

// Random damage to a valid animation never crashes a read or a load.
TEST(ReadGifStream, SurvivesDamagedFiles) {
    GifRecipe recipe;
    recipe.screenWidth = 24;
    recipe.screenHeight = 18;
    recipe.globalTable = test::TestTable(3);
    recipe.comments = {"x"};
    recipe.frames.push_back(frame(0, 0, 24, 18, 3, 1));
    FrameRecipe f = frame(3, 4, 10, 9, 3, 2);
    f.disposal = 3;
    f.transparent = 2;
    f.interlaced = true;
    recipe.frames.push_back(f);
    recipe.frames.push_back(frame(5, 1, 7, 7, 3, 3));
    const std::vector<uint8_t> gif = test::BuildGif(recipe);
    test::Lcg rng(5);
    for (int round = 0; round < 400; ++round) {
        std::vector<uint8_t> bad = gif;
        for (int k = 1 + static_cast<int>(rng.next() % 6); k > 0; --k)
            bad[rng.next() % bad.size()] = static_cast<uint8_t>(rng.next());
        if (rng.next() % 3 == 0) bad.resize(rng.next() % bad.size());
        for (int index = 0; index < 3; ++index) readGif(bad, index);
        loadGif(bad, 2);
    }
}

// Composition checked against a plain compositor over giflib's frames.
struct Rgba {
    std::vector<TRGB> rgb;
    std::vector<uint8_t> alpha;
};

Rgba referenceFrame(const test::GiflibFile& g, TRGB background, int n) {
    const size_t w = static_cast<size_t>(g.screenWidth);
    Rgba canvas{std::vector<TRGB>(w * g.screenHeight, background), std::vector<uint8_t>(w * g.screenHeight, 0)};
    Rgba saved;
    const test::GiflibFrame* previous = nullptr;
    for (int k = 0; k <= n; ++k) {
        if (previous && previous->disposal == 2)
            for (int y = previous->top; y < previous->top + previous->height; ++y)
                for (int x = previous->left; x < previous->left + previous->width; ++x) {
                    canvas.rgb[y * w + x] = background;
                    canvas.alpha[y * w + x] = 0;
                }
        if (previous && previous->disposal == 3) canvas = saved;
        const test::GiflibFrame& f = g.frames[static_cast<size_t>(k)];
        if (f.disposal == 3) saved = canvas;
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const uint8_t i = f.indices[static_cast<size_t>(y) * f.width + x];
                if (i == f.transparentIndex) continue;
                canvas.rgb[(f.top + y) * w + f.left + x] = f.colours[i];
                canvas.alpha[(f.top + y) * w + f.left + x] = 255;
            }
        previous = &f;
    }
    return canvas;
}

void expectCanvas(const TRaster& image, const Rgba& expected, int width) {
    ASSERT_TRUE(image.HasAlphaChannel());
    for (size_t i = 0; i < expected.rgb.size(); ++i) {
        const int x = static_cast<int>(i % width), y = static_cast<int>(i / width);
        ASSERT_EQ(image.PixelRGB(x, y), expected.rgb[i]) << "at " << x << "," << y;
        ASSERT_EQ(image.Alpha(x, y), expected.alpha[i]) << "at " << x << "," << y;
    }
}

GifRecipe animation() {
    GifRecipe recipe;
    recipe.screenWidth = 40;
    recipe.screenHeight = 30;
    recipe.background = 5;
    recipe.globalTable = test::TestTable(4);
    FrameRecipe f0 = frame(0, 0, 40, 30, 4, 1);
    f0.disposal = 1;
    FrameRecipe f1 = frame(5, 5, 10, 10, 4, 2);
    f1.disposal = 2;
    f1.transparent = 3;
    FrameRecipe f2 = frame(20, 10, 12, 8, 3, 3);
    f2.localTable = test::TestTable(3, 8);
    f2.disposal = 3;
    f2.transparent = 0;
    FrameRecipe f3 = frame(12, 6, 15, 15, 4, 4, false);
    f3.interlaced = true;
    FrameRecipe f4 = frame(0, 22, 8, 8, 4, 5);
    f4.disposal = 3;
    FrameRecipe f5 = frame(0, 0, 40, 30, 1, 6);
    f5.transparent = 1;
    f5.disposal = 2;
    FrameRecipe f6 = frame(30, 20, 6, 6, 4, 7);
    f6.control = false;
    recipe.frames = {f0, f1, f2, f3, f4, f5, f6};
    return recipe;
}

TEST(LoadGifStream, ComposesEveryFrameWithItsDisposal) {
    const GifRecipe recipe = animation();
    const std::vector<uint8_t> gif = test::BuildGif(recipe);
    const test::GiflibFile reference = test::DecodeWithGiflib(gif);
    ASSERT_TRUE(reference.ok);
    for (int n = 0; n < 9; ++n) {
        SCOPED_TRACE(testing::Message() << "frame " << n);
        Loaded l = loadGif(gif, n);
        ASSERT_FALSE(l.aborted);
        EXPECT_EQ(l.count, 7);
        EXPECT_EQ(l.params.GifImageIndex, n);
        EXPECT_EQ(l.params.FileKind, 2);
        EXPECT_EQ(l.params.GifDisposal, 2);
        EXPECT_EQ(l.params.GifLeft, 0);
        EXPECT_EQ(l.params.GifTop, 0);
        expectCanvas(l.image, referenceFrame(reference, recipe.globalTable[5], std::min(n, 6)), 40);
    }
}

// The loader's walk: one canvas kept over all frames gives what loading
// each frame on its own gives.
TEST(TGifCanvas, OneWalkMatchesLoadingEachFrame) {
    const std::vector<uint8_t> gif = test::BuildGif(animation());
    TGifCanvas canvas;
    for (int n = 0; n < 7; ++n) {
        SCOPED_TRACE(n);
        ReadResult r = readGif(gif, n);
        ASSERT_FALSE(r.aborted);
        if (r.mask) r.image.AlphaChannel() = std::move(*r.mask);
        ASSERT_TRUE(canvas.AddFrame(r.image, r.params));
        EXPECT_EQ(r.params.GifDisposal, 2);
        Loaded l = loadGif(gif, n);
        ASSERT_EQ(canvas.Canvas().Width(), l.image.Width());
        for (int y = 0; y < l.image.Height(); ++y)
            for (int x = 0; x < l.image.Width(); ++x) {
                ASSERT_EQ(canvas.Canvas().PixelRGB(x, y), l.image.PixelRGB(x, y));
                ASSERT_EQ(canvas.Canvas().Alpha(x, y), l.image.Alpha(x, y));
            }
    }
}

// A 10x10 image at (5, 5) over a full green first image; frame 2 is one
// pixel at (0, 0). What the rectangle holds when frame 2 is shown:
TEST(LoadGifStream, DisposalOfAnImageBeforeTheNext) {
    struct Case {
        const char* name;
        bool firstCovers;  // image 0 covers the screen
        int disposal;      // of the 10x10 image
        TRGB colour;
        uint8_t alpha;
    };
    const TRGB red = MakeRGB(255, 0, 0), green = MakeRGB(0, 255, 0), blue = MakeRGB(0, 0, 255);
    const Case cases[] = {
        {"none: the image stays", true, 0, blue, 255},
        {"keep: the image stays", true, 1, blue, 255},
        {"background: cleared and transparent", true, 2, red, 0},
        {"previous: what image 0 left", true, 3, green, 255},
        {"previous, as the first image: the empty screen", false, 3, red, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GifRecipe recipe;
        recipe.screenWidth = 20;
        recipe.screenHeight = 20;
        recipe.globalTable = {red, green, blue, MakeRGB(9, 9, 9)};
        if (c.firstCovers) {
            FrameRecipe f0 = frame(0, 0, 20, 20, 2, 1);
            f0.indices.assign(400, 1);
            f0.disposal = 1;
            recipe.frames.push_back(f0);
        }
        FrameRecipe box = frame(5, 5, 10, 10, 2, 2);
        box.indices.assign(100, 2);
        box.disposal = c.disposal;
        FrameRecipe dot = frame(0, 0, 1, 1, 2, 3);
        dot.indices = {3};
        recipe.frames.push_back(box);
        recipe.frames.push_back(dot);
        Loaded shown = loadGif(test::BuildGif(recipe), static_cast<int>(recipe.frames.size()) - 1);
        ASSERT_FALSE(shown.aborted);
        EXPECT_EQ(shown.image.PixelRGB(0, 0), MakeRGB(9, 9, 9));
        for (int y = 5; y < 15; ++y)
            for (int x = 5; x < 15; ++x) {
                ASSERT_EQ(shown.image.PixelRGB(x, y), c.colour) << x << "," << y;
                ASSERT_EQ(shown.image.Alpha(x, y), c.alpha) << x << "," << y;
            }
    }
}

TEST(LoadGifStream, SingleImageIsTheImageItself) {
    GifRecipe recipe;
    recipe.screenWidth = 20;
    recipe.screenHeight = 20;
    recipe.globalTable = test::TestTable(4);
    recipe.frames.push_back(frame(3, 4, 5, 6, 4, 1));
    const std::vector<uint8_t> gif = test::BuildGif(recipe);
    Loaded l = loadGif(gif, 0);
    ASSERT_FALSE(l.aborted);
    EXPECT_EQ(l.count, 1);
    EXPECT_EQ(l.params.GifLeft, 3);
    EXPECT_EQ(l.params.GifTop, 4);
    expectPixels(l.image, test::DecodeWithGiflib(gif).frames[0]);
}

TEST(LoadGifStream, FailedFrameKeepsThePreviousOne) {
    std::vector<uint8_t> gif = test::BuildGif(animation());
    gif[test::ImageDataOffsets(gif).at(2)] = 12;
    Loaded l = loadGif(gif, 4);
    EXPECT_TRUE(l.aborted);
    EXPECT_EQ(l.count, 3) << "the images met before reading stopped";
    expectCanvas(l.image, referenceFrame(test::DecodeWithGiflib(test::BuildGif(animation())), animation().globalTable[5], 1),
                 40);
}

TEST(LoadGifFile, NamesTheFileAndKeepsCommentsOnce) {
    GifRecipe recipe = animation();
    recipe.comments = {"made by hand", "twice"};
    const std::filesystem::path path = test::TempDir() / "animation.gif";
    test::WriteFile(path, test::BuildGif(recipe));
    TImageIO io;
    io.Params().SetImageIndex(3);
    EXPECT_EQ(io.LoadGifFile(path), 7);
    EXPECT_FALSE(io.Aborting());
    EXPECT_EQ(io.Params().FileName, path.string());
    EXPECT_EQ(io.Params().GifComments, recipe.comments);
    EXPECT_THROW(io.LoadGifFile(test::TempDir() / "missing.gif"), EFileError);
}

TEST(GifImageReader, ReadsTheComposedFrame) {
    const std::vector<uint8_t> gif = test::BuildGif(animation());
    TMemoryStream stream(gif);
    TRaster image;
    TIOParams params;
    params.SetImageIndex(4);
    bool aborted = false;
    TProgressContext ctx(aborted);
    GifImageReader().Read(stream, image, params, ctx, false);
    ASSERT_FALSE(aborted);
    EXPECT_EQ(params.GifImageCount, 7);
    expectCanvas(image, referenceFrame(test::DecodeWithGiflib(gif), animation().globalTable[5], 4), 40);

    TRaster none;
    TIOParams header;
    header.SetImageIndex(2);
    stream.Seek(0);
    GifImageReader().Read(stream, none, header, ctx, true);
    EXPECT_FALSE(aborted);
    EXPECT_TRUE(none.IsEmpty());
    EXPECT_EQ(header.ImageWidth, 12);
    EXPECT_EQ(header.GifImageCount, 7);
}

}  // namespace
}  // namespace loopsmith
