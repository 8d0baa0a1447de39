#include "tests/testeffect/layer_probe_ae_host.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "AE_EffectCB.h"
#include "aehost/suite_handler.h"

namespace {

constexpr double kFixedOne = 65536.0;

PF_ParamDef zeroed(PF_ParamType type, const char* name, A_long id, PF_ParamFlags flags) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    def.param_type = type;
    std::strncpy(def.name, name, sizeof def.name - 1);
    def.uu.id = id;
    def.flags = flags;
    return def;
}

// Pixels as the render sees them: alpha, red, green, blue.
template <class Channel>
Channel* pixelAt(const LayerImage& image, int32_t x, int32_t y) {
    return reinterpret_cast<Channel*>(static_cast<char*>(image.data) +
                                      ptrdiff_t(y) * image.row_bytes) +
           ptrdiff_t(x) * 4;
}

template <class Channel>
Channel stored(double v, double maximum) {
    v = std::clamp(v, 0.0, maximum);
    if constexpr (std::is_floating_point_v<Channel>) {
        return Channel(v);
    } else {
        return Channel(std::floor(v + 0.5));
    }
}

}  // namespace

LayerProbeAEHost::LayerProbeAEHost()
    : AfterEffectsHost("Layer Probe", "Quillbrook",
                       "Checks layer placement and parameters of the host binding.\n", 1, 4, 7) {}

// The command's records are read from the members that dispatch set to them (in_data,
// out_data, params, extra), as the render does.
PF_Err LayerProbeAEHost::paramsSetup(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) {
    std::vector<PF_ParamDef> defs;

    PF_ParamDef d = zeroed(PF_Param_POPUP, "output", 1, PF_ParamFlag_SUPERVISE);
    d.u.pd.num_choices = 5;
    d.u.pd.dephault = 1;
    d.u.pd.u.namesptr = "source plus layers|source only|layers only|input depth|descriptions";
    defs.push_back(d);

    d = zeroed(PF_Param_FLOAT_SLIDER, "layer gain", 2, 0);
    d.u.fs_d.valid_min = 0;
    d.u.fs_d.valid_max = 4;
    d.u.fs_d.slider_min = 0;
    d.u.fs_d.slider_max = 2;
    d.u.fs_d.dephault = 1;
    d.u.fs_d.precision = 2;
    defs.push_back(d);

    d = zeroed(PF_Param_SLIDER, "add red", 3, 0);
    d.u.sd.valid_min = 0;
    d.u.sd.valid_max = 255;
    d.u.sd.slider_min = 0;
    d.u.sd.slider_max = 255;
    defs.push_back(d);

    d = zeroed(PF_Param_FIX_SLIDER, "add green", 4, 0);
    d.u.fd.valid_min = 0;
    d.u.fd.valid_max = PF_Fixed(kFixedOne);
    d.u.fd.slider_max = PF_Fixed(kFixedOne);
    d.u.fd.precision = 2;
    defs.push_back(d);

    defs.push_back(zeroed(PF_Param_ANGLE, "blue turn", 5, 0));

    d = zeroed(PF_Param_CHECKBOX, "invert", 6, PF_ParamFlag_SUPERVISE);
    d.u.bd.u.nameptr = "invert colours";
    defs.push_back(d);

    d = zeroed(PF_Param_COLOR, "tint", 7, 0);
    d.u.cd.dephault = PF_Pixel{255, 255, 255, 255};
    defs.push_back(d);

    d = zeroed(PF_Param_POINT, "marker", 8, 0);
    d.u.td.x_dephault = PF_Fixed(-kFixedOne);
    d.u.td.y_dephault = PF_Fixed(-kFixedOne);
    defs.push_back(d);

    defs.push_back(zeroed(PF_Param_GROUP_START, "-> Layers", 9, PF_ParamFlag_START_COLLAPSED));
    defs.push_back(zeroed(PF_Param_LAYER, "first layer", 10, 0));
    defs.push_back(zeroed(PF_Param_LAYER, "second layer", 11, 0));
    defs.push_back(zeroed(PF_Param_GROUP_END, "", 12, 0));

    d = zeroed(PF_Param_CHECKBOX, "reset", 13, PF_ParamFlag_SUPERVISE);
    d.u.bd.u.nameptr = "";
    defs.push_back(d);

    d = zeroed(PF_Param_SLIDER, "source frame offset", 14, 0);
    d.u.sd.valid_min = -10;
    d.u.sd.valid_max = 10;
    d.u.sd.slider_min = -10;
    d.u.sd.slider_max = 10;
    defs.push_back(d);

    d = zeroed(PF_Param_POPUP, "misbehave", 15, 0);
    d.u.pd.num_choices = 5;
    d.u.pd.dephault = 1;
    d.u.pd.u.namesptr =
        "nothing|leak a handle|write into row padding|keep a parameter|write into the input";
    defs.push_back(d);

    d = zeroed(PF_Param_CHECKBOX, "whole frame", 16, 0);
    d.u.bd.u.nameptr = "";
    defs.push_back(d);

    for (PF_ParamDef& def : defs) {
        const PF_Err error = PF_ADD_PARAM(command.in_data, -1, &def);
        if (error != noError()) return error;
    }
    command.out_data->num_params = kParameterCount;
    return noError();
}

