#include "evenblur/glow_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "tests/support/test_host.h"
#include "tests/support/padded_image.h"

namespace {

// The kernel straight from its definition, and its normaliser as the plain sum of the weights.
double reference_weight(double radius, int k) {
    const int i = static_cast<int>(radius);
    const double c = radius - i;
    const double d = std::abs(k);
    return (1.0 - c) * std::max(0.0, i + 0.5 - d) + c * std::max(0.0, i + 1.5 - d);
}

// Index j of an endless line of n pixels mirrored at both ends with the edge pixel repeated.
int reference_mirror(long long j, int n) {
    const long long period = 2LL * n;
    long long r = j % period;
    if (r < 0) r += period;
    return static_cast<int>(r < n ? r : period - 1 - r);
}

// One line smoothed by brute force, in double precision.
std::vector<double> reference_line(const std::vector<double>& in, double radius) {
    const int n = static_cast<int>(in.size());
    const int reach = static_cast<int>(radius) + 1;
    double total = 0.0;
    for (int k = -reach; k <= reach; ++k) total += reference_weight(radius, k);
    std::vector<double> out(in.size());
    for (int x = 0; x < n; ++x) {
        double sum = 0.0;
        for (int k = -reach; k <= reach; ++k)
            sum += reference_weight(radius, k) * in[reference_mirror(x + k, n)];
        out[x] = sum / total;
    }
    return out;
}

// A W x H image of C channels as doubles, [channel][y][x].
using Planes = std::vector<std::vector<std::vector<double>>>;

Planes reference_image(Planes planes, double radius_x, double radius_y) {
    for (auto& plane : planes) {
        for (auto& row : plane) row = reference_line(row, radius_x);
        const size_t h = plane.size();
        const size_t w = plane[0].size();
        for (size_t x = 0; x < w; ++x) {
            std::vector<double> column(h);
            for (size_t y = 0; y < h; ++y) column[y] = plane[y][x];
            column = reference_line(column, radius_y);
            for (size_t y = 0; y < h; ++y) plane[y][x] = column[y];
        }
    }
    return planes;
}

template <class P>
Planes random_image(PaddedImage<P>& image, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(0.0, P::max);
    Planes planes(P::channel_count, std::vector<std::vector<double>>(
                                        image.height(), std::vector<double>(image.width())));
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x)
            for (int c = 0; c < P::channel_count; ++c) {
                const float v = static_cast<float>(value(random));
                image.at(x, y).channel[c] = v;
                planes[c][y][x] = v;
            }
    return planes;
}

template <class P>
int32_t smooth(TestHost& host, PaddedImage<P>& image, double radius_x, double radius_y) {
    GlowFilter<P> filter(&host, image.array(true), radius_x, radius_y);
    return filter.render(0, 1);
}

template <class P>
class GlowFilterTypedTest : public ::testing::Test {};

using GlowPixelTypes =
    ::testing::Types<PixelRGBAFloat, PixelRGBAFloat255, PixelRGBAFloat32768, PixelGrayFloat>;
TYPED_TEST_SUITE(GlowFilterTypedTest, GlowPixelTypes);

TYPED_TEST(GlowFilterTypedTest, MatchesBruteForceReferenceIncludingRadiiBeyondTheImage) {
    using P = TypeParam;
    struct Case {
        int32_t width, height;
        double rx, ry;
    };
    const Case cases[] = {
        {13, 9, 2.3, 1.7},    {13, 9, 0.6, 4.2}, {7, 5, 20.5, 17.25}, {11, 3, 100.9, 0.0},
        {1, 6, 3.5, 2.0},     {5, 1, 0.0, 9.75}, {2, 2, 7.0, 1.0},    {9, 8, 8.0, 7.999},
        {4, 17, 3.999, 16.0}, {6, 4, 1.0, 0.25},
    };
    unsigned seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.width << "x" << c.height << " radii " << c.rx << ", " << c.ry);
        PaddedImage<P> image(c.width, c.height, kLayerRows);
        const Planes expected = reference_image(random_image(image, seed++), c.rx, c.ry);
        TestHost host;
        ASSERT_EQ(smooth(host, image, c.rx, c.ry), host.noError());
        for (int32_t y = 0; y < c.height; ++y)
            for (int32_t x = 0; x < c.width; ++x)
                for (int ch = 0; ch < P::channel_count; ++ch)
                    ASSERT_NEAR(image.at(x, y).channel[ch], expected[ch][y][x], 2e-6 * P::max)
                        << "at " << x << ", " << y << " channel " << ch;
        EXPECT_TRUE(image.spareBytesUntouched());
        EXPECT_EQ(host.liveBlocks(), 0u);
    }
}

