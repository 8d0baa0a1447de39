#pragma once

#include <cstdint>
#include <span>

#include "AE_Effect.h"

// An effect's parameter table: one row per registered parameter, the host record built from a
// row, the parameter setup that registers a whole table, and the reads of checked-out values
// that bring every value into what its control can make.

// One row of a parameter table: what the effect registers at `position` (1 .. n; 0 is the input
// layer) and which values the control can make. Which value fields count depends on the kind:
// sliders use the four range values and `dephault`; popups `choices`, `choice_count` and
// `dephault` (choices numbered from 1); checkboxes `dephault` (0 or 1) and `label`; angles
// `dephault` in degrees; points `dephault` and `dephault_y` in layer pixels; colours `color`.
// Layers and group starts and ends carry none.
struct ParameterSpec {
    int32_t position = 0;
    A_long id = 0;  // stored in projects: never changes
    PF_ParamType kind = PF_Param_GROUP_END;
    const char* name = "";
    PF_ParamFlags flags = 0;
    double valid_min = 0.0;
    double valid_max = 0.0;
    double slider_min = 0.0;
    double slider_max = 0.0;
    double dephault = 0.0;
    double dephault_y = 0.0;
    const char* choices = nullptr;
    int32_t choice_count = 0;
    const char* label = nullptr;
    PF_Pixel color{};
};

// The row makers, one per kind; a table file takes them in with `using namespace
// parameter_row;`.
namespace parameter_row {

constexpr ParameterSpec floatSlider(int32_t position, A_long id, const char* name,
                                    PF_ParamFlags flags, double valid_min, double valid_max,
                                    double slider_min, double slider_max, double dephault) {
    return {.position = position,
            .id = id,
            .kind = PF_Param_FLOAT_SLIDER,
            .name = name,
            .flags = flags,
            .valid_min = valid_min,
            .valid_max = valid_max,
            .slider_min = slider_min,
            .slider_max = slider_max,
            .dephault = dephault};
}

// Whole numbers only: the range and default are cut to integers in the host record.
constexpr ParameterSpec integerSlider(int32_t position, A_long id, const char* name,
                                      PF_ParamFlags flags, double valid_min, double valid_max,
                                      double slider_min, double slider_max, double dephault) {
    ParameterSpec spec = floatSlider(position, id, name, flags, valid_min, valid_max, slider_min,
                                     slider_max, dephault);
    spec.kind = PF_Param_SLIDER;
    return spec;
}

// `choices`: the choice strings separated by '|', `count` of them; `dephault` from 1.
constexpr ParameterSpec popup(int32_t position, A_long id, const char* name, PF_ParamFlags flags,
                              const char* choices, int32_t count, int32_t dephault) {
    return {.position = position,
            .id = id,
            .kind = PF_Param_POPUP,
            .name = name,
            .flags = flags,
            .dephault = double(dephault),
            .choices = choices,
            .choice_count = count};
}

// `label` is the text beside the box.
constexpr ParameterSpec checkbox(int32_t position, A_long id, const char* name, PF_ParamFlags flags,
                                 bool dephault, const char* label = "") {
    return {.position = position,
            .id = id,
            .kind = PF_Param_CHECKBOX,
            .name = name,
            .flags = flags,
            .dephault = dephault ? 1.0 : 0.0,
            .label = label};
}

constexpr ParameterSpec layer(int32_t position, A_long id, const char* name, PF_ParamFlags flags) {
    return {.position = position, .id = id, .kind = PF_Param_LAYER, .name = name, .flags = flags};
}

constexpr ParameterSpec groupStart(int32_t position, A_long id, const char* name,
                                   PF_ParamFlags flags) {
    return {
        .position = position, .id = id, .kind = PF_Param_GROUP_START, .name = name, .flags = flags};
}

constexpr ParameterSpec groupEnd(int32_t position, A_long id, PF_ParamFlags flags = 0) {
    return {.position = position, .id = id, .kind = PF_Param_GROUP_END, .name = "", .flags = flags};
}

constexpr ParameterSpec angle(int32_t position, A_long id, const char* name, PF_ParamFlags flags,
                              double dephault_degrees = 0.0) {
    return {.position = position,
            .id = id,
            .kind = PF_Param_ANGLE,
            .name = name,
            .flags = flags,
            .dephault = dephault_degrees};
}

constexpr ParameterSpec point(int32_t position, A_long id, const char* name, PF_ParamFlags flags,
                              double dephault_x = 0.0, double dephault_y = 0.0) {
    return {.position = position,
            .id = id,
            .kind = PF_Param_POINT,
            .name = name,
            .flags = flags,
            .dephault = dephault_x,
            .dephault_y = dephault_y};
}

// `dephault` on the 0 .. 255 scale, alpha first as the host's pixel holds it.
constexpr ParameterSpec color(int32_t position, A_long id, const char* name, PF_ParamFlags flags,
                              PF_Pixel dephault) {
    return {.position = position,
            .id = id,
            .kind = PF_Param_COLOR,
            .name = name,
            .flags = flags,
            .color = dephault};
}

}  // namespace parameter_row

