#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "imaging/clear_image_filter.h"
#include "evenblur/evenblur_settings.h"
#include "evenblur/fft_vector.h"
#include "imaging/filter_items.h"
#include "framework/host_block.h"
#include "imaging/hsl_selection.h"
#include "evenblur/kernel_image_builder.h"
#include "imaging/linear_light.h"
#include "framework/measure.h"
#include "evenblur/multiply_complex_half_filter.h"
#include "imaging/outside_mode.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_conversion.h"
#include "imaging/pixel_types.h"
#include "evenblur/real_fft_filter.h"
#include "framework/rectangle.h"  // complete before the host header, whose hooks take it by value
#include "imaging/quillbrook_filter.h"

// Transform sizes of a blur of a W x H image: the padded image W' x H' (the image and a margin
// that covers the kernel, at most three times the image, even) and the power-of-two transform
// Nw x Nh holding it.
struct EvenblurSizes {
    int32_t padded_width = 0;
    int32_t padded_height = 0;
    int32_t fft_width = 0;
    int32_t fft_height = 0;

    // r = radius and s = smooth in full-resolution pixels; scale_x, scale_y full-resolution
    // pixels per rendered pixel. The margin is m = 2 * (trunc(r + 1) - trunc(-2 r s / (H sy +
    // W sx))). Settings that give no finite margin pad to the cap of three times the image; a
    // transform is at least 4 x 4.
    static EvenblurSizes of(int32_t width, int32_t height, double radius, double smooth,
                            double scale_x, double scale_y) {
        const double m =
            2.0 * (std::trunc(radius + 1.0) -
                   std::trunc(-2.0 * radius * smooth / (height * scale_y + width * scale_x)));
        EvenblurSizes s;
        s.padded_width = padded(width, m);
        s.padded_height = padded(height, m);
        s.fft_width = power_of_two(s.padded_width);
        s.fft_height = power_of_two(s.padded_height);
        return s;
    }

private:
    static int32_t padded(int32_t size, double margin) {
        double p = size + margin;
        if (!(p <= 3.0 * size)) p = 3.0 * size;  // also NaN
        if (!(p >= size)) p = size;
        int64_t n = int64_t(p);
        if (n % 2 != 0) ++n;
        return int32_t(std::min<int64_t>(n, int64_t(1) << 30));
    }
    static int32_t power_of_two(int32_t n) {
        int32_t p = 4;
        while (p < n) p *= 2;
        return p;
    }
};

// The lens blur of one frame: the output is the source convolved with the lens kernel, in
// linear light when `gamma` is set, with selected highlights boosted.
//
// The source is padded to W' x H' (edges continued by the outside modes, or the outside
// colour), placed with its continuation in a buffer of (Nw + 2) x Nh pixels of floats on the 0
// .. 1 scale, transformed, multiplied by the transform of the kernel image, transformed back
// and normalised by the kernel's total, so that the kernel has unit sum: the result equals the
// direct circular convolution of the continued source with the normalised kernel over the Nw x
// Nh buffer. Margins at least the kernel's reach make that the convolution of the endlessly
// continued source.
//
// Q is the kernel pixel: RGBA float for the coloured kernel (each channel normalised on its own;
// the kernel's alpha is its mean brightness times its alpha), Gray float for the monochrome
// kernel. P is the host pixel of source, output, selection and lens (RGBA 8, 16 or float,
// channel maximum 255, 32768 or 1).
//
// Highlights: where the selection weight w of a pixel is above 0, the pixel is multiplied by
// g = w5 + w * additive with w5 = 1 + w * preservative. With the preservative boost on, w5 is
// blurred too and every output channel is divided by it, so that the boost moves light towards
// the highlights without changing the total; the additive boost adds light.
//
// A kernel channel whose total is not above 0 passes no light: that output channel is 0 (a
// kernel with no weight at all, such as a fully transparent lens image, gives a transparent
// black frame). NaN policy: non-finite source values are read as 0, so that none reaches the
// transforms (which would spread it over the whole frame); no NaN or infinity is written to the
// output.
//
// Rows of the transform below the image rows the convolution reads are left out of the row
// transforms, as far as the kernel's vertical reach allows (see data_rows_for).
template <class P, class Q>
class EvenblurFilter : public QuillbrookFilter {
    static_assert(P::is_rgba && P::extra_count == 0, "the effect blurs RGBA host images");
    static_assert((Q::is_rgba && Q::max_value == 1 && Q::is_float && Q::extra_count == 0) ||
                      (Q::is_gray && Q::max_value == 1 && Q::is_float),
                  "the kernel is RGBA float or gray float at scale 1");

public:
    static constexpr bool kColoured = Q::is_rgba;
    static constexpr int kTotals = kColoured ? 4 : 1;
    static constexpr double kMax = P::max;
    static_assert(P::layout::alpha == 0 && P::layout::red == 1 && P::layout::green == 2 &&
                      P::layout::blue == 3,
                  "the vector pixel conversions read alpha, red, green, blue in memory order");