PF_Err LayerProbeAEHost::updateParamsUI(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                                        void*) {
    const bool with_layers = command.params[kOutput]->u.pd.value != 2;
    const bool inverted = command.params[kInvert]->u.bd.value != 0;
    for (const int32_t position : {int32_t(kGain), int32_t(kFirstLayer), int32_t(kSecondLayer)}) {
        const PF_Err error = setParamEnabled(position, with_layers);
        if (error != noError()) return error;
    }
    return setParamEnabled(kTint, !inverted);
}

PF_Err LayerProbeAEHost::userChangedParam(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                                          void*) {
    const auto* changed = static_cast<const PF_UserChangedParamExtra*>(command.extra);
    if (changed == nullptr || changed->param_index != kReset ||
        command.params[kReset]->u.bd.value == 0) {
        return noError();
    }
    command.params[kGain]->u.fs_d.value = 1.0;
    command.params[kGain]->uu.change_flags = PF_ChangeFlag_CHANGED_VALUE;
    command.params[kAddRed]->u.sd.value = 0;
    command.params[kAddRed]->uu.change_flags = PF_ChangeFlag_CHANGED_VALUE;
    command.params[kReset]->u.bd.value = 0;
    command.params[kReset]->uu.change_flags = PF_ChangeFlag_CHANGED_VALUE;
    return noError();
}

int32_t LayerProbeAEHost::helperLayer(int32_t index, std::string* name_out) const {
#ifdef QB_PROBE_WITHOUT_HELPER_LAYERS
    // The variant that declares no helper layers: its layer parameters are plain parameters.
    (void)index;
    (void)name_out;
    return -1;
#endif
    if (index == 0) {
        if (name_out != nullptr) *name_out = "first layer";
        return kFirstLayer;
    }
    if (index == 1) {
        if (name_out != nullptr) *name_out = "second layer";
        return kSecondLayer;
    }
    return -1;
}

double LayerProbeAEHost::layerFrame(const std::string& layer_name) {
    const double frame = AfterEffectsHost::layerFrame(layer_name);
    if (layer_name != sourceLayerName()) return frame;
    PF_ParamDef offset;
    std::memset(&offset, 0, sizeof offset);
    if (PF_CHECKOUT_PARAM(command.in_data, kSourceFrameOffset, command.in_data->current_time,
                          command.in_data->time_step, command.in_data->time_scale,
                          &offset) != noError()) {
        return frame;
    }
    const double moved = frame + offset.u.sd.value;
    PF_CHECKIN_PARAM(command.in_data, &offset);
    return moved;
}

