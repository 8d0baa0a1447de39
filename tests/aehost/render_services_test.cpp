#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/ae_test_host.h"
#include "aehost/after_effects_error.h"
#include "aehost/command_boundary.h"
#include "tests/aehost/probe_host.h"
#include "framework/quillbrook_host.h"
#include "aehost/suite_handler.h"

namespace {

// A plain effect host whose records are those of a test host, as after dispatch.
struct Bound {
    AETestHost host;
    PlainHost effect;

    Bound() { bind(); }
    void bind() {
        effect.dispatch(static_cast<PF_Cmd>(1000), &host.in_data, &host.out_data, host.paramList(),
                        nullptr, nullptr);
    }
};

// ---- thread count ------------------------------------------------------------------------

TEST(ThreadCount, FollowsTheHostsPerProcessorIteration) {
    Bound b;
    b.host.setProcessorIterations(12);
    EXPECT_EQ(b.effect.threadCount(999999), 12);
    EXPECT_EQ(b.effect.threadCount(-1), 12);
    EXPECT_EQ(b.effect.threadCount(0), 12);
    EXPECT_EQ(b.effect.threadCount(4), 4);
    EXPECT_EQ(b.effect.threadCount(12), 12);
    EXPECT_EQ(b.effect.threadCount(1), 1);
    EXPECT_EQ(b.host.iterateCalls(), 6);
}

TEST(ThreadCount, IsBoundedByThePoolsSlots) {
    Bound b;
    b.host.setProcessorIterations(100);
    EXPECT_EQ(b.effect.threadCount(999999), 64);
    EXPECT_EQ(b.effect.threadCount(-1), 64);
    EXPECT_EQ(b.effect.threadCount(80), 64);
    EXPECT_EQ(b.effect.threadCount(10), 10);
}

TEST(ThreadCount, WithoutIterationAsksTheSystem) {
    Bound b;
    b.host.setProcessorIterations(0);
    const int32_t processors = int32_t(std::clamp(std::thread::hardware_concurrency(), 1u, 64u));
    EXPECT_EQ(b.effect.threadCount(999999), processors);
    EXPECT_EQ(b.effect.threadCount(-1), processors);
    EXPECT_EQ(b.effect.threadCount(4), std::min(processors, 4));
    EXPECT_EQ(b.effect.threadCount(1), 1);
    EXPECT_EQ(b.host.iterateCalls(), 0);
}

// Workers never call the host: from a worker, the count asked on the host thread is reused.
TEST(ThreadCount, WorkersReuseTheHostThreadsAnswer) {
    struct Counting : PlainHost {
        std::atomic<int32_t> wrong{0};
        std::atomic<int32_t> on_workers{0};
        int32_t item(int32_t, int32_t, int32_t thread) {
            if (threadCount(999999) != 6) ++wrong;
            if (thread != 0) ++on_workers;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return noError();
        }
    };
    AETestHost host;
    host.setProcessorIterations(6);
    Counting effect;
    effect.dispatch(static_cast<PF_Cmd>(1000), &host.in_data, &host.out_data, host.paramList(),
                    nullptr, nullptr);
    EXPECT_EQ(effect.runParallelOn<&Counting::item>(60, &effect), PF_Err_NONE);
    EXPECT_EQ(effect.wrong.load(), 0);
    EXPECT_GT(effect.on_workers.load(), 0);
    // One call for the run itself plus one per item on the host thread; none from workers.
    EXPECT_EQ(host.iterateCalls(), 1 + 60 - effect.on_workers.load());
}

// ---- host memory -------------------------------------------------------------------------

TEST(HostMemory, BlocksAreAlignedWritableAndGiveBackTheirHandle) {
    Bound b;
    std::vector<unsigned char*> blocks;
    for (size_t n : {size_t(1), size_t(15), size_t(16), size_t(100), size_t(4097)}) {
        auto* p = static_cast<unsigned char*>(b.effect.allocate(n));
        ASSERT_NE(p, nullptr) << n;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << n;
        std::memset(p, 0xA5, n);
        blocks.push_back(p);
    }
    EXPECT_EQ(b.host.liveHandles(), 5);
    for (unsigned char* p : blocks) b.effect.release(p);
    EXPECT_EQ(b.host.liveHandles(), 0);
    EXPECT_EQ(b.host.handlesCreated(), 5);
    // The test host's handles lie above 4 GiB; a handle cut to 32 bits would be unknown.
    EXPECT_EQ(b.host.unknownHandleCalls(), 0);
}

TEST(HostMemory, MisalignedHostMemoryStillGivesAlignedBlocks) {
    Bound b;
    b.host.misalign_blocks = true;
    for (size_t n : {size_t(0), size_t(8), size_t(33)}) {
        auto* p = static_cast<unsigned char*>(b.effect.allocate(n));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        std::memset(p, 0x11, n);
        b.effect.release(p);
    }
    EXPECT_EQ(b.host.liveHandles(), 0);
    EXPECT_EQ(b.host.unknownHandleCalls(), 0);
}

TEST(HostMemory, ZeroBytesAndNull) {
    Bound b;
    void* a = b.effect.allocate(0);
    void* c = b.effect.allocate(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(a, c);
    b.effect.release(a);
    b.effect.release(c);
    b.effect.release(nullptr);
    EXPECT_EQ(b.host.liveHandles(), 0);
    EXPECT_EQ(b.host.handlesCreated(), 2);
    EXPECT_EQ(b.host.unknownHandleCalls(), 0);
}

TEST(HostMemory, RefusalsGiveNullAndLeakNothing) {
    Bound b;
    b.host.refuse_handles = true;
    EXPECT_EQ(b.effect.allocate(64), nullptr);
    b.host.refuse_handles = false;
    b.host.refuse_locks = true;
    EXPECT_EQ(b.effect.allocate(64), nullptr);
    EXPECT_EQ(b.host.handlesCreated(), 1);
    EXPECT_EQ(b.host.liveHandles(), 0) << "a handle that cannot be locked is disposed";
    EXPECT_EQ(b.effect.allocate(std::numeric_limits<size_t>::max()), nullptr);
    EXPECT_EQ(b.effect.allocate(std::numeric_limits<size_t>::max() - 20), nullptr);
    EXPECT_EQ(b.host.handlesCreated(), 1);
}

TEST(HostMemory, WithoutHandleCallbacksThereIsNoMemory) {
    Bound b;
    b.host.utils.host_new_handle = nullptr;
    EXPECT_EQ(b.effect.allocate(16), nullptr);
    b.host.in_data.utils = nullptr;
    EXPECT_EQ(b.effect.allocate(16), nullptr);
}

TEST(HostMemory, WorkersAllocateConcurrentlyButCallTheHostOneAtATime) {
    struct Allocating : PlainHost {
        std::atomic<int32_t> failures{0};
        int32_t item(int32_t index, int32_t, int32_t) {
            for (int i = 0; i < 40; ++i) {
                const size_t n = size_t(index * 7 + i);
                auto* p = static_cast<unsigned char*>(allocate(n));
                if (p == nullptr || reinterpret_cast<uintptr_t>(p) % 16 != 0) {
                    ++failures;
                    continue;
                }
                std::memset(p, index, n);
                for (size_t k = 0; k < n; ++k) {
                    if (p[k] != static_cast<unsigned char>(index)) ++failures;
                }
                release(p);
            }
            return noError();
        }
    };
    AETestHost host;
    host.setProcessorIterations(6);
    Allocating effect;
    effect.dispatch(static_cast<PF_Cmd>(1000), &host.in_data, &host.out_data, host.paramList(),
                    nullptr, nullptr);
    EXPECT_EQ(effect.runParallelOn<&Allocating::item>(48, &effect), PF_Err_NONE);
    EXPECT_EQ(effect.failures.load(), 0);
    EXPECT_EQ(host.liveHandles(), 0);
    EXPECT_EQ(host.handlesCreated(), 48 * 40);
    EXPECT_EQ(host.overlappingHandleCalls(), 0);
    EXPECT_EQ(host.unknownHandleCalls(), 0);
}

// ---- progress and abort ------------------------------------------------------------------

TEST(Progress, HostThreadAsksTheHost) {
    Bound b;
    std::vector<std::pair<A_long, A_long>> seen;
    b.host.progress_script = [&](A_long current, A_long total) {
        seen.emplace_back(current, total);
        return seen.size() < 3 ? PF_Err_NONE : PF_Err_OUT_OF_MEMORY;
    };
    EXPECT_EQ(b.effect.progress(1, 10), PF_Err_NONE);
    EXPECT_EQ(b.effect.pending_error.load(), PF_Err_NONE);
    EXPECT_EQ(b.effect.progress(2, 10), PF_Err_NONE);
    EXPECT_EQ(b.effect.progress(3, 10), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(b.effect.pending_error.load(), PF_Err_OUT_OF_MEMORY);
    const std::vector<std::pair<A_long, A_long>> expected = {{1, 10}, {2, 10}, {3, 10}};
    EXPECT_EQ(seen, expected);
}

TEST(Progress, WithoutHostCallbackAnswersNoError) {
    Bound b;
    b.host.in_data.inter.progress = nullptr;
    EXPECT_EQ(b.effect.progress(1, 2), PF_Err_NONE);
}

// The calling thread's item reports the host's cancel; every item on a worker polls until it
// sees the abort. The host is only ever called from the test's own thread.
struct Aborting : PlainHost {
    std::atomic<int32_t> worker_items{0};
    std::atomic<int32_t> worker_saw_abort{0};
    std::atomic<int32_t> worker_saw_other{0};
    std::atomic<int32_t> worker_ok_polls{0};
    std::atomic<bool> workers_ready{false};

    int32_t item(int32_t, int32_t, int32_t thread) {
        if (thread == 0) {
            // Let a worker poll before the abort, so that it sees noError() first.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!workers_ready.load() && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return progress(1, 2);
        }
        ++worker_items;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            const int32_t r = progress(1, 2);
            if (r == noError()) {
                ++worker_ok_polls;
                workers_ready.store(true);
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            if (r == abortError())
                ++worker_saw_abort;
            else
                ++worker_saw_other;
            return r;
        }
        return noError();
    }
};

TEST(Progress, WorkersLearnTheAbortWithoutCallingTheHost) {
    for (PF_Err host_answer : {PF_Err(PF_Interrupt_CANCEL), PF_Err(PF_Err_OUT_OF_MEMORY)}) {
        AETestHost host;
        host.setProcessorIterations(4);
        host.progress_script = [&](A_long, A_long) { return host_answer; };
        Aborting effect;
        effect.dispatch(static_cast<PF_Cmd>(1000), &host.in_data, &host.out_data, host.paramList(),
                        nullptr, nullptr);
        const int32_t result = effect.runParallelOn<&Aborting::item>(16, &effect);
        EXPECT_EQ(result, host_answer) << "the calling thread's result";
        EXPECT_GT(effect.worker_items.load(), 0);
        EXPECT_GT(effect.worker_ok_polls.load(), 0);
        EXPECT_EQ(effect.worker_saw_abort.load(), effect.worker_items.load())
            << "every worker item stops with the abort code";
        EXPECT_EQ(effect.worker_saw_other.load(), 0);
        EXPECT_EQ(effect.pending_error.load(), PF_Err_NONE) << "cleared after the run";
        for (std::thread::id id : host.progressThreads()) {
            EXPECT_EQ(id, std::this_thread::get_id());
        }
        EXPECT_GE(host.progressCalls(), 1);
    }
}

TEST(Progress, PendingErrorIsClearedBeforeAndAfterEveryRun) {
    struct Throwing : PlainHost {
        int32_t fail(int32_t, int32_t, int32_t) {
            pending_error.store(PF_Interrupt_CANCEL);
            throw std::runtime_error("item failed");
        }
        int32_t look(int32_t, int32_t, int32_t) { return pending_error.load(); }
    };
    AETestHost host;
    Throwing effect;
    effect.dispatch(static_cast<PF_Cmd>(1000), &host.in_data, &host.out_data, host.paramList(),
                    nullptr, nullptr);
    effect.pending_error.store(PF_Interrupt_CANCEL);
    EXPECT_EQ(effect.runParallelOn<&Throwing::look>(3, &effect), PF_Err_NONE);
    EXPECT_THROW(effect.runParallelOn<&Throwing::fail>(1, &effect), std::runtime_error);
    EXPECT_EQ(effect.pending_error.load(), PF_Err_NONE);
}

// A parallel run started from a worker (it runs inline there) must leave the outer run's
// pending error alone: only the host thread writes it. The calling thread's item takes the
// host's cancel while a worker waits; the worker then runs a nested run and must still learn
// of the abort at its next poll.
TEST(Progress, ANestedRunOnAWorkerKeepsThePendingError) {
    struct Nesting : PlainHost {
        std::atomic<bool> worker_waiting{false};
        std::atomic<bool> cancelled{false};
        std::atomic<int32_t> worker_polls_after_nested{-1};

        int32_t nothing(int32_t, int32_t, int32_t) { return noError(); }
        int32_t item(int32_t, int32_t, int32_t thread) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            if (thread == 0) {
                while (!worker_waiting.load() && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                const int32_t r = progress(1, 2);
                cancelled.store(true);
                return r;
            }
            if (worker_waiting.exchange(true)) return noError();  // one worker is enough
            while (!cancelled.load() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            runParallelOn<&Nesting::nothing>(3, this);
            worker_polls_after_nested.store(progress(1, 2));
            return noError();
        }
    };
    AETestHost host;
    host.setProcessorIterations(2);
    host.progress_script = [](A_long, A_long) { return PF_Err(PF_Interrupt_CANCEL); };
    Nesting effect;
    effect.dispatch(static_cast<PF_Cmd>(1000), &host.in_data, &host.out_data, host.paramList(),
                    nullptr, nullptr);
    EXPECT_EQ(effect.runParallelOn<&Nesting::item>(2, &effect), PF_Err(PF_Interrupt_CANCEL));
    ASSERT_TRUE(effect.cancelled.load());
    EXPECT_EQ(effect.worker_polls_after_nested.load(), effect.abortError())
        << "the nested run cleared the outer run's cancel";
    EXPECT_EQ(effect.pending_error.load(), PF_Err_NONE) << "cleared after the outer run";
}

// ---- frames ------------------------------------------------------------------------------

TEST(Frames, CurrentFrameIsTimeOverFrameDuration) {
    Bound b;
    b.host.in_data.current_time = 48;
    b.host.in_data.local_time_step = 2;
    EXPECT_DOUBLE_EQ(b.effect.currentFrame(), 24.0);
    EXPECT_DOUBLE_EQ(b.effect.layerFrame("Source"), 24.0);
    EXPECT_DOUBLE_EQ(b.effect.layerFrame("lens layer"), 24.0);
    b.host.in_data.current_time = 5;
    b.host.in_data.local_time_step = 2;
    EXPECT_DOUBLE_EQ(b.effect.currentFrame(), 2.5);
    b.host.in_data.local_time_step = 0;
    EXPECT_DOUBLE_EQ(b.effect.currentFrame(), 0.0);
}

// ---- parameter enabling ------------------------------------------------------------------

TEST(SetParamEnabled, TogglesTheDisabledFlagAndPushesIt) {
    Bound b;
    b.host.setParameterCount(5);
    b.host.parameters[3].param_type = PF_Param_FLOAT_SLIDER;
    b.host.parameters[3].ui_flags = PF_PUI_TOPIC;
    b.bind();
    EXPECT_EQ(b.effect.setParamEnabled(3, false), PF_Err_NONE);
    EXPECT_EQ(b.host.parameters[3].ui_flags, PF_PUI_TOPIC | PF_PUI_DISABLED);
    EXPECT_EQ(b.effect.setParamEnabled(3, true), PF_Err_NONE);
    EXPECT_EQ(b.host.parameters[3].ui_flags, PF_PUI_TOPIC);
    ASSERT_EQ(b.host.ui_updates.size(), 2u);
    EXPECT_EQ(b.host.ui_updates[0].index, 3);
    EXPECT_EQ(b.host.ui_updates[0].def.ui_flags, PF_PUI_TOPIC | PF_PUI_DISABLED);
    EXPECT_EQ(b.host.ui_updates[1].def.ui_flags, PF_PUI_TOPIC);
    EXPECT_EQ(b.host.outstandingSuites(kPFParamUtilsSuite), 0);
}

TEST(SetParamEnabled, PremierePushesOnlyLayerParameters) {
    Bound b;
    b.host.setPremiere(true);
    b.host.setParameterCount(4);
    b.host.parameters[1].param_type = PF_Param_POPUP;
    b.host.parameters[2].param_type = PF_Param_LAYER;
    b.bind();
    EXPECT_TRUE(b.effect.isPremiere());
    EXPECT_EQ(b.effect.setParamEnabled(1, false), PF_Err_NONE);
    EXPECT_EQ(b.host.parameters[1].ui_flags, PF_PUI_DISABLED) << "changed locally";
    EXPECT_TRUE(b.host.ui_updates.empty());
    EXPECT_EQ(b.effect.setParamEnabled(2, false), PF_Err_NONE);
    ASSERT_EQ(b.host.ui_updates.size(), 1u);
    EXPECT_EQ(b.host.ui_updates[0].index, 2);
    EXPECT_EQ(b.host.acquireCount(kPFParamUtilsSuite), 1);
}

TEST(SetParamEnabled, NotPremiereByDefault) {
    Bound b;
    EXPECT_FALSE(b.effect.isPremiere());
}

TEST(SetParamEnabled, HostAnswerAndBadPositions) {
    Bound b;
    b.host.setParameterCount(3);
    b.bind();
    b.host.update_param_ui_answer = PF_Err_INVALID_CALLBACK;
    EXPECT_EQ(b.effect.setParamEnabled(2, false), PF_Err_INVALID_CALLBACK);
    EXPECT_EQ(b.effect.setParamEnabled(3, false), PF_Err_INVALID_INDEX);
    EXPECT_EQ(b.effect.setParamEnabled(-1, false), PF_Err_INVALID_INDEX);
    EXPECT_EQ(b.host.ui_updates.size(), 1u);
}

TEST(SetParamEnabled, MissingSuiteRaisesTheHostError) {
    Bound b;
    b.host.setParameterCount(3);
    b.bind();
    b.host.denySuite(kPFParamUtilsSuite);
    try {
        b.effect.setParamEnabled(1, false);
        ADD_FAILURE() << "no exception";
    } catch (const AfterEffectsError& e) {
        EXPECT_EQ(e.error(), PF_Err_BAD_CALLBACK_PARAM);
        EXPECT_NE(std::string(e.what()).find("PF Param Utils Suite"), std::string::npos);
    }
}

TEST(SetParamEnabled, MissingSuiteReachesTheHostAs516) {
    struct Enabling : PlainHost {
        PF_Err updateParamsUI(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                              void*) override {
            return setParamEnabled(1, false);
        }
    };
    AETestHost host;
    host.setParameterCount(3);
    host.denySuite(kPFParamUtilsSuite);
    EXPECT_EQ(runEffectCommand<Enabling>(PF_Cmd_UPDATE_PARAMS_UI, &host.in_data, &host.out_data,
                                         host.paramList(), nullptr, nullptr),
              PF_Err_BAD_CALLBACK_PARAM);
}

// ---- suites ------------------------------------------------------------------------------

TEST(SuiteHandler, AcquiresOnceAndReleasesEverythingAtTheEnd) {
    AETestHost host;
    {
        SuiteHandler suites(&host.basic);
        EXPECT_EQ(host.acquireCount(kPFWorldSuite), 0) << "nothing before first use";
        EXPECT_EQ(suites.worldSuite(), &host.world_suite);
        EXPECT_EQ(suites.worldSuite(), &host.world_suite);
        EXPECT_EQ(suites.channelSuite(), &host.channel_suite);
        EXPECT_EQ(suites.paramUtilsSuite(), &host.param_utils);
        EXPECT_EQ(host.acquireCount(kPFWorldSuite), 1);
        EXPECT_EQ(host.outstandingSuites(kPFWorldSuite), 1);
        EXPECT_EQ(host.outstandingSuites(kPFChannelSuite1), 1);
    }
    EXPECT_EQ(host.outstandingSuites(kPFWorldSuite), 0);
    EXPECT_EQ(host.outstandingSuites(kPFChannelSuite1), 0);
    EXPECT_EQ(host.outstandingSuites(kPFParamUtilsSuite), 0);
}

TEST(SuiteHandler, DeniedSuiteThrowsOrGivesNull) {
    AETestHost host;
    host.denySuite(kPFChannelSuite1);
    {
        SuiteHandler suites(&host.basic);
        EXPECT_EQ(suites.tryChannelSuite(), nullptr);
        EXPECT_EQ(suites.tryWorldSuite(), &host.world_suite);
        try {
            suites.channelSuite();
            ADD_FAILURE() << "no exception";
        } catch (const AfterEffectsError& e) {
            EXPECT_EQ(e.error(), PF_Err_BAD_CALLBACK_PARAM);
            EXPECT_NE(std::string(e.what()).find("PF AE Channel Suite"), std::string::npos);
        }
    }
    EXPECT_EQ(host.outstandingSuites(kPFChannelSuite1), 0);
    EXPECT_EQ(host.outstandingSuites(kPFWorldSuite), 0);
}

TEST(SuiteHandler, NoBasicSuite) {
    SuiteHandler suites(nullptr);
    EXPECT_EQ(suites.tryParamUtilsSuite(), nullptr);
    EXPECT_THROW(suites.paramUtilsSuite(), AfterEffectsError);
}

}  // namespace
