#pragma once

#include <string>
#include <vector>

#include "aehost/after_effects_host.h"

// An effect host that records which handler ran and answers with `answer`. Its identity is
// that of the effects (1.4.7) unless a test gives another revision or description.
class ProbeHost : public AfterEffectsHost {
public:
    explicit ProbeHost(int32_t revision = 7,
                       std::string description_in = "Probe description.\n\nNotice line.\n")
        : AfterEffectsHost("Probe 'Host'", "Quillbrook", std::move(description_in), 1, 4,
                           revision) {}

    std::vector<std::string> calls;
    PF_Err answer = PF_Err_NONE;
    void* last_extra = nullptr;

#define QB_PROBE_HANDLER(method)                                                    \
    PF_Err method(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) override { \
        calls.push_back(#method);                                                   \
        return answer;                                                              \
    }
#define QB_PROBE_HANDLER_EXTRA(method)                                                       \
    PF_Err method(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*, void* e) override { \
        calls.push_back(#method);                                                            \
        last_extra = e;                                                                      \
        return answer;                                                                       \
    }
    QB_PROBE_HANDLER(about)
    QB_PROBE_HANDLER(globalSetup)
    QB_PROBE_HANDLER(globalSetdown)
    QB_PROBE_HANDLER(sequenceSetup)
    QB_PROBE_HANDLER(sequenceResetup)
    QB_PROBE_HANDLER(sequenceSetdown)
    QB_PROBE_HANDLER(sequenceFlatten)
    QB_PROBE_HANDLER_EXTRA(event)
    QB_PROBE_HANDLER_EXTRA(arbitraryCallback)
    QB_PROBE_HANDLER_EXTRA(completelyGeneral)
    QB_PROBE_HANDLER(paramsSetup)
    QB_PROBE_HANDLER_EXTRA(userChangedParam)
    QB_PROBE_HANDLER_EXTRA(updateParamsUI)
    QB_PROBE_HANDLER(frameSetup)
    QB_PROBE_HANDLER(frameSetdown)
    QB_PROBE_HANDLER(queryDynamicFlags)
#undef QB_PROBE_HANDLER
#undef QB_PROBE_HANDLER_EXTRA

    PF_Err render8(const LayerImage&, const LayerImage&, const LayerMap&) override {
        calls.push_back("render8");
        return answer;
    }
    PF_Err render16(const LayerImage&, const LayerImage&, const LayerMap&) override {
        calls.push_back("render16");
        return answer;
    }
    PF_Err renderFloat(const LayerImage&, const LayerImage&, const LayerMap&) override {
        calls.push_back("renderFloat");
        return answer;
    }
};

// The defaults of AfterEffectsHost with only the abstract render operations filled in.
class PlainHost : public AfterEffectsHost {
public:
    explicit PlainHost(int32_t revision = 7,
                       std::string description_in = "Plain description.\n\nNotice line.\n")
        : AfterEffectsHost("Plain 'Host'", "Quillbrook", std::move(description_in), 1, 4,
                           revision) {}

    PF_Err render8(const LayerImage&, const LayerImage&, const LayerMap&) override {
        return noError();
    }
    PF_Err render16(const LayerImage&, const LayerImage&, const LayerMap&) override {
        return noError();
    }
    PF_Err renderFloat(const LayerImage&, const LayerImage&, const LayerMap&) override {
        return noError();
    }
};
