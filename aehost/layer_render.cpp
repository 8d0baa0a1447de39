#include <cstring>
#include <string>

#include "aehost/after_effects_host.h"
#include "aehost/layer_record.h"

// The three render paths of the binding: classic render, smart pre-render and smart render.
// Each checks the input and the helper layers out of the host, describes their worlds as
// LayerImages without copying pixels, and calls the effect's render operation for the pixel
// depth. Helper layers come from the effect: helperLayer(i) for i = 0, 1, ... gives their
// parameter positions and names.
//
// Geometry: every rectangle here is in output pixels at the render's resolution unless it says
// "layer pixels". A helper layer smaller (or larger) than the output is centred on it: its
// pixel (0, 0) lies at ((output width - layer width) / 2, (output height - layer height) / 2),
// truncated toward zero.

namespace {

// The classic path keeps its records and checkouts in fixed arrays of this size.
constexpr int32_t kMaxHelperLayers = 49;
// Checkout ids of smart pre-render: 0 for the source, the parameter position for a helper
// layer, and these for the probes that only ask for a layer's size.
constexpr A_long kSourceProbeId = 9999;
constexpr A_long kLayerProbeIdBase = 10000;
// Extra source pixels proposed to the hook around the host's request.
constexpr int32_t kSourceMargin = 100;

double ratio(const PF_RationalScale& scale, double otherwise) {
    return scale.den != 0 ? double(scale.num) / double(scale.den) : otherwise;
}

Rectangle fromHost(const PF_LRect& r) { return Rectangle{r.left, r.right, r.top, r.bottom}; }
PF_LRect toHost(const Rectangle& r) { return PF_LRect{r.left, r.top, r.right, r.bottom}; }

// A clipped to B: each edge of A moves inside B, an edge that would cross the opposite edge of
// B stops on it, so the result is A ∩ B and may be empty.
Rectangle clipped(const Rectangle& a, const Rectangle& b) {
    const auto inside = [](int32_t v, int32_t low, int32_t high) {
        return v < low ? low : (v > high ? high : v);
    };
    return Rectangle{inside(a.left, b.left, b.right), inside(a.right, b.left, b.right),
                     inside(a.top, b.top, b.bottom), inside(a.bottom, b.top, b.bottom)};
}

Rectangle moved(const Rectangle& r, int32_t dx, int32_t dy) {
    return Rectangle{r.left + dx, r.right + dx, r.top + dy, r.bottom + dy};
}

// Helper layers for the smart paths: positions must be above 0 (position 0 is the input).
int32_t smartHelperCount(const AfterEffectsHost& host) {
    int32_t n = 0;
    while (n < kMaxHelperLayers && host.helperLayer(n, nullptr) > 0) ++n;
    return n;
}

LayerImage describe(const PF_LayerDef* world, const LayerRecord& record, int32_t bits,
                    double downsample_x, double downsample_y) {
    LayerImage image;
    if (world != nullptr) {
        image.data = world->data;
        image.width = world->width;
        image.height = world->height;
        image.row_bytes = world->rowbytes;
    }
    image.origin_x = record.offset_x;
    image.origin_y = record.offset_y;
    image.bits = bits;
    image.full_width = record.layer_width;
    image.full_height = record.layer_height;
    image.pixel_aspect = record.pixel_aspect;
    image.downsample_x = downsample_x;
    image.downsample_y = downsample_y;
    image.present = record.present;
    image.premultiplied = false;
    return image;
}

}  // namespace

// The render call shared by the classic and the smart path: the source, the output world and
// the first `count` helper-layer records become LayerImages and a LayerMap, and the render
// operation of `bits` runs. Any other bit depth renders nothing and succeeds.
static PF_Err renderCall(AfterEffectsHost& host, const LayerRecord& source, PF_LayerDef* output,
                         int32_t bits, const LayerRecord* records, int32_t count) {
    const double downsample_x = ratio(host.command.in_data->downsample_x, 1.0);
    const double downsample_y = ratio(host.command.in_data->downsample_y, 1.0);

    LayerImage source_image = describe(source.world, source, bits, downsample_x, downsample_y);
    source_image.present = true;

    LayerRecord output_record;
    output_record.present = true;
    output_record.offset_x = output->origin_x;
    output_record.offset_y = output->origin_y;
    output_record.layer_width = output->width;
    output_record.layer_height = output->height;
    output_record.pixel_aspect = source.pixel_aspect;
    const LayerImage output_image =
        describe(output, output_record, bits, downsample_x, downsample_y);

    LayerMap layers;
    std::string name;
    for (int32_t i = 0; i < count && host.helperLayer(i, &name) >= 0; ++i) {
        layers[name] = describe(records[i].world, records[i], bits, downsample_x, downsample_y);
    }

    switch (bits) {
        case 8:
            return host.render8(source_image, output_image, layers);
        case 16:
            return host.render16(source_image, output_image, layers);
        case 32:
            return host.renderFloat(source_image, output_image, layers);
        default:
            return host.noError();
    }
}

