#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "evenblur/evenblur_settings.h"
#include "imaging/fill_image_filter.h"
#include "imaging/filter_items.h"
#include "framework/host_block.h"
#include "evenblur/glow_filter.h"
#include "imaging/iris_kernel.h"
#include "imaging/outside_mode.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "imaging/pixel_types.h"
#include "framework/rectangle.h"  // complete before the host header, whose hooks take it by value
#include "imaging/quillbrook_filter.h"
#include "imaging/summed_area_table.h"
#include "imaging/zoom_filter.h"

// The size and shape of the lens kernel for an image of Wk x Hk pixels (rendered pixels) and
// pixel aspect `pixel_aspect` (width over height of a pixel).
struct KernelGeometry {
    double diameter = 0.0;   // D, in full-resolution pixels
    double radius_x = 0.0;   // X: horizontal radius in rendered pixels, the iris's radius
    double radius_y = 0.0;   // Y: vertical radius in rendered pixels
    double ratio = 0.0;      // Y / X (Y when X is 0)
    double smoothing = 0.0;  // rs: smoothing radius before the division by the scales

    // In a blur the diameter is twice the radius. In the display of the iris (`display`) it
    // follows the image size instead, 100 pixels per 640 x 480 and at most half the image.
    static KernelGeometry of(const EvenblurSettings& settings, int32_t width, int32_t height,
                             double pixel_aspect, bool display) {
        const double rx = settings.scale_x;
        const double ry = settings.scale_y;
        KernelGeometry g;
        double d = 2.0 * settings.radius;
        if (display) {
            d = 100.0 * (width * rx * 0.0015625 + height * ry * 0.0020833333333333333);
            if (width * rx < 2.0 * d) d = width * rx / 2.0 - 1.0;
            if (height * ry < 2.0 * d) d = height * ry / 2.0 - 1.0;
        }
        g.diameter = d;
        const double e = settings.aspect;
        const double span = d + 2.0 - 2.0 * std::fabs(e);
        g.radius_x = span / (2.0 * rx * pixel_aspect) * (1.0 + e);
        g.radius_y = span / (2.0 * ry) * (1.0 - e);
        g.ratio = g.radius_x != 0.0 ? g.radius_y / g.radius_x : g.radius_y;
        g.smoothing = d * settings.smooth * 2.0 / (height * ry + width * rx);
        return g;
    }
};

// Draws the lens kernel into a float image T (RGBA float at scale S = T::max, or gray float at
// scale 1) whose pixels are all 0 on entry:
// - with a lens image (`lens.data` not null): the lens zoomed, centred, so that its shorter side
//   spans D + 1 full-resolution pixels; an RGBA image then holds premultiplied colour (or, with
//   `colored_iris` off, premultiplied gray in all three colour channels) and alpha S, a gray
//   image premultiplied gray;
// - without: the polygon iris of the settings (facets, rounding, angle, border ring, x-y aspect)
//   with its centre at pixel (Wk / 2, Hk / 2); an RGBA image gets alpha S and the coverage times
//   S in red, green and blue, a gray image the coverage (0 .. 1).
// Then, when the settings ask for smoothing, the glow filter softens it. Alpha S covers the
// whole image in the display of the iris; in a blur, which weighs each pixel by its colour
// times its alpha, only the part that can carry weight (`extent`), so that the rest of a large
// kernel window is never written.
//
// `scratch` is optional memory the builder may use for the glow filter's intermediate image and
// the lens's summed-area table when it is large enough (the blur lends the image buffer, which
// is unused until the kernel is drawn); otherwise they are obtained from the render context.
// Progress: the passes 3a (lens zoom, or the fill of an RGBA image), 3a + 1 (drawing) and
// 3a + 2 (smoothing) of 3b for render(a, b).
template <class P, class T>
class KernelImageBuilder : public QuillbrookFilter {
    static_assert(P::is_rgba && P::extra_count == 0, "the lens image is an RGBA host image");
    static_assert(T::is_float && T::extra_count == 0 && (T::is_rgba || T::is_gray),
                  "the kernel image is RGBA float or gray float");
    static_assert(T::is_rgba || T::max_value == 1, "a gray kernel image is at scale 1");

public:
    KernelImageBuilder(QuillbrookHost* host_in, const EvenblurSettings& settings_in,
                       PixelArray<P> lens_in, PixelArray<T> image_in, bool display_in)
        : QuillbrookFilter(host_in), settings(settings_in), lens(lens_in), image(image_in),
          display(display_in) {}

