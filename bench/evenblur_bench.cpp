// The whole lens blur of one 1920 x 1080 16-bit frame (what "normal blur" does with a radius
// and no background layer): kernel, fill, transforms, product, output, at radius 20, 50 and 100
// with 1 and 2 threads. The counters give each stage's time per frame (from the effect's own
// measurements) and the peak of the memory obtained from the render context.
//
// Compare with Convolution2048x2048/fftw of fft_bench.cpp, FFTW's pipeline on the buffer of the
// radius-50 frame, run in the same invocation:
//   qb_bench --benchmark_filter='EvenblurFrame|Convolution2048x2048/fftw'

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "evenblur/evenblur_filter.h"
#include "framework/quillbrook_host.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

// Blocks given back by one frame, kept for the next, as a host's memory pool keeps them: the
// timings then hold no first-touch page faults, just as FFTW's buffers in fft_bench.cpp are
// made once.
class BlockCache {
public:
    ~BlockCache() {
        for (auto& [bytes, blocks] : free_)
            for (void* block : blocks) ::operator delete[](block, std::align_val_t{64});
    }
    void* take(size_t bytes) {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<void*>& blocks = free_[bytes];
        if (!blocks.empty()) {
            void* block = blocks.back();
            blocks.pop_back();
            return block;
        }
        return ::operator new[](bytes, std::align_val_t{64});
    }
    void give(void* block, size_t bytes) {
        std::lock_guard<std::mutex> guard(lock_);
        free_[bytes].push_back(block);
    }

private:
    std::mutex lock_;
    std::map<size_t, std::vector<void*>> free_;
};

BlockCache& cache() {
    static BlockCache blocks;
    return blocks;
}

// The render context of a benchmark: a chosen thread count, blocks from the cache, and the
// peak of the bytes held.
class FrameHost : public QuillbrookHost {
public:
    explicit FrameHost(int32_t threads)
        : QuillbrookHost("bench", "bench", "evenblur bench", 1, 0, 0), threads_(threads) {}
    int32_t threadCount(int32_t maximum) override {
        return maximum > 0 ? std::min(threads_, maximum) : threads_;
    }
    void* allocate(size_t bytes) override {
        void* block = cache().take(bytes);
        std::lock_guard<std::mutex> guard(lock_);
        sizes_[block] = bytes;
        held_ += bytes;
        peak_ = std::max(peak_, held_);
        return block;
    }
    void release(void* block) override {
        if (block == nullptr) return;
        size_t bytes;
        {
            std::lock_guard<std::mutex> guard(lock_);
            bytes = sizes_[block];
            held_ -= bytes;
            sizes_.erase(block);
        }
        cache().give(block, bytes);
    }
    size_t peak() const { return peak_; }

private:
    int32_t threads_;
    std::mutex lock_;
    std::map<void*, size_t> sizes_;
    size_t held_ = 0;
    size_t peak_ = 0;
};

// A frame with edges and highlights: a colour gradient, a grid of bright dots, dark stripes.
const std::vector<PixelRGBA16>& frame() {
    static const std::vector<PixelRGBA16> pixels = [] {
        std::vector<PixelRGBA16> v(size_t(kWidth) * kHeight);
        for (int32_t y = 0; y < kHeight; ++y)
            for (int32_t x = 0; x < kWidth; ++x) {
                PixelRGBA16& p = v[size_t(y) * kWidth + x];
                const bool dot = (x % 97) < 3 && (y % 89) < 3;
                const bool stripe = (x / 40) % 5 == 0;
                alpha_of(p) = 32768;
                red_of(p) = uint16_t(dot ? 32768 : stripe ? 2000 : x * 32768 / kWidth);
                green_of(p) = uint16_t(dot ? 32768 : stripe ? 2000 : y * 32768 / kHeight);
                blue_of(p) = uint16_t(dot ? 32768 : 12000);
            }
        return v;
    }();
    return pixels;
}

// Total seconds of one measured stage, from the report line "... | summ:  0.012s (...) - name"
// (millisecond resolution).
double stage_seconds(Measure& measure, const std::string& name) {
    std::istringstream report(measure.report());
    std::string line;
    const std::string suffix = " - " + name;
    while (std::getline(report, line)) {
        if (line.size() < suffix.size() ||
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const size_t at = line.find("summ:");
        if (at == std::string::npos) return 0.0;
        return std::stod(line.substr(at + 5));
    }
    return 0.0;
}

void evenblurFrame(benchmark::State& state) {
    const double radius = double(state.range(0));
    const int32_t threads = int32_t(state.range(1));
    std::vector<PixelRGBA16> source = frame();
    std::vector<PixelRGBA16> output(source.size());
    PixelArray<PixelRGBA16> src(source.data(), kWidth, kHeight);
    PixelArray<PixelRGBA16> out(output.data(), kWidth, kHeight);
    EvenblurSettings settings;
    settings.radius = radius;

    static const char* const kStages[] = {"Evenblur kernel",           "Evenblur fill",
                                          "Evenblur forward (kernel)", "Evenblur forward (image)",
                                          "Evenblur multiply",         "Evenblur inverse",
                                          "Evenblur process"};
    std::map<std::string, double> stage_totals;
    size_t peak = 0;
    int64_t frames = 0;
    {
        // One frame before the timings fills the block cache, as a host's pool is warm.
        FrameHost host(threads);
        EvenblurFilter<PixelRGBA16, PixelGrayFloat> blur(&host, settings, src, out, src, {});
        blur.render(0, 1);
    }
    for (auto _ : state) {
        FrameHost host(threads);
        EvenblurFilter<PixelRGBA16, PixelGrayFloat> blur(&host, settings, src, out, src, {});
        if (blur.render(0, 1) != host.noError()) state.SkipWithError("blur failed");
        benchmark::ClobberMemory();
        state.PauseTiming();
        for (const char* stage : kStages)
            stage_totals[stage] += stage_seconds(host.measure(), stage);
        peak = std::max(peak, host.peak());
        ++frames;
        state.ResumeTiming();
    }
    for (const char* stage : kStages) {
        state.counters[std::string(stage).substr(9) + " ms"] =
            frames > 0 ? stage_totals[stage] * 1000.0 / double(frames) : 0.0;
    }
    state.counters["peak MB"] = double(peak) / (1024.0 * 1024.0);
}

BENCHMARK(evenblurFrame)
    ->Name("EvenblurFrame1920x1080x16")
    ->ArgNames({"radius", "threads"})
    ->ArgsProduct({{20, 50, 100}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
