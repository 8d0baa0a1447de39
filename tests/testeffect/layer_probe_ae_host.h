#pragma once

#include <string>
#include <vector>

#include "aehost/after_effects_host.h"

// A test-only effect that exercises the host binding with a result that can be checked
// pixel for pixel. It registers one parameter of every kind and two helper layers, and writes
//
//   out = clamp(mix(source, gain * (first + second)) + adds) [inverted] * tint, marker pixel
//
// per channel in the render's own scale (maximum 255, 32768 or 1.0), where a helper layer
// contributes at the place the binding put it (its LayerImage origin) and nothing outside it.
// "output" picks the mix: 1 source plus layers, 2 source only, 3 layers only; 4 "input depth"
// writes the input's depth channel instead (colour = z / 100 of the maximum, alpha maximum),
// read through the channel suite in the data type the host describes, and fails with
// PF_Err_BAD_CALLBACK_PARAM when the world suite reports another pixel format for the output
// than its bit depth says; 5 "descriptions" writes, for float renders, the LayerImage fields it
// was given into the first four pixels of the top row (see describe() in the source). "add red"
// adds n/255 of the maximum to red, "add green" (fixed) a fraction of the maximum to green, "blue
// turn" the angle's share of a full turn (0..1) to blue. "invert" replaces colour by maximum
// minus colour; "tint" scales colour by its components / 255. "marker" (a point, layer pixels
// at the render's resolution) turns the pixel it falls on opaque white. Integer results are
// rounded to nearest. "source frame offset" moves the frame at which the source is read.
//
// "misbehave" makes the render break one rule of the host on purpose, so that the tests can see
// the host catch it: 2 leaks a memory handle, 3 writes one byte into the output's row padding,
// 4 keeps a parameter checked out, 5 writes into the input layer's pixels.
//
// "whole frame" (on) asks, at smart pre-render, for all of the source and renders the whole
// frame whatever part the host requested, as an effect that must see all of its input does.
//
// Controls: "layer gain" and both layers are disabled when "output" is 2; "tint" is disabled
// while "invert" is on. Clicking "reset" (on) sets "layer gain" to 1, "add red" to 0 and
// "reset" back to off.
class LayerProbeAEHost : public AfterEffectsHost {
public:
    enum Position : int32_t {
        kOutput = 1,
        kGain = 2,
        kAddRed = 3,
        kAddGreen = 4,
        kBlueTurn = 5,
        kInvert = 6,
        kTint = 7,
        kMarker = 8,
        kLayersGroup = 9,
        kFirstLayer = 10,
        kSecondLayer = 11,
        kLayersGroupEnd = 12,
        kReset = 13,
        kSourceFrameOffset = 14,
        kMisbehave = 15,
        kWholeFrame = 16,
        kParameterCount = 17
    };

    LayerProbeAEHost();

    PF_Err paramsSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                       PF_LayerDef* output) override;
    PF_Err updateParamsUI(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                          PF_LayerDef* output, void* extra) override;
    PF_Err userChangedParam(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                            PF_LayerDef* output, void* extra) override;

    PF_Err render8(const LayerImage& source, const LayerImage& output_layer,
                   const LayerMap& layers) override;
    PF_Err render16(const LayerImage& source, const LayerImage& output_layer,
                    const LayerMap& layers) override;
    PF_Err renderFloat(const LayerImage& source, const LayerImage& output_layer,
                       const LayerMap& layers) override;

    int32_t parameterCount() const override { return kParameterCount; }
    int32_t helperLayer(int32_t index, std::string* name_out) const override;
    double layerFrame(const std::string& layer_name) override;
    void adjustLayerRequest(const std::string& layer_name, Rectangle* request, Rectangle proposed,
                            double* pixel_aspect_out, const double* command_pixel_aspect,
                            double layer_pixel_aspect, double downsample_x, double downsample_y,
                            int32_t layer_width, int32_t layer_height) override;

    // What the render reads from the parameters, in plain values.
    struct Settings {
        int32_t output = 1;
        double gain = 1.0;
        int32_t add_red = 0;
        double add_green = 0.0;
        double blue_turn = 0.0;  // share of a full turn, 0..1
        bool invert = false;
        double tint[3] = {1.0, 1.0, 1.0};
        int32_t marker_x = -1;
        int32_t marker_y = -1;
        int32_t misbehave = 1;
    };

private:
    template <class Channel>
    PF_Err renderAs(const LayerImage& source, const LayerImage& output_layer,
                    const LayerMap& layers, double maximum);
    PF_Err readSettings(Settings* settings);
    PF_Err readDepth(const LayerImage& output_layer, std::vector<double>* depth, int32_t* width,
                     int32_t* height);
    PF_Err misbehave(const Settings& settings, const LayerImage& source,
                     const LayerImage& output_layer);
};
