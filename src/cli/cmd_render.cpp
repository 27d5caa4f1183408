#include <cstdio>

#include "cli.h"
#include "png_writer.h"
#include "render/frame_render.h"
#include "util/stream.h"

namespace loopsmith::cli {

namespace {
const char* kHelp =
    "Usage: loopsmith-cli render [--frame N] [--width W] [--height H]\n"
    "                            [--mode stretch|fit|cut|none] [--remove-alpha] -o OUT.png FILE\n"
    "Renders frame N of FILE exactly as the export renders it and writes it as an\n"
    "8-bit RGBA PNG. Defaults: frame 0, 200 x 100, stretch, alpha kept.\n";
}

int RunRender(const Args& args) {
    int frame = 0;
    TRenderOptions options;
    std::string output, file;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (IsHelp(arg)) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (arg == "--frame") frame = ParseInt(arg, OptionValue(args, i), 0, 1 << 30);
        else if (arg == "-o") output = OptionValue(args, i);
        else if (ParseRenderOption(args, i, options)) continue;
        else if (arg.size() > 1 && arg[0] == '-') throw UsageError{"Unknown option " + arg + " for render."};
        else if (file.empty()) file = arg;
        else throw UsageError{"render takes one file."};
    }
    if (file.empty()) throw UsageError{"render needs a file."};
    if (output.empty()) throw UsageError{"render needs -o OUT.png."};

    TImageView view;
    view.Params().ClearInfo();
    TLoadResult load;
    try {
        load = LoadSourceFrame(view, file, frame);
    } catch (const EFileError&) {
        load.Reason = "cannot open the file";
    }
    if (!load.Ok) {
        std::fprintf(stderr, "%s: %s.\n", file.c_str(), load.Reason.c_str());
        return kExitFailed;
    }
    ApplySizeMode(view, options.Width, options.Height, options.SizeMode, options.RemoveAlpha, false);
    if (!WriteRgbaPng(output, view.Bitmap())) {
        std::fprintf(stderr, "%s: cannot write the picture.\n", output.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace loopsmith::cli
