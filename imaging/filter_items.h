#pragma once

#include <cstdint>

// How the generic filters divide their work into the items of a parallel run, and the
// progress values they report. Rows are half-open ranges [begin, end).

struct RowRange {
    int32_t begin = 0;
    int32_t end = 0;

    int32_t size() const { return end - begin; }
    bool operator==(const RowRange&) const = default;
};

// Band `band` of `band_count` bands over `height` rows: rows band * q up to but excluding
// (band + 1) * q with q = height / band_count (integer division); the last band ends at
// `height`, so it takes the remainder. A band outside 0 .. band_count - 1, or a count below 1,
// is empty.
constexpr RowRange band_rows(int32_t band, int32_t band_count, int32_t height) {
    if (band_count < 1 || band < 0 || band >= band_count || height <= 0) return {};
    const int32_t q = height / band_count;
    const int32_t begin = band * q;
    const int32_t end = band == band_count - 1 ? height : begin + q;
    return {begin, end};
}

// The (current, total) pair reported after finishing row `y` of `rows_per_pass` rows, for a
// filter that covers pass `pass_index` of `pass_count` equal passes of the caller's progress.
struct ProgressValue {
    int32_t current = 0;
    int32_t total = 0;

    bool operator==(const ProgressValue&) const = default;
};

constexpr ProgressValue row_progress(int32_t y, int32_t rows_per_pass, int32_t pass_index,
                                     int32_t pass_count) {
    return {y + rows_per_pass * pass_index, rows_per_pass * pass_count};
}
