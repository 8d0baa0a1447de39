#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "imaging/iris_kernel.h"
#include "framework/quillbrook_host.h"

// Building iris kernels: one polygon kernel by radius, and the set of 256 depth levels the
// depth-of-field effect builds per frame (level i of radius 50 i / 255, one block for all).

namespace {

struct IrisShape {
    int32_t facets;
    double rounded;
    double brightness;
};

// 0: hexagon, half rounded, no ring; 1: the same with a bright ring; 2: a 999-facet circle.
constexpr IrisShape kShapes[] = {{6, 0.5, 0.0}, {6, 0.5, 0.5}, {999, 1.0, 0.0}};

void BM_PolygonKernel(benchmark::State& state) {
    QuillbrookHost host("bench", "bench", "iris kernel", 1, 0, 0);
    const double radius = double(state.range(0));
    const IrisShape shape = kShapes[state.range(1)];
    std::vector<unsigned char> storage(polygon_kernel_size(1.0, radius, shape.brightness));
    IrisKernel kernel;
    for (auto _ : state) {
        build_polygon_kernel(storage.data(), shape.facets, &host, radius, shape.rounded, 0.3, 0.3,
                             shape.brightness, 1.0, kernel);
        benchmark::DoNotOptimize(kernel.total);
    }
    const int32_t last = 2 * kernel.row_bias;
    state.counters["records"] = double(kernel.row_first[last] + kernel.row_count[last] + 1);
}
BENCHMARK(BM_PolygonKernel)
    ->ArgsProduct({{10, 50, 100, 200, 500}, {0, 1, 2}})
    ->Unit(benchmark::kMicrosecond);

// The polygon kernel with every column evaluated, for comparison with the run skipping.
void BM_PolygonKernelEveryColumn(benchmark::State& state) {
    QuillbrookHost host("bench", "bench", "iris kernel", 1, 0, 0);
    const double radius = double(state.range(0));
    std::vector<unsigned char> storage(polygon_kernel_size(1.0, radius, 0.0));
    IrisKernel kernel;
    const IrisBuildOptions every_column{IrisScan::every_column, 0};
    for (auto _ : state) {
        build_polygon_kernel(storage.data(), 6, &host, radius, 0.5, 0.3, 0.3, 0.0, 1.0, kernel,
                             every_column);
        benchmark::DoNotOptimize(kernel.total);
    }
}
BENCHMARK(BM_PolygonKernelEveryColumn)
    ->Arg(10)
    ->Arg(50)
    ->Arg(100)
    ->Arg(500)
    ->Unit(benchmark::kMicrosecond);

void BM_DepthLevelKernels(benchmark::State& state) {
    QuillbrookHost host("bench", "bench", "iris kernel", 1, 0, 0);
    const IrisShape shape = kShapes[state.range(0)];
    std::vector<size_t> offset(257, 0);
    for (int32_t i = 0; i < 256; ++i)
        offset[size_t(i) + 1] =
            offset[size_t(i)] + polygon_kernel_size(1.0, 50.0 * i / 255.0, shape.brightness);
    std::vector<unsigned char> store(offset[256]);
    std::vector<IrisKernel> kernels(256);
    for (auto _ : state) {
        for (int32_t i = 0; i < 256; ++i) {
            build_polygon_kernel(store.data() + offset[size_t(i)], shape.facets, &host,
                                 50.0 * i / 255.0, shape.rounded, 0.3, 0.3, shape.brightness, 1.0,
                                 kernels[size_t(i)]);
        }
        benchmark::DoNotOptimize(kernels.back().total);
    }
}
BENCHMARK(BM_DepthLevelKernels)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
