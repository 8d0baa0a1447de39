#include "qbrender/parameter_store.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "qbrender/qbrender_error.h"

namespace {

constexpr double kFixedOne = 65536.0;

std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const size_t last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

std::vector<std::string> splitChoices(const std::string& names) {
    std::vector<std::string> choices;
    size_t start = 0;
    while (true) {
        const size_t bar = names.find('|', start);
        choices.push_back(
            trimmed(names.substr(start, bar == std::string::npos ? bar : bar - start)));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return choices;
}

std::string number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

double fromFixed(PF_Fixed v) { return double(v) / kFixedOne; }

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// A finite number taking the whole text (blanks around allowed).
bool parseNumber(const std::string& text, double* value) {
    const std::string t = trimmed(text);
    if (t.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool parseInteger(const std::string& text, long long* value) {
    double v = 0;
    if (!parseNumber(text, &v) || v != std::floor(v) || std::fabs(v) > 9.0e15) return false;
    *value = static_cast<long long>(v);
    return true;
}

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return parts;
}

PF_Fixed toFixed(double v) { return PF_Fixed(std::lround(v * kFixedOne)); }

}  // namespace

ParameterStore::ParameterStore(std::string effect) : effect_(std::move(effect)) {
    auto input = std::make_unique<HostParameter>();
    input->def.param_type = PF_Param_LAYER;
    input->initial = input->def;
    params_.push_back(std::move(input));
}

PF_Err ParameterStore::add(PF_ParamIndex index, const PF_ParamDef& def,
                           std::vector<std::string>* faults) {
    if (index != -1 && index != count()) return PF_Err_INVALID_INDEX;
    switch (def.param_type) {
        case PF_Param_LAYER:
        case PF_Param_SLIDER:
        case PF_Param_FIX_SLIDER:
        case PF_Param_ANGLE:
        case PF_Param_CHECKBOX:
        case PF_Param_COLOR:
        case PF_Param_POINT:
        case PF_Param_POPUP:
        case PF_Param_FLOAT_SLIDER:
        case PF_Param_GROUP_START:
        case PF_Param_GROUP_END:
        case PF_Param_BUTTON:
        case PF_Param_NO_DATA:
            break;
        default:
            return PF_Err_UNRECOGNIZED_PARAM_TYPE;
    }
    auto p = std::make_unique<HostParameter>();
    p->position = count();
    p->def = def;
    const std::string where = "parameter " + std::to_string(p->position);
    if (std::memchr(def.name, '\0', sizeof def.name) == nullptr) {
        faults->push_back(where + ": name is not terminated within " +
                          std::to_string(sizeof def.name) + " characters");
        p->def.name[sizeof def.name - 1] = '\0';
    }
    for (const auto& other : params_) {
        if (other->position > 0 && other->def.uu.id == def.uu.id) {
            faults->push_back(where + " '" + p->name() + "': id " + std::to_string(def.uu.id) +
                              " is already used by '" + other->name() + "'");
        }
    }
    PF_ParamDefUnion& u = p->def.u;
    switch (def.param_type) {
        case PF_Param_POPUP:
            p->names = u.pd.u.namesptr != nullptr ? u.pd.u.namesptr : "";
            u.pd.u.namesptr = p->names.c_str();
            p->choices = splitChoices(p->names);
            if (int(p->choices.size()) != u.pd.num_choices) {
                faults->push_back(where + " '" + p->name() +
                                  "': " + std::to_string(u.pd.num_choices) + " choices declared, " +
                                  std::to_string(p->choices.size()) + " in " + quoted(p->names));
            }
            u.pd.value = u.pd.dephault;
            break;
        case PF_Param_CHECKBOX:
            p->label = u.bd.u.nameptr != nullptr ? u.bd.u.nameptr : "";
            u.bd.u.nameptr = p->label.c_str();
            u.bd.value = u.bd.dephault ? 1 : 0;
            break;
        case PF_Param_BUTTON:
            p->names = u.button_d.u.namesptr != nullptr ? u.button_d.u.namesptr : "";
            u.button_d.u.namesptr = p->names.c_str();
            break;
        case PF_Param_SLIDER:
            u.sd.value = u.sd.dephault;
            break;
        case PF_Param_FIX_SLIDER:
            u.fd.value = u.fd.dephault;
            break;
        case PF_Param_FLOAT_SLIDER:
            u.fs_d.value = u.fs_d.dephault;
            break;
        case PF_Param_ANGLE:
            u.ad.value = u.ad.dephault;
            break;
        case PF_Param_COLOR:
            u.cd.value = u.cd.dephault;
            break;
        case PF_Param_POINT:
            u.td.x_value = u.td.x_dephault;
            u.td.y_value = u.td.y_dephault;
            break;
        case PF_Param_LAYER:
            // The host's own description of a connected layer replaces whatever was passed.
            std::memset(&u.ld, 0, sizeof u.ld);
            break;
        default:
            break;
    }
    p->initial = p->def;
    params_.push_back(std::move(p));
    return PF_Err_NONE;
}

int ParameterStore::find(const std::string& name) const {
    for (const auto& p : params_) {
        if (p->position > 0 && p->name() == name) return p->position;
    }
    int found = -1;
    const std::string wanted = trimmed(name);
    for (const auto& p : params_) {
        if (p->position > 0 && !wanted.empty() && trimmed(p->name()) == wanted) {
            if (found >= 0) return -1;
            found = p->position;
        }
    }
    return found;
}

int ParameterStore::require(const std::string& name) const {
    const int position = find(name);
    if (position < 0) {
        throw QbrenderError("unknown parameter " + quoted(name) + " of " + effect_ +
                            " (see --list-params)");
    }
    return position;
}

void ParameterStore::setFromText(int position, const std::string& text) {
    HostParameter& p = at(position);
    PF_ParamDefUnion& u = p.def.u;
    const std::string head = "parameter " + quoted(p.name()) + ": ";
    const auto bad = [&](const std::string& what) {
        return QbrenderError(head + quoted(text) + " is not " + what);
    };
    switch (p.type()) {
        case PF_Param_POPUP: {
            const std::string wanted = trimmed(text);
            for (size_t i = 0; i < p.choices.size(); ++i) {
                if (p.choices[i] == wanted) {
                    u.pd.value = PF_ParamValue(i + 1);
                    return;
                }
            }
            long long n = 0;
            if (parseInteger(text, &n)) {
                if (n < 1 || n > u.pd.num_choices) {
                    throw QbrenderError(head + "choice " + trimmed(text) + " is outside 1 .. " +
                                        std::to_string(u.pd.num_choices));
                }
                u.pd.value = PF_ParamValue(n);
                return;
            }
            std::string list;
            for (const auto& c : p.choices) list += (list.empty() ? "" : ", ") + quoted(c);
            throw QbrenderError(head + "no choice " + quoted(text) + " (choices: " + list + ")");
        }
        case PF_Param_CHECKBOX: {
            const std::string t = trimmed(text);
            if (t == "on" || t == "true" || t == "yes" || t == "1") {
                u.bd.value = 1;
            } else if (t == "off" || t == "false" || t == "no" || t == "0") {
                u.bd.value = 0;
            } else {
                throw bad("on or off");
            }
            return;
        }
        case PF_Param_FLOAT_SLIDER: {
            double v = 0;
            if (!parseNumber(text, &v)) throw bad("a number");
            if (v < u.fs_d.valid_min || v > u.fs_d.valid_max) {
                throw QbrenderError(head + trimmed(text) + " is outside the valid range " +
                                    number(u.fs_d.valid_min) + " .. " + number(u.fs_d.valid_max));
            }
            u.fs_d.value = v;
            return;
        }
        case PF_Param_SLIDER: {
            long long v = 0;
            if (!parseInteger(text, &v)) throw bad("a whole number");
            if (v < u.sd.valid_min || v > u.sd.valid_max) {
                throw QbrenderError(head + trimmed(text) + " is outside the valid range " +
                                    std::to_string(u.sd.valid_min) + " .. " +
                                    std::to_string(u.sd.valid_max));
            }
            u.sd.value = PF_ParamValue(v);
            return;
        }
        case PF_Param_FIX_SLIDER: {
            double v = 0;
            if (!parseNumber(text, &v) || std::fabs(v) >= 32767.0) throw bad("a number");
            const PF_Fixed f = toFixed(v);
            if (f < u.fd.valid_min || f > u.fd.valid_max) {
                throw QbrenderError(head + trimmed(text) + " is outside the valid range " +
                                    number(fromFixed(u.fd.valid_min)) + " .. " +
                                    number(fromFixed(u.fd.valid_max)));
            }
            u.fd.value = f;
            return;
        }
        case PF_Param_ANGLE: {
            double v = 0;
            if (!parseNumber(text, &v) || std::fabs(v) >= 32767.0) throw bad("an angle in degrees");
            const PF_Fixed f = toFixed(v);
            if (u.ad.valid_min < u.ad.valid_max && (f < u.ad.valid_min || f > u.ad.valid_max)) {
                throw QbrenderError(head + trimmed(text) + " degrees is outside the valid range " +
                                    number(fromFixed(u.ad.valid_min)) + " .. " +
                                    number(fromFixed(u.ad.valid_max)));
            }
            u.ad.value = f;
            return;
        }
        case PF_Param_COLOR: {
            const std::vector<std::string> parts = splitCommas(text);
            long long c[4] = {0, 0, 0, u.cd.value.alpha};
            if (parts.size() != 3 && parts.size() != 4) throw bad("a colour r,g,b (0..255)");
            for (size_t i = 0; i < parts.size(); ++i) {
                if (!parseInteger(parts[i], &c[i]) || c[i] < 0 || c[i] > 255) {
                    throw QbrenderError(head + quoted(text) + ": each of r,g,b" +
                                        (parts.size() == 4 ? std::string(",a") : "") +
                                        " must be a whole number from 0 to 255");
                }
            }
            u.cd.value.red = A_u_char(c[0]);
            u.cd.value.green = A_u_char(c[1]);
            u.cd.value.blue = A_u_char(c[2]);
            u.cd.value.alpha = A_u_char(c[3]);
            return;
        }
        case PF_Param_POINT: {
            const std::vector<std::string> parts = splitCommas(text);
            double x = 0;
            double y = 0;
            if (parts.size() != 2 || !parseNumber(parts[0], &x) || !parseNumber(parts[1], &y) ||
                std::fabs(x) >= 32767.0 || std::fabs(y) >= 32767.0) {
                throw bad("a point x,y");
            }
            u.td.x_value = toFixed(x);
            u.td.y_value = toFixed(y);
            return;
        }
        case PF_Param_LAYER:
            throw QbrenderError("parameter " + quoted(p.name()) +
                                " is a layer: connect an image with --layer \"" + p.name() +
                                "=FILE\"");
        default:
            throw QbrenderError("parameter " + quoted(p.name()) + " is a " + kindName(p.type()) +
                                " and takes no value");
    }
}

bool ParameterStore::takeValue(int position, const PF_ParamDef& def) {
    HostParameter& p = at(position);
    PF_ParamDefUnion& u = p.def.u;
    const PF_ParamDefUnion& v = def.u;
    bool changed = false;
    const auto take = [&changed](auto& to, const auto& from) {
        if (std::memcmp(&to, &from, sizeof to) != 0) changed = true;
        to = from;
    };
    switch (p.type()) {
        case PF_Param_POPUP:
            take(u.pd.value, v.pd.value);
            break;
        case PF_Param_CHECKBOX:
            take(u.bd.value, v.bd.value);
            break;
        case PF_Param_FLOAT_SLIDER:
            take(u.fs_d.value, v.fs_d.value);
            break;
        case PF_Param_SLIDER:
            take(u.sd.value, v.sd.value);
            break;
        case PF_Param_FIX_SLIDER:
            take(u.fd.value, v.fd.value);
            break;
        case PF_Param_ANGLE:
            take(u.ad.value, v.ad.value);
            break;
        case PF_Param_COLOR:
            take(u.cd.value, v.cd.value);
            break;
        case PF_Param_POINT:
            take(u.td.x_value, v.td.x_value);
            take(u.td.y_value, v.td.y_value);
            break;
        default:
            break;
    }
    return changed;
}

std::string ParameterStore::valueText(int position) const {
    const HostParameter& p = at(position);
    const PF_ParamDefUnion& u = p.def.u;
    switch (p.type()) {
        case PF_Param_POPUP: {
            const int n = u.pd.value;
            const std::string choice =
                n >= 1 && size_t(n) <= p.choices.size() ? p.choices[size_t(n - 1)] : "?";
            return choice + " (" + std::to_string(n) + ")";
        }
        case PF_Param_CHECKBOX:
            return u.bd.value ? "on" : "off";
        case PF_Param_FLOAT_SLIDER:
            return number(u.fs_d.value);
        case PF_Param_SLIDER:
            return std::to_string(u.sd.value);
        case PF_Param_FIX_SLIDER:
            return number(fromFixed(u.fd.value));
        case PF_Param_ANGLE:
            return number(fromFixed(u.ad.value)) + " degrees";
        case PF_Param_COLOR:
            return std::to_string(u.cd.value.red) + "," + std::to_string(u.cd.value.green) + "," +
                   std::to_string(u.cd.value.blue) + " alpha " + std::to_string(u.cd.value.alpha);
        case PF_Param_POINT:
            return number(fromFixed(u.td.x_value)) + "," + number(fromFixed(u.td.y_value));
        default:
            return {};
    }
}

std::string ParameterStore::kindName(PF_ParamType type) {
    switch (type) {
        case PF_Param_LAYER:
            return "layer";
        case PF_Param_SLIDER:
            return "integer slider";
        case PF_Param_FIX_SLIDER:
            return "fixed slider";
        case PF_Param_ANGLE:
            return "angle";
        case PF_Param_CHECKBOX:
            return "checkbox";
        case PF_Param_COLOR:
            return "colour";
        case PF_Param_POINT:
            return "point";
        case PF_Param_POPUP:
            return "popup";
        case PF_Param_FLOAT_SLIDER:
            return "float slider";
        case PF_Param_GROUP_START:
            return "group start";
        case PF_Param_GROUP_END:
            return "group end";
        case PF_Param_BUTTON:
            return "button";
        case PF_Param_NO_DATA:
            return "no data";
        default:
            return "kind " + std::to_string(type);
    }
}

std::string ParameterStore::table() const {
    std::string text;
    char line[512];
    std::snprintf(line, sizeof line, "%4s %4s  %-14s %-32s %-22s %s\n", "pos", "id", "kind", "name",
                  "value", "range");
    text += line;
    for (const auto& p : params_) {
        if (p->position == 0) continue;
        const PF_ParamDefUnion& u = p->def.u;
        std::string range;
        switch (p->type()) {
            case PF_Param_POPUP: {
                for (const auto& c : p->choices) range += (range.empty() ? "" : " | ") + c;
                break;
            }
            case PF_Param_FLOAT_SLIDER:
                range = number(u.fs_d.valid_min) + " .. " + number(u.fs_d.valid_max) + " (slider " +
                        number(u.fs_d.slider_min) + " .. " + number(u.fs_d.slider_max) + ")";
                break;
            case PF_Param_SLIDER:
                range = std::to_string(u.sd.valid_min) + " .. " + std::to_string(u.sd.valid_max) +
                        " (slider " + std::to_string(u.sd.slider_min) + " .. " +
                        std::to_string(u.sd.slider_max) + ")";
                break;
            case PF_Param_FIX_SLIDER:
                range =
                    number(fromFixed(u.fd.valid_min)) + " .. " + number(fromFixed(u.fd.valid_max));
                break;
            case PF_Param_COLOR:
                range = "r,g,b 0..255";
                break;
            case PF_Param_POINT:
                range = "x,y";
                break;
            case PF_Param_CHECKBOX:
                range = "on | off";
                break;
            default:
                break;
        }
        std::snprintf(line, sizeof line, "%4d %4d  %-14s %-32s %-22s %s\n", p->position,
                      p->def.uu.id, kindName(p->type()).c_str(), quoted(p->name()).c_str(),
                      valueText(p->position).c_str(), range.c_str());
        text += line;
    }
    return text;
}
