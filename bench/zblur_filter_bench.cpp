// The depth-of-field filter on a synthetic 1920x1080 scene, at the filter level (no host):
//   ZblurFilterScene/<radius>/<threads>: a near object, a middle ground and a far plane, the
//     focal level in the middle of the depth range, 16 bits, gamma on; the largest level radius
//     is radius / 2 + 1 pixels;
//   ZblurFilterFarPlane/<radius>: one far plane at level 0 with the focus at 255, so every
//     pixel has the largest kernel (radius + 1 pixels), one thread: time against kernel size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "framework/quillbrook_host.h"
#include "zblur/zblur_filter.h"

namespace {

class BenchHost : public QuillbrookHost {
public:
    explicit BenchHost(int32_t threads)
        : QuillbrookHost("bench", "bench", "bench", 1, 0, 0), threads_(threads) {}
    int32_t threadCount(int32_t maximum) override {
        return maximum > 0 ? std::min(threads_, maximum) : threads_;
    }

private:
    int32_t threads_;
};

struct Scene {
    int32_t width = 1920;
    int32_t height = 1080;
    std::vector<PixelRGBA16> source;
    std::vector<PixelRGBA16> output;
    std::vector<PixelGrayFloat> depth;

    explicit Scene(bool far_plane_only) {
        const size_t n = size_t(width) * size_t(height);
        source.resize(n);
        output.resize(n);
        depth.resize(n);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const size_t i = size_t(y) * size_t(width) + size_t(x);
                const double u = 0.5 + 0.5 * std::sin(x * 0.05) * std::cos(y * 0.031);
                const bool light = (x * 7 + y * 13) % 997 == 0;
                PixelRGBA16& p = source[i];
                p.channel[0] = 32768;
                p.channel[1] = uint16_t(light ? 32768 : 20000 * u);
                p.channel[2] = uint16_t(light ? 32768 : 12000 + 8000 * u);
                p.channel[3] = uint16_t(light ? 32768 : 30000 * (1 - u));
                double t;
                if (far_plane_only) {
                    t = 0.0;
                } else {
                    const double dx = x - 700.0, dy = y - 560.0;
                    if (dx * dx + dy * dy < 250.0 * 250.0)
                        t = 0.95;  // near object
                    else if (y > 700)
                        t = 0.3 + 0.4 * (y - 700) / 380.0;  // ground towards the camera
                    else
                        t = 0.05 + 0.1 * x / 1920.0;  // far wall
                }
                depth[i].channel[0] = float(t);
            }
    }

    void run(benchmark::State& state, double radius, double focal, int32_t threads) {
        BenchHost host(threads);
        ZblurSettings s;
        s.show = kZblurShowNormalBlur;
        s.radius = radius;
        s.focal = focal;
        s.facets = 6;
        s.rounded = 0.5;
        s.selection.enabled = true;
        s.selection.hue_end = 1.0;
        s.selection.saturation_end = 1.0;
        s.selection.lightness_start = 200.0 / 255.0;
        s.selection.lightness_end = 1.0;
        s.selection.hue_climax = s.selection.saturation_climax = s.selection.lightness_climax = 1.0;
        PixelArray<PixelRGBA16> src(source.data(), width, height);
        PixelArray<PixelRGBA16> out(output.data(), width, height);
        PixelArray<PixelGrayFloat> dep(depth.data(), width, height);
        for (auto _ : state) {
            ZblurFilter<PixelRGBA16, PixelGrayFloat> filter(&host, src, out, src, dep,
                                                            PixelArray<PixelRGBA16>(), s);
            if (filter.render() != host.noError()) state.SkipWithError("render failed");
        }
    }
};

void ZblurFilterScene(benchmark::State& state) {
    static Scene scene(false);
    scene.run(state, double(state.range(0)), 127.0, int32_t(state.range(1)));
}
BENCHMARK(ZblurFilterScene)
    ->Args({20, 1})
    ->Args({20, 2})
    ->Args({50, 2})
    ->Args({100, 1})
    ->Args({100, 2})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

void ZblurFilterFarPlane(benchmark::State& state) {
    static Scene scene(true);
    scene.run(state, double(state.range(0)), 255.0, 1);
}
BENCHMARK(ZblurFilterFarPlane)
    ->Arg(10)
    ->Arg(20)
    ->Arg(40)
    ->Arg(80)
    ->Arg(160)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace
