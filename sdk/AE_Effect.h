#pragma once

// Effect command protocol of the host: commands, result codes, flags, and the records that
// EntryPointFunc receives. Layouts follow the host's, field for field; callback slots that no
// part of this project calls are kept as untyped placeholders so that the used ones sit where
// the host puts them. Written for C++: the command and pixel-format enumerations have a fixed
// 32-bit underlying type so that a switch over them is checked for completeness.

#include "A.h"
#include "SPBasic.h"

// ---- Scalars ------------------------------------------------------------------------------

typedef A_long PF_Err;
typedef A_long PF_Fixed;     // 16.16 fixed point
typedef A_u_long PF_UFixed;  // unsigned 16.16 fixed point
typedef A_char PF_Boolean;
typedef A_FpLong PF_FpLong;
typedef A_FpShort PF_FpShort;
typedef void** PF_Handle;
typedef struct _PF_ProgressInfo* PF_ProgPtr;  // opaque effect reference, passed back to the host

typedef A_long PF_ParamIndex;
typedef A_long PF_ParamValue;
typedef A_long PF_ParamType;
typedef A_long PF_ParamFlags;
typedef A_long PF_ParamUIFlags;
typedef A_long PF_ChangeFlags;
typedef A_long PF_OutFlags;
typedef A_long PF_OutFlags2;
typedef A_long PF_InFlags;
typedef A_long PF_Quality;
typedef A_long PF_Field;
typedef A_long PF_WorldFlags;
typedef A_long PF_ChannelMask;
typedef A_short PF_RenderOutputFlags;
typedef A_long PF_GPU_Framework;

#define PF_Fixed_MINVAL ((PF_Fixed)0x80000000)
#define PF_Fixed_MAXVAL ((PF_Fixed)0x7fffffff)

// ---- Version -----------------------------------------------------------------------------

enum {
    PF_Stage_DEVELOP = 0,
    PF_Stage_ALPHA = 1,
    PF_Stage_BETA = 2,
    PF_Stage_RELEASE = 3
};

#define PF_Vers_BUILD_BITS 0x1ffU
#define PF_Vers_BUILD_SHIFT 0
#define PF_Vers_STAGE_BITS 0x3U
#define PF_Vers_STAGE_SHIFT 9
#define PF_Vers_BUGFIX_BITS 0xfU
#define PF_Vers_BUGFIX_SHIFT 11
#define PF_Vers_SUBVERS_BITS 0xfU
#define PF_Vers_SUBVERS_SHIFT 15
#define PF_Vers_VERS_BITS 0x7U
#define PF_Vers_VERS_SHIFT 19

// The effect version word of PF_OutData::my_version and of the plug-in resource:
// 1.4.7 release build 0 is 0xA3E00.
#define PF_VERSION(VERS, SUBVERS, BUGVERS, STAGE, BUILD)                                   \
    ((A_u_long)((((A_u_long)(VERS) & PF_Vers_VERS_BITS) << PF_Vers_VERS_SHIFT) |          \
                (((A_u_long)(SUBVERS) & PF_Vers_SUBVERS_BITS) << PF_Vers_SUBVERS_SHIFT) | \
                (((A_u_long)(BUGVERS) & PF_Vers_BUGFIX_BITS) << PF_Vers_BUGFIX_SHIFT) |   \
                (((A_u_long)(STAGE) & PF_Vers_STAGE_BITS) << PF_Vers_STAGE_SHIFT) |       \
                (((A_u_long)(BUILD) & PF_Vers_BUILD_BITS) << PF_Vers_BUILD_SHIFT)))

// ---- Commands ----------------------------------------------------------------------------

