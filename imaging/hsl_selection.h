#pragma once

#include <cmath>

#include "imaging/pixel_conversion.h"

// Highlight selection by hue, saturation and lightness ranges. Hue, saturation and lightness
// all run 0 .. 1 here (hue in turns); range limits are the slider values divided by 255 and
// offsets are in turns (degrees / 360). The selection weight of a pixel is 0 .. 1.

// Filled by each effect from its parameters.
struct SelectionSettings {
    bool show_selection = false;  // the filter shows the weight as a gray picture
    bool enabled = false;
    double hue_start = 0.0;
    double hue_end = 0.0;
    double hue_climax = 0.0;  // -1 .. 1: where in the range the weight peaks
    double hue_soften = 0.0;  // 0 or more: exponent of the ramp, 0 for a hard edge
    double saturation_start = 0.0;
    double saturation_end = 0.0;
    double saturation_climax = 0.0;
    double saturation_soften = 0.0;
    double lightness_start = 0.0;
    double lightness_end = 0.0;
    double lightness_climax = 0.0;
    double lightness_soften = 0.0;
    double hue_offset = 0.0;
    double saturation_offset = 0.0;
    double lightness_offset = 0.0;
};

// One component's range after normalisation: `low` is in 0 .. 1 and `high` may pass 1 (the
// range then wraps around the circle), but never by more than a full turn.
struct PreparedRange {
    double low = 0.0;
    double high = 0.0;
    double inverse_width = 1.0;
    double peak = 0.0;  // 0 .. 1 within the range
    double soften = 0.0;
};

struct PreparedSelection {
    bool enabled = false;
    PreparedRange hue;
    PreparedRange saturation;
    PreparedRange lightness;
};

inline PreparedRange prepare_range(double start, double end, double climax, double soften,
                                   double offset) {
    const double lo = (start < end ? start : end) + offset;
    const double hi = (start < end ? end : start) + offset;
    // One less than the floor for negative whole numbers; the weight never depends on which
    // whole turn is taken away, as long as low ends up in 0 .. 1.
    const double k = lo >= 0.0 ? std::trunc(lo) : std::trunc(lo - 1.0);
    PreparedRange r;
    r.low = lo - k;
    r.high = hi - k;
    // A range of a whole turn or more covers every value, including the wrapped ones.
    if (r.high >= r.low + 1.0) r.high = r.low + 1.00001;
    r.inverse_width = r.high == r.low ? 1.0 : 1.0 / (r.high - r.low);
    r.peak = (climax + 1.0) * 0.5;
    r.soften = soften;
    return r;
}

inline PreparedSelection prepare_selection(const SelectionSettings& s) {
    PreparedSelection p;
    p.enabled = s.enabled;
    p.hue = prepare_range(s.hue_start, s.hue_end, s.hue_climax, s.hue_soften, s.hue_offset);
    p.saturation = prepare_range(s.saturation_start, s.saturation_end, s.saturation_climax,
                                 s.saturation_soften, s.saturation_offset);
    p.lightness = prepare_range(s.lightness_start, s.lightness_end, s.lightness_climax,
                                s.lightness_soften, s.lightness_offset);
    return p;
}

// Hue in sixths of a turn (0 .. 6), saturation and lightness 0 .. 1.
struct HslValue {
    double h = 0.0;
    double s = 0.0;
    double l = 0.0;
};

// R, G, B in 0 .. 1. Gray (R = G = B) has hue 0 and saturation 0.
inline HslValue rgb_to_hsl(double r, double g, double b) {
    const double mx = std::fmax(r, std::fmax(g, b));
    const double mn = std::fmin(r, std::fmin(g, b));
    HslValue out;
    out.l = (mn + mx) * 0.5;
    if (mn == mx) return out;
    const double d = mx - mn;
    out.s = out.l <= 0.5 ? d / (mx + mn) : d / (2.0 - mx - mn);
    if (r == mx)
        out.h = (g - b) / d;
    else if (g == mx)
        out.h = (b - r) / d + 2.0;
    else
        out.h = (r - g) / d + 4.0;
    if (out.h < 0.0) out.h += 6.0;
    return out;
}

// Range test of one component value x (0 .. 1). A value at or above `low` is inside when it
// is at most `high`; a value below `low` is tried one turn up and must then lie strictly below
// `high`. On success `x` holds the value that was tested. NaN is never inside. Float pixels
// can give components below 0 (negative channels); one turn up such a value can still lie
// below `low`, and it is then outside: taking it in would put it before the start of the ramp
// of range_factor, whose power of a negative base is NaN.
inline bool range_contains(const PreparedRange& range, double& x) {
    if (x >= range.low) return range.high >= x;
    x += 1.0;
    return x >= range.low && range.high > x;
}

// The soft factor of a value inside its range: a ramp from `low` to the peak and down to
// `high`, raised to `soften`; 1 for a hard-edged range (soften 0).
inline double range_factor(const PreparedRange& range, double x) {
    if (!(range.soften > 0.0)) return 1.0;
    const double t = (x - range.low) * range.inverse_width;
    double u;
    if (range.peak > t)
        u = t / range.peak;
    else if (range.peak == 1.0)
        u = 1.0;
    else
        u = 1.0 - (t - range.peak) / (1.0 - range.peak);
    return std::pow(u, range.soften);
}

// Weight of a colour given as premultiplied R, G, B in 0 .. 1: 0 unless all three ranges
// hold its hue, saturation and lightness, else the product of their soft factors. NaN
// channels give 0.
inline double selection_weight(const PreparedSelection& selection, double r, double g, double b) {
    if (!selection.enabled) return 0.0;
    if (std::isnan(r) || std::isnan(g) || std::isnan(b)) return 0.0;
    const HslValue hsl = rgb_to_hsl(r, g, b);
    double h = hsl.h * 0.16666666666666666;
    double s = hsl.s;
    double l = hsl.l;
    if (!range_contains(selection.hue, h) || !range_contains(selection.saturation, s) ||
        !range_contains(selection.lightness, l))
        return 0.0;
    double w = 1.0;
    w *= range_factor(selection.hue, h);
    w *= range_factor(selection.saturation, s);
    w *= range_factor(selection.lightness, l);
    return w;
}

// Weight of a stored premultiplied RGBA pixel of any type (channels divided by its Max).
template <class P>
requires(P::is_rgba) inline double selection_weight(const PreparedSelection& selection,
                                                    const P& premultiplied) {
    const ChannelValues v = read_rgba(premultiplied);
    constexpr double inverse = inverse_max_v<P>;
    return selection_weight(selection, v.r * inverse, v.g * inverse, v.b * inverse);
}
