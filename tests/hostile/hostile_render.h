#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "qbrender/effect_session.h"
#include "qbrender/image.h"
#include "qbrender/options.h"

// One frame of an effect rendered in process through the qbrender host, with the host's
// findings, for inputs an effect must survive.
struct HostileRender {
    std::string effect;  // "zblur" or "evenblur"
    Image input;
    // Layer parameters by registered name.
    std::vector<std::pair<std::string, Image>> layers;
    // Values by registered name, as on the command line.
    std::vector<NamedValue> sets;
    // Runs after `sets`, for values the text form cannot give (a slider's exact float limit).
    std::function<void(ParameterStore&)> poke;
    std::vector<std::string> clicks;
    FrameRequest frame;
    SessionSettings settings;
    // Bytes of plug-in handle memory; 0 keeps the machine's default.
    uint64_t memory_limit = 0;
};

struct HostileOutcome {
    FrameResult frame;
    // Host-side findings of every command, including invalid 16-bit values in the output.
    std::vector<std::string> faults;
    std::string refusal;  // HandleTable::lastRefusal after the render
};

HostileOutcome renderHostile(const HostileRender& job);

// An RGBA float image whose colours vary over the frame, alpha 1, with a Z plane from 2 to 50
// scene units when `with_z`.
Image patternImage(int width, int height, bool with_z, int seed = 0);
// A gray image (red = green = blue = v(x, y) in 0..1), alpha 1.
Image grayImage(int width, int height, int seed = 0);

// The three project depths, with names for traces.
extern const SampleDepth kAllDepths[3];

// Fails the current test unless the render succeeded without host findings and every output
// sample is finite (float) and within the channel range; returns whether it did. 16-bit values
// beyond 32768 show as host findings (HostWorld::rangeFault), since the output image maps them
// all to 65535.
bool expectDefinedFrame(const HostileOutcome& outcome, const std::string& what);
// Either a defined frame or a clean out-of-memory failure.
bool expectDefinedFrameOrOutOfMemory(const HostileOutcome& outcome, const std::string& what);
