// The behind layer: what lies behind the near objects, given with its own depth, shows through
// where a blurred near object covers only partly, instead of the background estimate.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "tests/support/padded_image.h"
#include "tests/support/test_host.h"
#include "tests/zblur/zblur_filter_support.h"
#include "zblur/zblur_frame.h"

namespace {

constexpr int32_t kW = 48, kH = 40;
constexpr int32_t kFar = 0, kNear = 255;
// The near square, columns and rows [kSquare0, kSquare1).
constexpr int32_t kSquare0 = 16, kSquare1 = 30;
constexpr double kRadius = 6.0;  // the near level's kernel radius is 7 pixels, the far's 1

bool in_square(int32_t x, int32_t y) {
    return x >= kSquare0 && x < kSquare1 && y >= kSquare0 && y < kSquare1;
}

// Distance in pixels (the larger of the two axes) from the square, 0 inside it.
int32_t square_distance(int32_t x, int32_t y) {
    const int32_t dx = std::max({kSquare0 - x, x - (kSquare1 - 1), 0});
    const int32_t dy = std::max({kSquare0 - y, y - (kSquare1 - 1), 0});
    return std::max(dx, dy);
}

// A textured far plane on the 0 .. 1 scale, opaque; `tint` makes a different plate.
ChannelValues far_colour(int32_t x, int32_t y, double tint = 0.0) {
    return {1.0, 0.15 + 0.7 * double((x * 7 + y * 3) % 11) / 10.0,
            std::min(1.0, 0.3 + 0.02 * double(y) + tint), 0.5 + 0.4 * std::sin(0.5 * x)};
}
const ChannelValues kNearColour{1.0, 0.95, 0.1, 0.05};

template <class P>
ChannelValues scaled(ChannelValues v) {
    return {v.a * P::max, v.r * P::max, v.g * P::max, v.b * P::max};
}

// One render through the frame entry: source and behind with their depths as one float per
// pixel; the output is premultiplied, so that layers composite by adding.
template <class P>
struct Scene {
    PaddedImage<P> source{kW, kH}, behind{kW, kH};
    LevelImage depth{kW, kH, kFar}, behind_depth{kW, kH, kFar};
    ZblurSettings settings = blur_settings(kRadius, kFar);
    bool with_behind = true;
    int32_t behind_origin_x = 0, behind_origin_y = 0;

    // The near square over the far plane; the behind layer is the far plane in full.
    Scene() {
        for (int32_t y = 0; y < kH; ++y)
            for (int32_t x = 0; x < kW; ++x) {
                const bool near = in_square(x, y);
                write_rgba(source.at(x, y), scaled<P>(near ? kNearColour : far_colour(x, y)));
                depth.set(x, y, near ? kNear : kFar);
                write_rgba(behind.at(x, y), scaled<P>(far_colour(x, y)));
            }
    }