    // Returns no-error, the out-of-memory status (the image is then incomplete) or the first
    // other status from progress.
    int32_t render(int32_t pass_index, int32_t pass_count) {
        geometry = KernelGeometry::of(settings, image.width, image.height, image.factor_a, display);
        drawn = {};
        extent = {};
        if (image.data == nullptr || image.width <= 0 || image.height <= 0) return host->noError();
        const int32_t a = 3 * pass_index;
        const int32_t b = 3 * pass_count;
        int32_t result = lens.data != nullptr ? draw_lens(a, b) : draw_iris(a, b);
        if (result == host->noError()) result = smooth(a + 2, b);
        return result;
    }

    EvenblurSettings settings;
    PixelArray<P> lens;
    PixelArray<T> image;
    // The display of the iris: an RGBA image is opaque everywhere. In a blur only the pixels
    // that carry weight matter, and an RGBA image gets alpha S only within `extent`.
    bool display = false;
    void* scratch = nullptr;
    size_t scratch_bytes = 0;
    // Set by render: the kernel's geometry; the part of the image where the kernel was drawn
    // (where the weight can be above 0 before smoothing); and that part widened by the reach of
    // the smoothing, outside which every channel of every pixel stays 0 (in the display, the
    // alpha of an RGBA image is S there).
    KernelGeometry geometry;
    Rectangle drawn;
    Rectangle extent;

private:
    static constexpr double kScale = T::max;

    // The image's pixels in `r` as an image of their own.
    PixelArray<T> part(const Rectangle& r) const {
        PixelArray<T> view = image;
        view.data = &image.at(r.left, r.top);
        view.width = r.width();
        view.height = r.height();
        view.origin_x += r.left;
        view.origin_y += r.top;
        return view;
    }

    // `r` widened by the smoothing's reach (beyond the widest tent, trunc(R) + 1.5 pixels) and
    // cut to the image; zeros mirrored at its edges stay zeros, so smoothing the part alone
    // gives the pixels of smoothing the whole image. The whole image when the reach is not
    // finite.
    Rectangle widened(const Rectangle& r) const {
        const double rs = geometry.smoothing;
        if (!(rs > 0.0) || r.empty()) return r;
        const double px = std::min(rs / settings.scale_x, GlowFilter<T>::kMaxRadius);
        const double py = std::min(rs / settings.scale_y, GlowFilter<T>::kMaxRadius);
        if (!std::isfinite(px) || !std::isfinite(py)) return {0, image.width, 0, image.height};
        const int64_t mx = int64_t(px) + 3;
        const int64_t my = int64_t(py) + 3;
        Rectangle w;
        w.left = int32_t(std::max<int64_t>(0, r.left - mx));
        w.right = int32_t(std::min<int64_t>(image.width, r.right + mx));
        w.top = int32_t(std::max<int64_t>(0, r.top - my));
        w.bottom = int32_t(std::min<int64_t>(image.height, r.bottom + my));
        return w;
    }

    // The rectangle whose RGBA pixels get alpha S.
    Rectangle opaque_part() const {
        return display ? Rectangle{0, image.width, 0, image.height} : extent;
    }

