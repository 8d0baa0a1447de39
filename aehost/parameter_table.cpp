#include "aehost/parameter_table.h"

#include <cmath>
#include <cstring>

#include "AE_EffectCB.h"
#include "aehost/after_effects_host.h"
#include "framework/logger.h"

namespace {

// 16.16 fixed point: 1.0 is this many steps.
constexpr double kFixedOne = 65536.0;

PF_Fixed toFixed(double value) { return PF_Fixed(std::lround(value * kFixedOne)); }

// `value` brought into low .. high; unlike std::clamp, defined for a row whose range is empty.
template <class T>
T within(T value, T low, T high) {
    return value < low ? low : (value > high ? high : value);
}

}  // namespace

PF_ParamDef parameterDef(const ParameterSpec& spec) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    def.uu.id = spec.id;
    def.param_type = spec.kind;
    std::strncpy(def.name, spec.name, sizeof def.name - 1);
    def.flags = spec.flags;
    switch (spec.kind) {
        case PF_Param_FLOAT_SLIDER:
            def.u.fs_d.value = PF_FpShort(spec.dephault);
            def.u.fs_d.valid_min = PF_FpShort(spec.valid_min);
            def.u.fs_d.valid_max = PF_FpShort(spec.valid_max);
            def.u.fs_d.slider_min = PF_FpShort(spec.slider_min);
            def.u.fs_d.slider_max = PF_FpShort(spec.slider_max);
            def.u.fs_d.dephault = PF_FpShort(spec.dephault);
            def.u.fs_d.precision = 3;
            def.u.fs_d.display_flags = 0;
            def.u.fs_d.curve_tolerance = 0.05f;
            break;
        case PF_Param_SLIDER:
            def.u.sd.value = PF_ParamValue(spec.dephault);
            def.u.sd.valid_min = PF_ParamValue(spec.valid_min);
            def.u.sd.valid_max = PF_ParamValue(spec.valid_max);
            def.u.sd.slider_min = PF_ParamValue(spec.slider_min);
            def.u.sd.slider_max = PF_ParamValue(spec.slider_max);
            def.u.sd.dephault = PF_ParamValue(spec.dephault);
            break;
        case PF_Param_POPUP:
            def.u.pd.value = PF_ParamValue(spec.dephault);
            def.u.pd.num_choices = A_short(spec.choice_count);
            def.u.pd.dephault = A_short(spec.dephault);
            def.u.pd.u.namesptr = spec.choices;
            break;
        case PF_Param_CHECKBOX:
            def.u.bd.value = spec.dephault != 0.0 ? 1 : 0;
            def.u.bd.dephault = spec.dephault != 0.0 ? 1 : 0;
            def.u.bd.u.nameptr = spec.label != nullptr ? spec.label : "";
            break;
        case PF_Param_ANGLE:
            def.u.ad.value = toFixed(spec.dephault);
            def.u.ad.dephault = toFixed(spec.dephault);
            break;
        case PF_Param_POINT:
            def.u.td.x_value = toFixed(spec.dephault);
            def.u.td.y_value = toFixed(spec.dephault_y);
            def.u.td.x_dephault = toFixed(spec.dephault);
            def.u.td.y_dephault = toFixed(spec.dephault_y);
            break;
        case PF_Param_COLOR:
            def.u.cd.value = spec.color;
            def.u.cd.dephault = spec.color;
            break;
        default:
            // Layers (a zero default is the host's "no layer"), group starts and ends carry no
            // values.
            break;
    }
    return def;
}

PF_Err addParameters(std::span<const ParameterSpec> table, PF_InData* in_data,
                     PF_OutData* out_data) {
    if (const PF_Err unusable = AfterEffectsHost::parameterSetupError(in_data, out_data);
        unusable != PF_Err_NONE) {
        return unusable;
    }
    const bool host_strcpy = in_data->utils != nullptr && in_data->utils->ansi.strcpy != nullptr;
    for (const ParameterSpec& spec : table) {
        PF_ParamDef def = parameterDef(spec);
        // A name too long for the field keeps the cut copy: the host's copy has no bound.
        if (host_strcpy && std::strlen(spec.name) < sizeof def.name) PF_STRCPY(def.name, spec.name);
        const PF_Err err = PF_ADD_PARAM(in_data, -1, &def);
        if (err != PF_Err_NONE) {
            LogEntry(Logger::kError) << Logger::kErrorPrefix << "adding parameter " << spec.position
                                     << " \"" << spec.name << "\" failed with " << err << "\n";
            return err;
        }
    }
    out_data->num_params = int32_t(table.size()) + 1;
    return PF_Err_NONE;
}

double readSlider(const PF_ParamDef& def, const ParameterSpec& spec) {
    const double value = def.u.fs_d.value;
    if (std::isnan(value)) return double(PF_FpShort(spec.dephault));
    return within(value, spec.valid_min, spec.valid_max);
}

int32_t readIntegerSlider(const PF_ParamDef& def, const ParameterSpec& spec) {
    return within(def.u.sd.value, PF_ParamValue(spec.valid_min), PF_ParamValue(spec.valid_max));
}

int32_t readPopup(const PF_ParamDef& def, const ParameterSpec& spec) {
    return within(def.u.pd.value, PF_ParamValue(1), PF_ParamValue(spec.choice_count));
}

bool readCheckbox(const PF_ParamDef& def) { return def.u.bd.value != 0; }

PF_Fixed readAngle(const PF_ParamDef& def) { return def.u.ad.value; }
