#pragma once

#include <cmath>
#include <cstddef>
#include <algorithm>
#include <cstdint>

#include "imaging/filter_items.h"
#include "imaging/generic_filter.h"
#include "framework/host_block.h"
#include "imaging/outside_mode.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "imaging/pixel_types.h"
#include "imaging/summed_area_table.h"

// Resamples `source` into `destination` with an exact, area-weighted box filter computed from a
// summed-area table of the source, converting depth, alpha form and colour to gray on the way.
//
// Geometry: `scale_x` and `scale_y` are source pixels per destination pixel. Destination
// pixel x reads the source from x0 = (x + 0.5 - Wd / 2 - 1) * scale_x + Ws / 2 (Wd, Ws the
// two widths) over scale_x + 1 pixels: source pixel cell [i, i + 1) gets the length of its
// overlap with [x0, x0 + scale_x + 1] as its weight, and likewise vertically. Equal sizes with
// scale 1 thus give the weights 1/4, 1/2, 1/4 rather than the identity. The footprint's centre
// is (1 - scale) / 2 source pixels from the exact centre-to-centre mapping (towards the origin
// when downscaling, away from it when upscaling); resampled images keep that offset, which
// callers comparing zooms of different scales must allow for. Positions outside the source follow
// `horizontal_mode` and `vertical_mode`; with `color` they count as zero but keep their weight.
//
// Values are summed premultiplied in the source's scale, divided by the total weight, limited to
// Max for 8- and 16-bit sources, moved to scale 1 when the destination is at scale 1 and the
// source is not, turned straight when the destination is, clamped to the destination's
// 0 .. Max and, for gray destinations of colour sources, converted to gray times alpha.
//
// Two ways to run it: render() builds the table, resamples and releases the table; or
// prepare_table() once, then for each destination assign destination and scales and call
// resample(), and release_table() when done (or leave it to the destructor).
template <class Src, class Dst>
class ZoomFilter : public GenericFilter {
public:
    static_assert(is_summable_source_v<Src>, "zoom reads RGBA or gray sources");
    static_assert(Dst::extra_count == 0 && (Dst::is_rgba || Dst::is_gray),
                  "zoom writes RGBA or gray destinations");
    static_assert(!(Src::is_gray && Dst::is_rgba), "zoom cannot make colour from gray");
    static_assert(Src::max_value == Dst::max_value || Dst::max_value == 1,
                  "zoom changes scale only into scale 1");

    using Entry = SummedAreaEntry<Src>;
    static constexpr int kChannels = box_sum_channels_v<Entry>;

    ZoomFilter() : GenericFilter(nullptr) {}
    ZoomFilter(QuillbrookHost* host_in, PixelArray<Src> source_in, PixelArray<Dst> destination_in)
        : GenericFilter(host_in), source(source_in), destination(destination_in) {}

    // Builds the table with progress pass 2 * pass_index of 2 * pass_count, resamples with pass
    // 2 * pass_index + 1, releases the table. Out-of-memory status when the table cannot be
    // allocated (nothing is written); a cancelled build skips the resampling. A source or
    // destination without pixel memory writes nothing and succeeds, as for the copy filter.
    int32_t render(int32_t pass_index_in, int32_t pass_count_in) override;

    // Band `item` of `item_count` bands of destination rows.
    int32_t process(int32_t item, int32_t item_count, int32_t thread_index) override;

    // Builds the table into `table_memory` (progress pass 0 of 0) and keeps it; a table built
    // before is released first. On failure nothing stays allocated.
    int32_t prepare_table();
    // Resamples into the current destination from the prepared table (prepared here when it is
    // missing), progress pass 0 of 0.
    int32_t resample();
    // Gives the prepared table back to the render context.
    void release_table();

    // Weighted sum over the widened box [x0, x1 + 1] x [y0, y1 + 1] of the source, divided by
    // the total weight, in premultiplied form and the source's scale (alpha, red, green, blue
    // or the gray value). Needs the table.
    void sample_box(double x0, double x1, double y0, double y1, double* values) const;

