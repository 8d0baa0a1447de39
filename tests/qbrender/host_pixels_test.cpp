#include "qbrender/host_pixels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(HostPixels, SixteenBitMappingRoundsToNearest) {
    for (int v = 0; v <= 65535; ++v) {
        const double exact = v * 32768.0 / 65535.0;
        ASSERT_EQ(hostFromFile16(uint16_t(v)), uint16_t(std::floor(exact + 0.5))) << "file " << v;
    }
    for (int h = 0; h <= 32768; ++h) {
        const double exact = h * 65535.0 / 32768.0;
        ASSERT_EQ(fileFromHost16(uint16_t(h)), uint16_t(std::floor(exact + 0.5))) << "host " << h;
    }
    EXPECT_EQ(hostFromFile16(0), 0);
    EXPECT_EQ(hostFromFile16(65535), 32768);
    EXPECT_EQ(fileFromHost16(32768), 65535);
    EXPECT_EQ(fileFromHost16(16384), 32768);  // 32767.5 rounds up
    EXPECT_EQ(fileFromHost16(40000), 65535);  // beyond the host's maximum
}

TEST(HostPixels, HostValuesSurviveAFileRoundTrip) {
    for (int h = 0; h <= 32768; ++h) {
        ASSERT_EQ(hostFromFile16(fileFromHost16(uint16_t(h))), h);
    }
    for (int v = 0; v <= 65535; ++v) {
        const int back = fileFromHost16(hostFromFile16(uint16_t(v)));
        ASSERT_LE(std::abs(back - v), 1) << "file " << v;
    }
}

// A host buffer with spare bytes at the end of every row, filled with a marker.
struct HostBuffer {
    static constexpr unsigned char kMarker = 0xA5;
    HostBuffer(int w, int h, SampleDepth depth, size_t spare)
        : width(w), height(h), pixel(hostPixelBytes(depth)), row_bytes(w * pixel + spare),
          bytes(row_bytes * size_t(h), kMarker) {}
    template <class T>
    T channel(int x, int y, int position) const {
        T v;
        std::memcpy(
            &v,
            bytes.data() + size_t(y) * row_bytes + size_t(x) * pixel + size_t(position) * sizeof(T),
            sizeof(T));
        return v;
    }
    bool sparesUntouched() const {
        for (int y = 0; y < height; ++y) {
            for (size_t b = size_t(width) * pixel; b < row_bytes; ++b) {
                if (bytes[size_t(y) * row_bytes + b] != kMarker) {
                    return false;
                }
            }
        }
        return true;
    }
    int width, height;
    size_t pixel, row_bytes;
    std::vector<unsigned char> bytes;
};

Image testImage(SampleDepth depth, int w, int h) {
    Image image(w, h, depth);
    const double max = fileMaximum(depth);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 4; ++c) {
                const double u = double((x * 7 + y * 13 + c * 29) % 97) / 96.0;
                image.setSample(x, y, c, u * max);
            }
        }
    }
    return image;
}

// Reference: the unit value of a file sample, then the host's scale.
double expectedHost(double file_value, SampleDepth from, SampleDepth to) {
    if (from == SampleDepth::bits16 && to == SampleDepth::bits16) {
        return std::floor(file_value * 32768.0 / 65535.0 + 0.5);
    }
    const double u = file_value / fileMaximum(from);
    switch (to) {
        case SampleDepth::bits8:
            return std::floor(std::clamp(u, 0.0, 1.0) * 255.0 + 0.5);
        case SampleDepth::bits16:
            return std::floor(std::clamp(u, 0.0, 1.0) * 32768.0 + 0.5);
        case SampleDepth::float32:
            return float(u);
    }
    return 0;
}

double hostChannel(const HostBuffer& buffer, SampleDepth depth, int x, int y, int position) {
    switch (depth) {
        case SampleDepth::bits8:
            return buffer.channel<uint8_t>(x, y, position);
        case SampleDepth::bits16:
            return buffer.channel<uint16_t>(x, y, position);
        case SampleDepth::float32:
            return buffer.channel<float>(x, y, position);
    }
    return 0;
}

class HostCopy : public ::testing::TestWithParam<std::tuple<SampleDepth, SampleDepth>> {};

