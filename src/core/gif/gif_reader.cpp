#include "gif/gif_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "gif/gif_compose.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr int kExtensionIntroducer = 0x21;
constexpr int kImageSeparator = 0x2C;
constexpr int kTrailer = 0x3B;
constexpr int kGraphicControlLabel = 0xF9;
constexpr int kCommentLabel = 0xFE;
constexpr int kScreenBytes = 13;
constexpr int kDescriptorBytes = 9;

// Buffered reading for the block walk, so that the many one-byte reads and
// sub-block skips do not each reach the stream. A stream held in memory is
// walked in place. The stream's own position stays at the end of the
// buffered bytes until handOver.
class TBlockSource {
public:
    explicit TBlockSource(TStream& stream) : m_stream(stream), m_base(stream.Position()) {
        const std::span<const uint8_t> contents = stream.Contents();
        if (!contents.empty()) {
            m_memory = contents.data();
            m_memorySize = contents.size();
            takeBack();
        }
    }

    int64_t position() const { return m_base + static_cast<int64_t>(m_pos); }

    int readByte() {
        if (m_pos == m_len && !refill()) return -1;
        return m_data[m_pos++];
    }

    size_t read(uint8_t* out, size_t count) {
        size_t done = std::min(count, m_len - m_pos);
        std::memcpy(out, m_data + m_pos, done);
        m_pos += done;
        if (done < count && !m_memory) {
            m_base += static_cast<int64_t>(m_len);
            m_pos = m_len = 0;
            size_t got = m_stream.Read(out + done, count - done);
            m_base += static_cast<int64_t>(got);
            done += got;
        }
        return done;
    }

    void skip(size_t count) {
        if (count <= m_len - m_pos) {
            m_pos += count;
            return;
        }
        const int64_t target = position() + static_cast<int64_t>(count);
        m_stream.Seek(target);
        m_base = target;
        m_pos = m_len = 0;
        if (m_memory) takeBack();
    }

    // Skips data sub-blocks up to and including the 0 length byte.
    void skipSubBlocks() {
        for (int length = readByte(); length > 0; length = readByte()) skip(static_cast<size_t>(length));
    }

    // Puts the stream at the logical position for a routine that reads it
    // directly; takeBack resumes from wherever that routine left it.
    TStream& handOver() {
        const int64_t here = position();
        m_stream.Seek(here);
        m_base = here;
        m_pos = m_len = 0;
        return m_stream;
    }
    void takeBack() {
        m_base = m_stream.Position();
        m_pos = m_len = 0;
        if (m_memory) {
            // The rest of the stream is the buffer.
            const size_t at = static_cast<size_t>(std::clamp<int64_t>(m_base, 0, static_cast<int64_t>(m_memorySize)));
            m_base = static_cast<int64_t>(at);
            m_data = m_memory + at;
            m_len = m_memorySize - at;
        }
    }

private:
    bool refill() {
        if (m_memory) return false;
        m_base += static_cast<int64_t>(m_len);
        m_pos = 0;
        m_len = m_stream.Read(m_buffer.data(), m_buffer.size());
        return m_len > 0;
    }

    TStream& m_stream;
    int64_t m_base;  // stream position of m_data[0]
    size_t m_pos = 0;
    size_t m_len = 0;
    const uint8_t* m_memory = nullptr;
    size_t m_memorySize = 0;
    std::array<uint8_t, 16384> m_buffer;
    const uint8_t* m_data = m_buffer.data();
};

struct ColourTable {
    std::array<TRGB, 256> colours{};
    int bits = 0;  // the table holds 2^(bits + 1) entries
};

const ColourTable& defaultTable(int bits) {
    static const std::array<ColourTable, 8> tables = [] {
        std::array<ColourTable, 8> all{};
        for (int b = 0; b < 8; ++b) {
            std::copy_n(GifDefaultPalette(), 256, all[b].colours.begin());
            all[b].bits = b;
        }
        return all;
    }();
    return tables[static_cast<size_t>(bits & 7)];
}

struct GraphicControl {
    uint8_t packed = 0;
    uint16_t delay = 0;
    uint8_t transparentIndex = 0;
};

