#include "evenblur/fill_info_buffer_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "tests/support/test_host.h"
#include "tests/support/padded_image.h"

namespace {

template <class P>
void set_pixel(P& p, double a, double r, double g, double b) {
    using T = typename P::channel_type;
    p.channel[P::layout::alpha] = static_cast<T>(a);
    p.channel[P::layout::red] = static_cast<T>(r);
    p.channel[P::layout::green] = static_cast<T>(g);
    p.channel[P::layout::blue] = static_cast<T>(b);
}

template <class P>
void random_pixels(PaddedImage<P>& image, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> level(0, 255);
    const double unit = P::max / 255.0;
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x)
            set_pixel(image.at(x, y), level(random) * unit, level(random) * unit,
                      level(random) * unit, level(random) * unit);
}

// The chosen channel straight from its definition, in the pixel's scale.
template <class P>
double reference_channel(const P& p, int32_t channel) {
    const double a = p.channel[P::layout::alpha];
    const double r = p.channel[P::layout::red];
    const double g = p.channel[P::layout::green];
    const double b = p.channel[P::layout::blue];
    if (channel < 2) return (0.292687786 * r + 0.552149646 * g + 0.155162568 * b) * a / P::max;
    switch (channel) {
        case 2:
            return a;
        case 3:
            return r;
        case 4:
            return g;
        default:
            return b;
    }
}

// The neighbour at offset d (|d| <= 2) of index g on an axis of n pixels, by the stated rule:
// one step beyond the edge reads the edge; two steps beyond read the edge when the pixel is one
// step in, and the pixel one step inward from the edge when the pixel is on it; what still
// falls outside (axes under three pixels) is clamped.
int reference_neighbour(int g, int d, int n) {
    int i = g + d;
    if (i < 0) i = (i == -1) ? 0 : 1;
    if (i >= n) i = (i == n) ? n - 1 : n - 2;
    if (i < 0) i = 0;
    if (i > n - 1) i = n - 1;
    return i;
}

struct Expected {
    double dx, dy, height;
};

template <class P>
std::vector<Expected> reference_info(PaddedImage<P>& gradient, PaddedImage<P>& height_image,
                                     int32_t info_w, int32_t info_h, int32_t gradient_channel,
                                     int32_t height_channel, double offset) {
    const int gw = gradient.width(), gh = gradient.height();
    auto v = [&](int gx, int gy, int dx, int dy) {
        return reference_channel(
            gradient.at(reference_neighbour(gx, dx, gw), reference_neighbour(gy, dy, gh)),
            gradient_channel);
    };
    std::vector<Expected> out(size_t(info_w) * info_h);
    double highest = 0.0;
    for (int y = 0; y < info_h; ++y)
        for (int x = 0; x < info_w; ++x) {
            Expected e{0, 0, 0};
            const int gx = x - (info_w - gw) / 2, gy = y - (info_h - gh) / 2;
            if (gx >= 0 && gy >= 0 && gx < gw && gy < gh) {
                double t = 0, u = 0;
                for (int d = -1; d <= 1; ++d) {
                    t += v(gx, gy, 1, d) - v(gx, gy, -1, d);
                    u += v(gx, gy, d, 1) - v(gx, gy, d, -1);
                }
                for (int d = -2; d <= 2; ++d) {
                    t += v(gx, gy, 2, d) - v(gx, gy, -2, d);
                    u += v(gx, gy, d, 2) - v(gx, gy, d, -2);
                }
                const double length = std::sqrt(t * t + u * u);
                if (length > 0) {
                    const double s = t / length, c = u / length;
                    // (sin, cos) of the angle turned by the offset.
                    e.dx = s * std::cos(offset) + c * std::sin(offset);
                    e.dy = c * std::cos(offset) - s * std::sin(offset);
                }
            }
            const int hx = x - (info_w - height_image.width()) / 2;
            const int hy = y - (info_h - height_image.height()) / 2;
            if (hx >= 0 && hy >= 0 && hx < height_image.width() && hy < height_image.height())
                e.height = reference_channel(height_image.at(hx, hy), height_channel) / P::max;
            highest = std::max(highest, e.height);
            out[size_t(y) * info_w + x] = e;
        }
    if (highest != 0)
        for (auto& e : out) e.height /= highest;
    return out;
}

