#include <gtest/gtest.h>

#include "gif/gif_animation_writer.h"
#include "render/export.h"
#include "render/frame_render.h"
#include "sources/image_io.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

// An animation whose frames carry their own delays, optionally with a
// transparent region, written by our own writer.
std::filesystem::path makeGif(const std::string& name, const std::vector<int>& delays, bool transparent,
                              uint8_t shade = 0) {
    const auto path = test::TempDir() / name;
    TGifAnimationWriter writer(path);
    TIOParams params;
    for (size_t k = 0; k < delays.size(); ++k) {
        TRaster image = test::MakeRGBRaster(16, 12, [&](int x, int y) {
            return MakeRGB(uint8_t(shade + 20 * k), uint8_t(x * 10), uint8_t(y * 10));
        });
        if (transparent) image.AlphaChannel().Scanline(0)[0] = 0;
        params.GifDelay = delays[k];
        bool abort = false;
        TProgressContext ctx(abort);
        writer.AddFrame(image, params, ctx);
    }
    return path;
}

std::vector<TFrameListEntry> entriesOf(const std::filesystem::path& file, int frames) {
    std::vector<TFrameListEntry> list;
    for (int n = 0; n < frames; ++n) list.push_back({file.string(), file.filename().string(), {true, n}});
    return list;
}

TEST(Export, DelaysRoundHalvesToEven) {
    struct Case {
        int ms, cs;
    } cases[] = {{150, 15}, {155, 16}, {165, 16}, {10, 1}, {14, 1}, {15, 2}, {25, 2}, {1000000, 100000}};
    for (const Case& c : cases) EXPECT_EQ(DelayToCentiseconds(c.ms), c.cs) << c.ms;
}

TEST(Export, CheckedEntriesInListOrderWithTheSourcesOwnDelays) {
    const auto gif = makeGif("delays.gif", {7, 9, 11}, false);
    std::vector<TFrameListEntry> list = entriesOf(gif, 3);
    // Reversed, with two unchecked entries around them.
    std::reverse(list.begin(), list.end());
    list.insert(list.begin(), {gif.string(), "", {false, 0}});
    list.push_back({gif.string(), "", {false, 1}});
    TImageView view;
    TExportSettings settings;
    settings.Width = 16;
    settings.Height = 12;
    settings.DelayMs = 155;
    const auto out = test::TempDir() / "order.gif";
    TExportReport report = ExportGif(list, out, settings, view);
    EXPECT_EQ(report.FramesWritten, 3);
    EXPECT_TRUE(report.Skipped.empty());
    test::GiflibFile decoded = test::DecodeWithGiflib(test::ReadFile(out));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    ASSERT_EQ(decoded.frames.size(), 3u);
    EXPECT_EQ(decoded.loopCount, 0);
    // The first frame takes the setting, later ones the delay the GIF read left.
    EXPECT_EQ(decoded.frames[0].delayCs, 16);
    EXPECT_EQ(decoded.frames[1].delayCs, 9);
    EXPECT_EQ(decoded.frames[2].delayCs, 7);
    const auto red = [&](int k) { return decoded.frames[k].colours[decoded.frames[k].indices[0]].r; };
    EXPECT_EQ(red(0), 40);
    EXPECT_EQ(red(1), 20);
    EXPECT_EQ(red(2), 0);
}

TEST(Export, TransparencyFollowsTheFrame) {
    const auto transparent = makeGif("transparent.gif", {5}, true);
    const auto opaque = makeGif("opaque.gif", {5}, false, 100);
    std::vector<TFrameListEntry> list = {{transparent.string(), "", {true, 0}}, {opaque.string(), "", {true, 0}},
                                         {transparent.string(), "", {true, 0}}};
    TImageView view;
    TExportSettings settings{16, 12, 100, smStretch, false};
    const auto out = test::TempDir() / "transparency.gif";
    ASSERT_EQ(ExportGif(list, out, settings, view).FramesWritten, 3);
    test::GiflibFile decoded = test::DecodeWithGiflib(test::ReadFile(out));
    ASSERT_EQ(decoded.frames.size(), 3u);
    EXPECT_GE(decoded.frames[0].transparentIndex, 0);
    EXPECT_EQ(decoded.frames[1].transparentIndex, -1);
    EXPECT_GE(decoded.frames[2].transparentIndex, 0);

    settings.RemoveAlpha = true;
    ASSERT_EQ(ExportGif(list, out, settings, view).FramesWritten, 3);
    decoded = test::DecodeWithGiflib(test::ReadFile(out));
    for (const auto& frame : decoded.frames) EXPECT_EQ(frame.transparentIndex, -1);
}

TEST(Export, FitMarginsAreTransparentOrWhite) {
    const auto gif = makeGif("wide.gif", {5}, false);
    for (bool removeAlpha : {false, true}) {
        SCOPED_TRACE(removeAlpha);
        TImageView view;
        TExportSettings settings{16, 16, 100, smFit, removeAlpha};
        const auto out = test::TempDir() / "fit.gif";
        ASSERT_EQ(ExportGif(entriesOf(gif, 1), out, settings, view).FramesWritten, 1);
        test::GiflibFile decoded = test::DecodeWithGiflib(test::ReadFile(out));
        const test::GiflibFrame& f = decoded.frames[0];
        const int corner = f.indices[0];  // in the top margin
        if (removeAlpha) {
            EXPECT_EQ(f.transparentIndex, -1);
            EXPECT_EQ(f.colours[corner], MakeRGB(255, 255, 255));
        } else {
            EXPECT_EQ(corner, f.transparentIndex);
        }
    }
}

