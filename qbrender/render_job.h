#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qbrender/effect_session.h"
#include "qbrender/options.h"

// One render through the whole host, for tests and tools: load the effect, connect the layers,
// set the parameters by their registered names, update the controls, send the clicks, render
// one frame, set the effect down.
struct RenderJob {
    // A library path, or a name of an effect in `plugin_dir` (see resolveEffect).
    std::string effect;
    std::string plugin_dir = defaultPluginDir();
    std::shared_ptr<LayerSource> input;
    // Layer parameters by registered name.
    std::vector<std::pair<std::string, std::shared_ptr<LayerSource>>> layers;
    // Values by registered name, in order (see ParameterStore::setFromText).
    std::vector<NamedValue> sets;
    // Parameters reported as changed by the user after the values are set, in order.
    std::vector<std::string> clicks;
    FrameRequest frame;
    SessionSettings settings;
};

struct RenderOutcome {
    FrameResult frame;
    // Every control after the last parameter-UI update.
    std::vector<ControlState> controls;
    // Values the effect changed in answer to the clicks.
    std::vector<ParameterChange> changes;
    // Host-side findings: leaked handles, unbalanced checkouts, writes outside worlds...
    std::vector<std::string> faults;
    std::vector<PF_Cmd> commands;
};

// Throws QbrenderError for bad input (unknown effect, parameter or value; a layer parameter
// given a value) and for failing setup commands; a failing render is reported in
// outcome.frame.status.
RenderOutcome runRenderJob(const RenderJob& job);
