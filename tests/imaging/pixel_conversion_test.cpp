#include "imaging/pixel_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "imaging/filter_items.h"

namespace {

TEST(PixelConversion, AccessorsFollowTheArgbLayout) {
    PixelRGBA16 p{{1, 2, 3, 4}};
    EXPECT_EQ(alpha_of(p), 1);
    EXPECT_EQ(red_of(p), 2);
    EXPECT_EQ(green_of(p), 3);
    EXPECT_EQ(blue_of(p), 4);
    const PixelRGBAFloat f{{0.25f, 0.5f, 0.75f, 1.0f}};
    EXPECT_EQ(alpha_of(f), 0.25f);
    EXPECT_EQ(blue_of(f), 1.0f);
    PixelGray8 g{{9}};
    gray_of(g) = 17;
    EXPECT_EQ(g.channel[0], 17);
}

TEST(PixelConversion, InverseMaximaAreTheExactDoubles) {
    EXPECT_EQ(inverse_max_v<PixelRGBA8>, 0.00392156862745098);
    EXPECT_EQ(inverse_max_v<PixelRGBA16>, 3.0517578125e-05);
    EXPECT_EQ(inverse_max_v<PixelRGBAFloat>, 1.0);
    EXPECT_EQ(inverse_max_v<PixelRGBAFloat255>, 0.00392156862745098);
    EXPECT_EQ(inverse_max_v<PixelRGBAFloat32768>, 3.0517578125e-05);
    // The 16-bit maximum is 32768, not the largest uint16_t.
    EXPECT_EQ(PixelRGBA16::max_value, 32768);
    EXPECT_EQ(PixelGray16::max_value, 32768);
}

TEST(PixelConversion, ReadingIsExact) {
    const PixelRGBA16 p{{65535, 32768, 1, 0}};
    const ChannelValues v = read_rgba(p);
    EXPECT_EQ(v.a, 65535.0);
    EXPECT_EQ(v.r, 32768.0);
    EXPECT_EQ(v.g, 1.0);
    EXPECT_EQ(v.b, 0.0);
    const PixelGrayFloat g{{0.1f}};
    EXPECT_EQ(read_gray(g), double(0.1f));
}

TEST(PixelConversion, StraightToPremultipliedScalesColourByAlpha) {
    ChannelValues v{128.0, 255.0, 100.0, 0.0};
    straight_to_premultiplied<PixelRGBA8>(v);
    EXPECT_EQ(v.a, 128.0);
    EXPECT_NEAR(v.r, 128.0, 1e-9);
    EXPECT_NEAR(v.g, 100.0 * 128.0 / 255.0, 1e-9);
    EXPECT_EQ(v.b, 0.0);

    ChannelValues w{16384.0, 32768.0, 2.0, 0.0};
    straight_to_premultiplied<PixelRGBA16>(w);
    // 1/32768 is a power of two: the 16-bit products are exact.
    EXPECT_EQ(w.r, 16384.0);
    EXPECT_EQ(w.g, 1.0);
}

TEST(PixelConversion, PremultipliedToStraightLeavesZeroAlphaAlone) {
    ChannelValues zero{0.0, 7.0, 0.0, 3.0};
    premultiplied_to_straight<PixelRGBA8>(zero);
    EXPECT_EQ(zero.r, 7.0);
    EXPECT_EQ(zero.b, 3.0);

    // An alpha that rounds to 0 in single precision counts as 0 too.
    ChannelValues tiny{1e-50, 0.5, 0.5, 0.5};
    premultiplied_to_straight<PixelRGBAFloat>(tiny);
    EXPECT_EQ(tiny.r, 0.5);

    ChannelValues negative{-1.0, 0.5, 0.5, 0.5};
    premultiplied_to_straight<PixelRGBAFloat>(negative);
    EXPECT_EQ(negative.g, 0.5);

    ChannelValues half{0.5, 0.25, 0.5, 0.125};
    premultiplied_to_straight<PixelRGBAFloat>(half);
    EXPECT_EQ(half.r, 0.5);
    EXPECT_EQ(half.g, 1.0);
    EXPECT_EQ(half.b, 0.25);
    EXPECT_EQ(half.a, 0.5);
}

TEST(PixelConversion, PremultipliedToStraightUsesTheSinglePrecisionAlpha) {
    // A = 1/3 is not a float; Max / float(A) differs from Max / A in double precision.
    const double a = 1.0 / 3.0;
    ChannelValues v{a, a, 0.0, 0.0};
    premultiplied_to_straight<PixelRGBAFloat>(v);
    EXPECT_EQ(v.r, a * (1.0 / double(float(a))));
    EXPECT_NE(v.r, a * (1.0 / a));
}

TEST(PixelConversion, AlphaFormChangesOnlyWhenTheFlagsDiffer) {
    const ChannelValues original{100.0, 50.0, 25.0, 10.0};
    for (bool flag : {false, true}) {
        ChannelValues v = original;
        convert_alpha_form<PixelRGBA8>(v, flag, flag);
        EXPECT_EQ(v.r, original.r);
        EXPECT_EQ(v.g, original.g);
        EXPECT_EQ(v.b, original.b);
    }
    ChannelValues to_premultiplied = original;
    convert_alpha_form<PixelRGBA8>(to_premultiplied, false, true);
    EXPECT_NEAR(to_premultiplied.r, 50.0 * 100.0 / 255.0, 1e-9);
    ChannelValues to_straight = original;
    convert_alpha_form<PixelRGBA8>(to_straight, true, false);
    EXPECT_NEAR(to_straight.r, 50.0 * 255.0 / 100.0, 1e-9);
}

TEST(PixelConversion, ScaleToUnitDividesAllFourByTheMaximum) {
    ChannelValues v{255.0, 51.0, 0.0, 127.5};
    scale_to_unit<PixelRGBA8>(v);
    EXPECT_NEAR(v.a, 1.0, 1e-15);
    EXPECT_NEAR(v.r, 0.2, 1e-15);
    EXPECT_NEAR(v.b, 0.5, 1e-15);
    ChannelValues w{32768.0, 16384.0, 8192.0, 1.0};
    scale_to_unit<PixelRGBA16>(w);
    EXPECT_EQ(w.a, 1.0);
    EXPECT_EQ(w.r, 0.5);
    EXPECT_EQ(w.g, 0.25);
    EXPECT_EQ(w.b, 1.0 / 32768.0);
}

TEST(PixelConversion, GrayWeights) {
    EXPECT_EQ(gray_from_colour(1.0, 0.0, 0.0), 0.292687786);
    EXPECT_EQ(gray_from_colour(0.0, 1.0, 0.0), 0.552149646);
    EXPECT_EQ(gray_from_colour(0.0, 0.0, 1.0), 0.155162568);
    // Opaque white stays white at every scale, so that truncation keeps the maximum.
    EXPECT_EQ(store_channel<PixelGray8>(gray_from_colour(255, 255, 255)), 255);
    EXPECT_EQ(store_channel<PixelGray16>(gray_from_colour(32768, 32768, 32768)), 32768);
    EXPECT_EQ(store_channel<PixelGrayFloat>(gray_from_colour(1, 1, 1)), 1.0f);
    EXPECT_EQ(store_channel<PixelGray8>(gray_from_colour(0, 255, 0)), 140);
    EXPECT_EQ(store_channel<PixelGray8>(gray_from_colour(255, 0, 0)), 74);
}

TEST(PixelConversion, StoresTruncateAndClamp) {
    EXPECT_EQ(store_channel<PixelRGBA8>(254.999), 254);
    EXPECT_EQ(store_channel<PixelRGBA16>(32767.9), 32767);
    EXPECT_EQ(store_clamped<PixelRGBA8>(300.0), 255);
    EXPECT_EQ(store_clamped<PixelRGBA8>(-0.5), 0);
    EXPECT_EQ(store_clamped<PixelRGBA16>(40000.0), 32768);
    EXPECT_EQ(store_clamped<PixelRGBA8>(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(store_clamped<PixelRGBA8>(std::numeric_limits<double>::infinity()), 255);
    EXPECT_EQ(store_clamped<PixelRGBA8>(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(store_clamped<PixelRGBAFloat>(1.5), 1.0f);
    EXPECT_EQ(store_clamped<PixelRGBAFloat255>(300.0), 255.0f);
    // Unclamped integer stores stay defined beyond the storage type.
    EXPECT_EQ(store_channel<PixelRGBA8>(508.0), 255);
    EXPECT_EQ(store_channel<PixelRGBA16>(40000.0), 40000);
    EXPECT_EQ(store_channel<PixelRGBA16>(1e9), 65535);
    EXPECT_EQ(store_channel<PixelRGBA8>(-3.0), 0);
    // Float stores round to single precision and keep NaN and infinity.
    EXPECT_EQ(store_channel<PixelRGBAFloat>(0.1), 0.1f);
    EXPECT_TRUE(std::isnan(store_channel<PixelRGBAFloat>(std::nan(""))));
    EXPECT_TRUE(std::isinf(store_channel<PixelGrayFloat>(HUGE_VAL)));
    EXPECT_EQ(store_channel<PixelGrayDouble>(0.1), 0.1);
}

TEST(PixelConversion, PremultiplyInPlaceEightBitEdgeCases) {
    PixelRGBA8 half{{128, 255, 255, 255}};
    premultiply_in_place(half);
    EXPECT_EQ(alpha_of(half), 128);
    EXPECT_EQ(red_of(half), 128);
    PixelRGBA8 faint{{1, 255, 0, 255}};
    premultiply_in_place(faint);
    EXPECT_EQ(red_of(faint), 1);
    EXPECT_EQ(green_of(faint), 0);
    PixelRGBA8 clear{{0, 255, 200, 7}};
    premultiply_in_place(clear);
    EXPECT_EQ(red_of(clear), 0);
    EXPECT_EQ(green_of(clear), 0);
    EXPECT_EQ(blue_of(clear), 0);
}

TEST(PixelConversion, PremultiplyInPlaceEightBitIsTheFloorOfTheExactProduct) {
    // The single-precision factor errs by far less than the 1/255 between neighbouring
    // fractions, so every 8-bit result is floor(c * A / 255) exactly.
    for (int a = 0; a <= 255; ++a) {
        for (int c = 0; c <= 255; ++c) {
            PixelRGBA8 p{{uint8_t(a), uint8_t(c), uint8_t(255 - c), uint8_t(c / 2)}};
            premultiply_in_place(p);
            ASSERT_EQ(red_of(p), c * a / 255) << "A " << a << " c " << c;
            ASSERT_EQ(green_of(p), (255 - c) * a / 255) << "A " << a << " c " << c;
            ASSERT_EQ(blue_of(p), (c / 2) * a / 255) << "A " << a << " c " << c;
            ASSERT_EQ(alpha_of(p), a);
        }
    }
}

TEST(PixelConversion, PremultiplyInPlaceSixteenBitUsesSinglePrecision) {
    PixelRGBA16 half{{16384, 32768, 1, 0}};
    premultiply_in_place(half);
    EXPECT_EQ(red_of(half), 16384);
    EXPECT_EQ(green_of(half), 0);
    EXPECT_EQ(alpha_of(half), 16384);
    // The product is rounded to single precision before truncation: it stays within one of
    // the exact value and matches the single-precision computation exactly.
    for (int a = 0; a <= 32768; a += 97) {
        for (int c = 0; c <= 32768; c += 89) {
            PixelRGBA16 p{{uint16_t(a), uint16_t(c), 0, 0}};
            premultiply_in_place(p);
            const float factor = float(a) * float(1.0 / 32768.0);
            const double exact = double(c) * double(a) / 32768.0;
            ASSERT_EQ(red_of(p), uint16_t(std::trunc(float(c) * factor))) << a << " " << c;
            ASSERT_LE(std::fabs(double(red_of(p)) - exact), 1.0) << a << " " << c;
        }
    }
}

TEST(PixelConversion, PremultiplyInPlaceFloatMultipliesByAlpha) {
    PixelRGBAFloat p{{0.5f, 1.0f, 0.25f, 3.0f}};
    premultiply_in_place(p);
    EXPECT_EQ(red_of(p), 0.5f);
    EXPECT_EQ(green_of(p), 0.125f);
    EXPECT_EQ(blue_of(p), 1.5f);
    EXPECT_EQ(alpha_of(p), 0.5f);
    PixelRGBAFloat255 q{{127.5f, 255.0f, 0.0f, 51.0f}};
    premultiply_in_place(q);
    EXPECT_EQ(red_of(q), 127.5f);
    EXPECT_EQ(blue_of(q), 25.5f);
}

TEST(FilterItems, BandsPartitionTheRows) {
    EXPECT_EQ(band_rows(0, 3, 10), (RowRange{0, 3}));
    EXPECT_EQ(band_rows(1, 3, 10), (RowRange{3, 6}));
    EXPECT_EQ(band_rows(2, 3, 10), (RowRange{6, 10}));
    // Fewer rows than bands: the last band takes them all.
    EXPECT_EQ(band_rows(0, 4, 2), (RowRange{0, 0}));
    EXPECT_EQ(band_rows(3, 4, 2), (RowRange{0, 2}));
    EXPECT_EQ(band_rows(3, 3, 10).size(), 0);
    EXPECT_EQ(band_rows(-1, 3, 10).size(), 0);
    EXPECT_EQ(band_rows(0, 0, 10).size(), 0);
    for (int32_t height : {0, 1, 7, 64, 1001}) {
        for (int32_t count = 1; count <= 9; ++count) {
            int32_t next = 0;
            for (int32_t k = 0; k < count; ++k) {
                const RowRange r = band_rows(k, count, height);
                if (height == 0) {
                    EXPECT_EQ(r.size(), 0);
                    continue;
                }
                EXPECT_EQ(r.begin, next) << k << " of " << count << " over " << height;
                EXPECT_EQ(r.size(), k == count - 1 ? height - (count - 1) * (height / count)
                                                   : height / count);
                next = r.end;
            }
            if (height > 0) {
                EXPECT_EQ(next, height);
            }
        }
    }
}

TEST(FilterItems, RowProgressCoversThePassShare) {
    EXPECT_EQ(row_progress(0, 10, 0, 1), (ProgressValue{0, 10}));
    EXPECT_EQ(row_progress(9, 10, 0, 1), (ProgressValue{9, 10}));
    EXPECT_EQ(row_progress(4, 10, 2, 3), (ProgressValue{24, 30}));
}

}  // namespace
