#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "AE_Effect.h"
#include "aehost/plugin_resource/plugin_resource.h"

// Finding and loading effect plug-ins, as the host does: a plug-in folder is searched for
// libraries whose ".pipl" section describes an effect, read from the file without running any
// of its code; a library is loaded only when one of its effects is used.

using EffectEntryPoint = PF_Err (*)(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                    PF_ParamDef* params[], PF_LayerDef* output, void* extra);

struct EffectInfo {
    std::filesystem::path path;
    PluginResource resource;
    // The file name without folder and extension: "zblur".
    std::string shortName() const;
};

// Every "*.so" in `dir` whose resource is an effect ('eFKT'), sorted by file name. A library
// without a resource is not a plug-in and is skipped; one whose resource cannot be read adds a
// line to *problems (when given).
std::vector<EffectInfo> findEffects(const std::filesystem::path& dir,
                                    std::vector<std::string>* problems = nullptr);

// The effect named by `name`: a library path (anything with a '/' or ending in ".so"), or the
// short name, the match name or the menu name of an effect in `dir` (case-insensitive).
// Throws QbrenderError (exit status 1) naming the effect and listing the ones there are.
EffectInfo resolveEffect(const std::string& name, const std::filesystem::path& dir);

// One line per effect for --list: short name, menu name, match name, category, version and
// the two global flag words.
std::string effectListing(const std::vector<EffectInfo>& effects);

// A loaded plug-in library (dlopen with RTLD_LOCAL | RTLD_NOW, so that two plug-ins never see
// each other's symbols) and its entry point, the function the resource names. Unloaded when
// destroyed.
class PluginLibrary {
public:
    // Throws QbrenderError naming the file when it cannot be loaded or lacks the entry point.
    explicit PluginLibrary(EffectInfo info);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const EffectInfo& info() const { return info_; }
    EffectEntryPoint entry() const { return entry_; }

private:
    EffectInfo info_;
    void* handle_ = nullptr;
    EffectEntryPoint entry_ = nullptr;
};
