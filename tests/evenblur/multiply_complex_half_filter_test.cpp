#include "evenblur/multiply_complex_half_filter.h"

#include <gtest/gtest.h>

#include <complex>
#include <limits>
#include <vector>

#include "tests/evenblur/fft_reference.h"
#include "tests/support/test_host.h"

namespace {

template <class A_, class B_>
struct Pairing {
    using A = A_;
    using B = B_;
};

template <class T>
class MultiplyComplexHalfTest : public ::testing::Test {};

using Pairings = ::testing::Types<
    Pairing<PixelSpectrum, PixelRGBAFloat>, Pairing<PixelRGBAFloat, PixelRGBAFloat>,
    Pairing<PixelSpectrum, PixelGrayFloat>, Pairing<PixelRGBAFloat, PixelGrayFloat>>;
TYPED_TEST_SUITE(MultiplyComplexHalfTest, Pairings);

// The channel of B that multiplies channel c of A: the same channel, the weight (A's fifth
// float) with B's alpha (memory position 0 of an RGBA pixel), everything with a gray B's one.
template <class B>
int partner(int c) {
    constexpr int cb = TransformBuffer<B>::kChannels;
    if (cb == 1) return 0;
    return c < 4 ? c : B::layout::alpha;
}

TYPED_TEST(MultiplyComplexHalfTest, MatchesTheComplexProductOfPairedChannels) {
    using A = typename TypeParam::A;
    using B = typename TypeParam::B;
    constexpr int ca = TransformBuffer<A>::kChannels;
    for (int32_t threads : {1, 3}) {
        SCOPED_TRACE(threads);
        TransformBuffer<A> a(14, 9);  // 8 elements per row, odd row count
        TransformBuffer<B> b(14, 9);
        a.fillRandom(1);
        b.fillRandom(2);
        TransformBuffer<A> original = a;

        TestHost host(threads);
        MultiplyComplexHalfFilter<A, B> multiply(&host, a.array(), b.array());
        ASSERT_EQ(multiply.render(2, 5), host.noError());

        for (int32_t y = 0; y < 9; ++y)
            for (int32_t k = 0; k < 8; ++k)
                for (int c = 0; c < ca; ++c) {
                    const std::complex<double> want =
                        original.element(k, y, c) * b.element(k, y, partner<B>(c));
                    EXPECT_NEAR(std::abs(a.element(k, y, c) - want), 0.0, 1e-6)
                        << "element " << k << " row " << y << " channel " << c;
                }
        EXPECT_TRUE(a.spareBytesUntouched());
        EXPECT_EQ(host.reportCount(), 9);
        EXPECT_EQ(host.reportsBeyondTotal(), 0);
    }
}

TYPED_TEST(MultiplyComplexHalfTest, UnitKernelLeavesTheImageUnchanged) {
    using A = typename TypeParam::A;
    using B = typename TypeParam::B;
    constexpr int cb = TransformBuffer<B>::kChannels;
    TransformBuffer<A> a(6, 4);
    TransformBuffer<B> b(6, 4);
    a.fillRandom(7);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t k = 0; k < 4; ++k)
            for (int c = 0; c < cb; ++c) b.at(2 * k, y, c) = 1.0f;
    const std::vector<unsigned char> before = a.bytes();
    TestHost host(2);
    MultiplyComplexHalfFilter<A, B> multiply(&host, a.array(), b.array());
    ASSERT_EQ(multiply.render(0, 1), host.noError());
    EXPECT_TRUE(a.bytes() == before);
}

TYPED_TEST(MultiplyComplexHalfTest, CancellationReturnsTheAbortStatus) {
    using A = typename TypeParam::A;
    using B = typename TypeParam::B;
    TransformBuffer<A> a(30, 64);
    TransformBuffer<B> b(30, 64);
    TestHost host(2);
    host.abortAfter(10);
    MultiplyComplexHalfFilter<A, B> multiply(&host, a.array(), b.array());
    EXPECT_EQ(multiply.render(0, 1), host.abortError());
    EXPECT_LE(host.reportCount(), 12);
}

TEST(MultiplyComplexHalfTest, RejectsAKernelSmallerThanTheImage) {
    TransformBuffer<PixelRGBAFloat> a(14, 8);
    TransformBuffer<PixelGrayFloat> b(14, 4);
    TestHost host(1);
    MultiplyComplexHalfFilter<PixelRGBAFloat, PixelGrayFloat> multiply(&host, a.array(), b.array());
    EXPECT_THROW(multiply.render(0, 1), QuillbrookException);
}

}  // namespace
