#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "AE_Effect.h"

// Parameters checked out of the host for the length of a render, at the command's current time
// (time step and time scale); every successful checkout is checked in, in reverse order, when
// this ends, also when the render throws. Host thread only.
class ParameterCheckouts {
public:
    // Positions 0 .. kMaxPositions - 1 (0 is the input layer).
    static constexpr int32_t kMaxPositions = 64;

    explicit ParameterCheckouts(PF_InData* in_data);
    ~ParameterCheckouts();
    ParameterCheckouts(const ParameterCheckouts&) = delete;
    ParameterCheckouts& operator=(const ParameterCheckouts&) = delete;

    // Checks `position` out; a refused checkout is logged as
    //   "checkout of parameter <position> failed with <error>"
    // and its error returned. A position outside the capacity gives
    // PF_Err_INTERNAL_STRUCT_DAMAGED.
    PF_Err checkOut(int32_t position);

    // The checked-out record of each position (index = position), null where none was checked
    // out; valid until this ends.
    std::span<const PF_ParamDef* const> byPosition() const { return by_position_; }

private:
    PF_InData* in_data_;
    std::array<PF_ParamDef, kMaxPositions> records_;
    std::array<const PF_ParamDef*, kMaxPositions> by_position_;
    std::vector<int32_t> checked_out_;
};
