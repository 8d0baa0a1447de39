#include "qbrender/effect_session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "qbrender/host_callbacks.h"
#include "qbrender/host_names.h"
#include "qbrender/host_pixels.h"
#include "qbrender/qbrender_error.h"

namespace {

// Time base of the host: 24 frames per second, each frame 100 units of 1/2400 s, so that an
// effect that confuses time units and frame numbers shows at once.
constexpr A_u_long kTimeScale = 2400;
constexpr A_long kFrameDuration = 100;

PF_LRect toHostRect(const Rectangle& r) { return PF_LRect{r.left, r.top, r.right, r.bottom}; }
Rectangle fromHostRect(const PF_LRect& r) { return Rectangle{r.left, r.right, r.top, r.bottom}; }

Rectangle intersection(const Rectangle& a, const Rectangle& b) {
    Rectangle r{std::max(a.left, b.left), std::min(a.right, b.right), std::max(a.top, b.top),
                std::min(a.bottom, b.bottom)};
    if (r.empty()) return Rectangle{};
    return r;
}

bool contains(const Rectangle& outer, const Rectangle& inner) {
    return inner.empty() || (inner.left >= outer.left && inner.right <= outer.right &&
                             inner.top >= outer.top && inner.bottom <= outer.bottom);
}

}  // namespace

EffectSession::EffectSession(EffectInfo effect, SessionSettings settings)
    : library_(std::move(effect)), settings_(std::move(settings)),
      params_(library_.info().resource.name) {
    if (settings_.threads <= 0) {
        settings_.threads = std::max(1, int(std::thread::hardware_concurrency()));
    }
    cancel_after_ = settings_.cancel_after_progress_calls;
    HostCallbacks::install(*this);
    try {
        PF_Err error = command(PF_Cmd_GLOBAL_SETUP, nullptr, nullptr, nullptr);
        throwOnError(PF_Cmd_GLOBAL_SETUP, error);
        global_setup_done_ = true;
        out_flags_ = out_data_.out_flags;
        out_flags2_ = out_data_.out_flags2;
        const PluginResource& resource = library_.info().resource;
        const auto hex = [](uint32_t v) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%08X", v);
            return std::string(text);
        };
        const auto mismatch = [&](const char* what, uint32_t run_time, uint32_t stored) {
            throw QbrenderError(effectName() + ": global setup sets " + what + " " + hex(run_time) +
                                    " but the plug-in resource says " + hex(stored),
                                ExitStatus::effect_error);
        };
        if (out_data_.my_version != resource.effect_version) {
            mismatch("version", out_data_.my_version, resource.effect_version);
        }
        if (uint32_t(out_flags_) != resource.out_flags) {
            mismatch("out_flags", uint32_t(out_flags_), resource.out_flags);
        }
        const PF_SpecVersion api = settings_.api_version;
        const bool knows_flags2 = api.major > 12 || (api.major == 12 && api.minor >= 5);
        if (knows_flags2 && uint32_t(out_flags2_) != resource.out_flags2) {
            mismatch("out_flags2", uint32_t(out_flags2_), resource.out_flags2);
        }

        error = command(PF_Cmd_PARAMS_SETUP, nullptr, nullptr, nullptr);
        throwOnError(PF_Cmd_PARAMS_SETUP, error);
        if (out_data_.num_params != params_.count()) {
            fault("PF_Cmd_PARAMS_SETUP: the effect reports " +
                  std::to_string(out_data_.num_params) + " parameters but added " +
                  std::to_string(params_.count() - 1) + " to the input layer");
        }

        HostWorld empty(project_depth_);
        std::vector<PF_ParamDef> defs = paramArray(nullptr, empty);
        std::vector<PF_ParamDef*> pointers;
        for (auto& d : defs) pointers.push_back(&d);
        error = command(PF_Cmd_SEQUENCE_SETUP, pointers.data(), nullptr, nullptr);
        throwOnError(PF_Cmd_SEQUENCE_SETUP, error);
        sequence_setup_done_ = true;
    } catch (...) {
        try {
            runSetdowns();
        } catch (...) {
        }
        throw;
    }
}