template <class P>
void expect_matches_reference(int32_t w, int32_t h, int32_t info_w, int32_t info_h,
                              int32_t gradient_channel, int32_t height_channel, double offset,
                              unsigned seed, int32_t height_w = -1, int32_t height_h = -1) {
    SCOPED_TRACE(::testing::Message()
                 << "image " << w << "x" << h << " info " << info_w << "x" << info_h << " channels "
                 << gradient_channel << "/" << height_channel << " offset " << offset
                 << " height image " << height_w << "x" << height_h);
    PaddedImage<P> image(w, h, kLayerRows);
    random_pixels(image, seed);
    // A separate height image when its size is given, else the gradient image itself.
    PaddedImage<P> separate(std::max(height_w, 0), std::max(height_h, 0), kLayerRows);
    random_pixels(separate, seed + 1000);
    PaddedImage<P>& heights = height_w < 0 ? image : separate;
    PaddedImage<PixelInfo> info(info_w, info_h, kLayerRows);
    TestHost host;
    FillInfoBufferFilter<P> filter(&host, info.array(), image.array(), heights.array());
    filter.gradient_channel = gradient_channel;
    filter.height_channel = height_channel;
    filter.angle_offset = offset;
    ASSERT_EQ(filter.render(0, 1), host.noError());
    const std::vector<Expected> expected =
        reference_info(image, heights, info_w, info_h, gradient_channel, height_channel, offset);
    for (int32_t y = 0; y < info_h; ++y)
        for (int32_t x = 0; x < info_w; ++x) {
            const Expected& e = expected[size_t(y) * info_w + x];
            const PixelInfo& p = info.at(x, y);
            EXPECT_NEAR(p.extra[0], e.dx, 1e-6) << "direction x at " << x << ", " << y;
            EXPECT_NEAR(p.extra[1], e.dy, 1e-6) << "direction y at " << x << ", " << y;
            EXPECT_NEAR(p.extra[2], e.height, 1e-6) << "height at " << x << ", " << y;
        }
    EXPECT_TRUE(info.spareBytesUntouched());
    EXPECT_TRUE(image.spareBytesUntouched());
    EXPECT_EQ(host.reportCount(), info_h);
}

template <class P>
class FillInfoBufferTypedTest : public ::testing::Test {};

using HostPixelTypes = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(FillInfoBufferTypedTest, HostPixelTypes);

TYPED_TEST(FillInfoBufferTypedTest, MatchesDirectComputationOnSmallImages) {
    using P = TypeParam;
    struct Size {
        int32_t w, h;
    };
    const Size sizes[] = {{1, 1}, {2, 2}, {1, 7}, {6, 1}, {2, 5}, {3, 3}, {4, 2}, {9, 7}};
    unsigned seed = 1;
    for (const Size& s : sizes) expect_matches_reference<P>(s.w, s.h, s.w, s.h, 2, 2, 0.0, seed++);
}

TYPED_TEST(FillInfoBufferTypedTest, EveryChannelChoiceAndAnAngleOffset) {
    using P = TypeParam;
    unsigned seed = 20;
    for (int32_t channel : {0, 1, 2, 3, 4, 5, -3, 9})
        expect_matches_reference<P>(8, 6, 8, 6, channel, 5 - channel, 0.7, seed++);
    expect_matches_reference<P>(5, 5, 5, 5, 2, 2, -2.5, seed++);
}

TYPED_TEST(FillInfoBufferTypedTest, ImagesAreCentredOnTheBuffer) {
    using P = TypeParam;
    expect_matches_reference<P>(7, 5, 11, 9, 2, 2, 0.0, 40);        // buffer larger: margins
    expect_matches_reference<P>(9, 8, 5, 3, 2, 2, 0.0, 41);         // buffer smaller: a crop
    expect_matches_reference<P>(3, 10, 6, 3, 0, 3, 0.0, 42);        // larger in x, smaller in y
    expect_matches_reference<P>(7, 5, 8, 8, 2, 4, 0.0, 43, 4, 11);  // a height image of its own
}

TYPED_TEST(FillInfoBufferTypedTest, OpaqueImageHasNoDirectionAndFullHeight) {
    using P = TypeParam;
    PaddedImage<P> image(10, 7, kLayerRows);
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 10; ++x) set_pixel(image.at(x, y), P::max, x * P::max / 10, 0, 0);
    PaddedImage<PixelInfo> info(10, 7, kLayerRows);
    TestHost host;
    FillInfoBufferFilter<P> filter(&host, info.array(), image.array(), image.array());
    ASSERT_EQ(filter.render(0, 1), host.noError());
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 10; ++x) {
            EXPECT_EQ(info.at(x, y).extra[0], 0.0f);
            EXPECT_EQ(info.at(x, y).extra[1], 0.0f);
            EXPECT_EQ(info.at(x, y).extra[2], 1.0f);
        }
}

