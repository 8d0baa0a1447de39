#include "imaging/zoom_filter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/padded_image.h"
#include "imaging/pixel_conversion.h"
#include "tests/support/test_host.h"

namespace {

std::optional<int64_t> reference_index(int mode, int64_t n, int64_t i) {
    if (n <= 0) return std::nullopt;
    if (i >= 0 && i < n) return i;
    switch (mode) {
        case 1:
            return i < 0 ? 0 : n - 1;
        case 2: {
            const int64_t m = ((i % (2 * n)) + 2 * n) % (2 * n);
            return m < n ? m : 2 * n - 1 - m;
        }
        case 3:
            return ((i % n) + n) % n;
        default:
            return std::nullopt;
    }
}

// One source pixel premultiplied, in the source's scale (alpha, red, green, blue or gray).
template <class Src>
std::vector<double> premultiplied_pixel(const Src& p, bool premultiplied) {
    if constexpr (Src::is_rgba) {
        const double a = alpha_of(p);
        const double f = premultiplied ? 1.0 : a / Src::max;
        return {a, red_of(p) * f, green_of(p) * f, blue_of(p) * f};
    } else {
        return {double(gray_of(p))};
    }
}

// The zoom of one destination pixel computed without a table: the box [x0, x1 + 1] x
// [y0, y1 + 1] of the source, each source cell [i, i + 1) x [j, j + 1) weighted by its overlap,
// positions outside mapped by their axis's mode, then the destination conversion.
template <class Src, class Dst>
std::vector<double> reference_zoom(const PixelArray<Src>& source, const PixelArray<Dst>& dest,
                                   double sx, double sy, int hmode, int vmode, int32_t x,
                                   int32_t y) {
    const double x0 = (x - source.width * 0.5 - 0.5 - (dest.width - source.width) * 0.5) * sx +
                      source.width * 0.5;
    const double y0 = (y - source.height * 0.5 - 0.5 - (dest.height - source.height) * 0.5) * sy +
                      source.height * 0.5;
    const double x_end = x0 + sx + 1.0;
    const double y_end = y0 + sy + 1.0;
    const int channels = Src::is_rgba ? 4 : 1;
    std::vector<double> v(size_t(channels), 0.0);
    double total = 0.0;
    for (int64_t j = int64_t(std::floor(y0)); double(j) < y_end; ++j) {
        const double wy = std::min(y_end, double(j + 1)) - std::max(y0, double(j));
        if (wy <= 0) continue;
        for (int64_t i = int64_t(std::floor(x0)); double(i) < x_end; ++i) {
            const double wx = std::min(x_end, double(i + 1)) - std::max(x0, double(i));
            if (wx <= 0) continue;
            total += wx * wy;
            const auto mi = reference_index(hmode, source.width, i);
            const auto mj = reference_index(vmode, source.height, j);
            if (!mi || !mj) continue;
            const auto p =
                premultiplied_pixel(source.at(int32_t(*mi), int32_t(*mj)), source.premultiplied);
            for (int c = 0; c < channels; ++c) v[size_t(c)] += wx * wy * p[size_t(c)];
        }
    }
    for (double& c : v) {
        if (total != 0) c /= total;
        if (!Src::is_float) c = std::min(c, Src::max);
    }
    if (Dst::max_value == 1 && Src::max_value != 1) {
        for (double& c : v) c /= Src::max;
    }
    auto clamp = [](double c) { return std::min(std::max(c, 0.0), Dst::max); };
    if constexpr (Src::is_rgba) {
        if (!dest.premultiplied && float(v[0]) > 0) {
            for (int c = 1; c < 4; ++c) v[size_t(c)] *= Dst::max / v[0];
        }
        for (double& c : v) c = clamp(c);
        if constexpr (Dst::is_gray) {
            return {(0.292687786 * v[1] + 0.552149646 * v[2] + 0.155162568 * v[3]) * v[0] /
                    Dst::max};
        }
        return v;
    } else {
        if (!Dst::is_float) v[0] = clamp(v[0]);
        return v;
    }
}

template <class P>
std::vector<double> stored(const P& p) {
    if constexpr (P::is_rgba) {
        return {double(alpha_of(p)), double(red_of(p)), double(green_of(p)), double(blue_of(p))};
    } else {
        return {double(gray_of(p))};
    }
}

template <class P>
void fill_source(PaddedImage<P>& image, bool premultiplied, std::mt19937& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int32_t y = 0; y < image.height(); ++y) {
        for (int32_t x = 0; x < image.width(); ++x) {
            P& p = image.at(x, y);
            auto value = [&](double limit) {
                return typename P::channel_type(P::is_float ? unit(rng) * limit
                                                            : std::floor(unit(rng) * limit));
            };
            if constexpr (P::is_rgba) {
                // A few transparent pixels, the rest from a quarter of Max up to opaque.
                const double a = unit(rng) < 0.15 ? 0.0 : P::max * (0.25 + 0.75 * unit(rng));
                alpha_of(p) = typename P::channel_type(P::is_float ? a : std::floor(a));
                const double limit = premultiplied ? double(alpha_of(p)) : P::max;
                red_of(p) = value(limit);
                green_of(p) = value(limit);
                blue_of(p) = value(limit);
            } else {
                gray_of(p) = value(P::max + (P::is_float ? 0.0 : 0.999));
            }
        }
    }
}