TEST_P(HostCopy, ChannelsAreArgbInTheHostScaleAndSpareBytesStay) {
    const auto [from, to] = GetParam();
    const int w = 7, h = 5;
    const Image image = testImage(from, w, h);
    HostBuffer buffer(w, h, to, 12);
    copyImageToHost(image, to, buffer.bytes.data(), ptrdiff_t(buffer.row_bytes));
    EXPECT_TRUE(buffer.sparesUntouched());
    const int position[4] = {1, 2, 3, 0};  // R, G, B, A in host order
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 4; ++c) {
                ASSERT_EQ(hostChannel(buffer, to, x, y, position[c]),
                          expectedHost(image.sample(x, y, c), from, to))
                    << "pixel " << x << "," << y << " channel " << c;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllDepths, HostCopy,
    ::testing::Combine(
        ::testing::Values(SampleDepth::bits8, SampleDepth::bits16, SampleDepth::float32),
        ::testing::Values(SampleDepth::bits8, SampleDepth::bits16, SampleDepth::float32)),
    [](const auto& param_info) {
        return std::string("from") + std::to_string(bitsOf(std::get<0>(param_info.param))) + "to" +
               std::to_string(bitsOf(std::get<1>(param_info.param)));
    });

TEST(HostPixels, FloatOutOfRangeAndNanIntoIntegerHosts) {
    Image image(4, 1, SampleDepth::float32);
    const float values[4] = {-0.5f, 2.0f, std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity()};
    for (int x = 0; x < 4; ++x) {
        for (int c = 0; c < 4; ++c) {
            image.samplesFloat()[size_t(x) * 4 + size_t(c)] = values[x];
        }
    }
    HostBuffer b8(4, 1, SampleDepth::bits8, 0), b16(4, 1, SampleDepth::bits16, 0);
    HostBuffer bf(4, 1, SampleDepth::float32, 0);
    copyImageToHost(image, SampleDepth::bits8, b8.bytes.data(), ptrdiff_t(b8.row_bytes));
    copyImageToHost(image, SampleDepth::bits16, b16.bytes.data(), ptrdiff_t(b16.row_bytes));
    copyImageToHost(image, SampleDepth::float32, bf.bytes.data(), ptrdiff_t(bf.row_bytes));
    const int expect8[4] = {0, 255, 0, 255}, expect16[4] = {0, 32768, 0, 32768};
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(b8.channel<uint8_t>(x, 0, 1), expect8[x]) << x;
        EXPECT_EQ(b16.channel<uint16_t>(x, 0, 1), expect16[x]) << x;
    }
    EXPECT_EQ(bf.channel<float>(0, 0, 1), -0.5f);
    EXPECT_EQ(bf.channel<float>(1, 0, 1), 2.0f);
    EXPECT_TRUE(std::isnan(bf.channel<float>(2, 0, 1)));
    EXPECT_TRUE(std::isinf(bf.channel<float>(3, 0, 1)));
}

TEST(HostPixels, ImageFromHostReadsPaddedArgbRows) {
    for (SampleDepth depth : {SampleDepth::bits8, SampleDepth::bits16, SampleDepth::float32}) {
        const int w = 3, h = 4;
        const Image original = testImage(depth, w, h);
        HostBuffer buffer(w, h, depth, 20);
        copyImageToHost(original, depth, buffer.bytes.data(), ptrdiff_t(buffer.row_bytes));
        const Image back =
            imageFromHost(buffer.bytes.data(), ptrdiff_t(buffer.row_bytes), w, h, depth);
        ASSERT_EQ(back.depth(), depth);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                for (int c = 0; c < 4; ++c) {
                    const double want =
                        depth == SampleDepth::bits16
                            ? fileFromHost16(hostFromFile16(uint16_t(original.sample(x, y, c))))
                            : original.sample(x, y, c);
                    ASSERT_EQ(back.sample(x, y, c), want) << depthName(depth);
                }
            }
        }
    }
}

TEST(HostPixels, RowBytesSmallerThanARowAreRefused) {
    const Image image(4, 2, SampleDepth::bits16);
    std::vector<unsigned char> bytes(64);
    EXPECT_THROW(copyImageToHost(image, SampleDepth::bits16, bytes.data(), 31),
                 std::invalid_argument);
    EXPECT_THROW(imageFromHost(bytes.data(), 15, 4, 2, SampleDepth::bits8), std::invalid_argument);
}

}  // namespace
