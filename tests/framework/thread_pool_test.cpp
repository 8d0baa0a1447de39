#include "framework/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "framework/quillbrook_exception.h"
#include "tests/framework/temp_home.h"

namespace {

// Counts how often each item runs and which slots ran them.
struct CountingWork {
    explicit CountingWork(int32_t total) : runs(total) {}

    int32_t item(int32_t k, int32_t total, int32_t slot) {
        if (total != static_cast<int32_t>(runs.size())) wrong_total = true;
        if (slot < 0 || slot >= ThreadPool::kMaxThreads) bad_slot = true;
        runs[k].fetch_add(1);
        return 0;
    }

    std::vector<std::atomic<int>> runs;
    std::atomic<bool> wrong_total{false};
    std::atomic<bool> bad_slot{false};
};

template <auto Method, class T>
int32_t runOn(ThreadPool& pool, int32_t total, T* object) {
    return pool.run(total, object, [](void* o, int32_t item, int32_t count, int32_t slot) {
        return (static_cast<T*>(o)->*Method)(item, count, slot);
    });
}

// Waits (bounded, so a broken pool fails instead of hanging) until `flag` is set.
void waitFor(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!flag.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

class ThreadPoolCounts : public ::testing::TestWithParam<int32_t> {};

TEST_P(ThreadPoolCounts, EveryItemRunsExactlyOnce) {
    const int32_t threads = GetParam();
    {
        ThreadPool pool;
        pool.init(threads);
        EXPECT_EQ(pool.count(), threads);
        EXPECT_EQ(ThreadPool::liveWorkers(), threads - 1);
        for (int32_t total : {1, 7, 63, 64, 65, 1000}) {
            CountingWork work(total);
            EXPECT_EQ(runOn<&CountingWork::item>(pool, total, &work), 0);
            for (int32_t k = 0; k < total; ++k) ASSERT_EQ(work.runs[k].load(), 1) << "item " << k;
            EXPECT_FALSE(work.wrong_total);
            EXPECT_FALSE(work.bad_slot);
        }
    }
    EXPECT_EQ(ThreadPool::liveWorkers(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ThreadPoolCounts, ::testing::Values(1, 2, 8, 64));

struct SlotWork {
    int32_t item(int32_t, int32_t, int32_t slot) {
        slots_seen[slot].fetch_add(1);
        // Long enough items that every worker gets some.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return 0;
    }
    std::atomic<int> slots_seen[ThreadPool::kMaxThreads] = {};
};

TEST(ThreadPool, SlotsStayWithinThePoolAndWorkersTakePart) {
    ThreadPool pool;
    pool.init(4);
    SlotWork work;
    EXPECT_EQ(runOn<&SlotWork::item>(pool, 200, &work), 0);
    int total = 0;
    int used = 0;
    for (int slot = 0; slot < ThreadPool::kMaxThreads; ++slot) {
        if (slot >= 4) {
            EXPECT_EQ(work.slots_seen[slot].load(), 0) << "slot " << slot;
        }
        total += work.slots_seen[slot].load();
        used += work.slots_seen[slot].load() > 0;
    }
    EXPECT_EQ(total, 200);
    EXPECT_GE(used, 2);
}

TEST(ThreadPool, InitClampsToTheSlotCount) {
    ThreadPool pool;
    pool.init(0);
    EXPECT_EQ(pool.count(), 1);
    pool.init(-3);
    EXPECT_EQ(pool.count(), 1);
    pool.init(1000);
    EXPECT_EQ(pool.count(), ThreadPool::kMaxThreads);
    EXPECT_EQ(ThreadPool::liveWorkers(), ThreadPool::kMaxThreads - 1);
}

TEST(ThreadPool, InitLogsAndResizes) {
    TempHome home;
    home.createLog();
    {
        ThreadPool pool;
        pool.init(4);
        pool.init(4);
        EXPECT_EQ(ThreadPool::liveWorkers(), 3);
        pool.init(2);
        EXPECT_EQ(pool.count(), 2);
        EXPECT_EQ(ThreadPool::liveWorkers(), 1);
        CountingWork work(50);
        EXPECT_EQ(runOn<&CountingWork::item>(pool, 50, &work), 0);
        for (int32_t k = 0; k < 50; ++k) ASSERT_EQ(work.runs[k].load(), 1);
    }
    EXPECT_EQ(home.readLog(),
              "initializing threadpool with 4 threads\n"
              "initializing threadpool with 2 threads\n");
    EXPECT_EQ(ThreadPool::liveWorkers(), 0);
}

TEST(ThreadPool, RunWithoutInitUsesTheCallerAlone) {
    ThreadPool pool;
    CountingWork work(10);
    EXPECT_EQ(runOn<&CountingWork::item>(pool, 10, &work), 0);
    EXPECT_EQ(pool.count(), 1);
    for (int32_t k = 0; k < 10; ++k) EXPECT_EQ(work.runs[k].load(), 1);
}

TEST(ThreadPool, EmptyRunReturnsAtOnce) {
    ThreadPool pool;
    pool.init(8);
    CountingWork work(0);
    EXPECT_EQ(runOn<&CountingWork::item>(pool, 0, &work), 0);
    EXPECT_EQ(runOn<&CountingWork::item>(pool, -5, &work), 0);
}

// Each outer item runs a nested run of `inner` items on the same pool.
struct NestedWork {
    NestedWork(ThreadPool& pool_in, int32_t outer, int32_t inner)
        : pool(pool_in), inner_total(inner), inner_runs(outer * inner) {}

    int32_t outerItem(int32_t k, int32_t, int32_t) {
        current_outer = k;
        outer_thread = std::this_thread::get_id();
        const int32_t result = runOn<&NestedWork::innerItem>(pool, inner_total, this);
        if (result != 0) return result;
        // A nested run with no items leaves the pool alone and succeeds.
        return runOn<&NestedWork::innerItem>(pool, 0, this);
    }

    int32_t innerItem(int32_t k, int32_t, int32_t slot) {
        if (slot != 0 || std::this_thread::get_id() != outer_thread) wrong_thread = true;
        inner_runs[current_outer * inner_total + k].fetch_add(1);
        return fail_at >= 0 && k == fail_at ? 5 : 0;
    }

    ThreadPool& pool;
    int32_t inner_total;
    int32_t fail_at = -1;
    std::vector<std::atomic<int>> inner_runs;
    std::atomic<bool> wrong_thread{false};
    // Per thread: an outer item and its nested items run on one thread.
    static thread_local int32_t current_outer;
    static thread_local std::thread::id outer_thread;
};
thread_local int32_t NestedWork::current_outer = 0;
thread_local std::thread::id NestedWork::outer_thread;

TEST(ThreadPool, NestedRunsAreSerialOnTheCallingThread) {
    ThreadPool pool;
    pool.init(8);
    NestedWork work(pool, 40, 10);
    EXPECT_EQ(runOn<&NestedWork::outerItem>(pool, 40, &work), 0);
    for (size_t i = 0; i < work.inner_runs.size(); ++i) ASSERT_EQ(work.inner_runs[i].load(), 1);
    EXPECT_FALSE(work.wrong_thread);
    EXPECT_EQ(pool.count(), 8);
}

TEST(ThreadPool, NestedRunStopsAtItsFirstFailure) {
    ThreadPool pool;
    pool.init(1);
    NestedWork work(pool, 1, 10);
    work.fail_at = 3;
    EXPECT_EQ(runOn<&NestedWork::outerItem>(pool, 1, &work), 5);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(work.inner_runs[k].load(), k <= 3 ? 1 : 0) << k;
}

TEST(ThreadPool, InitFromInsideARunIsIgnored) {
    ThreadPool pool;
    pool.init(4);
    struct Reinit {
        ThreadPool* pool;
        int32_t item(int32_t, int32_t, int32_t) {
            pool->init(2);
            return 0;
        }
    } work{&pool};
    EXPECT_EQ(runOn<&Reinit::item>(pool, 20, &work), 0);
    EXPECT_EQ(pool.count(), 4);
}

// Slot 0's items wait until a worker has run one, so both kinds of slot surely take part.
struct FailingWork {
    int32_t item(int32_t, int32_t, int32_t slot) {
        runs.fetch_add(1);
        if (slot == 0) {
            waitFor(worker_ran);
            return caller_result;
        }
        worker_ran = true;
        return worker_result;
    }
    std::atomic<bool> worker_ran{false};
    std::atomic<int> runs{0};
    int32_t caller_result = 0;
    int32_t worker_result = 0;
};

TEST(ThreadPool, WorkerFailureReachesTheCaller) {
    ThreadPool pool;
    pool.init(2);
    FailingWork work;
    work.worker_result = 7;
    EXPECT_EQ(runOn<&FailingWork::item>(pool, 2, &work), 7);
}

TEST(ThreadPool, CallerFailureComesFirst) {
    ThreadPool pool;
    pool.init(2);
    FailingWork work;
    work.caller_result = 3;
    work.worker_result = 7;
    EXPECT_EQ(runOn<&FailingWork::item>(pool, 2, &work), 3);
}

TEST(ThreadPool, EachSlotStopsAfterItsFirstFailure) {
    ThreadPool pool;
    pool.init(8);
    struct AlwaysFails {
        std::atomic<int> runs{0};
        int32_t item(int32_t, int32_t, int32_t) {
            runs.fetch_add(1);
            return 9;
        }
    } work;
    EXPECT_EQ(runOn<&AlwaysFails::item>(pool, 1000, &work), 9);
    EXPECT_GE(work.runs.load(), 1);
    EXPECT_LE(work.runs.load(), 8);

    ThreadPool single;
    single.init(1);
    struct FailsAtTwo {
        std::atomic<int> runs{0};
        int32_t item(int32_t k, int32_t, int32_t) {
            runs.fetch_add(1);
            return k == 2 ? 4 : 0;
        }
    } counted;
    EXPECT_EQ(runOn<&FailsAtTwo::item>(single, 10, &counted), 4);
    EXPECT_EQ(counted.runs.load(), 3);
}

TEST(ThreadPool, FailedRunLeavesThePoolUsable) {
    ThreadPool pool;
    pool.init(4);
    FailingWork failing;
    failing.worker_result = 7;
    EXPECT_EQ(runOn<&FailingWork::item>(pool, 2, &failing), 7);
    CountingWork work(100);
    EXPECT_EQ(runOn<&CountingWork::item>(pool, 100, &work), 0);
    for (int32_t k = 0; k < 100; ++k) ASSERT_EQ(work.runs[k].load(), 1);
}

struct ThrowingWork {
    int32_t item(int32_t, int32_t, int32_t slot) {
        in_flight.fetch_add(1);
        if (slot == 0) {
            waitFor(worker_ran);
            in_flight.fetch_sub(1);
            if (caller_throws) throw QuillbrookException("caller item failed");
            return 0;
        }
        worker_ran = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        in_flight.fetch_sub(1);
        if (worker_throws) throw std::runtime_error("worker item failed");
        return 0;
    }
    std::atomic<bool> worker_ran{false};
    std::atomic<int> in_flight{0};
    bool caller_throws = false;
    bool worker_throws = false;
};

TEST(ThreadPool, WorkerExceptionIsRethrownOnTheCaller) {
    {
        ThreadPool pool;
        pool.init(2);
        ThrowingWork work;
        work.worker_throws = true;
        try {
            runOn<&ThrowingWork::item>(pool, 2, &work);
            ADD_FAILURE() << "the worker's exception was lost";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "worker item failed");
        }
        EXPECT_EQ(work.in_flight.load(), 0);

        CountingWork again(64);
        EXPECT_EQ(runOn<&CountingWork::item>(pool, 64, &again), 0);
        for (int32_t k = 0; k < 64; ++k) ASSERT_EQ(again.runs[k].load(), 1);
    }
    EXPECT_EQ(ThreadPool::liveWorkers(), 0);
}

TEST(ThreadPool, CallerExceptionWaitsForTheWorkers) {
    {
        ThreadPool pool;
        pool.init(4);
        ThrowingWork work;
        work.caller_throws = true;
        try {
            runOn<&ThrowingWork::item>(pool, 200, &work);
            ADD_FAILURE() << "no exception";
        } catch (const QuillbrookException& error) {
            EXPECT_EQ(error.message(), "caller item failed");
        }
        // Every worker has left its items before the exception reached the caller.
        EXPECT_EQ(work.in_flight.load(), 0);
    }
    EXPECT_EQ(ThreadPool::liveWorkers(), 0);
}

TEST(ThreadPool, TwoCallersShareOnePoolOneRunAtATime) {
    ThreadPool pool;
    pool.init(4);
    std::atomic<bool> all_once{true};
    std::vector<std::thread> callers;
    for (int c = 0; c < 2; ++c) {
        callers.emplace_back([&] {
            for (int round = 0; round < 30; ++round) {
                CountingWork work(37);
                if (runOn<&CountingWork::item>(pool, 37, &work) != 0) all_once = false;
                for (int32_t k = 0; k < 37; ++k) {
                    if (work.runs[k].load() != 1) all_once = false;
                }
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_TRUE(all_once);
}

TEST(ThreadPool, IsWorkerThreadOnlyInsideRuns) {
    ThreadPool pool;
    pool.init(3);
    EXPECT_FALSE(pool.isWorkerThread());
    struct Check {
        ThreadPool* pool;
        std::atomic<bool> all{true};
        int32_t item(int32_t, int32_t, int32_t) {
            if (!pool->isWorkerThread()) all = false;
            return 0;
        }
    } work{&pool};
    runOn<&Check::item>(pool, 30, &work);
    EXPECT_TRUE(work.all);
    EXPECT_FALSE(pool.isWorkerThread());
}

TEST(ManualResetEvent, StaysSignalledUntilReset) {
    ManualResetEvent event;
    EXPECT_FALSE(event.waitFor(1));
    event.signal();
    EXPECT_TRUE(event.waitFor(0));
    event.wait();
    EXPECT_TRUE(event.waitFor(0));
    event.reset();
    EXPECT_FALSE(event.waitFor(1));
}

}  // namespace
