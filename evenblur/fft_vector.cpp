// The kernels of fft_vector.h, written once with Highway's portable vector operations and
// compiled by foreach_target.h for every instruction set in HWY_TARGETS: on x86-64 the
// portable scalar build (the baseline), SSE4, AVX2 and AVX-512. Only Highway's headers are
// used. Its own run-time dispatch (HWY_DYNAMIC_DISPATCH) needs hwy::SupportedTargets from the
// shared libhwy, which a host machine may lack and of which no static archive is packaged, so
// the choice below asks the processor itself (imaging/processor_features.h).
//
// This file is compiled with -ffp-contract=off: the compiler must not fuse a product and a sum
// into one rounding in one build and not in another, or the builds would differ.

// Highway's debug checks (on in sanitizer builds) call hwy::Abort, which lives in libhwy.
#define HWY_IS_DEBUG_BUILD 0
// SSSE3 adds nothing for these kernels over the portable build; processors that lack SSE4
// are rare.
#define HWY_DISABLED_TARGETS HWY_SSSE3

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "evenblur/fft_vector.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>

#include "evenblur/fft_vector.h"
#include "imaging/processor_features.h"

HWY_BEFORE_NAMESPACE();
namespace fft_vector {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Calls f(d, v) for lanes v .. v + Lanes(d) - 1 so that lanes 0 .. count-1 are covered once:
// full vectors first, then (count being a multiple of 4) one 8-lane and one 4-lane vector
// where needed. V > 0 fixes count at compile time (so that the loop unrolls); V = 0 takes it
// from `lanes`.
template <int V, class F>
HWY_INLINE void forLanes(int32_t lanes, const F& f) {
    const int32_t count = V > 0 ? V : lanes;
    const hn::ScalableTag<float> d;
    const int32_t n = int32_t(hn::Lanes(d));
    int32_t v = 0;
    for (; v + n <= count; v += n) f(d, v);
#if HWY_TARGET != HWY_SCALAR
    if constexpr (hn::MaxLanes(d) > 8) {
        if (v + 8 <= count) {
            f(hn::CappedTag<float, 8>(), v);
            v += 8;
        }
    }
    if constexpr (hn::MaxLanes(d) > 4) {
        if (v + 4 <= count) f(hn::CappedTag<float, 4>(), v);
    }
#endif
}

// One radix-2 stage: in every block of 2h elements, element m and element m + h are combined
// with the factor w[m] (x + w y, x - w y).
template <int V>
void radix2Stage(float* data, int32_t lanes, int32_t n, int32_t h, const float* wr,
                 const float* wi) {
    const int32_t L = V > 0 ? V : lanes;
    const ptrdiff_t stride = 2 * L;
    for (int32_t block = 0; block < n; block += 2 * h) {
        for (int32_t m = 0; m < h; ++m) {
            const float w_r = wr[m], w_i = wi[m];
            float* x = data + ptrdiff_t(block + m) * stride;
            float* y = x + ptrdiff_t(h) * stride;
            forLanes<V>(lanes, [&](auto d, int32_t v) HWY_ATTR {
                const auto a_r = hn::Set(d, w_r), a_i = hn::Set(d, w_i);
                const auto xr = hn::LoadU(d, x + v), xi = hn::LoadU(d, x + L + v);
                const auto yr = hn::LoadU(d, y + v), yi = hn::LoadU(d, y + L + v);
                const auto tr = hn::Sub(hn::Mul(a_r, yr), hn::Mul(a_i, yi));
                const auto ti = hn::Add(hn::Mul(a_r, yi), hn::Mul(a_i, yr));
                hn::StoreU(hn::Sub(xr, tr), d, y + v);
                hn::StoreU(hn::Sub(xi, ti), d, y + L + v);
                hn::StoreU(hn::Add(xr, tr), d, x + v);
                hn::StoreU(hn::Add(xi, ti), d, x + L + v);
            });
        }
    }
}

// Two consecutive radix-2 stages (half lengths h and 2h) on four elements held in registers:
// the same operations, in the same order per element, as radix2Stage twice, with half the
// passes over memory. w1 is the table of the stage of half length h, w2 that of 2h.
template <int V>
void radix2StagePair(float* data, int32_t lanes, int32_t n, int32_t h, const float* w1r,
                     const float* w1i, const float* w2r, const float* w2i) {
    const int32_t L = V > 0 ? V : lanes;
    const ptrdiff_t stride = 2 * L;
    const ptrdiff_t step = ptrdiff_t(h) * stride;
    for (int32_t block = 0; block < n; block += 4 * h) {
        for (int32_t m = 0; m < h; ++m) {
            const float a_rs = w1r[m], a_is = w1i[m];
            const float b_rs = w2r[m], b_is = w2i[m];
            const float c_rs = w2r[m + h], c_is = w2i[m + h];
            float* e0 = data + ptrdiff_t(block + m) * stride;
            float* e1 = e0 + step;
            float* e2 = e1 + step;
            float* e3 = e2 + step;
            forLanes<V>(lanes, [&](auto d, int32_t v) HWY_ATTR {
                const auto a_r = hn::Set(d, a_rs), a_i = hn::Set(d, a_is);
                const auto b_r = hn::Set(d, b_rs), b_i = hn::Set(d, b_is);
                const auto c_r = hn::Set(d, c_rs), c_i = hn::Set(d, c_is);
                auto x0r = hn::LoadU(d, e0 + v), x0i = hn::LoadU(d, e0 + L + v);
                auto x1r = hn::LoadU(d, e1 + v), x1i = hn::LoadU(d, e1 + L + v);
                auto x2r = hn::LoadU(d, e2 + v), x2i = hn::LoadU(d, e2 + L + v);
                auto x3r = hn::LoadU(d, e3 + v), x3i = hn::LoadU(d, e3 + L + v);

                auto tr = hn::Sub(hn::Mul(a_r, x1r), hn::Mul(a_i, x1i));
                auto ti = hn::Add(hn::Mul(a_r, x1i), hn::Mul(a_i, x1r));
                x1r = hn::Sub(x0r, tr);
                x1i = hn::Sub(x0i, ti);
                x0r = hn::Add(x0r, tr);
                x0i = hn::Add(x0i, ti);
                tr = hn::Sub(hn::Mul(a_r, x3r), hn::Mul(a_i, x3i));
                ti = hn::Add(hn::Mul(a_r, x3i), hn::Mul(a_i, x3r));
                x3r = hn::Sub(x2r, tr);
                x3i = hn::Sub(x2i, ti);
                x2r = hn::Add(x2r, tr);
                x2i = hn::Add(x2i, ti);

                tr = hn::Sub(hn::Mul(b_r, x2r), hn::Mul(b_i, x2i));
                ti = hn::Add(hn::Mul(b_r, x2i), hn::Mul(b_i, x2r));
                hn::StoreU(hn::Sub(x0r, tr), d, e2 + v);
                hn::StoreU(hn::Sub(x0i, ti), d, e2 + L + v);
                hn::StoreU(hn::Add(x0r, tr), d, e0 + v);
                hn::StoreU(hn::Add(x0i, ti), d, e0 + L + v);
                tr = hn::Sub(hn::Mul(c_r, x3r), hn::Mul(c_i, x3i));
                ti = hn::Add(hn::Mul(c_r, x3i), hn::Mul(c_i, x3r));
                hn::StoreU(hn::Sub(x1r, tr), d, e3 + v);
                hn::StoreU(hn::Sub(x1i, ti), d, e3 + L + v);
                hn::StoreU(hn::Add(x1r, tr), d, e1 + v);
                hn::StoreU(hn::Add(x1i, ti), d, e1 + L + v);
            });
        }
    }
}

template <int V>
void butterfliesOf(float* data, int32_t lanes, int32_t n, const float* wr, const float* wi) {
    int32_t stages = 0;
    while ((int32_t{1} << stages) < n) ++stages;
    int32_t h = 1;
    if (stages % 2 == 1) {
        radix2Stage<V>(data, lanes, n, 1, wr, wi);
        h = 2;
    }
    for (; h < n; h *= 4) {
        radix2StagePair<V>(data, lanes, n, h, wr + (h - 1), wi + (h - 1), wr + (2 * h - 1),
                           wi + (2 * h - 1));
    }
}

template <int V>
void bitReverseOf(float* data, int32_t lanes, int32_t n, const int32_t* reverse) {
    const int32_t L = V > 0 ? V : lanes;
    const ptrdiff_t stride = 2 * L;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t j = reverse[i];
        if (j <= i) continue;
        float* a = data + ptrdiff_t(i) * stride;
        float* b = data + ptrdiff_t(j) * stride;
        // Both halves of the element: the lane counts of real and imaginary parts alike.
        for (int half = 0; half < 2; ++half) {
            forLanes<V>(lanes, [&](auto d, int32_t v) HWY_ATTR {
                const auto t = hn::LoadU(d, a + half * L + v);
                hn::StoreU(hn::LoadU(d, b + half * L + v), d, a + half * L + v);
                hn::StoreU(t, d, b + half * L + v);
            });
        }
    }
}

