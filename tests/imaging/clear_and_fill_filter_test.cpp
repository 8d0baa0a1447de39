#include <gtest/gtest.h>

#include <cstring>

#include "imaging/clear_image_filter.h"
#include "imaging/fill_image_filter.h"
#include "tests/support/padded_image.h"
#include "tests/support/test_host.h"

namespace {

template <class P>
class ClearImageFilterTest : public ::testing::Test {};
using ClearPixels = ::testing::Types<PixelRGBAFloat, PixelRGBAFloat255, PixelRGBAFloat32768,
                                     PixelGrayFloat, PixelRGBA8, PixelGray16>;
TYPED_TEST_SUITE(ClearImageFilterTest, ClearPixels);

TYPED_TEST(ClearImageFilterTest, ZeroesEveryPixelAndNoSpareByte) {
    for (int32_t threads : {1, 3}) {
        PaddedImage<TypeParam> image(7, 5);
        image.fillPixels(0x7F);
        TestHost host(threads);
        ClearImageFilter<TypeParam> filter(&host, image.array());
        ASSERT_EQ(filter.render(0, 1), host.noError());
        const TypeParam zero{};
        for (int32_t y = 0; y < 5; ++y)
            for (int32_t x = 0; x < 7; ++x)
                ASSERT_EQ(std::memcmp(&image.at(x, y), &zero, sizeof zero), 0) << x << "," << y;
        EXPECT_TRUE(image.spareBytesUntouched());
        EXPECT_EQ(host.reports().size(), 5u);
    }
}

TEST(ClearImageFilter, GrayFloatOfWidthSevenWrites28BytesPerRow) {
    PaddedImage<PixelGrayFloat> image(7, 3, 5);
    image.fillPixels(0xFF);
    ASSERT_EQ(image.rowBytes(), 28 + 20);
    TestHost host;
    ClearImageFilter<PixelGrayFloat> filter(&host, image.array());
    ASSERT_EQ(filter.render(0, 1), host.noError());
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 7; ++x) EXPECT_EQ(image.at(x, y).channel[0], 0.0f);
    EXPECT_TRUE(image.spareBytesUntouched());
}

TEST(ClearImageFilter, NullDataWritesNothing) {
    TestHost host(2);
    PixelArray<PixelRGBAFloat> empty(nullptr, 5, 5, 80);
    ClearImageFilter<PixelRGBAFloat> filter(&host, empty);
    EXPECT_EQ(filter.render(0, 1), host.noError());
    EXPECT_TRUE(host.reports().empty());
}

template <class P>
class FillImageFilterTest : public ::testing::Test {};
using FillPixels = ::testing::Types<PixelRGBAFloat, PixelRGBAFloat255, PixelRGBAFloat32768,
                                    PixelRGBA8, PixelRGBA16, PixelGrayFloat>;
TYPED_TEST_SUITE(FillImageFilterTest, FillPixels);

TYPED_TEST(FillImageFilterTest, StoresTheColourEverywhere) {
    using T = typename TypeParam::channel_type;
    TypeParam colour{};
    for (int c = 0; c < TypeParam::channel_count; ++c)
        colour.channel[c] = T(TypeParam::max_value / (c + 2));
    for (int32_t threads : {1, 4}) {
        PaddedImage<TypeParam> image(9, 11);
        TestHost host(threads);
        FillImageFilter<TypeParam> filter(&host, image.array(), colour);
        ASSERT_EQ(filter.render(2, 5), host.noError());
        for (int32_t y = 0; y < 11; ++y)
            for (int32_t x = 0; x < 9; ++x)
                ASSERT_EQ(std::memcmp(&image.at(x, y), &colour, sizeof colour), 0) << x << "," << y;
        EXPECT_TRUE(image.spareBytesUntouched());
        for (const auto& report : host.reports()) {
            EXPECT_GE(report.first, 22);
            EXPECT_LT(report.first, 33);
            EXPECT_EQ(report.second, 55);
        }
    }
}

TEST(FillImageFilter, NullDataWritesNothing) {
    TestHost host;
    PixelArray<PixelRGBAFloat> empty(nullptr, 3, 3);
    FillImageFilter<PixelRGBAFloat> filter(&host, empty, PixelRGBAFloat{{1, 1, 1, 1}});
    EXPECT_EQ(filter.render(0, 1), host.noError());
}

}  // namespace
