#pragma once

#include <cstddef>
#include <cstdint>

#include "qbrender/image.h"

// Conversion between file images (image.h) and the host's pixel buffers.
//
// Host pixels are A, R, G, B in memory (alpha first) with the host's channel maximum: 255 for
// 8-bit, 32768 for 16-bit, 1.0 for float. Rows are `row_bytes` apart and may be padded: bytes
// past width * pixel size of a row are never touched.

// 16-bit file value 0..65535 to host value 0..32768: round(v * 32768 / 65535).
constexpr uint16_t hostFromFile16(uint16_t v) {
    return static_cast<uint16_t>((uint64_t(v) * 65536u + 65535u) / 131070u);
}

// Host value 0..32768 to file value 0..65535: round(v * 65535 / 32768), halves rounded up.
// Values above 32768 (not valid host values) give 65535.
constexpr uint16_t fileFromHost16(uint16_t v) {
    if (v >= 32768u) {
        return 65535u;
    }
    return static_cast<uint16_t>((uint64_t(v) * 131070u + 32768u) / 65536u);
}

// Host channel maximum of a depth: 255, 32768 or 1.0.
double hostMaximum(SampleDepth depth);
// Bytes of one host pixel: 4, 8 or 16.
size_t hostPixelBytes(SampleDepth depth);

// Writes `image` into a host buffer of `host_depth` (any depth: an 8-bit file may feed a 16-bit
// render). Same-depth copies are exact for 8-bit and float and follow hostFromFile16 for 16-bit;
// across depths samples pass through the 0..1 scale, integer results rounded to nearest after
// clamping to 0..1 (NaN gives 0). The depth plane is not copied. `row_bytes` must be at least
// width * hostPixelBytes(host_depth).
void copyImageToHost(const Image& image, SampleDepth host_depth, void* data, ptrdiff_t row_bytes);

// Reads a host buffer of `host_depth` back into a file image of the same depth (16-bit through
// fileFromHost16; 8-bit and float exact).
Image imageFromHost(const void* data, ptrdiff_t row_bytes, int width, int height,
                    SampleDepth host_depth);
