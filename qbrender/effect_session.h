#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AE_ChannelSuites.h"
#include "AE_Effect.h"
#include "AE_EffectCB.h"
#include "qbrender/host_handles.h"
#include "qbrender/host_world.h"
#include "qbrender/layer_source.h"
#include "qbrender/parameter_store.h"
#include "qbrender/plugin_library.h"
#include "framework/rectangle.h"

class ProgressBar;

// How the host presents itself to the effect, and the faults it may be told to simulate.
struct SessionSettings {
    // Processors the host reports through its per-processor iteration; 0 = the machine's.
    int threads = 0;
    // Hand the input's depth channel over as doubles ('DBL8') instead of floats ('FLT4').
    bool depth_double = false;
    PF_SpecVersion api_version{13, 28};
    A_long application_id = 0x46585443;  // 'FXTC', the compositing host
    // Drawn by the progress callback when given; the caller keeps it alive.
    ProgressBar* progress_bar = nullptr;

    // Fault injection, for testing the effects' failure paths:
    // the progress callback (and the abort check after it) answers PF_Interrupt_CANCEL from its
    // n-th call of each frame's commands on (0 = never) ...
    int64_t cancel_after_progress_calls = 0;
    // ... the basic suite's AcquireSuite refuses these suites, by name ...
    std::vector<std::string> missing_suites;
    // ... and checking out these layer parameters (by registered name; "input" is the effect's
    // input layer) fails with kFailedCheckoutError: checkout_param in every command, and in the
    // smart path checkout_layer_pixels in smart render. With `fail_layer_requests` the smart
    // path fails earlier, at checkout_layer in smart pre-render.
    std::vector<std::string> failing_checkouts;
    bool fail_layer_requests = false;
};

// What a failed layer checkout returns: the host cannot render or hold the layer's pixels.
constexpr PF_Err kFailedCheckoutError = PF_Err_OUT_OF_MEMORY;

// One frame to render.
struct FrameRequest {
    int frame = 0;
    SampleDepth depth = SampleDepth::bits8;
    int downsample = 1;
    bool classic = false;
    // Smart render only: the output rectangle to request, in output pixels at the render's
    // resolution; the whole frame when unset.
    std::optional<Rectangle> region;
    PF_RationalScale pixel_aspect{1, 1};
    // The n-th host memory allocation from the start of this frame's commands (1 = the first)
    // and all after it fail; 0 = none fail.
    uint64_t fail_allocations_from = 0;
    // For this frame instead of SessionSettings::cancel_after_progress_calls when not 0.
    int64_t cancel_after_progress_calls = 0;
};

struct FrameResult {
    PF_Err status = PF_Err_NONE;
    PF_Cmd failed_command = PF_Cmd_RENDER;
    // The whole frame at the render's resolution and depth (16-bit values 0..65535 as in
    // files); transparent black outside `written`.
    Image output;
    // The part of the frame the effect rendered, in output pixels.
    Rectangle written;
    // The effect's time for the frame, in seconds: wall time inside the effect's entry point
    // for the render commands (and inside its pre-render data disposal), less the host's own
    // work in the callbacks it made on the host thread (building the worlds of layers and of
    // the output, checksums and padding checks). No file reading or conversion.
    double seconds = 0;
    // The host's own work for the frame, in seconds: building and filling worlds, checking
    // them after use (input checksums, padding, 16-bit range), the leak checks and the copy of
    // the output into the frame image. Reading and converting layer files is not included; it
    // happens before the frame starts.
    double host_seconds = 0;
    // Smart pre-render left pre-render data for smart render (the host disposes of it).
    bool pre_render_data = false;
    // When a progress or abort callback answered PF_Interrupt_CANCEL: the time from the first
    // such answer to the return of the command that got it, in seconds.
    std::optional<double> cancel_latency;
    // Progress calls of this frame's commands.
    int64_t progress_calls = 0;
};

// The enabled state of a control, as the effect last pushed it with PF_UpdateParamUI (or as
// registered, when it never did).
struct ControlState {
    int position = 0;
    std::string name;
    std::string kind;
    bool enabled = true;
    int updates = 0;
};

struct ParameterChange {
    int position = 0;
    std::string name;
    std::string before;
    std::string after;
};

