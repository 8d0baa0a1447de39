#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "evenblur/evenblur_settings.h"
#include "imaging/outside_mode.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "imaging/pixel_types.h"
#include "tests/support/padded_image.h"

// Test helpers for the lens blur: pixel setters, random images, and the direct (spatial)
// convolution of the continued source with a kernel image, in double precision.
namespace evenblur_reference {

template <class P>
void set_pixel(P& p, double a, double r, double g, double b) {
    using T = typename P::channel_type;
    alpha_of(p) = static_cast<T>(a);
    red_of(p) = static_cast<T>(r);
    green_of(p) = static_cast<T>(g);
    blue_of(p) = static_cast<T>(b);
}

// Random colours with alpha in min_alpha .. 1, in 8-bit steps of the scale so every depth gets
// the same picture.
template <class P>
void random_pixels(PaddedImage<P>& image, unsigned seed, double min_alpha = 1.0) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> level(0, 255);
    const int lowest = int(std::ceil(min_alpha * 255.0));
    std::uniform_int_distribution<int> alpha(lowest, 255);
    const double unit = P::max / 255.0;
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x)
            set_pixel(image.at(x, y), alpha(random) * unit, level(random) * unit,
                      level(random) * unit, level(random) * unit);
}

template <class P>
void uniform_pixels(PaddedImage<P>& image, double a, double r, double g, double b) {
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x) set_pixel(image.at(x, y), a, r, g, b);
}

// Premultiplied alpha, red, green, blue on the 0 .. 1 scale.
struct Value {
    double v[4] = {0, 0, 0, 0};
};

// The padded source as the blur sees it: buffer pixel (x, y) of an nw x nh buffer holds the
// source pixel (x - offset_x, y - offset_y) continued by the outside modes, or the outside
// colour; premultiplied, 0 .. 1, no gamma.
template <class P>
std::vector<Value> padded_source(const PixelArray<P>& source, const EvenblurSettings& s, int32_t nw,
                                 int32_t nh, int32_t offset_x, int32_t offset_y) {
    std::vector<Value> out(size_t(nw) * size_t(nh));
    // The outside colour is straight and takes its alpha only where the source is straight
    // too; a premultiplied source takes it as premultiplied already.
    const double oa = s.outside_alpha;
    const double k = source.premultiplied ? 1.0 : oa;
    const Value outside{
        {oa, s.outside_color[0] * k, s.outside_color[1] * k, s.outside_color[2] * k}};
    for (int32_t y = 0; y < nh; ++y)
        for (int32_t x = 0; x < nw; ++x) {
            int32_t sx = x - offset_x, sy = y - offset_y;
            const bool in_x = map_to_image(OutsideMode(s.assume_h), source.width, sx);
            const bool in_y = map_to_image(OutsideMode(s.assume_v), source.height, sy);
            Value& v = out[size_t(y) * nw + x];
            if (!in_x || !in_y) {
                v = outside;
                continue;
            }
            ChannelValues c = read_rgba(source.at(sx, sy));
            if (!source.premultiplied) straight_to_premultiplied<P>(c);
            v = Value{{c.a / P::max, c.r / P::max, c.g / P::max, c.b / P::max}};
        }
    return out;
}

// A kernel image of kw x kh pixels with its centre at (kw / 2, kh / 2): four channels alpha,
// red, green, blue (the monochrome kernel repeats its one value), each normalised to unit sum.
struct Kernel {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<Value> weights;
};

inline Kernel normalise(Kernel k) {
    double total[4] = {0, 0, 0, 0};
    for (const Value& w : k.weights)
        for (int c = 0; c < 4; ++c) total[c] += w.v[c];
    for (Value& w : k.weights)
        for (int c = 0; c < 4; ++c) w.v[c] = total[c] > 0 ? w.v[c] / total[c] : 0.0;
    return k;
}

inline Kernel from_gray(const PixelArray<PixelGrayFloat>& image) {
    Kernel k{image.width, image.height, std::vector<Value>(size_t(image.width) * image.height)};
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            const double v = gray_of(image.at(x, y));
            k.weights[size_t(y) * image.width + x] = Value{{v, v, v, v}};
        }
    return normalise(k);
}

// A coloured kernel image (scale 1): the alpha that carries the kernel is the mean of the
// three colours times the drawn alpha.
inline Kernel from_colour(const PixelArray<PixelRGBAFloat>& image) {
    Kernel k{image.width, image.height, std::vector<Value>(size_t(image.width) * image.height)};
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            const PixelRGBAFloat& p = image.at(x, y);
            const double r = red_of(p), g = green_of(p), b = blue_of(p);
            k.weights[size_t(y) * image.width + x] =
                Value{{(r + g + b) / 3.0 * alpha_of(p), r, g, b}};
        }
    return normalise(k);
}

// out(x, y) = sum over kernel pixels (i, j) of k(i, j) * padded(x + offset_x - (i - kw / 2),
// y + offset_y - (j - kh / 2)), positions taken modulo the buffer size: the circular
// convolution over the buffer, written out.
inline std::vector<Value> convolve(const std::vector<Value>& padded, int32_t nw, int32_t nh,
                                   const Kernel& k, int32_t width, int32_t height, int32_t offset_x,
                                   int32_t offset_y) {
    std::vector<Value> out(size_t(width) * height);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            Value sum;
            for (int32_t j = 0; j < k.height; ++j)
                for (int32_t i = 0; i < k.width; ++i) {
                    const Value& w = k.weights[size_t(j) * k.width + i];
                    if (w.v[0] == 0 && w.v[1] == 0 && w.v[2] == 0 && w.v[3] == 0) continue;
                    int32_t px = (x + offset_x - (i - k.width / 2)) % nw;
                    int32_t py = (y + offset_y - (j - k.height / 2)) % nh;
                    if (px < 0) px += nw;
                    if (py < 0) py += nh;
                    const Value& s = padded[size_t(py) * nw + px];
                    for (int c = 0; c < 4; ++c) sum.v[c] += w.v[c] * s.v[c];
                }
            out[size_t(y) * width + x] = sum;
        }
    return out;
}

}  // namespace evenblur_reference