// The pair (k, n - k) of the split step on all lanes; c1 = 0.5 and c2 = -0.5 (forward) or
// +0.5 (inverse), (wr, wi) the pair's split twiddle.
template <int V>
HWY_INLINE void splitPair(float* x, float* y, int32_t lanes, float c2, float wr, float wi) {
    const int32_t L = V > 0 ? V : lanes;
    forLanes<V>(lanes, [&](auto d, int32_t v) HWY_ATTR {
        const auto half = hn::Set(d, 0.5f);
        const auto c2v = hn::Set(d, c2);
        const auto minus_c2 = hn::Set(d, -c2);
        const auto w_r = hn::Set(d, wr), w_i = hn::Set(d, wi);
        const auto xr = hn::LoadU(d, x + v), xi = hn::LoadU(d, x + L + v);
        const auto yr = hn::LoadU(d, y + v), yi = hn::LoadU(d, y + L + v);
        const auto h1r = hn::Mul(half, hn::Add(xr, yr));
        const auto h1i = hn::Mul(half, hn::Sub(xi, yi));
        const auto h2r = hn::Mul(minus_c2, hn::Add(xi, yi));
        const auto h2i = hn::Mul(c2v, hn::Sub(xr, yr));
        hn::StoreU(hn::Sub(hn::Add(h1r, hn::Mul(w_r, h2r)), hn::Mul(w_i, h2i)), d, x + v);
        hn::StoreU(hn::Add(hn::Add(h1i, hn::Mul(w_r, h2i)), hn::Mul(w_i, h2r)), d, x + L + v);
        hn::StoreU(hn::Add(hn::Sub(h1r, hn::Mul(w_r, h2r)), hn::Mul(w_i, h2i)), d, y + v);
        hn::StoreU(hn::Add(hn::Add(hn::Neg(h1i), hn::Mul(w_r, h2i)), hn::Mul(w_i, h2r)), d,
                   y + L + v);
    });
}

