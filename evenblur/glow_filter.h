#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/host_block.h"
#include "imaging/outside_mode.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_types.h"
#include "framework/rectangle.h"  // complete before the host header, whose hooks take it by value
#include "framework/quillbrook_exception.h"
#include "imaging/quillbrook_filter.h"

// Separable smoothing with a fractional radius per axis, used to soften the hard edge of a lens
// kernel image. One axis with radius R >= 0, i = trunc(R) and c = R - i weighs offset k by
//     w(k) = (1 - c) * max(0, i + 0.5 - |k|) + c * max(0, i + 1.5 - |k|)
// and divides by their sum N = i * i + i + 0.5 + c * (2i + 2): the blend, by the fractional
// part, of the tents of half-width i + 0.5 and i + 1.5. R = 1 gives 1, 3, 1 over 5; R = 2 gives
// 1, 3, 5, 3, 1 over 13; R = 1.5 gives 1, 4, 8, 4, 1 over 18; R = 0 is the identity.
//
// Beyond the ends of a line the image is read mirrored with the edge pixel repeated (index -1
// reads 0, index n reads n - 1), so a radius larger than the image folds the kernel back into
// the image instead of losing weight and the sum of the line is kept.
//
// Each line is evaluated with running sums, so the cost per output sample does not depend on
// the radius; the start of a line folds whole mirror periods into multiples of the line sum, so
// even a radius far beyond the image costs at most one extra walk over two line lengths.
//
// P is RGBA float (at scale 1, 255 or 32768) or gray float; every channel, alpha included, is
// smoothed alike in its own scale. NaN policy: a NaN or infinite sample is read as 0 by a pass
// with a radius above 0, because in a running sum it would otherwise reach every later output
// of its line; a pass with radius 0 copies the pixels bit for bit.
//
// The horizontal pass runs from `image` into `temporary`, one parallel task per row; the
// vertical pass from `temporary` into `image` (or `target` when `use_target`), one task per
// column. render divides the radii by the scales once, so an object is rendered once.
template <class P>
class GlowFilter : public QuillbrookFilter {
    static_assert(P::is_float && P::extra_count == 0 && (P::is_rgba || P::is_gray),
                  "the glow filter smooths RGBA float and gray float images");

public:
    static constexpr int kChannels = P::channel_count;
    // Pixel radii beyond this are treated as this: far past any image, where the mirrored
    // kernel has long become flat, and small enough for 32-bit indices.
    static constexpr double kMaxRadius = 16777216.0;

    GlowFilter(QuillbrookHost* host_in, PixelArray<P> image_in, double radius_x_in,
               double radius_y_in, double scale_x_in = 1.0, double scale_y_in = 1.0)
        : QuillbrookFilter(host_in), image(image_in), radius_x(radius_x_in), radius_y(radius_y_in),
          scale_x(scale_x_in), scale_y(scale_y_in) {}

    // Smooths `image` (into `target` when `use_target`); pass `pass_index` of `pass_count` of
    // the caller's progress, half of it per direction. Returns no-error, the out-of-memory
    // status when the temporary buffer cannot be allocated (the image is then unchanged), or
    // the first status other than no-error from progress (a cancelled horizontal pass leaves
    // the image unchanged; a cancelled vertical pass leaves finished columns written).
    // Throws QuillbrookException when a given temporary or target does not fit the image.
    virtual int32_t render(int32_t render_pass_index, int32_t render_pass_count) {
        pass_index = render_pass_index;
        pass_count = render_pass_count;
        radius_x = pixel_radius(radius_x / scale_x);
        radius_y = pixel_radius(radius_y / scale_y);
        if (image.width <= 0 || image.height <= 0 || image.data == nullptr) {
            return host->noError();
        }
        check_fits("temporary", temporary, temporary.data != nullptr);
        check_fits("target", target, use_target);

        HostBlock owned;
        if (temporary.data == nullptr) {
            owned =
                HostBlock::allocate(*host, PixelArray<P>::packedBytes(image.width, image.height));
            if (!owned) return host->outOfMemoryError();
            temporary = describe_temporary(owned.get());
        }

        pass_input = image;
        pass_output = temporary;
        int32_t result = host->template runParallelOn<&GlowFilter::filter_row>(image.height, this);
        if (result == host->noError()) {
            pass_input = temporary;
            pass_output = use_target ? target : image;
            result = host->template runParallelOn<&GlowFilter::filter_column>(image.width, this);
        }
        if (owned) temporary = PixelArray<P>();
        return result;
    }

    PixelArray<P> image;
    // Intermediate buffer of at least the image's size; allocated by render when its data is
    // null (packed rows, the image's origin, factors 1.0, valid and premultiplied) and released
    // before render returns.
    PixelArray<P> temporary;
    // Destination of the vertical pass when `use_target`; at least the image's size.
    PixelArray<P> target;
    bool use_target = false;
    // Radii in the image's pixels before the division by the scales (after render: pixel radii).
    double radius_x = 0.0;
    double radius_y = 0.0;
    double scale_x = 1.0;
    double scale_y = 1.0;
    PixelArray<P> pass_input;
    PixelArray<P> pass_output;
    int32_t pass_index = 0;
    int32_t pass_count = 0;

private:
    using Sums = std::array<double, kChannels>;

