#pragma once

#include <cstdint>
#include <map>
#include <string>

// One host pixel buffer as handed to an effect's render operation. The pixels belong to the
// host; this only describes them. Channels are alpha, red, green, blue in memory, with maximum
// 255 (8 bits), 32768 (16 bits) or 1.0 (32-bit float).
struct LayerImage {
    void* data = nullptr;  // first byte of row 0; not owned
    int32_t width = 0;     // pixels of the checked-out buffer
    int32_t height = 0;
    int32_t origin_x = 0;  // where pixel (0, 0) lies in the output's coordinates
    int32_t origin_y = 0;
    int32_t row_bytes = 0;   // may exceed width * pixel size
    int32_t bits = 0;        // bits per channel of the render: 8, 16 or 32
    int32_t full_width = 0;  // the whole layer at the current downsampling
    int32_t full_height = 0;
    double pixel_aspect = 1.0;
    double downsample_x = 1.0;  // 1 at full resolution, 0.5 at half
    double downsample_y = 1.0;
    bool present = false;  // connected, with pixels available
    bool premultiplied = false;
};

// The helper layers of one render call by name ("zbuffer layer", "lens layer", ...); lives only
// for that call.
using LayerMap = std::map<std::string, LayerImage>;
