#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "AE_Effect.h"
#include "AE_EffectCB.h"
#include "aehost/layer_image.h"
#include "framework/quillbrook_host.h"

// The binding of the plug-in object to the host's effect command protocol. `dispatch` stores
// the records of one command and calls its handler; every handler has a default here, and an
// effect overrides what it needs and implements the three render operations. The render
// context runs on the host's callbacks: progress and abort through the progress callback,
// memory from host handles, the thread count from the host's per-processor iteration.
//
// Only this class and the effect hosts touch host records; filters see the render context.
// Handler arguments are the command's records (the same pointers as the fields); each handler
// returns a host result code.
class AfterEffectsHost : public QuillbrookHost {
public:
    // One helper layer of an effect: the name it has in the LayerMap, the position of its layer
    // parameter, and whether smart pre-render asks for the whole layer (the proposed rectangle)
    // instead of what the output needs, as for a lens image that a kernel is built from.
    struct HelperLayer {
        const char* name;
        int32_t position;
        bool whole = false;
    };

    // Written at global setup and carried by the plug-in resource; the two must agree.
    static constexpr PF_OutFlags kGlobalOutFlags =
        PF_OutFlag_DEEP_COLOR_AWARE | PF_OutFlag_SEND_UPDATE_PARAMS_UI;
    static constexpr PF_OutFlags2 kGlobalOutFlags2 = PF_OutFlag2_REVEALS_ZERO_ALPHA |
                                                     PF_OutFlag2_SUPPORTS_SMART_RENDER |
                                                     PF_OutFlag2_FLOAT_COLOR_AWARE;
    static constexpr const char* kEntryPointName = "EntryPointFunc";
    static constexpr A_long kPremiereApplicationId = 0x50724D72;  // 'PrMr'

    static constexpr A_u_long effectVersion(int32_t major, int32_t minor, int32_t revision) {
        return PF_VERSION(major, minor, revision, PF_Stage_RELEASE, 0);
    }

    AfterEffectsHost(std::string name, std::string category, std::string description,
                     int32_t version_major, int32_t version_minor, int32_t version_revision);
    ~AfterEffectsHost() override;

    // Render context. progress() calls the host only on the host's thread; any other thread
    // (the pool's workers) gets noError() or, once the host thread has seen an abort or error
    // in this parallel run, abortError(). allocate() and release() go to host handles under
    // handle_lock and may be called from any thread.
    int32_t progress(int32_t current, int32_t total) override;
    void* allocate(size_t bytes) override;
    void release(void* block) override;
    int32_t threadCount(int32_t maximum) override;
    int32_t runParallel(int32_t count, void* object, ParallelCallback callback) override;
    // in_data's current_time / local_time_step; 0 when the host gives no frame duration.
    double currentFrame() override;
    double layerFrame(const std::string& layer_name) override;

    int32_t outOfMemoryError() const override { return PF_Err_OUT_OF_MEMORY; }
    int32_t abortError() const override { return PF_Interrupt_CANCEL; }
    int32_t internalError() const override { return PF_Err_INTERNAL_STRUCT_DAMAGED; }

    // Stores the records, runs the command's handler and returns its result. Exceptions pass
    // through to the command boundary (command_boundary.h).
    virtual PF_Err dispatch(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                            PF_ParamDef* params[], PF_LayerDef* output, void* extra);

