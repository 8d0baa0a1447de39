#include "evenblur/evenblur_ae_host.h"

#include <cmath>
#include <cstring>
#include <iterator>
#include <span>

#include "evenblur/evenblur_effect.h"
#include "framework/logger.h"
#include "aehost/layer_pixels.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_types.h"
#include "framework/rectangle.h"
#include "aehost/suite_handler.h"

namespace {

enum class Kind {
    popup,
    float_slider,
    integer_slider,
    checkbox,
    layer,
    angle,
    color,
    group_start,
    group_end
};

// One row of the parameter table. Ranges and defaults are in the control's own units: slider
// values, 0/1 for a checkbox, the choice number (from 1) for a popup, degrees for an angle.
struct ParameterSpec {
    int32_t id = 0;
    Kind kind = Kind::group_end;
    const char* name = "";
    double valid_min = 0.0;
    double valid_max = 0.0;
    double slider_min = 0.0;
    double slider_max = 0.0;
    double dephault = 0.0;
    PF_ParamFlags flags = 0;
    const char* choices = nullptr;
    int16_t choice_count = 0;
};

constexpr PF_ParamFlags S = PF_ParamFlag_SUPERVISE;
constexpr PF_ParamFlags C = PF_ParamFlag_START_COLLAPSED;

constexpr const char* kShowChoices =
    "normal blur | iris | highlight selection | highlight selection only";
constexpr const char* kAssumeChoices = "border color|mirrored image|repeated image|color";

constexpr ParameterSpec popup(int32_t id, const char* name, const char* choices, int16_t count,
                              int16_t dephault, PF_ParamFlags flags) {
    ParameterSpec p;
    p.id = id;
    p.kind = Kind::popup;
    p.name = name;
    p.valid_min = 1;
    p.valid_max = count;
    p.dephault = dephault;
    p.flags = flags;
    p.choices = choices;
    p.choice_count = count;
    return p;
}

constexpr ParameterSpec slider(Kind kind, int32_t id, const char* name, double valid_min,
                               double valid_max, double slider_min, double slider_max,
                               double dephault, PF_ParamFlags flags) {
    ParameterSpec p;
    p.id = id;
    p.kind = kind;
    p.name = name;
    p.valid_min = valid_min;
    p.valid_max = valid_max;
    p.slider_min = slider_min;
    p.slider_max = slider_max;
    p.dephault = dephault;
    p.flags = flags;
    return p;
}

constexpr ParameterSpec floatSlider(int32_t id, const char* name, double valid_min,
                                    double valid_max, double slider_min, double slider_max,
                                    double dephault, PF_ParamFlags flags) {
    return slider(Kind::float_slider, id, name, valid_min, valid_max, slider_min, slider_max,
                  dephault, flags);
}

constexpr ParameterSpec integerSlider(int32_t id, const char* name, double valid_min,
                                      double valid_max, double slider_min, double slider_max,
                                      double dephault, PF_ParamFlags flags) {
    return slider(Kind::integer_slider, id, name, valid_min, valid_max, slider_min, slider_max,
                  dephault, flags);
}

constexpr ParameterSpec simple(Kind kind, int32_t id, const char* name, double dephault,
                               PF_ParamFlags flags) {
    ParameterSpec p;
    p.id = id;
    p.kind = kind;
    p.name = name;
    p.dephault = dephault;
    p.flags = flags;
    return p;
}

constexpr ParameterSpec groupStart(int32_t id, const char* name) {
    return simple(Kind::group_start, id, name, 0, C);
}
constexpr ParameterSpec groupEnd(int32_t id) { return simple(Kind::group_end, id, "", 0, 0); }

// Position p is kParameters[p - 1]. The ids are stored in projects and never change.
constexpr ParameterSpec kParameters[] = {
    popup(1, "show", kShowChoices, 4, 1, S),
    floatSlider(2, "radius", 0, 999, 0, 50, 0, 0),
    floatSlider(3, "preservative highlight", 0, 9999, 0, 5, 1, C),
    floatSlider(4, "additive highlight", 0, 9999, 0, 5, 0, C),
    simple(Kind::checkbox, 5, "gamma correction", 1, 0),
    simple(Kind::layer, 6, "background layer", 0, 0),
    floatSlider(7, "background distortion", -9999, 9999, -100, 100, 10, C),
    integerSlider(8, "distortion antialias", 0, 10, 0, 3, 0, C),
    groupStart(9, "-> Iris.."),
    simple(Kind::layer, 10, "alternative iris", 0, 0),
    simple(Kind::checkbox, 11, "colored iris", 0, 0),
    floatSlider(12, "smooth", 0, 999, 0, 50, 0, C),
    integerSlider(13, "facets", 3, 999, 3, 10, 3, C),
    simple(Kind::angle, 14, "angle", 0, C),
    floatSlider(15, "rounded facets", 0, 1, 0, 1, 1, C),
    floatSlider(16, "relative border brightness ", -1, 1, -1, 1, 0, C),
    floatSlider(17, "border thickness", 0, 1, 0, 1, double(0.3f), C),
    floatSlider(18, "x-y aspect", -0.75, 0.75, -0.75, 0.75, 0, C),
    groupEnd(19),
    groupStart(20, "-> Highlight Selection..."),
    simple(Kind::checkbox, 21, "enable", 0, S),
    simple(Kind::layer, 22, "alternative Selection layer", 0, 0),
    groupStart(24, "-> Lightness..."),
    floatSlider(25, "lightness start", -999999, 999999, 0, 255, 200, 0),
    floatSlider(26, "lightness end", -999999, 999999, 0, 255, 255, 0),
    floatSlider(27, "lightness climax", -1, 1, -1, 1, 1, C),
    floatSlider(28, "lightness soften", 0, 999999, 0, 3, 0, C),
    simple(Kind::angle, 29, "lightness offset", 0, C),
    groupEnd(30),
    groupStart(31, "-> Hue..."),
    floatSlider(32, "hue start", -999999, 999999, 0, 255, 0, 0),
    floatSlider(33, "hue end", -999999, 999999, 0, 255, 255, 0),
    floatSlider(34, "hue climax", -1, 1, -1, 1, 1, C),
    floatSlider(35, "hue soften", 0, 999999, 0, 3, 0, C),
    simple(Kind::angle, 36, "hue offset", 0, C),
    groupEnd(37),
    groupStart(38, "-> Saturation..."),
    floatSlider(39, "saturation start", -999999, 999999, 0, 255, 0, 0),
    floatSlider(40, "saturation end", -999999, 999999, 0, 255, 255, 0),
    floatSlider(41, "saturation climax", -1, 1, -1, 1, 1, C),
    floatSlider(42, "saturation soften", 0, 999999, 0, 3, 0, C),
    simple(Kind::angle, 43, "saturation offset", 0, C),
    groupEnd(44),
    groupEnd(45),
    groupStart(46, "-> Outside Image..."),
    popup(47, "horizontal assume", kAssumeChoices, 4, 1, 0),
    popup(48, "vertical assume", kAssumeChoices, 4, 1, 0),
    simple(Kind::color, 49, "outside color", 0, 0),
    floatSlider(50, "outside color alpha", 0, 255, 0, 255, 255, C),
    groupEnd(51),
};
static_assert(std::size(kParameters) + 1 == size_t(EvenblurAEHost::kParameterCount));

// Slider precision and curve tolerance shared by every float slider.
constexpr A_short kFloatPrecision = 3;
constexpr PF_FpShort kCurveTolerance = 0.05f;
// "outside color" of a new instance: opaque black.
constexpr PF_Pixel kOutsideColorDefault = {255, 0, 0, 0};

const ParameterSpec& spec(int32_t position) { return kParameters[position - 1]; }

// The host record of one table row: a zeroed record that receives the id, kind, name, flags and
// the kind's value, ranges and default, with the value set to the default.
PF_ParamDef hostRecord(const ParameterSpec& p) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    def.uu.id = p.id;
    def.flags = p.flags;
    std::strncpy(def.name, p.name, sizeof def.name - 1);
    switch (p.kind) {
        case Kind::popup:
            def.param_type = PF_Param_POPUP;
            def.u.pd.num_choices = p.choice_count;
            def.u.pd.dephault = A_short(p.dephault);
            def.u.pd.value = PF_ParamValue(p.dephault);
            def.u.pd.u.namesptr = p.choices;
            break;
        case Kind::float_slider:
            def.param_type = PF_Param_FLOAT_SLIDER;
            def.u.fs_d.valid_min = PF_FpShort(p.valid_min);
            def.u.fs_d.valid_max = PF_FpShort(p.valid_max);
            def.u.fs_d.slider_min = PF_FpShort(p.slider_min);
            def.u.fs_d.slider_max = PF_FpShort(p.slider_max);
            def.u.fs_d.dephault = PF_FpShort(p.dephault);
            def.u.fs_d.value = def.u.fs_d.dephault;
            def.u.fs_d.precision = kFloatPrecision;
            def.u.fs_d.display_flags = 0;
            def.u.fs_d.curve_tolerance = kCurveTolerance;
            break;
        case Kind::integer_slider:
            def.param_type = PF_Param_SLIDER;
            def.u.sd.valid_min = PF_ParamValue(p.valid_min);
            def.u.sd.valid_max = PF_ParamValue(p.valid_max);
            def.u.sd.slider_min = PF_ParamValue(p.slider_min);
            def.u.sd.slider_max = PF_ParamValue(p.slider_max);
            def.u.sd.dephault = PF_ParamValue(p.dephault);
            def.u.sd.value = def.u.sd.dephault;
            break;
        case Kind::checkbox:
            def.param_type = PF_Param_CHECKBOX;
            def.u.bd.dephault = PF_Boolean(p.dephault != 0.0);
            def.u.bd.value = def.u.bd.dephault;
            def.u.bd.u.nameptr = "";
            break;
        case Kind::layer:
            // A zero default is the host's "no layer".
            def.param_type = PF_Param_LAYER;
            break;
        case Kind::angle:
            def.param_type = PF_Param_ANGLE;
            def.u.ad.dephault = PF_Fixed(p.dephault * 65536.0);
            def.u.ad.value = def.u.ad.dephault;
            break;
        case Kind::color:
            def.param_type = PF_Param_COLOR;
            def.u.cd.dephault = kOutsideColorDefault;
            def.u.cd.value = kOutsideColorDefault;
            break;
        case Kind::group_start:
            def.param_type = PF_Param_GROUP_START;
            break;
        case Kind::group_end:
            def.param_type = PF_Param_GROUP_END;
            break;
    }
    return def;
}