    EvenblurFilter(QuillbrookHost* host_in, const EvenblurSettings& settings_in,
                   PixelArray<P> source_in, PixelArray<P> output_in, PixelArray<P> selection_in,
                   PixelArray<P> lens_in)
        : QuillbrookFilter(host_in), source(source_in), output(output_in), selection(selection_in),
          lens(lens_in), settings(settings_in) {}

    // One blur of the whole output, progress passes 9a .. 9a + 8 of 9b: 9a clearing the kernel
    // buffer, 9a + 1 drawing the kernel, 9a + 2 filling the image buffer, 9a + 3 centring the
    // kernel, then the two forward transforms, the product, the inverse, the output. The
    // kernel is centred before the image buffer is filled (the centring borrows that buffer),
    // so the bar steps back once between those two passes. Returns
    // no-error, the out-of-memory status (nothing is written then) or the first other status
    // from progress (the output is then incomplete). Every buffer is given back before it
    // returns.
    virtual int32_t render(int32_t a, int32_t b);
    // Output rows of band `item`.
    virtual int32_t process(int32_t item, int32_t item_count, int32_t thread_index);
    // Image-buffer rows of band `item`: the padded, linearised, weighted source.
    virtual int32_t fill_spectrum(int32_t item, int32_t item_count, int32_t thread_index);

    PixelArray<P> source;
    PixelArray<P> output;
    PixelArray<P> selection;
    PixelArray<P> lens;
    EvenblurSettings settings;
    PixelArray<Q> kernel_window;
    PixelArray<Q> kernel_buffer;
    PixelArray<PixelSpectrum> weighted_spectrum;
    PixelArray<PixelRGBAFloat> colour_spectrum;
    bool additive_on = false;
    bool preservative_on = false;
    int32_t padded_width = 0;
    int32_t padded_height = 0;
    int32_t fft_width = 0;
    int32_t fft_height = 0;
    int32_t row_length = 0;
    // Sums of the centred kernel: the one channel, or alpha, red, green, blue.
    double kernel_totals[kTotals] = {};
    float* decode_table = nullptr;
    float* encode_table = nullptr;
    int32_t pass_index = 0;
    int32_t pass_count = 1;
    // Leading image rows that hold data for the transforms (at least H'); set by render.
    int32_t data_rows = 0;
    // Row offsets from the kernel centre of its first and last non-zero row (first > last for
    // an empty kernel); set by the centring.
    int32_t kernel_top = 0;
    int32_t kernel_bottom = -1;
    // The build of the vector kernels for the transforms, the product and the integer pixel
    // conversions; null chooses the widest the processor runs. The frame does not depend on
    // it (tests set it to compare the builds).
    const fft_vector::Kernels* kernels = nullptr;

    // Rows 0 .. R - 1 of a transform of `fft_height` rows must hold the continued image for the
    // output rows offset .. offset + height - 1 to read only continued image through a kernel
    // of rows top .. bottom: R = max(H', offset + height - 1 - top + 1), or every row when the
    // kernel reaches above row 0 (it then reads the wrapped last rows). The rows from R on are
    // 0 and skipped by the forward row transform.
    static int32_t data_rows_for(int32_t fft_height, int32_t padded_height, int32_t offset,
                                 int32_t height, int32_t top, int32_t bottom) {
        if (top > bottom) return padded_height;
        if (int64_t(offset) - bottom < 0) return fft_height;
        const int64_t last = int64_t(offset) + height - 1 - top;
        if (last >= fft_height) return fft_height;
        return int32_t(std::max<int64_t>(padded_height, last + 1));
    }

private:
    int32_t pass(int32_t k) const { return 9 * pass_index + k; }
    int32_t total_passes() const { return 9 * pass_count; }

