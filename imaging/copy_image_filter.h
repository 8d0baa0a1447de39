#pragma once

#include <cstdint>

#include "imaging/generic_filter.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"

// Which alpha form the copy writes.
enum class PremultiplyMode : int32_t {
    kFromSource = 0,     // the destination takes the source's `premultiplied` flag
    kPremultiplied = 1,  // the destination is premultiplied
    kStraight = 2,       // the destination is straight
};

// Copies an RGBA image into an RGBA or gray image of the same scale, converting between
// straight and premultiplied alpha, between float and integer storage, and colour to gray.
// Destination row y, column x reads source pixel (x + offset_x, y + offset_y); positions
// outside the source read as A = 1 in the source's own scale (1 of 255 at 8 bits, 1 of 32768 at
// 16, opaque only at float) and R = G = B = 0, so a gray destination gets 0 there. The effects
// copy between images of one size, so only a caller that asks for a larger destination sees it. A missing source or destination (null data) writes nothing and
// succeeds. One item per destination row.
template <class Src, class Dst>
class CopyImageFilter : public GenericFilter {
    static_assert(Src::is_rgba, "copy reads RGBA sources");
    static_assert(Dst::is_rgba || Dst::is_gray, "copy writes RGBA or gray destinations");
    static_assert(Src::max_value == Dst::max_value,
                  "copy keeps the scale: source and destination share their channel maximum");

    // Float values bound for integer channels are clamped to 0 .. Max when read and again
    // when stored: converting premultiplied colour above its alpha to straight form can leave
    // the range in between.
    static constexpr bool kClampStore = Src::is_float && !Dst::is_float;

public:
    CopyImageFilter(QuillbrookHost* host_in, PixelArray<Src> source_in,
                    PixelArray<Dst> destination_in)
        : GenericFilter(host_in), source(source_in), destination(destination_in) {}

    int32_t render(int32_t pass_index_in, int32_t pass_count_in) override {
        pass_index = pass_index_in;
        pass_count = pass_count_in;
        switch (premultiply_mode) {
            case PremultiplyMode::kFromSource:
                destination.premultiplied = source.premultiplied;
                break;
            case PremultiplyMode::kPremultiplied:
                destination.premultiplied = true;
                break;
            case PremultiplyMode::kStraight:
                destination.premultiplied = false;
                break;
        }
        return run_items(destination.height);
    }

    int32_t process(int32_t y, int32_t item_count, int32_t thread_index) override {
        (void)item_count;
        (void)thread_index;
        if (source.data == nullptr || destination.data == nullptr) return host->noError();
        constexpr double max = Src::max;
        Dst* out = destination.row(y);
        const int32_t sy = y + offset_y;
        const bool row_inside = sy >= 0 && sy < source.height;
        const Src* in = row_inside ? source.row(sy) : nullptr;
        for (int32_t x = 0; x < destination.width; ++x) {
            const int32_t sx = x + offset_x;
            ChannelValues v{1.0, 0.0, 0.0, 0.0};
            if (row_inside && sx >= 0 && sx < source.width) {
                v = read_rgba(in[sx]);
                if constexpr (kClampStore) {
                    v.a = clamp_to_max<Src>(v.a);
                    v.r = clamp_to_max<Src>(v.r);
                    v.g = clamp_to_max<Src>(v.g);
                    v.b = clamp_to_max<Src>(v.b);
                }
            }
            if constexpr (Dst::is_rgba) {
                convert_alpha_form<Src>(v, source.premultiplied, destination.premultiplied);
                if constexpr (kClampStore)
                    write_rgba_clamped(out[x], v);
                else
                    write_rgba(out[x], v);
            } else {
                double value = gray_from_colour(v.r, v.g, v.b) * (v.a / max);
                if (source.premultiplied != destination.premultiplied) {
                    if (!source.premultiplied) {
                        value *= v.a / max;
                    } else {
                        const float alpha = static_cast<float>(v.a);
                        if (alpha > 0.0f) value *= max / static_cast<double>(alpha);
                    }
                }
                if constexpr (kClampStore)
                    gray_of(out[x]) = store_clamped<Dst>(value);
                else
                    write_gray(out[x], value);
            }
        }
        return report_row(y, destination.height);
    }

    PixelArray<Src> source;
    PixelArray<Dst> destination;
    PremultiplyMode premultiply_mode = PremultiplyMode::kFromSource;
    // The source position read for destination pixel (0, 0).
    int32_t offset_x = 0;
    int32_t offset_y = 0;
};
