#include "imaging/hsl_selection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

// The selection settings as both effects set them up by default: every hue and saturation,
// lightness from 200/255 up, hard edges.
SelectionSettings default_settings() {
    SelectionSettings s;
    s.enabled = true;
    s.hue_start = 0.0;
    s.hue_end = 1.0;
    s.hue_climax = 1.0;
    s.saturation_start = 0.0;
    s.saturation_end = 1.0;
    s.saturation_climax = 1.0;
    s.lightness_start = 200.0 / 255.0;
    s.lightness_end = 1.0;
    s.lightness_climax = 1.0;
    return s;
}

// Textbook HSL to RGB (hue in turns), used to build colours of known hue, saturation and
// lightness.
double hue_to_rgb(double p, double q, double t) {
    if (t < 0.0) t += 1.0;
    if (t > 1.0) t -= 1.0;
    if (t < 1.0 / 6.0) return p + (q - p) * 6.0 * t;
    if (t < 0.5) return q;
    if (t < 2.0 / 3.0) return p + (q - p) * (2.0 / 3.0 - t) * 6.0;
    return p;
}

void hsl_to_rgb(double h, double s, double l, double& r, double& g, double& b) {
    if (s == 0.0) {
        r = g = b = l;
        return;
    }
    const double q = l < 0.5 ? l * (1.0 + s) : l + s - l * s;
    const double p = 2.0 * l - q;
    r = hue_to_rgb(p, q, h + 1.0 / 3.0);
    g = hue_to_rgb(p, q, h);
    b = hue_to_rgb(p, q, h - 1.0 / 3.0);
}

TEST(RgbToHsl, GrayHasNoHueOrSaturation) {
    for (double v : {0.0, 0.25, 0.5, 1.0}) {
        const HslValue hsl = rgb_to_hsl(v, v, v);
        EXPECT_EQ(hsl.h, 0.0);
        EXPECT_EQ(hsl.s, 0.0);
        EXPECT_EQ(hsl.l, v);
    }
}

TEST(RgbToHsl, PrimariesAndSecondaries) {
    EXPECT_EQ(rgb_to_hsl(1, 0, 0).h, 0.0);
    EXPECT_EQ(rgb_to_hsl(1, 1, 0).h, 1.0);
    EXPECT_EQ(rgb_to_hsl(0, 1, 0).h, 2.0);
    EXPECT_EQ(rgb_to_hsl(0, 1, 1).h, 3.0);
    EXPECT_EQ(rgb_to_hsl(0, 0, 1).h, 4.0);
    EXPECT_EQ(rgb_to_hsl(1, 0, 1).h, 5.0);
    EXPECT_EQ(rgb_to_hsl(1, 0, 0).s, 1.0);
    EXPECT_EQ(rgb_to_hsl(1, 0, 0).l, 0.5);
}

TEST(RgbToHsl, RecoversRandomTextbookColours) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 20000; ++i) {
        const double h = unit(rng), s = 0.02 + 0.98 * unit(rng), l = 0.02 + 0.96 * unit(rng);
        double r, g, b;
        hsl_to_rgb(h, s, l, r, g, b);
        const HslValue hsl = rgb_to_hsl(r, g, b);
        double hue = hsl.h / 6.0;
        if (hue - h > 0.5) hue -= 1.0;
        if (h - hue > 0.5) hue += 1.0;
        ASSERT_NEAR(hue, h, 1e-9) << r << " " << g << " " << b;
        ASSERT_NEAR(hsl.s, s, 1e-9) << r << " " << g << " " << b;
        ASSERT_NEAR(hsl.l, l, 1e-12) << r << " " << g << " " << b;
        ASSERT_GE(hsl.h, 0.0);
        ASSERT_LT(hsl.h, 6.0);
    }
}

TEST(RgbToHsl, SaturationIsChromaOverTheLightnessLimit) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 20000; ++i) {
        const double r = unit(rng), g = unit(rng), b = unit(rng);
        const HslValue hsl = rgb_to_hsl(r, g, b);
        const double mx = std::fmax(r, std::fmax(g, b)), mn = std::fmin(r, std::fmin(g, b));
        ASSERT_NEAR(hsl.l, (mx + mn) / 2.0, 1e-15);
        // The largest chroma a lightness allows is 1 - |2L - 1|.
        ASSERT_NEAR(hsl.s, (mx - mn) / (1.0 - std::fabs(mx + mn - 1.0)), 1e-12)
            << r << " " << g << " " << b;
    }
}

