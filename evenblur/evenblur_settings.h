#pragma once

#include <cstdint>

#include "imaging/hsl_selection.h"

// Everything one frame of the out-of-focus effect needs from its parameters, as plain values.
// The host face fills it on the host's thread before any work starts; the effect and its filters
// copy it whole and never see the host's records. A default-constructed record holds the
// parameter defaults of a new effect instance.
//
// Lengths (radius, distortion) are in full-resolution pixels; `scale_x`, `scale_y` say how many
// of them make one rendered pixel. Colours are 0 .. 1 whatever the pixel depth.
struct EvenblurSettings {
    // "show" choices.
    static constexpr int32_t kShowNormalBlur = 1;
    static constexpr int32_t kShowIris = 2;
    static constexpr int32_t kShowHighlightSelection = 3;
    static constexpr int32_t kShowHighlightSelectionOnly = 4;

    int32_t show = kShowNormalBlur;
    double radius = 0.0;
    bool gamma = true;  // blur in linear light
    double distortion = 10.0;
    int32_t distortion_antialias = 0;
    // Outside-image modes (outside_mode.h): 1 border color, 2 mirrored, 3 repeated, 4 color.
    int32_t assume_h = 1;
    int32_t assume_v = 1;
    float outside_color[3] = {0.0f, 0.0f, 0.0f};  // red, green, blue, 0 .. 1
    float outside_alpha = 1.0f;                   // 0 .. 1
    bool colored_iris = false;
    double smooth = 0.0;
    double rounded = 1.0;
    double border_thickness = double(0.3f);  // the slider's single-precision default
    double border_brightness = 0.0;
    // Radians, clockwise positive: the "angle" control turns the other way.
    double angle = 0.0;
    double aspect = 0.0;
    int32_t facets = 3;
    double preservative = 1.0;
    double additive = 0.0;
    // The highlight selection, in the layout its filter and weight function take unchanged.
    // Its two leading flags are this effect's "selection only" (`show` is 4, the filter shows
    // the weight instead of the weighted image) and "selection enable" ("enable" is on).
    SelectionSettings selection = defaultSelection();
    // Full-resolution pixels per rendered pixel (1 at full resolution, 2 at half).
    double scale_x = 1.0;
    double scale_y = 1.0;

    bool selectionOnly() const { return selection.show_selection; }
    bool selectionEnable() const { return selection.enabled; }

    // The selection group of a new instance: every hue and saturation, lightness 200 .. 255.
    static SelectionSettings defaultSelection() {
        SelectionSettings s;
        s.show_selection = false;
        s.enabled = false;
        s.hue_start = selectionLimit(0.0);
        s.hue_end = selectionLimit(255.0);
        s.hue_climax = 1.0;
        s.hue_soften = 0.0;
        s.saturation_start = selectionLimit(0.0);
        s.saturation_end = selectionLimit(255.0);
        s.saturation_climax = 1.0;
        s.saturation_soften = 0.0;
        s.lightness_start = selectionLimit(200.0);
        s.lightness_end = selectionLimit(255.0);
        s.lightness_climax = 1.0;
        s.lightness_soften = 0.0;
        s.hue_offset = 0.0;
        s.saturation_offset = 0.0;
        s.lightness_offset = 0.0;
        return s;
    }

    // ---- Conversions from the controls' values -------------------------------------------

    // One 8-bit channel of "outside color" (0 .. 255) to 0 .. 1, in single precision.
    static constexpr float colorChannel(uint8_t channel) { return float(channel) * 0.003921569f; }
    // "outside color alpha" (0 .. 255) to 0 .. 1.
    static constexpr float colorAlpha(double slider) { return float(slider * 0.00392156862745098); }
    // An angle control's 16.16 fixed-point degrees to turns.
    static constexpr double fixedDegreesToTurns(int32_t fixed_degrees) {
        return double(fixed_degrees) * 4.238552517361111e-08;
    }
    // "angle" (16.16 fixed-point degrees, counter-clockwise) to radians, clockwise.
    static constexpr double irisAngle(int32_t fixed_degrees) {
        return -fixedDegreesToTurns(fixed_degrees) * 3.141592653589793 * 2.0;
    }
    // A selection range start or end (slider 0 .. 255) to 0 .. 1.
    static constexpr double selectionLimit(double slider) { return slider * 0.00392156862745098; }
    // The host's downsampling factor num / den to full-resolution pixels per rendered pixel.
    // A factor with a zero or negative numerator is no factor the host can mean: it counts as
    // full resolution rather than dividing by zero.
    static constexpr double downsampleScale(int32_t num, uint32_t den) {
        if (num <= 0 || den == 0) return 1.0;
        return double(den) / double(num);
    }
};
