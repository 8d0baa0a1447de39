#include "evenblur/refract_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "tests/support/test_host.h"
#include "evenblur/fill_info_buffer_filter.h"
#include "tests/support/padded_image.h"

namespace {

template <class P>
using Refracted = PixelRGB<RGBALayout, float, 1, 0, P::max_value>;

template <class P>
void set_pixel(P& p, double a, double r, double g, double b) {
    using T = typename P::channel_type;
    p.channel[P::layout::alpha] = static_cast<T>(a);
    p.channel[P::layout::red] = static_cast<T>(r);
    p.channel[P::layout::green] = static_cast<T>(g);
    p.channel[P::layout::blue] = static_cast<T>(b);
}

template <class P>
double channel(const P& p, int c) {
    return p.channel[c];
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

void fill_info(PaddedImage<PixelInfo>& info, float dx, float dy, float height) {
    for (int32_t y = 0; y < info.height(); ++y)
        for (int32_t x = 0; x < info.width(); ++x) {
            info.at(x, y).extra[0] = dx;
            info.at(x, y).extra[1] = dy;
            info.at(x, y).extra[2] = height;
        }
}

// The distortion that moves a sample by `pixels` for a height 1 and a scale 1.
double distortion_for(double pixels) { return pixels * 1000.0 / 255.0; }

template <class P>
class RefractTypedTest : public ::testing::Test {};

using HostPixelTypes = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(RefractTypedTest, HostPixelTypes);

TYPED_TEST(RefractTypedTest, ZeroDistortionLeavesTheBackgroundUnchanged) {
    using P = TypeParam;
    for (int32_t antialias : {0, 1, 3}) {
        SCOPED_TRACE(::testing::Message() << "antialias " << antialias);
        PaddedImage<P> background(9, 7, kLayerRows);
        random_pixels(background, 1);
        PaddedImage<PixelInfo> info(9, 7, kLayerRows);
        fill_info(info, 0.6f, 0.8f, 1.0f);
        PaddedImage<Refracted<P>> out(9, 7, kLayerRows);
        TestHost host;
        RefractFilter<P, Refracted<P>> filter(&host, background.array(), out.array(), info.array());
        filter.samples = antialias;
        filter.assume_h = 4;
        filter.assume_v = 4;
        filter.outside_alpha = P::max;
        ASSERT_EQ(filter.render(0, 1), host.noError());
        EXPECT_EQ(filter.samples, antialias + 1);
        for (int32_t y = 0; y < 7; ++y)
            for (int32_t x = 0; x < 9; ++x)
                for (int c = 0; c < 4; ++c)
                    ASSERT_EQ(channel(out.at(x, y), c), channel(background.at(x, y), c))
                        << "at " << x << ", " << y;
        EXPECT_TRUE(out.spareBytesUntouched());
        EXPECT_EQ(host.reportCount(), 7);
        EXPECT_EQ(host.badReports(), 0);
    }
}

TYPED_TEST(RefractTypedTest, OpaqueForegroundLeavesTheBackgroundUnmoved) {
    using P = TypeParam;
    PaddedImage<P> foreground(8, 6, kLayerRows);
    for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 8; ++x)
            set_pixel(foreground.at(x, y), P::max, 0, x * P::max / 8, 0);
    PaddedImage<P> background(8, 6, kLayerRows);
    random_pixels(background, 2);
    PaddedImage<PixelInfo> info(8, 6, kLayerRows);
    PaddedImage<Refracted<P>> out(8, 6, kLayerRows);
    TestHost host;
    FillInfoBufferFilter<P> fill(&host, info.array(), foreground.array(), foreground.array());
    ASSERT_EQ(fill.render(0, 2), host.noError());
    RefractFilter<P, Refracted<P>> refract(&host, background.array(), out.array(), info.array());
    refract.distortion = 50.0;
    refract.samples = 2;
    ASSERT_EQ(refract.render(1, 2), host.noError());
    for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 8; ++x)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(channel(out.at(x, y), c), channel(background.at(x, y), c));
}

// One step of the 8-bit scale, exact in every pixel type (16-bit steps of 128).
template <class P>
double ramp_unit() {
    return P::max_value == 32768 ? 128.0 : P::max / 255.0;
}

// A background whose every channel is a ramp along x (10 per column, in the 8-bit scale).
template <class P>
PaddedImage<P> ramp_background(int32_t w, int32_t h) {
    PaddedImage<P> image(w, h, kLayerRows);
    const double unit = ramp_unit<P>();
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            set_pixel(image.at(x, y), (10 * x + 5) * unit, 10 * x * unit, (100 - 5 * x) * unit,
                      7 * unit);
    return image;
}

