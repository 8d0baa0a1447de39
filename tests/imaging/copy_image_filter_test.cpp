#include "imaging/copy_image_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>

#include "tests/support/padded_image.h"
#include "tests/support/test_host.h"

namespace {

template <class S, class D>
struct CopyPair {
    using Src = S;
    using Dst = D;
};

using CopyPairs =
    ::testing::Types<CopyPair<PixelRGBA8, PixelRGBA8>, CopyPair<PixelRGBA16, PixelRGBA16>,
                     CopyPair<PixelRGBAFloat, PixelRGBAFloat>, CopyPair<PixelRGBA8, PixelGray8>,
                     CopyPair<PixelRGBA16, PixelGray16>, CopyPair<PixelRGBAFloat, PixelGrayFloat>,
                     CopyPair<PixelRGBAFloat255, PixelRGBA8>,
                     CopyPair<PixelRGBAFloat32768, PixelRGBA16>>;

// Channel positions of our ARGB memory layout, written out here rather than taken from the
// accessors under test.
constexpr int kA = 0, kR = 1, kG = 2, kB = 3;

// A random source pixel. Premultiplied integer data keeps colour at or below alpha, as valid
// data does; float sources also get values outside 0 .. Max, NaN and infinity.
template <class P>
P random_pixel(std::mt19937& rng, bool premultiplied) {
    using T = typename P::channel_type;
    const double max = P::max_value;
    P p{};
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double a = std::floor(unit(rng) * (max + 1.0));
    p.channel[kA] = T(std::is_floating_point_v<T> ? unit(rng) * max : std::fmin(a, max));
    for (int c : {kR, kG, kB}) {
        const double limit = premultiplied ? double(p.channel[kA]) : max;
        double v = unit(rng) * limit;
        if (!std::is_floating_point_v<T>) v = std::floor(v);
        p.channel[c] = T(v);
    }
    if constexpr (std::is_floating_point_v<T>) {
        const int pick = int(unit(rng) * 40.0);
        if (pick == 0) p.channel[kR] = T(max * 3.0);
        if (pick == 1) p.channel[kG] = T(-0.5);
        if (pick == 2) p.channel[kB] = std::numeric_limits<T>::quiet_NaN();
        if (pick == 3) p.channel[kA] = std::numeric_limits<T>::infinity();
        if (pick == 4) p.channel[kA] = T(-1.0);
        if (pick == 5) p.channel[kA] = T(0.0);
    }
    return p;
}

// What the copy must write for one destination pixel, computed from the conversion rules
// with plain arithmetic. `s` is null outside the source.
template <class Src, class Dst>
Dst expected_pixel(const Src* s, bool src_premultiplied, bool dst_premultiplied) {
    const double max = Src::max_value;
    // Outside the source: alpha is the number one in the source's scale, not Max.
    double v[4] = {1.0, 0.0, 0.0, 0.0};
    if (s != nullptr)
        for (int c = 0; c < 4; ++c) v[c] = double(s->channel[c]);
    if (Src::is_float && !Dst::is_float)
        for (double& x : v) x = std::isnan(x) ? 0.0 : std::fmin(std::fmax(x, 0.0), max);
    const double a = v[kA];
    // Float sources clamp again on the way into integer channels: unpremultiplying colour
    // that exceeds its alpha leaves the range.
    auto store = [max](double x) {
        using T = typename Dst::channel_type;
        if constexpr (std::is_floating_point_v<T>) {
            return T(x);
        } else {
            if (Src::is_float) x = std::isnan(x) ? 0.0 : std::fmin(std::fmax(x, 0.0), max);
            return T(std::trunc(x));
        }
    };
    Dst d{};
    if constexpr (Dst::is_rgba) {
        if (!src_premultiplied && dst_premultiplied)
            for (int c : {kR, kG, kB}) v[c] *= a * (1.0 / max);
        if (src_premultiplied && !dst_premultiplied && float(a) > 0.0f)
            for (int c : {kR, kG, kB}) v[c] *= max / double(float(a));
        for (int c = 0; c < 4; ++c) d.channel[c] = store(v[c]);
    } else {
        double gray = (0.292687786 * v[kR] + 0.552149646 * v[kG] + 0.155162568 * v[kB]) * (a / max);
        if (!src_premultiplied && dst_premultiplied) gray *= a / max;
        if (src_premultiplied && !dst_premultiplied && float(a) > 0.0f)
            gray *= max / double(float(a));
        d.channel[0] = store(gray);
    }
    return d;
}

template <class P>
bool same_pixel(const P& a, const P& b) {
    for (int c = 0; c < P::channel_count; ++c) {
        const double x = double(a.channel[c]);
        const double y = double(b.channel[c]);
        if (!(x == y || (std::isnan(x) && std::isnan(y)))) return false;
    }
    return true;
}

template <class P>
std::string describe(const P& p) {
    std::string s = "(";
    for (int c = 0; c < P::channel_count; ++c) s += std::to_string(double(p.channel[c])) + " ";
    return s + ")";
}

template <class Pair>
class CopyImageFilterTest : public ::testing::Test {};
TYPED_TEST_SUITE(CopyImageFilterTest, CopyPairs);

// Every premultiplication combination and mode, into a destination larger than the source
// and with offsets that put part of the source outside, on several thread counts.
TYPED_TEST(CopyImageFilterTest, MatchesPerPixelReference) {
    using Src = typename TypeParam::Src;
    using Dst = typename TypeParam::Dst;
    std::mt19937 rng(1234);
    struct Case {
        int32_t sw, sh, dw, dh, ox, oy;
        PremultiplyMode mode;
        int32_t threads;
    };
    const Case cases[] = {
        {7, 5, 7, 5, 0, 0, PremultiplyMode::kFromSource, 1},
        {7, 5, 11, 8, 0, 0, PremultiplyMode::kFromSource, 3},
        {9, 6, 9, 6, 0, 0, PremultiplyMode::kPremultiplied, 2},
        {9, 6, 9, 6, 0, 0, PremultiplyMode::kStraight, 2},
        {13, 3, 5, 7, 4, -2, PremultiplyMode::kPremultiplied, 4},
        {5, 5, 6, 6, -3, 1, PremultiplyMode::kStraight, 1},
    };
    for (const Case& c : cases) {
        for (bool src_pm : {false, true}) {
            for (bool dst_flag : {false, true}) {
                PaddedImage<Src> src(c.sw, c.sh);
                for (int32_t y = 0; y < c.sh; ++y)
                    for (int32_t x = 0; x < c.sw; ++x)
                        src.at(x, y) = random_pixel<Src>(rng, src_pm);
                PaddedImage<Dst> dst(c.dw, c.dh);
                dst.fillPixels(0x5C);
                TestHost host(c.threads);
                CopyImageFilter<Src, Dst> filter(&host, src.array(src_pm), dst.array(dst_flag));
                filter.premultiply_mode = c.mode;
                filter.offset_x = c.ox;
                filter.offset_y = c.oy;
                ASSERT_EQ(filter.render(0, 1), host.noError());
                const bool dst_pm = c.mode == PremultiplyMode::kFromSource      ? src_pm
                                    : c.mode == PremultiplyMode::kPremultiplied ? true
                                                                                : false;
                EXPECT_EQ(filter.destination.premultiplied, dst_pm);
                for (int32_t y = 0; y < c.dh; ++y) {
                    for (int32_t x = 0; x < c.dw; ++x) {
                        const int32_t sx = x + c.ox, sy = y + c.oy;
                        const bool inside = sx >= 0 && sy >= 0 && sx < c.sw && sy < c.sh;
                        const Dst want = expected_pixel<Src, Dst>(
                            inside ? &src.at(sx, sy) : nullptr, src_pm, dst_pm);
                        ASSERT_TRUE(same_pixel(dst.at(x, y), want))
                            << "pixel " << x << "," << y << " got " << describe(dst.at(x, y))
                            << " want " << describe(want) << " source premultiplied " << src_pm
                            << " destination premultiplied " << dst_pm;
                    }
                }
                EXPECT_TRUE(dst.spareBytesUntouched());
                EXPECT_TRUE(src.spareBytesUntouched());
                EXPECT_EQ(host.reports().size(), size_t(c.dh));
            }
        }
    }
}

TYPED_TEST(CopyImageFilterTest, MissingSourceOrDestinationWritesNothing) {
    using Src = typename TypeParam::Src;
    using Dst = typename TypeParam::Dst;
    TestHost host(2);
    PaddedImage<Src> src(4, 3);
    PaddedImage<Dst> dst(4, 3);
    dst.fillPixels(0x11);
    PixelArray<Src> no_source = src.array();
    no_source.data = nullptr;
    CopyImageFilter<Src, Dst> without_source(&host, no_source, dst.array());
    EXPECT_EQ(without_source.render(0, 1), host.noError());
    for (int32_t y = 0; y < 3; ++y) {
        Dst expected;
        std::memset(&expected, 0x11, sizeof expected);
        for (int32_t x = 0; x < 4; ++x)
            EXPECT_EQ(std::memcmp(&dst.at(x, y), &expected, sizeof expected), 0);
    }
    PixelArray<Dst> no_destination = dst.array();
    no_destination.data = nullptr;
    CopyImageFilter<Src, Dst> without_destination(&host, src.array(), no_destination);
    EXPECT_EQ(without_destination.render(0, 1), host.noError());
    EXPECT_TRUE(dst.spareBytesUntouched());
}

TEST(CopyImageFilter, EqualEightBitImagesCopyExactly) {
    std::mt19937 rng(7);
    for (bool premultiplied : {false, true}) {
        PaddedImage<PixelRGBA8> src(17, 9);
        for (int32_t y = 0; y < 9; ++y)
            for (int32_t x = 0; x < 17; ++x)
                src.at(x, y) = random_pixel<PixelRGBA8>(rng, premultiplied);
        PaddedImage<PixelRGBA8> dst(17, 9);
        TestHost host(2);
        CopyImageFilter<PixelRGBA8, PixelRGBA8> filter(&host, src.array(premultiplied),
                                                       dst.array());
        ASSERT_EQ(filter.render(0, 1), host.noError());
        for (int32_t y = 0; y < 9; ++y)
            for (int32_t x = 0; x < 17; ++x)
                ASSERT_EQ(std::memcmp(&src.at(x, y), &dst.at(x, y), 4), 0) << x << "," << y;
        EXPECT_TRUE(dst.spareBytesUntouched());
    }
}

// Outside the source the copy writes A = 1 in the source's scale (1 of 255 here), colour 0.
TEST(CopyImageFilter, OutsideTheSourceIsAlphaOneColourZero) {
    PaddedImage<PixelRGBA8> src(2, 2);
    src.fillPixels(200);
    PaddedImage<PixelRGBA8> dst(3, 3);
    PaddedImage<PixelGray8> gray(3, 3);
    gray.fillPixels(99);
    TestHost host;
    CopyImageFilter<PixelRGBA8, PixelRGBA8> colour(&host, src.array(), dst.array());
    ASSERT_EQ(colour.render(0, 1), host.noError());
    const PixelRGBA8 corner = dst.at(2, 2);
    EXPECT_EQ(corner.channel[kA], 1);
    EXPECT_EQ(corner.channel[kR], 0);
    EXPECT_EQ(corner.channel[kG], 0);
    EXPECT_EQ(corner.channel[kB], 0);
    EXPECT_EQ(dst.at(1, 1).channel[kR], 200);
    CopyImageFilter<PixelRGBA8, PixelGray8> to_gray(&host, src.array(), gray.array());
    ASSERT_EQ(to_gray.render(0, 1), host.noError());
    EXPECT_EQ(gray.at(2, 0).channel[0], 0);
    EXPECT_EQ(gray.at(0, 2).channel[0], 0);
}

TEST(CopyImageFilter, ColourToGrayValues) {
    PaddedImage<PixelRGBA8> src(3, 1);
    src.at(0, 0) = PixelRGBA8{{255, 255, 0, 0}};
    src.at(1, 0) = PixelRGBA8{{255, 0, 255, 0}};
    src.at(2, 0) = PixelRGBA8{{255, 255, 255, 255}};
    PaddedImage<PixelGray8> gray(3, 1);
    TestHost host;
    CopyImageFilter<PixelRGBA8, PixelGray8> filter(&host, src.array(), gray.array());
    ASSERT_EQ(filter.render(0, 1), host.noError());
    EXPECT_EQ(gray.at(0, 0).channel[0], 74);
    EXPECT_EQ(gray.at(1, 0).channel[0], 140);
    EXPECT_EQ(gray.at(2, 0).channel[0], 255);
    EXPECT_TRUE(gray.spareBytesUntouched());
}

TEST(CopyImageFilter, FloatToIntegerClamps) {
    PaddedImage<PixelRGBAFloat255> src(2, 1);
    src.at(0, 0) = PixelRGBAFloat255{{300.0f, 300.0f, -0.5f, 254.9f}};
    src.at(1, 0) = PixelRGBAFloat255{{std::numeric_limits<float>::infinity(),
                                      std::numeric_limits<float>::quiet_NaN(), 12.75f,
                                      -std::numeric_limits<float>::infinity()}};
    PaddedImage<PixelRGBA8> dst(2, 1);
    TestHost host;
    CopyImageFilter<PixelRGBAFloat255, PixelRGBA8> filter(&host, src.array(), dst.array());
    ASSERT_EQ(filter.render(0, 1), host.noError());
    EXPECT_EQ(dst.at(0, 0).channel[kA], 255);
    EXPECT_EQ(dst.at(0, 0).channel[kR], 255);
    EXPECT_EQ(dst.at(0, 0).channel[kG], 0);
    EXPECT_EQ(dst.at(0, 0).channel[kB], 254);
    EXPECT_EQ(dst.at(1, 0).channel[kA], 255);
    EXPECT_EQ(dst.at(1, 0).channel[kR], 0);
    EXPECT_EQ(dst.at(1, 0).channel[kG], 12);
    EXPECT_EQ(dst.at(1, 0).channel[kB], 0);
}

TEST(CopyImageFilter, StraightAndBackStaysWithinOneStep) {
    // Premultiplying and then unpremultiplying through two copies returns each colour
    // channel within one step of the original wherever alpha is large enough to carry it.
    std::mt19937 rng(99);
    PaddedImage<PixelRGBA16> src(31, 7);
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 31; ++x) src.at(x, y) = random_pixel<PixelRGBA16>(rng, false);
    PaddedImage<PixelRGBA16> premultiplied(31, 7);
    PaddedImage<PixelRGBA16> straight(31, 7);
    TestHost host(3);
    CopyImageFilter<PixelRGBA16, PixelRGBA16> first(&host, src.array(false), premultiplied.array());
    first.premultiply_mode = PremultiplyMode::kPremultiplied;
    ASSERT_EQ(first.render(0, 1), host.noError());
    CopyImageFilter<PixelRGBA16, PixelRGBA16> second(&host, premultiplied.array(true),
                                                     straight.array());
    second.premultiply_mode = PremultiplyMode::kStraight;
    ASSERT_EQ(second.render(0, 1), host.noError());
    for (int32_t y = 0; y < 7; ++y) {
        for (int32_t x = 0; x < 31; ++x) {
            const double a = src.at(x, y).channel[kA];
            if (a < 1024) continue;
            for (int c : {kR, kG, kB}) {
                const double original = src.at(x, y).channel[c];
                const double back = straight.at(x, y).channel[c];
                EXPECT_LE(std::fabs(back - original), 32768.0 / a + 1.0) << x << "," << y;
            }
        }
    }
}

}  // namespace