template <class Src, class Dst>
void check_against_reference(int32_t sw, int32_t sh, int32_t dw, int32_t dh, double sx, double sy,
                             int hmode, int vmode, bool src_premultiplied, bool dst_premultiplied,
                             uint32_t seed, int32_t threads = 1) {
    std::mt19937 rng(seed);
    PaddedImage<Src> source_image(sw, sh, 2);
    fill_source(source_image, src_premultiplied, rng);
    PaddedImage<Dst> dest_image(dw, dh, 3);
    dest_image.fillPixels(0x5A);
    TestHost host(threads);
    ZoomFilter<Src, Dst> zoom(&host, source_image.array(src_premultiplied),
                              dest_image.array(dst_premultiplied));
    zoom.scale_x = sx;
    zoom.scale_y = sy;
    zoom.horizontal_mode = OutsideMode(hmode);
    zoom.vertical_mode = OutsideMode(vmode);
    ASSERT_EQ(zoom.render(0, 1), host.noError());
    EXPECT_EQ(host.allocations(), 1);
    EXPECT_EQ(host.releases(), 1);
    EXPECT_TRUE(dest_image.spareBytesUntouched());
    EXPECT_TRUE(source_image.spareBytesUntouched());

    for (int32_t y = 0; y < dh; ++y) {
        for (int32_t x = 0; x < dw; ++x) {
            const auto expected =
                reference_zoom(zoom.source, zoom.destination, sx, sy, hmode, vmode, x, y);
            const auto got = stored(dest_image.at(x, y));
            ASSERT_EQ(got.size(), expected.size());
            // Turning colour straight divides the table's rounding by alpha; where alpha is
            // (nearly) 0 the colour is rounding noise over noise and is not compared.
            double amplification = 1.0;
            if (Src::is_rgba && Dst::is_rgba && !dst_premultiplied) {
                if (expected[0] < 1e-3 * Dst::max) {
                    EXPECT_NEAR(got[0], expected[0], 1e-5 * Dst::max);
                    continue;
                }
                amplification = Dst::max / expected[0];
            }
            for (size_t c = 0; c < got.size(); ++c) {
                // Integer results are truncated, so a sum a hair below a whole number may give
                // one less; float results carry the float table's rounding.
                const double tolerance =
                    Dst::is_float ? 2e-5 * (std::abs(expected[c]) + Dst::max) * amplification : 1.0;
                ASSERT_NEAR(got[c], expected[c], tolerance)
                    << "pixel " << x << "," << y << " channel " << c << " of " << sw << "x" << sh
                    << " -> " << dw << "x" << dh << " scale " << sx << "," << sy << " modes "
                    << hmode << "," << vmode;
                if (!Dst::is_float) {
                    EXPECT_GE(got[c], std::floor(expected[c] - 1e-6) - 1.0);
                }
            }
        }
    }
}

