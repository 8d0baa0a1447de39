#include "evenblur/fft_vector.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "evenblur/evenblur_filter.h"
#include "tests/evenblur/evenblur_reference.h"
#include "tests/evenblur/fft_reference.h"
#include "evenblur/fft_tables.h"
#include "imaging/processor_features.h"
#include "tests/support/test_host.h"
#include "evenblur/multiply_complex_half_filter.h"
#include "evenblur/real_fft_filter.h"
#include "tests/support/padded_image.h"

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
            case 0:
                x = 0.0f;
                break;
            case 1:
                x = u * 1e-40f;
                break;  // subnormal
            case 2:
                x = std::copysign(FLT_MIN, u);
                break;
            case 3:
                x = u * 1e30f;
                break;
            case 4:
                x = std::copysign(FLT_MAX, u) * std::abs(u);
                break;
            default:
                x = u;
                break;
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
                    SCOPED_TRACE(std::string(build->name) + " n " + std::to_string(n) + " lanes " +
                                 std::to_string(lanes) + " direction " + std::to_string(direction));
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
    for (int32_t i = 1; i < count; ++i)
        EXPECT_LE(list[i]->vector_floats, list[i - 1]->vector_floats);
#if defined(__x86_64__)
    const char* widest = processor_runs(VectorBuild::avx3)   ? "avx512"
                         : processor_runs(VectorBuild::avx2) ? "avx2"
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
    TestHost host(2);
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
        out.insert(out.end(), buffer.row(y),
                   buffer.row(y) + (nw + 2) * TransformBuffer<P>::kChannels);
    return out;
}

