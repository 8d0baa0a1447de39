#include "imaging/iris_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "tests/support/padded_image.h"
#include "framework/quillbrook_host.h"
#include "tests/support/test_host.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr unsigned char kGuard = 0xCD;
constexpr size_t kGuardBytes = 256;

struct PolygonParams {
    int32_t facets = 6;
    double radius = 20.0;
    double rounded = 0.0;
    double angle = 0.0;
    double thickness = 0.3;
    double brightness = 0.0;
    double ratio = 1.0;
};

// Bytes a polygon kernel may use, computed here from the storage rule: with R = trunc(r + 1)
// and H = trunc(R * max(q, 0.05)) + 1, (max(R, H) * 24 + 12) records of 12 bytes (22 bytes with
// a border brightness) plus H * 16 + 9 bytes.
// The builder takes a radius that is negative or NaN as 0.
double radius_of(const PolygonParams& p) { return p.radius > 0.0 ? p.radius : 0.0; }

size_t storage_rule_bytes(const PolygonParams& p) {
    const int64_t R = int64_t(std::trunc(radius_of(p) + 1.0));
    const int64_t H = int64_t(std::trunc(double(R) * std::max(p.ratio, 0.05))) + 1;
    const int64_t span = std::max(R, H);
    return size_t((span * 24 + 12) * (p.brightness != 0.0 ? 22 : 12) + H * 16 + 9);
}

int64_t storage_rule_records(const PolygonParams& p) {
    const int64_t R = int64_t(std::trunc(radius_of(p) + 1.0));
    const int64_t H = int64_t(std::trunc(double(R) * std::max(p.ratio, 0.05))) + 1;
    const int64_t span = std::max(R, H);
    return p.brightness != 0.0 ? span * 44 + 22 : span * 24 + 12;
}

// A polygon kernel in its own storage, followed by a guard region that must stay untouched.
// `offset` shifts the storage off the allocation's alignment.
struct BuiltKernel {
    std::vector<unsigned char> memory;
    size_t offset = 0;
    size_t bytes = 0;
    IrisKernel kernel;
    int32_t status = -1;

    unsigned char* storage() { return memory.data() + offset; }
    bool guard_intact() const {
        return std::all_of(memory.begin() + std::ptrdiff_t(offset + bytes), memory.end(),
                           [](unsigned char c) { return c == kGuard; });
    }
};

BuiltKernel build(QuillbrookHost& host, const PolygonParams& p, IrisBuildOptions options = {},
                  size_t offset = 0) {
    BuiltKernel b;
    b.offset = offset;
    b.bytes = storage_rule_bytes(p);
    b.memory.assign(offset + b.bytes + kGuardBytes, kGuard);
    b.status = build_polygon_kernel(b.storage(), p.facets, &host, p.radius, p.rounded, p.angle,
                                    p.thickness, p.brightness, p.ratio, b.kernel, options);
    return b;
}

double dense_sum(const DenseIrisKernel& d) {
    double s = 0.0;
    for (double w : d.weights) s += w;
    return s;
}

// Records of every row, terminators included, for exact comparison.
struct Record {
    int32_t row;
    float step;
    float plain_step;
    int32_t x;
    bool operator==(const Record&) const = default;
};

std::vector<Record> records(const IrisKernel& k) {
    std::vector<Record> out;
    for (int32_t y = k.first_row; y <= k.last_row; ++y) {
        const IrisStep* row = k.row(y);
        for (int32_t i = 0; i <= k.count(y); ++i)
            out.push_back(Record{y, row[i].step, row[i].plain_step, row[i].x});
    }
    return out;
}

// The polygon of n facets of circumradius a (corners between the facet directions), stretched
// vertically by q: corners in pixel coordinates.
std::vector<std::pair<double, double>> polygon_corners(const PolygonParams& p) {
    std::vector<std::pair<double, double>> c;
    for (int32_t j = 0; j < p.facets; ++j) {
        const double phi = p.angle + (2 * j + 1) * kPi / p.facets;
        c.emplace_back(p.radius * std::cos(phi), p.ratio * p.radius * std::sin(phi));
    }
    return c;
}

double polygon_area(const std::vector<std::pair<double, double>>& c) {
    double s = 0.0;
    for (size_t i = 0; i < c.size(); ++i) {
        const auto& [x0, y0] = c[i];
        const auto& [x1, y1] = c[(i + 1) % c.size()];
        s += x0 * y1 - x1 * y0;
    }
    return std::fabs(s) / 2.0;
}

