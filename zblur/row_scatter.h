#pragma once

#include <cstdint>

#include "level_kernels.h"
#include "tile_records.h"

// The innermost loop of the depth-of-field row sweep for integer pixels: the weight changes of
// one kernel row, for a run of sources of one level, added into that level's change row.
//
// `steps` is the kernel row (it ends with kIrisRowEnd); `row` the padded row of records, of
// which [first, last) are spread, all inside: every change column i + x lies in 0 .. wp - 1,
// which the caller has made sure of. changes[c] receives, for every record i and change
// (x, dw) of the row, dw x colour and dw at c = i + x. The sums are exact integers, so the
// order of the additions, and hence the instruction set, does not change the result.
//
// The vector code is used where the processor has it, unless `portable` asks for the plain
// code (for tests that compare the two).
void scatter_kernel_row(const LevelStep* steps, const ZblurSourceRecord* row, int32_t first,
                        int32_t last, ZblurLevelSums<int64_t>* changes, bool portable = false);

// Whether scatter_kernel_row has vector code for this processor.
bool scatter_has_vector_code();
