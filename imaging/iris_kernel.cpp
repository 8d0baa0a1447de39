#include "imaging/iris_kernel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "framework/host_block.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;
constexpr int32_t kMaxFacets = 1000;
constexpr int32_t kMinFacets = 3;
// Up to this many facets the nearest arc is found by trying every facet; above it, by a
// search from the pixel's direction.
constexpr int32_t kSearchAllFacets = 8;
// Up to this many facets the row bounds are the intersections of the row with every facet's
// circle; above it they are two circles around the kernel centre, which hug a shape of that
// many facets within a fraction of a pixel.
constexpr int32_t kDirectFacets = 16;
// Runs are skipped only in kernels at least this wide (R = trunc(radius + 1)).
constexpr int32_t kSkipMinimumR = 6;
// Coverage at or below this is no coverage; steps smaller than kStepThreshold are not recorded.
constexpr double kCoverageFloor = 0.001;
constexpr double kStepThreshold = 0.0001;
// Image kernels record a change of the running weight larger than this.
constexpr double kImageThreshold = 0.002;
// Stored weights are multiples of 2^-20 (about 1e-6). Every weight of 0 .. 1 on that grid and
// every difference of two of them is a float, so the steps of a row add up exactly, in float
// or double, to the weights they stand for and to 0 at the row's end: a consumer's running sum
// leaves no residue behind a kernel.
constexpr double kWeightGrid = 1048576.0;

double on_grid(double weight, double grid) { return std::nearbyint(weight * grid) / grid; }

double clean_radius(double radius) {
    if (!(radius > 0.0)) return 0.0;
    return std::min(radius, double(kIrisMaxRadius));
}

double clean_ratio(double ratio) {
    if (!(ratio > 0.05)) return 0.05;
    return std::isfinite(ratio) ? ratio : 1e300;
}

double clean_unit(double value, double low, double high) {
    if (std::isnan(value)) return 0.0;
    return std::clamp(value, low, high);
}

// Row and record counts of a polygon kernel, shared by the size function and the builder so the
// two always agree.
struct PolygonLayout {
    int32_t R = 0;         // columns run -R .. R
    int32_t H = 0;         // rows run -(H + 1) .. H + 1
    int32_t rows = 0;      // 2 H + 3
    int64_t capacity = 0;  // records, terminators included
    size_t bytes = 0;      // records and row tables, before rounding to 16
};

PolygonLayout polygon_layout(double ratio, double radius, double border_brightness) {
    PolygonLayout layout;
    const double a = clean_radius(radius);
    const double q = clean_ratio(ratio);
    const double b = clean_unit(border_brightness, -1.0, 1.0);
    layout.R = int32_t(std::trunc(a + 1.0));
    const double h = std::trunc(double(layout.R) * q);
    layout.H = h < double(kIrisMaxRadius) ? int32_t(h) : kIrisMaxRadius;
    layout.rows = 2 * layout.H + 3;
    const int64_t span = std::max<int64_t>(layout.R, int64_t(layout.H) + 1);
    layout.capacity = b != 0.0 ? span * 44 + 22 : span * 24 + 12;
    layout.bytes = size_t(layout.capacity) * sizeof(IrisStep) + (size_t(layout.H) + 1) * 16 + 9;
    return layout;
}

// One of the two outlines of a polygon kernel: the intersection of n discs of radius B whose
// centres lie at distance K from the kernel centre, opposite their facets (K < 0: on the facet's
// side, which happens only for shapes far below a pixel).
struct Outline {
    double B = 0.0;
    double K = 0.0;
    double reach = 0.0;  // no point of the shape is farther than this from the kernel centre
    double core = 0.0;   // the disc of this radius around the kernel centre lies in every disc
    bool by_angle = false;
    // Offsets from a point to the arc centres: point + (kc[i], ks[i]) = point - centre i.
    std::array<double, kMaxFacets> kc;
    std::array<double, kMaxFacets> ks;
};

