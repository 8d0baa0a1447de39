#include "evenblur/evenblur_effect.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "evenblur/evenblur_filter.h"
#include "tests/evenblur/evenblur_reference.h"
#include "tests/support/test_host.h"
#include "imaging/hsl_range_selection_filter.h"
#include "evenblur/kernel_image_builder.h"
#include "tests/support/padded_image.h"

namespace {

using namespace evenblur_reference;

template <class P>
using Display = PixelRGB<RGBALayout, float, 1, 0, P::max_value>;

template <class P>
double channel(const P& p, int c) {
    switch (c) {
        case 0:
            return alpha_of(p);
        case 1:
            return red_of(p);
        case 2:
            return green_of(p);
        default:
            return blue_of(p);
    }
}

template <class P>
std::vector<double> pixels_of(PaddedImage<P>& image) {
    std::vector<double> v;
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x)
            for (int c = 0; c < 4; ++c) v.push_back(channel(image.at(x, y), c));
    return v;
}

// The images of one frame; absent helpers have no data.
template <class P>
struct Frame {
    int32_t width, height;
    PaddedImage<P> source, output;
    PixelArray<P> lens, background;
    Frame(int32_t w, int32_t h)
        : width(w), height(h), source(w, h, kLayerRows), output(w, h, kLayerRows) {}

    int32_t render(TestHost& host, const EvenblurSettings& settings) {
        EvenblurEffect<P> effect(&host, settings, source.array(), output.array(), source.array(),
                                 lens, background);
        return effect.render();
    }
};

EvenblurSettings blur_settings(double radius) {
    EvenblurSettings s;
    s.radius = radius;
    s.assume_h = 2;
    s.assume_v = 2;
    return s;
}

template <class P>
class EvenblurEffectTest : public ::testing::Test {};
using HostPixelTypes = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(EvenblurEffectTest, HostPixelTypes);

TYPED_TEST(EvenblurEffectTest, RadiusZeroCopiesTheSource) {
    using P = TypeParam;
    Frame<P> f(9, 5);
    random_pixels(f.source, 1, 0.3);
    TestHost host(2);
    ASSERT_EQ(f.render(host, EvenblurSettings{}), host.noError());
    EXPECT_EQ(pixels_of(f.output), pixels_of(f.source));
    EXPECT_TRUE(f.output.spareBytesUntouched());
}

TYPED_TEST(EvenblurEffectTest, NormalBlurWritesTheBlurFilter) {
    using P = TypeParam;
    Frame<P> f(11, 7);
    random_pixels(f.source, 2, 0.5);
    PaddedImage<P> expected(11, 7, kLayerRows);
    EvenblurSettings s = blur_settings(3.0);
    TestHost host(2);
    EvenblurFilter<P, PixelGrayFloat> blur(&host, s, f.source.array(), expected.array(),
                                           f.source.array(), {});
    ASSERT_EQ(blur.render(0, 1), host.noError());
    ASSERT_EQ(f.render(host, s), host.noError());
    EXPECT_EQ(pixels_of(f.output), pixels_of(expected));
}

// The iris display: the coloured kernel at the host scale, opaque everywhere, its diameter
// 100 pixels per 640 x 480 of the frame.
TYPED_TEST(EvenblurEffectTest, IrisDisplayShowsTheKernelOpaque) {
    using P = TypeParam;
    const double max = P::max;
    Frame<P> f(64, 48);
    random_pixels(f.source, 3, 1.0);
    EvenblurSettings s;
    s.show = EvenblurSettings::kShowIris;
    s.facets = 8;
    s.rounded = 1.0;
    TestHost host(2);
    ASSERT_EQ(f.render(host, s), host.noError());
    EXPECT_EQ(host.liveBlocks(), 0u);
    EXPECT_TRUE(f.output.spareBytesUntouched());
    // D = 100 * (64 / 640 + 48 / 480) = 20: an iris of radius (20 + 2) / 2 = 11 at (32, 24).
    for (int32_t y = 0; y < 48; ++y)
        for (int32_t x = 0; x < 64; ++x) {
            const auto& p = f.output.at(x, y);
            ASSERT_EQ(channel(p, 0), max);
            const double d = std::hypot(x - 32.0, y - 24.0);
            if (d < 9.5) {
                ASSERT_NEAR(red_of(p), max, max * 0.01) << x << ", " << y;
            }
            if (d > 12.5) {
                ASSERT_EQ(red_of(p), 0.0) << x << ", " << y;
            }
            ASSERT_EQ(red_of(p), green_of(p));
            ASSERT_EQ(red_of(p), blue_of(p));
        }

    // A coloured lens image is shown in its colours, opaque; a gray one as gray.
    PaddedImage<P> lens(10, 10, kLayerRows);
    uniform_pixels(lens, max, max, 0.5 * max, 0.0);
    f.lens = lens.array();
    for (bool coloured : {true, false}) {
        s.colored_iris = coloured;
        ASSERT_EQ(f.render(host, s), host.noError());
        const auto& centre = f.output.at(32, 24);
        EXPECT_EQ(channel(centre, 0), max);
        EXPECT_NEAR(red_of(centre), coloured ? max : max * (0.292687786 + 0.552149646 * 0.5),
                    max * 0.01);
        EXPECT_NEAR(green_of(centre), coloured ? max / 2 : max * (0.292687786 + 0.552149646 * 0.5),
                    max * 0.01);
        EXPECT_EQ(channel(f.output.at(0, 0), 0), max);
        EXPECT_EQ(red_of(f.output.at(0, 0)), 0.0);
    }
}

