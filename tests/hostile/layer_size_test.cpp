#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/hostile/hostile_render.h"
#include "qbrender/plugin_library.h"

// Every layer parameter an effect registers (depth, iris, background, selection) given an image
// smaller and larger than the input, of a single pixel and of none, one at a time and all at
// once, at every depth.

namespace {

constexpr int kWidth = 29;
constexpr int kHeight = 19;

std::vector<std::string> layerNames(const char* effect) {
    EffectSession session(resolveEffect(effect, defaultPluginDir()));
    std::vector<std::string> names;
    const ParameterStore& params = session.parameters();
    for (int p = 1; p < params.count(); ++p) {
        if (params.at(p).type() == PF_Param_LAYER) names.push_back(params.at(p).name());
    }
    session.close();
    return names;
}

// Settings that make the layers matter: highlights on (the selection layers), some background
// distortion (Evenblur's background layer).
std::vector<NamedValue> layerSettings(const char* effect) {
    if (std::string(effect) == "zblur") {
        return {{"radius", "6"}, {"enable", "on"}};
    }
    return {{"radius", "6"}, {"enable", "on"}, {"background distortion", "50"}};
}

struct LayerSize {
    const char* name;
    int width;
    int height;
};
// 0x0 stands for a layer the host hands over without pixels.
constexpr LayerSize kSizes[] = {
    {"0x0", 0, 0}, {"1x1", 1, 1}, {"smaller", 7, 5}, {"larger", 83, 61}, {"wide strip", 97, 2}};

TEST(LayersOfOtherSizes, RenderDefinedFrames) {
    for (const char* effect : {"zblur", "evenblur"}) {
        const std::vector<std::string> names = layerNames(effect);
        ASSERT_FALSE(names.empty()) << effect;
        for (const SampleDepth depth : kAllDepths) {
            for (const LayerSize& size : kSizes) {
                // Each layer alone, then all of them together.
                for (size_t only = 0; only <= names.size(); ++only) {
                    HostileRender job;
                    job.effect = effect;
                    job.input = patternImage(kWidth, kHeight, true).converted(depth);
                    job.sets = layerSettings(effect);
                    job.frame.depth = depth;
                    std::string what =
                        std::string(effect) + " " + depthName(depth) + " " + size.name + " ";
                    for (size_t l = 0; l < names.size(); ++l) {
                        if (only != names.size() && l != only) continue;
                        job.layers.emplace_back(
                            names[l], grayImage(size.width, size.height, int(l)).converted(depth));
                        what += "'" + names[l] + "'";
                    }
                    SCOPED_TRACE(what);
                    expectDefinedFrame(renderHostile(job), what);
                }
            }
        }
    }
}

}  // namespace