void make_outline(Outline& outline, double a, int32_t n, double rounded, const double* cos_t,
                  const double* sin_t) {
    const double u = a * std::cos(kPi / n);
    const double s = a * std::sin(kPi / n);
    double w = (a - u) * rounded;
    if (w == 0.0) w = 0.001;
    outline.B = std::max((w * w + s * s) / (2.0 * w), a);
    outline.K = outline.B - u - w;
    const double B = outline.B;
    const double K = outline.K;
    if (K >= 0.0) {
        // Along each arc the distance from the centre grows from the facet middle (B - K) to
        // the corners, where neighbouring arcs meet.
        const double sn = std::sin(kPi / n);
        const double corner =
            -K * std::cos(kPi / n) + std::sqrt(std::max(0.0, B * B - K * K * sn * sn));
        outline.reach = std::max(corner, B - K);
    } else {
        outline.reach = B - K;
    }
    outline.core = B - std::fabs(K);
    outline.by_angle = n > kSearchAllFacets && K > 0.0;
    for (int32_t i = 0; i < n; ++i) {
        outline.kc[size_t(i)] = K * cos_t[i];
        outline.ks[size_t(i)] = K * sin_t[i];
    }
}

// Shared inputs of the coverage of one pixel.
struct Sampling {
    int32_t n = 0;
    double angle = 0.0;
    double g = 1.0;       // largest extent of a pixel along any direction: max(1, 1 / ratio)
    double inv_q2 = 1.0;  // 1 / ratio^2
};

// Angle of (x, y) in radians within about 1e-5: only a starting point for the facet search.
double rough_atan2(double y, double x) {
    const double ax = std::fabs(x);
    const double ay = std::fabs(y);
    const double hi = std::max(ax, ay);
    if (hi == 0.0) return 0.0;
    const double t = std::min(ax, ay) / hi;
    const double t2 = t * t;
    double r = ((-0.0464964749 * t2 + 0.15931422) * t2 - 0.327622764) * t2 * t + t;
    if (ay > ax) r = 0.5 * kPi - r;
    if (x < 0.0) r = kPi - r;
    return y < 0.0 ? -r : r;
}

// Index of a facet whose direction is near the direction of (x, Y).
int32_t facet_guess(const Sampling& sp, double x, double Y) {
    const double t = (rough_atan2(Y, x) - sp.angle) * (double(sp.n) / kTwoPi);
    int64_t k = int64_t(std::floor(t + 0.5)) % sp.n;
    if (k < 0) k += sp.n;
    return int32_t(k);
}

// Coverage of the pixel at (x, Y) (Y in unstretched units) by an outline: 1 when its distance
// inside the nearest arc exceeds the pixel's extent e towards that arc's centre, 0 outside, the
// distance / e in between: a one-pixel ramp just inside the boundary. `guess` is facet_guess()
// of the pixel, the start of the search in outlines that search by angle.
double coverage(const Outline& o, const Sampling& sp, double x, double Y, int32_t guess) {
    auto distance2 = [&](int32_t i) {
        const double ex = x + o.kc[size_t(i)];
        const double ey = Y + o.ks[size_t(i)];
        return ex * ex + ey * ey;
    };
    double best = -1.0;
    int32_t nearest = 0;
    if (o.by_angle) {
        // With K > 0 the squared distance to arc centre i is |p|^2 + K^2 + 2 K |p| cos(phi -
        // theta_i): over the facets it has one maximum, at the facet nearest the pixel's
        // direction phi, and climbing from any start reaches it.
        const int32_t n = sp.n;
        nearest = guess;
        best = distance2(nearest);
        const int32_t up = nearest + 1 == n ? 0 : nearest + 1;
        const int32_t down = nearest == 0 ? n - 1 : nearest - 1;
        const double d_up = distance2(up);
        const double d_down = distance2(down);
        const int32_t dir = d_up > best ? 1 : (d_down > best ? -1 : 0);
        if (dir != 0) {
            nearest = dir > 0 ? up : down;
            best = dir > 0 ? d_up : d_down;
            for (int32_t steps = 0; steps < n; ++steps) {
                int32_t next = nearest + dir;
                if (next == n) next = 0;
                if (next < 0) next = n - 1;
                const double d_next = distance2(next);
                if (!(d_next > best)) break;
                best = d_next;
                nearest = next;
            }
        }
    } else {
        for (int32_t i = 0; i < sp.n; ++i) {
            const double d2 = distance2(i);
            if (d2 > best) {
                best = d2;
                nearest = i;
            }
        }
    }
    const double d = std::sqrt(best);
    const double inside = o.B - d;
    if (!(inside > 0.0)) return 0.0;
    if (inside > sp.g) return 1.0;  // e never exceeds g
    double e = 1.0;
    if (d > 0.0) {
        const double dx = (x + o.kc[size_t(nearest)]) / d;
        const double dy = (Y + o.ks[size_t(nearest)]) / d;
        e = std::sqrt(dx * dx + dy * dy * sp.inv_q2);
    }
    return inside > e ? 1.0 : inside / e;
}

