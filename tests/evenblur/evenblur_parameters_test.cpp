#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "evenblur/evenblur_ae_host.h"
#include "tests/evenblur/evenblur_test_project.h"

// The registered parameters against the effect's published control table: stable ids, names,
// kinds, ranges, defaults, flags and popup strings. Projects refer to the ids, so any change here
// breaks saved work.

namespace {

constexpr PF_ParamFlags S = PF_ParamFlag_SUPERVISE;
constexpr PF_ParamFlags C = PF_ParamFlag_COLLAPSE_TWIRLY;

enum Type { POPUP, FLOAT, INT, CHECK, LAYER, ANGLE, COLOR, GROUP, END };

struct Row {
    int32_t position;
    int32_t id;
    const char* name;
    Type type;
    double valid_min, valid_max, slider_min, slider_max, dephault;
    PF_ParamFlags flags;
};

const Row kTable[] = {
    {1, 1, "show", POPUP, 0, 0, 0, 0, 1, S},
    {2, 2, "radius", FLOAT, 0, 999, 0, 50, 0, 0},
    {3, 3, "preservative highlight", FLOAT, 0, 9999, 0, 5, 1, C},
    {4, 4, "additive highlight", FLOAT, 0, 9999, 0, 5, 0, C},
    {5, 5, "gamma correction", CHECK, 0, 0, 0, 0, 1, 0},
    {6, 6, "background layer", LAYER, 0, 0, 0, 0, 0, 0},
    {7, 7, "background distortion", FLOAT, -9999, 9999, -100, 100, 10, C},
    {8, 8, "distortion antialias", INT, 0, 10, 0, 3, 0, C},
    {9, 9, "-> Iris..", GROUP, 0, 0, 0, 0, 0, C},
    {10, 10, "alternative iris", LAYER, 0, 0, 0, 0, 0, 0},
    {11, 11, "colored iris", CHECK, 0, 0, 0, 0, 0, 0},
    {12, 12, "smooth", FLOAT, 0, 999, 0, 50, 0, C},
    {13, 13, "facets", INT, 3, 999, 3, 10, 3, C},
    {14, 14, "angle", ANGLE, 0, 0, 0, 0, 0, C},
    {15, 15, "rounded facets", FLOAT, 0, 1, 0, 1, 1, C},
    {16, 16, "relative border brightness ", FLOAT, -1, 1, -1, 1, 0, C},
    {17, 17, "border thickness", FLOAT, 0, 1, 0, 1, 0.3, C},
    {18, 18, "x-y aspect", FLOAT, -0.75, 0.75, -0.75, 0.75, 0, C},
    {19, 19, "", END, 0, 0, 0, 0, 0, 0},
    {20, 20, "-> Highlight Selection...", GROUP, 0, 0, 0, 0, 0, C},
    {21, 21, "enable", CHECK, 0, 0, 0, 0, 0, S},
    {22, 22, "alternative Selection layer", LAYER, 0, 0, 0, 0, 0, 0},
    {23, 24, "-> Lightness...", GROUP, 0, 0, 0, 0, 0, C},
    {24, 25, "lightness start", FLOAT, -999999, 999999, 0, 255, 200, 0},
    {25, 26, "lightness end", FLOAT, -999999, 999999, 0, 255, 255, 0},
    {26, 27, "lightness climax", FLOAT, -1, 1, -1, 1, 1, C},
    {27, 28, "lightness soften", FLOAT, 0, 999999, 0, 3, 0, C},
    {28, 29, "lightness offset", ANGLE, 0, 0, 0, 0, 0, C},
    {29, 30, "", END, 0, 0, 0, 0, 0, 0},
    {30, 31, "-> Hue...", GROUP, 0, 0, 0, 0, 0, C},
    {31, 32, "hue start", FLOAT, -999999, 999999, 0, 255, 0, 0},
    {32, 33, "hue end", FLOAT, -999999, 999999, 0, 255, 255, 0},
    {33, 34, "hue climax", FLOAT, -1, 1, -1, 1, 1, C},
    {34, 35, "hue soften", FLOAT, 0, 999999, 0, 3, 0, C},
    {35, 36, "hue offset", ANGLE, 0, 0, 0, 0, 0, C},
    {36, 37, "", END, 0, 0, 0, 0, 0, 0},
    {37, 38, "-> Saturation...", GROUP, 0, 0, 0, 0, 0, C},
    {38, 39, "saturation start", FLOAT, -999999, 999999, 0, 255, 0, 0},
    {39, 40, "saturation end", FLOAT, -999999, 999999, 0, 255, 255, 0},
    {40, 41, "saturation climax", FLOAT, -1, 1, -1, 1, 1, C},
    {41, 42, "saturation soften", FLOAT, 0, 999999, 0, 3, 0, C},
    {42, 43, "saturation offset", ANGLE, 0, 0, 0, 0, 0, C},
    {43, 44, "", END, 0, 0, 0, 0, 0, 0},
    {44, 45, "", END, 0, 0, 0, 0, 0, 0},
    {45, 46, "-> Outside Image...", GROUP, 0, 0, 0, 0, 0, C},
    {46, 47, "horizontal assume", POPUP, 0, 0, 0, 0, 1, 0},
    {47, 48, "vertical assume", POPUP, 0, 0, 0, 0, 1, 0},
    {48, 49, "outside color", COLOR, 0, 0, 0, 0, 0, 0},
    {49, 50, "outside color alpha", FLOAT, 0, 255, 0, 255, 255, C},
    {50, 51, "", END, 0, 0, 0, 0, 0, 0},
};

PF_ParamType hostType(Type t) {
    switch (t) {
        case POPUP:
            return PF_Param_POPUP;
        case FLOAT:
            return PF_Param_FLOAT_SLIDER;
        case INT:
            return PF_Param_SLIDER;
        case CHECK:
            return PF_Param_CHECKBOX;
        case LAYER:
            return PF_Param_LAYER;
        case ANGLE:
            return PF_Param_ANGLE;
        case COLOR:
            return PF_Param_COLOR;
        case GROUP:
            return PF_Param_GROUP_START;
        case END:
            return PF_Param_GROUP_END;
    }
    return PF_Param_RESERVED;
}

// True when `size` bytes from `p` are all zero.
bool zero(const void* p, size_t size) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < size; ++i) {
        if (b[i] != 0) return false;
    }
    return true;
}

