// Highway compiles the part of this file between HWY_BEFORE_NAMESPACE and HWY_AFTER_NAMESPACE
// once per vector target (the file includes itself through foreach_target.h); the rest is
// compiled once, under HWY_ONCE.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "imaging/linear_light.cpp"
// The 128-bit x86 targets are left out: processors without AVX2 take the portable build. The
// scalable ones are too: the code keeps vectors in arrays, which sizeless types cannot be.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS \
    (HWY_SSSE3 | HWY_SSE4 | HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)
#endif
#include <hwy/foreach_target.h>  // before highway.h
#include <hwy/highway.h>

#ifndef QB_LINEAR_LIGHT_CONSTANTS
#define QB_LINEAR_LIGHT_CONSTANTS

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "imaging/linear_light.h"
#include "imaging/processor_features.h"

namespace linear_light_detail {

// The constants of the formulas, rounded as the effects have always written them.
inline constexpr double kEncodedKnee = 0.081;
inline constexpr double kLinearKnee = 0.018;
inline constexpr double kSlope = 4.5;
inline constexpr double kInverseSlope = 0.2222222222222222;  // 1 / 4.5
inline constexpr double kOffset = 0.099;
inline constexpr double kScale = 1.099;
inline constexpr double kInverseScale = 0.9099181073703367;  // 1 / 1.099
inline constexpr double kToGammaPower = 0.45;
inline constexpr double kToLinearPower = 2.2222222222222223;  // 1 / 0.45

// y^p = 2^t with t = p (e + log2 m), y = 2^e m and sqrt(1/2) < m <= sqrt(2).
// log2 m = s (c0 + c1 s^2 + ... + c6 s^12), s = (m - 1) / (m + 1), c_j = 2 / ((2j + 1) ln 2):
// the atanh series, |s| <= 0.1716; the terms left out sum to less than 7e-13.
inline constexpr double kLog2Series[7] = {
    2.8853900817779268, 0.9617966939259756, 0.5770780163555853,  0.4121985831111324,
    0.3205988979753252, 0.2623081892525388, 0.22195308321368667,
};
// 2^f = sum of (ln 2)^k / k! f^k for k = 0 .. 10, |f| <= 1/2; the terms left out are less
// than 4e-13 of the value. Both series are cut where the float rows need no more; the double
// rows keep about 12 digits, far beyond the effects' single-precision buffers.
inline constexpr double kExp2Series[11] = {
    1.0,
    0.6931471805599453,
    0.24022650695910072,
    0.05550410866482158,
    0.009618129107628477,
    0.0013333558146428443,
    0.0001540353039338161,
    1.5252733804059841e-05,
    1.321548679014431e-06,
    1.01780860092397e-07,
    7.054911620801123e-09,
};
inline constexpr double kSqrt2 = 1.4142135623730951;
// A double with 2^52 + k in it holds the integer k in its low mantissa bits: the exponent field
// of y is read as a double that way, and adding 1.5 * 2^52 rounds t to the nearest integer.
inline constexpr uint64_t kMantissaBits = 0x000FFFFFFFFFFFFFull;
inline constexpr uint64_t kOneBits = 0x3FF0000000000000ull;           // 1.0
inline constexpr uint64_t kTwo52Bits = 0x4330000000000000ull;         // 2^52
inline constexpr double kExponentBias = 4503599627370496.0 + 1023.0;  // 2^52 + 1023
inline constexpr double kRoundingShift = 6755399441055744.0;          // 1.5 * 2^52
// t is limited so that 2^t can be built as 2^a 2^b with both exponents normal; the results
// beyond (only for inputs far outside the effects' range) are 0 or infinity, as they should be.
inline constexpr double kSmallestPower = -2044.0;
inline constexpr double kLargestPower = 2046.0;

}  // namespace linear_light_detail

#endif  // QB_LINEAR_LIGHT_CONSTANTS