TYPED_TEST(RefractTypedTest, DisplacementFollowsTheOutsideModes) {
    using P = TypeParam;
    const int32_t w = 8, h = 3;
    const double unit = ramp_unit<P>();
    // A displacement of +2.5 pixels along x. Every channel of the ramp is linear in the
    // column, so a sample is known by the column position it reads (-1: the outside colour).
    // The last column has no right neighbour, so positions in 7 .. 8 read column 7; beyond the
    // edge border repeats column 7, mirroring reflects about the right edge (8.5 reads 7.5,
    // 9.5 reads 6.5), repeating wraps (8.5 reads 0.5) and colour modes use the outside colour.
    struct Case {
        int32_t mode;
        double expected_column[w];
    };
    const Case cases[] = {
        {1, {2.5, 3.5, 4.5, 5.5, 6.5, 7, 7, 7}},     {2, {2.5, 3.5, 4.5, 5.5, 6.5, 7, 7, 6.5}},
        {3, {2.5, 3.5, 4.5, 5.5, 6.5, 7, 0.5, 1.5}}, {4, {2.5, 3.5, 4.5, 5.5, 6.5, 7, -1, -1}},
        {0, {2.5, 3.5, 4.5, 5.5, 6.5, 7, -1, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode);
        PaddedImage<P> background = ramp_background<P>(w, h);
        PaddedImage<PixelInfo> info(w, h, kLayerRows);
        fill_info(info, 1.0f, 0.0f, 0.5f);
        PaddedImage<Refracted<P>> out(w, h, kLayerRows);
        TestHost host;
        RefractFilter<P, Refracted<P>> filter(&host, background.array(), out.array(), info.array());
        filter.distortion = distortion_for(2.5) * 2.0 * 0.4;  // height 0.5, scale 0.4
        filter.scale_x = 0.4;
        filter.assume_h = c.mode;
        filter.assume_v = 1;
        filter.outside_alpha = 200 * unit;
        filter.outside_red = 1 * unit;
        filter.outside_green = 2 * unit;
        filter.outside_blue = 3 * unit;
        ASSERT_EQ(filter.render(0, 1), host.noError());
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                const double from = c.expected_column[x];
                const double a = from < 0 ? 200 : 10 * from + 5;
                const double r = from < 0 ? 1 : 10 * from;
                const double g = from < 0 ? 2 : 100 - 5 * from;
                const double b = from < 0 ? 3 : 7;
                const auto& p = out.at(x, y);
                const double tolerance = 1e-3 * unit;
                EXPECT_NEAR(p.channel[P::layout::alpha], a * unit, tolerance) << "at " << x;
                EXPECT_NEAR(p.channel[P::layout::red], r * unit, tolerance) << "at " << x;
                EXPECT_NEAR(p.channel[P::layout::green], g * unit, tolerance) << "at " << x;
                EXPECT_NEAR(p.channel[P::layout::blue], b * unit, tolerance) << "at " << x;
            }
        EXPECT_TRUE(out.spareBytesUntouched());
    }
}

TEST(RefractFilterTest, NegativeDistortionBendsTheOtherWayAlongY) {
    const int32_t w = 3, h = 9;
    PaddedImage<PixelRGBAFloat> background(w, h, kLayerRows);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) set_pixel(background.at(x, y), 1.0, 0.1 * y, 0.0, 0.0);
    PaddedImage<PixelInfo> info(w, h, kLayerRows);
    fill_info(info, 0.0f, 1.0f, 1.0f);
    PaddedImage<Refracted<PixelRGBAFloat>> out(w, h, kLayerRows);
    TestHost host;
    RefractFilter<PixelRGBAFloat, Refracted<PixelRGBAFloat>> filter(&host, background.array(),
                                                                    out.array(), info.array());
    filter.distortion = -distortion_for(2.5) * 2.0;
    filter.scale_y = 2.0;
    ASSERT_EQ(filter.render(0, 1), host.noError());
    // Row y shows row y - 2.5: halfway between rows y - 3 and y - 2; border above the top.
    for (int32_t y = 0; y < h; ++y) {
        const double source_row = std::max(0.0, y - 2.5);
        const double expected = y - 2.5 <= 0.0 ? 0.0 : 0.1 * source_row;
        EXPECT_NEAR(out.at(1, y).channel[1], expected, 1e-6) << "row " << y;
    }
}