    // The kernel of one axis: i = trunc(R), c = R - i, N the sum of the weights.
    struct Kernel {
        int32_t whole = 0;
        double fraction = 0.0;
        double normaliser = 0.5;
        bool identity() const { return whole == 0 && fraction == 0.0; }
    };

    // One line of n pixels, `step` bytes apart, in the input or output of a pass.
    struct Line {
        unsigned char* first;
        ptrdiff_t step;
        int32_t n;
        P& operator[](int32_t i) const { return *reinterpret_cast<P*>(first + step * i); }
    };

    // NaN, zero and negative radii smooth nothing; huge and infinite ones are capped.
    static double pixel_radius(double radius) {
        if (!(radius > 0.0)) return 0.0;
        return radius < kMaxRadius ? radius : kMaxRadius;
    }

    static Kernel make_kernel(double radius) {
        Kernel k;
        k.whole = static_cast<int32_t>(radius);
        k.fraction = radius - k.whole;
        const double i = k.whole;
        k.normaliser = i * i + i + 0.5 + k.fraction * (2.0 * i + 2.0);
        return k;
    }

    void check_fits(const char* name, const PixelArray<P>& buffer, bool used) const {
        if (!used) return;
        if (buffer.data == nullptr || buffer.width < image.width || buffer.height < image.height) {
            throw QuillbrookException(
                std::string("glow: ") + name + " buffer " + std::to_string(buffer.width) + "x" +
                std::to_string(buffer.height) + (buffer.data == nullptr ? " without data" : "") +
                " does not fit the image " + std::to_string(image.width) + "x" +
                std::to_string(image.height));
        }
    }

    PixelArray<P> describe_temporary(void* memory) const {
        PixelArray<P> t(memory, image.width, image.height, 0, true);
        t.origin_x = image.origin_x;
        t.origin_y = image.origin_y;
        return t;
    }

    int32_t filter_row(int32_t row, int32_t, int32_t) {
        const Line in{reinterpret_cast<unsigned char*>(pass_input.row(row)), ptrdiff_t(sizeof(P)),
                      image.width};
        const Line out{reinterpret_cast<unsigned char*>(pass_output.row(row)), ptrdiff_t(sizeof(P)),
                       image.width};
        filter_line(make_kernel(radius_x), in, out);
        return host->progress(row + image.height * 2 * pass_index, image.height * 2 * pass_count);
    }

    int32_t filter_column(int32_t column, int32_t, int32_t) {
        const Line in{reinterpret_cast<unsigned char*>(pass_input.row(0) + column),
                      ptrdiff_t(pass_input.row_bytes), image.height};
        const Line out{reinterpret_cast<unsigned char*>(pass_output.row(0) + column),
                       ptrdiff_t(pass_output.row_bytes), image.height};
        filter_line(make_kernel(radius_y), in, out);
        return host->progress(column + image.width * (2 * pass_index + 1),
                              image.width * 2 * pass_count);
    }

    // Sample j of the mirrored, endless line, with non-finite values read as 0.
    static Sums sample(const Line& in, int32_t j) {
        map_outside(OutsideMode::mirrored_image, in.n, j);
        const P& p = in[j];
        Sums s;
        for (int c = 0; c < kChannels; ++c) {
            const double v = p.channel[c];
            s[c] = std::isfinite(v) ? v : 0.0;
        }
        return s;
    }

    static void add(Sums& to, const Sums& v, double factor = 1.0) {
        for (int c = 0; c < kChannels; ++c) to[c] += factor * v[c];
    }

    static void store(const Line& out, int32_t x, const Sums& sum, double normaliser) {
        P& p = out[x];
        for (int c = 0; c < kChannels; ++c) p.channel[c] = static_cast<float>(sum[c] / normaliser);
    }

    static void filter_line(const Kernel& k, const Line& in, const Line& out) {
        if (k.identity()) {
            for (int32_t x = 0; x < in.n; ++x) out[x] = in[x];
        } else if (k.whole == 0) {
            filter_line_narrow(k, in, out);
        } else {
            filter_line_running(k, in, out);
        }
    }

    // R < 1: three weights, 0.5c, 0.5 + c, 0.5c.
    static void filter_line_narrow(const Kernel& k, const Line& in, const Line& out) {
        const double c = k.fraction;
        for (int32_t x = 0; x < in.n; ++x) {
            Sums sum{};
            add(sum, sample(in, x), 0.5 + c);
            add(sum, sample(in, x - 1), 0.5 * c);
            add(sum, sample(in, x + 1), 0.5 * c);
            store(out, x, sum, k.normaliser);
        }
    }