TEST(FillInfoBufferFilterTest, DirectionPointsUpTheAlphaSlope) {
    // Alpha rising to the right gives (1, 0); rising downwards gives (0, 1).
    PaddedImage<PixelRGBA8> right(9, 9, kLayerRows);
    PaddedImage<PixelRGBA8> down(9, 9, kLayerRows);
    for (int32_t y = 0; y < 9; ++y)
        for (int32_t x = 0; x < 9; ++x) {
            set_pixel(right.at(x, y), 20 * x, 0, 0, 0);
            set_pixel(down.at(x, y), 20 * y, 0, 0, 0);
        }
    PaddedImage<PixelInfo> info_right(9, 9, kLayerRows);
    PaddedImage<PixelInfo> info_down(9, 9, kLayerRows);
    TestHost host;
    FillInfoBufferFilter<PixelRGBA8> a(&host, info_right.array(), right.array(), right.array());
    FillInfoBufferFilter<PixelRGBA8> b(&host, info_down.array(), down.array(), down.array());
    ASSERT_EQ(a.render(0, 2), host.noError());
    ASSERT_EQ(b.render(1, 2), host.noError());
    EXPECT_NEAR(info_right.at(4, 4).extra[0], 1.0, 1e-7);
    EXPECT_NEAR(info_right.at(4, 4).extra[1], 0.0, 1e-7);
    EXPECT_NEAR(info_down.at(4, 4).extra[0], 0.0, 1e-7);
    EXPECT_NEAR(info_down.at(4, 4).extra[1], 1.0, 1e-7);
    // Heights follow alpha, normalised so that the highest is 1.
    EXPECT_NEAR(info_right.at(4, 0).extra[2], 80.0 / 160.0, 1e-7);
    EXPECT_NEAR(info_right.at(8, 3).extra[2], 1.0, 1e-7);
    EXPECT_EQ(host.badReports(), 0);
}

TEST(FillInfoBufferFilterTest, NonFiniteValuesReadAsZero) {
    PaddedImage<PixelRGBAFloat> image(6, 5, kLayerRows);
    random_pixels(image, 3);
    PaddedImage<PixelRGBAFloat> zeroed(6, 5, kLayerRows);
    random_pixels(zeroed, 3);
    image.at(2, 2).channel[PixelRGBAFloat::layout::alpha] = std::numeric_limits<float>::quiet_NaN();
    image.at(4, 1).channel[PixelRGBAFloat::layout::alpha] = std::numeric_limits<float>::infinity();
    zeroed.at(2, 2).channel[PixelRGBAFloat::layout::alpha] = 0.0f;
    zeroed.at(4, 1).channel[PixelRGBAFloat::layout::alpha] = 0.0f;
    PaddedImage<PixelInfo> info(6, 5, kLayerRows);
    PaddedImage<PixelInfo> expected(6, 5, kLayerRows);
    TestHost host;
    FillInfoBufferFilter<PixelRGBAFloat> a(&host, info.array(), image.array(), image.array());
    FillInfoBufferFilter<PixelRGBAFloat> b(&host, expected.array(), zeroed.array(), zeroed.array());
    ASSERT_EQ(a.render(0, 1), host.noError());
    ASSERT_EQ(b.render(0, 1), host.noError());
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 6; ++x)
            for (int e = 0; e < 3; ++e) {
                EXPECT_TRUE(std::isfinite(info.at(x, y).extra[e]));
                EXPECT_EQ(info.at(x, y).extra[e], expected.at(x, y).extra[e]);
            }
}

TEST(FillInfoBufferFilterTest, NonFiniteAngleOffsetGivesNoDirection) {
    PaddedImage<PixelRGBA16> image(5, 5, kLayerRows);
    random_pixels(image, 4);
    PaddedImage<PixelInfo> info(5, 5, kLayerRows);
    TestHost host;
    FillInfoBufferFilter<PixelRGBA16> filter(&host, info.array(), image.array(), image.array());
    filter.angle_offset = std::numeric_limits<double>::quiet_NaN();
    ASSERT_EQ(filter.render(0, 1), host.noError());
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 5; ++x) {
            EXPECT_EQ(info.at(x, y).extra[0], 0.0f);
            EXPECT_EQ(info.at(x, y).extra[1], 0.0f);
        }
}

TEST(FillInfoBufferFilterTest, HeightImageOfWidthZeroLeavesTheBufferAlone) {
    PaddedImage<PixelRGBA8> image(4, 4, kLayerRows);
    random_pixels(image, 5);
    PaddedImage<PixelInfo> info(4, 4, kLayerRows);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 4; ++x) info.at(x, y).extra[2] = 7.0f;
    TestHost host;
    FillInfoBufferFilter<PixelRGBA8> filter(&host, info.array(), image.array(),
                                            PixelArray<PixelRGBA8>());
    ASSERT_EQ(filter.render(0, 1), host.noError());
    EXPECT_EQ(host.reportCount(), 0);
    EXPECT_EQ(info.at(3, 3).extra[2], 7.0f);
}

TEST(FillInfoBufferFilterTest, CancellationReturnsTheAbortStatus) {
    PaddedImage<PixelRGBA8> image(6, 8, kLayerRows);
    random_pixels(image, 6);
    PaddedImage<PixelInfo> info(6, 8, kLayerRows);
    TestHost host;
    host.abortAfter(3);
    FillInfoBufferFilter<PixelRGBA8> filter(&host, info.array(), image.array(), image.array());
    EXPECT_EQ(filter.render(0, 1), host.abortError());
    EXPECT_EQ(host.reportCount(), 4);
    EXPECT_TRUE(info.spareBytesUntouched());
}

}  // namespace
