#include "sources/multi_image_io.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "gif/gif_builder.h"
#include "sources/format_registry.h"
#include "sources/image_io.h"
#include "sources/image_reader.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

using test::FrameRecipe;
using test::GifRecipe;

FrameRecipe frame(int left, int top, int width, int height, int bits, uint32_t seed) {
    FrameRecipe f;
    f.left = left;
    f.top = top;
    f.width = width;
    f.height = height;
    f.indices = test::TestIndices(width, height, bits, true, seed);
    return f;
}

GifRecipe simpleAnimation(std::vector<int> delaysCs) {
    GifRecipe recipe;
    recipe.screenWidth = 8;
    recipe.screenHeight = 6;
    recipe.globalTable = test::TestTable(2);
    for (size_t i = 0; i < delaysCs.size(); ++i) {
        FrameRecipe f = frame(0, 0, 8, 6, 2, static_cast<uint32_t>(i + 1));
        f.delayCs = delaysCs[i];
        recipe.frames.push_back(f);
    }
    return recipe;
}

std::filesystem::path writeTemp(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::filesystem::path path = test::TempDir() / name;
    test::WriteFile(path, bytes);
    return path;
}

void expectSameRaster(const TRaster& a, const TRaster& b) {
    ASSERT_EQ(a.Width(), b.Width());
    ASSERT_EQ(a.Height(), b.Height());
    ASSERT_EQ(a.PixelLayout(), b.PixelLayout());
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x) {
            ASSERT_EQ(a.PixelRGB(x, y), b.PixelRGB(x, y)) << "at " << x << "," << y;
            ASSERT_EQ(a.Alpha(x, y), b.Alpha(x, y)) << "at " << x << "," << y;
        }
}

class LoaderTest : public testing::Test {
protected:
    void SetUp() override {
        io.AttachMView(&strip);
        io.OnProgress = [this](void*, int percent) { progress.push_back(percent); };
        io.OnFinishWork = [this] { ++finished; };
    }

    // Entries named "old 0", "old 1", ... with records carrying the same name.
    void addOldEntries(int count) {
        for (int i = 0; i < count; ++i) {
            const int32_t p = strip.AppendImage();
            strip.SetBottomText(p, "old " + std::to_string(i));
            io.EntryParams(p).FileName = "old " + std::to_string(i);
        }
    }

    std::vector<std::string> recordNames() const {
        std::vector<std::string> names;
        for (int32_t i = 0; i < io.EntryParamsCount(); ++i) names.push_back(io.EntryParams(i).FileName);
        return names;
    }

    TThumbStrip strip;
    TMultiImageIO io;
    std::vector<int> progress;
    int finished = 0;
};

TEST_F(LoaderTest, GifFramesGoInAtTheSelectedEntry) {
    addOldEntries(4);
    strip.SetSelectedIndex(2);
    GifRecipe recipe = simpleAnimation({10, 20, 30});
    recipe.comments = {"made here"};
    const auto path = writeTemp("three.gif", test::BuildGif(recipe));

    io.LoadFramesFromFile(path);

    ASSERT_EQ(strip.ImageCount(), 7);
    EXPECT_FALSE(io.Aborted);
    EXPECT_EQ(strip.SelectedIndex(), 2);
    EXPECT_EQ(strip.BottomText(5), "old 2");
    EXPECT_EQ(strip.BottomText(6), "old 3");
    EXPECT_EQ(io.EntryParams(5).FileName, "old 2");
    for (int n = 0; n < 3; ++n) {
        const TIOParams& params = io.EntryParams(2 + n);
        EXPECT_EQ(params.GifImageIndex, n);
        EXPECT_EQ(params.FileKind, fkGIF);
        EXPECT_EQ(params.FileName, path.string());
        EXPECT_EQ(params.GifImageCount, 3);
        // Each entry holds its file's comment once, however often it was read.
        EXPECT_EQ(params.GifComments, std::vector<std::string>{"made here"});
        EXPECT_EQ(strip.ImageDelay(2 + n), 100 * (n + 1));
        EXPECT_EQ(strip.Entry(2 + n).BackgroundColor, recipe.globalTable[0]);
    }
    EXPECT_EQ(progress, (std::vector<int>{0, 33, 66, 100}));
    EXPECT_EQ(finished, 1);
    EXPECT_FALSE(strip.IsUpdateLocked());

    // Each entry's index reaches the same frame when it is loaded again.
    for (int n = 0; n < 3; ++n) {
        TImageIO single;
        single.Params().SetImageIndex(io.EntryParams(2 + n).GifImageIndex);
        single.LoadGifFile(path);
        expectSameRaster(strip.Thumbnail(2 + n), single.Bitmap());
    }
}

