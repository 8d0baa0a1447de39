// Fuzz target that renders random small frames through both effects, in process, the way
// qbrender drives them: random images (1x1 .. 24x24, 8-bit, 16-bit or float with NaN,
// infinities and huge values), a random Z plane, random layers of other sizes, every parameter
// at a random value within its valid range, a random click, random render requests (smart or
// classic, downsampled, a part of the frame, non-square pixels) on 1 or 2 threads, and now and
// then a cancel or refused memory.
//
// A render must end with no error (or the cancel or out-of-memory error that was provoked),
// leave the host nothing to complain about (every handle, checkout, suite and world given
// back, no padding written, no input changed), and, from finite input of ordinary magnitude,
// give finite pixels.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "qbrender/effect_session.h"
#include "fuzz/fuzz_effects.h"
#include "fuzz/fuzz_input.h"
#include "qbrender/host_names.h"
#include "qbrender/image.h"
#include "qbrender/layer_source.h"
#include "qbrender/qbrender_error.h"

namespace {

constexpr int kMaxSide = 24;
constexpr double kFixedOne = 65536.0;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_render: %s\n", what.c_str());
    std::abort();
}

std::vector<EffectInfo>& effects() {
    static std::vector<EffectInfo> all;
    return all;
}

// Beyond this magnitude a colour's power for linear light (2.2) leaves the float range, so the
// output may be infinite: such input counts as not finite.
constexpr float kLargestOrdinary = 1e6f;

// A float sample: mostly 0 .. 1.2 in steps of 1/200, else one of the values that break
// arithmetic. Sets *finite to false for NaN, infinities and magnitudes above kLargestOrdinary.
float floatSample(FuzzInput& in, bool* finite) {
    static const float kSpecial[] = {NAN,    INFINITY,  -INFINITY, -0.5f,  1e30f,  -1e30f,
                                     1e-40f, 65504.0f,  2.0f,      10.0f,  100.0f, 1e6f,
                                     -1.0f,  0.999999f, 1.000001f, 3.4e38f};
    const uint8_t b = in.byte();
    if (b < 0xF0) return float(b) / 200.0f;
    const float v = kSpecial[b - 0xF0];
    if (!(std::fabs(v) <= kLargestOrdinary)) *finite = false;
    return v;
}

// Depth in scene units: mostly 0 .. 120, else negative, huge, NaN or infinite.
float zSample(FuzzInput& in, bool* finite) {
    static const float kSpecial[] = {NAN,    INFINITY, -INFINITY, -1.0f,    -1e30f, 1e30f,
                                     1e-40f, 0.0f,     3.4e38f,   -3.4e38f, 1e6f,   0.5f,
                                     255.0f, 256.0f,   65535.0f,  1.0f};
    const uint8_t b = in.byte();
    if (b < 0xF0) return float(b) * 0.5f;
    const float v = kSpecial[b - 0xF0];
    if (!std::isfinite(v)) *finite = false;
    return v;
}

// An image drawn from a palette of 8 colours (and 8 depths): one byte per pixel, its low bits
// the colour, its high bits the depth, so that a short input describes a whole frame.
Image randomImage(FuzzInput& in, int width, int height, SampleDepth depth, bool with_z,
                  bool* finite) {
    double palette[8][4];
    for (auto& colour : palette) {
        for (double& sample : colour) {
            switch (depth) {
                case SampleDepth::bits8:
                    sample = in.byte();
                    break;
                case SampleDepth::bits16:
                    sample = double(in.integer(0, 65535));
                    break;
                case SampleDepth::float32:
                    sample = floatSample(in, finite);
                    break;
            }
        }
    }
    float depths[8] = {};
    if (with_z) {
        for (float& z : depths) z = zSample(in, finite);
    }
    Image image(width, height, depth);
    std::vector<float> z(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t b = in.byte();
            for (int c = 0; c < 4; ++c) {
                // setSample would round and clamp; float samples must reach the effect as drawn.
                if (depth == SampleDepth::float32) {
                    image.samplesFloat()[(size_t(y) * size_t(width) + size_t(x)) * 4 + size_t(c)] =
                        float(palette[b & 7][c]);
                } else {
                    image.setSample(x, y, c, palette[b & 7][c]);
                }
            }
            z[size_t(y) * size_t(width) + size_t(x)] = depths[(b >> 3) & 7];
        }
    }
    if (with_z) image.setZ(std::move(z));
    return image;
}

PF_Fixed fixedOf(double v) { return PF_Fixed(std::lround(v * kFixedOne)); }

