#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "AE_EffectSuites.h"
#include "tests/support/ae_test_host.h"
#include "zblur/depth_picker.h"
#include "tests/zblur/fake_depth_channel.h"
#include "imaging/pixel_conversion.h"
#include "zblur/zblur_ae_host.h"
#include "tests/zblur/zblur_test_parameters.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

int64_t fake_now = 0;
int64_t fakeClock() { return fake_now; }

PF_PixelFormat world_format = PF_PixelFormat_ARGB32;
PF_Err getPixelFormat(const PF_EffectWorld*, PF_PixelFormat* format) {
    *format = world_format;
    return PF_Err_NONE;
}

class ZblurUserChanged : public ::testing::Test {
protected:
    ZblurUserChanged() : channel(host) {
        setZblurDefaults(host);
        fake_now = 100000;
        DepthPickerState::instance().resetForTest(&fakeClock);
        host.world_suite.PF_GetPixelFormat = &getPixelFormat;
        host.in_data.width = 8;
        host.in_data.height = 6;
    }
    ~ZblurUserChanged() override { DepthPickerState::instance().resetForTest(nullptr); }

    PF_ParamDef& param(int32_t position) { return host.parameters[size_t(position)]; }

    PF_Err change(int32_t position) {
        for (PF_ParamDef& p : host.parameters) p.uu.change_flags = 0;
        PF_UserChangedParamExtra extra{position};
        ZblurAEHost effect;
        return effect.dispatch(PF_Cmd_USER_CHANGED_PARAM, &host.in_data, &host.out_data,
                               host.paramList(), nullptr, &extra);
    }

    bool marked(int32_t position) {
        return (param(position).uu.change_flags & PF_ChangeFlag_CHANGED_VALUE) != 0;
    }

    // Moves the picker to (x, y) in input pixels and reports it.
    PF_Err pick(double x, double y) {
        param(kZblurSelectDepth).u.td.x_value = PF_Fixed(std::lround(x * 65536.0));
        param(kZblurSelectDepth).u.td.y_value = PF_Fixed(std::lround(y * 65536.0));
        return change(kZblurSelectDepth);
    }

    template <class P>
    void connectDepthLayer(std::vector<P>& pixels, int32_t width, int32_t height) {
        PF_LayerDef& world = param(kZblurDepthLayer).u.ld;
        world.data = reinterpret_cast<PF_PixelPtr>(pixels.data());
        world.width = width;
        world.height = height;
        world.rowbytes = width * A_long(sizeof(P));
        world.world_flags = sizeof(P) == 8 ? PF_WorldFlag_DEEP : 0;
    }

    AETestHost host;
    FakeDepthChannel channel;
};

// ---- auto range ----

TEST_F(ZblurUserChanged, AutoRangeTakesTheChannelsExtremes) {
    channel.setValues<float>(3, 2, {4.5f, -2.0f, 1e18f, float(kNaN), 7.25f, -1e18f});
    param(kZblurAutoRange).u.bd.value = 1;
    EXPECT_EQ(change(kZblurAutoRange), PF_Err_NONE);
    EXPECT_EQ(param(kZblurWhitePoint).u.fs_d.value, 7.25);
    EXPECT_EQ(param(kZblurBlackPoint).u.fs_d.value, -2.0);
    EXPECT_EQ(param(kZblurAutoRange).u.bd.value, 0);
    EXPECT_TRUE(marked(kZblurWhitePoint));
    EXPECT_TRUE(marked(kZblurBlackPoint));
    EXPECT_TRUE(marked(kZblurAutoRange));
    EXPECT_FALSE(marked(kZblurFocalPoint));
    EXPECT_EQ(channel.checkouts, 1);
    EXPECT_EQ(channel.checkins, 1);
    EXPECT_EQ(host.outstandingSuites(kPFChannelSuite1), 0);
}

TEST_F(ZblurUserChanged, AutoRangeOnDoubles) {
    channel.setValues<double>(2, 2, {1234.5, 99.125, 1e16, -3.5e5});
    EXPECT_EQ(change(kZblurAutoRange), PF_Err_NONE);
    // 1e16 counts as depth but lies beyond the slider's valid range of +-1e6.
    EXPECT_EQ(param(kZblurWhitePoint).u.fs_d.value, 1e6);
    EXPECT_EQ(param(kZblurBlackPoint).u.fs_d.value, -3.5e5);
}

