#include <gtest/gtest.h>

#include <iterator>
#include <stdexcept>
#include <string>

#include "hostile_render.h"

// Frames of extreme shapes: single pixels, one-pixel strips, long strips 16384 pixels by 16, and
// an empty layer. Every effect renders them at every depth with a blur reaching far past them.

namespace {

struct Shape {
    int width;
    int height;
};

std::string shapeName(const Shape& s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

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
