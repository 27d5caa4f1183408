#include "sources/jpeg2000_decoder.h"

#include "sources/decoder_support.h"

#include <openjpeg.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr size_t kMaxFileBytes = size_t{512} << 20;
// OpenJPEG keeps 32-bit samples, twice over while it decodes: the sample
// count is capped on its own.
constexpr uint64_t kMaxSamples = uint64_t{1} << 28;
// An empty code block costs a bit or so, which makes the true ratio
// unbounded. Photos, even at 0.1 bit a pixel, stay far below this; flat
// synthetic pictures may not, and are read up to the small-image size.
constexpr uint64_t kMaxSamplesPerByte = 2048;
constexpr uint64_t kSmallImageSamples = uint64_t{1} << 24;
constexpr uint32_t kMaxPrecision = 31;

// ---- the bytes -------------------------------------------------------------------

// The stream's remaining bytes: in place for memory streams, else copied.
// ---- OpenJPEG's view of the bytes ---------------------------------------------------

struct MemorySource {
    std::span<const uint8_t> bytes;
    size_t pos = 0;
    bool failed = false;  // OpenJPEG reported an error
};

MemorySource& sourceOf(void* user) { return *static_cast<MemorySource*>(user); }

OPJ_SIZE_T sourceRead(void* buffer, OPJ_SIZE_T count, void* user) {
    MemorySource& s = sourceOf(user);
    if (s.pos >= s.bytes.size()) return static_cast<OPJ_SIZE_T>(-1);
    const size_t n = std::min<size_t>(count, s.bytes.size() - s.pos);
    std::memcpy(buffer, s.bytes.data() + s.pos, n);
    s.pos += n;
    return n;
}

OPJ_OFF_T sourceSkip(OPJ_OFF_T count, void* user) {
    MemorySource& s = sourceOf(user);
    const auto size = static_cast<OPJ_OFF_T>(s.bytes.size());
    const auto pos = static_cast<OPJ_OFF_T>(s.pos);
    if (count < -pos || count > size - pos) {
        s.pos = count < 0 ? 0 : s.bytes.size();
        return -1;
    }
    s.pos = static_cast<size_t>(pos + count);
    return count;
}

OPJ_BOOL sourceSeek(OPJ_OFF_T position, void* user) {
    MemorySource& s = sourceOf(user);
    if (position < 0 || static_cast<uint64_t>(position) > s.bytes.size()) return OPJ_FALSE;
    s.pos = static_cast<size_t>(position);
    return OPJ_TRUE;
}

// The one translator from OpenJPEG's messages: errors are recorded, the
// rest dropped, nothing printed.
void recordError(const char*, void* user) { static_cast<MemorySource*>(user)->failed = true; }
void dropMessage(const char*, void*) {}

