#include "zblur/depth_display_filters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/support/padded_image.h"
#include "tests/support/test_host.h"

namespace {

// The shaped depth written out: normalise (black maps to 0, white to 1), invert, clamp, index,
// power.
double shapedDepth(double raw, const ZblurSettings& s) {
    double o = std::isnan(raw) ? 0.0 : (raw - s.black) / (s.white - s.black);
    if (std::isnan(o)) o = 0.0;
    o = std::clamp(o, 0.0, 1.0);
    if (s.invert) o = 1.0 - o;
    const int32_t index = int32_t(o * 32767.0);
    return double(float(std::pow(index / 32767.0, s.curve)));
}

template <class D>
void fillDepth(PaddedImage<D>& depth) {
    for (int32_t y = 0; y < depth.height(); ++y) {
        for (int32_t x = 0; x < depth.width(); ++x) {
            const double v = 0.05 + 0.9 * double((x * 7 + y * 13) % 23) / 22.0;
            if constexpr (D::is_gray) {
                gray_of(depth.at(x, y)) = typename D::channel_type(-20.0 + 100.0 * v);
            } else {
                alpha_of(depth.at(x, y)) = store_channel<D>(D::max);
                red_of(depth.at(x, y)) = store_channel<D>(v * D::max);
                green_of(depth.at(x, y)) = store_channel<D>(0.5 * D::max);
                blue_of(depth.at(x, y)) = store_channel<D>(0.1 * D::max);
            }
        }
    }
}

template <class P>
void fillSource(PaddedImage<P>& source) {
    for (int32_t y = 0; y < source.height(); ++y) {
        for (int32_t x = 0; x < source.width(); ++x) {
            P& p = source.at(x, y);
            alpha_of(p) = store_channel<P>(((x + 2 * y) % 5) / 4.0 * P::max);
            red_of(p) = store_channel<P>(((3 * x + y) % 7) / 6.0 * P::max);
            green_of(p) = store_channel<P>(((x * y) % 4) / 3.0 * P::max);
            blue_of(p) = store_channel<P>(0.3 * P::max);
        }
    }
}

// The raw depth that the depth image holds at its own pixel (dx, dy), or 0 outside.
template <class D>
double rawDepth(PaddedImage<D>& depth, int32_t dx, int32_t dy) {
    if (dx < 0 || dy < 0 || dx >= depth.width() || dy >= depth.height()) return 0.0;
    if constexpr (D::is_gray) {
        return double(gray_of(depth.at(dx, dy)));
    } else {
        return double(red_of(depth.at(dx, dy))) / D::max;
    }
}

template <class D>
ZblurSettings settingsFor() {
    ZblurSettings s;
    if constexpr (D::is_gray) {
        s.black = -10.0;
        s.white = 70.0;
    }
    s.curve = 1.7;
    s.focal = 120.0;
    s.radius = 2.0;
    s.aspect = 0.1;
    return s;
}

template <class Pair>
class DepthDisplays : public ::testing::Test {};

template <class P, class D>
struct Types {
    using Output = P;
    using Depth = D;
};

using DisplayTypes =
    ::testing::Types<Types<PixelRGBA8, PixelRGBA8>, Types<PixelRGBA8, PixelGrayFloat>,
                     Types<PixelRGBA8, PixelGrayDouble>, Types<PixelRGBA16, PixelRGBA16>,
                     Types<PixelRGBA16, PixelGrayFloat>, Types<PixelRGBA16, PixelGrayDouble>,
                     Types<PixelRGBAFloat, PixelRGBAFloat>, Types<PixelRGBAFloat, PixelGrayFloat>,
                     Types<PixelRGBAFloat, PixelGrayDouble>>;
TYPED_TEST_SUITE(DepthDisplays, DisplayTypes);

// Output, source and depth at three different origins: the output (9 x 7 at (3, 2)) reads
// the depth (8 x 6 at (1, 3)) and the source (10 x 5 at (4, 1)) where they overlap.
TYPED_TEST(DepthDisplays, DepthBufferIsOpaqueShapedGray) {
    using P = typename TypeParam::Output;
    using D = typename TypeParam::Depth;
    for (const bool invert : {false, true}) {
        PaddedImage<D> depth_image(8, 6);
        fillDepth(depth_image);
        PaddedImage<P> out_image(9, 7);
        out_image.fillPixels(0x3C);
        PixelArray<D> depth = depth_image.array();
        depth.origin_x = 1;
        depth.origin_y = 3;
        PixelArray<P> output = out_image.array();
        output.origin_x = 3;
        output.origin_y = 2;
        ZblurSettings s = settingsFor<D>();
        s.invert = invert;
        std::vector<float> c(kDepthTableSize);
        fill_curve_table(c.data(), s.curve);

        TestHost host(3);
        DepthBufferDisplayFilter<P, D> filter(&host, output, depth, s, c.data());
        ASSERT_EQ(filter.render(0, 1), host.noError());
        for (int32_t y = 0; y < 7; ++y) {
            for (int32_t x = 0; x < 9; ++x) {
                const double shaped = shapedDepth(rawDepth(depth_image, x + 2, y - 1), s);
                const double gray =
                    P::is_float ? double(float(shaped)) : std::trunc(shaped * P::max);
                const P& p = out_image.at(x, y);
                ASSERT_EQ(double(alpha_of(p)), P::max) << x << "," << y;
                ASSERT_NEAR(double(red_of(p)), gray, P::is_float ? 1e-7 : 0.0) << x << "," << y;
                ASSERT_EQ(red_of(p), green_of(p));
                ASSERT_EQ(red_of(p), blue_of(p));
            }
        }
        EXPECT_TRUE(out_image.spareBytesUntouched());
        EXPECT_TRUE(depth_image.spareBytesUntouched());
        EXPECT_EQ(host.reports().size(), 7u);
    }
}

TYPED_TEST(DepthDisplays, SharpZoneBrightensWhatStaysSharp) {
    using P = typename TypeParam::Output;
    using D = typename TypeParam::Depth;
    PaddedImage<D> depth_image(8, 6);
    fillDepth(depth_image);
    PaddedImage<P> source_image(10, 5);
    fillSource(source_image);
    PaddedImage<P> out_image(9, 7);
    out_image.fillPixels(0x3C);
    PixelArray<D> depth = depth_image.array();
    depth.origin_x = 1;
    depth.origin_y = 3;
    PixelArray<P> source = source_image.array();
    source.origin_x = 4;
    source.origin_y = 1;
    PixelArray<P> output = out_image.array();
    output.origin_x = 3;
    output.origin_y = 2;
    const ZblurSettings s = settingsFor<D>();
    std::vector<float> c(kDepthTableSize);
    fill_curve_table(c.data(), s.curve);

    TestHost host(2);
    SharpZoneDisplayFilter<P, D> filter(&host, source, output, depth, s, c.data());
    ASSERT_EQ(filter.render(0, 1), host.noError());
    int32_t sharp_pixels = 0;
    for (int32_t y = 0; y < 7; ++y) {
        for (int32_t x = 0; x < 9; ++x) {
            double level = shapedDepth(rawDepth(depth_image, x + 2, y - 1), s) * 255.0;
            if (!P::is_float) level = std::trunc(level);
            const double w = std::abs(level - s.focal) * s.radius / 255.0 + 1.0;
            const bool sharp = w * (1 + s.aspect) <= 1.5 && w * (1 - s.aspect) <= 1.5;
            sharp_pixels += sharp ? 1 : 0;
            // The source pixel under output (x, y), transparent black outside the source.
            const int32_t sx = x - 1;
            const int32_t sy = y + 1;
            double v[4] = {0, 0, 0, 0};
            if (sx >= 0 && sy >= 0 && sx < 10 && sy < 5) {
                const P& in = source_image.at(sx, sy);
                v[0] = double(alpha_of(in)) / P::max;
                v[1] = double(red_of(in)) / P::max;
                v[2] = double(green_of(in)) / P::max;
                v[3] = double(blue_of(in)) / P::max;
            }
            const P& p = out_image.at(x, y);
            const double got[4] = {double(alpha_of(p)), double(red_of(p)), double(green_of(p)),
                                   double(blue_of(p))};
            for (int32_t k = 0; k < 4; ++k) {
                double e = k == 0 ? v[0] : sharp ? (v[k] - 1.0) * 0.5 + 1.0 : v[k] * 0.5;
                e = std::clamp(e, 0.0, 1.0) * P::max;
                if (!P::is_float) e = std::trunc(e + 1e-9);
                ASSERT_NEAR(got[k], e, P::is_float ? 1e-6 : 1.0) << x << "," << y << " " << k;
            }
        }
    }
    // The scene has both kinds of pixel.
    EXPECT_GT(sharp_pixels, 0);
    EXPECT_LT(sharp_pixels, 63);
    EXPECT_TRUE(out_image.spareBytesUntouched());
    EXPECT_TRUE(source_image.spareBytesUntouched());
}

// A cancel from the host is the filters' result.
TEST(DepthDisplayCancel, AbortIsReturned) {
    PaddedImage<PixelRGBA16> out_image(5, 40);
    TestHost host(2);
    host.abortAfter(3);
    std::vector<float> c(kDepthTableSize);
    fill_curve_table(c.data(), 1.0);
    DepthBufferDisplayFilter<PixelRGBA16, PixelGrayFloat> filter(
        &host, out_image.array(), PixelArray<PixelGrayFloat>(), ZblurSettings{}, c.data());
    EXPECT_EQ(filter.render(0, 1), host.abortError());
    SharpZoneDisplayFilter<PixelRGBA16, PixelGrayFloat> sharp(
        &host, out_image.array(), out_image.array(), PixelArray<PixelGrayFloat>(), ZblurSettings{},
        c.data());
    EXPECT_EQ(sharp.render(0, 1), host.abortError());
}

// NaN and infinite depths shape like the ends of the range.
TEST(DepthDisplayValues, NotANumberDepth) {
    PaddedImage<PixelGrayFloat> depth_image(3, 1);
    gray_of(depth_image.at(0, 0)) = std::numeric_limits<float>::quiet_NaN();
    gray_of(depth_image.at(1, 0)) = std::numeric_limits<float>::infinity();
    gray_of(depth_image.at(2, 0)) = -std::numeric_limits<float>::infinity();
    PaddedImage<PixelRGBA8> out_image(3, 1);
    ZblurSettings s;
    s.black = 0.0;
    s.white = 10.0;
    std::vector<float> c(kDepthTableSize);
    fill_curve_table(c.data(), 1.0);
    TestHost host(1);
    DepthBufferDisplayFilter<PixelRGBA8, PixelGrayFloat> filter(&host, out_image.array(),
                                                                depth_image.array(), s, c.data());
    ASSERT_EQ(filter.render(0, 1), host.noError());
    EXPECT_EQ(red_of(out_image.at(0, 0)), 0);
    EXPECT_EQ(red_of(out_image.at(1, 0)), 255);
    EXPECT_EQ(red_of(out_image.at(2, 0)), 0);
}

}  // namespace
