#pragma once

#include <cmath>

// The ITU-R BT.709 transfer functions written out from their definition, for the linear-light
// references of both effects' tests: values on the 0 .. 1 scale, no tables, no clamping.
// Encoding: 4.5 x below 0.018, else 1.099 x^0.45 - 0.099; decoding is its inverse, with the
// knee at 4.5 * 0.018 = 0.081 on the encoded side.
namespace bt709_reference {

inline double to_linear(double v) {
    return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
}

inline double to_encoded(double x) {
    return x < 0.018 ? 4.5 * x : 1.099 * std::pow(x, 0.45) - 0.099;
}

}  // namespace bt709_reference
