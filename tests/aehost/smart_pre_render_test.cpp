#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/ae_test_host.h"
#include "aehost/layer_record.h"
#include "tests/aehost/probe_host.h"
#include "framework/rectangle.h"

// Smart pre-render and smart render of the binding, driven with the test host's records and a
// stand-in for the host's layer checkouts: which checkout ids the layers are asked with, what
// the output record says about extra pixels, and what an unusable pre-render data handle does.

namespace {

struct Checkout {
    PF_ParamIndex index;
    A_long id;
    PF_LRect rect;
};

// The stand-in host's answers: the whole 64 x 48 frame for the input, a 40 x 20 layer for
// every helper layer. Host rectangles are left, top, right, bottom.
std::vector<Checkout> checkouts;
constexpr PF_LRect kFrame{0, 0, 64, 48};
constexpr PF_LRect kLayer{0, 0, 40, 20};

PF_Err checkoutLayer(PF_ProgPtr, PF_ParamIndex index, A_long id, const PF_RenderRequest* req,
                     A_long, A_long, A_u_long, PF_CheckoutResult* result) {
    checkouts.push_back({index, id, req->rect});
    std::memset(result, 0, sizeof *result);
    result->max_result_rect = index == 0 ? kFrame : kLayer;
    result->result_rect = result->max_result_rect;
    result->par = {1, 1};
    return PF_Err_NONE;
}

// Two helper layers at parameter positions 3 and 5. The effect may ask for more of the source
// than the host requests, and may render more than the host requests.
class TwoLayerHost : public PlainHost {
public:
    int32_t grow_source = 0;  // pixels added to the source request on every side
    int32_t grow_output = 0;  // pixels added to the output rectangle on every side

    int32_t helperLayer(int32_t index, std::string* name_out) const override {
        if (index < 0 || index > 1) return -1;
        if (name_out != nullptr) *name_out = index == 0 ? "first layer" : "second layer";
        return index == 0 ? 3 : 5;
    }

    void adjustLayerRequest(const std::string& layer, Rectangle* request, Rectangle, double*,
                            const double*, double, double, double, int32_t, int32_t) override {
        int32_t grow = 0;
        if (layer == sourceLayerName()) grow = grow_source;
        // The first output call adjusts the output rectangle, the second the maximum one.
        if (layer == outputLayerName() && output_calls_++ == 0) grow = grow_output;
        *request = Rectangle{request->left - grow, request->right + grow, request->top - grow,
                             request->bottom + grow};
    }

private:
    int32_t output_calls_ = 0;
};

class SmartPreRender : public ::testing::Test {
protected:
    SmartPreRender() {
        checkouts.clear();
        host.setParameterCount(6);
        input.output_request.rect = PF_LRect{10, 12, 30, 28};  // 20 x 16 inside the frame
        input.bitdepth = 16;
        output.solid = true;  // the binding must say what it renders, whatever was there
        callbacks.checkout_layer = &checkoutLayer;
        extra = PF_PreRenderExtra{&input, &output, &callbacks};
    }

    PF_Err preRender() {
        return effect.dispatch(PF_Cmd_SMART_PRE_RENDER, &host.in_data, &host.out_data,
                               host.paramList(), nullptr, &extra);
    }

    AETestHost host;
    TwoLayerHost effect;
    PF_PreRenderInput input{};
    PF_PreRenderOutput output{};
    PF_PreRenderCallbacks callbacks{};
    PF_PreRenderExtra extra{};
};

std::vector<std::pair<PF_ParamIndex, A_long>> ids() {
    std::vector<std::pair<PF_ParamIndex, A_long>> v;
    for (const Checkout& c : checkouts) v.emplace_back(c.index, c.id);
    return v;
}

// The source is checked out with id 0, each helper layer with its parameter position p, after
// a probe for its size with id p + 10000 and an empty rectangle.
TEST_F(SmartPreRender, LayersAreCheckedOutWithTheirIdsAfterProbesAtPositionPlus10000) {
    ASSERT_EQ(preRender(), PF_Err_NONE);
    const std::vector<std::pair<PF_ParamIndex, A_long>> expected = {
        {0, 0}, {3, 10003}, {3, 3}, {5, 10005}, {5, 5}};
    EXPECT_EQ(ids(), expected);
    const PF_LRect empty{0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&checkouts[1].rect, &empty, sizeof empty), 0);
    EXPECT_EQ(std::memcmp(&checkouts[3].rect, &empty, sizeof empty), 0);
}

// An effect that wants more of the source than the host asks for gets a probe with id 9999
// first; the real checkout (id 0) asks for the grown rectangle, clipped to the frame.
TEST_F(SmartPreRender, AGrownSourceRequestIsProbedWithId9999First) {
    effect.grow_source = 12;
    ASSERT_EQ(preRender(), PF_Err_NONE);
    const std::vector<std::pair<PF_ParamIndex, A_long>> expected = {
        {0, 9999}, {0, 0}, {3, 10003}, {3, 3}, {5, 10005}, {5, 5}};
    EXPECT_EQ(ids(), expected);
    // The second hook call grows the clipped request again: 10 - 12 .. 30 + 12, 12 - 12 .. 28
    // + 12.
    EXPECT_EQ(checkouts[1].rect.left, -2);
    EXPECT_EQ(checkouts[1].rect.top, 0);
    EXPECT_EQ(checkouts[1].rect.right, 42);
    EXPECT_EQ(checkouts[1].rect.bottom, 40);
}

