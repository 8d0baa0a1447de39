#include "zblur/zblur_parameters.h"

#include <array>

#include "zblur/zblur_settings.h"

namespace {

constexpr PF_ParamFlags S = PF_ParamFlag_SUPERVISE;
constexpr PF_ParamFlags C = PF_ParamFlag_START_COLLAPSED;
constexpr PF_ParamFlags T = PF_ParamFlag_CANNOT_TIME_VARY;

using namespace parameter_row;

constexpr std::array<ParameterSpec, 57> kTable = {{
    popup(kZblurShowParam, 1, "show", S, kZblurShowChoices, 7, 1),
    layer(kZblurDepthLayer, 2, "depth layer", S),
    floatSlider(kZblurRadius, 3, "radius", S, 0, 999, 0, 50, 0),
    floatSlider(kZblurFocalPoint, 4, "focal point", C, -999, 999, -100, 355, 255),
    point(kZblurSelectDepth, 56, "select depth", S | T),
    floatSlider(kZblurHighlightIntensity, 5, "highlight intensity", S | C, 0, 9999, 0, 5, 1),
    checkbox(kZblurGammaCorrection, 7, "gamma correction", S, true),
    groupStart(kZblurDepthGroup, 8, "-> Depth Buffer...", S | C),
    checkbox(kZblurInvert, 9, "invert", S, false),
    floatSlider(kZblurCurve, 10, "curve", S | C, 0, 9999999, 0, 3, 1),
    popup(kZblurTakeDepthFrom, 11, "take depth from:", S, kZblurDepthChoices, 5, 1),
    floatSlider(kZblurBlackPoint, 48, "black point", S | C, -1000000, 1000000, -10000, 10000,
                -10000),
    floatSlider(kZblurWhitePoint, 49, "white point", S | C, -1000000, 1000000, -10000, 10000,
                10000),
    checkbox(kZblurAutoRange, 57, "auto range", S | T, false, "auto"),
    groupEnd(kZblurDepthGroupEnd, 12, S),
    groupStart(kZblurIrisGroup, 13, "-> Iris..", S | C),
    layer(kZblurAlternativeIris, 58, "alternative iris (beta)", S),
    integerSlider(kZblurFacets, 14, "facets", S | C, 3, 999, 3, 10, 3),
    angle(kZblurAngle, 15, "angle", S | C),
    floatSlider(kZblurRoundedFacets, 16, "rounded facets", S | C, 0, 1, 0, 1, 1),
    floatSlider(kZblurBorderBrightness, 17, "relative border brightness ", S | C, -1, 1, -1, 1, 0),
    floatSlider(kZblurBorderThickness, 18, "border thickness", S | C, 0, 1, 0, 1, double(0.3f)),
    floatSlider(kZblurAspect, 19, "x-y aspect", S | C, -0.75, 0.75, -0.75, 0.75, 0),
    groupEnd(kZblurIrisGroupEnd, 20),
    groupStart(kZblurHighlightGroup, 21, "-> Highlight Selection...", S | C),
    checkbox(kZblurHighlightEnable, 22, "enable", S, false),
    layer(kZblurSelectionLayer, 24, "alternative Selection layer", S),
    groupStart(kZblurLightnessGroup, 26, "-> Lightness...", S | C),
    floatSlider(kZblurLightnessStart, 27, "lightness start", S, -999999, 999999, 0, 255, 200),
    floatSlider(kZblurLightnessEnd, 28, "lightness end", S, -999999, 999999, 0, 255, 255),
    floatSlider(kZblurLightnessClimax, 29, "lightness climax", S | C, -1, 1, -1, 1, 1),
    floatSlider(kZblurLightnessSoften, 30, "lightness soften", S | C, 0, 999999, 0, 3, 0),
    angle(kZblurLightnessOffset, 31, "lightness offset", S | C),
    groupEnd(kZblurLightnessGroupEnd, 32),
    groupStart(kZblurHueGroup, 33, "-> Hue...", S | C),
    floatSlider(kZblurHueStart, 34, "hue start", S, -999999, 999999, 0, 255, 0),
    floatSlider(kZblurHueEnd, 35, "hue end", S, -999999, 999999, 0, 255, 255),
    floatSlider(kZblurHueClimax, 36, "hue climax", S | C, -1, 1, -1, 1, 1),
    floatSlider(kZblurHueSoften, 37, "hue soften", S | C, 0, 999999, 0, 3, 0),
    angle(kZblurHueOffset, 38, "hue offset", S | C),
    groupEnd(kZblurHueGroupEnd, 39),
    groupStart(kZblurSaturationGroup, 40, "-> Saturation...", S | C),
    floatSlider(kZblurSaturationStart, 41, "saturation start", S, -999999, 999999, 0, 255, 0),
    floatSlider(kZblurSaturationEnd, 42, "saturation end", S, -999999, 999999, 0, 255, 255),
    floatSlider(kZblurSaturationClimax, 43, "saturation climax", S | C, -1, 1, -1, 1, 1),
    floatSlider(kZblurSaturationSoften, 44, "saturation soften", S | C, 0, 999999, 0, 3, 0),
    angle(kZblurSaturationOffset, 45, "saturation offset", S | C),
    groupEnd(kZblurSaturationGroupEnd, 46),
    groupEnd(kZblurHighlightGroupEnd, 47),
    groupStart(kZblurOutsideGroup, 50, "-> Outside Image...", S | C),
    popup(kZblurHorizontalAssume, 51, "horizontal assume", S, kZblurAssumeChoices, 4, 1),
    popup(kZblurVerticalAssume, 52, "vertical assume", S, kZblurAssumeChoices, 4, 1),
    // Opaque black.
    color(kZblurOutsideColor, 53, "outside color", S, PF_Pixel{255, 0, 0, 0}),
    floatSlider(kZblurOutsideAlpha, 54, "outside color alpha", S | C, 0, 255, 0, 255, 255),
    groupEnd(kZblurOutsideGroupEnd, 55),
    layer(kZblurBehindLayer, 59, "behind layer", S),
    layer(kZblurBehindDepthLayer, 60, "behind depth layer", S),
}};

static_assert(positionsInOrder(kTable), "the table lists positions 1 .. 57 in order");

// Angles are 16.16 fixed degrees; times this they are turns.
constexpr double kFixedDegreesToTurns = 4.238552517361111e-8;  // 1 / (65536 * 360)
constexpr double kTwoPi = 6.283185307179586;

}  // namespace

