#include "qbrender/sample_scene.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

#include "qbrender/image_file.h"
#include "qbrender/qbrender_error.h"
#include "tests/qbrender/test_folder.h"

namespace {

double luminance(const Image& image, int x, int y) {
    return 0.2126 * image.sample(x, y, 0) + 0.7152 * image.sample(x, y, 1) +
           0.0722 * image.sample(x, y, 2);
}

// One scene shared by the property tests, with its behind plate: rendering is deterministic.
const SampleScene& scene640() {
    static const SampleScene scene = makeSampleScene(640, 360, BehindLayer::render);
    return scene;
}

TEST(SampleScene, HasTheAskedSizeAndDefaults) {
    const SampleScene odd = makeSampleScene(37, 21);
    EXPECT_EQ(odd.color.width(), 37);
    EXPECT_EQ(odd.color.height(), 21);
    EXPECT_EQ(odd.color.depth(), SampleDepth::float32);
    EXPECT_TRUE(odd.color.hasZ());
    EXPECT_EQ(odd.depth.width(), 37);
    EXPECT_EQ(odd.depth.height(), 21);
    EXPECT_EQ(odd.depth.depth(), SampleDepth::bits16);
    EXPECT_TRUE(odd.behind.empty());
    const SampleScene tiny = makeSampleScene(1, 1, BehindLayer::render);
    EXPECT_EQ(tiny.color.z().size(), 1u);
    EXPECT_EQ(tiny.behind.z().size(), 1u);
    EXPECT_EQ(kSampleWidth, 1280);
    EXPECT_EQ(kSampleHeight, 720);
    EXPECT_THROW(makeSampleScene(0, 10), std::invalid_argument);
    EXPECT_THROW(makeSampleScene(10, 16385), std::invalid_argument);
}

// Also: asking for the behind plate leaves the frame as it is.
TEST(SampleScene, IsDeterministic) {
    const SampleScene again = makeSampleScene(640, 360);
    const auto a = scene640().color.samplesFloat(), b = again.color.samplesFloat();
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size_bytes()), 0);
    const auto za = scene640().color.z(), zb = again.color.z();
    EXPECT_EQ(std::memcmp(za.data(), zb.data(), za.size_bytes()), 0);
}

TEST(SampleScene, IsOpaqueWithFiniteColours) {
    const Image& color = scene640().color;
    for (int y = 0; y < color.height(); ++y) {
        for (int x = 0; x < color.width(); ++x) {
            ASSERT_EQ(color.sample(x, y, 3), 1.0);
            for (int c = 0; c < 3; ++c) {
                ASSERT_TRUE(std::isfinite(color.sample(x, y, c)));
                ASSERT_GE(color.sample(x, y, c), 0.0);
            }
        }
    }
}

// The post is the only thing nearer than 2 units. Pixels with no post in their 3x3 neighbourhood
// (the outline samples of a pixel stay within it) must be the frame's, bit for bit; under the
// post the plate shows something else, farther away.
TEST(SampleScene, BehindIsTheFrameWithoutThePost) {
    const SampleScene& s = scene640();
    const int w = s.color.width(), h = s.color.height();
    ASSERT_EQ(s.behind.width(), w);
    ASSERT_EQ(s.behind.height(), h);
    ASSERT_EQ(s.behind.depth(), SampleDepth::float32);
    ASSERT_TRUE(s.behind.hasZ());
    const auto z = s.color.z(), behind_z = s.behind.z();
    const auto post = [&](int x, int y) { return z[size_t(y) * w + size_t(x)] < 2.0f; };
    int post_pixels = 0, equal_pixels = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + size_t(x);
            ASSERT_EQ(s.behind.sample(x, y, 3), 1.0);
            ASSERT_GT(behind_z[i], 2.0f) << x << "," << y;
            if (post(x, y)) {
                ++post_pixels;
                ASSERT_GT(behind_z[i], z[i]) << x << "," << y;
                bool differs = false;
                for (int c = 0; c < 3; ++c) {
                    differs = differs || s.behind.sample(x, y, c) != s.color.sample(x, y, c);
                }
                ASSERT_TRUE(differs) << x << "," << y;
                continue;
            }
            bool near_post = false;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    near_post =
                        near_post || (nx >= 0 && nx < w && ny >= 0 && ny < h && post(nx, ny));
                }
            }
            if (!near_post) {
                ++equal_pixels;
                ASSERT_EQ(behind_z[i], z[i]) << x << "," << y;
                for (int c = 0; c < 4; ++c) {
                    ASSERT_EQ(s.behind.sample(x, y, c), s.color.sample(x, y, c))
                        << x << "," << y << " channel " << c;
                }
            }
        }
    }
    EXPECT_GT(post_pixels, 10 * h);
    EXPECT_GT(equal_pixels, w * h * 3 / 4);
}