void LayerProbeAEHost::adjustLayerRequest(const std::string& layer_name, Rectangle* request,
                                          Rectangle proposed, double* pixel_aspect_out,
                                          const double* command_pixel_aspect,
                                          double layer_pixel_aspect, double downsample_x,
                                          double downsample_y, int32_t layer_width,
                                          int32_t layer_height) {
    (void)pixel_aspect_out;
    (void)command_pixel_aspect;
    (void)layer_pixel_aspect;
    (void)downsample_x;
    (void)downsample_y;
    // The whole placed layer, as an effect that needs all of a kernel image asks for it.
    if (layer_name == "second layer") *request = proposed;
    if (layer_name != sourceLayerName() && layer_name != outputLayerName()) return;
    PF_ParamDef whole;
    std::memset(&whole, 0, sizeof whole);
    if (PF_CHECKOUT_PARAM(command.in_data, kWholeFrame, command.in_data->current_time,
                          command.in_data->time_step, command.in_data->time_scale,
                          &whole) != noError()) {
        return;
    }
    if (whole.u.bd.value != 0) {
        // All of the source (the full layer at this scale), and all the output it allows.
        *request =
            layer_name == sourceLayerName() ? Rectangle{0, layer_width, 0, layer_height} : proposed;
    }
    PF_CHECKIN_PARAM(command.in_data, &whole);
}

PF_Err LayerProbeAEHost::readSettings(Settings* s) {
    constexpr int32_t positions[] = {kOutput, kGain, kAddRed, kAddGreen, kBlueTurn,
                                     kInvert, kTint, kMarker, kMisbehave};
    PF_ParamDef defs[std::size(positions)];
    std::memset(defs, 0, sizeof defs);
    PF_Err error = noError();
    size_t taken = 0;
    for (; taken < std::size(positions) && error == noError(); ++taken) {
        error = PF_CHECKOUT_PARAM(command.in_data, positions[taken], command.in_data->current_time,
                                  command.in_data->time_step, command.in_data->time_scale,
                                  &defs[taken]);
        if (error != noError()) break;
    }
    if (error == noError()) {
        s->output = defs[0].u.pd.value;
        s->gain = defs[1].u.fs_d.value;
        s->add_red = defs[2].u.sd.value;
        s->add_green = defs[3].u.fd.value / kFixedOne;
        s->blue_turn = std::clamp(defs[4].u.ad.value / kFixedOne / 360.0, 0.0, 1.0);
        s->invert = defs[5].u.bd.value != 0;
        s->tint[0] = defs[6].u.cd.value.red / 255.0;
        s->tint[1] = defs[6].u.cd.value.green / 255.0;
        s->tint[2] = defs[6].u.cd.value.blue / 255.0;
        s->marker_x = int32_t(std::floor(defs[7].u.td.x_value / kFixedOne));
        s->marker_y = int32_t(std::floor(defs[7].u.td.y_value / kFixedOne));
        s->misbehave = defs[8].u.pd.value;
    }
    for (size_t i = taken; i-- > 0;) PF_CHECKIN_PARAM(command.in_data, &defs[i]);
    return error;
}

namespace {

template <class Channel>
struct ProbeRender {
    const LayerImage* source;
    const LayerImage* output;
    std::vector<const LayerImage*> layers;
    LayerProbeAEHost::Settings settings;
    double maximum;
    QuillbrookHost* host;
    // The input's depth channel ("input depth"): width x height values, output coordinates.
    std::vector<double> depth;
    int32_t depth_width = 0;
    int32_t depth_height = 0;

    // "descriptions": the LayerImage fields the render got, unclamped, at output pixels (0..3, 0).
    void describe(int32_t ox, int32_t oy, Channel* out) const {
        const auto put = [out](double a, double b, double c, double d) {
            out[0] = Channel(a);
            out[1] = Channel(b);
            out[2] = Channel(c);
            out[3] = Channel(d);
        };
        const LayerImage none;
        const LayerImage& first = layers.size() > 0 ? *layers[0] : none;
        const LayerImage& second = layers.size() > 1 ? *layers[1] : none;
        if (oy != 0 || ox > 3) {
            put(0, 0, 0, 0);
        } else if (ox == 0) {
            put(source->full_width, source->full_height, source->downsample_x,
                source->pixel_aspect);
        } else if (ox == 1) {
            put(first.present, first.full_width, first.full_height, first.pixel_aspect);
        } else if (ox == 2) {
            put(second.present, second.full_width, second.full_height, output->full_width);
        } else {
            put(double(layers.size()), source->bits, output->origin_x, source->downsample_y);
        }
    }