    void fill_tables();
    int32_t draw_kernel(void* scratch, size_t scratch_bytes);
    int32_t centre_kernel();
    int32_t centre_band(int32_t band, int32_t bands, int32_t thread_index);
    // Adds a converted kernel pixel to the totals; true when it is not 0.
    static bool add_kernel(const Q& p, double* totals);
    template <class S>
    int32_t convolve(PixelArray<S> spectrum);
    template <class S>
    void fill_row(const PixelArray<S>& spectrum, int32_t y, const PreparedSelection& prepared);
    template <class S>
    void process_row(const PixelArray<S>& spectrum, int32_t y);

    // The kernel value at a pixel, converted for the transform: decoded to linear light with
    // `gamma`; coloured alpha becomes the mean of the converted colours times the drawn alpha.
    Q convert_kernel(Q pixel) const;
    void scales(double f, double* c) const;

    double base_scale_[kTotals] = {};
    // Per row pair of the centring: its totals and which of its two rows hold weight (in the
    // image buffer, which is free until the source is filled in).
    double* row_totals_ = nullptr;
    // Kernel-buffer rows that the kernel image can reach; the others are 0.
    RowRange kernel_rows_;
    double preservative_scale_ = 0.0;
    const fft_vector::Kernels* kernels_ = nullptr;
    int32_t offset_x_ = 0;  // (W' - W) / 2
    int32_t offset_y_ = 0;  // (H' - H) / 2
};

// ---- implementation ----------------------------------------------------------------------

template <class P, class Q>
int32_t EvenblurFilter<P, Q>::render(int32_t a, int32_t b) {
    pass_index = a;
    pass_count = b;
    additive_on = settings.selection.enabled && settings.additive > 0.0;
    preservative_on = settings.selection.enabled && settings.preservative > 0.0;
    const int32_t width = output.width;
    const int32_t height = output.height;
    if (width <= 0 || height <= 0 || output.data == nullptr) return host->noError();
    kernels_ = kernels != nullptr ? kernels : &fft_vector::bestKernels();

    const EvenblurSizes sizes = EvenblurSizes::of(width, height, settings.radius, settings.smooth,
                                                  settings.scale_x, settings.scale_y);
    padded_width = sizes.padded_width;
    padded_height = sizes.padded_height;
    fft_width = sizes.fft_width;
    fft_height = sizes.fft_height;
    row_length = fft_width + 2;
    offset_x_ = (padded_width - width) / 2;
    offset_y_ = (padded_height - height) / 2;

    const size_t pixels = size_t(row_length) * size_t(fft_height);
    const size_t image_pixel = preservative_on ? sizeof(PixelSpectrum) : sizeof(PixelRGBAFloat);
    const size_t table_bytes = sizeof(float) * kLinearLightTableSize;
    // All four are asked for before any is checked, so a refusal counts the same allocations.
    const HostBlock kernel_block = HostBlock::allocate(*host, pixels * sizeof(Q));
    const HostBlock decode_block = HostBlock::allocate(*host, table_bytes);
    const HostBlock encode_block = HostBlock::allocate(*host, table_bytes);
    const HostBlock image_block = HostBlock::allocate(*host, pixels * image_pixel);
    if (!kernel_block || !decode_block || !encode_block || !image_block) {
        return host->outOfMemoryError();
    }

    auto describe = [&](auto& view, void* memory) {
        using View = std::remove_reference_t<decltype(view)>;
        view = View(memory, row_length, fft_height,
                    row_length * int32_t(sizeof(typename View::pixel_type)));
        view.factor_a = source.factor_a;
    };
    describe(kernel_buffer, kernel_block.get());
    describe(weighted_spectrum, image_block.get());
    describe(colour_spectrum, image_block.get());
    kernel_window = kernel_buffer;
    kernel_window.data =
        &kernel_buffer.at((fft_width - padded_width) / 2, (fft_height - padded_height) / 2);
    kernel_window.width = padded_width;
    kernel_window.height = padded_height;
    decode_table = decode_block.as<float>();
    encode_table = encode_block.as<float>();
    fill_tables();

    Measure& measure = host->measure();
    int32_t result = host->noError();
    {
        Measure::Scope timer(measure, "Evenblur kernel");
        ClearImageFilter<Q> clear(host, kernel_buffer);
        result = clear.render(pass(0), total_passes());
        // The image buffer is free until the source is filled in: the builder may use it.
        if (result == host->noError())
            result = draw_kernel(image_block.get(), pixels * image_pixel);
        row_totals_ = image_block.as<double>();
        if (result == host->noError()) result = centre_kernel();
        row_totals_ = nullptr;
    }
    if (result == host->noError()) {
        data_rows =
            data_rows_for(fft_height, padded_height, offset_y_, height, kernel_top, kernel_bottom);
        Measure::Scope timer(measure, "Evenblur fill");
        result = host->template runParallelOn<&EvenblurFilter::fill_spectrum>(
            host->threadCount(fft_height), this);
    }
    if (result == host->noError()) {
        result = preservative_on ? convolve(weighted_spectrum) : convolve(colour_spectrum);
    }
    decode_table = nullptr;
    encode_table = nullptr;
    kernel_buffer.data = nullptr;
    kernel_window.data = nullptr;
    weighted_spectrum.data = nullptr;
    colour_spectrum.data = nullptr;
    return result;
}

