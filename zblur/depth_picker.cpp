#include "zblur/depth_picker.h"

#include <chrono>

#include "zblur/zblur_parameters.h"

namespace {

const std::chrono::steady_clock::time_point library_start = std::chrono::steady_clock::now();

template <class T>
void scanRows(const unsigned char* data, int32_t width, int32_t height, int32_t row_bytes,
              DepthRangeScan& scan) {
    for (int32_t y = 0; y < height; ++y) {
        const T* row = reinterpret_cast<const T*>(data + ptrdiff_t(y) * row_bytes);
        for (int32_t x = 0; x < width; ++x) {
            const double value = double(row[x]);
            if (value < DepthRangeScan::kNoDepth && value > scan.maximum) {
                scan.maximum = value;
                scan.has_maximum = true;
            }
            if (value > -DepthRangeScan::kNoDepth && value < scan.minimum) {
                scan.minimum = value;
                scan.has_minimum = true;
            }
        }
    }
}

}  // namespace

DepthRangeScan scanDepthRange(const void* data, int32_t width, int32_t height, int32_t row_bytes,
                              bool doubles) {
    DepthRangeScan scan;
    if (data == nullptr || width <= 0 || height <= 0) return scan;
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (doubles) {
        scanRows<double>(bytes, width, height, row_bytes, scan);
    } else {
        scanRows<float>(bytes, width, height, row_bytes, scan);
    }
    return scan;
}

DepthPickerState& DepthPickerState::instance() {
    static DepthPickerState state;
    return state;
}

int64_t DepthPickerState::processClock() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 library_start)
        .count();
}

void DepthPickerState::noteChange(int32_t position) {
    if (position == kZblurFocalPoint || position == kZblurSelectDepth) return;
    std::lock_guard<std::mutex> guard(lock_);
    has_change_ = true;
    last_change_ = clock_();
}

bool DepthPickerState::pickCounts(double x, double y) {
    std::lock_guard<std::mutex> guard(lock_);
    if (has_point_ && x == point_x_ && y == point_y_) return false;
    has_point_ = true;
    point_x_ = x;
    point_y_ = y;
    return !has_change_ || clock_() - last_change_ > kQuietMilliseconds;
}

void DepthPickerState::resetForTest(Clock clock) {
    std::lock_guard<std::mutex> guard(lock_);
    clock_ = clock != nullptr ? clock : &processClock;
    has_change_ = false;
    last_change_ = 0;
    has_point_ = false;
    point_x_ = 0.0;
    point_y_ = 0.0;
}