template <int V>
void splitForwardOf(float* data, int32_t lanes, int32_t n, const float* swr, const float* swi) {
    const int32_t L = V > 0 ? V : lanes;
    const ptrdiff_t stride = 2 * L;
    for (int32_t k = 1; k < n / 2; ++k) {
        splitPair<V>(data + ptrdiff_t(k) * stride, data + ptrdiff_t(n - k) * stride, lanes, -0.5f,
                     swr[k], swi[k]);
    }
    float* first = data;
    float* last = data + ptrdiff_t(n) * stride;
    forLanes<V>(lanes, [&](auto d, int32_t v) HWY_ATTR {
        const auto r = hn::LoadU(d, first + v), i = hn::LoadU(d, first + L + v);
        hn::StoreU(hn::Add(r, i), d, first + v);
        hn::StoreU(hn::Sub(r, i), d, last + v);
        hn::StoreU(hn::Zero(d), d, first + L + v);
        hn::StoreU(hn::Zero(d), d, last + L + v);
    });
}

template <int V>
void splitInverseOf(float* data, int32_t lanes, int32_t n, const float* swr, const float* swi) {
    const int32_t L = V > 0 ? V : lanes;
    const ptrdiff_t stride = 2 * L;
    for (int32_t k = 1; k < n / 2; ++k) {
        splitPair<V>(data + ptrdiff_t(k) * stride, data + ptrdiff_t(n - k) * stride, lanes, 0.5f,
                     swr[k], swi[k]);
    }
    float* first = data;
    const float* last = data + ptrdiff_t(n) * stride;
    forLanes<V>(lanes, [&](auto d, int32_t v) HWY_ATTR {
        const auto half = hn::Set(d, 0.5f);
        const auto r = hn::LoadU(d, first + v), i = hn::LoadU(d, last + v);
        hn::StoreU(hn::Mul(half, hn::Add(r, i)), d, first + v);
        hn::StoreU(hn::Mul(half, hn::Sub(r, i)), d, first + L + v);
    });
}