HWY_BEFORE_NAMESPACE();
namespace linear_light_detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// y^p for finite positive normal y, for K vectors at once: their steps interleave, so that the
// long chains of dependent steps of one vector overlap with the others'. Other lanes give
// finite garbage that the callers discard. Every step is the one of power_scalar below, so
// that both round alike.
template <size_t K, class D, class V = hn::Vec<D>>
HWY_INLINE void Power(D d, V (&y)[K], double p) {
    const hn::RebindToUnsigned<D> du;
    using VU = hn::Vec<decltype(du)>;
    const V one = hn::Set(d, 1.0);
    V s[K], z[K], t[K];
    for (size_t u = 0; u < K; ++u) {
        const VU bits = hn::BitCast(du, y[u]);
        V e = hn::Sub(hn::BitCast(d, hn::Or(hn::ShiftRight<52>(bits), hn::Set(du, kTwo52Bits))),
                      hn::Set(d, kExponentBias));
        V m = hn::BitCast(d,
                          hn::Or(hn::And(bits, hn::Set(du, kMantissaBits)), hn::Set(du, kOneBits)));
        const auto high = hn::Gt(m, hn::Set(d, kSqrt2));
        m = hn::IfThenElse(high, hn::Mul(m, hn::Set(d, 0.5)), m);
        t[u] = hn::IfThenElse(high, hn::Add(e, one), e);
        s[u] = hn::Div(hn::Sub(m, one), hn::Add(m, one));
        z[u] = hn::Mul(s[u], s[u]);
    }
    V series[K];
    for (size_t u = 0; u < K; ++u) series[u] = hn::Set(d, kLog2Series[6]);
#pragma GCC unroll 8
    for (int j = 5; j >= 0; --j) {
        for (size_t u = 0; u < K; ++u)
            series[u] = hn::Add(hn::Mul(series[u], z[u]), hn::Set(d, kLog2Series[j]));
    }
    V f[K], scale_a[K], scale_b[K];
    for (size_t u = 0; u < K; ++u) {
        V tu = hn::Mul(hn::Set(d, p), hn::Add(t[u], hn::Mul(s[u], series[u])));
        tu = hn::Min(hn::Max(tu, hn::Set(d, kSmallestPower)), hn::Set(d, kLargestPower));
        const V shifted = hn::Add(tu, hn::Set(d, kRoundingShift));
        f[u] = hn::Sub(tu, hn::Sub(shifted, hn::Set(d, kRoundingShift)));
        const VU n =
            hn::Sub(hn::BitCast(du, shifted), hn::Set(du, std::bit_cast<uint64_t>(kRoundingShift)));
        // 2^n = 2^a 2^b, a = floor(n / 2), b = n - a; n + 2048 is positive.
        const VU biased = hn::Add(n, hn::Set(du, uint64_t{2048}));
        const VU half = hn::ShiftRight<1>(biased);  // a + 1024
        const VU one_bit = hn::Set(du, uint64_t{1});
        scale_a[u] = hn::BitCast(d, hn::ShiftLeft<52>(hn::Sub(half, one_bit)));
        scale_b[u] = hn::BitCast(d, hn::ShiftLeft<52>(hn::Sub(hn::Sub(biased, half), one_bit)));
    }
    V power[K];
    for (size_t u = 0; u < K; ++u) power[u] = hn::Set(d, kExp2Series[10]);
#pragma GCC unroll 12
    for (int k = 9; k >= 0; --k) {
        for (size_t u = 0; u < K; ++u)
            power[u] = hn::Add(hn::Mul(power[u], f[u]), hn::Set(d, kExp2Series[k]));
    }
    for (size_t u = 0; u < K; ++u) y[u] = hn::Mul(hn::Mul(power[u], scale_a[u]), scale_b[u]);
}

struct ToLinear {
    template <size_t K, class D, class V = hn::Vec<D>>
    HWY_INLINE void operator()(D d, V (&v)[K]) const {
        V y[K];
        for (size_t u = 0; u < K; ++u)
            y[u] = hn::Mul(hn::Add(v[u], hn::Set(d, kOffset)), hn::Set(d, kInverseScale));
        V curved[K];
        for (size_t u = 0; u < K; ++u) curved[u] = y[u];
        Power(d, curved, kToLinearPower);
        for (size_t u = 0; u < K; ++u) {
            const V straight = hn::Mul(v[u], hn::Set(d, kInverseSlope));
            curved[u] = hn::IfThenElse(hn::IsFinite(y[u]), curved[u], y[u]);
            v[u] = hn::IfThenElse(hn::Le(v[u], hn::Set(d, kEncodedKnee)), straight, curved[u]);
        }
    }
};