TEST(SelectionPreparation, OrdersAndNormalisesTheRange) {
    const PreparedRange a = prepare_range(240.0 / 255.0, 20.0 / 255.0, 0.0, 0.0, 0.0);
    const PreparedRange b = prepare_range(20.0 / 255.0, 240.0 / 255.0, 0.0, 0.0, 0.0);
    EXPECT_EQ(a.low, b.low);
    EXPECT_EQ(a.high, b.high);
    EXPECT_DOUBLE_EQ(a.low, 20.0 / 255.0);
    EXPECT_DOUBLE_EQ(a.inverse_width, 255.0 / 220.0);

    // Whole turns of offset change nothing; a negative offset moves low back into 0 .. 1.
    const PreparedRange shifted = prepare_range(0.2, 0.4, 0.0, 0.0, -1.5);
    EXPECT_NEAR(shifted.low, 0.7, 1e-12);
    EXPECT_NEAR(shifted.high, 0.9, 1e-12);
    const PreparedRange whole = prepare_range(0.2, 0.4, 0.0, 0.0, -2.0);
    EXPECT_NEAR(whole.low, 0.2, 1e-12);
    // A negative whole number takes one turn more off: low ends up at 1, high beyond it.
    const PreparedRange at_turn = prepare_range(0.0, 0.25, 0.0, 0.0, -1.0);
    EXPECT_EQ(at_turn.low, 1.0);
    EXPECT_EQ(at_turn.high, 1.25);

    const PreparedRange full = prepare_range(0.0, 1.0, 1.0, 0.0, 0.0);
    EXPECT_EQ(full.low, 0.0);
    EXPECT_EQ(full.high, 1.00001);
    const PreparedRange empty = prepare_range(0.5, 0.5, 0.0, 0.0, 0.0);
    EXPECT_EQ(empty.inverse_width, 1.0);

    EXPECT_EQ(prepare_range(0, 0.5, -1.0, 0, 0).peak, 0.0);
    EXPECT_EQ(prepare_range(0, 0.5, 0.0, 0, 0).peak, 0.5);
    EXPECT_EQ(prepare_range(0, 0.5, 1.0, 3.0, 0).peak, 1.0);
    EXPECT_EQ(prepare_range(0, 0.5, 1.0, 3.0, 0).soften, 3.0);
}

TEST(SelectionWeight, DefaultsSelectByLightnessAlone) {
    const PreparedSelection selection = prepare_selection(default_settings());
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double threshold = 200.0 / 255.0;
    int selected = 0;
    for (int i = 0; i < 50000; ++i) {
        double r = unit(rng), g = unit(rng), b = unit(rng);
        if (i % 3 == 0) {
            r = 0.6 + 0.4 * r;
            g = 0.6 + 0.4 * g;
            b = 0.6 + 0.4 * b;
        }
        const double l = (std::fmax(r, std::fmax(g, b)) + std::fmin(r, std::fmin(g, b))) / 2.0;
        if (std::fabs(l - threshold) < 1e-9) continue;
        const double w = selection_weight(selection, r, g, b);
        ASSERT_EQ(w, l >= threshold ? 1.0 : 0.0) << r << " " << g << " " << b;
        selected += w == 1.0;
    }
    EXPECT_GT(selected, 1000);
    EXPECT_EQ(selection_weight(selection, 1.0, 1.0, 1.0), 1.0);
    EXPECT_EQ(selection_weight(selection, 1.0, 0.0, 0.0), 0.0);
}

TEST(SelectionWeight, DisabledSelectsNothing) {
    SelectionSettings s = default_settings();
    s.enabled = false;
    EXPECT_EQ(selection_weight(prepare_selection(s), 1.0, 1.0, 1.0), 0.0);
}

TEST(SelectionWeight, HueRangeWrapsAroundTheCircle) {
    // 0.8 .. 1.0 moved by a tenth of a turn covers 0.9 .. 1.1.
    SelectionSettings s = default_settings();
    s.hue_start = 0.8;
    s.hue_end = 1.0;
    s.hue_offset = 0.1;
    s.lightness_start = 0.0;
    const PreparedSelection selection = prepare_selection(s);
    EXPECT_NEAR(selection.hue.low, 0.9, 1e-12);
    EXPECT_NEAR(selection.hue.high, 1.1, 1e-12);
    double r, g, b;
    hsl_to_rgb(0.05, 1.0, 0.5, r, g, b);
    EXPECT_EQ(selection_weight(selection, r, g, b), 1.0);
    hsl_to_rgb(0.5, 1.0, 0.5, r, g, b);
    EXPECT_EQ(selection_weight(selection, r, g, b), 0.0);
    hsl_to_rgb(0.95, 1.0, 0.5, r, g, b);
    EXPECT_EQ(selection_weight(selection, r, g, b), 1.0);
    hsl_to_rgb(0.85, 1.0, 0.5, r, g, b);
    EXPECT_EQ(selection_weight(selection, r, g, b), 0.0);
}

TEST(SelectionWeight, UpperLimitIsInsideOnlyWhenTestedDirectly) {
    const PreparedRange direct{0.25, 0.5, 4.0, 1.0, 0.0};
    double x = 0.5;
    EXPECT_TRUE(range_contains(direct, x));
    EXPECT_EQ(x, 0.5);
    x = 0.5000001;
    EXPECT_FALSE(range_contains(direct, x));

    const PreparedRange wrapping{0.9, 1.1, 5.0, 1.0, 0.0};
    x = 0.1;  // tested as 1.1, which equals high
    EXPECT_FALSE(range_contains(wrapping, x));
    x = 0.0999;
    EXPECT_TRUE(range_contains(wrapping, x));
    EXPECT_DOUBLE_EQ(x, 1.0999);
}

