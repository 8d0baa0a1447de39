#pragma once

#include "aehost/after_effects_host.h"
#include "aehost/plugin_resource_builder.h"

// The plug-in resource of one effect, from its host class's identity constants (kResourceName,
// kCategory, kMatchName, kVersionMajor/Minor/Revision) and the kit's entry point name and
// global flags, which every effect of the kit shares. An effect's entry source places the
// result in the module's ".pipl" section:
//
//   [[gnu::used]] __attribute__((section(".pipl"))) constexpr auto kPluginResource =
//       effectPluginResource<MyEffectAEHost>();
template <class Host>
constexpr PluginResourceContents effectResourceContents() {
    return {
        Host::kResourceName,
        Host::kCategory,
        AfterEffectsHost::kEntryPointName,
        Host::kMatchName,
        AfterEffectsHost::effectVersion(Host::kVersionMajor, Host::kVersionMinor,
                                        Host::kVersionRevision),
        AfterEffectsHost::kGlobalOutFlags,
        AfterEffectsHost::kGlobalOutFlags2,
    };
}

template <class Host>
constexpr auto effectPluginResource() {
    constexpr PluginResourceContents contents = effectResourceContents<Host>();
    return buildPluginResource<pluginResourceSize(contents)>(contents);
}
