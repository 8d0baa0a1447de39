#include "qbrender/host_pixels.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

double hostMaximum(SampleDepth depth) {
    switch (depth) {
        case SampleDepth::bits8:
            return 255.0;
        case SampleDepth::bits16:
            return 32768.0;
        case SampleDepth::float32:
            return 1.0;
    }
    return 1.0;
}

size_t hostPixelBytes(SampleDepth depth) {
    switch (depth) {
        case SampleDepth::bits8:
            return 4;
        case SampleDepth::bits16:
            return 8;
        case SampleDepth::float32:
            return 16;
    }
    return 0;
}

namespace {

// Host order of the image's R, G, B, A channels.
constexpr int kHostPosition[Image::channels] = {1, 2, 3, 0};

void checkRowBytes(const char* operation, int width, SampleDepth depth, ptrdiff_t row_bytes) {
    if (width < 0 || row_bytes < 0 || size_t(row_bytes) < size_t(width) * hostPixelBytes(depth)) {
        throw std::invalid_argument(std::string(operation) + ": row bytes " +
                                    std::to_string(row_bytes) + " too small for " +
                                    std::to_string(width) + " " + depthName(depth) + " pixels");
    }
}

uint16_t unitToHost16(double u) {
    if (!(u > 0.0)) {
        return 0;
    }
    return static_cast<uint16_t>(std::lround(std::min(u, 1.0) * 32768.0));
}

double unitOf(const Image& image, size_t i) {
    switch (image.depth()) {
        case SampleDepth::bits8:
            return image.samples8()[i] / 255.0;
        case SampleDepth::bits16:
            return image.samples16()[i] / 65535.0;
        case SampleDepth::float32:
            return image.samplesFloat()[i];
    }
    return 0.0;
}

template <class T, class Convert>
void copyRows(const Image& image, void* data, ptrdiff_t row_bytes, Convert convert) {
    const int w = image.width();
    for (int y = 0; y < image.height(); ++y) {
        T* row = reinterpret_cast<T*>(static_cast<unsigned char*>(data) + ptrdiff_t(y) * row_bytes);
        for (int x = 0; x < w; ++x) {
            const size_t base = (size_t(y) * size_t(w) + size_t(x)) * Image::channels;
            for (int c = 0; c < Image::channels; ++c) {
                row[x * 4 + kHostPosition[c]] = convert(base + size_t(c));
            }
        }
    }
}

}  // namespace

void copyImageToHost(const Image& image, SampleDepth host_depth, void* data, ptrdiff_t row_bytes) {
    checkRowBytes("copy image to host", image.width(), host_depth, row_bytes);
    const SampleDepth from = image.depth();
    switch (host_depth) {
        case SampleDepth::bits8:
            if (from == SampleDepth::bits8) {
                const auto s = image.samples8();
                copyRows<uint8_t>(image, data, row_bytes, [&](size_t i) { return s[i]; });
            } else {
                copyRows<uint8_t>(image, data, row_bytes,
                                  [&](size_t i) { return unitTo8(unitOf(image, i)); });
            }
            break;
        case SampleDepth::bits16:
            if (from == SampleDepth::bits16) {
                const auto s = image.samples16();
                copyRows<uint16_t>(image, data, row_bytes,
                                   [&](size_t i) { return hostFromFile16(s[i]); });
            } else {
                copyRows<uint16_t>(image, data, row_bytes,
                                   [&](size_t i) { return unitToHost16(unitOf(image, i)); });
            }
            break;
        case SampleDepth::float32:
            copyRows<float>(image, data, row_bytes,
                            [&](size_t i) { return static_cast<float>(unitOf(image, i)); });
            break;
    }
}

Image imageFromHost(const void* data, ptrdiff_t row_bytes, int width, int height,
                    SampleDepth host_depth) {
    checkRowBytes("image from host", width, host_depth, row_bytes);
    Image image(width, height, host_depth);
    for (int y = 0; y < height; ++y) {
        const unsigned char* row =
            static_cast<const unsigned char*>(data) + ptrdiff_t(y) * row_bytes;
        for (int x = 0; x < width; ++x) {
            const size_t base = (size_t(y) * size_t(width) + size_t(x)) * Image::channels;
            for (int c = 0; c < Image::channels; ++c) {
                const size_t h = size_t(x) * 4 + size_t(kHostPosition[c]);
                switch (host_depth) {
                    case SampleDepth::bits8:
                        image.samples8()[base + c] = row[h];
                        break;
                    case SampleDepth::bits16:
                        image.samples16()[base + c] =
                            fileFromHost16(reinterpret_cast<const uint16_t*>(row)[h]);
                        break;
                    case SampleDepth::float32:
                        image.samplesFloat()[base + c] = reinterpret_cast<const float*>(row)[h];
                        break;
                }
            }
        }
    }
    return image;
}
