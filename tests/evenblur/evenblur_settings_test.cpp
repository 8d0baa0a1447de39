#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "evenblur/evenblur_ae_host.h"
#include "evenblur/evenblur_settings.h"
#include "tests/evenblur/evenblur_test_project.h"

// The frame's settings as read from the controls: every conversion against values worked out
// by hand, the checkout order, and that every checkout is given back.

namespace {

using Host = EvenblurAEHost;

constexpr double kPi = 3.14159265358979323846;

PF_Fixed fixedDegrees(double degrees) { return PF_Fixed(std::lround(degrees * 65536.0)); }

class EvenblurSettingsRead : public ::testing::Test {
protected:
    PF_Err read(EvenblurSettings* settings) {
        EvenblurAEHost effect;
        project.attach(effect);
        ParameterCheckouts checkouts(&project.host.in_data);
        return effect.checkoutSettings(checkouts, settings);
    }

    EvenblurTestProject project;
};

void expectSameSelection(const SelectionSettings& a, const SelectionSettings& b) {
    EXPECT_EQ(a.show_selection, b.show_selection);
    EXPECT_EQ(a.enabled, b.enabled);
    EXPECT_EQ(a.hue_start, b.hue_start);
    EXPECT_EQ(a.hue_end, b.hue_end);
    EXPECT_EQ(a.hue_climax, b.hue_climax);
    EXPECT_EQ(a.hue_soften, b.hue_soften);
    EXPECT_EQ(a.saturation_start, b.saturation_start);
    EXPECT_EQ(a.saturation_end, b.saturation_end);
    EXPECT_EQ(a.saturation_climax, b.saturation_climax);
    EXPECT_EQ(a.saturation_soften, b.saturation_soften);
    EXPECT_EQ(a.lightness_start, b.lightness_start);
    EXPECT_EQ(a.lightness_end, b.lightness_end);
    EXPECT_EQ(a.lightness_climax, b.lightness_climax);
    EXPECT_EQ(a.lightness_soften, b.lightness_soften);
    EXPECT_EQ(a.hue_offset, b.hue_offset);
    EXPECT_EQ(a.saturation_offset, b.saturation_offset);
    EXPECT_EQ(a.lightness_offset, b.lightness_offset);
}

TEST_F(EvenblurSettingsRead, ANewInstanceReadsAsTheDefaultRecord) {
    EvenblurSettings s;
    s.radius = 123.0;
    ASSERT_EQ(read(&s), PF_Err_NONE);
    const EvenblurSettings d;
    EXPECT_EQ(s.show, 1);
    EXPECT_EQ(s.radius, 0.0);
    EXPECT_TRUE(s.gamma);
    EXPECT_EQ(s.distortion, 10.0);
    EXPECT_EQ(s.distortion_antialias, 0);
    EXPECT_EQ(s.assume_h, 1);
    EXPECT_EQ(s.assume_v, 1);
    EXPECT_EQ(s.outside_color[0], 0.0f);
    EXPECT_EQ(s.outside_color[1], 0.0f);
    EXPECT_EQ(s.outside_color[2], 0.0f);
    EXPECT_FLOAT_EQ(s.outside_alpha, 1.0f);
    EXPECT_FALSE(s.colored_iris);
    EXPECT_EQ(s.smooth, 0.0);
    EXPECT_EQ(s.rounded, 1.0);
    EXPECT_EQ(s.border_thickness, double(0.3f));
    EXPECT_EQ(s.border_brightness, 0.0);
    EXPECT_EQ(s.angle, 0.0);
    EXPECT_EQ(s.aspect, 0.0);
    EXPECT_EQ(s.facets, 3);
    EXPECT_EQ(s.preservative, 1.0);
    EXPECT_EQ(s.additive, 0.0);
    EXPECT_FALSE(s.selectionOnly());
    EXPECT_FALSE(s.selectionEnable());
    EXPECT_DOUBLE_EQ(s.selection.lightness_start, 200.0 / 255.0);
    EXPECT_DOUBLE_EQ(s.selection.lightness_end, 1.0);
    EXPECT_DOUBLE_EQ(s.selection.hue_end, 1.0);
    EXPECT_EQ(s.selection.hue_start, 0.0);
    EXPECT_EQ(s.selection.lightness_climax, 1.0);
    EXPECT_EQ(s.scale_x, 1.0);
    EXPECT_EQ(s.scale_y, 1.0);

    // The default-constructed record is the same new instance.
    EXPECT_EQ(d.show, s.show);
    EXPECT_EQ(d.radius, s.radius);
    EXPECT_EQ(d.gamma, s.gamma);
    EXPECT_EQ(d.distortion, s.distortion);
    EXPECT_EQ(d.outside_alpha, s.outside_alpha);
    EXPECT_EQ(d.rounded, s.rounded);
    EXPECT_EQ(d.border_thickness, s.border_thickness);
    EXPECT_EQ(d.facets, s.facets);
    EXPECT_EQ(d.preservative, s.preservative);
    EXPECT_EQ(d.additive, s.additive);
    expectSameSelection(d.selection, s.selection);
}

TEST_F(EvenblurSettingsRead, EveryControlReachesItsField) {
    project.param(Host::kShow).u.pd.value = 3;
    project.param(Host::kRadius).u.fs_d.value = 17.25;
    project.param(Host::kPreservativeHighlight).u.fs_d.value = 2.5;
    project.param(Host::kAdditiveHighlight).u.fs_d.value = 0.75;
    project.param(Host::kGammaCorrection).u.bd.value = 0;
    project.param(Host::kBackgroundDistortion).u.fs_d.value = -42.5;
    project.param(Host::kDistortionAntialias).u.sd.value = 7;
    project.param(Host::kColoredIris).u.bd.value = 1;
    project.param(Host::kSmooth).u.fs_d.value = 3.5;
    project.param(Host::kFacets).u.sd.value = 7;
    project.param(Host::kAngle).u.ad.value = fixedDegrees(90.0);
    project.param(Host::kRoundedFacets).u.fs_d.value = 0.25;
    project.param(Host::kBorderBrightness).u.fs_d.value = -0.5;
    project.param(Host::kBorderThickness).u.fs_d.value = 0.125;
    project.param(Host::kAspect).u.fs_d.value = 0.5;
    project.param(Host::kSelectionEnable).u.bd.value = 1;
    project.param(Host::kLightnessStart).u.fs_d.value = 51.0;
    project.param(Host::kLightnessEnd).u.fs_d.value = 102.0;
    project.param(Host::kLightnessClimax).u.fs_d.value = -0.5;
    project.param(Host::kLightnessSoften).u.fs_d.value = 2.0;
    project.param(Host::kLightnessOffset).u.ad.value = fixedDegrees(-90.0);
    project.param(Host::kHueStart).u.fs_d.value = 25.5;
    project.param(Host::kHueEnd).u.fs_d.value = 510.0;
    project.param(Host::kHueClimax).u.fs_d.value = 0.0;
    project.param(Host::kHueSoften).u.fs_d.value = 1.5;
    project.param(Host::kHueOffset).u.ad.value = fixedDegrees(180.0);
    project.param(Host::kSaturationStart).u.fs_d.value = -255.0;
    project.param(Host::kSaturationEnd).u.fs_d.value = 127.5;
    project.param(Host::kSaturationClimax).u.fs_d.value = 0.25;
    project.param(Host::kSaturationSoften).u.fs_d.value = 4.0;
    project.param(Host::kSaturationOffset).u.ad.value = fixedDegrees(36.0);
    project.param(Host::kHorizontalAssume).u.pd.value = 2;
    project.param(Host::kVerticalAssume).u.pd.value = 4;
    project.param(Host::kOutsideColor).u.cd.value = PF_Pixel{10, 255, 51, 0};
    project.param(Host::kOutsideColorAlpha).u.fs_d.value = 127.5;
    project.host.in_data.downsample_x = {1, 2};
    project.host.in_data.downsample_y = {2, 3};

    EvenblurSettings s;
    ASSERT_EQ(read(&s), PF_Err_NONE);
    EXPECT_EQ(s.show, 3);
    EXPECT_EQ(s.radius, 17.25);
    EXPECT_EQ(s.preservative, 2.5);
    EXPECT_EQ(s.additive, 0.75);
    EXPECT_FALSE(s.gamma);
    EXPECT_EQ(s.distortion, -42.5);
    EXPECT_EQ(s.distortion_antialias, 7);
    EXPECT_TRUE(s.colored_iris);
    EXPECT_EQ(s.smooth, 3.5);
    EXPECT_EQ(s.facets, 7);
    // 90 degrees counter-clockwise on the control is a quarter turn the other way.
    EXPECT_NEAR(s.angle, -kPi / 2.0, 1e-12);
    EXPECT_EQ(s.rounded, 0.25);
    EXPECT_EQ(s.border_brightness, -0.5);
    EXPECT_EQ(s.border_thickness, 0.125);
    EXPECT_EQ(s.aspect, 0.5);

    EXPECT_FALSE(s.selectionOnly());  // "show" 3 shows the weighted image
    EXPECT_TRUE(s.selectionEnable());
    const SelectionSettings& sel = s.selection;
    EXPECT_NEAR(sel.lightness_start, 0.2, 1e-15);
    EXPECT_NEAR(sel.lightness_end, 0.4, 1e-15);
    EXPECT_EQ(sel.lightness_climax, -0.5);
    EXPECT_EQ(sel.lightness_soften, 2.0);
    EXPECT_NEAR(sel.lightness_offset, -0.25, 1e-9);
    EXPECT_NEAR(sel.hue_start, 0.1, 1e-15);
    EXPECT_NEAR(sel.hue_end, 2.0, 1e-15);
    EXPECT_EQ(sel.hue_climax, 0.0);
    EXPECT_EQ(sel.hue_soften, 1.5);
    EXPECT_NEAR(sel.hue_offset, 0.5, 1e-9);
    EXPECT_NEAR(sel.saturation_start, -1.0, 1e-15);
    EXPECT_NEAR(sel.saturation_end, 0.5, 1e-15);
    EXPECT_EQ(sel.saturation_climax, 0.25);
    EXPECT_EQ(sel.saturation_soften, 4.0);
    EXPECT_NEAR(sel.saturation_offset, 0.1, 1e-9);

    EXPECT_EQ(s.assume_h, 2);
    EXPECT_EQ(s.assume_v, 4);
    EXPECT_NEAR(s.outside_color[0], 1.0f, 1e-6f);
    EXPECT_NEAR(s.outside_color[1], 0.2f, 1e-6f);
    EXPECT_EQ(s.outside_color[2], 0.0f);
    EXPECT_NEAR(s.outside_alpha, 0.5f, 1e-7f);
    // Half resolution: two full-resolution pixels per rendered pixel; 2/3 gives 1.5.
    EXPECT_EQ(s.scale_x, 2.0);
    EXPECT_EQ(s.scale_y, 1.5);
}

TEST_F(EvenblurSettingsRead, SelectionOnlyFollowsShowFour) {
    for (int32_t show = 1; show <= 4; ++show) {
        project.param(Host::kShow).u.pd.value = show;
        EvenblurSettings s;
        ASSERT_EQ(read(&s), PF_Err_NONE);
        EXPECT_EQ(s.show, show);
        EXPECT_EQ(s.selectionOnly(), show == 4) << show;
    }
}

TEST(EvenblurSettingsConversions, ExactConstants) {
    // Colour channels are scaled in single precision, the alpha in double.
    EXPECT_EQ(EvenblurSettings::colorChannel(255), 255.0f * 0.003921569f);
    EXPECT_EQ(EvenblurSettings::colorChannel(0), 0.0f);
    EXPECT_EQ(EvenblurSettings::colorAlpha(255.0), float(255.0 * 0.00392156862745098));
    // A whole turn of the control.
    EXPECT_NEAR(EvenblurSettings::irisAngle(360 * 65536), -2.0 * kPi, 1e-12);
    EXPECT_NEAR(EvenblurSettings::fixedDegreesToTurns(-720 * 65536), -2.0, 1e-12);
    // One 16.16 step.
    EXPECT_NEAR(EvenblurSettings::fixedDegreesToTurns(1), 1.0 / (65536.0 * 360.0), 1e-22);
    EXPECT_NEAR(EvenblurSettings::selectionLimit(255.0), 1.0, 1e-15);
    EXPECT_EQ(EvenblurSettings::downsampleScale(1, 1), 1.0);
    EXPECT_EQ(EvenblurSettings::downsampleScale(1, 4), 4.0);
    // No division by zero from a malformed factor.
    EXPECT_EQ(EvenblurSettings::downsampleScale(0, 1), 1.0);
    EXPECT_EQ(EvenblurSettings::downsampleScale(1, 0), 1.0);
    EXPECT_EQ(EvenblurSettings::downsampleScale(-1, 2), 1.0);
}

TEST_F(EvenblurSettingsRead, ValuesOutsideTheirControlsRangeAreBroughtIn) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    project.param(Host::kShow).u.pd.value = 9;
    project.param(Host::kRadius).u.fs_d.value = nan;
    project.param(Host::kSmooth).u.fs_d.value = -5.0;
    project.param(Host::kBackgroundDistortion).u.fs_d.value = 1e9;
    project.param(Host::kBorderThickness).u.fs_d.value = nan;
    project.param(Host::kFacets).u.sd.value = 1;
    project.param(Host::kDistortionAntialias).u.sd.value = 99;
    project.param(Host::kHorizontalAssume).u.pd.value = 0;
    project.param(Host::kHueSoften).u.fs_d.value = std::numeric_limits<double>::infinity();
    EvenblurSettings s;
    ASSERT_EQ(read(&s), PF_Err_NONE);
    EXPECT_EQ(s.show, 4);
    EXPECT_EQ(s.radius, 0.0);
    EXPECT_EQ(s.smooth, 0.0);
    EXPECT_EQ(s.distortion, 9999.0);
    EXPECT_EQ(s.border_thickness, double(0.3f));
    EXPECT_EQ(s.facets, 3);
    EXPECT_EQ(s.distortion_antialias, 10);
    EXPECT_EQ(s.assume_h, 1);
    EXPECT_EQ(s.selection.hue_soften, 999999.0);
}

