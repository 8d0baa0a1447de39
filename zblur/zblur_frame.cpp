#include "zblur/zblur_frame.h"

#include "zblur/zblur_filter.h"

#include <cstddef>
#include <cstdint>

#include "framework/host_block.h"
#include "zblur/depth_levels.h"

namespace {

// The depth level of every behind pixel, from the behind depth image of type B, rows of
// behind.width bytes.
template <class P, class B>
void fill_behind_levels(const ZblurFrame<P>& frame, const PixelArray<B>& depth,
                        const float* curve, uint8_t* levels) {
    const DepthReader<B> reader(depth, frame.behind.origin_x, frame.behind.origin_y,
                                frame.behind_rule, curve);
    for (int32_t y = 0; y < frame.behind.height; ++y) {
        uint8_t* row = levels + size_t(y) * size_t(frame.behind.width);
        for (int32_t x = 0; x < frame.behind.width; ++x) row[x] = uint8_t(reader.level(x, y));
    }
}

// The behind layer's levels, when it is connected, has pixels and has a depth to place them
// (null block otherwise). The curve is the frame's, so behind and source levels compare.
template <class P>
int32_t behind_levels(QuillbrookHost* host, const ZblurSettings& settings,
                      const ZblurFrame<P>& frame, HostBlock& levels) {
    const PixelArray<P>& behind = frame.behind;
    if (behind.data == nullptr || behind.width <= 0 || behind.height <= 0) return host->noError();
    if (frame.behind_depth_kind == ZblurDepthKind::none) return host->noError();
    const bool blur = settings.show == kZblurShowNormalBlur || settings.show == kZblurShowInfoDensity;
    if (!blur || settings.radius == 0.0) return host->noError();
    HostBlock curve = HostBlock::allocate(*host, size_t(kDepthTableSize) * sizeof(float));
    levels = HostBlock::allocate(*host, size_t(behind.width) * size_t(behind.height));
    if (!curve || !levels) return host->outOfMemoryError();
    float* table = static_cast<float*>(curve.get());
    fill_curve_table(table, settings.curve);
    uint8_t* out = static_cast<uint8_t*>(levels.get());
    switch (frame.behind_depth_kind) {
        case ZblurDepthKind::layer:
            fill_behind_levels(frame, frame.behind_depth_layer, table, out);
            break;
        case ZblurDepthKind::channel_float:
            fill_behind_levels(frame, frame.behind_depth_float, table, out);
            break;
        case ZblurDepthKind::channel_double:
            fill_behind_levels(frame, frame.behind_depth_double, table, out);
            break;
        case ZblurDepthKind::none:
            break;
    }
    return host->noError();
}

template <class P, class D>
int32_t run_filter(QuillbrookHost* host, const ZblurSettings& settings, const ZblurFrame<P>& frame,
                   const PixelArray<D>& depth) {
    HostBlock levels;
    if (const int32_t status = behind_levels(host, settings, frame, levels);
        status != host->noError())
        return status;
    ZblurFilter<P, D> filter(host, frame.source, frame.output, frame.selection, depth, frame.lens,
                             settings);
    if (levels) {
        filter.behind = frame.behind;
        filter.behind_levels = static_cast<const uint8_t*>(levels.get());
    }
    return filter.render();
}

// The nine instantiations: three output types, each with a depth layer of its own type or the
// input's depth channel as floats or doubles. Without depth the depth layer instantiation
// reads an empty image (raw depth 0 everywhere).
template <class P>
int32_t render_frame(QuillbrookHost* host, const ZblurSettings& settings,
                     const ZblurFrame<P>& frame) {
    switch (frame.depth_kind) {
        case ZblurDepthKind::none:
            return run_filter(host, settings, frame, PixelArray<P>());
        case ZblurDepthKind::layer:
            return run_filter(host, settings, frame, frame.depth_layer);
        case ZblurDepthKind::channel_float:
            return run_filter(host, settings, frame, frame.depth_float);
        case ZblurDepthKind::channel_double:
            return run_filter(host, settings, frame, frame.depth_double);
    }
    LogEntry(Logger::kError) << Logger::kErrorPrefix << "renderZblurFrame: unknown depth kind "
                             << int32_t(frame.depth_kind) << "\n";
    return host->internalError();
}

}  // namespace

int32_t renderZblurFrame(QuillbrookHost* host, const ZblurSettings& settings,
                         const ZblurFrame<PixelRGBA8>& frame) {
    return render_frame(host, settings, frame);
}
int32_t renderZblurFrame(QuillbrookHost* host, const ZblurSettings& settings,
                         const ZblurFrame<PixelRGBA16>& frame) {
    return render_frame(host, settings, frame);
}
int32_t renderZblurFrame(QuillbrookHost* host, const ZblurSettings& settings,
                         const ZblurFrame<PixelRGBAFloat>& frame) {
    return render_frame(host, settings, frame);
}
