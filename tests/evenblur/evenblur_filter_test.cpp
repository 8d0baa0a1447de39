#include "evenblur/evenblur_filter.h"

#include <gtest/gtest.h>

#include <mutex>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/support/bt709_reference.h"
#include "tests/evenblur/evenblur_reference.h"
#include "tests/support/test_host.h"
#include "tests/support/padded_image.h"

namespace {

using namespace evenblur_reference;

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

// Blur settings without linear light or highlights, so that the blur is a plain convolution.
EvenblurSettings plain_settings(double radius) {
    EvenblurSettings s;
    s.radius = radius;
    s.gamma = false;
    s.facets = 5;
    s.rounded = 0.0;
    s.angle = 0.3;
    s.outside_color[0] = 0.2f;
    s.outside_color[1] = 0.4f;
    s.outside_color[2] = 0.6f;
    s.outside_alpha = 0.5f;
    return s;
}

// The margin formula, written out: W' and H' (even, at most three times the image) and the
// power-of-two transform sizes.
struct Layout {
    int32_t pw, ph, nw, nh;
};
Layout layout_of(int32_t w, int32_t h, double r, double s) {
    const double m = 2.0 * (std::trunc(r + 1.0) - std::trunc(-2.0 * r * s / (h + w)));
    auto pad = [&](int32_t n) {
        int32_t p = int32_t(std::min(n + m, 3.0 * n));
        return p % 2 ? p + 1 : p;
    };
    auto pow2 = [](int32_t n) {
        int32_t p = 4;
        while (p < n) p *= 2;
        return p;
    };
    Layout l{pad(w), pad(h), 0, 0};
    l.nw = pow2(l.pw);
    l.nh = pow2(l.ph);
    return l;
}

// The kernel the builder draws for these settings, in the window of the blur, normalised;
// with `gamma` its colours (its one value) made linear first, like the image's.
template <class P, class Q>
Kernel drawn_kernel(const EvenblurSettings& s, const Layout& l, const PixelArray<P>& lens,
                    double pixel_aspect) {
    TestHost host(1);
    PaddedImage<Q> window(l.pw, l.ph, kLayerRows);
    PixelArray<Q> view = window.array();
    view.factor_a = pixel_aspect;
    KernelImageBuilder<P, Q> builder(&host, s, lens, view, false);
    EXPECT_EQ(builder.render(0, 1), host.noError());
    if (s.gamma) {
        for (int32_t y = 0; y < view.height; ++y)
            for (int32_t x = 0; x < view.width; ++x) {
                Q& p = view.at(x, y);
                if constexpr (Q::is_rgba) {
                    red_of(p) = float(bt709_reference::to_linear(red_of(p)));
                    green_of(p) = float(bt709_reference::to_linear(green_of(p)));
                    blue_of(p) = float(bt709_reference::to_linear(blue_of(p)));
                } else {
                    gray_of(p) = float(bt709_reference::to_linear(gray_of(p)));
                }
            }
    }
    if constexpr (Q::is_rgba)
        return from_colour(view);
    else
        return from_gray(view);
}

// What the blur writes for a convolved (premultiplied, 0 .. 1, linear with `gamma`) value,
// before rounding.
template <class P>
Value expected_output(const Value& c, bool straight, bool gamma) {
    Value out;
    const double max = P::max;
    double a = std::clamp(c.v[0], 0.0, 1.0);
    if (P::is_float && a < 1e-5) return out;
    out.v[0] = a * max;
    for (int k = 1; k < 4; ++k) {
        double v = std::max(c.v[k], 0.0);
        if (!P::is_float) v = std::min(v, 1.0);
        if (gamma) v = bt709_reference::to_encoded(v);
        v *= max;
        if (straight && a > 0) v /= a;
        if (!P::is_float) v = std::min(v, max);
        out.v[k] = v;
    }
    return out;
}

template <class P>
double tolerance() {
    if constexpr (P::max_value == 255)
        return 1.0;
    else if constexpr (P::max_value == 32768)
        return 2.0;
    else
        return 2e-5;
}

// In linear light the integer depths decode and encode through 32768-step tables: near black
// one step of the encoding table is 4.5 / 32767 of the scale (4.5 units of 32768).
template <class P>
double linear_light_tolerance() {
    if constexpr (P::max_value == 255)
        return 1.1;
    else if constexpr (P::max_value == 32768)
        return 10.0;
    else
        return 5e-5;
}

// Highlight selection by lightness alone: every hue and saturation, and a weight that rises
// linearly from 0 at lightness 0.3 to 1 at lightness 1 (climax 1, soften 1). A gray selection
// pixel of premultiplied value l (0 .. 1) has weight (l - 0.3) / 0.7 from 0.3 on, 0 below.
void select_by_lightness_ramp(SelectionSettings& s) {
    s.enabled = true;
    s.hue_start = 0.0;
    s.hue_end = 1.0;
    s.hue_climax = 1.0;
    s.hue_soften = 0.0;
    s.saturation_start = 0.0;
    s.saturation_end = 1.0;
    s.saturation_climax = 1.0;
    s.saturation_soften = 0.0;
    s.lightness_start = 0.3;
    s.lightness_end = 1.0;
    s.lightness_climax = 1.0;
    s.lightness_soften = 1.0;
    s.hue_offset = s.saturation_offset = s.lightness_offset = 0.0;
}
double lightness_ramp_weight(double l) { return l >= 0.3 ? (l - 0.3) / 0.7 : 0.0; }

// A gray selection layer of 9 x 6 pixels, unlike any source: values 0 .. 1 in tenths, every
// seventh pixel transparent (so of weight 0 once premultiplied, however bright its colour).
template <class P>
void fill_gray_selection(PaddedImage<P>& image) {
    const double max = P::max;
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x) {
            const double v = std::floor(((x * 5 + y * 3) % 11) / 10.0 * max);
            set_pixel(image.at(x, y), (x + 2 * y) % 7 == 3 ? 0.0 : max, v, v, v);
        }
}

