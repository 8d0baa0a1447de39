#include "aehost/suite_handler.h"

#include <string>

#include "aehost/after_effects_error.h"

SuiteHandler::~SuiteHandler() {
    for (Slot* slot : {&param_utils_, &world_, &channel_}) {
        if (slot->suite != nullptr && basic_->ReleaseSuite != nullptr) {
            basic_->ReleaseSuite(slot->name, slot->version);
        }
    }
}

const void* SuiteHandler::tryAcquire(Slot& slot) noexcept {
    if (slot.suite != nullptr) return slot.suite;
    if (basic_ == nullptr || basic_->AcquireSuite == nullptr) return nullptr;
    const void* suite = nullptr;
    if (basic_->AcquireSuite(slot.name, slot.version, &suite) != kSPNoError || suite == nullptr) {
        return nullptr;
    }
    slot.suite = suite;
    return suite;
}

const void* SuiteHandler::acquire(Slot& slot) {
    const void* suite = tryAcquire(slot);
    if (suite == nullptr) {
        throw AfterEffectsError(PF_Err_BAD_CALLBACK_PARAM,
                                std::string("acquire suite \"") + slot.name + "\" version " +
                                    std::to_string(slot.version) +
                                    (basic_ == nullptr ? ": the host gave no basic suite"
                                                       : ": not supplied by the host"));
    }
    return suite;
}

const PF_ParamUtilsSuite1* SuiteHandler::paramUtilsSuite() {
    return static_cast<const PF_ParamUtilsSuite1*>(acquire(param_utils_));
}

const PF_WorldSuite2* SuiteHandler::worldSuite() {
    return static_cast<const PF_WorldSuite2*>(acquire(world_));
}

const PF_ChannelSuite1* SuiteHandler::channelSuite() {
    return static_cast<const PF_ChannelSuite1*>(acquire(channel_));
}

const PF_ParamUtilsSuite1* SuiteHandler::tryParamUtilsSuite() noexcept {
    return static_cast<const PF_ParamUtilsSuite1*>(tryAcquire(param_utils_));
}

const PF_WorldSuite2* SuiteHandler::tryWorldSuite() noexcept {
    return static_cast<const PF_WorldSuite2*>(tryAcquire(world_));
}

const PF_ChannelSuite1* SuiteHandler::tryChannelSuite() noexcept {
    return static_cast<const PF_ChannelSuite1*>(tryAcquire(channel_));
}
