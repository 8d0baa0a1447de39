#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "qbrender/host_names.h"
#include "qbrender/host_pixels.h"
#include "qbrender/image.h"
#include "qbrender/render_job.h"

// The Zblur plug-in loaded and driven by the qbrender host: every run must leave the host with
// nothing to complain about (handles, checkouts, suites, row padding, inputs untouched).

namespace {

constexpr int kWidth = 37;
constexpr int kHeight = 23;

// A scene whose colours and depth vary over the frame; depth in the red channel of the depth
// image (0..1), the Z plane from 2 to 50 scene units.
Image colourImage(SampleDepth depth) {
    Image image(kWidth, kHeight, SampleDepth::float32);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            image.setSample(x, y, 0, double((x * 5 + y) % 17) / 16.0);
            image.setSample(x, y, 1, double((x + 3 * y) % 11) / 10.0);
            image.setSample(x, y, 2, 0.25 + 0.5 * double(x % 2));
            image.setSample(x, y, 3, 1.0);
        }
    }
    std::vector<float> z(size_t(kWidth * kHeight));
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            z[size_t(y * kWidth + x)] = float(2.0 + 48.0 * double((x * 3 + y * 7) % 29) / 28.0);
    image.setZ(z);
    return image.converted(depth);
}

Image depthImage(SampleDepth depth) {
    Image image(kWidth, kHeight, SampleDepth::float32);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double v = double((x * 7 + y * 5) % 31) / 30.0;
            image.setSample(x, y, 0, v);
            image.setSample(x, y, 1, 1.0 - v);
            image.setSample(x, y, 2, 0.5);
            image.setSample(x, y, 3, 1.0);
        }
    }
    return image.converted(depth);
}

SampleDepth depths[] = {SampleDepth::bits8, SampleDepth::bits16, SampleDepth::float32};

RenderJob zblurJob(const Image& input, SampleDepth depth) {
    RenderJob job;
    job.effect = "zblur";
    job.input = LayerSource::fromImage(input, "input");
    job.frame.depth = depth;
    return job;
}

void expectClean(const RenderOutcome& outcome) {
    EXPECT_EQ(outcome.frame.status, PF_Err_NONE) << errorText(outcome.frame.status);
    for (const std::string& fault : outcome.faults) ADD_FAILURE() << fault;
}

// A file sample of `image` as the host hands it to the plug-in (0..255, 0..32768 or 0..1).
double hostValue(const Image& image, int x, int y, int c) {
    const double v = image.sample(x, y, c);
    return image.depth() == SampleDepth::bits16 ? double(hostFromFile16(uint16_t(v))) : v;
}

// A host value as the output file holds it.
double fileValue(double host, SampleDepth depth) {
    return depth == SampleDepth::bits16 ? double(fileFromHost16(uint16_t(host))) : host;
}

// The shaped depth c, written out: black maps to 0, white to 1; then invert, table index,
// power.
double shaped(double raw, double black, double white, bool invert, double curve) {
    double o = std::isnan(raw) ? 0.0 : std::clamp((raw - black) / (white - black), 0.0, 1.0);
    if (invert) o = 1.0 - o;
    return double(float(std::pow(double(int32_t(o * 32767.0)) / 32767.0, curve)));
}

// Compares the depth-buffer display with gray(x, y) = c * max on the host's scale.
template <class F>
int countDepthBufferMismatches(const Image& out, SampleDepth depth, F shaped_at) {
    const double max = hostMaximum(depth);
    int mismatches = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double c = shaped_at(x, y);
            const double gray =
                depth == SampleDepth::float32 ? double(float(c)) : std::trunc(c * max);
            const double expected = fileValue(gray, depth);
            const double tolerance = depth == SampleDepth::float32 ? 1e-6 : 0.0;
            bool ok = std::abs(out.sample(x, y, 3) - fileValue(max, depth)) <= tolerance;
            for (int ch = 0; ch < 3; ++ch) {
                ok = ok && std::abs(out.sample(x, y, ch) - expected) <= tolerance;
            }
            if (!ok && mismatches++ < 5) {
                ADD_FAILURE() << "pixel " << x << "," << y << ": " << out.sample(x, y, 0)
                              << " expected " << expected;
            }
        }
    }
    return mismatches;
}

