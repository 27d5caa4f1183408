#include "quant/neural_quantizer.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "quant/round_half_even.h"

// The contest and the candidate search run in SIMD lanes; the loader picks
// their AVX2 builds where the processor has AVX2.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define LOOPSMITH_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define LOOPSMITH_AVX2_CLONES
#endif

namespace loopsmith {

namespace {

// Colour components are learnt in 1/16 units (0..4080).
constexpr int kNetBiasShift = 4;
constexpr int32_t kInitAlpha = 1024;
constexpr int32_t kAlphaRadBias = 262144;
constexpr int32_t kRadiusBias = 256;
constexpr int kRadiusDecrement = 30;
constexpr int32_t kBeta = 64;
constexpr int32_t kBetaGamma = 65536;
constexpr int kSteps[] = {499, 491, 487, 503};

// 1/64 neuron units to whole neurons; a radius of one neuron or less moves
// no neighbours.
int radiusToRad(int radius) {
    int rad = radius >> 6;
    return rad <= 1 ? 0 : rad;
}

}  // namespace

int TNeuralQuantizer::SamplingFactor(int64_t pixelCount, int quality) {
    if (quality >= 0 && quality <= 100) return static_cast<int>((100 - quality) / 100.0 * 29) + 1;
    if (pixelCount < 2000) return 1;
    double factor = RoundHalfEven(static_cast<double>(pixelCount - 2000) * 13 / 148000 + 2);
    return static_cast<int>(std::clamp(factor, 1.0, 30.0));
}

int TNeuralQuantizer::LearningStep(int64_t lengthCount) {
    for (int i = 0; i < 3; ++i)
        if (lengthCount % kSteps[i] != 0) return kSteps[i];
    return kSteps[3];
}

TNeuralQuantizer::TNeuralQuantizer(const TRaster& image, int neuronCount, int samplingFactor)
    : m_neuronCount(std::clamp(neuronCount, 1, 256)) {
    const size_t n = static_cast<size_t>(m_neuronCount);
    m_blue.resize(n);
    m_green.resize(n);
    m_red.resize(n);
    m_bias.assign(n, 0);
    m_frequency.assign(n, 65536 / m_neuronCount);
    m_radiusPower.assign(std::max<size_t>(n / 8, 1), 0);
    for (int i = 0; i < m_neuronCount; ++i) {
        int32_t v = (i << (kNetBiasShift + 8)) / m_neuronCount;
        m_blue[i] = m_green[i] = m_red[i] = v;
    }
    learn(image, std::clamp(samplingFactor, 1, 30));
    unbias();
    buildGreenIndex();
}

void TNeuralQuantizer::learn(const TRaster& image, int samplingFactor) {
    const int64_t width = image.Width();
    const int64_t pixels = width * image.Height();
    if (pixels <= 0 || image.PixelLayout() != px24RGB) return;
    const int64_t lengthCount = 3 * pixels;
    const int64_t samplePixels = lengthCount / (3 * samplingFactor);
    const int64_t delta = std::max<int64_t>(samplePixels / 100, 1);
    const int32_t alphaDecrement = 30 + (samplingFactor - 1) / 3;
    const int64_t step = LearningStep(lengthCount);
    int32_t alpha = kInitAlpha;
    int radius = InitialRadius(m_neuronCount);
    int rad = radiusToRad(radius);
    setRadiusPowers(alpha, rad);

    int64_t pos = 0;
    for (int64_t i = 0; i < samplePixels;) {
        // The step can exceed a tiny image, so pos may stay past its end.
        const int64_t pixel = pos % pixels;
        const uint8_t* p = image.Scanline(static_cast<int32_t>(pixel / width)) + 3 * (pixel % width);
        const int32_t blue = p[0] << kNetBiasShift, green = p[1] << kNetBiasShift, red = p[2] << kNetBiasShift;
        int j = contest(blue, green, red);
        alterSingle(alpha, j, blue, green, red);
        if (rad != 0) alterNeighbours(rad, j, blue, green, red);
        pos += step;
        if (pos >= pixels) pos -= pixels;
        ++i;
        if (i % delta == 0) {
            alpha -= alpha / alphaDecrement;
            radius -= radius / kRadiusDecrement;
            rad = radiusToRad(radius);
            setRadiusPowers(alpha, rad);
        }
    }
}

void TNeuralQuantizer::setRadiusPowers(int32_t alpha, int rad) {
    const int32_t radSquared = rad * rad;
    for (int j = 0; j < rad; ++j) m_radiusPower[j] = alpha * (((radSquared - j * j) * kRadiusBias) / radSquared);
}

// Finds the winner by biased distance, so rarely winning neurons catch up;
// keys pack distance and neuron number so one min picks the first on ties.
LOOPSMITH_AVX2_CLONES int TNeuralQuantizer::contest(int32_t blue, int32_t green, int32_t red) {
    const int n = m_neuronCount;
    const int32_t* nb = m_blue.data();
    const int32_t* ng = m_green.data();
    const int32_t* nr = m_red.data();
    int32_t* bias = m_bias.data();
    int32_t* frequency = m_frequency.data();
    int32_t bestKey = INT32_MAX;
    int32_t bestBiasKey = INT32_MAX;
    for (int i = 0; i < n; ++i) {
        int32_t dist = std::abs(nb[i] - blue) + std::abs(ng[i] - green) + std::abs(nr[i] - red);
        int32_t biasDist = dist - (bias[i] >> 12);
        int32_t betaFreq = frequency[i] >> 10;
        frequency[i] -= betaFreq;
        bias[i] += betaFreq * 1024;
        bestKey = std::min(bestKey, dist * 256 + i);
        bestBiasKey = std::min(bestBiasKey, biasDist * 256 + i);
    }
    const int bestPos = bestKey & 255;
    frequency[bestPos] += kBeta;
    bias[bestPos] -= kBetaGamma;
    return bestBiasKey & 255;
}

void TNeuralQuantizer::alterSingle(int32_t alpha, int j, int32_t blue, int32_t green, int32_t red) {
    m_blue[j] -= (m_blue[j] - blue) * alpha / kInitAlpha;
    m_green[j] -= (m_green[j] - green) * alpha / kInitAlpha;
    m_red[j] -= (m_red[j] - red) * alpha / kInitAlpha;
}

void TNeuralQuantizer::alterNeighbours(int rad, int j, int32_t blue, int32_t green, int32_t red) {
    const int lo = std::max(j - rad, -1);
    const int hi = std::min(j + rad, m_neuronCount);
    auto move = [&](int k, int64_t a) {
        m_blue[k] -= static_cast<int32_t>((m_blue[k] - blue) * a / kAlphaRadBias);
        m_green[k] -= static_cast<int32_t>((m_green[k] - green) * a / kAlphaRadBias);
        m_red[k] -= static_cast<int32_t>((m_red[k] - red) * a / kAlphaRadBias);
    };
    int up = j + 1, down = j - 1, m = 1;
    while (up < hi || down > lo) {
        const int64_t a = m_radiusPower[m++];
        if (up < hi) move(up++, a);
        if (down > lo) move(down--, a);
    }
}

void TNeuralQuantizer::unbias() {
    auto scale = [](int32_t& c) { c = std::clamp((c + (1 << (kNetBiasShift - 1))) >> kNetBiasShift, 0, 255); };
    for (int i = 0; i < m_neuronCount; ++i) {
        scale(m_blue[i]);
        scale(m_green[i]);
        scale(m_red[i]);
    }
}

void TNeuralQuantizer::WritePalette(TRGB* paletteOut) const {
    for (int i = 0; i < m_neuronCount; ++i)
        paletteOut[i] = TRGB{static_cast<uint8_t>(m_blue[i]), static_cast<uint8_t>(m_green[i]),
                             static_cast<uint8_t>(m_red[i])};
}

// Selection sort by green (first smallest wins), then for each green the
// position where the search starts: midway through its run of neurons.
void TNeuralQuantizer::buildGreenIndex() {
    const int n = m_neuronCount;
    m_sorted.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) m_sorted[i] = TNeuron{m_blue[i], m_green[i], m_red[i], i};
    int previous = 0, start = 0;
    for (int i = 0; i < n; ++i) {
        int smallest = i;
        for (int j = i + 1; j < n; ++j)
            if (m_sorted[j].green < m_sorted[smallest].green) smallest = j;
        std::swap(m_sorted[i], m_sorted[smallest]);
        const int green = m_sorted[i].green;
        if (green != previous) {
            m_greenIndex[previous] = (start + i) >> 1;
            for (int j = previous + 1; j < green; ++j) m_greenIndex[j] = i;
            previous = green;
            start = i;
        }
    }
    m_greenIndex[previous] = (start + n - 1) >> 1;
    for (int j = previous + 1; j < 256; ++j) m_greenIndex[j] = n - 1;
}