class EvenblurParameters : public ::testing::Test {
protected:
    void SetUp() override {
        project.host.added.clear();
        project.host.out_data.num_params = -7;
    }

    PF_Err setup() {
        EvenblurAEHost effect;
        return effect.dispatch(PF_Cmd_PARAMS_SETUP, &project.host.in_data, &project.host.out_data,
                               project.host.paramList(), nullptr, nullptr);
    }

    EvenblurTestProject project;
};

TEST_F(EvenblurParameters, RegistersTheFiftyControlsOfTheTable) {
    ASSERT_EQ(setup(), PF_Err_NONE);
    EXPECT_EQ(project.host.out_data.num_params, 51);
    EXPECT_EQ(EvenblurAEHost().parameterCount(), 51);
    ASSERT_EQ(project.host.added.size(), std::size(kTable));

    for (const Row& row : kTable) {
        SCOPED_TRACE("position " + std::to_string(row.position) + " \"" + row.name + "\"");
        const PF_ParamDef& d = project.host.added[size_t(row.position - 1)];
        EXPECT_EQ(d.uu.id, row.id);
        EXPECT_EQ(d.param_type, hostType(row.type));
        EXPECT_STREQ(d.name, row.name);
        EXPECT_TRUE(zero(d.name + std::strlen(d.name), sizeof d.name - std::strlen(d.name)));
        EXPECT_EQ(d.flags, row.flags);
        EXPECT_EQ(d.ui_flags, 0);
        EXPECT_EQ(d.ui_width, 0);
        EXPECT_EQ(d.ui_height, 0);

        switch (row.type) {
            case FLOAT: {
                const PF_FloatSliderDef& f = d.u.fs_d;
                EXPECT_EQ(f.valid_min, PF_FpShort(row.valid_min));
                EXPECT_EQ(f.valid_max, PF_FpShort(row.valid_max));
                EXPECT_EQ(f.slider_min, PF_FpShort(row.slider_min));
                EXPECT_EQ(f.slider_max, PF_FpShort(row.slider_max));
                EXPECT_EQ(f.dephault, PF_FpShort(row.dephault));
                EXPECT_EQ(f.value, double(PF_FpShort(row.dephault)));
                EXPECT_EQ(f.precision, 3);
                EXPECT_EQ(f.display_flags, 0);
                EXPECT_EQ(f.curve_tolerance, 0.05f);
                EXPECT_EQ(f.phase, 0.0);
                EXPECT_EQ(f.fs_flags, 0u);
                EXPECT_EQ(f.useExponent, 0);
                EXPECT_EQ(f.exponent, 0.0f);
                EXPECT_TRUE(zero(f.value_desc, sizeof f.value_desc));
                break;
            }
            case INT: {
                const PF_SliderDef& s = d.u.sd;
                EXPECT_EQ(s.valid_min, PF_ParamValue(row.valid_min));
                EXPECT_EQ(s.valid_max, PF_ParamValue(row.valid_max));
                EXPECT_EQ(s.slider_min, PF_ParamValue(row.slider_min));
                EXPECT_EQ(s.slider_max, PF_ParamValue(row.slider_max));
                EXPECT_EQ(s.dephault, PF_ParamValue(row.dephault));
                EXPECT_EQ(s.value, s.dephault);
                EXPECT_TRUE(zero(s.value_str, sizeof s.value_str));
                EXPECT_TRUE(zero(s.value_desc, sizeof s.value_desc));
                break;
            }
            case POPUP:
                EXPECT_EQ(d.u.pd.num_choices, 4);
                EXPECT_EQ(d.u.pd.dephault, A_short(row.dephault));
                EXPECT_EQ(d.u.pd.value, PF_ParamValue(row.dephault));
                ASSERT_NE(d.u.pd.u.namesptr, nullptr);
                break;
            case CHECK:
                EXPECT_EQ(d.u.bd.dephault, PF_Boolean(row.dephault));
                EXPECT_EQ(d.u.bd.value, PF_ParamValue(row.dephault));
                ASSERT_NE(d.u.bd.u.nameptr, nullptr);
                EXPECT_STREQ(d.u.bd.u.nameptr, "");
                break;
            case ANGLE:
                EXPECT_EQ(d.u.ad.dephault, 0);
                EXPECT_EQ(d.u.ad.value, 0);
                EXPECT_EQ(d.u.ad.valid_min, 0);
                EXPECT_EQ(d.u.ad.valid_max, 0);
                break;
            case COLOR:
                EXPECT_EQ(d.u.cd.dephault.alpha, 255);
                EXPECT_EQ(d.u.cd.dephault.red, 0);
                EXPECT_EQ(d.u.cd.dephault.green, 0);
                EXPECT_EQ(d.u.cd.dephault.blue, 0);
                EXPECT_EQ(std::memcmp(&d.u.cd.value, &d.u.cd.dephault, sizeof(PF_Pixel)), 0);
                break;
            case LAYER:
                // "None": the zero default, and no world.
                EXPECT_EQ(d.u.ld.dephault, 0);
                EXPECT_EQ(d.u.ld.data, nullptr);
                EXPECT_TRUE(zero(&d.u.ld, sizeof d.u.ld));
                break;
            case GROUP:
            case END:
                EXPECT_TRUE(zero(&d.u, sizeof d.u));
                break;
        }
    }
}

