#pragma once

#include "qbrender/plugin_library.h"

// The effect called `name` ("zblur", "evenblur") in this build's plug-in folder, with its
// library loaded for the rest of the process.
//
// libFuzzer records the coverage counters of every instrumented library when it is loaded and
// reads them after every input; a plug-in library unloaded when its session ends would leave it
// reading freed memory. Holding one more reference keeps the library mapped however many
// sessions load and unload it.
EffectInfo pinnedEffect(const char* name);
