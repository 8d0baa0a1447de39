#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "imaging/outside_mode.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "imaging/pixel_types.h"
#include "framework/rectangle.h"  // complete before the host header, whose hooks take it by value
#include "framework/quillbrook_host.h"

// Summed-area tables answer the sum of an image over any axis-aligned rectangle from a few
// table reads, whatever the rectangle's size, also where the rectangle reaches beyond the image
// and an outside mode per axis says what lies there.
//
// The table of a W x H image has W x H float entries; entry (x, y) holds the sum of all source
// values at (i, j) with i <= x and j <= y, in the source's own scale (0 .. 255 per pixel for
// 8-bit, 0 .. 32768 for 16-bit, 0 .. 1 for float). Colour tables sum premultiplied colour and
// alpha, four floats per entry in the layout of the source (alpha first in memory); gray
// tables sum the one channel.
//
// NaN policy: a non-finite source value (after premultiplication) is summed as 0. A summed-area
// table cannot carry one: a single NaN or infinity would reach every entry below and to the
// right of it and so every rectangle sum that reads them, however far from the pixel.

// Entry type of the table of a source of pixel type `Src`: the source's layout in float, at the
// source's scale.
template <class Src>
using SummedAreaEntry = PixelRGB<typename Src::layout, float, Src::has_alpha, 0, Src::max_value>;

template <class Src>
using SummedAreaTable = PixelArray<SummedAreaEntry<Src>>;

template <class Src>
inline constexpr bool is_summable_source_v = Src::extra_count == 0 &&
                                             (Src::is_rgba || Src::is_gray);

// Channels summed per entry and returned by box_sum: 4 (alpha, red, green, blue) or 1.
template <class Entry>
inline constexpr int box_sum_channels_v = Entry::is_rgba ? 4 : 1;

// Bytes of the table for `source` (tightly packed rows).
template <class Src>
size_t summed_area_table_bytes(const PixelArray<Src>& source) {
    return SummedAreaTable<Src>::packedBytes(source.width, source.height);
}

// The table descriptor over `memory` (at least summed_area_table_bytes(source) bytes): the
// source's size and origin, packed rows, factors 1.0, valid and premultiplied.
template <class Src>
SummedAreaTable<Src> describe_summed_area_table(const PixelArray<Src>& source, void* memory) {
    SummedAreaTable<Src> table;
    table.width = source.width > 0 ? source.width : 0;
    table.height = source.height > 0 ? source.height : 0;
    table.pixel_bytes = int32_t(sizeof(SummedAreaEntry<Src>));
    table.row_bytes = table.width * table.pixel_bytes;
    table.origin_x = source.origin_x;
    table.origin_y = source.origin_y;
    table.data = memory;
    table.valid = true;
    table.premultiplied = true;
    return table;
}

namespace summed_area_detail {

inline double finite_or_zero(double v) { return std::isfinite(v) ? v : 0.0; }

// One source pixel as the table sums it: premultiplied colour (when the source is straight) and
// alpha, or the gray value, in the source's scale, non-finite values as 0. `values` is in the
// order alpha, red, green, blue.
template <class Src>
void summed_values(const Src& pixel, bool premultiplied, double* values) {
    if constexpr (Src::is_rgba) {
        ChannelValues v = read_rgba(pixel);
        if (!premultiplied) {
            const double factor = v.a * inverse_max_v<Src>;
            v.r *= factor;
            v.g *= factor;
            v.b *= factor;
        }
        values[0] = finite_or_zero(v.a);
        values[1] = finite_or_zero(v.r);
        values[2] = finite_or_zero(v.g);
        values[3] = finite_or_zero(v.b);
    } else {
        values[0] = finite_or_zero(read_gray(pixel));
    }
}

// Channel c (0 alpha, 1 red, 2 green, 3 blue; 0 for gray) of a table entry.
template <class Entry>
auto& entry_channel(Entry& entry, int channel) {
    if constexpr (std::remove_const_t<Entry>::is_rgba) {
        switch (channel) {
            case 0:
                return alpha_of(entry);
            case 1:
                return red_of(entry);
            case 2:
                return green_of(entry);
            default:
                return blue_of(entry);
        }
    } else {
        (void)channel;
        return gray_of(entry);
    }
}

}  // namespace summed_area_detail

