#include "aehost/after_effects_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "AE_EffectSuites.h"
#include "framework/logger.h"
#include "aehost/suite_handler.h"

namespace {

// A host memory block: the handle sits in the pointer-sized slot just before the payload, and
// the payload starts on a 16-byte boundary at least 16 bytes into the locked handle, whatever
// alignment the host gives. 64-bit handles are kept whole.
constexpr size_t kBlockAlignment = 16;
constexpr size_t kBlockHeader =
    (sizeof(PF_Handle) + kBlockAlignment - 1) / kBlockAlignment * kBlockAlignment;
constexpr size_t kBlockOverhead = kBlockHeader + kBlockAlignment - 1;

// Guards the per-processor counters of every plug-in object in the process: the host may run
// the counting callback on several threads at once.
std::mutex processor_count_lock;

PF_Err countProcessor(void* refcon, A_long thread_index, A_long i, A_long iterations) {
    (void)thread_index;
    (void)i;
    (void)iterations;
    std::lock_guard<std::mutex> guard(processor_count_lock);
    ++*static_cast<int32_t*>(refcon);
    return PF_Err_NONE;
}

bool hasHandleCallbacks(const PF_InData* in_data) {
    return in_data != nullptr && in_data->utils != nullptr &&
           in_data->utils->host_new_handle != nullptr &&
           in_data->utils->host_lock_handle != nullptr &&
           in_data->utils->host_unlock_handle != nullptr &&
           in_data->utils->host_dispose_handle != nullptr;
}

}  // namespace

AfterEffectsHost::AfterEffectsHost(std::string name_in, std::string category_in,
                                   std::string description_in, int32_t version_major_in,
                                   int32_t version_minor_in, int32_t version_revision_in)
    : QuillbrookHost(std::move(name_in), std::move(category_in), std::move(description_in),
                     version_major_in, version_minor_in, version_revision_in),
      host_thread_(std::this_thread::get_id()) {}

AfterEffectsHost::~AfterEffectsHost() = default;

int32_t AfterEffectsHost::progress(int32_t current, int32_t total) {
    if (!onHostThread()) {
        return pending_error.load() == noError() ? noError() : abortError();
    }
    if (command.in_data == nullptr || command.in_data->inter.progress == nullptr) return noError();
    const PF_Err result = PF_PROGRESS(command.in_data, current, total);
    if (result != noError()) pending_error.store(result);
    return result;
}

void* AfterEffectsHost::allocate(size_t bytes) {
    if (bytes > std::numeric_limits<size_t>::max() - kBlockOverhead) return nullptr;
    std::lock_guard<std::mutex> guard(handle_lock);
    PF_InData* const in_data = command.in_data;  // the SDK's handle macros name it
    if (!hasHandleCallbacks(command.in_data)) return nullptr;
    PF_Handle handle = PF_NEW_HANDLE(A_u_longlong(bytes + kBlockOverhead));
    if (handle == nullptr) return nullptr;
    auto* base = static_cast<unsigned char*>(PF_LOCK_HANDLE(handle));
    if (base == nullptr) {
        PF_DISPOSE_HANDLE(handle);
        return nullptr;
    }
    const uintptr_t misalignment =
        reinterpret_cast<uintptr_t>(base + kBlockHeader) % kBlockAlignment;
    unsigned char* payload =
        base + kBlockHeader + (misalignment == 0 ? 0 : kBlockAlignment - misalignment);
    std::memcpy(payload - sizeof(PF_Handle), &handle, sizeof(PF_Handle));
    return payload;
}

void AfterEffectsHost::release(void* block) {
    if (block == nullptr) return;
    PF_Handle handle = nullptr;
    std::memcpy(&handle, static_cast<unsigned char*>(block) - sizeof(PF_Handle), sizeof(PF_Handle));
    std::lock_guard<std::mutex> guard(handle_lock);
    PF_InData* const in_data = command.in_data;  // the SDK's handle macros name it
    if (!hasHandleCallbacks(command.in_data)) return;
    PF_UNLOCK_HANDLE(handle);
    PF_DISPOSE_HANDLE(handle);
}