TEST_F(LoaderTest, FramesWithoutDelayInheritTheLastOne) {
    struct Case {
        const char* name;
        std::vector<int> delaysCs;
        std::vector<int> expectedMs;
    };
    const Case cases[] = {
        {"second inherits the first", {30, 0}, {300, 300}},
        {"none at all", {0, 0}, {100, 100}},
        {"the last non-zero one wins", {0, 5, 0, 7, 0}, {100, 50, 50, 70, 70}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        strip.Clear();
        TMemoryStream stream(test::BuildGif(simpleAnimation(c.delaysCs)));
        io.LoadGIFFrames(stream);
        ASSERT_EQ(strip.ImageCount(), static_cast<int32_t>(c.expectedMs.size()));
        for (int32_t i = 0; i < strip.ImageCount(); ++i) EXPECT_EQ(strip.ImageDelay(i), c.expectedMs[i]);
    }
}

TEST_F(LoaderTest, SingleImageGifGivesTheImageAtItsOwnSize) {
    GifRecipe recipe;
    recipe.screenWidth = 40;
    recipe.screenHeight = 30;
    recipe.globalTable = test::TestTable(3);
    recipe.frames = {frame(7, 5, 10, 6, 3, 9)};
    const std::vector<uint8_t> gif = test::BuildGif(recipe);
    TMemoryStream stream(gif);
    io.LoadGIFFrames(stream);

    ASSERT_EQ(strip.ImageCount(), 1);
    const TRaster& picture = strip.Thumbnail(0);
    ASSERT_EQ(picture.Width(), 10);
    ASSERT_EQ(picture.Height(), 6);
    EXPECT_EQ(io.EntryParams(0).GifLeft, 7);
    EXPECT_EQ(io.EntryParams(0).GifTop, 5);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x) EXPECT_EQ(picture.PixelRGB(x, y), recipe.globalTable[recipe.frames[0].indices[y * 10 + x]]);
}

// Disposal 2 and 3, transparency, a local table and a black-and-white frame
// (px1g) in one walk: every entry must equal frame n loaded on its own.
GifRecipe disposalAnimation() {
    GifRecipe recipe;
    recipe.screenWidth = 16;
    recipe.screenHeight = 12;
    recipe.background = 2;
    recipe.globalTable = test::TestTable(2, 11);
    FrameRecipe f0 = frame(0, 0, 16, 12, 2, 1);
    f0.disposal = 1;
    FrameRecipe f1 = frame(2, 3, 6, 5, 2, 2);
    f1.disposal = 2;
    f1.transparent = 3;
    FrameRecipe f2 = frame(8, 6, 5, 4, 3, 3);
    f2.localTable = test::TestTable(3, 5);
    f2.disposal = 3;
    FrameRecipe f3 = frame(1, 1, 4, 4, 1, 4);
    f3.localTable = {MakeRGB(0, 0, 0), MakeRGB(255, 255, 255)};
    f3.disposal = 3;
    FrameRecipe f4 = frame(6, 2, 8, 8, 2, 5);
    f4.transparent = 0;
    f4.disposal = 2;
    FrameRecipe f5 = frame(0, 0, 3, 3, 2, 6);
    recipe.frames = {f0, f1, f2, f3, f4, f5};
    return recipe;
}

