#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "imaging/hsl_range_selection_filter.h"
#include "imaging/iris_kernel.h"
#include "zblur/zblur_filter.h"
#include "tests/zblur/zblur_filter_support.h"
#include "zblur/zblur_frame.h"
#include "imaging/zoom_filter.h"

namespace {

TEST(ZblurFilterIrisDisplay, DrawsTheUnnormalisedKernelCentredOnBlack) {
    const int32_t W = 64, H = 48;
    PaddedImage<PixelRGBA16> source(W, H), output(W, H);
    source.fillPixels(0x11);
    ZblurSettings s = blur_settings(30.0, 128.0);
    s.show = kZblurShowIris;
    s.facets = 5;
    s.rounded = 0.2;
    s.angle = 0.4;
    s.aspect = 0.25;
    TestHost host(2);
    LevelImage depth(W, H, 0);
    ZblurFilter<PixelRGBA16, PixelGrayFloat> filter(&host, source.array(), output.array(),
                                                    source.array(), depth.array(),
                                                    PixelArray<PixelRGBA16>(), s);
    ASSERT_EQ(filter.render(), host.noError());
    EXPECT_TRUE(output.spareBytesUntouched());

    // u = 50 (48 / 480 + 64 / 640) = 10; the output is wide and high enough for 2u.
    const double u = 10.0;
    const double ex = u * 1.25, ry = u * 0.75;
    std::vector<unsigned char> storage(polygon_kernel_size(ry / ex, ex, 0.0));
    IrisKernel kernel;
    ASSERT_EQ(build_polygon_kernel(storage.data(), 5, &host, ex, 0.2, 0.4, s.border_thickness, 0.0,
                                   ry / ex, kernel),
              host.noError());
    const DenseIrisKernel dense = expand_kernel(kernel);
    int32_t lit = 0;
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            const PixelRGBA16& p = output.at(x, y);
            ASSERT_EQ(alpha_of(p), 32768);
            const double w = dense.at(x - W / 2, y - H / 2);
            const int32_t expected = int32_t(std::min(w, 1.0) * 32768.0);
            ASSERT_NEAR(red_of(p), expected, 1) << x << "," << y;
            ASSERT_EQ(red_of(p), green_of(p));
            ASSERT_EQ(red_of(p), blue_of(p));
            if (red_of(p) > 0) ++lit;
        }
    EXPECT_GT(lit, 100);
}

// With a lens layer the iris display shows the lens kernel: the lens as gray, resampled to
// the display radius's 2 ceil(ex) x 2 ceil(ry) pixels, centred, unnormalised (weight 1 shows
// as the channel maximum), on opaque black.
TEST(ZblurFilterIrisDisplay, DrawsTheLensKernelCentredOnBlack) {
    const int32_t W = 64, H = 48;
    PaddedImage<PixelRGBAFloat> source(W, H), output(W, H), lens(10, 6);
    source.fillPixels(0x11);
    // Lopsided, so that a mirrored or shifted kernel shows: a bright left column and top row,
    // steps of 0.2 elsewhere, partly transparent on the right.
    for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 10; ++x) {
            const double v = x == 0 || y == 0 ? 1.0 : 0.2 * ((x + 2 * y) % 5);
            write_rgba(lens.at(x, y), ChannelValues{x > 6 ? 0.5 : 1.0, v, 0.5 * v, v});
        }
    ZblurSettings s = blur_settings(30.0, 128.0);
    s.show = kZblurShowIris;
    s.aspect = 0.25;
    TestHost host(2);
    LevelImage depth(W, H, 0);
    ZblurFilter<PixelRGBAFloat, PixelGrayFloat> filter(
        &host, source.array(), output.array(), source.array(), depth.array(), lens.array(), s);
    ASSERT_EQ(filter.render(), host.noError());
    EXPECT_TRUE(output.spareBytesUntouched());

    // u = 50 (48 / 480 + 64 / 640) = 10: ex = 12.5, ry = 7.5, a kernel image of 26 x 16.
    const int32_t cols = 26, rows = 16;
    PaddedImage<PixelGrayFloat> gray(10, 6), zoomed(cols, rows);
    for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 10; ++x) {
            const PixelRGBAFloat& p = lens.at(x, y);
            gray.at(x, y).channel[0] =
                float(gray_from_colour(red_of(p), green_of(p), blue_of(p)) * alpha_of(p));
        }
    ZoomFilter<PixelGrayFloat, PixelGrayFloat> zoom(&host, gray.array(true), zoomed.array(true));
    zoom.scale_x = zoom.scale_y = std::max(6.0 / rows, 10.0 / cols);
    zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::color;
    ASSERT_EQ(zoom.render(0, 1), host.noError());
    int32_t lit = 0;
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            const PixelRGBAFloat& p = output.at(x, y);
            ASSERT_EQ(alpha_of(p), 1.0f) << x << "," << y;
            const int32_t kx = x - W / 2 + cols / 2, ky = y - H / 2 + rows / 2;
            const bool inside = kx >= 0 && kx < cols && ky >= 0 && ky < rows;
            const double expected = inside ? zoomed.at(kx, ky).channel[0] : 0.0;
            // The kernel keeps changes of more than 0.002 along a row.
            ASSERT_NEAR(red_of(p), expected, 3e-3) << x << "," << y;
            ASSERT_EQ(red_of(p), green_of(p));
            ASSERT_EQ(red_of(p), blue_of(p));
            if (red_of(p) > 0.1f) ++lit;
        }
    EXPECT_GT(lit, 100);
}

