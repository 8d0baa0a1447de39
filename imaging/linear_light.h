#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Linear light: the ITU-R BT.709 transfer functions that both effects use to move the host's
// gamma-encoded values to linear light and back. Values are on the 0 .. 1 scale (1 = channel
// maximum) and are not clamped: values above 1 follow the power segment, values below the knee
// (negative ones included) the straight segment, so each function stays the other's inverse.
//
//   to linear:  v <= 0.081 ? v / 4.5 : ((v + 0.099) / 1.099)^(1 / 0.45)
//   to gamma:   x <  0.018 ? 4.5 x   : 1.099 x^0.45 - 0.099
//
// (written with the constants 0.2222222222222222, 0.9099181073703367 and 2.2222222222222223,
// which is how every caller has always rounded them). NaN stays NaN, +infinity stays
// +infinity and -infinity stays -infinity in both directions; callers that must not see them
// clean their values first.
//
// Three forms:
// - bt709_to_linear(double) and linear_to_bt709(double): the formulas with libm's pow in double
//   precision; they fill the tables and are the reference the fast forms are held to.
// - The 32768-entry tables of the integer pixel types (channel maximum 255 or 32768).
// - The row functions, for float pixel types: a whole row or span per call, vectorised at the
//   widest width the processor has, with no libm call. See the error bound there.

// ---- The formulas -------------------------------------------------------------------------

double bt709_to_linear(double encoded);
double linear_to_bt709(double linear);

// ---- Tables ---------------------------------------------------------------------------------

// Entry i stands for u = i / 32767 (computed as i times the constant below).
inline constexpr int32_t kLinearLightTableSize = 32768;
inline constexpr double kLinearLightTableStep = 0.00003051850947599719;  // 1 / 32767

// table[i] = float(bt709_to_linear(u) * channel_max), the linearising table.
void fill_linearise_table(float* table, double channel_max);
// table[i] = float(linear_to_bt709(u) * channel_max), the gamma table.
void fill_gamma_table(float* table, double channel_max);

// ---- Rows -----------------------------------------------------------------------------------

// out[i] = the transfer function of in[i] for i < count; in and out may be the same array (but
// must not overlap otherwise). The straight segments are the formulas' own arithmetic; the
// power segment is evaluated in double precision as 2^(p log2 y): the exponent and the mantissa
// of y taken apart, log2 of the mantissa from the atanh series (through s^13), 2^f for
// |f| <= 1/2 from its Taylor polynomial (through f^10), no fused multiply-adds. Floats are
// widened to double on the way in and rounded once on the way out.
//
// Error bound against bt709_to_linear / linear_to_bt709 (the double formulas), for every input
// from 0 to 2^20 (the largest channel value the effects feed in), both directions:
// - double rows: relative error at most 2e-12 (series 7e-13 and 4e-13, rounding below 1e-14;
//   measured at most 1.1e-12);
// - float rows: relative error at most 2^-24 + 2e-12 (below 6e-8: half a float ulp plus the
//   double error, so the result is the correctly rounded float of the formula or, rarely, its
//   neighbour); the straight segments round exactly as the formula does.
// Beyond 2^20 (and down to the knees) the same bound holds; results beyond the type's range are
// +infinity, as the formula's are.
//
// Every result depends on its input alone: not on its place in the row, the row's length, the
// vector width or the processor (no fused multiply-adds, the same operations in the same order
// in every path), so every machine of a render farm gives the same bits.
void bt709_to_linear_row(const float* in, float* out, size_t count);
void bt709_to_linear_row(const double* in, double* out, size_t count);
void linear_to_bt709_row(const float* in, float* out, size_t count);
void linear_to_bt709_row(const double* in, double* out, size_t count);

// The implementations behind the row functions, for tests and benchmarks: the portable scalar
// loop first, then each vector width built in that this processor runs ("emu128", "sse4",
// "avx2", "avx512"), widest last. The row functions above use the last one.
struct LinearLightRows {
    const char* name;
    void (*to_linear_f)(const float* in, float* out, size_t count);
    void (*to_linear_d)(const double* in, double* out, size_t count);
    void (*to_gamma_f)(const float* in, float* out, size_t count);
    void (*to_gamma_d)(const double* in, double* out, size_t count);
};
std::span<const LinearLightRows> linear_light_rows();
