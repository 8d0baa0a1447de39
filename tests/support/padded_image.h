#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/pixel_array.h"

// How a test image's rows end, and what its pixels hold before the test writes them.
enum PaddedRows {
    // `spare` channels' worth of bytes after each row, so a row need not end on a whole pixel
    // (row starts stay aligned for the channel type); the pixels start as sentinel bytes too,
    // so a pixel that nothing wrote stands out.
    kChannelSpareRows,
    // `spare` whole pixels after each row, and the pixels zeroed, as in a host's new layer.
    kLayerRows,
};

// Pixel memory for a test image whose rows end in spare bytes, as host rows do. The spare
// bytes, and one pixel's worth after the last row, hold a sentinel, so a test can prove that
// nothing wrote past the end of a row.
template <class P>
class PaddedImage {
public:
    static constexpr unsigned char kSentinel = 0xA5;

    PaddedImage(int32_t width, int32_t height, int32_t spare = 3,
                PaddedRows rows = kChannelSpareRows)
        : width_(width), height_(height),
          row_bytes_(rows == kLayerRows ? (width + spare) * int32_t(sizeof(P))
                                        : width * int32_t(sizeof(P)) + spare * int32_t(alignof(P))),
          bytes_(size_t(row_bytes_) * size_t(height > 0 ? height : 0) + sizeof(P), kSentinel) {
        if (rows == kLayerRows) fillPixels(0);
    }
    PaddedImage(int32_t width, int32_t height, PaddedRows rows)
        : PaddedImage(width, height, 3, rows) {}

    PixelArray<P> array(bool premultiplied = false) {
        return PixelArray<P>(bytes_.data(), width_, height_, row_bytes_, premultiplied);
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

    // True when every spare byte of every row, and the guard after the last, holds the sentinel.
    bool spareBytesUntouched() const {
        const size_t used = size_t(width_) * sizeof(P);
        for (int32_t y = 0; y < height_; ++y) {
            const unsigned char* row = bytes_.data() + size_t(y) * size_t(row_bytes_);
            for (size_t i = used; i < size_t(row_bytes_); ++i)
                if (row[i] != kSentinel) return false;
        }
        for (size_t i = size_t(row_bytes_) * size_t(height_ > 0 ? height_ : 0); i < bytes_.size();
             ++i)
            if (bytes_[i] != kSentinel) return false;
        return true;
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
