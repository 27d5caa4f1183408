#pragma once
// Running loopsmith-cli from the tests and reading what it writes.

#include <filesystem>
#include <string>
#include <vector>

#include "imaging/raster.h"

namespace loopsmith::test {

struct CliRun {
    int status = -1;
    std::string out, err;
};

CliRun RunCli(const std::string& arguments);
// An 8-bit RGBA PNG as px24RGB with an alpha plane; empty when unreadable.
TRaster ReadPng(const std::filesystem::path& path);

}  // namespace loopsmith::test
