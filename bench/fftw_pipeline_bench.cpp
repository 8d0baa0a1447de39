// FFTW's frequency-domain blur pipeline, the peer of EvenblurHostFrame: the same 1920x1080
// float scene, on the transform size Evenblur picks for the radius (EvenblurSizes: 2048x2048
// for radius 20 and 50, 4096x2048 for 100), every stage a frame needs:
//   pad      the frame's RGBA rows into the (Nw + 2) x Nh buffer, zeros around them;
//   kernel   a disc of the radius, weights summing to 1, wrapped around the origin of its own
//            buffer (zeros elsewhere);
//   forward  r2c of the kernel (1 channel) and of the image (4 interleaved channels), in place;
//   product  the image spectrum times the kernel's;
//   inverse  c2r of the image;
//   crop     the frame's pixels out of the buffer, scaled by 1 / (Nw Nh), into an RGBA frame.
// Plans are FFTW_MEASURE, made once per size and thread count before the timings, with
// fftwf_plan_with_nthreads(threads); pad, kernel, product and crop run on the same number of
// threads, split by rows. FFTW has no linear-light, highlight or outside-mode stages, which
// Evenblur's frame includes.
//
// FFTW is a dependency of this benchmark only (found when installed, optional).

#if QB_BENCH_FFTW

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <thread>
#include <tuple>
#include <vector>

#include "evenblur/evenblur_filter.h"
#include "bench/host_frame_scene.h"

namespace {

constexpr int kW = kBenchFrameWidth;
constexpr int kH = kBenchFrameHeight;

// Rows [0, rows) split into `threads` contiguous parts, the calling thread taking the first.
template <class F>
void parallelRows(int threads, int rows, const F& f) {
    std::vector<std::thread> workers;
    for (int t = 1; t < threads; ++t) {
        workers.emplace_back([&, t] { f(rows * t / threads, rows * (t + 1) / threads); });
    }
    f(0, rows / threads);
    for (std::thread& w : workers) w.join();
}

class AlignedFloats {
public:
    explicit AlignedFloats(size_t count)
        : data_(
              static_cast<float*>(::operator new[](count * sizeof(float), std::align_val_t{64}))) {
        std::memset(data_, 0, count * sizeof(float));
    }
    ~AlignedFloats() { ::operator delete[](data_, std::align_val_t{64}); }
    AlignedFloats(const AlignedFloats&) = delete;
    AlignedFloats& operator=(const AlignedFloats&) = delete;
    float* data() const { return data_; }

private:
    float* data_;
};

// Buffers and plans of one transform size and thread count. Real sample (y, x, c) of a buffer of
// C channels is float (y * (Nw + 2) + x) * C + c; complex coefficient (y, k, c) is complex
// (y * (Nw / 2 + 1) + k) * C + c.
struct Pipeline {
    int nw;
    int nh;
    int threads;
    size_t row_floats;  // Nw + 2
    AlignedFloats image;
    AlignedFloats kernel;
    std::vector<float> output;
    fftwf_plan kernel_forward = nullptr;
    fftwf_plan image_forward = nullptr;
    fftwf_plan image_inverse = nullptr;

    Pipeline(int width, int height, int thread_count)
        : nw(width), nh(height), threads(thread_count), row_floats(size_t(width) + 2),
          image(row_floats * size_t(height) * 4), kernel(row_floats * size_t(height)),
          output(size_t(kW) * kH * 4) {
        fftwf_plan_with_nthreads(threads);
        kernel_forward = plan(kernel.data(), 1, true);
        image_forward = plan(image.data(), 4, true);
        image_inverse = plan(image.data(), 4, false);
    }
    ~Pipeline() {
        for (fftwf_plan p : {kernel_forward, image_forward, image_inverse}) {
            if (p != nullptr) fftwf_destroy_plan(p);
        }
    }
    bool valid() const { return kernel_forward && image_forward && image_inverse; }

    fftwf_plan plan(float* data, int channels, bool forward) {
        const int n[2] = {nh, nw};
        const int real_embed[2] = {nh, int(row_floats)};
        const int complex_embed[2] = {nh, int(row_floats / 2)};
        auto* spectrum = reinterpret_cast<fftwf_complex*>(data);
        if (forward) {
            return fftwf_plan_many_dft_r2c(2, n, channels, data, real_embed, channels, 1, spectrum,
                                           complex_embed, channels, 1, FFTW_MEASURE);
        }
        return fftwf_plan_many_dft_c2r(2, n, channels, spectrum, complex_embed, channels, 1, data,
                                       real_embed, channels, 1, FFTW_MEASURE);
    }

