#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AE_EffectSuites.h"
#include "evenblur/evenblur_ae_host.h"
#include "tests/evenblur/evenblur_test_project.h"

// Control enabling: which controls are greyed out for every "show" mode, highlight selection
// state, outside mode and connected layer, and the order in which the host hears of them.

namespace {

struct State {
    int32_t show = 1;
    bool enable = false;
    int32_t assume_h = 1;
    int32_t assume_v = 1;
    bool iris = false;        // "alternative iris" has pixels
    bool background = false;  // "background layer" has pixels
    A_short major = 13;
    A_short minor = 0;

    std::string describe() const {
        return "show " + std::to_string(show) + (enable ? " enable" : " disable") + " assume " +
               std::to_string(assume_h) + "/" + std::to_string(assume_v) +
               (iris ? " iris" : " no-iris") + (background ? " background" : " no-background") +
               " host " + std::to_string(major) + "." + std::to_string(minor);
    }
};

// Hosts before 12.5 cannot tell whether a layer is connected: both count as connected there,
// which disables the polygon's shape controls.
bool knowsLayers(const State& s) { return s.major > 12 || (s.major == 12 && s.minor >= 5); }

// Whether the control at `position` ends enabled; `color_row` asks for the earlier of the two
// rows of positions 48 and 49 (before the outside-colour override).
bool expectedEnabled(int32_t position, const State& st, bool color_row = true) {
    const int32_t s = st.show;
    const bool iris = knowsLayers(st) ? st.iris : true;
    const bool background = knowsLayers(st) ? st.background : true;
    const bool color = st.assume_h == 4 || st.assume_v == 4;
    const bool iris_modes = s != 3 && s != 4;
    switch (position) {
        case 2:
        case 5:
        case 6:
            return s == 1;
        case 7:
        case 8:
            return s == 1 && background;
        case 3:
        case 4:
            return s != 2 && st.enable;
        case 9:
        case 10:
        case 12:
        case 19:
            return iris_modes;
        case 11:
            return iris_modes && iris;
        case 13:
        case 14:
        case 15:
        case 16:
        case 17:
        case 18:
            return iris_modes && !iris;
        case 20:
        case 21:
        case 44:
            return s != 2;
        case 45:
        case 46:
        case 47:
        case 50:
            return s == 1;
        case 48:
        case 49:
            return color_row ? s == 1 && color : s == 1;
        default:
            if ((position >= 22 && position <= 28) || (position >= 30 && position <= 35) ||
                (position >= 37 && position <= 42)) {
                return s != 2 && st.enable;
            }
            return false;
    }
}

// The order in which the controls are pushed to the host; 48 and 49 come twice.
std::vector<int32_t> expectedOrder() {
    std::vector<int32_t> order = {2, 5, 6, 7, 8, 3, 4, 10, 12, 9, 19, 11};
    for (int32_t p = 13; p <= 18; ++p) order.push_back(p);
    for (int32_t p = 22; p <= 28; ++p) order.push_back(p);
    for (int32_t p = 30; p <= 35; ++p) order.push_back(p);
    for (int32_t p = 37; p <= 42; ++p) order.push_back(p);
    order.insert(order.end(), {21, 20, 44});
    for (int32_t p = 45; p <= 50; ++p) order.push_back(p);
    order.insert(order.end(), {48, 49});
    return order;
}

bool disabled(PF_ParamUIFlags flags) { return (flags & PF_PUI_DISABLED) != 0; }

class EvenblurControls : public ::testing::Test {
protected:
    // Sets the controls for `st`, with every control's flags at a recognisable starting pattern
    // (every third one already disabled, and a bit the effect must keep).
    void prepare(const State& st) {
        project.host.setApiVersion(st.major, st.minor);
        project.param(EvenblurAEHost::kShow).u.pd.value = st.show;
        project.param(EvenblurAEHost::kSelectionEnable).u.bd.value = st.enable ? 1 : 0;
        project.param(EvenblurAEHost::kHorizontalAssume).u.pd.value = st.assume_h;
        project.param(EvenblurAEHost::kVerticalAssume).u.pd.value = st.assume_v;
        project.param(EvenblurAEHost::kAlternativeIris).u.ld.data = st.iris ? &pixel : nullptr;
        project.param(EvenblurAEHost::kBackgroundLayer).u.ld.data =
            st.background ? &pixel : nullptr;
        for (int32_t p = 0; p < EvenblurAEHost::kParameterCount; ++p) {
            project.param(p).ui_flags = PF_PUI_TOPIC | (p % 3 == 0 ? PF_PUI_DISABLED : 0);
        }
        project.host.ui_updates.clear();
        project.checkout_positions.clear();
        project.checkin_ids.clear();
    }

