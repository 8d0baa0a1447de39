#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "AE_Effect.h"
#include "AE_EffectSuites.h"
#include "qbrender/image.h"

// Pixel buffers as the host hands them to an effect.
//
// Host pixels are alpha, red, green, blue in memory, with channel maximum 255 (8-bit), 32768
// (16-bit) or 1.0 (32-bit float); see host_pixels.h for the conversion from file samples.

// One layer at one frame, at the render's depth and downsampling, as tight host-layout rows:
// the source from which every world of that layer is cut. Downsampling picks every N-th pixel
// of every N-th row (pixel (x, y) is file pixel (x * N, y * N)), as a draft render does; the
// depth plane (the Z channel of an EXR file, scene units, larger = farther) is picked the same
// way.
struct HostPlane {
    int width = 0;
    int height = 0;
    SampleDepth depth = SampleDepth::bits8;
    std::vector<unsigned char> pixels;  // height rows of width * hostPixelBytes(depth) bytes
    std::vector<float> z;               // width * height values, or empty

    size_t rowBytes() const;
    const unsigned char* pixel(int x, int y) const;
};

// Size of a layer dimension at 1/downsample resolution: size / downsample rounded down, at
// least 1 (the rule the effects use for the full layer size).
int downsampledSize(int size, int downsample);

// An empty image gives an empty plane (0x0), whatever the downsampling.
HostPlane makeHostPlane(const Image& image, SampleDepth depth, int downsample);

// A pixel world owned by the host. Every row has spare bytes after its pixels, and guard bands
// lie before the first and after the last row; all of them hold kSentinel, so that damage()
// can tell whether the effect wrote outside the pixels. Pixels start zeroed (transparent
// black). The world's def().reserved0 points back at the HostWorld, so that the world suite
// can tell the pixel format of any copy of the description.
class HostWorld {
public:
    static constexpr unsigned char kSentinel = 0xC3;
    static constexpr size_t kGuardBytes = 64;

    // Spare bytes per row: two pixels and four bytes, so that an effect that steps rows by
    // width * pixel size shows at once; 16-bit and float rows are then not even a whole number
    // of pixels apart (rows stay 4-byte aligned).
    static size_t spareBytes(SampleDepth depth);

    HostWorld(int width, int height, SampleDepth depth, int origin_x, int origin_y, bool writeable);
    // A description without pixels (data null, size 0): a disconnected layer.
    explicit HostWorld(SampleDepth depth);
    HostWorld(const HostWorld&) = delete;
    HostWorld& operator=(const HostWorld&) = delete;
    ~HostWorld();

    // The live world that `def` (or a copy of it) describes; null for anything else.
    static const HostWorld* fromDef(const PF_EffectWorld* def);

    PF_EffectWorld* def() { return &def_; }
    const PF_EffectWorld* def() const { return &def_; }
    SampleDepth depth() const { return depth_; }
    PF_PixelFormat pixelFormat() const;
    bool hasPixels() const { return def_.data != nullptr; }
    int width() const { return def_.width; }
    int height() const { return def_.height; }
    const unsigned char* row(int y) const;
    unsigned char* row(int y);

    // Pixel (x, y) of the world = plane pixel (left + x, top + y); transparent black where that
    // lies outside the plane.
    void fill(const HostPlane& plane, int left, int top);

    // Empty when every spare and guard byte still holds the sentinel, else one line naming
    // the first one written ("row 3, spare byte 2 of 12").
    std::string damage() const;
    // Empty when every pixel holds a valid host value, else one line naming the first that
    // does not ("pixel 3,4 red 40000, above the 16-bit maximum 32768"). Only 16-bit worlds can
    // hold one: their channels are stored in 16 bits but run 0..32768.
    std::string rangeFault() const;
    // A 64-bit hash of the pixels (spare bytes excluded), to see whether an input changed:
    // FNV-1a steps over 8-byte words in four interleaved lanes (the last bytes of a row one by
    // one), so that the multiplications overlap and a float HD frame takes a few milliseconds.
    // Every step is one-to-one in its input, so a change of any one word always shows.
    uint64_t pixelChecksum() const;

    // The pixels as a file image of the same depth (16-bit values mapped to 0..65535).
    Image toImage() const;

private:
    SampleDepth depth_;
    std::vector<unsigned char> buffer_;
    unsigned char* data_ = nullptr;
    PF_EffectWorld def_{};
};
