#pragma once

#include <cstdint>
#include <vector>

// Which effect controls are usable, by display mode and by what is connected. Controls that
// have no effect on the current view are greyed out; the depth range controls only matter when
// the depth comes from the input's own depth channel.
struct ZblurControlState {
    int32_t show = 1;                // "show" choice 1 .. 7
    bool highlight_enabled = false;  // "enable" of the highlight selection
    int32_t horizontal_assume = 1;   // outside-image choices 1 .. 4
    int32_t vertical_assume = 1;
    bool depth_channel = false;          // the input has a depth channel that can be read now
    bool depth_layer_connected = false;  // "depth layer" has pixels
    bool iris_layer_connected = false;   // "alternative iris (beta)" has pixels
};

struct ZblurControlUpdate {
    int32_t position;
    bool enabled;

    bool operator==(const ZblurControlUpdate&) const = default;
};

// The enabled state of every control that is ever greyed out, as a list of updates in the
// order they are pushed to the host. A few positions appear twice, first with the rule of the
// range they sit in, then with their own; the later update is the one that counts.
std::vector<ZblurControlUpdate> zblurControlUpdates(const ZblurControlState& state);
