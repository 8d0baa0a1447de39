#include "imaging/linear_light.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

// The transfer functions written out with the textbook constants (not the rounded ones the
// code uses): the tables and the formulas must agree with them to double precision.
double textbook_to_linear(double v) {
    return v <= 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
}
double textbook_to_gamma(double x) {
    return x < 0.018 ? x * 4.5 : 1.099 * std::pow(x, 0.45) - 0.099;
}

// Relative error of a row result against the double formula; exact zeros must stay exact.
double relative_error(double got, double want) {
    if (want == 0.0) return got == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
    return std::fabs(got - want) / std::fabs(want);
}

template <class T>
constexpr double kRowBound = 2e-12;  // double rows
template <>
constexpr double kRowBound<float> = 0x1p-24 + 2e-12;  // rounded once to float

// Inputs across the effects' range 0 .. 2^20: 2048 evenly spaced values in every binade from
// 2^-30 up, every power of two with its neighbours in the row's type, and the joints of the two
// segments (0.018 and 0.081) with the 8 neighbouring values of the type on each side.
template <class T>
std::vector<T> range_samples() {
    std::vector<T> v;
    for (int e = -30; e < 20; ++e) {
        for (int j = 0; j < 2048; ++j) v.push_back(T(std::ldexp(1.0 + j / 2048.0, e)));
    }
    for (int e = -40; e <= 20; ++e) {
        const T p = T(std::ldexp(1.0, e));
        v.push_back(std::nextafter(p, T(0)));
        v.push_back(p);
        v.push_back(std::nextafter(p, T(1e30)));
    }
    for (const double knee : {0.018, 0.081}) {
        T x = T(knee);
        for (int k = 0; k < 8; ++k) x = std::nextafter(x, T(0));
        for (int k = 0; k < 17; ++k, x = std::nextafter(x, T(1))) v.push_back(x);
    }
    v.push_back(T(0));
    v.push_back(T(1048576.0));
    return v;
}

template <class T>
void to_linear(const LinearLightRows& rows, const T* in, T* out, size_t n) {
    if constexpr (sizeof(T) == sizeof(float)) {
        rows.to_linear_f(in, out, n);
    } else {
        rows.to_linear_d(in, out, n);
    }
}
template <class T>
void to_gamma(const LinearLightRows& rows, const T* in, T* out, size_t n) {
    if constexpr (sizeof(T) == sizeof(float)) {
        rows.to_gamma_f(in, out, n);
    } else {
        rows.to_gamma_d(in, out, n);
    }
}

// Same bits, with every NaN counted as equal to every NaN.
template <class T>
bool same_bits(T a, T b) {
    return (std::isnan(a) && std::isnan(b)) ||
           std::bit_cast<std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>(a) ==
               std::bit_cast<std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>(b);
}

TEST(LinearLightFormulas, MatchTheTextbookFunctionsAndInvertEachOther) {
    for (double v = -0.5; v <= 4.0; v += 0.001) {
        const double linear = textbook_to_linear(v), gamma = textbook_to_gamma(v);
        EXPECT_NEAR(bt709_to_linear(v), linear, 1e-14 * (1.0 + std::fabs(linear))) << v;
        EXPECT_NEAR(linear_to_bt709(v), gamma, 1e-14 * (1.0 + std::fabs(gamma))) << v;
        EXPECT_NEAR(bt709_to_linear(linear_to_bt709(v)), v, 1e-12 * (1.0 + std::fabs(v))) << v;
    }
    // Below the knees both are straight lines, negative values included.
    EXPECT_DOUBLE_EQ(linear_to_bt709(-0.1), -0.45);
    EXPECT_DOUBLE_EQ(bt709_to_linear(-0.45), -0.1);
    // The standard's rounded constants leave small steps at the joints, which the formulas
    // keep: just above 0.081 the power piece gives 0.017945 (the line gives 0.018 there), and
    // at 0.018 it gives 0.081248.
    EXPECT_NEAR(bt709_to_linear(std::nextafter(0.081, 1.0)), 0.0179450234, 1e-9);
    EXPECT_NEAR(linear_to_bt709(0.018), 0.0812479440, 1e-9);
}

// The integer pixel types' tables stay exactly what they were: every entry is the formula at
// u = i * (1 / 32767), times the channel maximum, rounded once to float.
TEST(LinearLightTables, EveryEntryIsTheFormulaRoundedToFloat) {
    for (const double max : {255.0, 32768.0, 1.0}) {
        std::vector<float> l(kLinearLightTableSize), g(kLinearLightTableSize);
        fill_linearise_table(l.data(), max);
        fill_gamma_table(g.data(), max);
        for (int32_t i = 0; i < kLinearLightTableSize; ++i) {
            const double u = double(i) * 0.00003051850947599719;
            const double linear =
                u <= 0.081 ? u * 0.2222222222222222
                           : std::pow((u + 0.099) * 0.9099181073703367, 2.2222222222222223);
            const double gamma = u < 0.018 ? u * 4.5 : 1.099 * std::pow(u, 0.45) - 0.099;
            ASSERT_EQ(l[size_t(i)], float(linear * max)) << "max " << max << " entry " << i;
            ASSERT_EQ(g[size_t(i)], float(gamma * max)) << "max " << max << " entry " << i;
            ASSERT_NEAR(l[size_t(i)], textbook_to_linear(i / 32767.0) * max, 1e-6 * max) << i;
        }
        EXPECT_NEAR(l[32767], max, 1e-6 * max);
        EXPECT_NEAR(g[32767], max, 1e-6 * max);
    }
}

template <class T>
class LinearLightRowTest : public testing::Test {};
using RowTypes = testing::Types<float, double>;
TYPED_TEST_SUITE(LinearLightRowTest, RowTypes);

