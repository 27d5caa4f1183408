// Video frames side by side with FFmpeg's own program, on a 60-second
// 1280x720 H.264 clip at 30 frames per second (made once by ffmpeg in the
// temporary folder):
//  1. adding the clip through the loader (every frame decoded, converted
//     and reduced to a 120x120 thumbnail) against `ffmpeg -i clip -f null -`
//     decoding it; target at most 1.5x, peak resident memory at most 400 MB;
//  2. exporting 300 consecutive entries (frames 600..899) stretched to
//     480x270 as one GIF against the loader's walk over as many frames;
//     target at most 2x.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "render/export.h"
#include "render/frame_render.h"
#include "render/image_view.h"
#include "sources/multi_image_io.h"
#include "sources/thumb_strip.h"

namespace {

using namespace loopsmith;
using Clock = std::chrono::steady_clock;

constexpr int kSeconds = 60, kRate = 30, kFrames = kSeconds * kRate;
constexpr int kExportFirst = 600, kExportFrames = 300, kExportWidth = 480, kExportHeight = 270;
constexpr int kRounds = 2;
constexpr double kWalkTarget = 1.5, kExportTarget = 2.0, kMemoryTargetMb = 400;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time (user + system) of this process or of its finished
// children; on a shared machine it says more than the wall clock.
double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Timing {
    double wall = 1e9;
    double cpu = 1e9;
};

std::filesystem::path makeClip() {
    const auto path = std::filesystem::temp_directory_path() / "loopsmith-bench-720p30-60s.mp4";
    const auto done = path.string() + ".done";
    if (std::filesystem::exists(done)) return path;
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=" +
                                std::to_string(kRate) + ":duration=" + std::to_string(kSeconds) +
                                " -c:v libx264 -preset veryfast -pix_fmt yuv420p '" + path.string() + "'";
    std::printf("making the clip (once): %s\n", path.c_str());
    if (std::system(command.c_str()) != 0) return {};
    std::ofstream(done) << "ok\n";
    return path;
}

// Peak resident memory of this process so far, in megabytes.
double peakResidentMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

Timing ffmpegDecode(const std::filesystem::path& clip) {
    Timing best;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = Clock::now();
        const double cpuStart = cpuSeconds(RUSAGE_CHILDREN);
        const std::string command = "ffmpeg -nostdin -v error -i '" + clip.string() + "' -f null -";
        if (std::system(command.c_str()) != 0) return {};
        best.wall = std::min(best.wall, secondsSince(start));
        best.cpu = std::min(best.cpu, cpuSeconds(RUSAGE_CHILDREN) - cpuStart);
    }
    return best;
}

Timing loaderWalk(const std::filesystem::path& clip, int& entries) {
    Timing best;
    for (int round = 0; round < kRounds; ++round) {
        TThumbStrip strip;  // 120x120 thumbnails
        TMultiImageIO io;
        io.AttachMView(&strip);
        const auto start = Clock::now();
        const double cpuStart = cpuSeconds(RUSAGE_SELF);
        io.LoadFramesFromFile(clip);
        best.wall = std::min(best.wall, secondsSince(start));
        best.cpu = std::min(best.cpu, cpuSeconds(RUSAGE_SELF) - cpuStart);
        entries = strip.ImageCount();
        io.DetachMView();
    }
    return best;
}

Timing exportFrames(const std::filesystem::path& clip, int& frames) {
    std::vector<TFrameListEntry> list;
    for (int j = kExportFirst; j < kExportFirst + kExportFrames; ++j) {
        TFrameListEntry entry;
        entry.FullPath = clip.string();
        entry.Rec.FrameIndex = j;
        list.push_back(entry);
    }
    const TExportSettings settings{kExportWidth, kExportHeight, 100, smStretch, false};
    const auto output = std::filesystem::temp_directory_path() / "loopsmith-bench-video-export.gif";
    Timing best;
    for (int round = 0; round < kRounds; ++round) {
        TImageView view;  // a fresh view opens the clip afresh
        const auto start = Clock::now();
        const double cpuStart = cpuSeconds(RUSAGE_SELF);
        frames = ExportGif(list, output, settings, view).FramesWritten;
        best.wall = std::min(best.wall, secondsSince(start));
        best.cpu = std::min(best.cpu, cpuSeconds(RUSAGE_SELF) - cpuStart);
    }
    std::filesystem::remove(output);
    return best;
}

const char* verdict(double value, double target) { return value <= target ? "met" : "MISSED"; }

}  // namespace

int main() {
    const std::filesystem::path clip = makeClip();
    if (clip.empty()) {
        std::printf("bench_video: skipped (ffmpeg with libx264 is needed to make the clip)\n");
        return 0;
    }
    std::printf("clip: 1280x720 H.264, %d frames at %d fps; best of %d rounds\n", kFrames, kRate, kRounds);

    int entries = 0;
    const Timing loader = loaderWalk(clip, entries);
    const double walk = loader.wall;
    const double peakMb = peakResidentMb();
    const Timing ffmpeg = ffmpegDecode(clip);
    std::printf("1. add clip   loader %8.1f ms (%d entries, %.2f ms/frame)   ffmpeg -f null %8.1f ms   "
                "loader/ffmpeg %.2fx (target <= %.1fx: %s)\n",
                walk * 1e3, entries, walk * 1e3 / std::max(entries, 1), ffmpeg.wall * 1e3, walk / ffmpeg.wall,
                kWalkTarget, verdict(walk / ffmpeg.wall, kWalkTarget));
    std::printf("   processor time: loader %8.1f ms   ffmpeg %8.1f ms   loader/ffmpeg %.2fx\n", loader.cpu * 1e3,
                ffmpeg.cpu * 1e3, loader.cpu / ffmpeg.cpu);
    std::printf("   peak resident memory %.0f MB (target <= %.0f MB: %s)\n", peakMb, kMemoryTargetMb,
                verdict(peakMb, kMemoryTargetMb));

    int exported = 0;
    const Timing exported300 = exportFrames(clip, exported);
    const double share = static_cast<double>(kExportFrames) / std::max(entries, 1);
    const Timing walkShare{loader.wall * share, loader.cpu * share};
    std::printf("2. %d frames at %dx%d   ExportGif (frames %d..%d, stretch) %8.1f ms (%d frames)   "
                "loader walk over as many frames %8.1f ms   export/walk %.2fx (target <= %.1fx: %s)\n",
                kExportFrames, kExportWidth, kExportHeight, kExportFirst, kExportFirst + kExportFrames - 1,
                exported300.wall * 1e3, exported, walkShare.wall * 1e3, exported300.wall / walkShare.wall,
                kExportTarget, verdict(exported300.wall / walkShare.wall, kExportTarget));
    std::printf("   processor time: export %8.1f ms   walk %8.1f ms   export/walk %.2fx\n", exported300.cpu * 1e3,
                walkShare.cpu * 1e3, exported300.cpu / walkShare.cpu);
    return 0;
}
