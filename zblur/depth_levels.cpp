#include "zblur/depth_levels.h"

#include <cmath>

void fill_curve_table(float* table, double curve) {
    for (int32_t i = 0; i < kDepthTableSize; ++i) {
        table[i] = float(std::pow(double(i) * kDepthTableStep, curve));
    }
}

void fill_picker_table(float* table, double curve) {
    for (int32_t i = 0; i < kDepthTableSize; ++i) {
        table[i] = float(std::trunc(std::pow(double(i) * kDepthTableStep, curve) * kLevelScale));
    }
}

LevelRadius level_radius(int32_t level, const ZblurSettings& settings, double pixel_aspect) {
    const double p = pixel_aspect > 0.0 ? pixel_aspect : 1.0;
    const double scale_x = settings.scale_x > 0.0 ? settings.scale_x : 1.0;
    const double scale_y = settings.scale_y > 0.0 ? settings.scale_y : 1.0;
    const double w =
        std::fabs(double(level) - settings.focal) * settings.radius * kInverseLevelScale + 1.0;
    LevelRadius r;
    r.rx = w * (1.0 + settings.aspect) / scale_x;
    r.ry = w * (1.0 - settings.aspect) / scale_y;
    r.ex = r.rx / p;
    r.q = r.ex != 0.0 ? r.ry / r.ex : r.ry;
    return r;
}

LevelRadii level_radii(const ZblurSettings& settings, double pixel_aspect) {
    LevelRadii radii;
    for (int32_t level = 0; level < kDepthLevelCount; ++level) {
        radii[size_t(level)] = level_radius(level, settings, pixel_aspect);
    }
    return radii;
}