// The lane counts of the transforms' lane blocks get code of their own; any other multiple
// of 4 takes the loop with a run-time count.
#define QB_FFT_LANE_SWITCH(FUNC, lanes, ...) \
    switch (lanes) {                         \
        case 16:                             \
            return FUNC<16>(__VA_ARGS__);    \
        case 20:                             \
            return FUNC<20>(__VA_ARGS__);    \
        case 32:                             \
            return FUNC<32>(__VA_ARGS__);    \
        default:                             \
            return FUNC<0>(__VA_ARGS__);     \
    }

void butterflies(float* data, int32_t lanes, int32_t n, const float* wr, const float* wi) {
    QB_FFT_LANE_SWITCH(butterfliesOf, lanes, data, lanes, n, wr, wi)
}
void bitReverse(float* data, int32_t lanes, int32_t n, const int32_t* reverse) {
    QB_FFT_LANE_SWITCH(bitReverseOf, lanes, data, lanes, n, reverse)
}
void splitForward(float* data, int32_t lanes, int32_t n, const float* swr, const float* swi) {
    QB_FFT_LANE_SWITCH(splitForwardOf, lanes, data, lanes, n, swr, swi)
}
void splitInverse(float* data, int32_t lanes, int32_t n, const float* swr, const float* swi) {
    QB_FFT_LANE_SWITCH(splitInverseOf, lanes, data, lanes, n, swr, swi)
}
#undef QB_FFT_LANE_SWITCH

// ---- spectrum product --------------------------------------------------------------------

// Four channels of one element, held as a 4-lane real and a 4-lane imaginary part (or lane by
// lane in the portable build); B's parts come from br/bi, or every lane from br[0]/bi[0] when
// `single` is set.
HWY_INLINE void multiplyFour(float* a_re, float* a_im, const float* br, const float* bi,
                             bool single) {
    forLanes<4>(4, [&](auto d, int32_t v) HWY_ATTR {
        const auto x_re = hn::LoadU(d, a_re + v), x_im = hn::LoadU(d, a_im + v);
        const auto y_re = single ? hn::Set(d, br[0]) : hn::LoadU(d, br + v);
        const auto y_im = single ? hn::Set(d, bi[0]) : hn::LoadU(d, bi + v);
        hn::StoreU(hn::Sub(hn::Mul(x_re, y_re), hn::Mul(x_im, y_im)), d, a_re + v);
        hn::StoreU(hn::Add(hn::Mul(x_re, y_im), hn::Mul(x_im, y_re)), d, a_im + v);
    });
}

#if HWY_TARGET != HWY_SCALAR
// Four-channel A, whole elements per vector (8 floats each: 4 real parts, then 4 imaginary
// parts, one 128-bit block each): with a = [ar, ai] and its blocks swapped s = [ai, ar],
// p = a * [br, br] = [ar br, ai br] and q = s * [bi, bi] = [ai bi, ar bi]; the real block of
// the product is p - q and the imaginary block p + q, the same roundings as lane by lane.
// Lane permutations of the product for vectors of tag D, made once per row: lane l belongs
// to element l / 8 of the vector, and lane l % 8 < 4 is a real part.
template <int CB, class D>
struct ProductLanes {
    using Indices = decltype(hn::SetTableIndices(D(), static_cast<const int32_t*>(nullptr)));
    // kind 0: swap the real and imaginary blocks; 1, 2: B's real, imaginary parts.
    static Indices make(D d, int kind) {
        constexpr size_t kLanes = hn::MaxLanes(D());
        alignas(64) int32_t t[kLanes];
        for (size_t l = 0; l < kLanes; ++l) {
            if (kind == 0)
                t[l] = int32_t(l ^ 4);
            else if (CB == 1)
                t[l] = int32_t(2 * (l / 8) + (kind == 2 ? 1 : 0));
            else
                t[l] = int32_t(kind == 1 ? l & ~size_t{4} : l | 4);
        }
        return hn::SetTableIndices(d, t);
    }
    explicit ProductLanes(D d) : swap(make(d, 0)), real(make(d, 1)), imag(make(d, 2)) {}
    Indices swap, real, imag;
};

