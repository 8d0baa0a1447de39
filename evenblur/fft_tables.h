#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

// Twiddle factors and bit-reversal permutations of the radix-2 transforms, computed once per
// transform size and direction. The factors come from the double-precision recurrence
//   wpr = -2 sin^2(theta / 2), wpi = sin(theta),
//   wr' = wr * wpr - wi * wpi + wr, wi' = wi * wpr + wr * wpi + wi,
// evaluated in the order the butterflies consume them, and are stored rounded to single
// precision. A table therefore holds exactly the values the recurrence would have produced
// inside the butterfly loops, while the loops are free to visit the butterflies in any order.
//
// Direction +1 is the forward transform (positive exponent, X[k] = sum x[j] e^(+2 pi i jk/n)),
// -1 the inverse. Angles are in radians.

namespace fft_tables_detail {

constexpr double kPi = 3.14159265358979323846;

// Every table starts on a 16-byte boundary, so one 16-byte aligned block serves all of them.
inline size_t roundUp16(size_t bytes) { return (bytes + 15) & ~size_t{15}; }

// The step of the recurrence for angle theta (radians).
struct RecurrenceStep {
    double wpr;
    double wpi;
    explicit RecurrenceStep(double theta) {
        const double s = std::sin(0.5 * theta);
        wpr = -2.0 * s * s;
        wpi = std::sin(theta);
    }
};

// Stores `count` values of the recurrence, starting with (r, i).
inline void runRecurrence(const RecurrenceStep& step, double r, double i, int32_t count, float* wr,
                          float* wi) {
    for (int32_t m = 0; m < count; ++m) {
        wr[m] = static_cast<float>(r);
        wi[m] = static_cast<float>(i);
        const double previous = r;
        r = r * step.wpr - i * step.wpi + r;
        i = i * step.wpr + previous * step.wpi + i;
    }
}

}  // namespace fft_tables_detail

// True when n is a power of two (1 included).
inline bool isPowerOfTwo(int32_t n) { return n > 0 && (n & (n - 1)) == 0; }

// Twiddles of a complex transform of n elements (n a power of two): the stage of block length
// L = 2h (h = 1, 2, 4, ..., n/2) occupies entries h - 1 .. 2h - 2, entry h - 1 + m being the
// factor of butterfly m of that stage (theta = direction * 2 pi / L, starting at (1, 0)).
// n - 1 entries in total (0 when n is 1).
inline int32_t complexTwiddleCount(int32_t n) { return n > 1 ? n - 1 : 0; }

inline void buildComplexTwiddles(int32_t n, int direction, float* wr, float* wi) {
    for (int32_t h = 1; h < n; h *= 2) {
        const fft_tables_detail::RecurrenceStep step(direction * (2.0 * fft_tables_detail::kPi) /
                                                     (2.0 * h));
        fft_tables_detail::runRecurrence(step, 1.0, 0.0, h, wr + (h - 1), wi + (h - 1));
    }
}

// Twiddles of the split step that turns a complex transform of n elements into the transform
// of 2n real samples: entry k (k = 1 .. n/2 - 1) is the factor of the pair (k, n - k), with
// theta = direction * pi / n and the recurrence started at (1 + wpr, wpi). Entry 0 holds
// (1, 0) and is not used. n/2 entries (at least 1).
inline int32_t splitTwiddleCount(int32_t n) { return n >= 2 ? n / 2 : 1; }

inline void buildSplitTwiddles(int32_t n, int direction, float* wr, float* wi) {
    wr[0] = 1.0f;
    wi[0] = 0.0f;
    const fft_tables_detail::RecurrenceStep step(direction * fft_tables_detail::kPi / n);
    fft_tables_detail::runRecurrence(step, 1.0 + step.wpr, step.wpi, n / 2 - 1, wr + 1, wi + 1);
}

// reverse[i] = i with its log2(n) low bits in reverse order.
inline void buildBitReversal(int32_t n, int32_t* reverse) {
    int32_t bits = 0;
    while ((int32_t{1} << bits) < n) ++bits;
    for (int32_t i = 0; i < n; ++i) {
        int32_t r = 0;
        for (int32_t b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
        reverse[i] = r;
    }
}

// All tables of one two-dimensional real transform of Nw x Nh samples in one direction: the
// row transforms are complex transforms of Nw/2 elements plus the split step, the column
// transforms complex transforms of Nh elements. The tables live in caller-supplied memory of
// bytes(Nw/2, Nh) bytes (from the render context, 16-byte aligned), which must stay alive
// while they are used.
struct FftTables {
    int32_t row_elements = 0;     // Nw / 2
    int32_t column_elements = 0;  // Nh
    const int32_t* row_reverse = nullptr;
    const int32_t* column_reverse = nullptr;
    const float* row_wr = nullptr;
    const float* row_wi = nullptr;
    const float* column_wr = nullptr;
    const float* column_wi = nullptr;
    const float* split_wr = nullptr;
    const float* split_wi = nullptr;

    static size_t bytes(int32_t row_elements, int32_t column_elements) {
        using fft_tables_detail::roundUp16;
        const size_t f = sizeof(float);
        return roundUp16(sizeof(int32_t) * size_t(row_elements)) +
               roundUp16(sizeof(int32_t) * size_t(column_elements)) +
               2 * roundUp16(f * size_t(complexTwiddleCount(row_elements))) +
               2 * roundUp16(f * size_t(complexTwiddleCount(column_elements))) +
               2 * roundUp16(f * size_t(splitTwiddleCount(row_elements)));
    }

    static FftTables build(void* memory, int32_t row_elements, int32_t column_elements,
                           int direction) {
        unsigned char* next = static_cast<unsigned char*>(memory);
        auto take = [&next](size_t bytes) {
            unsigned char* block = next;
            next += fft_tables_detail::roundUp16(bytes);
            return block;
        };
        auto* row_reverse =
            reinterpret_cast<int32_t*>(take(sizeof(int32_t) * size_t(row_elements)));
        auto* column_reverse =
            reinterpret_cast<int32_t*>(take(sizeof(int32_t) * size_t(column_elements)));
        const size_t row_twiddles = sizeof(float) * size_t(complexTwiddleCount(row_elements));
        const size_t column_twiddles = sizeof(float) * size_t(complexTwiddleCount(column_elements));
        const size_t split_twiddles = sizeof(float) * size_t(splitTwiddleCount(row_elements));
        auto* row_wr = reinterpret_cast<float*>(take(row_twiddles));
        auto* row_wi = reinterpret_cast<float*>(take(row_twiddles));
        auto* column_wr = reinterpret_cast<float*>(take(column_twiddles));
        auto* column_wi = reinterpret_cast<float*>(take(column_twiddles));
        auto* split_wr = reinterpret_cast<float*>(take(split_twiddles));
        auto* split_wi = reinterpret_cast<float*>(take(split_twiddles));

        buildBitReversal(row_elements, row_reverse);
        buildBitReversal(column_elements, column_reverse);
        buildComplexTwiddles(row_elements, direction, row_wr, row_wi);
        buildComplexTwiddles(column_elements, direction, column_wr, column_wi);
        buildSplitTwiddles(row_elements, direction, split_wr, split_wi);

        FftTables tables;
        tables.row_elements = row_elements;
        tables.column_elements = column_elements;
        tables.row_reverse = row_reverse;
        tables.column_reverse = column_reverse;
        tables.row_wr = row_wr;
        tables.row_wi = row_wi;
        tables.column_wr = column_wr;
        tables.column_wi = column_wi;
        tables.split_wr = split_wr;
        tables.split_wi = split_wi;
        return tables;
    }
};