enum PF_Cmd : A_long {
    PF_Cmd_ABOUT = 0,
    PF_Cmd_GLOBAL_SETUP = 1,
    PF_Cmd_UNUSED_0 = 2,
    PF_Cmd_GLOBAL_SETDOWN = 3,
    PF_Cmd_PARAMS_SETUP = 4,
    PF_Cmd_SEQUENCE_SETUP = 5,
    PF_Cmd_SEQUENCE_RESETUP = 6,
    PF_Cmd_SEQUENCE_FLATTEN = 7,
    PF_Cmd_SEQUENCE_SETDOWN = 8,
    PF_Cmd_DO_DIALOG = 9,
    PF_Cmd_FRAME_SETUP = 10,
    PF_Cmd_RENDER = 11,
    PF_Cmd_FRAME_SETDOWN = 12,
    PF_Cmd_USER_CHANGED_PARAM = 13,
    PF_Cmd_UPDATE_PARAMS_UI = 14,
    PF_Cmd_EVENT = 15,
    PF_Cmd_GET_EXTERNAL_DEPENDENCIES = 16,
    PF_Cmd_COMPLETELY_GENERAL = 17,
    PF_Cmd_QUERY_DYNAMIC_FLAGS = 18,
    PF_Cmd_AUDIO_RENDER = 19,
    PF_Cmd_AUDIO_SETUP = 20,
    PF_Cmd_AUDIO_SETDOWN = 21,
    PF_Cmd_ARBITRARY_CALLBACK = 22,
    PF_Cmd_SMART_PRE_RENDER = 23,
    PF_Cmd_SMART_RENDER = 24,
    PF_Cmd_RESERVED1 = 25,
    PF_Cmd_RESERVED2 = 26
};

// ---- Result codes ------------------------------------------------------------------------

#define PF_FIRST_ERR 512

enum {
    PF_Err_NONE = 0,
    PF_Err_OUT_OF_MEMORY = 4,
    PF_Err_INTERNAL_STRUCT_DAMAGED = PF_FIRST_ERR,    // 512
    PF_Err_INVALID_INDEX = PF_FIRST_ERR + 1,          // 513
    PF_Err_UNRECOGNIZED_PARAM_TYPE = PF_FIRST_ERR + 2,
    PF_Err_INVALID_CALLBACK = PF_FIRST_ERR + 3,       // 515
    PF_Err_BAD_CALLBACK_PARAM = PF_FIRST_ERR + 4,     // 516
    PF_Interrupt_CANCEL = PF_FIRST_ERR + 5,           // 517: the user stopped the render
    PF_Err_CANNOT_PARSE_KEYFRAME_TEXT = PF_FIRST_ERR + 6
};

// ---- Flags -------------------------------------------------------------------------------

enum {
    PF_OutFlag_NONE = 0,
    PF_OutFlag_REFRESH_UI = 1L << 17,               // 0x00020000
    PF_OutFlag_DEEP_COLOR_AWARE = 1L << 25,         // 0x02000000
    PF_OutFlag_SEND_UPDATE_PARAMS_UI = 1L << 26     // 0x04000000
};

enum {
    PF_OutFlag2_NONE = 0,
    PF_OutFlag2_REVEALS_ZERO_ALPHA = 1L << 7,       // 0x0080
    PF_OutFlag2_SUPPORTS_SMART_RENDER = 1L << 10,   // 0x0400
    PF_OutFlag2_FLOAT_COLOR_AWARE = 1L << 12        // 0x1000
};

enum {
    PF_ParamFlag_RESERVED0 = 0,
    PF_ParamFlag_CANNOT_TIME_VARY = 1L << 0,
    PF_ParamFlag_CANNOT_INTERP = 1L << 1,
    PF_ParamFlag_COLLAPSE_TWIRLY = 1L << 4,
    PF_ParamFlag_SUPERVISE = 1L << 5,
    PF_ParamFlag_START_COLLAPSED = PF_ParamFlag_COLLAPSE_TWIRLY
};

enum {
    PF_PUI_NONE = 0,
    PF_PUI_TOPIC = 1L << 0,
    PF_PUI_CONTROL = 1L << 1,
    PF_PUI_STD_CONTROL_ONLY = 1L << 2,
    PF_PUI_NO_ECW_UI = 1L << 3,
    PF_PUI_ECW_SEPARATOR = 1L << 4,
    PF_PUI_DISABLED = 1L << 5,                      // 0x20: control greyed out
    PF_PUI_INVISIBLE = 1L << 9
};

enum {
    PF_ChangeFlag_NONE = 0,
    PF_ChangeFlag_CHANGED_VALUE = 1L << 0,
    PF_ChangeFlag_SET_TO_VARY = 1L << 2,
    PF_ChangeFlag_SET_TO_CONSTANT = 1L << 3
};

enum {
    PF_Param_RESERVED = -1,
    PF_Param_LAYER = 0,
    PF_Param_SLIDER = 1,
    PF_Param_FIX_SLIDER = 2,
    PF_Param_ANGLE = 3,
    PF_Param_CHECKBOX = 4,
    PF_Param_COLOR = 5,
    PF_Param_POINT = 6,
    PF_Param_POPUP = 7,
    PF_Param_CUSTOM = 8,
    PF_Param_NO_DATA = 9,
    PF_Param_FLOAT_SLIDER = 10,
    PF_Param_ARBITRARY_DATA = 11,
    PF_Param_PATH = 12,
    PF_Param_GROUP_START = 13,
    PF_Param_GROUP_END = 14,
    PF_Param_BUTTON = 15
};