TEST(ZblurFilterSelectionDisplay, IsTheHighlightSelectionMadeOpaque) {
    const int32_t W = 17, H = 11;
    PaddedImage<PixelRGBA8> source(W, H), selection(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            write_rgba(source.at(x, y),
                       ChannelValues{double(100 + 9 * x), double(20 * y), double(15 * x), 250.0});
            write_rgba(selection.at(x, y),
                       ChannelValues{255.0, double(13 * x + 40), double(23 * y), 240.0});
        }
    ZblurSettings s = blur_settings(10.0, 128.0);
    s.selection.enabled = true;
    s.selection.hue_end = 1.0;
    s.selection.saturation_end = 1.0;
    s.selection.lightness_start = 0.4;
    s.selection.lightness_end = 1.0;
    s.selection.lightness_soften = 1.0;
    s.selection.lightness_climax = 1.0;
    LevelImage depth(W, H, 0);
    for (const int32_t show : {kZblurShowHighlightSelection, kZblurShowHighlightSelectionOnly}) {
        s.show = show;
        TestHost host(1);
        PaddedImage<PixelRGBA8> output(W, H), expected(W, H);
        ZblurFilter<PixelRGBA8, PixelGrayFloat> filter(&host, source.array(), output.array(),
                                                       selection.array(), depth.array(),
                                                       PixelArray<PixelRGBA8>(), s);
        ASSERT_EQ(filter.render(), host.noError());
        HslRangeSelectionFilter<PixelRGBA8> reference(&host, source.array(), expected.array(),
                                                      selection.array());
        reference.settings = s.selection;
        reference.settings.show_selection = show == kZblurShowHighlightSelectionOnly;
        ASSERT_EQ(reference.render(0, 1), host.noError());
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) {
                EXPECT_EQ(alpha_of(output.at(x, y)), 255);
                EXPECT_EQ(red_of(output.at(x, y)), red_of(expected.at(x, y)));
                EXPECT_EQ(green_of(output.at(x, y)), green_of(expected.at(x, y)));
                EXPECT_EQ(blue_of(output.at(x, y)), blue_of(expected.at(x, y)));
            }
        EXPECT_TRUE(output.spareBytesUntouched());
    }
}

TEST(ZblurFilterDepthDisplay, ShowsTheShapedDepthAsGray) {
    const int32_t W = 9, H = 5;
    PaddedImage<PixelRGBAFloat> source(W, H), output(W, H);
    source.fillPixels(0);
    PaddedImage<PixelGrayFloat> depth(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) depth.at(x, y).channel[0] = float(x) / 8.0f;
    ZblurSettings s = blur_settings(10.0, 128.0);
    s.show = kZblurShowDepthBuffer;
    s.curve = 2.0;
    TestHost host(1);
    ZblurFilter<PixelRGBAFloat, PixelGrayFloat> filter(&host, source.array(), output.array(),
                                                       source.array(), depth.array(true),
                                                       PixelArray<PixelRGBAFloat>(), s);
    ASSERT_EQ(filter.render(), host.noError());
    for (int32_t x = 0; x < W; ++x) {
        const double o = x / 8.0;
        EXPECT_NEAR(red_of(output.at(x, 2)), std::pow(std::trunc(o * 32767) / 32767.0, 2.0), 1e-6);
        EXPECT_EQ(alpha_of(output.at(x, 2)), 1.0f);
    }
}