double polygon_perimeter(const std::vector<std::pair<double, double>>& c) {
    double s = 0.0;
    for (size_t i = 0; i < c.size(); ++i) {
        const auto& [x0, y0] = c[i];
        const auto& [x1, y1] = c[(i + 1) % c.size()];
        s += std::hypot(x1 - x0, y1 - y0);
    }
    return s;
}

// Signed distance of (x, y) to a convex polygon: positive inside, negative outside (outside
// only approximately, as the largest edge distance, which suffices near the boundary).
double polygon_depth(const std::vector<std::pair<double, double>>& c, double x, double y) {
    double depth = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < c.size(); ++i) {
        const auto& [x0, y0] = c[i];
        const auto& [x1, y1] = c[(i + 1) % c.size()];
        const double ex = x1 - x0, ey = y1 - y0;
        const double len = std::hypot(ex, ey);
        // Corners run anticlockwise in (x, y), so the inside is to the left of each edge.
        const double d = (ex * (y - y0) - ey * (x - x0)) / len;
        depth = std::min(depth, d);
    }
    return depth;
}

// Perimeter of an ellipse with half axes a, b (Ramanujan's second formula).
double ellipse_perimeter(double a, double b) {
    const double h = (a - b) * (a - b) / ((a + b) * (a + b));
    return kPi * (a + b) * (1.0 + 3.0 * h / (10.0 + std::sqrt(4.0 - 3.0 * h)));
}

}  // namespace

TEST(IrisKernel, SizeFollowsTheStorageRuleRoundedToSixteen) {
    for (double q : {0.01, 0.05, 0.3, 1.0, 2.7}) {
        for (double r : {0.0, 0.5, 1.0, 9.99, 50.0, 999.0}) {
            for (double b : {0.0, -0.5, 1.0}) {
                PolygonParams p;
                p.ratio = q;
                p.radius = r;
                p.brightness = b;
                const size_t rule = storage_rule_bytes(p);
                const size_t size = polygon_kernel_size(q, r, b);
                EXPECT_GE(size, rule);
                EXPECT_LT(size, rule + 16);
                EXPECT_EQ(size % 16, 0u);
            }
        }
    }
    // Non-finite values size like their neutral values, as the builder treats them.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(polygon_kernel_size(nan, 10.0, 0.0), polygon_kernel_size(0.05, 10.0, 0.0));
    EXPECT_EQ(polygon_kernel_size(1.0, nan, 0.0), polygon_kernel_size(1.0, 0.0, 0.0));
    EXPECT_EQ(polygon_kernel_size(1.0, 10.0, nan), polygon_kernel_size(1.0, 10.0, 0.0));
}

// Total weight against the area of the polygon. The anti-aliased edge is a one-pixel ramp just
// inside the outline, so the weight is the area less about half a pixel along the perimeter;
// what remains is corner terms of a few pixels, so the relative error shrinks like 1 / radius.
TEST(IrisKernel, PolygonTotalMatchesItsArea) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    for (int32_t n : {3, 4, 5, 6, 8, 12}) {
        for (double a : {6.0, 12.5, 30.0, 75.0, 160.0}) {
            for (double q : {1.0, 0.5, 1.8}) {
                PolygonParams p;
                p.facets = n;
                p.radius = a;
                p.angle = 0.37 * n;
                p.ratio = q;
                BuiltKernel b = build(host, p);
                ASSERT_EQ(b.status, host.noError());
                const auto corners = polygon_corners(p);
                const double area = polygon_area(corners);
                const double perimeter = polygon_perimeter(corners);
                const double expected = area - perimeter / 2.0;
                SCOPED_TRACE(testing::Message() << "n " << n << " a " << a << " q " << q);
                EXPECT_NEAR(b.kernel.total, expected, 0.01 * perimeter + 2.0 * n / (q < 1 ? q : 1));
                // P / A falls like 1 / a.
                EXPECT_NEAR(b.kernel.total / area, 1.0, 0.6 * perimeter / area);
                EXPECT_NEAR(b.kernel.norm, 1.0 / b.kernel.total, 1e-15);
                EXPECT_NEAR(dense_sum(expand_kernel(b.kernel)), b.kernel.total, 1e-6 * area);
                EXPECT_TRUE(b.guard_intact());
            }
        }
    }
}

