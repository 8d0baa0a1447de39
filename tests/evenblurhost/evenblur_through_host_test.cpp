#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "qbrender/host_names.h"
#include "qbrender/host_pixels.h"
#include "qbrender/image.h"
#include "qbrender/render_job.h"

// The Evenblur plug-in loaded and driven by the qbrender host. Every run must leave the host
// with nothing to complain about: no handle alive, nothing checked out, no suite held, no byte
// written into row padding or into an input.

namespace {

constexpr int kWidth = 29;
constexpr int kHeight = 19;

const SampleDepth kDepths[] = {SampleDepth::bits8, SampleDepth::bits16, SampleDepth::float32};

// Colours, alpha and brightness that vary over the frame.
Image pattern(int width, int height, SampleDepth depth, int seed, double alpha = 1.0) {
    Image image(width, height, SampleDepth::float32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setSample(x, y, 0, double((x * 5 + y + seed) % 17) / 16.0);
            image.setSample(x, y, 1, double((x + 3 * y + seed) % 11) / 10.0);
            image.setSample(x, y, 2, 0.25 + 0.5 * double((x + seed) % 2));
            image.setSample(x, y, 3, alpha);
        }
    }
    return image.converted(depth);
}

Image uniform(int width, int height, SampleDepth depth, double r, double g, double b, double a) {
    Image image(width, height, SampleDepth::float32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setSample(x, y, 0, r);
            image.setSample(x, y, 1, g);
            image.setSample(x, y, 2, b);
            image.setSample(x, y, 3, a);
        }
    }
    return image.converted(depth);
}

RenderJob evenblurJob(const Image& input, SampleDepth depth) {
    RenderJob job;
    job.effect = "evenblur";
    job.input = LayerSource::fromImage(input, "input");
    job.frame.depth = depth;
    return job;
}

void expectClean(const RenderOutcome& outcome) {
    EXPECT_EQ(outcome.frame.status, PF_Err_NONE) << errorText(outcome.frame.status);
    for (const std::string& fault : outcome.faults) ADD_FAILURE() << fault;
}

// A file sample after the trip into the host's scale and back (16-bit files hold 0..65535, the
// host 0..32768).
double roundTrip(double v, SampleDepth depth) {
    return depth == SampleDepth::bits16 ? double(fileFromHost16(hostFromFile16(uint16_t(v)))) : v;
}

int countDifferences(const Image& a, const Image& b, double tolerance = 0.0) {
    int differences = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (int c = 0; c < 4; ++c)
                if (!(std::abs(a.sample(x, y, c) - b.sample(x, y, c)) <= tolerance)) ++differences;
    return differences;
}

TEST(EvenblurThroughHost, ANewInstanceCopiesTheInputOnBothPathsAtEveryDepth) {
    for (const SampleDepth depth : kDepths) {
        for (const bool classic : {false, true}) {
            if (classic && depth == SampleDepth::float32) continue;
            SCOPED_TRACE(std::string(depthName(depth)) + (classic ? " classic" : " smart"));
            const Image input = pattern(kWidth, kHeight, depth, 1, 0.75);
            RenderJob job = evenblurJob(input, depth);
            job.frame.classic = classic;
            const RenderOutcome outcome = runRenderJob(job);
            expectClean(outcome);
            const Image& out = outcome.frame.output;
            ASSERT_EQ(out.width(), kWidth);
            ASSERT_EQ(out.height(), kHeight);
            int differences = 0;
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x)
                    for (int c = 0; c < 4; ++c)
                        if (out.sample(x, y, c) != roundTrip(input.sample(x, y, c), depth))
                            ++differences;
            EXPECT_EQ(differences, 0);
        }
    }
}

TEST(EvenblurThroughHost, ClassicAndSmartRenderGiveTheSameBlur) {
    for (const SampleDepth depth : {SampleDepth::bits8, SampleDepth::bits16}) {
        SCOPED_TRACE(depthName(depth));
        const Image input = pattern(kWidth, kHeight, depth, 2);
        RenderJob job = evenblurJob(input, depth);
        job.sets = {{"radius", "3.5"}, {"enable", "on"}, {"additive highlight", "1"}};
        const RenderOutcome smart = runRenderJob(job);
        job.frame.classic = true;
        const RenderOutcome classic = runRenderJob(job);
        expectClean(smart);
        expectClean(classic);
        EXPECT_EQ(countDifferences(smart.frame.output, classic.frame.output), 0);
        // And it is a blur, not a copy.
        EXPECT_GT(countDifferences(smart.frame.output, input), kWidth * kHeight);
    }
}

