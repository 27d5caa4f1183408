#pragma once
// Tiny video clips for the video tests, made by the ffmpeg program when the
// tests first ask for one, and ffmpeg's own decode of each. All clips are
// made by one ffmpeg run and decoded by another: starting the program costs
// more than encoding a clip.

#include <filesystem>
#include <string>
#include <vector>

#include "imaging/raster.h"

namespace loopsmith::videotest {

struct ClipRecipe {
    const char* file;
    const char* rate;   // frames per second of the test pattern
    const char* codec;  // ffmpeg's output options
    const char* needs;  // an encoder the ffmpeg build may lack, else nullptr
    int width, height, frames;
};

bool HasEncoder(const std::string& name);
// The recipe of a clip by its file name; null for a name no recipe has.
const ClipRecipe* FindClip(const std::string& file);
// The clip's path; empty when this ffmpeg lacks its encoder or failed.
std::filesystem::path Clip(const std::string& file);
// ffmpeg's decode of the clip: every frame as BGR, in output order.
std::vector<TRaster> FfmpegFrames(const std::string& file);
// A clip with one audio stream and no video, in an AVI file.
std::filesystem::path AudioOnlyAvi();

}  // namespace loopsmith::videotest
