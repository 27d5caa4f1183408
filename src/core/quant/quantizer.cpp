#include "quant/quantizer.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "quant/box_quantizer.h"
#include "quant/neural_quantizer.h"

namespace loopsmith {

int QuantizerMethod = -1;
int QuantizerQuality = -1;

namespace {

uint32_t packBGR(const uint8_t* p) { return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16); }

uint32_t hashColour(uint32_t colour, int bits) { return (colour * 0x9E3779B1u) >> (32 - bits); }

// Packed colour -> the first index given for it; open addressing over a
// table at least twice the size of the colours it will hold.
class TColourMap {
public:
    explicit TColourMap(int capacity) {
        while ((1 << m_bits) < 2 * capacity) ++m_bits;
        m_keys.assign(size_t{1} << m_bits, kEmpty);
        m_values.resize(m_keys.size());
    }

    int Find(uint32_t colour) const {
        for (uint32_t slot = hashColour(colour, m_bits);; slot = (slot + 1) & mask()) {
            if (m_keys[slot] == colour) return m_values[slot];
            if (m_keys[slot] == kEmpty) return -1;
        }
    }

    // False when the colour is already there (its first index stays).
    bool Insert(uint32_t colour, int index) {
        for (uint32_t slot = hashColour(colour, m_bits);; slot = (slot + 1) & mask()) {
            if (m_keys[slot] == colour) return false;
            if (m_keys[slot] == kEmpty) {
                m_keys[slot] = colour;
                m_values[slot] = static_cast<int16_t>(index);
                return true;
            }
        }
    }

private:
    // Packed colours use 24 bits, so this never equals one.
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    uint32_t mask() const { return (uint32_t{1} << m_bits) - 1; }

    int m_bits = 4;
    std::vector<uint32_t> m_keys;
    std::vector<int16_t> m_values;
};

}  // namespace

struct TQuantizer::State {
    // Exact colours and palette images: colour -> first index, and the
    // answer for a colour not in the map.
    std::optional<TColourMap> colourMap;
    int missingIndex = 0;
    std::vector<uint8_t> greyIndex;  // by red level
    std::unique_ptr<TNeuralQuantizer> neural;
    std::unique_ptr<TBoxQuantizer> box;
    // A quantizer serves one writer on one thread; the mapper's lazily built
    // tables only speed up IndexRow and never change an answer.
    mutable std::optional<TNeuralRowMapper> rowMapper;
};

namespace {

int copyImagePalette(const TRaster& image, TRGB* paletteOut, int n) {
    // A palette shorter than N gives only the entries it has.
    const int count = std::min(n, image.PaletteLength());
    for (int i = 0; i < count; ++i) paletteOut[i] = image.PaletteEntry(i);
    return count;
}

int fillGreyRamp(TRGB* paletteOut, int n) {
    for (int i = 0; i < n; ++i) {
        const auto level = static_cast<uint8_t>(std::trunc(256.0 / n * i));
        paletteOut[i] = TRGB{level, level, level};
    }
    return n;
}

// The distinct colours in order of first appearance, or nothing as soon as
// there are more than n.
std::optional<std::vector<uint32_t>> exactColours(const TRaster& image, int n, TColourMap& map) {
    std::vector<uint32_t> colours;
    uint32_t previous = 0xFFFFFFFFu;
    for (int32_t y = 0; y < image.Height(); ++y) {
        const uint8_t* p = image.Scanline(y);
        for (int32_t x = 0; x < image.Width(); ++x, p += 3) {
            const uint32_t colour = packBGR(p);
            if (colour == previous) continue;
            previous = colour;
            if (!map.Insert(colour, static_cast<int>(colours.size()))) continue;
            if (static_cast<int>(colours.size()) == n) return std::nullopt;
            colours.push_back(colour);
        }
    }
    return colours;
}

bool useNeural(int n) {
    if (QuantizerMethod == 0) return true;
    if (QuantizerMethod == 1) return false;
    return n >= 128;
}

}  // namespace

TQuantizer::TQuantizer(const TRaster& image, TRGB* paletteOut, int colourCount)
    : m_colourCount(std::clamp(colourCount, 1, 256)), m_state(std::make_unique<State>()) {
    const bool grey = image.IsGrayScale();
    if (image.PixelLayout() == px8p) {
        useImagePalette(image, paletteOut);
    } else if (grey) {
        useGreyRamp(paletteOut);
    } else if (image.PixelLayout() == px24RGB && !useExactColours(image, paletteOut)) {
        useQuantizer(image, paletteOut);
    }
}

