#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pixel_array.h"

// Pixel memory for a test image whose rows end in spare bytes, as host rows do. The spare bytes
// hold a sentinel, so a test can prove that nothing was written past the end of a row.
template <class P>
class SentinelImage {
public:
    static constexpr unsigned char kSentinel = 0x5A;

    SentinelImage(int32_t width, int32_t height, int32_t spare_pixels = 3)
        : width_(width), height_(height),
          row_bytes_((width + spare_pixels) * int32_t(sizeof(P))),
          bytes_(size_t(row_bytes_) * size_t(height > 0 ? height : 0) + sizeof(P), kSentinel) {
        for (int32_t y = 0; y < height_; ++y)
            std::memset(bytes_.data() + size_t(y) * size_t(row_bytes_), 0,
                        size_t(width_) * sizeof(P));
    }

    PixelArray<P> array(bool premultiplied = false) {
        return PixelArray<P>(bytes_.data(), width_, height_, row_bytes_, premultiplied);
    }

    P& at(int32_t x, int32_t y) {
        return reinterpret_cast<P*>(bytes_.data() + size_t(y) * size_t(row_bytes_))[x];
    }

    // True when every spare byte of every row (and the guard after the last) holds the sentinel.
    bool spareBytesUntouched() const {
        const size_t used = size_t(width_) * sizeof(P);
        for (int32_t y = 0; y < height_; ++y) {
            const unsigned char* row = bytes_.data() + size_t(y) * size_t(row_bytes_);
            for (size_t i = used; i < size_t(row_bytes_); ++i)
                if (row[i] != kSentinel) return false;
        }
        for (size_t i = size_t(row_bytes_) * size_t(height_ > 0 ? height_ : 0); i < bytes_.size(); ++i)
            if (bytes_[i] != kSentinel) return false;
        return true;
    }

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

private:
    int32_t width_;
    int32_t height_;
    int32_t row_bytes_;
    std::vector<unsigned char> bytes_;
};
