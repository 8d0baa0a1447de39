#pragma once

#include <cstdint>

#include "imaging/hsl_selection.h"

// The "show" choices of the depth-of-field effect, as the popup numbers them.
enum ZblurShow : int32_t {
    kZblurShowNormalBlur = 1,
    kZblurShowIris = 2,
    kZblurShowDepthBuffer = 3,
    kZblurShowHighlightSelection = 4,
    kZblurShowHighlightSelectionOnly = 5,
    kZblurShowInfoDensity = 6,
    kZblurShowSharpZone = 7,
};

// The "take depth from:" choices. Any other number reads like the blue channel.
enum ZblurDepthChannel : int32_t {
    kZblurDepthLuminance = 1,
    kZblurDepthAlpha = 2,
    kZblurDepthRed = 3,
    kZblurDepthGreen = 4,
    kZblurDepthBlue = 5,
};

// One frame's parameters, converted for the filter: filled by the effect host for every frame
// and copied whole into the filter. The defaults are those of the parameters, with the depth
// range of a depth layer (0 .. 1).
struct ZblurSettings {
    int32_t show = kZblurShowNormalBlur;
    bool gamma = true;     // work in linear light
    double radius = 0.0;   // blur radius in pixels per 255 levels from the focus
    double rounded = 1.0;  // 0 straight facets .. 1 a circle
    double border_thickness = double(0.3f);
    double border_brightness = 0.0;  // -1 .. 1, relative to the iris centre
    double angle = 0.0;              // iris rotation in radians (minus the "angle" value)
    double aspect = 0.0;             // -0.75 .. 0.75: > 0 wider, < 0 taller
    int32_t facets = 3;
    bool invert = false;                           // near and far swapped
    double curve = 1.0;                            // exponent applied to the normalised depth
    int32_t depth_channel = kZblurDepthLuminance;  // forced to 1 for the input's depth channel
    double focal = 255.0;                          // the sharp level, on the 0 .. 255 level scale
    // Raw depth values that become 0 and 1 ("black point", "white point" for the input's depth
    // channel; 0 and 1 otherwise). White below black is a reversed range: black still maps to
    // 0 and white to 1.
    double black = 0.0;
    double white = 1.0;
    double highlight = 1.0;  // "highlight intensity", 0 turns highlights off
    SelectionSettings selection;
    int32_t assume_h = 1;  // outside-image modes 1 .. 4 (4: the outside colour)
    int32_t assume_v = 1;
    // The outside colour on the 0 .. 1 scale, straight (not premultiplied).
    float outside_red = 0.0f;
    float outside_green = 0.0f;
    float outside_blue = 0.0f;
    float outside_alpha = 1.0f;
    // Resolution factors: 1 at full resolution, n when the host renders at 1/n. Radii in
    // pixels are divided by them.
    double scale_x = 1.0;
    double scale_y = 1.0;
    int32_t reserved = 0;
};