EffectSession::~EffectSession() {
    try {
        runSetdowns();
    } catch (...) {
    }
}

void EffectSession::close() { runSetdowns(); }

void EffectSession::runSetdowns() {
    PF_Err first = PF_Err_NONE;
    PF_Cmd failed = PF_Cmd_SEQUENCE_SETDOWN;
    if (sequence_setup_done_) {
        sequence_setup_done_ = false;
        HostWorld empty(project_depth_);
        std::vector<PF_ParamDef> defs = paramArray(nullptr, empty);
        std::vector<PF_ParamDef*> pointers;
        for (auto& d : defs) pointers.push_back(&d);
        first = command(PF_Cmd_SEQUENCE_SETDOWN, pointers.data(), nullptr, nullptr);
    }
    if (global_setup_done_) {
        global_setup_done_ = false;
        const PF_Err error = command(PF_Cmd_GLOBAL_SETDOWN, nullptr, nullptr, nullptr);
        if (first == PF_Err_NONE && error != PF_Err_NONE) {
            first = error;
            failed = PF_Cmd_GLOBAL_SETDOWN;
        }
    }
    throwOnError(failed, first);
}

void EffectSession::throwOnError(PF_Cmd cmd, PF_Err error) {
    if (error == PF_Err_NONE) return;
    throw QbrenderError(
        effectName() + ": " + commandName(cmd) + " returned " + errorText(error),
        error == PF_Interrupt_CANCEL ? ExitStatus::cancelled : ExitStatus::effect_error);
}

void EffectSession::fault(const std::string& line) {
    std::lock_guard<std::mutex> guard(faults_lock_);
    faults_.push_back(line);
}

std::vector<std::string> EffectSession::takeFaults() {
    std::lock_guard<std::mutex> guard(faults_lock_);
    std::vector<std::string> faults;
    faults.swap(faults_);
    return faults;
}

bool EffectSession::hasFaults() const {
    std::lock_guard<std::mutex> guard(faults_lock_);
    return !faults_.empty();
}

void EffectSession::prepareInData() {
    in_data_ = PF_InData{};
    in_data_.inter = HostCallbacks::interactCallbacks();
    in_data_.utils = &utils_;
    in_data_.effect_ref = reinterpret_cast<PF_ProgPtr>(this);
    in_data_.quality = 1;
    in_data_.version = settings_.api_version;
    in_data_.appl_id = settings_.application_id;
    in_data_.num_params = params_.count();
    in_data_.current_time = A_long(frame_) * kFrameDuration;
    in_data_.time_step = kFrameDuration;
    in_data_.total_time = (A_long(frame_) + 1) * kFrameDuration;
    in_data_.local_time_step = kFrameDuration;
    in_data_.time_scale = kTimeScale;
    in_data_.field = PF_Field_FRAME;
    // The input layer's size at full resolution; the render's worlds are downsampled.
    if (LayerSource* input = layerSource(0)) {
        const Image& image = input->frame(frame_);
        in_data_.width = image.width();
        in_data_.height = image.height();
        in_data_.extent_hint = PF_LRect{0, 0, downsampledSize(image.width(), downsample_),
                                        downsampledSize(image.height(), downsample_)};
    }
    in_data_.downsample_x = PF_RationalScale{1, A_u_long(downsample_)};
    in_data_.downsample_y = PF_RationalScale{1, A_u_long(downsample_)};
    in_data_.pixel_aspect_ratio = pixel_aspect_;
    in_data_.pica_basicP = &basic_suite_;
}

