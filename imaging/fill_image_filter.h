#pragma once

#include <cstdint>

#include "imaging/pixel_array.h"
#include "imaging/row_filter.h"

// Stores one pixel value into every pixel of an image; spare bytes of padded rows stay as
// they are. An image without data is left alone. One item per row.
template <class P>
class FillImageFilter : public RowFilter<P> {
public:
    FillImageFilter(QuillbrookHost* host_in, PixelArray<P> image_in, P fill_in)
        : RowFilter<P>(host_in), image(image_in), fill(fill_in) {}

    PixelArray<P> image;
    P fill;

private:
    const PixelArray<P>& written() const override { return image; }
    void write_row(int32_t y) override {
        P* out = image.row(y);
        for (int32_t x = 0; x < image.width; ++x) out[x] = fill;
    }
};
