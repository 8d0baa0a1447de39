#pragma once

#include <cstdint>
#include <string>

#include "after_effects_host.h"

// The host face of the depth-of-field effect: its identity, its helper layers and its render
// operations. Built anew for every host command by the entry point.
class ZblurAEHost : public AfterEffectsHost {
public:
    static constexpr const char* kName = "Glimmora 'Zblur'";
    static constexpr const char* kCategory = "Quillbrook";
    static constexpr const char* kDescription =
        "Simulates a camera's focus change(ZBLUR).\n\n"
        "Quillbrook lens effects, made by the Quillbrook team.\n";
    static constexpr int32_t kVersionMajor = 1;
    static constexpr int32_t kVersionMinor = 4;
    static constexpr int32_t kVersionRevision = 7;
    // Effect menu name and the match name that projects store; the match name never changes.
    static constexpr const char* kResourceName = "QB Zblur";
    static constexpr const char* kMatchName = "MTQB Zblur";
    static constexpr const char* kLogFileName = "quillbrook/zblur_ae.log";
    // The input layer and 55 effect parameters.
    static constexpr int32_t kParameterCount = 56;

    ZblurAEHost();

    // The lens layer is requested whole (the proposed rectangle), whatever the output needs:
    // the iris kernel is built from all of it.
    void adjustLayerRequest(const std::string& layer_name, Rectangle* request, Rectangle proposed,
                            double* pixel_aspect_out, const double* command_pixel_aspect,
                            double layer_pixel_aspect, double downsample_x, double downsample_y,
                            int32_t layer_width, int32_t layer_height) override;

    PF_Err render8(const LayerImage& source, const LayerImage& output,
                   const LayerMap& layers) override;
    PF_Err render16(const LayerImage& source, const LayerImage& output,
                    const LayerMap& layers) override;
    PF_Err renderFloat(const LayerImage& source, const LayerImage& output,
                       const LayerMap& layers) override;

    int32_t parameterCount() const override { return kParameterCount; }
    // 0: "zbuffer layer" at position 2, 1: "selection layer" at 27, 2: "lens layer" at 17.
    int32_t helperLayer(int32_t index, std::string* name) const override;
};