// "Returns extra pixels" is set exactly when the output rectangle reaches beyond the host's
// request; the output is never reported solid.
TEST_F(SmartPreRender, ExtraPixelsAreFlaggedOnlyWhenTheOutputGrowsAndNothingIsSolid) {
    ASSERT_EQ(preRender(), PF_Err_NONE);
    EXPECT_EQ(output.flags, 0);
    EXPECT_FALSE(output.solid);
    EXPECT_EQ(output.result_rect.left, 10);
    EXPECT_EQ(output.result_rect.right, 30);
    EXPECT_EQ(output.max_result_rect.right, 64);
    EXPECT_EQ(output.max_result_rect.bottom, 48);

    TwoLayerHost growing;
    growing.grow_output = 4;
    output = PF_PreRenderOutput{};
    output.solid = true;
    ASSERT_EQ(growing.dispatch(PF_Cmd_SMART_PRE_RENDER, &host.in_data, &host.out_data,
                               host.paramList(), nullptr, &extra),
              PF_Err_NONE);
    EXPECT_EQ(output.flags, PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS);
    EXPECT_FALSE(output.solid);
    EXPECT_EQ(output.result_rect.left, 6);
    EXPECT_EQ(output.result_rect.top, 8);
    EXPECT_EQ(output.result_rect.right, 34);
    EXPECT_EQ(output.result_rect.bottom, 32);

    // Shrinking stays inside the request: no flag.
    TwoLayerHost shrinking;
    shrinking.grow_output = -3;
    output = PF_PreRenderOutput{};
    ASSERT_EQ(shrinking.dispatch(PF_Cmd_SMART_PRE_RENDER, &host.in_data, &host.out_data,
                                 host.paramList(), nullptr, &extra),
              PF_Err_NONE);
    EXPECT_EQ(output.flags, 0);
    EXPECT_EQ(output.result_rect.left, 13);
}

// The layer records live in a host handle: when it cannot be had or locked, smart pre-render
// ends with out of memory (4) before any helper layer is checked out.
TEST_F(SmartPreRender, AnUnusablePreRenderDataHandleIsOutOfMemory) {
    host.refuse_handles = true;
    EXPECT_EQ(preRender(), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(output.pre_render_data, nullptr);
    ASSERT_EQ(checkouts.size(), 1u);
    EXPECT_EQ(checkouts[0].index, 0);

    host.refuse_handles = false;
    host.refuse_locks = true;
    checkouts.clear();
    TwoLayerHost again;
    output = PF_PreRenderOutput{};
    EXPECT_EQ(again.dispatch(PF_Cmd_SMART_PRE_RENDER, &host.in_data, &host.out_data,
                             host.paramList(), nullptr, &extra),
              PF_Err_OUT_OF_MEMORY);
    // The handle was made: it is the host's to dispose of now.
    EXPECT_NE(output.pre_render_data, nullptr);
    EXPECT_EQ(checkouts.size(), 1u);
}

PF_EffectWorld input_world{};
PF_EffectWorld output_world{};
PF_Err checkoutPixels(PF_ProgPtr, A_long, PF_EffectWorld** pixels) {
    *pixels = &input_world;
    return PF_Err_NONE;
}
PF_Err checkoutOutput(PF_ProgPtr, PF_EffectWorld** out) {
    *out = &output_world;
    return PF_Err_NONE;
}

// Smart render reads the records smart pre-render left: no handle, or one too short for the
// helper layers' records, is out of memory and renders nothing.
TEST(SmartRender, AnUnusablePreRenderDataHandleIsOutOfMemory) {
    AETestHost host;
    host.setParameterCount(6);
    PF_SmartRenderCallbacks callbacks{};
    callbacks.checkout_layer_pixels = &checkoutPixels;
    callbacks.checkout_output = &checkoutOutput;
    PF_SmartRenderInput input{};
    input.bitdepth = 8;
    PF_SmartRenderExtra extra{&input, &callbacks};
    const auto render = [&](void* pre_render_data) {
        input.pre_render_data = pre_render_data;
        TwoLayerHost effect;
        return effect.dispatch(PF_Cmd_SMART_RENDER, &host.in_data, &host.out_data, host.paramList(),
                               nullptr, &extra);
    };
    EXPECT_EQ(render(nullptr), PF_Err_OUT_OF_MEMORY);
    PF_Handle short_handle = host.utils.host_new_handle(sizeof(LayerRecord));
    EXPECT_EQ(render(short_handle), PF_Err_OUT_OF_MEMORY);
    PF_Handle handle = host.utils.host_new_handle(2 * sizeof(LayerRecord));
    std::memset(host.utils.host_lock_handle(handle), 0, 2 * sizeof(LayerRecord));
    host.utils.host_unlock_handle(handle);
    EXPECT_EQ(render(handle), PF_Err_NONE);
    host.utils.host_dispose_handle(short_handle);
    host.utils.host_dispose_handle(handle);
    EXPECT_EQ(host.unknownHandleCalls(), 0);
}

}  // namespace