TEST(ZblurThroughHost, DepthBufferFromADepthLayer) {
    for (const SampleDepth depth : depths) {
        for (const bool classic : {false, true}) {
            if (classic && depth == SampleDepth::float32) continue;
            SCOPED_TRACE(std::string(depthName(depth)) + (classic ? " classic" : " smart"));
            const Image input = colourImage(depth);
            const Image layer = depthImage(depth);
            RenderJob job = zblurJob(input, depth);
            job.frame.classic = classic;
            job.layers.emplace_back("depth layer", LayerSource::fromImage(layer, "depth"));
            job.sets = {{"show", "3"},
                        {"curve", "1.5"},
                        {"take depth from:", "green chanel"},
                        {"black point", "0.4"}};
            const RenderOutcome outcome = runRenderJob(job);
            expectClean(outcome);
            // The depth layer ignores the depth range parameters: 0 .. 1.
            const double max = hostMaximum(depth);
            EXPECT_EQ(countDepthBufferMismatches(outcome.frame.output, depth,
                                                 [&](int x, int y) {
                                                     return shaped(hostValue(layer, x, y, 1) / max,
                                                                   0.0, 1.0, false, 1.5);
                                                 }),
                      0);
        }
    }
}

// The Z plane of the input reaches the plug-in as its depth channel, as floats or as doubles,
// and is normalised by "black point" and "white point" (here also the other way round).
TEST(ZblurThroughHost, DepthBufferFromTheInputsDepthChannel) {
    for (const SampleDepth depth : depths) {
        for (const bool doubles : {false, true}) {
            for (const auto& [black, white] : {std::pair{10.0, 40.0}, std::pair{45.0, 5.0}}) {
                SCOPED_TRACE(std::string(depthName(depth)) + (doubles ? " DBL8" : " FLT4") +
                             " black " + std::to_string(black));
                const Image input = colourImage(depth);
                RenderJob job = zblurJob(input, depth);
                job.settings.depth_double = doubles;
                job.sets = {{"show", "3"},
                            {"invert", "on"},
                            {"take depth from:", "blue chanel"},
                            {"black point", std::to_string(black)},
                            {"white point", std::to_string(white)}};
                const RenderOutcome outcome = runRenderJob(job);
                expectClean(outcome);
                const std::span<const float> z = input.z();
                EXPECT_EQ(countDepthBufferMismatches(outcome.frame.output, depth,
                                                     [&](int x, int y) {
                                                         return shaped(
                                                             double(z[size_t(y * kWidth + x)]),
                                                             black, white, true, 1.0);
                                                     }),
                          0);
            }
        }
    }
}

TEST(ZblurThroughHost, WithoutDepthEveryPixelReadsZero) {
    for (const SampleDepth depth : depths) {
        Image input = colourImage(depth);
        input.clearZ();
        for (const bool invert : {false, true}) {
            RenderJob job = zblurJob(input, depth);
            job.sets = {{"show", "3"}, {"invert", invert ? "on" : "off"}};
            const RenderOutcome outcome = runRenderJob(job);
            expectClean(outcome);
            EXPECT_EQ(countDepthBufferMismatches(outcome.frame.output, depth,
                                                 [&](int, int) { return invert ? 1.0 : 0.0; }),
                      0);
        }
    }
}

// With the defaults ("radius" 0, "normal blur") the output is the input (compared on the
// host's scale: 16-bit files do not survive the trip to 0..32768 and back).
TEST(ZblurThroughHost, DefaultsCopyTheInput) {
    for (const SampleDepth depth : depths) {
        const Image input = colourImage(depth);
        const RenderOutcome outcome = runRenderJob(zblurJob(input, depth));
        expectClean(outcome);
        const Image& out = outcome.frame.output;
        int differences = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                for (int c = 0; c < 4; ++c)
                    differences += hostValue(out, x, y, c) != hostValue(input, x, y, c);
        EXPECT_EQ(differences, 0) << depthName(depth);
    }
}

