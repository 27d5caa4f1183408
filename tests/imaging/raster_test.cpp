#include <gtest/gtest.h>

#include <cstring>

#include "imaging/io_params.h"
#include "imaging/raster.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

TEST(TIOParams, FreshSetHasTheDefaults) {
    TIOParams p;
    EXPECT_EQ(p.ChannelBits, 8);
    EXPECT_EQ(p.ChannelCount, 3);
    EXPECT_EQ(p.GifSignature, "GIF89a");
    EXPECT_EQ(p.GifDisposal, 2);
    EXPECT_EQ(p.GifDelay, 0);
    EXPECT_FALSE(p.GifTransparent);
    EXPECT_TRUE(p.GifComments.empty());
    EXPECT_EQ(p.DotsPerInchX, 300);
    EXPECT_NE(p.GifLzwEncoder, nullptr);
    EXPECT_EQ(p.GifLzwEncoder, DefaultGifLzwEncoder);
}

TEST(TIOParams, ClearInfoKeepsNumbersAndGifFields) {
    TIOParams p;
    p.GifComments = {"hello"};
    p.Artist = "someone";
    p.GifDelay = 12;
    p.GifScreenWidth = 640;
    p.GifScreenHeight = 480;
    p.ChannelBits = 4;
    p.GifTransparent = true;
    p.ClearInfo();
    EXPECT_TRUE(p.GifComments.empty());
    EXPECT_TRUE(p.Artist.empty());
    EXPECT_EQ(p.GifDelay, 12);
    EXPECT_EQ(p.GifScreenWidth, 640);
    EXPECT_EQ(p.GifScreenHeight, 480);
    EXPECT_EQ(p.ChannelBits, 4);
    EXPECT_TRUE(p.GifTransparent);
}

TEST(TIOParams, SetDefaultsResetsEverything) {
    TIOParams p;
    p.GifDelay = 5;
    p.GifComments = {"x"};
    p.SourcePalette = {TRGB{}};
    p.SetImageIndex(3);
    EXPECT_EQ(p.GifImageIndex, 3);
    EXPECT_EQ(p.TIFFImageIndex, 3);
    p.SetImageCount(7);
    EXPECT_EQ(p.GifImageCount, 7);
    p.SetDefaults();
    EXPECT_EQ(p.GifDelay, 0);
    EXPECT_EQ(p.GifImageIndex, 0);
    EXPECT_TRUE(p.GifComments.empty());
    EXPECT_TRUE(p.SourcePalette.empty());
}

TEST(TRaster, IsGrayScale) {
    TRaster grey(3, 2, px24RGB);
    grey.SetPixelRGB(1, 1, MakeRGB(9, 9, 9));
    EXPECT_TRUE(grey.IsGrayScale());
    grey.SetPixelRGB(2, 1, MakeRGB(9, 9, 10));  // only the last pixel carries colour
    EXPECT_FALSE(grey.IsGrayScale());

    TRaster g8(4, 4, px8g);
    g8.Scanline(0)[0] = 77;
    EXPECT_TRUE(g8.IsGrayScale());

    TRaster pal(2, 2, px8p);
    pal.Palette() = {MakeRGB(1, 1, 1), MakeRGB(2, 2, 2)};
    EXPECT_TRUE(pal.IsGrayScale());
    pal.Palette().push_back(MakeRGB(1, 2, 3));
    EXPECT_FALSE(pal.IsGrayScale());
}

TEST(TRaster, ConvertToSameLayoutLeavesPixelsAlone) {
    TRaster img = test::MakePhotoLike(7, 5);
    TRaster before = img;
    img.ConvertTo(px24RGB);
    for (int y = 0; y < 5; ++y) EXPECT_EQ(0, std::memcmp(before.Scanline(y), img.Scanline(y), 21));
}

TEST(TRaster, BlackWhiteThresholdIsStrictlyAboveMeanLuminance) {
    // Luminances 0, 100, 200, 100: mean 100, so only the 200 pixel is white.
    TRaster img = test::MakeRGBRaster(4, 1, [](int x, int) {
        static const uint8_t v[] = {0, 100, 200, 100};
        return MakeRGB(v[x], v[x], v[x]);
    });
    TRaster bw(4, 1, px1g);
    bw.CopyAndConvert(img);
    EXPECT_EQ(bw.Scanline(0)[0], 0x20);
}

TEST(TRaster, ConversionsKeepColoursAndAlpha) {
    TRaster pal(3, 1, px8p);
    pal.Palette() = {MakeRGB(10, 20, 30), MakeRGB(200, 100, 0)};
    pal.Scanline(0)[0] = 1;
    pal.Scanline(0)[2] = 1;
    pal.AlphaChannel().Scanline(0)[1] = 0;
    pal.ConvertTo(px24RGB);
    EXPECT_EQ(pal.PixelRGB(0, 0), MakeRGB(200, 100, 0));
    EXPECT_EQ(pal.PixelRGB(1, 0), MakeRGB(10, 20, 30));
    ASSERT_TRUE(pal.HasAlphaChannel());
    EXPECT_EQ(pal.Alpha(1, 0), 0);
    EXPECT_EQ(pal.Alpha(0, 0), 255);

    TRaster bits(10, 1, px1g);
    bits.Scanline(0)[1] = 0x40;  // pixel 9
    bits.ConvertTo(px24RGB);
    EXPECT_EQ(bits.PixelRGB(9, 0), MakeRGB(255, 255, 255));
    EXPECT_EQ(bits.PixelRGB(8, 0), MakeRGB(0, 0, 0));
}

TEST(TRaster, AssignCopiesAlphaPlaneDeeply) {
    TRaster a(2, 2, px24RGB);
    a.AlphaChannel().Scanline(0)[0] = 7;
    TRaster b = a;
    a.AlphaChannel().Scanline(0)[0] = 9;
    EXPECT_EQ(b.Alpha(0, 0), 7);
}

TEST(TRaster, RefusesAbsurdSizes) {
    TRaster r;
    EXPECT_THROW(r.Allocate(-1, 5, px24RGB), std::length_error);
    EXPECT_THROW(r.Allocate(1 << 30, 1 << 30, px24RGB), std::length_error);
}

}  // namespace
}  // namespace loopsmith
