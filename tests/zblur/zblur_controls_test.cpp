#include "zblur/zblur_controls.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "tests/support/ae_test_host.h"
#include "tests/zblur/fake_depth_channel.h"
#include "zblur/zblur_ae_host.h"
#include "tests/zblur/zblur_test_parameters.h"

namespace {

bool in(int32_t s, std::initializer_list<int32_t> values) {
    for (const int32_t v : values)
        if (s == v) return true;
    return false;
}

// The enabling rules as tabled, one per control; positions not listed are never touched.
std::map<int32_t, bool> expectedStates(const ZblurControlState& c) {
    const int32_t s = c.show;
    std::map<int32_t, bool> e;
    e[2] = !in(s, {2, 4, 5});
    e[56] = e[57] = in(s, {1, 6});
    e[6] = in(s, {1, 6}) && c.highlight_enabled;
    e[7] = in(s, {1, 6});
    for (const int32_t p : {3, 4, 5}) e[p] = !in(s, {2, 3, 4, 5});
    for (const int32_t p : {8, 9, 10}) e[p] = !in(s, {2, 4, 5});
    e[11] = !in(s, {2, 4, 5}) && c.depth_layer_connected;
    e[16] = !in(s, {3, 4, 5, 7});
    for (int32_t p = 18; p <= 23; ++p) e[p] = !in(s, {3, 4, 5, 7}) && !c.iris_layer_connected;
    for (int32_t p = 27; p <= 47; ++p) {
        if (p == 34 || p == 41) continue;
        e[p] = !in(s, {2, 3, 7}) && c.highlight_enabled;
    }
    e[25] = e[26] = !in(s, {2, 3, 7});
    for (int32_t p = 50; p <= 55; ++p) e[p] = in(s, {1, 6});
    const bool colour = c.horizontal_assume == 4 || c.vertical_assume == 4;
    e[53] = e[54] = in(s, {1, 6}) && colour;
    for (const int32_t p : {12, 13, 14}) {
        e[p] = c.depth_channel && !in(s, {2, 4, 5}) && !c.depth_layer_connected;
    }
    return e;
}

// The order in which the updates are pushed.
std::vector<int32_t> expectedOrder() {
    std::vector<int32_t> order = {2, 56, 57, 6, 7, 3, 4, 5, 8, 9, 10, 11, 16};
    auto range = [&](int32_t a, int32_t b) {
        for (int32_t p = a; p <= b; ++p) order.push_back(p);
    };
    range(18, 23);
    range(26, 33);
    range(35, 40);
    range(42, 47);
    order.push_back(26);
    order.push_back(25);
    range(50, 55);
    order.insert(order.end(), {53, 54, 12, 13, 14});
    return order;
}

std::vector<ZblurControlState> everyState() {
    std::vector<ZblurControlState> states;
    for (int32_t show = 1; show <= 7; ++show) {
        for (int32_t bits = 0; bits < 16; ++bits) {
            for (const auto& [h, v] : {std::pair{1, 1}, std::pair{4, 2}, std::pair{3, 4}}) {
                ZblurControlState c;
                c.show = show;
                c.highlight_enabled = (bits & 1) != 0;
                c.depth_channel = (bits & 2) != 0;
                c.depth_layer_connected = (bits & 4) != 0;
                c.iris_layer_connected = (bits & 8) != 0;
                c.horizontal_assume = h;
                c.vertical_assume = v;
                states.push_back(c);
            }
        }
    }
    return states;
}

TEST(ZblurControls, EveryShowValueAndConnection) {
    const std::vector<int32_t> order = expectedOrder();
    for (const ZblurControlState& c : everyState()) {
        SCOPED_TRACE(::testing::Message()
                     << "show " << c.show << " enable " << c.highlight_enabled << " channel "
                     << c.depth_channel << " depth layer " << c.depth_layer_connected << " iris "
                     << c.iris_layer_connected << " assume " << c.horizontal_assume << "/"
                     << c.vertical_assume);
        const std::vector<ZblurControlUpdate> updates = zblurControlUpdates(c);
        ASSERT_EQ(updates.size(), order.size());
        std::map<int32_t, bool> last;
        for (size_t i = 0; i < updates.size(); ++i) {
            EXPECT_EQ(updates[i].position, order[i]) << "update " << i;
            last[updates[i].position] = updates[i].enabled;
        }
        EXPECT_EQ(last, expectedStates(c));
    }
}

// The first of the two updates of a twice-updated control follows the rule of its range.
TEST(ZblurControls, FirstOfTwoUpdatesFollowsItsRange) {
    ZblurControlState c;
    c.show = 1;
    c.highlight_enabled = false;
    const std::vector<ZblurControlUpdate> updates = zblurControlUpdates(c);
    std::vector<bool> enable_updates;
    std::vector<bool> colour_updates;
    for (const ZblurControlUpdate& u : updates) {
        if (u.position == 26) enable_updates.push_back(u.enabled);
        if (u.position == 53) colour_updates.push_back(u.enabled);
    }
    EXPECT_EQ(enable_updates, (std::vector<bool>{false, true}));
    EXPECT_EQ(colour_updates, (std::vector<bool>{true, false}));
}

// ---- through the host command ----

struct UiRun {
    std::vector<AETestHost::UiUpdate> updates;
    PF_Err result = PF_Err_NONE;
};

class ZblurUpdateParamsUI : public ::testing::Test {
protected:
    ZblurUpdateParamsUI() : channel(host) { setZblurDefaults(host); }

