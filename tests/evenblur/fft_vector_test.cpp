#include "fft_vector.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fft_reference.h"
#include "fft_tables.h"
#include "fft_test_host.h"
#include "multiply_complex_half_filter.h"
#include "real_fft_filter.h"

// Every build of the vector kernels that this processor runs against the portable build: the
// same operations in the same order on every lane, so the results must agree bit for bit
// (NaN counting as equal to NaN), on lane counts that are not multiples of the vector widths
// and on values from the subnormal range to overflow.
namespace {

using fft_vector::Kernels;

std::vector<const Kernels*> wideBuilds() {
    int32_t count = 0;
    const Kernels* const* list = fft_vector::runnableKernels(count);
    std::vector<const Kernels*> builds;
    for (int32_t i = 0; i < count; ++i)
        if (list[i] != &fft_vector::portableKernels()) builds.push_back(list[i]);
    return builds;
}

bool sameFloat(float a, float b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Index of the first float that differs, or -1.
ptrdiff_t firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (!sameFloat(a[i], b[i])) return ptrdiff_t(i);
    return -1;
}

// Samples of every magnitude a float holds, both signs: zeros, subnormals, the smallest
// normal, ordinary values, and values whose sums and products overflow to infinity (and then
// to NaN) inside the butterflies.
std::vector<float> mixedSamples(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> kind(0, 9);
    std::vector<float> v(count);
    for (float& x : v) {
        const float u = unit(random);
        switch (kind(random)) {
            case 0: x = 0.0f; break;
            case 1: x = u * 1e-40f; break;  // subnormal
            case 2: x = std::copysign(FLT_MIN, u); break;
            case 3: x = u * 1e30f; break;
            case 4: x = std::copysign(FLT_MAX, u) * std::abs(u); break;
            default: x = u; break;
        }
    }
    return v;
}

// Lane counts of the transforms (16, 20, 32) and others that leave 4, 8 or 12 lanes after the
// 8- and 16-lane vectors.
const int32_t kLaneCounts[] = {4, 8, 12, 16, 20, 28, 32, 36, 44};
const int32_t kLengths[] = {1, 2, 4, 8, 64, 256};

class FftVectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        builds_ = wideBuilds();
        if (builds_.empty()) GTEST_SKIP() << "this processor runs only the portable build";
    }
    std::vector<const Kernels*> builds_;
};

TEST_F(FftVectorTest, ButterfliesAndPermutationMatchThePortableBuild) {
    const Kernels& portable = fft_vector::portableKernels();
    for (const int direction : {+1, -1}) {
        for (const int32_t n : kLengths) {
            std::vector<float> wr(complexTwiddleCount(n) + 1), wi(wr.size());
            buildComplexTwiddles(n, direction, wr.data(), wi.data());
            std::vector<int32_t> reverse(n);
            buildBitReversal(n, reverse.data());
            for (const int32_t lanes : kLaneCounts) {
                const std::vector<float> input =
                    mixedSamples(size_t(2) * lanes * n, uint32_t(n * 131 + lanes));
                std::vector<float> expected = input;
                portable.bit_reverse(expected.data(), lanes, n, reverse.data());
                portable.butterflies(expected.data(), lanes, n, wr.data(), wi.data());
                for (const Kernels* build : builds_) {
                    SCOPED_TRACE(std::string(build->name) + " n " + std::to_string(n) +
                                 " lanes " + std::to_string(lanes) + " direction " +
                                 std::to_string(direction));
                    std::vector<float> got = input;
                    build->bit_reverse(got.data(), lanes, n, reverse.data());
                    build->butterflies(got.data(), lanes, n, wr.data(), wi.data());
                    EXPECT_EQ(firstDifference(got, expected), -1);
                }
            }
        }
    }
}

