// Exporting PNG frames of FFmpeg's testsrc2 pattern (640x480) to a GIF with
// a 200 ms delay: loopsmith-cli against ImageMagick's convert and FFmpeg's
// two-pass palettegen/paletteuse, side by side. Prints wall time, output
// size and the PSNR of each output's frames against the source frames; then
// how 1000 frames scale against 100.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const fs::path kRoot = fs::temp_directory_path() / "loopsmith-bench-export";
constexpr int kWidth = 640, kHeight = 480;

std::string cli() {
    const char* self = std::getenv("LOOPSMITH_CLI");
    return self ? self : (fs::path(LOOPSMITH_BIN_DIR) / "loopsmith-cli").string();
}

bool run(const std::string& command) { return std::system((command + " </dev/null").c_str()) == 0; }

double timed(const std::string& command) {
    const auto t0 = Clock::now();
    if (!run(command)) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        return NAN;
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

fs::path makeFrames(int count) {
    const fs::path dir = kRoot / ("frames" + std::to_string(count));
    if (fs::exists(dir / "done")) return dir;
    fs::create_directories(dir);
    run("ffmpeg -v error -y -f lavfi -i testsrc2=s=640x480:r=25 -frames:v " + std::to_string(count) + " '" +
        (dir / "%05d.png").string() + "'");
    run("touch '" + (dir / "done").string() + "'");
    return dir;
}

// All frames of a file (PNG pattern or GIF) as raw RGB through FFmpeg.
std::vector<uint8_t> rawFrames(const std::string& input) {
    const fs::path raw = kRoot / "frames.rgb";
    run("ffmpeg -v error -y " + input + " -fps_mode passthrough -f rawvideo -pix_fmt rgb24 '" + raw.string() + "'");
    std::vector<uint8_t> bytes(fs::exists(raw) ? fs::file_size(raw) : 0);
    if (FILE* f = std::fopen(raw.c_str(), "rb")) {
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
        std::fclose(f);
    }
    return bytes;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return NAN;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    const double mse = sum / double(a.size());
    return mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
}

struct Result {
    const char* name;
    double seconds;
    uintmax_t bytes;
    double psnr;
};

Result measure(const char* name, const std::string& command, const fs::path& output,
               const std::vector<uint8_t>& source) {
    fs::remove(output);
    const double seconds = timed(command);
    const uintmax_t size = fs::exists(output) ? fs::file_size(output) : 0;
    return Result{name, seconds, size, psnr(rawFrames("-i '" + output.string() + "'"), source)};
}

}  // namespace

int main() {
    fs::create_directories(kRoot);
    const fs::path frames100 = makeFrames(100);
    const std::string pattern = "'" + (frames100 / "%05d.png").string() + "'";
    const std::vector<uint8_t> source = rawFrames("-i " + pattern);
    const std::string pngs = "'" + frames100.string() + "'/*.png";
    const fs::path palette = kRoot / "palette.png";

    std::printf("Exporting 100 frames of 640x480 testsrc2 at 200 ms\n");
    std::vector<Result> results = {
        measure("loopsmith-cli export", cli() + " export -o '" + (kRoot / "ours.gif").string() +
                                            "' --width 640 --height 480 --delay 200 " + pngs,
                kRoot / "ours.gif", source),
        measure("ImageMagick convert", "convert -delay 20 -loop 0 " + pngs + " '" + (kRoot / "magick.gif").string() + "'",
                kRoot / "magick.gif", source),
        measure("FFmpeg palettegen+paletteuse",
                "ffmpeg -v error -y -framerate 5 -i " + pattern + " -vf palettegen '" + palette.string() +
                    "' && ffmpeg -v error -y -framerate 5 -i " + pattern + " -i '" + palette.string() +
                    "' -lavfi paletteuse=dither=none '" + (kRoot / "ffmpeg.gif").string() + "'",
                kRoot / "ffmpeg.gif", source),
    };
    for (const Result& r : results)
        std::printf("  %-30s %7.2f s  %9ju bytes  PSNR %5.2f dB  (%.2fx our time)\n", r.name, r.seconds, r.bytes, r.psnr,
                    r.seconds / results[0].seconds);

    const fs::path frames1000 = makeFrames(1000);
    const double t100 = timed(cli() + " export -o '" + (kRoot / "ours100.gif").string() + "' --width 640 --height 480 " +
                              "--delay 200 " + pngs);
    const double t1000 = timed(cli() + " export -o '" + (kRoot / "ours1000.gif").string() +
                               "' --width 640 --height 480 --delay 200 '" + frames1000.string() + "'/*.png");
    std::printf("Scaling: 100 frames %.2f s, 1000 frames %.2f s, ratio %.2f (target at most 10.5)\n", t100, t1000,
                t1000 / t100);
    return 0;
}