    PaddedImage<P> render(int32_t threads = 1) {
        PaddedImage<P> out(kW, kH);
        ZblurFrame<P> frame;
        frame.source = source.array(false);
        frame.output = out.array(true);
        frame.selection = source.array(false);
        frame.depth_kind = ZblurDepthKind::channel_float;
        frame.depth_float = depth.array();
        if (with_behind) {
            frame.behind = behind.array(false);
            frame.behind.origin_x = behind_origin_x;
            frame.behind.origin_y = behind_origin_y;
            frame.behind_depth_kind = ZblurDepthKind::channel_float;
            frame.behind_depth_float = behind_depth.array();
            frame.behind_depth_float.origin_x = behind_origin_x;
            frame.behind_depth_float.origin_y = behind_origin_y;
            frame.behind_rule = depth_rule(settings);
        }
        TestHost host(threads);
        EXPECT_EQ(renderZblurFrame(&host, settings, frame), host.noError());
        return out;
    }
};

template <class P>
double channel(PaddedImage<P>& image, int32_t x, int32_t y, int c) {
    const ChannelValues v = read_rgba(image.at(x, y));
    const double values[4] = {v.a, v.r, v.g, v.b};
    return values[c] / P::max;
}

template <class P>
bool same_pixels(PaddedImage<P>& a, PaddedImage<P>& b, int32_t x, int32_t y) {
    for (int c = 0; c < 4; ++c)
        if (channel(a, x, y, c) != channel(b, x, y, c)) return false;
    return true;
}

template <class P>
class ZblurBehind : public ::testing::Test {};
using BehindPixelTypes = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(ZblurBehind, BehindPixelTypes);

// Against a layered reference: the near square alone (on a transparent plane at its own
// level) blurred with its kernel, composited over the far plane alone blurred with its own,
// near + (1 - near alpha) x far on premultiplied pixels. With the far plane given in full as the
// behind layer the blur matches it everywhere; without it the blur has to guess what the
// square hides and is farther from it around the square's edge.
TYPED_TEST(ZblurBehind, MatchesTheLayeredCompositeOfTwoPlanes) {
    using P = TypeParam;
    Scene<P> scene;
    PaddedImage<P> with = scene.render();
    scene.with_behind = false;
    PaddedImage<P> without = scene.render();

    Scene<P> near_plane;
    near_plane.with_behind = false;
    Scene<P> far_plane = near_plane;
    for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x) {
            const bool near = in_square(x, y);
            write_rgba(near_plane.source.at(x, y),
                       near ? scaled<P>(kNearColour) : ChannelValues{0, 0, 0, 0});
            near_plane.depth.set(x, y, kNear);
            write_rgba(far_plane.source.at(x, y), scaled<P>(far_colour(x, y)));
            far_plane.depth.set(x, y, kFar);
        }
    PaddedImage<P> near = near_plane.render();
    PaddedImage<P> far = far_plane.render();

    // Integer pixels round each layer and the composite once; one unit each way.
    const double tolerance = P::is_float ? 1e-5 : 3.0 / P::max;
    double error_with = 0.0, error_without = 0.0, worst_with = 0.0;
    for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x) {
            const double cover = channel(near, x, y, 0);
            for (int c = 0; c < 4; ++c) {
                const double reference =
                    channel(near, x, y, c) + (1.0 - cover) * channel(far, x, y, c);
                const double e_with = std::fabs(channel(with, x, y, c) - reference);
                worst_with = std::max(worst_with, e_with);
                EXPECT_NEAR(channel(with, x, y, c), reference, tolerance)
                    << "pixel " << x << "," << y << " channel " << c;
                if (square_distance(x, y) <= 8 && (x < kSquare0 + 8 || x >= kSquare1 - 8)) {
                    error_with += e_with;
                    error_without += std::fabs(channel(without, x, y, c) - reference);
                }
            }
        }
    EXPECT_LT(error_with * 10.0, error_without) << "worst " << worst_with;
}

// Where the source shows the far plane itself the behind pixel is the same surface and must
// not count a second time: with a behind plate of another colour, every pixel that no near
// kernel reaches is exactly what the render without the behind layer gives.
TYPED_TEST(ZblurBehind, TheSameSurfaceIsNotCountedTwice) {
    using P = TypeParam;
    Scene<P> scene;
    for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x)
            write_rgba(scene.behind.at(x, y), scaled<P>(far_colour(x, y, 0.4)));
    PaddedImage<P> with = scene.render();
    scene.with_behind = false;
    PaddedImage<P> without = scene.render();
    int32_t compared = 0, changed_near = 0;
    for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x) {
            // The near kernel reaches 7 pixels, the far kernel one more.
            if (square_distance(x, y) > 9) {
                EXPECT_TRUE(same_pixels(with, without, x, y)) << "pixel " << x << "," << y;
                ++compared;
            } else if (!same_pixels(with, without, x, y)) {
                ++changed_near;
            }
        }
    EXPECT_GT(compared, 500);
    EXPECT_GT(changed_near, 100);  // and the plate does show around the square
}

