#include "zblur_ae_host.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "AE_EffectCB.h"
#include "AE_EffectSuites.h"
#include "depth_levels.h"
#include "depth_picker.h"
#include "input_depth_channel.h"
#include "logger.h"
#include "measure.h"
#include "pixel_array.h"
#include "rectangle.h"
#include "suite_handler.h"
#include "zblur_controls.h"
#include "zblur_frame.h"
#include "zblur_parameters.h"
#include "zblur_settings.h"

namespace {

constexpr double kFixedOne = 65536.0;

// The parameters a frame render reads, in the order they are checked out (checked in in
// reverse).
constexpr std::array<int32_t, 37> kRenderCheckoutOrder = {
    kZblurShowParam,         kZblurRadius,           kZblurGammaCorrection,
    kZblurRoundedFacets,     kZblurBorderThickness,  kZblurBorderBrightness,
    kZblurAngle,             kZblurAspect,           kZblurFacets,
    kZblurInvert,            kZblurCurve,            kZblurTakeDepthFrom,
    kZblurFocalPoint,        kZblurBlackPoint,       kZblurWhitePoint,
    kZblurHighlightIntensity, kZblurHighlightEnable, kZblurHueStart,
    kZblurHueEnd,            kZblurHueClimax,        kZblurHueSoften,
    kZblurSaturationStart,   kZblurSaturationEnd,    kZblurSaturationClimax,
    kZblurSaturationSoften,  kZblurLightnessStart,   kZblurLightnessEnd,
    kZblurLightnessClimax,   kZblurLightnessSoften,  kZblurHueOffset,
    kZblurSaturationOffset,  kZblurLightnessOffset,  kZblurHorizontalAssume,
    kZblurVerticalAssume,    kZblurOutsideColor,     kZblurOutsideAlpha,
    kZblurSelectDepth,
};

// Parameters checked out at the command's current time, checked in in reverse order when the
// object ends, whatever happened in between.
class ParameterCheckouts {
public:
    explicit ParameterCheckouts(PF_InData* in_data) : in_data_(in_data) {
        by_position_.fill(nullptr);
    }
    ~ParameterCheckouts() {
        for (auto it = checked_out_.rbegin(); it != checked_out_.rend(); ++it) {
            PF_CHECKIN_PARAM(in_data_, &records_[size_t(*it)]);
        }
    }
    ParameterCheckouts(const ParameterCheckouts&) = delete;
    ParameterCheckouts& operator=(const ParameterCheckouts&) = delete;

    PF_Err checkOut(int32_t position) {
        PF_ParamDef& def = records_[size_t(position)];
        std::memset(&def, 0, sizeof def);
        const PF_Err error =
            PF_CHECKOUT_PARAM(in_data_, position, in_data_->current_time, in_data_->time_step,
                              in_data_->time_scale, &def);
        if (error != PF_Err_NONE) return error;
        checked_out_.push_back(position);
        by_position_[size_t(position)] = &def;
        return PF_Err_NONE;
    }

    std::span<const PF_ParamDef* const> byPosition() const { return by_position_; }

private:
    PF_InData* in_data_;
    std::array<PF_ParamDef, kZblurParameterCount> records_;
    std::array<const PF_ParamDef*, kZblurParameterCount> by_position_;
    std::vector<int32_t> checked_out_;
};

// The descriptor of a layer as the render operations receive it; a layer without pixels has
// no size either.
template <class P>
PixelArray<P> pixelArrayOf(const LayerImage& layer) {
    PixelArray<P> array;
    if (layer.data == nullptr) return array;
    array.width = layer.width;
    array.height = layer.height;
    array.row_bytes = layer.row_bytes;
    array.pixel_bytes = int32_t(sizeof(P));
    array.origin_x = layer.origin_x;
    array.origin_y = layer.origin_y;
    array.factor_a = layer.pixel_aspect;
    array.factor_b = layer.downsample_x;
    array.factor_c = layer.downsample_y;
    array.data = layer.data;
    array.valid = layer.present;
    array.premultiplied = layer.premultiplied;
    return array;
}

template <class P>
PixelArray<P> helperArray(const LayerMap& layers, const char* name) {
    const auto it = layers.find(name);
    return it == layers.end() ? PixelArray<P>() : pixelArrayOf<P>(it->second);
}

// One value per pixel of the input's depth channel.
template <class G>
PixelArray<G> channelArray(const PF_ChannelChunk& chunk) {
    PixelArray<G> array(chunk.dataPV, chunk.widthL, chunk.heightL, chunk.row_bytesL);
    return array;
}

void markChanged(PF_ParamDef* def) { def->uu.change_flags |= PF_ChangeFlag_CHANGED_VALUE; }

}  // namespace

