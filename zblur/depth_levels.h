#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "imaging/pixel_types.h"
#include "zblur/zblur_settings.h"

// Depth of a pixel and its depth level. Every source pixel gets a level 0 .. 255 (255 nearest
// to the "white" end of the depth range after shaping); every level has one blur radius, which
// grows with the level's distance from the focal level. The frame render, the depth-buffer and
// sharp-zone displays and the "select depth" picker all read depth through DepthReader, so
// that they agree on every rule, the reversed range included.

// ---- Tables ---------------------------------------------------------------------------------

// Every table has 32768 single-precision entries, entry i standing for u = i / 32767.
inline constexpr int32_t kDepthTableSize = 32768;
inline constexpr double kDepthTableStep = 0.00003051850947599719;  // 1 / 32767
// The level scale: levels are 0 .. 255, and radii grow by radius / 255 per level.
inline constexpr double kLevelScale = 255.0;
inline constexpr double kInverseLevelScale = 0.00392156862745098;  // 1 / 255
inline constexpr int32_t kDepthLevelCount = 256;

// The table index of a value on the 0 .. 1 scale: truncated, limited to 0 .. 32767 (NaN
// gives 0).
inline int32_t depth_table_index(double unit_value) {
    if (!(unit_value > 0.0)) return 0;
    if (unit_value >= 1.0) return kDepthTableSize - 1;
    return int32_t(unit_value * double(kDepthTableSize - 1));
}

// The curve table C[i] = u^curve (no scaling; 0^0 is 1, so curve 0 gives 1 everywhere).
void fill_curve_table(float* table, double curve);
// The picker's table: trunc(u^curve * 255), so that a picked focal point is a whole level.
void fill_picker_table(float* table, double curve);
// The linearising and gamma tables of the gamma correction, built with C, are linear light's
// (linear_light.h).

// ---- Normalisation --------------------------------------------------------------------------

// The raw depth t on the 0 .. 1 scale of the depth range: `black` maps to 0, `white` to 1,
// linear between, clamped outside. A range given backwards (white below black) is the same
// ramp reversed: values at or beyond black give 0, at or beyond white give 1. Equal bounds
// give 0 at and below the bound and 1 above it. Then `invert` takes 1 - o, and the result is
// clamped to 0 .. 1 with NaN giving 0.
inline double normalise_depth(double t, double black, double white, bool invert) {
    double o;
    if (white >= black) {
        if (t < black) {
            o = 0.0;
        } else if (t > white) {
            o = 1.0;
        } else {
            o = white - black > 0.0 ? (t - black) / (white - black) : 0.0;
        }
    } else {
        if (t > black) {
            o = 0.0;
        } else if (t < white) {
            o = 1.0;
        } else {
            o = (t - black) / (white - black);
        }
    }
    if (invert) o = 1.0 - o;
    if (!(o > 0.0)) return 0.0;
    return o > 1.0 ? 1.0 : o;
}

// The level of a shaped depth c (0 .. 1): trunc(c * 255), 255 only for c = 1.
inline int32_t depth_level_of(double shaped) {
    if (!(shaped > 0.0)) return 0;
    const int32_t level = int32_t(shaped * kLevelScale);
    return level < kDepthLevelCount - 1 ? level : kDepthLevelCount - 1;
}

// ---- Reading --------------------------------------------------------------------------------

// Where the raw depth of a pixel comes from and its range.
struct DepthRule {
    int32_t depth_channel = kZblurDepthLuminance;  // "take depth from:" choice
    double black = 0.0;
    double white = 1.0;
    bool invert = false;
};

inline DepthRule depth_rule(const ZblurSettings& settings) {
    return {settings.depth_channel, settings.black, settings.white, settings.invert};
}

// Reads the depth of the pixels of one image (the reference: the source for the render, the
// output for the displays) from a depth image of pixel type D: RGBA of any maximum, or one
// channel of float or double. The images are aligned by their origins: reference pixel (x, y)
// reads depth pixel (x + reference origin x - depth origin x, y + ... y), nearest pixel, and
// reads outside the depth image, or of an empty one, give raw depth 0.
//
// Raw depth by "take depth from:": RGBA images give the red channel for "luminance" (the red
// channel alone, no weighted sum) and "red", alpha, green, or blue (also for any other
// number), divided by the channel maximum; one-channel images give the value as stored for
// "luminance" and "red", 1.0 for "alpha" and 0 otherwise.
//
// The curve table maps the normalised depth to the shaped depth; the picker hands its own
// table (fill_picker_table) and so gets a focal level instead. Not owned; read only.
template <class D>
class DepthReader {
    static_assert(D::is_rgba || D::is_gray, "depth images are RGBA or one channel");

public:
    DepthReader() = default;