    PF_Err update() {
        EvenblurAEHost effect;
        return effect.dispatch(PF_Cmd_UPDATE_PARAMS_UI, &project.host.in_data,
                               &project.host.out_data, project.host.paramList(), nullptr, nullptr);
    }

    bool untouched(int32_t p) {
        return project.param(p).ui_flags == (PF_PUI_TOPIC | (p % 3 == 0 ? PF_PUI_DISABLED : 0));
    }

    EvenblurTestProject project;
    PF_Pixel pixel{255, 1, 2, 3};
};

TEST_F(EvenblurControls, EveryShowModeSelectionOutsideModeAndConnection) {
    const std::vector<int32_t> order = expectedOrder();
    const std::pair<int32_t, int32_t> assumes[] = {{1, 1}, {4, 1}, {1, 4}, {2, 3}, {4, 4}};
    const std::pair<A_short, A_short> versions[] = {{13, 0}, {12, 5}, {12, 4}, {11, 9}};
    int32_t cases = 0;
    for (int32_t show = 1; show <= 4; ++show)
        for (const bool enable : {false, true})
            for (const auto& [h, v] : assumes)
                for (const bool iris : {false, true})
                    for (const bool background : {false, true})
                        for (const auto& [major, minor] : versions) {
                            State st;
                            st.show = show;
                            st.enable = enable;
                            st.assume_h = h;
                            st.assume_v = v;
                            st.iris = iris;
                            st.background = background;
                            st.major = major;
                            st.minor = minor;
                            SCOPED_TRACE(st.describe());
                            prepare(st);
                            ASSERT_EQ(update(), PF_Err_NONE);
                            ++cases;

                            for (int32_t p = 1; p < EvenblurAEHost::kParameterCount; ++p) {
                                if (p == 1 || p == 29 || p == 36 || p == 43) {
                                    EXPECT_TRUE(untouched(p))
                                        << "position " << p << " must not change";
                                    continue;
                                }
                                EXPECT_EQ(!disabled(project.param(p).ui_flags),
                                          expectedEnabled(p, st))
                                    << "position " << p;
                                EXPECT_NE(project.param(p).ui_flags & PF_PUI_TOPIC, 0)
                                    << "position " << p;
                            }
                            EXPECT_TRUE(untouched(0));

                            ASSERT_EQ(project.host.ui_updates.size(), order.size());
                            bool seen_48 = false;
                            bool seen_49 = false;
                            for (size_t i = 0; i < order.size(); ++i) {
                                const auto& u = project.host.ui_updates[i];
                                EXPECT_EQ(u.index, order[i]) << "update " << i;
                                bool first_row = false;
                                if (u.index == 48) {
                                    first_row = !seen_48;
                                    seen_48 = true;
                                }
                                if (u.index == 49) {
                                    first_row = !seen_49;
                                    seen_49 = true;
                                }
                                EXPECT_EQ(!disabled(u.def.ui_flags),
                                          expectedEnabled(u.index, st, !first_row))
                                    << "update " << i << " of position " << u.index;
                            }

                            // Connections are asked only of hosts that can answer, and given back.
                            if (knowsLayers(st)) {
                                EXPECT_EQ(project.checkout_positions,
                                          (std::vector<int32_t>{10, 6}));
                                EXPECT_EQ(project.checkin_ids, (std::vector<int32_t>{10, 6}));
                            } else {
                                EXPECT_TRUE(project.checkout_positions.empty());
                                EXPECT_TRUE(project.checkin_ids.empty());
                            }
                        }
    EXPECT_EQ(cases, 4 * 2 * 5 * 2 * 2 * 4);
    EXPECT_EQ(project.host.outstandingSuites(kPFParamUtilsSuite), 0);
}

TEST_F(EvenblurControls, IrisModeKeepsOnlyTheIrisGroup) {
    for (const bool iris : {false, true}) {
        State st;
        st.show = 2;
        st.enable = true;
        st.assume_h = 4;
        st.iris = iris;
        st.background = true;
        prepare(st);
        ASSERT_EQ(update(), PF_Err_NONE);
        std::vector<int32_t> enabled;
        for (int32_t p = 1; p < EvenblurAEHost::kParameterCount; ++p) {
            if (p == 1 || p == 29 || p == 36 || p == 43) continue;
            if (!disabled(project.param(p).ui_flags)) enabled.push_back(p);
        }
        if (iris) {
            EXPECT_EQ(enabled, (std::vector<int32_t>{9, 10, 11, 12, 19}));
        } else {
            EXPECT_EQ(enabled, (std::vector<int32_t>{9, 10, 12, 13, 14, 15, 16, 17, 18, 19}));
        }
    }
}

// On a host before 12.5 both layers count as connected without a checkout: the distortion and
// "colored iris" controls stay enabled, the polygon's shape controls (13 to 18) are disabled.
TEST_F(EvenblurControls, OlderHostsCountBothLayersAsConnected) {
    State st;
    st.major = 12;
    st.minor = 4;
    prepare(st);
    ASSERT_EQ(update(), PF_Err_NONE);
    for (int32_t p = 7; p <= 12; ++p) EXPECT_FALSE(disabled(project.param(p).ui_flags)) << p;
    for (int32_t p = 13; p <= 18; ++p) EXPECT_TRUE(disabled(project.param(p).ui_flags)) << p;
    EXPECT_TRUE(project.checkout_positions.empty());
}

TEST_F(EvenblurControls, AFailingLayerCheckoutCountsAsNotConnected) {
    State st;
    st.iris = true;
    st.background = true;
    prepare(st);
    project.failing_checkout = EvenblurAEHost::kAlternativeIris;
    ASSERT_EQ(update(), PF_Err_NONE);
    EXPECT_TRUE(disabled(project.param(11).ui_flags));
    for (int32_t p = 13; p <= 18; ++p) EXPECT_FALSE(disabled(project.param(p).ui_flags)) << p;
    EXPECT_FALSE(disabled(project.param(7).ui_flags));
    // Only the checkout that succeeded is checked in.
    EXPECT_EQ(project.checkin_ids, (std::vector<int32_t>{6}));
}

TEST_F(EvenblurControls, PremiereHearsOnlyOfLayerControls) {
    State st;
    st.show = 2;
    prepare(st);
    project.host.setPremiere(true);
    for (const int32_t p : {6, 10, 22}) project.param(p).param_type = PF_Param_LAYER;
    ASSERT_EQ(update(), PF_Err_NONE);
    std::vector<PF_ParamIndex> pushed;
    for (const auto& u : project.host.ui_updates) pushed.push_back(u.index);
    EXPECT_EQ(pushed, (std::vector<PF_ParamIndex>{6, 10, 22}));
    // The local records change all the same.
    for (int32_t p = 1; p < EvenblurAEHost::kParameterCount; ++p) {
        if (p == 1 || p == 29 || p == 36 || p == 43) continue;
        EXPECT_EQ(!disabled(project.param(p).ui_flags), expectedEnabled(p, st)) << p;
    }
}

TEST_F(EvenblurControls, NothingHappensWithoutSuiteAccess) {
    State st;
    st.show = 3;
    prepare(st);
    project.host.in_data.pica_basicP = nullptr;
    EXPECT_EQ(update(), PF_Err_NONE);
    project.host.in_data.pica_basicP = &project.host.basic;
    project.host.denySuite(kPFParamUtilsSuite);
    EXPECT_EQ(update(), PF_Err_NONE);
    for (int32_t p = 0; p < EvenblurAEHost::kParameterCount; ++p) {
        EXPECT_TRUE(untouched(p)) << p;
    }
    EXPECT_TRUE(project.host.ui_updates.empty());
    EXPECT_TRUE(project.checkout_positions.empty());
}

TEST_F(EvenblurControls, AHostRefusingAnUpdateStopsTheUpdates) {
    prepare(State{});
    project.host.update_param_ui_answer = PF_Err_INTERNAL_STRUCT_DAMAGED;
    EXPECT_EQ(update(), PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_EQ(project.host.ui_updates.size(), 1u);
}

}  // namespace
