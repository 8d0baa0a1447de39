#pragma once

#include <cstdint>
#include <cstring>

#include "generic_filter.h"
#include "pixel_array.h"

// Sets every pixel of an image to zero bits (0.0 in every channel of a float image). Only the
// width * pixel_bytes bytes of each row are written; spare bytes at the end of a padded row
// stay as they are. An image without data is left alone. One item per row.
template <class P>
class ClearImageFilter : public GenericFilter {
public:
    ClearImageFilter(QuillbrookHost* host, PixelArray<P> image) : GenericFilter(host), image(image) {}

    int32_t render(int32_t pass_index_in, int32_t pass_count_in) override {
        pass_index = pass_index_in;
        pass_count = pass_count_in;
        return run_items(image.height);
    }

    int32_t process(int32_t y, int32_t item_count, int32_t thread_index) override {
        (void)item_count;
        (void)thread_index;
        if (image.data == nullptr) return host->noError();
        if (image.width > 0)
            std::memset(image.row(y), 0, size_t(image.width) * size_t(image.pixel_bytes));
        return report_row(y, image.height);
    }

    PixelArray<P> image;
};
