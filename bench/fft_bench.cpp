// Our real 2D transform against FFTW on the sizes of an HD frame's blur: a 2048 x 2048 buffer
// of 4 interleaved channels (RGBA float), and the whole frequency-domain convolution of a
// 1920 x 1080 frame padded to 2048 x 2048: forward image, forward kernel (1 channel), spectrum
// multiplication, inverse image. Both sides work in place on buffers of the same size and run
// with 1 and 2 threads (the benchmark argument). FFTW plans use FFTW_MEASURE and are made once,
// outside the timings; refilling the input before each iteration is not timed either.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "evenblur/multiply_complex_half_filter.h"
#include "framework/quillbrook_host.h"
#include "evenblur/real_fft_filter.h"

#if QB_BENCH_FFTW
#include <fftw3.h>
#endif

namespace {

constexpr int32_t kN = 2048;            // transform width and height
constexpr int32_t kRowFloats = kN + 2;  // floats per channel and row, spatial and spectral
constexpr int32_t kFrameHeight = 1080;
// Rows that hold image data in the blur of an HD frame with radius 20 (frame height plus the
// margin of 2 * 21 rows): the forward row pass of our transform skips the rest, which are
// zero, and the inverse reconstructs one more.
constexpr int32_t kImageRows = kFrameHeight + 42;

class BenchHost : public QuillbrookHost {
public:
    explicit BenchHost(int32_t threads)
        : QuillbrookHost("bench", "bench", "fft bench", 1, 0, 0), threads_(threads) {}
    int32_t threadCount(int32_t maximum) override {
        return maximum > 0 ? std::min(threads_, maximum) : threads_;
    }

private:
    int32_t threads_;
};

// 16-byte aligned float storage that FFTW and our filters can both use.
class FloatBuffer {
public:
    explicit FloatBuffer(size_t count)
        : data_(static_cast<float*>(::operator new[](count * sizeof(float), std::align_val_t{64}))),
          count_(count) {}
    ~FloatBuffer() { ::operator delete[](data_, std::align_val_t{64}); }
    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;
    float* data() const { return data_; }
    size_t count() const { return count_; }
    size_t bytes() const { return count_ * sizeof(float); }

private:
    float* data_;
    size_t count_;
};

// Random frame samples in rows below `rows`, zeros elsewhere, for C interleaved channels.
std::vector<float> makeInput(int channels, int32_t rows, uint32_t seed) {
    std::vector<float> v(size_t(kRowFloats) * kN * channels, 0.0f);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    for (int32_t y = 0; y < rows; ++y)
        for (int32_t x = 0; x < 1920 * channels; ++x)
            v[size_t(y) * kRowFloats * channels + x] = value(random);
    return v;
}

const std::vector<float>& imageInput() {
    static const std::vector<float> input = makeInput(4, kImageRows, 1);
    return input;
}
const std::vector<float>& kernelInput() {
    static const std::vector<float> input = [] {
        std::vector<float> v(size_t(kRowFloats) * kN, 0.0f);
        // A disc of radius 20 wrapped around the origin, as the kernel centring leaves it.
        for (int32_t dy = -20; dy <= 20; ++dy)
            for (int32_t dx = -20; dx <= 20; ++dx)
                if (dx * dx + dy * dy <= 400)
                    v[size_t((dy + kN) % kN) * kRowFloats + size_t((dx + kN) % kN)] = 1.0f;
        return v;
    }();
    return input;
}

template <class P>
PixelArray<P> describe(FloatBuffer& b) {
    return PixelArray<P>(b.data(), kRowFloats, kN, kRowFloats * int32_t(sizeof(P)));
}

template <class P>
void ourForward(benchmark::State& state) {
    constexpr int channels = int(sizeof(P) / sizeof(float));
    BenchHost host(int32_t(state.range(0)));
    const std::vector<float> input = makeInput(channels, kN, 1);
    FloatBuffer buffer(input.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(buffer.data(), input.data(), buffer.bytes());
        state.ResumeTiming();
        RealFFFFilter<P> fft(&host, describe<P>(buffer));
        fft.data_rows = kN;
        if (fft.forward(0, 1) != host.noError()) state.SkipWithError("forward failed");
        benchmark::ClobberMemory();
    }
}

// data_rows: kN transforms every row as FFTW does; kImageRows is what the blur asks for.
void ourConvolution(benchmark::State& state, int32_t data_rows) {
    BenchHost host(int32_t(state.range(0)));
    FloatBuffer image(imageInput().size());
    FloatBuffer kernel(kernelInput().size());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(image.data(), imageInput().data(), image.bytes());
        std::memcpy(kernel.data(), kernelInput().data(), kernel.bytes());
        state.ResumeTiming();
        RealFFFFilter<PixelGrayFloat> kernel_fft(&host, describe<PixelGrayFloat>(kernel));
        kernel_fft.data_rows = kN;
        RealFFFFilter<PixelRGBAFloat> image_fft(&host, describe<PixelRGBAFloat>(image));
        image_fft.data_rows = data_rows;
        MultiplyComplexHalfFilter<PixelRGBAFloat, PixelGrayFloat> multiply(
            &host, describe<PixelRGBAFloat>(image), describe<PixelGrayFloat>(kernel));
        int32_t result = kernel_fft.forward(0, 4);
        if (result == host.noError()) result = image_fft.forward(1, 4);
        if (result == host.noError()) result = multiply.render(2, 4);
        if (result == host.noError()) result = image_fft.inverse(3, 4);
        if (result != host.noError()) state.SkipWithError("convolution failed");
        benchmark::ClobberMemory();
    }
}

