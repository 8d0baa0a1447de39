#include "imaging/summed_area_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/padded_image.h"
#include "imaging/pixel_conversion.h"
#include "tests/support/test_host.h"

namespace {

// The index an outside mode puts at i, defined directly (no pixel for colour and other modes).
std::optional<int32_t> reference_index(int mode, int32_t n, int64_t i) {
    if (i >= 0 && i < n) return int32_t(i);
    switch (mode) {
        case 1:
            return i < 0 ? 0 : n - 1;
        case 2: {
            const int64_t period = 2 * int64_t(n);
            const int64_t m = ((i % period) + period) % period;
            return int32_t(m < n ? m : period - 1 - m);
        }
        case 3:
            return int32_t(((i % n) + n) % n);
        default:
            return std::nullopt;
    }
}

// How many times each pixel index of an axis is read by the indices low + 1 .. high.
std::vector<double> reference_counts(int mode, int32_t n, int64_t low, int64_t high) {
    std::vector<double> counts(size_t(n), 0.0);
    for (int64_t i = low + 1; i <= high; ++i) {
        if (const auto k = reference_index(mode, n, i)) counts[size_t(*k)] += 1.0;
    }
    return counts;
}

// A source image as the table sees it: per pixel, premultiplied channels as doubles.
struct ReferenceImage {
    int32_t width = 0;
    int32_t height = 0;
    int channels = 0;
    std::vector<double> values;  // (y * width + x) * channels + c, c in alpha, red, green, blue

    double at(int32_t x, int32_t y, int c) const {
        return values[(size_t(y) * size_t(width) + size_t(x)) * size_t(channels) + size_t(c)];
    }
};

std::vector<double> reference_box_sum(const ReferenceImage& image, int hmode, int vmode, int64_t xl,
                                      int64_t xh, int64_t yl, int64_t yh) {
    std::vector<double> sums(size_t(image.channels), 0.0);
    if (xh <= xl || yh <= yl) return sums;
    const std::vector<double> cols = reference_counts(hmode, image.width, xl, xh);
    const std::vector<double> rows = reference_counts(vmode, image.height, yl, yh);
    for (int32_t y = 0; y < image.height; ++y) {
        for (int32_t x = 0; x < image.width; ++x) {
            const double times = cols[size_t(x)] * rows[size_t(y)];
            if (times == 0.0) continue;
            for (int c = 0; c < image.channels; ++c) sums[size_t(c)] += times * image.at(x, y, c);
        }
    }
    return sums;
}

// Fills a padded source with random pixels and returns what the table must sum. Integer
// sources marked premultiplied keep every sum an exact integer, so box sums compare exactly.
template <class P>
ReferenceImage fill_random(PaddedImage<P>& image, bool premultiplied, std::mt19937& rng) {
    ReferenceImage ref;
    ref.width = image.width();
    ref.height = image.height();
    ref.channels = P::is_rgba ? 4 : 1;
    auto channel = [&](double limit) -> typename P::channel_type {
        if constexpr (P::is_float) {
            return typename P::channel_type(std::uniform_real_distribution<double>(0, limit)(rng));
        } else {
            return typename P::channel_type(std::uniform_int_distribution<int>(0, int(limit))(rng));
        }
    };
    for (int32_t y = 0; y < ref.height; ++y) {
        for (int32_t x = 0; x < ref.width; ++x) {
            P& p = image.at(x, y);
            if constexpr (P::is_rgba) {
                const auto a = channel(P::max);
                alpha_of(p) = a;
                // Premultiplied pixels keep colour at or below alpha.
                const double colour_limit = premultiplied ? double(a) : P::max;
                red_of(p) = channel(colour_limit);
                green_of(p) = channel(colour_limit);
                blue_of(p) = channel(colour_limit);
                const double factor = premultiplied ? 1.0 : double(a) / P::max;
                ref.values.push_back(double(a));
                ref.values.push_back(double(red_of(p)) * factor);
                ref.values.push_back(double(green_of(p)) * factor);
                ref.values.push_back(double(blue_of(p)) * factor);
            } else {
                gray_of(p) = channel(P::max);
                ref.values.push_back(double(gray_of(p)));
            }
        }
    }
    return ref;
}

template <class P>
struct BuiltTable {
    PaddedImage<P> image;
    ReferenceImage reference;
    std::vector<SummedAreaEntry<P>> memory;
    SummedAreaTable<P> table;