// One effect instance in the host: the loaded library and its parameters, layers and host
// services. Construction runs global setup, parameter setup and sequence setup; destruction
// runs sequence setdown and global setdown. Commands run one at a time, each on the calling
// thread, which is the "host thread" of that command.
//
// After every command the host checks what the effect must have given back: memory handles
// (none may stay alive, except the pre-render data the host keeps from smart pre-render to
// smart render), checked-out parameters and channels, acquired suites, worlds made through the
// world suite; and it checks that no world's spare row bytes were written and that no input
// layer's pixels changed. Each finding is a fault line (see takeFaults) that names the command.
class EffectSession {
public:
    // Throws QbrenderError: status 1 when the library cannot be loaded, 2 when a setup command
    // fails or the effect's version or flags at global setup differ from its resource.
    EffectSession(EffectInfo effect, SessionSettings settings = {});
    ~EffectSession();
    // Sequence setdown and global setdown now (the destructor then sends nothing); throws
    // QbrenderError (status 2) when one of them fails.
    void close();
    EffectSession(const EffectSession&) = delete;
    EffectSession& operator=(const EffectSession&) = delete;

    const EffectInfo& effect() const { return library_.info(); }
    const std::string& effectName() const { return library_.info().resource.name; }
    ParameterStore& parameters() { return params_; }
    const ParameterStore& parameters() const { return params_; }
    PF_OutFlags outFlags() const { return out_flags_; }
    PF_OutFlags2 outFlags2() const { return out_flags2_; }

    // The effect's input layer (position 0).
    void setInput(std::shared_ptr<LayerSource> source);
    // Connects the layer parameter registered as `name`; QbrenderError when there is no such
    // parameter or it is not a layer.
    void connectLayer(const std::string& name, std::shared_ptr<LayerSource> source);
    // ParameterStore::setFromText by registered name.
    void setParameter(const std::string& name, const std::string& value);
    // Depth of the worlds that commands other than renders see (layer checkouts while the
    // controls are updated); a render uses its own.
    void setProjectDepth(SampleDepth depth) { project_depth_ = depth; }
    // The frame of the project's current time, which commands other than renders see; a render
    // moves it to the frame it renders.
    void setCurrentFrame(int frame) { frame_ = frame; }

    // PF_Cmd_ABOUT; the text the effect wrote.
    std::string about();
    // PF_Cmd_UPDATE_PARAMS_UI (sent only when the effect asked for it at global setup), then
    // the state of every control.
    std::vector<ControlState> updateParamsUI();
    // PF_Cmd_USER_CHANGED_PARAM for the named parameter, then PF_Cmd_UPDATE_PARAMS_UI as the
    // host sends it after a change; returns every parameter whose value the effect changed
    // (marked PF_ChangeFlag_CHANGED_VALUE, as the host requires).
    std::vector<ParameterChange> userChangedParam(const std::string& name);
    std::vector<ControlState> controls() const;

    // Classic render (PF_Cmd_FRAME_SETUP, PF_Cmd_RENDER, PF_Cmd_FRAME_SETDOWN) or smart render
    // (PF_Cmd_SMART_PRE_RENDER, PF_Cmd_SMART_RENDER). An effect that does not support smart
    // rendering gets the classic path. QbrenderError (status 1) for a request the host cannot
    // make: no input, a depth the effect does not support, 32-bit float on the classic path.
    FrameResult render(const FrameRequest& request);

    // Fault lines found since the last call; the call clears them.
    std::vector<std::string> takeFaults();
    bool hasFaults() const;
    HandleTable& handles() { return handles_; }
    int64_t progressCalls() const { return progress_calls_.load(); }
    // Commands sent so far, in order.
    const std::vector<PF_Cmd>& commandLog() const { return command_log_; }

private:
    friend struct HostCallbacks;
    friend struct HostCallbacksImpl;

    struct ParamCheckout {
        PF_ParamDef* record;
        int position;
        std::unique_ptr<HostWorld> world;  // layers only
        uint64_t checksum = 0;
    };
    struct LayerCheckout {  // smart pre-render checkout_layer
        int position;
        int frame;
        Rectangle rect;  // in the layer's pixels, clipped to the layer
        bool connected;
        std::unique_ptr<HostWorld> world;  // made by checkout_layer_pixels
        uint64_t checksum = 0;
    };
    struct ChannelCheckout {
        std::vector<unsigned char> buffer;
        size_t pixel_row_bytes;
        size_t row_bytes;
        int height;
    };