    // The centred part of `length` pixels that holds everything a source of `source_length`
    // pixels zoomed by `scale` can reach; its margin to the full length is even, so that the
    // zoom's centring puts every pixel where it is in the full image.
    static void reach(int32_t length, double source_length, double scale, int32_t& first,
                      int32_t& count) {
        first = 0;
        count = length;
        if (!(scale > 0.0) || !std::isfinite(scale)) return;
        const double half = source_length / (2.0 * scale) + 3.0 + 1.0 / scale;
        if (!(half < length)) return;
        const int32_t wanted = 2 * int32_t(std::ceil(half)) + (length & 1);
        if (wanted >= length) return;
        first = (length - wanted) / 2;
        count = wanted;
    }

    int32_t draw_lens(int32_t a, int32_t b) {
        const double rx = settings.scale_x;
        const double ry = settings.scale_y;
        const double k = std::min(std::trunc(lens.width * rx), std::trunc(lens.height * ry)) /
                         (geometry.diameter + 1.0);
        const double scale_y = k;
        const double scale_x = k * (image.factor_a / lens.factor_a);

        Rectangle r;
        int32_t count = 0;
        reach(image.width, lens.width, scale_x, r.left, count);
        r.right = r.left + count;
        reach(image.height, lens.height, scale_y, r.top, count);
        r.bottom = r.top + count;
        drawn = r;
        extent = widened(r);

        ZoomFilter<P, T> zoom(host, lens, part(r));
        zoom.scale_x = scale_x;
        zoom.scale_y = scale_y;
        zoom.horizontal_mode = OutsideMode::color;
        zoom.vertical_mode = OutsideMode::color;
        int32_t result;
        if (scratch != nullptr && summed_area_table_bytes(lens) <= scratch_bytes &&
            lens.width > 0 && lens.height > 0) {
            zoom.pass_index = 2 * a + 1;
            zoom.pass_count = 2 * b;
            zoom.table = describe_summed_area_table(lens, scratch);
            result = build_table(2 * a, 2 * b, host, lens, zoom.table);
            if (result == host->noError()) {
                result = host->template runParallelOn<&ZoomFilter<P, T>::process>(
                    host->threadCount(r.height()), &zoom);
            }
            zoom.table = {};
        } else {
            result = zoom.render(a, b);
        }
        if constexpr (T::is_rgba) {
            if (result == host->noError()) {
                pass_index_ = a + 1;
                pass_count_ = b;
                colour_part_ = opaque_part();
                result = host->template runParallelOn<&KernelImageBuilder::colour_band>(
                    host->threadCount(colour_part_.height()), this);
            }
        }
        return result;
    }

    // Lens colour to kernel colour in band `band` of the rows of `colour_part_`: premultiplied
    // by alpha / S (gray unless `colored_iris`), alpha S.
    int32_t colour_band(int32_t band, int32_t bands, int32_t) {
        const RowRange rows = band_rows(band, bands, colour_part_.height());
        const int32_t total = colour_part_.height();
        for (int32_t y = rows.begin; y < rows.end; ++y) {
            T* row = image.row(y + colour_part_.top);
            for (int32_t x = colour_part_.left; x < colour_part_.right; ++x) {
                T& p = row[x];
                const double f = double(alpha_of(p)) / kScale;
                if (settings.colored_iris) {
                    red_of(p) = float(red_of(p) * f);
                    green_of(p) = float(green_of(p) * f);
                    blue_of(p) = float(blue_of(p) * f);
                } else {
                    const float v = float(f * gray_from_colour(red_of(p), green_of(p), blue_of(p)));
                    red_of(p) = v;
                    green_of(p) = v;
                    blue_of(p) = v;
                }
                alpha_of(p) = float(kScale);
            }
            const int32_t status = host->progress(y + total * pass_index_, total * pass_count_);
            if (status != host->noError()) return status;
        }
        return host->noError();
    }

