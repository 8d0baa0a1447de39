#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/quillbrook_render_context.h"

// A manual-reset event: stays signalled until reset.
class ManualResetEvent {
public:
    void signal();
    void reset();
    void wait();
    // True when the event became signalled within `milliseconds`.
    bool waitFor(int milliseconds);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
};

class ThreadPool;

// One slot of the pool, shared between the pool and its worker thread.
struct ThreadData {
    int32_t slot = 0;
    int32_t result = 0;  // the slot's last callback result
    ManualResetEvent start;
    ManualResetEvent done;
    ManualResetEvent exit;
    ThreadPool* pool = nullptr;
    std::thread::id thread_id;
    std::exception_ptr failure;  // first exception thrown by one of the slot's items
};

// Runs a counted set of work items on a fixed group of threads; the calling thread is slot 0.
// Started lazily by the first run of a command, stopped by the destructor.
class ThreadPool {
public:
    static constexpr int32_t kMaxThreads = 64;

    ThreadPool() = default;
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Makes the pool have n threads (clamped to 1 .. 64); a no-op when it already has n, and
    // when called from inside one of this pool's runs. A thread that cannot be started leaves
    // the pool with the threads started so far.
    void init(int32_t n);
    // Runs items 0 .. total-1; each slot stops after its first item with a non-zero result.
    // Returns the first result other than 0 of any slot (slot 0's first), else 0. The first
    // exception thrown by an item (slot 0's first) is rethrown here, on the calling thread,
    // once every worker has finished; the pool stays usable. Called from inside a run of this
    // pool (by a worker or by the caller's own items), the items run one after the other on
    // that thread as slot 0, stopping at the first non-zero result. A pool that was never
    // initialised runs with one thread.
    int32_t run(int32_t total, void* object, QuillbrookRenderContext::ParallelCallback callback);

    int32_t count() const { return count_.load(); }
    // True when the calling thread is working for one of this pool's runs: one of its workers
    // (slots 1 .. count-1), or the caller while it runs its slot-0 items.
    bool isWorkerThread() const;
    // Number of worker threads currently alive (for tests: 0 after the destructor ran).
    static int32_t liveWorkers();

private:
    void initLocked(int32_t n);
    void shutdown();
    void workLoop(ThreadData& data);
    static void workerMain(std::shared_ptr<ThreadData> data);

    std::atomic<int32_t> count_{0};
    int32_t total_ = 0;
    int32_t next_ = 0;
    std::atomic<bool> stop_{false};
    int32_t mode_ = 0;
    void* object_ = nullptr;
    QuillbrookRenderContext::ParallelCallback callback_ = nullptr;
    std::mutex next_lock_;
    std::mutex run_lock_;
    std::array<std::thread, kMaxThreads> threads_;
    std::vector<std::shared_ptr<ThreadData>> slots_;
};
