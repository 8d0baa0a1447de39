#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "evenblur/fft_lanes.h"
#include "evenblur/fft_tables.h"
#include "evenblur/fft_vector.h"
#include "imaging/pixel_array.h"
#include "framework/quillbrook_exception.h"
#include "imaging/quillbrook_filter.h"

// In-place two-dimensional transform between Nw x Nh real samples per channel and their half
// spectrum, on a buffer of float pixels with C = 1, 4 or 5 floats (Gray float, RGBA float, the
// Spectrum pixel). The buffer is Nw + 2 pixels wide and Nh high (both powers of two, Nw >= 4);
// every channel is transformed independently.
//
// Spatial layout: row y holds its Nw samples in pixels 0 .. Nw-1; pixels Nw and Nw + 1 are
// working space. Half-spectrum layout: pixels 2k (real parts) and 2k + 1 (imaginary parts) of
// row y hold the coefficient of horizontal frequency k (0 .. Nw/2) and vertical frequency y,
//   X(k, y) = sum over (u, v) of x(u, v) e^(+2 pi i (u k / Nw + v y / Nh)).
// Neither direction scales: forward then inverse multiplies every sample by Nw * Nh / 2.
//
// `data_rows` tells how many leading rows hold data. The forward row pass transforms only
// those; the rows below enter the column pass as they are (the caller puts there only what it
// may lose). The inverse reconstructs rows 0 .. min(Nh, data_rows + 1) - 1 only.
//
// Work: the row pass transforms groups of rows (16 rows side by side for 1 channel, 4 for 4
// and 5 channels) and the column pass blocks of adjacent complex columns (32, 4 or 4 columns
// for 1, 4 or 5 channels), each gathered into a scratch buffer of 16, 20 or 32 lanes so that
// every butterfly updates whole vector registers of the widest kind the processor has (the
// kernels of fft_vector.h, chosen once per transform on the calling thread). Each group and each block is one work item; the workers take
// items as they become free, so a worker that the system delays holds up no fixed share.
// Scratch buffers are indexed by the worker's thread slot: one per slot of the pool (slots
// 0 .. threadCount(-1) - 1) is obtained from the render context before any work starts, so a
// failed allocation leaves the buffer untouched; a slot beyond those, which a render context
// with a larger pool could hand out, gets its buffer on first use. All are released before
// forward or inverse returns.
//
// Progress counts one unit per row and per complex column: units per pass = data_rows + Nw/2
// + 1. The inverse reconstructs one row more than data_rows; its count is held at the pass's
// share so that no report runs into the next pass. The counter is atomic, as reports come from
// every worker.
template <class P>
class RealFFFFilter : public QuillbrookFilter {
public:
    static constexpr int kChannels = int(sizeof(P) / sizeof(float));
    static_assert(P::is_float && std::is_same_v<typename P::channel_type, float>,
                  "the transform works on float pixels");
    static_assert(sizeof(P) == sizeof(float) * (P::channel_count + P::extra_count),
                  "a pixel must be its floats and nothing else");
    static_assert(kChannels == 1 || kChannels == 4 || kChannels == 5,
                  "the transform handles 1, 4 or 5 floats per pixel");

    // Rows per row-pass lane block and columns per column-pass lane block.
    static constexpr int kRowGroup = kChannels == 1 ? 16 : 4;
    static constexpr int kColumnGroup = kChannels == 1 ? 32 : 4;
    static constexpr int kRowLanes = kRowGroup * kChannels;
    static constexpr int kColumnLanes = kColumnGroup * kChannels;
    static constexpr int32_t kScratchSlots = 1024;

    RealFFFFilter(QuillbrookHost* host_in, PixelArray<P> buffer_in)
        : QuillbrookFilter(host_in), buffer(buffer_in) {}
    ~RealFFFFilter() override { releaseScratch(); }

    RealFFFFilter(const RealFFFFilter&) = delete;
    RealFFFFilter& operator=(const RealFFFFilter&) = delete;

    // Spatial layout to half-spectrum layout. Returns no-error, the out-of-memory status (no
    // pass has run then) or the first status other than no-error from progress.
    int32_t forward(int32_t pass_index_in, int32_t pass_count_in) {
        return transform(+1, pass_index_in, pass_count_in);
    }

