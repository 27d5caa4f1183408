// PCX pictures and DCX pages: peer-made fixtures against their references,
// the page table, and inputs that must fail cleanly.
#include "sources/pcx_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "sources/multi_image_io.h"
#include "sources/thumb_strip.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

fs::path pcxDir() { return fs::path(LOOPSMITH_TEST_DATA) / "pcx"; }

using Decoded = test::TDecoded;

// NAME.n.pam, the reference of page n of NAME.dcx.
fs::path pageReference(fs::path dcx, int32_t n) {
    std::string suffix = ".";
    suffix += std::to_string(n);
    suffix += ".pam";
    return dcx.replace_extension(suffix);
}

Decoded decode(TFileKind kind, const Bytes& bytes, int32_t index = 0, bool paramsOnly = false) {
    return test::DecodeBytes(kind, bytes, index, paramsOnly);
}

void put16(Bytes& b, size_t at, int v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// A 128-byte header; the caller appends the data.
Bytes pcxHeader(int width, int height, int bitsPerPixel, int planes, int bytesPerLine) {
    Bytes b(128, 0);
    b[0] = 10, b[1] = 5, b[2] = 1, b[3] = static_cast<uint8_t>(bitsPerPixel);
    put16(b, 8, width - 1);
    put16(b, 10, height - 1);
    b[65] = static_cast<uint8_t>(planes);
    put16(b, 66, bytesPerLine);
    return b;
}

Bytes dcxFile(const std::vector<Bytes>& pages, std::vector<uint32_t> extraOffsets = {}) {
    Bytes b;
    auto put32 = [&b](uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put32(987654321);
    uint32_t offset = static_cast<uint32_t>(4 * (pages.size() + extraOffsets.size() + 2));
    for (const Bytes& page : pages) {
        put32(offset);
        offset += static_cast<uint32_t>(page.size());
    }
    for (uint32_t extra : extraOffsets) put32(extra);
    put32(0);
    for (const Bytes& page : pages) b.insert(b.end(), page.begin(), page.end());
    return b;
}

// Every fixture against the picture its peer reference holds, through the
// registry's readers; a DCX page by page.
TEST(PcxDecoder, PeerFixturesMatchReferences) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(pcxDir())) {
        const fs::path path = entry.path();
        const std::string ext = path.extension().string();
        if (ext != ".pcx" && ext != ".dcx") continue;
        SCOPED_TRACE(path.filename().string());
        const Bytes bytes = test::ReadFile(path);
        const bool multi = ext == ".dcx";
        int32_t pages = 1;
        for (int32_t n = 0; n < pages; ++n) {
            const Decoded d = decode(multi ? fkDCX : fkPCX, bytes, n);
            ASSERT_FALSE(d.aborted);
            pages = d.params.DCXImageCount;
            const fs::path ref = multi ? pageReference(path, n) : fs::path(path).replace_extension(".pam");
            const TRaster expected = test::ReadPam(ref);
            ASSERT_FALSE(expected.IsEmpty()) << ref;
            EXPECT_EQ(test::ComparePictures(d.image, expected), "") << "page " << n;
            ++checked;
        }
        if (multi) {
            EXPECT_FALSE(fs::exists(pageReference(path, pages)));
        }
    }
    EXPECT_GE(checked, 10);
}

TEST(PcxDecoder, ParametersDescribeTheFile) {
    struct Case {
        const char* file;
        int32_t bits, count;
        TPixelLayout layout;
        int32_t dpi;  // 77 = kept from the parameter set
    };
    const Case cases[] = {
        {"mono_pil.pcx", 1, 1, px1g, 100},
        {"pal4_packed_netpbm.pcx", 2, 1, px24RGB, 9},  // netpbm stores the size as resolution
        {"pal8_planes_netpbm.pcx", 3, 1, px24RGB, 9},
        {"pal16_planes_netpbm.pcx", 4, 1, px24RGB, 9},
        {"pal256_imagemagick.pcx", 8, 1, px24RGB, 150},
        {"rgb_imagemagick.pcx", 8, 3, px24RGB, 77},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        for (bool paramsOnly : {false, true}) {
            Decoded d;
            d.params.DotsPerInchX = d.params.DotsPerInchY = 77;
            d.params.GifDelay = 12;
            TMemoryStream stream(test::ReadFile(pcxDir() / c.file));
            TProgressContext ctx(d.aborted);
            PcxImageReader().Read(stream, d.image, d.params, ctx, paramsOnly);
            ASSERT_FALSE(d.aborted);
            EXPECT_EQ(d.params.ChannelBits, c.bits);
            EXPECT_EQ(d.params.ChannelCount, c.count);
            EXPECT_EQ(d.params.DotsPerInchX, c.dpi);
            EXPECT_EQ(d.params.ImageWidth, 9);
            EXPECT_EQ(d.params.OriginalHeight, 5);
            EXPECT_EQ(d.params.GifDelay, 12);
            EXPECT_EQ(d.params.GifImageCount, 1);
            EXPECT_EQ(d.image.IsEmpty(), paramsOnly);
            if (!paramsOnly) {
                EXPECT_EQ(d.image.PixelLayout(), c.layout);
            }
        }
    }
}

TEST(PcxDecoder, FourthPlaneIsAlphaUnlessFlat) {
    // 2 x 1 pixels, 8 bits x 4 planes, stored without RLE.
    auto picture = [](uint8_t a0, uint8_t a1) {
        Bytes b = pcxHeader(2, 1, 8, 4, 2);
        b[2] = 0;
        b.insert(b.end(), {10, 20, 30, 40, 50, 60, a0, a1});
        return b;
    };
    const Decoded d = decode(fkPCX, picture(0, 200));
    ASSERT_FALSE(d.aborted);
    EXPECT_EQ(d.image.PixelRGB(1, 0), MakeRGB(20, 40, 60));
    EXPECT_EQ(d.image.Alpha(0, 0), 0);
    EXPECT_EQ(d.image.Alpha(1, 0), 200);
    EXPECT_FALSE(decode(fkPCX, picture(0, 0)).image.HasAlphaChannel());
    EXPECT_FALSE(decode(fkPCX, picture(255, 255)).image.HasAlphaChannel());
}

TEST(PcxDecoder, RunsMayCrossRowsButNotTheEnd) {
    // 4 x 2 grey: one run of 8 bytes covers both rows.
    Bytes crossing = pcxHeader(4, 2, 8, 1, 4);
    crossing.insert(crossing.end(), {0xC8, 0x7F});
    const Decoded d = decode(fkPCX, crossing);
    ASSERT_FALSE(d.aborted);
    EXPECT_EQ(d.image.PixelLayout(), px8g);
    EXPECT_EQ(d.image.Scanline(1)[3], 0x7F);

    Bytes overrun = pcxHeader(4, 2, 8, 1, 4);
    overrun.insert(overrun.end(), {0xC9, 0x7F});
    EXPECT_TRUE(decode(fkPCX, overrun).aborted);
}

TEST(PcxDecoder, DcxPagesByIndex) {
    const Bytes dcx = test::ReadFile(pcxDir() / "pages.dcx");
    for (int32_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        const Decoded d = decode(fkDCX, dcx, n, true);
        EXPECT_FALSE(d.aborted);
        EXPECT_EQ(d.params.DCXImageCount, 3);
        EXPECT_TRUE(d.image.IsEmpty());
    }
    EXPECT_EQ(decode(fkDCX, dcx, 0).params.ChannelBits, 1);
    EXPECT_EQ(decode(fkDCX, dcx, 2).params.ChannelCount, 3);

    // Offsets count from where the stream stands.
    Bytes shifted = {1, 2, 3};
    shifted.insert(shifted.end(), dcx.begin(), dcx.end());
    TMemoryStream stream(shifted);
    stream.Seek(3);
    Decoded d;
    d.params.SetImageIndex(1);
    TProgressContext ctx(d.aborted);
    DcxImageReader().Read(stream, d.image, d.params, ctx, false);
    EXPECT_FALSE(d.aborted);
    EXPECT_EQ(test::ComparePictures(d.image, test::ReadPam(pcxDir() / "pages.1.pam")), "");
}

