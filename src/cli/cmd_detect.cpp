#include <cstdio>

#include "cli.h"
#include "sources/detect.h"
#include "sources/file_kind.h"

namespace loopsmith::cli {

namespace {
const char* kHelp =
    "Usage: loopsmith-cli detect [--check-ext] FILE...\n"
    "Prints one line per file: the kind code, a tab, the kind's name, a tab,\n"
    "the file name. --check-ext also requires the extension to agree.\n";
}

int RunDetect(const Args& args) {
    bool checkExtension = false;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (IsHelp(arg)) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (arg == "--check-ext") checkExtension = true;
        else if (arg.size() > 1 && arg[0] == '-') throw UsageError{"Unknown option " + arg + " for detect."};
        else files.push_back(arg);
    }
    if (files.empty()) throw UsageError{"detect needs at least one file."};
    for (const std::string& file : files) {
        TFileKind kind = DetectFileKind(file, checkExtension);
        std::printf("%d\t%s\t%s\n", kind, FileKindName(kind), file.c_str());
    }
    return kExitOk;
}

}  // namespace loopsmith::cli