TYPED_TEST(GlowFilterTypedTest, RadiusZeroCopiesBitForBit) {
    using P = TypeParam;
    PaddedImage<P> image(9, 7, kLayerRows);
    random_image(image, 7);
    image.at(3, 2).channel[0] = std::numeric_limits<float>::quiet_NaN();
    image.at(4, 2).channel[0] = std::numeric_limits<float>::infinity();
    PaddedImage<P> before(9, 7, kLayerRows);
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 9; ++x) before.at(x, y) = image.at(x, y);
    TestHost host;
    ASSERT_EQ(smooth(host, image, 0.0, 0.0), host.noError());
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 9; ++x)
            EXPECT_EQ(std::memcmp(&image.at(x, y), &before.at(x, y), sizeof(P)), 0)
                << "at " << x << ", " << y;
    EXPECT_TRUE(image.spareBytesUntouched());
}

TYPED_TEST(GlowFilterTypedTest, PreservesTheSumOfTheImage) {
    using P = TypeParam;
    PaddedImage<P> image(23, 19, kLayerRows);
    random_image(image, 11);
    double before = 0.0;
    for (int32_t y = 0; y < 19; ++y)
        for (int32_t x = 0; x < 23; ++x) before += image.at(x, y).channel[0];
    TestHost host;
    // Mirrored edges keep the sum for every radius, also one wider than the image.
    ASSERT_EQ(smooth(host, image, 3.4, 30.6), host.noError());
    double after = 0.0;
    for (int32_t y = 0; y < 19; ++y)
        for (int32_t x = 0; x < 23; ++x) after += image.at(x, y).channel[0];
    EXPECT_NEAR(after, before, 1e-6 * before);
}

template <class P>
std::vector<double> impulse_response(double radius, int32_t width = 21) {
    PaddedImage<P> image(width, 3, kLayerRows);
    for (int32_t y = 0; y < 3; ++y) image.at(width / 2, y).channel[0] = static_cast<float>(P::max);
    TestHost host;
    EXPECT_EQ(smooth(host, image, radius, 0.0), host.noError());
    std::vector<double> row(width);
    for (int32_t x = 0; x < width; ++x) row[x] = image.at(x, 1).channel[0] / P::max;
    return row;
}

TEST(GlowFilterTest, WeightsOfTheDocumentedRadii) {
    struct Case {
        double radius;
        std::vector<double> weights;
        double normaliser;
    };
    const Case cases[] = {
        {1.0, {1, 3, 1}, 5.0},
        {2.0, {1, 3, 5, 3, 1}, 13.0},
        {1.5, {1, 4, 8, 4, 1}, 18.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "radius " << c.radius);
        const std::vector<double> row = impulse_response<PixelGrayFloat>(c.radius);
        const int32_t centre = 10;
        const int32_t half = static_cast<int32_t>(c.weights.size() / 2);
        for (int32_t x = 0; x < 21; ++x) {
            const int32_t k = x - centre;
            const double expected = std::abs(k) <= half ? c.weights[k + half] / c.normaliser : 0.0;
            EXPECT_NEAR(row[x], expected, 1e-7) << "offset " << k;
        }
    }
    // A bright pixel smoothed with radius 1 along x: 0.2, 0.6, 0.2 of its value.
    const std::vector<double> row = impulse_response<PixelRGBAFloat255>(1.0);
    EXPECT_NEAR(row[9], 0.2, 1e-7);
    EXPECT_NEAR(row[10], 0.6, 1e-7);
    EXPECT_NEAR(row[11], 0.2, 1e-7);
    EXPECT_EQ(row[8], 0.0);
    EXPECT_EQ(row[12], 0.0);
}

TEST(GlowFilterTest, FractionalRadiiBlendTheTwoTents) {
    for (double radius : {0.25, 0.5, 0.999, 2.75, 4.1}) {
        SCOPED_TRACE(::testing::Message() << "radius " << radius);
        const std::vector<double> row = impulse_response<PixelGrayFloat>(radius, 31);
        const int reach = static_cast<int>(radius) + 1;
        const int i = static_cast<int>(radius);
        const double c = radius - i;
        const double normaliser = i * i + i + 0.5 + c * (2 * i + 2);
        double sum = 0.0;
        for (int32_t x = 0; x < 31; ++x) {
            const int k = x - 15;
            const double expected =
                std::abs(k) <= reach ? reference_weight(radius, k) / normaliser : 0.0;
            EXPECT_NEAR(row[x], expected, 1e-7) << "offset " << k;
            sum += row[x];
        }
        EXPECT_NEAR(sum, 1.0, 1e-6);
    }
}

