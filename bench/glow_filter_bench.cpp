// Kernel smoothing: running sums make the cost of a pass depend on the image size only, so the
// time per frame must stay flat from radius 1 up to radii far beyond the image.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "evenblur/glow_filter.h"
#include "framework/rectangle.h"
#include "framework/quillbrook_host.h"

namespace {

constexpr int32_t kSize = 512;

template <class P>
void smooth_kernel_image(benchmark::State& state) {
    std::vector<P> pixels(size_t(kSize) * kSize);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    for (P& p : pixels) {
        for (auto& c : p.channel) c = value(rng);
    }
    QuillbrookHost host("bench", "bench", "glow filter bench", 1, 0, 0);
    const double radius = double(state.range(0)) + 0.5;
    for (auto _ : state) {
        GlowFilter<P> filter(&host, PixelArray<P>(pixels.data(), kSize, kSize, 0, true), radius,
                             radius);
        benchmark::DoNotOptimize(filter.render(0, 1));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kSize) * kSize);
}

void BM_GlowGray(benchmark::State& state) { smooth_kernel_image<PixelGrayFloat>(state); }
void BM_GlowRGBA(benchmark::State& state) { smooth_kernel_image<PixelRGBAFloat>(state); }

BENCHMARK(BM_GlowGray)->Arg(1)->Arg(8)->Arg(64)->Arg(511)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GlowRGBA)->Arg(1)->Arg(8)->Arg(64)->Arg(511)->Arg(4096)->Unit(benchmark::kMillisecond);

}  // namespace