TEST(PcxDecoder, BadInputAborts) {
    const Bytes mono = test::ReadFile(pcxDir() / "mono_pil.pcx");
    Bytes huge = pcxHeader(65535, 65535, 8, 3, 65535);
    huge.resize(400, 0xC1);
    Bytes narrowRows = pcxHeader(20, 1, 8, 1, 10);
    narrowRows.resize(200, 1);
    Bytes twoPlanes8 = pcxHeader(2, 1, 8, 2, 2);
    twoPlanes8.resize(200, 1);
    Bytes noPlanes = pcxHeader(2049, 50081, 1, 0, 516);
    noPlanes.resize(155, 0);
    Bytes truncatedRun = pcxHeader(4, 1, 8, 1, 4);
    truncatedRun.push_back(0xC4);
    // Plausible by the bound, but runs of 63 from every two bytes fall short.
    Bytes shortRuns = pcxHeader(1000, 128, 8, 1, 1000);
    shortRuns.resize(128 + 4000, 0xFF);
    struct Case {
        const char* name;
        TFileKind kind;
        Bytes bytes;
        int32_t index;
        bool headerReadable;  // a parameters-only read succeeds
    };
    const Case cases[] = {
        {"empty", fkPCX, {}, 0, false},
        {"short header", fkPCX, Bytes(mono.begin(), mono.begin() + 100), 0, false},
        {"truncated data", fkPCX, Bytes(mono.begin(), mono.end() - 10), 0, true},
        {"gigapixels in a tiny file", fkPCX, huge, 0, false},
        {"runs fall short of the rows", fkPCX, shortRuns, 0, true},
        {"rows narrower than the width", fkPCX, narrowRows, 0, false},
        {"8 bits in 2 planes", fkPCX, twoPlanes8, 0, false},
        {"no planes", fkPCX, noPlanes, 0, false},
        {"run cut by the end", fkPCX, truncatedRun, 0, true},
        {"DCX without key", fkDCX, mono, 0, false},
        {"DCX without pages", fkDCX, dcxFile({}), 0, false},
        {"DCX page index past the count", fkDCX, dcxFile({mono}), 1, false},
        {"DCX negative page index", fkDCX, dcxFile({mono}), -1, false},
        {"DCX page beyond the file", fkDCX, dcxFile({mono}, {100000}), 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode(c.kind, c.bytes, c.index);
        EXPECT_TRUE(d.aborted);
        EXPECT_TRUE(d.image.IsEmpty());
        EXPECT_EQ(decode(c.kind, c.bytes, c.index, true).aborted, !c.headerReadable);
    }
}

// Inputs that once broke one of the simple decoders (PCX, DCX, Targa,
// portable maps, WBMP) go through the readers the fuzz targets call; under
// the sanitizers any fault shows. Failing cleanly is all that is asked.
TEST(SimpleDecoderCrashFixtures, ReadWithoutFault) {
    const std::pair<const char*, TFileKind> prefixes[] = {
        {"pcx-", fkPCX}, {"dcx-", fkDCX}, {"tga-", fkTGA}, {"pnm-", fkPXM}, {"wbmp-", fkWBMP}};
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(LOOPSMITH_TEST_DATA) / "crash")) {
        const std::string name = entry.path().filename().string();
        for (const auto& [prefix, kind] : prefixes) {
            if (name.rfind(prefix, 0) != 0) continue;
            SCOPED_TRACE(name);
            ++seen;
            const Bytes bytes = test::ReadFile(entry.path());
            for (int32_t n = 0; n < 3; ++n) {
                decode(kind, bytes, n, true);
                decode(kind, bytes, n, false);
            }
        }
    }
    EXPECT_GT(seen, 0);
}

// The loader expands a three-page DCX into three entries, each the page's
// picture.
TEST(PcxDecoder, LoaderGivesOneEntryPerDcxPage) {
    TThumbStrip strip;
    TMultiImageIO io;
    io.AttachMView(&strip);
    io.LoadFramesFromFile(pcxDir() / "pages.dcx");
    EXPECT_FALSE(io.Aborted);
    ASSERT_EQ(strip.ImageCount(), 3);
    for (int32_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(io.EntryParams(n).DCXImageIndex, n);
        EXPECT_EQ(io.EntryParams(n).FileKind, fkDCX);
        const TRaster expected = test::ReadPam(pageReference(pcxDir() / "pages.dcx", n));
        EXPECT_EQ(test::ComparePictures(strip.Thumbnail(n), expected), "");
    }
    io.DetachMView();
}

}  // namespace
}  // namespace loopsmith
