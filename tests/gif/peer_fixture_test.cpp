// Animations written by other GIF tools (gifsicle, ImageMagick, ffmpeg,
// Pillow), each frame composed by our reader and compared with the frame an
// independent decoder composed. tests/data/gif/peers/make_fixtures.sh made
// the files; it documents where the reference departs from the raw output
// of that decoder.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sources/image_io.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

namespace fs = std::filesystem;

fs::path peerDir() { return fs::path(LOOPSMITH_TEST_DATA) / "gif" / "peers"; }

using Rgba = std::array<uint8_t, 4>;

// NAME.ref: "LSREF1 width height frames colours\n", colours x RGBA, then one
// colour index per pixel, frame after frame.
struct Reference {
    int32_t width = 0, height = 0, frames = 0;
    std::vector<Rgba> colours;
    std::vector<uint8_t> indices;

    Rgba Pixel(int32_t frame, int32_t x, int32_t y) const {
        const size_t i = (static_cast<size_t>(frame) * height + y) * width + x;
        return colours[indices[i]];
    }
};

std::optional<Reference> loadReference(const fs::path& path) {
    const std::vector<uint8_t> bytes = test::ReadFile(path);
    const auto newline = std::find(bytes.begin(), bytes.end(), uint8_t{'\n'});
    if (newline == bytes.end()) return std::nullopt;
    std::istringstream header(std::string(bytes.begin(), newline));
    std::string magic;
    Reference ref;
    size_t colourCount = 0;
    header >> magic >> ref.width >> ref.height >> ref.frames >> colourCount;
    if (!header || magic != "LSREF1" || ref.width <= 0 || ref.height <= 0 || ref.frames <= 0 || colourCount == 0 ||
        colourCount > 256)
        return std::nullopt;
    const size_t pixels = static_cast<size_t>(ref.width) * ref.height * ref.frames;
    auto at = newline + 1;
    if (static_cast<size_t>(bytes.end() - at) != 4 * colourCount + pixels) return std::nullopt;
    for (size_t i = 0; i < colourCount; ++i, at += 4) ref.colours.push_back({at[0], at[1], at[2], at[3]});
    ref.indices.assign(at, bytes.end());
    if (std::any_of(ref.indices.begin(), ref.indices.end(), [&](uint8_t i) { return i >= colourCount; }))
        return std::nullopt;
    return ref;
}

std::vector<std::string> readLines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> fixtureNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(peerDir(), ec))
        if (entry.path().extension() == ".gif") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Compares with the reference the way a viewer would see a difference: the
// alpha everywhere, the colour only where the pixel shows.
void expectFrameMatches(const TRaster& ours, const Reference& ref, int32_t frame) {
    ASSERT_EQ(ours.Width(), ref.width);
    ASSERT_EQ(ours.Height(), ref.height);
    int mismatches = 0;
    std::string first;
    for (int32_t y = 0; y < ref.height; ++y) {
        for (int32_t x = 0; x < ref.width; ++x) {
            const Rgba want = ref.Pixel(frame, x, y);
            const TRGB c = ours.PixelRGB(x, y);
            const Rgba got{c.r, c.g, c.b, ours.Alpha(x, y)};
            const bool same = got[3] == want[3] && (want[3] == 0 || got == want);
            if (same) continue;
            if (mismatches++ == 0) {
                std::ostringstream s;
                s << "first at (" << x << "," << y << "): expected rgba(" << +want[0] << "," << +want[1] << ","
                  << +want[2] << "," << +want[3] << ") got rgba(" << +got[0] << "," << +got[1] << "," << +got[2]
                  << "," << +got[3] << ")";
                first = s.str();
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << first;
}

TEST(PeerFixtures, EveryFixtureHasAReadableReference) {
    const std::vector<std::string> names = fixtureNames();
    ASSERT_FALSE(names.empty()) << "no fixtures in " << peerDir();
    for (const std::string& name : names)
        EXPECT_TRUE(loadReference(peerDir() / (name + ".ref"))) << name << ".ref is missing or malformed";
}

class PeerFixture : public testing::TestWithParam<std::string> {};

TEST_P(PeerFixture, EveryFrameComposesLikeTheReference) {
    const fs::path gif = peerDir() / (GetParam() + ".gif");
    const std::optional<Reference> ref = loadReference(peerDir() / (GetParam() + ".ref"));
    ASSERT_TRUE(ref);
    const fs::path commentFile = peerDir() / (GetParam() + ".comments");
    const std::vector<std::string> comments =
        fs::exists(commentFile) ? readLines(commentFile) : std::vector<std::string>{};
    for (int32_t n = 0; n < ref->frames; ++n) {
        SCOPED_TRACE("frame " + std::to_string(n));
        TImageIO io;
        io.Params().SetImageIndex(n);
        EXPECT_EQ(io.LoadGifFile(gif), ref->frames);
        ASSERT_FALSE(io.Aborting());
        EXPECT_EQ(io.Params().GifImageCount, ref->frames);
        // Composing frame n reads the file n + 1 times; each comment still comes once.
        EXPECT_EQ(io.Params().GifComments, comments);
        expectFrameMatches(io.Bitmap(), *ref, n);
    }
}

std::string testName(const testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerFixture, testing::ValuesIn(fixtureNames()), testName);

}  // namespace
}  // namespace loopsmith