    // Adds the wall time of its life to the host's work inside the current frame's commands;
    // used in callbacks on the host thread, never nested.
    class HostWork {
    public:
        explicit HostWork(EffectSession& session)
            : session_(session), start_(std::chrono::steady_clock::now()) {}
        ~HostWork() {
            session_.host_work_in_commands_ += std::chrono::steady_clock::now() - start_;
        }
        HostWork(const HostWork&) = delete;
        HostWork& operator=(const HostWork&) = delete;

    private:
        EffectSession& session_;
        std::chrono::steady_clock::time_point start_;
    };

    PF_Err command(PF_Cmd cmd, PF_ParamDef** params, PF_LayerDef* output, void* extra);
    void checkAfterCommand(PF_Cmd cmd);
    void fault(const std::string& line);
    void prepareInData();
    void setupCommand(PF_Cmd cmd);
    void throwOnError(PF_Cmd cmd, PF_Err error);

    std::vector<PF_ParamDef> paramArray(const HostWorld* input_world, const HostWorld& empty);
    LayerSource* layerSource(int position);
    int frameOfTime(A_long time, A_u_long time_scale) const;
    bool inRenderCommand() const;
    void checkWorld(const HostWorld& world, const std::string& what, uint64_t checksum, bool input);
    std::unique_ptr<HostWorld> layerWorld(int position, int frame, const Rectangle* rect);

    FrameResult renderClassic(const FrameRequest& request, const HostPlane& input);
    FrameResult renderSmart(const FrameRequest& request, const HostPlane& input);
    void releasePreRenderData(void* data, PF_DeletePreRenderDataFunc release);
    void runSetdowns();

    PluginLibrary library_;
    SessionSettings settings_;
    ParameterStore params_;
    std::map<int, std::shared_ptr<LayerSource>> layers_;  // by position; 0 = input
    SampleDepth project_depth_ = SampleDepth::bits8;

    PF_OutFlags out_flags_ = 0;
    PF_OutFlags2 out_flags2_ = 0;
    bool global_setup_done_ = false;
    bool sequence_setup_done_ = false;

    // Per command.
    PF_InData in_data_{};
    PF_OutData out_data_{};
    PF_Cmd current_command_ = PF_Cmd_ABOUT;
    bool in_command_ = false;
    std::thread::id host_thread_;
    int frame_ = 0;
    int downsample_ = 1;
    SampleDepth depth_ = SampleDepth::bits8;
    PF_RationalScale pixel_aspect_{1, 1};
    std::vector<PF_Cmd> command_log_;
    // Per frame, host thread only: wall time inside the effect's code, and the part of it
    // that the host's callbacks spent on the host's own work (see FrameResult::seconds).
    std::chrono::steady_clock::duration effect_time_{};
    std::chrono::steady_clock::duration host_work_in_commands_{};

    // Host services.
    PF_UtilCallbacks utils_{};
    SPBasicSuite basic_suite_{};
    HandleTable handles_;
    PF_Handle kept_handle_ = nullptr;  // pre-render data between the two smart commands
    std::atomic<int64_t> progress_calls_{0};
    // Progress calls since the current frame's commands began; the cancel fault counts these.
    std::atomic<int64_t> frame_progress_calls_{0};
    int64_t cancel_after_ = 0;  // the progress call that answers cancel first; 0 = none
    // The first answer of PF_Interrupt_CANCEL in the current frame, and the latency measured
    // when the command that got it returned.
    std::optional<std::chrono::steady_clock::time_point> cancel_answered_at_;
    std::optional<double> cancel_latency_;
    std::map<std::string, int> suites_acquired_;
    std::vector<ParamCheckout> param_checkouts_;
    std::map<A_long, LayerCheckout> layer_checkouts_;
    Rectangle smart_result_rect_;
    std::unique_ptr<HostWorld> smart_output_;
    std::map<const void*, ChannelCheckout> channel_checkouts_;
    std::map<const void*, std::unique_ptr<HostWorld>> new_worlds_;

    // An exception raised inside a callback (a layer file that cannot be read) cannot pass
    // through the effect's frames: the callback fails and the command rethrows it on return.
    std::exception_ptr pending_exception_;

    mutable std::mutex faults_lock_;
    std::vector<std::string> faults_;
};
