#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "evenblur/fft_vector.h"
#include "imaging/pixel_array.h"
#include "framework/quillbrook_exception.h"
#include "imaging/quillbrook_filter.h"

// Multiplies the half spectrum A (the image, in place) by the half spectrum B (the kernel,
// read only), element by element, both in the layout RealFFFFilter::forward leaves: pixel 2k
// holds the real parts, pixel 2k + 1 the imaginary parts of the C channels of element k.
//
// Channel pairing: a B of one float (Gray float) multiplies every channel of A; a B of four
// floats (RGBA float) multiplies alpha, red, green and blue of A with the same channel, and
// A's fifth float (the weight of the Spectrum pixel) with B's alpha. Products are formed in
// single precision, by the widest vectors the processor has (fft_vector.h). One task per row of A; progress after each row is
// (y + height * pass_index, height * pass_count).
template <class A, class B>
class MultiplyComplexHalfFilter : public QuillbrookFilter {
public:
    static constexpr int kChannelsA = int(sizeof(A) / sizeof(float));
    static constexpr int kChannelsB = int(sizeof(B) / sizeof(float));
    static_assert(A::is_float && std::is_same_v<typename A::channel_type, float> &&
                      sizeof(A) == sizeof(float) * (A::channel_count + A::extra_count),
                  "the image spectrum is a pixel of floats only");
    static_assert(B::is_float && std::is_same_v<typename B::channel_type, float> &&
                      sizeof(B) == sizeof(float) * (B::channel_count + B::extra_count),
                  "the kernel spectrum is a pixel of floats only");
    static_assert(kChannelsA == 4 || kChannelsA == 5, "the image spectrum has 4 or 5 floats");
    static_assert(kChannelsB == 1 || kChannelsB == 4, "the kernel spectrum has 1 or 4 floats");
    static_assert(kChannelsB == 1 || B::layout::channels == 4, "a 4-float kernel is RGBA");

    // Channel of B that multiplies A's fifth float.
    static constexpr int kWeightPartner = kChannelsB == 1 ? 0 : B::layout::alpha;

    MultiplyComplexHalfFilter(QuillbrookHost* host_in, PixelArray<A> a_in, PixelArray<B> b_in)
        : QuillbrookFilter(host_in), a(a_in), b(b_in) {}

    virtual int32_t render(int32_t index, int32_t count) {
        pass_index = index;
        pass_count = count;
        no_error_ = host->noError();
        kernels_ = kernels != nullptr ? kernels : &fft_vector::bestKernels();
        if (a.height <= 0 || a.width < 2) return no_error_;
        check();
        return host->runParallelOn<&MultiplyComplexHalfFilter::process>(a.height, this);
    }

    PixelArray<A> a;
    PixelArray<B> b;
    int32_t pass_index = 0;
    int32_t pass_count = 1;
    // The build of the vector kernels; null chooses the widest the processor runs.
    const fft_vector::Kernels* kernels = nullptr;

private:
    void check() const {
        std::string problem;
        if (a.data == nullptr || b.data == nullptr) {
            problem = "a spectrum has no data";
        } else if (b.width / 2 < a.width / 2 || b.height < a.height) {
            problem = "kernel spectrum " + std::to_string(b.width) + "x" +
                      std::to_string(b.height) + " smaller than image spectrum " +
                      std::to_string(a.width) + "x" + std::to_string(a.height);
        }
        if (!problem.empty()) throw QuillbrookException("spectrum multiplication: " + problem);
    }

    int32_t process(int32_t y, int32_t, int32_t) {
        kernels_->multiply_row(reinterpret_cast<float*>(a.row(y)), kChannelsA,
                               reinterpret_cast<const float*>(b.row(y)), kChannelsB, kWeightPartner,
                               a.width / 2);
        return host->progress(y + a.height * pass_index, a.height * pass_count);
    }

    int32_t no_error_ = 0;
    const fft_vector::Kernels* kernels_ = nullptr;
};
