#include <gtest/gtest.h>

#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/hostile/hostile_render.h"

// Frames of extreme shapes: single pixels, one-pixel strips, long strips 16384 pixels by 16, and
// an empty layer. Every effect renders them at every depth with a blur reaching far past them.

namespace {

struct Shape {
    int width;
    int height;
};

std::string shapeName(const Shape& s) {
    return std::to_string(s.width) + "x" + std::to_string(s.height);
}

// `all_paths`: every depth on the smart and the classic path; else the smart path at one depth
// per shape, 8-bit for the first, float for the second (to keep the long strips cheap).
void renderShapes(const char* effect, const Shape* shapes, size_t count, const char* radius,
                  bool all_paths) {
    for (size_t i = 0; i < count; ++i) {
        for (const SampleDepth depth : kAllDepths) {
            if (!all_paths && depth != (i % 2 == 0 ? SampleDepth::bits8 : SampleDepth::float32)) {
                continue;
            }
            for (const bool classic : {false, true}) {
                if (classic && (depth == SampleDepth::float32 || !all_paths)) continue;
                const std::string what = std::string(effect) + " " + shapeName(shapes[i]) + " " +
                                         depthName(depth) + (classic ? " classic" : " smart");
                SCOPED_TRACE(what);
                HostileRender job;
                job.effect = effect;
                job.input = patternImage(shapes[i].width, shapes[i].height, true).converted(depth);
                job.sets = {{"radius", radius}};
                if (std::string(effect) == "zblur") job.sets.push_back({"enable", "on"});
                job.frame.depth = depth;
                job.frame.classic = classic;
                const HostileOutcome outcome = renderHostile(job);
                if (expectDefinedFrame(outcome, what)) {
                    EXPECT_EQ(outcome.frame.output.width(), shapes[i].width);
                    EXPECT_EQ(outcome.frame.output.height(), shapes[i].height);
                }
            }
        }
    }
}

constexpr Shape kSmallShapes[] = {{1, 1}, {1, 37}, {37, 1}, {2, 2}, {3, 1}};
constexpr Shape kLongStrips[] = {{16384, 16}, {16, 16384}};

TEST(ExtremeFrameShapes, SinglePixelsAndOnePixelStrips) {
    renderShapes("zblur", kSmallShapes, std::size(kSmallShapes), "30", true);
    renderShapes("evenblur", kSmallShapes, std::size(kSmallShapes), "30", true);
}

TEST(ExtremeFrameShapes, LongStrips) {
    renderShapes("zblur", kLongStrips, std::size(kLongStrips), "12", false);
    renderShapes("evenblur", kLongStrips, std::size(kLongStrips), "12", false);
}

// What else the host decides: a draft resolution beyond the frame's size, and pixel aspect
// ratios far from square, with every layer larger than the input. Zblur widens its kernels by
// 1 / pixel aspect and its cost grows with the kernel's extent: at 1/1000 this 41x29 frame
// takes minutes (cancellable), so Zblur gets the ratios real footage has (up to 4).
TEST(ExtremeFrameShapes, DownsamplingAndPixelAspect) {
    const struct {
        int downsample;
        PF_RationalScale aspect;
    } settings[] = {{3, {1, 1}}, {64, {1, 1}},   {1, {1, 4}},   {1, {4, 1}},
                    {5, {7, 3}}, {1, {1, 1000}}, {1, {1000, 1}}};
    for (const char* effect : {"zblur", "evenblur"}) {
        for (const auto& s : settings) {
            const double aspect = double(s.aspect.num) / double(s.aspect.den);
            const bool square_enough = aspect <= 4.0 && aspect >= 0.25;
            if (std::string(effect) == "zblur" && !square_enough) continue;
            for (const SampleDepth depth : {SampleDepth::bits16, SampleDepth::float32}) {
                const std::string what = std::string(effect) + " downsample " +
                                         std::to_string(s.downsample) + " aspect " +
                                         std::to_string(s.aspect.num) + "/" +
                                         std::to_string(s.aspect.den) + " " + depthName(depth);
                SCOPED_TRACE(what);
                HostileRender job;
                job.effect = effect;
                job.input = patternImage(41, 29, true).converted(depth);
                const bool zblur = std::string(effect) == "zblur";
                const std::vector<const char*> layers =
                    zblur ? std::vector<const char*>{"depth layer", "alternative iris (beta)"}
                          : std::vector<const char*>{"background layer", "alternative iris"};
                for (const char* layer : layers) {
                    job.layers.emplace_back(layer, grayImage(67, 53).converted(depth));
                }
                job.sets = {{"radius", "25"}, {"enable", "on"}};
                job.frame.depth = depth;
                job.frame.downsample = s.downsample;
                job.frame.pixel_aspect = s.aspect;
                expectDefinedFrame(renderHostile(job), what);
            }
        }
    }
}

// An input of 0x0 pixels (no file format makes one): the host cannot make an output world for
// it and refuses the render with a message instead of handing the effect an empty frame. Empty
// layer parameters are in layer_size_test.cpp.
TEST(ExtremeFrameShapes, EmptyInputIsRefusedByTheHost) {
    for (const char* effect : {"zblur", "evenblur"}) {
        SCOPED_TRACE(effect);
        HostileRender job;
        job.effect = effect;
        job.input = Image(0, 0, SampleDepth::float32);
        job.frame.depth = SampleDepth::float32;
        try {
            renderHostile(job);
            ADD_FAILURE() << "rendered";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find("0x0"), std::string::npos) << e.what();
        }
    }
}

}  // namespace