TYPED_TEST(EvenblurEffectTest, IrisDisplayOfATinyFrameIsDefined) {
    using P = TypeParam;
    for (int32_t size : {1, 2, 3}) {
        Frame<P> f(size, size);
        EvenblurSettings s;
        s.show = EvenblurSettings::kShowIris;
        s.smooth = 3.0;
        TestHost host(1);
        ASSERT_EQ(f.render(host, s), host.noError());
        for (double v : pixels_of(f.output)) EXPECT_TRUE(std::isfinite(v));
        EXPECT_EQ(channel(f.output.at(0, 0), 0), P::max);
    }
}

// "highlight selection" and "highlight selection only": the selection picture, made opaque.
TYPED_TEST(EvenblurEffectTest, SelectionModesShowTheSelectionOpaque) {
    using P = TypeParam;
    for (int32_t show : {EvenblurSettings::kShowHighlightSelection,
                         EvenblurSettings::kShowHighlightSelectionOnly}) {
        Frame<P> f(13, 6);
        random_pixels(f.source, 4, 0.2);
        EvenblurSettings s;
        s.show = show;
        s.selection.enabled = true;
        s.selection.lightness_start = 0.4;
        TestHost host(2);
        ASSERT_EQ(f.render(host, s), host.noError());
        PaddedImage<P> expected(13, 6, kLayerRows);
        HslRangeSelectionFilter<P> filter(&host, f.source.array(), expected.array(),
                                          f.source.array());
        filter.settings = s.selection;
        filter.settings.show_selection = show == EvenblurSettings::kShowHighlightSelectionOnly;
        ASSERT_EQ(filter.render(0, 1), host.noError());
        for (int32_t y = 0; y < 6; ++y)
            for (int32_t x = 0; x < 13; ++x) {
                ASSERT_EQ(channel(f.output.at(x, y), 0), P::max);
                for (int c = 1; c < 4; ++c)
                    ASSERT_EQ(channel(f.output.at(x, y), c), channel(expected.at(x, y), c));
            }
        EXPECT_TRUE(f.output.spareBytesUntouched());
    }
}

// An opaque blurred foreground covers the background wholly and bends nothing.
TYPED_TEST(EvenblurEffectTest, OpaqueForegroundHidesTheBackground) {
    using P = TypeParam;
    Frame<P> plain(15, 9), layered(15, 9);
    random_pixels(plain.source, 5, 1.0);
    random_pixels(layered.source, 5, 1.0);
    PaddedImage<P> background(15, 9, kLayerRows);
    random_pixels(background, 6, 0.5);
    layered.background = background.array();
    EvenblurSettings s = blur_settings(2.0);
    s.distortion = 500.0;
    TestHost host(2);
    ASSERT_EQ(plain.render(host, s), host.noError());
    ASSERT_EQ(layered.render(host, s), host.noError());
    if constexpr (P::is_float) {
        // Float alpha is 1 only up to the transforms' rounding, so the background may show
        // through by that much.
        const std::vector<double> a = pixels_of(layered.output), b = pixels_of(plain.output);
        for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1e-5) << i;
    } else {
        // Integer alpha rounds to the full value: nothing of the background remains.
        EXPECT_EQ(pixels_of(layered.output), pixels_of(plain.output));
    }
    EXPECT_EQ(host.liveBlocks(), 0u);
}