template <class P, class Q>
void EvenblurFilter<P, Q>::fill_tables() {
    if (settings.gamma) {
        fill_linearise_table(decode_table, 1.0);
        fill_gamma_table(encode_table, kMax);
        return;
    }
    for (int32_t i = 0; i < kLinearLightTableSize; ++i) {
        const double v = i * kLinearLightTableStep;
        decode_table[i] = float(v);
        encode_table[i] = float(kMax * v);
    }
}

template <class P, class Q>
int32_t EvenblurFilter<P, Q>::draw_kernel(void* scratch, size_t scratch_bytes) {
    KernelImageBuilder<P, Q> builder(host, settings, lens, kernel_window, false);
    builder.scratch = scratch;
    builder.scratch_bytes = scratch_bytes;
    const int32_t result = builder.render(pass(1), total_passes());
    const int32_t top = (fft_height - padded_height) / 2;
    kernel_rows_ = builder.extent.empty()
                       ? RowRange{}
                       : RowRange{builder.extent.top + top, builder.extent.bottom + top};
    return result;
}

template <class P, class Q>
Q EvenblurFilter<P, Q>::convert_kernel(Q pixel) const {
    if constexpr (kColoured) {
        double r = red_of(pixel), g = green_of(pixel), b = blue_of(pixel);
        // Most of the kernel buffer is 0, and stays 0 (+0, whatever the sign it was drawn with).
        if (settings.gamma && (r != 0.0 || g != 0.0 || b != 0.0)) {
            double rgb[3] = {r, g, b};
            bt709_to_linear_row(rgb, rgb, 3);
            r = r != 0.0 ? rgb[0] : 0.0;
            g = g != 0.0 ? rgb[1] : 0.0;
            b = b != 0.0 ? rgb[2] : 0.0;
        }
        Q out;
        alpha_of(out) = float((r + g + b) * 0.3333333333333333 * alpha_of(pixel));
        red_of(out) = float(r);
        green_of(out) = float(g);
        blue_of(out) = float(b);
        return out;
    } else {
        double v = gray_of(pixel);
        if (settings.gamma && v != 0.0) bt709_to_linear_row(&v, &v, 1);
        Q out;
        gray_of(out) = float(v);
        return out;
    }
}

