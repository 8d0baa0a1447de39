#include "imaging/selection_picture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <type_traits>
#include <utility>

#include "tests/support/padded_image.h"
#include "tests/support/test_host.h"

namespace {

template <class P>
class SelectionPictureTest : public ::testing::Test {};
using PicturePixels = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(SelectionPictureTest, PicturePixels);

// The picture is the selection filter's output with alpha Max and nothing else changed, in
// both displays, with the source smaller than the output so that the transparent rim turns
// opaque black too; each opaque row reports once after the filter's own rows.
TYPED_TEST(SelectionPictureTest, IsTheFilterPictureMadeOpaque) {
    using P = TypeParam;
    using T = typename P::channel_type;
    const int32_t w = 7, h = 5;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    PaddedImage<P> src(w - 2, h - 1);
    for (int32_t y = 0; y < h - 1; ++y) {
        for (int32_t x = 0; x < w - 2; ++x) {
            for (int c = 0; c < 4; ++c) {
                const double v = unit(rng) * P::max_value;
                src.at(x, y).channel[c] = std::is_floating_point_v<T> ? T(v) : T(int(v));
            }
        }
    }
    SelectionSettings settings;
    settings.enabled = true;
    settings.hue_end = 1.0;
    settings.saturation_end = 1.0;
    settings.lightness_start = 0.3;
    settings.lightness_end = 1.0;
    settings.lightness_soften = 0.5;
    for (bool only : {false, true}) {
        PaddedImage<P> expected(w, h), picture(w, h);
        TestHost filter_host;
        HslRangeSelectionFilter<P> filter(&filter_host, src.array(), expected.array(), src.array());
        filter.settings = settings;
        filter.settings.show_selection = only;
        ASSERT_EQ(filter.render(0, 1), filter_host.noError());

        TestHost host;
        picture.fillPixels(0x5A);
        ASSERT_EQ(render_selection_picture(&host, src.array(), picture.array(), src.array(),
                                           settings, only),
                  host.noError());
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                P want = expected.at(x, y);
                want.channel[0] = T(P::max_value);
                EXPECT_EQ(std::memcmp(&picture.at(x, y), &want, sizeof(P)), 0)
                    << "pixel " << x << "," << y << " selection only " << only;
            }
        }
        EXPECT_TRUE(picture.spareBytesUntouched());
        const auto reports = host.reports();
        ASSERT_EQ(reports.size(), size_t(2 * h));
        for (int32_t y = 0; y < h; ++y) {
            EXPECT_EQ(reports[size_t(h + y)], std::make_pair(100, 100));
        }
    }
}

TEST(SelectionPicture, CancelStopsTheOpaqueRows) {
    PaddedImage<PixelRGBA8> src(3, 6), out(3, 6);
    src.fillPixels(0);
    TestHost host;
    host.abortAfter(8);  // the filter's six rows and two opaque ones; the third is cancelled
    ASSERT_EQ(render_selection_picture(&host, src.array(), out.array(), src.array(),
                                       SelectionSettings{}, false),
              host.abortError());
    EXPECT_EQ(host.reports().size(), size_t(9));
    EXPECT_EQ(out.at(0, 2).channel[0], 255);
    EXPECT_EQ(out.at(0, 3).channel[0], 0);
}

}  // namespace