// The output over the background in straight colour: A = Af + (1 - Af) Ab, colour the
// alpha-weighted mix; values on the 0 .. 1 scale.
Value over(const Value& f, const Value& b) {
    const double ab = (1.0 - f.v[0]) * b.v[0];
    const double a = f.v[0] + ab;
    Value out;
    out.v[0] = a;
    for (int c = 1; c < 4; ++c) out.v[c] = a > 0 ? (f.v[c] * f.v[0] + b.v[c] * ab) / a : 0.0;
    return out;
}

template <class P>
Value straight_unit(const P& p, bool premultiplied) {
    Value v;
    for (int c = 0; c < 4; ++c) v.v[c] = channel(p, c) / P::max;
    if (premultiplied && v.v[0] > 0)
        for (int c = 1; c < 4; ++c) v.v[c] /= v.v[0];
    return v;
}

// Distortion 0 moves nothing: the composite is the blurred output over the background as it is,
// aligned by the layers' origins; pixels beyond the background keep the output.
TYPED_TEST(EvenblurEffectTest, DistortionZeroCompositesOverTheUnmovedBackground) {
    using P = TypeParam;
    const double max = P::max;
    for (bool premultiplied : {false, true}) {
        Frame<P> plain(12, 8), layered(12, 8);
        random_pixels(plain.source, 7, 0.0);
        random_pixels(layered.source, 7, 0.0);
        PaddedImage<P> background(10, 9, kLayerRows);
        random_pixels(background, 8, 0.0);
        if (premultiplied) {
            for (int32_t y = 0; y < 9; ++y)
                for (int32_t x = 0; x < 10; ++x) premultiply_in_place(background.at(x, y));
        }
        layered.background = background.array(premultiplied);
        layered.background.origin_x = 3;  // background pixel (0, 0) under output pixel (3, -1)
        layered.background.origin_y = -1;
        EvenblurSettings s = blur_settings(2.0);
        s.distortion = 0.0;
        s.distortion_antialias = 2;
        TestHost host(1);
        ASSERT_EQ(plain.render(host, s), host.noError());
        ASSERT_EQ(layered.render(host, s), host.noError());
        const double tol = P::is_float ? 1e-5 : 1.0 / max + 1e-9;
        for (int32_t y = 0; y < 8; ++y)
            for (int32_t x = 0; x < 12; ++x) {
                const Value f = straight_unit(plain.output.at(x, y), false);
                const Value got = straight_unit(layered.output.at(x, y), false);
                const int32_t bx = x - 3, by = y + 1;
                Value want = f;
                if (bx >= 0 && bx < 10 && by >= 0 && by < 9)
                    want = over(f, straight_unit(background.at(bx, by), premultiplied));
                for (int c = 0; c < 4; ++c)
                    ASSERT_NEAR(got.v[c], want.v[c], c == 0 ? tol : tol + 2.0 / max)
                        << x << ", " << y << " channel " << c;
            }
    }
}

// A strong distortion pulls samples beyond the background: "color" fills them with the
// outside colour, the other modes fold them back into the layer.
TYPED_TEST(EvenblurEffectTest, DisplacedSamplesFollowTheOutsideModes) {
    using P = TypeParam;
    const double max = P::max;
    for (int32_t mode : {1, 2, 3, 4}) {
        Frame<P> f(16, 12);
        // A transparent frame with an opaque square: its blurred rim bends the background.
        uniform_pixels(f.source, 0.0, 0.0, 0.0, 0.0);
        for (int32_t y = 3; y < 9; ++y)
            for (int32_t x = 4; x < 12; ++x) set_pixel(f.source.at(x, y), max, 0.0, 0.0, max);
        PaddedImage<P> background(16, 12, kLayerRows);
        uniform_pixels(background, max, max, 0.0, 0.0);
        f.background = background.array();
        EvenblurSettings s = blur_settings(2.0);
        s.assume_h = mode;
        s.assume_v = mode;
        s.outside_color[1] = 1.0f;  // green outside
        s.distortion = 2000.0;      // 2 * 255 pixels at full height: far beyond the layer
        TestHost host(1);
        ASSERT_EQ(f.render(host, s), host.noError());
        double green = 0.0;
        for (int32_t y = 0; y < 12; ++y)
            for (int32_t x = 0; x < 16; ++x) {
                green += green_of(f.output.at(x, y));
                for (int c = 0; c < 4; ++c)
                    ASSERT_TRUE(std::isfinite(channel(f.output.at(x, y), c)));
            }
        if (mode == 4)
            EXPECT_GT(green, max) << "mode " << mode;
        else
            EXPECT_EQ(green, 0.0) << "mode " << mode;
    }
}