// A source with a vertical edge, dark on the left and light on the right, slightly coloured
// and textured, with a band of partial alpha: linear light changes the blur most at such an
// edge, and not at all inside a uniform area.
template <class P>
void edge_pixels(PaddedImage<P>& image) {
    const double unit = P::max / 255.0;
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x) {
            const int t = (x * 7 + y * 3) % 5;
            const double v = x < image.width() / 2 ? 20 + 4 * t : 220 + 6 * t;
            const double a = y % 4 == 1 ? 150 : 255;
            set_pixel(image.at(x, y), a * unit, v * unit, (v * 0.8) * unit, (255 - v * 0.5) * unit);
        }
}

struct Case {
    int32_t width = 13;
    int32_t height = 9;
    EvenblurSettings settings = plain_settings(3.0);
    bool premultiplied_source = false;
    bool premultiplied_output = true;
    double min_alpha = 0.4;
    int32_t threads = 1;
    bool edge_source = false;  // edge_pixels instead of random ones
    // Both highlight boosts from the given settings' preservative and additive values, with the
    // lightness ramp selecting from a gray selection layer of its own, smaller than the source
    // and placed at an offset from it.
    bool boosts = false;
};

// Runs the blur and compares every output pixel with the direct convolution; returns the
// filter's data_rows so a test can tell which transform layout it took.
template <class P, class Q>
int32_t check_against_direct_convolution(const Case& c, const PixelArray<P>& lens = {}) {
    const Layout l = layout_of(c.width, c.height, c.settings.radius, c.settings.smooth);
    PaddedImage<P> source(c.width, c.height, kLayerRows);
    if (c.edge_source)
        edge_pixels(source);
    else
        random_pixels(source, 7, c.min_alpha);
    PaddedImage<P> output(c.width, c.height, kLayerRows);
    PixelArray<P> src = source.array(c.premultiplied_source);
    PixelArray<P> out = output.array(c.premultiplied_output);
    src.origin_x = out.origin_x = 2;
    src.origin_y = out.origin_y = 1;
    PaddedImage<P> selection_image(9, 6, kLayerRows);
    fill_gray_selection(selection_image);
    PixelArray<P> selection = src;
    EvenblurSettings settings = c.settings;
    if (c.boosts) {
        select_by_lightness_ramp(settings.selection);
        selection = selection_image.array();
        selection.origin_x = 5;  // source column 3 and on
        selection.origin_y = 0;  // source row -1 and on: rows 0 .. 4
    }

    TestHost host(c.threads);
    EvenblurFilter<P, Q> filter(&host, settings, src, out, selection, lens);
    EXPECT_EQ(filter.render(0, 1), host.noError());
    EXPECT_EQ(host.liveBlocks(), 0u);
    EXPECT_EQ(host.reportsBeyondTotal(), 0);
    EXPECT_EQ(filter.padded_width, l.pw);
    EXPECT_EQ(filter.padded_height, l.ph);
    EXPECT_EQ(filter.fft_width, l.nw);
    EXPECT_EQ(filter.fft_height, l.nh);
    EXPECT_TRUE(output.spareBytesUntouched());

    const int32_t ox = (l.pw - c.width) / 2, oy = (l.ph - c.height) / 2;
    const Kernel k = drawn_kernel<P, Q>(settings, l, lens, src.factor_a);
    std::vector<Value> padded = padded_source(src, settings, l.nw, l.nh, ox, oy);
    // Linear light, then the boosts: gain g = w5 + w * additive on all four channels and the
    // weight w5 = 1 + w * preservative blurred beside them, by which the result is divided.
    std::vector<Value> weights(padded.size(), Value{{1, 1, 1, 1}});
    for (int32_t y = 0; y < l.nh; ++y)
        for (int32_t x = 0; x < l.nw; ++x) {
            Value& v = padded[size_t(y) * l.nw + x];
            if (settings.gamma)
                for (int ch = 1; ch < 4; ++ch) v.v[ch] = bt709_reference::to_linear(v.v[ch]);
            int32_t sx = x - ox, sy = y - oy;
            if (!c.boosts || !map_to_image(OutsideMode(settings.assume_h), c.width, sx) ||
                !map_to_image(OutsideMode(settings.assume_v), c.height, sy))
                continue;
            const int32_t qx = sx + src.origin_x - selection.origin_x;
            const int32_t qy = sy + src.origin_y - selection.origin_y;
            if (!selection.contains(qx, qy)) continue;
            const ChannelValues q = read_rgba(selection.at(qx, qy));
            const double w = lightness_ramp_weight(q.r * q.a / (P::max * P::max));
            if (w <= 0.0) continue;
            const double w5 = 1.0 + w * settings.preservative;
            const double g = w5 + w * settings.additive;
            for (double& ch : v.v) ch *= g;
            if (settings.preservative > 0.0)
                weights[size_t(y) * l.nw + x] = Value{{w5, w5, w5, w5}};
        }
    std::vector<Value> direct = convolve(padded, l.nw, l.nh, k, c.width, c.height, ox, oy);
    const std::vector<Value> blurred_weights =
        convolve(weights, l.nw, l.nh, k, c.width, c.height, ox, oy);
    for (size_t i = 0; i < direct.size(); ++i)
        for (double& ch : direct[i].v) ch /= blurred_weights[i].v[0];
    const double allowed = settings.gamma ? linear_light_tolerance<P>() : tolerance<P>();
    int failures = 0;
    for (int32_t y = 0; y < c.height; ++y)
        for (int32_t x = 0; x < c.width; ++x) {
            const Value e = expected_output<P>(direct[size_t(y) * c.width + x],
                                               !c.premultiplied_output, settings.gamma);
            for (int ch = 0; ch < 4; ++ch) {
                const double got = channel(output.at(x, y), ch);
                if (std::fabs(got - e.v[ch]) > allowed && failures++ < 8) {
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") channel " << ch << ": "
                                  << got << ", direct convolution " << e.v[ch];
                }
            }
        }
    return filter.data_rows;
}

