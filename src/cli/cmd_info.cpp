#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "sources/detect.h"
#include "sources/file_kind.h"
#include "sources/frame_count.h"
#include "sources/image_io.h"

namespace loopsmith::cli {

namespace {

const char* kHelp =
    "Usage: loopsmith-cli info [--frame N] FILE\n"
    "Reads the parameters of frame N (default 0) of FILE without its pixels,\n"
    "as \"Get Size and Delay time\" does, and prints them as one JSON object.\n"
    "Exit status 1 when the kind is unknown or the read failed.\n";

nlohmann::ordered_json describe(const TIOParams& p, int32_t frameCount) {
    return {{"file_kind", p.FileKind},
            {"file_kind_name", FileKindName(p.FileKind)},
            {"width", p.ImageWidth},
            {"height", p.ImageHeight},
            {"dpi_x", p.DotsPerInchX},
            {"dpi_y", p.DotsPerInchY},
            {"channel_bits", p.ChannelBits},
            {"channel_count", p.ChannelCount},
            {"frame_count", frameCount},
            {"gif_delay", p.GifDelay},
            {"gif_transparent", p.GifTransparent},
            {"gif_disposal", p.GifDisposal},
            {"gif_screen_width", p.GifScreenWidth},
            {"gif_screen_height", p.GifScreenHeight},
            {"gif_comments", p.GifComments},
            {"artist", p.Artist},
            {"title", p.XPTitle},
            {"comment", p.XPComment},
            {"author", p.XPAuthor},
            {"keywords", p.XPKeywords},
            {"subject", p.XPSubject}};
}

}  // namespace

int RunInfo(const Args& args) {
    int frame = 0;
    std::string file;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (IsHelp(arg)) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (arg == "--frame") frame = ParseInt(arg, OptionValue(args, i), 0, 1 << 30);
        else if (arg.size() > 1 && arg[0] == '-') throw UsageError{"Unknown option " + arg + " for info."};
        else if (file.empty()) file = arg;
        else throw UsageError{"info takes one file."};
    }
    if (file.empty()) throw UsageError{"info needs a file."};

    TImageIO io;
    TIOParams& params = io.Params();
    params.ClearInfo();
    const TFileKind kind = DetectFileKind(file, /*checkExtension=*/false);
    if (kind == fkGIF || kind == fkTIFF || kind == fkICO || kind == fkDCX) params.SetImageIndex(frame);
    io.ParamsFromFile(file);
    if (params.FileKind == fkUnknown) {
        std::fprintf(stderr, "%s: unknown kind of file, or its parameters could not be read.\n", file.c_str());
        return kExitFailed;
    }
    std::printf("%s\n", describe(params, FileFrameCount(file)).dump().c_str());
    return kExitOk;
}

}  // namespace loopsmith::cli
