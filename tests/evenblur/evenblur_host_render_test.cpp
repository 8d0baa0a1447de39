#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "evenblur/evenblur_ae_host.h"
#include "tests/evenblur/evenblur_test_project.h"
#include "tests/support/padded_image.h"

// Frame renders through the host face on the in-memory host: what a new instance renders, which
// image each helper layer becomes, the classic render path, cancellation and allocation
// failure.

namespace {

using Host = EvenblurAEHost;

template <class P>
constexpr int32_t bitsOf() {
    if constexpr (std::is_same_v<P, PixelRGBA8>) return 8;
    if constexpr (std::is_same_v<P, PixelRGBA16>) return 16;
    return 32;
}

// Deterministic pixel values spread over the whole channel range.
struct Lcg {
    uint32_t state;
    uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    double unit() { return double(next() % 100001u) / 100000.0; }
};

template <class P>
void setPixel(P& p, double a, double r, double g, double b) {
    using T = typename P::channel_type;
    const auto convert = [](double v) {
        if constexpr (P::is_float) {
            return T(v);
        } else {
            return T(v * P::max + 0.5);
        }
    };
    p.channel[P::layout::alpha] = convert(a);
    p.channel[P::layout::red] = convert(r);
    p.channel[P::layout::green] = convert(g);
    p.channel[P::layout::blue] = convert(b);
}

template <class P>
void fillRandom(PaddedImage<P>& image, uint32_t seed) {
    Lcg lcg{seed};
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x)
            setPixel(image.at(x, y), lcg.unit(), lcg.unit(), lcg.unit(), lcg.unit());
}

template <class P>
LayerImage layerOf(PaddedImage<P>& image) {
    const PixelArray<P> a = image.array();
    LayerImage layer;
    layer.data = a.data;
    layer.width = a.width;
    layer.height = a.height;
    layer.row_bytes = a.row_bytes;
    layer.bits = bitsOf<P>();
    layer.full_width = a.width;
    layer.full_height = a.height;
    layer.present = true;
    return layer;
}

template <class P>
bool samePixels(PaddedImage<P>& a, PaddedImage<P>& b) {
    for (int32_t y = 0; y < a.height(); ++y)
        if (std::memcmp(&a.at(0, y), &b.at(0, y), sizeof(P) * size_t(a.width())) != 0) return false;
    return true;
}

template <class P>
std::vector<unsigned char> snapshot(PaddedImage<P>& image) {
    std::vector<unsigned char> bytes;
    for (int32_t y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const unsigned char*>(&image.at(0, y));
        bytes.insert(bytes.end(), row, row + sizeof(P) * size_t(image.width()));
    }
    return bytes;
}

// The helper layers of a render, as the binding hands them over: all three names, connected or
// not.
LayerMap helperLayers(const LayerImage* blend, const LayerImage* lens,
                      const LayerImage* selection) {
    LayerMap layers;
    layers["blend layer"] = blend != nullptr ? *blend : LayerImage{};
    layers["lens layer"] = lens != nullptr ? *lens : LayerImage{};
    layers["selection layer"] = selection != nullptr ? *selection : LayerImage{};
    return layers;
}

template <class P>
PF_Err renderWith(Host& effect, const LayerImage& source, const LayerImage& output,
                  const LayerMap& layers) {
    if constexpr (std::is_same_v<P, PixelRGBA8>) return effect.render8(source, output, layers);
    if constexpr (std::is_same_v<P, PixelRGBA16>) return effect.render16(source, output, layers);
    return effect.renderFloat(source, output, layers);
}

template <class P>
class EvenblurHostRender : public ::testing::Test {
protected:
    PF_Err render(PaddedImage<P>& source, PaddedImage<P>& output,
                  const LayerMap& layers = helperLayers(nullptr, nullptr, nullptr)) {
        Host effect;
        project.attach(effect);
        return renderWith<P>(effect, layerOf(source), layerOf(output), layers);
    }

    EvenblurTestProject project;
};

using PixelTypes = ::testing::Types<PixelRGBA8, PixelRGBA16, PixelRGBAFloat>;
TYPED_TEST_SUITE(EvenblurHostRender, PixelTypes);

