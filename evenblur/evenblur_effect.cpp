#include "evenblur/evenblur_effect.h"

#include "imaging/clear_image_filter.h"
#include "imaging/copy_image_filter.h"
#include "evenblur/evenblur_filter.h"
#include "evenblur/fill_info_buffer_filter.h"
#include "framework/host_block.h"
#include "evenblur/kernel_image_builder.h"
#include "imaging/pixel_conversion.h"
#include "evenblur/refract_filter.h"
#include "imaging/selection_picture.h"

namespace {

// RGBA float at the host pixel's scale (255, 32768 or 1): the iris display buffer and the
// refracted background.
template <class P>
using HostScaleFloat = PixelRGB<RGBALayout, float, 1, 0, P::max_value>;

}  // namespace

template <class P>
int32_t EvenblurEffect<P>::render() {
    switch (settings.show) {
        case EvenblurSettings::kShowIris:
            return render_iris();
        case EvenblurSettings::kShowHighlightSelection:
        case EvenblurSettings::kShowHighlightSelectionOnly:
            return render_selection_picture(
                host, source, output, selection, settings.selection,
                settings.show == EvenblurSettings::kShowHighlightSelectionOnly);
        default:
            return render_blur();
    }
}

template <class P>
int32_t EvenblurEffect<P>::render_blur() {
    const bool with_background = background.data != nullptr;
    // The blur (or the copy) fills the whole progress bar; a background then runs as passes 1
    // and 2 of three (information buffer, refraction, then the compositing in the last third),
    // so the bar starts again at a third.
    int32_t result;
    if (settings.radius > 0.0) {
        if (lens.data != nullptr && settings.colored_iris) {
            EvenblurFilter<P, PixelRGBAFloat> blur(host, settings, source, output, selection, lens);
            result = blur.render(0, 1);
        } else {
            EvenblurFilter<P, PixelGrayFloat> blur(host, settings, source, output, selection, lens);
            result = blur.render(0, 1);
        }
    } else {
        CopyImageFilter<P, P> copy(host, source, output);
        result = copy.render(0, 1);
    }
    if (with_background && result == host->noError()) result = render_background();
    return result;
}

template <class P>
int32_t EvenblurEffect<P>::render_iris() {
    using Display = HostScaleFloat<P>;
    const HostBlock block =
        HostBlock::allocate(*host, PixelArray<Display>::packedBytes(output.width, output.height));
    if (!block) return host->outOfMemoryError();
    PixelArray<Display> image(block.get(), output.width, output.height);
    image.origin_x = output.origin_x;
    image.origin_y = output.origin_y;
    // The kernel is drawn for the source's pixel aspect, as in a blur.
    image.factor_a = source.factor_a;

    ClearImageFilter<Display> clear(host, image);
    int32_t result = clear.render(0, 3);
    if (result == host->noError()) {
        KernelImageBuilder<P, Display> builder(host, settings, lens, image, true);
        result = builder.render(1, 3);
    }
    if (result == host->noError()) {
        CopyImageFilter<Display, P> copy(host, image, output);
        result = copy.render(2, 3);
    }
    return result;
}

template <class P>
int32_t EvenblurEffect<P>::render_background() {
    using Refracted = HostScaleFloat<P>;
    constexpr double max = P::max;
    const HostBlock info_block =
        HostBlock::allocate(*host, PixelArray<PixelInfo>::packedBytes(output.width, output.height));
    const HostBlock refracted_block = HostBlock::allocate(
        *host, PixelArray<Refracted>::packedBytes(background.width, background.height));
    if (!info_block || !refracted_block) {
        return host->outOfMemoryError();
    }
    PixelArray<PixelInfo> info(info_block.get(), output.width, output.height);
    info.origin_x = source.origin_x;
    info.origin_y = source.origin_y;
    PixelArray<Refracted> refracted(refracted_block.get(), background.width, background.height);
    refracted.origin_x = background.origin_x;
    refracted.origin_y = background.origin_y;

    FillInfoBufferFilter<P> fill(host, info, output, output);
    int32_t result = fill.render(1, 3);
    if (result == host->noError()) {
        RefractFilter<P, Refracted> refract(host, background, refracted, info);
        refract.distortion = settings.distortion;
        refract.samples = settings.distortion_antialias;
        refract.assume_h = settings.assume_h;
        refract.assume_v = settings.assume_v;
        refract.outside_red = settings.outside_color[0] * max;
        refract.outside_green = settings.outside_color[1] * max;
        refract.outside_blue = settings.outside_color[2] * max;
        refract.outside_alpha = settings.outside_alpha * max;
        refract.scale_x = settings.scale_x;
        refract.scale_y = settings.scale_y;
        result = refract.render(2, 3);
    }

    // The blurred output over the refracted background, in straight colour; the output keeps
    // its alpha form.
    const int32_t dx = source.origin_x - background.origin_x;
    const int32_t dy = source.origin_y - background.origin_y;
    for (int32_t y = 0; result == host->noError() && y < output.height; ++y) {
        const int32_t by = y + dy;
        if (by >= 0 && by < refracted.height) {
            P* out = output.row(y);
            const Refracted* back = refracted.row(by);
            for (int32_t x = 0; x < output.width; ++x) {
                const int32_t bx = x + dx;
                if (bx < 0 || bx >= refracted.width) continue;
                ChannelValues f = read_rgba(out[x]);
                ChannelValues b = read_rgba(back[bx]);
                if (output.premultiplied && f.a > 0.0) {
                    f.r *= max / f.a;
                    f.g *= max / f.a;
                    f.b *= max / f.a;
                }
                if (background.premultiplied && b.a > 0.0) {
                    b.r *= max / b.a;
                    b.g *= max / b.a;
                    b.b *= max / b.a;
                }
                // c = (cf Af / Max + cb ab / Max) * Max / A, with the two divisions folded into
                // one, so that a pixel wholly of the foreground or of the background keeps its
                // colour exactly and truncation cannot take a level off it.
                const double ab = (max - f.a) * b.a / max;
                const double a = f.a + ab;
                ChannelValues c{a, 0.0, 0.0, 0.0};  // no alpha: no colour either
                if (float(a) > 0.0f) {
                    c.r = (f.r * f.a + b.r * ab) / a;
                    c.g = (f.g * f.a + b.g * ab) / a;
                    c.b = (f.b * f.a + b.b * ab) / a;
                }
                if (output.premultiplied) {
                    c.r *= a / max;
                    c.g *= a / max;
                    c.b *= a / max;
                }
                if constexpr (P::is_float)
                    write_rgba(out[x], c);
                else
                    write_rgba_clamped(out[x], c);
            }
        }
        result = host->progress(y + output.height * 2, output.height * 3);
    }
    return result;
}

template class EvenblurEffect<PixelRGBA8>;
template class EvenblurEffect<PixelRGBA16>;
template class EvenblurEffect<PixelRGBAFloat>;