PF_Err EffectSession::command(PF_Cmd cmd, PF_ParamDef** params, PF_LayerDef* output, void* extra) {
    prepareInData();
    out_data_ = PF_OutData{};
    out_data_.width = in_data_.width;
    out_data_.height = in_data_.height;
    current_command_ = cmd;
    host_thread_ = std::this_thread::get_id();
    command_log_.push_back(cmd);
    in_command_ = true;
    HostCallbacks::activate(this);
    PF_Err error = PF_Err_NONE;
    const auto entered = std::chrono::steady_clock::now();
    try {
        error = library_.entry()(cmd, &in_data_, &out_data_, params, output, extra);
    } catch (...) {
        fault(commandName(cmd) + ": an exception left the effect's entry point");
        error = PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    effect_time_ += std::chrono::steady_clock::now() - entered;
    if (cancel_answered_at_ && !cancel_latency_) {
        cancel_latency_ =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - *cancel_answered_at_)
                .count();
    }
    HostCallbacks::activate(nullptr);
    in_command_ = false;
    if (cmd == PF_Cmd_SMART_PRE_RENDER && extra != nullptr) {
        // The pre-render data lives on until smart render; the host disposes of it.
        auto* pre_render = static_cast<PF_PreRenderExtra*>(extra);
        const auto handle = static_cast<PF_Handle>(pre_render->output->pre_render_data);
        if (handle != nullptr && handles_.contains(handle)) kept_handle_ = handle;
    }
    checkAfterCommand(cmd);
    if (pending_exception_) {
        std::exception_ptr pending = pending_exception_;
        pending_exception_ = nullptr;
        std::rethrow_exception(pending);
    }
    return error;
}

void EffectSession::checkAfterCommand(PF_Cmd cmd) {
    const std::string name = commandName(cmd);
    for (const std::string& f : handles_.takeFaults()) fault(name + ": " + f);

    const bool kept = kept_handle_ != nullptr && handles_.contains(kept_handle_);
    const size_t live = handles_.liveCount() - (kept ? 1 : 0);
    if (live > 0) {
        fault(name + " left " + std::to_string(live) + " memory handle" + (live == 1 ? "" : "s") +
              " undisposed");
        handles_.disposeAll(kept ? kept_handle_ : nullptr);
    }
    for (ParamCheckout& c : param_checkouts_) {
        fault(name + " did not check in parameter '" + params_.at(c.position).name() +
              "' (position " + std::to_string(c.position) + ")");
        if (c.world)
            checkWorld(*c.world, "layer parameter '" + params_.at(c.position).name() + "'",
                       c.checksum, true);
    }
    param_checkouts_.clear();
    if (!channel_checkouts_.empty()) {
        fault(name + " did not check in " + std::to_string(channel_checkouts_.size()) +
              " layer channel" + (channel_checkouts_.size() == 1 ? "" : "s"));
        channel_checkouts_.clear();
    }
    for (const auto& [suite, count] : suites_acquired_) {
        if (count != 0) {
            fault(name + " acquired suite '" + suite + "' " + std::to_string(count) + " more time" +
                  (count == 1 ? "" : "s") + " than it released it");
        }
    }
    suites_acquired_.clear();
    if (!new_worlds_.empty()) {
        fault(name + " did not dispose of " + std::to_string(new_worlds_.size()) + " world" +
              (new_worlds_.size() == 1 ? "" : "s") + " made with PF_NewWorld");
        new_worlds_.clear();
    }
}

void EffectSession::checkWorld(const HostWorld& world, const std::string& what, uint64_t checksum,
                               bool input) {
    const std::string name = commandName(current_command_);
    const std::string damage = world.damage();
    if (!damage.empty()) fault(name + " wrote outside the pixels of " + what + ": " + damage);
    const std::string range = world.rangeFault();
    if (!range.empty()) fault(name + " left an invalid value in " + what + ": " + range);
    if (input && world.pixelChecksum() != checksum) {
        fault(name + " changed the pixels of " + what + ", which belong to the host");
    }
}

LayerSource* EffectSession::layerSource(int position) {
    const auto it = layers_.find(position);
    return it == layers_.end() ? nullptr : it->second.get();
}