TEST(RefractFilterTest, AntialiasAveragesSubSamplesAndKeepsTheSourceShareOfSkippedOnes) {
    // On a linear ramp bilinear samples are exact, so the mean of symmetric sub-samples is the
    // ramp at the displaced pixel centre, for any sub-sample count.
    const int32_t w = 12, h = 5;
    for (int32_t antialias : {0, 1, 2, 4}) {
        SCOPED_TRACE(::testing::Message() << "antialias " << antialias);
        PaddedImage<PixelRGBAFloat255> background(w, h, kLayerRows);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) set_pixel(background.at(x, y), 255, 10 * x, 0, 0);
        PaddedImage<PixelInfo> info(w, h, kLayerRows);
        fill_info(info, 1.0f, 0.0f, 1.0f);
        PaddedImage<Refracted<PixelRGBAFloat255>> out(w, h, kLayerRows);
        TestHost host;
        RefractFilter<PixelRGBAFloat255, Refracted<PixelRGBAFloat255>> filter(
            &host, background.array(), out.array(), info.array());
        filter.distortion = distortion_for(2.0);
        filter.samples = antialias;
        ASSERT_EQ(filter.render(0, 1), host.noError());
        for (int32_t x = 1; x < 8; ++x)
            for (int32_t y = 1; y < h - 1; ++y)
                EXPECT_NEAR(out.at(x, y).channel[1], 10.0 * (x + 2), 1e-4)
                    << "at " << x << ", " << y;
        if (antialias == 1) {
            // Two sub-samples per axis at -0.25 and +0.25: in column 0 the left half lies
            // outside the information buffer and keeps the source value (0); the right half is
            // displaced to 2.25. In row 0 the upper half is skipped too.
            EXPECT_NEAR(out.at(0, 2).channel[1], 0.5 * 0.0 + 0.5 * 22.5, 1e-4);
            EXPECT_NEAR(out.at(0, 0).channel[1], 0.75 * 0.0 + 0.25 * 22.5, 1e-4);
            EXPECT_NEAR(out.at(5, 0).channel[1], 0.5 * 50.0 + 0.5 * 70.0, 1e-4);
        }
    }
}

TEST(RefractFilterTest, InformationBufferIsPlacedByTheOrigins) {
    // The information buffer covers background columns 4 .. 6 only: elsewhere nothing moves.
    const int32_t w = 10, h = 4;
    PaddedImage<PixelRGBA8> background(w, h, kLayerRows);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) set_pixel(background.at(x, y), 255, 20 * x, 0, 0);
    PaddedImage<PixelInfo> info(3, h, kLayerRows);
    fill_info(info, 1.0f, 0.0f, 1.0f);
    PixelArray<PixelInfo> info_array = info.array();
    info_array.origin_x = 104;
    PixelArray<PixelRGBA8> background_array = background.array();
    background_array.origin_x = 100;
    PaddedImage<Refracted<PixelRGBA8>> out(w, h, kLayerRows);
    TestHost host;
    RefractFilter<PixelRGBA8, Refracted<PixelRGBA8>> filter(&host, background_array, out.array(),
                                                            info_array);
    filter.distortion = distortion_for(1.0);
    ASSERT_EQ(filter.render(0, 1), host.noError());
    for (int32_t x = 0; x < w; ++x) {
        const double expected = (x >= 4 && x <= 6) ? 20.0 * (x + 1) : 20.0 * x;
        EXPECT_NEAR(out.at(x, 2).channel[1], expected, 1e-3) << "column " << x;
    }
}

TEST(RefractFilterTest, DirectionIsInterpolatedBetweenInformationPixels) {
    // Sub-samples at a quarter pixel read the information buffer bilinearly: a height stepping
    // from 0 to 1 between columns 3 and 4 moves the sub-sample at 3.25 by a quarter of the full
    // displacement.
    const int32_t w = 8, h = 3;
    PaddedImage<PixelRGBAFloat> background(w, h, kLayerRows);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) set_pixel(background.at(x, y), 1.0, 0.1 * x, 0.0, 0.0);
    PaddedImage<PixelInfo> info(w, h, kLayerRows);
    fill_info(info, 1.0f, 0.0f, 0.0f);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 4; x < w; ++x) info.at(x, y).extra[2] = 1.0f;
    PaddedImage<Refracted<PixelRGBAFloat>> out(w, h, kLayerRows);
    TestHost host;
    RefractFilter<PixelRGBAFloat, Refracted<PixelRGBAFloat>> filter(&host, background.array(),
                                                                    out.array(), info.array());
    filter.distortion = distortion_for(2.0);
    filter.samples = 1;
    ASSERT_EQ(filter.render(0, 1), host.noError());
    // Column 3, row 1: sub-samples at 2.75 (height 0: kept as the source) and 3.25 (height
    // 0.25: moved by 0.5 to 3.75), in two rows each.
    EXPECT_NEAR(out.at(3, 1).channel[1], 0.5 * 0.3 + 0.5 * 0.375, 1e-6);
}

