#pragma once

#include <cstdint>
#include <string>

#include "aehost/frame_renders.h"
#include "zblur/zblur_parameters.h"

class InputDepthChannel;

// The host face of the depth-of-field effect: its identity, its 57 parameters, the enabling of
// its controls, the two one-shot depth controls ("auto range", "select depth"), its helper
// layers and its frame render. Built anew for every host command by the entry point; the only
// state kept between commands is the depth picker's (DepthPickerState).
class ZblurAEHost : public FrameRenders<ZblurAEHost> {
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
    // The input layer and 57 effect parameters.
    static constexpr int32_t kParameterCount = kZblurParameterCount;

    ZblurAEHost();

    // Registers the parameter table, one parameter at a time; the first failure is returned.
    PF_Err paramsSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                       PF_LayerDef* output) override;
    // "auto range" fills the depth range from the input's depth channel, "select depth" the
    // focal point from the depth under the picked point; changing "black point" or "white
    // point" by hand turns "auto range" off. Written values are marked changed.
    PF_Err userChangedParam(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                            PF_LayerDef* output, void* extra) override;
    // Greys out the controls that do nothing in the current view or with what is connected
    // (zblur_controls.h). Always succeeds; without the parameter utilities nothing is pushed.
    PF_Err updateParamsUI(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                          PF_LayerDef* output, void* extra) override;

    int32_t parameterCount() const override { return kParameterCount; }
    // 0: "zbuffer layer" at position 2, 1: "selection layer" at 27, 2: "lens layer" at 17,
    // requested whole: the iris kernel is built from all of it.
    std::span<const HelperLayer> helperLayers() const override;

private:
    friend class FrameRenders<ZblurAEHost>;
    // The frame render at each pixel depth: parameters to settings, the depth source (depth
    // layer, else the input's depth channel, else none), then the filter.
    template <class P>
    PF_Err renderFrame(const LayerImage& source, const LayerImage& output, const LayerMap& layers);
    void autoRange(PF_ParamDef* params[], const InputDepthChannel& channel);
    PF_Err pickFocalPoint(PF_ParamDef* params[], const InputDepthChannel& channel);
};

extern template class FrameRenders<ZblurAEHost>;
