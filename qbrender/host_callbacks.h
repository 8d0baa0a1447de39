#pragma once

#include "AE_ChannelSuites.h"
#include "AE_Effect.h"
#include "AE_EffectCB.h"
#include "AE_EffectSuites.h"
#include "SPBasic.h"

class EffectSession;

// The host's side of every callback and suite an effect reaches: the C functions behind the
// records of PF_InData, the smart-render extras and the basic suite, each forwarding to the
// session whose command is running.
//
// Callbacks that carry the effect reference find their session through it and refuse any
// other reference; the ones that carry none (memory handles, the basic suite, the string
// functions, the world suite's pixel format) use the session whose command is running. The
// host answers one command at a time, so there is at most one. No exception ever leaves a
// callback: a failure becomes a result code, and an exception the session must see (a layer
// file that cannot be read) is kept for it to rethrow when the command returns.
struct HostCallbacks {
    // Fills the session's utility callbacks and basic suite.
    static void install(EffectSession& session);
    // The session whose command runs now (null between commands).
    static void activate(EffectSession* session);

    static PF_InteractCallbacks interactCallbacks();
    static PF_PreRenderCallbacks preRenderCallbacks();
    static PF_SmartRenderCallbacks smartRenderCallbacks();
};