template <class P, class Q>
int32_t EvenblurFilter<P, Q>::centre_kernel() {
    const int32_t half_h = fft_height / 2;
    int32_t result =
        host->template runParallelOn<&EvenblurFilter::centre_band>(host->threadCount(half_h), this);
    if (result != host->noError()) return result;

    // The totals of the row pairs, added in row order whatever the split into tasks.
    double totals[kTotals] = {};
    int32_t first = fft_height, last = -1;  // rows of the buffer before the exchange
    for (int32_t j = 0; j < half_h; ++j) {
        const double* pair = row_totals_ + size_t(j) * (kTotals + 1);
        for (int c = 0; c < kTotals; ++c) totals[c] += pair[c];
        const int32_t rows = int32_t(pair[kTotals]);
        if (rows & 1) {
            first = std::min(first, j);
            last = std::max(last, j);
        }
        if (rows & 2) {
            first = std::min(first, j + half_h);
            last = std::max(last, j + half_h);
        }
    }
    for (int c = 0; c < kTotals; ++c) kernel_totals[c] = totals[c];
    // The drawn centre sits at row Nh / 2.
    kernel_top = last >= first ? first - half_h : 0;
    kernel_bottom = last >= first ? last - half_h : -1;

    const double gain = 2.0 * kMax / (double(fft_width) * double(fft_height));
    for (int c = 0; c < kTotals; ++c) {
        const double t = kernel_totals[c];
        base_scale_[c] = t > 0.0 && std::isfinite(t) ? gain / t : 0.0;
    }
    const double alpha_total = kernel_totals[0];
    preservative_scale_ = alpha_total > 0.0 && std::isfinite(alpha_total)
                              ? double(fft_width) * double(fft_height) * alpha_total / 2.0
                              : 0.0;
    return host->noError();
}

template <class P, class Q>
int32_t EvenblurFilter<P, Q>::centre_band(int32_t band, int32_t bands, int32_t) {
    const int32_t half_w = fft_width / 2;
    const int32_t half_h = fft_height / 2;
    const RowRange pairs = band_rows(band, bands, half_h);
    const Q zero{};
    for (int32_t j = pairs.begin; j < pairs.end; ++j) {
        double* pair = row_totals_ + size_t(j) * (kTotals + 1);
        for (int c = 0; c <= kTotals; ++c) pair[c] = 0.0;
        // Rows that the kernel image does not reach hold zeros, which the exchange keeps.
        const bool upper_drawn = j >= kernel_rows_.begin && j < kernel_rows_.end;
        const bool lower_drawn = j + half_h >= kernel_rows_.begin && j + half_h < kernel_rows_.end;
        if (upper_drawn || lower_drawn) {
            Q* upper = kernel_buffer.row(j);
            Q* lower = kernel_buffer.row(j + half_h);
            int32_t rows = 0;
            for (int32_t i = 0; i < fft_width; ++i) {
                const int32_t partner = i < half_w ? i + half_w : i - half_w;
                const Q u = convert_kernel(upper[i]);
                const Q l = convert_kernel(lower[partner]);
                rows |= (add_kernel(u, pair) ? 1 : 0) | (add_kernel(l, pair) ? 2 : 0);
                upper[i] = l;
                lower[partner] = u;
            }
            upper[fft_width] = upper[fft_width + 1] = zero;
            lower[fft_width] = lower[fft_width + 1] = zero;
            pair[kTotals] = rows;
        }
        const int32_t result = host->progress(j + half_h * pass(3), half_h * total_passes());
        if (result != host->noError()) return result;
    }
    return host->noError();
}

template <class P, class Q>
bool EvenblurFilter<P, Q>::add_kernel(const Q& p, double* totals) {
    if constexpr (kColoured) {
        const double v[4] = {alpha_of(p), red_of(p), green_of(p), blue_of(p)};
        for (int c = 0; c < 4; ++c) totals[c] += v[c];
        return v[0] != 0.0 || v[1] != 0.0 || v[2] != 0.0 || v[3] != 0.0;
    } else {
        totals[0] += gray_of(p);
        return gray_of(p) != 0.0f;
    }
}

template <class P, class Q>
template <class S>
int32_t EvenblurFilter<P, Q>::convolve(PixelArray<S> spectrum) {
    Measure& measure = host->measure();
    int32_t result;
    {
        Measure::Scope timer(measure, "Evenblur forward (kernel)");
        RealFFFFilter<Q> kernel_fft(host, kernel_buffer);
        kernel_fft.kernels = kernels_;
        kernel_fft.data_rows = fft_height;
        result = kernel_fft.forward(pass(4), total_passes());
    }
    RealFFFFilter<S> image_fft(host, spectrum);
    image_fft.kernels = kernels_;
    image_fft.data_rows = data_rows;
    if (result == host->noError()) {
        Measure::Scope timer(measure, "Evenblur forward (image)");
        result = image_fft.forward(pass(5), total_passes());
    }
    if (result == host->noError()) {
        Measure::Scope timer(measure, "Evenblur multiply");
        MultiplyComplexHalfFilter<S, Q> multiply(host, spectrum, kernel_buffer);
        multiply.kernels = kernels_;
        result = multiply.render(pass(6), total_passes());
    }
    if (result == host->noError()) {
        Measure::Scope timer(measure, "Evenblur inverse");
        image_fft.data_rows = data_rows;
        result = image_fft.inverse(pass(7), total_passes());
    }
    if (result == host->noError()) {
        Measure::Scope timer(measure, "Evenblur process");
        result = host->template runParallelOn<&EvenblurFilter::process>(
            host->threadCount(output.height), this);
    }
    return result;
}