    DepthReader(const PixelArray<D>& depth, int32_t reference_origin_x, int32_t reference_origin_y,
                const DepthRule& rule, const float* curve_table)
        : depth_(depth), shift_x_(reference_origin_x - depth.origin_x),
          shift_y_(reference_origin_y - depth.origin_y), black_(rule.black), white_(rule.white),
          invert_(rule.invert), curve_(curve_table) {
        if (depth_.data == nullptr || depth_.width <= 0 || depth_.height <= 0) {
            depth_.width = 0;
            depth_.height = 0;
        }
        if constexpr (D::is_rgba) {
            switch (rule.depth_channel) {
                case kZblurDepthLuminance:
                case kZblurDepthRed:
                    channel_ = D::layout::red;
                    break;
                case kZblurDepthAlpha:
                    channel_ = D::layout::alpha;
                    break;
                case kZblurDepthGreen:
                    channel_ = D::layout::green;
                    break;
                default:
                    channel_ = D::layout::blue;
                    break;
            }
        } else {
            switch (rule.depth_channel) {
                case kZblurDepthLuminance:
                case kZblurDepthRed:
                    constant_ = false;
                    break;
                case kZblurDepthAlpha:
                    constant_value_ = 1.0;
                    break;
                default:
                    constant_value_ = 0.0;
                    break;
            }
        }
    }

    // The raw depth t of reference pixel (x, y).
    double raw(int32_t x, int32_t y) const {
        const int32_t dx = x + shift_x_;
        const int32_t dy = y + shift_y_;
        if (!depth_.contains(dx, dy)) return 0.0;
        const D& p = depth_.at(dx, dy);
        if constexpr (D::is_rgba) {
            return read_channel(p.channel[channel_]) * inverse_max_v<D>;
        } else {
            return constant_ ? constant_value_ : read_channel(gray_of(p));
        }
    }

    // The normalised depth o (0 .. 1, after invert).
    double normalised(int32_t x, int32_t y) const {
        return normalise_depth(raw(x, y), black_, white_, invert_);
    }

    // The shaped depth c = table[trunc(o * 32767)].
    double shaped(int32_t x, int32_t y) const {
        return double(curve_[depth_table_index(normalised(x, y))]);
    }

    // The depth level 0 .. 255.
    int32_t level(int32_t x, int32_t y) const { return depth_level_of(shaped(x, y)); }

private:
    PixelArray<D> depth_;
    int32_t shift_x_ = 0;
    int32_t shift_y_ = 0;
    double black_ = 0.0;
    double white_ = 1.0;
    bool invert_ = false;
    const float* curve_ = nullptr;
    int32_t channel_ = 0;   // RGBA: the channel position read
    bool constant_ = true;  // one channel: the value is not read
    double constant_value_ = 0.0;
};

// ---- Level radii ----------------------------------------------------------------------------

// The iris size of one level. rx and ry are the horizontal and vertical radii in pixels of the
// render's resolution; ex is rx in output pixels (divided by the pixel aspect), q = ry / ex
// the ratio handed to the iris builder with ex (ry when ex is 0).
struct LevelRadius {
    double rx = 1.0;
    double ry = 1.0;
    double ex = 1.0;
    double q = 1.0;
};

using LevelRadii = std::array<LevelRadius, kDepthLevelCount>;

// The radius of level `level`: w = |level - focal| * radius / 255 + 1 (never below 1),
// rx = w (1 + aspect) / scale_x, ry = w (1 - aspect) / scale_y. pixel_aspect is the output's
// pixel aspect ratio; 0, negative or NaN counts as 1 (square pixels), and so do resolution
// factors that are not positive.
LevelRadius level_radius(int32_t level, const ZblurSettings& settings, double pixel_aspect);
// All 256 levels.
LevelRadii level_radii(const ZblurSettings& settings, double pixel_aspect);
