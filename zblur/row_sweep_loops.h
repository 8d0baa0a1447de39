#pragma once

#include <cstdint>

#include "zblur/level_kernels.h"
#include "zblur/tile_records.h"

// The innermost loops of the depth-of-field row sweep (zblur_filter.h), for a run of sources
// of one level that share one kernel row.
//
// scatter_kernel_row (integer pixels): the weight changes of the kernel row added into the
// level's change row.
//
// `steps` is the kernel row (it ends with kIrisRowEnd); `row` the padded row of records, of
// which [first, last) are spread, all inside: every change column i + x lies in 0 .. wp - 1,
// which the caller has made sure of. changes[c] receives, for every record i and change
// (x, dw) of the row, dw x colour and dw at c = i + x. The sums are exact integers, so the
// order of the additions, and hence the instruction set, does not change the result.
//
// The code paths of the loops: the plain loops, 256-bit and 512-bit vector code, and the
// widest that the processor has (the default; tests ask for each path to compare them). A path
// the processor lacks runs the plain loops.
enum class SweepCode { portable, avx2, avx512, best };

void scatter_kernel_row(const LevelStep* steps, const ZblurSourceRecord* row, int32_t first,
                        int32_t last, ZblurLevelSums<int64_t>* changes,
                        SweepCode code = SweepCode::best);

// scatter_kernel_row_clamped: the same for records near the ends of a padded row of wp
// columns: a change left of column 0 counts at column 0, and one at column wp or beyond is left
// out (the sums do not need it).
void scatter_kernel_row_clamped(const LevelStep* steps, const ZblurSourceRecord* row,
                                int32_t first, int32_t last, int32_t wp,
                                ZblurLevelSums<int64_t>* changes,
                                SweepCode code = SweepCode::best);

// gather_kernel_row: the sources [first, last) of `row` collect the background deposits of
// their level over the kernel row: for every change (x, dw), dw x prefix[i + x] is taken from
// the record's background accumulators. All columns i + x must lie in 0 .. wp (prefix holds
// wp + 1 entries). Every code path rounds alike (a product, then a difference, per channel).
// Records flagged kZblurRecordCovered may be passed over (the vector paths pass over a group of
// 2 or 4 only when all of them are covered): their accumulators are not read again.
void gather_kernel_row(const LevelStep* steps, ZblurSourceRecord* row, int32_t first, int32_t last,
                       const ZblurBackgroundPrefix* prefix, SweepCode code = SweepCode::best);

// Whether this build and processor run `code` (portable and best always).
bool sweep_code_available(SweepCode code);
const char* sweep_code_name(SweepCode code);
