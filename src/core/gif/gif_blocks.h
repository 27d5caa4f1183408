#pragma once
// The pieces the GIF writer and the frame insertion share: turning an image
// into a palette and indices, and the bytes of the fixed-size blocks.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/io_params.h"
#include "imaging/raster.h"

namespace loopsmith {

class TQuantizer;
class TStream;

using TByteBuffer = std::vector<uint8_t>;

// A GIF colour table holds at most 256 entries and its size field 3 bits:
// anything outside 1..8 (a 16-bit source, say) is written at 8.
int32_t GifColourDepth(int32_t channelBits);

// Values that do not fit a 16-bit field are pinned to its ends.
uint16_t ClampToUInt16(int64_t value);

// One frame ready for writing: palette, indices and the colour depth.
class TGifFrame {
public:
    // `forInsertion` keeps a many-coloured image at depth 8 where a new file
    // would threshold it to black and white.
    TGifFrame(const TRaster& image, const TIOParams& params, bool forInsertion);
    ~TGifFrame();

    int32_t Bits() const { return m_bits; }
    int32_t ColourCount() const { return m_colourCount; }  // N; the transparent slot is N
    bool HasAlpha() const { return m_hasAlpha; }
    const TRaster& Working() const { return *m_working; }
    const std::vector<uint8_t>& Indices() const { return m_indices; }

    // Index standing for a colour outside the pixels (background,
    // transparent colour): the quantizer's for true colour, else the
    // nearest palette entry.
    uint8_t IndexOfColour(TRGB colour) const;
    uint8_t TransparentIndex(const TIOParams& params) const;

    // 3 x 2^bits bytes, red, green, blue.
    void AppendColourTable(TByteBuffer& out) const;

private:
    void chooseWorkingImage(const TRaster& image, bool forInsertion);
    void buildIndices(const TRaster& image);
    void indexPaletteImage(const TRaster& image);
    uint8_t nearestPaletteIndex(TRGB colour) const;

    int32_t m_bits = 8;
    int32_t m_colourCount = 256;
    bool m_hasAlpha = false;
    std::array<TRGB, 256> m_palette{};  // unset entries and the transparent slot stay black
    std::unique_ptr<TRaster> m_copy;
    const TRaster* m_working = nullptr;
    std::unique_ptr<TQuantizer> m_quantizer;
    std::vector<uint8_t> m_indices;
};

void AppendUInt16(TByteBuffer& out, uint16_t value);
void AppendGraphicControl(TByteBuffer& out, const TIOParams& params, uint8_t transparentIndex);
// localTableBits 0: no local colour table.
void AppendImageDescriptor(TByteBuffer& out, const TIOParams& params, int32_t width, int32_t height,
                           int32_t localTableBits);
void AppendCommentExtension(TByteBuffer& out, const std::vector<std::string>& comments);
void AppendLoopExtension(TByteBuffer& out, uint16_t loopCount);

// Compresses the frame's indices through the parameter set's encoder, else
// the process-wide one; false when there is neither.
bool EncodeGifImageData(TStream& out, const TGifFrame& frame, const TIOParams& params);

// A stream write that raises the abort flag when it stores too little.
void WriteChecked(TStream& stream, const TByteBuffer& bytes, TProgressContext& ctx);

}  // namespace loopsmith