TEST(IrisKernel, RoundedFacetsGiveACircleForAnyFacetCount) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    for (int32_t n : {3, 5, 6, 40, 999}) {
        for (double a : {8.0, 25.0, 90.0}) {
            for (double q : {1.0, 0.6}) {
                PolygonParams p;
                p.facets = n;
                p.radius = a;
                p.rounded = 1.0;
                p.angle = 1.1;
                p.ratio = q;
                BuiltKernel b = build(host, p);
                ASSERT_EQ(b.status, host.noError());
                const double area = kPi * a * a * q;
                const double expected = area - ellipse_perimeter(a, a * q) / 2.0;
                SCOPED_TRACE(testing::Message() << "n " << n << " a " << a << " q " << q);
                EXPECT_NEAR(b.kernel.total, expected, 0.01 * area + 2.0);
                EXPECT_NEAR(b.kernel.total / area, 1.0, 1.2 / (q * a));
            }
        }
    }
}

TEST(IrisKernel, AspectRatioScalesTheArea) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    PolygonParams p;
    p.facets = 7;
    p.radius = 120.0;
    p.angle = 0.2;
    const double round_area = build(host, p).kernel.total;
    for (double q : {0.25, 0.5, 2.0}) {
        p.ratio = q;
        EXPECT_NEAR(build(host, p).kernel.total / round_area, q, 0.02 * std::max(q, 1.0 / q));
    }
}

TEST(IrisKernel, SymmetricShapesGiveSymmetricKernels) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    // Tolerance: a coverage change smaller than 1e-4 is not recorded, so a row read in the
    // other direction may lag by that much.
    const double tol = 2.5e-4;
    {
        // Four facets facing along the axes: a square with corners on the diagonals, mirror
        // symmetric in both axes and in the diagonal.
        PolygonParams p;
        p.facets = 4;
        p.radius = 17.3;
        DenseIrisKernel d = expand_kernel(build(host, p).kernel);
        ASSERT_GT(d.width(), 20);
        for (int32_t y = d.top; y <= d.bottom; ++y) {
            for (int32_t x = d.left; x <= d.right; ++x) {
                EXPECT_NEAR(d.at(x, y), d.at(-x, y), tol) << x << "," << y;
                EXPECT_NEAR(d.at(x, y), d.at(x, -y), tol) << x << "," << y;
                EXPECT_NEAR(d.at(x, y), d.at(y, x), tol) << x << "," << y;
            }
        }
    }
    {
        // A triangle with a facet facing +x is symmetric about the x axis only.
        PolygonParams p;
        p.facets = 3;
        p.radius = 21.0;
        DenseIrisKernel d = expand_kernel(build(host, p).kernel);
        double asymmetry = 0.0;
        for (int32_t y = d.top; y <= d.bottom; ++y) {
            for (int32_t x = d.left; x <= d.right; ++x) {
                EXPECT_NEAR(d.at(x, y), d.at(x, -y), tol) << x << "," << y;
                asymmetry = std::max(asymmetry, std::fabs(d.at(x, y) - d.at(-x, y)));
            }
        }
        EXPECT_GT(asymmetry, 0.5);
        // The facet facing +x is flat at the apothem a / 2; the corners reach to -a.
        EXPECT_NEAR(d.at(9, 0), 1.0, 1e-6);
        EXPECT_EQ(d.at(11, 0), 0.0);
        EXPECT_GT(d.at(-19, 0), 0.5);
    }
    {
        // A near circle with a border ring and a stretch: symmetric in both axes.
        PolygonParams p;
        p.facets = 999;
        p.radius = 33.0;
        p.rounded = 1.0;
        p.brightness = -0.6;
        p.ratio = 0.7;
        DenseIrisKernel d = expand_kernel(build(host, p).kernel);
        for (int32_t y = d.top; y <= d.bottom; ++y) {
            for (int32_t x = d.left; x <= d.right; ++x) {
                EXPECT_NEAR(d.at(x, y), d.at(-x, y), tol) << x << "," << y;
                EXPECT_NEAR(d.at(x, y), d.at(x, -y), tol) << x << "," << y;
            }
        }
    }
}

