#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "imaging/clear_image_filter.h"
#include "imaging/copy_image_filter.h"
#include "zblur/depth_display_filters.h"
#include "zblur/depth_levels.h"
#include "framework/host_block.h"
#include "imaging/hsl_selection.h"
#include "imaging/iris_kernel.h"
#include "zblur/level_floors.h"
#include "zblur/level_kernels.h"
#include "imaging/linear_light.h"
#include "framework/logger.h"
#include "imaging/outside_mode.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "zblur/row_sweep_loops.h"
#include "imaging/selection_picture.h"
#include "imaging/tiled_filter.h"
#include "zblur/tile_records.h"
#include "zblur/zblur_settings.h"

// The depth-of-field filter. For "normal blur" and "info density" every source pixel is
// spread over the iris kernel of its depth level, the spread levels are composited at every
// output pixel from the nearest level backwards until the pixel is covered, and what stays
// uncovered is filled from an estimate of the hidden background; highlights picked by the HSL
// range selection can be boosted. The other "show" values are per-pixel displays.
//
// The blur runs over tiles with a margin as wide as the largest kernel; each worker renders
// its tiles with its own set of buffers (see TileBuffers). A tile is rendered by five sweeps
// over its padded rows:
//   1. the depth level of every padded pixel (outside the image through the outside modes);
//   2. a pyramid of minima of the levels over squares of 2^k pixels;
//   3. every pixel's level floor: the lowest level inside the bounding box of its own level's
//      kernel, read from the pyramid; composition at a pixel never goes below its floor;
//   4. one source record per pixel (premultiplied, linear colour, selection weight, level);
//   5. row by row: every source whose kernel has a row there adds that row's weight changes
//      (times its colour) into a change row of its level, so a source costs work per weight
//      change of its kernel, never per covered pixel; running sums along the change rows give
//      every level's kernel-weighted sums at each column, which are composited front to back;
//      the average colour at and behind each pixel's own depth is deposited for the background
//      estimates, and the tile's own sources collect those deposits over their footprints.
// The running sums are integers (weights on a 1/65536 grid times colour on a fixed grid), so
// they are exact and do not depend on the order in which sources were added: one thread or
// many, any tile grid, any instruction set, the composite of a pixel is the same.
//
// P is the output's pixel type (RGBA 8, 16 or float: channel maximum 255, 32768 or 1), D the
// depth image's (RGBA of P, gray float or gray double). Source, selection and lens are of
// type P. Channel values are in P's own scale throughout.
template <class P, class D>
class ZblurFilter : public TiledFilter {
    static_assert(P::is_rgba, "the filter writes RGBA pixels");

public:
    static constexpr double kMax = P::max;
    static constexpr bool kFloat = P::is_float;

    ZblurFilter(QuillbrookHost* host_in, PixelArray<P> source_in, PixelArray<P> output_in,
                PixelArray<P> selection_in, PixelArray<D> depth_in, PixelArray<P> lens_in,
                const ZblurSettings& settings_in)
        : TiledFilter(host_in), source(source_in), output(output_in), selection(selection_in),
          depth(depth_in), lens(lens_in), settings(settings_in) {}

    ~ZblurFilter() override {
        free_memory();
        free_tables();
    }

    // Renders the frame into `output`; no-error, out-of-memory or the abort status.
    int32_t render();

    PixelArray<P> source;
    PixelArray<P> output;
    PixelArray<P> selection;
    PixelArray<D> depth;
    PixelArray<P> lens;
    ZblurSettings settings;
    // The behind layer (what lies behind the source's near objects, aligned by the origins)
    // and the depth level of each of its pixels, rows of behind.width bytes; unused unless
    // both are given. Set before render().
    PixelArray<P> behind;
    const uint8_t* behind_levels = nullptr;
    // A behind pixel is a source of its own only where the source pixel at the same place is
    // nearer by more than this many levels; closer than that it is the same surface.
    static constexpr int32_t kBehindLevelGap = 2;

    // For tests: the tile count of the last blur (after any refinement) and a cap on the
    // bytes the per-thread buffers may take (0: none), to exercise the refinement.
    int32_t tile_count() const { return tiles.count(); }
    size_t buffer_limit = 0;
    // For tests: a cap on the slots per row below the count of the levels present (0: none),
    // to exercise the failure the count rules out.
    int32_t slot_limit = 0;

protected:
    int32_t process_tile(int32_t tile, Rectangle tile_rect, int32_t thread_index) override;

private:
    // ---- per-thread memory ----------------------------------------------------------------

    using SourceRecord = ZblurSourceRecord;
    using HighlightRecord = ZblurHighlightRecord;
    // The colour sums are 64-bit on the frame's colour grid. A float frame whose value range
    // would make that grid coarser than 2^-kFineFloatShift instead sums in 128 bits on a grid
    // of 2^-40, every record keeping its colour as 23-bit values and a shift of its own
    // (wide_sums_): slower, and twice the memory per change entry.
    using WideSum = std::conditional_t<kFloat, __int128, int64_t>;
    template <class C>
    static C colour_term(int64_t dw, int64_t colour, int32_t shift) {
        if constexpr (sizeof(C) > sizeof(int64_t)) {
            return C(dw * colour) << shift;
        } else {
            (void)shift;
            return dw * colour;
        }
    }
    using BackgroundPrefix = ZblurBackgroundPrefix;
    static BackgroundPrefix prefix_of(const double* background) {
        return BackgroundPrefix{{float(background[0]), float(background[1]), float(background[2]),
                                 float(background[3]), float(background[4]), 0.0f, 0.0f, 0.0f}};
    }
    // A level present in the current row: its running sums, the deposits so far, and the
    // columns from the first to the last weight change of its sources in the row (last is Wp
    // when changes lie beyond the right edge); outside them its sums are zero.
    template <class C>
    struct LevelSlot {
        ZblurLevelSums<C> sum;
        ZblurLevelHighlight<C> highlight;
        double background[5];  // alpha, red, green, blue, weight
        int32_t first;
        int32_t last;
        int32_t level;
    };
    // The row sweep's per-worker state: the levels present in the row in slots of their own, in
    // the order of first use, and the same slots nearest level first.
    template <class C>
    struct RowLevels {
        int16_t slot_of[kDepthLevelCount];  // -1: the level has no slot in this row
        int32_t order[kDepthLevelCount];
        int32_t count;
        int32_t clean;  // slots whose change rows are known to be all zero
        LevelSlot<C> slots[kDepthLevelCount];
    };

    // One worker's buffers. Per padded-tile pixel (Wp x Hp): 61 bytes, 85 with highlights; per
    // slot (slot_capacity_ of them) and padded column: the weight changes and the background
    // prefixes of one row, 72 bytes (120 with highlights), the same for every pixel type, of
    // which only the slots of the levels present in a row are touched.
    struct TileBuffers {
        float* composite = nullptr;       // 16 bytes: alpha, red, green, blue (the level pyramid
                                          // of sweeps 2 and 3 before)
        float* keep = nullptr;            // 4 bytes: highlight keep factor (highlight kernels)
        float* coverage = nullptr;        // 4 bytes: coverage - 1 (the coordinate maps before)
        uint8_t* floor = nullptr;         // 1 byte: level floor
        SourceRecord* records = nullptr;  // 40 bytes
        HighlightRecord* selected = nullptr;  // 20 bytes (highlight kernels)
        // ZblurLevelSums<C> and ZblurLevelHighlight<C>, C the frame's colour sum type.
        void* changes = nullptr;             // slots x Wp: weight changes of the row per slot
        void* highlight_changes = nullptr;   // slots x Wp (highlight kernels)
        BackgroundPrefix* prefix = nullptr;  // slots x (Wp + 1)
        uint64_t* row_levels = nullptr;      // Hp x 4: levels present in each padded row
        void* levels = nullptr;              // RowLevels<C>, per worker, not per pixel
        // With a behind layer: 41 bytes per pixel and the levels of its sources per row.
        SourceRecord* behind = nullptr;         // 40 bytes: behind records
        uint8_t* own_levels = nullptr;          // 1 byte: the source's own levels
        uint64_t* behind_row_levels = nullptr;  // Hp x 4
    };
    // Bytes of one worker's buffers for a padded tile.
    size_t buffer_bytes(size_t wp, size_t hp) const;
    size_t change_bytes() const {
        return wide_sums_ ? sizeof(ZblurLevelSums<WideSum>) : sizeof(ZblurLevelSums<int64_t>);
    }
    size_t highlight_change_bytes() const {
        return wide_sums_ ? sizeof(ZblurLevelHighlight<WideSum>)
                          : sizeof(ZblurLevelHighlight<int64_t>);
    }
    size_t row_levels_bytes() const {
        return wide_sums_ ? sizeof(RowLevels<WideSum>) : sizeof(RowLevels<int64_t>);
    }

    int32_t init_all();
    void free_tables();
    int32_t init_memory(int32_t threads);
    // The number of levels with a kernel that padded pixels of the frame have.
    int32_t count_present_levels() const;
    // The source column (row) that output column x (row y) reads through the outside mode;
    // false when it lies outside the source.
    bool map_column(int32_t x, int32_t& sx) const {
        sx = x + output.origin_x - source.origin_x;
        return map_to_image(OutsideMode(settings.assume_h), source.width, sx);
    }
    bool map_row(int32_t y, int32_t& sy) const {
        sy = y + output.origin_y - source.origin_y;
        return map_to_image(OutsideMode(settings.assume_v), source.height, sy);
    }
    void free_memory();
    int32_t render_blur();
    int32_t render_iris();
    int32_t copy_source();

    // ---- the tile kernel, in the order of its sweeps ----------------------------------------

