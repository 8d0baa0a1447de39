#include "aehost/parameter_checkouts.h"

#include <cstring>

#include "AE_EffectCB.h"
#include "framework/logger.h"

ParameterCheckouts::ParameterCheckouts(PF_InData* in_data) : in_data_(in_data) {
    by_position_.fill(nullptr);
    checked_out_.reserve(size_t(kMaxPositions));
}

ParameterCheckouts::~ParameterCheckouts() {
    for (auto it = checked_out_.rbegin(); it != checked_out_.rend(); ++it) {
        PF_CHECKIN_PARAM(in_data_, &records_[size_t(*it)]);
    }
}

PF_Err ParameterCheckouts::checkOut(int32_t position) {
    if (position < 0 || position >= kMaxPositions || by_position_[size_t(position)] != nullptr) {
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
    PF_ParamDef& def = records_[size_t(position)];
    std::memset(&def, 0, sizeof def);
    const PF_Err error = PF_CHECKOUT_PARAM(in_data_, position, in_data_->current_time,
                                           in_data_->time_step, in_data_->time_scale, &def);
    if (error != PF_Err_NONE) {
        LogEntry(Logger::kError) << Logger::kErrorPrefix << "checkout of parameter " << position
                                 << " failed with " << error << "\n";
        return error;
    }
    checked_out_.push_back(position);
    by_position_[size_t(position)] = &def;
    return PF_Err_NONE;
}