// Every weight lies in 0..1, and weights strictly between 0 and 1 occur only on a band of one
// pixel (plus the diagonal of a pixel) inside the outline; the stretch keeps the band one pixel
// wide in the kernel's own pixels.
TEST(IrisKernel, AntiAliasedEdgeIsOnePixelWide) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    for (int32_t n : {3, 5, 8}) {
        for (double q : {1.0, 0.6, 1.5}) {
            PolygonParams p;
            p.facets = n;
            p.radius = 31.0;
            p.angle = 0.3;
            p.ratio = q;
            DenseIrisKernel d = expand_kernel(build(host, p).kernel);
            const auto corners = polygon_corners(p);
            int32_t partial = 0;
            for (int32_t y = d.top - 1; y <= d.bottom + 1; ++y) {
                for (int32_t x = d.left - 1; x <= d.right + 1; ++x) {
                    const double w = d.at(x, y);
                    const double depth = polygon_depth(corners, x, y);
                    SCOPED_TRACE(testing::Message() << "n " << n << " q " << q << " at " << x << ","
                                                    << y << " depth " << depth);
                    EXPECT_GE(w, -1e-6);
                    EXPECT_LE(w, 1.0 + 1e-6);
                    if (w > 1e-6 && w < 1.0 - 1e-6) {
                        ++partial;
                        EXPECT_LE(std::fabs(depth), 1.5);
                    }
                    if (depth > 1.5) {
                        EXPECT_NEAR(w, 1.0, 1e-6);
                    }
                    if (depth < -0.01) {
                        EXPECT_NEAR(w, 0.0, 1e-6);
                    }
                }
            }
            EXPECT_GT(partial, 20);
        }
    }
}

// Run skipping must not change a single record: compare with the build that evaluates every
// column, over a spread of shapes that exercises the direct and the angle search, the exact and
// the circular row bounds, rings of both signs, flat and tall stretches and odd radii.
TEST(IrisKernel, RunSkippingGivesTheSameSteps) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    const int32_t facets[] = {3, 5, 6, 7, 8, 9, 16, 17, 40, 999};
    const double rounded[] = {0.0, 0.35, 1.0};
    const double brightness[] = {0.0, 0.6, -0.4, 1.0, -1.0};
    const double thickness[] = {0.0, 0.3, 0.85, 1.0};
    const double ratio[] = {0.05, 0.3, 1.0, 2.5};
    const double radius[] = {5.5, 6.0, 7.5, 20.0, 47.3, 160.0, 420.0};
    const double angle[] = {0.0, 0.7, -2.0, 11.0};
    std::mt19937 random(20240611);
    auto pick = [&](const auto& values) {
        return values[std::uniform_int_distribution<size_t>(0, std::size(values) - 1)(random)];
    };
    for (int32_t i = 0; i < 400; ++i) {
        PolygonParams p;
        p.facets = pick(facets);
        p.rounded = pick(rounded);
        p.brightness = pick(brightness);
        p.thickness = pick(thickness);
        p.ratio = pick(ratio);
        p.radius = pick(radius);
        p.angle = pick(angle);
        SCOPED_TRACE(testing::Message() << "n " << p.facets << " rounded " << p.rounded << " b "
                                        << p.brightness << " t " << p.thickness << " q " << p.ratio
                                        << " r " << p.radius << " angle " << p.angle);
        BuiltKernel fast = build(host, p);
        BuiltKernel slow = build(host, p, IrisBuildOptions{IrisScan::every_column, 0});
        ASSERT_EQ(fast.status, host.noError());
        ASSERT_EQ(slow.status, host.noError());
        EXPECT_EQ(fast.kernel.first_row, slow.kernel.first_row);
        EXPECT_EQ(fast.kernel.last_row, slow.kernel.last_row);
        EXPECT_EQ(records(fast.kernel), records(slow.kernel));
        EXPECT_NEAR(fast.kernel.total, slow.kernel.total, 1e-9 * slow.kernel.total);
    }
}