TEST(EvenblurThroughHost, OneThreadAndManyGiveTheSameBlur) {
    const Image input = pattern(kWidth, kHeight, SampleDepth::float32, 3);
    RenderJob job = evenblurJob(input, SampleDepth::float32);
    job.sets = {{"radius", "4"}, {"smooth", "2"}, {"facets", "5"}, {"rounded facets", "0"}};
    job.settings.threads = 1;
    const RenderOutcome one = runRenderJob(job);
    job.settings.threads = 5;
    const RenderOutcome many = runRenderJob(job);
    expectClean(one);
    expectClean(many);
    EXPECT_EQ(countDifferences(one.frame.output, many.frame.output), 0);
}

// The "background layer" is what the blend layer of the render becomes: behind a transparent
// input it shows as it is.
TEST(EvenblurThroughHost, TheBackgroundLayerShowsBehindATransparentInput) {
    for (const SampleDepth depth : kDepths) {
        SCOPED_TRACE(depthName(depth));
        const Image input = uniform(kWidth, kHeight, depth, 0, 0, 0, 0);
        const Image background = pattern(kWidth, kHeight, depth, 4);
        RenderJob job = evenblurJob(input, depth);
        job.sets = {
            {"radius", "2"}, {"background distortion", "30"}, {"distortion antialias", "2"}};
        job.layers = {{"background layer", LayerSource::fromImage(background, "background")}};
        const RenderOutcome outcome = runRenderJob(job);
        expectClean(outcome);
        const double tolerance = depth == SampleDepth::float32 ? 1e-5 : fileMaximum(depth) / 255.0;
        Image expected = background;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                for (int c = 0; c < 4; ++c)
                    expected.setSample(x, y, c, roundTrip(background.sample(x, y, c), depth));
        EXPECT_EQ(countDifferences(outcome.frame.output, expected, tolerance), 0);
    }
}

// "alternative iris" is the lens layer: it replaces the polygon in the iris display.
// "alternative Selection layer" is the selection layer: the picker of the highlights.
TEST(EvenblurThroughHost, LensAndSelectionLayersByTheirControlNames) {
    const SampleDepth depth = SampleDepth::bits16;
    const Image input = pattern(kWidth, kHeight, depth, 5);
    RenderJob iris = evenblurJob(input, depth);
    iris.sets = {{"show", "iris"}, {"facets", "3"}, {"rounded facets", "0"}};
    const RenderOutcome polygon = runRenderJob(iris);
    iris.layers = {
        {"alternative iris", LayerSource::fromImage(uniform(5, 5, depth, 1, 1, 1, 1), "lens")}};
    const RenderOutcome lens = runRenderJob(iris);
    expectClean(polygon);
    expectClean(lens);
    EXPECT_GT(countDifferences(polygon.frame.output, lens.frame.output), 0);

    RenderJob selection = evenblurJob(input, depth);
    selection.sets = {
        {"show", "highlight selection only"}, {"enable", "on"}, {"lightness start", "128"}};
    const RenderOutcome from_input = runRenderJob(selection);
    // A white selection layer selects every pixel.
    selection.layers = {
        {"alternative Selection layer",
         LayerSource::fromImage(uniform(kWidth, kHeight, depth, 1, 1, 1, 1), "selection")}};
    const RenderOutcome from_layer = runRenderJob(selection);
    expectClean(from_input);
    expectClean(from_layer);
    EXPECT_EQ(
        countDifferences(from_layer.frame.output, uniform(kWidth, kHeight, depth, 1, 1, 1, 1)), 0);
    EXPECT_GT(countDifferences(from_input.frame.output, from_layer.frame.output), 0);
}

std::set<int> enabledControls(const RenderOutcome& outcome) {
    std::set<int> enabled;
    for (const ControlState& c : outcome.controls)
        if (c.enabled) enabled.insert(c.position);
    return enabled;
}

TEST(EvenblurThroughHost, ControlsFollowTheModeAndTheConnectedLayers) {
    const SampleDepth depth = SampleDepth::bits8;
    const Image input = pattern(kWidth, kHeight, depth, 6);
    const Image layer = pattern(7, 7, depth, 7);

    RenderJob job = evenblurJob(input, depth);
    job.sets = {{"show", "iris"}};
    RenderOutcome outcome = runRenderJob(job);
    expectClean(outcome);
    ASSERT_EQ(outcome.controls.size(), 50u);
    // The group ends 29, 36 and 43 are never changed, and "show" itself is always enabled.
    EXPECT_EQ(enabledControls(outcome),
              (std::set<int>{1, 9, 10, 12, 13, 14, 15, 16, 17, 18, 19, 29, 36, 43}));

    job.layers = {{"alternative iris", LayerSource::fromImage(layer, "lens")}};
    outcome = runRenderJob(job);
    expectClean(outcome);
    EXPECT_EQ(enabledControls(outcome), (std::set<int>{1, 9, 10, 11, 12, 19, 29, 36, 43}));

    // Normal blur: the distortion controls need a background layer, the outside colour needs
    // the "color" outside mode.
    job = evenblurJob(input, depth);
    outcome = runRenderJob(job);
    expectClean(outcome);
    std::set<int> enabled = enabledControls(outcome);
    EXPECT_EQ(enabled.count(7) + enabled.count(8) + enabled.count(48) + enabled.count(49), 0u);
    EXPECT_EQ(enabled.count(3) + enabled.count(4) + enabled.count(24), 0u);
    job.layers = {{"background layer", LayerSource::fromImage(layer, "background")}};
    job.sets = {{"vertical assume", "color"}, {"enable", "on"}};
    outcome = runRenderJob(job);
    expectClean(outcome);
    enabled = enabledControls(outcome);
    for (const int p : {2, 3, 4, 5, 6, 7, 8, 13, 20, 21, 22, 24, 31, 38, 45, 46, 47, 48, 49, 50})
        EXPECT_EQ(enabled.count(p), 1u) << p;
    EXPECT_EQ(enabled.count(11), 0u);
}

