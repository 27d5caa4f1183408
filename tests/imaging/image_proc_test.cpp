// TImageProc on an attached image: the call sequences of the size modes,
// the snapshot stack and the requests it must ignore.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "imaging/image_proc.h"
#include "imaging/raster.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

bool samePicture(const TRaster& a, const TRaster& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelLayout() != b.PixelLayout()) return false;
    if (a.HasAlphaChannel() != b.HasAlphaChannel()) return false;
    for (int32_t y = 0; y < a.Height(); ++y)
        if (!std::equal(a.Scanline(y), a.Scanline(y) + a.RowBytes(), b.Scanline(y))) return false;
    return !a.HasAlphaChannel() || samePicture(*a.AlphaPlane(), *b.AlphaPlane());
}

class ImageProcTest : public ::testing::Test {
protected:
    void load(int32_t w, int32_t h) {
        image = test::MakePhotoLike(w, h);
        loaded = image;
    }
    TRaster image;
    TRaster loaded;
    TImageProc proc{&image};
};

// "Fit" of 400 x 300 into 200 x 200 with the preview's limit of 4:
// Resample(200, -1) and ImageResize(..., 0) save one snapshot each.
TEST_F(ImageProcTest, FitSavesTwoSnapshotsAndTheOldestIsTheLoadedFrame) {
    load(400, 300);
    proc.SetSnapshotLimit(4);
    int changes = 0;
    proc.OnChange = [&] { ++changes; };
    proc.Resample(200, -1, rfFastLinear);
    const TRaster scaled = image;
    proc.ImageResize(200, 200, haCenter, vaCenter, 0);
    EXPECT_EQ(changes, 2);
    ASSERT_EQ(image.Width(), 200);
    ASSERT_EQ(image.Height(), 200);
    EXPECT_EQ(image.Alpha(0, 24), 0);
    EXPECT_EQ(image.Alpha(0, 25), 255);  // 25 rows above, 25 below
    EXPECT_EQ(image.Alpha(0, 175), 0);
    ASSERT_EQ(proc.SnapshotCount(), 2);

    proc.RestoreSnapshot(0);
    EXPECT_TRUE(samePicture(image, scaled));
    proc.RestoreSnapshot(proc.SnapshotCount() - 1);
    EXPECT_TRUE(samePicture(image, loaded));
    EXPECT_EQ(proc.SnapshotCount(), 2);  // restoring leaves the stack alone
    EXPECT_EQ(changes, 4);
}

TEST_F(ImageProcTest, DefaultLimitKeepsOnlyTheNewest) {
    load(400, 300);
    EXPECT_EQ(proc.SnapshotLimit(), 1);
    proc.Resample(200, -1);
    const TRaster scaled = image;
    proc.ImageResize(200, 200, haCenter, vaCenter, 0);
    ASSERT_EQ(proc.SnapshotCount(), 1);
    proc.RestoreSnapshot(0);
    EXPECT_TRUE(samePicture(image, scaled));
}

TEST_F(ImageProcTest, LimitDropsTheOldestAndSnapshotsKeepAlpha) {
    load(40, 30);
    image.AlphaChannel().Scanline(3)[4] = 17;
    const TRaster withAlpha = image;
    proc.SetSnapshotLimit(2);
    proc.Resample(20, 15);
    proc.Resample(10, 5);
    proc.Resample(7, 7);
    ASSERT_EQ(proc.SnapshotCount(), 2);
    proc.RestoreSnapshot(1);
    EXPECT_EQ(image.Width(), 20);
    EXPECT_TRUE(image.HasAlphaChannel());

    proc.ClearSnapshots();
    EXPECT_EQ(proc.SnapshotCount(), 0);
    image = withAlpha;
    proc.Resample(3, 3);
    proc.RestoreSnapshot(0);
    EXPECT_TRUE(samePicture(image, withAlpha));
}

// Cut of 300 x 100 into 100 x 100: Resample(-1, 100) yields the same size
// but still saves a snapshot; ImageResize keeps columns 100 to 199.
TEST_F(ImageProcTest, CutWithAnExactCopy) {
    load(300, 100);
    proc.SetSnapshotLimit(4);
    proc.Resample(-1, 100);
    EXPECT_TRUE(samePicture(image, loaded));
    EXPECT_EQ(proc.SnapshotCount(), 1);
    proc.ImageResize(100, 100, haCenter, vaCenter, 255);
    EXPECT_EQ(proc.SnapshotCount(), 2);
    EXPECT_FALSE(image.HasAlphaChannel());
    EXPECT_EQ(image.PixelRGB(0, 50), loaded.PixelRGB(100, 50));
    EXPECT_EQ(image.PixelRGB(99, 50), loaded.PixelRGB(199, 50));
}

