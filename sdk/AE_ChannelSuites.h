#pragma once

// Auxiliary channels of a layer (depth and the like), reached through the basic suite.

#include "AE_Effect.h"

#define kPFChannelSuite1 "PF AE Channel Suite"
#define kPFChannelSuiteVersion1 1

typedef A_long PF_ChannelType;
typedef A_long PF_DataType;
typedef A_long PF_ChannelIndex;

// Four-character codes.
enum {
    PF_ChannelType_DEPTH = 0x44505448  // 'DPTH': distance from the camera per pixel
};

enum {
    PF_DataType_FLOAT = 0x464C5434,   // 'FLT4': 32-bit float per value
    PF_DataType_DOUBLE = 0x44424C38   // 'DBL8': 64-bit float per value
};

#define PF_CHANNEL_NAME_LEN 63

// Opaque to the plug-in: filled by the host, passed back unchanged.
typedef struct {
    A_intptr_t opaque[8];
} PF_ChannelRef, *PF_ChannelRefPtr;

typedef struct {
    PF_ChannelType channel_type;
    A_char name[PF_CHANNEL_NAME_LEN + 1];
    PF_DataType data_type;
    A_long dimension;  // values per pixel
} PF_ChannelDesc;

// A checked-out channel: heightL rows of widthL values, row r at dataPV + r * row_bytesL.
typedef struct {
    PF_ChannelRef channel_ref;
    A_long widthL;
    A_long heightL;
    A_long dimensionL;
    A_long row_bytesL;
    PF_DataType data_type;
    PF_Handle dataH;
    void* dataPV;
} PF_ChannelChunk;

typedef struct PF_ChannelSuite1 {
    SPAPI PF_Err (*PF_GetLayerChannelCount)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                                            A_long* num_channelsP);
    SPAPI PF_Err (*PF_GetLayerChannelIndexedRefAndDesc)(PF_ProgPtr effect_ref,
                                                        PF_ParamIndex param_index,
                                                        PF_ChannelIndex channel_index,
                                                        PF_Boolean* foundPB,
                                                        PF_ChannelRef* channel_refP,
                                                        PF_ChannelDesc* channel_descP);
    SPAPI PF_Err (*PF_GetLayerChannelTypedRefAndDesc)(PF_ProgPtr effect_ref,
                                                      PF_ParamIndex param_index,
                                                      PF_ChannelType channel_type,
                                                      PF_Boolean* foundPB,
                                                      PF_ChannelRef* channel_refP,
                                                      PF_ChannelDesc* channel_descP);
    SPAPI PF_Err (*PF_CheckoutLayerChannel)(PF_ProgPtr effect_ref, PF_ChannelRefPtr channel_refP,
                                            A_long what_time, A_long duration,
                                            A_u_long time_scale, PF_DataType data_type,
                                            PF_ChannelChunk* channel_chunkP);
    SPAPI PF_Err (*PF_CheckinLayerChannel)(PF_ProgPtr effect_ref, PF_ChannelRefPtr channel_refP,
                                           PF_ChannelChunk* channel_chunkP);
} PF_ChannelSuite1;