TEST(GlowFilterTest, RadiiAreDividedByTheScales) {
    PaddedImage<PixelRGBAFloat> scaled(15, 11, kLayerRows);
    random_image(scaled, 3);
    PaddedImage<PixelRGBAFloat> direct(15, 11, kLayerRows);
    random_image(direct, 3);
    TestHost host;
    GlowFilter<PixelRGBAFloat> filter(&host, scaled.array(true), 3.0, 5.0, 2.0, 4.0);
    ASSERT_EQ(filter.render(0, 1), host.noError());
    EXPECT_DOUBLE_EQ(filter.radius_x, 1.5);
    EXPECT_DOUBLE_EQ(filter.radius_y, 1.25);
    ASSERT_EQ(smooth(host, direct, 1.5, 1.25), host.noError());
    for (int32_t y = 0; y < 11; ++y)
        for (int32_t x = 0; x < 15; ++x)
            for (int c = 0; c < 4; ++c)
                EXPECT_EQ(scaled.at(x, y).channel[c], direct.at(x, y).channel[c]);
}

TEST(GlowFilterTest, OnePixelImageKeepsItsValueForAnyRadius) {
    const double infinity = std::numeric_limits<double>::infinity();
    for (double radius : {0.5, 3.0, 1e5, 1e12, infinity}) {
        PaddedImage<PixelRGBAFloat> image(1, 1, kLayerRows);
        for (int c = 0; c < 4; ++c) image.at(0, 0).channel[c] = 0.25f * (c + 1);
        TestHost host;
        ASSERT_EQ(smooth(host, image, radius, radius), host.noError());
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(image.at(0, 0).channel[c], 0.25 * (c + 1), 1e-6);
    }
}

TEST(GlowFilterTest, HugeRadiusTendsToTheMeanOfTheLine) {
    PaddedImage<PixelGrayFloat> image(6, 1, kLayerRows);
    double mean = 0.0;
    for (int32_t x = 0; x < 6; ++x) {
        image.at(x, 0).channel[0] = static_cast<float>(x * x);
        mean += x * x / 6.0;
    }
    TestHost host;
    ASSERT_EQ(smooth(host, image, 1e6 + 0.5, 0.0), host.noError());
    for (int32_t x = 0; x < 6; ++x) EXPECT_NEAR(image.at(x, 0).channel[0], mean, 1e-4);
}

TEST(GlowFilterTest, NegativeAndNaNRadiiSmoothNothing) {
    PaddedImage<PixelGrayFloat> image(5, 4, kLayerRows);
    const Planes before = random_image(image, 5);
    TestHost host;
    ASSERT_EQ(smooth(host, image, -2.0, std::numeric_limits<double>::quiet_NaN()), host.noError());
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 5; ++x) EXPECT_EQ(image.at(x, y).channel[0], before[0][y][x]);
}

TEST(GlowFilterTest, NonFiniteSamplesReadAsZeroAndStayLocal) {
    const float values[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()};
    for (float bad : values) {
        PaddedImage<PixelRGBAFloat> image(17, 9, kLayerRows);
        random_image(image, 9);
        PaddedImage<PixelRGBAFloat> zeroed(17, 9, kLayerRows);
        random_image(zeroed, 9);
        image.at(8, 4).channel[2] = bad;
        zeroed.at(8, 4).channel[2] = 0.0f;
        TestHost host;
        ASSERT_EQ(smooth(host, image, 2.5, 1.5), host.noError());
        ASSERT_EQ(smooth(host, zeroed, 2.5, 1.5), host.noError());
        for (int32_t y = 0; y < 9; ++y)
            for (int32_t x = 0; x < 17; ++x)
                for (int c = 0; c < 4; ++c) {
                    ASSERT_TRUE(std::isfinite(image.at(x, y).channel[c]));
                    EXPECT_EQ(image.at(x, y).channel[c], zeroed.at(x, y).channel[c]);
                }
    }
}

TEST(GlowFilterTest, ManyThreadsGiveTheSameResultAsOne) {
    PaddedImage<PixelRGBAFloat32768> serial(37, 29, kLayerRows);
    random_image(serial, 21);
    PaddedImage<PixelRGBAFloat32768> parallel(37, 29, kLayerRows);
    random_image(parallel, 21);
    TestHost one(1);
    TestHost many(5);
    ASSERT_EQ(smooth(one, serial, 4.6, 2.2), one.noError());
    ASSERT_EQ(smooth(many, parallel, 4.6, 2.2), many.noError());
    EXPECT_EQ(many.parallelRuns(), 2);
    for (int32_t y = 0; y < 29; ++y)
        for (int32_t x = 0; x < 37; ++x)
            EXPECT_EQ(
                std::memcmp(&serial.at(x, y), &parallel.at(x, y), sizeof(PixelRGBAFloat32768)), 0)
                << "at " << x << ", " << y;
    EXPECT_TRUE(parallel.spareBytesUntouched());
    EXPECT_EQ(many.liveBlocks(), 0u);
}

