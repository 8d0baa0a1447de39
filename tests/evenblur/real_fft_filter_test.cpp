#include "evenblur/real_fft_filter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "tests/evenblur/fft_reference.h"
#include "tests/support/test_host.h"

namespace {

struct Size {
    int32_t nw;
    int32_t nh;
    int32_t data_rows;
};

// A sample of shapes: the smallest row (no split-step pairs), extreme aspect ratios both ways,
// single-row and two-row transforms, and partial data rows (including none).
const Size kSizes[] = {{4, 4, 4},    {4, 256, 256}, {256, 4, 4},    {64, 32, 32},
                       {64, 32, 13}, {8, 16, 0},    {16, 8, 7},     {32, 1, 1},
                       {8, 2, 1},    {128, 64, 64}, {256, 256, 200}};

std::string describe(const Size& s) {
    return std::to_string(s.nw) + "x" + std::to_string(s.nh) + " data rows " +
           std::to_string(s.data_rows);
}

// Error bound for a transform of n samples whose inputs have L2 norm `norm`: single-precision
// rounding grows with log2(n) per butterfly level.
double tolerance(int64_t n, double norm) {
    return 2e-7 * (std::log2(double(n)) + 2.0) * (norm + 1.0);
}

template <class P>
double channelNorm(TransformBuffer<P>& b, int c) {
    double sum = 0.0;
    for (int32_t y = 0; y < b.nh(); ++y)
        for (int32_t x = 0; x < b.nw() + 2; ++x) sum += double(b.at(x, y, c)) * b.at(x, y, c);
    return std::sqrt(sum);
}

template <class P>
class RealFftTest : public ::testing::Test {};

using TransformPixels = ::testing::Types<PixelGrayFloat, PixelRGBAFloat, PixelSpectrum>;
TYPED_TEST_SUITE(RealFftTest, TransformPixels);

TYPED_TEST(RealFftTest, ForwardMatchesDirectTransform) {
    using P = TypeParam;
    constexpr int C = TransformBuffer<P>::kChannels;
    for (const Size& s : kSizes) {
        SCOPED_TRACE(describe(s));
        TransformBuffer<P> buffer(s.nw, s.nh);
        buffer.fillRandom(uint32_t(s.nw * 1000 + s.nh));
        std::vector<HalfSpectrum> expected;
        std::vector<double> bounds;
        for (int c = 0; c < C; ++c) {
            expected.push_back(directForward(buffer, s.data_rows, c));
            bounds.push_back(tolerance(int64_t(s.nw) * s.nh, channelNorm(buffer, c)));
        }

        TestHost host(2);
        RealFFFFilter<P> fft(&host, buffer.array());
        fft.data_rows = s.data_rows;
        ASSERT_EQ(fft.forward(0, 1), host.noError());

        const int32_t columns = s.nw / 2 + 1;
        for (int c = 0; c < C; ++c) {
            double worst = 0.0;
            for (int32_t y = 0; y < s.nh; ++y)
                for (int32_t k = 0; k < columns; ++k)
                    worst = std::max(worst, std::abs(buffer.element(k, y, c) -
                                                     expected[c][size_t(y) * columns + k]));
            EXPECT_LE(worst, bounds[c]) << "channel " << c;
        }
        EXPECT_TRUE(buffer.spareBytesUntouched());
        EXPECT_EQ(host.liveBlocks(), 0u);
    }
}

TYPED_TEST(RealFftTest, InverseMatchesDirectTransform) {
    using P = TypeParam;
    constexpr int C = TransformBuffer<P>::kChannels;
    for (const Size& s : kSizes) {
        SCOPED_TRACE(describe(s));
        TransformBuffer<P> buffer(s.nw, s.nh);
        buffer.fillRandom(uint32_t(s.nw * 7 + s.nh * 31 + 5));
        std::vector<std::vector<double>> expected;
        std::vector<double> bounds;
        for (int c = 0; c < C; ++c) {
            expected.push_back(directInverse(buffer, c));
            bounds.push_back(tolerance(int64_t(s.nw) * s.nh, channelNorm(buffer, c)));
        }

        TestHost host(2);
        RealFFFFilter<P> fft(&host, buffer.array());
        fft.data_rows = s.data_rows;
        ASSERT_EQ(fft.inverse(0, 1), host.noError());

        const int32_t rows = std::min(s.nh, s.data_rows + 1);
        for (int c = 0; c < C; ++c) {
            double worst = 0.0;
            for (int32_t y = 0; y < rows; ++y)
                for (int32_t u = 0; u < s.nw; ++u)
                    worst = std::max(
                        worst, std::abs(buffer.at(u, y, c) - expected[c][size_t(y) * s.nw + u]));
            EXPECT_LE(worst, bounds[c]) << "channel " << c;
        }
        EXPECT_TRUE(buffer.spareBytesUntouched());
    }
}

// Rows from data_rows on hold zeros, as the caller arranges: forward then inverse gives the
// input times Nw * Nh / 2, and the first row past the data comes back as zeros.
TYPED_TEST(RealFftTest, ForwardThenInverseScalesByHalfTheSampleCount) {
    using P = TypeParam;
    constexpr int C = TransformBuffer<P>::kChannels;
    for (const Size& s : kSizes) {
        SCOPED_TRACE(describe(s));
        TransformBuffer<P> buffer(s.nw, s.nh);
        buffer.fillRandom(uint32_t(s.nw + s.nh * 3));
        for (int32_t y = s.data_rows; y < s.nh; ++y)
            for (int32_t i = 0; i < (s.nw + 2) * C; ++i) buffer.row(y)[i] = 0.0f;
        TransformBuffer<P> original = buffer;

        TestHost host(2);
        RealFFFFilter<P> fft(&host, buffer.array());
        fft.data_rows = s.data_rows;
        ASSERT_EQ(fft.forward(0, 2), host.noError());
        ASSERT_EQ(fft.inverse(1, 2), host.noError());

        const double gain = double(s.nw) * s.nh / 2.0;
        const int32_t rows = std::min(s.nh, s.data_rows + 1);
        double worst = 0.0;
        for (int32_t y = 0; y < rows; ++y)
            for (int32_t u = 0; u < s.nw; ++u)
                for (int c = 0; c < C; ++c)
                    worst =
                        std::max(worst, std::abs(buffer.at(u, y, c) - gain * original.at(u, y, c)));
        EXPECT_LE(worst, gain * tolerance(int64_t(s.nw) * s.nh, 4.0));
        EXPECT_TRUE(buffer.spareBytesUntouched());
    }
}

TYPED_TEST(RealFftTest, ResultsDoNotDependOnTheThreadCount) {
    using P = TypeParam;
    TransformBuffer<P> input(128, 64);
    input.fillRandom(99);
    std::vector<unsigned char> forward_one, inverse_one;
    for (int32_t threads : {1, 2, 8}) {
        SCOPED_TRACE(threads);
        TransformBuffer<P> buffer = input;
        TestHost host(threads);
        RealFFFFilter<P> fft(&host, buffer.array());
        fft.data_rows = 45;
        ASSERT_EQ(fft.forward(0, 2), host.noError());
        std::vector<unsigned char> forward = buffer.bytes();
        ASSERT_EQ(fft.inverse(1, 2), host.noError());
        if (threads == 1) {
            forward_one = forward;
            inverse_one = buffer.bytes();
        } else {
            EXPECT_TRUE(forward == forward_one);
            EXPECT_TRUE(buffer.bytes() == inverse_one);
        }
    }
}

// One report per transformed row and per complex column, each within its pass's share.
TYPED_TEST(RealFftTest, ReportsOneUnitPerRowAndColumn) {
    using P = TypeParam;
    TransformBuffer<P> buffer(32, 16);
    buffer.fillRandom(3);
    TestHost host(2);
    RealFFFFilter<P> fft(&host, buffer.array());
    fft.data_rows = 10;
    ASSERT_EQ(fft.forward(1, 3), host.noError());
    EXPECT_EQ(host.reportCount(), 10 + 17);
    EXPECT_EQ(fft.units_per_pass, 10 + 17);
    ASSERT_EQ(fft.inverse(2, 3), host.noError());
    EXPECT_EQ(host.reportCount(), 10 + 17 + 11 + 17);
    EXPECT_EQ(host.reportsBeyondTotal(), 0);
}

TYPED_TEST(RealFftTest, CancellationStopsEveryTaskAndReleasesScratch) {
    using P = TypeParam;
    // Cancels during the row pass (3), during the column pass (150) and at the very end.
    for (int32_t threads : {1, 2, 8}) {
        for (int64_t after : {3, 150, 255 + 129 - 1}) {
            SCOPED_TRACE(std::to_string(threads) + " threads, cancel after " +
                         std::to_string(after));
            TransformBuffer<P> buffer(256, 256);
            buffer.fillRandom(11);
            TestHost host(threads);
            host.abortAfter(after);
            {
                RealFFFFilter<P> fft(&host, buffer.array());
                fft.data_rows = 255;
                EXPECT_EQ(fft.forward(0, 1), host.abortError());
                EXPECT_EQ(host.liveBlocks(), 0u);
            }
            // Every task has stopped once forward returns: no report arrives afterwards, and
            // each task that saw the cancel made no further report.
            const int64_t reports = host.reportCount();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(host.reportCount(), reports);
            EXPECT_LE(reports, after + threads);
            EXPECT_TRUE(buffer.spareBytesUntouched());
        }
    }
}

TYPED_TEST(RealFftTest, InverseCancellationReturnsTheAbortStatus) {
    using P = TypeParam;
    TransformBuffer<P> buffer(64, 64);
    buffer.fillRandom(12);
    TestHost host(2);
    host.abortAfter(40);
    RealFFFFilter<P> fft(&host, buffer.array());
    fft.data_rows = 64;
    EXPECT_EQ(fft.inverse(0, 1), host.abortError());
    EXPECT_EQ(host.liveBlocks(), 0u);
}

TYPED_TEST(RealFftTest, OutOfMemoryLeavesTheBufferUntouched) {
    using P = TypeParam;
    // The first allocation is the tables, the next ones the per-task scratch buffers.
    for (int64_t allowed : {0, 1, 2}) {
        SCOPED_TRACE(allowed);
        TransformBuffer<P> buffer(64, 32);
        buffer.fillRandom(5);
        const std::vector<unsigned char> before = buffer.bytes();
        TestHost host(3);
        host.failAllocationsAfter(allowed);
        RealFFFFilter<P> fft(&host, buffer.array());
        fft.data_rows = 32;
        EXPECT_EQ(fft.forward(0, 1), host.outOfMemoryError());
        EXPECT_EQ(fft.inverse(0, 1), host.outOfMemoryError());
        EXPECT_TRUE(buffer.bytes() == before);
        EXPECT_EQ(host.liveBlocks(), 0u);
        EXPECT_EQ(host.reportCount(), 0);
    }
}

// A render context that numbers its threads beyond its own thread count: the items run in
// order on the calling thread, reported as slot `slot`.
class FarSlotHost : public TestHost {
public:
    explicit FarSlotHost(int32_t slot) : TestHost(1), slot_(slot) {}
    int32_t runParallel(int32_t count, void* object, ParallelCallback callback) override {
        for (int32_t item = 0; item < count; ++item) {
            const int32_t result = callback(object, item, count, slot_);
            if (result != noError()) return result;
        }
        return noError();
    }

private:
    int32_t slot_;
};

TYPED_TEST(RealFftTest, ThreadSlotsBeyondThePoolGetScratchOnFirstUse) {
    using P = TypeParam;
    TransformBuffer<P> expected(32, 16);
    expected.fillRandom(8);
    TransformBuffer<P> buffer = expected;
    {
        TestHost host(1);
        RealFFFFilter<P> fft(&host, expected.array());
        fft.data_rows = 16;
        ASSERT_EQ(fft.forward(0, 1), host.noError());
    }
    FarSlotHost far(5);
    RealFFFFilter<P> fft(&far, buffer.array());
    fft.data_rows = 16;
    ASSERT_EQ(fft.forward(0, 1), far.noError());
    EXPECT_TRUE(buffer.bytes() == expected.bytes());
    EXPECT_EQ(far.liveBlocks(), 0u);

    FarSlotHost out_of_range(5000);
    RealFFFFilter<P> refused(&out_of_range, buffer.array());
    refused.data_rows = 16;
    EXPECT_EQ(refused.forward(0, 1), out_of_range.outOfMemoryError());
    EXPECT_EQ(out_of_range.liveBlocks(), 0u);
}

// Channels never mix: a NaN and an infinity in one channel leave the others exact.
TYPED_TEST(RealFftTest, NonFiniteSamplesStayInTheirChannel) {
    using P = TypeParam;
    constexpr int C = TransformBuffer<P>::kChannels;
    if constexpr (C > 1) {
        const Size s{32, 16, 16};
        TransformBuffer<P> buffer(s.nw, s.nh);
        buffer.fillRandom(21);
        buffer.at(5, 3, 1) = std::numeric_limits<float>::quiet_NaN();
        buffer.at(9, 12, 1) = std::numeric_limits<float>::infinity();
        std::vector<HalfSpectrum> expected;
        for (int c = 0; c < C; ++c)
            expected.push_back(c == 1 ? HalfSpectrum{} : directForward(buffer, s.data_rows, c));
        TestHost host(2);
        RealFFFFilter<P> fft(&host, buffer.array());
        fft.data_rows = s.data_rows;
        ASSERT_EQ(fft.forward(0, 1), host.noError());
        const int32_t columns = s.nw / 2 + 1;
        bool nan_seen = false;
        for (int32_t y = 0; y < s.nh; ++y)
            for (int32_t k = 0; k < columns; ++k) {
                for (int c = 0; c < C; ++c) {
                    if (c == 1) continue;
                    EXPECT_NEAR(
                        std::abs(buffer.element(k, y, c) - expected[c][size_t(y) * columns + k]),
                        0.0, tolerance(s.nw * s.nh, 16.0));
                }
                nan_seen = nan_seen || std::isnan(buffer.at(2 * k, y, 1));
            }
        EXPECT_TRUE(nan_seen);
    }
}

// A row of constant value v and nothing else: the spectrum is (Nw * v, 0) at the origin only.
TYPED_TEST(RealFftTest, ConstantRowHasOnlyADcTerm) {
    using P = TypeParam;
    constexpr int C = TransformBuffer<P>::kChannels;
    TransformBuffer<P> buffer(16, 8);
    for (int32_t u = 0; u < 16; ++u)
        for (int c = 0; c < C; ++c) buffer.at(u, 0, c) = 0.25f * float(c + 1);
    TestHost host(1);
    RealFFFFilter<P> fft(&host, buffer.array());
    fft.data_rows = 1;
    ASSERT_EQ(fft.forward(0, 1), host.noError());
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t k = 0; k <= 8; ++k)
            for (int c = 0; c < C; ++c) {
                const std::complex<double> want = (k == 0) ? 16.0 * 0.25 * (c + 1) : 0.0;
                EXPECT_NEAR(std::abs(buffer.element(k, y, c) - want), 0.0, 1e-5)
                    << "k " << k << " y " << y << " c " << c;
            }
}

TEST(RealFftTest, RejectsSizesThatAreNotPowersOfTwo) {
    TestHost host(1);
    TransformBuffer<PixelRGBAFloat> narrow(2, 4);
    RealFFFFilter<PixelRGBAFloat> too_narrow(&host, narrow.array());
    EXPECT_THROW(too_narrow.forward(0, 1), QuillbrookException);
    std::vector<PixelRGBAFloat> pixels(8 * 4);
    RealFFFFilter<PixelRGBAFloat> odd_height(&host,
                                             PixelArray<PixelRGBAFloat>(pixels.data(), 6, 3));
    EXPECT_THROW(odd_height.inverse(0, 1), QuillbrookException);
    RealFFFFilter<PixelRGBAFloat> odd_width(&host, PixelArray<PixelRGBAFloat>(pixels.data(), 8, 4));
    EXPECT_THROW(odd_width.forward(0, 1), QuillbrookException);
}

}  // namespace
