#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fft_kernels.h"

// Moves the complex elements of a transform buffer between its pixel rows and the lane blocks
// of fft_kernels.h. In a buffer of C floats per pixel, element k of a row is pixels 2k (the C
// real parts) and 2k + 1 (the C imaginary parts). A lane block of V = G * C lanes holds the
// same element of G rows or of G adjacent columns side by side: lane g * C + c is channel c
// of row or column g.
namespace fft_lanes {

using fft_kernels::Float4;
using fft_kernels::load;
using fft_kernels::loadUnaligned;
using fft_kernels::store;
using fft_kernels::storeUnaligned;

// In-register 4 x 4 transpose: afterwards a holds the first floats of a, b, c, d, and so on.
inline void transpose4(Float4& a, Float4& b, Float4& c, Float4& d) {
    const Float4 t0 = __builtin_shufflevector(a, b, 0, 4, 1, 5);
    const Float4 t1 = __builtin_shufflevector(a, b, 2, 6, 3, 7);
    const Float4 t2 = __builtin_shufflevector(c, d, 0, 4, 1, 5);
    const Float4 t3 = __builtin_shufflevector(c, d, 2, 6, 3, 7);
    a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    b = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    c = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Elements 0 .. count-1 of G rows into lane blocks; element j goes to block reverse[j], or to
// block j when reverse is null. Every one of the G row pointers must be valid: a group with
// fewer rows repeats one of them (the repeated lanes compute the same values and are not
// stored back).
template <int C, int G>
inline void gatherRows(float* blocks, const float* const* rows, int32_t count,
                       const int32_t* reverse) {
    constexpr int V = G * C;
    constexpr ptrdiff_t stride = 2 * V;
    int32_t j = 0;
    if constexpr (C == 4 && G == 1) {
        for (; j < count; ++j) {
            float* d = blocks + (reverse ? reverse[j] : j) * stride;
            const float* s = rows[0] + ptrdiff_t(j) * 8;
            store(d, loadUnaligned(s));
            store(d + 4, loadUnaligned(s + 4));
        }
    } else if constexpr (C == 1 && G == 4) {
        for (; j + 1 < count; j += 2) {
            Float4 a = loadUnaligned(rows[0] + 2 * j);
            Float4 b = loadUnaligned(rows[1] + 2 * j);
            Float4 c = loadUnaligned(rows[2] + 2 * j);
            Float4 d = loadUnaligned(rows[3] + 2 * j);
            transpose4(a, b, c, d);
            float* d0 = blocks + (reverse ? reverse[j] : j) * stride;
            float* d1 = blocks + (reverse ? reverse[j + 1] : j + 1) * stride;
            store(d0, a);
            store(d0 + 4, b);
            store(d1, c);
            store(d1 + 4, d);
        }
    }
    for (; j < count; ++j) {
        float* d = blocks + (reverse ? reverse[j] : j) * stride;
        for (int g = 0; g < G; ++g) {
            const float* s = rows[g] + ptrdiff_t(j) * 2 * C;
            std::memcpy(d + g * C, s, C * sizeof(float));
            std::memcpy(d + V + g * C, s + C, C * sizeof(float));
        }
    }
}

// Lane blocks 0 .. count-1 back into elements 0 .. count-1 of the first `row_count` (<= G)
// rows; the other lanes are dropped.
template <int C, int G>
inline void scatterRows(const float* blocks, float* const* rows, int32_t row_count,
                        int32_t count) {
    constexpr int V = G * C;
    constexpr ptrdiff_t stride = 2 * V;
    int32_t j = 0;
    if constexpr (C == 4 && G == 1) {
        for (; j < count; ++j) {
            const float* s = blocks + j * stride;
            float* d = rows[0] + ptrdiff_t(j) * 8;
            storeUnaligned(d, load(s));
            storeUnaligned(d + 4, load(s + 4));
        }
    } else if constexpr (C == 1 && G == 4) {
        if (row_count == G) {
            for (; j + 1 < count; j += 2) {
                const float* s0 = blocks + j * stride;
                const float* s1 = s0 + stride;
                Float4 a = load(s0), b = load(s0 + 4), c = load(s1), d = load(s1 + 4);
                transpose4(a, b, c, d);
                storeUnaligned(rows[0] + 2 * j, a);
                storeUnaligned(rows[1] + 2 * j, b);
                storeUnaligned(rows[2] + 2 * j, c);
                storeUnaligned(rows[3] + 2 * j, d);
            }
        }
    }
    for (; j < count; ++j) {
        const float* s = blocks + j * stride;
        for (int g = 0; g < row_count; ++g) {
            float* d = rows[g] + ptrdiff_t(j) * 2 * C;
            std::memcpy(d, s + g * C, C * sizeof(float));
            std::memcpy(d + C, s + V + g * C, C * sizeof(float));
        }
    }
}

// Elements first .. first + columns - 1 (columns <= G) of rows 0 .. rows-1 into lane blocks,
// row y going to block reverse[y]. Lanes of missing columns are set to zero.
template <int C, int G>
inline void gatherColumns(float* blocks, const unsigned char* data, ptrdiff_t row_bytes,
                          int32_t rows, int32_t first, int32_t columns, const int32_t* reverse) {
    constexpr int V = G * C;
    constexpr ptrdiff_t stride = 2 * V;
    for (int32_t y = 0; y < rows; ++y) {
        const float* s = reinterpret_cast<const float*>(data + y * row_bytes) +
                         ptrdiff_t(first) * 2 * C;
        float* d = blocks + reverse[y] * stride;
        int32_t g = 0;
        if constexpr (C == 4) {
            for (; g < columns; ++g) {
                store(d + 4 * g, loadUnaligned(s + 8 * g));
                store(d + V + 4 * g, loadUnaligned(s + 8 * g + 4));
            }
        } else if constexpr (C == 1) {
            for (; g + 4 <= columns; g += 4) {
                const Float4 a = loadUnaligned(s + 2 * g);
                const Float4 b = loadUnaligned(s + 2 * g + 4);
                store(d + g, __builtin_shufflevector(a, b, 0, 2, 4, 6));
                store(d + V + g, __builtin_shufflevector(a, b, 1, 3, 5, 7));
            }
        }
        for (; g < columns; ++g) {
            std::memcpy(d + g * C, s + g * 2 * C, C * sizeof(float));
            std::memcpy(d + V + g * C, s + g * 2 * C + C, C * sizeof(float));
        }
        for (int lane = columns * C; lane < V; ++lane) {
            d[lane] = 0.0f;
            d[V + lane] = 0.0f;
        }
    }
}

// Lane blocks 0 .. rows-1 back into elements first .. first + columns - 1 of rows 0 .. rows-1.
template <int C, int G>
inline void scatterColumns(const float* blocks, unsigned char* data, ptrdiff_t row_bytes,
                           int32_t rows, int32_t first, int32_t columns) {
    constexpr int V = G * C;
    constexpr ptrdiff_t stride = 2 * V;
    for (int32_t y = 0; y < rows; ++y) {
        float* d = reinterpret_cast<float*>(data + y * row_bytes) + ptrdiff_t(first) * 2 * C;
        const float* s = blocks + y * stride;
        int32_t g = 0;
        if constexpr (C == 4) {
            for (; g < columns; ++g) {
                storeUnaligned(d + 8 * g, load(s + 4 * g));
                storeUnaligned(d + 8 * g + 4, load(s + V + 4 * g));
            }
        } else if constexpr (C == 1) {
            for (; g + 4 <= columns; g += 4) {
                const Float4 re = load(s + g);
                const Float4 im = load(s + V + g);
                storeUnaligned(d + 2 * g, __builtin_shufflevector(re, im, 0, 4, 1, 5));
                storeUnaligned(d + 2 * g + 4, __builtin_shufflevector(re, im, 2, 6, 3, 7));
            }
        }
        for (; g < columns; ++g) {
            std::memcpy(d + g * 2 * C, s + g * C, C * sizeof(float));
            std::memcpy(d + g * 2 * C + C, s + V + g * C, C * sizeof(float));
        }
    }
}

}  // namespace fft_lanes