void TQuantizer::useImagePalette(const TRaster& image, TRGB* paletteOut) {
    State& s = *m_state;
    m_mode = TMode::PaletteImage;
    m_paletteCount = copyImagePalette(image, paletteOut, m_colourCount);
    s.colourMap.emplace(image.PaletteLength());
    for (int i = 0; i < image.PaletteLength(); ++i) s.colourMap->Insert(PackRGB(image.PaletteEntry(i)), i);
    s.missingIndex = image.PaletteLength();
}

void TQuantizer::useGreyRamp(TRGB* paletteOut) {
    m_mode = TMode::GreyRamp;
    m_paletteCount = fillGreyRamp(paletteOut, m_colourCount);
    m_state->greyIndex.resize(256);
    for (int red = 0; red < 256; ++red) m_state->greyIndex[red] = static_cast<uint8_t>(red * m_colourCount / 256);
}

bool TQuantizer::useExactColours(const TRaster& image, TRGB* paletteOut) {
    State& s = *m_state;
    s.colourMap.emplace(m_colourCount + 1);
    const auto colours = exactColours(image, m_colourCount, *s.colourMap);
    if (!colours) {
        s.colourMap.reset();
        return false;
    }
    m_mode = TMode::ExactColours;
    m_paletteCount = static_cast<int>(colours->size());
    for (int i = 0; i < m_paletteCount; ++i) paletteOut[i] = UnpackRGB((*colours)[i]);
    s.missingIndex = -1;
    return true;
}

void TQuantizer::useQuantizer(const TRaster& image, TRGB* paletteOut) {
    State& s = *m_state;
    if (useNeural(m_colourCount)) {
        m_mode = TMode::Neural;
        const int64_t pixels = int64_t{image.Width()} * image.Height();
        s.neural = std::make_unique<TNeuralQuantizer>(image, m_colourCount,
                                                      TNeuralQuantizer::SamplingFactor(pixels, QuantizerQuality));
        s.neural->WritePalette(paletteOut);
        m_paletteCount = m_colourCount;
        s.rowMapper.emplace(*s.neural);
    } else {
        m_mode = TMode::Box;
        s.box = std::make_unique<TBoxQuantizer>(image, m_colourCount);
        s.box->WritePalette(paletteOut);
        m_paletteCount = s.box->BoxCount();
    }
}

TQuantizer::~TQuantizer() = default;

int TQuantizer::RGBIndex(TRGB c) const {
    const State& s = *m_state;
    switch (m_mode) {
        case TMode::PaletteImage:
        case TMode::ExactColours: {
            const int index = s.colourMap->Find(PackRGB(c));
            return index >= 0 ? index : s.missingIndex;
        }
        case TMode::GreyRamp: return s.greyIndex[c.r];
        case TMode::Neural: return s.neural->Search(c.b, c.g, c.r);
        case TMode::Box: return s.box->Index(c.b, c.g, c.r);
        case TMode::None: break;
    }
    return 0;
}

void TQuantizer::IndexRow(const uint8_t* bgr, int32_t count, uint8_t* out) const {
    const State& s = *m_state;
    switch (m_mode) {
        case TMode::PaletteImage:
        case TMode::ExactColours:
            for (int32_t i = 0; i < count; ++i, bgr += 3) {
                const int index = s.colourMap->Find(packBGR(bgr));
                out[i] = static_cast<uint8_t>(index >= 0 ? index : s.missingIndex);
            }
            return;
        case TMode::GreyRamp:
            for (int32_t i = 0; i < count; ++i, bgr += 3) out[i] = s.greyIndex[bgr[2]];
            return;
        case TMode::Neural:
            s.rowMapper->MapRow(bgr, count, out);
            return;
        case TMode::Box:
            for (int32_t i = 0; i < count; ++i, bgr += 3)
                out[i] = static_cast<uint8_t>(s.box->Index(bgr[0], bgr[1], bgr[2]));
            return;
        case TMode::None: break;
    }
    std::fill(out, out + std::max(count, 0), uint8_t{0});
}

}  // namespace loopsmith
