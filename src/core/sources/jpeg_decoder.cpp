#include "sources/jpeg_decoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "sources/exif.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

// Rows handed to libjpeg per call between two progress reports.
constexpr JDIMENSION kBandRows = 16;
constexpr size_t kMaxLeadingJunk = 150;
constexpr unsigned kExifMarker = JPEG_APP0 + 1;
constexpr unsigned kMaxMarkerBytes = 0xFFFF;
constexpr int kJfifDotsPerInch = 1;
constexpr int kJfifDotsPerCm = 2;

// libjpeg's error manager plus the jump back into runStep.
struct TJpegError {
    jpeg_error_mgr pub;  // first: libjpeg hands back a pointer to it
    std::jmp_buf jump;
};

// Everything libjpeg touches lives here, so the steps below need no locals
// of their own that a long jump could skip.
struct TJpegJob {
    jpeg_decompress_struct info{};
    TJpegError error{};
    jpeg_progress_mgr progress{};
    bool created = false;
    const uint8_t* data = nullptr;
    size_t size = 0;
    // The band being read: row pointers and how many rows.
    JSAMPROW rows[kBandRows] = {};
    JDIMENSION bandRows = 0;

    TJpegJob() = default;
    TJpegJob(const TJpegJob&) = delete;
    TJpegJob& operator=(const TJpegJob&) = delete;
    ~TJpegJob() {
        if (created) jpeg_destroy_decompress(&info);
    }
};

[[noreturn]] void jumpBack(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<TJpegError*>(cinfo->err)->jump, 1);
}

// Warnings that mean the entropy data is cut or damaged end the read;
// the rest (junk between markers, odd JFIF versions, bad ICC chunks) are
// harmless to the picture.
bool isDamageWarning(int code) {
    switch (code) {
        case JWRN_JPEG_EOF:
        case JWRN_HIT_MARKER:
        case JWRN_HUFF_BAD_CODE:
        case JWRN_ARITH_BAD_CODE:
        case JWRN_MUST_RESYNC:
        case JWRN_NOT_SEQUENTIAL:
        case JWRN_BOGUS_PROGRESSION: return true;
        default: return false;
    }
}

void onMessage(j_common_ptr cinfo, int level) {
    // Level 0 and above are trace messages.
    if (level < 0 && isDamageWarning(cinfo->err->msg_code)) jumpBack(cinfo);
}

void onProgress(j_common_ptr cinfo) {
    const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kJpegMaxScans) jumpBack(cinfo);
}

// The one place that catches libjpeg's errors. A step may only touch the
// job, so nothing with a destructor lies between here and the long jump.
using TJpegStep = void (*)(TJpegJob& job);
bool runStep(TJpegJob& job, TJpegStep step) {
    if (setjmp(job.error.jump) != 0) return false;
    step(job);
    return true;
}

void readHeaderStep(TJpegJob& job) {
    jpeg_decompress_struct& info = job.info;
    info.err = jpeg_std_error(&job.error.pub);
    job.error.pub.error_exit = jumpBack;
    job.error.pub.emit_message = onMessage;
    jpeg_create_decompress(&info);
    job.created = true;
    info.mem->max_memory_to_use = kJpegMaxMemory;
    job.progress.progress_monitor = onProgress;
    info.progress = &job.progress;
    jpeg_mem_src(&info, job.data, static_cast<unsigned long>(job.size));
    jpeg_save_markers(&info, kExifMarker, kMaxMarkerBytes);
    jpeg_read_header(&info, TRUE);
}

void startStep(TJpegJob& job) { jpeg_start_decompress(&job.info); }

void readBandStep(TJpegJob& job) {
    JDIMENSION done = 0;
    while (done < job.bandRows) {
        const JDIMENSION got = jpeg_read_scanlines(&job.info, job.rows + done, job.bandRows - done);
        // The memory source never suspends, so no rows means no progress.
        if (got == 0) ERREXIT(&job.info, JERR_INPUT_EMPTY);
        done += got;
    }
}

