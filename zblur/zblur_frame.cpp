#include "zblur/zblur_frame.h"

#include "zblur/zblur_filter.h"

namespace {

template <class P, class D>
int32_t run_filter(QuillbrookHost* host, const ZblurSettings& settings, const ZblurFrame<P>& frame,
                   const PixelArray<D>& depth) {
    ZblurFilter<P, D> filter(host, frame.source, frame.output, frame.selection, depth, frame.lens,
                             settings);
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
