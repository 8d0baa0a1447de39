#include "qbrender/image.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

int bitsOf(SampleDepth depth) {
    switch (depth) {
        case SampleDepth::bits8:
            return 8;
        case SampleDepth::bits16:
            return 16;
        case SampleDepth::float32:
            return 32;
    }
    return 0;
}

const char* depthName(SampleDepth depth) {
    switch (depth) {
        case SampleDepth::bits8:
            return "8-bit";
        case SampleDepth::bits16:
            return "16-bit";
        case SampleDepth::float32:
            return "32-bit float";
    }
    return "unknown depth";
}

double fileMaximum(SampleDepth depth) {
    switch (depth) {
        case SampleDepth::bits8:
            return 255.0;
        case SampleDepth::bits16:
            return 65535.0;
        case SampleDepth::float32:
            return 1.0;
    }
    return 1.0;
}

namespace {
double clampUnit(double u) {
    if (!(u > 0.0)) {
        return 0.0;
    }
    return std::min(u, 1.0);
}
}  // namespace

uint8_t unitTo8(double u) { return static_cast<uint8_t>(std::lround(clampUnit(u) * 255.0)); }

uint16_t unitTo16(double u) { return static_cast<uint16_t>(std::lround(clampUnit(u) * 65535.0)); }

Image::Image(int width, int height, SampleDepth depth)
    : width_(width), height_(height), depth_(depth) {
    if (width < 0 || height < 0) {
        throw std::invalid_argument("image: invalid size " + std::to_string(width) + "x" +
                                    std::to_string(height));
    }
    switch (depth) {
        case SampleDepth::bits8:
            samples8_.assign(sampleCount(), 0);
            break;
        case SampleDepth::bits16:
            samples16_.assign(sampleCount(), 0);
            break;
        case SampleDepth::float32:
            samples_float_.assign(sampleCount(), 0.0f);
            break;
    }
}

namespace {
void requireDepth(SampleDepth have, SampleDepth want) {
    if (have != want) {
        throw std::logic_error(std::string("image: asked for ") + depthName(want) +
                               " samples of a " + depthName(have) + " image");
    }
}
}  // namespace

std::span<uint8_t> Image::samples8() {
    requireDepth(depth_, SampleDepth::bits8);
    return samples8_;
}
std::span<const uint8_t> Image::samples8() const {
    requireDepth(depth_, SampleDepth::bits8);
    return samples8_;
}
std::span<uint16_t> Image::samples16() {
    requireDepth(depth_, SampleDepth::bits16);
    return samples16_;
}
std::span<const uint16_t> Image::samples16() const {
    requireDepth(depth_, SampleDepth::bits16);
    return samples16_;
}
std::span<float> Image::samplesFloat() {
    requireDepth(depth_, SampleDepth::float32);
    return samples_float_;
}
std::span<const float> Image::samplesFloat() const {
    requireDepth(depth_, SampleDepth::float32);
    return samples_float_;
}

size_t Image::index(int x, int y, int c) const {
    if (x < 0 || x >= width_ || y < 0 || y >= height_ || c < 0 || c >= channels) {
        throw std::out_of_range("image: sample (" + std::to_string(x) + ", " + std::to_string(y) +
                                ", channel " + std::to_string(c) + ") outside " +
                                std::to_string(width_) + "x" + std::to_string(height_));
    }
    return (size_t(y) * size_t(width_) + size_t(x)) * channels + size_t(c);
}

double Image::sample(int x, int y, int c) const {
    const size_t i = index(x, y, c);
    switch (depth_) {
        case SampleDepth::bits8:
            return samples8_[i];
        case SampleDepth::bits16:
            return samples16_[i];
        case SampleDepth::float32:
            return samples_float_[i];
    }
    return 0.0;
}

void Image::setSample(int x, int y, int c, double v) {
    const size_t i = index(x, y, c);
    switch (depth_) {
        case SampleDepth::bits8:
            samples8_[i] = unitTo8(v / 255.0);
            break;
        case SampleDepth::bits16:
            samples16_[i] = unitTo16(v / 65535.0);
            break;
        case SampleDepth::float32:
            samples_float_[i] = static_cast<float>(v);
            break;
    }
}

Image Image::converted(SampleDepth depth) const {
    Image out(width_, height_, depth);
    out.z_ = z_;
    const size_t n = sampleCount();
    const double from_max = fileMaximum(depth_);
    for (size_t i = 0; i < n; ++i) {
        double u = 0.0;
        switch (depth_) {
            case SampleDepth::bits8:
                u = samples8_[i] / from_max;
                break;
            case SampleDepth::bits16:
                u = samples16_[i] / from_max;
                break;
            case SampleDepth::float32:
                u = samples_float_[i];
                break;
        }
        switch (depth) {
            case SampleDepth::bits8:
                out.samples8_[i] = unitTo8(u);
                break;
            case SampleDepth::bits16:
                out.samples16_[i] = unitTo16(u);
                break;
            case SampleDepth::float32:
                out.samples_float_[i] = static_cast<float>(u);
                break;
        }
    }
    return out;
}

void Image::setZ(std::vector<float> z) {
    if (z.size() != size_t(width_) * size_t(height_)) {
        throw std::invalid_argument("image: depth plane of " + std::to_string(z.size()) +
                                    " values for a " + std::to_string(width_) + "x" +
                                    std::to_string(height_) + " image");
    }
    z_ = std::move(z);
}
