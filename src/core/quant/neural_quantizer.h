#pragma once
// NeuQuant: a self-organising network of N neurons learns the colours of a
// sample of the image; colours are then mapped to the nearest neuron through
// an index sorted by green.

#include <array>
#include <cstdint>
#include <vector>

#include "imaging/raster.h"

namespace loopsmith {

class TNeuralQuantizer {
public:
    // One pixel in this many (1..30) is learnt. `quality` -1 picks the
    // factor from the pixel count; 0..100 trades speed for quality.
    static int SamplingFactor(int64_t pixelCount, int quality);
    // Stride of the learning walk in pixels: a prime that does not divide
    // `lengthCount` (three bytes per pixel), so the walk visits every pixel.
    static int LearningStep(int64_t lengthCount);
    // Neighbourhood radius at the start of learning, in 1/64 neurons.
    static int InitialRadius(int neuronCount) { return neuronCount / 8 * 64; }

    // `image` must be px24RGB; `neuronCount` is 1..256.
    TNeuralQuantizer(const TRaster& image, int neuronCount, int samplingFactor);

    int NeuronCount() const { return m_neuronCount; }
    // Entry i is neuron i.
    void WritePalette(TRGB* paletteOut) const;
    // The neuron nearest to the colour (sum of channel distances), searched
    // outward from the colour's green.
    int Search(int blue, int green, int red) const;

private:
    friend class TNeuralRowMapper;
    struct TNeuron {
        int32_t blue, green, red, index;
    };

    void learn(const TRaster& image, int samplingFactor);
    int contest(int32_t blue, int32_t green, int32_t red);
    void alterSingle(int32_t alpha, int j, int32_t blue, int32_t green, int32_t red);
    void alterNeighbours(int rad, int j, int32_t blue, int32_t green, int32_t red);
    void setRadiusPowers(int32_t alpha, int rad);
    void unbias();
    void buildGreenIndex();

    int m_neuronCount = 0;
    // Learning state, one array per field so the contest runs in SIMD lanes.
    std::vector<int32_t> m_blue, m_green, m_red, m_bias, m_frequency;
    std::vector<int32_t> m_radiusPower;
    // After learning: neurons sorted by green, and where each green starts.
    std::vector<TNeuron> m_sorted;
    std::array<int32_t, 256> m_greenIndex{};
};

// Maps whole rows with exactly Search's answers, fast: for each 8 x 8 x 8
// cell of colour space met, it keeps the few neurons that can be nearest to
// a colour of that cell and breaks ties in Search's visiting order.
class TNeuralRowMapper {
public:
    explicit TNeuralRowMapper(const TNeuralQuantizer& network);
    void MapRow(const uint8_t* bgr, int32_t count, uint8_t* out);

private:
    // Candidates of one cell, eight to a block; unused lanes lie far
    // outside the colour cube.
    static constexpr int kLanes = 8;
    struct alignas(32) TCandidateBlock {
        int32_t blue[kLanes], green[kLanes], red[kLanes], position[kLanes], index[kLanes];
    };
    struct TCellRange {
        int32_t start = -1, count = 0;  // in blocks; a count of -1: use Search
    };

    const TCellRange& cell(int blue, int green, int red);
    int nearest(int blue, int green, int red);

    const TNeuralQuantizer& m_network;
    std::vector<int32_t> m_blue, m_green, m_red;  // in green order
    std::vector<TCellRange> m_cells;
    std::vector<TCandidateBlock> m_blocks;
};

}  // namespace loopsmith