TYPED_TEST(EvenblurHostRender, ANewInstanceRendersTheSourceUnchanged) {
    using P = TypeParam;
    PaddedImage<P> source(13, 9, kLayerRows);
    PaddedImage<P> output(13, 9, kLayerRows);
    fillRandom(source, 11);
    ASSERT_EQ(this->render(source, output), PF_Err_NONE);
    EXPECT_TRUE(samePixels(source, output));
    EXPECT_TRUE(output.spareBytesUntouched());
    EXPECT_EQ(this->project.host.liveHandles(), 0);
    EXPECT_EQ(this->project.host.checkouts.load(), this->project.host.checkins.load());
}

// With "highlight selection only" the picture is the weight: with the default ranges a pixel is
// selected when its lightness is at least 200/255 (every hue and saturation passes).
template <class P>
void expectWeightPicture(PaddedImage<P>& output, PaddedImage<P>& weights_from) {
    for (int32_t y = 0; y < output.height(); ++y) {
        for (int32_t x = 0; x < output.width(); ++x) {
            const P& s = weights_from.at(x, y);
            const double r = double(s.channel[P::layout::red]) / P::max;
            const double g = double(s.channel[P::layout::green]) / P::max;
            const double b = double(s.channel[P::layout::blue]) / P::max;
            const double lightness = (std::max({r, g, b}) + std::min({r, g, b})) / 2.0;
            const double expected = lightness >= 200.0 / 255.0 ? P::max : 0.0;
            const P& o = output.at(x, y);
            ASSERT_EQ(double(o.channel[P::layout::alpha]), P::max) << x << "," << y;
            ASSERT_EQ(double(o.channel[P::layout::red]), expected) << x << "," << y;
            ASSERT_EQ(double(o.channel[P::layout::green]), expected) << x << "," << y;
            ASSERT_EQ(double(o.channel[P::layout::blue]), expected) << x << "," << y;
        }
    }
}

// Opaque pixels, bright and dark ones in a pattern, well clear of the threshold.
template <class P>
void fillBrightAndDark(PaddedImage<P>& image, bool bright_first) {
    for (int32_t y = 0; y < image.height(); ++y) {
        for (int32_t x = 0; x < image.width(); ++x) {
            const bool bright = ((x * 7 + y * 3) % 5 < 2) == bright_first;
            if (bright)
                setPixel(image.at(x, y), 1.0, 0.95, 0.9, 1.0);
            else
                setPixel(image.at(x, y), 1.0, 0.2, 0.6, 0.1);
        }
    }
}

TYPED_TEST(EvenblurHostRender, WithoutASelectionLayerHighlightsComeFromTheInput) {
    using P = TypeParam;
    this->project.param(Host::kShow).u.pd.value = 4;
    this->project.param(Host::kSelectionEnable).u.bd.value = 1;
    PaddedImage<P> source(11, 7, kLayerRows);
    PaddedImage<P> output(11, 7, kLayerRows);
    fillBrightAndDark(source, true);
    ASSERT_EQ(this->render(source, output), PF_Err_NONE);
    expectWeightPicture(output, source);
    EXPECT_TRUE(output.spareBytesUntouched());

    // A connected selection layer replaces the input as the picker.
    PaddedImage<P> selection(11, 7, kLayerRows);
    fillBrightAndDark(selection, false);
    const LayerImage selection_layer = layerOf(selection);
    ASSERT_EQ(this->render(source, output, helperLayers(nullptr, nullptr, &selection_layer)),
              PF_Err_NONE);
    expectWeightPicture(output, selection);

    // A selection layer that is not connected does not count, even with a buffer.
    LayerImage unconnected = selection_layer;
    unconnected.present = false;
    ASSERT_EQ(this->render(source, output, helperLayers(nullptr, nullptr, &unconnected)),
              PF_Err_NONE);
    expectWeightPicture(output, source);
}