// Column ranges of one row where a coverage may change; outside them every pixel of the row is
// either surely outside both outlines' transition bands or surely inside.
struct RowZones {
    std::array<int32_t, 4> lo;
    std::array<int32_t, 4> hi;
    int32_t count = 0;

    void add(double from, double to, int32_t R) {
        const double limit = double(R) + 1.0;
        if (!(from <= to)) return;
        from = std::floor(std::clamp(from, -limit, limit));
        to = std::ceil(std::clamp(to, -limit, limit));
        const int32_t l = std::max(int32_t(from), -R);
        const int32_t h = std::min(int32_t(to), R);
        if (l > h) return;
        lo[size_t(count)] = l;
        hi[size_t(count)] = h;
        ++count;
    }

    void sort_and_merge() {
        for (int32_t i = 1; i < count; ++i) {
            for (int32_t j = i; j > 0 && lo[size_t(j)] < lo[size_t(j - 1)]; --j) {
                std::swap(lo[size_t(j)], lo[size_t(j - 1)]);
                std::swap(hi[size_t(j)], hi[size_t(j - 1)]);
            }
        }
        int32_t merged = 0;
        for (int32_t i = 0; i < count; ++i) {
            if (merged > 0 && lo[size_t(i)] <= hi[size_t(merged - 1)] + 1) {
                hi[size_t(merged - 1)] = std::max(hi[size_t(merged - 1)], hi[size_t(i)]);
            } else {
                lo[size_t(merged)] = lo[size_t(i)];
                hi[size_t(merged)] = hi[size_t(i)];
                ++merged;
            }
        }
        count = merged;
    }
};

// The part of row Y that lies inside every facet disc of radius r (or, by_circle, inside the
// disc of radius r around the kernel centre). False when it is empty.
bool row_inside(const Outline& o, int32_t n, bool by_circle, double r, double Y, double& from,
                double& to) {
    if (!(r > 0.0)) return false;
    if (by_circle) {
        if (std::fabs(Y) > r) return false;
        const double h = std::sqrt(r * r - Y * Y);
        from = -h;
        to = h;
        return true;
    }
    from = -HUGE_VAL;
    to = HUGE_VAL;
    for (int32_t i = 0; i < n; ++i) {
        const double dy = Y + o.ks[size_t(i)];
        if (std::fabs(dy) > r) return false;
        const double h = std::sqrt(r * r - dy * dy);
        const double cx = -o.kc[size_t(i)];
        from = std::max(from, cx - h);
        to = std::min(to, cx + h);
        if (from > to) return false;
    }
    return true;
}