enum {
    PF_WorldFlag_DEEP = 1L << 0,        // 16 bits per channel
    PF_WorldFlag_WRITEABLE = 1L << 1
};

enum {
    PF_Field_FRAME = 0,
    PF_Field_UPPER = 1,
    PF_Field_LOWER = 2
};

enum {
    PF_ChannelMask_ALPHA = 0x1,
    PF_ChannelMask_RED = 0x2,
    PF_ChannelMask_GREEN = 0x4,
    PF_ChannelMask_BLUE = 0x8,
    PF_ChannelMask_ARGB = 0xF
};

enum {
    PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS = 0x1
};

// For PF_UtilCallbacks::iterate_generic: call the function once per processor the host uses.
enum {
    PF_Iterations_ONCE_PER_PROCESSOR = -1
};

#define PF_MAX_EFFECT_NAME_LEN 31
#define PF_MAX_EFFECT_MSG_LEN 255
#define PF_MAX_EFFECT_PARAM_NAME_LEN 31
#define PF_MAX_PARAM_VALUE_LEN 31
#define PF_MAX_PARAM_DESCRIPTION_LEN 31

// ---- Geometry and pixels -----------------------------------------------------------------

typedef struct {
    A_long num;
    A_u_long den;
} PF_RationalScale;

typedef struct {
    A_long left, top, right, bottom;
} PF_LRect;

typedef PF_LRect PF_Rect;
typedef PF_LRect PF_UnionableRect;

typedef struct {
    A_short v, h;
} PF_Point;

typedef struct {
    A_short major;
    A_short minor;
} PF_SpecVersion;

// Channels in memory order alpha, red, green, blue. 8-bit maximum 255, 16-bit maximum 32768,
// float maximum 1.0.
typedef struct {
    A_u_char alpha, red, green, blue;
} PF_Pixel;

typedef PF_Pixel PF_Pixel8;
typedef PF_Pixel PF_UnionablePixel;

typedef struct {
    A_u_short alpha, red, green, blue;
} PF_Pixel16;

typedef struct {
    PF_FpShort alpha, red, green, blue;
} PF_PixelFloat;

typedef PF_PixelFloat PF_Pixel32;
typedef PF_Pixel* PF_PixelPtr;

// A pixel buffer of the host. Row y starts at data + y * rowbytes; rowbytes may exceed
// width * pixel size. The pixel size follows from the world (PF_WorldFlag_DEEP, or the world
// suite's pixel format).
typedef struct PF_LayerDef {
    void* reserved0;
    void* reserved1;
    PF_WorldFlags world_flags;
    PF_PixelPtr data;
    A_long rowbytes;
    A_long width;
    A_long height;
    PF_UnionableRect extent_hint;
    void* platform_ref;
    A_long reserved_long1;
    void* reserved_long4;
    PF_RationalScale pix_aspect_ratio;
    void* reserved_long2;
    A_long origin_x;
    A_long origin_y;
    A_long reserved_long3;
    A_long dephault;
} PF_LayerDef;

typedef PF_LayerDef PF_EffectWorld;

// ---- Sound (present only for the layout of the command records) ---------------------------

typedef struct {
    PF_FpLong rateF;
    A_short num_channels;
    A_short format;
    A_short sample_size;
} PF_SoundFormatInfo;

typedef struct {
    PF_SoundFormatInfo fi;
    A_long num_samples;
    void* dataP;
} PF_SoundWorld;

// ---- Parameters --------------------------------------------------------------------------

typedef struct {
    PF_ParamValue value;
    A_char value_str[PF_MAX_PARAM_VALUE_LEN + 1];
    A_char value_desc[PF_MAX_PARAM_DESCRIPTION_LEN + 1];
    PF_ParamValue valid_min, valid_max;
    PF_ParamValue slider_min, slider_max;
    PF_ParamValue dephault;
} PF_SliderDef;

typedef struct {
    PF_Fixed value;
    A_char value_str[PF_MAX_PARAM_VALUE_LEN + 1];
    A_char value_desc[PF_MAX_PARAM_DESCRIPTION_LEN + 1];
    PF_Fixed valid_min, valid_max;
    PF_Fixed slider_min, slider_max;
    PF_Fixed dephault;
    A_short precision;
    A_short display_flags;
} PF_FixedSliderDef;