TEST(RefractFilterTest, NonFiniteDistortionMovesNothing) {
    PaddedImage<PixelRGBA16> background(5, 4, kLayerRows);
    random_pixels(background, 9);
    PaddedImage<PixelInfo> info(5, 4, kLayerRows);
    fill_info(info, 0.6f, -0.8f, 1.0f);
    for (double distortion :
         {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        PaddedImage<Refracted<PixelRGBA16>> out(5, 4, kLayerRows);
        TestHost host;
        RefractFilter<PixelRGBA16, Refracted<PixelRGBA16>> filter(&host, background.array(),
                                                                  out.array(), info.array());
        filter.distortion = distortion;
        ASSERT_EQ(filter.render(0, 1), host.noError());
        for (int32_t y = 0; y < 4; ++y)
            for (int32_t x = 0; x < 5; ++x)
                for (int c = 0; c < 4; ++c)
                    EXPECT_EQ(channel(out.at(x, y), c), channel(background.at(x, y), c));
    }
}

TEST(RefractFilterTest, NonFiniteBackgroundValuesStayWhereTheyAreRead) {
    PaddedImage<PixelRGBAFloat> background(6, 3, kLayerRows);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 6; ++x) set_pixel(background.at(x, y), 1.0, 0.5, 0.5, 0.5);
    background.at(2, 1).channel[1] = std::numeric_limits<float>::infinity();
    PaddedImage<PixelInfo> info(6, 3, kLayerRows);
    fill_info(info, 1.0f, 0.0f, 1.0f);
    PaddedImage<Refracted<PixelRGBAFloat>> out(6, 3, kLayerRows);
    TestHost host;
    RefractFilter<PixelRGBAFloat, Refracted<PixelRGBAFloat>> filter(&host, background.array(),
                                                                    out.array(), info.array());
    filter.distortion = distortion_for(0.5);
    ASSERT_EQ(filter.render(0, 1), host.noError());
    // Only columns 1 and 2 of row 1 sample column 2 of row 1 (at 1.5 and 2.5).
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 6; ++x) {
            if ((x == 1 || x == 2) && y == 1) {
                EXPECT_TRUE(std::isinf(out.at(x, y).channel[1]));
            } else {
                EXPECT_NEAR(out.at(x, y).channel[1], 0.5, 1e-6) << "at " << x << ", " << y;
            }
        }
}

TEST(RefractFilterTest, CancellationReturnsTheAbortStatus) {
    PaddedImage<PixelRGBA8> background(6, 9, kLayerRows);
    random_pixels(background, 10);
    PaddedImage<PixelInfo> info(6, 9, kLayerRows);
    fill_info(info, 1.0f, 0.0f, 1.0f);
    PaddedImage<Refracted<PixelRGBA8>> out(6, 9, kLayerRows);
    TestHost host;
    host.abortAfter(4);
    RefractFilter<PixelRGBA8, Refracted<PixelRGBA8>> filter(&host, background.array(), out.array(),
                                                            info.array());
    filter.distortion = 20.0;
    EXPECT_EQ(filter.render(0, 1), host.abortError());
    EXPECT_EQ(host.reportCount(), 5);
}

TEST(RefractFilterTest, DestinationOfAnotherSizeIsRejected) {
    PaddedImage<PixelRGBA8> background(6, 9, kLayerRows);
    PaddedImage<PixelInfo> info(6, 9, kLayerRows);
    PaddedImage<Refracted<PixelRGBA8>> out(6, 8, kLayerRows);
    TestHost host;
    RefractFilter<PixelRGBA8, Refracted<PixelRGBA8>> filter(&host, background.array(), out.array(),
                                                            info.array());
    try {
        filter.render(0, 1);
        FAIL() << "no exception";
    } catch (const QuillbrookException& e) {
        EXPECT_NE(e.message().find("6x8"), std::string::npos) << e.message();
        EXPECT_NE(e.message().find("6x9"), std::string::npos) << e.message();
    }
}

}  // namespace
