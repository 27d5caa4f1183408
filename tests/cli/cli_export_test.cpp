#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "cli_support.h"
#include "gif/gif_animation_writer.h"
#include "sources/builtin_readers.h"
#include "sources/file_kind.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

// A few sources of every kind the engine reads so far, each frame with at
// most 256 colours so that the exported GIF can hold it exactly.
std::vector<std::filesystem::path> makeSources() {
    const auto gif = test::TempDir() / "source.gif";
    TGifAnimationWriter writer(gif);
    TIOParams params;
    for (int k = 0; k < 3; ++k) {
        TRaster image = test::MakeRGBRaster(30, 20, [k](int x, int y) {
            return MakeRGB(uint8_t(60 * k + (x / 5) * 20), uint8_t((y / 4) * 40), uint8_t(200 - 50 * k));
        });
        if (k == 1) image.AlphaChannel().Scanline(2)[3] = 0;
        params.GifDelay = 5 + k;
        bool abort = false;
        TProgressContext ctx(abort);
        writer.AddFrame(image, params, ctx);
    }
    writer.Finish();
    return {gif};
}

// Each frame's own image, its transparent index as alpha 0.
std::vector<TRaster> framesByGiflib(const std::filesystem::path& gif) {
    std::vector<TRaster> frames;
    test::GiflibFile decoded = test::DecodeWithGiflib(test::ReadFile(gif));
    for (const test::GiflibFrame& f : decoded.frames) {
        TRaster r(f.width, f.height, px24RGB);
        TRaster& alpha = r.AlphaChannel();
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const int index = f.indices[size_t(y) * f.width + x];
                r.SetPixelRGB(x, y, f.colours[size_t(index)]);
                alpha.Scanline(y)[x] = index == f.transparentIndex ? 0 : 255;
            }
        frames.push_back(std::move(r));
    }
    return frames;
}

// PIL's RGBA frames, written as PAM files by a short script.
std::vector<TRaster> framesByPil(const std::filesystem::path& gif) {
    const auto dir = test::TempDir() / "pil";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const auto script = dir / "frames.py";
    std::ofstream(script) << "import sys\nfrom PIL import Image, ImageSequence\n"
                             "for i, f in enumerate(ImageSequence.Iterator(Image.open(sys.argv[1]))):\n"
                             "    rgba = f.convert('RGBA')\n"
                             "    with open('%s/%05d.pam' % (sys.argv[2], i), 'wb') as out:\n"
                             "        out.write(b'P7\\nWIDTH %d\\nHEIGHT %d\\nDEPTH 4\\nMAXVAL 255\\n'\n"
                             "                  b'TUPLTYPE RGB_ALPHA\\nENDHDR\\n' % rgba.size)\n"
                             "        out.write(rgba.tobytes())\n";
    std::string command = "/usr/bin/python3 ";
    command.append(script.string()).append(" ").append(gif.string()).append(" ").append(dir.string());
    if (std::system(command.c_str()) != 0) return {};
    std::vector<TRaster> frames;
    for (int i = 0;; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%05d.pam", i);
        if (!std::filesystem::exists(dir / name)) break;
        frames.push_back(test::ReadPam(dir / name));
    }
    return frames;
}

TEST(CliExport, ExportedFramesAreWhatRenderGives) {
    const auto sources = makeSources();
    const auto out = test::TempDir() / "out.gif";
    std::string files;
    for (const auto& s : sources) files.append(" ").append(s.string());
    const std::string settings = " --width 24 --height 24 --mode fit";
    test::CliRun run = test::RunCli("export -o " + out.string() + settings + files);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Wrote 3 frames"), std::string::npos) << run.err;

    const std::vector<TRaster> giflib = framesByGiflib(out);
    const std::vector<TRaster> pil = framesByPil(out);
    ASSERT_EQ(giflib.size(), 3u);
    ASSERT_EQ(pil.size(), 3u) << "PIL could not read the export";
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const auto png = test::TempDir() / ("render" + std::to_string(k) + ".png");
        ASSERT_EQ(test::RunCli("render --frame " + std::to_string(k) + settings + " -o " + png.string() + " " +
                               sources[0].string())
                      .status,
                  0);
        TRaster rendered = test::ReadPng(png);
        // A GIF pixel is opaque or transparent: any alpha below 255 is transparent.
        for (int y = 0; y < rendered.Height(); ++y)
            for (uint8_t* a = rendered.AlphaChannel().Scanline(y); a < rendered.AlphaChannel().Scanline(y) + rendered.Width(); ++a)
                *a = *a == 255 ? 255 : 0;
        EXPECT_EQ(test::ComparePictures(giflib[size_t(k)], rendered), "");
        EXPECT_EQ(test::ComparePictures(pil[size_t(k)], rendered), "");
    }
}