TEST_F(EvenblurParameters, PopupChoicesAreTheExactStrings) {
    ASSERT_EQ(setup(), PF_Err_NONE);
    ASSERT_EQ(project.host.added.size(), 50u);
    EXPECT_STREQ(project.host.added[0].u.pd.u.namesptr,
                 "normal blur | iris | highlight selection | highlight selection only");
    EXPECT_STREQ(project.host.added[45].u.pd.u.namesptr,
                 "border color|mirrored image|repeated image|color");
    EXPECT_STREQ(project.host.added[46].u.pd.u.namesptr,
                 "border color|mirrored image|repeated image|color");
}

TEST_F(EvenblurParameters, BorderThicknessDefaultIsSinglePrecision) {
    ASSERT_EQ(setup(), PF_Err_NONE);
    const PF_FloatSliderDef& f = project.host.added[16].u.fs_d;
    EXPECT_EQ(f.dephault, 0.3f);
    EXPECT_EQ(f.value, double(0.3f));
    EXPECT_NE(f.value, 0.3);
}

TEST_F(EvenblurParameters, IdsSkip23AndNeverRepeat) {
    ASSERT_EQ(setup(), PF_Err_NONE);
    for (size_t i = 0; i < project.host.added.size(); ++i) {
        const int32_t position = int32_t(i) + 1;
        EXPECT_EQ(project.host.added[i].uu.id, position < 23 ? position : position + 1);
    }
}

