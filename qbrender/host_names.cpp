#include "qbrender/host_names.h"

std::string errorText(PF_Err error) {
    const char* name = nullptr;
    switch (error) {
        case PF_Err_NONE:
            name = "PF_Err_NONE";
            break;
        case PF_Err_OUT_OF_MEMORY:
            name = "PF_Err_OUT_OF_MEMORY";
            break;
        case PF_Err_INTERNAL_STRUCT_DAMAGED:
            name = "PF_Err_INTERNAL_STRUCT_DAMAGED";
            break;
        case PF_Err_INVALID_INDEX:
            name = "PF_Err_INVALID_INDEX";
            break;
        case PF_Err_UNRECOGNIZED_PARAM_TYPE:
            name = "PF_Err_UNRECOGNIZED_PARAM_TYPE";
            break;
        case PF_Err_INVALID_CALLBACK:
            name = "PF_Err_INVALID_CALLBACK";
            break;
        case PF_Err_BAD_CALLBACK_PARAM:
            name = "PF_Err_BAD_CALLBACK_PARAM";
            break;
        case PF_Interrupt_CANCEL:
            name = "PF_Interrupt_CANCEL";
            break;
        case PF_Err_CANNOT_PARSE_KEYFRAME_TEXT:
            name = "PF_Err_CANNOT_PARSE_KEYFRAME_TEXT";
            break;
        default:
            break;
    }
    if (name == nullptr) return "error " + std::to_string(error);
    return std::string(name) + " (" + std::to_string(error) + ")";
}

std::string commandName(PF_Cmd command) {
    switch (command) {
        case PF_Cmd_ABOUT:
            return "PF_Cmd_ABOUT";
        case PF_Cmd_GLOBAL_SETUP:
            return "PF_Cmd_GLOBAL_SETUP";
        case PF_Cmd_UNUSED_0:
            return "PF_Cmd_UNUSED_0";
        case PF_Cmd_GLOBAL_SETDOWN:
            return "PF_Cmd_GLOBAL_SETDOWN";
        case PF_Cmd_PARAMS_SETUP:
            return "PF_Cmd_PARAMS_SETUP";
        case PF_Cmd_SEQUENCE_SETUP:
            return "PF_Cmd_SEQUENCE_SETUP";
        case PF_Cmd_SEQUENCE_RESETUP:
            return "PF_Cmd_SEQUENCE_RESETUP";
        case PF_Cmd_SEQUENCE_FLATTEN:
            return "PF_Cmd_SEQUENCE_FLATTEN";
        case PF_Cmd_SEQUENCE_SETDOWN:
            return "PF_Cmd_SEQUENCE_SETDOWN";
        case PF_Cmd_DO_DIALOG:
            return "PF_Cmd_DO_DIALOG";
        case PF_Cmd_FRAME_SETUP:
            return "PF_Cmd_FRAME_SETUP";
        case PF_Cmd_RENDER:
            return "PF_Cmd_RENDER";
        case PF_Cmd_FRAME_SETDOWN:
            return "PF_Cmd_FRAME_SETDOWN";
        case PF_Cmd_USER_CHANGED_PARAM:
            return "PF_Cmd_USER_CHANGED_PARAM";
        case PF_Cmd_UPDATE_PARAMS_UI:
            return "PF_Cmd_UPDATE_PARAMS_UI";
        case PF_Cmd_EVENT:
            return "PF_Cmd_EVENT";
        case PF_Cmd_GET_EXTERNAL_DEPENDENCIES:
            return "PF_Cmd_GET_EXTERNAL_DEPENDENCIES";
        case PF_Cmd_COMPLETELY_GENERAL:
            return "PF_Cmd_COMPLETELY_GENERAL";
        case PF_Cmd_QUERY_DYNAMIC_FLAGS:
            return "PF_Cmd_QUERY_DYNAMIC_FLAGS";
        case PF_Cmd_AUDIO_RENDER:
            return "PF_Cmd_AUDIO_RENDER";
        case PF_Cmd_AUDIO_SETUP:
            return "PF_Cmd_AUDIO_SETUP";
        case PF_Cmd_AUDIO_SETDOWN:
            return "PF_Cmd_AUDIO_SETDOWN";
        case PF_Cmd_ARBITRARY_CALLBACK:
            return "PF_Cmd_ARBITRARY_CALLBACK";
        case PF_Cmd_SMART_PRE_RENDER:
            return "PF_Cmd_SMART_PRE_RENDER";
        case PF_Cmd_SMART_RENDER:
            return "PF_Cmd_SMART_RENDER";
        case PF_Cmd_RESERVED1:
            return "PF_Cmd_RESERVED1";
        case PF_Cmd_RESERVED2:
            return "PF_Cmd_RESERVED2";
    }
    return "command " + std::to_string(static_cast<A_long>(command));
}

std::string versionText(A_u_long version) {
    const A_u_long major = (version >> PF_Vers_VERS_SHIFT) & PF_Vers_VERS_BITS;
    const A_u_long minor = (version >> PF_Vers_SUBVERS_SHIFT) & PF_Vers_SUBVERS_BITS;
    const A_u_long fix = (version >> PF_Vers_BUGFIX_SHIFT) & PF_Vers_BUGFIX_BITS;
    const A_u_long stage = (version >> PF_Vers_STAGE_SHIFT) & PF_Vers_STAGE_BITS;
    std::string text =
        std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(fix);
    if (stage == PF_Stage_DEVELOP) text += " develop";
    if (stage == PF_Stage_ALPHA) text += " alpha";
    if (stage == PF_Stage_BETA) text += " beta";
    return text;
}