template <class P, class Q>
int32_t EvenblurFilter<P, Q>::fill_spectrum(int32_t item, int32_t item_count, int32_t) {
    const PreparedSelection prepared = prepare_selection(settings.selection);
    // Rows with data are shared out apart from the zero rows, so that every task gets some of
    // each.
    const RowRange rows = band_rows(item, item_count, data_rows);
    const RowRange zeros = band_rows(item, item_count, fft_height - data_rows);
    const int32_t total = fft_height * total_passes();
    for (int32_t y = rows.begin; y < rows.end; ++y) {
        if (preservative_on)
            fill_row(weighted_spectrum, y, prepared);
        else
            fill_row(colour_spectrum, y, prepared);
        const int32_t result = host->progress(y + fft_height * pass(2), total);
        if (result != host->noError()) return result;
    }
    const size_t row_bytes =
        size_t(preservative_on ? weighted_spectrum.row_bytes : colour_spectrum.row_bytes);
    for (int32_t y = data_rows + zeros.begin; y < data_rows + zeros.end; ++y) {
        std::memset(static_cast<unsigned char*>(colour_spectrum.data) + size_t(y) * row_bytes, 0,
                    row_bytes);
        const int32_t result = host->progress(y + fft_height * pass(2), total);
        if (result != host->noError()) return result;
    }
    return host->noError();
}

