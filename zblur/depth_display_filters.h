#pragma once

#include <cmath>
#include <cstdint>

#include "zblur/depth_levels.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "imaging/row_filter.h"
#include "zblur/zblur_settings.h"

// The two per-pixel views of the depth that the depth-of-field effect shows instead of the
// blur: the shaped depth as gray ("depth-buffer") and the pixels that stay sharp ("sharp
// zone"). Output pixel (x, y) reads depth through a DepthReader aligned on the output's
// origin and the source at (x + output origin - source origin), so that any of the three
// images may be offset from the others. P is the output's RGBA type (maximum 255, 32768 or
// 1), D the depth image's type. One item per output row; the curve table C is not owned.

// Opaque gray c * Max (truncated for integer outputs), c the shaped depth.
template <class P, class D>
class DepthBufferDisplayFilter : public RowFilter<P> {
    static_assert(P::is_rgba, "the display writes RGBA pixels");

public:
    DepthBufferDisplayFilter(QuillbrookHost* host_in, PixelArray<P> output_in, PixelArray<D> depth,
                             const ZblurSettings& settings, const float* curve_table)
        : RowFilter<P>(host_in), output(output_in),
          depth_(depth, output_in.origin_x, output_in.origin_y, depth_rule(settings), curve_table) {
    }

    const PixelArray<P>& written() const override { return output; }
    void write_row(int32_t y) override {
        P* out = output.row(y);
        for (int32_t x = 0; x < output.width; ++x) {
            const double gray = depth_.shaped(x, y) * P::max;
            write_rgba(out[x], ChannelValues{P::max, gray, gray, gray});
        }
    }

    PixelArray<P> output;

private:
    DepthReader<D> depth_;
};

// Pixels whose blur stays within 1.5 pixels of sharp, shown halfway to white; the others at
// half brightness. The level L' = c * 255 is truncated for integer outputs and kept
// fractional for float ones; w' = |L' - focal| * radius / 255 + 1 must satisfy
// w' (1 + aspect) <= 1.5 and w' (1 - aspect) <= 1.5. Alpha is the source's; colour and alpha
// are worked on the 0 .. 1 scale and clamped to it. Outside the source the source pixel
// counts as transparent black.
template <class P, class D>
class SharpZoneDisplayFilter : public RowFilter<P> {
    static_assert(P::is_rgba, "the display works on RGBA pixels");

public:
    SharpZoneDisplayFilter(QuillbrookHost* host_in, PixelArray<P> source_in,
                           PixelArray<P> output_in, PixelArray<D> depth,
                           const ZblurSettings& settings, const float* curve_table)
        : RowFilter<P>(host_in), source(source_in), output(output_in),
          depth_(depth, output_in.origin_x, output_in.origin_y, depth_rule(settings), curve_table),
          focal_(settings.focal), radius_(settings.radius), aspect_(settings.aspect) {}

    const PixelArray<P>& written() const override { return output; }
    void write_row(int32_t y) override {
        P* out = output.row(y);
        const int32_t sy = y + output.origin_y - source.origin_y;
        const bool source_row = source.data != nullptr && sy >= 0 && sy < source.height;
        const P* in = source_row ? source.row(sy) : nullptr;
        const int32_t shift_x = output.origin_x - source.origin_x;
        for (int32_t x = 0; x < output.width; ++x) {
            ChannelValues v;
            const int32_t sx = x + shift_x;
            if (source_row && sx >= 0 && sx < source.width) {
                v = read_rgba(in[sx]);
                scale_to_unit<P>(v);
            }
            const bool sharp = in_sharp_zone(depth_.shaped(x, y));
            v.r = unit_clamp(sharp ? (v.r - 1.0) * 0.5 + 1.0 : v.r * 0.5) * P::max;
            v.g = unit_clamp(sharp ? (v.g - 1.0) * 0.5 + 1.0 : v.g * 0.5) * P::max;
            v.b = unit_clamp(sharp ? (v.b - 1.0) * 0.5 + 1.0 : v.b * 0.5) * P::max;
            v.a = unit_clamp(v.a) * P::max;
            write_rgba(out[x], v);
        }
    }

    bool in_sharp_zone(double shaped) const {
        double level = shaped * kLevelScale;
        if constexpr (!P::is_float) level = std::trunc(level);
        const double w = std::fabs(level - focal_) * radius_ * kInverseLevelScale + 1.0;
        return w * (1.0 + aspect_) <= 1.5 && w * (1.0 - aspect_) <= 1.5;
    }

    PixelArray<P> source;
    PixelArray<P> output;

private:
    static double unit_clamp(double value) {
        if (!(value > 0.0)) return 0.0;
        return value < 1.0 ? value : 1.0;
    }

    DepthReader<D> depth_;
    double focal_;
    double radius_;
    double aspect_;
};
