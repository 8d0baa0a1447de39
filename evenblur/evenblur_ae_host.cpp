#include "evenblur/evenblur_ae_host.h"

#include <cstring>
#include <iterator>
#include <span>

#include "evenblur/evenblur_effect.h"
#include "framework/logger.h"
#include "aehost/layer_pixels.h"
#include "aehost/parameter_table.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_types.h"
#include "framework/rectangle.h"
#include "aehost/suite_handler.h"

namespace {

constexpr PF_ParamFlags S = PF_ParamFlag_SUPERVISE;
constexpr PF_ParamFlags C = PF_ParamFlag_START_COLLAPSED;

constexpr const char* kShowChoices =
    "normal blur | iris | highlight selection | highlight selection only";
constexpr const char* kAssumeChoices = "border color|mirrored image|repeated image|color";

using namespace parameter_row;
using Host = EvenblurAEHost;

// Position p is kParameters[p - 1]. The ids are stored in projects and never change.
constexpr ParameterSpec kParameters[] = {
    popup(Host::kShow, 1, "show", S, kShowChoices, 4, 1),
    floatSlider(Host::kRadius, 2, "radius", 0, 0, 999, 0, 50, 0),
    floatSlider(Host::kPreservativeHighlight, 3, "preservative highlight", C, 0, 9999, 0, 5, 1),
    floatSlider(Host::kAdditiveHighlight, 4, "additive highlight", C, 0, 9999, 0, 5, 0),
    checkbox(Host::kGammaCorrection, 5, "gamma correction", 0, true),
    layer(Host::kBackgroundLayer, 6, "background layer", 0),
    floatSlider(Host::kBackgroundDistortion, 7, "background distortion", C, -9999, 9999, -100, 100,
                10),
    integerSlider(Host::kDistortionAntialias, 8, "distortion antialias", C, 0, 10, 0, 3, 0),
    groupStart(Host::kIrisGroup, 9, "-> Iris..", C),
    layer(Host::kAlternativeIris, 10, "alternative iris", 0),
    checkbox(Host::kColoredIris, 11, "colored iris", 0, false),
    floatSlider(Host::kSmooth, 12, "smooth", C, 0, 999, 0, 50, 0),
    integerSlider(Host::kFacets, 13, "facets", C, 3, 999, 3, 10, 3),
    angle(Host::kAngle, 14, "angle", C),
    floatSlider(Host::kRoundedFacets, 15, "rounded facets", C, 0, 1, 0, 1, 1),
    floatSlider(Host::kBorderBrightness, 16, "relative border brightness ", C, -1, 1, -1, 1, 0),
    floatSlider(Host::kBorderThickness, 17, "border thickness", C, 0, 1, 0, 1, double(0.3f)),
    floatSlider(Host::kAspect, 18, "x-y aspect", C, -0.75, 0.75, -0.75, 0.75, 0),
    groupEnd(Host::kIrisGroupEnd, 19),
    groupStart(Host::kSelectionGroup, 20, "-> Highlight Selection...", C),
    checkbox(Host::kSelectionEnable, 21, "enable", S, false),
    layer(Host::kSelectionLayer, 22, "alternative Selection layer", 0),
    groupStart(Host::kLightnessGroup, 24, "-> Lightness...", C),
    floatSlider(Host::kLightnessStart, 25, "lightness start", 0, -999999, 999999, 0, 255, 200),
    floatSlider(Host::kLightnessEnd, 26, "lightness end", 0, -999999, 999999, 0, 255, 255),
    floatSlider(Host::kLightnessClimax, 27, "lightness climax", C, -1, 1, -1, 1, 1),
    floatSlider(Host::kLightnessSoften, 28, "lightness soften", C, 0, 999999, 0, 3, 0),
    angle(Host::kLightnessOffset, 29, "lightness offset", C),
    groupEnd(Host::kLightnessGroupEnd, 30),
    groupStart(Host::kHueGroup, 31, "-> Hue...", C),
    floatSlider(Host::kHueStart, 32, "hue start", 0, -999999, 999999, 0, 255, 0),
    floatSlider(Host::kHueEnd, 33, "hue end", 0, -999999, 999999, 0, 255, 255),
    floatSlider(Host::kHueClimax, 34, "hue climax", C, -1, 1, -1, 1, 1),
    floatSlider(Host::kHueSoften, 35, "hue soften", C, 0, 999999, 0, 3, 0),
    angle(Host::kHueOffset, 36, "hue offset", C),
    groupEnd(Host::kHueGroupEnd, 37),
    groupStart(Host::kSaturationGroup, 38, "-> Saturation...", C),
    floatSlider(Host::kSaturationStart, 39, "saturation start", 0, -999999, 999999, 0, 255, 0),
    floatSlider(Host::kSaturationEnd, 40, "saturation end", 0, -999999, 999999, 0, 255, 255),
    floatSlider(Host::kSaturationClimax, 41, "saturation climax", C, -1, 1, -1, 1, 1),
    floatSlider(Host::kSaturationSoften, 42, "saturation soften", C, 0, 999999, 0, 3, 0),
    angle(Host::kSaturationOffset, 43, "saturation offset", C),
    groupEnd(Host::kSaturationGroupEnd, 44),
    groupEnd(Host::kSelectionGroupEnd, 45),
    groupStart(Host::kOutsideGroup, 46, "-> Outside Image...", C),
    popup(Host::kHorizontalAssume, 47, "horizontal assume", 0, kAssumeChoices, 4, 1),
    popup(Host::kVerticalAssume, 48, "vertical assume", 0, kAssumeChoices, 4, 1),
    // Opaque black.
    color(Host::kOutsideColor, 49, "outside color", 0, PF_Pixel{255, 0, 0, 0}),
    floatSlider(Host::kOutsideColorAlpha, 50, "outside color alpha", C, 0, 255, 0, 255, 255),
    groupEnd(Host::kOutsideGroupEnd, 51),
};
static_assert(std::size(kParameters) + 1 == size_t(EvenblurAEHost::kParameterCount));
static_assert(positionsInOrder(kParameters), "the table lists positions 1 .. 50 in order");

}  // namespace