int TNeuralQuantizer::Search(int blue, int green, int red) const {
    const int n = m_neuronCount;
    int bestDist = 1000, best = -1;
    int up = m_greenIndex[static_cast<uint8_t>(green)], down = up - 1;
    // Once the green difference alone reaches the best distance, no neuron
    // further along that direction can win.
    auto consider = [&](const TNeuron& p, int dist) {
        dist += std::abs(p.blue - blue);
        if (dist >= bestDist) return;
        dist += std::abs(p.red - red);
        if (dist < bestDist) {
            bestDist = dist;
            best = p.index;
        }
    };
    while (up < n || down >= 0) {
        if (up < n) {
            const TNeuron& p = m_sorted[up];
            int dist = p.green - green;
            if (dist >= bestDist) {
                up = n;
            } else {
                ++up;
                consider(p, std::abs(dist));
            }
        }
        if (down >= 0) {
            const TNeuron& p = m_sorted[down];
            int dist = green - p.green;
            if (dist >= bestDist) {
                down = -1;
            } else {
                --down;
                consider(p, std::abs(dist));
            }
        }
    }
    return best;
}

namespace {

constexpr int kCellShift = 3;
constexpr int32_t kCellSide = 1 << kCellShift;
constexpr int kCellBits = 8 - kCellShift;
// An unused lane's colour: its distance keeps its key above every real one.
constexpr int32_t kFarAway = 2000;
constexpr int kMaxCandidates = 32;
constexpr int32_t kUsePlainSearch = -1;

size_t cellIndex(int blue, int green, int red) {
    return (static_cast<size_t>(red >> kCellShift) << (2 * kCellBits)) |
           (static_cast<size_t>(green >> kCellShift) << kCellBits) | static_cast<size_t>(blue >> kCellShift);
}

}  // namespace

