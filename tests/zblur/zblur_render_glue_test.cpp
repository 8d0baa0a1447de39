#include <gtest/gtest.h>

#include <vector>

#include "AE_ChannelSuites.h"
#include "tests/support/ae_test_host.h"
#include "tests/zblur/fake_depth_channel.h"
#include "tests/support/padded_image.h"
#include "zblur/zblur_ae_host.h"
#include "tests/zblur/zblur_test_parameters.h"

namespace {

// What the parameter callbacks saw: checked-out positions and checked-in ids, in order.
struct CallLog {
    std::vector<int32_t> checkouts;
    std::vector<A_long> checkin_ids;
    std::vector<A_long> times;
    int32_t fail_at = -1;  // the checkout with this index (0-based) fails
};
CallLog* call_log = nullptr;

PF_Err recordCheckout(PF_ProgPtr, PF_ParamIndex index, A_long time, A_long, A_u_long,
                      PF_ParamDef* param) {
    AETestHost& host = *AETestHost::current();
    if (call_log->fail_at == int32_t(call_log->checkouts.size())) {
        call_log->checkouts.push_back(-index);
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    call_log->checkouts.push_back(index);
    call_log->times.push_back(time);
    *param = host.parameters[size_t(index)];
    return PF_Err_NONE;
}

PF_Err recordCheckin(PF_ProgPtr, PF_ParamDef* param) {
    call_log->checkin_ids.push_back(param->uu.id);
    return PF_Err_NONE;
}

const std::vector<int32_t> kCheckoutOrder = {1,  3,  7,  20, 22, 21, 19, 23, 18, 9,  10, 11, 4,
                                             12, 13, 6,  26, 36, 37, 38, 39, 43, 44, 45, 46, 29,
                                             30, 31, 32, 40, 47, 33, 51, 52, 53, 54, 5};

class ZblurRenderGlue : public ::testing::Test {
protected:
    ZblurRenderGlue()
        : channel(host), source_pixels(11, 7), output_pixels(11, 7), depth_pixels(11, 7) {
        setZblurDefaults(host);
        call_log = &log;
        host.in_data.inter.checkout_param = &recordCheckout;
        host.in_data.inter.checkin_param = &recordCheckin;
        host.in_data.current_time = 48;
        host.in_data.time_step = 2;
        source_pixels.fillPixels(0x40);
        output_pixels.fillPixels(0);
        depth_pixels.fillPixels(0x10);
        effect.command.in_data = &host.in_data;
        effect.command.out_data = &host.out_data;
        effect.command.params = host.paramList();
        source = image(source_pixels);
        output = image(output_pixels);
        layers["zbuffer layer"] = LayerImage{};
        layers["selection layer"] = LayerImage{};
        layers["lens layer"] = LayerImage{};
    }
    ~ZblurRenderGlue() override { call_log = nullptr; }

    static LayerImage image(PaddedImage<PixelRGBA16>& pixels) {
        LayerImage layer;
        layer.data = pixels.array().data;
        layer.width = pixels.width();
        layer.height = pixels.height();
        layer.row_bytes = pixels.rowBytes();
        layer.bits = 16;
        layer.full_width = pixels.width();
        layer.full_height = pixels.height();
        layer.present = true;
        return layer;
    }

    PF_Err render() { return effect.render16(source, output, layers); }

    // The ids of the checked-out parameters, last first.
    std::vector<A_long> reversedIds(size_t count) {
        std::vector<A_long> ids;
        for (size_t i = count; i-- > 0;) {
            ids.push_back(host.parameters[size_t(kCheckoutOrder[i])].uu.id);
        }
        return ids;
    }

    AETestHost host;
    FakeDepthChannel channel;
    CallLog log;
    ZblurAEHost effect;
    PaddedImage<PixelRGBA16> source_pixels;
    PaddedImage<PixelRGBA16> output_pixels;
    PaddedImage<PixelRGBA16> depth_pixels;
    LayerImage source;
    LayerImage output;
    LayerMap layers;
};

TEST_F(ZblurRenderGlue, ParametersInTheirOrderAndBackInReverse) {
    ASSERT_EQ(render(), PF_Err_NONE);
    EXPECT_EQ(log.checkouts, kCheckoutOrder);
    EXPECT_EQ(log.checkin_ids, reversedIds(kCheckoutOrder.size()));
    for (const A_long t : log.times) EXPECT_EQ(t, 48);
    EXPECT_EQ(host.outstandingSuites(kPFChannelSuite1), 0);
    EXPECT_EQ(host.liveHandles(), 0);
}

TEST_F(ZblurRenderGlue, AFailingCheckoutEndsTheRender) {
    for (const int32_t fail_at : {0, 5, 36}) {
        log = CallLog{};
        log.fail_at = fail_at;
        EXPECT_EQ(render(), PF_Err_INTERNAL_STRUCT_DAMAGED) << fail_at;
        // Those checked out before are checked in, in reverse.
        EXPECT_EQ(log.checkin_ids, reversedIds(size_t(fail_at))) << fail_at;
        EXPECT_EQ(channel.lookups, 0);
    }
}

// Without a depth layer the input's depth channel is checked out at the current time and
// checked in after the render, before the parameters.
TEST_F(ZblurRenderGlue, DepthChannelCheckedOutAndIn) {
    channel.setValues<float>(11, 7, std::vector<float>(77, 3.0f));
    ASSERT_EQ(render(), PF_Err_NONE);
    EXPECT_EQ(channel.checkouts, 1);
    EXPECT_EQ(channel.checkins, 1);
    EXPECT_EQ(channel.checkout_time, 48);
    EXPECT_EQ(host.outstandingSuites(kPFChannelSuite1), 0);

    channel.checkout_error = PF_Err_OUT_OF_MEMORY;
    EXPECT_EQ(render(), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(channel.checkins, 1);
    EXPECT_EQ(host.outstandingSuites(kPFChannelSuite1), 0);
}

// A connected depth layer wins: the channel is not even looked up. A missing suite or channel
// is no error.
TEST_F(ZblurRenderGlue, DepthLayerBeforeChannel) {
    channel.setValues<double>(11, 7, std::vector<double>(77, 1.0));
    layers["zbuffer layer"] = image(depth_pixels);
    ASSERT_EQ(render(), PF_Err_NONE);
    EXPECT_EQ(channel.lookups, 0);
    layers["zbuffer layer"] = LayerImage{};
    host.denySuite(kPFChannelSuite1);
    EXPECT_EQ(render(), PF_Err_NONE);
    EXPECT_EQ(channel.lookups, 0);
    EXPECT_EQ(channel.checkouts, 0);
}

}  // namespace