// Fills `table` (from describe_summed_area_table) with the sums of `source`, row by row. After
// each row y it reports progress(y + H * pass_index, H * pass_count) and stops with that status
// when it is not no-error; the table is then incomplete and must not be used.
template <class Src>
int32_t build_table(int32_t pass_index, int32_t pass_count, QuillbrookHost* host,
                    const PixelArray<Src>& source, const SummedAreaTable<Src>& table) {
    static_assert(is_summable_source_v<Src>, "summed-area tables sum RGBA or gray pixels");
    using Entry = SummedAreaEntry<Src>;
    constexpr int channels = box_sum_channels_v<Entry>;
    const int32_t width = table.width;
    const int32_t height = table.height;
    for (int32_t y = 0; y < height; ++y) {
        const Src* in = source.row(y);
        Entry* out = table.row(y);
        const Entry* above = y > 0 ? table.row(y - 1) : nullptr;
        double running[channels] = {};
        for (int32_t x = 0; x < width; ++x) {
            double values[channels];
            summed_area_detail::summed_values(in[x], source.premultiplied, values);
            Entry& entry = out[x];
            for (int c = 0; c < channels; ++c) {
                running[c] += values[c];
                double total = running[c];
                if (above) {
                    total += double(summed_area_detail::entry_channel(above[x], c));
                }
                summed_area_detail::entry_channel(entry, c) = static_cast<float>(total);
            }
        }
        const int32_t status = host->progress(y + height * pass_index, height * pass_count);
        if (status != host->noError()) {
            return status;
        }
    }
    return host->noError();
}

// Adds to `sums` (cleared first; four doubles alpha, red, green, blue for colour tables, one for
// gray) the sum of the source over columns x_low + 1 .. x_high and rows y_low + 1 .. y_high
// (lower bounds exclusive, upper inclusive). Positions outside the image take the pixel that
// the axis's mode puts there; with `color` (or any value but 1 to 3) they add nothing. Whole
// periods of the mirrored (2n) and repeated (n) modes are folded into multiples of the full
// sum, so the cost is a bounded number of table reads whatever the rectangle's size. `width`
// and `height` are the source's. Returns (x_high - x_low) * (y_high - y_low), including the
// positions that count as zero (64-bit: boxes far larger than any image must not overflow).
template <class Entry>
int64_t box_sum(const PixelArray<Entry>& table, double* sums, OutsideMode horizontal_mode,
                OutsideMode vertical_mode, int32_t x_low, int32_t x_high, int32_t y_low,
                int32_t y_high, int32_t width, int32_t height);

// ---- implementation ----------------------------------------------------------------------

namespace summed_area_detail {

// An in-image index range (low, high] with -1 <= low < high <= n - 1, counted `count` times.
struct AxisPiece {
    int32_t low = 0;
    int32_t high = 0;
    double count = 0.0;
};

// The pieces of one axis: at most one full-axis piece plus three partial pieces for the
// periodic modes, three for border, one for colour.
struct AxisPieces {
    AxisPiece piece[6];
    int count = 0;