// A cancel from the host's progress callback at any point of the frame returns 517, and the
// host finds nothing left behind.
TEST(EvenblurThroughHost, ACancelAnywhereReturns517AndLeavesNothingBehind) {
    const SampleDepth depth = SampleDepth::bits16;
    const Image input = pattern(kWidth, kHeight, depth, 8, 0.9);
    const Image background = pattern(kWidth, kHeight, depth, 9);
    for (const int threads : {1, 2}) {
        int cancelled = 0;
        for (int64_t n = 1;; n = n < 16 ? n + 1 : n * 2) {
            SCOPED_TRACE("threads " + std::to_string(threads) + ", cancel at " + std::to_string(n));
            RenderJob job = evenblurJob(input, depth);
            job.sets = {{"radius", "3"}, {"enable", "on"}, {"additive highlight", "2"}};
            job.layers = {{"background layer", LayerSource::fromImage(background, "bg")}};
            job.settings.threads = threads;
            job.settings.cancel_after_progress_calls = n;
            const RenderOutcome outcome = runRenderJob(job);
            for (const std::string& fault : outcome.faults) ADD_FAILURE() << fault;
            if (outcome.frame.status == PF_Err_NONE) break;
            ASSERT_EQ(outcome.frame.status, PF_Interrupt_CANCEL);
            ++cancelled;
        }
        EXPECT_GT(cancelled, 10);
    }
}

// Memory refused from the n-th host allocation of the frame on, for every n the frame reaches:
// the render returns 4 and every handle is back.
TEST(EvenblurThroughHost, RefusedMemoryReturns4WithEveryBlockReleased) {
    const Image lens = pattern(6, 5, SampleDepth::float32, 10);
    for (const SampleDepth depth : kDepths) {
        for (const char* show : {"normal blur", "iris"}) {
            SCOPED_TRACE(std::string(depthName(depth)) + " " + show);
            const Image input = pattern(kWidth, kHeight, depth, 11, 0.8);
            const Image background = pattern(kWidth, kHeight, depth, 12);
            int refused = 0;
            for (uint64_t n = 1;; ++n) {
                RenderJob job = evenblurJob(input, depth);
                job.sets = {{"show", show},
                            {"radius", "3"},
                            {"smooth", "1"},
                            {"enable", "on"},
                            {"colored iris", "on"}};
                job.layers = {
                    {"background layer", LayerSource::fromImage(background, "bg")},
                    {"alternative iris", LayerSource::fromImage(lens.converted(depth), "lens")}};
                job.frame.fail_allocations_from = n;
                const RenderOutcome outcome = runRenderJob(job);
                for (const std::string& fault : outcome.faults)
                    ADD_FAILURE() << "refused from " << n << ": " << fault;
                if (outcome.frame.status == PF_Err_NONE) break;
                ASSERT_EQ(outcome.frame.status, PF_Err_OUT_OF_MEMORY) << "refused from " << n;
                ++refused;
            }
            EXPECT_GT(refused, 1);
        }
    }
}

// Downsampled renders measure lengths in full-resolution pixels: the iris display at half
// resolution covers a quarter of the pixels that it covers at full resolution.
TEST(EvenblurThroughHost, DownsamplingKeepsTheIrisSizeInFullResolutionPixels) {
    const SampleDepth depth = SampleDepth::float32;
    const Image input = pattern(96, 64, depth, 13);
    const auto covered = [&](int downsample) {
        RenderJob job = evenblurJob(input, depth);
        job.sets = {{"show", "iris"}};
        job.frame.downsample = downsample;
        const RenderOutcome outcome = runRenderJob(job);
        expectClean(outcome);
        int n = 0;
        for (int y = 0; y < outcome.frame.output.height(); ++y)
            for (int x = 0; x < outcome.frame.output.width(); ++x)
                if (outcome.frame.output.sample(x, y, 0) > 0.5) ++n;
        return n;
    };
    const int full = covered(1);
    const int half = covered(2);
    ASSERT_GT(full, 100);
    EXPECT_NEAR(double(half) / double(full), 0.25, 0.05);
}

}  // namespace
