#include "zblur/depth_levels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/support/padded_image.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<float> curveTable(double curve) {
    std::vector<float> table(kDepthTableSize);
    fill_curve_table(table.data(), curve);
    return table;
}

TEST(DepthTables, CurveTableIsThePowerOfTheIndexFraction) {
    for (const double curve : {1.0, 0.5, 2.0, 3.7}) {
        const std::vector<float> c = curveTable(curve);
        for (const int32_t i : {0, 1, 2, 100, 16383, 16384, 32766, 32767}) {
            EXPECT_FLOAT_EQ(c[size_t(i)], float(std::pow(i / 32767.0, curve)))
                << "curve " << curve << " entry " << i;
        }
        EXPECT_EQ(c[32767], 1.0f);
    }
    // 0^0 is 1: every entry of curve 0 is 1.
    for (const float v : curveTable(0.0)) ASSERT_EQ(v, 1.0f);
}

TEST(DepthTables, PickerTableHoldsWholeLevels) {
    std::vector<float> t(kDepthTableSize);
    fill_picker_table(t.data(), 2.0);
    for (int32_t i = 0; i < kDepthTableSize; i += 97) {
        const double expected = std::floor(std::pow(i / 32767.0, 2.0) * 255.0);
        // The index fraction is computed with the 1/32767 constant; near a whole level the
        // two roundings may differ by one level.
        EXPECT_NEAR(t[size_t(i)], expected, i == 0 ? 0.0 : 1.0) << i;
        EXPECT_EQ(t[size_t(i)], std::trunc(t[size_t(i)]));
    }
    EXPECT_EQ(t[0], 0.0f);
    EXPECT_EQ(t[32767], 255.0f);
}

TEST(DepthTables, TableIndexTruncatesAndStaysInside) {
    EXPECT_EQ(depth_table_index(0.0), 0);
    EXPECT_EQ(depth_table_index(1.0), 32767);
    EXPECT_EQ(depth_table_index(0.5), 16383);
    EXPECT_EQ(depth_table_index(2.0 / 32767.0 - 1e-12), 1);
    EXPECT_EQ(depth_table_index(-1.0), 0);
    EXPECT_EQ(depth_table_index(kNaN), 0);
    EXPECT_EQ(depth_table_index(kInf), 32767);
}

TEST(Normalisation, RampBetweenBlackAndWhite) {
    EXPECT_DOUBLE_EQ(normalise_depth(5.0, 0.0, 10.0, false), 0.5);
    EXPECT_DOUBLE_EQ(normalise_depth(-3.0, 0.0, 10.0, false), 0.0);
    EXPECT_DOUBLE_EQ(normalise_depth(12.0, 0.0, 10.0, false), 1.0);
    // Exactly at the bounds.
    EXPECT_DOUBLE_EQ(normalise_depth(-20.0, -20.0, 40.0, false), 0.0);
    EXPECT_DOUBLE_EQ(normalise_depth(40.0, -20.0, 40.0, false), 1.0);
    EXPECT_DOUBLE_EQ(normalise_depth(2.5, 0.0, 10.0, true), 0.75);
    EXPECT_DOUBLE_EQ(normalise_depth(-3.0, 0.0, 10.0, true), 1.0);
}

TEST(Normalisation, EqualBoundsAreAStep) {
    EXPECT_DOUBLE_EQ(normalise_depth(4.0, 4.0, 4.0, false), 0.0);
    EXPECT_DOUBLE_EQ(normalise_depth(3.9, 4.0, 4.0, false), 0.0);
    EXPECT_DOUBLE_EQ(normalise_depth(4.1, 4.0, 4.0, false), 1.0);
}