struct CodecDestroyer {
    void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct StreamDestroyer {
    void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct ImageDestroyer {
    void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};
using CodecHandle = std::unique_ptr<opj_codec_t, CodecDestroyer>;
using StreamHandle = std::unique_ptr<opj_stream_t, StreamDestroyer>;
using ImageHandle = std::unique_ptr<opj_image_t, ImageDestroyer>;

constexpr uint8_t kJp2Signature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
constexpr uint8_t kCodeStreamStart[4] = {0xFF, 0x4F, 0xFF, 0x51};

// The format from the signature, whatever the file's name or kind said.
bool chooseFormat(std::span<const uint8_t> bytes, OPJ_CODEC_FORMAT& format) {
    if (bytes.size() >= sizeof kJp2Signature && std::memcmp(bytes.data(), kJp2Signature, sizeof kJp2Signature) == 0)
        format = OPJ_CODEC_JP2;
    else if (bytes.size() >= sizeof kCodeStreamStart &&
             std::memcmp(bytes.data(), kCodeStreamStart, sizeof kCodeStreamStart) == 0)
        format = OPJ_CODEC_J2K;
    else
        return false;
    return true;
}

StreamHandle openSource(MemorySource& source) {
    // The data is in memory already: a small file needs no 1 MB read buffer.
    const size_t chunk = std::clamp<size_t>(source.bytes.size(), 4096, OPJ_J2K_STREAM_CHUNK_SIZE);
    StreamHandle stream(opj_stream_create(chunk, OPJ_TRUE));
    if (!stream) return nullptr;
    opj_stream_set_user_data(stream.get(), &source, nullptr);
    opj_stream_set_user_data_length(stream.get(), source.bytes.size());
    opj_stream_set_read_function(stream.get(), sourceRead);
    opj_stream_set_skip_function(stream.get(), sourceSkip);
    opj_stream_set_seek_function(stream.get(), sourceSeek);
    return stream;
}

CodecHandle openCodec(OPJ_CODEC_FORMAT format, MemorySource& source) {
    CodecHandle codec(opj_create_decompress(format));
    if (!codec) return nullptr;
    opj_set_info_handler(codec.get(), dropMessage, nullptr);
    opj_set_warning_handler(codec.get(), dropMessage, nullptr);
    opj_set_error_handler(codec.get(), recordError, &source);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(codec.get(), &parameters)) return nullptr;
    // A code stream cut short is an error, not a blurred picture.
    opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE);
    return codec;
}

// ---- sizes --------------------------------------------------------------------------

uint32_t ceilDiv(uint32_t a, uint32_t b) { return static_cast<uint32_t>((uint64_t{a} + b - 1) / b); }

// What the header promises, checked against our caps and the data's size.
bool headerAcceptable(const opj_image_t& image, size_t dataBytes) {
    if (image.x1 <= image.x0 || image.y1 <= image.y0) return false;
    if (image.numcomps < 1 || image.numcomps > 4 || !image.comps) return false;
    const uint64_t w = image.x1 - image.x0, h = image.y1 - image.y0;
    if (w * h > static_cast<uint64_t>(kJpeg2000MaxPixels)) return false;
    uint64_t samples = 0;
    for (uint32_t i = 0; i < image.numcomps; ++i) {
        const opj_image_comp_t& c = image.comps[i];
        if (c.dx == 0 || c.dy == 0 || c.prec == 0 || c.prec > kMaxPrecision) return false;
        samples += uint64_t{ceilDiv(image.x1, c.dx) - ceilDiv(image.x0, c.dx)} *
                   (ceilDiv(image.y1, c.dy) - ceilDiv(image.y0, c.dy));
    }
    return samples <= kMaxSamples && samples <= std::max<uint64_t>(kSmallImageSamples, dataBytes * kMaxSamplesPerByte);
}

void fillParams(const opj_image_t& image, TIOParams& params) {
    params.ImageWidth = params.OriginalWidth = static_cast<int32_t>(image.x1 - image.x0);
    params.ImageHeight = params.OriginalHeight = static_cast<int32_t>(image.y1 - image.y0);
    params.ChannelBits = static_cast<int32_t>(image.comps[0].prec);
    params.ChannelCount = static_cast<int32_t>(image.numcomps);
    params.SetImageCount(1);
}

// ---- samples to pixels ------------------------------------------------------------------

// One component read at full size: nearest sample for subsampled ones,
// scaled from its precision to 0..255.
class ComponentReader {
public:
    ComponentReader(const opj_image_t& image, const opj_image_comp_t& comp) : m_comp(comp) {
        const uint32_t maxValue = comp.prec >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << comp.prec) - 1;
        m_max = maxValue;
        m_offset = comp.sgnd ? int64_t{1} << (comp.prec - 1) : 0;
        m_imageX0 = image.x0;
        m_imageY0 = image.y0;
    }

    bool usable() const { return m_comp.data && m_comp.w > 0 && m_comp.h > 0; }

    // Row of component samples for image row y (0-based).
    const int32_t* row(uint32_t y) const {
        const uint32_t gy = (m_imageY0 + y) / m_comp.dy;
        const uint32_t cy = std::min(gy > m_comp.y0 ? gy - m_comp.y0 : 0, m_comp.h - 1);
        return m_comp.data + static_cast<size_t>(cy) * m_comp.w;
    }

    uint8_t at(const int32_t* row, uint32_t x) const {
        const uint32_t gx = (m_imageX0 + x) / m_comp.dx;
        const uint32_t cx = std::min(gx > m_comp.x0 ? gx - m_comp.x0 : 0, m_comp.w - 1);
        const int64_t v = std::clamp<int64_t>(int64_t{row[cx]} + m_offset, 0, m_max);
        if (m_max == 255) return static_cast<uint8_t>(v);
        return static_cast<uint8_t>((v * 255 + m_max / 2) / m_max);
    }

