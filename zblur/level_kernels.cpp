#include "zblur/level_kernels.h"

#include <algorithm>
#include <cstring>

namespace {

IrisStep read_iris_step(const IrisStep* steps, int32_t index) {
    IrisStep s;
    std::memcpy(&s, steps + index, sizeof(s));
    return s;
}

void write_level_step(IrisStep* steps, int32_t index, const LevelStep& s) {
    std::memcpy(steps + index, &s, sizeof(s));
}

int32_t on_weight_grid(double weight) {
    const double v = std::nearbyint(weight * kLevelWeightScale);
    // Weights are 0 .. 1 (a little above after the builder's rescaling); anything else is a
    // broken kernel and is cut to the grid's range rather than overflowing.
    return int32_t(std::clamp(v, -1073741824.0, 1073741824.0));
}

}  // namespace

LevelKernel convert_to_level_kernel(IrisKernel& iris) {
    LevelKernel out;
    if (iris.empty() || iris.steps == nullptr) return out;
    IrisStep* steps = iris.steps;
    int32_t write = 0;
    int32_t first = 0;
    int32_t last = -1;
    int32_t left = kIrisRowEnd;
    int32_t right = -kIrisRowEnd;
    int64_t total = 0;
    double weight_magnitude = 0.0;
    double change_magnitude = 0.0;
    for (int32_t y = iris.first_row; y <= iris.last_row; ++y) {
        const int32_t read = iris.row_first[y + iris.row_bias];
        const int32_t count = iris.row_count[y + iris.row_bias];
        const int32_t row_start = write;
        double run = 0.0;
        double plain_run = 0.0;
        int32_t weight = 0;
        int32_t plain = 0;
        int32_t previous_x = 0;
        for (int32_t k = 0; k < count; ++k) {
            const IrisStep s = read_iris_step(steps, read + k);
            run += double(s.step);
            plain_run += double(s.plain_step);
            // The last change returns the row to exactly 0.
            const int32_t next = k == count - 1 ? 0 : on_weight_grid(run);
            const int32_t next_plain = k == count - 1 ? 0 : on_weight_grid(plain_run);
            total += int64_t(weight) * int64_t(s.x - previous_x);
            weight_magnitude += std::fabs(double(weight)) * double(s.x - previous_x);
            LevelStep change{next - weight, next_plain - plain, s.x};
            // Before merging: merged changes are no larger than the sum of their parts.
            change_magnitude += std::fabs(double(change.weight_step));
            weight = next;
            plain = next_plain;
            previous_x = s.x;
            if (write > row_start) {
                LevelStep before;
                std::memcpy(&before, steps + write - 1, sizeof(before));
                if (before.x == s.x) {
                    before.weight_step += change.weight_step;
                    before.plain_step += change.plain_step;
                    if (before.weight_step == 0 && before.plain_step == 0) {
                        --write;
                    } else {
                        write_level_step(steps, write - 1, before);
                    }
                    continue;
                }
            }
            if (change.weight_step == 0 && change.plain_step == 0) continue;
            write_level_step(steps, write++, change);
        }
        if (write > row_start) {
            LevelStep s;
            std::memcpy(&s, steps + row_start, sizeof(s));
            left = std::min(left, s.x);
            std::memcpy(&s, steps + write - 1, sizeof(s));
            right = std::max(right, s.x - 1);
            if (last < first) first = y;
            last = y;
        }
        write_level_step(steps, write++, LevelStep{0, 0, kIrisRowEnd});
        iris.row_first[y + iris.row_bias] = row_start;
    }
    if (last < first || total <= 0) return out;
    out.steps = reinterpret_cast<const LevelStep*>(steps);
    out.row_first = iris.row_first;
    out.first_row = first;
    out.last_row = last;
    out.row_bias = iris.row_bias;
    out.left = left;
    out.right = right;
    out.total = total;
    out.norm = 1.0 / double(total);
    out.magnitude = std::max(weight_magnitude, change_magnitude);
    return out;
}

size_t LevelKernelSet::store_bytes(const LevelRadii& radii, const ZblurSettings& settings) {
    size_t bytes = 0;
    for (int32_t level = 0; level < kDepthLevelCount; ++level) {
        if (twin_of(radii, level) >= 0) continue;
        bytes += polygon_kernel_size(radii[size_t(level)].q, radii[size_t(level)].ex,
                                     settings.border_brightness);
    }
    return bytes;
}

int32_t LevelKernelSet::twin_of(const LevelRadii& radii, int32_t level) {
    const LevelRadius& r = radii[size_t(level)];
    for (int32_t other = 0; other < level; ++other) {
        const LevelRadius& o = radii[size_t(other)];
        if (o.ex == r.ex && o.q == r.q && o.ry == r.ry) return other;
    }
    return -1;
}

int32_t LevelKernelSet::build_polygons(QuillbrookHost* host, const ZblurSettings& settings,
                                       const LevelRadii& radii) {
    release();
    host_ = host;
    const size_t bytes = store_bytes(radii, settings);
    store_ = HostBlock::allocate(*host, bytes);
    if (!store_) return host->outOfMemoryError();
    unsigned char* place = store_.as<unsigned char>();
    for (int32_t level = 0; level < kDepthLevelCount; ++level) {
        const int32_t twin = twin_of(radii, level);
        if (twin >= 0) {
            kernels_[size_t(level)] = kernels_[size_t(twin)];
            continue;
        }
        const LevelRadius& r = radii[size_t(level)];
        const int32_t status = build_polygon_kernel(
            place, settings.facets, host, r.ex, settings.rounded, settings.angle,
            settings.border_thickness, settings.border_brightness, r.q, iris_[size_t(level)]);
        if (status != host->noError()) return status;
        place += polygon_kernel_size(r.q, r.ex, settings.border_brightness);
        finish_level(level);
    }
    return host->noError();
}

void LevelKernelSet::finish_level(int32_t level) {
    kernels_[size_t(level)] = convert_to_level_kernel(iris_[size_t(level)]);
}

void LevelKernelSet::release() {
    if (host_ != nullptr) {
        for (IrisKernel& kernel : iris_) release_iris_kernel(kernel, host_);
    }
    store_.reset();
    iris_.fill(IrisKernel{});
    kernels_.fill(LevelKernel{});
}

int32_t LevelKernelSet::reach_x() const {
    int32_t reach = 0;
    for (const LevelKernel& k : kernels_) {
        if (k.empty()) continue;
        reach = std::max({reach, -k.left, k.right});
    }
    return reach;
}

int32_t LevelKernelSet::reach_y() const {
    int32_t reach = 0;
    for (const LevelKernel& k : kernels_) {
        if (k.empty()) continue;
        reach = std::max({reach, -k.first_row, k.last_row});
    }
    return reach;
}