std::map<std::string, ParameterChange> changesByName(const RenderOutcome& outcome) {
    std::map<std::string, ParameterChange> changes;
    for (const ParameterChange& c : outcome.changes) changes[c.name] = c;
    return changes;
}

TEST(ZblurThroughHost, AutoRangeClick) {
    const Image input = colourImage(SampleDepth::bits16);
    RenderJob job = zblurJob(input, SampleDepth::bits16);
    job.sets = {{"auto range", "on"}};
    job.clicks = {"auto range"};
    const RenderOutcome outcome = runRenderJob(job);
    expectClean(outcome);
    const std::map<std::string, ParameterChange> changes = changesByName(outcome);
    ASSERT_EQ(changes.count("black point"), 1u);
    ASSERT_EQ(changes.count("white point"), 1u);
    const auto [lowest, highest] = std::minmax_element(input.z().begin(), input.z().end());
    EXPECT_NEAR(std::stod(changes.at("black point").after), *lowest, 1e-3);
    EXPECT_NEAR(std::stod(changes.at("white point").after), *highest, 1e-3);
    EXPECT_EQ(changes.count("auto range"), 1u);
    EXPECT_EQ(changes.at("auto range").after, "off");
}

TEST(ZblurThroughHost, SelectDepthClickSetsTheFocalPoint) {
    const Image input = colourImage(SampleDepth::bits8);
    const Image layer = depthImage(SampleDepth::bits8);
    RenderJob job = zblurJob(input, SampleDepth::bits8);
    job.layers.emplace_back("depth layer", LayerSource::fromImage(layer, "depth"));
    job.sets = {{"select depth", "12,9"}, {"curve", "2"}};
    job.clicks = {"select depth"};
    const RenderOutcome outcome = runRenderJob(job);
    expectClean(outcome);
    const std::map<std::string, ParameterChange> changes = changesByName(outcome);
    ASSERT_EQ(changes.count("focal point"), 1u);
    const double expected = std::floor(
        std::pow(double(int32_t(layer.sample(12, 9, 0) / 255.0 * 32767.0)) / 32767.0, 2.0) * 255.0);
    EXPECT_NEAR(std::stod(changes.at("focal point").after), expected, 1e-6);
}

bool enabled(const RenderOutcome& outcome, const std::string& name) {
    for (const ControlState& c : outcome.controls)
        if (c.name == name) return c.enabled;
    ADD_FAILURE() << "no control " << name;
    return false;
}

// The depth range controls follow the input's depth channel and the depth layer.
TEST(ZblurThroughHost, ControlsFollowTheDepthSource) {
    Image input = colourImage(SampleDepth::bits8);
    RenderOutcome with_z = runRenderJob(zblurJob(input, SampleDepth::bits8));
    expectClean(with_z);
    EXPECT_TRUE(enabled(with_z, "black point"));
    EXPECT_FALSE(enabled(with_z, "take depth from:"));

    RenderJob job = zblurJob(input, SampleDepth::bits8);
    job.layers.emplace_back("depth layer",
                            LayerSource::fromImage(depthImage(SampleDepth::bits8), "depth"));
    const RenderOutcome with_layer = runRenderJob(job);
    expectClean(with_layer);
    EXPECT_FALSE(enabled(with_layer, "black point"));
    EXPECT_TRUE(enabled(with_layer, "take depth from:"));

    input.clearZ();
    RenderJob iris_job = zblurJob(input, SampleDepth::bits8);
    iris_job.sets = {{"show", "iris"}};
    const RenderOutcome no_z = runRenderJob(iris_job);
    expectClean(no_z);
    EXPECT_FALSE(enabled(no_z, "white point"));
    EXPECT_FALSE(enabled(no_z, "radius"));
    EXPECT_TRUE(enabled(no_z, "facets"));
}

}  // namespace