template <class P, class Q>
template <class S>
void EvenblurFilter<P, Q>::fill_row(const PixelArray<S>& spectrum, int32_t y,
                                    const PreparedSelection& prepared) {
    const OutsideMode mode_h = OutsideMode(settings.assume_h);
    const OutsideMode mode_v = OutsideMode(settings.assume_v);
    const int32_t width = source.width;
    const int32_t height = source.height;
    const bool gamma = settings.gamma;
    const float* table = decode_table;
    S* out = spectrum.row(y);

    // The outside colour and alpha on the 0 .. 1 scale, made linear like every source pixel.
    // The colour is multiplied by its alpha only for a straight source, the step that
    // premultiplies a straight source's own pixels; a premultiplied source takes it as given.
    S outside{};
    {
        const double oa = settings.outside_alpha;
        const double k = source.premultiplied ? 1.0 : oa;
        double c[3] = {settings.outside_color[0] * k, settings.outside_color[1] * k,
                       settings.outside_color[2] * k};
        if constexpr (!P::is_float) {
            for (double& v : c) {
                v = std::clamp(v, 0.0, 1.0);
                if (gamma) v = table[int32_t(v * 32767.0)];
            }
        } else if (gamma) {
            bt709_to_linear_row(c, c, 3);
        }
        alpha_of(outside) = float(P::is_float ? oa : std::max(oa, 0.0));
        red_of(outside) = float(c[0]);
        green_of(outside) = float(c[1]);
        blue_of(outside) = float(c[2]);
        if constexpr (S::extra_count == 1) outside.extra[0] = 1.0f;
    }

    int32_t sy = y - offset_y_;
    const bool row_inside = map_to_image(mode_v, height, sy);
    if (!row_inside || source.data == nullptr || width <= 0) {
        for (int32_t x = 0; x < row_length; ++x) out[x] = outside;
        return;
    }

    // The source row, converted, lands at its place in the padded row first; the columns
    // beyond it are copies of the converted pixels the outside mode puts there.
    const P* in = source.row(sy);
    const bool boost = additive_on || preservative_on;
    const int32_t sel_dx = source.origin_x - selection.origin_x;
    const int32_t sel_y = sy + source.origin_y - selection.origin_y;
    const P* sel_row = boost && selection.data != nullptr && sel_y >= 0 && sel_y < selection.height
                           ? selection.row(sel_y)
                           : nullptr;
    const bool straight = !source.premultiplied;
    constexpr double kInverseMax = 1.0 / kMax;
    constexpr double kToIndex = 32767.0 / kMax;
    const int32_t first = std::max(offset_x_, 0);
    const int32_t last = std::min(offset_x_ + width, row_length);  // exclusive
    int32_t x = first;
    if constexpr (!P::is_float) {
        if (sel_row == nullptr && first < last) {
            const fft_vector::InputConversion conversion{kMax, straight, gamma ? table : nullptr,
                                                         int32_t(sizeof(S) / sizeof(float))};
            const auto* channels =
                reinterpret_cast<const typename P::channel_type*>(in + (first - offset_x_));
            float* floats = reinterpret_cast<float*>(out + first);
            if constexpr (sizeof(typename P::channel_type) == 1)
                kernels_->input_row_8(channels, last - first, conversion, floats);
            else
                kernels_->input_row_16(channels, last - first, conversion, floats);
            x = last;
        }
    }
    // Pixels go a span at a time: their colours first, then one call of the transfer function
    // for all of them (float rows), then the stores.
    constexpr int32_t kSpan = 128;
    double span_rgb[3 * kSpan];
    double span_alpha[kSpan], span_gain[kSpan], span_w5[kSpan];
    for (int32_t x0 = x; x0 < last; x0 += kSpan) {
        const int32_t n = std::min(kSpan, last - x0);
        for (int32_t k = 0; k < n; ++k) {
            const int32_t sx = x0 + k - offset_x_;
            ChannelValues v = read_rgba(in[sx]);
            double gain = 1.0, w5 = 1.0;
            if (sel_row != nullptr) {
                const int32_t sel_x = sx + sel_dx;
                if (sel_x >= 0 && sel_x < selection.width) {
                    P p = sel_row[sel_x];
                    if (!selection.premultiplied) premultiply_in_place(p);
                    const double w = selection_weight(prepared, p);
                    if (w > 0.0) {
                        w5 = 1.0 + w * settings.preservative;
                        gain = w5 + w * settings.additive;
                    }
                }
            }
            if (straight) {
                const double f = v.a * kInverseMax;
                v.r *= f;
                v.g *= f;
                v.b *= f;
            }
            double a, r, g, b;
            if constexpr (!P::is_float) {
                a = std::max(v.a * kInverseMax, 0.0);
                auto linear = [&](double c) {
                    const double cc = std::clamp(c, 0.0, kMax);
                    return gamma ? double(table[int32_t(cc * kToIndex)]) : cc * kInverseMax;
                };
                r = linear(v.r);
                g = linear(v.g);
                b = linear(v.b);
            } else {
                // Non-finite channels count as 0 and huge ones are cut to 2^20 (the brightest
                // highlight a float frame may hold here), so that linear light, about the value
                // to the power 2.2, and the transform's sums over the frame stay inside float
                // range.
                static constexpr double kLimit = 1048576.0;
                auto finite = [](double c) {
                    return std::isfinite(c) ? std::clamp(c, -kLimit, kLimit) : 0.0;
                };
                a = finite(v.a);
                r = finite(v.r);
                g = finite(v.g);
                b = finite(v.b);
            }
            span_alpha[k] = a;
            span_rgb[3 * k] = r;
            span_rgb[3 * k + 1] = g;
            span_rgb[3 * k + 2] = b;
            span_gain[k] = gain;
            span_w5[k] = w5;
        }
        if constexpr (P::is_float) {
            if (gamma) bt709_to_linear_row(span_rgb, span_rgb, size_t(3 * n));
        }
        for (int32_t k = 0; k < n; ++k) {
            const double gain = span_gain[k];
            S& o = out[x0 + k];
            alpha_of(o) = float(span_alpha[k] * gain);
            red_of(o) = float(span_rgb[3 * k] * gain);
            green_of(o) = float(span_rgb[3 * k + 1] * gain);
            blue_of(o) = float(span_rgb[3 * k + 2] * gain);
            if constexpr (S::extra_count == 1) o.extra[0] = float(span_w5[k]);
        }
    }
    for (x = 0; x < row_length; ++x) {
        if (x == first && first < last) {
            x = last - 1;
            continue;
        }
        int32_t sx = x - offset_x_;
        if (map_to_image(mode_h, width, sx)) {
            out[x] = out[sx + offset_x_];
        } else {
            out[x] = outside;
        }
    }
}