// True when the rows hold positions 1 .. n in order, as addParameters and ParameterReader
// require; for a table's static_assert.
constexpr bool positionsInOrder(std::span<const ParameterSpec> table) {
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i].position != int32_t(i) + 1) return false;
    }
    return true;
}

// The host record for one row, ready for add-parameter: a zeroed record with the kind, id,
// flags and name (cut to the field's size), the kind's ranges and default, and the value set to
// the default. Float sliders get precision 3, display flags 0 and curve tolerance 0.05; angles
// and points are 16.16 fixed, rounded to the nearest step.
PF_ParamDef parameterDef(const ParameterSpec& spec);

// The parameter setup of an effect: registers every row of `table` in order and sets the
// parameter count to the rows plus the input layer. Names go in through the host's string copy
// when it offers one. Answers parameterSetupError() when the host gives nothing to register
// with; the first refused row ends the setup with the host's error, logged as
//   adding parameter <position> "<name>" failed with <error>
// and leaves the parameter count as it was.
PF_Err addParameters(std::span<const ParameterSpec> table, PF_InData* in_data,
                     PF_OutData* out_data);

// Checked-out values, brought into what the row's control can make (a host never gives other
// values, but a damaged project or a script can).
// A float slider's value within valid_min .. valid_max (infinities become the bounds); NaN
// gives the row's default as the host record holds it (in single precision).
double readSlider(const PF_ParamDef& def, const ParameterSpec& spec);
// An integer slider's value within valid_min .. valid_max.
int32_t readIntegerSlider(const PF_ParamDef& def, const ParameterSpec& spec);
// A popup's choice within 1 .. choice_count: below it the first choice, above it the last.
int32_t readPopup(const PF_ParamDef& def, const ParameterSpec& spec);
// Any value other than 0 is checked.
bool readCheckbox(const PF_ParamDef& def);
// An angle in 16.16 fixed degrees; every value is a valid angle (turns beyond one included).
PF_Fixed readAngle(const PF_ParamDef& def);

// The reads by position, for a settings mapping: the checked-out records (index = position, as
// ParameterCheckouts::byPosition() gives them) with the effect's table (positions in order).
// The records read must have been checked out.
class ParameterReader {
public:
    ParameterReader(std::span<const PF_ParamDef* const> by_position,
                    std::span<const ParameterSpec> table)
        : by_position_(by_position), table_(table) {}

    double slider(int32_t position) const { return readSlider(def(position), row(position)); }
    int32_t integer(int32_t position) const {
        return readIntegerSlider(def(position), row(position));
    }
    int32_t choice(int32_t position) const { return readPopup(def(position), row(position)); }
    bool checked(int32_t position) const { return readCheckbox(def(position)); }
    PF_Fixed angle(int32_t position) const { return readAngle(def(position)); }
    PF_Pixel color(int32_t position) const { return def(position).u.cd.value; }

private:
    const PF_ParamDef& def(int32_t position) const { return *by_position_[size_t(position)]; }
    const ParameterSpec& row(int32_t position) const { return table_[size_t(position - 1)]; }

    std::span<const PF_ParamDef* const> by_position_;
    std::span<const ParameterSpec> table_;
};