// An exact copy keeps layout and palette: nothing is converted.
TEST_F(ImageProcTest, ExactCopyKeepsThePalettedImage) {
    image = TRaster(3, 2, px8p);
    image.Palette() = {MakeRGB(1, 2, 3), MakeRGB(4, 5, 6)};
    image.Scanline(1)[2] = 1;
    loaded = image;
    proc.Resample(0, 0);
    EXPECT_TRUE(samePicture(image, loaded));
    EXPECT_EQ(image.Palette(), loaded.Palette());
    EXPECT_EQ(proc.SnapshotCount(), 1);
}

// Stretch to the size the frame already has: nothing happens, no snapshot,
// and a later restore finds nothing, so a flattened alpha stays flattened.
TEST_F(ImageProcTest, StretchToTheSameSizeIsLeftAlone) {
    load(30, 20);
    image.AlphaChannel().Scanline(0)[0] = 0;
    proc.Resample(30, 20);
    EXPECT_EQ(proc.SnapshotCount(), 0);
    proc.FlattenAlpha(true);
    EXPECT_FALSE(image.HasAlphaChannel());
    EXPECT_EQ(image.PixelRGB(0, 0), MakeRGB(255, 255, 255));
    proc.RestoreSnapshot(0);
    EXPECT_FALSE(image.HasAlphaChannel());
}

TEST_F(ImageProcTest, FlattenUsesTheViewBackground) {
    load(4, 4);
    image.AlphaChannel().Scanline(1)[1] = 0;
    proc.Background = MakeRGB(9, 8, 7);
    proc.FlattenAlpha(true);
    EXPECT_EQ(image.PixelRGB(1, 1), MakeRGB(9, 8, 7));
    EXPECT_FALSE(image.HasAlphaChannel());

    image.AlphaChannel().Scanline(1)[1] = 0;
    const TRaster before = image;
    proc.FlattenAlpha(false);  // without merge the plane just goes
    EXPECT_FALSE(image.HasAlphaChannel());
    EXPECT_EQ(image.PixelRGB(2, 2), before.PixelRGB(2, 2));
}

TEST_F(ImageProcTest, ImageResizeFillsWithTheBackground) {
    load(2, 2);
    proc.Background = MakeRGB(9, 8, 7);
    proc.ImageResize(4, 2, haLeft, vaTop, 0);
    EXPECT_EQ(image.PixelRGB(3, 1), MakeRGB(9, 8, 7));
    EXPECT_EQ(image.Alpha(3, 1), 0);
    proc.ImageResize(5, 2, haLeft, vaTop, 300);  // clamped to 255
    EXPECT_EQ(image.Alpha(4, 1), 255);
}

TEST_F(ImageProcTest, IgnoredRequestsChangeNothingAndSaveNothing) {
    load(30, 20);
    proc.SetSnapshotLimit(4);
    int changes = 0;
    proc.OnChange = [&] { ++changes; };
    proc.Resample(-1, -1);
    proc.Resample(-3, -4);
    proc.Resample(100000, 100000);
    proc.Resample(INT_MIN, 5);
    proc.ImageResize(0, 20, haCenter, vaCenter, 0);
    proc.ImageResize(30, 0, haCenter, vaCenter, 0);
    proc.ImageResize(-5, 20, haCenter, vaCenter, 0);
    proc.ImageResize(30, 20, haCenter, vaCenter, 0);
    proc.ImageResize(100000, 100000, haCenter, vaCenter, 0);
    proc.RestoreSnapshot(0);
    proc.RestoreSnapshot(-1);
    proc.FlattenAlpha(true);  // no alpha plane
    EXPECT_TRUE(samePicture(image, loaded));
    EXPECT_EQ(proc.SnapshotCount(), 0);
    EXPECT_EQ(changes, 0);

    TRaster empty;
    proc.Attach(&empty);
    proc.Resample(10, 10);
    proc.ImageResize(10, 10, haCenter, vaCenter, 0);
    EXPECT_TRUE(empty.IsEmpty());
    proc.Attach(nullptr);
    proc.Resample(10, 10);
    proc.ImageResize(10, 10, haCenter, vaCenter, 0);
    proc.FlattenAlpha(true);
    proc.RestoreSnapshot(0);
    EXPECT_EQ(changes, 0);
}

TEST_F(ImageProcTest, TinyImagesAndLimitZeroSaveNoSnapshot) {
    const struct {
        int32_t w, h, limit;
    } cases[] = {{1, 5, 4}, {5, 1, 4}, {5, 5, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " limit " + std::to_string(c.limit));
        load(c.w, c.h);
        proc.ClearSnapshots();
        proc.SetSnapshotLimit(c.limit);
        proc.Resample(3, 3);
        EXPECT_EQ(image.Width(), 3);
        EXPECT_EQ(proc.SnapshotCount(), 0);
    }
}

TEST_F(ImageProcTest, AutoSnapshotOff) {
    load(10, 10);
    proc.AutoSnapshot = false;
    proc.Resample(5, 5);
    proc.ImageResize(8, 8, haCenter, vaCenter, 0);
    EXPECT_EQ(proc.SnapshotCount(), 0);
    proc.SaveSnapshot();
    EXPECT_EQ(proc.SnapshotCount(), 1);
}

}  // namespace
}  // namespace loopsmith
