#pragma once

#include <cstdint>

#include "evenblur/evenblur_settings.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_types.h"
#include "framework/rectangle.h"  // complete before the host header, whose hooks take it by value
#include "imaging/quillbrook_filter.h"

// One frame of the out-of-focus effect. The host face fills the settings and the five image
// descriptors (host memory, not owned), calls render once on its own thread and destroys the
// object. render picks the work by `settings.show`:
//   1 "normal blur": the lens blur (EvenblurFilter), or a plain copy when the radius is 0; then,
//     when a background layer has pixels, its distortion through the blurred alpha and the
//     composite of the blurred output over it;
//   2 "iris": the lens kernel drawn at display size (host scale) into the output;
//   3 "highlight selection", 4 "highlight selection only": the selection picture, made opaque.
// P is the host pixel of the frame: RGBA 8, RGBA 16 or RGBA float (channel maximum 255, 32768
// or 1). A helper image whose `data` is null is absent. Every temporary buffer comes from the
// host's render context and is given back before render returns, on every path.
template <class P>
class EvenblurEffect : public QuillbrookFilter {
    static_assert(P::is_rgba && P::extra_count == 0, "the effect renders RGBA host pixels");

public:
    EvenblurEffect(QuillbrookHost* host_in, const EvenblurSettings& settings_in,
                   PixelArray<P> source_in, PixelArray<P> output_in, PixelArray<P> selection_in,
                   PixelArray<P> lens_in, PixelArray<P> background_in)
        : QuillbrookFilter(host_in), source(source_in), output(output_in), selection(selection_in),
          lens(lens_in), background(background_in), settings(settings_in) {}

    // Renders the frame into `output`. Returns no-error, the out-of-memory status (after giving
    // back what was obtained), or the first other status from the host's progress (a cancel:
    // the output is then incomplete).
    virtual int32_t render();

    PixelArray<P> source;
    PixelArray<P> output;
    PixelArray<P> selection;
    PixelArray<P> lens;
    PixelArray<P> background;
    EvenblurSettings settings;

private:
    int32_t render_blur();
    int32_t render_iris();
    // Distorts the background through the blurred output and composites the output over it.
    int32_t render_background();
};

// The plug-in's instantiations live in evenblur_effect.cpp.
extern template class EvenblurEffect<PixelRGBA8>;
extern template class EvenblurEffect<PixelRGBA16>;
extern template class EvenblurEffect<PixelRGBAFloat>;