// A channel of nothing but empty background (every value 1e17 or more) has no maximum: the
// white point keeps its value instead of becoming -3.4e38; the minimum is still found.
TEST_F(ZblurUserChanged, AutoRangeOnEmptyBackgroundKeepsTheWhitePoint) {
    channel.setValues<float>(2, 1, {2e17f, 5e17f});
    param(kZblurWhitePoint).u.fs_d.value = 500.0;
    change(kZblurAutoRange);
    EXPECT_EQ(param(kZblurWhitePoint).u.fs_d.value, 500.0);
    EXPECT_FALSE(marked(kZblurWhitePoint));
    // Found, and brought into the slider's valid range.
    EXPECT_EQ(param(kZblurBlackPoint).u.fs_d.value, 1e6);
    EXPECT_TRUE(marked(kZblurBlackPoint));
    EXPECT_EQ(param(kZblurAutoRange).u.bd.value, 0);
}

TEST_F(ZblurUserChanged, AutoRangeWithoutAChannelOnlyTurnsItselfOff) {
    channel.found = false;
    param(kZblurAutoRange).u.bd.value = 1;
    EXPECT_EQ(change(kZblurAutoRange), PF_Err_NONE);
    EXPECT_EQ(param(kZblurBlackPoint).u.fs_d.value, -10000.0);
    EXPECT_EQ(param(kZblurWhitePoint).u.fs_d.value, 10000.0);
    EXPECT_FALSE(marked(kZblurWhitePoint));
    EXPECT_EQ(param(kZblurAutoRange).u.bd.value, 0);
    channel.found = true;
    channel.checkout_error = PF_Err_OUT_OF_MEMORY;
    channel.setValues<float>(1, 1, {3.0f});
    EXPECT_EQ(change(kZblurAutoRange), PF_Err_NONE);
    EXPECT_FALSE(marked(kZblurBlackPoint));
    EXPECT_EQ(channel.checkins, 0);
}

// Rows that would misalign the values are not read: the channel counts as holding nothing.
TEST_F(ZblurUserChanged, MisalignedChannelRowsAreNotRead) {
    channel.row_skew = 4;
    channel.setValues<double>(2, 2, {1.0, 2.0, 3.0, 4.0});
    EXPECT_EQ(change(kZblurAutoRange), PF_Err_NONE);
    EXPECT_FALSE(marked(kZblurBlackPoint));
    EXPECT_FALSE(marked(kZblurWhitePoint));
    EXPECT_EQ(channel.checkouts, channel.checkins);
    channel.row_skew = 8;
    channel.setValues<double>(2, 2, {1.0, 2.0, 3.0, 4.0});
    EXPECT_EQ(change(kZblurAutoRange), PF_Err_NONE);
    EXPECT_EQ(param(kZblurBlackPoint).u.fs_d.value, 1.0);
    EXPECT_EQ(param(kZblurWhitePoint).u.fs_d.value, 4.0);
}

TEST_F(ZblurUserChanged, SettingTheRangeByHandTurnsAutoRangeOff) {
    for (const int32_t position : {kZblurBlackPoint, kZblurWhitePoint}) {
        param(kZblurAutoRange).u.bd.value = 1;
        EXPECT_EQ(change(position), PF_Err_NONE);
        EXPECT_EQ(param(kZblurAutoRange).u.bd.value, 0);
        EXPECT_TRUE(marked(kZblurAutoRange));
    }
    param(kZblurAutoRange).u.bd.value = 1;
    change(kZblurRadius);
    EXPECT_EQ(param(kZblurAutoRange).u.bd.value, 1);
    EXPECT_FALSE(marked(kZblurAutoRange));
    // Nothing else was looked at.
    EXPECT_EQ(channel.lookups, 0);
}

// ---- select depth ----

// The expected focal point: trunc(u^curve * 255) with u the table step of the normalised
// depth, written out.
double expectedFocal(double raw, double black, double white, bool invert, double curve) {
    // Either way round, black maps to 0 and white to 1.
    const double o_unclamped = (raw - black) / (white - black);
    double o = std::clamp(o_unclamped, 0.0, 1.0);
    if (invert) o = 1.0 - o;
    const double u = double(int32_t(o * 32767.0)) * 0.00003051850947599719;
    return std::floor(std::pow(u, curve) * 255.0);
}