// The builder never writes past the storage rule's bytes (checked with a guard region, also
// from misaligned storage), never more records than its capacity, and every row still closes.
TEST(IrisKernel, CapacityIsNeverExceeded) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    int32_t cases = 0;
    for (double r : {0.4, 2.5, 7.0, 31.0, 130.0, 511.0, 999.0}) {
        for (int32_t n : {3, 6, 13, 100, 1000}) {
            for (double q : {0.05, 0.37, 1.0, 3.0}) {
                for (double b : {0.0, 0.8}) {
                    for (double rounded : {0.0, 1.0}) {
                        // The largest stretched kernels are slow to check in full; sample them.
                        if (r * q > 600.0 && (n + int32_t(b * 10) + int32_t(rounded)) % 3 != 0)
                            continue;
                        PolygonParams p;
                        p.facets = n;
                        p.radius = r;
                        p.ratio = q;
                        p.brightness = b;
                        p.rounded = rounded;
                        p.angle = 0.1 * n;
                        const size_t offset = size_t(cases % 4);
                        BuiltKernel built = build(host, p, {}, offset);
                        ++cases;
                        SCOPED_TRACE(testing::Message() << "r " << r << " n " << n << " q " << q
                                                        << " b " << b << " rounded " << rounded);
                        ASSERT_EQ(built.status, host.noError());
                        EXPECT_TRUE(built.guard_intact());
                        const IrisKernel& k = built.kernel;
                        int64_t used = 0;
                        for (int32_t y = -k.row_bias; y <= k.row_bias; ++y) {
                            const IrisStep* row = k.row(y);
                            const int32_t count = k.count(y);
                            used += count + 1;
                            EXPECT_EQ(row[count].x, kIrisRowEnd);
                            // Steps are exact in float: a row sums to exactly 0.
                            float run = 0.0f;
                            for (int32_t i = 0; i < count; ++i) run += row[i].step;
                            EXPECT_EQ(run, 0.0f);
                        }
                        EXPECT_LE(used, storage_rule_records(p));
                        const auto* lo = reinterpret_cast<const unsigned char*>(k.steps);
                        const auto* hi = reinterpret_cast<const unsigned char*>(k.row_first +
                                                                                2 * k.row_bias + 1);
                        EXPECT_GE(lo, built.storage());
                        EXPECT_LE(hi, built.storage() + built.bytes);
                    }
                }
            }
        }
    }
    EXPECT_GT(cases, 400);
}

// With fewer records than the shape needs, the steps that do not fit are dropped, but the kernel
// stays sound: never more records than allowed, every row returns to exactly 0 (plain weights
// too), weights stay in 0..1, the total is the sum of what was stored, and the rows built before
// the storage ran out are untouched. Every limit from the smallest up is tried.
TEST(IrisKernel, StepsThatDoNotFitAreDroppedCleanly) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    for (double b : {0.0, -1.0, 0.5}) {
        PolygonParams p;
        p.facets = 9;
        p.radius = 14.0;
        p.rounded = 0.6;
        p.brightness = b;
        p.ratio = 0.8;
        BuiltKernel full = build(host, p);
        const auto all = records(full.kernel);
        const int32_t rows = 2 * full.kernel.row_bias + 1;
        for (int64_t limit = rows + 2; limit <= int64_t(all.size()) + 2; ++limit) {
            SCOPED_TRACE(testing::Message() << "b " << b << " limit " << limit);
            BuiltKernel cut = build(host, p, IrisBuildOptions{IrisScan::skip_runs, limit});
            ASSERT_EQ(cut.status, host.noError());
            ASSERT_TRUE(cut.guard_intact());
            const IrisKernel& k = cut.kernel;
            int64_t used = 0;
            for (int32_t y = -k.row_bias; y <= k.row_bias; ++y) {
                const IrisStep* row = k.row(y);
                float run = 0.0f, plain = 0.0f;
                for (int32_t i = 0; i < k.count(y); ++i) {
                    run += row[i].step;
                    plain += row[i].plain_step;
                    ASSERT_GE(run, 0.0f);
                    ASSERT_LE(run, 1.0f);
                }
                ASSERT_EQ(run, 0.0f);
                ASSERT_EQ(plain, 0.0f);
                ASSERT_EQ(row[k.count(y)].x, kIrisRowEnd);
                used += k.count(y) + 1;
            }
            ASSERT_LE(used, limit);
            EXPECT_NEAR(dense_sum(expand_kernel(k)), k.total, 1e-9 * k.total);
            const auto kept = records(k);
            size_t same = 0;
            while (same < kept.size() && kept[same] == all[same]) ++same;
            EXPECT_GE(int64_t(same), limit - 2 * rows - 2);
        }
    }
}

TEST(IrisKernel, RadiusBelowOneGivesUnitWeight) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double r : {0.999, 0.7, 0.3, 0.01, 0.0, -3.0, nan}) {
        for (int32_t n : {3, 6, 100}) {
            for (double b : {0.0, 1.0}) {
                PolygonParams p;
                p.facets = n;
                p.radius = r;
                p.brightness = b;
                BuiltKernel built = build(host, p);
                ASSERT_EQ(built.status, host.noError());
                SCOPED_TRACE(testing::Message() << "r " << r << " n " << n << " b " << b);
                const IrisKernel& k = built.kernel;
                ASSERT_FALSE(k.empty());
                EXPECT_DOUBLE_EQ(k.total, 1.0);
                EXPECT_DOUBLE_EQ(k.norm, 1.0);
                DenseIrisKernel d = expand_kernel(k);
                EXPECT_NEAR(dense_sum(d), 1.0, 1e-6);
                EXPECT_GT(d.at(0, 0), 0.0);
                for (double w : d.weights) EXPECT_GE(w, -1e-7);
                EXPECT_TRUE(built.guard_intact());
            }
        }
    }
}