template <class P>
class EvenblurFilterTypedTest : public ::testing::Test {};
using HostPixelTypes = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(EvenblurFilterTypedTest, HostPixelTypes);

TYPED_TEST(EvenblurFilterTypedTest, EqualsTheDirectConvolutionUnderEveryOutsideMode) {
    using P = TypeParam;
    for (int32_t h = 1; h <= 4; ++h)
        for (int32_t v = 1; v <= 4; ++v) {
            SCOPED_TRACE("horizontal mode " + std::to_string(h) + ", vertical mode " +
                         std::to_string(v));
            Case c;
            c.settings.assume_h = h;
            c.settings.assume_v = v;
            check_against_direct_convolution<P, PixelGrayFloat>(c);
        }
}

TYPED_TEST(EvenblurFilterTypedTest, EqualsTheDirectConvolutionInEveryAlphaForm) {
    using P = TypeParam;
    for (int form = 0; form < 4; ++form) {
        SCOPED_TRACE("form " + std::to_string(form));
        Case c;
        c.width = 11;
        c.height = 7;
        c.settings.assume_h = 2;
        c.settings.assume_v = 3;
        c.premultiplied_source = (form & 1) != 0;
        c.premultiplied_output = (form & 2) != 0;
        // Straight output divides by alpha: opaque pixels keep the tolerance meaningful.
        c.min_alpha = c.premultiplied_output ? 0.4 : 1.0;
        if (c.premultiplied_source) {
            // Premultiplied colour must not exceed alpha: use opaque sources there too.
            c.min_alpha = 1.0;
        }
        check_against_direct_convolution<P, PixelGrayFloat>(c);
    }
}

// The outside colour (straight 0.2, 0.4, 0.6 at alpha 0.5) is multiplied by its alpha for a
// straight source only; a premultiplied source takes it as given. Both into a premultiplied
// output, where nothing divides the result again.
TYPED_TEST(EvenblurFilterTypedTest, OutsideColourTakesItsAlphaOnlyForAStraightSource) {
    using P = TypeParam;
    for (const bool premultiplied_source : {false, true}) {
        SCOPED_TRACE(premultiplied_source ? "premultiplied source" : "straight source");
        Case c;
        c.width = 9;
        c.height = 6;
        c.settings.assume_h = 4;
        c.settings.assume_v = 4;
        c.premultiplied_source = premultiplied_source;
        c.premultiplied_output = true;
        c.min_alpha = premultiplied_source ? 1.0 : 0.4;
        check_against_direct_convolution<P, PixelGrayFloat>(c);
    }
}

