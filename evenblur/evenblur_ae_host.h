#pragma once

#include <cstdint>
#include <string>

#include "framework/rectangle.h"  // complete before the host header, whose hooks take it by value
#include "aehost/frame_renders.h"
#include "evenblur/evenblur_settings.h"
#include "aehost/parameter_checkouts.h"

// The host face of the out-of-focus effect: its identity, its 50 parameters, the enabling of
// its controls, and the frame render, which reads the parameters into EvenblurSettings, wraps
// the layers as images and runs EvenblurEffect. Built anew for every host command by the entry
// point; it has no state of its own beyond the command.
class EvenblurAEHost : public FrameRenders<EvenblurAEHost> {
public:
    static constexpr const char* kName = "Glimmora 'Evenblur'";
    static constexpr const char* kCategory = "Quillbrook";
    static constexpr const char* kDescription =
        "Simulates a camera's Evenblur effect.\n\n"
        "Quillbrook lens effects, made by the Quillbrook team.\n";
    static constexpr int32_t kVersionMajor = 1;
    static constexpr int32_t kVersionMinor = 4;
    static constexpr int32_t kVersionRevision = 7;
    // Effect menu name and the match name that projects store; the match name never changes.
    static constexpr const char* kResourceName = "QB Evenblur";
    static constexpr const char* kMatchName = "MTQB Evenblur";
    static constexpr const char* kLogFileName = "quillbrook/evenblur_ae.log";
    // The input layer and 50 effect parameters.
    static constexpr int32_t kParameterCount = 51;

    // Parameter positions (0 is the input layer). The stable id stored in projects equals the
    // position up to kSelectionLayer and is the position plus 1 from kLightnessGroup on (id 23
    // is not used).
    enum Position : int32_t {
        kShow = 1,
        kRadius,
        kPreservativeHighlight,
        kAdditiveHighlight,
        kGammaCorrection,
        kBackgroundLayer,
        kBackgroundDistortion,
        kDistortionAntialias,
        kIrisGroup,
        kAlternativeIris,
        kColoredIris,
        kSmooth,
        kFacets,
        kAngle,
        kRoundedFacets,
        kBorderBrightness,
        kBorderThickness,
        kAspect,
        kIrisGroupEnd,
        kSelectionGroup,
        kSelectionEnable,
        kSelectionLayer,
        kLightnessGroup,
        kLightnessStart,
        kLightnessEnd,
        kLightnessClimax,
        kLightnessSoften,
        kLightnessOffset,
        kLightnessGroupEnd,
        kHueGroup,
        kHueStart,
        kHueEnd,
        kHueClimax,
        kHueSoften,
        kHueOffset,
        kHueGroupEnd,
        kSaturationGroup,
        kSaturationStart,
        kSaturationEnd,
        kSaturationClimax,
        kSaturationSoften,
        kSaturationOffset,
        kSaturationGroupEnd,
        kSelectionGroupEnd,
        kOutsideGroup,
        kHorizontalAssume,
        kVerticalAssume,
        kOutsideColor,
        kOutsideColorAlpha,
        kOutsideGroupEnd,
    };
    static_assert(kOutsideGroupEnd + 1 == kParameterCount);

    // The parameters a frame render reads, in the order they are checked out (and, reversed,
    // checked in). "gamma correction" is read once more through a checkout of its own.
    static constexpr int32_t kRenderCheckoutOrder[] = {kShow,
                                                       kRadius,
                                                       kGammaCorrection,
                                                       kHorizontalAssume,
                                                       kVerticalAssume,
                                                       kOutsideColor,
                                                       kOutsideColorAlpha,
                                                       kBackgroundDistortion,
                                                       kDistortionAntialias,
                                                       kColoredIris,
                                                       kSmooth,
                                                       kRoundedFacets,
                                                       kBorderThickness,
                                                       kBorderBrightness,
                                                       kAngle,
                                                       kAspect,
                                                       kFacets,
                                                       kPreservativeHighlight,
                                                       kAdditiveHighlight,
                                                       kSelectionEnable,
                                                       kHueStart,
                                                       kHueEnd,
                                                       kHueClimax,
                                                       kHueSoften,
                                                       kSaturationStart,
                                                       kSaturationEnd,
                                                       kSaturationClimax,
                                                       kSaturationSoften,
                                                       kLightnessStart,
                                                       kLightnessEnd,
                                                       kLightnessClimax,
                                                       kLightnessSoften,
                                                       kHueOffset,
                                                       kSaturationOffset,
                                                       kLightnessOffset};

    EvenblurAEHost();

    // Adds the 50 parameters; a refused one ends the setup with the host's error, before the
    // parameter count is set.
    PF_Err paramsSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                       PF_LayerDef* output) override;
    // Greys out the controls that the current "show" mode, highlight selection, outside modes
    // and connected layers leave without effect.
    PF_Err updateParamsUI(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                          PF_LayerDef* output, void* extra) override;

    int32_t parameterCount() const override { return kParameterCount; }
    // 0: "blend layer" at position 6, 1: "lens layer" at 10, requested whole (the lens kernel is
    // built from all of it), 2: "selection layer" at 22.
    std::span<const HelperLayer> helperLayers() const override;

    // Checks out the parameters of a frame in kRenderCheckoutOrder into `checkouts` and fills
    // *settings from them and from the command's downsampling. Values outside a control's valid
    // range (which the host never gives) are brought into it, and a NaN slider takes its
    // default, so that no filter sees a value its control cannot make.
    PF_Err checkoutSettings(ParameterCheckouts& checkouts, EvenblurSettings* settings);

private:
    friend class FrameRenders<EvenblurAEHost>;
    template <class P>
    PF_Err renderFrame(const LayerImage& source, const LayerImage& output, const LayerMap& layers);
};

extern template class FrameRenders<EvenblurAEHost>;