BENCHMARK(ourForward<PixelRGBAFloat>)
    ->Name("Forward2048x2048x4/ours")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
// The other two buffers of the effect: the gray kernel and the weighted colour buffer.
BENCHMARK(ourForward<PixelGrayFloat>)
    ->Name("Forward2048x2048x1/ours")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ourForward<PixelSpectrum>)
    ->Name("Forward2048x2048x5/ours")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ourConvolution, all_rows, kN)
    ->Name("Convolution2048x2048/ours_all_rows")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ourConvolution, image_rows, kImageRows)
    ->Name("Convolution2048x2048/ours_image_rows")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

#if QB_BENCH_FFTW

// In-place r2c / c2r over `channels` interleaved channels: real sample (y, x, c) at float
// (y * 2050 + x) * channels + c, complex coefficient (y, k, c) at complex (y * 1025 + k) *
// channels + c.
fftwf_plan planFftw(float* data, int channels, bool forward, int threads) {
    fftwf_plan_with_nthreads(threads);
    const int n[2] = {kN, kN};
    const int real_embed[2] = {kN, kRowFloats};
    const int complex_embed[2] = {kN, kRowFloats / 2};
    auto* complex_data = reinterpret_cast<fftwf_complex*>(data);
    if (forward) {
        return fftwf_plan_many_dft_r2c(2, n, channels, data, real_embed, channels, 1, complex_data,
                                       complex_embed, channels, 1, FFTW_MEASURE);
    }
    return fftwf_plan_many_dft_c2r(2, n, channels, complex_data, complex_embed, channels, 1, data,
                                   real_embed, channels, 1, FFTW_MEASURE);
}

// The buffers and plans of one thread count, made on first use (planning with FFTW_MEASURE
// overwrites the buffers, so it happens before any input is copied in).
struct FftwSetup {
    FloatBuffer image{size_t(kRowFloats) * kN * 4};
    FloatBuffer kernel{size_t(kRowFloats) * kN};
    fftwf_plan image_forward = nullptr;
    fftwf_plan image_inverse = nullptr;
    fftwf_plan kernel_forward = nullptr;

    explicit FftwSetup(int threads) {
        image_forward = planFftw(image.data(), 4, true, threads);
        image_inverse = planFftw(image.data(), 4, false, threads);
        kernel_forward = planFftw(kernel.data(), 1, true, threads);
    }
    ~FftwSetup() {
        fftwf_destroy_plan(image_forward);
        fftwf_destroy_plan(image_inverse);
        fftwf_destroy_plan(kernel_forward);
    }
    bool valid() const { return image_forward && image_inverse && kernel_forward; }

