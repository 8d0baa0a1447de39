// The plug-in module's own part: the exported entry point and the plug-in resource.

#include "AE_Effect.h"
#include "aehost/command_boundary.h"
#include "aehost/effect_resource.h"
#include "framework/logger.h"
#include "zblur/zblur_ae_host.h"

namespace {

// Read by the host from the file, before any code of the module runs.
[[gnu::used]] __attribute__((section(".pipl"))) constexpr auto kPluginResource =
    effectPluginResource<ZblurAEHost>();

}  // namespace

// The depth-of-field effect asks the host to redraw its controls after every smart render, so
// that the depth picker's results show.
extern "C" __attribute__((visibility("default"))) PF_Err EntryPointFunc(
    PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
    PF_LayerDef* output, void* extra) {
    Logger::instance().setFileName(ZblurAEHost::kLogFileName);
    return runEffectCommand<ZblurAEHost>(cmd, in_data, out_data, params, output, extra,
                                         PF_OutFlag_REFRESH_UI);
}