struct ImageDescriptor {
    int32_t left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    bool hasLocalTable = false;
    int tableBits = 0;
};

// One pass over a GIF file: every block is parsed to count the images,
// the wanted image is read, all other image data is skipped unread.
class TGifWalk {
public:
    TGifWalk(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly,
             std::optional<TRaster>& mask, bool noMask)
        : m_source(stream), m_image(image), m_params(params), m_ctx(ctx), m_paramsOnly(paramsOnly), m_mask(mask),
          m_noMask(noMask), m_streamSize(stream.Size()), m_wanted(params.GifImageIndex) {}

    int32_t imageCount() const { return m_imageCount; }

    void run() {
        if (!readScreen()) return;
        while (!aborted()) {
            int block = m_source.readByte();
            if (block < 0 || m_source.position() >= m_streamSize) block = kTrailer;
            if (block == kTrailer) break;
            if (block == kExtensionIntroducer) readExtension();
            else if (block == kImageSeparator) readImage();
            // Stray bytes between blocks are passed over.
        }
    }

private:
    bool aborted() const { return m_ctx.AbortFlag; }
    void abort() { m_ctx.AbortFlag = true; }
    int64_t bytesLeft() const { return std::max<int64_t>(0, m_streamSize - m_source.position()); }

    bool pixelCountPlausible(int64_t width, int64_t height) const {
        const int64_t pixels = width * height;
        return pixels <= kGifMaxPixels && pixels <= GifPixelBound(bytesLeft());
    }