PF_Err AfterEffectsHost::classicRender() {
    if (command.in_data == nullptr || command.params == nullptr || command.params[0] == nullptr ||
        command.output == nullptr) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    const double pixel_aspect =
        ratio(command.in_data->pixel_aspect_ratio, double(command.in_data->pixel_aspect_ratio.num));

    LayerRecord source;
    source.present = true;
    source.world = &command.params[0]->u.ld;
    source.offset_x = command.in_data->output_origin_x;
    source.offset_y = command.in_data->output_origin_y;
    source.layer_width = source.world->width;
    source.layer_height = source.world->height;
    source.pixel_aspect = pixel_aspect;

    // The source is read at another time only when the effect asks for another frame.
    const A_long source_time =
        A_long(double(command.in_data->local_time_step) * layerFrame(sourceLayerName()));
    PF_ParamDef source_checkout;
    bool source_checked_out = false;
    if (source_time != command.in_data->current_time) {
        std::memset(&source_checkout, 0, sizeof source_checkout);
        if (PF_CHECKOUT_PARAM(command.in_data, 0, source_time, command.in_data->time_step,
                              command.in_data->time_scale, &source_checkout) == noError()) {
            source_checked_out = true;
            source.world = &source_checkout.u.ld;
            source.layer_width = source.world->width;
            source.layer_height = source.world->height;
        }
    }

    LayerRecord records[kMaxHelperLayers];
    PF_ParamDef checkouts[kMaxHelperLayers];
    int32_t checked_out = 0;
    PF_Err error = noError();
    for (int32_t i = 0; i < kMaxHelperLayers && error == noError(); ++i) {
        const int32_t position = helperLayer(i, nullptr);
        if (position < 0) break;
        std::memset(&checkouts[i], 0, sizeof checkouts[i]);
        error = PF_CHECKOUT_PARAM(command.in_data, position, command.in_data->current_time,
                                  command.in_data->time_step, command.in_data->time_scale,
                                  &checkouts[i]);
        if (error != noError()) break;
        ++checked_out;
        PF_LayerDef& layer = checkouts[i].u.ld;
        LayerRecord& record = records[i];
        record.present = layer.data != nullptr;
        record.world = &layer;
        record.offset_x = (command.output->width - layer.width) / 2;
        record.offset_y = (command.output->height - layer.height) / 2;
        record.layer_width = layer.width;
        record.layer_height = layer.height;
        record.pixel_aspect = ratio(layer.pix_aspect_ratio, pixel_aspect);
    }

    if (error == noError()) {
        const bool deep = (source.world->world_flags & PF_WorldFlag_DEEP) != 0 ||
                          (command.output->world_flags & PF_WorldFlag_DEEP) != 0;
        error = renderCall(*this, source, command.output, deep ? 16 : 8, records, checked_out);
    }

    if (source_checked_out) PF_CHECKIN_PARAM(command.in_data, &source_checkout);
    for (int32_t i = 0; i < checked_out; ++i) PF_CHECKIN_PARAM(command.in_data, &checkouts[i]);
    return error;
}

