#pragma once

#include <filesystem>
#include <vector>

#include "qbrender/image.h"

// The built-in sample scene: a procedurally generated frame for rendering without input files.
//
// A street at dusk seen from 1.3 units above the ground: a city skyline and sky on a far
// backdrop (many small, very bright window lights on it), four spheres standing at distinct
// depths in the mid-ground, a striped post close to the camera and a tiled ground whose depth
// changes smoothly from the bottom of the frame to the backdrop. The same size always gives the
// same pixels.

inline constexpr int kSampleWidth = 1280;
inline constexpr int kSampleHeight = 720;
// Scene units (think metres) along the view axis: the nearest depth the depth image tells apart
// and the backdrop's depth.
inline constexpr float kSampleNearZ = 1.25f;
inline constexpr float kSampleFarZ = 80.0f;

struct SampleScene {
    // Float RGBA, gamma-encoded on the 0..1 scale, opaque. The cores of the window lights and
    // the specular spots go above 1.0 (to about 3); integer conversions clip them to full white.
    // The depth plane holds the distance along the view axis (larger = farther),
    // kSampleNearZ < z <= kSampleFarZ.
    Image color;
    // 16-bit gray (R = G = B, opaque) of sampleDepthGray(z): near = white, the backdrop = black.
    Image depth;
    // A clean plate for a "behind" layer: the same scene without the near post, as `color`
    // (float RGBA, opaque, with its own depth plane). The post still casts its shadow, so every
    // pixel that the post does not show in (not even in an outline sample) is bit-identical to
    // `color`, colour and Z; under the post and on its outline it shows what the post hides,
    // farther away. Empty unless asked for (BehindLayer::render).
    Image behind;
};

// Whether makeSampleScene also renders SampleScene::behind. It re-shades only the pixels the
// post shows in, so it adds little to the time of the frame; it is off by default because the
// frame is made on every run without an input file and only --write-sample needs the plate.
enum class BehindLayer { skip, render };

// Depth image value of a depth z on the 0..1 scale: inverse depth (1/z - 1/far) / (1/near -
// 1/far), clamped to 0..1. Inverse depth is what the blur of a lens grows with, so a linear
// mapping of this gray to blur radius looks natural.
double sampleDepthGray(double z);

// Renders the scene at width x height (each 1 .. 16384; else std::invalid_argument).
SampleScene makeSampleScene(int width = kSampleWidth, int height = kSampleHeight,
                            BehindLayer behind = BehindLayer::skip);

// Writes the scene into `dir` (created when missing) as sample.exr (float RGBA with Z),
// sample.png (8-bit RGBA), sample_depth.png (16-bit gray) and sample_behind.exr (the behind
// plate, float RGBA with Z), and returns the written files in that order.
// Failures throw QbrenderError naming the file or folder.
std::vector<std::filesystem::path> writeSample(const std::filesystem::path& dir,
                                               int width = kSampleWidth,
                                               int height = kSampleHeight);
