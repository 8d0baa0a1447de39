#include "zblur/zblur_parameters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/ae_test_host.h"
#include "zblur/zblur_ae_host.h"
#include "zblur/zblur_settings.h"

namespace {

constexpr PF_ParamFlags S = PF_ParamFlag_SUPERVISE;
constexpr PF_ParamFlags C = PF_ParamFlag_START_COLLAPSED;
constexpr PF_ParamFlags T = PF_ParamFlag_CANNOT_TIME_VARY;

enum Kind { kPopup, kLayer, kFloat, kPoint, kCheck, kGroup, kGroupEnd, kInt, kAngle, kColor };

struct Expected {
    int32_t position;
    A_long id;
    Kind kind;
    const char* name;
    double valid_min, valid_max, slider_min, slider_max, dephault;
    PF_ParamFlags flags;
};

// The parameter table of the effect, written out by hand from its description.
const std::vector<Expected>& expectedTable() {
    static const std::vector<Expected> table = {
        {1, 1, kPopup, "show", 0, 0, 0, 0, 1, S},
        {2, 2, kLayer, "depth layer", 0, 0, 0, 0, 0, S},
        {3, 3, kFloat, "radius", 0, 999, 0, 50, 0, S},
        {4, 4, kFloat, "focal point", -999, 999, -100, 355, 255, C},
        {5, 56, kPoint, "select depth", 0, 0, 0, 0, 0, S | T},
        {6, 5, kFloat, "highlight intensity", 0, 9999, 0, 5, 1, S | C},
        {7, 7, kCheck, "gamma correction", 0, 0, 0, 0, 1, S},
        {8, 8, kGroup, "-> Depth Buffer...", 0, 0, 0, 0, 0, S | C},
        {9, 9, kCheck, "invert", 0, 0, 0, 0, 0, S},
        {10, 10, kFloat, "curve", 0, 9999999, 0, 3, 1, S | C},
        {11, 11, kPopup, "take depth from:", 0, 0, 0, 0, 1, S},
        {12, 48, kFloat, "black point", -1000000, 1000000, -10000, 10000, -10000, S | C},
        {13, 49, kFloat, "white point", -1000000, 1000000, -10000, 10000, 10000, S | C},
        {14, 57, kCheck, "auto range", 0, 0, 0, 0, 0, S | T},
        {15, 12, kGroupEnd, "", 0, 0, 0, 0, 0, S},
        {16, 13, kGroup, "-> Iris..", 0, 0, 0, 0, 0, S | C},
        {17, 58, kLayer, "alternative iris (beta)", 0, 0, 0, 0, 0, S},
        {18, 14, kInt, "facets", 3, 999, 3, 10, 3, S | C},
        {19, 15, kAngle, "angle", 0, 0, 0, 0, 0, S | C},
        {20, 16, kFloat, "rounded facets", 0, 1, 0, 1, 1, S | C},
        {21, 17, kFloat, "relative border brightness ", -1, 1, -1, 1, 0, S | C},
        {22, 18, kFloat, "border thickness", 0, 1, 0, 1, double(0.3f), S | C},
        {23, 19, kFloat, "x-y aspect", -0.75, 0.75, -0.75, 0.75, 0, S | C},
        {24, 20, kGroupEnd, "", 0, 0, 0, 0, 0, 0},
        {25, 21, kGroup, "-> Highlight Selection...", 0, 0, 0, 0, 0, S | C},
        {26, 22, kCheck, "enable", 0, 0, 0, 0, 0, S},
        {27, 24, kLayer, "alternative Selection layer", 0, 0, 0, 0, 0, S},
        {28, 26, kGroup, "-> Lightness...", 0, 0, 0, 0, 0, S | C},
        {29, 27, kFloat, "lightness start", -999999, 999999, 0, 255, 200, S},
        {30, 28, kFloat, "lightness end", -999999, 999999, 0, 255, 255, S},
        {31, 29, kFloat, "lightness climax", -1, 1, -1, 1, 1, S | C},
        {32, 30, kFloat, "lightness soften", 0, 999999, 0, 3, 0, S | C},
        {33, 31, kAngle, "lightness offset", 0, 0, 0, 0, 0, S | C},
        {34, 32, kGroupEnd, "", 0, 0, 0, 0, 0, 0},
        {35, 33, kGroup, "-> Hue...", 0, 0, 0, 0, 0, S | C},
        {36, 34, kFloat, "hue start", -999999, 999999, 0, 255, 0, S},
        {37, 35, kFloat, "hue end", -999999, 999999, 0, 255, 255, S},
        {38, 36, kFloat, "hue climax", -1, 1, -1, 1, 1, S | C},
        {39, 37, kFloat, "hue soften", 0, 999999, 0, 3, 0, S | C},
        {40, 38, kAngle, "hue offset", 0, 0, 0, 0, 0, S | C},
        {41, 39, kGroupEnd, "", 0, 0, 0, 0, 0, 0},
        {42, 40, kGroup, "-> Saturation...", 0, 0, 0, 0, 0, S | C},
        {43, 41, kFloat, "saturation start", -999999, 999999, 0, 255, 0, S},
        {44, 42, kFloat, "saturation end", -999999, 999999, 0, 255, 255, S},
        {45, 43, kFloat, "saturation climax", -1, 1, -1, 1, 1, S | C},
        {46, 44, kFloat, "saturation soften", 0, 999999, 0, 3, 0, S | C},
        {47, 45, kAngle, "saturation offset", 0, 0, 0, 0, 0, S | C},
        {48, 46, kGroupEnd, "", 0, 0, 0, 0, 0, 0},
        {49, 47, kGroupEnd, "", 0, 0, 0, 0, 0, 0},
        {50, 50, kGroup, "-> Outside Image...", 0, 0, 0, 0, 0, S | C},
        {51, 51, kPopup, "horizontal assume", 0, 0, 0, 0, 1, S},
        {52, 52, kPopup, "vertical assume", 0, 0, 0, 0, 1, S},
        {53, 53, kColor, "outside color", 0, 0, 0, 0, 0, S},
        {54, 54, kFloat, "outside color alpha", 0, 255, 0, 255, 255, S | C},
        {55, 55, kGroupEnd, "", 0, 0, 0, 0, 0, 0},
        {56, 59, kLayer, "behind layer", 0, 0, 0, 0, 0, S},
        {57, 60, kLayer, "behind depth layer", 0, 0, 0, 0, 0, S},
    };
    return table;
}

PF_ParamType hostKind(Kind kind) {
    switch (kind) {
        case kPopup:
            return PF_Param_POPUP;
        case kLayer:
            return PF_Param_LAYER;
        case kFloat:
            return PF_Param_FLOAT_SLIDER;
        case kPoint:
            return PF_Param_POINT;
        case kCheck:
            return PF_Param_CHECKBOX;
        case kGroup:
            return PF_Param_GROUP_START;
        case kGroupEnd:
            return PF_Param_GROUP_END;
        case kInt:
            return PF_Param_SLIDER;
        case kAngle:
            return PF_Param_ANGLE;
        case kColor:
            return PF_Param_COLOR;
    }
    return PF_Param_RESERVED;
}

std::vector<PF_ParamDef> registerParameters(AETestHost& host) {
    ZblurAEHost effect;
    const PF_Err error = effect.dispatch(PF_Cmd_PARAMS_SETUP, &host.in_data, &host.out_data,
                                         host.paramList(), nullptr, nullptr);
    EXPECT_EQ(error, PF_Err_NONE);
    return host.added;
}

TEST(ZblurParameters, RegisteredAsTabled) {
    AETestHost host;
    const std::vector<PF_ParamDef> added = registerParameters(host);
    EXPECT_EQ(host.out_data.num_params, 58);
    const std::vector<Expected>& table = expectedTable();
    ASSERT_EQ(added.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        const Expected& e = table[i];
        const PF_ParamDef& d = added[i];
        SCOPED_TRACE("position " + std::to_string(e.position) + " \"" + e.name + "\"");
        EXPECT_EQ(e.position, int32_t(i) + 1);
        EXPECT_EQ(d.uu.id, e.id);
        EXPECT_EQ(d.param_type, hostKind(e.kind));
        EXPECT_STREQ(d.name, e.name);
        EXPECT_EQ(d.flags, e.flags);
        EXPECT_EQ(d.ui_flags, 0);
        switch (e.kind) {
            case kFloat:
                EXPECT_EQ(d.u.fs_d.valid_min, float(e.valid_min));
                EXPECT_EQ(d.u.fs_d.valid_max, float(e.valid_max));
                EXPECT_EQ(d.u.fs_d.slider_min, float(e.slider_min));
                EXPECT_EQ(d.u.fs_d.slider_max, float(e.slider_max));
                EXPECT_EQ(d.u.fs_d.dephault, float(e.dephault));
                EXPECT_EQ(d.u.fs_d.value, double(float(e.dephault)));
                EXPECT_EQ(d.u.fs_d.precision, 3);
                EXPECT_EQ(d.u.fs_d.display_flags, 0);
                EXPECT_EQ(d.u.fs_d.curve_tolerance, 0.05f);
                break;
            case kInt:
                EXPECT_EQ(d.u.sd.valid_min, e.valid_min);
                EXPECT_EQ(d.u.sd.valid_max, e.valid_max);
                EXPECT_EQ(d.u.sd.slider_min, e.slider_min);
                EXPECT_EQ(d.u.sd.slider_max, e.slider_max);
                EXPECT_EQ(d.u.sd.dephault, e.dephault);
                EXPECT_EQ(d.u.sd.value, e.dephault);
                EXPECT_STREQ(d.u.sd.value_str, "");
                break;
            case kPopup:
                EXPECT_EQ(d.u.pd.dephault, e.dephault);
                EXPECT_EQ(d.u.pd.value, e.dephault);
                break;
            case kCheck:
                EXPECT_EQ(d.u.bd.dephault, e.dephault);
                EXPECT_EQ(d.u.bd.value, e.dephault);
                ASSERT_NE(d.u.bd.u.nameptr, nullptr);
                EXPECT_STREQ(d.u.bd.u.nameptr, e.position == 14 ? "auto" : "");
                break;
            case kAngle:
                EXPECT_EQ(d.u.ad.dephault, 0);
                EXPECT_EQ(d.u.ad.value, 0);
                break;
            case kPoint:
                EXPECT_EQ(d.u.td.x_dephault, 0);
                EXPECT_EQ(d.u.td.y_dephault, 0);
                break;
            case kColor:
                EXPECT_EQ(d.u.cd.dephault.alpha, 255);
                EXPECT_EQ(d.u.cd.dephault.red, 0);
                EXPECT_EQ(d.u.cd.dephault.green, 0);
                EXPECT_EQ(d.u.cd.dephault.blue, 0);
                EXPECT_EQ(d.u.cd.value.alpha, 255);
                break;
            case kLayer:
            case kGroup:
            case kGroupEnd:
                break;
        }
    }
}

TEST(ZblurParameters, PopupChoices) {
    AETestHost host;
    const std::vector<PF_ParamDef> added = registerParameters(host);
    ASSERT_EQ(added.size(), 57u);
    auto popup = [&](int32_t position) { return added[size_t(position - 1)].u.pd; };
    EXPECT_EQ(popup(1).num_choices, 7);
    EXPECT_STREQ(popup(1).u.namesptr,
                 "normal blur | iris | depth-buffer | highlight, selection | highlight, "
                 "selection only | info density | sharp zone ");
    EXPECT_EQ(popup(11).num_choices, 5);
    EXPECT_STREQ(popup(11).u.namesptr,
                 "luminance | alpha chanel | red chanel | green chanel | blue chanel");
    for (const int32_t position : {51, 52}) {
        EXPECT_EQ(popup(position).num_choices, 4);
        EXPECT_STREQ(popup(position).u.namesptr,
                     "border color|mirrored image|repeated image|color");
    }
}

TEST(ZblurParameters, UnusedIdsAndUniqueness) {
    std::vector<int32_t> seen(61, 0);
    for (const ParameterSpec& spec : zblurParameterTable()) {
        ASSERT_GE(spec.id, 1);
        ASSERT_LT(spec.id, 61);
        ++seen[size_t(spec.id)];
        EXPECT_LT(std::strlen(spec.name), size_t(PF_MAX_EFFECT_PARAM_NAME_LEN)) << spec.name;
    }
    for (int32_t id = 1; id <= 60; ++id) {
        const bool unused = id == 6 || id == 23 || id == 25;
        EXPECT_EQ(seen[size_t(id)], unused ? 0 : 1) << "id " << id;
    }
}

// The first refused parameter ends the registration with the host's error.
TEST(ZblurParameters, FirstFailureEndsRegistration) {
    AETestHost host;
    static int calls = 0;
    calls = 0;
    host.in_data.inter.add_param = [](PF_ProgPtr, PF_ParamIndex index, PF_ParamDefPtr) -> PF_Err {
        EXPECT_EQ(index, -1);
        return ++calls == 4 ? PF_Err_OUT_OF_MEMORY : PF_Err_NONE;
    };
    host.out_data.num_params = 0;
    ZblurAEHost effect;
    EXPECT_EQ(effect.dispatch(PF_Cmd_PARAMS_SETUP, &host.in_data, &host.out_data, host.paramList(),
                              nullptr, nullptr),
              PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(host.out_data.num_params, 0);
}

// Names go in through the host's string copy when it offers one.
TEST(ZblurParameters, NamesThroughTheHostsStringCopy) {
    AETestHost host;
    const std::vector<PF_ParamDef> added = registerParameters(host);
    EXPECT_EQ(host.string_copies.load(), 57);
    EXPECT_STREQ(added[20].name, "relative border brightness ");
    host.utils.ansi.strcpy = nullptr;
    host.added.clear();
    EXPECT_STREQ(registerParameters(host)[16].name, "alternative iris (beta)");
}

// ---- settings from the parameter values ----

struct ParameterValues {
    ParameterValues() {
        records.resize(size_t(kZblurParameterCount));
        for (const ParameterSpec& spec : zblurParameterTable()) {
            records[size_t(spec.position)] = parameterDef(spec);
        }
        for (const PF_ParamDef& r : records) pointers.push_back(&r);
    }
    PF_ParamDef& at(int32_t position) { return records[size_t(position)]; }
    ZblurSettings settings(double dx = 1.0, double dy = 1.0) {
        return zblurSettingsFromParameters(pointers, dx, dy);
    }

    std::vector<PF_ParamDef> records;
    std::vector<const PF_ParamDef*> pointers;
};

TEST(ZblurSettingsFromParameters, Defaults) {
    ParameterValues values;
    const ZblurSettings s = values.settings();
    EXPECT_EQ(s.show, 1);
    EXPECT_TRUE(s.gamma);
    EXPECT_EQ(s.radius, 0.0);
    EXPECT_EQ(s.rounded, 1.0);
    EXPECT_EQ(s.border_thickness, double(0.3f));
    EXPECT_EQ(s.border_brightness, 0.0);
    EXPECT_EQ(s.angle, 0.0);
    EXPECT_EQ(s.facets, 3);
    EXPECT_FALSE(s.invert);
    EXPECT_EQ(s.curve, 1.0);
    EXPECT_EQ(s.depth_channel, 1);
    EXPECT_EQ(s.focal, 255.0);
    EXPECT_EQ(s.black, 0.0);
    EXPECT_EQ(s.white, 1.0);
    EXPECT_EQ(s.highlight, 1.0);
    EXPECT_FALSE(s.selection.enabled);
    EXPECT_FALSE(s.selection.show_selection);
    EXPECT_DOUBLE_EQ(s.selection.lightness_start, 200.0 / 255.0);
    EXPECT_DOUBLE_EQ(s.selection.lightness_end, 1.0);
    EXPECT_EQ(s.selection.hue_start, 0.0);
    EXPECT_EQ(s.assume_h, 1);
    EXPECT_EQ(s.assume_v, 1);
    EXPECT_EQ(s.outside_red, 0.0f);
    EXPECT_EQ(s.outside_alpha, 1.0f);
    EXPECT_EQ(s.scale_x, 1.0);
    EXPECT_EQ(s.scale_y, 1.0);
    EXPECT_EQ(s.reserved, 0);
}

TEST(ZblurSettingsFromParameters, Conversions) {
    ParameterValues values;
    values.at(kZblurShowParam).u.pd.value = 5;
    values.at(kZblurAngle).u.ad.value = PF_Fixed(90 * 65536);
    values.at(kZblurHueOffset).u.ad.value = PF_Fixed(-45 * 65536);
    values.at(kZblurSaturationOffset).u.ad.value = PF_Fixed(720 * 65536);
    values.at(kZblurLightnessOffset).u.ad.value = PF_Fixed(36 * 65536 + 32768);
    values.at(kZblurHueStart).u.fs_d.value = 51.0;
    values.at(kZblurSaturationEnd).u.fs_d.value = 127.5;
    values.at(kZblurLightnessSoften).u.fs_d.value = 2.5;
    values.at(kZblurHighlightEnable).u.bd.value = 1;
    values.at(kZblurOutsideColor).u.cd.value = PF_Pixel{7, 51, 102, 255};
    values.at(kZblurOutsideAlpha).u.fs_d.value = 127.5;
    values.at(kZblurFacets).u.sd.value = 7;
    values.at(kZblurHorizontalAssume).u.pd.value = 4;
    values.at(kZblurVerticalAssume).u.pd.value = 2;
    values.at(kZblurTakeDepthFrom).u.pd.value = 4;
    const ZblurSettings s = values.settings(0.5, 0.25);
    EXPECT_EQ(s.show, 5);
    EXPECT_TRUE(s.selection.show_selection);
    EXPECT_TRUE(s.selection.enabled);
    // The iris turns against the control: 90 degrees is -pi/2.
    EXPECT_NEAR(s.angle, -M_PI / 2.0, 1e-9);
    // Offsets are in turns.
    EXPECT_NEAR(s.selection.hue_offset, -0.125, 1e-12);
    EXPECT_NEAR(s.selection.saturation_offset, 2.0, 1e-12);
    EXPECT_NEAR(s.selection.lightness_offset, 36.5 / 360.0, 1e-12);
    EXPECT_DOUBLE_EQ(s.selection.hue_start, 0.2);
    EXPECT_DOUBLE_EQ(s.selection.saturation_end, 0.5);
    EXPECT_DOUBLE_EQ(s.selection.lightness_soften, 2.5);
    EXPECT_FLOAT_EQ(s.outside_red, 0.2f);
    EXPECT_FLOAT_EQ(s.outside_green, 0.4f);
    EXPECT_FLOAT_EQ(s.outside_blue, 1.0f);
    EXPECT_FLOAT_EQ(s.outside_alpha, 0.5f);
    EXPECT_EQ(s.facets, 7);
    EXPECT_EQ(s.assume_h, 4);
    EXPECT_EQ(s.assume_v, 2);
    EXPECT_EQ(s.depth_channel, 4);
    EXPECT_EQ(s.scale_x, 2.0);
    EXPECT_EQ(s.scale_y, 4.0);
    // The depth range of the parameters is not taken here: only the depth channel uses it.
    values.at(kZblurBlackPoint).u.fs_d.value = -5.0;
    EXPECT_EQ(values.settings().black, 0.0);
    EXPECT_EQ(values.settings(0.0, -1.0).scale_x, 1.0);
}

}  // namespace