TEST(IrisKernel, FullBorderThicknessHasNoBorderEffect) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    for (double b : {1.0, 0.4, -0.7, -1.0}) {
        PolygonParams plain;
        plain.facets = 5;
        plain.radius = 26.0;
        plain.rounded = 0.5;
        plain.angle = 0.4;
        PolygonParams ringed = plain;
        ringed.thickness = 1.0;
        ringed.brightness = b;
        BuiltKernel a = build(host, plain);
        BuiltKernel c = build(host, ringed);
        EXPECT_EQ(records(a.kernel), records(c.kernel)) << "b " << b;
        EXPECT_DOUBLE_EQ(a.kernel.total, c.kernel.total);
    }
}

// A ring of brightness b: b > 0 dims the inside to 1 - b, b < 0 dims the ring to 1 + b; the
// plain steps always describe the kernel without the ring and every row returns to 0.
TEST(IrisKernel, BorderRingDimsInsideOrRing) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    PolygonParams base;
    base.facets = 6;
    base.radius = 40.0;
    base.thickness = 0.3;
    const DenseIrisKernel unbordered = expand_kernel(build(host, base).kernel);
    for (double b : {0.5, 1.0, -0.5, -1.0}) {
        PolygonParams p = base;
        p.brightness = b;
        const BuiltKernel built = build(host, p);
        const IrisKernel& k = built.kernel;
        DenseIrisKernel d = expand_kernel(k);
        DenseIrisKernel plain = expand_kernel(k, true);
        SCOPED_TRACE(testing::Message() << "b " << b);
        // Centre (inside the inner hexagon of radius 28) and a ring pixel (apothem 34.6 at
        // x = 32 is inside the outer, outside the inner apothem 24.2).
        EXPECT_NEAR(d.at(0, 0), b > 0 ? 1.0 - b : 1.0, 1e-6);
        EXPECT_NEAR(d.at(30, 0), b > 0 ? 1.0 : 1.0 + b, 1e-6);
        for (int32_t y = unbordered.top; y <= unbordered.bottom; ++y)
            for (int32_t x = unbordered.left - 1; x <= unbordered.right + 1; ++x)
                EXPECT_NEAR(plain.at(x, y), unbordered.at(x, y), 2.5e-4) << x << "," << y;
        for (int32_t y = d.top; y <= d.bottom; ++y) {
            EXPECT_NEAR(d.at(d.right, y), 0.0, 1e-6);
            EXPECT_NEAR(plain.at(plain.right, y), 0.0, 1e-6);
        }
        EXPECT_NEAR(dense_sum(d), k.total, 1e-6 * k.total);
    }
}

TEST(IrisKernel, MinimumRatioGivesAFlatKernel) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    for (double q : {0.05, 0.01, 0.0, -1.0}) {
        PolygonParams p;
        p.facets = 6;
        p.radius = 40.0;
        p.ratio = q;
        const BuiltKernel built = build(host, p);
        const IrisKernel& k = built.kernel;
        // 41 * 0.05 = 2.05: rows -3 .. 3, of which the outermost lie beyond the shape.
        EXPECT_EQ(k.row_bias, 3);
        EXPECT_GE(k.first_row, -2);
        EXPECT_LE(k.last_row, 2);
        PolygonParams at_min = p;
        at_min.ratio = 0.05;
        const auto corners = polygon_corners(at_min);
        EXPECT_NEAR(k.total, polygon_area(corners) - polygon_perimeter(corners) / 2.0, 15.0);
    }
}

TEST(IrisKernel, ProgressIsCalledPerRowAndAbortStopsTheBuild) {
    PolygonParams p;
    p.radius = 10.0;
    p.ratio = 1.0;
    {
        TestHost host;
        BuiltKernel b = build(host, p);
        EXPECT_EQ(b.status, host.noError());
        const auto reports = host.reports();
        EXPECT_EQ(reports.size(), size_t(2 * b.kernel.row_bias + 1));
        for (const auto& r : reports) EXPECT_EQ(r, std::make_pair(0, 1));
    }
    {
        TestHost host;
        host.abortAfter(5);
        BuiltKernel b = build(host, p);
        EXPECT_EQ(b.status, host.abortError());
        EXPECT_EQ(host.reports().size(), 6u);
        EXPECT_TRUE(b.kernel.empty());
        EXPECT_EQ(b.kernel.norm, 0.0);
        EXPECT_TRUE(b.guard_intact());
    }
    {
        QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
        IrisKernel k;
        EXPECT_EQ(build_polygon_kernel(nullptr, 6, &host, 5.0, 0.0, 0.0, 0.3, 0.0, 1.0, k),
                  host.outOfMemoryError());
        EXPECT_TRUE(k.empty());
    }
}