EvenblurAEHost::EvenblurAEHost()
    : FrameRenders(kName, kCategory, kDescription, kVersionMajor, kVersionMinor,
                   kVersionRevision) {}

PF_Err EvenblurAEHost::paramsSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                   PF_LayerDef* output) {
    (void)params;
    (void)output;
    return addParameters(kParameters, in_data, out_data);
}

PF_Err EvenblurAEHost::updateParamsUI(PF_InData* in_data, PF_OutData* out_data,
                                      PF_ParamDef* params[], PF_LayerDef* output, void* extra) {
    (void)out_data;
    (void)output;
    (void)extra;
    if (in_data == nullptr || in_data->pica_basicP == nullptr) return noError();
    {
        SuiteHandler suites(in_data->pica_basicP);
        if (suites.tryParamUtilsSuite() == nullptr) return noError();
    }
    if (params == nullptr || in_data->num_params < kParameterCount) {
        LogEntry(Logger::kError) << Logger::kErrorPrefix << "control update: the host gave "
                                 << in_data->num_params << " parameters, " << kParameterCount
                                 << " expected\n";
        return PF_Err_INVALID_INDEX;
    }
    for (int32_t position = 0; position < kParameterCount; ++position) {
        if (params[position] == nullptr) return PF_Err_INVALID_INDEX;
    }

    const int32_t show = params[kShow]->u.pd.value;
    const bool selection_on = readCheckbox(*params[kSelectionEnable]);
    const bool outside_color =
        params[kHorizontalAssume]->u.pd.value == 4 || params[kVerticalAssume]->u.pd.value == 4;

    // Hosts before 12.5 cannot say whether a layer parameter is connected: both layers then
    // count as connected, so the polygon's shape controls are disabled there (a lens layer, if
    // any, decides the iris).
    bool iris_connected = true;
    bool background_connected = true;
    if (hostKnowsLayers()) {
        iris_connected = layerConnected(kAlternativeIris);
        background_connected = layerConnected(kBackgroundLayer);
    }

    const bool blur = show == EvenblurSettings::kShowNormalBlur;
    const bool not_iris = show != EvenblurSettings::kShowIris;
    const bool iris_shown = show != EvenblurSettings::kShowHighlightSelection &&
                            show != EvenblurSettings::kShowHighlightSelectionOnly;

    struct Change {
        int32_t first;
        int32_t last;
        bool enabled;
    };
    // In this order; the last row overrides the one before it for the outside colour.
    const Change changes[] = {
        {kRadius, kRadius, blur},
        {kGammaCorrection, kBackgroundLayer, blur},
        {kBackgroundDistortion, kDistortionAntialias, blur && background_connected},
        {kPreservativeHighlight, kAdditiveHighlight, not_iris && selection_on},
        {kAlternativeIris, kAlternativeIris, iris_shown},
        {kSmooth, kSmooth, iris_shown},
        {kIrisGroup, kIrisGroup, iris_shown},
        {kIrisGroupEnd, kIrisGroupEnd, iris_shown},
        {kColoredIris, kColoredIris, iris_shown && iris_connected},
        {kFacets, kAspect, iris_shown && !iris_connected},
        {kSelectionLayer, kLightnessOffset, not_iris && selection_on},
        {kHueGroup, kHueOffset, not_iris && selection_on},
        {kSaturationGroup, kSaturationOffset, not_iris && selection_on},
        {kSelectionEnable, kSelectionEnable, not_iris},
        {kSelectionGroup, kSelectionGroup, not_iris},
        {kSelectionGroupEnd, kSelectionGroupEnd, not_iris},
        {kOutsideGroup, kOutsideGroupEnd, blur},
        {kOutsideColor, kOutsideColorAlpha, blur && outside_color},
    };
    for (const Change& change : changes) {
        for (int32_t position = change.first; position <= change.last; ++position) {
            const PF_Err err = setParamEnabled(position, change.enabled);
            if (err != PF_Err_NONE) return err;
        }
    }
    return noError();
}

