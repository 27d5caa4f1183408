#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "gif/gif_animation_writer.h"
#include "sources/image_io.h"
#include "cli_support.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

using test::CliRun;

CliRun runCli(const std::string& arguments) { return test::RunCli(arguments); }

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

// A three-frame animation with a comment, delays 10, 0 and 30.
std::filesystem::path makeAnimation() {
    const auto path = test::TempDir() / "three.gif";
    TIOParams params;
    params.GifComments = {"hello"};
    TGifAnimationWriter writer(path);
    const int delays[] = {10, 0, 30};
    for (int k = 0; k < 3; ++k) {
        params.GifDelay = delays[k];
        bool abort = false;
        TProgressContext ctx(abort);
        writer.AddFrame(test::MakePhotoLike(30, 20, k + 1), params, ctx);
    }
    writer.Finish();
    return path;
}

TRaster readPng(const std::filesystem::path& path) { return test::ReadPng(path); }

TEST(Cli, DetectPrintsCodeNameAndFile) {
    const auto gif = makeAnimation();
    const auto renamed = test::TempDir() / "really-a-gif.png";
    std::filesystem::copy_file(gif, renamed, std::filesystem::copy_options::overwrite_existing);
    CliRun plain = runCli("detect " + gif.string() + " " + renamed.string());
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, "2\tfkGIF\t" + gif.string() + "\n2\tfkGIF\t" + renamed.string() + "\n");
    CliRun checked = runCli("detect --check-ext " + renamed.string());
    EXPECT_EQ(checked.out, "0\tfkUnknown\t" + renamed.string() + "\n");
}

TEST(Cli, FramesListsEveryEntryAndNamesFilesWithout) {
    const auto gif = makeAnimation();
    const auto junk = test::TempDir() / "junk.gif";
    test::WriteFile(junk, {'n', 'o', 'p', 'e'});
    const auto dump = test::TempDir() / "dump";
    CliRun run = runCli("frames --dump " + dump.string() + " " + gif.string() + " " + junk.string() + " " + gif.string());
    EXPECT_EQ(run.status, 0);
    auto lines = jsonLines(run.out);
    ASSERT_EQ(lines.size(), 6u);
    const int expectedDelays[] = {100, 100, 300};  // 0 takes the last non-zero delay
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i]["index"], i);
        EXPECT_EQ(lines[i]["file"], gif.string());
        EXPECT_EQ(lines[i]["frame"], i % 3);
        EXPECT_EQ(lines[i]["delay_ms"], expectedDelays[i % 3]);
        EXPECT_EQ(lines[i]["width"], 30);
        EXPECT_EQ(lines[i]["height"], 20);
        EXPECT_EQ(lines[i]["kind"], "fkGIF");
    }
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
    EXPECT_NE(run.err.find(junk.string()), std::string::npos);

    // The dumped picture is the frame as a viewer shows it.
    TImageIO io;
    io.Params().SetImageIndex(1);
    io.LoadGifFile(gif);
    TRaster dumped = readPng(dump / "00004.png");
    ASSERT_EQ(dumped.Width(), 30);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) {
            ASSERT_EQ(dumped.PixelRGB(x, y), io.Bitmap().PixelRGB(x, y)) << x << "," << y;
            ASSERT_EQ(dumped.Alpha(x, y), io.Bitmap().Alpha(x, y));
        }
}

TEST(Cli, ExitStatuses) {
    const auto junk = test::TempDir() / "junk.xyz";
    test::WriteFile(junk, {'n', 'o'});
    struct Case {
        std::string arguments;
        int status;
    } cases[] = {
        {"", 2},
        {"nonsense", 2},
        {"frames", 2},
        {"frames --bogus x", 2},
        {"frames " + junk.string(), 1},
        {"info " + junk.string(), 1},
        {"info --frame -1 x.gif", 2},
        {"info --frame", 2},
        {"detect --help", 0},
        {"--help", 0},
    };
    for (const Case& c : cases) {
        CliRun run = runCli(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments;
        if (c.status == 2) {
            EXPECT_FALSE(run.err.empty()) << c.arguments;
        }
    }
}

TEST(Cli, InfoReadsParametersOfTheFrame) {
    const auto gif = makeAnimation();
    CliRun run = runCli("info --frame 2 " + gif.string());
    ASSERT_EQ(run.status, 0) << run.err;
    auto info = nlohmann::json::parse(run.out);
    EXPECT_EQ(info["file_kind"], 2);
    EXPECT_EQ(info["file_kind_name"], "fkGIF");
    EXPECT_EQ(info["width"], 30);
    EXPECT_EQ(info["height"], 20);
    EXPECT_EQ(info["frame_count"], 3);
    EXPECT_EQ(info["gif_delay"], 30);
    EXPECT_EQ(info["gif_comments"], nlohmann::json::array({"hello"}));
    EXPECT_EQ(info["channel_bits"], 8);
    for (const char* key : {"dpi_x", "dpi_y", "channel_count", "gif_transparent", "gif_disposal", "gif_screen_width",
                            "gif_screen_height", "artist", "title", "comment", "author", "keywords", "subject"})
        EXPECT_TRUE(info.contains(key)) << key;
}

}  // namespace
}  // namespace loopsmith
