// The plug-in module's own part: the exported entry point and the plug-in resource.

#include "AE_Effect.h"
#include "aehost/command_boundary.h"
#include "aehost/effect_resource.h"
#include "evenblur/evenblur_ae_host.h"
#include "framework/logger.h"

namespace {

// Read by the host from the file, before any code of the module runs.
[[gnu::used]] __attribute__((section(".pipl"))) constexpr auto kPluginResource =
    effectPluginResource<EvenblurAEHost>();

}  // namespace

extern "C" __attribute__((visibility("default"))) PF_Err EntryPointFunc(
    PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
    PF_LayerDef* output, void* extra) {
    Logger::instance().setFileName(EvenblurAEHost::kLogFileName);
    return runEffectCommand<EvenblurAEHost>(cmd, in_data, out_data, params, output, extra);
}
