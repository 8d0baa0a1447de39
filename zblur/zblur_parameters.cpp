#include "zblur/zblur_parameters.h"

#include <array>
#include <cmath>
#include <cstring>

#include "zblur/zblur_settings.h"

namespace {

constexpr PF_ParamFlags S = PF_ParamFlag_SUPERVISE;
constexpr PF_ParamFlags C = PF_ParamFlag_START_COLLAPSED;
constexpr PF_ParamFlags T = PF_ParamFlag_CANNOT_TIME_VARY;

constexpr double kFixedOne = 65536.0;

constexpr ZblurParameterSpec floatSlider(int32_t position, A_long id, const char* name,
                                         PF_ParamFlags flags, double valid_min, double valid_max,
                                         double slider_min, double slider_max, double dephault) {
    return {.position = position,
            .id = id,
            .kind = PF_Param_FLOAT_SLIDER,
            .name = name,
            .flags = flags,
            .valid_min = valid_min,
            .valid_max = valid_max,
            .slider_min = slider_min,
            .slider_max = slider_max,
            .dephault = dephault};
}

constexpr ZblurParameterSpec popup(int32_t position, A_long id, const char* name,
                                   PF_ParamFlags flags, const char* choices, int32_t count,
                                   int32_t dephault) {
    return {.position = position,
            .id = id,
            .kind = PF_Param_POPUP,
            .name = name,
            .flags = flags,
            .dephault = double(dephault),
            .choices = choices,
            .choice_count = count};
}

constexpr ZblurParameterSpec checkbox(int32_t position, A_long id, const char* name,
                                      PF_ParamFlags flags, bool dephault, const char* label) {
    return {.position = position,
            .id = id,
            .kind = PF_Param_CHECKBOX,
            .name = name,
            .flags = flags,
            .dephault = dephault ? 1.0 : 0.0,
            .label = label};
}

constexpr ZblurParameterSpec plain(int32_t position, A_long id, PF_ParamType kind, const char* name,
                                   PF_ParamFlags flags) {
    return {.position = position, .id = id, .kind = kind, .name = name, .flags = flags};
}

constexpr ZblurParameterSpec layer(int32_t position, A_long id, const char* name) {
    return plain(position, id, PF_Param_LAYER, name, S);
}

constexpr ZblurParameterSpec groupStart(int32_t position, A_long id, const char* name) {
    return plain(position, id, PF_Param_GROUP_START, name, S | C);
}

constexpr ZblurParameterSpec groupEnd(int32_t position, A_long id, PF_ParamFlags flags) {
    return plain(position, id, PF_Param_GROUP_END, "", flags);
}

constexpr ZblurParameterSpec angle(int32_t position, A_long id, const char* name) {
    return plain(position, id, PF_Param_ANGLE, name, S | C);
}

constexpr std::array<ZblurParameterSpec, 55> kTable = {{
    popup(kZblurShowParam, 1, "show", S, kZblurShowChoices, 7, 1),
    layer(kZblurDepthLayer, 2, "depth layer"),
    floatSlider(kZblurRadius, 3, "radius", S, 0, 999, 0, 50, 0),
    floatSlider(kZblurFocalPoint, 4, "focal point", C, -999, 999, -100, 355, 255),
    plain(kZblurSelectDepth, 56, PF_Param_POINT, "select depth", S | T),
    floatSlider(kZblurHighlightIntensity, 5, "highlight intensity", S | C, 0, 9999, 0, 5, 1),
    checkbox(kZblurGammaCorrection, 7, "gamma correction", S, true, ""),
    groupStart(kZblurDepthGroup, 8, "-> Depth Buffer..."),
    checkbox(kZblurInvert, 9, "invert", S, false, ""),
    floatSlider(kZblurCurve, 10, "curve", S | C, 0, 9999999, 0, 3, 1),
    popup(kZblurTakeDepthFrom, 11, "take depth from:", S, kZblurDepthChoices, 5, 1),
    floatSlider(kZblurBlackPoint, 48, "black point", S | C, -1000000, 1000000, -10000, 10000,
                -10000),
    floatSlider(kZblurWhitePoint, 49, "white point", S | C, -1000000, 1000000, -10000, 10000,
                10000),
    checkbox(kZblurAutoRange, 57, "auto range", S | T, false, "auto"),
    groupEnd(kZblurDepthGroupEnd, 12, S),
    groupStart(kZblurIrisGroup, 13, "-> Iris.."),
    layer(kZblurAlternativeIris, 58, "alternative iris (beta)"),
    {.position = kZblurFacets,
     .id = 14,
     .kind = PF_Param_SLIDER,
     .name = "facets",
     .flags = S | C,
     .valid_min = 3,
     .valid_max = 999,
     .slider_min = 3,
     .slider_max = 10,
     .dephault = 3},
    angle(kZblurAngle, 15, "angle"),
    floatSlider(kZblurRoundedFacets, 16, "rounded facets", S | C, 0, 1, 0, 1, 1),
    floatSlider(kZblurBorderBrightness, 17, "relative border brightness ", S | C, -1, 1, -1, 1, 0),
    floatSlider(kZblurBorderThickness, 18, "border thickness", S | C, 0, 1, 0, 1, double(0.3f)),
    floatSlider(kZblurAspect, 19, "x-y aspect", S | C, -0.75, 0.75, -0.75, 0.75, 0),
    groupEnd(kZblurIrisGroupEnd, 20, 0),
    groupStart(kZblurHighlightGroup, 21, "-> Highlight Selection..."),
    checkbox(kZblurHighlightEnable, 22, "enable", S, false, ""),
    layer(kZblurSelectionLayer, 24, "alternative Selection layer"),
    groupStart(kZblurLightnessGroup, 26, "-> Lightness..."),
    floatSlider(kZblurLightnessStart, 27, "lightness start", S, -999999, 999999, 0, 255, 200),
    floatSlider(kZblurLightnessEnd, 28, "lightness end", S, -999999, 999999, 0, 255, 255),
    floatSlider(kZblurLightnessClimax, 29, "lightness climax", S | C, -1, 1, -1, 1, 1),
    floatSlider(kZblurLightnessSoften, 30, "lightness soften", S | C, 0, 999999, 0, 3, 0),
    angle(kZblurLightnessOffset, 31, "lightness offset"),
    groupEnd(kZblurLightnessGroupEnd, 32, 0),
    groupStart(kZblurHueGroup, 33, "-> Hue..."),
    floatSlider(kZblurHueStart, 34, "hue start", S, -999999, 999999, 0, 255, 0),
    floatSlider(kZblurHueEnd, 35, "hue end", S, -999999, 999999, 0, 255, 255),
    floatSlider(kZblurHueClimax, 36, "hue climax", S | C, -1, 1, -1, 1, 1),
    floatSlider(kZblurHueSoften, 37, "hue soften", S | C, 0, 999999, 0, 3, 0),
    angle(kZblurHueOffset, 38, "hue offset"),
    groupEnd(kZblurHueGroupEnd, 39, 0),
    groupStart(kZblurSaturationGroup, 40, "-> Saturation..."),
    floatSlider(kZblurSaturationStart, 41, "saturation start", S, -999999, 999999, 0, 255, 0),
    floatSlider(kZblurSaturationEnd, 42, "saturation end", S, -999999, 999999, 0, 255, 255),
    floatSlider(kZblurSaturationClimax, 43, "saturation climax", S | C, -1, 1, -1, 1, 1),
    floatSlider(kZblurSaturationSoften, 44, "saturation soften", S | C, 0, 999999, 0, 3, 0),
    angle(kZblurSaturationOffset, 45, "saturation offset"),
    groupEnd(kZblurSaturationGroupEnd, 46, 0),
    groupEnd(kZblurHighlightGroupEnd, 47, 0),
    groupStart(kZblurOutsideGroup, 50, "-> Outside Image..."),
    popup(kZblurHorizontalAssume, 51, "horizontal assume", S, kZblurAssumeChoices, 4, 1),
    popup(kZblurVerticalAssume, 52, "vertical assume", S, kZblurAssumeChoices, 4, 1),
    {.position = kZblurOutsideColor,
     .id = 53,
     .kind = PF_Param_COLOR,
     .name = "outside color",
     .flags = S,
     .color = PF_Pixel{255, 0, 0, 0}},
    floatSlider(kZblurOutsideAlpha, 54, "outside color alpha", S | C, 0, 255, 0, 255, 255),
    groupEnd(kZblurOutsideGroupEnd, 55, 0),
}};

constexpr bool positionsInOrder() {
    for (size_t i = 0; i < kTable.size(); ++i) {
        if (kTable[i].position != int32_t(i) + 1) return false;
    }
    return true;
}
static_assert(positionsInOrder(), "the table lists positions 1 .. 55 in order");

PF_Fixed toFixed(double value) { return PF_Fixed(std::lround(value * kFixedOne)); }

}  // namespace

