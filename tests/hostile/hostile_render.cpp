#include "tests/hostile/hostile_render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "qbrender/host_names.h"
#include "qbrender/layer_source.h"
#include "qbrender/plugin_library.h"

const SampleDepth kAllDepths[3] = {SampleDepth::bits8, SampleDepth::bits16, SampleDepth::float32};

HostileOutcome renderHostile(const HostileRender& job) {
    EffectSession session(resolveEffect(job.effect, defaultPluginDir()), job.settings);
    if (job.memory_limit != 0) session.handles().setLimit(job.memory_limit);
    HostileOutcome outcome;
    const auto collect = [&] {
        for (std::string& f : session.takeFaults()) outcome.faults.push_back(std::move(f));
    };
    session.setInput(LayerSource::fromImage(job.input, "input"));
    for (const auto& [name, image] : job.layers) {
        session.connectLayer(name, LayerSource::fromImage(image, "layer '" + name + "'"));
    }
    for (const NamedValue& set : job.sets) session.setParameter(set.name, set.value);
    if (job.poke) job.poke(session.parameters());
    session.setProjectDepth(job.frame.depth);
    session.setCurrentFrame(job.frame.frame);
    session.updateParamsUI();
    for (const std::string& click : job.clicks) session.userChangedParam(click);
    collect();
    outcome.frame = session.render(job.frame);
    outcome.refusal = session.handles().lastRefusal();
    collect();
    session.close();
    collect();
    return outcome;
}

Image patternImage(int width, int height, bool with_z, int seed) {
    Image image(width, height, SampleDepth::float32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setSample(x, y, 0, double((x * 5 + y + seed) % 17) / 16.0);
            image.setSample(x, y, 1, double((x + 3 * y + seed) % 11) / 10.0);
            // A few highlights above 1, as float projects have.
            image.setSample(x, y, 2, (x + y + seed) % 13 == 0 ? 4.0 : 0.25 + 0.5 * double(x % 2));
            image.setSample(x, y, 3, 1.0);
        }
    }
    if (with_z) {
        std::vector<float> z(size_t(width) * size_t(height));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                z[size_t(y) * size_t(width) + size_t(x)] =
                    float(2.0 + 48.0 * double((x * 3 + y * 7 + seed) % 29) / 28.0);
            }
        }
        image.setZ(std::move(z));
    }
    return image;
}

Image grayImage(int width, int height, int seed) {
    Image image(width, height, SampleDepth::float32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double v = double((x * 7 + y * 5 + seed) % 31) / 30.0;
            for (int c = 0; c < 3; ++c) image.setSample(x, y, c, v);
            image.setSample(x, y, 3, 1.0);
        }
    }
    return image;
}

namespace {

bool expectSamplesDefined(const Image& out, const std::string& what) {
    if (out.depth() != SampleDepth::float32) return true;  // integer samples are in range by type
    int bad = 0;
    for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width(); ++x) {
            for (int c = 0; c < Image::channels; ++c) {
                const double v = out.sample(x, y, c);
                if (!std::isfinite(v) && bad++ < 3) {
                    ADD_FAILURE() << what << ": pixel " << x << "," << y << " channel " << c
                                  << " is " << v;
                }
            }
        }
    }
    return bad == 0;
}

}  // namespace

bool expectDefinedFrame(const HostileOutcome& outcome, const std::string& what) {
    bool ok = true;
    if (outcome.frame.status != PF_Err_NONE) {
        ADD_FAILURE() << what << ": " << commandName(outcome.frame.failed_command) << " returned "
                      << errorText(outcome.frame.status) << " " << outcome.refusal;
        ok = false;
    }
    for (const std::string& f : outcome.faults) {
        ADD_FAILURE() << what << ": " << f;
        ok = false;
    }
    return expectSamplesDefined(outcome.frame.output, what) && ok;
}

bool expectDefinedFrameOrOutOfMemory(const HostileOutcome& outcome, const std::string& what) {
    if (outcome.frame.status != PF_Err_OUT_OF_MEMORY) return expectDefinedFrame(outcome, what);
    for (const std::string& f : outcome.faults) ADD_FAILURE() << what << ": " << f;
    return outcome.faults.empty();
}
