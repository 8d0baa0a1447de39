#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "tests/support/ae_test_host.h"
#include "evenblur/evenblur_ae_host.h"
#include "tests/aehost/log_capture.h"
#include "tests/aehost/probe_host.h"
#include "framework/rectangle.h"
#include "zblur/zblur_ae_host.h"

namespace {

PF_Err dispatchTo(AfterEffectsHost& effect, AETestHost& host, A_long cmd, void* extra = nullptr,
                  PF_LayerDef* output = nullptr) {
    return effect.dispatch(static_cast<PF_Cmd>(cmd), &host.in_data, &host.out_data,
                           host.paramList(), output, extra);
}

TEST(Dispatch, EveryCommandReachesItsHandler) {
    const std::map<A_long, std::string> handlers = {{0, "about"},
                                                    {1, "globalSetup"},
                                                    {3, "globalSetdown"},
                                                    {4, "paramsSetup"},
                                                    {5, "sequenceSetup"},
                                                    {6, "sequenceResetup"},
                                                    {7, "sequenceFlatten"},
                                                    {8, "sequenceSetdown"},
                                                    {10, "frameSetup"},
                                                    {12, "frameSetdown"},
                                                    {13, "userChangedParam"},
                                                    {14, "updateParamsUI"},
                                                    {15, "event"},
                                                    {17, "completelyGeneral"},
                                                    {18, "queryDynamicFlags"},
                                                    {22, "arbitraryCallback"}};
    for (const auto& [cmd, handler] : handlers) {
        AETestHost host;
        ProbeHost effect;
        effect.answer = 600 + cmd;
        int extra_record = 0;
        EXPECT_EQ(dispatchTo(effect, host, cmd, &extra_record), 600 + cmd) << "command " << cmd;
        ASSERT_EQ(effect.calls.size(), 1u) << "command " << cmd;
        EXPECT_EQ(effect.calls[0], handler) << "command " << cmd;
        if (handler == "event" || handler == "arbitraryCallback" ||
            handler == "completelyGeneral" || handler == "userChangedParam" ||
            handler == "updateParamsUI") {
            EXPECT_EQ(effect.last_extra, &extra_record) << handler << " gets the extra record";
        }
    }
}

TEST(Dispatch, DispatchStoresTheCommandRecords) {
    AETestHost host;
    ProbeHost effect;
    PF_LayerDef world{};
    int extra_record = 0;
    dispatchTo(effect, host, PF_Cmd_FRAME_SETUP, &extra_record, &world);
    EXPECT_EQ(effect.command.in_data, &host.in_data);
    EXPECT_EQ(effect.command.out_data, &host.out_data);
    EXPECT_EQ(effect.command.params, host.paramList());
    EXPECT_EQ(effect.command.output, &world);
    EXPECT_EQ(effect.command.extra, &extra_record);
}

TEST(Dispatch, UnansweredAndUnknownCommandsCallNothingAndSucceed) {
    for (A_long cmd : {2, 9, 16, 19, 20, 21, 25, 26, 27, 1000, -1}) {
        AETestHost host;
        ProbeHost effect;
        effect.answer = 999;
        const PF_OutData before = host.out_data;
        EXPECT_EQ(dispatchTo(effect, host, cmd), PF_Err_NONE) << "command " << cmd;
        EXPECT_TRUE(effect.calls.empty()) << "command " << cmd;
        EXPECT_EQ(std::memcmp(&before, &host.out_data, sizeof before), 0) << "command " << cmd;
    }
}

// The render paths themselves (layer checkout, the render call) are tested through the host
// driver with a test plug-in (tests/hostdriver); here only the dispatch and its log line.
TEST(Dispatch, RenderCommandsLogTheirName) {
    const std::map<A_long, std::string> lines = {
        {PF_Cmd_RENDER, "PF_Cmd_RENDER\n"},
        {PF_Cmd_SMART_PRE_RENDER, "PF_Cmd_SMART_PRE_RENDER\n"},
        {PF_Cmd_SMART_RENDER, "PF_Cmd_SMART_RENDER\n"}};
    for (const auto& [cmd, line] : lines) {
        LogCapture log;
        AETestHost host;
        ProbeHost effect;
        effect.answer = 999;
        PF_LayerDef world{};
        dispatchTo(effect, host, cmd, nullptr, &world);
        EXPECT_EQ(log.text(), line);
    }
}

TEST(Dispatch, DefaultHandlersSucceedWithoutSideEffects) {
    for (A_long cmd : {3, 5, 6, 7, 8, 12, 13, 14, 15, 17, 18, 22}) {
        AETestHost host;
        PlainHost effect;
        std::memset(&host.out_data, 0x5A, sizeof host.out_data);
        const PF_OutData before = host.out_data;
        EXPECT_EQ(dispatchTo(effect, host, cmd), PF_Err_NONE) << "command " << cmd;
        EXPECT_EQ(std::memcmp(&before, &host.out_data, sizeof before), 0) << "command " << cmd;
    }
}

TEST(Dispatch, DefaultParamsSetupDeclaresTheInputLayerOnly) {
    AETestHost host;
    PlainHost effect;
    host.out_data.num_params = 77;
    EXPECT_EQ(dispatchTo(effect, host, PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    EXPECT_EQ(host.out_data.num_params, 1);
    EXPECT_TRUE(host.added.empty());
    EXPECT_EQ(effect.parameterCount(), 1);
    EXPECT_EQ(effect.helperLayer(0, nullptr), -1);
}

TEST(Dispatch, DefaultFrameSetupZeroesTheOutputOrigin) {
    AETestHost host;
    PlainHost effect;
    host.out_data.origin.h = 12;
    host.out_data.origin.v = -7;
    EXPECT_EQ(dispatchTo(effect, host, PF_Cmd_FRAME_SETUP), PF_Err_NONE);
    EXPECT_EQ(host.out_data.origin.h, 0);
    EXPECT_EQ(host.out_data.origin.v, 0);
}

// ---- global setup ------------------------------------------------------------------------

struct ApiCase {
    A_short major, minor;
    bool writes_flags2;
};

TEST(GlobalSetup, VersionAndFlagsByHostApi) {
    for (const ApiCase c : {ApiCase{12, 4, false}, ApiCase{12, 5, true}, ApiCase{13, 0, true},
                            ApiCase{11, 9, false}, ApiCase{12, 14, true}}) {
        AETestHost host;
        host.setApiVersion(c.major, c.minor);
        host.out_data.out_flags2 = 0x5555;
        ZblurAEHost effect;
        EXPECT_EQ(dispatchTo(effect, host, PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
        // 1.4.7, release stage, build 0.
        EXPECT_EQ(host.out_data.my_version, 671232u);
        EXPECT_EQ(host.out_data.out_flags, 0x06000000);
        EXPECT_EQ(host.out_data.out_flags2, c.writes_flags2 ? 0x1480 : 0x5555)
            << "API " << c.major << "." << c.minor;
        EXPECT_EQ(host.out_data.global_data, nullptr);
        EXPECT_EQ(host.liveHandles(), 0);
    }
}

TEST(GlobalSetup, VersionWordFollowsTheEffectVersion) {
    // Field positions of the host's version word: major bits 19.., minor 15.., bug fix 11..,
    // stage 9..
    EXPECT_EQ(AfterEffectsHost::effectVersion(1, 4, 7), 0xA3E00u);
    EXPECT_EQ(AfterEffectsHost::effectVersion(2, 0, 0), (2u << 19) | (3u << 9));
    EXPECT_EQ(AfterEffectsHost::effectVersion(0, 15, 15), (15u << 15) | (15u << 11) | (3u << 9));
}

// ---- about -------------------------------------------------------------------------------

TEST(About, ZblurTextThroughTheHostsSprintf) {
    AETestHost host;
    ZblurAEHost effect;
    EXPECT_EQ(dispatchTo(effect, host, PF_Cmd_ABOUT), PF_Err_NONE);
    EXPECT_EQ(host.sprintfCalls(), 1);
    EXPECT_EQ(std::string(host.out_data.return_msg),
              std::string("Glimmora 'Zblur'  v1.4.7\r") + ZblurAEHost::kDescription);
    EXPECT_EQ(std::string(ZblurAEHost::kDescription)
                  .rfind("Simulates a camera's focus change(ZBLUR).\n\n", 0),
              0u);
}

TEST(About, EvenblurText) {
    AETestHost host;
    EvenblurAEHost effect;
    EXPECT_EQ(dispatchTo(effect, host, PF_Cmd_ABOUT), PF_Err_NONE);
    EXPECT_EQ(std::string(host.out_data.return_msg),
              std::string("Glimmora 'Evenblur'  v1.4.7\r") + EvenblurAEHost::kDescription);
    EXPECT_EQ(std::string(EvenblurAEHost::kDescription)
                  .rfind("Simulates a camera's Evenblur effect.\n\n", 0),
              0u);
}

TEST(About, RevisionZeroShowsTwoVersionNumbers) {
    AETestHost host;
    PlainHost effect(0, "Text.\n");
    EXPECT_EQ(dispatchTo(effect, host, PF_Cmd_ABOUT), PF_Err_NONE);
    EXPECT_STREQ(host.out_data.return_msg, "Plain 'Host'  v1.4\rText.\n");
}

TEST(About, TooLongDescriptionIsCutToTheMessageBuffer) {
    AETestHost host;
    std::memset(&host.out_data, 0x5A, sizeof host.out_data);
    const PF_OutData before = host.out_data;
    PlainHost effect(7, std::string(600, 'x'));
    EXPECT_EQ(dispatchTo(effect, host, PF_Cmd_ABOUT), PF_Err_NONE);
    const std::string text = host.out_data.return_msg;
    EXPECT_EQ(text.size(), 255u);
    EXPECT_EQ(text.substr(0, 21), "Plain 'Host'  v1.4.7\r");
    // Nothing after the message buffer was written.
    const size_t after = offsetof(PF_OutData, return_msg) + sizeof(host.out_data.return_msg);
    EXPECT_EQ(
        std::memcmp(reinterpret_cast<const char*>(&before) + after,
                    reinterpret_cast<const char*>(&host.out_data) + after, sizeof before - after),
        0);
}

TEST(About, WithoutHostSprintfTheTextIsTheSame) {
    AETestHost host;
    host.utils.ansi.sprintf = nullptr;
    ZblurAEHost effect;
    EXPECT_EQ(dispatchTo(effect, host, PF_Cmd_ABOUT), PF_Err_NONE);
    EXPECT_EQ(std::string(host.out_data.return_msg),
              std::string("Glimmora 'Zblur'  v1.4.7\r") + ZblurAEHost::kDescription);
}

// ---- effect identity ---------------------------------------------------------------------

TEST(EffectIdentity, Zblur) {
    ZblurAEHost effect;
    EXPECT_EQ(effect.name, "Glimmora 'Zblur'");
    EXPECT_EQ(effect.category, "Quillbrook");
    EXPECT_EQ(effect.version_major, 1);
    EXPECT_EQ(effect.version_minor, 4);
    EXPECT_EQ(effect.version_revision, 7);
    EXPECT_EQ(effect.parameterCount(), 58);
    EXPECT_EQ(effect.outOfMemoryError(), 4);
    EXPECT_EQ(effect.abortError(), 517);
    EXPECT_EQ(effect.internalError(), 512);
    EXPECT_EQ(effect.noError(), 0);

    const std::pair<int32_t, std::string> expected[] = {
        {2, "zbuffer layer"},  {27, "selection layer"},    {17, "lens layer"},
        {56, "behind layer"},  {57, "behind depth layer"}};
    for (int32_t i = 0; i < 5; ++i) {
        std::string name = "untouched";
        EXPECT_EQ(effect.helperLayer(i, &name), expected[i].first);
        EXPECT_EQ(name, expected[i].second);
        EXPECT_EQ(effect.helperLayer(i, nullptr), expected[i].first);
    }
    for (int32_t i : {5, 6, 100, -1}) {
        std::string name = "untouched";
        EXPECT_EQ(effect.helperLayer(i, &name), -1);
        EXPECT_EQ(name, "untouched");
    }
}

TEST(EffectIdentity, Evenblur) {
    EvenblurAEHost effect;
    EXPECT_EQ(effect.name, "Glimmora 'Evenblur'");
    EXPECT_EQ(effect.category, "Quillbrook");
    EXPECT_EQ(effect.version_major, 1);
    EXPECT_EQ(effect.version_minor, 4);
    EXPECT_EQ(effect.version_revision, 7);
    EXPECT_EQ(effect.parameterCount(), 51);

    const std::pair<int32_t, std::string> expected[] = {
        {6, "blend layer"}, {10, "lens layer"}, {22, "selection layer"}};
    for (int32_t i = 0; i < 3; ++i) {
        std::string name;
        EXPECT_EQ(effect.helperLayer(i, &name), expected[i].first);
        EXPECT_EQ(name, expected[i].second);
    }
    std::string name = "untouched";
    EXPECT_EQ(effect.helperLayer(3, &name), -1);
    EXPECT_EQ(name, "untouched");
}

template <class Effect>
void expectOnlyLensLayerIsAdjusted() {
    Effect effect;
    const Rectangle proposed{-5, 105, -7, 57};
    const Rectangle original{0, 10, 0, 20};
    double aspect = 1.0;
    const double command_aspect = 1.0;
    for (const char* name : {"Source", "Output", "zbuffer layer", "selection layer", "blend layer",
                             "lens layer ", "Lens layer"}) {
        Rectangle request = original;
        effect.adjustLayerRequest(name, &request, proposed, &aspect, &command_aspect, 1.0, 1.0, 1.0,
                                  100, 50);
        EXPECT_EQ(request, original) << name;
    }
    Rectangle request = original;
    effect.adjustLayerRequest("lens layer", &request, proposed, &aspect, &command_aspect, 1.0, 1.0,
                              1.0, 100, 50);
    EXPECT_EQ(request, proposed);
}

TEST(EffectIdentity, LensLayerIsRequestedAsProposed) {
    expectOnlyLensLayerIsAdjusted<ZblurAEHost>();
    expectOnlyLensLayerIsAdjusted<EvenblurAEHost>();
}

}  // namespace