// Adds the transition bands of an outline on row Y: from where the row enters the discs of
// radius B + 1 (outside them coverage is 0) to where it enters those of radius B - 1 - g (inside
// them coverage is 1), and likewise on the way out. The one-pixel margins keep the bounds safe
// against rounding; pixels are sampled at integer columns, hence floor and ceil.
void add_zones(RowZones& zones, const Outline& o, const Sampling& sp, double Y, int32_t R) {
    const bool by_circle = sp.n > kDirectFacets;
    double f_from = 0.0, f_to = 0.0, c_from = 0.0, c_to = 0.0;
    const double outer_r = (by_circle ? o.reach : o.B) + 1.0;
    if (!row_inside(o, sp.n, by_circle, outer_r, Y, f_from, f_to)) return;
    const double inner_r = (by_circle ? o.core : o.B) - 1.0 - sp.g;
    if (!std::isfinite(f_from) || !std::isfinite(f_to)) {
        zones.add(-double(R), double(R), R);
        return;
    }
    if (row_inside(o, sp.n, by_circle, inner_r, Y, c_from, c_to)) {
        zones.add(f_from, c_from, R);
        zones.add(c_to, f_to, R);
    } else {
        zones.add(f_from, f_to, R);
    }
}

void reset(IrisKernel& kernel) { kernel = IrisKernel{}; }

}  // namespace

size_t polygon_kernel_size(double ratio, double radius, double border_brightness) {
    const size_t bytes = polygon_layout(ratio, radius, border_brightness).bytes;
    return (bytes + 15) & ~size_t(15);
}

