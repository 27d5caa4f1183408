#include <gtest/gtest.h>

#include <cstring>

#include "gif/gif_insert.h"
#include "sources/image_io.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kLoopExtension = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P',
                              'E',  '2',  '.',  '0', 0x03, 0x01, 0x00, 0x00, 0x00};

class GifInsertTest : public ::testing::Test {
protected:
    std::filesystem::path path = test::TempDir() / (std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".gif");

    void save(const TRaster& image, int bits = 8) {
        io.Bitmap() = image;
        io.Params().ChannelBits = bits;
        io.SaveGifFile(path);
    }
    int32_t insert(const TRaster& image, int32_t index, int bits = 8) {
        io.Bitmap() = image;
        io.Params().ChannelBits = bits;
        io.Params().SetImageIndex(index);
        return io.InsertGifFrame(path);
    }
    Bytes file() const { return test::ReadFile(path); }

    TImageIO io;
};

TRaster solid(int w, int h, TRGB c) {
    return test::MakeRGBRaster(w, h, [&](int, int) { return c; });
}

TEST_F(GifInsertTest, SecondFrameLayout) {
    save(solid(4, 3, MakeRGB(200, 0, 0)));
    const Bytes single = file();
    ASSERT_EQ(insert(solid(4, 3, MakeRGB(0, 0, 200)), 1), 2);
    const Bytes two = file();

    const size_t head = 13 + 768;
    EXPECT_EQ(Bytes(two.begin(), two.begin() + head), Bytes(single.begin(), single.begin() + head));
    EXPECT_EQ(Bytes(two.begin() + head, two.begin() + head + 19), kLoopExtension);
    // The first frame follows unchanged, then the new one, then the comment and trailer.
    const size_t firstFrame = single.size() - head - 4;
    EXPECT_EQ(Bytes(two.begin() + head + 19, two.begin() + head + 19 + firstFrame),
              Bytes(single.begin() + head, single.end() - 4));
    const size_t second = head + 19 + firstFrame;
    EXPECT_EQ(two[second], 0x21);
    EXPECT_EQ(two[second + 1], 0xF9);
    EXPECT_EQ(two[second + 8], 0x2C);
    EXPECT_EQ(two[second + 8 + 9], 0x87);  // local table, 8 bits
    EXPECT_EQ(Bytes(two.end() - 4, two.end()), (Bytes{0x21, 0xFE, 0x00, 0x3B}));

    test::GiflibFile decoded = test::DecodeWithGiflib(two);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.loopCount, 0);
    ASSERT_EQ(decoded.frames.size(), 2u);
    EXPECT_EQ(decoded.frames[1].colours[decoded.frames[1].indices[0]], MakeRGB(0, 0, 200));
    EXPECT_EQ(CountGifImages(path), 2);
}

TEST_F(GifInsertTest, IndexChoosesThePlace) {
    save(solid(2, 2, MakeRGB(10, 0, 0)));
    ASSERT_EQ(insert(solid(2, 2, MakeRGB(20, 0, 0)), 1), 2);
    ASSERT_EQ(insert(solid(2, 2, MakeRGB(30, 0, 0)), 0), 3);  // in front of the first image
    test::GiflibFile decoded = test::DecodeWithGiflib(file());
    ASSERT_EQ(decoded.frames.size(), 3u);
    std::vector<int> reds;
    for (auto& f : decoded.frames) reds.push_back(f.colours[f.indices[0]].r);
    EXPECT_EQ(reds, (std::vector<int>{30, 10, 20}));
}

TEST_F(GifInsertTest, IndexBeyondTheImagesKeepsThemAndCleansTheFile) {
    save(solid(2, 2, MakeRGB(10, 0, 0)));
    Bytes bytes = file();
    std::memcpy(bytes.data() + 3, "87a", 3);
    bytes.insert(bytes.end() - 1, {0x00, 0x17});  // stray bytes before the trailer
    test::WriteFile(path, bytes);
    EXPECT_EQ(insert(solid(2, 2, MakeRGB(20, 0, 0)), 5), 1);
    Bytes after = file();
    EXPECT_EQ(std::string(after.begin(), after.begin() + 6), "GIF89a");
    EXPECT_EQ(after.size(), bytes.size() - 2 + 19);
    EXPECT_EQ(CountGifImages(path), 1);
}

