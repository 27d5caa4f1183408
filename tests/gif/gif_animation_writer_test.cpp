#include <gtest/gtest.h>

#include <functional>

#include "gif/gif_animation_writer.h"
#include "sources/image_io.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

struct FrameRecipe {
    int w, h, left, top, bits;
    bool alpha, interlaced;
    int delay;
};

TRaster makeFrame(const FrameRecipe& f, uint32_t seed) {
    TRaster image = test::MakePhotoLike(f.w, f.h, seed);
    if (f.alpha) {
        TRaster& a = image.AlphaChannel();
        for (int y = 0; y < f.h; ++y)
            for (int x = 0; x < f.w; ++x) a.Scanline(y)[x] = (x + y) % 5 == 0 ? 0 : 255;
    }
    return image;
}

void applyRecipe(TIOParams& p, const FrameRecipe& f) {
    p.ChannelBits = f.bits;
    p.GifLeft = f.left;
    p.GifTop = f.top;
    p.GifInterlaced = f.interlaced;
    p.GifDelay = f.delay;
}

// The reference: save the first frame, insert every later one at the end.
std::vector<uint8_t> saveAndInsert(const std::vector<FrameRecipe>& frames, const std::filesystem::path& path,
                                   const std::function<void(TIOParams&)>& setup) {
    TImageIO io;
    setup(io.Params());
    for (size_t k = 0; k < frames.size(); ++k) {
        io.Bitmap() = makeFrame(frames[k], static_cast<uint32_t>(k + 1));
        applyRecipe(io.Params(), frames[k]);
        if (k == 0) {
            io.SaveGifFile(path);
        } else {
            io.Params().SetImageIndex(static_cast<int32_t>(k));
            EXPECT_EQ(io.InsertGifFrame(path), static_cast<int32_t>(k + 1));
        }
    }
    return test::ReadFile(path);
}

std::vector<uint8_t> writeLinear(const std::vector<FrameRecipe>& frames, const std::filesystem::path& path,
                                 const std::function<void(TIOParams&)>& setup) {
    TIOParams params;
    setup(params);
    {
        TGifAnimationWriter writer(path);
        for (size_t k = 0; k < frames.size(); ++k) {
            TRaster image = makeFrame(frames[k], static_cast<uint32_t>(k + 1));
            applyRecipe(params, frames[k]);
            bool abort = false;
            TProgressContext ctx(abort);
            EXPECT_EQ(writer.AddFrame(image, params, ctx), static_cast<int32_t>(k + 1));
        }
    }
    return test::ReadFile(path);
}

TEST(TGifAnimationWriter, SameBytesAsSaveThenInsert) {
    struct Case {
        const char* name;
        std::vector<FrameRecipe> frames;
        std::function<void(TIOParams&)> setup;
    } cases[] = {
        {"single frame", {{30, 20, 0, 0, 8, false, false, 10}}, [](TIOParams&) {}},
        {"growing screen, mixed depths and alpha",
         {{30, 20, 0, 0, 8, false, false, 10},
          {40, 10, 5, 0, 4, true, false, 20},
          {10, 50, 0, 7, 1, false, true, 30},
          {12, 12, 70, 3, 1, true, false, 0},
          {35, 25, 0, 0, 8, true, true, 5}},
         [](TIOParams&) {}},
        {"comments, a larger screen set beforehand, depth 1 first",
         {{16, 16, 0, 0, 1, false, false, 3}, {16, 16, 2, 2, 8, false, false, 3}, {8, 8, 0, 0, 4, false, true, 3}},
         [](TIOParams& p) {
             p.GifComments = {"made by a test", std::string(400, 'c')};
             p.GifScreenWidth = 64;
             p.GifScreenHeight = 48;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto reference = saveAndInsert(c.frames, test::TempDir() / "reference.gif", c.setup);
        auto linear = writeLinear(c.frames, test::TempDir() / "linear.gif", c.setup);
        EXPECT_EQ(linear, reference);
        test::GiflibFile decoded = test::DecodeWithGiflib(linear);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.frames.size(), c.frames.size());
    }
}

TEST(TGifAnimationWriter, WritesIntoAStreamAndReportsProgress) {
    TMemoryStream out;
    out.Write(std::vector<uint8_t>{'x', 'y'});
    std::vector<int> reports;
    {
        TGifAnimationWriter writer(out);
        TIOParams params;
        for (int k = 0; k < 3; ++k) {
            bool abort = false;
            TProgressContext ctx(abort, [&](void*, int p) { reports.push_back(p); });
            writer.AddFrame(test::MakePhotoLike(9, 9, k), params, ctx);
        }
        writer.Finish();
        EXPECT_EQ(writer.FrameCount(), 3);
    }
    std::vector<uint8_t> gif(out.bytes().begin() + 2, out.bytes().end());
    test::GiflibFile decoded = test::DecodeWithGiflib(gif);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.frames.size(), 3u);
    EXPECT_EQ(reports, (std::vector<int>{0, 30, 70, 100, 0, 30, 70, 100, 0, 30, 70, 100}));
}

TEST(TGifAnimationWriter, UncreatableFileIsAnError) {
    TGifAnimationWriter writer(test::TempDir() / "no-such-folder" / "out.gif");
    TIOParams params;
    bool abort = false;
    TProgressContext ctx(abort);
    EXPECT_THROW(writer.AddFrame(test::MakePhotoLike(4, 4), params, ctx), EFileError);
}

}  // namespace
}  // namespace loopsmith
