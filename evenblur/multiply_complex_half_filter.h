#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "fft_kernels.h"
#include "pixel_array.h"
#include "quillbrook_exception.h"
#include "quillbrook_filter.h"

// Multiplies the half spectrum A (the image, in place) by the half spectrum B (the kernel,
// read only), element by element, both in the layout RealFFFFilter::forward leaves: pixel 2k
// holds the real parts, pixel 2k + 1 the imaginary parts of the C channels of element k.
//
// Channel pairing: a B of one float (Gray float) multiplies every channel of A; a B of four
// floats (RGBA float) multiplies alpha, red, green and blue of A with the same channel, and
// A's fifth float (the weight of the Spectrum pixel) with B's alpha. Products are formed in
// single precision, four channels at a time. One task per row of A; progress after each row is
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

    MultiplyComplexHalfFilter(QuillbrookHost* host, PixelArray<A> a, PixelArray<B> b)
        : QuillbrookFilter(host), a(a), b(b) {}

    virtual int32_t render(int32_t index, int32_t count) {
        pass_index = index;
        pass_count = count;
        no_error_ = host->noError();
        if (a.height <= 0 || a.width < 2) return no_error_;
        check();
        return host->runParallelOn<&MultiplyComplexHalfFilter::process>(a.height, this);
    }

    PixelArray<A> a;
    PixelArray<B> b;
    int32_t pass_index = 0;
    int32_t pass_count = 1;

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
        using namespace fft_kernels;
        float* ar = reinterpret_cast<float*>(a.row(y));
        const float* br = reinterpret_cast<const float*>(b.row(y));
        const int32_t elements = a.width / 2;
        for (int32_t k = 0; k < elements; ++k) {
            float* a_re = ar + ptrdiff_t(k) * 2 * kChannelsA;
            float* a_im = a_re + kChannelsA;
            const float* b_re = br + ptrdiff_t(k) * 2 * kChannelsB;
            const float* b_im = b_re + kChannelsB;
            const Float4 x_re = loadUnaligned(a_re);
            const Float4 x_im = loadUnaligned(a_im);
            Float4 y_re, y_im;
            if constexpr (kChannelsB == 1) {
                y_re = splat(b_re[0]);
                y_im = splat(b_im[0]);
            } else {
                y_re = loadUnaligned(b_re);
                y_im = loadUnaligned(b_im);
            }
            if constexpr (kChannelsA == 5) {
                const float w_re = a_re[4], w_im = a_im[4];
                const float v_re = b_re[kWeightPartner], v_im = b_im[kWeightPartner];
                a_re[4] = w_re * v_re - w_im * v_im;
                a_im[4] = w_re * v_im + w_im * v_re;
            }
            storeUnaligned(a_re, x_re * y_re - x_im * y_im);
            storeUnaligned(a_im, x_re * y_im + x_im * y_re);
        }
        return host->progress(y + a.height * pass_index, a.height * pass_count);
    }

    int32_t no_error_ = 0;
};
