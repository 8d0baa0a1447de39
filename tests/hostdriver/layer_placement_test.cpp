#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "qbrender/host_names.h"
#include "qbrender/image_file.h"
#include "tests/hostdriver/probe_reference.h"

// The layer checkout and placement of the host binding (aehost/layer_render.cpp), seen through
// the test-only probe effect and the qbrender host: every render is compared with an
// independent model of the probe's output (probe_reference.h), and every render must leave the
// host with nothing to complain about (no handle alive, nothing checked out, no byte written
// into any world's row padding or into an input).

namespace {

void expectClean(const RenderOutcome& outcome) {
    EXPECT_EQ(outcome.frame.status, PF_Err_NONE) << errorText(outcome.frame.status);
    for (const std::string& fault : outcome.faults) ADD_FAILURE() << fault;
}

RenderOutcome renderProbe(const Image& input, const Image* first, const Image* second, bool classic,
                          int downsample = 1) {
    RenderJob job = probeJob(input, input.depth());
    job.frame.classic = classic;
    job.frame.downsample = downsample;
    if (first != nullptr)
        job.layers.emplace_back("first layer", LayerSource::fromImage(*first, "first"));
    if (second != nullptr) {
        job.layers.emplace_back("second layer", LayerSource::fromImage(*second, "second"));
    }
    return runRenderJob(job);
}

TEST(LayerPlacement, SmallerLayersAreCentredOnTheOutput) {
    const Image input = patternImage(200, 100, SampleDepth::bits8, 1);
    const Image first = patternImage(100, 50, SampleDepth::bits8, 2);
    const Image second = patternImage(101, 50, SampleDepth::bits8, 3);
    for (const bool classic : {true, false}) {
        SCOPED_TRACE(classic ? "classic" : "smart");
        const RenderOutcome outcome = renderProbe(input, &first, &second, classic);
        expectClean(outcome);
        EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {&first, &second}, {}, 1), 0);

        // The placement itself: 100 x 50 on 200 x 100 starts at (50, 25); 101 wide starts at 49.
        const Image& out = outcome.frame.output;
        const auto sum = [](double v) { return std::min(v, 255.0); };
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(out.sample(50, 25, c), sum(input.sample(50, 25, c) + first.sample(0, 0, c) +
                                                 second.sample(1, 0, c)));
            EXPECT_EQ(out.sample(49, 25, c), sum(input.sample(49, 25, c) + second.sample(0, 0, c)));
            EXPECT_EQ(out.sample(48, 25, c), input.sample(48, 25, c));
            EXPECT_EQ(out.sample(149, 74, c),
                      sum(input.sample(149, 74, c) + first.sample(99, 49, c) +
                          second.sample(100, 49, c)));
            EXPECT_EQ(out.sample(150, 75, c), input.sample(150, 75, c));
        }
    }
}

TEST(LayerPlacement, LargerLayersHangOverEveryEdge) {
    const Image input = patternImage(31, 17, SampleDepth::bits8, 4);
    const Image first = patternImage(50, 40, SampleDepth::bits8, 5);   // offsets -9, -11
    const Image second = patternImage(32, 18, SampleDepth::bits8, 6);  // offsets 0 (toward zero)
    for (const bool classic : {true, false}) {
        SCOPED_TRACE(classic ? "classic" : "smart");
        const RenderOutcome outcome = renderProbe(input, &first, &second, classic);
        expectClean(outcome);
        EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {&first, &second}, {}, 1), 0);
        EXPECT_EQ(outcome.frame.output.sample(0, 0, 0),
                  std::min(255.0, input.sample(0, 0, 0) + first.sample(9, 11, 0) +
                                      second.sample(0, 0, 0)));
    }
}