    // "<name>  v1.4.7\r<description>" into out_data's return_msg, through the host's sprintf.
    virtual PF_Err about(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                         PF_LayerDef* output);
    // Version and global flags; allocates nothing.
    virtual PF_Err globalSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                               PF_LayerDef* output);
    virtual PF_Err globalSetdown(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                 PF_LayerDef* output);
    virtual PF_Err sequenceSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                 PF_LayerDef* output);
    virtual PF_Err sequenceResetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                   PF_LayerDef* output);
    virtual PF_Err sequenceSetdown(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                   PF_LayerDef* output);
    virtual PF_Err sequenceFlatten(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                   PF_LayerDef* output);
    virtual PF_Err event(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                         PF_LayerDef* output, void* extra);
    virtual PF_Err arbitraryCallback(PF_InData* in_data, PF_OutData* out_data,
                                     PF_ParamDef* params[], PF_LayerDef* output, void* extra);
    virtual PF_Err completelyGeneral(PF_InData* in_data, PF_OutData* out_data,
                                     PF_ParamDef* params[], PF_LayerDef* output, void* extra);
    // Registers nothing: the input layer is the only parameter.
    virtual PF_Err paramsSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                               PF_LayerDef* output);
    virtual PF_Err userChangedParam(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                    PF_LayerDef* output, void* extra);
    virtual PF_Err updateParamsUI(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                  PF_LayerDef* output, void* extra);
    // Output origin (0, 0).
    virtual PF_Err frameSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                              PF_LayerDef* output);
    virtual PF_Err frameSetdown(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                                PF_LayerDef* output);

    // One render per pixel depth: 8 bits (maximum 255), 16 bits (maximum 32768), 32-bit float
    // (maximum 1.0). `layers` holds every helper layer by name, connected or not.
    virtual PF_Err render8(const LayerImage& source, const LayerImage& output,
                           const LayerMap& layers) = 0;
    virtual PF_Err render16(const LayerImage& source, const LayerImage& output,
                            const LayerMap& layers) = 0;
    virtual PF_Err renderFloat(const LayerImage& source, const LayerImage& output,
                               const LayerMap& layers) = 0;

    virtual PF_Err queryDynamicFlags(PF_InData* in_data, PF_OutData* out_data,
                                     PF_ParamDef* params[], PF_LayerDef* output);

    // Parameters including the input layer.
    virtual int32_t parameterCount() const { return 1; }
    // The effect's helper layers, in LayerRecord order; none by default.
    virtual std::span<const HelperLayer> helperLayers() const { return {}; }
    // Parameter position of the index-th helper layer, and its name into *name when name is
    // not null; -1 (name untouched) past the last one. From helperLayers().
    virtual int32_t helperLayer(int32_t index, std::string* name) const;
    // Requests a helper layer marked `whole` in helperLayers() as proposed; leaves every other
    // request as it is.
    void adjustLayerRequest(const std::string& layer_name, Rectangle* request, Rectangle proposed,
                            double* pixel_aspect_out, const double* command_pixel_aspect,
                            double layer_pixel_aspect, double downsample_x, double downsample_y,
                            int32_t layer_width, int32_t layer_height) override;

    // PF_Err_INVALID_CALLBACK when parameter setup has no records or no add-parameter
    // callback to register with, else PF_Err_NONE.
    static PF_Err parameterSetupError(const PF_InData* in_data, const PF_OutData* out_data);

    // Hosts of effect API 12.5 and later tell whether a layer parameter is connected.
    bool hostKnowsLayers() const;
    // Checks the layer parameter at `position` out at the current time and in again: true when
    // the checked-out layer has pixels; false when the host has no checkout or refuses it.
    bool layerConnected(int32_t position);

    bool isPremiere() const;
    // Sets or clears PF_PUI_DISABLED on the command's parameter record at `position` and
    // pushes it to the host with PF_UpdateParamUI; in Premiere only layer parameters are
    // pushed. Throws AfterEffectsError when the host has no parameter utilities.
    PF_Err setParamEnabled(int32_t position, bool enabled);

    // The command's records, set by dispatch; valid until the command returns. Held in one
    // field so that the command functions' parameters, which carry the SDK's names, hide none
    // of them.
    struct CommandRecords {
        PF_InData* in_data = nullptr;
        PF_OutData* out_data = nullptr;
        PF_LayerDef* output = nullptr;   // null for commands without an output world
        void* extra = nullptr;           // smart-render and event records
        PF_ParamDef** params = nullptr;  // index 0 is the input layer
    };
    CommandRecords command;

    // Serialises every call into the host's handle callbacks.
    std::mutex handle_lock;
    // The host error that the host thread got from the progress callback during the current
    // parallel run; noError() otherwise. Written by the host thread only.
    std::atomic<int32_t> pending_error{0};

protected:
    // The three render paths: check the layers out of the host, describe them as LayerImages
    // and call the render operation of the pixel depth (layer_render.cpp).
    PF_Err classicRender();
    PF_Err smartPreRender(PF_PreRenderExtra* pre_render);
    PF_Err smartRender(PF_SmartRenderExtra* smart_render);

private:
    bool onHostThread() const { return std::this_thread::get_id() == host_thread_; }

    std::thread::id host_thread_;
    // The host's per-processor count as last asked on the host thread (0: not yet asked), for
    // threadCount() calls from workers, which must not call the host.
    std::atomic<int32_t> host_processors_{0};
};