    UiRun run() {
        ZblurAEHost effect;
        UiRun r;
        host.ui_updates.clear();
        r.result = effect.dispatch(PF_Cmd_UPDATE_PARAMS_UI, &host.in_data, &host.out_data,
                                   host.paramList(), nullptr, nullptr);
        r.updates = host.ui_updates;
        return r;
    }

    void connect(int32_t position) {
        host.parameters[size_t(position)].u.ld.data = reinterpret_cast<PF_PixelPtr>(pixels);
        host.parameters[size_t(position)].u.ld.width = 1;
        host.parameters[size_t(position)].u.ld.height = 1;
    }

    static std::map<int32_t, bool> finalStates(const UiRun& r) {
        std::map<int32_t, bool> states;
        for (const AETestHost::UiUpdate& u : r.updates) {
            states[u.index] = (u.def.ui_flags & PF_PUI_DISABLED) == 0;
        }
        return states;
    }

    AETestHost host;
    FakeDepthChannel channel;
    PF_Pixel pixels[1] = {};
};

TEST_F(ZblurUpdateParamsUI, PushesEveryUpdateInOrder) {
    channel.setValues<float>(2, 2, {1, 2, 3, 4});
    for (int32_t show = 1; show <= 7; ++show) {
        for (const bool depth_layer : {false, true}) {
            for (const bool iris : {false, true}) {
                setZblurDefaults(host);
                host.parameters[kZblurShowParam].u.pd.value = show;
                host.parameters[kZblurHighlightEnable].u.bd.value = show % 2;
                host.parameters[kZblurVerticalAssume].u.pd.value = show == 6 ? 4 : 1;
                if (depth_layer) connect(kZblurDepthLayer);
                if (iris) connect(kZblurAlternativeIris);
                const int32_t checkouts = host.checkouts.load();
                const int32_t checkins = host.checkins.load();
                const UiRun r = run();
                EXPECT_EQ(r.result, PF_Err_NONE);
                ZblurControlState c;
                c.show = show;
                c.highlight_enabled = show % 2 != 0;
                c.vertical_assume = show == 6 ? 4 : 1;
                c.depth_channel = true;
                c.depth_layer_connected = depth_layer;
                c.iris_layer_connected = iris;
                const std::vector<int32_t> order = expectedOrder();
                ASSERT_EQ(r.updates.size(), order.size());
                for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(r.updates[i].index, order[i]);
                EXPECT_EQ(finalStates(r), expectedStates(c)) << "show " << show;
                // Both layers checked out and in again.
                EXPECT_EQ(host.checkouts.load() - checkouts, 2);
                EXPECT_EQ(host.checkins.load() - checkins, 2);
            }
        }
    }
    EXPECT_EQ(channel.checkouts, channel.checkins);
    EXPECT_EQ(host.outstandingSuites(kPFChannelSuite1), 0);
    EXPECT_EQ(host.outstandingSuites(kPFParamUtilsSuite), 0);
}

// The depth range controls need a depth channel that can be checked out now, and no depth
// layer.
TEST_F(ZblurUpdateParamsUI, DepthRangeNeedsAReadableChannel) {
    channel.setValues<double>(1, 1, {5.0});
    EXPECT_TRUE(finalStates(run())[kZblurBlackPoint]);
    channel.checkout_error = PF_Err_OUT_OF_MEMORY;
    EXPECT_FALSE(finalStates(run())[kZblurBlackPoint]);
    channel.checkout_error = PF_Err_NONE;
    channel.data_type = 0x494E5434;  // 'INT4' is not accepted
    EXPECT_FALSE(finalStates(run())[kZblurWhitePoint]);
    channel.data_type = PF_DataType_DOUBLE;
    channel.found = false;
    EXPECT_FALSE(finalStates(run())[kZblurAutoRange]);
    channel.found = true;
    connect(kZblurDepthLayer);
    const std::map<int32_t, bool> with_layer = finalStates(run());
    EXPECT_FALSE(with_layer.at(kZblurBlackPoint));
    EXPECT_TRUE(with_layer.at(kZblurTakeDepthFrom));
    host.denySuite(kPFChannelSuite1);
    setZblurDefaults(host);
    EXPECT_FALSE(finalStates(run())[kZblurBlackPoint]);
}

// Hosts of API 12.4 and older do not report connections: "take depth from:" stays off and
// the iris shape controls on.
TEST_F(ZblurUpdateParamsUI, OldHostsSeeNoConnections) {
    connect(kZblurDepthLayer);
    connect(kZblurAlternativeIris);
    for (const auto& [major, minor] : {std::pair{12, 4}, std::pair{11, 9}}) {
        host.setApiVersion(A_short(major), A_short(minor));
        const int32_t checkouts = host.checkouts.load();
        const std::map<int32_t, bool> states = finalStates(run());
        EXPECT_EQ(host.checkouts.load(), checkouts);
        EXPECT_FALSE(states.at(kZblurTakeDepthFrom));
        for (int32_t p = 18; p <= 23; ++p) EXPECT_TRUE(states.at(p)) << p;
    }
    host.setApiVersion(12, 5);
    const std::map<int32_t, bool> states = finalStates(run());
    EXPECT_TRUE(states.at(kZblurTakeDepthFrom));
    EXPECT_FALSE(states.at(kZblurFacets));
}

TEST_F(ZblurUpdateParamsUI, WithoutParameterUtilitiesNothingIsPushed) {
    host.denySuite(kPFParamUtilsSuite);
    const UiRun r = run();
    EXPECT_EQ(r.result, PF_Err_NONE);
    EXPECT_TRUE(r.updates.empty());
}

// A refused update does not stop the others or fail the command.
TEST_F(ZblurUpdateParamsUI, HostRefusalsAreIgnored) {
    host.update_param_ui_answer = PF_Err_INTERNAL_STRUCT_DAMAGED;
    const UiRun r = run();
    EXPECT_EQ(r.result, PF_Err_NONE);
    EXPECT_EQ(r.updates.size(), expectedOrder().size());
}

}  // namespace

namespace {

// A parameter array shorter than the effect's is not read.
TEST(ZblurUpdateParamsUIShortArray, NothingIsRead) {
    AETestHost host;
    host.setParameterCount(10);
    ZblurAEHost effect;
    EXPECT_EQ(effect.dispatch(PF_Cmd_UPDATE_PARAMS_UI, &host.in_data, &host.out_data,
                              host.paramList(), nullptr, nullptr),
              PF_Err_NONE);
    EXPECT_TRUE(host.ui_updates.empty());
    PF_UserChangedParamExtra extra{kZblurAutoRange};
    EXPECT_EQ(effect.dispatch(PF_Cmd_USER_CHANGED_PARAM, &host.in_data, &host.out_data,
                              host.paramList(), nullptr, &extra),
              PF_Err_NONE);
}

}  // namespace