typedef struct {
    PF_FpLong value;
    PF_FpLong phase;
    A_char value_desc[PF_MAX_PARAM_DESCRIPTION_LEN + 1];
    PF_FpShort valid_min, valid_max;
    PF_FpShort slider_min, slider_max;
    PF_FpShort dephault;
    A_short precision;
    A_short display_flags;
    A_u_long fs_flags;
    PF_FpShort curve_tolerance;
    PF_Boolean useExponent;
    PF_FpShort exponent;
} PF_FloatSliderDef;

// Angles in degrees as 16.16 fixed point.
typedef struct {
    PF_Fixed value;
    PF_Fixed dephault;
    PF_Fixed valid_min, valid_max;
} PF_AngleDef;

typedef struct {
    PF_ParamValue value;
    PF_Boolean dephault;
    A_char reserved;
    A_short reserved1;
    union {
        const A_char* nameptr;
    } u;
} PF_CheckBoxDef;

typedef struct {
    PF_UnionablePixel value;
    PF_UnionablePixel dephault;
} PF_ColorDef;

// Coordinates in layer pixels as 16.16 fixed point.
typedef struct {
    PF_Fixed x_value;
    PF_Fixed y_value;
    A_char reserved[3];
    PF_Boolean restrict_bounds;
    PF_Fixed x_dephault;
    PF_Fixed y_dephault;
} PF_PointDef;

// Choices are one string separated by "|"; value and dephault count from 1.
typedef struct {
    PF_ParamValue value;
    A_short num_choices;
    A_short dephault;
    union {
        const A_char* namesptr;
    } u;
} PF_PopupDef;

typedef struct {
    PF_ParamValue value;
    union {
        const A_char* namesptr;
    } u;
} PF_ButtonDef;

typedef union {
    PF_LayerDef ld;
    PF_SliderDef sd;
    PF_FixedSliderDef fd;
    PF_AngleDef ad;
    PF_CheckBoxDef bd;
    PF_ColorDef cd;
    PF_PointDef td;
    PF_PopupDef pd;
    PF_FloatSliderDef fs_d;
    PF_ButtonDef button_d;
} PF_ParamDefUnion;

typedef struct PF_ParamDef {
    union {
        A_long id;                    // when the parameter is added: its stable id
        PF_ChangeFlags change_flags;  // when it is handed back: what the plug-in changed
    } uu;
    PF_ParamType param_type;
    A_char name[PF_MAX_EFFECT_PARAM_NAME_LEN + 1];
    PF_ParamUIFlags ui_flags;
    A_short ui_width;
    A_short ui_height;
    PF_ParamFlags flags;
    PF_ParamDefUnion u;
} PF_ParamDef, *PF_ParamDefPtr;

// Index 0 is the effect's input layer.
typedef PF_ParamDefPtr* PF_ParamList;

// The extra record of PF_Cmd_USER_CHANGED_PARAM: the position of the parameter the user
// changed. The effect marks every value it writes in answer with PF_ChangeFlag_CHANGED_VALUE.
typedef struct {
    PF_ParamIndex param_index;
} PF_UserChangedParamExtra;

// ---- Interact callbacks ------------------------------------------------------------------

typedef struct {
    PF_Err (*checkout_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time,
                             A_long time_step, A_u_long time_scale, PF_ParamDef* param);
    PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef* param);
    // index -1 appends.
    PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDefPtr def);
    PF_Err (*abort)(PF_ProgPtr effect_ref);
    // Updates the progress bar and reports a pending cancel (PF_Interrupt_CANCEL). Host thread
    // only.
    PF_Err (*progress)(PF_ProgPtr effect_ref, A_long current, A_long total);
    void* register_ui;
    void* checkout_layer_audio;
    void* checkin_layer_audio;
    void* get_audio_data;
    void* reserved_str[3];
    void* reserved[10];
} PF_InteractCallbacks;

struct _PF_UtilCallbacks;

// ---- Command records ---------------------------------------------------------------------