// A value for a slider: mostly within the slider's range, sometimes anywhere in the valid
// range.
double sliderValue(FuzzInput& in, double valid_min, double valid_max, double slider_min,
                   double slider_max) {
    if (in.byte() % 4 != 3) {
        const double low = std::max(valid_min, slider_min);
        const double high = std::min(valid_max, slider_max);
        if (low <= high) return in.fraction(low, high);
    }
    return in.fraction(valid_min, valid_max);
}

// The largest value given to a float slider. The blur sizes (pixels at full resolution) cost
// more than their square whatever the frame's size, so they stay well below their valid
// maximum: Evenblur's at 4 times the slider's maximum; Zblur's radius at 6, since its cost
// grows with the cube of the radius when every depth level is out of focus (radius 41 takes
// 8 s a frame without sanitizers even on a 4x10 frame, radius 9.5 takes 18 s here).
double sliderTop(const std::string& effect, const HostParameter& p) {
    const PF_FloatSliderDef& d = p.def.u.fs_d;
    if (effect == "zblur" && p.name() == "radius") return std::min<double>(d.valid_max, 6.0);
    if (p.name() == "radius" || p.name() == "smooth") {
        return std::min<double>(d.valid_max, 4.0 * d.slider_max);
    }
    return d.valid_max;
}

// Gives every value parameter a random value within its valid range (a quarter keep their
// default).
void randomValues(FuzzInput& in, const std::string& effect, ParameterStore& store, int width,
                  int height) {
    for (int p = 1; p < store.count(); ++p) {
        PF_ParamDefUnion& u = store.at(p).def.u;
        const PF_ParamType type = store.at(p).type();
        if (type == PF_Param_LAYER || type == PF_Param_GROUP_START || type == PF_Param_GROUP_END ||
            type == PF_Param_BUTTON || type == PF_Param_NO_DATA) {
            continue;
        }
        if (in.byte() % 4 == 0) continue;
        switch (type) {
            case PF_Param_POPUP:
                u.pd.value = PF_ParamValue(in.integer(1, std::max<int64_t>(1, u.pd.num_choices)));
                break;
            case PF_Param_CHECKBOX:
                u.bd.value = in.flag() ? 1 : 0;
                break;
            case PF_Param_SLIDER:
                u.sd.value = PF_ParamValue(std::lround(sliderValue(
                    in, u.sd.valid_min, u.sd.valid_max, u.sd.slider_min, u.sd.slider_max)));
                break;
            case PF_Param_FLOAT_SLIDER: {
                const double top = sliderTop(effect, store.at(p));
                u.fs_d.value = sliderValue(in, u.fs_d.valid_min, top, u.fs_d.slider_min,
                                           std::min<double>(top, u.fs_d.slider_max));
                break;
            }
            case PF_Param_FIX_SLIDER:
                u.fd.value =
                    fixedOf(sliderValue(in, u.fd.valid_min / kFixedOne, u.fd.valid_max / kFixedOne,
                                        u.fd.slider_min / kFixedOne, u.fd.slider_max / kFixedOne));
                break;
            case PF_Param_ANGLE:
                // Degrees; several turns either way when the range is open.
                u.ad.value = u.ad.valid_min < u.ad.valid_max
                                 ? PF_Fixed(in.integer(u.ad.valid_min, u.ad.valid_max))
                                 : fixedOf(in.fraction(-1800.0, 1800.0));
                break;
            case PF_Param_COLOR:
                u.cd.value.red = in.byte();
                u.cd.value.green = in.byte();
                u.cd.value.blue = in.byte();
                u.cd.value.alpha = in.byte();
                break;
            case PF_Param_POINT:
                // Full-resolution layer pixels, within and around the frame.
                u.td.x_value = fixedOf(in.fraction(-width, 2.0 * width));
                u.td.y_value = fixedOf(in.fraction(-height, 2.0 * height));
                break;
            default:
                break;
        }
    }
}

void checkFaults(EffectSession& session, const char* when) {
    const std::vector<std::string> faults = session.takeFaults();
    if (faults.empty()) return;
    std::string all;
    for (const std::string& f : faults) all += "\n  " + f;
    fail(std::string("host faults ") + when + ":" + all);
}