int32_t AfterEffectsHost::threadCount(int32_t maximum) {
    int32_t n = 0;
    const bool can_iterate = command.in_data != nullptr && command.in_data->utils != nullptr &&
                             command.in_data->utils->iterate_generic != nullptr;
    if (can_iterate && onHostThread()) {
        int32_t calls = 0;
        PF_InData* const in_data = command.in_data;  // the SDK's iterate macro names it
        PF_ITERATE_GENERIC(PF_Iterations_ONCE_PER_PROCESSOR, &calls, countProcessor);
        {
            std::lock_guard<std::mutex> guard(processor_count_lock);
            n = calls;
        }
        host_processors_.store(std::max(n, 1));
    } else if (can_iterate && host_processors_.load() > 0) {
        n = host_processors_.load();
    } else {
        n = systemThreadCount();
        if (maximum > 0 && n >= maximum) n = maximum;
    }
    if (maximum > 0 && n > maximum) n = maximum;
    return std::clamp(n, int32_t(1), ThreadPool::kMaxThreads);
}

int32_t AfterEffectsHost::runParallel(int32_t count, void* object, ParallelCallback callback) {
    // A run started from a worker goes inline on that worker, inside the host thread's run:
    // the pending error belongs to that outer run, and only the host thread writes it.
    if (!onHostThread()) return runOnPool(count, object, callback);
    // Clears the error of the run on every way out, an exception from an item included.
    struct ClearPendingError {
        AfterEffectsHost& host;
        ~ClearPendingError() { host.pending_error.store(host.noError()); }
    };
    pending_error.store(noError());
    ClearPendingError clear{*this};
    return runOnPool(count, object, callback);
}

double AfterEffectsHost::currentFrame() {
    if (command.in_data == nullptr || command.in_data->local_time_step == 0) return 0.0;
    return double(command.in_data->current_time) / double(command.in_data->local_time_step);
}

double AfterEffectsHost::layerFrame(const std::string& layer_name) {
    (void)layer_name;
    return currentFrame();
}

PF_Err AfterEffectsHost::dispatch(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                  PF_ParamDef* params[], PF_LayerDef* output, void* extra) {
    PF_Err result = noError();
    this->command.in_data = in_data;
    this->command.out_data = out_data;
    this->command.params = params;
    this->command.output = output;
    this->command.extra = extra;
    host_thread_ = std::this_thread::get_id();

    switch (cmd) {
        case PF_Cmd_ABOUT:
            result = about(in_data, out_data, params, output);
            break;
        case PF_Cmd_GLOBAL_SETUP:
            result = globalSetup(in_data, out_data, params, output);
            break;
        case PF_Cmd_GLOBAL_SETDOWN:
            result = globalSetdown(in_data, out_data, params, output);
            break;
        case PF_Cmd_PARAMS_SETUP:
            result = paramsSetup(in_data, out_data, params, output);
            break;
        case PF_Cmd_SEQUENCE_SETUP:
            result = sequenceSetup(in_data, out_data, params, output);
            break;
        case PF_Cmd_SEQUENCE_RESETUP:
            result = sequenceResetup(in_data, out_data, params, output);
            break;
        case PF_Cmd_SEQUENCE_FLATTEN:
            result = sequenceFlatten(in_data, out_data, params, output);
            break;
        case PF_Cmd_SEQUENCE_SETDOWN:
            result = sequenceSetdown(in_data, out_data, params, output);
            break;
        case PF_Cmd_FRAME_SETUP:
            result = frameSetup(in_data, out_data, params, output);
            break;
        case PF_Cmd_RENDER:
            LogEntry(Logger::kInfo) << "PF_Cmd_RENDER\n";
            result = classicRender();
            break;
        case PF_Cmd_FRAME_SETDOWN:
            result = frameSetdown(in_data, out_data, params, output);
            break;
        case PF_Cmd_USER_CHANGED_PARAM:
            result = userChangedParam(in_data, out_data, params, output, extra);
            break;
        case PF_Cmd_UPDATE_PARAMS_UI:
            result = updateParamsUI(in_data, out_data, params, output, extra);
            break;
        case PF_Cmd_EVENT:
            result = event(in_data, out_data, params, output, extra);
            break;
        case PF_Cmd_COMPLETELY_GENERAL:
            result = completelyGeneral(in_data, out_data, params, output, extra);
            break;
        case PF_Cmd_QUERY_DYNAMIC_FLAGS:
            result = queryDynamicFlags(in_data, out_data, params, output);
            break;
        case PF_Cmd_ARBITRARY_CALLBACK:
            result = arbitraryCallback(in_data, out_data, params, output, extra);
            break;
        case PF_Cmd_SMART_PRE_RENDER:
            LogEntry(Logger::kInfo) << "PF_Cmd_SMART_PRE_RENDER\n";
            result = smartPreRender(static_cast<PF_PreRenderExtra*>(extra));
            break;
        case PF_Cmd_SMART_RENDER:
            LogEntry(Logger::kInfo) << "PF_Cmd_SMART_RENDER\n";
            result = smartRender(static_cast<PF_SmartRenderExtra*>(extra));
            break;
        // Dialogs, audio, external dependencies and reserved commands are not answered.
        case PF_Cmd_UNUSED_0:
        case PF_Cmd_DO_DIALOG:
        case PF_Cmd_GET_EXTERNAL_DEPENDENCIES:
        case PF_Cmd_AUDIO_RENDER:
        case PF_Cmd_AUDIO_SETUP:
        case PF_Cmd_AUDIO_SETDOWN:
        case PF_Cmd_RESERVED1:
        case PF_Cmd_RESERVED2:
            break;
    }
    return result;
}