private:
    const opj_image_comp_t& m_comp;
    int64_t m_max = 255;
    int64_t m_offset = 0;
    uint32_t m_imageX0 = 0, m_imageY0 = 0;
};

struct Layout {
    std::array<int, 4> colour{};  // component indices of grey, or of R G B (C M Y K)
    int colourCount = 0;
    int alpha = -1;
    OPJ_COLOR_SPACE space = OPJ_CLRSPC_UNSPECIFIED;
};

// A bare code stream names no colour space; three components with the
// second and third subsampled are luma and chroma, as other decoders take them.
OPJ_COLOR_SPACE colourSpace(const opj_image_t& image) {
    if (image.color_space != OPJ_CLRSPC_UNSPECIFIED && image.color_space != OPJ_CLRSPC_UNKNOWN)
        return image.color_space;
    const opj_image_comp_t* c = image.comps;
    const bool chromaSubsampled = image.numcomps == 3 && c[0].dx == 1 && c[0].dy == 1 &&
                                  (c[1].dx > 1 || c[1].dy > 1) && (c[2].dx > 1 || c[2].dy > 1);
    return chromaSubsampled ? OPJ_CLRSPC_SYCC : image.color_space;
}

// Alpha is the component the file marks as such; without marks the
// second of two or the fourth of four (never for CMYK).
bool chooseLayout(const opj_image_t& image, Layout& layout) {
    layout.space = colourSpace(image);
    for (uint32_t i = 0; i < image.numcomps; ++i)
        if (image.comps[i].alpha && layout.alpha < 0) layout.alpha = static_cast<int>(i);
    const bool cmyk = layout.space == OPJ_CLRSPC_CMYK;
    if (layout.alpha < 0 && !cmyk && (image.numcomps == 2 || image.numcomps == 4))
        layout.alpha = static_cast<int>(image.numcomps) - 1;
    for (uint32_t i = 0; i < image.numcomps && layout.colourCount < 4; ++i)
        if (static_cast<int>(i) != layout.alpha) layout.colour[static_cast<size_t>(layout.colourCount++)] = static_cast<int>(i);
    if (cmyk) return layout.colourCount == 4;
    if (layout.space == OPJ_CLRSPC_EYCC) return false;
    return layout.colourCount == 1 || layout.colourCount == 3;
}

uint8_t clampByte(double v) { return static_cast<uint8_t>(std::clamp(v + 0.5, 0.0, 255.0)); }

// Full-range BT.601 as sYCC defines it.
void yccToRgb(uint8_t y, uint8_t cb, uint8_t cr, uint8_t* bgr) {
    const double u = cb - 128.0, v = cr - 128.0;
    bgr[2] = clampByte(y + 1.402 * v);
    bgr[1] = clampByte(y - 0.344136 * u - 0.714136 * v);
    bgr[0] = clampByte(y + 1.772 * u);
}

uint8_t inkToLight(uint8_t ink, uint8_t black) { return static_cast<uint8_t>((255 - ink) * (255 - black) / 255); }