    void run(const float* frame, int radius) {
        const size_t image_row = row_floats * 4;
        parallelRows(threads, nh, [&](int from, int to) {
            for (int y = from; y < to; ++y) {
                float* row = image.data() + size_t(y) * image_row;
                if (y < kH) {
                    std::memcpy(row, frame + size_t(y) * kW * 4, size_t(kW) * 4 * sizeof(float));
                    std::memset(row + size_t(kW) * 4, 0,
                                (image_row - size_t(kW) * 4) * sizeof(float));
                } else {
                    std::memset(row, 0, image_row * sizeof(float));
                }
            }
        });
        int count = 0;
        for (int dy = -radius; dy <= radius; ++dy)
            for (int dx = -radius; dx <= radius; ++dx)
                count += dx * dx + dy * dy <= radius * radius;
        const float weight = 1.0f / float(count);
        parallelRows(threads, nh, [&](int from, int to) {
            for (int y = from; y < to; ++y) {
                float* row = kernel.data() + size_t(y) * row_floats;
                std::memset(row, 0, row_floats * sizeof(float));
                const int dy = y <= nh / 2 ? y : y - nh;
                if (dy < -radius || dy > radius) continue;
                for (int dx = -radius; dx <= radius; ++dx) {
                    if (dx * dx + dy * dy <= radius * radius) row[(dx + nw) % nw] = weight;
                }
            }
        });
        fftwf_execute(kernel_forward);
        fftwf_execute(image_forward);
        const size_t spectrum_columns = row_floats / 2;
        parallelRows(threads, nh, [&](int from, int to) {
            for (int y = from; y < to; ++y) {
                float* a = image.data() + size_t(y) * image_row;
                const float* b = kernel.data() + size_t(y) * row_floats;
                for (size_t k = 0; k < spectrum_columns; ++k) {
                    const float br = b[2 * k];
                    const float bi = b[2 * k + 1];
                    for (size_t c = 0; c < 4; ++c) {
                        float* z = a + (k * 4 + c) * 2;
                        const float zr = z[0];
                        const float zi = z[1];
                        z[0] = zr * br - zi * bi;
                        z[1] = zr * bi + zi * br;
                    }
                }
            }
        });
        fftwf_execute(image_inverse);
        const float scale = 1.0f / (float(nw) * float(nh));
        parallelRows(threads, kH, [&](int from, int to) {
            for (int y = from; y < to; ++y) {
                const float* row = image.data() + size_t(y) * image_row;
                float* out = output.data() + size_t(y) * kW * 4;
                for (size_t i = 0; i < size_t(kW) * 4; ++i) out[i] = row[i] * scale;
            }
        });
    }

    static Pipeline& get(int width, int height, int threads) {
        static const bool initialised = fftwf_init_threads() != 0;
        (void)initialised;
        static std::map<std::tuple<int, int, int>, std::unique_ptr<Pipeline>> made;
        std::unique_ptr<Pipeline>& p = made[{width, height, threads}];
        if (!p) p = std::make_unique<Pipeline>(width, height, threads);
        return *p;
    }
};

void fftwPipeline(benchmark::State& state) {
    const int radius = int(state.range(0));
    const int threads = int(state.range(1));
    // Evenblur's transform size for this radius (no smoothing, full resolution).
    const EvenblurSizes sizes = EvenblurSizes::of(kW, kH, radius, 0.0, 1.0, 1.0);
    Pipeline& pipeline = Pipeline::get(sizes.fft_width, sizes.fft_height, threads);
    if (!pipeline.valid()) {
        state.SkipWithError("FFTW could not plan the transforms");
        return;
    }
    const float* frame = benchScene().samplesFloat().data();
    for (auto _ : state) {
        pipeline.run(frame, radius);
        benchmark::ClobberMemory();
    }
    state.counters["Nw"] = sizes.fft_width;
    state.counters["Nh"] = sizes.fft_height;
}

BENCHMARK(fftwPipeline)
    ->Name("FftwPipeline")
    ->ArgNames({"radius", "threads"})
    ->ArgsProduct({{20, 50, 100}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

#endif  // QB_BENCH_FFTW
