// Whole frames through qbrender's host library, the path users take: the effect loaded from
// its plug-in file, the 1920x1080 float scene with depth (host_frame_scene.h) as input layer,
// smart render at 8, 16 or 32 bits, radius 20, 50 and 100, the host reporting 1 or 2
// processors; and Zblur over frame sizes at large radii (ZblurFrameSize, below). One session renders frame after frame as a host does; one untimed frame first
// warms the host's handle pool and the converted input, so no first-touch page faults of the
// effect's buffers are timed (nor are they on the peers' side, whose buffers are made once).
//
// The time of an iteration is the effect's own time for the frame (qbrender --timing's
// "render commands"); the counter "host ms" is the host's overhead per frame (building and
// checking worlds, copying the output), which a real host's cache mostly spares.
//
// The peers run in the same program: GeglLensBlur (gegl_lens_blur_bench.cpp) on the same
// per-pixel radii as ZblurHostFrame, FftwPipeline (fftw_pipeline_bench.cpp) on the padded
// size of EvenblurHostFrame; for example
//   qb_bench --benchmark_filter='(ZblurHostFrame/bits:32|GeglLensBlur)/radius:50/threads:2'

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "qbrender/effect_session.h"
#include "bench/host_frame_scene.h"
#include "qbrender/host_names.h"
#include "qbrender/plugin_library.h"
#include "qbrender/sample_scene.h"

namespace {

SampleDepth depthOfBits(int64_t bits) {
    return bits == 8 ? SampleDepth::bits8 : bits == 16 ? SampleDepth::bits16 : SampleDepth::float32;
}

// Renders frames of `source` with `sets` through one session, timing each by the effect's own
// time; an untimed frame comes first (see above).
void renderFrames(benchmark::State& state, const std::string& effect,
                  const std::shared_ptr<LayerSource>& source, const std::vector<NamedValue>& sets,
                  SampleDepth depth, int threads) {
    SessionSettings settings;
    settings.threads = threads;
    EffectSession session(resolveEffect(effect, defaultPluginDir()), settings);
    session.setInput(source);
    for (const NamedValue& set : sets) session.setParameter(set.name, set.value);
    session.setProjectDepth(depth);
    session.updateParamsUI();
    FrameRequest request;
    request.depth = depth;

    const FrameResult warm = session.render(request);
    if (warm.status != PF_Err_NONE || session.hasFaults()) {
        state.SkipWithError((effect + ": the frame failed with " + errorText(warm.status)).c_str());
        return;
    }
    double host_seconds = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        const FrameResult result = session.render(request);
        if (result.status != PF_Err_NONE) {
            state.SkipWithError((effect + ": " + errorText(result.status)).c_str());
            break;
        }
        state.SetIterationTime(result.seconds);
        host_seconds += result.host_seconds;
        ++frames;
    }
    state.counters["host ms"] = frames > 0 ? host_seconds * 1000.0 / double(frames) : 0.0;
    session.close();
}

void hostFrame(benchmark::State& state, const std::string& effect) {
    const int radius = int(state.range(1));
    renderFrames(state, effect, benchSceneSource(),
                 effect == "zblur" ? zblurBenchSets(radius) : evenblurBenchSets(radius),
                 depthOfBits(state.range(0)), int(state.range(2)));
}

// Zblur's cost against the frame size at large radii: the sample scene at width x height
// (16-bit or float), "radius" as given (the parameter, up to its maximum 999), everything else
// as a new instance has it, 2 processors. The margin of a tile is as wide as the largest
// kernel, so a small frame at a large radius is mostly margin. One frame of 64x48 at
// "radius" 999 takes about 35 s at 16 bits and 2 min at float, and every case renders an
// untimed frame first; larger frames at that radius take longer still. Pick cases with a
// filter, e.g.
//   qb_bench --benchmark_filter='ZblurFrameSize/width:64/.*/radius:999'
void zblurFrameSize(benchmark::State& state) {
    const int width = int(state.range(0));
    // 64x48 (the smallest a user is likely to render), 640x360, 1920x1080.
    const int height = width == 64 ? 48 : width * 9 / 16;
    const auto source = LayerSource::fromImage(makeSampleScene(width, height).color,
                                               "the sample scene");
    renderFrames(state, "zblur", source, {{"radius", std::to_string(state.range(2))}},
                 depthOfBits(state.range(1)), 2);
}

BENCHMARK_CAPTURE(hostFrame, zblur, std::string("zblur"))
    ->Name("ZblurHostFrame")
    ->ArgNames({"bits", "radius", "threads"})
    ->ArgsProduct({{8, 16, 32}, {20, 50, 100}, {1, 2}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(hostFrame, evenblur, std::string("evenblur"))
    ->Name("EvenblurHostFrame")
    ->ArgNames({"bits", "radius", "threads"})
    ->ArgsProduct({{8, 16, 32}, {20, 50, 100}, {1, 2}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(zblurFrameSize)
    ->Name("ZblurFrameSize")
    ->ArgNames({"width", "bits", "radius"})
    ->ArgsProduct({{64, 640, 1920}, {16, 32}, {50, 200, 999}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
