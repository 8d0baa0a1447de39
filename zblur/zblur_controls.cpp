#include "zblur/zblur_controls.h"

#include <initializer_list>

#include "zblur/zblur_parameters.h"
#include "zblur/zblur_settings.h"

namespace {

bool showIsOneOf(int32_t show, std::initializer_list<int32_t> choices) {
    for (const int32_t choice : choices) {
        if (show == choice) return true;
    }
    return false;
}

void addRange(std::vector<ZblurControlUpdate>& updates, int32_t first, int32_t last, bool enabled) {
    for (int32_t position = first; position <= last; ++position) {
        updates.push_back({position, enabled});
    }
}

}  // namespace

std::vector<ZblurControlUpdate> zblurControlUpdates(const ZblurControlState& state) {
    const int32_t s = state.show;
    // Views of the blur itself: the plain blur and the coverage view.
    const bool blur_view = showIsOneOf(s, {kZblurShowNormalBlur, kZblurShowInfoDensity});
    // Views that read the depth: all but the iris and the two selection views.
    const bool depth_view = !showIsOneOf(
        s, {kZblurShowIris, kZblurShowHighlightSelection, kZblurShowHighlightSelectionOnly});
    // Views that depend on the focus: the depth views except the depth buffer.
    const bool focus_view = depth_view && s != kZblurShowDepthBuffer;
    // Views that use the iris: not the depth buffer, the selections or the sharp zone.
    const bool iris_view = !showIsOneOf(s, {kZblurShowDepthBuffer, kZblurShowHighlightSelection,
                                            kZblurShowHighlightSelectionOnly, kZblurShowSharpZone});
    // Views that show highlights: not the iris, the depth buffer or the sharp zone.
    const bool highlight_view =
        !showIsOneOf(s, {kZblurShowIris, kZblurShowDepthBuffer, kZblurShowSharpZone});
    const bool outside_colour =
        state.horizontal_assume == kZblurAssumeColor || state.vertical_assume == kZblurAssumeColor;

    std::vector<ZblurControlUpdate> updates;
    updates.reserve(64);
    updates.push_back({kZblurDepthLayer, depth_view});
    // What lies behind the near objects only matters where they are blurred.
    updates.push_back({kZblurBehindLayer, blur_view});
    updates.push_back({kZblurBehindDepthLayer, blur_view});
    updates.push_back({kZblurHighlightIntensity, blur_view && state.highlight_enabled});
    updates.push_back({kZblurGammaCorrection, blur_view});
    addRange(updates, kZblurRadius, kZblurSelectDepth, focus_view);
    addRange(updates, kZblurDepthGroup, kZblurCurve, depth_view);
    updates.push_back({kZblurTakeDepthFrom, depth_view && state.depth_layer_connected});
    updates.push_back({kZblurIrisGroup, iris_view});
    addRange(updates, kZblurFacets, kZblurAspect, iris_view && !state.iris_layer_connected);
    const bool selection_controls = highlight_view && state.highlight_enabled;
    addRange(updates, kZblurHighlightEnable, kZblurLightnessOffset, selection_controls);
    addRange(updates, kZblurHueGroup, kZblurHueOffset, selection_controls);
    addRange(updates, kZblurSaturationGroup, kZblurSaturationOffset, selection_controls);
    updates.push_back({kZblurHighlightEnable, highlight_view});
    updates.push_back({kZblurHighlightGroup, highlight_view});
    addRange(updates, kZblurOutsideGroup, kZblurOutsideGroupEnd, blur_view);
    updates.push_back({kZblurOutsideColor, blur_view && outside_colour});
    updates.push_back({kZblurOutsideAlpha, blur_view && outside_colour});
    const bool depth_range = state.depth_channel && depth_view && !state.depth_layer_connected;
    addRange(updates, kZblurBlackPoint, kZblurAutoRange, depth_range);
    return updates;
}
