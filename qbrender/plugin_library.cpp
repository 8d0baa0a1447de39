#include "qbrender/plugin_library.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "qbrender/host_names.h"
#include "qbrender/qbrender_error.h"

namespace {

std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

}  // namespace

std::string EffectInfo::shortName() const { return path.stem().string(); }

std::vector<EffectInfo> findEffects(const std::filesystem::path& dir,
                                    std::vector<std::string>* problems) {
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error)) {
        throw QbrenderError("plug-in folder '" + dir.string() + "' does not exist");
    }
    std::vector<EffectInfo> effects;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".so") continue;
        try {
            const std::vector<uint8_t> bytes = readPluginResourceSection(entry.path().string());
            PluginResource resource =
                parsePluginResource(bytes.data(), bytes.size(), entry.path().string());
            if (resource.kind != "eFKT") continue;
            effects.push_back(EffectInfo{entry.path(), std::move(resource)});
        } catch (const PluginResourceError& e) {
            // A library without a resource is simply not a plug-in.
            const std::string message = e.what();
            if (message.find("no .pipl section") != std::string::npos) continue;
            if (problems != nullptr) problems->push_back(message);
        }
    }
    std::sort(effects.begin(), effects.end(),
              [](const EffectInfo& a, const EffectInfo& b) { return a.path < b.path; });
    return effects;
}

EffectInfo resolveEffect(const std::string& name, const std::filesystem::path& dir) {
    const bool is_path = name.find('/') != std::string::npos ||
                         (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0);
    if (is_path) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(name, error)) {
            throw QbrenderError("effect library '" + name + "' does not exist");
        }
        try {
            PluginResource resource = readPluginResource(name);
            if (resource.kind != "eFKT") {
                throw QbrenderError("'" + name + "' is a plug-in of kind '" + resource.kind +
                                    "', not an effect");
            }
            return EffectInfo{name, std::move(resource)};
        } catch (const PluginResourceError& e) {
            throw QbrenderError("'" + name + "' is not an effect plug-in: " + e.what());
        }
    }
    const std::vector<EffectInfo> effects = findEffects(dir);
    const std::string wanted = lowered(name);
    for (const EffectInfo& effect : effects) {
        if (lowered(effect.shortName()) == wanted ||
            lowered(effect.resource.match_name) == wanted ||
            lowered(effect.resource.name) == wanted) {
            return effect;
        }
    }
    std::string known;
    for (const EffectInfo& effect : effects) {
        known += (known.empty() ? "" : ", ") + effect.shortName();
    }
    throw QbrenderError("unknown effect '" + name + "' (effects in '" + dir.string() +
                        "': " + (known.empty() ? std::string("none") : known) + ")");
}

std::string effectListing(const std::vector<EffectInfo>& effects) {
    std::string text;
    for (const EffectInfo& effect : effects) {
        const PluginResource& r = effect.resource;
        text += effect.shortName() + ": \"" + r.name + "\"  match name \"" + r.match_name +
                "\"  category \"" + r.category + "\"  version " + versionText(r.effect_version) +
                "  flags " + hex(r.out_flags) + " " + hex(r.out_flags2) + "  " +
                effect.path.string() + "\n";
    }
    return text;
}

PluginLibrary::PluginLibrary(EffectInfo info) : info_(std::move(info)) {
    dlerror();
    handle_ = dlopen(info_.path.c_str(), RTLD_LOCAL | RTLD_NOW);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        throw QbrenderError("cannot load '" + info_.path.string() +
                            "': " + (why != nullptr ? why : "unknown reason"));
    }
    const std::string& entry_name = info_.resource.entry_point;
    dlerror();
    void* symbol = entry_name.empty() ? nullptr : dlsym(handle_, entry_name.c_str());
    if (symbol == nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
        throw QbrenderError("'" + info_.path.string() + "' has no entry point '" + entry_name +
                            "', which its resource names");
    }
    entry_ = reinterpret_cast<EffectEntryPoint>(symbol);
}

PluginLibrary::~PluginLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}
