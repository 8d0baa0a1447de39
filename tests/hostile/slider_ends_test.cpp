#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "tests/hostile/hostile_render.h"
#include "qbrender/plugin_library.h"

// Every numeric control of both effects at both ends of its valid range (the range the host
// lets a user type, not the slider's), at every depth; angles beyond a turn either way up to
// the largest the host's 16.16 fixed point holds, at 8 bits and float.
// The other controls stay at their defaults but for a small radius (unless the radius is the
// control under test), highlights on and, for Evenblur, a background layer, so that the
// highlight and distortion controls matter.

namespace {

constexpr int kWidth = 23;
constexpr int kHeight = 17;

struct Extreme {
    int position;
    std::string name;
    std::string end;     // "min", "max" or an angle in degrees
    PF_Fixed angle = 0;  // 16.16 fixed degrees, for angles
};

std::vector<Extreme> extremes(const char* effect) {
    EffectSession session(resolveEffect(effect, defaultPluginDir()));
    std::vector<Extreme> list;
    const ParameterStore& params = session.parameters();
    for (int p = 1; p < params.count(); ++p) {
        const HostParameter& h = params.at(p);
        switch (h.type()) {
            case PF_Param_FLOAT_SLIDER:
            case PF_Param_SLIDER:
            case PF_Param_FIX_SLIDER:
                list.push_back({p, h.name(), "min"});
                list.push_back({p, h.name(), "max"});
                break;
            case PF_Param_ANGLE:
                for (const PF_Fixed degrees :
                     {std::numeric_limits<PF_Fixed>::min(), PF_Fixed(-360 * 65536),
                      PF_Fixed(725.5 * 65536), std::numeric_limits<PF_Fixed>::max()}) {
                    list.push_back({p, h.name(), std::to_string(degrees / 65536.0), degrees});
                }
                break;
            default:
                break;
        }
    }
    session.close();
    return list;
}

// Sets the control to the exact limit the effect registered (the text form could round it).
void setEnd(ParameterStore& params, const Extreme& e) {
    PF_ParamDef& def = params.at(e.position).def;
    const bool max = e.end == "max";
    switch (def.param_type) {
        case PF_Param_FLOAT_SLIDER:
            def.u.fs_d.value = max ? def.u.fs_d.valid_max : def.u.fs_d.valid_min;
            break;
        case PF_Param_SLIDER:
            def.u.sd.value = max ? def.u.sd.valid_max : def.u.sd.valid_min;
            break;
        case PF_Param_FIX_SLIDER:
            def.u.fd.value = max ? def.u.fd.valid_max : def.u.fd.valid_min;
            break;
        case PF_Param_ANGLE:
            def.u.ad.value = e.angle;
            break;
        default:
            break;
    }
}

void renderExtremes(const char* effect) {
    const std::vector<Extreme> list = extremes(effect);
    ASSERT_GT(list.size(), 10u) << effect;
    const bool zblur = std::string(effect) == "zblur";
    for (const Extreme& e : list) {
        for (const SampleDepth depth : kAllDepths) {
            // Angles only turn the iris and the hue wheel: 8-bit and float suffice.
            if (e.angle != 0 && depth == SampleDepth::bits16) continue;
            const std::string what =
                std::string(effect) + " '" + e.name + "' " + e.end + " " + depthName(depth);
            SCOPED_TRACE(what);
            HostileRender job;
            job.effect = effect;
            job.input = patternImage(kWidth, kHeight, true, e.position).converted(depth);
            if (e.name != "radius") job.sets.push_back({"radius", "5"});
            job.sets.push_back({"enable", "on"});
            // Evenblur's distortion controls act on the background layer.
            if (!zblur) {
                job.layers = {{"background layer", grayImage(kWidth, kHeight).converted(depth)}};
            }
            job.poke = [e](ParameterStore& params) { setEnd(params, e); };
            job.frame.depth = depth;
            // Zblur's cost grows with the padded frame (frame + 2 radius) squared times the
            // radius: at radius 999 even this frame takes minutes. That it stops cleanly on a
            // cancel is what is checked there.
            const bool slow = zblur && e.name == "radius" && e.end == "max";
            if (slow) job.settings.cancel_after_progress_calls = 3;
            const HostileOutcome outcome = renderHostile(job);
            if (slow && outcome.frame.status == PF_Interrupt_CANCEL) {
                for (const std::string& f : outcome.faults) ADD_FAILURE() << what << ": " << f;
            } else {
                expectDefinedFrameOrOutOfMemory(outcome, what);
            }
        }
    }
}

TEST(ControlsAtTheirLimits, Zblur) { renderExtremes("zblur"); }
TEST(ControlsAtTheirLimits, Evenblur) { renderExtremes("evenblur"); }

// Pairs the single-control sweep cannot reach: equal black and white points (a zero-width depth
// ramp), and Evenblur's largest radius with the most facets and the most smoothing.
TEST(ControlsAtTheirLimits, DegenerateCombinations) {
    for (const SampleDepth depth : kAllDepths) {
        const std::string d = depthName(depth);
        for (const char* show : {"1", "3", "7"}) {
            SCOPED_TRACE(d + " black point = white point, show " + std::string(show));
            HostileRender job;
            job.effect = "zblur";
            job.input = patternImage(kWidth, kHeight, true).converted(depth);
            job.sets = {{"radius", "5"},
                        {"black point", "20"},
                        {"white point", "20"},
                        {"show", show},
                        {"enable", "on"}};
            job.frame.depth = depth;
            expectDefinedFrame(renderHostile(job), d + " black = white");
        }
        SCOPED_TRACE(d + " radius 999 facets 999");
        HostileRender job;
        job.effect = "evenblur";
        job.input = patternImage(kWidth, kHeight, true).converted(depth);
        job.sets = {{"radius", "999"}, {"facets", "999"}, {"smooth", "999"}};
        job.frame.depth = depth;
        expectDefinedFrameOrOutOfMemory(renderHostile(job), "evenblur 999");
    }
}

}  // namespace
