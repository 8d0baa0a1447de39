#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

#include "imaging/pixel_types.h"

// The conversion rules every filter of the image core follows when it moves channel values
// between pixel types. All arithmetic is in double precision in the scale of the pixel type
// the value belongs to (channel maximum 255, 32768 or 1; float buffers may also use 255 or
// 32768). Integer results are truncated toward zero, never rounded to nearest; float results
// are rounded to single precision.

// ---- Channel access by layout position --------------------------------------------------------

// Alpha, red, green and blue of an RGBA pixel (alpha is first in memory for our ARGB layout,
// but callers never rely on that: they go through these). Const pixels give const channels.
template <class P>
requires(std::remove_const_t<P>::is_rgba) constexpr auto& alpha_of(P& p) {
    return p.channel[std::remove_const_t<P>::layout::alpha];
}
template <class P>
requires(std::remove_const_t<P>::is_rgba) constexpr auto& red_of(P& p) {
    return p.channel[std::remove_const_t<P>::layout::red];
}
template <class P>
requires(std::remove_const_t<P>::is_rgba) constexpr auto& green_of(P& p) {
    return p.channel[std::remove_const_t<P>::layout::green];
}
template <class P>
requires(std::remove_const_t<P>::is_rgba) constexpr auto& blue_of(P& p) {
    return p.channel[std::remove_const_t<P>::layout::blue];
}
// The single channel of a gray pixel.
template <class P>
requires(std::remove_const_t<P>::is_gray) constexpr auto& gray_of(P& p) {
    return p.channel[std::remove_const_t<P>::layout::gray];
}

// ---- Scale constants --------------------------------------------------------------------------

// 1 / Max as the exact doubles the rules are written with: 0.00392156862745098 for 255,
// 3.0517578125e-05 (exactly 2^-15) for 32768, 1.0 for 1.
template <class P>
inline constexpr double inverse_max_v = P::max_value == 255     ? 0.00392156862745098
                                        : P::max_value == 32768 ? 3.0517578125e-05
                                                                : 1.0 / P::max_value;

// The gray weights of colour to gray conversion; they sum to 1. These are our own weights,
// not those of a broadcast standard.
inline constexpr double kGrayWeightRed = 0.292687786;
inline constexpr double kGrayWeightGreen = 0.552149646;
inline constexpr double kGrayWeightBlue = 0.155162568;

// ---- Reading ----------------------------------------------------------------------------------

// The four channels of an RGBA pixel as doubles in the pixel's own scale.
struct ChannelValues {
    double a = 0.0;
    double r = 0.0;
    double g = 0.0;
    double b = 0.0;
};

// Integer channels are read as unsigned values and converted exactly; float channels widen.
template <class T>
constexpr double read_channel(T value) {
    static_assert(std::is_floating_point_v<T> || std::is_unsigned_v<T>,
                  "channels are unsigned integers or floating point");
    return static_cast<double>(value);
}

template <class P>
requires(P::is_rgba) constexpr ChannelValues read_rgba(const P& p) {
    return {read_channel(alpha_of(p)), read_channel(red_of(p)), read_channel(green_of(p)),
            read_channel(blue_of(p))};
}

template <class P>
requires(P::is_gray) constexpr double read_gray(const P& p) { return read_channel(gray_of(p)); }

// ---- Premultiplied and straight alpha ---------------------------------------------------------

// Straight to premultiplied: colour times A * (1 / Max); alpha unchanged.
template <class P>
constexpr void straight_to_premultiplied(ChannelValues& v) {
    const double factor = v.a * inverse_max_v<P>;
    v.r *= factor;
    v.g *= factor;
    v.b *= factor;
}

// Premultiplied to straight: alpha is rounded to single precision first; when that is above 0 the colour is
// multiplied by Max / A in double precision, otherwise it is left as it is (valid
// premultiplied data has colour 0 there). Alpha unchanged.
template <class P>
constexpr void premultiplied_to_straight(ChannelValues& v) {
    const float alpha = static_cast<float>(v.a);
    if (alpha > 0.0f) {
        const double factor = P::max / static_cast<double>(alpha);
        v.r *= factor;
        v.g *= factor;
        v.b *= factor;
    }
}

