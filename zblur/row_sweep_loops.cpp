#include "zblur/row_sweep_loops.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "imaging/processor_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QB_SWEEP_LOOPS_AVX2 1
#endif

namespace {

// Kernel rows are taken this many changes at a time into a local array (column offset and
// 64-bit step together); most polygon rows have 2 to 8 changes (more near the top and bottom,
// where an edge crosses the row at a shallow angle), lens rows may have many more.
constexpr int32_t kChunk = 16;

struct Change {
    int32_t x;
    int64_t dw;
};

int32_t load_changes(const LevelStep*& steps, Change* out) {
    int32_t n = 0;
    while (n < kChunk && steps->x != kIrisRowEnd) {
        out[n].x = steps->x;
        out[n].dw = steps->weight_step;
        ++n;
        ++steps;
    }
    return n;
}

// One change at a time over the whole run: the columns of consecutive records differ, so no
// addition waits for the store of the one before.
void scatter_generic(const Change* changes_of_row, int32_t n, const ZblurSourceRecord* row,
                     int32_t first, int32_t last, ZblurLevelSums<int64_t>* changes) {
    for (int32_t t = 0; t < n; ++t) {
        const int64_t dw = changes_of_row[t].dw;
        ZblurLevelSums<int64_t>* d = changes + changes_of_row[t].x;
        for (int32_t i = first; i < last; ++i) {
            const ZblurSourceRecord& rec = row[i];
            d[i].a += dw * rec.colour[0];
            d[i].r += dw * rec.colour[1];
            d[i].g += dw * rec.colour[2];
            d[i].b += dw * rec.colour[3];
            d[i].w += dw;
        }
    }
}

void gather_generic(const LevelStep* steps, ZblurSourceRecord* row, int32_t first, int32_t last,
                    const ZblurBackgroundPrefix* prefix) {
    for (int32_t i = first; i < last; ++i) {
        if ((row[i].flags & kZblurRecordCovered) != 0) continue;
        float* acc = row[i].background;
        float a = acc[0], r = acc[1], g = acc[2], b = acc[3], w = acc[4];
        for (const LevelStep* s = steps; s->x != kIrisRowEnd; ++s) {
            const float* p = prefix[i + s->x].v;
            const float dw = float(s->weight_step);
            a -= dw * p[0];
            r -= dw * p[1];
            g -= dw * p[2];
            b -= dw * p[3];
            w -= dw * p[4];
        }
        acc[0] = a;
        acc[1] = r;
        acc[2] = g;
        acc[3] = b;
        acc[4] = w;
    }
}

#ifdef QB_SWEEP_LOOPS_AVX2
// The four colour products of a change in one instruction (signed 32 x 32 -> 64 bit) and one
// 32-byte addition, where the scalar loop needs four multiplications and four stores.
__attribute__((target("avx2"))) void scatter_avx2(const Change* changes_of_row, int32_t n,
                                                  const ZblurSourceRecord* row, int32_t first,
                                                  int32_t last, ZblurLevelSums<int64_t>* changes) {
    for (int32_t t = 0; t < n; ++t) {
        const int64_t dw = changes_of_row[t].dw;
        const __m256i weight = _mm256_set1_epi64x(dw);
        ZblurLevelSums<int64_t>* d = changes + changes_of_row[t].x;
        for (int32_t i = first; i < last; ++i) {
            const __m256i colour = _mm256_cvtepi32_epi64(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(row[i].colour)));
            __m256i* sums = reinterpret_cast<__m256i*>(&d[i].a);
            const __m256i product = _mm256_mul_epi32(colour, weight);
            _mm256_storeu_si256(sums, _mm256_add_epi64(_mm256_loadu_si256(sums), product));
            d[i].w += dw;
        }
    }
}