TEST(IrisKernel, NonFiniteParametersAreNeutral) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    PolygonParams p;
    p.radius = 12.0;
    const auto reference = records(build(host, p).kernel);
    for (double bad : {nan, inf, -inf}) {
        PolygonParams q = p;
        q.angle = bad;
        EXPECT_EQ(records(build(host, q).kernel), reference);
        q = p;
        q.rounded = bad;
        if (!std::isinf(bad)) {
            EXPECT_EQ(records(build(host, q).kernel), reference);
        }
        q = p;
        q.thickness = nan;
        q.brightness = bad;
        BuiltKernel b = build(host, q);
        ASSERT_EQ(b.status, host.noError());
        EXPECT_TRUE(b.guard_intact());
        EXPECT_TRUE(std::isfinite(b.kernel.total));
    }
}

TEST(IrisKernel, ExpandIntoImageWritesOnlyItsPixels) {
    QuillbrookHost host("iris", "test", "iris kernel", 1, 0, 0);
    PolygonParams p;
    p.facets = 5;
    p.radius = 9.0;
    p.angle = 0.5;
    const BuiltKernel built = build(host, p);
    const IrisKernel& k = built.kernel;
    const DenseIrisKernel d = expand_kernel(k);
    // An image smaller than the kernel on one side, larger on the other, with padded rows.
    PaddedImage<PixelGrayFloat> image(17, 23);
    image.fillPixels(0x7F);
    expand_kernel(k, image.array(), 6, 12);
    EXPECT_TRUE(image.spareBytesUntouched());
    for (int32_t y = 0; y < 23; ++y)
        for (int32_t x = 0; x < 17; ++x)
            EXPECT_NEAR(image.at(x, y).channel[0], d.at(x - 6, y - 12), 1e-6) << x << "," << y;
}

namespace {

// A soft disc of radius 6 centred in a w x h float image, with padded rows.
PaddedImage<PixelGrayFloat> disc_image(int32_t w, int32_t h) {
    PaddedImage<PixelGrayFloat> img(w, h, 5);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const double r = std::hypot(x - w / 2, y - h / 2);
            img.at(x, y).channel[0] = float(std::clamp(6.5 - r, 0.0, 1.0) * 0.8);
        }
    }
    return img;
}

}  // namespace

// The image kernel reproduces its image within the recording threshold, with weights summed
// per pixel and plain steps equal to the steps.
TEST(IrisImageKernel, ReproducesItsImage) {
    TestHost host;
    const int32_t w = 21, h = 17;
    PaddedImage<PixelGrayFloat> img = disc_image(w, h);
    // A row that ends above 0 gets a closing record after its last column.
    img.at(w - 1, 1).channel[0] = 0.5f;
    IrisKernel k;
    ASSERT_EQ(build_image_kernel(k, &host, img.array()), host.noError());
    EXPECT_EQ(host.liveBlocks(), 1u);
    EXPECT_EQ(k.row_bias, h / 2);
    EXPECT_EQ(k.first_row, 1 - h / 2);
    EXPECT_EQ(k.last_row, 6);
    const DenseIrisKernel d = expand_kernel(k);
    const DenseIrisKernel plain = expand_kernel(k, true);
    double image_sum = 0.0;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const double v = img.at(x, y).channel[0];
            image_sum += v;
            EXPECT_NEAR(d.at(x - w / 2, y - h / 2), v, 0.002) << x << "," << y;
            EXPECT_NEAR(plain.at(x - w / 2, y - h / 2), d.at(x - w / 2, y - h / 2), 1e-7);
        }
    }
    EXPECT_NEAR(d.at(w - w / 2, 1 - h / 2), 0.0, 1e-7);
    EXPECT_NEAR(k.total, dense_sum(d), 1e-6);
    EXPECT_NEAR(k.total, image_sum, 0.002 * w * h);
    EXPECT_DOUBLE_EQ(k.norm, 1.0 / k.total);
    const auto reports = host.reports();
    EXPECT_EQ(reports.size(), size_t(h));
    for (const auto& r : reports) EXPECT_EQ(r, std::make_pair(50, 100));
    release_iris_kernel(k, &host);
    EXPECT_EQ(host.liveBlocks(), 0u);
    EXPECT_TRUE(k.empty());
    EXPECT_EQ(k.block, nullptr);
}