TEST(GlowFilterTest, ReportsEveryRowAndColumnWithinItsPass) {
    PaddedImage<PixelGrayFloat> image(7, 5, kLayerRows);
    random_image(image, 2);
    TestHost host(3);
    GlowFilter<PixelGrayFloat> filter(&host, image.array(true), 1.5, 1.5);
    ASSERT_EQ(filter.render(1, 3), host.noError());
    EXPECT_EQ(host.reportCount(), 5 + 7);
    EXPECT_EQ(host.badReports(), 0);
}

TEST(GlowFilterTest, CancelledHorizontalPassLeavesTheImageUnchanged) {
    for (int32_t threads : {1, 3}) {
        PaddedImage<PixelRGBAFloat> image(12, 10, kLayerRows);
        const Planes before = random_image(image, 4);
        TestHost host(threads);
        host.abortAfter(3);
        EXPECT_EQ(smooth(host, image, 2.0, 2.0), host.abortError());
        EXPECT_EQ(host.liveBlocks(), 0u);
        for (int32_t y = 0; y < 10; ++y)
            for (int32_t x = 0; x < 12; ++x)
                for (int c = 0; c < 4; ++c) EXPECT_EQ(image.at(x, y).channel[c], before[c][y][x]);
    }
}

TEST(GlowFilterTest, CancelledVerticalPassReturnsTheAbortStatus) {
    PaddedImage<PixelRGBAFloat> image(12, 10, kLayerRows);
    random_image(image, 4);
    TestHost host(2);
    host.abortAfter(10 + 4);
    EXPECT_EQ(smooth(host, image, 2.0, 2.0), host.abortError());
    EXPECT_EQ(host.liveBlocks(), 0u);
    EXPECT_TRUE(image.spareBytesUntouched());
}

TEST(GlowFilterTest, OutOfMemoryLeavesTheImageUnchanged) {
    PaddedImage<PixelGrayFloat> image(6, 6, kLayerRows);
    const Planes before = random_image(image, 8);
    TestHost host;
    host.failAllocation();
    EXPECT_EQ(smooth(host, image, 1.0, 1.0), host.outOfMemoryError());
    EXPECT_EQ(host.reportCount(), 0);
    for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 6; ++x) EXPECT_EQ(image.at(x, y).channel[0], before[0][y][x]);
}

TEST(GlowFilterTest, GivenTemporaryAndTargetAreUsedAndTheImageIsKept) {
    PaddedImage<PixelRGBAFloat> image(11, 8, kLayerRows);
    const Planes before = random_image(image, 13);
    PaddedImage<PixelRGBAFloat> expected(11, 8, kLayerRows);
    random_image(expected, 13);
    PaddedImage<PixelRGBAFloat> temporary(11, 8, kLayerRows);
    PaddedImage<PixelRGBAFloat> target(11, 8, kLayerRows);
    TestHost host;
    host.failAllocation();  // proves that the given temporary is used
    GlowFilter<PixelRGBAFloat> filter(&host, image.array(true), 2.5, 0.5);
    filter.temporary = temporary.array(true);
    filter.target = target.array(true);
    filter.use_target = true;
    ASSERT_EQ(filter.render(0, 1), host.noError());
    TestHost other;
    ASSERT_EQ(smooth(other, expected, 2.5, 0.5), other.noError());
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 11; ++x)
            for (int c = 0; c < 4; ++c) {
                EXPECT_EQ(image.at(x, y).channel[c], before[c][y][x]);
                EXPECT_EQ(target.at(x, y).channel[c], expected.at(x, y).channel[c]);
            }
    EXPECT_TRUE(target.spareBytesUntouched());
    EXPECT_TRUE(temporary.spareBytesUntouched());
}

TEST(GlowFilterTest, TooSmallTemporaryIsRejectedWithItsSize) {
    PaddedImage<PixelGrayFloat> image(6, 6, kLayerRows);
    PaddedImage<PixelGrayFloat> temporary(6, 5, kLayerRows);
    TestHost host;
    GlowFilter<PixelGrayFloat> filter(&host, image.array(true), 1.0, 1.0);
    filter.temporary = temporary.array(true);
    try {
        filter.render(0, 1);
        FAIL() << "no exception";
    } catch (const QuillbrookException& e) {
        EXPECT_NE(e.message().find("6x5"), std::string::npos) << e.message();
    }
}

TEST(GlowFilterTest, EmptyImageRunsNothing) {
    TestHost host;
    PaddedImage<PixelGrayFloat> image(0, 4, kLayerRows);
    EXPECT_EQ(smooth(host, image, 2.0, 2.0), host.noError());
    EXPECT_EQ(host.reportCount(), 0);
    EXPECT_EQ(host.liveBlocks(), 0u);
}

}  // namespace