// The middle of a cluster: every column that all n changes reach from inside the run takes
// the sum of their products and is stored once, where the loop above stores it n times (the
// stores bound that loop). N > 0 fixes the count for the usual clusters of 2 to 4 (ramps of
// consecutive changes go to the window loop below).
template <int32_t N>
__attribute__((target("avx2"))) void scatter_columns_avx2(const Change* cluster, int32_t n,
                                                          const ZblurSourceRecord* row,
                                                          int32_t col_first, int32_t col_end,
                                                          ZblurLevelSums<int64_t>* changes) {
    if constexpr (N > 0) n = N;
    __m256i weights[kChunk];
    int64_t weight_sum = 0;
    for (int32_t t = 0; t < n; ++t) {
        weights[t] = _mm256_set1_epi64x(cluster[t].dw);
        weight_sum += cluster[t].dw;
    }
    for (int32_t col = col_first; col < col_end; ++col) {
        __m256i sum = _mm256_setzero_si256();
        for (int32_t t = 0; t < n; ++t) {
            const __m256i colour = _mm256_cvtepi32_epi64(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(row[col - cluster[t].x].colour)));
            sum = _mm256_add_epi64(sum, _mm256_mul_epi32(colour, weights[t]));
        }
        __m256i* sums = reinterpret_cast<__m256i*>(&changes[col].a);
        _mm256_storeu_si256(sums, _mm256_add_epi64(_mm256_loadu_si256(sums), sum));
        changes[col].w += weight_sum;
    }
}

// A record's four colour channels as 64-bit lanes.
__attribute__((target("avx2"))) inline __m256i colour_of(const ZblurSourceRecord* rec) {
    return _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rec->colour)));
}

// The longest ramp of consecutive changes that the window loop takes (longer windows would
// spill more of the window and weights out of the 16 vector registers); the edges of a polygon
// row near its top and bottom, which cross the row at a shallow angle, make ramps of 5 and
// more.
constexpr int32_t kLongestRamp = 8;

// One column of the window loop below: `incoming` enters the window, and the column takes the
// window's products and `weight`.
template <int32_t N>
__attribute__((target("avx2"), always_inline)) inline void adjacent_column(
    __m256i* window, const __m256i* weights, __m256i incoming, int64_t weight,
    ZblurLevelSums<int64_t>* column) {
    for (int32_t t = N - 1; t > 0; --t) window[t] = window[t - 1];
    window[0] = incoming;
    __m256i sum = _mm256_mul_epi32(window[0], weights[0]);
    for (int32_t t = 1; t < N; ++t)
        sum = _mm256_add_epi64(sum, _mm256_mul_epi32(window[t], weights[t]));
    __m256i* sums = reinterpret_cast<__m256i*>(&column->a);
    _mm256_storeu_si256(sums, _mm256_add_epi64(_mm256_loadu_si256(sums), sum));
    column->w += weight;
}

// The same for a cluster of N changes at consecutive columns x0, x0 + 1, ...: column col takes
// records col - x0 - t, so each record's colour is loaded once and slides through the window
// of the next N - 1 columns. All the columns the cluster reaches from the run [first, last),
// which must hold at least N records: the window starts empty (zeros) and empties again at
// the end, and the weight sums of the N - 1 columns at either end count the changes that
// reach them from inside the run.
template <int32_t N>
__attribute__((target("avx2"))) void scatter_adjacent_avx2(const Change* cluster,
                                                           const ZblurSourceRecord* row,
                                                           int32_t first, int32_t last,
                                                           ZblurLevelSums<int64_t>* changes) {
    static_assert(N >= 2 && N <= kLongestRamp);
    __m256i weights[N];
    // Column first + x0 + j takes changes 0 .. j (j < N - 1); column last + x0 + j changes
    // j + 1 .. N - 1.
    int64_t ramp_in[N - 1], ramp_out[N - 1];
    int64_t weight_sum = 0;
    for (int32_t t = 0; t < N; ++t) {
        weights[t] = _mm256_set1_epi64x(cluster[t].dw);
        weight_sum += cluster[t].dw;
        if (t < N - 1) ramp_in[t] = weight_sum;
    }
    for (int32_t j = 0; j < N - 1; ++j) ramp_out[j] = weight_sum - ramp_in[j];
    const int32_t x0 = cluster[0].x;
    // window[t]: the colour of record col - x0 - t, once the column has shifted it in.
    __m256i window[N];
    for (int32_t t = 0; t < N; ++t) window[t] = _mm256_setzero_si256();
    for (int32_t j = 0; j < N - 1; ++j)
        adjacent_column<N>(window, weights, colour_of(row + first + j), ramp_in[j],
                           changes + first + x0 + j);
    for (int32_t col = first + x0 + N - 1; col < last + x0; ++col)
        adjacent_column<N>(window, weights, colour_of(row + col - x0), weight_sum, changes + col);
    for (int32_t j = 0; j < N - 1; ++j)
        adjacent_column<N>(window, weights, _mm256_setzero_si256(), ramp_out[j],
                           changes + last + x0 + j);
}