TEST_F(EvenblurSettingsRead, CheckoutOrderAndReverseCheckin) {
    {
        EvenblurAEHost effect;
        project.attach(effect);
        ParameterCheckouts checkouts(&project.host.in_data);
        EvenblurSettings s;
        ASSERT_EQ(effect.checkoutSettings(checkouts, &s), PF_Err_NONE);
        const std::vector<int32_t> order = {1,  2,  5,  46, 47, 48, 49, 7,  8,  11, 12, 15,
                                            17, 16, 14, 18, 13, 3,  4,  21, 31, 32, 33, 34,
                                            38, 39, 40, 41, 24, 25, 26, 27, 35, 42, 28, 5};
        EXPECT_EQ(project.checkout_positions, order);
        // Only the extra "gamma correction" checkout is back before the render is over.
        EXPECT_EQ(project.checkin_ids, (std::vector<int32_t>{5}));
    }
    // Ids: positions below 23 are their own id, later ones one more.
    const std::vector<int32_t> reverse_ids = {29, 43, 36, 28, 27, 26, 25, 42, 41, 40, 39, 35,
                                              34, 33, 32, 21, 4,  3,  13, 18, 14, 16, 17, 15,
                                              12, 11, 8,  7,  50, 49, 48, 47, 5,  2,  1};
    ASSERT_EQ(project.checkin_ids.size(), 36u);
    EXPECT_EQ(std::vector<int32_t>(project.checkin_ids.begin() + 1, project.checkin_ids.end()),
              reverse_ids);
    EXPECT_EQ(project.host.checkouts.load(), project.host.checkins.load());
}

TEST_F(EvenblurSettingsRead, AFailingCheckoutGivesEverythingBack) {
    for (const int32_t failing : {1, 49, 13, 28}) {
        project.failing_checkout = failing;
        project.checkin_ids.clear();
        const int32_t before_out = project.host.checkouts.load();
        const int32_t before_in = project.host.checkins.load();
        EvenblurSettings s;
        EXPECT_EQ(read(&s), PF_Err_INVALID_INDEX) << failing;
        EXPECT_EQ(project.host.checkouts.load() - before_out,
                  project.host.checkins.load() - before_in)
            << failing;
    }
}

}  // namespace
