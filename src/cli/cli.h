#pragma once
// loopsmith-cli: the engine from the command line, for scripts and checks.

#include <string>
#include <vector>

namespace loopsmith::cli {

// Exit statuses shared by every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

using Args = std::vector<std::string>;

// Thrown for a command line that cannot be run; main prints it and exits 2.
struct UsageError {
    std::string message;
};

int RunDetect(const Args& args);
int RunFrames(const Args& args);
int RunInfo(const Args& args);
int RunRender(const Args& args);
int RunExport(const Args& args);

// The output settings render and export share.
struct TRenderOptions {
    int Width = 200;
    int Height = 100;
    int DelayMs = 200;
    int SizeMode = 0;  // TSizeMode
    bool RemoveAlpha = false;
};
// Takes --width, --height, --mode or --remove-alpha at args[i] (and its
// value); false for any other argument.
bool ParseRenderOption(const Args& args, size_t& i, TRenderOptions& options);

// Helpers for the small option parsers of the commands.
bool IsHelp(const std::string& arg);
int ParseInt(const std::string& option, const std::string& value, int min, int max);
const std::string& OptionValue(const Args& args, size_t& i);

}  // namespace loopsmith::cli
