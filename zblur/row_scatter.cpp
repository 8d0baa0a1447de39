#include "row_scatter.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QB_ROW_SCATTER_AVX2 1
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

void scatter_generic(const Change* changes_of_row, int32_t n, const ZblurSourceRecord* row,
                     int32_t first, int32_t last, ZblurLevelSums<int64_t>* changes) {
    for (int32_t i = first; i < last; ++i) {
        const ZblurSourceRecord& rec = row[i];
        const int64_t c0 = rec.colour[0], c1 = rec.colour[1], c2 = rec.colour[2],
                      c3 = rec.colour[3];
        for (int32_t t = 0; t < n; ++t) {
            const int64_t dw = changes_of_row[t].dw;
            ZblurLevelSums<int64_t>& d = changes[i + changes_of_row[t].x];
            d.a += dw * c0;
            d.r += dw * c1;
            d.g += dw * c2;
            d.b += dw * c3;
            d.w += dw;
        }
    }
}

#ifdef QB_ROW_SCATTER_AVX2
// The four colour products of a change in one instruction (signed 32 x 32 -> 64 bit) and one
// 32-byte addition, where the scalar loop needs four multiplications and four stores.
__attribute__((target("avx2"))) void scatter_avx2(const Change* changes_of_row, int32_t n,
                                                  const ZblurSourceRecord* row, int32_t first,
                                                  int32_t last,
                                                  ZblurLevelSums<int64_t>* changes) {
    for (int32_t i = first; i < last; ++i) {
        const __m256i colour = _mm256_cvtepi32_epi64(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row[i].colour)));
        for (int32_t t = 0; t < n; ++t) {
            const int64_t dw = changes_of_row[t].dw;
            ZblurLevelSums<int64_t>& d = changes[i + changes_of_row[t].x];
            __m256i* sums = reinterpret_cast<__m256i*>(&d.a);
            const __m256i product = _mm256_mul_epi32(colour, _mm256_set1_epi64x(dw));
            _mm256_storeu_si256(sums, _mm256_add_epi64(_mm256_loadu_si256(sums), product));
            d.w += dw;
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

bool scatter_has_vector_code() {
#ifdef QB_ROW_SCATTER_AVX2
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
#ifdef QB_ROW_SCATTER_AVX2
        if (!portable && has_avx2()) {
            scatter_avx2(chunk, n, row, first, last, changes);
            continue;
        }
#endif
        scatter_generic(chunk, n, row, first, last, changes);
    }
}