// Checked-out values, brought into the control's valid range.
double floatValue(const PF_ParamDef& def, int32_t position) {
    const ParameterSpec& p = spec(position);
    const double v = def.u.fs_d.value;
    if (std::isnan(v)) return double(PF_FpShort(p.dephault));
    return v < p.valid_min ? p.valid_min : (v > p.valid_max ? p.valid_max : v);
}

int32_t integerValue(const PF_ParamDef& def, int32_t position) {
    const ParameterSpec& p = spec(position);
    const PF_ParamValue v = p.kind == Kind::popup ? def.u.pd.value : def.u.sd.value;
    const auto low = PF_ParamValue(p.valid_min);
    const auto high = PF_ParamValue(p.valid_max);
    return v < low ? low : (v > high ? high : v);
}

bool checked(const PF_ParamDef& def) { return def.u.bd.value != 0; }

}  // namespace

EvenblurAEHost::EvenblurAEHost()
    : AfterEffectsHost(kName, kCategory, kDescription, kVersionMajor, kVersionMinor,
                       kVersionRevision) {}

PF_Err EvenblurAEHost::paramsSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                   PF_LayerDef* output) {
    (void)params;
    (void)output;
    if (const PF_Err unusable = parameterSetupError(in_data, out_data); unusable != noError()) {
        return unusable;
    }
    for (int32_t position = 1; position < kParameterCount; ++position) {
        PF_ParamDef def = hostRecord(spec(position));
        const PF_Err err = PF_ADD_PARAM(in_data, -1, &def);
        if (err != PF_Err_NONE) {
            LogEntry(Logger::kError)
                << Logger::kErrorPrefix << "adding parameter " << position << " \""
                << spec(position).name << "\" failed with " << err << "\n";
            return err;
        }
    }
    out_data->num_params = kParameterCount;
    return noError();
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
    const bool selection_on = checked(*params[kSelectionEnable]);
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
    const std::span<const PF_ParamDef* const> defs = checkouts.byPosition();

    // "gamma correction" is read through a checkout of its own, given back at once.
    PF_ParamDef gamma;
    std::memset(&gamma, 0, sizeof gamma);
    PF_Err err = PF_CHECKOUT_PARAM(in_data, kGammaCorrection, in_data->current_time,
                                   in_data->time_step, in_data->time_scale, &gamma);
    if (err != PF_Err_NONE) return err;
    const bool gamma_on = checked(gamma);
    err = PF_CHECKIN_PARAM(in_data, &gamma);
    if (err != PF_Err_NONE) return err;

    const auto value = [&](int32_t position) { return floatValue(*defs[position], position); };
    const auto whole = [&](int32_t position) { return integerValue(*defs[position], position); };
    const auto turns = [&](int32_t position) {
        return EvenblurSettings::fixedDegreesToTurns(defs[position]->u.ad.value);
    };
    const auto limit = [&](int32_t position) {
        return EvenblurSettings::selectionLimit(value(position));
    };

    EvenblurSettings s;
    s.show = whole(kShow);
    s.radius = value(kRadius);
    s.gamma = gamma_on;
    s.distortion = value(kBackgroundDistortion);
    s.distortion_antialias = whole(kDistortionAntialias);
    s.assume_h = whole(kHorizontalAssume);
    s.assume_v = whole(kVerticalAssume);
    const PF_Pixel color = defs[kOutsideColor]->u.cd.value;
    s.outside_color[0] = EvenblurSettings::colorChannel(color.red);
    s.outside_color[1] = EvenblurSettings::colorChannel(color.green);
    s.outside_color[2] = EvenblurSettings::colorChannel(color.blue);
    s.outside_alpha = EvenblurSettings::colorAlpha(value(kOutsideColorAlpha));
    s.colored_iris = checked(*defs[kColoredIris]);
    s.smooth = value(kSmooth);
    s.rounded = value(kRoundedFacets);
    s.border_thickness = value(kBorderThickness);
    s.border_brightness = value(kBorderBrightness);
    s.angle = EvenblurSettings::irisAngle(defs[kAngle]->u.ad.value);
    s.aspect = value(kAspect);
    s.facets = whole(kFacets);
    s.preservative = value(kPreservativeHighlight);
    s.additive = value(kAdditiveHighlight);

    SelectionSettings& sel = s.selection;
    sel.show_selection = s.show == EvenblurSettings::kShowHighlightSelectionOnly;
    sel.enabled = checked(*defs[kSelectionEnable]);
    sel.hue_start = limit(kHueStart);
    sel.hue_end = limit(kHueEnd);
    sel.hue_climax = value(kHueClimax);
    sel.hue_soften = value(kHueSoften);
    sel.saturation_start = limit(kSaturationStart);
    sel.saturation_end = limit(kSaturationEnd);
    sel.saturation_climax = value(kSaturationClimax);
    sel.saturation_soften = value(kSaturationSoften);
    sel.lightness_start = limit(kLightnessStart);
    sel.lightness_end = limit(kLightnessEnd);
    sel.lightness_climax = value(kLightnessClimax);
    sel.lightness_soften = value(kLightnessSoften);
    sel.hue_offset = turns(kHueOffset);
    sel.saturation_offset = turns(kSaturationOffset);
    sel.lightness_offset = turns(kLightnessOffset);

    s.scale_x =
        EvenblurSettings::downsampleScale(in_data->downsample_x.num, in_data->downsample_x.den);
    s.scale_y =
        EvenblurSettings::downsampleScale(in_data->downsample_y.num, in_data->downsample_y.den);
    *settings = s;
    return noError();
}