    PixelArray<Src> source;
    PixelArray<Dst> destination;
    double scale_x = 0.0;
    double scale_y = 0.0;
    OutsideMode horizontal_mode = OutsideMode(0);
    OutsideMode vertical_mode = OutsideMode(0);
    HostBlock table_memory;
    SummedAreaTable<Src> table;

private:
    bool has_pixels() const {
        return source.data != nullptr && destination.data != nullptr && destination.width > 0 &&
               destination.height > 0;
    }
    bool source_empty() const { return source.width <= 0 || source.height <= 0; }
    int32_t allocate_and_build(int32_t build_pass, int32_t build_passes, HostBlock& memory);
    int32_t run_bands();
    void write_pixel(Dst& out, const double* values) const;
    void read_corner(int32_t x, int32_t y, double weight, double* values) const;
};

// ---- implementation ----------------------------------------------------------------------

namespace zoom_detail {

// Box edges far beyond any image are moved to +-2^30, so that their floors and the indices one
// beyond them stay 32-bit integers whatever the scale; NaN (from a NaN scale) becomes 0.
inline double limit_coordinate(double v) {
    constexpr double kLimit = 1073741824.0;
    if (!(v > -kLimit)) return std::isnan(v) ? 0.0 : -kLimit;
    return v < kLimit ? v : kLimit;
}

}  // namespace zoom_detail

template <class Src, class Dst>
int32_t ZoomFilter<Src, Dst>::allocate_and_build(int32_t build_pass, int32_t build_passes,
                                                 HostBlock& memory) {
    memory.reset();
    if (source_empty()) {
        table = describe_summed_area_table(source, nullptr);
        return host->noError();
    }
    memory = HostBlock::allocate(*host, summed_area_table_bytes(source));
    if (!memory) {
        table = {};
        return host->outOfMemoryError();
    }
    table = describe_summed_area_table(source, memory.get());
    const int32_t status = build_table(build_pass, build_passes, host, source, table);
    if (status != host->noError()) {
        memory.reset();
        table = {};
    }
    return status;
}

template <class Src, class Dst>
int32_t ZoomFilter<Src, Dst>::render(int32_t pass_index_in, int32_t pass_count_in) {
    pass_index = pass_index_in;
    pass_count = pass_count_in;
    if (!has_pixels()) {
        return host->noError();
    }
    HostBlock memory;
    int32_t status = allocate_and_build(2 * pass_index, 2 * pass_count, memory);
    if (status != host->noError()) {
        return status;
    }
    // The table points into `memory`, which goes back on every way out (an exception passed
    // on by the pool included): the table is forgotten with it.
    struct ForgetTable {
        ZoomFilter* filter;
        ~ForgetTable() { filter->table = {}; }
    } forget{this};
    status = run_bands();
    return status;
}

template <class Src, class Dst>
int32_t ZoomFilter<Src, Dst>::prepare_table() {
    pass_index = 0;
    pass_count = 0;
    release_table();
    return allocate_and_build(0, 0, table_memory);
}

template <class Src, class Dst>
int32_t ZoomFilter<Src, Dst>::resample() {
    pass_index = 0;
    pass_count = 0;
    if (!has_pixels()) {
        return host->noError();
    }
    if (!table.valid) {
        const int32_t status = prepare_table();
        if (status != host->noError()) {
            return status;
        }
    }
    return run_bands();
}

template <class Src, class Dst>
void ZoomFilter<Src, Dst>::release_table() {
    table_memory.reset();
    table = {};
}

template <class Src, class Dst>
int32_t ZoomFilter<Src, Dst>::run_bands() {
    return run_items(host->threadCount(destination.height));
}