double psnr(const TRaster& a, const TRaster& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return 0;
    double sum = 0, count = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            if (a.Alpha(x, y) != b.Alpha(x, y)) return 0;
            if (b.Alpha(x, y) == 0) continue;  // no colour to compare
            const TRGB p = a.PixelRGB(x, y), q = b.PixelRGB(x, y);
            sum += (p.r - q.r) * (p.r - q.r) + (p.g - q.g) * (p.g - q.g) + (p.b - q.b) * (p.b - q.b);
            count += 3;
        }
    const double mse = count > 0 ? sum / count : 0;
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// One small picture of every still kind PIL can write, with few colours so
// that a GIF holds each exactly (JPEG is the exception).
std::vector<std::pair<std::filesystem::path, TFileKind>> makeStillSources() {
    const auto dir = test::TempDir() / "stills";
    std::filesystem::create_directories(dir);
    const auto script = dir / "make.py";
    std::ofstream(script) << "import sys\nfrom PIL import Image, ImageDraw\n"
                             "im = Image.new('RGBA', (48, 32), (30, 90, 200, 255))\n"
                             "d = ImageDraw.Draw(im)\n"
                             "d.rectangle([8, 6, 30, 20], fill=(250, 200, 40, 255))\n"
                             "d.ellipse([28, 12, 44, 28], fill=(200, 30, 60, 255))\n"
                             "d.rectangle([0, 0, 5, 5], fill=(0, 0, 0, 0))\n"
                             "out = sys.argv[1]\n"
                             "im.save(out + '/s.png')\n"
                             "rgb = im.convert('RGB')\n"
                             "for ext in ('bmp', 'pcx', 'tga', 'ppm', 'tif'): rgb.save(out + '/s.' + ext)\n"
                             "rgb.save(out + '/s.jpg', quality=95)\n"
                             "im.save(out + '/s.ico', sizes=[(48, 32)])\n";
    std::string command = "/usr/bin/python3 ";
    command.append(script.string()).append(" ").append(dir.string());
    if (std::system(command.c_str()) != 0) return {};
    return {{dir / "s.png", fkPNG}, {dir / "s.bmp", fkBMP}, {dir / "s.pcx", fkPCX}, {dir / "s.tga", fkTGA},
            {dir / "s.ppm", fkPXM}, {dir / "s.tif", fkTIFF}, {dir / "s.jpg", fkJPEG}, {dir / "s.ico", fkICO}};
}

TEST(CliExport, EveryStillKindExportsAsItRenders) {
    const auto sources = makeStillSources();
    ASSERT_FALSE(sources.empty()) << "PIL could not make the sources";
    for (const auto& [file, kind] : sources) {
        SCOPED_TRACE(file.filename().string());
        // Only kinds the engine has a decoder for.
        if (!BuiltInReader(kind)) continue;
        const auto out = test::TempDir() / "still.gif";
        const auto png = test::TempDir() / "still.png";
        const std::string settings = " --width 40 --height 40 --mode fit";
        test::CliRun run = test::RunCli("export -o " + out.string() + settings + " " + file.string());
        ASSERT_EQ(run.status, 0) << run.err;
        ASSERT_EQ(test::RunCli("render" + settings + " -o " + png.string() + " " + file.string()).status, 0);
        TRaster rendered = test::ReadPng(png);
        for (int y = 0; y < rendered.Height(); ++y)
            for (uint8_t* a = rendered.AlphaChannel().Scanline(y); a < rendered.AlphaChannel().Scanline(y) + rendered.Width(); ++a)
                *a = *a == 255 ? 255 : 0;
        const std::vector<TRaster> giflib = framesByGiflib(out);
        const std::vector<TRaster> pil = framesByPil(out);
        ASSERT_EQ(giflib.size(), 1u);
        ASSERT_EQ(pil.size(), 1u);
        if (kind == fkJPEG) {
            // JPEG's noise gives more colours than a GIF holds: close, not exact.
            EXPECT_GT(psnr(giflib[0], rendered), 30.0);
            EXPECT_GT(psnr(pil[0], rendered), 30.0);
            continue;
        }
        EXPECT_EQ(test::ComparePictures(giflib[0], rendered), "");
        EXPECT_EQ(test::ComparePictures(pil[0], rendered), "");
    }
}

TEST(CliExport, ExitStatusesAndSummary) {
    const auto sources = makeSources();
    const auto junk = test::TempDir() / "junk.gif";
    test::WriteFile(junk, {'G', 'I', 'F'});
    const auto out = test::TempDir() / "status.gif";
    struct Case {
        std::string arguments;
        int status;
        const char* said;
    } cases[] = {
        {"-o " + out.string() + " " + sources[0].string(), 0, "Wrote 3 frames"},
        {"-o " + out.string() + " " + sources[0].string() + " " + junk.string(), 3, "junk.gif"},
        {"-o " + out.string() + " " + junk.string(), 1, "junk.gif"},
        {"-o " + (test::TempDir() / "none" / "x.gif").string() + " " + sources[0].string(), 1, "Cannot write"},
        {sources[0].string(), 2, "-o"},
        {"-o " + out.string() + " --mode sideways " + sources[0].string(), 2, "--mode"},
        {"-o " + out.string() + " --width 0 " + sources[0].string(), 2, "--width"},
    };
    for (const Case& c : cases) {
        test::CliRun run = test::RunCli("export " + c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    }
    test::CliRun progress = test::RunCli("export --progress -o " + out.string() + " " + sources[0].string());
    EXPECT_NE(progress.err.find("3/3"), std::string::npos) << progress.err;
}

TEST(CliRender, DefaultsAndFailures) {
    const auto sources = makeSources();
    const auto png = test::TempDir() / "r.png";
    ASSERT_EQ(test::RunCli("render -o " + png.string() + " " + sources[0].string()).status, 0);
    TRaster r = test::ReadPng(png);
    EXPECT_EQ(r.Width(), 200);
    EXPECT_EQ(r.Height(), 100);
    EXPECT_EQ(test::RunCli("render -o " + png.string() + " " + (test::TempDir() / "gone.gif").string()).status, 1);
    EXPECT_EQ(test::RunCli("render " + sources[0].string()).status, 2);
}

}  // namespace
}  // namespace loopsmith
