#include "zblur/zblur_ae_host.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "AE_EffectCB.h"
#include "AE_EffectSuites.h"
#include "zblur/depth_levels.h"
#include "zblur/depth_picker.h"
#include "zblur/input_depth_channel.h"
#include "framework/logger.h"
#include "framework/measure.h"
#include "aehost/layer_pixels.h"
#include "aehost/parameter_checkouts.h"
#include "aehost/parameter_table.h"
#include "imaging/pixel_array.h"
#include "framework/rectangle.h"
#include "aehost/suite_handler.h"
#include "zblur/zblur_controls.h"
#include "zblur/zblur_frame.h"
#include "zblur/zblur_parameters.h"
#include "zblur/zblur_settings.h"

namespace {

constexpr double kFixedOne = 65536.0;

// The parameters a frame render reads, in the order they are checked out (checked in in
// reverse).
constexpr std::array<int32_t, 37> kRenderCheckoutOrder = {
    kZblurShowParam,
    kZblurRadius,
    kZblurGammaCorrection,
    kZblurRoundedFacets,
    kZblurBorderThickness,
    kZblurBorderBrightness,
    kZblurAngle,
    kZblurAspect,
    kZblurFacets,
    kZblurInvert,
    kZblurCurve,
    kZblurTakeDepthFrom,
    kZblurFocalPoint,
    kZblurBlackPoint,
    kZblurWhitePoint,
    kZblurHighlightIntensity,
    kZblurHighlightEnable,
    kZblurHueStart,
    kZblurHueEnd,
    kZblurHueClimax,
    kZblurHueSoften,
    kZblurSaturationStart,
    kZblurSaturationEnd,
    kZblurSaturationClimax,
    kZblurSaturationSoften,
    kZblurLightnessStart,
    kZblurLightnessEnd,
    kZblurLightnessClimax,
    kZblurLightnessSoften,
    kZblurHueOffset,
    kZblurSaturationOffset,
    kZblurLightnessOffset,
    kZblurHorizontalAssume,
    kZblurVerticalAssume,
    kZblurOutsideColor,
    kZblurOutsideAlpha,
    kZblurSelectDepth,
};

// One value per pixel of the input's depth channel.
template <class G>
PixelArray<G> channelArray(const PF_ChannelChunk& chunk) {
    PixelArray<G> array(chunk.dataPV, chunk.widthL, chunk.heightL, chunk.row_bytesL);
    return array;
}

void markChanged(PF_ParamDef* def) { def->uu.change_flags |= PF_ChangeFlag_CHANGED_VALUE; }

}  // namespace

ZblurAEHost::ZblurAEHost()
    : FrameRenders(kName, kCategory, kDescription, kVersionMajor, kVersionMinor,
                   kVersionRevision) {}

PF_Err ZblurAEHost::paramsSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                PF_LayerDef* output) {
    (void)params;
    (void)output;
    return addParameters(zblurParameterTable(), in_data, out_data);
}