    bool readTable(ColourTable& table, int bits) {
        table.bits = bits;
        table.colours.fill(TRGB{});
        const size_t count = size_t{1} << (bits + 1);
        uint8_t rgb[768];
        const size_t got = m_source.read(rgb, 3 * count);
        for (size_t i = 0; i < count; ++i) table.colours[i] = MakeRGB(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
        return got == 3 * count;
    }

    bool readScreen() {
        uint8_t s[kScreenBytes];
        if (m_source.read(s, kScreenBytes) != kScreenBytes || std::memcmp(s, "GIF", 3) != 0) {
            abort();
            return false;
        }
        m_params.GifSignature.assign(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), 6));
        m_params.GifScreenWidth = s[6] | (s[7] << 8);
        m_params.GifScreenHeight = s[8] | (s[9] << 8);
        m_params.GifAspect = s[12];
        m_params.DotsPerInchX = m_params.DotsPerInchY = kDefaultDpi;
        m_params.ChannelCount = 1;
        const uint8_t packed = s[10];
        m_global.bits = packed & 7;
        if (packed & 0x80) {
            m_hasGlobal = true;
            if (!readTable(m_global, packed & 7)) {
                abort();
                return false;
            }
            m_params.GifBackgroundColor = m_global.colours[s[11]];
        }
        if (m_source.position() >= m_streamSize ||
            !pixelCountPlausible(m_params.GifScreenWidth, m_params.GifScreenHeight)) {
            abort();
            return false;
        }
        return true;
    }

    void readExtension() {
        const int label = m_source.readByte();
        if (label == kGraphicControlLabel && m_imageCount == m_wanted) readGraphicControl();
        else if (label == kCommentLabel) readComment();
        else if (label >= 0) m_source.skipSubBlocks();
    }

    // The values are the first 4 bytes of the first sub-block; a block of
    // another size is still skipped by its lengths, so the walk stays in
    // step with the file.
    void readGraphicControl() {
        m_control = GraphicControl{};
        const int size = m_source.readByte();
        if (size <= 0) return;
        uint8_t v[255] = {};
        m_source.read(v, static_cast<size_t>(size));
        m_control.packed = v[0];
        m_control.delay = static_cast<uint16_t>(v[1] | (v[2] << 8));
        m_control.transparentIndex = v[3];
        m_source.skipSubBlocks();
    }

    void readComment() {
        uint8_t text[255];
        for (int length = m_source.readByte(); length > 0; length = m_source.readByte()) {
            const size_t got = m_source.read(text, static_cast<size_t>(length));
            const size_t n = strnlen(reinterpret_cast<const char*>(text), got);
            if (n > 0) m_params.GifComments.emplace_back(reinterpret_cast<const char*>(text), n);
        }
    }

    void readImage() {
        uint8_t d[kDescriptorBytes];
        bool complete = m_source.read(d, kDescriptorBytes) == kDescriptorBytes;
        ImageDescriptor desc;
        desc.left = d[0] | (d[1] << 8);
        desc.top = d[2] | (d[3] << 8);
        desc.width = d[4] | (d[5] << 8);
        desc.height = d[6] | (d[7] << 8);
        desc.interlaced = (d[8] & 0x40) != 0;
        desc.hasLocalTable = (d[8] & 0x80) != 0;
        desc.tableBits = d[8] & 7;
        if (complete && desc.hasLocalTable) complete = readTable(m_local, desc.tableBits);

        if (m_imageCount == m_wanted) {
            if (!complete) abort();
            else readWantedImage(desc);
        } else {
            m_source.readByte();  // minimum code size
            m_source.skipSubBlocks();
        }
        ++m_imageCount;
    }

    const ColourTable& tableFor(const ImageDescriptor& desc) const {
        if (desc.hasLocalTable) return m_local;
        if (m_hasGlobal) return m_global;
        return defaultTable(m_global.bits);
    }

    void setImageParams(const ImageDescriptor& desc, const ColourTable& table) {
        TIOParams& p = m_params;
        p.GifTransparentColor = table.colours[m_control.transparentIndex];
        p.GifLeft = desc.left;
        p.GifTop = desc.top;
        p.ImageWidth = p.OriginalWidth = desc.width;
        p.ImageHeight = p.OriginalHeight = desc.height;
        p.GifDelay = m_control.delay;
        p.GifTransparent = (m_control.packed & 1) != 0;
        p.GifInterlaced = desc.interlaced;
        p.GifDisposal = static_cast<uint8_t>((m_control.packed >> 2) & 7);
    }

    void readWantedImage(const ImageDescriptor& desc) {
        m_ctx.Report(30);
        if (aborted()) return;
        const ColourTable& table = tableFor(desc);
        setImageParams(desc, table);
        // Refuse before any allocation: a frame no larger than this file's
        // data could describe.
        if (!pixelCountPlausible(desc.width, desc.height)) {
            abort();
            return;
        }
        std::vector<uint8_t> indices;
        if (m_paramsOnly) {
            m_source.readByte();
            m_source.skipSubBlocks();
        } else if (!decode(desc, indices)) {
            return;
        }
        m_params.ChannelBits = table.bits + 1;
        const size_t paletteCount = size_t{1} << m_params.ChannelBits;
        m_params.SourcePalette.assign(table.colours.begin(), table.colours.begin() + static_cast<ptrdiff_t>(paletteCount));
        m_params.SourcePaletteCount = static_cast<int32_t>(paletteCount);
        if (!m_paramsOnly) buildImage(desc, table, indices);
    }

    bool decode(const ImageDescriptor& desc, std::vector<uint8_t>& indices) {
        indices.assign(static_cast<size_t>(desc.width) * static_cast<size_t>(desc.height), 0);
        TGifLzwDecodeFunc decoder = m_params.GifLzwDecoder ? m_params.GifLzwDecoder : DefaultGifLzwDecoder;
        TStream& stream = m_source.handOver();
        const int64_t before = stream.Position();
        const bool ok = decoder && decoder(stream, desc.height, desc.width, desc.interlaced, indices.data());
        const bool moved = stream.Position() != before;
        m_source.takeBack();
        if (!ok || !moved) {
            abort();
            return false;
        }
        m_ctx.Report(70);
        return !aborted();
    }

    void buildImage(const ImageDescriptor& desc, const ColourTable& table, const std::vector<uint8_t>& indices);

    TBlockSource m_source;
    TRaster& m_image;
    TIOParams& m_params;
    TProgressContext& m_ctx;
    const bool m_paramsOnly;
    std::optional<TRaster>& m_mask;
    const bool m_noMask;
    const int64_t m_streamSize;
    const int32_t m_wanted;
    int32_t m_imageCount = 0;
    bool m_hasGlobal = false;
    ColourTable m_global;
    ColourTable m_local;
    GraphicControl m_control;
};