struct Case {
    int32_t sw, sh, dw, dh;
    double sx, sy;
};

// Down- and up-scaling, odd sizes, a point sample (scale 0), a single pixel source.
const Case kCases[] = {
    {9, 7, 4, 3, 2.5, 2.25}, {5, 4, 11, 9, 0.45, 0.5}, {7, 5, 7, 5, 1.0, 1.0},
    {1, 1, 3, 2, 0.7, 1.3},  {6, 1, 3, 3, 2.0, 0.4},   {1, 8, 2, 4, 1.5, 2.0},
    {8, 6, 5, 5, 0.0, 0.0},
};

template <class Src, class Dst>
void check_instantiation(uint32_t seed) {
    int k = 0;
    for (const Case& c : kCases) {
        for (bool src_pre : {false, true}) {
            if (Src::is_gray && !src_pre) continue;
            for (bool dst_pre : {false, true}) {
                const int hmode = 1 + (k % 4);
                const int vmode = 1 + ((k / 4 + k) % 4);
                ++k;
                check_against_reference<Src, Dst>(c.sw, c.sh, c.dw, c.dh, c.sx, c.sy, hmode, vmode,
                                                  src_pre, dst_pre, seed + uint32_t(k));
            }
        }
    }
}

TEST(ZoomFilter, EveryInstantiationMatchesDirectWeightedSum) {
    check_instantiation<PixelRGBA8, PixelGray8>(100);
    check_instantiation<PixelGray8, PixelGray8>(200);
    check_instantiation<PixelRGBA16, PixelGray16>(300);
    check_instantiation<PixelGray16, PixelGray16>(400);
    check_instantiation<PixelRGBAFloat, PixelGrayFloat>(500);
    check_instantiation<PixelGrayFloat, PixelGrayFloat>(600);
    check_instantiation<PixelRGBA8, PixelRGBAFloat255>(700);
    check_instantiation<PixelRGBA8, PixelRGBAFloat>(800);
    check_instantiation<PixelRGBA8, PixelGrayFloat>(900);
    check_instantiation<PixelRGBA16, PixelRGBAFloat32768>(1000);
    check_instantiation<PixelRGBA16, PixelRGBAFloat>(1100);
    check_instantiation<PixelRGBA16, PixelGrayFloat>(1200);
    check_instantiation<PixelRGBAFloat, PixelRGBAFloat>(1300);
}

TEST(ZoomFilter, EveryModePairMatchesDirectWeightedSum) {
    for (int hmode = 0; hmode <= 4; ++hmode) {
        for (int vmode = 0; vmode <= 4; ++vmode) {
            check_against_reference<PixelRGBA8, PixelRGBAFloat255>(
                5, 4, 9, 8, 1.7, 1.3, hmode, vmode, false, true, 77u + uint32_t(hmode * 5 + vmode));
            // A box several periods wide.
            check_against_reference<PixelGrayFloat, PixelGrayFloat>(
                3, 2, 3, 2, 7.5, 9.25, hmode, vmode, true, true, 99u + uint32_t(hmode * 5 + vmode));
        }
    }
}

TEST(ZoomFilter, ManyThreadsGiveTheSameResult) {
    check_against_reference<PixelRGBA16, PixelRGBAFloat>(33, 21, 47, 37, 0.66, 0.55, 2, 3, false,
                                                         false, 5u, 8);
    check_against_reference<PixelRGBA8, PixelGray8>(40, 30, 13, 11, 3.1, 2.7, 1, 4, false, false,
                                                    6u, 8);
}

