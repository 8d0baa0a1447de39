#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AE_ChannelSuites.h"
#include "AE_Effect.h"
#include "AE_EffectCB.h"
#include "AE_EffectSuites.h"
#include "SPBasic.h"

// An in-memory stand-in for the host of one test: it fills PF_InData / PF_OutData and the
// callbacks, and records what the plug-in did with them. Only one may exist at a time (the
// host's utility callbacks carry no reference, so they find the test host through a global).
//
// - Parameters: `parameters` holds the host's records; paramList() is the array handed to the
//   plug-in; checkout_param copies a record out, checkin_param counts. add_param appends to
//   `added`.
// - Memory: handles are opaque values above 4 GiB (never valid pointers), so a handle cut to
//   32 bits is caught as unknown. Every handle call is checked for overlap with another.
// - Progress: answers with progress_script (or noError()), records the calling thread.
// - Iteration: iterate_generic is offered when processor_iterations > 0 and calls the
//   function that many times, from that many threads at once.
// - Suites: the basic suite serves "PF Param Utils Suite" 1, "PF World Suite" 2 and
//   "PF AE Channel Suite" 1, except the denied ones; PF_UpdateParamUI calls are recorded.
class AETestHost {
public:
    AETestHost();
    ~AETestHost();
    AETestHost(const AETestHost&) = delete;
    AETestHost& operator=(const AETestHost&) = delete;

    static AETestHost* current();

    // Records, wired to the callbacks below.
    PF_InData in_data{};
    PF_OutData out_data{};
    PF_UtilCallbacks utils{};
    SPBasicSuite basic{};
    PF_ParamUtilsSuite1 param_utils{};
    PF_WorldSuite2 world_suite{};
    PF_ChannelSuite1 channel_suite{};

    void setApiVersion(A_short major, A_short minor);
    void setPremiere(bool premiere);

    // ---- parameters
    // Resizes the parameter table to `count` zeroed records (index 0 a layer) and sets
    // in_data.num_params.
    void setParameterCount(int32_t count);
    PF_ParamDef** paramList();
    std::vector<PF_ParamDef> parameters;
    std::vector<PF_ParamDef> added;
    std::atomic<int32_t> checkouts{0};
    std::atomic<int32_t> checkins{0};
    // Calls of the host's string copy (utils.ansi.strcpy), which names go through.
    std::atomic<int32_t> string_copies{0};

    // ---- progress
    // Called with (current, total) on every progress call; null answers PF_Err_NONE.
    std::function<PF_Err(A_long current, A_long total)> progress_script;
    int32_t progressCalls() const;
    // Threads that called the progress callback, in call order.
    std::vector<std::thread::id> progressThreads() const;

    // ---- iteration
    // 0 removes iterate_generic from the utility callbacks.
    void setProcessorIterations(int32_t n);
    int32_t iterateCalls() const { return iterate_calls_.load(); }

    // ---- handles
    int32_t liveHandles() const;
    int32_t handlesCreated() const { return handles_created_.load(); }
    A_u_longlong handleSize(PF_Handle handle) const;
    // Handle values the plug-in passed that the host never gave out (or already disposed).
    int32_t unknownHandleCalls() const { return unknown_handle_calls_.load(); }
    // Handle callbacks entered while another was still running.
    int32_t overlappingHandleCalls() const { return overlapping_calls_.load(); }
    // Failure injection and alignment: refuse new handles, refuse to lock, and hand out locked
    // memory that starts 8 bytes past a 16-byte boundary.
    std::atomic<bool> refuse_handles{false};
    std::atomic<bool> refuse_locks{false};
    std::atomic<bool> misalign_blocks{false};

    // ---- suites
    void denySuite(const std::string& name);
    // Successful acquires minus releases of `name`.
    int32_t outstandingSuites(const std::string& name) const;
    int32_t acquireCount(const std::string& name) const;

    struct UiUpdate {
        PF_ParamIndex index;
        PF_ParamDef def;
    };
    std::vector<UiUpdate> ui_updates;
    PF_Err update_param_ui_answer = PF_Err_NONE;

    int32_t sprintfCalls() const { return sprintf_calls_.load(); }

private:
    struct Block {
        std::unique_ptr<unsigned char[]> storage;
        A_u_longlong size = 0;
        int32_t locks = 0;
    };

    static PF_Err checkoutParam(PF_ProgPtr, PF_ParamIndex, A_long, A_long, A_u_long, PF_ParamDef*);
    static PF_Err checkinParam(PF_ProgPtr, PF_ParamDef*);
    static PF_Err addParam(PF_ProgPtr, PF_ParamIndex, PF_ParamDefPtr);
    static PF_Err progress(PF_ProgPtr, A_long, A_long);
    static PF_Handle newHandle(A_u_longlong size);
    static void* lockHandle(PF_Handle handle);
    static void unlockHandle(PF_Handle handle);
    static void disposeHandle(PF_Handle handle);
    static A_u_longlong getHandleSize(PF_Handle handle);
    static PF_Err iterateGeneric(A_long iterations, void* refcon, PF_IterateGenericFunc fn);
    static int ansiSprintf(A_char* buffer, const A_char* format, ...);
    static A_char* ansiStrcpy(A_char* destination, const A_char* source);
    static SPErr acquireSuite(const char* name, A_long version, const void** suite);
    static SPErr releaseSuite(const char* name, A_long version);
    static PF_Err updateParamUI(PF_ProgPtr, PF_ParamIndex, const PF_ParamDef*);

    // Marks a handle call as running; counts an overlap when another one already is.
    class HandleCall {
    public:
        explicit HandleCall(AETestHost& host);
        ~HandleCall();

    private:
        AETestHost& host_;
    };

    std::vector<PF_ParamDef*> param_pointers_;

    mutable std::mutex progress_lock_;
    std::vector<std::thread::id> progress_threads_;

    int32_t processor_iterations_ = 0;
    std::atomic<int32_t> iterate_calls_{0};

    mutable std::mutex handle_table_lock_;
    std::map<uintptr_t, Block> blocks_;
    uintptr_t next_handle_ = 0;
    std::atomic<int32_t> handles_created_{0};
    std::atomic<int32_t> unknown_handle_calls_{0};
    std::atomic<int32_t> overlapping_calls_{0};
    std::atomic<bool> in_handle_call_{false};

    mutable std::mutex suite_lock_;
    std::set<std::string> denied_;
    std::map<std::string, int32_t> outstanding_;
    std::map<std::string, int32_t> acquired_;

    std::atomic<int32_t> sprintf_calls_{0};
};