TYPED_TEST(EvenblurHostRender, ARowStrideShorterThanTheRowIsRefused) {
    using P = TypeParam;
    PaddedImage<P> source(9, 5, kLayerRows);
    PaddedImage<P> output(9, 5, kLayerRows);
    Host effect;
    this->project.attach(effect);
    LayerImage bad = layerOf(output);
    bad.row_bytes = int32_t(sizeof(P)) * 8;
    const auto before = snapshot(output);
    EXPECT_EQ(renderWith<P>(effect, layerOf(source), bad, helperLayers(nullptr, nullptr, nullptr)),
              PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(snapshot(output), before);
    EXPECT_EQ(this->project.host.checkouts.load(), this->project.host.checkins.load());
}

// Classic render through the command dispatch: the binding checks the helper layers out (none
// connected here) and picks the 8- or 16-bit render from the worlds' flags.
TEST(EvenblurClassicRender, RadiusZeroCopiesAt8And16Bits) {
    for (const bool deep : {false, true}) {
        EvenblurTestProject project;
        const int32_t w = 15, h = 7;
        const int32_t pixel = deep ? 8 : 4;
        const int32_t row_bytes = (w + 2) * pixel;
        std::vector<unsigned char> in(size_t(row_bytes * h)), out(size_t(row_bytes * h), 0x5A);
        Lcg lcg{5};
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t i = 0; i < w * pixel; ++i) {
                in[size_t(y * row_bytes + i)] = (deep && i % 2 == 1)
                                                    ? (unsigned char)(lcg.next() % 128)
                                                    : (unsigned char)(lcg.next() & 0xFF);
            }
        }
        PF_ParamDef& input = project.param(0);
        input.param_type = PF_Param_LAYER;
        input.u.ld.data = reinterpret_cast<PF_PixelPtr>(in.data());
        input.u.ld.width = w;
        input.u.ld.height = h;
        input.u.ld.rowbytes = row_bytes;
        input.u.ld.world_flags = deep ? PF_WorldFlag_DEEP : 0;
        PF_LayerDef output{};
        output.data = reinterpret_cast<PF_PixelPtr>(out.data());
        output.width = w;
        output.height = h;
        output.rowbytes = row_bytes;
        output.world_flags = (deep ? PF_WorldFlag_DEEP : 0) | PF_WorldFlag_WRITEABLE;
        project.host.in_data.width = w;
        project.host.in_data.height = h;

        Host effect;
        ASSERT_EQ(effect.dispatch(PF_Cmd_RENDER, &project.host.in_data, &project.host.out_data,
                                  project.host.paramList(), &output, nullptr),
                  PF_Err_NONE);
        for (int32_t y = 0; y < h; ++y) {
            EXPECT_EQ(std::memcmp(&in[size_t(y * row_bytes)], &out[size_t(y * row_bytes)],
                                  size_t(w * pixel)),
                      0)
                << "row " << y;
            for (int32_t i = w * pixel; i < row_bytes; ++i)
                ASSERT_EQ(out[size_t(y * row_bytes + i)], 0x5A) << "row " << y;
        }
        // The binding's three helper checkouts and the effect's 36 are all given back.
        EXPECT_EQ(project.host.checkouts.load(), project.host.checkins.load());
        EXPECT_EQ(project.host.liveHandles(), 0);
    }
}

// A cancel from the host's progress at any point of the frame: the render returns the cancel,
// every block is back, and nothing still runs that could write the output afterwards.
template <class P>
void cancelEverywhere(int32_t show, double radius, bool with_layers, int32_t threads) {
    int32_t total_calls = 0;
    for (int32_t cancel_at = 1;; cancel_at = cancel_at < 8 ? cancel_at + 1 : cancel_at * 2) {
        EvenblurTestProject project;
        project.host.setProcessorIterations(threads);
        project.param(Host::kShow).u.pd.value = show;
        project.param(Host::kRadius).u.fs_d.value = radius;
        project.param(Host::kSelectionEnable).u.bd.value = 1;
        project.param(Host::kAdditiveHighlight).u.fs_d.value = 1.0;
        int32_t calls = 0;
        project.host.progress_script = [&](A_long, A_long) {
            return ++calls >= cancel_at ? PF_Err(PF_Interrupt_CANCEL) : PF_Err(PF_Err_NONE);
        };
        PaddedImage<P> source(23, 17, kLayerRows);
        PaddedImage<P> output(23, 17, kLayerRows);
        PaddedImage<P> lens(9, 9, kLayerRows);
        PaddedImage<P> background(23, 17, kLayerRows);
        fillRandom(source, 3);
        fillRandom(lens, 4);
        fillRandom(background, 5);
        const LayerImage lens_layer = layerOf(lens);
        const LayerImage background_layer = layerOf(background);
        const LayerMap layers = with_layers ? helperLayers(&background_layer, &lens_layer, nullptr)
                                            : helperLayers(nullptr, nullptr, nullptr);
        PF_Err result;
        std::vector<unsigned char> at_return;
        {
            auto effect = std::make_unique<Host>();
            project.attach(*effect);
            result = renderWith<P>(*effect, layerOf(source), layerOf(output), layers);
            at_return = snapshot(output);
            EXPECT_EQ(project.host.liveHandles(), 0) << "cancel at " << cancel_at;
            // Destroying the object joins the workers: a worker still busy would write now.
        }
        EXPECT_EQ(snapshot(output), at_return) << "cancel at " << cancel_at;
        EXPECT_TRUE(output.spareBytesUntouched());
        EXPECT_EQ(project.host.checkouts.load(), project.host.checkins.load());
        EXPECT_EQ(project.host.overlappingHandleCalls(), 0);
        EXPECT_EQ(project.host.unknownHandleCalls(), 0);
        if (calls < cancel_at) {
            // The frame needed fewer reports than this: it ran to the end.
            EXPECT_EQ(result, PF_Err_NONE);
            total_calls = calls;
            break;
        }
        EXPECT_EQ(result, PF_Interrupt_CANCEL) << "cancel at " << cancel_at;
        // Once cancelled, the host thread asks no more.
        EXPECT_EQ(calls, cancel_at) << "cancel at " << cancel_at;
    }
    // On one thread every report reaches the host; on more, workers may do all the rows.
    if (threads == 1) {
        EXPECT_GT(total_calls, 0);
    }
}