TYPED_TEST(FftVectorFilterTest, TransformsMatchThePortableBuild) {
    using P = TypeParam;
    struct Shape {
        int32_t nw, nh, rows;
    };
    for (const Shape s : {Shape{64, 32, 13}, Shape{4, 8, 8}, Shape{256, 64, 37}}) {
        for (const bool inverse_too : {false, true}) {
            const std::vector<float> expected =
                transformed<P>(&fft_vector::portableKernels(), s.nw, s.nh, s.rows, inverse_too);
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
    TestHost host(2);
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

// ---- integer pixel conversions --------------------------------------------------------------

// A transfer table of the kind the blur builds (32768 entries over 0 .. 1), scaled by `scale`.
std::vector<float> powerTable(double exponent, double scale) {
    std::vector<float> t(32768);
    for (size_t i = 0; i < t.size(); ++i)
        t[i] = float(scale * std::pow(double(i) / 32767.0, exponent));
    return t;
}

// Host channels of every level, the ends (0, 1, max - 1, max) and, for 16 bits, values above
// the maximum that a careless host might leave (up to 65535).
template <class T>
std::vector<T> hostChannels(size_t count, double max, uint32_t seed) {
    std::mt19937 random(seed);
    const int top = sizeof(T) == 1 ? 255 : 65535;
    std::uniform_int_distribution<int> any(0, top), ends(0, 5);
    std::vector<T> v(count);
    for (T& x : v) {
        const int e = ends(random);
        x = T(e == 0   ? 0
              : e == 1 ? 1
              : e == 2 ? int(max)
              : e == 3 ? int(max) - 1
                       : std::min(any(random), e == 4 ? int(max) : top));
    }
    return v;
}

// Buffer floats as the inverse transform leaves them: mostly 0 .. 1 after scaling, with
// negative ringing, NaN, infinity, huge and subnormal values, and weights of either sign.
std::vector<float> bufferFloats(size_t count, uint32_t seed) {
    std::vector<float> v = mixedSamples(count, seed);
    std::mt19937 random(seed + 1);
    std::uniform_real_distribution<float> unit(-0.1f, 1.2f);
    std::uniform_int_distribution<int> kind(0, 19);
    for (float& x : v) {
        const int k = kind(random);
        if (k == 0)
            x = std::numeric_limits<float>::quiet_NaN();
        else if (k == 1)
            x = std::numeric_limits<float>::infinity();
        else if (k < 12)
            x = unit(random);
    }
    return v;
}

const int32_t kPixelCounts[] = {1, 3, 5, 8, 13, 67};

template <class T>
void checkIntegerConversions(const std::vector<const Kernels*>& builds, double max) {
    const Kernels& portable = fft_vector::portableKernels();
    const std::vector<float> decode = powerTable(2.2, 1.0);
    const std::vector<float> encode = powerTable(0.45, max);
    auto input_row = [](const Kernels& k, const T* in, int32_t n,
                        const fft_vector::InputConversion& c, float* out) {
        if constexpr (sizeof(T) == 1)
            k.input_row_8(in, n, c, out);
        else
            k.input_row_16(in, n, c, out);
    };
    auto output_row = [](const Kernels& k, const float* in, int32_t n,
                         const fft_vector::OutputConversion& c, T* out) {
        if constexpr (sizeof(T) == 1)
            k.output_row_8(in, n, c, out);
        else
            k.output_row_16(in, n, c, out);
    };
    for (const int32_t n : kPixelCounts) {
        for (const int32_t channels : {4, 5}) {
            for (const bool straight : {false, true}) {
                for (const bool table : {false, true}) {
                    const std::vector<T> host = hostChannels<T>(size_t(4) * n, max, uint32_t(n));
                    const fft_vector::InputConversion in{max, straight,
                                                         table ? decode.data() : nullptr, channels};
                    // One pixel more than written, to catch a write past the row.
                    std::vector<float> expected(size_t(channels) * (n + 1), -7.0f);
                    input_row(portable, host.data(), n, in, expected.data());
                    const std::vector<float> floats =
                        bufferFloats(size_t(channels) * n, uint32_t(n + 3));
                    for (const bool boosted : {false, true}) {
                        if (boosted && channels == 4) continue;
                        const fft_vector::OutputConversion out{
                            max,
                            straight,
                            encode.data(),
                            channels,
                            {max * 0.9, max * 1.1, max * 0.7, max * 1.3},
                            boosted,
                            1.7};
                        std::vector<T> expected_host(size_t(4) * (n + 1), T(3));
                        output_row(portable, floats.data(), n, out, expected_host.data());
                        for (const Kernels* build : builds) {
                            SCOPED_TRACE(std::string(build->name) + " pixels " + std::to_string(n) +
                                         " channels " + std::to_string(channels) +
                                         (straight ? " straight" : "") + (table ? " table" : "") +
                                         (boosted ? " boosted" : ""));
                            std::vector<float> got(expected.size(), -7.0f);
                            input_row(*build, host.data(), n, in, got.data());
                            EXPECT_EQ(firstDifference(got, expected), -1);
                            std::vector<T> got_host(expected_host.size(), T(3));
                            output_row(*build, floats.data(), n, out, got_host.data());
                            EXPECT_TRUE(got_host == expected_host);
                        }
                    }
                }
            }
        }
    }
}

TEST_F(FftVectorTest, IntegerPixelConversionsMatchThePortableBuild) {
    checkIntegerConversions<uint8_t>(builds_, 255.0);
    checkIntegerConversions<uint16_t>(builds_, 32768.0);
}

// A few pixels worked out by hand, for the portable build that the others are held to.
TEST(FftVectorPixels, PortableConversionsGiveTheDocumentedValues) {
    const Kernels& k = fft_vector::portableKernels();
    // Straight (alpha 51, red 255, green 0, blue 102) of 8 bits: premultiplied by 0.2, scaled
    // to 0 .. 1; a second, opaque, pixel keeps its values.
    const uint8_t in[8] = {51, 255, 0, 102, 255, 255, 128, 0};
    float out[10];
    k.input_row_8(in, 2, {255.0, true, nullptr, 5}, out);
    EXPECT_FLOAT_EQ(out[0], 0.2f);
    EXPECT_FLOAT_EQ(out[1], 0.2f);
    EXPECT_FLOAT_EQ(out[2], 0.0f);
    EXPECT_FLOAT_EQ(out[3], float(102.0 * 0.2 / 255.0));
    EXPECT_EQ(out[4], 1.0f);  // the weight
    EXPECT_FLOAT_EQ(out[6], 1.0f);
    EXPECT_FLOAT_EQ(out[7], float(128.0 / 255.0));
    // Back, with an identity encode table over 0 .. 255 and unit scales times 255: alpha 0.5
    // gives 128 (127.5 rounded up); the straight colour 0.25 / 0.5 of 255 gives 128 too;
    // negative and NaN channels give 0.
    std::vector<float> identity(32768);
    for (size_t i = 0; i < identity.size(); ++i) identity[i] = float(255.0 * double(i) / 32767.0);
    const float buffer[4] = {0.5f, 0.25f, -1.0f, std::numeric_limits<float>::quiet_NaN()};
    uint8_t host[4];
    k.output_row_8(buffer, 1,
                   {255.0, true, identity.data(), 4, {255.0, 255.0, 255.0, 255.0}, false, 0.0},
                   host);
    EXPECT_EQ(host[0], 128);
    EXPECT_NEAR(host[1], 128, 1);  // through the table's rounding
    EXPECT_EQ(host[2], 0);
    EXPECT_EQ(host[3], 0);
}

// The whole blur with each build against the portable build, for every host depth: straight
// and premultiplied images, linear light, and the highlight boosts (the five-float buffer).
template <class P>
class FftVectorBlurTest : public FftVectorTest {};

using HostPixels = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(FftVectorBlurTest, HostPixels);

template <class P>
std::vector<unsigned char> blurred(const Kernels* kernels, bool boost, bool premultiplied) {
    EvenblurSettings s;
    s.radius = 6.0;
    s.gamma = true;
    s.facets = 6;
    if (boost) {
        s.selection.enabled = true;
        s.selection.lightness_start = 0.3;
        s.additive = 0.5;
        s.preservative = 2.0;
    }
    PaddedImage<P> source(37, 21, kLayerRows);
    evenblur_reference::random_pixels(source, 9, 0.3);
    PaddedImage<P> output(37, 21, kLayerRows);
    TestHost host(2);
    EvenblurFilter<P, PixelGrayFloat> filter(&host, s, source.array(premultiplied),
                                             output.array(premultiplied),
                                             source.array(premultiplied), {});
    filter.kernels = kernels;
    EXPECT_EQ(filter.render(0, 1), host.noError());
    EXPECT_TRUE(output.spareBytesUntouched());
    std::vector<unsigned char> bytes(37 * 21 * sizeof(P));
    for (int32_t y = 0; y < 21; ++y)
        std::memcpy(bytes.data() + y * 37 * sizeof(P), &output.at(0, y), 37 * sizeof(P));
    return bytes;
}

TYPED_TEST(FftVectorBlurTest, FramesMatchThePortableBuild) {
    using P = TypeParam;
    for (const bool boost : {false, true}) {
        for (const bool premultiplied : {false, true}) {
            const std::vector<unsigned char> expected =
                blurred<P>(&fft_vector::portableKernels(), boost, premultiplied);
            for (const Kernels* build : this->builds_) {
                SCOPED_TRACE(std::string(build->name) + (boost ? " boost" : "") +
                             (premultiplied ? " premultiplied" : " straight"));
                EXPECT_TRUE((blurred<P>(build, boost, premultiplied) == expected));
            }
        }
    }
}

}  // namespace