struct ToGamma {
    template <size_t K, class D, class V = hn::Vec<D>>
    HWY_INLINE void operator()(D d, V (&x)[K]) const {
        V curved[K];
        for (size_t u = 0; u < K; ++u) curved[u] = x[u];
        Power(d, curved, kToGammaPower);
        for (size_t u = 0; u < K; ++u) {
            const V straight = hn::Mul(x[u], hn::Set(d, kSlope));
            curved[u] = hn::IfThenElse(
                hn::IsFinite(x[u]),
                hn::Sub(hn::Mul(hn::Set(d, kScale), curved[u]), hn::Set(d, kOffset)), x[u]);
            x[u] = hn::IfThenElse(hn::Lt(x[u], hn::Set(d, kLinearKnee)), straight, curved[u]);
        }
    }
};

// The double lanes of one vector from `in`, and back to `out`; floats are widened first and
// rounded once at the end.
template <class D>
HWY_INLINE hn::Vec<D> LoadLanes(D d, const double* in) {
    return hn::LoadU(d, in);
}
template <class D>
HWY_INLINE hn::Vec<D> LoadLanes(D d, const float* in) {
    const hn::Rebind<float, D> df;
    return hn::PromoteTo(d, hn::LoadU(df, in));
}
template <class D>
HWY_INLINE void StoreLanes(D d, hn::Vec<D> v, double* out) {
    hn::StoreU(v, d, out);
}
template <class D>
HWY_INLINE void StoreLanes(D d, hn::Vec<D> v, float* out) {
#if HWY_TARGET == HWY_EMU128 || HWY_TARGET == HWY_SCALAR
    // The portable demotion stops at the largest float; the conversion of the language (and
    // of the vector instructions) rounds beyond it to infinity, as the formulas' callers do.
    HWY_ALIGN double lanes[hn::MaxLanes(D())];
    hn::Store(v, d, lanes);
    for (size_t i = 0; i < hn::Lanes(d); ++i) out[i] = float(lanes[i]);
#else
    const hn::Rebind<float, D> df;
    hn::StoreU(hn::DemoteTo(df, v), df, out);
#endif
}

template <size_t K, class D, class T, class Op>
HWY_INLINE void Block(D d, const T* in, T* out, Op op) {
    const size_t lanes = hn::Lanes(d);
    hn::Vec<D> v[K];
    for (size_t u = 0; u < K; ++u) v[u] = LoadLanes(d, in + u * lanes);
    op(d, v);
    for (size_t u = 0; u < K; ++u) StoreLanes(d, v[u], out + u * lanes);
}

// Four vectors at a time, then single ones; the last partial vector goes through a local
// copy padded with zeros. A value's result does not depend on where in the row it lies.
template <class T, class Op>
HWY_INLINE void Row(const T* in, T* out, size_t count, Op op) {
    const hn::ScalableTag<double> d;
    const size_t lanes = hn::Lanes(d);
    size_t i = 0;
    for (; i + 4 * lanes <= count; i += 4 * lanes) Block<4>(d, in + i, out + i, op);
    for (; i + lanes <= count; i += lanes) Block<1>(d, in + i, out + i, op);
    if (i == count) return;
    HWY_ALIGN T tail[hn::MaxLanes(decltype(d)())] = {};
    const size_t rest = count - i;
    for (size_t k = 0; k < rest; ++k) tail[k] = in[i + k];
    Block<1>(d, tail, tail, op);
    for (size_t k = 0; k < rest; ++k) out[i + k] = tail[k];
}