// White below black is the same ramp running the other way: black still gives 0, white 1.
TEST(Normalisation, WhiteBelowBlackIsAReversedRange) {
    EXPECT_DOUBLE_EQ(normalise_depth(10.0, 10.0, 0.0, false), 0.0);
    EXPECT_DOUBLE_EQ(normalise_depth(0.0, 10.0, 0.0, false), 1.0);
    EXPECT_DOUBLE_EQ(normalise_depth(2.5, 10.0, 0.0, false), 0.75);
    EXPECT_DOUBLE_EQ(normalise_depth(20.0, 10.0, 0.0, false), 0.0);
    EXPECT_DOUBLE_EQ(normalise_depth(-5.0, 10.0, 0.0, false), 1.0);
    EXPECT_DOUBLE_EQ(normalise_depth(2.5, 10.0, 0.0, true), 0.25);
    // Swapping the bounds mirrors the ramp.
    for (double t = -2.0; t <= 12.0; t += 0.5) {
        EXPECT_NEAR(normalise_depth(t, 10.0, 0.0, false),
                    1.0 - normalise_depth(t, 0.0, 10.0, false), 1e-15)
            << t;
    }
}

TEST(Normalisation, NotANumberAndInfinity) {
    EXPECT_EQ(normalise_depth(kNaN, 0.0, 1.0, false), 0.0);
    EXPECT_EQ(normalise_depth(kNaN, 0.0, 1.0, true), 0.0);
    EXPECT_EQ(normalise_depth(kInf, 0.0, 1.0, false), 1.0);
    EXPECT_EQ(normalise_depth(-kInf, 0.0, 1.0, false), 0.0);
    EXPECT_EQ(normalise_depth(kInf, 1.0, 0.0, false), 0.0);
}

TEST(Levels, LevelOfShapedDepth) {
    EXPECT_EQ(depth_level_of(0.0), 0);
    EXPECT_EQ(depth_level_of(1.0), 255);
    EXPECT_EQ(depth_level_of(254.999 / 255.0), 254);
    EXPECT_EQ(depth_level_of(0.5), 127);
    EXPECT_EQ(depth_level_of(kNaN), 0);
    EXPECT_EQ(depth_level_of(1.5), 255);
}

// ---- reading ----

template <class D>
void setDepth(D& p, double a, double r, double g, double b) {
    alpha_of(p) = store_channel<D>(a * D::max);
    red_of(p) = store_channel<D>(r * D::max);
    green_of(p) = store_channel<D>(g * D::max);
    blue_of(p) = store_channel<D>(b * D::max);
}

template <class D>
class RgbaDepthReading : public ::testing::Test {};
using RgbaDepthTypes = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(RgbaDepthReading, RgbaDepthTypes);

// Every "take depth from:" choice reads its channel divided by the maximum; "luminance" is
// the red channel alone.
TYPED_TEST(RgbaDepthReading, ChannelChoices) {
    using D = TypeParam;
    PaddedImage<D> image(3, 2);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 3; ++x)
            setDepth(image.at(x, y), 0.2, 0.4 + 0.1 * x, 0.6, 0.8 - 0.1 * y);
    const std::vector<float> c = curveTable(1.0);
    const double step = D::is_float ? 1e-7 : 1.0 / D::max;
    auto reader = [&](int32_t choice) {
        return DepthReader<D>(image.array(), 0, 0, DepthRule{choice, 0.0, 1.0, false}, c.data());
    };
    EXPECT_NEAR(reader(1).raw(2, 1), 0.6, step);
    EXPECT_NEAR(reader(2).raw(2, 1), 0.2, step);
    EXPECT_NEAR(reader(3).raw(2, 1), 0.6, step);
    EXPECT_NEAR(reader(4).raw(2, 1), 0.6, step);
    EXPECT_NEAR(reader(5).raw(2, 1), 0.7, step);
    EXPECT_NEAR(reader(99).raw(2, 1), 0.7, step);
    EXPECT_NEAR(reader(0).raw(2, 1), 0.7, step);
    // The raw value is the stored channel times exactly 1/Max.
    EXPECT_DOUBLE_EQ(reader(1).raw(1, 0), read_channel(red_of(image.at(1, 0))) * inverse_max_v<D>);
}

