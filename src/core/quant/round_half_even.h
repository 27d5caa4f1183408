#pragma once
// Round to nearest with halves to even, independent of the FPU rounding mode.

#include <cmath>

namespace loopsmith {

inline double RoundHalfEven(double v) {
    double floorV = std::floor(v);
    double fraction = v - floorV;
    if (fraction > 0.5) return floorV + 1;
    if (fraction < 0.5) return floorV;
    return std::fmod(floorV, 2.0) == 0 ? floorV : floorV + 1;
}

}  // namespace loopsmith