PF_Err EvenblurAEHost::checkoutSettings(ParameterCheckouts& checkouts, EvenblurSettings* settings) {
    for (const int32_t position : kRenderCheckoutOrder) {
        const PF_Err err = checkouts.checkOut(position);
        if (err != PF_Err_NONE) return err;
    }

    // "gamma correction" is read through a checkout of its own, given back at once.
    PF_ParamDef gamma;
    std::memset(&gamma, 0, sizeof gamma);
    PF_Err err = PF_CHECKOUT_PARAM(command.in_data, kGammaCorrection, command.in_data->current_time,
                                   command.in_data->time_step, command.in_data->time_scale, &gamma);
    if (err != PF_Err_NONE) return err;
    const bool gamma_on = readCheckbox(gamma);
    err = PF_CHECKIN_PARAM(command.in_data, &gamma);
    if (err != PF_Err_NONE) return err;

    const ParameterReader values(checkouts.byPosition(), kParameters);
    const auto turns = [&](int32_t position) {
        return EvenblurSettings::fixedDegreesToTurns(values.angle(position));
    };
    const auto limit = [&](int32_t position) {
        return EvenblurSettings::selectionLimit(values.slider(position));
    };

    EvenblurSettings s;
    s.show = values.choice(kShow);
    s.radius = values.slider(kRadius);
    s.gamma = gamma_on;
    s.distortion = values.slider(kBackgroundDistortion);
    s.distortion_antialias = values.integer(kDistortionAntialias);
    s.assume_h = values.choice(kHorizontalAssume);
    s.assume_v = values.choice(kVerticalAssume);
    const PF_Pixel color = values.color(kOutsideColor);
    s.outside_color[0] = EvenblurSettings::colorChannel(color.red);
    s.outside_color[1] = EvenblurSettings::colorChannel(color.green);
    s.outside_color[2] = EvenblurSettings::colorChannel(color.blue);
    s.outside_alpha = EvenblurSettings::colorAlpha(values.slider(kOutsideColorAlpha));
    s.colored_iris = values.checked(kColoredIris);
    s.smooth = values.slider(kSmooth);
    s.rounded = values.slider(kRoundedFacets);
    s.border_thickness = values.slider(kBorderThickness);
    s.border_brightness = values.slider(kBorderBrightness);
    s.angle = EvenblurSettings::irisAngle(values.angle(kAngle));
    s.aspect = values.slider(kAspect);
    s.facets = values.integer(kFacets);
    s.preservative = values.slider(kPreservativeHighlight);
    s.additive = values.slider(kAdditiveHighlight);

    SelectionSettings& sel = s.selection;
    sel.show_selection = s.show == EvenblurSettings::kShowHighlightSelectionOnly;
    sel.enabled = values.checked(kSelectionEnable);
    sel.hue_start = limit(kHueStart);
    sel.hue_end = limit(kHueEnd);
    sel.hue_climax = values.slider(kHueClimax);
    sel.hue_soften = values.slider(kHueSoften);
    sel.saturation_start = limit(kSaturationStart);
    sel.saturation_end = limit(kSaturationEnd);
    sel.saturation_climax = values.slider(kSaturationClimax);
    sel.saturation_soften = values.slider(kSaturationSoften);
    sel.lightness_start = limit(kLightnessStart);
    sel.lightness_end = limit(kLightnessEnd);
    sel.lightness_climax = values.slider(kLightnessClimax);
    sel.lightness_soften = values.slider(kLightnessSoften);
    sel.hue_offset = turns(kHueOffset);
    sel.saturation_offset = turns(kSaturationOffset);
    sel.lightness_offset = turns(kLightnessOffset);

    s.scale_x = EvenblurSettings::downsampleScale(command.in_data->downsample_x.num,
                                                  command.in_data->downsample_x.den);
    s.scale_y = EvenblurSettings::downsampleScale(command.in_data->downsample_y.num,
                                                  command.in_data->downsample_y.den);
    *settings = s;
    return noError();
}