    // One tile's geometry and working memory, handed from stage to stage. Padded pixel (i, j)
    // stands for output pixel (x0 - mx + i, y0 - my + j).
    template <class C>
    struct TileSweep {
        TileBuffers& b;
        RowLevels<C>& L;
        ZblurLevelSums<C>* changes;                 // slots x wp
        ZblurLevelHighlight<C>* highlight_changes;  // slots x wp (highlight kernels)
        int32_t tile;
        int32_t x0, y0, tw, th;  // the tile's own pixels
        int32_t wp, hp;          // the padded tile
        size_t pixels;           // wp x hp
        size_t prefix_stride;    // wp + 1
        // Coordinate maps (in the coverage buffer until sweep 5): the source column and row of
        // every padded column and row, and whether an image pixel lies there.
        int32_t* column_map;
        int32_t* column_inside;
        int32_t* row_map;
        int32_t* row_inside;
        uint8_t* pyramid;  // the level pyramid of sweeps 1 to 3, in the composite buffer
        int32_t planes = 1;
        bool slots_exhausted = false;
        // Progress counts five sweeps of the largest padded tile's rows for every tile.
        int64_t tile_rows = 0;
        int32_t progress_total = 0;
        int64_t rows_done = 0;
    };
    // The composition of one column in sweep 5: coverage, composite, the sums at and behind
    // the pixel's own depth for its background deposit, and the highlight sums.
    struct ColumnSums {
        double g = 0.0;
        double ca = 0.0, cr = 0.0, cg = 0.0, cb = 0.0;
        double da = 0.0, dr = 0.0, dg = 0.0, db = 0.0, dw = 0.0;
        double ha = 0.0, hr = 0.0, hg = 0.0, hb = 0.0, hs = 0.0, hu = 0.0;
    };

    template <bool kHighlights, class C>
    int32_t render_tile(Rectangle tile_rect, int32_t tile, TileBuffers& b);
    template <class C>
    TileSweep<C> begin_tile(Rectangle tile_rect, int32_t tile, TileBuffers& b) const;
    // One padded row done: the progress report, whose status stops the tile when not ok.
    template <class C>
    int32_t report_row(TileSweep<C>& t) const;
    // Sweep 1: the depth levels of padded row j, into plane 0 of the pyramid.
    template <class C>
    void level_row(TileSweep<C>& t, int32_t j) const;
    // Sweep 4: the source records of padded row j, and the levels present in it.
    template <bool kHighlights, class C>
    void record_row(TileSweep<C>& t, int32_t j) const;
    // Sweep 5, per padded row r: scatter, composition, collection, then the slots let go.
    template <bool kHighlights, class C>
    void scatter_row(TileSweep<C>& t, int32_t r) const;
    template <class C>
    static void order_slots(RowLevels<C>& L);
    template <bool kHighlights, class C>
    void composite_row(TileSweep<C>& t, int32_t r) const;
    template <bool kHighlights, class C>
    [[gnu::always_inline]] inline void composite_column(TileSweep<C>& t, int32_t x, int32_t own,
                                                        int32_t floor, ColumnSums& s) const;
    template <class C>
    [[gnu::always_inline]] static inline void deposit_background(RowLevels<C>& L, int32_t x,
                                                                 int32_t own, const ColumnSums& s);
    template <bool kHighlights>
    [[gnu::always_inline]] inline void finish_composite(ColumnSums& s, float* keep) const;
    template <class C>
    void collect_row(TileSweep<C>& t, int32_t r) const;
    template <class C>
    static void release_row_slots(TileSweep<C>& t);
    // The tile's own pixels, from the composite, coverage and background estimates.
    template <bool kHighlights, class C>
    void write_tile_output(const TileSweep<C>& t) const;

    // The slot of `level` in the current row, made on first use; -1 when the slots are used
    // up, which the count of the levels present rules out (the tile then fails rather than
    // overrun).
    template <bool kHighlights, class C>
    [[gnu::always_inline]] inline int32_t slot_for(TileSweep<C>& t, int32_t level) const;
    // Whether a level of padded row j has a kernel row at offset kr, among the levels present
    // in `rows` (Hp x 4 words: the source's or the behind layer's).
    template <class C>
    bool row_reaches(const TileSweep<C>& t, int32_t j, int32_t kr) const {
        return rows_reach(t.b.row_levels, j, kr);
    }
    bool rows_reach(const uint64_t* rows, int32_t j, int32_t kr) const {
        const uint64_t* present = rows + size_t(j) * 4;
        const uint64_t* reaching = kernel_rows_ + size_t(kr + margin_y_) * 4;
        return ((present[0] & reaching[0]) | (present[1] & reaching[1]) |
                (present[2] & reaching[2]) | (present[3] & reaching[3])) != 0;
    }
    // Calls visit(level, steps, first, end, x_first, x_last) for every run [first, end) of
    // sources of one level in columns from .. to - 1 of a padded row whose kernel has changes
    // in its row kr (steps, from offset x_first to x_last) and whose first change lies left
    // of the padded tile's right edge (wp). A run of one level shares its kernel row. With
    // kSkipSilent, records marked silent are passed over (their runs are 1 long).
    template <bool kSkipSilent = false, class Visit>
    [[gnu::always_inline]] inline void for_each_run(const SourceRecord* row, int32_t from,
                                                    int32_t to, int32_t kr, int32_t wp,
                                                    Visit&& visit) const {
        for (int32_t next = from; next < to;) {
            if constexpr (kSkipSilent) {
                if ((row[next].flags & kZblurRecordSilent) != 0) {
                    ++next;
                    continue;
                }
            }
            const int32_t level = row[next].level;
            const int32_t run_first = next;
            next = std::min(next + int32_t(row[next].run), to);
            const LevelKernel& k = kernels_[level];
            if (k.empty() || kr < k.first_row || kr > k.last_row) continue;
            const LevelStep* steps = k.row(kr);
            if (steps->x == kIrisRowEnd) continue;
            const int32_t x_first = steps[0].x;
            if (run_first + x_first >= wp) continue;
            int32_t x_last = x_first;
            for (const LevelStep* s = steps + 1; s->x != kIrisRowEnd; ++s) x_last = s->x;
            visit(level, steps, run_first, next, x_first, x_last);
        }
    }

    // Source colour of padded column/row (mapped coordinates), premultiplied and linear. With
    // `later`, float colours are left for linearise_chunk() to make linear.
    void read_colour(int32_t sx, int32_t sy, bool inside, double* colour, bool later = false) const;
    // A pixel's channels (cut to finite values for float pixels), premultiplied when the image
    // is not, then linearised as the source's colours are.
    void prepared_colour(ChannelValues v, bool premultiplied, double* colour,
                         bool later = false) const;
    void linearised_colour(double a, double r, double g, double b, double* colour,
                           bool later = false) const;
    // Whether the colours are made linear (gamma, and a "show" that blurs).
    bool linearises() const {
        return settings.show <= kZblurShowHighlightSelection && settings.gamma;
    }
    // Float pixels: the colours a chunk of records read with `later` are made linear in one
    // call of the vector transfer function, which gives every value what a call for its pixel
    // alone gives; one call per pixel cost a tenth of a float frame.
    static constexpr int32_t kColourChunk = 64;
    void linearise_chunk(double (*colours)[4], int32_t n) const;
    // The behind pixel at source pixel (sx, sy) (inside: the mapped coordinates lie in the
    // source), its colour as read_colour() gives it and its level; false where there is none
    // (outside the source or the behind layer, or not opaque at all).
    bool read_behind(int32_t sx, int32_t sy, bool inside, double* colour, int32_t& level,
                     bool later = false) const;
    // The same test without the colour: whether there is a behind pixel, and its level.
    bool read_behind_level(int32_t sx, int32_t sy, bool inside, int32_t& level) const;
    // Sweep 1 with a behind layer: padded row j's behind records; plane 0 of the pyramid takes
    // the levels of those that count, which are lower than the source's own there.
    template <class C>
    void behind_row(TileSweep<C>& t, int32_t j) const;
    // One behind record from its linear colour and level (-1: no behind pixel there); the
    // source's level there, `own`, becomes the behind pixel's where that counts.
    void behind_record(SourceRecord& rec, const double* colour, int32_t level, uint8_t& own,
                       uint64_t* present) const;
    double read_selection(int32_t sx, int32_t sy, bool inside) const;
    // Puts a record's colour on the frame's colour grid.
    void quantise(const double* colour, SourceRecord& rec) const;
    // Float pixels: the colour grid of the frame, 2^-shift channel units, from a bound of the
    // magnitudes the records can take (the source's value range through premultiplication,
    // outside colour and linearisation) and of the level kernels' weights.
    int32_t float_colour_shift() const;
    // Sets the colour grid of the frame (colour_shift_ and what follows from it, wide_sums_).
    void choose_colour_grid();

    // Sizes of the padded tile of the current grid.
    int32_t padded_width() const;
    int32_t padded_height() const;

    float* table_c_ = nullptr;
    float* table_l_ = nullptr;
    float* table_g_ = nullptr;
    LevelRadii radii_{};
    LevelKernelSet kernels_;
    DepthReader<D> depth_reader_;
    PreparedSelection prepared_selection_;
    TileBuffers* buffers_ = nullptr;  // one per thread, from the render context
    // Levels whose kernels have a row at each row offset -my .. my (4 words each), shared.
    uint64_t* kernel_rows_ = nullptr;
    // Slots per row: the number of levels with a kernel found in the padded frame.
    int32_t slot_capacity_ = kDepthLevelCount;
    int32_t buffer_count_ = 0;
    int32_t margin_x_ = 0;
    int32_t margin_y_ = 0;
    bool highlights_ = false;
    bool behind_on_ = false;
    int32_t colour_shift_ = 0;   // colours are stored times 2^colour_shift_
    double colour_scale_ = 1.0;  // 2^colour_shift_
    double colour_unit_ = 1.0;   // 2^-colour_shift_
    bool wide_sums_ = false;     // float frames: 128-bit sums, a shift per record
    // Per-level factors from the integer sums to weights and colours.
    std::array<double, kDepthLevelCount> weight_norm_{};
    std::array<double, kDepthLevelCount> colour_norm_{};
};

// ---- implementation -------------------------------------------------------------------------

