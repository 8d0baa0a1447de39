#pragma once

#include <cstdint>
#include <span>

#include "AE_Effect.h"
#include "aehost/parameter_table.h"

// The effect's parameters: positions in the host's parameter array (0 is the input layer) and
// the registration table. Ids are what saved projects refer to; they never change.
enum ZblurParam : int32_t {
    kZblurInput = 0,
    kZblurShowParam = 1,
    kZblurDepthLayer = 2,
    kZblurRadius = 3,
    kZblurFocalPoint = 4,
    kZblurSelectDepth = 5,
    kZblurHighlightIntensity = 6,
    kZblurGammaCorrection = 7,
    kZblurDepthGroup = 8,
    kZblurInvert = 9,
    kZblurCurve = 10,
    kZblurTakeDepthFrom = 11,
    kZblurBlackPoint = 12,
    kZblurWhitePoint = 13,
    kZblurAutoRange = 14,
    kZblurDepthGroupEnd = 15,
    kZblurIrisGroup = 16,
    kZblurAlternativeIris = 17,
    kZblurFacets = 18,
    kZblurAngle = 19,
    kZblurRoundedFacets = 20,
    kZblurBorderBrightness = 21,
    kZblurBorderThickness = 22,
    kZblurAspect = 23,
    kZblurIrisGroupEnd = 24,
    kZblurHighlightGroup = 25,
    kZblurHighlightEnable = 26,
    kZblurSelectionLayer = 27,
    kZblurLightnessGroup = 28,
    kZblurLightnessStart = 29,
    kZblurLightnessEnd = 30,
    kZblurLightnessClimax = 31,
    kZblurLightnessSoften = 32,
    kZblurLightnessOffset = 33,
    kZblurLightnessGroupEnd = 34,
    kZblurHueGroup = 35,
    kZblurHueStart = 36,
    kZblurHueEnd = 37,
    kZblurHueClimax = 38,
    kZblurHueSoften = 39,
    kZblurHueOffset = 40,
    kZblurHueGroupEnd = 41,
    kZblurSaturationGroup = 42,
    kZblurSaturationStart = 43,
    kZblurSaturationEnd = 44,
    kZblurSaturationClimax = 45,
    kZblurSaturationSoften = 46,
    kZblurSaturationOffset = 47,
    kZblurSaturationGroupEnd = 48,
    kZblurHighlightGroupEnd = 49,
    kZblurOutsideGroup = 50,
    kZblurHorizontalAssume = 51,
    kZblurVerticalAssume = 52,
    kZblurOutsideColor = 53,
    kZblurOutsideAlpha = 54,
    kZblurOutsideGroupEnd = 55,
    // Added later, after every older parameter, so that saved projects keep their positions.
    kZblurBehindLayer = 56,
    kZblurBehindDepthLayer = 57,
};

inline constexpr int32_t kZblurParameterCount = 58;  // the input layer and 57 parameters

// Popup choice strings, choices numbered from 1.
inline constexpr const char* kZblurShowChoices =
    "normal blur | iris | depth-buffer | highlight, selection | highlight, selection only | "
    "info density | sharp zone ";
inline constexpr const char* kZblurDepthChoices =
    "luminance | alpha chanel | red chanel | green chanel | blue chanel";
inline constexpr const char* kZblurAssumeChoices =
    "border color|mirrored image|repeated image|color";
inline constexpr int32_t kZblurAssumeColor = 4;  // the outside colour fills what lies outside

// The 57 parameters in registration order (positions 1 .. 57).
std::span<const ParameterSpec> zblurParameterTable();

struct ZblurSettings;

// The frame settings from the parameters' current values, read through the table's clamped
// reads (a NaN slider takes its default). `by_position` holds a record for every position
// 1 .. 57 (index = position; unused entries may be null, the ones read must not be). The depth
// source is not known here: black and white are the depth layer's 0 and 1 and depth_channel is
// the "take depth from:" choice; the caller adjusts them for the input's depth channel.
// scale_x and scale_y are 1 / the downsample factors (1 when not positive).
ZblurSettings zblurSettingsFromParameters(std::span<const PF_ParamDef* const> by_position,
                                          double downsample_x, double downsample_y);
