#pragma once

#include <cmath>
#include <cstdint>

#include "imaging/filter_items.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "imaging/pixel_types.h"
#include "framework/rectangle.h"  // complete before the host header, whose hooks take it by value
#include "imaging/quillbrook_filter.h"

// Derives, for every pixel of an information buffer, the direction in which the blurred
// foreground's chosen channel rises (a unit vector, or (0, 0) where it is flat) and a height
// (the channel in the 0 .. 1 scale, normalised so that the highest pixel of the buffer is 1).
// The refraction of the background reads both: the edges of the foreground's alpha bend the
// background like the rim of a lens.
//
// The gradient at (x, y) compares the eight samples on each side of the pixel, unweighted:
//     t = [3 samples of column x+1 (rows y-1 .. y+1) + 5 of column x+2 (rows y-2 .. y+2)]
//       - [the same of columns x-1 and x-2],
//     u = the same with rows and columns exchanged (rows grow downwards),
// and the direction is (sin phi, cos phi) with phi the angle of (t, u) from the y axis plus
// `angle_offset` (radians); with offset 0 that is (t, u) / |(t, u)|. A neighbour beyond the
// edge is read mirrored with the edge repeated (index -1 reads 0, -2 reads 1; n reads n - 1,
// n + 1 reads n - 2); on images under three pixels wide or high that can still fall outside
// and is then clamped into the image.
//
// The gradient and height images are centred on the buffer (offset by half the size
// difference, truncated); positions outside them get direction (0, 0) or height 0.
//
// Channels: `gradient_channel` and `height_channel` below 2 read luminance times alpha
// (0.292687786 R + 0.552149646 G + 0.155162568 B, times A / Max), 2 alpha, 3 red, 4 green,
// anything else blue. Values are in the pixel's scale (0 .. 255, 0 .. 32768 or 0 .. 1); only
// the height is divided by Max. NaN policy: a NaN or infinite channel value reads as 0, so the
// buffer holds only finite values.
//
// Runs on the calling thread, row by row, reporting progress after each row.
template <class P, class Information = PixelInfo>
class FillInfoBufferFilter : public QuillbrookFilter {
    static_assert(P::is_rgba && P::extra_count == 0, "the gradient source is an RGBA image");
    static_assert(Information::channel_count == 0 && Information::extra_count == 3,
                  "an information pixel holds direction x, direction y and height");

public:
    // The choices the out-of-focus effect uses: both images the blurred output, alpha for
    // both, no angle offset.
    FillInfoBufferFilter(QuillbrookHost* host_in, PixelArray<Information> info_in,
                         PixelArray<P> gradient_image_in, PixelArray<P> height_image_in)
        : QuillbrookFilter(host_in), info(info_in), gradient_image(gradient_image_in),
          height_image(height_image_in) {}

    // Fills the whole buffer; pass `pass_index` of `pass_count` of the caller's progress, one
    // unit per buffer row. Returns no-error or the first other status from progress, at which
    // it stops (the buffer is then incomplete and must not be used).
    virtual int32_t render(int32_t pass_index, int32_t pass_count) {
        if (height_image.width == 0) return host->noError();
        if (info.data == nullptr || info.width <= 0 || info.height <= 0) return host->noError();
        const bool has_gradient = usable(gradient_image);
        const bool has_height = usable(height_image);
        const int32_t gradient_dx = (info.width - gradient_image.width) / 2;
        const int32_t gradient_dy = (info.height - gradient_image.height) / 2;
        const int32_t height_dx = (info.width - height_image.width) / 2;
        const int32_t height_dy = (info.height - height_image.height) / 2;

        double highest = 0.0;
        for (int32_t y = 0; y < info.height; ++y) {
            Information* out = info.row(y);
            for (int32_t x = 0; x < info.width; ++x) {
                double direction_x = 0.0;
                double direction_y = 0.0;
                const int32_t gx = x - gradient_dx;
                const int32_t gy = y - gradient_dy;
                if (has_gradient && gradient_image.contains(gx, gy)) {
                    direction(gx, gy, direction_x, direction_y);
                }
                double height = 0.0;
                const int32_t hx = x - height_dx;
                const int32_t hy = y - height_dy;
                if (has_height && height_image.contains(hx, hy)) {
                    height = channel_value(height_image.at(hx, hy), height_channel) / P::max;
                }
                if (height > highest) highest = height;
                out[x].extra[0] = static_cast<float>(direction_x);
                out[x].extra[1] = static_cast<float>(direction_y);
                out[x].extra[2] = static_cast<float>(height);
            }
            const ProgressValue step = row_progress(y, info.height, pass_index, pass_count);
            const int32_t result = host->progress(step.current, step.total);
            if (result != host->noError()) return result;
        }
        if (highest != 0.0) {
            for (int32_t y = 0; y < info.height; ++y) {
                Information* out = info.row(y);
                for (int32_t x = 0; x < info.width; ++x) {
                    out[x].extra[2] = static_cast<float>(out[x].extra[2] / highest);
                }
            }
        }
        return host->noError();
    }