namespace zblur_detail {

// Largest magnitude a float channel may have on its way into the integer sums (2^20); larger
// values (and infinities) are cut to it, NaN counts as 0.
inline constexpr double kFloatChannelLimit = 1048576.0;
// Integer pixels: the colour grid keeps every stored channel below 2^23, so that a sum over any
// kernel fits 64 bits (weights 2^16 per pixel, kernels up to 2^22 pixels).
inline constexpr int32_t kColourBits = 23;
inline constexpr double kSelectionScale = 8388608.0;  // 2^23
// Float pixels: the colour grid of a frame keeps every record's channels below 2^30 (half the
// 32-bit range, room for a transfer function that overshoots its bound a little) and every sum
// of a kernel's weights times colours below 2^62.
inline constexpr int32_t kFloatColourBits = 30;
inline constexpr int32_t kSumBits = 62;
// The coarsest frame grid of float colours that 64-bit sums may use: 2^-24 channel units, the
// spacing of single precision values just below 1. Frames whose value range or kernels need a
// coarser grid sum in 128 bits on the grid of 2^-kWideSumBits units instead, each record
// keeping a 23-bit colour and a shift of its own.
inline constexpr int32_t kFineFloatShift = 24;
inline constexpr int32_t kWideSumBits = 40;
// The finest frame grid: finer than any colour a record keeps in practice; a frame of zeros
// gets it too.
inline constexpr int32_t kMaxFloatShift = 200;

// A colour sum as a double, the same way every time.
inline double to_double(__int128 v) {
    return double(int64_t(v >> 64)) * 18446744073709551616.0 + double(uint64_t(v));
}
inline double to_double(int64_t v) { return double(v); }

inline double finite_channel(double v) {
    if (!(v == v)) return 0.0;
    return std::clamp(v, -kFloatChannelLimit, kFloatChannelLimit);
}

}  // namespace zblur_detail

template <class P, class D>
int32_t ZblurFilter<P, D>::padded_width() const {
    const int32_t last = tiles.width - (tiles.cols - 1) * (tiles.width / tiles.cols);
    return last + 2 * margin_x_;
}

template <class P, class D>
int32_t ZblurFilter<P, D>::padded_height() const {
    const int32_t last = tiles.height - (tiles.rows - 1) * (tiles.height / tiles.rows);
    return last + 2 * margin_y_;
}

template <class P, class D>
int32_t ZblurFilter<P, D>::render() {
    LogEntry() << "render()\n";
    LogEntry() << "render frame:" << host->currentFrame() << " size:" << source.width << "x"
               << source.height << "\n";
    int32_t status = init_all();
    if (status == host->noError()) {
        switch (settings.show) {
            case kZblurShowIris:
                status = render_iris();
                break;
            case kZblurShowDepthBuffer: {
                DepthBufferDisplayFilter<P, D> display(host, output, depth, settings, table_c_);
                status = display.render(0, 1);
                break;
            }
            case kZblurShowSharpZone: {
                SharpZoneDisplayFilter<P, D> display(host, source, output, depth, settings,
                                                     table_c_);
                status = display.render(0, 1);
                break;
            }
            case kZblurShowHighlightSelection:
            case kZblurShowHighlightSelectionOnly:
                status =
                    render_selection_picture(host, source, output, selection, settings.selection,
                                             settings.show == kZblurShowHighlightSelectionOnly);
                break;
            case kZblurShowNormalBlur:
            case kZblurShowInfoDensity:
            default:
                status = settings.radius == 0.0 ? copy_source() : render_blur();
                break;
        }
    }
    free_tables();
    LogEntry() << "return (" << status << ")\n";
    return status;
}

template <class P, class D>
int32_t ZblurFilter<P, D>::init_all() {
    LogEntry() << "init_all()\n";
    int32_t status = host->noError();
    const size_t table_bytes = size_t(kDepthTableSize) * sizeof(float);
    table_c_ = static_cast<float*>(host->allocate(table_bytes));
    table_l_ = static_cast<float*>(host->allocate(table_bytes));
    table_g_ = static_cast<float*>(host->allocate(table_bytes));
    if (table_c_ == nullptr || table_l_ == nullptr || table_g_ == nullptr) {
        status = host->outOfMemoryError();
    } else {
        fill_curve_table(table_c_, settings.curve);
        fill_linearise_table(table_l_, kMax);
        fill_gamma_table(table_g_, kMax);
        radii_ = level_radii(settings, output.factor_a);
        depth_reader_ =
            DepthReader<D>(depth, source.origin_x, source.origin_y, depth_rule(settings), table_c_);
        const bool blur =
            settings.show == kZblurShowNormalBlur || settings.show == kZblurShowInfoDensity ||
            (settings.show < kZblurShowNormalBlur || settings.show > kZblurShowSharpZone);
        if (blur && settings.radius != 0.0) {
            if (lens.data != nullptr && lens.width > 0 && lens.height > 0) {
                status = kernels_.build_from_lens(host, lens, radii_);
            } else {
                status = kernels_.build_polygons(host, settings, radii_);
            }
        }
    }
    LogEntry() << "return (" << status << ")\n";
    return status;
}

template <class P, class D>
void ZblurFilter<P, D>::free_tables() {
    host->release(table_c_);
    host->release(table_l_);
    host->release(table_g_);
    table_c_ = table_l_ = table_g_ = nullptr;
    kernels_.release();
}

template <class P, class D>
int32_t ZblurFilter<P, D>::copy_source() {
    CopyImageFilter<P, P> copy(host, source, output);
    copy.premultiply_mode =
        output.premultiplied ? PremultiplyMode::kPremultiplied : PremultiplyMode::kStraight;
    copy.offset_x = output.origin_x - source.origin_x;
    copy.offset_y = output.origin_y - source.origin_y;
    return copy.render(0, 1);
}

template <class P, class D>
int32_t ZblurFilter<P, D>::render_iris() {
    if (output.data == nullptr) return host->noError();
    for (int32_t y = 0; y < output.height; ++y) {
        P* row = output.row(y);
        for (int32_t x = 0; x < output.width; ++x)
            write_rgba(row[x], ChannelValues{kMax, 0.0, 0.0, 0.0});
    }
    const double sx = settings.scale_x > 0.0 ? settings.scale_x : 1.0;
    const double sy = settings.scale_y > 0.0 ? settings.scale_y : 1.0;
    double u = 50.0 * (output.height * sy * 0.0020833333333333333 + output.width * sx * 0.0015625);
    if (output.width * sx < 2.0 * u) u = output.width * sx * 0.5 - 1.0;
    if (output.height * sy < 2.0 * u) u = output.height * sy * 0.5 - 1.0;
    if (!(u > 0.0)) return host->noError();
    const double aspect = output.factor_a > 0.0 ? output.factor_a : 1.0;
    const double ex = u / (aspect * sx) * (1.0 + settings.aspect);
    const double ry = u / sy * (1.0 - settings.aspect);
    const double q = ex != 0.0 ? ry / ex : ry;

    IrisKernel kernel;
    int32_t status = host->noError();
    if (lens.data != nullptr && lens.width > 0 && lens.height > 0) {
        LevelRadii one{};
        for (LevelRadius& r : one) r = LevelRadius{ex, ry, ex, q};
        // The lens kernel is built as for a level; one level of the set is enough.
        LevelKernelSet set;
        status = set.build_from_lens(host, lens, one);
        if (status != host->noError()) return status;
        const LevelKernel& k = set[0];
        if (k.empty()) return host->noError();
        const int32_t cx = output.width / 2;
        const int32_t cy = output.height / 2;
        for (int32_t y = k.first_row; y <= k.last_row; ++y) {
            const int32_t oy = cy + y;
            if (oy < 0 || oy >= output.height) continue;
            P* row = output.row(oy);
            int64_t run = 0;
            const LevelStep* s = k.row(y);
            for (int32_t x = std::max(0, cx + k.left); x < std::min(output.width, cx + k.right + 1);
                 ++x) {
                while (s->x != kIrisRowEnd && cx + s->x <= x) run += (s++)->weight_step;
                const double v = double(run) / kLevelWeightScale * kMax;
                write_rgba(row[x], ChannelValues{kMax, v, v, v});
            }
        }
        return host->noError();
    }
    const HostBlock storage =
        HostBlock::allocate(*host, polygon_kernel_size(q, ex, settings.border_brightness));
    if (!storage) return host->outOfMemoryError();
    status = build_polygon_kernel(storage.get(), settings.facets, host, ex, settings.rounded,
                                  settings.angle, settings.border_thickness,
                                  settings.border_brightness, q, kernel);
    if (status == host->noError()) {
        const int32_t cx = output.width / 2;
        const int32_t cy = output.height / 2;
        for (int32_t y = kernel.first_row; y <= kernel.last_row; ++y) {
            const int32_t oy = cy + y;
            if (oy < 0 || oy >= output.height) continue;
            P* row = output.row(oy);
            const IrisStep* s = kernel.row(y);
            const int32_t count = kernel.count(y);
            double run = 0.0;
            int32_t j = 0;
            const int32_t from = count > 0 ? std::max(0, cx + s[0].x) : output.width;
            for (int32_t x = from; x < output.width; ++x) {
                while (j < count && cx + s[j].x <= x) run += double(s[j++].step);
                if (j == count && run == 0.0) break;
                const double v = clamp_to_max<P>(run * kMax);
                write_rgba(row[x], ChannelValues{kMax, v, v, v});
            }
        }
    }
    return status;
}

template <class P, class D>
int32_t ZblurFilter<P, D>::render_blur() {
    if (output.data == nullptr || output.width <= 0 || output.height <= 0) return host->noError();
    // A source without pixels is all outside: the outside modes find no pixel to map to.
    if (source.data == nullptr) {
        source.width = 0;
        source.height = 0;
    }
    const int32_t n = host->threadCount(999999);
    double largest_ex = 0.0;
    double largest_ry = 0.0;
    for (const LevelRadius& r : radii_) {
        if (std::isfinite(r.ex)) largest_ex = std::max(largest_ex, r.ex);
        if (std::isfinite(r.ry)) largest_ry = std::max(largest_ry, r.ry);
    }
    // The margins must hold every kernel: the builder can make a kernel taller than its
    // vertical radius (its ratio is at least 0.05), so the built reach counts too.
    margin_x_ = std::max(int32_t(std::ceil(std::min(largest_ex, 65536.0))), kernels_.reach_x());
    margin_y_ = std::max(int32_t(std::ceil(std::min(largest_ry, 65536.0))), kernels_.reach_y());
    tiles.init(output.width, output.height, Rectangle{-margin_x_, margin_x_, -margin_y_, margin_y_},
               n);
    highlights_ = settings.selection.enabled && settings.highlight > 0.0;
    behind_on_ = behind.data != nullptr && behind.width > 0 && behind.height > 0 &&
                 behind_levels != nullptr;
    slot_capacity_ = count_present_levels();
    if (slot_limit > 0) slot_capacity_ = std::min(slot_capacity_, slot_limit);
    choose_colour_grid();

    int32_t status = init_memory(n);
    while (status == host->outOfMemoryError()) {
        if (!tiles.increase()) break;
        status = init_memory(n);
    }
    if (status != host->noError()) return status;

    const int32_t workers = std::min(tiles.count(), n);
    LogEntry() << "thread count  = " << workers << "\n";
    LogEntry() << "highlights=" << (highlights_ ? 1 : 0) << "\n";
    prepared_selection_ = prepare_selection(settings.selection);

    status = run_tiles(workers);
    free_memory();
    return status;
}