TEST(LayerPlacement, EveryDepthOnOddSizes) {
    for (const SampleDepth depth :
         {SampleDepth::bits8, SampleDepth::bits16, SampleDepth::float32}) {
        SCOPED_TRACE(depthName(depth));
        const Image input = patternImage(37, 23, depth, 7);
        const Image first = patternImage(11, 7, depth, 8);
        const Image second = patternImage(40, 30, depth, 9);
        for (const bool classic : {true, false}) {
            if (classic && depth == SampleDepth::float32) continue;
            SCOPED_TRACE(classic ? "classic" : "smart");
            const RenderOutcome outcome = renderProbe(input, &first, &second, classic);
            expectClean(outcome);
            EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {&first, &second}, {}, 1), 0);
        }
    }
}

TEST(LayerPlacement, ClassicAndSmartRenderGiveTheSamePixels) {
    for (const SampleDepth depth : {SampleDepth::bits8, SampleDepth::bits16}) {
        const Image input = patternImage(45, 29, depth, 10);
        const Image first = patternImage(20, 9, depth, 11);
        const Image second = patternImage(13, 33, depth, 12);
        const RenderOutcome classic = renderProbe(input, &first, &second, true);
        const RenderOutcome smart = renderProbe(input, &first, &second, false);
        expectClean(classic);
        expectClean(smart);
        ASSERT_EQ(classic.frame.output.sampleCount(), smart.frame.output.sampleCount());
        for (int y = 0; y < input.height(); ++y) {
            for (int x = 0; x < input.width(); ++x) {
                for (int c = 0; c < 4; ++c) {
                    ASSERT_EQ(classic.frame.output.sample(x, y, c),
                              smart.frame.output.sample(x, y, c))
                        << depthName(depth) << " (" << x << ", " << y << ") channel " << c;
                }
            }
        }
    }
}

TEST(LayerPlacement, DownsampledRendersPickEveryNthPixel) {
    const Image input = patternImage(61, 35, SampleDepth::bits16, 13);
    const Image first = patternImage(21, 10, SampleDepth::bits16, 14);
    const Image second = patternImage(9, 40, SampleDepth::bits16, 15);
    for (const int n : {2, 3, 4}) {
        for (const bool classic : {true, false}) {
            SCOPED_TRACE("downsample " + std::to_string(n) + (classic ? " classic" : " smart"));
            const RenderOutcome outcome = renderProbe(input, &first, &second, classic, n);
            expectClean(outcome);
            EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {&first, &second}, {}, n), 0);
        }
    }
}

TEST(LayerPlacement, DisconnectedLayersAddNothing) {
    const Image input = patternImage(25, 14, SampleDepth::bits8, 16);
    const Image second = patternImage(8, 8, SampleDepth::bits8, 17);
    for (const bool classic : {true, false}) {
        SCOPED_TRACE(classic ? "classic" : "smart");
        const RenderOutcome none = renderProbe(input, nullptr, nullptr, classic);
        expectClean(none);
        EXPECT_EQ(compareWithProbe(none.frame.output, input, {}, {}, 1), 0);
        const RenderOutcome one = renderProbe(input, nullptr, &second, classic);
        expectClean(one);
        EXPECT_EQ(compareWithProbe(one.frame.output, input, {nullptr, &second}, {}, 1), 0);
    }
}

TEST(LayerPlacement, APartialRequestRendersOnlyThatRectangle) {
    const Image input = patternImage(40, 30, SampleDepth::bits8, 18);
    const Image first = patternImage(12, 12, SampleDepth::bits8, 19);
    const Image second = patternImage(30, 5, SampleDepth::bits8, 20);
    for (const Rectangle region : {Rectangle{5, 21, 3, 16}, Rectangle{0, 40, 29, 30},
                                   Rectangle{17, 18, 0, 30}, Rectangle{33, 40, 20, 30}}) {
        SCOPED_TRACE(to_string(region));
        RenderJob job = probeJob(input, SampleDepth::bits8);
        job.frame.region = region;
        job.layers = {{"first layer", LayerSource::fromImage(first, "first")},
                      {"second layer", LayerSource::fromImage(second, "second")}};
        const RenderOutcome outcome = runRenderJob(job);
        expectClean(outcome);
        EXPECT_EQ(outcome.frame.written, region);
        EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {&first, &second}, {}, 1, region),
                  0);
    }
}