int32_t build_polygon_kernel(void* storage, int32_t facets, QuillbrookHost* host, double radius,
                             double rounded, double angle, double border_thickness,
                             double border_brightness, double ratio, IrisKernel& kernel,
                             const IrisBuildOptions& options) {
    reset(kernel);
    if (storage == nullptr) return host->outOfMemoryError();

    const PolygonLayout layout = polygon_layout(ratio, radius, border_brightness);
    const double a = clean_radius(radius);
    const double q = clean_ratio(ratio);
    const double b = clean_unit(border_brightness, -1.0, 1.0);
    const double thickness = clean_unit(border_thickness, 0.0, 1.0);
    const double round = clean_unit(rounded, 0.0, 0.999);
    const int32_t n = std::clamp(facets, kMinFacets, kMaxFacets);
    if (!std::isfinite(angle)) angle = 0.0;

    // Records first, then the two row tables; the storage may start at any byte, so align it
    // and give up the capacity the alignment costs (at most one record).
    const uintptr_t start = reinterpret_cast<uintptr_t>(storage);
    const uintptr_t base = (start + alignof(IrisStep) - 1) & ~uintptr_t(alignof(IrisStep) - 1);
    const size_t pad = size_t(base - start);
    const int32_t T = layout.rows;
    const size_t table_bytes = size_t(T) * 2 * sizeof(int32_t);
    const int64_t fits = int64_t((layout.bytes - pad - table_bytes) / sizeof(IrisStep));
    int64_t capacity = std::min<int64_t>(layout.capacity, fits);
    // The one-pixel fallback needs every row's terminator and two records.
    if (options.record_limit > 0)
        capacity = std::min(capacity, std::max<int64_t>(options.record_limit, T + 2));
    IrisStep* steps = reinterpret_cast<IrisStep*>(base);
    int32_t* row_count = reinterpret_cast<int32_t*>(steps + capacity);
    int32_t* row_first = row_count + T;

    std::array<double, kMaxFacets> cos_t;
    std::array<double, kMaxFacets> sin_t;
    for (int32_t i = 0; i < n; ++i) {
        const double theta = i * kTwoPi / n + angle;
        cos_t[size_t(i)] = std::cos(theta);
        sin_t[size_t(i)] = std::sin(theta);
    }
    Outline outer;
    make_outline(outer, a, n, round, cos_t.data(), sin_t.data());
    const double v = (1.0 - thickness) * a;
    const bool has_ring = b != 0.0 && v > 0.0;
    Outline inner;
    if (has_ring) make_outline(inner, v, n, round, cos_t.data(), sin_t.data());

    Sampling sp;
    sp.n = n;
    // Only the nearest-facet search uses the reduced angle; the facet directions above keep
    // the angle as given.
    sp.angle = std::fmod(angle, kTwoPi);
    sp.g = q < 1.0 ? 1.0 / q : 1.0;
    sp.inv_q2 = 1.0 / (q * q);

    auto floor_weight = [](double m) {
        return m <= kCoverageFloor ? 0.0 : (m > 1.0 ? 1.0 : on_grid(m, kWeightGrid));
    };
    // Without an inner outline there is no ring, and the brightness has no effect.
    const double border = has_ring ? b : 0.0;
    const double interior = border > 0.0 ? floor_weight(1.0 - border) : floor_weight(1.0 + border);
    const bool by_angle = outer.by_angle || (has_ring && inner.by_angle);
    const bool skip = options.scan == IrisScan::skip_runs && layout.R >= kSkipMinimumR;
    const int32_t R = layout.R;

    int64_t used = 0;
    int32_t first_row = 0;
    int32_t last_row = -1;
    bool any = false;
    double total = 0.0;
    const int32_t ok = host->noError();

    for (int32_t k = 0; k < T; ++k) {
        const int32_t status = host->progress(0, 1);
        if (status != ok) {
            reset(kernel);
            return status;
        }
        const int32_t y = k - (layout.H + 1);
        const double Y = double(y) / q;
        row_first[k] = int32_t(used);

        RowZones zones;
        if (skip) {
            add_zones(zones, outer, sp, Y, R);
            if (has_ring) add_zones(zones, inner, sp, Y, R);
            zones.sort_and_merge();
        }

        // Weight and plain weight as stored so far in this row (the last recorded values).
        double run_m = 0.0;
        double run_p = 0.0;
        int32_t count = 0;
        double row_total = 0.0;
        int32_t zone = 0;
        int32_t x = -R;
        while (x <= R) {
            const int32_t facet = by_angle ? facet_guess(sp, double(x), Y) : 0;
            const double mo = coverage(outer, sp, double(x), Y, facet);
            const double nc = has_ring ? coverage(inner, sp, double(x), Y, facet) : 0.0;
            double m = mo;
            if (border > 0.0) {
                m = mo - nc + (1.0 - border) * nc;
            } else if (border < 0.0) {
                m = (mo - nc) * (border + 1.0) + nc;
            }
            m = floor_weight(m);
            const double p = floor_weight(std::min(mo, 1.0));

            if (std::fabs(m - run_m) > kStepThreshold || std::fabs(p - run_p) > kStepThreshold) {
                // Keep room for this row's closing record and every row's terminator.
                const bool closing = m == 0.0 && p == 0.0;
                if (used + (closing ? 1 : 2) + (T - k) <= capacity) {
                    steps[used++] = IrisStep{float(m - run_m), float(p - run_p), x};
                    ++count;
                    run_m = m;
                    run_p = p;
                    if (!any) first_row = y;
                    any = true;
                    last_row = y;
                }
            }
            row_total += run_m;

            if (skip && (m == 0.0 || m == 1.0 || m == interior)) {
                while (zone < zones.count && zones.hi[size_t(zone)] <= x) ++zone;
                const int32_t next =
                    zone < zones.count ? std::max(x + 1, zones.lo[size_t(zone)]) : R + 1;
                if (next > x + 1) {
                    row_total += double(next - x - 1) * run_m;
                    x = next;
                    continue;
                }
            }
            ++x;
        }
        // A row whose closing step had to be dropped still ends at weight 0.
        if (run_m != 0.0 || run_p != 0.0) {
            steps[used++] = IrisStep{float(-run_m), float(-run_p), R + 1};
            ++count;
        }
        row_count[k] = count;
        steps[used++] = IrisStep{0.0f, 0.0f, kIrisRowEnd};
        total += row_total;
    }

    if (!any) {
        // Nothing covered a pixel (a radius of 0 or a ring of brightness 1 around nothing): a
        // kernel of one pixel, so that the spot stays sharp instead of vanishing.
        used = 0;
        for (int32_t k = 0; k < T; ++k) {
            row_first[k] = int32_t(used);
            row_count[k] = 0;
            if (k == layout.H + 1) {
                steps[used++] = IrisStep{1.0f, 1.0f, 0};
                steps[used++] = IrisStep{-1.0f, -1.0f, 1};
                row_count[k] = 2;
            }
            steps[used++] = IrisStep{0.0f, 0.0f, kIrisRowEnd};
        }
        first_row = 0;
        last_row = 0;
        total = 1.0;
    }

    if (total > 0.0 && total < 1.0) {
        // Scale the weights, not the steps, so that the rows stay on the grid and still close.
        for (int32_t k = 0; k < T; ++k) {
            IrisStep* row = steps + row_first[k];
            double level = 0.0, plain = 0.0, scaled = 0.0, scaled_plain = 0.0;
            for (int32_t i = 0; i < row_count[k]; ++i) {
                level += double(row[i].step);
                plain += double(row[i].plain_step);
                const double next = on_grid(level / total, kWeightGrid);
                const double next_plain = on_grid(plain / total, kWeightGrid);
                row[i].step = float(next - scaled);
                row[i].plain_step = float(next_plain - scaled_plain);
                scaled = next;
                scaled_plain = next_plain;
            }
        }
        total = 1.0;
    }

    kernel.steps = steps;
    kernel.row_count = row_count;
    kernel.row_first = row_first;
    kernel.first_row = first_row;
    kernel.last_row = last_row;
    kernel.row_bias = layout.H + 1;
    kernel.total = total;
    kernel.norm = total > 0.0 ? 1.0 / total : 0.0;
    kernel.radius = a;
    kernel.block = nullptr;
    return ok;
}

