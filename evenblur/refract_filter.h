#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "imaging/filter_items.h"
#include "imaging/outside_mode.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "imaging/pixel_types.h"
#include "framework/rectangle.h"  // complete before the host header, whose hooks take it by value
#include "framework/quillbrook_exception.h"
#include "imaging/quillbrook_filter.h"

// Resamples the background layer as seen through the blurred foreground: every destination
// pixel averages n x n sub-samples, each taken at its own position displaced along the
// foreground's direction by
//     distortion / (scale * 1000) * height * 255   pixels (x with scale_x, y with scale_y),
// with direction and height bilinearly interpolated from the information buffer (see
// FillInfoBufferFilter). n is `samples` + 1, `samples` being the antialias setting; 0 gives one
// sub-sample at the pixel centre. Sub-samples that fall outside the information buffer, or
// whose displacement is zero (direction (0, 0), height 0 or distortion 0), keep the source
// pixel's share:
//     destination = source * (1 - m / n^2) + (mean of the m displaced samples) * m / n^2.
// So an undisplaced pixel is the source pixel exactly, also with antialiasing, where bilinear
// samples at the sub-pixel positions would otherwise soften it.
// A displaced position beyond the background is folded back into it by the outside mode of
// its axis, or takes the outside colour for the mode "color" (any value other than 1 to 3).
//
// Values stay in the background's scale (0 .. Max, Max = 255, 32768 or 1) and its alpha form:
// the destination is RGBA float at the same scale, and premultiplied colour stays
// premultiplied. A displaced position that is not finite (a non-finite distortion or a scale of
// 0) leaves its sub-sample undisplaced. NaN policy: non-finite background values are carried as
// they are; they reach only the pixels whose samples give them a weight above 0.
//
// Runs on the calling thread, row by row, reporting progress after each row.
template <class P, class Q, class Information = PixelInfo>
class RefractFilter : public QuillbrookFilter {
    static_assert(P::is_rgba && P::extra_count == 0, "the background is an RGBA image");
    static_assert(Q::is_rgba && Q::is_float && Q::extra_count == 0 && Q::max_value == P::max_value,
                  "the refracted background is RGBA float at the background's scale");
    static_assert(Information::channel_count == 0 && Information::extra_count == 3,
                  "an information pixel holds direction x, direction y and height");

public:
    RefractFilter(QuillbrookHost* host_in, PixelArray<P> source_in, PixelArray<Q> destination_in,
                  PixelArray<Information> info_in)
        : QuillbrookFilter(host_in), source(source_in), destination(destination_in), info(info_in) {
    }

    // Fills the whole destination; pass `pass_index` of `pass_count` of the caller's progress,
    // one unit per row. Returns no-error or the first other status from progress, at which it
    // stops. Throws QuillbrookException when the destination's size is not the source's.
    // Raises `samples` by 1, so an object is rendered once.
    virtual int32_t render(int32_t pass_index, int32_t pass_count) {
        samples = samples + 1;
        if (destination.width != source.width || destination.height != source.height) {
            throw QuillbrookException("refraction: destination " + size_text(destination) +
                                      " differs from the background " + size_text(source));
        }
        if (source.width <= 0 || source.height <= 0) return host->noError();
        if (source.data == nullptr || destination.data == nullptr) {
            throw QuillbrookException(
                "refraction: " +
                std::string(source.data == nullptr ? "background" : "destination") + " " +
                size_text(source) + " has no pixels");
        }
        const int32_t n = samples > 1 ? samples : 1;
        const double g = 1.0 / n;
        const double share = 1.0 / (double(n) * double(n));
        const double dx = distortion / (scale_x * 1000.0) * 255.0;
        const double dy = distortion / (scale_y * 1000.0) * 255.0;
        const OutsideMode mode_h = to_mode(assume_h);
        const OutsideMode mode_v = to_mode(assume_v);
        const bool has_info = info.data != nullptr && info.width > 0 && info.height > 0;
        const double info_dx = double(source.origin_x) - info.origin_x;
        const double info_dy = double(source.origin_y) - info.origin_y;
        const ChannelValues outside{outside_alpha, outside_red, outside_green, outside_blue};

        for (int32_t y = 0; y < destination.height; ++y) {
            const P* in = source.row(y);
            Q* out = destination.row(y);
            for (int32_t x = 0; x < destination.width; ++x) {
                ChannelValues value = read_rgba(in[x]);
                ChannelValues sum;
                int32_t m = 0;
                for (int32_t h = 0; has_info && h < n; ++h) {
                    const double sy = y - 0.5 + g / 2.0 + h * g;
                    for (int32_t k = 0; k < n; ++k) {
                        const double sx = x - 0.5 + g / 2.0 + k * g;
                        const double ix = sx + info_dx;
                        const double iy = sy + info_dy;
                        if (!(ix >= 0.0 && ix < info.width && iy >= 0.0 && iy < info.height)) {
                            continue;
                        }
                        const InfoSample s = interpolate_info(ix, iy);
                        const double offset_x = s.direction_x * dx * s.height;
                        const double offset_y = s.direction_y * dy * s.height;
                        if (offset_x == 0.0 && offset_y == 0.0) continue;
                        double px = sx + offset_x;
                        double py = sy + offset_y;
                        if (!std::isfinite(px) || !std::isfinite(py)) continue;
                        ++m;
                        const bool inside_x = map_outside_fractional(mode_h, source.width, px);
                        const bool inside_y = map_outside_fractional(mode_v, source.height, py);
                        const bool colour = (!inside_x && !outside_mode_maps(mode_h)) ||
                                            (!inside_y && !outside_mode_maps(mode_v));
                        accumulate(sum, colour ? outside : interpolate_source(px, py));
                    }
                }
                if (m > 0) {
                    const double f = m * share;
                    value.a = lerp(value.a, sum.a / m, f);
                    value.r = lerp(value.r, sum.r / m, f);
                    value.g = lerp(value.g, sum.g / m, f);
                    value.b = lerp(value.b, sum.b / m, f);
                }
                write_rgba(out[x], value);
            }
            const ProgressValue step = row_progress(y, destination.height, pass_index, pass_count);
            const int32_t result = host->progress(step.current, step.total);
            if (result != host->noError()) return result;
        }
        return host->noError();
    }

