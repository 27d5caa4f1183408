#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "gif/gif_animation_writer.h"
#include "render/frame_render.h"
#include "sources/detect.h"
#include "sources/image_io.h"
#include "sources/metafile_reader.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

TRaster gradient(int w, int h) {
    return test::MakeRGBRaster(w, h, [](int x, int y) { return MakeRGB(uint8_t(x), uint8_t(y), 90); });
}

struct Geometry {
    const char* name;
    int srcW, srcH, W, H, mode;
    int outW, outH;
    // Rows (Fit) or columns (Cut) of the source's first/last line in the output.
    int firstOpaqueRow, lastOpaqueRow;
};

TEST(ApplySizeMode, FitCutStretchAndNone) {
    const Geometry cases[] = {
        {"fit landscape pads rows", 400, 300, 200, 200, smFit, 200, 200, 25, 174},
        {"fit 100x47 leaves 26 above, 27 below", 100, 47, 100, 100, smFit, 100, 100, 26, 72},
        {"fit square", 400, 400, 200, 200, smFit, 200, 200, 0, 199},
        {"cut landscape crops columns", 400, 300, 200, 200, smCut, 200, 200, 0, 199},
        {"stretch to a line", 10, 10, 2000, 1, smStretch, 2000, 1, 0, 0},
        {"no size mode keeps the size", 37, 21, 200, 100, smNone, 37, 21, 0, 20},
    };
    for (const Geometry& c : cases) {
        SCOPED_TRACE(c.name);
        TImageView view;
        view.Bitmap() = gradient(c.srcW, c.srcH);
        ApplySizeMode(view, c.W, c.H, c.mode, false, false);
        const TRaster& out = view.Bitmap();
        ASSERT_EQ(out.Width(), c.outW);
        ASSERT_EQ(out.Height(), c.outH);
        if (c.mode == smFit && c.firstOpaqueRow > 0) {
            ASSERT_TRUE(out.HasAlphaChannel());
            EXPECT_EQ(out.Alpha(0, c.firstOpaqueRow - 1), 0);
            EXPECT_EQ(out.Alpha(0, c.firstOpaqueRow), 255);
            EXPECT_EQ(out.Alpha(0, c.lastOpaqueRow), 255);
            EXPECT_EQ(out.Alpha(0, c.lastOpaqueRow + 1), 0);
            EXPECT_EQ(out.PixelRGB(0, 0), MakeRGB(255, 255, 255));  // the white background
        } else {
            EXPECT_FALSE(out.HasAlphaChannel());
        }
    }
}

TEST(ApplySizeMode, CutKeepsTheMiddleColumns) {
    // 400x300 -> Resample(-1, 200) = 266x200 -> columns 33..232 kept.
    TImageView view;
    view.Bitmap() = gradient(400, 300);
    ApplySizeMode(view, 200, 200, smCut, false, false);
    TImageView reference;
    reference.Bitmap() = gradient(400, 300);
    reference.Proc().Resample(-1, 200);
    ASSERT_EQ(reference.Bitmap().Width(), 266);
    for (int x : {0, 100, 199})
        EXPECT_EQ(view.Bitmap().PixelRGB(x, 50), reference.Bitmap().PixelRGB(x + 33, 50)) << x;
}

TEST(ApplySizeMode, RemoveAlphaTurnsMarginsWhiteAndDropsThePlane) {
    TImageView view;
    view.Bitmap() = test::MakeRGBRaster(40, 10, [](int, int) { return MakeRGB(0, 0, 0); });
    view.Bitmap().AlphaChannel().Scanline(0)[0] = 128;
    ApplySizeMode(view, 40, 40, smFit, true, false);
    const TRaster& out = view.Bitmap();
    EXPECT_FALSE(out.HasAlphaChannel());
    EXPECT_EQ(out.PixelRGB(0, 0), MakeRGB(255, 255, 255));   // margin
    EXPECT_EQ(out.PixelRGB(0, 15), MakeRGB(127, 127, 127));  // half-transparent black over white
    EXPECT_EQ(out.PixelRGB(5, 20), MakeRGB(0, 0, 0));
}