    BuiltTable(int32_t w, int32_t h, bool premultiplied, std::mt19937& rng)
        : image(w, h, 3), reference(fill_random(image, premultiplied, rng)),
          memory(size_t(w) * size_t(h) + 1) {
        TestHost host;
        const PixelArray<P> source = image.array(premultiplied);
        table = describe_summed_area_table(source, memory.data());
        EXPECT_EQ(build_table(0, 1, &host, source, table), host.noError());
    }
};

// Rectangle bounds that exercise every kind of piece: inside, across one or both edges, far
// outside, and several periods long.
int64_t random_bound(int32_t n, std::mt19937& rng) {
    switch (std::uniform_int_distribution<int>(0, 4)(rng)) {
        case 0:
            return std::uniform_int_distribution<int64_t>(-1, n - 1)(rng);
        case 1:
            return std::uniform_int_distribution<int64_t>(-3 * n - 2, 3 * n + 2)(rng);
        case 2:
            return std::uniform_int_distribution<int64_t>(-9 * n - 5, -1)(rng);
        case 3:
            return std::uniform_int_distribution<int64_t>(n - 1, 9 * n + 5)(rng);
        default:
            return std::uniform_int_distribution<int64_t>(-40, 40)(rng);
    }
}

template <class P>
void check_random_rectangles(int32_t w, int32_t h, bool premultiplied, int cases, uint32_t seed) {
    std::mt19937 rng(seed);
    BuiltTable<P> built(w, h, premultiplied, rng);
    const bool exact = !P::is_float && premultiplied;
    for (int hmode = 1; hmode <= 4; ++hmode) {
        for (int vmode = 1; vmode <= 4; ++vmode) {
            for (int k = 0; k < cases; ++k) {
                int64_t xl = random_bound(w, rng), xh = random_bound(w, rng);
                int64_t yl = random_bound(h, rng), yh = random_bound(h, rng);
                if (xh < xl) std::swap(xl, xh);
                if (yh < yl) std::swap(yl, yh);
                double sums[4] = {-1, -1, -1, -1};
                const int64_t area =
                    box_sum(built.table, sums, OutsideMode(hmode), OutsideMode(vmode), int32_t(xl),
                            int32_t(xh), int32_t(yl), int32_t(yh), w, h);
                const std::vector<double> expected =
                    reference_box_sum(built.reference, hmode, vmode, xl, xh, yl, yh);
                EXPECT_EQ(area, (xh - xl) * (yh - yl));
                for (int c = 0; c < built.reference.channels; ++c) {
                    const std::string where =
                        "size " + std::to_string(w) + "x" + std::to_string(h) + " modes " +
                        std::to_string(hmode) + "," + std::to_string(vmode) + " box (" +
                        std::to_string(xl) + "," + std::to_string(xh) + "] x (" +
                        std::to_string(yl) + "," + std::to_string(yh) + "] channel " +
                        std::to_string(c);
                    if (exact) {
                        EXPECT_EQ(sums[c], expected[size_t(c)]) << where;
                    } else {
                        // Float entries round to about 6e-8 of the image's total; a piece read
                        // k times carries k times that, and the pieces' counts add up to at
                        // most the area.
                        const double total = reference_box_sum(built.reference, 4, 4, -1, w - 1, -1,
                                                               h - 1)[size_t(c)];
                        const double tolerance = 1e-5 * (std::abs(expected[size_t(c)]) + P::max) +
                                                 3e-7 * double(area) * total;
                        EXPECT_NEAR(sums[c], expected[size_t(c)], tolerance) << where;
                    }
                }
            }
        }
    }
}

struct Size {
    int32_t width;
    int32_t height;
};
const Size kSizes[] = {{1, 1}, {1, 6}, {6, 1}, {7, 5}, {2, 3}, {4, 4}};

TEST(SummedAreaTable, BoxSumMatchesBruteForceRgba8) {
    for (const Size s : kSizes) {
        check_random_rectangles<PixelRGBA8>(s.width, s.height, true, 25, 11u + uint32_t(s.width));
        check_random_rectangles<PixelRGBA8>(s.width, s.height, false, 10, 12u + uint32_t(s.height));
    }
}

TEST(SummedAreaTable, BoxSumMatchesBruteForceRgba16) {
    for (const Size s : kSizes) {
        check_random_rectangles<PixelRGBA16>(s.width, s.height, true, 25, 21u + uint32_t(s.width));
        check_random_rectangles<PixelRGBA16>(s.width, s.height, false, 10, 22u);
    }
}

TEST(SummedAreaTable, BoxSumMatchesBruteForceRgbaFloat) {
    for (const Size s : kSizes) {
        check_random_rectangles<PixelRGBAFloat>(s.width, s.height, true, 15, 31u);
        check_random_rectangles<PixelRGBAFloat>(s.width, s.height, false, 15, 32u);
    }
}

TEST(SummedAreaTable, BoxSumMatchesBruteForceGray) {
    for (const Size s : kSizes) {
        check_random_rectangles<PixelGray8>(s.width, s.height, true, 25, 41u);
        check_random_rectangles<PixelGray16>(s.width, s.height, true, 25, 42u);
        check_random_rectangles<PixelGrayFloat>(s.width, s.height, true, 15, 43u);
    }
}

// Rectangles a million pixels across: whole periods are folded, and the result is still exact.
TEST(SummedAreaTable, HugeRectanglesFoldWholePeriods) {
    std::mt19937 rng(5);
    BuiltTable<PixelRGBA8> built(5, 3, true, rng);
    const int64_t bounds[][4] = {{-1000003, 999998, -7, 2},
                                 {-2, 2000001, -1000000, 1000001},
                                 {-5000000, -4000000, 10, 900000},
                                 {3, 1, -500000, 500000}};
    for (int hmode = 1; hmode <= 4; ++hmode) {
        for (int vmode = 1; vmode <= 4; ++vmode) {
            for (const auto& b : bounds) {
                double sums[4];
                const int64_t area =
                    box_sum(built.table, sums, OutsideMode(hmode), OutsideMode(vmode),
                            int32_t(b[0]), int32_t(b[1]), int32_t(b[2]), int32_t(b[3]), 5, 3);
                EXPECT_EQ(area, (b[1] - b[0]) * (b[3] - b[2]));
                const std::vector<double> expected =
                    reference_box_sum(built.reference, hmode, vmode, b[0], b[1], b[2], b[3]);
                for (int c = 0; c < 4; ++c) {
                    EXPECT_EQ(sums[c], expected[size_t(c)])
                        << "modes " << hmode << "," << vmode << " box " << b[0] << " " << b[1]
                        << " " << b[2] << " " << b[3];
                }
            }
        }
    }
}

TEST(SummedAreaTable, EdgeCases) {
    std::mt19937 rng(9);
    // A 1 x 1 source: every sum is the pixel times the positions that map to it.
    BuiltTable<PixelGray16> one(1, 1, true, rng);
    const double pixel = one.reference.at(0, 0, 0);
    double sum = 0.0;
    for (int mode = 1; mode <= 3; ++mode) {
        EXPECT_EQ(
            box_sum(one.table, &sum, OutsideMode(mode), OutsideMode(mode), -4, 3, -2, 5, 1, 1),
            7 * 7);
        EXPECT_EQ(sum, 49.0 * pixel);
    }
    EXPECT_EQ(box_sum(one.table, &sum, OutsideMode::color, OutsideMode::color, -4, 3, -2, 5, 1, 1),
              49);
    EXPECT_EQ(sum, pixel);

    // Border mode, rows (-4, 0]: four rows, all equal to row 0.
    BuiltTable<PixelGray8> small(5, 4, true, rng);
    double row0 = 0.0;
    for (int32_t x = 1; x <= 3; ++x) row0 += small.reference.at(x, 0, 0);
    EXPECT_EQ(box_sum(small.table, &sum, OutsideMode::border_color, OutsideMode::border_color, 0, 3,
                      -4, 0, 5, 4),
              12);
    EXPECT_EQ(sum, 4.0 * row0);

    // Colour mode: a rectangle wholly outside sums to 0 and still returns its full area.
    EXPECT_EQ(
        box_sum(small.table, &sum, OutsideMode::color, OutsideMode::color, 10, 20, -9, -1, 5, 4),
        80);
    EXPECT_EQ(sum, 0.0);
    // Any value other than 1 to 3 behaves as colour.
    EXPECT_EQ(box_sum(small.table, &sum, OutsideMode(0), OutsideMode(17), -3, 8, -2, 6, 5, 4), 88);
    EXPECT_EQ(sum, reference_box_sum(small.reference, 4, 4, -3, 8, -2, 6)[0]);

    // Empty and inverted rectangles sum nothing; the area is returned as it is.
    EXPECT_EQ(box_sum(small.table, &sum, OutsideMode::mirrored_image, OutsideMode::mirrored_image,
                      3, 3, -2, 6, 5, 4),
              0);
    EXPECT_EQ(sum, 0.0);
    EXPECT_EQ(box_sum(small.table, &sum, OutsideMode::repeated_image, OutsideMode::repeated_image,
                      4, 1, 0, 2, 5, 4),
              -6);
    EXPECT_EQ(sum, 0.0);
}

TEST(SummedAreaTable, EmptySourceSumsNothing) {
    SummedAreaTable<PixelRGBA8> table;
    double sums[4] = {1, 1, 1, 1};
    for (int mode = 1; mode <= 4; ++mode) {
        EXPECT_EQ(box_sum(table, sums, OutsideMode(mode), OutsideMode(mode), -3, 3, -3, 3, 0, 0),
                  36);
        for (double s : sums) EXPECT_EQ(s, 0.0);
    }
}

// The entries themselves: prefix sums of the premultiplied source in its own scale, with the
// straight-to-premultiplied factor A * (1 / Max).
TEST(SummedAreaTable, BuildTableEntriesAndDescriptor) {
    std::mt19937 rng(3);
    PaddedImage<PixelRGBA16> image(6, 5, 5);
    const ReferenceImage ref = fill_random(image, false, rng);
    PixelArray<PixelRGBA16> source = image.array(false);
    source.origin_x = -7;
    source.origin_y = 12;
    source.factor_a = 2.0;
    std::vector<PixelRGBAFloat32768> memory(30);
    const SummedAreaTable<PixelRGBA16> table = describe_summed_area_table(source, memory.data());
    EXPECT_EQ(table.width, 6);
    EXPECT_EQ(table.height, 5);
    EXPECT_EQ(table.pixel_bytes, 16);
    EXPECT_EQ(table.row_bytes, 6 * 16);
    EXPECT_EQ(table.origin_x, -7);
    EXPECT_EQ(table.origin_y, 12);
    EXPECT_EQ(table.factor_a, 1.0);
    EXPECT_TRUE(table.valid);
    EXPECT_TRUE(table.premultiplied);

    TestHost host;
    ASSERT_EQ(build_table(0, 1, &host, source, table), host.noError());
    for (int32_t y = 0; y < 5; ++y) {
        for (int32_t x = 0; x < 6; ++x) {
            for (int c = 0; c < 4; ++c) {
                double expected = 0.0;
                for (int32_t j = 0; j <= y; ++j)
                    for (int32_t i = 0; i <= x; ++i) expected += ref.at(i, j, c);
                const PixelRGBAFloat32768& e = table.at(x, y);
                const float got = c == 0   ? alpha_of(e)
                                  : c == 1 ? red_of(e)
                                  : c == 2 ? green_of(e)
                                           : blue_of(e);
                EXPECT_NEAR(got, expected, 1e-6 * expected + 1e-3) << x << "," << y << " c" << c;
            }
        }
    }
    EXPECT_TRUE(image.spareBytesUntouched());
}

TEST(SummedAreaTable, BuildReportsProgressAndStopsOnCancel) {
    std::mt19937 rng(4);
    PaddedImage<PixelGray8> image(3, 7);
    fill_random(image, true, rng);
    std::vector<SummedAreaEntry<PixelGray8>> memory(21);
    const PixelArray<PixelGray8> source = image.array(true);
    const auto table = describe_summed_area_table(source, memory.data());

    TestHost host;
    ASSERT_EQ(build_table(2, 6, &host, source, table), host.noError());
    const auto reports = host.reports();
    ASSERT_EQ(reports.size(), 7u);
    for (int32_t y = 0; y < 7; ++y) {
        EXPECT_EQ(reports[size_t(y)].first, y + 7 * 2);
        EXPECT_EQ(reports[size_t(y)].second, 7 * 6);
    }

    TestHost cancelling;
    cancelling.abortAfter(2);
    EXPECT_EQ(build_table(0, 1, &cancelling, source, table), cancelling.abortError());
    EXPECT_EQ(cancelling.reports().size(), 3u);
}

// NaN and infinities are summed as 0: they must not spread to every later entry.
TEST(SummedAreaTable, NonFiniteValuesCountAsZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    PaddedImage<PixelRGBAFloat> image(4, 4);
    ReferenceImage ref{4, 4, 4, {}};
    for (int32_t y = 0; y < 4; ++y) {
        for (int32_t x = 0; x < 4; ++x) {
            PixelRGBAFloat& p = image.at(x, y);
            alpha_of(p) = 1.0f;
            red_of(p) = 0.25f * float(x);
            green_of(p) = 0.5f;
            blue_of(p) = 0.125f * float(y);
            ref.values.insert(ref.values.end(), {1.0, 0.25 * x, 0.5, 0.125 * y});
        }
    }
    red_of(image.at(1, 1)) = nan;
    ref.values[(1 * 4 + 1) * 4 + 1] = 0.0;
    blue_of(image.at(2, 1)) = inf;
    ref.values[(1 * 4 + 2) * 4 + 3] = 0.0;
    alpha_of(image.at(0, 2)) = -inf;  // straight source: the colour times -inf is not finite
    ref.values[(2 * 4 + 0) * 4 + 0] = 0.0;
    ref.values[(2 * 4 + 0) * 4 + 2] = 0.0;
    ref.values[(2 * 4 + 0) * 4 + 3] = 0.0;
    red_of(image.at(0, 2)) = 0.0f;  // 0 times -inf is NaN
    ref.values[(2 * 4 + 0) * 4 + 1] = 0.0;

    std::vector<PixelRGBAFloat> memory(16);
    const PixelArray<PixelRGBAFloat> source = image.array(false);
    const auto table = describe_summed_area_table(source, memory.data());
    TestHost host;
    ASSERT_EQ(build_table(0, 1, &host, source, table), host.noError());
    for (int hmode = 1; hmode <= 4; ++hmode) {
        for (int32_t xl = -3; xl < 6; xl += 2) {
            for (int32_t yl = -2; yl < 5; yl += 3) {
                double sums[4];
                box_sum(table, sums, OutsideMode(hmode), OutsideMode(hmode), xl, xl + 3, yl, yl + 2,
                        4, 4);
                const auto expected = reference_box_sum(ref, hmode, hmode, xl, xl + 3, yl, yl + 2);
                for (int c = 0; c < 4; ++c) {
                    EXPECT_TRUE(std::isfinite(sums[c]));
                    EXPECT_NEAR(sums[c], expected[size_t(c)], 1e-5);
                }
            }
        }
    }
}

}  // namespace
