#pragma once

#include "tests/support/ae_test_host.h"
#include "zblur/zblur_parameters.h"

// Gives the test host the effect's 56 parameter records at their defaults (position 0 the
// input layer).
inline void setZblurDefaults(AETestHost& host) {
    host.setParameterCount(kZblurParameterCount);
    for (const ParameterSpec& spec : zblurParameterTable()) {
        host.parameters[size_t(spec.position)] = parameterDef(spec);
    }
}
