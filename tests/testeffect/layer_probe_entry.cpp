#include "AE_Effect.h"
#include "aehost/command_boundary.h"
#include "tests/testeffect/layer_probe_ae_host.h"
#include "aehost/plugin_resource_builder.h"

namespace {

#ifdef QB_PROBE_WITHOUT_HELPER_LAYERS
constexpr const char* kName = "QB Plain Probe";
constexpr const char* kMatchName = "MTQB Plain Probe";
#else
constexpr const char* kName = "QB Layer Probe";
constexpr const char* kMatchName = "MTQB Layer Probe";
#endif

constexpr PluginResourceContents kResourceContents{
    kName,
    "Quillbrook",
    AfterEffectsHost::kEntryPointName,
    kMatchName,
    AfterEffectsHost::effectVersion(1, 4, 7),
    uint32_t(AfterEffectsHost::kGlobalOutFlags),
    uint32_t(AfterEffectsHost::kGlobalOutFlags2),
};

// Read by the host from the file before any code runs.
[[gnu::used, gnu::section(".pipl")]] const auto kPluginResource =
    buildPluginResource<pluginResourceSize(kResourceContents)>(kResourceContents);

}  // namespace

extern "C" __attribute__((visibility("default"))) PF_Err EntryPointFunc(
    PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
    PF_LayerDef* output, void* extra) {
    return runEffectCommand<LayerProbeAEHost>(cmd, in_data, out_data, params, output, extra);
}
