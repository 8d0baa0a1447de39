#include "aehost/layer_pixels.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/aehost/log_capture.h"
#include "imaging/pixel_types.h"

namespace {

template <class P>
class LayerPixels : public ::testing::Test {
protected:
    // A present 4x3 layer over padded rows (two spare pixels a row).
    LayerPixels() : pixels(size_t(6 * 3)) {
        layer.data = pixels.data();
        layer.width = 4;
        layer.height = 3;
        layer.row_bytes = int32_t(6 * sizeof(P));
        layer.origin_x = 5;
        layer.origin_y = -2;
        layer.pixel_aspect = 0.9;
        layer.downsample_x = 0.5;
        layer.downsample_y = 0.25;
        layer.present = true;
        layer.premultiplied = true;
    }

    std::vector<P> pixels;
    LayerImage layer;
};

using PixelTypes = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(LayerPixels, PixelTypes);

TYPED_TEST(LayerPixels, CopiesTheLayerAndNeedsPresenceAndPixels) {
    using P = TypeParam;
    const PixelArray<P> image = pixelArrayOf<P>(this->layer);
    EXPECT_EQ(image.data, this->layer.data);
    EXPECT_TRUE(image.valid);
    EXPECT_EQ(image.width, 4);
    EXPECT_EQ(image.height, 3);
    EXPECT_EQ(image.row_bytes, int32_t(6 * sizeof(P)));
    EXPECT_EQ(image.pixel_bytes, int32_t(sizeof(P)));
    EXPECT_EQ(image.origin_x, 5);
    EXPECT_EQ(image.origin_y, -2);
    EXPECT_EQ(image.factor_a, 0.9);
    EXPECT_EQ(image.factor_b, 0.5);
    EXPECT_EQ(image.factor_c, 0.25);
    EXPECT_TRUE(image.premultiplied);

    // A pointer without `present` is no layer: no pixels reach a filter.
    this->layer.present = false;
    const PixelArray<P> absent = pixelArrayOf<P>(this->layer);
    EXPECT_EQ(absent.data, nullptr);
    EXPECT_FALSE(absent.valid);
    // Present without pixels is no layer either.
    this->layer.present = true;
    this->layer.data = nullptr;
    EXPECT_FALSE(pixelArrayOf<P>(this->layer).valid);
}

TYPED_TEST(LayerPixels, RefusesRowsShorterThanTheirPixelsAndSaysSo) {
    using P = TypeParam;
    LogCapture log;
    PixelArray<P> image;
    ASSERT_EQ(checkedPixelArrayOf<P>(this->layer, "lens layer", &image), PF_Err_NONE);
    EXPECT_EQ(image.data, this->layer.data);

    this->layer.row_bytes = int32_t(4 * sizeof(P)) - 1;
    PixelArray<P> refused;
    EXPECT_EQ(checkedPixelArrayOf<P>(this->layer, "lens layer", &refused),
              PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(refused.data, nullptr);
    const std::string expected = std::string(Logger::kErrorPrefix) +
                                 "render: lens layer of 4x3 "
                                 "pixels has " +
                                 std::to_string(this->layer.row_bytes) + " bytes per row\n";
    EXPECT_NE(log.text().find(expected), std::string::npos) << log.text();

    // A single row has no stride to check; an absent layer is never refused.
    this->layer.height = 1;
    EXPECT_EQ(checkedPixelArrayOf<P>(this->layer, "lens layer", &refused), PF_Err_NONE);
    this->layer.height = 3;
    this->layer.present = false;
    EXPECT_EQ(checkedPixelArrayOf<P>(this->layer, "lens layer", &refused), PF_Err_NONE);
    EXPECT_EQ(refused.data, nullptr);
}

TEST(LayerPixelsSelection, FallsBackToTheSourceWhenTheLayerIsNotPresent) {
    LayerImage source;
    source.width = 7;
    LayerMap layers;
    EXPECT_EQ(&selectionOrSource(layers, "selection layer", source), &source);
    int32_t pixel = 0;
    layers["selection layer"].data = &pixel;
    EXPECT_EQ(&selectionOrSource(layers, "selection layer", source), &source);
    layers["selection layer"].present = true;
    EXPECT_EQ(&selectionOrSource(layers, "selection layer", source), &layers["selection layer"]);
    EXPECT_FALSE(helperLayerImage(layers, "lens layer").present);
}

}  // namespace