bool storePixels(const opj_image_t& image, const Layout& layout, TRaster& out) {
    std::vector<ComponentReader> comps;
    for (uint32_t i = 0; i < image.numcomps; ++i) {
        comps.emplace_back(image, image.comps[i]);
        if (!comps.back().usable()) return false;
    }
    const uint32_t w = image.x1 - image.x0, h = image.y1 - image.y0;
    const bool grey = layout.colourCount == 1;
    out.Allocate(static_cast<int32_t>(w), static_cast<int32_t>(h), grey ? px8g : px24RGB);
    TRaster* alpha = layout.alpha >= 0 ? &out.AlphaChannel() : nullptr;
    const auto& c = layout.colour;
    for (uint32_t y = 0; y < h; ++y) {
        std::array<const int32_t*, 4> rows{};
        for (int k = 0; k < layout.colourCount; ++k) rows[static_cast<size_t>(k)] = comps[static_cast<size_t>(c[k])].row(y);
        uint8_t* line = out.Scanline(static_cast<int32_t>(y));
        for (uint32_t x = 0; x < w; ++x) {
            auto sample = [&](int k) { return comps[static_cast<size_t>(c[static_cast<size_t>(k)])].at(rows[static_cast<size_t>(k)], x); };
            if (grey) {
                line[x] = sample(0);
            } else if (layout.colourCount == 4) {
                const uint8_t k = sample(3);
                line[3 * x] = inkToLight(sample(2), k);
                line[3 * x + 1] = inkToLight(sample(1), k);
                line[3 * x + 2] = inkToLight(sample(0), k);
            } else if (layout.space == OPJ_CLRSPC_SYCC) {
                yccToRgb(sample(0), sample(1), sample(2), line + 3 * x);
            } else {
                line[3 * x] = sample(2);
                line[3 * x + 1] = sample(1);
                line[3 * x + 2] = sample(0);
            }
        }
        if (alpha) {
            const ComponentReader& a = comps[static_cast<size_t>(layout.alpha)];
            const int32_t* arow = a.row(y);
            uint8_t* aline = alpha->Scanline(static_cast<int32_t>(y));
            for (uint32_t x = 0; x < w; ++x) aline[x] = a.at(arow, x);
        }
    }
    return true;
}

// ---- the whole read -----------------------------------------------------------------------

bool decodeInto(std::span<const uint8_t> bytes, TRaster& out, TIOParams& params, bool paramsOnly) {
    OPJ_CODEC_FORMAT format = OPJ_CODEC_UNKNOWN;
    if (!chooseFormat(bytes, format)) return false;
    MemorySource source{bytes};
    StreamHandle stream = openSource(source);
    CodecHandle codec = stream ? openCodec(format, source) : nullptr;
    if (!codec) return false;
    opj_image_t* header = nullptr;
    const bool headerRead = opj_read_header(stream.get(), codec.get(), &header) == OPJ_TRUE;
    ImageHandle image(header);
    if (!headerRead || !image || source.failed || !headerAcceptable(*image, bytes.size())) return false;
    fillParams(*image, params);
    if (paramsOnly) return true;
    if (!opj_decode(codec.get(), stream.get(), image.get()) || !opj_end_decompress(codec.get(), stream.get()))
        return false;
    // A palette or channel definition box may have changed the components.
    Layout layout;
    if (source.failed || image->numcomps < 1 || image->numcomps > 4 || !chooseLayout(*image, layout)) return false;
    return storePixels(*image, layout, out);
}

void readJpeg2000Image(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    ReadJpeg2000Stream(stream, image, params, ctx, paramsOnly);
}

}  // namespace

void ReadJpeg2000Stream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    RunGuarded(ctx, [&] {
        const int64_t left = stream.Size() - stream.Position();
        if (left <= 0 || static_cast<uint64_t>(left) > kMaxFileBytes) return false;
        std::vector<uint8_t> holder;
        const std::span<const uint8_t> data = RemainingBytes(stream, holder);
        return !data.empty() && decodeInto(data, image, params, paramsOnly);
    });
    if (ctx.AbortFlag) image.Clear();
}

const TImageReader& Jpeg2000ImageReader() {
    static const TImageReader reader{readJpeg2000Image};
    return reader;
}

}  // namespace loopsmith