ZblurAEHost::ZblurAEHost()
    : AfterEffectsHost(kName, kCategory, kDescription, kVersionMajor, kVersionMinor,
                       kVersionRevision) {}

void ZblurAEHost::adjustLayerRequest(const std::string& layer_name, Rectangle* request,
                                     Rectangle proposed, double* pixel_aspect_out,
                                     const double* command_pixel_aspect,
                                     double layer_pixel_aspect, double downsample_x,
                                     double downsample_y, int32_t layer_width,
                                     int32_t layer_height) {
    (void)pixel_aspect_out; (void)command_pixel_aspect; (void)layer_pixel_aspect;
    (void)downsample_x; (void)downsample_y; (void)layer_width; (void)layer_height;
    if (layer_name == "lens layer" && request != nullptr) *request = proposed;
}

PF_Err ZblurAEHost::paramsSetup(PF_InData* in_data, PF_OutData* out_data,
                                PF_ParamDef* params[], PF_LayerDef* output) {
    (void)params;
    (void)output;
    if (in_data == nullptr || out_data == nullptr || in_data->inter.add_param == nullptr) {
        return PF_Err_INVALID_CALLBACK;
    }
    const bool host_strcpy = in_data->utils != nullptr && in_data->utils->ansi.strcpy != nullptr;
    for (const ZblurParameterSpec& spec : zblurParameterTable()) {
        PF_ParamDef def = zblurParameterDef(spec);
        if (host_strcpy) PF_STRCPY(def.name, spec.name);
        const PF_Err error = PF_ADD_PARAM(in_data, -1, &def);
        if (error != noError()) return error;
    }
    out_data->num_params = kParameterCount;
    return noError();
}

bool ZblurAEHost::hostKnowsLayers() const {
    const PF_SpecVersion version = in_data->version;
    return version.major > 12 || (version.major == 12 && version.minor >= 5);
}

bool ZblurAEHost::layerConnected(int32_t position) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    if (in_data->inter.checkout_param == nullptr) return false;
    const PF_Err error = PF_CHECKOUT_PARAM(in_data, position, in_data->current_time,
                                           in_data->time_step, in_data->time_scale, &def);
    if (error != PF_Err_NONE) return false;
    const bool connected = def.u.ld.data != nullptr;
    PF_CHECKIN_PARAM(in_data, &def);
    return connected;
}

PF_Err ZblurAEHost::updateParamsUI(PF_InData* in_data, PF_OutData* out_data,
                                   PF_ParamDef* params[], PF_LayerDef* output, void* extra) {
    (void)out_data;
    (void)output;
    (void)extra;
    if (in_data == nullptr || params == nullptr || in_data->num_params < kParameterCount) {
        return noError();
    }
    SuiteHandler suites(in_data->pica_basicP);
    if (suites.tryParamUtilsSuite() == nullptr) return noError();

    ZblurControlState state;
    state.show = params[kZblurShowParam]->u.pd.value;
    state.highlight_enabled = params[kZblurHighlightEnable]->u.bd.value != 0;
    state.horizontal_assume = params[kZblurHorizontalAssume]->u.pd.value;
    state.vertical_assume = params[kZblurVerticalAssume]->u.pd.value;
    {
        InputDepthChannel channel(in_data, suites.tryChannelSuite());
        state.depth_channel = channel.accepted() && channel.checkOut() == PF_Err_NONE;
    }
    if (hostKnowsLayers()) {
        state.depth_layer_connected = layerConnected(kZblurDepthLayer);
        state.iris_layer_connected = layerConnected(kZblurAlternativeIris);
    }
    for (const ZblurControlUpdate& update : zblurControlUpdates(state)) {
        (void)setParamEnabled(update.position, update.enabled);
    }
    return noError();
}

void ZblurAEHost::autoRange(PF_ParamDef* params[], const InputDepthChannel& channel) {
    if (channel.readable()) {
        const PF_ChannelChunk& chunk = channel.chunk();
        const DepthRangeScan scan = scanDepthRange(chunk.dataPV, chunk.widthL, chunk.heightL,
                                                   chunk.row_bytesL, channel.isDouble());
        // A bound is written only when some value counts for it, and within the slider's
        // valid range: a channel of nothing but empty background leaves it as it was.
        const auto& table = zblurParameterTable();
        const double lowest = table[kZblurBlackPoint - 1].valid_min;
        const double highest = table[kZblurBlackPoint - 1].valid_max;
        if (scan.has_maximum) {
            params[kZblurWhitePoint]->u.fs_d.value = std::clamp(scan.maximum, lowest, highest);
            markChanged(params[kZblurWhitePoint]);
        }
        if (scan.has_minimum) {
            params[kZblurBlackPoint]->u.fs_d.value = std::clamp(scan.minimum, lowest, highest);
            markChanged(params[kZblurBlackPoint]);
        }
    }
    // A one-shot control: it is off again whether or not there was a channel to scan.
    params[kZblurAutoRange]->u.bd.value = 0;
    markChanged(params[kZblurAutoRange]);
}