TEST_F(ZblurUserChanged, PickFromAnEightBitDepthLayer) {
    // A 4 x 3 layer on an 8 x 6 input: input pixel (x, y) picks layer pixel (x / 2, y / 2).
    std::vector<PixelRGBA8> pixels(12);
    for (int32_t i = 0; i < 12; ++i) {
        alpha_of(pixels[size_t(i)]) = 255;
        red_of(pixels[size_t(i)]) = uint8_t(20 * i);
        green_of(pixels[size_t(i)]) = uint8_t(250 - 20 * i);
        blue_of(pixels[size_t(i)]) = 77;
    }
    connectDepthLayer(pixels, 4, 3);
    param(kZblurCurve).u.fs_d.value = 1.5;
    EXPECT_EQ(pick(5.5, 3.9), PF_Err_NONE);  // layer (2, 1): index 6
    EXPECT_TRUE(marked(kZblurFocalPoint));
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, expectedFocal(120 / 255.0, 0, 1, false, 1.5));

    param(kZblurTakeDepthFrom).u.pd.value = 4;  // green
    param(kZblurInvert).u.bd.value = 1;
    fake_now += 1000;
    EXPECT_EQ(pick(7.0, 5.0), PF_Err_NONE);  // layer (3, 2): index 11
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, expectedFocal(30 / 255.0, 0, 1, true, 1.5));
    // The depth layer was checked out and in for each pick.
    EXPECT_EQ(host.checkouts.load(), 2);
    EXPECT_EQ(host.checkins.load(), 2);
    // The mapped point is truncated toward zero: half a layer pixel left of the input still
    // reads column 0 (layer (0, 1): index 4, inverted green), a whole one reads nothing and
    // gives 0.
    fake_now += 1000;
    EXPECT_EQ(pick(-1.0, 2.0), PF_Err_NONE);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, expectedFocal(170 / 255.0, 0, 1, true, 1.5));
    fake_now += 1000;
    EXPECT_EQ(pick(-2.5, 2.0), PF_Err_NONE);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, 0.0);
}

TEST_F(ZblurUserChanged, PickFromSixteenBitAndFloatLayers) {
    std::vector<PixelRGBA16> deep(48);
    red_of(deep[size_t(3 * 8 + 5)]) = 16384;
    connectDepthLayer(deep, 8, 6);
    world_format = PF_PixelFormat_ARGB64;
    pick(5.0, 3.0);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, expectedFocal(0.5, 0, 1, false, 1.0));

    std::vector<PixelRGBAFloat> floats(48);
    blue_of(floats[size_t(1 * 8 + 2)]) = 0.25f;
    connectDepthLayer(floats, 8, 6);
    param(kZblurTakeDepthFrom).u.pd.value = 5;
    world_format = PF_PixelFormat_ARGB128;
    pick(2.0, 1.0);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, expectedFocal(0.25, 0, 1, false, 1.0));
    world_format = PF_PixelFormat_ARGB32;

    // Without the world suite the world's deep flag decides.
    host.world_suite.PF_GetPixelFormat = nullptr;
    connectDepthLayer(deep, 8, 6);
    param(kZblurTakeDepthFrom).u.pd.value = 1;
    pick(5.0, 3.0);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, expectedFocal(0.5, 0, 1, false, 1.0));
}

TEST_F(ZblurUserChanged, PickFromTheDepthChannelUsesTheRange) {
    // The channel is half the input's size.
    channel.setValues<double>(4, 3, {0, 1, 2, 3, 10, 20, 30, 40, -5, 50, 500, 5000});
    param(kZblurBlackPoint).u.fs_d.value = 5.0;
    param(kZblurWhitePoint).u.fs_d.value = 45.0;
    pick(4.0, 2.0);  // channel (2, 1) = 30
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, expectedFocal(30.0, 5, 45, false, 1.0));
    // A reversed range reads the same ramp backwards.
    param(kZblurBlackPoint).u.fs_d.value = 45.0;
    param(kZblurWhitePoint).u.fs_d.value = 5.0;
    pick(2.0, 3.0);  // channel (1, 1) = 20
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, expectedFocal(20.0, 45, 5, false, 1.0));
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, std::floor(0.625 * 255.0));
    EXPECT_EQ(channel.checkouts, channel.checkins);
    EXPECT_EQ(host.checkouts.load(), host.checkins.load());
}