template <class P, class D>
void ZblurFilter<P, D>::choose_colour_grid() {
    // 2^-15 (8-bit) or 2^-7 (16-bit) channel units; for float pixels a power of two chosen
    // from the frame's value range, or 2^-40 with 128-bit sums where that grid would be
    // coarser than 2^-24.
    wide_sums_ = false;
    if constexpr (kFloat) {
        colour_shift_ = float_colour_shift();
        wide_sums_ = colour_shift_ < zblur_detail::kFineFloatShift;
        if (wide_sums_) colour_shift_ = zblur_detail::kWideSumBits;
    } else {
        colour_shift_ = zblur_detail::kColourBits - (P::max_value == 255 ? 8 : 16);
    }
    colour_scale_ = std::ldexp(1.0, colour_shift_);
    colour_unit_ = std::ldexp(1.0, -colour_shift_);
    for (int32_t level = 0; level < kDepthLevelCount; ++level) {
        weight_norm_[size_t(level)] = kernels_[level].norm;
        colour_norm_[size_t(level)] = kernels_[level].norm * colour_unit_;
    }
}

template <class P, class D>
size_t ZblurFilter<P, D>::buffer_bytes(size_t wp, size_t hp) const {
    const size_t pixels = wp * hp;
    const size_t slots = size_t(slot_capacity_);
    size_t bytes =
        pixels * (16 + 4 + 1 + sizeof(SourceRecord)) + std::max(pixels, 2 * (wp + hp)) * 4;
    bytes += slots * wp * change_bytes() + slots * (wp + 1) * sizeof(BackgroundPrefix);
    if (highlights_)
        bytes += pixels * (4 + sizeof(HighlightRecord)) + slots * wp * highlight_change_bytes();
    if (behind_on_) bytes += pixels * (sizeof(SourceRecord) + 1) + hp * 4 * sizeof(uint64_t);
    return bytes + hp * 4 * sizeof(uint64_t) + row_levels_bytes();
}

template <class P, class D>
int32_t ZblurFilter<P, D>::count_present_levels() const {
    // The same coordinates as sweep 1 of every tile reads, over the padded frame that holds
    // every padded tile.
    uint64_t found[4] = {0, 0, 0, 0};
    for (int32_t y = -margin_y_; y < output.height + margin_y_; ++y) {
        int32_t sy = 0;
        const bool row_inside = map_row(y, sy);
        for (int32_t x = -margin_x_; x < output.width + margin_x_; ++x) {
            int32_t sx = 0;
            const bool column_inside = map_column(x, sx);
            const int32_t level = depth_reader_.level(sx, sy);
            found[level >> 6] |= uint64_t(1) << (level & 63);
            if (behind_on_) {
                int32_t behind_level = 0;
                if (read_behind_level(sx, sy, row_inside && column_inside, behind_level) &&
                    level - behind_level > kBehindLevelGap)
                    found[behind_level >> 6] |= uint64_t(1) << (behind_level & 63);
            }
        }
    }
    int32_t count = 0;
    for (int32_t level = 0; level < kDepthLevelCount; ++level)
        if ((found[level >> 6] >> (level & 63) & 1) != 0 && !kernels_[level].empty()) ++count;
    return std::max(count, 1);
}

template <class P, class D>
int32_t ZblurFilter<P, D>::init_memory(int32_t threads) {
    LogEntry() << "init_memory (cpus: " << threads << ")\n";
    free_memory();
    const size_t wp = size_t(padded_width());
    const size_t hp = size_t(padded_height());
    const size_t pixels = wp * hp;
    const size_t slots = size_t(slot_capacity_);
    int32_t status = host->noError();
    // Padded rows and columns are indexed with 32-bit numbers; bigger tiles are refined like
    // tiles that do not fit in memory.
    if (wp > 65535 || hp > 65535 || pixels > size_t(std::numeric_limits<int32_t>::max()) ||
        (buffer_limit != 0 && buffer_bytes(wp, hp) * size_t(threads) > buffer_limit)) {
        status = host->outOfMemoryError();
    } else {
        const size_t coverage_entries = std::max(pixels, 2 * (wp + hp));
        const size_t offsets = 2 * size_t(margin_y_) + 1;
        kernel_rows_ = static_cast<uint64_t*>(host->allocate(offsets * 4 * sizeof(uint64_t)));
        buffers_ = static_cast<TileBuffers*>(host->allocate(sizeof(TileBuffers) * size_t(threads)));
        if (buffers_ == nullptr || kernel_rows_ == nullptr) {
            status = host->outOfMemoryError();
        } else {
            std::fill(kernel_rows_, kernel_rows_ + offsets * 4, uint64_t(0));
            for (int32_t level = 0; level < kDepthLevelCount; ++level) {
                const LevelKernel& k = kernels_[level];
                if (k.empty()) continue;
                for (int32_t kr = std::max(k.first_row, -margin_y_);
                     kr <= std::min(k.last_row, margin_y_); ++kr)
                    kernel_rows_[size_t(kr + margin_y_) * 4 + size_t(level >> 6)] |=
                        uint64_t(1) << (level & 63);
            }
            buffer_count_ = threads;
            for (int32_t t = 0; t < threads; ++t) new (&buffers_[t]) TileBuffers();
            for (int32_t t = 0; t < threads && status == host->noError(); ++t) {
                TileBuffers& b = buffers_[t];
                b.composite = static_cast<float*>(host->allocate(pixels * 16));
                b.coverage = static_cast<float*>(host->allocate(coverage_entries * 4));
                b.floor = static_cast<uint8_t*>(host->allocate(pixels));
                b.records =
                    static_cast<SourceRecord*>(host->allocate(pixels * sizeof(SourceRecord)));
                b.changes = host->allocate(slots * wp * change_bytes());
                b.prefix = static_cast<BackgroundPrefix*>(
                    host->allocate(slots * (wp + 1) * sizeof(BackgroundPrefix)));
                b.row_levels = static_cast<uint64_t*>(host->allocate(hp * 4 * sizeof(uint64_t)));
                b.levels = host->allocate(row_levels_bytes());
                bool ok = b.composite != nullptr && b.coverage != nullptr && b.floor != nullptr &&
                          b.records != nullptr && b.changes != nullptr && b.prefix != nullptr &&
                          b.row_levels != nullptr && b.levels != nullptr;
                if (behind_on_) {
                    b.behind =
                        static_cast<SourceRecord*>(host->allocate(pixels * sizeof(SourceRecord)));
                    b.own_levels = static_cast<uint8_t*>(host->allocate(pixels));
                    b.behind_row_levels =
                        static_cast<uint64_t*>(host->allocate(hp * 4 * sizeof(uint64_t)));
                    ok = ok && b.behind != nullptr && b.own_levels != nullptr &&
                         b.behind_row_levels != nullptr;
                }
                if (highlights_) {
                    b.keep = static_cast<float*>(host->allocate(pixels * 4));
                    b.selected = static_cast<HighlightRecord*>(
                        host->allocate(pixels * sizeof(HighlightRecord)));
                    b.highlight_changes = host->allocate(slots * wp * highlight_change_bytes());
                    ok = ok && b.keep != nullptr && b.selected != nullptr &&
                         b.highlight_changes != nullptr;
                }
                if (!ok) status = host->outOfMemoryError();
            }
        }
        if (status != host->noError()) free_memory();
    }
    LogEntry() << "return (" << status << ")\n";
    return status;
}

template <class P, class D>
void ZblurFilter<P, D>::free_memory() {
    host->release(kernel_rows_);
    kernel_rows_ = nullptr;
    if (buffers_ == nullptr) return;
    LogEntry() << "free_memory (cpus: " << buffer_count_ << ")\n";
    for (int32_t t = 0; t < buffer_count_; ++t) {
        TileBuffers& b = buffers_[t];
        host->release(b.composite);
        host->release(b.keep);
        host->release(b.coverage);
        host->release(b.floor);
        host->release(b.records);
        host->release(b.selected);
        host->release(b.changes);
        host->release(b.highlight_changes);
        host->release(b.prefix);
        host->release(b.row_levels);
        host->release(b.levels);
        host->release(b.behind);
        host->release(b.own_levels);
        host->release(b.behind_row_levels);
    }
    host->release(buffers_);
    buffers_ = nullptr;
    buffer_count_ = 0;
}

template <class P, class D>
void ZblurFilter<P, D>::quantise(const double* colour, SourceRecord& rec) const {
    // The grids keep values inside these limits; the cut is a safety net that no bound of
    // float_colour_shift() should ever need.
    double limit = kFloat ? 2147483647.0 : 8388607.0;
    double scale = colour_scale_;
    rec.shift = 0;
    if (kFloat && wide_sums_) {
        double largest = 0.0;
        for (int c = 0; c < 4; ++c) largest = std::max(largest, std::fabs(colour[c]));
        int exponent = 0;
        std::frexp(largest, &exponent);
        // Below 2^22 after scaling; small values keep the sums' full grid.
        const int32_t shift = std::min(zblur_detail::kWideSumBits, 22 - exponent);
        rec.shift = uint8_t(zblur_detail::kWideSumBits - shift);
        scale = std::ldexp(1.0, shift);
        limit = 8388607.0;
    }
    for (int c = 0; c < 4; ++c)
        rec.colour[c] = int32_t(std::clamp(std::nearbyint(colour[c] * scale), -limit, limit));
}