    PixelArray<P> source;
    PixelArray<Q> destination;
    PixelArray<Information> info;
    // Displacement strength; negative values bend towards the opposite side.
    double distortion = 0.0;
    // The antialias setting: samples + 1 sub-samples per axis (render raises it by 1; a count
    // below 1 samples once).
    int32_t samples = 0;
    // Outside modes per axis ("horizontal assume", "vertical assume"), counted from 1.
    int32_t assume_h = 1;
    int32_t assume_v = 1;
    // Outside colour, already in the background's scale (0 .. Max).
    double outside_red = 0.0;
    double outside_green = 0.0;
    double outside_blue = 0.0;
    double outside_alpha = 0.0;
    // Divisors of the displacement per axis.
    double scale_x = 1.0;
    double scale_y = 1.0;

private:
    // Direction and height at a sub-pixel position, each rounded to single precision.
    struct InfoSample {
        float direction_x;
        float direction_y;
        float height;
    };

    static std::string size_text(const auto& image) {
        return std::to_string(image.width) + "x" + std::to_string(image.height);
    }

    static OutsideMode to_mode(int32_t value) {
        if (value >= 1 && value <= 3) return static_cast<OutsideMode>(value);
        return OutsideMode::color;
    }

    static void accumulate(ChannelValues& sum, const ChannelValues& v) {
        sum.a += v.a;
        sum.r += v.r;
        sum.g += v.g;
        sum.b += v.b;
    }

    // Bilinear weights at a position 0 <= p < n: the pixel below p and its right (lower)
    // neighbour, which is the pixel itself in the last column (row).
    struct Taps {
        int32_t first;
        int32_t second;
        double fraction;
    };

    static Taps taps(double p, int32_t n) {
        int32_t first = static_cast<int32_t>(p);
        if (first > n - 1) first = n - 1;
        return {first, first + 1 < n ? first + 1 : first, p - first};
    }

    static double blend(double v00, double v10, double v01, double v11, const Taps& tx,
                        const Taps& ty) {
        const double top = lerp(v00, v10, tx.fraction);
        const double bottom = lerp(v01, v11, tx.fraction);
        return lerp(top, bottom, ty.fraction);
    }

    // a * (1 - fraction) + b * fraction, where a value of weight 0 is not read, so that an
    // infinite value there cannot turn the result into NaN.
    static double lerp(double a, double b, double fraction) {
        if (fraction == 0.0) return a;
        if (fraction == 1.0) return b;
        return a * (1.0 - fraction) + b * fraction;
    }

    InfoSample interpolate_info(double ix, double iy) const {
        const Taps tx = taps(ix, info.width);
        const Taps ty = taps(iy, info.height);
        const Information* upper = info.row(ty.first);
        const Information* lower = info.row(ty.second);
        InfoSample s;
        float* fields[3] = {&s.direction_x, &s.direction_y, &s.height};
        for (int e = 0; e < 3; ++e) {
            *fields[e] = static_cast<float>(
                blend(upper[tx.first].extra[e], upper[tx.second].extra[e], lower[tx.first].extra[e],
                      lower[tx.second].extra[e], tx, ty));
        }
        return s;
    }

    ChannelValues interpolate_source(double px, double py) const {
        const Taps tx = taps(px, source.width);
        const Taps ty = taps(py, source.height);
        const P* upper = source.row(ty.first);
        const P* lower = source.row(ty.second);
        const ChannelValues a = read_rgba(upper[tx.first]);
        const ChannelValues b = read_rgba(upper[tx.second]);
        const ChannelValues c = read_rgba(lower[tx.first]);
        const ChannelValues d = read_rgba(lower[tx.second]);
        return {blend(a.a, b.a, c.a, d.a, tx, ty), blend(a.r, b.r, c.r, d.r, tx, ty),
                blend(a.g, b.g, c.g, d.g, tx, ty), blend(a.b, b.b, c.b, d.b, tx, ty)};
    }
};