    PixelArray<Information> info;
    PixelArray<P> gradient_image;
    PixelArray<P> height_image;
    // Below 2 luminance times alpha, 2 alpha, 3 red, 4 green, anything else blue.
    int32_t gradient_channel = 2;
    int32_t height_channel = 2;
    // Added to the direction's angle, in radians.
    double angle_offset = 0.0;

private:
    static constexpr double kTwoPi = 6.283185307179586;

    static bool usable(const PixelArray<P>& image) {
        return image.data != nullptr && image.width > 0 && image.height > 0;
    }

    // The chosen channel of a pixel in its own scale; non-finite values read as 0.
    static double channel_value(const P& pixel, int32_t channel) {
        const ChannelValues v = read_rgba(pixel);
        double value;
        if (channel < 2) {
            value = gray_from_colour(v.r, v.g, v.b) * (v.a / P::max);
        } else if (channel == 2) {
            value = v.a;
        } else if (channel == 3) {
            value = v.r;
        } else if (channel == 4) {
            value = v.g;
        } else {
            value = v.b;
        }
        return std::isfinite(value) ? value : 0.0;
    }

    // A neighbour index at most two steps beyond an axis of n pixels, mirrored with the edge
    // repeated and then clamped into the axis.
    static int32_t neighbour(int32_t index, int32_t n) {
        if (index < 0) index = -1 - index;
        if (index >= n) index = 2 * n - 1 - index;
        if (index < 0) return 0;
        return index < n ? index : n - 1;
    }

    double value(int32_t i, int32_t j) const {
        return channel_value(gradient_image.at(neighbour(i, gradient_image.width),
                                               neighbour(j, gradient_image.height)),
                             gradient_channel);
    }

    // Sum of the 3 samples at distance 1 and the 5 at distance 2 on the side `sign` of
    // (gx, gy): along x when `horizontal`, else along y.
    double side(int32_t gx, int32_t gy, int32_t sign, bool horizontal) const {
        double sum = 0.0;
        for (int32_t distance = 1; distance <= 2; ++distance) {
            for (int32_t d = -distance; d <= distance; ++d) {
                sum += horizontal ? value(gx + sign * distance, gy + d)
                                  : value(gx + d, gy + sign * distance);
            }
        }
        return sum;
    }

    void direction(int32_t gx, int32_t gy, double& direction_x, double& direction_y) const {
        const double t = side(gx, gy, 1, true) - side(gx, gy, -1, true);
        const double u = side(gx, gy, 1, false) - side(gx, gy, -1, false);
        if (t == 0.0 && u == 0.0) return;
        double cosine = u / std::sqrt(u * u + t * t);
        if (cosine > 1.0) cosine = 1.0;
        if (cosine < -1.0) cosine = -1.0;
        double phi = std::acos(cosine);
        if (t < 0.0) phi = kTwoPi - phi;
        phi += angle_offset;
        if (!std::isfinite(phi)) return;  // only a non-finite offset gets here
        direction_x = std::sin(phi);
        direction_y = std::cos(phi);
    }
};