TEST(SampleScene, DepthLiesBetweenNearAndTheBackdrop) {
    const auto z = scene640().color.z();
    const auto [lo, hi] = std::minmax_element(z.begin(), z.end());
    EXPECT_GT(*lo, kSampleNearZ);
    EXPECT_LT(*lo, 2.0f);  // the near post
    EXPECT_EQ(*hi, kSampleFarZ);
}

TEST(SampleScene, DepthImageIsInverseDepthWithNearWhite) {
    EXPECT_DOUBLE_EQ(sampleDepthGray(kSampleNearZ), 1.0);
    EXPECT_DOUBLE_EQ(sampleDepthGray(kSampleFarZ), 0.0);
    EXPECT_DOUBLE_EQ(sampleDepthGray(0.5), 1.0);
    EXPECT_DOUBLE_EQ(sampleDepthGray(1000.0), 0.0);
    EXPECT_NEAR(sampleDepthGray(2.0), (0.5 - 0.0125) / (0.8 - 0.0125), 1e-12);

    const SampleScene& s = scene640();
    for (int y = 0; y < s.depth.height(); y += 7) {
        for (int x = 0; x < s.depth.width(); x += 5) {
            const double z = s.color.z()[size_t(y) * 640 + size_t(x)];
            const double gray = s.depth.sample(x, y, 0);
            ASSERT_NEAR(gray, sampleDepthGray(z) * 65535.0, 0.5001);
            ASSERT_EQ(s.depth.sample(x, y, 1), gray);
            ASSERT_EQ(s.depth.sample(x, y, 2), gray);
            ASSERT_EQ(s.depth.sample(x, y, 3), 65535);
        }
    }
}

TEST(SampleScene, NearPostSpansTheFullHeight) {
    const SampleScene& s = scene640();
    int full_columns = 0;
    for (int x = 0; x < 640; ++x) {
        bool near_everywhere = true;
        for (int y = 0; y < 360 && near_everywhere; ++y) {
            near_everywhere = s.color.z()[size_t(y) * 640 + size_t(x)] < 2.0f;
        }
        full_columns += near_everywhere;
    }
    EXPECT_GE(full_columns, 10);
    EXPECT_LT(full_columns, 100);
}

TEST(SampleScene, GroundDepthChangesSmoothlyUpToTheBackdrop) {
    // The left edge shows only ground below the skyline.
    const auto z = scene640().color.z();
    const int x = 4;
    int y = 359;
    EXPECT_GT(z[size_t(y) * 640 + x], 2.0f);
    EXPECT_LT(z[size_t(y) * 640 + x], 6.0f);
    for (; y > 0 && z[size_t(y - 1) * 640 + x] < kSampleFarZ; --y) {
        const float below = z[size_t(y) * 640 + x], above = z[size_t(y - 1) * 640 + x];
        ASSERT_GT(above, below) << "row " << y;
        // Inverse depth is linear in the row on a plane: steps are small and even.
        ASSERT_LT(1.0 / below - 1.0 / above, 0.01) << "row " << y;
    }
    EXPECT_GT(359 - y, 120);  // the ground covers a good part of the frame
}

TEST(SampleScene, MidGroundObjectsStandAtDistinctDepths) {
    // Per row, the most common depth is the ground's (or the backdrop's); pixels in front of it,
    // beyond the near post, belong to the mid-ground objects.
    const auto z = scene640().color.z();
    std::vector<float> object_depths;
    for (int y = 0; y < 360; ++y) {
        std::map<float, int> counts;
        for (int x = 0; x < 640; ++x) {
            ++counts[z[size_t(y) * 640 + x]];
        }
        const float mode = std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                               return a.second < b.second;
                           })->first;
        for (int x = 0; x < 640; ++x) {
            const float d = z[size_t(y) * 640 + x];
            if (d > 2.0f && d < 0.97f * mode) {
                object_depths.push_back(d);
            }
        }
    }
    std::sort(object_depths.begin(), object_depths.end());
    std::vector<int> cluster_sizes(1, 1);
    for (size_t i = 1; i < object_depths.size(); ++i) {
        if (object_depths[i] > object_depths[i - 1] * 1.15f) {
            cluster_sizes.push_back(0);
        }
        ++cluster_sizes.back();
    }
    int large = 0;
    for (int n : cluster_sizes) {
        large += n >= 200;
    }
    EXPECT_GE(large, 4) << "objects at distinct depths";
}

