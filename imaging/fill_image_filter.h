#pragma once

#include <cstdint>

#include "generic_filter.h"
#include "pixel_array.h"

// Stores one pixel value into every pixel of an image; spare bytes of padded rows stay as
// they are. An image without data is left alone. One item per row.
template <class P>
class FillImageFilter : public GenericFilter {
public:
    FillImageFilter(QuillbrookHost* host, PixelArray<P> image, P fill)
        : GenericFilter(host), image(image), fill(fill) {}

    int32_t render(int32_t pass_index_in, int32_t pass_count_in) override {
        pass_index = pass_index_in;
        pass_count = pass_count_in;
        return run_items(image.height);
    }

    int32_t process(int32_t y, int32_t item_count, int32_t thread_index) override {
        (void)item_count;
        (void)thread_index;
        if (image.data == nullptr) return host->noError();
        P* out = image.row(y);
        for (int32_t x = 0; x < image.width; ++x) out[x] = fill;
        return report_row(y, image.height);
    }

    PixelArray<P> image;
    P fill;
};
