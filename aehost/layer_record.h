#pragma once

#include <cstddef>
#include <cstdint>

#include "AE_Effect.h"

// The working form of one layer during a render: where it sits on the output and which host
// world holds its pixels. An array of these, one per helper layer, is the smart pre-render
// data that the host keeps from smart pre-render to smart render, so the layout is fixed at
// 40 bytes.
struct LayerRecord {
    bool present = false;  // connected, with pixels
    int32_t offset_x = 0;  // position of the world's pixel (0, 0) in output pixels
    int32_t offset_y = 0;
    int32_t layer_width = 0;  // size of the whole layer at the render's resolution
    int32_t layer_height = 0;
    double pixel_aspect = 1.0;  // width / height of one pixel
    PF_LayerDef* world = nullptr;
};

static_assert(sizeof(LayerRecord) == 40, "the smart pre-render data layout is 40 bytes a layer");
static_assert(offsetof(LayerRecord, offset_x) == 4 && offsetof(LayerRecord, layer_height) == 16 &&
                  offsetof(LayerRecord, pixel_aspect) == 24 && offsetof(LayerRecord, world) == 32,
              "layer record fields at their fixed offsets");