    // Half-spectrum layout back to the spatial layout (columns first, then the rows
    // 0 .. min(Nh, data_rows + 1) - 1).
    int32_t inverse(int32_t pass_index_in, int32_t pass_count_in) {
        return transform(-1, pass_index_in, pass_count_in);
    }

    // Set by the caller before each transform; clamped to 0 .. Nh.
    int32_t data_rows = 0;
    PixelArray<P> buffer;
    void* scratch[kScratchSlots] = {};
    int32_t fft_height = 0;
    int32_t fft_width = 0;
    std::atomic<int32_t> units_done{0};
    int32_t pass_index = 0;
    int32_t pass_count = 1;
    int32_t units_per_pass = 0;
    // The build of the vector kernels; null chooses the widest the processor runs. Results do
    // not depend on it (tests set it to compare the builds).
    const fft_vector::Kernels* kernels = nullptr;

private:
    int32_t transform(int direction, int32_t index, int32_t count) {
        checkBuffer(direction > 0 ? "forward" : "inverse");
        fft_width = buffer.width - 2;
        fft_height = buffer.height;
        data_rows = std::clamp(data_rows, int32_t{0}, fft_height);
        units_per_pass = data_rows + fft_width / 2 + 1;
        units_done.store(0);
        pass_index = index;
        pass_count = count;
        no_error_ = host->noError();
        kernels_ = kernels != nullptr ? kernels : &fft_vector::bestKernels();

        const int32_t elements = fft_width / 2;
        transform_rows_ = direction > 0 ? data_rows : std::min(fft_height, data_rows + 1);
        row_groups_ = (transform_rows_ + kRowGroup - 1) / kRowGroup;
        column_blocks_ = (elements + 1 + kColumnGroup - 1) / kColumnGroup;

        tables_memory_ = host->allocate(FftTables::bytes(elements, fft_height));
        if (tables_memory_ == nullptr) return host->outOfMemoryError();
        tables_ = FftTables::build(tables_memory_, elements, fft_height, direction);

        const size_t row_scratch = sizeof(float) * 2 * kRowLanes * size_t(elements + 1);
        const size_t column_scratch = sizeof(float) * 2 * kColumnLanes * size_t(fft_height);
        scratch_bytes_ = std::max(row_scratch, column_scratch);
        const int32_t slots = std::clamp(host->threadCount(-1), int32_t{1}, kScratchSlots);
        for (int32_t slot = 0; slot < slots; ++slot) {
            scratch[slot] = host->allocate(scratch_bytes_);
            if (scratch[slot] == nullptr) {
                releaseScratch();
                return host->outOfMemoryError();
            }
        }

        int32_t result = no_error_;
        if (direction > 0) {
            if (row_groups_ > 0) {
                result = host->runParallelOn<&RealFFFFilter::forwardRows>(row_groups_, this);
            }
            if (result == no_error_) {
                result = host->runParallelOn<&RealFFFFilter::columns>(column_blocks_, this);
            }
        } else {
            result = host->runParallelOn<&RealFFFFilter::columns>(column_blocks_, this);
            if (result == no_error_ && row_groups_ > 0) {
                result = host->runParallelOn<&RealFFFFilter::inverseRows>(row_groups_, this);
            }
        }
        releaseScratch();
        return result;
    }

    void checkBuffer(const char* operation) const {
        const int32_t width = buffer.width - 2;
        std::string problem;
        if (buffer.data == nullptr) {
            problem = "buffer has no data";
        } else if (width < 4 || !isPowerOfTwo(width)) {
            problem = "transform width " + std::to_string(width) +
                      " (buffer width minus 2) is not a power of two of at least 4";
        } else if (!isPowerOfTwo(buffer.height)) {
            problem =
                "transform height " + std::to_string(buffer.height) + " is not a power of two";
        } else if (buffer.row_bytes < buffer.width * int32_t(sizeof(P))) {
            problem = "row bytes " + std::to_string(buffer.row_bytes) + " below " +
                      std::to_string(buffer.width * int32_t(sizeof(P)));
        }
        if (!problem.empty()) {
            throw QuillbrookException(std::string("real FFT ") + operation + ": " + problem);
        }
    }

    void releaseScratch() {
        for (void*& block : scratch) {
            if (block != nullptr) host->release(block);
            block = nullptr;
        }
        if (tables_memory_ != nullptr) host->release(tables_memory_);
        tables_memory_ = nullptr;
    }

