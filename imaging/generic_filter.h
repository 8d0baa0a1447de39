#pragma once

#include <cstdint>

#include "imaging/filter_items.h"
#include "framework/rectangle.h"  // complete before the host header, whose hooks take it by value
#include "imaging/quillbrook_filter.h"

// Base of the generic filters (copy, zoom, clear, fill, highlight selection). The caller
// builds one, assigns its settings, calls render(pass_index, pass_count) once and destroys
// it. render runs the filter as items of a parallel loop; process handles one item. Both
// return the host's status: no-error to go on, anything else is passed back unchanged.
class GenericFilter : public QuillbrookFilter {
public:
    using QuillbrookFilter::QuillbrookFilter;

    virtual int32_t render(int32_t pass_index, int32_t pass_count) = 0;
    virtual int32_t process(int32_t item, int32_t item_count, int32_t thread_index) = 0;

    // Which share of the caller's progress bar this filter covers; written by render.
    int32_t pass_index = 0;
    int32_t pass_count = 0;

protected:
    // Runs process for items 0 .. item_count - 1 on the host's pool. No items: no-error
    // without touching the pool.
    int32_t run_items(int32_t item_count) {
        if (item_count <= 0) return host->noError();
        return host->runParallelOn<&GenericFilter::process>(item_count, this);
    }

    // Progress after finishing row y of `rows_per_pass` rows of this filter's pass.
    int32_t report_row(int32_t y, int32_t rows_per_pass) {
        const ProgressValue p = row_progress(y, rows_per_pass, pass_index, pass_count);
        return host->progress(p.current, p.total);
    }
};
