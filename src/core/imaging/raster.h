#pragma once
// The raster buffer every frame lives in, from loading to the GIF writer.

#include <cstdint>
#include <memory>
#include <vector>

namespace loopsmith {

// One colour as it sits in memory: blue, green, red.
struct TRGB {
    uint8_t b = 0;
    uint8_t g = 0;
    uint8_t r = 0;

    friend bool operator==(const TRGB&, const TRGB&) = default;
};

inline TRGB MakeRGB(uint8_t r, uint8_t g, uint8_t b) { return TRGB{b, g, r}; }
// Packed form: blue in bits 0-7, green 8-15, red 16-23.
inline uint32_t PackRGB(TRGB c) { return c.b | (uint32_t{c.g} << 8) | (uint32_t{c.r} << 16); }
inline TRGB UnpackRGB(uint32_t v) {
    return TRGB{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
}
// The toolkit's one luminance rule, integer arithmetic throughout.
inline int Luminance(int r, int g, int b) { return (21 * r + 71 * g + 8 * b) / 100; }
inline int Luminance(TRGB c) { return Luminance(c.r, c.g, c.b); }

enum TPixelLayout : uint8_t {
    px1g,      // 1 bit, 8 pixels per byte, leftmost pixel in the high bit; 1 = white
    px8p,      // palette index
    px8g,      // grey level; also the layout of alpha planes
    px24RGB,   // blue, green, red
    px48RGB,   // 16-bit red, green, blue (host order); source only
    pxCMYK,    // cyan, magenta, yellow, black bytes; source only
    px32f,     // float grey 0..1; source only
};

enum class TBlackWhiteMethod : uint8_t {
    MeanThreshold,  // white when luminance is above the image's mean luminance
};

class TRaster {
public:
    TRaster() = default;
    TRaster(int32_t width, int32_t height, TPixelLayout layout) { Allocate(width, height, layout); }
    TRaster(const TRaster& other) { Assign(other); }
    TRaster& operator=(const TRaster& other) {
        if (this != &other) Assign(other);
        return *this;
    }
    TRaster(TRaster&&) noexcept = default;
    TRaster& operator=(TRaster&&) noexcept = default;

    // Zero-filled pixels; drops any palette and alpha plane.
    // Throws std::length_error for negative or absurd sizes.
    void Allocate(int32_t width, int32_t height, TPixelLayout layout);
    void Assign(const TRaster& source);
    void Clear();
    // Converts in place; nothing happens when the layout already matches.
    void ConvertTo(TPixelLayout layout);
    // Fills this already allocated raster (its own layout) from `source`.
    void CopyAndConvert(const TRaster& source);
    bool IsGrayScale() const;

    bool IsEmpty() const { return m_width <= 0 || m_height <= 0; }
    int32_t Width() const { return m_width; }
    int32_t Height() const { return m_height; }
    TPixelLayout PixelLayout() const { return m_layout; }
    size_t RowBytes() const { return m_rowBytes; }

    uint8_t* Scanline(int32_t y) { return m_pixels.data() + static_cast<size_t>(y) * m_rowBytes; }
    const uint8_t* Scanline(int32_t y) const { return m_pixels.data() + static_cast<size_t>(y) * m_rowBytes; }

    int PaletteLength() const { return static_cast<int>(m_palette.size()); }
    TRGB PaletteEntry(int i) const { return m_palette[static_cast<size_t>(i)]; }
    std::vector<TRGB>& Palette() { return m_palette; }
    const std::vector<TRGB>& Palette() const { return m_palette; }

    bool HasAlphaChannel() const { return m_alpha != nullptr; }
    // Creates an opaque alpha plane when there is none.
    TRaster& AlphaChannel();
    const TRaster* AlphaPlane() const { return m_alpha.get(); }
    void RemoveAlphaChannel() { m_alpha.reset(); }
    uint8_t Alpha(int32_t x, int32_t y) const { return m_alpha ? m_alpha->Scanline(y)[x] : 255; }

    TBlackWhiteMethod BlackWhiteMethod = TBlackWhiteMethod::MeanThreshold;

    // Pixel access for tests and slow paths; hot loops use Scanline.
    TRGB PixelRGB(int32_t x, int32_t y) const;
    void SetPixelRGB(int32_t x, int32_t y, TRGB c);

private:
    void convertInto(TRaster& target) const;

    int32_t m_width = 0;
    int32_t m_height = 0;
    TPixelLayout m_layout = px24RGB;
    size_t m_rowBytes = 0;
    std::vector<uint8_t> m_pixels;
    std::vector<TRGB> m_palette;
    std::unique_ptr<TRaster> m_alpha;
};

size_t BytesPerRow(int32_t width, TPixelLayout layout);

}  // namespace loopsmith
