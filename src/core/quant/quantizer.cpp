#include "quant/quantizer.h"

namespace loopsmith {

int QuantizerMethod = -1;
int QuantizerQuality = -1;

// Placeholder until the quantizers land.
struct TQuantizer::State {};

TQuantizer::TQuantizer(const TRaster&, TRGB*, int colourCount) : m_colourCount(colourCount) {}
TQuantizer::~TQuantizer() = default;
int TQuantizer::RGBIndex(TRGB) const { return 0; }
void TQuantizer::IndexRow(const uint8_t*, int32_t count, uint8_t* out) const {
    for (int32_t i = 0; i < count; ++i) out[i] = 0;
}

}  // namespace loopsmith