// Changes at most this many columns apart are taken together (the ramps of a kernel row's
// anti-aliased edges are changes at neighbouring columns).
constexpr int32_t kClusterGap = 4;

using ColumnLoop = void (*)(const Change*, int32_t, const ZblurSourceRecord*, int32_t, int32_t,
                            ZblurLevelSums<int64_t>*);

// The column loop for a cluster of n changes.
ColumnLoop avx2_columns(int32_t n) {
    switch (n) {
        case 2:
            return scatter_columns_avx2<2>;
        case 3:
            return scatter_columns_avx2<3>;
        case 4:
            return scatter_columns_avx2<4>;
        default:
            return scatter_columns_avx2<0>;
    }
}
using RampLoop = void (*)(const Change*, const ZblurSourceRecord*, int32_t, int32_t,
                          ZblurLevelSums<int64_t>*);

// The window loop for a ramp of n changes, 2 <= n <= kLongestRamp.
RampLoop adjacent_avx2(int32_t n) {
    static constexpr RampLoop loops[] = {scatter_adjacent_avx2<2>, scatter_adjacent_avx2<3>,
                                         scatter_adjacent_avx2<4>, scatter_adjacent_avx2<5>,
                                         scatter_adjacent_avx2<6>, scatter_adjacent_avx2<7>,
                                         scatter_adjacent_avx2<8>};
    static_assert(std::size(loops) == kLongestRamp - 1);
    return loops[n - 2];
}

// The changes of a chunk in clusters of increasing offsets at most kClusterGap apart. For a
// cluster of several changes, the columns all of them reach from inside the run are summed
// column by column; the rest (at most the cluster's width per change, at the run's ends) and
// single changes go change by change, save for a ramp of at most kLongestRamp consecutive
// columns, whose window loop takes its ends too. Integer sums are exact, so the result is that
// of scatter_avx2 over the whole chunk.
void scatter_clusters(const Change* changes_of_row, int32_t n, const ZblurSourceRecord* row,
                      int32_t first, int32_t last, ZblurLevelSums<int64_t>* changes) {
    int32_t t = 0;
    while (t < n) {
        int32_t end = t + 1;
        while (end < n && changes_of_row[end].x > changes_of_row[end - 1].x &&
               changes_of_row[end].x - changes_of_row[end - 1].x <= kClusterGap)
            ++end;
        const Change* cluster = changes_of_row + t;
        const int32_t size = end - t;
        t = end;
        const int32_t col_first = first + cluster[size - 1].x;
        const int32_t col_end = last + cluster[0].x;
        if (size == 1 || col_end <= col_first) {
            scatter_avx2(cluster, size, row, first, last, changes);
            continue;
        }
        // Here the run holds at least size records.
        if (cluster[size - 1].x - cluster[0].x == size - 1 && size <= kLongestRamp) {
            adjacent_avx2(size)(cluster, row, first, last, changes);
            continue;
        }
        for (int32_t k = 0; k < size; ++k) {
            scatter_avx2(cluster + k, 1, row, first, col_first - cluster[k].x, changes);
            scatter_avx2(cluster + k, 1, row, col_end - cluster[k].x, last, changes);
        }
        avx2_columns(size)(cluster, size, row, col_first, col_end, changes);
    }
}

// A record's five background accumulators in one register, and back.
__attribute__((target("avx2"))) inline __m256 load_background(const float* bg) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(bg)), _mm_load_ss(bg + 4), 1);
}
__attribute__((target("avx2"))) inline void store_background(float* bg, __m256 acc) {
    _mm_storeu_ps(bg, _mm256_castps256_ps128(acc));
    _mm_store_ss(bg + 4, _mm256_extractf128_ps(acc, 1));
}