PF_Err AfterEffectsHost::about(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                               PF_LayerDef* output) {
    (void)params;
    (void)output;
    if (out_data == nullptr) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    const std::string title = name + " ";
    const bool with_revision = version_revision != 0;

    // The message buffer holds PF_MAX_EFFECT_MSG_LEN characters: a description that would not
    // fit is cut so that the host's sprintf cannot write past it.
    const size_t capacity = sizeof(out_data->return_msg);
    const int head_length =
        with_revision
            ? std::snprintf(nullptr, 0, "%s v%d.%d.%d\r", title.c_str(), version_major,
                            version_minor, version_revision)
            : std::snprintf(nullptr, 0, "%s v%d.%d\r", title.c_str(), version_major, version_minor);
    if (head_length < 0 || size_t(head_length) >= capacity) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    const std::string text = description.substr(0, capacity - 1 - size_t(head_length));

    const bool host_sprintf =
        in_data != nullptr && in_data->utils != nullptr && in_data->utils->ansi.sprintf != nullptr;
    if (host_sprintf) {
        if (with_revision) {
            PF_SPRINTF(out_data->return_msg, "%s v%d.%d.%d\r%s", title.c_str(), version_major,
                       version_minor, version_revision, text.c_str());
        } else {
            PF_SPRINTF(out_data->return_msg, "%s v%d.%d\r%s", title.c_str(), version_major,
                       version_minor, text.c_str());
        }
    } else if (with_revision) {
        std::snprintf(out_data->return_msg, capacity, "%s v%d.%d.%d\r%s", title.c_str(),
                      version_major, version_minor, version_revision, text.c_str());
    } else {
        std::snprintf(out_data->return_msg, capacity, "%s v%d.%d\r%s", title.c_str(), version_major,
                      version_minor, text.c_str());
    }
    return noError();
}

PF_Err AfterEffectsHost::globalSetup(PF_InData* in_data, PF_OutData* out_data,
                                     PF_ParamDef* params[], PF_LayerDef* output) {
    (void)params;
    (void)output;
    if (in_data == nullptr || out_data == nullptr) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    out_data->my_version = effectVersion(version_major, version_minor, version_revision);
    out_data->out_flags = kGlobalOutFlags;
    // Older hosts do not know the second flag word and keep their own value in it.
    const PF_SpecVersion api = in_data->version;
    if (api.major > 12 || (api.major == 12 && api.minor >= 5)) {
        out_data->out_flags2 = kGlobalOutFlags2;
    }
    return noError();
}

PF_Err AfterEffectsHost::globalSetdown(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) {
    return noError();
}

PF_Err AfterEffectsHost::sequenceSetup(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) {
    return noError();
}

PF_Err AfterEffectsHost::sequenceResetup(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) {
    return noError();
}

PF_Err AfterEffectsHost::sequenceSetdown(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) {
    return noError();
}

PF_Err AfterEffectsHost::sequenceFlatten(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) {
    return noError();
}

