#pragma once

#include <cstdint>

#include "imaging/generic_filter.h"
#include "imaging/pixel_array.h"

// Base of the filters that write an image row by row, one item per row (clear, fill, the
// depth displays): the shared render and process. An image without pixel memory is left
// alone and reports no progress; every written row reports once.
template <class P>
class RowFilter : public GenericFilter {
public:
    int32_t render(int32_t pass_index_in, int32_t pass_count_in) final {
        pass_index = pass_index_in;
        pass_count = pass_count_in;
        if (written().data == nullptr) return host->noError();
        return run_items(written().height);
    }

    int32_t process(int32_t y, int32_t item_count, int32_t thread_index) final {
        (void)item_count;
        (void)thread_index;
        if (written().data == nullptr) return host->noError();
        write_row(y);
        return report_row(y, written().height);
    }

protected:
    using GenericFilter::GenericFilter;

    // The image whose rows are written.
    virtual const PixelArray<P>& written() const = 0;
    virtual void write_row(int32_t y) = 0;
};