struct TLayoutChoice {
    J_COLOR_SPACE out = JCS_UNKNOWN;
    TPixelLayout layout = px24RGB;
    int channels = 0;
};

std::optional<TLayoutChoice> chooseLayout(const jpeg_decompress_struct& info) {
    switch (info.jpeg_color_space) {
        case JCS_GRAYSCALE: return TLayoutChoice{JCS_GRAYSCALE, px8g, 1};
        case JCS_YCbCr:
        case JCS_RGB: return TLayoutChoice{JCS_EXT_BGR, px24RGB, 3};
        case JCS_CMYK:
        case JCS_YCCK: return TLayoutChoice{JCS_CMYK, px24RGB, 4};
        default: return std::nullopt;
    }
}

// Every block of a scanned component costs at least one bit with Huffman
// coding; arithmetic coding can go lower, and is held to an eighth of a
// bit. At least one component is in a scan, so the smallest one bounds the
// data the picture needs.
bool sizePlausible(const jpeg_decompress_struct& info, size_t dataBytes) {
    const int64_t pixels = int64_t{info.image_width} * info.image_height;
    if (pixels <= 0 || pixels > kJpegMaxPixels) return false;
    int64_t minBlocks = pixels;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& comp = info.comp_info[c];
        minBlocks = std::min<int64_t>(minBlocks, int64_t{comp.width_in_blocks} * comp.height_in_blocks);
    }
    const int64_t blocksPerByte = info.arith_code ? 64 : 8;
    return minBlocks <= static_cast<int64_t>(dataBytes) * blocksPerByte;
}

// The first APP1 segment that holds Exif data; XMP shares the marker.
TExifInfo readExif(const jpeg_decompress_struct& info) {
    for (jpeg_saved_marker_ptr m = info.marker_list; m; m = m->next) {
        if (m->marker != kExifMarker) continue;
        if (std::optional<TExifInfo> exif = ReadExifSegment({m->data, m->data_length})) return std::move(*exif);
    }
    return {};
}

void readJfifDensity(const jpeg_decompress_struct& info, TIOParams& params) {
    if (!info.saw_JFIF_marker || info.X_density == 0 || info.Y_density == 0) return;
    int unit = 0;
    if (info.density_unit == kJfifDotsPerInch) unit = 2;
    else if (info.density_unit == kJfifDotsPerCm) unit = 3;
    else return;
    if (const auto dpi = ResolutionToDpi(info.X_density, unit)) params.DotsPerInchX = *dpi;
    if (const auto dpi = ResolutionToDpi(info.Y_density, unit)) params.DotsPerInchY = *dpi;
}

void fillParams(const jpeg_decompress_struct& info, const TLayoutChoice& choice, TIOParams& params) {
    params.ImageWidth = params.OriginalWidth = static_cast<int32_t>(info.image_width);
    params.ImageHeight = params.OriginalHeight = static_cast<int32_t>(info.image_height);
    params.ChannelBits = info.data_precision;
    params.ChannelCount = choice.channels;
    // A file without Exif data has no description values, so stale ones
    // from an earlier file must not stay.
    ApplyExifInfo(readExif(info), params);
    // The JFIF density, when it has a unit, speaks for the file first.
    readJfifDensity(info, params);
}

// Adobe's writers (and ImageMagick, following them) store CMYK inverted:
// 255 is no ink. libjpeg hands the samples over as stored.
void cmykToBgr(const uint8_t* cmyk, uint8_t* bgr, JDIMENSION width, bool inverted) {
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const unsigned flip = inverted ? 0 : 255;
        const unsigned k = cmyk[3] ^ flip;
        bgr[0] = static_cast<uint8_t>(((cmyk[2] ^ flip) * k + 127) / 255);
        bgr[1] = static_cast<uint8_t>(((cmyk[1] ^ flip) * k + 127) / 255);
        bgr[2] = static_cast<uint8_t>(((cmyk[0] ^ flip) * k + 127) / 255);
    }
}