template <int CB, class D>
HWY_INLINE void multiplyElements(D d, const ProductLanes<CB, D>& lanes, float* a, const float* b) {
    constexpr size_t kLanes = hn::MaxLanes(D());
    const auto va = hn::LoadU(d, a);
    hn::Vec<D> b_re, b_im;
    if constexpr (CB == 1 && kLanes == 8) {
        b_re = hn::Set(d, b[0]);
        b_im = hn::Set(d, b[1]);
    } else {
        // B's floats of the same elements: 2 per element for one channel, 8 for four.
        hn::Vec<D> vb;
        if constexpr (CB == 1) {
            alignas(64) float bs[kLanes] = {};
            for (size_t e = 0; e < kLanes / 8; ++e) {
                bs[2 * e] = b[2 * e];
                bs[2 * e + 1] = b[2 * e + 1];
            }
            vb = hn::Load(d, bs);
        } else {
            vb = hn::LoadU(d, b);
        }
        b_re = hn::TableLookupLanes(vb, lanes.real);
        b_im = hn::TableLookupLanes(vb, lanes.imag);
    }
    const auto swapped = hn::TableLookupLanes(va, lanes.swap);
    const auto p = hn::Mul(va, b_re);
    const auto q = hn::Mul(swapped, b_im);
    hn::StoreU(hn::OddEvenBlocks(hn::Add(p, q), hn::Sub(p, q)), d, a);
}

template <int CB, class D, class D8>
HWY_INLINE int32_t multiplyFourChannelRow(D d, D8 d8, float* a, const float* b, int32_t elements) {
    const ProductLanes<CB, D> lanes(d);
    const ProductLanes<CB, D8> lanes8(d8);
    const int32_t per_vector = int32_t(hn::Lanes(d)) / 8;
    int32_t k = 0;
    for (; k + per_vector <= elements; k += per_vector)
        multiplyElements<CB>(d, lanes, a + k * 8, b + k * 2 * CB);
    for (; k < elements; ++k) multiplyElements<CB>(d8, lanes8, a + k * 8, b + k * 2 * CB);
    return k;
}
#endif

void multiplyRow(float* a, int32_t channels_a, const float* b, int32_t channels_b,
                 int32_t weight_partner, int32_t elements) {
    const ptrdiff_t step_a = 2 * channels_a;
    const ptrdiff_t step_b = 2 * channels_b;
    int32_t k = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<float> d;
    if constexpr (hn::MaxLanes(d) >= 8) {
        const hn::CappedTag<float, 8> d8;
        if (channels_a == 4 && channels_b == 1)
            k = multiplyFourChannelRow<1>(d, d8, a, b, elements);
        else if (channels_a == 4)
            k = multiplyFourChannelRow<4>(d, d8, a, b, elements);
    }
#endif
    for (; k < elements; ++k) {
        float* a_re = a + k * step_a;
        float* a_im = a_re + channels_a;
        const float* b_re = b + k * step_b;
        const float* b_im = b_re + channels_b;
        if (channels_a == 5) {
            const float w_re = a_re[4], w_im = a_im[4];
            const float v_re = b_re[weight_partner], v_im = b_im[weight_partner];
            a_re[4] = w_re * v_re - w_im * v_im;
            a_im[4] = w_re * v_im + w_im * v_re;
        }
        multiplyFour(a_re, a_im, b_re, b_im, channels_b == 1);
    }
}

// ---- integer pixel conversions -------------------------------------------------------------

// Calls f(d, x) for pixels x .. x + Lanes(d) - 1 of count: vectors of doubles, one pixel per
// lane, then one-lane vectors for the rest.
template <class F>
HWY_INLINE void forPixels(int32_t count, const F& f) {
    const hn::ScalableTag<double> d;
    const int32_t n = int32_t(hn::Lanes(d));
    int32_t x = 0;
    for (; x + n <= count; x += n) f(d, x);
    for (; x < count; ++x) f(hn::CappedTag<double, 1>(), x);
}