TEST_F(LoaderTest, ComposedEntriesEqualFramesLoadedOneByOne) {
    const std::vector<uint8_t> gif = test::BuildGif(disposalAnimation());
    TMemoryStream stream(gif);
    io.LoadGIFFrames(stream);
    ASSERT_FALSE(io.Aborted);
    ASSERT_EQ(strip.ImageCount(), 6);
    EXPECT_EQ(strip.Thumbnail(3).PixelLayout(), px1g);
    for (int n = 0; n < 6; ++n) {
        SCOPED_TRACE(testing::Message() << "frame " << n);
        TImageIO single;
        single.Params().SetImageIndex(n);
        TMemoryStream again(gif);
        single.LoadGifStream(again);
        expectSameRaster(strip.Thumbnail(n), single.Bitmap());
    }
}

int g_decodeCalls = 0;
TGifLzwDecodeFunc g_realDecoder = nullptr;

bool countingDecoder(TStream& in, int32_t height, int32_t width, bool interlaced, uint8_t* pixels) {
    ++g_decodeCalls;
    return g_realDecoder(in, height, width, interlaced, pixels);
}

// Composing frame n from scratch for every entry would decode n + 1 images
// per entry.
TEST_F(LoaderTest, WalkDecodesEveryImageOnce) {
    g_realDecoder = DefaultGifLzwDecoder;
    DefaultGifLzwDecoder = countingDecoder;
    g_decodeCalls = 0;
    TThumbStrip fresh;
    io.AttachMView(&fresh);
    TMemoryStream stream(test::BuildGif(simpleAnimation({1, 2, 3, 4, 5, 6, 7, 8})));
    io.LoadGIFFrames(stream);
    DefaultGifLzwDecoder = g_realDecoder;
    EXPECT_EQ(fresh.ImageCount(), 8);
    EXPECT_EQ(g_decodeCalls, 8);
    io.DetachMView();
}

TEST_F(LoaderTest, BrokenGifKeepsTheFramesBeforeTheBreak) {
    const std::vector<uint8_t> gif = test::BuildGif(simpleAnimation({10, 10, 10, 10}));
    const std::vector<size_t> data = test::ImageDataOffsets(gif);
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int32_t entries;
    };
    std::vector<uint8_t> badCodeSize = gif;
    badCodeSize[data[2]] = 1;
    const std::vector<uint8_t> cutInDescriptor(gif.begin(), gif.begin() + static_cast<ptrdiff_t>(data[2]) - 4);
    const Case cases[] = {
        {"invalid minimum code size in image 2", badCodeSize, 2},
        {"file ends inside descriptor 2", cutInDescriptor, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        strip.Clear();
        finished = 0;
        TMemoryStream stream(c.bytes);
        io.LoadGIFFrames(stream);
        EXPECT_TRUE(io.Aborted);
        EXPECT_EQ(strip.ImageCount(), c.entries);
        EXPECT_EQ(io.EntryParamsCount(), c.entries);
        EXPECT_EQ(finished, 1);
        EXPECT_FALSE(strip.IsUpdateLocked());
    }
}

TEST_F(LoaderTest, FilesThatYieldNothing) {
    const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                      0,    0,   0,   1,   0,    0,    0,    1,    8, 2, 0, 0,  0,   0,   0,   0};
    struct Case {
        const char* name;
        std::filesystem::path path;
        int finishEvents;
    };
    const Case cases[] = {
        {"empty name", "", 0},
        {"blank name", "  \t ", 0},
        {"PNG named .gif", writeTemp("png.gif", png), 1},
        {"unknown content and extension", writeTemp("noise.xyz", {1, 2, 3, 4, 5, 6, 7, 8, 9}), 1},
        {"TIFF without a reader", writeTemp("page.tif", {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}), 1},
        {"icon without a reader", writeTemp("i.ico", {0, 0, 1, 0, 2, 0, 16, 16}), 1},
        {"DICOM of zeros", writeTemp("x.dcm", std::vector<uint8_t>(200, 0)), 1},
    };
    addOldEntries(2);
    // Nothing added also means the insertion point stays for the next file.
    strip.SetSelectedIndex(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        finished = 0;
        io.LoadFramesFromFile(c.path);
        EXPECT_TRUE(io.Aborted);
        EXPECT_EQ(strip.ImageCount(), 2);
        EXPECT_EQ(io.EntryParamsCount(), 2);
        EXPECT_EQ(strip.SelectedIndex(), 0);
        EXPECT_EQ(finished, c.finishEvents);
    }
}