// Equal sizes at scale 1 are not the identity: weights 1/4, 1/2, 1/4 per axis.
TEST(ZoomFilter, ScaleOneSpreadsOverNeighbours) {
    PaddedImage<PixelGrayFloat> source(5, 5);
    source.fillPixels(0);
    gray_of(source.at(2, 2)) = 16.0f;
    PaddedImage<PixelGrayFloat> dest(5, 5);
    TestHost host;
    ZoomFilter<PixelGrayFloat, PixelGrayFloat> zoom(&host, source.array(true), dest.array(true));
    zoom.scale_x = zoom.scale_y = 1.0;
    zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::color;
    ASSERT_EQ(zoom.render(0, 1), host.noError());
    const double weight[5] = {0.0, 0.25, 0.5, 0.25, 0.0};
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 5; ++x)
            EXPECT_FLOAT_EQ(gray_of(dest.at(x, y)), 16.0 * weight[x] * weight[y]) << x << "," << y;
}

// A constant image stays constant wherever the modes put image pixels outside.
TEST(ZoomFilter, ConstantImageStaysConstantInMappingModes) {
    PaddedImage<PixelRGBA8> source(6, 4);
    for (int32_t y = 0; y < 4; ++y) {
        for (int32_t x = 0; x < 6; ++x) {
            PixelRGBA8& p = source.at(x, y);
            alpha_of(p) = 255;
            red_of(p) = 200;
            green_of(p) = 100;
            blue_of(p) = 50;
        }
    }
    for (int mode = 1; mode <= 3; ++mode) {
        PaddedImage<PixelRGBAFloat255> dest(10, 7);
        TestHost host;
        ZoomFilter<PixelRGBA8, PixelRGBAFloat255> zoom(&host, source.array(false),
                                                       dest.array(true));
        zoom.scale_x = 1.3;
        zoom.scale_y = 0.8;
        zoom.horizontal_mode = zoom.vertical_mode = OutsideMode(mode);
        ASSERT_EQ(zoom.render(0, 1), host.noError());
        for (int32_t y = 0; y < 7; ++y) {
            for (int32_t x = 0; x < 10; ++x) {
                const PixelRGBAFloat255& p = dest.at(x, y);
                EXPECT_NEAR(alpha_of(p), 255.0, 1e-3) << "mode " << mode << " " << x << "," << y;
                EXPECT_NEAR(red_of(p), 200.0, 1e-3) << "mode " << mode << " " << x << "," << y;
                EXPECT_NEAR(green_of(p), 100.0, 1e-3);
                EXPECT_NEAR(blue_of(p), 50.0, 1e-3);
            }
        }
    }
}

