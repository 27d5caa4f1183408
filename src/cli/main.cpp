#include <cstdio>
#include <exception>
#include <map>

#include "cli.h"

namespace loopsmith::cli {

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

const std::string& OptionValue(const Args& args, size_t& i) {
    if (i + 1 >= args.size()) throw UsageError{"Option " + args[i] + " needs a value."};
    return args[++i];
}

int ParseInt(const std::string& option, const std::string& value, int min, int max) {
    size_t used = 0;
    long n = 0;
    try {
        n = std::stol(value, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != value.size() || value.empty() || n < min || n > max)
        throw UsageError{"Option " + option + " takes a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not \"" + value + "\"."};
    return static_cast<int>(n);
}

bool ParseRenderOption(const Args& args, size_t& i, TRenderOptions& options) {
    const std::string& arg = args[i];
    if (arg == "--width") options.Width = ParseInt(arg, OptionValue(args, i), 1, 2000);
    else if (arg == "--height") options.Height = ParseInt(arg, OptionValue(args, i), 1, 2000);
    else if (arg == "--remove-alpha") options.RemoveAlpha = true;
    else if (arg == "--mode") {
        static const std::map<std::string, int> kModes = {{"stretch", 0}, {"fit", 1}, {"cut", 2}, {"none", -1}};
        const std::string& value = OptionValue(args, i);
        auto mode = kModes.find(value);
        if (mode == kModes.end())
            throw UsageError{"Option --mode takes stretch, fit, cut or none, not \"" + value + "\"."};
        options.SizeMode = mode->second;
    } else {
        return false;
    }
    return true;
}

namespace {

const char* kUsage =
    "Usage: loopsmith-cli COMMAND [OPTIONS] FILE...\n"
    "\n"
    "Commands:\n"
    "  detect   the kind of each file\n"
    "  frames   the entries the files expand into, as JSON lines\n"
    "  info     the parameters of one frame of a file, as JSON\n"
    "  render   one frame rendered at the output size, as a PNG\n"
    "  export   the files as one looping animated GIF\n"
    "\n"
    "Run 'loopsmith-cli COMMAND --help' for a command's options.\n";

}  // namespace
}  // namespace loopsmith::cli

int main(int argc, char** argv) {
    using namespace loopsmith::cli;
    const std::map<std::string, int (*)(const Args&)> commands = {
        {"detect", RunDetect}, {"frames", RunFrames}, {"info", RunInfo}, {"render", RunRender}, {"export", RunExport}};
    if (argc < 2 || IsHelp(argv[1])) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitUsage : kExitOk;
    }
    auto command = commands.find(argv[1]);
    if (command == commands.end()) {
        std::fprintf(stderr, "Unknown command \"%s\"; run loopsmith-cli --help for the list.\n", argv[1]);
        return kExitUsage;
    }
    try {
        return command->second(Args(argv + 2, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s\n", e.message.c_str());
        return kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return kExitFailed;
    }
}
