#pragma once

#include <cstdint>
#include <type_traits>

// Channel layouts. Positions are indices of the channels within one stored pixel.

// Four colour channels; always instantiated as <1,2,3,0>: alpha first in memory, then red,
// green, blue (the host's ARGB pixel).
template <int R, int G, int B, int A>
struct LayoutRGBAPixel {
    static constexpr int channels = 4;
    static constexpr int red = R;
    static constexpr int green = G;
    static constexpr int blue = B;
    static constexpr int alpha = A;
    static constexpr bool is_gray = false;
};

// One channel at position 0; the parameter is the alpha position, -1 for none.
template <int A>
struct LayoutGrayPixel {
    static constexpr int channels = 1;
    static constexpr int gray = 0;
    static constexpr int alpha = A;
    static constexpr bool is_gray = true;
};

// No colour channels at all (pixels that carry only extra floats).
struct LayoutEmptyPixel {
    static constexpr int channels = 0;
    static constexpr int alpha = -1;
    static constexpr bool is_gray = false;
};

namespace pixel_detail {
template <class T, int N, int E>
struct Storage {
    T channel[N];
    float extra[E];
};
template <class T, int N>
struct Storage<T, N, 0> {
    T channel[N];
};
template <class T, int E>
struct Storage<T, 0, E> {
    float extra[E];
};
}  // namespace pixel_detail

// A pixel: `Layout` places the channels, `T` is the channel type, `Extra` floats follow the
// channels, and `Max` is the value of full intensity and full opacity (255, 32768 or 1). Float
// pixels may carry 255 or 32768 too: such buffers hold float values in the 8-bit or 16-bit
// scale. The traits are keyed to the pixel type, never to the storage type: the 16-bit maximum
// is 32768, not the largest uint16_t.
template <class Layout, class T, int HasAlpha, int Extra, int Max>
struct PixelRGB : pixel_detail::Storage<T, Layout::channels, Extra> {
    using layout = Layout;
    using channel_type = T;
    static constexpr int channel_count = Layout::channels;
    static constexpr int has_alpha = HasAlpha;
    static constexpr int extra_count = Extra;
    static constexpr int max_value = Max;
    static constexpr double max = Max;
    static constexpr bool is_float = std::is_floating_point_v<T>;
    static constexpr bool is_gray = Layout::is_gray;
    static constexpr bool is_rgba = Layout::channels == 4;
};

using RGBALayout = LayoutRGBAPixel<1, 2, 3, 0>;
using GrayLayout = LayoutGrayPixel<-1>;

using PixelRGBA8 = PixelRGB<RGBALayout, uint8_t, 1, 0, 255>;
using PixelRGBA16 = PixelRGB<RGBALayout, uint16_t, 1, 0, 32768>;
using PixelRGBAFloat = PixelRGB<RGBALayout, float, 1, 0, 1>;
using PixelRGBAFloat255 = PixelRGB<RGBALayout, float, 1, 0, 255>;
using PixelRGBAFloat32768 = PixelRGB<RGBALayout, float, 1, 0, 32768>;
using PixelSpectrum = PixelRGB<RGBALayout, float, 1, 1, 1>;
using PixelGray8 = PixelRGB<GrayLayout, uint8_t, 0, 0, 255>;
using PixelGray16 = PixelRGB<GrayLayout, uint16_t, 0, 0, 32768>;
using PixelGrayFloat = PixelRGB<GrayLayout, float, 0, 0, 1>;
using PixelGrayDouble = PixelRGB<GrayLayout, double, 0, 0, 1>;
using PixelInfo = PixelRGB<LayoutEmptyPixel, float, 0, 3, 1>;

static_assert(sizeof(PixelRGBA8) == 4);
static_assert(sizeof(PixelRGBA16) == 8);
static_assert(sizeof(PixelRGBAFloat) == 16);
static_assert(sizeof(PixelSpectrum) == 20);
static_assert(sizeof(PixelGray8) == 1);
static_assert(sizeof(PixelGray16) == 2);
static_assert(sizeof(PixelGrayFloat) == 4);
static_assert(sizeof(PixelGrayDouble) == 8);
static_assert(sizeof(PixelInfo) == 12);