// A 100 x 50 lens into 40 x 40 at scale 2.5, nothing outside: the image lies about the middle.
TEST(ZoomFilter, LensImageIsCentred) {
    PaddedImage<PixelRGBA8> lens(100, 50);
    for (int32_t y = 0; y < 50; ++y)
        for (int32_t x = 0; x < 100; ++x) {
            PixelRGBA8& p = lens.at(x, y);
            alpha_of(p) = red_of(p) = green_of(p) = blue_of(p) = 255;
        }
    PaddedImage<PixelGray8> kernel(40, 40);
    TestHost host;
    ZoomFilter<PixelRGBA8, PixelGray8> zoom;
    zoom.host = &host;
    zoom.source = lens.array(false);
    zoom.destination = kernel.array(false);
    zoom.scale_x = zoom.scale_y = 2.5;
    zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::color;
    ASSERT_EQ(zoom.render(0, 1), host.noError());
    for (int32_t y = 0; y < 40; ++y) {
        // Destination row y reads source rows from y0 = (y - 20) * 2.5 + 25 - 1.25 on.
        const double y0 = (y - 20) * 2.5 + 25.0 - 1.25;
        const bool outside = y0 + 3.5 <= 0.0 || y0 >= 50.0;
        const bool inside = y0 >= 0.0 && y0 + 3.5 <= 50.0;
        for (int32_t x = 1; x < 39; ++x) {
            if (outside) {
                EXPECT_EQ(gray_of(kernel.at(x, y)), 0) << x << "," << y;
            }
            if (inside) {
                EXPECT_GE(gray_of(kernel.at(x, y)), 254) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(gray_of(kernel.at(20, 0)), 0);
    EXPECT_EQ(gray_of(kernel.at(20, 39)), 0);
    EXPECT_GE(gray_of(kernel.at(20, 20)), 254);
}

// A straight float destination from 8 bits: 0 .. 1, colour divided by the scaled alpha.
TEST(ZoomFilter, StraightFloatFromEightBit) {
    PaddedImage<PixelRGBA8> source(3, 3);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 3; ++x) {
            PixelRGBA8& p = source.at(x, y);
            alpha_of(p) = 51;
            red_of(p) = 255;
            green_of(p) = 102;
            blue_of(p) = 0;
        }
    PaddedImage<PixelRGBAFloat> dest(3, 3);
    TestHost host;
    ZoomFilter<PixelRGBA8, PixelRGBAFloat> zoom(&host, source.array(false), dest.array(false));
    zoom.scale_x = zoom.scale_y = 1.0;
    zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::border_color;
    ASSERT_EQ(zoom.render(0, 1), host.noError());
    const PixelRGBAFloat& p = dest.at(1, 1);
    EXPECT_NEAR(alpha_of(p), 0.2, 1e-6);
    EXPECT_NEAR(red_of(p), 1.0, 1e-6);
    EXPECT_NEAR(green_of(p), 0.4, 1e-6);
    EXPECT_NEAR(blue_of(p), 0.0, 1e-6);
}

TEST(ZoomFilter, ProgressCoversTableThenResampling) {
    PaddedImage<PixelGray8> source(4, 6);
    source.fillPixels(9);
    PaddedImage<PixelGray8> dest(3, 2);
    TestHost host;
    ZoomFilter<PixelGray8, PixelGray8> zoom(&host, source.array(true), dest.array(true));
    zoom.scale_x = zoom.scale_y = 2.0;
    ASSERT_EQ(zoom.render(1, 3), host.noError());
    const auto reports = host.reports();
    ASSERT_EQ(reports.size(), 6u + 2u);
    for (int32_t y = 0; y < 6; ++y) {
        EXPECT_EQ(reports[size_t(y)], std::make_pair(y + 6 * 2, 6 * 6));
    }
    // The resampling pass counts its destination rows in source rows: row y of the fourth of
    // six passes of 6 source rows each.
    for (int32_t y = 0; y < 2; ++y) {
        EXPECT_EQ(reports[size_t(6 + y)], std::make_pair(y + 6 * 3, 6 * 6));
    }
    // A destination taller than the source stops at the end of its share.
    PaddedImage<PixelGray8> tall(3, 9);
    TestHost tall_host;
    ZoomFilter<PixelGray8, PixelGray8> up(&tall_host, source.array(true), tall.array(true));
    up.scale_x = up.scale_y = 0.5;
    ASSERT_EQ(up.render(0, 1), tall_host.noError());
    const auto tall_reports = tall_host.reports();
    ASSERT_EQ(tall_reports.size(), 6u + 9u);
    for (int32_t y = 0; y < 9; ++y)
        EXPECT_EQ(tall_reports[size_t(6 + y)], std::make_pair(std::min(y, 6) + 6, 12)) << y;
}

template <class Src, class Dst>
void check_cancel_and_memory() {
    for (int32_t abort_after : {0, 3, 9, 12}) {
        PaddedImage<Src> source(5, 9);
        source.fillPixels(3);
        PaddedImage<Dst> dest(7, 6);
        dest.fillPixels(0x11);
        TestHost host(3);
        host.abortAfter(abort_after);
        ZoomFilter<Src, Dst> zoom(&host, source.array(true), dest.array(true));
        zoom.scale_x = zoom.scale_y = 0.8;
        EXPECT_EQ(zoom.render(0, 1), host.abortError()) << "abort after " << abort_after;
        EXPECT_EQ(host.allocations(), 1);
        EXPECT_EQ(host.releases(), 1);
        EXPECT_TRUE(dest.spareBytesUntouched());
        if (abort_after < 9) {
            // Cancelled while building the table: nothing is resampled.
            PaddedImage<Dst> untouched(7, 6);
            untouched.fillPixels(0x11);
            for (int32_t y = 0; y < 6; ++y)
                for (int32_t x = 0; x < 7; ++x)
                    EXPECT_EQ(stored(dest.at(x, y)), stored(untouched.at(x, y)));
        }
    }

    PaddedImage<Src> source(5, 9);
    source.fillPixels(3);
    PaddedImage<Dst> dest(7, 6);
    dest.fillPixels(0x22);
    TestHost host(2);
    host.failAllocation();
    ZoomFilter<Src, Dst> zoom(&host, source.array(true), dest.array(true));
    zoom.scale_x = zoom.scale_y = 1.0;
    EXPECT_EQ(zoom.render(0, 1), host.outOfMemoryError());
    EXPECT_TRUE(host.reports().empty());
    PaddedImage<Dst> untouched(7, 6);
    untouched.fillPixels(0x22);
    for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 7; ++x)
            EXPECT_EQ(stored(dest.at(x, y)), stored(untouched.at(x, y)));
    EXPECT_TRUE(dest.spareBytesUntouched());
}

TEST(ZoomFilter, CancelReturnsTheStatusAndReleasesTheTable) {
    check_cancel_and_memory<PixelRGBA8, PixelGray8>();
    check_cancel_and_memory<PixelGrayFloat, PixelGrayFloat>();
    check_cancel_and_memory<PixelRGBA16, PixelRGBAFloat32768>();
}

TEST(ZoomFilter, MissingPixelsOrEmptyImages) {
    TestHost host;
    PaddedImage<PixelGray8> dest(4, 4);
    dest.fillPixels(0x33);
    // No source memory: nothing written, no table.
    ZoomFilter<PixelGray8, PixelGray8> zoom(&host, PixelArray<PixelGray8>(), dest.array(true));
    zoom.scale_x = zoom.scale_y = 1.0;
    EXPECT_EQ(zoom.render(0, 1), host.noError());
    EXPECT_EQ(host.allocations(), 0);
    EXPECT_EQ(gray_of(dest.at(2, 2)), 0x33);

    // A 0 x 0 source with memory: every position is outside, the result is 0.
    unsigned char byte = 7;
    zoom.source = PixelArray<PixelGray8>(&byte, 0, 0, 1, true);
    zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::repeated_image;
    EXPECT_EQ(zoom.render(0, 1), host.noError());
    EXPECT_EQ(gray_of(dest.at(2, 2)), 0);
    EXPECT_TRUE(dest.spareBytesUntouched());

    // A destination of height 0 runs nothing.
    PaddedImage<PixelGray8> source(3, 3);
    ZoomFilter<PixelGray8, PixelGray8> flat(&host, source.array(true),
                                            PixelArray<PixelGray8>(&byte, 5, 0, 5, true));
    EXPECT_EQ(flat.render(0, 1), host.noError());
    EXPECT_EQ(byte, 7);
    EXPECT_EQ(host.allocations(), host.releases());
}

// A NaN or infinite source value does not spread through the table to distant pixels.
TEST(ZoomFilter, NonFiniteSourceValuesStayLocal) {
    PaddedImage<PixelRGBAFloat> source(8, 8);
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 8; ++x) {
            PixelRGBAFloat& p = source.at(x, y);
            alpha_of(p) = 1.0f;
            red_of(p) = green_of(p) = blue_of(p) = 0.5f;
        }
    red_of(source.at(1, 1)) = std::numeric_limits<float>::quiet_NaN();
    green_of(source.at(1, 1)) = std::numeric_limits<float>::infinity();
    PaddedImage<PixelRGBAFloat> dest(4, 4);
    TestHost host;
    ZoomFilter<PixelRGBAFloat, PixelRGBAFloat> zoom(&host, source.array(true), dest.array(true));
    zoom.scale_x = zoom.scale_y = 2.0;
    zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::mirrored_image;
    ASSERT_EQ(zoom.render(0, 1), host.noError());
    for (int32_t y = 0; y < 4; ++y) {
        for (int32_t x = 0; x < 4; ++x) {
            const PixelRGBAFloat& p = dest.at(x, y);
            EXPECT_TRUE(std::isfinite(red_of(p)) && std::isfinite(green_of(p)));
            if (x >= 2 || y >= 2) {
                EXPECT_NEAR(red_of(p), 0.5, 1e-6) << x << "," << y;
                EXPECT_NEAR(green_of(p), 0.5, 1e-6) << x << "," << y;
            }
        }
    }
}