    int32_t row(int32_t y, int32_t count, int32_t thread) {
        (void)count;
        (void)thread;
        const int32_t status = host->progress(y, output->height);
        if (status != host->noError()) return status;
        // One scratch row from host memory per work item, as a real filter's buffers come.
        auto* sums =
            static_cast<double*>(host->allocate(sizeof(double) * 4 * size_t(output->width)));
        if (sums == nullptr) return host->outOfMemoryError();
        const int32_t oy = y + output->origin_y;
        for (int32_t x = 0; x < output->width; ++x) {
            const int32_t ox = x + output->origin_x;
            double* sum = sums + size_t(x) * 4;
            std::fill(sum, sum + 4, 0.0);
            for (const LayerImage* layer : layers) {
                const int32_t lx = ox - layer->origin_x;
                const int32_t ly = oy - layer->origin_y;
                if (!layer->present || layer->data == nullptr || lx < 0 || ly < 0 ||
                    lx >= layer->width || ly >= layer->height) {
                    continue;
                }
                const Channel* p = pixelAt<Channel>(*layer, lx, ly);
                for (int c = 0; c < 4; ++c) sum[c] += double(p[c]);
            }
            // Outside the source world the source is transparent: an effect reads only the
            // pixels it was given.
            const int32_t sx = ox - source->origin_x;
            const int32_t sy = oy - source->origin_y;
            const bool in_source = sx >= 0 && sy >= 0 && sx < source->width && sy < source->height;
            static const Channel kNone[4] = {};
            const Channel* s = in_source ? pixelAt<Channel>(*source, sx, sy) : kNone;
            double v[4];
            for (int c = 0; c < 4; ++c) {
                const double from_layers = settings.gain * sum[c];
                v[c] = settings.output == 2   ? double(s[c])
                       : settings.output == 3 ? from_layers
                                              : double(s[c]) + from_layers;
            }
            v[1] += settings.add_red * maximum / 255.0;
            v[2] += settings.add_green * maximum;
            v[3] += settings.blue_turn * maximum;
            for (int c = 1; c < 4; ++c) {
                if (settings.invert) v[c] = maximum - std::clamp(v[c], 0.0, maximum);
                v[c] *= settings.tint[c - 1];
            }
            if (settings.output == 4) {
                const bool inside = ox >= 0 && oy >= 0 && ox < depth_width && oy < depth_height;
                const double z = inside ? depth[size_t(oy) * size_t(depth_width) + size_t(ox)] : 0;
                v[0] = maximum;
                v[1] = v[2] = v[3] = z / 100.0 * maximum;
            }
            if (ox == settings.marker_x && oy == settings.marker_y) {
                for (double& channel : v) channel = maximum;
            }
            Channel* out = pixelAt<Channel>(*output, x, y);
            if (settings.output == 5) {
                describe(ox, oy, out);
                continue;
            }
            for (int c = 0; c < 4; ++c) out[c] = stored<Channel>(v[c], maximum);
        }
        host->release(sums);
        return host->noError();
    }
};

}  // namespace

template <class Channel>
PF_Err LayerProbeAEHost::renderAs(const LayerImage& source, const LayerImage& output_layer,
                                  const LayerMap& layers, double maximum) {
    ProbeRender<Channel> job{&source, &output_layer, {}, {}, maximum, this, {}, 0, 0};
    PF_Err error = readSettings(&job.settings);
    if (error != noError()) return error;
    error = misbehave(job.settings, source, output_layer);
    if (error != noError()) return error;
    if (job.settings.output == 4) {
        error = readDepth(output_layer, &job.depth, &job.depth_width, &job.depth_height);
        if (error != noError()) return error;
    }
    for (const char* layer_name : {"first layer", "second layer"}) {
        const auto it = layers.find(layer_name);
        if (it != layers.end()) job.layers.push_back(&it->second);
    }
    return runParallelOn<&ProbeRender<Channel>::row>(output_layer.height, &job);
}