TNeuralRowMapper::TNeuralRowMapper(const TNeuralQuantizer& network)
    : m_network(network), m_cells(size_t{1} << (3 * kCellBits)) {
    for (const auto& neuron : network.m_sorted) {
        m_blue.push_back(neuron.blue);
        m_green.push_back(neuron.green);
        m_red.push_back(neuron.red);
    }
    m_blocks.reserve(4096);
}

namespace {

// Least and greatest distance from `value` to the 8 levels from `low`.
inline int32_t leastDistance(int32_t value, int32_t low) {
    return std::max(low - value, 0) + std::max(value - (low + kCellSide - 1), 0);
}
inline int32_t greatestDistance(int32_t value, int32_t low) {
    return std::max(value - low, low + kCellSide - 1 - value);
}

}  // namespace

// A neuron whose least distance to the cell exceeds another neuron's
// greatest distance to it is never the nearest for a colour inside.
const TNeuralRowMapper::TCellRange& TNeuralRowMapper::cell(int blue, int green, int red) {
    TCellRange& range = m_cells[cellIndex(blue, green, red)];
    if (range.start >= 0) return range;
    const int32_t lowBlue = blue & -kCellSide, lowGreen = green & -kCellSide, lowRed = red & -kCellSide;
    const int n = m_network.m_neuronCount;
    std::array<int32_t, 256> least;
    int32_t bound = INT32_MAX;
    for (int k = 0; k < n; ++k) {
        least[k] = leastDistance(m_blue[k], lowBlue) + leastDistance(m_green[k], lowGreen) +
                   leastDistance(m_red[k], lowRed);
        bound = std::min(bound, greatestDistance(m_blue[k], lowBlue) + greatestDistance(m_green[k], lowGreen) +
                                    greatestDistance(m_red[k], lowRed));
    }
    range.start = static_cast<int32_t>(m_blocks.size());
    // A cell far from a tight cluster of neurons can keep nearly all of them;
    // such cells use the plain search, which bounds the tables' memory.
    if (std::count_if(least.begin(), least.begin() + n, [bound](int32_t d) { return d <= bound; }) >
        kMaxCandidates) {
        range.count = kUsePlainSearch;
        return range;
    }
    const auto& sorted = m_network.m_sorted;
    int lane = kLanes;
    for (int k = 0; k < n; ++k) {
        if (least[k] > bound) continue;
        if (lane == kLanes) {
            m_blocks.emplace_back();
            TCandidateBlock& fresh = m_blocks.back();
            std::fill(std::begin(fresh.blue), std::end(fresh.blue), kFarAway);
            std::fill(std::begin(fresh.green), std::end(fresh.green), kFarAway);
            std::fill(std::begin(fresh.red), std::end(fresh.red), kFarAway);
            lane = 0;
        }
        TCandidateBlock& block = m_blocks.back();
        block.blue[lane] = sorted[k].blue;
        block.green[lane] = sorted[k].green;
        block.red[lane] = sorted[k].red;
        block.position[lane] = k;
        block.index[lane] = sorted[k].index;
        ++lane;
    }
    range.count = static_cast<int32_t>(m_blocks.size()) - range.start;
    return range;
}