// The depth image is aligned by the origins, read at the nearest pixel, 0 outside.
TYPED_TEST(RgbaDepthReading, OriginAlignmentAndOutside) {
    using D = TypeParam;
    PaddedImage<D> image(5, 3);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 5; ++x) setDepth(image.at(x, y), 1.0, (x + 5 * y + 1) / 16.0, 0, 0);
    PixelArray<D> depth = image.array();
    depth.origin_x = 10;
    depth.origin_y = -2;
    const std::vector<float> c = curveTable(1.0);
    // Reference (source) origin (7, 1): reference pixel (x, y) reads depth (x - 3, y + 3).
    const DepthReader<D> reader(depth, 7, 1, DepthRule{}, c.data());
    for (int32_t y = -5; y < 5; ++y) {
        for (int32_t x = -2; x < 12; ++x) {
            const int32_t dx = x - 3;
            const int32_t dy = y + 3;
            const double expected =
                depth.contains(dx, dy) ? read_channel(red_of(image.at(dx, dy))) / D::max : 0.0;
            EXPECT_DOUBLE_EQ(reader.raw(x, y), expected) << x << "," << y;
        }
    }
    EXPECT_TRUE(image.spareBytesUntouched());
}

TEST(DepthReading, OneChannelImages) {
    PaddedImage<PixelGrayFloat> f(4, 3);
    PaddedImage<PixelGrayDouble> d(4, 3);
    for (int32_t y = 0; y < 3; ++y) {
        for (int32_t x = 0; x < 4; ++x) {
            gray_of(f.at(x, y)) = float(100.0 * x - 7.25 * y);
            gray_of(d.at(x, y)) = 1e-3 * x + 1e9 * y;
        }
    }
    const std::vector<float> c = curveTable(1.0);
    auto fr = [&](int32_t choice) {
        return DepthReader<PixelGrayFloat>(f.array(), 0, 0, DepthRule{choice, 0, 1, false},
                                           c.data());
    };
    auto dr = [&](int32_t choice) {
        return DepthReader<PixelGrayDouble>(d.array(), 0, 0, DepthRule{choice, 0, 1, false},
                                            c.data());
    };
    EXPECT_DOUBLE_EQ(fr(1).raw(3, 2), double(float(300.0 - 14.5)));
    EXPECT_DOUBLE_EQ(fr(3).raw(3, 2), double(float(300.0 - 14.5)));
    EXPECT_DOUBLE_EQ(fr(2).raw(3, 2), 1.0);
    EXPECT_DOUBLE_EQ(fr(4).raw(3, 2), 0.0);
    EXPECT_DOUBLE_EQ(fr(5).raw(3, 2), 0.0);
    EXPECT_DOUBLE_EQ(dr(1).raw(1, 2), 1e-3 + 2e9);
    EXPECT_DOUBLE_EQ(dr(2).raw(1, 2), 1.0);
    // Outside the image every choice reads 0, the constant of "alpha" included.
    EXPECT_DOUBLE_EQ(fr(2).raw(4, 0), 0.0);
    EXPECT_DOUBLE_EQ(dr(1).raw(-1, 0), 0.0);
}

// The level of every pixel against the steps written out: normalise, invert, clamp, table,
// truncate.
TEST(DepthReading, LevelsAgainstDirectComputation) {
    PaddedImage<PixelGrayDouble> d(7, 5);
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 7; ++x) gray_of(d.at(x, y)) = -30.0 + 11.3 * x + 5.1 * y;
    gray_of(d.at(3, 3)) = kNaN;
    gray_of(d.at(4, 3)) = kInf;
    for (const double curve : {1.0, 0.4, 2.5}) {
        const std::vector<float> c = curveTable(curve);
        for (const bool invert : {false, true}) {
            for (const auto& [black, white] : {std::pair{-10.0, 60.0}, std::pair{60.0, -10.0}}) {
                const DepthReader<PixelGrayDouble> reader(
                    d.array(), 0, 0, DepthRule{1, black, white, invert}, c.data());
                for (int32_t y = 0; y < 5; ++y) {
                    for (int32_t x = 0; x < 7; ++x) {
                        const double t = gray_of(d.at(x, y));
                        double o;
                        if (std::isnan(t)) {
                            o = 0.0;
                        } else {
                            const double lo = std::min(black, white);
                            const double hi = std::max(black, white);
                            const double up = std::clamp((t - lo) / (hi - lo), 0.0, 1.0);
                            o = black <= white ? up : 1.0 - up;
                            if (invert) o = 1.0 - o;
                        }
                        const double shaped =
                            float(std::pow(double(int32_t(o * 32767.0)) / 32767.0, curve));
                        EXPECT_NEAR(reader.shaped(x, y), shaped, 1e-6) << x << "," << y;
                        EXPECT_EQ(reader.level(x, y), depth_level_of(reader.shaped(x, y)));
                        EXPECT_GE(reader.level(x, y), 0);
                        EXPECT_LE(reader.level(x, y), 255);
                    }
                }
            }
        }
    }
}