// Progress passes of a blur run as pass 1 of 2: 9 to 17 of 18, each in its own units
// (done + units * pass, units * 18). Filling the image buffer is pass 11 in rows of the
// transform (Nh), centring the kernel pass 12 in row pairs (Nh / 2); the centring runs first.
TEST(EvenblurFilterProgress, PassesAndUnitsOfOneBlur) {
    struct Recording : TestHost {
        std::mutex lock;
        std::vector<std::pair<int32_t, int32_t>> seen;
        int32_t progress(int32_t current, int32_t total) override {
            std::lock_guard<std::mutex> guard(lock);
            seen.emplace_back(current, total);
            return TestHost::progress(current, total);
        }
    };
    Recording host;
    PaddedImage<PixelRGBA8> source(13, 9, kLayerRows), output(13, 9, kLayerRows);
    random_pixels(source, 3, 0.4);
    const EvenblurSettings settings = plain_settings(3.0);
    const Layout l = layout_of(13, 9, settings.radius, settings.smooth);
    EvenblurFilter<PixelRGBA8, PixelGrayFloat> filter(&host, settings, source.array(false),
                                                      output.array(true), source.array(false), {});
    ASSERT_EQ(filter.render(1, 2), host.noError());
    ASSERT_EQ(host.reportsBeyondTotal(), 0);
    std::vector<int32_t> order;
    for (const auto& [current, total] : host.seen) {
        // The iris outline builder polls for a cancel with fixed (0, 1) and (50, 100).
        if (total == 1 || total == 100) continue;
        ASSERT_EQ(total % 18, 0) << current << " of " << total;
        const int32_t units = total / 18;
        const int32_t pass = current / units;
        if (order.empty() || order.back() != pass) order.push_back(pass);
        if (pass == 11) {
            EXPECT_EQ(units, l.nh) << "filling counts transform rows";
        } else if (pass == 12) {
            EXPECT_EQ(units, l.nh / 2) << "centring counts row pairs";
        }
    }
    EXPECT_EQ(order, (std::vector<int32_t>{9, 10, 12, 11, 13, 14, 15, 16, 17}));
}

TYPED_TEST(EvenblurFilterTypedTest, KernelBeyondTheMarginsStillGivesTheConvolution) {
    using P = TypeParam;
    // x-y aspect -0.75 makes the iris 1.75 times taller than the radius: its rows reach past
    // the vertical margin, so every transform row must hold the continued image.
    Case tall;
    tall.settings = plain_settings(4.0);
    tall.settings.aspect = -0.75;
    tall.settings.assume_h = 2;
    tall.settings.assume_v = 1;
    const Layout l = layout_of(tall.width, tall.height, 4.0, 0.0);
    EXPECT_EQ((check_against_direct_convolution<P, PixelGrayFloat>(tall)), l.nh);

    // An image smaller than the radius: the padding is capped at three times the image.
    Case small;
    small.width = 3;
    small.height = 5;
    small.settings = plain_settings(6.0);
    small.settings.assume_h = 3;
    small.settings.assume_v = 2;
    check_against_direct_convolution<P, PixelGrayFloat>(small);

    // A plain iris within the margins transforms only the padded rows.
    Case plain;
    plain.settings = plain_settings(2.0);
    plain.settings.facets = 6;
    plain.settings.rounded = 1.0;
    const Layout p = layout_of(plain.width, plain.height, 2.0, 0.0);
    EXPECT_EQ((check_against_direct_convolution<P, PixelGrayFloat>(plain)), p.ph);
}

TYPED_TEST(EvenblurFilterTypedTest, SmoothedIrisWithBorderEqualsTheDirectConvolution) {
    using P = TypeParam;
    Case c;
    c.settings = plain_settings(3.5);
    c.settings.smooth = 0.6;
    c.settings.border_brightness = 0.5;
    c.settings.border_thickness = 0.4;
    c.settings.assume_h = 4;
    c.settings.assume_v = 2;
    check_against_direct_convolution<P, PixelGrayFloat>(c);
}

TYPED_TEST(EvenblurFilterTypedTest, ColouredAndGrayLensImagesEqualTheDirectConvolution) {
    using P = TypeParam;
    // An asymmetric coloured lens: a wrong orientation of the kernel would show.
    PaddedImage<P> lens(7, 5, kLayerRows);
    const double max = P::max;
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 7; ++x) {
            const bool on = x < 2 || y == 0;
            set_pixel(lens.at(x, y), on ? max : 0.0, on ? max : 0.0, (x % 3) * max / 2.0,
                      y * max / 4.0);
        }
    Case c;
    c.settings = plain_settings(3.0);
    c.settings.assume_h = 2;
    c.settings.assume_v = 2;
    c.settings.colored_iris = true;
    check_against_direct_convolution<P, PixelRGBAFloat>(c, lens.array());
    c.settings.colored_iris = false;
    check_against_direct_convolution<P, PixelRGBAFloat>(c, lens.array());
    check_against_direct_convolution<P, PixelGrayFloat>(c, lens.array());
}

// The lens asymmetric and coloured, with values between 0 and 1 that linear light changes.
template <class P>
void fill_lens(PaddedImage<P>& lens) {
    const double max = P::max;
    for (int32_t y = 0; y < lens.height(); ++y)
        for (int32_t x = 0; x < lens.width(); ++x) {
            const bool on = x < 2 || y == 0;
            set_pixel(lens.at(x, y), on ? max : 0.0, on ? max : 0.0, (x % 3) * max / 2.0,
                      y * max / 4.0);
        }
}