void ToLinearRowF(const float* in, float* out, size_t count) { Row(in, out, count, ToLinear{}); }
void ToLinearRowD(const double* in, double* out, size_t count) { Row(in, out, count, ToLinear{}); }
void ToGammaRowF(const float* in, float* out, size_t count) { Row(in, out, count, ToGamma{}); }
void ToGammaRowD(const double* in, double* out, size_t count) { Row(in, out, count, ToGamma{}); }

}  // namespace HWY_NAMESPACE
}  // namespace linear_light_detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace linear_light_detail {
namespace {

// The portable scalar path: the vector code's operations, one value at a time.
double power_scalar(double y, double p) {
    const uint64_t bits = std::bit_cast<uint64_t>(y);
    double e = std::bit_cast<double>((bits >> 52) | kTwo52Bits) - kExponentBias;
    double m = std::bit_cast<double>((bits & kMantissaBits) | kOneBits);
    if (m > kSqrt2) {
        m = m * 0.5;
        e = e + 1.0;
    }
    const double s = (m - 1.0) / (m + 1.0);
    const double z = s * s;
    double series = kLog2Series[6];
    for (int j = 5; j >= 0; --j) series = series * z + kLog2Series[j];
    double t = p * (e + s * series);
    t = std::min(std::max(t, kSmallestPower), kLargestPower);

    const double shifted = t + kRoundingShift;
    const double f = t - (shifted - kRoundingShift);
    const uint64_t n = std::bit_cast<uint64_t>(shifted) - std::bit_cast<uint64_t>(kRoundingShift);
    const uint64_t biased = n + 2048;
    const uint64_t half = biased >> 1;
    const double scale_a = std::bit_cast<double>((half - 1) << 52);
    const double scale_b = std::bit_cast<double>((biased - half - 1) << 52);

    double power = kExp2Series[10];
    for (int k = 9; k >= 0; --k) power = power * f + kExp2Series[k];
    return power * scale_a * scale_b;
}

double to_linear_scalar(double v) {
    if (v <= kEncodedKnee) return v * kInverseSlope;
    const double y = (v + kOffset) * kInverseScale;
    return std::isfinite(y) ? power_scalar(y, kToLinearPower) : y;
}

double to_gamma_scalar(double x) {
    if (x < kLinearKnee) return x * kSlope;
    return std::isfinite(x) ? kScale * power_scalar(x, kToGammaPower) - kOffset : x;
}

template <class T, double (*F)(double)>
void scalar_row(const T* in, T* out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = T(F(double(in[i])));
}

std::vector<LinearLightRows> available_rows() {
    std::vector<LinearLightRows> rows;
    rows.push_back({"portable", &scalar_row<float, to_linear_scalar>,
                    &scalar_row<double, to_linear_scalar>, &scalar_row<float, to_gamma_scalar>,
                    &scalar_row<double, to_gamma_scalar>});
#define QB_LINEAR_LIGHT_ROWS(ns, label) \
    rows.push_back(                     \
        {label, &ns::ToLinearRowF, &ns::ToLinearRowD, &ns::ToGammaRowF, &ns::ToGammaRowD})
#if HWY_TARGETS & HWY_EMU128
    QB_LINEAR_LIGHT_ROWS(N_EMU128, "emu128");
#endif
#if HWY_TARGETS & HWY_SCALAR
    QB_LINEAR_LIGHT_ROWS(N_SCALAR, "scalar");
#endif
#if HWY_ARCH_X86
#if HWY_TARGETS & HWY_AVX2
    if (processor_runs(VectorBuild::avx2)) QB_LINEAR_LIGHT_ROWS(N_AVX2, "avx2");
#endif
#if HWY_TARGETS & HWY_AVX3
    if (processor_runs(VectorBuild::avx3)) QB_LINEAR_LIGHT_ROWS(N_AVX3, "avx512");
#endif
#endif
#undef QB_LINEAR_LIGHT_ROWS
    return rows;
}

const LinearLightRows& fastest() {
    static const LinearLightRows rows = linear_light_rows().back();
    return rows;
}

}  // namespace
}  // namespace linear_light_detail

double bt709_to_linear(double encoded) {
    using namespace linear_light_detail;
    return encoded <= kEncodedKnee ? encoded * kInverseSlope
                                   : std::pow((encoded + kOffset) * kInverseScale, kToLinearPower);
}

double linear_to_bt709(double linear) {
    using namespace linear_light_detail;
    return linear < kLinearKnee ? linear * kSlope
                                : kScale * std::pow(linear, kToGammaPower) - kOffset;
}

void fill_linearise_table(float* table, double channel_max) {
    for (int32_t i = 0; i < kLinearLightTableSize; ++i) {
        table[i] = float(bt709_to_linear(double(i) * kLinearLightTableStep) * channel_max);
    }
}

void fill_gamma_table(float* table, double channel_max) {
    for (int32_t i = 0; i < kLinearLightTableSize; ++i) {
        table[i] = float(linear_to_bt709(double(i) * kLinearLightTableStep) * channel_max);
    }
}

std::span<const LinearLightRows> linear_light_rows() {
    static const std::vector<LinearLightRows> rows = linear_light_detail::available_rows();
    return rows;
}

void bt709_to_linear_row(const float* in, float* out, size_t count) {
    linear_light_detail::fastest().to_linear_f(in, out, count);
}
void bt709_to_linear_row(const double* in, double* out, size_t count) {
    linear_light_detail::fastest().to_linear_d(in, out, count);
}
void linear_to_bt709_row(const float* in, float* out, size_t count) {
    linear_light_detail::fastest().to_gamma_f(in, out, count);
}
void linear_to_bt709_row(const double* in, double* out, size_t count) {
    linear_light_detail::fastest().to_gamma_d(in, out, count);
}

#endif  // HWY_ONCE
