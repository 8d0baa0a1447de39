#include "fuzz/fuzz_effects.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "qbrender/options.h"

EffectInfo pinnedEffect(const char* name) {
    EffectInfo info = resolveEffect(name, defaultPluginDir());
    if (dlopen(info.path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE) == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", info.path.c_str(), dlerror());
        std::abort();
    }
    return info;
}