int32_t build_image_kernel(IrisKernel& kernel, QuillbrookHost* host, int32_t width, int32_t height,
                           int32_t row_bytes, const float* image) {
    reset(kernel);
    const int32_t ok = host->noError();
    if (width <= 0 || height <= 0 || image == nullptr) return ok;

    auto weight = [](float value) {
        return std::isfinite(value) && value > 0.0f ? double(value) : 0.0;
    };
    auto row_of = [&](int32_t i) {
        return reinterpret_cast<const float*>(reinterpret_cast<const unsigned char*>(image) +
                                              ptrdiff_t(i) * row_bytes);
    };

    // Weights go on a grid fine enough for the largest of them and coarse enough that every
    // weight and every difference of two is a float (21 significant bits), as for polygons.
    double largest = 0.0;
    for (int32_t i = 0; i < height; ++i) {
        const float* row = row_of(i);
        for (int32_t c = 0; c < width; ++c) largest = std::max(largest, weight(row[c]));
    }
    int exponent = 0;
    std::frexp(largest, &exponent);
    const double grid = largest <= 1.0 ? kWeightGrid : std::ldexp(1.0, 20 - exponent);

    // Count first so that the block is exactly as large as the records it holds.
    size_t records = 0;
    for (int32_t i = 0; i < height; ++i) {
        const float* row = row_of(i);
        double run = 0.0;
        size_t count = 0;
        for (int32_t c = 0; c < width; ++c) {
            const double value = on_grid(weight(row[c]), grid);
            if (std::fabs(value - run) > kImageThreshold) {
                ++count;
                run = value;
            }
        }
        if (count > 0 && run != 0.0) ++count;
        records += count + 1;
    }

    const size_t table_bytes = size_t(height) * 2 * sizeof(int32_t);
    HostBlock block = HostBlock::allocate(*host, table_bytes + records * sizeof(IrisStep));
    if (!block) return host->outOfMemoryError();
    int32_t* row_count = block.as<int32_t>();
    int32_t* row_first = row_count + height;
    IrisStep* steps = reinterpret_cast<IrisStep*>(row_first + height);

    const int32_t bias = height / 2;
    const int32_t half_width = width / 2;
    int32_t first_row = -bias;
    int32_t last_row = -bias;
    bool seen = false;
    double total = 0.0;
    size_t used = 0;
    for (int32_t i = 0; i < height; ++i) {
        const float* row = row_of(i);
        row_first[i] = int32_t(used);
        double run = 0.0;
        int32_t count = 0;
        for (int32_t c = 0; c < width; ++c) {
            const double value = on_grid(weight(row[c]), grid);
            if (std::fabs(value - run) > kImageThreshold) {
                const float change = float(value - run);
                steps[used++] = IrisStep{change, change, c - half_width};
                ++count;
                run = value;
            }
            total += run;
        }
        if (count > 0 && run != 0.0) {
            steps[used++] = IrisStep{float(-run), float(-run), width - half_width};
            ++count;
        }
        if (count > 0) {
            last_row = i - bias;
            seen = true;
        } else if (!seen) {
            first_row = i - bias + 1;
        }
        steps[used++] = IrisStep{0.0f, 0.0f, kIrisRowEnd};
        row_count[i] = count;
        const int32_t status = host->progress(50, 100);
        if (status != ok) return status;
    }

    kernel.steps = steps;
    kernel.row_count = row_count;
    kernel.row_first = row_first;
    kernel.first_row = first_row;
    kernel.last_row = last_row;
    kernel.row_bias = bias;
    kernel.total = total;
    kernel.norm = total > 0.0 ? 1.0 / total : 0.0;
    kernel.radius = double(width) / 2.0;
    kernel.block = block.detach();
    return ok;
}