template <class Src, class Dst>
void ZoomFilter<Src, Dst>::read_corner(int32_t x, int32_t y, double weight, double* values) const {
    if (!map_to_image(horizontal_mode, source.width, x) ||
        !map_to_image(vertical_mode, source.height, y)) {
        return;
    }
    const Src& pixel = source.at(x, y);
    if constexpr (Src::is_rgba) {
        ChannelValues v = read_rgba(pixel);
        if (!source.premultiplied) {
            const double factor = v.a / Src::max;
            v.r *= factor;
            v.g *= factor;
            v.b *= factor;
        }
        values[0] += weight * summed_area_detail::finite_or_zero(v.a);
        values[1] += weight * summed_area_detail::finite_or_zero(v.r);
        values[2] += weight * summed_area_detail::finite_or_zero(v.g);
        values[3] += weight * summed_area_detail::finite_or_zero(v.b);
    } else {
        values[0] += weight * summed_area_detail::finite_or_zero(read_gray(pixel));
    }
}

template <class Src, class Dst>
void ZoomFilter<Src, Dst>::sample_box(double x0, double x1, double y0, double y1,
                                      double* values) const {
    x0 = zoom_detail::limit_coordinate(x0);
    x1 = zoom_detail::limit_coordinate(x1);
    y0 = zoom_detail::limit_coordinate(y0);
    y1 = zoom_detail::limit_coordinate(y1);
    const int32_t X0 = int32_t(std::floor(x0));
    const int32_t X1 = int32_t(std::floor(x1));
    const int32_t Y0 = int32_t(std::floor(y0));
    const int32_t Y1 = int32_t(std::floor(y1));
    const double wx0 = 1.0 - (x0 - X0);
    const double wx1 = x1 - X1;
    const double wy0 = 1.0 - (y0 - Y0);
    const double wy1 = y1 - Y1;

    for (int c = 0; c < kChannels; ++c) {
        values[c] = 0.0;
    }
    double total_weight = 0.0;
    const int32_t w = source.width;
    const int32_t h = source.height;
    auto add_box = [&](int32_t xl, int32_t xh, int32_t yl, int32_t yh, double weight) {
        double sums[kChannels];
        const int64_t area =
            box_sum(table, sums, horizontal_mode, vertical_mode, xl, xh, yl, yh, w, h);
        total_weight += double(area) * weight;
        for (int c = 0; c < kChannels; ++c) {
            values[c] += sums[c] * weight;
        }
    };
    add_box(X0, X1, Y0, Y1, 1.0);
    add_box(X0 - 1, X0, Y0, Y1, wx0);
    add_box(X1, X1 + 1, Y0, Y1, wx1);
    add_box(X0, X1, Y0 - 1, Y0, wy0);
    add_box(X0, X1, Y1, Y1 + 1, wy1);

    const double corner_weights[4] = {wx0 * wy0, wx1 * wy0, wx0 * wy1, wx1 * wy1};
    const int32_t corner_x[4] = {X0, X1 + 1, X0, X1 + 1};
    const int32_t corner_y[4] = {Y0, Y0, Y1 + 1, Y1 + 1};
    for (int k = 0; k < 4; ++k) {
        total_weight += corner_weights[k];
        read_corner(corner_x[k], corner_y[k], corner_weights[k], values);
    }

    if (total_weight != 0.0) {
        for (int c = 0; c < kChannels; ++c) {
            values[c] /= total_weight;
        }
    }
    if constexpr (!Src::is_float) {
        for (int c = 0; c < kChannels; ++c) {
            if (values[c] > Src::max) values[c] = Src::max;
        }
    }
}

