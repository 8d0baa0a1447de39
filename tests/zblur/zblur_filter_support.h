#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

#include "zblur/depth_levels.h"
#include "tests/support/padded_image.h"
#include "imaging/pixel_conversion.h"
#include "tests/support/test_host.h"
#include "zblur/zblur_filter.h"
#include "zblur/zblur_settings.h"

// A depth value that lands on level `level` with curve 1, black 0 and white 1.
inline float depth_for_level(int32_t level) { return float((level + 0.5) / 255.0); }

// A one-channel depth image of levels.
class LevelImage {
public:
    LevelImage(int32_t width, int32_t height, int32_t level = 0)
        : image_(width, height), levels_(size_t(width) * size_t(height), level) {
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) set(x, y, level);
    }
    void set(int32_t x, int32_t y, int32_t level) {
        levels_[size_t(y) * size_t(image_.width()) + size_t(x)] = level;
        image_.at(x, y).channel[0] = depth_for_level(level);
    }
    int32_t level(int32_t x, int32_t y) const {
        return levels_[size_t(y) * size_t(image_.width()) + size_t(x)];
    }
    PixelArray<PixelGrayFloat> array() { return image_.array(true); }

private:
    PaddedImage<PixelGrayFloat> image_;
    std::vector<int32_t> levels_;
};

// Settings for blur tests: gamma off, depth levels as stored, square pixels.
inline ZblurSettings blur_settings(double radius, double focal) {
    ZblurSettings s;
    s.show = kZblurShowNormalBlur;
    s.gamma = false;
    s.radius = radius;
    s.focal = focal;
    s.facets = 6;
    s.rounded = 0.5;
    s.border_thickness = 0.3;
    s.border_brightness = 0.0;
    s.curve = 1.0;
    s.depth_channel = kZblurDepthLuminance;
    s.black = 0.0;
    s.white = 1.0;
    s.selection.enabled = false;
    return s;
}

// A highlight selection: every hue and saturation, lightness from `lightness_start` (0 .. 1)
// to 1 with the given soften exponent, each weight peaking at the top of its range.
inline SelectionSettings highlight_selection(double lightness_start, double lightness_soften) {
    SelectionSettings selection;
    selection.enabled = true;
    selection.hue_start = 0;
    selection.hue_end = 1;
    selection.saturation_start = 0;
    selection.saturation_end = 1;
    selection.lightness_start = lightness_start;
    selection.lightness_end = 1.0;
    selection.lightness_soften = lightness_soften;
    selection.hue_climax = 1;
    selection.saturation_climax = 1;
    selection.lightness_climax = 1;
    return selection;
}

template <class P>
inline double channel_tolerance() {
    if constexpr (P::max_value == 255)
        return 1.0;
    else if constexpr (P::max_value == 32768)
        return 3.0;
    else
        return 1e-4;
}

// Runs the filter over `source` (straight alpha) with depth `depth` into a fresh output.
template <class P>
struct BlurRun {
    PaddedImage<P> output;
    int32_t status = 0;
    int32_t tiles = 0;
};

template <class P>
inline BlurRun<P> run_blur(QuillbrookHost& host, PaddedImage<P>& source, LevelImage& depth,
                           const ZblurSettings& settings, size_t buffer_limit = 0,
                           int32_t slot_limit = 0) {
    BlurRun<P> run{PaddedImage<P>(source.width(), source.height())};
    run.output.fillPixels(0x3C);
    ZblurFilter<P, PixelGrayFloat> filter(&host, source.array(false), run.output.array(false),
                                          source.array(false), depth.array(), PixelArray<P>(),
                                          settings);
    filter.buffer_limit = buffer_limit;
    filter.slot_limit = slot_limit;
    run.status = filter.render();
    run.tiles = filter.tile_count();
    return run;
}
