#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qbrender/host_pixels.h"
#include "qbrender/image.h"
#include "qbrender/layer_source.h"
#include "framework/rectangle.h"
#include "qbrender/render_job.h"

// An independent model of what the test-only plug-in (tests/testeffect) must output, built from
// the rules the host binding promises: point-sampled downsampling, helper layers centred on the
// output (offset = (output size - layer size) / 2, truncated toward zero), values in the host's
// scale (maximum 255, 32768 or 1.0) rounded to nearest.

inline std::string probePath() { return std::string(QB_TEST_PLUGIN_DIR) + "/qb_layer_probe.so"; }

// Deterministic test pattern in the file's scale at `depth`, opaque or not, different per seed.
inline Image patternImage(int width, int height, SampleDepth depth, int seed) {
    Image image(width, height, depth);
    const double maximum = fileMaximum(depth);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 4; ++c) {
                const unsigned h = unsigned(x * 73 + y * 151 + c * 37 + seed * 211) % 97u;
                // Mostly low values, so that sums of several images rarely clip.
                const double unit = c == 3 ? 0.2 + 0.3 * (h / 96.0) : 0.3 * (h / 96.0);
                double v = unit * maximum;
                if (depth != SampleDepth::float32) v = std::floor(v);
                image.setSample(x, y, c, v);
            }
        }
    }
    return image;
}

// Host value of channel c (0 alpha, 1 red, 2 green, 3 blue) of an image at its own depth.
inline double hostValue(const Image& image, int x, int y, int host_channel) {
    const int c = host_channel == 0 ? 3 : host_channel - 1;
    const double v = image.sample(x, y, c);
    switch (image.depth()) {
        case SampleDepth::bits16:
            return hostFromFile16(uint16_t(v));
        case SampleDepth::bits8:
        case SampleDepth::float32:
            return v;
    }
    return v;
}

struct ProbeSettings {
    int output = 1;
    double gain = 1.0;
    int add_red = 0;
    double add_green = 0.0;
    double blue_turn = 0.0;
    bool invert = false;
    double tint[3] = {1, 1, 1};
    int marker_x = -1;  // at the render's resolution
    int marker_y = -1;
};

struct ProbeLayers {
    const Image* first = nullptr;
    const Image* second = nullptr;
};

// Expected host values of output pixel (x, y) at 1/downsample resolution.
inline void probeExpected(const Image& source, ProbeLayers layers, const ProbeSettings& s,
                          int downsample, int x, int y, double out[4]) {
    const SampleDepth depth = source.depth();
    const double maximum = hostMaximum(depth);
    const int width = std::max(1, source.width() / downsample);
    const int height = std::max(1, source.height() / downsample);
    double sum[4] = {0, 0, 0, 0};
    for (const Image* layer : {layers.first, layers.second}) {
        if (layer == nullptr) continue;
        const int lw = std::max(1, layer->width() / downsample);
        const int lh = std::max(1, layer->height() / downsample);
        const int lx = x - (width - lw) / 2;
        const int ly = y - (height - lh) / 2;
        if (lx < 0 || ly < 0 || lx >= lw || ly >= lh) continue;
        for (int c = 0; c < 4; ++c)
            sum[c] += hostValue(*layer, lx * downsample, ly * downsample, c);
    }
    double v[4];
    for (int c = 0; c < 4; ++c) {
        const double src = hostValue(source, x * downsample, y * downsample, c);
        v[c] = s.output == 2 ? src : s.output == 3 ? s.gain * sum[c] : src + s.gain * sum[c];
    }
    v[1] += s.add_red * maximum / 255.0;
    v[2] += s.add_green * maximum;
    v[3] += s.blue_turn * maximum;
    for (int c = 1; c < 4; ++c) {
        if (s.invert) v[c] = maximum - std::clamp(v[c], 0.0, maximum);
        v[c] *= s.tint[c - 1];
    }
    if (x == s.marker_x && y == s.marker_y) {
        for (double& c : v) c = maximum;
    }
    for (int c = 0; c < 4; ++c) {
        const double clamped = std::clamp(v[c], 0.0, maximum);
        out[c] = depth == SampleDepth::float32 ? double(float(clamped)) : std::floor(clamped + 0.5);
    }
}

// Compares a rendered frame with the model inside `region` (the whole frame when unset) and
// checks that it is transparent black outside. Returns the number of differing samples and
// reports the first few.
inline int compareWithProbe(const Image& output, const Image& source, ProbeLayers layers,
                            const ProbeSettings& s, int downsample,
                            std::optional<Rectangle> region = std::nullopt) {
    const int width = std::max(1, source.width() / downsample);
    const int height = std::max(1, source.height() / downsample);
    EXPECT_EQ(output.width(), width);
    EXPECT_EQ(output.height(), height);
    EXPECT_EQ(output.depth(), source.depth());
    if (output.width() != width || output.height() != height) return -1;
    const Rectangle r = region.value_or(Rectangle{0, width, 0, height});
    int differences = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double expected[4] = {0, 0, 0, 0};
            const bool inside = x >= r.left && x < r.right && y >= r.top && y < r.bottom;
            if (inside) probeExpected(source, layers, s, downsample, x, y, expected);
            for (int c = 0; c < 4; ++c) {
                double got = hostValue(output, x, y, c);
                if (std::isnan(got) || got != expected[c]) {
                    if (++differences <= 5) {
                        ADD_FAILURE() << "pixel (" << x << ", " << y << ") channel " << c
                                      << ": got " << got << ", expected " << expected[c];
                    }
                }
            }
        }
    }
    return differences;
}

inline RenderJob probeJob(const Image& input, SampleDepth depth) {
    RenderJob job;
    job.effect = probePath();
    job.input = LayerSource::fromImage(input, "the test image");
    job.frame.depth = depth;
    job.settings.threads = 3;
    return job;
}
