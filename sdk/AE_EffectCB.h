#pragma once

// Utility callbacks of the host (PF_InData::utils) and the call macros over them and over the
// interact callbacks. The handle, ANSI and iteration macros expect a variable `in_data` in
// scope, as the host's own macros do.

#include "AE_Effect.h"

// The host's C library: only the string functions are called here; the mathematics slots that
// precede them are placeholders.
typedef struct {
    void* math_procs[15];  // atan, atan2, ceil, cos, exp, fabs, floor, fmod, hypot, log, log10,
                           // pow, sin, sqrt, tan
    int (*sprintf)(A_char* buffer, const A_char* format, ...);
    A_char* (*strcpy)(A_char* destination, const A_char* source);
    void* asin;
    void* acos;
    A_long ansi_procs[1];
} PF_ANSICallbacks;

typedef struct {
    void* procs[8];  // colour space conversions, unused here
} PF_ColorCallbacks;

// Called once per iteration by iterate_generic; thread_indexL tells which host thread runs it.
typedef PF_Err (*PF_IterateGenericFunc)(void* refconPV, A_long thread_indexL, A_long i,
                                        A_long iterationsL);

typedef struct _PF_UtilCallbacks {
    void* image_procs[20];  // sampling, compositing, convolution, copy, fill, iterate, worlds:
                            // unused here
    // Handles are opaque host values: only the host dereferences them. A locked handle's
    // memory stays where it is until it is unlocked.
    PF_Handle (*host_new_handle)(A_u_longlong size);
    void* (*host_lock_handle)(PF_Handle pf_handle);
    void (*host_unlock_handle)(PF_Handle pf_handle);
    void (*host_dispose_handle)(PF_Handle pf_handle);
    void* get_callback_addr;
    void* app;
    PF_ANSICallbacks ansi;
    PF_ColorCallbacks colorCB;
    void* get_platform_data;
    A_u_longlong (*host_get_handle_size)(PF_Handle pf_handle);
    void* iterate_origin_non_clip_src;
    // Calls fn_func iterationsL times (PF_Iterations_ONCE_PER_PROCESSOR: once per host thread),
    // possibly on several threads at once.
    PF_Err (*iterate_generic)(A_long iterationsL, void* refconPV, PF_IterateGenericFunc fn_func);
    PF_Err (*host_resize_handle)(A_u_longlong new_sizeL, PF_Handle* handlePH);
} PF_UtilCallbacks;

#define PF_ADD_PARAM(IN_DATA, INDEX, DEF) \
    ((*(IN_DATA)->inter.add_param)((IN_DATA)->effect_ref, (INDEX), (DEF)))

#define PF_CHECKOUT_PARAM(IN_DATA, INDEX, TIME, STEP, SCALE, PARAM) \
    ((*(IN_DATA)->inter.checkout_param)((IN_DATA)->effect_ref, (INDEX), (TIME), (STEP),  \
                                         (SCALE), (PARAM)))

#define PF_CHECKIN_PARAM(IN_DATA, PARAM) \
    ((*(IN_DATA)->inter.checkin_param)((IN_DATA)->effect_ref, (PARAM)))

#define PF_PROGRESS(IN_DATA, CURR, TOTAL) \
    ((*(IN_DATA)->inter.progress)((IN_DATA)->effect_ref, (CURR), (TOTAL)))

#define PF_ABORT(IN_DATA) ((*(IN_DATA)->inter.abort)((IN_DATA)->effect_ref))

#define PF_NEW_HANDLE(SIZE) (*in_data->utils->host_new_handle)((SIZE))
#define PF_LOCK_HANDLE(H) (*in_data->utils->host_lock_handle)((PF_Handle)(H))
#define PF_UNLOCK_HANDLE(H) (*in_data->utils->host_unlock_handle)((PF_Handle)(H))
#define PF_DISPOSE_HANDLE(H) (*in_data->utils->host_dispose_handle)((PF_Handle)(H))
#define PF_GET_HANDLE_SIZE(H) (*in_data->utils->host_get_handle_size)((PF_Handle)(H))

#define PF_SPRINTF (*in_data->utils->ansi.sprintf)
#define PF_STRCPY(DST, SRC) (*in_data->utils->ansi.strcpy)((DST), (SRC))

#define PF_ITERATE_GENERIC(ITERATIONS, REFCON, FN) \
    (*in_data->utils->iterate_generic)((ITERATIONS), (REFCON), (FN))
