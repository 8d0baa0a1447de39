// The depth-of-field sweep's innermost loops on their own, on data that stays in the first-level
// cache, to see what each code path costs per source apart from the rest of the frame:
//   ScatterKernelRow/<code>/<run>: one kernel row of a polygon iris of radius 50 (anti-aliased
//     ramps of three changes at both edges) spread from a run of <run> sources;
//   GatherKernelRow/<code>/<run>: the background collection over the same row.
// <code> is 0 portable, 1 AVX2, 2 AVX-512; a path the processor lacks is skipped. Items are
// sources.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "zblur/row_sweep_loops.h"

namespace {

constexpr SweepCode kCodes[] = {SweepCode::portable, SweepCode::avx2, SweepCode::avx512};
constexpr int32_t kRadius = 50;

// Changes in 1/65536 of a weight: up over the left ramp, down over the right one.
std::vector<LevelStep> polygon_row() {
    std::vector<LevelStep> row;
    for (int32_t t = 0; t < 3; ++t) row.push_back(LevelStep{21845, 0, -kRadius + t});
    for (int32_t t = 0; t < 3; ++t) row.push_back(LevelStep{-21845, 0, kRadius - 2 + t});
    row.push_back(LevelStep{0, 0, kIrisRowEnd});
    return row;
}

struct SweepData {
    std::vector<LevelStep> steps = polygon_row();
    int32_t first = kRadius + 1;
    std::vector<ZblurSourceRecord> records;
    std::vector<ZblurLevelSums<int64_t>> changes;
    std::vector<ZblurBackgroundPrefix> prefix;

    explicit SweepData(int32_t run) {
        const size_t columns = size_t(first + run + kRadius + 2);
        std::mt19937 rng(3);
        // Colours up to 2^16: the change sums are never reset, and a column gains at most
        // 3 x 21845 x 2^16 an iteration, so 64 bits last 6e9 iterations.
        std::uniform_int_distribution<int32_t> colour(0, 1 << 16);
        std::uniform_real_distribution<float> deposit(0.0f, 1.0e4f);
        records.resize(columns, ZblurSourceRecord{});
        for (ZblurSourceRecord& r : records)
            for (int32_t& c : r.colour) c = colour(rng);
        changes.resize(columns, ZblurLevelSums<int64_t>{});
        prefix.resize(columns + 1, ZblurBackgroundPrefix{});
        for (ZblurBackgroundPrefix& p : prefix)
            for (int c = 0; c < 5; ++c) p.v[c] = deposit(rng);
    }
};

bool skip_missing(benchmark::State& state, SweepCode code) {
    if (sweep_code_available(code)) return false;
    state.SkipWithError("this processor lacks the code path");
    return true;
}

void BM_ScatterKernelRow(benchmark::State& state) {
    const SweepCode code = kCodes[state.range(0)];
    if (skip_missing(state, code)) return;
    const int32_t run = int32_t(state.range(1));
    SweepData d(run);
    for (auto _ : state) {
        scatter_kernel_row(d.steps.data(), d.records.data(), d.first, d.first + run,
                           d.changes.data(), code);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * run);
    state.SetLabel(sweep_code_name(code));
}

void BM_GatherKernelRow(benchmark::State& state) {
    const SweepCode code = kCodes[state.range(0)];
    if (skip_missing(state, code)) return;
    const int32_t run = int32_t(state.range(1));
    SweepData d(run);
    for (auto _ : state) {
        gather_kernel_row(d.steps.data(), d.records.data(), d.first, d.first + run,
                          d.prefix.data(), code);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * run);
    state.SetLabel(sweep_code_name(code));
}

}  // namespace

BENCHMARK(BM_ScatterKernelRow)->ArgsProduct({{0, 1, 2}, {8, 64}})->ArgNames({"code", "run"});
BENCHMARK(BM_GatherKernelRow)->ArgsProduct({{0, 1, 2}, {8, 64}})->ArgNames({"code", "run"});
