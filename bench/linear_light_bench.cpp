// The transfer functions of float frames: libm's pow per channel value, as the effects called
// it before, against the row functions, on one row of 1920 pixels (red, green and blue: 5760
// values) of values from 0 to 2 (mostly on the power segment, some highlights above 1).
// Counters: Mpix/s (millions of pixels, three channels each, per second of one thread).

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "imaging/linear_light.h"

namespace {

constexpr size_t kPixels = 1920;
constexpr size_t kValues = kPixels * 3;

template <class T>
const std::vector<T>& sample_row() {
    static const std::vector<T> row = [] {
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> value(0.0, 2.0);
        std::vector<T> r(kValues);
        for (T& v : r) v = T(value(rng));
        return r;
    }();
    return row;
}

void count_pixels(benchmark::State& state) {
    state.counters["Mpix/s"] = benchmark::Counter(double(state.iterations()) * kPixels * 1e-6,
                                                  benchmark::Counter::kIsRate);
}

// Argument: 0 to linear light, 1 to gamma.
template <class T>
void BM_LinearLightPow(benchmark::State& state) {
    const std::vector<T>& in = sample_row<T>();
    std::vector<T> out(kValues);
    const bool to_gamma = state.range(0) != 0;
    for (auto _ : state) {
        for (size_t i = 0; i < kValues; ++i) {
            const double v = double(in[i]);
            out[i] = T(to_gamma ? linear_to_bt709(v) : bt709_to_linear(v));
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK_TEMPLATE(BM_LinearLightPow, float)->Arg(0)->Arg(1);
BENCHMARK_TEMPLATE(BM_LinearLightPow, double)->Arg(0)->Arg(1);

// Arguments: direction as above, the implementation (index into linear_light_rows(): 0 is the
// portable loop, the last the one the effects use).
template <class T>
void BM_LinearLightRow(benchmark::State& state) {
    const std::vector<T>& in = sample_row<T>();
    std::vector<T> out(kValues);
    const auto rows = linear_light_rows();
    const size_t which = size_t(state.range(1));
    if (which >= rows.size()) {
        state.SkipWithError("implementation not available on this processor");
        return;
    }
    const LinearLightRows& r = rows[which];
    state.SetLabel(r.name);
    const bool to_gamma = state.range(0) != 0;
    for (auto _ : state) {
        if constexpr (sizeof(T) == sizeof(float)) {
            (to_gamma ? r.to_gamma_f : r.to_linear_f)(in.data(), out.data(), kValues);
        } else {
            (to_gamma ? r.to_gamma_d : r.to_linear_d)(in.data(), out.data(), kValues);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK_TEMPLATE(BM_LinearLightRow, float)->ArgsProduct({{0, 1}, {0, 1, 2, 3}});
BENCHMARK_TEMPLATE(BM_LinearLightRow, double)->ArgsProduct({{0, 1}, {0, 1, 2, 3}});

// The effects' per-pixel form: one call for the three channels of a pixel.
void BM_LinearLightPixelSpans(benchmark::State& state) {
    const std::vector<double>& in = sample_row<double>();
    std::vector<double> out(kValues);
    const bool to_gamma = state.range(0) != 0;
    for (auto _ : state) {
        for (size_t i = 0; i < kValues; i += 3) {
            if (to_gamma) {
                linear_to_bt709_row(in.data() + i, out.data() + i, 3);
            } else {
                bt709_to_linear_row(in.data() + i, out.data() + i, 3);
            }
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_LinearLightPixelSpans)->Arg(0)->Arg(1);

}  // namespace
