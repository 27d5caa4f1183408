#pragma once
// Median-cut style quantizer: boxes cut out of a 32 x 32 x 32 colour
// histogram, each box's mean colour a palette entry.

#include <array>
#include <cstdint>
#include <vector>

#include "imaging/raster.h"

namespace loopsmith {

class TBoxQuantizer {
public:
    // `image` must be px24RGB; `colourCount` is 1..256.
    TBoxQuantizer(const TRaster& image, int colourCount);

    int BoxCount() const { return static_cast<int>(m_boxes.size()); }
    // Entry i is the mean colour of box i.
    void WritePalette(TRGB* paletteOut) const;
    int Index(uint8_t blue, uint8_t green, uint8_t red) const {
        return m_table[(red >> 3) * 1024 + (green >> 3) * 32 + (blue >> 3)];
    }

private:
    static constexpr int kBins = 32;
    // Channel 0 is red, 1 green, 2 blue.
    struct TBox {
        std::array<int, 3> low{};   // first bin
        std::array<int, 3> high{};  // one past the last bin
        int64_t count = 0;
        std::array<std::array<int64_t, kBins>, 3> marginal{};
        std::array<double, 3> mean{};
        double error = 0;
    };
    struct TSplit {
        double value;
        TBox lower, upper;
    };

    void fillHistogram(const TRaster& image);
    void computeStatistics(TBox& box) const;
    bool fillFromHistogram(TBox& box) const;
    TSplit trySplit(const TBox& box, int channel) const;
    int boxToSplit() const;
    void splitBoxes(int colourCount);
    void buildTable();

    double m_pixelCount = 0;
    std::vector<uint32_t> m_histogram;  // (red, green, blue) bins, red major
    std::vector<TBox> m_boxes;
    std::vector<uint8_t> m_table;
};

}  // namespace loopsmith