template <class Src, class Dst>
void ZoomFilter<Src, Dst>::write_pixel(Dst& out, const double* values) const {
    // Scale 1 destinations of 8- or 16-bit sources (or float buffers at an integer scale).
    constexpr bool to_unit_scale = Dst::max_value == 1 && Src::max_value != 1;
    if constexpr (Src::is_rgba) {
        ChannelValues v{values[0], values[1], values[2], values[3]};
        if constexpr (to_unit_scale) {
            v.a *= inverse_max_v<Src>;
            v.r *= inverse_max_v<Src>;
            v.g *= inverse_max_v<Src>;
            v.b *= inverse_max_v<Src>;
        }
        if (!destination.premultiplied && static_cast<float>(v.a) > 0.0f) {
            const double factor = Dst::max / v.a;
            v.r *= factor;
            v.g *= factor;
            v.b *= factor;
        }
        v.a = clamp_to_max<Dst>(v.a);
        v.r = clamp_to_max<Dst>(v.r);
        v.g = clamp_to_max<Dst>(v.g);
        v.b = clamp_to_max<Dst>(v.b);
        if constexpr (Dst::is_rgba) {
            write_rgba(out, v);
        } else {
            write_gray(out, gray_from_colour(v.r, v.g, v.b) * (v.a / Dst::max));
        }
    } else {
        double gray = values[0];
        if constexpr (to_unit_scale) {
            gray *= inverse_max_v<Src>;
        }
        // Integer sources are already limited to Max; rounding in the table can still leave a
        // value a little below 0, which an integer store must not see.
        if constexpr (Dst::is_float) {
            write_gray(out, gray);
        } else {
            gray_of(out) = store_clamped<Dst>(gray);
        }
    }
}

template <class Src, class Dst>
int32_t ZoomFilter<Src, Dst>::process(int32_t item, int32_t item_count, int32_t thread_index) {
    (void)thread_index;
    const RowRange rows = band_rows(item, item_count, destination.height);
    // The box formula mixes precisions on purpose: the half width of the source is a double,
    // the half difference of the widths and the source's half width are single precision.
    const double hw = source.width * 0.5;
    const double dw = static_cast<float>((destination.width - source.width) * 0.5);
    const double cw = static_cast<float>(source.width * 0.5);
    const double hh = source.height * 0.5;
    const double dh = static_cast<float>((destination.height - source.height) * 0.5);
    const double ch = static_cast<float>(source.height * 0.5);
    // Both passes count in source rows, the table pass its own and the resampling pass its
    // destination rows; a destination taller than the source stops at the end of its share so
    // that the bar never passes its total.
    const int32_t rows_per_pass = source.height;
    for (int32_t y = rows.begin; y < rows.end; ++y) {
        const double y0 = (y - hh - 0.5 - dh) * scale_y + ch;
        const double y1 = (y + 1 - hh - 0.5 - dh) * scale_y + ch;
        Dst* out = destination.row(y);
        for (int32_t x = 0; x < destination.width; ++x) {
            const double x0 = (x - hw - 0.5 - dw) * scale_x + cw;
            const double x1 = (x + 1 - hw - 0.5 - dw) * scale_x + cw;
            double values[kChannels];
            sample_box(x0, x1, y0, y1, values);
            write_pixel(out[x], values);
        }
        const int32_t status =
            host->progress(std::min(y, rows_per_pass) + rows_per_pass * (2 * pass_index + 1),
                           rows_per_pass * 2 * pass_count);
        if (status != host->noError()) {
            return status;
        }
    }
    return host->noError();
}

// The instantiations both effects use are compiled once, in zoom_filter.cpp.
extern template class ZoomFilter<PixelRGBA8, PixelGray8>;
extern template class ZoomFilter<PixelGray8, PixelGray8>;
extern template class ZoomFilter<PixelRGBA16, PixelGray16>;
extern template class ZoomFilter<PixelGray16, PixelGray16>;
extern template class ZoomFilter<PixelRGBAFloat, PixelGrayFloat>;
extern template class ZoomFilter<PixelGrayFloat, PixelGrayFloat>;
extern template class ZoomFilter<PixelRGBA8, PixelRGBAFloat255>;
extern template class ZoomFilter<PixelRGBA8, PixelRGBAFloat>;
extern template class ZoomFilter<PixelRGBA8, PixelGrayFloat>;
extern template class ZoomFilter<PixelRGBA16, PixelRGBAFloat32768>;
extern template class ZoomFilter<PixelRGBA16, PixelRGBAFloat>;
extern template class ZoomFilter<PixelRGBA16, PixelGrayFloat>;
extern template class ZoomFilter<PixelRGBAFloat, PixelRGBAFloat>;