    float* rowFloats(int32_t y) const { return reinterpret_cast<float*>(buffer.row(y)); }

    // Reports `units` finished units, one call each; stops at the first status that is not
    // no-error and returns it.
    int32_t report(int32_t units) {
        for (int32_t u = 0; u < units; ++u) {
            const int32_t done = std::min(units_done.fetch_add(1) + 1, units_per_pass);
            const int32_t status =
                host->progress(done + units_per_pass * pass_index, units_per_pass * pass_count);
            if (status != no_error_) return status;
        }
        return no_error_;
    }

    // The scratch buffer of a thread slot; only that slot's thread touches the entry while a
    // pass runs. Null when the slot is out of range or its late allocation failed.
    float* scratchFor(int32_t slot) {
        if (slot < 0 || slot >= kScratchSlots) return nullptr;
        if (scratch[slot] == nullptr) scratch[slot] = host->allocate(scratch_bytes_);
        return static_cast<float*>(scratch[slot]);
    }

    // Rows of row group `group` as lane pointers (the last row repeated in a short group).
    void groupRows(int32_t group, float** rows, int32_t& count) const {
        const int32_t first = group * kRowGroup;
        count = std::min(kRowGroup, transform_rows_ - first);
        for (int g = 0; g < kRowGroup; ++g) rows[g] = rowFloats(first + std::min(g, count - 1));
    }

    int32_t forwardRows(int32_t group, int32_t, int32_t slot) {
        float* blocks = scratchFor(slot);
        if (blocks == nullptr) return host->outOfMemoryError();
        const int32_t n = fft_width / 2;
        float* rows[kRowGroup];
        int32_t count;
        groupRows(group, rows, count);
        fft_lanes::gatherRows<kChannels, kRowGroup>(blocks, rows, n, tables_.row_reverse);
        kernels_->butterflies(blocks, kRowLanes, n, tables_.row_wr, tables_.row_wi);
        kernels_->split_forward(blocks, kRowLanes, n, tables_.split_wr, tables_.split_wi);
        fft_lanes::scatterRows<kChannels, kRowGroup>(blocks, rows, count, n + 1);
        return report(count);
    }

    int32_t inverseRows(int32_t group, int32_t, int32_t slot) {
        float* blocks = scratchFor(slot);
        if (blocks == nullptr) return host->outOfMemoryError();
        const int32_t n = fft_width / 2;
        float* rows[kRowGroup];
        int32_t count;
        groupRows(group, rows, count);
        fft_lanes::gatherRows<kChannels, kRowGroup>(blocks, rows, n + 1, nullptr);
        kernels_->split_inverse(blocks, kRowLanes, n, tables_.split_wr, tables_.split_wi);
        kernels_->bit_reverse(blocks, kRowLanes, n, tables_.row_reverse);
        kernels_->butterflies(blocks, kRowLanes, n, tables_.row_wr, tables_.row_wi);
        fft_lanes::scatterRows<kChannels, kRowGroup>(blocks, rows, count, n);
        return report(count);
    }

    // One block of complex columns of the half spectrum, in either direction (the tables
    // carry it).
    int32_t columns(int32_t block, int32_t, int32_t slot) {
        float* blocks = scratchFor(slot);
        if (blocks == nullptr) return host->outOfMemoryError();
        const int32_t column = block * kColumnGroup;
        const int32_t count = std::min(kColumnGroup, fft_width / 2 + 1 - column);
        unsigned char* data = static_cast<unsigned char*>(buffer.data);
        const ptrdiff_t row_bytes = buffer.row_bytes;
        fft_lanes::gatherColumns<kChannels, kColumnGroup>(blocks, data, row_bytes, fft_height,
                                                          column, count, tables_.column_reverse);
        kernels_->butterflies(blocks, kColumnLanes, fft_height, tables_.column_wr,
                              tables_.column_wi);
        fft_lanes::scatterColumns<kChannels, kColumnGroup>(blocks, data, row_bytes, fft_height,
                                                           column, count);
        return report(count);
    }

    int32_t no_error_ = 0;
    const fft_vector::Kernels* kernels_ = nullptr;
    int32_t transform_rows_ = 0;
    int32_t row_groups_ = 0;
    int32_t column_blocks_ = 0;
    size_t scratch_bytes_ = 0;
    void* tables_memory_ = nullptr;
    FftTables tables_;
};