TEST(SampleScene, BackdropHasSmallVeryBrightHighlights) {
    const SampleScene& s = scene640();
    std::vector<double> backdrop;
    int bright = 0;
    for (int y = 0; y < 360; ++y) {
        for (int x = 0; x < 640; ++x) {
            if (s.color.z()[size_t(y) * 640 + x] == kSampleFarZ) {
                const double l = luminance(s.color, x, y);
                backdrop.push_back(l);
                bright += l > 1.0;
            }
        }
    }
    ASSERT_GT(backdrop.size(), 50000u);
    std::nth_element(backdrop.begin(), backdrop.begin() + backdrop.size() / 2, backdrop.end());
    const double median = backdrop[backdrop.size() / 2];
    EXPECT_LT(median, 0.5);
    EXPECT_GE(bright, 40) << "highlights above full white";
    EXPECT_LT(bright, int(backdrop.size() / 100)) << "highlights are small";
    const double peak = *std::max_element(backdrop.begin(), backdrop.end());
    EXPECT_GT(peak, 4.0 * median);
    EXPECT_GT(peak, 1.5);
}

TEST(SampleScene, WritesFourFilesThatReadBackAsTheScene) {
    TestFolder folder;
    const auto dir = folder / "new" / "sample";
    const auto files = writeSample(dir, 48, 27);
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[0], dir / "sample.exr");
    EXPECT_EQ(files[1], dir / "sample.png");
    EXPECT_EQ(files[2], dir / "sample_depth.png");
    EXPECT_EQ(files[3], dir / "sample_behind.exr");
    const SampleScene scene = makeSampleScene(48, 27, BehindLayer::render);

    const auto expectFloatWithZ = [](const std::filesystem::path& file, const Image& expected) {
        const Image exr = readImage(file);
        ASSERT_EQ(exr.depth(), SampleDepth::float32) << file;
        ASSERT_EQ(exr.width(), expected.width()) << file;
        ASSERT_EQ(exr.height(), expected.height()) << file;
        ASSERT_TRUE(exr.hasZ()) << file;
        for (size_t i = 0; i < exr.samplesFloat().size(); ++i) {
            ASSERT_EQ(exr.samplesFloat()[i], expected.samplesFloat()[i]) << file;
        }
        for (size_t i = 0; i < exr.z().size(); ++i) {
            ASSERT_EQ(exr.z()[i], expected.z()[i]) << file;
        }
    };
    expectFloatWithZ(files[0], scene.color);
    expectFloatWithZ(files[3], scene.behind);
    EXPECT_FALSE(
        std::equal(scene.behind.z().begin(), scene.behind.z().end(), scene.color.z().begin()))
        << "the post shows at this size too";
    const Image png = readImage(files[1]);
    ASSERT_EQ(png.depth(), SampleDepth::bits8);
    const Image png_expected = scene.color.converted(SampleDepth::bits8);
    EXPECT_TRUE(
        std::equal(png.samples8().begin(), png.samples8().end(), png_expected.samples8().begin()));
    auto in = OIIO::ImageInput::open(files[2].string());
    ASSERT_TRUE(in);
    EXPECT_EQ(in->spec().nchannels, 1);
    EXPECT_EQ(in->spec().format, OIIO::TypeDesc::UINT16);
    const Image depth = readImage(files[2]);
    EXPECT_TRUE(std::equal(depth.samples16().begin(), depth.samples16().end(),
                           scene.depth.samples16().begin()));
}

TEST(SampleScene, WritingOverAFileFails) {
    TestFolder folder;
    std::ofstream(folder / "taken") << "x";
    EXPECT_THROW(writeSample(folder / "taken", 8, 8), QbrenderError);
}

}  // namespace