int EffectSession::frameOfTime(A_long time, A_u_long time_scale) const {
    const int64_t scale = time_scale == 0 ? int64_t(kTimeScale) : int64_t(time_scale);
    const int64_t units = int64_t(time) * int64_t(kTimeScale);
    int64_t ours = units / scale;
    if (units % scale != 0 && units < 0) --ours;
    int64_t frame = ours / kFrameDuration;
    if (ours % kFrameDuration != 0 && ours < 0) --frame;
    return int(frame);
}

bool EffectSession::inRenderCommand() const {
    const PF_Cmd c = current_command_;
    return in_command_ &&
           (c == PF_Cmd_FRAME_SETUP || c == PF_Cmd_RENDER || c == PF_Cmd_FRAME_SETDOWN ||
            c == PF_Cmd_SMART_PRE_RENDER || c == PF_Cmd_SMART_RENDER);
}

std::unique_ptr<HostWorld> EffectSession::layerWorld(int position, int frame,
                                                     const Rectangle* rect) {
    LayerSource* source = layerSource(position);
    if (source == nullptr) return std::make_unique<HostWorld>(depth_);
    const HostPlane& plane = source->plane(frame, depth_, downsample_);
    const Rectangle full{0, plane.width, 0, plane.height};
    const Rectangle r = rect != nullptr ? intersection(*rect, full) : full;
    if (r.empty()) return std::make_unique<HostWorld>(depth_);
    auto world = std::make_unique<HostWorld>(r.width(), r.height(), depth_, r.left, r.top, false);
    world->fill(plane, r.left, r.top);
    world->def()->pix_aspect_ratio = pixel_aspect_;
    return world;
}

std::vector<PF_ParamDef> EffectSession::paramArray(const HostWorld* input_world,
                                                   const HostWorld& empty) {
    std::vector<PF_ParamDef> defs;
    defs.reserve(size_t(params_.count()));
    for (int i = 0; i < params_.count(); ++i) {
        PF_ParamDef d = params_.at(i).def;
        d.uu.change_flags = PF_ChangeFlag_NONE;
        if (d.param_type == PF_Param_LAYER) {
            d.u.ld = i == 0 && input_world != nullptr ? *input_world->def() : *empty.def();
        } else if (d.param_type == PF_Param_POINT) {
            // Point values are in layer pixels at the command's resolution.
            d.u.td.x_value /= downsample_;
            d.u.td.y_value /= downsample_;
        }
        defs.push_back(d);
    }
    return defs;
}

void EffectSession::setInput(std::shared_ptr<LayerSource> source) {
    layers_[0] = std::move(source);
}

void EffectSession::connectLayer(const std::string& name, std::shared_ptr<LayerSource> source) {
    const int position = params_.require(name);
    const HostParameter& p = params_.at(position);
    if (p.type() != PF_Param_LAYER) {
        const std::string kind = ParameterStore::kindName(p.type());
        const bool vowel = kind.find_first_of("aeiou") == 0;
        throw QbrenderError("parameter '" + p.name() + "' is " + (vowel ? "an " : "a ") + kind +
                            ", not a layer: give it a value with --set");
    }
    layers_[position] = std::move(source);
}

void EffectSession::setParameter(const std::string& name, const std::string& value) {
    params_.setFromText(params_.require(name), value);
}

std::string EffectSession::about() {
    const PF_Err error = command(PF_Cmd_ABOUT, nullptr, nullptr, nullptr);
    throwOnError(PF_Cmd_ABOUT, error);
    const char* text = out_data_.return_msg;
    if (std::memchr(text, '\0', sizeof out_data_.return_msg) == nullptr) {
        fault("PF_Cmd_ABOUT: the about text fills the whole message buffer unterminated");
        return std::string(text, sizeof out_data_.return_msg);
    }
    return text;
}