TEST(ApplySizeMode, RestoreStartsFromTheFrameAsLoaded) {
    TImageView view;
    view.Proc().SetSnapshotLimit(4);
    view.Bitmap() = gradient(300, 100);
    ApplySizeMode(view, 50, 50, smFit, false, false);
    ApplySizeMode(view, 90, 30, smStretch, false, true);
    TImageView fresh;
    fresh.Bitmap() = gradient(300, 100);
    ApplySizeMode(fresh, 90, 30, smStretch, false, false);
    EXPECT_EQ(test::ComparePictures(view.Bitmap(), fresh.Bitmap()), "");
}

TEST(LoadSourceFrame, ReadsTheFrameByIndexAndFailsWithoutTouchingTheImage) {
    const auto path = test::TempDir() / "frames.gif";
    {
        TGifAnimationWriter writer(path);
        TIOParams params;
        for (int k = 0; k < 3; ++k) {
            bool abort = false;
            TProgressContext ctx(abort);
            writer.AddFrame(test::MakeRGBRaster(6, 4, [k](int, int) { return MakeRGB(uint8_t(50 * k), 0, 0); }), params,
                            ctx);
        }
    }
    TImageView view;
    ASSERT_TRUE(LoadSourceFrame(view, path, 2).Ok);
    EXPECT_EQ(view.Bitmap().PixelRGB(0, 0), MakeRGB(100, 0, 0));

    const auto junk = test::TempDir() / "junk.xyz";
    test::WriteFile(junk, {'x'});
    TLoadResult failed = LoadSourceFrame(view, junk, 0);
    EXPECT_FALSE(failed.Ok);
    EXPECT_FALSE(failed.Reason.empty());
    EXPECT_EQ(view.Bitmap().PixelRGB(0, 0), MakeRGB(100, 0, 0));
    EXPECT_THROW(LoadSourceFrame(view, test::TempDir() / "missing.gif", 0), EFileError);
}

TEST(LoadSourceFrame, MetafilesAreRefusedWithTheirReason) {
    // A placeable WMF (key, then a header of type 1, size 9, no parameters)
    // and an EMF header record, each with nothing to draw.
    std::vector<uint8_t> wmf = {0xD7, 0xCD, 0xC6, 0x9A};
    wmf.resize(22);
    const std::vector<uint8_t> wmfHeader = {1, 0, 9, 0, 0, 3, 12, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0};
    wmf.insert(wmf.end(), wmfHeader.begin(), wmfHeader.end());
    std::vector<uint8_t> emf(88);
    emf[0] = 1;
    emf[4] = 88;
    const uint8_t signature[] = {' ', 'E', 'M', 'F'};
    std::copy(std::begin(signature), std::end(signature), emf.begin() + 40);

    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        TFileKind kind;
    } cases[] = {{"picture.wmf", wmf, fkWMF}, {"picture.emf", emf, fkEMF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = test::TempDir() / c.name;
        test::WriteFile(path, c.bytes);
        ASSERT_EQ(DetectFileKind(path, false), c.kind);
        TImageView view;
        view.Bitmap() = test::MakeRGBRaster(2, 2, [](int, int) { return MakeRGB(9, 9, 9); });
        const TLoadResult result = LoadSourceFrame(view, path, 0);
        EXPECT_FALSE(result.Ok);
        EXPECT_EQ(result.Reason, kMetafileRefusal);
        EXPECT_EQ(view.Bitmap().PixelRGB(1, 1), MakeRGB(9, 9, 9));
        view.IO().ParamsFromFile(path);
        EXPECT_EQ(view.Params().FileKind, fkUnknown);
    }
}

}  // namespace
}  // namespace loopsmith