std::span<const ZblurParameterSpec> zblurParameterTable() { return kTable; }

PF_ParamDef zblurParameterDef(const ZblurParameterSpec& spec) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    def.uu.id = spec.id;
    def.param_type = spec.kind;
    std::strncpy(def.name, spec.name, sizeof def.name - 1);
    def.flags = spec.flags;
    switch (spec.kind) {
        case PF_Param_FLOAT_SLIDER:
            def.u.fs_d.value = PF_FpShort(spec.dephault);
            def.u.fs_d.valid_min = PF_FpShort(spec.valid_min);
            def.u.fs_d.valid_max = PF_FpShort(spec.valid_max);
            def.u.fs_d.slider_min = PF_FpShort(spec.slider_min);
            def.u.fs_d.slider_max = PF_FpShort(spec.slider_max);
            def.u.fs_d.dephault = PF_FpShort(spec.dephault);
            def.u.fs_d.precision = 3;
            def.u.fs_d.display_flags = 0;
            def.u.fs_d.curve_tolerance = 0.05f;
            break;
        case PF_Param_SLIDER:
            def.u.sd.value = PF_ParamValue(spec.dephault);
            def.u.sd.valid_min = PF_ParamValue(spec.valid_min);
            def.u.sd.valid_max = PF_ParamValue(spec.valid_max);
            def.u.sd.slider_min = PF_ParamValue(spec.slider_min);
            def.u.sd.slider_max = PF_ParamValue(spec.slider_max);
            def.u.sd.dephault = PF_ParamValue(spec.dephault);
            break;
        case PF_Param_POPUP:
            def.u.pd.value = PF_ParamValue(spec.dephault);
            def.u.pd.num_choices = A_short(spec.choice_count);
            def.u.pd.dephault = A_short(spec.dephault);
            def.u.pd.u.namesptr = spec.choices;
            break;
        case PF_Param_CHECKBOX:
            def.u.bd.value = spec.dephault != 0.0 ? 1 : 0;
            def.u.bd.dephault = spec.dephault != 0.0 ? 1 : 0;
            def.u.bd.u.nameptr = spec.label != nullptr ? spec.label : "";
            break;
        case PF_Param_ANGLE:
            def.u.ad.value = toFixed(spec.dephault);
            def.u.ad.dephault = toFixed(spec.dephault);
            break;
        case PF_Param_POINT:
            def.u.td.x_value = toFixed(spec.dephault);
            def.u.td.y_value = toFixed(spec.dephault_y);
            def.u.td.x_dephault = toFixed(spec.dephault);
            def.u.td.y_dephault = toFixed(spec.dephault_y);
            break;
        case PF_Param_COLOR:
            def.u.cd.value = spec.color;
            def.u.cd.dephault = spec.color;
            break;
        default:
            // Layers (no default layer), group starts and ends carry no values.
            break;
    }
    return def;
}