    // R >= 1. With e(j) the mirrored line, the weights split into
    //     w = triangle(k) + (c - 0.5) * box(k) + 0.5c * [|k| = i + 1],
    // where triangle(k) = i + 1 - |k| and box(k) = 1 for |k| <= i. Moving from x to x + 1 the
    // triangle sum gains the right half-box e(x+1 .. x+i+1) and loses the left half-box
    // e(x-i .. x); both half-boxes move by one sample in and one out.
    static void filter_line_running(const Kernel& k, const Line& in, const Line& out) {
        const int32_t i = k.whole;
        const double c = k.fraction;
        Sums triangle{};
        Sums left{};   // e(x - i .. x)
        Sums right{};  // e(x + 1 .. x + i + 1)
        start_sums(in, i, triangle, left, right);
        for (int32_t x = 0; x < in.n; ++x) {
            const Sums outer_right = sample(in, x + i + 1);
            const Sums outer_left = sample(in, x - i - 1);
            Sums sum = triangle;
            for (int ch = 0; ch < kChannels; ++ch) {
                const double box = left[ch] + right[ch] - outer_right[ch];
                sum[ch] += (c - 0.5) * box + 0.5 * c * (outer_left[ch] + outer_right[ch]);
            }
            store(out, x, sum, k.normaliser);
            if (x + 1 == in.n) break;
            const Sums entering = sample(in, x + 1);
            const Sums far_right = sample(in, x + i + 2);
            const Sums far_left = sample(in, x - i);
            for (int ch = 0; ch < kChannels; ++ch) {
                triangle[ch] += right[ch] - left[ch];
                right[ch] += far_right[ch] - entering[ch];
                left[ch] += entering[ch] - far_left[ch];
            }
        }
    }

    // The sums at x = 0: directly when the kernel stays within one mirror period on each side,
    // otherwise from the closed form of the prefix sums over the periodic line.
    static void start_sums(const Line& in, int32_t i, Sums& triangle, Sums& left, Sums& right) {
        if (i < in.n) {
            for (int32_t k = -i; k <= i; ++k)
                add(triangle, sample(in, k), double(i + 1 - std::abs(k)));
            for (int32_t j = -i; j <= 0; ++j) add(left, sample(in, j));
            for (int32_t j = 1; j <= i + 1; ++j) add(right, sample(in, j));
            return;
        }
        const PeriodSums period(in,
                                {int64_t(i), int64_t(-i) - 2, 0, int64_t(-i) - 1, int64_t(i) + 1});
        // triangle(0) = Q(i) - 2 Q(-1) + Q(-i-2) with Q(-1) = 0.
        for (int ch = 0; ch < kChannels; ++ch) {
            triangle[ch] = period.second(0, ch) + period.second(1, ch);
            left[ch] = period.first(2, ch) - period.first(3, ch);
            right[ch] = period.first(4, ch) - period.first(2, ch);
        }
    }

    // Prefix sums of the mirrored line, which repeats with period L = 2n: P(j) is the sum of
    // e(0 .. j) (minus e(j+1 .. -1) for negative j, so P(-1) = 0) and Q(j) likewise the sum of
    // P(0 .. j). With j = qL + r (0 <= r < L), p and pp the prefix sums of e and of p over one
    // period, and the period totals p[L-1] and pp[L-1]:
    //     P(j) = q p[L-1] + p[r]
    //     Q(j) = p[L-1] L q(q - 1) / 2 + q pp[L-1] + (r + 1) q p[L-1] + pp[r].
    // One walk over the period collects p and pp at the residues of the requested indices.
    class PeriodSums {
    public:
        static constexpr int kIndices = 5;

        PeriodSums(const Line& in, const std::array<int64_t, kIndices>& indices) {
            const int64_t period = 2 * int64_t(in.n);
            std::array<int64_t, kIndices> residue{};
            for (int t = 0; t < kIndices; ++t) {
                q_[t] = floor_div(indices[t], period);
                residue[t] = indices[t] - q_[t] * period;
            }
            Sums p{};
            Sums pp{};
            for (int64_t r = 0; r < period; ++r) {
                add(p, sample(in, static_cast<int32_t>(r)));
                add(pp, p);
                for (int t = 0; t < kIndices; ++t) {
                    if (residue[t] != r) continue;
                    p_at_[t] = p;
                    pp_at_[t] = pp;
                    r_[t] = double(r);
                }
            }
            total_ = p;
            total_second_ = pp;
            period_ = double(period);
        }

        double first(int t, int ch) const { return double(q_[t]) * total_[ch] + p_at_[t][ch]; }

        double second(int t, int ch) const {
            const double q = double(q_[t]);
            return total_[ch] * period_ * q * (q - 1.0) / 2.0 + q * total_second_[ch] +
                   (r_[t] + 1.0) * q * total_[ch] + pp_at_[t][ch];
        }

    private:
        static int64_t floor_div(int64_t a, int64_t b) {
            const int64_t q = a / b;
            return (a % b != 0 && a < 0) ? q - 1 : q;
        }

        std::array<int64_t, kIndices> q_{};
        std::array<double, kIndices> r_{};
        std::array<Sums, kIndices> p_at_{};
        std::array<Sums, kIndices> pp_at_{};
        Sums total_{};
        Sums total_second_{};
        double period_ = 0.0;
    };
};