TEST_F(FftVectorTest, SplitStepsMatchThePortableBuild) {
    const Kernels& portable = fft_vector::portableKernels();
    for (const int32_t n : kLengths) {
        std::vector<float> fr(splitTwiddleCount(n)), fi(fr.size()), ir(fr.size()), ii(fr.size());
        buildSplitTwiddles(n, +1, fr.data(), fi.data());
        buildSplitTwiddles(n, -1, ir.data(), ii.data());
        for (const int32_t lanes : kLaneCounts) {
            const std::vector<float> input =
                mixedSamples(size_t(2) * lanes * (n + 1), uint32_t(n * 17 + lanes));
            std::vector<float> forward = input, inverse = input;
            portable.split_forward(forward.data(), lanes, n, fr.data(), fi.data());
            portable.split_inverse(inverse.data(), lanes, n, ir.data(), ii.data());
            for (const Kernels* build : builds_) {
                SCOPED_TRACE(std::string(build->name) + " n " + std::to_string(n) + " lanes " +
                             std::to_string(lanes));
                std::vector<float> got = input;
                build->split_forward(got.data(), lanes, n, fr.data(), fi.data());
                EXPECT_EQ(firstDifference(got, forward), -1) << "forward";
                got = input;
                build->split_inverse(got.data(), lanes, n, ir.data(), ii.data());
                EXPECT_EQ(firstDifference(got, inverse), -1) << "inverse";
            }
        }
    }
}

TEST_F(FftVectorTest, SpectrumProductMatchesThePortableBuild) {
    const Kernels& portable = fft_vector::portableKernels();
    struct Pairing {
        int32_t a, b, partner;
    };
    const Pairing pairings[] = {{4, 1, 0}, {4, 4, 0}, {5, 1, 0}, {5, 4, 3}};
    // Odd counts leave a last element after the two-element vectors of the widest builds.
    for (const int32_t elements : {1, 2, 3, 5, 17, 1025}) {
        for (const Pairing& p : pairings) {
            const std::vector<float> a = mixedSamples(size_t(2) * p.a * elements, 7);
            const std::vector<float> b = mixedSamples(size_t(2) * p.b * elements, 11);
            std::vector<float> expected = a;
            portable.multiply_row(expected.data(), p.a, b.data(), p.b, p.partner, elements);
            for (const Kernels* build : builds_) {
                SCOPED_TRACE(std::string(build->name) + " elements " + std::to_string(elements) +
                             " A " + std::to_string(p.a) + " B " + std::to_string(p.b));
                std::vector<float> got = a;
                build->multiply_row(got.data(), p.a, b.data(), p.b, p.partner, elements);
                EXPECT_EQ(firstDifference(got, expected), -1);
            }
        }
    }
}

// The builds this processor runs include the one of its widest vectors (on x86-64, where
// the features can be asked); the portable build comes last and is the fallback.
TEST(FftVectorBuilds, TheWidestRunnableBuildIsChosen) {
    int32_t count = 0;
    const Kernels* const* list = fft_vector::runnableKernels(count);
    ASSERT_GE(count, 1);
    EXPECT_EQ(list[count - 1], &fft_vector::portableKernels());
    EXPECT_EQ(list[0], &fft_vector::bestKernels());
    for (int32_t i = 1; i < count; ++i) EXPECT_LE(list[i]->vector_floats, list[i - 1]->vector_floats);
#if defined(__x86_64__)
    __builtin_cpu_init();
    const char* widest = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                 __builtin_cpu_supports("avx512dq") &&
                                 __builtin_cpu_supports("avx512vl")
                             ? "avx512"
                         : __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")
                             ? "avx2"
                             : nullptr;
    if (widest != nullptr) {
        EXPECT_STREQ(fft_vector::bestKernels().name, widest);
    }
#endif
}

// Whole transforms and products through the filters, with the row groups and column blocks
// they use, partial groups included: each build against the portable one.
template <class P>
class FftVectorFilterTest : public FftVectorTest {};

