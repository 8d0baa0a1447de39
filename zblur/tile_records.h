#pragma once

#include <cstdint>

// The per-pixel records and per-level sums of the depth-of-field tile kernel
// (zblur_filter.h), kept apart from the filter template so that the row scatter
// (row_sweep_loops.h) can be compiled once for every pixel type and instruction set.

// A source record (40 bytes). The colour is premultiplied (and linear with gamma) on the colour
// grid of the frame (a power of two per channel unit); the accumulators hold the record's
// background estimate: deposited colour and weight, summed over its footprint with its gridded
// kernel weights.
struct ZblurSourceRecord {
    int32_t colour[4];    // alpha, red, green, blue on the colour grid
    float background[5];  // alpha, red, green, blue, weight
    uint8_t level;
    uint8_t shift;  // float frames with 128-bit sums: the colour is in units of 2^(shift - 40)
    uint8_t run;    // records from this one to the end of its run of one level in the
                    // padded row (1 .. 255; longer runs are cut)
    uint8_t flags;  // behind records: kZblurRecordSilent; source records: kZblurRecordCovered
};
// A behind record that is no source: no behind pixel there, or one that does not lie behind
// the source pixel there.
inline constexpr uint8_t kZblurRecordSilent = 1;
// A source record of the tile whose pixel is covered (set once its row is composited): its
// background estimate is never read, so the collection may pass it over.
inline constexpr uint8_t kZblurRecordCovered = 2;
static_assert(sizeof(ZblurSourceRecord) == 40);

// What a record adds to the highlight sums (20 bytes, highlight kernels only): its colour times
// its selection weight on the colour grid, and the selection weight times 2^23 (0: not selected).
struct ZblurHighlightRecord {
    int32_t colour[4];
    int32_t selection;
};
static_assert(sizeof(ZblurHighlightRecord) == 20);

// Per-level sums of weight x colour and of weight, in 1/65536 weight units. C is 64-bit, on a
// colour grid chosen per frame so that no kernel's sum can leave 64 bits; float frames too
// wide for that grid sum in 128 bits (see zblur_filter.h). The sums are exact, whatever the
// order of the additions.
template <class C>
struct ZblurLevelSums {
    C a, r, g, b;
    int64_t w;
};

// The same for the highlight kernels: weight x colour x selection, weight x selection
// (selection in 2^-23) and the weight without the border ring.
template <class C>
struct ZblurLevelHighlight {
    C a, r, g, b;
    int64_t s, u;
};

// The background deposits of one level in a row, summed from the row's start up to (not
// including) a column: alpha, red, green, blue, weight, and three zeros that make it one
// 32-byte vector.
struct ZblurBackgroundPrefix {
    float v[8];
};