    void add(int64_t low, int64_t high, double times) {
        if (high > low && times != 0.0) {
            piece[count++] = {int32_t(low), int32_t(high), times};
        }
    }
};

// Splits the indices low + 1 .. high of an axis of n pixels into in-image pieces.
inline AxisPieces split_axis(OutsideMode mode, int64_t low, int64_t high, int32_t n) {
    AxisPieces pieces;
    if (high <= low || n <= 0) {
        return pieces;
    }
    switch (mode) {
        case OutsideMode::border_color: {
            if (low < -1) {
                pieces.add(-1, 0, double((high < -1 ? high : -1) - low));
            }
            pieces.add(low > -1 ? low : -1, high < n - 1 ? high : n - 1, 1.0);
            if (high > n - 1) {
                pieces.add(n - 2, n - 1, double(high - (low > n - 1 ? low : n - 1)));
            }
            break;
        }
        case OutsideMode::mirrored_image:
        case OutsideMode::repeated_image: {
            // Both modes are periodic over all indices (mirroring with the edge repeated has
            // period 2n, -1 reading 0 and 2n - 1 reading 0 again), so the range is first shifted
            // into [0, period), whole periods are counted, and the rest crosses at most three
            // tiles of n indices, each an image range read forwards or mirrored.
            const bool mirrored = mode == OutsideMode::mirrored_image;
            const int64_t period = mirrored ? 2 * int64_t(n) : int64_t(n);
            const int64_t length = high - low;
            const int64_t whole = length / period;
            pieces.add(-1, n - 1, double(whole) * (mirrored ? 2.0 : 1.0));
            int64_t first = (low + 1) % period;
            if (first < 0) first += period;
            const int64_t last = first + length % period - 1;
            for (int64_t i = first; i <= last;) {
                const int64_t tile = i / n;
                const int64_t tile_end = (tile + 1) * n - 1 < last ? (tile + 1) * n - 1 : last;
                const int64_t a = i - tile * n;
                const int64_t b = tile_end - tile * n;
                if (mirrored && tile % 2 == 1) {
                    pieces.add(n - 2 - b, n - 1 - a, 1.0);
                } else {
                    pieces.add(a - 1, b, 1.0);
                }
                i = tile_end + 1;
            }
            break;
        }
        case OutsideMode::color:
        default:
            pieces.add(low > -1 ? low : -1, high < n - 1 ? high : n - 1, 1.0);
            break;
    }
    return pieces;
}

// Adds `times` the sum over (x_low, x_high] x (y_low, y_high], an in-image rectangle
// (-1 <= low < high <= n - 1), from its four corner entries; entries at index -1 are 0.
template <class Entry>
inline void add_rectangle(const PixelArray<Entry>& table, int32_t x_low, int32_t x_high,
                          int32_t y_low, int32_t y_high, double times, double* sums) {
    constexpr int channels = box_sum_channels_v<Entry>;
    double rect[channels];
    const Entry* lower = table.row(y_high);
    for (int c = 0; c < channels; ++c) {
        rect[c] = double(entry_channel(lower[x_high], c));
    }
    if (x_low >= 0) {
        for (int c = 0; c < channels; ++c) {
            rect[c] -= double(entry_channel(lower[x_low], c));
        }
    }
    if (y_low >= 0) {
        const Entry* upper = table.row(y_low);
        for (int c = 0; c < channels; ++c) {
            rect[c] -= double(entry_channel(upper[x_high], c));
        }
        if (x_low >= 0) {
            for (int c = 0; c < channels; ++c) {
                rect[c] += double(entry_channel(upper[x_low], c));
            }
        }
    }
    for (int c = 0; c < channels; ++c) {
        sums[c] += times * rect[c];
    }
}

}  // namespace summed_area_detail

template <class Entry>
int64_t box_sum(const PixelArray<Entry>& table, double* sums, OutsideMode horizontal_mode,
                OutsideMode vertical_mode, int32_t x_low, int32_t x_high, int32_t y_low,
                int32_t y_high, int32_t width, int32_t height) {
    using namespace summed_area_detail;
    constexpr int channels = box_sum_channels_v<Entry>;
    for (int c = 0; c < channels; ++c) {
        sums[c] = 0.0;
    }
    const int64_t area = (int64_t(x_high) - x_low) * (int64_t(y_high) - y_low);
    if (x_low >= -1 && x_high <= width - 1 && x_low < x_high && y_low >= -1 &&
        y_high <= height - 1 && y_low < y_high) {
        add_rectangle(table, x_low, x_high, y_low, y_high, 1.0, sums);
        return area;
    }
    const AxisPieces columns = split_axis(horizontal_mode, x_low, x_high, width);
    if (columns.count == 0) {
        return area;
    }
    const AxisPieces rows = split_axis(vertical_mode, y_low, y_high, height);
    for (int r = 0; r < rows.count; ++r) {
        const AxisPiece& row = rows.piece[r];
        for (int k = 0; k < columns.count; ++k) {
            const AxisPiece& column = columns.piece[k];
            add_rectangle(table, column.low, column.high, row.low, row.high,
                          column.count * row.count, sums);
        }
    }
    return area;
}
