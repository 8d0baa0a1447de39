#pragma once

#include <cstdint>

#include "imaging/pixel_array.h"
#include "imaging/pixel_types.h"
#include "framework/quillbrook_host.h"
#include "zblur/depth_levels.h"
#include "zblur/zblur_settings.h"

// Where a frame's depth comes from: the "zbuffer layer" (RGBA of the output's pixel type), the
// input layer's own depth channel as one float or one double per pixel, or nothing (every pixel
// then reads raw depth 0).
enum class ZblurDepthKind : int32_t {
    none = 0,
    layer = 1,
    channel_float = 2,
    channel_double = 3,
};

// The images of one frame render, as descriptors of host memory (nothing is owned). P is the
// output's pixel type: RGBA 8, 16 or float. Only the depth image named by `depth_kind` is read.
// Helper layers that are not connected have null data: an empty selection gives weight 0, an
// empty lens image means the polygonal iris.
template <class P>
struct ZblurFrame {
    PixelArray<P> source;
    PixelArray<P> output;
    ZblurDepthKind depth_kind = ZblurDepthKind::none;
    PixelArray<P> depth_layer;
    PixelArray<PixelGrayFloat> depth_float;
    PixelArray<PixelGrayDouble> depth_double;
    PixelArray<P> selection;
    PixelArray<P> lens;
    // The "behind layer": what lies behind the near objects of the source (a clean plate),
    // aligned with the source by the origins, transparent where nothing is known. Its depth
    // comes from the "behind depth layer" or the behind layer's own depth channel
    // (behind_depth_kind), read with behind_rule; without depth it is not used.
    PixelArray<P> behind;
    ZblurDepthKind behind_depth_kind = ZblurDepthKind::none;
    PixelArray<P> behind_depth_layer;
    PixelArray<PixelGrayFloat> behind_depth_float;
    PixelArray<PixelGrayDouble> behind_depth_double;
    DepthRule behind_rule;
};

// Renders one frame of the depth-of-field effect into frame.output with the depth source that
// frame.depth_kind names: the blur, or the display that settings.show asks for. Returns the
// host's no-error, out-of-memory or abort status, or its internal error for a depth kind
// outside the enumeration.
int32_t renderZblurFrame(QuillbrookHost* host, const ZblurSettings& settings,
                         const ZblurFrame<PixelRGBA8>& frame);
int32_t renderZblurFrame(QuillbrookHost* host, const ZblurSettings& settings,
                         const ZblurFrame<PixelRGBA16>& frame);
int32_t renderZblurFrame(QuillbrookHost* host, const ZblurSettings& settings,
                         const ZblurFrame<PixelRGBAFloat>& frame);