PF_Err LayerProbeAEHost::readDepth(const LayerImage& output_layer, std::vector<double>* depth,
                                   int32_t* width, int32_t* height) {
    SuiteHandler suites(command.in_data->pica_basicP);
    const PF_WorldSuite2* worlds = suites.worldSuite();
    PF_PixelFormat format = PF_PixelFormat_ARGB32;
    PF_EffectWorld* described = nullptr;
    if (command.extra != nullptr && command.in_data != nullptr && output_layer.data != nullptr) {
        // The output world itself, as the host handed it out.
        auto* smart = static_cast<PF_SmartRenderExtra*>(command.extra);
        if (smart->cb != nullptr)
            smart->cb->checkout_output(command.in_data->effect_ref, &described);
    }
    if (described == nullptr) described = this->command.output;
    if (described == nullptr || worlds->PF_GetPixelFormat(described, &format) != noError()) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    const PF_PixelFormat expected = output_layer.bits == 8    ? PF_PixelFormat_ARGB32
                                    : output_layer.bits == 16 ? PF_PixelFormat_ARGB64
                                                              : PF_PixelFormat_ARGB128;
    if (format != expected) return PF_Err_BAD_CALLBACK_PARAM;

    const PF_ChannelSuite1* channels = suites.channelSuite();
    PF_Boolean found = false;
    PF_ChannelRef ref;
    PF_ChannelDesc desc;
    PF_Err error = channels->PF_GetLayerChannelTypedRefAndDesc(
        command.in_data->effect_ref, 0, PF_ChannelType_DEPTH, &found, &ref, &desc);
    if (error != noError() || !found) return error;
    PF_ChannelChunk chunk;
    std::memset(&chunk, 0, sizeof chunk);
    error = channels->PF_CheckoutLayerChannel(
        command.in_data->effect_ref, &ref, command.in_data->current_time,
        command.in_data->time_step, command.in_data->time_scale, desc.data_type, &chunk);
    if (error != noError()) return error;
    *width = chunk.widthL;
    *height = chunk.heightL;
    depth->assign(size_t(chunk.widthL) * size_t(chunk.heightL), 0.0);
    for (int32_t y = 0; y < chunk.heightL; ++y) {
        const char* row = static_cast<const char*>(chunk.dataPV) + ptrdiff_t(y) * chunk.row_bytesL;
        for (int32_t x = 0; x < chunk.widthL; ++x) {
            double z = 0;
            if (chunk.data_type == PF_DataType_DOUBLE) {
                std::memcpy(&z, row + size_t(x) * 8, 8);
            } else {
                float f = 0;
                std::memcpy(&f, row + size_t(x) * 4, 4);
                z = f;
            }
            (*depth)[size_t(y) * size_t(chunk.widthL) + size_t(x)] = z;
        }
    }
    return channels->PF_CheckinLayerChannel(command.in_data->effect_ref, &ref, &chunk);
}

PF_Err LayerProbeAEHost::misbehave(const Settings& settings, const LayerImage& source,
                                   const LayerImage& output_layer) {
    switch (settings.misbehave) {
        case 2:
            // Never released: the host must find the handle alive after the command.
            return allocate(64) != nullptr ? noError() : outOfMemoryError();
        case 3: {
            const int32_t pixel_bytes = output_layer.bits == 8    ? 4
                                        : output_layer.bits == 16 ? 8
                                                                  : 16;
            static_cast<unsigned char*>(output_layer.data)[output_layer.width * pixel_bytes] = 0x5A;
            return noError();
        }
        case 4: {
            // Checked out into memory that outlives the command, and never checked in.
            static PF_ParamDef kept;
            return PF_CHECKOUT_PARAM(command.in_data, kGain, command.in_data->current_time,
                                     command.in_data->time_step, command.in_data->time_scale,
                                     &kept);
        }
        case 5:
            static_cast<unsigned char*>(source.data)[0] ^= 0xFF;
            return noError();
        default:
            return noError();
    }
}

PF_Err LayerProbeAEHost::render8(const LayerImage& source, const LayerImage& output_layer,
                                 const LayerMap& layers) {
    return renderAs<uint8_t>(source, output_layer, layers, 255.0);
}

PF_Err LayerProbeAEHost::render16(const LayerImage& source, const LayerImage& output_layer,
                                  const LayerMap& layers) {
    return renderAs<uint16_t>(source, output_layer, layers, 32768.0);
}

PF_Err LayerProbeAEHost::renderFloat(const LayerImage& source, const LayerImage& output_layer,
                                     const LayerMap& layers) {
    return renderAs<float>(source, output_layer, layers, 1.0);
}
