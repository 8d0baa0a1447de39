#pragma once

#include <cmath>
#include <cstdint>
#include <mutex>

#include "zblur/depth_levels.h"
#include "imaging/pixel_array.h"

// The two one-shot depth controls: "auto range" fills "black point" and "white point" from the
// values of the input's depth channel, and the "select depth" point picks "focal point" from
// the depth under it.

// ---- "auto range" ---------------------------------------------------------------------------

// The depth range found in a channel. Values of 1e17 or more count as "no depth" (an empty
// background) for the maximum, values of -1e17 or less for the minimum; NaN counts for
// neither. A bound for which no value counts is not found.
struct DepthRangeScan {
    static constexpr double kNoDepth = 1e17;
    double minimum = 3.4028234663852886e38;
    double maximum = -3.4028234663852886e38;
    bool has_minimum = false;
    bool has_maximum = false;
};

// Scans `height` rows of `width` values, row r at data + r * row_bytes; the values are floats,
// or doubles when `doubles`.
DepthRangeScan scanDepthRange(const void* data, int32_t width, int32_t height, int32_t row_bytes,
                              bool doubles);

// ---- "select depth" -------------------------------------------------------------------------

// The focal point for a point picked on the input layer, in the input's pixels at full
// resolution: the point is mapped onto the depth image by the ratio of the two sizes
// (x' = x * depth width / input width truncated toward zero, likewise y', so a point less than
// one depth pixel left of or above the input still reads the first column or row), and the
// depth there is read with
// the same rules as the render (DepthReader), through the picker table of fill_picker_table,
// so the result is a whole level 0 .. 255. A point that maps outside the depth image, or an
// input of no size, gives 0.
template <class D>
double pickedFocalPoint(const PixelArray<D>& depth, double x, double y, int32_t input_width,
                        int32_t input_height, const DepthRule& rule, const float* picker_table) {
    if (input_width <= 0 || input_height <= 0 || depth.data == nullptr) return 0.0;
    const double mapped_x = std::trunc(x * double(depth.width) / double(input_width));
    const double mapped_y = std::trunc(y * double(depth.height) / double(input_height));
    if (!(mapped_x >= 0.0 && mapped_x < double(depth.width) && mapped_y >= 0.0 &&
          mapped_y < double(depth.height))) {
        return 0.0;
    }
    const DepthReader<D> reader(depth, depth.origin_x, depth.origin_y, rule, picker_table);
    return reader.shaped(int32_t(mapped_x), int32_t(mapped_y));
}

// The process-wide memory of the picker: when a parameter other than "focal point" and
// "select depth" last changed, and the last picked point. A pick counts only when the point
// moved, and only once more than 300 ms have passed since another parameter changed: the host
// reports the point again right after other edits, and that must not move the focus.
class DepthPickerState {
public:
    static constexpr int64_t kQuietMilliseconds = 300;
    // Milliseconds on a steady clock.
    using Clock = int64_t (*)();

    static DepthPickerState& instance();

    // Records a user change of the parameter at `position`.
    void noteChange(int32_t position);
    // Records a picked point; true when it differs from the last one and the quiet time since
    // the last other change has passed.
    bool pickCounts(double x, double y);

    // Milliseconds since the library was loaded.
    static int64_t processClock();
    // Tests: replace the clock (null: the process clock) and forget all state.
    void resetForTest(Clock clock);

private:
    DepthPickerState() = default;

    std::mutex lock_;
    Clock clock_ = &processClock;
    bool has_change_ = false;
    int64_t last_change_ = 0;
    bool has_point_ = false;
    double point_x_ = 0.0;
    double point_y_ = 0.0;
};
