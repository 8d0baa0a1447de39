#include "qbrender/image.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

TEST(Image, ConversionGoesThroughTheUnitScaleWithRounding) {
    Image image(3, 1, SampleDepth::bits16);
    image.setSample(0, 0, 0, 0);
    image.setSample(1, 0, 0, 257);  // exactly 1/255 of full
    image.setSample(2, 0, 0, 65535);
    image.setSample(0, 0, 1, 32767);  // 127.498 in 8 bits
    image.setSample(1, 0, 1, 32896);  // 128.0 in 8 bits
    const Image eight = image.converted(SampleDepth::bits8);
    EXPECT_EQ(eight.sample(0, 0, 0), 0);
    EXPECT_EQ(eight.sample(1, 0, 0), 1);
    EXPECT_EQ(eight.sample(2, 0, 0), 255);
    EXPECT_EQ(eight.sample(0, 0, 1), 127);
    EXPECT_EQ(eight.sample(1, 0, 1), 128);
    const Image as_float = image.converted(SampleDepth::float32);
    EXPECT_FLOAT_EQ(float(as_float.sample(1, 0, 0)), float(257.0 / 65535.0));
    // 8 -> 16 -> 8 is exact.
    Image ramp(256, 1, SampleDepth::bits8);
    for (int x = 0; x < 256; ++x) {
        ramp.setSample(x, 0, 2, x);
    }
    const Image back = ramp.converted(SampleDepth::bits16).converted(SampleDepth::bits8);
    for (int x = 0; x < 256; ++x) {
        ASSERT_EQ(back.sample(x, 0, 2), x);
        ASSERT_EQ(ramp.converted(SampleDepth::bits16).sample(x, 0, 2), x * 257);
    }
}

TEST(Image, FloatToIntegerClampsAndNanGivesZero) {
    Image image(4, 1, SampleDepth::float32);
    image.setSample(0, 0, 0, -1.0);
    image.setSample(1, 0, 0, 7.5);
    image.setSample(2, 0, 0, std::numeric_limits<double>::quiet_NaN());
    image.setSample(3, 0, 0, 0.5);
    const Image eight = image.converted(SampleDepth::bits8);
    EXPECT_EQ(eight.sample(0, 0, 0), 0);
    EXPECT_EQ(eight.sample(1, 0, 0), 255);
    EXPECT_EQ(eight.sample(2, 0, 0), 0);
    EXPECT_EQ(eight.sample(3, 0, 0), 128);  // 127.5 rounds up
    EXPECT_TRUE(std::isnan(image.converted(SampleDepth::float32).sample(2, 0, 0)));
    EXPECT_EQ(image.converted(SampleDepth::float32).sample(1, 0, 0), 7.5);
}

TEST(Image, IntegerSamplesRoundAndClampWhenSet) {
    Image image(1, 1, SampleDepth::bits8);
    image.setSample(0, 0, 0, 12.6);
    image.setSample(0, 0, 1, 300);
    image.setSample(0, 0, 2, -4);
    EXPECT_EQ(image.sample(0, 0, 0), 13);
    EXPECT_EQ(image.sample(0, 0, 1), 255);
    EXPECT_EQ(image.sample(0, 0, 2), 0);
}

TEST(Image, MisuseIsRefusedWithTheOffendingValues) {
    Image image(2, 3, SampleDepth::bits8);
    EXPECT_THROW(image.samples16(), std::logic_error);
    EXPECT_THROW(image.sample(2, 0, 0), std::out_of_range);
    EXPECT_THROW(image.sample(0, 0, 4), std::out_of_range);
    EXPECT_THROW(image.setZ(std::vector<float>(5)), std::invalid_argument);
    EXPECT_THROW(Image(-1, 2, SampleDepth::bits8), std::invalid_argument);
    image.setZ(std::vector<float>(6, 2.0f));
    EXPECT_TRUE(image.hasZ());
    EXPECT_EQ(image.converted(SampleDepth::float32).z()[5], 2.0f);
}

}  // namespace