using TransformPixels = ::testing::Types<PixelGrayFloat, PixelRGBAFloat, PixelSpectrum>;
TYPED_TEST_SUITE(FftVectorFilterTest, TransformPixels);

template <class P>
std::vector<float> transformed(const Kernels* kernels, int32_t nw, int32_t nh, int32_t rows,
                               bool inverse_too) {
    TransformBuffer<P> buffer(nw, nh);
    buffer.fillRandom(uint32_t(nw * 3 + nh));
    // Far ends of the range in a few samples (a huge highlight whose sums stay finite, a
    // subnormal).
    buffer.at(1, 0, 0) = 1e30f;
    buffer.at(3, 1, 0) = 1e-40f;
    FftTestHost host(2);
    RealFFFFilter<P> fft(&host, buffer.array());
    fft.kernels = kernels;
    fft.data_rows = rows;
    EXPECT_EQ(fft.forward(0, 1), host.noError());
    if (inverse_too) {
        fft.data_rows = rows;
        EXPECT_EQ(fft.inverse(0, 1), host.noError());
    }
    std::vector<float> out;
    for (int32_t y = 0; y < nh; ++y)
        out.insert(out.end(), buffer.row(y), buffer.row(y) + (nw + 2) * TransformBuffer<P>::kChannels);
    return out;
}

TYPED_TEST(FftVectorFilterTest, TransformsMatchThePortableBuild) {
    using P = TypeParam;
    struct Shape {
        int32_t nw, nh, rows;
    };
    for (const Shape s : {Shape{64, 32, 13}, Shape{4, 8, 8}, Shape{256, 64, 37}}) {
        for (const bool inverse_too : {false, true}) {
            const std::vector<float> expected = transformed<P>(
                &fft_vector::portableKernels(), s.nw, s.nh, s.rows, inverse_too);
            for (const Kernels* build : this->builds_) {
                SCOPED_TRACE(std::string(build->name) + " " + std::to_string(s.nw) + "x" +
                             std::to_string(s.nh) + (inverse_too ? " forward+inverse" : ""));
                EXPECT_EQ(firstDifference(transformed<P>(build, s.nw, s.nh, s.rows, inverse_too),
                                          expected),
                          -1);
            }
        }
    }
}

template <class A, class B>
std::vector<unsigned char> multiplied(const Kernels* kernels) {
    const int32_t nw = 62, nh = 5;  // 32 elements per row, rows unaligned
    TransformBuffer<A> a(nw, nh);
    TransformBuffer<B> b(nw, nh);
    a.fillRandom(5);
    b.fillRandom(6);
    a.at(0, 0, 0) = 1e30f;
    b.at(1, 0, 0) = 1e-40f;
    FftTestHost host(2);
    MultiplyComplexHalfFilter<A, B> multiply(&host, a.array(), b.array());
    multiply.kernels = kernels;
    EXPECT_EQ(multiply.render(0, 1), host.noError());
    EXPECT_TRUE(a.spareBytesUntouched());
    return a.bytes();
}

TEST_F(FftVectorTest, ProductThroughTheFilterMatchesThePortableBuild) {
    auto check = [this](auto a, auto b) {
        using A = decltype(a);
        using B = decltype(b);
        const std::vector<unsigned char> expected =
            multiplied<A, B>(&fft_vector::portableKernels());
        for (const Kernels* build : builds_) {
            SCOPED_TRACE(std::string(build->name) + " A " +
                         std::to_string(TransformBuffer<A>::kChannels) + " B " +
                         std::to_string(TransformBuffer<B>::kChannels));
            EXPECT_TRUE((multiplied<A, B>(build) == expected));
        }
    };
    check(PixelRGBAFloat{}, PixelGrayFloat{});
    check(PixelRGBAFloat{}, PixelRGBAFloat{});
    check(PixelSpectrum{}, PixelGrayFloat{});
    check(PixelSpectrum{}, PixelRGBAFloat{});
}

}  // namespace