// The alternative iris: a lens image gives every level its kernel; with uniform depth the
// blur is the convolution with the resampled lens.
TEST(ZblurFilterLensIris, UniformDepthConvolvesWithTheResampledLens) {
    const int32_t W = 21, H = 15;
    PaddedImage<PixelRGBAFloat> source(W, H), lens(12, 12);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            write_rgba(source.at(x, y), ChannelValues{1.0, ((x * 7 + y * 3) % 11) / 10.0,
                                                      (x % 3) / 2.0, (y % 5) / 4.0});
    // A ring-shaped lens: bright border, dim centre, dark outside.
    for (int32_t y = 0; y < 12; ++y)
        for (int32_t x = 0; x < 12; ++x) {
            const double d = std::hypot(x - 5.5, y - 5.5);
            const double v = d < 3 ? 0.3 : d < 5.5 ? 1.0 : 0.0;
            write_rgba(lens.at(x, y), ChannelValues{1.0, v, v, v});
        }
    const int32_t level = 40;
    LevelImage depth(W, H, level);
    ZblurSettings s = blur_settings(25.0, 200.0);  // level 40: radius 16.7
    s.assume_h = 2;
    s.assume_v = 3;
    TestHost host(2);
    PaddedImage<PixelRGBAFloat> output(W, H);
    ZblurFilter<PixelRGBAFloat, PixelGrayFloat> filter(
        &host, source.array(), output.array(), source.array(), depth.array(), lens.array(), s);
    ASSERT_EQ(filter.render(), host.noError());

    // The level's kernel image: the lens as gray, resampled to 2 ceil(ex) x 2 ceil(ry).
    const LevelRadius r = level_radius(level, s, 1.0);
    const int32_t cols = 2 * int32_t(std::ceil(r.ex)), rows = 2 * int32_t(std::ceil(r.ry));
    PaddedImage<PixelGrayFloat> gray(12, 12), zoomed(cols, rows);
    for (int32_t y = 0; y < 12; ++y)
        for (int32_t x = 0; x < 12; ++x)
            gray.at(x, y).channel[0] = float(gray_from_colour(
                red_of(lens.at(x, y)), green_of(lens.at(x, y)), blue_of(lens.at(x, y))));
    ZoomFilter<PixelGrayFloat, PixelGrayFloat> zoom(&host, gray.array(true), zoomed.array(true));
    zoom.scale_x = zoom.scale_y = std::max(12.0 / rows, 12.0 / cols);
    zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::color;
    ASSERT_EQ(zoom.render(0, 1), host.noError());
    double sum = 0.0;
    for (int32_t y = 0; y < rows; ++y)
        for (int32_t x = 0; x < cols; ++x) sum += std::max(0.0f, zoomed.at(x, y).channel[0]);
    ASSERT_GT(sum, 1.0);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            double ref[4] = {0, 0, 0, 0};
            for (int32_t ky = 0; ky < rows; ++ky)
                for (int32_t kx = 0; kx < cols; ++kx) {
                    const double w = std::max(0.0f, zoomed.at(kx, ky).channel[0]) / sum;
                    if (w == 0.0) continue;
                    int32_t sx = x - (kx - cols / 2), sy = y - (ky - rows / 2);
                    map_outside(OutsideMode::mirrored_image, W, sx);
                    map_outside(OutsideMode::repeated_image, H, sy);
                    const ChannelValues v = read_rgba(source.at(sx, sy));
                    ref[0] += w * v.a;
                    ref[1] += w * v.r;
                    ref[2] += w * v.g;
                    ref[3] += w * v.b;
                }
            const PixelRGBAFloat& p = output.at(x, y);
            // The kernel keeps weights that change by more than 0.002 along a row.
            EXPECT_NEAR(alpha_of(p), ref[0], 2e-3) << x << "," << y;
            EXPECT_NEAR(red_of(p), ref[1] / ref[0], 2e-2) << x << "," << y;
            EXPECT_NEAR(green_of(p), ref[2] / ref[0], 2e-2) << x << "," << y;
            EXPECT_NEAR(blue_of(p), ref[3] / ref[0], 2e-2) << x << "," << y;
        }
}

