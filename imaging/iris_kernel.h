#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/pixel_array.h"
#include "imaging/pixel_types.h"
#include "framework/quillbrook_host.h"

// The iris kernel: the shape of an out-of-focus blur spot, stored per row as the columns where
// its weight changes (weight steps) rather than as a dense image, so that a consumer spreads a
// value over the kernel with running sums along each row and pays per weight change, not per
// covered pixel.
//
// Weights are coverage values: 1 inside the shape, 0 outside, a fraction on the one-pixel
// anti-aliased edge (and 1 - b or 1 + b inside a border ring of brightness b). The weight at
// column x of a row is the sum of the `step` values of the row's records with x' <= x.

// One weight change of a kernel row.
struct IrisStep {
    float step;        // change of the weight at this column
    float plain_step;  // change of the weight the kernel would have without its border ring
    int32_t x;         // column offset from the kernel centre
};
static_assert(sizeof(IrisStep) == 12);

// Column of the record that ends every row's list (with step and plain_step 0).
inline constexpr int32_t kIrisRowEnd = 0x3fffffff;

// Largest horizontal radius, and largest row offset, a polygon kernel is built for; larger values
// are clamped so that every count fits 32 bits.
inline constexpr int32_t kIrisMaxRadius = 65536;

// A kernel descriptor. Row offsets y run from the kernel centre; row y's records start at
// steps[row_first[y + row_bias]] and number row_count[y + row_bias] (terminator not counted).
// Only rows first_row .. last_row hold records; an empty kernel has first_row > last_row.
struct IrisKernel {
    IrisStep* steps = nullptr;
    int32_t* row_count = nullptr;
    int32_t* row_first = nullptr;
    int32_t first_row = 0;
    int32_t last_row = -1;
    int32_t row_bias = 0;
    double norm = 0.0;      // 1 / total, 0 when total is 0
    double total = 0.0;     // sum of the kernel's weights over all its pixels
    double radius = 0.0;    // horizontal radius in pixels the kernel was built for
    void* block = nullptr;  // memory owned by this kernel (image kernels); see release_iris_kernel

    bool empty() const { return first_row > last_row; }
    // Records of row y (first_row <= y <= last_row), ending with the terminator.
    const IrisStep* row(int32_t y) const { return steps + row_first[y + row_bias]; }
    int32_t count(int32_t y) const { return row_count[y + row_bias]; }
};

// How the polygon builder walks a row. Both give identical steps; every_column evaluates the
// coverage at every column and exists as the reference for the run skipping.
enum class IrisScan { skip_runs, every_column };

// Build switches for tests and references; the defaults are what every consumer wants.
struct IrisBuildOptions {
    IrisScan scan = IrisScan::skip_runs;
    // When positive and below the storage's capacity, the number of records the builder may
    // write (terminators included), to exercise the dropping of steps that do not fit.
    int64_t record_limit = 0;
};

// Bytes of storage a polygon kernel needs: with R = trunc(radius + 1) and
// H = trunc(R * max(ratio, 0.05)) + 1, (max(R, H) * 24 + 12) records of 12 bytes, or 22 bytes
// when border_brightness is not 0, plus H * 16 + 9 bytes of row tables; rounded up to a multiple
// of 16 so that kernels placed back to back in one block stay aligned.
size_t polygon_kernel_size(double ratio, double radius, double border_brightness);