// Converts only when the two forms differ; `P` gives the scale of the values.
template <class P>
constexpr void convert_alpha_form(ChannelValues& v, bool source_premultiplied,
                                  bool destination_premultiplied) {
    if (source_premultiplied == destination_premultiplied) return;
    if (source_premultiplied)
        premultiplied_to_straight<P>(v);
    else
        straight_to_premultiplied<P>(v);
}

// ---- Colour to gray ---------------------------------------------------------------------------

constexpr double gray_from_colour(double r, double g, double b) {
    return kGrayWeightRed * r + kGrayWeightGreen * g + kGrayWeightBlue * b;
}

// ---- Change of scale --------------------------------------------------------------------------

// Brings all four values of an 8-bit or 16-bit scale pixel to scale 1 (times 1 / Max of `P`),
// before any alpha conversion.
template <class P>
constexpr void scale_to_unit(ChannelValues& v) {
    v.a *= inverse_max_v<P>;
    v.r *= inverse_max_v<P>;
    v.g *= inverse_max_v<P>;
    v.b *= inverse_max_v<P>;
}

// ---- Writing ----------------------------------------------------------------------------------

// Limits a value to 0 .. Max of `P`. NaN becomes 0, so that no NaN reaches an integer store.
template <class P>
constexpr double clamp_to_max(double value) {
    if (!(value > 0.0)) return 0.0;
    return value < P::max ? value : P::max;
}

// Stores a value into a channel of `P`: rounded to single precision for float channels,
// truncated toward zero for integer channels. Values that the rules leave unclamped are in
// range for valid data; anything beyond the storage type (invalid premultiplied input, NaN)
// saturates at the storage type's limits instead of being undefined.
template <class P>
constexpr typename P::channel_type store_channel(double value) {
    using T = typename P::channel_type;
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(value);
    } else {
        constexpr double top = static_cast<double>(std::numeric_limits<T>::max());
        if (!(value > 0.0)) return T(0);
        if (value >= top) return std::numeric_limits<T>::max();
        return static_cast<T>(value);
    }
}

// Clamps to 0 .. Max and then stores: what float sources and filtered values get.
template <class P>
constexpr typename P::channel_type store_clamped(double value) {
    return store_channel<P>(clamp_to_max<P>(value));
}

template <class P>
requires(P::is_rgba) constexpr void write_rgba(P& p, const ChannelValues& v) {
    alpha_of(p) = store_channel<P>(v.a);
    red_of(p) = store_channel<P>(v.r);
    green_of(p) = store_channel<P>(v.g);
    blue_of(p) = store_channel<P>(v.b);
}

// write_rgba with every channel clamped to 0 .. Max first.
template <class P>
requires(P::is_rgba) constexpr void write_rgba_clamped(P& p, const ChannelValues& v) {
    alpha_of(p) = store_clamped<P>(v.a);
    red_of(p) = store_clamped<P>(v.r);
    green_of(p) = store_clamped<P>(v.g);
    blue_of(p) = store_clamped<P>(v.b);
}

template <class P>
requires(P::is_gray) constexpr void write_gray(P& p, double value) {
    gray_of(p) = store_channel<P>(value);
}

// ---- In-place premultiplication of a stored pixel ---------------------------------------------

// Integer pixels use a single-precision factor float(A) * float(1 / Max) and truncate each
// float(c) * factor; float pixels multiply by A (by A / Max for float pixels in an integer
// scale, which is plain multiplication by A for scale 1).
template <class P>
requires(P::is_rgba) constexpr void premultiply_in_place(P& p) {
    using T = typename P::channel_type;
    if constexpr (std::is_floating_point_v<T>) {
        const T factor = P::max_value == 1 ? alpha_of(p) : T(alpha_of(p) / T(P::max_value));
        red_of(p) *= factor;
        green_of(p) *= factor;
        blue_of(p) *= factor;
    } else {
        constexpr float inverse = static_cast<float>(inverse_max_v<P>);
        const float factor = static_cast<float>(alpha_of(p)) * inverse;
        // store_channel truncates the single-precision product; it only saturates for alpha
        // above Max, which valid pixels never have.
        red_of(p) = store_channel<P>(static_cast<float>(red_of(p)) * factor);
        green_of(p) = store_channel<P>(static_cast<float>(green_of(p)) * factor);
        blue_of(p) = store_channel<P>(static_cast<float>(blue_of(p)) * factor);
    }
}