// Behind pixels that cannot count change nothing: transparent ones, and ones nearer than the
// source; the same for every view that is not the blur itself.
TYPED_TEST(ZblurBehind, BehindPixelsThatDoNotCountChangeNothing) {
    using P = TypeParam;
    Scene<P> reference_scene;
    reference_scene.with_behind = false;
    PaddedImage<P> reference = reference_scene.render();

    Scene<P> transparent;
    for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x) write_rgba(transparent.behind.at(x, y), {0, 0, 0, 0});
    // Nearer than the far plane around the square, nothing over it.
    Scene<P> nearer;
    for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x) {
            nearer.behind_depth.set(x, y, 200);
            if (in_square(x, y)) write_rgba(nearer.behind.at(x, y), {0, 0, 0, 0});
        }
    for (Scene<P>* scene : {&transparent, &nearer}) {
        PaddedImage<P> out = scene->render();
        for (int32_t y = 0; y < kH; ++y)
            for (int32_t x = 0; x < kW; ++x)
                ASSERT_TRUE(same_pixels(out, reference, x, y)) << "pixel " << x << "," << y;
    }

    for (const int32_t show : {kZblurShowIris, kZblurShowDepthBuffer, kZblurShowHighlightSelection,
                               kZblurShowHighlightSelectionOnly, kZblurShowSharpZone}) {
        Scene<P> scene;
        scene.settings.show = show;
        PaddedImage<P> with = scene.render();
        scene.with_behind = false;
        PaddedImage<P> without = scene.render();
        for (int32_t y = 0; y < kH; ++y)
            for (int32_t x = 0; x < kW; ++x)
                ASSERT_TRUE(same_pixels(with, without, x, y))
                    << "show " << show << " pixel " << x << "," << y;
    }
}

// "info density" shows the missing coverage in red: around the square the behind layer fills
// what the source hides, so far less stays uncovered.
TYPED_TEST(ZblurBehind, InfoDensityShowsTheGapFilled) {
    using P = TypeParam;
    Scene<P> scene;
    scene.settings.show = kZblurShowInfoDensity;
    PaddedImage<P> with = scene.render();
    scene.with_behind = false;
    PaddedImage<P> without = scene.render();
    double missing_with = 0.0, missing_without = 0.0;
    for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x) {
            missing_with += channel(with, x, y, 1);
            missing_without += channel(without, x, y, 1);
        }
    EXPECT_GT(missing_without, 5.0);
    EXPECT_LT(missing_with * 20.0, missing_without);
}

// A behind layer smaller than the frame and placed elsewhere (by its origin) counts only where
// it has pixels: it changes the frame only within a near kernel's reach of the square's part
// it covers, and the frame is the same on 1 and 3 threads.
TYPED_TEST(ZblurBehind, APartialBehindLayerAtAnotherPlace) {
    using P = TypeParam;
    Scene<P> scene;
    // 20 x 16 behind pixels whose (0, 0) lies at frame pixel (24, 20): the square's bottom
    // right part and the far plane around it.
    const int32_t ox = 24, oy = 20, bw = 20, bh = 16;
    scene.behind = PaddedImage<P>(bw, bh);
    scene.behind_depth = LevelImage(bw, bh, kFar);
    for (int32_t y = 0; y < bh; ++y)
        for (int32_t x = 0; x < bw; ++x)
            write_rgba(scene.behind.at(x, y), scaled<P>(far_colour(x + ox, y + oy)));
    scene.behind_origin_x = ox;
    scene.behind_origin_y = oy;
    PaddedImage<P> with = scene.render(1);
    PaddedImage<P> threads = scene.render(3);
    scene.with_behind = false;
    PaddedImage<P> without = scene.render();
    int32_t changed = 0;
    for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x) {
            ASSERT_TRUE(same_pixels(with, threads, x, y)) << "pixel " << x << "," << y;
            const bool reached = x >= ox - 9 && y >= oy - 9;
            if (!reached) {
                EXPECT_TRUE(same_pixels(with, without, x, y)) << "pixel " << x << "," << y;
            } else if (!same_pixels(with, without, x, y)) {
                ++changed;
            }
        }
    EXPECT_GT(changed, 20);
}

}  // namespace