typedef struct PF_InData {
    PF_InteractCallbacks inter;
    struct _PF_UtilCallbacks* utils;
    PF_ProgPtr effect_ref;
    PF_Quality quality;
    PF_SpecVersion version;  // the host's effect API version
    A_long serial_num;
    A_long appl_id;          // 'FXTC' for the compositing host, 'PrMr' for the editor
    A_long num_params;
    A_long reserved;
    A_long what_cpu;
    A_long what_fpu;
    A_long current_time;     // in time_scale units
    A_long time_step;
    A_long total_time;
    A_long local_time_step;  // duration of one frame of the layer
    A_u_long time_scale;
    PF_Field field;
    PF_Fixed shutter_angle;
    A_long width;            // layer size at full resolution
    A_long height;
    PF_Rect extent_hint;
    A_long output_origin_x;
    A_long output_origin_y;
    PF_RationalScale downsample_x;
    PF_RationalScale downsample_y;
    PF_RationalScale pixel_aspect_ratio;
    PF_InFlags in_flags;
    PF_Handle global_data;
    PF_Handle sequence_data;
    PF_Handle frame_data;
    A_long start_sampL;
    A_long dur_sampL;
    A_long total_sampL;
    PF_SoundWorld src_snd;
    SPBasicSuite* pica_basicP;
    A_long pre_effect_source_origin_x;
    A_long pre_effect_source_origin_y;
    PF_Fixed shutter_phase;
} PF_InData;

typedef struct {
    A_u_long my_version;     // PF_VERSION(...)
    A_char name[PF_MAX_EFFECT_NAME_LEN + 1];
    PF_Handle global_data;
    A_long num_params;       // including the input layer
    PF_Handle sequence_data;
    A_long flat_sdata_size;
    PF_Handle frame_data;
    A_long width;
    A_long height;
    PF_Point origin;
    PF_OutFlags out_flags;
    A_char return_msg[PF_MAX_EFFECT_MSG_LEN + 1];
    A_long start_sampL;
    A_long dur_sampL;
    PF_SoundWorld dest_snd;
    PF_OutFlags2 out_flags2;
} PF_OutData;

// ---- Smart rendering ---------------------------------------------------------------------

typedef struct {
    PF_LRect rect;
    PF_Field field;
    PF_ChannelMask channel_mask;
    PF_Boolean preserve_rgb_of_zero_alpha;
    A_char unused[3];
    A_long reserved[4];
} PF_RenderRequest;

typedef struct {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_RationalScale par;
    A_long solid;
    PF_Boolean reservedB[3];
    A_long ref_width;
    A_long ref_height;
    A_long reserved[6];
} PF_CheckoutResult;

typedef void (*PF_DeletePreRenderDataFunc)(void* pre_render_data);

typedef struct {
    PF_RenderRequest output_request;
    A_short bitdepth;  // bits per channel: 8, 16 or 32
    const void* gpu_data;
    PF_GPU_Framework what_gpu;
    A_u_long device_index;
} PF_PreRenderInput;

typedef struct {
    PF_LRect result_rect;
    PF_LRect max_result_rect;
    PF_Boolean solid;
    PF_Boolean reserved;
    PF_RenderOutputFlags flags;
    void* pre_render_data;
    PF_DeletePreRenderDataFunc delete_pre_render_data_func;
} PF_PreRenderOutput;

typedef struct {
    PF_Err (*checkout_layer)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long checkout_idL,
                             const PF_RenderRequest* req, A_long what_time, A_long time_step,
                             A_u_long time_scale, PF_CheckoutResult* checkout_result);
    PF_Err (*GuidMixInPtr)(PF_ProgPtr effect_ref, A_u_long buf_sizeLu, const void* buf);
} PF_PreRenderCallbacks;

typedef struct {
    PF_PreRenderInput* input;
    PF_PreRenderOutput* output;
    PF_PreRenderCallbacks* cb;
} PF_PreRenderExtra;

typedef struct {
    PF_RenderRequest output_request;
    A_short bitdepth;  // bits per channel: 8, 16 or 32
    void* pre_render_data;
    const void* gpu_data;
    PF_GPU_Framework what_gpu;
    A_u_long device_index;
} PF_SmartRenderInput;

typedef struct {
    // *pixels is null when the host has nothing for that checkout.
    PF_Err (*checkout_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_idL,
                                    PF_EffectWorld** pixels);
    PF_Err (*checkin_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_idL);
    PF_Err (*checkout_output)(PF_ProgPtr effect_ref, PF_EffectWorld** output);
} PF_SmartRenderCallbacks;

typedef struct {
    PF_SmartRenderInput* input;
    PF_SmartRenderCallbacks* cb;
} PF_SmartRenderExtra;
