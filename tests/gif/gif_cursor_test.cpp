#include <gtest/gtest.h>

#include "sources/image_io.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

// Frames loaded by file name in any order must equal the full composition
// of images 0..n that a fresh load performs.
TEST(GifFrameCursor, MatchesAFreshCompositionInAnyOrder) {
    const auto folder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "gif" / "peers";
    for (const char* name : {"disposal_previous_gifsicle.gif", "disposal_background_gifsicle.gif", "ffmpeg_testsrc2.gif",
                             "single_image_gifsicle.gif", "comments_gifsicle.gif", "optimized_imagemagick.gif"}) {
        SCOPED_TRACE(name);
        const auto path = folder / name;
        ASSERT_TRUE(std::filesystem::exists(path));
        const std::vector<uint8_t> bytes = test::ReadFile(path);
        TImageIO cursor;
        cursor.Params().SetImageIndex(0);
        const int32_t count = cursor.LoadGifFile(path);
        ASSERT_GT(count, 0);
        std::vector<int32_t> order;
        for (int32_t n = 0; n < count; ++n) order.push_back(n);
        for (int32_t n = count - 1; n >= 0; n -= 2) order.push_back(n);  // backwards too
        order.push_back(count + 3);                                          // past the end
        for (int32_t n : order) {
            SCOPED_TRACE(n);
            TImageIO fresh;
            fresh.Params().SetImageIndex(n);
            TMemoryStream stream(bytes);
            fresh.LoadGifStream(stream);
            cursor.Params().ClearInfo();
            cursor.Params().SetImageIndex(n);
            cursor.LoadGifFile(path);
            EXPECT_EQ(test::ComparePictures(cursor.Bitmap(), fresh.Bitmap()), "");
            EXPECT_EQ(cursor.Bitmap().PixelLayout(), fresh.Bitmap().PixelLayout());
            const TIOParams& a = cursor.Params();
            const TIOParams& b = fresh.Params();
            EXPECT_EQ(a.GifDelay, b.GifDelay);
            EXPECT_EQ(a.GifDisposal, b.GifDisposal);
            EXPECT_EQ(a.GifTransparent, b.GifTransparent);
            EXPECT_EQ(a.GifLeft, b.GifLeft);
            EXPECT_EQ(a.GifScreenWidth, b.GifScreenWidth);
            EXPECT_EQ(a.ChannelBits, b.ChannelBits);
            EXPECT_EQ(a.GifComments, b.GifComments);
            EXPECT_EQ(a.GifImageIndex, n);
        }
    }
}

}  // namespace
}  // namespace loopsmith