std::vector<ControlState> EffectSession::controls() const {
    std::vector<ControlState> states;
    for (int i = 1; i < params_.count(); ++i) {
        const HostParameter& p = params_.at(i);
        states.push_back(ControlState{i, p.name(), ParameterStore::kindName(p.type()), p.enabled(),
                                      p.ui_updates});
    }
    return states;
}

std::vector<ControlState> EffectSession::updateParamsUI() {
    if ((out_flags_ & PF_OutFlag_SEND_UPDATE_PARAMS_UI) != 0) {
        HostWorld empty(project_depth_);
        depth_ = project_depth_;
        std::vector<PF_ParamDef> defs = paramArray(nullptr, empty);
        std::vector<PF_ParamDef*> pointers;
        for (auto& d : defs) pointers.push_back(&d);
        const PF_Err error = command(PF_Cmd_UPDATE_PARAMS_UI, pointers.data(), nullptr, nullptr);
        throwOnError(PF_Cmd_UPDATE_PARAMS_UI, error);
    }
    return controls();
}

std::vector<ParameterChange> EffectSession::userChangedParam(const std::string& name) {
    const int position = params_.require(name);
    std::vector<std::string> before;
    for (int i = 0; i < params_.count(); ++i) before.push_back(params_.valueText(i));

    HostWorld empty(project_depth_);
    depth_ = project_depth_;
    std::vector<PF_ParamDef> defs = paramArray(nullptr, empty);
    std::vector<PF_ParamDef*> pointers;
    for (auto& d : defs) pointers.push_back(&d);
    PF_UserChangedParamExtra extra{position};
    const PF_Err error = command(PF_Cmd_USER_CHANGED_PARAM, pointers.data(), nullptr, &extra);
    throwOnError(PF_Cmd_USER_CHANGED_PARAM, error);

    // Only values the effect marks as changed reach the project, as in the host.
    std::vector<ParameterChange> changes;
    for (int i = 1; i < params_.count(); ++i) {
        if ((defs[size_t(i)].uu.change_flags & PF_ChangeFlag_CHANGED_VALUE) == 0) continue;
        if (params_.takeValue(i, defs[size_t(i)])) {
            changes.push_back(
                ParameterChange{i, params_.at(i).name(), before[size_t(i)], params_.valueText(i)});
        }
    }
    updateParamsUI();
    return changes;
}

FrameResult EffectSession::render(const FrameRequest& request) {
    LayerSource* input = layerSource(0);
    if (input == nullptr) throw QbrenderError(effectName() + ": no input layer to render");
    if (request.downsample < 1) {
        throw QbrenderError("downsample factor " + std::to_string(request.downsample) +
                            " is below 1");
    }
    if (request.depth == SampleDepth::bits16 && (out_flags_ & PF_OutFlag_DEEP_COLOR_AWARE) == 0) {
        throw QbrenderError(effectName() + " does not render 16-bit projects");
    }
    if (request.depth == SampleDepth::float32 &&
        (out_flags2_ & PF_OutFlag2_FLOAT_COLOR_AWARE) == 0) {
        throw QbrenderError(effectName() + " does not render 32-bit float projects");
    }
    const bool smart = !request.classic && (out_flags2_ & PF_OutFlag2_SUPPORTS_SMART_RENDER) != 0;
    if (!smart && request.depth == SampleDepth::float32) {
        throw QbrenderError("the classic render path has no 32-bit float worlds: render " +
                            effectName() + " at 32 bits with smart rendering (without --classic)");
    }
    frame_ = request.frame;
    downsample_ = request.downsample;
    depth_ = request.depth;
    pixel_aspect_ = request.pixel_aspect;
    struct Restore {
        EffectSession& s;
        ~Restore() {
            s.downsample_ = 1;
            s.depth_ = s.project_depth_;
            s.pixel_aspect_ = PF_RationalScale{1, 1};
            s.handles_.failFrom(0);
            s.cancel_after_ = s.settings_.cancel_after_progress_calls;
        }
    } restore{*this};

    // Read and convert every layer before the frame's clock starts: neither the effect's time nor
    // the host's is to include file reading or conversion.
    for (auto& [position, source] : layers_) source->plane(frame_, depth_, downsample_);
    const HostPlane& plane = input->plane(frame_, depth_, downsample_);

    frame_progress_calls_ = 0;
    cancel_after_ = request.cancel_after_progress_calls != 0
                        ? request.cancel_after_progress_calls
                        : settings_.cancel_after_progress_calls;
    cancel_answered_at_.reset();
    cancel_latency_.reset();
    handles_.failFrom(request.fail_allocations_from);
    const auto frame_start = std::chrono::steady_clock::now();
    effect_time_ = {};
    host_work_in_commands_ = {};
    FrameResult result = smart ? renderSmart(request, plane) : renderClassic(request, plane);
    handles_.failFrom(0);
    result.cancel_latency = cancel_latency_;
    result.progress_calls = frame_progress_calls_.load();
    for (const std::string& f : handles_.takeFaults()) fault(f);
    if (handles_.liveCount() != 0) {
        fault("frame " + std::to_string(request.frame) + ": " +
              std::to_string(handles_.liveCount()) + " memory handles alive after the render");
        handles_.disposeAll();
    }
    handles_.trimPool();
    using Seconds = std::chrono::duration<double>;
    result.seconds = Seconds(effect_time_ - host_work_in_commands_).count();
    result.host_seconds =
        Seconds(std::chrono::steady_clock::now() - frame_start).count() - result.seconds;
    return result;
}

