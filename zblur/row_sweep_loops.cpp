#include "zblur/row_sweep_loops.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QB_SWEEP_LOOPS_AVX2 1
#endif

namespace {

// Kernel rows are taken this many changes at a time into a local array (column offset and
// 64-bit step together); polygon rows have 2 to 8 changes, lens rows may have many more.
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
// stores bound that loop). N > 0 fixes the count for the usual clusters of 2 to 4.
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
            const __m256i colour = _mm256_cvtepi32_epi64(_mm_loadu_si128(
                reinterpret_cast<const __m128i*>(row[col - cluster[t].x].colour)));
            sum = _mm256_add_epi64(sum, _mm256_mul_epi32(colour, weights[t]));
        }
        __m256i* sums = reinterpret_cast<__m256i*>(&changes[col].a);
        _mm256_storeu_si256(sums, _mm256_add_epi64(_mm256_loadu_si256(sums), sum));
        changes[col].w += weight_sum;
    }
}

// Changes at most this many columns apart are taken together (the ramps of a kernel row's
// anti-aliased edges are changes at neighbouring columns).
constexpr int32_t kClusterGap = 4;

// A cluster of n changes at increasing offsets: the columns all of them reach from inside the
// run are summed column by column, the rest (at most the cluster's width per change, at the
// run's ends) change by change. Integer sums are exact, so the result is that of scatter_avx2.
__attribute__((target("avx2"))) void scatter_cluster_avx2(const Change* cluster, int32_t n,
                                                          const ZblurSourceRecord* row,
                                                          int32_t first, int32_t last,
                                                          ZblurLevelSums<int64_t>* changes) {
    const int32_t x0 = cluster[0].x;
    const int32_t x1 = cluster[n - 1].x;
    const int32_t col_first = first + x1;
    const int32_t col_end = last + x0;
    if (n == 1 || col_end <= col_first) {
        scatter_avx2(cluster, n, row, first, last, changes);
        return;
    }
    for (int32_t t = 0; t < n; ++t) {
        scatter_avx2(cluster + t, 1, row, first, col_first - cluster[t].x, changes);
        scatter_avx2(cluster + t, 1, row, col_end - cluster[t].x, last, changes);
    }
    switch (n) {
        case 2:
            scatter_columns_avx2<2>(cluster, n, row, col_first, col_end, changes);
            break;
        case 3:
            scatter_columns_avx2<3>(cluster, n, row, col_first, col_end, changes);
            break;
        case 4:
            scatter_columns_avx2<4>(cluster, n, row, col_first, col_end, changes);
            break;
        default:
            scatter_columns_avx2<0>(cluster, n, row, col_first, col_end, changes);
            break;
    }
}

__attribute__((target("avx2"))) void scatter_clusters_avx2(const Change* changes_of_row,
                                                           int32_t n, const ZblurSourceRecord* row,
                                                           int32_t first, int32_t last,
                                                           ZblurLevelSums<int64_t>* changes) {
    int32_t t = 0;
    while (t < n) {
        int32_t end = t + 1;
        while (end < n && changes_of_row[end].x > changes_of_row[end - 1].x &&
               changes_of_row[end].x - changes_of_row[end - 1].x <= kClusterGap)
            ++end;
        scatter_cluster_avx2(changes_of_row + t, end - t, row, first, last, changes);
        t = end;
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
                acc = _mm256_sub_ps(acc, _mm256_mul_ps(dws[t], _mm256_loadu_ps(prefix[i + xs[t]].v)));
            store_background(bg, acc);
        }
    }
}

bool has_avx2() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
}
#endif

}  // namespace

bool sweep_loops_have_vector_code() {
#ifdef QB_SWEEP_LOOPS_AVX2
    return has_avx2();
#else
    return false;
#endif
}

void scatter_kernel_row(const LevelStep* steps, const ZblurSourceRecord* row, int32_t first,
                        int32_t last, ZblurLevelSums<int64_t>* changes, bool portable) {
    (void)portable;  // without vector code there is only the portable loop
    Change chunk[kChunk];
    for (;;) {
        const int32_t n = load_changes(steps, chunk);
        if (n == 0) return;
#ifdef QB_SWEEP_LOOPS_AVX2
        if (!portable && has_avx2()) {
            scatter_clusters_avx2(chunk, n, row, first, last, changes);
            continue;
        }
#endif
        scatter_generic(chunk, n, row, first, last, changes);
    }
}

void gather_kernel_row(const LevelStep* steps, ZblurSourceRecord* row, int32_t first, int32_t last,
                       const ZblurBackgroundPrefix* prefix, bool portable) {
    (void)portable;
#ifdef QB_SWEEP_LOOPS_AVX2
    if (!portable && has_avx2()) {
        gather_avx2(steps, row, first, last, prefix);
        return;
    }
#endif
    gather_generic(steps, row, first, last, prefix);
}
