#pragma once
// Chooses a palette of at most N colours for one image and maps colours to
// palette indices: the image's own palette, a grey ramp, its exact colours,
// the neural quantizer (N >= 128) or the box quantizer (N < 128).

#include <cstdint>
#include <memory>

#include "imaging/raster.h"

namespace loopsmith {

// Process-wide; -1 = automatic. Method 0 forces neural, 1 forces box;
// a quality q in 0..100 sets the neural sampling factor.
extern int QuantizerMethod;
extern int QuantizerQuality;

class TQuantizer {
public:
    enum class TMode { None, PaletteImage, GreyRamp, ExactColours, Neural, Box };

    // Fills the entries of `paletteOut` (room for 256) that the mode produces
    // and leaves the others as they were. `image` must outlive the quantizer.
    TQuantizer(const TRaster& image, TRGB* paletteOut, int colourCount);
    ~TQuantizer();
    TQuantizer(const TQuantizer&) = delete;
    TQuantizer& operator=(const TQuantizer&) = delete;

    // The palette index standing for `c`; -1 for a colour missing from an
    // exact-colour palette; 0 when the mode built no palette.
    int RGBIndex(TRGB c) const;

    // Low byte of RGBIndex for `count` blue-green-red pixels; the writer's
    // hot loop, equal pixel for pixel to calling RGBIndex. It fills lookup
    // tables as it goes, so calls on one quantizer must not overlap.
    void IndexRow(const uint8_t* bgr, int32_t count, uint8_t* out) const;

    TMode Mode() const { return m_mode; }
    // Number of palette entries the mode produced.
    int PaletteCount() const { return m_paletteCount; }

private:
    struct State;
    void useImagePalette(const TRaster& image, TRGB* paletteOut);
    void useGreyRamp(TRGB* paletteOut);
    bool useExactColours(const TRaster& image, TRGB* paletteOut);
    void useQuantizer(const TRaster& image, TRGB* paletteOut);

    TMode m_mode = TMode::None;
    int m_colourCount = 0;
    int m_paletteCount = 0;
    std::unique_ptr<State> m_state;
};

}  // namespace loopsmith
