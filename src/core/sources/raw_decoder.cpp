#include "sources/raw_decoder.h"

#include "sources/decoder_support.h"

#include <libraw/libraw.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "sources/image_reader.h"
#include "sources/tiff_decoder.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

// Raw data is at worst losslessly compressed, a few bits a pixel: a
// sensor claiming more pixels than this per byte of file is not real.
constexpr uint64_t kMaxSensorPixelsPerByte = 16;
constexpr uint64_t kSmallSensorPixels = uint64_t{1} << 16;

// The stream's remaining bytes up to `limit`: in place for memory streams,
// else copied. `whole` tells whether the limit cut nothing off.
struct StreamBytes {
    std::vector<uint8_t> owned;
    std::span<const uint8_t> bytes;
    bool whole = false;
};

bool takeBytes(TStream& stream, size_t limit, StreamBytes& out) {
    const int64_t start = stream.Position();
    const int64_t left = stream.Size() - start;
    if (left <= 0) return false;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(left), limit));
    out.whole = static_cast<uint64_t>(left) <= limit;
    const std::span<const uint8_t> contents = stream.Contents();
    if (!contents.empty() && static_cast<uint64_t>(start) + take <= contents.size()) {
        out.bytes = contents.subspan(static_cast<size_t>(start), take);
        return true;
    }
    out.owned.resize(take);
    out.owned.resize(stream.Read(out.owned.data(), take));
    out.bytes = out.owned;
    return !out.bytes.empty();
}

// ---- LibRaw ----------------------------------------------------------------------

// The one translator from LibRaw's reports: data and memory errors are
// recorded, never printed, and a set abort flag stops the processing.
struct RawSession {
    bool failed = false;
    const bool* abortFlag = nullptr;
};

void recordDataError(void* data, const char*, const int) { static_cast<RawSession*>(data)->failed = true; }
void recordMemoryError(void* data, const char*, const char*) { static_cast<RawSession*>(data)->failed = true; }
int checkCancel(void* data, enum LibRaw_progress, int, int) {
    const auto* session = static_cast<RawSession*>(data);
    return session->abortFlag && *session->abortFlag ? 1 : 0;
}

struct RawCloser {
    void operator()(libraw_data_t* raw) const { libraw_close(raw); }
};
struct ProcessedFreer {
    void operator()(libraw_processed_image_t* image) const { libraw_dcraw_clear_mem(image); }
};
using RawHandle = std::unique_ptr<libraw_data_t, RawCloser>;
using ProcessedHandle = std::unique_ptr<libraw_processed_image_t, ProcessedFreer>;

RawHandle openRaw(RawSession& session, std::span<const uint8_t> bytes) {
    RawHandle raw(libraw_init(0));
    if (!raw) return nullptr;
    libraw_set_dataerror_handler(raw.get(), recordDataError, &session);
    libraw_set_memerror_handler(raw.get(), recordMemoryError, &session);
    libraw_set_progress_handler(raw.get(), checkCancel, &session);
    // LibRaw only reads from the buffer.
    void* data = const_cast<uint8_t*>(bytes.data());
    if (libraw_open_buffer(raw.get(), data, bytes.size()) != LIBRAW_SUCCESS) return nullptr;
    return raw;
}

// The sensor and the developed picture within our caps, and the sensor
// no larger than the file can hold.
bool sizesAcceptable(const libraw_data_t& raw, size_t fileBytes) {
    const uint64_t sensor = uint64_t{raw.sizes.raw_width} * raw.sizes.raw_height;
    const uint64_t picture = uint64_t{raw.sizes.width} * raw.sizes.height;
    if (sensor == 0 || picture == 0) return false;
    if (sensor > static_cast<uint64_t>(kRawMaxPixels) || picture > static_cast<uint64_t>(kRawMaxPixels)) return false;
    return sensor <= std::max(kSmallSensorPixels, fileBytes * kMaxSensorPixelsPerByte);
}

void fillParams(const libraw_data_t& raw, TIOParams& params) {
    int32_t w = raw.sizes.width, h = raw.sizes.height;
    // Flips 5 and 6 turn the picture a quarter.
    if (raw.sizes.flip & 4) std::swap(w, h);
    params.ImageWidth = params.OriginalWidth = w;
    params.ImageHeight = params.OriginalHeight = h;
    params.ChannelBits = 8;
    params.ChannelCount = 3;
    params.Artist = TiffTextToUtf8(std::string_view(raw.other.artist, strnlen(raw.other.artist, sizeof raw.other.artist)));
    // LibRaw does not hand out the Windows fields.
    params.XPTitle.clear();
    params.XPComment.clear();
    params.XPAuthor.clear();
    params.XPKeywords.clear();
    params.XPSubject.clear();
    params.SetImageCount(1);
}

bool storePicture(const libraw_processed_image_t& picture, TRaster& image) {
    if (picture.type != LIBRAW_IMAGE_BITMAP || picture.bits != 8 || (picture.colors != 3 && picture.colors != 1))
        return false;
    const uint64_t expected = uint64_t{picture.width} * picture.height * picture.colors;
    if (picture.width == 0 || picture.height == 0 || picture.data_size < expected) return false;
    image.Allocate(picture.width, picture.height, px24RGB);
    const uint8_t* in = picture.data;
    for (int32_t y = 0; y < image.Height(); ++y) {
        uint8_t* out = image.Scanline(y);
        for (int32_t x = 0; x < image.Width(); ++x, in += picture.colors, out += 3) {
            const bool grey = picture.colors == 1;
            out[0] = in[grey ? 0 : 2];
            out[1] = in[grey ? 0 : 1];
            out[2] = in[0];
        }
    }
    return true;
}

bool develop(libraw_data_t* raw, RawSession& session, TRaster& image) {
    if (libraw_unpack(raw) != LIBRAW_SUCCESS || session.failed) return false;
    if (libraw_dcraw_process(raw) != LIBRAW_SUCCESS || session.failed) return false;
    int error = LIBRAW_SUCCESS;
    ProcessedHandle picture(libraw_dcraw_make_mem_image(raw, &error));
    return picture && error == LIBRAW_SUCCESS && storePicture(*picture, image);
}

bool readRaw(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    StreamBytes data;
    if (!takeBytes(stream, kRawMaxFileBytes, data) || !data.whole) return false;
    RawSession session;
    session.abortFlag = &ctx.AbortFlag;
    RawHandle raw = openRaw(session, data.bytes);
    if (!raw || !sizesAcceptable(*raw, data.bytes.size())) return false;
    fillParams(*raw, params);
    if (paramsOnly) return true;
    if (!develop(raw.get(), session, image)) return false;
    // The picture LibRaw delivered is what the entry shows.
    params.ImageWidth = params.OriginalWidth = image.Width();
    params.ImageHeight = params.OriginalHeight = image.Height();
    return true;
}

void readRawImage(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    ReadRawStream(stream, image, params, ctx, paramsOnly);
}

}  // namespace

bool IdentifyRawStream(TStream& stream) noexcept {
    try {
        StreamBytes data;
        if (!takeBytes(stream, kRawIdentifyBytes, data)) return false;
        RawSession session;
        return openRaw(session, data.bytes) != nullptr;
    } catch (...) {
        return false;
    }
}

void ReadRawStream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    RunGuarded(ctx, [&] { return readRaw(stream, image, params, ctx, paramsOnly); });
    if (ctx.AbortFlag) image.Clear();
}

const TImageReader& RawImageReader() {
    static const TImageReader reader{readRawImage};
    return reader;
}

}  // namespace loopsmith
