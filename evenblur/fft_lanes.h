#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Moves the complex elements of a transform buffer between its pixel rows and the lane blocks
// of fft_vector.h. In a buffer of C floats per pixel, element k of a row is pixels 2k (the C
// real parts) and 2k + 1 (the C imaginary parts). A lane block of V = G * C lanes holds the
// same element of G rows or of G adjacent columns side by side: lane g * C + c is channel c
// of row or column g.
namespace fft_lanes {

// Four floats, the width every processor has; the moves are bound by memory, not by the width.
typedef float Float4 __attribute__((vector_size(16), may_alias));

inline Float4 loadUnaligned(const float* p) {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void storeUnaligned(float* p, Float4 v) { std::memcpy(p, &v, sizeof v); }

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
    if constexpr (C == 4) {
        for (; j < count; ++j) {
            float* d = blocks + (reverse ? reverse[j] : j) * stride;
            for (int g = 0; g < G; ++g) {
                const float* s = rows[g] + ptrdiff_t(j) * 8;
                storeUnaligned(d + 4 * g, loadUnaligned(s));
                storeUnaligned(d + V + 4 * g, loadUnaligned(s + 4));
            }
        }
    } else if constexpr (C == 1 && G % 4 == 0) {
        // Two elements of four rows at a time: a 4 x 4 transpose.
        for (; j + 1 < count; j += 2) {
            float* d0 = blocks + (reverse ? reverse[j] : j) * stride;
            float* d1 = blocks + (reverse ? reverse[j + 1] : j + 1) * stride;
            for (int g = 0; g < G; g += 4) {
                Float4 a = loadUnaligned(rows[g] + 2 * j);
                Float4 b = loadUnaligned(rows[g + 1] + 2 * j);
                Float4 c = loadUnaligned(rows[g + 2] + 2 * j);
                Float4 e = loadUnaligned(rows[g + 3] + 2 * j);
                transpose4(a, b, c, e);
                storeUnaligned(d0 + g, a);
                storeUnaligned(d0 + V + g, b);
                storeUnaligned(d1 + g, c);
                storeUnaligned(d1 + V + g, e);
            }
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
inline void scatterRows(const float* blocks, float* const* rows, int32_t row_count, int32_t count) {
    constexpr int V = G * C;
    constexpr ptrdiff_t stride = 2 * V;
    int32_t j = 0;
    if constexpr (C == 4) {
        for (; j < count; ++j) {
            const float* s = blocks + j * stride;
            for (int32_t g = 0; g < row_count; ++g) {
                float* d = rows[g] + ptrdiff_t(j) * 8;
                storeUnaligned(d, loadUnaligned(s + 4 * g));
                storeUnaligned(d + 4, loadUnaligned(s + V + 4 * g));
            }
        }
    } else if constexpr (C == 1 && G % 4 == 0) {
        // Whole quads of rows by 4 x 4 transposes, the rows of a last partial quad one by one.
        const int32_t quads = row_count / 4 * 4;
        int32_t k = 0;
        for (; k + 1 < count; k += 2) {
            const float* s0 = blocks + k * stride;
            const float* s1 = s0 + stride;
            for (int32_t g = 0; g < quads; g += 4) {
                Float4 a = loadUnaligned(s0 + g), b = loadUnaligned(s0 + V + g);
                Float4 c = loadUnaligned(s1 + g), e = loadUnaligned(s1 + V + g);
                transpose4(a, b, c, e);
                storeUnaligned(rows[g] + 2 * k, a);
                storeUnaligned(rows[g + 1] + 2 * k, b);
                storeUnaligned(rows[g + 2] + 2 * k, c);
                storeUnaligned(rows[g + 3] + 2 * k, e);
            }
        }
        for (int32_t i = 0; i < count; ++i) {
            const float* s = blocks + i * stride;
            for (int32_t g = i < k ? quads : 0; g < row_count; ++g) {
                rows[g][2 * i] = s[g];
                rows[g][2 * i + 1] = s[V + g];
            }
        }
        j = count;
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
        const float* s =
            reinterpret_cast<const float*>(data + y * row_bytes) + ptrdiff_t(first) * 2 * C;
        float* d = blocks + reverse[y] * stride;
        int32_t g = 0;
        if constexpr (C == 4) {
            for (; g < columns; ++g) {
                storeUnaligned(d + 4 * g, loadUnaligned(s + 8 * g));
                storeUnaligned(d + V + 4 * g, loadUnaligned(s + 8 * g + 4));
            }
        } else if constexpr (C == 1) {
            for (; g + 4 <= columns; g += 4) {
                const Float4 a = loadUnaligned(s + 2 * g);
                const Float4 b = loadUnaligned(s + 2 * g + 4);
                storeUnaligned(d + g, __builtin_shufflevector(a, b, 0, 2, 4, 6));
                storeUnaligned(d + V + g, __builtin_shufflevector(a, b, 1, 3, 5, 7));
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
                storeUnaligned(d + 8 * g, loadUnaligned(s + 4 * g));
                storeUnaligned(d + 8 * g + 4, loadUnaligned(s + V + 4 * g));
            }
        } else if constexpr (C == 1) {
            for (; g + 4 <= columns; g += 4) {
                const Float4 re = loadUnaligned(s + g);
                const Float4 im = loadUnaligned(s + V + g);
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