template <class P, class D>
int32_t ZblurFilter<P, D>::float_colour_shift() const {
    // The largest magnitudes of alpha and of the colour channels read from an image (the
    // source, and the behind layer when there is one), as read_colour() cuts them.
    const auto largest = [](const PixelArray<P>& image, double& alpha, double& colour) {
        alpha = 0.0;
        colour = 0.0;
        for (int32_t y = 0; y < image.height; ++y) {
            const P* row = image.row(y);
            for (int32_t x = 0; x < image.width; ++x) {
                const ChannelValues v = read_rgba(row[x]);
                alpha = std::max(alpha, std::fabs(zblur_detail::finite_channel(v.a)));
                colour = std::max({colour, std::fabs(zblur_detail::finite_channel(v.r)),
                                   std::fabs(zblur_detail::finite_channel(v.g)),
                                   std::fabs(zblur_detail::finite_channel(v.b))});
            }
        }
        if (!image.premultiplied) colour *= alpha;
    };
    double alpha = 0.0, colour = 0.0;
    largest(source, alpha, colour);
    if (behind_on_) {
        double behind_alpha = 0.0, behind_colour = 0.0;
        largest(behind, behind_alpha, behind_colour);
        alpha = std::max(alpha, behind_alpha);
        colour = std::max(colour, behind_colour);
    }
    if (OutsideMode(settings.assume_h) == OutsideMode::color ||
        OutsideMode(settings.assume_v) == OutsideMode::color || source.width <= 0 ||
        source.height <= 0) {
        alpha = std::max(alpha, std::fabs(double(settings.outside_alpha)) * kMax);
        colour = std::max({colour, std::fabs(double(settings.outside_red)) * kMax,
                           std::fabs(double(settings.outside_green)) * kMax,
                           std::fabs(double(settings.outside_blue)) * kMax});
    }
    if (settings.gamma && settings.show <= kZblurShowHighlightSelection) {
        // Linear below the joint (0.2222 times the value, negatives included),
        // increasing above it.
        colour = std::max(colour * 0.2222222222222222, bt709_to_linear(colour));
    }
    colour = zblur_detail::finite_channel(colour);
    int value_bits = 0;
    std::frexp(std::max(alpha, colour), &value_bits);  // values < 2^value_bits
    double magnitude = 1.0;
    for (int32_t level = 0; level < kDepthLevelCount; ++level)
        magnitude = std::max(magnitude, kernels_[level].magnitude);
    int weight_bits = 0;
    std::frexp(magnitude, &weight_bits);
    const int32_t shift = std::min(zblur_detail::kFloatColourBits - value_bits,
                                   zblur_detail::kSumBits - value_bits - weight_bits);
    return std::min(shift, zblur_detail::kMaxFloatShift);
}

template <class P, class D>
void ZblurFilter<P, D>::read_colour(int32_t sx, int32_t sy, bool inside, double* colour,
                                    bool later) const {
    if (inside) {
        prepared_colour(read_rgba(source.at(sx, sy)), source.premultiplied, colour, later);
        return;
    }
    linearised_colour(double(settings.outside_alpha) * kMax, double(settings.outside_red) * kMax,
                      double(settings.outside_green) * kMax, double(settings.outside_blue) * kMax,
                      colour, later);
}

template <class P, class D>
void ZblurFilter<P, D>::prepared_colour(ChannelValues v, bool premultiplied, double* colour,
                                        bool later) const {
    double a = v.a, r = v.r, g = v.g, b = v.b;
    if constexpr (kFloat) {
        a = zblur_detail::finite_channel(a);
        r = zblur_detail::finite_channel(r);
        g = zblur_detail::finite_channel(g);
        b = zblur_detail::finite_channel(b);
    }
    if (!premultiplied) {
        const double f = a * inverse_max_v<P>;
        r *= f;
        g *= f;
        b *= f;
    }
    linearised_colour(a, r, g, b, colour, later);
}

template <class P, class D>
void ZblurFilter<P, D>::linearised_colour(double a, double r, double g, double b, double* colour,
                                          bool later) const {
    if (kFloat && later) {
        colour[0] = a;
        colour[1] = r;
        colour[2] = g;
        colour[3] = b;
        return;
    }
    if (linearises()) {
        if constexpr (kFloat) {
            double rgb[3] = {r, g, b};
            bt709_to_linear_row(rgb, rgb, 3);
            r = rgb[0];
            g = rgb[1];
            b = rgb[2];
        } else {
            r = table_l_[depth_table_index(r * inverse_max_v<P>)];
            g = table_l_[depth_table_index(g * inverse_max_v<P>)];
            b = table_l_[depth_table_index(b * inverse_max_v<P>)];
        }
    }
    if constexpr (kFloat) {
        // Linearising raises large values to the power 2.22: limit them again.
        r = zblur_detail::finite_channel(r);
        g = zblur_detail::finite_channel(g);
        b = zblur_detail::finite_channel(b);
    }
    colour[0] = a;
    colour[1] = r;
    colour[2] = g;
    colour[3] = b;
}

template <class P, class D>
void ZblurFilter<P, D>::linearise_chunk(double (*colours)[4], int32_t n) const {
    if constexpr (kFloat) {
        double rgb[3 * kColourChunk] = {};  // zeros past 3 n keep GCC's uninitialised-use check quiet
        for (int32_t k = 0; k < n; ++k)
            for (int c = 0; c < 3; ++c) rgb[3 * k + c] = colours[k][c + 1];
        if (linearises()) bt709_to_linear_row(rgb, rgb, size_t(3 * n));
        // Linearising raises large values to the power 2.22: limit them again.
        for (int32_t k = 0; k < n; ++k)
            for (int c = 0; c < 3; ++c)
                colours[k][c + 1] = zblur_detail::finite_channel(rgb[3 * k + c]);
    } else {
        (void)colours;
        (void)n;
    }
}

template <class P, class D>
bool ZblurFilter<P, D>::read_behind(int32_t sx, int32_t sy, bool inside, double* colour,
                                    int32_t& level, bool later) const {
    if (!read_behind_level(sx, sy, inside, level)) return false;
    const int32_t x = sx + source.origin_x - behind.origin_x;
    const int32_t y = sy + source.origin_y - behind.origin_y;
    prepared_colour(read_rgba(behind.at(x, y)), behind.premultiplied, colour, later);
    return true;
}

template <class P, class D>
bool ZblurFilter<P, D>::read_behind_level(int32_t sx, int32_t sy, bool inside,
                                          int32_t& level) const {
    if (!inside) return false;
    const int32_t x = sx + source.origin_x - behind.origin_x;
    const int32_t y = sy + source.origin_y - behind.origin_y;
    if (!behind.contains(x, y)) return false;
    // A transparent behind pixel knows nothing of what lies there (NaN alpha neither).
    if (!(read_rgba(behind.at(x, y)).a > 0.0)) return false;
    level = behind_levels[size_t(y) * size_t(behind.width) + size_t(x)];
    return true;
}

template <class P, class D>
double ZblurFilter<P, D>::read_selection(int32_t sx, int32_t sy, bool inside) const {
    if (!inside || selection.data == nullptr) return 0.0;
    const int32_t x = sx + source.origin_x - selection.origin_x;
    const int32_t y = sy + source.origin_y - selection.origin_y;
    if (!selection.contains(x, y)) return 0.0;
    P p = selection.at(x, y);
    if (!selection.premultiplied) premultiply_in_place(p);
    // Float values go to the weight as they are, as the selection displays show them: a light
    // above white lies beyond a lightness range that ends at white (NaN weighs 0 there).
    const double w = selection_weight(prepared_selection_, p);
    return w > 0.0 ? std::min(w, 1.0) : 0.0;
}

template <class P, class D>
int32_t ZblurFilter<P, D>::process_tile(int32_t tile, Rectangle tile_rect, int32_t thread_index) {
    if (thread_index < 0 || thread_index >= buffer_count_) return host->outOfMemoryError();
    TileBuffers& b = buffers_[thread_index];
    if constexpr (kFloat) {
        if (wide_sums_)
            return highlights_ ? render_tile<true, WideSum>(tile_rect, tile, b)
                               : render_tile<false, WideSum>(tile_rect, tile, b);
    }
    return highlights_ ? render_tile<true, int64_t>(tile_rect, tile, b)
                       : render_tile<false, int64_t>(tile_rect, tile, b);
}

template <class P, class D>
template <bool kHighlights, class C>
int32_t ZblurFilter<P, D>::render_tile(Rectangle tile_rect, int32_t tile, TileBuffers& b) {
    const int32_t ok = host->noError();
    TileSweep<C> t = begin_tile<C>(tile_rect, tile, b);

    for (int32_t j = 0; j < t.hp; ++j) {
        level_row(t, j);
        if (behind_on_) behind_row(t, j);
        if (const int32_t status = report_row(t); status != ok) return status;
    }
    t.planes = level_pyramid_planes(kernels_, t.wp, t.hp);
    for (int32_t j = t.hp - 1; j >= 0; --j) {
        fill_level_pyramid_row(t.pyramid, t.wp, t.hp, t.planes, j);
        if (const int32_t status = report_row(t); status != ok) return status;
    }
    for (int32_t j = 0; j < t.hp; ++j) {
        level_floor_row(kernels_, t.pyramid, t.wp, t.hp, t.planes, j,
                        b.floor + size_t(j) * size_t(t.wp),
                        behind_on_ ? b.own_levels + size_t(j) * size_t(t.wp) : nullptr);
        if (const int32_t status = report_row(t); status != ok) return status;
    }
    for (int32_t j = 0; j < t.hp; ++j) {
        record_row<kHighlights>(t, j);
        if (const int32_t status = report_row(t); status != ok) return status;
    }

    // Sweep 5: row composition. For every padded row, the weight changes of every source whose
    // kernel has a row there are added into the change row of its level's slot (a source costs
    // work per weight change, never per covered pixel); running sums along the row then give,
    // at every column, the kernel-weighted sums of each level, which are composited front to
    // back; last, the tile's own sources collect the row's background deposits at their level
    // over their kernel row.
    std::fill(std::begin(t.L.slot_of), std::end(t.L.slot_of), int16_t(-1));
    t.L.count = 0;
    t.L.clean = 0;  // the slots' rows have this tile's width, and start out uninitialised
    for (int32_t r = 0; r < t.hp; ++r) {
        scatter_row<kHighlights>(t, r);
        order_slots(t.L);
        composite_row<kHighlights>(t, r);
        collect_row(t, r);
        release_row_slots(t);
        if (t.slots_exhausted) return host->outOfMemoryError();
        if (const int32_t status = report_row(t); status != ok) return status;
    }

    write_tile_output<kHighlights>(t);
    return ok;
}