// Gamma correction blurs in linear light: the image and the kernel decoded with the BT.709
// formula, convolved, the result encoded. A polygon with a dimmed inside (border brightness
// 0.5), a coloured and a gray lens, at an edge with partial alpha.
TYPED_TEST(EvenblurFilterTypedTest, LinearLightEqualsTheDirectConvolutionOfTheDecodedImage) {
    using P = TypeParam;
    Case c;
    c.edge_source = true;
    c.settings = plain_settings(3.0);
    c.settings.gamma = true;
    c.settings.border_brightness = 0.5;
    c.settings.border_thickness = 0.4;
    c.settings.assume_h = 2;
    c.settings.assume_v = 3;
    {
        SCOPED_TRACE("polygon");
        check_against_direct_convolution<P, PixelGrayFloat>(c);
    }
    c.premultiplied_output = false;
    {
        SCOPED_TRACE("polygon, straight output");
        check_against_direct_convolution<P, PixelGrayFloat>(c);
    }
    PaddedImage<P> lens(7, 5, kLayerRows);
    fill_lens(lens);
    c.settings.colored_iris = true;
    {
        SCOPED_TRACE("coloured lens");
        check_against_direct_convolution<P, PixelRGBAFloat>(c, lens.array());
    }
    c.settings.colored_iris = false;
    {
        SCOPED_TRACE("gray lens");
        check_against_direct_convolution<P, PixelGrayFloat>(c, lens.array());
    }
}

// Both boosts at once: the preservative weight and the additive gain from a selection layer
// that is not the source and lies at an offset from it (part of the frame has no selection
// pixel), with and without linear light, with the monochrome and the coloured kernel.
TYPED_TEST(EvenblurFilterTypedTest, BothBoostsFromAnOffsetSelectionLayerEqualTheDirectConvolution) {
    using P = TypeParam;
    Case c;
    c.edge_source = true;
    c.boosts = true;
    c.settings = plain_settings(3.0);
    c.settings.preservative = 2.0;
    c.settings.additive = 1.5;
    c.settings.assume_h = 3;
    c.settings.assume_v = 2;
    PaddedImage<P> lens(7, 5, kLayerRows);
    fill_lens(lens);
    for (const bool gamma : {false, true}) {
        SCOPED_TRACE(gamma ? "linear light" : "as stored");
        c.settings.gamma = gamma;
        c.settings.colored_iris = false;
        check_against_direct_convolution<P, PixelGrayFloat>(c);
        c.settings.colored_iris = true;
        check_against_direct_convolution<P, PixelRGBAFloat>(c, lens.array());
    }
    // The additive boost alone (no weight channel).
    c.settings.gamma = false;
    c.settings.colored_iris = false;
    c.settings.preservative = 0.0;
    check_against_direct_convolution<P, PixelGrayFloat>(c);
}

TYPED_TEST(EvenblurFilterTypedTest, ManyThreadsGiveTheSameOutputAsOne) {
    using P = TypeParam;
    EvenblurSettings s = plain_settings(5.0);
    s.gamma = true;
    s.selection.enabled = true;
    s.selection.lightness_start = 0.3;
    s.additive = 0.5;
    s.preservative = 2.0;
    PaddedImage<P> source(37, 21, kLayerRows);
    random_pixels(source, 3, 0.2);
    std::vector<std::vector<double>> results;
    for (int32_t threads : {1, 2, 5}) {
        PaddedImage<P> output(37, 21, kLayerRows);
        TestHost host(threads);
        EvenblurFilter<P, PixelGrayFloat> filter(&host, s, source.array(), output.array(),
                                                 source.array(), {});
        ASSERT_EQ(filter.render(0, 1), host.noError());
        std::vector<double> values;
        for (int32_t y = 0; y < 21; ++y)
            for (int32_t x = 0; x < 37; ++x)
                for (int c = 0; c < 4; ++c) values.push_back(channel(output.at(x, y), c));
        results.push_back(values);
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}

// A uniform opaque source stays uniform: with and without linear light, and with the
// preservative boost, whose weight channel divides out when nothing is added.
TYPED_TEST(EvenblurFilterTypedTest, UniformOpaqueSourceStaysUniform) {
    using P = TypeParam;
    const double max = P::max;
    const double colour[3] = {0.8 * max, 0.25 * max, 0.5 * max};
    for (int variant = 0; variant < 4; ++variant) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        EvenblurSettings s = plain_settings(4.0);
        s.gamma = variant != 0;
        s.assume_h = 2;
        s.assume_v = 1;
        if (variant >= 2) {
            s.selection.enabled = true;
            s.selection.lightness_start = 0.0;  // every pixel selected
            s.preservative = 3.0;
            s.additive = 0.0;
        }
        if (variant == 3) s.smooth = 1.0;
        PaddedImage<P> source(15, 11, kLayerRows), output(15, 11, kLayerRows);
        uniform_pixels(source, max, colour[0], colour[1], colour[2]);
        TestHost host(2);
        EvenblurFilter<P, PixelGrayFloat> filter(&host, s, source.array(), output.array(),
                                                 source.array(), {});
        ASSERT_EQ(filter.render(0, 1), host.noError());
        EXPECT_EQ(filter.preservative_on, variant >= 2);
        // Integer depths pass through the 32768-step tables both ways.
        const double tol = P::is_float ? 1e-4 : (P::max_value == 255 ? 1.0 : 8.0);
        for (int32_t y = 0; y < 11; ++y)
            for (int32_t x = 0; x < 15; ++x) {
                const auto& p = output.at(x, y);
                ASSERT_NEAR(alpha_of(p), max, tol) << x << ", " << y;
                ASSERT_NEAR(red_of(p), colour[0], tol) << x << ", " << y;
                ASSERT_NEAR(green_of(p), colour[1], tol) << x << ", " << y;
                ASSERT_NEAR(blue_of(p), colour[2], tol) << x << ", " << y;
            }
    }
}

