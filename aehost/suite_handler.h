#pragma once

#include "AE_ChannelSuites.h"
#include "AE_EffectSuites.h"
#include "SPBasic.h"

// Host suites for the length of one operation: each suite is acquired from the basic suite by
// name and version on first use, kept, and released with all others when the handler ends.
// The plain accessors throw AfterEffectsError with PF_Err_BAD_CALLBACK_PARAM when the host has
// no basic suite or cannot supply the suite; the try... accessors return null instead, for
// steps that are skipped without the suite. Host thread only.
class SuiteHandler {
public:
    explicit SuiteHandler(SPBasicSuite* basic) noexcept : basic_(basic) {}
    ~SuiteHandler();
    SuiteHandler(const SuiteHandler&) = delete;
    SuiteHandler& operator=(const SuiteHandler&) = delete;

    const PF_ParamUtilsSuite1* paramUtilsSuite();
    const PF_WorldSuite2* worldSuite();
    const PF_ChannelSuite1* channelSuite();

    const PF_ParamUtilsSuite1* tryParamUtilsSuite() noexcept;
    const PF_WorldSuite2* tryWorldSuite() noexcept;
    const PF_ChannelSuite1* tryChannelSuite() noexcept;

private:
    struct Slot {
        const char* name;
        A_long version;
        const void* suite = nullptr;
    };

    const void* tryAcquire(Slot& slot) noexcept;
    const void* acquire(Slot& slot);

    SPBasicSuite* basic_;
    Slot param_utils_{kPFParamUtilsSuite, kPFParamUtilsSuiteVersion1};
    Slot world_{kPFWorldSuite, kPFWorldSuiteVersion2};
    Slot channel_{kPFChannelSuite1, kPFChannelSuiteVersion1};
};
