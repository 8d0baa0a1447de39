#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "imaging/pixel_array.h"

// Test support for the transforms: a transform buffer with padded rows, and direct (O(n^2) per
// line, double precision) discrete Fourier transforms to compare against.

// (Nw + 2) x Nh float pixels of C floats; every row ends in spare bytes holding a sentinel, and
// the odd spare count leaves rows unaligned for 16-byte loads.
template <class P>
class TransformBuffer {
public:
    static constexpr int kChannels = int(sizeof(P) / sizeof(float));
    static constexpr unsigned char kSentinel = 0xC3;
    static constexpr int32_t kSpareBytes = 12;

    TransformBuffer(int32_t nw, int32_t nh)
        : nw_(nw), nh_(nh), row_bytes_((nw + 2) * int32_t(sizeof(P)) + kSpareBytes),
          bytes_(size_t(row_bytes_) * size_t(nh) + 16, kSentinel) {
        for (int32_t y = 0; y < nh_; ++y) std::memset(row(y), 0, size_t(nw_ + 2) * sizeof(P));
    }

    PixelArray<P> array() { return PixelArray<P>(bytes_.data(), nw_ + 2, nh_, row_bytes_); }

    float* row(int32_t y) {
        return reinterpret_cast<float*>(bytes_.data() + size_t(y) * size_t(row_bytes_));
    }
    // Float c of pixel x of row y.
    float& at(int32_t x, int32_t y, int c) { return row(y)[x * kChannels + c]; }
    // Element k (pixels 2k, 2k + 1) of channel c.
    std::complex<double> element(int32_t k, int32_t y, int c) {
        return {at(2 * k, y, c), at(2 * k + 1, y, c)};
    }

    // Every float of pixels 0 .. Nw + 1 of every row, uniform in -1 .. 1.
    void fillRandom(uint32_t seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> value(-1.0f, 1.0f);
        for (int32_t y = 0; y < nh_; ++y)
            for (int32_t i = 0; i < (nw_ + 2) * kChannels; ++i) row(y)[i] = value(random);
    }

    bool spareBytesUntouched() const {
        const size_t used = size_t(nw_ + 2) * sizeof(P);
        for (int32_t y = 0; y < nh_; ++y) {
            const unsigned char* r = bytes_.data() + size_t(y) * size_t(row_bytes_);
            for (size_t i = used; i < size_t(row_bytes_); ++i)
                if (r[i] != kSentinel) return false;
        }
        for (size_t i = size_t(row_bytes_) * size_t(nh_); i < bytes_.size(); ++i)
            if (bytes_[i] != kSentinel) return false;
        return true;
    }

    const std::vector<unsigned char>& bytes() const { return bytes_; }
    int32_t nw() const { return nw_; }
    int32_t nh() const { return nh_; }

private:
    int32_t nw_;
    int32_t nh_;
    int32_t row_bytes_;
    std::vector<unsigned char> bytes_;
};

// The n-th roots of unity e^(sign 2 pi i j / n), j = 0 .. n-1; index with (a * b) % n, which
// keeps the angles exact for any product.
inline std::vector<std::complex<double>> unitRoots(int32_t n, int sign) {
    const double pi = 3.14159265358979323846;
    std::vector<std::complex<double>> roots(static_cast<size_t>(n));
    for (int32_t j = 0; j < n; ++j) roots[size_t(j)] = std::polar(1.0, sign * 2.0 * pi * j / n);
    return roots;
}

// A half spectrum of one channel: (Nw/2 + 1) x Nh complex values, element (k, y) at
// y * (Nw/2 + 1) + k.
using HalfSpectrum = std::vector<std::complex<double>>;

// What forward should leave in channel c: rows below data_rows are real rows transformed with
// the positive exponent; the other rows enter the column transform as the complex elements
// their pixels hold; then every column is transformed with the positive exponent.
template <class P>
HalfSpectrum directForward(TransformBuffer<P>& in, int32_t data_rows, int c) {
    const int32_t nw = in.nw(), nh = in.nh(), columns = nw / 2 + 1;
    const auto row_roots = unitRoots(nw, +1);
    const auto column_roots = unitRoots(nh, +1);
    HalfSpectrum rows(size_t(columns) * size_t(nh));
    for (int32_t y = 0; y < nh; ++y) {
        for (int32_t k = 0; k < columns; ++k) {
            std::complex<double> sum = 0.0;
            if (y < data_rows) {
                for (int32_t u = 0; u < nw; ++u)
                    sum += double(in.at(u, y, c)) * row_roots[size_t(int64_t(u) * k % nw)];
            } else {
                sum = in.element(k, y, c);
            }
            rows[size_t(y) * columns + k] = sum;
        }
    }
    HalfSpectrum out(rows.size());
    for (int32_t k = 0; k < columns; ++k)
        for (int32_t v = 0; v < nh; ++v) {
            std::complex<double> sum = 0.0;
            for (int32_t y = 0; y < nh; ++y)
                sum += rows[size_t(y) * columns + k] * column_roots[size_t(int64_t(y) * v % nh)];
            out[size_t(v) * columns + k] = sum;
        }
    return out;
}

// What inverse should leave in channel c, rows 0 .. nh - 1 of Nw real samples each (only the
// first min(Nh, data_rows + 1) rows are defined by the transform): every column transformed
// with the negative exponent, then each row y reconstructed from its half spectrum Y as
//   x(u) = (Re Y(0) + (-1)^u Re Y(Nw/2)) / 2 + Re sum over k = 1 .. Nw/2 - 1 of Y(k) e^(-2 pi i u k / Nw),
// which is Nw/2 times the real signal whose spectrum Y is (imaginary parts of Y(0) and
// Y(Nw/2) are ignored).
template <class P>
std::vector<double> directInverse(TransformBuffer<P>& in, int c) {
    const int32_t nw = in.nw(), nh = in.nh(), columns = nw / 2 + 1;
    const auto row_roots = unitRoots(nw, -1);
    const auto column_roots = unitRoots(nh, -1);
    HalfSpectrum cols(size_t(columns) * size_t(nh));
    for (int32_t k = 0; k < columns; ++k)
        for (int32_t v = 0; v < nh; ++v) {
            std::complex<double> sum = 0.0;
            for (int32_t y = 0; y < nh; ++y)
                sum += in.element(k, y, c) * column_roots[size_t(int64_t(y) * v % nh)];
            cols[size_t(v) * columns + k] = sum;
        }
    std::vector<double> out(size_t(nw) * size_t(nh));
    for (int32_t y = 0; y < nh; ++y) {
        const std::complex<double>* s = &cols[size_t(y) * columns];
        for (int32_t u = 0; u < nw; ++u) {
            double x = 0.5 * (s[0].real() + (u % 2 == 0 ? 1.0 : -1.0) * s[nw / 2].real());
            for (int32_t k = 1; k < nw / 2; ++k)
                x += (s[k] * row_roots[size_t(int64_t(u) * k % nw)]).real();
            out[size_t(y) * nw + u] = x;
        }
    }
    return out;
}