void renderOne(FuzzInput& in) {
    const EffectInfo& effect = effects()[in.byte() & 1];
    const SampleDepth depth = (const SampleDepth[]){SampleDepth::bits8, SampleDepth::bits16,
                                                    SampleDepth::float32}[in.byte() % 3];
    const int width = int(in.integer(1, kMaxSide));
    const int height = int(in.integer(1, kMaxSide));

    SessionSettings settings;
    const uint8_t mode = in.byte();
    settings.threads = 1 + (mode & 1);
    settings.depth_double = (mode & 2) != 0;
    FrameRequest request;
    request.depth = depth;
    request.classic = depth != SampleDepth::float32 && (mode & 4) != 0;
    request.downsample = (const int[]){1, 1, 2, 3}[(mode >> 3) & 3];
    request.pixel_aspect =
        (const PF_RationalScale[]){{1, 1}, {1, 1}, {2, 1}, {1, 2}}[(mode >> 5) & 3];
    const uint8_t faults = in.byte();
    if (faults % 8 == 0) settings.cancel_after_progress_calls = 1 + in.byte();
    if (faults % 8 == 1) request.fail_allocations_from = 1 + in.byte();

    bool finite = true;
    const Image input = randomImage(in, width, height, depth, in.flag(), &finite);

    EffectSession session(effect, settings);
    checkFaults(session, "after setup");
    session.setInput(LayerSource::fromImage(input, "input"));
    ParameterStore& store = session.parameters();
    for (int p = 1; p < store.count(); ++p) {
        if (store.at(p).type() != PF_Param_LAYER || !in.flag()) continue;
        const int w = in.flag() ? width : int(in.integer(1, kMaxSide));
        const int h = in.flag() ? height : int(in.integer(1, kMaxSide));
        session.connectLayer(store.at(p).name(),
                             LayerSource::fromImage(randomImage(in, w, h, depth, false, &finite),
                                                    "layer " + std::to_string(p)));
    }
    randomValues(in, effect.shortName(), store, width, height);
    session.setProjectDepth(depth);
    session.updateParamsUI();
    checkFaults(session, "after the controls update");
    if (in.byte() % 4 == 0) {
        const int p = 1 + int(in.integer(0, store.count() - 2));
        const PF_ParamType type = store.at(p).type();
        if (type != PF_Param_GROUP_START && type != PF_Param_GROUP_END) {
            session.userChangedParam(store.at(p).name());
            checkFaults(session, "after a click");
        }
    }

    const int out_width = (width + request.downsample - 1) / request.downsample;
    const int out_height = (height + request.downsample - 1) / request.downsample;
    if (!request.classic && in.byte() % 4 == 0) {
        const int left = int(in.integer(0, out_width - 1));
        const int top = int(in.integer(0, out_height - 1));
        request.region = Rectangle{left, int(in.integer(left + 1, out_width)), top,
                                   int(in.integer(top + 1, out_height))};
    }

    if (std::getenv("QB_FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr, "%s %dx%d %s%s downsample %d threads %d\n", effect.shortName().c_str(),
                     width, height, depthName(depth), request.classic ? " classic" : "",
                     request.downsample, settings.threads);
        for (int p = 1; p < store.count(); ++p) {
            const std::string value = store.valueText(p);
            if (!value.empty()) {
                std::fprintf(stderr, "  %s = %s\n", store.at(p).name().c_str(), value.c_str());
            }
        }
    }
    const FrameResult result = session.render(request);
    checkFaults(session, "after the render");
    const bool provoked =
        (result.status == PF_Interrupt_CANCEL && settings.cancel_after_progress_calls > 0) ||
        (result.status == PF_Err_OUT_OF_MEMORY && request.fail_allocations_from > 0);
    if (result.status != PF_Err_NONE && !provoked) {
        fail(effect.shortName() + ": " + commandName(result.failed_command) + " returned " +
             errorText(result.status));
    }
    if (result.status == PF_Err_NONE && finite && depth == SampleDepth::float32) {
        const std::span<const float> samples = result.output.samplesFloat();
        for (size_t i = 0; i < samples.size(); ++i) {
            if (!std::isfinite(samples[i])) {
                fail(effect.shortName() + ": output sample " + std::to_string(i) + " of pixel " +
                     std::to_string(i / 4) + " is " + std::to_string(samples[i]) +
                     " from finite input");
            }
        }
    }
    session.close();
    checkFaults(session, "after the setdowns");
    if (session.handles().liveCount() != 0) {
        fail(std::to_string(session.handles().liveCount()) + " host handles left alive");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"zblur", "evenblur"}) effects().push_back(pinnedEffect(name));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    try {
        renderOne(in);
    } catch (const std::exception& e) {
        fail(std::string("exception: ") + e.what());
    }
    return 0;
}