// The channels are read and written lane by lane (the strides of 4 and 5 floats and the
// narrow integers have no common vector form); all arithmetic runs on the vectors.
template <class T>
void inputRow(const T* in, int32_t count, const InputConversion& c, float* out) {
    const double inverse_max = 1.0 / c.max;
    const double to_index = 32767.0 / c.max;
    const int32_t channels = c.channels;
    forPixels(count, [&](auto d, int32_t x) HWY_ATTR {
        constexpr size_t kLanes = hn::MaxLanes(decltype(d)());
        const hn::Rebind<float, decltype(d)> df;
        const hn::Rebind<int32_t, decltype(d)> di;
        const size_t lanes = hn::Lanes(d);
        alignas(64) double v[4][kLanes];
        for (size_t i = 0; i < lanes; ++i)
            for (int k = 0; k < 4; ++k) v[k][i] = double(in[(size_t(x) + i) * 4 + k]);
        const auto zero = hn::Zero(d);
        const auto max = hn::Set(d, c.max);
        const auto inv = hn::Set(d, inverse_max);
        const auto va = hn::Load(d, v[0]);
        auto colour = [&](const double* p) HWY_ATTR {
            auto cv = hn::Load(d, p);
            if (c.straight) cv = hn::Mul(cv, hn::Mul(va, inv));
            cv = hn::Min(hn::Max(cv, zero), max);
            if (c.decode == nullptr) return hn::DemoteTo(df, hn::Mul(cv, inv));
            const auto index = hn::DemoteTo(di, hn::Mul(cv, hn::Set(d, to_index)));
            return hn::GatherIndex(df, c.decode, index);
        };
        alignas(64) float o[4][kLanes];
        hn::Store(hn::DemoteTo(df, hn::Max(hn::Mul(va, inv), zero)), df, o[0]);
        for (int k = 1; k < 4; ++k) hn::Store(colour(v[k]), df, o[k]);
        for (size_t i = 0; i < lanes; ++i) {
            float* p = out + (size_t(x) + i) * size_t(channels);
            for (int k = 0; k < 4; ++k) p[k] = o[k][i];
            if (channels == 5) p[4] = 1.0f;
        }
    });
}

template <class T>
void outputRow(const float* in, int32_t count, const OutputConversion& c, T* out) {
    const double to_index = 32767.0 / c.max;
    const int32_t channels = c.channels;
    forPixels(count, [&](auto d, int32_t x) HWY_ATTR {
        constexpr size_t kLanes = hn::MaxLanes(decltype(d)());
        const hn::Rebind<float, decltype(d)> df;
        const hn::Rebind<int32_t, decltype(d)> di;
        const size_t lanes = hn::Lanes(d);
        alignas(64) double v[5][kLanes];
        for (size_t i = 0; i < lanes; ++i) {
            const float* p = in + (size_t(x) + i) * size_t(channels);
            for (int k = 0; k < 4; ++k) v[k][i] = double(p[k]);
            v[4][i] = channels == 5 ? double(p[4]) : 0.0;
        }
        const auto zero = hn::Zero(d);
        const auto max = hn::Set(d, c.max);
        hn::Vec<decltype(d)> s[4];
        for (int k = 0; k < 4; ++k) s[k] = hn::Set(d, c.scale[k]);
        if (c.boosted) {
            const auto f = hn::Load(d, v[4]);
            const auto above = hn::Gt(f, zero);
            const auto boost = hn::Div(hn::Set(d, c.boost), f);
            for (auto& sk : s) sk = hn::IfThenElse(above, hn::Mul(sk, boost), sk);
        }
        // max(x, 0) that turns NaN into 0.
        auto positive = [&](auto t) HWY_ATTR { return hn::IfThenElseZero(hn::Gt(t, zero), t); };
        const auto a = hn::Min(positive(hn::Mul(s[0], hn::Load(d, v[0]))), max);
        // float(a) > 0 exactly when a > 2^-150, half the smallest subnormal float.
        const auto divides = hn::Gt(a, hn::Set(d, 0x1p-150));
        const auto factor = hn::Div(max, a);
        const auto half = hn::Set(d, 0.5);
        auto store = [&](auto t) HWY_ATTR {
            return hn::DemoteTo(di, hn::Max(hn::Min(hn::Add(t, half), max), zero));
        };
        alignas(64) int32_t o[4][kLanes];
        hn::Store(store(a), di, o[0]);
        for (int k = 1; k < 4; ++k) {
            const auto linear = positive(hn::Mul(s[k], hn::Load(d, v[k])));
            const auto index =
                hn::DemoteTo(di, hn::Mul(hn::Min(linear, max), hn::Set(d, to_index)));
            auto encoded = hn::PromoteTo(d, hn::GatherIndex(df, c.encode, index));
            if (c.straight) encoded = hn::IfThenElse(divides, hn::Mul(encoded, factor), encoded);
            hn::Store(store(encoded), di, o[k]);
        }
        for (size_t i = 0; i < lanes; ++i)
            for (int k = 0; k < 4; ++k) out[(size_t(x) + i) * 4 + k] = T(o[k][i]);
    });
}

