#include "cli_support.h"

#include <png.h>
#include <sys/wait.h>

#include <cstdio>

#include "support/test_support.h"

namespace loopsmith::test {

CliRun RunCli(const std::string& arguments) {
    const auto errFile = TempDir() / "stderr.txt";
    const std::string command = std::string(LOOPSMITH_CLI) + " " + arguments + " 2>" + errFile.string();
    CliRun run;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto err = ReadFile(errFile);
    run.err.assign(err.begin(), err.end());
    return run;
}

TRaster ReadPng(const std::filesystem::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    TRaster out;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(image));
    png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr);
    out.Allocate(static_cast<int32_t>(image.width), static_cast<int32_t>(image.height), px24RGB);
    TRaster& alpha = out.AlphaChannel();
    for (int32_t y = 0; y < out.Height(); ++y)
        for (int32_t x = 0; x < out.Width(); ++x) {
            const uint8_t* p = rgba.data() + (size_t(y) * out.Width() + x) * 4;
            out.SetPixelRGB(x, y, MakeRGB(p[0], p[1], p[2]));
            alpha.Scanline(y)[x] = p[3];
        }
    return out;
}

}  // namespace loopsmith::test