// Search walks the green-sorted neurons from its start position alternately
// up (visit 0, 2, 4, ...) and down (1, 3, 5, ...) and keeps the first of
// equally near neurons; the key orders by distance, then by that visit.
#if defined(__GNUC__)
// One block at a time in eight lanes. Absolute values are written out as
// (v ^ sign) - sign inline: a helper would pass vectors across the clones'
// differing calling rules.
LOOPSMITH_AVX2_CLONES int TNeuralRowMapper::nearest(int blue, int green, int red) {
    using TLanes = int32_t __attribute__((vector_size(32)));
    const TCellRange& range = cell(blue, green, red);
    if (range.count == kUsePlainSearch) return m_network.Search(blue, green, red);
    const TLanes sampleBlue = TLanes{} + blue, sampleGreen = TLanes{} + green, sampleRed = TLanes{} + red;
    const TLanes start = TLanes{} + m_network.m_greenIndex[static_cast<size_t>(green)];
    TLanes best = TLanes{} + INT32_MAX;
    for (int32_t b = range.start; b < range.start + range.count; ++b) {
        const TCandidateBlock& c = m_blocks[static_cast<size_t>(b)];
        TLanes cb, cg, cr, position, index;
        std::memcpy(&cb, c.blue, sizeof cb);
        std::memcpy(&cg, c.green, sizeof cg);
        std::memcpy(&cr, c.red, sizeof cr);
        std::memcpy(&position, c.position, sizeof position);
        std::memcpy(&index, c.index, sizeof index);
        const TLanes db = cb - sampleBlue, dg = cg - sampleGreen, dr = cr - sampleRed;
        const TLanes sb = db >> 31, sg = dg >> 31, sr = dr >> 31;
        const TLanes dist = ((db ^ sb) - sb) + ((dg ^ sg) - sg) + ((dr ^ sr) - sr);
        const TLanes offset = position - start;
        const TLanes key = (dist << 17) | (((offset * 2) ^ (offset >> 31)) << 8) | index;
        best = key < best ? key : best;
    }
    int32_t bestKey = best[0];
    for (int lane = 1; lane < kLanes; ++lane) bestKey = std::min(bestKey, best[lane]);
    return bestKey & 255;
}
#else
int TNeuralRowMapper::nearest(int blue, int green, int red) {
    const TCellRange& range = cell(blue, green, red);
    if (range.count == kUsePlainSearch) return m_network.Search(blue, green, red);
    const int32_t start = m_network.m_greenIndex[static_cast<size_t>(green)];
    int32_t bestKey = INT32_MAX;
    for (int32_t b = range.start; b < range.start + range.count; ++b) {
        const TCandidateBlock& c = m_blocks[static_cast<size_t>(b)];
        for (int lane = 0; lane < kLanes; ++lane) {
            const int32_t dist =
                std::abs(c.blue[lane] - blue) + std::abs(c.green[lane] - green) + std::abs(c.red[lane] - red);
            const int32_t offset = c.position[lane] - start;
            bestKey = std::min(bestKey, (dist << 17) | (((offset * 2) ^ (offset >> 31)) << 8) | c.index[lane]);
        }
    }
    return bestKey & 255;
}
#endif

void TNeuralRowMapper::MapRow(const uint8_t* bgr, int32_t count, uint8_t* out) {
    uint32_t previous = 0xFFFFFFFFu;
    uint8_t previousIndex = 0;
    for (int32_t i = 0; i < count; ++i, bgr += 3) {
        const uint32_t colour = bgr[0] | (uint32_t{bgr[1]} << 8) | (uint32_t{bgr[2]} << 16);
        if (colour != previous) {
            previous = colour;
            previousIndex = static_cast<uint8_t>(nearest(bgr[0], bgr[1], bgr[2]));
        }
        out[i] = previousIndex;
    }
}

}  // namespace loopsmith
