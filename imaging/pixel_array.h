#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/check.h"
#include "imaging/pixel_types.h"

// A non-owning image descriptor: size, byte row stride, pointer and two flags. Copied by value
// into every filter that reads or writes the image; never copies pixels.
//
// Pixel (x, y) starts at data + y * row_bytes + x * pixel_bytes; rows run top to bottom and
// row_bytes may exceed width * pixel_bytes (host rows end in spare bytes). The origin is the
// position of pixel (0, 0) in the host layer's coordinates; the three factors are the pixel
// aspect and the two downsample factors, carried along but read by no filter.
template <class P, int X = 0, int Y = 0>
struct PixelArray {
    using pixel_type = P;

    int32_t width = 0;
    int32_t height = 0;
    int32_t row_bytes = 0;
    int32_t pixel_bytes = 0;
    int32_t origin_x = 0;
    int32_t origin_y = 0;
    double factor_a = 1.0;
    double factor_b = 1.0;
    double factor_c = 1.0;
    void* data = nullptr;
    bool valid = false;
    bool premultiplied = false;

    PixelArray() = default;

    // A descriptor over existing memory; row_bytes 0 means tightly packed rows.
    PixelArray(void* memory, int32_t w, int32_t h, int32_t stride = 0, bool premult = false)
        : width(w), height(h), row_bytes(stride ? stride : w * int32_t(sizeof(P))),
          pixel_bytes(int32_t(sizeof(P))), data(memory), valid(memory != nullptr),
          premultiplied(premult) {}

    // Bytes a tightly packed buffer of this size needs.
    static size_t packedBytes(int32_t w, int32_t h) {
        return size_t(w > 0 ? w : 0) * size_t(h > 0 ? h : 0) * sizeof(P);
    }

    // Checked when QB_CHECKS is on (framework/check.h): a row outside the image, or a row of
    // no memory, is a fault of the caller.
    P* row(int32_t y) const {
        QB_CHECK(data != nullptr);
        QB_CHECK_GE(y, 0);
        QB_CHECK_LT(y, height);
        return reinterpret_cast<P*>(static_cast<unsigned char*>(data) + ptrdiff_t(y) * row_bytes);
    }

    P& at(int32_t x, int32_t y) const {
        QB_CHECK_GE(x, 0);
        QB_CHECK_LT(x, width);
        return row(y)[x];
    }

    bool contains(int32_t x, int32_t y) const {
        return x >= 0 && y >= 0 && x < width && y < height;
    }
};