void inputRow8(const uint8_t* in, int32_t count, const InputConversion& c, float* out) {
    inputRow(in, count, c, out);
}
void inputRow16(const uint16_t* in, int32_t count, const InputConversion& c, float* out) {
    inputRow(in, count, c, out);
}
void outputRow8(const float* in, int32_t count, const OutputConversion& c, uint8_t* out) {
    outputRow(in, count, c, out);
}
void outputRow16(const float* in, int32_t count, const OutputConversion& c, uint16_t* out) {
    outputRow(in, count, c, out);
}

const Kernels kKernels = {
#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
    "portable",
#elif HWY_TARGET == HWY_SSE4
    "sse4",
#elif HWY_TARGET == HWY_AVX2
    "avx2",
#elif HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
    "avx512",
#else
    "vector",
#endif
    int32_t(HWY_LANES(float)),
    &butterflies,
    &bitReverse,
    &splitForward,
    &splitInverse,
    &multiplyRow,
    &inputRow8,
    &inputRow16,
    &outputRow8,
    &outputRow16,
};

}  // namespace HWY_NAMESPACE
}  // namespace fft_vector
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace fft_vector {
namespace {

// The builds of this file with the processor features each needs: those that Highway's
// target attributes enable (so that the compiler may use any of them), as the processor and
// the operating system report them.
struct Build {
    const Kernels* kernels;
    bool (*runs)();
};

#if HWY_ARCH_X86
bool runsAvx3() { return processor_runs(VectorBuild::avx3); }
bool runsAvx2() { return processor_runs(VectorBuild::avx2); }
bool runsSse4() { return processor_runs(VectorBuild::sse4); }
#endif
bool always() { return true; }

constexpr Build kBuilds[] = {
#if HWY_ARCH_X86 && (HWY_TARGETS & HWY_AVX3)
    {&N_AVX3::kKernels, &runsAvx3},
#endif
#if HWY_ARCH_X86 && (HWY_TARGETS & HWY_AVX2)
    {&N_AVX2::kKernels, &runsAvx2},
#endif
#if HWY_ARCH_X86 && (HWY_TARGETS & HWY_SSE4)
    {&N_SSE4::kKernels, &runsSse4},
#endif
    // The static target: the build of the compiler's baseline flags.
    {&HWY_STATIC_DISPATCH(kKernels), &always},
};
constexpr int32_t kBuildCount = int32_t(sizeof(kBuilds) / sizeof(kBuilds[0]));

struct Runnable {
    const Kernels* list[kBuildCount] = {};
    int32_t count = 0;
    Runnable() {
        for (const Build& build : kBuilds) {
            if (build.runs()) list[count++] = build.kernels;
        }
    }
};

const Runnable& runnable() {
    static const Runnable builds;  // initialised once, thread-safe
    return builds;
}

}  // namespace

const Kernels& portableKernels() { return HWY_STATIC_DISPATCH(kKernels); }

const Kernels& bestKernels() { return *runnable().list[0]; }

const Kernels* const* runnableKernels(int32_t& count) {
    count = runnable().count;
    return runnable().list;
}

}  // namespace fft_vector
#endif  // HWY_ONCE