template <class P>
PF_Err EvenblurAEHost::renderFrame(const LayerImage& source, const LayerImage& output,
                                   const LayerMap& layers) {
    if (command.in_data == nullptr || command.in_data->inter.checkout_param == nullptr ||
        command.in_data->inter.checkin_param == nullptr) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    ParameterCheckouts checkouts(command.in_data);
    EvenblurSettings settings;
    const PF_Err err = checkoutSettings(checkouts, &settings);
    if (err != PF_Err_NONE) return err;

    PixelArray<P> images[5];
    const struct {
        const LayerImage& layer;
        const char* what;
    } layer_images[] = {
        {source, "source"},
        {output, "output"},
        {selectionOrSource(layers, "selection layer", source), "selection layer"},
        {helperLayerImage(layers, "lens layer"), "lens layer"},
        {helperLayerImage(layers, "blend layer"), "blend layer"},
    };
    for (size_t i = 0; i < std::size(images); ++i) {
        const PF_Err refused =
            checkedPixelArrayOf<P>(layer_images[i].layer, layer_images[i].what, &images[i]);
        if (refused != PF_Err_NONE) return refused;
    }
    if (images[1].data == nullptr && images[1].width > 0 && images[1].height > 0) {
        LogEntry(Logger::kError) << Logger::kErrorPrefix << "render: the output of "
                                 << images[1].width << "x" << images[1].height
                                 << " pixels has no pixel data\n";
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    for (const LayerImage* layer : {&source, &output}) {
        if (layer->present && layer->bits != bitsOf<P>()) {
            LogEntry(Logger::kError) << Logger::kErrorPrefix << "render: a layer of " << layer->bits
                                     << " bits in a " << bitsOf<P>() << "-bit render\n";
            return PF_Err_BAD_CALLBACK_PARAM;
        }
    }

    EvenblurEffect<P> effect(this, settings, images[0], images[1], images[2], images[3], images[4]);
    return effect.render();
}

template class FrameRenders<EvenblurAEHost>;

std::span<const AfterEffectsHost::HelperLayer> EvenblurAEHost::helperLayers() const {
    static constexpr HelperLayer kHelpers[] = {{"blend layer", kBackgroundLayer},
                                               {"lens layer", kAlternativeIris, true},
                                               {"selection layer", kSelectionLayer}};
    return kHelpers;
}