template <class P>
PF_Err EvenblurAEHost::renderFrame(const LayerImage& source, const LayerImage& output,
                                   const LayerMap& layers) {
    if (in_data == nullptr || in_data->inter.checkout_param == nullptr ||
        in_data->inter.checkin_param == nullptr) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    ParameterCheckouts checkouts(in_data);
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

PF_Err EvenblurAEHost::render8(const LayerImage& source, const LayerImage& output,
                               const LayerMap& layers) {
    return renderFrame<PixelRGBA8>(source, output, layers);
}

PF_Err EvenblurAEHost::render16(const LayerImage& source, const LayerImage& output,
                                const LayerMap& layers) {
    return renderFrame<PixelRGBA16>(source, output, layers);
}

PF_Err EvenblurAEHost::renderFloat(const LayerImage& source, const LayerImage& output,
                                   const LayerMap& layers) {
    return renderFrame<PixelRGBAFloat>(source, output, layers);
}

std::span<const AfterEffectsHost::HelperLayer> EvenblurAEHost::helperLayers() const {
    static constexpr HelperLayer kHelpers[] = {{"blend layer", kBackgroundLayer},
                                               {"lens layer", kAlternativeIris, true},
                                               {"selection layer", kSelectionLayer}};
    return kHelpers;
}