PF_Err ZblurAEHost::pickFocalPoint(PF_ParamDef* params[], const InputDepthChannel& channel) {
    const double x = double(params[kZblurSelectDepth]->u.td.x_value) / kFixedOne;
    const double y = double(params[kZblurSelectDepth]->u.td.y_value) / kFixedOne;
    if (!DepthPickerState::instance().pickCounts(x, y)) return noError();
    if (in_data->inter.checkout_param == nullptr) return PF_Err_INVALID_CALLBACK;

    PF_ParamDef layer;
    std::memset(&layer, 0, sizeof layer);
    const PF_Err error = PF_CHECKOUT_PARAM(in_data, kZblurDepthLayer, in_data->current_time,
                                           in_data->time_step, in_data->time_scale, &layer);
    if (error != noError()) return error;

    const bool invert = params[kZblurInvert]->u.bd.value != 0;
    std::vector<float> table(static_cast<size_t>(kDepthTableSize));
    fill_picker_table(table.data(), double(params[kZblurCurve]->u.fs_d.value));
    // The input's size at full resolution, which the point's coordinates refer to.
    const int32_t input_width = in_data->width;
    const int32_t input_height = in_data->height;

    bool have_value = true;
    double focal = 0.0;
    const PF_LayerDef& world = layer.u.ld;
    if (world.data != nullptr) {
        const DepthRule rule{params[kZblurTakeDepthFrom]->u.pd.value, 0.0, 1.0, invert};
        PF_PixelFormat format = (world.world_flags & PF_WorldFlag_DEEP) != 0
                                    ? PF_PixelFormat_ARGB64
                                    : PF_PixelFormat_ARGB32;
        SuiteHandler suites(in_data->pica_basicP);
        const PF_WorldSuite2* world_suite = suites.tryWorldSuite();
        if (world_suite != nullptr && world_suite->PF_GetPixelFormat != nullptr &&
            world_suite->PF_GetPixelFormat(&world, &format) != PF_Err_NONE) {
            have_value = false;
        }
        auto pick = [&](auto pixel) {
            using P = decltype(pixel);
            const PixelArray<P> depth(world.data, world.width, world.height, world.rowbytes);
            return pickedFocalPoint(depth, x, y, input_width, input_height, rule, table.data());
        };
        if (have_value) {
            switch (format) {
                case PF_PixelFormat_ARGB32:
                    focal = pick(PixelRGBA8{});
                    break;
                case PF_PixelFormat_ARGB64:
                    focal = pick(PixelRGBA16{});
                    break;
                case PF_PixelFormat_ARGB128:
                    focal = pick(PixelRGBAFloat{});
                    break;
                default:
                    have_value = false;
                    break;
            }
        }
    } else if (channel.readable()) {
        // The channel's values are used as they are, within the depth range parameters.
        const DepthRule rule{kZblurDepthLuminance, double(params[kZblurBlackPoint]->u.fs_d.value),
                             double(params[kZblurWhitePoint]->u.fs_d.value), invert};
        focal = channel.isDouble()
                    ? pickedFocalPoint(channelArray<PixelGrayDouble>(channel.chunk()), x, y,
                                       input_width, input_height, rule, table.data())
                    : pickedFocalPoint(channelArray<PixelGrayFloat>(channel.chunk()), x, y,
                                       input_width, input_height, rule, table.data());
    } else {
        // Without depth every pixel of the render reads depth 0; picking brings that level
        // into focus.
        focal = table[size_t(depth_table_index(normalise_depth(0.0, 0.0, 1.0, invert)))];
    }
    if (have_value) {
        params[kZblurFocalPoint]->u.fs_d.value = focal;
        markChanged(params[kZblurFocalPoint]);
    }
    PF_CHECKIN_PARAM(in_data, &layer);
    return noError();
}

