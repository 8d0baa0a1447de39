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

// All five accumulators in one register: one product and one difference per change. No fused
// multiply-add, so that the rounding is that of the portable loop.
__attribute__((target("avx2"))) void gather_avx2(const LevelStep* steps, ZblurSourceRecord* row,
                                                 int32_t first, int32_t last,
                                                 const ZblurBackgroundPrefix* prefix) {
    for (int32_t i = first; i < last; ++i) {
        float* bg = row[i].background;
        __m256 acc =
            _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(bg)), _mm_load_ss(bg + 4), 1);
        for (const LevelStep* s = steps; s->x != kIrisRowEnd; ++s) {
            const __m256 dw = _mm256_set1_ps(float(s->weight_step));
            acc = _mm256_sub_ps(acc, _mm256_mul_ps(dw, _mm256_loadu_ps(prefix[i + s->x].v)));
        }
        _mm_storeu_ps(bg, _mm256_castps256_ps128(acc));
        _mm_store_ss(bg + 4, _mm256_extractf128_ps(acc, 1));
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
            scatter_avx2(chunk, n, row, first, last, changes);
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