TYPED_TEST(EvenblurHostRender, CancelAtAnyPointOfTheBlur) {
    for (const int32_t threads : {1, 3}) {
        cancelEverywhere<TypeParam>(1, 4.0, true, threads);
        cancelEverywhere<TypeParam>(1, 0.0, false, threads);
    }
}

TYPED_TEST(EvenblurHostRender, CancelAtAnyPointOfTheIrisAndSelectionModes) {
    for (const int32_t threads : {1, 3}) {
        cancelEverywhere<TypeParam>(2, 4.0, true, threads);
        cancelEverywhere<TypeParam>(3, 4.0, false, threads);
    }
}

}  // namespace

namespace {

// Memory refused at the n-th host allocation of the frame, for every n the frame reaches: the
// render returns out-of-memory and every block it had obtained is back.
template <class P>
void refuseEveryAllocation(int32_t show, double radius, bool preservative, bool lens_colored,
                           bool with_background, int32_t threads) {
    int32_t allocations = 0;
    for (int32_t refuse_from = 1;; ++refuse_from) {
        EvenblurTestProject project;
        project.host.setProcessorIterations(threads);
        project.param(Host::kShow).u.pd.value = show;
        project.param(Host::kRadius).u.fs_d.value = radius;
        project.param(Host::kSmooth).u.fs_d.value = 0.5;
        project.param(Host::kSelectionEnable).u.bd.value = preservative ? 1 : 0;
        project.param(Host::kColoredIris).u.bd.value = lens_colored ? 1 : 0;
        project.refuse_handles_from = refuse_from;
        PaddedImage<P> source(19, 13, kLayerRows);
        PaddedImage<P> output(19, 13, kLayerRows);
        PaddedImage<P> lens(7, 5, kLayerRows);
        PaddedImage<P> background(19, 13, kLayerRows);
        fillRandom(source, 7);
        fillRandom(lens, 8);
        fillRandom(background, 9);
        const LayerImage lens_layer = layerOf(lens);
        const LayerImage background_layer = layerOf(background);
        const LayerMap layers = helperLayers(with_background ? &background_layer : nullptr,
                                             lens_colored ? &lens_layer : nullptr, nullptr);
        PF_Err result;
        {
            Host effect;
            project.attach(effect);
            result = renderWith<P>(effect, layerOf(source), layerOf(output), layers);
        }
        EXPECT_EQ(project.host.liveHandles(), 0) << "refused from " << refuse_from;
        EXPECT_EQ(project.host.unknownHandleCalls(), 0);
        EXPECT_TRUE(output.spareBytesUntouched());
        EXPECT_EQ(project.host.checkouts.load(), project.host.checkins.load());
        if (project.handle_requests < refuse_from) {
            EXPECT_EQ(result, PF_Err_NONE);
            allocations = project.handle_requests;
            break;
        }
        EXPECT_EQ(result, PF_Err_OUT_OF_MEMORY) << "refused from " << refuse_from;
    }
    // Each of these frames needs memory of its own.
    EXPECT_GT(allocations, 0);
}

TYPED_TEST(EvenblurHostRender, RefusedMemoryReturnsOutOfMemoryWithEveryBlockBack) {
    for (const int32_t threads : {1, 2}) {
        refuseEveryAllocation<TypeParam>(1, 3.0, false, false, false, threads);
        refuseEveryAllocation<TypeParam>(1, 3.0, true, true, true, threads);
        refuseEveryAllocation<TypeParam>(2, 3.0, false, false, false, threads);
        refuseEveryAllocation<TypeParam>(2, 3.0, false, true, false, threads);
    }
}

}  // namespace

