#include "evenblur/kernel_image_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/evenblur/evenblur_reference.h"
#include "tests/support/test_host.h"
#include "tests/support/padded_image.h"

namespace {

using namespace evenblur_reference;

using Display8 = PixelRGBAFloat255;

EvenblurSettings iris_settings(double radius) {
    EvenblurSettings s;
    s.radius = radius;
    s.facets = 5;
    s.rounded = 0.3;
    s.angle = 0.4;
    s.border_brightness = -0.4;
    s.border_thickness = 0.25;
    return s;
}

TEST(KernelGeometryTest, BlurAndDisplaySizes) {
    EvenblurSettings s;
    s.radius = 10.0;
    KernelGeometry g = KernelGeometry::of(s, 100, 80, 1.0, false);
    EXPECT_DOUBLE_EQ(g.diameter, 20.0);
    EXPECT_DOUBLE_EQ(g.radius_x, 11.0);
    EXPECT_DOUBLE_EQ(g.ratio, 1.0);

    // x-y aspect 0.5: d = 20 + 2 - 1 = 21, X = 21 / 2 * 1.5, Y = 21 / 2 * 0.5; a pixel aspect
    // of 2 halves X; half resolution halves both.
    s.aspect = 0.5;
    s.scale_x = 2.0;
    s.scale_y = 2.0;
    g = KernelGeometry::of(s, 100, 80, 2.0, false);
    EXPECT_DOUBLE_EQ(g.radius_x, 21.0 / 8.0 * 1.5);
    EXPECT_DOUBLE_EQ(g.radius_y, 21.0 / 4.0 * 0.5);
    EXPECT_DOUBLE_EQ(g.ratio, g.radius_y / g.radius_x);

    // The display: 100 pixels per 640 x 480, at most half the frame less one.
    EvenblurSettings d;
    g = KernelGeometry::of(d, 640, 480, 1.0, true);
    EXPECT_DOUBLE_EQ(g.diameter, 200.0);
    g = KernelGeometry::of(d, 100, 1000, 1.0, true);  // 100 * (0.15625 + 2.0833) > 50
    EXPECT_DOUBLE_EQ(g.diameter, 49.0);
    // Smoothing: rs = D * smooth * 2 / (H ry + W rx).
    d.smooth = 3.0;
    g = KernelGeometry::of(d, 640, 480, 1.0, true);
    EXPECT_DOUBLE_EQ(g.smoothing, 200.0 * 3.0 * 2.0 / (480.0 + 640.0));
}

// The drawn iris is the polygon kernel's weights, centred at (W / 2, H / 2) and cut at the
// image edges: compared with the kernel's own dense expansion.
TEST(KernelImageBuilderTest, PolygonIsTheIrisKernelCentredAndClipped) {
    for (int32_t size : {31, 12, 7}) {
        SCOPED_TRACE("size " + std::to_string(size));
        const EvenblurSettings s = iris_settings(5.5);
        TestHost host(2);
        PaddedImage<PixelGrayFloat> image(size, size - 2, kLayerRows);
        KernelImageBuilder<PixelRGBA8, PixelGrayFloat> builder(&host, s, {}, image.array(), false);
        ASSERT_EQ(builder.render(0, 1), host.noError());
        EXPECT_EQ(host.liveBlocks(), 0u);
        EXPECT_TRUE(image.spareBytesUntouched());

        const KernelGeometry g = builder.geometry;
        std::vector<unsigned char> storage(
            polygon_kernel_size(g.ratio, g.radius_x, s.border_brightness));
        IrisKernel kernel;
        ASSERT_EQ(
            build_polygon_kernel(storage.data(), s.facets, &host, g.radius_x, s.rounded, s.angle,
                                 s.border_thickness, s.border_brightness, g.ratio, kernel),
            host.noError());
        const DenseIrisKernel dense = expand_kernel(kernel);
        for (int32_t y = 0; y < size - 2; ++y)
            for (int32_t x = 0; x < size; ++x)
                ASSERT_NEAR(gray_of(image.at(x, y)), dense.at(x - size / 2, y - (size - 2) / 2),
                            1e-6)
                    << x << ", " << y;
    }
}

// The coloured iris carries the weight times S in its colours; alpha is S over the whole image
// in the display, and in a blur over the part that can carry weight, outside which all is 0.
TEST(KernelImageBuilderTest, ColouredPolygonCarriesTheWeightInItsColours) {
    for (bool display : {false, true}) {
        SCOPED_TRACE(display ? "display" : "blur");
        EvenblurSettings s = iris_settings(4.0);
        s.smooth = 2.0;
        TestHost host(1);
        PaddedImage<PixelGrayFloat> gray(41, 37, kLayerRows);
        PaddedImage<Display8> colour(41, 37, kLayerRows);
        KernelImageBuilder<PixelRGBA8, PixelGrayFloat> g(&host, s, {}, gray.array(), display);
        KernelImageBuilder<PixelRGBA8, Display8> c(&host, s, {}, colour.array(), display);
        ASSERT_EQ(g.render(0, 1), host.noError());
        ASSERT_EQ(c.render(0, 1), host.noError());
        EXPECT_FALSE(c.extent.empty());
        EXPECT_LT(c.extent.width(), 41);
        EXPECT_LT(c.extent.height(), 37);
        for (int32_t y = 0; y < 37; ++y)
            for (int32_t x = 0; x < 41; ++x) {
                const Display8& p = colour.at(x, y);
                const bool inside = x >= c.extent.left && x < c.extent.right && y >= c.extent.top &&
                                    y < c.extent.bottom;
                ASSERT_EQ(alpha_of(p), display || inside ? 255.0f : 0.0f) << x << ", " << y;
                ASSERT_NEAR(red_of(p), 255.0 * gray_of(gray.at(x, y)), 1e-3) << x << ", " << y;
                ASSERT_EQ(red_of(p), green_of(p));
                ASSERT_EQ(red_of(p), blue_of(p));
                if (!inside) {
                    ASSERT_EQ(gray_of(gray.at(x, y)), 0.0f);
                }
            }
    }
}

// Smoothing only the drawn part (with its margin) gives the pixels of smoothing the whole image.
TEST(KernelImageBuilderTest, SmoothingEqualsTheGlowOfTheWholeImage) {
    EvenblurSettings s = iris_settings(3.0);
    s.smooth = 30.0;  // rs = 6 * 30 * 2 / (41 + 61 * 1.5), about 2.7
    s.scale_x = 1.5;
    TestHost host(2);
    PaddedImage<PixelGrayFloat> smoothed(61, 41, kLayerRows), sharp(61, 41, kLayerRows);
    KernelImageBuilder<PixelRGBA8, PixelGrayFloat> a(&host, s, {}, smoothed.array(), false);
    ASSERT_EQ(a.render(0, 1), host.noError());
    EvenblurSettings no_smooth = s;
    no_smooth.smooth = 0.0;
    KernelImageBuilder<PixelRGBA8, PixelGrayFloat> b(&host, no_smooth, {}, sharp.array(), false);
    ASSERT_EQ(b.render(0, 1), host.noError());
    GlowFilter<PixelGrayFloat> glow(&host, sharp.array(), a.geometry.smoothing,
                                    a.geometry.smoothing, s.scale_x, s.scale_y);
    ASSERT_EQ(glow.render(0, 1), host.noError());
    EXPECT_GT(a.geometry.smoothing, 1.0);
    for (int32_t y = 0; y < 41; ++y)
        for (int32_t x = 0; x < 61; ++x)
            ASSERT_NEAR(gray_of(smoothed.at(x, y)), gray_of(sharp.at(x, y)), 1e-6)
                << x << ", " << y;
    EXPECT_EQ(host.liveBlocks(), 0u);
}

// The lens image zoomed into only the part it can reach, with or without lent scratch memory,
// gives the pixels of zooming it into the whole image.
template <class P>
void check_lens(bool coloured_kernel, bool colored_iris, bool scratch) {
    const double max = P::max;
    PaddedImage<P> lens(9, 6, kLayerRows);
    random_pixels(lens, 21, 0.0);
    EvenblurSettings s;
    s.radius = 4.0;
    s.colored_iris = colored_iris;
    TestHost host(2);
    std::vector<PixelRGBAFloat> memory(64 * 64);
    Rectangle extent;
    auto build = [&](auto& image) {
        using T = typename std::remove_reference_t<decltype(image)>::pixel_type;
        KernelImageBuilder<P, T> builder(&host, s, lens.array(), image, false);
        if (scratch) {
            builder.scratch = memory.data();
            builder.scratch_bytes = memory.size() * sizeof(PixelRGBAFloat);
        }
        EXPECT_EQ(builder.render(0, 1), host.noError());
        extent = builder.extent;
    };
    // k = min(9, 6) / (8 + 1) source pixels per kernel pixel.
    const double k = 6.0 / 9.0;
    if (coloured_kernel) {
        PaddedImage<PixelRGBAFloat> image(40, 31, kLayerRows), zoomed(40, 31, kLayerRows);
        PixelArray<PixelRGBAFloat> view = image.array();
        build(view);
        ZoomFilter<P, PixelRGBAFloat> zoom(&host, lens.array(), zoomed.array());
        zoom.scale_x = zoom.scale_y = k;
        zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::color;
        ASSERT_EQ(zoom.render(0, 1), host.noError());
        for (int32_t y = 0; y < 31; ++y)
            for (int32_t x = 0; x < 40; ++x) {
                const PixelRGBAFloat& z = zoomed.at(x, y);
                const PixelRGBAFloat& p = image.at(x, y);
                const double a = alpha_of(z);
                const double gray = a * gray_from_colour(red_of(z), green_of(z), blue_of(z));
                const bool inside =
                    x >= extent.left && x < extent.right && y >= extent.top && y < extent.bottom;
                ASSERT_EQ(alpha_of(p), inside ? 1.0f : 0.0f) << x << ", " << y;
                if (!inside) {
                    ASSERT_EQ(alpha_of(z), 0.0f) << x << ", " << y;
                }
                ASSERT_NEAR(red_of(p), colored_iris ? a * red_of(z) : gray, 1e-6) << x << ", " << y;
                ASSERT_NEAR(blue_of(p), colored_iris ? a * blue_of(z) : gray, 1e-6);
            }
    } else {
        PaddedImage<PixelGrayFloat> image(40, 31, kLayerRows), zoomed(40, 31, kLayerRows);
        PixelArray<PixelGrayFloat> view = image.array();
        build(view);
        ZoomFilter<P, PixelGrayFloat> zoom(&host, lens.array(), zoomed.array());
        zoom.scale_x = zoom.scale_y = k;
        zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::color;
        ASSERT_EQ(zoom.render(0, 1), host.noError());
        double total = 0.0;
        for (int32_t y = 0; y < 31; ++y)
            for (int32_t x = 0; x < 40; ++x) {
                ASSERT_EQ(gray_of(image.at(x, y)), gray_of(zoomed.at(x, y))) << x << ", " << y;
                total += gray_of(image.at(x, y));
            }
        EXPECT_GT(total, 0.0);
    }
    (void)max;
    EXPECT_EQ(host.liveBlocks(), 0u);
}

template <class P>
class KernelImageBuilderLensTest : public ::testing::Test {};
using HostPixelTypes = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(KernelImageBuilderLensTest, HostPixelTypes);

TYPED_TEST(KernelImageBuilderLensTest, LensIsTheZoomedImage) {
    for (int variant = 0; variant < 8; ++variant) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        check_lens<TypeParam>((variant & 1) != 0, (variant & 2) != 0, (variant & 4) != 0);
    }
}

TEST(KernelImageBuilderTest, FailedStorageReturnsOutOfMemory) {
    TestHost host(1);
    host.failAllocationsAfter(0);
    PaddedImage<PixelGrayFloat> image(9, 9, kLayerRows);
    KernelImageBuilder<PixelRGBA8, PixelGrayFloat> builder(&host, iris_settings(2.0), {},
                                                           image.array(), false);
    EXPECT_EQ(builder.render(0, 1), host.outOfMemoryError());
    EXPECT_EQ(host.liveBlocks(), 0u);
}

}  // namespace