// All five accumulators in one register: one product and one difference per change. No fused
// multiply-add, so that the rounding is that of the portable loop. Two sources at a time, each
// with its own chain of differences in the portable loop's order: a difference waits for the
// one before it of the same source only, and the two chains overlap.
__attribute__((target("avx2"))) void gather_avx2(const LevelStep* steps, ZblurSourceRecord* row,
                                                 int32_t first, int32_t last,
                                                 const ZblurBackgroundPrefix* prefix) {
    // The row's changes with their weights as floats, a chunk at a time.
    int32_t xs[kChunk];
    __m256 dws[kChunk];
    for (;;) {
        int32_t n = 0;
        while (n < kChunk && steps->x != kIrisRowEnd) {
            xs[n] = steps->x;
            dws[n] = _mm256_set1_ps(float(steps->weight_step));
            ++n;
            ++steps;
        }
        if (n == 0) return;
        int32_t i = first;
        for (; i + 1 < last; i += 2) {
            if ((row[i].flags & row[i + 1].flags & kZblurRecordCovered) != 0) continue;
            float* bg0 = row[i].background;
            float* bg1 = row[i + 1].background;
            __m256 acc0 = load_background(bg0);
            __m256 acc1 = load_background(bg1);
            const ZblurBackgroundPrefix* p = prefix + i;
            for (int32_t t = 0; t < n; ++t) {
                acc0 = _mm256_sub_ps(acc0, _mm256_mul_ps(dws[t], _mm256_loadu_ps(p[xs[t]].v)));
                acc1 = _mm256_sub_ps(acc1, _mm256_mul_ps(dws[t], _mm256_loadu_ps(p[xs[t] + 1].v)));
            }
            store_background(bg0, acc0);
            store_background(bg1, acc1);
        }
        if (i < last) {
            float* bg = row[i].background;
            __m256 acc = load_background(bg);
            for (int32_t t = 0; t < n; ++t)
                acc =
                    _mm256_sub_ps(acc, _mm256_mul_ps(dws[t], _mm256_loadu_ps(prefix[i + xs[t]].v)));
            store_background(bg, acc);
        }
    }
}

// Four sources at a time, two to a register: the prefixes of neighbouring sources at one
// change are neighbours too, one 64-byte load for both. Same products and differences in the
// same order as the portable loop. The accumulators of records i and i + 1 are 10 floats apart:
// one 64-byte load from the first (it ends where record i + 1 ends) holds both, and one masked
// store puts both back. (Eight sources in four chains were tried: no faster, in cache or in
// the frame.)
__attribute__((target("avx512f"))) inline __m512 load_background_pair(const float* bg) {
    const __m512i from = _mm512_setr_epi32(0, 1, 2, 3, 4, 0, 0, 0, 10, 11, 12, 13, 14, 0, 0, 0);
    return _mm512_maskz_permutexvar_ps(0x1f1f, from, _mm512_loadu_ps(bg));
}
__attribute__((target("avx512f"))) inline void store_background_pair(float* bg, __m512 acc) {
    const __m512i to = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 8, 9, 10, 11, 12, 15);
    _mm512_mask_storeu_ps(bg, 0x7c1f, _mm512_maskz_permutexvar_ps(0x7c1f, to, acc));
}
static_assert(sizeof(ZblurSourceRecord) == 10 * sizeof(float) &&
              offsetof(ZblurSourceRecord, background) + 16 * sizeof(float) ==
                  2 * sizeof(ZblurSourceRecord));

__attribute__((target("avx512f"))) void gather_avx512(const LevelStep* steps,
                                                      ZblurSourceRecord* row, int32_t first,
                                                      int32_t last,
                                                      const ZblurBackgroundPrefix* prefix) {
    int32_t xs[kChunk];
    float fs[kChunk];
    __m512 dws[kChunk];
    for (;;) {
        int32_t n = 0;
        while (n < kChunk && steps->x != kIrisRowEnd) {
            xs[n] = steps->x;
            fs[n] = float(steps->weight_step);
            dws[n] = _mm512_set1_ps(fs[n]);
            ++n;
            ++steps;
        }
        if (n == 0) return;
        int32_t i = first;
        for (; i + 3 < last; i += 4) {
            ZblurSourceRecord* r = row + i;
            if ((r[0].flags & r[1].flags & r[2].flags & r[3].flags & kZblurRecordCovered) != 0)
                continue;
            __m512 acc0 = load_background_pair(r[0].background);
            __m512 acc1 = load_background_pair(r[2].background);
            const ZblurBackgroundPrefix* p = prefix + i;
            for (int32_t t = 0; t < n; ++t) {
                acc0 = _mm512_sub_ps(acc0, _mm512_mul_ps(dws[t], _mm512_loadu_ps(p[xs[t]].v)));
                acc1 = _mm512_sub_ps(acc1, _mm512_mul_ps(dws[t], _mm512_loadu_ps(p[xs[t] + 2].v)));
            }
            store_background_pair(r[0].background, acc0);
            store_background_pair(r[2].background, acc1);
        }
        for (; i < last; ++i) {
            float* bg = row[i].background;
            __m256 acc = load_background(bg);
            for (int32_t t = 0; t < n; ++t)
                acc = _mm256_sub_ps(acc, _mm256_mul_ps(_mm256_set1_ps(fs[t]),
                                                       _mm256_loadu_ps(prefix[i + xs[t]].v)));
            store_background(bg, acc);
        }
    }
}

