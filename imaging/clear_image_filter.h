#pragma once

#include <cstdint>
#include <cstring>

#include "imaging/pixel_array.h"
#include "imaging/row_filter.h"

// Sets every pixel of an image to zero bits (0.0 in every channel of a float image). Only the
// width * pixel_bytes bytes of each row are written; spare bytes at the end of a padded row
// stay as they are. An image without data is left alone. One item per row.
template <class P>
class ClearImageFilter : public RowFilter<P> {
public:
    ClearImageFilter(QuillbrookHost* host_in, PixelArray<P> image_in)
        : RowFilter<P>(host_in), image(image_in) {}

    PixelArray<P> image;

private:
    const PixelArray<P>& written() const override { return image; }
    void write_row(int32_t y) override {
        if (image.width > 0)
            std::memset(image.row(y), 0, size_t(image.width) * size_t(image.pixel_bytes));
    }
};