// The effect may ask for more source than the host requested and render more than that: the
// host takes the whole result.
TEST(LayerPlacement, AnEffectMayRenderMoreThanTheHostRequested) {
    const Image input = patternImage(30, 20, SampleDepth::bits16, 25);
    const Image first = patternImage(7, 7, SampleDepth::bits16, 26);
    RenderJob job = probeJob(input, SampleDepth::bits16);
    job.frame.region = Rectangle{5, 9, 4, 11};
    job.sets = {{"whole frame", "on"}};
    job.layers = {{"first layer", LayerSource::fromImage(first, "first")}};
    const RenderOutcome outcome = runRenderJob(job);
    expectClean(outcome);
    EXPECT_EQ(outcome.frame.written, (Rectangle{0, 30, 0, 20}));
    EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {&first, nullptr}, {}, 1), 0);
}

TEST(LayerPlacement, ARequestBeyondTheFrameIsClippedToIt) {
    const Image input = patternImage(20, 10, SampleDepth::bits8, 21);
    RenderJob job = probeJob(input, SampleDepth::bits8);
    job.frame.region = Rectangle{-5, 12, -3, 40};
    const RenderOutcome outcome = runRenderJob(job);
    expectClean(outcome);
    const Rectangle inside{0, 12, 0, 10};
    EXPECT_EQ(outcome.frame.written, inside);
    EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {}, {}, 1, inside), 0);
}

TEST(LayerPlacement, OneThreadAndManyGiveTheSamePixels) {
    const Image input = patternImage(33, 47, SampleDepth::float32, 22);
    const Image first = patternImage(10, 10, SampleDepth::float32, 23);
    RenderJob one = probeJob(input, SampleDepth::float32);
    one.settings.threads = 1;
    one.layers = {{"first layer", LayerSource::fromImage(first, "first")}};
    RenderJob many = one;
    many.settings.threads = 7;
    const RenderOutcome a = runRenderJob(one);
    const RenderOutcome b = runRenderJob(many);
    expectClean(a);
    expectClean(b);
    const auto sa = a.frame.output.samplesFloat();
    const auto sb = b.frame.output.samplesFloat();
    ASSERT_EQ(sa.size(), sb.size());
    EXPECT_TRUE(std::equal(sa.begin(), sa.end(), sb.begin()));
    EXPECT_EQ(compareWithProbe(b.frame.output, input, {&first, nullptr}, {}, 1), 0);
}

TEST(LayerPlacement, TheHostOrdersTheCommandsOfEachPath) {
    const Image input = patternImage(8, 8, SampleDepth::bits8, 24);
    RenderJob job = probeJob(input, SampleDepth::bits8);
    const std::vector<PF_Cmd> smart = runRenderJob(job).commands;
    job.frame.classic = true;
    const std::vector<PF_Cmd> classic = runRenderJob(job).commands;
    const std::vector<PF_Cmd> head = {PF_Cmd_GLOBAL_SETUP, PF_Cmd_PARAMS_SETUP,
                                      PF_Cmd_SEQUENCE_SETUP, PF_Cmd_UPDATE_PARAMS_UI};
    std::vector<PF_Cmd> expected = head;
    expected.insert(expected.end(), {PF_Cmd_SMART_PRE_RENDER, PF_Cmd_SMART_RENDER,
                                     PF_Cmd_SEQUENCE_SETDOWN, PF_Cmd_GLOBAL_SETDOWN});
    EXPECT_EQ(smart, expected);
    expected = head;
    expected.insert(expected.end(), {PF_Cmd_FRAME_SETUP, PF_Cmd_RENDER, PF_Cmd_FRAME_SETDOWN,
                                     PF_Cmd_SEQUENCE_SETDOWN, PF_Cmd_GLOBAL_SETDOWN});
    EXPECT_EQ(classic, expected);
}

