#pragma once

#include <cstdint>

#include "imaging/hsl_range_selection_filter.h"
#include "imaging/hsl_selection.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "framework/quillbrook_host.h"

// The "highlight selection" displays of both effects: the highlight selection filter's picture
// (the source weighted by the selection, or with `selection_only` the weight itself as gray),
// made opaque, alpha Max (255, 32768 or 1.0) everywhere. The filter runs as progress pass 0 of
// 1; every opaque row then reports 100 of 100. The first status other than no-error ends it.
template <class P>
int32_t render_selection_picture(QuillbrookHost* host, const PixelArray<P>& source,
                                 const PixelArray<P>& output, const PixelArray<P>& selection,
                                 const SelectionSettings& settings, bool selection_only) {
    HslRangeSelectionFilter<P> filter(host, source, output, selection);
    filter.settings = settings;
    filter.settings.show_selection = selection_only;
    int32_t status = filter.render(0, 1);
    if (status != host->noError() || output.data == nullptr) return status;
    for (int32_t y = 0; y < output.height; ++y) {
        P* row = output.row(y);
        for (int32_t x = 0; x < output.width; ++x) alpha_of(row[x]) = store_channel<P>(P::max);
        status = host->progress(100, 100);
        if (status != host->noError()) return status;
    }
    return status;
}