PF_Err ZblurAEHost::updateParamsUI(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                   PF_LayerDef* output, void* extra) {
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
    if (command.in_data->inter.checkout_param == nullptr) return PF_Err_INVALID_CALLBACK;

    PF_ParamDef layer;
    std::memset(&layer, 0, sizeof layer);
    const PF_Err error =
        PF_CHECKOUT_PARAM(command.in_data, kZblurDepthLayer, command.in_data->current_time,
                          command.in_data->time_step, command.in_data->time_scale, &layer);
    if (error != noError()) return error;

    // The depth controls as the render reads them.
    const ParameterReader values(std::span<const PF_ParamDef* const>(params, kParameterCount),
                                 zblurParameterTable());
    const bool invert = values.checked(kZblurInvert);
    std::vector<float> table(static_cast<size_t>(kDepthTableSize));
    fill_picker_table(table.data(), values.slider(kZblurCurve));
    // The input's size at full resolution, which the point's coordinates refer to.
    const int32_t input_width = command.in_data->width;
    const int32_t input_height = command.in_data->height;

    bool have_value = true;
    double focal = 0.0;
    const PF_LayerDef& world = layer.u.ld;
    if (world.data != nullptr) {
        const DepthRule rule{values.choice(kZblurTakeDepthFrom), 0.0, 1.0, invert};
        PF_PixelFormat format = (world.world_flags & PF_WorldFlag_DEEP) != 0
                                    ? PF_PixelFormat_ARGB64
                                    : PF_PixelFormat_ARGB32;
        SuiteHandler suites(command.in_data->pica_basicP);
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
        const DepthRule rule{kZblurDepthLuminance, values.slider(kZblurBlackPoint),
                             values.slider(kZblurWhitePoint), invert};
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
    PF_CHECKIN_PARAM(command.in_data, &layer);
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
    const struct {
        const LayerImage& layer;
        const char* what;
        PixelArray<P>* image;
    } images[] = {
        {source_layer, "source", &frame.source},
        {output_layer, "output", &frame.output},
        {helperLayerImage(layers, "zbuffer layer"), "zbuffer layer", &frame.depth_layer},
        {selectionOrSource(layers, "selection layer", source_layer), "selection layer",
         &frame.selection},
        {helperLayerImage(layers, "lens layer"), "lens layer", &frame.lens},
        {helperLayerImage(layers, "behind layer"), "behind layer", &frame.behind},
        {helperLayerImage(layers, "behind depth layer"), "behind depth layer",
         &frame.behind_depth_layer},
    };
    for (const auto& image : images) {
        const PF_Err error = checkedPixelArrayOf<P>(image.layer, image.what, image.image);
        if (error != noError()) return error;
    }

    ParameterCheckouts parameters(command.in_data);
    for (const int32_t position : kRenderCheckoutOrder) {
        const PF_Err error = parameters.checkOut(position);
        if (error != noError()) return error;
    }
    ZblurSettings settings = zblurSettingsFromParameters(
        parameters.byPosition(), source_layer.downsample_x, source_layer.downsample_y);

    SuiteHandler suites(command.in_data->pica_basicP);
    std::optional<InputDepthChannel> channel;
    if (frame.depth_layer.data != nullptr) {
        frame.depth_kind = ZblurDepthKind::layer;
    } else {
        channel.emplace(command.in_data, suites.tryChannelSuite());
        if (channel->accepted()) {
            const PF_Err error = channel->checkOut();
            if (error != noError()) return error;
            frame.depth_kind = channel->isDouble() ? ZblurDepthKind::channel_double
                                                   : ZblurDepthKind::channel_float;
            if (channel->readable()) {
                frame.depth_float = channelArray<PixelGrayFloat>(channel->chunk());
                frame.depth_double = channelArray<PixelGrayDouble>(channel->chunk());
            }
            settings.depth_channel = kZblurDepthLuminance;
            const ParameterReader values(parameters.byPosition(), zblurParameterTable());
            settings.black = values.slider(kZblurBlackPoint);
            settings.white = values.slider(kZblurWhitePoint);
        }
    }
    if (frame.depth_kind != ZblurDepthKind::channel_double) frame.depth_double = {};
    if (frame.depth_kind != ZblurDepthKind::channel_float) frame.depth_float = {};

    // The behind layer's depth, by the same rules: its depth layer with the "take depth from:"
    // choice over 0 .. 1, else its own depth channel within the depth range parameters.
    std::optional<InputDepthChannel> behind_channel;
    if (frame.behind.data != nullptr) {
        const ParameterReader values(parameters.byPosition(), zblurParameterTable());
        const bool invert = values.checked(kZblurInvert);
        if (frame.behind_depth_layer.data != nullptr) {
            frame.behind_depth_kind = ZblurDepthKind::layer;
            frame.behind_rule = DepthRule{values.choice(kZblurTakeDepthFrom), 0.0, 1.0, invert};
        } else {
            behind_channel.emplace(command.in_data, suites.tryChannelSuite(), kZblurBehindLayer);
            if (behind_channel->accepted()) {
                const PF_Err error = behind_channel->checkOut();
                if (error != noError()) return error;
                if (behind_channel->readable()) {
                    const PF_ChannelChunk& chunk = behind_channel->chunk();
                    if (behind_channel->isDouble()) {
                        frame.behind_depth_kind = ZblurDepthKind::channel_double;
                        frame.behind_depth_double = channelArray<PixelGrayDouble>(chunk);
                    } else {
                        frame.behind_depth_kind = ZblurDepthKind::channel_float;
                        frame.behind_depth_float = channelArray<PixelGrayFloat>(chunk);
                    }
                }
            }
            frame.behind_rule = DepthRule{kZblurDepthLuminance, values.slider(kZblurBlackPoint),
                                          values.slider(kZblurWhitePoint), invert};
        }
        if (frame.behind_depth_kind == ZblurDepthKind::none) {
            LogEntry(Logger::kWarning) << Logger::kWarningPrefix
                                       << "behind layer has no depth: not used\n";
        }
    }

    PF_Err result = noError();
    {
        Measure::Scope everything(measure(), "everything:");
        result = renderZblurFrame(this, settings, frame);
    }
    LogEntry() << measure().report() << "\n";
    return result;
}

template class FrameRenders<ZblurAEHost>;

std::span<const AfterEffectsHost::HelperLayer> ZblurAEHost::helperLayers() const {
    static constexpr HelperLayer kHelpers[] = {{"zbuffer layer", kZblurDepthLayer},
                                               {"selection layer", kZblurSelectionLayer},
                                               {"lens layer", kZblurAlternativeIris, true},
                                               {"behind layer", kZblurBehindLayer},
                                               {"behind depth layer", kZblurBehindDepthLayer}};
    return kHelpers;
}