// Builds a polygon iris into `storage` (at least polygon_kernel_size bytes of the same radius,
// ratio and border brightness; any alignment) and describes it in `kernel`.
//   facets            number of polygon sides, 3 .. 1000 (clamped)
//   radius            horizontal radius in pixels (circumradius of the polygon)
//   rounded           0 straight facets .. 1 facets bowed out to a circle (clamped to 0.999)
//   angle             rotation in radians, from +x towards +y (rows grow downwards)
//   border_thickness  0 .. 1, width of the border ring as a fraction of the radius; at 1 there
//                     is no inner outline, hence no ring, and the brightness has no effect
//   border_brightness -1 .. 1; > 0 dims the inside to 1 - b, < 0 dims the ring to 1 + b
//   ratio             vertical radius / horizontal radius, at least 0.05 (clamped)
// Non-finite inputs are treated as their neutral values (radius 0, ratio 0.05, angle 0, the
// others 0). The host's progress is called once per row with (0, 1); a result other than
// noError() stops the build, leaves `kernel` empty and is returned; null storage returns
// outOfMemoryError().
// Stored weights are multiples of 2^-20, so every row's steps add up exactly, in float or
// double, to 0 at its end; `total` is the sum of the stored weights over all pixels. The records
// never exceed the storage's capacity: a step that does not fit is dropped (the weight stays at
// its last stored value until the row leaves the shape, where a closing record is always
// reserved). A shape too small to cover any pixel yields a one-pixel kernel of weight 1 at the
// centre. When the total weight is below 1 the weights are scaled so that it is 1.
int32_t build_polygon_kernel(void* storage, int32_t facets, QuillbrookHost* host, double radius,
                             double rounded, double angle, double border_thickness,
                             double border_brightness, double ratio, IrisKernel& kernel,
                             const IrisBuildOptions& options = {});

// Builds a kernel from a one-channel float image (weights, the kernel centre at column
// width / 2, row height / 2; `row_bytes` between rows) in one block from the host's allocate,
// owned by the kernel and given back by release_iris_kernel. Along each row a record is written
// where the value differs from the running weight by more than 0.002, and a closing record after
// the last column when the row ends above 0. `total` is the sum of the stored weights over every
// pixel and `plain_step` is a change like `step` (equal to it, as an image kernel has no border
// ring), so that consumers normalise with `norm` and accumulate `plain_step` as a weight change
// for image and polygon kernels alike. NaN, infinite and negative values count as 0; weights are
// stored on a grid that keeps every row's steps adding up exactly to 0. Progress (50, 100) is
// called once per row; a result other than noError() stops the build, frees the block and is
// returned; a failed allocation returns outOfMemoryError(). An image without pixels gives an
// empty kernel and no allocation; an image of zeros an empty kernel of norm 0 (whose block
// is still to be released).
int32_t build_image_kernel(IrisKernel& kernel, QuillbrookHost* host, int32_t width, int32_t height,
                           int32_t row_bytes, const float* image);

inline int32_t build_image_kernel(IrisKernel& kernel, QuillbrookHost* host,
                                  const PixelArray<PixelGrayFloat>& image) {
    return build_image_kernel(kernel, host, image.width, image.height, image.row_bytes,
                              static_cast<const float*>(image.data));
}

// Gives the kernel's own block (if any) back to the host and leaves the descriptor empty.
// Polygon kernels own no block: their storage belongs to the caller.
void release_iris_kernel(IrisKernel& kernel, QuillbrookHost* host);

// A kernel's weights as a dense image of doubles: weight(x, y) for columns left .. right and
// rows top .. bottom (offsets from the kernel centre), 0 elsewhere.
struct DenseIrisKernel {
    int32_t left = 0;
    int32_t right = -1;
    int32_t top = 0;
    int32_t bottom = -1;
    std::vector<double> weights;  // (bottom - top + 1) rows of (right - left + 1) values

    int32_t width() const { return right - left + 1; }
    int32_t height() const { return bottom - top + 1; }
    double at(int32_t x, int32_t y) const {
        if (x < left || x > right || y < top || y > bottom) return 0.0;
        return weights[size_t(y - top) * size_t(width()) + size_t(x - left)];
    }
};

// The running sums of `step` (or of `plain_step` when `plain`) as a dense image covering every
// record's column. Meant for tests and diagnostics: it allocates from the C++ heap.
DenseIrisKernel expand_kernel(const IrisKernel& kernel, bool plain = false);

// Writes the kernel's weights into every pixel of `image`, the kernel centre at pixel
// (centre_x, centre_y); pixels the kernel does not cover become 0. Weights as stored, before
// normalisation (0..1 scale).
void expand_kernel(const IrisKernel& kernel, const PixelArray<PixelGrayFloat>& image,
                   int32_t centre_x, int32_t centre_y, bool plain = false);
