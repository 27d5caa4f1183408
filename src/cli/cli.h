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

// Helpers for the small option parsers of the commands.
bool IsHelp(const std::string& arg);
int ParseInt(const std::string& option, const std::string& value, int min, int max);
const std::string& OptionValue(const Args& args, size_t& i);

}  // namespace loopsmith::cli
