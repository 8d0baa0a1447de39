#pragma once

#include <memory>
#include <vector>

#include "qbrender/image.h"
#include "qbrender/layer_source.h"
#include "qbrender/options.h"

// What the whole-frame benchmarks share: the frame users render and the settings of the two
// effects on it.
//
// The frame is qbrender's sample scene at 1920x1080 as a float render with depth: float RGBA,
// gamma-encoded, with its Z plane (scene units, 1.25 to 80), as a float EXR file with a Z
// channel reads. It is built once, in memory.

inline constexpr int kBenchFrameWidth = 1920;
inline constexpr int kBenchFrameHeight = 1080;

const Image& benchScene();
// The scene as the effect's input layer (one source shared by every benchmark: the host keeps
// its converted plane between frames of the same depth).
std::shared_ptr<LayerSource> benchSceneSource();

// Zblur's settings for a frame whose largest level radius is about `largest` pixels: depth from
// the input's Z channel over black point 1 to white point 80, focal level 128 (the middle of
// the level range), so both ends of the depth range (levels 0 and 255) get the largest kernel,
// "radius" 2 * largest (level 0: 128 * radius / 255 + 1 = 1.004 largest + 1 pixels), a 6-facet
// iris; everything else as a new instance has it.
std::vector<NamedValue> zblurBenchSets(int largest);
// Evenblur's: "radius" as given, everything else as a new instance has it.
std::vector<NamedValue> evenblurBenchSets(int radius);

// Zblur's blur radius of every pixel of the scene under zblurBenchSets(largest), in pixels,
// rows top to bottom: the radius of the pixel's depth level (its kernel's horizontal radius),
// computed with Zblur's own depth rules, for a peer that takes a radius map.
std::vector<float> zblurBenchRadii(int largest);
