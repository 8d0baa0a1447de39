#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The arithmetic of the radix-2 transforms on "lane blocks": an element is 2V floats, V real
// parts followed by V imaginary parts, and all V lanes (channels of one pixel, or the same
// channel of several rows or columns) go through the same butterflies. V is a multiple of 4 and
// the lanes are processed four at a time in SSE registers (x86-64 baseline; no wider vectors,
// since the plug-in ships to machines we do not know). Element arrays handed to these kernels
// are 16-byte aligned.
//
// Samples are single precision; the twiddle factors come from FftTables (the double-precision
// recurrence, rounded to single precision).
namespace fft_kernels {

typedef float Float4 __attribute__((vector_size(16), may_alias));

inline Float4 splat(float value) { return Float4{value, value, value, value}; }

// Unaligned access, for pixel rows whose alignment the host decides.
inline Float4 loadUnaligned(const float* p) {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void storeUnaligned(float* p, Float4 v) { std::memcpy(p, &v, sizeof v); }

inline Float4 load(const float* p) { return *reinterpret_cast<const Float4*>(p); }
inline void store(float* p, Float4 v) { *reinterpret_cast<Float4*>(p) = v; }

// One radix-2 stage: in every block of 2h elements, element m and element m + h are combined
// with the factor w[m] (x + w y, x - w y).
template <int V>
inline void radix2Stage(float* data, int32_t n, int32_t h, const float* wr, const float* wi) {
    constexpr int32_t stride = 2 * V;
    for (int32_t block = 0; block < n; block += 2 * h) {
        for (int32_t m = 0; m < h; ++m) {
            const Float4 w_r = splat(wr[m]);
            const Float4 w_i = splat(wi[m]);
            float* x = data + ptrdiff_t(block + m) * stride;
            float* y = x + ptrdiff_t(h) * stride;
            for (int v = 0; v < V; v += 4) {
                const Float4 xr = load(x + v), xi = load(x + V + v);
                const Float4 yr = load(y + v), yi = load(y + V + v);
                const Float4 tr = w_r * yr - w_i * yi;
                const Float4 ti = w_r * yi + w_i * yr;
                store(y + v, xr - tr);
                store(y + V + v, xi - ti);
                store(x + v, xr + tr);
                store(x + V + v, xi + ti);
            }
        }
    }
}

// Two consecutive radix-2 stages (half lengths h and 2h) on four elements held in registers:
// the same operations, in the same order per element, as radix2Stage twice, with half the
// passes over memory. w1 is the table of the stage of half length h, w2 that of 2h.
template <int V>
inline void radix2StagePair(float* data, int32_t n, int32_t h, const float* w1r, const float* w1i,
                            const float* w2r, const float* w2i) {
    constexpr int32_t stride = 2 * V;
    const ptrdiff_t step = ptrdiff_t(h) * stride;
    for (int32_t block = 0; block < n; block += 4 * h) {
        for (int32_t m = 0; m < h; ++m) {
            const Float4 a_r = splat(w1r[m]), a_i = splat(w1i[m]);
            const Float4 b_r = splat(w2r[m]), b_i = splat(w2i[m]);
            const Float4 c_r = splat(w2r[m + h]), c_i = splat(w2i[m + h]);
            float* e0 = data + ptrdiff_t(block + m) * stride;
            float* e1 = e0 + step;
            float* e2 = e1 + step;
            float* e3 = e2 + step;
            for (int v = 0; v < V; v += 4) {
                Float4 x0r = load(e0 + v), x0i = load(e0 + V + v);
                Float4 x1r = load(e1 + v), x1i = load(e1 + V + v);
                Float4 x2r = load(e2 + v), x2i = load(e2 + V + v);
                Float4 x3r = load(e3 + v), x3i = load(e3 + V + v);

                Float4 tr = a_r * x1r - a_i * x1i;
                Float4 ti = a_r * x1i + a_i * x1r;
                x1r = x0r - tr;
                x1i = x0i - ti;
                x0r = x0r + tr;
                x0i = x0i + ti;
                tr = a_r * x3r - a_i * x3i;
                ti = a_r * x3i + a_i * x3r;
                x3r = x2r - tr;
                x3i = x2i - ti;
                x2r = x2r + tr;
                x2i = x2i + ti;

                tr = b_r * x2r - b_i * x2i;
                ti = b_r * x2i + b_i * x2r;
                store(e2 + v, x0r - tr);
                store(e2 + V + v, x0i - ti);
                store(e0 + v, x0r + tr);
                store(e0 + V + v, x0i + ti);
                tr = c_r * x3r - c_i * x3i;
                ti = c_r * x3i + c_i * x3r;
                store(e3 + v, x1r - tr);
                store(e3 + V + v, x1i - ti);
                store(e1 + v, x1r + tr);
                store(e1 + V + v, x1i + ti);
            }
        }
    }
}

// Butterflies of a complex transform of n elements (a power of two) whose input is already in
// bit-reversed order; wr/wi are the complex twiddles of n (buildComplexTwiddles). No scaling.
template <int V>
inline void complexButterflies(float* data, int32_t n, const float* wr, const float* wi) {
    int32_t stages = 0;
    while ((int32_t{1} << stages) < n) ++stages;
    int32_t h = 1;
    if (stages % 2 == 1) {
        radix2Stage<V>(data, n, 1, wr, wi);
        h = 2;
    }
    for (; h < n; h *= 4) {
        radix2StagePair<V>(data, n, h, wr + (h - 1), wi + (h - 1), wr + (2 * h - 1),
                           wi + (2 * h - 1));
    }
}

// Exchanges element i with element reverse[i] wherever reverse[i] > i.
template <int V>
inline void bitReversePermute(float* data, int32_t n, const int32_t* reverse) {
    constexpr int32_t stride = 2 * V;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t j = reverse[i];
        if (j <= i) continue;
        float* a = data + ptrdiff_t(i) * stride;
        float* b = data + ptrdiff_t(j) * stride;
        for (int v = 0; v < stride; v += 4) {
            const Float4 t = load(a + v);
            store(a + v, load(b + v));
            store(b + v, t);
        }
    }
}

// The pair (k, n - k) of the split step between a complex transform of n elements and the
// real transform of 2n samples, on all lanes; c1 = 0.5 and c2 = -0.5 (forward) or +0.5
// (inverse), (wr, wi) the pair's split twiddle.
template <int V>
inline void splitPair(float* x, float* y, float c2, float wr, float wi) {
    const Float4 half = splat(0.5f);
    const Float4 c2v = splat(c2);
    const Float4 minus_c2 = splat(-c2);
    const Float4 w_r = splat(wr), w_i = splat(wi);
    for (int v = 0; v < V; v += 4) {
        const Float4 xr = load(x + v), xi = load(x + V + v);
        const Float4 yr = load(y + v), yi = load(y + V + v);
        const Float4 h1r = half * (xr + yr);
        const Float4 h1i = half * (xi - yi);
        const Float4 h2r = minus_c2 * (xi + yi);
        const Float4 h2i = c2v * (xr - yr);
        store(x + v, h1r + w_r * h2r - w_i * h2i);
        store(x + V + v, h1i + w_r * h2i + w_i * h2r);
        store(y + v, h1r - w_r * h2r + w_i * h2i);
        store(y + V + v, -h1i + w_r * h2i + w_i * h2r);
    }
}

// Forward split step, in place on n + 1 elements: elements 0 .. n-1 hold the complex transform
// of the n samples pairs of a row; afterwards elements 0 .. n hold the row's half spectrum
// (frequencies 0 .. n, element n the Nyquist term, imaginary parts of 0 and n zero).
template <int V>
inline void splitForward(float* data, int32_t n, const float* swr, const float* swi) {
    constexpr int32_t stride = 2 * V;
    for (int32_t k = 1; k < n / 2; ++k) {
        splitPair<V>(data + ptrdiff_t(k) * stride, data + ptrdiff_t(n - k) * stride, -0.5f, swr[k],
                     swi[k]);
    }
    float* first = data;
    float* last = data + ptrdiff_t(n) * stride;
    const Float4 zero = splat(0.0f);
    for (int v = 0; v < V; v += 4) {
        const Float4 r = load(first + v), i = load(first + V + v);
        store(first + v, r + i);
        store(last + v, r - i);
        store(first + V + v, zero);
        store(last + V + v, zero);
    }
}

// Inverse split step, in place on n + 1 elements (the half spectrum of one row); afterwards
// elements 0 .. n-1 are ready for the inverse complex transform. Element n is left as it was.
template <int V>
inline void splitInverse(float* data, int32_t n, const float* swr, const float* swi) {
    constexpr int32_t stride = 2 * V;
    for (int32_t k = 1; k < n / 2; ++k) {
        splitPair<V>(data + ptrdiff_t(k) * stride, data + ptrdiff_t(n - k) * stride, 0.5f, swr[k],
                     swi[k]);
    }
    float* first = data;
    const float* last = data + ptrdiff_t(n) * stride;
    const Float4 half = splat(0.5f);
    for (int v = 0; v < V; v += 4) {
        const Float4 r = load(first + v), i = load(last + v);
        store(first + v, half * (r + i));
        store(first + V + v, half * (r - i));
    }
}

}  // namespace fft_kernels