// The additive boost adds light at the selected highlights; the preservative boost alone moves
// light towards them and keeps the opacity.
TYPED_TEST(EvenblurFilterTypedTest, HighlightBoostsAddLightOrKeepOpacity) {
    using P = TypeParam;
    const double max = P::max;
    constexpr int32_t kW = 16, kH = 12;
    auto blur = [&](double preservative, double additive) {
        EvenblurSettings s = plain_settings(3.0);
        s.assume_h = 3;
        s.assume_v = 3;
        s.selection.enabled = true;
        s.selection.lightness_start = 0.9;
        s.preservative = preservative;
        s.additive = additive;
        PaddedImage<P> source(kW, kH, kLayerRows), output(kW, kH, kLayerRows);
        uniform_pixels(source, max, 0.2 * max, 0.2 * max, 0.2 * max);
        set_pixel(source.at(7, 5), max, max, max, max);  // the one highlight
        TestHost host(1);
        EvenblurFilter<P, PixelGrayFloat> filter(&host, s, source.array(), output.array(true),
                                                 source.array(), {});
        EXPECT_EQ(filter.render(0, 1), host.noError());
        std::vector<Value> values;
        for (int32_t y = 0; y < kH; ++y)
            for (int32_t x = 0; x < kW; ++x) {
                Value v;
                for (int c = 0; c < 4; ++c) v.v[c] = channel(output.at(x, y), c) / max;
                values.push_back(v);
            }
        return values;
    };
    auto mean_red = [](const std::vector<Value>& values) {
        double sum = 0.0;
        for (const Value& v : values) sum += v.v[1];
        return sum / double(values.size());
    };
    const double n = kW * kH;
    // A repeated image keeps all light inside the frame.
    const std::vector<Value> plain = blur(0.0, 0.0);
    const double mean = ((n - 1) * 0.2 + 1.0) / n;
    EXPECT_NEAR(mean_red(plain), mean, 0.005);
    // The highlight counts 1 + 4 times.
    EXPECT_NEAR(mean_red(blur(0.0, 4.0)), mean + 4.0 / n, 0.005);

    const std::vector<Value> kept = blur(4.0, 0.0);
    for (const Value& v : kept) ASSERT_NEAR(v.v[0], 1.0, tolerance<P>() / max + 1e-5);
    const size_t next_to_highlight = 5 * kW + 8;
    EXPECT_GT(kept[next_to_highlight].v[1], plain[next_to_highlight].v[1] + 0.05);
    EXPECT_NEAR(kept[0].v[1], 0.2, 0.005);  // far from the highlight nothing changes
}

// A kernel channel without weight passes no light: a transparent lens gives transparent black,
// a red lens keeps only red; nothing non-finite is written.
TYPED_TEST(EvenblurFilterTypedTest, KernelWithoutWeightGivesTransparentBlack) {
    using P = TypeParam;
    const double max = P::max;
    PaddedImage<P> lens(6, 6, kLayerRows);
    uniform_pixels(lens, 0.0, 0.0, 0.0, 0.0);
    PaddedImage<P> red_lens(6, 6, kLayerRows);
    uniform_pixels(red_lens, max, max, 0.0, 0.0);
    PaddedImage<P> source(9, 7, kLayerRows);
    random_pixels(source, 11, 1.0);

    EvenblurSettings s = plain_settings(3.0);
    s.gamma = true;
    for (bool coloured : {false, true}) {
        PaddedImage<P> output(9, 7, kLayerRows);
        uniform_pixels(output, max, max, max, max);
        TestHost host(1);
        int32_t result;
        s.colored_iris = coloured;
        if (coloured) {
            EvenblurFilter<P, PixelRGBAFloat> f(&host, s, source.array(), output.array(),
                                                source.array(), lens.array());
            result = f.render(0, 1);
            EXPECT_EQ(f.kernel_totals[0], 0.0);
        } else {
            EvenblurFilter<P, PixelGrayFloat> f(&host, s, source.array(), output.array(),
                                                source.array(), lens.array());
            result = f.render(0, 1);
            EXPECT_EQ(f.kernel_totals[0], 0.0);
        }
        ASSERT_EQ(result, host.noError());
        for (int32_t y = 0; y < 7; ++y)
            for (int32_t x = 0; x < 9; ++x)
                for (int c = 0; c < 4; ++c) ASSERT_EQ(channel(output.at(x, y), c), 0.0);
    }

    s.colored_iris = true;
    PaddedImage<P> output(9, 7, kLayerRows);
    TestHost host(1);
    EvenblurFilter<P, PixelRGBAFloat> f(&host, s, source.array(), output.array(), source.array(),
                                        red_lens.array());
    ASSERT_EQ(f.render(0, 1), host.noError());
    EXPECT_GT(f.kernel_totals[1], 0.0);
    EXPECT_EQ(f.kernel_totals[2], 0.0);
    EXPECT_EQ(f.kernel_totals[3], 0.0);
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 9; ++x) {
            EXPECT_GT(alpha_of(output.at(x, y)), 0.0);
            EXPECT_EQ(green_of(output.at(x, y)), 0.0);
            EXPECT_EQ(blue_of(output.at(x, y)), 0.0);
        }
}

