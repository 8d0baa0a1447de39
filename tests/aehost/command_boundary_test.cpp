#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

#include "tests/support/ae_test_host.h"
#include "aehost/after_effects_error.h"
#include "aehost/command_boundary.h"
#include "tests/aehost/log_capture.h"
#include "tests/aehost/probe_host.h"
#include "framework/quillbrook_exception.h"
#include "framework/thread_pool.h"

namespace {

enum class Failure { bad_alloc, abort, framework, host_error, standard, unknown };

[[noreturn]] void raise(Failure failure) {
    switch (failure) {
        case Failure::bad_alloc:
            throw std::bad_alloc();
        case Failure::abort:
            throw QuillbrookAbort();
        case Failure::framework:
            throw QuillbrookException("tile table broken");
        case Failure::host_error:
            throw AfterEffectsError(PF_Err_BAD_CALLBACK_PARAM, "no suite");
        case Failure::standard:
            throw std::runtime_error("standard failure");
        case Failure::unknown:
            throw 42;
    }
    throw 0;
}

// What the next ThrowingHost does in its user-changed-parameter handler.
struct Plan {
    Failure failure = Failure::framework;
    bool from_worker = false;  // throw from a worker of a parallel run instead of directly
};
Plan plan;
std::atomic<int32_t> live_workers_inside{0};

class ThrowingHost : public PlainHost {
public:
    PF_Err userChangedParam(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*, void*) override {
        if (!plan.from_worker) raise(plan.failure);
        return runParallelOn<&ThrowingHost::item>(32, this);
    }

    // Workers throw at once; the calling thread waits (bounded) until one has, so the
    // exception surely comes from a worker thread.
    int32_t item(int32_t, int32_t, int32_t thread) {
        if (thread != 0) {
            live_workers_inside.store(ThreadPool::liveWorkers());
            thrown_.store(true);
            raise(plan.failure);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!thrown_.load() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return noError();
    }

private:
    std::atomic<bool> thrown_{false};
};

PF_Err runThrowing(AETestHost& host) {
    return runEffectCommand<ThrowingHost>(PF_Cmd_USER_CHANGED_PARAM, &host.in_data, &host.out_data,
                                          host.paramList(), nullptr, nullptr);
}

struct MappingCase {
    Failure failure;
    PF_Err expected;
    const char* log;
};

const MappingCase kMappings[] = {
    {Failure::bad_alloc, PF_Err_OUT_OF_MEMORY, ""},
    {Failure::abort, PF_Interrupt_CANCEL, ""},
    {Failure::framework, PF_Err_INTERNAL_STRUCT_DAMAGED,
     "-**### WARNING ###**-: caught unexpected exception: tile table broken\n"},
    {Failure::host_error, PF_Err_BAD_CALLBACK_PARAM,
     "-**### WARNING ###**-: host error: no suite\n"},
    {Failure::standard, PF_Err_INTERNAL_STRUCT_DAMAGED,
     "-**### WARNING ###**-: caught unexpected exception: standard failure\n"},
    {Failure::unknown, PF_Err_INTERNAL_STRUCT_DAMAGED,
     "-**### WARNING ###**-: caught unexpected exception: of unknown type\n"},
};

TEST(CommandBoundary, EachFailureBecomesItsResultCode) {
    for (const MappingCase& c : kMappings) {
        LogCapture log;
        AETestHost host;
        plan = {c.failure, false};
        EXPECT_EQ(runThrowing(host), c.expected) << "failure " << int(c.failure);
        EXPECT_EQ(log.text(), c.log) << "failure " << int(c.failure);
    }
}

TEST(CommandBoundary, FailuresFromWorkersEndWithNoWorkerRunning) {
    for (const MappingCase& c : kMappings) {
        LogCapture log;
        AETestHost host;
        host.setProcessorIterations(4);
        plan = {c.failure, true};
        live_workers_inside.store(0);
        EXPECT_EQ(runThrowing(host), c.expected) << "failure " << int(c.failure);
        EXPECT_GT(live_workers_inside.load(), 0) << "the failure came from a worker thread";
        EXPECT_EQ(ThreadPool::liveWorkers(), 0) << "failure " << int(c.failure);
        EXPECT_EQ(log.text(), std::string("initializing threadpool with 4 threads\n") + c.log)
            << "failure " << int(c.failure);
    }
}

TEST(CommandBoundary, ConstructionFailureIsCaughtToo) {
    struct FailingConstruction : PlainHost {
        FailingConstruction() { throw std::bad_alloc(); }
    };
    AETestHost host;
    EXPECT_EQ(runEffectCommand<FailingConstruction>(PF_Cmd_ABOUT, &host.in_data, &host.out_data,
                                                    host.paramList(), nullptr, nullptr),
              PF_Err_OUT_OF_MEMORY);
}

TEST(CommandBoundary, HandlerResultPassesUnchanged) {
    struct Answering : PlainHost {
        PF_Err frameSetdown(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) override {
            return PF_Err_INVALID_INDEX;
        }
    };
    AETestHost host;
    EXPECT_EQ(runEffectCommand<Answering>(PF_Cmd_FRAME_SETDOWN, &host.in_data, &host.out_data,
                                          host.paramList(), nullptr, nullptr),
              PF_Err_INVALID_INDEX);
}

TEST(CommandBoundary, SmartRenderOutFlagsAreAddedOnlyForSmartRender) {
    for (A_long cmd = 0; cmd <= 30; ++cmd) {
        AETestHost host;
        host.out_data.out_flags = 0x1;
        runEffectCommand<PlainHost>(static_cast<PF_Cmd>(cmd), &host.in_data, &host.out_data,
                                    host.paramList(), nullptr, nullptr, PF_OutFlag_REFRESH_UI);
        if (cmd == PF_Cmd_SMART_RENDER) {
            EXPECT_EQ(host.out_data.out_flags, 0x1 | PF_OutFlag_REFRESH_UI);
        } else if (cmd != PF_Cmd_GLOBAL_SETUP) {
            EXPECT_EQ(host.out_data.out_flags, 0x1) << "command " << cmd;
        }
    }
    AETestHost host;
    host.out_data.out_flags = 0x1;
    runEffectCommand<PlainHost>(PF_Cmd_SMART_RENDER, &host.in_data, &host.out_data,
                                host.paramList(), nullptr, nullptr);
    EXPECT_EQ(host.out_data.out_flags, 0x1);
}

}  // namespace
