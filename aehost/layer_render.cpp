#include "after_effects_host.h"

// The three render paths of the binding. Layer checkout, the LayerImage descriptions and the
// call of render8 / render16 / renderFloat are not wired yet: each path answers success and
// leaves the output world as the host gave it.

PF_Err AfterEffectsHost::classicRender() { return noError(); }

PF_Err AfterEffectsHost::smartPreRender(PF_PreRenderExtra* pre_render) {
    (void)pre_render;
    return noError();
}

PF_Err AfterEffectsHost::smartRender(PF_SmartRenderExtra* smart_render) {
    (void)smart_render;
    return noError();
}