TEST_F(LoaderTest, UnreadableSingleImageLeavesAPlaceholder) {
    const auto path = writeTemp("broken.png", {1, 2, 3, 4});
    io.LoadFramesFromFile(path);
    ASSERT_EQ(strip.ImageCount(), 1);
    EXPECT_TRUE(strip.Entry(0).Placeholder);
    EXPECT_FALSE(io.Aborted);
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(io.EntryParams(0).FileName, path.string());
}

// A format registered with a reader reaches the strip through the loader
// installed on attaching.
void readSolidImage(TStream&, TRaster& image, TIOParams& params, TProgressContext&, bool) {
    image = test::MakeRGBRaster(3, 2, [](int32_t, int32_t) { return MakeRGB(10, 20, 30); });
    params.SetImageCount(1);
}

TEST_F(LoaderTest, SingleImageIsReadThroughTheRegistry) {
    static const TImageReader reader{readSolidImage};
    TFileFormatInfo info;
    info.Kind = 77;
    info.Extensions = "LSQ";
    info.ReadProc = true;
    info.Reader = &reader;
    RegisterFileFormat(info);
    io.LoadFramesFromFile(writeTemp("solid.lsq", {9, 9, 9, 9}));
    UnregisterFileFormat(77);
    ASSERT_EQ(strip.ImageCount(), 1);
    EXPECT_FALSE(strip.Entry(0).Placeholder);
    EXPECT_EQ(strip.Thumbnail(0).PixelRGB(2, 1), MakeRGB(10, 20, 30));
}

// --- Pages through a stand-in reader ---

struct FakePages {
    int32_t count = 3;
    int32_t failAt = -1;
    int32_t dpi = 0;
    int64_t start = 0;  // where every read must begin
};
FakePages g_pages;

void readFakePage(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    params.SetImageCount(g_pages.count);
    const int32_t n = params.TIFFImageIndex;
    if (stream.Position() != g_pages.start || n == g_pages.failAt || (!paramsOnly && n >= g_pages.count)) {
        ctx.AbortFlag = true;
        return;
    }
    params.DotsPerInchX = params.DotsPerInchY = g_pages.dpi;
    if (!paramsOnly) image = test::MakeRGBRaster(2 + n, 3, [n](int32_t, int32_t) { return MakeRGB(uint8_t(40 * n), 1, 2); });
}

// Puts the stand-in reader into the built-in row of `kind` for one test.
class ScopedReader {
public:
    explicit ScopedReader(TFileKind kind) : m_info(const_cast<TFileFormatInfo*>(FindFormatByKind(kind))) {
        m_saved = m_info->Reader;
        m_info->Reader = &m_reader;
    }
    ~ScopedReader() { m_info->Reader = m_saved; }

private:
    TFileFormatInfo* m_info;
    const TImageReader* m_saved;
    TImageReader m_reader{readFakePage};
};