// Rows of an image kernel add up to exactly 0 in float, whatever the scale of the weights, so a
// running sum leaves nothing behind the kernel.
TEST(IrisImageKernel, RowsCloseExactly) {
    TestHost host;
    std::mt19937 random(7);
    for (double scale : {0.37, 1.0, 37.3, 4.0e6}) {
        PaddedImage<PixelGrayFloat> img(19, 11);
        for (int32_t y = 0; y < 11; ++y)
            for (int32_t x = 0; x < 19; ++x)
                img.at(x, y).channel[0] =
                    float(scale * std::uniform_real_distribution<double>(0.0, 1.0)(random));
        IrisKernel k;
        ASSERT_EQ(build_image_kernel(k, &host, img.array()), host.noError());
        for (int32_t y = k.first_row; y <= k.last_row; ++y) {
            float run = 0.0f;
            for (int32_t i = 0; i < k.count(y); ++i) run += k.row(y)[i].step;
            EXPECT_EQ(run, 0.0f) << "scale " << scale << " row " << y;
        }
        const DenseIrisKernel d = expand_kernel(k);
        for (int32_t y = 0; y < 11; ++y)
            for (int32_t x = 0; x < 19; ++x)
                EXPECT_NEAR(d.at(x - 9, y - 5), img.at(x, y).channel[0], 0.002 + scale * 1e-6);
        release_iris_kernel(k, &host);
    }
    EXPECT_EQ(host.liveBlocks(), 0u);
}

TEST(IrisImageKernel, NonFiniteAndNegativeValuesCountAsZero) {
    TestHost host;
    PaddedImage<PixelGrayFloat> img = disc_image(15, 15);
    PaddedImage<PixelGrayFloat> clean = disc_image(15, 15);
    img.at(7, 7).channel[0] = std::numeric_limits<float>::quiet_NaN();
    img.at(8, 7).channel[0] = std::numeric_limits<float>::infinity();
    img.at(3, 1).channel[0] = -std::numeric_limits<float>::infinity();
    img.at(4, 1).channel[0] = -2.0f;
    clean.at(7, 7).channel[0] = 0.0f;
    clean.at(8, 7).channel[0] = 0.0f;
    IrisKernel k, ref;
    ASSERT_EQ(build_image_kernel(k, &host, img.array()), host.noError());
    ASSERT_EQ(build_image_kernel(ref, &host, clean.array()), host.noError());
    EXPECT_EQ(records(k), records(ref));
    EXPECT_DOUBLE_EQ(k.total, ref.total);
    EXPECT_TRUE(std::isfinite(k.norm));
    release_iris_kernel(k, &host);
    release_iris_kernel(ref, &host);
    EXPECT_EQ(host.liveBlocks(), 0u);
}

TEST(IrisImageKernel, EmptyImagesAndFailures) {
    TestHost host;
    IrisKernel k;
    // Nothing to read: an empty kernel and no block.
    PaddedImage<PixelGrayFloat> none(0, 0);
    EXPECT_EQ(build_image_kernel(k, &host, none.array()), host.noError());
    EXPECT_TRUE(k.empty());
    EXPECT_EQ(host.liveBlocks(), 0u);
    // All zero: rows without records, total 0 and norm 0.
    PaddedImage<PixelGrayFloat> zero(9, 4);
    zero.fillPixels(0);
    EXPECT_EQ(build_image_kernel(k, &host, zero.array()), host.noError());
    EXPECT_TRUE(k.empty());
    EXPECT_EQ(k.total, 0.0);
    EXPECT_EQ(k.norm, 0.0);
    release_iris_kernel(k, &host);
    // Out of memory.
    PaddedImage<PixelGrayFloat> img = disc_image(13, 13);
    host.failAllocation();
    EXPECT_EQ(build_image_kernel(k, &host, img.array()), host.outOfMemoryError());
    EXPECT_TRUE(k.empty());
    // Abort after three rows: the block is given back.
    TestHost cancelling;
    cancelling.abortAfter(3);
    EXPECT_EQ(build_image_kernel(k, &cancelling, img.array()), cancelling.abortError());
    EXPECT_TRUE(k.empty());
    EXPECT_EQ(cancelling.liveBlocks(), 0u);
    EXPECT_EQ(cancelling.reports().size(), 4u);
}