PF_Err AfterEffectsHost::event(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*, void*) {
    return noError();
}

PF_Err AfterEffectsHost::arbitraryCallback(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                                           void*) {
    return noError();
}

PF_Err AfterEffectsHost::completelyGeneral(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                                           void*) {
    return noError();
}

PF_Err AfterEffectsHost::paramsSetup(PF_InData* in_data, PF_OutData* out_data,
                                     PF_ParamDef* params[], PF_LayerDef* output) {
    (void)in_data;
    (void)params;
    (void)output;
    if (out_data == nullptr) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    out_data->num_params = 1;
    return noError();
}

PF_Err AfterEffectsHost::userChangedParam(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                                          void*) {
    return noError();
}

PF_Err AfterEffectsHost::updateParamsUI(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                                        void*) {
    return noError();
}

PF_Err AfterEffectsHost::frameSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                    PF_LayerDef* output) {
    (void)in_data;
    (void)params;
    (void)output;
    if (out_data == nullptr) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    out_data->origin.h = 0;
    out_data->origin.v = 0;
    return noError();
}

PF_Err AfterEffectsHost::frameSetdown(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) {
    return noError();
}

PF_Err AfterEffectsHost::queryDynamicFlags(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) {
    return noError();
}

int32_t AfterEffectsHost::helperLayer(int32_t index, std::string* name_out) const {
    const std::span<const HelperLayer> helpers = helperLayers();
    if (index < 0 || size_t(index) >= helpers.size()) return -1;
    if (name_out != nullptr) *name_out = helpers[size_t(index)].name;
    return helpers[size_t(index)].position;
}

void AfterEffectsHost::adjustLayerRequest(const std::string& layer_name, Rectangle* request,
                                          Rectangle proposed, double*, const double*, double,
                                          double, double, int32_t, int32_t) {
    if (request == nullptr) return;
    for (const HelperLayer& helper : helperLayers()) {
        if (helper.whole && layer_name == helper.name) *request = proposed;
    }
}

PF_Err AfterEffectsHost::parameterSetupError(const PF_InData* in_data, const PF_OutData* out_data) {
    if (in_data == nullptr || out_data == nullptr || in_data->inter.add_param == nullptr) {
        return PF_Err_INVALID_CALLBACK;
    }
    return PF_Err_NONE;
}

bool AfterEffectsHost::hostKnowsLayers() const {
    const PF_SpecVersion version = command.in_data->version;
    return version.major > 12 || (version.major == 12 && version.minor >= 5);
}

bool AfterEffectsHost::layerConnected(int32_t position) {
    if (command.in_data->inter.checkout_param == nullptr) return false;
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    const PF_Err error =
        PF_CHECKOUT_PARAM(command.in_data, position, command.in_data->current_time,
                          command.in_data->time_step, command.in_data->time_scale, &def);
    if (error != PF_Err_NONE) return false;
    const bool connected = def.u.ld.data != nullptr;
    PF_CHECKIN_PARAM(command.in_data, &def);
    return connected;
}

bool AfterEffectsHost::isPremiere() const {
    return command.in_data != nullptr && command.in_data->appl_id == kPremiereApplicationId;
}

PF_Err AfterEffectsHost::setParamEnabled(int32_t position, bool enabled) {
    if (command.in_data == nullptr || command.params == nullptr || position < 0 ||
        position >= command.in_data->num_params || command.params[position] == nullptr) {
        return PF_Err_INVALID_INDEX;
    }
    PF_ParamDef* param = command.params[position];
    if (enabled) {
        param->ui_flags &= ~PF_ParamUIFlags(PF_PUI_DISABLED);
    } else {
        param->ui_flags |= PF_PUI_DISABLED;
    }
    if (isPremiere() && param->param_type != PF_Param_LAYER) return noError();

    SuiteHandler suites(command.in_data->pica_basicP);
    const PF_ParamUtilsSuite1* param_utils = suites.paramUtilsSuite();
    if (param_utils->PF_UpdateParamUI == nullptr) return PF_Err_INVALID_CALLBACK;
    // The host wants a record of its own for the update, not the one it handed in.
    const PF_ParamDef copy = *param;
    return param_utils->PF_UpdateParamUI(command.in_data->effect_ref, position, &copy);
}
