#pragma once

#include <memory>
#include <string>
#include <vector>

#include "AE_Effect.h"

// The parameters an effect registered, with their current values, as the host keeps them.
//
// Position 0 is the effect's input layer, which the host provides; the effect adds the others
// at parameter setup. Every record is a deep copy: the choice and label strings that the effect
// pointed at are copied, and the record points at the copies. A parameter's value starts at
// its registered default, as the host sets it.
//
// Values are set from text by the registered name (see setFromText); a bad name or value
// throws QbrenderError (exit status 1) with one line that names the parameter and the value.
struct HostParameter {
    int position = 0;
    PF_ParamDef def{};                 // current value
    PF_ParamDef initial{};             // as registered, value = default
    std::string names;                 // popup choices or button label, as registered
    std::string label;                 // checkbox label
    std::vector<std::string> choices;  // popup choices, blanks around each removed

    std::string name() const { return def.name; }
    PF_ParamType type() const { return def.param_type; }
    bool enabled() const { return (def.ui_flags & PF_PUI_DISABLED) == 0; }
    // Calls of PF_UpdateParamUI for this parameter.
    int ui_updates = 0;
};

class ParameterStore {
public:
    // `effect` names the effect in messages ("QB Zblur").
    explicit ParameterStore(std::string effect);

    // Registers a parameter from the effect's add_param call. Returns the host's answer:
    // PF_Err_INVALID_INDEX for an index that is neither -1 (append) nor the next position,
    // PF_Err_UNRECOGNIZED_PARAM_TYPE for an unknown kind; a registration that is accepted but
    // suspect (a duplicate id, a choice count that does not match the choice string, a name
    // that is not terminated) adds a line to *faults.
    PF_Err add(PF_ParamIndex index, const PF_ParamDef& def, std::vector<std::string>* faults);

    int count() const { return int(params_.size()); }
    HostParameter& at(int position) { return *params_.at(size_t(position)); }
    const HostParameter& at(int position) const { return *params_.at(size_t(position)); }

    // Position of the parameter registered as `name`; a name that differs only by blanks at
    // either end matches when no other does. -1 when there is none.
    int find(const std::string& name) const;
    // find(), or QbrenderError "unknown parameter 'x' of QB Zblur (see --list-params)".
    int require(const std::string& name) const;

    // Sets a value from text: a popup by choice text or number, a checkbox by on/off (also
    // true/false, yes/no, 1/0), an angle in degrees, a colour as r,g,b or r,g,b,a (0..255), a
    // point as x,y in full-resolution layer pixels, sliders as numbers within the valid range.
    // Layer parameters are connected by the caller, not set here.
    void setFromText(int position, const std::string& text);

    // Copies the value (not the strings or flags) of `def` into the parameter; true when the
    // value changed.
    bool takeValue(int position, const PF_ParamDef& def);

    // The value for messages: "iris (2)", "on", "12.5 degrees", "255,0,0 alpha 255", "10,20",
    // "0.3"; layers and groups give "".
    std::string valueText(int position) const;
    static std::string kindName(PF_ParamType type);
    // The parameter table for --list-params: one line per parameter.
    std::string table() const;

private:
    std::string effect_;
    std::vector<std::unique_ptr<HostParameter>> params_;
};