// A lens that passes no light leaves a transparent foreground: only the background shows.
TYPED_TEST(EvenblurEffectTest, TransparentLensShowsOnlyTheBackground) {
    using P = TypeParam;
    Frame<P> f(10, 6);
    random_pixels(f.source, 9, 1.0);
    PaddedImage<P> lens(5, 5, kLayerRows), background(10, 6, kLayerRows);
    uniform_pixels(lens, 0.0, 0.0, 0.0, 0.0);
    random_pixels(background, 10, 1.0);
    f.lens = lens.array();
    f.background = background.array();
    for (bool coloured : {false, true}) {
        EvenblurSettings s = blur_settings(3.0);
        s.colored_iris = coloured;
        TestHost host(2);
        ASSERT_EQ(f.render(host, s), host.noError());
        EXPECT_EQ(pixels_of(f.output), pixels_of(background));
    }
}

// Every mode, cancelled at points spread over its reports, returns the abort status and gives
// every block back.
TYPED_TEST(EvenblurEffectTest, CancellationReturnsTheAbortStatus) {
    using P = TypeParam;
    PaddedImage<P> lens(6, 4, kLayerRows), background(14, 9, kLayerRows);
    random_pixels(lens, 11, 0.5);
    random_pixels(background, 12, 0.5);
    for (int variant = 0; variant < 5; ++variant) {
        EvenblurSettings s = blur_settings(3.0);
        s.smooth = 1.0;
        s.distortion_antialias = 1;
        bool with_lens = variant == 1;
        bool with_background = variant <= 1;
        if (variant == 2) s.show = EvenblurSettings::kShowIris;
        if (variant == 3) {
            s.show = EvenblurSettings::kShowIris;
            with_lens = true;
        }
        if (variant == 4) s.show = EvenblurSettings::kShowHighlightSelectionOnly;
        auto run = [&](TestHost& host) {
            Frame<P> f(14, 9);
            random_pixels(f.source, 13, 0.5);
            if (with_lens) f.lens = lens.array();
            if (with_background) f.background = background.array();
            return f.render(host, s);
        };
        TestHost counting(2);
        ASSERT_EQ(run(counting), counting.noError());
        const int64_t reports = counting.reportCount();
        for (int64_t n = 0; n < reports; n += std::max<int64_t>(1, reports / 17)) {
            TestHost host(2);
            host.abortAfter(n);
            EXPECT_EQ(run(host), host.abortError()) << "variant " << variant << " after " << n;
            EXPECT_EQ(host.liveBlocks(), 0u) << "variant " << variant << " after " << n;
        }
    }
}

TYPED_TEST(EvenblurEffectTest, AllocationFailureReturnsOutOfMemoryWithEveryBlockReleased) {
    using P = TypeParam;
    PaddedImage<P> lens(6, 4, kLayerRows), background(14, 9, kLayerRows);
    random_pixels(lens, 11, 0.5);
    random_pixels(background, 12, 0.5);
    for (int variant = 0; variant < 3; ++variant) {
        EvenblurSettings s = blur_settings(3.0);
        s.smooth = 1.0;
        if (variant == 2) s.show = EvenblurSettings::kShowIris;
        bool failed_once = false;
        for (int64_t n = 0; n < 60; ++n) {
            Frame<P> f(14, 9);
            random_pixels(f.source, 13, 0.5);
            if (variant == 1) f.lens = lens.array();
            if (variant <= 1) f.background = background.array();
            TestHost host(2);
            host.failAllocationsAfter(n);
            const int32_t result = f.render(host, s);
            EXPECT_EQ(host.liveBlocks(), 0u) << "variant " << variant << ", " << n;
            if (result == host.noError()) break;
            failed_once = true;
            EXPECT_EQ(result, host.outOfMemoryError()) << "variant " << variant << ", " << n;
        }
        EXPECT_TRUE(failed_once);
    }
}

}  // namespace