TEST_F(GifInsertTest, ScreenGrowsToHoldTheFrame) {
    save(solid(100, 100, MakeRGB(1, 2, 3)));
    io.Params().GifScreenWidth = 100;
    io.Params().GifScreenHeight = 100;
    insert(solid(120, 80, MakeRGB(3, 2, 1)), 1);
    test::GiflibFile decoded = test::DecodeWithGiflib(file());
    EXPECT_EQ(decoded.screenWidth, 120);
    EXPECT_EQ(decoded.screenHeight, 100);
    EXPECT_EQ(io.Params().GifScreenWidth, 120);
}

TEST_F(GifInsertTest, ExactlyOneLoopExtensionAfterRepeatedInsertions) {
    save(solid(3, 3, MakeRGB(5, 5, 5)));
    for (int k = 1; k <= 3; ++k) ASSERT_EQ(insert(solid(3, 3, MakeRGB(uint8_t(k * 40), 0, 0)), k), k + 1);
    Bytes bytes = file();
    int loops = 0;
    for (size_t i = 0; i + kLoopExtension.size() <= bytes.size(); ++i)
        loops += std::equal(kLoopExtension.begin(), kLoopExtension.end(), bytes.begin() + i);
    EXPECT_EQ(loops, 1);
    EXPECT_EQ(Bytes(bytes.begin() + 13 + 768, bytes.begin() + 13 + 768 + 19), kLoopExtension);
    EXPECT_EQ(CountGifImages(path), 4);
}

TEST_F(GifInsertTest, DepthOneInsertionOfAManyColouredFrameUsesDepthEight) {
    save(solid(8, 8, MakeRGB(255, 255, 255)), 1);
    ASSERT_EQ(insert(test::MakePhotoLike(8, 8), 1, 1), 2);
    test::GiflibFile decoded = test::DecodeWithGiflib(file());
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.frames[0].colours.size(), 2u);
    EXPECT_EQ(decoded.frames[1].colours.size(), 256u);
}

TEST_F(GifInsertTest, NotAGifIsLeftAlone) {
    for (const Bytes& content : {Bytes{'h', 'e', 'l', 'l', 'o'}, Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0}}) {
        test::WriteFile(path, content);
        EXPECT_EQ(insert(solid(2, 2, MakeRGB(1, 1, 1)), 1), 0);
        EXPECT_EQ(file(), content);
        EXPECT_EQ(CountGifImages(path), 0);
    }
}

TEST_F(GifInsertTest, CountAndInsertOnTruncatedFiles) {
    save(solid(20, 20, MakeRGB(1, 2, 3)));
    ASSERT_EQ(insert(test::MakePhotoLike(20, 20), 1), 2);
    ASSERT_EQ(insert(solid(20, 20, MakeRGB(9, 9, 9)), 2), 3);
    Bytes whole = file();
    EXPECT_EQ(CountGifImages(path), 3);

    // Cut inside the second image's data: it still counts, the walk ends there.
    size_t cut = whole.size() - 4 - 40;
    Bytes truncated(whole.begin(), whole.begin() + cut);
    test::WriteFile(path, truncated);
    EXPECT_EQ(CountGifImages(path), 3);
    truncated.resize(13 + 768 + 19 + 30);
    test::WriteFile(path, truncated);
    EXPECT_EQ(CountGifImages(path), 1);

    // Inserting right after a broken image leaves the file untouched.
    EXPECT_EQ(insert(solid(20, 20, MakeRGB(7, 7, 7)), 1), 0);
    EXPECT_EQ(file(), truncated);
    EXPECT_TRUE(io.Aborting());

    EXPECT_EQ(CountGifImages(test::TempDir() / "missing.gif"), 0);
}

TEST_F(GifInsertTest, WriteLoopExtensionReplacesTheExistingOne) {
    save(solid(5, 4, MakeRGB(1, 2, 3)));
    WriteLoopExtension(path, 7, 70000, 2);
    Bytes bytes = file();
    EXPECT_EQ(bytes[6] | bytes[7] << 8, 65535);
    EXPECT_EQ(bytes[8] | bytes[9] << 8, 4);
    WriteLoopExtension(path, 0, 0, 0);
    Bytes again = file();
    EXPECT_EQ(again.size(), bytes.size());
    EXPECT_EQ(Bytes(again.begin() + 13 + 768, again.begin() + 13 + 768 + 19), kLoopExtension);
}

}  // namespace
}  // namespace loopsmith