PF_Err AfterEffectsHost::smartPreRender(PF_PreRenderExtra* pre_render) {
    if (command.in_data == nullptr || pre_render == nullptr || pre_render->input == nullptr ||
        pre_render->output == nullptr || pre_render->cb == nullptr ||
        pre_render->cb->checkout_layer == nullptr) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    const auto checkout = pre_render->cb->checkout_layer;
    PF_PreRenderOutput& out = *pre_render->output;
    const int32_t helper_count = smartHelperCount(*this);

    const A_long source_time =
        A_long(double(command.in_data->local_time_step) * layerFrame(sourceLayerName()));
    PF_RenderRequest req = pre_render->input->output_request;
    req.field = PF_Field_FRAME;
    req.channel_mask = PF_ChannelMask_ARGB;
    req.preserve_rgb_of_zero_alpha = true;

    const double downsample_x = ratio(command.in_data->downsample_x, 1.0);
    const double downsample_y = ratio(command.in_data->downsample_y, 1.0);
    double pixel_aspect = ratio(command.in_data->pixel_aspect_ratio, 1.0);
    const double command_pixel_aspect = pixel_aspect;
    const int32_t full_width = int32_t(command.in_data->width * downsample_x);
    const int32_t full_height = int32_t(command.in_data->height * downsample_y);
    const auto hook = [&](const std::string& layer, Rectangle* request, Rectangle proposed,
                          double layer_pixel_aspect) {
        adjustLayerRequest(layer, request, proposed, &pixel_aspect, &command_pixel_aspect,
                           layer_pixel_aspect, downsample_x, downsample_y, full_width, full_height);
    };

    // The source: the host's request, unless the effect wants more of it.
    const Rectangle host_request = fromHost(pre_render->input->output_request.rect);
    Rectangle source_request = host_request;
    hook(sourceLayerName(), &source_request,
         Rectangle{host_request.left - kSourceMargin, host_request.right + kSourceMargin,
                   host_request.top - kSourceMargin, host_request.bottom + kSourceMargin},
         1.0);
    PF_CheckoutResult source_result;
    std::memset(&source_result, 0, sizeof source_result);
    Rectangle base = host_request;
    PF_Err error = noError();
    if (source_request == host_request) {
        error = checkout(command.in_data->effect_ref, 0, 0, &req, source_time,
                         command.in_data->time_step, command.in_data->time_scale, &source_result);
    } else {
        PF_CheckoutResult probe;
        std::memset(&probe, 0, sizeof probe);
        error = checkout(command.in_data->effect_ref, 0, kSourceProbeId, &req, source_time,
                         command.in_data->time_step, command.in_data->time_scale, &probe);
        base = clipped(host_request, fromHost(probe.max_result_rect));
        if (error == noError()) {
            Rectangle wanted = base;
            hook(sourceLayerName(), &wanted, base, 1.0);
            req.rect = toHost(wanted);
            error =
                checkout(command.in_data->effect_ref, 0, 0, &req, source_time,
                         command.in_data->time_step, command.in_data->time_scale, &source_result);
        }
    }
    Rectangle max_rect = fromHost(source_result.max_result_rect);
    Rectangle output_rect = clipped(base, max_rect);
    if (error != noError()) return error;

    // The output rectangle is final before the helper layers are requested, so that an effect
    // that renders more than the host asked for gets its helper layers for all of it.
    if (!output_rect.empty()) hook(outputLayerName(), &output_rect, max_rect, 1.0);
    hook(outputLayerName(), &max_rect, max_rect, 1.0);

    if (helper_count > 0) {
        PF_Handle handle = nullptr;
        LayerRecord* records = nullptr;
        {
            std::lock_guard<std::mutex> guard(handle_lock);
            PF_InData* const in_data = command.in_data;  // the SDK's handle macros name it
            handle = command.in_data->utils != nullptr &&
                             command.in_data->utils->host_new_handle != nullptr
                         ? PF_NEW_HANDLE(sizeof(LayerRecord) * size_t(helper_count))
                         : nullptr;
            if (handle == nullptr) return PF_Err_OUT_OF_MEMORY;
            // From here the host owns the handle and disposes of it after the frame.
            out.pre_render_data = handle;
            records = static_cast<LayerRecord*>(PF_LOCK_HANDLE(handle));
        }
        if (records == nullptr) return PF_Err_OUT_OF_MEMORY;

        std::string layer_name;
        for (int32_t i = 0; i < helper_count && error == noError(); ++i) {
            const int32_t position = helperLayer(i, &layer_name);
            if (position < 0) break;
            PF_RenderRequest probe_req = req;
            probe_req.rect = PF_LRect{0, 0, 0, 0};
            PF_CheckoutResult probe;
            std::memset(&probe, 0, sizeof probe);
            error = checkout(command.in_data->effect_ref, position, position + kLayerProbeIdBase,
                             &probe_req, command.in_data->current_time, command.in_data->time_step,
                             command.in_data->time_scale, &probe);
            if (error != noError()) break;
            const Rectangle layer_rect = fromHost(probe.max_result_rect);
            const int32_t offset_x = int32_t((full_width - layer_rect.width()) * 0.5);
            const int32_t offset_y = int32_t((full_height - layer_rect.height()) * 0.5);
            const Rectangle placed = moved(layer_rect, offset_x, offset_y);
            const double layer_pixel_aspect = ratio(probe.par, 1.0);

            Rectangle wanted = output_rect;
            hook(layer_name, &wanted, placed, layer_pixel_aspect);
            wanted = clipped(wanted, placed);

            LayerRecord record;
            record.present = !layer_rect.empty();
            record.offset_x = wanted.left;
            record.offset_y = wanted.top;
            record.layer_width = layer_rect.width();
            record.layer_height = layer_rect.height();
            record.pixel_aspect = layer_pixel_aspect;
            record.world = nullptr;
            records[i] = record;

            PF_RenderRequest layer_req = req;
            layer_req.rect = toHost(moved(wanted, -offset_x, -offset_y));
            PF_CheckoutResult layer_result;
            std::memset(&layer_result, 0, sizeof layer_result);
            error = checkout(command.in_data->effect_ref, position, position, &layer_req,
                             command.in_data->current_time, command.in_data->time_step,
                             command.in_data->time_scale, &layer_result);
        }
        {
            std::lock_guard<std::mutex> guard(handle_lock);
            PF_InData* const in_data = command.in_data;  // the SDK's handle macros name it
            PF_UNLOCK_HANDLE(handle);
        }
        if (error != noError()) return error;
    }

    out.max_result_rect = toHost(max_rect);
    if (output_rect.left < host_request.left || output_rect.top < host_request.top ||
        output_rect.right > host_request.right || output_rect.bottom > host_request.bottom) {
        out.flags = PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS;
    }
    out.solid = false;
    out.result_rect = toHost(clipped(output_rect, max_rect));
    return noError();
}