namespace {

// Angles are 16.16 fixed degrees; times this they are turns.
constexpr double kFixedDegreesToTurns = 4.238552517361111e-8;  // 1 / (65536 * 360)
constexpr double kTwoPi = 6.283185307179586;

}  // namespace

ZblurSettings zblurSettingsFromParameters(std::span<const PF_ParamDef* const> by_position,
                                          double downsample_x, double downsample_y) {
    auto slider = [&](int32_t position) { return double(by_position[position]->u.fs_d.value); };
    auto choice = [&](int32_t position) { return int32_t(by_position[position]->u.pd.value); };
    auto checked = [&](int32_t position) { return by_position[position]->u.bd.value != 0; };
    auto turns = [&](int32_t position) {
        return double(by_position[position]->u.ad.value) * kFixedDegreesToTurns;
    };

    ZblurSettings s;
    s.show = choice(kZblurShowParam);
    s.gamma = checked(kZblurGammaCorrection);
    s.radius = slider(kZblurRadius);
    s.rounded = slider(kZblurRoundedFacets);
    s.border_thickness = slider(kZblurBorderThickness);
    s.border_brightness = slider(kZblurBorderBrightness);
    // The iris turns the other way from the control.
    s.angle = -turns(kZblurAngle) * kTwoPi;
    s.aspect = slider(kZblurAspect);
    s.facets = int32_t(by_position[kZblurFacets]->u.sd.value);
    s.invert = checked(kZblurInvert);
    s.curve = slider(kZblurCurve);
    s.depth_channel = choice(kZblurTakeDepthFrom);
    s.focal = slider(kZblurFocalPoint);
    s.black = 0.0;
    s.white = 1.0;
    s.highlight = slider(kZblurHighlightIntensity);

    SelectionSettings& sel = s.selection;
    sel.show_selection = s.show == kZblurShowHighlightSelectionOnly;
    sel.enabled = checked(kZblurHighlightEnable);
    sel.hue_start = slider(kZblurHueStart) / 255.0;
    sel.hue_end = slider(kZblurHueEnd) / 255.0;
    sel.hue_climax = slider(kZblurHueClimax);
    sel.hue_soften = slider(kZblurHueSoften);
    sel.saturation_start = slider(kZblurSaturationStart) / 255.0;
    sel.saturation_end = slider(kZblurSaturationEnd) / 255.0;
    sel.saturation_climax = slider(kZblurSaturationClimax);
    sel.saturation_soften = slider(kZblurSaturationSoften);
    sel.lightness_start = slider(kZblurLightnessStart) / 255.0;
    sel.lightness_end = slider(kZblurLightnessEnd) / 255.0;
    sel.lightness_climax = slider(kZblurLightnessClimax);
    sel.lightness_soften = slider(kZblurLightnessSoften);
    sel.hue_offset = turns(kZblurHueOffset);
    sel.saturation_offset = turns(kZblurSaturationOffset);
    sel.lightness_offset = turns(kZblurLightnessOffset);

    s.assume_h = choice(kZblurHorizontalAssume);
    s.assume_v = choice(kZblurVerticalAssume);
    const PF_Pixel colour = by_position[kZblurOutsideColor]->u.cd.value;
    s.outside_red = float(double(colour.red) / 255.0);
    s.outside_green = float(double(colour.green) / 255.0);
    s.outside_blue = float(double(colour.blue) / 255.0);
    s.outside_alpha = float(slider(kZblurOutsideAlpha) / 255.0);
    s.scale_x = downsample_x > 0.0 ? 1.0 / downsample_x : 1.0;
    s.scale_y = downsample_y > 0.0 ? 1.0 / downsample_y : 1.0;
    s.reserved = 0;
    return s;
}
