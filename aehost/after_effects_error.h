#pragma once

#include <stdexcept>
#include <string>

#include "AE_Effect.h"

// A host result code raised as an exception, for failures of the host's own machinery that
// leave a handler no way to go on (a suite the host cannot supply). The command boundary
// returns the code to the host.
class AfterEffectsError : public std::runtime_error {
public:
    AfterEffectsError(PF_Err error, const std::string& message)
        : std::runtime_error(message), error_(error) {}

    PF_Err error() const noexcept { return error_; }

private:
    PF_Err error_;
};