TEST(SelectionWeight, ComponentsBelowZeroStayOutsideAndNeverGiveNaN) {
    // Float pixels with negative channels give saturation or lightness below 0; one turn up
    // they still lie below the range, so they are outside, not at a negative ramp position.
    const PreparedRange wrapping{0.5, 1.2, 1.0 / 0.7, 0.4, 0.25};
    double x = -7.0;
    EXPECT_FALSE(range_contains(wrapping, x));
    x = -0.9;  // 0.1 one turn up, still below the range
    EXPECT_FALSE(range_contains(wrapping, x));
    x = 0.1;  // 1.1 one turn up: inside the wrapped part of the range
    EXPECT_TRUE(range_contains(wrapping, x));

    SelectionSettings s = default_settings();
    s.lightness_start = 0.3;
    s.lightness_end = 0.9;
    s.lightness_soften = 0.25;
    s.saturation_start = 0.1;
    s.saturation_end = 1.0;
    s.saturation_climax = -0.2;
    s.saturation_soften = 0.25;
    const PreparedSelection selection = prepare_selection(s);
    for (double r : {-3.0, -0.5, 0.0, 0.4, 1.0, 5.0})
        for (double g : {-2.0, 0.0, 0.7, 3.0})
            for (double b : {-1.0, 0.2, 1.0, 9.0}) {
                const double w = selection_weight(selection, r, g, b);
                EXPECT_TRUE(w >= 0.0 && w <= 1.0) << r << "," << g << "," << b << ": " << w;
            }
}

TEST(SelectionWeight, SoftenShapesTheRamp) {
    // Lightness range 0.2 .. 0.8 over gray pixels, so that hue and saturation always pass.
    SelectionSettings s = default_settings();
    s.lightness_start = 0.2;
    s.lightness_end = 0.8;
    s.lightness_soften = 2.0;
    for (double climax : {1.0, -1.0, 0.0, 0.5}) {
        s.lightness_climax = climax;
        const PreparedSelection selection = prepare_selection(s);
        const double peak = (climax + 1.0) / 2.0;
        for (int i = 1; i < 60; ++i) {
            const double l = 0.2 + 0.01 * i;
            const double t = (l - 0.2) / 0.6;
            const double ramp =
                t < peak ? t / peak : (peak == 1.0 ? 1.0 : (1.0 - t) / (1.0 - peak));
            EXPECT_NEAR(selection_weight(selection, l, l, l), ramp * ramp, 1e-12)
                << "climax " << climax << " lightness " << l;
        }
        EXPECT_EQ(selection_weight(selection, 0.1, 0.1, 0.1), 0.0);
        EXPECT_EQ(selection_weight(selection, 0.9, 0.9, 0.9), 0.0);
    }
    // The three components multiply.
    s.lightness_climax = 1.0;
    s.hue_soften = 1.0;
    s.hue_climax = 1.0;
    s.hue_start = 0.0;
    s.hue_end = 0.5;
    double r, g, b;
    hsl_to_rgb(0.25, 1.0, 0.5, r, g, b);
    const double t_hue = 0.25 / 0.5, t_light = (0.5 - 0.2) / 0.6;
    EXPECT_NEAR(selection_weight(prepare_selection(s), r, g, b), t_hue * t_light * t_light, 1e-9);
}

TEST(SelectionWeight, NaNSelectsNothing) {
    SelectionSettings s = default_settings();
    s.lightness_start = 0.0;
    const PreparedSelection selection = prepare_selection(s);
    EXPECT_EQ(selection_weight(selection, std::nan(""), 0.5, 0.5), 0.0);
    EXPECT_EQ(selection_weight(selection, std::nan(""), std::nan(""), std::nan("")), 0.0);
}

TEST(SelectionWeight, StoredPixelsAreDividedByTheirMaximum) {
    const PreparedSelection selection = prepare_selection(default_settings());
    EXPECT_EQ(selection_weight(selection, PixelRGBA8{{255, 255, 255, 255}}), 1.0);
    EXPECT_EQ(selection_weight(selection, PixelRGBA8{{255, 199, 199, 199}}), 0.0);
    EXPECT_EQ(selection_weight(selection, PixelRGBA8{{255, 201, 201, 201}}), 1.0);
    EXPECT_EQ(selection_weight(selection, PixelRGBA16{{32768, 32768, 32768, 32768}}), 1.0);
    EXPECT_EQ(selection_weight(selection, PixelRGBA16{{32768, 20000, 20000, 20000}}), 0.0);
    EXPECT_EQ(selection_weight(selection, PixelRGBAFloat{{1.0f, 0.9f, 0.9f, 0.9f}}), 1.0);
}

}  // namespace