#endif

// The code a call runs: `best` is the widest this processor has.
SweepCode resolve(SweepCode code) {
    if (code == SweepCode::best) {
        if (sweep_code_available(SweepCode::avx512)) return SweepCode::avx512;
        if (sweep_code_available(SweepCode::avx2)) return SweepCode::avx2;
        return SweepCode::portable;
    }
    return sweep_code_available(code) ? code : SweepCode::portable;
}

}  // namespace

bool sweep_code_available(SweepCode code) {
    if (code == SweepCode::portable || code == SweepCode::best) return true;
#ifdef QB_SWEEP_LOOPS_AVX2
    // The loops' target attributes ask for less than these builds hold: the check is
    // stricter than the loops need, and a processor without the rest runs the portable loops.
    return processor_runs(code == SweepCode::avx2 ? VectorBuild::avx2 : VectorBuild::avx3);
#else
    return false;
#endif
}

const char* sweep_code_name(SweepCode code) {
    switch (code) {
        case SweepCode::portable:
            return "portable";
        case SweepCode::avx2:
            return "avx2";
        case SweepCode::avx512:
            return "avx512";
        case SweepCode::best:
            break;
    }
    return "best";
}

void scatter_kernel_row(const LevelStep* steps, const ZblurSourceRecord* row, int32_t first,
                        int32_t last, ZblurLevelSums<int64_t>* changes, SweepCode code) {
    code = resolve(code);
    Change chunk[kChunk];
    for (;;) {
        const int32_t n = load_changes(steps, chunk);
        if (n == 0) return;
#ifdef QB_SWEEP_LOOPS_AVX2
        if (code != SweepCode::portable) {
            scatter_clusters(chunk, n, row, first, last, changes);
            continue;
        }
#endif
        scatter_generic(chunk, n, row, first, last, changes);
    }
}

void scatter_kernel_row_clamped(const LevelStep* steps, const ZblurSourceRecord* row, int32_t first,
                                int32_t last, int32_t wp, ZblurLevelSums<int64_t>* changes,
                                SweepCode code) {
    code = resolve(code);
    Change chunk[kChunk];
    for (;;) {
        const int32_t n = load_changes(steps, chunk);
        if (n == 0) return;
        for (int32_t t = 0; t < n; ++t) {
            const Change& c = chunk[t];
            // Records [first, left) put this change left of column 0, [left, end) inside the
            // row; from end on it lies at wp or beyond.
            const int32_t end = std::max(first, std::min(last, wp - c.x));
            const int32_t left = std::clamp(-c.x, first, end);
            if (first < left) {
                int64_t sum[4] = {0, 0, 0, 0};
                for (int32_t i = first; i < left; ++i)
                    for (int ch = 0; ch < 4; ++ch) sum[ch] += row[i].colour[ch];
                changes[0].a += c.dw * sum[0];
                changes[0].r += c.dw * sum[1];
                changes[0].g += c.dw * sum[2];
                changes[0].b += c.dw * sum[3];
                changes[0].w += c.dw * (left - first);
            }
            if (left >= end) continue;
#ifdef QB_SWEEP_LOOPS_AVX2
            if (code != SweepCode::portable) {
                scatter_avx2(&c, 1, row, left, end, changes);
                continue;
            }
#endif
            scatter_generic(&c, 1, row, left, end, changes);
        }
    }
}

void gather_kernel_row(const LevelStep* steps, ZblurSourceRecord* row, int32_t first, int32_t last,
                       const ZblurBackgroundPrefix* prefix, SweepCode code) {
    code = resolve(code);
#ifdef QB_SWEEP_LOOPS_AVX2
    if (code == SweepCode::avx512) {
        gather_avx512(steps, row, first, last, prefix);
        return;
    }
    if (code == SweepCode::avx2) {
        gather_avx2(steps, row, first, last, prefix);
        return;
    }
#endif
    gather_generic(steps, row, first, last, prefix);
}
