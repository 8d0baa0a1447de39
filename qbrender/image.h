#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Sample depth of an image: 8-bit (0..255), 16-bit (0..65535 in files) or 32-bit float.
enum class SampleDepth { bits8, bits16, float32 };

// 8, 16 or 32.
int bitsOf(SampleDepth depth);
// "8-bit", "16-bit" or "32-bit float", for messages.
const char* depthName(SampleDepth depth);

// An RGBA image as stored in (or bound for) an image file, in the file's own scale: 8-bit
// samples 0..255, 16-bit samples 0..65535 (not the host's 0..32768, see host_pixels.h), float
// samples as stored (1.0 = full, values outside 0..1 and NaN kept). Alpha is straight, exactly as
// in the file; files without alpha get full alpha and gray files are expanded to R = G = B when
// read. Samples are interleaved R, G, B, A, rows top to bottom without padding.
//
// An image may carry a depth plane (the Z channel of an EXR file): one float per pixel in scene
// units, larger = farther, in the same row order.
class Image {
public:
    static constexpr int channels = 4;

    Image() = default;
    // All samples 0, no depth plane. Throws std::invalid_argument for a negative size.
    Image(int width, int height, SampleDepth depth);

    int width() const { return width_; }
    int height() const { return height_; }
    SampleDepth depth() const { return depth_; }
    bool empty() const { return width_ == 0 || height_ == 0; }
    size_t sampleCount() const { return size_t(width_) * size_t(height_) * channels; }

    // The sample buffer of the image's own depth; asking for another depth throws
    // std::logic_error.
    std::span<uint8_t> samples8();
    std::span<const uint8_t> samples8() const;
    std::span<uint16_t> samples16();
    std::span<const uint16_t> samples16() const;
    std::span<float> samplesFloat();
    std::span<const float> samplesFloat() const;

    // Channel c (0 red, 1 green, 2 blue, 3 alpha) of pixel (x, y) in the file's scale.
    double sample(int x, int y, int c) const;
    // Stores v in the file's scale; integer depths round to nearest and clamp, NaN stores 0.
    void setSample(int x, int y, int c, double v);

    // The same picture at another depth, through the 0..1 scale: integer results are rounded to
    // nearest after clamping to 0..1 (NaN gives 0); float results keep out-of-range values.
    // The depth plane is copied.
    Image converted(SampleDepth depth) const;

    bool hasZ() const { return !z_.empty(); }
    std::span<float> z() { return z_; }
    std::span<const float> z() const { return z_; }
    // Replaces the depth plane; `z` must hold width * height values (else std::invalid_argument).
    void setZ(std::vector<float> z);
    void clearZ() { z_.clear(); }

private:
    size_t index(int x, int y, int c) const;

    int width_ = 0;
    int height_ = 0;
    SampleDepth depth_ = SampleDepth::bits8;
    // Only the buffer of depth_ is in use.
    std::vector<uint8_t> samples8_;
    std::vector<uint16_t> samples16_;
    std::vector<float> samples_float_;
    std::vector<float> z_;
};

// Sample scale of a file depth: 255, 65535 or 1.0.
double fileMaximum(SampleDepth depth);
// Integer sample from a 0..1 value: clamps to 0..1 (NaN gives 0), then rounds to nearest.
uint8_t unitTo8(double u);
uint16_t unitTo16(double u);
