#include "quant/box_quantizer.h"

#include <algorithm>

#include "quant/round_half_even.h"

namespace loopsmith {

namespace {

// The value of a split that cannot be made; any real split scores below it.
constexpr double kFailedSplit = 17523.6;

int cellOf(int red, int green, int blue) { return red * 1024 + green * 32 + blue; }

}  // namespace

TBoxQuantizer::TBoxQuantizer(const TRaster& image, int colourCount)
    : m_histogram(kBins * kBins * kBins, 0), m_table(kBins * kBins * kBins, 0) {
    if (image.PixelLayout() == px24RGB) fillHistogram(image);
    m_pixelCount = static_cast<double>(int64_t{image.Width()} * image.Height());
    TBox first;
    first.low = {0, 0, 0};
    first.high = {kBins, kBins, kBins};
    fillFromHistogram(first);
    computeStatistics(first);
    m_boxes.push_back(first);
    splitBoxes(std::clamp(colourCount, 1, 256));
    buildTable();
}

void TBoxQuantizer::fillHistogram(const TRaster& image) {
    for (int32_t y = 0; y < image.Height(); ++y) {
        const uint8_t* p = image.Scanline(y);
        for (int32_t x = 0; x < image.Width(); ++x, p += 3) ++m_histogram[cellOf(p[2] >> 3, p[1] >> 3, p[0] >> 3)];
    }
}

// Marginals and count of the cells inside the box's ranges; false when the
// box holds no pixel.
bool TBoxQuantizer::fillFromHistogram(TBox& box) const {
    box.count = 0;
    box.marginal = {};
    for (int r = box.low[0]; r < box.high[0]; ++r)
        for (int g = box.low[1]; g < box.high[1]; ++g)
            for (int b = box.low[2]; b < box.high[2]; ++b) {
                const int64_t h = m_histogram[cellOf(r, g, b)];
                box.marginal[0][r] += h;
                box.marginal[1][g] += h;
                box.marginal[2][b] += h;
                box.count += h;
            }
    return box.count > 0;
}

void TBoxQuantizer::computeStatistics(TBox& box) const {
    if (box.count == 0) {
        box.mean = {};
        box.error = 0;
        return;
    }
    const double count = static_cast<double>(box.count);
    std::array<double, 3> channelError{};
    for (int c = 0; c < 3; ++c) {
        int64_t sum = 0, sumSquares = 0;
        for (int j = 0; j < kBins; ++j) {
            sum += j * box.marginal[c][j];
            sumSquares += int64_t{j} * j * box.marginal[c][j];
        }
        box.mean[c] = static_cast<double>(sum) / count;
        channelError[c] = static_cast<double>(sumSquares) - (box.mean[c] * box.mean[c]) * count;
    }
    box.error = ((channelError[0] + channelError[1]) + channelError[2]) / m_pixelCount;
}

TBoxQuantizer::TSplit TBoxQuantizer::trySplit(const TBox& box, int channel) const {
    TSplit split{kFailedSplit, box, box};
    const int low = box.low[channel], high = box.high[channel];
    if (high - low <= 1) return split;
    const auto& h = box.marginal[channel];
    const double mean = box.mean[channel];
    const int first = static_cast<int>(RoundHalfEven((low + mean) / 2));
    const int last = std::min(static_cast<int>(RoundHalfEven((mean + high) / 2)), kBins - 1);
    int64_t below = 0;
    for (int j = 0; j < first; ++j) below += h[j];
    double t = 0, bestScore = -1;
    int bestEdge = -1;
    for (int e = first; e <= last; ++e) {
        below += h[e];
        if (below == box.count) break;
        t += static_cast<double>(h[e] * e) / static_cast<double>(box.count);
        const double score =
            (static_cast<double>(below) / static_cast<double>(box.count - below)) * ((mean - t) * (mean - t));
        if (score > bestScore) {
            bestScore = score;
            bestEdge = e;
        }
    }
    if (bestEdge < 0) return split;
    split.lower.high[channel] = bestEdge + 1;
    split.upper.low[channel] = bestEdge + 1;
    for (TBox* part : {&split.lower, &split.upper}) {
        if (!fillFromHistogram(*part)) return TSplit{kFailedSplit, box, box};
        for (int c = 0; c < 3; ++c) {
            while (part->marginal[c][part->low[c]] == 0) ++part->low[c];
            while (part->marginal[c][part->high[c] - 1] == 0) --part->high[c];
        }
        computeStatistics(*part);
    }
    split.value = split.lower.error + split.upper.error;
    return split;
}

// The first box of largest error above 0, or -1.
int TBoxQuantizer::boxToSplit() const {
    int best = -1;
    for (int i = 0; i < BoxCount(); ++i)
        if (m_boxes[i].error > 0 && (best < 0 || m_boxes[i].error > m_boxes[best].error)) best = i;
    return best;
}

void TBoxQuantizer::splitBoxes(int colourCount) {
    while (BoxCount() < colourCount) {
        const int i = boxToSplit();
        if (i < 0) return;
        TSplit splits[3] = {trySplit(m_boxes[i], 0), trySplit(m_boxes[i], 1), trySplit(m_boxes[i], 2)};
        const double r = splits[0].value, g = splits[1].value, b = splits[2].value;
        int chosen = -1;
        if (r < kFailedSplit && r <= g && r <= b) chosen = 0;
        else if (g < kFailedSplit && g <= r && g <= b) chosen = 1;
        else if (b < kFailedSplit) chosen = 2;
        if (chosen < 0) {
            m_boxes[i].error = 0;
            continue;
        }
        m_boxes[i] = splits[chosen].lower;
        m_boxes.push_back(splits[chosen].upper);
    }
}

void TBoxQuantizer::buildTable() {
    for (int i = 0; i < BoxCount(); ++i) {
        const TBox& box = m_boxes[i];
        for (int r = box.low[0]; r < box.high[0]; ++r)
            for (int g = box.low[1]; g < box.high[1]; ++g)
                for (int b = box.low[2]; b < box.high[2]; ++b) m_table[cellOf(r, g, b)] = static_cast<uint8_t>(i);
    }
}

void TBoxQuantizer::WritePalette(TRGB* paletteOut) const {
    auto level = [](double mean) { return static_cast<uint8_t>(RoundHalfEven(mean) * 8); };
    for (int i = 0; i < BoxCount(); ++i) {
        const TBox& box = m_boxes[i];
        paletteOut[i] = MakeRGB(level(box.mean[0]), level(box.mean[1]), level(box.mean[2]));
    }
}

}  // namespace loopsmith
