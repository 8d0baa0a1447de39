#include "imaging/hsl_range_selection_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <type_traits>

#include "tests/support/padded_image.h"
#include "tests/support/test_host.h"

namespace {

constexpr int kA = 0;

template <class P>
P random_straight_pixel(std::mt19937& rng) {
    using T = typename P::channel_type;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    P p{};
    for (int c = 0; c < 4; ++c) {
        double v = unit(rng) * P::max_value;
        if (!std::is_floating_point_v<T>) v = std::floor(v);
        p.channel[c] = T(v);
    }
    return p;
}

SelectionSettings varied_settings() {
    SelectionSettings s;
    s.enabled = true;
    s.hue_start = 0.1;
    s.hue_end = 0.7;
    s.hue_climax = 0.0;
    s.hue_soften = 0.5;
    s.saturation_start = 0.0;
    s.saturation_end = 1.0;
    s.saturation_climax = 1.0;
    s.lightness_start = 0.15;
    s.lightness_end = 0.9;
    s.lightness_climax = 0.2;
    s.lightness_soften = 1.5;
    return s;
}

template <class P>
class HslRangeSelectionFilterTest : public ::testing::Test {};
using SelectionPixels = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(HslRangeSelectionFilterTest, SelectionPixels);

// The output of every mode against a per-pixel composition written here; the weight itself
// is checked on its own in hsl_selection_test.cpp.
TYPED_TEST(HslRangeSelectionFilterTest, MatchesPerPixelReference) {
    using P = TypeParam;
    using T = typename P::channel_type;
    const double max = P::max_value;
    std::mt19937 rng(3);
    const int32_t ow = 9, oh = 7, sw = 8, sh = 6, lw = 5, lh = 6;
    for (bool enabled : {true, false}) {
        for (bool show : {true, false}) {
            for (bool selection_premultiplied : {false, true}) {
                PaddedImage<P> src(sw, sh), sel(lw, lh), out(ow, oh);
                for (int32_t y = 0; y < sh; ++y)
                    for (int32_t x = 0; x < sw; ++x) src.at(x, y) = random_straight_pixel<P>(rng);
                for (int32_t y = 0; y < lh; ++y)
                    for (int32_t x = 0; x < lw; ++x) sel.at(x, y) = random_straight_pixel<P>(rng);
                out.fillPixels(0x3C);
                PixelArray<P> out_array = out.array();
                out_array.origin_x = 10;
                out_array.origin_y = -4;
                PixelArray<P> sel_array = sel.array(selection_premultiplied);
                sel_array.origin_x = 12;  // output column x weighs selection column x - 2
                sel_array.origin_y = -3;  // output row y weighs selection row y - 1
                TestHost host(3);
                HslRangeSelectionFilter<P> filter(&host, src.array(), out_array, sel_array);
                filter.settings = varied_settings();
                filter.settings.enabled = enabled;
                filter.settings.show_selection = show;
                ASSERT_EQ(filter.render(0, 1), host.noError());
                const PreparedSelection prepared = prepare_selection(filter.settings);
                int32_t weighted = 0;
                for (int32_t y = 0; y < oh; ++y) {
                    for (int32_t x = 0; x < ow; ++x) {
                        const bool inside = x < sw && y < sh;
                        double v[4] = {0, 0, 0, 0};
                        if (inside) {
                            const double a = double(src.at(x, y).channel[kA]);
                            for (int c = 0; c < 4; ++c)
                                v[c] = double(src.at(x, y).channel[c]) * (a / max);
                        }
                        double want[4];
                        if (enabled) {
                            const int32_t xs = x - 2, ys = y - 1;
                            double w = 0.0;
                            if (xs >= 0 && ys >= 0 && xs < lw && ys < lh) {
                                P p = sel.at(xs, ys);
                                if (!selection_premultiplied) premultiply_in_place(p);
                                w = selection_weight(prepared, p);
                            }
                            weighted += w > 0.0 && w < 1.0;
                            want[0] = show ? v[0] : v[0] * w;
                            for (int c = 1; c < 4; ++c) want[c] = show ? w * max : v[c] * w;
                        } else {
                            for (int c = 0; c < 4; ++c)
                                want[c] = inside ? (show ? max : v[c]) : 0.0;
                        }
                        for (int c = 0; c < 4; ++c) {
                            const T expected =
                                std::is_floating_point_v<T> ? T(want[c]) : T(std::trunc(want[c]));
                            ASSERT_EQ(out.at(x, y).channel[c], expected)
                                << "pixel " << x << "," << y << " channel " << c << " enabled "
                                << enabled << " show " << show << " premultiplied selection "
                                << selection_premultiplied;
                        }
                    }
                }
                if (enabled) {
                    EXPECT_GT(weighted, 3);
                }
                EXPECT_TRUE(out.spareBytesUntouched());
                EXPECT_EQ(host.reports().size(), size_t(oh));
            }
        }
    }
}

TEST(HslRangeSelectionFilter, DisabledShowSelectionIsWhiteInsideTheSource) {
    PaddedImage<PixelRGBA8> src(2, 2), out(3, 3);
    src.fillPixels(10);
    out.fillPixels(77);
    TestHost host;
    HslRangeSelectionFilter<PixelRGBA8> filter(&host, src.array(), out.array(), src.array());
    filter.settings.show_selection = true;
    ASSERT_EQ(filter.render(0, 1), host.noError());
    for (int32_t y = 0; y < 3; ++y) {
        for (int32_t x = 0; x < 3; ++x) {
            const int want = x < 2 && y < 2 ? 255 : 0;
            for (int c = 0; c < 4; ++c) EXPECT_EQ(out.at(x, y).channel[c], want) << x << "," << y;
        }
    }
}

TEST(HslRangeSelectionFilter, BrightPixelsPassAndDarkOnesVanish) {
    // The default ranges select lightness from 200/255 up, whatever the hue.
    PaddedImage<PixelRGBA8> src(2, 1), out(2, 1);
    src.at(0, 0) = PixelRGBA8{{255, 255, 255, 220}};
    src.at(1, 0) = PixelRGBA8{{255, 40, 90, 30}};
    TestHost host;
    SelectionSettings s;
    s.enabled = true;
    s.hue_end = 1.0;
    s.hue_climax = 1.0;
    s.saturation_end = 1.0;
    s.saturation_climax = 1.0;
    s.lightness_start = 200.0 / 255.0;
    s.lightness_end = 1.0;
    s.lightness_climax = 1.0;
    HslRangeSelectionFilter<PixelRGBA8> picture(&host, src.array(), out.array(), src.array());
    picture.settings = s;
    ASSERT_EQ(picture.render(0, 1), host.noError());
    EXPECT_EQ(out.at(0, 0).channel[0], 255);
    EXPECT_EQ(out.at(0, 0).channel[3], 220);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(out.at(1, 0).channel[c], 0);

    HslRangeSelectionFilter<PixelRGBA8> shown(&host, src.array(), out.array(), src.array());
    shown.settings = s;
    shown.settings.show_selection = true;
    ASSERT_EQ(shown.render(0, 1), host.noError());
    EXPECT_EQ(out.at(0, 0).channel[1], 255);
    EXPECT_EQ(out.at(1, 0).channel[0], 255);
    EXPECT_EQ(out.at(1, 0).channel[1], 0);
}

TEST(HslRangeSelectionFilter, CancelReturnsTheAbortStatus) {
    PaddedImage<PixelRGBAFloat> src(4, 50), out(4, 50);
    TestHost host(4);
    host.abortAfter(5);
    HslRangeSelectionFilter<PixelRGBAFloat> filter(&host, src.array(), out.array(), src.array());
    EXPECT_EQ(filter.render(0, 1), host.abortError());
}

}  // namespace