template <class P, class D>
template <class C>
auto ZblurFilter<P, D>::begin_tile(Rectangle tile_rect, int32_t tile, TileBuffers& b) const
    -> TileSweep<C> {
    const int32_t tw = tile_rect.width();
    const int32_t th = tile_rect.height();
    const int32_t wp = tw + 2 * margin_x_;
    const int32_t hp = th + 2 * margin_y_;
    int32_t* column_map = reinterpret_cast<int32_t*>(b.coverage);
    int32_t* column_inside = column_map + wp;
    int32_t* row_map = column_inside + wp;
    int32_t* row_inside = row_map + hp;
    TileSweep<C> t{.b = b,
                   .L = *static_cast<RowLevels<C>*>(b.levels),
                   .changes = static_cast<ZblurLevelSums<C>*>(b.changes),
                   .highlight_changes = static_cast<ZblurLevelHighlight<C>*>(b.highlight_changes),
                   .tile = tile,
                   .x0 = tile_rect.left,
                   .y0 = tile_rect.top,
                   .tw = tw,
                   .th = th,
                   .wp = wp,
                   .hp = hp,
                   .pixels = size_t(wp) * size_t(hp),
                   .prefix_stride = size_t(wp) + 1,
                   .column_map = column_map,
                   .column_inside = column_inside,
                   .row_map = row_map,
                   .row_inside = row_inside,
                   .pyramid = reinterpret_cast<uint8_t*>(b.composite)};
    t.tile_rows = 5 * int64_t(padded_height());
    t.progress_total = int32_t(std::min<int64_t>(int64_t(tiles.count()) * t.tile_rows,
                                                 std::numeric_limits<int32_t>::max()));
    for (int32_t i = 0; i < wp; ++i)
        column_inside[i] = map_column(t.x0 - margin_x_ + i, column_map[i]) ? 1 : 0;
    for (int32_t j = 0; j < hp; ++j)
        row_inside[j] = map_row(t.y0 - margin_y_ + j, row_map[j]) ? 1 : 0;
    return t;
}

template <class P, class D>
template <class C>
int32_t ZblurFilter<P, D>::report_row(TileSweep<C>& t) const {
    ++t.rows_done;
    const int64_t current = int64_t(t.tile) * t.tile_rows + t.rows_done;
    return host->progress(int32_t(std::min<int64_t>(current, t.progress_total)), t.progress_total);
}

template <class P, class D>
template <class C>
void ZblurFilter<P, D>::level_row(TileSweep<C>& t, int32_t j) const {
    uint8_t* row = t.pyramid + size_t(j) * size_t(t.wp);
    for (int32_t i = 0; i < t.wp; ++i)
        row[i] = uint8_t(depth_reader_.level(t.column_map[i], t.row_map[j]));
}

template <class P, class D>
template <class C>
void ZblurFilter<P, D>::behind_row(TileSweep<C>& t, int32_t j) const {
    const int32_t wp = t.wp;
    uint8_t* levels = t.pyramid + size_t(j) * size_t(wp);
    std::memcpy(t.b.own_levels + size_t(j) * size_t(wp), levels, size_t(wp));
    uint64_t* present = t.b.behind_row_levels + size_t(j) * 4;
    present[0] = present[1] = present[2] = present[3] = 0;
    SourceRecord* row = t.b.behind + size_t(j) * size_t(wp);
    const bool later = kFloat && linearises();
    double colours[kColourChunk][4];
    int32_t chunk_levels[kColourChunk];
    for (int32_t i0 = 0; i0 < wp; i0 += kColourChunk) {
        const int32_t n = std::min(kColourChunk, wp - i0);
        for (int32_t k = 0; k < n; ++k) {
            const int32_t i = i0 + k;
            const bool inside = t.column_inside[i] != 0 && t.row_inside[j] != 0;
            chunk_levels[k] = -1;
            int32_t level = 0;
            if (read_behind(t.column_map[i], t.row_map[j], inside, colours[k], level, later))
                chunk_levels[k] = level;
            else
                colours[k][0] = colours[k][1] = colours[k][2] = colours[k][3] = 0.0;
        }
        if (later) linearise_chunk(colours, n);
        for (int32_t k = 0; k < n; ++k)
            behind_record(row[i0 + k], colours[k], chunk_levels[k], levels[i0 + k], present);
    }
    // Runs of one level among the records that count.
    const auto counts = [&](int32_t i) { return (row[i].flags & kZblurRecordSilent) == 0; };
    row[wp - 1].run = 1;
    for (int32_t i = wp - 2; i >= 0; --i)
        row[i].run =
            counts(i) && counts(i + 1) && row[i + 1].level == row[i].level && row[i + 1].run < 255
                ? uint8_t(row[i + 1].run + 1)
                : uint8_t(1);
}

template <class P, class D>
void ZblurFilter<P, D>::behind_record(SourceRecord& rec, const double* colour, int32_t level,
                                      uint8_t& own, uint64_t* present) const {
    for (float& v : rec.background) v = 0.0f;
    if (level < 0) {
        for (int32_t& c : rec.colour) c = 0;
        rec.shift = 0;
        rec.level = 0;
        rec.flags = kZblurRecordSilent;
        return;
    }
    quantise(colour, rec);
    rec.level = uint8_t(level);
    // Behind the source pixel by more than the gap: a source of its own, which also fills
    // what stays uncovered there. Within the gap it is the same surface as the source
    // pixel, and nearer than that it is not behind at all: either way it is ignored, and
    // the frame there is the one without the behind layer (its sharp pixels would show
    // through the gaps the estimate fills with blurred colour).
    if (int32_t(own) - level > kBehindLevelGap) {
        rec.flags = 0;
        own = uint8_t(level);
        if (!kernels_[level].empty()) present[level >> 6] |= uint64_t(1) << (level & 63);
    } else {
        rec.flags = kZblurRecordSilent;
    }
}

template <class P, class D>
template <bool kHighlights, class C>
void ZblurFilter<P, D>::record_row(TileSweep<C>& t, int32_t j) const {
    const int32_t wp = t.wp;
    const uint8_t* levels = (behind_on_ ? t.b.own_levels : t.pyramid) + size_t(j) * size_t(wp);
    uint64_t* present = t.b.row_levels + size_t(j) * 4;
    present[0] = present[1] = present[2] = present[3] = 0;
    const int32_t sy = t.row_map[j];
    SourceRecord* row = t.b.records + size_t(j) * size_t(wp);
    const bool later = kFloat && linearises();
    double colours[kColourChunk][4];
    for (int32_t i0 = 0; i0 < wp; i0 += kColourChunk) {
        const int32_t n = std::min(kColourChunk, wp - i0);
        for (int32_t k = 0; k < n; ++k) {
            const int32_t i = i0 + k;
            const bool inside = t.column_inside[i] != 0 && t.row_inside[j] != 0;
            read_colour(t.column_map[i], sy, inside, colours[k], later);
        }
        if (later) linearise_chunk(colours, n);
        for (int32_t k = 0; k < n; ++k) {
            const int32_t i = i0 + k;
            SourceRecord& rec = row[i];
            const bool inside = t.column_inside[i] != 0 && t.row_inside[j] != 0;
            quantise(colours[k], rec);
            for (float& v : rec.background) v = 0.0f;
            rec.level = levels[i];
            rec.flags = 0;
            if constexpr (kHighlights) {
                const double sel = read_selection(t.column_map[i], sy, inside);
                HighlightRecord& h = t.b.selected[size_t(j) * size_t(wp) + size_t(i)];
                for (int c = 0; c < 4; ++c) h.colour[c] = int32_t(rec.colour[c] * sel);
                h.selection = int32_t(sel * zblur_detail::kSelectionScale);
            }
            if (!kernels_[rec.level].empty())
                present[rec.level >> 6] |= uint64_t(1) << (rec.level & 63);
        }
    }
    row[wp - 1].run = 1;
    for (int32_t i = wp - 2; i >= 0; --i)
        row[i].run = row[i + 1].level == row[i].level && row[i + 1].run < 255
                         ? uint8_t(row[i + 1].run + 1)
                         : uint8_t(1);
}

template <class P, class D>
template <bool kHighlights, class C>
int32_t ZblurFilter<P, D>::slot_for(TileSweep<C>& t, int32_t level) const {
    RowLevels<C>& L = t.L;
    int32_t slot = L.slot_of[level];
    if (slot >= 0) return slot;
    if (L.count >= slot_capacity_) {
        t.slots_exhausted = true;
        return -1;
    }
    slot = L.count++;
    L.slot_of[level] = int16_t(slot);
    if (slot >= L.clean) {
        const size_t wp = size_t(t.wp);
        std::fill(t.changes + size_t(slot) * wp, t.changes + size_t(slot + 1) * wp,
                  ZblurLevelSums<C>{});
        if constexpr (kHighlights)
            std::fill(t.highlight_changes + size_t(slot) * wp,
                      t.highlight_changes + size_t(slot + 1) * wp, ZblurLevelHighlight<C>{});
        L.clean = slot + 1;
    }
    LevelSlot<C>& s = L.slots[slot];
    s.sum = {};
    s.highlight = {};
    for (double& v : s.background) v = 0.0;
    s.first = t.wp;
    s.last = -1;
    s.level = level;
    return slot;
}

