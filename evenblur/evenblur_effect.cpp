#include "evenblur_effect.h"

#include "copy_image_filter.h"
#include "hsl_range_selection_filter.h"

template <class P>
int32_t EvenblurEffect<P>::render() {
    switch (settings.show) {
        case EvenblurSettings::kShowIris:
            return render_iris();
        case EvenblurSettings::kShowHighlightSelection:
        case EvenblurSettings::kShowHighlightSelectionOnly:
            return render_selection();
        default:
            return render_blur();
    }
}

template <class P>
int32_t EvenblurEffect<P>::render_blur() {
    CopyImageFilter<P, P> copy(host, source, output);
    return copy.render(0, 1);
}

template <class P>
int32_t EvenblurEffect<P>::render_iris() {
    return render_blur();
}

template <class P>
int32_t EvenblurEffect<P>::render_selection() {
    HslRangeSelectionFilter<P> filter(host, source, output, selection);
    filter.settings = settings.selection;
    filter.settings.show_selection = settings.show == EvenblurSettings::kShowHighlightSelectionOnly;
    int32_t result = filter.render(0, 1);
    for (int32_t y = 0; result == host->noError() && y < output.height; ++y) {
        P* row = output.row(y);
        for (int32_t x = 0; x < output.width; ++x) alpha_of(row[x]) = store_channel<P>(P::max);
        result = host->progress(100, 100);
    }
    return result;
}

template <class P>
int32_t EvenblurEffect<P>::render_background() {
    return host->noError();
}

template class EvenblurEffect<PixelRGBA8>;
template class EvenblurEffect<PixelRGBA16>;
template class EvenblurEffect<PixelRGBAFloat>;