template <class P, class Q>
void EvenblurFilter<P, Q>::scales(double f, double* c) const {
    if constexpr (kColoured) {
        for (int k = 0; k < 4; ++k) c[k] = base_scale_[k];
    } else {
        c[0] = c[1] = c[2] = c[3] = base_scale_[0];
    }
    if (preservative_on && f > 0.0) {
        const double boost = preservative_scale_ / f;
        for (int k = 0; k < 4; ++k) c[k] *= boost;
    }
}

template <class P, class Q>
int32_t EvenblurFilter<P, Q>::process(int32_t item, int32_t item_count, int32_t) {
    const RowRange rows = band_rows(item, item_count, output.height);
    for (int32_t y = rows.begin; y < rows.end; ++y) {
        if (preservative_on)
            process_row(weighted_spectrum, y);
        else
            process_row(colour_spectrum, y);
        const int32_t result =
            host->progress(y + output.height * pass(8), output.height * total_passes());
        if (result != host->noError()) return result;
    }
    return host->noError();
}

template <class P, class Q>
template <class S>
void EvenblurFilter<P, Q>::process_row(const PixelArray<S>& spectrum, int32_t y) {
    const S* in = spectrum.row(y + offset_y_) + offset_x_;
    P* out = output.row(y);
    const bool gamma = settings.gamma;
    const bool straight = !output.premultiplied;
    double fixed[4];
    scales(0.0, fixed);
    if constexpr (!P::is_float) {
        fft_vector::OutputConversion conversion{kMax,
                                                straight,
                                                encode_table,
                                                int32_t(sizeof(S) / sizeof(float)),
                                                {fixed[0], fixed[1], fixed[2], fixed[3]},
                                                S::extra_count == 1 && preservative_on,
                                                preservative_scale_};
        const float* floats = reinterpret_cast<const float*>(in);
        auto* channels = reinterpret_cast<typename P::channel_type*>(out);
        if constexpr (sizeof(typename P::channel_type) == 1)
            kernels_->output_row_8(floats, output.width, conversion, channels);
        else
            kernels_->output_row_16(floats, output.width, conversion, channels);
    } else {
        auto positive = [](double v) { return v > 0.0 ? v : 0.0; };  // NaN becomes 0
        // Float rows go a span at a time: the scaled values first, then one call of the transfer
        // function for all of them, then the stores.
        constexpr int32_t kSpan = 128;
        double span_rgb[3 * kSpan];
        double span_alpha[kSpan];
        for (int32_t x0 = 0; x0 < output.width; x0 += kSpan) {
            const int32_t n = std::min(kSpan, output.width - x0);
            for (int32_t k = 0; k < n; ++k) {
                const S& s = in[x0 + k];
                double boosted[4];
                const double* c = fixed;
                if constexpr (S::extra_count == 1) {
                    scales(s.extra[0], boosted);
                    c = boosted;
                }
                const double A = alpha_of(s), R = red_of(s), G = green_of(s), B = blue_of(s);
                span_alpha[k] = std::min(positive(c[0] * A), 1.0);
                span_rgb[3 * k] = positive(c[1] * R);
                span_rgb[3 * k + 1] = positive(c[2] * G);
                span_rgb[3 * k + 2] = positive(c[3] * B);
            }
            if (gamma) linear_to_bt709_row(span_rgb, span_rgb, size_t(3 * n));
            for (int32_t k = 0; k < n; ++k) {
                const double a = span_alpha[k];
                double* rgb = span_rgb + 3 * k;
                P& o = out[x0 + k];
                if (a < 1e-5) {
                    o = P{};
                    continue;
                }
                for (int c = 0; c < 3; ++c) {
                    if (straight) rgb[c] /= a;
                    rgb[c] = std::min(rgb[c], double(FLT_MAX));
                }
                alpha_of(o) = float(a);
                red_of(o) = float(rgb[0]);
                green_of(o) = float(rgb[1]);
                blue_of(o) = float(rgb[2]);
            }
        }
    }
}