std::span<const ParameterSpec> zblurParameterTable() { return kTable; }

ZblurSettings zblurSettingsFromParameters(std::span<const PF_ParamDef* const> by_position,
                                          double downsample_x, double downsample_y) {
    const ParameterReader values(by_position, kTable);
    const auto turns = [&](int32_t position) {
        return double(values.angle(position)) * kFixedDegreesToTurns;
    };

    ZblurSettings s;
    s.show = values.choice(kZblurShowParam);
    s.gamma = values.checked(kZblurGammaCorrection);
    s.radius = values.slider(kZblurRadius);
    s.rounded = values.slider(kZblurRoundedFacets);
    s.border_thickness = values.slider(kZblurBorderThickness);
    s.border_brightness = values.slider(kZblurBorderBrightness);
    // The iris turns the other way from the control.
    s.angle = -turns(kZblurAngle) * kTwoPi;
    s.aspect = values.slider(kZblurAspect);
    s.facets = values.integer(kZblurFacets);
    s.invert = values.checked(kZblurInvert);
    s.curve = values.slider(kZblurCurve);
    s.depth_channel = values.choice(kZblurTakeDepthFrom);
    s.focal = values.slider(kZblurFocalPoint);
    s.black = 0.0;
    s.white = 1.0;
    s.highlight = values.slider(kZblurHighlightIntensity);

    SelectionSettings& sel = s.selection;
    sel.show_selection = s.show == kZblurShowHighlightSelectionOnly;
    sel.enabled = values.checked(kZblurHighlightEnable);
    sel.hue_start = values.slider(kZblurHueStart) / 255.0;
    sel.hue_end = values.slider(kZblurHueEnd) / 255.0;
    sel.hue_climax = values.slider(kZblurHueClimax);
    sel.hue_soften = values.slider(kZblurHueSoften);
    sel.saturation_start = values.slider(kZblurSaturationStart) / 255.0;
    sel.saturation_end = values.slider(kZblurSaturationEnd) / 255.0;
    sel.saturation_climax = values.slider(kZblurSaturationClimax);
    sel.saturation_soften = values.slider(kZblurSaturationSoften);
    sel.lightness_start = values.slider(kZblurLightnessStart) / 255.0;
    sel.lightness_end = values.slider(kZblurLightnessEnd) / 255.0;
    sel.lightness_climax = values.slider(kZblurLightnessClimax);
    sel.lightness_soften = values.slider(kZblurLightnessSoften);
    sel.hue_offset = turns(kZblurHueOffset);
    sel.saturation_offset = turns(kZblurSaturationOffset);
    sel.lightness_offset = turns(kZblurLightnessOffset);

    s.assume_h = values.choice(kZblurHorizontalAssume);
    s.assume_v = values.choice(kZblurVerticalAssume);
    const PF_Pixel colour = values.color(kZblurOutsideColor);
    s.outside_red = float(double(colour.red) / 255.0);
    s.outside_green = float(double(colour.green) / 255.0);
    s.outside_blue = float(double(colour.blue) / 255.0);
    s.outside_alpha = float(values.slider(kZblurOutsideAlpha) / 255.0);
    s.scale_x = downsample_x > 0.0 ? 1.0 / downsample_x : 1.0;
    s.scale_y = downsample_y > 0.0 ? 1.0 / downsample_y : 1.0;
    s.reserved = 0;
    return s;
}
