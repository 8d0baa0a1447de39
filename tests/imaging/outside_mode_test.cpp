#include "imaging/outside_mode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace {

// The modes defined directly: border clamps, mirroring is a reflection with period 2n in which
// the edge pixel repeats, repeating is the floor remainder.
std::optional<int32_t> direct_index(int mode, int32_t n, int64_t i) {
    if (n <= 0) return std::nullopt;
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

// Real positions: mirroring reflects about 0 and about n (period 2n), repeating is the floor
// remainder; results equal to n are pulled in to n - 0.0001.
double direct_position(int mode, int32_t n, double p) {
    const double size = n;
    double r = p;
    switch (mode) {
        case 1:
            return p < 0 ? 0.0 : size - 1.0;
        case 2: {
            double m = std::fmod(p, 2.0 * size);
            if (m < 0) m += 2.0 * size;
            r = m < size ? m : 2.0 * size - m;
            break;
        }
        case 3: {
            double m = std::fmod(p, size);
            if (m < 0) m += size;
            r = m;
            break;
        }
        default:
            return p;
    }
    return r >= size ? size - 0.0001 : r;
}

int32_t mapped(OutsideMode mode, int32_t n, int32_t i) {
    map_outside(mode, n, i);
    return i;
}

double mapped(OutsideMode mode, int32_t n, double p) {
    map_outside_fractional(mode, n, p);
    return p;
}

TEST(OutsideMode, IndexExamples) {
    const OutsideMode mirrored = OutsideMode::mirrored_image;
    EXPECT_EQ(mapped(mirrored, 4, -1), 0);
    EXPECT_EQ(mapped(mirrored, 4, -2), 1);
    EXPECT_EQ(mapped(mirrored, 4, -3), 2);
    EXPECT_EQ(mapped(mirrored, 4, -4), 3);
    EXPECT_EQ(mapped(mirrored, 4, -5), 3);
    EXPECT_EQ(mapped(mirrored, 4, 4), 3);
    EXPECT_EQ(mapped(mirrored, 4, 5), 2);
    EXPECT_EQ(mapped(mirrored, 4, 8), 0);

    const OutsideMode repeated = OutsideMode::repeated_image;
    EXPECT_EQ(mapped(repeated, 4, -1), 3);
    EXPECT_EQ(mapped(repeated, 4, -4), 0);
    EXPECT_EQ(mapped(repeated, 4, -5), 3);
    EXPECT_EQ(mapped(repeated, 4, 7), 3);
    EXPECT_EQ(mapped(repeated, 4, 4), 0);

    EXPECT_EQ(mapped(OutsideMode::border_color, 4, -100), 0);
    EXPECT_EQ(mapped(OutsideMode::border_color, 4, 100), 3);
}

TEST(OutsideMode, IndexMatchesDirectDefinition) {
    for (int mode = 0; mode <= 6; ++mode) {
        for (int32_t n : {1, 2, 3, 4, 7}) {
            for (int32_t i = -40; i <= 40; ++i) {
                int32_t c = i;
                const bool inside = map_outside(OutsideMode(mode), n, c);
                EXPECT_EQ(inside, i >= 0 && i < n) << "mode " << mode << " n " << n << " i " << i;
                const std::optional<int32_t> expected = direct_index(mode, n, i);
                if (expected) {
                    EXPECT_EQ(c, *expected) << "mode " << mode << " n " << n << " i " << i;
                } else {
                    EXPECT_EQ(c, i) << "unmapped mode " << mode << " changed " << i;
                }
                int32_t d = i;
                EXPECT_EQ(map_to_image(OutsideMode(mode), n, d), expected.has_value());
            }
        }
    }
}

TEST(OutsideMode, IndexExtremesAndEmptyAxis) {
    const int32_t lowest = std::numeric_limits<int32_t>::min();
    const int32_t highest = std::numeric_limits<int32_t>::max();
    for (int mode = 1; mode <= 3; ++mode) {
        for (int32_t n : {1, 5, 1000}) {
            for (int32_t i : {lowest, lowest + 1, highest, highest - 1}) {
                EXPECT_EQ(mapped(OutsideMode(mode), n, i), *direct_index(mode, n, i))
                    << "mode " << mode << " n " << n << " i " << i;
            }
        }
        // An axis without pixels maps nothing and names no pixel.
        int32_t i = -3;
        EXPECT_FALSE(map_outside(OutsideMode(mode), 0, i));
        EXPECT_EQ(i, -3);
        EXPECT_FALSE(map_to_image(OutsideMode(mode), 0, i));
    }
}

TEST(OutsideMode, FractionalExamples) {
    EXPECT_DOUBLE_EQ(mapped(OutsideMode::mirrored_image, 4, -0.5), 0.5);
    EXPECT_DOUBLE_EQ(mapped(OutsideMode::mirrored_image, 4, 4.5), 3.5);
    EXPECT_DOUBLE_EQ(mapped(OutsideMode::mirrored_image, 4, 4.0), 3.9999);
    EXPECT_DOUBLE_EQ(mapped(OutsideMode::repeated_image, 4, -0.5), 3.5);
    EXPECT_DOUBLE_EQ(mapped(OutsideMode::repeated_image, 4, -4.0), 0.0);
    EXPECT_FALSE(std::signbit(mapped(OutsideMode::repeated_image, 4, -4.0)));
    EXPECT_DOUBLE_EQ(mapped(OutsideMode::border_color, 4, 7.2), 3.0);
    EXPECT_DOUBLE_EQ(mapped(OutsideMode::border_color, 4, -7.2), 0.0);
}

TEST(OutsideMode, FractionalMatchesDirectDefinition) {
    for (int mode = 0; mode <= 5; ++mode) {
        for (int32_t n : {1, 2, 4, 7}) {
            for (double p = -30.0; p <= 30.0; p += 0.125) {
                double c = p;
                const bool inside = map_outside_fractional(OutsideMode(mode), n, c);
                EXPECT_EQ(inside, p >= 0.0 && p < n) << "mode " << mode << " p " << p;
                const double expected = inside ? p : direct_position(mode, n, p);
                EXPECT_NEAR(c, expected, 1e-12) << "mode " << mode << " n " << n << " p " << p;
                if (!inside && mode >= 1 && mode <= 3) {
                    EXPECT_GE(c, 0.0);
                    EXPECT_LT(c, double(n));
                }
            }
        }
    }
}

TEST(OutsideMode, FractionalNonFinitePositionsNeverLeaveTheImage) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (int mode = 1; mode <= 3; ++mode) {
        for (double p : {nan, inf, -inf, 1e300, -1e300}) {
            double c = p;
            EXPECT_FALSE(map_outside_fractional(OutsideMode(mode), 5, c));
            EXPECT_TRUE(c >= 0.0 && c < 5.0) << "mode " << mode << " p " << p << " gave " << c;
        }
    }
    double c = nan;
    EXPECT_FALSE(map_outside_fractional(OutsideMode::color, 5, c));
    EXPECT_TRUE(std::isnan(c));
}

}  // namespace
