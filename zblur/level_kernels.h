#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "imaging/copy_image_filter.h"
#include "zblur/depth_levels.h"
#include "framework/host_block.h"
#include "imaging/iris_kernel.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_types.h"
#include "framework/quillbrook_host.h"
#include "zblur/zblur_settings.h"
#include "imaging/zoom_filter.h"

// The 256 level kernels of the depth-of-field blur in the form its row sweep consumes.
//
// Each iris kernel (polygon or lens image) is rewritten in place into integer weight steps:
// the running weight of every row is put on a grid of 1/65536 (kLevelWeightScale) and each
// record holds the change of that gridded weight. A row's changes then add up to exactly 0, so
// a source that has crossed a row leaves nothing behind in the integer running sums of the
// sweep whatever else was added in between, and the sums at a pixel depend only on the sources
// that cover it, never on where a tile starts. Records at the same column are merged and
// records that change nothing are dropped.

inline constexpr double kLevelWeightScale = 65536.0;

// One weight change: the changes of the gridded weight and of the gridded weight without the
// border ring (in 1/65536), at column offset x from the kernel centre; x = kIrisRowEnd ends the
// row (with both changes 0). Same size as IrisStep, whose memory it reuses.
struct LevelStep {
    int32_t weight_step;
    int32_t plain_step;
    int32_t x;
};
static_assert(sizeof(LevelStep) == sizeof(IrisStep) && alignof(LevelStep) == alignof(IrisStep));

struct LevelKernel {
    const LevelStep* steps = nullptr;
    const int32_t* row_first = nullptr;  // indexed by row offset + row_bias
    int32_t first_row = 0;               // first and last row offsets that hold changes
    int32_t last_row = -1;
    int32_t row_bias = 0;
    int32_t left = 0;  // covered columns: weights can be non-zero only in left .. right
    int32_t right = -1;
    int64_t total = 0;  // sum of the gridded weights over all pixels
    double norm = 0.0;  // 1 / total, 0 for an empty kernel
    // At least the sum of the magnitudes of the gridded weights over all pixels and at least
    // the sum of the magnitudes of the changes (1/65536 units): no running sum of one level's
    // weights times colours of magnitude c, nor any partial sum of its changes at a column,
    // exceeds magnitude x c.
    double magnitude = 0.0;

    bool empty() const { return first_row > last_row; }
    const LevelStep* row(int32_t y) const { return steps + row_first[y + row_bias]; }
};

// Rewrites `iris` in place (its records and row tables) and describes the result. `iris`
// must not be read as an iris kernel afterwards, except to release it.
LevelKernel convert_to_level_kernel(IrisKernel& iris);

// The set of 256 level kernels of one frame. Levels with the same radius and ratio share one
// kernel (levels at the same distance from the focal level in front and behind). Polygon
// kernels live in one store block; lens kernels own their blocks. release() gives everything
// back and is also run by the destructor (the host must outlive the set).
class LevelKernelSet {
public:
    LevelKernelSet() = default;
    ~LevelKernelSet() { release(); }
    LevelKernelSet(const LevelKernelSet&) = delete;
    LevelKernelSet& operator=(const LevelKernelSet&) = delete;

    // Bytes of the polygon store for these radii (one kernel per distinct radius and ratio).
    static size_t store_bytes(const LevelRadii& radii, const ZblurSettings& settings);

    // Builds the polygon kernels in level order; out of memory when the store cannot be had,
    // or the first progress error of a build.
    int32_t build_polygons(QuillbrookHost* host, const ZblurSettings& settings,
                           const LevelRadii& radii);

    // Builds the kernels from a lens image: the lens becomes one-channel gray of its own
    // scale (copy filter: gray times alpha), and each level's kernel is the gray lens resampled to
    // 2 ceil(ex) x 2 ceil(ry) pixels with one scale factor for both axes, the larger of
    // lens height / rows and lens width / columns, outside mode "color" (nothing) around it.
    template <class P>
    int32_t build_from_lens(QuillbrookHost* host, const PixelArray<P>& lens,
                            const LevelRadii& radii);

    void release();

    const LevelKernel& operator[](int32_t level) const { return kernels_[size_t(level)]; }

    // How far the kernels reach from their centre: the largest column offset left or right
    // and the largest row offset up or down over all levels.
    int32_t reach_x() const;
    int32_t reach_y() const;

private:
    // The level whose kernel level `level` can share, or -1.
    static int32_t twin_of(const LevelRadii& radii, int32_t level);
    void finish_level(int32_t level);

    QuillbrookHost* host_ = nullptr;
    HostBlock store_;
    std::array<IrisKernel, kDepthLevelCount> iris_{};
    std::array<LevelKernel, kDepthLevelCount> kernels_{};
};

// The gray type of a lens image's own scale, into which the copy filter converts it.
template <class P>
using LensGray =
    std::conditional_t<P::max_value == 255, PixelGray8,
                       std::conditional_t<P::max_value == 32768, PixelGray16, PixelGrayFloat>>;

template <class P>
int32_t LevelKernelSet::build_from_lens(QuillbrookHost* host, const PixelArray<P>& lens,
                                        const LevelRadii& radii) {
    release();
    host_ = host;
    const int32_t ok = host->noError();
    using Gray = LensGray<P>;
    const HostBlock gray_memory =
        HostBlock::allocate(*host, PixelArray<Gray>::packedBytes(lens.width, lens.height) + 16);
    if (!gray_memory) return host->outOfMemoryError();

    PixelArray<Gray> gray(gray_memory.get(), lens.width, lens.height, 0, lens.premultiplied);
    CopyImageFilter<P, Gray> copy(host, lens, gray);
    int32_t status = copy.render(0, 1);
    if (status != ok) return status;

    ZoomFilter<Gray, PixelGrayFloat> zoom(host, gray, PixelArray<PixelGrayFloat>());
    zoom.horizontal_mode = OutsideMode::color;
    zoom.vertical_mode = OutsideMode::color;
    status = zoom.prepare_table();
    if (status != ok) return status;

    for (int32_t level = 0; level < kDepthLevelCount; ++level) {
        const int32_t twin = twin_of(radii, level);
        if (twin >= 0) {
            kernels_[size_t(level)] = kernels_[size_t(twin)];
            continue;
        }
        const LevelRadius& radius = radii[size_t(level)];
        const double ex = std::isfinite(radius.ex) ? radius.ex : 0.0;
        const double ry = std::isfinite(radius.ry) ? radius.ry : 0.0;
        const int32_t columns = 2 * std::max<int32_t>(1, int32_t(std::ceil(std::min(ex, 65536.0))));
        const int32_t rows = 2 * std::max<int32_t>(1, int32_t(std::ceil(std::min(ry, 65536.0))));
        const HostBlock image_memory =
            HostBlock::allocate(*host, PixelArray<PixelGrayFloat>::packedBytes(columns, rows));
        if (!image_memory) return host->outOfMemoryError();
        PixelArray<PixelGrayFloat> image(image_memory.get(), columns, rows, 0, true);
        zoom.destination = image;
        const double scale = std::max(double(lens.height) / rows, double(lens.width) / columns);
        zoom.scale_x = scale;
        zoom.scale_y = scale;
        status = zoom.resample();
        if (status != ok) return status;
        status = build_image_kernel(iris_[size_t(level)], host, image);
        if (status != ok) return status;
        finish_level(level);
    }
    return ok;
}