TEST(ZblurFilterFloat, NonFiniteSourceValuesStayContained) {
    const int32_t W = 30, H = 20;
    PaddedImage<PixelRGBAFloat> source(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            write_rgba(source.at(x, y), ChannelValues{1, 0.5, 0.25, 0.125});
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    red_of(source.at(3, 3)) = nan;
    green_of(source.at(4, 3)) = inf;
    alpha_of(source.at(5, 3)) = nan;
    blue_of(source.at(6, 3)) = -inf;
    // A bright light far from the checked pixel must not coarsen the colours elsewhere.
    red_of(source.at(20, 4)) = 3000.0f;
    LevelImage depth(W, H, 0);
    ZblurSettings s = blur_settings(5.0, 255.0);  // radius 6
    s.gamma = true;
    TestHost host(1);
    BlurRun<PixelRGBAFloat> run = run_blur(host, source, depth, s);
    ASSERT_EQ(run.status, host.noError());
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            for (int c = 0; c < 4; ++c) {
                const ChannelValues v = read_rgba(run.output.at(x, y));
                ASSERT_TRUE(std::isfinite(v.a) && std::isfinite(v.r) && std::isfinite(v.g) &&
                            std::isfinite(v.b))
                    << x << "," << y;
            }
    // Far from the bad pixels the uniform colour comes back.
    const PixelRGBAFloat& far = run.output.at(25, 15);
    EXPECT_NEAR(red_of(far), 0.5, 1e-5);
    EXPECT_NEAR(green_of(far), 0.25, 1e-5);
    EXPECT_NEAR(blue_of(far), 0.125, 1e-5);
    EXPECT_GT(red_of(run.output.at(20, 4)), 10.0f);
}

// The frame entry picks the instantiation for the depth kind.
TEST(ZblurFrame, EveryDepthKindRendersThroughTheEntry) {
    const int32_t W = 12, H = 10;
    PaddedImage<PixelRGBA16> source(W, H), output(W, H), layer(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            write_rgba(source.at(x, y), ChannelValues{32768, double(2000 * (x % 4)), 100, 7});
            // Depth layer: near on the left half.
            write_rgba(layer.at(x, y), ChannelValues{32768, x < 6 ? 32768.0 : 0.0, 0, 0});
        }
    PaddedImage<PixelGrayFloat> floats(W, H);
    PaddedImage<PixelGrayDouble> doubles(W, H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            floats.at(x, y).channel[0] = x < 6 ? 1.0f : 0.0f;
            doubles.at(x, y).channel[0] = x < 6 ? 1.0 : 0.0;
        }
    ZblurSettings s = blur_settings(0.0, 255.0);
    s.show = kZblurShowDepthBuffer;
    TestHost host(1);
    for (const ZblurDepthKind kind : {ZblurDepthKind::layer, ZblurDepthKind::channel_float,
                                      ZblurDepthKind::channel_double, ZblurDepthKind::none}) {
        ZblurFrame<PixelRGBA16> frame;
        frame.source = source.array();
        frame.output = output.array();
        frame.selection = source.array();
        frame.depth_kind = kind;
        frame.depth_layer = layer.array();
        frame.depth_float = floats.array(true);
        frame.depth_double = doubles.array(true);
        ASSERT_EQ(renderZblurFrame(&host, s, frame), host.noError());
        const bool has_depth = kind != ZblurDepthKind::none;
        EXPECT_EQ(red_of(output.at(1, 1)), has_depth ? 32768 : 0) << int(kind);
        EXPECT_EQ(red_of(output.at(10, 1)), 0) << int(kind);
    }
    // A depth kind outside the enumeration is a broken frame description, not a lack of memory.
    ZblurFrame<PixelRGBA16> broken;
    broken.source = source.array();
    broken.output = output.array();
    broken.depth_kind = ZblurDepthKind(7);
    EXPECT_EQ(renderZblurFrame(&host, s, broken), host.internalError());
    EXPECT_NE(host.internalError(), host.outOfMemoryError());
    EXPECT_NE(host.internalError(), host.noError());
}

}  // namespace
