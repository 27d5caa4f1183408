#include "gif/gif_blocks.h"

#include <algorithm>
#include <cstdlib>

#include "quant/quantizer.h"
#include "util/stream.h"

namespace loopsmith {

int32_t GifColourDepth(int32_t channelBits) { return channelBits >= 1 && channelBits <= 8 ? channelBits : 8; }

uint16_t ClampToUInt16(int64_t value) { return static_cast<uint16_t>(std::clamp<int64_t>(value, 0, 65535)); }

namespace {

// Up to `limit` distinct colours in scan order; stops at limit + 1.
std::vector<TRGB> distinctColours(const TRaster& image, size_t limit) {
    std::vector<TRGB> found;
    for (int32_t y = 0; y < image.Height(); ++y)
        for (int32_t x = 0; x < image.Width(); ++x) {
            TRGB c = image.PixelRGB(x, y);
            if (std::find(found.begin(), found.end(), c) != found.end()) continue;
            found.push_back(c);
            if (found.size() > limit) return found;
        }
    return found;
}

// Two colours at most: the darker one is bit 0. A single colour is white
// when it is bright, so a uniform light frame does not come out black.
TRaster twoColourCopy(const TRaster& image, const std::vector<TRGB>& colours) {
    TRaster bw(image.Width(), image.Height(), px1g);
    if (colours.empty()) return bw;
    const bool single = colours.size() == 1;
    const bool singleWhite = single && Luminance(colours[0]) >= 128;
    const TRGB white = !single && Luminance(colours[1]) < Luminance(colours[0]) ? colours[0] : colours.back();
    for (int32_t y = 0; y < image.Height(); ++y) {
        uint8_t* row = bw.Scanline(y);
        for (int32_t x = 0; x < image.Width(); ++x) {
            bool bit = single ? singleWhite : image.PixelRGB(x, y) == white;
            if (bit) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
        }
    }
    return bw;
}

}  // namespace

TGifFrame::TGifFrame(const TRaster& image, const TIOParams& params, bool forInsertion) {
    m_bits = GifColourDepth(params.ChannelBits);
    chooseWorkingImage(image, forInsertion);
    m_hasAlpha = image.HasAlphaChannel();
    m_colourCount = (1 << m_bits) - (m_hasAlpha ? 1 : 0);
    buildIndices(image);
}

TGifFrame::~TGifFrame() = default;

void TGifFrame::chooseWorkingImage(const TRaster& image, bool forInsertion) {
    m_working = &image;
    const TPixelLayout layout = image.PixelLayout();
    if (m_bits == 1) {
        if (layout == px1g) return;
        std::vector<TRGB> colours = distinctColours(image, 2);
        if (colours.size() <= 2) {
            m_copy = std::make_unique<TRaster>(twoColourCopy(image, colours));
        } else if (forInsertion) {
            m_bits = 8;
        } else {
            m_copy = std::make_unique<TRaster>(image.Width(), image.Height(), px1g);
            m_copy->CopyAndConvert(image);
        }
    } else if (layout != px8p && layout != px24RGB) {
        m_copy = std::make_unique<TRaster>(image);
        m_copy->RemoveAlphaChannel();
        m_copy->ConvertTo(px24RGB);
    }
    if (m_copy) m_working = m_copy.get();
    if (m_bits != 1 && m_working->PixelLayout() != px8p && m_working->PixelLayout() != px24RGB) {
        m_copy = std::make_unique<TRaster>(*m_working);
        m_copy->RemoveAlphaChannel();
        m_copy->ConvertTo(px24RGB);
        m_working = m_copy.get();
    }
}

void TGifFrame::buildIndices(const TRaster& image) {
    const TRaster& work = *m_working;
    const int32_t w = work.Width(), h = work.Height();
    m_indices.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
    if (work.PixelLayout() == px1g) {
        m_palette[1] = MakeRGB(255, 255, 255);
        for (int32_t y = 0; y < h; ++y) {
            const uint8_t* row = work.Scanline(y);
            uint8_t* out = m_indices.data() + static_cast<size_t>(y) * w;
            for (int32_t x = 0; x < w; ++x) out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
        }
        return;
    }
    m_quantizer = std::make_unique<TQuantizer>(work, m_palette.data(), m_colourCount);
    if (work.PixelLayout() == px8p) {
        indexPaletteImage(work);
    } else {
        for (int32_t y = 0; y < h; ++y)
            m_quantizer->IndexRow(work.Scanline(y), w, m_indices.data() + static_cast<size_t>(y) * w);
    }
    if (const TRaster* alpha = image.AlphaPlane()) {
        for (int32_t y = 0; y < h; ++y) {
            const uint8_t* a = alpha->Scanline(y);
            uint8_t* out = m_indices.data() + static_cast<size_t>(y) * w;
            for (int32_t x = 0; x < w; ++x)
                if (a[x] < 255) out[x] = static_cast<uint8_t>(m_colourCount);
        }
    }
}

// Palette bytes go out as they are, except those the table cannot hold
// (or that would land on the transparent slot): they take the nearest
// colour instead of an out-of-range code.
void TGifFrame::indexPaletteImage(const TRaster& work) {
    std::array<uint8_t, 256> remap{};
    for (int i = 0; i < 256; ++i) {
        TRGB colour = i < work.PaletteLength() ? work.PaletteEntry(i) : TRGB{};
        remap[i] = i < m_colourCount ? static_cast<uint8_t>(i) : nearestPaletteIndex(colour);
    }
    const int32_t w = work.Width();
    for (int32_t y = 0; y < work.Height(); ++y) {
        const uint8_t* row = work.Scanline(y);
        uint8_t* out = m_indices.data() + static_cast<size_t>(y) * w;
        for (int32_t x = 0; x < w; ++x) out[x] = remap[row[x]];
    }
}

uint8_t TGifFrame::nearestPaletteIndex(TRGB colour) const {
    int best = 0, bestDistance = 1 << 30;
    for (int i = 0; i < m_colourCount; ++i) {
        const TRGB& p = m_palette[static_cast<size_t>(i)];
        int d = std::abs(colour.r - p.r) + std::abs(colour.g - p.g) + std::abs(colour.b - p.b);
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return static_cast<uint8_t>(best);
}

uint8_t TGifFrame::IndexOfColour(TRGB colour) const {
    if (m_working->PixelLayout() == px24RGB && m_quantizer)
        return static_cast<uint8_t>(m_quantizer->RGBIndex(colour) & 0xFF);
    return nearestPaletteIndex(colour);
}

uint8_t TGifFrame::TransparentIndex(const TIOParams& params) const {
    return m_hasAlpha ? static_cast<uint8_t>(m_colourCount) : IndexOfColour(params.GifTransparentColor);
}

void TGifFrame::AppendColourTable(TByteBuffer& out) const {
    for (int i = 0; i < (1 << m_bits); ++i) {
        const TRGB& c = m_palette[static_cast<size_t>(i)];
        out.insert(out.end(), {c.r, c.g, c.b});
    }
}

void AppendUInt16(TByteBuffer& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void AppendGraphicControl(TByteBuffer& out, const TIOParams& params, uint8_t transparentIndex) {
    out.insert(out.end(), {0x21, 0xF9, 0x04});
    out.push_back(static_cast<uint8_t>(((params.GifDisposal & 7) << 2) | (params.GifTransparent ? 1 : 0)));
    AppendUInt16(out, ClampToUInt16(params.GifDelay));
    out.push_back(transparentIndex);
    out.push_back(0);
}

void AppendImageDescriptor(TByteBuffer& out, const TIOParams& params, int32_t width, int32_t height,
                           int32_t localTableBits) {
    out.push_back(0x2C);
    AppendUInt16(out, ClampToUInt16(params.GifLeft));
    AppendUInt16(out, ClampToUInt16(params.GifTop));
    AppendUInt16(out, ClampToUInt16(width));
    AppendUInt16(out, ClampToUInt16(height));
    uint8_t packed = params.GifInterlaced ? 0x40 : 0;
    if (localTableBits > 0) packed |= static_cast<uint8_t>(0x80 | (localTableBits - 1));
    out.push_back(packed);
}

// Each comment goes out in sub-blocks of at most 255 bytes; an empty one
// writes nothing, since a zero length would end the extension.
void AppendCommentExtension(TByteBuffer& out, const std::vector<std::string>& comments) {
    out.insert(out.end(), {0x21, 0xFE});
    for (const std::string& text : comments)
        for (size_t at = 0; at < text.size(); at += 255) {
            size_t n = std::min<size_t>(255, text.size() - at);
            out.push_back(static_cast<uint8_t>(n));
            out.insert(out.end(), text.begin() + static_cast<std::ptrdiff_t>(at),
                       text.begin() + static_cast<std::ptrdiff_t>(at + n));
        }
    out.push_back(0);
}

void AppendLoopExtension(TByteBuffer& out, uint16_t loopCount) {
    static const char kApplication[] = "NETSCAPE2.0";
    out.insert(out.end(), {0x21, 0xFF, 0x0B});
    out.insert(out.end(), kApplication, kApplication + 11);
    out.insert(out.end(), {0x03, 0x01});
    AppendUInt16(out, loopCount);
    out.push_back(0);
}

bool EncodeGifImageData(TStream& out, const TGifFrame& frame, const TIOParams& params) {
    TGifLzwEncodeFunc encoder = params.GifLzwEncoder ? params.GifLzwEncoder : DefaultGifLzwEncoder;
    if (!encoder) return false;
    encoder(out, frame.Working().Height(), frame.Working().Width(), frame.Bits(), frame.Indices().data(),
            params.GifInterlaced);
    return true;
}

void WriteChecked(TStream& stream, const TByteBuffer& bytes, TProgressContext& ctx) {
    if (stream.Write(bytes.data(), bytes.size()) < bytes.size()) ctx.AbortFlag = true;
}

}  // namespace loopsmith
