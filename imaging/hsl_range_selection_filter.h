#pragma once

#include <cstdint>

#include "imaging/generic_filter.h"
#include "imaging/hsl_selection.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"

// Shows the highlight selection as a picture: with `show_selection` the weight as gray
// (colour w * Max) over the source's alpha, otherwise the source scaled by the weight. The
// source is read with all four channels multiplied by A / Max (so its alpha becomes
// A * A / Max); outside the source the output is transparent black. The selection image is
// aligned by the two origins: output (x, y) weighs selection pixel
// (x + output.origin_x - selection.origin_x, y + output.origin_y - selection.origin_y), and
// where the selection does not reach the weight is 0. With the selection disabled the output is
// opaque white inside the source when showing the selection, else the scaled source.
// Source, output and selection share one pixel type: RGBA 8, 16 or float. One item per row.
template <class P, class OutputPixel = P, class SelectionPixel = P>
class HslRangeSelectionFilter : public GenericFilter {
    static_assert(P::is_rgba && OutputPixel::is_rgba && SelectionPixel::is_rgba,
                  "the highlight selection works on RGBA pixels");
    static_assert(P::max_value == OutputPixel::max_value &&
                      P::max_value == SelectionPixel::max_value,
                  "source, output and selection share their channel maximum");

public:
    HslRangeSelectionFilter(QuillbrookHost* host_in, PixelArray<P> source_in,
                            PixelArray<OutputPixel> output_in,
                            PixelArray<SelectionPixel> selection_in)
        : GenericFilter(host_in), source(source_in), output(output_in), selection(selection_in) {}

    int32_t render(int32_t pass_index_in, int32_t pass_count_in) override {
        pass_index = pass_index_in;
        pass_count = pass_count_in;
        prepared_ = prepare_selection(settings);
        return run_items(output.height);
    }

    int32_t process(int32_t y, int32_t item_count, int32_t thread_index) override {
        (void)item_count;
        (void)thread_index;
        if (output.data == nullptr) return host->noError();
        constexpr double max = P::max;
        OutputPixel* out = output.row(y);
        const bool source_row = source.data != nullptr && y >= 0 && y < source.height;
        const P* in = source_row ? source.row(y) : nullptr;
        const int32_t ys = y + output.origin_y - selection.origin_y;
        const bool selection_row =
            prepared_.enabled && selection.data != nullptr && ys >= 0 && ys < selection.height;
        const SelectionPixel* sel = selection_row ? selection.row(ys) : nullptr;
        const int32_t shift_x = output.origin_x - selection.origin_x;
        for (int32_t x = 0; x < output.width; ++x) {
            ChannelValues v;
            const bool inside = source_row && x < source.width;
            if (inside) {
                v = read_rgba(in[x]);
                const double factor = v.a / max;
                v.a *= factor;
                v.r *= factor;
                v.g *= factor;
                v.b *= factor;
            }
            if (prepared_.enabled) {
                double w = 0.0;
                const int32_t xs = x + shift_x;
                if (selection_row && xs >= 0 && xs < selection.width) {
                    SelectionPixel p = sel[xs];
                    if (!selection.premultiplied) premultiply_in_place(p);
                    w = selection_weight(prepared_, p);
                }
                if (settings.show_selection) {
                    v.r = w * max;
                    v.g = w * max;
                    v.b = w * max;
                } else {
                    v.a *= w;
                    v.r *= w;
                    v.g *= w;
                    v.b *= w;
                }
            } else if (inside && settings.show_selection) {
                v = {max, max, max, max};
            }
            write_rgba(out[x], v);
        }
        return report_row(y, output.height);
    }

    PixelArray<P> source;
    PixelArray<OutputPixel> output;
    PixelArray<SelectionPixel> selection;
    SelectionSettings settings;

private:
    PreparedSelection prepared_;
};
