#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pixel_array.h"

// Pixel memory for a test image whose rows end in spare bytes, as host rows do. The spare
// bytes hold a sentinel so a test can prove that nothing wrote past the end of a row. Row
// starts stay aligned for the channel type.
template <class P>
class PaddedImage {
public:
    static constexpr unsigned char kSentinel = 0xA5;

    PaddedImage(int32_t width, int32_t height, int32_t spare_pixels_worth = 3)
        : width_(width), height_(height),
          row_bytes_(width * int32_t(sizeof(P)) + spare_pixels_worth * int32_t(alignof(P))),
          bytes_(size_t(row_bytes_) * size_t(height > 0 ? height : 0) + 1, kSentinel) {}

    PixelArray<P> array(bool premultiplied = false) {
        PixelArray<P> a(bytes_.data(), width_, height_, row_bytes_, premultiplied);
        return a;
    }

    P& at(int32_t x, int32_t y) {
        return reinterpret_cast<P*>(bytes_.data() + size_t(y) * size_t(row_bytes_))[x];
    }

    // Sets every pixel's bytes (not the spare ones) to `byte`.
    void fillPixels(unsigned char byte) {
        for (int32_t y = 0; y < height_; ++y)
            std::memset(bytes_.data() + size_t(y) * size_t(row_bytes_), byte,
                        size_t(width_) * sizeof(P));
    }

    // True when every spare byte of every row still holds the sentinel.
    bool spareBytesUntouched() const {
        const size_t used = size_t(width_) * sizeof(P);
        for (int32_t y = 0; y < height_; ++y) {
            const unsigned char* row = bytes_.data() + size_t(y) * size_t(row_bytes_);
            for (size_t i = used; i < size_t(row_bytes_); ++i)
                if (row[i] != kSentinel) return false;
        }
        return bytes_.back() == kSentinel;
    }

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    int32_t rowBytes() const { return row_bytes_; }

private:
    int32_t width_;
    int32_t height_;
    int32_t row_bytes_;
    std::vector<unsigned char> bytes_;
};