TEST_F(ZblurUserChanged, PickWithoutDepthFocusesTheLevelEveryPixelHas) {
    channel.found = false;
    param(kZblurFocalPoint).u.fs_d.value = 100.0;
    pick(1.0, 1.0);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, 0.0);
    param(kZblurInvert).u.bd.value = 1;
    pick(2.0, 1.0);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, 255.0);
}

// A pick within 300 ms of a change of another parameter does not move the focus; the next
// move after the quiet time does. The same point twice counts once.
TEST_F(ZblurUserChanged, QuietTimeAfterOtherChanges) {
    std::vector<PixelRGBA8> pixels(48);
    for (int32_t i = 0; i < 48; ++i) red_of(pixels[size_t(i)]) = uint8_t(5 * i);
    connectDepthLayer(pixels, 8, 6);
    param(kZblurFocalPoint).u.fs_d.value = 33.0;

    change(kZblurRadius);
    fake_now += 300;
    pick(1.0, 0.0);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, 33.0);
    EXPECT_FALSE(marked(kZblurFocalPoint));
    EXPECT_EQ(host.checkouts.load(), 0);

    fake_now += 1;
    pick(1.0, 0.0);  // the same point as before: not a move
    EXPECT_FALSE(marked(kZblurFocalPoint));
    pick(2.0, 0.0);
    EXPECT_TRUE(marked(kZblurFocalPoint));
    // Red 10 of 255 is level 9: the table index truncates first, as for the render.
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, expectedFocal(10 / 255.0, 0, 1, false, 1));
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, 9.0);

    // Changing the focal point by hand does not start a quiet time.
    change(kZblurFocalPoint);
    pick(3.0, 0.0);
    const double at_3 = expectedFocal(15 / 255.0, 0, 1, false, 1);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, at_3);
    change(kZblurCurve);
    fake_now += 200;
    pick(4.0, 0.0);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, at_3);
    fake_now += 101;
    pick(4.0, 1.0);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, expectedFocal(60 / 255.0, 0, 1, false, 1));
}

TEST_F(ZblurUserChanged, OldHostsIgnoreThePicker) {
    host.setApiVersion(12, 4);
    param(kZblurFocalPoint).u.fs_d.value = 40.0;
    EXPECT_EQ(pick(1.0, 1.0), PF_Err_NONE);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, 40.0);
    EXPECT_EQ(host.checkouts.load(), 0);
}

// The handler's result is that of the depth layer checkout.
TEST_F(ZblurUserChanged, DepthLayerCheckoutFailureIsTheResult) {
    host.in_data.inter.checkout_param = [](PF_ProgPtr, PF_ParamIndex, A_long, A_long, A_u_long,
                                           PF_ParamDef*) -> PF_Err { return PF_Err_INVALID_INDEX; };
    param(kZblurFocalPoint).u.fs_d.value = 40.0;
    EXPECT_EQ(pick(1.0, 1.0), PF_Err_INVALID_INDEX);
    EXPECT_EQ(param(kZblurFocalPoint).u.fs_d.value, 40.0);
    EXPECT_EQ(channel.checkouts, channel.checkins);
}

// ---- the range scan on its own ----

TEST(DepthRangeScanTest, RowsWithSpareBytes) {
    // Rows of 3 floats in 20 bytes; the spare bytes hold values that must not count.
    std::vector<float> memory(5 * 2, 9999.0f);
    const float values[2][3] = {{1.5f, -4.0f, 8.0f}, {0.0f, 2.0f, -1.0f}};
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 3; ++x) memory[size_t(5 * y + x)] = values[y][x];
    const DepthRangeScan scan = scanDepthRange(memory.data(), 3, 2, 20, false);
    EXPECT_TRUE(scan.has_minimum);
    EXPECT_TRUE(scan.has_maximum);
    EXPECT_EQ(scan.minimum, -4.0);
    EXPECT_EQ(scan.maximum, 8.0);
    const DepthRangeScan empty = scanDepthRange(memory.data(), 0, 2, 20, false);
    EXPECT_FALSE(empty.has_minimum);
    EXPECT_EQ(empty.maximum, -3.4028234663852886e38);
    EXPECT_EQ(empty.minimum, 3.4028234663852886e38);
}

}  // namespace