TEST(Export, FramesFillTheOutputWhateverTheSourceScreen) {
    // A single image placed at (5, 3): its position belongs to the source.
    const auto offset = test::TempDir() / "offset.gif";
    TImageIO io;
    io.Bitmap() = test::MakePhotoLike(16, 12);
    io.Params().GifLeft = 5;
    io.Params().GifTop = 3;
    io.SaveGifFile(offset);
    std::vector<TFrameListEntry> list = {{offset.string(), "", {true, 0}}, {offset.string(), "", {true, 0}}};
    TImageView view;
    const auto out = test::TempDir() / "placed.gif";
    ASSERT_EQ(ExportGif(list, out, TExportSettings{20, 10, 100, smStretch, false}, view).FramesWritten, 2);
    test::GiflibFile decoded = test::DecodeWithGiflib(test::ReadFile(out));
    EXPECT_EQ(decoded.screenWidth, 20);
    EXPECT_EQ(decoded.screenHeight, 10);
    for (const auto& f : decoded.frames) {
        EXPECT_EQ(f.left, 0);
        EXPECT_EQ(f.top, 0);
    }
}

TEST(Export, MissingSourcesAreSkippedAndReported) {
    const auto gif = makeGif("kept.gif", {5, 6}, false);
    const auto gone = makeGif("gone.gif", {5}, false);
    std::filesystem::remove(gone);
    std::vector<TFrameListEntry> list = {{gone.string(), "", {true, 0}}, {gif.string(), "", {true, 1}}};
    TImageView view;
    const auto out = test::TempDir() / "skips.gif";
    TExportReport report = ExportGif(list, out, TExportSettings{}, view);
    EXPECT_EQ(report.FramesWritten, 1);
    ASSERT_EQ(report.Skipped.size(), 1u);
    EXPECT_EQ(report.Skipped[0].Entry, 0);
    EXPECT_NE(report.Skipped[0].Reason.find("gone.gif"), std::string::npos);
    EXPECT_EQ(test::DecodeWithGiflib(test::ReadFile(out)).frames.size(), 1u);

    TExportReport unwritable = ExportGif(list, test::TempDir() / "no-folder" / "x.gif", TExportSettings{}, view);
    EXPECT_FALSE(unwritable.FileError.empty());
    EXPECT_EQ(unwritable.FramesWritten, 0);
}

TEST(Export, SameBytesAsSaveThenInsert) {
    const auto a = makeGif("a.gif", {3, 0, 12}, true);
    const auto b = makeGif("b.gif", {40}, false, 60);
    std::vector<TFrameListEntry> list = entriesOf(a, 3);
    list.push_back({b.string(), "", {true, 0}});
    list.push_back({a.string(), "", {true, 1}});
    for (int mode : {smStretch, smFit, smCut, smNone}) {
        SCOPED_TRACE(mode);
        TExportSettings settings{24, 10, 130, mode, mode == smCut};
        TImageView fast, reference;
        ASSERT_EQ(ExportGif(list, test::TempDir() / "fast.gif", settings, fast).FramesWritten, 5);
        ASSERT_EQ(ExportGifBySaveAndInsert(list, test::TempDir() / "slow.gif", settings, reference).FramesWritten, 5);
        EXPECT_EQ(test::ReadFile(test::TempDir() / "fast.gif"), test::ReadFile(test::TempDir() / "slow.gif"));
    }
}

TEST(Export, LeavesTheSnapshotsThatRenderingEachEntryWould) {
    const auto gif = makeGif("snapshots.gif", {5, 5, 5, 5}, false);
    std::vector<TFrameListEntry> list = entriesOf(gif, 4);
    list[1].Rec.Checked = false;
    struct Case {
        int limit;
        int32_t mode;
    } cases[] = {{1, smStretch}, {2, smStretch}, {2, smFit}, {3, smCut}, {0, smStretch}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.limit) + " " + std::to_string(c.mode));
        const TExportSettings settings{40, 20, 100, c.mode, false};
        TImageView exported;
        exported.Proc().SetSnapshotLimit(c.limit);
        ASSERT_EQ(ExportGif(list, test::TempDir() / "snapshots-out.gif", settings, exported).FramesWritten, 3);
        EXPECT_TRUE(exported.Proc().AutoSnapshot);

        TImageView rendered;
        rendered.Proc().SetSnapshotLimit(c.limit);
        for (const TFrameListEntry& e : list) {
            if (!e.Rec.Checked) continue;
            ASSERT_TRUE(LoadSourceFrame(rendered, e.FullPath, e.Rec.FrameIndex).Ok);
            ApplySizeMode(rendered, settings.Width, settings.Height, settings.SizeMode, false, false);
        }
        ASSERT_EQ(exported.Proc().SnapshotCount(), rendered.Proc().SnapshotCount());
        for (int p = 0; p < rendered.Proc().SnapshotCount(); ++p) {
            exported.Proc().RestoreSnapshot(p);
            rendered.Proc().RestoreSnapshot(p);
            EXPECT_EQ(test::ComparePictures(exported.Bitmap(), rendered.Bitmap()), "") << "snapshot " << p;
        }
    }
}

}  // namespace
}  // namespace loopsmith
