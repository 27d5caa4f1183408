#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "png_writer.h"
#include "sources/file_kind.h"
#include "sources/multi_image_io.h"
#include "sources/thumb_strip.h"
#include "util/stream.h"

namespace loopsmith::cli {

namespace {

const char* kHelp =
    "Usage: loopsmith-cli frames [--dump DIR] FILE...\n"
    "Adds the files, in the order given, to an empty frame list and prints one\n"
    "JSON object per entry: index, file, frame (index within its file),\n"
    "delay_ms, width and height (the full size of the entry's picture) and\n"
    "kind (the file kind's name, e.g. \"fkGIF\").\n"
    "--dump DIR writes each entry's full picture as DIR/00000.png, ... (RGBA).\n"
    "Exit status 0 with at least one entry, 1 with none.\n";

std::string dumpName(int32_t index) {
    char name[32];
    std::snprintf(name, sizeof name, "%05d.png", index);
    return name;
}

}  // namespace

int RunFrames(const Args& args) {
    std::string dumpDir;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if (IsHelp(args[i])) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (args[i] == "--dump") dumpDir = OptionValue(args, i);
        else if (args[i].size() > 1 && args[i][0] == '-') throw UsageError{"Unknown option " + args[i] + " for frames."};
        else files.push_back(args[i]);
    }
    if (files.empty()) throw UsageError{"frames needs at least one file."};
    if (!dumpDir.empty()) std::filesystem::create_directories(dumpDir);

    TThumbStrip strip;
    // Dumping needs the pictures at full size, not the strip's previews.
    if (!dumpDir.empty()) strip.SetThumbSize(std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max());
    TMultiImageIO loader;
    loader.AttachMView(&strip);
    for (const std::string& file : files) {
        const int32_t first = strip.ImageCount();
        std::string why = "no frames could be read from this file";
        try {
            loader.LoadFramesFromFile(file);
        } catch (const EFileError& e) {
            why = "cannot open the file";
        } catch (const std::exception& e) {
            why = e.what();
        }
        if (strip.ImageCount() == first) {
            std::fprintf(stderr, "%s: %s.\n", file.c_str(), why.c_str());
            continue;
        }
        for (int32_t i = first; i < strip.ImageCount(); ++i) {
            const TThumbEntry& entry = strip.Entry(i);
            nlohmann::ordered_json line = {{"index", i},
                                   {"file", file},
                                   {"frame", i - first},
                                   {"delay_ms", entry.DelayMs},
                                   {"width", entry.OriginalWidth},
                                   {"height", entry.OriginalHeight},
                                   {"kind", FileKindName(loader.EntryParams(i).FileKind)}};
            std::printf("%s\n", line.dump().c_str());
            if (!dumpDir.empty() && !WriteRgbaPng(std::filesystem::path(dumpDir) / dumpName(i), entry.Picture))
                std::fprintf(stderr, "%s: could not write %s.\n", file.c_str(), dumpName(i).c_str());
        }
    }
    return strip.ImageCount() > 0 ? kExitOk : kExitFailed;
}

}  // namespace loopsmith::cli