TEST(EvenblurFilterTest, NonFiniteSourceValuesDoNotSpread) {
    EvenblurSettings s = plain_settings(3.0);
    s.gamma = true;
    PaddedImage<PixelRGBAFloat> source(12, 10, kLayerRows), output(12, 10, kLayerRows);
    uniform_pixels(source, 1.0, 0.5, 0.5, 0.5);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    set_pixel(source.at(3, 3), nan, nan, 0.5, 0.5);
    set_pixel(source.at(8, 6), 1.0, inf, -inf, nan);
    TestHost host(2);
    EvenblurFilter<PixelRGBAFloat, PixelGrayFloat> filter(&host, s, source.array(), output.array(),
                                                          source.array(), {});
    ASSERT_EQ(filter.render(0, 1), host.noError());
    int finite = 0;
    for (int32_t y = 0; y < 10; ++y)
        for (int32_t x = 0; x < 12; ++x)
            for (int c = 0; c < 4; ++c) finite += std::isfinite(channel(output.at(x, y), c));
    EXPECT_EQ(finite, 12 * 10 * 4);
    // Far from the two pixels the image is untouched by them.
    EXPECT_NEAR(red_of(output.at(0, 9)), 0.5, 1e-4);
}

TEST(EvenblurFilterTest, HugeSourceValuesGiveAFiniteFrame) {
    // 1e30 is finite but leaves float range once made linear (about its power 2.2). The frame
    // must stay finite; its rounding noise may reach every pixel, as any transform's would.
    EvenblurSettings s = plain_settings(3.0);
    s.gamma = true;
    PaddedImage<PixelRGBAFloat> source(12, 10, kLayerRows), output(12, 10, kLayerRows);
    uniform_pixels(source, 1.0, 0.5, 0.5, 0.5);
    set_pixel(source.at(10, 1), 1.0, 1e30f, 0.5, -1e30f);
    TestHost host(2);
    EvenblurFilter<PixelRGBAFloat, PixelGrayFloat> filter(&host, s, source.array(), output.array(),
                                                          source.array(), {});
    ASSERT_EQ(filter.render(0, 1), host.noError());
    for (int32_t y = 0; y < 10; ++y)
        for (int32_t x = 0; x < 12; ++x)
            for (int c = 0; c < 4; ++c)
                EXPECT_TRUE(std::isfinite(channel(output.at(x, y), c)))
                    << x << "," << y << "," << c;
}

TEST(EvenblurFilterTest, SizesFollowTheMarginAndTheCap) {
    // A 1 x 1 source with a tiny radius: W' = 3 capped, raised to 4, Nw = 4.
    EvenblurSizes s = EvenblurSizes::of(1, 1, 0.01, 0.0, 1.0, 1.0);
    EXPECT_EQ(s.padded_width, 4);
    EXPECT_EQ(s.fft_width, 4);
    // 1920 x 1080 at radius 50: margin 102, 2022 x 1182 in 2048 x 2048.
    s = EvenblurSizes::of(1920, 1080, 50.0, 0.0, 1.0, 1.0);
    EXPECT_EQ(s.padded_width, 2022);
    EXPECT_EQ(s.padded_height, 1182);
    EXPECT_EQ(s.fft_width, 2048);
    EXPECT_EQ(s.fft_height, 2048);
    // Smoothing widens the margin: -2 * 10 * 30 / 200 = -3 truncates to -3, m = 2 * (11 + 3).
    s = EvenblurSizes::of(100, 100, 10.0, 30.0, 1.0, 1.0);
    EXPECT_EQ(s.padded_width, 128);
    // NaN smoothing pads to the cap.
    s = EvenblurSizes::of(10, 6, 2.0, std::numeric_limits<double>::quiet_NaN(), 1.0, 1.0);
    EXPECT_EQ(s.padded_width, 30);
    EXPECT_EQ(s.padded_height, 18);
}

