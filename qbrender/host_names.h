#pragma once

#include <string>

#include "AE_Effect.h"

// Names of the effect protocol's values for messages.

// "PF_Err_OUT_OF_MEMORY (4)"; an unknown code gives "error 1234".
std::string errorText(PF_Err error);

// "PF_Cmd_SMART_RENDER"; an unknown value gives "command 99".
std::string commandName(PF_Cmd command);

// "1.4.7" (with " develop", " alpha" or " beta" for those stages) from a PF_VERSION word.
std::string versionText(A_u_long version);