FrameResult EffectSession::renderClassic(const FrameRequest& request, const HostPlane& plane) {
    (void)request;
    FrameResult result;
    const int width = plane.width;
    const int height = plane.height;
    HostWorld input_world(width, height, depth_, 0, 0, false);
    input_world.fill(plane, 0, 0);
    input_world.def()->pix_aspect_ratio = pixel_aspect_;
    const uint64_t input_sum = input_world.pixelChecksum();
    HostWorld output_world(width, height, depth_, 0, 0, true);
    output_world.def()->pix_aspect_ratio = pixel_aspect_;
    HostWorld empty(depth_);
    std::vector<PF_ParamDef> defs = paramArray(&input_world, empty);
    std::vector<PF_ParamDef*> pointers;
    for (auto& d : defs) pointers.push_back(&d);

    PF_Err error = command(PF_Cmd_FRAME_SETUP, pointers.data(), output_world.def(), nullptr);
    result.failed_command = PF_Cmd_FRAME_SETUP;
    if (error == PF_Err_NONE) {
        error = command(PF_Cmd_RENDER, pointers.data(), output_world.def(), nullptr);
        result.failed_command = PF_Cmd_RENDER;
        const PF_Err setdown =
            command(PF_Cmd_FRAME_SETDOWN, pointers.data(), output_world.def(), nullptr);
        if (error == PF_Err_NONE && setdown != PF_Err_NONE) {
            error = setdown;
            result.failed_command = PF_Cmd_FRAME_SETDOWN;
        }
    }
    result.status = error;
    current_command_ = PF_Cmd_RENDER;
    checkWorld(output_world, "the output world", 0, false);
    checkWorld(input_world, "the input layer", input_sum, true);
    result.output = output_world.toImage();
    result.written = Rectangle{0, width, 0, height};
    return result;
}