namespace {

template <class P>
double channelOf(const P& p, int channel) {
    return double(p.channel[channel]) / P::max;
}

// The "blend layer" is the background: behind a fully transparent input it shows unmoved (no
// alpha edge refracts it), whatever the distortion.
TYPED_TEST(EvenblurHostRender, TheBlendLayerIsTheBackground) {
    using P = TypeParam;
    const double tolerance = P::is_float ? 1e-5 : 1.0 / P::max;
    PaddedImage<P> source(15, 11, kLayerRows);
    PaddedImage<P> output(15, 11, kLayerRows);
    PaddedImage<P> background(15, 11, kLayerRows);
    for (int32_t y = 0; y < 11; ++y)
        for (int32_t x = 0; x < 15; ++x) setPixel(background.at(x, y), 1.0, 0.2, 0.4, 0.6);
    const LayerImage background_layer = layerOf(background);
    ASSERT_EQ(this->render(source, output, helperLayers(&background_layer, nullptr, nullptr)),
              PF_Err_NONE);
    for (int32_t y = 0; y < 11; ++y) {
        for (int32_t x = 0; x < 15; ++x) {
            const P& o = output.at(x, y);
            ASSERT_NEAR(channelOf(o, P::layout::alpha), 1.0, tolerance) << x << "," << y;
            ASSERT_NEAR(channelOf(o, P::layout::red), 0.2, tolerance) << x << "," << y;
            ASSERT_NEAR(channelOf(o, P::layout::green), 0.4, tolerance) << x << "," << y;
            ASSERT_NEAR(channelOf(o, P::layout::blue), 0.6, tolerance) << x << "," << y;
        }
    }
    EXPECT_TRUE(output.spareBytesUntouched());
}

// The "lens layer" replaces the polygon iris: the iris display changes with it, and "colored
// iris" only matters when a lens layer is given.
TYPED_TEST(EvenblurHostRender, TheLensLayerShapesTheIris) {
    using P = TypeParam;
    this->project.param(Host::kShow).u.pd.value = 2;
    this->project.param(Host::kRadius).u.fs_d.value = 6.0;
    PaddedImage<P> source(41, 31, kLayerRows);
    fillRandom(source, 21);
    PaddedImage<P> polygon(41, 31, kLayerRows);
    ASSERT_EQ(this->render(source, polygon), PF_Err_NONE);

    PaddedImage<P> lens(9, 7, kLayerRows);
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 9; ++x)
            setPixel(lens.at(x, y), 1.0, x < 4 ? 1.0 : 0.0, 0.0, x < 4 ? 0.0 : 1.0);
    const LayerImage lens_layer = layerOf(lens);
    PaddedImage<P> gray(41, 31, kLayerRows);
    ASSERT_EQ(this->render(source, gray, helperLayers(nullptr, &lens_layer, nullptr)), PF_Err_NONE);
    EXPECT_FALSE(samePixels(polygon, gray));

    this->project.param(Host::kColoredIris).u.bd.value = 1;
    PaddedImage<P> colored(41, 31, kLayerRows);
    ASSERT_EQ(this->render(source, colored, helperLayers(nullptr, &lens_layer, nullptr)),
              PF_Err_NONE);
    EXPECT_FALSE(samePixels(gray, colored));
    PaddedImage<P> colored_polygon(41, 31, kLayerRows);
    ASSERT_EQ(this->render(source, colored_polygon), PF_Err_NONE);
    EXPECT_TRUE(samePixels(polygon, colored_polygon));
    EXPECT_TRUE(colored.spareBytesUntouched());
    EXPECT_EQ(this->project.host.liveHandles(), 0);
}

}  // namespace