// Every implementation, both directions, within the stated bound of the double formula over
// the effects' whole range, the joints of the segments included.
TYPED_TEST(LinearLightRowTest, WithinTheBoundOfTheDoubleFormula) {
    using T = TypeParam;
    const std::vector<T> in = range_samples<T>();
    std::vector<T> out(in.size());
    for (const LinearLightRows& rows : linear_light_rows()) {
        for (const bool gamma : {false, true}) {
            if (gamma) {
                to_gamma(rows, in.data(), out.data(), in.size());
            } else {
                to_linear(rows, in.data(), out.data(), in.size());
            }
            double worst = 0.0;
            size_t worst_at = 0;
            for (size_t i = 0; i < in.size(); ++i) {
                const double want =
                    gamma ? linear_to_bt709(double(in[i])) : bt709_to_linear(double(in[i]));
                const double e = relative_error(double(out[i]), want);
                if (e > worst) {
                    worst = e;
                    worst_at = i;
                }
            }
            EXPECT_LE(worst, kRowBound<T>)
                << rows.name << (gamma ? " to gamma" : " to linear") << ": worst at "
                << double(in[worst_at]) << ", " << double(out[worst_at]);
        }
    }
}

// Values outside the power segments: 0, negative values, NaN, infinities, and results beyond
// the type's range, as the formulas give them.
TYPED_TEST(LinearLightRowTest, SpecialValuesFollowTheFormulas) {
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const std::vector<T> in = {T(0),
                               -T(0),
                               T(-0.5),
                               T(-1048576.0),
                               -inf,
                               inf,
                               nan,
                               std::numeric_limits<T>::max(),
                               T(0.081),
                               T(0.018),
                               std::numeric_limits<T>::denorm_min(),
                               T(1)};
    std::vector<T> lin(in.size()), gam(in.size());
    for (const LinearLightRows& rows : linear_light_rows()) {
        to_linear(rows, in.data(), lin.data(), in.size());
        to_gamma(rows, in.data(), gam.data(), in.size());
        for (size_t i = 0; i < in.size(); ++i) {
            const T want_lin = T(bt709_to_linear(double(in[i])));
            const T want_gam = T(linear_to_bt709(double(in[i])));
            if (std::isinf(want_lin) || want_lin == T(0) || std::isnan(want_lin)) {
                EXPECT_TRUE(same_bits(lin[i], want_lin))
                    << rows.name << " to linear of " << double(in[i]) << ": " << double(lin[i]);
            } else {
                EXPECT_LE(relative_error(double(lin[i]), double(want_lin)), kRowBound<T> * 2)
                    << rows.name << " to linear of " << double(in[i]);
            }
            if (std::isinf(want_gam) || want_gam == T(0) || std::isnan(want_gam)) {
                EXPECT_TRUE(same_bits(gam[i], want_gam))
                    << rows.name << " to gamma of " << double(in[i]) << ": " << double(gam[i]);
            } else {
                EXPECT_LE(relative_error(double(gam[i]), double(want_gam)), kRowBound<T> * 2)
                    << rows.name << " to gamma of " << double(in[i]);
            }
        }
        EXPECT_TRUE(std::isnan(lin[6]) && std::isnan(gam[6])) << rows.name;
        EXPECT_EQ(lin[4], -inf) << rows.name;
        EXPECT_EQ(lin[5], inf) << rows.name;
        EXPECT_EQ(gam[4], -inf) << rows.name;
        EXPECT_EQ(gam[5], inf) << rows.name;
    }
}

// Every vector width gives the portable loop's bits on random rows of every length up to a
// few vectors (tails included), in place and out of place, and the row functions the effects
// call are the last implementation.
TYPED_TEST(LinearLightRowTest, EveryPathGivesThePortableBits) {
    using T = TypeParam;
    const auto all = linear_light_rows();
    ASSERT_GE(all.size(), 1u);
    EXPECT_EQ(std::string(all[0].name), "portable");
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> exponent(-12.0, 20.0);
    std::uniform_int_distribution<int> special(0, 40);
    const T specials[] = {
        T(0),     T(-0.25), std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
        T(0.081), T(0.018)};
    for (size_t length = 0; length <= 70; ++length) {
        std::vector<T> in(length);
        for (T& v : in) {
            const int s = special(rng);
            v = s < 6 ? specials[s] : T(std::exp2(exponent(rng)));
        }
        for (const bool gamma : {false, true}) {
            std::vector<T> want(length);
            auto run = [&](const LinearLightRows& rows, const T* src, T* dst) {
                if (gamma) {
                    to_gamma(rows, src, dst, length);
                } else {
                    to_linear(rows, src, dst, length);
                }
            };
            run(all[0], in.data(), want.data());
            for (const LinearLightRows& rows : all) {
                std::vector<T> got(length), in_place = in;
                run(rows, in.data(), got.data());
                run(rows, in_place.data(), in_place.data());
                for (size_t i = 0; i < length; ++i) {
                    ASSERT_TRUE(same_bits(got[i], want[i])) << rows.name << " length " << length
                                                            << " at " << i << ": " << double(in[i]);
                    ASSERT_TRUE(same_bits(in_place[i], want[i])) << rows.name << " in place";
                }
            }
            std::vector<T> public_out(length);
            if (gamma) {
                linear_to_bt709_row(in.data(), public_out.data(), length);
            } else {
                bt709_to_linear_row(in.data(), public_out.data(), length);
            }
            for (size_t i = 0; i < length; ++i) ASSERT_TRUE(same_bits(public_out[i], want[i]));
        }
    }
}

}  // namespace