std::vector<uint8_t> withPrefix(std::vector<uint8_t> body) {
    std::vector<uint8_t> bytes = {'j', 'u', 'n', 'k'};
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

std::vector<uint8_t> dcxTable(std::vector<uint32_t> offsets) {
    std::vector<uint8_t> b;
    offsets.insert(offsets.begin(), 987654321u);
    for (uint32_t v : offsets)
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

TEST_F(LoaderTest, PagePathsReadEveryPageByIndex) {
    struct Case {
        const char* name;
        TFileKind kind;
        std::vector<uint8_t> body;
        FakePages pages;
        int32_t entries;
        bool aborted;
        int32_t dpi;  // expected in the records
    };
    const std::vector<uint8_t> icon3 = {0, 0, 1, 0, 3, 0};
    const Case cases[] = {
        {"TIFF counts as it reads", fkTIFF, {1, 2, 3}, {3, -1, 1}, 3, false, 300},
        {"icon count from its directory", fkICO, icon3, {3, -1, 1}, 3, false, 1},
        {"icon with an empty directory", fkICO, {0, 0, 1, 0, 0, 0}, {0, -1, 72}, 0, true, 0},
        {"icon breaks at image 1", fkICO, icon3, {3, 1, 72}, 1, true, 72},
        {"DCX pages from the offset table", fkDCX, dcxTable({40, 50, 0}), {9, -1, 1}, 2, false, 300},
        {"DCX without its key", fkDCX, {1, 2, 3, 4, 5, 6, 7, 8}, {3, -1, 1}, 0, true, 0},
        {"DICOM count from a parameters pass", fkDICOM, {1, 2}, {2, -1, 96}, 2, false, 96},
        {"DICOM with no images", fkDICOM, {1, 2}, {0, -1, 96}, 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        strip.Clear();
        ScopedReader reader(c.kind);
        g_pages = c.pages;
        g_pages.start = 4;
        TMemoryStream stream(withPrefix(c.body));
        stream.Seek(4);
        switch (c.kind) {
            case fkTIFF: io.LoadTIFFPages(stream); break;
            case fkICO: io.LoadIconImages(stream); break;
            case fkDCX: io.LoadDCXPages(stream); break;
            default: io.LoadDICOMImages(stream); break;
        }
        EXPECT_EQ(io.Aborted, c.aborted);
        ASSERT_EQ(strip.ImageCount(), c.entries);
        for (int32_t n = 0; n < c.entries; ++n) {
            EXPECT_EQ(io.EntryParams(n).TIFFImageIndex, n);
            EXPECT_EQ(io.EntryParams(n).FileKind, c.kind);
            EXPECT_EQ(io.EntryParams(n).DotsPerInchX, c.dpi);
            EXPECT_EQ(strip.Thumbnail(n).Width(), 2 + n);
            EXPECT_EQ(strip.ImageDelay(n), 100);
        }
    }
}

// --- Video paths through a stand-in backend ---

struct FakeVideo {
    TVideoOpenResult result = TVideoOpenResult::Opened;
    int32_t frames = 3;
    int32_t failAt = -1;
    int opens = 0;
};

class FakeSource : public TVideoFrameSource {
public:
    explicit FakeSource(FakeVideo& video) : m_video(video) {}
    TVideoOpenResult Open(const std::filesystem::path&, TVideoStreamInfo& info) override {
        ++m_video.opens;
        info.FrameCount = m_video.frames;
        info.DelayMs = 40;
        info.BitCount = 8;
        return m_video.result;
    }
    bool ReadFrame(int32_t n, TRaster& frame) override {
        if (n == m_video.failAt) return false;
        frame = TRaster(4, 4, px24RGB);
        return true;
    }

private:
    FakeVideo& m_video;
};

TVideoSourceFactory fakeFactory(FakeVideo& video) {
    return [&video] { return std::make_unique<FakeSource>(video); };
}

TEST_F(LoaderTest, VideoPathsUseTheInstalledBackends) {
    struct Case {
        const char* name;
        bool hasAvi, hasMedia;
        FakeVideo avi, media;
        int32_t entries;
        TFileKind kind;
        bool aborted;
        int mediaOpens;
    };
    using R = TVideoOpenResult;
    const Case cases[] = {
        {"AVI frames", true, true, {R::Opened, 3}, {}, 3, fkAVI, false, 0},
        {"AVI without video goes to media", true, true, {R::NoVideo}, {R::Opened, 2}, 2, fkUnknown, false, 1},
        {"unopenable AVI", true, true, {R::CannotOpen}, {}, 0, fkAVI, true, 0},
        {"AVI frame 1 cannot be fetched", true, false, {R::Opened, 3, 1}, {}, 1, fkAVI, true, 0},
        {"no backends at all", false, false, {}, {}, 0, fkAVI, true, 0},
        {"media that cannot be played", false, true, {}, {R::CannotOpen}, 0, fkAVI, true, 1},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.name);
        strip.Clear();
        finished = 0;
        io.AviFrameSource = c.hasAvi ? fakeFactory(c.avi) : nullptr;
        io.MediaFrameSource = c.hasMedia ? fakeFactory(c.media) : nullptr;
        io.LoadAVIFrames("clip.avi");
        EXPECT_EQ(io.Aborted, c.aborted);
        EXPECT_EQ(finished, 1);
        EXPECT_EQ(c.media.opens, c.mediaOpens);
        EXPECT_FALSE(strip.IsUpdateLocked());
        ASSERT_EQ(strip.ImageCount(), c.entries);
        for (int32_t n = 0; n < c.entries; ++n) {
            EXPECT_EQ(strip.ImageDelay(n), 40);
            EXPECT_EQ(io.EntryParams(n).GifImageIndex, n);
            EXPECT_EQ(io.EntryParams(n).FileKind, c.kind);
            EXPECT_EQ(io.EntryParams(n).ChannelBits, 8);
            EXPECT_EQ(io.EntryParams(n).ChannelCount, 1);
        }
    }
}

// --- Events ---

TEST_F(LoaderTest, ProgressHandlerCanCancel) {
    io.OnProgress = [this](void*, int) { io.Aborted = true; };
    TMemoryStream stream(test::BuildGif(simpleAnimation({1, 1, 1})));
    io.LoadGIFFrames(stream);
    EXPECT_TRUE(io.Aborted);
    EXPECT_EQ(strip.ImageCount(), 1);
    EXPECT_EQ(finished, 1);
}

TEST_F(LoaderTest, ExceptionStillUnlocksAndFinishes) {
    bool thrown = false;
    io.OnProgress = [&](void*, int percent) {
        progress.push_back(percent);
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("handler");
        }
    };
    TMemoryStream stream(test::BuildGif(simpleAnimation({1, 1, 1})));
    EXPECT_THROW(io.LoadGIFFrames(stream), std::runtime_error);
    EXPECT_FALSE(strip.IsUpdateLocked());
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(progress, (std::vector<int>{0, 100}));
    EXPECT_EQ(io.EntryParamsCount(), strip.ImageCount());
}

TEST_F(LoaderTest, MissingFileThrowsAfterFinishing) {
    EXPECT_THROW(io.LoadFramesFromFile(test::TempDir() / "missing.gif"), EFileError);
    EXPECT_TRUE(io.Aborted);
    EXPECT_FALSE(strip.IsUpdateLocked());
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(strip.ImageCount(), 0);
}

// --- The records follow the strip ---

TEST_F(LoaderTest, RecordsFollowTheStrip) {
    addOldEntries(2);  // records "old 0", "old 1"
    io.EntryParams(1).GifComments = {"from old 1"};
    struct Step {
        const char* name;
        std::function<void()> change;
        std::vector<std::string> names;
    };
    const Step steps[] = {
        {"insert copies the record at the position",
         [&] { io.EntryParams(strip.InsertImage(1)).FileName += " copy"; },
         {"old 0", "old 1 copy", "old 1"}},
        {"append copies the last record", [&] { io.EntryParams(strip.AppendImage()).FileName = "new"; },
         {"old 0", "old 1 copy", "old 1", "new"}},
        {"delete", [&] { strip.DeleteImage(0); }, {"old 1 copy", "old 1", "new"}},
        {"exchange", [&] { strip.ExchangeImages(0, 2); }, {"new", "old 1", "old 1 copy"}},
        {"move",
         [&] {
             strip.SetSelectedIndex(2);
             strip.MoveSelectedImagesTo(0);
         },
         {"old 1 copy", "new", "old 1"}},
        {"clear then insert gives defaults",
         [&] {
             strip.Clear();
             strip.AppendImage();
         },
         {""}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        s.change();
        EXPECT_EQ(recordNames(), s.names);
        for (int32_t i = 0; i < io.EntryParamsCount(); ++i)
            if (io.EntryParams(i).FileName != "old 1") {
                EXPECT_TRUE(io.EntryParams(i).GifComments.empty());
            }
    }

    TThumbStrip other;
    other.AppendImage();
    other.AppendImage();
    other.AppendImage();
    io.AttachMView(&other);
    EXPECT_EQ(io.EntryParamsCount(), 3);
    strip.AppendImage();  // no longer followed
    EXPECT_EQ(io.EntryParamsCount(), 3);
    io.DetachMView();
}

}  // namespace
}  // namespace loopsmith