namespace {

// A near square (Z 2) over a textured far plane (Z 50); with `far_only` the far plane alone,
// as a clean plate of what the square hides; without `with_z`, no Z plane.
Image twoPlaneImage(SampleDepth depth, bool far_only, bool with_z = true) {
    Image image(kWidth, kHeight, SampleDepth::float32);
    std::vector<float> z(size_t(kWidth * kHeight));
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const bool near = !far_only && x >= 12 && x < 24 && y >= 7 && y < 16;
            image.setSample(x, y, 0, near ? 0.9 : double((x * 5 + y) % 17) / 16.0);
            image.setSample(x, y, 1, near ? 0.1 : double((x + 3 * y) % 11) / 10.0);
            image.setSample(x, y, 2, near ? 0.1 : 0.25 + 0.5 * double(x % 2));
            image.setSample(x, y, 3, 1.0);
            z[size_t(y * kWidth + x)] = near ? 2.0f : 50.0f;
        }
    }
    if (with_z) image.setZ(z);
    return image.converted(depth);
}

// The pixels that differ between two outputs, and how many of them lie farther than `reach`
// pixels from the near square.
std::pair<int, int> differences(const Image& a, const Image& b, int reach) {
    int changed = 0, far_changed = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            bool same = true;
            for (int c = 0; c < 4; ++c) same = same && a.sample(x, y, c) == b.sample(x, y, c);
            if (same) continue;
            ++changed;
            const int dx = std::max({12 - x, x - 23, 0}), dy = std::max({7 - y, y - 15, 0});
            if (std::max(dx, dy) > reach) ++far_changed;
        }
    return {changed, far_changed};
}

}  // namespace

// The behind layer's depth comes from its own Z channel or from the behind depth layer, by the
// rules of the input's depth: both place the plate at the far plane's level, so they give the
// same frame, which differs from the frame without the plate only around the near square. A
// plate with no depth at all is not used.
TEST(ZblurThroughHost, BehindLayerWithItsOwnDepth) {
    for (const SampleDepth depth : depths) {
        SCOPED_TRACE(depthName(depth));
        RenderJob job = zblurJob(twoPlaneImage(depth, false), depth);
        job.sets = {{"radius", "10"},      {"focal point", "0"},  {"invert", "on"},
                    {"black point", "2"},  {"white point", "50"}, {"gamma correction", "off"}};
        const RenderOutcome without = runRenderJob(job);
        expectClean(without);

        const Image plate = twoPlaneImage(depth, true);
        RenderJob with_z = job;
        with_z.layers.emplace_back("behind layer", LayerSource::fromImage(plate, "plate"));
        const RenderOutcome from_z = runRenderJob(with_z);
        expectClean(from_z);

        // Red 1 is the far end once inverted, as Z 50 is within 2 .. 50.
        Image far_depth(kWidth, kHeight, SampleDepth::float32);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                for (int c = 0; c < 4; ++c) far_depth.setSample(x, y, c, 1.0);
        const Image plate_without_z = twoPlaneImage(depth, true, false);
        RenderJob with_layer = job;
        with_layer.layers.emplace_back("behind layer",
                                       LayerSource::fromImage(plate_without_z, "plate"));
        with_layer.layers.emplace_back(
            "behind depth layer", LayerSource::fromImage(far_depth.converted(depth), "depth"));
        const RenderOutcome from_layer = runRenderJob(with_layer);
        expectClean(from_layer);

        RenderJob no_depth = job;
        no_depth.layers.emplace_back("behind layer",
                                     LayerSource::fromImage(plate_without_z, "plate"));
        const RenderOutcome unused = runRenderJob(no_depth);
        expectClean(unused);

        const auto [changed, far_changed] =
            differences(without.frame.output, from_z.frame.output, 13);
        EXPECT_GT(changed, 40);
        EXPECT_EQ(far_changed, 0);
        EXPECT_EQ(differences(from_z.frame.output, from_layer.frame.output, 0).first, 0);
        EXPECT_EQ(differences(without.frame.output, unused.frame.output, 0).first, 0);
    }
}