void release_iris_kernel(IrisKernel& kernel, QuillbrookHost* host) {
    if (kernel.block != nullptr) host->release(kernel.block);
    reset(kernel);
}

DenseIrisKernel expand_kernel(const IrisKernel& kernel, bool plain) {
    DenseIrisKernel dense;
    if (kernel.empty()) return dense;
    int32_t left = kIrisRowEnd;
    int32_t right = -kIrisRowEnd;
    for (int32_t y = kernel.first_row; y <= kernel.last_row; ++y) {
        const int32_t count = kernel.count(y);
        if (count == 0) continue;
        const IrisStep* row = kernel.row(y);
        left = std::min(left, row[0].x);
        right = std::max(right, row[count - 1].x);
    }
    if (left > right) return dense;
    dense.left = left;
    dense.right = right;
    dense.top = kernel.first_row;
    dense.bottom = kernel.last_row;
    const size_t w = size_t(dense.width());
    dense.weights.assign(w * size_t(dense.height()), 0.0);
    for (int32_t y = dense.top; y <= dense.bottom; ++y) {
        const IrisStep* row = kernel.row(y);
        const int32_t count = kernel.count(y);
        double run = 0.0;
        int32_t j = 0;
        double* out = dense.weights.data() + size_t(y - dense.top) * w;
        for (int32_t x = left; x <= right; ++x) {
            while (j < count && row[j].x <= x) {
                run += double(plain ? row[j].plain_step : row[j].step);
                ++j;
            }
            out[x - left] = run;
        }
    }
    return dense;
}

void expand_kernel(const IrisKernel& kernel, const PixelArray<PixelGrayFloat>& image,
                   int32_t centre_x, int32_t centre_y, bool plain) {
    for (int32_t iy = 0; iy < image.height; ++iy) {
        PixelGrayFloat* out = image.row(iy);
        const int32_t y = iy - centre_y;
        if (kernel.empty() || y < kernel.first_row || y > kernel.last_row) {
            for (int32_t ix = 0; ix < image.width; ++ix) out[ix].channel[0] = 0.0f;
            continue;
        }
        const IrisStep* row = kernel.row(y);
        const int32_t count = kernel.count(y);
        double run = 0.0;
        int32_t j = 0;
        for (int32_t ix = 0; ix < image.width; ++ix) {
            const int32_t x = ix - centre_x;
            while (j < count && row[j].x <= x) {
                run += double(plain ? row[j].plain_step : row[j].step);
                ++j;
            }
            out[ix].channel[0] = float(run);
        }
    }
}