PF_Err AfterEffectsHost::smartRender(PF_SmartRenderExtra* smart_render) {
    if (command.in_data == nullptr || smart_render == nullptr || smart_render->input == nullptr ||
        smart_render->cb == nullptr || smart_render->cb->checkout_layer_pixels == nullptr ||
        smart_render->cb->checkout_output == nullptr) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    const PF_SmartRenderCallbacks& cb = *smart_render->cb;

    PF_EffectWorld* input_world = nullptr;
    PF_Err error = cb.checkout_layer_pixels(command.in_data->effect_ref, 0, &input_world);
    if (error != noError()) return error;
    if (input_world == nullptr) return noError();

    LayerRecord source;
    source.present = true;
    source.world = input_world;
    source.offset_x = input_world->origin_x;
    source.offset_y = input_world->origin_y;
    const A_u_long den_x =
        command.in_data->downsample_x.den != 0 ? command.in_data->downsample_x.den : 1;
    const A_u_long den_y =
        command.in_data->downsample_y.den != 0 ? command.in_data->downsample_y.den : 1;
    source.layer_width = int32_t(int64_t(command.in_data->width) *
                                 command.in_data->downsample_x.num / int64_t(den_x));
    source.layer_height = int32_t(int64_t(command.in_data->height) *
                                  command.in_data->downsample_y.num / int64_t(den_y));
    source.pixel_aspect = ratio(command.in_data->pixel_aspect_ratio, 1.0);

    PF_EffectWorld* output_world = nullptr;
    error = cb.checkout_output(command.in_data->effect_ref, &output_world);
    if (error != noError()) return error;
    if (output_world == nullptr) return noError();

    const int32_t helper_count = smartHelperCount(*this);
    // Stands for a layer the host has no pixels for: null data, so its image is not valid.
    PF_LayerDef no_pixels;
    std::memset(&no_pixels, 0, sizeof no_pixels);
    const auto handle = static_cast<PF_Handle>(smart_render->input->pre_render_data);
    LayerRecord* records = nullptr;
    if (helper_count > 0) {
        std::lock_guard<std::mutex> guard(handle_lock);
        PF_InData* const in_data = command.in_data;  // the SDK's handle macros name it
        // The records must be the ones smart pre-render wrote: a missing or short handle is
        // not read.
        const bool usable =
            handle != nullptr && command.in_data->utils != nullptr &&
            command.in_data->utils->host_lock_handle != nullptr &&
            (command.in_data->utils->host_get_handle_size == nullptr ||
             PF_GET_HANDLE_SIZE(handle) >= sizeof(LayerRecord) * size_t(helper_count));
        records = usable ? static_cast<LayerRecord*>(PF_LOCK_HANDLE(handle)) : nullptr;
        if (records == nullptr) return PF_Err_OUT_OF_MEMORY;
    }

    for (int32_t i = 0; i < helper_count && error == noError(); ++i) {
        const int32_t position = helperLayer(i, nullptr);
        if (position < 0) break;
        PF_EffectWorld* world = nullptr;
        error = cb.checkout_layer_pixels(command.in_data->effect_ref, position, &world);
        if (error != noError()) break;
        if (world != nullptr) {
            records[i].world = world;
        } else {
            records[i].world = &no_pixels;
            records[i].offset_x = 0;
            records[i].offset_y = 0;
        }
    }

    if (error == noError()) {
        error = renderCall(*this, source, output_world, smart_render->input->bitdepth, records,
                           helper_count);
    }
    if (records != nullptr) {
        std::lock_guard<std::mutex> guard(handle_lock);
        PF_InData* const in_data = command.in_data;  // the SDK's handle macros name it
        PF_UNLOCK_HANDLE(handle);
    }
    return error;
}