// Frames of a file sequence: the probe reads its source "source frame offset" frames away
// from the frame rendered, through the source-time rule of both render paths.
TEST(LayerPlacement, TheSourceIsReadAtTheFrameTheEffectAsksFor) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("qb_frames_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::vector<Image> frames;
    for (int f = 0; f < 4; ++f) {
        frames.push_back(patternImage(12, 9, SampleDepth::bits8, 30 + f));
        writeImage(frames.back(), dir / ("plate_" + std::to_string(f) + ".png"));
    }
    for (const bool classic : {true, false}) {
        for (const int offset : {0, -1, -2}) {
            SCOPED_TRACE(std::string(classic ? "classic" : "smart") + " offset " +
                         std::to_string(offset));
            RenderJob job = probeJob(frames[0], SampleDepth::bits8);
            job.input = LayerSource::fromFile((dir / "plate_#.png").string());
            job.sets = {{"source frame offset", std::to_string(offset)}};
            job.frame.frame = 3;
            job.frame.classic = classic;
            const RenderOutcome outcome = runRenderJob(job);
            expectClean(outcome);
            EXPECT_EQ(compareWithProbe(outcome.frame.output, frames[size_t(3 + offset)], {}, {}, 1),
                      0);
        }
    }
    std::filesystem::remove_all(dir);
}

}  // namespace

namespace {

TEST(LayerPlacement, AnEffectWithoutHelperLayersGetsAnEmptyMapAndNoPreRenderData) {
    const Image input = patternImage(14, 9, SampleDepth::bits8, 80);
    const Image first = patternImage(5, 5, SampleDepth::bits8, 81);
    for (const bool classic : {true, false}) {
        RenderJob job = probeJob(input, SampleDepth::bits8);
        job.effect = std::string(QB_TEST_PLUGIN_DIR) + "/qb_plain_probe.so";
        job.frame.classic = classic;
        // Connected, but not a helper layer of this variant: the render does not see it.
        job.layers = {{"first layer", LayerSource::fromImage(first, "first")}};
        const RenderOutcome outcome = runRenderJob(job);
        expectClean(outcome);
        EXPECT_FALSE(outcome.frame.pre_render_data);
        EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {}, {}, 1), 0);
    }
    RenderJob job = probeJob(input, SampleDepth::bits8);
    EXPECT_TRUE(runRenderJob(job).frame.pre_render_data);
}

}  // namespace

namespace {

// What the effect is told about each image besides its pixels: the whole layer's size at the
// render's resolution, the downsample factors, the pixel aspect, the output's place.
TEST(LayerPlacement, TheEffectIsToldTheSizesScalesAndPlaces) {
    const Image input = patternImage(41, 23, SampleDepth::float32, 90);
    const Image first = patternImage(13, 9, SampleDepth::float32, 91);
    RenderJob job = probeJob(input, SampleDepth::float32);
    job.layers = {{"first layer", LayerSource::fromImage(first, "first")}};
    job.sets = {{"output", "descriptions"}};
    job.frame.downsample = 2;
    job.frame.pixel_aspect = PF_RationalScale{2, 1};
    RenderOutcome outcome = runRenderJob(job);
    expectClean(outcome);
    const Image& out = outcome.frame.output;
    const auto pixel = [&](int x) {
        return std::vector<double>{out.sample(x, 0, 3), out.sample(x, 0, 0), out.sample(x, 0, 1),
                                   out.sample(x, 0, 2)};
    };
    EXPECT_EQ(pixel(0), (std::vector<double>{20, 11, 0.5, 2.0}));
    EXPECT_EQ(pixel(1), (std::vector<double>{1, 6, 4, 2.0}));
    EXPECT_EQ(pixel(2), (std::vector<double>{0, 0, 0, 20}));
    EXPECT_EQ(pixel(3), (std::vector<double>{2, 32, 0, 0.5}));

    // A partial request: the output world is the requested part, placed where it lies.
    job.frame.region = Rectangle{2, 12, 0, 6};
    outcome = runRenderJob(job);
    expectClean(outcome);
    EXPECT_EQ(pixel(2)[3], 10);
    EXPECT_EQ(pixel(3)[2], 2);
}

}  // namespace