    int32_t draw_iris(int32_t a, int32_t b) {
        const double radius = geometry.radius_x;
        const double ratio = geometry.ratio;
        const HostBlock storage = HostBlock::allocate(
            *host, polygon_kernel_size(ratio, radius, settings.border_brightness));
        if (!storage) return host->outOfMemoryError();
        IrisKernel kernel;
        int32_t result = build_polygon_kernel(
            storage.get(), settings.facets, host, radius, settings.rounded, settings.angle,
            settings.border_thickness, settings.border_brightness, ratio, kernel);
        if (result != host->noError()) return result;

        // Where the kernel has weight: between the first and the last step of its rows.
        const int64_t centre_x = image.width / 2;
        const int64_t centre_y = image.height / 2;
        if (!kernel.empty()) {
            int64_t left = INT64_MAX, right = INT64_MIN;
            for (int32_t j = kernel.first_row; j <= kernel.last_row; ++j) {
                const int32_t n = kernel.count(j);
                if (n == 0) continue;
                left = std::min<int64_t>(left, kernel.row(j)[0].x);
                right = std::max<int64_t>(right, kernel.row(j)[n - 1].x);
            }
            if (left <= right) {
                drawn.left = int32_t(std::clamp<int64_t>(left + centre_x, 0, image.width));
                drawn.right = int32_t(std::clamp<int64_t>(right + centre_x, 0, image.width));
                drawn.top =
                    int32_t(std::clamp<int64_t>(kernel.first_row + centre_y, 0, image.height));
                drawn.bottom =
                    int32_t(std::clamp<int64_t>(kernel.last_row + 1 + centre_y, 0, image.height));
            }
        }
        extent = widened(drawn);

        if constexpr (T::is_rgba) {
            T fill{};
            alpha_of(fill) = float(kScale);
            const Rectangle opaque = opaque_part();
            if (!opaque.empty()) {
                FillImageFilter<T> filler(host, part(opaque), fill);
                result = filler.render(a, b);
                if (result != host->noError()) return result;
            }
        }
        if (kernel.empty()) return result;

        const int32_t rows = kernel.last_row - kernel.first_row + 1;
        for (int32_t j = kernel.first_row; j <= kernel.last_row; ++j) {
            const int64_t y = j + centre_y;
            if (y >= 0 && y < image.height) {
                T* row = image.row(int32_t(y));
                int64_t column = 0;
                double value = 0.0;
                const IrisStep* step = kernel.row(j);
                for (int32_t i = 0; i <= kernel.count(j); ++i) {
                    const int64_t end = std::clamp<int64_t>(step[i].x + centre_x, 0, image.width);
                    for (; column < end; ++column) put(row[column], value);
                    value += step[i].step;
                }
                if (column < image.width) put(row[column], value);
            }
            result = host->progress(j - kernel.first_row + rows * (a + 1), rows * b);
            if (result != host->noError()) return result;
        }
        return result;
    }

    static void put(T& pixel, double value) {
        if constexpr (T::is_rgba) {
            const float v = float(value * kScale);
            red_of(pixel) = v;
            green_of(pixel) = v;
            blue_of(pixel) = v;
        } else {
            gray_of(pixel) = float(value);
        }
    }

    int32_t smooth(int32_t a, int32_t b) {
        const double rs = geometry.smoothing;
        if (!(rs > 0.0) || extent.empty()) return host->noError();
        GlowFilter<T> glow(host, part(extent), rs, rs, settings.scale_x, settings.scale_y);
        if (scratch != nullptr &&
            PixelArray<T>::packedBytes(extent.width(), extent.height()) <= scratch_bytes) {
            glow.temporary = PixelArray<T>(scratch, extent.width(), extent.height(), 0, true);
            glow.temporary.origin_x = glow.image.origin_x;
            glow.temporary.origin_y = glow.image.origin_y;
        }
        return glow.render(a, b);
    }

    int32_t pass_index_ = 0;
    int32_t pass_count_ = 0;
    Rectangle colour_part_;
};