PF_Err ZblurAEHost::userChangedParam(PF_InData* in_data, PF_OutData* out_data,
                                     PF_ParamDef* params[], PF_LayerDef* output, void* extra) {
    (void)out_data;
    (void)output;
    const auto* changed = static_cast<const PF_UserChangedParamExtra*>(extra);
    if (in_data == nullptr || params == nullptr || changed == nullptr ||
        in_data->num_params < kParameterCount) {
        return noError();
    }
    const int32_t position = changed->param_index;
    DepthPickerState::instance().noteChange(position);

    PF_Err result = noError();
    if (position == kZblurAutoRange || position == kZblurSelectDepth) {
        SuiteHandler suites(in_data->pica_basicP);
        InputDepthChannel channel(in_data, suites.tryChannelSuite());
        // A channel that cannot be checked out counts as no channel.
        (void)channel.checkOut();
        if (position == kZblurAutoRange) autoRange(params, channel);
        if (position == kZblurSelectDepth && hostKnowsLayers()) {
            result = pickFocalPoint(params, channel);
        }
    }
    if (position == kZblurBlackPoint || position == kZblurWhitePoint) {
        params[kZblurAutoRange]->u.bd.value = 0;
        markChanged(params[kZblurAutoRange]);
    }
    return result;
}

template <class P>
PF_Err ZblurAEHost::renderFrame(const LayerImage& source_layer, const LayerImage& output_layer,
                                const LayerMap& layers) {
    ZblurFrame<P> frame;
    frame.source = pixelArrayOf<P>(source_layer);
    frame.output = pixelArrayOf<P>(output_layer);
    frame.depth_layer = helperArray<P>(layers, "zbuffer layer");
    frame.selection = helperArray<P>(layers, "selection layer");
    if (frame.selection.data == nullptr) frame.selection = frame.source;
    frame.lens = helperArray<P>(layers, "lens layer");

    ParameterCheckouts parameters(in_data);
    for (const int32_t position : kRenderCheckoutOrder) {
        const PF_Err error = parameters.checkOut(position);
        if (error != noError()) return error;
    }
    ZblurSettings settings = zblurSettingsFromParameters(
        parameters.byPosition(), source_layer.downsample_x, source_layer.downsample_y);

    SuiteHandler suites(in_data->pica_basicP);
    std::optional<InputDepthChannel> channel;
    if (frame.depth_layer.data != nullptr) {
        frame.depth_kind = ZblurDepthKind::layer;
    } else {
        channel.emplace(in_data, suites.tryChannelSuite());
        if (channel->accepted()) {
            const PF_Err error = channel->checkOut();
            if (error != noError()) return error;
            frame.depth_kind =
                channel->isDouble() ? ZblurDepthKind::channel_double : ZblurDepthKind::channel_float;
            if (channel->readable()) {
                frame.depth_float = channelArray<PixelGrayFloat>(channel->chunk());
                frame.depth_double = channelArray<PixelGrayDouble>(channel->chunk());
            }
            settings.depth_channel = kZblurDepthLuminance;
            settings.black = double(parameters.byPosition()[kZblurBlackPoint]->u.fs_d.value);
            settings.white = double(parameters.byPosition()[kZblurWhitePoint]->u.fs_d.value);
        }
    }
    if (frame.depth_kind != ZblurDepthKind::channel_double) frame.depth_double = {};
    if (frame.depth_kind != ZblurDepthKind::channel_float) frame.depth_float = {};

    PF_Err result = noError();
    {
        Measure::Scope everything(measure(), "everything:");
        result = renderZblurFrame(this, settings, frame);
    }
    LogEntry() << measure().report() << "\n";
    return result;
}

PF_Err ZblurAEHost::render8(const LayerImage& source, const LayerImage& output,
                            const LayerMap& layers) {
    return renderFrame<PixelRGBA8>(source, output, layers);
}

PF_Err ZblurAEHost::render16(const LayerImage& source, const LayerImage& output,
                             const LayerMap& layers) {
    return renderFrame<PixelRGBA16>(source, output, layers);
}

PF_Err ZblurAEHost::renderFloat(const LayerImage& source, const LayerImage& output,
                                const LayerMap& layers) {
    return renderFrame<PixelRGBAFloat>(source, output, layers);
}

int32_t ZblurAEHost::helperLayer(int32_t index, std::string* name) const {
    struct Helper {
        const char* name;
        int32_t position;
    };
    static constexpr Helper kHelpers[] = {
        {"zbuffer layer", 2}, {"selection layer", 27}, {"lens layer", 17}};
    if (index < 0 || index >= int32_t(std::size(kHelpers))) return -1;
    if (name != nullptr) *name = kHelpers[index].name;
    return kHelpers[index].position;
}