TEST(EvenblurFilterTest, DataRowsCoverTheKernelsReach) {
    using F = EvenblurFilter<PixelRGBA8, PixelGrayFloat>;
    // Nh 32, H' 18, image rows 4 .. 12.
    EXPECT_EQ(F::data_rows_for(32, 18, 4, 9, -4, 4), 18);   // within the margins
    EXPECT_EQ(F::data_rows_for(32, 18, 4, 9, -9, 3), 22);   // reads 9 rows below the image
    EXPECT_EQ(F::data_rows_for(32, 18, 4, 9, -2, 5), 32);   // reads above row 0: wraps
    EXPECT_EQ(F::data_rows_for(32, 18, 4, 9, -40, 0), 32);  // beyond the buffer
    EXPECT_EQ(F::data_rows_for(32, 18, 4, 9, 1, 0), 18);    // empty kernel
}

template <class P>
EvenblurSettings busy_settings() {
    EvenblurSettings s = plain_settings(4.0);
    s.gamma = true;
    s.smooth = 2.0;
    s.selection.enabled = true;
    s.preservative = 1.0;
    s.additive = 1.0;
    return s;
}

TYPED_TEST(EvenblurFilterTypedTest, CancellationAtEveryStageReturnsTheAbortStatus) {
    using P = TypeParam;
    PaddedImage<P> source(17, 9, kLayerRows), lens(5, 5, kLayerRows);
    random_pixels(source, 5, 0.5);
    random_pixels(lens, 6, 0.5);
    for (int with_lens = 0; with_lens < 2; ++with_lens) {
        // Count the reports of a whole blur, then cancel at points spread over it.
        int64_t reports = 0;
        {
            PaddedImage<P> output(17, 9, kLayerRows);
            TestHost host(2);
            EvenblurFilter<P, PixelRGBAFloat> f(&host, busy_settings<P>(), source.array(),
                                                output.array(), source.array(),
                                                with_lens ? lens.array() : PixelArray<P>{});
            ASSERT_EQ(f.render(0, 1), host.noError());
            reports = host.reportCount();
        }
        for (int64_t n = 0; n < reports; n += std::max<int64_t>(1, reports / 23)) {
            PaddedImage<P> output(17, 9, kLayerRows);
            TestHost host(2);
            host.abortAfter(n);
            EvenblurFilter<P, PixelRGBAFloat> f(&host, busy_settings<P>(), source.array(),
                                                output.array(), source.array(),
                                                with_lens ? lens.array() : PixelArray<P>{});
            EXPECT_EQ(f.render(0, 1), host.abortError()) << "cancelled after " << n;
            EXPECT_EQ(host.liveBlocks(), 0u) << "cancelled after " << n;
            EXPECT_TRUE(output.spareBytesUntouched());
        }
    }
}

TYPED_TEST(EvenblurFilterTypedTest, AllocationFailureReturnsOutOfMemoryWithEveryBlockReleased) {
    using P = TypeParam;
    PaddedImage<P> source(17, 9, kLayerRows), lens(5, 5, kLayerRows);
    random_pixels(source, 5, 0.5);
    random_pixels(lens, 6, 0.5);
    for (int with_lens = 0; with_lens < 2; ++with_lens) {
        for (int64_t n = 0; n < 40; ++n) {
            PaddedImage<P> output(17, 9, kLayerRows);
            uniform_pixels(output, 7, 7, 7, 7);
            TestHost host(2);
            host.failAllocationsAfter(n);
            EvenblurFilter<P, PixelGrayFloat> f(&host, busy_settings<P>(), source.array(),
                                                output.array(), source.array(),
                                                with_lens ? lens.array() : PixelArray<P>{});
            const int32_t result = f.render(0, 1);
            EXPECT_EQ(host.liveBlocks(), 0u) << "allocations allowed: " << n;
            if (result == host.noError()) break;  // every allocation of the blur succeeded
            EXPECT_EQ(result, host.outOfMemoryError()) << "allocations allowed: " << n;
            if (n < 4) {
                // Nothing is written before the four buffers exist.
                for (int32_t y = 0; y < 9; ++y)
                    for (int32_t x = 0; x < 17; ++x) EXPECT_EQ(alpha_of(output.at(x, y)), 7);
            }
        }
    }
}

TEST(EvenblurFilterTest, EmptyOutputWritesNothing) {
    PaddedImage<PixelRGBA8> source(4, 4, kLayerRows), output(0, 3, kLayerRows);
    TestHost host(1);
    EvenblurSettings s = plain_settings(2.0);
    EvenblurFilter<PixelRGBA8, PixelGrayFloat> f(&host, s, source.array(), output.array(),
                                                 source.array(), {});
    EXPECT_EQ(f.render(0, 1), host.noError());
    EXPECT_EQ(host.reportCount(), 0);
    EXPECT_TRUE(output.spareBytesUntouched());
}

}  // namespace
