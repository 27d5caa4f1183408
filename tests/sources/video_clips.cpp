#include "sources/video_clips.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "support/test_support.h"

namespace loopsmith::videotest {

namespace {

const ClipRecipe kClips[] = {
    {"raw_bgr24.avi", "25", "-c:v rawvideo -pix_fmt bgr24", nullptr, 32, 24, 10},
    {"raw_pal8.avi", "25", "-c:v rawvideo -pix_fmt pal8", nullptr, 32, 24, 10},
    {"raw_rgb555.avi", "25", "-c:v rawvideo -pix_fmt rgb555le", nullptr, 30, 20, 6},
    {"mjpeg_ntsc.avi", "30000/1001", "-c:v mjpeg -q:v 3", nullptr, 32, 24, 7},
    {"mpeg1.mpg", "25", "-c:v mpeg1video -q:v 4", nullptr, 32, 24, 10},
    {"mpeg2.mpg", "25", "-c:v mpeg2video -bf 2 -q:v 4", nullptr, 32, 24, 12},
    {"wmv2.wmv", "25", "-c:v wmv2 -q:v 4", nullptr, 32, 24, 8},
    {"h264.mp4", "25", "-c:v libx264 -pix_fmt yuv420p", "libx264", 36, 20, 10},
    {"mpeg4.mp4", "25", "-c:v mpeg4 -q:v 3", nullptr, 32, 24, 10},
    {"vp9.webm", "25", "-c:v libvpx-vp9 -deadline realtime", "libvpx-vp9", 32, 24, 5},
    {"ffv1_odd.mkv", "25", "-c:v ffv1 -pix_fmt bgr0", nullptr, 33, 25, 6},
    {"mpeg4.mov", "30000/1001", "-c:v mpeg4 -q:v 3", nullptr, 32, 24, 9},
    // Key frames every 12 frames, with reordered pictures where the codec has them.
    {"long_h264.mp4", "25", "-c:v libx264 -g 12 -bf 3 -pix_fmt yuv420p -movflags +faststart", "libx264", 32, 24,
     120},
    {"long_mpeg2.mpg", "25", "-c:v mpeg2video -g 12 -bf 2", nullptr, 32, 24, 120},
    {"long_vp9.webm", "25", "-c:v libvpx-vp9 -deadline realtime -g 12", "libvpx-vp9", 32, 24, 120},
    {"long_wmv2.wmv", "25", "-c:v wmv2 -g 12", nullptr, 32, 24, 120},
    {"long_mjpeg.avi", "25", "-c:v mjpeg", nullptr, 32, 24, 120},
};

// Every run is bounded; a stuck encoder fails the clip instead of the suite.
bool runCommand(const std::string& command) { return std::system(("timeout 120 " + command).c_str()) == 0; }

std::string shellQuoted(const std::filesystem::path& path) {
    std::string text(1, '\'');
    text += path.string();
    text += '\'';
    return text;
}

std::string inputSeconds(const ClipRecipe& recipe) {
    double rate = std::atof(recipe.rate);
    if (const char* slash = std::strchr(recipe.rate, '/')) rate /= std::atof(slash + 1);
    return std::to_string((recipe.frames + 2) / rate);
}

struct Made {
    std::map<std::string, std::filesystem::path> clips;
    std::map<std::string, std::filesystem::path> decoded;
};

// One run makes every clip this ffmpeg can encode; a second decodes them.
Made makeAll() {
    Made made;
    std::string inputs, outputs;
    int index = 0;
    std::vector<const ClipRecipe*> wanted;
    for (const ClipRecipe& recipe : kClips) {
        if (recipe.needs && !HasEncoder(recipe.needs)) continue;
        // The test pattern comes in even sizes only; odd ones are cut from it.
        const std::string size =
            std::to_string((recipe.width + 1) & ~1) + "x" + std::to_string((recipe.height + 1) & ~1);
        // Bounded inputs: ffmpeg reads an endless one on after its output is done.
        inputs += " -f lavfi -i testsrc2=size=" + size + ":rate=" + recipe.rate + ":duration=" + inputSeconds(recipe);
        outputs += " -map " + std::to_string(index++) + ":v -vf format=rgb24,crop=" + std::to_string(recipe.width) +
                   ":" + std::to_string(recipe.height) + ":0:0 -frames:v " + std::to_string(recipe.frames) + " " +
                   recipe.codec + " " + shellQuoted(test::TempDir() / recipe.file);
        wanted.push_back(&recipe);
    }
    const std::filesystem::path audioOnly = test::TempDir() / "audio_only.avi";
    inputs += " -f lavfi -i sine=duration=0.3";
    outputs += " -map " + std::to_string(index) + ":a -c:a pcm_s16le " + shellQuoted(audioOnly);
    if (!runCommand("ffmpeg -nostdin -v error -y" + inputs + outputs)) return made;
    made.clips["audio_only.avi"] = audioOnly;
    std::string decodeInputs, decodeOutputs;
    index = 0;
    for (const ClipRecipe* recipe : wanted) {
        const std::filesystem::path clip = test::TempDir() / recipe->file;
        made.clips[recipe->file] = clip;
        decodeInputs += " -i " + shellQuoted(clip);
        decodeOutputs += " -map " + std::to_string(index++) +
                         ":v -fps_mode passthrough -f rawvideo -pix_fmt bgr24 " + shellQuoted(clip.string() + ".bgr");
    }
    if (!runCommand("ffmpeg -nostdin -v error -y" + decodeInputs + decodeOutputs)) return made;
    for (const ClipRecipe* recipe : wanted) made.decoded[recipe->file] = made.clips[recipe->file].string() + ".bgr";
    return made;
}

const Made& made() {
    static const Made all = makeAll();
    return all;
}

}  // namespace

bool HasEncoder(const std::string& name) {
    static std::map<std::string, bool> known;
    auto it = known.find(name);
    if (it == known.end())
        it = known.emplace(name, runCommand("ffmpeg -nostdin -hide_banner -encoders 2>/dev/null | grep -q ' " + name +
                                            " '"))
                 .first;
    return it->second;
}

const ClipRecipe* FindClip(const std::string& file) {
    for (const ClipRecipe& recipe : kClips)
        if (file == recipe.file) return &recipe;
    return nullptr;
}

std::filesystem::path Clip(const std::string& file) {
    const auto it = made().clips.find(file);
    return it == made().clips.end() ? std::filesystem::path() : it->second;
}

std::vector<TRaster> FfmpegFrames(const std::string& file) {
    const ClipRecipe* recipe = FindClip(file);
    const auto it = made().decoded.find(file);
    if (!recipe || it == made().decoded.end()) return {};
    const std::vector<uint8_t> bytes = test::ReadFile(it->second);
    const size_t rowBytes = static_cast<size_t>(recipe->width) * 3;
    const size_t frameBytes = rowBytes * static_cast<size_t>(recipe->height);
    std::vector<TRaster> frames;
    for (size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes) {
        TRaster frame(recipe->width, recipe->height, px24RGB);
        for (int y = 0; y < recipe->height; ++y)
            std::copy_n(bytes.data() + at + static_cast<size_t>(y) * rowBytes, rowBytes, frame.Scanline(y));
        frames.push_back(std::move(frame));
    }
    return frames;
}

std::filesystem::path AudioOnlyAvi() { return Clip("audio_only.avi"); }

}  // namespace loopsmith::videotest
