#include <unistd.h>

#include <cstdio>

#include "cli.h"
#include "render/export.h"
#include "sources/multi_image_io.h"
#include "sources/thumb_strip.h"
#include "util/stream.h"

namespace loopsmith::cli {

namespace {

const char* kHelp =
    "Usage: loopsmith-cli export -o OUT.gif [--width W] [--height H] [--delay MS]\n"
    "                            [--mode stretch|fit|cut|none] [--remove-alpha] [--progress] FILE...\n"
    "Adds the files in the order given, checks every entry and saves the list as\n"
    "one looping animated GIF, as \"Save as\" does. Defaults: 200 x 100, 200 ms,\n"
    "stretch, alpha kept. A summary goes to standard error.\n"
    "Exit status 0 when every entry was written, 3 when some were skipped, 1 when\n"
    "none was written or the file could not be created.\n";

// The entries of the files, added one after another to an empty list.
std::vector<TFrameListEntry> expandFiles(const std::vector<std::string>& files, std::vector<std::string>& unread) {
    TThumbStrip strip;
    // The export renders every frame afresh; the strip needs no pictures.
    strip.FileLoader = [](const std::filesystem::path&, TRaster&, int32_t&, int32_t&) { return false; };
    TMultiImageIO loader;
    loader.AttachMView(&strip);
    std::vector<TFrameListEntry> list;
    for (const std::string& file : files) {
        const int32_t first = strip.ImageCount();
        try {
            loader.LoadFramesFromFile(file);
        } catch (const std::exception&) {
            // reported below as a file without frames
        }
        if (strip.ImageCount() == first) unread.push_back(file);
        for (int32_t i = first; i < strip.ImageCount(); ++i)
            list.push_back(TFrameListEntry{file, std::filesystem::path(file).filename().string(), {true, i - first}});
    }
    return list;
}

void drawProgress(int32_t done, int32_t total) {
    const int width = 30;
    const int filled = total > 0 ? done * width / total : width;
    std::fprintf(stderr, "\rExporting [%-*s] %d/%d", width, std::string(static_cast<size_t>(filled), '#').c_str(),
                 done, total);
    if (done == total) std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace

int RunExport(const Args& args) {
    TRenderOptions options;
    options.DelayMs = 200;
    std::string output;
    bool progress = isatty(STDERR_FILENO) != 0;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (IsHelp(arg)) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (arg == "-o") output = OptionValue(args, i);
        else if (arg == "--delay") options.DelayMs = ParseInt(arg, OptionValue(args, i), 10, 1000000);
        else if (arg == "--progress") progress = true;
        else if (ParseRenderOption(args, i, options)) continue;
        else if (arg.size() > 1 && arg[0] == '-') throw UsageError{"Unknown option " + arg + " for export."};
        else files.push_back(arg);
    }
    if (output.empty()) throw UsageError{"export needs -o OUT.gif."};
    if (files.empty()) throw UsageError{"export needs at least one file."};

    std::vector<std::string> unread;
    const std::vector<TFrameListEntry> list = expandFiles(files, unread);
    TExportSettings settings{options.Width, options.Height, options.DelayMs, options.SizeMode, options.RemoveAlpha};
    TImageView workView;
    TExportReport report;
    if (!list.empty())
        report = ExportGif(list, output, settings, workView, progress ? TExportProgress(drawProgress) : nullptr);

    for (const std::string& file : unread) std::fprintf(stderr, "%s: no frames could be read from this file.\n", file.c_str());
    for (const TExportSkip& skip : report.Skipped) {
        const TFrameListEntry& e = list[static_cast<size_t>(skip.Entry)];
        std::fprintf(stderr, "Skipped entry %d (%s, frame %d): %s.\n", skip.Entry, e.FullPath.c_str(),
                     e.Rec.FrameIndex, skip.Reason.c_str());
    }
    if (!report.FileError.empty()) {
        std::fprintf(stderr, "Cannot write %s: %s\n", output.c_str(), report.FileError.c_str());
        return kExitFailed;
    }
    std::fprintf(stderr, "Wrote %d frame%s to %s; %zu entr%s skipped.\n", report.FramesWritten,
                 report.FramesWritten == 1 ? "" : "s", output.c_str(), report.Skipped.size(),
                 report.Skipped.size() == 1 ? "y" : "ies");
    if (report.FramesWritten == 0) return kExitFailed;
    return report.Skipped.empty() && unread.empty() ? kExitOk : 3;
}

}  // namespace loopsmith::cli