TEST(DepthReading, NoDepthImageReadsZero) {
    const std::vector<float> c = curveTable(1.0);
    const DepthReader<PixelRGBA16> plain(PixelArray<PixelRGBA16>(), 0, 0, DepthRule{}, c.data());
    EXPECT_EQ(plain.raw(0, 0), 0.0);
    EXPECT_EQ(plain.level(5, 5), 0);
    const DepthReader<PixelRGBA16> inverted(PixelArray<PixelRGBA16>(), 0, 0,
                                            DepthRule{1, 0.0, 1.0, true}, c.data());
    EXPECT_EQ(inverted.level(5, 5), 255);
    // Curve 0 puts every pixel at level 255.
    const std::vector<float> flat = curveTable(0.0);
    const DepthReader<PixelRGBA16> curve0(PixelArray<PixelRGBA16>(), 0, 0, DepthRule{},
                                          flat.data());
    EXPECT_EQ(curve0.level(1, 1), 255);
}

// ---- level radii ----

TEST(LevelRadii, AgainstTheFormula) {
    ZblurSettings s;
    s.radius = 40.0;
    s.focal = 100.0;
    s.aspect = 0.25;
    s.scale_x = 2.0;
    s.scale_y = 4.0;
    const LevelRadii radii = level_radii(s, 1.5);
    for (int32_t level = 0; level < 256; ++level) {
        const double w = std::abs(level - 100.0) * 40.0 / 255.0 + 1.0;
        const double rx = w * 1.25 / 2.0;
        const double ry = w * 0.75 / 4.0;
        const LevelRadius& r = radii[size_t(level)];
        EXPECT_NEAR(r.rx, rx, 1e-12);
        EXPECT_NEAR(r.ry, ry, 1e-12);
        EXPECT_NEAR(r.ex, rx / 1.5, 1e-12);
        EXPECT_NEAR(r.q, ry / (rx / 1.5), 1e-12);
    }
    // The focal level has the smallest kernel, radius 1 before aspect and scale.
    s.aspect = 0.0;
    s.scale_x = s.scale_y = 1.0;
    const LevelRadius at_focus = level_radius(100, s, 1.0);
    EXPECT_DOUBLE_EQ(at_focus.rx, 1.0);
    EXPECT_DOUBLE_EQ(at_focus.ry, 1.0);
    EXPECT_DOUBLE_EQ(at_focus.q, 1.0);
    // Radius 0 keeps every level at 1.
    s.radius = 0.0;
    for (const LevelRadius& r : level_radii(s, 1.0)) EXPECT_DOUBLE_EQ(r.ex, 1.0);
}

TEST(LevelRadii, UnusableAspectAndScaleCountAsOne) {
    ZblurSettings s;
    s.radius = 10.0;
    s.focal = 0.0;
    s.scale_x = 0.0;
    s.scale_y = -1.0;
    for (const double aspect : {0.0, -2.0, kNaN}) {
        const LevelRadius r = level_radius(255, s, aspect);
        EXPECT_DOUBLE_EQ(r.ex, 11.0) << aspect;
        EXPECT_DOUBLE_EQ(r.ry, 11.0) << aspect;
    }
    // A horizontal radius of 0 (aspect -1) hands the vertical radius as the ratio.
    s.aspect = -1.0;
    s.scale_x = s.scale_y = 1.0;
    const LevelRadius r = level_radius(0, s, 1.0);
    EXPECT_DOUBLE_EQ(r.ex, 0.0);
    EXPECT_DOUBLE_EQ(r.q, r.ry);
    EXPECT_DOUBLE_EQ(r.ry, 2.0);
}

}  // namespace
