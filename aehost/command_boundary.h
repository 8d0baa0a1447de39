#pragma once

#include "AE_Effect.h"

// The one place where exceptions end. Every effect's EntryPointFunc runs its command through
// runEffectCommand, so that nothing unwinds into the host:
//   std::bad_alloc                    -> PF_Err_OUT_OF_MEMORY (4)
//   QuillbrookAbort                   -> PF_Interrupt_CANCEL (517)
//   QuillbrookException               -> warning entry, PF_Err_INTERNAL_STRUCT_DAMAGED (512)
//   AfterEffectsError (missing suite) -> its code, normally PF_Err_BAD_CALLBACK_PARAM (516)
//   anything else                     -> warning entry, PF_Err_INTERNAL_STRUCT_DAMAGED (512)
// A failure is never reported as success. The effect host object lives inside the guarded
// call, so its destructor (which stops the worker threads) has run before the code returns.

using CommandBody = PF_Err (*)(void* context);

// Runs body(context) and maps whatever it throws.
PF_Err guardCommand(CommandBody body, void* context) noexcept;

// Builds an EffectHost (default constructible) for one command, ORs `smart_render_out_flags`
// into out_data's out_flags when the command is PF_Cmd_SMART_RENDER, dispatches and destroys
// the object.
template <class EffectHost>
PF_Err runEffectCommand(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                        PF_LayerDef* output, void* extra,
                        PF_OutFlags smart_render_out_flags = PF_OutFlag_NONE) noexcept {
    struct Command {
        PF_Cmd cmd;
        PF_InData* in_data;
        PF_OutData* out_data;
        PF_ParamDef** params;
        PF_LayerDef* output;
        void* extra;
        PF_OutFlags smart_render_out_flags;
    } command{cmd, in_data, out_data, params, output, extra, smart_render_out_flags};

    return guardCommand(
        [](void* context) -> PF_Err {
            Command& c = *static_cast<Command*>(context);
            if (c.cmd == PF_Cmd_SMART_RENDER && c.out_data != nullptr) {
                c.out_data->out_flags |= c.smart_render_out_flags;
            }
            EffectHost host;
            return host.dispatch(c.cmd, c.in_data, c.out_data, c.params, c.output, c.extra);
        },
        &command);
}