FrameResult EffectSession::renderSmart(const FrameRequest& request, const HostPlane& plane) {
    FrameResult result;
    const int width = plane.width;
    const int height = plane.height;
    const Rectangle frame_rect{0, width, 0, height};
    const Rectangle wanted = request.region ? *request.region : frame_rect;

    PF_RenderRequest req{};
    req.rect = toHostRect(wanted);
    req.field = PF_Field_FRAME;
    req.channel_mask = PF_ChannelMask_ARGB;
    req.preserve_rgb_of_zero_alpha = false;
    PF_PreRenderInput pre_input{};
    pre_input.output_request = req;
    pre_input.bitdepth = A_short(bitsOf(depth_));
    PF_PreRenderOutput pre_output{};
    PF_PreRenderCallbacks pre_callbacks = HostCallbacks::preRenderCallbacks();
    PF_PreRenderExtra pre_render{&pre_input, &pre_output, &pre_callbacks};
    layer_checkouts_.clear();
    smart_output_.reset();

    PF_Err error = command(PF_Cmd_SMART_PRE_RENDER, nullptr, nullptr, &pre_render);
    result.failed_command = PF_Cmd_SMART_PRE_RENDER;
    Rectangle result_rect;
    result.pre_render_data = pre_output.pre_render_data != nullptr;
    if (error == PF_Err_NONE) {
        result_rect = fromHostRect(pre_output.result_rect);
        const Rectangle max_rect = fromHostRect(pre_output.max_result_rect);
        if (!contains(max_rect, result_rect)) {
            fault("PF_Cmd_SMART_PRE_RENDER: result rectangle " + to_string(result_rect) +
                  " reaches outside the maximum result rectangle " + to_string(max_rect));
        }
        if (!result_rect.empty()) {
            PF_SmartRenderInput smart_input{};
            smart_input.output_request = req;
            smart_input.bitdepth = pre_input.bitdepth;
            smart_input.pre_render_data = pre_output.pre_render_data;
            PF_SmartRenderCallbacks smart_callbacks = HostCallbacks::smartRenderCallbacks();
            PF_SmartRenderExtra smart_render{&smart_input, &smart_callbacks};
            smart_result_rect_ = result_rect;
            error = command(PF_Cmd_SMART_RENDER, nullptr, nullptr, &smart_render);
            result.failed_command = PF_Cmd_SMART_RENDER;
        }
    }
    releasePreRenderData(pre_output.pre_render_data, pre_output.delete_pre_render_data_func);
    result.status = error;

    // The host takes back every world it handed out.
    current_command_ = PF_Cmd_SMART_RENDER;
    for (auto& [id, checkout] : layer_checkouts_) {
        if (checkout.world) {
            checkWorld(*checkout.world,
                       "layer '" +
                           (checkout.position == 0 ? std::string("input")
                                                   : params_.at(checkout.position).name()) +
                           "' (checkout id " + std::to_string(id) + ")",
                       checkout.checksum, true);
        }
    }
    layer_checkouts_.clear();

    HostWorld frame_world(width, height, depth_, 0, 0, true);
    if (smart_output_) {
        const HostWorld& out = *smart_output_;
        checkWorld(out, "the output world", 0, false);
        const Rectangle placed{out.def()->origin_x, out.def()->origin_x + out.width(),
                               out.def()->origin_y, out.def()->origin_y + out.height()};
        const Rectangle visible = intersection(placed, frame_rect);
        const size_t pixel_bytes = hostPixelBytes(depth_);
        for (int y = visible.top; y < visible.bottom; ++y) {
            const unsigned char* from =
                out.row(y - placed.top) + size_t(visible.left - placed.left) * pixel_bytes;
            unsigned char* to = frame_world.row(y) + size_t(visible.left) * pixel_bytes;
            std::memcpy(to, from, size_t(visible.width()) * pixel_bytes);
        }
        result.written = visible;
        smart_output_.reset();
    }
    result.output = frame_world.toImage();
    return result;
}

void EffectSession::releasePreRenderData(void* data, PF_DeletePreRenderDataFunc release) {
    kept_handle_ = nullptr;
    if (data == nullptr) return;
    if (release != nullptr) {
        HostCallbacks::activate(this);
        const auto entered = std::chrono::steady_clock::now();
        release(data);
        effect_time_ += std::chrono::steady_clock::now() - entered;
        HostCallbacks::activate(nullptr);
        return;
    }
    const auto handle = static_cast<PF_Handle>(data);
    if (handles_.contains(handle)) handles_.dispose(handle);
}
