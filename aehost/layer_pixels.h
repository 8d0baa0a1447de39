#pragma once

#include <cstdint>
#include <type_traits>

#include "AE_Effect.h"
#include "aehost/layer_image.h"
#include "framework/logger.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_types.h"

// The one rule by which an effect turns a LayerImage into the PixelArray its filters read.
// Sizes, rows and origin are copied; the three factors take the pixel aspect and the two
// downsample factors; the pixel size follows from P (4, 8 or 16 bytes for RGBA 8, 16, float).
// The image is valid only when the layer is present and has pixels; an image that is not valid
// has null data, which every effect reads as "no such layer" (a pointer without `present` is
// not used).
template <class P>
PixelArray<P> pixelArrayOf(const LayerImage& layer) {
    PixelArray<P> image;
    image.width = layer.width;
    image.height = layer.height;
    image.row_bytes = layer.row_bytes;
    image.pixel_bytes = int32_t(sizeof(P));
    image.origin_x = layer.origin_x;
    image.origin_y = layer.origin_y;
    image.factor_a = layer.pixel_aspect;
    image.factor_b = layer.downsample_x;
    image.factor_c = layer.downsample_y;
    image.valid = layer.present && layer.data != nullptr;
    image.data = image.valid ? layer.data : nullptr;
    image.premultiplied = layer.premultiplied;
    return image;
}

// The helper layer `name` of a render call; a layer the map does not hold is an absent one.
inline const LayerImage& helperLayerImage(const LayerMap& layers, const char* name) {
    static const LayerImage kAbsent;
    const auto it = layers.find(name);
    return it == layers.end() ? kAbsent : it->second;
}

// The selection image of a render: the named helper layer when it is present, else the source.
inline const LayerImage& selectionOrSource(const LayerMap& layers, const char* name,
                                           const LayerImage& source) {
    const LayerImage& selection = helperLayerImage(layers, name);
    return selection.present ? selection : source;
}

template <class P>
constexpr int32_t bitsOf() {
    if constexpr (std::is_same_v<P, PixelRGBA8>) {
        return 8;
    } else if constexpr (std::is_same_v<P, PixelRGBA16>) {
        return 16;
    } else {
        return 32;
    }
}

// pixelArrayOf with the checks a filter relies on: no negative size and rows at least as long
// as their pixels (for more than one row). A refused layer is logged as
//   "render: <what> of <W>x<H> pixels has <N> bytes per row"
// and gives PF_Err_BAD_CALLBACK_PARAM; *image is written only on success.
template <class P>
PF_Err checkedPixelArrayOf(const LayerImage& layer, const char* what, PixelArray<P>* image) {
    const PixelArray<P> made = pixelArrayOf<P>(layer);
    const bool describable =
        made.data == nullptr ||
        (made.width >= 0 && made.height >= 0 &&
         (made.height <= 1 || int64_t(made.row_bytes) >= int64_t(made.width) * int64_t(sizeof(P))));
    if (!describable) {
        LogEntry(Logger::kError) << Logger::kErrorPrefix << "render: " << what << " of "
                                 << made.width << "x" << made.height << " pixels has "
                                 << made.row_bytes << " bytes per row\n";
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    *image = made;
    return PF_Err_NONE;
}
