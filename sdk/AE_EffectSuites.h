#pragma once

// Effect suites reached through the basic suite: parameter utilities and worlds.

#include "AE_Effect.h"

#define kPFParamUtilsSuite "PF Param Utils Suite"
#define kPFParamUtilsSuiteVersion1 1

// Only the leading members that the plug-ins call are declared; the host's table may be longer.
typedef struct PF_ParamUtilsSuite1 {
    // Pushes a changed parameter record (ui_flags, name, ...) at param_index to the host's
    // controls. Not allowed during rendering.
    SPAPI PF_Err (*PF_UpdateParamUI)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                                     const PF_ParamDef* defP);
} PF_ParamUtilsSuite1;

#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion2 2

// Four-character codes: 'argb' 8 bits, 'ae16' 16 bits, 'ae32' float per channel, all with
// channels in the order alpha, red, green, blue.
enum PF_PixelFormat : A_long {
    PF_PixelFormat_ARGB32 = 0x61726762,   // 'argb'
    PF_PixelFormat_ARGB64 = 0x61653136,   // 'ae16'
    PF_PixelFormat_ARGB128 = 0x61653332   // 'ae32'
};

typedef struct PF_WorldSuite2 {
    SPAPI PF_Err (*PF_NewWorld)(PF_ProgPtr effect_ref, A_long widthL, A_long heightL,
                                PF_Boolean clear_pixB, PF_PixelFormat pixel_format,
                                PF_EffectWorld* worldP);
    SPAPI PF_Err (*PF_DisposeWorld)(PF_ProgPtr effect_ref, PF_EffectWorld* worldP);
    SPAPI PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld* worldP, PF_PixelFormat* pixel_formatP);
} PF_WorldSuite2;
