// GEGL's gegl:lens-blur, the peer of ZblurHostFrame: the same 1920x1080 float scene, blurred
// with a radius map of the per-pixel radii Zblur gives its pixels under the same depth settings
// (zblurBenchRadii): the op's "radius" is the frame's largest radius and its aux input the map
// divided by it, read linearly ("linear-mask"), so every pixel gets Zblur's radius. Input and
// output are gamma-encoded float RGBA as the host's float worlds are; GEGL converts to its
// working format and back inside the timing, as Zblur linearises inside its own. The graph is
// built anew every iteration (so no cached result is reused; building it costs microseconds)
// into one output buffer made before the timings. Argument "threads": GEGL's "threads"
// setting.
//
// GEGL is a dependency of this benchmark only (found with pkg-config, optional).

#if QB_BENCH_GEGL

#include <benchmark/benchmark.h>
#include <gegl.h>

#include <algorithm>
#include <vector>

#include "bench/host_frame_scene.h"

namespace {

void geglLensBlur(benchmark::State& state) {
    static const bool initialised = [] {
        gegl_init(nullptr, nullptr);
        return gegl_has_operation("gegl:lens-blur") != 0;
    }();
    if (!initialised) {
        state.SkipWithError("this GEGL has no gegl:lens-blur");
        return;
    }
    const int largest = int(state.range(0));
    g_object_set(gegl_config(), "threads", int(state.range(1)), "use-opencl", FALSE, nullptr);

    const Image& scene = benchScene();
    const GeglRectangle rect{0, 0, kBenchFrameWidth, kBenchFrameHeight};
    const Babl* rgba = babl_format("R'G'B'A float");
    const Babl* gray = babl_format("Y float");
    GeglBuffer* input = gegl_buffer_new(&rect, rgba);
    gegl_buffer_set(input, &rect, 0, rgba, scene.samplesFloat().data(), GEGL_AUTO_ROWSTRIDE);
    std::vector<float> mask = zblurBenchRadii(largest);
    const float top = *std::max_element(mask.begin(), mask.end());
    for (float& m : mask) m /= top;
    GeglBuffer* radii = gegl_buffer_new(&rect, gray);
    gegl_buffer_set(radii, &rect, 0, gray, mask.data(), GEGL_AUTO_ROWSTRIDE);
    GeglBuffer* output = gegl_buffer_new(&rect, rgba);

    for (auto _ : state) {
        GeglNode* graph = gegl_node_new();
        GeglNode* source =
            gegl_node_new_child(graph, "operation", "gegl:buffer-source", "buffer", input, nullptr);
        GeglNode* map =
            gegl_node_new_child(graph, "operation", "gegl:buffer-source", "buffer", radii, nullptr);
        GeglNode* blur = gegl_node_new_child(graph, "operation", "gegl:lens-blur", "radius",
                                             double(top), "linear-mask", TRUE, nullptr);
        GeglNode* sink =
            gegl_node_new_child(graph, "operation", "gegl:write-buffer", "buffer", output, nullptr);
        gegl_node_link_many(source, blur, sink, nullptr);
        gegl_node_connect_to(map, "output", blur, "aux");
        gegl_node_process(sink);
        g_object_unref(graph);
        benchmark::ClobberMemory();
    }
    state.counters["largest radius"] = double(top);
    g_object_unref(output);
    g_object_unref(radii);
    g_object_unref(input);
}

BENCHMARK(geglLensBlur)
    ->Name("GeglLensBlur")
    ->ArgNames({"radius", "threads"})
    ->ArgsProduct({{20, 50, 100}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

#endif  // QB_BENCH_GEGL