    static FftwSetup& get(int threads) {
        static bool initialised = (fftwf_init_threads() != 0);
        (void)initialised;
        static std::map<int, std::unique_ptr<FftwSetup>> setups;
        std::unique_ptr<FftwSetup>& setup = setups[threads];
        if (!setup) setup = std::make_unique<FftwSetup>(threads);
        return *setup;
    }
};

// The spectrum product in FFTW's layout, one row per work item on our thread pool (the same
// parallel machinery as our own multiplication).
struct FftwMultiply {
    float* image;
    const float* kernel;
    int32_t run(int32_t y, int32_t, int32_t) {
        float* a = image + size_t(y) * kRowFloats * 4;
        const float* b = kernel + size_t(y) * kRowFloats;
        for (int32_t k = 0; k < kRowFloats / 2; ++k) {
            const float br = b[2 * k], bi = b[2 * k + 1];
            for (int c = 0; c < 4; ++c) {
                float* z = a + (size_t(k) * 4 + c) * 2;
                const float zr = z[0], zi = z[1];
                z[0] = zr * br - zi * bi;
                z[1] = zr * bi + zi * br;
            }
        }
        return 0;
    }
};

void fftwForward(benchmark::State& state) {
    const int threads = int(state.range(0));
    FftwSetup& setup = FftwSetup::get(threads);
    if (!setup.valid()) {
        state.SkipWithError("FFTW could not plan the transform");
        return;
    }
    const std::vector<float> input = makeInput(4, kN, 1);
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(setup.image.data(), input.data(), setup.image.bytes());
        state.ResumeTiming();
        fftwf_execute(setup.image_forward);
        benchmark::ClobberMemory();
    }
}

void fftwConvolution(benchmark::State& state) {
    const int threads = int(state.range(0));
    FftwSetup& setup = FftwSetup::get(threads);
    if (!setup.valid()) {
        state.SkipWithError("FFTW could not plan the transform");
        return;
    }
    BenchHost host(threads);
    FftwMultiply multiply{setup.image.data(), setup.kernel.data()};
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(setup.image.data(), imageInput().data(), setup.image.bytes());
        std::memcpy(setup.kernel.data(), kernelInput().data(), setup.kernel.bytes());
        state.ResumeTiming();
        fftwf_execute(setup.kernel_forward);
        fftwf_execute(setup.image_forward);
        host.runParallelOn<&FftwMultiply::run>(kN, &multiply);
        fftwf_execute(setup.image_inverse);
        benchmark::ClobberMemory();
    }
}

// For context: FFTW's own best layout for the same amount of work, four separate single-channel
// planes transformed one after the other with the plan of the kernel transform.
void fftwForwardPlanar(benchmark::State& state) {
    const int threads = int(state.range(0));
    FftwSetup& setup = FftwSetup::get(threads);
    if (!setup.valid()) {
        state.SkipWithError("FFTW could not plan the transform");
        return;
    }
    const std::vector<float> input = makeInput(1, kN, 1);
    std::vector<std::unique_ptr<FloatBuffer>> planes;
    for (int c = 0; c < 4; ++c) planes.push_back(std::make_unique<FloatBuffer>(input.size()));
    for (auto _ : state) {
        state.PauseTiming();
        for (auto& plane : planes) std::memcpy(plane->data(), input.data(), plane->bytes());
        state.ResumeTiming();
        for (auto& plane : planes) {
            fftwf_execute_dft_r2c(setup.kernel_forward, plane->data(),
                                  reinterpret_cast<fftwf_complex*>(plane->data()));
        }
        benchmark::ClobberMemory();
    }
}

BENCHMARK(fftwForward)
    ->Name("Forward2048x2048x4/fftw")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(fftwForwardPlanar)
    ->Name("Forward2048x2048x4/fftw_planar")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(fftwConvolution)
    ->Name("Convolution2048x2048/fftw")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

#endif  // QB_BENCH_FFTW

}  // namespace