TEST_F(EvenblurParameters, ARefusedParameterEndsTheSetupWithTheHostsError) {
    for (int32_t failing = 1; failing <= 50; failing += 7) {
        SCOPED_TRACE("failing add " + std::to_string(failing));
        project.host.added.clear();
        project.host.out_data.num_params = -7;
        project.add_calls = 0;
        project.failing_add = failing;
        project.add_error = PF_Err_OUT_OF_MEMORY;
        EXPECT_EQ(setup(), PF_Err_OUT_OF_MEMORY);
        EXPECT_EQ(project.add_calls, failing);
        EXPECT_EQ(project.host.added.size(), size_t(failing - 1));
        EXPECT_EQ(project.host.out_data.num_params, -7);
    }
}

TEST(EvenblurHelperLayers, NamesAndPositions) {
    EvenblurAEHost effect;
    std::string name = "untouched";
    EXPECT_EQ(effect.helperLayer(0, &name), 6);
    EXPECT_EQ(name, "blend layer");
    EXPECT_EQ(effect.helperLayer(1, &name), 10);
    EXPECT_EQ(name, "lens layer");
    EXPECT_EQ(effect.helperLayer(2, &name), 22);
    EXPECT_EQ(name, "selection layer");
    name = "untouched";
    EXPECT_EQ(effect.helperLayer(3, &name), -1);
    EXPECT_EQ(effect.helperLayer(-1, &name), -1);
    EXPECT_EQ(name, "untouched");
    EXPECT_EQ(effect.helperLayer(1, nullptr), 10);
}

TEST(EvenblurHelperLayers, OnlyTheLensLayerIsRequestedWhole) {
    EvenblurAEHost effect;
    const Rectangle proposed{-100, 300, -100, 200};
    const Rectangle original{0, 40, 0, 30};
    for (const char* name :
         {"lens layer", "blend layer", "selection layer", "lens layer ", "Source", "Output"}) {
        Rectangle request = original;
        effect.adjustLayerRequest(name, &request, proposed, nullptr, nullptr, 1.0, 1.0, 1.0, 40,
                                  30);
        const Rectangle& expected = std::string(name) == "lens layer" ? proposed : original;
        EXPECT_EQ(request.left, expected.left) << name;
        EXPECT_EQ(request.right, expected.right) << name;
        EXPECT_EQ(request.top, expected.top) << name;
        EXPECT_EQ(request.bottom, expected.bottom) << name;
    }
}

}  // namespace