// a. The weight changes of the row, into the change rows of their levels' slots. Changes left
// of the tile count at column 0; changes beyond its right edge are not needed by the sums
// (only by the background collection).
template <class P, class D>
template <bool kHighlights, class C>
void ZblurFilter<P, D>::scatter_row(TileSweep<C>& t, int32_t r) const {
    using LevelSums = ZblurLevelSums<C>;
    using LevelHighlight = ZblurLevelHighlight<C>;
    constexpr bool kWide = sizeof(C) > sizeof(int64_t);
    const int32_t wp = t.wp;
    const int32_t j_first = std::max(0, r - margin_y_);
    const int32_t j_last = std::min(t.hp - 1, r + margin_y_);
    // The runs of one row of records (the source's, or the behind layer's without highlights).
    const auto scatter_runs = [&]<bool kBehind>(const SourceRecord* row,
                                                const HighlightRecord* hrow, int32_t kr) {
        for_each_run<kBehind>(
            row, 0, wp, kr, wp,
            [&](int32_t level, const LevelStep* steps, int32_t run_first, int32_t run_end,
                int32_t x_first, int32_t x_last) {
                const int32_t slot = slot_for<kHighlights>(t, level);
                if (slot < 0) return;
                LevelSlot<C>& ls = t.L.slots[slot];
                LevelSums* const changes = t.changes + size_t(slot) * size_t(wp);
                ls.first = std::min(ls.first, std::max(run_first + x_first, 0));
                ls.last = std::max(ls.last, std::min(run_end - 1 + x_last, wp));

                // Sources whose changes all fall inside the row, without tests; the others count
                // changes left of the tile at column 0 and leave out those beyond it.
                const int32_t inner_first = std::min(std::max(run_first, -x_first), run_end);
                const int32_t inner_end = std::max(std::min(run_end, wp - x_last), inner_first);
                auto spread = [&](int32_t i) {
                    const SourceRecord& rec = row[i];
                    for (const LevelStep* s = steps; s->x != kIrisRowEnd; ++s) {
                        const int32_t column = i + s->x;
                        if (column >= wp) break;
                        const int64_t dw = s->weight_step;
                        LevelSums& d = changes[std::max(column, 0)];
                        d.a += colour_term<C>(dw, rec.colour[0], rec.shift);
                        d.r += colour_term<C>(dw, rec.colour[1], rec.shift);
                        d.g += colour_term<C>(dw, rec.colour[2], rec.shift);
                        d.b += colour_term<C>(dw, rec.colour[3], rec.shift);
                        d.w += dw;
                    }
                };
                if constexpr (kWide) {
                    for (int32_t i = run_first; i < run_end; ++i) spread(i);
                } else {
                    if (run_first < inner_first)
                        scatter_kernel_row_clamped(steps, row, run_first, inner_first, wp, changes);
                    if (inner_first < inner_end)
                        scatter_kernel_row(steps, row, inner_first, inner_end, changes);
                    if (inner_end < run_end)
                        scatter_kernel_row_clamped(steps, row, inner_end, run_end, wp, changes);
                }

                if constexpr (kHighlights && !kBehind) {
                    LevelHighlight* const hchanges =
                        t.highlight_changes + size_t(slot) * size_t(wp);
                    for (int32_t i = run_first; i < run_end; ++i) {
                        const HighlightRecord& h = hrow[i];
                        if (h.selection <= 0) continue;
                        for (const LevelStep* s = steps; s->x != kIrisRowEnd; ++s) {
                            const int32_t column = i + s->x;
                            if (column >= wp) break;
                            const int64_t dw = s->weight_step;
                            LevelHighlight& dh = hchanges[std::max(column, 0)];
                            dh.a += colour_term<C>(dw, h.colour[0], row[i].shift);
                            dh.r += colour_term<C>(dw, h.colour[1], row[i].shift);
                            dh.g += colour_term<C>(dw, h.colour[2], row[i].shift);
                            dh.b += colour_term<C>(dw, h.colour[3], row[i].shift);
                            dh.s += dw * int64_t(h.selection);
                            dh.u += s->plain_step;
                        }
                    }
                }
            });
    };
    for (int32_t j = j_first; j <= j_last; ++j) {
        const int32_t kr = r - j;
        if (row_reaches(t, j, kr)) {
            const HighlightRecord* hrow =
                kHighlights ? t.b.selected + size_t(j) * size_t(wp) : nullptr;
            scatter_runs.template operator()<false>(t.b.records + size_t(j) * size_t(wp), hrow, kr);
        }
        if (behind_on_ && rows_reach(t.b.behind_row_levels, j, kr))
            scatter_runs.template operator()<true>(t.b.behind + size_t(j) * size_t(wp), nullptr,
                                                   kr);
    }
}

// The slots of the row, nearest level first.
template <class P, class D>
template <class C>
void ZblurFilter<P, D>::order_slots(RowLevels<C>& L) {
    for (int32_t n = 0; n < L.count; ++n) {
        int32_t m = n;
        const int32_t level = L.slots[n].level;
        for (; m > 0 && L.slots[L.order[m - 1]].level < level; --m) L.order[m] = L.order[m - 1];
        L.order[m] = n;
    }
}

// b. to f. for every column of padded row r: the running sums of every level present, composited
// front to back down to the pixel's floor; the background deposit; clamping; highlights; the
// composite and coverage stored.
template <class P, class D>
template <bool kHighlights, class C>
void ZblurFilter<P, D>::composite_row(TileSweep<C>& t, int32_t r) const {
    const int32_t wp = t.wp;
    float* composite = t.b.composite + size_t(r) * size_t(wp) * 4;
    float* coverage = t.b.coverage + size_t(r) * size_t(wp);
    float* keep = kHighlights ? t.b.keep + size_t(r) * size_t(wp) : nullptr;
    const uint8_t* floors = t.b.floor + size_t(r) * size_t(wp);
    SourceRecord* row_records = t.b.records + size_t(r) * size_t(wp);
    const bool own_row = r >= margin_y_ && r < margin_y_ + t.th;

    for (int32_t x = 0; x < wp; ++x) {
        const int32_t own = row_records[x].level;
        ColumnSums s;
        composite_column<kHighlights>(t, x, own, floors[x], s);
        if (s.dw > 0.0) deposit_background(t.L, x, own, s);
        finish_composite<kHighlights>(s, kHighlights ? keep + x : nullptr);
        composite[4 * x + 0] = float(s.ca);
        composite[4 * x + 1] = float(s.cr);
        composite[4 * x + 2] = float(s.cg);
        composite[4 * x + 3] = float(s.cb);
        coverage[x] = float(s.g - 1.0);
        // The tile's covered pixels need no background estimate: what the rows below still
        // would add to it is not collected (see write_tile_output, which reads it only where
        // the coverage is below 0).
        if (own_row && coverage[x] >= 0.0f) row_records[x].flags |= kZblurRecordCovered;
    }
    // Changes beyond the right edge collect the row's final deposits.
    for (int32_t n = 0; n < t.L.count; ++n) {
        LevelSlot<C>& ls = t.L.slots[n];
        if (ls.last == wp)
            t.b.prefix[size_t(n) * t.prefix_stride + size_t(wp)] = prefix_of(ls.background);
    }
}

// b. The running sums of every level at column x, then front to back composition down to the
// floor; the levels at or behind the pixel's own depth are summed for its deposit.
template <class P, class D>
template <bool kHighlights, class C>
void ZblurFilter<P, D>::composite_column(TileSweep<C>& t, int32_t x, int32_t own, int32_t floor,
                                         ColumnSums& s) const {
    constexpr double kPlainUnit = 1.0 / kLevelWeightScale;
    const double highlight = settings.highlight;
    RowLevels<C>& L = t.L;
    for (int32_t n = 0; n < L.count; ++n) {
        const int32_t slot = L.order[n];
        LevelSlot<C>& ls = L.slots[slot];
        if (x < ls.first || x > ls.last) continue;
        {
            ZblurLevelSums<C>& d = t.changes[size_t(slot) * size_t(t.wp) + size_t(x)];
            ls.sum.a += d.a;
            ls.sum.r += d.r;
            ls.sum.g += d.g;
            ls.sum.b += d.b;
            ls.sum.w += d.w;
            d = {};
        }
        if constexpr (kHighlights) {
            ZblurLevelHighlight<C>& d =
                t.highlight_changes[size_t(slot) * size_t(t.wp) + size_t(x)];
            ls.highlight.a += d.a;
            ls.highlight.r += d.r;
            ls.highlight.g += d.g;
            ls.highlight.b += d.b;
            ls.highlight.s += d.s;
            ls.highlight.u += d.u;
            d = {};
        }
        // The deposits before this column, for the background collection.
        t.b.prefix[size_t(slot) * t.prefix_stride + size_t(x)] = prefix_of(ls.background);
        const int32_t level = ls.level;
        if (level < floor) continue;
        const ZblurLevelSums<C>& sum = ls.sum;
        const double w = double(sum.w) * weight_norm_[size_t(level)];
        if (!(w > 0.0)) continue;
        const double cn = colour_norm_[size_t(level)];
        const double a = zblur_detail::to_double(sum.a) * cn;
        const double rr = zblur_detail::to_double(sum.r) * cn;
        const double gg = zblur_detail::to_double(sum.g) * cn;
        const double bb = zblur_detail::to_double(sum.b) * cn;
        if (s.g < 1.0) {
            const double part = s.g + w < 1.0 ? 1.0 : (1.0 - s.g) / w;
            s.ca += a * part;
            s.cr += rr * part;
            s.cg += gg * part;
            s.cb += bb * part;
            if constexpr (kHighlights) {
                const ZblurLevelHighlight<C>& h = ls.highlight;
                const double hn = cn * highlight * part;
                s.ha += zblur_detail::to_double(h.a) * hn;
                s.hr += zblur_detail::to_double(h.r) * hn;
                s.hg += zblur_detail::to_double(h.g) * hn;
                s.hb += zblur_detail::to_double(h.b) * hn;
                s.hs += double(h.s) * weight_norm_[size_t(level)] / zblur_detail::kSelectionScale *
                        highlight * part;
                s.hu += double(h.u) * kPlainUnit * part;
            }
        }
        s.g += w;
        if (level <= own) {
            s.da += a;
            s.dr += rr;
            s.dg += gg;
            s.db += bb;
            s.dw += w;
        }
    }
}

