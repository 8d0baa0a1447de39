// Rectangle sums from a summed-area table: the cost must not grow with the rectangle, inside
// the image or across its edges, because whole mirrored and repeated periods are folded.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "framework/rectangle.h"
#include "framework/quillbrook_host.h"
#include "imaging/summed_area_table.h"
#include "imaging/zoom_filter.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

// Runs every parallel loop on the calling thread, so timings do not depend on the machine.
class SingleThreadHost : public QuillbrookHost {
public:
    SingleThreadHost() : QuillbrookHost("bench", "bench", "summed-area table bench", 1, 0, 0) {}
    int32_t threadCount(int32_t maximum) override {
        (void)maximum;
        return 1;
    }
};

// The table of one HD 8-bit frame, built once for every benchmark.
const SummedAreaTable<PixelRGBA8>& hd_table() {
    static std::vector<PixelRGBA8> pixels;
    static std::vector<SummedAreaEntry<PixelRGBA8>> entries;
    static SummedAreaTable<PixelRGBA8> table;
    if (entries.empty()) {
        std::mt19937 rng(1);
        pixels.resize(size_t(kWidth) * kHeight);
        for (PixelRGBA8& p : pixels) {
            for (auto& c : p.channel) c = uint8_t(rng());
        }
        entries.resize(pixels.size());
        const PixelArray<PixelRGBA8> source(pixels.data(), kWidth, kHeight);
        table = describe_summed_area_table(source, entries.data());
        SingleThreadHost host;
        build_table(0, 1, &host, source, table);
    }
    return table;
}

enum Placement : int64_t { kInside, kAcrossEdgesMirrored, kAcrossEdgesRepeated, kManyPeriods };

// Arguments: box side in pixels, placement. The box's lower corner walks over a few positions
// so that the reads do not all hit the same cache lines.
void BM_BoxSum(benchmark::State& state) {
    const SummedAreaTable<PixelRGBA8>& table = hd_table();
    const int32_t side = int32_t(state.range(0));
    const auto placement = Placement(state.range(1));
    OutsideMode mode = OutsideMode::color;
    int32_t x_base = 0;
    int32_t y_base = 0;
    switch (placement) {
        case kInside:
            x_base = (kWidth - side) / 2;
            y_base = (kHeight - side) / 2;
            break;
        case kAcrossEdgesMirrored:
        case kAcrossEdgesRepeated:
            mode = placement == kAcrossEdgesMirrored ? OutsideMode::mirrored_image
                                                     : OutsideMode::repeated_image;
            // Centred on the top left corner: the box crosses two edges.
            x_base = -side / 2;
            y_base = -side / 2;
            break;
        case kManyPeriods:
            mode = OutsideMode::mirrored_image;
            x_base = -side * 50;
            y_base = -side * 50;
            break;
    }
    const int32_t extent = placement == kManyPeriods ? side * 100 : side;
    double sums[4];
    int32_t step = 0;
    for (auto _ : state) {
        const int32_t dx = (step & 7) * 3;
        const int32_t dy = ((step >> 3) & 7) * 2;
        ++step;
        const int64_t area = box_sum(table, sums, mode, mode, x_base + dx, x_base + dx + extent,
                                     y_base + dy, y_base + dy + extent, kWidth, kHeight);
        benchmark::DoNotOptimize(sums);
        benchmark::DoNotOptimize(area);
    }
    state.SetLabel(placement == kInside                ? "inside"
                   : placement == kAcrossEdgesMirrored ? "across two edges, mirrored"
                   : placement == kAcrossEdgesRepeated ? "across two edges, repeated"
                                                       : "100 box sides wide, mirrored");
}

BENCHMARK(BM_BoxSum)
    ->ArgNames({"side", "placement"})
    ->ArgsProduct({{10, 1000},
                   {kInside, kAcrossEdgesMirrored, kAcrossEdgesRepeated, kManyPeriods}});

// The table build itself, for scale: one HD frame per iteration.
void BM_BuildTable(benchmark::State& state) {
    std::vector<PixelRGBA8> pixels(size_t(kWidth) * kHeight);
    std::mt19937 rng(2);
    for (PixelRGBA8& p : pixels) {
        for (auto& c : p.channel) c = uint8_t(rng());
    }
    std::vector<SummedAreaEntry<PixelRGBA8>> entries(pixels.size());
    const PixelArray<PixelRGBA8> source(pixels.data(), kWidth, kHeight);
    const SummedAreaTable<PixelRGBA8> table = describe_summed_area_table(source, entries.data());
    SingleThreadHost host;
    for (auto _ : state) {
        benchmark::DoNotOptimize(build_table(0, 1, &host, source, table));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kWidth * kHeight);
}

BENCHMARK(BM_BuildTable)->Unit(benchmark::kMillisecond);

// A whole zoom on one thread: an HD 8-bit frame halved into a float buffer, table included.
void BM_ZoomHalfHd(benchmark::State& state) {
    std::vector<PixelRGBA8> pixels(size_t(kWidth) * kHeight);
    std::mt19937 rng(3);
    for (PixelRGBA8& p : pixels) {
        for (auto& c : p.channel) c = uint8_t(rng());
    }
    std::vector<PixelRGBAFloat> out(size_t(kWidth / 2) * (kHeight / 2));
    SingleThreadHost host;
    ZoomFilter<PixelRGBA8, PixelRGBAFloat> zoom(
        &host, PixelArray<PixelRGBA8>(pixels.data(), kWidth, kHeight),
        PixelArray<PixelRGBAFloat>(out.data(), kWidth / 2, kHeight / 2));
    zoom.scale_x = zoom.scale_y = 2.0;
    zoom.horizontal_mode = zoom.vertical_mode = OutsideMode::mirrored_image;
    for (auto _ : state) {
        benchmark::DoNotOptimize(zoom.prepare_table());
        benchmark::DoNotOptimize(zoom.resample());
        benchmark::ClobberMemory();
    }
    zoom.release_table();
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

BENCHMARK(BM_ZoomHalfHd)->Unit(benchmark::kMillisecond);

}  // namespace