// One table, many destinations: the same pixels as a full render for each, one allocation.
TEST(ZoomFilter, ReusedTableMatchesRender) {
    std::mt19937 rng(8);
    PaddedImage<PixelGrayFloat> lens(13, 9);
    fill_source(lens, true, rng);
    TestHost host(2);
    ZoomFilter<PixelGrayFloat, PixelGrayFloat> zoom;
    zoom.host = &host;
    zoom.source = lens.array(true);
    zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::color;
    ASSERT_EQ(zoom.prepare_table(), host.noError());
    EXPECT_NE(zoom.table_memory.get(), nullptr);
    EXPECT_EQ(host.allocations(), 1);
    for (int32_t level = 1; level <= 4; ++level) {
        PaddedImage<PixelGrayFloat> kernel(2 * level + 1, 2 * level);
        zoom.destination = kernel.array(true);
        zoom.scale_x = 13.0 / (2 * level + 1);
        zoom.scale_y = zoom.scale_x * 0.9;
        ASSERT_EQ(zoom.resample(), host.noError());
        EXPECT_TRUE(kernel.spareBytesUntouched());

        PaddedImage<PixelGrayFloat> fresh(2 * level + 1, 2 * level);
        TestHost other;
        ZoomFilter<PixelGrayFloat, PixelGrayFloat> once(&other, lens.array(true),
                                                        fresh.array(true));
        once.scale_x = zoom.scale_x;
        once.scale_y = zoom.scale_y;
        once.horizontal_mode = once.vertical_mode = OutsideMode::color;
        ASSERT_EQ(once.render(0, 1), other.noError());
        for (int32_t y = 0; y < kernel.height(); ++y)
            for (int32_t x = 0; x < kernel.width(); ++x)
                EXPECT_EQ(gray_of(kernel.at(x, y)), gray_of(fresh.at(x, y)));
    }
    EXPECT_EQ(host.allocations(), 1);
    EXPECT_EQ(host.releases(), 0);
    zoom.release_table();
    EXPECT_EQ(zoom.table_memory.get(), nullptr);
    EXPECT_EQ(host.releases(), 1);

    // A cancelled build keeps nothing allocated; out of memory is reported as such.
    host.abortAfter(int32_t(host.reports().size()) + 2);
    EXPECT_EQ(zoom.prepare_table(), host.abortError());
    EXPECT_EQ(zoom.table_memory.get(), nullptr);
    EXPECT_EQ(host.allocations(), host.releases());
    TestHost starved;
    starved.failAllocation();
    zoom.host = &starved;
    EXPECT_EQ(zoom.prepare_table(), starved.outOfMemoryError());
    EXPECT_EQ(zoom.table_memory.get(), nullptr);
}

}  // namespace