// c. The average colour at and behind the pixel's depth is deposited for the background
// estimates of the levels present from its own level up, with weight 1 at its own level, 2 at
// the next, and so on.
template <class P, class D>
template <class C>
void ZblurFilter<P, D>::deposit_background(RowLevels<C>& L, int32_t x, int32_t own,
                                           const ColumnSums& s) {
    const double inv = 1.0 / s.dw;
    const double aa = s.da * inv, ar = s.dr * inv, ag = s.dg * inv, ab = s.db * inv;
    for (int32_t n = 0; n < L.count; ++n) {
        LevelSlot<C>& ls = L.slots[L.order[n]];
        if (ls.level < own) break;
        if (x < ls.first || x > ls.last) continue;
        const double k = double(ls.level - own + 1);
        ls.background[0] += aa * k;
        ls.background[1] += ar * k;
        ls.background[2] += ag * k;
        ls.background[3] += ab * k;
        ls.background[4] += k;
    }
}

// d. Clamp (float pixels: only alpha); e. highlights move the composite towards their average
// colour, and the keep factor is stored for the background fill.
template <class P, class D>
template <bool kHighlights>
void ZblurFilter<P, D>::finish_composite(ColumnSums& s, float* keep) const {
    s.ca = std::clamp(s.ca, 0.0, kMax);
    if constexpr (!kFloat) {
        s.cr = std::clamp(s.cr, 0.0, kMax);
        s.cg = std::clamp(s.cg, 0.0, kMax);
        s.cb = std::clamp(s.cb, 0.0, kMax);
    }
    if constexpr (kHighlights) {
        double k = 1.0;
        if (s.hs > 1e-4) {
            const double inv = 1.0 / s.hs;
            const double covered = std::min(s.g, 1.0);
            k = 1.0 - std::min(s.hu, 1.0) * std::min(s.hs / covered, 1.0);
            s.ca = s.ha * inv + (s.ca - s.ha * inv) * k;
            s.cr = s.hr * inv + (s.cr - s.hr * inv) * k;
            s.cg = s.hg * inv + (s.cg - s.hg * inv) * k;
            s.cb = s.hb * inv + (s.cb - s.hb * inv) * k;
        }
        *keep = float(k);
    } else {
        (void)keep;
    }
}

// g. The tile's own sources collect the deposits at their level over their kernel row: each
// weight change s at column x takes away s times the deposits before x, so that the row adds up
// the deposits weighted with the kernel.
template <class P, class D>
template <class C>
void ZblurFilter<P, D>::collect_row(TileSweep<C>& t, int32_t r) const {
    const int32_t wp = t.wp;
    const int32_t my = margin_y_;
    const int32_t j_first = std::max(std::max(0, r - my), my);
    const int32_t j_last = std::min(std::min(t.hp - 1, r + my), my + t.th - 1);
    for (int32_t j = j_first; j <= j_last; ++j) {
        const int32_t kr = r - j;
        if (!row_reaches(t, j, kr)) continue;
        SourceRecord* row = t.b.records + size_t(j) * size_t(wp);
        for_each_run(row, margin_x_, margin_x_ + t.tw, kr, wp,
                     [&](int32_t level, const LevelStep* steps, int32_t run_first, int32_t run_end,
                         int32_t x_first, int32_t x_last) {
                         if (t.L.slot_of[level] < 0) return;
                         const BackgroundPrefix* prefix =
                             t.b.prefix + size_t(t.L.slot_of[level]) * t.prefix_stride;
                         // The margins hold every kernel, so the tile's own sources need no clamping; it is
                         // kept for safety and costs a test per run.
                         const bool inside = run_first + x_first >= 0 && run_end - 1 + x_last <= wp;
                         if (inside) {
                             gather_kernel_row(steps, row, run_first, run_end, prefix);
                             return;
                         }
                         for (int32_t i = run_first; i < run_end; ++i) {
                             if (i + x_first >= wp) continue;
                             if ((row[i].flags & kZblurRecordCovered) != 0) continue;
                             float* acc = row[i].background;
                             for (const LevelStep* s = steps; s->x != kIrisRowEnd; ++s) {
                                 const float* p = prefix[std::clamp(i + s->x, 0, wp)].v;
                                 const float dw = float(s->weight_step);
                                 for (int c = 0; c < 5; ++c) acc[c] -= dw * p[c];
                             }
                         }
                     });
    }
}

// The row's slots are given up; their change rows are all zero again.
template <class P, class D>
template <class C>
void ZblurFilter<P, D>::release_row_slots(TileSweep<C>& t) {
    for (int32_t n = 0; n < t.L.count; ++n) t.L.slot_of[t.L.slots[n].level] = -1;
    t.L.count = 0;
}

template <class P, class D>
template <bool kHighlights, class C>
void ZblurFilter<P, D>::write_tile_output(const TileSweep<C>& t) const {
    const double background_threshold = 1e-4 * kLevelWeightScale;
    const bool info = settings.show == kZblurShowInfoDensity;
    const int32_t wp = t.wp;
    const int32_t mx = margin_x_;
    const int32_t my = margin_y_;
    for (int32_t j = my; j < my + t.th; ++j) {
        P* out = output.row(t.y0 + j - my) + t.x0;
        const float* composite = t.b.composite + (size_t(j) * size_t(wp) + size_t(mx)) * 4;
        const float* coverage = t.b.coverage + size_t(j) * size_t(wp) + size_t(mx);
        const float* keep = kHighlights ? t.b.keep + size_t(j) * size_t(wp) + size_t(mx) : nullptr;
        const SourceRecord* rec = t.b.records + size_t(j) * size_t(wp) + size_t(mx);
        const SourceRecord* behind_rec =
            behind_on_ ? t.b.behind + size_t(j) * size_t(wp) + size_t(mx) : nullptr;
        if (info) {
            for (int32_t i = 0; i < t.tw; ++i) {
                const double e = coverage[i];
                ChannelValues v{kMax, e < 0.0 ? -e * kMax : 0.0,
                                e >= 0.0 ? std::min(e, 1.0) * kMax : 0.0, 0.0};
                write_rgba_clamped(out[i], v);
            }
            continue;
        }
        // A chunk of pixels at a time, so that float pixels go through the transfer function
        // in one vector call per chunk (see linearise_chunk).
        double px[kColourChunk][4];
        for (int32_t i0 = 0; i0 < t.tw; i0 += kColourChunk) {
            const int32_t n = std::min(kColourChunk, t.tw - i0);
            for (int32_t k = 0; k < n; ++k) {
                const int32_t i = i0 + k;
                const double e = coverage[i];
                double a = composite[4 * i + 0];
                double cr = composite[4 * i + 1];
                double cg = composite[4 * i + 2];
                double cb = composite[4 * i + 3];
                if (e < 0.0) {
                    const float* acc = rec[i].background;
                    double ea = 0.0, er = 0.0, eg = 0.0, eb = 0.0;
                    if (behind_rec != nullptr && (behind_rec[i].flags & kZblurRecordSilent) == 0) {
                        // What the source hides there is known, not estimated.
                        const SourceRecord& br = behind_rec[i];
                        const double unit =
                            kFloat && wide_sums_
                                ? std::ldexp(1.0, int32_t(br.shift) - zblur_detail::kWideSumBits)
                                : colour_unit_;
                        ea = std::max(0.0, double(br.colour[0]) * unit);
                        er = std::max(0.0, double(br.colour[1]) * unit);
                        eg = std::max(0.0, double(br.colour[2]) * unit);
                        eb = std::max(0.0, double(br.colour[3]) * unit);
                    } else if (double(acc[4]) > background_threshold) {
                        const double inv = 1.0 / double(acc[4]);
                        ea = std::max(0.0, double(acc[0]) * inv);
                        er = std::max(0.0, double(acc[1]) * inv);
                        eg = std::max(0.0, double(acc[2]) * inv);
                        eb = std::max(0.0, double(acc[3]) * inv);
                    }
                    double fill = -e;
                    if constexpr (kHighlights) {
                        if (keep[i] < 1.0f) fill *= keep[i];
                    }
                    if constexpr (kFloat) {
                        ea = std::min(ea, 1.0);
                    } else {
                        ea = std::min(ea, kMax);
                        er = std::min(er, kMax);
                        eg = std::min(eg, kMax);
                        eb = std::min(eb, kMax);
                    }
                    a += ea * fill;
                    cr += er * fill;
                    cg += eg * fill;
                    cb += eb * fill;
                }
                px[k][0] = a;
                px[k][1] = cr;
                px[k][2] = cg;
                px[k][3] = cb;
            }
            if (settings.gamma) {
                if constexpr (kFloat) {
                    double rgb[3 * kColourChunk];
                    for (int32_t k = 0; k < n; ++k)
                        for (int c = 0; c < 3; ++c) rgb[3 * k + c] = px[k][c + 1];
                    linear_to_bt709_row(rgb, rgb, size_t(3 * n));
                    for (int32_t k = 0; k < n; ++k)
                        for (int c = 0; c < 3; ++c) px[k][c + 1] = rgb[3 * k + c];
                } else {
                    for (int32_t k = 0; k < n; ++k)
                        for (int c = 1; c < 4; ++c)
                            px[k][c] = table_g_[depth_table_index(std::clamp(px[k][c], 0.0, kMax) *
                                                                  inverse_max_v<P>)];
                }
            }
            for (int32_t k = 0; k < n; ++k) {
                const int32_t i = i0 + k;
                double a = px[k][0];
                double cr = px[k][1];
                double cg = px[k][2];
                double cb = px[k][3];
                if (!output.premultiplied && a > 0.0) {
                    const double f = kMax / a;
                    cr *= f;
                    cg *= f;
                    cb *= f;
                }
                // Integer alpha is rounded where it is stored; the colour is made straight with
                // the alpha it was composited with (255.5 would darken every 8-bit colour).
                if constexpr (!kFloat) a += 0.5;
                if constexpr (kFloat) {
                    write_rgba(out[i], ChannelValues{a, cr, cg, cb});
                } else {
                    write_rgba_clamped(out[i], ChannelValues{a, cr, cg, cb});
                }
            }
        }
    }
}
