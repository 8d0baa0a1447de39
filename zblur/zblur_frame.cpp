#include "zblur_frame.h"

// The filter is not in place yet: every frame renders as no-error without writing.
int32_t renderZblurFrame(QuillbrookHost* host, const ZblurSettings& settings,
                         const ZblurFrame<PixelRGBA8>& frame) {
    (void)settings;
    (void)frame;
    return host->noError();
}
int32_t renderZblurFrame(QuillbrookHost* host, const ZblurSettings& settings,
                         const ZblurFrame<PixelRGBA16>& frame) {
    (void)settings;
    (void)frame;
    return host->noError();
}
int32_t renderZblurFrame(QuillbrookHost* host, const ZblurSettings& settings,
                         const ZblurFrame<PixelRGBAFloat>& frame) {
    (void)settings;
    (void)frame;
    return host->noError();
}
