#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/hostile/hostile_render.h"

// NaN and infinities where a float project or a depth channel may carry them: colour and alpha
// of 32-bit pixels, the input's Z channel (as floats and as doubles) and a float depth layer.
// Every frame must come out finite.

namespace {

constexpr int kWidth = 31;
constexpr int kHeight = 21;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Poison {
    const char* name;
    double value;
};
const Poison kPoisons[] = {{"NaN", kNaN}, {"+inf", kInf}, {"-inf", -kInf}, {"1e30", 1e30}};

// Every seventh pixel, plus the corners, so that border handling meets the value too.
bool poisoned(int x, int y) {
    return (x * 3 + y * 5) % 7 == 0 ||
           ((x == 0 || x == kWidth - 1) && (y == 0 || y == kHeight - 1));
}

Image poisonColour(Image image, double value, bool alpha_too) {
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if (!poisoned(x, y)) continue;
            image.setSample(x, y, (x + y) % 3, value);
            if (alpha_too) image.setSample(x, y, 3, value);
        }
    }
    return image;
}

std::vector<NamedValue> blurSettings(const char* effect) {
    if (std::string(effect) == "zblur") return {{"radius", "8"}, {"enable", "on"}};
    return {{"radius", "8"}};
}

TEST(NonFiniteValues, FloatPixels) {
    for (const char* effect : {"zblur", "evenblur"}) {
        for (const Poison& poison : kPoisons) {
            for (const bool alpha_too : {false, true}) {
                const std::string what = std::string(effect) + " colour " + poison.name +
                                         (alpha_too ? " and alpha" : "");
                SCOPED_TRACE(what);
                HostileRender job;
                job.effect = effect;
                job.input =
                    poisonColour(patternImage(kWidth, kHeight, true), poison.value, alpha_too);
                job.sets = blurSettings(effect);
                job.frame.depth = SampleDepth::float32;
                expectDefinedFrame(renderHostile(job), what);
            }
        }
    }
}

// The Z channel feeds Zblur's levels, the "auto range" click and the depth-buffer display.
TEST(NonFiniteValues, DepthChannel) {
    for (const Poison& poison : kPoisons) {
        for (const bool doubles : {false, true}) {
            for (const SampleDepth depth : kAllDepths) {
                for (const char* show : {"1", "3"}) {
                    for (const bool all : {false, true}) {
                        const std::string what =
                            std::string("Z ") + poison.name + (all ? " everywhere " : " ") +
                            depthName(depth) + (doubles ? " doubles" : " floats") + " show " + show;
                        SCOPED_TRACE(what);
                        Image input = patternImage(kWidth, kHeight, true);
                        std::vector<float> z(input.z().begin(), input.z().end());
                        for (int y = 0; y < kHeight; ++y) {
                            for (int x = 0; x < kWidth; ++x) {
                                if (all || poisoned(x, y)) {
                                    z[size_t(y * kWidth + x)] = float(poison.value);
                                }
                            }
                        }
                        input.setZ(z);
                        HostileRender job;
                        job.effect = "zblur";
                        job.input = input.converted(depth);
                        job.sets = {{"radius", "8"}, {"enable", "on"}, {"show", show}};
                        job.clicks = {"auto range"};
                        job.settings.depth_double = doubles;
                        job.frame.depth = depth;
                        expectDefinedFrame(renderHostile(job), what);
                    }
                }
            }
        }
    }
}

TEST(NonFiniteValues, FloatDepthLayer) {
    for (const Poison& poison : kPoisons) {
        for (const char* show : {"1", "3"}) {
            const std::string what = std::string("depth layer ") + poison.name + " show " + show;
            SCOPED_TRACE(what);
            HostileRender job;
            job.effect = "zblur";
            job.input = patternImage(kWidth, kHeight, false);
            job.layers = {
                {"depth layer", poisonColour(grayImage(kWidth, kHeight), poison.value, false)}};
            // poisonColour spoils one channel per pixel; spoil all three so red carries it too.
            Image& layer = job.layers[0].second;
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x)
                    if (poisoned(x, y))
                        for (int c = 0; c < 3; ++c) layer.setSample(x, y, c, poison.value);
            job.sets = {{"radius", "8"}, {"enable", "on"}, {"show", show}};
            job.frame.depth = SampleDepth::float32;
            expectDefinedFrame(renderHostile(job), what);
        }
    }
}

}  // namespace