void TGifWalk::buildImage(const ImageDescriptor& desc, const ColourTable& table, const std::vector<uint8_t>& indices) {
    const int32_t w = desc.width, h = desc.height;
    const TRGB black{}, white{255, 255, 255};
    const bool blackWhite = m_params.ChannelBits == 1 && table.colours[0] == black && table.colours[1] == white;
    const TPixelLayout layout = blackWhite ? px1g : (m_params.NativePixelFormat ? px8p : px24RGB);
    m_image.Allocate(w, h, layout);

    // Indices beyond the table's own entries read its zero (black) slots.
    uint8_t bgr[256 * 3];
    for (int i = 0; i < 256; ++i) {
        bgr[3 * i] = table.colours[i].b;
        bgr[3 * i + 1] = table.colours[i].g;
        bgr[3 * i + 2] = table.colours[i].r;
    }
    if (layout == px8p) m_image.Palette() = m_params.SourcePalette;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* in = indices.data() + static_cast<size_t>(y) * static_cast<size_t>(w);
        uint8_t* out = m_image.Scanline(y);
        switch (layout) {
            case px1g:
                for (int32_t x = 0; x < w; ++x)
                    if (in[x] == 1) out[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
                break;
            case px8p: std::memcpy(out, in, static_cast<size_t>(w)); break;
            default:
                for (int32_t x = 0; x < w; ++x, out += 3) std::memcpy(out, bgr + 3 * in[x], 3);
                break;
        }
    }

    if (m_noMask || !m_params.GifTransparent) return;
    m_mask.emplace(w, h, px8g);
    const uint8_t transparent = m_control.transparentIndex;
    bool any = false;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* in = indices.data() + static_cast<size_t>(y) * static_cast<size_t>(w);
        uint8_t* out = m_mask->Scanline(y);
        for (int32_t x = 0; x < w; ++x) {
            const bool clear = in[x] == transparent;
            out[x] = clear ? 0 : 255;
            any |= clear;
        }
    }
    if (!any) m_mask.reset();
}

void readGifImage(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    if (paramsOnly) {
        std::optional<TRaster> mask;
        int32_t count = 0;
        ReadGifStream(stream, image, count, params, ctx, true, mask, true);
        return;
    }
    ReadComposedGifFrame(stream, image, params, ctx);
}

}  // namespace

int64_t GifPixelBound(int64_t bytesLeft) {
    if (bytesLeft <= 0) return 0;
    if (bytesLeft > std::numeric_limits<int64_t>::max() / kGifMaxPixelsPerByte)
        return std::numeric_limits<int64_t>::max();
    return bytesLeft * kGifMaxPixelsPerByte;
}

const TRGB* GifDefaultPalette() {
    static const std::array<TRGB, 256> palette = [] {
        std::array<TRGB, 256> p{};
        p[1] = TRGB{255, 255, 255};
        for (int i = 2; i < 256; ++i) p[i] = TRGB{uint8_t(i), uint8_t(i), uint8_t(i)};
        return p;
    }();
    return palette.data();
}

void ReadGifStream(TStream& stream, TRaster& image, int32_t& imageCount, TIOParams& params, TProgressContext& ctx,
                   bool paramsOnly, std::optional<TRaster>& mask, bool noMask) {
    imageCount = 0;
    mask.reset();
    ctx.Report(0);
    if (ctx.AbortFlag) return;
    TGifWalk walk(stream, image, params, ctx, paramsOnly, mask, noMask);
    try {
        walk.run();
    } catch (const std::bad_alloc&) {
        ctx.AbortFlag = true;
    } catch (const std::length_error&) {
        ctx.AbortFlag = true;
    }
    imageCount = walk.imageCount();
    params.SetImageCount(imageCount);
    if (!ctx.AbortFlag) ctx.Report(100);
}

const TImageReader& GifImageReader() {
    static const TImageReader reader{readGifImage};
    return reader;
}

}  // namespace loopsmith