bool readPixels(TJpegJob& job, const TLayoutChoice& choice, TRaster& image, TProgressContext& ctx) {
    jpeg_decompress_struct& info = job.info;
    const JDIMENSION width = info.output_width, height = info.output_height;
    image.Allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), choice.layout);
    const bool cmyk = choice.out == JCS_CMYK;
    std::vector<uint8_t> cmykRows(cmyk ? size_t{width} * 4 * kBandRows : 0);
    while (info.output_scanline < height) {
        const JDIMENSION first = info.output_scanline;
        job.bandRows = std::min(kBandRows, height - first);
        for (JDIMENSION i = 0; i < job.bandRows; ++i)
            job.rows[i] = cmyk ? cmykRows.data() + size_t{i} * width * 4 : image.Scanline(static_cast<int32_t>(first + i));
        if (!runStep(job, readBandStep)) return false;
        if (cmyk)
            for (JDIMENSION i = 0; i < job.bandRows; ++i)
                cmykToBgr(job.rows[i], image.Scanline(static_cast<int32_t>(first + i)), width, info.saw_Adobe_marker);
        ctx.Report(static_cast<int>(10 + int64_t{90} * info.output_scanline / height));
        if (ctx.AbortFlag) return false;
    }
    return true;
}

void decode(std::span<const uint8_t> bytes, TRaster& image, TIOParams& params, TProgressContext& ctx,
            bool paramsOnly) {
    TJpegJob job;
    job.data = bytes.data();
    job.size = bytes.size();
    if (!runStep(job, readHeaderStep)) return ctx.AbortFlag = true, void();
    jpeg_decompress_struct& info = job.info;
    const std::optional<TLayoutChoice> choice = chooseLayout(info);
    if (!choice || !sizePlausible(info, bytes.size())) return ctx.AbortFlag = true, void();
    fillParams(info, *choice, params);
    params.SetImageCount(1);
    ctx.Report(10);
    if (paramsOnly) return;
    info.out_color_space = choice->out;
    info.dct_method = JDCT_ISLOW;
    if (!runStep(job, startStep) || !readPixels(job, *choice, image, ctx)) ctx.AbortFlag = true;
}

// Some files carry a little junk before the start-of-image marker.
std::span<const uint8_t> skipLeadingJunk(std::span<const uint8_t> bytes) {
    const size_t limit = std::min(bytes.size(), kMaxLeadingJunk + 3);
    for (size_t i = 0; i + 2 < limit; ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xD8 && bytes[i + 2] == 0xFF) return bytes.subspan(i);
    return bytes;
}

void readJpegImage(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    try {
        std::span<const uint8_t> bytes = stream.Contents();
        std::vector<uint8_t> copy;
        const int64_t at = stream.Position();
        if (!bytes.empty()) {
            bytes = bytes.subspan(static_cast<size_t>(std::clamp<int64_t>(at, 0, static_cast<int64_t>(bytes.size()))));
        } else {
            copy.resize(static_cast<size_t>(std::max<int64_t>(0, stream.Size() - at)));
            copy.resize(stream.Read(copy.data(), copy.size()));
            bytes = copy;
        }
        ReadJpegBytes(bytes, image, params, ctx, paramsOnly);
    } catch (const std::bad_alloc&) {
        ctx.AbortFlag = true;
    } catch (const std::length_error&) {
        ctx.AbortFlag = true;
    }
}

}  // namespace

void ReadJpegBytes(std::span<const uint8_t> bytes, TRaster& image, TIOParams& params, TProgressContext& ctx,
                   bool paramsOnly) {
    ctx.Report(0);
    if (ctx.AbortFlag) return;
    try {
        decode(skipLeadingJunk(bytes), image, params, ctx, paramsOnly);
    } catch (const std::bad_alloc&) {
        ctx.AbortFlag = true;
    } catch (const std::length_error&) {
        ctx.AbortFlag = true;
    }
    if (!ctx.AbortFlag) ctx.Report(100);
}

const TImageReader& JpegImageReader() {
    static const TImageReader reader{readJpegImage};
    return reader;
}

}  // namespace loopsmith
